"""Scenarios for refleak.py: zero-argument callables run many times
under the debug interpreter. Each scenario builds what it needs afresh, so
anything still alive afterwards is a leak; expected errors are caught here.
"""
import os
import tempfile

from kovra.reporter import runset
from kovra.reporter.runset import ReportObjectBase
from kovra.results import Failed, Passed, ResultCounter

_LOGDIR = tempfile.mkdtemp(prefix="kovra-leak-")
_LOGFILE = os.path.join(_LOGDIR, "task.log")
with open(_LOGFILE, "w") as _stream:
    _stream.write("log\n")


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


def whole_job():
    job = runset.RunSet(id="job", seq_num=0)
    job.start(cli="run", release="1.0")
    job_plugin = job.add_plugin(id="env", seq_num=0)
    job_plugin.start(logfile=_LOGFILE)
    job_plugin.stop()
    task = job.add_task(id="t1", seq_num=1)
    task.start(logfile=_LOGFILE)
    section = task.add_section(id="s1", seq_num=1)
    section.start(logfile=_LOGFILE)
    step = section.add_section(id="step", seq_num=1)
    step.start(logfile=_LOGFILE)
    step.update({"details": ["a"], "other": {"k": [1]}})
    step.stop(result=Failed, health=[{"result": "passed"}, {"result": "failed"}])
    section.stop()
    plugin = task.add_plugin(id="p", seq_num=2)
    plugin.start(logfile=_LOGFILE)
    plugin.add_section(id="ps", seq_num=1).stop(result=Passed)
    plugin.stop(logfile=_LOGFILE + ".other")
    task.stop()
    job.add_plugin(id="never", seq_num=3)
    job.stop(num_tasks=2)
    step.to_dict()
    job.to_dict()
    job.testscripts


def dumps():
    job = runset.RunSet(id="job", seq_num=0)
    task = job.add_task(id="t1", seq_num=1)
    task.start()
    section = task.add_section(id="s1", seq_num=1)
    section.start()
    section.update({"description": "two\nlines  \n", "unknown": object(), "ratio": 1 / 3})
    section.stop(result=Passed)
    task.stop()
    job.stop(num_tasks=1)
    job.dump_yaml()
    try:
        job.dump_json()
    except TypeError:
        pass
    section.extra.pop("unknown")
    job.dump_json()


class _Opaque:
    pass


def json_road():
    # The native JSON road over every kind of value, and its refusals.
    import datetime
    import json
    job = runset.RunSet(id="job", seq_num=0)
    task = job.add_task(id="t\u00e9", seq_num=1)
    section = task.add_section(id="s1", seq_num=1)
    section.update({"result": Failed, "description": "\U0001f600\n\x00"})
    section.extra.update({"n": [None, True, 10 ** 30, -0.0, float("nan"), (1, "x")],
                          "k": {1.5: 1, None: 2, 3: {"deep": [{}]}},
                          "t": datetime.datetime(2024, 1, 2), "e": ValueError("v")})
    node = runset.ReportObjectBase("odd", 1)
    node._ARG_ORDER = ["id", "id", "name"]
    section.extra["node"] = node
    job.dump_json()
    for bad in (_Opaque(), {(1, 2): 1}):
        section.extra["bad"] = bad
        try:
            job.dump_json()
        except TypeError:
            pass
    loop = []
    loop.append(loop)
    section.extra["bad"] = loop
    try:
        job.dump_json()
    except ValueError:
        pass
    # A replaced piece: the generic road.
    saved = runset.JSONDumper.item_separator = ", "
    try:
        del section.extra["bad"]
        job.dump_json()
    finally:
        del runset.JSONDumper.item_separator
    json.dumps(saved)


def json_written_values():
    # Values the native JSON road writes without the objects default would make:
    # naive and aware datetimes, results, counts of every shape, many keys.
    import datetime
    from kovra.results import ResultCounter, TestResult

    class Zone(datetime.tzinfo):
        def utcoffset(self, dt):
            raise LookupError("no offset")

    class Broken(ResultCounter):
        @property
        def total(self):
            raise ArithmeticError("no total")

    job = runset.RunSet(id="job", seq_num=0)
    section = job.add_task(id="t", seq_num=1).add_section(id="s", seq_num=1)
    odd = ResultCounter()
    odd.data = {"total": 3, 1: 2, "passed": 1}
    plain = ResultCounter()
    plain.data = {"total": 3, "passed": 1, "success_rate": 2}
    section.extra.update({"t": [datetime.datetime(1, 2, 3), datetime.datetime(2024, 1, 2, 3, 4, 5, 6)],
                          "r": TestResult("failed", reason="why", data={"k": 1}), "odd": odd, "plain": plain,
                          "keys": [{"k%d" % i: i for i in range(600)} for _ in range(2)]})
    job.dump_json()
    for bad in (datetime.datetime(2024, 1, 1, tzinfo=Zone()), Broken()):
        section.extra["bad"] = bad
        try:
            job.dump_json()
        except (LookupError, ArithmeticError):
            pass
    saved = runset.VALUE_IGNORE
    runset.VALUE_IGNORE = [None]
    try:
        job.dump_json()
    except (LookupError, ArithmeticError):
        pass
    finally:
        runset.VALUE_IGNORE = saved


def error_add_child_with_parent():
    job = runset.RunSet(id="job", seq_num=0)
    try:
        job.add_task(id="t", seq_num=1, parent=job)
    except TypeError:
        pass


def error_missing_log_file():
    task = runset.Task(id="t", seq_num=1)
    section = task.add_section(id="s", seq_num=1)
    try:
        section.start(logfile=os.path.join(_LOGDIR, "missing.log"))
    except OSError:
        pass


def error_health_entry_without_result():
    parent = runset.Section(id="p", seq_num=1)
    child = parent.add_section(id="c", seq_num=1)
    try:
        child.stop(result=Passed, health=[{"note": "no result"}])
    except KeyError:
        pass


def error_parent_cycle():
    node = ReportObjectBase("loop", 1)
    node._parent = node
    try:
        node.fullid
    except RecursionError:
        pass
    node._parent = None


def error_to_dict_bad_name():
    class Odd(ReportObjectBase):
        _ARG_ORDER = ["id", 3]

    try:
        Odd("x", 1).to_dict()
    except TypeError:
        pass


def quick_roads():
    # Methods reached through self, straight attribute stores and reads, keyword
    # dicts handed on, super() through the method cache: each road and its detour.
    parent = runset.Section(id="p", seq_num=1)
    child = parent.add_section(**{"".join(["i", "d"]): "c", "seq_num": 1})
    child.start(description="d", logfile=None)
    child.update({"".join(["xr", "ef"]): 1, "note": [1]})
    child.stop(result=Passed, health=[{"result": "passed"}])
    child.roll_up = lambda: None
    child.stop(result=Failed)

    class Watched(runset.Section):
        def __setattr__(self, name, value):
            super().__setattr__(name, value)

        def update(self, data):
            super().update(data)

    watched = Watched(id="w", seq_num=1, parent=parent)
    watched.start()
    watched.stop(result=Passed)


def error_quick_roads():
    node = runset.Section(id="n", seq_num=1, parent=runset.Section(id="p", seq_num=1))
    node._parent._parent = node
    node.result = node._parent.result = Passed
    try:
        node.roll_up()
    except RecursionError:
        pass
    node._parent._parent = None
    try:
        node.update({"fullid": 1})
    except AttributeError:
        pass
    try:
        node.stop(**{"self": 1})
    except TypeError:
        pass


def known_results():
    # Results and counters answered natively, and each way the answer is left to
    # the code: a sum past a machine word, a weight that is no number, a class
    # changed and changed back.
    job = runset.RunSet(id="job", seq_num=0)
    job.add_task(id="t", seq_num=1).add_section(id="s", seq_num=1).result = Failed
    for counts, weight in (({"passed": 2, "failed": 1}, 0.5), ({"passed": 2 ** 64}, 1), ({"passed": 1}, "x")):
        made = ResultCounter()
        made.data, made.weight = counts, weight
        job.extra["c"] = made
        try:
            job.dump_json()
            job.dump_yaml()
        except TypeError:
            pass
    ResultCounter.marker = 1
    try:
        job.dump_json()
    except TypeError:
        pass
    del ResultCounter.marker


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
    whole_job,
    dumps,
    json_road,
    known_results,
    json_written_values,
    error_add_child_with_parent,
    error_missing_log_file,
    error_health_entry_without_result,
    error_parent_cycle,
    error_to_dict_bad_name,
    quick_roads,
    error_quick_roads,
]
