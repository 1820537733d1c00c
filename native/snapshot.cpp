#include "native/snapshot.h"

#include <cstring>

namespace py {
namespace {

// A name a package gained by the import of its submodule: that module itself,
// bound under its own last name part, which no builtin lookup reaches.
bool submodule_binding(PyObject* key, PyObject* value, PyObject* package) {
    if (!package || !PyModule_Check(value) || !PyUnicode_Check(key))
        return false;
    PyObject* name = PyModule_GetNameObject(value);
    if (!name) {
        PyErr_Clear();
        return false;
    }
    object held = steal(name);
    object expected = steal(PyUnicode_FromFormat("%U.%U", package, key));
    if (!expected) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Compare(name, expected.ptr()) == 0;
}

// The same keys bound to the very same objects, none added but a package's new
// submodules (`package` its name, or null).
// copyreg caches a class's slot names in its namespace the first time an instance
// is copied or pickled; nothing a road relies on reads it.
bool slot_names_cache(PyObject* key, PyObject* value) {
    static PyObject* name;
    return PyList_CheckExact(value) && PyUnicode_Check(key) &&
           PyUnicode_Compare(key, interned(name, "__slotnames__").ptr()) == 0;
}

bool same_bindings(PyObject* dict, PyObject* copy, PyObject* package = nullptr) {
    if (!PyDict_Check(dict) || PyDict_GET_SIZE(dict) < PyDict_GET_SIZE(copy))
        return false;
    if (PyDict_GET_SIZE(dict) != PyDict_GET_SIZE(copy)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            int known = PyDict_Contains(copy, key);
            if (known < 0)
                PyErr_Clear();
            if (known != 1 && !submodule_binding(key, value, package) && !slot_names_cache(key, value))
                return false;
        }
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(copy, &pos, &key, &value)) {
        PyObject* now = PyDict_GetItemWithError(dict, key);
        if (now != value) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// A table as copied: the same keys (or length), each value the very object it was,
// nested dicts and lists compared the same way.
bool same_table(PyObject* table, PyObject* copy) {
    if (PyList_Check(copy)) {
        if (!PyList_Check(table) || PyList_GET_SIZE(table) != PyList_GET_SIZE(copy))
            return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(copy); ++i) {
            PyObject *now = PyList_GET_ITEM(table, i), *then = PyList_GET_ITEM(copy, i);
            if (now != then && !((PyList_Check(then) || PyDict_Check(then)) && same_table(now, then)))
                return false;
        }
        return true;
    }
    if (!PyDict_Check(table) || PyDict_GET_SIZE(table) != PyDict_GET_SIZE(copy))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *then;
    while (PyDict_Next(copy, &pos, &key, &then)) {
        PyObject* now = PyDict_GetItemWithError(table, key);
        if (!now) {
            PyErr_Clear();
            return false;
        }
        if (now != then && !((PyList_Check(then) || PyDict_Check(then)) && same_table(now, then)))
            return false;
    }
    return true;
}

// The function that a descriptor in a namespace wraps (a property's getter), or
// the function itself.
PyObject* wrapped_function(PyObject* value) {
    if (PyFunction_Check(value))
        return value;
    if (Py_IS_TYPE(value, &PyProperty_Type)) {
        static PyObject* fget_name;
        PyObject* getter = PyObject_GetAttr(value, interned(fget_name, "fget").ptr());
        if (!getter) {
            PyErr_Clear();
            return nullptr;
        }
        Py_DECREF(getter);  // the property holds it
        return PyFunction_Check(getter) ? getter : nullptr;
    }
    if (Py_IS_TYPE(value, &PyClassMethod_Type) || Py_IS_TYPE(value, &PyStaticMethod_Type)) {
        static PyObject* func_name;
        PyObject* function = PyObject_GetAttr(value, interned(func_name, "__func__").ptr());
        if (!function) {
            PyErr_Clear();
            return nullptr;
        }
        Py_DECREF(function);  // the descriptor holds it
        return PyFunction_Check(function) ? function : nullptr;
    }
    return nullptr;
}

// Where a descriptor type keeps the object its read-only member `name` gives (a
// property's fget, a classmethod's __func__), as the interpreter's own member
// table says; -1 where it is not such a member.
Py_ssize_t member_offset(PyTypeObject* type, const char* name) {
    object dict = take(compat::type_dict(type));
    PyObject* member = PyDict_GetItemString(dict.ptr(), name);
    if (!member || !Py_IS_TYPE(member, &PyMemberDescr_Type))
        return -1;
    PyMemberDef* definition = reinterpret_cast<PyMemberDescrObject*>(member)->d_member;
    return compat::object_member(definition->type) ? definition->offset : -1;
}

// Every name `code` and the code nested in it refer to, into `names`.
void names_of(PyObject* code, handle names) {
    static PyObject *co_names_name, *co_consts_name;
    object co_names = getattr(code, interned(co_names_name, "co_names"));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(co_names.ptr()); ++i)
        check(PySet_Add(names.ptr(), PyTuple_GET_ITEM(co_names.ptr(), i)));
    object consts = getattr(code, interned(co_consts_name, "co_consts"));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.ptr()); ++i)
        if (PyCode_Check(PyTuple_GET_ITEM(consts.ptr(), i)))
            names_of(PyTuple_GET_ITEM(consts.ptr(), i), names);
}

// Changes to any dict watched for changes, process-wide (from 3.12).
uint64_t dict_changes = 0;
void count_dict_change() { ++dict_changes; }

// The same constants: each of the same type and value (0.0 and -0.0, 1 and True
// are not the same here).
bool same_constants(PyObject* a, PyObject* b) {
    if (!PyTuple_CheckExact(a) || !PyTuple_CheckExact(b) || PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a); ++i) {
        PyObject *x = PyTuple_GET_ITEM(a, i), *y = PyTuple_GET_ITEM(b, i);
        if (x == y)
            continue;
        if (Py_TYPE(x) != Py_TYPE(y))
            return false;
        if (PyFloat_CheckExact(x)) {
            double u = PyFloat_AS_DOUBLE(x), v = PyFloat_AS_DOUBLE(y);
            if (std::memcmp(&u, &v, sizeof u) != 0)
                return false;
        } else if (PyTuple_CheckExact(x)) {
            if (!same_constants(x, y))
                return false;
        } else if (PyUnicode_CheckExact(x) || PyLong_CheckExact(x) || PyBytes_CheckExact(x)) {
            if (PyObject_RichCompareBool(x, y, Py_EQ) != 1) {
                PyErr_Clear();
                return false;
            }
        } else {
            return false;  // nested code, or anything else: not compared here
        }
    }
    return true;
}

bool same_code(handle code, handle expected) {
    if (!PyCode_Check(code.ptr()) || !PyCode_Check(expected.ptr()))
        return false;
    static const char* const same[] = {"co_code",     "co_names",    "co_varnames",        "co_cellvars",
                                       "co_freevars", "co_argcount", "co_posonlyargcount", "co_kwonlyargcount",
                                       "co_nlocals",  "co_flags",    "co_stacksize",       "co_exceptiontable"};
    for (const char* name : same) {
        object a = getattr_optional(code, text(name)), b = getattr_optional(expected, text(name));
        if (!a && !b)
            continue;  // co_exceptiontable is 3.11's
        if (!a || !b || Py_TYPE(a.ptr()) != Py_TYPE(b.ptr()) || !compare(a, b, Py_EQ))
            return false;
    }
    object consts = text("co_consts");
    return same_constants(getattr(code, consts).ptr(), getattr(expected, consts).ptr());
}

}  // namespace

bool watch_changes(handle dict) {
    return compat::has_dict_version || compat::watch_dict_changes(dict.ptr(), count_dict_change);
}

uint64_t change_stamp(handle dict) {
    return compat::has_dict_version ? compat::dict_version(dict.ptr()) : dict_changes;
}

bool Snapshot::function_as_built(handle function, handle expected) {
    PyObject* f = function.ptr();
    if (!PyFunction_Check(f) || PyFunction_GET_DEFAULTS(f) || PyFunction_GET_KW_DEFAULTS(f) ||
        PyFunction_GET_CLOSURE(f) || !same_code(PyFunction_GET_CODE(f), expected))
        return false;
    this->function(function);
    return true;
}

void Snapshot::watch(handle dict) {
    if (watched_ && !compat::watch_dict_changes(dict.ptr(), count_dict_change))
        watched_ = false;
}

object Snapshot::attribute(handle owner, handle name) {
    object value = getattr(owner, name);
    bindings_.push_back(Binding{borrow(owner), borrow(name), value, false, 0});
    ++attributes_;
    return value;
}

object Snapshot::item(handle dict, handle key) {
    object value = lookup(dict, key);
    watch(dict);
    bindings_.push_back(Binding{borrow(dict), borrow(key), value, true, compat::dict_version(dict.ptr())});
    return value;
}

bool Snapshot::recorded_function(handle function) const {
    for (const Function& known : functions_)
        if (known.function.ptr() == function.ptr())
            return true;
    return false;
}

void Snapshot::function(handle function) {
    PyObject* f = function.ptr();
    if (!PyFunction_Check(f) || recorded_function(function))
        return;
    Function parts{borrow(f), borrow(PyFunction_GET_CODE(f)), borrow(PyFunction_GET_DEFAULTS(f)),
                   borrow(PyFunction_GET_KW_DEFAULTS(f)), object()};
    if (parts.kwdefaults)
        parts.kwdefaults_copy = take(PyDict_Copy(parts.kwdefaults.ptr()));
    functions_.push_back(std::move(parts));
}

void Snapshot::namespace_of(handle dict, handle package) {
    watch(dict);
    namespaces_.push_back(Namespace{borrow(dict), take(PyDict_Copy(dict.ptr())), borrow(package),
                                    compat::dict_version(dict.ptr())});
}

void Snapshot::descriptor(handle value) {
    static const Py_ssize_t getter_offset = member_offset(&PyProperty_Type, "fget");
    static const Py_ssize_t classmethod_offset = member_offset(&PyClassMethod_Type, "__func__");
    static const Py_ssize_t staticmethod_offset = member_offset(&PyStaticMethod_Type, "__func__");
    auto hold = [&](Py_ssize_t offset) {
        // A layout this was not built for: nothing can be relied on.
        if (offset <= 0 || size_t(offset) + sizeof(PyObject*) > size_t(Py_TYPE(value.ptr())->tp_basicsize)) {
            unknown_layout_ = true;
            return;
        }
        PyObject* now = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(value.ptr()) + offset);
        held_.push_back(Held{borrow(value), offset, borrow(now)});
    };
    if (Py_IS_TYPE(value.ptr(), &PyProperty_Type))
        hold(getter_offset);
    else if (Py_IS_TYPE(value.ptr(), &PyClassMethod_Type))
        hold(classmethod_offset);
    else if (Py_IS_TYPE(value.ptr(), &PyStaticMethod_Type))
        hold(staticmethod_offset);
}

void Snapshot::class_(handle cls, bool code) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return;  // a static type cannot be changed from Python
    for (const Class& known : classes_)
        if (known.cls.ptr() == cls.ptr())
            return;
    classes_.push_back(Class{borrow(cls), borrow(type->tp_mro),
                             borrow(reinterpret_cast<PyObject*>(Py_TYPE(cls.ptr())))});
    // Its metaclass decides how the class's attributes are read.
    class_(classes_.back().metaclass);
    object dict = take(compat::type_dict(type));
    namespace_of(dict);
    if (!code)
        return;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.ptr(), &pos, &key, &value)) {
        descriptor(value);
        if (PyObject* f = wrapped_function(value))
            function(f);
        else if (PyDict_Check(value) || PyList_Check(value))
            table(value);
    }
}

void Snapshot::module(handle module, bool code) {
    static PyObject *name_name, *module_name;
    handle globals = PyModule_GetDict(module.ptr());
    if (!globals)
        throw_error();
    object name = getattr(module, interned(name_name, "__name__"));
    static PyObject* path_name;
    bool package = PyDict_Contains(globals.ptr(), interned(path_name, "__path__").ptr()) == 1;
    namespace_of(globals, package ? handle(name) : handle());
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(globals.ptr(), &pos, &key, &value)) {
        if (PyFunction_Check(value) && PyFunction_GET_GLOBALS(value) == globals.ptr()) {
            if (code)
                function(value);
        } else if (PyType_Check(value)) {
            object owner = getattr_optional(value, interned(module_name, "__module__"));
            if (owner && compare(owner, name, Py_EQ))
                class_(value, code);
        }
    }
}

object Snapshot::deep_copy(handle table) {
    if (PyList_Check(table.ptr())) {
        object copy = take(PySequence_List(table.ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(copy.ptr()); ++i) {
            PyObject* value = PyList_GET_ITEM(copy.ptr(), i);
            if (PyList_Check(value) || PyDict_Check(value))
                check(PyList_SetItem(copy.ptr(), i, deep_copy(value).release()));
        }
        return copy;
    }
    object copy = take(PyDict_Copy(table.ptr()));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table.ptr(), &pos, &key, &value))
        if (PyList_Check(value) || PyDict_Check(value))
            setitem(copy, key, deep_copy(value));
    return copy;
}

void Snapshot::table(handle table) { tables_.push_back(Table{borrow(table), deep_copy(table)}); }

void Snapshot::builtins_read(handle builtins) {
    object names = take(PySet_New(nullptr));
    for (const Function& f : functions_) {
        object read = take(PySet_New(nullptr));
        names_of(f.code.ptr(), read);
        PyObject* globals = PyFunction_GET_GLOBALS(f.function.ptr());
        for (object& name : iterate(read))
            if (!PyDict_Contains(globals, name.ptr()))
                check(PySet_Add(names.ptr(), name.ptr()));
    }
    for (object& name : iterate(names))
        item(builtins, name);
}

bool Snapshot::intact() const {
    if (unknown_layout_)
        return false;
    // Where dicts keep versions, a dict whose version is the one last found intact
    // is unchanged since: its bindings need no look. Where they are watched, none
    // has changed while the count of changes stands where it stood then.
    const uint64_t changes = dict_changes;
    const bool dicts_held = watched_ && held_at_ == changes;
    // Only the attributes, read through their owners, need a look then.
    const size_t looked = dicts_held && attributes_ == 0 ? 0 : bindings_.size();
    for (size_t i = 0; i < looked; ++i) {
        const Binding& binding = bindings_[i];
        if (binding.item &&
            (dicts_held || (compat::has_dict_version && compat::dict_version(binding.owner.ptr()) == binding.version)))
            continue;
        PyObject* now;
        if (binding.item) {
            now = PyDict_GetItemWithError(binding.owner.ptr(), binding.name.ptr());
        } else {
            now = PyObject_GetAttr(binding.owner.ptr(), binding.name.ptr());
            Py_XDECREF(now);  // the owner holds it
        }
        if (now != binding.value.ptr()) {
            PyErr_Clear();
            return false;
        }
        if (!now && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (binding.item)
            binding.version = compat::dict_version(binding.owner.ptr());
    }
    for (const Class& cls : classes_) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls.cls.ptr());
        if (reinterpret_cast<PyObject*>(Py_TYPE(cls.cls.ptr())) != cls.metaclass.ptr() || type->tp_mro != cls.mro.ptr())
            return false;
    }
    for (const Namespace& space : namespaces_) {
        if (dicts_held || (compat::has_dict_version && compat::dict_version(space.dict.ptr()) == space.version))
            continue;
        if (!same_bindings(space.dict.ptr(), space.copy.ptr(), space.package.ptr()))
            return false;
        space.version = compat::dict_version(space.dict.ptr());
    }
    for (const Function& f : functions_) {
        PyObject* now = f.function.ptr();
        if (PyFunction_GET_CODE(now) != f.code.ptr() || PyFunction_GET_DEFAULTS(now) != f.defaults.ptr() ||
            PyFunction_GET_KW_DEFAULTS(now) != f.kwdefaults.ptr())
            return false;
        if (f.kwdefaults && !same_bindings(f.kwdefaults.ptr(), f.kwdefaults_copy.ptr()))
            return false;
    }
    for (const Held& held : held_)
        if (*reinterpret_cast<PyObject* const*>(reinterpret_cast<const char*>(held.descriptor.ptr()) + held.offset) !=
            held.value.ptr())
            return false;
    for (const Table& table : tables_)
        if (!same_table(table.table.ptr(), table.copy.ptr()))
            return false;
    // A change made while this looked is met at the next look.
    if (watched_)
        held_at_ = changes;
    return true;
}

}  // namespace py
