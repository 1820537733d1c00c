// The JSON and YAML forms of a report: JSONDumper, YAMLDumper and the representers.
#include "reporter/runset/runset.h"

namespace runset {
namespace {

// {"value": r.value} plus "reason" and "data" when they hold something.
object result_mapping(handle result) {
    object mapping = py::new_dict();
    py::setitem(mapping, n::value, py::getattr(result, n::value));
    object reason = py::getattr(result, n::reason);
    if (py::truthy(reason))
        py::setitem(mapping, n::reason, reason);
    object data = py::getattr(result, n::data);
    if (py::truthy(data))
        py::setitem(mapping, n::data, data);
    return mapping;
}

object scalar(handle dumper, handle tag, handle value) {
    return py::call_method(dumper, n::represent_scalar, tag, value);
}

object mapping(handle dumper, handle value) {
    return py::call_method(dumper, n::represent_mapping, global(n::YAML_MAP), value);
}

// ---- JSONDumper --------------------------------------------------------------

object json_default(handle self, handle obj) {
    object data;
    if (py::isinstance(obj, global(n::ReportObjectBase))) {
        data = py::new_dict();
        for_each_reported(obj, [&](handle name, handle value) { py::setitem(data, name, value); });
    } else {
        data = json_default_data(obj);
    }
    if (data && py::truthy(data))
        return data;
    // The base encoder refuses what nothing above could turn into a value.
    return py::call_super(state->JSONDumper, self, n::default_, handle(), obj);
}

// ---- YAMLDumper --------------------------------------------------------------

object increase_indent(handle self, handle flow, handle) {
    // Never indentless: a sequence under a key is indented one level below it.
    return py::call_super(state->YAMLDumper, self, n::increase_indent, handle(), flow, Py_False);
}

object ignore_aliases(handle, handle) { return py::boolean(true); }

// ---- representers ------------------------------------------------------------

object str_representer(handle dumper, handle data) {
    if (!py::contains(data, state->newline))
        return scalar(dumper, global(n::YAML_STR), data);
    object lines = py::new_list();
    for (object& line : py::iterate(py::call_method(data, n::split, state->newline)))
        py::append(lines, py::call_method(line, n::rstrip));
    object text = py::call_method(state->newline, n::join, lines);
    object represent = py::getattr(dumper, n::represent_scalar);
    return py::call_keywords(represent, 2, state->style_keyword, global(n::YAML_STR), text, state->literal_block);
}

object float_representer(handle dumper, handle data) {
    object rounded = py::call(state->round, data, global(n::FLOAT_PRECISION));
    return scalar(dumper, global(n::YAML_FLT), py::str(rounded));
}

object type_representer(handle dumper, handle data) { return scalar(dumper, global(n::YAML_STR), py::repr(data)); }

object unknown_representer(handle dumper, handle data) {
    object described = py::new_dict();
    py::setitem(described, n::type, py::type_of(data));
    py::setitem(described, n::repr, py::repr(data));
    return mapping(dumper, described);
}

object result_counter_representer(handle dumper, handle data) {
    object pairs = py::take(PySequence_List(py::call_method(data, n::items).ptr()));
    py::append(pairs, py::tuple(n::total, py::getattr(data, n::total)));
    py::append(pairs, py::tuple(n::success_rate, py::getattr(data, n::success_rate)));
    return mapping(dumper, pairs);
}

object test_result_representer(handle dumper, handle data) { return mapping(dumper, result_mapping(data)); }

object attr_dict_representer(handle dumper, handle data) { return mapping(dumper, data); }

}  // namespace

object json_default_data(handle obj) {
    object data;
    if (py::isinstance(obj, global(n::TestResult))) {
        data = result_mapping(obj);
    } else if (py::isinstance(obj, global(n::ResultCounter))) {
        data = py::call_method(py::getattr(obj, n::data), n::copy);
        py::setitem(data, n::total, py::getattr(obj, n::total));
        py::setitem(data, n::success_rate, py::getattr(obj, n::success_rate));
    } else if (py::isinstance(obj, global(n::datetime))) {
        data = py::str(obj);
    } else if (py::isinstance(obj, PyExc_Exception)) {
        data = py::repr(obj);
    }
    return data;
}

object define_json_dumper(handle json_encoder) {
    py::ClassBuilder cls(state->info, "JSONDumper", py::tuple(json_encoder));
    cls.method<json_default>("default", {{"self"}, {"obj"}});
    return cls.create();
}

object define_yaml_dumper(handle safe_dumper) {
    py::ClassBuilder cls(state->info, "YAMLDumper", py::tuple(safe_dumper));
    cls.method<increase_indent>("increase_indent",
                                {{"self"}, py::opt("flow", Py_False), py::opt("indentless", Py_False)})
        .method<ignore_aliases>("ignore_aliases", {{"self"}, {"data"}});
    return cls.create();
}

void define_representers(handle module) {
    const py::ModuleInfo& info = state->info;
    const std::vector<py::Param> params = {{"dumper"}, {"data"}};
    std::pair<const char*, object> functions[] = {
        {"str_representer", py::function<str_representer>(info, "str_representer", params)},
        {"float_representer", py::function<float_representer>(info, "float_representer", params)},
        {"type_representer", py::function<type_representer>(info, "type_representer", params)},
        {"unknown_representer", py::function<unknown_representer>(info, "unknown_representer", params)},
        {"ResultCounter_representer",
         py::function<result_counter_representer>(info, "ResultCounter_representer", params)},
        {"TestResult_representer", py::function<test_result_representer>(info, "TestResult_representer", params)},
        {"AttrDict_representer", py::function<attr_dict_representer>(info, "AttrDict_representer", params)},
    };
    for (auto& [name, function] : functions)
        py::check(PyModule_AddObjectRef(module.ptr(), name, function.ptr()));
}

}  // namespace runset
