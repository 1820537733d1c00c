"""The rows the server stores, made natively in one pass, against the plain-Python rows they replaced
(reference/intake.py): the same rows, the same refusals, the same report left behind."""
import datetime
import json
import math

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from kovra.reporter.server import intake
from kovra.reporter.server.storage import _sqlite_time
from reference import intake as reference

from reports import big_document, main_job_runset


def outcome(flatten, document, max_nodes, max_depth, **options):
    report = json.loads(document)["report"]
    try:
        rows = flatten(report, max_nodes, max_depth, **options)
    except intake.Refused as refused:
        return ("refused", str(refused), refused.status)
    # NaN is not equal to itself: compared by its text.
    return ("rows", rows, json.dumps(report))


def same(document, max_nodes=2_000_000, max_depth=400):
    native = outcome(intake.flatten, document, max_nodes, max_depth)
    assert native == outcome(reference.flatten, document, max_nodes, max_depth)
    # With the times as SQLite keeps them: the text the storage made of the datetimes before.
    as_text = outcome(intake.flatten, document, max_nodes, max_depth, time_text=True)
    if native[0] == "rows":
        native_text = [row[:6] + (_sqlite_time(row[6]), _sqlite_time(row[7])) + row[8:] for row in native[1]]
        assert as_text == ("rows", native_text, native[2])
    else:
        assert as_text == native
    return native


texts = st.one_of(st.text(max_size=6), st.sampled_from(["<b>&amp;", "caf\u00e9", "\ud800x", "a\x00b", "\u2028",
                                                         "x" * 250, "p\u00e9" * 30, "\U0001f600"]))
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.integers(min_value=10 ** 299, max_value=10 ** 301),
                    st.floats(), texts)
values = st.recursive(scalars, lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                        st.dictionaries(st.text(max_size=4), inner, max_size=3)),
                      max_leaves=12)
times = st.one_of(st.sampled_from(["2026-01-01 00:00:00.000001", "2026-02-30 00:00:00", "2026-01-01T10:00:00Z",
                                   "2026-01-01T10:00:00+02:00", "20260101T100000", "nonsense", "", "2024-02-29 23:59:59",
                                   "2023-02-29 10:00:00.5", "0000-01-01 00:00:00", "2026-01-01 24:00:00.000000",
                                   "2026-01-01 10:00:00,000001", "2026-01-01 10:00:00.12345", "\uff12026-01-01 00:00:00"]),
                  st.from_regex(r"\A[0-9]{4}-[0-9]{2}-[0-9]{2}[ T][0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]{6})?\Z"), values)
ids = st.one_of(texts, st.integers(-3, 3), values)
columns = st.fixed_dictionaries({}, optional={
    "type": st.one_of(texts, values), "result": st.one_of(texts, st.fixed_dictionaries({"value": values}), values),
    "starttime": times, "stoptime": times,
    "runtime": st.one_of(st.floats(), st.integers(), st.booleans(), st.integers(10 ** 299, 10 ** 301), values),
    "extra": values})


def nodes(depth):
    children = st.none() if depth == 0 else st.lists(nodes(depth - 1), max_size=2)
    # Now and then a node the server refuses: no id, a child list that is not one, a child that is no node.
    oddities = st.one_of(st.just({}), st.just({"tasks": 5}), st.just({"sections": [3]}),
                         st.just({"sections": [{"name": "no id"}]}))
    return st.builds(lambda made, i, kids, sections, odd, drop: (
        {k: v for k, v in dict(dict(made, id=i, tasks=kids, sections=sections), **odd).items()
         if not (drop and k == "id")}),
        columns, ids, children, children, st.one_of(st.just({}), st.just({}), st.just({}), oddities),
        st.integers(0, 9).map(lambda n: n == 0))


documents = st.builds(lambda report: json.dumps({"version": "3.2", "report": report}), nodes(3))


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(document=documents, max_nodes=st.sampled_from([1, 3, 10, 2_000_000]),
       max_depth=st.sampled_from([1, 2, 3, 4, 5, 7, 400]))
@example(document='{"version":"3.2","report":{"id":"r","tasks":[{"id":"a"},{"id":"a","x":1}]}}',
         max_nodes=10, max_depth=400)
def test_random_reports_give_the_reference_rows_or_its_refusal(document, max_nodes, max_depth):
    same(document, max_nodes, max_depth)


@pytest.mark.parametrize("report, message", [
    ({"tasks": []}, "[]: the node has no id"),
    ({"id": "r", "tasks": {"a": 1}}, "[]: 'tasks' is not a list"),
    ({"id": "r", "sections": [{"id": "a"}, []]}, "[]: sections[1] is not a report node with an id"),
    ({"id": "r", "tasks": [{"id": "<a>", "sections": [{"x": 1}]}]}, '["<a>"]: sections[0] is not a report node with an id'),
    ({"id": "r", "extra": [[[[1]]]]}, "the report is nested deeper than 5 levels"),
    ({"id": "r", "tasks": [{"id": "a", "extra": {"b": {}}}]}, "the report is nested deeper than 5 levels"),
])
def test_refusals_name_the_node_and_the_reason(report, message):
    found = same(json.dumps({"version": "3.2", "report": report}), max_depth=5)
    assert found == ("refused", message, 400)


def test_too_many_nodes_is_a_413():
    document = json.dumps(big_document(2, 3))
    assert same(document, max_nodes=9)[0] == "rows"
    assert same(document, max_nodes=8) == ("refused", "the report has more than 8 nodes", 413)


def test_the_columns_of_odd_values():
    report = {"id": "r", "tasks": [{"id": "<t>&", "type": "T\x00\ud800" + "y" * 300, "result": {"value": "x" * 50},
                                     "starttime": "2026-01-01T10:00:00+02:00", "stoptime": "2026-13-01",
                                     "runtime": 10 ** 301, "sections": [{"id": 1.5, "runtime": True},
                                                                        {"id": [1, "<"], "runtime": 7}]}]}
    kind, rows, _ = same(json.dumps({"version": "3.2", "report": report}))
    task = rows[1]
    assert task[:4] == ('["<t>&"]', "[]", 0, 1)
    assert task[4] == "T\ufffd?" + "y" * 197 and task[5] == "x" * 40
    assert task[6].utcoffset().total_seconds() == 7200 and task[7] is None and task[8] is None
    assert "<" not in task[9] and "\\u003ct\\u003e\\u0026" in task[9]
    assert task[10] == '[1.5,[1,"\\u003c"]]'
    assert [row[0] for row in rows[2:]] == ['["<t>&",1.5]', '["<t>&",[1,"<"]]']
    assert [row[8] for row in rows[2:]] == [None, 7.0]


def test_the_main_job_and_a_large_report(tmp_path):
    job = main_job_runset(tmp_path, tasks=3, sections=4)
    kind, rows, _ = same(job.dump_json())
    assert kind == "rows" and len(rows) > 15
    kind, rows, _ = same(json.dumps(big_document(5, 40, steps=3, payload="<&>\u00e9")))
    assert kind == "rows" and len(rows) == 1 + 5 + 5 * 40 * 4
    assert not math.isnan(rows[0][8])


def test_stored_rows_are_the_reference_rows(db_url, tmp_path):
    """What the database holds, read back raw: the reference rows, on both databases, across many INSERT batches."""
    from kovra.reporter.server.settings import Settings
    from kovra.reporter.server.storage import Storage
    document = big_document(3, 200, steps=1, payload="<&>\u00e9\x00")
    document["report"]["tasks"][1]["starttime"] = "2026-01-01T10:00:00+02:00"
    text = json.dumps(document)
    storage = Storage(db_url)
    try:
        snapshot = intake.read_snapshot(text.encode(), {}, Settings(), None, storage.time_text)
        storage.put_job("rows", snapshot, "finished")
        mark = "?" if storage.is_sqlite else "%s"
        with storage.engine.connect() as connection:
            if storage.is_sqlite:
                assert connection.exec_driver_sql("PRAGMA page_size").scalar() == 16384
            stored = sorted(tuple(row) for row in connection.exec_driver_sql(
                "SELECT path, parent, position, depth, type, result, start, stop, runtime, data, children "
                "FROM nodes WHERE job = " + mark, ("rows",)))
    finally:
        storage.close()
    expected = reference.flatten(json.loads(text)["report"], 2_000_000, 400)
    if storage.is_sqlite:
        expected = [row[:6] + (_sqlite_time(row[6]), _sqlite_time(row[7])) + row[8:] for row in expected]
    else:
        # PostgreSQL keeps the instant of an aware time, not its offset.
        stored = [row[:6] + tuple(t and t.replace(tzinfo=None) for t in row[6:8]) + row[8:] for row in stored]
        expected = [row[:6] + tuple(t and (t.astimezone(datetime.timezone.utc).replace(tzinfo=None)
                                           if t.tzinfo else t) for t in row[6:8]) + row[8:] for row in expected]
    assert len(stored) == 1 + 3 + 3 * 200 * 2
    assert stored == sorted(expected)
