"""The intake's fast road (rows read straight from the uploaded text) against the generic road it stands
in for (json.loads, then flatten) and the plain-Python rows (reference/intake.py): the same rows and job
fields (and the plain-Python job fields), or it steps aside and the generic road answers, refusals included; and it steps aside whenever a
piece of the generic road is replaced."""
import json
import math

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from kovra.reporter import _intake
from kovra.reporter.server import intake
from kovra.reporter.server.settings import Settings

from reference import intake as reference
from reports import big_document, main_job_runset
from test_intake_rows import documents as writer_documents

SETTINGS = Settings()


def generic(data, config=SETTINGS, time_text=False):
    """The outcome of the generic road alone."""
    try:
        report = intake.parse_text(intake.unpack(data, config), config)["report"]
        rows = intake.flatten(report, config.max_nodes, config.max_depth, time_text)
    except intake.Refused as refused:
        return ("refused", str(refused), refused.status)
    return ("rows", rows, intake.job_fields(report))


def stored(data, config=SETTINGS, time_text=False, name=None):
    """The outcome of read_snapshot, whichever road it took."""
    try:
        snapshot = intake.read_snapshot(data, {}, config, name, time_text)
    except intake.Refused as refused:
        return ("refused", str(refused), refused.status)
    return ("rows", snapshot.nodes, snapshot.job)


def road(data, config=SETTINGS, time_text=False, name=None):
    """The fast road's (rows, job), or None."""
    return _intake.rows_from_text(data, config.max_nodes, config.max_depth, time_text, name)


def check(text, config=SETTINGS, taken=None):
    """Both roads agree on `text` in both time forms; `taken`: whether the fast road must answer."""
    data = text.encode("utf-8", "surrogatepass") if isinstance(text, str) else text
    for time_text in (False, True):
        expected = generic(data, config, time_text)
        fast = road(data, config, time_text)
        if fast is not None:
            assert expected[0] == "rows", (text[:200], expected)
            assert fast == expected[1:]
            if not time_text:
                # And the plain-Python oracle's rows and job.
                report = intake.parse_text(intake.unpack(data, config), config)["report"]
                assert fast == (reference.flatten(report, config.max_nodes, config.max_depth),
                                reference.job_fields(report))
        if expected[0] == "rows" and not time_text:
            report = intake.parse_text(intake.unpack(data, config), config)["report"]
            assert expected[2] == reference.job_fields(report)
        if taken is not None:
            assert (fast is not None) == taken, text[:300]
        assert stored(data, config, time_text) == stored_form(expected)
    return expected


def stored_form(outcome):
    """What read_snapshot keeps of the roads' rows: NaN and the infinities as the texts naming them."""
    if outcome[0] != "rows":
        return outcome
    rows = list(outcome[1])
    intake.finite_numbers(rows)
    return ("rows", rows, outcome[2])


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(document=writer_documents, max_nodes=st.sampled_from([1, 3, 10, 2_000_000]),
       max_depth=st.sampled_from([1, 2, 3, 4, 5, 7, 400]))
def test_the_writers_text_gives_the_generic_rows(document, max_nodes, max_depth):
    config = Settings(max_nodes=max_nodes, max_depth=max_depth)
    expected = check(document, config)
    if expected[0] == "rows" and max_depth == 400:
        # Far from every limit, text as json.dumps writes it is always the road's.
        assert road(document.encode(), config) is not None


def variants(document):
    """The same document written other ways: each separator and key order, other whitespace."""
    value = json.loads(document)
    yield json.dumps(value, separators=(",", ":"))
    yield json.dumps(value, indent=1)
    yield json.dumps(value, sort_keys=True)
    yield " \n" + document.replace(", ", " ,\t").replace(": ", "\r\n:  ") + "\n "


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(document=writer_documents)
def test_whitespace_and_key_order_keep_the_road(document):
    for text in variants(document):
        check(text, taken=None if generic(text.encode())[0] == "refused" else True)


# Texts that read as the same values but are not as json.dumps writes them: the road steps aside.
NOT_THE_WRITERS = [
    ('"name": "a"', '"name": "\\u0061"'),           # an escape json.dumps does not write
    ('"name": "a"', '"name": "\\/a"'),
    ('"name": "a"', '"name": "caf\u00e9"'),         # raw UTF-8
    ('"name": "a"', '"name": "\\u00E9"'),           # upper-case hex
    ('"name": "a"', '"name": "\\u0008"'),           # \b has its own escape
    ('"name": "a"', '"name": "\x7f"'),              # DEL is escaped by json.dumps
    ('"runtime": 1.5', '"runtime": 1.50'),
    ('"runtime": 1.5', '"runtime": 15e-1'),
    ('"runtime": 1.5', '"runtime": 1.5E0'),
    ('"runtime": 1.5', '"runtime": -0'),
    ('"runtime": 1.5', '"runtime": 1e400'),         # reads as inf, written back as Infinity
    ('"runtime": 1.5', '"runtime": 0.00001'),       # repr writes 1e-05
    ('"runtime": 1.5', '"runtime": 1e16'),          # repr writes 1e+16
    ('"runtime": 1.5', '"runtime": 0.30000000000000001'),
    ('"runtime": 1.5', '"runtime": ' + "7" * 700),  # too long to read back everywhere
    ('"name": "a"', '"name": "a", "name": "b"'),    # a repeated key: the last one wins
    ('"size": 1', '"size": 1, "size": 1'),
    ('"id": "t1"', '"id": "t1", "id": "t2"'),
    ('"tasks": [', '"tasks": null, "tasks": ['),
]


@pytest.mark.parametrize("old, new", NOT_THE_WRITERS)
def test_texts_not_in_the_writers_form_go_the_generic_road(old, new):
    document = json.dumps({"version": "3.2", "report": {
        "id": "r", "name": "a", "runtime": 1.5, "tasks": [
            {"id": "t1", "name": "a", "runtime": 1.5, "logs": {"size": 1}, "sections": [{"id": "s"}]}]}})
    assert old in document
    check(document, taken=True)
    check(document.replace(old, new), taken=False)


@pytest.mark.parametrize("value", [
    "1.5", "1e-05", "-1.25e-07", "1.5e+300", "123456789012345.0", "1234567890123456.0", "1e+16", "0.0001",
    "-0.0", "0.1", "0.30000000000000004", "5e-324", "1.7976931348623157e+308", "2.2250738585072014e-308",
    "NaN", "Infinity", "-Infinity", "0", "-7", "1" + "0" * 400, "true", "null", '"1.5"', "[1.5]"])
def test_numbers_and_constants_as_the_writer_writes_them(value):
    document = '{"version": "3.2", "report": {"id": %s, "runtime": %s, "tasks": [{"id": %s, "x": %s}]}}' % (
        (value,) * 4)
    check(document, taken=True)


@settings(max_examples=300, deadline=None)
@given(number=st.one_of(st.floats(), st.floats(-1e6, 1e6), st.floats(-1e-3, 1e-3),
                        st.integers(-10 ** 20, 10 ** 20)))
def test_every_number_json_dumps_writes_is_taken(number):
    text = json.dumps(number)
    check('{"version": "3.2", "report": {"id": "r", "runtime": %s, "tasks": [{"id": %s}]}}' % (text, text),
          taken=True)
    # The same value in other spellings: the road answers only where it gives the same rows.
    if isinstance(number, float) and math.isfinite(number):
        for other in ("%.17g" % number, "%.15e" % number, "%r0" % number if "." in repr(number) else "1.0"):
            check('{"version": "3.2", "report": {"id": "r", "runtime": %s}}' % other)


@settings(max_examples=200, deadline=None)
@given(value=st.text(alphabet=st.characters() | st.sampled_from(["\ud800", "\udfff", "\ud83d"]),
                     max_size=8))
def test_strings_as_json_dumps_writes_them(value):
    # Lone surrogates and the pairs json.loads joins, controls, DEL, markup.
    written = json.dumps(value)
    check('{"version": "3.2", "report": {"id": %s, "type": %s, "result": {"value": %s}, "starttime": %s, '
          '"tasks": [{"id": %s}, {"id": %s}]}}' % ((written,) * 6), taken=True)
    check('{"version": "3.2", "report": {"id": %s}}' % json.dumps(value, ensure_ascii=False),
          taken=value.isascii() and "\x7f" not in value)


def test_surrogate_pairs_are_one_character_as_json_loads_reads_them():
    types = [check('{"version": "3.2", "report": {"id": "r", "type": %s}}' % escaped, taken=True)[1][0][4]
             for escaped in ('"\\ud83d\\ude00"', '"\\ud83d\\ud83d\\ude00"', '"\\ude00\\ud83d"',
                             '"\\ud83dx\\ude00"', '"x\\ud83d"')]
    assert types == ["\U0001f600", "?\U0001f600", "??", "?x?", "x?"]


MUTATIONS = [" ", "\n", "\\u0041", "\\/", "\u00e9", "\x00", "0", "-", "e5", ",", '"id": 1, ', "NaN", "}", "]",
             "\t", '"', "\\", "[", "{", "1", ":", "\ufeff"]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(document=writer_documents, edits=st.lists(st.tuples(st.floats(0, 1), st.sampled_from(MUTATIONS),
                                                           st.integers(0, 2)), min_size=1, max_size=3))
@example(document='{"version": "3.2", "report": {"id": "r"}}', edits=[(0.0, "\ufeff", 0)])
@example(document='{"version": "3.2", "report": {"id": "r"}}', edits=[(1.0, "x", 0)])
def test_damaged_texts_give_the_generic_answer(document, edits):
    # Inserted, replacing, or a character dropped: mostly text json.loads refuses; every answer the same.
    for where, piece, how in edits:
        at = int(where * len(document))
        document = (document[:at] + piece + document[at + (how == 1):] if how < 2
                    else document[:at] + document[at + 1:])
    check(document)


@pytest.mark.parametrize("text", [
    "", "[]", "null", '"x"', "{}", '{"version": "3.2"}', '{"version": "3.1", "report": {"id": "r"}}',
    '{"version": 3.2, "report": {"id": "r"}}', '{"version": "3.2", "report": []}',
    '{"version": "3.2", "report": {"id": "r"}} x', '{"version": "3.2", "report": {"id": "r"}}\x00',
    '\ufeff{"version": "3.2", "report": {"id": "r"}}', '{"version": "3.2", "report": {"id": "r"}, "report": {}}',
    '{"version": "3.2", "report": {"tasks": []}}', '{"version": "3.2", "report": {"id": "r", "tasks": 5}}',
    '{"version": "3.2", "report": {"id": "r", "sections": [1]}}',
    '{"version": "3.2", "report": {"id": "r", "sections": [{"name": "no id"}]}}',
    '{"version": "3.2", "report": {"id": "r", "x": ' + "[" * 500 + "]" * 500 + '}}',
    '{"version": "3.2", "other": ' + "[" * 5000 + "]" * 5000 + ', "report": {"id": "r"}}',
    '{"version": "3.2", "report": {"id": "r"}, "other": 1' + "0" * 5000 + '}',
])
def test_refused_and_odd_documents(text):
    check(text, taken=False)


@pytest.mark.parametrize("runset", [
    {"id": "nightly", "result": {"value": "Passed"}, "health_result": "warn", "runtime": 12,
     "starttime": "2026-01-01 12:00:00.5", "stoptime": "2026-01-02T00:00:00+01:00"},
    {"id": "j", "summary": {"passed": 3, "failed": 0, "errored": 2, "aborted": True, "skipped": 1.5}},
    {"id": "j", "summary": {"blocked": -1, "x": {"failed": 1}, "passed": [1]}, "health_result": {"value": 7}},
    {"id": "j", "summary": [["failed", 1]], "result": ["failed"], "health_result": {"reason": "r"}},
    {"id": "j", "summary": {"failed": 10 ** 40, "\u00e9t\u00e9": 1, "<b>": 2}, "result": None},
    {"id": 17, "runtime": 1e300, "starttime": "yesterday", "stoptime": 5},
    {"id": "", "result": "x" * 60, "health_result": "\u0000\ud800"},
    {"id": {"a": [1, "<&>"]}, "runtime": True},
    {"id": "\ud83d\ude00" * 600, "summary": {}},
])
@pytest.mark.parametrize("name", [None, "", "sent \u00e9"])
def test_the_job_fields_of_odd_run_sets(runset, name):
    # Each road's job (and the plain-Python one) for the same run set, whichever road the text takes.
    document = {"version": "3.2", "report": runset}
    report = json.loads(json.dumps(runset))
    for text in (json.dumps(document), json.dumps(document, ensure_ascii=False)):
        data = text.encode("utf-8", "surrogatepass")
        outcome = stored(data, name=name)
        if outcome[0] == "refused" and text != json.dumps(document):
            continue  # raw lone surrogates are not UTF-8
        check(text)
        assert outcome[2] == reference.job_fields(report, name) == intake.job_fields(report, name)
        fast = road(data, name=name)
        if fast is not None:
            assert fast[1] == outcome[2]


def test_limits_of_nesting_and_node_count():
    deep = '{"version": "3.2", "report": {"id": "r", "tasks": [{"id": "a", "x": %s}]}}'
    for levels in range(1, 6):
        for max_depth in range(1, 10):
            check(deep % ("[" * levels + "]" * levels), Settings(max_depth=max_depth))
    # A duplicate sibling's deep id: the generic road skips the node, the road steps aside.
    text = '{"version": "3.2", "report": {"id": "r", "tasks": [{"id": "a"}, {"id": "a", "x": [[1]]}]}}'
    for max_depth in range(1, 8):
        check(text, Settings(max_depth=max_depth))
    document = json.dumps(big_document(2, 3))
    for max_nodes in (8, 9, 10):
        check(document, Settings(max_nodes=max_nodes), taken=max_nodes >= 9)
    assert generic(document.encode(), Settings(max_nodes=8)) == ("refused", "the report has more than 8 nodes", 413)


def test_siblings_with_one_id_each_keep_their_row_and_child_lists_in_any_order():
    text = json.dumps({"version": "3.2", "report": {
        "id": "r", "sections": [{"id": "s", "n": 1}, {"id": "t"}, {"id": "s", "n": 2, "sections": [{"id": "x"}]},
                                {"id": {"id": "t", "position": 3}}],
        "tasks": [{"id": "s", "n": 0}], "tasks_after": None}})
    rows = check(text, taken=True)[1]
    # The first "s" (tasks before sections) by its id; the later ones, and the object id that looks
    # like such a step, by their positions.
    assert [row[0] for row in rows] == [
        "[]", '["s"]', '[{"id":"s","position":1}]', '["t"]', '[{"id":"s","position":3}]',
        '[{"id":"s","position":3},"x"]', '[{"id":{"id":"t","position":3},"position":4}]']
    assert [row[2] for row in rows] == [0, 0, 1, 2, 3, 0, 4]
    assert json.loads(rows[0][9])["tasks"] == ["s"] and json.loads(rows[0][10]) == [
        "s", "s", "t", "s", {"id": "t", "position": 3}]
    assert [json.loads(row[9]).get("n") for row in rows[1:5]] == [0, 1, None, 2]


def test_reports_of_the_framework_and_large_ones(tmp_path):
    job = main_job_runset(tmp_path, tasks=3, sections=4)
    assert check(job.dump_json(), taken=True)[0] == "rows"
    text = json.dumps(big_document(5, 40, steps=3, payload="<&>\u00e9\ud800"))
    assert len(check(text, taken=True)[1]) == 1 + 5 + 5 * 40 * 4
    # gzip as the client sends it elsewhere than to loopback: unpacked first, then the same road.
    import gzip
    assert stored(gzip.compress(text.encode()))[1:] == road(text.encode())


def _replacements():
    import json.decoder
    import json.scanner

    def wrapped(function):
        def replacement(*args, **kwargs):
            return function(*args, **kwargs)
        return replacement

    return [
        (json, "loads", wrapped(json.loads)),
        (json, "_default_decoder", json.JSONDecoder()),
        (json._default_decoder, "parse_float", lambda text: float(text)),
        (json.decoder, "scanstring", json.decoder.py_scanstring),
        (json.decoder.JSONDecoder, "decode", wrapped(json.decoder.JSONDecoder.decode)),
        (json.scanner, "make_scanner", json.scanner.py_make_scanner),
        (intake, "json", json),  # the same module bound anew: still the same object, the road stays
        (intake, "flatten", wrapped(intake.flatten)),
        (intake, "parse_text", wrapped(intake.parse_text)),
        (intake, "Refused", type("Refused", (intake.Refused,), {})),
    ]


@pytest.mark.parametrize("index", range(len(_replacements())))
def test_a_replaced_piece_of_the_generic_road_turns_the_road_aside(index, monkeypatch):
    owner, name, replacement = _replacements()[index]
    data = json.dumps(big_document(1, 2)).encode()
    assert road(data) is not None
    monkeypatch.setattr(owner, name, replacement)
    still = owner is intake and name == "json"
    assert (road(data) is not None) == still
    assert stored(data) == generic(data)
    monkeypatch.undo()
    assert road(data) is not None


def test_a_flatten_that_answers_otherwise_is_what_read_snapshot_uses(monkeypatch):
    data = json.dumps(big_document(1, 2)).encode()
    monkeypatch.setattr(intake, "flatten", lambda *args: [("[]", None, 0, 0, None, None, None, None, None,
                                                          '{"id":"x"}', "[]")])
    assert intake.read_snapshot(data, {}, SETTINGS).nodes[0][9] == '{"id":"x"}'
