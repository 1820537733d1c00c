#include "formats/json/encoder.h"
#include "formats/names.h"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <new>
#include <utility>
#include <vector>

namespace formats {
namespace {

const char* const hex_digits = "0123456789abcdef";

// Where the encoder nests a container or a defaulted value: the json package
// counts each such level against the recursion limit with this text.
const char* const nesting = " while encoding a JSON object";

void append_unicode_escape(JsonText& out, Py_UCS4 c) {
    char text[6] = {'\\',
                    'u',
                    hex_digits[(c >> 12) & 0xf],
                    hex_digits[(c >> 8) & 0xf],
                    hex_digits[(c >> 4) & 0xf],
                    hex_digits[c & 0xf]};
    out.append(text, 6);
}

// ascii_escape_unichar: short escapes, the printable ASCII range as it is, \uXXXX
// for the rest, and a surrogate pair above the basic plane.
void append_escaped(JsonText& out, Py_UCS4 c) {
    char escape = 0;
    switch (c) {
    case '\\': escape = '\\'; break;
    case '"': escape = '"'; break;
    case '\b': escape = 'b'; break;
    case '\f': escape = 'f'; break;
    case '\n': escape = 'n'; break;
    case '\r': escape = 'r'; break;
    case '\t': escape = 't'; break;
    default: break;
    }
    if (escape) {
        char text[2] = {'\\', escape};
        out.append(text, 2);
        return;
    }
    if (c >= ' ' && c <= '~') {
        out += char(c);
    } else if (c >= 0x10000) {
        Py_UCS4 v = c - 0x10000;
        append_unicode_escape(out, 0xd800 | ((v >> 10) & 0x3ff));
        append_unicode_escape(out, 0xdc00 | (v & 0x3ff));
    } else {
        append_unicode_escape(out, c);
    }
}

constexpr bool needs_escape(unsigned char c) { return c < ' ' || c > '~' || c == '\\' || c == '"'; }

// needs_escape of every byte, looked up.
struct EscapeTable {
    bool escape[256];
    constexpr EscapeTable() : escape() {
        for (int c = 0; c < 256; ++c)
            escape[c] = needs_escape((unsigned char)c);
    }
};
constexpr EscapeTable escape_table;

// Digits of a machine-sized integer, as int.__repr__ writes them.
size_t integer_text(long long value, char (&text)[24]) {
    char digits[24];
    size_t n = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - (unsigned long long)value : (unsigned long long)value;
    do {
        digits[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    size_t size = 0;
    if (value < 0)
        text[size++] = '-';
    while (n)
        text[size++] = digits[--n];
    return size;
}

// encoder_encode_float: float.__repr__ for finite values, the JavaScript names
// for the others when allowed.
py::object float_text(py::handle number, bool allow_nan) {
    double value = PyFloat_AS_DOUBLE(number.ptr());
    if (!std::isfinite(value)) {
        if (!allow_nan)
            py::raise(PyExc_ValueError, "Out of range float values are not JSON compliant");
        return py::text(value > 0 ? "Infinity" : value < 0 ? "-Infinity" : "NaN");
    }
    return py::take(PyFloat_Type.tp_repr(number.ptr()));
}

}  // namespace

void JsonText::grow(size_t more) {
    size_t capacity = std::max(capacity_ * 2, size_ + more);
    capacity = std::max(capacity, size_t(4096));
    // realloc moves a large block's pages rather than copying them.
    auto* data = static_cast<char*>(std::realloc(data_.get(), capacity));
    if (!data)
        throw std::bad_alloc();
    data_.release();
    data_.reset(data);
    capacity_ = capacity;
}

JsonEncoder::JsonEncoder(Options options, py::handle default_fn)
    : options_(options),
      item_separator_(options.item_separator),
      key_separator_(options.key_separator),
      default_fn_(py::borrow(default_fn)) {}

py::object JsonEncoder::encode(py::handle obj) {
    out_.clear();
    markers_.clear();
    if (PyUnicode_Check(obj.ptr()))
        encode_str(obj);
    else
        encode_value(obj);
    // Everything written is ASCII.
    py::object text = py::take(PyUnicode_New(Py_ssize_t(out_.size()), 127));
    if (out_.size())
        std::memcpy(PyUnicode_DATA(text.ptr()), out_.data(), out_.size());
    return text;
}

void JsonEncoder::encode_value(py::handle obj) {
    PyObject* o = obj.ptr();
    if (o == Py_None) {
        append_literal("null");
    } else if (o == Py_True) {
        append_literal("true");
    } else if (o == Py_False) {
        append_literal("false");
    } else if (PyUnicode_Check(o)) {
        encode_str(obj);
    } else if (PyLong_Check(o)) {
        encode_int(obj);
    } else if (PyFloat_Check(o)) {
        encode_float(obj);
    } else if (PyList_Check(o) || PyTuple_Check(o)) {
        py::c_recursion_guard level(nesting);
        encode_list(obj);
    } else if (PyDict_Check(o)) {
        py::c_recursion_guard level(nesting);
        encode_dict(obj);
    } else {
        Marker marker(*this, obj);
        encode_other(obj);
    }
}

void JsonEncoder::encode_other(py::handle obj) {
    if (!default_fn_)
        refuse(obj);
    encode_replacement(obj, py::call(default_fn_, obj));
}

void JsonEncoder::encode_replacement(py::handle obj, py::handle replacement) {
    py::c_recursion_guard level(nesting);
    try {
        encode_value(replacement);
    } catch (const py::error_already_set&) {
        note_object(obj);
        throw;
    }
}

void JsonEncoder::note_object(py::handle obj) {
    py::compat::format_error_note("when serializing %T object", obj.ptr());
}

void JsonEncoder::note_entry(py::handle mapping, py::handle key) {
    py::compat::format_error_note("when serializing %T item %R", mapping.ptr(), key.ptr());
}

void JsonEncoder::refuse(py::handle obj) {
    // JSONEncoder.default: f'Object of type {o.__class__.__name__} is not JSON serializable'
    py::object cls = py::getattr(obj, n::__class__);
    py::object name = py::getattr(cls, n::__name__);
    py::object shown = py::take(PyObject_Format(name.ptr(), nullptr));
    py::raise(PyExc_TypeError, "Object of type %U is not JSON serializable", shown.ptr());
}

void JsonEncoder::object_key(py::handle key, bool first) {
    // A str key met again is written in one piece: the item separator (skipped
    // for the first entry), its text and the key separator.
    PyObject* k = key.ptr();
    KeyText* slot = nullptr;
    if (PyUnicode_CheckExact(k)) {
        if (!key_texts_)
            key_texts_.reset(new KeyText[key_slots]);
        uint64_t mixed = uint64_t(reinterpret_cast<uintptr_t>(k)) * 0x9E3779B97F4A7C15ULL;
        slot = &key_texts_[size_t(mixed >> 32) % key_slots];
        if (slot->key.ptr() == k) {
            size_t skip = first ? item_separator_.size() : 0;
            out_.append(slot->text.data() + skip, slot->text.size() - skip);
            return;
        }
    }
    if (!first)
        append_separator(item_separator_);
    size_t begin = out_.size();
    encode_str(key);
    append_separator(key_separator_);
    if (slot) {
        slot->text = item_separator_;
        slot->text.append(out_.data() + begin, out_.size() - begin);
        slot->key = py::borrow(key);
    }
}

JsonEncoder::Marker::Marker(JsonEncoder& encoder, py::handle obj) : encoder_(encoder), obj_(nullptr) {
    if (!encoder.options_.check_circular)
        return;
    if (!encoder.markers_.enter(obj.ptr()))
        py::raise(PyExc_ValueError, "Circular reference detected");
    obj_ = obj.ptr();
}

JsonEncoder::Marker::~Marker() {
    if (obj_)
        encoder_.markers_.leave();
}

bool JsonEncoder::Markers::enter(PyObject* obj) {
    if (stack_.size() >= deep) {
        if (!set_.insert(obj).second)
            return false;
    } else {
        for (PyObject* marked : stack_)
            if (marked == obj)
                return false;
    }
    stack_.push_back(obj);
    if (stack_.size() == deep)
        set_.insert(stack_.begin(), stack_.end());
    return true;
}

void JsonEncoder::Markers::leave() {
    PyObject* obj = stack_.back();
    stack_.pop_back();
    if (stack_.size() < deep)
        set_.clear();
    else
        set_.erase(obj);
}

void JsonEncoder::Markers::clear() {
    stack_.clear();
    set_.clear();
}

void JsonEncoder::encode_str(py::handle text) {
    out_ += '"';
    append_str(text);
    out_ += '"';
}

void JsonEncoder::encode_ascii(const char* text, size_t size) {
    out_ += '"';
    append_ascii(text, size);
    out_ += '"';
}

// Whether any of eight ASCII bytes needs an escape: below a space, DEL, '"' or '\\'.
static bool word_needs_escape(uint64_t word) {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    auto zero_byte = [](uint64_t w) { return (w - ones) & ~w & highs; };
    uint64_t control = (word - ones * 0x20) & ~word & highs;
    return (control | zero_byte(word ^ (ones * '"')) | zero_byte(word ^ (ones * '\\')) |
            zero_byte(word ^ (ones * 0x7f))) != 0;
}

void JsonEncoder::append_ascii(const char* text, size_t size) {
    // Clean runs are copied whole; clean stretches of eight are passed over at once.
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        while (size - i >= 16) {
            uint64_t word;
            std::memcpy(&word, text + i, 8);
            if (word_needs_escape(word))
                break;
            i += 8;
        }
        if (!escape_table.escape[(unsigned char)text[i]])
            continue;
        out_.append(text + start, i - start);
        append_escaped(out_, (unsigned char)text[i]);
        start = i + 1;
    }
    out_.append(text + start, size - start);
}

void JsonEncoder::append_str(py::handle text) {
    PyObject* s = text.ptr();
    if (py::compat::ready(s) < 0)
        py::throw_error();
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        append_ascii(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)), size_t(length));
        return;
    }
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < length; ++i)
        append_escaped(out_, PyUnicode_READ(kind, data, i));
}

void JsonEncoder::encode_int(py::handle number) {
    // int.__repr__, also for subclasses that have their own.
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (!overflow) {
        if (value == -1 && PyErr_Occurred())
            py::throw_error();
        char text[24];
        out_.append(text, integer_text(value, text));
        return;
    }
    py::object text = py::take(PyLong_Type.tp_repr(number.ptr()));
    append_str(text);
}

void JsonEncoder::encode_float(py::handle number) {
    double value = PyFloat_AS_DOUBLE(number.ptr());
    if (!std::isfinite(value)) {
        append_str(float_text(number, options_.allow_nan));
        return;
    }
    // float.__repr__'s own formatting, without the str it would make of it.
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text)
        py::throw_error();
    out_.append(text, std::strlen(text));
    PyMem_Free(text);
}

void JsonEncoder::encode_list(py::handle sequence) {
    // A list or tuple is read in place; a subclass through its own iteration first.
    py::object fast = py::take(PySequence_Fast(sequence.ptr(), "_iterencode_list needs a sequence"));
    if (PySequence_Fast_GET_SIZE(fast.ptr()) == 0) {
        append_literal("[]");
        return;
    }
    Marker marker(*this, sequence);
    out_ += '[';
    // The size is read again on every step, as the json package does: a default
    // callback may grow the list while it is written.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.ptr()); ++i) {
        if (i)
            append_separator(item_separator_);
        py::object item = py::borrow(PySequence_Fast_GET_ITEM(fast.ptr(), i));
        try {
            encode_value(item);
        } catch (const py::error_already_set&) {
            py::compat::format_error_note("when serializing %T item %zd", sequence.ptr(), i);
            throw;
        }
    }
    out_ += ']';
}

void JsonEncoder::encode_dict(py::handle mapping) {
    if (PyDict_GET_SIZE(mapping.ptr()) == 0) {
        append_literal("{}");
        return;
    }
    Marker marker(*this, mapping);
    out_ += '{';
    bool first = true;
    // From 3.12 the json package walks an exact dict as it stands.
    if (py::compat::json_walks_dict_directly && PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
            py::object k = py::borrow(key), v = py::borrow(value);
            encode_entry(mapping, k.ptr(), v.ptr(), first);
        }
        out_ += '}';
        return;
    }
    // Before, it walks a snapshot of the items: this is PyDict_Items without the tuples.
    if (PyDict_CheckExact(mapping.ptr())) {
        std::vector<std::pair<py::object, py::object>> items;
        items.reserve(size_t(PyDict_GET_SIZE(mapping.ptr())));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value))
            items.emplace_back(py::borrow(key), py::borrow(value));
        for (auto& [k, v] : items)
            encode_entry(mapping, k.ptr(), v.ptr(), first);
        out_ += '}';
        return;
    }
    py::object items = py::take(PyMapping_Items(mapping.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        py::object item = py::borrow(PyList_GET_ITEM(items.ptr(), i));
        if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
            py::raise(PyExc_ValueError, "items must return tuples");
        encode_entry(mapping, PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1), first);
    }
    out_ += '}';
}

void JsonEncoder::encode_entry(py::handle mapping, PyObject* key, PyObject* value, bool& first) {
    // Keys become text in the json package's order of rules.
    py::object text;
    if (PyUnicode_Check(key))
        text = py::borrow(key);
    else if (PyFloat_Check(key))
        text = float_text(key, options_.allow_nan);
    else if (key == Py_True || key == Py_False || key == Py_None)
        text = py::text(key == Py_True ? "true" : key == Py_False ? "false" : "null");
    else if (PyLong_Check(key))
        text = py::take(PyLong_Type.tp_repr(key));
    else if (options_.skipkeys)
        return;
    else
        py::raise(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s", Py_TYPE(key)->tp_name);
    object_key(text, first);
    first = false;
    try {
        encode_value(value);
    } catch (const py::error_already_set&) {
        note_entry(mapping, key);
        throw;
    }
}

}  // namespace formats
