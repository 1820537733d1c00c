// ReportObjectBase: identity, timing, data merging, roll-up and external forms of
// every report node.
#include "reporter/runset/reads.h"
#include "reporter/runset/roads.h"

#include <algorithm>

#include "native/traceback.h"

namespace runset {
namespace {

// A node directly under the run set (or with no parent) starts the path.
bool is_path_root(handle parent) { return !py::truthy(parent) || is_instance(parent, global(n::RunSet)); }

// The instance dict of a new node made at the size its attributes fill, where its
// class shares no key table among its instances (3.10 would make a small dict and
// grow it twice).
void presize_own_dict(handle self) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (!py::compat::attributes_in_dict || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_dictoffset <= 0 ||
        py::compat::shares_instance_keys(type))
        return;
    PyObject** slot = py::compat::instance_dict_slot(self.ptr());
    if (slot && !*slot)
        *slot = py::take(py::compat::presized_dict(21)).release();
}

// type(self).__name__. A class of the plain metaclass answers with the name it
// holds: the metaclass's own data descriptor comes before anything in the class.
object class_name(handle self) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (Py_TYPE(reinterpret_cast<PyObject*>(type)) == &PyType_Type && (type->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return py::borrow(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name);
    return py::getattr(py::type_of(self), n::__name__);
}

object init(handle self, handle id, handle seq_num, handle parent, handle type) {
    presize_own_dict(self);
    object kind = py::truthy(type) ? py::borrow(type) : class_name(self);
    py::setattr(self, n::type, kind);
    py::setattr(self, n::id, id);
    py::setattr(self, n::seq_num, seq_num);
    py::setattr(self, n::_parent, parent);
    py::setattr(self, n::name, id);
    py::setattr(self, n::starttime, Py_None);
    py::setattr(self, n::stoptime, Py_None);
    py::setattr(self, n::runtime, Py_None);
    py::setattr(self, n::details, py::new_list());
    py::setattr(self, n::extra, py::new_dict());
    return py::none();
}

object fullid(handle self);
object idlist(handle self);

// parent.fullid or parent.idlist. Where the parent's class reads attributes the
// default way and the name is still this module's own property there, its body is
// run directly, with the depth count and traceback entry its call would add.
object parent_path(handle parent, handle name, handle property, object (*body)(handle), const char* qualname) {
    PyTypeObject* type = Py_TYPE(parent.ptr());
    // Found along the MRO itself: what getattr(type, name) would pass through a
    // descriptor's __get__ first.
    if (type->tp_getattro == PyObject_GenericGetAttr && Py_TYPE(reinterpret_cast<PyObject*>(type)) == &PyType_Type &&
        py::class_lookup(type, name.ptr()) == property.ptr()) {
        py::recursion_guard call(" while calling a Python object");
        try {
            return body(parent);
        } catch (const py::error_already_set&) {
            py::add_traceback(qualname, state->info.filename, state->info.globals);
            throw;
        }
    }
    return py::getattr(parent, name);
}

object fullid(handle self) {
    object parent = py::getattr(self, n::_parent);
    if (is_path_root(parent))
        return py::getattr(self, n::id);
    object parent_path = runset::parent_path(parent, n::fullid, state->fullid_property, fullid,
                                             "ReportObjectBase.fullid");
    object id = py::getattr(self, n::id);
    // str(parent.fullid) + "." + str(self.id): two exact str joined at once.
    object head = py::str(parent_path), tail = py::str(id);
    if (PyUnicode_CheckExact(head.ptr()) && PyUnicode_CheckExact(tail.ptr()))
        return py::take(dotted(head, tail).release());
    object joined = py::take(PyUnicode_Concat(head.ptr(), state->dot.ptr()));
    return py::take(PyUnicode_Concat(joined.ptr(), tail.ptr()));
}

object idlist(handle self) {
    object parent = py::getattr(self, n::_parent);
    object id = py::getattr(self, n::id);
    if (is_path_root(parent)) {
        object path = py::new_list();
        py::append(path, id);
        return path;
    }
    object path = parent_path(parent, n::idlist, state->idlist_property, idlist, "ReportObjectBase.idlist");
    // Our own property hands out a fresh list that nobody else holds: grow it in
    // place instead of copying it once per level.
    if (PyList_CheckExact(path.ptr()) && Py_REFCNT(path.ptr()) == 1) {
        py::append(path, id);
        return path;
    }
    object tail = py::new_list();
    py::append(tail, id);
    return py::add(path, tail);
}

object start(handle self, kwargs data) {
    py::setattr(self, n::starttime, py::call(global(n::get_time)));
    py::call_method_direct(self, n::update, data);
    return py::none();
}

object stop(handle self, kwargs data) {
    if (!py::getattr(self, n::starttime).is_none()) {
        py::setattr(self, n::stoptime, py::call(global(n::get_time)));
        object elapsed = py::subtract(py::getattr(self, n::stoptime), py::getattr(self, n::starttime));
        py::setattr(self, n::runtime, py::call_method(elapsed, n::total_seconds));
    }
    py::call_method_direct(self, n::update, data);
    py::call_method_direct(self, n::roll_up);
    return py::none();
}

// key in names. Comparing a plain str with the plain str items of a list runs no
// code, so those are matched by identity and hash before any full comparison; any
// other case is left to `in` itself. Interned strings of one text are one object,
// so an interned key that is none of the items, all interned, equals none of them.
bool names_contain(handle names, handle key) {
    PyObject* list = names.ptr();
    PyObject* k = key.ptr();
    if (!PyList_CheckExact(list) || !PyUnicode_CheckExact(k))
        return py::contains(names, key);
    bool all_interned = PyUnicode_CHECK_INTERNED(k);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (item == k)
            return true;
        if (!PyUnicode_CheckExact(item))
            return py::contains(names, key);
        all_interned = all_interned && PyUnicode_CHECK_INTERNED(item);
    }
    if (all_interned)
        return false;
    Py_hash_t hash = PyObject_Hash(k);
    if (hash == -1)
        py::throw_error();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (PyObject_Hash(item) == hash && PyUnicode_Compare(item, k) == 0)
            return true;
    }
    return false;
}

object update(handle self, handle data) {
    object extras = py::new_dict();
    object arg_order = py::getattr(self, n::_ARG_ORDER);
    py::for_each_item(data, n::items, [&](handle key, handle value) {
        if (!names_contain(arg_order, key)) {
            py::setitem(extras, key, value);
            return;
        }
        object current = py::getattr(self, key, Py_None);
        if (!PyList_Check(current.ptr()))
            py::setattr(self, key, value);
        else if (PyList_Check(value.ptr()))
            py::extend(current, value);
        else
            py::append(current, value);
    });
    py::call_method_direct(self, n::update_extra, extras);
    return py::none();
}

object update_extra(handle self, handle data, handle list_extend) {
    object extra = py::getattr(self, n::extra);
    py::call_keywords(global(n::recursive_update), 2, state->list_extend_keyword, extra, data, list_extend);
    return py::none();
}

object add_detail(handle self, handle detail) {
    py::append(py::getattr(self, n::details), detail);
    return py::none();
}

void roll_up_health_entries(handle self, handle parent, handle entries) {
    for (object& entry : py::iterate(entries)) {
        // entry["result"] is read twice, once per use, as the roll-up's rule reads it.
        object parsed = py::call_method(global(n::TestResult), n::from_str, py::getitem(entry, n::result));
        combine_into(self, n::health_result, parsed, false);
        object key = py::call_method(py::str(py::getitem(entry, n::result)), n::lower);
        py::item_add(py::getattr(self, n::health_summary), key, state->one);
        combine_into(parent, n::health_result, py::getattr(self, n::health_result), true);
        py::item_add(py::getattr(parent, n::health_summary), key, state->one);
    }
}

void roll_up_health_summary(handle self, handle parent) {
    object own = py::getattr(self, n::health_result);
    if (own.is_none())
        py::setattr(self, n::health_result, global(n::Passed));
    else
        combine_into(parent, n::health_result, own, true);
    object source = py::getattr(self, n::health_summary);
    object target = py::getattr(parent, n::health_summary);
    for (object& key : py::iterate(state->health_summary_keys))
        py::setitem(target, key, py::getitem(source, key));
}

object roll_up(handle self) {
    object parent = py::getattr(self, n::_parent);
    if (!py::truthy(parent))
        return py::none();
    object result = py::getattr(self, n::result, Py_None);
    if (result.is_none() || !py::hasattr(parent, n::result))
        return py::none();

    combine_into(parent, n::result, result, true);
    object extra = py::getattr(self, n::extra);
    if (py::contains(extra, n::health))
        roll_up_health_entries(self, parent, py::getitem(extra, n::health));
    else
        roll_up_health_summary(self, parent);
    py::call_method_direct(parent, n::roll_up);
    return py::none();
}

object header_of(handle self) { return py::call_method(py::call(global(n::ReportHeader), self), n::as_dict); }

object dump_json(handle self) {
    object document = header_of(self);
    object json = global(n::json);
    object dumps = py::getattr(json, n::dumps);
    object dumper = global(n::JSONDumper);
    if (state->json_road && state->json_road->intact(json, dumps, dumper))
        return state->json_road->write(document);
    return py::call_keywords(dumps, 1, state->json_dumps_keywords, document, dumper);
}

object dump_yaml(handle self) {
    object document = header_of(self);
    if (state->yaml_road && state->yaml_road->intact()) {
        if (object text = state->yaml_road->write(document))
            return text;
    }
    object dump = py::getattr(global(n::yaml), n::dump);
    return py::call_keywords(dump, 1, state->yaml_dump_keywords, document, global(n::YAMLDumper), Py_False);
}

object to_dict(handle self) {
    object result = py::new_dict();
    CodelessReads reads(state->info.globals);
    object order = py::getattr(self, n::_ARG_ORDER);
    // Stepping through anything but a list or tuple may run code.
    bool stable = PyList_CheckExact(order.ptr()) || PyTuple_CheckExact(order.ptr());
    for (object& name : py::iterate(order)) {
        if (!stable)
            reads.forget();
        if (object value = reads.if_present(self, name))
            py::setitem(result, name, value);
    }
    for (PyObject* key : {n::tasks, n::sections}) {
        object children = py::lookup(result, key);
        if (!children)
            continue;
        object ids = py::new_list();
        // An exact list steps through its items without running code.
        if (!PyList_CheckExact(children.ptr()))
            reads.forget();
        for (object& child : py::iterate(children))
            py::append(ids, reads.always(child, n::id));
        py::setitem(result, key, ids);
    }
    py::setitem(result, n::seq_num, reads.always(self, n::seq_num));
    if (object value = reads.if_present(self, n::logfile))
        py::setitem(result, n::logfile, value);
    return result;
}

object to_yaml(handle, handle dumper, handle data) {
    object pairs = py::new_list();
    for_each_reported(data, [&](handle name, handle value) { py::append(pairs, py::tuple(name, value)); });
    return py::call_method(dumper, n::represent_mapping, global(n::YAML_MAP), pairs);
}

}  // namespace

void combine_into(handle target, handle name, handle value, bool clone_first) {
    object current = py::getattr(target, name);
    if (current.is_none())
        py::setattr(target, name, clone_first ? py::call_method(value, n::clone) : py::borrow(value));
    else
        py::setattr(target, name, py::inplace_add(current, value));
}

namespace {

// cls(**kw), as type.__call__ runs it, for a class of the plain metaclass whose
// __new__ is object's and whose __init__ is a native function: the keywords reach
// __init__ as the dict they are. Anything else is called as it is.
object construct(handle cls, handle kw) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (Py_TYPE(cls.ptr()) != &PyType_Type || type->tp_new != PyBaseObject_Type.tp_new)
        return py::call_kwargs(cls, nullptr, 0, kw);
    // type.__getattribute__ would find the metaclass's __init__ no data descriptor,
    // then the class's own, which a native function gives unbound as itself.
    object init;
    PyObject* found = py::compat::type_lookup(type, n::__init__);
    if (found && py::is_native_function(found))
        init = py::borrow(found);
    else
        init = py::getattr(cls, n::__init__);
    if (!py::is_native_function(init))
        return py::call_kwargs(cls, nullptr, 0, kw);
    object no_args = py::take(PyTuple_New(0));
    object instance = py::take(type->tp_new(type, no_args.ptr(), kw.ptr()));
    PyObject* self = instance.ptr();
    object result = py::call_native(init, &self, 1, kw);
    if (!result.is_none())
        py::raise(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.ptr())->tp_name);
    return instance;
}

}  // namespace

object add_child(handle parent, handle children, handle cls, kwargs&& kw) {
    // The keyword merge of cls(parent=self, **kw) refuses a caller's own parent
    // before anything is made.
    if (py::contains(kw, n::parent))
        py::raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function", n::parent);
    py::setitem(kw, n::parent, parent);
    object child = construct(cls, kw);
    py::append(py::getattr(parent, children), child);
    return child;
}

object basename(handle path) { return py::call_method(py::getattr(global(n::os), n::path), n::basename, path); }

object getsize(handle path) { return py::call_method(py::getattr(global(n::os), n::path), n::getsize, path); }

void log_record_begin(handle logs, handle logfile) {
    py::setitem(logs, n::file, basename(logfile));
    py::setitem(logs, n::begin, getsize(logfile));
}

void log_record_size(handle logs, handle logfile) {
    object current = getsize(logfile);
    py::setitem(logs, n::size, py::subtract(current, py::getitem(logs, n::begin)));
}

object define_report_object_base(handle base) {
    py::ClassBuilder cls(state->info, "ReportObjectBase", py::tuple(base));
    cls.add("_ARG_ORDER", py::list_of({"type", "id", "fullid", "idlist", "name", "starttime", "stoptime", "runtime",
                                       "details", "extra"}))
        .method<init>("__init__", {{"self"}, {"id"}, {"seq_num"}, py::opt("parent", Py_None), py::opt("type", Py_None)})
        .property<fullid>("fullid")
        .property<idlist>("idlist")
        .method<start>("start", {{"self"}})
        .method<stop>("stop", {{"self"}})
        .method<update>("update", {{"self"}, {"data"}})
        .method<update_extra>("update_extra", {{"self"}, {"data"}, py::opt("list_extend", Py_True)})
        .method<add_detail>("add_detail", {{"self"}, {"detail"}})
        .method<roll_up>("roll_up", {{"self"}})
        .method<dump_json>("dump_json", {{"self"}})
        .method<dump_yaml>("dump_yaml", {{"self"}})
        .method<to_dict>("to_dict", {{"self"}})
        .classmethod<to_yaml>("to_yaml", {{"cls"}, {"dumper"}, {"data"}});
    return cls.create();
}

}  // namespace runset
