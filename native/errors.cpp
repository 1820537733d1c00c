// Raising and handling errors, and the `with` statement.
#include "native/api.h"

namespace py {

void raise(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    throw_error();
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
    PyErr_SetExcInfo(borrow(error.type_).release(), borrow(error.value_).release(), borrow(error.traceback_).release());
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

}  // namespace py
