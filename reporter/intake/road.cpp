#include "reporter/intake/road.h"

#include "native/module.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace intake_road {

namespace {

// health and summary: the run set's own, read for the job's fields.
enum class Role : uint8_t { document, node, children, result, health, summary, plain };
enum class Field : uint8_t {
    none,
    version,
    report,
    id,
    tasks,
    sections,
    type,
    result,
    start,
    stop,
    runtime,
    value,
    health,
    summary
};

struct Frame {
    Role role;
    bool object;
    uint8_t list = 0;           // a child list: 0 tasks, 1 sections
    Field field = Field::none;  // of an object: the key whose value is being read
    uint32_t node = 0;          // the node a node, child list or result belongs to
    size_t keys = 0;            // where the object's keys start on the key stack
    size_t value_begin = 0;     // where the value being read starts in the compact text
};

inline bool blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
inline bool digit(char c) { return c >= '0' && c <= '9'; }

// Bytes json.dumps writes as they are inside a string (ensure_ascii): ' ' to '~' but '"' and '\'.
struct PlainTable {
    bool plain[256];
    PlainTable() {
        for (int c = 0; c < 256; ++c)
            plain[c] = c >= 0x20 && c <= 0x7e && c != '"' && c != '\\';
    }
};
const PlainTable plain_table;

// The end of the string starting at `p` (its opening quote), or null where it is not
// as json.dumps writes it: only its escapes, \u with lowercase hex, and \u only for
// what has no other form (control characters, DEL, anything beyond ASCII).
// Whether any of the eight bytes in `w` is one json.dumps would not write as it is in a string.
inline bool any_special(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto zero_byte = [](uint64_t v) { return (v - ones) & ~v & highs; };
    return ((w & highs) | ((w - 0x20 * ones) & ~w & highs) | zero_byte(w ^ (0x7f * ones)) |
            zero_byte(w ^ (0x22 * ones)) | zero_byte(w ^ (0x5c * ones))) != 0;
}

const char* string_end(const char* p, const char* end) {
    ++p;
    for (;;) {
        // Eight plain bytes at a time, then one by one up to the next special one.
        uint64_t word;
        while (p + 8 <= end && (std::memcpy(&word, p, 8), !any_special(word)))
            p += 8;
        unsigned char c = static_cast<unsigned char>(*p);
        if (plain_table.plain[c]) {
            ++p;
            continue;
        }
        if (c == '"')
            return p + 1;
        if (c != '\\')
            return nullptr;
        char e = p[1];
        if (e == '"' || e == '\\' || e == 'n' || e == 'r' || e == 't' || e == 'b' || e == 'f') {
            p += 2;
            continue;
        }
        if (e != 'u')
            return nullptr;
        unsigned v = 0;
        for (int i = 2; i < 6; ++i) {
            char h = p[i];
            if (digit(h))
                v = v * 16 + unsigned(h - '0');
            else if (h >= 'a' && h <= 'f')
                v = v * 16 + unsigned(h - 'a' + 10);
            else
                return nullptr;
        }
        if (v < 0x20 ? (v == 8 || v == 9 || v == 10 || v == 12 || v == 13) : (v < 0x80 && v != 0x7f))
            return nullptr;
        p += 6;
    }
}

// The float the text reads as, written back by repr, is the text itself. Two common
// forms are settled by their shape: at most 15 significant digits (which any double
// tells apart, so repr gives those digits back), written where repr writes them
// (positional for a decimal point from 10**-4 to 10**16, else with an exponent of
// at least two digits). Everything else is converted and compared.
bool canonical_float(const char* begin, const char* end) {
    const char* p = begin;
    if (*p == '-')
        ++p;
    const char* whole = p;
    while (p < end && digit(*p))
        ++p;
    size_t whole_digits = size_t(p - whole);
    const char* fraction = nullptr;
    size_t fraction_digits = 0;
    if (p < end && *p == '.') {
        fraction = ++p;
        while (p < end && digit(*p))
            ++p;
        fraction_digits = size_t(p - fraction);
    }
    if (p == end && fraction) {
        if (fraction_digits == 1 && fraction[0] == '0') {
            // Whole: as many digits as its value has, up to 16; 15 of them significant.
            size_t significant = whole_digits;
            while (significant && whole[significant - 1] == '0')
                --significant;
            if (whole_digits <= 16 && significant <= 15)
                return true;
        } else if (fraction[fraction_digits - 1] != '0') {
            if (whole[0] != '0') {
                if (whole_digits + fraction_digits <= 15)
                    return true;
            } else {
                size_t zeros = 0;
                while (zeros < fraction_digits && fraction[zeros] == '0')
                    ++zeros;
                if (zeros <= 3 && fraction_digits - zeros <= 15)
                    return true;
            }
        }
    } else if (p < end && *p == 'e' && whole_digits == 1 && whole[0] != '0' &&
               (!fraction || fraction[fraction_digits - 1] != '0') && fraction_digits <= 14) {
        ++p;
        char sign = *p++;
        const char* exponent = p;
        size_t exponent_digits = size_t(end - exponent);
        if ((sign == '+' || sign == '-') && exponent_digits >= 2 && exponent_digits <= 3 &&
            (exponent_digits == 2 || exponent[0] != '0')) {
            int value = 0;
            for (const char* q = exponent; q < end; ++q)
                value = value * 10 + (*q - '0');
            if (sign == '-')
                value = -value;
            if ((value <= -5 && value >= -307) || (value >= 16 && value <= 307))
                return true;
        }
    }
    std::string copy(begin, end);
    char* stop = nullptr;
    double number = PyOS_string_to_double(copy.c_str(), &stop, nullptr);
    if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (!std::isfinite(number))
        return false;
    char* written = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!written) {
        PyErr_Clear();
        return false;
    }
    bool same = std::strlen(written) == copy.size() && copy == written;
    PyMem_Free(written);
    return same;
}

// The end of the number (or -Infinity) at `p`, or null where json.dumps would not
// write it so: "-0", ints too long to read back everywhere, floats not as repr writes them.
const char* number_end(const char* p, Token::Kind& kind) {
    const char* begin = p;
    if (*p == '-')
        ++p;
    if (*p == 'I') {
        kind = Token::infinity;
        return std::strncmp(p, "Infinity", 8) == 0 ? p + 8 : nullptr;
    }
    const char* whole = p;
    if (*p == '0')
        ++p;
    else if (*p >= '1' && *p <= '9')
        while (digit(*p))
            ++p;
    else
        return nullptr;
    bool is_float = false;
    if (*p == '.' && digit(p[1])) {
        is_float = true;
        for (++p; digit(*p); ++p) {
        }
    }
    if ((*p == 'e' || *p == 'E') && (digit(p[1]) || ((p[1] == '+' || p[1] == '-') && digit(p[2])))) {
        is_float = true;
        p += 2;
        while (digit(*p))
            ++p;
    }
    if (!is_float) {
        kind = Token::integer;
        if ((begin != whole && *whole == '0') || p - whole > 600)
            return nullptr;
        return p;
    }
    kind = Token::floating;
    return canonical_float(begin, p) ? p : nullptr;
}

bool same(const char* text, size_t size, const char* literal) {
    return std::strlen(literal) == size && std::memcmp(text, literal, size) == 0;
}

Field classify(Role role, std::string_view key) {
    auto is = [&key](const char* literal) { return same(key.data(), key.size(), literal); };
    switch (role) {
    case Role::document: return is("\"version\"") ? Field::version : is("\"report\"") ? Field::report : Field::none;
    case Role::node:
        switch (key.size()) {
        case 4: return is("\"id\"") ? Field::id : Field::none;
        case 6: return is("\"type\"") ? Field::type : Field::none;
        case 7: return is("\"tasks\"") ? Field::tasks : Field::none;
        case 8: return is("\"result\"") ? Field::result : Field::none;
        case 9: return is("\"runtime\"") ? Field::runtime : is("\"summary\"") ? Field::summary : Field::none;
        case 10: return is("\"sections\"") ? Field::sections : is("\"stoptime\"") ? Field::stop : Field::none;
        case 11: return is("\"starttime\"") ? Field::start : Field::none;
        case 15: return is("\"health_result\"") ? Field::health : Field::none;
        default: return Field::none;
        }
    case Role::result:
    case Role::health: return is("\"value\"") ? Field::value : Field::none;
    default: return Field::none;
    }
}

// No key twice in the object whose keys are keys[from:]: json.loads keeps the last
// of a repeated key where the first stood. Keys in this form are equal only as text.
bool distinct(std::vector<std::string_view>& keys, size_t from) {
    size_t count = keys.size() - from;
    if (count < 2)
        return true;
    if (count <= 16) {
        for (size_t i = from + 1; i < keys.size(); ++i)
            for (size_t j = from; j < i; ++j)
                if (keys[i] == keys[j])
                    return false;
        return true;
    }
    std::vector<std::string_view> sorted(keys.begin() + std::ptrdiff_t(from), keys.end());
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

}  // namespace

bool scan(const char* text, size_t size, long max_level, Scan& found) {
    std::string& out = found.compact;
    std::vector<Node>& nodes = found.nodes;
    out.clear();
    out.reserve(size);
    nodes.clear();
    found.id = found.health = Token();
    found.counts.clear();
    std::vector<Frame> stack;
    stack.reserve(64);
    std::vector<std::string_view> keys;
    keys.reserve(256);
    bool version = false;
    const char* p = text;
    const char* const end = text + size;

value:
    while (blank(*p))
        ++p;
    {
        Frame* top = stack.empty() ? nullptr : &stack.back();
        Field field = top && top->object ? top->field : Field::none;
        Role role = Role::plain;
        if (!top)
            role = Role::document;
        else if (top->role == Role::children)
            role = Role::node;
        else if (top->role == Role::document && field == Field::report)
            role = Role::node;
        else if (top->role == Role::node && (field == Field::tasks || field == Field::sections))
            role = Role::children;
        else if (top->role == Role::node && field == Field::result)
            role = Role::result;
        else if (top->role == Role::node && top->node == 0 && field == Field::health)
            role = Role::health;
        else if (top->role == Role::node && top->node == 0 && field == Field::summary)
            role = Role::summary;
        if (top)
            top->value_begin = out.size();
        char c = *p;
        if (c == '{' || c == '[') {
            bool object = c == '{';
            if ((role == Role::document || role == Role::node) && !object)
                return false;
            if (role == Role::children && object)
                return false;
            if ((role == Role::result || role == Role::health || role == Role::summary) && !object)
                role = Role::plain;
            if (long(stack.size()) >= max_level)
                return false;
            Frame frame{role, object};
            frame.keys = keys.size();
            if (role == Role::node) {
                if (nodes.size() >= none)
                    return false;
                frame.node = uint32_t(nodes.size());
                Node node;
                node.text.begin = out.size();
                if (top->role == Role::children) {
                    Node& parent = nodes[top->node];
                    node.depth = parent.depth + 1;
                    if (parent.last[top->list] == none)
                        parent.first[top->list] = frame.node;
                    else
                        nodes[parent.last[top->list]].next = frame.node;
                    parent.last[top->list] = frame.node;
                }
                nodes.push_back(std::move(node));
            } else if (role == Role::children) {
                frame.node = top->node;
                frame.list = field == Field::tasks ? 0 : 1;
                nodes[frame.node].has_list[frame.list] = true;
                nodes[frame.node].lists[frame.list].begin = out.size();
            } else if (role == Role::result || role == Role::health || role == Role::summary) {
                frame.node = top->node;
            }
            out.push_back(c);
            ++p;
            stack.push_back(frame);
            while (blank(*p))
                ++p;
            if (*p == (object ? '}' : ']'))
                goto close;
            if (object)
                goto key;
            goto value;
        }
        Token token;
        token.begin = size_t(p - text);
        if (c == '"') {
            p = string_end(p, end);
            token.kind = Token::string;
        } else if (c == '-' || digit(c)) {
            p = number_end(p, token.kind);
        } else if (c == 't') {
            token.kind = Token::true_;
            p = std::strncmp(p, "true", 4) == 0 ? p + 4 : nullptr;
        } else if (c == 'f') {
            token.kind = Token::false_;
            p = std::strncmp(p, "false", 5) == 0 ? p + 5 : nullptr;
        } else if (c == 'n') {
            token.kind = Token::null;
            p = std::strncmp(p, "null", 4) == 0 ? p + 4 : nullptr;
        } else if (c == 'N') {
            token.kind = Token::nan;
            p = std::strncmp(p, "NaN", 3) == 0 ? p + 3 : nullptr;
        } else if (c == 'I') {
            token.kind = Token::infinity;
            p = std::strncmp(p, "Infinity", 8) == 0 ? p + 8 : nullptr;
        } else {
            return false;
        }
        if (!p || role == Role::document || role == Role::node)
            return false;
        if (role == Role::children && token.kind != Token::null)
            return false;
        token.end = size_t(p - text);
        out.append(text + token.begin, token.end - token.begin);
        if (top->role == Role::node) {
            Node& node = nodes[top->node];
            switch (field) {
            case Field::type: node.type = token; break;
            case Field::result: node.result = token; break;
            case Field::start: node.start = token; break;
            case Field::stop: node.stop = token; break;
            case Field::runtime: node.runtime = token; break;
            case Field::id:
                if (top->node == 0)
                    found.id = token;
                break;
            case Field::health:
                if (top->node == 0)
                    found.health = token;
                break;
            default: break;
            }
        } else if (top->role == Role::result && field == Field::value) {
            nodes[top->node].result = token;
        } else if (top->role == Role::health && field == Field::value) {
            found.health = token;
        } else if (top->role == Role::summary && token.kind == Token::integer) {
            // The key being read is the last one seen, still in the input's text.
            std::string_view key = keys.back();
            Token name;
            name.kind = Token::string;
            name.begin = size_t(key.data() - text);
            name.end = name.begin + key.size();
            found.counts.emplace_back(name, token);
        } else if (top->role == Role::document && field == Field::version) {
            version = token.kind == Token::string && same(text + token.begin, token.end - token.begin, "\"3.2\"");
        }
        goto after;
    }

close:
    // *p closes the innermost container.
    {
        Frame& frame = stack.back();
        out.push_back(*p);
        ++p;
        if (frame.object) {
            if (!distinct(keys, frame.keys))
                return false;
            keys.resize(frame.keys);
        }
        if (frame.role == Role::node) {
            Node& node = nodes[frame.node];
            if (!node.has_id)
                return false;
            node.text.end = out.size();
        } else if (frame.role == Role::children) {
            nodes[frame.node].lists[frame.list].end = out.size();
        }
        stack.pop_back();
        if (stack.empty()) {
            while (blank(*p))
                ++p;
            return p == end && version && !nodes.empty();
        }
    }

after:
    // A value inside the innermost container has ended.
    {
        Frame& frame = stack.back();
        if (frame.role == Role::node && frame.field == Field::id)
            nodes[frame.node].id = {frame.value_begin, out.size()};
        while (blank(*p))
            ++p;
        if (*p == ',') {
            out.push_back(',');
            ++p;
            if (frame.object)
                goto key;
            goto value;
        }
        if (*p == (frame.object ? '}' : ']'))
            goto close;
        return false;
    }

key:
    while (blank(*p))
        ++p;
    {
        if (*p != '"')
            return false;
        const char* key_end = string_end(p, end);
        if (!key_end)
            return false;
        std::string_view key(p, size_t(key_end - p));
        keys.push_back(key);
        out.append(p, key.size());
        p = key_end;
        while (blank(*p))
            ++p;
        if (*p != ':')
            return false;
        out.push_back(':');
        ++p;
        Frame& frame = stack.back();
        frame.field = classify(frame.role, key);
        if (frame.field == Field::id)
            nodes[frame.node].has_id = true;
        goto value;
    }
}

namespace {

int hex_value(char h) { return digit(h) ? h - '0' : h - 'a' + 10; }

}  // namespace

object value_of(const char* text, const Token& token) {
    const char* begin = text + token.begin;
    size_t size = token.end - token.begin;
    switch (token.kind) {
    case Token::string: {
        const char* inner = begin + 1;
        size_t length = size - 2;
        if (!std::memchr(inner, '\\', length)) {
            object made = py::take(PyUnicode_New(Py_ssize_t(length), 127));
            std::memcpy(PyUnicode_1BYTE_DATA(made.ptr()), inner, length);
            return made;
        }
        std::vector<Py_UCS4> chars;
        chars.reserve(length);
        for (const char* p = inner; p < inner + length;) {
            if (*p != '\\') {
                chars.push_back(Py_UCS4(static_cast<unsigned char>(*p++)));
                continue;
            }
            char e = p[1];
            if (e != 'u') {
                chars.push_back(e == 'n'   ? '\n'
                                : e == 'r' ? '\r'
                                : e == 't' ? '\t'
                                : e == 'b' ? '\b'
                                : e == 'f' ? '\f'
                                           : Py_UCS4(e));
                p += 2;
                continue;
            }
            Py_UCS4 c = 0;
            for (int i = 2; i < 6; ++i)
                c = c * 16 + Py_UCS4(hex_value(p[i]));
            p += 6;
            // A high surrogate and a low one after it are one character, as json.loads reads them.
            if (c >= 0xd800 && c <= 0xdbff && p + 6 <= inner + length && p[0] == '\\' && p[1] == 'u') {
                Py_UCS4 low = 0;
                for (int i = 2; i < 6; ++i)
                    low = low * 16 + Py_UCS4(hex_value(p[i]));
                if (low >= 0xdc00 && low <= 0xdfff) {
                    c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
                    p += 6;
                }
            }
            chars.push_back(c);
        }
        return py::take(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(), Py_ssize_t(chars.size())));
    }
    case Token::integer: {
        std::string copy(begin, size);
        return py::take(PyLong_FromString(copy.c_str(), nullptr, 10));
    }
    case Token::floating: {
        std::string copy(begin, size);
        double number = PyOS_string_to_double(copy.c_str(), nullptr, nullptr);
        if (number == -1.0 && PyErr_Occurred())
            py::throw_error();
        return py::take(PyFloat_FromDouble(number));
    }
    case Token::true_: return py::borrow(Py_True);
    case Token::false_: return py::borrow(Py_False);
    case Token::null: return py::none();
    case Token::nan: return py::take(PyFloat_FromDouble(NAN));
    case Token::infinity: return py::take(PyFloat_FromDouble(*begin == '-' ? -HUGE_VAL : HUGE_VAL));
    default: return object();
    }
}

std::unique_ptr<Road> Road::capture(handle intake_module, handle globals) {
    auto road = std::unique_ptr<Road>(new Road);
    py::Snapshot& pieces = road->snapshot_;
    object json = py::import_module("json", globals);
    object decoder = py::import_module("json.decoder", globals);
    object scanner = py::import_module("json.scanner", globals);
    // The C scanner only: the Python one refuses other texts in other words.
    object c_make_scanner = py::getattr_optional(scanner, py::text("c_make_scanner"));
    object c_scanstring = py::getattr_optional(decoder, py::text("c_scanstring"));
    if (!c_make_scanner || c_make_scanner.is_none() || !c_scanstring || c_scanstring.is_none())
        return nullptr;
    object default_decoder = py::getattr(json, py::text("_default_decoder"));
    object scan_once = py::getattr(default_decoder, py::text("scan_once"));
    if (Py_TYPE(scan_once.ptr()) != reinterpret_cast<PyTypeObject*>(c_make_scanner.ptr()))
        return nullptr;
    pieces.module(json);
    pieces.module(decoder);
    pieces.module(scanner);
    pieces.table(py::getattr(default_decoder, py::text("__dict__")));
    // What the intake module reads on the way: its names for these, and their code.
    handle namespace_ = PyModule_GetDict(intake_module.ptr());
    for (const char* name : {"json", "parse_text", "flatten", "Refused", "FORMAT_VERSION", "_intake"})
        pieces.item(namespace_, py::text(name));
    pieces.function(py::getattr(intake_module, py::text("parse_text")));
    pieces.function(py::getattr(intake_module, py::text("flatten")));
    pieces.builtins_read(PyModule_GetDict(py::import_module("builtins", globals).ptr()));
    return road;
}

}  // namespace intake_road
