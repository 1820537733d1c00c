"""A real job, stored as JSON and YAML, served by the stand-in client and explored back."""
import os
import re
import subprocess
import sys

import pytest

from kovra.reporter import runset
from kovra.reporter.explorer import Explorer, ExplorerSections
from kovra.reporter_client import ReporterClient
from kovra.results import Failed, Passed, Skipped

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.fixture(scope="module")
def job():
    rs = runset.RunSet(id="job", seq_num=0)
    rs.start(cli="run", release="r1")
    rs.add_plugin(id="env", seq_num=0).stop(result=Passed)
    for number, result in enumerate([Passed, Failed], 1):
        task = rs.add_task(id="t%d" % number, seq_num=number)
        task.start()
        section = task.add_section(id="sec", seq_num=1)
        section.start()
        section.add_section(id="step1", seq_num=1).stop(result=result)
        section.add_section(id="step2", seq_num=2).stop(result=Skipped)
        section.stop()
        task.add_plugin(id="rec", seq_num=2).stop(result=Passed)
        task.stop()
    rs.add_task(id="never", seq_num=3)
    rs.stop(num_tasks=3)
    return rs


@pytest.fixture(params=["json", "yaml"])
def client(request, job, tmp_path):
    path = tmp_path / ("results." + request.param)
    path.write_text(job.dump_json() if request.param == "json" else job.dump_yaml())
    return ReporterClient.from_file(str(path))


def children_of(node):
    return node.tasks if isinstance(node, runset.RunSet) else getattr(node, "sections", [])


def compare(stored, node):
    assert (stored.id, stored.type, stored.fullid, stored.idlist) == (node.id, node.type, node.fullid, node.idlist)
    result, expected = stored.result, getattr(node, "result", None)
    assert (result and result["value"]) == (expected and str(expected).lower())
    kids = children_of(node)
    seq = stored.tasks if isinstance(node, runset.RunSet) else vars(stored).get("sections")
    if not kids:
        # Empty child lists are left out of the stored form.
        assert seq is None
        return
    assert type(seq) is ExplorerSections and seq == [kid.id for kid in kids]
    for stored_kid, kid in zip(seq, kids):
        compare(stored_kid, kid)


def test_stored_report_explores_back_to_the_same_tree(job, client):
    root = Explorer(client)
    compare(root, job)
    assert root._id_list == [] and root.totaltasks == 3
    step = root.tasks[-2].sections[0].sections[0]
    assert step._id_list == ["t2", "sec", "step1"] and step.result["value"] == "failed"


def test_answers_are_fresh_mappings_and_unknown_paths_are_named(job, client):
    answer = client.get_section(id_list=["t1"])
    assert answer["sections"] == job.tasks[1].to_dict()["sections"] == ["sec", "rec"]
    answer["sections"].append("spoiled")
    assert client.get_section(id_list=["t1"])["sections"] == ["sec", "rec"]
    for path in (["nope"], ["t1", "sec", "step1", "deeper"]):
        with pytest.raises(KeyError, match=re.escape(repr(path))):
            Explorer(client, path)


def test_main_job_prints_the_stored_tree(tmp_path):
    proc = subprocess.run([sys.executable, os.path.join(REPO_ROOT, "tools", "main_job.py"), "--out", str(tmp_path),
                           "--tasks", "1", "--sections", "1", "--tree", "full"], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    start = lines.index("stored report, read back through the explorer (id, type, result):")
    # The tree runs up to the local server's part, or else the commands that look at the stored files.
    end = next(i for i, line in enumerate(lines) if line.startswith(("stored in a local reporter server",
                                                                     "look at it from ")))
    assert [line.split() for line in lines[start + 1:end]] == [
        # The job and a task show the worst result of their test cases, as `show` and the page do.
        ["nightly", "RunSet", "failed"], ["environment", "Plugin", "passed"], ["task1", "Task", "failed"],
        ["common_setup", "CommonSetup", "passed"], ["connect", "Subsection", "passed"],
        ["section0", "Testcase", "failed"], ["step0", "Section", "passed"], ["substep0", "Step", "passed"],
        ["substep1", "Step", "passed"], ["substep2", "Step", "passed"], ["step1", "Section", "failed"],
        ["common_cleanup", "CommonCleanup", "passed"], ["collector", "Plugin", "passed"],
    ]
    assert lines[-1] == "Report written to: %s" % tmp_path


def test_the_client_reads_yaml_natively_and_refuses_aliases_and_depth(job):
    from kovra.reporter import _yaml, yaml_load
    assert yaml_load._native is _yaml
    text = job.dump_yaml()
    assert ReporterClient(text).get_runset()["tasks"] == [task.id for task in job.tasks]
    with pytest.raises(ValueError, match="found an alias"):
        ReporterClient("version: '3.2'\nreport: &r\n  id: j\n  tasks: [*r]\n")
    with pytest.raises(ValueError, match="nested too deeply"):
        ReporterClient("version: '3.2'\nreport: " + "[" * 100_000)


def twice_run_report():
    """A test case run twice (one id, two results) beside a task and a section of one id, and a
    section whose id is an object."""
    def case(result, node_id="case"):
        return {"id": node_id, "type": "Testcase", "result": {"value": result}, "sections": []}
    return {"version": "3.2", "report": {"id": "job", "tasks": [
        {"id": "t", "sections": [case("failed"), case("passed", "other"), case("passed"), case("errored")]},
        {"id": "u", "sections": [case("passed", {"k": 1})]}],
        "sections": [{"id": "t", "description": "a section named like a task"}]}}


def test_siblings_with_one_id_are_each_reached():
    import json
    root = Explorer(ReporterClient(json.dumps(twice_run_report())))
    # Tasks, then sections, make one list of siblings: the section "t" is the third.
    assert root.tasks == ["t", "u"] and root.sections == [{"id": "t", "position": 2}]
    assert root.sections[0].description == "a section named like a task"
    task = root.tasks[0]
    assert task.sections == ["case", "other", {"id": "case", "position": 2}, {"id": "case", "position": 3}]
    assert [(s.id, s.result["value"]) for s in task.sections] == \
        [("case", "failed"), ("other", "passed"), ("case", "passed"), ("case", "errored")]
    assert task.sections[3]._id_list == ["t", {"id": "case", "position": 3}]
    assert [s.id for s in root.tasks[1].sections] == [{"k": 1}]
    for wrong in ({"id": "other", "position": 2}, {"id": "case", "position": 9}):
        with pytest.raises(KeyError):
            ReporterClient(json.dumps(twice_run_report())).get_section(id_list=["t", wrong])
