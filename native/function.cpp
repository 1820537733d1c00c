#include "native/function.h"

#include "native/traceback.h"

#include <structmember.h>

#include <cstddef>

namespace py {
namespace detail {
namespace {

void function_dealloc(PyObject* self) {
    auto* function = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (function->weakreflist)
        PyObject_ClearWeakRefs(self);
    delete function->signature;
    Py_XDECREF(function->globals);
    Py_XDECREF(function->name);
    Py_XDECREF(function->qualname);
    Py_XDECREF(function->module_name);
    Py_XDECREF(function->doc);
    type->tp_free(self);
    Py_DECREF(type);
}

// Binds like a Python function: to an instance as a method, to nothing as itself.
PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None)
        return borrow(self).release();
    return PyMethod_New(self, instance);
}

// The globals lead back here through the module's classes and functions.
int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<FunctionObject*>(self)->globals);
    return 0;
}

// Pickled by qualified name, as a Python function is; copy and deepcopy take a
// name for the object itself.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return borrow(reinterpret_cast<FunctionObject*>(self)->qualname).release();
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "kovra.native_function",
    sizeof(FunctionObject),
    0,
    // METHOD_DESCRIPTOR lets method calls skip making a bound method.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// Made on first use and kept for the process, like the functions made from it.
PyTypeObject* function_type = nullptr;

PyTypeObject* get_function_type() {
    if (!function_type)
        function_type = reinterpret_cast<PyTypeObject*>(take(PyType_FromSpec(&function_spec)).release());
    return function_type;
}

}  // namespace

object new_function(const ModuleInfo& module, Signature signature, vectorcallfunc entry, const char* doc,
                    dictcallfunc dict_entry) {
    if (!module.globals || !module.ready)
        raise(PyExc_SystemError, "native function made outside its module's start-up");
    object doc_text = doc ? text(doc) : none();
    object name = text(signature.name());
    object qualname = text(signature.qualname());
    object module_name = text(module.name);
    auto* owned = new Signature(std::move(signature));
    PyTypeObject* type = get_function_type();
    auto* function = PyObject_GC_New(FunctionObject, type);
    if (!function) {
        delete owned;
        throw_error();
    }
    function->vectorcall = entry;
    function->signature = owned;
    function->globals = borrow(module.globals).release();
    function->ready = module.ready;
    function->filename = module.filename;
    function->name = name.release();
    function->qualname = qualname.release();
    function->module_name = module_name.release();
    function->doc = doc_text.release();
    function->weakreflist = nullptr;
    function->dict_entry = dict_entry;
    PyObject_GC_Track(function);
    return steal(reinterpret_cast<PyObject*>(function));
}

void translate_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

void report_failure(const FunctionObject* function) {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "native function failed without setting an error");
    add_traceback(function->signature->qualname(), function->filename, function->globals);
}

void refuse_unready(const FunctionObject* function) {
    PyErr_Format(PyExc_ImportError, "%U cannot run: module '%U' did not finish its start-up", function->qualname,
                 function->module_name);
}

}  // namespace detail

bool is_native_function(handle obj) { return detail::function_type && Py_TYPE(obj.ptr()) == detail::function_type; }

}  // namespace py
