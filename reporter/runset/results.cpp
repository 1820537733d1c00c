#include "reporter/runset/results.h"

#include <cstring>

namespace runset {
namespace {

// The code these answers were built for: kovra.results' comparisons and derived
// properties, as its classes define them.
constexpr const char* built_for = R"(
class TestResult:
    @property
    def value(self):
        return self._value

    def __eq__(self, other):
        if not isinstance(other, TestResult):
            return NotImplemented
        return self._value == other._value


class ResultCounter:
    def items(self):
        """(result name, count) pairs of the stored counts, in insertion order."""
        return self.data.items()

    @property
    def total(self):
        return sum(self.data.values())

    @property
    def success_rate(self):
        """100 * (passed + passx) / total * weight, rounded to 2 decimals; 0.0 when total is 0."""
        total = self.total
        if total == 0:
            return 0.0
        good = self.data.get("passed", 0) + self.data.get("passx", 0)
        return round(100.0 * good / total * self.weight, 2)

    def __eq__(self, other):
        # Counts only; weight is a presentation factor.
        if not isinstance(other, ResultCounter):
            return NotImplemented
        return self.data == other.data
)";

// The code object named `name` among the constants of `code`; empty if none.
object nested_code(handle code, const char* name) {
    object consts = py::getattr(code, py::text("co_consts"));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.ptr()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.ptr(), i);
        if (PyCode_Check(item) &&
            PyUnicode_CompareWithASCIIString(py::getattr(item, py::text("co_name")).ptr(), name) == 0)
            return py::borrow(item);
    }
    return object();
}

// A plain class of this module's making: the plain metaclass, attributes read
// the default way, object its only base.
bool plain_class(handle cls) {
    if (!cls || !PyType_Check(cls.ptr()) || Py_TYPE(cls.ptr()) != &PyType_Type)
        return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    return (type->tp_flags & Py_TPFLAGS_HEAPTYPE) && type->tp_getattro == PyObject_GenericGetAttr &&
           PyTuple_GET_SIZE(type->tp_mro) == 2 &&
           PyTuple_GET_ITEM(type->tp_mro, 1) == reinterpret_cast<PyObject*>(&PyBaseObject_Type);
}

// The builtin `name` itself, not shadowed in `globals`.
bool genuine_builtin(handle globals, handle builtins_module, const char* name) {
    object key = py::text(name);
    if (py::lookup(globals, key))
        return false;
    object value = py::lookup(PyModule_GetDict(builtins_module.ptr()), key);
    return value && PyCFunction_Check(value.ptr()) && PyCFunction_GET_SELF(value.ptr()) == builtins_module.ptr();
}

}  // namespace

std::unique_ptr<KnownResults> KnownResults::capture() {
    handle globals = state->info.globals;
    object results = py::import_module("kovra.results", globals);
    handle results_globals = PyModule_GetDict(results.ptr());
    object builtins_module = py::import_module("builtins", globals);
    for (const char* name : {"isinstance", "sum", "round"})
        if (!genuine_builtin(results_globals, builtins_module, name))
            return nullptr;
    object not_implemented = py::text("NotImplemented");
    if (py::lookup(results_globals, not_implemented) ||
        py::lookup(PyModule_GetDict(builtins_module.ptr()), not_implemented).ptr() != Py_NotImplemented)
        return nullptr;

    auto known = std::unique_ptr<KnownResults>(new KnownResults);
    py::Snapshot& pieces = known->snapshot_;
    object module_code = py::take(Py_CompileString(built_for, "<built for>", Py_file_input));
    struct {
        const char* cls;
        const char* name;
        bool property;
    } functions[] = {{"TestResult", "value", true},           {"TestResult", "__eq__", false},
                     {"ResultCounter", "items", false},       {"ResultCounter", "total", true},
                     {"ResultCounter", "success_rate", true}, {"ResultCounter", "__eq__", false}};
    for (auto& [cls_name, name, property] : functions) {
        object cls = py::lookup(results_globals, py::text(cls_name));
        if (!plain_class(cls))
            return nullptr;
        object space = py::take(py::compat::type_dict(reinterpret_cast<PyTypeObject*>(cls.ptr())));
        object entry = py::lookup(space, py::text(name));
        if (!entry || (property && !Py_IS_TYPE(entry.ptr(), &PyProperty_Type)))
            return nullptr;
        object function = property ? py::getattr(entry, py::text("fget")) : entry;
        if (property)
            pieces.descriptor(entry);
        object expected = nested_code(nested_code(module_code, cls_name), name);
        if (!PyFunction_Check(function.ptr()) || PyFunction_GET_GLOBALS(function.ptr()) != results_globals.ptr() ||
            !expected || !pieces.function_as_built(function, expected))
            return nullptr;
        // A counter's counts and weight are the instance's own: its class has no
        // such names.
        if (std::strcmp(cls_name, "ResultCounter") == 0)
            for (const char* own : {"data", "weight"})
                if (py::lookup(space, py::text(own)))
                    return nullptr;
    }
    known->test_result_ = py::lookup(results_globals, py::text("TestResult"));
    known->result_counter_ = py::lookup(results_globals, py::text("ResultCounter"));
    known->value_slot_ = py::lookup(
        py::take(py::compat::type_dict(reinterpret_cast<PyTypeObject*>(known->test_result_.ptr()))),
        py::text("_value"));
    if (!known->value_slot_ || !Py_IS_TYPE(known->value_slot_.ptr(), &PyMemberDescr_Type))
        return nullptr;
    // The names its code reads: the module's and the classes' namespaces, and the
    // builtins the five functions read.
    pieces.module(results, false);
    pieces.builtins_read(PyModule_GetDict(builtins_module.ptr()));
    handle builtins = PyModule_GetDict(builtins_module.ptr());
    known->round_ = py::lookup(builtins, py::text("round"));
    known->two_ = py::take(PyLong_FromLong(2));
    known->passed_ = py::text("passed");
    known->passx_ = py::text("passx");
    return known;
}

bool KnownResults::ready(PyObject* obj, handle cls) const {
    if (Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(cls.ptr()))
        return false;
    // The generic road takes a comparison or a getter's frame and the builtins it
    // calls: with room for many more, no depth check there can fail.
    if (!py::compat::depth_room(16))
        return false;
    if (py::check_stack("")) {
        PyErr_Clear();
        return false;
    }
    return snapshot_.intact();
}

bool KnownResults::unequal_to_empties(PyObject* value) const {
    return ready(value, test_result_) || ready(value, result_counter_);
}

object KnownResults::value(handle result) const {
    if (!ready(result.ptr(), test_result_))
        return object();
    // self._value: the slot, read through its member descriptor.
    PyObject* value = Py_TYPE(value_slot_.ptr())->tp_descr_get(value_slot_.ptr(), result.ptr(), test_result_.ptr());
    if (!value)
        PyErr_Clear();  // unset: the getter meets the same error
    return py::steal(value);
}

bool KnownResults::counts(handle counter, Counts& found) const {
    object dict = py::steal(PyObject_GenericGetDict(counter.ptr(), nullptr));
    if (!dict || !PyDict_CheckExact(dict.ptr())) {
        PyErr_Clear();
        return false;
    }
    // Its names exact str, so that looking one up compares no foreign key.
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(dict.ptr(), &pos, &name, &value))
        if (!PyUnicode_CheckExact(name))
            return false;
    // Borrowed: the counter's dict holds them, and no code runs while they are used.
    found.data = PyDict_GetItemWithError(dict.ptr(), n::data);
    found.weight = PyDict_GetItemWithError(dict.ptr(), n::weight);
    found.own_items = PyDict_GetItemWithError(dict.ptr(), n::items) != nullptr;
    if (!found.data || !PyDict_CheckExact(found.data)) {
        PyErr_Clear();
        return false;
    }
    // sum(self.data.values()) of exact ints, which runs no code; a sum past a
    // machine word is not taken here.
    long long total = 0;
    pos = 0;
    while (PyDict_Next(found.data, &pos, &name, &value)) {
        int overflow = 0;
        long long count = PyLong_CheckExact(value) ? PyLong_AsLongLongAndOverflow(value, &overflow) : 0;
        if (!PyUnicode_CheckExact(name) || !PyLong_CheckExact(value) || overflow ||
            __builtin_add_overflow(total, count, &total))
            return false;
    }
    found.total = total;
    return true;
}

object KnownResults::items(handle counter) const {
    Counts found;
    // self.data.items(), listed: the class's method, not one the instance holds.
    if (!ready(counter.ptr(), result_counter_) || !counts(counter, found) || found.own_items)
        return object();
    return py::take(PyDict_Items(found.data));
}

bool KnownResults::derived(handle counter, object& total, object& rate) const {
    Counts found;
    if (!ready(counter.ptr(), result_counter_) || !counts(counter, found))
        return false;
    rate = rate_of(found);
    if (!rate)
        return false;
    total = py::take(PyLong_FromLongLong(found.total));
    return true;
}

object KnownResults::rate_of(const Counts& found) const {
    // if total == 0: return 0.0
    if (found.total == 0)
        return py::take(PyFloat_FromDouble(0.0));
    // good = data.get("passed", 0) + data.get("passx", 0), then
    // round(100.0 * good / total * weight, 2). Where every number is an int a
    // double holds exactly, or a float, each step is the double operation the
    // interpreter's own takes.
    constexpr long long exact = 1LL << 53;
    auto held = [&](PyObject* count) -> long long {
        return count ? PyLong_AsLongLong(count) : 0;  // an exact int, summed above without overflow
    };
    long long good;
    PyObject* weight = found.weight;
    if (__builtin_add_overflow(held(PyDict_GetItemWithError(found.data, passed_.ptr())),
                               held(PyDict_GetItemWithError(found.data, passx_.ptr())), &good) ||
        !weight || good > exact || good < -exact || found.total > exact || found.total < -exact)
        return object();
    double factor;
    if (PyFloat_CheckExact(weight)) {
        factor = PyFloat_AS_DOUBLE(weight);
    } else {
        int overflow = 0;
        long long whole = PyLong_CheckExact(weight) ? PyLong_AsLongLongAndOverflow(weight, &overflow) : 0;
        if (!PyLong_CheckExact(weight) || overflow || whole > exact || whole < -exact)
            return object();
        factor = double(whole);
    }
    double share = 100.0 * double(good);
    share = share / double(found.total);
    share = share * factor;
    uint64_t bits;
    std::memcpy(&bits, &share, sizeof bits);
    Rounded& slot = rounded_[(bits * 0x9E3779B97F4A7C15ULL) >> 58];
    if (slot.set && slot.bits == bits)
        return py::take(PyFloat_FromDouble(slot.value));
    object unrounded = py::take(PyFloat_FromDouble(share));
    PyObject* args[] = {unrounded.ptr(), two_.ptr()};
    object rate = py::steal(PyObject_Vectorcall(round_.ptr(), args, 2, nullptr));
    if (!rate)
        PyErr_Clear();  // the getter meets the same error
    else if (PyFloat_CheckExact(rate.ptr()))
        slot = {bits, PyFloat_AS_DOUBLE(rate.ptr()), true};
    return rate;
}

object result_value(handle result) {
    if (const KnownResults* known = state->known_results.get())
        if (object value = known->value(result))
            return value;
    return py::getattr(result, n::value);
}

object counter_items(handle counter) {
    if (const KnownResults* known = state->known_results.get())
        if (object items = known->items(counter))
            return items;
    return py::take(PySequence_List(py::call_method(counter, n::items).ptr()));
}

void counter_derived(handle counter, object& total, object& rate) {
    if (const KnownResults* known = state->known_results.get())
        if (known->derived(counter, total, rate))
            return;
    total = py::getattr(counter, n::total);
    rate = py::getattr(counter, n::success_rate);
}

}  // namespace runset
