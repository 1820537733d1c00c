"""The stored report's format, in one place: the store, the command line, the HTML page and the server read it here.

A stored report is ``{"version": FORMAT_VERSION, "report": {...}}``: the run
set's node, each node's children under one of CHILD_KEYS. The native modules
write the same version (kovra.reporter.runset.VERSION, checked against this one
by the tests).
"""
import json

FORMAT_VERSION = "3.2"

CHILD_KEYS = ("tasks", "sections")
# Attributes whose stored mappings are framework values rather than plain data.
RESULT_KEYS = ("result", "health_result")
COUNTER_KEYS = ("summary", "pluginsummary", "health_summary")
TIME_KEYS = ("starttime", "stoptime")
# Computed by the nodes from their place in the tree; never stored back.
DERIVED_KEYS = ("fullid", "idlist")

# The result names, in the order counts are shown, and worst first: the one a node without a result of its own
# shows is the worst its summary counts.
RESULT_ORDER = ("passed", "passx", "failed", "errored", "aborted", "blocked", "skipped")
WORST_FIRST = ("errored", "aborted", "failed", "blocked", "passx", "passed", "skipped")
# What fails a check, and what the pages mark as a problem.
FAILING = ("failed", "errored", "aborted")
PROBLEM_RESULTS = frozenset(FAILING + ("blocked",))


def path_of(ids):
    """A node's id path as it is stored and linked: compact JSON, ASCII only."""
    return json.dumps(list(ids), separators=(",", ":"))


def ids_of(path):
    return json.loads(path)


# --- walking a stored report's plain data ---------------------------------------------------------------------

def result_name(value):
    """The lower-case name of a stored result ({"value": ...} or bare text); None when there is none."""
    if isinstance(value, dict):
        value = value.get("value")
    return None if value is None else str(value).lower()


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


def reason_of(node):
    """A node's failure reason: its result's, else a "reason" in its extra data."""
    result = node.get("result")
    if isinstance(result, dict) and result.get("reason") not in (None, ""):
        return result["reason"]
    extra = node.get("extra")
    if isinstance(extra, dict) and isinstance(extra.get("reason"), str):
        return extra["reason"]
    return None


def node_id(node):
    return node.get("id")


def seconds(value):
    """A stored run time as a float, None when it is not a number."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value)
