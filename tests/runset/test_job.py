"""One whole job's report, from RunSet.start to the stored YAML and JSON."""
import datetime
import json
import types

import pytest
import yaml

from kovra.reporter import runset
from kovra.results import (Blocked, Failed, Passed, Passx, ResultCounter,
                           Skipped)
from kovra import results


def grow(path, n):
    with open(path, "a") as fh:
        fh.write("L" * n)


@pytest.fixture
def job(tmp_path):
    t1log, t2log = tmp_path / "t1.log", tmp_path / "t2.log"
    prelog, reclog = tmp_path / "preflight.log", tmp_path / "recorder.log"
    grow(t1log, 100)
    grow(t2log, 40)
    grow(prelog, 5)
    reclog.write_text("")

    rs = runset.RunSet(id="job-42", seq_num=1)
    rs.start(job_type="regression", cli="kovra run job.py", host="lab-7",
             submitter="ci", release="r9", labels=["nightly"])

    pre = rs.add_plugin(id="preflight", seq_num=0)
    pre.start(logfile=str(prelog), description="environment checks")
    pre.add_section(id="check-env", seq_num=1).stop(result=Passed)
    pre.add_section(id="check-disk", seq_num=2).stop(result=Blocked)
    pre.stop()

    t1 = rs.add_task(id="t1", seq_num=1)
    t1.start(logfile=str(t1log), testscript="a.py", parameters={"x": 1})
    setup = t1.add_section(id="common_setup", seq_num=1)
    setup.start(logfile=str(t1log))
    setup.update({"description": "prepare", "owner": "qa"})
    grow(t1log, 50)
    setup.stop(result=Passed)

    tc = t1.add_section(id="tc1", seq_num=2, type="TestCase")
    tc.start(logfile=str(t1log), testcase_type="functional")
    sec = tc.add_section(id="sec1", seq_num=1)
    sec.start(logfile=str(t1log))
    step1 = sec.add_section(id="step1", seq_num=1)
    step1.start(logfile=str(t1log))
    step1.update({"details": ["looked around"]})
    grow(t1log, 10)
    step1.stop(result=Passed)
    step2 = sec.add_section(id="step2", seq_num=2)
    step2.start(logfile=str(t1log))
    grow(t1log, 20)
    step2.stop(result=Failed, health=[{"result": "failed"}])
    sec.update({"xref": {"file": "a.py", "line": 10}})
    sec.stop()
    tc.stop()

    rec = t1.add_plugin(id="recorder", seq_num=3)
    rec.start(logfile=str(reclog))
    grow(reclog, 30)
    rec.stop()
    t1.stop()

    t2 = rs.add_task(id="t2", seq_num=2)
    t2.start(logfile=str(t2log))
    only = t2.add_section(id="only", seq_num=1)
    only.start()
    inner = only.add_section(id="inner", seq_num=1)
    inner.start()
    inner.stop(result=Passx, health=[{"result": "passed"}, {"result": "blocked"}])
    only.stop()
    t2.stop()

    t3 = rs.add_task(id="t3", seq_num=3)
    t3.start()
    t3.add_section(id="skipme", seq_num=1).stop(result=Skipped)
    t3.stop()

    t4 = rs.add_task(id="t4", seq_num=4)  # planned, never run

    rs.stop(num_tasks=4)
    return types.SimpleNamespace(**locals())


def counts(counter):
    return {k: n for k, n in counter.items() if n}


def test_tree_after_the_job(job):
    rs = job.rs
    assert rs.tasks == [job.pre, job.t1, job.t2, job.t3, job.t4]
    assert rs.job_type == "regression" and rs.extra == {"release": "r9", "labels": ["nightly"]}
    assert counts(job.t1.summary) == {"passed": 1, "failed": 1}
    assert counts(job.t1.pluginsummary) == {"passed": 1}
    assert counts(job.t2.summary) == {"passx": 1}
    assert counts(job.t3.summary) == {"skipped": 1}
    assert job.t4.summary.data == {}
    assert counts(rs.summary) == {"passed": 1, "failed": 1, "passx": 1, "skipped": 1}
    assert counts(rs.pluginsummary) == {"passed": 1, "blocked": 1}
    assert rs.summary.weight == 0.75 and rs.summary.success_rate == 37.5
    assert rs.totaltasks == 4

    # results and health climbed step -> sec1 -> tc1 and stopped at the task
    assert job.sec.result == Failed and job.tc.result == Failed
    assert job.tc.health_result == Failed and job.t1.health_result is job.tc.health_result
    assert job.setup.health_result is None
    assert job.only.health_result == Blocked
    assert counts(job.t2.health_summary) == {"passed": 1, "blocked": 1}
    assert rs.health_result == Failed
    assert counts(rs.health_summary) == {"failed": 1, "passed": 1, "blocked": 1}
    assert job.pre.result == Blocked and job.pre.health_result is None
    assert job.rec.result is Passed and job.rec.summary is None

    # log stretches
    assert job.setup.logs == {"file": "t1.log", "begin": 100, "size": 50}
    assert job.step1.logs == {"file": "t1.log", "begin": 150, "size": 10}
    assert job.step2.logs == {"file": "t1.log", "begin": 160, "size": 20}
    assert job.sec.logs == job.tc.logs == {"file": "t1.log", "begin": 150, "size": 30}
    assert job.rec.logs == {"file": "recorder.log", "begin": 0, "size": 30}
    assert job.rec.logfile == "recorder.log" and job.pre.logfile == "preflight.log"
    assert job.pre.logs == {}
    assert job.t1.logfile == "t1.log" and job.step1.logfile == str(job.t1log)
    assert job.t3.logfile is None

    assert [job.step2.fullid, job.rec.fullid, job.pre.fullid, rs.fullid] == \
        ["t1.tc1.sec1.step2", "t1.recorder", "preflight", "job-42"]


def _same_floats_and_times(value, from_yaml):
    # YAML cuts floats to two places and reads times back as datetimes; JSON keeps
    # full floats and writes times as text. Bring both to the common ground.
    if isinstance(value, dict):
        return {k: _same_floats_and_times(v, from_yaml) for k, v in value.items()}
    if isinstance(value, list):
        return [_same_floats_and_times(v, from_yaml) for v in value]
    if isinstance(value, datetime.datetime):
        return str(value)
    if isinstance(value, float) and not from_yaml:
        return round(value, runset.FLOAT_PRECISION)
    return value


def test_yaml_and_json_agree(job):
    y = yaml.safe_load(job.rs.dump_yaml())
    j = json.loads(job.rs.dump_json())
    assert list(j) == ["version", "report"]
    assert _same_floats_and_times(y, True) == _same_floats_and_times(j, False)
    # key order inside nodes agrees too, at every level
    def keys(d):
        return [list(d)] + [k for v in d.get("tasks", []) + d.get("sections", []) for k in keys(v)]
    assert keys(y["report"]) == keys(j["report"])


def _plain(value, form):
    """What a plain reader should get back for a to_dict value."""
    if isinstance(value, results.TestResult):
        out = {"value": value.value}
        if value.reason:
            out["reason"] = value.reason
        if value.data:
            out["data"] = _plain(value.data, form)
        return out
    if isinstance(value, ResultCounter):
        out = {k: n for k, n in value.items()}
        out["total"] = value.total
        out["success_rate"] = value.success_rate
        return _plain(out, form)
    if isinstance(value, datetime.datetime):
        return str(value) if form == "json" else value
    if isinstance(value, float) and form == "yaml":
        return round(value, runset.FLOAT_PRECISION)
    if isinstance(value, dict):
        return {k: _plain(v, form) for k, v in value.items()}
    if isinstance(value, list):
        return [_plain(v, form) for v in value]
    return value


def _check_node(node, data, form):
    d = node.to_dict()
    # seq_num follows the listed names; a logfile that the list does not name comes last
    tail = ["seq_num", "logfile"] if "logfile" not in node._ARG_ORDER and hasattr(node, "logfile") \
        else ["seq_num"]
    assert list(d)[-len(tail):] == tail
    assert d["seq_num"] == node.seq_num
    shown = [k for k in node._ARG_ORDER if k in d and d[k] not in runset.VALUE_IGNORE]
    assert list(data) == shown, node.fullid
    checked = 1
    for key in shown:
        if key in ("tasks", "sections"):
            assert [c["id"] for c in data[key]] == d[key]
            for child, child_data in zip(getattr(node, key), data[key]):
                checked += _check_node(child, child_data, form)
        else:
            assert data[key] == _plain(d[key], form), (node.fullid, key)
    return checked


@pytest.mark.parametrize("form", ["yaml", "json"])
def test_dumps_match_the_tree_and_to_dict(job, form):
    text = job.rs.dump_yaml() if form == "yaml" else job.rs.dump_json()
    doc = yaml.safe_load(text) if form == "yaml" else json.loads(text)
    assert doc["version"] == "3.2"
    report = doc["report"]
    assert _check_node(job.rs, report, form) == 17

    fullids = []

    def walk(d):
        fullids.append(d["fullid"])
        for child in d.get("tasks", []) + d.get("sections", []):
            walk(child)
    walk(report)
    assert fullids == [
        "job-42", "preflight", "preflight.check-env", "preflight.check-disk",
        "t1", "t1.common_setup", "t1.tc1", "t1.tc1.sec1", "t1.tc1.sec1.step1",
        "t1.tc1.sec1.step2", "t1.recorder", "t2", "t2.only", "t2.only.inner",
        "t3", "t3.skipme", "t4"]

    assert report["totaltasks"] == 4
    assert report["summary"] == {"passed": 1, "failed": 1, "passx": 1, "skipped": 1,
                                 "total": 4, "success_rate": 37.5}
    assert report["health_result"] == {"value": "failed"}
    t1 = report["tasks"][1]
    assert t1["logfile"] == "t1.log" and t1["parameters"] == {"x": 1}
    step2 = t1["sections"][1]["sections"][0]["sections"][1]
    assert step2["result"] == {"value": "failed"}
    assert step2["extra"] == {"health": [{"result": "failed"}]}
    assert step2["logs"] == {"file": "t1.log", "begin": 160, "size": 20}
    assert "logfile" not in step2
    assert report["tasks"][4] == {"type": "Task", "id": "t4", "fullid": "t4", "idlist": ["t4"],
                                  "name": "t4",
                                  "summary": {"total": 0, "success_rate": 0.0},
                                  "pluginsummary": {"total": 0, "success_rate": 0.0},
                                  "health_summary": {"total": 0, "success_rate": 0.0}}


def test_dumping_leaves_the_tree_alone(job):
    before = [job.rs.dump_yaml(), job.rs.dump_json()]
    summary = job.rs.summary
    assert [job.rs.dump_yaml(), job.rs.dump_json()] == before
    assert job.rs.summary is summary and summary.data == {"passed": 1, "failed": 1,
                                                          "passx": 1, "skipped": 1}
    assert job.t1.to_dict()["sections"] == ["common_setup", "tc1", "recorder"]
    assert job.t1.sections == [job.setup, job.tc, job.rec]
