"""Stand-in for the framework's legacy report library: the top-level report object."""

import xml.etree.ElementTree as ET


class QOReport:
    """The details document; ``runset`` is the legacy run set to render."""

    def __init__(self):
        self.runset = None

    def generate_dom(self):
        """Return the <qoReport> element with the run set's whole tree, or empty without one."""
        root = ET.Element("qoReport")
        if self.runset is not None:
            self.runset.generate_dom(root)
        return root
