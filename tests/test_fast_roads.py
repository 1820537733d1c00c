"""Each fast road against its generic road, one piece it relies on at a time.

A fast road (dump_json, dump_yaml, generate_xml's pretty printing) writes its
generic road's text natively while every piece that road reads is the one found
at import. Here each piece is changed in turn, by a replacement, an addition or a
change made by a callback during the dump: the output must then be the generic
road's, with the generic road's code running; undone, the fast road runs again
and writes the same text. Some changes alter the text itself, so a road that
missed them would write the old text.
"""
import base64
import builtins
import datetime
import io
import json
import os
import subprocess
import sys
import types
import xml.dom
import xml.etree.ElementTree as ET
from xml.dom import minidom

import pytest
import yaml
import yaml.emitter
import yaml.events
import yaml.nodes
import yaml.representer
import yaml.resolver
import yaml.serializer

from kovra.reporter import ledgrin, runset
import kovra.results
from kovra.results import Failed, ResultCounter
from kovra.results import TestResult as Result

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "ledgrin"))
import legacy_fakes as fakes  # noqa: E402
from support.roads import code_run, outcome  # noqa: E402


# The YAML road makes and opens the dumper itself where a callback may run, as the
# generic road does first: PyYAML's own road is what represents or serializes.
YAML_GENERIC = frozenset({"represent_data", "serialize"})


def watched(call, folder, generic=None):
    """call()'s outcome, and whether Python code under `folder` (of those names, if given) ran for it."""
    result, entered = code_run(call, lambda code: code.co_filename.startswith(folder))
    return result, bool(generic.intersection(entered) if generic else entered)


def wrap(function):
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)
    return wrapper


class Opaque(Exception):
    """Written through its repr by both dumpers; the repr may make a change."""

    def __init__(self, label, effect=None):
        super().__init__(label)
        self.label, self.effect = label, effect

    def __repr__(self):
        if self.effect:
            self.effect()
        return "Opaque(%s)" % self.label


# ---- the three roads: a probe, the fast outcome and the generic one ------------------

class JsonRoad:
    folder = os.path.dirname(json.__file__)

    def probe(self, effect=None):
        rs = runset.RunSet(id="job", seq_num=0)
        task = rs.add_task(id="t\u00e9", seq_num=1)
        task.update({"result": Failed, "description": "d\n\x00"})
        task.extra.update({"f": 1.5, "k": [1, None, True], "when": datetime.datetime(2020, 1, 2), "n": 7})
        task.add_detail(Opaque("first", effect))
        task.add_detail({"later": [3, "x"]})
        rs.add_task(id="x", seq_num=2).extra.update({"none": None, "n": 8})
        return rs

    def fast(self, node):
        return watched(node.dump_json, self.folder)

    def generic(self, node):
        return outcome(lambda: json.dumps(runset.ReportHeader(node).as_dict(), cls=runset.JSONDumper))


class YamlRoad:
    folder = os.path.dirname(yaml.__file__)

    def probe(self, effect=None):
        rs = runset.RunSet(id="job", seq_num=0)
        first = rs.add_task(id="leaf", seq_num=1)
        first.extra = {"n": 7, "o": Opaque("x", effect), "words": "leaf " * 30, "tab": "a\tb",
                       "blob": bytes(range(100)), "list": [1, 2.5], "text": "two\nlines  "}
        second = rs.add_task(id="x", seq_num=2)
        second.extra = {"n": 8, "later": [1, "x"], "f": 0.125, "r": Failed}
        return rs

    def fast(self, node):
        return watched(node.dump_yaml, self.folder, YAML_GENERIC)

    def generic(self, node):
        document = runset.ReportHeader(node).as_dict()
        return outcome(lambda: yaml.dump(document, Dumper=runset.YAMLDumper, default_flow_style=False))


class XmlRoad:
    folder = os.path.dirname(minidom.__file__)

    def probe(self, effect=None):
        root = ET.Element("report", {"job": "j1"})
        ET.SubElement(root, "script", id="t1").text = 'a "q" & <b>\r\n'
        root[0].tail = "\t"
        ET.SubElement(root, "empty")
        return root

    def fast(self, dom):
        folder = os.path.join(self.tmp, "fast%d" % len(os.listdir(self.tmp)))
        os.mkdir(folder)
        gen = ledgrin.Ledgrin(folder, types.SimpleNamespace(
            starttime=None, stoptime=None, id="job1", name="nightly", extra={}, summary={}, details=[], tasks=[]))
        gen.qoreport.dom = dom

        def run():
            gen.generate_xml(None, None)
            with open(os.path.join(folder, "ResultsDetails.xml")) as stream:
                return stream.read()
        return watched(run, self.folder)

    def generic(self, dom):
        return outcome(lambda: minidom.parseString(ET.tostring(dom, encoding="utf-8")).toprettyxml(indent="  "))


ROADS = {"json": JsonRoad(), "yaml": YamlRoad(), "xml": XmlRoad()}


@pytest.fixture
def restore_tables():
    """Puts YAMLDumper's and the resolver's tables, and VALUE_IGNORE, back as found."""
    dumper = runset.YAMLDumper
    representers = dict(dumper.yaml_representers)
    resolvers = {k: list(v) for k, v in yaml.resolver.Resolver.yaml_implicit_resolvers.items()}
    ignore = list(runset.VALUE_IGNORE)

    def restore():
        dumper.yaml_representers.clear()
        dumper.yaml_representers.update(representers)
        for name in ("yaml_multi_representers", "yaml_implicit_resolvers"):
            if name in dumper.__dict__:
                delattr(dumper, name)
        yaml.resolver.Resolver.yaml_implicit_resolvers.clear()
        yaml.resolver.Resolver.yaml_implicit_resolvers.update(resolvers)
        runset.VALUE_IGNORE[:] = ignore
    yield restore
    restore()


@pytest.fixture(autouse=True)
def legacy(monkeypatch, tmp_path):
    fakes.install(monkeypatch, ledgrin)
    ROADS["xml"].tmp = str(tmp_path)


def custom_int(dumper, data):
    return dumper.represent_scalar("tag:yaml.org,2002:str", "int %d" % data)


def custom_node(dumper, data):
    return dumper.represent_scalar("tag:yaml.org,2002:str", "node %s" % data.id)


def add(module, name, value):
    return lambda mp: mp.setattr(module, name, value, raising=False)


def replace(owner, name):
    return lambda mp: mp.setattr(owner, name, wrap(getattr(owner, name)))


def look_alike(module):
    return types.SimpleNamespace(**{name: getattr(module, name) for name in dir(module)})


class Meta(type):
    def mro(cls):
        return [type(None), cls, object]


# Each change: which road, what it does, and whether it alters the generic text.
CHANGES = {
    # json: the module global, json.dumps and its keyword defaults, the classes, the encoder module.
    ("json", "module json global"): lambda mp: mp.setattr(runset, "json", look_alike(json)),
    ("json", "json.dumps"): lambda mp: mp.setattr(
        json, "dumps", lambda *a, **k: json.encoder.JSONEncoder.encode(k["cls"](), a[0])),
    ("json", "dumps keyword default"): lambda mp: mp.setitem(json.dumps.__kwdefaults__, "ensure_ascii", False),
    ("json", "dumps keyword defaults object"): lambda mp: mp.setattr(
        json.dumps, "__kwdefaults__", dict(json.dumps.__kwdefaults__)),
    ("json", "JSONDumper global"): lambda mp: mp.setattr(runset, "JSONDumper", type("Sub", (runset.JSONDumper,), {})),
    ("json", "JSONDumper attribute"): lambda mp: mp.setattr(runset.JSONDumper, "item_separator", ","),
    ("json", "JSONEncoder attribute"): lambda mp: mp.setattr(json.JSONEncoder, "key_separator", ":"),
    ("json", "JSONDumper.default"): replace(runset.JSONDumper, "default"),
    ("json", "JSONEncoder.encode"): lambda mp: mp.setattr(
        json.JSONEncoder, "encode", lambda self, o: "".join(self.iterencode(o))),
    ("json", "iterencode defaults"): lambda mp: mp.setattr(json.JSONEncoder.iterencode, "__defaults__", (True,)),
    ("json", "no C encoder"): lambda mp: mp.setattr(json.encoder, "c_make_encoder", None),
    ("json", "string encoder"): lambda mp: mp.setattr(
        json.encoder, "encode_basestring_ascii", json.encoder.py_encode_basestring_ascii),
    ("json", "json.encoder new name"): add(json.encoder, "isinstance", wrap(isinstance)),
    ("json", "json new name"): add(json, "JSONEncoder_", json.JSONEncoder),
    ("json", "builtins.isinstance"): lambda mp: mp.setattr(builtins, "isinstance", wrap(isinstance)),

    # yaml: the module globals, PyYAML's functions, classes and tables, the standard library it reaches.
    ("yaml", "module yaml global"): lambda mp: mp.setattr(runset, "yaml", types.SimpleNamespace(dump=yaml.dump)),
    ("yaml", "yaml.dump"): replace(yaml, "dump"),
    ("yaml", "yaml.dump_all"): replace(yaml, "dump_all"),
    ("yaml", "yaml.dump defaults"): lambda mp: mp.setattr(
        yaml.dump_all, "__defaults__", (None, yaml.Dumper, None, False, None, None, 40) + (None,) * 7 + (True,)),
    ("yaml", "YAMLDumper global"): lambda mp: mp.setattr(runset, "YAMLDumper", type("Sub", (runset.YAMLDumper,), {})),
    ("yaml", "add_representer"): lambda mp: runset.YAMLDumper.add_representer(int, custom_int),
    ("yaml", "to_yaml entry"): lambda mp: runset.YAMLDumper.add_representer(runset.Task, custom_node),
    ("yaml", "add_multi_representer"): lambda mp: runset.YAMLDumper.add_multi_representer(Opaque, custom_int),
    ("yaml", "increase_indent"): replace(runset.YAMLDumper, "increase_indent"),
    ("yaml", "ignore_aliases"): replace(runset.YAMLDumper, "ignore_aliases"),
    ("yaml", "represent_mapping"): replace(yaml.representer.BaseRepresenter, "represent_mapping"),
    ("yaml", "represent_data"): replace(yaml.representer.BaseRepresenter, "represent_data"),
    ("yaml", "serialize_node"): replace(yaml.serializer.Serializer, "serialize_node"),
    ("yaml", "resolve"): replace(yaml.resolver.BaseResolver, "resolve"),
    ("yaml", "add_implicit_resolver"): lambda mp: runset.YAMLDumper.add_implicit_resolver(
        "tag:yaml.org,2002:bool", yaml.resolver.re.compile("^leaf$"), ["l"]),
    ("yaml", "resolver table in place"): lambda mp: yaml.resolver.Resolver.yaml_implicit_resolvers.setdefault(
        "l", []).append(("tag:yaml.org,2002:bool", yaml.resolver.re.compile("^leaf$"))),
    ("yaml", "write_plain"): replace(yaml.emitter.Emitter, "write_plain"),
    ("yaml", "choose_scalar_style"): replace(yaml.emitter.Emitter, "choose_scalar_style"),
    ("yaml", "Emitter.__init__ defaults"): lambda mp: mp.setattr(
        yaml.emitter.Emitter.__init__, "__defaults__", (None, None, 30, None, None)),
    ("yaml", "escape table"): lambda mp: mp.setitem(yaml.emitter.Emitter.ESCAPE_REPLACEMENTS, "\t", "T"),
    ("yaml", "emitter module global"): lambda mp: mp.setattr(
        yaml.emitter, "ScalarAnalysis", type("Analysis", (yaml.emitter.ScalarAnalysis,), {})),
    ("yaml", "StringIO"): lambda mp: mp.setattr(io, "StringIO", type("Stream", (io.StringIO,), {})),
    ("yaml", "base64.encodebytes"): replace(base64, "encodebytes"),
    ("yaml", "YAML_MAP global"): lambda mp: mp.setattr(runset, "YAML_MAP", "tag:example.com,2000:map"),
    # New names shadow builtins for PyYAML's code.
    ("yaml", "yaml.representer new name"): add(yaml.representer, "sorted", lambda items: list(items)),
    ("yaml", "yaml.serializer new name"): add(yaml.serializer, "isinstance", wrap(isinstance)),
    ("yaml", "yaml.emitter new name"): add(yaml.emitter, "len", wrap(len)),
    ("yaml", "builtins.sorted"): lambda mp: mp.setattr(builtins, "sorted", lambda items: list(items)),
    ("yaml", "base64.MAXBINSIZE"): lambda mp: mp.setattr(base64, "MAXBINSIZE", 30),
    # 3.15's encodebytes wraps by MAXLINESIZE instead.
    ("yaml", "base64.MAXLINESIZE"): lambda mp: mp.setattr(base64, "MAXLINESIZE", 40),
    ("yaml", "base64.binascii"): lambda mp: mp.setattr(base64, "binascii", look_alike(base64.binascii)),
    ("yaml", "ScalarAnalysis.__init__"): replace(yaml.emitter.ScalarAnalysis, "__init__"),
    ("yaml", "ScalarEvent.__init__"): replace(yaml.events.ScalarEvent, "__init__"),
    ("yaml", "ScalarNode.__init__"): replace(yaml.nodes.ScalarNode, "__init__"),
    ("yaml", "Node.__init__"): replace(yaml.nodes.Node, "__init__"),
    # The result classes, whose own code the road runs as known to run nothing else.
    ("yaml", "ResultCounter.items"): replace(ResultCounter, "items"),
    ("yaml", "ResultCounter.__eq__"): replace(ResultCounter, "__eq__"),
    ("yaml", "TestResult.value getter code"): lambda mp: mp.setattr(
        Result.value.fget, "__code__", (lambda self: self._value.upper()).__code__),
    ("yaml", "kovra.results new name"): add(kovra.results, "sum", lambda counts: 99),

    # xml: the module globals and every step of the round trip.
    ("xml", "ET global"): lambda mp: mp.setattr(ledgrin, "ET", look_alike(ET)),
    ("xml", "minidom global"): lambda mp: mp.setattr(ledgrin, "minidom", look_alike(minidom)),
    ("xml", "ET.tostring"): replace(ET, "tostring"),
    ("xml", "ET.ElementTree.write"): replace(ET.ElementTree, "write"),
    ("xml", "ET._serialize_xml"): replace(ET, "_serialize_xml"),
    ("xml", "ET._escape_cdata"): replace(ET, "_escape_cdata"),
    ("xml", "ET._escape_attrib"): replace(ET, "_escape_attrib"),
    ("xml", "ET._serialize['xml']"): lambda mp: mp.setitem(ET._serialize, "xml", wrap(ET._serialize_xml)),
    ("xml", "minidom.parseString"): replace(minidom, "parseString"),
    ("xml", "minidom.Node.toprettyxml"): replace(minidom.Node, "toprettyxml"),
    ("xml", "minidom.Element.writexml"): replace(minidom.Element, "writexml"),
    ("xml", "minidom.Text.writexml"): replace(minidom.Text, "writexml"),
    ("xml", "minidom._write_data"): replace(minidom, "_write_data"),
    ("xml", "minidom.Element._get_attributes"): replace(minidom.Element, "_get_attributes"),
    ("xml", "minidom.Node.TEXT_NODE"): lambda mp: mp.setattr(xml.dom.Node, "TEXT_NODE", 99),
    ("xml", "io.StringIO"): lambda mp: mp.setattr(io, "StringIO", type("Stream", (io.StringIO,), {})),
    ("xml", "minidom new name"): add(minidom, "len", wrap(len)),
    ("xml", "ElementTree new name"): add(ET, "isinstance", wrap(isinstance)),
    ("xml", "builtins.len"): lambda mp: mp.setattr(builtins, "len", wrap(len)),
}


@pytest.mark.parametrize("road, change", sorted(CHANGES), ids=["%s: %s" % key for key in sorted(CHANGES)])
def test_a_changed_piece_sends_the_work_down_the_generic_road(road, change, monkeypatch, restore_tables):
    kind = ROADS[road]
    subject = kind.probe()
    before, generic_ran = kind.fast(subject)
    assert not generic_ran, "the fast road was not taken before the change"
    assert before == kind.generic(subject)
    with monkeypatch.context() as patch:
        CHANGES[road, change](patch)
        after, generic_ran = kind.fast(subject)
        expected = kind.generic(subject)
    assert generic_ran, "the fast road was taken after the change"
    assert after == expected
    # Undone: the fast road again, with the text of before.
    restore_tables()
    assert kind.fast(subject) == (before, False)


def test_changes_that_alter_the_text_are_among_them(monkeypatch):
    # A road that missed these would write the old text, not merely a slower copy.
    line_size = "MAXBINSIZE" if "MAXBINSIZE" in base64.encodebytes.__code__.co_names else "MAXLINESIZE"
    for road, change in [("yaml", "base64." + line_size), ("xml", "minidom.Node.TEXT_NODE"),
                         ("yaml", "yaml.representer new name"), ("yaml", "builtins.sorted"),
                         ("yaml", "TestResult.value getter code"), ("yaml", "kovra.results new name")]:
        kind = ROADS[road]
        subject = kind.probe()
        before = kind.generic(subject)
        with monkeypatch.context() as patch:
            CHANGES[road, change](patch)
            assert kind.generic(subject) != before, change


# ---- changes made by a callback during the dump ---------------------------------------

def change_during_dump(road, effect, restore):
    """The fast outcome and the generic one of a probe whose first opaque value's repr
    makes `effect`, each from the same starting tables."""
    kind = ROADS[road]
    fast = kind.fast(kind.probe(effect))[0]
    restore()
    generic = kind.generic(kind.probe(effect))
    restore()
    return fast, generic


MID_DUMP = {
    "VALUE_IGNORE grows": lambda: runset.VALUE_IGNORE.append("x"),
    "VALUE_IGNORE emptied": lambda: runset.VALUE_IGNORE.clear(),
    "int representer swapped": lambda: runset.YAMLDumper.yaml_representers.__setitem__(
        int, runset.type_representer),
    "float representer swapped": lambda: runset.YAMLDumper.yaml_representers.__setitem__(
        float, yaml.representer.SafeRepresenter.represent_int),
}


@pytest.mark.parametrize("road", ["json", "yaml"])
@pytest.mark.parametrize("effect", sorted(MID_DUMP))
def test_a_change_made_by_a_callback_mid_dump_is_followed(road, effect, restore_tables):
    fast, generic = change_during_dump(road, MID_DUMP[effect], restore_tables)
    assert fast == generic


def test_the_representer_is_chosen_by_the_first_class_of_the_mro(restore_tables):
    odd = Meta("Odd", (), {})()
    node = runset.Task(id="t", seq_num=1)
    node.extra = {"odd": odd, "plain": Opaque("p")}
    result, generic_ran = ROADS["yaml"].fast(node)
    assert result == ROADS["yaml"].generic(node)
    assert "odd: null" in result[1]


# ---- what the YAML road was built for, checked at import ------------------------------

BEFORE_IMPORT = {
    "another PyYAML version": "yaml.__version__ = '5.4.1'",
    "a resolver added before the import": (
        "import re; yaml.SafeDumper.add_implicit_resolver('tag:yaml.org,2002:float', re.compile(r'^\\._$'), ['.'])"),
    "emitter code patched before the import": (
        "import yaml.emitter as e; w = e.Emitter.write_plain\n"
        "def write_plain(self, text, split=True): return w(self, text.replace('leaf', 'LEAF'), split)\n"
        "e.Emitter.write_plain = write_plain"),
    "result code patched before the import": (
        "import kovra.results as r; items = r.ResultCounter.items\n"
        "r.ResultCounter.items = lambda self: list(items(self))[::-1]"),
    "result property patched before the import": (
        "import kovra.results as r\n"
        "r.ResultCounter.total = property(lambda self: 1 + sum(self.data.values()))"),
}

IMPORT_SCRIPT = """
import sys, os, yaml
{change}
from kovra.reporter import runset
node = runset.Task(id="leaf", seq_num=1)
node.extra = {{"dot": "._", "x": 1.5}}
ran = []
folder = os.path.dirname(yaml.__file__)
sys.setprofile(lambda f, e, a: ran.append(1) if e == "call" and f.f_code.co_filename.startswith(folder)
               and f.f_code.co_name in {generic} else None)
text = node.dump_yaml()
sys.setprofile(None)
document = runset.ReportHeader(node).as_dict()
assert text == yaml.dump(document, Dumper=runset.YAMLDumper, default_flow_style=False), text
print("generic" if ran else "fast")
"""


@pytest.mark.parametrize("change", [None] + sorted(BEFORE_IMPORT))
def test_a_pyyaml_other_than_the_one_built_for_keeps_the_yaml_road_off(change):
    script = IMPORT_SCRIPT.format(change=BEFORE_IMPORT.get(change, ""), generic=repr(sorted(YAML_GENERIC)))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          cwd=os.path.dirname(os.path.abspath(__file__)))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == ("fast" if change is None else "generic")


@pytest.mark.parametrize("road", sorted(ROADS))
def test_copying_or_pickling_results_keeps_every_road(road):
    # copyreg caches __slotnames__ in a class's namespace at the first copy or pickle.
    import copy
    import pickle
    counter = ResultCounter()
    counter["passed"] += 1
    for value in (Failed, Result("failed", reason="r"), counter):
        copy.deepcopy(value)
        pickle.loads(pickle.dumps(value))
    assert "__slotnames__" in vars(Result)
    kind = ROADS[road]
    subject = kind.probe()
    result, generic_ran = kind.fast(subject)
    assert not generic_ran and result == kind.generic(subject)


@pytest.mark.parametrize("road, package", [("json", json), ("yaml", yaml), ("xml", xml.dom)])
def test_a_package_gaining_a_submodule_keeps_its_road(road, package, monkeypatch):
    # An import of a submodule binds it in its package: no builtin is shadowed.
    kind = ROADS[road]
    subject = kind.probe()
    monkeypatch.setattr(package, "extra_part", types.ModuleType(package.__name__ + ".extra_part"), raising=False)
    result, generic_ran = kind.fast(subject)
    assert not generic_ran and result == kind.generic(subject)
    # Any other module under a new name is a change.
    monkeypatch.setattr(package, "other_part", types.ModuleType("elsewhere.other_part"), raising=False)
    assert kind.fast(subject)[1]


def refuse(*args, **kwargs):
    raise RuntimeError("replaced mid-dump")


# Names a callback adds to a module a road's generic code reads, or builtins it
# replaces, while the dump runs: (module, name, value). Each alters the generic text
# or raises from then on, so a road that missed them would write the old text.
ADDED_MID_DUMP = {
    ("yaml", "yaml.representer sorted"): (yaml.representer, "sorted", lambda items: list(items)),
    ("yaml", "yaml.serializer isinstance"): (yaml.serializer, "isinstance", refuse),
    ("yaml", "yaml.emitter len"): (yaml.emitter, "len", refuse),
    ("yaml", "builtins sorted"): (builtins, "sorted", lambda items: list(items)),
    # Made and opened before any callback ran: a later change does not reach them.
    ("yaml", "Serializer.open"): (yaml.serializer.Serializer, "open", refuse),
    ("yaml", "Emitter.__init__"): (yaml.emitter.Emitter, "__init__", refuse),
    ("json", "json.encoder isinstance"): (json.encoder, "isinstance", refuse),
    ("json", "json.encoder list"): (json.encoder, "list", refuse),
    ("json", "builtins isinstance"): (builtins, "isinstance", refuse),
}


@pytest.mark.parametrize("road, effect", sorted(ADDED_MID_DUMP), ids=["%s: %s" % key for key in sorted(ADDED_MID_DUMP)])
def test_a_name_added_by_a_callback_mid_dump_is_followed(road, effect):
    module, name, value = ADDED_MID_DUMP[road, effect]
    missing = object()
    saved = module.__dict__.get(name, missing)

    def undo():
        if saved is missing:
            module.__dict__.pop(name, None)
        else:
            setattr(module, name, saved)

    kind = ROADS[road]
    try:
        fast = kind.fast(kind.probe(lambda: setattr(module, name, value)))[0]
    finally:
        undo()
    try:
        generic = kind.generic(kind.probe(lambda: setattr(module, name, value)))
    finally:
        undo()
    assert fast == generic
