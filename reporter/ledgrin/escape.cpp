// Escaping of report text for XML: every character XML 1.0 forbids as character
// data, and every unpaired surrogate, becomes a printable backslash escape.
#include "reporter/ledgrin/ledgrin.h"

#include <cstdio>
#include <vector>

namespace ledgrin {
namespace {

// What ESCAPE_SEQUENCE matches, plus the surrogates UTF-8 cannot encode.
inline bool needs_escape(Py_UCS4 c) {
    if (c < 0x20)
        return c != 0x09 && c != 0x0A && c != 0x0D;
    return c >= 0xD800 && (c <= 0xDFFF || c == 0xFFFE || c == 0xFFFF);
}

// The backslash form of one character: \xNN below U+0100, \uNNNN above.
void append_escape(std::vector<Py_UCS4>& out, Py_UCS4 c) {
    char buffer[12];
    int length = c < 0x100 ? std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(c))
                           : std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
    out.insert(out.end(), buffer, buffer + length);
}

template <typename Char>
Py_ssize_t first_to_escape(const Char* data, Py_ssize_t length) {
    for (Py_ssize_t i = 0; i < length; ++i) {
        // One-byte strings hold no surrogates: only the control range can match.
        if constexpr (sizeof(Char) == 1) {
            if (data[i] < 0x20 && needs_escape(data[i]))
                return i;
        } else if (needs_escape(data[i])) {
            return i;
        }
    }
    return -1;
}

// The substitution and the UTF-8 round trip in one pass over `string`. A string
// with nothing to escape costs one scan and comes back as itself.
object escape_text(handle string) {
    PyObject* s = string.ptr();
    if (PyUnicode_READY(s) < 0)
        py::throw_error();
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t first = kind == PyUnicode_1BYTE_KIND   ? first_to_escape(static_cast<const Py_UCS1*>(data), length)
                       : kind == PyUnicode_2BYTE_KIND ? first_to_escape(static_cast<const Py_UCS2*>(data), length)
                                                      : first_to_escape(static_cast<const Py_UCS4*>(data), length);
    if (first < 0)
        return PyUnicode_CheckExact(s) ? py::borrow(s) : py::take(PyUnicode_Substring(s, 0, length));

    std::vector<Py_UCS4> out;
    out.reserve(length + 16);
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (i >= first && needs_escape(c))
            append_escape(out, c);
        else
            out.push_back(c);
    }
    // FromKindAndData narrows to the smallest kind, as every str must be stored.
    return py::take(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

// escape() with the globals it names: natively while they are the module's own,
// otherwise the substitution and round trip through the objects themselves.
object escape_with(handle pattern, handle repl, handle string) {
    if (pattern.ptr() == state->pattern.ptr() && repl.ptr() == state->escape_repl.ptr() && PyUnicode_Check(string.ptr()))
        return escape_text(string);
    static PyObject *encode, *decode, *backslashreplace;
    object replaced = py::call_method(pattern, n::sub, repl, string);
    object encoded = py::call_method(replaced, py::interned(encode, "encode"), state->utf_8,
                                     py::interned(backslashreplace, "backslashreplace"));
    return py::call_method(encoded, py::interned(decode, "decode"), state->utf_8);
}

object escape_repl_body(handle match) {
    object matched = py::call_method(match, n::group, state->zero);
    // ord() of the matched text, with ord()'s own complaints.
    if (!PyUnicode_Check(matched.ptr()))
        py::raise(PyExc_TypeError, "ord() expected string of length 1, but %.200s found",
                  Py_TYPE(matched.ptr())->tp_name);
    if (PyUnicode_READY(matched.ptr()) < 0)
        py::throw_error();
    if (PyUnicode_GET_LENGTH(matched.ptr()) != 1)
        py::raise(PyExc_TypeError, "ord() expected a character, but string of length %zd found",
                  PyUnicode_GET_LENGTH(matched.ptr()));
    std::vector<Py_UCS4> out;
    append_escape(out, PyUnicode_READ_CHAR(matched.ptr(), 0));
    return py::take(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

object escape_body(handle string) {
    object pattern = global(n::ESCAPE_SEQUENCE);
    return escape_with(pattern, global(n::_escape_repl), string);
}

object escape_data_native(handle data);

// escape_data(x) through the object the global names.
object escape_data_with(handle function, handle item) {
    if (function.ptr() != state->escape_data.ptr())
        return py::call(function, item);
    py::recursion_guard guard(" while escaping data");
    return escape_data_native(item);
}

object escape_data_native(handle data) {
    PyObject* d = data.ptr();
    if (PyUnicode_Check(d))
        return escape(data);
    if (PyList_Check(d)) {
        object self = global(n::escape_data);
        object result = py::new_list();
        if (PyList_CheckExact(d)) {
            // By index, re-reading the size, as the list's own iterator does.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(d); ++i) {
                object item = py::borrow(PyList_GET_ITEM(d, i));
                py::append(result, escape_data_with(self, item));
            }
        } else {
            for (object& item : py::iterate(data))
                py::append(result, escape_data_with(self, item));
        }
        return result;
    }
    if (PyDict_Check(d)) {
        object self = global(n::escape_data);
        object result = py::new_dict();
        py::for_each_item(data, n::items, [&](handle key, handle value) {
            object escaped_key = escape_data_with(self, key);
            py::setitem(result, escaped_key, escape_data_with(self, value));
        });
        return result;
    }
    if (PyTuple_Check(d)) {
        object self = global(n::escape_data);
        object items = py::new_list();
        for (object& item : py::iterate(data))
            py::append(items, escape_data_with(self, item));
        return py::take(PyList_AsTuple(items.ptr()));
    }
    return py::borrow(data);
}

}  // namespace

object escape(handle text) {
    object function = global(n::escape);
    if (function.ptr() != state->escape.ptr())
        return py::call(function, text);
    object pattern = global(n::ESCAPE_SEQUENCE);
    return escape_with(pattern, global(n::_escape_repl), text);
}

object escape_data(handle data) { return escape_data_with(global(n::escape_data), data); }

void define_functions(handle module) {
    const py::ModuleInfo& info = state->info;
    // Every character XML 1.0 forbids as character data.
    object pattern_text = py::text("[\\x00-\\x08\\x0b\\x0c\\x0e-\\x1f\\ufffe\\uffff]");
    state->pattern = py::call_method(global(n::re), py::text("compile"), pattern_text);
    py::setattr(module, n::ESCAPE_SEQUENCE, state->pattern);

    state->escape_repl = py::function<escape_repl_body>(info, "_escape_repl", {{"match"}},
                                                        "\n    escape control characters\n    ");
    py::setattr(module, n::_escape_repl, state->escape_repl);
    state->escape = py::function<escape_body>(info, "escape", {{"string"}});
    py::setattr(module, n::escape, state->escape);
    state->escape_data = py::function<escape_data_native>(info, "escape_data", {{"data"}});
    py::setattr(module, n::escape_data, state->escape_data);
}

}  // namespace ledgrin
