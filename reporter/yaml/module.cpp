// kovra.reporter._yaml: the YAML reader (formats/yaml/reader) as a module of its own.
#include "native/module.h"
#include "formats/yaml/reader.h"

#include <memory>

namespace yaml_module {

using py::handle;
using py::object;

// Named bounds, the defaults of load(); a caller may pass others.
constexpr Py_ssize_t max_depth = 1000;
constexpr Py_ssize_t max_nodes = 20'000'000;

struct State {
    py::ModuleInfo info;
    yaml_reader::Context context;
    object default_depth, default_nodes;
    // Last, so that a reset drops them after all that was made with them.
    py::Names names;
};
State* state = nullptr;

// A str has no lone surrogate in the reader's input: PyYAML refuses it as a
// special character, and so does this, naming where it is.
[[noreturn]] void refuse_unencodable(handle text) {
    PyErr_Clear();
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr()), line = 1, column = 1;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i);
        if (c >= 0xD800 && c <= 0xDFFF)
            break;
        if (c == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    object problem = py::text("special characters are not allowed (a lone surrogate)");
    yaml_reader::raise_error(state->context, "invalid", problem, size_t(line), size_t(column));
}

// The cyclic collector stays off while a document is built: what a load makes
// only refers to what it made itself, and collections meanwhile would walk the
// growing tree again and again (a tenth of a large load). Its state is put back
// however the load ends; the GIL is held throughout, so no other thread sees it.
class collector_paused {
public:
    collector_paused() : was_enabled_(PyGC_Disable()) {}
    ~collector_paused() {
        if (was_enabled_)
            PyGC_Enable();
    }
    collector_paused(const collector_paused&) = delete;
    collector_paused& operator=(const collector_paused&) = delete;

private:
    int was_enabled_;
};

Py_ssize_t bound(handle value, const char* name) {
    Py_ssize_t n = PyLong_AsSsize_t(value.ptr());
    if (n == -1 && PyErr_Occurred())
        py::throw_error();
    if (n < 1)
        py::raise(PyExc_ValueError, "%s must be at least 1", name);
    return n;
}

[[noreturn]] void refuse_undecodable() {
    py::caught_error error;
    object text = py::str(error.value());
    object problem = py::take(PyUnicode_FromFormat("not UTF-16 text: %U", text.ptr()));
    yaml_reader::raise_error(state->context, "invalid", problem, 1, 1);
}

object load(handle data, handle aliases, handle depth, handle nodes) {
    yaml_reader::Limits limits{bound(depth, "max_depth"), bound(nodes, "max_nodes"), py::truthy(aliases)};
    object decoded;
    if (PyBytes_Check(data.ptr()) && PyBytes_GET_SIZE(data.ptr()) >= 2) {
        // UTF-16, told by its byte order mark as PyYAML tells it, is read as the
        // text it holds: the reader works on UTF-8.
        const char* raw = PyBytes_AS_STRING(data.ptr());
        if ((raw[0] == '\xFF' && raw[1] == '\xFE') || (raw[0] == '\xFE' && raw[1] == '\xFF')) {
            decoded = py::steal(PyUnicode_DecodeUTF16(raw, PyBytes_GET_SIZE(data.ptr()), "strict", nullptr));
            if (!decoded)
                refuse_undecodable();
            data = decoded;
        }
    }
    if (PyUnicode_Check(data.ptr())) {
        Py_ssize_t size;
        const char* text = PyUnicode_AsUTF8AndSize(data.ptr(), &size);
        if (!text) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
                py::throw_error();
            refuse_unencodable(data);
        }
        collector_paused paused;
        return yaml_reader::load(state->context, text, size_t(size), limits);
    }
    Py_buffer view;
    py::check(PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE));
    // The view is released however the read ends; the bytes cannot change meanwhile
    // for bytes, and a bytearray is held by the view.
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> held(&view, PyBuffer_Release);
    collector_paused paused;
    return yaml_reader::load(state->context, static_cast<const char*>(view.buf), size_t(view.len), limits);
}

const char* load_doc =
    "load(data, aliases=True, max_depth=MAX_DEPTH, max_nodes=MAX_NODES)\n--\n\n"
    "The single YAML document in `data` (str, or UTF-8/UTF-16 bytes) as plain data: what\n"
    "yaml.load(data, Loader=yaml.SafeLoader) gives, or None for an empty stream.\n"
    "Raises ReadError for text that loader refuses, for an alias when `aliases` is\n"
    "false, and past `max_depth` nested collections or `max_nodes` nodes (an alias\n"
    "counts the nodes it stands for).";

const char* error_doc =
    "YAML that cannot be read: malformed text, a value the safe loader cannot construct,\n"
    "or a bound exceeded. The message is one line ending in 'at line L column C';\n"
    "attributes: problem (the message without the place), line and column (from 1),\n"
    "reason: 'invalid', 'alias', 'depth' or 'nodes', or 'unsupported' for text that libyaml\n"
    "reads otherwise than PyYAML's own loader (a lone surrogate's escape, an unknown\n"
    "directive, a byte order mark starting a line), which the caller may read with that.";

struct Module {
    static constexpr const char* short_name = "_yaml";

    static void initialise(handle module) {
        py::start_state(state, module, "kovra.reporter._yaml", "kovra/reporter/_yaml");
        state->names = yaml_reader::names();
        state->context.error_type = py::take(PyErr_NewExceptionWithDoc("kovra.reporter._yaml.ReadError", error_doc,
                                                                       PyExc_ValueError, nullptr));
        yaml_reader::initialise(state->context);
        state->default_depth = py::take(PyLong_FromSsize_t(max_depth));
        state->default_nodes = py::take(PyLong_FromSsize_t(max_nodes));
        py::check(PyModule_AddObjectRef(module.ptr(), "ReadError", state->context.error_type.ptr()));
        py::check(PyModule_AddObjectRef(module.ptr(), "MAX_DEPTH", state->default_depth.ptr()));
        py::check(PyModule_AddObjectRef(module.ptr(), "MAX_NODES", state->default_nodes.ptr()));
        object function = py::function<load>(state->info, "load",
                                             {{"data"},
                                              py::opt("aliases", Py_True),
                                              py::opt("max_depth", state->default_depth.ptr()),
                                              py::opt("max_nodes", state->default_nodes.ptr())},
                                             load_doc);
        py::check(PyModule_AddObjectRef(module.ptr(), "load", function.ptr()));
    }

    static void reset() { *state = State(); }
};

}  // namespace yaml_module

PyMODINIT_FUNC PyInit__yaml() { return py::ModuleDefinition<yaml_module::Module>::init(); }
