// What each step of the round trip does to the tree, and where it lives in the
// libraries:
// - ElementTree._serialize_xml writes a start tag, the attributes in insertion order
//   (_escape_attrib turns tab, line feed and carriage return into character
//   references, so they survive the parse), the text if true, the children, the end
//   tag, then the tail if true; an element without text and children is "<tag />".
// - The parser turns "\r\n" and a lone "\r" in text into "\n"; the minidom builder
//   keeps the text and each true tail as their own text nodes.
// - minidom's Element.writexml, Text.writexml and _write_data print the DOM: see
//   writexml and write_data below.
#include "formats/xml/pretty.h"
#include "formats/names.h"

namespace formats::xml_pretty {
namespace {

// ---- what may be rendered ----------------------------------------------------------

// Char of XML 1.0: the parser refuses the others (and ElementTree writes an unpaired
// surrogate as a reference the parser refuses).
bool xml_char(Py_UCS4 c) {
    if (c < 0x20)
        return c == '\t' || c == '\n' || c == '\r';
    if (c < 0xD800)
        return true;
    if (c < 0xE000)
        return false;
    return c != 0xFFFE && c != 0xFFFF;
}

// Strings made through the old Py_UNICODE API may not have their compact form yet.
bool ready(PyObject* s) {
    if (py::compat::ready(s) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool name_start(Py_UCS1 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(Py_UCS1 c) { return name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// An ASCII XML name without a namespace prefix. Wider names are valid XML but are
// left to the round trip: the parser's name tables are its own business.
bool plain_name(handle name) {
    PyObject* s = name.ptr();
    if (!PyUnicode_CheckExact(s) || !ready(s) || !PyUnicode_IS_ASCII(s) || PyUnicode_GET_LENGTH(s) == 0)
        return false;
    const Py_UCS1* c = PyUnicode_1BYTE_DATA(s);
    Py_ssize_t size = PyUnicode_GET_LENGTH(s);
    if (!name_start(c[0]))
        return false;
    for (Py_ssize_t i = 1; i < size; ++i)
        if (!name_char(c[i]))
            return false;
    return true;
}

// The namespace-aware parser takes xmlns attributes as declarations and reorders them.
bool plain_attribute_name(handle name) {
    if (!plain_name(name))
        return false;
    std::string_view text(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(name.ptr())),
                          PyUnicode_GET_LENGTH(name.ptr()));
    return text.substr(0, 5) != "xmlns";
}

// What ElementTree writes for a text, text or tail value: None or "" write nothing.
enum class Value { absent, text, unsure };

Value classify(handle value) {
    if (value.is_none())
        return Value::absent;
    if (!PyUnicode_CheckExact(value.ptr()) || !ready(value.ptr()))
        return Value::unsure;
    return PyUnicode_GET_LENGTH(value.ptr()) == 0 ? Value::absent : Value::text;
}

// The round trip recurses once per level in the serialiser and once in the printer,
// plus a few calls around; twice the depth and a margin keeps well clear of the limit.
long deepest_certain_level() { return py::levels_within_reach(2, 64); }

// ---- writing -------------------------------------------------------------------------

void put_utf8(std::string& out, Py_UCS4 c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

class Renderer {
public:
    Renderer(const Escaping& escaping, handle element_type, std::string_view indent)
        : escaping_(escaping), element_type_(element_type), indent_(indent) {}

    // Document.writexml: the declaration, then the root element.
    bool document(handle root) {
        if (Py_TYPE(root.ptr()) != reinterpret_cast<PyTypeObject*>(element_type_.ptr()))
            return false;
        // ElementTree writes the root's tail after the root, where the parser
        // refuses text; leave it to the round trip.
        if (classify(py::getattr(root, n::tail)) != Value::absent)
            return false;
        deepest_ = deepest_certain_level();
        out_ = "<?xml version=\"1.0\" ?>\n";
        return writexml(root);
    }

    std::string& text() { return out_; }

private:
    // An element on the walk: its children are written one by one.
    struct Open {
        object element, tag;
        Py_ssize_t children, next;
    };

    // Element.writexml of each element, walked with a stack of open elements instead
    // of the printer's recursion, then the tail as the sibling text node it becomes.
    bool writexml(handle root) {
        std::vector<Open> open;
        if (start(py::borrow(root), open) == Started::refused)
            return false;
        while (!open.empty()) {
            Open& top = open.back();
            size_t depth = open.size() - 1;
            if (top.next == top.children) {
                put_indent(depth);
                out_ += "</";
                put_ascii(top.tag);
                out_ += ">\n";
                object element = std::move(top.element);
                open.pop_back();
                if (!open.empty() && !tail(element, depth))
                    return false;
                continue;
            }
            object child = py::take(PySequence_GetItem(top.element.ptr(), top.next++));
            Started started = start(child, open);
            if (started == Started::refused)
                return false;
            // An element written whole is followed by its tail at once; an open one
            // when it closes.
            if (started == Started::whole && !tail(child, depth + 1))
                return false;
        }
        return true;
    }

    enum class Started { refused, whole, open };

    // The start of an element's text: start tag and attributes, then either the whole
    // element (no children, or a single text node) or its text line, leaving the
    // element open for its children.
    Started start(handle element, std::vector<Open>& open) {
        if (Py_TYPE(element.ptr()) != reinterpret_cast<PyTypeObject*>(element_type_.ptr()))
            return Started::refused;
        if (static_cast<long>(open.size()) >= deepest_)
            return Started::refused;
        object tag = py::getattr(element, n::tag);
        if (!plain_name(tag))
            return Started::refused;
        object text = py::getattr(element, n::text);
        Value text_kind = classify(text);
        if (text_kind == Value::unsure)
            return Started::refused;
        size_t depth = open.size();
        put_indent(depth);
        out_ += '<';
        put_ascii(tag);
        if (!attributes(py::call_method(element, n::items)))
            return Started::refused;
        Py_ssize_t children = py::len(element);
        if (children == 0) {
            if (text_kind == Value::absent) {
                out_ += "/>\n";
                return Started::whole;
            }
            // A single text child goes on the element's own line.
            out_ += '>';
            if (!write_data(text, false, true))
                return Started::refused;
            out_ += "</";
            put_ascii(tag);
            out_ += ">\n";
            return Started::whole;
        }
        out_ += ">\n";
        if (text_kind == Value::text && !text_node(text, depth + 1))
            return Started::refused;
        open.push_back(Open{py::borrow(element), std::move(tag), children, 0});
        return Started::open;
    }

    // The attributes in the order ElementTree wrote them, which the parser keeps.
    bool attributes(handle items) {
        if (!PyList_CheckExact(items.ptr()))
            return false;
        Py_ssize_t count = PyList_GET_SIZE(items.ptr());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
            if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2)
                return false;
            handle name = PyTuple_GET_ITEM(pair, 0), value = PyTuple_GET_ITEM(pair, 1);
            if (!plain_attribute_name(name) || !PyUnicode_CheckExact(value.ptr()) || !ready(value.ptr()))
                return false;
            out_ += ' ';
            put_ascii(name);
            out_ += "=\"";
            if (!write_data(value, true, false))
                return false;
            out_ += '"';
        }
        return true;
    }

    // A child's true tail: a text node of its own, one level below the parent.
    bool tail(handle element, size_t depth) {
        object value = py::getattr(element, n::tail);
        switch (classify(value)) {
        case Value::absent: return true;
        case Value::unsure: return false;
        default: return text_node(value, depth);
        }
    }

    // Text.writexml: indentation, the data, a line feed.
    bool text_node(handle data, size_t depth) {
        put_indent(depth);
        if (!write_data(data, false, true))
            return false;
        out_ += '\n';
        return true;
    }

    // _write_data of a value as the parser handed it over: in text the parser made
    // every line break a line feed; attribute values come back as they were.
    bool write_data(handle value, bool attribute, bool parsed_text) {
        PyObject* s = value.ptr();
        int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        Py_ssize_t size = PyUnicode_GET_LENGTH(s);
        bool quote = attribute || escaping_.quote_in_text;
        bool breaks = attribute && escaping_.breaks_in_attributes;
        for (Py_ssize_t i = 0; i < size; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            switch (c) {
            case '&': out_ += "&amp;"; continue;
            case '<': out_ += "&lt;"; continue;
            case '>': out_ += "&gt;"; continue;
            case '"': out_ += quote ? "&quot;" : "\""; continue;
            case '\r':
                if (parsed_text) {
                    // "\r\n" and a lone "\r" are both one line feed.
                    if (i + 1 < size && PyUnicode_READ(kind, data, i + 1) == '\n')
                        ++i;
                    out_ += '\n';
                } else {
                    out_ += breaks ? "&#13;" : "\r";
                }
                continue;
            case '\n': out_ += breaks ? "&#10;" : "\n"; continue;
            case '\t': out_ += breaks ? "&#9;" : "\t"; continue;
            default:
                if (!xml_char(c))
                    return false;
                put_utf8(out_, c);
            }
        }
        return true;
    }

    void put_ascii(handle name) {
        out_.append(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(name.ptr())), PyUnicode_GET_LENGTH(name.ptr()));
    }

    void put_indent(size_t depth) {
        for (size_t i = 0; i < depth; ++i)
            out_ += indent_;
    }

    const Escaping& escaping_;
    handle element_type_;
    std::string_view indent_;
    long deepest_ = 0;
    std::string out_;
};

}  // namespace

object render(handle root, std::string_view indent, const Escaping& escaping, handle element_type) {
    Renderer renderer(escaping, element_type, indent);
    if (!renderer.document(root))
        return object();
    std::string& text = renderer.text();
    return py::take(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace formats::xml_pretty
