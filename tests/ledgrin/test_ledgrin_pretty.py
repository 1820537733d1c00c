"""generate_xml renders the pretty-printed files straight from the element tree: the
same bytes and the same errors as the ET.tostring, minidom.parseString and
toprettyxml round trip, which it leaves to the generic road whenever it cannot
be sure."""
import datetime as dt
import os
import sys
import tempfile
import types
import xml.etree.ElementTree as ET
from xml.dom import minidom

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import legacy_fakes as fakes
from kovra.reporter import ledgrin

T0 = dt.datetime(2026, 12, 8, 10, 0, 0)


def job():
    return types.SimpleNamespace(starttime=T0, stoptime=T0, id="job1", name="nightly", extra={}, summary={},
                                 details=[], tasks=[])


# Replaces a module global with a look-alike that reaches the very same functions:
# the text cannot change, but the renderer may no longer be sure of it.
def look_alike(module):
    return types.SimpleNamespace(**{name: getattr(module, name) for name in dir(module)})


def run(dom, folder, forced_generic=False):
    """generate_xml with `dom` as the details tree: (error, files, whether the generic
    printer ran)."""
    saved = ledgrin.ET
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "toprettyxml":
            calls.append(frame)

    gen = ledgrin.Ledgrin(folder, job())
    gen.qoreport.dom = dom
    if forced_generic:
        ledgrin.ET = look_alike(ET)
    sys.setprofile(profile)
    try:
        gen.generate_xml(None, None)
        error = None
    except Exception as exc:
        error = (type(exc), str(exc))
    finally:
        sys.setprofile(None)
        ledgrin.ET = saved
    files = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as stream:
            files[name] = stream.read()
    return error, files, bool(calls)


def both_roads(dom):
    with tempfile.TemporaryDirectory() as native, tempfile.TemporaryDirectory() as generic:
        return run(dom, native), run(dom, generic, forced_generic=True)


def round_trip(dom):
    return minidom.parseString(ET.tostring(dom, encoding="utf-8")).toprettyxml(indent="  ")


@pytest.fixture(autouse=True)
def legacy(monkeypatch):
    fakes.install(monkeypatch, ledgrin)


# ---- random trees ------------------------------------------------------------------

# Every class of character the three steps treat apart: line breaks in every form,
# tabs, markup, quotes, "]]>", non-ASCII and astral; then characters XML refuses.
ALLOWED = ["a", " ", "\t", "\n", "\r", "\r\n", "\n\r", '"', "'", "&", "<", ">", "]]>", "&amp;", "é", "\x85",
           "\u2028", "\ud7ff", "\ue000", "\ufffd", "\U0001F600", "\x7f"]
REFUSED = ["\x00", "\x01", "\x0b", "\x0c", "\x1f", "\ud800", "\udfff", "\ufffe", "\uffff"]
allowed_text = st.lists(st.sampled_from(ALLOWED), max_size=6).map("".join)
hostile_text = st.lists(st.sampled_from(ALLOWED + REFUSED), max_size=6).map("".join)
names = st.sampled_from(["a", "testStep", "b_c", "d-e.f", "_g1", "Z9"])
odd_names = st.sampled_from(["a b", "1a", "{urn:x}a", "x:a", "é", "", "xmlns", "xmlnsx"])


def trees(text, name, value, depth=4):
    children = st.just([]) if depth == 0 else st.lists(st.deferred(lambda: trees(text, name, value, depth - 1)),
                                                        max_size=3)
    optional = st.one_of(st.none(), st.just(""), text)
    return st.builds(element, name, st.dictionaries(name, value, max_size=3), optional, optional, children)


def element(tag, attrib, text, tail, children):
    elt = ET.Element(tag, attrib)
    elt.text, elt.tail = text, tail
    elt.extend(children)
    return elt


def root_of(tree):
    tree.tail = None
    return tree


SETTINGS = dict(deadline=None, database=None, derandomize=True,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@settings(max_examples=200, **SETTINGS)
@given(trees(allowed_text, names, allowed_text).map(root_of))
def test_trees_it_can_be_sure_of_are_rendered_natively_with_the_round_trip_text(dom):
    (error, files, printed), generic = both_roads(dom)
    assert not printed and error is None
    assert (error, files) == generic[:2]
    with open(os.devnull, "w") as stream:
        expected = round_trip(dom).encode(stream.encoding)
    assert files["ResultsDetails.xml"] == expected


@settings(max_examples=200, **SETTINGS)
@given(trees(hostile_text, st.one_of(names, names, names, odd_names),
             st.one_of(hostile_text, hostile_text, st.none(), st.integers(0, 2))))
def test_hostile_trees_give_the_same_files_or_the_same_error(dom):
    native, generic = both_roads(dom)
    assert native[:2] == generic[:2]


def chain(depth):
    root = elt = ET.Element("a")
    for _ in range(depth - 1):
        elt = ET.SubElement(elt, "a")
    return root


def test_nesting_deep_enough_to_exhaust_recursion_is_left_to_the_round_trip():
    limit = sys.getrecursionlimit()
    natively = []
    for depth in [1, 2, 50, 200] + list(range(limit // 2 - 300, limit + 50, 25)):
        native, generic = both_roads(chain(depth))
        assert native[:2] == generic[:2], depth
        if native[0] is None and not native[2]:
            natively.append(depth)
    assert natively[:4] == [1, 2, 50, 200]
    # Some depths the round trip fails on; the renderer never took those.
    with tempfile.TemporaryDirectory() as folder:
        assert run(chain(limit + 40), folder)[0][0] is RecursionError
    assert max(natively) < limit - 100


# ---- what sends the rendering down the generic road -----------------------------------

def plain_tree():
    root = ET.Element("report", {"job": "j1"})
    ET.SubElement(root, "script", id="t1").text = 'a "q" & <b>\r\n'
    root[0].tail = "\t"
    return root


def with_child(make):
    def build():
        root = plain_tree()
        root[0].append(make())
        return root
    return build


class SubElement(ET.Element):
    pass


class Text(str):
    pass


def setattr_on(tree_factory, attribute, value):
    def build():
        root = tree_factory()
        setattr(root[0], attribute, value)
        return root
    return build


TREES = {
    "Element subclass": with_child(lambda: SubElement("x")),
    "namespaced tag": with_child(lambda: ET.Element("{urn:k}x")),
    "prefixed tag": with_child(lambda: ET.Element("k:x")),
    "invalid tag": with_child(lambda: ET.Element("x y")),
    "non-ASCII tag": with_child(lambda: ET.Element("\u00e9t\u00e9")),
    "tag a str subclass": with_child(lambda: ET.Element(Text("x"))),
    "xmlns attribute": with_child(lambda: ET.Element("x", xmlns="urn:k")),
    "prefixed attribute": with_child(lambda: ET.Element("x", {"k:y": "1"})),
    "attribute value not a str": with_child(lambda: ET.Element("x", y=1)),
    "attribute value None": with_child(lambda: ET.Element("x", y=None)),
    "attribute value a str subclass": with_child(lambda: ET.Element("x", y=Text("1"))),
    "text not a str": setattr_on(plain_tree, "text", 5),
    "false text not a str": setattr_on(plain_tree, "text", 0),
    "text a str subclass": setattr_on(plain_tree, "text", Text("t")),
    "tail not a str": setattr_on(plain_tree, "tail", 5),
    "comment": with_child(lambda: ET.Comment("note")),
    "processing instruction": with_child(lambda: ET.ProcessingInstruction("pi", "x")),
    "control character in text": setattr_on(plain_tree, "text", "a\x01"),
    "control character in a tail": setattr_on(plain_tree, "tail", "\x0c"),
    "control character in an attribute": with_child(lambda: ET.Element("x", y="\x1f")),
    "unpaired surrogate": setattr_on(plain_tree, "text", "\udc80"),
    "non-character": setattr_on(plain_tree, "text", "\uffff"),
    "tail on the root": lambda: element("report", {}, None, "\n", []),
}


@pytest.mark.parametrize("name", list(TREES))
def test_a_tree_it_cannot_be_sure_of_goes_the_generic_road(name):
    native, generic = both_roads(TREES[name]())
    assert native[:2] == generic[:2]
    # Either the generic printer ran, or an earlier generic step failed.
    assert native[2] or native[0] is not None


def test_a_missing_folder_fails_on_the_dump_as_on_the_generic_road(tmp_path):
    assert not run(plain_tree(), str(tmp_path))[2]
    missing = str(tmp_path / "no" / "such")
    gen = ledgrin.Ledgrin(missing, job())
    gen.qoreport.dom = plain_tree()
    with pytest.raises(FileNotFoundError) as info:
        gen.generate_xml(None, None)
    assert info.value.filename.endswith("/xml_rough_string")
    assert info.value.__context__.filename.endswith("/ResultsDetails.xml")


def test_the_dump_holds_the_compact_bytes_when_the_write_fails(tmp_path, monkeypatch):
    def failing_open(path, mode):
        if path.endswith("ResultsDetails.xml"):
            raise OSError("disk full")
        return open(path, mode)

    monkeypatch.setattr(ledgrin, "open", failing_open, raising=False)
    gen = ledgrin.Ledgrin(str(tmp_path), job())
    gen.qoreport.dom = plain_tree()
    with pytest.raises(OSError, match="disk full"):
        gen.generate_xml(None, None)
    assert (tmp_path / "xml_rough_string").read_bytes() == ET.tostring(plain_tree(), encoding="utf-8")
