"""The handlers that copy each level of a report into legacy objects, checked
against recording fakes of the legacy library."""
import contextlib
import datetime as dt
import types

import pytest

import legacy_fakes as fakes
from kovra.reporter import ledgrin
from kovra.reporter.ledgrin import Ledgrin
from kovra.results import Failed, Passed

T0 = dt.datetime(2026, 12, 8, 10, 0, 0, 900000)
T1 = dt.datetime(2026, 12, 8, 10, 0, 1, 100000)


def node(**attrs):
    """A report section with the mandatory attributes, overridable."""
    base = dict(starttime=T0, stoptime=T1, type="Testcase", id="s", name="s", details=[],
                extra={}, sections=[])
    base.update(attrs)
    return types.SimpleNamespace(**base)


def job(**attrs):
    base = dict(starttime=T0, stoptime=T1, id="job1", name="nightly", extra={}, summary={"passed": 1},
                details=[], tasks=[])
    base.update(attrs)
    return types.SimpleNamespace(**base)


@pytest.fixture
def gen(monkeypatch, tmp_path):
    fakes.install(monkeypatch, ledgrin)
    return Ledgrin(str(tmp_path), None)


# ---- what every handler shares ---------------------------------------------------------

SECTION_HANDLERS = [
    ("_handle_commonsection", fakes.TestSection),
    ("_handle_testcase", fakes.TestCase),
    ("_handle_subsection", fakes.SubSection),
    ("_handle_testsection", fakes.TestSection),
    ("_handle_step", fakes.Step),
]


def xref_of(obj):
    return obj.initinfo.xref if isinstance(obj, fakes.TestCase) else obj.xref


def logfile_of(obj):
    return obj.initinfo.logfile if isinstance(obj, fakes.TestCase) else obj.logfile


@pytest.mark.parametrize("method, kind", SECTION_HANDLERS)
def test_section_handlers_share_timing_location_result_and_details(gen, method, kind):
    obj = kind()
    report = node(xref={"file": "a.py", "line": 7}, logs={"file": "t.log", "begin": 10, "size": 5},
                  result=Failed, details=["one\x01", "two"])
    assert getattr(gen, method)(obj, report) is obj
    # Both ends are cut to whole seconds: 0.2 s of run is one second.
    assert (obj.starttime, obj.stoptime, obj.runtime) == (T0, T1, dt.timedelta(seconds=1))
    assert (xref_of(obj).file, xref_of(obj).line) == ("a.py", 7)
    assert (logfile_of(obj).filepath, logfile_of(obj).attrs) == ("t.log", {"begin": 10, "size": 5})
    assert obj.result.value == "failed"
    assert obj.runinfo.calls == [{"diag": "one\\x01"}, {"diag": "two"}]


@pytest.mark.parametrize("method, kind", SECTION_HANDLERS)
def test_section_handlers_defaults_when_the_node_lacks_optional_data(gen, method, kind):
    obj = kind()
    obj.runtime = "kept"
    obj.result.value = "kept"
    getattr(gen, method)(obj, node(stoptime=None))
    assert obj.runtime == "kept" and obj.stoptime is None
    assert (xref_of(obj).file, xref_of(obj).line) == ("", -1)
    assert (logfile_of(obj).filepath, logfile_of(obj).attrs) == ("", {"begin": -1, "size": -1})
    assert obj.result.value == "kept"


@pytest.mark.parametrize("method, kind", SECTION_HANDLERS)
def test_a_false_valued_result_is_still_written(gen, method, kind):
    class Falsy:
        def __bool__(self):
            return False

        def __str__(self):
            return "blocked"

    obj = kind()
    getattr(gen, method)(obj, node(result=Falsy(), logs={"file": "only.log"}))
    assert obj.result.value == "blocked"
    assert logfile_of(obj).attrs == {"begin": -1, "size": -1}


@pytest.mark.parametrize("start, stop, seconds", [
    (dt.datetime(2026, 1, 1, 10, 0, 0, 100000), dt.datetime(2026, 1, 1, 10, 0, 0, 900000), 0),
    (dt.datetime(2026, 1, 1, 10, 0, 0), dt.datetime(2026, 1, 1, 11, 30, 5, 999999), 5405),
])
def test_run_time_is_the_difference_of_whole_seconds(gen, start, stop, seconds):
    obj = fakes.Step()
    gen._handle_step(obj, node(starttime=start, stoptime=stop))
    assert obj.runtime == dt.timedelta(seconds=seconds)


@pytest.mark.parametrize("method, kind", [m for m in SECTION_HANDLERS if m[0] != "_handle_step"])
def test_extra_is_escaped_into_a_copy(gen, method, kind):
    extra = {"k\x01": ["v\x02", ("t\x03", 5)], "n": None}
    obj = kind()
    getattr(gen, method)(obj, node(extra=extra))
    assert obj.extra == {"k\\x01": ["v\\x02", ("t\\x03", 5)], "n": None}
    assert extra == {"k\x01": ["v\x02", ("t\x03", 5)], "n": None}


# ---- per-handler differences ------------------------------------------------------------

@pytest.mark.parametrize("method, kind, where", [
    ("_handle_commonsection", fakes.TestSection, "extra"),
    ("_handle_testsection", fakes.TestSection, "extra"),
    ("_handle_testcase", fakes.TestCase, "initinfo"),
    ("_handle_subsection", fakes.SubSection, "attribute"),
])
def test_descriptions_are_escaped_and_empty_ones_skipped(gen, method, kind, where):
    def stored(obj):
        return {"extra": lambda: obj.extra.get("description"),
                "initinfo": lambda: obj.initinfo.description,
                "attribute": lambda: obj.description}[where]()

    obj = kind()
    getattr(gen, method)(obj, node(description="red \x1b[31m"))
    assert stored(obj) == "red \\x1b[31m"
    empty = kind()
    getattr(gen, method)(empty, node(description=""))
    assert stored(empty) is None


def test_node_extra_description_overrides_the_escaped_one(gen):
    obj = fakes.TestSection()
    gen._handle_testsection(obj, node(description="mine", extra={"description": "theirs"}))
    assert obj.extra == {"description": "theirs"}


def test_step_description_is_stored_unescaped_and_defaults_to_empty(gen):
    with_text, without = fakes.Step(), fakes.Step()
    gen._handle_step(with_text, node(description="raw \x01"))
    gen._handle_step(without, node())
    assert with_text.description == "raw \x01"
    assert without.description == ""


def test_step_takes_index_and_continue_out_of_a_copy_of_extra(gen):
    extra = {"index": 3, "continue_": False, "note": "n\x01"}
    obj = fakes.Step()
    gen._handle_step(obj, node(extra=extra))
    assert (obj.index, obj.continue_) == (3, False)
    assert obj.extra == {"note": "n\\x01"}
    assert extra == {"index": 3, "continue_": False, "note": "n\x01"}
    untouched = fakes.Step()
    gen._handle_step(untouched, node(extra={"note": 1}))
    assert (untouched.index, untouched.continue_) == (None, None)


def test_testcase_identity_and_version_fields(gen):
    obj = fakes.TestCase()
    gen._handle_testcase(obj, node(id="tc1", name="Login works"))
    info = obj.initinfo
    assert (info.id.attrs, info.id.idtypevalue, info.name) == ({"name": "tc1"}, "tc1", "Login works")
    assert [info.swversion, info.hwversion, info.fwversion, info.tstversion] == ["None"] * 4


@pytest.mark.parametrize("type_, expected", [("LoadProcessor", "p1 load"), ("Processor", "p1 load"),
                                             ("processor", "p1"), ("Testsection", "p1")])
def test_subsection_identity_uses_the_processor_rule_but_keeps_its_name(gen, type_, expected):
    obj = fakes.SubSection()
    gen._handle_subsection(obj, node(id="p1", name="load", type=type_))
    assert (obj.id.attrs, obj.id.idtypevalue, obj.name) == ({"name": expected}, expected, "load")


def test_subsection_name_is_not_escaped_but_step_names_are(gen):
    obj = fakes.SubSection()
    child = node(id=7, name="st\x01ep", type="DataProcessor")
    gen._handle_subsection(obj, node(name="sub\x01", sections=[child]))
    assert obj.name == "sub\x01"
    [step] = obj.children
    assert step.created == {"id": "7 st\x01ep", "name": "st\\x01ep"}


def test_testcase_children_become_test_sections_with_processor_ids(gen):
    obj = fakes.TestCase()
    children = [node(id="p1", name="load", type="LoadProcessor"), node(id=2, name="x", type="Setup")]
    gen._handle_testcase(obj, node(sections=children))
    assert [c.created for c in obj.children] == [{"sectionid": "p1 load"}, {"sectionid": 2}]
    assert [c.starttime for c in obj.children] == [T0, T0]


def test_steps_nest_through_handle_step(gen):
    leaf = node(id="c", name="leaf", result=Passed)
    mid = node(id="b", name="mid", sections=[leaf])
    top = node(id="a", name="top", sections=[mid])
    section = fakes.TestSection()
    gen._handle_testsection(section, node(sections=[top]))
    [a] = section.children
    [b] = a.children
    [c] = b.children
    assert [s.created["id"] for s in (a, b, c)] == ["a", "b", "c"]
    assert c.result.value == "passed" and b.result.value is None


def test_common_section_children_are_subsections(gen):
    obj = fakes.TestSection()
    gen._handle_commonsection(obj, node(sections=[node(name="connect"), node(name="configure")]))
    assert [(c.created, c.name) for c in obj.children] == [({"name": "connect"}, "connect"),
                                                          ({"name": "configure"}, "configure")]


# ---- test script -----------------------------------------------------------------------

class Params:
    def __str__(self):
        return "-v \x01"


def test_testscript_copies_identity_summary_and_sorts_its_sections(gen):
    task = node(parameters=Params(), description="d\x02", logfile="/l/task.log",
                testscript="/scripts/x/run.py", summary={"passed": 2},
                details=["fine"], sections=[
                    node(type="CommonSetup", id="cs"),
                    node(type="Testcase", id="tc1", logs={"file": "tc1.log"}),
                    node(type="commonsetup", id="odd", logs={}),
                    node(type="Plugin", id="pl"),
                    node(type="CommonCleanup", id="cc")])
    qots = fakes.TestScript(None, None)
    assert gen._handle_testscript(qots, task) is qots
    info = qots.initinfo
    assert info.pargs == "-v \\x01"
    assert (info.description, info.logfile.filepath) == ("d\\x02", "/l/task.log")
    assert (info.script.name, info.script.path) == ("run.py", "/scripts/x")
    assert qots.summary.updates == [{"passed": 2}]
    assert qots.runinfo.calls == [{"diag": "fine"}]
    assert [c.created for c in qots.children] == [
        {"sectionid": "commonSetup"},
        {"tcid": "tc1", "logfilepath": "tc1.log"},
        {"tcid": "odd", "logfilepath": ""},
        {"tcid": "pl", "logfilepath": ""},
        {"sectionid": "commonCleanup"}]
    assert [type(c) for c in qots.children] == [fakes.TestSection, fakes.TestCase, fakes.TestCase,
                                                fakes.TestCase, fakes.TestSection]


def test_testscript_optional_fields_left_alone_when_false(gen):
    qots = fakes.TestScript(None, None)
    gen._handle_testscript(qots, node(parameters={}, description="", summary={}))
    info = qots.initinfo
    assert (info.pargs, info.description, info.logfile.filepath, info.script.name) == (None,) * 4


# ---- job level -------------------------------------------------------------------------

def test_runset_copies_the_job_level(gen):
    runset = job(archivefile="a.zip", submitter="sub", user="me", host="h1", cli="run x",
                 kovrapath="/k", kovraversion="9", details=["d\x01", "e"],
                 extra={"testbed": "tb", "release": "r1", "image": "img", "other": 1})
    qots = fakes.RunSet()
    assert gen._handle_runset(qots, runset) is qots
    info = qots.initinfo
    assert (qots.starttime, qots.stoptime, qots.runtime) == (T0, T1, dt.timedelta(seconds=1))
    assert (info.jobid, info.name, qots.archivefile) == ("job1", "nightly", "a.zip")
    assert (info.testbed, info.release, info.image) == ("tb", "r1", "img")
    assert (info.submitter, info.user, list(info.hosts), info.params.cli) == ("sub", "me", ["h1"], "run x")
    assert (info.kex.path, info.kex.version) == ("/k", "9")
    assert qots.summary.updates == [{"passed": 1}]
    assert qots.runinfo.calls == [{"diag": "d\\x01"}, {"diag": "e"}]
    assert qots.vumb.calls == []
    assert qots.jobexecution.starttime == T0 and qots.jobexecution.runtime == dt.timedelta(seconds=1)


@pytest.mark.parametrize("falsy", [None, ""])
def test_runset_optional_attributes_absent_or_false_leave_defaults(gen, falsy):
    qots = fakes.RunSet()
    gen._handle_runset(qots, job(archivefile=falsy, submitter=falsy, host=falsy, stoptime=None))
    assert (qots.archivefile, qots.initinfo.submitter, list(qots.initinfo.hosts)) == (None, None, [])
    assert qots.runtime is None and qots.jobexecution.runtime is None


@pytest.mark.parametrize("vumb, expected", [
    ({}, [{}]),
    ({"cmd": "c"}, [{"post": {"cmd": "c"}}]),
    # "error" counts whether or not "cmd" is there.
    ({"error": "e"}, [{"post": {"error": "e"}}]),
    ({"status": "s", "error": "e"}, [{"post": {"status": "s", "error": "e"}}]),
    ({"dnsname": "d", "attributes": {"a": 1}, "status": "s", "cmd": "c", "error": "e", "x": 1},
     [{"dnsname": "d", "attributes": {"a": 1}, "post": {"status": "s", "cmd": "c", "error": "e"}}]),
])
def test_vumb_arguments(gen, vumb, expected):
    qots = fakes.RunSet()
    gen._handle_runset(qots, job(extra={"vumb": vumb}))
    assert qots.vumb.calls == expected


def test_jobexecution_registers_each_task_before_filling_it(gen, monkeypatch):
    seen = []

    class Spy(Ledgrin):
        def _handle_testscript(self, qots, task):
            seen.append((task.id, [id for id, _ in jobexc.scripts]))
            return super()._handle_testscript(qots, task)

    spy = Spy("/nowhere", None)
    jobexc = fakes.JobExecution()
    tasks = [node(id="t1", logfile="t1.log", summary={}), types.SimpleNamespace(
        id="t2", starttime=None, stoptime=None, summary={}, details=[], sections=[])]
    assert spy._handle_jobexecution(jobexc, job(tasks=tasks)) is jobexc
    assert seen == [("t1", ["t1"]), ("t2", ["t1", "t2"])]
    assert [s.created for _, s in jobexc.scripts] == [("t1.log", None), (None, None)]


def test_children_go_through_handlers_looked_up_on_self(gen):
    calls = []

    class Custom(Ledgrin):
        def _handle_step(self, qostep, step):
            calls.append(step.id)
            return qostep

    custom = Custom("/nowhere", None)
    custom._handle_testsection(fakes.TestSection(), node(sections=[node(id="x", sections=[node(id="y")])]))
    assert calls == ["x"]


def test_handlers_never_modify_the_report():
    from kovra.reporter.runset import RunSet
    import copy
    runset = RunSet(id="job", seq_num=1)
    runset.start(extra={"vumb": {"cmd": "c"}})
    task = runset.add_task(id="t", seq_num=1)
    task.start()
    section = task.add_section(id="s", seq_num=1)
    section.start()
    step = section.add_section(id="st", seq_num=1)
    step.start()
    step.update_extra({"index": 1, "continue_": True})
    step.stop(result=Passed)
    section.stop(result=Passed)
    task.stop()
    runset.stop(num_tasks=1)
    before = copy.deepcopy(runset.to_dict())
    gen = Ledgrin("/nowhere", runset)
    qots = fakes.RunSet()
    import legacy_fakes
    saved = ledgrin.TestScript
    ledgrin.TestScript = legacy_fakes.TestScript
    try:
        gen._handle_runset(qots, runset)
    finally:
        ledgrin.TestScript = saved
    assert runset.to_dict() == before
    assert step.extra == {"index": 1, "continue_": True}


# ---- bad input -------------------------------------------------------------------------

@pytest.mark.parametrize("bad, error", [
    (dict(type=None), AttributeError),
    (dict(xref=[1]), AttributeError),
    (dict(logs="t.log"), AttributeError),
    (dict(starttime=1, stoptime=2), AttributeError),
    (dict(details=[5]), TypeError),
    (dict(extra=None), AttributeError),
])
def test_bad_step_data_propagates_with_the_handler_named(gen, bad, error):
    section = fakes.TestSection()
    with pytest.raises(error) as info:
        # A type is read by the parent of the node that has it.
        child = node(sections=[node(**bad)]) if "type" in bad else node(**bad)
        gen._handle_testsection(section, node(sections=[child]))
    names = [entry.name for entry in info.traceback]
    assert "Ledgrin._handle_step" in names and "Ledgrin._handle_testsection" in names


@pytest.mark.parametrize("bad, error", [(dict(extra=None), TypeError), (dict(details=[b"x"]), TypeError)])
def test_bad_job_data_propagates(gen, bad, error):
    with pytest.raises(error):
        gen._handle_runset(fakes.RunSet(), job(**bad))


def test_a_child_without_id_or_type_fails_on_its_id(gen):
    bare = types.SimpleNamespace(name="n")
    for method, kind in [("_handle_testcase", fakes.TestCase), ("_handle_testsection", fakes.TestSection),
                         ("_handle_step", fakes.Step), ("_handle_subsection", fakes.SubSection)]:
        with pytest.raises(AttributeError, match="'id'"):
            getattr(gen, method)(kind(), node(sections=[bare]))
    with pytest.raises(AttributeError, match="'id'"):
        gen._handle_subsection(fakes.SubSection(), types.SimpleNamespace(starttime=None, stoptime=None))


class Failing:
    """An attribute that raises LookupError naming itself."""

    def __init__(self, name):
        self.name = name

    def __get__(self, obj, owner=None):
        raise LookupError(self.name)

    # A data descriptor, so that the legacy constructors' own assignments are ignored.
    def __set__(self, obj, value):
        pass

    def __delete__(self, obj):
        pass


def without(obj, *names):
    for name in names:
        delattr(obj, name)
    return obj


def legacy_with(kind, **failing):
    return type(kind.__name__, (kind,), {name: Failing(name) for name in failing})()


class Unprintable:
    def __str__(self):
        raise LookupError("str(result)")


class BadItems(dict):
    def items(self):
        raise LookupError("extra.items")


class BadGet(dict):
    def get(self, *args):
        raise LookupError("mapping.get")


# When both the callee (or an assignment's target) and an argument (or the value)
# fail, Python reports the error of the one it evaluates first.
@pytest.mark.parametrize("method, legacy, report, error", [
    # the callee runinfo.set_args before escape(detail)
    ("_handle_step", lambda: without(fakes.Step(), "runinfo"), node(details=[5]), "'runinfo'"),
    # add_teststep before escape(child.name)
    ("_handle_testsection", lambda: legacy_with(fakes.TestSection, add_teststep=1),
     node(sections=[node(name=5)]), "add_teststep"),
    # the callee extra.update before escape_data(node.extra)
    ("_handle_testcase", lambda: without(fakes.TestCase(), "extra"), node(extra=BadItems()), "'extra'"),
    ("_handle_step", lambda: without(fakes.Step(), "extra"), node(extra=BadItems()), "'extra'"),
    # the value str(node.result) before the target result.value
    ("_handle_commonsection", lambda: without(fakes.TestSection(), "result"), node(result=Unprintable()),
     "str\\(result\\)"),
    # the value node.id before the target initinfo.id.attrs
    ("_handle_testcase", lambda: legacy_with(fakes.TestCase, initinfo=1), without(node(), "id"), "'id'"),
    # the value xref.get("file") before the target xref.file
    ("_handle_subsection", lambda: legacy_with(fakes.SubSection, xref=1), node(xref=BadGet()), "mapping.get"),
    ("_handle_testsection", lambda: legacy_with(fakes.TestSection, logfile=1), node(logs=BadGet()),
     "mapping.get"),
    # add_commonsubsection before the child's name
    ("_handle_commonsection", lambda: legacy_with(fakes.TestSection, add_commonsubsection=1),
     node(sections=[without(node(), "name")]), "add_commonsubsection"),
])
def test_callee_and_value_are_evaluated_first(gen, method, legacy, report, error):
    with pytest.raises((AttributeError, LookupError), match=error):
        getattr(gen, method)(legacy(), report)


def test_job_level_callees_and_values_come_first(gen, monkeypatch):
    # qots.summary.update before runset.summary
    qots = fakes.RunSet()
    qots.summary = types.SimpleNamespace()
    with pytest.raises(AttributeError, match="'update'"):
        gen._handle_runset(qots, without(job(), "summary"))
    # runset.id before the target qots.initinfo
    with pytest.raises(AttributeError, match="'id'"):
        gen._handle_runset(legacy_with(fakes.RunSet, initinfo=1), without(job(), "id"))
    # self._handle_jobexecution before qots.jobexecution
    failing = type("Failing", (Ledgrin,), {"_handle_jobexecution": Failing("_handle_jobexecution")})("/", None)
    with pytest.raises(LookupError, match="_handle_jobexecution"):
        failing._handle_runset(without(fakes.RunSet(), "jobexecution"), job())
    # qojobexc.add_testscript before task.id
    with pytest.raises(AttributeError, match="'add_testscript'"):
        gen._handle_jobexecution(legacy_with(fakes.Timed), job(tasks=[without(node(), "id")]))
    # TestScript before task.logfile
    task = type("Task", (), {"logfile": Failing("logfile"), "id": "t"})()
    with global_removed(ledgrin, "TestScript"), pytest.raises(NameError, match="TestScript"):
        gen._handle_jobexecution(fakes.JobExecution(), job(tasks=[task]))


@contextlib.contextmanager
def global_removed(module, name):
    """Deletes a module global, then puts it back in its place in the module's order."""
    names = vars(module)
    order = list(names)
    value = names.pop(name)
    try:
        yield
    finally:
        names[name] = value
        for later in order[order.index(name) + 1:]:
            names[later] = names.pop(later)


def test_driver_makes_the_legacy_run_set_before_reading_qoreport(tmp_path, monkeypatch):
    fakes.install(monkeypatch, ledgrin)

    def refused():
        raise LookupError("RunSet()")

    monkeypatch.setattr(ledgrin, "RunSet", refused)
    gen = Ledgrin(str(tmp_path), job())
    del gen.qoreport
    with pytest.raises(LookupError, match="RunSet"):
        gen.generate_xml(None, None)


def test_driver_looks_open_up_before_building_the_file_path(monkeypatch):
    import builtins

    class Folder:
        def __add__(self, other):
            raise LookupError("logsdir + " + other)

    fakes.install(monkeypatch, ledgrin)
    gen = Ledgrin(Folder(), job())
    monkeypatch.delattr(builtins, "open")
    with pytest.raises(NameError, match="'open'"):
        gen.generate_xml(None, None)


def test_missing_mandatory_attribute():
    report = node()
    del report.sections
    with pytest.raises(AttributeError, match="sections"):
        Ledgrin("/", None)._handle_step(fakes.Step(), report)


def test_deep_nesting_ends_in_recursion_error(gen):
    deepest = node()
    for _ in range(5000):
        deepest = node(sections=[deepest])
    with pytest.raises(RecursionError):
        gen._handle_step(fakes.Step(), deepest)


@pytest.mark.parametrize("method", ["_handle_runset", "_handle_jobexecution", "_handle_testscript",
                                    "_handle_commonsection", "_handle_testcase", "_handle_subsection",
                                    "_handle_testsection", "_handle_step"])
def test_argument_count_errors_count_self(gen, method):
    with pytest.raises(TypeError, match=rf"^{method}\(\) takes exactly 3 positional arguments \(2 given\)$"):
        getattr(gen, method)(1)
    with pytest.raises(TypeError, match=rf"^{method}\(\) got an unexpected keyword argument 'x'$"):
        getattr(gen, method)(1, 2, x=3)
