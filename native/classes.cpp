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

namespace {

// The dict of a type's own attributes.
object own_dict(PyObject* type) { return take(compat::type_dict(reinterpret_cast<PyTypeObject*>(type))); }

// `name` in the first dict along mro[start:] that has it. The caller owns `mro`
// for the whole walk: a dict key's __eq__ may assign __bases__ and drop the
// type's tuple meanwhile, as the interpreter's own lookups allow for.
object find_in_mro(handle mro, Py_ssize_t start, handle name) {
    for (Py_ssize_t i = start; i < PyTuple_GET_SIZE(mro.ptr()); ++i) {
        object found = lookup(own_dict(PyTuple_GET_ITEM(mro.ptr(), i)), name);
        if (found)
            return found;
    }
    return object();
}

// type.__mro__, owned.
object mro_of(handle type) { return borrow(reinterpret_cast<PyTypeObject*>(type.ptr())->tp_mro); }

// Whether mro[start:] is the __mro__ of mro[start], as it is under single
// inheritance: a lookup on that class then walks the same dicts in the same order.
bool same_tail(handle mro, Py_ssize_t start) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.ptr(), start));
    PyObject* tail = base->tp_mro;
    Py_ssize_t size = PyTuple_GET_SIZE(mro.ptr()) - start;
    if (!tail || !PyTuple_Check(tail) || PyTuple_GET_SIZE(tail) != size)
        return false;
    for (Py_ssize_t k = 0; k < size; ++k) {
        if (PyTuple_GET_ITEM(tail, k) != PyTuple_GET_ITEM(mro.ptr(), start + k))
            return false;
    }
    return true;
}

// `name` along the __mro__ of `type`, answered from the interpreter's method cache
// where it has it. The cache's own walk stops silently at a failing key comparison
// in a class dict: a miss walks again the plain way, which raises what it meets.
object cached_lookup(PyObject* type, handle name) {
    if (PyUnicode_CheckExact(name.ptr())) {
        if (PyObject* found = compat::type_lookup(reinterpret_cast<PyTypeObject*>(type), name.ptr()))
            return borrow(found);
    }
    return find_in_mro(mro_of(type), 0, name);
}


// What a descriptor found on `type` gives for `obj`.
object bind(object found, handle obj, handle type) {
    descrgetfunc get = Py_TYPE(found.ptr())->tp_descr_get;
    return get ? take(get(found.ptr(), obj.ptr(), type.ptr())) : std::move(found);
}

}  // namespace

namespace detail {

object lookup_special(handle obj, handle name) {
    object type = type_of(obj);
    object found = find_in_mro(mro_of(type), 0, name);
    return found ? bind(std::move(found), obj, type) : object();
}

}  // namespace detail

object call_super_vector(handle cls, handle self, handle name, PyObject* const* args, size_t nargs, handle kw) {
    // Owned: the lookup may run code that gives `self` another class.
    object type = type_of(self);
    if (!PyType_Check(cls.ptr()) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.ptr()), reinterpret_cast<PyTypeObject*>(cls.ptr())))
        raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");

    // The class after `cls` in the instance's MRO that defines `name`, as super() finds it.
    object mro = mro_of(type);
    Py_ssize_t n = PyTuple_GET_SIZE(mro.ptr()), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro.ptr(), i) != cls.ptr())
        ++i;
    object found = i + 1 < n && same_tail(mro, i + 1) ? cached_lookup(PyTuple_GET_ITEM(mro.ptr(), i + 1), name)
                                                      : find_in_mro(mro, i + 1, name);
    if (!found)
        raise(PyExc_AttributeError, "'super' object has no attribute '%U'", name.ptr());

    // Functions and native methods take the instance as first argument; anything
    // else binds through its own descriptor.
    if (is_native_function(found)) {
        // Keywords go over as the dict they are, not unpacked for the call.
        PyObject** stack = const_cast<PyObject**>(args) - 1;
        PyObject* saved = stack[0];
        stack[0] = self.ptr();
        PyObject* result =
            reinterpret_cast<detail::FunctionObject*>(found.ptr())->dict_entry(found.ptr(), stack, nargs + 1, kw.ptr());
        stack[0] = saved;
        return take(result);
    }
    if (PyFunction_Check(found.ptr())) {
        PyObject** stack = const_cast<PyObject**>(args) - 1;
        PyObject* saved = stack[0];
        stack[0] = self.ptr();
        PyObject* result = PyObject_VectorcallDict(found.ptr(), stack, nargs + 1, kw.ptr());
        stack[0] = saved;
        return take(result);
    }
    object bound = bind(std::move(found), self, type);
    return take(PyObject_VectorcallDict(bound.ptr(), args, nargs, kw.ptr()));
}

}  // namespace py
