"""Differential test: the native report model against the plain-Python reference.

Random operation sequences on a job (children added under existing nodes,
start/stop/update with known and unknown keywords, health entries, details,
roll-ups, run-set stop with num_tasks, log files that grow or are missing)
are applied to a native tree and a reference tree with the same fake clock.
After every operation the outcome (return value or exception type and text)
and the full instance state of every node must agree; dumps are compared
whenever the sequence asks for them and at the end.

Argument-count errors are left out: their wording is the interpreter's own on
the reference side.
"""

import copy
import datetime
import json
import os
import re
import sys
import tempfile

import pytest
import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kovra.results as results
from kovra.datastructures import AttrDict
from kovra.reporter import runset as native
from reference import runset as reference

IMPLS = (native, reference)
RESULT_CONSTANTS = (results.Passed, results.Passx, results.Failed, results.Errored,
                    results.Aborted, results.Blocked, results.Skipped)
RESULT_NAMES = ("passed", "passx", "failed", "errored", "aborted", "blocked", "skipped")
NODE_CLASSES = ("ReportObjectBase", "RunSet", "Task", "Plugin", "Section")


# ---------------------------------------------------------------- helpers

class LogPath:
    """Placeholder for a log path, made real per example (tmp dir)."""

    def __init__(self, key):
        self.key = key

    def __repr__(self):
        return "LogPath(%r)" % self.key


class Opaque:
    """A value no encoder knows: YAML falls back to type/repr, JSON refuses it."""

    def __init__(self, tag):
        self.tag = tag

    def __repr__(self):
        return "Opaque(%r)" % self.tag


def materialise(value, paths):
    """Independent copy of generated data for one implementation."""
    if isinstance(value, LogPath):
        return paths[value.key]
    if any(value is c for c in RESULT_CONSTANTS):
        return value
    if isinstance(value, results.TestResult):
        return value.clone()
    if isinstance(value, results.ResultCounter):
        counter = results.ResultCounter()
        counter.data.update(value.data)
        counter.weight = value.weight
        return counter
    if isinstance(value, dict):
        new = copy.copy(value)  # keeps AttrDict
        new.clear()
        for key, item in value.items():
            new[key] = materialise(item, paths)
        return new
    if isinstance(value, list):
        return [materialise(item, paths) for item in value]
    if isinstance(value, tuple):
        return tuple(materialise(item, paths) for item in value)
    return copy.deepcopy(value)


def norm(value, nodes):
    """Comparable form: nodes by position, results and counters by content."""
    if isinstance(value, (native.ReportObjectBase, reference.ReportObjectBase)):
        for index, node in enumerate(nodes):
            if node is value:
                return ("node", index, type(value).__name__)
        return ("foreign node", type(value).__name__, value.id)
    if isinstance(value, results.TestResult):
        return ("result", value.value, norm(value.reason, nodes), norm(value.data, nodes),
                value is results.Passed)
    if isinstance(value, results.ResultCounter):
        return ("counter", norm(value.data, nodes), value.weight, value.total, value.success_rate)
    if isinstance(value, dict):
        return (type(value).__name__, [(norm(k, nodes), norm(v, nodes)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [norm(item, nodes) for item in value])
    if isinstance(value, (float, bool)):
        # Typed, so 1, 1.0 and True stay distinct.
        return (type(value).__name__, repr(value))
    if isinstance(value, (str, int, bool, type(None), datetime.datetime)):
        return value
    return (type(value).__name__, repr(value))


def outcome(func, nodes):
    try:
        return ("ok", norm(func(), nodes))
    except Exception as exc:  # every exception is part of the compared behaviour
        return ("raised", type(exc), str(exc))


def fake_clock():
    """Deterministic clock; steps of 1.25 s so some stamps carry microseconds."""
    base = datetime.datetime(2024, 2, 29, 23, 59, 58)
    state = {"n": 0}

    def get_time():
        state["n"] += 1
        return base + datetime.timedelta(seconds=1.25 * state["n"])
    return get_time


def add_methods(node):
    kind = type(node).__name__
    if kind == "RunSet":
        return ("add_task", "add_plugin")
    if kind == "Task":
        return ("add_section", "add_plugin")
    return ("add_section",)


def pick(nodes, ref):
    # Counted from the newest node, so small references nest deeper.
    return nodes[-1 - ref % len(nodes)]


def apply(op, impl, nodes, paths):
    """Run one generated operation on one implementation's tree."""
    kind = op[0]
    if kind == "finish":
        return finish(op[1], nodes, paths)
    node = pick(nodes, op[1])
    if kind == "add":
        _, _, which, child_id, seq_num, type_arg, give_parent, start_keywords = op
        methods = add_methods(node)
        kwargs = {"id": materialise(child_id, paths), "seq_num": seq_num}
        if type_arg != "omit":
            kwargs["type"] = type_arg
        if give_parent:
            kwargs["parent"] = None
        child = getattr(node, methods[which % len(methods)])(**kwargs)
        nodes.append(child)
        if start_keywords is not None:
            child.start(**materialise(start_keywords, paths))
        return child
    if kind in ("start", "stop"):
        return getattr(node, kind)(**materialise(op[2], paths))
    if kind == "update":
        return node.update(materialise(op[2], paths))
    if kind == "update_extra":
        return node.update_extra(materialise(op[2], paths), list_extend=op[3])
    if kind == "add_detail":
        return node.add_detail(materialise(op[2], paths))
    if kind == "roll_up":
        return node.roll_up()
    raise AssertionError("unknown operation %r" % (op,))


def finish(plan, nodes, paths):
    """Stop every node, newest first (children before parents), as a job ends."""
    stop_keywords, num_tasks = plan
    for index, node in enumerate(reversed(nodes)):
        if type(node).__name__ == "RunSet":
            node.stop(num_tasks=num_tasks)
        else:
            node.stop(**materialise(stop_keywords[index % len(stop_keywords)], paths))


def node_state(node, nodes):
    """Everything observable about one node."""
    state = {name: norm(value, nodes) for name, value in vars(node).items()}
    return (
        type(node).__name__,
        list(state.items()),
        outcome(lambda: node.fullid, nodes),
        outcome(lambda: node.idlist, nodes),
        outcome(node.to_dict, nodes),
    )


def sharing(nodes):
    """Which node attributes hold the very same result, counter or container object."""
    seen = {id(c): ("constant", str(c)) for c in RESULT_CONSTANTS}
    shared = []
    for index, node in enumerate(nodes):
        for name, value in vars(node).items():
            if isinstance(value, (results.TestResult, results.ResultCounter, list, dict)):
                first = seen.setdefault(id(value), (index, name))
                if first != (index, name):
                    shared.append(((index, name), first))
    return shared


def assert_same_trees(trees, context):
    nat_nodes, ref_nodes = trees
    assert len(nat_nodes) == len(ref_nodes), context
    assert sharing(nat_nodes) == sharing(ref_nodes), "object sharing differs after %s" % context
    for index, (nat, ref) in enumerate(zip(nat_nodes, ref_nodes)):
        assert node_state(nat, nat_nodes) == node_state(ref, ref_nodes), (
            "node %d (%s) differs after %s" % (index, type(nat).__name__, context))


def assert_same_dumps(nat_node, ref_node, context):
    nat_json = outcome(nat_node.dump_json, [])
    ref_json = outcome(ref_node.dump_json, [])
    if nat_json[0] == ref_json[0] == "ok":
        assert json.loads(nat_json[1]) == json.loads(ref_json[1]), context
    assert nat_json == ref_json, context
    assert outcome(nat_node.dump_yaml, []) == outcome(ref_node.dump_yaml, []), context


# ---------------------------------------------------------------- strategies

ALL_NAMES = sorted({name for cls in (native.RunSet, native.Task, native.Plugin, native.Section)
                    for name in cls._ARG_ORDER} - {"tasks", "sections"})
UNKNOWN_NAMES = ["foo", "bar", "note", "seq_num", "parent", "num_tasks", "health", "logfile", "result"]

texts = st.text(alphabet="ab \t\n\r:#-'\"\u00e9", max_size=8)
floats = st.one_of(st.floats(allow_nan=False, width=64),
                   st.sampled_from([2.675, 0.12345, 1e-05, 1.0 / 3, 3.0, -0.0, 2.5]))
datetimes = st.builds(lambda s, us: datetime.datetime(2024, 1, 1) + datetime.timedelta(seconds=s, microseconds=us),
                      st.integers(0, 10 ** 6), st.sampled_from([0, 1, 500000]))
result_values = st.one_of(
    st.sampled_from(RESULT_CONSTANTS),
    st.builds(lambda name, reason, data: results.TestResult(name, reason=reason, data=data),
              st.sampled_from(RESULT_NAMES),
              st.sampled_from([None, "", "why", "two\nlines  "]),
              st.sampled_from([None, {}, {"k": 1}, [1, 2]])),
)


def _counter(counts, weight):
    counter = results.ResultCounter()
    for key, count in counts:
        counter[key] = count
    counter.weight = weight
    return counter


counters = st.builds(_counter,
                     st.lists(st.tuples(st.sampled_from(RESULT_NAMES + ("custom",)), st.integers(0, 5)),
                              max_size=4),
                     st.sampled_from([1.0, 0.5]))
odd_values = st.sampled_from([Opaque("x"), ValueError("bad"), int, (1, "a"), b"raw", frozenset()])
scalars = st.one_of(st.none(), st.booleans(), st.integers(-5, 100), floats, texts)
leaves = st.one_of(scalars, scalars, datetimes, result_values, counters, odd_values)
values = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.dictionaries(st.sampled_from(["a", "b", "result", "x y"]), inner, max_size=3),
        st.dictionaries(st.sampled_from(["a", "k"]), inner, max_size=2).map(AttrDict),
    ),
    max_leaves=5,
)
plain_values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=3),
                            st.dictionaries(st.sampled_from(["a", "b"]), inner, max_size=3)),
    max_leaves=4,
)

GOOD_HEALTH = [{"result": name} for name in RESULT_NAMES + ("Failed", "ERRORED", "Passed")]
GOOD_HEALTH += [{"result": c, "note": 1} for c in (results.Passed, results.Blocked)]
BAD_HEALTH = [{}, {"result": "bogus"}, {"note": "no result"}]
health_lists = st.one_of(
    st.lists(st.sampled_from(GOOD_HEALTH * 6 + BAD_HEALTH), max_size=3),
    st.lists(st.sampled_from(GOOD_HEALTH), min_size=1, max_size=3),
    st.sampled_from(["passed", {"result": "passed"}, None]),
)
log_paths = st.sampled_from([LogPath("a"), LogPath("a"), LogPath("b"), LogPath("b"),
                             LogPath("missing"), "", None])
ids = st.one_of(st.sampled_from(["t", "s", "p", "step", "a.b"]), st.integers(0, 9))

KEYWORD_VALUES = {
    "result": st.one_of(result_values, result_values, result_values, st.none(), st.just("passed")),
    "health_result": st.one_of(result_values, st.none()),
    "summary": st.one_of(counters, st.none()),
    "pluginsummary": counters,
    "health_summary": counters,
    "starttime": st.one_of(datetimes, st.none()),
    "stoptime": st.one_of(datetimes, st.none()),
    "runtime": st.one_of(floats, st.integers(0, 9)),
    "details": st.one_of(st.lists(plain_values, max_size=3), plain_values),
    "extra": st.dictionaries(st.sampled_from(["a", "health"]), plain_values, max_size=2),
    "logs": st.sampled_from([{}, {"file": "x.log"}, {"file": "x.log", "begin": 3}]),
    "logfile": log_paths,
    "health": health_lists,
    "num_tasks": st.one_of(st.integers(-2, 6), st.sampled_from([True, 2.5, 0.0, "3", None])),
    "id": ids,
    "type": st.sampled_from(["custom", "", None]),
    "totaltasks": st.integers(0, 5),
}
# Rare keys that drive failure paths (read-only property) or no-ops.
RARE_NAMES = ["fullid", "idlist"]


def _value_for(name):
    return st.tuples(st.just(name), KEYWORD_VALUES.get(name, values))


keyword_pairs = st.one_of(
    st.sampled_from(ALL_NAMES).flatmap(_value_for),
    st.sampled_from(UNKNOWN_NAMES).flatmap(_value_for),
    st.sampled_from(["health", "result", "logfile", "num_tasks"]).flatmap(_value_for),
)
keywords = st.lists(keyword_pairs, max_size=4, unique_by=lambda pair: pair[0]).map(dict)
rare_keywords = st.sampled_from(RARE_NAMES).flatmap(
    lambda name: st.tuples(st.just(name), st.just(["z"]) if name == "idlist" else texts)
).map(lambda pair: dict([pair]))
odd_keys = st.dictionaries(st.sampled_from([1, None, 2.5, ("t",), "foo"]), plain_values, min_size=1, max_size=2)
mappings = st.one_of(keywords, keywords, keywords.map(AttrDict), rare_keywords, odd_keys, st.just(None))

node_refs = st.integers(0, 40)
start_keywords = st.one_of(st.none(), st.just({}), keywords,
                           st.builds(lambda log, kw: dict(kw, logfile=log), log_paths, keywords))
add_op = st.tuples(st.just("add"), node_refs, st.integers(0, 1), ids, st.integers(0, 9),
                   st.sampled_from(["omit", "omit", None, "", "custom"]),
                   st.sampled_from([False] * 15 + [True]), start_keywords)
health_stop = st.builds(lambda r, h: {"result": r, "health": h}, result_values, health_lists)
stop_keywords = st.one_of(keywords, st.builds(dict, result=result_values), health_stop)
operations = st.one_of(
    add_op, add_op, add_op,
    st.tuples(st.just("start"), node_refs, keywords),
    st.tuples(st.just("stop"), node_refs, stop_keywords),
    st.tuples(st.just("stop"), node_refs, stop_keywords),
    st.tuples(st.just("update"), node_refs, mappings),
    st.tuples(st.just("update_extra"), node_refs,
              st.dictionaries(st.sampled_from(["a", "health", "z"]), plain_values, max_size=2),
              st.booleans()),
    st.tuples(st.just("add_detail"), node_refs, values),
    st.tuples(st.just("roll_up"), node_refs),
    st.tuples(st.just("grow"), st.sampled_from(["a", "b"]), st.integers(0, 300)),
    st.tuples(st.just("dump"), node_refs),
)
finish_plans = st.tuples(st.just("finish"),
                         st.tuples(st.lists(stop_keywords, min_size=1, max_size=4), KEYWORD_VALUES["num_tasks"]))
# Most jobs start the run set first and end by stopping every node, as the framework does.
job_scripts = st.tuples(
    st.booleans(), keywords,
    st.tuples(st.lists(add_op, min_size=2, max_size=12), st.lists(operations, min_size=4, max_size=40)),
    st.one_of(finish_plans, finish_plans, st.none()),
)


# ---------------------------------------------------------------- tests

def test_same_public_surface():
    for name in ("VERSION", "VALUE_IGNORE", "FLOAT_PRECISION", "YAML_MAP", "YAML_STR", "YAML_FLT"):
        assert getattr(native, name) == getattr(reference, name), name
    for name in NODE_CLASSES:
        assert getattr(native, name)._ARG_ORDER == getattr(reference, name)._ARG_ORDER, name
    public = {n for n in dir(native) if not n.startswith("_")}
    assert public == {n for n in dir(reference) if not n.startswith("_")}


def test_fake_clock_reaches_both_modules():
    # The differential test relies on swapping get_time as a module global.
    originals = [impl.get_time for impl in IMPLS]
    try:
        stamps = []
        for impl in IMPLS:
            impl.get_time = fake_clock()
            node = impl.Section(id="s", seq_num=1)
            node.start()
            node.stop()
            stamps.append((node.starttime, node.stoptime, node.runtime))
    finally:
        for impl, original in zip(IMPLS, originals):
            impl.get_time = original
    assert stamps[0] == stamps[1]
    assert stamps[0][0] == datetime.datetime(2024, 2, 29, 23, 59, 59, 250000)
    assert stamps[0][2] == 1.25


@settings(max_examples=200, derandomize=True, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(job_scripts)
def test_native_matches_reference(script):
    start_first, first_keywords, (adds, ops), finish_plan = script
    ops = adds + ops
    originals = [impl.get_time for impl in IMPLS]
    with tempfile.TemporaryDirectory() as tmp:
        paths = {"a": os.path.join(tmp, "a.log"),
                 "b": os.path.join(tmp, "sub", "b.log"),
                 "missing": os.path.join(tmp, "missing.log")}
        os.mkdir(os.path.join(tmp, "sub"))
        for key in ("a", "b"):
            with open(paths[key], "w") as handle:
                handle.write("x" * 100)
        # Stopped plugins keep a bare file name; keep its lookups off the caller's cwd.
        cwd = os.getcwd()
        os.mkdir(os.path.join(tmp, "cwd"))
        os.chdir(os.path.join(tmp, "cwd"))
        try:
            trees = []
            for impl in IMPLS:
                impl.get_time = fake_clock()
                trees.append([impl.RunSet(id="job", seq_num=0)])
            if start_first:
                ops = [("start", 0, first_keywords)] + ops
            if finish_plan:
                ops = ops + [finish_plan]
            for step, op in enumerate(ops):
                context = "operation %d %r" % (step, op)
                if op[0] == "grow":
                    with open(paths[op[1]], "a") as handle:
                        handle.write("y" * op[2])
                    continue
                if op[0] == "dump":
                    assert_same_dumps(*(pick(nodes, op[1]) for nodes in trees), context)
                    continue
                got = [outcome(lambda: apply(op, impl, nodes, paths), nodes)
                       for impl, nodes in zip(IMPLS, trees)]
                assert got[0] == got[1], context
                assert_same_trees(trees, context)
            assert_same_dumps(trees[0][0], trees[1][0], "final dump of the run set")
        finally:
            os.chdir(cwd)
            for impl, original in zip(IMPLS, originals):
                impl.get_time = original


class _Items:
    """A mapping-like object whose items() yields whatever it was given."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs


def _error_type(func):
    # Only the type is described for this failure; the wording is the interpreter's.
    try:
        func()
    except Exception as exc:
        return type(exc)
    raise AssertionError("no failure")


def _growing_update(m):
    data = {"name": "renamed", "b": 2}

    def pairs():
        for pair in data.items():
            data["late"] = 3
            yield pair
    node = m.Section(id="s", seq_num=1)
    try:
        node.update(_Items(pairs()))
    except RuntimeError as exc:
        # The pair applied before the failure stays; extra is not merged.
        return str(exc), node.name, node.extra
    raise AssertionError("a mapping that grew during update went unnoticed")


def _subclass_report(m):
    class Sub(m.Section):
        _ARG_ORDER = ["id", "custom", "result", "logfile", "name"]
    node = Sub(id="x", seq_num=3, type="")
    node.update({"custom": "c", "other": 1, "result": results.Failed, "name": None})
    return (node.type, node.to_dict(), node.extra, node.dump_yaml(),
            m.JSONDumper().default(node), yaml.dump([node], Dumper=m.YAMLDumper))


def _ignorable_only(m):
    class Empty(m.ReportObjectBase):
        _ARG_ORDER = ["nothing", "details", "extra"]
    node = Empty(id="e", seq_num=1)
    node.extra = AttrDict()
    yaml_text = node.dump_yaml()
    try:
        node.dump_json()
    except TypeError as exc:
        return yaml_text, str(exc)
    raise AssertionError("an empty node was encoded as JSON")


def _bad_name(m):
    class Bad(m.ReportObjectBase):
        _ARG_ORDER = ["id", 5]
    return Bad(id="b", seq_num=1).to_dict()


def _base_parent(m):
    root = m.ReportObjectBase(7, 1)
    child = m.Section(id="c", seq_num=2, parent=root)
    grandchild = child.add_section(id=8, seq_num=3)
    return root.to_dict(), child.fullid, grandchild.fullid, grandchild.idlist, root.dump_json()


def _encoders(m):
    shared = results.ResultCounter()
    shared["passed"] = 3
    shared["failed"] = 1
    shared.weight = 0.5
    doc = {
        "lines": "a  \nb\t\n",
        "single": "trailing  ",
        "floats": [1.0 / 3, 2.5, 1e-05, 2.675, 3.0, 0.12345],
        "type": int,
        "opaque": Opaque("o"),
        "twice": [shared, shared],
        "result": results.TestResult("failed", reason="why", data={"k": [1]}),
        "bare": results.TestResult("passed", reason="", data={}),
        "attr": AttrDict(z=1, a=[1, 2]),
        "when": datetime.datetime(2024, 1, 2, 3, 4, 5, 600),
        "nested": {"seq": [[1, 2], {"k": "v"}]},
        "tuple": (1, 2),
    }
    json_doc = {k: v for k, v in doc.items() if k not in ("type", "opaque", "tuple")}
    json_doc["error"] = ValueError("bad")
    return (yaml.dump(doc, Dumper=m.YAMLDumper, default_flow_style=False),
            json.dumps(json_doc, cls=m.JSONDumper))


def _header(m):
    header = m.ReportHeader(report="r")
    return header.as_dict() is header.data, header.as_dict()


def _update_extra(m):
    node = m.Task(id="t", seq_num=1)
    node.update_extra({"a": [1], "b": {"c": 1}})
    node.update_extra({"a": [2], "b": {"d": 2}}, False)
    node.update_extra(data={"a": [3]}, list_extend=True)
    return node.extra


def _runset_partial_roll_up(m):
    rs = m.RunSet(id="job", seq_num=1)
    first = rs.add_task(id="t1", seq_num=1)
    first.add_section(id="s", seq_num=1).stop(result=results.Passed)
    first.stop()
    rs.add_plugin(id="never_started", seq_num=2)
    broken = rs.add_task(id="t2", seq_num=3)
    broken.update({"summary": None})
    try:
        rs.stop(num_tasks=2)
    except AttributeError as exc:
        # Counters replaced before the failure stay replaced and partly filled.
        return str(exc), rs.summary, rs.pluginsummary, rs.health_summary, rs.totaltasks
    raise AssertionError("no failure on a task without summary")


def _restart_and_runtime_keyword(m):
    node = m.Section(id="s", seq_num=1)
    node.stop(result=results.Passed)
    first = (node.stoptime, node.runtime)
    node.start()
    node.stop(runtime=5)
    node.update({"idlist": ["z"], "details": 3})
    node.update({"details": [4, 5]})
    return first, node.runtime, node.idlist, node.details


EDGE_SCENARIOS = {
    "short pair": lambda m: m.Section(id="s", seq_num=1).update(_Items([("a",)])),
    "empty pair": lambda m: m.Section(id="s", seq_num=1).update(_Items([()])),
    "long pair": lambda m: m.Section(id="s", seq_num=1).update(_Items([(1, 2, 3)])),
    "not iterable pair": lambda m: _error_type(lambda: m.Section(id="s", seq_num=1).update(_Items([5]))),
    "update None": lambda m: m.Task(id="t", seq_num=1).update(None),
    "growing mapping": _growing_update,
    "subclass": _subclass_report,
    "ignorable only": _ignorable_only,
    "non-string name": _bad_name,
    "base node parent": _base_parent,
    "encoders": _encoders,
    "header": _header,
    "update_extra": _update_extra,
    "run set partial roll-up": _runset_partial_roll_up,
    "restart": _restart_and_runtime_keyword,
    "parent keyword": lambda m: m.RunSet(id="r", seq_num=1).add_task(id="t", seq_num=1, parent=None),
    "fullid keyword": lambda m: m.Plugin(id="p", seq_num=1).update({"fullid": "x"}),
}


def _scrub(value):
    # Object addresses differ between any two objects; nothing else may.
    return re.sub(r" at 0x[0-9a-fA-F]+", " at 0x?", value) if isinstance(value, str) else value


def _scrub_deep(value):
    if isinstance(value, (list, tuple)):
        return type(value)(_scrub_deep(item) for item in value)
    return _scrub(value)


@pytest.mark.parametrize("name", sorted(EDGE_SCENARIOS))
def test_edge_scenario_matches_reference(name):
    scenario = EDGE_SCENARIOS[name]
    nat, ref = (_scrub_deep(outcome(lambda: scenario(impl), [])) for impl in IMPLS)
    assert nat == ref


def test_documented_job_matches_reference():
    """A fixed, framework-like job: both sides and a few known values."""
    originals = [impl.get_time for impl in IMPLS]
    outputs = []
    try:
        for impl in IMPLS:
            impl.get_time = fake_clock()
            rs = impl.RunSet(id="job", seq_num=1)
            rs.start(cli="run", custom={"k": [1]})
            job_plugin = rs.add_plugin(id="jp", seq_num=0)  # never started: summary stays None
            task = rs.add_task(id="t1", seq_num=1)
            task.start(logfile="/tmp/run/t1.log")
            sec = task.add_section(id="s1", seq_num=1)
            sec.start()
            step = sec.add_section(id="st", seq_num=1)
            step.start()
            step.stop(result=results.Failed, health=[{"result": "passed"}, {"result": "Errored"}])
            sec.stop()
            task.add_plugin(id="tp", seq_num=2).stop()
            task.stop()
            rs.stop(num_tasks=2)
            outputs.append((rs.dump_json(), rs.dump_yaml(), job_plugin, task, step, rs))
    finally:
        for impl, original in zip(IMPLS, originals):
            impl.get_time = original
    (nat_json, nat_yaml, *_), (ref_json, ref_yaml, ref_jp, ref_task, ref_step, ref_rs) = outputs
    assert json.loads(nat_json) == json.loads(ref_json)
    assert nat_json == ref_json
    assert nat_yaml == ref_yaml
    # Spot checks that the reference itself follows the described rules.
    assert ref_jp.summary is None and ref_rs.pluginsummary["none"] == 1
    assert ref_step.fullid == "t1.s1.st" and ref_step.idlist == ["t1", "s1", "st"]
    assert str(ref_task.health_result) == "errored" and ref_task.summary["failed"] == 1
    assert ref_task.pluginsummary["passed"] == 1 and ref_task.logfile == "t1.log"
    assert ref_rs.totaltasks == 2 and ref_rs.summary.weight == 0.5
    # Sequences sit one level deeper than their key.
    assert "\n      sections:\n        - type: Section\n" in ref_yaml


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))


@pytest.mark.parametrize("widths", ["ab", "\u00e9b", "\u20acb", "\U0001F600b"])
def test_paths_join_ids_of_every_character_width_as_the_reference_does(widths):
    # Each width of id under and over each other, with the JSON form that reads the paths too.
    def paths(mod):
        rs = mod.RunSet(id="job", seq_num=0)
        found = []
        for index, id in enumerate(["ab", "\u00e9b", "\u20acb", "\U0001F600b"]):
            step = rs.add_task(id=widths, seq_num=index).add_section(id=id, seq_num=1).add_section(id=widths, seq_num=1)
            found.append((step.fullid, step.idlist))
        return found, rs.dump_json()

    assert paths(native) == paths(reference)
