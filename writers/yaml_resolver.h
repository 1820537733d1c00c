// PyYAML's implicit resolvers (resolver.py): the tag a plain scalar would be
// read back as, so a writer knows when text must be quoted or tagged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace writers::yaml {

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

// resolve(ScalarNode, value, (True, False)) with the default resolvers: the tag
// of the first resolver registered for the value's first character whose
// pattern matches, else the str tag. `value` is an exact, ready str.
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

}  // namespace writers::yaml
