// Traceback entries for errors leaving native functions.
#pragma once

#include "native/ref.h"

namespace py {

// Adds an entry naming `funcname` to the pending exception's traceback, as a
// Python-level function of module `globals` would leave; never replaces the error.
void add_traceback(const char* funcname, const char* filename, PyObject* globals);

}  // namespace py
