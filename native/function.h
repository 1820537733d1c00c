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
// entries and the globals of their frames.
struct ModuleInfo {
    const char* name = "";      // "kovra.reporter.runset"
    const char* filename = "";  // shown in traceback entries
    PyObject* globals = nullptr;
};

namespace detail {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Signature* signature;  // owned
    const ModuleInfo* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;  // None when the function has no docstring
};

object new_function(const ModuleInfo& module, Signature signature, vectorcallfunc entry, const char* doc);

// Sets the Python error for a C++ exception other than error_already_set; call
// only from a catch block.
void translate_exception();

// Adds the traceback entry naming the function to the pending error.
void report_failure(const FunctionObject* function);

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

template <auto F>
class native {
    using traits = detail::body_traits<decltype(F)>;

public:
    static constexpr bool varkw = traits::varkw;

    static object function(const ModuleInfo& module, Signature signature, const char* doc = nullptr) {
        return detail::new_function(module, std::move(signature), entry, doc);
    }

private:
    static PyObject* entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
        auto* function = reinterpret_cast<detail::FunctionObject*>(callable);
        // Native frames are invisible to the interpreter's depth count: keep it
        // honest, so a parent cycle ends in RecursionError, not a crashed stack.
        if (compat::enter_recursive_call(" while calling a Python object"))
            return nullptr;
        PyObject* result = nullptr;
        try {
            PyObject* slots[traits::positional];
            object extra = function->signature->parse(args, PyVectorcall_NARGS(nargsf), kwnames, slots);
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
