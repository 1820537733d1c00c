#include "formats/names.h"

namespace formats {

namespace n {
KOVRA_NAME_TABLE(FORMATS_NAMES)
}  // namespace n

py::Names names() { return py::Names(n::table); }

}  // namespace formats
