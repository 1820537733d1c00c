// The report model module: what its classes share.
#pragma once

#include "native/module.h"

#include <memory>
#include <utility>
#include <vector>

namespace runset {

using py::handle;
using py::kwargs;
using py::object;

// Interned names: attributes, keywords, keys and module globals. A trailing
// underscore keeps a C++ keyword apart and is not part of the text.
// clang-format off
#define RUNSET_NAMES(X)                                                                                     \
    X(type) X(id) X(seq_num) X(_parent) X(parent) X(name) X(starttime) X(stoptime) X(runtime) X(details)    \
    X(extra) X(result) X(health_result) X(health_summary) X(logfile) X(logs) X(tasks) X(sections) X(summary) \
    X(pluginsummary) X(totaltasks) X(weight) X(_ARG_ORDER) X(fullid) X(idlist) X(items) X(update)          \
    X(update_extra) X(roll_up) X(clone) X(from_str) X(total_seconds) X(list_extend) X(health) X(lower)     \
    X(start) X(stop) X(path) X(basename) X(getsize) X(num_tasks) X(file) X(begin) X(size) X(as_dict)     \
    X(dump) X(dumps) X(Dumper) X(default_flow_style) X(cls) X(data) X(version) X(report) X(style)         \
    X(represent_scalar) X(represent_mapping) X(increase_indent) X(default_) X(value) X(reason) X(copy)      \
    X(total) X(success_rate) X(add_representer) X(__name__) X(__init__) X(__class__) X(repr) X(split) X(rstrip) X(join)                            \
    X(get_time) X(recursive_update) X(ResultCounter) X(TestResult) X(Passed) X(AttrDict) X(yaml) X(json)  \
    X(os) X(datetime) X(VERSION) X(VALUE_IGNORE) X(FLOAT_PRECISION) X(YAML_MAP) X(YAML_STR) X(YAML_FLT)   \
    X(ReportHeader) X(ReportObjectBase) X(RunSet) X(Task) X(Plugin) X(Section) X(JSONDumper)              \
    X(YAMLDumper) X(encoder) X(c_make_encoder) X(__version__) X(__file__) X(__module__) X(__qualname__)       \
    X(__mro__) X(__dict__) X(co_filename) X(yaml_implicit_resolvers) X(yaml_path_resolvers) X(pattern) X(flags) \
    X(VERBOSE) X(UNICODE) X(isoformat) X(yaml_representers) X(yaml_multi_representers) X(representer) X(SafeRepresenter) \
    X(object_) X(property) X(super) X(round) X(JSONEncoder) X(SafeDumper) X(to_yaml) X(str_representer)          \
    X(float_representer) X(type_representer) X(unknown_representer) X(ResultCounter_representer)                \
    X(TestResult_representer) X(AttrDict_representer) X(represent_data) X(represent_sequence) X(serialize)      \
    X(open) X(close) X(dispose) X(getvalue) X(flow_style) X(represented_objects) X(object_keeper) X(alias_key)  \
    X(sorted) X(isinstance) X(ScalarNode) X(SequenceNode) X(MappingNode) X(dump_all)
// clang-format on

namespace n {
RUNSET_NAMES(KOVRA_NAME_DECLARE)
}  // namespace n

class JsonRoad;
class YamlRoad;
class KnownResults;

// Made once at start-up, never changed afterwards.
struct State {
    State();
    ~State();
    State& operator=(State&&);

    py::ModuleInfo info;
    object health_summary_keys;  // the nine counter keys the health roll-ups walk
    object round;                // builtin, looked up at import
    object zero, one, minus_one, literal_block, newline, dot, blank;
    object null_text, true_text, false_text;  // the YAML texts of None, True and False
    // kwnames tuples of the calls made with keywords
    object list_extend_keyword, yaml_dump_keywords, json_dumps_keywords, style_keyword, flow_style_keyword;
    // The classes as created here: what super() inside their methods means.
    object ReportObjectBase, RunSet, Task, Plugin, Section, JSONDumper, YAMLDumper;
    // ReportObjectBase's own path properties, to know them where a class still has them.
    object fullid_property, idlist_property;
    // The fast roads (roads.h), empty where the generic road is always taken,
    // and the result classes' known answers, which they and the representers read.
    std::unique_ptr<KnownResults> known_results;
    std::unique_ptr<JsonRoad> json_road;
    std::unique_ptr<YamlRoad> yaml_road;
    // Last, so that a reset drops them after all that was made with them.
    py::Names names, writer_names;
};

extern State* state;

// A module global, looked up at call time so callers may replace it.
inline object global(handle name) { return py::global(state->info, name); }

// Class builders, one per file, in the module's creation order.
object define_json_dumper(handle json_encoder);
object define_yaml_dumper(handle safe_dumper);
object define_report_header(handle base);
object define_report_object_base(handle base);
object define_run_set();
object define_task();
object define_plugin();
object define_section();
void define_representers(handle module);

// Shared by the node classes.

// value in VALUE_IGNORE (`ignore`, the global as looked up by the caller) when that
// is certain without running code: 1 or 0; else -1.
int ignored_codeless(handle ignore, handle value);
// The value of `name` that the YAML and JSON forms of a node hold: read with a
// default of None, tested against VALUE_IGNORE (`ignore`), and read again; empty
// when it is left out. A read that certainly ran no code is not made twice.
// `before_code(context, value)`, when given, is called before any step that may
// run code: with the value about to be tested against VALUE_IGNORE, or null.
object reported_value(handle node, handle name, handle ignore, void (*before_code)(void*, PyObject*) = nullptr,
                      void* context = nullptr);

// head + "." + tail of two exact str, made at once; empty with the error set.
object dotted(handle head, handle tail);

// Calls visit(name, value) for each name of node._ARG_ORDER whose value is present
// and not one of VALUE_IGNORE: what the YAML and JSON forms of a node hold.
template <typename Visit>
void for_each_reported(handle node, Visit&& visit) {
    object ignore = global(n::VALUE_IGNORE);
    for (object& name : py::iterate(py::getattr(node, n::_ARG_ORDER))) {
        if (object value = reported_value(node, name, ignore))
            visit(name, value);
    }
}

// target.<name> = value (or value.clone()) when it is None, else target.<name> += value.
void combine_into(handle target, handle name, handle value, bool clone_first);

// cls(parent=parent, **kw), appended to parent.<children>; returns the child.
object add_child(handle parent, handle children, handle cls, kwargs&& kw);

// What YAMLDumper's representers make of a value, shared by the representer
// functions and the YAML fast road.
// str_representer's text: `data`, or its lines right-stripped (`literal` set) where
// it holds a line feed.
object literal_text(handle data, bool& literal);
// float_representer's text: str(round(data, FLOAT_PRECISION)).
object float_text(handle data);
// unknown_representer's mapping: {"type": type(data), "repr": repr(data)}.
object unknown_mapping(handle data);
// ResultCounter_representer's pairs: list(data.items()), then total and success_rate.
object result_counter_pairs(handle data);
// TestResult_representer's mapping: {"value": ...}, with "reason" and "data" when true.
object result_mapping(handle result);

// JSONDumper.default's answer for a value that is not a report node, in the form
// cheapest to write. One of: `data`, the answer as the object it returns (empty
// where it defers to the base encoder); `pairs`, the entries of the fresh dict it
// would return (exact str keys, each once, at least one entry); `text`, the str()
// of a naive datetime, which needs no escaping.
struct DefaultAnswer {
    enum Kind { data_, pairs_, text_ } kind = data_;
    object data;
    std::vector<std::pair<object, object>> pairs;
    char text[32];
    size_t text_size = 0;
};
void json_default_answer(handle obj, DefaultAnswer& answer);
// The same answer as the object JSONDumper.default returns.
object json_default_data(handle obj);
// An exact datetime.datetime: compared with None, a list or a dict it runs no code.
bool exact_datetime(handle obj);
// isinstance(obj, cls), answered without the generic protocol where it certainly
// runs no code.
bool is_instance(handle obj, handle cls);

// os.path.basename(path) and os.path.getsize(path), through the module's `os`.
object basename(handle path);
object getsize(handle path);

// The log record of a node: where its stretch of `logfile` begins, and how long it is.
void log_record_begin(handle logs, handle logfile);
void log_record_size(handle logs, handle logfile);

}  // namespace runset
