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
