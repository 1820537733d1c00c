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

// ord() of the matched text, with ord()'s own complaints: a bytes pattern gives a
// bytes or bytearray group.
Py_UCS4 code_point(handle matched) {
    PyObject* m = matched.ptr();
    Py_ssize_t size;
    if (PyBytes_Check(m)) {
        size = PyBytes_GET_SIZE(m);
        if (size == 1)
            return static_cast<unsigned char>(PyBytes_AS_STRING(m)[0]);
    } else if (PyUnicode_Check(m)) {
        if (PyUnicode_READY(m) < 0)
            py::throw_error();
        size = PyUnicode_GET_LENGTH(m);
        if (size == 1)
            return PyUnicode_READ_CHAR(m, 0);
    } else if (PyByteArray_Check(m)) {
        size = PyByteArray_GET_SIZE(m);
        if (size == 1)
            return static_cast<unsigned char>(PyByteArray_AS_STRING(m)[0]);
    } else {
        py::raise(PyExc_TypeError, "ord() expected string of length 1, but %.200s found", Py_TYPE(m)->tp_name);
    }
    py::raise(PyExc_TypeError, "ord() expected a character, but string of length %zd found", size);
}

object escape_repl_body(handle match) {
    object matched = py::call_method(match, n::group, state->zero);
    std::vector<Py_UCS4> out;
    append_escape(out, code_point(matched));
    return py::take(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

// escape() with the globals it names: natively while they are the module's own,
// otherwise the substitution and round trip through the objects themselves.
object escape_body(handle string) {
    object pattern = global(n::ESCAPE_SEQUENCE);
    // The module's own pattern cannot lose its sub; any other is asked for it
    // before _escape_repl is looked up, as the call expression does.
    object sub = pattern.ptr() == state->pattern.ptr() ? object() : py::getattr(pattern, n::sub);
    object repl = global(n::_escape_repl);
    if (!sub) {
        if (repl.ptr() == state->escape_repl.ptr() && PyUnicode_Check(string.ptr()))
            return escape_text(string);
        sub = py::getattr(pattern, n::sub);
    }
    object replaced = py::call(sub, repl, string);
    object encoded = py::call_method(replaced, n::encode, state->utf_8, n::backslashreplace);
    return py::call_method(encoded, n::decode, state->utf_8);
}

// escape_data(item) through the object the global names at this moment: a walk
// looks it up again for every element, as its comprehension does.
object escape_data_item(handle item) { return EscapeData()(item); }

object escape_data_native(handle data) {
    PyObject* d = data.ptr();
    if (PyUnicode_Check(d))
        return Escape()(data);
    if (PyList_Check(d)) {
        object result = py::new_list();
        if (PyList_CheckExact(d)) {
            // By index, re-reading the size, as the list's own iterator does.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(d); ++i) {
                object item = py::borrow(PyList_GET_ITEM(d, i));
                py::append(result, escape_data_item(item));
            }
        } else {
            for (object& item : py::iterate(data))
                py::append(result, escape_data_item(item));
        }
        return result;
    }
    if (PyDict_Check(d)) {
        object result = py::new_dict();
        py::for_each_item(data, n::items, [&](handle key, handle value) {
            object escaped_key = escape_data_item(key);
            py::setitem(result, escaped_key, escape_data_item(value));
        });
        return result;
    }
    if (PyTuple_Check(d)) {
        object items = py::new_list();
        for (object& item : py::iterate(data))
            py::append(items, escape_data_item(item));
        return py::take(PyList_AsTuple(items.ptr()));
    }
    return py::borrow(data);
}

}  // namespace

object Escape::operator()(handle text) const {
    if (function_.ptr() != state->escape.ptr())
        return py::call(function_, text);
    return escape_body(text);
}

object EscapeData::operator()(handle data) const {
    if (function_.ptr() != state->escape_data.ptr())
        return py::call(function_, data);
    py::recursion_guard guard(" while escaping data");
    return escape_data_native(data);
}

void define_functions(handle module) {
    const py::ModuleInfo& info = state->info;
    // Every character XML 1.0 forbids as character data.
    object pattern_text = py::text("[\\x00-\\x08\\x0b\\x0c\\x0e-\\x1f\\ufffe\\uffff]");
    state->pattern = py::call_method(global(n::re), n::compile, pattern_text);
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
