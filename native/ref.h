// Owning and borrowed references to Python objects.
//
// `handle` never owns; `object` always owns exactly one reference. A raw pointer
// becomes an `object` only through `borrow` (adds a reference), `steal` (takes over
// the caller's reference) or `take` (takes over a C API result, throwing when the
// call failed), so the reader always sees who owns what.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace py {

// Thrown when the Python error indicator is set; converted back to a NULL return at
// the boundary of every native function (see classes.h).
struct error_already_set {};

[[noreturn]] inline void throw_error() { throw error_already_set{}; }

class handle {
public:
    constexpr handle() = default;
    constexpr handle(PyObject* ptr) : ptr_(ptr) {}

    PyObject* ptr() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    bool is_none() const { return ptr_ == Py_None; }

protected:
    PyObject* ptr_ = nullptr;
};

class object : public handle {
public:
    object() = default;
    object(const object& other) : handle(other.ptr_) { Py_XINCREF(ptr_); }
    object(object&& other) noexcept : handle(other.ptr_) { other.ptr_ = nullptr; }
    ~object() { Py_XDECREF(ptr_); }

    object& operator=(const object& other) {
        object(other).swap(*this);
        return *this;
    }
    object& operator=(object&& other) noexcept {
        object(std::move(other)).swap(*this);
        return *this;
    }

    // Hands the reference to the caller (a C API slot or return value).
    PyObject* release() {
        PyObject* ptr = ptr_;
        ptr_ = nullptr;
        return ptr;
    }
    void swap(object& other) noexcept { std::swap(ptr_, other.ptr_); }

    static object stolen(PyObject* ptr) {
        object result;
        result.ptr_ = ptr;
        return result;
    }

private:
    using handle::handle;
};

inline object steal(PyObject* ptr) { return object::stolen(ptr); }

inline object borrow(handle h) {
    Py_XINCREF(h.ptr());
    return object::stolen(h.ptr());
}

// Owns the new reference a C API call returned, or throws if it returned NULL.
inline object take(PyObject* new_ref) {
    if (!new_ref)
        throw_error();
    return object::stolen(new_ref);
}

// For C API calls returning -1 on failure.
inline int check(int rc) {
    if (rc < 0)
        throw_error();
    return rc;
}

inline object none() { return borrow(Py_None); }
inline object boolean(bool value) { return borrow(value ? Py_True : Py_False); }

}  // namespace py
