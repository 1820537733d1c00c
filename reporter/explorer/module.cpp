// Start-up of kovra.reporter.explorer: names and classes; nothing is imported.
#include "reporter/explorer/explorer.h"

namespace explorer {

namespace n {
KOVRA_NAME_TABLE(EXPLORER_NAMES)
}  // namespace n

State* state = nullptr;

namespace {

struct Module {
    static constexpr const char* short_name = "explorer";

    static void initialise(handle module) {
        py::start_state(state, module, "kovra.reporter.explorer", "kovra/reporter/explorer");

        state->names = py::Names(n::table);
        object object_type = py::builtin(n::object_);
        state->id_list_keyword = py::tuple(n::id_list);
        state->sections_iterator_type = define_sections_iterator();
        state->explorer_type = define_explorer(object_type);
        state->sections_type = define_explorer_sections(object_type);
        state->explorer_version = py::compat::type_version(reinterpret_cast<PyTypeObject*>(state->explorer_type.ptr()));
        state->sections_version = py::compat::type_version(reinterpret_cast<PyTypeObject*>(state->sections_type.ptr()));
        py::bind(module, n::Explorer, state->explorer_type);
        py::bind(module, n::ExplorerSections, state->sections_type);
    }

    static void reset() { *state = State(); }
};

}  // namespace
}  // namespace explorer

PyMODINIT_FUNC PyInit_explorer() { return py::ModuleDefinition<explorer::Module>::init(); }
