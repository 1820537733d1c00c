// The result classes' own code, known: where kovra.results' comparisons and
// properties are the code this was built for, what they give is computed here
// without running them. Each answer is taken only while the pieces it rests on
// are intact and the depth it would take is certainly there; anything else is
// read the generic way.
#pragma once

#include "native/snapshot.h"
#include "reporter/runset/runset.h"

#include <cstdint>
#include <memory>

namespace runset {

class KnownResults {
public:
    // Empty where kovra.results is not the code this was built for.
    static std::unique_ptr<KnownResults> capture();

    // `value in [None, [], {}]` is certainly false: value is a result or counter
    // whose __eq__ answers NotImplemented to each.
    bool unequal_to_empties(PyObject* value) const;

    // result.value, or empty (no error set) where the answer is not certain.
    object value(handle result) const;
    // list(counter.items()), or empty (no error set) where not certain.
    object items(handle counter) const;
    // counter.total and counter.success_rate; false (nothing set, no error) where
    // the answers are not certain.
    bool derived(handle counter, object& total, object& rate) const;

private:
    bool ready(PyObject* obj, handle cls) const;
    // A counter's counts (a plain dict of exact int counts under exact str names),
    // its weight (null when it has none) and their sum; false where not certain.
    struct Counts {
        PyObject* data = nullptr;
        PyObject* weight = nullptr;
        bool own_items = false;  // the instance holds an `items` of its own
        long long total = 0;
    };
    bool counts(handle counter, Counts& found) const;
    object rate_of(const Counts& found) const;

    py::Snapshot snapshot_;
    object test_result_, result_counter_;
    object value_slot_;  // TestResult's _value member
    object round_, two_;
    // round(share, 2) of shares met before: float.__round__ is a pure function of
    // its operand, and a report holds few distinct rates. Keyed by the bits.
    struct Rounded {
        uint64_t bits = 0;
        double value = 0;
        bool set = false;
    };
    mutable Rounded rounded_[64];
    object passed_, passx_;
};

// result.value, list(counter.items()), and counter.total then
// counter.success_rate: the known answers where there are, else read the
// generic way.
object result_value(handle result);
object counter_items(handle counter);
void counter_derived(handle counter, object& total, object& rate);

}  // namespace runset
