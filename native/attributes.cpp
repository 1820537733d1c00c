// Attribute reads, and the interned names they are made with.
#include "native/api.h"

namespace py {

// The interpreter's own optional lookup: a missing attribute of an ordinary
// instance costs no AttributeError object.
object getattr_optional(handle obj, handle name) {
    PyObject* value;
    if (compat::lookup_attribute(obj.ptr(), name.ptr(), &value) < 0)
        throw_error();
    return steal(value);
}

object getattr(handle obj, handle name, handle fallback) {
    object value = getattr_optional(obj, name);
    return value ? value : borrow(fallback);
}

bool hasattr(handle obj, handle name) {
    if (!PyUnicode_Check(name.ptr()))
        raise(PyExc_TypeError, "hasattr(): attribute name must be string");
    PyObject* value;
    int found = compat::lookup_attribute(obj.ptr(), name.ptr(), &value);
    if (found < 0)
        PyErr_Clear();
    Py_XDECREF(value);
    return found > 0;
}

handle interned(PyObject*& slot, const char* text) {
    // Kept for the life of the process: never released, so safe at shutdown.
    if (!slot)
        slot = PyUnicode_InternFromString(text);
    if (!slot)
        throw_error();
    return slot;
}

}  // namespace py
