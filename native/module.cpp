#include "native/module.h"
#include "native/snapshot.h"

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
    raise(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.", short_name);
}

}  // namespace detail

Names::Names(const NameEntry* table, size_t count) : table_(table) {
    for (; count_ < count; ++count_) {
        const NameEntry& entry = table[count_];
        std::string text = entry.has_text ? entry.text : entry.identifier;
        if (!entry.has_text && text.size() > 1 && text[0] != '_' && text.back() == '_')
            text.pop_back();
        PyObject* name = PyUnicode_InternFromString(text.c_str());
        if (!name) {
            drop();  // the names made so far go with it
            throw_error();
        }
        Py_XSETREF(*entry.slot, name);
    }
}

Names& Names::operator=(Names&& other) noexcept {
    if (this != &other) {
        drop();
        table_ = other.table_;
        count_ = other.count_;
        other.count_ = 0;
    }
    return *this;
}

void Names::drop() noexcept {
    for (size_t i = 0; i < count_; ++i)
        Py_CLEAR(*table_[i].slot);
    count_ = 0;
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
    object module = take(PyImport_ImportModuleLevelObject(package_name.ptr(), globals.ptr(), nullptr, fromlist.ptr(),
                                                          0));
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

ModuleInfo module_info(handle module, const char* name, const char* filename) {
    ModuleInfo info;
    info.name = name;
    info.filename = filename;
    info.globals = PyModule_GetDict(module.ptr());
    PyModuleDef* def = PyModule_GetDef(module.ptr());
    if (!info.globals || !def)
        raise(PyExc_SystemError, "module start-up without a module definition");
    info.ready = &reinterpret_cast<detail::Definition*>(def)->ready_globals;
    // As exec() gives module code its builtins: the globals' own __builtins__, else
    // those of the importing code; a module stands for its dict.
    static PyObject* builtins_name;
    object builtins = lookup(info.globals, interned(builtins_name, "__builtins__"));
    if (!builtins)
        builtins = borrow(PyEval_GetBuiltins());
    if (PyModule_Check(builtins.ptr()))
        builtins = borrow(PyModule_GetDict(builtins.ptr()));
    info.builtins = std::move(builtins);
    return info;
}

namespace {

// Globals found lately, with the stamp their dict had then (change_stamp): the
// same dict at the same stamp still holds the same value under the name. Kept
// only for dicts whose keys are all exact str, where a lookup compares no key
// with code of its own: elsewhere each lookup runs what it runs.
struct FoundGlobal {
    PyObject* globals;
    PyObject* name;  // owned, so that no other string takes its address meanwhile
    uint64_t version;
    PyObject* value;  // borrowed from the dict, alive while the stamp holds
};
// A name is kept in the first few slots from its home slot: a module's names
// would otherwise meet in one slot now and then and push each other out at
// every call.
constexpr size_t global_slots = 64, global_probes = 4;
FoundGlobal found_globals[global_slots];

struct KeysVerdict {
    PyObject* dict;
    uint64_t version;
    bool plain;
};
KeysVerdict globals_verdict;

bool plain_keys(PyObject* dict) {
    uint64_t version = change_stamp(dict);
    if (globals_verdict.dict != dict || globals_verdict.version != version) {
        bool plain = true;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (plain && PyDict_Next(dict, &pos, &key, &value))
            plain = PyUnicode_CheckExact(key);
        globals_verdict = {dict, version, plain};
    }
    return globals_verdict.plain;
}

// The one globals dict watched for changes from 3.12 (each module file has its
// own), held so that its address names no other dict while findings refer to it.
PyObject* watched_globals = nullptr;

// Whether the dict's findings can be kept: it has a stamp.
bool stamped_globals(PyObject* globals) {
    if (compat::has_dict_version || globals == watched_globals)
        return true;
    if (!PyDict_CheckExact(globals) || !watch_changes(globals))
        return false;
    PyObject* previous = watched_globals;
    watched_globals = Py_NewRef(globals);
    Py_XDECREF(previous);
    return true;
}

}  // namespace

object global(const ModuleInfo& module, handle name) {
    bool stamped = stamped_globals(module.globals);
    uint64_t version = change_stamp(module.globals);
    size_t home = (reinterpret_cast<uintptr_t>(name.ptr()) >> 4) % global_slots;
    // Where a new finding goes: the name's own slot, else the first one whose
    // finding no longer holds, else the home slot.
    FoundGlobal* vacant = nullptr;
    for (size_t k = 0; stamped && k < global_probes; ++k) {
        FoundGlobal& found = found_globals[(home + k) % global_slots];
        bool current = found.globals == module.globals && found.version == version;
        if (found.name == name.ptr() && found.globals == module.globals) {
            if (current)
                return borrow(found.value);
            vacant = &found;
            break;
        }
        if (!current && !vacant)
            vacant = &found;
    }
    object value = lookup(module.globals, name);
    if (value) {
        if (stamped && PyDict_CheckExact(module.globals) && plain_keys(module.globals)) {
            FoundGlobal& found = vacant ? *vacant : found_globals[home];
            object held = steal(found.name);  // let go after the slot is refilled
            found = {module.globals, borrow(name).release(), change_stamp(module.globals), value.ptr()};
        }
        return value;
    }
    return builtin_global(module, name);
}

object builtin_global(const ModuleInfo& module, handle name) {
    object value;
    // Owned: a lookup may run code.
    object builtins = module.builtins;
    if (PyDict_CheckExact(builtins.ptr())) {
        value = lookup(builtins, name);
    } else if (PyObject* found = PyObject_GetItem(builtins.ptr(), name.ptr())) {
        value = steal(found);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw_error();
        PyErr_Clear();
    }
    if (!value)
        raise(PyExc_NameError, "name '%U' is not defined", name.ptr());
    return value;
}

}  // namespace py
