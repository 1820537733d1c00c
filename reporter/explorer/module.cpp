// Start-up of kovra.reporter.explorer: names and classes; nothing is imported.
#include "reporter/explorer/explorer.h"

namespace explorer {

namespace n {
KOVRA_NAME_TABLE(EXPLORER_NAMES)
}  // namespace n

State* state = nullptr;

namespace {

// cls.name, as the class's instances find it, where that is a native function made
// here; empty otherwise (no quick road through it).
object native_method(handle cls, handle name) {
    PyObject* found = py::compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name.ptr());
    return found && py::is_native_function(found) ? py::borrow(found) : object();
}

// A class just made, with what its quick roads need: made by object.__new__ and
// initialised by its native __init__, or no quick construction.
Made as_made_now(object cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    Made made;
    made.version = py::compat::type_version(type);
    if (type->tp_new == PyBaseObject_Type.tp_new)
        made.init = native_method(cls, n::__init__);
    made.type = std::move(cls);
    return made;
}

struct Module {
    static constexpr const char* short_name = "explorer";

    static void initialise(handle module) {
        py::start_state(state, module, "kovra.reporter.explorer", "kovra/reporter/explorer");

        state->names = py::Names(n::table);
        object object_type = py::builtin(n::object_);
        state->id_list_keyword = py::tuple(n::id_list);
        state->sections_iterator_type = define_sections_iterator();
        state->no_arguments = py::take(PyTuple_New(0));
        state->explorer = as_made_now(define_explorer(object_type));
        state->sections = as_made_now(define_explorer_sections(object_type));
        state->sections_get_item = native_method(state->sections.type, n::__getitem__);
        py::bind(module, n::Explorer, state->explorer.type);
        py::bind(module, n::ExplorerSections, state->sections.type);
    }

    static void reset() { *state = State(); }
};

}  // namespace
}  // namespace explorer

PyMODINIT_FUNC PyInit_explorer() { return py::ModuleDefinition<explorer::Module>::init(); }
