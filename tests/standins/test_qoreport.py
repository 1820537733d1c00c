import datetime as dt
import sys
import xml.etree.ElementTree as ET
from xml.dom import minidom

import pytest

from kovra.qoreport.runset import RunSet
from kovra.qoreport.testscript import TestScript as Script  # aliased so pytest does not collect it
from kovra.qoreport.toplevel.qoreport_top import QOReport
from kovra.results import ResultCounter

T0 = dt.datetime(2024, 5, 6, 10, 0, 0, 900000)
T1 = dt.datetime(2024, 5, 6, 10, 0, 3, 100000)


class Opaque:
    def __str__(self):
        return "<opaque>"


def timed(obj, start=T0, stop=T1):
    # As the handlers do: both ends cut to whole seconds.
    obj.starttime, obj.stoptime = start, stop
    obj.runtime = stop.replace(microsecond=0) - start.replace(microsecond=0)
    return obj


def located(obj, xref, logfile, line=-1):
    xref.file, xref.line = "t.py", line
    logfile.filepath = "/logs/t.log"
    logfile.attrs["begin"], logfile.attrs["size"] = 10, -1
    return obj


def build_report():
    rs = RunSet()
    timed(rs)
    rs.archivefile = "job.zip"
    info = rs.initinfo
    info.jobid, info.name, info.testbed, info.image = 7, "nightly", "tb1", ""
    info.hosts.append("lab-1")
    info.params.cli, info.kex.path, info.kex.version = "kovra run j.py", "/opt/k", "1.2"
    counter = ResultCounter()
    counter["passed"], counter["failed"] = 2, 1
    rs.summary.update(counter)
    rs.runinfo.set_args(diag="first")
    rs.runinfo.set_args(diag="a & <b>")
    rs.vumb.set_args(dnsname="vumb.lab", post={"cmd": "close"})
    timed(rs.jobexecution)

    ts = Script("/logs/t1.log", None)
    rs.jobexecution.add_testscript(ts, "t1")
    timed(ts)
    ts.initinfo.pargs = "{'a': 1}"
    ts.summary.update({"passed": 2, "total": 99, "success_rate": 50.0})
    setup = ts.add_testsection(sectionid="commonSetup")
    located(setup, setup.xref, setup.logfile)
    sub = setup.add_commonsubsection(name="connect")
    sub.id.attrs["name"], sub.id.idtypevalue = "p1 load", "p1 load"
    tc = ts.add_testcase(tcid="tc1", logfilepath="")
    timed(tc)
    tc.initinfo.id.attrs["name"], tc.initinfo.id.idtypevalue = "tc1", "tc1"
    tc.initinfo.swversion = tc.initinfo.hwversion = tc.initinfo.fwversion = tc.initinfo.tstversion = "None"
    located(tc, tc.initinfo.xref, tc.initinfo.logfile, line=42)
    tc.result.value = "failed"
    tc.runinfo.set_args(diag="boom")
    tc.extra.update({"description": "tabs\tand\nlines",
                     "data": {"list": [1, None, (2.5, b"raw")], 3: True, "obj": Opaque()}})
    ts.add_testsection(sectionid="commonCleanup")

    step = tc.add_testsection(sectionid="test").add_teststep(id="s1", name="one")
    step.index, step.continue_, step.description = 0, False, ""
    for depth in (2, 3):
        step = step.add_teststep(id="s%d" % depth, name="level %d" % depth)
    timed(step)
    rs.jobexecution.add_testscript(Script(None, None), 2)
    report = QOReport()
    report.runset = rs
    return report


def reparse(elt):
    return minidom.parseString(ET.tostring(elt, encoding="utf-8")).documentElement


def kids(node, tag=None):
    return [c for c in node.childNodes if c.nodeType == c.ELEMENT_NODE and tag in (None, c.tagName)]


def only(node, tag):
    (child,) = kids(node, tag)
    return child


def text(node):
    return "".join(c.data for c in node.childNodes if c.nodeType == c.TEXT_NODE)


def attrs(node):
    return dict(node.attributes.items())


def decode(item):
    """The data an <item> holds, back as Python values (scalars as their text)."""
    kind = item.getAttribute("type")
    if kind == "dict":
        return {c.getAttribute("key"): decode(c) for c in kids(item)}
    if kind in ("list", "tuple"):
        return [decode(c) for c in kids(item)]
    return None if kind == "none" else text(item)


def test_details_tree():
    root = reparse(build_report().generate_dom())
    assert root.tagName == "qoReport"
    rs = only(root, "runSet")
    times = {"starttime": "2024-05-06T10:00:00.900000",
             "stoptime": "2024-05-06T10:00:03.100000", "runtime": "3"}
    assert attrs(rs) == dict(times, archiveFilename="job.zip")
    info = only(rs, "initInfo")
    assert attrs(info) == {"jobId": "7", "name": "nightly", "testbed": "tb1", "image": ""}
    assert [text(h) for h in kids(info, "host")] == ["lab-1"]
    assert attrs(only(info, "kex")) == {"path": "/opt/k", "version": "1.2"}
    assert attrs(only(info, "params")) == {"cli": "kovra run j.py"}
    assert [(c.tagName, text(c)) for c in kids(only(rs, "summary"))][-3:] == [
        ("skipped", "0"), ("total", "3"), ("successRate", "66.67")]
    assert [text(d) for d in kids(only(rs, "runInfo"), "diag")] == ["first", "a & <b>"]
    assert {i.getAttribute("key"): decode(i) for i in kids(only(rs, "vumb"))} == {
        "dnsname": "vumb.lab", "post": {"cmd": "close"}}

    job = only(rs, "jobExecution")
    assert attrs(job) == times
    script, bare = kids(job)
    assert (attrs(script), attrs(bare)) == (dict(times, id="t1"), {"id": "2"})
    assert text(only(only(script, "initInfo"), "pargs")) == "{'a': 1}"
    summary = {c.tagName: text(c) for c in kids(only(script, "summary"))}
    assert (summary["passed"], summary["total"], summary["successRate"]) == ("2", "2", "50.0")
    # Kinds interleave in the order they were added.
    assert [(c.tagName, c.getAttribute("sectionId") or c.getAttribute("tcId"))
            for c in kids(script)[3:]] == [("testSection", "commonSetup"), ("testCase", "tc1"),
                                           ("testSection", "commonCleanup")]

    setup = kids(script, "testSection")[0]
    assert attrs(only(setup, "xref")) == {"file": "t.py", "line": "-1"}
    assert attrs(only(setup, "logFile")) == {"filePath": "/logs/t.log", "begin": "10", "size": "-1"}
    sub = only(setup, "commonSubSection")
    assert (sub.getAttribute("name"), attrs(only(sub, "id")), text(only(sub, "id"))) == (
        "connect", {"name": "p1 load"}, "p1 load")

    tc = only(script, "testCase")
    tcinfo = only(tc, "initInfo")
    assert attrs(tcinfo) == dict.fromkeys(["swVersion", "hwVersion", "fwVersion", "tstVersion"], "None")
    assert attrs(only(tcinfo, "xref"))["line"] == "42"
    assert (attrs(only(tc, "result")), text(only(only(tc, "runInfo"), "diag"))) == ({"value": "failed"}, "boom")
    assert {i.getAttribute("key"): decode(i) for i in kids(only(tc, "extra"))} == {
        "description": "tabs\tand\nlines",
        "data": {"list": ["1", None, ["2.5", "b'raw'"]], "3": "True", "obj": "<opaque>"}}

    step = only(only(tc, "testSection"), "testStep")
    assert attrs(step) == {"id": "s1", "name": "one", "index": "0", "continue": "False"}
    assert text(only(step, "description")) == ""
    deepest = only(only(step, "testStep"), "testStep")
    assert attrs(deepest) == dict(times, id="s3", name="level 3")
    assert (kids(deepest, "testStep"), kids(deepest, "description")) == ([], [])


def test_report_without_runset():
    assert ET.tostring(QOReport().generate_dom(), encoding="unicode") == "<qoReport />"


def test_steps_nest_deeper_than_the_recursion_limit():
    step = RunSet().jobexecution.add_testscript(Script(None, None), 1) \
        .add_testcase(tcid=1).add_testsection(sectionid=1).add_teststep(id=0, name="s")
    top, depth = step, sys.getrecursionlimit() + 100
    for i in range(1, depth):
        step = step.add_teststep(i, "s")
    elt, seen = top.generate_dom(ET.Element("p")), 0
    while elt is not None:
        seen, elt = seen + 1, elt.find("testStep")
    assert seen == depth


@pytest.mark.parametrize("value, expected", [
    (None, None), ("as is", "as is"), (T0, "2024-05-06T10:00:00.900000"),
    (dt.timedelta(minutes=2, seconds=5), "125"), (dt.timedelta(days=1), "86400"), (17, "17")])
def test_simple_elt_dom(value, expected):
    rs = RunSet()
    parent = ET.Element("jobSummary")
    rs.runtime = rs.initinfo.testbed = value
    rs.generate_simple_elt_dom(parent, "runtime")
    rs.initinfo.generate_simple_elt_dom(parent, "testbed")
    assert [(c.tag, c.text) for c in parent] == [("runtime", expected), ("testbed", expected)]
    ET.tostring(parent)
    with pytest.raises(AttributeError):
        rs.generate_simple_elt_dom(parent, "nosuch")


@pytest.mark.parametrize("counts", [{"failed": 1, "custom": 2, "passed": 3},
                                    {"passed": 3, "total": 50, "custom": 2, "failed": 1}])
def test_resultsonly_dom(counts):
    rs = RunSet()
    rs.summary.update(counts)
    parent = ET.Element("jobSummary")
    rs.summary.generate_resultsonly_dom(parent)
    assert [(c.tag, c.get("name"), c.text) for c in parent] == [
        ("passed", None, "3"), ("passx", None, "0"), ("failed", None, "1"), ("errored", None, "0"),
        ("aborted", None, "0"), ("blocked", None, "0"), ("skipped", None, "0"),
        ("otherResult", "custom", "2"), ("total", None, "6")]


def test_hosts_dom():
    hosts = RunSet().initinfo.hosts
    parent = ET.Element("jobSummary")
    hosts.generate_dom(parent)
    assert len(hosts) == 0 and len(parent) == 0
    hosts.append("h1")
    hosts.append(2)
    hosts.generate_dom(parent)
    assert [(c.tag, c.text) for c in parent] == [("host", "h1"), ("host", "2")]


def test_defaults_and_factory_arguments():
    rs = RunSet()
    ts = Script(None, "/srv/tests/job.py")
    tc = ts.add_testcase("tc", "/l.log")
    sub = ts.add_testsection("commonSetup").add_commonsubsection("c")
    step = sub.add_teststep("s", "n")
    info = rs.initinfo
    assert (ts.initinfo.script.name, ts.initinfo.script.path, tc.initinfo.logfile.filepath) == (
        "job.py", "/srv/tests", "/l.log")
    for obj in (rs, rs.jobexecution, ts, tc, sub, step):
        assert (obj.starttime, obj.stoptime, obj.runtime) == (None, None, None)
    assert [rs.archivefile, info.jobid, info.name, info.testbed, info.release, info.image,
            info.submitter, info.user, info.params.cli, info.kex.path, info.kex.version,
            step.description, step.index, step.continue_, sub.description, sub.id.idtypevalue,
            tc.result.value, tc.initinfo.xref.line, step.xref.file] == [None] * 19
    assert (step.extra, step.logfile.attrs, tc.initinfo.id.attrs, len(info.hosts)) == ({}, {}, {}, 0)
    for factory, kwargs in [(ts.add_testcase, {"id": 1}), (ts.add_testsection, {"name": 1}),
                            (step.add_teststep, {"id": 1, "name": 2, "x": 3}),
                            (rs.runinfo.set_args, {"diags": "x"})]:
        with pytest.raises(TypeError):
            factory(**kwargs)
