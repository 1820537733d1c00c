"""The reporter server's rows of an upload in plain Python, as the server made them before its native
pass (kovra.reporter._intake): the oracle of the differential tests of the rows it stores.

    from reference.intake import flatten      # flatten(report, max_nodes, max_depth) -> rows
"""
import json

from kovra.reporter.server.intake import CHILD_KEYS, Refused, _number, _result, _text, _time, _unmarked, safe_json

_SCALARS = frozenset((str, int, float, bool, type(None)))


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
