// The JSON and YAML forms of a report: JSONDumper, YAMLDumper and the representers.
#include "reporter/runset/runset.h"

#include "reporter/runset/results.h"

#include <datetime.h>

namespace runset {
namespace {

using Pairs = std::vector<std::pair<object, object>>;

// {"value": r.value} plus "reason" and "data" when they hold something, as pairs.
void result_pairs(handle result, Pairs& pairs) {
    pairs.reserve(3);
    pairs.emplace_back(py::borrow(n::value), result_value(result));
    object reason = py::getattr(result, n::reason);
    if (py::truthy(reason))
        pairs.emplace_back(py::borrow(n::reason), std::move(reason));
    object data = py::getattr(result, n::data);
    if (py::truthy(data))
        pairs.emplace_back(py::borrow(n::data), std::move(data));
}

}  // namespace

object result_mapping(handle result) {
    Pairs pairs;
    result_pairs(result, pairs);
    object mapping = py::new_dict();
    for (auto& [key, value] : pairs)
        py::setitem(mapping, key, value);
    return mapping;
}

namespace {

// The entries of counts.copy() where counts is an exact dict of exact str keys (so
// copying and storing into the copy run no code); false, nothing taken, otherwise.
bool copy_counts(handle counts, Pairs& pairs) {
    if (!PyDict_CheckExact(counts.ptr()))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(counts.ptr(), &pos, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;
    pairs.reserve(size_t(PyDict_GET_SIZE(counts.ptr())) + 2);
    pos = 0;
    while (PyDict_Next(counts.ptr(), &pos, &key, &value))
        pairs.emplace_back(py::borrow(key), py::borrow(value));
    return true;
}

// copy[name] = value on those entries: in place where the name is, else at the end.
void store_count(Pairs& pairs, handle name, object value) {
    for (auto& [key, current] : pairs) {
        if (key.ptr() == name.ptr() || PyUnicode_Compare(key.ptr(), name.ptr()) == 0) {
            current = std::move(value);
            return;
        }
    }
    pairs.emplace_back(py::borrow(name), std::move(value));
}

// str(obj) of an exact datetime without tzinfo, as datetime.isoformat(" ") writes
// it; 0 for anything else (a subclass may have its own __str__, a tzinfo its own
// utcoffset).
size_t naive_datetime_text(PyObject* obj, char (&text)[32]) {
    if (!PyDateTime_CheckExact(obj) || PyDateTime_DATE_GET_TZINFO(obj) != Py_None)
        return 0;
    int microsecond = PyDateTime_DATE_GET_MICROSECOND(obj);
    int fields[] = {PyDateTime_GET_YEAR(obj),
                    PyDateTime_GET_MONTH(obj),
                    PyDateTime_GET_DAY(obj),
                    PyDateTime_DATE_GET_HOUR(obj),
                    PyDateTime_DATE_GET_MINUTE(obj),
                    PyDateTime_DATE_GET_SECOND(obj),
                    microsecond};
    // "%04d-%02d-%02d %02d:%02d:%02d", then ".%06d" when there are microseconds.
    static const struct {
        int width;
        char before;
    } layout[] = {{4, 0}, {2, '-'}, {2, '-'}, {2, ' '}, {2, ':'}, {2, ':'}, {6, '.'}};
    size_t size = 0;
    for (int i = 0; i < (microsecond ? 7 : 6); ++i) {
        if (layout[i].before)
            text[size++] = layout[i].before;
        int value = fields[i];
        for (int place = layout[i].width - 1; place >= 0; --place) {
            text[size + size_t(place)] = char('0' + value % 10);
            value /= 10;
        }
        size += size_t(layout[i].width);
    }
    return size;
}

object scalar(handle dumper, handle tag, handle value) {
    return py::call_method(dumper, n::represent_scalar, tag, value);
}

object mapping(handle dumper, handle value) {
    return py::call_method(dumper, n::represent_mapping, global(n::YAML_MAP), value);
}

// ---- JSONDumper --------------------------------------------------------------

object json_default(handle self, handle obj) {
    object data;
    if (py::isinstance(obj, global(n::ReportObjectBase))) {
        data = py::new_dict();
        for_each_reported(obj, [&](handle name, handle value) { py::setitem(data, name, value); });
    } else {
        data = json_default_data(obj);
    }
    if (data && py::truthy(data))
        return data;
    // The base encoder refuses what nothing above could turn into a value.
    return py::call_super(state->JSONDumper, self, n::default_, handle(), obj);
}

// ---- YAMLDumper --------------------------------------------------------------

object increase_indent(handle self, handle flow, handle) {
    // Never indentless: a sequence under a key is indented one level below it.
    return py::call_super(state->YAMLDumper, self, n::increase_indent, handle(), flow, Py_False);
}

object ignore_aliases(handle, handle) { return py::boolean(true); }

// ---- representers ------------------------------------------------------------

object str_representer(handle dumper, handle data) {
    bool literal;
    object text = literal_text(data, literal);
    if (!literal)
        return scalar(dumper, global(n::YAML_STR), text);
    object represent = py::getattr(dumper, n::represent_scalar);
    return py::call_keywords(represent, 2, state->style_keyword, global(n::YAML_STR), text, state->literal_block);
}

object float_representer(handle dumper, handle data) { return scalar(dumper, global(n::YAML_FLT), float_text(data)); }

object type_representer(handle dumper, handle data) { return scalar(dumper, global(n::YAML_STR), py::repr(data)); }

object unknown_representer(handle dumper, handle data) { return mapping(dumper, unknown_mapping(data)); }

object result_counter_representer(handle dumper, handle data) { return mapping(dumper, result_counter_pairs(data)); }

object test_result_representer(handle dumper, handle data) { return mapping(dumper, result_mapping(data)); }

object attr_dict_representer(handle dumper, handle data) { return mapping(dumper, data); }

}  // namespace

object literal_text(handle data, bool& literal) {
    literal = py::contains(data, state->newline);
    if (!literal)
        return py::borrow(data);
    object lines = py::new_list();
    for (object& line : py::iterate(py::call_method(data, n::split, state->newline)))
        py::append(lines, py::call_method(line, n::rstrip));
    return py::call_method(state->newline, n::join, lines);
}

object float_text(handle data) { return py::str(py::call(state->round, data, global(n::FLOAT_PRECISION))); }

object unknown_mapping(handle data) {
    object described = py::new_dict();
    py::setitem(described, n::type, py::type_of(data));
    py::setitem(described, n::repr, py::repr(data));
    return described;
}

object result_counter_pairs(handle data) {
    object pairs = counter_items(data);
    object total, rate;
    counter_derived(data, total, rate);
    py::append(pairs, py::tuple(n::total, total));
    py::append(pairs, py::tuple(n::success_rate, rate));
    return pairs;
}

void json_default_answer(handle obj, DefaultAnswer& answer) {
    if (is_instance(obj, global(n::TestResult))) {
        answer.kind = DefaultAnswer::pairs_;
        result_pairs(obj, answer.pairs);
    } else if (is_instance(obj, global(n::ResultCounter))) {
        object counts = py::getattr(obj, n::data);
        if (copy_counts(counts, answer.pairs)) {
            answer.kind = DefaultAnswer::pairs_;
            object total, rate;
            counter_derived(obj, total, rate);
            store_count(answer.pairs, n::total, std::move(total));
            store_count(answer.pairs, n::success_rate, std::move(rate));
        } else {
            object data = py::call_method(counts, n::copy);
            object total, rate;
            counter_derived(obj, total, rate);
            py::setitem(data, n::total, total);
            py::setitem(data, n::success_rate, rate);
            answer.data = std::move(data);
        }
    } else if (is_instance(obj, global(n::datetime))) {
        if ((answer.text_size = naive_datetime_text(obj.ptr(), answer.text)))
            answer.kind = DefaultAnswer::text_;
        else
            answer.data = py::str(obj);
    } else if (py::isinstance(obj, PyExc_Exception)) {
        answer.data = py::repr(obj);
    }
}

object json_default_data(handle obj) {
    DefaultAnswer answer;
    json_default_answer(obj, answer);
    if (answer.kind == DefaultAnswer::text_)
        return py::take(PyUnicode_FromStringAndSize(answer.text, Py_ssize_t(answer.text_size)));
    if (answer.kind == DefaultAnswer::pairs_) {
        object mapping = py::new_dict();
        for (auto& [key, value] : answer.pairs)
            py::setitem(mapping, key, value);
        return mapping;
    }
    return std::move(answer.data);
}

bool exact_datetime(handle obj) { return PyDateTime_CheckExact(obj.ptr()); }

bool is_instance(handle obj, handle cls) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (reinterpret_cast<PyObject*>(type) == cls.ptr())
        return true;
    // For a class of the plain metaclass isinstance asks the type, then obj.__class__;
    // read the default way through object's own descriptor, that is the type again.
    static PyObject* const object_class = py::compat::type_lookup(&PyBaseObject_Type, n::__class__);
    if (PyType_CheckExact(cls.ptr()) && type->tp_getattro == PyObject_GenericGetAttr &&
        py::class_lookup(type, n::__class__) == object_class)
        return PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls.ptr()));
    return py::isinstance(obj, cls);
}

object define_json_dumper(handle json_encoder) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        py::throw_error();
    py::ClassBuilder cls(state->info, "JSONDumper", py::tuple(json_encoder));
    cls.method<json_default>("default", {{"self"}, {"obj"}});
    return cls.create();
}

object define_yaml_dumper(handle safe_dumper) {
    py::ClassBuilder cls(state->info, "YAMLDumper", py::tuple(safe_dumper));
    cls.method<increase_indent>("increase_indent",
                                {{"self"}, py::opt("flow", Py_False), py::opt("indentless", Py_False)})
        .method<ignore_aliases>("ignore_aliases", {{"self"}, {"data"}});
    return cls.create();
}

void define_representers(handle module) {
    const py::ModuleInfo& info = state->info;
    const std::vector<py::Param> params = {{"dumper"}, {"data"}};
    std::pair<const char*, object> functions[] = {
        {"str_representer", py::function<str_representer>(info, "str_representer", params)},
        {"float_representer", py::function<float_representer>(info, "float_representer", params)},
        {"type_representer", py::function<type_representer>(info, "type_representer", params)},
        {"unknown_representer", py::function<unknown_representer>(info, "unknown_representer", params)},
        {"ResultCounter_representer",
         py::function<result_counter_representer>(info, "ResultCounter_representer", params)},
        {"TestResult_representer", py::function<test_result_representer>(info, "TestResult_representer", params)},
        {"AttrDict_representer", py::function<attr_dict_representer>(info, "AttrDict_representer", params)},
    };
    for (auto& [name, function] : functions)
        py::check(PyModule_AddObjectRef(module.ptr(), name, function.ptr()));
}

}  // namespace runset
