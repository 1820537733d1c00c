"""Shards as one run: jobs naming one group are shown, counted and judged together."""
import os
import subprocess
import sys

import pytest

from conftest import AUTH, REPO, TOKEN
from test_client import live  # noqa: F401  (the fixture)

from kovra.reporter import runset
from kovra.reporter.client import ServerClient


def shard(name, tasks):
    """A finished run set whose tasks hold test cases of the given results, with reasons."""
    job = runset.RunSet(id=name, seq_num=0)
    job.start()
    for t, results in enumerate(tasks):
        task = job.add_task(id="task%d" % t, seq_num=t)
        task.start()
        for s, value in enumerate(results):
            case = task.add_section(id="case%d" % s, seq_num=s, type="Testcase")
            case.start()
            case.stop(result=runset.TestResult(value, reason="%s <b>here</b>" % value if value != "passed" else None))
        task.stop()
    job.stop()
    return job


def run_cli(*args):
    env = dict(os.environ, PYTHONPATH=REPO, KOVRA_REPORTER_TOKEN=TOKEN)
    return subprocess.run([sys.executable, "-m", "kovra.reporter"] + list(args), capture_output=True, text=True,
                          env=env, timeout=60)


@pytest.mark.parametrize("shards, passed, counts", [
    ([[["passed", "passed"]], [["passed"], ["skipped"]]], True, {"passed": 3, "skipped": 1}),
    ([[["passed", "failed"]], [["passed"], ["errored", "passed"]], [["passed"]]], False,
     {"passed": 4, "failed": 1, "errored": 1}),
], ids=["all-pass", "one-shard-fails"])
def test_shards_read_as_one_run(live, tmp_path, shards, passed, counts):  # noqa: F811
    for index, tasks in enumerate(shards):
        with ServerClient(live, "nightly-42-shard%d" % index, token=TOKEN, group="nightly-42") as client:
            client.send(shard("shard%d" % index, tasks))
    with ServerClient(live, "other", token=TOKEN) as client:
        client.send(shard("other", [["failed"]]))
        found = client.get_group("nightly-42")
    assert [job["id"] for job in found["jobs"]] == ["nightly-42-shard%d" % i for i in range(len(shards))]
    assert {k: v for k, v in found["counts"].items() if k not in ("total", "success_rate")} == counts
    assert found["counts"]["total"] == sum(counts.values())
    assert found["passed"] is passed and found["state"] == "finished"
    assert [[t["id"] for t in job["tasks"]] for job in found["jobs"]] == [
        ["task%d" % t for t in range(len(tasks))] for tasks in shards]
    failing = [(f["job"], f["path"], f["result"]) for f in found["failures"]]
    assert len(failing) == sum(counts.get(k, 0) for k in ("failed", "errored"))
    # The command line judges the group as the page does.
    done = run_cli("summary", live + "/groups/nightly-42", "--check")
    assert done.returncode == (0 if passed else 1), done.stderr
    assert ("check: ok" if passed else "check: FAILED") in done.stdout
    # The page: one tree, job then its tasks, markup in reasons shown as text.
    import httpx
    page = httpx.get(live + "/groups/nightly-42")
    assert page.status_code == 200
    assert page.text.count('class="group-job"') == len(shards)
    assert "<b>here</b>" not in page.text
    if not passed:
        assert "&lt;b&gt;here&lt;/b&gt;" in page.text
    # The group's page has the frame every page has.
    assert all('href="%s"' % href in page.text for href in ("/known-issues", "/mutes", "/owners"))
    listed = httpx.get(live + "/api/groups").json()["groups"]
    assert [(g["group"], g["jobs"], g["passed"]) for g in listed] == [("nightly-42", len(shards), passed)]
    folded = run_cli("jobs", live, "--groups").stdout.splitlines()
    assert folded[1].split()[:4] == ["nightly-42", str(len(shards)), "finished", "passed" if passed else "FAILED"]


def test_group_is_set_by_upload_and_kept_by_later_sends(live, tmp_path):  # noqa: F811
    folder = tmp_path / "out"
    folder.mkdir()
    (folder / "results.json").write_text(shard("s", [["passed", "failed"]]).dump_json())
    done = run_cli("upload", str(folder), live + "/jobs/shard-a", "--group", "night-1")
    assert done.returncode == 0, done.stderr
    with ServerClient(live, "shard-a", token=TOKEN) as client:
        # A send without a group leaves the job where it was (a finished job is replaced only on purpose).
        client.send(shard("s", [["passed", "passed"]]), replace=True)
        assert client.job_info()["group"] == "night-1"
        assert client.get_group("night-1")["passed"] is True


@pytest.mark.parametrize("path, status", [
    ("/api/groups/nothing-here", 404), ("/api/groups/%3Cb%3E", 400), ("/groups/nothing-here", 404),
])
def test_unknown_and_malformed_groups(client, path, status):
    assert client.get(path).status_code == status


def test_a_bad_group_name_stores_nothing(client):
    text = shard("s", [["passed"]]).dump_json()
    answer = client.put("/api/jobs/j", content=text, params={"group": "a b"}, headers=AUTH)
    assert answer.status_code == 400 and "not a group name" in answer.json()["error"]
    assert client.get("/api/jobs/j").status_code == 404


def test_jobs_list_folds_each_group_into_one_row(client):
    import re
    for key, group, results in (("a1", "night-1", ["passed"]), ("a2", "night-1", ["failed"]), ("solo", None, ["passed"]),
                                ("b1", "night-2", ["passed"])):
        answer = client.put("/api/jobs/" + key, content=shard(key, [results]).dump_json(), headers=AUTH,
                            params={"group": group} if group else {})
        assert answer.status_code == 200, answer.text

    def rows(**params):
        page = client.get("/", params=params).text
        return re.findall(r'<tr (?:class="group-row" )?data-(job|group)="([^"]*)"', page), page

    found, page = rows()
    assert sorted(found) == [("job", "a1"), ("job", "a2"), ("job", "b1"), ("job", "solo")]
    found, page = rows(fold="1")
    assert found == [("group", "night-2"), ("job", "solo"), ("group", "night-1")] and "3 jobs or groups match." in page
    # A folded group sums all its jobs and takes their verdict.
    night1 = page.split('data-group="night-1"')[1].split("</tr>")[0]
    assert "(2 jobs)" in night1 and "1 passed" in night1 and "1 failed" in night1 and "r-failed" in night1
    # Filters pick the groups any of whose jobs match; paging counts a group as one row.
    assert rows(fold="1", result="failing")[0] == [("group", "night-1")]
    assert rows(fold="1", per_page="2", page="2")[0] == [("group", "night-1")]
