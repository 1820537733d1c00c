"""JUnit XML of a stored report, in the layout CI servers read.

One ``testsuite`` per task and one ``testcase`` per section directly under a
task (the sections a task counts in its summary), named by its path; nested
sections show up in the failure text of the test case they belong to. Any
text XML cannot hold is replaced by a visible escape, so the file always
parses.
"""
import datetime
import re
import xml.etree.ElementTree as ET

from kovra.reporter.views import (as_text, children, is_failing, is_plugin, node_id, result_name,
                                  result_reason, seconds, walk)

# Characters outside XML 1.0's Char production (lone surrogates included).
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")
# Structure and counters, which the suites and cases carry in their own form.
_NOT_PROPERTIES = {"tasks", "sections", "summary", "pluginsummary", "health_summary", "health_result",
                   "extra", "details", "fullid", "idlist"}
ERROR_RESULTS = ("errored", "aborted")
SKIP_RESULTS = ("skipped", "blocked")


def xml_text(value):
    text = value if isinstance(value, str) else as_text(value)
    return _NOT_XML.sub(lambda m: "\\x%02x" % ord(m.group()) if ord(m.group()) < 0x100
                        else "\\u%04x" % ord(m.group()), text)


def _seconds(value):
    value = seconds(value)
    return "%.3f" % (value if value is not None and value > 0 else 0.0)


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
            reason = result_reason(node.get("result"))
            lines.append("%s.%s: %s%s" % (path, sub_path, result_name(node.get("result")),
                                          " (%s)" % as_text(reason) if reason else ""))
    return lines


def _testcase(suite, task, section, path, tally):
    case = _sub(suite, "testcase", name=path, classname=task.get("id"), time=_seconds(section.get("runtime")))
    result = section.get("result")
    name = result_name(result)
    reason = result_reason(result)
    message = as_text(reason) if reason else name
    tally["tests"] += 1
    if name == "failed" or name in ERROR_RESULTS:
        tag = "failure" if name == "failed" else "error"
        tally["failures" if tag == "failure" else "errors"] += 1
        element = _sub(case, tag, message=message, type=name)
        element.text = xml_text("\n".join(["%s: %s" % (path, message)] + _failing_below(section, path)))
    elif name in SKIP_RESULTS or name is None:
        tally["skipped"] += 1
        _sub(case, "skipped", message=message if name else "no result reported")
    out = []
    if section.get("description"):
        out.append("description: %s" % as_text(section["description"]))
    logs = section.get("logs")
    if isinstance(logs, dict) and logs.get("file"):
        out.append("log: %s from byte %s, %s bytes" % (as_text(logs["file"]), logs.get("begin"), logs.get("size")))
    for _, sub_path, node in walk(section):
        details = node.get("details")
        for detail in details if isinstance(details, list) else ():
            out.append("%s: %s" % (path + ("." + sub_path if sub_path else ""), as_text(detail)))
    if out:
        _sub(case, "system-out").text = xml_text("\n".join(out))


def _testsuite(root, report, task, index, totals):
    tally = dict(tests=0, failures=0, errors=0, skipped=0)
    suite = _sub(root, "testsuite", name=task.get("id"))
    props = _sub(suite, "properties")
    _properties(props, "job.", report)
    for plugin in children(report):
        if is_plugin(plugin):
            _sub(props, "property", name="job.plugin.%s" % as_text(node_id(plugin)),
                 value=result_name(plugin.get("result")) or "-")
    _properties(props, "task.", task)
    for child in children(task):
        if is_plugin(child):
            _sub(props, "property", name="task.plugin.%s" % as_text(node_id(child)),
                 value=result_name(child.get("result")) or "-")
        else:
            _testcase(suite, task, child, "%s.%s" % (as_text(node_id(task)), as_text(node_id(child))), tally)
    if not len(props):
        suite.remove(props)
    for key, value in tally.items():
        suite.set(key, str(value))
        totals[key] += value
    suite.set("time", _seconds(task.get("runtime")))
    stamp = _timestamp(task.get("starttime"))
    if stamp:
        suite.set("timestamp", stamp)
    if report.get("host"):
        suite.set("hostname", xml_text(report["host"]))
    suite.set("id", str(index))
    suite.set("package", xml_text(report.get("id")))


def to_junit(document):
    """The JUnit XML of a stored report (read_document form), as UTF-8 bytes with a declaration."""
    report = document["report"]
    root = ET.Element("testsuites", {"name": xml_text(report.get("id"))})
    totals = dict(tests=0, failures=0, errors=0, skipped=0)
    index = 0
    for task in children(report):
        if not is_plugin(task):
            _testsuite(root, report, task, index, totals)
            index += 1
    for key, value in totals.items():
        root.set(key, str(value))
    root.set("time", _seconds(report.get("runtime")))
    ET.indent(root)
    return ET.tostring(root, encoding="utf-8", xml_declaration=True) + b"\n"
