#include "reporter/runset/reads.h"

#include "reporter/runset/results.h"

#include <algorithm>
#include <cstring>

namespace runset {
namespace {

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

PyObject* class_attribute(PyTypeObject* type, handle name) { return py::class_lookup(type, name.ptr()); }

bool codeless_type(PyTypeObject* type) {
    return type->tp_getattro == PyObject_GenericGetAttr && Py_TYPE(reinterpret_cast<PyObject*>(type)) == &PyType_Type;
}

// A job's nodes each have a dict: room for several thousand.
constexpr int slot_bits = 13;

// Dicts found to hold exact str keys only, with the version they had then: a dict
// at the same address with the same version is the same dict, unchanged (up to
// 3.11).
struct Confirmed {
    PyObject* dict;
    uint64_t version;
};
Confirmed confirmed_dicts[size_t(1) << slot_bits];

// From 3.12 such dicts are watched instead, and forgotten before a key is added,
// the dict emptied, refilled or freed (a changed value or a removed key keeps the
// verdict).
PyObject* watched_dicts[size_t(1) << slot_bits];

// Dicts lie at a fixed stride in memory: the address is mixed so that they
// spread over every slot.
size_t slot_of(PyObject* dict) {
    return size_t((uint64_t(reinterpret_cast<uintptr_t>(dict)) * 0x9E3779B97F4A7C15ULL) >> (64 - slot_bits));
}

PyObject*& watched_slot(PyObject* dict) { return watched_dicts[slot_of(dict)]; }

void forget_watched(PyObject* dict) {
    PyObject*& slot = watched_slot(dict);
    if (slot == dict)
        slot = nullptr;
}

bool exact_str_keys(PyObject* dict) {
    // A table split from its class's shared keys admits exact str keys only: any
    // other key makes it an ordinary table first.
    if (py::compat::split_table(dict))
        return true;
    Confirmed* slot = nullptr;
    if (py::compat::has_dict_version) {
        slot = &confirmed_dicts[slot_of(dict)];
        if (slot->dict == dict && slot->version == py::compat::dict_version(dict))
            return true;
    } else if (py::compat::has_dict_watchers && watched_slot(dict) == dict) {
        return true;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;
    if (slot)
        *slot = {dict, py::compat::dict_version(dict)};
    else if (py::compat::has_dict_watchers && py::compat::watch_dict_keys(dict, forget_watched))
        watched_slot(dict) = dict;
    return true;
}

}  // namespace

inline object CodelessReads::dict_of(handle node) {
    object dict = py::steal(PyObject_GenericGetDict(node.ptr(), nullptr));
    if (!dict) {
        PyErr_Clear();
        return object();
    }
    if (!PyDict_CheckExact(dict.ptr()) || !confirmed(dict.ptr()))
        return object();
    return dict;
}

inline bool CodelessReads::globals_codeless() {
    if (globals_state_ == 0)
        globals_state_ = PyDict_CheckExact(globals_.ptr()) && exact_str_keys(globals_.ptr()) ? 1 : -1;
    return globals_state_ > 0;
}

inline bool CodelessReads::confirmed(PyObject* dict) {
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


namespace {

// node.name when it is a plain instance attribute; empty when absent or the class
// has the name.
PyObject* codeless_field(handle node, handle dict, handle name) {
    if (class_attribute(Py_TYPE(node.ptr()), name))
        return nullptr;
    return PyDict_GetItemWithError(dict.ptr(), name.ptr());  // exact str keys: cannot fail
}

// is_path_root(parent) as a certain answer: 1 or 0, or -1 when not certain.
int codeless_is_root(handle parent, CodelessReads& reads) {
    PyObject* p = parent.ptr();
    if (p == Py_None || p == Py_False)
        return 1;
    PyTypeObject* type = Py_TYPE(p);
    // A node type with none of these slots is true without running anything.
    if ((type->tp_as_number && type->tp_as_number->nb_bool) ||
        (type->tp_as_mapping && type->tp_as_mapping->mp_length) ||
        (type->tp_as_sequence && type->tp_as_sequence->sq_length) || !codeless_type(type) || !reads.globals_codeless())
        return -1;
    PyObject* cls = PyDict_GetItemWithError(reads.globals().ptr(), n::RunSet);
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


// node.fullid or node.idlist as this module's property computes it, or empty when
// that is not certain to run no code. Takes the depth count the generic road's
// calls take.
object codeless_path(handle node, bool full, CodelessReads& reads) {
    PyTypeObject* type = Py_TYPE(node.ptr());
    if (!codeless_type(type) || class_attribute(type, full ? n::fullid : n::idlist) !=
                                    (full ? state->fullid_property : state->idlist_property).ptr())
        return object();
    object dict = reads.dict_of(node);
    if (!dict)
        return object();
    PyObject* parent = codeless_field(node, dict, n::_parent);
    PyObject* id = codeless_field(node, dict, n::id);
    if (!parent || !id)
        return object();
    int root = codeless_is_root(parent, reads);
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
        object head = codeless_path(parent, full, reads);
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

}  // namespace

object dotted(handle head, handle tail) {
    if (py::compat::ready(head.ptr()) < 0 || py::compat::ready(tail.ptr()) < 0)
        return object();
    Py_ssize_t head_size = PyUnicode_GET_LENGTH(head.ptr()), tail_size = PyUnicode_GET_LENGTH(tail.ptr());
    Py_UCS4 widest = std::max(PyUnicode_MAX_CHAR_VALUE(head.ptr()), PyUnicode_MAX_CHAR_VALUE(tail.ptr()));
    object text = py::steal(PyUnicode_New(head_size + 1 + tail_size, widest));
    if (!text)
        return object();
    int kind = PyUnicode_KIND(text.ptr());
    char* data = static_cast<char*>(PyUnicode_DATA(text.ptr()));
    // Of one width (the usual case), the characters are copied as they lie.
    if (PyUnicode_KIND(head.ptr()) == kind && PyUnicode_KIND(tail.ptr()) == kind) {
        std::memcpy(data, PyUnicode_DATA(head.ptr()), size_t(head_size) * size_t(kind));
        PyUnicode_WRITE(kind, data, head_size, '.');
        std::memcpy(data + size_t(head_size + 1) * size_t(kind), PyUnicode_DATA(tail.ptr()),
                    size_t(tail_size) * size_t(kind));
        return text;
    }
    if (PyUnicode_CopyCharacters(text.ptr(), 0, head.ptr(), 0, head_size) < 0 ||
        PyUnicode_WriteChar(text.ptr(), head_size, '.') < 0 ||
        PyUnicode_CopyCharacters(text.ptr(), head_size + 1, tail.ptr(), 0, tail_size) < 0)
        return object();
    return text;
}

object CodelessReads::if_present(handle self, handle name) {
    CodelessReads& reads = *this;
    if (PyUnicode_CheckExact(name.ptr()) && codeless_type(Py_TYPE(self.ptr()))) {
        PyObject* attr = class_attribute(Py_TYPE(self.ptr()), name);
        if (!attr) {
            if (object dict = reads.dict_of(self))
                return py::borrow(PyDict_GetItemWithError(dict.ptr(), name.ptr()));
        } else if (attr == state->fullid_property.ptr() || attr == state->idlist_property.ptr()) {
            if (object value = codeless_path(self, attr == state->fullid_property.ptr(), reads))
                return value;
        }
    }
    // Generic: code may run, so nothing confirmed before is trusted afterwards.
    reads.forget();
    if (py::hasattr(self, name))
        return py::getattr(self, name);
    return object();
}

object CodelessReads::always(handle node, handle name) {
    CodelessReads& reads = *this;
    if (codeless_type(Py_TYPE(node.ptr())) && !class_attribute(Py_TYPE(node.ptr()), name)) {
        if (object dict = reads.dict_of(node)) {
            if (PyObject* value = PyDict_GetItemWithError(dict.ptr(), name.ptr()))
                return py::borrow(value);
        }
    }
    reads.forget();
    return py::getattr(node, name);
}

int ignored_codeless(handle ignore, handle value) {
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
        if (state->known_results && state->known_results->unequal_to_empties(v))
            return 0;
    }
    return -1;
}

namespace {

enum class CodelessRead { none, attribute, path };

// getattr(node, name, <absent>) where that certainly runs no code: an instance
// attribute (`value` empty when absent) or this module's fullid/idlist property.
// `none` when it must be read the generic way.
CodelessRead read_codeless(handle node, handle name, object& value) {
    PyTypeObject* type = Py_TYPE(node.ptr());
    if (!PyUnicode_CheckExact(name.ptr()) || !codeless_type(type))
        return CodelessRead::none;
    PyObject* attr = class_attribute(type, name);
    CodelessReads reads(state->info.globals);
    if (!attr) {
        object dict = reads.dict_of(node);
        if (!dict)
            return CodelessRead::none;
        value = py::borrow(PyDict_GetItemWithError(dict.ptr(), name.ptr()));  // exact str keys: cannot fail
        return CodelessRead::attribute;
    }
    if (attr != state->fullid_property.ptr() && attr != state->idlist_property.ptr())
        return CodelessRead::none;
    value = codeless_path(node, attr == state->fullid_property.ptr(), reads);
    return value ? CodelessRead::path : CodelessRead::none;
}

}  // namespace

object reported_value(handle node, handle name, handle ignore, void (*before_code)(void*, PyObject*), void* context) {
    auto before = [&](PyObject* compared) {
        if (before_code)
            before_code(context, compared);
    };
    object value;
    CodelessRead reads = read_codeless(node, name, value);
    if (reads == CodelessRead::none) {
        before(nullptr);
        value = py::getattr(node, name, Py_None);
    } else if (!value) {
        value = py::none();
    }
    int known = ignored_codeless(ignore, value);
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
    if (known == 0 && reads != CodelessRead::none)
        return value;
    before(known < 0 ? value.ptr() : nullptr);
    if (known < 0 && py::contains(ignore, value))
        return object();
    object again;
    if (read_codeless(node, name, again) != CodelessRead::none && again)
        return again;
    return py::getattr(node, name);
}

}  // namespace runset
