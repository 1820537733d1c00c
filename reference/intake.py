"""The reporter server's rows of an upload in plain Python, as the server made them before its native
pass (kovra.reporter._intake): the oracle of the differential tests of the rows and the job it stores.

    from reference.intake import flatten      # flatten(report, max_nodes, max_depth) -> rows
    from reference.intake import job_fields   # job_fields(report, name=None) -> the job's row
"""
import datetime
import json

from kovra.reporter.format import WORST_FIRST
from kovra.reporter.server.intake import CHILD_KEYS, Refused, _unmarked, safe_json

_SCALARS = frozenset((str, int, float, bool, type(None)))


def _text(value, limit=1000):
    """A value for a text column: text without NUL or lone surrogates, else None."""
    if type(value) is not str:
        return None
    if value.isascii() and value.isprintable():
        return value[:limit]
    return value.encode("utf-8", "replace").decode("utf-8").replace("\x00", "\ufffd")[:limit]


def _time(value):
    if not isinstance(value, str):
        return None
    try:
        return datetime.datetime.fromisoformat(value)
    except ValueError:
        return None


def _number(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value) if abs(value) < 1e300 else None


def _result(value):
    if isinstance(value, dict):
        value = value.get("value")
    return _text(value, 40)


def job_fields(report, name=None):
    summary = report.get("summary") if isinstance(report.get("summary"), dict) else {}
    counts = {key: value for key, value in summary.items()
              if isinstance(key, str) and isinstance(value, int) and not isinstance(value, bool)}
    result = _result(report.get("result"))
    if result is None:
        result = next((r for r in WORST_FIRST if counts.get(r)), None)
    rid = report.get("id")
    return {
        "name": _text(name) or _text(rid) or _text(safe_json(rid)),
        "result": result,
        "health": _result(report.get("health_result")),
        "start": _time(report.get("starttime")), "stop": _time(report.get("stoptime")),
        "runtime": _number(report.get("runtime")),
        "counts": safe_json(counts),
    }


def _too_deep(value, limit):
    """True when the container `value` (counted as one level) nests deeper than `limit` levels."""
    stack = [(value, 1)]
    while stack:
        item, depth = stack.pop()
        if depth > limit:
            return True
        for child in (item.values() if isinstance(item, dict) else item):
            if isinstance(child, (dict, list)):
                stack.append((child, depth + 1))
    return False


def _id_json(node_id):
    return json.dumps(node_id, separators=(",", ":"))


def path_steps(child_ids, id_texts):
    """Each child's step in its path: its id, or {"id": ID, "position": N} for a repeated id or an object."""
    first = set()
    steps = []
    for index, (child_id, text) in enumerate(zip(child_ids, id_texts)):
        if type(child_id) is not dict and text not in first:
            first.add(text)
            steps.append(text)
        else:
            steps.append('{"id":%s,"position":%d}' % (text, index))
    return steps


def flatten(report, max_nodes, max_depth):
    """Rows for `nodes` (tuples in NODE_COLUMNS order), the run set first; children as ids in stored order.

    Every node is stored, siblings with the same id too: a repeated id (after the first,
    tasks before sections) or an object id stands in the path as {"id": ID, "position": N}.
    Also checks what the JSON parser let through: the shape of every node, and how
    deep the values nest (the document's own levels included), without recursion.
    """
    rows = []
    # (node, its path as JSON text, parent path, position among siblings, depth in the tree)
    stack = [(report, "[]", None, 0, 0)]
    while stack:
        node, path, parent, position, depth = stack.pop()
        if len(rows) >= max_nodes:
            raise Refused("the report has more than %d nodes" % max_nodes, status=413)
        # The document's levels: {"report": {"tasks": [{"sections": [ ... two per step down;
        # `room` is how many the node's own values may take.
        room = max_depth - 2 - 2 * depth
        if room < 0:
            raise Refused("the report is nested deeper than %d levels" % max_depth)
        if "id" not in node:
            raise Refused("%s: the node has no id" % path)
        # The parsed document is ours: each node becomes its own row's data in place, its children
        # replaced by their ids (the dict keeps its key order).
        own = node
        child_ids = []
        below = []
        for key in CHILD_KEYS:
            value = node.get(key)
            if value is None:
                continue
            if type(value) is not list:
                raise Refused("%s: %r is not a list" % (path, key))
            ids = []
            for index, child in enumerate(value):
                if type(child) is not dict or "id" not in child:
                    raise Refused("%s: %s[%d] is not a report node with an id" % (path, key, index))
                ids.append(child["id"])
            below.extend(value)
            node[key] = ids
            child_ids.extend(ids)
        for value in node.values():
            kind = type(value)
            if kind is not dict and kind is not list:
                continue
            # Most containers hold scalars only (one level): one C-level look settles those.
            scalars = _SCALARS.issuperset(map(type, value.values() if kind is dict else value))
            if room < 1 or not scalars and _too_deep(value, room):
                raise Refused("the report is nested deeper than %d levels" % max_depth)
        id_texts = [_id_json(i) for i in child_ids]
        rows.append((
            path, parent, position, depth, _text(node.get("type"), 200), _result(node.get("result")),
            _time(node.get("starttime")), _time(node.get("stoptime")), _number(node.get("runtime")),
            safe_json(own), _unmarked("[" + ",".join(id_texts) + "]"),
        ))
        prefix = path[:-1] + ("," if depth else "")
        steps = path_steps(child_ids, id_texts)
        for index in range(len(below) - 1, -1, -1):
            stack.append((below[index], prefix + steps[index] + "]", path, index, depth + 1))
    return rows
