"""Stand-in for the framework's legacy report library: the job level.

The legacy ``RunSet`` (one job: identity, environment, summary, diagnostics,
test-management arguments) and its ``JobExecution``, which holds the test
scripts. Not the reporter's own run set of the same name.
"""

import xml.etree.ElementTree as ET

from ._common import RunInfo, Summary, Timed, data_dom, set_attrs, to_text


def _simple_elt(obj, parent, name):
    # Element named after the attribute; None gives an empty element.
    elt = ET.SubElement(parent, name)
    elt.text = to_text(getattr(obj, name))
    return elt


class Params:
    def __init__(self):
        self.cli = None

    def generate_dom(self, parent):
        return set_attrs(ET.SubElement(parent, "params"), (("cli", self.cli),))


class Kex:
    """Where the framework that ran the job is installed, and its version."""

    def __init__(self):
        self.path = None
        self.version = None

    def generate_dom(self, parent):
        return set_attrs(ET.SubElement(parent, "kex"),
                         (("path", self.path), ("version", self.version)))


class Hosts(list):
    def generate_dom(self, parent):
        """Append one <host> per host to ``parent``."""
        for host in self:
            ET.SubElement(parent, "host").text = to_text(host)
        return parent


class RunSetInitInfo:
    def __init__(self):
        self.jobid = None
        self.name = None
        self.testbed = None
        self.release = None
        self.image = None
        self.submitter = None
        self.user = None
        self.params = Params()
        self.kex = Kex()
        self.hosts = Hosts()

    def generate_simple_elt_dom(self, parent, name):
        """Append <name> holding the text of attribute ``name`` to ``parent``."""
        return _simple_elt(self, parent, name)

    def generate_dom(self, parent):
        elt = set_attrs(ET.SubElement(parent, "initInfo"),
                        (("jobId", self.jobid), ("name", self.name),
                         ("testbed", self.testbed), ("release", self.release),
                         ("image", self.image), ("submitter", self.submitter),
                         ("user", self.user)))
        self.params.generate_dom(elt)
        self.kex.generate_dom(elt)
        self.hosts.generate_dom(elt)
        return elt


class Vumb:
    """Arguments for the test-management service the job reports to."""

    def __init__(self):
        self.args = {}

    def set_args(self, **kwargs):
        self.args.update(kwargs)

    def generate_dom(self, parent):
        return data_dom(parent, "vumb", self.args)


class JobExecution(Timed):
    def __init__(self):
        super().__init__()
        self.testscripts = []

    def add_testscript(self, testscript, id):
        testscript.scriptid = id
        self.testscripts.append(testscript)
        return testscript

    def _render(self, parent):
        elt = set_attrs(ET.SubElement(parent, "jobExecution"), self._time_attrs())
        return elt, self.testscripts


class RunSet(Timed):
    def __init__(self):
        super().__init__()
        self.archivefile = None
        self.initinfo = RunSetInitInfo()
        self.summary = Summary()
        self.runinfo = RunInfo()
        self.vumb = Vumb()
        self.jobexecution = JobExecution()

    def generate_simple_elt_dom(self, parent, name):
        """Append <name> holding the text of attribute ``name`` to ``parent``."""
        return _simple_elt(self, parent, name)

    def _render(self, parent):
        elt = set_attrs(ET.SubElement(parent, "runSet"),
                        self._time_attrs() + (("archiveFilename", self.archivefile),))
        self.initinfo.generate_dom(elt)
        self.summary.generate_dom(elt)
        self.runinfo.generate_dom(elt)
        self.vumb.generate_dom(elt)
        return elt, (self.jobexecution,)
