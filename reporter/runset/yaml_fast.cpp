// The native road of dump_yaml: the representers registered on YAMLDumper, run
// natively and streamed into the generic emitter, giving the text that
// yaml.dump(document, Dumper=YAMLDumper, default_flow_style=False) gives.
//
// It is taken only while every piece the generic road would use is the one seen
// at import; otherwise, or when a document nests deeper than the generic road is
// sure to manage, dump_yaml goes the generic road from the start.
#include "reporter/runset/runset.h"
#include "writers/yaml_emitter.h"
#include "writers/yaml_resolver.h"

#include <frameobject.h>

#include <algorithm>
#include <array>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace runset {
namespace {

namespace tag = yaml::tag;

// Which representer the table names for a type.
enum class Kind {
    str, float_, type, unknown, result_counter, test_result, attr_dict, node,  // registered here
    none, bool_, int_, binary, list, dict, set, date, datetime                  // the safe dumper's
};

// What the generic road relies on, as found at import.
struct Road {
    bool usable = false;
    object yaml_module, dump, dump_all, io_module, string_io, base64_module, encodebytes;
    object dumper_class, mro;
    // Each class of YAMLDumper's MRO with a copy of its namespace.
    std::vector<std::pair<object, object>> namespaces;
    // Functions with the code and defaults they had.
    std::vector<std::array<object, 4>> functions;
    // Mutable tables (dicts, lists) with a copy deep enough to see them changed in place.
    std::vector<std::pair<object, object>> tables;
    // Globals of PyYAML's modules, by the names they had.
    std::vector<std::pair<object, object>> module_namespaces;
    object representers;  // YAMLDumper.yaml_representers itself
    std::unordered_map<PyObject*, Kind> kinds;  // representer -> what it does
    // Kinds of the built-in types among the table's keys, checked first.
    std::vector<std::pair<PyTypeObject*, Kind>> builtin_kinds;
};

Road* road = nullptr;

struct step_aside {};  // the native road gives way to the generic one

// An interned name made on first use, for the few names the module's table lacks.
#define NAME(text)                            \
    [] {                                      \
        static PyObject* slot;                \
        return py::interned(slot, text);      \
    }()

// ---- the road check --------------------------------------------------------------

object namespace_copy(handle cls) {
    return py::call_method(py::getattr(cls, NAME("__dict__")), NAME("copy"));
}

// A copy of a class table deep enough to see in-place changes: the resolver
// table is a dict of lists of (tag, pattern) tuples, the others hold immutables.
object table_copy(handle table) {
    if (PyList_Check(table.ptr()))
        return py::take(PySequence_List(table.ptr()));
    object copy = py::take(PyDict_Copy(table.ptr()));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table.ptr(), &pos, &key, &value))
        if (PyList_Check(value) || PyDict_Check(value))
            py::setitem(copy, key, table_copy(value));
    return copy;
}

void pin_function(handle value) {
    if (!PyFunction_Check(value.ptr()))
        return;
    PyObject* f = value.ptr();
    road->functions.push_back({py::borrow(f), py::borrow(PyFunction_GetCode(f)), py::borrow(PyFunction_GetDefaults(f)),
                               py::borrow(PyFunction_GetKwDefaults(f))});
}

bool functions_unchanged() {
    for (auto& [f, code, defaults, kwdefaults] : road->functions) {
        if (PyFunction_GetCode(f.ptr()) != code.ptr() || PyFunction_GetDefaults(f.ptr()) != defaults.ptr() ||
            PyFunction_GetKwDefaults(f.ptr()) != kwdefaults.ptr())
            return false;
    }
    return true;
}

// Same names bound to the very same objects.
bool same_bindings(handle current, handle snapshot) {
    if (py::len(current) != PyDict_GET_SIZE(snapshot.ptr()))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(snapshot.ptr(), &pos, &key, &value)) {
        object now = py::steal(PyObject_GetItem(current.ptr(), key));
        if (!now) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                throw py::error_already_set{};
            PyErr_Clear();
            return false;
        }
        if (now.ptr() != value)
            return false;
    }
    return true;
}

// Module globals: only the names PyYAML's code reads are compared, not names added since.
bool same_globals(handle current, handle snapshot) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(snapshot.ptr(), &pos, &key, &value)) {
        if (PyDict_GetItemWithError(current.ptr(), key) != value) {
            if (PyErr_Occurred())
                throw py::error_already_set{};
            return false;
        }
    }
    return true;
}

bool is_standard(handle name, const char* expected) {
    object value = global(name);
    return PyUnicode_CheckExact(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), expected) == 0;
}

bool road_is_genuine() {
    if (!road || !road->usable)
        return false;
    if (global(n::yaml).ptr() != road->yaml_module.ptr() || global(n::YAMLDumper).ptr() != road->dumper_class.ptr())
        return false;
    if (!is_standard(n::YAML_MAP, tag::map) || !is_standard(n::YAML_STR, tag::str) ||
        !is_standard(n::YAML_FLT, tag::float_))
        return false;
    PyTypeObject* dumper = reinterpret_cast<PyTypeObject*>(road->dumper_class.ptr());
    if (Py_TYPE(dumper) != &PyType_Type || dumper->tp_mro != road->mro.ptr())
        return false;
    for (auto& [owner, snapshot] : road->module_namespaces)
        if (!same_globals(owner, snapshot))
            return false;
    if (py::getattr(road->io_module, NAME("StringIO")).ptr() != road->string_io.ptr() ||
        py::getattr(road->base64_module, NAME("encodebytes")).ptr() != road->encodebytes.ptr())
        return false;
    for (auto& [cls, snapshot] : road->namespaces)
        if (!same_bindings(py::getattr(cls, NAME("__dict__")), snapshot))
            return false;
    if (!functions_unchanged())
        return false;
    for (auto& [table, copy] : road->tables)
        if (!py::compare(table, copy, Py_EQ))
            return false;
    return true;
}

// ---- representers ------------------------------------------------------------------

// getattr(obj, name) where only an AttributeError means absent (an empty object),
// without making the AttributeError: most mappings and nodes lack some names.
object optional_attribute(handle obj, handle name) {
    PyObject* value;
#if PY_VERSION_HEX >= 0x030D0000
    int found = PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &value);
#else
    int found = _PyObject_LookupAttr(obj.ptr(), name.ptr(), &value);
#endif
    py::check(found);
    return found ? py::steal(value) : object();
}

object attribute_or_none(handle node, handle name) {
    object value = optional_attribute(node, name);
    return value ? value : py::none();
}

// hasattr(mapping, 'items'), which only an AttributeError makes false.
bool has_items(handle mapping) { return PyDict_CheckExact(mapping.ptr()) || optional_attribute(mapping, n::items); }

class Representer {
public:
    // `ignore_standard`: VALUE_IGNORE when it is the module's own list holding None, [] and {}.
    Representer(yaml::Emitter& emitter, int max_depth, PyObject* ignore_standard)
        : emitter_(emitter), max_depth_(max_depth), ignore_standard_(ignore_standard) {}

    void represent_data(handle data, int depth);

private:
    void scalar(const char* tag, handle value, char style = 0);
    void represent_sequence(const char* tag, handle sequence, int depth);
    void represent_mapping(const char* tag, handle mapping, int depth);
    void represent_pairs(const char* tag, const std::vector<std::pair<object, object>>& pairs, int depth);

    void str_representer(handle data);
    void unknown_representer(handle data, int depth);
    void result_counter_representer(handle data, int depth);
    void test_result_representer(handle data, int depth);
    void to_yaml(handle data, int depth);
    bool ignored(handle ignore, handle value);
    void represent_binary(handle data);
    void represent_set(handle data, int depth);

    void start(yaml::EventKind kind, const char* tag, bool implicit, bool empty) {
        yaml::Event event{kind, tag};
        event.implicit[0] = implicit;
        event.empty = empty;
        emitter_.emit(event);
    }
    void end(yaml::EventKind kind) { emitter_.emit(yaml::Event{kind}); }

    yaml::Emitter& emitter_;
    int max_depth_;
    PyObject* ignore_standard_;
};

PyObject* standard_value_ignore() {
    object ignore = global(n::VALUE_IGNORE);
    PyObject* list = ignore.ptr();
    if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) != 3 || PyList_GET_ITEM(list, 0) != Py_None)
        return nullptr;
    PyObject* empty_list = PyList_GET_ITEM(list, 1);
    PyObject* empty_dict = PyList_GET_ITEM(list, 2);
    if (!PyList_CheckExact(empty_list) || PyList_GET_SIZE(empty_list) != 0 || !PyDict_CheckExact(empty_dict) ||
        PyDict_GET_SIZE(empty_dict) != 0)
        return nullptr;
    return list;  // the module keeps it alive
}

Kind kind_of(handle data) {
    // The built-in types the table names, looked up once at import.
    PyTypeObject* type = Py_TYPE(data.ptr());
    for (auto& [known, kind] : road->builtin_kinds)
        if (known == type)
            return kind;
    // The table's entry for the exact type, else its catch-all (no multi representers).
    PyObject* representer = PyDict_GetItemWithError(road->representers.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(data.ptr())));
    if (!representer) {
        if (PyErr_Occurred())
            throw py::error_already_set{};
        return Kind::unknown;
    }
    auto found = road->kinds.find(representer);
    if (found == road->kinds.end())
        throw step_aside{};
    return found->second;
}

void Representer::represent_data(handle data, int depth) {
    if (depth > max_depth_)
        throw step_aside{};
    switch (kind_of(data)) {
    case Kind::str:
        return str_representer(data);
    case Kind::float_: {
        object rounded = py::call(state->round, data, global(n::FLOAT_PRECISION));
        return scalar(tag::float_, py::str(rounded));
    }
    case Kind::type:
        return scalar(tag::str, py::repr(data));
    case Kind::unknown:
        return unknown_representer(data, depth);
    case Kind::result_counter:
        return result_counter_representer(data, depth);
    case Kind::test_result:
        return test_result_representer(data, depth);
    case Kind::attr_dict:
    case Kind::dict:
        return represent_mapping(tag::map, data, depth);
    case Kind::node:
        return to_yaml(data, depth);
    case Kind::none:
        return scalar(tag::null, NAME("null"));
    case Kind::bool_:
        return scalar(tag::bool_, data.ptr() == Py_True ? NAME("true") : NAME("false"));
    case Kind::int_:
        return scalar(tag::int_, py::str(data));
    case Kind::binary:
        return represent_binary(data);
    case Kind::list:
        return represent_sequence(tag::seq, data, depth);
    case Kind::set:
        return represent_set(data, depth);
    case Kind::date:
        return scalar(tag::timestamp, py::call_method(data, NAME("isoformat")));
    case Kind::datetime:
        return scalar(tag::timestamp, py::call_method(data, NAME("isoformat"), NAME(" ")));
    }
}

// represent_scalar, then what the serializer makes of the node: implicit is
// whether the text would resolve to the tag as plain text, and as quoted text.
void Representer::scalar(const char* tag, handle value, char style) {
    // A str subclass could change how the text reads: only exact str here.
    if (!PyUnicode_CheckExact(value.ptr()))
        throw step_aside{};
#if PY_VERSION_HEX < 0x030C0000
    py::check(PyUnicode_READY(value.ptr()));
#endif
    yaml::Event event{yaml::EventKind::Scalar, tag};
    event.implicit[0] = yaml::resolve_scalar(value.ptr()) == tag;
    event.implicit[1] = tag == tag::str;
    event.value = value.ptr();
    event.style = style;
    emitter_.emit(event);
}

void Representer::str_representer(handle data) {
    static PyObject* newline;
    if (!py::contains(data, py::interned(newline, "\n")))
        return scalar(tag::str, data);
    object lines = py::new_list();
    for (object& line : py::iterate(py::call_method(data, n::split, newline)))
        py::append(lines, py::call_method(line, n::rstrip));
    scalar(tag::str, py::call_method(newline, n::join, lines), '|');
}

void Representer::represent_sequence(const char* tag, handle sequence, int depth) {
    // `for item in sequence`: a list is read live, as its iterator does.
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.ptr());
    start(yaml::EventKind::SequenceStart, tag, tag == tag::seq, size == 0);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.ptr()); ++i) {
        object item = py::borrow(PySequence_Fast_GET_ITEM(sequence.ptr(), i));
        represent_data(item, depth + 1);
    }
    end(yaml::EventKind::SequenceEnd);
}

void Representer::represent_mapping(const char* tag, handle mapping, int depth) {
    std::vector<std::pair<object, object>> pairs;
    object items;
    if (has_items(mapping)) {
        items = PyDict_CheckExact(mapping.ptr()) ? py::take(PyDict_Items(mapping.ptr()))
                                                 : py::take(PySequence_List(py::call_method(mapping, n::items).ptr()));
        // sorted(mapping), kept unsorted when the keys refuse to be ordered.
        if (PyList_GET_SIZE(items.ptr()) > 1) {
            object sorted = py::take(PySequence_List(items.ptr()));
            if (PyList_Sort(sorted.ptr()) == 0)
                items = std::move(sorted);
            else if (PyErr_ExceptionMatches(PyExc_TypeError))
                PyErr_Clear();
            else
                throw py::error_already_set{};
        }
    } else {
        items = py::take(PySequence_List(mapping.ptr()));
    }
    // `for item_key, item_value in mapping`; other shapes leave it to the generic road.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.ptr(), i);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2)
            throw step_aside{};
        pairs.emplace_back(py::borrow(PyTuple_GET_ITEM(item, 0)), py::borrow(PyTuple_GET_ITEM(item, 1)));
    }
    represent_pairs(tag, pairs, depth);
}

void Representer::represent_pairs(const char* tag, const std::vector<std::pair<object, object>>& pairs, int depth) {
    start(yaml::EventKind::MappingStart, tag, tag == tag::map, pairs.empty());
    for (auto& [key, value] : pairs) {
        represent_data(key, depth + 1);
        represent_data(value, depth + 1);
    }
    end(yaml::EventKind::MappingEnd);
}

void Representer::unknown_representer(handle data, int depth) {
    // {"type": type(data), "repr": repr(data)}, sorted: repr first.
    object type = py::type_of(data);
    object text = py::repr(data);
    std::vector<std::pair<object, object>> pairs;
    pairs.emplace_back(py::borrow(n::repr), std::move(text));
    pairs.emplace_back(py::borrow(n::type), std::move(type));
    represent_pairs(tag::map, pairs, depth);
}

void Representer::result_counter_representer(handle data, int depth) {
    object pairs = py::take(PySequence_List(py::call_method(data, n::items).ptr()));
    py::append(pairs, py::tuple(n::total, py::getattr(data, n::total)));
    py::append(pairs, py::tuple(n::success_rate, py::getattr(data, n::success_rate)));
    represent_mapping(tag::map, pairs, depth);
}

void Representer::test_result_representer(handle data, int depth) {
    object mapping = py::new_dict();
    py::setitem(mapping, n::value, py::getattr(data, n::value));
    object reason = py::getattr(data, n::reason);
    if (py::truthy(reason))
        py::setitem(mapping, n::reason, reason);
    object extra = py::getattr(data, n::data);
    if (py::truthy(extra))
        py::setitem(mapping, n::data, extra);
    represent_mapping(tag::map, mapping, depth);
}


// `value in VALUE_IGNORE`. While the list holds what the module put in it,
// values of the built-in types are decided here: none of them runs code when
// compared with None, [] or {}.
bool Representer::ignored(handle ignore, handle value) {
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (ignore.ptr() == ignore_standard_) {
        if (value.is_none())
            return true;
        if (type == &PyList_Type)
            return PyList_GET_SIZE(value.ptr()) == 0;
        if (type == &PyDict_Type)
            return PyDict_GET_SIZE(value.ptr()) == 0;
        if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
            type == &PyTuple_Type)
            return false;
    }
    return py::contains(ignore, value);
}

// The node's to_yaml: the (name, value) pairs of for_each_reported, read the same way.
void Representer::to_yaml(handle data, int depth) {
    std::vector<std::pair<object, object>> pairs;
    object ignore = global(n::VALUE_IGNORE);
    for (object& name : py::iterate(py::getattr(data, n::_ARG_ORDER))) {
        if (ignored(ignore, attribute_or_none(data, name)))
            continue;
        object value = py::getattr(data, name);
        pairs.emplace_back(std::move(name), std::move(value));
    }
    represent_pairs(tag::map, pairs, depth);
}

void Representer::represent_binary(handle data) {
    // base64.encodebytes: lines of 76 characters (57 bytes), each ending in "\n".
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.ptr()));
    Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
    std::string text;
    text.reserve(static_cast<size_t>((size + 56) / 57 * 77));
    for (Py_ssize_t line = 0; line < size; line += 57) {
        Py_ssize_t end = std::min(size, line + 57);
        for (Py_ssize_t i = line; i < end; i += 3) {
            unsigned value = bytes[i] << 16;
            if (i + 1 < end)
                value |= bytes[i + 1] << 8;
            if (i + 2 < end)
                value |= bytes[i + 2];
            text += alphabet[(value >> 18) & 63];
            text += alphabet[(value >> 12) & 63];
            text += i + 1 < end ? alphabet[(value >> 6) & 63] : '=';
            text += i + 2 < end ? alphabet[value & 63] : '=';
        }
        text += '\n';
    }
    scalar(tag::binary, py::take(PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)),
           '|');
}

void Representer::represent_set(handle data, int depth) {
    object value = py::new_dict();
    for (object& key : py::iterate(data))
        py::setitem(value, key, Py_None);
    represent_mapping(tag::set, value, depth);
}

// How deep the generic road surely gets: it spends at most four interpreter
// levels per level of the document; what the caller already uses is counted.
int depth_budget() {
    int used = 0;
    object frame = py::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    while (frame) {
        ++used;
        frame = py::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame.ptr()))));
    }
    return (Py_GetRecursionLimit() - used - 60) / 4;
}

// What a representer of the table does; false for one this road does not know.
bool kind_of_function(handle module, handle safe, handle key, handle function, Kind& found) {
    auto module_function = [&](const char* name) { return py::getattr(module, py::text(name)); };
    auto safe_function = [&](const char* name) {
        return py::getitem(py::getattr(safe, NAME("__dict__")), py::text(name));
    };
    std::pair<object, Kind> known[] = {
        {module_function("str_representer"), Kind::str},
        {module_function("float_representer"), Kind::float_},
        {module_function("type_representer"), Kind::type},
        {module_function("unknown_representer"), Kind::unknown},
        {module_function("ResultCounter_representer"), Kind::result_counter},
        {module_function("TestResult_representer"), Kind::test_result},
        {module_function("AttrDict_representer"), Kind::attr_dict},
        {safe_function("represent_none"), Kind::none},
        {safe_function("represent_bool"), Kind::bool_},
        {safe_function("represent_int"), Kind::int_},
        {safe_function("represent_binary"), Kind::binary},
        {safe_function("represent_list"), Kind::list},
        {safe_function("represent_dict"), Kind::dict},
        {safe_function("represent_set"), Kind::set},
        {safe_function("represent_date"), Kind::date},
        {safe_function("represent_datetime"), Kind::datetime},
    };
    for (auto& [candidate, kind] : known) {
        if (candidate.ptr() == function.ptr()) {
            found = kind;
            return true;
        }
    }
    for (handle node_class : {state->RunSet, state->Task, state->Section, state->Plugin}) {
        if (key.ptr() == node_class.ptr()) {
            found = Kind::node;
            return true;
        }
    }
    return false;
}

}  // namespace

void remember_yaml_road(handle module) {
    // Kept for the life of the process, like the module state; a repeated
    // start-up after a failed one starts afresh.
    road = new Road;
    object yaml_module = global(n::yaml);
    road->yaml_module = yaml_module;
    road->dumper_class = state->YAMLDumper;
    road->dump = py::getattr(yaml_module, n::dump);
    road->dump_all = py::getattr(yaml_module, NAME("dump_all"));
    pin_function(road->dump);
    pin_function(road->dump_all);
    road->io_module = py::import("io", state->info.globals);
    road->string_io = py::getattr(road->io_module, NAME("StringIO"));
    road->base64_module = py::import("base64", state->info.globals);
    road->encodebytes = py::getattr(road->base64_module, NAME("encodebytes"));

    static const char* const parts[] = {"yaml", "yaml.emitter", "yaml.serializer", "yaml.representer",
                                        "yaml.resolver", "yaml.nodes", "yaml.events", "yaml.dumper"};
    object modules = py::borrow(PyImport_GetModuleDict());
    for (const char* part : parts) {
        object part_module = py::getitem(modules, py::text(part));
        object globals = py::getattr(part_module, NAME("__dict__"));
        road->module_namespaces.emplace_back(globals, py::take(PyDict_Copy(globals.ptr())));
    }

    PyTypeObject* dumper = reinterpret_cast<PyTypeObject*>(state->YAMLDumper.ptr());
    road->mro = py::borrow(dumper->tp_mro);
    for (object& cls : py::iterate(road->mro)) {
        if (cls.ptr() == reinterpret_cast<PyObject*>(&PyBaseObject_Type))
            continue;
        object snapshot = namespace_copy(cls);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(snapshot.ptr(), &pos, &key, &value)) {
            pin_function(value);
            if (PyDict_Check(value) || PyList_Check(value))
                road->tables.emplace_back(py::borrow(value), table_copy(value));
        }
        road->namespaces.emplace_back(cls, std::move(snapshot));
    }

    road->representers = py::getattr(state->YAMLDumper, NAME("yaml_representers"));
    object multi = py::getattr(state->YAMLDumper, NAME("yaml_multi_representers"));
    if (py::len(multi) != 0)
        return;  // a multi representer would be consulted first: never native
    object safe = py::getattr(py::getattr(yaml_module, NAME("representer")), NAME("SafeRepresenter"));
    Py_ssize_t pos = 0;
    PyObject *key, *function;
    while (PyDict_Next(road->representers.ptr(), &pos, &key, &function)) {
        Kind kind;
        if (!kind_of_function(module, safe, key, function, kind))
            return;  // a table this road cannot follow: always the generic road
        road->kinds[function] = kind;
    }
    // The catch-all must be what kind_of falls back to.
    PyObject* fallback = PyDict_GetItemWithError(road->representers.ptr(), Py_None);
    if (!fallback || road->kinds[fallback] != Kind::unknown)
        return;
    for (PyTypeObject* type : {&PyUnicode_Type, &PyDict_Type, &PyList_Type, &PyLong_Type, &PyFloat_Type,
                               &PyBool_Type, Py_TYPE(Py_None), &PyTuple_Type}) {
        PyObject* function = PyDict_GetItemWithError(road->representers.ptr(), reinterpret_cast<PyObject*>(type));
        if (function)
            road->builtin_kinds.emplace_back(type, road->kinds[function]);
    }
    road->usable = true;
}

object dump_yaml_native(handle document) {
    if (!road_is_genuine())
        return object();
    int budget = depth_budget();
    if (budget < 1)
        return object();
    yaml::Emitter emitter(false);
    try {
        Representer representer(emitter, budget, standard_value_ignore());
        emitter.emit(yaml::Event{yaml::EventKind::StreamStart});
        emitter.emit(yaml::Event{yaml::EventKind::DocumentStart});
        representer.represent_data(document, 0);
        emitter.emit(yaml::Event{yaml::EventKind::DocumentEnd});
        emitter.emit(yaml::Event{yaml::EventKind::StreamEnd});
    } catch (const step_aside&) {
        return object();
    }
    return py::take(emitter.finish());
}

}  // namespace runset
