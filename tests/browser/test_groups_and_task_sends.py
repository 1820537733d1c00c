"""A job sent task by task, followed live in the browser; shards shown as one group on its page."""

from kovra.reporter import runset
from kovra.reporter.client import ServerClient
from support.browser import wait_for

COUNTS = ("return Array.from(document.querySelectorAll('#result-counts tr')).slice(1)"
          ".map(function (tr) { return tr.cells[0].textContent + ' ' + tr.cells[1].textContent; }).join()")
TASKS = ("return Array.from(document.querySelectorAll('#tree li[role=treeitem] > .row .id'))"
         ".map(function (id) { return id.textContent; }).filter(function (t) { return /^task/.test(t); }).join()")



def add_task(job, index, results):
    task = job.add_task(id="task%d" % index, seq_num=index)
    task.start()
    for number, value in enumerate(results):
        case = task.add_section(id="case%d" % number, seq_num=number, type="Testcase")
        case.start()
        case.stop(result=runset.TestResult(value, reason="<i>why</i>" if value != "passed" else None))
    task.stop()
    return task


def test_a_job_sent_task_by_task_is_followed_live(page, server):
    job = runset.RunSet(id="by-task", seq_num=0)
    job.start()
    with ServerClient(server.url, "by-task", token=server.TOKEN) as client:
        client.send_task(job, add_task(job, 1, ["passed", "passed"]))
        page.open(server.url + "/jobs/by-task")
        assert wait_for(page, TASKS, "task1") == "task1"
        # A running job's own summary is empty until it stops: the headline gives its test cases so far.
        client.send_task(job, add_task(job, 2, ["passed", "failed"]))
        assert wait_for(page, TASKS, "task1,task2") == "task1,task2"
        assert page.js(COUNTS) == "passed 3,failed 1"
        assert page.js("return document.getElementById('success-rate').textContent") == "75.00 %"
        assert "of 4 test cases finished so far" in page.js("return document.getElementById('results-card').textContent")
        page.screenshot("job-running-headline.png")
        last = add_task(job, 3, ["passed"])
        job.stop()
        client.send_task(job, last, state="finished")
        assert wait_for(page, TASKS, "task1,task2,task3") == "task1,task2,task3"
        assert wait_for(page, COUNTS, "passed 4,failed 1") == "passed 4,failed 1"
    page.screenshot("job-sent-task-by-task.png")
    page.assert_quiet()


def test_shards_on_one_group_page(page, server):
    for index, results in enumerate([["passed", "passed"], ["passed", "failed", "errored"]]):
        job = runset.RunSet(id="shard%d" % index, seq_num=0)
        job.start()
        add_task(job, 1, results)
        job.stop()
        with ServerClient(server.url, "nightly-7-shard%d" % index, token=server.TOKEN, group="nightly-7") as client:
            client.send(job)
    page.open(server.url + "/groups/nightly-7", ready=False)
    assert page.js("return document.getElementById('group-verdict').textContent").split()[:2] == ["failed", "2"]
    rows = page.js("return Array.from(document.querySelectorAll('#group-tree tbody tr'))"
                   ".map(function (tr) { return tr.className + ' ' + tr.cells[0].textContent.trim(); })")
    assert rows == ["group-job nightly-7-shard0 (shard0)", "group-task task1", "group-job nightly-7-shard1 (shard1)",
                    "group-task task1"]
    failures = page.js("return Array.from(document.querySelectorAll('#group-failures li'))"
                       ".map(function (li) { return li.textContent.replace(/\\s+/g, ' ').trim(); })")
    assert failures == ["nightly-7-shard1: task1.case1 failed <i>why</i>",
                        "nightly-7-shard1: task1.case2 errored <i>why</i>"]
    assert page.js("return document.querySelectorAll('#group-failures i').length") == 0
    # The group's page has every page's navigation.
    assert "Known issues" in page.js("return document.querySelector('nav.site').textContent")
    page.screenshot("group-page.png")
    assert page.axe() == []
    # The jobs list, folded: the group is one row with the sums and verdict of its jobs.
    page.open(server.url + "/?fold=1", ready=False)
    row = page.js("var tr = document.querySelector('#jobs tr[data-group=\"nightly-7\"]');"
                  "return Array.from(tr.cells).map(function (td) { return td.textContent.trim(); })")
    assert row[0] == "group nightly-7 (2 jobs)" and row[5] == "3 passed 1 failed 1 errored" and row[6] == "failed"
    assert page.js("return document.querySelectorAll('#jobs tr[data-job^=\"nightly-7\"]').length") == 0
    page.screenshot("jobs-folded.png")
    assert page.axe() == []
    page.assert_quiet()
