"""dump_yaml's fast road against PyYAML's own (pure-Python) dump of the same document.

Every document is dumped twice: by dump_yaml, watched with a profile hook that
sees whether any of PyYAML's Python code ran (the fast road runs none), and
by yaml.dump with YAMLDumper, the generic road. Text, or exception type and
text, must agree. Values reach the document through a node's attributes, as a
framework's data does.
"""

import builtins
import datetime
import os
import re
import sys

import pytest
import yaml
import yaml.emitter
import yaml.representer
import yaml.resolver
import yaml.serializer
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kovra.datastructures import AttrDict
from kovra.reporter import runset
from kovra.results import Failed, Passed, ResultCounter
from kovra.results import TestResult as Result
from support.roads import at_depth, code_run, depth_room, outcome

YAML_DIR = os.path.dirname(yaml.__file__)


def generic_dump(node):
    document = runset.ReportHeader(node).as_dict()
    return yaml.dump(document, Dumper=runset.YAMLDumper, default_flow_style=False)


def watched_dump(node):
    """dump_yaml's outcome, and whether PyYAML's own road (its representer or serializer) ran for it.

    Where a callback may run, the road makes and opens the dumper first, as the generic road does."""
    result, entered = code_run(node.dump_yaml, lambda code: code.co_filename.startswith(YAML_DIR))
    return result, bool({"represent_data", "serialize"}.intersection(entered))


def assert_native_matches(node):
    result, generic_ran = watched_dump(node)
    assert not generic_ran, "dump_yaml took the generic road"
    assert result == outcome(lambda: generic_dump(node))
    return result


def node_holding(value, key="extra"):
    node = runset.Task(id="n", seq_num=1)
    setattr(node, key, value)
    return node


# ---------------------------------------------------------------- generated values

SPECIAL = [" ", "  ", "\t", "\n", "\r", "\r\n", "\x85", "\u2028", "\u2029", "\ufeff", "\x00", "\x07", "\x1b",
           "\x7f", "\xa0", "\xe9", "\u0394", "\ue000", "\uf8ff", "\ufffd", "\ufffe", "\U0001f600", "\U0010fffd",
           "\U0010ffff", "\ud800", "\udfff", "'", '"', "\\", "#", " #", ": ", ":", "-", "- ", "?", "? ", ",", "[",
           "]", "{", "}", "&", "*", "!", "|", ">", "%", "@", "`", ".", "...", "---", "~", "=", "<<", "x", "word"]

LOOK_ALIKES = ["yes", "Yes", "YES", "no", "No", "NO", "true", "True", "false", "FALSE", "on", "On", "off", "OFF",
               "y", "n", "null", "Null", "NULL", "~", "", "<<", "=", "!", "&", "*", "0", "-0", "+1", "0b101", "0b",
               "017", "08", "0x1F", "0x_", "1_000", "1:20", "190:20:30", "1:60", "1:123", "-1:5", "1.5", "1.",
               ".5", "-.5", "+1.5e+3", "1.5e3", "1e5", "1:20.5", ".inf", "-.Inf", "+.INF", ".nan", ".NaN", "nan",
               "inf", "2001-12-14", "2001-12-14t21:59:43.10-05:00", "2001-12-14 21:59:43.10 -5",
               "2001-12-14 21:59:43.10Z", "2001-1-1 1:00:00", "2001-12-14\t21:59:43 +05:30", "2001-12-14 21:59:43 +05:3",
               "2001-12-14 21:59:43.", "1_2.3_4", "_1", "0o17", "12e3", "3.0", "-0.0", ".", "-", "+", "0.1.2"]

resolver_patterns = [regexp.pattern for first in yaml.resolver.Resolver.yaml_implicit_resolvers.values()
                     for _, regexp in first]
look_alike = st.one_of(
    st.sampled_from(LOOK_ALIKES),
    st.sampled_from(sorted(set(resolver_patterns))).flatmap(lambda pattern: st.from_regex(
        yaml.resolver.re.compile(pattern, yaml.resolver.re.X), fullmatch=True)),
).flatmap(lambda text: st.sampled_from([text, text + "\n", text + " ", " " + text, text + "x"]))

character = st.one_of(st.sampled_from(SPECIAL), st.characters(), st.characters(max_codepoint=127))
text = st.one_of(st.lists(character, max_size=12).map("".join), look_alike)

# Lines around the 80-column width: words and runs of spaces, sometimes with a
# character that forces quotes or escapes.
word = st.text(alphabet="abcdefghij", min_size=1, max_size=14)
gap = st.sampled_from([" ", " ", " ", "  ", "   "])
long_line = st.lists(st.tuples(word, gap), min_size=4, max_size=28).flatmap(
    lambda parts: st.sampled_from(["", "'", "\t", "\xe9", "# ", ":"]).map(
        lambda extra: extra.join(w + g for w, g in parts[:2]) + "".join(w + g for w, g in parts[2:])))
multi_line = st.lists(st.one_of(long_line, text, st.just("")), min_size=1, max_size=5).map("\n".join)
any_text = st.one_of(text, long_line, multi_line)

offsets = st.integers(-23 * 3600, 23 * 3600).map(
    lambda seconds: datetime.timezone(datetime.timedelta(seconds=seconds)))
timestamps = st.datetimes(timezones=st.none() | offsets | st.just(datetime.timezone.utc))
numbers = st.one_of(
    st.integers(), st.integers(min_value=-(10 ** 40), max_value=10 ** 40),
    st.floats(), st.sampled_from([float("inf"), float("-inf"), float("nan"), -0.0, 0.0, 1e16, 1e-5, 2.675, 1 / 3]))


class Opaque:
    def __init__(self, label):
        self.label = label

    def __repr__(self):
        return "Opaque(%s)" % self.label


def counter(counts):
    made = ResultCounter()
    for name, count in counts:
        made[name] = count
    return made


def make_result(args):
    name, reason, data = args
    return Result(name, reason=reason, data=data)


leaf = st.one_of(
    any_text, numbers, st.booleans(), st.none(), st.binary(max_size=130), st.dates(), timestamps,
    st.sampled_from([int, str, Opaque, type(None), AttrDict]),
    any_text.map(Opaque),
    st.sampled_from([Passed, Failed]),
    st.tuples(st.sampled_from(["passed", "failed", "skipped"]), st.none() | text, st.none() | st.dictionaries(text, text, max_size=2)).map(make_result),
    st.lists(st.tuples(st.sampled_from(["passed", "failed", "x\ny"]), st.integers(0, 5)), max_size=3).map(counter),
)
hashable = st.one_of(text, st.integers(), st.floats(allow_nan=False), st.booleans(), st.none(),
                     st.tuples(text, st.integers()), st.frozensets(st.integers(), max_size=2))


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.dictionaries(text, children, max_size=4),
        st.dictionaries(hashable, children, max_size=4),  # keys of mixed types
        st.dictionaries(text, children, max_size=3).map(AttrDict),
        st.sets(st.one_of(st.integers(), text), max_size=4),
    )


values = st.recursive(leaf, containers, max_leaves=25)

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(value=values)
def test_any_value_as_extra_data(value):
    assert_native_matches(node_holding(value))


@SETTINGS
@given(value=any_text, key=st.sampled_from(["name", "id", "type"]))
def test_text_in_every_style(value, key):
    assert_native_matches(node_holding(value, key))


@SETTINGS
@given(keys=st.lists(st.one_of(any_text, hashable), max_size=6), value=leaf)
def test_keys_simple_long_and_complex(keys, value):
    mapping = {}
    for key in keys:
        mapping[key] = value
    assert_native_matches(node_holding({"m": mapping, "l": [mapping, [mapping]]}))


@SETTINGS
@given(value=numbers)
def test_numbers(value):
    assert_native_matches(node_holding([value, {"v": value}]))


# ------------------------------------------------------------------ chosen cases

@pytest.mark.parametrize("value", [
    "a  \nb\t\n", "trailing  ", "", " ", "\n", "\n\n", "a\n\n", "  lead\nx", "x\n  indented\n",
    "a \nb", "\ufeffbom", "\ud83d", "nel\x85", "ls\u2028ps\u2029", "cr\rcr", "tab\there", "quote's",
    "x" * 200, ("word " * 30).strip(), ("'w " * 40).strip(), "\t" + "y " * 60, "\xe9" * 100,
    "=\n", "a:\n", "x\n", "a" * 79 + " " + "b" * 10, "a" * 80 + " b", ("ab " * 26) + "\t", "#not a comment", "a #b", "a: b", "-x", "- x",
])
def test_chosen_text(value):
    assert_native_matches(node_holding({"s": value, value: [value], "k": {value: None}}))


def test_floats_rounded_and_special():
    assert_native_matches(node_holding([1 / 3, 2.5, 1e-05, 2.675, -0.0, float("inf"), float("-inf"),
                                        float("nan"), 1e16, 123456789.123]))


def test_dates_binary_and_big_ints():
    tz = datetime.timezone(datetime.timedelta(hours=5, minutes=30, seconds=15))
    assert_native_matches(node_holding({
        "when": datetime.datetime(2024, 2, 29, 23, 59, 59, 999999, tzinfo=tz),
        "naive": datetime.datetime(2024, 1, 1), "day": datetime.date(1, 1, 1),
        "blob": bytes(range(256)), "empty": b"", "big": -(10 ** 300), "t": True, "f": False,
    }))


def test_shared_values_are_written_twice():
    shared = ResultCounter()
    shared["passed"] = 2
    text = assert_native_matches(node_holding([shared, {"again": shared}]))[1]
    assert "&id" not in text and "*id" not in text


def test_empty_and_nested_containers():
    assert_native_matches(node_holding({"e": [], "d": {}, "t": (), "s": set(), "a": AttrDict(),
                                        "n": [[[]], [{}], {"x": [[1]]}], "deep": [[[[[[["x"]]]]]]]}))


def test_unsortable_keys_keep_their_order():
    assert_native_matches(node_holding({2: "a", "b": 1, None: 3, (1,): 4}))


def test_whole_job():
    rs = runset.RunSet(id="job", seq_num=1)
    rs.start(cli="kovra run", host="h", extra_key={"nested": [1, "two", None]})
    plugin = rs.add_plugin(id="plugin", seq_num=0)
    plugin.start()
    plugin.stop()
    for t in range(3):
        task = rs.add_task(id="task%d" % t, seq_num=t)
        task.start(testscript="s.py", parameters={"t": t, "long": "x " * 60})
        for s in range(4):
            section = task.add_section(id="sec %d" % s, seq_num=s)
            section.start(description="line one\nline two  \n")
            step = section.add_section(id="step", seq_num=0)
            step.start()
            step.add_detail({"message": "said: yes", "when": datetime.datetime(2020, 1, 1)})
            step.stop(result=Failed if s == 2 else Passed, health=[{"result": "passed"}])
            section.stop(result=Passed)
        task.stop()
    rs.stop(num_tasks=3)
    assert_native_matches(rs)


# ---------------------------------------------------------------------- failures

class Exploding:
    def __repr__(self):
        raise ValueError("no repr today")


def test_errors_raised_by_repr_propagate():
    result = assert_native_matches(node_holding({"a": 1, "b": Exploding()}))
    assert result == (ValueError, "no repr today")


def test_errors_raised_by_result_attributes_propagate():
    counter = ResultCounter()
    counter.data = None  # items() fails
    result = assert_native_matches(node_holding({"c": counter}))
    assert result[0] is AttributeError


def same_up_to_recursion_site(result, expected):
    # Where the interpreter's depth limit strikes (a call, a comparison) shifts
    # with the caller's own depth, and with it the end of the message.
    if result[0] is RecursionError:
        assert expected[0] is RecursionError
        assert result[1].startswith("maximum recursion depth exceeded")
    else:
        assert result == expected


def by_road(generic, call):
    """call(), with dump_yaml's own road off when `generic` (a new name in a module
    PyYAML's code reads sends it down the generic road); the same caller depth
    either way."""
    if generic:
        yaml.serializer.road_marker = 1
    try:
        return call()
    finally:
        yaml.serializer.__dict__.pop("road_marker", None)


def both_roads(call):
    return by_road(False, call), by_road(True, call)


class Counted:
    """A repr that counts its calls and measures the depth left to it."""

    def __init__(self):
        self.calls, self.rooms = 0, []

    def __repr__(self):
        self.calls += 1
        self.rooms.append(depth_room())
        return "counted"


def test_self_containing_value_fails_like_the_generic_road():
    loop = []
    loop.append(loop)
    node = node_holding({"loop": loop})
    native, generic = both_roads(lambda: at_depth(0, node.dump_yaml))
    assert native[0] is RecursionError and native == generic


@pytest.mark.parametrize("depth", [40, 150, 400, 2000])
def test_deep_nesting_agrees(depth):
    value = "leaf"
    for _ in range(depth):
        value = [value]
    node = node_holding(value)
    assert not watched_dump(node)[1]
    # Compared without the profile hook, whose calls take depth of their own.
    before = depth_room()
    native, generic = both_roads(lambda: outcome(node.dump_yaml))
    assert native == generic
    assert depth_room() == before  # every level taken is given back, error or not


def test_a_callback_has_the_room_it_has_on_the_generic_road():
    # Each level of nesting takes the generic road three depth units: a repr under
    # 100 lists has about 300 fewer, and one that goes deeper than the rest allows
    # fails there on both roads.
    probe = Counted()
    innermost = [probe]
    value = innermost
    for _ in range(99):
        value = [value]
    node = node_holding(value)
    native, generic = both_roads(lambda: outcome(node.dump_yaml))
    assert native == generic and probe.rooms[0] == probe.rooms[1]
    left = probe.rooms[0]

    class Deep:
        def __init__(self, frames):
            self.frames = frames

        def __repr__(self):
            def down(n):
                return down(n - 1) if n else "deep"
            return down(self.frames - 1)

    kinds = set()
    for frames in range(left - 2, left + 3):
        innermost[0] = Deep(frames)
        native, generic = both_roads(lambda: outcome(node.dump_yaml))
        assert native == generic
        kinds.add(native[0])
    assert kinds == {"text", RecursionError}


def test_the_depth_limit_strikes_both_roads_at_the_same_place():
    # From every caller depth where some level of the document meets the limit:
    # the same text or error, after the same callbacks.
    counted = Counted()
    inner = {"b": [1, 2.5, None, True, "x\ny", b"ab", datetime.date(2020, 1, 1), counted, int, {3, 4}],
             "a": AttrDict(k=[counted]), "r": Result("failed", reason="why", data={"d": [1]}),
             "c": counter([("passed", 1)])}
    value = [inner, {"z": [inner]}]
    for _ in range(20):
        value = [value]  # deeper than the room the road asks for at the start
    node = node_holding(value)
    top = depth_room()

    def sweep():
        found = []
        for depth in range(top - 200, top - 40):
            counted.calls = 0
            found.append(at_depth(depth, node.dump_yaml) + (counted.calls,))
        return found

    native, generic = both_roads(sweep)
    assert {kind for kind, _, _ in native} == {"text", RecursionError}
    if sys.version_info[:2] != (3, 11):
        assert native == generic
    else:
        # 3.11 counts a builtin's call (str(), sorted(), hasattr()) or not as its
        # adaptive interpreter has specialised the call site by then: the error
        # strikes at the same place after the same callbacks, its text may name
        # another call.
        assert [(kind, text if kind == "text" else None, calls) for kind, text, calls in native] == \
            [(kind, text if kind == "text" else None, calls) for kind, text, calls in generic]


# ------------------------------------------------------------------ handing over
#
# Where the road cannot go on after a callback has run, or a callback changed a
# piece the generic road reads, the dumper yaml.dump makes carries on from there:
# the text is the generic road's and no callback runs twice.

def counted_outcomes(node, counted):
    """dump_yaml's outcome and the generic road's, each with the calls counted."""
    counted.calls = 0
    native = outcome(node.dump_yaml)
    native_calls, counted.calls = counted.calls, 0
    generic = outcome(lambda: generic_dump(node))
    return native, native_calls, generic, counted.calls


class Hashing(type):
    def __hash__(cls):
        return type.__hash__(cls)


class OwnMro(type):
    @property
    def __mro__(cls):
        return (cls, object)


class PairsAsLists(dict):
    """Counts whose items() give lists, not tuples: unpacked all the same."""

    def items(self):
        return [[key, value] for key, value in dict.items(self)]


class Effect:
    """A repr that counts its calls and makes a change on the first."""

    def __init__(self, change=None):
        self.calls, self.change = 0, change

    def __repr__(self):
        self.calls += 1
        if self.change and self.calls == 1:
            self.change()
        return "effect"


def list_items_counter():
    made = ResultCounter()
    made.data = PairsAsLists(passed=2, failed=1)
    return made


@pytest.fixture
def representers():
    table = runset.YAMLDumper.yaml_representers
    saved = dict(table)
    yield table
    runset.YAMLDumper.yaml_representers = table
    table.clear()
    table.update(saved)


def float_as_text(dumper, data):
    return dumper.represent_scalar("tag:yaml.org,2002:str", "float %r" % data)


GIVE_WAY_AFTER_A_CALLBACK = {
    "metaclass with its own hash": lambda: Hashing("Hashed", (), {})(),
    "metaclass with its own __mro__": lambda: OwnMro("Mro", (), {})(),
    "items that are lists": list_items_counter,
}


@pytest.mark.parametrize("place", sorted(GIVE_WAY_AFTER_A_CALLBACK))
def test_a_give_way_after_a_callback_runs_no_callback_twice(place):
    counted = Effect()
    later = GIVE_WAY_AFTER_A_CALLBACK[place]()
    node = node_holding({"a": counted, "b": [1.5, later, {"y": 1, "x": "t\nu"}], "c": Opaque("c")})
    native, native_calls, generic, generic_calls = counted_outcomes(node, counted)
    assert native == generic and native[0] == "text"
    assert native_calls == generic_calls == 1


@pytest.mark.parametrize("change", ["table replaced", "representer added"])
def test_a_representer_table_changed_by_a_callback_is_followed_once(change, representers):
    def make_change():
        if change == "table replaced":
            runset.YAMLDumper.yaml_representers = dict(representers)
        runset.YAMLDumper.yaml_representers[float] = float_as_text

    def run(call):
        counted.calls = 0
        runset.YAMLDumper.yaml_representers = representers
        representers.pop(float)
        representers[float] = runset.float_representer
        return call(), counted.calls

    counted = Effect(make_change)
    node = node_holding({"a": counted, "b": [1.5, {"f": 2.5}], "c": 0.5})
    native, generic = run(lambda: outcome(node.dump_yaml)), run(lambda: outcome(lambda: generic_dump(node)))
    assert native == generic and native[1] == 1
    assert "float 2.5" in native[0][1]


class Key:
    """A key whose comparison makes a change (once)."""

    def __init__(self, name, change):
        self.name, self.change = name, change

    def __lt__(self, other):
        if self.change:
            self.change, change = None, self.change
            change()
        return self.name < other.name

    def __repr__(self):
        return "Key(%s)" % self.name


def unsorted(items):
    return list(items)[::-1]


ADDED_MID_DUMP = {
    "yaml.representer sorted": (yaml.representer, "sorted", unsorted),
    "builtins sorted": (builtins, "sorted", unsorted),
    "yaml.emitter len": (yaml.emitter, "len", lambda obj: len(obj)),
    "yaml.serializer isinstance": (yaml.serializer, "isinstance", lambda *args: isinstance(*args)),
    "yaml.representer isinstance": (yaml.representer, "isinstance", lambda *args: isinstance(*args)),
}


def with_name_added(effect, call):
    """call() where `effect` names what a callback adds; undone afterwards."""
    module, name, value = ADDED_MID_DUMP[effect]
    missing = object()
    saved = module.__dict__.get(name, missing)
    try:
        return call(lambda: setattr(module, name, value))
    finally:
        if saved is missing:
            module.__dict__.pop(name, None)
        else:
            setattr(module, name, saved)


@pytest.mark.parametrize("effect", sorted(ADDED_MID_DUMP))
def test_a_name_added_by_a_key_comparison_is_followed(effect):
    def dump(road):
        def call(change):
            keys = {Key("b", change): 1, Key("a", change): [2, 3]}
            return outcome(lambda: road(node_holding({"k": keys, "later": {"x": 2, "y": 1}})))
        return with_name_added(effect, call)

    native, generic = dump(lambda node: node.dump_yaml()), dump(generic_dump)
    assert native == generic
    if "sorted" in effect:
        assert native[1].index("y: 1") < native[1].index("x: 2")


@SETTINGS
@given(before=values, after=values, effect=st.sampled_from(sorted(ADDED_MID_DUMP)),
       late=st.sampled_from([None] + sorted(GIVE_WAY_AFTER_A_CALLBACK)))
def test_a_name_added_mid_dump_hands_over_with_the_generic_text(before, after, effect, late):
    # The change comes from a callback between two values of any shape, and a
    # place the road cannot follow may come after it.
    def dump(road):
        def call(change):
            trigger = Effect(change)
            tail = [after, GIVE_WAY_AFTER_A_CALLBACK[late]()] if late else after
            result = outcome(lambda: road(node_holding({"a": before, "m": trigger, "z": tail})))
            return result, trigger.calls
        return with_name_added(effect, call)

    native, generic = dump(lambda node: node.dump_yaml()), dump(generic_dump)
    if late:
        # A fresh object each time: its address in the repr differs.
        native, generic = [(kind, re.sub(" at 0x[0-9a-f]+", "", text) if kind == "text" else text, calls)
                           for (kind, text), calls in (native, generic)]
    assert native == generic


@SETTINGS
@given(before=values, after=values, late=st.sampled_from(sorted(GIVE_WAY_AFTER_A_CALLBACK)))
def test_a_give_way_after_any_callback_carries_on_generically(before, after, late):
    later = GIVE_WAY_AFTER_A_CALLBACK[late]()
    counted = Effect()
    node = node_holding({"a": before, "m": counted, "z": [after, later]})
    native, native_calls, generic, generic_calls = counted_outcomes(node, counted)
    assert native == generic and native_calls == generic_calls


def test_the_depth_limit_strikes_both_roads_at_the_same_place_after_a_hand_over():
    # As above, with a callback that changes a module PyYAML reads at the start.
    def change():
        yaml.emitter.marker_added = 1

    trigger = Effect(change)
    inner = {"b": [1, 2.5, None, "x\ny", b"ab", {3, 4}], "a": AttrDict(k=[1]),
             "r": Result("failed", reason="why", data={"d": [1]}), "c": counter([("passed", 1)])}
    value = [{"0": trigger}, inner, {"z": [inner]}]
    for _ in range(20):
        value = [value]
    node = node_holding(value)
    top = depth_room()

    def sweep():
        found = []
        for depth in range(top - 200, top - 40):
            trigger.calls = 0
            try:
                found.append(at_depth(depth, node.dump_yaml) + (trigger.calls,))
            finally:
                yaml.emitter.__dict__.pop("marker_added", None)
        return found

    native, generic = both_roads(sweep)
    assert {kind for kind, _, _ in native} == {"text", RecursionError}
    assert {calls for _, _, calls in native} <= {0, 1}
    if sys.version_info[:2] != (3, 11):
        assert native == generic
    else:
        assert [(kind, text if kind == "text" else None, calls) for kind, text, calls in native] == \
            [(kind, text if kind == "text" else None, calls) for kind, text, calls in generic]


class Truth:
    """A value whose truth or equality is code that makes a change (once)."""

    def __init__(self, change):
        self.change, self.calls = change, 0

    def fire(self):
        self.calls += 1
        if self.calls == 1:
            self.change()

    def __bool__(self):
        self.fire()
        return True

    def __eq__(self, other):
        self.fire()
        return False

    __hash__ = object.__hash__

    def __repr__(self):
        return "Truth()"


class ItemsWithEffect(dict):
    def __init__(self, effect, **counts):
        super().__init__(**counts)
        self.effect = effect

    def items(self):
        self.effect.fire()
        return dict.items(self)


def counter_with_own_items(truth):
    made = counter([("passed", 1)])
    made.items = lambda: (truth.fire(), made.data.items())[1]
    return made


def counter_with_odd_counts(truth):
    made = ResultCounter()
    made.data = ItemsWithEffect(truth, passed=1)
    return made


# Where kovra.results' own code would run someone else's: each runs the callback,
# which adds a name to yaml.representer that the rest of the dump reads.
RESULT_CALLBACKS = {
    "counter items of the instance": lambda truth: {"c": counter_with_own_items(truth)},
    "counter data of another class": lambda truth: {"c": counter_with_odd_counts(truth)},
    "result reason with its own truth": lambda truth: {"r": Result("failed", reason=truth)},
    "node attribute compared with VALUE_IGNORE": None,
}


@pytest.mark.parametrize("place", sorted(RESULT_CALLBACKS))
def test_code_run_by_result_classes_is_seen(place):
    def dump(road):
        def call(change):
            truth = Truth(change)
            if RESULT_CALLBACKS[place]:
                node = node_holding(dict(RESULT_CALLBACKS[place](truth), z={"x": 2, "y": 1}))
            else:
                node = node_holding({"z": {"x": 2, "y": 1}})
                node.name = truth
            return outcome(lambda: road(node)), truth.calls
        return with_name_added("yaml.representer sorted", call)

    native, generic = dump(lambda node: node.dump_yaml()), dump(generic_dump)
    assert native == generic
    assert native[1] >= 1 and native[0][1].index("y: 1") < native[0][1].index("x: 2")


def test_plain_results_and_counters_take_the_road_whole():
    # Their representers run kovra.results' own code only: no hand-over.
    node = node_holding({"c": counter([("passed", 2), ("failed", 1)]), "r": [Passed, Failed],
                         "why": Result("failed", reason="r", data={"k": [1]})})
    node.result = Failed
    assert_native_matches(node)
