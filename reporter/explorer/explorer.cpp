// Explorer: one node of a stored run, fetched from the reporter server when made.
#include "reporter/explorer/explorer.h"

namespace explorer {
namespace {

const char* const explorer_doc =
    "Explorer\n"
    "\n"
    "    Acts like a runset-like object, and only retrieves child sections from\n"
    "    the reporter server when they are accessed\n"
    "    ";

// Empty when `obj` is null for an AttributeError; any other error propagates.
object unless_missing(PyObject* obj) {
    if (obj)
        return py::steal(obj);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        py::throw_error();
    PyErr_Clear();
    return object();
}

// self._obj through the instance's own lookup (a subclass's __getattribute__
// included). Empty when absent: __getattr__ below answers for _obj without
// recursing, as it must for an instance that never got one (a failed constructor,
// copy and pickle probing a bare instance).
object fetched(handle self) {
    if (object dict = py::steal(own_instance_dict(self.ptr()))) {
        if (PyObject* value = PyDict_GetItemWithError(dict.ptr(), n::_obj))
            return py::borrow(value);
        if (PyErr_Occurred())
            py::throw_error();
    }
    return unless_missing(PyObject_GetAttr(self.ptr(), n::_obj));
}

// mapping.get(key); an exact dict's own get (which no one can replace) without the
// method lookup and call: the same hash and lookup, None when absent.
object mapping_get(handle mapping, handle key) {
    if (!PyDict_CheckExact(mapping.ptr()))
        return py::call_method(mapping, n::get, key);
    if (PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr()))
        return py::borrow(value);
    if (PyErr_Occurred())
        py::throw_error();
    return py::none();
}

bool is_obj_name(handle name) {
    if (name.ptr() == n::_obj)
        return true;
    if (!PyUnicode_Check(name.ptr()))
        return false;
    // Attribute names come interned, and two interned strings are equal only as
    // the same object.
    if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_CHECK_INTERNED(name.ptr()))
        return false;
    int equal = PyUnicode_Compare(name.ptr(), n::_obj);
    if (equal == -1 && PyErr_Occurred())
        py::throw_error();
    return equal == 0;
}

object init(handle self, handle client, handle id_list) {
    object path = py::truthy(id_list) ? py::borrow(id_list) : py::new_list();
    store(self, n::_id_list, path);
    store(self, n::_client, client);
    // One server call: the run set for the empty path, otherwise the node it names.
    object obj = py::truthy(path) ? py::call_method_keywords(client, n::get_section, 0, state->id_list_keyword, path)
                                  : py::call_method(client, n::get_runset);
    store(self, n::_obj, obj);
    // Read back as self._obj wherever used, so a subclass sees its own lookup.
    if (!py::truthy(read(self, n::_obj)))
        return py::none();
    for (PyObject* name : {n::tasks, n::sections}) {
        if (!py::contains(read(self, n::_obj), name))
            continue;
        object sections_class = global(n::ExplorerSections);
        object children = mapping_get(read(self, n::_obj), name);
        store(self, name, make(sections_class, self, children));
    }
    return py::none();
}

object to_bool(handle self) {
    object obj = fetched(self);
    return py::boolean(obj && py::truthy(obj));
}

object get_attribute(handle self, handle name) {
    // Asked for _obj, the instance's lookup has already failed (or this is a direct
    // call): only the plain lookup is tried, so a bare instance does not recurse.
    object obj = is_obj_name(name) ? unless_missing(PyObject_GenericGetAttr(self.ptr(), n::_obj)) : fetched(self);
    if (!obj)
        py::raise(PyExc_AttributeError, "'%.100s' object has no attribute '%S'", Py_TYPE(self.ptr())->tp_name,
                  name.ptr());
    return mapping_get(obj, name);
}

object get_item(handle self, handle key) { return mapping_get(read(self, n::_obj), key); }

}  // namespace

object define_explorer(handle base) {
    py::ClassBuilder cls(state->info, "Explorer", py::tuple(base));
    cls.doc(explorer_doc)
        .method<init>("__init__", {{"self"}, {"client"}, py::opt("id_list", Py_None)})
        .method<to_bool>("__bool__", {{"self"}})
        .method<get_attribute>("__getattr__", {{"self"}, {"name"}})
        .method<get_item>("__getitem__", {{"self"}, {"key"}});
    return cls.create();
}

}  // namespace explorer
