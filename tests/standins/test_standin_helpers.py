import datetime

import pytest

import kovra.configuration  # noqa: F401  (must import)
from kovra.datastructures import AttrDict
from kovra.utils.dicts import recursive_update
from kovra.utils.utils import get_time


def test_get_time():
    start, end = get_time(), get_time()
    assert isinstance(start, datetime.datetime) and (end - start).total_seconds() >= 0


class TestRecursiveUpdate:
    def test_nested_merge_and_replacement(self):
        target = {"a": {"x": 1, "y": {"deep": 1}}, "b": {"x": 1}, "c": [1]}
        assert recursive_update(target, {"a": {"y": {"new": 2}}, "b": 5, "c": {"d": 1}}) is target
        assert target == {"a": {"x": 1, "y": {"deep": 1, "new": 2}}, "b": 5, "c": {"d": 1}}

    def test_lists_extend_or_replace(self):
        target = {"l": [1], "nested": {"l": [1]}}
        recursive_update(target, {"l": [2], "nested": {"l": [2]}})
        assert target == {"l": [1, 2], "nested": {"l": [1, 2]}}
        recursive_update(target, {"l": [3], "nested": {"l": [3]}}, list_extend=False)
        assert target == {"l": [3], "nested": {"l": [3]}}

    def test_source_containers_not_aliased(self):
        source, item = {"d": {"inner": [1]}, "l": [{"k": 1}]}, {"k": 1}
        target = {}
        recursive_update(target, source)
        recursive_update(target, {"d": {"inner": [2]}, "l": [item]})
        target["l"][0]["k"] = target["l"][1]["k"] = 99
        assert source == {"d": {"inner": [1]}, "l": [{"k": 1}]} and item == {"k": 1}

    def test_bad_arguments(self):
        for bad in (None, [("a", 1)], "ab"):
            with pytest.raises(TypeError, match="source must be a mapping"):
                recursive_update({}, bad)


def test_attrdict():
    d = AttrDict(a=1)
    d.b = 2
    del d.a
    assert d == {"b": 2} and d.b == 2
    assert getattr(d, "missing", "default") == "default" and not hasattr(d, "a")
    with pytest.raises(AttributeError):
        del d.missing
