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
from reference.job import build_job
from support.roads import at_depth, code_run, depth_room


JSON_DIR = __import__("os").path.dirname(json.__file__)


def generic(node):
    return json.dumps(runset.ReportHeader(node).as_dict(), cls=runset.JSONDumper)


def outcome(call):
    # The notes too: 3.14's json adds one per level an error leaves.
    try:
        return ("text", call())
    except RecursionError as error:
        return ("error", RecursionError, "", getattr(error, "__notes__", None))
    except Exception as error:  # the comparison is the point
        return ("error", type(error), str(error), getattr(error, "__notes__", None))


def json_frames(call):
    """Runs call() and returns the json package's Python functions that ran."""
    return code_run(call, lambda code: code.co_filename.startswith(JSON_DIR), outcome)


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
    # No json.dumps frame ran, so the fast road wrote it; a refusal alone runs
    # JSONEncoder.default, as JSONDumper.default's last resort.
    assert set(frames) <= {"__init__", "default"}
    assert bool(frames) == (fast[0] == "error" and "not JSON serializable" in fast[2])


def test_whole_job_matches_the_generic_road():
    rs = build_job(runset, 3, 4, __file__)
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
    fast = outcome(rs.dump_json)
    assert fast == outcome(lambda: generic(rs))
    assert fast[:3] == ("error", ValueError, "Circular reference detected")
    del section.extra["loop"]
    section.extra["me"] = section  # a node inside itself, through default
    fast = outcome(rs.dump_json)
    assert fast == outcome(lambda: generic(rs))
    assert fast[:3] == ("error", ValueError, "Circular reference detected")


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


@pytest.mark.parametrize("owner, name, value", [
    ("sub", "fullid", property(lambda self: "changed")),
    ("base", "idlist", property(lambda self: ["changed"])),
    ("sub", "name", property(lambda self: "computed", lambda self, value: None)),
    ("base", "_parent", property(lambda self: None, lambda self, value: None)),
    ("sub", "__getattribute__", lambda self, name: "seen" if name == "name" else object.__getattribute__(self, name)),
], ids=["own-path", "base-path", "reported-name", "base-parent", "read-hook"])
def test_a_class_changed_after_a_dump_is_read_anew_by_the_next(monkeypatch, owner, name, value):
    # What a dump found in the classes is not kept across a change to them.
    class Sub(runset.Section):
        pass

    def dumped(dump):
        rs = job_with([], [])
        section = Sub(id="sub", seq_num=3, parent=rs.tasks[0])
        rs.tasks[0].sections.append(section)
        section.sections.append(Sub(id="deeper", seq_num=1, parent=section))
        return outcome(lambda: dump(rs))

    before = dumped(lambda rs: rs.dump_json())
    monkeypatch.setattr(Sub if owner == "sub" else runset.ReportObjectBase, name, value, raising=False)
    after = dumped(lambda rs: rs.dump_json())
    assert after == dumped(generic)
    assert after != before


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


@pytest.mark.parametrize("name", ["TestResult", "ResultCounter", "ReportObjectBase"])
def test_a_module_global_replaced_during_the_dump_is_seen_by_the_values_after_it(monkeypatch, name):
    class Swapper(Exception):
        def __repr__(self):
            monkeypatch.setattr(runset, name, type("Other", (), {}))
            return "Swapper()"

    def dumped(dump):
        rs = job_with([Swapper(), counter({"passed": 1}), Failed], [])
        try:
            return outcome(lambda: dump(rs))
        finally:
            monkeypatch.undo()

    fast = dumped(lambda rs: rs.dump_json())
    assert fast == dumped(generic)
    refused = {"TestResult": "TestResult", "ResultCounter": "ResultCounter", "ReportObjectBase": "Section"}[name]
    assert fast[:3] == ("error", TypeError, "Object of type %s is not JSON serializable" % refused)


def test_float_and_key_forms_follow_the_json_package():
    rs = job_with([{1.5: math.inf, True: -math.inf, None: math.nan, 10 ** 20: -0.0, FloatSub(2.0): IntSub(3)}], [])
    assert rs.dump_json() == generic(rs)
    assert '{"1.5": Infinity, "true": -Infinity, "null": NaN, "100000000000000000000": -0.0, "2.0": 3}' \
        in rs.dump_json()


def test_astral_and_control_characters_are_escaped_as_the_json_package_does():
    rs = job_with(["\U0001f600\x7f\x1f\u2028\"\\/"], [])
    assert rs.dump_json() == generic(rs)
    assert '"\\ud83d\\ude00\\u007f\\u001f\\u2028\\"\\\\/"' in rs.dump_json()


# ---- values written without the objects JSONDumper.default would make

def dumped_extra(value):
    """The JSON text of a job whose section holds `value`, checked against the generic road."""
    rs = job_with([value], [])
    fast = outcome(rs.dump_json)
    assert fast == outcome(lambda: generic(rs))
    return fast


class LaterDate(datetime.datetime):
    def __str__(self):
        return "later"


class Zone(datetime.tzinfo):
    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, dt):
        if self.offset is None:
            raise LookupError("no offset here")
        return datetime.timedelta(minutes=self.offset)


@settings(max_examples=300, deadline=None)
@given(st.datetimes(datetime.datetime.min, datetime.datetime.max), st.booleans())
def test_naive_datetimes_are_their_str(moment, whole_second):
    if whole_second:
        moment = moment.replace(microsecond=0)
    assert runset.JSONDumper().default(moment) == str(moment)
    kind, text = dumped_extra(moment)
    assert kind == "text" and json.loads(text)["report"]["tasks"][0]["sections"][0]["extra"]["v0"] == str(moment)


@pytest.mark.parametrize("moment, shown", [
    (datetime.datetime(1, 1, 1), "0001-01-01 00:00:00"),
    (datetime.datetime(999, 12, 31, 23, 59, 59, 1), "0999-12-31 23:59:59.000001"),
    (datetime.datetime(9999, 12, 31, 23, 59, 59, 999999), "9999-12-31 23:59:59.999999"),
    (datetime.datetime(2024, 5, 6, 7, 8, 9, fold=1), "2024-05-06 07:08:09"),
    (LaterDate(2024, 1, 1), "later"),
    (datetime.datetime(2024, 1, 1, tzinfo=Zone(90)), "2024-01-01 00:00:00+01:30"),
])
def test_datetimes_of_every_shape_are_written_as_str_gives_them(moment, shown):
    assert str(moment) == shown
    assert dumped_extra(moment)[1].count('"%s"' % shown) == 1


def test_a_tzinfo_that_raises_fails_both_roads_alike():
    assert dumped_extra(datetime.datetime(2024, 1, 1, tzinfo=Zone(None)))[:3] == \
        ("error", LookupError, "no offset here")


def test_counts_keep_their_place_and_derived_values_replace_stored_ones():
    made = ResultCounter()
    made.data = {"total": 99, "passed": 2, "success_rate": -1, "failed": 2}
    kind, text = dumped_extra(made)
    assert made.total == 102
    assert '{"total": 102, "passed": 2, "success_rate": 1.96, "failed": 2}' in text


class CountsCopy(dict):
    def copy(self):
        return CountsCopy(list(self.items()) + [("copied", 1)])


@pytest.mark.parametrize("counts, shown", [
    ({1: 2, "passed": 1}, '{"1": 2, "passed": 1, "total": 3, "success_rate": 33.33}'),
    ({StrSub("total"): 5}, '{"total": 5, "success_rate": 0.0}'),
    (CountsCopy(passed=1), '{"passed": 1, "copied": 1, "total": 1, "success_rate": 100.0}'),
])
def test_counts_that_are_not_a_plain_str_dict_are_copied_as_the_default_does(counts, shown):
    made = ResultCounter()
    made.data = counts
    assert shown in dumped_extra(made)[1]


def test_a_counter_property_that_raises_fails_both_roads_alike():
    class Broken(ResultCounter):
        @property
        def success_rate(self):
            self.data["late"] = 1  # after the copy was taken: not in the text
            raise ArithmeticError("no rate")

    assert dumped_extra(Broken())[:3] == ("error", ArithmeticError, "no rate")


def test_results_hold_reason_and_data_only_when_true():
    assert '{"value": "failed", "reason": "why", "data": {"k": [1]}}' in \
        dumped_extra(Result("failed", reason="why", data={"k": [1]}))[1]
    assert '"v0": {"value": "passed"}' in dumped_extra(Result("passed", reason="", data={}))[1]


def test_a_look_alike_class_attribute_is_asked_as_isinstance_asks_it():
    class LookAlike:
        __class__ = property(lambda self: Result)
        value, reason, data = "odd", "", None

    assert '{"value": "odd"}' in dumped_extra(LookAlike())[1]


def test_comparisons_with_the_ignored_values_run_on_both_roads_alike(monkeypatch):
    calls = []

    class Counted:
        def __eq__(self, other):
            calls.append(type(other).__name__)
            return NotImplemented

    def dump(call):
        rs = job_with([], [])
        rs.tasks[0].sections[0].name = Counted()
        calls.clear()
        result = outcome(call(rs))
        return result, list(calls)

    assert dump(lambda rs: rs.dump_json)[1] == dump(lambda rs: lambda: generic(rs))[1] == \
        ["NoneType", "list", "dict"]
    # Without a comparison of its own nothing runs; one given later is seen.
    del Counted.__eq__
    assert dump(lambda rs: rs.dump_json) == dump(lambda rs: lambda: generic(rs))
    assert dump(lambda rs: rs.dump_json)[1] == []
    monkeypatch.setattr(Counted, "__eq__", lambda self, other: calls.append("late") or NotImplemented,
                        raising=False)
    assert dump(lambda rs: rs.dump_json)[1] == dump(lambda rs: lambda: generic(rs))[1] == ["late"] * 3


def test_reported_names_read_through_the_class_or_an_odd_dict_are_read_as_the_default_reads_them():
    reads = []

    class Described(runset.Section):
        @property
        def description(self):
            reads.append("description")
            return "d"

    def dump(call):
        reads.clear()
        return outcome(call), list(reads)

    rs = job_with([], [])
    node = Described(id="w", seq_num=3, parent=rs.tasks[0])
    rs.tasks[0].sections.append(node)
    assert dump(rs.dump_json) == dump(lambda: generic(rs))
    assert dump(rs.dump_json)[1] == ["description"] * 2
    # A dict key that is not a str: its lookups may compare, so no read is trusted.
    node.__dict__[IntSub(5)] = "five"
    rs.tasks[0].sections[0].__dict__[StrSub("name")] = "odd"
    assert dump(rs.dump_json) == dump(lambda: generic(rs))


@pytest.mark.parametrize("ignore", [[None], [None, [], {}, "x"], (None, [], {})])
def test_a_replaced_value_ignore_is_what_both_roads_test_against(monkeypatch, ignore):
    monkeypatch.setattr(runset, "VALUE_IGNORE", ignore)
    rs = job_with(["x"], [])
    rs.tasks[0].sections[0].name = "x"
    assert rs.dump_json() == generic(rs)
    assert ('"name": "x"' in rs.dump_json()) == ("x" not in ignore)


def test_many_keys_met_again_are_written_alike():
    keys = ["k%d\n" % index for index in range(1500)] + [StrSub("k1\n"), "\u00e9"]
    # Each key first in one row and later in the others, and met first either way.
    rows = [{key: index for key in keys[index:] + keys[:index]} for index in (0, 2, 1, 1500, 0)]
    rs = job_with([rows], [])
    assert rs.dump_json() == generic(rs)


@pytest.mark.parametrize("number", [0, -1, 2 ** 63 - 1, -2 ** 63, 2 ** 63, -2 ** 64 - 1, 10 ** 40, IntSub(-7)])
def test_integers_at_the_edges_of_a_machine_word(number):
    assert str(int(number)) in dumped_extra([number])[1]


def test_escapes_at_every_place_of_a_long_ascii_string():
    for place in range(40):
        for char in "\x00\x1f\"\\\x7f":
            line = "a" * place + char + "b" * (39 - place)
            assert json.dumps(line) in dumped_extra(line)[1]


@pytest.mark.parametrize("name", ["TestResult", "ResultCounter", "datetime", "ReportObjectBase", "VALUE_IGNORE"])
def test_module_globals_replaced_between_dumps_are_seen_by_the_next(monkeypatch, name):
    rs = job_with([datetime.datetime(2024, 1, 1), counter({"passed": 1})], [])
    before = rs.dump_json()
    monkeypatch.setattr(runset, name, type("Other", (), {}) if name != "VALUE_IGNORE" else [])
    after = outcome(rs.dump_json)
    assert after == outcome(lambda: generic(rs))
    assert after != ("text", before)
    monkeypatch.undo()
    assert rs.dump_json() == before


def test_cycles_and_shared_values_far_down_a_deep_document():
    shared = {"s": [1]}
    levels = [[]]
    for depth in range(80):
        levels.append([shared, Result("failed")])
        levels[-2].append(levels[-1])
    assert dumped_extra(levels[0])[0] == "text"  # met many times, never inside itself
    # Cycles closed below and above the depth where the check changes its form.
    for target in (levels[50], levels[10]):
        levels[-1].append(target)
        assert dumped_extra(levels[0])[:3] == ("error", ValueError, "Circular reference detected")
        levels[-1].pop()


class Bare(runset.ReportObjectBase):
    _ARG_ORDER = ["type", "id", "name"]


@pytest.mark.parametrize("make", [lambda: runset.Section(id="s", seq_num=1), lambda: Bare("b", 1)],
                         ids=["section", "no-paths"])
def test_the_depth_limit_strikes_both_roads_at_the_same_depth(monkeypatch, make):
    # The generic road's frames, the C encoder's call and `in VALUE_IGNORE`'s
    # comparisons each take a depth level: the fast road takes them where they are.
    node = make()
    node.update({"description": "text", "extra_value": 3})

    def sweep():
        top = depth_room()
        return [at_depth(depth, node.dump_json) for depth in range(top - 100, top - 3)]

    native = sweep()
    # Anything new in JSONDumper's namespace sends the dump down the generic road.
    monkeypatch.setattr(runset.JSONDumper, "marker", 1, raising=False)
    assert json_frames(node.dump_json)[1]
    generic_road = sweep()
    assert native == generic_road
    assert {kind for kind, _ in native} == {"text", RecursionError}
    if isinstance(node, Bare) and sys.version_info < (3, 12):
        # Inside default, `"Bare" in VALUE_IGNORE` is the first thing to go deeper
        # (from 3.12 a comparison counts against the C limit only).
        first_error = next(message for kind, message in native if kind is RecursionError)
        assert first_error == "maximum recursion depth exceeded in comparison"


class Raising(datetime.tzinfo):
    """A zone whose offset raises the error it is given, after logging the read."""

    def __init__(self, error, log):
        self.error, self.log = error, log

    def utcoffset(self, dt):
        self.log.append("offset")
        raise self.error


class LoudKey(str):
    def __repr__(self):
        LoudKey.reprs += 1
        return "loud<%s>" % str.__repr__(self)


class WatchedNotes(Exception):
    """An error whose notes are read through the instance, as add_note reads them."""

    def __init__(self, log):
        super().__init__("watched")
        self.log = log

    def __getattribute__(self, name):
        if name == "__notes__":
            object.__getattribute__(self, "log").append("notes read")
        return object.__getattribute__(self, name)

    def add_note(self, note):
        raise AssertionError("the json package calls BaseException's own add_note")


def _both_roads(build):
    # Each road on a fresh document, so that what runs can be compared too.
    fast_log, generic_log = [], []
    fast_rs, generic_rs = build(fast_log), build(generic_log)
    fast, slow = outcome(fast_rs.dump_json), outcome(lambda: generic(generic_rs))
    return (fast, fast_log), (slow, generic_log)


def _notes_of_error(make_error):
    def build(log):
        moment = datetime.datetime(2024, 1, 1, tzinfo=Raising(make_error(log), log))
        return job_with([{LoudKey("k"): [1, (moment,)]}, Result("failed", data={"at": moment})], [])
    return build


@pytest.mark.parametrize("make_error", [
    lambda log: LookupError("plain"),
    lambda log: WatchedNotes(log),
    lambda log: _with_notes(KeyError("tuple notes"), ("kept",)),
    lambda log: _with_notes(KeyError("list notes"), ["earlier"]),
], ids=["plain", "watched", "notes-not-a-list", "notes-already"])
def test_errors_carry_the_notes_the_json_package_adds(make_error):
    # 3.14+: one note per level the error leaves (list item, dict item by its
    # key's repr, defaulted object); a note that cannot be added raises instead.
    LoudKey.reprs = 0
    (fast, fast_log), (slow, slow_log) = _both_roads(_notes_of_error(make_error))
    fast_reprs = LoudKey.reprs
    assert fast == slow and fast_log == slow_log
    assert fast[0] == "error"
    if sys.version_info >= (3, 14) and fast[1] is not TypeError:
        notes = [note for note in fast[3] if note.startswith("when serializing")]
        assert notes[:5] == ["when serializing tuple item 0", "when serializing list item 1",
                             "when serializing dict item loud<'k'>", "when serializing dict item 'v0'",
                             "when serializing dict item 'extra'"]
        assert notes[5] == "when serializing kovra.reporter.runset.Section object"
        assert fast_reprs == 2  # once per road
    elif sys.version_info < (3, 14):
        assert fast[3] in (None, ["earlier"], ("kept",))


def _with_notes(error, notes):
    error.__notes__ = notes
    return error


def test_a_note_that_cannot_be_added_is_raised_in_its_place_on_both_roads():
    def context_chain(call):
        try:
            call()
        except Exception as error:
            chain = []
            while error is not None:
                chain.append((type(error).__name__, str(error), getattr(error, "__notes__", None)))
                error = error.__context__
            return chain
        return None

    def build(log):
        moment = datetime.datetime(2024, 1, 1, tzinfo=Raising(_with_notes(KeyError("t"), ("kept",)), log))
        return job_with([[moment]], [])

    fast = context_chain(build([]).dump_json)
    generic_rs = build([])
    assert fast == context_chain(lambda: generic(generic_rs))
    if sys.version_info >= (3, 14):
        assert fast[0][:2] == ("TypeError", "Cannot add note: __notes__ is not a list")
        assert fast[1][:2] == ("KeyError", "'t'")
