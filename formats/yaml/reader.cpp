// The reader follows PyYAML's composer.py (documents, anchors), resolver.py (the
// implicit types of plain scalars) and constructor.py (SafeConstructor): each rule
// below names the method it mirrors. It builds as events arrive instead of making
// a node graph first; where that changes what PyYAML does (merge keys, the items
// of !!omap and !!pairs), the collection is read as its entries instead of built.
#include "formats/yaml/reader.h"
#include "formats/yaml/resolver.h"

#include <datetime.h>
#include <yaml.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace yaml_reader {
namespace {

using py::handle;
using py::object;
using std::string_view;
namespace implicit = formats::yaml;

constexpr string_view yaml_tag_prefix = "tag:yaml.org,2002:";

// The tags SafeConstructor knows, and the implicit ones the resolver gives.
enum class Tag : char {
    str,
    int_,
    float_,
    bool_,
    null,
    timestamp,
    binary,
    seq,
    map,
    set,
    omap,
    pairs,
    merge,
    value,
    yaml,
    unknown,
};

Tag tag_named(string_view tag) {
    if (tag.substr(0, yaml_tag_prefix.size()) != yaml_tag_prefix)
        return Tag::unknown;
    string_view name = tag.substr(yaml_tag_prefix.size());
    static const std::pair<string_view, Tag> known[] = {
        {"str", Tag::str},       {"int", Tag::int_},    {"float", Tag::float_},
        {"bool", Tag::bool_},    {"null", Tag::null},   {"timestamp", Tag::timestamp},
        {"binary", Tag::binary}, {"seq", Tag::seq},     {"map", Tag::map},
        {"set", Tag::set},       {"omap", Tag::omap},   {"pairs", Tag::pairs},
        {"merge", Tag::merge},   {"value", Tag::value}, {"yaml", Tag::yaml},
    };
    for (auto& [text, tag_value] : known)
        if (name == text)
            return tag_value;
    return Tag::unknown;
}

bool is_scalar_tag(Tag tag) {
    return tag == Tag::str || tag == Tag::int_ || tag == Tag::float_ || tag == Tag::bool_ || tag == Tag::null ||
           tag == Tag::timestamp || tag == Tag::binary;
}

// ---- constructor.py: the fields of a timestamp ----------------------------------------

bool digit(char c) { return c >= '0' && c <= '9'; }

// A cursor over the text being read; every reading must consume it all.
struct Cursor {
    const char* p;
    const char* end;
    bool done() const { return p == end; }
    bool at(char c) const { return p < end && *p == c; }
    bool eat(char c) {
        if (!at(c))
            return false;
        ++p;
        return true;
    }
    bool eat_digit() {
        if (p < end && digit(*p)) {
            ++p;
            return true;
        }
        return false;
    }
    template <typename Pred>
    size_t eat_while(Pred pred) {
        const char* start = p;
        while (p < end && pred(*p))
            ++p;
        return size_t(p - start);
    }
};

// The fields of SafeConstructor.timestamp_regexp; `time` false where the text
// stops after the date.
struct Timestamp {
    string_view year, month, day, hour, minute, second, fraction, tz_hour, tz_minute;
    bool time = false, fraction_given = false, zulu = false;
    char tz_sign = 0;
};

bool eat_digits(Cursor& c, size_t at_least, size_t at_most, string_view& field) {
    const char* start = c.p;
    while (size_t(c.p - start) < at_most && c.eat_digit()) {
    }
    field = string_view(start, size_t(c.p - start));
    return field.size() >= at_least;
}

// The time of day and zone that follow the date, as both expressions have them:
// (?:[Tt]|[ \t]+)H?H:MM:SS(?:\.F*)?(?:[ \t]*(?:Z|[-+]H?H(?::MM)?))?$
bool parse_time(Cursor& c, Timestamp& t) {
    if (!(c.eat('T') || c.eat('t')) && c.eat_while([](char ch) { return ch == ' ' || ch == '\t'; }) == 0)
        return false;
    if (!eat_digits(c, 1, 2, t.hour) || !c.eat(':') || !eat_digits(c, 2, 2, t.minute) || !c.eat(':') ||
        !eat_digits(c, 2, 2, t.second))
        return false;
    t.time = true;
    if (c.eat('.')) {
        t.fraction_given = true;
        eat_digits(c, 0, size_t(-1), t.fraction);
    }
    if (c.done())
        return true;
    c.eat_while([](char ch) { return ch == ' ' || ch == '\t'; });
    if (c.eat('Z')) {
        t.zulu = true;
        return c.done();
    }
    if (!(c.at('-') || c.at('+')))
        return false;
    t.tz_sign = *c.p++;
    if (!eat_digits(c, 1, 2, t.tz_hour))
        return false;
    if (c.eat(':') && !eat_digits(c, 2, 2, t.tz_minute))
        return false;
    return c.done();
}

// SafeConstructor.timestamp_regexp.
bool parse_timestamp(string_view v, Timestamp& t) {
    Cursor c{v.data(), v.data() + v.size()};
    if (!eat_digits(c, 4, 4, t.year) || !c.eat('-') || !eat_digits(c, 1, 2, t.month) || !c.eat('-') ||
        !eat_digits(c, 1, 2, t.day))
        return false;
    if (c.done())
        return true;
    return parse_time(c, t);
}

// ---- resolver.py: the implicit types, by the matchers the YAML writer uses ----------

// BaseResolver.resolve for a scalar. The text is UTF-8, read byte by byte: no
// resolver's pattern takes a non-ASCII character, nor any byte of one.
Tag resolve(string_view value, bool plain_implicit) {
    if (!plain_implicit)
        return Tag::str;
    switch (implicit::resolve_implicit(reinterpret_cast<const Py_UCS1*>(value.data()), Py_ssize_t(value.size()))) {
    case implicit::Implicit::null: return Tag::null;
    case implicit::Implicit::bool_: return Tag::bool_;
    case implicit::Implicit::int_: return Tag::int_;
    case implicit::Implicit::float_: return Tag::float_;
    case implicit::Implicit::timestamp: return Tag::timestamp;
    case implicit::Implicit::merge: return Tag::merge;
    case implicit::Implicit::value: return Tag::value;
    case implicit::Implicit::yaml: return Tag::yaml;
    default: return Tag::str;
    }
}

// ---- tabs: where PyYAML's scanner refuses what libyaml takes ------------------------

// PyYAML skips only spaces between tokens and ends a plain scalar at a tab;
// libyaml also takes tabs there (inside plain scalars, after ':', in flow
// collections, in directives and block scalar headers). A raw tab is PyYAML's
// only inside a quoted scalar, a block scalar's text or a comment: anywhere else
// it refuses the text, and so does this. The marks of libyaml's tokens count
// characters from after any byte order mark.
class TabCheck {
public:
    TabCheck(const char* data, size_t size) : p_(data), end_(data + size) {
        if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0)
            p_ += 3;
    }

    // The place of the first tab PyYAML refuses, if any.
    bool find(size_t& line, size_t& column) {
        yaml_parser_t parser;
        if (!yaml_parser_initialize(&parser))
            throw std::bad_alloc();
        std::unique_ptr<yaml_parser_t, void (*)(yaml_parser_t*)> owned(&parser, yaml_parser_delete);
        yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(p_), size_t(end_ - p_));
        for (;;) {
            yaml_token_t token;
            // A text libyaml refuses is left to the parse proper, which says why.
            if (!yaml_parser_scan(&parser, &token))
                return false;
            std::unique_ptr<yaml_token_t, void (*)(yaml_token_t*)> held(&token, yaml_token_delete);
            if (token.type == YAML_STREAM_END_TOKEN) {
                if (!walk(token.start_mark.index, Rule::between))
                    return false;
                break;
            }
            if (token.start_mark.index < index_)
                continue;  // a token of no width, placed where the next one starts
            if (walk(token.start_mark.index, Rule::between))
                break;
            Rule rule = Rule::nowhere;
            if (token.type == YAML_SCALAR_TOKEN) {
                auto style = token.data.scalar.style;
                rule = style == YAML_SINGLE_QUOTED_SCALAR_STYLE || style == YAML_DOUBLE_QUOTED_SCALAR_STYLE
                           ? Rule::anywhere
                       : style == YAML_LITERAL_SCALAR_STYLE || style == YAML_FOLDED_SCALAR_STYLE ? Rule::block
                                                                                                 : Rule::nowhere;
            }
            if (walk(token.end_mark.index, rule))
                break;
        }
        line = line_;
        column = column_;
        return true;
    }

private:
    enum class Rule { between, nowhere, anywhere, block };

    // Walks up to character `index`; true when it stops at a tab that `rule` refuses.
    bool walk(size_t index, Rule rule) {
        bool comment = false, header = rule == Rule::block;
        while (index_ < index && p_ < end_) {
            char c = *p_;
            if (c == '\t') {
                bool allowed = rule == Rule::anywhere || comment || (rule == Rule::block && !header);
                if (!allowed)
                    return true;
            } else if (c == '#' && (rule == Rule::between || header)) {
                comment = true;
            } else if (c == '\n' || c == '\r') {
                comment = header = false;
            }
            step();
        }
        return false;
    }

    void step() {
        char c = *p_;
        if (c == '\n' || (c == '\r' && !(p_ + 1 < end_ && p_[1] == '\n'))) {
            ++line_;
            column_ = 0;
        } else {
            ++column_;
        }
        ++p_;
        while (p_ < end_ && (static_cast<unsigned char>(*p_) & 0xC0) == 0x80)
            ++p_;
        ++index_;
    }

    const char* p_;
    const char* end_;
    size_t index_ = 0, line_ = 0, column_ = 0;
};

// ---- the reader ----------------------------------------------------------------

enum class Kind : char { scalar, sequence, mapping };

const char* kind_name(Kind kind) {
    return kind == Kind::scalar ? "scalar" : kind == Kind::sequence ? "sequence" : "mapping";
}

// How a collection is read. `merge`: the value of a merge key (or an item of one),
// whose tag PyYAML never looks at; its flattened entries are what counts. `items`:
// an item of !!omap or !!pairs, whose single entry is taken unflattened.
enum class Mode : char { normal, merge, items };

struct Entry {
    object key, value;
};
using Entries = std::vector<Entry>;

// A finished node, as its parent receives it.
struct Node {
    Kind kind = Kind::scalar;
    object value;                      // empty where it was read only for its entries
    std::shared_ptr<Entries> entries;  // mappings, and sequences of mappings, read for merging
    bool merge_key = false;            // a scalar resolved (or tagged) as a merge key
    yaml_mark_t mark{};
    Py_ssize_t size = 1;  // nodes it stands for
};

struct Frame {
    Kind kind = Kind::sequence;
    Mode mode = Mode::normal;
    Tag tag = Tag::seq;
    bool build = true;          // the collection's Python object is made
    bool keep_entries = false;  // anchored: a later alias may merge it
    bool direct = false;        // a mapping read straight into its dict (no merge key met yet)
    object value;               // list, dict, set or the list of an !!omap, made at the start
    Entries merge, own;
    std::vector<std::shared_ptr<Entries>> submerge;  // a sequence's items' entries
    const char* unmergeable = nullptr;               // the kind of an item that is not a mapping
    object key;
    bool have_key = false, key_merges = false;
    bool flow = false;
    yaml_mark_t mark{};
    std::string anchor;
    Py_ssize_t first_node = 0;
};

// The text at a mark's character index (libyaml's marks count characters, from
// after any byte order mark): a cursor that moves forward, restarting if asked
// for an earlier place.
class Source {
public:
    Source(const char* data, size_t size) : begin_(data), end_(data + size) {
        if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0)
            begin_ += 3;
        p_ = begin_;
    }

    const char* at(size_t index) {
        if (index < index_) {
            p_ = begin_;
            index_ = 0;
        }
        for (; index_ < index && p_ < end_; ++index_) {
            ++p_;
            while (p_ < end_ && (static_cast<unsigned char>(*p_) & 0xC0) == 0x80)
                ++p_;
        }
        return p_;
    }
    const char* end() const { return end_; }

private:
    const char* begin_;
    const char* end_;
    const char* p_;
    size_t index_ = 0;
};

struct Anchor {
    Node node;
    bool open;  // a collection still being read: an alias to it makes a cycle
};

class Reader {
public:
    Reader(const Context& context, const Limits& limits) : context_(context), limits_(limits) {
        if (!yaml_parser_initialize(&parser_))
            throw std::bad_alloc();
    }
    ~Reader() { yaml_parser_delete(&parser_); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    object run(const char* data, size_t size) {
        source_ = std::make_unique<Source>(data, size);
        refuse_inner_byte_order_marks(data, size);
        if (std::memchr(data, '\t', size)) {
            yaml_mark_t mark{};
            if (TabCheck(data, size).find(mark.line, mark.column))
                fail("invalid", mark, "found character '\\t' that cannot start any token");
        }
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(data), size);
        int documents = 0;
        for (;;) {
            yaml_event_t event;
            if (!yaml_parser_parse(&parser_, &event))
                parser_error();
            // Freed however this step ends.
            std::unique_ptr<yaml_event_t, void (*)(yaml_event_t*)> owned(&event, yaml_event_delete);
            switch (event.type) {
            case YAML_DOCUMENT_START_EVENT:
                if (!event.data.document_start.implicit)
                    check_directives(event.start_mark, event.end_mark);
                // Composer.get_single_node.
                if (++documents > 1)
                    fail("invalid", event.start_mark,
                         "expected a single document in the stream, but found another document");
                break;
            case YAML_DOCUMENT_END_EVENT: anchors_.clear(); break;
            case YAML_STREAM_END_EVENT: return root_ ? std::move(root_) : py::none();
            case YAML_ALIAS_EVENT: alias(event); break;
            case YAML_SCALAR_EVENT: scalar(event); break;
            case YAML_SEQUENCE_START_EVENT:
                flow_depth_ += event.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE;
                start(event, Kind::sequence, reinterpret_cast<const char*>(event.data.sequence_start.tag),
                      reinterpret_cast<const char*>(event.data.sequence_start.anchor));
                break;
            case YAML_MAPPING_START_EVENT:
                flow_depth_ += event.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE;
                start(event, Kind::mapping, reinterpret_cast<const char*>(event.data.mapping_start.tag),
                      reinterpret_cast<const char*>(event.data.mapping_start.anchor));
                break;
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT: finish(); break;
            default: break;
            }
        }
    }

private:
    // libyaml skips a byte order mark at the start of any line, PyYAML only at the
    // start of the text: elsewhere it is a character of the text.
    void refuse_inner_byte_order_marks(const char* data, size_t size) {
        const char* bom = "\xEF\xBB\xBF";
        size_t first = size >= 3 && std::memcmp(data, bom, 3) == 0 ? 3 : 0;
        for (size_t at = first; at + 3 <= size; ++at) {
            const void* found = std::memchr(data + at, '\xEF', size - at);
            if (!found)
                return;
            at = size_t(static_cast<const char*>(found) - data);
            if (at + 3 > size || std::memcmp(data + at, bom, 3) != 0)
                continue;
            char before = at > 0 ? data[at - 1] : '\n';
            // After a line break; NEL, LS and PS end in 0x85, 0xA8 and 0xA9.
            if (at == first || before == '\n' || before == '\r' || (unsigned char)before == 0x85 ||
                (unsigned char)before == 0xA8 || (unsigned char)before == 0xA9)
                fail("unsupported", yaml_mark_t{},
                     "a byte order mark starts a line: libyaml skips it, PyYAML reads it");
        }
    }

    // A line break: also NEL, LS and PS, as both scanners have them.
    static bool line_break(const char* p, const char* end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n' || c == '\r')
            return true;
        if (c == 0xC2)
            return p + 1 < end && static_cast<unsigned char>(p[1]) == 0x85;
        return c == 0xE2 && p + 2 < end && static_cast<unsigned char>(p[1]) == 0x80 &&
               (static_cast<unsigned char>(p[2]) == 0xA8 || static_cast<unsigned char>(p[2]) == 0xA9);
    }

    // Where the scanners part on a node's properties and block scalar header.
    // In a flow collection libyaml ends a tag at ',', where PyYAML's tag goes on
    // (',' is a URI character): the text is PyYAML's to read. PyYAML wants a
    // space before a comment on a block scalar's header line, libyaml does not.
    void check_properties(const yaml_mark_t& mark, bool tagged, bool block) {
        if (!tagged && !block)
            return;
        const char* p = source_->at(mark.index);
        const char* end = source_->end();
        for (;;) {
            while (p < end && (*p == ' ' || *p == '\t'))
                ++p;
            if (p == end || (*p != '!' && *p != '&'))
                break;
            bool tag = *p == '!';
            if (tag)
                check_tag(mark, p, end);
            while (p < end && *p != ' ' && *p != '\t' && !line_break(p, end) && !(flow_depth_ > 0 && *p == ','))
                ++p;
            if (tag && p < end && *p == ',')
                fail("unsupported", mark, "a tag runs into ',': libyaml ends it there, PyYAML does not");
        }
        if (!block || p == end || (*p != '|' && *p != '>'))
            return;
        ++p;
        while (p < end && (*p == '+' || *p == '-' || digit(*p)))
            ++p;
        if (p < end && *p == '#')
            fail("invalid", mark,
                 "while scanning a block scalar: expected chomping or indentation indicators, "
                 "but found '#'");
    }

    // Scanner.scan_directive: a comment after a directive needs a space before it
    // in PyYAML, not in libyaml.
    void check_directives(const yaml_mark_t& start, const yaml_mark_t& end_mark) {
        const char* p = source_->at(start.index);
        const char* end = source_->at(end_mark.index);
        bool directive = true, comment = false;  // the document's first line is a directive
        for (; p < end; ++p) {
            if (*p == '\n' || *p == '\r') {
                directive = p + 1 < end && p[1] == '%';
                comment = false;
            } else if (directive && !comment && *p == '#') {
                comment = true;
                if (p[-1] != ' ')
                    fail("invalid", start, "while scanning a directive: expected ' ' before a comment");
            }
        }
    }

    // Scanner.scan_tag: a second '!' before the next space makes a handle, whose
    // characters between the two must be word characters; libyaml takes others.
    void check_tag(const yaml_mark_t& mark, const char* p, const char* end) {
        if (p + 1 < end && p[1] == '<')
            return;
        const char* q = p + 1;
        while (q < end && *q != ' ' && !line_break(q, end) && *q != '!')
            ++q;
        if (q == end || *q != '!')
            return;
        for (const char* c = p + 1; c < q; ++c)
            if (!(digit(*c) || (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || *c == '-' || *c == '_'))
                fail("invalid", mark, "while scanning a tag: expected '!', but found '%c'", *c);
    }

    // ---- errors ----------------------------------------------------------------

    [[noreturn]] void raise_error(const char* reason, const yaml_mark_t& mark, handle problem) {
        yaml_reader::raise_error(context_, reason, problem, mark.line + 1, mark.column + 1);
    }

    [[noreturn]] void fail(const char* reason, const yaml_mark_t& mark, const char* format, ...) {
        va_list vargs;
        va_start(vargs, format);
        object problem = py::steal(PyUnicode_FromFormatV(format, vargs));
        va_end(vargs);
        if (!problem)
            py::throw_error();
        raise_error(reason, mark, problem);
    }

    [[noreturn]] void parser_error() {
        object problem = py::take(PyUnicode_DecodeUTF8(
            parser_.problem ? parser_.problem : "cannot parse",
            Py_ssize_t(std::strlen(parser_.problem ? parser_.problem : "cannot parse")), "replace"));
        if (parser_.error == YAML_MEMORY_ERROR) {
            PyErr_NoMemory();
            py::throw_error();
        }
        // The reader's marks count characters, its problem_mark is left at zero.
        yaml_mark_t mark = parser_.problem_mark;
        if (parser_.error == YAML_READER_ERROR) {
            mark = yaml_mark_t{};
            object detail = py::take(PyUnicode_FromFormat("%U (byte %zu)", problem.ptr(), parser_.problem_offset));
            problem = std::move(detail);
        }
        if (parser_.context) {
            object with_context = py::take(PyUnicode_FromFormat("%s (line %zu column %zu): %U", parser_.context,
                                                                parser_.context_mark.line + 1,
                                                                parser_.context_mark.column + 1, problem.ptr()));
            problem = std::move(with_context);
        }
        bool unsupported = libyaml_only(parser_.problem) || flow_tag_before(mark);
        raise_error(unsupported ? "unsupported" : "invalid", mark, problem);
    }

    // libyaml ends a tag at a flow indicator and then trips over what follows it
    // ("!a,&"), before check_properties sees the tag: PyYAML reads on. Any tag
    // before the error that holds a flow indicator leaves the text to PyYAML
    // (a tag-like run inside a quoted scalar only costs the slower reading).
    bool flow_tag_before(const yaml_mark_t& mark) {
        const char* begin = source_->at(0);
        const char* end = std::min(source_->end(), source_->at(mark.index) + 1);
        for (const char* p = begin; p < end; ++p) {
            if (*p != '!' || (p > begin && !std::strchr(" \t\r\n[{,", p[-1])))
                continue;
            for (const char* q = p + 1; q < end && !std::strchr(" \t\r\n", *q); ++q)
                if (std::strchr(",[]{}", *q))
                    return true;
        }
        return false;
    }

    // What libyaml refuses and PyYAML reads: the escape of a lone surrogate, an
    // unknown directive (PyYAML ignores it), a YAML version 1.x other than 1.1 and 1.2.
    static bool libyaml_only(const char* problem) {
        // And "x:" before a flow indicator, where PyYAML ends the plain scalar at ':'; a
        // lone '?' in a flow sequence; a tag running into a flow indicator; a tab after
        // the spaces that begin a block scalar's first line.
        static const char* const problems[] = {"found invalid Unicode character escape code",
                                               "found unknown directive name",
                                               "found incompatible YAML document",
                                               "found unexpected ':'",
                                               "did not find expected ',' or ']'",
                                               "did not find expected whitespace or line break",
                                               "did not find expected tag URI",
                                               "found a tab character where an indentation space is expected"};
        for (const char* known : problems)
            if (problem && std::strcmp(problem, known) == 0)
                return true;
        return false;
    }

    // A constructor's Python error (int() of a malformed !!int, an unhashable key,
    // a month 13) becomes the reader's, its cause kept.
    template <typename F>
    object constructing(const yaml_mark_t& mark, const char* what, F&& body) {
        try {
            return body();
        } catch (const py::error_already_set&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
                PyErr_ExceptionMatches(context_.error_type.ptr()))
                throw;
            py::caught_error error;
            object text = py::str(error.value());
            object problem = py::take(PyUnicode_FromFormat("cannot construct %s: %s: %U", what,
                                                           Py_TYPE(error.value().ptr())->tp_name, text.ptr()));
            try {
                raise_error("invalid", mark, problem);
            } catch (const py::error_already_set&) {
                PyObject *type, *value, *tb;
                PyErr_Fetch(&type, &value, &tb);
                PyErr_NormalizeException(&type, &value, &tb);
                PyException_SetCause(value, py::borrow(error.value()).release());
                PyErr_Restore(type, value, tb);
                throw;
            }
        }
    }

    // ---- counting --------------------------------------------------------------

    void count(Py_ssize_t nodes, const yaml_mark_t& mark) {
        nodes_ += nodes;
        if (nodes_ > limits_.max_nodes)
            fail("nodes", mark, "the document has more than %zd nodes", limits_.max_nodes);
    }

    // ---- scalars: SafeConstructor.construct_yaml_* ----------------------------------

    static object text_of(string_view v) {
        return py::take(PyUnicode_DecodeUTF8(v.data(), Py_ssize_t(v.size()), "strict"));
    }

    static bool ascii(string_view v) {
        for (unsigned char c : v)
            if (c >= 0x80)
                return false;
        return true;
    }

    static std::string without_underscores(string_view v) {
        std::string s;
        s.reserve(v.size());
        for (char c : v)
            if (c != '_')
                s += c;
        return s;
    }

    // int(text, base), as Python reads it.
    static object to_int(string_view text, int base) {
        if (base == 10 && !text.empty() && text.size() <= 18) {
            long long n = 0;
            bool plain = true;
            for (char c : text) {
                if (!digit(c)) {
                    plain = false;
                    break;
                }
                n = n * 10 + (c - '0');
            }
            if (plain)
                return py::take(PyLong_FromLongLong(n));
        }
        return py::take(PyLong_FromUnicodeObject(text_of(text).ptr(), base));
    }

    // float(text), as Python reads it.
    static double to_float(string_view text) {
        bool simple = !text.empty();
        for (char c : text)
            simple = simple && (digit(c) || c == '.' || c == 'e' || c == '-' || c == '+');
        if (simple) {
            std::string buffer(text);
            char* end = nullptr;
            double result = PyOS_string_to_double(buffer.c_str(), &end, nullptr);
            if (result == -1.0 && PyErr_Occurred())
                py::throw_error();
            if (end == buffer.c_str() + buffer.size())
                return result;
        }
        object value = py::take(PyFloat_FromString(text_of(text).ptr()));
        return PyFloat_AS_DOUBLE(value.ptr());
    }

    [[noreturn]] static void index_error() { py::raise(PyExc_IndexError, "string index out of range"); }

    // A text's lower-case form: ASCII here, anything else through str.lower().
    static std::string lowered(string_view v) {
        if (ascii(v)) {
            std::string s(v);
            for (char& c : s)
                if (c >= 'A' && c <= 'Z')
                    c = char(c - 'A' + 'a');
            return s;
        }
        object lower = py::call_method(text_of(v), n::lower);
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(lower.ptr(), &size);
        if (!data)
            py::throw_error();
        return std::string(data, size_t(size));
    }

    static object construct_int(string_view v) {
        std::string s = without_underscores(v);
        if (s.empty())
            index_error();
        bool negative = s[0] == '-';
        string_view rest(s);
        if (s[0] == '-' || s[0] == '+')
            rest.remove_prefix(1);
        object result;
        if (rest == "0")
            return py::integer(0);
        if (rest.substr(0, 2) == "0b")
            result = to_int(rest.substr(2), 2);
        else if (rest.substr(0, 2) == "0x")
            result = to_int(rest.substr(2), 16);
        else if (rest.empty())
            index_error();
        else if (rest[0] == '0')
            result = to_int(rest, 8);
        else if (rest.find(':') != string_view::npos) {
            // Base 60, the last part the units.
            result = py::integer(0);
            object base = py::integer(1), sixty = py::integer(60);
            size_t end = rest.size();
            for (;;) {
                size_t colon = end == 0 ? string_view::npos : rest.rfind(':', end - 1);
                size_t begin = colon == string_view::npos ? 0 : colon + 1;
                object part = to_int(rest.substr(begin, end - begin), 10);
                result = py::add(result, py::take(PyNumber_Multiply(part.ptr(), base.ptr())));
                base = py::take(PyNumber_Multiply(base.ptr(), sixty.ptr()));
                if (colon == string_view::npos)
                    break;
                end = colon;
            }
        } else
            result = to_int(rest, 10);
        return negative ? py::take(PyNumber_Negative(result.ptr())) : result;
    }

    object construct_float(string_view v) const {
        std::string s = lowered(without_underscores(v));
        if (s.empty())
            index_error();
        double sign = s[0] == '-' ? -1.0 : 1.0;
        string_view rest(s);
        if (s[0] == '-' || s[0] == '+')
            rest.remove_prefix(1);
        if (rest == ".inf")
            return py::take(PyFloat_FromDouble(sign * Py_HUGE_VAL));
        if (rest == ".nan")
            return context_.nan;
        if (rest.find(':') != string_view::npos) {
            double value = 0.0, base = 1.0;
            size_t end = rest.size();
            for (;;) {
                size_t colon = end == 0 ? string_view::npos : rest.rfind(':', end - 1);
                size_t begin = colon == string_view::npos ? 0 : colon + 1;
                double part = to_float(rest.substr(begin, end - begin));
                value += part * base;
                base *= 60;
                if (colon == string_view::npos)
                    break;
                end = colon;
            }
            return py::take(PyFloat_FromDouble(sign * value));
        }
        return py::take(PyFloat_FromDouble(sign * to_float(rest)));
    }

    static object construct_bool(string_view v) {
        std::string s = lowered(v);
        if (s == "yes" || s == "true" || s == "on")
            return py::boolean(true);
        if (s == "no" || s == "false" || s == "off")
            return py::boolean(false);
        object key = text_of(s);
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        py::throw_error();
    }

    static int field(string_view digits) {
        int n = 0;
        for (char c : digits)
            n = n * 10 + (c - '0');
        return n;
    }

    static object construct_timestamp(string_view v) {
        if (!v.empty() && v.back() == '\n')
            v.remove_suffix(1);
        Timestamp t;
        if (!parse_timestamp(v, t))
            py::raise(PyExc_AttributeError, "'NoneType' object has no attribute 'groupdict'");
        int year = field(t.year), month = field(t.month), day = field(t.day);
        if (!t.time)
            return py::take(PyDate_FromDate(year, month, day));
        int fraction = 0;
        if (!t.fraction.empty()) {
            std::string six(t.fraction.substr(0, 6));
            six.resize(6, '0');
            fraction = field(six);
        }
        object tzinfo = py::none();
        if (t.tz_sign) {
            int seconds = field(t.tz_hour) * 3600 + field(t.tz_minute) * 60;
            object delta = py::take(PyDelta_FromDSU(0, t.tz_sign == '-' ? -seconds : seconds, 0));
            tzinfo = py::take(PyTimeZone_FromOffset(delta.ptr()));
        } else if (t.zulu) {
            tzinfo = py::borrow(PyDateTime_TimeZone_UTC);
        }
        return py::take(PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, field(t.hour), field(t.minute),
                                                                field(t.second), fraction, tzinfo.ptr(),
                                                                PyDateTimeAPI->DateTimeType));
    }

    object construct_binary(string_view v) const {
        if (!ascii(v))
            py::raise(PyExc_ValueError, "failed to convert base64 data into ascii");
        object data = py::take(PyBytes_FromStringAndSize(v.data(), Py_ssize_t(v.size())));
        return py::call(context_.decodebytes, data);
    }

    object construct_scalar(Tag tag, string_view v, const yaml_mark_t& mark, const char* tag_text) {
        switch (tag) {
        case Tag::str: return text_of(v);
        case Tag::null: return py::none();
        case Tag::int_: return constructing(mark, "an int", [&] { return construct_int(v); });
        case Tag::float_: return constructing(mark, "a float", [&] { return construct_float(v); });
        case Tag::bool_: return constructing(mark, "a bool", [&] { return construct_bool(v); });
        case Tag::timestamp: return constructing(mark, "a timestamp", [&] { return construct_timestamp(v); });
        case Tag::binary: return constructing(mark, "binary data", [&] { return construct_binary(v); });
        case Tag::seq: fail("invalid", mark, "expected a sequence node, but found scalar");
        case Tag::map:
        case Tag::set: fail("invalid", mark, "expected a mapping node, but found scalar");
        case Tag::omap:
        case Tag::pairs: fail("invalid", mark, "expected a sequence, but found scalar");
        default: undefined(mark, tag, tag_text);
        }
    }

    [[noreturn]] void undefined(const yaml_mark_t& mark, Tag tag, const char* tag_text) {
        const char* names[] = {"merge", "value", "yaml"};
        if (tag == Tag::merge || tag == Tag::value || tag == Tag::yaml)
            fail("invalid", mark, "could not determine a constructor for the tag 'tag:yaml.org,2002:%s'",
                 names[int(tag) - int(Tag::merge)]);
        fail("invalid", mark, "could not determine a constructor for the tag '%s'", tag_text ? tag_text : "");
    }

    void scalar(const yaml_event_t& event) {
        count(1, event.start_mark);
        const auto& data = event.data.scalar;
        string_view value(reinterpret_cast<const char*>(data.value), data.length);
        const char* tag_text = reinterpret_cast<const char*>(data.tag);
        // PyYAML ends a plain scalar at '?' in a flow collection, and the '?' that
        // follows then fails its parser; libyaml reads on.
        if (data.style == YAML_PLAIN_SCALAR_STYLE && flow_depth_ > 0 && value.size() > 1 &&
            std::memchr(value.data() + 1, '?', value.size() - 1))
            fail("invalid", event.start_mark, "found '?' inside a plain scalar in a flow collection");
        check_properties(event.start_mark, tag_text != nullptr,
                         data.style == YAML_LITERAL_SCALAR_STYLE || data.style == YAML_FOLDED_SCALAR_STYLE);
        // The non-specific tag '!' resolves as a plain scalar in PyYAML, even on an
        // empty node, where libyaml leaves the flag unset.
        bool non_specific = tag_text && std::strcmp(tag_text, "!") == 0;
        Tag tag = !tag_text || non_specific ? resolve(value, data.plain_implicit || non_specific) : tag_named(tag_text);
        Node node;
        node.mark = event.start_mark;
        // SafeConstructor.flatten_mapping: in a mapping's key, a merge key merges and
        // a value key ('=') is text; as an !!omap item's key both are constructed.
        bool special_key = !stack_.empty() && stack_.back().kind == Kind::mapping && !stack_.back().have_key &&
                           stack_.back().mode != Mode::items;
        if (special_key && tag == Tag::merge)
            node.merge_key = true;
        else if (special_key && tag == Tag::value)
            node.value = text_of(value);
        else
            node.value = construct_scalar(tag, value, event.start_mark, tag_text);
        if (data.anchor)
            add_anchor(reinterpret_cast<const char*>(data.anchor), event.start_mark, Anchor{node, false});
        deliver(std::move(node));
    }

    // ---- anchors and aliases (Composer.compose_node) ---------------------------------

    void add_anchor(const char* name, const yaml_mark_t& mark, Anchor anchor) {
        if (!anchors_.emplace(name, std::move(anchor)).second)
            fail("invalid", mark, "found duplicate anchor '%s'", name);
    }

    void alias(const yaml_event_t& event) {
        const char* name = reinterpret_cast<const char*>(event.data.alias.anchor);
        if (!limits_.aliases)
            fail("alias", event.start_mark, "found an alias (*%s); aliases are refused here", name);
        auto found = anchors_.find(name);
        if (found == anchors_.end())
            fail("invalid", event.start_mark, "found undefined alias '%s'", name);
        const Anchor& anchor = found->second;
        count(anchor.node.size, event.start_mark);
        Node node = anchor.node;
        node.mark = event.start_mark;
        if (anchor.open && next_mode() != Mode::normal)
            fail("invalid", event.start_mark, "found a recursive merge through the alias *%s", name);
        deliver(std::move(node));
    }

    // ---- collections -------------------------------------------------------------

    // How the next node in the open collection is read.
    Mode next_mode() const {
        if (stack_.empty())
            return Mode::normal;
        const Frame& parent = stack_.back();
        if (parent.kind == Kind::sequence) {
            if (parent.mode == Mode::merge)
                return Mode::merge;
            if (parent.tag == Tag::omap || parent.tag == Tag::pairs)
                return Mode::items;
            return Mode::normal;
        }
        return parent.have_key && parent.key_merges ? Mode::merge : Mode::normal;
    }

    void start(const yaml_event_t& event, Kind kind, const char* tag_text, const char* anchor) {
        count(1, event.start_mark);
        check_properties(event.start_mark, tag_text != nullptr, false);
        // An explicit key in a flow sequence: the two parsers disagree on its empty forms.
        if (kind == Kind::mapping && !stack_.empty() && stack_.back().flow && stack_.back().kind == Kind::sequence) {
            const char* p = source_->at(event.start_mark.index);
            if (p < source_->end() && *p == '?')
                fail("unsupported", event.start_mark, "an explicit key in a flow sequence");
        }
        if (Py_ssize_t(stack_.size()) >= limits_.max_depth)
            fail("depth", event.start_mark, "nested too deeply (more than %zd levels)", limits_.max_depth);
        Tag tag = !tag_text || std::strcmp(tag_text, "!") == 0 ? (kind == Kind::sequence ? Tag::seq : Tag::map)
                                                               : tag_named(tag_text);
        Mode mode = next_mode();
        bool in_merged_sequence = !stack_.empty() && stack_.back().kind == Kind::sequence &&
                                  stack_.back().mode == Mode::merge;
        Frame frame;
        frame.kind = kind;
        frame.mode = mode;
        frame.tag = tag;
        // Read for its entries only, unless an alias may want the object, or the
        // merged sequence holding it is itself built.
        frame.build = mode == Mode::normal || anchor || (in_merged_sequence && stack_.back().build);
        // An anchored collection keeps what a merge through an alias needs.
        frame.keep_entries = anchor ||
                             (!stack_.empty() && stack_.back().keep_entries && stack_.back().kind == Kind::sequence);
        frame.mark = event.start_mark;
        frame.flow = kind == Kind::sequence ? event.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE
                                            : event.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE;
        frame.anchor = anchor ? anchor : "";
        frame.first_node = nodes_ - 1;
        if (frame.build) {
            // Checked as the constructor would, before any item is read.
            if (kind == Kind::sequence) {
                if (tag == Tag::seq || tag == Tag::omap || tag == Tag::pairs)
                    frame.value = py::new_list();
                else if (tag == Tag::map || tag == Tag::set)
                    fail("invalid", event.start_mark, "expected a mapping node, but found sequence");
                else if (is_scalar_tag(tag))
                    fail("invalid", event.start_mark, "expected a scalar node, but found sequence");
                else
                    undefined(event.start_mark, tag, tag_text);
            } else {
                if (tag == Tag::map) {
                    frame.value = py::new_dict();
                    frame.direct = mode == Mode::normal && !frame.keep_entries;
                } else if (tag == Tag::set)
                    frame.value = py::take(PySet_New(nullptr));
                else if (tag == Tag::seq)
                    fail("invalid", event.start_mark, "expected a sequence node, but found mapping");
                else if (tag == Tag::omap || tag == Tag::pairs)
                    fail("invalid", event.start_mark, "expected a sequence, but found mapping");
                else if (is_scalar_tag(tag))
                    fail("invalid", event.start_mark, "expected a scalar node, but found mapping");
                else
                    undefined(event.start_mark, tag, tag_text);
            }
        }
        if (anchor) {
            Node open;
            open.kind = kind;
            open.value = frame.value;
            open.mark = event.start_mark;
            add_anchor(anchor, event.start_mark, Anchor{std::move(open), true});
        }
        stack_.push_back(std::move(frame));
    }

    // Fills a dict (or a set) from entries, as BaseConstructor.construct_mapping does.
    void store(handle target, const Entry& entry, const yaml_mark_t& mark) {
        if (PyObject_Hash(entry.key.ptr()) == -1) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError))
                py::throw_error();
            PyErr_Clear();
            fail("invalid", mark, "while constructing a mapping: found unhashable key (%s)",
                 Py_TYPE(entry.key.ptr())->tp_name);
        }
        if (PyDict_Check(target.ptr()))
            py::check(PyDict_SetItem(target.ptr(), entry.key.ptr(), entry.value.ptr()));
        else
            py::check(PySet_Add(target.ptr(), entry.key.ptr()));
    }

    void finish() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        flow_depth_ -= frame.flow;
        Node node;
        node.kind = frame.kind;
        node.value = frame.value;
        node.mark = frame.mark;
        node.size = nodes_ - frame.first_node;
        if (frame.kind == Kind::mapping) {
            if (!frame.direct) {
                auto entries = std::make_shared<Entries>(std::move(frame.merge));
                for (Entry& entry : frame.own)
                    entries->push_back(std::move(entry));
                if (frame.build)
                    for (const Entry& entry : *entries)
                        store(frame.value, entry, frame.mark);
                if (frame.mode != Mode::normal || frame.keep_entries)
                    node.entries = std::move(entries);
            }
        } else if (frame.mode == Mode::merge || frame.keep_entries) {
            // SafeConstructor.flatten_mapping: the items' entries, the last item's first.
            if (!frame.unmergeable) {
                auto entries = std::make_shared<Entries>();
                for (auto it = frame.submerge.rbegin(); it != frame.submerge.rend(); ++it)
                    entries->insert(entries->end(), (*it)->begin(), (*it)->end());
                node.entries = std::move(entries);
            }
        }
        if (!frame.anchor.empty()) {
            Anchor& anchor = anchors_.at(frame.anchor);
            anchor.node = node;
            anchor.open = false;
        }
        deliver(std::move(node));
    }

    void deliver(Node&& node) {
        // A merge key anywhere but in a mapping's key is constructed, and has no constructor.
        if (node.merge_key && (stack_.empty() || stack_.back().kind != Kind::mapping || stack_.back().have_key ||
                               stack_.back().mode == Mode::items))
            undefined(node.mark, Tag::merge, nullptr);
        if (stack_.empty()) {
            root_ = std::move(node.value);
            return;
        }
        Frame& frame = stack_.back();
        if (frame.kind == Kind::sequence) {
            if (frame.mode == Mode::merge && node.kind != Kind::mapping)
                fail("invalid", node.mark, "while constructing a mapping: expected a mapping for merging, but found %s",
                     kind_name(node.kind));
            if (frame.mode == Mode::merge || frame.keep_entries) {
                if (node.entries && node.kind == Kind::mapping)
                    frame.submerge.push_back(node.entries);
                else if (!frame.unmergeable)
                    frame.unmergeable = kind_name(node.kind);
            }
            if (!frame.build)
                return;
            if (frame.mode == Mode::normal && (frame.tag == Tag::omap || frame.tag == Tag::pairs)) {
                // SafeConstructor.construct_yaml_omap / construct_yaml_pairs.
                const char* what = frame.tag == Tag::omap ? "an ordered map" : "pairs";
                if (node.kind != Kind::mapping)
                    fail("invalid", node.mark, "while constructing %s: expected a mapping of length 1, but found %s",
                         what, kind_name(node.kind));
                if (node.entries->size() != 1)
                    fail("invalid", node.mark,
                         "while constructing %s: expected a single mapping item, but found %zd items", what,
                         Py_ssize_t(node.entries->size()));
                const Entry& entry = node.entries->front();
                py::append(frame.value, py::tuple(entry.key, entry.value));
                return;
            }
            py::check(PyList_Append(frame.value.ptr(), node.value.ptr()));
            return;
        }
        if (!frame.have_key) {
            frame.key = std::move(node.value);
            frame.key_merges = node.merge_key;
            frame.have_key = true;
            if (node.merge_key && frame.direct) {
                // The merged entries go first: what was read straight in waits behind them.
                Py_ssize_t pos = 0;
                PyObject *key, *value;
                while (PyDict_Next(frame.value.ptr(), &pos, &key, &value))
                    frame.own.push_back({py::borrow(key), py::borrow(value)});
                PyDict_Clear(frame.value.ptr());
                frame.direct = false;
            }
            return;
        }
        frame.have_key = false;
        if (frame.key_merges) {
            if (!node.entries)
                fail("invalid", node.mark,
                     "while constructing a mapping: expected a mapping or list of mappings for merging, but found %s",
                     kind_name(node.kind));
            frame.merge.insert(frame.merge.end(), node.entries->begin(), node.entries->end());
            return;
        }
        if (frame.direct) {
            store(frame.value, Entry{std::move(frame.key), std::move(node.value)}, frame.mark);
            return;
        }
        frame.own.push_back({std::move(frame.key), std::move(node.value)});
    }

    const Context& context_;
    const Limits& limits_;
    yaml_parser_t parser_;
    std::vector<Frame> stack_;
    std::unordered_map<std::string, Anchor> anchors_;
    object root_;
    Py_ssize_t nodes_ = 0;
    int flow_depth_ = 0;  // open flow collections
    std::unique_ptr<Source> source_;
};

}  // namespace

namespace n {
KOVRA_NAME_TABLE(READER_NAMES)
}  // namespace n

py::Names names() { return py::Names(n::table); }

void raise_error(const Context& context, const char* reason, handle problem, size_t line, size_t column) {
    object message = py::take(PyUnicode_FromFormat("%U at line %zu column %zu", problem.ptr(), line, column));
    object error = py::call(context.error_type, message);
    py::setattr(error, n::problem, problem);
    py::setattr(error, n::line, py::take(PyLong_FromSize_t(line)));
    py::setattr(error, n::column, py::take(PyLong_FromSize_t(column)));
    py::setattr(error, n::reason, py::text(reason));
    PyErr_SetObject(context.error_type.ptr(), error.ptr());
    py::throw_error();
}

void initialise(Context& context) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        py::throw_error();
    object base64 = py::take(PyImport_ImportModule("base64"));
    context.decodebytes = py::getattr(base64, n::decodebytes);
    // As SafeConstructor.nan_value is made: the NaN of -inf/inf, computed at run time.
    volatile double inf = 1e300;
    while (inf != inf * inf)
        inf = inf * inf;
    volatile double nan = -inf / inf;
    context.nan = py::take(PyFloat_FromDouble(nan));
}

py::object load(const Context& context, const char* data, size_t size, const Limits& limits) {
    Reader reader(context, limits);
    return reader.run(data, size);
}

}  // namespace yaml_reader
