// The names the writers read attributes by. A module that calls a writer owns
// them in its state, made at start-up with formats::names() (see py::Names).
#pragma once

#include "native/module.h"

namespace formats {

// clang-format off
#define FORMATS_NAMES(X) \
    X(__class__) X(__name__) X(tag) X(text) X(tail) X(items)
// clang-format on

namespace n {
FORMATS_NAMES(KOVRA_NAME_DECLARE)
}  // namespace n

py::Names names();

}  // namespace formats
