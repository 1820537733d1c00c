#include "native/module.h"

#include <cstring>
#include <string>

namespace py {
namespace detail {

void check_single_interpreter() {
    static int64_t first_interpreter = -1;
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1)
        throw_error();
    if (first_interpreter == -1)
        first_interpreter = current;
    else if (first_interpreter != current)
        raise(PyExc_ImportError,
              "Interpreter change detected - this module can only be loaded into one interpreter per process.");
}

void raise_reinitialised(const char* short_name) {
    raise(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
          short_name);
}

}  // namespace detail

void intern_identifier(PyObject*& slot, const char* identifier) {
    size_t length = std::strlen(identifier);
    if (length > 1 && identifier[0] != '_' && identifier[length - 1] == '_')
        --length;
    std::string text(identifier, length);
    interned(slot, text.c_str());
}

object import(const char* name, handle globals) {
    object module_name = text(name);
    return take(PyImport_ImportModuleLevelObject(module_name.ptr(), globals.ptr(), nullptr, nullptr, 0));
}

object import_module(const char* name, handle globals) {
    // As `import a.b as m` does it: import the top package, then walk down to the leaf.
    object module = import(name, globals);
    for (const char* part = std::strchr(name, '.'); part; part = std::strchr(part + 1, '.')) {
        const char* end = std::strchr(part + 1, '.');
        object attribute = take(end ? PyUnicode_FromStringAndSize(part + 1, end - part - 1)
                                    : PyUnicode_FromString(part + 1));
        module = getattr(module, attribute);
    }
    return module;
}

object import_from(const char* package, const char* name, handle globals) {
    object package_name = text(package), wanted = text(name);
    object fromlist = tuple(wanted);
    object module = take(PyImport_ImportModuleLevelObject(package_name.ptr(), globals.ptr(), nullptr,
                                                          fromlist.ptr(), 0));
    PyObject* value = PyObject_GetAttr(module.ptr(), wanted.ptr());
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise(PyExc_ImportError, "cannot import name %S", wanted.ptr());
        }
        throw_error();
    }
    return steal(value);
}

object builtin(handle name) {
    object value = lookup(PyEval_GetBuiltins(), name);
    if (!value)
        raise(PyExc_NameError, "name '%U' is not defined", name.ptr());
    return value;
}

object global(handle globals, handle name) {
    object value = lookup(globals, name);
    return value ? value : builtin(name);
}

}  // namespace py
