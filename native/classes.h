// Native functions, and ordinary Python classes built from them.
//
// A body is a plain C++ function taking `py::handle` per parameter (and a trailing
// `py::kwargs` for **kwargs) and returning `py::object`; it reports failure by
// throwing. `native<F>` gives it the vectorcall entry point that parses arguments,
// turns a throw back into a NULL return and adds a traceback entry naming it.
#pragma once

#include "native/api.h"
#include "native/args.h"
#include "native/traceback.h"

#include <new>
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

template <typename F>
struct body_traits;

template <typename... P>
struct body_traits<object (*)(P...)> {
    static constexpr size_t arity = sizeof...(P);
    static constexpr bool varkw = (std::is_same_v<P, kwargs> || ...);
    static constexpr size_t positional = arity - (varkw ? 1 : 0);
};

// Fills the method definition of one body's entry point.
PyMethodDef* register_def(PyMethodDef& def, Signature& slot, Signature signature, const ModuleInfo& module,
                          const ModuleInfo*& module_slot, PyCFunction entry);

void report_failure(const Signature& signature, const ModuleInfo* module);

}  // namespace detail

template <auto F>
class native {
    using traits = detail::body_traits<decltype(F)>;

public:
    static object function(const ModuleInfo& module, Signature signature) {
        PyMethodDef* def = detail::register_def(def_, signature_, std::move(signature), module, module_,
                                                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry)));
        object module_name = take(PyUnicode_FromString(module.name));
        return take(PyCFunction_NewEx(def, nullptr, module_name.ptr()));
    }

private:
    static PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
        try {
            PyObject* slots[traits::positional];
            object extra = signature_.parse(args, nargsf, kwnames, slots);
            return invoke(slots, std::move(extra), std::make_index_sequence<traits::positional>{}).release();
        } catch (const error_already_set&) {
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
        detail::report_failure(signature_, module_);
        return nullptr;
    }

    template <size_t... I>
    static object invoke(PyObject** slots, object&& extra, std::index_sequence<I...>) {
        if constexpr (traits::varkw)
            return F(handle(slots[I])..., kwargs(std::move(extra)));
        else
            return F(handle(slots[I])...);
    }

    static inline PyMethodDef def_{};
    static inline Signature signature_;
    static inline const ModuleInfo* module_ = nullptr;
};

// Builds a class the way a `class` statement does: type(name, bases, namespace),
// so instances get a `__dict__`, callers may subclass, and methods bind like
// Python functions (they are wrapped as instance methods).
class ClassBuilder {
public:
    ClassBuilder(const ModuleInfo& module, const char* name, handle bases);

    template <auto F>
    ClassBuilder& method(const char* name, std::vector<Param> params) {
        object function = native<F>::function(module_, signature(name, std::move(params), F));
        return add(name, take(PyInstanceMethod_New(function.ptr())));
    }

    template <auto F>
    ClassBuilder& classmethod(const char* name, std::vector<Param> params) {
        object function = native<F>::function(module_, signature(name, std::move(params), F));
        return add(name, take(PyClassMethod_New(function.ptr())));
    }

    // A read-only property computed by F(self).
    template <auto F>
    ClassBuilder& property(const char* name) {
        object getter = native<F>::function(module_, signature(name, {{"self"}}, F));
        return add(name, call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter));
    }

    ClassBuilder& add(const char* name, object value);

    // Creates the class; the builder is spent afterwards.
    object create();

private:
    template <typename F>
    Signature signature(const char* name, std::vector<Param> params, F) {
        return Signature(qualname_ + "." + name, std::move(params), detail::body_traits<F>::varkw);
    }

    const ModuleInfo& module_;
    std::string qualname_;
    object bases_;
    object namespace_;
};

// A module-level function.
template <auto F>
object function(const ModuleInfo& module, const char* name, std::vector<Param> params) {
    return native<F>::function(module, Signature(name, std::move(params), detail::body_traits<decltype(F)>::varkw));
}

// super(cls, self).name(*args, **kw) as a method body inside `cls` means it, found
// along type(self).__mro__ without creating the proxy or a bound method. args[-1]
// must be writable scratch space; `kw` is a dict or null.
object call_super_vector(handle cls, handle self, handle name, PyObject* const* args, size_t nargs, handle kw);

template <typename... Args>
object call_super(handle cls, handle self, handle name, handle kw, Args... args) {
    PyObject* stack[] = {nullptr, handle(args).ptr()...};
    return call_super_vector(cls, self, name, stack + 1, sizeof...(Args), kw);
}

}  // namespace py
