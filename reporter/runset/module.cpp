// Start-up of kovra.reporter.runset: imports, constants, classes, representers.
#include "reporter/runset/results.h"
#include "reporter/runset/roads.h"
#include "formats/names.h"

namespace runset {

namespace n {
KOVRA_NAME_TABLE(RUNSET_NAMES)
}  // namespace n

State* state = nullptr;

// Out of line, where the roads are complete types.
State::State() = default;
State::~State() = default;
State& State::operator=(State&&) = default;

namespace {

using py::bind;

void import_requirements(handle module, handle globals) {
    bind(module, n::yaml, py::import("yaml", globals));
    bind(module, n::json, py::import("json", globals));
    bind(module, n::os, py::import("os.path", globals));
    bind(module, n::datetime, py::import_from("datetime", "datetime", globals));
    bind(module, n::get_time, py::import_from("kovra.utils.utils", "get_time", globals));
    bind(module, n::recursive_update, py::import_from("kovra.utils.dicts", "recursive_update", globals));
    bind(module, n::ResultCounter, py::import_from("kovra.results", "ResultCounter", globals));
    bind(module, n::TestResult, py::import_from("kovra.results", "TestResult", globals));
    bind(module, n::Passed, py::import_from("kovra.results", "Passed", globals));
    bind(module, n::AttrDict, py::import_from("kovra.datastructures", "AttrDict", globals));
}

void set_constants(handle module) {
    bind(module, n::VERSION, py::text("3.2"));
    bind(module, n::VALUE_IGNORE, py::take(Py_BuildValue("[O[]{}]", Py_None)));
    bind(module, n::FLOAT_PRECISION, py::integer(2));
    bind(module, n::YAML_MAP, py::text("tag:yaml.org,2002:map"));
    bind(module, n::YAML_STR, py::text("tag:yaml.org,2002:str"));
    bind(module, n::YAML_FLT, py::text("tag:yaml.org,2002:float"));
}

void make_state_constants() {
    state->health_summary_keys = py::take(PySequence_Tuple(
        py::list_of({"passed", "passx", "failed", "errored", "aborted", "blocked", "skipped", "total", "success_rate"})
            .ptr()));
    state->zero = py::integer(0);
    state->one = py::integer(1);
    state->minus_one = py::integer(-1);
    state->literal_block = py::text("|");
    state->newline = py::text("\n");
    state->dot = py::text(".");
    state->blank = py::text(" ");
    state->null_text = py::text("null");
    state->true_text = py::text("true");
    state->false_text = py::text("false");
    state->list_extend_keyword = py::tuple(n::list_extend);
    state->yaml_dump_keywords = py::tuple(n::Dumper, n::default_flow_style);
    state->json_dumps_keywords = py::tuple(n::cls);
    state->style_keyword = py::tuple(n::style);
    state->flow_style_keyword = py::tuple(n::flow_style);
}

void create_classes(handle module, handle object_type) {
    bind(module, n::JSONDumper, state->JSONDumper = define_json_dumper(py::getattr(global(n::json), n::JSONEncoder)));
    bind(module, n::YAMLDumper, state->YAMLDumper = define_yaml_dumper(py::getattr(global(n::yaml), n::SafeDumper)));
    bind(module, n::ReportHeader, define_report_header(object_type));
    bind(module, n::ReportObjectBase, state->ReportObjectBase = define_report_object_base(object_type));
    PyObject* base_dict = reinterpret_cast<PyTypeObject*>(state->ReportObjectBase.ptr())->tp_dict;
    state->fullid_property = py::lookup(base_dict, n::fullid);
    state->idlist_property = py::lookup(base_dict, n::idlist);
    bind(module, n::RunSet, state->RunSet = define_run_set());
    bind(module, n::Task, state->Task = define_task());
    bind(module, n::Plugin, state->Plugin = define_plugin());
    bind(module, n::Section, state->Section = define_section());
}

void register_representers(handle module) {
    auto function = [&](handle name) { return py::getattr(module, name); };
    auto to_yaml = [&](handle cls) { return py::getattr(cls, n::to_yaml); };
    std::pair<object, object> table[] = {
        {py::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)), function(n::str_representer)},
        {py::borrow(reinterpret_cast<PyObject*>(&PyFloat_Type)), function(n::float_representer)},
        {py::borrow(reinterpret_cast<PyObject*>(&PyType_Type)), function(n::type_representer)},
        {py::none(), function(n::unknown_representer)},
        {global(n::ResultCounter), function(n::ResultCounter_representer)},
        {global(n::TestResult), function(n::TestResult_representer)},
        {global(n::AttrDict), function(n::AttrDict_representer)},
        {state->RunSet, to_yaml(state->RunSet)},
        {state->Task, to_yaml(state->Task)},
        {state->Section, to_yaml(state->Section)},
        {state->Plugin, to_yaml(state->Plugin)},
    };
    for (auto& [type, representer] : table)
        py::call_method(state->YAMLDumper, n::add_representer, type, representer);
}

struct Module {
    static constexpr const char* short_name = "runset";

    static void initialise(handle module) {
        py::start_state(state, module, "kovra.reporter.runset", "kovra/reporter/runset");
        handle globals = state->info.globals;

        state->names = py::Names(n::table);
        state->writer_names = formats::names();
        object object_type = py::builtin(n::object_);
        py::builtin(n::property);
        py::builtin(n::super);
        state->round = py::builtin(n::round);

        import_requirements(module, globals);
        set_constants(module);
        make_state_constants();
        create_classes(module, object_type);
        define_representers(module);
        register_representers(module);
        state->known_results = KnownResults::capture();
        state->json_road = JsonRoad::capture();
        state->yaml_road = YamlRoad::capture(module);
    }

    // Drops everything start-up made, the fast roads with it.
    static void reset() { *state = State(); }
};

}  // namespace
}  // namespace runset

PyMODINIT_FUNC PyInit_runset() { return py::ModuleDefinition<runset::Module>::init(); }
