// PyYAML's implicit resolvers (resolver.py): the tag a plain scalar would be
// read back as, so a writer knows when text must be quoted or tagged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace yaml {

namespace tag {
constexpr const char* str = "tag:yaml.org,2002:str";
constexpr const char* seq = "tag:yaml.org,2002:seq";
constexpr const char* map = "tag:yaml.org,2002:map";
constexpr const char* null = "tag:yaml.org,2002:null";
constexpr const char* bool_ = "tag:yaml.org,2002:bool";
constexpr const char* int_ = "tag:yaml.org,2002:int";
constexpr const char* float_ = "tag:yaml.org,2002:float";
constexpr const char* binary = "tag:yaml.org,2002:binary";
constexpr const char* timestamp = "tag:yaml.org,2002:timestamp";
constexpr const char* set = "tag:yaml.org,2002:set";
constexpr const char* merge = "tag:yaml.org,2002:merge";
constexpr const char* value = "tag:yaml.org,2002:value";
constexpr const char* yaml = "tag:yaml.org,2002:yaml";
}  // namespace tag

// resolve(ScalarNode, value, (True, False)) with the default resolvers: the tag
// of the first resolver registered for the value's first character whose
// pattern matches, else the str tag. `value` is an exact, ready str.
const char* resolve_scalar(PyObject* value);

}  // namespace yaml
