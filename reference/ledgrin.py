"""Plain-Python reference of kovra.reporter.ledgrin: the same escaping, driver
and handlers, written as straightforward Python. The benchmark times the
native module against it, and tests/ledgrin/test_ledgrin_differential.py
checks that both write the same files."""
import os
import re
import xml.etree.ElementTree as ET
from xml.dom import minidom

from kovra import configuration as cfg  # noqa: F401
from kovra.qoreport.runset import RunSet
from kovra.qoreport.testscript import TestScript
from kovra.qoreport.toplevel.qoreport_top import QOReport
from kovra.results import Passed  # noqa: F401

ESCAPE_SEQUENCE = re.compile("[\\x00-\\x08\\x0b\\x0c\\x0e-\\x1f\\ufffe\\uffff]")


def _escape_repl(match):
    code = ord(match.group(0))
    return ("\\x{:>02x}" if code < 0x100 else "\\u{:>04x}").format(code)


def escape(string):
    string = ESCAPE_SEQUENCE.sub(_escape_repl, string)
    return string.encode("utf-8", "backslashreplace").decode("utf-8")


def escape_data(data):
    if isinstance(data, str):
        return escape(data)
    if isinstance(data, list):
        return [escape_data(x) for x in data]
    if isinstance(data, dict):
        return {escape_data(k): escape_data(v) for k, v in data.items()}
    if isinstance(data, tuple):
        return tuple(escape_data(x) for x in data)
    return data


def _times(obj, node):
    obj.starttime = node.starttime
    obj.stoptime = node.stoptime
    if obj.starttime and obj.stoptime:
        obj.runtime = obj.stoptime.replace(microsecond=0) - obj.starttime.replace(microsecond=0)


# xref() and logfile() give the legacy object, read anew by each assignment
# after its value, as the assignments written out one by one would.
def _xref(xref, node):
    xref().file = getattr(node, "xref", {}).get("file", "")
    xref().line = getattr(node, "xref", {}).get("line", -1)


def _logs(logfile, node):
    logfile().filepath = getattr(node, "logs", {}).get("file", "")
    logfile().attrs["begin"] = getattr(node, "logs", {}).get("begin", -1)
    logfile().attrs["size"] = getattr(node, "logs", {}).get("size", -1)


def _result(obj, node):
    if getattr(node, "result", None) is not None:
        obj.result.value = str(node.result)


def _details(obj, node):
    for detail in node.details:
        obj.runinfo.set_args(diag=escape(detail))


def _section_id(section):
    section_id = section.id
    if section.type.endswith("Processor"):
        section_id = f"{section.id} {section.name}"
    return section_id


def _steps(ledgrin, obj, node):
    for section in node.sections:
        section_id = _section_id(section)
        step = obj.add_teststep(id=section_id, name=escape(section.name))
        ledgrin._handle_step(step, section)


class Ledgrin(object):
    def __init__(self, logsdir, runset):
        self.qoreport = QOReport()
        self.logsdir = logsdir
        self._runset = runset

    def generate_xml(self, client, kwargs):
        self.qoreport.runset = RunSet()
        self._handle_runset(self.qoreport.runset, self._runset)
        dom = self.qoreport.generate_dom()
        rough_string = ET.tostring(dom, encoding="utf-8")
        try:
            reparsed = minidom.parseString(rough_string)
            details_report = reparsed.toprettyxml(indent="  ")
            with open(self.logsdir + "/ResultsDetails.xml", "w") as f:
                f.write(details_report)
        except Exception:
            with open(self.logsdir + "/xml_rough_string", "wb") as f:
                f.write(rough_string)
            raise
        ts = self.qoreport.runset
        root = ET.Element("jobSummary", {"archiveFilename": ts.archivefile or "",
                                         "kexTreePath": ts.initinfo.kex.path or ""})
        ET.SubElement(root, "jobName").text = ts.initinfo.name
        ET.SubElement(root, "image").text = ts.initinfo.image
        ts.summary.generate_resultsonly_dom(root)
        for name in ("starttime", "stoptime", "runtime"):
            ts.generate_simple_elt_dom(root, name)
        for name in ("testbed", "release", "submitter", "user"):
            ts.initinfo.generate_simple_elt_dom(root, name)
        ET.SubElement(root, "debugProfile").text = "0"
        if len(ts.initinfo.hosts) > 0:
            ts.initinfo.hosts.generate_dom(root)
        else:
            ET.SubElement(root, "host")
        summary_report = minidom.parseString(ET.tostring(root, encoding="utf-8")).toprettyxml(indent="  ")
        f = open(self.logsdir + "/ResultsSummary.xml", "w")
        f.write(summary_report)
        f.close()

    def _handle_runset(self, qots, runset):
        _times(qots, runset)
        qots.initinfo.jobid = runset.id
        qots.initinfo.name = runset.name
        if getattr(runset, "archivefile", None):
            qots.archivefile = runset.archivefile
        if "testbed" in runset.extra:
            qots.initinfo.testbed = runset.extra["testbed"]
        if "release" in runset.extra:
            qots.initinfo.release = runset.extra["release"]
        if "image" in runset.extra:
            qots.initinfo.image = runset.extra["image"]
        if getattr(runset, "submitter", None):
            qots.initinfo.submitter = runset.submitter
        if getattr(runset, "user", None):
            qots.initinfo.user = runset.user
        if getattr(runset, "host", None):
            qots.initinfo.hosts.append(runset.host)
        if getattr(runset, "cli", None):
            qots.initinfo.params.cli = runset.cli
        if getattr(runset, "kovrapath", None):
            qots.initinfo.kex.path = runset.kovrapath
        if getattr(runset, "kovraversion", None):
            qots.initinfo.kex.version = runset.kovraversion
        qots.summary.update(runset.summary)
        for detail in runset.details:
            qots.runinfo.set_args(diag=escape(detail))
        if "vumb" in runset.extra:
            # The entry is looked up afresh for every test and every copy.
            args = {key: runset.extra["vumb"][key] for key in ("dnsname", "attributes")
                    if key in runset.extra["vumb"]}
            post = {key: runset.extra["vumb"][key] for key in ("status", "cmd", "error")
                    if key in runset.extra["vumb"]}
            if post:
                args["post"] = post
            qots.vumb.set_args(**args)
        self._handle_jobexecution(qots.jobexecution, runset)
        return qots

    def _handle_jobexecution(self, qojobexc, runset):
        _times(qojobexc, runset)
        for task in runset.tasks:
            qots = TestScript(getattr(task, "logfile", None), None)
            qojobexc.add_testscript(qots, task.id)
            self._handle_testscript(qots, task)
        return qojobexc

    def _handle_testscript(self, qots, task):
        _times(qots, task)
        if getattr(task, "parameters", None):
            qots.initinfo.pargs = escape(str(task.parameters))
        if getattr(task, "description", None):
            qots.initinfo.description = escape(task.description)
        if getattr(task, "logfile", None):
            qots.initinfo.logfile.filepath = task.logfile
        if getattr(task, "testscript", None):
            qots.initinfo.script.name = os.path.basename(task.testscript)
            qots.initinfo.script.path = os.path.dirname(task.testscript)
        qots.summary.update(task.summary)
        _details(qots, task)
        for section in task.sections:
            if section.type == "CommonSetup":
                self._handle_commonsection(qots.add_testsection(sectionid="commonSetup"), section)
            elif section.type == "CommonCleanup":
                self._handle_commonsection(qots.add_testsection(sectionid="commonCleanup"), section)
            else:
                kw = {"tcid": section.id, "logfilepath": ""}
                if getattr(section, "logs", None):
                    kw["logfilepath"] = section.logs.get("file", "")
                self._handle_testcase(qots.add_testcase(**kw), section)
        return qots

    def _handle_commonsection(self, qocommsect, commonsection):
        _times(qocommsect, commonsection)
        if getattr(commonsection, "description", None):
            qocommsect.extra["description"] = escape(commonsection.description)
        _xref(lambda: qocommsect.xref, commonsection)
        _logs(lambda: qocommsect.logfile, commonsection)
        _result(qocommsect, commonsection)
        _details(qocommsect, commonsection)
        qocommsect.extra.update(escape_data(commonsection.extra))
        for section in commonsection.sections:
            self._handle_subsection(qocommsect.add_commonsubsection(name=section.name), section)
        return qocommsect

    def _handle_testcase(self, qotc, testcase):
        _times(qotc, testcase)
        qotc.initinfo.id.attrs["name"] = testcase.id
        qotc.initinfo.id.idtypevalue = testcase.id
        qotc.initinfo.name = testcase.name
        for field in ("swversion", "hwversion", "fwversion", "tstversion"):
            setattr(qotc.initinfo, field, "None")
        if getattr(testcase, "description", None):
            qotc.initinfo.description = escape(testcase.description)
        _xref(lambda: qotc.initinfo.xref, testcase)
        _logs(lambda: qotc.initinfo.logfile, testcase)
        _result(qotc, testcase)
        _details(qotc, testcase)
        qotc.extra.update(escape_data(testcase.extra))
        for section in testcase.sections:
            section_id = _section_id(section)
            self._handle_testsection(qotc.add_testsection(sectionid=section_id), section)
        return qotc

    def _handle_subsection(self, qosubsect, subsection):
        _times(qosubsect, subsection)
        section_id = _section_id(subsection)
        qosubsect.id.attrs["name"] = section_id
        qosubsect.id.idtypevalue = section_id
        qosubsect.name = subsection.name
        if getattr(subsection, "description", None):
            qosubsect.description = escape(subsection.description)
        _xref(lambda: qosubsect.xref, subsection)
        _logs(lambda: qosubsect.logfile, subsection)
        _result(qosubsect, subsection)
        _details(qosubsect, subsection)
        qosubsect.extra.update(escape_data(subsection.extra))
        _steps(self, qosubsect, subsection)
        return qosubsect

    def _handle_testsection(self, qotest, testsection):
        _times(qotest, testsection)
        if getattr(testsection, "description", None):
            qotest.extra["description"] = escape(testsection.description)
        _xref(lambda: qotest.xref, testsection)
        _logs(lambda: qotest.logfile, testsection)
        _result(qotest, testsection)
        _details(qotest, testsection)
        qotest.extra.update(escape_data(testsection.extra))
        _steps(self, qotest, testsection)
        return qotest

    def _handle_step(self, qostep, step):
        _times(qostep, step)
        qostep.description = step.description if getattr(step, "description", None) else ""
        _xref(lambda: qostep.xref, step)
        _logs(lambda: qostep.logfile, step)
        _result(qostep, step)
        _details(qostep, step)
        extra = step.extra.copy()
        if "index" in extra:
            qostep.index = extra.pop("index")
        if "continue_" in extra:
            qostep.continue_ = extra.pop("continue_")
        qostep.extra.update(escape_data(extra))
        _steps(self, qostep, step)
        return qostep
