"""Report tree: RunSet, Task, Section, Plugin and ReportHeader."""
import os

import pytest

from kovra import results
from kovra.reporter import runset
from kovra.results import (Aborted, Blocked, Errored, Failed, Passed, Passx,
                           ResultCounter, Skipped)

BASE_ATTRS = ["type", "id", "seq_num", "_parent", "name", "starttime",
              "stoptime", "runtime", "details", "extra"]

RUNSET_ORDER = [
    "job_type", "type", "id", "fullid", "idlist", "name", "starttime",
    "stoptime", "runtime", "cli", "jobfile", "jobfile_hash", "xref",
    "kovrapath", "kovraversion", "host", "submitter", "user", "archivefile",
    "summary", "pluginsummary", "details", "extra", "totaltasks", "tasks",
    "health_result", "health_summary", "source_id"]
TASK_ORDER = [
    "type", "id", "fullid", "idlist", "name", "script_type", "starttime",
    "stoptime", "runtime", "description", "logfile", "testscript",
    "testscript_hash", "datafile", "datafile_hash", "xref", "parameters",
    "summary", "pluginsummary", "details", "extra", "sections",
    "health_result", "health_summary"]
SECTION_ORDER = [
    "type", "id", "fullid", "idlist", "name", "testcase_type",
    "testcase_signature", "data_hash", "starttime", "stoptime", "runtime",
    "description", "xref", "logs", "parameters", "result", "details", "extra",
    "sections", "health_result", "health_summary"]
PLUGIN_ORDER = [
    "type", "id", "fullid", "idlist", "name", "starttime", "stoptime",
    "runtime", "description", "logfile", "logs", "summary", "result",
    "details", "extra", "sections", "health_result"]


def counts(counter):
    # health roll-ups copy all nine keys, zeros included; zeros carry no information
    return {k: n for k, n in counter.items() if n}


def write_bytes(path, n, mode="w"):
    with open(path, mode) as fh:
        fh.write("x" * n)


@pytest.fixture
def rs():
    return runset.RunSet(id="job", seq_num=1)


@pytest.fixture
def task(rs):
    return rs.add_task(id="t1", seq_num=1)


# ---------------------------------------------------------------- constructors

@pytest.mark.parametrize("cls, own_attrs, order", [
    (runset.RunSet, ["summary", "pluginsummary", "health_result",
                     "health_summary", "totaltasks", "tasks"], RUNSET_ORDER),
    (runset.Task, ["logfile", "summary", "pluginsummary", "health_result",
                   "health_summary", "sections"], TASK_ORDER),
    (runset.Section, ["result", "health_result", "health_summary", "sections",
                      "logfile", "logs"], SECTION_ORDER),
    (runset.Plugin, ["sections", "result", "summary", "health_result",
                     "health_summary", "logs"], PLUGIN_ORDER),
])
def test_constructor_creates_attributes_in_order(cls, own_attrs, order):
    node = cls(id="n", seq_num=3)
    assert list(vars(node)) == BASE_ATTRS + own_attrs
    assert cls._ARG_ORDER == order
    assert node.type == cls.__name__
    assert node.seq_num == 3 and node._parent is None


def test_arg_order_lengths():
    assert [len(c._ARG_ORDER) for c in
            (runset.RunSet, runset.Task, runset.Section, runset.Plugin)] == [28, 24, 21, 17]


def test_initial_values():
    rs = runset.RunSet(id="j", seq_num=0)
    assert rs.totaltasks == 0 and type(rs.totaltasks) is int
    assert rs.tasks == [] and rs.health_result is None
    for name in ("summary", "pluginsummary", "health_summary"):
        assert type(getattr(rs, name)) is ResultCounter and getattr(rs, name).data == {}

    t = runset.Task(id="t", seq_num=0)
    assert t.logfile is None and t.health_result is None and t.sections == []

    s = runset.Section(id="s", seq_num=0)
    assert (s.result, s.health_result, s.logfile) == (None, None, None)
    assert s.logs == {} and s.sections == []
    assert type(s.health_summary) is ResultCounter

    p = runset.Plugin(id="p", seq_num=0)
    assert (p.result, p.summary, p.health_result) == (None, None, None)
    assert p.logs == {} and p.sections == [] and not hasattr(p, "logfile")
    assert type(p.health_summary) is ResultCounter


@pytest.mark.parametrize("cls, mutables", [
    (runset.RunSet, ["summary", "pluginsummary", "health_summary", "tasks", "details", "extra"]),
    (runset.Task, ["summary", "pluginsummary", "health_summary", "sections", "details", "extra"]),
    (runset.Section, ["health_summary", "sections", "logs", "details", "extra"]),
    (runset.Plugin, ["health_summary", "sections", "logs", "details", "extra"]),
])
def test_counters_and_containers_are_new_per_instance(cls, mutables):
    a, b = cls(id="a", seq_num=1), cls(id="b", seq_num=2)
    objs = [getattr(a, m) for m in mutables]
    # no sharing between two instances nor between two attributes of one
    assert len({id(o) for o in objs + [getattr(b, m) for m in mutables]}) == 2 * len(mutables)


@pytest.mark.parametrize("cls", [runset.RunSet, runset.Task, runset.Section, runset.Plugin])
def test_constructor_is_keyword_only(cls):
    with pytest.raises(TypeError) as exc:
        cls("x", id="n", seq_num=1)
    assert str(exc.value) == "__init__() takes exactly 1 positional argument (2 given)"


@pytest.mark.parametrize("cls", [runset.RunSet, runset.Task, runset.Section, runset.Plugin])
def test_constructor_requires_id_and_seq_num(cls):
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at least 3 positional arguments"):
        cls(id="n")
    with pytest.raises(TypeError, match=r"^__init__\(\) got an unexpected keyword argument 'bogus'$"):
        cls(id="n", seq_num=1, bogus=2)


@pytest.mark.parametrize("cls", [runset.RunSet, runset.Task, runset.Section, runset.Plugin])
def test_type_keyword_and_subclass_name(cls):
    assert cls(id="n", seq_num=1, type="custom").type == "custom"
    assert cls(id="n", seq_num=1, type="").type == cls.__name__
    sub = type("My" + cls.__name__, (cls,), {})
    assert sub(id="n", seq_num=1).type == "My" + cls.__name__


def test_name_is_the_id_object():
    ident = ("tuple", "id")
    assert runset.Task(id=ident, seq_num=1).name is ident


# ------------------------------------------------------------- adding children

def _parents():
    rs = runset.RunSet(id="job", seq_num=1)
    task = rs.add_task(id="t", seq_num=1)
    return {
        "runset": rs, "task": task,
        "section": task.add_section(id="s", seq_num=1),
        "plugin": task.add_plugin(id="p", seq_num=2),
    }


ADDERS = [
    ("runset", "add_task", "Task", "tasks"),
    ("runset", "add_plugin", "Plugin", "tasks"),
    ("task", "add_section", "Section", "sections"),
    ("task", "add_plugin", "Plugin", "sections"),
    ("section", "add_section", "Section", "sections"),
    ("plugin", "add_section", "Section", "sections"),
]


@pytest.mark.parametrize("where, method, clsname, listname", ADDERS)
def test_add_creates_links_and_appends_in_order(where, method, clsname, listname):
    parent = _parents()[where]
    before = list(getattr(parent, listname))
    first = getattr(parent, method)(id="c1", seq_num=10)
    second = getattr(parent, method)(seq_num=11, id="c2", type="kind")
    for child in (first, second):
        assert type(child) is getattr(runset, clsname)
        assert child._parent is parent
    assert (first.id, first.seq_num, first.type) == ("c1", 10, clsname)
    assert (second.id, second.seq_num, second.type) == ("c2", 11, "kind")
    assert getattr(parent, listname) == before + [first, second]
    assert getattr(parent, listname)[-1] is second


@pytest.mark.parametrize("where, method, clsname, listname", ADDERS)
def test_add_with_parent_keyword_creates_nothing(monkeypatch, where, method, clsname, listname):
    parent = _parents()[where]
    created = []

    class Recording(getattr(runset, clsname)):
        def __init__(self, **kwargs):
            created.append(kwargs)
            super().__init__(**kwargs)

    monkeypatch.setattr(runset, clsname, Recording)
    before = list(getattr(parent, listname))
    with pytest.raises(TypeError) as exc:
        getattr(parent, method)(id="c", seq_num=1, parent=None)
    assert str(exc.value) == "function() got multiple values for keyword argument 'parent'"
    assert created == []
    assert getattr(parent, listname) == before


@pytest.mark.parametrize("where, method, clsname, listname", ADDERS)
def test_add_looks_up_child_class_at_call_time(monkeypatch, where, method, clsname, listname):
    parent = _parents()[where]

    class Replacement(getattr(runset, clsname)):
        pass

    monkeypatch.setattr(runset, clsname, Replacement)
    child = getattr(parent, method)(id="c", seq_num=1)
    assert type(child) is Replacement
    assert child.type == "Replacement" and child._parent is parent
    assert getattr(parent, listname)[-1] is child


@pytest.mark.parametrize("where, method", [(w, m) for w, m, _, _ in ADDERS])
def test_add_is_keyword_only(where, method):
    parent = _parents()[where]
    with pytest.raises(TypeError) as exc:
        getattr(parent, method)("c")
    assert str(exc.value) == "%s() takes exactly 1 positional argument (2 given)" % method


def test_testscripts_is_the_tasks_list(rs):
    assert rs.testscripts is rs.tasks
    t = rs.add_task(id="t", seq_num=1)
    rs.testscripts.append("marker")
    assert rs.tasks == [t, "marker"]
    with pytest.raises(AttributeError):
        rs.testscripts = []
    assert rs.testscripts is rs.tasks


# ------------------------------------------------------------- task roll-up

def _section(parent, ident, result=None, health_result=None, health=None):
    s = parent.add_section(id=ident, seq_num=1)
    s.result = result
    s.health_result = health_result
    for key, n in (health or {}).items():
        s.health_summary[key] = n
    return s


def test_task_counts_direct_section_results_by_lower_text(task):
    _section(task, "a", Passed)
    outer = _section(task, "b", Passed)
    _section(task, "c", Failed)
    _section(task, "d", None)
    _section(task, "e", "BLOCKED")  # any value whose text names a result
    _section(outer, "inner", Errored)  # not a direct child
    task.roll_up()
    assert counts(task.summary) == {"passed": 2, "failed": 1, "blocked": 1}
    assert counts(task.pluginsummary) == {}


def test_task_counts_plugins_apart(task):
    with_counter = task.add_plugin(id="p1", seq_num=1)
    with_counter.summary = ResultCounter()
    with_counter.summary["passed"] = 2
    with_counter.summary["failed"] = 1
    with_counter.result = Failed
    with_counter.health_result = Errored
    with_counter.health_summary["errored"] = 5
    bare = task.add_plugin(id="p2", seq_num=2)
    bare.result = Passed
    never_started = task.add_plugin(id="p3", seq_num=3)
    _section(task, "s", Skipped)
    task.roll_up()
    assert counts(task.pluginsummary) == {"passed": 3, "failed": 1, "none": 1}
    assert counts(task.summary) == {"skipped": 1}
    # plugins take no part in the task's health
    assert task.health_result is None
    assert counts(task.health_summary) == {}
    assert never_started.summary is None


def test_task_merges_health_of_sections(task):
    _section(task, "a", Passed, Passx, {"passx": 2, "blocked": 1})
    _section(task, "b", Passed, None, {"failed": 9})  # no health result: skipped entirely
    _section(task, "c", Failed, Failed, {"failed": 1, "passed": 4, "skipped": 1})
    task.roll_up()
    assert counts(task.health_summary) == {"passx": 2, "blocked": 1, "failed": 1,
                                           "passed": 4, "skipped": 1}
    assert task.health_result == Failed

    t2 = runset.Task(id="t2", seq_num=1)
    only = _section(t2, "a", None, Passx)
    t2.roll_up()
    assert t2.health_result is only.health_result
    assert counts(t2.summary) == {}


def test_task_roll_up_keeps_health_result_it_had(task):
    task.health_result = Aborted
    _section(task, "a", Passed, Failed)
    task.roll_up()
    assert task.health_result == Aborted


def test_task_roll_up_twice_gives_same_counters(task):
    _section(task, "a", Passed, Passed, {"passed": 1})
    _section(task, "b", Failed, Failed, {"failed": 2})
    p = task.add_plugin(id="p", seq_num=1)
    p.result = Blocked
    task.roll_up()
    first = (counts(task.summary), counts(task.pluginsummary), counts(task.health_summary))
    old = (task.summary, task.pluginsummary, task.health_summary)
    task.roll_up()
    assert (counts(task.summary), counts(task.pluginsummary), counts(task.health_summary)) == first
    assert first == ({"passed": 1, "failed": 1}, {"blocked": 1}, {"passed": 1, "failed": 2})
    # rebuilt, not cleared in place: a caller holding the old counters keeps them
    assert all(new is not prev for new, prev in zip(
        (task.summary, task.pluginsummary, task.health_summary), old))
    assert counts(old[0]) == first[0]


def test_task_without_sections_resets_counters(task):
    task.summary["passed"] = 3
    task.health_summary["failed"] = 1
    task.roll_up()
    assert task.summary.data == task.health_summary.data == {}


@pytest.mark.parametrize("logfile, expected", [
    ("/tmp/run/job/task.log", "task.log"),
    ("relative/dir/t.log", "t.log"),
    ("plain.log", "plain.log"),
    (None, None),
    ("", ""),
])
def test_task_stop_keeps_only_base_name_of_logfile(task, logfile, expected):
    task.start(logfile=logfile)
    assert task.logfile == logfile and "logfile" not in task.extra
    task.stop()
    assert task.logfile == expected


def test_task_stop_shortens_logfile_given_to_stop(task):
    task.stop(logfile="/var/log/x/run.log")
    assert task.logfile == "run.log"
    assert task.starttime is None and task.runtime is None


def test_task_stop_rolls_up(task):
    _section(task, "a", Failed)
    task.start()
    task.stop()
    assert counts(task.summary) == {"failed": 1}
    assert isinstance(task.runtime, float)


# ------------------------------------------------------------- run-set roll-up

def test_empty_runset_roll_up_makes_new_empty_counters(rs):
    old = (rs.summary, rs.pluginsummary, rs.health_summary)
    rs.summary["passed"] = 1
    assert rs.roll_up() is None
    new = (rs.summary, rs.pluginsummary, rs.health_summary)
    assert all(type(c) is ResultCounter and c.data == {} for c in new)
    assert all(a is not b for a, b in zip(old, new))
    assert rs.health_result is None


def _task_with(rs, ident, summary=None, health_result=None, health=None):
    t = rs.add_task(id=ident, seq_num=1)
    for key, n in (summary or {}).items():
        t.summary[key] = n
    t.health_result = health_result
    for key, n in (health or {}).items():
        t.health_summary[key] = n
    return t


def test_runset_sums_task_and_plugin_counters(rs):
    t1 = _task_with(rs, "t1", {"passed": 2, "failed": 1}, Passx, {"passx": 1})
    _task_with(rs, "t2", {"passed": 1, "errored": 1}, None, {"failed": 7})
    p = rs.add_plugin(id="p", seq_num=1)
    p.start()
    p.summary["passed"] = 4
    p.health_result = Failed
    p.health_summary["failed"] = 2
    p.health_summary["skipped"] = 1
    _task_with(rs, "t3", {"skipped": 2})
    rs.roll_up()
    assert counts(rs.summary) == {"passed": 3, "failed": 1, "errored": 1, "skipped": 2}
    assert counts(rs.pluginsummary) == {"passed": 4}
    # t2 has no health result, so its health counts are left out
    assert counts(rs.health_summary) == {"passx": 1, "failed": 2, "skipped": 1}
    assert rs.health_result == Failed
    assert t1.health_result == Passx  # combining builds a new value
    assert rs.summary.total == 7


def test_runset_takes_first_health_result_object_itself(rs):
    _task_with(rs, "t0")
    t = _task_with(rs, "t1", health_result=results.TestResult("blocked", reason="why"))
    rs.roll_up()
    assert rs.health_result is t.health_result


def test_runset_roll_up_keeps_health_result_and_is_repeatable(rs):
    rs.health_result = Errored
    _task_with(rs, "t1", {"passed": 1}, Failed, {"failed": 1})
    p = rs.add_plugin(id="p", seq_num=1)
    p.start()
    p.summary["blocked"] = 1
    rs.roll_up()
    first = (counts(rs.summary), counts(rs.pluginsummary), counts(rs.health_summary))
    rs.roll_up()
    assert (counts(rs.summary), counts(rs.pluginsummary), counts(rs.health_summary)) == first
    assert first == ({"passed": 1}, {"blocked": 1}, {"failed": 1})
    assert rs.health_result == Errored


def test_runset_counts_plugin_without_counter_under_its_result(rs):
    never = rs.add_plugin(id="never", seq_num=1)
    bare = rs.add_plugin(id="bare", seq_num=2)
    bare.stop()  # no start, no sections: no counter, default result
    assert bare.summary is None and bare.result is Passed
    keyed = rs.add_plugin(id="keyed", seq_num=3)
    keyed.update({"result": Failed, "health_result": Blocked})
    keyed.health_summary["blocked"] = 2
    _task_with(rs, "t", {"passed": 1})
    rs.roll_up()
    assert never.summary is None
    assert counts(rs.pluginsummary) == {"none": 1, "passed": 1, "failed": 1}
    assert counts(rs.summary) == {"passed": 1}
    assert rs.health_result is keyed.health_result
    assert counts(rs.health_summary) == {"blocked": 2}


def test_runset_stop_sets_weight_to_share_of_started_tasks(rs):
    for i in range(4):
        t = rs.add_task(id="t%d" % i, seq_num=i)
        if i < 3:
            t.start()
            t.add_section(id="s", seq_num=1).stop(result=Passed)
            t.stop()
    p = rs.add_plugin(id="p", seq_num=9)
    p.start()
    p.stop()
    rs.start()
    rs.stop(num_tasks=4)
    assert rs.summary.weight == 0.75 and type(rs.summary.weight) is float
    assert rs.totaltasks == 4
    assert counts(rs.summary) == {"passed": 3}
    assert counts(rs.pluginsummary) == {}
    assert rs.summary.success_rate == 75.0
    assert rs.pluginsummary.weight == 1.0
    assert "num_tasks" not in rs.extra and not hasattr(rs, "num_tasks")


@pytest.mark.parametrize("kwargs, totaltasks", [({}, 0), ({"num_tasks": 0}, 0),
                                                 ({"num_tasks": -2}, -2)])
def test_runset_stop_without_positive_num_tasks_leaves_weight(rs, kwargs, totaltasks):
    rs.add_task(id="t", seq_num=1)  # never started
    rs.stop(**kwargs)
    assert rs.totaltasks == totaltasks
    assert rs.summary.weight == 1.0
    assert "num_tasks" not in rs.extra and not hasattr(rs, "num_tasks")


def test_runset_stop_weight_zero_when_no_task_started(rs):
    rs.add_task(id="t", seq_num=1)
    rs.stop(num_tasks=2)
    assert rs.summary.weight == 0.0


def test_runset_stop_applies_other_keywords(rs):
    rs.start()
    rs.stop(num_tasks=1, archivefile="a.zip", custom=5)
    assert rs.archivefile == "a.zip" and rs.extra == {"custom": 5}
    assert rs.totaltasks == 1 and isinstance(rs.runtime, float)


@pytest.mark.parametrize("cls", [runset.RunSet, runset.Task, runset.Plugin])
def test_roll_up_takes_no_arguments(cls):
    with pytest.raises(TypeError) as exc:
        cls(id="n", seq_num=1).roll_up(1)
    assert str(exc.value) == "roll_up() takes exactly 1 positional argument (2 given)"


# ------------------------------------------------------------- report header

def test_report_header(monkeypatch, rs):
    header = runset.ReportHeader(rs)
    assert list(header.data) == ["version", "report"]
    assert header.data == {"version": "3.2", "report": rs}
    assert header.data["report"] is rs
    assert header.as_dict() is header.data
    header.as_dict()["extra"] = 1
    assert header.data["extra"] == 1
    assert runset.ReportHeader(report=None).data == {"version": "3.2", "report": None}
    # the version is read when the header is made, not when the module was loaded
    monkeypatch.setattr(runset, "VERSION", "9.9")
    assert runset.ReportHeader(rs).as_dict()["version"] == "9.9"
    assert header.data["version"] == "3.2"


@pytest.mark.parametrize("call, message", [
    (lambda: runset.ReportHeader(), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: runset.ReportHeader(1, 2), "__init__() takes exactly 2 positional arguments (3 given)"),
    (lambda: runset.ReportHeader(1).as_dict(2), "as_dict() takes exactly 1 positional argument (2 given)"),
    (lambda: runset.ReportHeader(1, report=2),
     "__init__() got multiple values for keyword argument 'report'"),
])
def test_report_header_argument_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


# ------------------------------------------------------------- section logs

def test_section_log_record_tracks_growth(tmp_path, task):
    log = tmp_path / "run.log"
    write_bytes(log, 1000)
    s = task.add_section(id="s", seq_num=1)
    s.start(logfile=str(log))
    assert s.logs == {"file": "run.log", "begin": 1000}
    assert "logfile" not in s.extra
    write_bytes(log, 500, "a")
    s.stop()
    assert s.logs == {"file": "run.log", "begin": 1000, "size": 500}
    assert list(s.logs) == ["file", "begin", "size"]
    assert s.logfile == str(log)


def test_section_start_without_logfile_clears_it(tmp_path, task):
    log = tmp_path / "run.log"
    write_bytes(log, 10)
    s = task.add_section(id="s", seq_num=1)
    s.logfile = str(log)
    s.start()
    assert s.logfile is None and s.logs == {}
    write_bytes(log, 10, "a")
    s.stop()
    assert s.logs == {}
    assert s.starttime is not None and s.stoptime is not None


def test_section_stop_logfile_keyword_goes_to_extra(tmp_path, task):
    log, other = tmp_path / "a.log", tmp_path / "b.log"
    write_bytes(log, 100)
    write_bytes(other, 7)
    s = task.add_section(id="s", seq_num=1)
    s.start(logfile=str(log))
    write_bytes(log, 20, "a")
    s.stop(logfile=str(other))
    assert s.logfile == str(log)
    assert s.extra == {"logfile": str(other)}
    assert s.logs == {"file": "a.log", "begin": 100, "size": 20}


def test_section_missing_log_file_fails_start_after_timestamp(tmp_path, task):
    s = task.add_section(id="s", seq_num=1)
    missing = str(tmp_path / "nope.log")
    with pytest.raises(FileNotFoundError):
        s.start(logfile=missing, description="d")
    assert s.starttime is not None and s.description == "d"
    assert s.logfile == missing and s.logs == {"file": "nope.log"}


def test_section_log_file_removed_before_stop(tmp_path, task):
    log = tmp_path / "gone.log"
    write_bytes(log, 5)
    s = task.add_section(id="s", seq_num=1)
    s.start(logfile=str(log))
    os.remove(str(log))
    with pytest.raises(FileNotFoundError):
        s.stop(result=Passed)
    assert s.stoptime is not None and s.result is Passed
    assert "size" not in s.logs


def test_section_log_record_without_begin_fails_stop(tmp_path, task):
    log = tmp_path / "x.log"
    write_bytes(log, 5)
    s = task.add_section(id="s", seq_num=1)
    s.logfile = str(log)
    s.logs["file"] = "x.log"
    with pytest.raises(KeyError):
        s.stop()


# ------------------------------------------------------------- plugins

def test_plugin_under_runset_gets_counter_and_no_log_record(tmp_path, rs):
    log = tmp_path / "plugin.log"
    write_bytes(log, 300)
    p = rs.add_plugin(id="p", seq_num=1)
    p.start(logfile=str(log))
    assert type(p.summary) is ResultCounter and p.summary.data == {}
    assert p.logs == {} and p.logfile == str(log)
    assert "logfile" not in p.extra
    first = p.summary
    p.start(logfile=str(log))
    assert p.summary is not first
    write_bytes(log, 10, "a")
    p.stop()
    assert p.logfile == "plugin.log" and p.logs == {}


def test_plugin_under_task_records_log_and_no_counter(tmp_path, task):
    log = tmp_path / "plugin.log"
    write_bytes(log, 1000)
    p = task.add_plugin(id="p", seq_num=1)
    p.start(logfile=str(log))
    assert p.summary is None
    assert p.logs == {"file": "plugin.log", "begin": 1000}


@pytest.mark.parametrize("same_file", [True, False])
def test_plugin_under_task_log_growth(tmp_path, task, same_file):
    log = tmp_path / "plugin.log"
    write_bytes(log, 1000)
    p = task.add_plugin(id="p", seq_num=1)
    p.start(logfile=str(log))
    write_bytes(log, 200, "a")
    p.stop(**({"logfile": str(log)} if same_file else {}))
    assert p.logs == {"file": "plugin.log", "begin": 1000, "size": 200}
    assert p.logfile == "plugin.log"
    assert "logfile" not in p.extra


def test_plugin_under_task_with_changed_log_file(tmp_path, task):
    log = tmp_path / "first.log"
    write_bytes(log, 1000)
    p = task.add_plugin(id="p", seq_num=1)
    p.start(logfile=str(log))
    old_logs = p.logs
    other = str(tmp_path / "sub" / "second.log")  # need not exist
    p.stop(logfile=other)
    assert p.logs == {"file": "second.log", "begin": 0, "size": -1}
    assert list(p.logs) == ["file", "begin", "size"]
    assert old_logs == {"file": "first.log", "begin": 1000}  # replaced, not edited
    assert p.logfile == "second.log"
    assert "logfile" not in p.extra


def test_plugin_without_logfile_drops_stop_logfile(tmp_path, task):
    p = task.add_plugin(id="p", seq_num=1)
    p.start()
    p.stop(logfile=str(tmp_path / "late.log"))
    assert not hasattr(p, "logfile")
    assert p.logs == {} and p.extra == {}


def test_plugin_changed_log_file_without_record(tmp_path, rs):
    log = tmp_path / "a.log"
    write_bytes(log, 10)
    p = rs.add_plugin(id="p", seq_num=1)
    p.start(logfile=str(log))
    p.stop(logfile="/x/y/b.log")
    assert p.logs == {} and p.logfile == "b.log"


def test_plugin_missing_log_file_fails_start(tmp_path, task):
    p = task.add_plugin(id="p", seq_num=1)
    with pytest.raises(FileNotFoundError):
        p.start(logfile=str(tmp_path / "nope.log"))
    assert p.starttime is not None and p.logs == {"file": "nope.log"}


@pytest.mark.parametrize("where", ["runset", "task"])
def test_plugin_default_result_is_passed_itself(rs, task, where):
    parent = rs if where == "runset" else task
    p = parent.add_plugin(id="p", seq_num=1)
    p.start()
    p.stop()
    assert p.result is results.Passed


@pytest.mark.parametrize("how", ["start", "stop", "update"])
def test_plugin_result_from_keyword_stays(task, how):
    p = task.add_plugin(id="p", seq_num=1)
    if how == "update":
        p.update({"result": Failed})
        p.stop()
    elif how == "start":
        p.start(result=Failed)
        p.stop()
    else:
        p.stop(result=Failed)
    assert p.result is Failed
    assert p.extra == {}


def test_plugin_counts_its_sections(task):
    p = task.add_plugin(id="p", seq_num=1)
    p.start()
    for ident, result in (("a", Passed), ("b", None), ("c", Failed)):
        p.add_section(id=ident, seq_num=1).stop(result=result)
    # the counter follows the sections as they finish
    assert counts(p.summary) == {"passed": 1, "failed": 1}
    assert p.result == Failed
    p.stop()
    assert counts(p.summary) == {"passed": 1, "failed": 1}
    assert p.result == Failed
    task.stop()
    assert counts(task.pluginsummary) == {"passed": 1, "failed": 1}
    assert counts(task.summary) == {}


def test_plugin_under_runset_counter_replaced_by_sections(rs):
    p = rs.add_plugin(id="p", seq_num=1)
    p.start()
    started = p.summary
    p.add_section(id="a", seq_num=1).stop(result=Skipped)
    assert p.summary is not started and counts(p.summary) == {"skipped": 1}


def test_plugin_whose_sections_report_nothing_ends_passed(task):
    p = task.add_plugin(id="p", seq_num=1)
    p.add_section(id="a", seq_num=1).stop()
    p.stop()
    assert p.result is Passed
    assert type(p.summary) is ResultCounter and p.summary.data == {}


def test_plugin_without_sections_keeps_no_counter(task):
    p = task.add_plugin(id="p", seq_num=1)
    p.start()
    p.stop()
    assert p.summary is None
    task.stop()
    assert counts(task.pluginsummary) == {"passed": 1}
    assert counts(task.summary) == {}


def test_plugin_roll_up_leaves_its_result_and_health(task):
    p = task.add_plugin(id="p", seq_num=1)
    s = p.add_section(id="a", seq_num=1)
    s.result = Blocked
    p.result = Errored
    p.health_result = Passx
    p.roll_up()
    assert counts(p.summary) == {"blocked": 1}
    assert p.result is Errored and p.health_result is Passx


# ------------------------------------------------------------- nested sections

def test_nested_sections_roll_up_as_they_stop(task):
    top = task.add_section(id="top", seq_num=1)
    mid = top.add_section(id="mid", seq_num=1)
    leaf = mid.add_section(id="leaf", seq_num=1)
    for node in (top, mid, leaf):
        node.start()
    assert leaf.fullid == "t1.top.mid.leaf" and leaf.idlist == ["t1", "top", "mid", "leaf"]

    leaf.stop(result=Failed, health=[{"result": "failed"}])
    assert leaf.extra == {"health": [{"result": "failed"}]}
    # the result climbed through mid into top and stopped below the task
    assert mid.result == Failed and mid.result is not leaf.result
    assert top.result == Failed
    assert leaf.health_result == Failed and counts(leaf.health_summary) == {"failed": 1}
    assert mid.health_result == Failed and counts(mid.health_summary) == {"failed": 1}
    assert top.health_result == Failed and counts(top.health_summary) == {"failed": 1}
    assert counts(task.summary) == {} and task.health_result is None

    sibling = mid.add_section(id="sib", seq_num=2)
    sibling.start()
    sibling.update({"result": Passed})
    sibling.stop()
    # a section without health entries gets Passed and hands its counts over by assignment
    assert sibling.health_result is Passed
    assert mid.health_result == Failed
    assert counts(mid.health_summary) == {}
    assert mid.result == Failed

    mid.stop()
    top.stop()
    task.stop()
    assert counts(task.summary) == {"failed": 1}
    assert task.health_result is top.health_result
    assert counts(task.health_summary) == {}


def test_section_health_entries_accumulate(task):
    top = task.add_section(id="top", seq_num=1)
    leaf = top.add_section(id="leaf", seq_num=1)
    leaf.stop(result=Passed, health=[{"result": "passed"}, {"result": "Blocked"},
                                     {"result": "passed"}])
    assert leaf.health_result == Blocked
    assert counts(leaf.health_summary) == {"passed": 2, "blocked": 1}
    assert top.health_result == Blocked
    assert top.result == Passed
    top.stop()
    task.stop()
    assert counts(task.summary) == {"passed": 1}
    assert counts(task.health_summary) == {"passed": 2, "blocked": 1}
    assert task.health_result is top.health_result


def test_sections_under_plugin_hand_result_and_health(task):
    p = task.add_plugin(id="p", seq_num=1)
    outer = p.add_section(id="outer", seq_num=1)
    inner = outer.add_section(id="inner", seq_num=1)
    inner.stop(result=Aborted, health=[{"result": "errored"}])
    assert outer.result == Aborted and p.result == Aborted
    assert p.health_result == Errored
    assert counts(p.summary) == {"aborted": 1}
    outer.stop()
    assert counts(p.summary) == {"aborted": 1}
    p.stop()
    assert p.result == Aborted
    task.stop()
    assert counts(task.pluginsummary) == {"aborted": 1}
    assert task.health_result is None


def test_section_directly_under_task_hands_nothing_up(task):
    task.health_summary["passed"] = 4
    s = task.add_section(id="s", seq_num=1)
    s.stop(result=Failed, health=[{"result": "failed"}])
    assert task.health_result is None
    assert counts(task.health_summary) == {"passed": 4}
    assert not hasattr(task, "result")


def test_super_call_that_reaches_object_raises_attribute_error(monkeypatch):
    # The walk past the bases ends at object, whose dict 3.12+ keeps outside
    # tp_dict: a name nobody defines must still be a plain AttributeError.
    monkeypatch.delattr(runset.ReportObjectBase, "stop")
    rs = runset.RunSet(id="j", seq_num=0)
    with pytest.raises(AttributeError, match="'super' object has no attribute 'stop'"):
        rs.stop()


def test_super_call_finds_what_object_defines(monkeypatch):
    # With the base's __init__ gone, object's own is found and refuses the keywords.
    monkeypatch.delattr(runset.ReportObjectBase, "__init__")
    with pytest.raises(TypeError, match="object.__init__"):
        runset.RunSet(id="j", seq_num=0)
