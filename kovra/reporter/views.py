"""Plain-data views of a stored report: tree walks, result names, run times; shared by the commands."""
import datetime
import json
import math
import re

# The format's facts and its tree helpers, under the names the commands use.
from kovra.reporter.format import (CHILD_KEYS, FAILING, RESULT_ORDER, WORST_FIRST, children, node_id,  # noqa: F401
                                   result_name, seconds, walk)

# Controls, line separators, lone surrogates, and the bidi controls a report's text could reorder a
# terminal's line with.
_UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2028\u2029\u2066-\u2069"
                          "\ud800-\udfff]")




def result_reason(value):
    return value.get("reason") if isinstance(value, dict) else None


def node_reason(node):
    """A node's reason: its result's own, else a "reason" in its extra data (where stop(reason=...) puts it)."""
    reason = result_reason(node.get("result"))
    if reason is None or reason == "":
        extra = node.get("extra")
        reason = extra.get("reason") if isinstance(extra, dict) else None
    return None if reason is None or reason == "" else reason


def first_reason(node):
    """The node's own reason, else that of the first failing node below it that has one."""
    reason = node_reason(node)
    if reason is None:
        for _, path, below in walk(node):
            if path and is_failing(below):
                reason = node_reason(below)
                if reason is not None:
                    break
    return reason


def state(node):
    """The one result word every tool shows for a node.

    A node with a result shows it. A task, or the job, has none of its own: it
    shows the worst result among those its summary counts (its test cases), so
    that `show`, the job's print and the HTML page agree.
    """
    name = result_name(node.get("result"))
    if name is not None:
        return name
    if is_plugin(node):
        return None
    found = {k for k, v in counts(node.get("summary")) if v}
    for name in WORST_FIRST:
        if name in found:
            return name
    return None


def is_failing(node):
    return result_name(node.get("result")) in FAILING


def is_plugin(node):
    # A plugin may carry another type name; only plugins keep both a summary and a result or log record.
    return node.get("type") == "Plugin" or ("summary" in node and ("result" in node or "logs" in node))










def format_seconds(value):
    value = seconds(value)
    if value is None:
        return "-"
    if not math.isfinite(value):
        # As the JSON dump writes them.
        return "NaN" if value != value else "Infinity" if value > 0 else "-Infinity"
    sign = "-" if value < 0 else ""
    value = abs(value)
    if value < 60:
        return "%s%.2fs" % (sign, value)
    minutes, rest = divmod(value, 60)
    if minutes < 60:
        return "%s%dm%05.2fs" % (sign, minutes, rest)
    hours, minutes = divmod(minutes, 60)
    return "%s%dh%02dm%02ds" % (sign, hours, minutes, rest)


def format_time(value):
    if isinstance(value, datetime.datetime):
        return value.replace(microsecond=0).isoformat(" ")
    return "-" if value is None else printable(value)


def printable(value):
    """Text safe to print on a terminal: control characters shown as escapes."""
    text = value if isinstance(value, str) else str(value)
    return _UNPRINTABLE.sub(lambda m: "\\x%02x" % ord(m.group()) if ord(m.group()) < 0x100
                            else "\\u%04x" % ord(m.group()), text)


def counts(counter):
    """(name, count) pairs of a stored counter, without its derived total and success rate."""
    if not isinstance(counter, dict):
        return []
    return [(k, v) for k, v in counter.items() if k not in ("total", "success_rate") and isinstance(v, int)]


def format_counts(counter, keep_zero=False):
    pairs = [(k, v) for k, v in counts(counter) if v or keep_zero]
    known = {k: i for i, k in enumerate(RESULT_ORDER)}
    pairs.sort(key=lambda kv: known.get(kv[0], len(known)))
    return ", ".join("%s %d" % (printable(k), v) for k, v in pairs) or "none"


def as_text(value):
    """A stored value as one piece of text: scalars as they read, containers as sorted JSON."""
    if isinstance(value, str):
        return value
    if isinstance(value, (dict, list, tuple)):
        try:
            return json.dumps(value, sort_keys=True, default=str)
        except TypeError:
            # Keys of mixed kinds cannot be sorted.
            return json.dumps(value, default=str)
    if isinstance(value, datetime.datetime):
        return value.isoformat(" ")
    return str(value)


# What each figure counts, in the words every tool uses for it.
CASES_LABEL = "test cases (sections directly under a task)"
HEALTH_LABEL = "health (from the health data given at stop)"
FAILURES_SHOWN = 20


def summary_lines(report):
    """The job's figures as `summary` prints them (and the main job after storing), each named by what it counts."""
    p = printable
    tasks = [t for t in children(report) if not is_plugin(t)]
    plugins = [x for x in children(report) if is_plugin(x)]
    summary = report.get("summary") if isinstance(report.get("summary"), dict) else {}
    lines = ["job %s%s" % (p(report.get("id")), " (%s)" % p(report["job_type"]) if report.get("job_type") else "")]
    lines.append("  started %s, stopped %s, run time %s" % (format_time(report.get("starttime")),
                                                         format_time(report.get("stoptime")),
                                                         format_seconds(report.get("runtime"))))
    ran = sum(1 for t in tasks if t.get("starttime"))
    planned = report.get("totaltasks")
    lines.append("  tasks: %d run%s" % (ran, " of %s planned" % p(planned) if planned else ""))
    total = summary.get("total")
    lines.append("%s: %s (total %s)" % (CASES_LABEL, format_counts(summary),
                                        p(total) if total is not None else sum(v for _, v in counts(summary))))
    rate = summary.get("success_rate")
    lines.append("success rate: %s" % ("%.2f%%" % rate if isinstance(rate, (int, float)) and not isinstance(rate, bool)
                                       else "-")
                 + (" (of the test cases, scaled by the share of planned tasks that ran)"
                    if isinstance(planned, int) and planned > ran else ""))
    lines.append("%s: %s (entries: %s)" % (HEALTH_LABEL, p(result_name(report.get("health_result")) or "-"),
                                           format_counts(report.get("health_summary"))))
    lines.append("job plugins: %s" % (", ".join("%s %s" % (p(node_id(x)), p(state(x) or "-")) for x in plugins)
                                      or "none"))
    if counts(report.get("pluginsummary")):
        lines.append("  sections run in job plugins: %s" % format_counts(report.get("pluginsummary")))
    task_plugins = {}
    for task in tasks:
        for name, count in counts(task.get("pluginsummary")):
            task_plugins[name] = task_plugins.get(name, 0) + count
    lines.append("task plugins: %s" % format_counts(task_plugins))
    failures = failure_lines(report)
    if failures:
        lines.append("failures (test cases and plugins, with their reasons):")
        lines.extend("  " + line for line in failures[:FAILURES_SHOWN])
        if len(failures) > FAILURES_SHOWN:
            lines.append("  ... and %d more (show FILE --failed lists them all)" % (len(failures) - FAILURES_SHOWN))
    return lines


def failure_lines(report):
    """One line per failing test case or plugin: path, result and reason."""
    out = []
    for top in children(report):
        if is_plugin(top):
            below = [(node_id(top), top)]
        else:
            below = [("%s.%s" % (node_id(top), node_id(child)), child) for child in children(top)]
        for path, node in below:
            if is_failing(node):
                reason = first_reason(node)
                out.append("%s: %s%s" % (printable(path), printable(result_name(node.get("result"))),
                                         " (%s)" % printable(as_text(reason)) if reason is not None else ""))
    return out
