"""The surface of kovra.reporter.runset: names, constants, classes, start-up."""
import datetime
import importlib
import json
import os
import sys
import types

import pytest
import yaml

import kovra.datastructures
import kovra.results
import kovra.utils.dicts
import kovra.utils.utils
from kovra.datastructures import AttrDict
from kovra.reporter import runset
from kovra.reporter.format import FORMAT_VERSION
from support.startup import SECOND_INTERPRETER, import_in_second_interpreter, run_python

MODULE_NAME = "kovra.reporter.runset"
CLASS_NAMES = ["JSONDumper", "YAMLDumper", "ReportHeader", "ReportObjectBase",
               "RunSet", "Task", "Plugin", "Section"]
REPRESENTER_NAMES = ["str_representer", "float_representer", "type_representer",
                     "unknown_representer", "ResultCounter_representer",
                     "TestResult_representer", "AttrDict_representer"]
BASE_METHODS = ["__init__", "start", "stop", "update", "update_extra", "add_detail",
                "roll_up", "dump_json", "dump_yaml", "to_dict"]

R = runset.ReportObjectBase
PRELOAD = ("import yaml, json, os.path, datetime, kovra.utils.utils, kovra.utils.dicts, "
           "kovra.results, kovra.datastructures, kovra.reporter")


# --- names and constants -------------------------------------------------------------

def test_public_names_are_exactly_the_documented_ones():
    expected = {"yaml", "json", "os", "datetime", "get_time", "recursive_update",
                "ResultCounter", "TestResult", "Passed", "AttrDict",
                "VERSION", "VALUE_IGNORE", "FLOAT_PRECISION", "YAML_MAP", "YAML_STR", "YAML_FLT",
                *CLASS_NAMES, *REPRESENTER_NAMES}
    public = {name for name in vars(runset) if not name.startswith("__")}
    assert public == expected


def test_health_summary_keys_is_internal():
    assert not hasattr(runset, "HEALTH_SUMMARY_KEYS")


@pytest.mark.parametrize("name, value", [
    ("VERSION", FORMAT_VERSION),  # the version the store, the CLI and the server read
    ("FLOAT_PRECISION", 2),
    ("YAML_MAP", "tag:yaml.org,2002:map"),
    ("YAML_STR", "tag:yaml.org,2002:str"),
    ("YAML_FLT", "tag:yaml.org,2002:float"),
])
def test_scalar_constants(name, value):
    got = getattr(runset, name)
    assert type(got) is type(value)
    assert got == value


def test_value_ignore_holds_none_empty_list_and_empty_dict():
    ignore = runset.VALUE_IGNORE
    assert type(ignore) is list
    assert len(ignore) == 3
    assert ignore[0] is None
    assert type(ignore[1]) is list and ignore[1] == []
    assert type(ignore[2]) is dict and ignore[2] == {}


@pytest.mark.parametrize("value", [None, [], {}, AttrDict()], ids=["None", "list", "dict", "AttrDict"])
def test_value_ignore_matches_empty_values_by_equality(value):
    assert value in runset.VALUE_IGNORE


@pytest.mark.parametrize("value", [0, "", False, 0.0, (), [None], {"a": None}],
                         ids=["zero", "empty-str", "False", "zero-float", "tuple", "list-of-None", "dict"])
def test_value_ignore_does_not_match_other_falsy_or_filled_values(value):
    assert value not in runset.VALUE_IGNORE


@pytest.mark.parametrize("name, expected", [
    ("yaml", yaml),
    ("json", json),
    ("os", os),
    ("datetime", datetime.datetime),
    ("get_time", kovra.utils.utils.get_time),
    ("recursive_update", kovra.utils.dicts.recursive_update),
    ("ResultCounter", kovra.results.ResultCounter),
    ("TestResult", kovra.results.TestResult),
    ("Passed", kovra.results.Passed),
    ("AttrDict", kovra.datastructures.AttrDict),
])
def test_imported_names_are_the_framework_and_library_objects_themselves(name, expected):
    assert getattr(runset, name) is expected


def test_importing_again_gives_the_same_module_and_objects():
    ignore, dumper = runset.VALUE_IGNORE, runset.YAMLDumper
    again = importlib.import_module(MODULE_NAME)
    from kovra.reporter import runset as third
    assert again is runset and third is runset
    assert sys.modules[MODULE_NAME] is runset
    assert again.VALUE_IGNORE is ignore
    assert again.YAMLDumper is dumper


# --- classes ---------------------------------------------------------------------------

@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_belong_to_the_module_and_have_no_docstring(name):
    cls = getattr(runset, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == MODULE_NAME
    assert cls.__doc__ is None


@pytest.mark.parametrize("name, base", [
    ("JSONDumper", json.JSONEncoder),
    ("YAMLDumper", yaml.SafeDumper),
    ("ReportHeader", object),
    ("ReportObjectBase", object),
    ("RunSet", R),
    ("Task", R),
    ("Plugin", R),
    ("Section", R),
])
def test_class_bases(name, base):
    assert getattr(runset, name).__bases__ == (base,)


def _callables_of(cls):
    for key, value in vars(cls).items():
        if isinstance(value, property):
            yield key, value.fget
        elif isinstance(value, (classmethod, staticmethod)):
            yield key, value.__func__
        elif callable(value) and not isinstance(value, type):
            yield key, value


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_no_method_or_property_has_a_docstring(name):
    cls = getattr(runset, name)
    members = dict(_callables_of(cls))
    assert members, "class defines no members of its own"
    for key, func in members.items():
        assert func.__doc__ is None, key
    for key, value in vars(cls).items():
        if isinstance(value, property):
            assert value.__doc__ is None, key


@pytest.mark.parametrize("name", REPRESENTER_NAMES)
def test_representer_functions_are_named_plain_module_functions(name):
    func = getattr(runset, name)
    assert callable(func)
    assert func.__name__ == name
    assert func.__module__ == MODULE_NAME
    assert func.__doc__ is None


def test_report_node_base_declares_its_members():
    members = vars(R)
    for name in BASE_METHODS:
        assert callable(members[name]), name
        assert getattr(R, name).__name__ == name
    assert isinstance(members["fullid"], property)
    assert isinstance(members["idlist"], property)
    assert isinstance(members["to_yaml"], classmethod)


@pytest.mark.parametrize("name", ["fullid", "idlist"])
def test_path_properties_are_read_only(name):
    prop = vars(R)[name]
    assert prop.fset is None and prop.fdel is None
    node = R("a", 1)
    with pytest.raises(AttributeError):
        setattr(node, name, "z")
    with pytest.raises(AttributeError):
        delattr(node, name)
    assert node.fullid == "a" and node.idlist == ["a"]


def test_to_yaml_binds_to_the_class_it_is_looked_up_on():
    assert R.to_yaml.__self__ is R
    assert runset.Section.to_yaml.__self__ is runset.Section

    class Mine(R):
        pass

    assert Mine.to_yaml.__self__ is Mine
    assert Mine("m", 1).to_yaml.__self__ is Mine


def test_methods_bind_like_python_functions():
    node = R("a", 1)
    bound = node.update
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is node
    assert node.update is not node.update  # a fresh bound method per lookup, as for functions
    # Called through the class with the instance given explicitly, positionally or by name.
    assert R.update(node, {"name": "n1"}) is None
    assert node.name == "n1"
    R.update(self=node, data={"name": "n2"})
    assert node.name == "n2"
    R.add_detail(node, "d")
    assert node.details == ["d"]


def test_methods_do_not_check_the_type_of_the_instance():
    # Ordinary functions accept any object that has what they use.
    holder = types.SimpleNamespace(details=[])
    R.add_detail(holder, 5)
    assert holder.details == [5]
    assert vars(R)["fullid"].fget(types.SimpleNamespace(_parent=None, id=3)) == 3


def test_caller_subclass_overrides_a_method_and_keeps_extra_attributes():
    calls = []

    class Recording(R):
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            self.colour = "blue"

        def update_extra(self, data, list_extend=True):
            calls.append((dict(data), list_extend))
            super().update_extra(data, list_extend)

    node = Recording(id="r", seq_num=2)
    assert node.type == "Recording"
    assert node.colour == "blue"
    node.anything = [1]
    assert vars(node)["anything"] == [1]
    node.update({"foo": 1, "name": "nn"})
    # update reaches the override through the instance.
    assert calls == [({"foo": 1}, True)]
    assert node.extra == {"foo": 1} and node.name == "nn"
    assert isinstance(node, R)


def test_instances_of_the_base_have_a_dict_and_take_new_attributes():
    node = R("a", 1)
    node.custom = 42
    assert vars(node)["custom"] == 42


# --- start-up failures and guards (each in its own interpreter) ----------------------

@pytest.mark.parametrize("package, name", [
    ("kovra.utils.utils", "get_time"),
    ("kovra.utils.dicts", "recursive_update"),
    ("kovra.results", "ResultCounter"),
    ("kovra.results", "TestResult"),
    ("kovra.results", "Passed"),
    ("kovra.datastructures", "AttrDict"),
])
def test_missing_framework_name_fails_the_whole_import(tmp_path, package, name):
    out = run_python(f"""
        import importlib, sys, types
        real = importlib.import_module({package!r})
        fake = types.ModuleType({package!r})
        fake.__dict__.update(vars(real))
        delattr(fake, {name!r})
        sys.modules[{package!r}] = fake
        try:
            import kovra.reporter.runset
        except ImportError as exc:
            print(type(exc).__name__, str(exc))
        else:
            print("imported")
        print({MODULE_NAME!r} in sys.modules)
        import kovra.reporter
        print(hasattr(kovra.reporter, "runset"))
        sys.modules[{package!r}] = real
        import kovra.reporter.runset as runset
        print(runset.{name} is getattr(real, {name!r}), sys.modules[{MODULE_NAME!r}] is runset)
    """, tmp_path)
    # The name is formatted with str(), so it carries no quotes.
    assert out == [f"ImportError cannot import name {name}", "False", "False", "True True"]


@pytest.mark.parametrize("package", ["yaml", "json", "datetime", "kovra.utils.utils",
                                     "kovra.utils.dicts", "kovra.results", "kovra.datastructures"])
def test_missing_package_fails_the_import_with_the_import_systems_error(tmp_path, package):
    out = run_python(f"""
        import importlib, sys
        # Load everything else first, so only the module under test meets the gap.
        {PRELOAD}
        real = importlib.import_module({package!r})
        sys.modules[{package!r}] = None
        try:
            import kovra.reporter.runset
        except ImportError as exc:
            print(type(exc).__name__, exc.name)
        else:
            print("imported")
        print({MODULE_NAME!r} in sys.modules)
        sys.modules[{package!r}] = real
        import kovra.reporter.runset
        print("ok")
    """, tmp_path)
    assert out == [f"ModuleNotFoundError {package}", "False", "ok"]


def test_requirements_are_imported_in_order(tmp_path):
    # Break every requirement, then repair them one at a time: each import attempt must
    # stop at the earliest requirement that is still broken.
    out = run_python(f"""
        import importlib, sys, types
        {PRELOAD}
        packages = ["yaml", "json", "os.path", "datetime", "kovra.utils.utils", "kovra.utils.dicts",
                    "kovra.results", "kovra.datastructures"]
        real = {{name: sys.modules[name] for name in packages}}

        def without(package, *names):
            fake = types.ModuleType(package)
            fake.__dict__.update(vars(real[package]))
            for name in names:
                delattr(fake, name)
            return fake

        steps = [
            ("yaml", None),
            ("json", None),
            ("os.path", None),
            ("datetime", None),
            ("kovra.utils.utils", without("kovra.utils.utils", "get_time")),
            ("kovra.utils.dicts", without("kovra.utils.dicts", "recursive_update")),
            ("kovra.results", without("kovra.results", "ResultCounter", "TestResult", "Passed")),
            ("kovra.results", without("kovra.results", "TestResult", "Passed")),
            ("kovra.results", without("kovra.results", "Passed")),
            ("kovra.datastructures", None),
        ]
        outcomes = []
        for first in range(len(steps) + 1):
            for package in packages:
                pending = [value for name, value in steps[first:] if name == package]
                sys.modules[package] = pending[0] if pending else real[package]
            try:
                import kovra.reporter.runset
            except ImportError as exc:
                outcomes.append(type(exc).__name__ + " " + (str(exc) if exc.name is None else exc.name))
            else:
                outcomes.append("imported")
        for package in packages:
            sys.modules[package] = real[package]
        print("\\n".join(outcomes))
    """, tmp_path)
    assert out == [
        "ModuleNotFoundError yaml",
        "ModuleNotFoundError json",
        "ModuleNotFoundError os.path",
        "ModuleNotFoundError datetime",
        "ImportError cannot import name get_time",
        "ImportError cannot import name recursive_update",
        "ImportError cannot import name ResultCounter",
        "ImportError cannot import name TestResult",
        "ImportError cannot import name Passed",
        "ModuleNotFoundError kovra.datastructures",
        "imported",
    ]


@pytest.mark.parametrize("builtin", ["object", "property", "super", "round"])
def test_missing_builtin_fails_the_import_with_name_error(tmp_path, builtin):
    out = run_python(f"""
        import builtins, sys
        {PRELOAD}
        saved = getattr(builtins, {builtin!r})
        delattr(builtins, {builtin!r})
        try:
            import kovra.reporter.runset
        except BaseException as exc:
            outcome = type(exc).__name__ + " " + str(exc)
        else:
            outcome = "imported"
        setattr(builtins, {builtin!r}, saved)
        print(outcome)
        print({MODULE_NAME!r} in sys.modules)
        import kovra.reporter.runset
        print("ok")
    """, tmp_path)
    assert out == [f"NameError name '{builtin}' is not defined", "False", "ok"]


def test_second_initialisation_is_refused_and_the_first_module_is_kept(tmp_path):
    out = run_python(f"""
        import importlib.util, sys
        found = importlib.util.find_spec({MODULE_NAME!r})
        first = importlib.util.module_from_spec(found)
        second = importlib.util.module_from_spec(found)
        print(first is not second)
        found.loader.exec_module(first)
        base = first.ReportObjectBase
        try:
            found.loader.exec_module(second)
        except RuntimeError as exc:
            print("RuntimeError", exc)
        else:
            print("second initialised")
        # Running the initialisation again on the first object is a no-op.
        print(found.loader.exec_module(first) is None, first.ReportObjectBase is base)
        print(importlib.util.module_from_spec(found) is first)
        print({MODULE_NAME!r} in sys.modules)
        import kovra.reporter.runset as imported
        print(imported is first, imported.ReportObjectBase is base)
        print(importlib.reload(imported) is first, first.ReportObjectBase is base)
        print(first.ReportObjectBase("a", 1).fullid)
    """, tmp_path)
    assert out == [
        "True",
        "RuntimeError Module 'runset' has already been imported. Re-initialisation is not supported.",
        "True True",
        "True",
        "False",
        "True True",
        "True True",
        "a",
    ]


def test_second_interpreter_is_refused(tmp_path):
    outcome, out = import_in_second_interpreter(
        MODULE_NAME, tmp_path, then=f"print({MODULE_NAME}.ReportObjectBase('a', 1).fullid)")
    assert (outcome, out) == (SECOND_INTERPRETER, ["a"])
