"""JUnit XML of a stored report, in the layout CI servers read.

The first ``testsuite`` is the job: its properties (once, for the whole
file), a ``testcase`` per job plugin, and a skipped one per planned task that
never ran. Then one ``testsuite`` per task, with a ``testcase`` per section
directly under it (the test cases its summary counts) and per plugin run in
it, each named by its id with the task as class name. The counts on the
suites are therefore test cases, plugins and tasks not run, not the report's
summary. Nested sections show up in the failure text of the test case they
belong to, with their reasons. A test case's message is its reason (its
result's, else a "reason" in its extra data, else the first one of a failure
under it). Any text XML cannot hold is replaced by a visible escape, so the
file always parses.
"""
import datetime
import re
import xml.etree.ElementTree as ET

from kovra.reporter.views import (FAILING, as_text, children, first_reason, is_failing, is_plugin, node_id,
                                  node_reason, result_name, seconds, walk)

# Characters outside XML 1.0's Char production (lone surrogates included).
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")
# Structure and counters, which the suites and cases carry in their own form.
_NOT_PROPERTIES = {"tasks", "sections", "summary", "pluginsummary", "health_summary", "health_result",
                   "extra", "details", "fullid", "idlist"}
ERROR_RESULTS = ("errored", "aborted")
# Planned tasks missing from the report get a test case each, up to this many.
NOT_RUN_CASES = 100
SKIP_RESULTS = ("skipped", "blocked")


def xml_text(value):
    text = value if isinstance(value, str) else as_text(value)
    return _NOT_XML.sub(lambda m: "\\x%02x" % ord(m.group()) if ord(m.group()) < 0x100
                        else "\\u%04x" % ord(m.group()), text)


def _seconds(value):
    value = seconds(value)
    # A CI server reads a plain number: no run time, a negative or a non-finite one count as none.
    return "%.3f" % (value if value is not None and 0 < value < float("inf") else 0.0)


def _timestamp(value):
    if isinstance(value, datetime.datetime):
        return value.replace(microsecond=0, tzinfo=None).isoformat()
    return None


def _sub(parent, tag, **attrs):
    return ET.SubElement(parent, tag, {k: xml_text(v) for k, v in attrs.items() if v is not None})


def _properties(into, prefix, node):
    for key, value in node.items():
        if key not in _NOT_PROPERTIES and value is not None:
            _sub(into, "property", name=prefix + str(key), value=value)
    extra = node.get("extra")
    if isinstance(extra, dict):
        for key, value in extra.items():
            _sub(into, "property", name="%sextra.%s" % (prefix, key), value=value)


def _failing_below(section, path):
    """Lines naming the failing sections nested in `section`, with their reasons."""
    lines = []
    for _, sub_path, node in walk(section):
        if sub_path and is_failing(node):
            reason = node_reason(node)
            lines.append("%s.%s: %s%s" % (path, sub_path, result_name(node.get("result")),
                                          " (%s)" % as_text(reason) if reason is not None else ""))
    return lines


def _testcase(suite, classname, node, path, tally):
    """The test case of a test case section or a plugin; `path` (its fullid) names it in the texts."""
    case = _sub(suite, "testcase", name=node_id(node), classname=classname, time=_seconds(node.get("runtime")))
    result = node.get("result")
    name = result_name(result)
    reason = first_reason(node) if name in FAILING else node_reason(node)
    message = as_text(reason) if reason is not None else name
    tally["tests"] += 1
    if name == "failed" or name in ERROR_RESULTS:
        tag = "failure" if name == "failed" else "error"
        tally["failures" if tag == "failure" else "errors"] += 1
        element = _sub(case, tag, message=message, type=name)
        element.text = xml_text("\n".join(["%s: %s: %s" % (path, name, message)] + _failing_below(node, path)))
    elif name in SKIP_RESULTS or name is None:
        _skipped(case, tally, message if name else "no result reported")
    out = []
    if node.get("description"):
        out.append("description: %s" % as_text(node["description"]))
    logs = node.get("logs")
    if isinstance(logs, dict) and logs.get("file"):
        out.append("log: %s from byte %s, %s bytes" % (as_text(logs["file"]), logs.get("begin"), logs.get("size")))
    for _, sub_path, below in walk(node):
        details = below.get("details")
        for detail in details if isinstance(details, list) else ():
            out.append("%s: %s" % (path + ("." + sub_path if sub_path else ""), as_text(detail)))
    if out:
        _sub(case, "system-out").text = xml_text("\n".join(out))


def _skipped(case, tally, message):
    tally["skipped"] += 1
    _sub(case, "skipped", message=message)


def _not_run(suite, classname, name, message, tally):
    case = _sub(suite, "testcase", name=name, classname=classname, time=_seconds(None))
    tally["tests"] += 1
    _skipped(case, tally, message)


def _close_suite(suite, tally, totals, node, report, index):
    for key, value in tally.items():
        suite.set(key, str(value))
        totals[key] += value
    suite.set("time", _seconds(node.get("runtime")))
    stamp = _timestamp(node.get("starttime"))
    if stamp:
        suite.set("timestamp", stamp)
    if report.get("host"):
        suite.set("hostname", xml_text(report["host"]))
    suite.set("id", str(index))
    suite.set("package", xml_text(report.get("id")))


def _open_suite(root, name, prefix, node):
    """A new testsuite with the node's properties (none: no properties element), and its empty tally."""
    suite = _sub(root, "testsuite", name=name)
    props = _sub(suite, "properties")
    _properties(props, prefix, node)
    if not len(props):
        suite.remove(props)
    return suite, dict(tests=0, failures=0, errors=0, skipped=0)


def _job_suite(root, report, totals):
    """The first suite: the job's properties, once, its plugins, and the planned tasks that never ran."""
    job = as_text(node_id(report))
    suite, tally = _open_suite(root, job, "job.", report)
    tasks = [t for t in children(report) if not is_plugin(t)]
    for plugin in children(report):
        if is_plugin(plugin):
            _testcase(suite, job, plugin, as_text(node_id(plugin)), tally)
    planned = report.get("totaltasks")
    if isinstance(planned, int) and not isinstance(planned, bool):
        # The model counts a planned task that never ran against the success rate, but not as a failure.
        missing = range(len(tasks) + 1, planned + 1)
        why = "planned, never ran (its task is not in the report)"
        if len(missing) <= NOT_RUN_CASES:
            for number in missing:
                _not_run(suite, job, "planned task %d of %d" % (number, planned), why, tally)
        else:
            # A stored count is not proof of that many tasks: one case stands for them all.
            _not_run(suite, job, "planned tasks %d to %d of %d" % (missing[0], planned, planned), why, tally)
    _close_suite(suite, tally, totals, report, report, 0)


def _testsuite(root, report, task, index, totals):
    classname = as_text(node_id(task))
    suite, tally = _open_suite(root, classname, "task.", task)
    if not task.get("starttime"):
        _not_run(suite, classname, "(task)", "planned, never ran", tally)
    for child in children(task):
        _testcase(suite, classname, child, "%s.%s" % (classname, as_text(node_id(child))), tally)
    _close_suite(suite, tally, totals, task, report, index)


def to_junit(document):
    """The JUnit XML of a stored report (read_document form), as UTF-8 bytes with a declaration."""
    report = document["report"]
    root = ET.Element("testsuites", {"name": xml_text(report.get("id"))})
    totals = dict(tests=0, failures=0, errors=0, skipped=0)
    _job_suite(root, report, totals)
    index = 1
    for task in children(report):
        if not is_plugin(task):
            _testsuite(root, report, task, index, totals)
            index += 1
    for key, value in totals.items():
        root.set(key, str(value))
    root.set("time", _seconds(report.get("runtime")))
    ET.indent(root)
    return ET.tostring(root, encoding="utf-8", xml_declaration=True) + b"\n"
