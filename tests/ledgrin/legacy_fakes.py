"""Recording fakes of the legacy report objects the handlers fill.

Each fake has exactly the members the handlers may touch, so a handler that
reaches for anything else fails loudly; calls are recorded in order.
"""
import types


class Args:
    """runinfo / vumb: records every set_args call."""

    def __init__(self):
        self.calls = []

    def set_args(self, **kwargs):
        self.calls.append(kwargs)


class Summary:
    def __init__(self):
        self.updates = []

    def update(self, counts):
        self.updates.append(counts)


def bag(**values):
    return types.SimpleNamespace(**values)


class Timed:
    def __init__(self):
        self.starttime = self.stoptime = self.runtime = None


class Section(Timed):
    """The parts the four section kinds share."""

    def __init__(self, **created):
        super().__init__()
        self.created = created
        self.children = []
        self.runinfo = Args()
        self.result = bag(value=None)
        self.extra = {}
        self.xref = bag(file=None, line=None)
        self.logfile = bag(filepath=None, attrs={})

    def add_teststep(self, id, name):
        step = Step(id=id, name=name)
        self.children.append(step)
        return step


class Step(Section):
    def __init__(self, **created):
        super().__init__(**created)
        self.description = self.index = self.continue_ = None


class SubSection(Section):
    def __init__(self, **created):
        super().__init__(**created)
        self.id = bag(attrs={}, idtypevalue=None)
        self.name = self.description = None


class TestSection(Section):
    def add_commonsubsection(self, name):
        child = SubSection(name=name)
        self.children.append(child)
        return child


class TestCase(Section):
    def __init__(self, **created):
        super().__init__(**created)
        # A test case keeps its cross-reference and log location under initinfo.
        self.initinfo = bag(id=bag(attrs={}, idtypevalue=None), name=None, swversion=None,
                            hwversion=None, fwversion=None, tstversion=None, description=None,
                            xref=self.xref, logfile=self.logfile)
        del self.xref, self.logfile

    def add_testsection(self, sectionid):
        child = TestSection(sectionid=sectionid)
        self.children.append(child)
        return child

    def add_teststep(self, id, name):
        raise AssertionError("a test case holds no steps")


class TestScript(Timed):
    def __init__(self, logfile, other):
        super().__init__()
        self.created = (logfile, other)
        self.children = []
        self.initinfo = bag(pargs=None, description=None, logfile=bag(filepath=None),
                            script=bag(name=None, path=None))
        self.summary = Summary()
        self.runinfo = Args()

    def add_testsection(self, sectionid):
        child = TestSection(sectionid=sectionid)
        self.children.append(child)
        return child

    def add_testcase(self, tcid, logfilepath):
        child = TestCase(tcid=tcid, logfilepath=logfilepath)
        self.children.append(child)
        return child


class JobExecution(Timed):
    def __init__(self):
        super().__init__()
        self.scripts = []

    def add_testscript(self, testscript, id):
        self.scripts.append((id, testscript))


class Hosts(list):
    def generate_dom(self, parent):
        import xml.etree.ElementTree as ET
        for host in self:
            ET.SubElement(parent, "host").text = host


class RunSet(Timed):
    def __init__(self):
        super().__init__()
        self.archivefile = None
        self.initinfo = bag(jobid=None, name=None, testbed=None, release=None, image=None,
                            submitter=None, user=None, params=bag(cli=None),
                            kex=bag(path=None, version=None), hosts=Hosts(),
                            generate_simple_elt_dom=self._initinfo_element)
        self.summary = Summary()
        self.summary.generate_resultsonly_dom = self._results
        self.runinfo = Args()
        self.vumb = Args()
        self.jobexecution = JobExecution()

    @staticmethod
    def _element(parent, name, value):
        import xml.etree.ElementTree as ET
        ET.SubElement(parent, name).text = None if value is None else str(value)

    def _initinfo_element(self, parent, name):
        self._element(parent, name, getattr(self.initinfo, name))

    def _results(self, parent):
        import xml.etree.ElementTree as ET
        ET.SubElement(parent, "passed").text = "1"

    def generate_simple_elt_dom(self, parent, name):
        self._element(parent, name, getattr(self, name))


class QOReport:
    """Renders a run set as one element per test script, with its diagnostics as text."""

    def __init__(self):
        self.runset = None
        self.dom = None

    def generate_dom(self):
        import xml.etree.ElementTree as ET
        if self.dom is not None:
            return self.dom
        root = ET.Element("report", {"job": str(self.runset.initinfo.jobid)})
        for id, script in self.runset.jobexecution.scripts:
            element = ET.SubElement(root, "script", {"id": str(id)})
            element.text = "\n".join(call["diag"] for call in script.runinfo.calls) or None
        return root


def install(monkeypatch, module):
    """Makes the module under test build these fakes."""
    monkeypatch.setattr(module, "QOReport", QOReport)
    monkeypatch.setattr(module, "RunSet", RunSet)
    monkeypatch.setattr(module, "TestScript", TestScript)
