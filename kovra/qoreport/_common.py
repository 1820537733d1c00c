"""Stand-in for the framework's legacy report library: pieces shared by all levels.

Value-to-text conversion, the nested-data renderer, the small member objects
that every level carries (run info, result, cross-reference, log file,
summary, id) and the walk that renders a node tree.
"""

import datetime
from collections.abc import Mapping
import xml.etree.ElementTree as ET

# Fixed order of the result kinds in a rendered summary.
RESULT_KINDS = ("passed", "passx", "failed", "errored", "aborted", "blocked", "skipped")
# Counter keys that are derived from the counts, never counts themselves.
_DERIVED_KEYS = ("total", "success_rate")


def to_text(value):
    """Text of a typed field: None stays None, times as ISO text, run times in whole seconds."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return str(value // datetime.timedelta(seconds=1))
    return str(value)


def set_attrs(elt, pairs):
    """Set each (name, value) pair as an attribute; None values are left out."""
    for name, value in pairs:
        text = to_text(value)
        if text is not None:
            elt.set(name, text)
    return elt


def text_child(parent, tag, value):
    """Append <tag>value</tag>; nothing when value is None."""
    if value is not None:
        ET.SubElement(parent, tag).text = to_text(value)


def data_dom(parent, tag, data):
    """Append <tag> holding one <item> per entry of the mapping ``data``."""
    elt = ET.SubElement(parent, tag)
    for key, value in data.items():
        _data_item(elt, key, value)
    return elt


_NO_KEY = object()


def _data_item(parent, key, value):
    # Keys go into an attribute: they need not be valid XML names, nor strings.
    # Recursion depth matches the data's nesting, the same depth the
    # serialiser recurses to when it writes the result.
    elt = ET.SubElement(parent, "item")
    if key is not _NO_KEY:
        elt.set("key", key if isinstance(key, str) else str(key))
    if isinstance(value, Mapping):
        elt.set("type", "dict")
        for k, v in value.items():
            _data_item(elt, k, v)
    elif isinstance(value, (list, tuple)):
        elt.set("type", "list" if isinstance(value, list) else "tuple")
        for v in value:
            _data_item(elt, _NO_KEY, v)
    elif value is None:
        # Tells None apart from the empty string.
        elt.set("type", "none")
    else:
        elt.text = value if isinstance(value, str) else str(value)


def render_tree(node, parent):
    """Append the element of ``node`` and of its whole subtree to ``parent``; return it.

    Each node's ``_render(parent)`` appends the node's own element and returns
    (element, children). The walk keeps its own stack so that sections and
    steps may nest as deep as the code that built them could.
    """
    top = None
    stack = [(node, parent)]
    while stack:
        current, into = stack.pop()
        elt, children = current._render(into)
        if top is None:
            top = elt
        # Reversed so the first child is rendered first and keeps its place.
        stack.extend((child, elt) for child in reversed(children))
    return top


class Timed:
    """Start, stop and run time of a level; rendered as attributes."""

    def __init__(self):
        self.starttime = None
        self.stoptime = None
        self.runtime = None

    def _time_attrs(self):
        return (("starttime", self.starttime), ("stoptime", self.stoptime),
                ("runtime", self.runtime))

    def generate_dom(self, parent):
        """Append this level's element, with everything below it, to ``parent``; return it."""
        return render_tree(self, parent)


class RunInfo:
    """Diagnostics collected while the level ran, in the order given."""

    def __init__(self):
        self.diags = []

    def set_args(self, diag):
        self.diags.append(diag)

    def generate_dom(self, parent):
        elt = ET.SubElement(parent, "runInfo")
        for diag in self.diags:
            ET.SubElement(elt, "diag").text = to_text(diag)
        return elt


class Result:
    def __init__(self):
        self.value = None

    def generate_dom(self, parent):
        return set_attrs(ET.SubElement(parent, "result"), (("value", self.value),))


class XRef:
    """Where the level is defined in the test code."""

    def __init__(self):
        self.file = None
        self.line = None

    def generate_dom(self, parent):
        return set_attrs(ET.SubElement(parent, "xref"),
                         (("file", self.file), ("line", self.line)))


class LogFile:
    """A log file and, in ``attrs``, where in it the level wrote (begin, size)."""

    def __init__(self, filepath=None):
        self.filepath = filepath
        self.attrs = {}

    def generate_dom(self, parent):
        elt = set_attrs(ET.SubElement(parent, "logFile"), (("filePath", self.filepath),))
        # attrs keys become attribute names, so they must be XML names.
        return set_attrs(elt, ((str(k), v) for k, v in self.attrs.items()))


class IdInfo:
    """Typed id: ``attrs`` render as attributes, ``idtypevalue`` as the text."""

    def __init__(self):
        self.attrs = {}
        self.idtypevalue = None

    def generate_dom(self, parent):
        elt = set_attrs(ET.SubElement(parent, "id"),
                        ((str(k), v) for k, v in self.attrs.items()))
        elt.text = to_text(self.idtypevalue)
        return elt


class Summary:
    """Result counts of a run set or test script."""

    def __init__(self):
        self.counts = {}
        self.success_rate = None

    def update(self, counter):
        """Take the counts of a result counter or of a plain {result name: count} dict.

        Counts replace those of the same name; total is always recomputed.
        A success rate that the counter reports is kept (it may be weighted).
        """
        rate = None
        for name, count in counter.items():
            if name == "success_rate":
                rate = count
            elif name not in _DERIVED_KEYS:
                self.counts[name] = count
        if rate is None:
            rate = getattr(counter, "success_rate", None)
        if rate is not None:
            self.success_rate = rate

    @property
    def total(self):
        return sum(self.counts.values())

    def generate_resultsonly_dom(self, parent):
        """Append the result children to ``parent``.

        The known kinds in fixed order (0 when not counted), any other result
        as <otherResult name=...>, then <total> and, when known, <successRate>.
        """
        for kind in RESULT_KINDS:
            ET.SubElement(parent, kind).text = to_text(self.counts.get(kind, 0))
        for name, count in self.counts.items():
            if name not in RESULT_KINDS:
                other = ET.SubElement(parent, "otherResult", name=to_text(name))
                other.text = to_text(count)
        ET.SubElement(parent, "total").text = to_text(self.total)
        text_child(parent, "successRate", self.success_rate)
        return parent

    def generate_dom(self, parent):
        return self.generate_resultsonly_dom(ET.SubElement(parent, "summary"))
