"""The server's pages in-process: routes, policies, escaping, marks, search, paging and speed."""
import base64
import datetime
import hashlib
import html
import json
import re
import urllib.parse

import pytest

from conftest import TOKEN
from reports import big_document

from kovra.reporter.compare import Comparison
from support.report_pages import HOSTILE, page_data, parse_page
from support.server_jobs import EXPECTED_MARKS, SERIES, hostile_report, report, send, send_series

PAGES = ["/", "/jobs/n3", "/history?name=nightly&node=t.wobbly", "/trends", "/trends?name=nightly",
         "/compare", "/compare?b=n3", "/compare?a=n1&b=n3", "/known-issues", "/mutes", "/owners"]


def policy(response):
    return dict((part.split(" ", 1) + [""])[:2] for part in response.headers["content-security-policy"].split("; "))


def sha256(text):
    return "'sha256-%s'" % base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode()


def rows(client, job, **params):
    answer = client.get("/jobs/%s/rows" % job, params=params)
    assert answer.status_code == 200, answer.text
    return answer.json()


@pytest.fixture
def series(client):
    return send_series(client, token=TOKEN)


class TestPolicy:
    def test_every_page_allows_only_its_own_hashed_assets(self, client, series):
        for url in PAGES:
            answer = client.get(url)
            assert answer.status_code == 200, url
            assert answer.headers["content-type"].startswith("text/html")
            rules = policy(answer)
            parsed = parse_page(answer.text)
            assert rules["default-src"] == "'none'" and "unsafe" not in answer.headers["content-security-policy"]
            assert rules["style-src"] == " ".join(sha256(body) for _, body in parsed.styles)
            scripts = [body for attrs, body in parsed.scripts if attrs.get("type") != "application/json"]
            assert rules["script-src"] == (" ".join(sha256(body) for body in scripts) or "'none'"), url
            # Only the job page fetches, and only from here; only forms that filter submit, and only here.
            assert rules.get("connect-src") == ("'self'" if url.startswith("/jobs/") else None), url
            forms = [attrs for tag, attrs in parsed.tags if tag == "form"]
            assert rules["form-action"] == ("'self'" if forms else "'none'"), url
            assert all(form["action"] in ("/", "/compare") for form in forms)
            for tag, attrs in parsed.tags:
                assert tag not in ("img", "iframe", "object", "embed", "link") or attrs.get("href") == "data:,", url
                for name, value in attrs.items():
                    assert not (name in ("href", "src", "action") and value and "//" in value), (url, value)

    def test_missing_things_answer_a_page_with_the_reason(self, client, series):
        for url, status, words in [("/jobs/nope", 404, "no job"), ("/compare?a=nope&b=n3", 404, "no job"),
                                   ("/compare?b=n1", 404, "no earlier job"), ("/?state=odd", 400, "state"),
                                   ("/?since=yesterday", 400, "since"), ("/?page=0", 400, "page"),
                                   ("/history?name=nightly", 400, "history wants"),
                                   ("/compare?b=n3&t=-1", 400, "seconds")]:
            answer = client.get(url)
            assert answer.status_code == status, url
            assert answer.headers["content-type"].startswith("text/html") and words in answer.text, url
        assert client.get("/jobs/n3/rows").status_code == 400
        assert client.get("/jobs/n3/rows", params={"which": "bogus"}).status_code == 400
        assert client.get("/jobs/n3/rows", params={"open": "[1]"}).status_code == 400
        assert client.get("/jobs/nope/rows", params={"parent": ""}).json()["error"].startswith("no job")

    def test_a_server_that_wants_read_tokens_shows_no_pages(self, make_client):
        closed = make_client(read_token_required=True)
        for url in ("/", "/trends", "/jobs/x"):
            assert closed.get(url).status_code == 401


class TestHostileText:
    def test_report_text_stays_text_on_every_page(self, client):
        name = HOSTILE[5]
        for job in ("h1", "h2"):
            send(client, job, hostile_report(), name=name, token=TOKEN)
        quoted = urllib.parse.quote(name, safe="")
        node = urllib.parse.quote(json.dumps(["task", HOSTILE[1]]), safe="")
        empty = client.get("/history?name=x&node=y").text
        for url in ["/?q=h", "/trends", "/trends?name=" + quoted, "/history?name=%s&node=%s" % (quoted, node),
                    "/compare?a=h1&b=h2", "/jobs/h2"]:
            answer = client.get(url)
            assert answer.status_code == 200, url
            parsed = parse_page(answer.text)
            for tag, attrs in parsed.tags:
                assert not [a for a in attrs if a.startswith("on")], (url, tag, attrs)
                # Text may sit in labels and titles; no link may lead anywhere but here.
                for key in ("href", "src", "action", "xlink:href"):
                    assert key not in attrs or attrs[key].startswith(("/", "#", "data:,")), (url, attrs)
            assert "__kovraPwned" not in "".join(body for _, body in parsed.scripts if _.get("type") != "application/json")
            tags = {tag for tag, _ in parsed.tags}
            assert not tags & {"img", "iframe", "object", "embed"}, url
            if url.startswith("/jobs/"):
                data = page_data(answer.text)
                assert "<" not in answer.text.split('id="report-data">')[1].split("</script>")[0]
                assert [h[2] for h in data["header"] if h[1] == "runset_id"] == [HOSTILE[0]]
            else:
                assert "<script" not in answer.text and "<svg onload" not in answer.text, url
        # The history of a hostile node shows its hostile reason as text.
        answer = client.get("/history?name=%s&node=%s" % (quoted, node))
        assert HOSTILE[1] in html.unescape(answer.text) and HOSTILE[1] not in answer.text
        assert len([tag for tag, _ in parse_page(answer.text).tags if tag == "tr"]) == 3
        assert [tag for tag, _ in parse_page(empty).tags if tag == "tr"] == ["tr"]
        # The job list shows the name as the text it is.
        listed = client.get("/?q=h").text
        assert name in html.unescape(listed) and name not in listed


class TestJobPage:
    def test_failures_carry_new_known_and_flaky_marks(self, client, series):
        found = rows(client, "n3", parent='["t"]')["rows"]
        assert {".".join(json.loads(r[0])): r[12] for r in found} == dict(EXPECTED_MARKS, **{"t.fine": None})
        # The first job of a name has no past: all its failures are new.
        first = rows(client, "n1", parent='["t"]')["rows"]
        assert {".".join(json.loads(r[0])): r[12] for r in first if r[6] == "failed"} == \
            {"t.broken": "new", "t.wobbly": "new"}
        data = page_data(client.get("/jobs/n3").text)
        assert {".".join(f[0]): f[3] for f in data["failures"]} == EXPECTED_MARKS
        assert data["failure_total"] == 3 and data["remote"]["running"] is False
        # Every job of a name shares its run set id: the heading names the job by its key instead.
        send(client, "n4", report("n4", SERIES[0], name="regress"), name="nightly", token=TOKEN)
        keyed = page_data(client.get("/jobs/n4").text)
        assert keyed["job_id"] == "n4" and keyed["header"][0] == ["Job name", "job_name", "nightly"]
        assert ["Run set id", "runset_id", "regress"] in keyed["header"]
        assert [f[2] for f in data["failures"] if f[0] == ["t", "broken"]] == ["link down on port 3"]
        assert data["result_counts"] == {"passed": 1, "failed": 3}
        # The failing path is sent open; the fine one's rows only as a sibling.
        assert {r[0] for r in data["rows"]} == {'["t"]', '["t","regress"]', '["t","broken"]', '["t","wobbly"]',
                                                '["t","fine"]'}
        assert [r[11] for r in data["rows"] if r[0] == '["t"]'] == [2]

    def test_marks_look_only_at_the_ten_jobs_before(self, client):
        # Failed long ago, then passed in the ten jobs before: a new failure again, one flip in its window.
        for number in range(1, 13):
            result = "failed" if number in (1, 12) else "passed"
            send(client, "k%02d" % number, report("k%02d" % number, {"t.x": result, "t.y": "failed"},
                                                  start="2026-10-%02dT10:00:00" % number), name="weekly", token=TOKEN)
        marks = {r[0]: r[12] for r in rows(client, "k12", parent='["t"]')["rows"]}
        assert marks == {'["t","x"]': "new", '["t","y"]': "failing"}
        page = client.get("/history", params={"name": "weekly", "node": "t.x", "n": "12"}).text
        assert "passed 10, failed 2, absent 0" in page
        assert "new failure: failing since k12 (1 job; passed in the 10 jobs before)" in page
        page = client.get("/history", params={"name": "weekly", "node": "t.y"}).text
        assert "failing since k01 (12 jobs)" in page and "flaky:" not in page

    def test_rows_open_a_path_and_search_every_node(self, client, series):
        send(client, "deep", report("deep", {"a.b.c.d": "passed", "a.b.x": "failed", "z.y": "passed"},
                                    reasons={"a.b.x": "BGP neighbour 10.0.0.2 not Established"}), token=TOKEN)
        opened = rows(client, "deep", open='["a","b","c","d"]')["rows"]
        assert [json.loads(r[0]) for r in opened] == [["a"], ["z"], ["a", "b"], ["a", "b", "c"], ["a", "b", "x"],
                                                      ["a", "b", "c", "d"]]
        found = rows(client, "deep", which="", q="neighbour 10.0.0.2")
        assert found["hits"] == ['["a","b","x"]'] and found["total"] == 1
        assert [r[0] for r in found["rows"]] == ['["a"]', '["a","b"]', '["a","b","x"]']
        assert rows(client, "deep", which="problems", q="")["hits"] == ['["a","b","x"]']
        # Shallow matches first.
        assert rows(client, "deep", which="r:passed", q="")["hits"] == ['["z","y"]', '["a","b","c","d"]']
        # Text that the stored JSON escapes is found too.
        send(client, "odd", report("odd", {"t.s": "failed"}, reasons={"t.s": 'caf\u00e9 "quoted" <b>'}), token=TOKEN)
        assert rows(client, "odd", q='\u00e9 "QUOTED" <b')["hits"] == ['["t","s"]']
        assert rows(client, "odd", q="absent words")["total"] == 0

    def test_failing_nodes_are_found_whatever_the_letters_of_their_results(self, client):
        # Lower-case result names are found through an index of their own, any other text through another.
        results = {"t.a": "failed", "t.b": "FAILED", "t.c": "Blocked", "t.d": "errored", "t.e": "PASSED",
                   "t.f": "weird", "t.g": "skipped", "t.h": "Aborted"}
        send(client, "letters", report("letters", results), token=TOKEN)
        data = page_data(client.get("/jobs/letters").text)
        assert {".".join(f[0]): f[1] for f in data["failures"]} == {
            "t.a": "failed", "t.b": "failed", "t.c": "blocked", "t.d": "errored", "t.h": "aborted"}
        assert {json.loads(r[0])[-1]: r[11] for r in rows(client, "letters", parent='["t"]')["rows"]} == {
            "a": 1, "b": 1, "c": 1, "d": 1, "e": 0, "f": 0, "g": 0, "h": 1}

    def test_a_job_page_follows_the_snapshot_it_shows(self, client):
        # What the page keeps of a snapshot goes with it: a new one of a running job is read anew, and so is
        # a job of the same key sent after the first was deleted.
        send(client, "growing", report("growing", {"t.a": "passed"}), token=TOKEN, state="running")
        assert page_data(client.get("/jobs/growing").text)["result_counts"] == {"passed": 1}
        send(client, "growing", report("growing", {"t.a": "passed", "t.b": "failed"}, runtimes={"t.b": 2.0}),
             token=TOKEN, state="running")
        data = page_data(client.get("/jobs/growing").text)
        assert data["result_counts"] == {"passed": 1, "failed": 1}
        assert [".".join(f[0]) for f in data["failures"]] == ["t.b"]
        assert [s[0] for s in data["slowest"]] == [["t", "b"], ["t", "a"]]
        # Deleted and sent again under its key: snapshot 1 again, another job.
        assert client.delete("/api/jobs/growing", headers={"Authorization": "Bearer " + TOKEN}).status_code == 200
        send(client, "growing", report("growing", {"t.c": "failed"}), token=TOKEN, state="running")
        data = page_data(client.get("/jobs/growing").text)
        assert data["remote"]["snapshot"] == 1 and data["result_counts"] == {"failed": 1}
        assert [".".join(f[0]) for f in data["failures"]] == ["t.c"] and data["slowest"] == [[["t", "c"], "failed", 0.5]]

    def test_counts_and_slowest_made_at_intake_are_what_the_rows_say(self, client):
        # A whole send's are made from the rows in hand; after a task send the page reads them from the rows.
        # Results count in lower case; the run set, tasks and nodes without a result count for nothing.
        results = {"t.a": "FAILED", "t.b": "Passed", "t.c.d": "passed", "t.c.e": "weird", "u.f": "skipped",
                   "u.g": "errored"}
        runtimes = {"t": 50.0, "t.a": 3.0, "t.b": 0.75, "t.c": 9.0, "t.c.d": 1.5, "u": 99.0, "u.f": 0.25, "u.g": 4.0}
        send(client, "facts", report("facts", results, runtimes=runtimes), token=TOKEN)
        sent = page_data(client.get("/jobs/facts").text)
        task = report("facts", {"u.f": "skipped", "u.g": "passed"}, runtimes=dict(runtimes, **{"u.g": 0.1}))
        answer = client.put("/api/jobs/facts/task", params={"state": "finished", "replace": "true"},
                            content=json.dumps(task), headers={"Authorization": "Bearer " + TOKEN})
        assert answer.status_code == 200 and answer.json()["snapshot"] == 2, answer.text
        read = page_data(client.get("/jobs/facts").text)
        before = [["t", "c"], None, 9.0], [["t", "a"], "FAILED", 3.0], [["t", "c", "d"], "passed", 1.5], \
            [["t", "b"], "Passed", 0.75], [["t", "c", "e"], "weird", 0.5], [["u", "f"], "skipped", 0.25]
        assert sent["slowest"] == [before[0], [["u", "g"], "errored", 4.0]] + list(before[1:])
        assert read["slowest"] == list(before) + [[["u", "g"], "passed", 0.1]]
        assert sent["result_counts"] == {"failed": 1, "passed": 2, "weird": 1, "skipped": 1, "errored": 1}
        assert read["result_counts"] == {"failed": 1, "passed": 3, "weird": 1, "skipped": 1}

    def test_a_large_job_sends_only_its_first_rows(self, client):
        document = big_document(4, 2500)
        document["report"]["tasks"][3]["sections"][2400]["result"] = {"value": "failed", "reason": "deep down"}
        answer = client.put("/api/jobs/big", params={"state": "finished"}, content=json.dumps(document),
                            headers={"Authorization": "Bearer " + TOKEN})
        assert answer.status_code == 200, answer.text
        page = client.get("/jobs/big")
        data = page_data(page.text)
        # Only the tasks: the failing one has too many sections to send before they are asked for.
        assert len(data["rows"]) == 4 and data["full"] == ["[]"]
        assert [".".join(f[0]) for f in data["failures"]] == ["t3.s2400"]
        assert [r[11] for r in data["rows"]] == [0, 0, 0, 2]
        assert len(rows(client, "big", parent='["t0"]')["rows"]) == 2500


class TestJobList:
    def test_filters_search_dates_and_pages(self, client, series):
        send(client, "live", report("live", {"a.b": "passed"}, start="2026-12-05T09:00:00"), state="running",
             name="other", token=TOKEN)

        def listed(**params):
            page = client.get("/", params=params).text
            return re.findall(r'<tr data-job="([^"]*)"', page), re.search(r'id="job-total"[^>]*>([^<]*)<', page).group(1)

        assert listed() == (["live", "n3", "n2", "n1"], "4 jobs match.")
        assert listed(name="nightly") == (["n3", "n2", "n1"], "3 jobs match.")
        assert listed(state="running") == (["live"], "1 job matches.")
        assert listed(result="passed") == (["live"], "1 job matches.")
        assert listed(q="n") == (["n3", "n2", "n1"], "3 jobs match.")
        # Both ends of a date range are whole days.
        assert listed(since="2026-12-02", until="2026-12-03") == (["n3", "n2"], "2 jobs match.")
        first, _ = listed(per_page="3")
        second, _ = listed(per_page="3", page="2")
        assert first + second == ["live", "n3", "n2", "n1"]
        page = client.get("/", params={"per_page": "3", "name": "nightly", "page": "1"}).text
        assert 'rel="next"' not in page
        page = client.get("/", params={"per_page": "2", "name": "nightly"}).text
        assert 'href="/?name=nightly&amp;per_page=2&amp;page=2" rel="next"' in page
        # "failing" takes every failing result; "failed" that one alone.
        send(client, "broke", report("broke", {"a.b": "errored"}, start="2026-12-06T09:00:00"), name="other",
             token=TOKEN)
        assert listed(result="failing") == (["broke", "n3", "n2", "n1"], "4 jobs match.")
        assert listed(result="failed") == (["n3", "n2", "n1"], "3 jobs match.")
        assert client.get("/api/jobs", params={"result": "failing"}).json()["total"] == 4

    # Their speed is bench_server.py's to show; here, that every filter answers over many jobs.
    def test_ten_thousand_jobs_filter_and_page(self, client, series):
        storage = client.app.state.storage
        jobs = storage.tables.jobs
        base = datetime.datetime(2025, 1, 1)
        batch = [{"id": "bulk%05d" % i, "name": "bulk%d" % (i % 20), "state": "finished",
                  "result": "failed" if i % 7 == 0 else "passed", "start": base + datetime.timedelta(hours=i),
                  "updated": base + datetime.timedelta(hours=i), "counts": '{"passed": 10, "failed": 1}',
                  "snapshot": 1, "digest": "x", "nodes": 0} for i in range(10000)]
        with storage.engine.begin() as connection:
            connection.execute(jobs.insert(), batch)
        for params in ({}, {"name": "bulk3"}, {"result": "failed", "page": "40"}, {"q": "bulk0999"},
                       {"state": "finished", "since": "2025-06-01"}):
            answer = client.get("/", params=params)
            assert answer.status_code == 200, params
        assert "10003 jobs match." in client.get("/").text
        assert "10 jobs match." in client.get("/", params={"q": "bulk0999"}).text
        assert client.get("/trends").status_code == 200


class TestHistoryTrendsCompare:
    def test_history_counts_and_flaky(self, client, series):
        page = client.get("/history", params={"name": "nightly", "node": "t.wobbly"}).text
        assert "passed 1, failed 2, absent 0" in page
        assert "flaky: changed between pass and fail 2 times in the last 3 jobs" in page
        page = client.get("/history", params={"name": "nightly", "node": '["t","broken"]'}).text
        assert "passed 0, failed 3, absent 0" in page and "failing since n1 (3 jobs)" in page
        assert page.count("link down on port") == 3
        # A window of one job holds no pass and fail together.
        page = client.get("/history", params={"name": "nightly", "node": "t.wobbly", "n": "1"}).text
        assert "passed 0, failed 1, absent 0" in page

    def test_trends_chart_every_job(self, client, series):
        page = client.get("/trends", params={"name": "nightly"}).text
        assert page.count('<rect class="bar-part') == sum(1 for results in SERIES for r in set(results.values()))
        assert page.count('<circle class="dot"') == 3
        rates = re.findall(r'<td class="num">([0-9.]+) %</td>', page)
        assert rates == ["%.1f" % (100.0 * list(r.values()).count("passed") / len(r)) for r in SERIES]

    @pytest.mark.parametrize("state, summary", [
        # The run set's own counts come at its stop: while it runs, its test cases' so far, rated alike.
        ("running", {"passed": 1, "passx": 1, "failed": 1, "total": 3, "success_rate": 200.0 / 3}),
        ("finished", {"total": 0, "success_rate": 0.0}),
    ])
    def test_a_running_jobs_headline_counts_its_test_cases_so_far(self, client, state, summary):
        document = report("live", {"t.a": "passed", "t.b": "passx", "t.c": "failed", "t.c.s": "failed"})
        document["report"]["summary"] = {"total": 0, "success_rate": 0.0}
        send(client, "live", document, state=state, token=TOKEN)
        assert page_data(client.get("/jobs/live").text)["summary"] == summary

    def test_trends_rate_is_the_job_pages_success_rate(self, client):
        # The framework's own summary: passed or passx of all test cases.
        from kovra.reporter import runset
        job = runset.RunSet(id="rated", seq_num=0)
        job.start()
        task = job.add_task(id="t", seq_num=0)
        task.start()
        for number, value in enumerate(["passed", "passx", "failed", "skipped", "errored", "passed"]):
            case = task.add_section(id="c%d" % number, seq_num=number, type="Testcase")
            case.start()
            case.stop(result=runset.TestResult(value))
        task.stop()
        job.stop()
        document = json.loads(job.dump_json())
        send(client, "rated", document, token=TOKEN)
        page = client.get("/trends", params={"name": "rated"}).text
        rate = document["report"]["summary"]["success_rate"]
        assert re.findall(r'<td class="num">([0-9.]+) %</td>', page) == ["%.1f" % rate] == ["50.0"]
        assert "success rate: passed or passx of all test cases" in page

    def test_compare_shows_what_the_diff_command_finds(self, client, series):
        documents = [report("n%d" % n, results) for n, results in enumerate(SERIES, 1)]
        page = client.get("/compare", params={"a": "n1", "b": "n3", "t": "0.4"}).text
        expected = Comparison(documents[0], report("n3", SERIES[2], runtimes={"t.fine": 1.5}), threshold=0.4)
        sections = {key: re.findall(r'<tr><td><a href="/jobs/n3#node=[^"]*">([^<]*)</a>', part.split("</section>")[0])
                    for key, part in re.findall(r'<h2 id="([a-z-]+)-title">(.*?</section>)', page, re.S)}
        assert sections["new-failures"] == [n.path for n, _ in expected.new_failures] == ["t.regress"]
        # Each new failure with its test case and its reason, read from the job's rows.
        assert re.search(r'<td class="case"><span class="note">itself</span></td>.*?'
                         r'<td class="reason">counter 7 off by 1</td>', page)
        assert sections["fixes"] == [n.path for n, _ in expected.fixes] == []
        assert sections["times"] == ["t.fine"]
        assert client.get("/compare", params={"b": "n2"}).text.count('<a href="/jobs/n2#node=t/wobbly">') == 1

    def test_compare_lists_a_failing_case_and_its_step_once(self, client):
        send(client, "s1", report("s1", {"t.c": "passed", "t.c.s": "passed"}), token=TOKEN, name="steps")
        send(client, "s2", report("s2", {"t.c": "failed", "t.c.s": "failed"}, start="2026-12-02T10:00:00",
                                  reasons={"t.c.s": "counter 9 off by 2"}), token=TOKEN, name="steps")
        page = client.get("/compare", params={"b": "s2"}).text
        assert '<h2 id="new-failures-title">New failures (<span class="count">1</span>)' in page
        assert re.search(r'<tr><td><a href="/jobs/s2#node=t/c/s">t.c.s</a></td><td class="case">'
                         r'<a href="/jobs/s2#node=t/c">t.c</a></td>.*?<td class="reason">counter 9 off by 2</td>', page)

    def test_compare_form_offers_the_recent_jobs_of_a_name(self, client, series):
        def options(page, field):
            select = re.search(r'<select name="%s">(.*?)</select>' % field, page).group(1)
            return re.findall(r'<option value="([^"]*)"( selected)?>', select)

        assert ("nightly", "") in options(client.get("/compare").text, "name")
        page = client.get("/compare", params={"name": "nightly"}).text
        assert options(page, "b") == [("n3", " selected"), ("n2", ""), ("n1", "")]
        assert options(page, "a") == [("n3", ""), ("n2", " selected"), ("n1", "")]
        # Comparing keeps the chosen jobs chosen.
        page = client.get("/compare", params={"a": "n1", "b": "n2"}).text
        assert options(page, "a")[2] == ("n1", " selected") and options(page, "b")[1] == ("n2", " selected")
