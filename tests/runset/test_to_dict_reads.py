"""to_dict reads each attribute twice (hasattr, then getattr). The native module
reads once where the first read cannot have run code; each case below puts code
on the way of a read, and that code must run exactly as often as the rule says.
"""

import pytest

from kovra.reporter import runset as native
from reference import runset as reference

IMPLS = (native, reference)


def tree(mod, task_cls=None, step_id="step"):
    rs = mod.RunSet(id="job", seq_num=0)
    task = (task_cls or mod.Task)(id="task", seq_num=1, parent=rs)
    rs.tasks.append(task)
    section = task.add_section(id="sec", seq_num=1)
    step = section.add_section(id=step_id, seq_num=1)
    return rs, task, section, step


def by_the_rule(node):
    """to_dict's reads, one builtin call each (no interpreter caches)."""
    for name in type(node)._ARG_ORDER:
        if hasattr(node, name):
            getattr(node, name)
    for name in ("tasks", "sections"):
        if hasattr(node, name):
            for child in getattr(node, name):
                getattr(child, "id")
    getattr(node, "seq_num")
    if hasattr(node, "logfile"):
        getattr(node, "logfile")


@pytest.mark.parametrize("where", ["step", "section"])
def test_id_str_runs_once_per_read(where):
    """str() of a non-plain id runs at every fullid read, on both sides alike."""
    counts = {}
    for mod in IMPLS:
        calls = []

        class LoudId(str):
            def __str__(self):
                calls.append(1)
                return str.__str__(self)

        _, _, section, step = tree(mod, step_id=LoudId("step"))
        if where == "section":
            section.id = LoudId("sec")
        result = step.to_dict()
        counts[mod] = len(calls)
        assert result["fullid"] == "task.sec.step" and result["idlist"] == ["task", "sec", "step"]
    # one str() per LoudId in the path, at each of the two reads
    assert counts[native] == counts[reference] == (2 if where == "step" else 4)


def test_parent_truth_and_class_reads_run_per_read():
    """A parent class with __len__, and a node class whose _parent is a property."""
    counts = {}
    for mod in IMPLS:
        calls = []

        class LenTask(mod.Task):
            def __len__(self):
                calls.append("len")
                return 1

        class PropSection(mod.Section):
            @property
            def _parent(self):
                calls.append("parent")
                return self.__dict__["_parent_"]

            @_parent.setter
            def _parent(self, value):
                self.__dict__["_parent_"] = value

        rs = mod.RunSet(id="job", seq_num=0)
        task = LenTask(id="task", seq_num=1, parent=rs)
        section = task.add_section(id="sec", seq_num=1)
        step = PropSection(id="step", seq_num=1, parent=section)
        calls.clear()
        assert step.to_dict()["fullid"] == "task.sec.step"
        counts[mod] = sorted(calls)
    assert counts[native] == counts[reference]
    assert counts[native].count("parent") == 4 and counts[native].count("len") == 4


class CollidingKey(str):
    """A key that collides with `name` and logs every comparison made with it."""

    calls = []

    def __new__(cls, text, name):
        self = str.__new__(cls, text)
        self.target_hash = hash(name)
        return self

    def __hash__(self):
        return self.target_hash

    def __eq__(self, other):
        CollidingKey.calls.append(other)
        return str.__eq__(self, other)


def put_before(d, name, key):
    """Makes lookups of `name` in d meet `key` first."""
    value = d.pop(name)
    d[key] = None
    d[name] = value


@pytest.mark.parametrize("holder", ["step", "section", "task"])
def test_foreign_instance_dict_key_compared_per_read(holder):
    nodes = dict(zip(("rs", "task", "section", "step"), tree(native)))
    node = nodes[holder]
    key = CollidingKey("other", "_parent")
    put_before(node.__dict__, "_parent", key)
    CollidingKey.calls.clear()
    by_the_rule(nodes["step"])
    expected = len(CollidingKey.calls)
    CollidingKey.calls.clear()
    result = nodes["step"].to_dict()
    assert len(CollidingKey.calls) == expected > 0
    assert result["fullid"] == "task.sec.step"


def test_foreign_global_key_compared_per_read():
    g = vars(native)
    key = CollidingKey("other", "RunSet")
    put_before(g, "RunSet", key)
    try:
        _, _, _, step = tree(native)
        CollidingKey.calls.clear()
        by_the_rule(step)
        expected = len(CollidingKey.calls)
        CollidingKey.calls.clear()
        result = step.to_dict()
        assert len(CollidingKey.calls) == expected > 0
        assert result["idlist"] == ["task", "sec", "step"]
    finally:
        del g[key]


def test_changed_dict_is_checked_again():
    """A dict once found plain is looked at again after it changed."""
    _, task, _, step = tree(native)
    step.to_dict()
    key = CollidingKey("other", "_parent")
    put_before(task.__dict__, "_parent", key)
    CollidingKey.calls.clear()
    by_the_rule(step)
    expected = len(CollidingKey.calls)
    CollidingKey.calls.clear()
    step.to_dict()
    assert len(CollidingKey.calls) == expected > 0


def test_changed_globals_are_checked_again():
    """The module's globals once found plain (and kept so: watched from 3.12) are
    looked at again after a key was added, by to_dict and by the JSON dump."""
    g = vars(native)
    _, _, _, step = tree(native)
    step.to_dict()
    step.dump_json()
    key = CollidingKey("other", "RunSet")
    put_before(g, "RunSet", key)
    try:
        CollidingKey.calls.clear()
        by_the_rule(step)
        expected = len(CollidingKey.calls)
        CollidingKey.calls.clear()
        step.to_dict()
        assert len(CollidingKey.calls) == expected > 0
        CollidingKey.calls.clear()
        step.dump_json()
        assert CollidingKey.calls
    finally:
        del g[key]


@pytest.mark.parametrize("dump", ["dump_json", "dump_yaml"])
def test_dumps_read_paths_as_the_rule_does(dump):
    """The dumps read fullid for the VALUE_IGNORE test and again for the value."""
    counts, texts = {}, {}
    for mod in IMPLS:
        calls = []

        class LoudId(str):
            def __str__(self):
                calls.append(1)
                return str.__str__(self)

        rs, _, _, step = tree(mod, step_id=LoudId("step"))
        plain = tree(mod)[0]
        calls.clear()
        texts[mod] = (getattr(rs, dump)(), getattr(plain, dump)())
        counts[mod] = len(calls)
    assert counts[native] == counts[reference] > 0
    assert texts[native] == texts[reference]


def test_reading_paths_once_gives_back_every_recursion_level_it_takes():
    """The single read counts a recursion level; every level taken is returned,
    on every interpreter's way of counting (a lost one would shrink the depth
    Python code can reach, a call at a time)."""
    def reachable():
        def down(n):
            try:
                return down(n + 1)
            except RecursionError:
                return n
        return down(0)

    step = tree(native)[3]
    before = reachable()
    for _ in range(300):
        step.to_dict()
        step.fullid
        step.idlist
    assert reachable() == before
