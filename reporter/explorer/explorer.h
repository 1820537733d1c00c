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
    X(get_section) X(id_list) X(Explorer) X(ExplorerSections) X(object_) X(__init__) X(__getitem__)
// clang-format on

namespace n {
EXPLORER_NAMES(KOVRA_NAME_DECLARE)
}  // namespace n

// One of the two classes as made at start-up.
struct Made {
    object type;
    unsigned int version = 0;  // its version tag then (0: no quick road)
    object init;               // its __init__, a native function made here
};

// Made once at start-up, never changed afterwards.
struct State {
    py::ModuleInfo info;
    object id_list_keyword;  // kwnames of the get_section call
    object no_arguments;     // ()
    object sections_iterator_type;
    Made explorer, sections;
    object sections_get_item;  // ExplorerSections.__getitem__, a native function made here
    // Last, so that a reset drops them after all that was made with them.
    py::Names names;
};

extern State* state;

// Which of the two classes `type` is, while it is as made: its version tag
// unchanged, so no attribute of it or of a base has been set or deleted since
// start-up, and it reads and writes attributes, makes instances and indexes them
// as its native functions do. Null for any other class, or one changed since.
inline const Made* as_made(PyTypeObject* type) {
    auto* cls = reinterpret_cast<PyObject*>(type);
    const Made* made = cls == state->explorer.type.ptr()   ? &state->explorer
                       : cls == state->sections.type.ptr() ? &state->sections
                                                           : nullptr;
    return made && py::compat::type_version_holds(type, made->version) ? made : nullptr;
}

// The instance dict of an instance of exactly one of the two classes as made (a new
// reference): it has no class attribute of any name read or stored here, so they
// are nothing but operations on that dict. Null otherwise, for the generic road.
// The interpreter's own reads of such an attribute are quick; through the C API
// they cost several times a dict lookup. From 3.11 instances keep their attributes
// beside them, and asking for the dict makes one; even so the dict operations cost
// less than the generic calls.
// bench_explorer.py --callgrind, the 20-by-20 walk with and without vars() of each
// node, interpreted / native, generic calls -> dict: 3.13 0.91x, 0.91x -> 0.99x,
// 0.97x; 3.14 1.01x, 0.98x -> 1.06x, 0.98x; 3.15 0.97x, 0.99x -> 1.01x, 0.99x;
// 3.11 the same either way.
inline PyObject* own_instance_dict(PyObject* obj) {
    if (!as_made(Py_TYPE(obj)))
        return nullptr;
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (!dict)
        py::throw_error();
    if (PyDict_CheckExact(dict))
        return dict;
    Py_DECREF(dict);
    return nullptr;
}

// cls(first, second). For one of the two classes as made (whose metaclass is `type`,
// which no assignment changes), what type.__call__ does, without the argument
// tuple and the lookup of __init__: the call's level of depth, object.__new__, then
// the class's own __init__ entered as that call enters it, so depth, errors and
// traceback are the same. That __init__ returns None: the call's check of its
// result has nothing to refuse.
inline object make(handle cls, handle first, handle second) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const Made* made = as_made(type);
    if (!made || !made->init)
        return py::call(cls, first, second);
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        py::throw_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    object self = py::take(type->tp_new(type, state->no_arguments.ptr(), nullptr));
    PyObject* stack[] = {self.ptr(), first.ptr(), second.ptr()};
    py::take(PyObject_Vectorcall(made->init.ptr(), stack, 3, nullptr));
    return self;
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
