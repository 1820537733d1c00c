// The intake's fast road: an upload's report read straight from its text, with no
// parsed document. It takes only text whose every token is already in the form
// json.dumps writes (ASCII, its escapes, its numbers; any whitespace between
// tokens) and that json.loads would read without a refusal or a loss: no repeated
// keys, nesting within bounds. Then the compact text of each value is its text
// with the whitespace left out, which is what the generic road (json.loads, then
// each node encoded again) writes. Anything else it leaves to the generic road.
#pragma once

#include "native/snapshot.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace intake_road {

using py::handle;
using py::object;

// A scalar as written in the upload: the bytes [begin, end) of the input.
struct Token {
    enum Kind : uint8_t { absent, container, string, integer, floating, true_, false_, null, nan, infinity };
    Kind kind = absent;
    size_t begin = 0, end = 0;
};

// [begin, end) of the compact text.
struct Span {
    size_t begin = 0, end = 0;
};

constexpr uint32_t none = UINT32_MAX;

struct Node {
    Span text;      // the node's object
    Span id;        // its id's value
    Span lists[2];  // the tasks and sections lists, when they are lists
    bool has_list[2] = {false, false};
    bool has_id = false;
    // The children of each list as a chain of node numbers (`none` ends it).
    uint32_t first[2] = {none, none}, last[2] = {none, none};
    uint32_t next = none;                      // the next child in its parent's list
    Token type, result, start, stop, runtime;  // result: the text itself or its mapping's "value"
    uint32_t depth = 0;
};

struct Scan {
    std::string compact;      // the whole document without whitespace
    std::vector<Node> nodes;  // in text order, the run set first
    // The job's own fields beside the run set's row: its id when that is a scalar,
    // its health result (the text itself or its mapping's "value"), and the
    // integer counts of its summary (name and count, in text order).
    Token id, health;
    std::vector<std::pair<Token, Token>> counts;
};

// Reads `text` (bytes [0, size), a NUL at text[size]) into `scan`. False when the
// text is not wholly in the writer's form, not the document a report is (a
// mapping with "version" "3.2" and a "report" mapping), has a node without an id
// or a child list that is not of mappings, or nests deeper than `max_level`.
bool scan(const char* text, size_t size, long max_level, Scan& scan);

// The value of a scalar token as json.loads gives it; empty for a container or none.
object value_of(const char* text, const Token& token);

// The pieces the generic road reads (json.loads and the module that calls it),
// as captured at start-up; the road is taken only while they are intact.
class Road {
public:
    // Empty where json.loads is not the one this road was built for.
    static std::unique_ptr<Road> capture(handle intake_module, handle globals);

    bool intact() const { return snapshot_.intact(); }

private:
    py::Snapshot snapshot_;
};

}  // namespace intake_road
