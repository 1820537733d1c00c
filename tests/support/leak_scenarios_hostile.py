"""Scenarios for refleak.py: the hostile cases of test_hostile.py on fixed
inputs, and the native layer's own hostile paths (super() over changing bases,
the with and except emulation, functions under copy, pickle and weakref)."""
import copy
import os
import pickle
import sys
import tempfile
import weakref

from kovra.reporter import ledgrin, runset
from support import hostile_cases as hc

_LOGDIR = tempfile.mkdtemp(prefix="kovra-leak-hostile-")
_DATA = [["a\x01", ("hostile",)], ("dict", [("k", ["x\ud800"]), (("key", "swap"), "v")]),
         ("self", [["b\x0b"]]), ("deep", 3000), ("tuple", [("key", "grow"), "c"])]


def escaping_with_mutating_and_raising_globals():
    for data in _DATA:
        for kind in hc.CALLBACK_KINDS:
            hc.run_escape(data, [("escape", kind)])
            hc.run_escape(data, [("escape_data", kind)], "plain")
        hc.run_escape(data, [("_escape_repl", "raise")], "hostile")


def deep_escaping_under_a_raised_limit():
    hc.run_escape(("deep", 100000), [], limit=10**6)


def node_operations_on_damaged_nodes():
    operations = [(i, name, ["v", ("hostile",)]) for i, name in enumerate(hc.NODE_OPERATIONS)]
    for attribute in hc.NODE_ATTRIBUTES:
        hc.run_nodes([], [(1, attribute, None), (2, attribute, ("hostile",))], operations)


def node_operations_with_replaced_globals():
    operations = [(i, name, "v") for i, name in enumerate(hc.NODE_OPERATIONS)]
    for name in hc.RUNSET_GLOBALS:
        for kind in ("raise", "odd", "mutate-self", "mutate-clear", "rebasing"):
            hc.run_nodes([(name, kind)], [], operations)


def handlers_on_damaged_nodes_and_globals():
    calls = [(handler, index) for handler in hc.HANDLERS for index in range(5)]
    for attribute in hc.NODE_ATTRIBUTES:
        hc.run_handlers([], [(2, attribute, ("hostile",)), (3, attribute, None)], calls)
    for name in hc.LEDGRIN_GLOBALS:
        for kind in ("raise", "odd", "mutate-swap"):
            hc.run_handlers([(name, kind)], [], calls)


def super_over_rebased_classes():
    for cls in (runset.RunSet, runset.Task, runset.Section, runset.Plugin):
        sub = hc.rebasing(cls)
        node = sub(id="x", seq_num=0)
        node.start()
        node.stop()


def _failing_open(kind, chained):
    def fake_open(path, mode):
        if path.endswith("ResultsSummary.xml"):
            raise LookupError("summary")
        if chained and mode == "wb":
            try:
                raise IndexError("middle")
            except IndexError:
                raise ValueError("rough")
        if kind == "not-a-manager":
            return 42
        if kind == "enter-only":
            return type("EnterOnly", (), {"__enter__": lambda self: self})()
        return open(os.devnull, mode)
    return fake_open


def with_and_except_emulation():
    job = runset.RunSet(id="job", seq_num=0)
    for kind in ("not-a-manager", "enter-only", "file"):
        for chained in (False, True):
            ledgrin.open = _failing_open(kind, chained)
            try:
                ledgrin.Ledgrin(_LOGDIR, job).generate_xml(None, None)
            except Exception:
                pass
            finally:
                del ledgrin.open
    sys.exc_info()


def functions_under_copy_pickle_and_weakref():
    handlers = {"escape": ledgrin.escape, "stop": runset.RunSet.stop, "repr": runset.str_representer}
    copy.deepcopy(handlers)
    copy.copy(ledgrin.escape_data)
    pickle.loads(pickle.dumps(handlers))
    for function in handlers.values():
        weakref.ref(function)()


class _LoudId(str):
    def __str__(self):
        return str.__str__(self)


class _Colliding(str):
    def __hash__(self):
        return hash("_parent")

    def __eq__(self, other):
        return str.__eq__(self, other)


def to_dict_single_and_double_reads():
    # Plain nodes (one read), a non-plain id, a foreign dict key and a parent cycle
    # (each read twice the generic way).
    rs = runset.RunSet(id="job", seq_num=0)
    task = rs.add_task(id="task", seq_num=1)
    section = task.add_section(id=_LoudId("sec"), seq_num=1)
    step = section.add_section(id="step", seq_num=1)
    for node in (rs, task, section, step):
        node.to_dict()
    d = task.__dict__
    parent = d.pop("_parent")
    d[_Colliding("other")] = None
    d["_parent"] = parent
    step.to_dict()
    loop = runset.Section(id="loop", seq_num=0)
    loop._parent = loop
    try:
        loop.to_dict()
    except RecursionError:
        pass
    loop._parent = None


def fast_roads_with_added_names_and_mid_dump_changes():
    for dump in hc.ROAD_DUMPS:
        for addition in hc.ROAD_ADDITIONS[:4]:
            hc.run_roads([(addition, "raise")], [], dump)
        hc.run_roads([], sorted(hc.mid_dump_effects()), dump)
        hc.run_roads([], ["ignore grows", "int as type"], dump)


SCENARIOS = [
    escaping_with_mutating_and_raising_globals,
    deep_escaping_under_a_raised_limit,
    node_operations_on_damaged_nodes,
    node_operations_with_replaced_globals,
    handlers_on_damaged_nodes_and_globals,
    super_over_rebased_classes,
    with_and_except_emulation,
    functions_under_copy_pickle_and_weakref,
    to_dict_single_and_double_reads,
    fast_roads_with_added_names_and_mid_dump_changes,
]
