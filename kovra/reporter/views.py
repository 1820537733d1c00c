"""Plain-data views of a stored report: tree walks, result names, run times; shared by the commands."""
import datetime
import json
import re

from kovra.reporter.store import CHILD_KEYS, FAILING

RESULT_ORDER = ("passed", "passx", "failed", "errored", "aborted", "blocked", "skipped")
_UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]")


def result_name(value):
    """The lower-case name of a stored result ({"value": ...} or bare text); None when there is none."""
    if isinstance(value, dict):
        value = value.get("value")
    return None if value is None else str(value).lower()


def result_reason(value):
    return value.get("reason") if isinstance(value, dict) else None


def is_failing(node):
    return result_name(node.get("result")) in FAILING


def is_plugin(node):
    # A plugin may carry another type name; only plugins keep both a summary and a result or log record.
    return node.get("type") == "Plugin" or ("summary" in node and ("result" in node or "logs" in node))


def children(node):
    for key in CHILD_KEYS:
        value = node.get(key)
        if isinstance(value, list):
            yield from value


def walk(report):
    """(depth, path, node) for the run set and every node below it, depth first, in stored order.

    The path is the ids below the run set joined with "." (a node's fullid); the run set's own is "".
    """
    stack = [(0, (), report)]
    while stack:
        depth, ids, node = stack.pop()
        yield depth, ".".join(str(i) for i in ids), node
        below = [(depth + 1, ids + (node_id(child),), child) for child in children(node)]
        stack.extend(reversed(below))


def node_id(node):
    return node.get("id")


def seconds(value):
    """A stored run time as a float, None when it is not a number."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value)


def format_seconds(value):
    value = seconds(value)
    if value is None:
        return "-"
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
