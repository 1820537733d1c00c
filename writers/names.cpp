#include "writers/names.h"

namespace writers {

namespace n {
WRITERS_NAMES(KOVRA_NAME_DEFINE)
const py::NameEntry table[] = {WRITERS_NAMES(KOVRA_NAME_ENTRY)};
}  // namespace n

py::Names names() { return py::Names(n::table); }

}  // namespace writers
