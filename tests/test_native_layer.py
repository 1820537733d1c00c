"""What the shared native layer guarantees every module: no crash on hostile class
changes, failed start-ups or deep recursion; builtins, except blocks and with
statements as compiled code has them; functions that pickle, copy and weakref
like Python functions."""
import copy
import io
import json
import pickle
import sys
import types
import weakref

import pytest
import yaml

from kovra.reporter import explorer, ledgrin, runset
from support.startup import run_python


# --- super() along an MRO that changes during the lookup ------------------------------

def test_super_walk_survives_a_key_that_reassigns_bases_during_the_lookup(tmp_path):
    # Mid's namespace holds a key hashing like the looked-up name; its __eq__ gives
    # Sub new bases, which drops the MRO tuple being walked, and reuses the memory.
    out = run_python("""
        import io, json, yaml
        from kovra.reporter import runset

        def hostile(cls, mixin_base, name):
            state = {"armed": False}
            class Key:
                def __hash__(self):
                    return hash(name)
                def __eq__(self, other):
                    if state["armed"]:
                        state["armed"] = False
                        size = len(Sub.__mro__)
                        Sub.__bases__ = (cls,)
                        state["junk"] = [tuple([12345678] * size) for _ in range(8)]
                    return False
            Mid = type("Mid", (mixin_base,), {Key(): 1})
            Sub = type("Sub", (cls, Mid), {})
            return Sub, state

        Sub, state = hostile(runset.RunSet, runset.ReportObjectBase, "__init__")
        state["armed"] = True
        node = Sub(id="x", seq_num=1)
        print("init", node.id, node.tasks, [c.__name__ for c in Sub.__mro__])

        Sub, state = hostile(runset.JSONDumper, json.JSONEncoder, "default")
        state["armed"] = True
        try:
            Sub().default(object())
        except TypeError as exc:
            print("default", exc)

        Sub, state = hostile(runset.YAMLDumper, yaml.SafeDumper, "increase_indent")
        dumper = Sub(io.StringIO())
        state["armed"] = True
        print("indent", dumper.increase_indent(), dumper.indent)
    """, tmp_path)
    assert out == [
        "init x [] ['Sub', 'RunSet', 'ReportObjectBase', 'object']",
        "default Object of type object is not JSON serializable",
        "indent None 0",
    ]


def test_super_finds_the_next_class_after_the_caller_in_the_instance_mro():
    calls = []

    class Mixin(runset.ReportObjectBase):
        def __init__(self, **kw):
            calls.append("mixin")
            super().__init__(**kw)

    class Job(runset.RunSet, Mixin):
        pass

    job = Job(id="j", seq_num=0)
    assert calls == ["mixin"] and job.id == "j" and job.tasks == []


# --- what a failed start-up leaves behind ---------------------------------------------

def test_classes_of_a_failed_start_up_refuse_to_run_and_a_retry_works(tmp_path):
    out = run_python("""
        import gc, yaml
        real = yaml.SafeDumper.add_representer
        def refuse(*args):
            raise RuntimeError("no representers today")
        yaml.SafeDumper.add_representer = refuse
        try:
            import kovra.reporter.runset
        except RuntimeError as exc:
            print("import:", exc)
        yaml.SafeDumper.add_representer = real

        def left_over(name):
            return [o for o in gc.get_objects()
                    if isinstance(o, type) and o.__module__ == "kovra.reporter.runset" and o.__name__ == name]
        Section, = left_over("Section")
        RunSet, = left_over("RunSet")
        for call in (lambda: Section(id="a", seq_num=1),
                     lambda: object.__new__(Section).start(),
                     lambda: object.__new__(RunSet).roll_up(),
                     lambda: RunSet.to_yaml(None, None)):
            try:
                call()
            except ImportError as exc:
                print(type(exc).__name__, exc)

        import kovra.reporter.runset as runset
        node = runset.Section(id="b", seq_num=2)
        node.start()
        print("retry:", node.id, node.starttime is not None)
        try:
            object.__new__(Section).stop()
        except ImportError as exc:
            print("old class after the retry:", exc)
        del Section, RunSet
        gc.collect()
        print("collected")
    """, tmp_path)
    assert out == [
        "import: no representers today",
        "ImportError Section.__init__ cannot run: module 'kovra.reporter.runset' did not finish its start-up",
        "ImportError Section.start cannot run: module 'kovra.reporter.runset' did not finish its start-up",
        "ImportError RunSet.roll_up cannot run: module 'kovra.reporter.runset' did not finish its start-up",
        "ImportError ReportObjectBase.to_yaml cannot run: module 'kovra.reporter.runset' did not finish its start-up",
        "retry: b True",
        "old class after the retry: Section.stop cannot run: module 'kovra.reporter.runset' did not finish "
        "its start-up",
        "collected",
    ]


def test_a_failed_start_up_drops_its_names_and_a_retry_makes_them_again(tmp_path):
    # "/ResultsDetails.xml" is held by ledgrin's name table alone: the count of the
    # interned twin shows whether the table holds it (interned strings are immortal,
    # and the counts say nothing, on 3.12 only).
    out = run_python("""
        import os, sys, tempfile
        name = sys.intern("".join(["/ResultsDetails", ".xml"]))
        before = sys.getrefcount(name)
        import kovra.qoreport.testscript
        real = sys.modules["kovra.qoreport.testscript"]
        sys.modules["kovra.qoreport.testscript"] = None
        for attempt in range(3):
            try:
                import kovra.reporter.ledgrin
            except ImportError as exc:
                print("failed:", sys.getrefcount(name) - before)
        sys.modules["kovra.qoreport.testscript"] = real
        from kovra.reporter import ledgrin, runset
        print("imported:", sys.getrefcount(name) - before)
        folder = tempfile.mkdtemp()
        job = runset.RunSet(id="j", seq_num=0)
        job.start()
        job.stop()
        ledgrin.Ledgrin(folder, job).generate_xml(None, None)
        print(sorted(os.listdir(folder)))
    """, tmp_path)
    immortal = sys.version_info[:2] == (3, 12)
    assert out == ["failed: 0"] * 3 + ["imported: %d" % (0 if immortal else 1),
                                       str(["ResultsDetails.xml", "ResultsSummary.xml"])]


# --- deep native recursion under a raised limit ---------------------------------------

DEEP_WALKS = """
    import sys, threading, types
    sys.setrecursionlimit(10**6)
    from kovra.reporter import runset, ledgrin
    from kovra.results import Passed
    STACK = STACK_SIZE
    DEPTH = 20000 if STACK else 100000

    job = runset.RunSet(id="job", seq_num=0)
    top = node = job.add_task(id="t", seq_num=0).add_section(id="s", seq_num=0)
    for i in range(DEPTH):
        node = node.add_section(id="s", seq_num=i)
    node.result = Passed
    deepest = node

    def nested():
        # Nested through extra, so that each level's own form stays small.
        node = runset.Section(id="leaf", seq_num=0)
        for i in range(DEPTH // 4):
            parent = runset.Section(id="n", seq_num=i)
            parent.extra["child"] = node
            node = parent
        return node

    data = "leaf"
    for _ in range(DEPTH):
        data = [data]

    class Legacy:
        def __init__(self, **created):
            self.starttime = self.stoptime = self.runtime = self.description = None
            self.xref = types.SimpleNamespace(file=None, line=None)
            self.logfile = types.SimpleNamespace(filepath=None, attrs={})
            self.result = types.SimpleNamespace(value=None)
            self.runinfo = types.SimpleNamespace(set_args=lambda **kw: None)
            self.extra = {}
        def add_teststep(self, id, name):
            return Legacy()

    walks = {
        "fullid": lambda: deepest.fullid,
        "handlers": lambda: ledgrin.Ledgrin("/nowhere", None)._handle_step(Legacy(), top),
        "roll-up": lambda: deepest.stop(),
        "dump_json": lambda: nested().dump_json(),
        "dump_yaml": lambda: nested().dump_yaml(),
        "escape_data": lambda: ledgrin.escape_data(data),
    }

    def run(name):
        try:
            walks[name]()
            print(name, "finished")
        except RecursionError:
            print(name, "RecursionError")

    if STACK:
        threading.stack_size(STACK)
        thread = threading.Thread(target=lambda: [run(name) for name in walks])
        thread.start()
        thread.join()
    else:
        # The dumps' levels cost more: the small stack of the thread case shows them.
        for name in walks:
            if not name.startswith("dump"):
                run(name)
"""


@pytest.mark.parametrize("stack", [0, 1 << 20], ids=["main-thread", "1MiB-thread"])
def test_deep_native_recursion_ends_in_recursion_error_whatever_the_limit(tmp_path, stack):
    out = run_python(DEEP_WALKS.replace("STACK_SIZE", str(stack)), tmp_path)
    walks = ["fullid", "handlers", "roll-up", "dump_json", "dump_yaml", "escape_data"]
    assert out == [f"{name} RecursionError" for name in walks if stack or not name.startswith("dump")]


def test_moderate_depth_still_works_under_the_default_limit():
    job = runset.RunSet(id="job", seq_num=0)
    node = job.add_task(id="t", seq_num=0)
    for i in range(200):
        node = node.add_section(id="s", seq_num=i)
    assert len(node.idlist) == 201
    data = "leaf"
    for _ in range(200):
        data = [data]
    assert ledgrin.escape_data(data) == data


# --- builtins are the module's own ------------------------------------------------------

def test_builtins_come_from_the_module_not_from_the_calling_frame(tmp_path):
    job = runset.RunSet(id="job", seq_num=0)
    job.start()
    job.stop()
    opened = []

    def spy_open(*args):
        opened.append(args)
        raise AssertionError("the caller's open was used")

    generator = ledgrin.Ledgrin(str(tmp_path), job)
    for caller_builtins in ({"open": spy_open}, {}):
        exec("generate(None, None)", {"__builtins__": caller_builtins, "generate": generator.generate_xml})
    assert opened == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ResultsDetails.xml", "ResultsSummary.xml"]


# --- except blocks and with statements, against their Python spelling ----------------

class Events:
    """Context managers of many shapes, handed out by a fake open; records what ran."""

    def __init__(self, kind, fail_details=True):
        self.kind, self.fail_details, self.log = kind, fail_details, []

    def open(self, path, mode):
        name = path.rsplit("/", 1)[-1]
        self.log.append(("open", name, mode))
        if name == "ResultsSummary.xml":
            raise LookupError("summary reached")
        return self.manager(name)

    def manager(self, name):
        log, kind, fail = self.log, self.kind, self.fail_details

        class Stream:
            def write(self, data):
                log.append(("write", name))
                if fail:
                    raise OSError("disk full: " + name)

        def enter(self):
            log.append(("enter", name))
            return Stream()

        def exit_(self, *exc):
            log.append(("exit", name, exc[0] and exc[0].__name__, exc[1] is not None, exc[2] is not None))
            return kind == "suppressing"

        def raising(self, *args):
            log.append(("raising", name))
            raise KeyError("from " + name)

        def bad_property(self):
            raise ValueError("property of " + name)

        def bad_enter_property(self):
            log.append(("enter property", name))
            raise LookupError("enter property of " + name)

        async def aenter(self):
            pass

        async def aexit(self, *exc):
            pass

        shapes = {
            "ordinary": {"__enter__": enter, "__exit__": exit_},
            "suppressing": {"__enter__": enter, "__exit__": exit_},
            "enter-only": {"__enter__": enter},
            "exit-only": {"__exit__": exit_},
            "enter-raises": {"__enter__": raising, "__exit__": exit_},
            "exit-raises": {"__enter__": enter, "__exit__": raising},
            "exit-property-raises": {"__enter__": enter, "__exit__": property(bad_property)},
            "static-enter": {"__enter__": staticmethod(lambda: Stream()), "__exit__": exit_},
            # Which of the two is looked up first shows.
            "both-properties-raise": {"__enter__": property(bad_enter_property), "__exit__": property(bad_property)},
            # Hints at `async with` on 3.14+ when both asynchronous methods are there.
            "asynchronous": {"__aenter__": aenter, "__aexit__": aexit},
            "asynchronous-enter-only": {"__enter__": enter, "__aenter__": aenter, "__aexit__": aexit},
            "asynchronous-none": {"__aenter__": None, "__aexit__": aexit},
        }
        if kind == "instance-only":
            manager = types.SimpleNamespace()
            manager.__enter__ = lambda: enter(None)
            manager.__exit__ = lambda *exc: exit_(None, *exc)
            return manager
        if kind == "not-a-manager":
            return 42
        return type("Manager", (), shapes[kind])()


def reference_write(events, logsdir, rough, report):
    """What generate_xml's file writing reads as in Python."""
    try:
        with events.open(logsdir + "/ResultsDetails.xml", "w") as stream:
            stream.write(report)
    except Exception:
        with events.open(logsdir + "/xml_rough_string", "wb") as stream:
            stream.write(rough)
        raise
    events.open(logsdir + "/ResultsSummary.xml", "w")


def chain(error):
    """The __context__ chain as (type, text) pairs; a cycle ends it with 'CYCLE'."""
    seen, links = set(), []
    while error is not None:
        if id(error) in seen:
            links.append("CYCLE")
            break
        seen.add(id(error))
        links.append((type(error).__name__, str(error)))
        error = error.__context__
    return links


def native_and_reference(monkeypatch, tmp_path, make_events):
    job = runset.RunSet(id="job", seq_num=0)
    native, reference = make_events(), make_events()
    monkeypatch.setattr(ledgrin, "open", native.open, raising=False)
    with pytest.raises(BaseException) as caught:
        ledgrin.Ledgrin(str(tmp_path), job).generate_xml(None, None)
    with pytest.raises(BaseException) as expected:
        reference_write(reference, str(tmp_path), b"rough", "report")
    return (native.log, chain(caught.value)), (reference.log, chain(expected.value))


@pytest.mark.parametrize("kind", ["ordinary", "suppressing", "instance-only", "enter-only", "exit-only",
                                  "enter-raises", "exit-raises", "exit-property-raises", "static-enter",
                                  "not-a-manager", "both-properties-raise", "asynchronous",
                                  "asynchronous-enter-only", "asynchronous-none"])
def test_with_statement_emulation_matches_the_statement(monkeypatch, tmp_path, kind):
    native, reference = native_and_reference(monkeypatch, tmp_path, lambda: Events(kind))
    assert native == reference


def test_errors_raised_while_handling_keep_their_chain_and_cut_cycles(monkeypatch, tmp_path):
    class Chained(Events):
        def __init__(self):
            super().__init__("ordinary")
            self.earlier = KeyError("earlier")
            self.handled = []

        def open(self, path, mode):
            if mode == "w" and path.endswith("ResultsDetails.xml"):
                # The details error carries a context of its own.
                try:
                    raise self.earlier
                except KeyError:
                    raise OSError("details")
            if mode == "wb":
                self.handled.append(chain(sys.exc_info()[1]))
                try:
                    raise IndexError("middle")
                except IndexError:
                    raise ValueError("rough")
            return super().open(path, mode)

    class Cyclic(Chained):
        def open(self, path, mode):
            if mode == "wb":
                raise self.earlier  # already in the handled error's chain
            return super().open(path, mode)

    native, reference = native_and_reference(monkeypatch, tmp_path, Chained)
    assert native == reference
    assert native[1] == [("ValueError", "rough"), ("IndexError", "middle"), ("OSError", "details"),
                         ("KeyError", "'earlier'")]
    native, reference = native_and_reference(monkeypatch, tmp_path, Cyclic)
    assert native == reference
    assert native[1] == [("KeyError", "'earlier'"), ("OSError", "details")]


def test_code_run_in_an_except_block_sees_the_handled_error(monkeypatch, tmp_path):
    seen = []

    class Seeing(Events):
        def open(self, path, mode):
            if mode == "wb":
                seen.append(sys.exc_info()[1])
            return super().open(path, mode)

    native_and_reference(monkeypatch, tmp_path, lambda: Seeing("ordinary"))
    assert [str(error) for error in seen] == ["disk full: ResultsDetails.xml"] * 2
    assert sys.exc_info() == (None, None, None)


# --- native functions as Python functions ---------------------------------------------

FUNCTIONS = [
    ("ledgrin.escape", ledgrin.escape),
    ("ledgrin._escape_repl", ledgrin._escape_repl),
    ("ledgrin.Ledgrin.generate_xml", ledgrin.Ledgrin.generate_xml),
    ("runset.str_representer", runset.str_representer),
    ("runset.RunSet.add_task", runset.RunSet.add_task),
    ("runset.ReportObjectBase.start", runset.ReportObjectBase.start),
    ("runset.JSONDumper.default", runset.JSONDumper.default),
    ("explorer.Explorer.__getattr__", explorer.Explorer.__getattr__),
    ("explorer.ExplorerSections.__iter__", explorer.ExplorerSections.__iter__),
]


@pytest.mark.parametrize("label, function", FUNCTIONS, ids=[label for label, _ in FUNCTIONS])
def test_functions_pickle_by_name_copy_to_themselves_and_take_weak_references(label, function):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function
    ref = weakref.ref(function)
    assert ref() is function
    assert function in weakref.WeakSet([function])


def test_containers_of_functions_deep_copy_and_pickle():
    handlers = {"escape": ledgrin.escape, "nested": [runset.RunSet.stop, (ledgrin.escape_data,)]}
    assert copy.deepcopy(handlers) == handlers
    assert copy.deepcopy(handlers)["nested"][0] is runset.RunSet.stop
    assert pickle.loads(pickle.dumps(handlers)) == handlers


def test_a_function_its_name_does_not_lead_to_refuses_to_pickle_as_a_python_one_does():
    # A property's getter is not what its qualified name gives.
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(runset.ReportObjectBase.fullid.fget)
