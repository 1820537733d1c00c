// Native functions: a body plus its declared parameters, as a callable object that
// behaves like a Python function (binds as a method, reachable by the interpreter's
// method-call fast path) and is entered by vectorcall.
//
// A body is a plain C++ function taking `py::handle` per parameter (and a trailing
// `py::kwargs` for **kwargs) and returning `py::object`; it reports failure by
// throwing. `native<F>` gives it the entry point that parses arguments, turns a
// throw back into a NULL return and adds a traceback entry naming it.
#pragma once

#include "native/api.h"
#include "native/args.h"

#include <algorithm>
#include <new>
#include <type_traits>
#include <utility>

namespace py {

// The **kwargs of a body: a fresh dict that the body owns and may change.
class kwargs : public object {
public:
    explicit kwargs(object&& dict) : object(std::move(dict)) {}
};

// Where native functions of one module live: names for `__module__`, traceback
// entries, the globals of their frames and the builtins names missing from those
// globals resolve to.
struct ModuleInfo {
    const char* name = "";        // "kovra.reporter.runset"
    const char* filename = "";    // shown in traceback entries
    PyObject* globals = nullptr;  // the module's dict, kept alive by the module
    object builtins;              // its own builtins, as a function defined there would see them
    // Where the module's definition keeps the globals of the module once its
    // start-up has finished: null before, and after a failed start-up.
    PyObject* const* ready = nullptr;
};

namespace detail {

// An entry that takes its keywords as a dict, for native callers that hold one:
// f(*args, **kwargs) without unpacking the dict into a call stack first.
using dictcallfunc = PyObject* (*)(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwargs);

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Signature* signature;  // owned
    // The module dict the function was made for, owned: the function may outlive
    // a failed start-up, and must then refuse to run rather than read its state.
    PyObject* globals;
    PyObject* const* ready;
    const char* filename;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;  // None when the function has no docstring
    PyObject* weakreflist;
    dictcallfunc dict_entry;
};

object new_function(const ModuleInfo& module, Signature signature, vectorcallfunc entry, const char* doc,
                    dictcallfunc dict_entry);

// Sets the Python error for a C++ exception other than error_already_set; call
// only from a catch block.
void translate_exception();

// Adds the traceback entry naming the function to the pending error.
void report_failure(const FunctionObject* function);

// Sets the ImportError of a function whose module did not finish its start-up.
void refuse_unready(const FunctionObject* function);

// Whether the function's module finished its start-up, and is the module it was
// made for; sets ImportError otherwise.
inline bool module_ready(const FunctionObject* function) {
    if (*function->ready == function->globals)
        return true;
    refuse_unready(function);
    return false;
}

template <typename F>
struct body_traits;

template <typename... P>
struct body_traits<object (*)(P...)> {
    static constexpr bool varkw = (std::is_same_v<P, kwargs> || ...);
    static constexpr size_t positional = sizeof...(P) - (varkw ? 1 : 0);
};

}  // namespace detail

// Whether `obj` is a native function made here.
bool is_native_function(handle obj);

// function(*args, **kwargs) for a native function, `kwargs` a dict or null that
// only the caller holds.
inline object call_native(handle function, PyObject* const* args, size_t nargs, handle kwargs) {
    auto* f = reinterpret_cast<detail::FunctionObject*>(function.ptr());
    return take(f->dict_entry(function.ptr(), args, nargs, kwargs.ptr()));
}

// obj.name(*args). Where obj's class reads attributes the default way and `name`
// is a native function made here that the instance does not shadow, that function
// is entered straight away: the same lookups decide as for the generic method
// call, without the interpreter's method-call machinery around them. (3.10: its
// instances keep their attributes in a dict; later interpreters take the generic
// road, quick there.)
template <typename... Args>
object call_method_direct(handle obj, handle name, Args... args) {
    PyObject* stack[] = {nullptr, obj.ptr(), handle(args).ptr()...};
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (compat::attributes_in_dict && type->tp_getattro == PyObject_GenericGetAttr &&
        PyUnicode_CheckExact(name.ptr())) {
        PyObject* found = compat::type_lookup(type, name.ptr());
        if (found && is_native_function(found)) {
            PyObject** dictptr = compat::instance_dict_slot(obj.ptr());
            PyObject* dict = dictptr ? *dictptr : nullptr;
            // Owned while looked in: a key's __eq__ may drop the instance's dict and
            // the class's function.
            object hold_dict = borrow(dict), hold_found = borrow(found);
            if (!dict || (!PyDict_GetItemWithError(dict, name.ptr()) && !PyErr_Occurred())) {
                auto* function = reinterpret_cast<detail::FunctionObject*>(found);
                return take(function->vectorcall(found, stack + 1, sizeof...(Args) + 1, nullptr));
            }
            if (PyErr_Occurred())
                throw_error();
        }
    }
    return take(PyObject_VectorcallMethod(name.ptr(), stack + 1, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

template <auto F>
class native {
    using traits = detail::body_traits<decltype(F)>;

public:
    static constexpr bool varkw = traits::varkw;

    static object function(const ModuleInfo& module, Signature signature, const char* doc = nullptr) {
        return detail::new_function(module, std::move(signature), entry, doc, dict_entry);
    }

private:
    static PyObject* entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
        return run(callable, [&](PyObject** slots) {
            // Every parameter given by position: nothing to match or fill in.
            if constexpr (!traits::varkw) {
                if (!kwnames && size_t(PyVectorcall_NARGS(nargsf)) == traits::positional) {
                    std::copy(args, args + traits::positional, slots);
                    return object();
                }
            }
            return reinterpret_cast<detail::FunctionObject*>(callable)->signature->parse(args,
                                                                                         PyVectorcall_NARGS(nargsf),
                                                                                         kwnames, slots);
        });
    }

    static PyObject* dict_entry(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwargs) noexcept {
        return run(callable, [&](PyObject** slots) {
            return reinterpret_cast<detail::FunctionObject*>(callable)->signature->parse_dict(args, Py_ssize_t(nargs),
                                                                                              kwargs, slots);
        });
    }

    template <typename Parse>
    static PyObject* run(PyObject* callable, Parse&& parse) noexcept {
        auto* function = reinterpret_cast<detail::FunctionObject*>(callable);
        if (!detail::module_ready(function))
            return nullptr;
        // Native frames are invisible to the interpreter's depth count: keep it
        // honest, so a parent cycle ends in RecursionError, not a crashed stack.
        if (enter_recursion(" while calling a Python object"))
            return nullptr;
        PyObject* result = nullptr;
        try {
            PyObject* slots[traits::positional];
            object extra = parse(slots);
            result = invoke(slots, std::move(extra), std::make_index_sequence<traits::positional>{}).release();
        } catch (const error_already_set&) {
        } catch (...) {
            detail::translate_exception();
        }
        compat::leave_recursive_call();
        if (!result)
            detail::report_failure(function);
        return result;
    }

    template <size_t... I>
    static object invoke(PyObject** slots, object&& extra, std::index_sequence<I...>) {
        if constexpr (traits::varkw)
            return F(handle(slots[I])..., kwargs(std::move(extra)));
        else
            return F(handle(slots[I])...);
    }
};

// A module-level function.
template <auto F>
object function(const ModuleInfo& module, const char* name, std::vector<Param> params, const char* doc = nullptr) {
    return native<F>::function(module, Signature(name, std::move(params), native<F>::varkw), doc);
}

}  // namespace py
