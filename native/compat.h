// The places where the C API changed between CPython 3.10 and 3.15, behind one
// interface each, so the rest of the code reads the same on every interpreter.
#pragma once

#include <Python.h>

namespace py::compat {

// A type's attribute dictionary, as a new reference. Since 3.12 the builtin
// static types (object, int, ...) keep theirs per interpreter and leave
// tp_dict NULL; PyType_GetDict finds it for any type.
inline PyObject* type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// One level of native recursion that stands in for a Python call. Up to 3.11
// Py_EnterRecursiveCall counts against sys.getrecursionlimit(). Since 3.12 it
// only guards the C stack, with a separate and much larger limit (3.12, 3.13)
// or the stack's real bounds (3.14+), so deep data would go far past the depth
// the same code in Python reaches; the Python depth is charged as well, so
// RecursionError comes at the same depth as there.
inline int enter_recursive_call(const char* where) {
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState* tstate = PyThreadState_Get();
    if (tstate->py_recursion_remaining <= 0) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    if (Py_EnterRecursiveCall(where))
        return -1;
    --tstate->py_recursion_remaining;
    return 0;
#else
    return Py_EnterRecursiveCall(where);
#endif
}

inline void leave_recursive_call() {
#if PY_VERSION_HEX >= 0x030C0000
    ++PyThreadState_Get()->py_recursion_remaining;
#endif
    Py_LeaveRecursiveCall();
}

}  // namespace py::compat
