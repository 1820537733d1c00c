"""The HTML page of a stored report, opened in a real browser."""
import re

import pytest

from kovra.reporter import html as report_html
from support.report_pages import CONSOLE, HOSTILE, LONG_LINE, hostile_document, run_main_job, synthetic_job
from support.browser import wait_for

PROBLEMS = {"failed", "errored", "aborted", "blocked"}

# Every rendered row: [path of ids, aria-expanded, badge text].
ROWS = """
return Array.from(document.querySelectorAll('#tree li[role=treeitem]')).map(function (li) {
  var ids = [];
  for (var at = li; at; at = at.parentElement.closest('li[role=treeitem]'))
    ids.unshift(at.querySelector(':scope > .row .id').textContent);
  return [ids.join('.'), li.getAttribute('aria-expanded'), li.querySelector(':scope > .row .badge').textContent];
});
"""
ROW_OF = """
var want = arguments[0];
return Array.from(document.querySelectorAll('#tree li[role=treeitem]')).filter(function (li) {
  var ids = [];
  for (var at = li; at; at = at.parentElement.closest('li[role=treeitem]'))
    ids.unshift(at.querySelector(':scope > .row .id').textContent);
  return ids.join('.') === want;
})[0];
"""


def visible(text):
    """Report text as the page shows it: console control characters as escapes."""
    return re.sub("[\x00-\x08\x0b-\x1f\x7f]", lambda m: "\\x%02x" % ord(m.group()), text)


def walk(nodes, path=()):
    for node in nodes:
        here = path + (str(node["id"]),)
        yield ".".join(here), node
        yield from walk(node.get("sections") or [], here)


def result_of(node):
    result = node.get("result")
    return result.get("value") if isinstance(result, dict) else None


def assert_quiet(page):
    """No console errors, and no request but the page itself."""
    page.assert_quiet()
    assert [url for url in page.requests() if url != page.url and not url.startswith("data:")] == []



@pytest.fixture(scope="module")
def job(tmp_path_factory):
    out = tmp_path_factory.mktemp("job")
    document = run_main_job(out)
    path = out / "report.html"
    report_html.write(document, str(path), source_dir=str(out))
    return out, document, path


class TestMainJob:
    def test_counts_and_header_match_the_report(self, page, job):
        out, document, path = job
        report = document["report"]
        page.open(str(path))
        rows = page.js("return Array.from(document.querySelectorAll('#result-counts tr')).slice(1)"
                       ".map(function (tr) { return [tr.cells[0].textContent, tr.cells[1].textContent]; })")
        expected = {key: value for key, value in report["summary"].items()
                    if key not in ("total", "success_rate") and value}
        assert {name: int(count) for name, count in rows} == expected
        assert page.js("return document.getElementById('success-rate').textContent") == \
            "%.2f %%" % report["summary"]["success_rate"]
        facts = dict(page.js("return Array.from(document.querySelectorAll('#facts > div'))"
                             ".map(function (d) { return [d.children[0].textContent, d.children[1].textContent]; })"))
        assert facts["Host"] == report["host"] and facts["Submitter"] == report["submitter"]
        assert facts["Release"] == report["extra"]["release"] and facts["Testbed"] == report["extra"]["testbed"]
        assert facts["Start"] == report["starttime"] and facts["Stop"] == report["stoptime"]
        assert page.js("return document.getElementById('job-id').textContent") == report["id"]
        roots = [row[0] for row in page.js(ROWS) if "." not in row[0]]
        assert roots == [task["id"] for task in report["tasks"]]
        assert_quiet(page)

    def test_failing_paths_are_open_and_show_reason_and_log(self, page, job):
        out, document, path = job
        page.open(str(path))
        rows = {row[0]: row for row in page.js(ROWS)}
        stored = dict(walk(document["report"]["tasks"]))
        failing = [where for where, node in stored.items() if result_of(node) in PROBLEMS]
        assert failing
        for where in failing:
            assert rows[where][2] == result_of(stored[where])
            parts = where.split(".")
            for depth in range(1, len(parts)):
                assert rows[".".join(parts[:depth])][1] == "true", where
        # Nothing that passed is opened for the reader.
        opened = [where for where, row in rows.items() if row[1] == "true"]
        assert all(any(f.startswith(where + ".") for f in failing) for where in opened)

        # A real click on a failing step shows its reason and its log stretch.
        target = [where for where in failing if not stored[where].get("sections")][-1]
        page.js(ROW_OF, target).find_element("css selector", ":scope > .row .id").click()
        assert page.js("return document.querySelector('#detail .path').textContent") == target
        node = stored[target]
        assert page.js("return document.querySelector('#detail pre.reason').textContent") == node["result"]["reason"]
        logs = node["logs"]
        raw = (out / logs["file"]).read_bytes()[logs["begin"]:logs["begin"] + logs["size"]].decode()
        assert "ERROR" in raw
        assert page.js("return document.getElementById('log-stretch').textContent") == raw
        page.screenshot("report.png")
        page.js("document.getElementById('theme').click(); document.getElementById('theme').click();")
        assert page.js("return document.documentElement.getAttribute('data-theme')") == "dark"
        page.screenshot("report-dark.png")
        assert_quiet(page)

    def test_keyboard_opens_moves_and_selects(self, page, job):
        out, document, path = job
        page.open(str(path))
        first = document["report"]["tasks"][1]["id"]
        setup = first + ".common_setup"
        row = page.js(ROW_OF, setup)
        assert row.get_attribute("aria-expanded") == "false"
        page.js("arguments[0].focus()", row)
        active = "return document.activeElement.querySelector(':scope > .row .id').textContent"
        row.send_keys("\ue014")  # right: opens
        assert row.get_attribute("aria-expanded") == "true"
        row.send_keys("\ue014")  # right again: into the first child
        assert page.js(active) == "connect"
        page.js("return document.activeElement").send_keys("\ue007")  # enter: its detail
        assert page.js("return document.querySelector('#detail .path').textContent") == setup + ".connect"
        page.js("return document.activeElement").send_keys("\ue012")  # left: back to the parent
        assert page.js(active) == "common_setup"
        page.js("return document.activeElement").send_keys("\ue012")  # left again: closes it
        assert row.get_attribute("aria-expanded") == "false"
        page.js("return document.activeElement").send_keys("\ue015")  # down: the next row
        assert page.js(active) == document["report"]["tasks"][1]["sections"][1]["id"]
        assert_quiet(page)

    def test_failed_only_filter_and_search(self, page, job):
        from selenium.webdriver.support.select import Select

        out, document, path = job
        stored = dict(walk(document["report"]["tasks"]))
        page.open(str(path))
        count = "return document.getElementById('match-count').textContent"

        Select(page.driver.find_element("id", "filter")).select_by_value("problems")
        failing = {where for where, node in stored.items() if result_of(node) in PROBLEMS}
        assert page.js(count) == "%d nodes match" % len(failing)
        rows = page.js(ROWS)
        # Task rows carry their worst section's badge; tasks have no result of their own.
        assert {row[0] for row in rows if row[2] in PROBLEMS and "." in row[0]} == failing
        assert all(row[0] in failing or row[1] == "true" for row in rows)

        Select(page.driver.find_element("id", "filter")).select_by_value("")
        box = page.driver.find_element("id", "search")
        box.send_keys("Area 3")
        wanted = {where for where, node in stored.items() if "area 3" in (node.get("description") or "").lower()}
        assert wanted and wait_for(page, count, "%d nodes match" % len(wanted)) == "%d nodes match" % len(wanted)
        assert {row[0] for row in page.js(ROWS) if row[1] != "true"} == wanted

        box.clear()
        box.send_keys("substep2")
        wanted = {where for where in stored if where.endswith(".substep2")}
        assert wait_for(page, count, "%d nodes match" % len(wanted)) == "%d nodes match" % len(wanted)
        assert {row[0] for row in page.js(ROWS) if row[0].endswith("substep2")} == wanted
        assert_quiet(page)


def test_hostile_report_runs_no_script(page, tmp_path):
    document = hostile_document(str(tmp_path))
    path = tmp_path / "hostile.html"
    report_html.write(document, str(path), source_dir=str(tmp_path))
    page.open(str(path))
    # Open every node and show every detail, so each text is drawn at least once.
    page.js("""
        var seen = 0;
        for (;;) {
          var closed = document.querySelectorAll('#tree li[aria-expanded=false] > .row .twisty');
          if (!closed.length || seen++ > 50) break;
          closed.forEach(function (t) { t.click(); });
        }
        document.querySelectorAll('#tree li[role=treeitem] > .row .id').forEach(function (r) { r.click(); });
    """)
    assert page.js("return typeof window.__kovraPwned") == "undefined"
    assert page.driver.title == "Job " + HOSTILE[0]
    assert page.js("return document.querySelectorAll('img, svg, iframe, object, embed, script').length") == 2
    # The only links are the page's own node links, and the log's name: a relative link to the file beside it.
    hrefs = page.js("return Array.from(document.querySelectorAll('a:not(#log-file)'))"
                    ".map(function (a) { return a.getAttribute('href'); })")
    assert hrefs and all(href.startswith("#node=") for href in hrefs)
    assert page.js("return document.getElementById('log-file').getAttribute('href')") == "hostile.log"
    ids = page.js("return Array.from(document.querySelectorAll('#tree .row .id')).map(function (e) "
                  "{ return e.textContent; })")
    assert ids == [HOSTILE[0]] + HOSTILE + ["broken-step"]
    # The failing step's detail: reason and log as text, control characters made visible.
    page.js(ROW_OF, HOSTILE[0] + ".broken-step").find_element("css selector", ":scope > .row .id").click()
    assert page.js("return document.querySelector('#detail pre.reason').textContent") == \
        visible(HOSTILE[1] + "\n" + CONSOLE)
    log = page.js("return document.getElementById('log-stretch').textContent")
    logs = document["report"]["tasks"][0]["sections"][-1]["logs"]
    raw = (tmp_path / "hostile.log").read_bytes()[logs["begin"]:logs["begin"] + logs["size"]].decode()
    assert "\U0001f525" in raw and LONG_LINE in raw
    head = raw.encode()[:report_html.STRETCH_HEAD].decode()
    assert log.startswith(visible(head)) and log.endswith("\U0001f525 the device said no\n")
    assert "bytes left out" in log
    # Long lines wrap instead of widening the page.
    assert page.js("return document.documentElement.scrollWidth <= window.innerWidth")
    page.screenshot("report-hostile.png")
    assert_quiet(page)


def test_a_large_job_is_drawn_lazily(page, tmp_path):
    document = synthetic_job(str(tmp_path), tasks=8, testcases=600, steps=4)
    path = tmp_path / "large.html"
    report_html.write(document, str(path), source_dir=str(tmp_path))
    page.open(str(path))
    assert page.js("return document.documentElement.getAttribute('data-ready')") == str(8 + 8 * 600 * 5)
    assert page.js("return document.querySelectorAll('#tree li').length") < 2500
    box = page.driver.find_element("id", "search")
    box.send_keys("tc599")
    count = "return document.getElementById('match-count').textContent"
    assert wait_for(page, count, "8 nodes match") == "8 nodes match"
    assert sorted(row[0] for row in page.js(ROWS) if row[1] != "true") == ["task%d.tc599" % t for t in range(8)]
    # A slow section listed in the summary opens where it lies, deep in its task.
    page.js("document.querySelector('#summary .jump').scrollIntoView()")
    box.clear()
    wait_for(page, count, "")
    page.js("Array.from(document.querySelectorAll('#summary .jump')).pop().click()")
    where = page.js("return document.querySelector('#detail .path').textContent")
    assert re.fullmatch(r"task\d\.tc\d+(\.step\d)?", where)
    assert page.js("return document.activeElement.getAttribute('aria-selected')") == "true"
    assert_quiet(page)


class TestFindingAndLinking:
    def test_search_reads_reasons_and_details(self, page, job):
        out, document, path = job
        stored = dict(walk(document["report"]["tasks"]))
        page.open(str(path))
        count = "return document.getElementById('match-count').textContent"
        box = page.driver.find_element("id", "search")
        reasons = {where: node["result"]["reason"] for where, node in stored.items()
                   if isinstance(node.get("result"), dict) and node["result"].get("reason")}
        where, reason = sorted(reasons.items())[0]
        word = max(reason.split(), key=len)
        wanted = {w for w, node in stored.items()
                  if word.lower() in "\n".join([str(node["id"]), str(node.get("name") or ""),
                                                 node.get("description") or "", reasons.get(w, ""),
                                                 "\n".join(map(str, node.get("details") or []))]).lower()}
        assert where in wanted
        # The word is the reason's own: id, name and description alone would miss it.
        node = stored[where]
        assert word.lower() not in "\n".join([str(node["id"]), str(node.get("name") or ""),
                                                node.get("description") or ""]).lower()
        box.send_keys(word)
        expected = "%d node%s" % (len(wanted), " matches" if len(wanted) == 1 else "s match")
        assert wait_for(page, count, expected) == expected
        assert where in {row[0] for row in page.js(ROWS)}
        assert_quiet(page)

    def test_failure_list_names_each_failure_with_its_reason(self, page, job):
        out, document, path = job
        stored = dict(walk(document["report"]["tasks"]))
        page.open(str(path))
        listed = page.js("return Array.from(document.querySelectorAll('#failure-list tr')).slice(1)"
                         ".map(function (tr) { return [tr.cells[0].textContent, tr.cells[1].textContent, "
                         "tr.cells[2].textContent]; })")
        # Failing nodes with no failing node beneath them.
        roots = [w for w, node in stored.items() if result_of(node) in PROBLEMS and not any(
            result_of(n) in PROBLEMS for v, n in stored.items() if v.startswith(w + "."))]
        assert [row[0] for row in listed] == roots
        for where, result, reason in listed:
            node = stored[where]
            assert result == result_of(node)
            assert reason == ((node["result"].get("reason") or "").split("\n")[0])
        assert "Failures (%d)" % len(roots) in page.js("return document.getElementById('failures-card').textContent")
        # Its link opens the node, and the address then names it.
        page.js("document.querySelectorAll('#failure-list a')[arguments[0]].click()", len(roots) - 1)
        assert page.js("return document.querySelector('#detail .path').textContent") == roots[-1]
        assert page.js("return location.hash") == "#node=" + "/".join(roots[-1].split("."))
        assert_quiet(page)

    def test_a_deep_link_reopens_its_node(self, page, job):
        out, document, path = job
        stored = dict(walk(document["report"]["tasks"]))
        page.open(str(path))
        # A passing node deep in a closed path: nothing opens it on its own.
        target = [w for w, node in stored.items() if w.count(".") >= 2 and result_of(node) == "passed"][-1]
        assert target not in {row[0] for row in page.js(ROWS)}
        page.js("location.hash = arguments[0]", "#node=" + "/".join(target.split(".")))
        assert wait_for(page, "return document.querySelector('#detail .path').textContent", target) == target
        link = page.js("return location.href")
        page.open(link)
        assert page.js("return document.querySelector('#detail .path').textContent") == target
        assert page.js("return document.activeElement.getAttribute('aria-selected')") == "true"
        # Clicking another node names it in the address.
        other = page.js(ROWS)[0][0]
        page.js(ROW_OF, other).find_element("css selector", ":scope > .row .id").click()
        assert page.js("return location.hash") == "#node=" + other
        assert_quiet(page)


def test_each_run_of_a_test_case_run_twice_has_its_address(page, tmp_path):
    def case(result, step):
        return {"id": "case", "result": {"value": result}, "sections": [{"id": step, "result": {"value": result}}]}
    document = {"version": "3.2", "report": {"id": "r", "tasks": [
        {"id": "t", "sections": [case("passed", "a"), case("failed", "b")]}]}}
    path = tmp_path / "twice.html"
    report_html.write(document, str(path), source_dir=str(tmp_path))
    for address, shown in (("t/case;1/b", "failed"), ("t/case/a", "passed")):
        page.open("%s#node=%s" % (path, address))
        script = "var h = document.querySelector('#detail h2'); return !!h && h.textContent.indexOf('%s') >= 0"
        assert wait_for(page, script % shown, True), address
    # A click on the second run names it by its position, as on the server.
    page.js("Array.from(document.querySelectorAll('#tree .row .id')).filter(function (e) "
            "{ return e.textContent === 'case'; })[1].click()")
    assert page.js("return location.hash") == "#node=t/case;1"
    assert_quiet(page)
