"""Sends per task: each task replaces itself alone, keeps its place, and the job reads as if sent whole."""
import json
import time
import urllib.parse

import pytest

from conftest import AUTH, TOKEN
from reports import main_job_module, walk
from test_client import live  # noqa: F401  (the fixture)

from kovra.reporter import runset
from kovra.reporter.client import ServerClient, ServerError


def report_of(client):
    return json.loads(client.get_report())["report"]


def test_tasks_sent_as_they_stop_read_as_the_whole_job(live, tmp_path):  # noqa: F811
    job_module = main_job_module()
    job = runset.RunSet(id="nightly", seq_num=0)
    job.start(job_type="regression", host="lab-host")
    with ServerClient(live, "by-task", token=TOKEN) as by_task, ServerClient(live, "whole", token=TOKEN) as whole:
        snapshots = []
        for index in (1, 2, 3):
            job_module.run_task(job, index, 2, str(tmp_path))
            row = by_task.send_task(job, job.tasks[-1])
            snapshots.append((row["snapshot"], row["state"], row["changed"]))
        assert snapshots == [(1, "running", True), (2, "running", True), (3, "running", True)]
        job.stop()
        assert by_task.send_task(job, job.tasks[0], state="finished")["snapshot"] == 4
        whole.send(job)
        # Same nodes, same order, same logs, same job row: pages and the explorer cannot tell.
        assert report_of(by_task) == report_of(whole)
        assert walk(by_task) == walk(whole)
        assert by_task.log_names() == whole.log_names() != {}
        mine, theirs = by_task.job_info(), whole.job_info()
        for key in ("result", "counts", "nodes", "state", "start", "stop", "name"):
            assert mine[key] == theirs[key], key

        # The cross-job index follows the tasks: failures and the verdict read as the whole send's.
        def causes(client):
            return [(g["signature"], g["count"], sorted(n["path"] for n in g["nodes"]))
                    for g in client.failures()["groups"]]
        assert causes(by_task) == causes(whole) != []
        # The per-job signature counts (what a signature's page lists) are the whole send's too.
        for signature, count, _ in causes(whole):
            listed = by_task._json("GET", "/api/signatures/" + signature)["jobs"]
            assert {j["job"]: j["count"] for j in listed} == {"by-task": count, "whole": count}
        # A task send whose job started anew carries the new start onto the index rows of its other tasks.
        node = urllib.parse.quote(json.dumps(causes(whole)[0][2][0]))

        def started():
            name = by_task.job_info()["name"]
            found = by_task._json("GET", "/api/history?name=%s&node=%s" % (name, node))["results"]
            return [r["start"] for r in found if r["job"] == "by-task"]
        before = started()
        again = runset.RunSet(id="nightly", seq_num=0)
        time.sleep(0.01)
        again.start(job_type="regression", host="lab-host")
        by_task.send_task(again, job.tasks[1], state="finished", replace=True)
        assert len(started()) == len(before) == 1 and started() != before
        by_task.send_task(job, job.tasks[1], state="finished", replace=True)
        assert started() == before
        assert by_task.check()["failing"] == whole.check()["failing"] != []
        # The same task again changes nothing; a finished job's task is replaced only when the send says so.
        assert by_task.send_task(job, job.tasks[0], state="finished")["changed"] is False
        job.tasks[0].add_detail("looked at again")
        with pytest.raises(ServerError, match="409"):
            by_task.send_task(job, job.tasks[0], state="finished")
        # The same task again changes nothing; a changed one keeps its place among the tasks.
        row = by_task.send_task(job, job.tasks[0], state="finished", replace=True)
        assert (row["changed"], row["snapshot"]) == (True, 7)
        report = report_of(by_task)
        assert [t["id"] for t in report["tasks"]] == ["task1", "task2", "task3"]
        assert "looked at again" in report["tasks"][0]["details"]
        # A whole send still replaces everything.
        small = runset.RunSet(id="nightly", seq_num=0)
        small.start()
        small.stop()
        row = by_task.send(small, replace=True)
        assert (row["snapshot"], row["nodes"]) == (8, 1)
        assert "tasks" not in report_of(by_task)


@pytest.mark.parametrize("tasks, status", [(0, 400), (2, 400)], ids=["no-task", "two-tasks"])
def test_a_task_send_holds_exactly_one_task(client, tasks, status):
    report = {"type": "RunSet", "id": "j", "fullid": "j", "name": "j",
              "tasks": [{"type": "Task", "id": "t%d" % i, "fullid": "t%d" % i} for i in range(tasks)]}
    text = json.dumps({"version": "3.2", "report": report})
    answer = client.put("/api/jobs/j/task", content=text, headers=AUTH)
    assert answer.status_code == status
    assert "exactly one task" in answer.json()["error"]
    assert client.get("/api/jobs/j").status_code == 404
    assert client.put("/api/jobs/j/task", content=text, headers={}).status_code == 401
