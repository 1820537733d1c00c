// dump_yaml's fast road: the representers registered on YAMLDumper, run natively
// and streamed into the native emitter, giving the text that
// yaml.dump(document, Dumper=YAMLDumper, default_flow_style=False) gives.
#include "reporter/fastroad/roads.h"
#include "writers/yaml_emitter.h"
#include "writers/yaml_resolver.h"

#include <algorithm>
#include <string>

namespace runset {
namespace {

namespace yaml = writers::yaml;
namespace tag = yaml::tag;
using Kind = YamlRoad::Kind;

struct step_aside {};  // the fast road gives way to the generic one, before writing

// ---- what this road was built for ------------------------------------------------

// PyYAML 6.0.x: the emitter, serializer and representer rules written natively.
bool supported_version(handle yaml_module) {
    object version = py::getattr_optional(yaml_module, n::__version__);
    if (!version || !PyUnicode_CheckExact(version.ptr()))
        return false;
    // "6.0" or "6.0.<patch>".
    return PyUnicode_CompareWithASCIIString(version.ptr(), "6.0") == 0 ||
           (PyUnicode_GET_LENGTH(version.ptr()) > 4 &&
            PyUnicode_CompareWithASCIIString(py::take(PyUnicode_Substring(version.ptr(), 0, 4)).ptr(), "6.0.") == 0);
}

// The implicit resolvers the dumper reads are the ones resolve_scalar implements,
// and no path resolver is registered.
bool resolvers_as_built(handle dumper) {
    object table = py::getattr(dumper, n::yaml_implicit_resolvers);
    object paths = py::getattr(dumper, n::yaml_path_resolvers);
    if (!PyDict_CheckExact(table.ptr()) || !PyDict_CheckExact(paths.ptr()) || PyDict_GET_SIZE(paths.ptr()) != 0)
        return false;
    // {first character: [(tag, pattern text, flags)]} of both, compared.
    object expected = py::new_dict();
    object verbose = py::getattr(py::import("re", state->info.globals), n::VERBOSE);
    object unicode = py::getattr(py::import("re", state->info.globals), n::UNICODE);
    object verbose_flags = py::take(PyNumber_Or(verbose.ptr(), unicode.ptr()));
    for (size_t i = 0; i < yaml::resolver_rule_count; ++i) {
        const yaml::ResolverRule& rule = yaml::resolver_rules[i];
        object entry = py::tuple(py::text(rule.tag), py::text(rule.pattern), rule.verbose ? verbose_flags : unicode);
        std::string firsts = rule.first;
        std::vector<object> keys;
        for (char c : firsts)
            keys.push_back(py::take(PyUnicode_FromStringAndSize(&c, 1)));
        if (rule.empty_too)
            keys.push_back(py::text(""));
        for (object& key : keys) {
            object list = py::lookup(expected, key);
            if (!list) {
                list = py::new_list();
                py::setitem(expected, key, list);
            }
            py::append(list, entry);
        }
    }
    object found = py::new_dict();
    Py_ssize_t pos = 0;
    PyObject *key, *resolvers;
    while (PyDict_Next(table.ptr(), &pos, &key, &resolvers)) {
        if (!PyList_CheckExact(resolvers))
            return false;
        object list = py::new_list();
        for (object& item : py::iterate(resolvers)) {
            if (!PyTuple_CheckExact(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
                return false;
            object regexp = py::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
            py::append(list, py::tuple(PyTuple_GET_ITEM(item.ptr(), 0), py::getattr(regexp, n::pattern),
                                       py::getattr(regexp, n::flags)));
        }
        py::setitem(found, key, list);
    }
    return py::compare(found, expected, Py_EQ);
}

// Every function in the namespaces of the module's classes is the one its file
// defines there: none replaced before this module was imported.
bool code_as_shipped(handle module) {
    object file = py::getattr_optional(module, n::__file__);
    object name = py::getattr(module, n::__name__);
    if (!file)
        return false;
    handle globals = PyModule_GetDict(module.ptr());
    Py_ssize_t pos = 0;
    PyObject *key, *cls;
    while (PyDict_Next(globals.ptr(), &pos, &key, &cls)) {
        if (!PyType_Check(cls))
            continue;
        object owner = py::getattr_optional(cls, n::__module__);
        if (!owner || !py::compare(owner, name, Py_EQ))
            continue;
        object qualname = py::getattr(cls, n::__qualname__);
        object space = py::take(py::compat::type_dict(reinterpret_cast<PyTypeObject*>(cls)));
        Py_ssize_t at = 0;
        PyObject *attribute, *value;
        while (PyDict_Next(space.ptr(), &at, &attribute, &value)) {
            if (!PyFunction_Check(value))
                continue;
            object code = py::borrow(PyFunction_GET_CODE(value));
            object expected = py::take(PyUnicode_FromFormat("%U.%U", qualname.ptr(), attribute));
            if (!py::compare(py::getattr(code, n::co_filename), file, Py_EQ) ||
                !py::compare(py::getattr(value, n::__qualname__), expected, Py_EQ))
                return false;
        }
    }
    return true;
}

// What a representer of the table does; false for one this road does not know.
bool kind_of_function(handle module, handle safe, handle key, handle function, Kind& found) {
    auto module_function = [&](const char* name) { return py::getattr(module, py::text(name)); };
    auto safe_function = [&](const char* name) { return py::getitem(py::getattr(safe, n::__dict__), py::text(name)); };
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

// ---- representers ------------------------------------------------------------------

// getattr(obj, name) where only an AttributeError means absent (an empty object),
// without making the AttributeError: most mappings lack some names.
object optional_attribute(handle obj, handle name) {
    PyObject* value;
    int found = py::compat::lookup_attribute(obj.ptr(), name.ptr(), &value);
    py::check(found);
    return found ? py::steal(value) : object();
}

// hasattr(mapping, 'items'), which only an AttributeError makes false.
bool has_items(handle mapping) { return PyDict_CheckExact(mapping.ptr()) || optional_attribute(mapping, n::items); }

// ---- the generic road's depth ---------------------------------------------------
//
// Each level of the document holds three depth units on the generic road:
// represent_data's frame, the representer's call (a Python frame, or the native
// function's own unit) and represent_sequence's or represent_mapping's frame. The
// calls each frame makes on the way reach one or two units further for a moment.
// The road takes the held units where the generic road takes them and checks the
// passing ones in the same order, so a callback has the same room on both roads and
// RecursionError strikes at the same place, with the same text.

const char* const calling = " while calling a Python object";
// The level a builtin's call takes where such calls count (see reach_c).
constexpr long c_units = py::compat::c_calls_take_python_depth ? 1 : 0;

[[noreturn]] void depth_exceeded(const char* where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    throw py::error_already_set{};
}

// Levels held while a native level stands for the generic road's frames.
class Held {
public:
    Held(PyThreadState* thread, long units) : thread_(thread), units_(units) { py::compat::take_depth(thread, units); }
    ~Held() { py::compat::give_depth(thread_, units_); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    PyThreadState* thread_;
    long units_;
};

class Representer {
public:
    Representer(const YamlRoad& road, yaml::Emitter& emitter)
        : road_(road), emitter_(emitter), thread_(PyThreadState_Get()) {}

    void represent_data(handle data);

private:
    Kind kind_of(handle data);
    void represent(Kind kind, handle data);
    void scalar(const char* tag, handle value, char style = 0);
    void represent_sequence(const char* tag, handle sequence);
    void represent_mapping(const char* tag, handle mapping);
    void represent_pairs(const char* tag, const std::vector<std::pair<object, object>>& pairs);
    Held enter_mapping(long left);
    void str_representer(handle data);
    void to_yaml(handle data);
    void represent_binary(handle data);
    void represent_set(handle data);

    void start(yaml::EventKind kind, const char* tag, bool implicit, bool empty) {
        yaml::Event event{kind, tag};
        event.implicit[0] = implicit;
        event.empty = empty;
        emitter_.emit(event);
    }
    void end(yaml::EventKind kind) { emitter_.emit(yaml::Event{kind}); }

    Kind look_up_kind(PyTypeObject* type);

    long room() const { return py::compat::recursion_remaining(thread_); }
    // Entering `units` more levels from a place with `room` left, as the generic
    // road passes through them.
    static void reach(long room, long units, const char* where) {
        if (room < units)
            depth_exceeded(where);
    }
    // A call the interpreter checks against the depth limit up to 3.11 (a builtin,
    // a class, a comparison, repr(), str()); from 3.12 against the C limit only,
    // which these depths never reach.
    static void reach_c(long room, long units, const char* where) {
        if (py::compat::c_calls_take_python_depth)
            reach(room, units, where);
    }
    // Native recursion goes on only where the thread's C stack has room for it
    // (checked where a collection's items are walked).
    static void check_stack() {
        if (py::check_stack(""))
            throw py::error_already_set{};
    }
    // A node class called from a Python frame: the call, then its __init__'s frame.
    static void reach_node_class(long room, long units) {
        reach_c(room, units, calling);
        reach(room, units + py::compat::class_call_units - 1, "");
    }

    const YamlRoad& road_;
    yaml::Emitter& emitter_;
    PyThreadState* thread_;
    // The room inside the latest representer's call, while no code has run since.
    long representer_room_ = 0;
    // Kinds found for the latest types, while neither the table nor YAMLDumper's
    // namespace has changed since (by their versions, where dicts keep them).
    struct Known {
        PyTypeObject* type;
        Kind kind;
    };
    Known known_[8];
    int known_count_ = 0;
    uint64_t table_version_ = 0, namespace_version_ = 0;
};

// The representer represent_data picks: the table's entry for type(data).__mro__[0],
// else (no multi representer) its catch-all. The table is read here, where the
// generic road reads it, so a change made by a callback mid-dump is followed.
Kind Representer::kind_of(handle data) {
    PyTypeObject* type = Py_TYPE(data.ptr());
    if (!py::compat::has_dict_version)
        return look_up_kind(type);
    uint64_t table = py::compat::dict_version(road_.representers().ptr());
    uint64_t space = py::compat::dict_version(road_.dumper_namespace().ptr());
    if (table != table_version_ || space != namespace_version_) {
        known_count_ = 0;
        table_version_ = table;
        namespace_version_ = space;
    }
    for (int i = 0; i < known_count_; ++i)
        if (known_[i].type == type)
            return known_[i].kind;
    Kind kind = look_up_kind(type);
    // A type of another metaclass may change its MRO's first class on its own.
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type))
        known_[known_count_ < 8 ? known_count_++ : 7] = Known{type, kind};
    return kind;
}

Kind Representer::look_up_kind(PyTypeObject* type) {
    PyTypeObject* meta = Py_TYPE(reinterpret_cast<PyObject*>(type));
    // type(data).__mro__ is the type's own MRO unless its metaclass reads the name
    // its own way; the entry is found without code where the first class hashes
    // and compares as type does.
    if (meta != &PyType_Type &&
        (!py::compat::has_type_lookup || meta->tp_getattro != PyType_Type.tp_getattro ||
         py::compat::type_lookup(meta, n::__mro__) != py::compat::type_lookup(&PyType_Type, n::__mro__)))
        throw step_aside{};
    PyObject* first = PyTuple_GET_ITEM(type->tp_mro, 0);
    PyTypeObject* first_meta = Py_TYPE(first);
    if (first_meta->tp_hash != PyType_Type.tp_hash || first_meta->tp_richcompare != PyType_Type.tp_richcompare)
        throw step_aside{};
    PyObject* table = PyDict_GetItemWithError(road_.dumper_namespace().ptr(), n::yaml_representers);
    if (table != road_.representers().ptr())
        throw step_aside{};
    PyObject* representer = PyDict_GetItemWithError(table, first);
    if (!representer) {
        if (PyErr_Occurred())
            throw py::error_already_set{};
        // No multi representer may have come since the start.
        if (PyDict_Contains(road_.dumper_namespace().ptr(), n::yaml_multi_representers))
            throw step_aside{};
        representer = PyDict_GetItemWithError(table, Py_None);
        if (!representer)
            throw step_aside{};
    }
    const Kind* kind = road_.kind_of_representer(representer);
    if (!kind)
        throw step_aside{};
    return *kind;
}

void Representer::represent_data(handle data) {
    long left = room();
    reach(left, 1, "");       // represent_data's frame
    reach(left, 2, calling);  // YAMLDumper.ignore_aliases
    Kind kind = kind_of(data);
    // The representer's call takes the level ignore_aliases passed through.
    Held frames(thread_, 2);
    representer_room_ = left - 2;
    represent(kind, data);
}

void Representer::represent(Kind kind, handle data) {
    switch (kind) {
    case Kind::str: return str_representer(data);
    case Kind::float_: {
        reach_c(representer_room_, 1, calling);  // round()
        object text = float_text(data);
        representer_room_ = room();  // FLOAT_PRECISION may have run code
        return scalar(tag::float_, text);
    }
    case Kind::type: {
        reach_c(representer_room_, 1, " while getting the repr of an object");
        object text = py::repr(data);
        representer_room_ = room();  // a metaclass's __repr__ may have
        return scalar(tag::str, text);
    }
    case Kind::unknown: return represent_mapping(tag::map, unknown_mapping(data));
    case Kind::result_counter: return represent_mapping(tag::map, result_counter_pairs(data));
    case Kind::test_result: return represent_mapping(tag::map, result_mapping(data));
    case Kind::attr_dict:
    case Kind::dict: return represent_mapping(tag::map, data);
    case Kind::node: return to_yaml(data);
    case Kind::none: return scalar(tag::null, state->null_text);
    case Kind::bool_: return scalar(tag::bool_, data.ptr() == Py_True ? state->true_text : state->false_text);
    case Kind::int_: {
        reach_c(representer_room_, 1, calling);  // str(), whose own check comes one further
        object text;
        {
            Held call(thread_, c_units);
            text = py::str(data);
        }
        return scalar(tag::int_, text);
    }
    case Kind::binary: return represent_binary(data);
    case Kind::list: return represent_sequence(tag::seq, data);
    case Kind::set: return represent_set(data);
    case Kind::date: return scalar(tag::timestamp, py::call_method(data, n::isoformat));
    case Kind::datetime: return scalar(tag::timestamp, py::call_method(data, n::isoformat, state->blank));
    }
}

// represent_scalar, then what the serializer makes of the node: implicit is
// whether the text would resolve to the tag as plain text, and as quoted text.
void Representer::scalar(const char* tag, handle value, char style) {
    // A str subclass could change how the text reads: only exact str here.
    if (!PyUnicode_CheckExact(value.ptr()))
        throw step_aside{};
    py::check(py::compat::ready(value.ptr()));
    long left = representer_room_;
    reach(left, 1, "");         // represent_scalar
    reach_node_class(left, 2);  // ScalarNode
    yaml::Event event{yaml::EventKind::Scalar, tag};
    event.implicit[0] = yaml::resolve_scalar(value.ptr()) == tag;
    event.implicit[1] = tag == tag::str;
    event.value = value.ptr();
    event.style = style;
    emitter_.emit(event);
}

void Representer::str_representer(handle data) {
    bool literal;
    object text = literal_text(data, literal);
    scalar(tag::str, text, literal ? '|' : 0);
}

void Representer::represent_sequence(const char* tag, handle sequence) {
    long left = room();
    reach(left, 1, "");         // represent_sequence's frame
    reach_node_class(left, 2);  // SequenceNode
    check_stack();
    Held frame(thread_, 1);
    // `for item in sequence`: a list is read live, as its iterator does.
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.ptr());
    start(yaml::EventKind::SequenceStart, tag, tag == tag::seq, size == 0);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.ptr()); ++i) {
        object item = py::borrow(PySequence_Fast_GET_ITEM(sequence.ptr(), i));
        represent_data(item);
    }
    end(yaml::EventKind::SequenceEnd);
}

// represent_mapping's way in: its frame, MappingNode, hasattr; the frame is held
// while the items are represented.
Held Representer::enter_mapping(long left) {
    reach(left, 1, "");         // represent_mapping's frame
    reach_node_class(left, 2);  // MappingNode
    reach_c(left, 2, calling);  // hasattr
    check_stack();
    return Held(thread_, 1);
}

void Representer::represent_mapping(const char* tag, handle mapping) {
    long left = room();
    Held frame = enter_mapping(left);
    std::vector<std::pair<object, object>> pairs;
    object items;
    if (has_items(mapping)) {
        items = PyDict_CheckExact(mapping.ptr()) ? py::take(PyDict_Items(mapping.ptr()))
                                                 : py::take(PySequence_List(py::call_method(mapping, n::items).ptr()));
        // sorted(mapping), kept unsorted when the keys refuse to be ordered.
        // sorted(): its call and that of list.sort, then the same comparisons, which
        // check for themselves.
        reach_c(left, 2, calling);
        reach_c(left, 3, calling);
        if (PyList_GET_SIZE(items.ptr()) > 1) {
            object sorted = py::take(PySequence_List(items.ptr()));
            int done;
            {
                Held calls(thread_, 2 * c_units);
                done = PyList_Sort(sorted.ptr());
            }
            if (done == 0)
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
    represent_pairs(tag, pairs);
}

void Representer::represent_pairs(const char* tag, const std::vector<std::pair<object, object>>& pairs) {
    start(yaml::EventKind::MappingStart, tag, tag == tag::map, pairs.empty());
    for (auto& [key, value] : pairs) {
        represent_data(key);
        represent_data(value);
    }
    end(yaml::EventKind::MappingEnd);
}

// The node's to_yaml: the (name, value) pairs it hands to represent_mapping.
void Representer::to_yaml(handle data) {
    std::vector<std::pair<object, object>> pairs;
    for_each_reported(data,
                      [&](handle name, handle value) { pairs.emplace_back(py::borrow(name), py::borrow(value)); });
    // represent_mapping of a list of pairs: no items(), no sorting.
    Held frame = enter_mapping(room());
    represent_pairs(tag::map, pairs);
}

void Representer::represent_binary(handle data) {
    // hasattr(base64, ...), then encodebytes and _input_type_check, whose
    // memoryview() is the deepest call.
    long left = representer_room_;
    reach_c(left, 1, calling);
    reach(left, 2, "");
    reach_c(left, 3, calling);
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

void Representer::represent_set(handle data) {
    object value = py::new_dict();
    for (object& key : py::iterate(data))
        py::setitem(value, key, Py_None);
    represent_mapping(tag::set, value);
}

}  // namespace

std::unique_ptr<YamlRoad> YamlRoad::capture(handle module) {
    object yaml_module = global(n::yaml);
    handle dumper = state->YAMLDumper;
    if (!supported_version(yaml_module) || !resolvers_as_built(dumper))
        return nullptr;
    auto road = std::unique_ptr<YamlRoad>(new YamlRoad);
    py::Snapshot& pieces = road->snapshot_;
    road->yaml_module_ = yaml_module;

    // What dump_yaml and the representers read from this module.
    handle globals = state->info.globals;
    for (PyObject* name : {n::yaml, n::YAMLDumper, n::YAML_MAP, n::YAML_STR, n::YAML_FLT})
        pieces.item(globals, name);
    struct {
        PyObject* name;
        const char* text;
    } tags[] = {{n::YAML_MAP, tag::map}, {n::YAML_STR, tag::str}, {n::YAML_FLT, tag::float_}};
    for (auto& [name, text] : tags) {
        object value = py::lookup(globals, name);
        if (!value || !PyUnicode_CheckExact(value.ptr()) || PyUnicode_CompareWithASCIIString(value.ptr(), text) != 0)
            return nullptr;
    }

    // PyYAML's modules whole, its classes and functions, and the pieces of the
    // standard library its dumper reaches: a name added, replaced or removed in any
    // of them is a change.
    for (const char* part : {"yaml", "yaml.emitter", "yaml.serializer", "yaml.representer", "yaml.resolver",
                             "yaml.nodes", "yaml.events", "yaml.dumper", "yaml.error"}) {
        object part_module = py::import_module(part, globals);
        if (!code_as_shipped(part_module))
            return nullptr;
        pieces.module(part_module);
    }
    pieces.module(py::import_module("base64", globals));
    pieces.attribute(py::import_module("io", globals), "StringIO");
    pieces.attribute(py::import_module("binascii", globals), "b2a_base64");
    PyTypeObject* dumper_type = reinterpret_cast<PyTypeObject*>(dumper.ptr());
    for (object& cls : py::iterate(dumper_type->tp_mro))
        pieces.class_(cls);
    pieces.builtins_read(PyModule_GetDict(py::import_module("builtins", globals).ptr()));

    road->dumper_namespace_ = py::take(py::compat::type_dict(dumper_type));
    road->representers_ = py::lookup(road->dumper_namespace_, n::yaml_representers);
    if (!road->representers_ || !PyDict_CheckExact(road->representers_.ptr()))
        return nullptr;
    // A multi representer would be consulted first.
    if (py::len(py::getattr(dumper, n::yaml_multi_representers)) != 0 ||
        py::lookup(road->dumper_namespace_, n::yaml_multi_representers))
        return nullptr;
    object safe = py::getattr(py::getattr(yaml_module, n::representer), n::SafeRepresenter);
    Py_ssize_t pos = 0;
    PyObject *key, *function;
    while (PyDict_Next(road->representers_.ptr(), &pos, &key, &function)) {
        Kind kind;
        if (!kind_of_function(module, safe, key, function, kind))
            return nullptr;  // a table this road cannot follow
        road->kinds_[function] = kind;
        road->held_.push_back(py::borrow(function));
    }
    // The catch-all is what an unknown type falls back to.
    PyObject* fallback = PyDict_GetItemWithError(road->representers_.ptr(), Py_None);
    if (!fallback || road->kinds_[fallback] != Kind::unknown)
        return nullptr;
    return road;
}

bool YamlRoad::intact() const { return snapshot_.intact(); }

object YamlRoad::write(handle document) const {
    // Too little room for the generic road's way in and out (dump_all, the
    // dumper's set-up, the serializer's and emitter's deepest calls), or so much
    // that a C limit or the C stack, not this one, would end it: the generic road
    // decides, before anything runs.
    long room = py::compat::recursion_remaining();
    if (room < 64 || room > 5000)
        return object();
    yaml::Emitter emitter(false);
    try {
        Representer representer(*this, emitter);
        emitter.emit(yaml::Event{yaml::EventKind::StreamStart});
        emitter.emit(yaml::Event{yaml::EventKind::DocumentStart});
        {
            // yaml.dump, dump_all and represent.
            py::recursion_guard dump(""), dump_all(""), represent("");
            representer.represent_data(document);
        }
        emitter.emit(yaml::Event{yaml::EventKind::DocumentEnd});
        emitter.emit(yaml::Event{yaml::EventKind::StreamEnd});
    } catch (const step_aside&) {
        return object();
    }
    return py::take(emitter.finish());
}

}  // namespace runset
