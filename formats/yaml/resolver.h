// PyYAML's implicit resolvers (resolver.py): the tag a plain scalar would be
// read back as, so a writer knows when text must be quoted or tagged and a
// reader what a plain scalar is. The rules exist here alone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace formats::yaml {

// Inline arrays: one object per tag in the whole program, so tags compare by address.
namespace tag {
inline constexpr char str[] = "tag:yaml.org,2002:str";
inline constexpr char seq[] = "tag:yaml.org,2002:seq";
inline constexpr char map[] = "tag:yaml.org,2002:map";
inline constexpr char null[] = "tag:yaml.org,2002:null";
inline constexpr char bool_[] = "tag:yaml.org,2002:bool";
inline constexpr char int_[] = "tag:yaml.org,2002:int";
inline constexpr char float_[] = "tag:yaml.org,2002:float";
inline constexpr char binary[] = "tag:yaml.org,2002:binary";
inline constexpr char timestamp[] = "tag:yaml.org,2002:timestamp";
inline constexpr char set[] = "tag:yaml.org,2002:set";
inline constexpr char merge[] = "tag:yaml.org,2002:merge";
inline constexpr char value[] = "tag:yaml.org,2002:value";
inline constexpr char yaml[] = "tag:yaml.org,2002:yaml";
}  // namespace tag

// The implicit types of plain scalars.
enum class Implicit : char { str, null, bool_, int_, float_, timestamp, merge, value, yaml };

// resolve(ScalarNode, value, (True, False)) with the default resolvers: the type
// of the first resolver registered for the value's first character whose pattern
// matches, else str. Here the value is `length` code units; UTF-8 bytes may stand
// for them, since no pattern takes a non-ASCII character nor any byte of one.
Implicit resolve_implicit(const Py_UCS1* chars, Py_ssize_t length);

// The same as a tag, for `value`, an exact, ready str.
const char* resolve_scalar(PyObject* value);

// One implicit resolver as resolver.py registers it: a caller compares the running
// PyYAML's table with these before trusting resolve_scalar.
struct ResolverRule {
    const char* tag;
    const char* first;  // the first characters it is registered for
    bool empty_too;     // registered for the empty text as well
    const char* pattern;
    bool verbose;  // compiled with re.X
};
extern const ResolverRule resolver_rules[];
extern const size_t resolver_rule_count;

}  // namespace formats::yaml
