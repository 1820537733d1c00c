// Ordinary Python classes whose methods are native functions.
#pragma once

#include "native/function.h"

#include <string>
#include <vector>

namespace py {

// Builds a class the way a `class` statement does: type(name, bases, namespace),
// so instances get a `__dict__`, callers may subclass, and methods bind like
// Python functions.
class ClassBuilder {
public:
    ClassBuilder(const ModuleInfo& module, const char* name, handle bases);

    template <auto F>
    ClassBuilder& method(const char* name, std::vector<Param> params, const char* doc = nullptr) {
        return add(name, native<F>::function(module_, signature<F>(name, std::move(params)), doc));
    }

    template <auto F>
    ClassBuilder& classmethod(const char* name, std::vector<Param> params) {
        object function = native<F>::function(module_, signature<F>(name, std::move(params)));
        return add(name, take(PyClassMethod_New(function.ptr())));
    }

    // A read-only property computed by F(self).
    template <auto F>
    ClassBuilder& property(const char* name) {
        object getter = native<F>::function(module_, signature<F>(name, {{"self"}}));
        return add(name, call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter));
    }

    ClassBuilder& add(const char* name, object value);

    // The class docstring, as the first statement of a class body sets it.
    ClassBuilder& doc(const char* text);

    // Creates the class; the builder is spent afterwards.
    object create();

private:
    template <auto F>
    Signature signature(const char* name, std::vector<Param> params) {
        return Signature(qualname_ + "." + name, std::move(params), native<F>::varkw);
    }

    const ModuleInfo& module_;
    std::string qualname_;
    object bases_;
    object namespace_;
};

// super(cls, self).name(*args, **kw) as a method body inside `cls` means it, found
// along type(self).__mro__ without creating the proxy or a bound method. args[-1]
// must be writable scratch space; `kw` is a dict or null, held by the caller alone
// (a native callee reads its keywords straight from it).
object call_super_vector(handle cls, handle self, handle name, PyObject* const* args, size_t nargs, handle kw);

template <typename... Args>
object call_super(handle cls, handle self, handle name, handle kw, Args... args) {
    PyObject* stack[] = {nullptr, handle(args).ptr()...};
    return call_super_vector(cls, self, name, stack + 1, sizeof...(Args), kw);
}

}  // namespace py
