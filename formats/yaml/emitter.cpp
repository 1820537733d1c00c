#include "formats/yaml/emitter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace formats::yaml {
namespace {

bool is_break(Py_UCS4 ch) { return ch == '\n' || ch == 0x85 || ch == 0x2028 || ch == 0x2029; }

bool is_printable_ascii(Py_UCS4 ch) { return ch >= 0x20 && ch <= 0x7E; }

// Character classes for analyze_scalar, by table for ASCII.
enum : unsigned char {
    leading_indicator = 1,     // '#,[]{}&*!|>\'"%@`' at the start
    inner_flow_indicator = 2,  // ',?[]{}' anywhere else
    blank_or_break = 4,        // '\0 \t\r\n\x85\u2028\u2029'
    line_break = 8,            // '\n\x85\u2028\u2029'
    special = 16,              // not printable ASCII nor '\n' (allow_unicode off)
};

struct ClassTable {
    unsigned char flags[128] = {};
    ClassTable() {
        for (const char* p = "#,[]{}&*!|>'\"%@`"; *p; ++p)
            flags[static_cast<unsigned char>(*p)] |= leading_indicator;
        for (const char* p = ",?[]{}"; *p; ++p)
            flags[static_cast<unsigned char>(*p)] |= inner_flow_indicator;
        for (unsigned char ch : {'\0', ' ', '\t', '\r', '\n'})
            flags[ch] |= blank_or_break;
        flags[static_cast<unsigned char>('\n')] |= line_break;
        for (unsigned ch = 0; ch < 128; ++ch)
            if (ch != '\n' && !is_printable_ascii(ch))
                flags[ch] |= special;
    }
};
const ClassTable classes;

// Printable ASCII that changes nothing in the analysis after the first place:
// no indicator, blank or break, and not ':' or '#'.
bool unremarkable(Py_UCS4 ch) { return ch < 0x80 && classes.flags[ch] == 0 && ch != ':' && ch != '#' && ch != '?'; }

unsigned char classify(Py_UCS4 ch) {
    if (ch < 0x80)
        return classes.flags[ch];
    return is_break(ch) ? special | line_break | blank_or_break : special;
}

[[noreturn]] void emitter_error(const char* message) { throw std::logic_error(message); }

template <typename Char>
ScalarAnalysis analyze(const Char* scalar, Py_ssize_t length) {
    // Empty scalar is a special case.
    if (length == 0)
        return {true, false, false, true, true, true, false};

    // Indicators and special characters.
    bool block_indicators = false, flow_indicators = false, line_breaks = false, special_characters = false;

    // Important whitespace combinations.
    bool leading_space = false, leading_break = false, trailing_space = false, trailing_break = false;
    bool break_space = false, space_break = false;

    // Check document indicators.
    if (length >= 3 && ((scalar[0] == '-' && scalar[1] == '-' && scalar[2] == '-') ||
                        (scalar[0] == '.' && scalar[1] == '.' && scalar[2] == '.'))) {
        block_indicators = true;
        flow_indicators = true;
    }

    bool preceded_by_whitespace = true;
    // Classes of the character at index, and of the two after it.
    unsigned char cls = classify(scalar[0]);
    unsigned char next = length > 1 ? classify(scalar[1]) : 0;
    bool followed_by_whitespace = length == 1 || (next & blank_or_break);
    bool previous_space = false, previous_break = false;

    // Most texts are words: when nothing after the first place can set a flag,
    // the first place alone decides (the loop below would only reset flags).
    Py_ssize_t remarkable = 1;
    while (remarkable < length && unremarkable(scalar[remarkable]))
        ++remarkable;
    Py_ssize_t stop = remarkable == length ? 1 : length;

    for (Py_ssize_t index = 0; index < stop; ++index) {
        Py_UCS4 ch = scalar[index];
        unsigned char after_next = index + 2 < length ? classify(scalar[index + 2]) : 0;

        // Check for indicators.
        if (index == 0) {
            // Leading indicators are special characters.
            if (cls & leading_indicator) {
                flow_indicators = true;
                block_indicators = true;
            }
            if (ch == '?' || ch == ':') {
                flow_indicators = true;
                if (followed_by_whitespace)
                    block_indicators = true;
            }
            if (ch == '-' && followed_by_whitespace) {
                flow_indicators = true;
                block_indicators = true;
            }
        } else {
            // Some indicators cannot appear within a scalar as well.
            if (cls & inner_flow_indicator)
                flow_indicators = true;
            if (ch == ':') {
                flow_indicators = true;
                if (followed_by_whitespace)
                    block_indicators = true;
            }
            if (ch == '#' && preceded_by_whitespace) {
                flow_indicators = true;
                block_indicators = true;
            }
        }

        // Check for line breaks, special, and unicode characters. With
        // allow_unicode off, every character but printable ASCII and "\n" is special.
        if (cls & line_break)
            line_breaks = true;
        if (cls & special)
            special_characters = true;

        // Detect important whitespace combinations.
        if (ch == ' ') {
            if (index == 0)
                leading_space = true;
            if (index == length - 1)
                trailing_space = true;
            if (previous_break)
                break_space = true;
            previous_space = true;
            previous_break = false;
        } else if (cls & line_break) {
            if (index == 0)
                leading_break = true;
            if (index == length - 1)
                trailing_break = true;
            if (previous_space)
                space_break = true;
            previous_space = false;
            previous_break = true;
        } else {
            previous_space = false;
            previous_break = false;
        }

        // Prepare for the next character.
        preceded_by_whitespace = cls & blank_or_break;
        followed_by_whitespace = index + 2 >= length || (after_next & blank_or_break);
        cls = next;
        next = after_next;
    }

    // Let's decide what styles are allowed.
    ScalarAnalysis result{false, line_breaks, true, true, true, true, true};

    // Leading and trailing whitespaces are bad for plain scalars.
    if (leading_space || leading_break || trailing_space || trailing_break)
        result.allow_flow_plain = result.allow_block_plain = false;

    // We do not permit trailing spaces for block scalars.
    if (trailing_space)
        result.allow_block = false;

    // Spaces at the beginning of a new line are only acceptable for block scalars.
    if (break_space)
        result.allow_flow_plain = result.allow_block_plain = result.allow_single_quoted = false;

    // Spaces followed by breaks, as well as special character are only allowed
    // for double quoted scalars.
    if (space_break || special_characters)
        result.allow_flow_plain = result.allow_block_plain = result.allow_single_quoted = result.allow_block = false;

    // Although the plain scalar writer supports breaks, we never emit multiline plain scalars.
    if (line_breaks)
        result.allow_flow_plain = result.allow_block_plain = false;

    // Flow indicators are forbidden for flow plain scalars.
    if (flow_indicators)
        result.allow_flow_plain = false;

    // Block indicators are forbidden for block plain scalars.
    if (block_indicators)
        result.allow_block_plain = false;

    return result;
}

// Calls body(chars, length) with the text's storage in its own character width.
template <typename Body>
auto with_text(PyObject* text, Body&& body) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return body(PyUnicode_1BYTE_DATA(text), length);
    case PyUnicode_2BYTE_KIND: return body(PyUnicode_2BYTE_DATA(text), length);
    default: return body(PyUnicode_4BYTE_DATA(text), length);
    }
}

const char* escape_replacement(Py_UCS4 ch) {
    switch (ch) {
    case 0x00: return "0";
    case 0x07: return "a";
    case 0x08: return "b";
    case 0x09: return "t";
    case 0x0A: return "n";
    case 0x0B: return "v";
    case 0x0C: return "f";
    case 0x0D: return "r";
    case 0x1B: return "e";
    case '"': return "\"";
    case '\\': return "\\";
    case 0x85: return "N";
    case 0xA0: return "_";
    case 0x2028: return "L";
    case 0x2029: return "P";
    default: return nullptr;
    }
}

}  // namespace

// ---- Output ----------------------------------------------------------------------

void Output::write_spilling(const char* data, size_t size) {
    while (size) {
        if (!current_ || used_ == chunk_size) {
            char* chunk = static_cast<char*>(PyMem_RawMalloc(chunk_size));
            if (!chunk)
                throw std::bad_alloc();
            if (current_)
                full_.push_back(current_);
            current_ = chunk;
            used_ = 0;
        }
        size_t room = std::min(size, chunk_size - used_);
        std::memcpy(current_ + used_, data, room);
        used_ += room;
        data += room;
        size -= room;
    }
}

void Output::spaces(size_t count) {
    static const char blanks[] = "                                ";
    while (count) {
        size_t part = std::min(count, sizeof blanks - 1);
        write(blanks, part);
        count -= part;
    }
}

PyObject* Output::finish() {
    size_t total = full_.size() * chunk_size + used_;
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(total), 127);
    if (!text)
        return nullptr;
    char* target = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
    for (char*& chunk : full_) {
        std::memcpy(target, chunk, chunk_size);
        target += chunk_size;
        PyMem_RawFree(chunk);
        chunk = nullptr;
    }
    if (current_)
        std::memcpy(target, current_, used_);
    release();
    return text;
}

void Output::release() {
    for (char* chunk : full_)
        PyMem_RawFree(chunk);
    full_.clear();
    PyMem_RawFree(current_);
    current_ = nullptr;
    used_ = 0;
}

// ---- Emitter -------------------------------------------------------------------

Emitter::Emitter(bool indentless) : indentless_allowed_(indentless), state_(&Emitter::expect_stream_start) {}

void Emitter::emit(const Event& event) {
    event_ = &event;
    (this->*state_)();
    event_ = nullptr;
}

void Emitter::unexpected(const char* expected) { emitter_error(expected); }

void Emitter::increase_indent(bool flow, bool indentless) {
    indents_.push_back(indent_);
    if (indent_ == no_indent)
        indent_ = flow ? best_indent_ : 0;
    else if (!indentless)
        indent_ += best_indent_;
}

// Stream handlers.

void Emitter::expect_stream_start() {
    if (event_->kind != EventKind::StreamStart)
        unexpected("expected StreamStartEvent");
    // No encoding: nothing to write at the start.
    state_ = &Emitter::expect_first_document_start;
}

void Emitter::expect_nothing() { unexpected("expected nothing"); }

// Document handlers.

void Emitter::expect_first_document_start() { expect_document_start(true); }

void Emitter::expect_document_start() { expect_document_start(false); }

void Emitter::expect_document_start(bool first) {
    if (event_->kind == EventKind::DocumentStart) {
        // Every node carries a tag, so the document is never the "empty" one
        // that check_empty_document looks for: the first one stays implicit.
        if (!first) {
            write_indent();
            write_indicator("---", true);
        }
        state_ = &Emitter::expect_document_root;
    } else if (event_->kind == EventKind::StreamEnd) {
        if (open_ended_) {
            write_indicator("...", true);
            write_indent();
        }
        state_ = &Emitter::expect_nothing;
    } else {
        unexpected("expected DocumentStartEvent");
    }
}

void Emitter::expect_document_end() {
    if (event_->kind != EventKind::DocumentEnd)
        unexpected("expected DocumentEndEvent");
    write_indent();
    state_ = &Emitter::expect_document_start;
}

void Emitter::expect_document_root() {
    states_.push_back(&Emitter::expect_document_end);
    expect_node(true, false, false, false);
}

// Node handlers.

void Emitter::expect_node(bool root, bool sequence, bool mapping, bool simple_key) {
    root_context_ = root;
    sequence_context_ = sequence;
    mapping_context_ = mapping;
    simple_key_context_ = simple_key;
    switch (event_->kind) {
    case EventKind::Scalar:
        process_tag();
        expect_scalar();
        break;
    case EventKind::SequenceStart:
        process_tag();
        if (flow_level_ || event_->empty)
            expect_flow_sequence();
        else
            expect_block_sequence();
        break;
    case EventKind::MappingStart:
        process_tag();
        if (flow_level_ || event_->empty)
            expect_flow_mapping();
        else
            expect_block_mapping();
        break;
    default: unexpected("expected NodeEvent");
    }
}

void Emitter::expect_scalar() {
    increase_indent(true);
    process_scalar();
    pop_indent();
    pop_state();
}

// Flow collections: only empty ones are written in flow style.

void Emitter::expect_flow_sequence() {
    write_indicator("[", true, true);
    ++flow_level_;
    increase_indent(true);
    state_ = &Emitter::expect_first_flow_sequence_item;
}

void Emitter::expect_first_flow_sequence_item() {
    if (event_->kind != EventKind::SequenceEnd)
        unexpected("expected the end of an empty sequence");
    pop_indent();
    --flow_level_;
    write_indicator("]", false);
    pop_state();
}

void Emitter::expect_flow_mapping() {
    write_indicator("{", true, true);
    ++flow_level_;
    increase_indent(true);
    state_ = &Emitter::expect_first_flow_mapping_key;
}

void Emitter::expect_first_flow_mapping_key() {
    if (event_->kind != EventKind::MappingEnd)
        unexpected("expected the end of an empty mapping");
    pop_indent();
    --flow_level_;
    write_indicator("}", false);
    pop_state();
}

// Block sequence handlers.

void Emitter::expect_block_sequence() {
    bool indentless = mapping_context_ && !indention_;
    increase_indent(false, indentless && indentless_allowed_);
    state_ = &Emitter::expect_first_block_sequence_item;
}

void Emitter::expect_first_block_sequence_item() { expect_block_sequence_item(true); }

void Emitter::expect_block_sequence_item() { expect_block_sequence_item(false); }

void Emitter::expect_block_sequence_item(bool first) {
    if (!first && event_->kind == EventKind::SequenceEnd) {
        pop_indent();
        pop_state();
    } else {
        write_indent();
        write_indicator("-", true, false, true);
        states_.push_back(&Emitter::expect_block_sequence_item);
        expect_node(false, true, false, false);
    }
}

// Block mapping handlers.

void Emitter::expect_block_mapping() {
    increase_indent(false);
    state_ = &Emitter::expect_first_block_mapping_key;
}

void Emitter::expect_first_block_mapping_key() { expect_block_mapping_key(true); }

void Emitter::expect_block_mapping_key() { expect_block_mapping_key(false); }

void Emitter::expect_block_mapping_key(bool first) {
    if (!first && event_->kind == EventKind::MappingEnd) {
        pop_indent();
        pop_state();
    } else {
        write_indent();
        if (check_simple_key()) {
            states_.push_back(&Emitter::expect_block_mapping_simple_value);
            expect_node(false, false, true, true);
        } else {
            write_indicator("?", true, false, true);
            states_.push_back(&Emitter::expect_block_mapping_value);
            expect_node(false, false, true, false);
        }
    }
}

void Emitter::expect_block_mapping_simple_value() {
    write_indicator(":", false);
    states_.push_back(&Emitter::expect_block_mapping_key);
    expect_node(false, false, true, false);
}

void Emitter::expect_block_mapping_value() {
    write_indent();
    write_indicator(":", true, false, true);
    states_.push_back(&Emitter::expect_block_mapping_key);
    expect_node(false, false, true, false);
}

// Checkers.

const ScalarAnalysis& Emitter::analysis() {
    if (!has_analysis_) {
        analysis_ = analyze_scalar(event_->value);
        has_analysis_ = true;
    }
    return analysis_;
}

bool Emitter::check_simple_key() {
    Py_ssize_t length = 0;
    bool is_scalar = event_->kind == EventKind::Scalar;
    bool is_collection = event_->kind == EventKind::SequenceStart || event_->kind == EventKind::MappingStart;
    if ((is_scalar || is_collection) && event_->tag) {
        if (!prepared_tag_)
            prepared_tag_ = &prepared(event_->tag);
        length += static_cast<Py_ssize_t>(prepared_tag_->size());
    }
    if (is_scalar) {
        analysis();
        length += PyUnicode_GET_LENGTH(event_->value);
    }
    return length < 128 &&
           ((is_scalar && !analysis().empty && !analysis().multiline) || (is_collection && event_->empty));
}

// Tag and scalar processors.

void Emitter::process_tag() {
    const char* tag = event_->tag;
    if (event_->kind == EventKind::Scalar) {
        if (style_ == no_style)
            style_ = choose_scalar_style();
        if ((style_ == 0 && event_->implicit[0]) || (style_ != 0 && event_->implicit[1])) {
            prepared_tag_ = nullptr;
            return;
        }
    } else if (event_->implicit[0]) {
        prepared_tag_ = nullptr;
        return;
    }
    if (!tag)
        emitter_error("tag is not specified");
    if (!prepared_tag_)
        prepared_tag_ = &prepared(tag);
    if (!prepared_tag_->empty())
        write_indicator(*prepared_tag_, true);
    prepared_tag_ = nullptr;
}

const std::string& Emitter::prepared(const char* tag) {
    for (auto& [known, text] : tag_cache_)
        if (known == tag)
            return text;
    tag_cache_.emplace_back(tag, prepare_tag(tag));
    return tag_cache_.back().second;
}

char Emitter::choose_scalar_style() {
    const ScalarAnalysis& a = analysis();
    char style = event_->style;
    if (style == '"')
        return '"';
    if (!style && event_->implicit[0]) {
        if (!(simple_key_context_ && (a.empty || a.multiline)) &&
            ((flow_level_ && a.allow_flow_plain) || (!flow_level_ && a.allow_block_plain)))
            return 0;
    }
    if (style == '|' || style == '>') {
        if (!flow_level_ && !simple_key_context_ && a.allow_block)
            return style;
    }
    if (!style || style == '\'') {
        if (a.allow_single_quoted && !(simple_key_context_ && a.multiline))
            return '\'';
    }
    return '"';
}

void Emitter::process_scalar() {
    analysis();
    if (style_ == no_style)
        style_ = choose_scalar_style();
    bool split = !simple_key_context_;
    with_text(event_->value, [&](auto* text, Py_ssize_t length) { write_scalar(text, length, split); });
    has_analysis_ = false;
    style_ = no_style;
}

template <typename Char>
void Emitter::write_scalar(const Char* text, Py_ssize_t length, bool split) {
    switch (style_) {
    case '"': write_double_quoted(text, length, split); break;
    case '\'': write_single_quoted(text, length, split); break;
    case '>': write_folded(text, length); break;
    case '|': write_literal(text, length); break;
    default: write_plain(text, length, split);
    }
}

// Writers.

void Emitter::write_indicator(const char* indicator, bool need_whitespace, bool whitespace, bool indention) {
    write_indicator(indicator, std::strlen(indicator), need_whitespace, whitespace, indention);
}

void Emitter::write_indicator(const char* indicator, size_t size, bool need_whitespace, bool whitespace,
                              bool indention) {
    if (!whitespace_ && need_whitespace) {
        stream_.write(' ');
        ++column_;
    }
    whitespace_ = whitespace;
    indention_ = indention_ && indention;
    column_ += static_cast<long>(size);
    open_ended_ = false;
    stream_.write(indicator, size);
}

void Emitter::write_indent() {
    long indent = indent_ == no_indent ? 0 : indent_;
    if (!indention_ || column_ > indent || (column_ == indent && !whitespace_))
        write_line_break();
    if (column_ < indent) {
        whitespace_ = true;
        stream_.spaces(static_cast<size_t>(indent - column_));
        column_ = indent;
    }
}

// Only "\n" ever reaches the writers that pass breaks through: the other breaks
// are special characters, which leave double quotes as the only style.
void Emitter::write_line_break() {
    whitespace_ = true;
    indention_ = true;
    ++line_;
    column_ = 0;
    stream_.write('\n');
}

template <typename Char>
void Emitter::write_text(const Char* text, Py_ssize_t start, Py_ssize_t end) {
    // Every character written unescaped is printable ASCII (see analyze).
    if constexpr (sizeof(Char) == 1) {
        stream_.write(reinterpret_cast<const char*>(text + start), static_cast<size_t>(end - start));
    } else {
        for (Py_ssize_t i = start; i < end; ++i)
            stream_.write(static_cast<char>(text[i]));
    }
}

template <typename Char>
void Emitter::write_single_quoted(const Char* text, Py_ssize_t length, bool split) {
    write_indicator("'", true);
    bool spaces = false, breaks = false;
    Py_ssize_t start = 0;
    for (Py_ssize_t end = 0; end <= length; ++end) {
        bool at_end = end == length;
        Py_UCS4 ch = at_end ? 0 : text[end];
        if (spaces) {
            if (at_end || ch != ' ') {
                if (start + 1 == end && column_ > best_width_ && split && start != 0 && end != length) {
                    write_indent();
                } else {
                    write_text(text, start, end);
                    column_ += end - start;
                }
                start = end;
            }
        } else if (breaks) {
            if (at_end || !is_break(ch)) {
                if (text[start] == '\n')
                    write_line_break();
                for (Py_ssize_t i = start; i < end; ++i)
                    write_line_break();
                write_indent();
                start = end;
            }
        } else {
            if (at_end || ch == ' ' || is_break(ch) || ch == '\'') {
                if (start < end) {
                    write_text(text, start, end);
                    column_ += end - start;
                    start = end;
                }
            }
        }
        if (!at_end && ch == '\'') {
            stream_.write("''", 2);
            column_ += 2;
            start = end + 1;
        }
        if (!at_end) {
            spaces = ch == ' ';
            breaks = is_break(ch);
        }
    }
    write_indicator("'", false);
}

template <typename Char>
void Emitter::write_double_quoted(const Char* text, Py_ssize_t length, bool split) {
    write_indicator("\"", true);
    Py_ssize_t start = 0;
    for (Py_ssize_t end = 0; end <= length; ++end) {
        bool at_end = end == length;
        Py_UCS4 ch = at_end ? 0 : text[end];
        if (at_end || ch == '"' || ch == '\\' || ch == 0x85 || ch == 0x2028 || ch == 0x2029 || ch == 0xFEFF ||
            !is_printable_ascii(ch)) {
            if (start < end) {
                write_text(text, start, end);
                column_ += end - start;
                start = end;
            }
            if (!at_end) {
                char data[12];
                int size;
                if (const char* replacement = escape_replacement(ch))
                    size = std::snprintf(data, sizeof data, "\\%s", replacement);
                else if (ch <= 0xFF)
                    size = std::snprintf(data, sizeof data, "\\x%02X", static_cast<unsigned>(ch));
                else if (ch <= 0xFFFF)
                    size = std::snprintf(data, sizeof data, "\\u%04X", static_cast<unsigned>(ch));
                else
                    size = std::snprintf(data, sizeof data, "\\U%08X", static_cast<unsigned>(ch));
                column_ += size;
                stream_.write(data, static_cast<size_t>(size));
                start = end + 1;
            }
        }
        if (0 < end && end < length - 1 && (ch == ' ' || start >= end) && column_ + (end - start) > best_width_ &&
            split) {
            // text[start:end] is empty when start > end (just after an escape).
            if (start < end) {
                write_text(text, start, end);
                column_ += end - start;
                start = end;
            }
            stream_.write('\\');
            column_ += 1;
            write_indent();
            whitespace_ = false;
            indention_ = false;
            if (text[start] == ' ') {
                stream_.write('\\');
                column_ += 1;
            }
        }
    }
    write_indicator("\"", false);
}

template <typename Char>
std::string Emitter::determine_block_hints(const Char* text, Py_ssize_t length) {
    std::string hints;
    if (length) {
        if (text[0] == ' ' || is_break(text[0]))
            hints += static_cast<char>('0' + best_indent_);
        if (!is_break(text[length - 1]))
            hints += '-';
        else if (length == 1 || is_break(text[length - 2]))
            hints += '+';
    }
    return hints;
}

template <typename Char>
void Emitter::write_folded(const Char* text, Py_ssize_t length) {
    std::string hints = determine_block_hints(text, length);
    write_indicator(">" + hints, true);
    if (!hints.empty() && hints.back() == '+')
        open_ended_ = true;
    write_line_break();
    bool leading_space = true, spaces = false, breaks = true;
    Py_ssize_t start = 0;
    for (Py_ssize_t end = 0; end <= length; ++end) {
        bool at_end = end == length;
        Py_UCS4 ch = at_end ? 0 : text[end];
        if (breaks) {
            if (at_end || !is_break(ch)) {
                if (!leading_space && !at_end && ch != ' ' && text[start] == '\n')
                    write_line_break();
                leading_space = !at_end && ch == ' ';
                for (Py_ssize_t i = start; i < end; ++i)
                    write_line_break();
                if (!at_end)
                    write_indent();
                start = end;
            }
        } else if (spaces) {
            if (at_end || ch != ' ') {
                if (start + 1 == end && column_ > best_width_) {
                    write_indent();
                } else {
                    write_text(text, start, end);
                    column_ += end - start;
                }
                start = end;
            }
        } else {
            if (at_end || ch == ' ' || is_break(ch)) {
                write_text(text, start, end);
                column_ += end - start;
                if (at_end)
                    write_line_break();
                start = end;
            }
        }
        if (!at_end) {
            breaks = is_break(ch);
            spaces = ch == ' ';
        }
    }
}

template <typename Char>
void Emitter::write_literal(const Char* text, Py_ssize_t length) {
    std::string hints = determine_block_hints(text, length);
    write_indicator("|" + hints, true);
    if (!hints.empty() && hints.back() == '+')
        open_ended_ = true;
    write_line_break();
    bool breaks = true;
    Py_ssize_t start = 0;
    for (Py_ssize_t end = 0; end <= length; ++end) {
        bool at_end = end == length;
        Py_UCS4 ch = at_end ? 0 : text[end];
        if (breaks) {
            if (at_end || !is_break(ch)) {
                for (Py_ssize_t i = start; i < end; ++i)
                    write_line_break();
                if (!at_end)
                    write_indent();
                start = end;
            }
        } else {
            if (at_end || is_break(ch)) {
                // As PyYAML: the column is not advanced over literal text.
                write_text(text, start, end);
                if (at_end)
                    write_line_break();
                start = end;
            }
        }
        if (!at_end)
            breaks = is_break(ch);
    }
}

template <typename Char>
void Emitter::write_plain(const Char* text, Py_ssize_t length, bool split) {
    if (root_context_)
        open_ended_ = true;
    if (!length)
        return;
    if (!whitespace_) {
        stream_.write(' ');
        column_ += 1;
    }
    whitespace_ = false;
    indention_ = false;
    // A single word: nothing to fold, written whole.
    Py_ssize_t blank = 0;
    while (blank < length && text[blank] != ' ' && !is_break(text[blank]))
        ++blank;
    if (blank == length) {
        write_text(text, 0, length);
        column_ += length;
        return;
    }
    bool spaces = false, breaks = false;
    Py_ssize_t start = 0;
    for (Py_ssize_t end = 0; end <= length; ++end) {
        bool at_end = end == length;
        Py_UCS4 ch = at_end ? 0 : text[end];
        if (spaces) {
            if (at_end || ch != ' ') {
                if (start + 1 == end && column_ > best_width_ && split) {
                    write_indent();
                    whitespace_ = false;
                    indention_ = false;
                } else {
                    write_text(text, start, end);
                    column_ += end - start;
                }
                start = end;
            }
        } else if (breaks) {
            if (at_end || !is_break(ch)) {
                if (text[start] == '\n')
                    write_line_break();
                for (Py_ssize_t i = start; i < end; ++i)
                    write_line_break();
                write_indent();
                whitespace_ = false;
                indention_ = false;
                start = end;
            }
        } else {
            if (at_end || ch == ' ' || is_break(ch)) {
                write_text(text, start, end);
                column_ += end - start;
                start = end;
            }
        }
        if (!at_end) {
            spaces = ch == ' ';
            breaks = is_break(ch);
        }
    }
}

ScalarAnalysis analyze_scalar(PyObject* text) {
    return with_text(text, [](auto* chars, Py_ssize_t length) { return analyze(chars, length); });
}

std::string prepare_tag(const char* tag) {
    if (!*tag)
        emitter_error("tag must not be empty");
    if (std::strcmp(tag, "!") == 0)
        return tag;
    // The default prefixes, in sorted order; a later match wins, as in PyYAML.
    static const char* const prefixes[][2] = {{"!", "!"}, {"tag:yaml.org,2002:", "!!"}};
    const char* handle = nullptr;
    const char* suffix = tag;
    size_t tag_length = std::strlen(tag);
    for (auto& [prefix, prefix_handle] : prefixes) {
        size_t prefix_length = std::strlen(prefix);
        if (std::strncmp(tag, prefix, prefix_length) == 0 &&
            (std::strcmp(prefix, "!") == 0 || prefix_length < tag_length)) {
            handle = prefix_handle;
            suffix = tag + prefix_length;
        }
    }
    std::string chunks;
    for (const char* p = suffix; *p; ++p) {
        unsigned char ch = static_cast<unsigned char>(*p);
        if ((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
            (ch && std::strchr("-;/?:@&=+$,_.~*'()[]", ch)) ||
            (ch == '!' && !(handle && std::strcmp(handle, "!") == 0))) {
            chunks += static_cast<char>(ch);
        } else {
            // The tag is UTF-8 already: each byte is escaped.
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", ch);
            chunks += escaped;
        }
    }
    if (handle)
        return handle + chunks;
    return "!<" + chunks + ">";
}

}  // namespace formats::yaml
