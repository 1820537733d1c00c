#include "native/args.h"

#include "native/api.h"

namespace py {

Signature::Signature(std::string qualname, std::vector<Param> params, bool varkw)
    : qualname_(std::move(qualname)), params_(std::move(params)), varkw_(varkw) {
    auto dot = qualname_.rfind('.');
    name_offset_ = dot == std::string::npos ? 0 : dot + 1;
    while (required_ < Py_ssize_t(params_.size()) && !params_[required_].fallback)
        ++required_;
    // Kept for the process, like every interned name; a failure leaves the slot
    // empty and the name is then matched by text alone.
    for (const Param& param : params_) {
        PyObject* name = PyUnicode_InternFromString(param.name);
        if (!name)
            PyErr_Clear();
        interned_.push_back(name);
        all_interned_ = all_interned_ && name;
    }
}

void Signature::count_error(Py_ssize_t expected, bool fewer, Py_ssize_t given) const {
    const char* bound = Py_ssize_t(params_.size()) == required_ ? "exactly" : fewer ? "at least" : "at most";
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name(), bound, expected,
          expected == 1 ? "" : "s", given);
}

// The steps below run once per argument of every native call: inlined into parse
// and parse_dict, they cost no call of their own.

[[gnu::always_inline]] inline Py_ssize_t Signature::find(PyObject* keyword) const {
    // Call sites pass interned keywords: identity finds them without a comparison.
    for (size_t i = 0; i < interned_.size(); ++i) {
        if (interned_[i] == keyword)
            return Py_ssize_t(i);
    }
    // Two interned strings of the same text are one object: an interned keyword
    // that matched none of the interned names matches no name at all.
    if (all_interned_ && PyUnicode_CheckExact(keyword) && PyUnicode_CHECK_INTERNED(keyword))
        return -1;
    for (size_t i = 0; i < params_.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, params_[i].name) == 0)
            return Py_ssize_t(i);
    }
    return -1;
}

[[gnu::always_inline]] inline void Signature::take_keyword(PyObject* keyword, PyObject* value, PyObject** slots,
                                                           PyObject* extra) const {
    Py_ssize_t i = find(keyword);
    if (i < 0) {
        if (!varkw_)
            raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name(), keyword);
        check(PyDict_SetItem(extra, keyword, value));
    } else if (slots[i]) {
        raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name(), keyword);
    } else {
        slots[i] = value;
    }
}

[[gnu::always_inline]] inline void Signature::fill_defaults(PyObject** slots) const {
    for (Py_ssize_t i = 0; i < Py_ssize_t(params_.size()); ++i) {
        if (slots[i])
            continue;
        if (i < required_)
            count_error(required_, true, i);
        slots[i] = params_[i].fallback;
    }
}

[[gnu::always_inline]] inline void Signature::take_positional(PyObject* const* args, Py_ssize_t nargs,
                                                              PyObject** slots) const {
    const Py_ssize_t nparams = Py_ssize_t(params_.size());
    if (nargs > nparams)
        count_error(nparams, false, nargs);
    for (Py_ssize_t i = 0; i < nparams; ++i)
        slots[i] = i < nargs ? args[i] : nullptr;
}

object Signature::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const {
    take_positional(args, nargs, slots);
    object extra = varkw_ ? take(PyDict_New()) : object();
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        take_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots, extra.ptr());
    fill_defaults(slots);
    return extra;
}

bool Signature::adoptable(Py_ssize_t nargs, PyObject* kwargs) const {
    // Only the caller's reference: nobody can see the dict change hands.
    if (!varkw_ || nargs != Py_ssize_t(params_.size()) || !PyDict_CheckExact(kwargs) || Py_REFCNT(kwargs) != 1)
        return false;
    Py_ssize_t pos = 0;
    PyObject *keyword, *value;
    while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
        if (!PyUnicode_CheckExact(keyword) || find(keyword) >= 0)
            return false;
    }
    return true;
}

object Signature::parse_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs, PyObject** slots) const {
    // Every keyword goes to **kwargs and the caller gives its dict away: the copy
    // the callee would get is that dict itself.
    if (kwargs && adoptable(nargs, kwargs)) {
        take_positional(args, nargs, slots);
        return borrow(kwargs);
    }
    take_positional(args, nargs, slots);
    object extra = varkw_ ? take(PyDict_New()) : object();
    if (kwargs) {
        // Plain str keywords hash and compare without running code, so the dict
        // can be walked in place; anything else is walked over a snapshot.
        bool plain = true;
        Py_ssize_t pos = 0;
        PyObject *keyword, *value;
        while (plain && PyDict_Next(kwargs, &pos, &keyword, &value))
            plain = PyUnicode_CheckExact(keyword);
        object items = plain ? object() : take(PyDict_Items(kwargs));
        Py_ssize_t count = plain ? PyDict_GET_SIZE(kwargs) : PyList_GET_SIZE(items.ptr());
        pos = 0;
        for (Py_ssize_t k = 0; k < count; ++k) {
            if (plain) {
                PyDict_Next(kwargs, &pos, &keyword, &value);
            } else {
                keyword = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), k), 0);
                value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), k), 1);
            }
            if (!PyUnicode_Check(keyword))
                raise(PyExc_TypeError, "keywords must be strings");
            take_keyword(keyword, value, slots, extra.ptr());
        }
    }
    fill_defaults(slots);
    return extra;
}

}  // namespace py
