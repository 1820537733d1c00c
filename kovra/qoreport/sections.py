"""Stand-in for the framework's legacy report library: the section levels.

Test sections, test cases, common sub-sections and test steps. Each is
created by its parent's ``add_...`` factory, which attaches it and returns it.
"""

import xml.etree.ElementTree as ET

from ._common import (IdInfo, LogFile, Result, RunInfo, Timed, XRef, data_dom,
                      set_attrs, text_child)


class _Section(Timed):
    """What the four section kinds share: diagnostics, result, extra data, children."""

    def __init__(self):
        super().__init__()
        self.runinfo = RunInfo()
        self.result = Result()
        self.extra = {}
        self.children = []

    def _attach(self, child):
        self.children.append(child)
        return child

    def _outcome_dom(self, elt):
        self.result.generate_dom(elt)
        self.runinfo.generate_dom(elt)
        data_dom(elt, "extra", self.extra)


class _LocatedSection(_Section):
    """A section kind that keeps its cross-reference and log location itself."""

    def __init__(self):
        super().__init__()
        self.xref = XRef()
        self.logfile = LogFile()

    def _location_dom(self, elt):
        self.xref.generate_dom(elt)
        self.logfile.generate_dom(elt)


class TestStep(_LocatedSection):
    def __init__(self, id, name):
        super().__init__()
        self.id = id
        self.name = name
        self.description = None
        self.index = None
        self.continue_ = None

    def add_teststep(self, id, name):
        return self._attach(TestStep(id, name))

    def _render(self, parent):
        elt = set_attrs(ET.SubElement(parent, "testStep"),
                        (("id", self.id), ("name", self.name), ("index", self.index),
                         ("continue", self.continue_)) + self._time_attrs())
        text_child(elt, "description", self.description)
        self._location_dom(elt)
        self._outcome_dom(elt)
        return elt, self.children


class CommonSubSection(_LocatedSection):
    def __init__(self, name):
        super().__init__()
        self.id = IdInfo()
        self.name = name
        self.description = None

    def add_teststep(self, id, name):
        return self._attach(TestStep(id, name))

    def _render(self, parent):
        elt = set_attrs(ET.SubElement(parent, "commonSubSection"),
                        (("name", self.name),) + self._time_attrs())
        self.id.generate_dom(elt)
        text_child(elt, "description", self.description)
        self._location_dom(elt)
        self._outcome_dom(elt)
        return elt, self.children


class TestSection(_LocatedSection):
    """A section of a test case, or a script's common setup or cleanup."""

    def __init__(self, sectionid):
        super().__init__()
        self.sectionid = sectionid

    def add_commonsubsection(self, name):
        return self._attach(CommonSubSection(name))

    def add_teststep(self, id, name):
        return self._attach(TestStep(id, name))

    def _render(self, parent):
        elt = set_attrs(ET.SubElement(parent, "testSection"),
                        (("sectionId", self.sectionid),) + self._time_attrs())
        self._location_dom(elt)
        self._outcome_dom(elt)
        return elt, self.children


class TestCaseInitInfo:
    def __init__(self, logfilepath):
        self.id = IdInfo()
        self.name = None
        self.swversion = None
        self.hwversion = None
        self.fwversion = None
        self.tstversion = None
        self.description = None
        self.xref = XRef()
        self.logfile = LogFile(logfilepath)

    def generate_dom(self, parent):
        elt = set_attrs(ET.SubElement(parent, "initInfo"),
                        (("name", self.name), ("swVersion", self.swversion),
                         ("hwVersion", self.hwversion), ("fwVersion", self.fwversion),
                         ("tstVersion", self.tstversion)))
        self.id.generate_dom(elt)
        text_child(elt, "description", self.description)
        self.xref.generate_dom(elt)
        self.logfile.generate_dom(elt)
        return elt


class TestCase(_Section):
    def __init__(self, tcid, logfilepath=None):
        super().__init__()
        self.tcid = tcid
        self.initinfo = TestCaseInitInfo(logfilepath)

    def add_testsection(self, sectionid):
        return self._attach(TestSection(sectionid))

    def _render(self, parent):
        elt = set_attrs(ET.SubElement(parent, "testCase"),
                        (("tcId", self.tcid),) + self._time_attrs())
        self.initinfo.generate_dom(elt)
        self._outcome_dom(elt)
        return elt, self.children
