"""Hostile inputs for the native modules, shared by test_hostile.py (driven by
hypothesis) and leak_scenarios_hostile.py (fixed cases for the leak check).

A case is plain data: which globals to replace and with what, which nodes to
damage, which operations to run. `run_*` plays a case and returns what each
step gave, a result or the type of the exception it raised; nothing may crash.
Every replaced global is put back afterwards.
"""
import contextlib
import sys
import types

from kovra.reporter import ledgrin, runset


class Boom(Exception):
    """What the hostile callbacks raise."""


class Hostile:
    """Refuses every protocol the natives may try on it."""

    def _refuse(self, *args, **kwargs):
        raise Boom("refused")

    __eq__ = __lt__ = __gt__ = __hash__ = __bool__ = __len__ = __iter__ = __str__ = _refuse
    __format__ = __getitem__ = __contains__ = __call__ = __add__ = __iadd__ = __radd__ = _refuse
    __sub__ = __rsub__ = __truediv__ = __rtruediv__ = __index__ = __float__ = _refuse

    def __getattr__(self, name):
        raise Boom("attribute " + name)

    def __repr__(self):
        return "Hostile()"


class Target:
    """Where a mutating callback reaches: filled once the case's data exists."""

    def __init__(self):
        self.data = None


def mutate(data, mode):
    """One change to a container or node under walk; each mode keeps sizes or not."""
    if isinstance(data, list):
        if mode == "clear":
            data.clear()
        elif mode == "grow":
            data.append("grown")
        elif mode == "self":
            data.append(data)
        elif data:
            data[0] = Hostile()
    elif isinstance(data, dict):
        if mode == "clear":
            data.clear()
        elif mode == "grow":
            data["grown%d" % len(data)] = "grown"
        elif mode == "self":
            data["self"] = data
        elif data:
            # Same size, other keys.
            data.pop(next(iter(data)))
            data["swapped%d" % len(data)] = "swapped"
    elif isinstance(data, runset.ReportObjectBase):
        if mode == "clear":
            data.__dict__.clear()
        elif mode == "grow":
            data.add_detail("grown")
        elif mode == "self":
            data._parent = data
        else:
            data.extra = Hostile()


def rebasing(cls):
    """A subclass of `cls` whose MRO changes while a method looks for its base: a key
    in a middle class's namespace hashes like the method names and, when compared,
    gives the subclass new bases, dropping the MRO being walked."""
    armed = [True]

    class Key:
        def __init__(self, name):
            self.name = name

        def __hash__(self):
            return hash(self.name)

        def __eq__(self, other):
            if armed[0]:
                armed[0] = False
                Sub.__bases__ = (cls,)
                armed.append([tuple([12345678] * 8) for _ in range(8)])
            return False

    namespace = {Key(name): None for name in ("__init__", "start", "stop", "roll_up")}
    Mid = type("Mid", (runset.ReportObjectBase,), namespace)
    Sub = type("Rebasing" + cls.__name__, (cls, Mid), {})
    return Sub


def callback(kind, target, original=None):
    """A replacement for a module global (or a hook) of the given kind."""
    if kind == "rebasing" and isinstance(original, type) and issubclass(original, runset.ReportObjectBase):
        return rebasing(original)

    fired = []

    def hook(*args, **kwargs):
        if kind == "raise":
            raise Boom(kind)
        if kind == "odd":
            return Hostile()
        # Once: a walk that meets what it added would otherwise never end, as in Python.
        if kind.startswith("mutate-") and not fired:
            fired.append(kind)
            mutate(target.data, kind[len("mutate-"):])
        if original is not None:
            return original(*args, **kwargs)
        return args[0] if args else None

    return hook


CALLBACK_KINDS = ["raise", "odd", "pass", "mutate-clear", "mutate-grow", "mutate-self", "mutate-swap", "rebasing"]


def needs_original(kind):
    return kind.startswith("mutate") or kind in ("pass", "rebasing")


class MutatingKey:
    """A dict key or list item whose comparisons and text change the walked data."""

    def __init__(self, target, mode):
        self.target, self.mode = target, mode

    def __hash__(self):
        return 7

    def __eq__(self, other):
        self.fire()
        return self is other

    def __str__(self):
        self.fire()
        return "key"

    def fire(self):
        if self.mode:
            mode, self.mode = self.mode, None
            mutate(self.target.data, mode)

    __repr__ = __str__


def build(value, target):
    """Turns a data description into the value: ("hostile",), ("key", mode),
    ("self", inner), ("deep", n) and plain containers of them."""
    if isinstance(value, tuple) and value:
        tag = value[0]
        if tag == "hostile":
            return Hostile()
        if tag == "key":
            return MutatingKey(target, value[1])
        if tag == "deep":
            deep = "leaf"
            for _ in range(value[1]):
                deep = [deep]
            return deep
        if tag == "self":
            inner = build(value[1], target)
            if isinstance(inner, list):
                inner.append(inner)
            elif isinstance(inner, dict):
                inner["self"] = inner
            return inner
        if tag == "tuple":
            return tuple(build(item, target) for item in value[1])
        if tag == "dict":
            return {build(k, target): build(v, target) for k, v in value[1]}
    if isinstance(value, list):
        return [build(item, target) for item in value]
    return value


@contextlib.contextmanager
def replaced(module, replacements):
    """module.<name> = value for each pair, all put back on leaving."""
    missing = object()
    saved = [(name, module.__dict__.get(name, missing)) for name, _ in replacements]
    try:
        for name, value in replacements:
            setattr(module, name, value)
        yield
    finally:
        for name, value in reversed(saved):
            if value is missing:
                module.__dict__.pop(name, None)
            else:
                module.__dict__[name] = value


def outcome(step):
    """What one step gave: its result's type, or the type of the exception."""
    try:
        return type(step()).__name__
    except Exception as exc:  # every hostile case may fail, as long as it fails cleanly
        return "raised " + type(exc).__name__


# ---- escape_data -----------------------------------------------------------------------

ESCAPE_GLOBALS = ["escape", "escape_data", "_escape_repl"]


@contextlib.contextmanager
def recursion_limit(limit):
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(limit or saved)
    try:
        yield
    finally:
        sys.setrecursionlimit(saved)


def run_escape(data, replacements, pattern=None, limit=None):
    """escape_data and escape on built data, with some module globals replaced by
    callbacks [(name, kind)], possibly a pattern object of another kind, and a
    raised recursion limit: the C stack must hold whatever the limit."""
    target = Target()
    target.data = build(data, target)
    originals = {name: getattr(ledgrin, name) for name in ESCAPE_GLOBALS}
    swaps = [(name, callback(kind, target, originals[name] if needs_original(kind) else None))
             for name, kind in replacements]
    if pattern == "hostile":
        swaps.append(("ESCAPE_SEQUENCE", Hostile()))
    elif pattern == "plain":
        swaps.append(("ESCAPE_SEQUENCE", types.SimpleNamespace(sub=lambda repl, text: text)))
    with replaced(ledgrin, swaps), recursion_limit(limit):
        return [outcome(lambda: ledgrin.escape_data(target.data)),
                outcome(lambda: ledgrin.escape("a\x01b\ud800")),
                outcome(lambda: ledgrin.escape(target.data))]


# ---- report nodes ---------------------------------------------------------------------------

RUNSET_GLOBALS = ["get_time", "recursive_update", "ResultCounter", "TestResult", "Passed", "VALUE_IGNORE",
                  "Plugin", "Section", "Task", "RunSet", "ReportHeader", "json", "yaml", "os"]
NODE_ATTRIBUTES = ["extra", "details", "sections", "tasks", "_parent", "result", "health_result",
                   "health_summary", "summary", "pluginsummary", "starttime", "logfile", "logs", "id",
                   "_ARG_ORDER"]
NODE_OPERATIONS = ["start", "stop", "update", "update_extra", "add_detail", "roll_up", "to_dict", "dump_json",
                   "dump_yaml", "fullid", "idlist", "add_section"]


def make_tree():
    """A small job: a run set with a task, its sections, a plugin and a nested step."""
    job = runset.RunSet(id="job", seq_num=0)
    task = job.add_task(id="t1", seq_num=1)
    section = task.add_section(id="tc", seq_num=2, type="TestCase")
    step = section.add_section(id="step", seq_num=3, type="Step")
    plugin = job.add_plugin(id="p", seq_num=4)
    plugin.start()
    return [job, task, section, step, plugin]


def run_operation(node, name, argument):
    if name in ("fullid", "idlist"):
        return getattr(node, name)
    if name in ("start", "stop"):
        return getattr(node, name)(**({"note": argument, "logfile": argument} if argument is not None else {}))
    if name in ("update", "update_extra"):
        return getattr(node, name)({"extra": argument, "details": argument, "name": argument, "tag": argument})
    if name == "add_detail":
        return node.add_detail(argument)
    if name == "add_section":
        return node.add_section(id=argument, seq_num=9)
    return getattr(node, name)()


def run_nodes(globals_, damage, operations):
    """Node operations on a small tree: globals replaced [(name, kind)], nodes damaged
    [(index, attribute, value or None to delete)], then [(index, operation, value)]."""
    target = Target()
    swaps = [(name, callback(kind, target, getattr(runset, name) if needs_original(kind) else None))
             for name, kind in globals_]
    results = []
    with replaced(runset, swaps):
        # Built with the replaced classes, which may refuse.
        try:
            nodes = make_tree()
        except Exception as exc:
            return ["raised " + type(exc).__name__]
        target.data = nodes[1]
        for index, attribute, value in damage:
            node = nodes[index % len(nodes)]
            if value is None:
                results.append(outcome(lambda: delattr(node, attribute)))
            else:
                results.append(outcome(lambda: setattr(node, attribute, build(value, target))))
        for index, operation, value in operations:
            node = nodes[index % len(nodes)]
            argument = build(value, target) if value is not None else None
            results.append(outcome(lambda: run_operation(node, operation, argument)))
    return results


# ---- the handlers ---------------------------------------------------------------------------

class Legacy:
    """A permissive legacy report object: any member exists, any call works."""

    def __init__(self, *args, **kwargs):
        self.attrs = {}
        self.extra = {}
        self.hosts = []

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        value = Legacy()
        object.__setattr__(self, name, value)
        return value

    def __call__(self, *args, **kwargs):
        return Legacy()


HANDLERS = ["_handle_runset", "_handle_jobexecution", "_handle_testscript", "_handle_commonsection",
            "_handle_testcase", "_handle_subsection", "_handle_testsection", "_handle_step"]
LEDGRIN_GLOBALS = ["escape", "escape_data", "TestScript", "os", "Passed"]


def run_handlers(globals_, damage, calls):
    """The handlers on a small report tree, with ledgrin globals replaced, nodes
    damaged as run_nodes does, then [(handler, node index)] each on a fresh legacy object."""
    target = Target()
    nodes = make_tree()
    nodes[0].extra["vumb"] = {"status": "ok", "cmd": "run", "error": "none"}
    target.data = nodes[2]
    swaps = [(name, callback(kind, target, getattr(ledgrin, name) if needs_original(kind) else None))
             for name, kind in globals_]
    results = []
    with replaced(ledgrin, swaps):
        for index, attribute, value in damage:
            node = nodes[index % len(nodes)]
            if value is None:
                results.append(outcome(lambda: delattr(node, attribute)))
            else:
                results.append(outcome(lambda: setattr(node, attribute, build(value, target))))
        generator = ledgrin.Ledgrin("/nowhere", nodes[0])
        for handler, index in calls:
            node = nodes[index % len(nodes)]
            results.append(outcome(lambda: getattr(generator, handler)(Legacy(), node)))
    return results


# ---- the fast roads -------------------------------------------------------------------------

# Names a module that a fast road relies on may gain after import, each shadowing a
# builtin its code calls: an addition, not a replacement, of a module global.
ROAD_ADDITIONS = [("json", "isinstance"), ("json.encoder", "isinstance"), ("json.encoder", "float"),
                  ("json.encoder", "repr"), ("yaml", "isinstance"), ("yaml.representer", "sorted"),
                  ("yaml.representer", "hasattr"), ("yaml.representer", "isinstance"), ("yaml.representer", "type"),
                  ("yaml.serializer", "isinstance"), ("yaml.emitter", "len"), ("yaml.emitter", "isinstance"),
                  ("yaml.resolver", "isinstance"), ("yaml.nodes", "isinstance"), ("yaml.events", "isinstance"),
                  ("base64", "memoryview"), ("base64", "bytes")]
ROAD_DUMPS = ["dump_json", "dump_yaml"]


def mid_dump_effects():
    """Changes a callback may make while a dump runs, by name."""
    import json.encoder
    import yaml
    table = runset.YAMLDumper.yaml_representers

    def refuse(*args):
        raise Boom("refused")
    return {
        # Read by JSONEncoder.encode once the C encoder is done.
        "encoder isinstance refused": lambda: setattr(json.encoder, "isinstance", refuse),
        "encoder list refused": lambda: setattr(json.encoder, "list", refuse),
        "ignore grows": lambda: runset.VALUE_IGNORE.append("step"),
        "ignore emptied": lambda: runset.VALUE_IGNORE.clear(),
        "int as type": lambda: table.__setitem__(int, runset.type_representer),
        "float as int": lambda: table.__setitem__(float, yaml.representer.SafeRepresenter.represent_int),
        "str removed": lambda: table.pop(str, None),
        "none as str": lambda: table.__setitem__(type(None), runset.str_representer),
    }


class Effect(Exception):
    """A value both dumpers write through its repr, which makes a change once."""

    def __init__(self, effect):
        super().__init__("effect")
        self.effect = effect

    def __repr__(self):
        effect, self.effect = self.effect, None
        if effect:
            effect()
        return "Effect()"


@contextlib.contextmanager
def road_state_restored():
    """Puts back what mid-dump effects change."""
    import json.encoder  # noqa: F401 - put back by name below
    table = dict(runset.YAMLDumper.yaml_representers)
    ignore = list(runset.VALUE_IGNORE)
    try:
        yield
    finally:
        runset.YAMLDumper.yaml_representers.clear()
        runset.YAMLDumper.yaml_representers.update(table)
        runset.VALUE_IGNORE[:] = ignore
        for name in ("isinstance", "list"):
            sys.modules["json.encoder"].__dict__.pop(name, None)


def road_tree(effects):
    import datetime
    nodes = make_tree()
    nodes[4].starttime = datetime.datetime(2020, 1, 2, 3, 4, 5)  # the same in every tree
    nodes[2].extra.update({"n": 3, "f": 2.5, "s": "text", "e": [Effect(effect) for effect in effects]})
    nodes[3].extra.update({"n": 4, "f": 0.25, "s": "job", "none": None, "empty": []})
    return nodes[0]


def generic_dump(name, job):
    import json
    import yaml
    document = runset.ReportHeader(job).as_dict()
    if name == "dump_json":
        return json.dumps(document, cls=runset.JSONDumper)
    return yaml.dump(document, Dumper=runset.YAMLDumper, default_flow_style=False)


def run_roads(additions, effects, dump):
    """One dump of a fresh tree on its fast road and one on its generic road, with
    names added to the roads' modules [((module, name), kind)] and changes made by
    a callback mid-dump [effect name]; returns both outcomes, with their text."""
    import importlib

    def full(step):
        try:
            return "text", step()
        except Exception as exc:  # both roads must fail alike
            return "raised " + type(exc).__name__, str(exc)

    named = mid_dump_effects()
    results = []
    for road in ("fast", "generic"):
        target = Target()
        with road_state_restored(), contextlib.ExitStack() as stack:
            for (module_name, name), kind in additions:
                module = importlib.import_module(module_name)
                original = getattr(__import__("builtins"), name)
                stack.enter_context(replaced(module, [(name, callback(kind, target, original))]))
            job = road_tree([named[effect] for effect in effects])
            target.data = job
            results.append(full(getattr(job, dump) if road == "fast" else lambda: generic_dump(dump, job)))
    return results
