// Start-up of kovra.reporter.ledgrin: imports, the escaping functions, the class.
#include "reporter/ledgrin/ledgrin.h"
#include "formats/names.h"

namespace ledgrin {

namespace n {
KOVRA_NAME_TABLE(LEDGRIN_NAMES)
}  // namespace n

State* state = nullptr;

namespace {

using py::bind;

// In the order the module binds them; a missing one fails the whole import.
void import_requirements(handle module, handle globals) {
    bind(module, n::os, py::import("os", globals));
    bind(module, n::re, py::import("re", globals));
    bind(module, n::ET, py::import_module("xml.etree.ElementTree", globals));
    bind(module, n::minidom, py::import_from("xml.dom", "minidom", globals));
    bind(module, n::cfg, py::import_from("kovra", "configuration", globals));
    bind(module, n::Passed, py::import_from("kovra.results", "Passed", globals));
    bind(module, n::QOReport, py::import_from("kovra.qoreport.toplevel.qoreport_top", "QOReport", globals));
    bind(module, n::RunSet, py::import_from("kovra.qoreport.runset", "RunSet", globals));
    bind(module, n::TestScript, py::import_from("kovra.qoreport.testscript", "TestScript", globals));
}

void make_state_constants() {
    state->zero = py::integer(0);
    state->minus_one = py::integer(-1);
    state->empty = py::text("");
    state->blank = py::text(" ");
    state->none_text = py::text("None");
    state->zero_text = py::text("0");
    state->processor = py::text("Processor");
    state->utf_8 = py::text("utf-8");
    state->two_blanks = py::text("  ");
    state->write_text = py::text("w");
    state->write_bytes = py::text("wb");
    state->common_setup = py::text("CommonSetup");
    state->common_cleanup = py::text("CommonCleanup");
    state->common_setup_id = py::text("commonSetup");
    state->common_cleanup_id = py::text("commonCleanup");
    state->job_summary = py::text("jobSummary");
    state->archive_filename = py::text("archiveFilename");
    state->kex_tree_path = py::text("kexTreePath");
    state->job_name = py::text("jobName");
    state->image_tag = py::text("image");
    state->debug_profile = py::text("debugProfile");
    state->host_tag = py::text("host");
    state->summary_names = py::tuple(n::starttime, n::stoptime, n::runtime);
    state->initinfo_names = py::tuple(n::testbed, n::release, n::submitter, n::user);
    state->diag_keyword = py::tuple(n::diag);
    state->microsecond_keyword = py::tuple(n::microsecond);
    state->encoding_keyword = py::tuple(n::encoding);
    state->indent_keyword = py::tuple(n::indent);
    state->sectionid_keyword = py::tuple(n::sectionid);
    state->testcase_keywords = py::tuple(n::tcid, n::logfilepath);
    state->name_keyword = py::tuple(n::name);
    state->teststep_keywords = py::tuple(n::id, n::name);
}

struct Module {
    static constexpr const char* short_name = "ledgrin";

    static void initialise(handle module) {
        py::start_state(state, module, "kovra.reporter.ledgrin", "kovra/reporter/ledgrin");

        state->names = py::Names(n::table);
        state->writer_names = formats::names();
        object object_type = py::builtin(n::object_);
        import_requirements(module, state->info.globals);
        make_state_constants();
        state->xml_road.capture(py::getattr(module, n::ET), py::getattr(module, n::minidom));
        define_functions(module);
        bind(module, n::Ledgrin, define_ledgrin(object_type));
    }

    static void reset() { *state = State(); }
};

}  // namespace
}  // namespace ledgrin

PyMODINIT_FUNC PyInit_ledgrin() { return py::ModuleDefinition<ledgrin::Module>::init(); }
