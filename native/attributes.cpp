// Attribute reads, and the interned names they are made with.
#include "native/api.h"

namespace py {

namespace {

// What class_lookup found lately, each while its class's version tag holds.
struct FoundInClass {
    PyTypeObject* type;
    PyObject* name;  // owned, so that no other string takes its address meanwhile
    unsigned int version;
    PyObject* found;  // borrowed: bound in the class or a base, alive while the tag holds
};
constexpr int found_bits = 9;
FoundInClass found_in_classes[size_t(1) << found_bits];

}  // namespace

PyObject* class_lookup(PyTypeObject* type, PyObject* name) {
    uint64_t mixed = (uint64_t(reinterpret_cast<uintptr_t>(type)) ^
                      (uint64_t(reinterpret_cast<uintptr_t>(name)) >> 4)) *
                     0x9E3779B97F4A7C15ULL;
    FoundInClass& slot = found_in_classes[mixed >> (64 - found_bits)];
    if (slot.type == type && slot.name == name && compat::type_version_holds(type, slot.version))
        return slot.found;
    // The lookup may compare a foreign key of a class dict, whose code may change
    // the class: kept only where the tag held from before the lookup to after.
    unsigned int version = PyUnicode_CheckExact(name) ? compat::type_version(type) : 0;
    PyObject* found = compat::type_lookup(type, name);
    if (compat::type_version_holds(type, version)) {
        PyObject* previous = slot.name;
        slot = {type, Py_NewRef(name), version, found};
        Py_XDECREF(previous);
    }
    return found;
}

// The interpreter's own optional lookup: a missing attribute of an ordinary
// instance costs no AttributeError object.
object getattr_optional(handle obj, handle name) {
    PyObject* value;
    if (compat::lookup_attribute(obj.ptr(), name.ptr(), &value) < 0)
        throw_error();
    return steal(value);
}

object getattr(handle obj, handle name, handle fallback) {
    object value = getattr_optional(obj, name);
    return value ? value : borrow(fallback);
}

bool hasattr(handle obj, handle name) {
    if (!PyUnicode_Check(name.ptr()))
        raise(PyExc_TypeError, "hasattr(): attribute name must be string");
    PyObject* value;
    int found = compat::lookup_attribute(obj.ptr(), name.ptr(), &value);
    if (found < 0)
        PyErr_Clear();
    Py_XDECREF(value);
    return found > 0;
}

handle interned(PyObject*& slot, const char* text) {
    // Kept for the life of the process: never released, so safe at shutdown.
    if (!slot)
        slot = PyUnicode_InternFromString(text);
    if (!slot)
        throw_error();
    return slot;
}

}  // namespace py
