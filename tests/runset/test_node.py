"""ReportObjectBase: identity, paths, timing, data merging, roll-up, dictionary form."""
import datetime
import json
import types

import pytest
import yaml

from kovra.reporter import runset
from kovra.results import Aborted, Errored, Failed, Passed, ResultCounter

R = runset.ReportObjectBase
NINE_KEYS = ["passed", "passx", "failed", "errored", "aborted", "blocked", "skipped", "total", "success_rate"]
BASE_ARG_ORDER = ["type", "id", "fullid", "idlist", "name", "starttime", "stoptime", "runtime",
                  "details", "extra"]
T0 = datetime.datetime(2024, 1, 2, 3, 4, 5, 250000)
T1 = datetime.datetime(2024, 1, 2, 3, 6, 7, 750000)
T2 = datetime.datetime(2024, 1, 2, 4, 0, 0)


@pytest.fixture
def clock(monkeypatch):
    """Replace the module's clock with one handing out the given times, counting calls."""
    class Clock:
        def __init__(self):
            self.times = [T0, T1, T2]
            self.calls = 0

        def __call__(self):
            value = self.times[self.calls]
            self.calls += 1
            return value

    fake = Clock()
    monkeypatch.setattr(runset, "get_time", fake)
    return fake


@pytest.fixture
def merges(monkeypatch):
    """Record every call of the module's recursive_update, then do the real merge."""
    real = runset.recursive_update
    calls = []

    def recording(target, source, **kwargs):
        calls.append((target, dict(source), kwargs))
        return real(target, source, **kwargs)

    monkeypatch.setattr(runset, "recursive_update", recording)
    return calls


class Recorder(R):
    """A node that logs the calls that stop and update dispatch through the instance."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.log = []

    def update(self, data):
        self.log.append(("update", dict(data) if isinstance(data, dict) else data))
        super().update(data)

    def update_extra(self, data, list_extend=True):
        self.log.append(("update_extra", dict(data), list_extend))
        super().update_extra(data, list_extend)

    def roll_up(self):
        self.log.append(("roll_up",))


class Parent:
    """A plain parent with the attributes roll_up reads; counts its own roll_up calls."""

    def __init__(self, result=None, health_result=None):
        self.result = result
        self.health_result = health_result
        self.health_summary = ResultCounter()
        self.rolled = []

    def roll_up(self):
        # Snapshot what the child had handed over by the time the parent is asked to roll up.
        items = getattr(self.health_summary, "items", None)
        self.rolled.append((self.result, self.health_result, dict(items()) if items else None))


def leaf(result=None, health_result=None, parent=None, health=None, id="s"):
    """A base node carrying the attributes that sections add."""
    node = R(id, 1, parent)
    node.result = result
    node.health_result = health_result
    node.health_summary = ResultCounter()
    if health is not None:
        node.extra["health"] = health
    return node


class FakeResult:
    """A result value whose clone and += hand out new, traceable objects."""

    def __init__(self, name, log):
        self.name = name
        self.log = log

    def clone(self):
        self.log.append(("clone", self.name))
        return FakeResult(self.name + "'", self.log)

    def __iadd__(self, other):
        self.log.append(("iadd", self.name, other.name))
        return FakeResult("(%s+%s)" % (self.name, other.name), self.log)


@pytest.fixture(autouse=True)
def passed_is_never_changed():
    yield
    assert str(Passed) == "passed"
    assert Passed.reason is None and Passed.data is None
    assert runset.Passed is Passed


# --- construction --------------------------------------------------------------------

def test_base_reportable_names():
    assert R._ARG_ORDER == BASE_ARG_ORDER


def test_init_creates_attributes_in_order_with_initial_values():
    parent = R("p", 0)
    node = R("a", 5, parent, "kind")
    assert list(vars(node)) == ["type", "id", "seq_num", "_parent", "name", "starttime", "stoptime",
                                "runtime", "details", "extra"]
    assert vars(node) == {"type": "kind", "id": "a", "seq_num": 5, "_parent": parent, "name": "a",
                          "starttime": None, "stoptime": None, "runtime": None, "details": [],
                          "extra": {}}
    assert node._parent is parent


def test_init_accepts_keywords_and_defaults_parent_to_none():
    node = R(type="t", seq_num=3, id="k")
    assert (node.type, node.id, node.seq_num, node._parent) == ("t", "k", 3, None)
    assert R("a", 1, parent=None).type == "ReportObjectBase"


def test_init_returns_none():
    node = R("a", 1)
    assert R.__init__(node, "b", 2) is None
    assert node.id == "b" and node.seq_num == 2


def test_name_is_the_id_object_itself():
    ident = ("tuple", "id")
    node = R(ident, 1)
    assert node.name is ident
    assert node.id is ident


@pytest.mark.parametrize("given, expected", [
    (None, "ReportObjectBase"),
    ("", "ReportObjectBase"),
    (0, "ReportObjectBase"),
    ("custom", "custom"),
    (7, 7),
])
def test_type_falls_back_to_class_name_only_when_falsy(given, expected):
    assert R("a", 1, None, given).type == expected


def test_type_of_caller_subclass_is_its_own_class_name():
    class LocalNode(R):
        pass

    assert LocalNode("a", 1).type == "LocalNode"
    assert LocalNode("a", 1, type="").type == "LocalNode"
    assert LocalNode("a", 1, type="given").type == "given"


def test_each_instance_gets_its_own_details_and_extra():
    first, second = R("a", 1), R("b", 2)
    assert first.details is not second.details
    assert first.extra is not second.extra
    first.add_detail("x")
    first.update_extra({"k": 1})
    assert second.details == [] and second.extra == {}


def test_reinitialising_resets_the_node():
    node = R("a", 1)
    node.add_detail("x")
    details = node.details
    node.__init__("b", 2)
    assert node.details == [] and node.details is not details
    assert node.name == "b"


# --- paths ---------------------------------------------------------------------------

def test_root_path_is_the_bare_id():
    root = R(7, 1)
    assert root.fullid == 7 and type(root.fullid) is int
    assert root.idlist == [7]


def test_child_and_grandchild_paths_join_text_forms():
    root = R(7, 1)
    child = R("a", 1, root)
    grandchild = R(1.5, 1, child)
    assert child.fullid == "7.a"
    assert child.idlist == [7, "a"]
    assert grandchild.fullid == "7.a.1.5"
    assert grandchild.idlist == [7, "a", 1.5]


def test_runset_parent_is_left_out_of_the_path():
    rs = runset.RunSet(id="job", seq_num=0)
    task = R("t1", 1, rs)
    section = R("s1", 1, task)
    inner = R("s2", 1, section)
    assert task.fullid == "t1" and task.idlist == ["t1"]
    assert section.fullid == "t1.s1" and section.idlist == ["t1", "s1"]
    assert inner.fullid == "t1.s1.s2" and inner.idlist == ["t1", "s1", "s2"]
    assert rs.fullid == "job" and rs.idlist == ["job"]


def test_runset_subclass_parent_is_also_left_out():
    class MyRunSet(runset.RunSet):
        pass

    assert R("t", 1, MyRunSet(id="job", seq_num=0)).fullid == "t"


def test_falsy_parent_counts_as_no_parent():
    class Falsy(R):
        def __bool__(self):
            return False

    node = R("x", 1, Falsy("p", 0))
    assert node.fullid == "x"
    assert node.idlist == ["x"]


def test_path_reads_the_parents_own_properties_and_copies_its_list():
    parent_ids = ["p", "q"]
    parent = types.SimpleNamespace(fullid=3, idlist=parent_ids)
    node = R("c", 1, parent)
    assert node.fullid == "3.c"
    assert node.idlist == ["p", "q", "c"]
    assert parent_ids == ["p", "q"]


def test_path_goes_through_a_parent_class_that_replaced_its_path_or_attribute_reads():
    class Renamed(R):
        @property
        def fullid(self):
            return "renamed"

    class Watched(R):
        reads = []

        def __getattribute__(self, name):
            Watched.reads.append(name)
            return super().__getattribute__(name)

    assert R("c", 1, Renamed("p", 1, R("top", 1))).fullid == "renamed.c"
    watched = Watched("w", 1, R("top", 1))
    assert R("c", 1, watched).idlist == ["top", "w", "c"]
    assert "idlist" in Watched.reads


def test_children_are_made_through_whatever_the_class_global_is(monkeypatch):
    made = []

    class Counted(runset.Section):
        def __init__(self, **kwargs):
            made.append(sorted(kwargs))
            super().__init__(**kwargs)

    class Fresh(runset.Section):
        def __new__(cls, **kwargs):
            made.append("new")
            return super().__new__(cls)

    task = runset.Task(id="t", seq_num=1)
    monkeypatch.setattr(runset, "Section", Counted)
    assert type(task.add_section(id="s", seq_num=1)) is Counted
    monkeypatch.setattr(runset, "Section", Fresh)
    child = task.add_section(id="f", seq_num=2)
    assert type(child) is Fresh and child._parent is task and child.seq_num == 2
    assert made == [["id", "parent", "seq_num"], "new"]

    class Odd(runset.Section):
        pass

    Odd.__init__ = lambda self, **kw: 5
    monkeypatch.setattr(runset, "Section", Odd)
    with pytest.raises(TypeError, match="should return None"):
        task.add_section(id="o", seq_num=3)


def test_ids_use_their_str_text():
    class Ident:
        def __str__(self):
            return "I"

        def __repr__(self):
            return "repr-not-used"

    root = R(Ident(), 1)
    assert R("c", 1, root).fullid == "I.c"
    assert R(Ident(), 1, R("r", 1)).fullid == "r.I"


def test_idlist_is_a_new_list_on_every_access():
    child = R("a", 1, R("r", 1))
    first = child.idlist
    assert child.idlist is not first
    first.append("junk")
    assert child.idlist == ["r", "a"]


def test_paths_follow_parent_changes():
    node = R("a", 1)
    node._parent = R("new", 1)
    assert node.fullid == "new.a"
    node.id = "b"
    assert node.idlist == ["new", "b"]


@pytest.mark.parametrize("name", ["fullid", "idlist"])
def test_parent_cycle_raises_recursion_error(name):
    node = R("a", 1)
    other = R("b", 1, node)
    node._parent = other
    with pytest.raises(RecursionError):
        getattr(node, name)
    node._parent = node
    with pytest.raises(RecursionError):
        getattr(node, name)
    # The interpreter is still usable afterwards.
    node._parent = None
    assert getattr(node, name) in ("a", ["a"])


# --- start and stop ------------------------------------------------------------------

def test_start_and_stop_stamp_times_from_the_module_clock(clock):
    node = R("a", 1)
    assert node.start() is None
    assert node.starttime is T0
    assert node.stoptime is None and node.runtime is None
    assert node.stop() is None
    assert node.stoptime is T1
    assert node.runtime == (T1 - T0).total_seconds() == 122.5
    assert type(node.runtime) is float
    assert clock.calls == 2


def test_restart_replaces_times(clock):
    node = R("a", 1)
    node.start()
    node.stop()
    node.start()
    assert node.starttime is T2
    clock.times.append(T2 + datetime.timedelta(seconds=3))
    node.stop()
    assert node.runtime == 3.0


def test_start_applies_keywords_after_stamping(clock):
    node = R("a", 1)
    override = datetime.datetime(2000, 1, 1)
    node.start(name="N", starttime=override, foo={"x": 1})
    assert node.starttime is override
    assert node.name == "N"
    assert node.extra == {"foo": {"x": 1}}
    assert clock.calls == 1


def test_stop_without_start_keeps_times_but_updates_and_rolls_up(clock):
    node = Recorder("a", 1)
    node.stop(name="N", bar=2)
    assert node.stoptime is None and node.runtime is None
    assert clock.calls == 0
    assert node.name == "N" and node.extra == {"bar": 2}
    assert node.log == [("update", {"name": "N", "bar": 2}), ("update_extra", {"bar": 2}, True),
                        ("roll_up",)]


def test_stop_keyword_runtime_wins_over_computed(clock):
    node = R("a", 1)
    node.start()
    node.stop(runtime=5)
    assert node.runtime == 5
    assert node.stoptime is T1


def test_stop_computes_runtime_before_applying_keyword_times(clock):
    node = R("a", 1)
    node.start()
    given = datetime.datetime(2030, 1, 1)
    node.stop(stoptime=given)
    assert node.stoptime is given
    assert node.runtime == 122.5


def test_start_and_stop_go_through_overridden_update_and_roll_up(clock):
    node = Recorder("a", 1)
    node.start(x=1)
    node.stop()
    assert node.log == [("update", {"x": 1}), ("update_extra", {"x": 1}, True),
                        ("update", {}), ("update_extra", {}, True), ("roll_up",)]


def test_clock_errors_pass_through_unchanged(monkeypatch):
    boom = LookupError("clock")

    def broken():
        raise boom

    node = Recorder("a", 1)
    monkeypatch.setattr(runset, "get_time", broken)
    with pytest.raises(LookupError) as info:
        node.start(name="N")
    assert info.value is boom
    assert node.starttime is None and node.name == "a" and node.log == []
    node.starttime = T0
    with pytest.raises(LookupError):
        node.stop(name="N")
    assert node.stoptime is None and node.log == []


# --- update --------------------------------------------------------------------------

def test_update_sets_reportable_names_and_merges_the_rest_into_extra(merges):
    node = R("a", 1)
    assert node.update({"name": "N", "type": "T", "foo": {"a": 1}, "runtime": 3}) is None
    assert (node.name, node.type, node.runtime) == ("N", "T", 3)
    assert node.extra == {"foo": {"a": 1}}
    assert "foo" not in vars(node)
    assert len(merges) == 1
    target, source, kwargs = merges[0]
    assert target is node.extra
    assert source == {"foo": {"a": 1}}
    assert kwargs == {"list_extend": True}


def test_update_deep_merges_extras_across_calls():
    node = R("a", 1)
    node.update({"foo": {"a": 1, "l": [1]}})
    node.update({"foo": {"b": 2, "l": [2]}})
    assert node.extra == {"foo": {"a": 1, "b": 2, "l": [1, 2]}}
    assert node.name == "a" and node.details == []


def test_update_always_calls_update_extra_even_without_extras(merges):
    node = Recorder("a", 1)
    node.update({"name": "N"})
    node.update({})
    assert node.log == [("update", {"name": "N"}), ("update_extra", {}, True),
                        ("update", {}), ("update_extra", {}, True)]
    assert [m[1] for m in merges] == [{}, {}]


def test_update_uses_the_most_derived_reportable_names():
    class Narrow(R):
        _ARG_ORDER = ["type", "id", "colour", "details"]

    node = Narrow("a", 1)
    node.update({"colour": "red", "name": "N"})
    assert node.colour == "red"
    assert node.name == "a"
    assert node.extra == {"name": "N"}


def test_update_reads_reportable_names_through_the_instance():
    node = R("a", 1)
    node._ARG_ORDER = ["only"]
    node.update({"only": 1, "name": "N"})
    assert node.only == 1
    assert node.name == "a"
    assert node.extra == {"name": "N"}


@pytest.mark.parametrize("value, expected", [
    ([1, 2], ["d", 1, 2]),
    (3, ["d", 3]),
    ((1, 2), ["d", (1, 2)]),
    ("xy", ["d", "xy"]),
    (None, ["d", None]),
    ({"k": 1}, ["d", {"k": 1}]),
], ids=["list", "int", "tuple", "str", "None", "dict"])
def test_update_merges_into_an_existing_list_in_place(value, expected):
    node = R("a", 1)
    node.add_detail("d")
    details = node.details
    node.update({"details": value})
    assert node.details is details
    assert details == expected


def test_update_extends_with_list_subclasses_and_into_list_subclasses():
    class MyList(list):
        pass

    node = R("a", 1)
    node.details = MyList(["d"])
    held = node.details
    node.update({"details": MyList([1, 2])})
    assert node.details is held and list(held) == ["d", 1, 2]


def test_update_extends_a_list_with_itself():
    node = R("a", 1)
    node.details.extend([1, 2])
    node.update({"details": node.details})
    assert node.details == [1, 2, 1, 2]


def test_update_replaces_a_non_list_value_with_a_list():
    node = R("a", 1)
    node.update({"name": [1]})
    node.update({"name": [2]})
    # name became a list on the first call, so the second merges into it.
    assert node.name == [1, 2]


def test_update_creates_a_missing_reportable_attribute():
    class Wider(R):
        _ARG_ORDER = R._ARG_ORDER + ["tags"]

    node = Wider("a", 1)
    node.update({"tags": ["x"]})
    tags = node.tags
    node.update({"tags": ["y"]})
    assert node.tags is tags and tags == ["x", "y"]


def test_update_of_idlist_changes_nothing():
    node = R("a", 1, R("r", 1))
    before = dict(vars(node))
    node.update({"idlist": ["z"]})
    assert vars(node) == before
    assert node.idlist == ["r", "a"]
    assert node.extra == {}


def test_update_of_fullid_raises_and_keeps_earlier_keys(merges):
    node = Recorder("a", 1)
    with pytest.raises(AttributeError):
        node.update({"name": "N", "fullid": "f", "foo": 1, "type": "T"})
    assert node.name == "N"
    assert node.type == "Recorder"
    assert node.extra == {}
    assert merges == []
    assert [entry[0] for entry in node.log] == ["update"]


def test_update_of_none_raises_attribute_error_for_items():
    node = R("a", 1)
    with pytest.raises(AttributeError) as info:
        node.update(None)
    assert str(info.value) == "'NoneType' object has no attribute 'items'"


def test_update_accepts_any_object_with_items_and_follows_its_order():
    class Pairs:
        def items(self):
            yield ("name", "first")
            yield ("foo", 1)
            yield ("name", "second")
            yield ("details", [1])

    node = R("a", 1)
    node.update(Pairs())
    assert node.name == "second"
    assert node.details == [1]
    assert node.extra == {"foo": 1}


def test_update_with_keyword_argument():
    node = R("a", 1)
    node.update(data={"name": "N"})
    assert node.name == "N"


def test_update_of_a_mapping_that_grows_during_the_walk_raises():
    data = {}

    class Growing(R):
        _ARG_ORDER = R._ARG_ORDER + ["colour"]

        @property
        def colour(self):
            return None

        @colour.setter
        def colour(self, value):
            # Adds a key to the very mapping being walked.
            data["late"] = value

    node = Growing("a", 1)
    data.update({"colour": "red", "name": "N"})
    with pytest.raises(RuntimeError) as info:
        node.update(data)
    assert str(info.value) == "dictionary changed size during iteration"
    assert node.name == "a"
    assert node.extra == {}


def test_update_of_a_mapping_whose_keys_change_at_equal_size_raises():
    data = {}

    class Swapping(R):
        _ARG_ORDER = R._ARG_ORDER + ["colour"]

        @property
        def colour(self):
            return None

        @colour.setter
        def colour(self, value):
            # One key out, another in: the size stays, the keys do not.
            del data["colour"]
            data["late"] = value

    node = Swapping("a", 1)
    data.update({"colour": "red", "name": "N"})
    with pytest.raises(RuntimeError) as info:
        node.update(data)
    # The walk still applied the key it met before the swapped-in one, as dict
    # iteration does, and went no further.
    assert str(info.value) == "dictionary keys changed during iteration"
    assert node.name == "N"
    assert node.extra == {}


def test_update_merges_a_list_value_exactly_as_list_extend_does():
    node = R("a", 1)
    node.add_detail("d")

    class Chatty(list):
        # Its iteration appends to the very list being merged into.
        def __iter__(self):
            node.details.append("during")
            return super().__iter__()

    node.update({"details": Chatty([1, 2])})

    # The same value handed to list.extend itself.
    expected = ["d"]

    class Model(list):
        def __iter__(self):
            expected.append("during")
            return super().__iter__()

    expected.extend(Model([1, 2]))
    assert node.details == expected == ["d", "during", 1, 2]


def _unpack_text(bad):
    # Too many values: the interpreter's own words (3.14 adds the count for an
    # exact list, tuple or dict).
    try:
        _, _ = bad
    except ValueError as error:
        return str(error)
    raise AssertionError("unpacked")


class _ListSubclass(list):
    pass


@pytest.mark.parametrize("bad, message", [
    (("x",), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    (("x", 1, 2), _unpack_text(("x", 1, 2))),
    (["x", 1, 2, 3], _unpack_text(["x", 1, 2, 3])),
    ({"x": 1, "y": 2, "z": 3}, _unpack_text({"x": 1, "y": 2, "z": 3})),
    (_ListSubclass(["x", 1, 2]), "too many values to unpack (expected 2)"),
    ("xyz", "too many values to unpack (expected 2)"),
])
def test_update_with_pairs_that_do_not_unpack_raises_value_error(bad, message, merges):
    class BadPairs:
        def items(self):
            return [("name", "N"), bad, ("type", "T")]

    node = Recorder("a", 1)
    with pytest.raises(ValueError) as info:
        node.update(BadPairs())
    assert str(info.value) == message
    assert node.name == "N" and node.type == "Recorder"
    assert merges == []
    assert [entry[0] for entry in node.log] == ["update"]


def test_update_extra_errors_pass_through(monkeypatch):
    boom = KeyError("merge")

    def broken(target, source, list_extend=True):
        raise boom

    monkeypatch.setattr(runset, "recursive_update", broken)
    node = R("a", 1)
    with pytest.raises(KeyError) as info:
        node.update({"name": "N", "foo": 1})
    assert info.value is boom
    assert node.name == "N"


# --- update_extra and add_detail -----------------------------------------------------

@pytest.mark.parametrize("call, flag", [
    (lambda node, data: node.update_extra(data), True),
    (lambda node, data: node.update_extra(data, False), False),
    (lambda node, data: node.update_extra(data=data, list_extend=0), 0),
    (lambda node, data: node.update_extra(data, "as given"), "as given"),
])
def test_update_extra_passes_list_extend_through(merges, call, flag):
    node = R("a", 1)
    data = {"k": [1]}
    assert call(node, data) is None
    assert len(merges) == 1
    target, source, kwargs = merges[0]
    assert target is node.extra and source == data
    assert list(kwargs) == ["list_extend"] and kwargs["list_extend"] is flag


@pytest.mark.parametrize("list_extend, expected", [(True, [1, 2]), (False, [2])])
def test_update_extra_merges_lists_as_told(list_extend, expected):
    node = R("a", 1)
    node.update_extra({"l": [1], "d": {"x": 1}})
    node.update_extra({"l": [2], "d": {"y": 2}}, list_extend=list_extend)
    assert node.extra == {"l": expected, "d": {"x": 1, "y": 2}}


def test_update_extra_merges_into_the_current_extra():
    node = R("a", 1)
    replacement = {"old": 1}
    node.extra = replacement
    node.update_extra({"new": 2})
    assert node.extra is replacement and replacement == {"old": 1, "new": 2}


def test_add_detail_appends_one_entry_to_the_same_list():
    node = R("a", 1)
    details = node.details
    assert node.add_detail([1, 2]) is None
    node.add_detail(None)
    node.add_detail(detail=3)
    assert node.details is details
    assert details == [[1, 2], None, 3]


# --- roll_up: when nothing happens ---------------------------------------------------

class NoResultParent:
    def __init__(self):
        self.health_result = None
        self.health_summary = ResultCounter()
        self.rolled = 0

    def roll_up(self):
        self.rolled += 1


class RaisingResultParent(NoResultParent):
    def __init__(self, error):
        super().__init__()
        self.error = error

    @property
    def result(self):
        raise self.error


class FalsyParent(Parent):
    def __bool__(self):
        return False


@pytest.mark.parametrize("make_parent, result, has_result", [
    (lambda: None, Failed, True),
    (lambda: FalsyParent(), Failed, True),
    (lambda: Parent(), None, True),
    (lambda: Parent(), None, False),
    (lambda: NoResultParent(), Failed, True),
    (lambda: RaisingResultParent(ValueError("x")), Failed, True),
    (lambda: RaisingResultParent(AttributeError("x")), Failed, True),
    (lambda: RaisingResultParent(KeyError("x")), Failed, True),
], ids=["no-parent", "falsy-parent", "result-none", "no-result-attr", "parent-without-result",
        "parent-result-raises-value-error", "parent-result-raises-attribute-error",
        "parent-result-raises-key-error"])
def test_roll_up_stops_without_touching_anything(make_parent, result, has_result):
    parent = make_parent()
    node = leaf(result, parent=parent)
    node.extra["health"] = [{"result": "failed"}]
    if not has_result:
        del node.result
    before_parent = dict(vars(parent)) if parent is not None else None
    assert node.roll_up() is None
    assert node.health_result is None
    assert dict(node.health_summary.items()) == {}
    if parent is not None:
        assert vars(parent) == before_parent
        assert dict(parent.health_summary.items()) == {}
        rolled = parent.rolled
        assert rolled in (0, [])


def test_roll_up_into_runset_or_task_does_nothing():
    rs = runset.RunSet(id="job", seq_num=0)
    task = rs.add_task(id="t", seq_num=1)
    for parent in (rs, task):
        node = leaf(Failed, parent=parent)
        node.roll_up()
        assert node.health_result is None
        assert parent.health_result is None
        assert dict(parent.health_summary.items()) == {}


# --- roll_up: result -----------------------------------------------------------------

def test_roll_up_clones_result_into_an_empty_parent():
    log = []
    own = FakeResult("own", log)
    parent = Parent()
    node = leaf(own, parent=parent)
    node.roll_up()
    assert parent.result.name == "own'"
    assert log[0] == ("clone", "own")
    assert node.result is own


def test_roll_up_combines_result_into_parent_and_stores_the_outcome():
    log = []
    parent = Parent(result=FakeResult("p", log))
    node = leaf(FakeResult("own", log), parent=parent)
    node.roll_up()
    assert log[0] == ("iadd", "p", "own")
    assert parent.result.name == "(p+own)"


def test_roll_up_with_real_results():
    parent = Parent(result=Passed)
    node = leaf(Failed, parent=parent)
    node.roll_up()
    assert parent.result == Failed
    empty = Parent()
    node = leaf(Passed, parent=empty)
    node.roll_up()
    assert empty.result == Passed and empty.result is not Passed


# --- roll_up: health entries ---------------------------------------------------------

def test_roll_up_walks_health_entries_in_order():
    parent = Parent(result=None)
    parent.health_summary["passed"] = 5
    parent.health_summary["skipped"] = 3
    node = leaf(Passed, parent=parent, health=[{"result": "passed"}, {"result": "Failed"},
                                               {"result": Passed}])
    node.roll_up()
    assert node.health_result == Failed
    assert dict(node.health_summary.items()) == {"passed": 2, "failed": 1}
    assert parent.health_result == Failed
    # Counts are added; the nine-key copy does not happen when entries exist.
    assert dict(parent.health_summary.items()) == {"passed": 7, "skipped": 3, "failed": 1}
    assert parent.rolled == [(parent.result, parent.health_result,
                              {"passed": 7, "skipped": 3, "failed": 1})]


def test_roll_up_reads_each_health_entry_result_twice():
    class Fickle(dict):
        """An entry whose result is failed on the first read and passed after."""

        def __init__(self):
            super().__init__(result="failed")
            self.reads = 0

        def __getitem__(self, key):
            self.reads += 1
            return "failed" if self.reads == 1 else "passed"

    entry = Fickle()
    parent = Parent(result=None)
    node = leaf(Passed, parent=parent, health=[entry])
    node.roll_up()
    assert entry.reads == 2
    # Parsed from the first read, counted under the second.
    assert node.health_result == Failed
    assert dict(node.health_summary.items()) == {"passed": 1}
    assert dict(parent.health_summary.items()) == {"passed": 1}


def test_roll_up_first_health_entry_is_cloned_into_the_parent():
    parent = Parent(result=None)
    node = leaf(Passed, parent=parent, health=[{"result": "failed"}])
    node.roll_up()
    assert node.health_result == Failed
    assert parent.health_result == Failed
    assert parent.health_result is not node.health_result


def test_roll_up_hands_the_accumulated_health_not_the_single_entry():
    # The node already holds errored; a passed entry still hands errored upwards.
    for start in (None, Passed):
        parent = Parent(result=None, health_result=start)
        node = leaf(Passed, health_result=Errored, parent=parent, health=[{"result": "passed"}])
        node.roll_up()
        assert node.health_result == Errored
        assert parent.health_result == Errored
        assert dict(parent.health_summary.items()) == {"passed": 1}


def test_roll_up_with_empty_health_list_leaves_health_alone():
    parent = Parent(result=None, health_result=None)
    parent.health_summary["failed"] = 4
    node = leaf(Passed, parent=parent, health=[])
    node.health_summary["passed"] = 9
    node.roll_up()
    assert node.health_result is None
    assert parent.health_result is None
    assert dict(parent.health_summary.items()) == {"failed": 4}
    assert parent.result == Passed
    assert len(parent.rolled) == 1


def test_roll_up_health_entry_without_result_raises_key_error_part_way():
    parent = Parent(result=None)
    node = leaf(Failed, parent=parent, health=[{"result": "aborted"}, {"reason": "no result"}])
    with pytest.raises(KeyError):
        node.roll_up()
    # What was done before the bad entry stays; the parent is not asked to roll up.
    assert parent.result == Failed
    assert parent.health_result == Aborted
    assert dict(parent.health_summary.items()) == {"aborted": 1}
    assert parent.rolled == []


def test_roll_up_twice_counts_twice():
    parent = Parent(result=None)
    node = leaf(Failed, parent=parent, health=[{"result": "failed"}])
    node.roll_up()
    node.roll_up()
    assert dict(node.health_summary.items()) == {"failed": 2}
    assert dict(parent.health_summary.items()) == {"failed": 2}
    assert parent.result == Failed
    assert len(parent.rolled) == 2


# --- roll_up: no health entries ------------------------------------------------------

def test_roll_up_without_health_sets_passed_itself_and_leaves_parent_health():
    parent_health = Aborted.clone()
    for start in (None, parent_health):
        parent = Parent(result=None, health_result=start)
        node = leaf(Failed, parent=parent)
        node.roll_up()
        assert node.health_result is Passed
        assert parent.health_result is start


def test_roll_up_without_health_clones_or_combines_own_health_into_parent():
    log = []
    own = FakeResult("h", log)
    parent = Parent(result=None, health_result=None)
    node = leaf(Passed, health_result=own, parent=parent)
    node.roll_up()
    assert parent.health_result.name == "h'"
    assert node.health_result is own

    log.clear()
    parent = Parent(result=None, health_result=FakeResult("ph", log))
    node = leaf(Passed, health_result=own, parent=parent)
    node.roll_up()
    assert log == [("iadd", "ph", "h")]
    assert parent.health_result.name == "(ph+h)"


def test_second_roll_up_clones_passed_rather_than_sharing_it():
    parent = Parent(result=None)
    node = leaf(Failed, parent=parent)
    node.roll_up()
    assert node.health_result is Passed and parent.health_result is None
    node.roll_up()
    assert parent.health_result == Passed
    assert parent.health_result is not Passed


def test_roll_up_without_health_replaces_the_parents_nine_counts():
    parent = Parent(result=None)
    for key, count in {"passed": 7, "errored": 4, "custom": 2}.items():
        parent.health_summary[key] = count
    node = leaf(Failed, parent=parent)
    node.health_summary["passed"] = 2
    node.health_summary["failed"] = 1
    node.roll_up()
    assert dict(parent.health_summary.items()) == {"passed": 2, "errored": 0, "custom": 2, "failed": 1,
                                                   "passx": 0, "aborted": 0, "blocked": 0, "skipped": 0}
    assert len(parent.rolled) == 1


def test_roll_up_copies_the_nine_keys_in_order():
    class LoggingCounter:
        def __init__(self, log, tag):
            self.log, self.tag = log, tag

        def __getitem__(self, key):
            self.log.append((self.tag, "get", key))
            return "v-" + key

        def __setitem__(self, key, value):
            self.log.append((self.tag, "set", key, value))

    log = []
    parent = Parent(result=None)
    parent.health_summary = LoggingCounter(log, "parent")
    node = leaf(Passed, parent=parent)
    node.health_summary = LoggingCounter(log, "node")
    node.roll_up()
    expected = []
    for key in NINE_KEYS:
        expected += [("node", "get", key), ("parent", "set", key, "v-" + key)]
    assert log == expected


def test_roll_up_counter_errors_pass_through_part_way():
    class Refusing(ResultCounter):
        def __setitem__(self, key, value):
            if key == "failed":
                raise OverflowError(key)
            super().__setitem__(key, value)

    parent = Parent(result=None)
    parent.health_summary = Refusing()
    node = leaf(Failed, parent=parent)
    node.health_summary["passed"] = 1
    node.health_summary["failed"] = 1
    with pytest.raises(OverflowError):
        node.roll_up()
    assert parent.result == Failed
    assert dict(parent.health_summary.items()) == {"passed": 1, "passx": 0}
    assert parent.rolled == []


# --- roll_up: climbing ---------------------------------------------------------------

def test_roll_up_calls_the_parents_own_roll_up_once():
    calls = []

    class Mine(R):
        def roll_up(self):
            calls.append(self)

    parent = Mine("p", 1)
    parent.result = None
    parent.health_result = None
    parent.health_summary = ResultCounter()
    node = leaf(Failed, parent=parent)
    node.roll_up()
    assert calls == [parent]
    assert parent.result == Failed


def test_roll_up_climbs_through_base_node_parents():
    top = Parent(result=None)
    middle = leaf(None, parent=top, id="m")
    bottom = leaf(Failed, parent=middle, id="b")
    bottom.extra["health"] = [{"result": "blocked"}]
    bottom.roll_up()
    assert middle.result == Failed
    assert top.result == Failed
    # The middle node has no health entries: it hands its own health and counts upward.
    assert middle.health_result.value == "blocked"
    assert top.health_result.value == "blocked"
    assert top.health_summary["blocked"] == 1
    assert len(top.rolled) == 1


def test_stop_rolls_up_into_the_parent(clock):
    parent = Parent(result=None)
    node = leaf(None, parent=parent)
    node.start()
    node.stop(result=Failed)
    # result is not a base reportable name, so it goes to extra and nothing climbs.
    assert parent.result is None
    assert node.extra == {"result": Failed}
    node.result = Failed
    node.stop()
    assert parent.result == Failed


# --- to_dict -------------------------------------------------------------------------

def test_to_dict_of_a_fresh_node():
    node = R("x", 1)
    assert list(node.to_dict().items()) == [
        ("type", "ReportObjectBase"), ("id", "x"), ("fullid", "x"), ("idlist", ["x"]), ("name", "x"),
        ("starttime", None), ("stoptime", None), ("runtime", None), ("details", []), ("extra", {}),
        ("seq_num", 1)]


def test_to_dict_holds_the_attribute_objects_themselves(clock):
    node = R("a", 2, R(7, 1))
    node.start()
    first = node.to_dict()
    assert first["details"] is node.details
    assert first["extra"] is node.extra
    assert first["starttime"] is T0
    assert first["fullid"] == "7.a" and first["idlist"] == [7, "a"]
    assert node.to_dict() is not first


def test_to_dict_turns_children_into_id_lists_in_place():
    class Holder(R):
        _ARG_ORDER = ["id", "tasks", "name", "sections"]

    node = Holder("h", 3)
    tasks = [R("t1", 1), R("t2", 2)]
    sections = [types.SimpleNamespace(id="s1")]
    node.tasks, node.sections = tasks, sections
    result = node.to_dict()
    assert list(result.items()) == [("id", "h"), ("tasks", ["t1", "t2"]), ("name", "h"),
                                    ("sections", ["s1"]), ("seq_num", 3)]
    assert node.tasks is tasks and [t.id for t in tasks] == ["t1", "t2"]
    assert node.sections is sections and sections[0].id == "s1"


def test_to_dict_leaves_children_lists_that_are_not_reportable():
    node = R("a", 1)
    node.sections = [R("s", 1)]
    assert "sections" not in node.to_dict()


def test_to_dict_puts_logfile_last_unless_it_is_reportable():
    node = R("a", 1)
    node.logfile = "/tmp/x.log"
    assert list(node.to_dict())[-2:] == ["seq_num", "logfile"]
    assert node.to_dict()["logfile"] == "/tmp/x.log"

    class WithLog(R):
        _ARG_ORDER = ["id", "logfile", "name"]

    other = WithLog("b", 2)
    other.logfile = "l"
    assert list(other.to_dict().items()) == [("id", "b"), ("logfile", "l"), ("name", "b"), ("seq_num", 2)]
    del other.logfile
    assert list(other.to_dict()) == ["id", "name", "seq_num"]


def test_to_dict_skips_missing_and_failing_attributes():
    class Partial(R):
        _ARG_ORDER = ["id", "absent", "broken", "missing_attr", "name"]

        @property
        def broken(self):
            raise ValueError("no")

        @property
        def missing_attr(self):
            raise AttributeError("no")

    assert list(Partial("p", 1).to_dict()) == ["id", "name", "seq_num"]


def test_to_dict_rejects_a_non_string_reportable_name():
    class Odd(R):
        _ARG_ORDER = ["id", 5, "name"]

    with pytest.raises(TypeError) as info:
        Odd("o", 1).to_dict()
    assert str(info.value) == "hasattr(): attribute name must be string"


# --- YAML and JSON forms of a base node ----------------------------------------------

def test_to_yaml_hands_ordered_pairs_without_ignorable_values():
    class Dumper:
        def __init__(self):
            self.calls = []

        def represent_mapping(self, tag, value):
            self.calls.append((tag, value))
            return "mapping-node"

    class Extended(R):
        _ARG_ORDER = R._ARG_ORDER + ["zero", "blank", "no", "missing", "empty_attrdict"]

    node = Extended("x", 1)
    node.zero, node.blank, node.no = 0, "", False
    node.empty_attrdict = runset.AttrDict()
    dumper = Dumper()
    # The class the method is called on does not matter; the data's names do.
    assert R.to_yaml(dumper, node) == "mapping-node"
    (tag, pairs), = dumper.calls
    assert tag == runset.YAML_MAP
    assert not isinstance(pairs, dict)
    assert [tuple(pair) for pair in pairs] == [
        ("type", "Extended"), ("id", "x"), ("fullid", "x"), ("idlist", ["x"]), ("name", "x"),
        ("zero", 0), ("blank", ""), ("no", False)]


def test_dump_json_of_a_base_node():
    node = R("x", 1)
    node.add_detail("d")
    assert json.loads(node.dump_json()) == {
        "version": "3.2",
        "report": {"type": "ReportObjectBase", "id": "x", "fullid": "x", "idlist": ["x"], "name": "x",
                   "details": ["d"]}}


def test_dump_yaml_returns_text_with_the_header():
    node = R("x", 1)
    text = node.dump_yaml()
    assert isinstance(text, str)
    loaded = yaml.safe_load(text)
    assert loaded["version"] == "3.2"
    assert set(loaded) == {"version", "report"}


# --- argument errors -----------------------------------------------------------------

def _node():
    return R("a", 1)


@pytest.mark.parametrize("call, message", [
    (lambda: R(), "__init__() takes at least 3 positional arguments (1 given)"),
    (lambda: R("a"), "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda: R(id="a"), "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda: R(1, 2, 3, 4, 5), "__init__() takes at most 5 positional arguments (6 given)"),
    (lambda: R("a", 1, id="b"), "__init__() got multiple values for keyword argument 'id'"),
    (lambda: R("a", 1, colour=1), "__init__() got an unexpected keyword argument 'colour'"),
    (lambda: _node().update(), "update() takes exactly 2 positional arguments (1 given)"),
    (lambda: _node().update({}, {}), "update() takes exactly 2 positional arguments (3 given)"),
    (lambda: R.update(), "update() takes exactly 2 positional arguments (0 given)"),
    (lambda: _node().update(data={}, x=1), "update() got an unexpected keyword argument 'x'"),
    (lambda: _node().update({}, data={}), "update() got multiple values for keyword argument 'data'"),
    (lambda: _node().update_extra(), "update_extra() takes at least 2 positional arguments (1 given)"),
    (lambda: _node().update_extra(1, 2, 3), "update_extra() takes at most 3 positional arguments (4 given)"),
    (lambda: _node().add_detail(), "add_detail() takes exactly 2 positional arguments (1 given)"),
    (lambda: _node().start(1), "start() takes exactly 1 positional argument (2 given)"),
    (lambda: _node().stop(1, 2), "stop() takes exactly 1 positional argument (3 given)"),
    (lambda: _node().roll_up(1), "roll_up() takes exactly 1 positional argument (2 given)"),
    (lambda: _node().roll_up(x=1), "roll_up() got an unexpected keyword argument 'x'"),
    (lambda: _node().to_dict(1), "to_dict() takes exactly 1 positional argument (2 given)"),
    (lambda: _node().dump_json(1), "dump_json() takes exactly 1 positional argument (2 given)"),
    (lambda: _node().dump_yaml(1), "dump_yaml() takes exactly 1 positional argument (2 given)"),
    (lambda: R.to_yaml(1), "to_yaml() takes exactly 3 positional arguments (2 given)"),
])
def test_argument_errors_use_the_standard_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_argument_errors_have_no_side_effects(merges):
    node = Recorder("a", 1)
    with pytest.raises(TypeError):
        node.update(data={"name": "N"}, x=1)
    with pytest.raises(TypeError):
        node.start(1, name="N")
    assert node.name == "a" and node.starttime is None
    assert merges == [] and node.log == []


# --- traceback entries ---------------------------------------------------------------

def _last_entry(tb):
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb


def _bad_arg_order():
    class Odd(R):
        _ARG_ORDER = [5]
    return Odd("o", 1)


@pytest.mark.parametrize("call, exc_type, qualname", [
    (lambda: _node().update(None), AttributeError, "ReportObjectBase.update"),
    (lambda: _node().update({"fullid": 1}), AttributeError, "ReportObjectBase.update"),
    (lambda: _bad_arg_order().to_dict(), TypeError, "ReportObjectBase.to_dict"),
    (lambda: leaf(Failed, parent=Parent(), health=[{}]).roll_up(), KeyError, "ReportObjectBase.roll_up"),
])
def test_errors_leaving_a_method_name_it_in_the_traceback(call, exc_type, qualname):
    with pytest.raises(exc_type) as info:
        call()
    last = _last_entry(info.tb)
    assert last.tb_frame.f_code.co_name == qualname
    assert last.tb_frame.f_globals["__name__"] == "kovra.reporter.runset"


def test_errors_from_called_code_keep_the_method_entry_in_between(monkeypatch):
    def broken(target, source, list_extend=True):
        raise LookupError("merge")

    monkeypatch.setattr(runset, "recursive_update", broken)
    with pytest.raises(LookupError) as info:
        _node().update({"foo": 1})
    names = []
    tb = info.tb
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names[-1] == "broken"
    assert names[-3:-1] == ["ReportObjectBase.update", "ReportObjectBase.update_extra"]
