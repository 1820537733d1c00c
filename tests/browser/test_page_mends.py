"""The job page's detail pane, Failures card and search, and the compare page, as a new user meets them."""
import os
import re

from kovra.reporter import runset
from kovra.reporter.client import ServerClient
from support.browser import ARTIFACTS, DETAIL_PATH, wait_for
from support.server_jobs import report, send

FIELDS = ("return Array.from(document.querySelectorAll('#detail dt')).reduce(function (found, dt) {"
          " found[dt.textContent] = dt.nextElementSibling.textContent; return found; }, {})")



def test_detail_pane_health_times_and_whole_log(page, server):
    # A step that failed without health data, as the framework stores it (a health result, no entries).
    job = runset.RunSet(id="steps", seq_num=0)
    job.start()
    task = job.add_task(id="t", seq_num=0)
    task.start()
    case = task.add_section(id="c", seq_num=0, type="Testcase")
    case.start()
    step = case.add_section(id="s", seq_num=0)
    step.start()
    step.stop(result=runset.TestResult("failed", reason="no carrier"))
    case.stop()
    task.stop()
    job.stop()
    with ServerClient(server.url, "steps", token=server.TOKEN) as client:
        client.send(job)
    page.open(server.url + "/jobs/steps#node=t/c/s")
    assert wait_for(page, DETAIL_PATH, "t.c.s") == "t.c.s"
    fields = page.js(FIELDS)
    assert fields["Health"] == "no health data"
    # Times read alike whether or not their microseconds are zero.
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}", fields["Start"])
    document = report("logged", {"t.a": "failed"}, reasons={"t.a": "bad frame"})
    document["report"]["tasks"][0]["sections"][0]["logs"] = {"file": "t a.log", "begin": 6, "size": 6}
    send(server.client, "logged", document, token=server.TOKEN, logs={"t a.log": b"hello\nworld\nagain\n"})
    page.open(server.url + "/jobs/logged#node=t/a")
    assert wait_for(page, DETAIL_PATH, "t.a") == "t.a"
    fields = page.js(FIELDS)
    assert fields["Start"] == "2026-12-01 10:00:00.000000"
    assert fields["Log"] == "t a.log, from byte 6, 6 bytes"
    # The log's name links to the whole log.
    href = page.js("return document.getElementById('log-file').getAttribute('href')")
    assert href == "/api/jobs/logged/logs/t%20a.log"
    assert server.client.get(href).text == "hello\nworld\nagain\n"
    page.screenshot("detail-health-log.png")
    page.assert_quiet()


# Where each line of an element's text ends: the character before each line break.
LINE_ENDS = """
var walker = document.createTreeWalker(arguments[0], NodeFilter.SHOW_TEXT), ends = [], last = null, before = null;
for (var node = walker.nextNode(); node; node = walker.nextNode()) {
  for (var i = 0; i < node.length; i++) {
    var range = document.createRange();
    range.setStart(node, i);
    range.setEnd(node, i + 1);
    var top = range.getClientRects()[0].top;
    if (last !== null && top > last + 2) ends.push(before);
    last = top;
    before = node.data.charAt(i);
  }
}
return ends;
"""


def test_failures_card_keeps_names_whole(page, server):
    path = "task12.interfaces_routes.ospf_comes_up.full_adjacency_wait.step_3_of_the_link_test"
    send(server.client, "squeeze", report("squeeze", {path: "failed"}, reasons={path: "why " * 200},
                                          runtimes={path: 2.0}), token=server.TOKEN)
    page.open(server.url + "/jobs/squeeze")
    for card in ("failures-card", "slowest-card"):
        link = page.driver.find_element("css selector", "#%s td:first-child a" % card) if card == "failures-card" \
            else page.driver.find_element("xpath", "//h2[text()='Slowest sections']/..//td[1]/a")
        assert link.text == path
        # The path wraps, and only after a dot: never inside one of its names.
        ends = page.js(LINE_ENDS, link)
        assert ends and set(ends) == {"."}, (card, ends)
    page.js("document.getElementById('failures-card').scrollIntoView()")
    os.makedirs(ARTIFACTS, exist_ok=True)
    page.driver.save_screenshot(os.path.join(ARTIFACTS, "failures-card-paths.png"))
    page.assert_quiet()


def test_search_clears_a_detail_it_filters_out(page, server):
    send(server.client, "found", report("found", {"t.a": "failed", "t.b": "passed"}, reasons={"t.a": "alpha broke"}),
         token=server.TOKEN)
    page.open(server.url + "/jobs/found#node=t/b")
    assert wait_for(page, DETAIL_PATH, "t.b") == "t.b"
    page.driver.find_element("id", "search").send_keys("alpha")
    assert wait_for(page, "return document.getElementById('match-count').textContent", "1 node matches") == \
        "1 node matches"
    assert wait_for(page, DETAIL_PATH, None) is None
    assert "not among the search's nodes" in page.js("return document.getElementById('detail').textContent")
    assert page.js("return document.querySelectorAll('#tree [aria-selected=true]').length") == 0
    page.screenshot("search-clears-detail.png")
    page.assert_quiet()


def test_compare_chooses_recent_jobs_and_lists_leaf_failures(page, server):
    from selenium.webdriver.support.select import Select
    send(server.client, "cmp1", report("cmp1", {"t.c": "passed", "t.c.s": "passed"}), name="cmp", token=server.TOKEN)
    send(server.client, "cmp2", report("cmp2", {"t.c": "failed", "t.c.s": "failed"}, start="2026-12-02T10:00:00",
                                       reasons={"t.c.s": "counter 9 off by 2"}), name="cmp", token=server.TOKEN)
    page.open(server.url + "/compare", ready=False)
    Select(page.driver.find_element("name", "name")).select_by_value("cmp")
    page.driver.find_element("css selector", "form[aria-label='Jobs of a name'] button").click()
    wait_for(page, "return location.search", "?name=cmp")
    assert Select(page.driver.find_element("name", "b")).first_selected_option.get_attribute("value") == "cmp2"
    assert Select(page.driver.find_element("name", "a")).first_selected_option.get_attribute("value") == "cmp1"
    page.screenshot("compare-choose.png")
    assert page.axe() == []
    page.driver.find_element("css selector", "form[aria-label='Jobs to compare'] button").click()
    wait_for(page, "return location.search", "?a=cmp1&b=cmp2")
    rows = page.js("return Array.from(document.querySelectorAll('#new-failures tbody tr')).map(function (tr) {"
                   " return Array.from(tr.cells).map(function (td) { return td.textContent; }); })")
    assert rows == [["t.c.s", "t.c", "failed", "passed", "counter 9 off by 2"]]
    page.screenshot("compare-leaf-failures.png")
    assert page.axe() == []
    page.assert_quiet()
