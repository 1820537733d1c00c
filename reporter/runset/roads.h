// The fast roads of dump_json and dump_yaml: each writes the text its generic road
// (json.dumps with JSONDumper, yaml.dump with YAMLDumper) gives, straight from the
// nodes. Each has one shape: captured at start-up (a snapshot of every piece the
// generic road reads, or nothing where this road was not built for them), checked
// intact before each dump, then written. The module state owns them, so a reset
// drops them all.
#pragma once

#include "native/snapshot.h"
#include "reporter/runset/runset.h"

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace runset {

class JsonRoad {
public:
    // Empty where json.dumps is not the one this road was built for.
    static std::unique_ptr<JsonRoad> capture();

    // `json`, `dumps` and `dumper` are what dump_json found, and every piece
    // json.dumps(document, cls=dumper) reads is the one captured.
    bool intact(handle json, handle dumps, handle dumper) const;

    object write(handle document) const;

private:
    py::Snapshot snapshot_;
    object json_module_, dumps_, encoder_module_;  // encode's globals are the last one's
};

class YamlRoad {
public:
    // Which representer the table names for a type.
    enum class Kind {
        str,
        float_,
        type,
        unknown,
        result_counter,
        test_result,
        attr_dict,
        node,  // registered here
        none,
        bool_,
        int_,
        binary,
        list,
        dict,
        set,
        date,
        datetime  // the safe dumper's
    };

    // Empty where the running PyYAML, or YAMLDumper's tables, are not what this
    // road was built for.
    static std::unique_ptr<YamlRoad> capture(handle module);

    // Every piece yaml.dump(document, Dumper=YAMLDumper) reads is the one captured.
    bool intact() const;

    // The text, or an empty object where this road cannot write it.
    object write(handle document) const;

    // What a representer does, by the function; empty for one this road does not know.
    const Kind* kind_of_representer(PyObject* function) const {
        auto found = kinds_.find(function);
        return found == kinds_.end() ? nullptr : &found->second;
    }
    handle dumper_namespace() const { return dumper_namespace_; }
    handle representers() const { return representers_; }

    // What a hand-over to the generic representer reads: io.StringIO, YAMLDumper and
    // dump_all's keywords for it, as captured (intact when the dump began);
    // ScalarNode, SequenceNode and MappingNode (0, 1, 2) as yaml.representer names
    // them; the globals and builtins its code reads names from.
    handle string_io() const { return string_io_; }
    handle dumper_class() const { return dumper_class_; }
    handle dump_keywords() const { return dump_keywords_; }
    handle node_class(int which) const { return node_classes_[which]; }
    handle representer_globals() const { return representer_globals_; }
    handle builtins() const { return builtins_; }
    // kovra.results' ResultCounter, its items function, and TestResult.
    handle result_counter() const { return result_counter_; }
    handle counter_items() const { return counter_items_; }
    handle test_result() const { return test_result_; }

private:
    py::Snapshot snapshot_;
    object yaml_module_, dumper_namespace_, representers_;
    object string_io_, dumper_class_, dump_keywords_, node_classes_[3], representer_globals_, builtins_;
    object result_counter_, counter_items_, test_result_;
    std::unordered_map<PyObject*, Kind> kinds_;  // representer -> what it does
    std::vector<object> held_;                   // keeps the keys of kinds_ alive
};

}  // namespace runset
