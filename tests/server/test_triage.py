"""Triage on SQLite and PostgreSQL: the cross-job index, failure signatures and states with evidence,
on the series a new user sent (30 nightly jobs of one name)."""
import pytest

from conftest import TOKEN

from kovra.reporter.server import triage
from support.server_jobs import NAME, nightly, report, send

SIGNATURES = [
    # (reason, reason sharing its signature, reason that must not)
    ("counter mismatch on port 43", "counter mismatch on port 11", "expected 4 routes, got 3"),
    ("expected 4 routes, got 3", "expected 12 routes, got 0", "license feature 'x' missing"),
    ("license feature 'x' missing", "license feature \"bgp-max\" missing", "license feature x missing"),
    ("BGP neighbour 10.0.0.2 not Established", "BGP neighbour 192.168.17.254:179 not Established",
     "BGP neighbour fe80::1 is Idle"),
    ("neighbour fe80::1ff:fe23:4567:890a down", "neighbour 2001:db8::7 down", "neighbour eth0 down"),
    ("session 0x7f3a12 lost at 2026-12-01T10:00:03.123Z", "session 0xdead lost at 2026-11-30 23:59:59",
     "session lost"),
    ("job 123e4567-e89b-12d3-a456-426614174000 stuck for 3.5 s", "job 00000000-0000-0000-0000-000000000000 stuck "
     "for 12 s", "job stuck"),
    ("commit 9fceb02d0ae598e95dc970b74767f19372d61af8 broke it", "commit 1a2b3c4d5e6f broke it", "commit broke it"),
    ("timeout  after\n\t30 s", "timeout after 5 s", "timeout after eth0"),
    ("eth0 link down", "eth0 link  down", "eth1 link down"),
]


@pytest.mark.parametrize("reason,same,other", SIGNATURES)
def test_signatures_group_one_cause_whatever_its_numbers(reason, same, other):
    text = triage.signature_text(reason)
    assert triage.signature_text(same) == text
    assert triage.signature_of(triage.signature_text(other)) != triage.signature_of(text)
    assert len(triage.signature_of(text)) == 16 and not any(c.isdigit() for c in text.replace("eth0", ""))


def test_signature_texts_and_failures_without_reason():
    assert triage.signature_text("counter mismatch on port 43") == "counter mismatch on port <num>"
    assert triage.signature_text("license feature 'x' missing") == "license feature <str> missing"
    assert triage.signature_text("peer 10.1.2.3:179 reset at 12:01:02") == "peer <ip> reset at <time>"
    # No reason: the result and the node's type tell failures apart, never a reason that reads the same.
    empty = triage.signature_text(None, "errored", "Testcase")
    assert empty == "errored Testcase (no reason)"
    assert triage.signature_text("", "failed", "Step") != empty
    assert triage.signature_of(empty, has_reason=False) != triage.signature_of(empty)


@pytest.mark.parametrize("classes,flips,run,state", [
    (["pass"] * 27 + ["fail"], 1, 1, "new"),
    (["pass"] * 9 + ["fail"] * 2, 1, 2, "failing"),
    (["fail"] * 11, 0, 11, "failing"),
    (["pass", "fail", "other", "pass", "fail"], 3, 1, "flaky"),
    (["fail", "pass", "fail"], 2, 1, "flaky"),
    (["fail", "other", "fail"], 0, 2, "failing"),
])
def test_states_from_flips_and_runs(classes, flips, run, state):
    assert triage.flips(classes) == flips
    assert triage.state_of(flips, run) == state


def test_index_rows_hold_sections_and_every_node_below_a_failure():
    # (path, parent, depth, type, result, data)
    nodes = [('[]', None, 0, "RunSet", None, "{}"), ('["t"]', '[]', 1, "Task", None, "{}"),
             ('["t","ok"]', '["t"]', 2, "Testcase", "passed", "{}"),
             ('["t","ok","s"]', '["t","ok"]', 3, "Step", "passed", "{}"),
             ('["t","bad"]', '["t"]', 2, "Testcase", "failed", '{"result":{"reason":"port 4 down"}}'),
             ('["t","bad","s1"]', '["t","bad"]', 3, "Step", "passed", "{}"),
             ('["t","bad","s2"]', '["t","bad"]', 3, "Step", "errored", '{"extra":{"reason":"port 5 down"}}'),
             ('["t","skip"]', '["t"]', 2, "Testcase", "skipped", "{}")]
    rows = {row[1]: row for row in triage.index_rows("nightly", "2026-12-01", nodes)}
    assert sorted(rows) == ['["t","bad","s1"]', '["t","bad","s2"]', '["t","bad"]', '["t","ok"]', '["t","skip"]']
    assert [rows[p][4:7] for p in ('["t","ok"]', '["t","bad"]', '["t","bad","s2"]', '["t","skip"]')] == [
        ("pass", "passed", False), ("fail", "failed", False), ("fail", "errored", True), ("other", "skipped", False)]
    assert rows['["t","bad","s2"]'][8:] == ("port <num> down", "port 5 down", 0)
    assert rows['["t","bad","s1"]'][2] == '["t","bad"]' and rows['["t","bad"]'][7] is None


@pytest.fixture
def series(client):
    for number in range(1, 31):
        send(client, "%s-%d" % (NAME, number), nightly(number), name=NAME, token=TOKEN)
    return client


def by_path(groups):
    return {".".join(node["path"]): (node["state"], node["failing_since"], node["flips"])
            for group in groups for node in group["nodes"]}


def test_the_new_users_series(series):
    client = series
    answer = client.get("/api/jobs/regress-30/failures")
    assert answer.status_code == 200, answer.text
    groups = answer.json()["groups"]
    states = by_path(groups)
    assert states["t.regression"] == ("failing", "regress-28", 1)
    assert states["t.wobbly"][0] == "flaky" and states["t.wobbly"][2] == 5
    assert states["t.broken"] == ("failing", "regress-1", 0)
    assert states["d.case.step1"] == ("failing", "regress-29", 1)
    # The case only fails because of its step: not a leaf, not listed.
    assert "d.case" not in states
    counter = groups[0]
    assert (counter["count"], counter["text"], counter["first_seen"], counter["jobs_seen"]) == (
        243, "counter mismatch on port <num>", "regress-29", 2)
    assert [g["count"] for g in groups] == [243, 1, 1, 1, 1] and len(states) == 247
    assert {g["text"] for g in groups[1:]} == {"expected <num> routes, got <num>", "license feature <str> missing",
                                                "no answer within <num> s", "step failed at <hex>"}
    broken = next(g for g in groups if g["text"].startswith("license"))
    assert (broken["first_seen"], broken["jobs_seen"]) == ("regress-1", 30)
    # On its first night the regression is new, on its second failing: never flaky.
    assert by_path(client.get("/api/jobs/regress-28/failures").json()["groups"])["t.regression"] == (
        "new", "regress-28", 1)
    assert by_path(client.get("/api/jobs/regress-29/failures").json()["groups"])["t.regression"] == (
        "failing", "regress-28", 1)
    # The job page's marks say the same.
    rows = client.get("/jobs/regress-30/rows", params={"parent": '["t"]'}).json()["rows"]
    assert {r[0]: r[12] for r in rows if r[12]} == {'["t","broken"]': "failing", '["t","regression"]': "failing",
                                                    '["t","wobbly"]': "flaky"}


def test_history_and_signature_of_the_series(series):
    client = series
    history = client.get("/api/history", params={"name": NAME, "node": "t.regression", "n": "5"}).json()
    assert (history["state"], history["failing_since"], history["flips"], history["passed_before"]) == (
        "failing", "regress-28", 1, 27)
    assert [(r["job"], r["result"]) for r in history["results"]] == [
        ("regress-30", "failed"), ("regress-29", "failed"), ("regress-28", "failed"), ("regress-27", "passed"),
        ("regress-26", "passed")]
    assert history["results"][0]["reason"] == "expected 4 routes, got 3"
    # A step is present where its case passed.
    step = client.get("/api/history", params={"name": NAME, "node": '["d","case","step1"]', "n": "3"}).json()
    assert [r["result"] for r in step["results"]] == ["failed", "failed", "passed"]
    assert step["failing_since"] == "regress-29"
    wobbly = client.get("/api/history", params={"name": NAME, "node": "t.wobbly"}).json()
    assert wobbly["state"] == "flaky" and len(wobbly["results"]) == 10
    counter = client.get("/api/jobs/regress-30/failures").json()["groups"][0]
    page = client.get("/api/signatures/" + counter["signature"], params={"per_page": "1"}).json()
    assert (page["text"], page["first_seen"], page["last_seen"], page["total"]) == (
        "counter mismatch on port <num>", "regress-29", "regress-30", 2)
    assert [(j["job"], j["name"], j["count"]) for j in page["jobs"]] == [("regress-30", NAME, 243)]
    page2 = client.get("/api/signatures/" + counter["signature"], params={"per_page": "1", "page": "2"}).json()
    assert [j["job"] for j in page2["jobs"]] == ["regress-29"]


@pytest.mark.parametrize("url,status,words", [
    ("/api/signatures/0123456789abcdef", 404, "no failure has signature"),
    ("/api/signatures/XYZ", 400, "not a failure signature"),
    ("/api/history?name=regress", 400, "history wants"),
    ("/api/history?name=regress&node=t.x&n=0", 400, "n must be at least 1"),
    ("/api/jobs/nope/failures", 404, "no job"),
])
def test_triage_reads_refuse_in_one_line(client, url, status, words):
    answer = client.get(url)
    assert answer.status_code == status and words in answer.json()["error"]
    assert "\n" not in answer.json()["error"]


def test_the_index_is_replaced_with_the_snapshot_and_built_for_older_jobs(client, db_url):
    for number in (1, 2):
        send(client, "k%d" % number, report("k%d" % number, {"t.a": "failed", "t.b": "passed"},
                                            reasons={"t.a": "port %d down" % number},
                                            start="2026-12-0%dT01:00:00" % number), name="w", token=TOKEN)
    assert by_path(client.get("/api/jobs/k2/failures").json()["groups"]) == {"t.a": ("failing", "k1", 0)}
    # A new snapshot of k2: a is fixed, b breaks; the index follows it.
    send(client, "k2", report("k2", {"t.a": "passed", "t.b": "failed"}, start="2026-12-02T01:00:00"), name="w",
         token=TOKEN, replace=True)
    assert by_path(client.get("/api/jobs/k2/failures").json()["groups"]) == {"t.b": ("new", "k2", 1)}
    # An older database: back to the revision before the index, then the server brings it up and builds it.
    from alembic import command
    from alembic.config import Config
    from kovra.reporter.server.storage import MIGRATIONS, Storage
    storage = client.app.state.storage
    config = Config()
    config.set_main_option("script_location", MIGRATIONS)
    with storage.engine.connect() as connection:
        config.attributes["connection"] = connection
        command.downgrade(config, "0004_team")
        connection.commit()
    reopened = Storage(storage.url)
    try:
        from kovra.reporter.server.insights import Insights
        insights = Insights(reopened)
        groups = insights.failure_groups(reopened.job("k1"))
        assert [(g["text"], g["count"], g["first_seen"]) for g in groups] == [("port <num> down", 1, "k1")]
        assert insights.states(reopened.job("k2"), ['["t","b"]'])['["t","b"]']["state"] == "new"
    finally:
        reopened.close()


# A step below its section, job by job: "fail" fails both, "pass" passes both (the index then holds the
# section only, whose pass stands for the step's).
@pytest.mark.parametrize("series,state,since,flips,run", [
    (["pass"] * 3 + ["fail"] * 12, "failing", 4, 0, 12),     # past the window, ended by the section's pass
    (["fail"] * 13, "failing", 1, 0, 13),                     # past the window, no pass before it at all
    (["fail", "pass", "fail", "pass", "fail"], "flaky", 5, 4, 1),
    (["pass"] * 12 + ["fail"], "new", 13, 1, 1),
])
def test_a_step_takes_its_sections_passes_when_the_index_holds_only_the_section(client, series, state, since, flips,
                                                                                 run):
    for number, result in enumerate(series, 1):
        send(client, "d%02d" % number, report("d%02d" % number, {"t.s": result + "ed", "t.s.step": result + "ed"},
                                              start="2026-10-%02dT10:00:00" % number), name="deep", token=TOKEN)
    last = "d%02d" % len(series)
    groups = client.get("/api/jobs/%s/failures" % last).json()["groups"]
    assert by_path(groups)["t.s.step"] == (state, "d%02d" % since, flips)
    found = client.get("/api/history", params={"name": "deep", "node": "t.s.step", "n": "20"}).json()
    assert (found["state"], found["failing_since"], found["flips"], found["run"]) == (
        state, "d%02d" % since, flips, run)
    # Newest first, the section's passes among the step's own results.
    assert [r["job"] for r in found["results"]] == ["d%02d" % n for n in range(len(series), 0, -1)]
    assert [r["result"] for r in found["results"]] == [r + "ed" for r in reversed(series)]


def _expected(series, target, window=10):
    """(state, failing_since, flips, run) of a node failing in job `target` of `series` (its classes by job,
    oldest first; None where absent), and its history newest first: the rules, read straight."""
    present = [(number, cls) for number, cls in enumerate(series[:target]) if cls is not None]
    classes = [cls for _, cls in present[-window:]] + ["fail"]
    kept = [cls for cls in classes if cls != "other"]
    flips = sum(1 for a, b in zip(kept, kept[1:]) if a != b)
    since, run = target, 1
    for number, cls in reversed(present):
        if cls == "pass":
            break
        if cls == "fail":
            since, run = number, run + 1
    state = "flaky" if flips >= 2 else "new" if run == 1 else "failing"
    # The passes just before the run, up to a failure.
    passed = 0
    for number, cls in reversed(present):
        if number < since and cls == "fail":
            break
        passed += number < since and cls == "pass"
    return (state, since, flips, run, passed), [target] + [number for number, _ in reversed(present)]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_states_and_histories_agree_with_the_rules_whatever_the_order_of_arrival(client, seed):
    # A section and a step below another section, each passing, failing, skipped or missing job by job,
    # with long stretches of one kind (runs past the window, nodes gone for a while); the jobs arrive in
    # no particular order, and then the oldest ones go.
    import random
    rng = random.Random(seed)
    kinds = {"pass": "passed", "fail": "failed", "other": "skipped"}
    count = 36
    series = {}
    # A skipped step under a skipped case is not in the index at all: the step is missing there.
    for node, choices in (("t.x", ["pass", "fail", "fail", "other", None]), ("u.y.s", ["pass", "fail", "fail", None])):
        made = []
        while len(made) < count:
            made += [rng.choice(choices)] * rng.choice([1, 1, 2, 3, 14])
        series[node] = made[:count - 1] + ["fail"]
    # Gone for 20 jobs, back failing: its window lies far behind the newest jobs.
    series["v.z"] = ["pass"] * 10 + ["fail"] * 5 + [None] * 20 + ["fail"]
    order = list(range(count))
    rng.shuffle(order)
    for number in order:
        results = {"t.keep": "passed"}
        for node, classes in series.items():
            if classes[number] is not None:
                results[node] = kinds[classes[number]]
        if "u.y.s" in results:
            results["u.y"] = results["u.y.s"]
        send(client, "o%02d" % number, report("o%02d" % number, results, start="2026-09-%02dT08:00:00" % (number + 1)
                                              if number < 30 else "2026-10-%02dT08:00:00" % (number - 29)),
             name="order", token=TOKEN)

    def check(first):
        target = count - 1
        states = {".".join(node["path"]): (node["state"], node["failing_since"], node["flips"], node["run"])
                  for group in client.get("/api/jobs/o%02d/failures" % target).json()["groups"]
                  for node in group["nodes"]}
        for node, classes in series.items():
            kept = [None] * first + classes[first:]
            (state, since, flips, run, passed), jobs = _expected(kept, target)
            assert states[node] == (state, "o%02d" % since, flips, run), (node, kept)
            # All of its jobs, and fewer than the run or the window: the index reads the rest.
            for n in (50, 12, 5):
                found = client.get("/api/history", params={"name": "order", "node": node, "n": n}).json()
                assert (found["state"], found["failing_since"], found["flips"], found["run"], found["passed_before"]) \
                    == (state, "o%02d" % since, flips, run, passed), (node, n, kept)
                assert [r["job"] for r in found["results"]] == ["o%02d" % number for number in jobs[:n]]

    check(0)
    for number in range(4):
        assert client.delete("/api/jobs/o%02d" % number, headers={"Authorization": "Bearer " + TOKEN}).status_code \
            == 200
    check(4)


@pytest.mark.parametrize("results", [
    ["passed", "PASSED", "Passx", "skipped", None, "ÉCHEC", "FAİLED", "passed ", "failed", "Errored"],
    ["passed"] + ["state %d" % n for n in range(60)] + ["aborted"],     # too many texts for the database
], ids=["odd", "many"])
def test_the_index_rows_the_database_makes_are_the_rules_own(client, results):
    # Below a failing section: a failure without a reason and a pass (each row's empty values differ).
    deep = {"t.deep": "failed", "t.deep.a": "failed", "t.deep.b": "passed"}
    document = report("odd", dict({"t.s%d" % n: result or "passed" for n, result in enumerate(results)}, **deep),
                      reasons={"t.s%d" % n: "port %d down" % n for n in range(len(results))})
    for section, result in zip(document["report"]["tasks"][0]["sections"], results):
        if result is None:
            del section["result"]
    send(client, "odd", document, name="odd", token=TOKEN)
    storage = client.app.state.storage
    columns = "path, section, class, result, leaf, signature, text, reason, epoch"
    with storage.engine.connect() as connection:
        stored = connection.exec_driver_sql("SELECT %s FROM results WHERE job = 'odd'" % columns).fetchall()
        nodes = connection.exec_driver_sql("SELECT path, parent, depth, type, result, data FROM nodes "
                                           "WHERE job = 'odd' ORDER BY depth, position").fetchall()
    made = triage.index_rows("odd", "start", [tuple(row) for row in nodes])
    assert sorted((r[0], r[1], r[2], r[3], bool(r[4])) + tuple(r[5:]) for r in stored) == sorted(
        (r[1], r[2], r[4], r[5], r[6]) + r[7:] for r in made)
    assert len(stored) == len(results) + len(deep)
    assert {r[3] for r in stored} >= {str(r).lower() if r else None for r in results}
