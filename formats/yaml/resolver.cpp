// Each pattern of resolver.py as a hand-written matcher. Python's `$` also
// matches before a final "\n", so every matcher is tried on the whole text and,
// when it ends in "\n", on the text without it.
#include "formats/yaml/resolver.h"

#include <cstring>

namespace formats::yaml {
namespace {

template <typename Char>
struct Text {
    const Char* chars;
    Py_ssize_t length;

    Py_UCS4 operator[](Py_ssize_t i) const { return i < length ? chars[i] : 0; }
    bool is(const char* word) const {
        Py_ssize_t size = static_cast<Py_ssize_t>(std::strlen(word));
        if (size != length)
            return false;
        for (Py_ssize_t i = 0; i < size; ++i)
            if (chars[i] != static_cast<unsigned char>(word[i]))
                return false;
        return true;
    }
};

bool digit(Py_UCS4 ch) { return ch >= '0' && ch <= '9'; }
bool digit_(Py_UCS4 ch) { return digit(ch) || ch == '_'; }
bool sign(Py_UCS4 ch) { return ch == '-' || ch == '+'; }

// [0-9_]* from i; returns where it stops.
template <typename Char>
Py_ssize_t digits_(const Text<Char>& t, Py_ssize_t i) {
    while (i < t.length && digit_(t[i]))
        ++i;
    return i;
}

// (?::[0-5]?[0-9])+ from i: each ':' takes one digit, or two when the first is 0-5.
// Returns where the groups stop, or -1 when there is not one group.
template <typename Char>
Py_ssize_t sexagesimal(const Text<Char>& t, Py_ssize_t i) {
    Py_ssize_t groups = 0;
    while (t[i] == ':' && digit(t[i + 1])) {
        if (digit(t[i + 2])) {
            if (t[i + 1] > '5' || digit(t[i + 3]))
                return -1;  // three digits, or two from 60 up: no way to split them
            i += 3;
        } else {
            i += 2;
        }
        ++groups;
    }
    return groups ? i : -1;
}

// (?:[eE][-+][0-9]+)? then the end.
template <typename Char>
bool exponent_then_end(const Text<Char>& t, Py_ssize_t i) {
    if (i == t.length)
        return true;
    if (!(t[i] == 'e' || t[i] == 'E') || !sign(t[i + 1]) || !digit(t[i + 2]))
        return false;
    i += 2;
    while (digit(t[i]))
        ++i;
    return i == t.length;
}

template <typename Char>
bool match_bool(const Text<Char>& t) {
    static const char* const words[] = {"yes",   "Yes",   "YES",   "no", "No", "NO", "true", "True", "TRUE",
                                        "false", "False", "FALSE", "on", "On", "ON", "off",  "Off",  "OFF"};
    for (const char* word : words)
        if (t.is(word))
            return true;
    return false;
}

template <typename Char>
bool match_float(const Text<Char>& t) {
    Py_ssize_t i = sign(t[0]) ? 1 : 0;
    // [-+]?(?:[0-9][0-9_]*)\.[0-9_]*(?:[eE][-+][0-9]+)?
    if (digit(t[i])) {
        Py_ssize_t j = digits_(t, i + 1);
        if (t[j] == '.' && exponent_then_end(t, digits_(t, j + 1)))
            return true;
        // [-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]*
        Py_ssize_t k = sexagesimal(t, j);
        if (k >= 0 && t[k] == '.' && digits_(t, k + 1) == t.length)
            return true;
    }
    // \.[0-9][0-9_]*(?:[eE][-+][0-9]+)?
    if (t[0] == '.' && digit(t[1]) && exponent_then_end(t, digits_(t, 2)))
        return true;
    // [-+]?\.(?:inf|Inf|INF)
    if (t[i] == '.') {
        Text<Char> rest{t.chars + i + 1, t.length - i - 1};
        if (rest.is("inf") || rest.is("Inf") || rest.is("INF"))
            return true;
    }
    // \.(?:nan|NaN|NAN)
    if (t[0] == '.') {
        Text<Char> rest{t.chars + 1, t.length - 1};
        if (rest.is("nan") || rest.is("NaN") || rest.is("NAN"))
            return true;
    }
    return false;
}

template <typename Char>
bool match_int(const Text<Char>& t) {
    Py_ssize_t i = sign(t[0]) ? 1 : 0;
    auto all_from = [&](Py_ssize_t j, auto&& allowed) {
        if (j >= t.length)
            return false;  // `+` needs one at least
        for (; j < t.length; ++j)
            if (!allowed(t[j]))
                return false;
        return true;
    };
    if (t[i] == '0') {
        // [-+]?0b[0-1_]+
        if (t[i + 1] == 'b' && all_from(i + 2, [](Py_UCS4 c) { return c == '0' || c == '1' || c == '_'; }))
            return true;
        // [-+]?0[0-7_]+
        if (all_from(i + 1, [](Py_UCS4 c) { return (c >= '0' && c <= '7') || c == '_'; }))
            return true;
        // [-+]?0
        if (i + 1 == t.length)
            return true;
        // [-+]?0x[0-9a-fA-F_]+
        if (t[i + 1] == 'x' && all_from(i + 2, [](Py_UCS4 c) {
                return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_';
            }))
            return true;
        return false;
    }
    if (t[i] >= '1' && t[i] <= '9') {
        // [-+]?[1-9][0-9_]*
        Py_ssize_t j = digits_(t, i + 1);
        if (j == t.length)
            return true;
        // [-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+
        return sexagesimal(t, j) == t.length;
    }
    return false;
}

template <typename Char>
bool match_timestamp(const Text<Char>& t) {
    // [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]
    if (t.length == 10 && digit(t[0]) && digit(t[1]) && digit(t[2]) && digit(t[3]) && t[4] == '-' && digit(t[5]) &&
        digit(t[6]) && t[7] == '-' && digit(t[8]) && digit(t[9]))
        return true;
    // [0-9]{4} -[0-9][0-9]? -[0-9][0-9]? (?:[Tt]|[ \t]+)[0-9][0-9]? :[0-9][0-9] :[0-9][0-9]
    // (?:\.[0-9]*)? (?:[ \t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?
    Py_ssize_t i = 0;
    for (; i < 4; ++i)
        if (!digit(t[i]))
            return false;
    auto one_or_two_digits = [&] {
        if (!digit(t[i]))
            return false;
        i += digit(t[i + 1]) ? 2 : 1;
        return true;
    };
    auto blanks = [&] {
        Py_ssize_t from = i;
        while (t[i] == ' ' || t[i] == '\t')
            ++i;
        return i > from;
    };
    if (t[i++] != '-' || !one_or_two_digits() || t[i++] != '-' || !one_or_two_digits())
        return false;
    if (t[i] == 'T' || t[i] == 't')
        ++i;
    else if (!blanks())
        return false;
    if (!one_or_two_digits() || t[i] != ':' || !digit(t[i + 1]) || !digit(t[i + 2]) || t[i + 3] != ':' ||
        !digit(t[i + 4]) || !digit(t[i + 5]))
        return false;
    i += 6;
    if (t[i] == '.') {
        ++i;
        while (digit(t[i]))
            ++i;
    }
    if (i == t.length)
        return true;
    blanks();
    if (t[i] == 'Z')
        return i + 1 == t.length;
    if (!sign(t[i]))
        return false;
    ++i;
    if (!one_or_two_digits())
        return false;
    if (t[i] == ':' && digit(t[i + 1]) && digit(t[i + 2]))
        i += 3;
    return i == t.length;
}

template <typename Char>
bool match_null(const Text<Char>& t) {
    return t.length == 0 || t.is("~") || t.is("null") || t.is("Null") || t.is("NULL");
}

// regexp.match(value) with a pattern ending in `$`.
template <typename Char, typename Match>
bool matches(const Text<Char>& t, Match&& match) {
    if (match(t))
        return true;
    return t.length > 0 && t.chars[t.length - 1] == '\n' && match(Text<Char>{t.chars, t.length - 1});
}

template <typename Char>
Implicit resolve(const Text<Char>& t) {
    // resolvers.get(value[0]), in the order they were added; '' has only null.
    if (t.length == 0)
        return Implicit::null;
    switch (t[0]) {
    case 'y':
    case 'Y':
    case 't':
    case 'T':
    case 'f':
    case 'F':
    case 'o':
    case 'O': return matches(t, match_bool<Char>) ? Implicit::bool_ : Implicit::str;
    case 'n':
    case 'N':
        if (matches(t, match_bool<Char>))
            return Implicit::bool_;
        return matches(t, match_null<Char>) ? Implicit::null : Implicit::str;
    case '~': return matches(t, match_null<Char>) ? Implicit::null : Implicit::str;
    case '-':
    case '+':
        if (matches(t, match_float<Char>))
            return Implicit::float_;
        return matches(t, match_int<Char>) ? Implicit::int_ : Implicit::str;
    case '.': return matches(t, match_float<Char>) ? Implicit::float_ : Implicit::str;
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        if (matches(t, match_float<Char>))
            return Implicit::float_;
        if (matches(t, match_int<Char>))
            return Implicit::int_;
        return matches(t, match_timestamp<Char>) ? Implicit::timestamp : Implicit::str;
    case '<': return matches(t, [](const Text<Char>& v) { return v.is("<<"); }) ? Implicit::merge : Implicit::str;
    case '=': return matches(t, [](const Text<Char>& v) { return v.is("="); }) ? Implicit::value : Implicit::str;
    case '!':
    case '&':
    case '*':
        return matches(t, [](const Text<Char>& v) { return v.is("!") || v.is("&") || v.is("*"); }) ? Implicit::yaml
                                                                                                   : Implicit::str;
    default: return Implicit::str;
    }
}

// The tag of each Implicit, in its order.
const char* const tags[] = {tag::str,       tag::null,  tag::bool_, tag::int_, tag::float_,
                            tag::timestamp, tag::merge, tag::value, tag::yaml};

}  // namespace

// The implicit resolvers resolve_scalar implements, as resolver.py registers them
// (PyYAML 6.0): the tag, the first characters (a null entry stands for the empty
// text), the pattern's text and whether it is compiled verbose.
const ResolverRule resolver_rules[] = {
    {tag::bool_, "yYnNtTfFoO", false, R"(^(?:yes|Yes|YES|no|No|NO
                    |true|True|TRUE|false|False|FALSE
                    |on|On|ON|off|Off|OFF)$)",
     true},
    {tag::float_, "-+0123456789.", false, R"(^(?:[-+]?(?:[0-9][0-9_]*)\.[0-9_]*(?:[eE][-+][0-9]+)?
                    |\.[0-9][0-9_]*(?:[eE][-+][0-9]+)?
                    |[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]*
                    |[-+]?\.(?:inf|Inf|INF)
                    |\.(?:nan|NaN|NAN))$)",
     true},
    {tag::int_, "-+0123456789", false, R"(^(?:[-+]?0b[0-1_]+
                    |[-+]?0[0-7_]+
                    |[-+]?(?:0|[1-9][0-9_]*)
                    |[-+]?0x[0-9a-fA-F_]+
                    |[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+)$)",
     true},
    {tag::merge, "<", false, R"(^(?:<<)$)", false},
    {tag::null, "nN~", true, R"(^(?: ~
                    |null|Null|NULL
                    | )$)",
     true},
    {tag::timestamp, "0123456789", false, R"(^(?:[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]
                    |[0-9][0-9][0-9][0-9] -[0-9][0-9]? -[0-9][0-9]?
                     (?:[Tt]|[ \t]+)[0-9][0-9]?
                     :[0-9][0-9] :[0-9][0-9] (?:\.[0-9]*)?
                     (?:[ \t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?)$)",
     true},
    {tag::value, "=", false, R"(^(?:=)$)", false},
    {tag::yaml, "!&*", false, R"(^(?:!|&|\*)$)", false},
};
const size_t resolver_rule_count = sizeof resolver_rules / sizeof *resolver_rules;

Implicit resolve_implicit(const Py_UCS1* chars, Py_ssize_t length) { return resolve(Text<Py_UCS1>{chars, length}); }

const char* resolve_scalar(PyObject* value) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    Implicit type;
    switch (PyUnicode_KIND(value)) {
    case PyUnicode_1BYTE_KIND: type = resolve(Text<Py_UCS1>{PyUnicode_1BYTE_DATA(value), length}); break;
    case PyUnicode_2BYTE_KIND: type = resolve(Text<Py_UCS2>{PyUnicode_2BYTE_DATA(value), length}); break;
    default: type = resolve(Text<Py_UCS4>{PyUnicode_4BYTE_DATA(value), length}); break;
    }
    return tags[static_cast<int>(type)];
}

}  // namespace formats::yaml
