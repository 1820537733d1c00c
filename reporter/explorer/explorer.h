// The explorer module: a lazy, read-only view of a report the reporter server keeps.
#pragma once

#include "native/module.h"

namespace explorer {

using py::handle;
using py::object;

// Interned names: attributes, methods and keys the classes use, and the module's
// own globals.
#define EXPLORER_NAMES(X)                                                                                  \
    X(_id_list) X(_client) X(_obj) X(tasks) X(sections) X(_parent) X(_sections) X(get) X(get_runset)        \
    X(get_section) X(id_list) X(Explorer) X(ExplorerSections)

namespace n {
EXPLORER_NAMES(KOVRA_NAME_DECLARE)
}  // namespace n

// Made once at start-up, never changed afterwards.
struct State {
    py::ModuleInfo info;
    object id_list_keyword;  // kwnames of the get_section call
    object sections_iterator_type;
};

extern State* state;

// A module global, looked up at call time so callers may replace it.
inline object global(handle name) { return py::global(state->info, name); }

object define_explorer(handle base);
object define_explorer_sections(handle base);

// The type behind iter(sections); made once at start-up.
object define_sections_iterator();

}  // namespace explorer
