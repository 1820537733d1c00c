"""The node lifecycle takes shorter roads where nothing can tell: methods of the
module found through `self` entered directly, attributes read and stored straight
in the instance dict, keyword dicts handed on instead of copied, super() looked
up through the interpreter's method cache. Each case below replaces or extends a
piece one of those roads relies on; the work must then go the generic way and
end as the plain-Python reference ends.
"""

import copy
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kovra.reporter import runset as native
from kovra.results import Failed, Passed
from reference import runset as reference

IMPLS = (native, reference)


def fresh(text):
    """A str equal to `text` that is not the interned one."""
    return "".join(list(text))


def lifecycle(mod, section_cls=None, step_cls=None):
    """A task, a section and a step under it, started, updated and stopped."""
    rs = mod.RunSet(id="job", seq_num=0)
    task = rs.add_task(id="t", seq_num=1)
    section = (section_cls or mod.Section)(id="s", seq_num=1, parent=task)
    task.sections.append(section)
    step = (step_cls or mod.Section)(id="st", seq_num=1, parent=section)
    section.sections.append(step)
    for node in (section, step):
        node.start(description="d")
    step.update({"xref": {"line": 1}, "note": [1]})
    step.stop(result=Failed, health=[{"result": "passed"}])
    section.stop()
    task.stop()
    return section, step


def state(node):
    """The instance dict, in creation order, with results and nodes by name."""
    out = []
    for key, value in vars(node).items():
        if key in ("starttime", "stoptime", "runtime"):
            value = value is not None
        elif isinstance(value, (native.ReportObjectBase, reference.ReportObjectBase)):
            value = value.id
        elif isinstance(value, list):
            value = [getattr(v, "id", v) for v in value]
        elif key in ("result", "health_result") and value is not None:
            value = str(value)
        elif key == "health_summary":
            value = dict(value.items())
        elif callable(value):
            value = "callable"
        out.append((key, value))
    return out


def both(build):
    """build(mod) for each implementation; the two outcomes must agree."""
    outcomes = [build(mod) for mod in IMPLS]
    assert outcomes[0] == outcomes[1]
    return outcomes[0]


# --- methods reached through self -----------------------------------------------

def test_overriding_subclass_methods_take_the_calls():
    def build(mod):
        calls = []

        class Step(mod.Section):
            def update(self, data):
                calls.append(("update", sorted(data)))
                super().update(data)

            def update_extra(self, data, list_extend=True):
                calls.append(("update_extra", sorted(data)))
                super().update_extra(data, list_extend)

            def roll_up(self):
                calls.append(("roll_up",))
                super().roll_up()

        _, step = lifecycle(mod, step_cls=Step)
        return calls, state(step)

    calls, _ = both(build)
    assert ("roll_up",) in calls and ("update_extra", ["health"]) in calls


def test_methods_replaced_on_the_class_or_shadowed_on_the_instance_take_the_calls(monkeypatch):
    def build(mod):
        calls = []
        original = mod.ReportObjectBase.update

        def spy(self, data):
            calls.append(("class", self.id, sorted(data)))
            original(self, data)

        monkeypatch.setattr(mod.ReportObjectBase, "update", spy)
        node = mod.Section(id="n", seq_num=1)
        node.start(description="d")
        node.update_extra = lambda data: calls.append(("instance", sorted(data)))
        node.stop(note=1)
        monkeypatch.undo()
        return calls, state(node)

    calls, _ = both(build)
    assert calls == [("class", "n", ["description"]), ("class", "n", ["note"]), ("instance", ["note"])]


def test_parent_roll_up_shadowed_on_the_parent_instance():
    def build(mod):
        seen = []
        parent = mod.Section(id="p", seq_num=1)
        parent.roll_up = lambda: seen.append("parent")
        child = parent.add_section(id="c", seq_num=1)
        child.stop(result=Passed)
        return seen, str(parent.result)

    assert both(build) == (["parent"], "passed")


def test_errors_inside_methods_reached_through_self_keep_every_entry(monkeypatch):
    def broken(target, source, list_extend=True):
        raise LookupError("merge")

    monkeypatch.setattr(native, "recursive_update", broken)
    with pytest.raises(LookupError) as info:
        native.Section(id="n", seq_num=1).stop(note=1)
    names = []
    tb = info.tb
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names[-5:] == ["Section.stop", "ReportObjectBase.stop", "ReportObjectBase.update",
                          "ReportObjectBase.update_extra", "broken"]


def test_a_roll_up_cycle_ends_in_recursion_error_at_the_interpreters_depth():
    def build(mod):
        a = mod.Section(id="a", seq_num=1)
        b = mod.Section(id="b", seq_num=1, parent=a)
        a._parent = b
        a.result = Passed
        b.result = Passed
        with pytest.raises(RecursionError):
            a.roll_up()
        return a.roll_up.__name__

    both(build)
    # The interpreter is still usable, with its depth given back.
    limit = sys.getrecursionlimit()

    def depth(n=0):
        try:
            return depth(n + 1)
        except RecursionError:
            return n

    before = depth()
    a = native.Section(id="a", seq_num=1, parent=native.Section(id="b", seq_num=1))
    a._parent._parent = a
    a.result = a._parent.result = Passed
    with pytest.raises(RecursionError):
        a.roll_up()
    assert depth() == before and sys.getrecursionlimit() == limit


# --- attributes read and stored -------------------------------------------------

def test_a_class_with_its_own_setattr_and_getattribute_sees_every_store_and_method_read():
    def build(mod):
        stores, reads = [], []

        class Watched(mod.Section):
            def __setattr__(self, name, value):
                stores.append(name)
                super().__setattr__(name, value)

            def __getattribute__(self, name):
                if name in ("update", "update_extra", "roll_up", "_parent"):
                    reads.append(name)
                return super().__getattribute__(name)

        _, step = lifecycle(mod, step_cls=Watched)
        return stores, reads, state(step)

    stores, reads, _ = both(build)
    assert stores[:3] == ["type", "id", "seq_num"] and "result" in stores
    assert reads.count("update") == 3 and "roll_up" in reads


@pytest.mark.parametrize("kind", ["data", "plain"])
def test_a_class_attribute_of_the_name_takes_the_store_and_read(kind):
    def build(mod):
        log = []
        if kind == "data":
            class Step(mod.Section):
                @property
                def starttime(self):
                    log.append("get")
                    return self.__dict__.get("_start")

                @starttime.setter
                def starttime(self, value):
                    log.append("set")
                    self.__dict__["_start"] = value
        else:
            class Step(mod.Section):
                stoptime = "class value"
                extra = None

        step = Step(id="st", seq_num=1)
        step.start()
        step.stop()
        return log, [key for key in vars(step)], step.stoptime is not None

    both(build)


def test_stores_by_a_name_not_interned_keep_the_interned_key():
    def build(mod):
        node = mod.Section(id="n", seq_num=1)
        node.update({fresh("description"): "d", fresh("xref"): 1})
        keys = [key for key in vars(node) if key in ("description", "xref")]
        return [(key, key is sys.intern(key)) for key in keys]

    assert both(build) == [("description", True), ("xref", True)]


def test_an_instance_dict_of_a_dict_subclass_and_a_dict_with_odd_keys():
    class Loud(dict):
        pass

    class Key:
        def __hash__(self):
            return hash("result")

        def __eq__(self, other):
            return False

    def build(mod):
        node = mod.Section(id="n", seq_num=1, parent=mod.Section(id="p", seq_num=1))
        node.__dict__ = Loud(node.__dict__)
        node.start(description="d")
        node.__dict__[Key()] = "odd"
        node.stop(result=Passed)
        return [key for key in vars(node) if isinstance(key, str)], str(node._parent.result)

    both(build)


def test_a_key_comparison_that_replaces_the_instance_dict_mid_read():
    # The read goes on in the old dict, kept alive meanwhile, and ends as the
    # generic road ends.
    class Swapper:
        def __init__(self, node):
            self.node = node

        def __hash__(self):
            return hash("starttime")

        def __eq__(self, other):
            if self.node is not None:
                node, self.node = self.node, None
                node.__dict__ = {"swapped": True}
            return False

    def build(mod):
        node = mod.Section(id="n", seq_num=1)
        del node.starttime  # so that the key is placed without a comparison
        node.__dict__[Swapper(node)] = 1
        try:
            node.stop()
            outcome = "ok"
        except AttributeError as exc:
            outcome = str(exc)
        return outcome, sorted(key for key in vars(node) if isinstance(key, str))

    both(build)


def test_names_of_arg_order_not_interned_still_match():
    def build(mod):
        class Odd(mod.ReportObjectBase):
            _ARG_ORDER = [fresh(name) for name in mod.ReportObjectBase._ARG_ORDER] + [fresh("colour")]

        node = Odd("o", 1)
        node.update({"colour": "red", "name": "x", "other": 1})
        return node.colour, node.name, node.extra

    assert both(build) == ("red", "x", {"other": 1})


def test_the_default_type_is_the_class_name_as_the_class_gives_it():
    def build(mod):
        class Renamed(mod.Section):
            pass

        Renamed.__name__ = "Other"

        class Meta(type):
            @property
            def __name__(cls):
                return "from the metaclass"

        class Named(mod.ReportObjectBase, metaclass=Meta):
            pass

        return Renamed(id="r", seq_num=1).type, Named("n", 1).type

    assert both(build) == ("Other", "from the metaclass")


def test_children_made_through_an_init_replaced_on_the_class(monkeypatch):
    def build(mod):
        made = []
        original = mod.Section.__init__

        def init(self, **kwargs):
            made.append(sorted(kwargs))
            original(self, **kwargs)

        task = mod.Task(id="t", seq_num=1)
        task.add_section(id="a", seq_num=1)
        monkeypatch.setattr(mod.Section, "__init__", init)
        child = task.add_section(id="b", seq_num=2)
        monkeypatch.undo()
        task.add_section(id="c", seq_num=3)
        return made, child.fullid, [s.id for s in task.sections]

    assert both(build) == ([["id", "parent", "seq_num"]], "t.b", ["a", "b", "c"])


def test_globals_are_looked_up_at_each_call(monkeypatch):
    def build(mod):
        clocks = []
        node = mod.Section(id="n", seq_num=1)
        for tag in range(3):
            monkeypatch.setitem(vars(mod), "get_time", lambda tag=tag: clocks.append(tag) or tag * 10)
            node.start()
            node.start()
        monkeypatch.delitem(vars(mod), "get_time")
        with pytest.raises(NameError, match="get_time"):
            node.start()
        monkeypatch.undo()
        return clocks, node.starttime

    assert both(build) == ([0, 0, 1, 1, 2, 2], 20)


# --- keyword dicts and super() --------------------------------------------------

def test_the_data_dict_of_stop_is_a_fresh_one_each_time():
    def build(mod):
        seen = []

        class Keeper(mod.Section):
            def update(self, data):
                seen.append(data)
                super().update(data)

        node = Keeper(id="k", seq_num=1)
        given = {"note": 1, "logfile": None}
        node.start(**given)
        node.stop(**given)
        assert all(data is not given for data in seen) and seen[0] is not seen[1]
        given["note"] = 2
        return seen, given

    assert both(build) == ([{"note": 1}, {"note": 1, "logfile": None}], {"note": 2, "logfile": None})


def test_keywords_not_interned_reach_their_parameters():
    def build(mod):
        task = mod.Task(id="t", seq_num=1)
        child = task.add_section(**{fresh("id"): "s", fresh("seq_num"): 2, fresh("type"): "kind"})
        child.start(**{fresh("logfile"): None, fresh("description"): "d"})
        return child.id, child.seq_num, child.type, child.description, child.logfile

    assert both(build) == ("s", 2, "kind", "d", None)


def test_super_follows_the_mro_of_the_instance_past_the_class():
    def build(mod):
        calls = []

        class A(mod.ReportObjectBase):
            pass

        class B(mod.ReportObjectBase):
            def stop(self, **kwargs):
                calls.append(("B.stop", sorted(kwargs)))
                super().stop(**kwargs)

        class Mixed(mod.Section, A, B):
            pass

        node = Mixed(id="m", seq_num=1)
        node.stop(note=1)
        return calls, [cls.__name__ for cls in Mixed.__mro__]

    calls, mro = both(build)
    assert calls == [("B.stop", ["note"])] and mro[:4] == ["Mixed", "Section", "A", "B"]


@pytest.mark.filterwarnings("ignore:non-string key")  # 3.13 and later say so of the class made below
def test_super_meets_a_failing_key_comparison_in_a_class_dict_as_the_plain_walk_does():
    class Clash:
        def __hash__(self):
            return hash("stop")

        def __eq__(self, other):
            raise LookupError("compared")

    def build(mod):
        Base = type("Base", (mod.ReportObjectBase,), {Clash(): 1})
        Mixed = type("Mixed", (mod.Section, Base), {})
        node = Mixed(id="m", seq_num=1)
        with pytest.raises(LookupError, match="compared"):
            node.stop(note=1)
        return node.extra

    assert both(build) == {}


def test_super_sees_a_base_method_replaced_after_use(monkeypatch):
    def build(mod):
        calls = []
        node = mod.Section(id="n", seq_num=1)
        node.stop()
        monkeypatch.setattr(mod.ReportObjectBase, "stop", lambda self, **kw: calls.append(sorted(kw)))
        node.stop(note=1)
        monkeypatch.undo()
        node.stop(other=2)
        return calls, node.extra

    assert both(build) == ([["note"]], {"other": 2})


# --- the whole lifecycle, varied ------------------------------------------------

NAMES = st.sampled_from(["description", "xref", "result", "details", "note", "logs", "health_result", "custom"])
VALUES = st.one_of(st.none(), st.integers(-3, 3), st.text(max_size=3), st.lists(st.integers(0, 3), max_size=2))


@settings(max_examples=150, derandomize=True, deadline=None, database=None)
@given(st.lists(st.tuples(st.sampled_from(["start", "update", "stop"]),
                          st.dictionaries(NAMES, VALUES, max_size=3), st.booleans()), min_size=1, max_size=6),
       st.sampled_from(["plain", "watched", "shadowed"]))
def test_lifecycle_matches_reference_on_every_road(ops, road):
    def build(mod):
        trace = []

        class Watched(mod.Section):
            def __setattr__(self, name, value):
                trace.append(name)
                super().__setattr__(name, value)

        cls = Watched if road == "watched" else mod.Section
        parent = mod.Section(id="p", seq_num=1)
        node = cls(id="n", seq_num=1, parent=parent)
        if road == "shadowed":
            node.roll_up = lambda: trace.append("shadow roll_up")
        outcomes = []
        for method, data, fresh_keys in copy.deepcopy(ops):
            if fresh_keys:
                data = {fresh(key): value for key, value in data.items()}
            try:
                if method == "update":
                    node.update(data)
                else:
                    getattr(node, method)(**data)
                outcomes.append("ok")
            except Exception as exc:  # both sides must fail alike
                outcomes.append(type(exc).__name__)
        return outcomes, trace, state(node), state(parent)

    both(build)
