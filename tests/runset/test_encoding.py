"""YAML and JSON forms of a report: dumpers, representers, dump_yaml, dump_json."""
import datetime
import io
import json

import pytest
import yaml

from kovra import results
from kovra.datastructures import AttrDict
from kovra.reporter import runset
from kovra.results import Failed, Passed, ResultCounter


class Opaque:
    def __repr__(self):
        return "Opaque<7>"


def ydump(value):
    return yaml.dump(value, Dumper=runset.YAMLDumper, default_flow_style=False)


def roundtrip_yaml(value):
    return yaml.safe_load(ydump(value))


@pytest.fixture
def dumper():
    return runset.YAMLDumper(io.StringIO())


@pytest.fixture
def tree():
    rs = runset.RunSet(id="job", seq_num=1)
    rs.start(cli="run it", owner="me")
    t = rs.add_task(id="t1", seq_num=1)
    t.start(logfile="/logs/t1.log")
    s = t.add_section(id="s1", seq_num=1)
    s.start()
    sub = s.add_section(id="s2", seq_num=2)
    sub.start()
    sub.stop(result=Failed)
    s.stop()
    t.stop()
    p = rs.add_plugin(id="p", seq_num=2)
    p.start()
    p.stop()
    rs.stop(num_tasks=2)
    return rs


# ------------------------------------------------------------- whole documents

@pytest.mark.parametrize("load", [
    lambda node: yaml.safe_load(node.dump_yaml()),
    lambda node: json.loads(node.dump_json()),
], ids=["yaml", "json"])
def test_dump_gives_header_with_whole_tree(tree, load):
    doc = load(tree)
    assert sorted(doc) == ["report", "version"] and doc["version"] == "3.2"
    report = doc["report"]
    assert report["type"] == "RunSet" and report["id"] == "job"
    assert report["cli"] == "run it" and report["extra"] == {"owner": "me"}
    assert report["totaltasks"] == 2
    assert report["summary"] == {"failed": 1, "total": 1, "success_rate": 0.0}
    assert report["pluginsummary"] == {"total": 0, "success_rate": 0.0}
    task, plugin = report["tasks"]
    assert (task["type"], task["fullid"], task["logfile"]) == ("Task", "t1", "t1.log")
    assert (plugin["type"], plugin["result"]) == ("Plugin", {"value": "passed"})
    assert task["summary"] == {"failed": 1, "total": 1, "success_rate": 0.0}
    assert task["pluginsummary"] == {"total": 0, "success_rate": 0.0}
    (s1,) = task["sections"]
    (s2,) = s1["sections"]
    assert (s1["fullid"], s1["idlist"]) == ("t1.s1", ["t1", "s1"])
    assert (s2["fullid"], s2["idlist"]) == ("t1.s1.s2", ["t1", "s1", "s2"])
    assert s2["result"] == {"value": "failed"} and s1["result"] == {"value": "failed"}
    assert s2["health_result"] == {"value": "passed"}


def test_dump_of_a_lower_node_heads_that_node(tree):
    section = tree.tasks[0].sections[0]
    for doc in (yaml.safe_load(section.dump_yaml()), json.loads(section.dump_json())):
        assert doc["version"] == "3.2"
        assert doc["report"]["fullid"] == "t1.s1"
        assert [c["id"] for c in doc["report"]["sections"]] == ["s2"]


@pytest.mark.parametrize("load", [
    lambda node: yaml.safe_load(node.dump_yaml())["report"],
    lambda node: json.loads(node.dump_json())["report"],
], ids=["yaml", "json"])
def test_keys_follow_arg_order_and_skip_ignorable_values(tree, load):
    for node in (tree, tree.tasks[0], tree.tasks[0].sections[0], tree.tasks[1]):
        data = load(node)
        expected = [name for name in node._ARG_ORDER
                    if getattr(node, name, None) not in runset.VALUE_IGNORE]
        assert list(data) == expected


def test_runset_job_type_comes_first(tree):
    tree.update({"job_type": "nightly"})
    assert list(yaml.safe_load(tree.dump_yaml())["report"])[:2] == ["job_type", "type"]
    assert list(json.loads(tree.dump_json())["report"])[:2] == ["job_type", "type"]


@pytest.mark.parametrize("value, kept", [
    (None, False), ([], False), ({}, False), (AttrDict(), False),
    (0, True), ("", True), (False, True), ([0], True), ({"k": None}, True),
])
def test_value_ignore_by_equality(value, kept):
    s = runset.Section(id="s", seq_num=1)
    s.description = value
    assert s.to_dict()["description"] == value
    for data in (yaml.safe_load(s.dump_yaml())["report"],
                 json.loads(s.dump_json())["report"]):
        assert ("description" in data) is kept
        if kept:
            assert data["description"] == value


def test_ignorable_defaults_kept_by_to_dict_only():
    s = runset.Section(id="s", seq_num=4)
    d = s.to_dict()
    for name in ("starttime", "result", "details", "extra", "sections", "logs", "health_result"):
        assert name in d
    assert d["seq_num"] == 4 and d["logfile"] is None
    for data in (yaml.safe_load(s.dump_yaml())["report"], json.loads(s.dump_json())["report"]):
        assert list(data) == ["type", "id", "fullid", "idlist", "name", "health_summary"]


def test_missing_attributes_and_unlisted_ones_are_left_out():
    t = runset.Task(id="t", seq_num=9)
    t.unlisted = "x"
    for data in (yaml.safe_load(t.dump_yaml())["report"], json.loads(t.dump_json())["report"]):
        assert "testscript" not in data and "unlisted" not in data
        assert "seq_num" not in data


def test_times_in_both_forms(tree):
    t = tree.tasks[0]
    t.starttime = datetime.datetime(2024, 5, 6, 7, 8, 9)
    t.stoptime = datetime.datetime(2024, 5, 6, 7, 8, 10, 250000)
    t.update_extra({"when": datetime.datetime(2020, 1, 2, 3, 4, 5, 6)})
    j = json.loads(t.dump_json())["report"]
    assert j["starttime"] == "2024-05-06 07:08:09"
    assert j["stoptime"] == "2024-05-06 07:08:10.250000"
    assert j["extra"]["when"] == "2020-01-02 03:04:05.000006"
    y = yaml.safe_load(t.dump_yaml())["report"]
    assert y["starttime"] == t.starttime and y["stoptime"] == t.stoptime
    assert y["extra"]["when"] == datetime.datetime(2020, 1, 2, 3, 4, 5, 6)


def test_json_layout_is_the_library_default():
    s = runset.Section(id="é", seq_num=1)
    text = s.dump_json()
    assert text.startswith('{"version": "3.2", "report": {"type": "Section", "id": "\\u00e9", ')
    assert "\n" not in text


def test_json_keeps_full_float_precision_yaml_cuts_it():
    s = runset.Section(id="s", seq_num=1)
    s.update_extra({"ratio": 1 / 3})
    s.runtime = 2.675
    assert json.loads(s.dump_json())["report"]["extra"]["ratio"] == 1 / 3
    y = yaml.safe_load(s.dump_yaml())["report"]
    assert y["extra"]["ratio"] == 0.33 and y["runtime"] == 2.67


# ------------------------------------------------------------- JSONDumper.default

def test_json_result_values():
    enc = runset.JSONDumper()
    assert enc.default(Passed) == {"value": "passed"}
    r = results.TestResult("failed", reason="boom", data={"k": [1]})
    assert enc.default(r) == {"value": "failed", "reason": "boom", "data": {"k": [1]}}
    assert list(enc.default(r)) == ["value", "reason", "data"]
    assert enc.default(results.TestResult("blocked", reason="", data={})) == {"value": "blocked"}
    assert enc.default(results.TestResult("passx", data=[0])) == {"value": "passx", "data": [0]}


def test_json_counter_is_a_copy_with_derived_values():
    c = ResultCounter()
    c["passed"] = 3
    c["failed"] = 1
    c.weight = 0.5
    out = runset.JSONDumper().default(c)
    assert out == {"passed": 3, "failed": 1, "total": 4, "success_rate": 37.5}
    assert list(out) == ["passed", "failed", "total", "success_rate"]
    assert c.data == {"passed": 3, "failed": 1}  # the counter itself is untouched
    out["passed"] = 99
    assert c["passed"] == 3


def test_json_exceptions_become_repr():
    err = ValueError("bad", 2)
    s = runset.Section(id="s", seq_num=1)
    s.update_extra({"error": err})
    assert json.loads(s.dump_json())["report"]["extra"]["error"] == repr(err)
    assert runset.JSONDumper().default(KeyError("k")) == repr(KeyError("k"))


def test_json_nested_results_and_counters_in_extra():
    s = runset.Section(id="s", seq_num=1)
    c = ResultCounter()
    c["skipped"] = 2
    s.update_extra({"r": [Failed], "c": c})
    extra = json.loads(s.dump_json())["report"]["extra"]
    assert extra == {"r": [{"value": "failed"}], "c": {"skipped": 2, "total": 2, "success_rate": 0.0}}


@pytest.mark.parametrize("value", [Opaque(), {1, 2}, b"bytes", object()])
def test_json_refuses_unknown_objects(value):
    s = runset.Section(id="s", seq_num=1)
    s.update_extra({"v": value})
    with pytest.raises(TypeError, match="not JSON serializable"):
        s.dump_json()
    with pytest.raises(TypeError):
        runset.JSONDumper().default(value)


def test_json_refuses_a_node_with_nothing_to_report():
    class Hollow(runset.Section):
        _ARG_ORDER = ["details", "extra", "result", "nowhere"]

    h = Hollow(id="h", seq_num=1)
    with pytest.raises(TypeError):
        runset.JSONDumper().default(h)
    with pytest.raises(TypeError):
        h.dump_json()
    h.result = Passed
    assert runset.JSONDumper().default(h) == {"result": Passed}


def test_json_encodes_subclass_nodes_yaml_does_not():
    class Custom(runset.Section):
        pass

    t = runset.Task(id="t", seq_num=1)
    c = Custom(id="c", seq_num=1, parent=t)
    t.sections.append(c)
    j = json.loads(t.dump_json())["report"]["sections"][0]
    assert j["type"] == "Custom" and j["fullid"] == "t.c"
    y = yaml.safe_load(t.dump_yaml())["report"]["sections"][0]
    assert y == {"type": repr(Custom), "repr": repr(c)}


# ------------------------------------------------------------- representers

@pytest.mark.parametrize("value, text", [
    (1 / 3, "0.33"), (2.5, "2.5"), (1e-05, "0.0"), (2.675, "2.67"),
    (3.0, "3.0"), (0.125, "0.12"), (-1.005, "-1.0"), (123456.789, "123456.79"),
])
def test_float_representer_rounds_to_two_places(dumper, value, text):
    node = runset.float_representer(dumper, value)
    assert (node.tag, node.value) == ("tag:yaml.org,2002:float", text)
    assert roundtrip_yaml({"f": value}) == {"f": float(text)}


def test_floats_everywhere_are_cut():
    assert roundtrip_yaml([1 / 3, {"x": 2 / 3}]) == [0.33, {"x": 0.67}]
    # ints and bools are not floats
    assert ydump({"i": 7, "b": True}) == "b: true\ni: 7\n"


def test_str_representer_multiline_becomes_literal_block(dumper):
    node = runset.str_representer(dumper, "a  \nb\t\n")
    assert (node.tag, node.value, node.style) == ("tag:yaml.org,2002:str", "a\nb\n", "|")
    text = ydump({"k": "a  \nb\t\n"})
    assert text == "k: |\n  a\n  b\n"
    assert yaml.safe_load(text) == {"k": "a\nb\n"}
    assert roundtrip_yaml({"k": "x \r\ny\r\n\t z \n"}) == {"k": "x\ny\n\t z\n"}


def test_str_representer_single_line_is_untouched(dumper):
    node = runset.str_representer(dumper, "ab  ")
    assert (node.tag, node.value, node.style) == ("tag:yaml.org,2002:str", "ab  ", None)
    text = ydump({"k": "ab  "})
    assert text in ("k: 'ab  '\n", 'k: "ab  "\n')
    assert roundtrip_yaml({"k": "ab  ", "n": "3.5", "e": ""}) == {"k": "ab  ", "n": "3.5", "e": ""}


def test_type_representer_writes_class_text(dumper):
    node = runset.type_representer(dumper, int)
    assert (node.tag, node.value) == ("tag:yaml.org,2002:str", "<class 'int'>")
    assert roundtrip_yaml({"t": ValueError}) == {"t": "<class 'ValueError'>"}


def test_unknown_representer_writes_type_and_repr(dumper):
    node = runset.unknown_representer(dumper, Opaque())
    assert node.tag == "tag:yaml.org,2002:map"
    assert roundtrip_yaml({"o": Opaque()}) == {"o": {"type": repr(Opaque), "repr": "Opaque<7>"}}
    err = KeyError("x")
    assert roundtrip_yaml([err]) == [{"type": "<class 'KeyError'>", "repr": repr(err)}]


def test_result_counter_representer_order(dumper):
    c = ResultCounter()
    c["passed"] = 3
    c["failed"] = 1
    node = runset.ResultCounter_representer(dumper, c)
    assert node.tag == "tag:yaml.org,2002:map"
    assert [k.value for k, _ in node.value] == ["passed", "failed", "total", "success_rate"]
    assert ydump({"c": c}) == "c:\n  passed: 3\n  failed: 1\n  total: 4\n  success_rate: 75.0\n"
    assert c.data == {"passed": 3, "failed": 1}


def test_result_counter_with_weight(dumper):
    c = ResultCounter()
    c["passed"] = 2
    c["failed"] = 1
    c.weight = 0.5
    assert roundtrip_yaml(c) == {"passed": 2, "failed": 1, "total": 3, "success_rate": 33.33}


@pytest.mark.parametrize("result, expected", [
    (Passed, {"value": "passed"}),
    (results.TestResult("failed", reason="", data={}), {"value": "failed"}),
    (results.TestResult("errored", reason="crash"), {"value": "errored", "reason": "crash"}),
    (results.TestResult("blocked", reason="r", data={"k": 1}),
     {"value": "blocked", "reason": "r", "data": {"k": 1}}),
])
def test_test_result_representer(dumper, result, expected):
    node = runset.TestResult_representer(dumper, result)
    assert node.tag == "tag:yaml.org,2002:map"
    assert roundtrip_yaml(result) == expected
    assert json.loads(json.dumps(result, cls=runset.JSONDumper)) == expected


def test_attr_dict_is_a_plain_mapping(dumper):
    d = AttrDict(b=1, a={"n": 2.3456})
    node = runset.AttrDict_representer(dumper, d)
    assert node.tag == "tag:yaml.org,2002:map"
    text = ydump({"d": d})
    assert "!!" not in text and "python" not in text
    assert yaml.safe_load(text) == {"d": {"a": {"n": 2.35}, "b": 1}}


def test_representers_take_keywords(dumper):
    node = runset.str_representer(dumper=dumper, data="x")
    assert node.value == "x"
    node = runset.float_representer(data=0.5, dumper=dumper)
    assert node.value == "0.5"


def test_subclass_of_section_goes_to_unknown_representer():
    class MySection(runset.Section):
        pass

    s = MySection(id="m", seq_num=1)
    assert roundtrip_yaml({"n": s}) == {"n": {"type": repr(MySection), "repr": repr(s)}}
    plain = runset.Section(id="p", seq_num=1)
    assert roundtrip_yaml({"n": plain})["n"]["id"] == "p"


def test_safe_dumper_is_left_alone():
    t = runset.Task(id="t", seq_num=1)
    with pytest.raises(yaml.representer.RepresenterError):
        yaml.safe_dump(t)
    with pytest.raises(yaml.representer.RepresenterError):
        yaml.safe_dump(Opaque())
    assert yaml.safe_dump(1 / 3) != ydump(1 / 3)
    assert yaml.safe_dump({"k": [1]}, default_flow_style=False) == "k:\n- 1\n"


# ------------------------------------------------------------- dumper hooks

def test_lists_under_keys_are_indented():
    assert ydump({"k": ["a", "b"], "m": {"n": [1]}}) == "k:\n  - a\n  - b\nm:\n  n:\n    - 1\n"


def test_increase_indent_ignores_indentless(dumper):
    assert dumper.increase_indent() is None
    assert dumper.indent == 0
    dumper.increase_indent(False, True)
    assert dumper.indent == 2
    dumper.increase_indent(indentless=True, flow=False)
    assert dumper.indent == 4
    assert dumper.indents == [None, 0, 2]


def test_ignore_aliases_always(dumper):
    for value in (None, [], {"a": 1}, Passed, ResultCounter(), "s"):
        assert dumper.ignore_aliases(value) is True
    assert dumper.ignore_aliases(data=1) is True


def test_shared_objects_are_written_in_full():
    c = ResultCounter()
    c["passed"] = 1
    items = [1, 2]
    s = runset.Section(id="s", seq_num=1)
    s.extra = {"a": c, "b": c, "l1": items, "l2": items}
    s.health_summary = c
    text = s.dump_yaml()
    assert "&" not in text and "*" not in text
    data = yaml.safe_load(text)["report"]
    full = {"passed": 1, "total": 1, "success_rate": 100.0}
    assert data["extra"] == {"a": full, "b": full, "l1": [1, 2], "l2": [1, 2]}
    assert data["health_summary"] == full


def test_self_containing_value_recurses_without_end():
    s = runset.Section(id="s", seq_num=1)
    loop = []
    loop.append(loop)
    s.extra["loop"] = loop
    with pytest.raises(RecursionError):
        s.dump_yaml()


# ------------------------------------------------------------- argument errors

def _fresh():
    return runset.YAMLDumper(io.StringIO())


@pytest.mark.parametrize("call, message", [
    (lambda: runset.str_representer(_fresh()),
     "str_representer() takes exactly 2 positional arguments (1 given)"),
    (lambda: runset.float_representer(_fresh(), 1.0, 2),
     "float_representer() takes exactly 2 positional arguments (3 given)"),
    (lambda: runset.type_representer(),
     "type_representer() takes exactly 2 positional arguments (0 given)"),
    (lambda: runset.unknown_representer(_fresh()),
     "unknown_representer() takes exactly 2 positional arguments (1 given)"),
    (lambda: runset.ResultCounter_representer(_fresh()),
     "ResultCounter_representer() takes exactly 2 positional arguments (1 given)"),
    (lambda: runset.TestResult_representer(_fresh(), Passed, None),
     "TestResult_representer() takes exactly 2 positional arguments (3 given)"),
    (lambda: runset.AttrDict_representer(_fresh()),
     "AttrDict_representer() takes exactly 2 positional arguments (1 given)"),
    (lambda: runset.str_representer(_fresh(), "x", style="|"),
     "str_representer() got an unexpected keyword argument 'style'"),
    (lambda: runset.float_representer(_fresh(), 1.0, dumper=None),
     "float_representer() got multiple values for keyword argument 'dumper'"),
    (lambda: _fresh().ignore_aliases(),
     "ignore_aliases() takes exactly 2 positional arguments (1 given)"),
    (lambda: _fresh().increase_indent(False, False, 3),
     "increase_indent() takes at most 3 positional arguments (4 given)"),
    (lambda: runset.YAMLDumper.increase_indent(),
     "increase_indent() takes at least 1 positional argument (0 given)"),
    (lambda: runset.JSONDumper().default(),
     "default() takes exactly 2 positional arguments (1 given)"),
    (lambda: runset.JSONDumper().default(1, 2),
     "default() takes exactly 2 positional arguments (3 given)"),
])
def test_wrong_arguments_raise_standard_type_error(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message
