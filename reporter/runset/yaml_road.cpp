// dump_yaml's fast road: the representers registered on YAMLDumper, run natively
// and streamed into the native emitter, giving the text that
// yaml.dump(document, Dumper=YAMLDumper, default_flow_style=False) gives.
#include "reporter/runset/roads.h"
#include "formats/yaml/emitter.h"
#include "formats/yaml/resolver.h"

#include <datetime.h>

#include <algorithm>
#include <deque>
#include <string>

namespace runset {
namespace {

namespace yaml = formats::yaml;
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

// Every property of the module's classes reads through a getter its file defines.
bool getters_as_shipped(handle module) {
    object file = py::getattr_optional(module, n::__file__);
    if (!file)
        return false;
    handle globals = PyModule_GetDict(module.ptr());
    Py_ssize_t pos = 0;
    PyObject *key, *cls;
    while (PyDict_Next(globals.ptr(), &pos, &key, &cls)) {
        if (!PyType_Check(cls))
            continue;
        object space = py::take(py::compat::type_dict(reinterpret_cast<PyTypeObject*>(cls)));
        Py_ssize_t at = 0;
        PyObject *attribute, *value;
        while (PyDict_Next(space.ptr(), &at, &attribute, &value)) {
            if (!Py_IS_TYPE(value, &PyProperty_Type))
                continue;
            object getter = py::getattr(value, py::text("fget"));
            if (!PyFunction_Check(getter.ptr()) ||
                !py::compare(py::getattr(py::borrow(PyFunction_GET_CODE(getter.ptr())), n::co_filename), file, Py_EQ))
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

// An event of the document, recorded while it is represented: nothing is written
// until the whole document is represented without a change to what the road
// relies on. Kept small (a scalar's text held as its own reference), in a deque
// that never copies what it holds as it grows.
class Step {
public:
    Step(yaml::EventKind kind, const char* tag, PyObject* value = nullptr, char style = 0, bool plain = false,
         bool quoted = false)
        : tag_(tag),
          value_(value),
          kind_(static_cast<unsigned char>(kind)),
          style_(style),
          plain_(plain),
          quoted_(quoted) {
        Py_XINCREF(value);
    }
    Step(Step&& other) noexcept : Step(other) { other.value_ = nullptr; }
    Step& operator=(Step&&) = delete;
    ~Step() { Py_XDECREF(value_); }

    yaml::EventKind kind() const { return static_cast<yaml::EventKind>(kind_); }
    const char* tag() const { return tag_; }
    handle value() const { return value_; }
    char style() const { return style_; }
    void set_empty(bool empty) { empty_ = empty; }
    yaml::Event event() const {
        yaml::Event event{kind(), tag_};
        event.implicit[0] = plain_;
        event.implicit[1] = quoted_;
        event.value = value_;
        event.style = style_;
        event.empty = empty_;
        return event;
    }

private:
    Step(const Step&) = default;

    const char* tag_;
    PyObject* value_;
    unsigned char kind_;
    char style_;
    bool plain_, quoted_, empty_ = false;
};

// A collection being represented: its start event, and once handed over, the nodes
// of its items so far (pairs for a mapping, with a key whose value is to come).
struct Frame {
    size_t start;
    bool mapping;
    const char* tag;
    object nodes, key;
};

// Keys whose comparisons run no code: the builtin scalar types.
bool plain_key(PyObject* key) {
    return PyUnicode_CheckExact(key) || PyLong_CheckExact(key) || PyFloat_CheckExact(key) || PyBool_Check(key) ||
           key == Py_None;
}

// list(mapping.items()) of a dict whose `items` is dict's own, reached without code.
bool dict_items_codeless(handle mapping) {
    PyTypeObject* type = Py_TYPE(mapping.ptr());
    if (PyDict_CheckExact(mapping.ptr()))
        return true;
    if (!PyDict_Check(mapping.ptr()) || type->tp_dictoffset != 0)
        return false;
    static PyObject* getattribute;
    handle name = py::interned(getattribute, "__getattribute__");
    return py::compat::type_lookup(type, n::items) == py::compat::type_lookup(&PyDict_Type, n::items) &&
           py::compat::type_lookup(type, name.ptr()) == py::compat::type_lookup(&PyDict_Type, name.ptr());
}

// `a, b = item` as the interpreter unpacks it.
void unpack_two(handle item, object& first, object& second) {
    PyObject* iterator = PyObject_GetIter(item.ptr());
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item.ptr())->tp_iter && !PySequence_Check(item.ptr())) {
            PyErr_Clear();
            py::raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.ptr())->tp_name);
        }
        py::throw_error();
    }
    object values = py::steal(iterator);
    object* slots[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        PyObject* next = PyIter_Next(values.ptr());
        if (!next) {
            if (PyErr_Occurred())
                py::throw_error();
            py::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
        *slots[i] = py::steal(next);
    }
    if (PyObject* extra = PyIter_Next(values.ptr())) {
        Py_DECREF(extra);
        py::compat::set_too_many_values(item.ptr(), 2);
    }
    if (PyErr_Occurred())
        py::throw_error();
}

// Represents the document into recorded events. Where code may have run (a user
// type's repr, a key comparison, attributes read the generic way), every piece is
// checked afterwards: on a change, or at a place this road cannot follow once code
// has run, it hands over: the dumper yaml.dump would use is made, the nodes made so
// far become PyYAML's nodes and the dumper's own representer carries on, so no
// callback runs twice and each later step reads what the generic road would.
class Representer {
public:
    explicit Representer(const YamlRoad& road) : road_(road), thread_(PyThreadState_Get()) {}

    void represent_data(handle data);

    const std::deque<Step>& steps() const { return steps_; }
    bool handed() const { return handed_; }
    handle dumper() const { return dumper_; }
    handle root() const { return root_; }
    handle getvalue() const { return getvalue_; }
    // The room inside dump_all, where the generic road makes its dumper.
    long top_room = 0;

private:
    bool kind_of(handle data, Kind& kind);
    bool look_up_kind(PyTypeObject* type, Kind& kind);
    void represent(Kind kind, handle data);
    void scalar(const char* tag, handle value, char style = 0);
    void represent_sequence(const char* tag, handle sequence);
    void represent_mapping(const char* tag, handle mapping);
    // The mapping a representer reads from `data`, with code that may run unless
    // `codeless`.
    void represent_read(bool codeless, object (*read)(handle), handle data) {
        if (!codeless)
            prepare();
        object mapping = read(data);
        ran_code();
        represent_mapping(tag::map, mapping);
    }
    void represent_items(handle items);
    void represent_pair(size_t frame, handle key, handle value);
    Held enter_mapping(long left);
    void str_representer(handle data);
    void to_yaml(handle data);
    void represent_binary(handle data);
    void represent_set(handle data);
    object sorted_items(object items, bool plain_keys);

    // Code may run next. The generic road made and opened its dumper before any
    // code ran, so a callback's later change cannot reach them: nor here.
    void prepare() {
        if (!called_ && !dumper_)
            make_dumper();
        called_ = maybe_ran_ = true;
    }
    void make_dumper();
    // After code may have run: on any change, hand over.
    void ran_code() {
        if (maybe_ran_) {
            maybe_ran_ = false;
            if (!handed_ && !road_.intact())
                hand_over();
        }
    }
    // A place this road cannot follow: before any code has run, the generic road
    // runs from the start; after, the dumper carries on from here.
    void give_way() {
        if (!called_)
            throw step_aside{};
        if (!handed_)
            hand_over();
    }
    bool counter_codeless(handle data) const;
    // `value in VALUE_IGNORE` runs only kovra.results' own __eq__, which answers
    // NotImplemented to None, [] and {}.
    bool compares_codeless(PyObject* value) const {
        return plain_ignore_ && (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(road_.result_counter().ptr()) ||
                                 Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(road_.test_result().ptr()));
    }
    bool result_codeless(handle data) const;
    void hand_over();
    object node_at(size_t& at);
    object scalar_node(handle tag, handle value, char style);
    object collection_node(bool mapping, handle tag, handle value);
    void deliver(handle node);
    void add_to(Frame& frame, handle node);
    void best_style(handle node);
    object representer_global(handle name);

    void start(bool mapping, const char* tag) {
        frames_.push_back(Frame{steps_.size(), mapping, tag, object(), object()});
        steps_.emplace_back(mapping ? yaml::EventKind::MappingStart : yaml::EventKind::SequenceStart, tag, nullptr, 0,
                            tag == (mapping ? tag::map : tag::seq));
    }
    void end();

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
    PyThreadState* thread_;
    std::deque<Step> steps_;
    std::vector<Frame> frames_;
    bool called_ = false;     // code may have run
    bool maybe_ran_ = false;  // ... since the last check
    bool handed_ = false;
    bool plain_ignore_ = false;  // VALUE_IGNORE as made at import
    object dumper_, getvalue_, root_;
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

// ---- code that runs nothing else ----------------------------------------------

// Values whose truth is known without code.
bool plain_truth(PyObject* value) {
    return value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyBool_Check(value) || PyList_CheckExact(value) || PyDict_CheckExact(value) || PyTuple_CheckExact(value);
}

// ResultCounter_representer's reads run only the captured class's code (items,
// total, success_rate), which on exact int counts under exact str names and a
// plain weight calls nothing but builtins.
bool Representer::counter_codeless(handle data) const {
    if (Py_TYPE(data.ptr()) != reinterpret_cast<PyTypeObject*>(road_.result_counter().ptr()))
        return false;
    // data.items is the class's own (no instance attribute over it).
    object items = optional_attribute(data, n::items);
    if (!items || !PyMethod_Check(items.ptr()) || PyMethod_GET_FUNCTION(items.ptr()) != road_.counter_items().ptr() ||
        PyMethod_GET_SELF(items.ptr()) != data.ptr())
        return false;
    object counts = optional_attribute(data, n::data);
    object weight = optional_attribute(data, n::weight);
    if (!counts || !PyDict_CheckExact(counts.ptr()) || !weight ||
        !(PyFloat_CheckExact(weight.ptr()) || PyLong_CheckExact(weight.ptr())))
        return false;
    Py_ssize_t pos = 0;
    PyObject *name, *count;
    while (PyDict_Next(counts.ptr(), &pos, &name, &count))
        if (!PyUnicode_CheckExact(name) || !PyLong_CheckExact(count))
            return false;
    return true;
}

// TestResult_representer's reads run only the captured value property; the
// reason's and data's truth needs no code for plain values.
bool Representer::result_codeless(handle data) const {
    if (Py_TYPE(data.ptr()) != reinterpret_cast<PyTypeObject*>(road_.test_result().ptr()))
        return false;
    object reason = optional_attribute(data, n::reason);
    object value = optional_attribute(data, n::data);
    return reason && value && plain_truth(reason.ptr()) && plain_truth(value.ptr());
}

// ---- handing over -------------------------------------------------------------

void Representer::make_dumper() {
    // dump_all's stream and dumper, made at dump_all's depth, and opened.
    Held lifted(thread_, room() - top_room);
    object stream = py::call(road_.string_io());
    getvalue_ = py::getattr(stream, n::getvalue);
    PyObject* args[] = {stream.ptr()};
    dumper_ = py::call_kwargs(road_.dumper_class(), args, 1, road_.dump_keywords());
    py::call_method(dumper_, n::open);
}

void Representer::hand_over() {
    if (!dumper_)
        make_dumper();
    // The items each open collection holds so far, as nodes.
    for (size_t f = 0; f < frames_.size(); ++f) {
        size_t stop = f + 1 < frames_.size() ? frames_[f + 1].start : steps_.size();
        frames_[f].nodes = py::new_list();
        for (size_t at = frames_[f].start + 1; at < stop;)
            add_to(frames_[f], node_at(at));
    }
    steps_.clear();
    handed_ = true;
}

// The node PyYAML's representer makes of the recorded events from `at` on.
object Representer::node_at(size_t& at) {
    const Step& step = steps_[at++];
    object tag = py::text(step.tag());
    if (step.kind() == yaml::EventKind::Scalar)
        return scalar_node(tag, step.value(), step.style());
    bool mapping = step.kind() == yaml::EventKind::MappingStart;
    object value = py::new_list();
    while (steps_[at].kind() != yaml::EventKind::SequenceEnd && steps_[at].kind() != yaml::EventKind::MappingEnd) {
        object item = node_at(at);
        py::append(value, mapping ? py::tuple(item, node_at(at)) : item);
    }
    ++at;
    return collection_node(mapping, tag, value);
}

object Representer::scalar_node(handle tag, handle value, char style) {
    return py::call_keywords(road_.node_class(0), 2, state->style_keyword, tag, value,
                             style ? handle(state->literal_block) : handle(Py_None));
}

// represent_sequence's or represent_mapping's node: made with no flow style, then
// given the dumper's default.
object Representer::collection_node(bool mapping, handle tag, handle value) {
    object node = py::call_keywords(road_.node_class(mapping ? 2 : 1), 2, state->flow_style_keyword, tag, value,
                                    Py_None);
    object flow_style = py::getattr(dumper_, n::default_flow_style);
    if (!flow_style.is_none())
        py::setattr(node, n::flow_style, flow_style);
    return node;
}

void Representer::add_to(Frame& frame, handle node) {
    if (!frame.mapping) {
        py::append(frame.nodes, node);
    } else if (!frame.key) {
        frame.key = py::borrow(node);
    } else {
        py::append(frame.nodes, py::tuple(frame.key, node));
        frame.key = object();
    }
}

void Representer::deliver(handle node) {
    if (frames_.empty())
        root_ = py::borrow(node);
    else
        add_to(frames_.back(), node);
}

// A name as represent_sequence's and represent_mapping's code finds it.
object Representer::representer_global(handle name) {
    if (object value = py::lookup(road_.representer_globals(), name))
        return value;
    if (object value = py::lookup(road_.builtins(), name))
        return value;
    py::raise(PyExc_NameError, "name '%U' is not defined", name.ptr());
}

// `isinstance(node, ScalarNode) and not node.style`, which the generic road tests
// for each item it adds (its answer is not used: the flow style is the default).
void Representer::best_style(handle node) {
    object test = representer_global(n::isinstance);
    object scalar_class = representer_global(n::ScalarNode);
    if (py::truthy(py::call(test, node, scalar_class)))
        py::truthy(py::getattr(node, n::style));
}

void Representer::end() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (!handed_) {
        // `for item in sequence` reads a list live: emptiness is known at the end.
        steps_[frame.start].set_empty(steps_.size() == frame.start + 1);
        steps_.emplace_back(frame.mapping ? yaml::EventKind::MappingEnd : yaml::EventKind::SequenceEnd, nullptr);
        return;
    }
    deliver(collection_node(frame.mapping, py::text(frame.tag), frame.nodes));
}

// ---- representing -------------------------------------------------------------

// The representer represent_data picks: the table's entry for type(data).__mro__[0],
// else (no multi representer) its catch-all. The table is read here, where the
// generic road reads it, so a change made by a callback mid-dump is followed.
bool Representer::kind_of(handle data, Kind& kind) {
    PyTypeObject* type = Py_TYPE(data.ptr());
    if (!py::compat::has_dict_version)
        return look_up_kind(type, kind);
    uint64_t table = py::compat::dict_version(road_.representers().ptr());
    uint64_t space = py::compat::dict_version(road_.dumper_namespace().ptr());
    if (table != table_version_ || space != namespace_version_) {
        known_count_ = 0;
        table_version_ = table;
        namespace_version_ = space;
    }
    for (int i = 0; i < known_count_; ++i) {
        if (known_[i].type == type) {
            kind = known_[i].kind;
            return true;
        }
    }
    if (!look_up_kind(type, kind))
        return false;
    // A type of another metaclass may change its MRO's first class on its own.
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type))
        known_[known_count_ < 8 ? known_count_++ : 7] = Known{type, kind};
    return true;
}

bool Representer::look_up_kind(PyTypeObject* type, Kind& kind) {
    PyTypeObject* meta = Py_TYPE(reinterpret_cast<PyObject*>(type));
    // type(data).__mro__ is the type's own MRO unless its metaclass reads the name
    // its own way; the entry is found without code where the first class hashes
    // and compares as type does.
    if (meta != &PyType_Type &&
        (meta->tp_getattro != PyType_Type.tp_getattro ||
         py::compat::type_lookup(meta, n::__mro__) != py::compat::type_lookup(&PyType_Type, n::__mro__)))
        return false;
    PyObject* first = PyTuple_GET_ITEM(type->tp_mro, 0);
    PyTypeObject* first_meta = Py_TYPE(first);
    if (first_meta->tp_hash != PyType_Type.tp_hash || first_meta->tp_richcompare != PyType_Type.tp_richcompare)
        return false;
    PyObject* table = PyDict_GetItemWithError(road_.dumper_namespace().ptr(), n::yaml_representers);
    if (table != road_.representers().ptr())
        return false;
    PyObject* representer = PyDict_GetItemWithError(table, first);
    if (!representer) {
        if (PyErr_Occurred())
            throw py::error_already_set{};
        // No multi representer may have come since the start.
        if (PyDict_Contains(road_.dumper_namespace().ptr(), n::yaml_multi_representers))
            return false;
        representer = PyDict_GetItemWithError(table, Py_None);
        if (!representer)
            return false;
    }
    const Kind* found = road_.kind_of_representer(representer);
    if (!found)
        return false;
    kind = *found;
    return true;
}

void Representer::represent_data(handle data) {
    if (handed_)
        return deliver(py::call_method(dumper_, n::represent_data, data));
    long left = room();
    reach(left, 1, "");       // represent_data's frame
    reach(left, 2, calling);  // YAMLDumper.ignore_aliases
    Kind kind;
    if (!kind_of(data, kind)) {
        give_way();
        return deliver(py::call_method(dumper_, n::represent_data, data));
    }
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
        // round() asks FLOAT_PRECISION for its index.
        if (!PyLong_CheckExact(global(n::FLOAT_PRECISION).ptr()))
            prepare();
        object text = float_text(data);
        ran_code();
        representer_room_ = room();
        return scalar(tag::float_, text);
    }
    case Kind::type: {
        reach_c(representer_room_, 1, " while getting the repr of an object");
        if (Py_TYPE(data.ptr())->tp_repr != PyType_Type.tp_repr)
            prepare();  // a metaclass's __repr__
        object text = py::repr(data);
        ran_code();
        representer_room_ = room();
        return scalar(tag::str, text);
    }
    case Kind::unknown: return represent_read(false, unknown_mapping, data);
    case Kind::result_counter: return represent_read(counter_codeless(data), result_counter_pairs, data);
    case Kind::test_result: return represent_read(result_codeless(data), result_mapping, data);
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
    case Kind::datetime: {
        // A tzinfo's utcoffset() is code.
        if (PyDateTime_DATE_GET_TZINFO(data.ptr()) != Py_None)
            prepare();
        object text = py::call_method(data, n::isoformat, state->blank);
        ran_code();
        return scalar(tag::timestamp, text);
    }
    }
}

// represent_scalar, then what the serializer makes of the node: implicit is
// whether the text would resolve to the tag as plain text, and as quoted text.
void Representer::scalar(const char* tag, handle value, char style) {
    // A str subclass could change how the text reads: only exact str here.
    if (!handed_ && !PyUnicode_CheckExact(value.ptr()))
        give_way();
    if (handed_) {
        object text = py::text(tag);
        if (!style)
            return deliver(py::call_method(dumper_, n::represent_scalar, text, value));
        return deliver(py::call_method_keywords(dumper_, n::represent_scalar, 2, state->style_keyword, text, value,
                                                state->literal_block));
    }
    py::check(py::compat::ready(value.ptr()));
    long left = representer_room_;
    reach(left, 1, "");         // represent_scalar
    reach_node_class(left, 2);  // ScalarNode
    steps_.emplace_back(yaml::EventKind::Scalar, tag, value.ptr(), style, yaml::resolve_scalar(value.ptr()) == tag,
                        tag == tag::str);
}

void Representer::str_representer(handle data) {
    bool literal;
    object text = literal_text(data, literal);
    scalar(tag::str, text, literal ? '|' : 0);
}

void Representer::represent_sequence(const char* tag, handle sequence) {
    if (handed_)
        return deliver(py::call_method(dumper_, n::represent_sequence, py::text(tag), sequence));
    long left = room();
    reach(left, 1, "");         // represent_sequence's frame
    reach_node_class(left, 2);  // SequenceNode
    check_stack();
    Held frame(thread_, 1);
    start(false, tag);
    size_t own = frames_.size() - 1;
    // `for item in sequence`: a list is read live, as its iterator does.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.ptr()); ++i) {
        object item = py::borrow(PySequence_Fast_GET_ITEM(sequence.ptr(), i));
        represent_data(item);
        if (handed_) {
            handle nodes = frames_[own].nodes;
            best_style(PyList_GET_ITEM(nodes.ptr(), PyList_GET_SIZE(nodes.ptr()) - 1));
        }
    }
    end();
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
    if (handed_)
        return deliver(py::call_method(dumper_, n::represent_mapping, py::text(tag), mapping));
    long left = room();
    Held frame = enter_mapping(left);
    start(true, tag);
    object items;
    bool plain_items = dict_items_codeless(mapping);
    if (!plain_items && !PyList_CheckExact(mapping.ptr()) && !PyTuple_CheckExact(mapping.ptr()))
        prepare();  // its attributes, items() or iteration
    if (has_items(mapping)) {
        items = plain_items ? py::take(PyDict_Items(mapping.ptr()))
                            : py::take(PySequence_List(py::call_method(mapping, n::items).ptr()));
        ran_code();
        // sorted(): its call and that of list.sort, then the comparisons, which
        // check for themselves.
        reach_c(left, 2, calling);
        reach_c(left, 3, calling);
        items = sorted_items(std::move(items), plain_items);
    } else {
        items = py::take(PySequence_List(mapping.ptr()));
        ran_code();
    }
    represent_items(items);
    end();
}

// sorted(items), kept unsorted when the keys refuse to be ordered.
object Representer::sorted_items(object items, bool unique_keys) {
    if (handed_) {
        // The name as the generic road finds it now.
        PyObject* result = PyObject_CallOneArg(representer_global(n::sorted).ptr(), items.ptr());
        if (result)
            return py::steal(result);
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            py::throw_error();
        PyErr_Clear();
        return items;
    }
    Py_ssize_t size = PyList_GET_SIZE(items.ptr());
    if (size < 2)
        return items;
    // Distinct keys of the builtin scalar types compare without code, and never
    // reach the values.
    bool codeless = unique_keys;
    for (Py_ssize_t i = 0; codeless && i < size; ++i)
        codeless = plain_key(PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 0));
    if (!codeless)
        prepare();
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
    ran_code();
    return items;
}

// `for item_key, item_value in mapping`.
void Representer::represent_items(handle items) {
    size_t own = frames_.size() - 1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        object item = py::borrow(PyList_GET_ITEM(items.ptr(), i));
        if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
            represent_pair(own, PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1));
            continue;
        }
        give_way();
        object key, value;
        unpack_two(item, key, value);
        represent_pair(own, key, value);
    }
}

void Representer::represent_pair(size_t own, handle key, handle value) {
    represent_data(key);
    represent_data(value);
    if (handed_) {
        handle nodes = frames_[own].nodes;
        PyObject* pair = PyList_GET_ITEM(nodes.ptr(), PyList_GET_SIZE(nodes.ptr()) - 1);
        best_style(PyTuple_GET_ITEM(pair, 0));
        best_style(PyTuple_GET_ITEM(pair, 1));
    }
}

// The node's to_yaml: the (name, value) pairs it hands to represent_mapping.
void Representer::to_yaml(handle data) {
    std::vector<std::pair<object, object>> pairs;
    object ignore = global(n::VALUE_IGNORE);
    object order = py::getattr(data, n::_ARG_ORDER);
    // Stepping through anything but a list or tuple may run code.
    if (!PyList_CheckExact(order.ptr()) && !PyTuple_CheckExact(order.ptr()))
        prepare();
    plain_ignore_ = ignored_codeless(ignore, Py_None) == 1;
    auto before_code = [](void* self, PyObject* compared) {
        auto* representer = static_cast<Representer*>(self);
        if (!compared || !representer->compares_codeless(compared))
            representer->prepare();
    };
    for (object& name : py::iterate(order)) {
        if (object value = reported_value(data, name, ignore, before_code, this))
            pairs.emplace_back(py::borrow(name), std::move(value));
    }
    ran_code();
    if (handed_) {
        object list = py::new_list();
        for (auto& [name, value] : pairs)
            py::append(list, py::tuple(name, value));
        return deliver(py::call_method(dumper_, n::represent_mapping, py::text(tag::map), list));
    }
    // represent_mapping of a list of pairs: no items(), no sorting.
    Held frame = enter_mapping(room());
    start(true, tag::map);
    size_t own = frames_.size() - 1;
    for (auto& [key, value] : pairs)
        represent_pair(own, key, value);
    end();
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
    // Storing a key compares it with those of the same hash.
    bool codeless = PyAnySet_CheckExact(data.ptr());
    for (object& key : py::iterate(data))
        codeless = codeless && plain_key(key.ptr());
    if (!codeless)
        prepare();
    object value = py::new_dict();
    for (object& key : py::iterate(data))
        py::setitem(value, key, Py_None);
    ran_code();
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
    road->string_io_ = pieces.attribute(py::import_module("io", globals), "StringIO");
    pieces.attribute(py::import_module("binascii", globals), "b2a_base64");
    PyTypeObject* dumper_type = reinterpret_cast<PyTypeObject*>(dumper.ptr());
    for (object& cls : py::iterate(dumper_type->tp_mro))
        pieces.class_(cls);
    // The result classes whose representers' reads run their own code: known code
    // that, on plain counts and reasons, runs nothing else.
    object results = py::import_module("kovra.results", globals);
    if (!code_as_shipped(results) || !getters_as_shipped(results))
        return nullptr;
    pieces.module(results);
    road->result_counter_ = py::getattr(results, n::ResultCounter);
    road->test_result_ = py::getattr(results, n::TestResult);
    object items = py::lookup(
        py::take(py::compat::type_dict(reinterpret_cast<PyTypeObject*>(road->result_counter_.ptr()))), n::items);
    if (!items || !PyFunction_Check(items.ptr()) || road->result_counter_.ptr() != global(n::ResultCounter).ptr() ||
        road->test_result_.ptr() != global(n::TestResult).ptr())
        return nullptr;
    road->counter_items_ = items;
    road->builtins_ = py::borrow(PyModule_GetDict(py::import_module("builtins", globals).ptr()));
    pieces.builtins_read(road->builtins_);

    // What a hand-over needs: dump_all's keywords for the dumper (its defaults, and
    // yaml.dump's default_flow_style=False), and the names represent_sequence and
    // represent_mapping read.
    object dump_all = py::getattr(yaml_module, n::dump_all);
    object code = py::getattr(dump_all, py::text("__code__"));
    object defaults = py::getattr(dump_all, py::text("__defaults__"));
    object names = py::getattr(code, py::text("co_varnames"));
    Py_ssize_t count = PyTuple_Check(defaults.ptr()) ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
    if (count != 15 || PyTuple_GET_SIZE(names.ptr()) < 16 ||
        PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(names.ptr(), 2), "Dumper") != 0)
        return nullptr;
    road->dump_keywords_ = py::new_dict();
    for (Py_ssize_t i = 3; i < 16; ++i)
        py::setitem(road->dump_keywords_, PyTuple_GET_ITEM(names.ptr(), i), PyTuple_GET_ITEM(defaults.ptr(), i - 1));
    py::setitem(road->dump_keywords_, n::default_flow_style, Py_False);
    object encoding = py::lookup(road->dump_keywords_, py::text("encoding"));
    if (!encoding || !encoding.is_none())
        return nullptr;
    road->dumper_class_ = py::borrow(dumper);
    object representer_module = py::import_module("yaml.representer", globals);
    road->representer_globals_ = py::borrow(PyModule_GetDict(representer_module.ptr()));
    PyObject* node_names[] = {n::ScalarNode, n::SequenceNode, n::MappingNode};
    for (int i = 0; i < 3; ++i)
        road->node_classes_[i] = py::getattr(representer_module, node_names[i]);
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        throw py::error_already_set{};

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
    Representer representer(*this);
    try {
        // yaml.dump and dump_all.
        py::recursion_guard dump(""), dump_all("");
        representer.top_room = py::compat::recursion_remaining();
        try {
            {
                py::recursion_guard represent("");
                representer.represent_data(document);
                if (representer.handed()) {
                    // The rest of Dumper.represent: the node serialized, the tables reset.
                    handle dumper = representer.dumper();
                    py::call_method(dumper, n::serialize, representer.root());
                    py::setattr(dumper, n::represented_objects, py::new_dict());
                    py::setattr(dumper, n::object_keeper, py::new_list());
                    py::setattr(dumper, n::alias_key, Py_None);
                }
            }
            if (representer.handed())
                py::call_method(representer.dumper(), n::close);
        } catch (const py::error_already_set&) {
            // dump_all's `finally: dumper.dispose()`.
            if (representer.dumper()) {
                PyObject *type, *value, *traceback;
                PyErr_Fetch(&type, &value, &traceback);
                object disposed = py::steal(PyObject_CallMethodObjArgs(representer.dumper().ptr(), n::dispose,
                                                                       nullptr));
                if (!disposed) {
                    Py_XDECREF(type);
                    Py_XDECREF(value);
                    Py_XDECREF(traceback);
                } else {
                    PyErr_Restore(type, value, traceback);
                }
            }
            throw;
        }
        if (representer.handed()) {
            py::call_method(representer.dumper(), n::dispose);
            return py::call(representer.getvalue());
        }
    } catch (const step_aside&) {
        return object();
    }
    yaml::Emitter emitter(false);
    emitter.emit(yaml::Event{yaml::EventKind::StreamStart});
    emitter.emit(yaml::Event{yaml::EventKind::DocumentStart});
    for (const Step& step : representer.steps())
        emitter.emit(step.event());
    emitter.emit(yaml::Event{yaml::EventKind::DocumentEnd});
    emitter.emit(yaml::Event{yaml::EventKind::StreamEnd});
    return py::take(emitter.finish());
}

}  // namespace runset
