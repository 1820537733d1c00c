"""generate_xml: the two result files, their printed form, and what a failure leaves."""
import datetime as dt
import os
import types
import xml.etree.ElementTree as ET
from xml.dom import minidom
from xml.parsers.expat import ExpatError

import pytest

import legacy_fakes as fakes
from kovra.reporter import ledgrin
from kovra.reporter.ledgrin import Ledgrin

T0 = dt.datetime(2026, 12, 8, 10, 0, 0, 900000)
T1 = dt.datetime(2026, 12, 8, 10, 0, 1, 100000)


def task(id, details=()):
    return types.SimpleNamespace(id=id, starttime=T0, stoptime=T1, summary={}, details=list(details),
                                 sections=[])


def job(**attrs):
    base = dict(starttime=T0, stoptime=T1, id="job1", name="nightly", extra={"image": "img-1"},
                summary={}, details=[], tasks=[])
    base.update(attrs)
    return types.SimpleNamespace(**base)


@pytest.fixture(autouse=True)
def legacy(monkeypatch):
    fakes.install(monkeypatch, ledgrin)


# The files are minidom's printed form, which changed in 3.13: '"' is no longer
# escaped in text, and tab, line feed and carriage return are escaped in attributes.
def _minidom_prints(xml):
    return minidom.parseString(xml).documentElement.toxml()


QUOT_IN_TEXT = _minidom_prints('<a>"</a>')[3:-4]
LITERAL_WHITESPACE_IN_ATTRIBUTES = _minidom_prints('<a b="&#9;"/>') == '<a b="\t"/>'


def read(folder, name):
    with open(os.path.join(folder, name), encoding="utf-8") as stream:
        return stream.read()


def test_both_files_in_their_printed_form(tmp_path):
    gen = Ledgrin(str(tmp_path), job(host="lab-7", tasks=[task("t1", ["a \"quoted\" <b> & c"])]))
    assert gen.generate_xml(None, None) is None
    assert read(tmp_path, "ResultsDetails.xml") == (
        '<?xml version="1.0" ?>\n'
        '<report job="job1">\n'
        '  <script id="t1">a {q}quoted{q} &lt;b&gt; &amp; c</script>\n'
        '</report>\n'.format(q=QUOT_IN_TEXT))
    assert read(tmp_path, "ResultsSummary.xml") == (
        '<?xml version="1.0" ?>\n'
        '<jobSummary archiveFilename="" kexTreePath="">\n'
        '  <jobName>nightly</jobName>\n'
        '  <image>img-1</image>\n'
        '  <passed>1</passed>\n'
        '  <starttime>2026-12-08 10:00:00.900000</starttime>\n'
        '  <stoptime>2026-12-08 10:00:01.100000</stoptime>\n'
        '  <runtime>0:00:01</runtime>\n'
        '  <testbed/>\n'
        '  <release/>\n'
        '  <submitter/>\n'
        '  <user/>\n'
        '  <debugProfile>0</debugProfile>\n'
        '  <host>lab-7</host>\n'
        '</jobSummary>\n')


def test_summary_attributes_and_the_empty_host(tmp_path):
    gen = Ledgrin(str(tmp_path) + "/", job(archivefile="run.zip", kovrapath="/opt/k", extra={}))
    gen.generate_xml(None, None)
    root = ET.parse(os.path.join(tmp_path, "ResultsSummary.xml")).getroot()
    assert list(root.attrib.items()) == [("archiveFilename", "run.zip"), ("kexTreePath", "/opt/k")]
    assert [child.tag for child in root][-2:] == ["debugProfile", "host"]
    assert root[-1].attrib == {} and root[-1].text is None
    assert root.find("image").text is None and root.find("debugProfile").text == "0"


def test_attribute_values_keep_tab_line_feed_and_carriage_return_literal(tmp_path):
    gen = Ledgrin(str(tmp_path), job())
    dom = ET.Element("report", {"note": "a\tb\nc\rd\"e"})
    ET.SubElement(dom, "empty")
    gen.qoreport.dom = dom
    gen.generate_xml(None, None)
    line = read(tmp_path, "ResultsDetails.xml").splitlines()[1]
    if LITERAL_WHITESPACE_IN_ATTRIBUTES:
        assert line == '<report note="a\tb'
    else:
        assert line == '<report note="a&#9;b&#10;c&#13;d&quot;e">'


def test_every_character_xml_forbids_is_escaped_on_the_way_in(tmp_path):
    forbidden = "".join(chr(c) for c in range(0x20) if c not in (9, 10, 13)) + "\ufffe\uffff\ud800"
    gen = Ledgrin(str(tmp_path), job(tasks=[task("t1", ["console: " + forbidden + " \t end"])]))
    gen.generate_xml(None, None)
    script = ET.parse(os.path.join(tmp_path, "ResultsDetails.xml")).getroot().find("script")
    assert script.text == "console: " + "".join(
        "\\x%02x" % c for c in range(0x20) if c not in (9, 10, 13)) + "\\ufffe\\uffff\\ud800 \t end"
    assert os.path.exists(os.path.join(tmp_path, "ResultsSummary.xml"))


def test_unescaped_forbidden_text_dumps_the_rough_bytes_and_writes_no_summary(tmp_path):
    details = tmp_path / "ResultsDetails.xml"
    details.write_text("earlier run")
    gen = Ledgrin(str(tmp_path), job())
    gen.qoreport.dom = ET.Element("report")
    gen.qoreport.dom.text = "step description \x01"
    with pytest.raises(ExpatError):
        gen.generate_xml(None, None)
    assert (tmp_path / "xml_rough_string").read_bytes() == b"<report>step description \x01</report>"
    assert details.read_text() == "earlier run"
    assert not (tmp_path / "ResultsSummary.xml").exists()


def test_interrupts_are_not_caught(tmp_path, monkeypatch):
    def interrupted(text):
        raise KeyboardInterrupt

    monkeypatch.setattr(ledgrin, "minidom", types.SimpleNamespace(parseString=interrupted))
    with pytest.raises(KeyboardInterrupt):
        Ledgrin(str(tmp_path), job()).generate_xml(None, None)
    assert os.listdir(tmp_path) == []


def test_missing_logsdir_fails_on_the_dump_with_the_first_error_as_context(tmp_path):
    missing = str(tmp_path / "no" / "such")
    with pytest.raises(FileNotFoundError) as info:
        Ledgrin(missing, job()).generate_xml(None, None)
    assert info.value.filename.endswith("/xml_rough_string")
    assert isinstance(info.value.__context__, FileNotFoundError)
    assert info.value.__context__.filename.endswith("/ResultsDetails.xml")
    assert os.listdir(tmp_path) == []


def test_logsdir_must_be_text(tmp_path):
    with pytest.raises(TypeError):
        Ledgrin(tmp_path, job()).generate_xml(None, None)


@pytest.mark.parametrize("attrs", [dict(name=5), dict(archivefile=3)])
def test_non_text_in_the_summary_fails_in_the_serialiser(tmp_path, attrs):
    with pytest.raises(TypeError):
        Ledgrin(str(tmp_path), job(**attrs)).generate_xml(None, None)
    assert os.listdir(tmp_path) == ["ResultsDetails.xml"]


def test_errors_before_rendering_write_nothing(tmp_path):
    with pytest.raises(AttributeError):
        Ledgrin(str(tmp_path), types.SimpleNamespace()).generate_xml(None, None)
    assert os.listdir(tmp_path) == []


def test_each_call_starts_a_new_legacy_run_set(tmp_path):
    gen = Ledgrin(str(tmp_path), job(tasks=[task("t1")]))
    gen.generate_xml(None, None)
    first = gen.qoreport.runset
    gen._runset = job(tasks=[task("t2")])
    gen.generate_xml("client", {"any": 1})
    assert gen.qoreport.runset is not first
    assert [id for id, _ in gen.qoreport.runset.jobexecution.scripts] == ["t2"]
    assert 'id="t2"' in read(tmp_path, "ResultsDetails.xml")


def test_constructor_and_driver_surface(tmp_path):
    report = job()
    gen = Ledgrin(logsdir="/x", runset=report)
    assert list(vars(gen)) == ["qoreport", "logsdir", "_runset"]
    assert isinstance(gen.qoreport, fakes.QOReport) and gen._runset is report
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 3 positional arguments \(2 given\)$"):
        Ledgrin("/x")
    with pytest.raises(TypeError, match=r"^generate_xml\(\) takes exactly 3 positional arguments \(4 given\)$"):
        gen.generate_xml(1, 2, 3)
