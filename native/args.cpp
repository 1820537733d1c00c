#include "native/args.h"

#include "native/api.h"

namespace py {

Signature::Signature(std::string qualname, std::vector<Param> params, bool varkw)
    : qualname_(std::move(qualname)), params_(std::move(params)), varkw_(varkw) {
    auto dot = qualname_.rfind('.');
    name_offset_ = dot == std::string::npos ? 0 : dot + 1;
    while (required_ < Py_ssize_t(params_.size()) && !params_[required_].fallback)
        ++required_;
}

void Signature::count_error(Py_ssize_t expected, bool fewer, Py_ssize_t given) const {
    const char* bound = Py_ssize_t(params_.size()) == required_ ? "exactly" : fewer ? "at least" : "at most";
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name(), bound, expected,
          expected == 1 ? "" : "s", given);
}

Py_ssize_t Signature::find(PyObject* keyword) const {
    for (size_t i = 0; i < params_.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, params_[i].name) == 0)
            return Py_ssize_t(i);
    }
    return -1;
}

object Signature::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const {
    const Py_ssize_t nparams = Py_ssize_t(params_.size());
    if (nargs > nparams)
        count_error(nparams, false, nargs);
    for (Py_ssize_t i = 0; i < nparams; ++i)
        slots[i] = i < nargs ? args[i] : nullptr;

    object extra;
    if (varkw_)
        extra = take(PyDict_New());
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        Py_ssize_t i = find(keyword);
        if (i < 0) {
            if (!varkw_)
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name(), keyword);
            check(PyDict_SetItem(extra.ptr(), keyword, value));
        } else if (slots[i]) {
            raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name(), keyword);
        } else {
            slots[i] = value;
        }
    }

    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (slots[i])
            continue;
        if (i < required_)
            count_error(required_, true, i);
        slots[i] = params_[i].fallback;
    }
    return extra;
}

}  // namespace py
