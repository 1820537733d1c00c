"""The reporter server's pages in a real browser, against a running server on SQLite."""
import json
import time

import pytest

from support.report_pages import HOSTILE, run_main_job
from test_report_page import ROW_OF, ROWS
from support.server_jobs import EXPECTED_MARKS, hostile_report, report, send, send_series
from support.browser import DETAIL_PATH, wait_for

ROW_IDS = """
return Array.from(document.querySelectorAll('#tree li[role=treeitem]')).map(function (li) {
  var ids = [];
  for (var at = li; at; at = at.parentElement.closest('li[role=treeitem]'))
    ids.unshift(at.querySelector(':scope > .row .id').textContent);
  var mark = li.querySelector(':scope > .row .mark');
  return [ids.join('.'), li.getAttribute('aria-expanded'), mark ? mark.textContent : null];
});
"""
MARK_TEXT = {"new": "new failure", "failing": "failing", "flaky": "flaky"}



def table(page, selector):
    """The text of each body row (a row of td cells) of the table at `selector`."""
    return page.js("return Array.from(document.querySelectorAll(arguments[0] + ' tr')).filter(function (tr) {"
                   " return tr.querySelector('td'); }).map(function (tr) {"
                   " return Array.from(tr.cells).map(function (td) { return td.textContent.trim(); }); })", selector)


def counts_text(counts):
    order = ("passed", "passx", "failed", "errored", "aborted", "blocked", "skipped")
    return " ".join("%d %s" % (counts[k], k) for k in order if counts.get(k))


@pytest.fixture(scope="module")
def stored(server):
    client = server.client
    send_series(client, token=server.TOKEN)
    for number in range(2):
        job = "w%d" % number
        send(client, job, report(job, {"a.one": "passed", "a.two": "skipped"},
                                 start="2026-11-2%dT08:00:00" % number), name="weekly", token=server.TOKEN)
    return {row["id"]: row for row in client.get("/api/jobs?per_page=100").json()["jobs"]}


class TestJobs:
    def test_counts_match_the_stored_jobs(self, page, server, stored):
        page.open(server.url + "/", ready=False)
        assert page.js("return document.getElementById('job-total').textContent") == "%d jobs match." % len(stored)
        rows = table(page, "#jobs")
        assert [row[0] for row in rows] == list(stored)
        for row in rows:
            job = stored[row[0]]
            assert row[1] == job["name"] and row[2] == job["state"]
            assert row[5] == counts_text(job["counts"])
            assert row[6] == job["result"]
        page.screenshot("server-jobs.png", docs=True)
        page.assert_quiet()

    def test_filters_and_paging(self, page, server, stored):
        from selenium.webdriver.support.select import Select

        page.open(server.url + "/", ready=False)
        page.driver.find_element("name", "name").send_keys("weekly")
        page.driver.find_element("css selector", "form.filters button").click()
        wait_for(page, "return document.getElementById('job-total').textContent", "2 jobs match.")
        assert [row[0] for row in table(page, "#jobs")] == [j for j, row in stored.items() if row["name"] == "weekly"]
        page.open(server.url + "/?per_page=2", ready=False)
        seen = []
        for _ in range(len(stored)):
            seen += [row[0] for row in table(page, "#jobs")]
            following = page.driver.find_elements("css selector", ".pager a[rel=next]")
            if not following:
                break
            following[0].click()
            wait_for(page, "return document.readyState", "complete")
        assert seen == list(stored)
        page.open(server.url + "/", ready=False)
        Select(page.driver.find_element("name", "result")).select_by_value("failed")
        page.driver.find_element("css selector", "form.filters button").click()
        wait_for(page, "return location.search.indexOf('result=failed') >= 0", True)
        failed = [j for j, row in stored.items() if row["result"] == "failed"]
        assert failed and [row[0] for row in table(page, "#jobs")] == failed
        page.assert_quiet()


class TestJob:
    def test_failures_are_marked_new_failing_or_flaky(self, page, server, stored):
        page.open(server.url + "/jobs/n3")
        rows = {row[0]: row for row in page.js(ROW_IDS)}
        for path, mark in EXPECTED_MARKS.items():
            assert rows[path][2] == MARK_TEXT[mark], path
        assert rows["t.fine"][2] is None
        listed = table(page, "#failure-list")
        assert {row[0]: row[1] for row in listed} == {p: "failed " + MARK_TEXT[m] for p, m in EXPECTED_MARKS.items()}
        assert [row[2] for row in listed if row[0] == "t.broken"] == ["link down on port 3"]
        counts = page.js("return Array.from(document.querySelectorAll('#result-counts tr')).slice(1)"
                         ".map(function (tr) { return [tr.cells[0].textContent, tr.cells[1].textContent]; })")
        assert {k: int(v) for k, v in counts} == {k: v for k, v in stored["n3"]["counts"].items()
                                                  if k not in ("total",) and v}
        # In the first job of the name every failure is new.
        page.open(server.url + "/jobs/n1")
        assert {row[0]: row[2] for row in page.js(ROW_IDS) if row[2]} == {"t.broken": "new failure",
                                                                          "t.wobbly": "new failure"}
        page.open(server.url + "/jobs/n3")
        page.screenshot("server-job-marks.png")
        page.assert_quiet()

    def test_a_deep_link_reopens_its_node(self, page, server, stored):
        page.open(server.url + "/jobs/w1")
        # Nothing fails there, so nothing is open: the link must fetch the rows itself.
        assert [row[0] for row in page.js(ROW_IDS)] == ["a"]
        page.open(server.url + "/jobs/w1#node=a/two")
        assert wait_for(page, DETAIL_PATH, "a.two") == "a.two"
        assert page.js("return document.activeElement.getAttribute('aria-selected')") == "true"
        # A click names the node in the address; that address opens it again.
        page.js("Array.from(document.querySelectorAll('#tree .row .id')).filter(function (e) "
                "{ return e.textContent === 'one'; })[0].click()")
        assert page.js("return location.hash") == "#node=a/one"
        page.open(page.js("return location.href"))
        assert wait_for(page, DETAIL_PATH, "a.one") == "a.one"
        # The history link of the node leads to its history.
        page.js("document.getElementById('history-link').click()")
        wait_for(page, "return location.pathname", "/history")
        assert page.js("return document.querySelector('h1').textContent") == "History of a.one"
        page.assert_quiet()

    def test_each_run_of_a_test_case_run_twice_has_its_address(self, page, server, stored):
        def case(result, step):
            return {"id": "case", "result": {"value": result}, "sections": [{"id": step, "result": {"value": result}}]}
        send(server.client, "twice", {"version": "3.2", "report": {"id": "r", "tasks": [
            {"id": "t", "sections": [case("passed", "a"), case("failed", "b")]}]}}, token=server.TOKEN)
        for address, shown in (("t/case;1/b", "t.case.b"), ("t/case/a", "t.case.a")):
            page.open(server.url + "/jobs/twice#node=" + address)
            assert wait_for(page, DETAIL_PATH, shown) == shown, address
        # A click on the second run names it by its position; that address opens it again.
        page.js("Array.from(document.querySelectorAll('#tree .row .id')).filter(function (e) "
                "{ return e.textContent === 'case'; })[1].click()")
        assert page.js("return location.hash") == "#node=t/case;1"
        assert "failed" in page.js("return document.querySelector('#detail h2').textContent")
        # The failure lists name the second run by its position too, and link to it.
        links = page.js("return Array.from(document.querySelectorAll('a.jump')).filter(function (a) "
                        "{ return a.textContent.indexOf('case') >= 0; }).map(function (a) "
                        "{ return [a.textContent, a.getAttribute('href')]; })")
        assert ["t.case;1.b", "#node=t/case;1/b"] in links, links
        page.screenshot("server-job-twice.png")
        page.assert_quiet()

    def test_a_running_job_follows_its_snapshots(self, page, server, stored):
        client = server.client
        first = {"live.s1": "passed"}
        send(client, "live", report("live", first), state="running", token=server.TOKEN)
        page.open(server.url + "/jobs/live")
        assert not page.js("return document.getElementById('live').hidden")
        counts = ("return Array.from(document.querySelectorAll('#result-counts tr')).slice(1)"
                  ".map(function (tr) { return tr.cells[0].textContent + ' ' + tr.cells[1].textContent; }).join()")
        assert page.js(counts) == "passed 1"
        send(client, "live", report("live", dict(first, **{"live.s2": "failed"})), state="running",
             token=server.TOKEN)
        assert wait_for(page, counts, "passed 1,failed 1") == "passed 1,failed 1"
        assert not page.js("return document.getElementById('live').hidden")
        send(client, "live", report("live", dict(first, **{"live.s2": "failed", "live.s3": "passed"})),
             state="finished", token=server.TOKEN)
        assert wait_for(page, counts, "passed 2,failed 1") == "passed 2,failed 1"
        wait_for(page, "return document.getElementById('live').hidden", True)
        assert page.js("return document.getElementById('live').hidden")
        page.assert_quiet()

    def test_search_asks_the_server(self, page, server, stored):
        page.open(server.url + "/jobs/n2")
        box = page.driver.find_element("id", "search")
        box.send_keys("port 2")
        count = "return document.getElementById('match-count').textContent"
        assert wait_for(page, count, "1 node matches") == "1 node matches"
        assert [row[0] for row in page.js(ROW_IDS) if row[1] != "true"] == ["t.broken"]
        page.assert_quiet()


class TestHistoryTrendsCompare:
    def test_history_marks_a_flaky_test(self, page, server, stored):
        page.open(server.url + "/history?name=nightly&node=t.wobbly", ready=False)
        rows = table(page, "#history")
        assert [row[0] for row in rows] == ["n3", "n2", "n1"]
        assert [row[2] for row in rows] == ["failed", "passed", "failed"]
        assert page.js("return document.getElementById('state').textContent") == \
            "flaky: changed between pass and fail 2 times in the last 3 jobs"
        assert page.js("return document.getElementById('history-counts').textContent") == \
            "passed 1, failed 2, absent 0"
        page.screenshot("server-history.png", docs=True)
        page.open(server.url + "/history?name=nightly&node=t.broken", ready=False)
        assert page.js("return document.getElementById('state').textContent") == "failing since n1 (3 jobs)"
        assert [row[3] for row in table(page, "#history")] == ["link down on port %d" % n for n in (3, 2, 1)]
        # A job link opens the job at the node.
        page.js("document.querySelector('#history a').click()")
        assert wait_for(page, DETAIL_PATH, "t.broken") == "t.broken"
        page.assert_quiet()

    def test_trends_show_each_job(self, page, server, stored):
        page.open(server.url + "/trends?name=nightly", ready=False)
        rows = table(page, "#trend")
        nightly = sorted(j for j, row in stored.items() if row["name"] == "nightly")
        assert [row[0] for row in rows] == nightly
        for row in rows:
            counts = stored[row[0]]["counts"]
            assert row[2] == "%.1f %%" % (100.0 * counts.get("passed", 0) / counts["total"])
            assert row[3] == counts_text(counts)
        bars = page.js("return document.querySelectorAll('#trend-chart rect.bar-part').length")
        assert bars == sum(1 for j in nightly for k, v in stored[j]["counts"].items() if k != "total" and v)
        assert page.js("return document.querySelectorAll('#trend-chart circle').length") == len(nightly)
        slow = table(page, "#slowest")
        assert slow[0][0] == "t.broken" and slow[0][2] == "3.00 s"
        page.screenshot("server-trends.png", docs=True)
        page.open(server.url + "/trends", ready=False)
        assert {row[0]: row[1] for row in table(page, "#names")}["nightly"] == "3"
        page.assert_quiet()

    def test_compare_lists_what_changed(self, page, server, stored):
        page.open(server.url + "/compare?a=n2&b=n3", ready=False)
        assert [row[0] for row in table(page, "#new-failures")] == ["t.regress", "t.wobbly"]
        assert page.js("return document.querySelector('#fixes-title .count').textContent") == "0"
        assert [row[0] for row in table(page, "#run-times")] == []
        page.open(server.url + "/compare?b=n2", ready=False)
        assert [row[0] for row in table(page, "#fixes")] == ["t.wobbly"]
        assert [row[0] for row in table(page, "#run-times")] == []
        page.open(server.url + "/compare?a=n1&b=n3&t=0.5", ready=False)
        assert [row[0] for row in table(page, "#run-times")] == ["t.fine"]
        page.open(server.url + "/compare?a=w0&b=n3", ready=False)
        assert page.js("return document.querySelector('#added').textContent").startswith("t")
        assert page.js("return document.querySelector('#removed').textContent").startswith("a")
        page.open(server.url + "/compare?a=n2&b=n3&t=0.4", ready=False)
        assert [row[0] for row in table(page, "#run-times")] == ["t.fine"]
        page.screenshot("server-compare.png", docs=True)
        page.assert_quiet()


def test_hostile_texts_stay_text_on_every_page(page, server):
    document = hostile_report()
    name = HOSTILE[5]
    send(server.client, "hostile1", document, name=name, token=server.TOKEN)
    send(server.client, "hostile2", document, name=name, token=server.TOKEN)
    import urllib.parse
    quoted = urllib.parse.quote(name, safe="")
    paths = ["task." + t.replace(".", ",") for t in HOSTILE]
    pages = ["/?q=hostile", "/jobs/hostile2", "/trends?name=" + quoted,
             "/history?name=%s&node=%s" % (quoted, urllib.parse.quote(json.dumps(["task", HOSTILE[1]]), safe="")),
             "/compare?a=hostile1&b=hostile2"]
    for url in pages:
        page.open(server.url + url, ready=url.startswith("/jobs/"))
        page.js("""
            document.querySelectorAll('#tree li[aria-expanded=false] > .row .twisty').forEach(function (t) { t.click(); });
        """)
        time.sleep(0.3)
        page.js("document.querySelectorAll('#tree .row .id').forEach(function (r) { r.click(); });")
        assert page.js("return typeof window.__kovraPwned") == "undefined", url
        assert page.js("return document.querySelectorAll('img, iframe, object, embed').length") == 0, url
        assert page.js("return document.querySelectorAll('script:not([type])').length") <= 1, url
        hrefs = page.js("return Array.from(document.querySelectorAll('a')).map(function (a) { return a.href; })")
        assert all(h.startswith(server.url + "/") for h in hrefs), url
        page.assert_quiet()
    page.open(server.url + "/jobs/hostile2")
    page.js("document.querySelectorAll('#tree li[aria-expanded=false] > .row .twisty').forEach("
            "function (t) { t.click(); });")
    ids = wait_for(page, "return Array.from(document.querySelectorAll('#tree .row .id')).map(function (e) "
                   "{ return e.textContent; }).slice(1).sort().join('|')",
                   "|".join(sorted(p.split(".", 1)[1] for p in paths)))
    assert ids == "|".join(sorted(p.split(".", 1)[1] for p in paths))
    page.screenshot("server-hostile.png")


class TestMainJobOnServer:
    """The main job sent with its logs: the server's job page shows what the file page shows."""

    @pytest.fixture(scope="class")
    def main(self, server, tmp_path_factory):
        from kovra.reporter import html as report_html

        out = tmp_path_factory.mktemp("main")
        document = run_main_job(out)
        logs = {p.name: p.read_bytes() for p in out.iterdir() if p.suffix == ".log"}
        assert logs
        send(server.client, "main1", document, name="main", logs=logs, token=server.TOKEN)
        path = out / "report.html"
        report_html.write(document, str(path), source_dir=str(out))
        return out, document, path

    def test_same_failures_reasons_and_logs_as_the_file_page(self, page, server, main):
        out, document, path = main
        listing = ("return Array.from(document.querySelectorAll('#failure-list tr')).slice(1).map(function (tr) {"
                   " return [tr.cells[0].textContent, tr.cells[1].querySelector('.badge').textContent,"
                   " tr.cells[2].textContent]; })")
        page.open(str(path))
        expected = page.js(listing)
        first = page.js(DETAIL_PATH)
        file_log = page.js("return document.getElementById('log-stretch').textContent")
        page.open(server.url + "/jobs/main1")
        assert expected and page.js(listing) == expected
        # Like the file page, it opens on the first failure, and fetches its log stretch from the server.
        assert wait_for(page, DETAIL_PATH, first) == first == expected[0][0]
        assert wait_for(page, "var e = document.getElementById('log-stretch');"
                              "return e && !e.hasAttribute('aria-busy') ? e.textContent : null", file_log) == file_log
        assert "ERROR" in file_log
        # The rows opened along the failing paths are the file page's.
        shown = page.js(ROWS)
        page.open(str(path))
        assert [row[:2] for row in page.js(ROWS)] == [row[:2] for row in shown]
        page.open(server.url + "/jobs/main1")
        wait_for(page, DETAIL_PATH, first)
        page.js("document.getElementById('browse').scrollIntoView()")
        page.screenshot("server-job.png", docs=True)
        page.assert_quiet()

    def test_keyboard_opens_rows_the_server_sends(self, page, server, main):
        out, document, path = main
        page.open(server.url + "/jobs/main1")
        task = document["report"]["tasks"][1]
        setup = task["id"] + "." + task["sections"][0]["id"]
        row = page.js(ROW_OF, setup)
        assert row.get_attribute("aria-expanded") == "false"
        assert row.get_attribute("aria-level") == "2"
        page.js("arguments[0].focus()", row)
        row.send_keys("\ue014")  # right: opens, once the rows have come
        deadline = time.time() + 10
        while row.get_attribute("aria-expanded") != "true" and time.time() < deadline:
            time.sleep(0.05)
        assert row.get_attribute("aria-expanded") == "true"
        row.send_keys("\ue014")  # right again: into the first child
        active = "return document.activeElement.querySelector(':scope > .row .id').textContent"
        assert page.js(active) == task["sections"][0]["sections"][0]["id"]
        page.js("return document.activeElement").send_keys("\ue007")  # enter: its detail
        assert page.js(DETAIL_PATH) == setup + "." + task["sections"][0]["sections"][0]["id"]
        page.assert_quiet()
