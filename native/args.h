// Argument parsing for native functions: one declaration per function, the
// interpreter's standard TypeError wording for every misuse.
#pragma once

#include "native/ref.h"

#include <string>
#include <vector>

namespace py {

// One named parameter; `fallback` is its default (a borrowed, process-lifetime
// object such as None or True), null for a required parameter.
struct Param {
    const char* name;
    PyObject* fallback = nullptr;
};

inline Param opt(const char* name, PyObject* fallback) { return {name, fallback}; }

class Signature {
public:
    Signature() = default;
    // `qualname` names the function in traceback entries ("Class.method"); argument
    // errors use the part after the last dot, and count every parameter, the
    // instance of a method included.
    Signature(std::string qualname, std::vector<Param> params, bool varkw);

    const char* qualname() const { return qualname_.c_str(); }
    const char* name() const { return qualname_.c_str() + name_offset_; }
    size_t size() const { return params_.size(); }

    // Fills slots[0, size()) with borrowed arguments or defaults. Returns a new
    // dict of the remaining keywords when the function takes **kwargs.
    object parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const;

    // The same, with the keywords given as a dict (or null), as f(*args, **kwargs).
    // A dict that only the caller holds and whose keywords all go to **kwargs is
    // handed on as the **kwargs dict itself instead of being copied.
    object parse_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs, PyObject** slots) const;

private:
    [[noreturn]] void count_error(Py_ssize_t expected, bool fewer, Py_ssize_t given) const;
    // The positional arguments into their slots, the rest emptied.
    void take_positional(PyObject* const* args, Py_ssize_t nargs, PyObject** slots) const;
    Py_ssize_t find(PyObject* keyword) const;
    bool adoptable(Py_ssize_t nargs, PyObject* kwargs) const;
    void take_keyword(PyObject* keyword, PyObject* value, PyObject** slots, PyObject* extra) const;
    void fill_defaults(PyObject** slots) const;

    std::string qualname_;
    size_t name_offset_ = 0;  // an offset, not a pointer: the string moves with the object
    std::vector<Param> params_;
    std::vector<PyObject*> interned_;  // the names as interned strings, for identity matches
    Py_ssize_t required_ = 0;
    bool varkw_ = false;
    bool all_interned_ = true;
};

}  // namespace py
