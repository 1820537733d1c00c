"""Scenarios for refleak.py: dump_yaml's fast road, its errors, the points
where it gives way to the generic road and those where it hands over mid-dump."""
import datetime

import yaml
import yaml.emitter

from kovra.datastructures import AttrDict
from kovra.reporter import runset
from kovra.results import Failed, Passed, ResultCounter


class _Opaque:
    def __repr__(self):
        return "Opaque()"


class _Exploding:
    def __repr__(self):
        raise ValueError("no repr")


def _task(extra):
    task = runset.Task(id="t", seq_num=1)
    task.extra = extra
    return task


def _job():
    rs = runset.RunSet(id="job", seq_num=1)
    rs.start(cli="run", note="a\nb  \n")
    task = rs.add_task(id="t1", seq_num=1)
    task.start(parameters={"k": [1, 2.5, None, True]})
    section = task.add_section(id="s1", seq_num=1)
    section.start()
    section.add_detail({"when": datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)})
    section.stop(result=Failed, health=[{"result": "passed"}])
    task.stop()
    rs.stop(num_tasks=1)
    return rs


def dump_whole_job():
    _job().dump_yaml()


def dump_every_kind_of_value():
    counter = ResultCounter()
    counter["passed"] = 3
    _task({
        "text": ["plain", "it's", "tab\there", "\xe9\U0001f600\ud800", "yes", "123", "x " * 60, "a\n\nb\n"],
        "numbers": [1, -(10 ** 40), 1 / 3, float("nan"), float("-inf"), -0.0],
        "other": [None, True, b"\x00\xff" * 40, datetime.date(2020, 1, 2), int, _Opaque()],
        "containers": [(), set(), frozenset([1]), {(1, 2): {}}, AttrDict(a=[]), {2: "a", "b": 1}],
        "results": [counter, Passed, Failed],
        "k" * 130: "long key",
    }).dump_yaml()


def dump_fails_in_repr():
    try:
        _task({"bad": [1, {"x": _Exploding()}]}).dump_yaml()
    except ValueError:
        pass


def dump_fails_when_deep():
    # Deeper than the limit allows: the road's own RecursionError, levels put back
    # on the way out.
    value = "leaf"
    for level in range(400):
        value = [value, 1] if level % 2 else {"k": value, "j": 2.5}
    try:
        _task(value).dump_yaml()
    except RecursionError:
        pass


def dump_gives_way_when_replaced():
    def custom(dumper, data):
        return dumper.represent_scalar("tag:yaml.org,2002:str", "seven")

    runset.YAMLDumper.add_representer(_Opaque, custom)
    try:
        _task({"o": _Opaque()}).dump_yaml()
    finally:
        del runset.YAMLDumper.yaml_representers[_Opaque]


class _Changing:
    """A repr that adds a name to a module PyYAML reads: the road hands over."""

    def __init__(self, fail=False):
        self.fail = fail

    def __repr__(self):
        yaml.emitter.marker_added = 1
        if self.fail:
            raise ValueError("after the change")
        return "Changing()"


class _Hashing(type):
    def __hash__(cls):
        return type.__hash__(cls)


class _ListItems(dict):
    def items(self):
        return [[key, value] for key, value in dict.items(self)]


def _handed_over(extra):
    try:
        _task(extra).dump_yaml()
    except ValueError:
        pass
    finally:
        yaml.emitter.__dict__.pop("marker_added", None)


def dump_hands_over_after_a_change():
    counter = ResultCounter()
    counter["passed"] = 1
    _handed_over({"a": [1, 2.5, "x\ny", b"ab"], "m": _Changing(), "z": {"k": [counter, {3, 4}, Failed]}})


def dump_hands_over_and_fails():
    _handed_over({"a": [1, {"x": "y"}], "m": [_Changing(fail=True)], "z": 2})


def dump_hands_over_at_a_give_way():
    counter = ResultCounter()
    counter.data = _ListItems(passed=2)
    _handed_over({"a": _Opaque(), "b": [_Hashing("H", (), {})(), counter, (1, 2)]})


SCENARIOS = [
    dump_whole_job,
    dump_every_kind_of_value,
    dump_fails_in_repr,
    dump_fails_when_deep,
    dump_gives_way_when_replaced,
    dump_hands_over_after_a_change,
    dump_hands_over_and_fails,
    dump_hands_over_at_a_give_way,
]
