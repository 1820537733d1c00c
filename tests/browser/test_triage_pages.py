"""The triage pages in Chromium on the new user's series (30 nightly jobs of one name), with screenshots,
and axe-core on every page, the file page included: no critical or serious finding."""
import datetime
import os
import time

import pytest

from support.server_jobs import NAME, nightly, report, send

from kovra.reporter import html as report_html

ARTIFACTS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "build",
                         "browser-artifacts")


@pytest.fixture(scope="module")
def series(server):
    client = server.client
    for number in range(1, 31):
        send(client, "%s-%d" % (NAME, number), nightly(number), name=NAME, token=server.TOKEN)
    auth = {"Authorization": "Bearer " + server.TOKEN}
    client.put("/api/owners?name=" + NAME, content=b"* @qa\nc.* @counters\n", headers=auth)
    client.post("/api/known-issues", json={"title": "BUG-7 routes lost after upgrade", "match": "routes, got",
                                           "url": "https://bugs.example.com/7"}, headers=auth)
    client.post("/api/mutes", json={"name": NAME, "path": "t.stable", "reason": "lab rewiring", "owner": "alice",
                                    "until": (datetime.date.today() + datetime.timedelta(days=30)).isoformat()}, headers=auth)
    return client


def group_rows(page):
    return page.js("return Array.prototype.map.call(document.querySelectorAll('#failure-groups details'),"
                   " function (d) { return d.querySelector('summary').textContent; })")


def test_the_job_page_groups_failures_by_cause(page, server, series):
    page.open(server.url + "/jobs/%s-30" % NAME)
    groups = group_rows(page)
    assert groups[0].startswith("243 \u00d7 counter mismatch on port <num>")
    assert "243 failing; owners: @counters; first seen regress-29 (2 jobs)" in groups[0]
    regression = next(g for g in groups if "routes" in g)
    assert "1 failing; known issue: BUG-7 routes lost after upgrade" in regression
    assert any(g.startswith("1 \u00d7 no answer within <num> s \u2014 1 flaky") for g in groups)
    # A group opens to its nodes, each with its state in words.
    page.js("document.querySelectorAll('#failure-groups details')[%d].open = true" % groups.index(regression))
    cells = page.js("return Array.prototype.map.call(document.querySelectorAll('#failure-groups details[open] td'),"
                    " function (td) { return td.textContent; })")
    assert cells == ["t.regression", "failed", "failing since regress-28 (3 jobs)", "expected 4 routes, got 3"]
    page.screenshot("triage-job-groups.png")
    page.js("document.getElementById('failure-groups').scrollIntoView()")
    os.makedirs(ARTIFACTS, exist_ok=True)
    page.driver.save_screenshot(os.path.join(ARTIFACTS, "triage-job-groups-card.png"))
    page.assert_quiet()


def test_history_says_why_with_its_evidence(page, server, series):
    page.open(server.url + "/history?name=%s&node=t.regression" % NAME, ready=False)
    assert page.js("return document.getElementById('state').textContent") == \
        "failing since regress-28 (3 jobs; passed in the 27 jobs before)"
    page.screenshot("triage-history-regression.png")
    page.open(server.url + "/history?name=%s&node=t.wobbly" % NAME, ready=False)
    assert page.js("return document.getElementById('state').textContent") == \
        "new failure: failing since regress-30 (1 job)" or "flaky: changed between pass and fail" in \
        page.js("return document.getElementById('state').textContent")
    page.assert_quiet()


def test_rule_pages(page, server, series):
    page.open(server.url + "/known-issues/1", ready=False)
    rows = page.js("return Array.prototype.map.call(document.querySelectorAll('#matches tr td:first-child'),"
                   " function (td) { return td.textContent; })")
    assert rows == ["regress-30", "regress-29", "regress-28"]
    page.screenshot("triage-known-issue.png")
    page.open(server.url + "/mutes", ready=False)
    passing = page.js("return document.querySelector('#passing td').textContent")
    assert passing == "t.stable"
    page.screenshot("triage-mutes.png")
    page.assert_quiet()


def test_no_serious_accessibility_finding_on_any_page(page, server, series, tmp_path):
    signature = series.get("/api/jobs/%s-30/failures" % NAME).json()["groups"][0]["signature"]
    found = {}
    for path in ["/", "/jobs/%s-30" % NAME, "/history?name=%s&node=t.regression" % NAME, "/trends",
                 "/trends?name=" + NAME, "/compare?a=%s-29&b=%s-30" % (NAME, NAME), "/known-issues",
                 "/known-issues/1", "/mutes", "/owners", "/signatures/" + signature]:
        page.open(server.url + path, ready=path.startswith("/jobs/"))
        found[path] = page.axe()
    document = series.get("/api/jobs/%s-30/report" % NAME).json()
    file_page = tmp_path / "report.html"
    report_html.write(document, str(file_page))
    page.open(str(file_page))
    found["file page"] = page.axe()
    bad = ["%s: %s (%s, %d elements; first %s: %s)" % (path, *v[:4], " ".join(v[4].split()))
           for path, found_here in found.items() for v in found_here]
    assert not bad, "\n".join(bad)


@pytest.mark.parametrize("seconds,shown", [(299.7, "5 m 00 s"), (59.4, "59.40 s"), (3599.6, "1 h 00 m"), (61.2, "1 m 01 s")])
def test_run_times_round_before_they_are_split(page, server, seconds, shown):
    job = "slow-%d" % int(seconds * 10)
    send(server.client, job, report(job, {"t.slow": "passed"}, runtimes={"t.slow": seconds}), token=server.TOKEN)
    page.open(server.url + "/jobs/" + job + "#node=t/slow")
    # The node's row comes from the server after the page has drawn: wait for it.
    deadline = time.time() + 15
    while True:
        texts = page.js("return Array.prototype.map.call(document.querySelectorAll('#tree li[role=treeitem]'),"
                        " function (li) { return li.textContent; })")
        if any(shown in t for t in texts) or time.time() > deadline:
            break
        time.sleep(0.05)
    assert any(shown in t for t in texts), texts
