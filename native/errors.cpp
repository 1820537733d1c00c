#include "native/api.h"
#include "native/traceback.h"

#include <frameobject.h>

namespace py {

void raise(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    throw_error();
}

// The interpreter's own optional lookup: a missing attribute of an ordinary
// instance costs no AttributeError object.
static int lookup_attribute(handle obj, handle name, PyObject** value) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), value);
#else
    return _PyObject_LookupAttr(obj.ptr(), name.ptr(), value);
#endif
}

object getattr_optional(handle obj, handle name) {
    PyObject* value;
    if (lookup_attribute(obj, name, &value) < 0)
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
    int found = lookup_attribute(obj, name, &value);
    if (found < 0)
        PyErr_Clear();
    Py_XDECREF(value);
    return found > 0;
}

void item_add(handle obj, handle key, handle delta) {
    object current = getitem(obj, key);
    setitem(obj, key, inplace_add(current, delta));
}

object list_of(std::initializer_list<const char*> names) {
    object list = new_list();
    for (const char* name : names)
        append(list, take(PyUnicode_InternFromString(name)));
    return list;
}

object lookup(handle dict, handle key) {
    object value = borrow(PyDict_GetItemWithError(dict.ptr(), key.ptr()));
    if (!value && PyErr_Occurred())
        throw_error();
    return value;
}

object pop(handle dict, handle key, handle fallback) {
    object value = lookup(dict, key);
    if (!value)
        return borrow(fallback);
    check(PyDict_DelItem(dict.ptr(), key.ptr()));
    return value;
}

void append(handle list, handle item) {
    if (PyList_CheckExact(list.ptr())) {
        check(PyList_Append(list.ptr(), item.ptr()));
        return;
    }
    static PyObject* name;
    call_method(list, interned(name, "append"), item);
}

void extend(handle list, handle items) {
    if (PyList_CheckExact(list.ptr())) {
        // list.extend itself: items appended one by one as the iterable yields them.
#if PY_VERSION_HEX >= 0x030D0000
        check(PyList_Extend(list.ptr(), items.ptr()));
#else
        take(_PyList_Extend(reinterpret_cast<PyListObject*>(list.ptr()), items.ptr()));
#endif
        return;
    }
    static PyObject* name;
    call_method(list, interned(name, "extend"), items);
}

std::array<object, 2> unpack_pair(handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2)
        return {borrow(PyTuple_GET_ITEM(item.ptr(), 0)), borrow(PyTuple_GET_ITEM(item.ptr(), 1))};
    std::array<object, 2> values;
    Py_ssize_t found = 0;
    for (object& value : iterate(item)) {
        if (found == 2) {
            compat::set_too_many_values(item.ptr(), 2);
            throw_error();
        }
        values[found++] = std::move(value);
    }
    if (found < 2)
        raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    return values;
}

caught_error::caught_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value)
        PyException_SetTraceback(value, tb);
    type_ = steal(type);
    value_ = steal(value);
    traceback_ = steal(tb);
}

void caught_error::raise_again() {
    PyErr_Restore(borrow(type_).release(), borrow(value_).release(), borrow(traceback_).release());
    throw_error();
}

caught_error::handling::handling(const caught_error& error) {
    PyErr_GetExcInfo(&type_, &value_, &traceback_);
    PyErr_SetExcInfo(borrow(error.type_).release(), borrow(error.value_).release(),
                     borrow(error.traceback_).release());
}

caught_error::handling::~handling() { PyErr_SetExcInfo(type_, value_, traceback_); }

namespace detail {

[[noreturn]] void missing_context_method(handle manager, handle name, bool exit) {
    compat::set_missing_context_method(manager.ptr(), name.ptr(), exit);
    throw_error();
}

std::array<object, 2> context_manager_methods(handle manager) {
    static PyObject *enter_name, *exit_name;
    interned(enter_name, "__enter__");
    interned(exit_name, "__exit__");
    object enter, exit;
    if (compat::with_looks_up_exit_first) {
        exit = lookup_special(manager, exit_name);
        if (!exit)
            missing_context_method(manager, exit_name, true);
    }
    enter = lookup_special(manager, enter_name);
    if (!enter)
        missing_context_method(manager, enter_name, false);
    if (!compat::with_looks_up_exit_first) {
        exit = lookup_special(manager, exit_name);
        if (!exit)
            missing_context_method(manager, exit_name, true);
    }
    return {std::move(enter), std::move(exit)};
}

}  // namespace detail

void add_traceback(const char* funcname, const char* filename, PyObject* globals) {
    // Building the frame must not disturb the pending exception: a failure here
    // drops the entry, never the error being reported.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    object code = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, 1)));
    object frame;
    if (code)
        frame = steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.ptr()), globals, nullptr)));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.ptr()));
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
