"""The file-backed ``ReporterClient``: the STAND-IN of the framework's client of stored runs.

``ReporterClient`` serves a
report from the text that ``dump_json()`` or ``dump_yaml()`` of a run set gave
(the contents of a stored ``results.json`` or ``results.yaml``), with the same
two calls the explorer makes. Each answer is a fresh mapping shaped like
``to_dict()`` of the node: its children appear only as their ids, under
"tasks" (the run set) or "sections" (any node below it).
"""
import copy
import json

from kovra.reporter import yaml_load
from kovra.reporter.format import CHILD_KEYS, child_at, child_steps

# The reporter server's client is the reporter's own (kovra.reporter.client); named here for old imports.
from kovra.reporter.client import NotFound, ServerClient, ServerError, ServerUnavailable  # noqa: F401


class ReporterClient:
    """Serves one stored report: ``get_runset()`` and ``get_section(id_list=...)``."""

    def __init__(self, text):
        # JSON text is tried first: the YAML reader would read most of it too,
        # only more slowly. A stored report holds no alias (yaml_load.ReadError, a
        # ValueError, for one).
        try:
            stored = json.loads(text)
        except ValueError:
            stored = yaml_load.load(text, aliases=False)
        if not isinstance(stored, dict) or not isinstance(stored.get("report"), dict):
            raise ValueError("not a stored report: no 'report' mapping at the top")
        self.version = stored.get("version")
        self._report = stored["report"]

    @classmethod
    def from_file(cls, path):
        """A client for a stored results.json or results.yaml file."""
        with open(path, encoding="utf-8") as stream:
            return cls(stream.read())

    def get_runset(self):
        return _shallow(self._report)

    def get_section(self, *, id_list):
        node = self._report
        for depth, node_id in enumerate(id_list):
            node = _child(node, node_id)
            if node is None:
                raise KeyError("no node at id path %r in the stored report (no %r under %r)"
                               % (list(id_list), node_id, list(id_list[:depth])))
        return _shallow(node)


def _child(node, step):
    children = [child for key in CHILD_KEYS if isinstance(node.get(key), list) for child in node[key]]
    return child_at(children, step, lambda child: child.get("id") if isinstance(child, dict) else None)


def _shallow(node):
    """The node's own data, with its children replaced by the steps of their id paths: their ids, but
    siblings that share an id are each reached by their position (format.child_steps)."""
    result = {}
    for key, value in node.items():
        if key in CHILD_KEYS and isinstance(value, list):
            result[key] = [child.get("id") for child in value]
        else:
            result[key] = copy.deepcopy(value)
    keys = [key for key in CHILD_KEYS if isinstance(result.get(key), list)]
    steps = iter(child_steps([child for key in keys for child in result[key]]))
    for key in keys:
        result[key] = [next(steps) for _ in result[key]]
    return result
