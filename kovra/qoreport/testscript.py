"""Stand-in for the framework's legacy report library: the test-script level.

A ``TestScript`` is one script run of a job; its children are the common
setup and cleanup sections and the test cases, kept in the order added.
"""

import os
import xml.etree.ElementTree as ET

from ._common import LogFile, RunInfo, Summary, Timed, set_attrs, text_child
from .sections import TestCase, TestSection


class ScriptInfo:
    """File name and directory of the script."""

    def __init__(self):
        self.name = None
        self.path = None

    def generate_dom(self, parent):
        return set_attrs(ET.SubElement(parent, "script"),
                         (("name", self.name), ("path", self.path)))


class TestScriptInitInfo:
    def __init__(self, logfile):
        self.pargs = None
        self.description = None
        self.logfile = LogFile(logfile)
        self.script = ScriptInfo()

    def generate_dom(self, parent):
        elt = ET.SubElement(parent, "initInfo")
        text_child(elt, "pargs", self.pargs)
        text_child(elt, "description", self.description)
        self.logfile.generate_dom(elt)
        self.script.generate_dom(elt)
        return elt


class TestScript(Timed):
    def __init__(self, logfile=None, scriptfile=None):
        """``logfile``: the script's log file; ``scriptfile``: path of the script, if known."""
        super().__init__()
        # Set by the job execution the script is added to.
        self.scriptid = None
        self.initinfo = TestScriptInitInfo(logfile)
        if scriptfile:
            self.initinfo.script.name = os.path.basename(scriptfile)
            self.initinfo.script.path = os.path.dirname(scriptfile)
        self.summary = Summary()
        self.runinfo = RunInfo()
        self.children = []

    def add_testsection(self, sectionid):
        """A common setup or cleanup section of the script."""
        child = TestSection(sectionid)
        self.children.append(child)
        return child

    def add_testcase(self, tcid, logfilepath=None):
        child = TestCase(tcid, logfilepath)
        self.children.append(child)
        return child

    def _render(self, parent):
        elt = set_attrs(ET.SubElement(parent, "testScript"),
                        (("id", self.scriptid),) + self._time_attrs())
        self.initinfo.generate_dom(elt)
        self.summary.generate_dom(elt)
        self.runinfo.generate_dom(elt)
        return elt, self.children
