// The explorer module: a lazy, read-only view of a report the reporter server keeps.
#pragma once

#include "native/module.h"

namespace explorer {

using py::handle;
using py::object;

// Interned names: attributes, methods and keys the classes use, and the module's
// own globals.
// clang-format off
#define EXPLORER_NAMES(X)                                                                                  \
    X(_id_list) X(_client) X(_obj) X(tasks) X(sections) X(_parent) X(_sections) X(get) X(get_runset)        \
    X(get_section) X(id_list) X(Explorer) X(ExplorerSections) X(object_)
// clang-format on

namespace n {
EXPLORER_NAMES(KOVRA_NAME_DECLARE)
}  // namespace n

// Made once at start-up, never changed afterwards.
struct State {
    py::ModuleInfo info;
    object id_list_keyword;  // kwnames of the get_section call
    object sections_iterator_type;
    // The two classes as made, with their version tags then (0: no quick road).
    object explorer_type, sections_type;
    unsigned int explorer_version = 0, sections_version = 0;
    // Last, so that a reset drops them after all that was made with them.
    py::Names names;
};

extern State* state;

// An instance of exactly one of the two classes, while that class is as made (its
// version tag unchanged): it has no class attribute of any name read or stored
// here and reads and writes attributes the default way, so they are nothing but
// operations on the instance's own dict (its returned here, as a new reference).
// Null otherwise, for the generic road. The interpreter's own reads of such an
// attribute are quick; through the C API they cost several times a dict lookup.
// From 3.11 instances keep their attributes beside them, and asking for the dict
// makes one; even so the dict operations cost less than the generic calls.
// bench_explorer.py --callgrind, the 20-by-20 walk with and without vars() of each
// node, interpreted / native, generic calls -> dict: 3.13 0.91x, 0.91x -> 0.99x,
// 0.97x; 3.14 1.01x, 0.98x -> 1.06x, 0.98x; 3.15 0.97x, 0.99x -> 1.01x, 0.99x;
// 3.11 the same either way.
inline PyObject* own_instance_dict(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    unsigned int version = reinterpret_cast<PyObject*>(type) == state->explorer_type.ptr()   ? state->explorer_version
                           : reinterpret_cast<PyObject*>(type) == state->sections_type.ptr() ? state->sections_version
                                                                                             : 0;
    if (!py::compat::type_version_holds(type, version))
        return nullptr;
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (!dict)
        py::throw_error();
    if (PyDict_CheckExact(dict))
        return dict;
    Py_DECREF(dict);
    return nullptr;
}

// obj.name (name interned).
inline object read(handle obj, handle name) {
    if (object dict = py::steal(own_instance_dict(obj.ptr()))) {
        if (PyObject* value = PyDict_GetItemWithError(dict.ptr(), name.ptr()))
            return py::borrow(value);
        if (PyErr_Occurred())
            py::throw_error();
    }
    return py::getattr(obj, name);
}

// obj.name = value (name interned).
inline void store(handle obj, handle name, handle value) {
    if (object dict = py::steal(own_instance_dict(obj.ptr()))) {
        py::check(PyDict_SetItem(dict.ptr(), name.ptr(), value.ptr()));
        return;
    }
    py::setattr(obj, name, value);
}

// A module global, looked up at call time so callers may replace it.
inline object global(handle name) { return py::global(state->info, name); }

object define_explorer(handle base);
object define_explorer_sections(handle base);

// The type behind iter(sections); made once at start-up.
object define_sections_iterator();

}  // namespace explorer
