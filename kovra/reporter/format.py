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


def child_steps(child_ids):
    """The id path steps of a node's children (tasks then sections) from their ids: a child's id,
    unless an earlier sibling has that id too or the id is an object; then {"id": ID, "position": N},
    N its place among all the node's children. Siblings that share an id (a test case run twice) are
    each reached so."""
    first = set()
    steps = []
    for index, child in enumerate(child_ids):
        # Compared as JSON text (1, 1.0 and true are three ids); text ids as they are, the common case.
        text = child if type(child) is str else (json.dumps(child, separators=(",", ":")),)
        if type(child) is not dict and text not in first:
            first.add(text)
            steps.append(child)
        else:
            steps.append({"id": child, "position": index})
    return steps


def with_child_steps(node):
    """`node` (a node's data with its children as ids) with each children list holding their steps
    instead: what an explorer appends to the node's id path to reach each child."""
    if not isinstance(node, dict):
        return node
    keys = [key for key in CHILD_KEYS if isinstance(node.get(key), list)]
    ids = [child for key in keys for child in node[key]]
    steps = child_steps(ids)
    if all(step is child for step, child in zip(steps, ids)):
        return node
    at = 0
    for key in keys:
        node[key], at = steps[at:at + len(node[key])], at + len(node[key])
    return node


def dotted(path):
    """A node path for people: its ids joined with "."; a sibling that repeats an id as "ID;N", N its
    position among its siblings (as the job page's address names it)."""
    return ".".join("%s;%s" % (step["id"], step["position"]) if type(step) is dict else str(step) for step in path)


def child_at(children, step, id_of=lambda child: child):
    """The child a path step names among a node's `children` (tasks then sections), or None."""
    if type(step) is dict and set(step) == {"id", "position"} and type(step["position"]) is int:
        at = step["position"]
        if 0 <= at < len(children) and id_of(children[at]) == step["id"]:
            return children[at]
        return None
    for child in children:
        if id_of(child) == step:
            return child
    return None


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
