// Items, lists, dicts and unpacking.
#include "native/api.h"

namespace py {

void item_add(handle obj, handle key, handle delta) {
    object current = getitem(obj, key);
    setitem(obj, key, inplace_add(current, delta));
}

object list_of(std::initializer_list<const char*> names) {
    object list = new_list();
    for (const char* name : names)
        append(list, take(PyUnicode_InternFromString(name)));
    return list;
}

object lookup(handle dict, handle key) {
    object value = borrow(PyDict_GetItemWithError(dict.ptr(), key.ptr()));
    if (!value && PyErr_Occurred())
        throw_error();
    return value;
}

object pop(handle dict, handle key, handle fallback) {
    object value = lookup(dict, key);
    if (!value)
        return borrow(fallback);
    check(PyDict_DelItem(dict.ptr(), key.ptr()));
    return value;
}

void append(handle list, handle item) {
    if (PyList_CheckExact(list.ptr())) {
        check(PyList_Append(list.ptr(), item.ptr()));
        return;
    }
    static PyObject* name;
    call_method(list, interned(name, "append"), item);
}

void extend(handle list, handle items) {
    if (PyList_CheckExact(list.ptr())) {
        // list.extend itself: items appended one by one as the iterable yields them.
        check(compat::list_extend(list.ptr(), items.ptr()));
        return;
    }
    static PyObject* name;
    call_method(list, interned(name, "extend"), items);
}

std::array<object, 2> unpack_pair(handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2)
        return {borrow(PyTuple_GET_ITEM(item.ptr(), 0)), borrow(PyTuple_GET_ITEM(item.ptr(), 1))};
    std::array<object, 2> values;
    Py_ssize_t found = 0;
    for (object& value : iterate(item)) {
        if (found == 2) {
            compat::set_too_many_values(item.ptr(), 2);
            throw_error();
        }
        values[found++] = std::move(value);
    }
    if (found < 2)
        raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    return values;
}

}  // namespace py
