"""dump_json's own road against the generic one.

dump_json writes the text natively while json.dumps, JSONDumper and the json
encoder are as found at import; the generic road is json.dumps(document,
cls=JSONDumper) itself, called here directly. Both must give the same text or
the same exception for every value, and any replaced piece must send the dump
down the generic road (seen as Python frames of the json package).
"""
import datetime
import json
import json.encoder
import math
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kovra.reporter import runset
from kovra.results import Failed, Passed, ResultCounter
from kovra.results import TestResult as Result


JSON_DIR = __import__("os").path.dirname(json.__file__)


def generic(node):
    return json.dumps(runset.ReportHeader(node).as_dict(), cls=runset.JSONDumper)


def outcome(call):
    try:
        return ("text", call())
    except RecursionError:
        return ("error", RecursionError, "")
    except Exception as error:  # the comparison is the point
        return ("error", type(error), str(error))


def json_frames(call):
    """Runs call() and returns the json package's Python functions that ran."""
    seen = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename.startswith(JSON_DIR):
            seen.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        result = outcome(call)
    finally:
        sys.setprofile(None)
    return result, seen


class IntSub(int):
    def __repr__(self):
        return "int-sub"


class FloatSub(float):
    def __repr__(self):
        return "float-sub"


class StrSub(str):
    def __str__(self):
        return "str-sub"


class DictSub(dict):
    def items(self):
        return list(reversed(list(super().items())))


class ListSub(list):
    def __iter__(self):
        return iter(list(super().__iter__())[::-1])


class Opaque:
    pass


class Loud(Exception):
    pass


text = st.text(st.characters(blacklist_categories=()), max_size=8)
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-10 ** 30, 10 ** 30).map(IntSub),
    st.floats(allow_nan=True, allow_infinity=True), st.floats().map(FloatSub),
    text, text.map(StrSub),
    st.sampled_from([Passed, Failed, Result("failed", reason="why", data={"k": [1]})]),
    st.builds(datetime.datetime, st.integers(2000, 2030), st.integers(1, 12), st.integers(1, 28),
              st.integers(0, 23), st.integers(0, 59), st.integers(0, 59), st.integers(0, 999999)),
    st.sampled_from([Loud("x"), ValueError()]),
)
keys = st.one_of(text, text.map(StrSub), st.integers(), st.floats(allow_nan=True), st.booleans(), st.none())


def counter(counts):
    made = ResultCounter()
    for name, count in counts.items():
        made[name] = count
    return made


values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple),
        st.lists(inner, max_size=3).map(ListSub),
        st.dictionaries(keys, inner, max_size=4), st.dictionaries(text, inner, max_size=3).map(DictSub),
        st.dictionaries(st.sampled_from(["passed", "failed", "total"]), st.integers(0, 5)).map(counter),
    ),
    max_leaves=12,
)
# Values a dump must refuse: unknown objects and keys json cannot hold.
refused = st.one_of(st.builds(Opaque), st.just({(1, 2): 1}), st.just({"k": [Opaque()]}))


def job_with(extra_values, detail_values):
    rs = runset.RunSet(id="job", seq_num=0)
    task = rs.add_task(id="t\u00e9", seq_num=1)
    section = task.add_section(id=StrSub("s1"), seq_num=1)
    section.update({"description": "d\n\x00\ud800", "result": Failed})
    for index, value in enumerate(extra_values):
        section.extra["v%d" % index] = value
    for value in detail_values:
        section.add_detail(value)
    task.sections.append(runset.Section(id=7, seq_num=2, parent=task))
    return rs


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(values, max_size=4), st.lists(values, max_size=3), st.lists(refused, max_size=1))
def test_text_and_errors_match_the_generic_road(extra_values, detail_values, bad):
    rs = job_with(extra_values + bad, detail_values)
    fast, frames = json_frames(rs.dump_json)
    assert fast == outcome(lambda: generic(rs))
    # No json.dumps frame ran, so the native road wrote it; a refusal alone runs
    # JSONEncoder.default, as JSONDumper.default's last resort.
    assert set(frames) <= {"__init__", "default"}
    assert bool(frames) == (fast[0] == "error" and "not JSON serializable" in fast[2])


def test_whole_job_matches_the_generic_road():
    sys.path.insert(0, __import__("os").path.join(__import__("os").path.dirname(__file__), "..", "..", "bench"))
    try:
        import bench_runset
    finally:
        sys.path.pop(0)
    rs = bench_runset.build_job(runset, 3, 4, __file__)
    assert rs.dump_json() == generic(rs)
    assert json.loads(rs.dump_json())["report"]["tasks"][1]["sections"][1]["id"] == "sec0"


@pytest.mark.parametrize("value, message", [
    (Opaque(), "Object of type Opaque is not JSON serializable"),
    ({(1, 2): 1}, "keys must be str, int, float, bool or None, not tuple"),
])
def test_refusals_carry_the_json_package_wording(value, message):
    rs = job_with([value], [])
    with pytest.raises(TypeError) as info:
        rs.dump_json()
    assert str(info.value) == message


def test_self_containing_values_are_circular_references():
    rs = job_with([], [])
    section = rs.tasks[0].sections[0]
    loop = []
    loop.append(loop)
    section.extra["loop"] = loop
    assert outcome(rs.dump_json) == outcome(lambda: generic(rs)) == \
        ("error", ValueError, "Circular reference detected")
    del section.extra["loop"]
    section.extra["me"] = section  # a node inside itself, through default
    assert outcome(rs.dump_json) == outcome(lambda: generic(rs)) == \
        ("error", ValueError, "Circular reference detected")


def test_a_node_with_nothing_reported_is_refused_like_an_unknown_object():
    node = runset.ReportObjectBase("x", 1)
    node._ARG_ORDER = ["missing"]
    rs = job_with([node], [])
    assert outcome(rs.dump_json) == outcome(lambda: generic(rs))
    assert outcome(rs.dump_json)[1] is TypeError


def test_odd_reported_names_behave_as_the_dict_default_builds():
    node = runset.ReportObjectBase("x", 1)
    # Repeated names keep their first place; a str subclass name is a dict key.
    node._ARG_ORDER = ["id", "name", "id", StrSub("type")]
    node.id = "y"
    rs = job_with([node], [])
    assert rs.dump_json() == generic(rs)
    assert '{"id": "y", "name": "x", "type": "ReportObjectBase"}' in rs.dump_json()


def test_subclass_attribute_reads_are_seen_by_both_roads():
    reads = []

    class Watched(runset.Section):
        def __getattribute__(self, name):
            reads.append(name)
            return super().__getattribute__(name)

    rs = job_with([], [])
    rs.tasks[0].sections.append(Watched(id="w", seq_num=3, parent=rs.tasks[0]))
    fast = rs.dump_json()
    fast_reads, reads[:] = list(reads), []
    assert fast == generic(rs)
    assert fast_reads == reads and "starttime" in reads


def test_mutation_by_a_value_during_the_dump_matches():
    class Grower(Exception):
        def __init__(self, target):
            self.target = target

        def __repr__(self):
            self.target.append("grown")
            return "Grower()"

    def make():
        rs = job_with([], [])
        items = ["a"]
        items.append(Grower(items))
        rs.tasks[0].sections[0].extra["items"] = items
        return rs

    assert make().dump_json() == generic(make())


# ---- every replaced piece sends the dump down the generic road

_genuine_default = runset.JSONDumper.default


def _patched_default(self, obj):
    return _genuine_default(self, obj)


@pytest.mark.parametrize("replace", [
    lambda mp: mp.setattr(runset, "json", type(json)("json_copy")) or setattr(runset.json, "dumps", json.dumps),
    lambda mp: mp.setattr(json, "dumps", lambda *a, **k: json.encoder.JSONEncoder.encode(k["cls"](), a[0])),
    lambda mp: mp.setitem(json.dumps.__kwdefaults__, "ensure_ascii", False),
    lambda mp: mp.setattr(json.dumps, "__kwdefaults__", dict(json.dumps.__kwdefaults__)),
    lambda mp: mp.setattr(runset, "JSONDumper", type("Sub", (runset.JSONDumper,), {})),
    lambda mp: mp.setattr(runset.JSONDumper, "item_separator", ","),
    lambda mp: mp.setattr(json.JSONEncoder, "key_separator", ":"),
    lambda mp: mp.setattr(runset.JSONDumper, "default", _patched_default),
    lambda mp: mp.setattr(json.JSONEncoder, "encode", lambda self, o: "".join(self.iterencode(o))),
    lambda mp: mp.setattr(json.JSONEncoder.iterencode, "__defaults__", (True,)),
    lambda mp: mp.setattr(json.encoder, "c_make_encoder", None),
    lambda mp: mp.setattr(json.encoder, "encode_basestring_ascii", json.encoder.py_encode_basestring_ascii),
    lambda mp: mp.setattr(json.encoder, "isinstance", isinstance, raising=False),
], ids=["json-global", "dumps", "dumps-kwdefaults-content", "dumps-kwdefaults-object", "dumper-global",
        "dumper-attribute", "encoder-attribute", "dumper-default", "encoder-encode", "iterencode-defaults",
        "no-c-encoder", "string-encoder", "encoder-globals"])
def test_a_replaced_piece_sends_the_dump_down_the_generic_road(monkeypatch, replace):
    rs = job_with(["caf\u00e9", 1.5, {"k": [1, None]}], [])
    expected = rs.dump_json()
    replace(monkeypatch)
    (kind, text), frames = json_frames(rs.dump_json)
    assert kind == "text" and frames, "the dump did not go through the json package"
    with_generic = json.dumps(runset.ReportHeader(rs).as_dict(), cls=runset.JSONDumper)
    assert text == with_generic
    monkeypatch.undo()
    # Back to the pieces found at import: the native road again, same text.
    (kind, text), frames = json_frames(rs.dump_json)
    assert (kind, text, frames) == ("text", expected, [])


def test_float_and_key_forms_follow_the_json_package():
    rs = job_with([{1.5: math.inf, True: -math.inf, None: math.nan, 10 ** 20: -0.0, FloatSub(2.0): IntSub(3)}], [])
    assert rs.dump_json() == generic(rs)
    assert '{"1.5": Infinity, "true": -Infinity, "null": NaN, "100000000000000000000": -0.0, "2.0": 3}' \
        in rs.dump_json()


def test_astral_and_control_characters_are_escaped_as_the_json_package_does():
    rs = job_with(["\U0001f600\x7f\x1f\u2028\"\\/"], [])
    assert rs.dump_json() == generic(rs)
    assert '"\\ud83d\\ude00\\u007f\\u001f\\u2028\\"\\\\/"' in rs.dump_json()
