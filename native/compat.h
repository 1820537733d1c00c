// The places where the C API changed between CPython 3.10 and 3.15, behind one
// interface each, so the rest of the code reads the same on every interpreter.
#pragma once

#include <Python.h>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#include <cstdarg>
#include <cstdint>

namespace py::compat {

// A type's attribute dictionary, as a new reference. Since 3.12 the builtin
// static types (object, int, ...) keep theirs per interpreter and leave
// tp_dict NULL; PyType_GetDict finds it for any type.
inline PyObject* type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// One level of native recursion that stands in for a Python call. Up to 3.11
// Py_EnterRecursiveCall counts against sys.getrecursionlimit(). Since 3.12 it
// only guards the C stack, with a separate and much larger limit (3.12, 3.13)
// or the stack's real bounds (3.14+), so deep data would go far past the depth
// the same code in Python reaches; the Python depth is charged as well, so
// RecursionError comes at the same depth as there.
inline int enter_recursive_call(const char* where) {
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState* tstate = PyThreadState_Get();
    if (tstate->py_recursion_remaining <= 0) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    if (Py_EnterRecursiveCall(where))
        return -1;
    --tstate->py_recursion_remaining;
    return 0;
#else
    return Py_EnterRecursiveCall(where);
#endif
}

inline void leave_recursive_call() {
#if PY_VERSION_HEX >= 0x030C0000
    ++PyThreadState_Get()->py_recursion_remaining;
#endif
    Py_LeaveRecursiveCall();
}

// getattr(obj, name) where only an AttributeError means absent: 1 with a new
// reference in *value, 0 when absent (no error set), -1 on error. Public from 3.13.
inline int lookup_attribute(PyObject* obj, PyObject* name, PyObject** value) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, value);
#else
    return _PyObject_LookupAttr(obj, name, value);
#endif
}

// Makes a str's compact form, which strings made through the old Py_UNICODE API
// may lack before 3.12 (gone since). Throws nothing: callers check the error.
inline int ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

// How many more Python calls the running thread may nest before RecursionError.
// Private: no public call tells the remaining depth.
inline long recursion_remaining(PyThreadState* thread) {
#if PY_VERSION_HEX >= 0x030C0000
    return thread->py_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return thread->recursion_remaining;
#else
    return Py_GetRecursionLimit() - thread->recursion_depth;
#endif
}
inline long recursion_remaining() { return recursion_remaining(PyThreadState_Get()); }

// Whether `levels` more levels, Python calls or native ones, certainly pass the
// interpreter's depth counts (from 3.14 the C stack is bounded by its address
// instead, which check_stack covers). Private fields, as above.
inline bool depth_room(long levels) {
    PyThreadState* thread = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030E0000
    return thread->py_recursion_remaining > levels;
#elif PY_VERSION_HEX >= 0x030C0000
    return thread->py_recursion_remaining > levels && thread->c_recursion_remaining > levels;
#else
    return recursion_remaining(thread) > levels;
#endif
}

// Takes `units` levels of that depth at once, where recursion_remaining() has
// shown room for them (as `units` Py_EnterRecursiveCall that all pass would);
// give_depth puts them back. Private fields, as above.
inline void take_depth(PyThreadState* thread, long units) {
#if PY_VERSION_HEX >= 0x030C0000
    thread->py_recursion_remaining -= int(units);
#elif PY_VERSION_HEX >= 0x030B0000
    thread->recursion_remaining -= int(units);
#else
    thread->recursion_depth += int(units);
#endif
}
inline void give_depth(PyThreadState* thread, long units) { take_depth(thread, -units); }

// What the interpreter counts against sys.getrecursionlimit(). Up to 3.11 a call
// of a builtin or a class, a comparison, repr() and str() take a level as a
// Python frame does; from 3.12 only Python frames do (the rest count against a
// separate C limit). A class called from Python: up to 3.11 the call's level and
// its __init__'s frame, from 3.12 the frame alone.
inline constexpr bool c_calls_take_python_depth = PY_VERSION_HEX < 0x030C0000;
inline constexpr long class_call_units = c_calls_take_python_depth ? 2 : 1;

// What the json package's C encoder hands back to JSONEncoder.encode: a list of
// text chunks up to 3.11, a tuple of the one text from 3.12.
inline PyObject* c_encoder_chunks(PyObject* text) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyTuple_Pack(1, text);
#else
    PyObject* chunks = PyList_New(1);
    if (chunks) {
        Py_INCREF(text);
        PyList_SET_ITEM(chunks, 0, text);
    }
    return chunks;
#endif
}

// ---- private API: what no public call offers ----------------------------------

// `name` found along a type's MRO, borrowed, without running or binding a
// descriptor (PyObject_GetAttr would). Private, and exported on every version
// this builds for (3.10 to 3.15).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// Whether a dict's table is split from its class's shared keys, which admit exact
// str keys only. Private layout (ma_values); from 3.14 not relied upon.
inline bool split_table(PyObject* dict) {
#if PY_VERSION_HEX < 0x030E0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
#else
    (void)dict;
    return false;
#endif
}

// A dict's version: every dict made or changed takes a version no other dict has
// had. Private (ma_version_tag), deprecated from 3.12: there has_dict_version is
// false and the version means nothing.
inline constexpr bool has_dict_version = PY_VERSION_HEX < 0x030C0000;
inline uint64_t dict_version(PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
    (void)dict;
    return 0;
#endif
}

// 3.10 keeps instance attributes in a dict, where the native layer reads and
// writes them directly; from 3.11 they live beside the instance and the generic
// calls are the quick ones.
inline constexpr bool attributes_in_dict = PY_VERSION_HEX < 0x030B0000;

// The slot of an instance's dict pointer, or null (always null from 3.11).
// Private (_PyObject_GetDictPtr): the public calls make the dict or hand out a copy.
inline PyObject** instance_dict_slot(PyObject* obj) {
#if PY_VERSION_HEX < 0x030B0000
    return _PyObject_GetDictPtr(obj);
#else
    (void)obj;
    return nullptr;
#endif
}

// A dict made for `size` entries. Private (_PyDict_NewPresized): no public call
// sizes a dict; used on 3.10 only, a plain dict elsewhere.
inline PyObject* presized_dict(Py_ssize_t size) {
#if PY_VERSION_HEX < 0x030B0000
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
}

// Whether a heap type shares one key table among its instances' dicts. Private
// layout (ht_cached_keys), read on 3.10 only.
inline bool shares_instance_keys(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030B0000
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys != nullptr;
#else
    (void)type;
    return true;
#endif
}

// list.extend(items) on an exact list. Public from 3.13; before, the private
// _PyList_Extend, which returns None.
inline int list_extend(PyObject* list, PyObject* items) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyList_Extend(list, items);
#else
    PyObject* none = _PyList_Extend(reinterpret_cast<PyListObject*>(list), items);
    Py_XDECREF(none);
    return none ? 0 : -1;
#endif
}

// From 3.12 the json package walks an exact dict as it stands; before, through
// its items().
inline constexpr bool json_walks_dict_directly = PY_VERSION_HEX >= 0x030C0000;

// "too many values to unpack": from 3.14 the count is given too when the
// unpacked object is an exact list, tuple or dict.
inline void set_too_many_values(PyObject* source, Py_ssize_t expected) {
#if PY_VERSION_HEX >= 0x030E0000
    if (PyList_CheckExact(source) || PyTuple_CheckExact(source) || PyDict_CheckExact(source)) {
        Py_ssize_t got = PyDict_CheckExact(source) ? PyDict_GET_SIZE(source) : Py_SIZE(source);
        if (got > expected) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd, got %zd)", expected, got);
            return;
        }
    }
#else
    (void)source;
#endif
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

// The `with` statement looks __enter__ up before __exit__ up to 3.13, and
// __exit__ first from 3.14.
inline constexpr bool with_looks_up_exit_first = PY_VERSION_HEX >= 0x030E0000;

// The error of the `with` statement whose manager's type lacks `name` (__enter__
// or __exit__, as `exit` says). 3.10 names the method alone; 3.11 to 3.13 give
// the type's tp_name and name a missing __exit__ only; 3.14 names either, gives
// the type's qualified name, and points at `async with` when the type has both
// asynchronous methods (found on the type, not None, nothing called).
inline void set_missing_context_method(PyObject* manager, PyObject* name, bool exit) {
#if PY_VERSION_HEX >= 0x030E0000
    (void)name;
    static PyObject *aenter, *aexit;
    if (!aenter)
        aenter = PyUnicode_InternFromString("__aenter__");
    if (!aexit)
        aexit = PyUnicode_InternFromString("__aexit__");
    if (!aenter || !aexit)
        return;
    PyTypeObject* type = Py_TYPE(manager);
    PyObject* found_enter = _PyType_Lookup(type, aenter);
    PyObject* found_exit = _PyType_Lookup(type, aexit);
    bool async_pair = found_enter && found_enter != Py_None && found_exit && found_exit != Py_None;
    PyErr_Format(PyExc_TypeError,
                 async_pair ? "'%T' object does not support the context manager protocol (missed %s method)"
                              " but it supports the asynchronous context manager protocol. "
                              "Did you mean to use 'async with'?"
                            : "'%T' object does not support the context manager protocol (missed %s method)",
                 manager, exit ? "__exit__" : "__enter__");
#elif PY_VERSION_HEX >= 0x030B0000
    (void)name;
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager)->tp_name, exit ? " (missed __exit__ method)" : "");
#else
    (void)manager;
    (void)exit;
    PyErr_SetObject(PyExc_AttributeError, name);
#endif
}

// From 3.14 the json package's C encoder adds a note to an error leaving each
// level it serialises (_PyErr_FormatNote): the pending exception gets the
// formatted note through BaseException.add_note's own C function, whatever the
// exception's class; a failure to add it is raised instead, chained to the
// original. Before 3.14 there are no notes and this does nothing.
#if PY_VERSION_HEX >= 0x030E0000
inline void format_error_note(const char* format, ...) {
    PyObject* error = PyErr_GetRaisedException();
    if (!error)
        return;
    // Kept for the life of the process.
    static PyObject* add_note;
    if (!add_note) {
        PyObject* dict = type_dict(reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
        add_note = dict ? PyDict_GetItemString(dict, "add_note") : nullptr;
        Py_XINCREF(add_note);
        Py_XDECREF(dict);
        if (!add_note) {
            PyErr_SetRaisedException(error);
            return;
        }
    }
    va_list vargs;
    va_start(vargs, format);
    PyObject* note = PyUnicode_FromFormatV(format, vargs);
    va_end(vargs);
    PyObject* done = note ? PyObject_CallFunctionObjArgs(add_note, error, note, nullptr) : nullptr;
    Py_XDECREF(note);
    if (done) {
        Py_DECREF(done);
        PyErr_SetRaisedException(error);
        return;
    }
    PyObject* failure = PyErr_GetRaisedException();
    PyException_SetContext(failure, error);
    PyErr_SetRaisedException(failure);
}
#else
inline void format_error_note(const char*, ...) {}
#endif

// The type's version tag, assigned now if it has none (0 when none can be had).
// Every change of the type or of a base drops it, and a later one is never the
// same number again: an unchanged tag means an unchanged class.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
#else
    // Up to 3.11 the type's own cached lookup assigns one.
    static PyObject* probe;
    if (!probe)
        probe = PyUnicode_InternFromString("__init__");
    if (!probe) {
        PyErr_Clear();
        return 0;
    }
    (void)_PyType_Lookup(type, probe);
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Whether a member definition's type reads an object pointer. PyMemberDef and
// Py_T_OBJECT_EX are public from 3.12 (T_OBJECT only as _Py_T_OBJECT), in
// structmember.h before.
inline bool object_member(int type) {
#if PY_VERSION_HEX >= 0x030C0000
    return type == _Py_T_OBJECT || type == Py_T_OBJECT_EX;
#else
    return type == T_OBJECT || type == T_OBJECT_EX;
#endif
}

inline bool type_version_holds(PyTypeObject* type, unsigned int version) {
#if PY_VERSION_HEX >= 0x030C0000
    return version && type->tp_version_tag == version;
#else
    return version && type->tp_version_tag == version && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

namespace detail {
inline void (*dict_keys_changed)(PyObject* dict) = nullptr;
inline void (*dict_changed)() = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
inline int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    if (event != PyDict_EVENT_MODIFIED && event != PyDict_EVENT_DELETED && dict_keys_changed)
        dict_keys_changed(dict);
    return 0;
}
inline int on_any_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    if (dict_changed)
        dict_changed();
    return 0;
}
// One watcher of the process per callback: -2 not added yet, -1 none to be had.
inline bool watch(int& watcher, PyDict_WatchCallback callback, PyObject* dict) {
    if (watcher == -2) {
        watcher = PyDict_AddWatcher(callback);
        if (watcher < 0)
            PyErr_Clear();
    }
    if (watcher < 0)
        return false;
    if (PyDict_Watch(watcher, dict) == 0)
        return true;
    PyErr_Clear();
    return false;
}
#endif
}  // namespace detail

// From 3.12, where no version tag can be relied upon: `changed(dict)` runs before
// a key is added to `dict`, or it is cleared, refilled or freed (a changed value
// or a removed key is not reported), through the public dict watchers. One
// callback for the process; false where no watcher can be had (before 3.12, or
// none free).
inline constexpr bool has_dict_watchers = PY_VERSION_HEX >= 0x030C0000;
inline bool watch_dict_keys(PyObject* dict, void (*changed)(PyObject* dict)) {
#if PY_VERSION_HEX >= 0x030C0000
    static int watcher = -2;
    detail::dict_keys_changed = changed;
    return detail::watch(watcher, detail::on_dict_event, dict);
#else
    (void)dict;
    (void)changed;
    return false;
#endif
}

// The same for every change at all: `changed()` runs before any key or value of a
// dict watched this way is added, replaced or removed, and before it is cleared,
// refilled or freed. False where no watcher can be had.
inline bool watch_dict_changes(PyObject* dict, void (*changed)()) {
#if PY_VERSION_HEX >= 0x030C0000
    static int watcher = -2;
    detail::dict_changed = changed;
    return detail::watch(watcher, detail::on_any_dict_event, dict);
#else
    (void)dict;
    (void)changed;
    return false;
#endif
}

}  // namespace py::compat
