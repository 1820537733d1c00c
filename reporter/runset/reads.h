// Codeless reads: a node's attribute read straight from its instance dict where
// that certainly runs no Python code, so a second read of the same name, which
// could not differ, is not made. to_dict, and the JSON and YAML forms of a node,
// read through these.
#pragma once

#include "reporter/runset/runset.h"

namespace runset {

// What one to_dict has confirmed since code last may have run: dicts whose lookups
// compare no foreign key. Forgotten whenever the generic read is taken.
class CodelessReads {
public:
    explicit CodelessReads(handle globals) : globals_(globals) {}

    void forget() {
        count_ = 0;
        globals_state_ = 0;
    }

    // to_dict's hasattr-then-getattr of one name: the value, or empty when absent.
    object if_present(handle node, handle name);
    // getattr(node, name).
    object always(handle node, handle name);

    // The instance dict of a node of a codeless type, when its lookups run no code.
    // (These three are inline in reads.cpp, where all their callers are.)
    object dict_of(handle node);
    // The module's globals hold exact str keys only.
    bool globals_codeless();
    handle globals() const { return globals_; }

private:
    bool confirmed(PyObject* dict);

    handle globals_;
    int globals_state_ = 0;
    int count_ = 0;
    PyObject* seen_[8];
};

}  // namespace runset
