"""Scenarios for tests/refleak.py: zero-argument callables run many times
under the debug interpreter. Each scenario builds what it needs afresh, so
anything still alive afterwards is a leak; expected errors are caught here.
"""
from kovra.reporter.runset import ReportObjectBase


def construct():
    ReportObjectBase("root", 1)


def construct_with_parent():
    root = ReportObjectBase("root", 1)
    child = ReportObjectBase("child", 2, parent=root)
    child.fullid
    child.idlist


def start_stop():
    obj = ReportObjectBase("t", 1)
    obj.start(note="begin")
    obj.stop(note="end")


def update_and_extra():
    obj = ReportObjectBase("t", 1)
    obj.update({"name": "t", "value": 3})
    obj.update_extra({"tags": ["a", "b"], "info": {"k": "v"}})
    obj.update_extra({"tags": ["c"]}, list_extend=True)
    obj.update_extra({"tags": ["d"]}, list_extend=False)


def detail_rollup_dict():
    root = ReportObjectBase("root", 1)
    child = ReportObjectBase("child", 2, parent=root)
    child.add_detail("something happened")
    root.roll_up()
    root.to_dict()
    child.to_dict()


def error_missing_args():
    try:
        ReportObjectBase()
    except TypeError:
        pass


def error_too_many_args():
    try:
        ReportObjectBase("a", 1, None, None, "extra")
    except TypeError:
        pass


def error_update_none():
    obj = ReportObjectBase("t", 1)
    try:
        obj.update(None)
    except AttributeError:
        pass


class _BadPairs:
    def items(self):
        return [("name", "ok"), (1,)]


def error_update_bad_pairs():
    obj = ReportObjectBase("t", 1)
    try:
        obj.update(_BadPairs())
    except ValueError:
        pass


def error_update_read_only_property():
    obj = ReportObjectBase("t", 1)
    try:
        obj.update({"fullid": "x"})
    except AttributeError:
        pass


def error_update_extra_unknown_keyword():
    obj = ReportObjectBase("t", 1)
    try:
        obj.update_extra(x=1)
    except TypeError:
        pass


def error_start_positional():
    obj = ReportObjectBase("t", 1)
    try:
        obj.start(1)
    except TypeError:
        pass


SCENARIOS = [
    construct,
    construct_with_parent,
    start_stop,
    update_and_extra,
    detail_rollup_dict,
    error_missing_args,
    error_too_many_args,
    error_update_none,
    error_update_bad_pairs,
    error_update_read_only_property,
    error_update_extra_unknown_keyword,
    error_start_positional,
]
