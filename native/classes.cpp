#include "native/classes.h"

namespace py {

ClassBuilder::ClassBuilder(const ModuleInfo& module, const char* name, handle bases)
    : module_(module), qualname_(name), bases_(borrow(bases)), namespace_(new_dict()) {
    setitem(namespace_, text("__module__"), text(module.name));
    setitem(namespace_, text("__qualname__"), text(name));
}

ClassBuilder& ClassBuilder::add(const char* name, object value) {
    check(PyDict_SetItemString(namespace_.ptr(), name, value.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::doc(const char* value) { return add("__doc__", text(value)); }

object ClassBuilder::create() {
    object name = text(qualname_.c_str());
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name, bases_, namespace_);
}

object call_super_vector(handle cls, handle self, handle name, PyObject* const* args, size_t nargs, handle kw) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (!PyType_Check(cls.ptr()) || !PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls.ptr())))
        raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");

    // The class after `cls` in the instance's MRO that defines `name`, as super() finds it.
    PyObject* mro = type->tp_mro;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != cls.ptr())
        ++i;
    object found;
    for (++i; i < n && !found; ++i) {
        object dict = take(compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        found = borrow(PyDict_GetItemWithError(dict.ptr(), name.ptr()));
        if (!found && PyErr_Occurred())
            throw_error();
    }
    if (!found)
        raise(PyExc_AttributeError, "'super' object has no attribute '%U'", name.ptr());

    // Functions and native methods take the instance as first argument; anything
    // else binds through its own descriptor.
    if (is_native_function(found) || PyFunction_Check(found.ptr())) {
        PyObject** stack = const_cast<PyObject**>(args) - 1;
        PyObject* saved = stack[0];
        stack[0] = self.ptr();
        PyObject* result = PyObject_VectorcallDict(found.ptr(), stack, nargs + 1, kw.ptr());
        stack[0] = saved;
        return take(result);
    }
    descrgetfunc get = Py_TYPE(found.ptr())->tp_descr_get;
    object bound = get ? take(get(found.ptr(), self.ptr(), reinterpret_cast<PyObject*>(type))) : std::move(found);
    return take(PyObject_VectorcallDict(bound.ptr(), args, nargs, kw.ptr()));
}

}  // namespace py
