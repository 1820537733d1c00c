// The Python operations module code is written in: each throws error_already_set
// when the interpreter reports a failure, so a method body reads as its algorithm.
#pragma once

#include "native/compat.h"
#include "native/ref.h"

#include <array>
#include <cstdarg>
#include <initializer_list>

namespace py {

// ---- raising -------------------------------------------------------------------

// Sets `type` with a printf-style message (PyUnicode_FromFormat codes) and throws.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// A process-lifetime interned string held in `slot`, made on first use.
handle interned(PyObject*& slot, const char* text);

// ---- attributes and items ------------------------------------------------------

namespace detail {

// The dict that holds obj.name when reading or writing it is nothing but a dict
// operation: obj's class reads (or writes) attributes the default way, has no
// class attribute `name` (so no descriptor steps in), and obj's dict exists and
// is an exact dict; for a store, no table shared with its class's other instances,
// and an interned name: the generic one stores the interned twin of the text. Null
// otherwise, and always from 3.11, where instances keep attributes outside a dict
// and the generic road is the quick one.
inline PyObject* plain_instance_dict(PyObject* obj, PyObject* name, bool write) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!compat::attributes_in_dict ||
        (write ? type->tp_setattro != PyObject_GenericSetAttr : type->tp_getattro != PyObject_GenericGetAttr) ||
        !PyUnicode_CheckExact(name) || (write && !PyUnicode_CHECK_INTERNED(name)) ||
        Py_TYPE(reinterpret_cast<PyObject*>(type)) != &PyType_Type || type->tp_dictoffset <= 0 ||
        compat::type_lookup(type, name))
        return nullptr;
    // A positive offset places the dict pointer at a fixed place in the instance.
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + type->tp_dictoffset);
    // A store into a table shared with the class's other instances is the class's
    // business (it may stop the sharing): left to the generic road.
    if (!dict || !PyDict_CheckExact(dict) || (write && compat::split_table(dict)))
        return nullptr;
    return dict;
}

}  // namespace detail

// Kept inline at every call site, however the compiler weighs its size: attribute
// reads are the bulk of every node operation.
[[gnu::always_inline]] inline object getattr(handle obj, handle name) {
    if (PyObject* dict = detail::plain_instance_dict(obj.ptr(), name.ptr(), false)) {
        // Held as the generic road holds it: a key's __eq__ may replace the instance's dict.
        object held = borrow(dict);
        if (PyObject* value = PyDict_GetItemWithError(dict, name.ptr()))
            return borrow(value);
        if (PyErr_Occurred())
            throw_error();
    }
    return take(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

// compat::type_lookup with a cache of its own in front, kept per class while the
// class's version tag holds (any change to it or a base drops the tag). The
// interpreter's own cache costs several times as much from 3.14. Borrowed.
PyObject* class_lookup(PyTypeObject* type, PyObject* name);

// getattr(obj, name, fallback): only AttributeError falls back, as in Python.
object getattr(handle obj, handle name, handle fallback);

// getattr(obj, name) or an empty object where it raises AttributeError.
object getattr_optional(handle obj, handle name);

// hasattr() as compiled code has it: any failure of the lookup counts as absent.
bool hasattr(handle obj, handle name);

inline void setattr(handle obj, handle name, handle value) {
    if (PyObject* dict = value ? detail::plain_instance_dict(obj.ptr(), name.ptr(), true) : nullptr) {
        // Held, as for the read: a key's __eq__ may replace the instance's dict
        // mid-store. (3.10's own store does not hold it, and crashes there.)
        object held = borrow(dict);
        check(PyDict_SetItem(dict, name.ptr(), value.ptr()));
        return;
    }
    check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

inline object getitem(handle obj, handle key) { return take(PyObject_GetItem(obj.ptr(), key.ptr())); }

inline void setitem(handle obj, handle key, handle value) {
    check(PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()));
}

inline bool contains(handle container, handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr())) == 1;
}

// ---- truth, identity, types --------------------------------------------------

inline bool truthy(handle obj) { return check(PyObject_IsTrue(obj.ptr())) == 1; }

// len(obj).
inline Py_ssize_t len(handle obj) {
    Py_ssize_t size = PyObject_Size(obj.ptr());
    if (size < 0)
        throw_error();
    return size;
}

inline bool isinstance(handle obj, handle cls) { return check(PyObject_IsInstance(obj.ptr(), cls.ptr())) == 1; }


// a <op> b for op one of Py_LT, Py_EQ, Py_NE, Py_GT, ...
inline bool compare(handle a, handle b, int op) { return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), op)) == 1; }

inline object str(handle obj) { return take(PyObject_Str(obj.ptr())); }
inline object repr(handle obj) { return take(PyObject_Repr(obj.ptr())); }
inline object type_of(handle obj) { return borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))); }

// ---- numbers -----------------------------------------------------------------

inline object add(handle a, handle b) { return take(PyNumber_Add(a.ptr(), b.ptr())); }
inline object inplace_add(handle a, handle b) { return take(PyNumber_InPlaceAdd(a.ptr(), b.ptr())); }
inline object subtract(handle a, handle b) { return take(PyNumber_Subtract(a.ptr(), b.ptr())); }
inline object true_divide(handle a, handle b) { return take(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
inline object integer(long value) { return take(PyLong_FromLong(value)); }
inline object text(const char* value) { return take(PyUnicode_FromString(value)); }

// obj[key] += delta, evaluating obj once, as the augmented assignment does.
void item_add(handle obj, handle key, handle delta);

// ---- containers --------------------------------------------------------------

inline object new_list(Py_ssize_t size = 0) { return take(PyList_New(size)); }
inline object new_dict() { return take(PyDict_New()); }

// A list of interned strings, for the name lists classes carry.
object list_of(std::initializer_list<const char*> names);

// dict[key] on a dict, or an empty object when the key is absent.
object lookup(handle dict, handle key);

// dict.pop(key, fallback) on an exact dict.
object pop(handle dict, handle key, handle fallback);

template <typename... Items>
object tuple(Items... items) {
    PyObject* values[] = {handle(items).ptr()...};
    object result = take(PyTuple_New(sizeof...(Items)));
    for (size_t i = 0; i < sizeof...(Items); ++i) {
        Py_INCREF(values[i]);
        PyTuple_SET_ITEM(result.ptr(), i, values[i]);
    }
    return result;
}

// list.append(item), straight into an exact list, through the method otherwise.
void append(handle list, handle item);

// list.extend(items), likewise.
void extend(handle list, handle items);

// ---- calls -------------------------------------------------------------------

// f(*args): positional vectorcall with room for a prepended self.
template <typename... Args>
object call(handle callable, Args... args) {
    PyObject* stack[] = {nullptr, handle(args).ptr()...};
    return take(PyObject_Vectorcall(callable.ptr(), stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    nullptr));
}

// obj.name(*args), without creating a bound method.
template <typename... Args>
object call_method(handle obj, handle name, Args... args) {
    // The leading slot is the scratch space PY_VECTORCALL_ARGUMENTS_OFFSET allows.
    PyObject* stack[] = {nullptr, obj.ptr(), handle(args).ptr()...};
    return take(PyObject_VectorcallMethod(name.ptr(), stack + 1, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// f(*positional, name=value, ...): `values` holds the positional values followed by
// one value per entry of the `kwnames` tuple.
template <typename... Values>
object call_keywords(handle callable, size_t npositional, handle kwnames, Values... values) {
    PyObject* stack[] = {nullptr, handle(values).ptr()...};
    return take(PyObject_Vectorcall(callable.ptr(), stack + 1, npositional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    kwnames.ptr()));
}

// obj.name(*positional, name=value, ...), without creating a bound method; `values`
// as for call_keywords.
template <typename... Values>
object call_method_keywords(handle obj, handle name, size_t npositional, handle kwnames, Values... values) {
    PyObject* stack[] = {nullptr, obj.ptr(), handle(values).ptr()...};
    return take(PyObject_VectorcallMethod(name.ptr(), stack + 1, (npositional + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames.ptr()));
}

// f(*args, **kwargs) with kwargs a dict (may be null).
inline object call_kwargs(handle callable, PyObject* const* args, size_t nargs, handle kwargs) {
    return take(PyObject_VectorcallDict(callable.ptr(), args, nargs, kwargs.ptr()));
}

// ---- handling errors ---------------------------------------------------------

// The error an except block handles: taken out of the interpreter when made.
class caught_error {
public:
    caught_error();

    // except <type>: a subclass test, as the except clause makes it.
    bool matches(handle type) const { return PyErr_GivenExceptionMatches(type_.ptr(), type.ptr()) != 0; }

    handle type() const { return type_; }
    handle value() const { return value_; }
    handle traceback() const { return traceback_ ? handle(traceback_) : handle(Py_None); }

    // A bare `raise` in the except block: the same error again.
    [[noreturn]] void raise_again();

    // Runs `body` as code inside the except block: this error is the one being
    // handled meanwhile, so whatever is raised there gets its context from the
    // interpreter itself, at raise time, cycles cut and existing chains kept.
    template <typename F>
    auto run(F&& body) -> decltype(body()) {
        handling scope(*this);
        return body();
    }

private:
    // Makes the error the handled one (sys.exception()) for the life of the scope.
    class handling {
    public:
        explicit handling(const caught_error& error);
        ~handling();
        handling(const handling&) = delete;
        handling& operator=(const handling&) = delete;

    private:
        PyObject *type_, *value_, *traceback_;  // the handled error this scope replaced
    };

    object type_, value_, traceback_;
};

namespace detail {

// `name` looked up on the type of `obj` and bound to it, as the interpreter finds
// special methods; empty when the type has none.
object lookup_special(handle obj, handle name);

// __enter__ and __exit__ of a context manager, both found before either is called.
std::array<object, 2> context_manager_methods(handle manager);

}  // namespace detail

// `with manager as target: body(target)`, as the statement runs it: both methods
// come from the type before __enter__ is called; __exit__ sees the error leaving
// the body and may suppress it.
template <typename F>
void with(handle manager, F&& body) {
    auto methods = detail::context_manager_methods(manager);
    object target = call(methods[0]);
    try {
        body(handle(target));
    } catch (const error_already_set&) {
        caught_error error;
        if (error.run([&] { return truthy(call(methods[1], error.type(), error.value(), error.traceback())); }))
            return;
        error.raise_again();
    }
    call(methods[1], Py_None, Py_None, Py_None);
}

// ---- recursion ---------------------------------------------------------------

// Py_EnterRecursiveCall that also refuses when the thread's C stack is nearly
// spent: native frames are invisible to the interpreter's depth count, and a raised
// recursion limit must end in RecursionError, not a crashed stack. Returns -1 with
// RecursionError set.
int enter_recursion(const char* where);

// The C stack check of enter_recursion alone: -1 with RecursionError set when the
// thread's stack is nearly spent.
int check_stack(const char* where);

// One native recursion level, counted as enter_recursion does.
class recursion_guard {
public:
    explicit recursion_guard(const char* where) {
        if (enter_recursion(where))
            throw_error();
    }
    ~recursion_guard() { compat::leave_recursive_call(); }
    recursion_guard(const recursion_guard&) = delete;
    recursion_guard& operator=(const recursion_guard&) = delete;
};

// The same level where it stands for a C function's own Py_EnterRecursiveCall (a
// C encoder's nesting, a comparison): from 3.12 that counts against the C limit
// only, not the Python depth.
int enter_c_recursion(const char* where);

class c_recursion_guard {
public:
    explicit c_recursion_guard(const char* where) {
        if (enter_c_recursion(where))
            throw_error();
    }
    ~c_recursion_guard() { Py_LeaveRecursiveCall(); }
    c_recursion_guard(const c_recursion_guard&) = delete;
    c_recursion_guard& operator=(const c_recursion_guard&) = delete;
};

// How many levels of nested data a Python walk surely gets through from here
// before RecursionError, when it spends `calls_per_level` calls per level and
// `margin` calls around the walk.
inline long levels_within_reach(long calls_per_level, long margin) {
    return (compat::recursion_remaining() - margin) / calls_per_level;
}

// ---- iteration ---------------------------------------------------------------

// Range over any iterable: `for (py::object item : py::iterate(obj))`.
class iterate {
public:
    explicit iterate(handle iterable) : iterator_(take(PyObject_GetIter(iterable.ptr()))) {}

    class cursor {
    public:
        explicit cursor(handle iterator) : iterator_(iterator) { advance(); }
        cursor() = default;
        object& operator*() { return current_; }
        cursor& operator++() {
            advance();
            return *this;
        }
        bool operator!=(const cursor& other) const { return current_.ptr() != other.current_.ptr(); }

    private:
        void advance() {
            current_ = steal(PyIter_Next(iterator_.ptr()));
            if (!current_ && PyErr_Occurred())
                throw_error();
        }
        handle iterator_;
        object current_;
    };

    cursor begin() { return cursor(iterator_); }
    cursor end() { return cursor(); }

private:
    object iterator_;
};

// Unpacks an item of a pairs iterable into exactly two values, with the compiled
// code's wording for the wrong sizes.
std::array<object, 2> unpack_pair(handle item);

// Walks a mapping's items() in order; an exact dict is walked directly and refuses
// a size change during the walk, like its own iterator.
template <typename Visit>
void for_each_item(handle mapping, handle items_name, Visit&& visit) {
    if (PyDict_CheckExact(mapping.ptr())) {
        // As the dict's own iterator: a size change is caught before each step, and
        // an entry beyond the starting size means keys were swapped at equal size.
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(mapping.ptr()), left = size;
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
            if (left-- == 0)
                raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
            // Own both: the visitor may run code that changes the dict.
            object k = borrow(key), v = borrow(value);
            visit(k, v);
            if (PyDict_GET_SIZE(mapping.ptr()) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    object items = call_method(mapping, items_name);
    for (object& item : iterate(items)) {
        auto pair = unpack_pair(item);
        visit(pair[0], pair[1]);
    }
}

}  // namespace py
