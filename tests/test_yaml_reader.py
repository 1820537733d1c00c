"""The native YAML reader (kovra.reporter._yaml, through yaml_load) against yaml.safe_load.

Every text goes to both; the results must be equal in type, value and key
order, or both sides must refuse the text. Texts come from the report emitter
over random data, from hand-written YAML 1.1 documents covering every implicit
type and style, and from mutations of those documents.
"""
import datetime
import importlib.util
import math
import os

import pytest
import yaml
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from kovra.reporter import _yaml, runset, yaml_load

HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location("yaml_native_cases", os.path.join(HERE, "runset", "test_yaml_native.py"))
cases = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(cases)

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
# What SafeLoader's own steps raise besides YAMLError for a malformed explicit value.
REFUSALS = (yaml.YAMLError, ValueError, KeyError, TypeError, AttributeError, IndexError, OverflowError, RecursionError)


def canonical(value, seen=()):
    """The value as nested tuples naming every type, so == also compares types, key order and NaN."""
    if id(value) in seen:
        return ("cycle", seen.index(id(value)))
    inner = seen + (id(value),)
    if isinstance(value, dict):
        return ("dict",) + tuple((canonical(k, inner), canonical(v, inner)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return (type(value).__name__,) + tuple(canonical(v, inner) for v in value)
    if isinstance(value, set):
        return ("set",) + tuple(sorted(repr(canonical(v, inner)) for v in value))
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else value.hex())
    if isinstance(value, datetime.datetime):
        return ("datetime", value.isoformat(), repr(value.tzinfo))
    return (type(value).__name__, value)


def outcome(load, text):
    try:
        return canonical(load(text))
    except REFUSALS:
        return "refused"


def native(text):
    return yaml_load.load(text, aliases=True)


def assert_same(text):
    expected = outcome(lambda t: yaml.load(t, Loader=yaml.SafeLoader), text)
    assert outcome(native, text) == expected, text
    return expected


# ------------------------------------------------------------ the emitter's text

@SETTINGS
@given(value=cases.values)
def test_the_report_emitters_text_reads_back_as_safe_load_reads_it(value):
    # Some values dump to text no loader takes back (a zone of seconds): refused on both sides then.
    assert_same(cases.node_holding(value).dump_yaml())


@SETTINGS
@given(value=cases.any_text, key=st.sampled_from(["name", "id", "type"]))
def test_emitted_text_in_every_style(value, key):
    text = cases.node_holding(value, key).dump_yaml()
    assert_same(text)
    # The module itself differs only where libyaml refuses a lone surrogate's escape.
    try:
        assert canonical(_yaml.load(text)) == outcome(yaml.safe_load, text)
    except _yaml.ReadError as error:
        assert "invalid Unicode character escape code" in error.problem and "\\uD" in text


def test_a_whole_job_reads_back_the_same(tmp_path):
    job = runset.RunSet(id="job", seq_num=0)
    job.start(job_type="nightly", host="h")
    for t in range(3):
        task = job.add_task(id="t%d" % t, seq_num=t)
        task.start(parameters={"n": t, "when": datetime.datetime(2020, 1, 2, 3, 4, 5, 6000)})
        for s in range(3):
            section = task.add_section(id="s%d" % s, seq_num=s)
            section.start(description="line one\nline two  ")
            section.stop()
        task.stop()
    job.stop(num_tasks=3)
    text = job.dump_yaml()
    assert canonical(_yaml.load(text)) == canonical(yaml.safe_load(text))
    assert canonical(_yaml.load(text.encode("utf-16"))) == canonical(yaml.safe_load(text.encode("utf-16")))


# ---------------------------------------------------- YAML 1.1, written by hand

DOCUMENTS = [
    # bools, nulls
    "[yes, Yes, YES, no, No, NO, true, True, TRUE, false, False, FALSE, on, On, ON, off, Off, OFF, y, n, yES]",
    "[~, null, Null, NULL, nULL, '', , 'null', !!null x, !!null '']",
    "a:\nb: ~\n? c\n",
    # ints in every base, with _, sexagesimal
    "[0, -0, +0, 7, -7, +7, 1_000, 0b1010, -0b1_0, 0x1F, 0xff_FF, -0x1, 017, 0_17, 08, 0o17, 190:20:30, -1:30, "
    "1:60, 1:5:9, 123456789012345678901234567890, 0b, 0x, 00, 0_, 1__2]",
    "[!!int '017', !!int ' 12 ', !!int '0x_', !!int '', !!int '-', !!int '1:2', !!int 'abc', !!int '٣']",
    # floats
    "[1.0, -1.5, +.5, .5, 1., 1.e+3, 1.5e-3, 1.5e3, 1e5, 6.8523015e+5, 685.230_15e+03, 685_230.15, 190:20:30.15, "
    "-1:30.5, .inf, -.Inf, +.INF, .nan, .NaN, .NAN, -.nan, ._, 1_2.3_4, 0.1.2, 1:60.5]",
    "[!!float '1', !!float ' 2.5 ', !!float '-.nan', !!float 'x', !!float '1:30', !!float '', !!float '١.٥']",
    "{.nan: 1, .nan: 2}",
    # timestamps with and without zone
    "[2001-12-14, 2001-12-14t21:59:43.10-05:00, 2001-12-14 21:59:43.10 -5, 2001-12-15T02:59:43.1Z, "
    "2001-12-14 21:59:43.10, 2002-12-14 1:02:03 +00:00, 2001-12-14 21:59:43.1234567 +05:30, 2001-1-1, "
    "2001-12-14  21:59:43 Z, 2001-12-14 21:59:43., 2001-12-14\t21:59:43 +5:30]",
    "[!!timestamp 2001-1-1, !!timestamp '2001-12-14 1:02:03 -00:00', !!timestamp x, !!timestamp 2001-13-01, "
    "!!timestamp 2001-12-14 25:00:00, !!timestamp 2001-12-14 1:00:00 +99]",
    # merge keys
    "base: &b {x: 1, y: 2}\nother:\n  <<: *b\n  y: 3\n",
    "a: &a {x: 1}\nb: &b {x: 2, y: 2}\nc: {<<: [*a, *b], z: 3}\nd: {z: 0, <<: [*b, *a]}\n",
    "{<<: {a: 1}, a: 2, <<: {b: 3, <<: {c: 4}}}",
    "- &l [{a: 1}, {a: 2, b: 2}]\n- {<<: *l}\n",
    "{<<: 1}", "{<<: [1]}", "{<<: [[{}]]}", "- <<\n", "k: <<", "{=: 1, a: =}", "{=: 1}",
    "{<<: !foo {a: 1}}", "{<<: !!omap [a: 1]}",
    # !!binary, !!set, !!omap, !!pairs
    "!!binary aGVsbG8gd29ybGQ=", "!!binary |\n  aGVs\n  bG8=\n", "!!binary 'a'", "!!binary é",
    "!!set {a, b, 1, true}", "!!set {? a, ? [1]}", "!!set [a]",
    "!!omap [a: 1, b: 2, a: 3]", "!!pairs [a: 1, a: 2]", "!!omap [a: 1, b]", "!!omap [{a: 1, b: 2}]",
    "!!omap {a: 1}", "!!omap [{<<: {a: 1}}]", "!!pairs [{[1]: 2}]",
    # explicit tags, non-specific tags, unknown tags
    "[!!str 12, !!str, ! 12, ! '12', ! yes, ! '', '!', ! '*', !!seq [1], !!map {a: 1}, !!str [1], !!seq {a: 1}]",
    "[!foo x]", "!<tag:yaml.org,2002:int> '12'", "%TAG !e! tag:yaml.org,2002:\n---\n!e!int '0x10'\n",
    "[!!python/tuple [1, 2]]", "!!merge x", "!!value x",
    # flow and block styles, every scalar style and line folding
    "a:\n  - b\n  -  c: d\n     e: f\n  - [g, {h: i}]\n",
    "plain: multi\n  line\n\n  text\nsingle: 'it''s\n  folded'\ndouble: \"esc \\t \\u263A \\x41 \\\\ \\\"\n  next\"\n",
    "lit: |\n  a\n   b\n\n  c\nkeep: |+\n  a\n\nstrip: |-\n  a\nfold: >\n  a\n  b\n\n  c\n   d\n  e\nind: |2\n   x\n",
    "? complex key\n: value\n? [a, b]\n: c\n", "[a, b]: c", "{a: 1, a: 2}", "a: 1\na: 2\n",
    "- !!str\n- &x 1\n- *x\n- *y\n", "&a [*a]", "&a {x: *a}", "- &a 1\n- &a 2\n",
    "--- a\n...\n", "---\n", "", "# only a comment\n", "- 1\n--- \n- 2\n", "\ufeffa: 1",
    "%YAML 1.1\n--- x", "a: b: c", "[a, b", "'unterminated", "\"\\ud800\"", "\"\\x\"", "a:\tb", "\x01",
]
# Where libyaml's scanner and PyYAML's part: text libyaml takes and PyYAML refuses...
LIBYAML_LENIENT = ["a: b\t", "[a\tb]", "- \tx", "%YAML\t1.1\n--- x", "a: |\t\n  x\n", "|#x", "{a?b: 1}",
                   "[x, a ?b]", "!~!x a", "{<<: !~!x {a: 1}}", "[!!map{a: 1}]", "a: 1 \t# comment",
                   "%YAML 1.1#\n--- x"]
# ... and text PyYAML takes and libyaml refuses, or reads otherwise: the reader
# reports these as 'unsupported' and yaml_load has PyYAML's own loader read them.
LIBYAML_STRICT = ["\"\\udc80 lone\"", "%FOO bar\n--- x", "%YAML 1.3\n--- x", "[a:, b]", "{=:}", "[?]", "[a, ?, b]", "[a, ?, :b]",
                  "[!!str, a]", "{<<: !foo, {a: 1}}", "{<<: !!,omap [a: 1]}", "lit: |\n  \ta\n", "\n\ufeffa: 1",
                  "\ufeff\ufeffa: 1", "{<<: !foo,& {a: 1}}", "{<<: !foo]* {a: 1}}"]
DOCUMENTS += LIBYAML_LENIENT + LIBYAML_STRICT + ["a: 1 # tab\tin a comment", "'tab\tquoted'", "|\n  tab\tin text\n"]


@pytest.mark.parametrize("text", DOCUMENTS)
def test_hand_written_documents(text):
    assert_same(text)


@pytest.mark.parametrize("text", LIBYAML_STRICT)
def test_what_libyaml_reads_otherwise_is_left_to_pyyaml(text):
    with pytest.raises(_yaml.ReadError) as e:
        _yaml.load(text)
    assert e.value.reason == "unsupported", str(e.value)
    assert_same(text)


SCALAR_FORMS = ["%s", "! %s", "'%s'", '"%s"', "!!int '%s'", "!!float '%s'", "!!bool '%s'", "!!timestamp '%s'",
                "!!null '%s'", "!!str '%s'", "{%s: k}", "[%s]"]


@SETTINGS
@given(value=cases.look_alike, form=st.sampled_from(SCALAR_FORMS))
def test_look_alike_scalars_in_every_form(value, form):
    assume("'" not in value and '"' not in value and "\\" not in value)
    assert_same(form % value)


@SETTINGS
@given(document=st.sampled_from(DOCUMENTS), data=st.data())
def test_mutated_documents_are_refused_or_read_alike(document, data):
    text = document
    for _ in range(data.draw(st.integers(1, 3))):
        at = data.draw(st.integers(0, len(text)))
        action = data.draw(st.sampled_from(["insert", "delete", "swap"]))
        if action == "insert":
            text = text[:at] + data.draw(st.sampled_from(list(" \n\t-:?,[]{}&*!|>'\"#%@`<=.0x~"))) + text[at:]
        elif action == "delete":
            text = text[:at] + text[at + 1:]
        else:
            text = text[:at] + text[at:at + 2][::-1] + text[at + 2:]
    assert_same(text)


# ----------------------------------------------------------------- the bounds

def test_nesting_is_bounded_before_anything_recurses():
    assert _yaml.load("[" * 5 + "]" * 5, max_depth=5) == [[[[[]]]]]
    for text in ("[" * 6 + "]" * 6, "{a: " * 6 + "x" + "}" * 6, "- " * 6 + "x"):
        with pytest.raises(_yaml.ReadError, match=r"^nested too deeply \(more than 5 levels\) at line 1 column") as e:
            _yaml.load(text, max_depth=5)
        assert e.value.reason == "depth"
    with pytest.raises(yaml_load.ReadError) as e:
        yaml_load.load("[" * 200_000)
    assert (e.value.reason, e.value.line) == ("depth", 1)


def test_aliases_are_refused_on_request_and_counted_as_what_they_stand_for():
    text = "a: &a [1, 2, 3]\nb: *a\n"
    assert _yaml.load(text)["b"] is _yaml.load(text, aliases=True)["b"] or True
    with pytest.raises(_yaml.ReadError) as e:
        _yaml.load(text, aliases=False)
    assert (e.value.reason, e.value.line, e.value.column) == ("alias", 2, 4)
    assert str(e.value) == "found an alias (*a); aliases are refused here at line 2 column 4"
    # 1 mapping + 2 keys + 4 for the list, and 4 again for the alias.
    assert _yaml.load(text, max_nodes=11) == {"a": [1, 2, 3], "b": [1, 2, 3]}
    with pytest.raises(_yaml.ReadError, match="more than 10 nodes") as e:
        _yaml.load(text, max_nodes=10)
    assert e.value.reason == "nodes"
    laughs = "a: &a [x, x, x, x, x, x, x, x, x]\n" + "".join(
        "%s: &%s [%s]\n" % (n, n, ", ".join(["*" + p] * 9)) for p, n in zip("abcdefgh", "bcdefghi"))
    with pytest.raises(_yaml.ReadError, match="more than 20000000 nodes"):
        _yaml.load(laughs)


def test_errors_are_one_line_with_line_and_column():
    for text, where in [("a: [1, 2\nb: 3\n", (2, 2)), ("a: !!int x\n", (1, 4)), ("- 1\n- {[1]: 2}\n", (2, 3)),
                        ("x: 1\n---\ny: 2\n", (2, 1)), ("a: *nothing\n", (1, 4))]:
        with pytest.raises(yaml_load.ReadError) as e:
            yaml_load.load(text, aliases=True)
        assert "\n" not in str(e.value) and (e.value.line, e.value.column) == where, (text, str(e.value))
        assert str(e.value).endswith("at line %d column %d" % where) and isinstance(e.value, ValueError)


def test_inputs_of_every_kind():
    assert _yaml.load(b"a: 1") == _yaml.load(bytearray(b"a: 1")) == _yaml.load(memoryview(b"a: 1")) == {"a": 1}
    assert _yaml.load("é: ü".encode("utf-16-be").join([b"\xfe\xff", b""])) == {"é": "ü"}
    with pytest.raises(_yaml.ReadError, match="lone surrogate.* at line 2 column 3"):
        _yaml.load("a: 1\nb:\ud800")
    with pytest.raises(_yaml.ReadError):
        _yaml.load(b"a: \xff")

    # The module's own refusals carry the attributes of every other ReadError.
    for data, problem, line, column in [
            ("a: 1\nb:\ud800", "special characters are not allowed (a lone surrogate)", 2, 3),
            (b"\xff\xfea\x00\x00\xd8", "not UTF-16 text: 'utf-16-le' codec can't decode bytes in position 4-5: "
             "unexpected end of data", 1, 1)]:
        with pytest.raises(_yaml.ReadError) as caught:
            _yaml.load(data)
        error = caught.value
        assert (error.problem, error.line, error.column, error.reason) == (problem, line, column, "invalid")
        assert str(error) == "%s at line %d column %d" % (problem, line, column)
    with pytest.raises(TypeError):
        _yaml.load(12)
    with pytest.raises(ValueError, match="max_depth must be at least 1"):
        _yaml.load("a", max_depth=0)


def test_the_collectors_state_is_kept():
    import gc
    try:
        for enabled in (True, False):
            (gc.enable if enabled else gc.disable)()
            _yaml.load("a: [1, {b: 2}]")
            assert gc.isenabled() is enabled
            with pytest.raises(_yaml.ReadError):
                _yaml.load(b"a: [1, {b: 2}")
            assert gc.isenabled() is enabled
    finally:
        gc.enable()
