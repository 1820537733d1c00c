#include "writers/names.h"

namespace writers {

namespace n {
KOVRA_NAME_TABLE(WRITERS_NAMES)
}  // namespace n

py::Names names() { return py::Names(n::table); }

}  // namespace writers
