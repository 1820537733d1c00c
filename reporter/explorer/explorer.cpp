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

// self._obj by the normal lookup only: going through __getattr__ would recurse on
// an instance that never got one (a failed constructor, copy and pickle probing a
// bare instance). Empty when absent.
object fetched(handle self) {
    PyObject* obj = PyObject_GenericGetAttr(self.ptr(), n::_obj);
    if (obj)
        return py::steal(obj);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        py::throw_error();
    PyErr_Clear();
    return object();
}

object init(handle self, handle client, handle id_list) {
    object path = py::truthy(id_list) ? py::borrow(id_list) : py::new_list();
    py::setattr(self, n::_id_list, path);
    py::setattr(self, n::_client, client);
    // One server call: the run set for the empty path, otherwise the node it names.
    object obj = py::truthy(path)
                     ? py::call_keywords(py::getattr(client, n::get_section), 0, state->id_list_keyword, path)
                     : py::call_method(client, n::get_runset);
    py::setattr(self, n::_obj, obj);
    if (!py::truthy(obj))
        return py::none();
    for (PyObject* name : {n::tasks, n::sections}) {
        if (!py::contains(obj, name))
            continue;
        object children = py::call_method(obj, n::get, name);
        py::setattr(self, name, py::call(global(n::ExplorerSections), self, children));
    }
    return py::none();
}

object to_bool(handle self) {
    object obj = fetched(self);
    return py::boolean(obj && py::truthy(obj));
}

object get_attribute(handle self, handle name) {
    object obj = fetched(self);
    if (!obj)
        py::raise(PyExc_AttributeError, "'%.100s' object has no attribute '%S'", Py_TYPE(self.ptr())->tp_name,
                  name.ptr());
    return py::call_method(obj, n::get, name);
}

object get_item(handle self, handle key) { return py::call_method(py::getattr(self, n::_obj), n::get, key); }

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
