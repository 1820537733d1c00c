// YAML text to plain Python data, from libyaml's parse events: what PyYAML's
// SafeLoader builds (its resolver's implicit types, its SafeConstructor's
// objects, merge keys, anchors and aliases), without recursion: open
// collections wait on an explicit stack, so no document can exhaust the C stack.
#pragma once

#include "native/module.h"

#include <cstddef>

namespace yaml_reader {

// The reader's bounds; exceeding one is a ReadError like any malformed text.
struct Limits {
    Py_ssize_t max_depth;  // open collections at once
    Py_ssize_t max_nodes;  // nodes built, an alias counting the nodes it stands for
    bool aliases;          // false: any alias is refused
};

// The names the reader and its errors use (see py::Names).
// clang-format off
#define READER_NAMES(X) \
    X(lower) X(decodebytes) X(problem) X(line) X(column) X(reason)
// clang-format on

namespace n {
READER_NAMES(KOVRA_NAME_DECLARE)
}  // namespace n

// Made at start-up, before initialise(); the module state owns them.
py::Names names();

// Process-lifetime objects the reader uses, made once at module start-up.
struct Context {
    py::object error_type;   // ReadError, a ValueError
    py::object decodebytes;  // base64.decodebytes, as the !!binary constructor calls it
    py::object nan;          // the one NaN object that every '.nan' gives, as in PyYAML
};

// Raises context.error_type, "PROBLEM at line L column C", with problem, line and
// column (from 1) and reason as attributes.
[[noreturn]] void raise_error(const Context& context, const char* reason, py::handle problem, size_t line,
                              size_t column);

// Fills `context` (error_type is the caller's); needs the datetime C API.
void initialise(Context& context);

// The single document in `data` (UTF-8, or UTF-16 with a byte order mark), or
// None for an empty stream. Raises context.error_type with line and column.
py::object load(const Context& context, const char* data, size_t size, const Limits& limits);

}  // namespace yaml_reader
