"""Leak scenarios for kovra.reporter.ledgrin (see refleak.py)."""
import datetime as dt
import os
import tempfile
import types
import xml.etree.ElementTree as ET

from kovra.reporter import ledgrin
from kovra.reporter.ledgrin import Ledgrin, escape, escape_data
from kovra.reporter.runset import RunSet
from kovra.results import Failed, Passed

_DIR = tempfile.mkdtemp(prefix="kovra-leak-ledgrin-")
_MISSING = os.path.join(_DIR, "missing", "dir")
_T0 = dt.datetime(2026, 1, 1, 10, 0, 0, 900000)


def escape_texts():
    escape("plain text")
    escape("ctrl \x01\x0b\x1b \ud800 \ufffe é \U0001F600")
    escape(str.__new__(type("Text", (str,), {}), "sub\x02"))
    ledgrin._escape_repl(ledgrin.ESCAPE_SEQUENCE.search("\x07"))


def escape_data_nested():
    escape_data({"k\x01": [("v\x02", 5, None), {"x": b"\x01"}], "s": {"a"}})


def error_escape_non_text():
    for bad in (b"\x01", 5):
        try:
            escape(bad)
        except TypeError:
            pass


def error_escape_data_self_containing():
    loop = []
    loop.append(loop)
    try:
        escape_data(loop)
    except RecursionError:
        pass
    loop.clear()


def error_escape_data_dict_changes():
    data = {"a": 1}
    saved = ledgrin.escape

    def grow(text):
        data["b"] = 2
        return text

    ledgrin.escape = grow
    try:
        escape_data(data)
    except RuntimeError:
        pass
    finally:
        ledgrin.escape = saved


def error_escape_data_keys_changed():
    data = {"a": 1}
    saved = ledgrin.escape

    def swap(text):
        if "a" in data:
            del data["a"]
            data["b"] = 2
        return text

    ledgrin.escape = swap
    try:
        escape_data(data)
    except RuntimeError:
        pass
    finally:
        ledgrin.escape = saved


class _Group:
    def __init__(self, matched):
        self.matched = matched

    def group(self, number):
        return self.matched


def escape_repl_bytes_and_refusals():
    for matched in (b"\x01", bytearray(b"\x1b"), "\u0100"):
        ledgrin._escape_repl(_Group(matched))
    for matched in (b"ab", bytearray(), 7):
        try:
            ledgrin._escape_repl(_Group(matched))
        except TypeError:
            pass


def escape_data_replaced_during_the_walk():
    saved_escape, saved_data = ledgrin.escape, ledgrin.escape_data

    def replace(text):
        ledgrin.escape_data = lambda item: item
        return text

    ledgrin.escape = replace
    try:
        saved_data({"a": ["b", ("c",)], "d": "e"})
    finally:
        ledgrin.escape, ledgrin.escape_data = saved_escape, saved_data


class _Refused:
    def __get__(self, obj, owner=None):
        raise LookupError("refused")

    def __set__(self, obj, value):
        pass


class _LegacyStep:
    def __init__(self, refused=()):
        self.xref, self.result = types.SimpleNamespace(), types.SimpleNamespace()
        self.logfile = types.SimpleNamespace(attrs={})
        self.runinfo, self.extra = types.SimpleNamespace(set_args=lambda **kw: None), {}
        for name in refused:
            setattr(type(self), name, _Refused())


def error_callee_before_arguments():
    gen = Ledgrin(_DIR, None)
    calls = [
        (("runinfo",), dict(details=[5])),
        (("add_teststep",), dict(sections=[types.SimpleNamespace(id="c", type="Step", name=5)])),
        ((), dict(sections=[types.SimpleNamespace(name="no id")])),
    ]
    for refused, attrs in calls:
        legacy = type("Legacy", (_LegacyStep,), {})(refused)
        node = dict(starttime=None, stoptime=None, details=[], extra={}, sections=[], xref={"file": "f"})
        node.update(attrs)
        try:
            gen._handle_step(legacy, types.SimpleNamespace(**node))
        except (LookupError, AttributeError):
            pass


def _job():
    job = RunSet(id="job", seq_num=0)
    job.start(host="h", testbed="tb", vumb={"cmd": "c", "dnsname": "d"})
    job.add_detail("detail \x0c")
    task = job.add_task(id="t", seq_num=1)
    task.start(testscript="/s/t.py", description="d\x01", parameters={"p": 1})
    setup = task.add_section(id="cs", seq_num=0, type="CommonSetup")
    setup.start()
    sub = setup.add_section(id="sub", seq_num=0)
    sub.start()
    sub.stop(result=Passed)
    setup.stop(result=Passed)
    case = task.add_section(id="tc", seq_num=1)
    case.start(xref={"file": "f", "line": 1})
    proc = case.add_section(id="p", seq_num=0, type="LoadProcessor")
    proc.start()
    step = proc.add_section(id="s", seq_num=0)
    step.start(description="step")
    step.update_extra({"index": 1, "continue_": True, "k": "v\x01"})
    step.stop(result=Failed)
    proc.stop(result=Failed)
    case.stop(result=Failed)
    task.stop()
    job.stop(num_tasks=1)
    return job


def generate_whole_job():
    Ledgrin(_DIR, _job()).generate_xml(None, None)


def error_unescaped_text_dumps_rough_string():
    job = _job()
    job.tasks[0].sections[1].sections[0].sections[0].description = "bad \x01"
    try:
        Ledgrin(_DIR, job).generate_xml(None, None)
    except Exception:
        pass


def error_missing_logsdir():
    try:
        Ledgrin(_MISSING, _job()).generate_xml(None, None)
    except FileNotFoundError:
        pass


def error_bad_report_data():
    job = _job()
    job.tasks[0].sections[1].sections[0].sections[0].xref = ["not a mapping"]
    try:
        Ledgrin(_DIR, job).generate_xml(None, None)
    except AttributeError:
        pass
    plain = types.SimpleNamespace(starttime=_T0, stoptime=None, id="j", name="n", extra=None)
    try:
        Ledgrin(_DIR, plain).generate_xml(None, None)
    except TypeError:
        pass


def _tree(text, attribute="v \"q\" \t\r\n & <x>", child=ET.Element):
    root = ET.Element("report", {"job": attribute})
    ET.SubElement(root, "script", id="t1").text = text
    root[0].tail = "tail\r\n"
    root.append(child("leaf"))
    return root


def _generate_with(dom):
    gen = Ledgrin(_DIR, _job())
    gen.qoreport.generate_dom = lambda: dom
    try:
        gen.generate_xml(None, None)
    except Exception:
        pass


def render_natively_and_step_aside():
    _generate_with(_tree("text & <b> \u00e9 \U0001F600 ]]>"))
    _generate_with(_tree("deep"))
    _generate_with(_tree("subclass", child=type("Sub", (ET.Element,), {})))
    deep = elt = ET.Element("a")
    for _ in range(2000):
        elt = ET.SubElement(elt, "a")
    _generate_with(deep)


def error_render_refused_values():
    _generate_with(_tree("bad \x01"))
    _generate_with(_tree("ok", attribute=5))
    _generate_with(_tree("\ud800"))
    comment = _tree("ok")
    comment.append(ET.Comment("c"))
    _generate_with(comment)


def error_render_write_fails():
    gen = Ledgrin(_MISSING, _job())
    gen.qoreport.generate_dom = lambda: _tree("text")
    try:
        gen.generate_xml(None, None)
    except FileNotFoundError:
        pass


def error_argument_counts():
    gen = Ledgrin(_DIR, None)
    for call in (lambda: gen.generate_xml(), lambda: gen._handle_step(1, 2, 3), lambda: escape(),
                 lambda: escape_data(x=1)):
        try:
            call()
        except TypeError:
            pass


SCENARIOS = [
    escape_texts,
    escape_data_nested,
    error_escape_non_text,
    error_escape_data_self_containing,
    error_escape_data_dict_changes,
    generate_whole_job,
    error_unescaped_text_dumps_rough_string,
    error_missing_logsdir,
    error_bad_report_data,
    render_natively_and_step_aside,
    error_render_refused_values,
    error_render_write_fails,
    error_argument_counts,
    error_escape_data_keys_changed,
    escape_repl_bytes_and_refusals,
    escape_data_replaced_during_the_walk,
    error_callee_before_arguments,
]
