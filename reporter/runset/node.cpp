// ReportObjectBase: identity, timing, data merging, roll-up and external forms of
// every report node.
#include "reporter/runset/runset.h"

#include <algorithm>

#include "native/traceback.h"

namespace runset {
namespace {

// A node directly under the run set (or with no parent) starts the path.
bool is_path_root(handle parent) { return !py::truthy(parent) || py::isinstance(parent, global(n::RunSet)); }

#if PY_VERSION_HEX < 0x030B0000
// The instance dict of a new node made at the size its attributes fill, where its
// class shares no key table among its instances (the interpreter would make a
// small dict and grow it twice).
void presize_own_dict(handle self) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_dictoffset <= 0 ||
        reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys)
        return;
    PyObject** slot = _PyObject_GetDictPtr(self.ptr());
    if (!*slot)
        *slot = py::take(_PyDict_NewPresized(21)).release();
}
#endif

// type(self).__name__. A class of the plain metaclass answers with the name it
// holds: the metaclass's own data descriptor comes before anything in the class.
object class_name(handle self) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (Py_TYPE(reinterpret_cast<PyObject*>(type)) == &PyType_Type && (type->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return py::borrow(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name);
    return py::getattr(py::type_of(self), n::__name__);
}

object init(handle self, handle id, handle seq_num, handle parent, handle type) {
#if PY_VERSION_HEX < 0x030B0000
    presize_own_dict(self);
#endif
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
    if (type->tp_getattro == PyObject_GenericGetAttr && Py_TYPE(reinterpret_cast<PyObject*>(type)) == &PyType_Type &&
        py::getattr_optional(reinterpret_cast<PyObject*>(type), name).ptr() == property.ptr()) {
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
    // str(parent.fullid) + "." + str(self.id), without the cost of a format string.
    object head = py::str(parent_path), tail = py::str(id);
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

// ---- reads that certainly run no code ------------------------------------------
//
// to_dict reads each attribute twice, hasattr then getattr, with nothing between
// the two. Where the first read is certain to have run no Python code, the second
// cannot differ from it and is not made again. Certain means: the instance's class
// is of the plain metaclass and reads attributes the default way; the name is no
// attribute of the class (so no descriptor) or is this module's own path property;
// the instance dict holds only exact str keys (so the lookup compares no foreign
// key); and every value met along a path is a plain str, None or such a node.
// Anything else is read the generic way, twice.

#if PY_VERSION_HEX < 0x030F0000
#define RUNSET_QUIET_READS 1
PyObject* class_attribute(PyTypeObject* type, handle name) { return _PyType_Lookup(type, name.ptr()); }
#else
#define RUNSET_QUIET_READS 0
#endif

[[maybe_unused]] bool quiet_type(PyTypeObject* type) {
    return RUNSET_QUIET_READS && type->tp_getattro == PyObject_GenericGetAttr &&
           Py_TYPE(reinterpret_cast<PyObject*>(type)) == &PyType_Type;
}

#if PY_VERSION_HEX < 0x030C0000
// Dicts found to hold exact str keys only, with the version they had then. Every
// dict made or changed takes a version no other dict has had, so a dict at the
// same address with the same version is the same dict, unchanged.
struct Confirmed {
    PyObject* dict;
    uint64_t version;
};
Confirmed confirmed_dicts[512];
#else
// From 3.12 no version tag can be relied upon: dicts found to hold exact str keys
// only are watched instead, and forgotten before any key is added, the dict
// emptied, refilled or freed (a changed value or a removed key keeps the verdict).
PyObject* confirmed_dicts[512];
int confirmed_watcher = -2;  // -2: not added yet, -1: none to be had

PyObject*& confirmed_slot(PyObject* dict) { return confirmed_dicts[(reinterpret_cast<uintptr_t>(dict) >> 4) % 512]; }

int forget_confirmed(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    if (event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED)
        return 0;
    PyObject*& slot = confirmed_slot(dict);
    if (slot == dict)
        slot = nullptr;
    return 0;
}
#endif

bool exact_str_keys(PyObject* dict) {
    [[maybe_unused]] auto* d = reinterpret_cast<PyDictObject*>(dict);
#if PY_VERSION_HEX < 0x030E0000
    // A table split from its class's shared keys admits exact str keys only: any
    // other key makes it an ordinary table first.
    if (d->ma_values)
        return true;
#endif
#if PY_VERSION_HEX < 0x030C0000
    Confirmed& slot = confirmed_dicts[(reinterpret_cast<uintptr_t>(dict) >> 4) % 512];
    if (slot.dict == dict && slot.version == d->ma_version_tag)
        return true;
#else
    PyObject*& slot = confirmed_slot(dict);
    if (slot == dict)
        return true;
#endif
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;
#if PY_VERSION_HEX < 0x030C0000
    slot = {dict, d->ma_version_tag};
#else
    if (confirmed_watcher == -2) {
        confirmed_watcher = PyDict_AddWatcher(forget_confirmed);
        if (confirmed_watcher < 0)
            PyErr_Clear();
    }
    if (confirmed_watcher >= 0) {
        if (PyDict_Watch(confirmed_watcher, dict) == 0)
            slot = dict;
        else
            PyErr_Clear();
    }
#endif
    return true;
}

// What one to_dict has confirmed since code last may have run: dicts whose lookups
// compare no foreign key. Forgotten whenever the generic road is taken.
class QuietReads {
public:
    explicit QuietReads(handle globals) : globals_(globals) {}

    void forget() {
        count_ = 0;
        globals_state_ = 0;
    }

    // The instance dict of a node of a quiet type, when its lookups run no code.
    object dict_of(handle node) {
        object dict = py::steal(PyObject_GenericGetDict(node.ptr(), nullptr));
        if (!dict) {
            PyErr_Clear();
            return object();
        }
        if (!PyDict_CheckExact(dict.ptr()))
            return object();
        if (!confirmed(dict.ptr()))
            return object();
        return dict;
    }

    bool globals_quiet() {
        if (globals_state_ == 0)
            globals_state_ = PyDict_CheckExact(globals_.ptr()) && exact_str_keys(globals_.ptr()) ? 1 : -1;
        return globals_state_ > 0;
    }

    handle globals() const { return globals_; }

private:
    bool confirmed(PyObject* dict) {
        for (int i = 0; i < count_; ++i)
            if (seen_[i] == dict)
                return true;
        if (!exact_str_keys(dict))
            return false;
        // Nothing is freed while no code runs, so a pointer stays that dict.
        if (count_ < int(sizeof seen_ / sizeof *seen_))
            seen_[count_++] = dict;
        return true;
    }

    handle globals_;
    int globals_state_ = 0;
    int count_ = 0;
    PyObject* seen_[8];
};

#if RUNSET_QUIET_READS
// node.name when it is a plain instance attribute; empty when absent or the class
// has the name.
PyObject* quiet_field(handle node, handle dict, handle name) {
    if (class_attribute(Py_TYPE(node.ptr()), name))
        return nullptr;
    return PyDict_GetItemWithError(dict.ptr(), name.ptr());  // exact str keys: cannot fail
}

// is_path_root(parent) as a certain answer: 1 or 0, or -1 when not certain.
int quiet_is_root(handle parent, QuietReads& quiet) {
    PyObject* p = parent.ptr();
    if (p == Py_None || p == Py_False)
        return 1;
    PyTypeObject* type = Py_TYPE(p);
    // A node type with none of these slots is true without running anything.
    if ((type->tp_as_number && type->tp_as_number->nb_bool) ||
        (type->tp_as_mapping && type->tp_as_mapping->mp_length) ||
        (type->tp_as_sequence && type->tp_as_sequence->sq_length) || !quiet_type(type) || !quiet.globals_quiet())
        return -1;
    PyObject* cls = PyDict_GetItemWithError(quiet.globals().ptr(), n::RunSet);
    if (!cls || Py_TYPE(cls) != &PyType_Type)
        return -1;
    if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls)))
        return 1;
    // isinstance would go on to read parent.__class__: object's own descriptor gives
    // the type itself.
    static PyObject* const object_class = class_attribute(&PyBaseObject_Type, n::__class__);
    if (class_attribute(type, n::__class__) != object_class)
        return -1;
    return 0;
}

// head + "." + tail of two exact str, made at once; empty with the error set.
object dotted(handle head, handle tail) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(head.ptr()) < 0 || PyUnicode_READY(tail.ptr()) < 0)
        return object();
#endif
    Py_ssize_t head_size = PyUnicode_GET_LENGTH(head.ptr()), tail_size = PyUnicode_GET_LENGTH(tail.ptr());
    Py_UCS4 widest = std::max(PyUnicode_MAX_CHAR_VALUE(head.ptr()), PyUnicode_MAX_CHAR_VALUE(tail.ptr()));
    object text = py::steal(PyUnicode_New(head_size + 1 + tail_size, widest));
    if (!text || PyUnicode_CopyCharacters(text.ptr(), 0, head.ptr(), 0, head_size) < 0 ||
        PyUnicode_WriteChar(text.ptr(), head_size, '.') < 0 ||
        PyUnicode_CopyCharacters(text.ptr(), head_size + 1, tail.ptr(), 0, tail_size) < 0)
        return object();
    return text;
}

// node.fullid or node.idlist as this module's property computes it, or empty when
// that is not certain to run no code. Takes the depth count the generic road's
// calls take.
object quiet_path(handle node, bool full, QuietReads& quiet) {
    PyTypeObject* type = Py_TYPE(node.ptr());
    if (!quiet_type(type) ||
        class_attribute(type, full ? n::fullid : n::idlist) !=
            (full ? state->fullid_property : state->idlist_property).ptr())
        return object();
    object dict = quiet.dict_of(node);
    if (!dict)
        return object();
    PyObject* parent = quiet_field(node, dict, n::_parent);
    PyObject* id = quiet_field(node, dict, n::id);
    if (!parent || !id)
        return object();
    int root = quiet_is_root(parent, quiet);
    if (root < 0)
        return object();
    if (py::enter_recursion(" while calling a Python object")) {
        PyErr_Clear();
        return object();
    }
    object value;
    if (root) {
        if (full) {
            value = py::borrow(id);
        } else {
            value = py::steal(PyList_New(1));
            if (value)
                PyList_SET_ITEM(value.ptr(), 0, py::borrow(id).release());
        }
    } else {
        object head = quiet_path(parent, full, quiet);
        if (!head) {
        } else if (!full) {
            if (PyList_Append(head.ptr(), id) == 0)
                value = std::move(head);
        } else if (PyUnicode_CheckExact(head.ptr()) && PyUnicode_CheckExact(id)) {
            value = dotted(head, id);
        }
    }
    py::compat::leave_recursive_call();
    if (!value)
        PyErr_Clear();  // a failure is left for the generic road to meet again
    return value;
}
#endif

// to_dict's hasattr-then-getattr of one name: the value, or empty when absent.
object read_if_present(handle self, handle name, QuietReads& quiet) {
#if RUNSET_QUIET_READS
    if (PyUnicode_CheckExact(name.ptr()) && quiet_type(Py_TYPE(self.ptr()))) {
        PyObject* attr = class_attribute(Py_TYPE(self.ptr()), name);
        if (!attr) {
            if (object dict = quiet.dict_of(self))
                return py::borrow(PyDict_GetItemWithError(dict.ptr(), name.ptr()));
        } else if (attr == state->fullid_property.ptr() || attr == state->idlist_property.ptr()) {
            if (object value = quiet_path(self, attr == state->fullid_property.ptr(), quiet))
                return value;
        }
    }
#endif
    // Generic: code may run, so nothing confirmed before is trusted afterwards.
    quiet.forget();
    if (py::hasattr(self, name))
        return py::getattr(self, name);
    return object();
}

// getattr(node, name), read without code where that is certain.
object read_always(handle node, handle name, QuietReads& quiet) {
#if RUNSET_QUIET_READS
    if (quiet_type(Py_TYPE(node.ptr())) && !class_attribute(Py_TYPE(node.ptr()), name)) {
        if (object dict = quiet.dict_of(node)) {
            if (PyObject* value = PyDict_GetItemWithError(dict.ptr(), name.ptr()))
                return py::borrow(value);
        }
    }
#endif
    quiet.forget();
    return py::getattr(node, name);
}

object to_dict(handle self) {
    object result = py::new_dict();
    QuietReads quiet(state->info.globals);
    object order = py::getattr(self, n::_ARG_ORDER);
    // Stepping through anything but a list or tuple may run code.
    bool stable = PyList_CheckExact(order.ptr()) || PyTuple_CheckExact(order.ptr());
    for (object& name : py::iterate(order)) {
        if (!stable)
            quiet.forget();
        if (object value = read_if_present(self, name, quiet))
            py::setitem(result, name, value);
    }
    for (PyObject* key : {n::tasks, n::sections}) {
        object children = py::lookup(result, key);
        if (!children)
            continue;
        object ids = py::new_list();
        // An exact list steps through its items without running code.
        if (!PyList_CheckExact(children.ptr()))
            quiet.forget();
        for (object& child : py::iterate(children))
            py::append(ids, read_always(child, n::id, quiet));
        py::setitem(result, key, ids);
    }
    py::setitem(result, n::seq_num, read_always(self, n::seq_num, quiet));
    if (object value = read_if_present(self, n::logfile, quiet))
        py::setitem(result, n::logfile, value);
    return result;
}

object to_yaml(handle, handle dumper, handle data) {
    object pairs = py::new_list();
    for_each_reported(data, [&](handle name, handle value) { py::append(pairs, py::tuple(name, value)); });
    return py::call_method(dumper, n::represent_mapping, global(n::YAML_MAP), pairs);
}

object header_of(handle self) {
    return py::call_method(py::call(global(n::ReportHeader), self), n::as_dict);
}

object dump_yaml(handle self) {
    object document = header_of(self);
    if (object text = dump_yaml_native(document))
        return text;
    object dump = py::getattr(global(n::yaml), n::dump);
    return py::call_keywords(dump, 1, state->yaml_dump_keywords, document, global(n::YAMLDumper), Py_False);
}

object dump_json(handle self) {
    object document = header_of(self);
    object json = global(n::json);
    object dumps = py::getattr(json, n::dumps);
    object dumper = global(n::JSONDumper);
    if (json_road_open(json, dumps, dumper))
        return write_report_json(document);
    return py::call_keywords(dumps, 1, state->json_dumps_keywords, document, dumper);
}

}  // namespace

int ignored_quietly(handle ignore, handle value) {
    // With VALUE_IGNORE as made at import ([None, [], {}], nothing added), the answer
    // for None and the plain builtin values is known without comparing, which for
    // these types runs no code.
    PyObject* list = ignore.ptr();
    PyObject* v = value.ptr();
    if (PyList_CheckExact(list) && PyList_GET_SIZE(list) == 3 && PyList_GET_ITEM(list, 0) == Py_None &&
        PyList_CheckExact(PyList_GET_ITEM(list, 1)) && PyList_GET_SIZE(PyList_GET_ITEM(list, 1)) == 0 &&
        PyDict_CheckExact(PyList_GET_ITEM(list, 2)) && PyDict_GET_SIZE(PyList_GET_ITEM(list, 2)) == 0) {
        if (v == Py_None)
            return 1;
        if (PyList_CheckExact(v))
            return PyList_GET_SIZE(v) == 0;
        if (PyDict_CheckExact(v))
            return PyDict_GET_SIZE(v) == 0;
        if (PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) ||
            PyTuple_CheckExact(v))
            return 0;
        // Neither side has a comparison of its own that could run: both defer, and
        // the values are not the same object.
        if (Py_TYPE(v)->tp_richcompare == PyBaseObject_Type.tp_richcompare || exact_datetime(value))
            return 0;
    }
    return -1;
}

namespace {

enum class QuietRead { none, attribute, path };

// getattr(node, name, <absent>) where that certainly runs no code: an instance
// attribute (`value` empty when absent) or this module's fullid/idlist property.
// `none` when it must be read the generic way.
QuietRead read_quietly(handle node, handle name, object& value) {
#if RUNSET_QUIET_READS
    PyTypeObject* type = Py_TYPE(node.ptr());
    if (!PyUnicode_CheckExact(name.ptr()) || !quiet_type(type))
        return QuietRead::none;
    PyObject* attr = class_attribute(type, name);
    QuietReads quiet(state->info.globals);
    if (!attr) {
        object dict = quiet.dict_of(node);
        if (!dict)
            return QuietRead::none;
        value = py::borrow(PyDict_GetItemWithError(dict.ptr(), name.ptr()));  // exact str keys: cannot fail
        return QuietRead::attribute;
    }
    if (attr != state->fullid_property.ptr() && attr != state->idlist_property.ptr())
        return QuietRead::none;
    value = quiet_path(node, attr == state->fullid_property.ptr(), quiet);
    return value ? QuietRead::path : QuietRead::none;
#else
    (void)node;
    (void)name;
    (void)value;
    return QuietRead::none;
#endif
}

}  // namespace

object reported_value(handle node, handle name, handle ignore) {
    object value;
    QuietRead quiet = read_quietly(node, name, value);
    if (quiet == QuietRead::none)
        value = py::getattr(node, name, Py_None);
    else if (!value)
        value = py::none();
    int known = ignored_quietly(ignore, value);
    if (known >= 0 && !value.is_none()) {
        // `in` would compare the value with None first, and a comparison takes a
        // depth level: the limit strikes here where it would strike there. Nothing
        // native nests inside, so the stack needs no check of its own.
        if (Py_EnterRecursiveCall(" in comparison"))
            py::throw_error();
        Py_LeaveRecursiveCall();
    }
    if (known > 0)
        return object();
    // A read that ran no code, tested without code, is not made again.
    if (known == 0 && quiet != QuietRead::none)
        return value;
    if (known < 0 && py::contains(ignore, value))
        return object();
    object again;
    if (read_quietly(node, name, again) != QuietRead::none && again)
        return again;
    return py::getattr(node, name);
}

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
#if PY_VERSION_HEX < 0x030F0000
    if (PyObject* found = _PyType_Lookup(type, n::__init__); found && py::is_native_function(found))
        init = py::borrow(found);
    else
#endif
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
