// A YAML emitter that writes, for block-style documents, the text PyYAML's
// Emitter writes: the same states, scalar analysis, style choice, folding at
// 80 columns and escapes, with PyYAML's defaults (indent 2, width 80, "\n" line
// breaks, allow_unicode and canonical off). Collections are written in block
// style; an empty one in flow style ("[]", "{}"), as PyYAML does for them.
//
// It is fed events, as PyYAML's Serializer feeds its Emitter; a collection start
// says whether the collection is empty, which is the look-ahead PyYAML gets by
// queueing events. No anchors: callers never produce aliases.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace formats::yaml {

enum class EventKind {
    StreamStart,
    StreamEnd,
    DocumentStart,
    DocumentEnd,
    Scalar,
    SequenceStart,
    SequenceEnd,
    MappingStart,
    MappingEnd
};

struct Event {
    EventKind kind;
    const char* tag = nullptr;          // full tag, e.g. "tag:yaml.org,2002:str"; never null for nodes
    bool implicit[2] = {false, false};  // scalars: (plain, quoted); collections: implicit[0]
    PyObject* value = nullptr;          // scalars: an exact str, borrowed for the call
    char style = 0;                     // scalars: 0 (none), '\'', '"', '|' or '>'
    bool empty = false;                 // collection starts: no items follow
};

// Append-only ASCII text in chunks, so growing never copies what is written.
// Chunks come from the interpreter's raw allocator, where tracemalloc sees them.
class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { release(); }

    void write(const char* data, size_t size) {
        if (current_ && size <= chunk_size - used_) {
            std::memcpy(current_ + used_, data, size);
            used_ += size;
        } else {
            write_spilling(data, size);
        }
    }
    void write(char ch) {
        if (current_ && used_ < chunk_size)
            current_[used_++] = ch;
        else
            write_spilling(&ch, 1);
    }
    void spaces(size_t count);
    // The whole text as a str; the chunks are released as they are copied.
    PyObject* finish();

private:
    void write_spilling(const char* data, size_t size);
    void release();

    static constexpr size_t chunk_size = 1 << 18;
    std::vector<char*> full_;
    char* current_ = nullptr;
    size_t used_ = 0;
};

struct ScalarAnalysis {
    bool empty, multiline;
    bool allow_flow_plain, allow_block_plain, allow_single_quoted, allow_double_quoted, allow_block;
};

class Emitter {
public:
    // `indentless` false: a block sequence under a mapping key is indented one
    // level below the key (a dumper whose increase_indent drops `indentless`).
    explicit Emitter(bool indentless = true);

    void emit(const Event& event);
    PyObject* finish() { return stream_.finish(); }

private:
    using State = void (Emitter::*)();

    // States, named as PyYAML's.
    void expect_stream_start();
    void expect_nothing();
    void expect_first_document_start();
    void expect_document_start();
    void expect_document_start(bool first);
    void expect_document_end();
    void expect_document_root();
    void expect_node(bool root, bool sequence, bool mapping, bool simple_key);
    void expect_scalar();
    void expect_flow_sequence();
    void expect_first_flow_sequence_item();
    void expect_flow_mapping();
    void expect_first_flow_mapping_key();
    void expect_block_sequence();
    void expect_first_block_sequence_item();
    void expect_block_sequence_item();
    void expect_block_sequence_item(bool first);
    void expect_block_mapping();
    void expect_first_block_mapping_key();
    void expect_block_mapping_key();
    void expect_block_mapping_key(bool first);
    void expect_block_mapping_simple_value();
    void expect_block_mapping_value();

    void increase_indent(bool flow, bool indentless = false);
    // The indent and the state saved when the enclosing node began.
    void pop_indent() {
        indent_ = indents_.back();
        indents_.pop_back();
    }
    void pop_state() {
        state_ = states_.back();
        states_.pop_back();
    }
    [[noreturn]] void unexpected(const char* expected);

    // Checkers and processors.
    bool check_simple_key();
    void process_tag();
    char choose_scalar_style();
    void process_scalar();
    const ScalarAnalysis& analysis();

    // Writers.
    void write_indicator(const char* indicator, bool need_whitespace, bool whitespace = false, bool indention = false);
    void write_indicator(const std::string& indicator, bool need_whitespace) {
        write_indicator(indicator.data(), indicator.size(), need_whitespace);
    }
    void write_indicator(const char* indicator, size_t size, bool need_whitespace, bool whitespace = false,
                         bool indention = false);
    void write_indent();
    void write_line_break();
    template <typename Char>
    void write_text(const Char* text, Py_ssize_t start, Py_ssize_t end);
    template <typename Char>
    void write_plain(const Char* text, Py_ssize_t length, bool split);
    template <typename Char>
    void write_single_quoted(const Char* text, Py_ssize_t length, bool split);
    template <typename Char>
    void write_double_quoted(const Char* text, Py_ssize_t length, bool split);
    template <typename Char>
    std::string determine_block_hints(const Char* text, Py_ssize_t length);
    template <typename Char>
    void write_folded(const Char* text, Py_ssize_t length);
    template <typename Char>
    void write_literal(const Char* text, Py_ssize_t length);
    template <typename Char>
    void write_scalar(const Char* text, Py_ssize_t length, bool split);

    Output stream_;
    bool indentless_allowed_;

    std::vector<State> states_;
    State state_;
    const Event* event_ = nullptr;

    static constexpr int no_indent = -1;  // PyYAML's indent None
    std::vector<int> indents_;
    int indent_ = no_indent;
    int flow_level_ = 0;

    bool root_context_ = false, sequence_context_ = false, mapping_context_ = false, simple_key_context_ = false;

    long line_ = 0;
    long column_ = 0;
    bool whitespace_ = true;
    bool indention_ = true;
    bool open_ended_ = false;

    static constexpr int best_indent_ = 2;
    static constexpr long best_width_ = 80;

    const std::string& prepared(const char* tag);

    // prepare_tag's results by tag address: callers pass a few constant tags.
    std::deque<std::pair<const char*, std::string>> tag_cache_;  // stable addresses
    const std::string* prepared_tag_ = nullptr;
    bool has_analysis_ = false;
    ScalarAnalysis analysis_{};
    int style_ = no_style;  // chosen style, or no_style before the choice
    static constexpr int no_style = -1;
};

// analyze_scalar: what styles a text allows (allow_unicode off).
ScalarAnalysis analyze_scalar(PyObject* text);

// prepare_tag with PyYAML's default tag prefixes: "tag:yaml.org,2002:str" is "!!str".
std::string prepare_tag(const char* tag);

}  // namespace formats::yaml
