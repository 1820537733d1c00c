"""What a user meets first: failure reasons in every tool, figures that say what they count, one state
per node, output files written one way, and stored files that are not reports refused in one line."""
import json
import os
import re
import resource
import signal
import subprocess
import xml.etree.ElementTree as ET

import pytest

from kovra.reporter import html as report_html, runset, views
from kovra import results
from kovra.results import Errored, Failed, Passed
from support.report_pages import page_data
from test_cli import HERE, PYTHONS, REPO_ROOT, run

BGP = "BGP neighbour 10.0.0.2 not Established"


@pytest.fixture(scope="module")
def reasons(tmp_path_factory):
    """A job with a reason given each way, a failed job plugin, an errored task plugin, a task that never
    started and a planned task that is not in the report at all."""
    out = tmp_path_factory.mktemp("reasons")
    job = runset.RunSet(id="job", seq_num=0)
    job.start()
    probe = job.add_plugin(id="probe", seq_num=0)
    probe.start()
    probe.stop(result=results.TestResult("failed", reason="probe lost the lab"))
    task = job.add_task(id="t", seq_num=1)
    task.start()
    case = task.add_section(id="bgp", seq_num=0, type="Testcase")
    case.start()
    step = case.add_section(id="neighbours", seq_num=0, type="Step")
    step.start()
    step.stop(result=Failed, reason=BGP)                 # the reason goes to extra.reason
    case.stop()
    own = task.add_section(id="ospf", seq_num=1, type="Testcase")
    own.start()
    own.stop(result=results.TestResult("failed", reason="area 0 missing"))
    fine = task.add_section(id="ping", seq_num=2, type="Testcase")
    fine.start()
    fine.stop(result=Passed)
    watcher = task.add_plugin(id="watcher", seq_num=3)
    watcher.start()
    watcher.stop(result=Errored, reason="watcher crashed")
    task.stop()
    job.add_task(id="idle", seq_num=2)
    job.stop(num_tasks=4)
    (out / "results.json").write_text(job.dump_json())
    (out / "results.yaml").write_text(job.dump_yaml())
    return out


# --- reasons ------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("form", ["json", "yaml"])
def test_a_reason_given_either_way_reaches_junit_show_summary_and_the_page(reasons, tmp_path, form):
    stored = reasons / ("results." + form)
    shown = run("show", stored, check=0).stdout.splitlines()
    assert [line.split(None, 4)[4] for line in shown if line.split()[0] in ("neighbours", "ospf", "watcher")] == [
        BGP, "area 0 missing", "watcher crashed"]
    summary = run("summary", stored, check=0).stdout.splitlines()
    failures = summary[summary.index("failures (test cases and plugins, with their reasons):") + 1:]
    # A test case without a reason of its own gives the first one found under it.
    assert failures == ["  probe: failed (probe lost the lab)", "  t.bgp: failed (%s)" % BGP,
                        "  t.ospf: failed (area 0 missing)", "  t.watcher: errored (watcher crashed)"]

    run("junit", stored, "-o", tmp_path / "junit.xml", check=0)
    root = ET.parse(str(tmp_path / "junit.xml")).getroot()
    bgp = root.find("testsuite[@name='t']/testcase[@name='bgp']/failure")
    assert bgp.get("message") == BGP and "t.bgp.neighbours: failed (%s)" % BGP in bgp.text
    assert root.find("testsuite[@name='t']/testcase[@name='ospf']/failure").get("message") == "area 0 missing"

    data = page_data(report_html.render(json.loads((reasons / "results.json").read_text())))
    by_id = {node[2]: node for node in data["nodes"]}
    assert by_id["neighbours"][7]["reason"] == BGP and by_id["ospf"][7]["reason"] == "area 0 missing"
    assert not (by_id["ping"][7] or {}).get("reason")


def test_junit_gives_plugins_and_tasks_not_run_their_own_test_cases(reasons, tmp_path):
    xmlschema = pytest.importorskip("xmlschema")
    run("junit", reasons / "results.json", "-o", tmp_path / "junit.xml", check=0)
    xmlschema.XMLSchema(os.path.join(HERE, "junit.xsd")).validate(str(tmp_path / "junit.xml"))
    root = ET.parse(str(tmp_path / "junit.xml")).getroot()

    def outcome(case):
        return [(c.tag, c.get("message")) for c in case if c.tag != "system-out"]

    cases = {(c.get("classname"), c.get("name")): outcome(c) for c in root.iter("testcase")}
    assert cases == {
        ("job", "probe"): [("failure", "probe lost the lab")],
        ("job", "planned task 3 of 4"): [("skipped", "planned, never ran (its task is not in the report)")],
        ("job", "planned task 4 of 4"): [("skipped", "planned, never ran (its task is not in the report)")],
        ("t", "bgp"): [("failure", BGP)],
        ("t", "ospf"): [("failure", "area 0 missing")],
        ("t", "ping"): [],
        ("t", "watcher"): [("error", "watcher crashed")],
        ("idle", "(task)"): [("skipped", "planned, never ran")],
    }
    assert [root.get(k) for k in ("tests", "failures", "errors", "skipped")] == ["8", "3", "1", "3"]
    # The job's properties once, in the first suite.
    assert len(root.findall(".//property[@name='job.id']")) == 1 and root[0].find("properties") is not None
    # A stored count of planned tasks is not taken for that many test cases.
    document = json.loads((reasons / "results.json").read_text())
    document["report"]["totaltasks"] = 10 ** 9
    (tmp_path / "many.json").write_text(json.dumps(document))
    run("junit", tmp_path / "many.json", "-o", tmp_path / "many.xml", check=0)
    first = ET.parse(str(tmp_path / "many.xml")).getroot()[0]
    assert [c.get("name") for c in first.findall("testcase")] == [
        "probe", "planned tasks 3 to 1000000000 of 1000000000"]


# --- one state, figures that say what they count ------------------------------------------------------------------

def test_a_task_shows_the_same_state_in_show_the_page_and_the_job_print(tmp_path):
    # The page's script takes a task's badge from the worst of its counts, in this order.
    script = report_html.asset("report.js")
    order = re.search(r"var WORST_FIRST = \[([^\]]*)\]", script).group(1)
    assert tuple(json.loads("[%s]" % order)) == views.WORST_FIRST
    proc = subprocess.run([PYTHONS[0], os.path.join(REPO_ROOT, "tools", "main_job.py"), "--out", str(tmp_path),
                           "--tasks", "2", "--sections", "2", "--tree", "full"], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    printed = proc.stdout.splitlines()
    explored = [line.split() for line in printed[printed.index(
        "stored report, read back through the explorer (id, type, result):") + 1:] if line.startswith("  ")]
    shown = [line.split()[:3] for line in run("show", tmp_path / "results.json", check=0).stdout.splitlines()[1:]]
    assert explored[:len(shown)] == shown and ["task1", "Task", "failed"] in shown
    # The job prints the very lines `summary` prints; no Python reprs among them.
    summary = run("summary", tmp_path / "results.json", check=0).stdout.splitlines()
    assert printed[:len(summary)] == summary
    assert not [line for line in printed if re.search(r"[{(]'|None", line)], printed


def test_summary_filters_every_value_it_prints_from_a_report(reasons, tmp_path):
    document = json.loads((reasons / "results.json").read_text())
    report = document["report"]
    evil = "\x1b]0;owned\x07\x1b[2J"
    report["health_result"] = {"value": "fail" + evil}
    report["totaltasks"] = evil
    report["summary"]["total"] = evil
    report["summary"]["success_rate"] = evil
    report["tasks"][0]["result"] = {"value": evil, "reason": evil}
    report["tasks"][1]["sections"][1]["result"]["reason"] = evil
    report["job_type"] = evil
    (tmp_path / "evil.json").write_text(json.dumps(document))
    for command in (["summary", "--check"], ["show"]):
        proc = run(command[0], tmp_path / "evil.json", *command[1:])
        assert proc.returncode in (0, 1) and proc.stderr == ""
        assert not re.search("[\x00-\x08\x0b-\x1f\x7f]", proc.stdout), proc.stdout


# --- output files -------------------------------------------------------------------------------------------------

def test_every_writing_command_names_what_it_wrote_and_what_it_replaced(reasons, tmp_path):
    stored = reasons / "results.json"
    writes = [["junit", stored, "-o", tmp_path / "j.xml"], ["html", stored, "-o", tmp_path / "p.html"],
              ["convert", stored, "-o", tmp_path / "c.yaml"]]
    for args in writes:
        assert run(*args, check=0).stdout == "wrote %s\n" % args[-1]
        assert run(*args, check=0).stdout == "replaced %s\n" % args[-1]
    assert run("xml", stored, "-o", tmp_path / "x", check=0).stdout.split() == [
        "wrote", str(tmp_path / "x" / "ResultsDetails.xml"), "wrote", str(tmp_path / "x" / "ResultsSummary.xml")]
    assert run("xml", stored, "-o", tmp_path / "x", check=0).stdout.split()[::2] == ["replaced", "replaced"]
    # A stream is written as it is, not replaced by a file; the line goes where the data does not.
    streamed = run("junit", stored, "-o", "/dev/stdout", check=0)
    assert streamed.stdout.startswith("<?xml") and streamed.stderr == "wrote /dev/stdout\n"
    assert os.path.islink("/dev/stdout")


def test_output_paths_that_cannot_be_written_say_why_in_one_wording(reasons, tmp_path):
    stored = reasons / "results.json"
    (tmp_path / "file").write_text("kept")
    (tmp_path / "folder").mkdir()
    cases = [
        (["xml", stored, "-o", tmp_path / "file"], "%s: cannot write: not a folder" % (tmp_path / "file")),
        (["html", stored, "-o", tmp_path / "folder"], "%s: cannot write: it is a folder" % (tmp_path / "folder")),
        (["junit", stored, "-o", tmp_path / "folder"], "%s: cannot write: it is a folder" % (tmp_path / "folder")),
        (["convert", stored, "-o", tmp_path / "folder", "--to", "json"], "cannot write: it is a folder"),
        (["junit", stored, "-o", tmp_path / "no" / "x.xml"], "x.xml: cannot write: No such file or directory"),
    ]
    for args, message in cases:
        proc = run(*args)
        assert proc.returncode == 2 and proc.stderr.count("\n") == 1 and message in proc.stderr, (args, proc.stderr)
        assert proc.stdout == ""
    assert (tmp_path / "file").read_text() == "kept" and os.listdir(tmp_path / "folder") == []


def test_convert_takes_the_form_from_the_suffix_and_refuses_a_contradiction(reasons, tmp_path):
    stored = reasons / "results.yaml"
    run("convert", reasons / "results.json", "-o", tmp_path / "x.json", check=0)
    assert (tmp_path / "x.json").read_text() == (reasons / "results.json").read_text()
    run("convert", reasons / "results.json", "-o", tmp_path / "x.yml", check=0)
    assert (tmp_path / "x.yml").read_text() == stored.read_text()
    for args, message in [(["--to", "yaml", "-o", tmp_path / "y.json"], "the name says JSON but --to says yaml"),
                          (["-o", tmp_path / "y.txt"], "cannot tell the form from the name"),
                          ([], "give --to json or --to yaml")]:
        proc = run("convert", stored, *args)
        assert proc.returncode == 2 and message in proc.stderr, proc.stderr
    run("convert", stored, "--to", "json", "-o", tmp_path / "y.txt", check=0)
    assert sorted(os.listdir(tmp_path)) == ["x.json", "x.yml", "y.txt"]


def _limited(size):
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


def test_a_page_that_cannot_be_written_whole_leaves_the_earlier_one(reasons, tmp_path):
    page = tmp_path / "report.html"
    page.write_text("earlier page")
    proc = subprocess.run([PYTHONS[0], "-m", "kovra.reporter", "html", str(reasons / "results.json"), "-o",
                           str(page)], capture_output=True, text=True, timeout=120, preexec_fn=_limited(4096))
    assert proc.returncode == 2 and "report.html: cannot write: File too large" in proc.stderr, proc.stderr
    script = ("import json, sys\nfrom kovra.reporter import html\n"
              "html.write(json.load(open(sys.argv[1])), sys.argv[2])\n")
    proc = subprocess.run([PYTHONS[0], "-c", script, str(reasons / "results.json"), str(page)],
                          capture_output=True, text=True, timeout=120, preexec_fn=_limited(4096))
    assert proc.returncode == 1 and "File too large" in proc.stderr
    assert page.read_text() == "earlier page" and os.listdir(tmp_path) == ["report.html"]


# --- stored files -------------------------------------------------------------------------------------------------

def _refused(path, *cause, env=None):
    proc = subprocess.run([PYTHONS[0], "-m", "kovra.reporter", "show", str(path)], capture_output=True,
                          text=True, timeout=30, env=env)
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1, proc.stderr
    for text in cause:
        assert text in proc.stderr, proc.stderr
    return proc.stderr


def test_files_that_are_not_stored_reports_are_named_for_what_they_are(reasons, tmp_path):
    run("xml", reasons / "results.json", "-o", tmp_path, check=0)
    _refused(tmp_path / "ResultsDetails.xml", "not a stored report but XML",
             "a stored report is the results.json or results.yaml")
    (tmp_path / "task.log").write_text("task 1 starting\nERROR: step: state down\n  - x: y\n")
    _refused(tmp_path / "task.log", "not a stored report (neither JSON nor YAML", "results.json or results.yaml")
    _refused(tmp_path, "not a regular file (a folder)")


def test_special_files_are_refused_and_the_size_read_is_capped(reasons, tmp_path):
    os.mkfifo(str(tmp_path / "fifo.json"))
    _refused(tmp_path / "fifo.json", "not a regular file (a FIFO)")
    os.symlink("/dev/zero", str(tmp_path / "zero.json"))
    _refused(tmp_path / "zero.json", "not a regular file (a device)")
    for form in ("json", "yaml"):
        _refused(reasons / ("results." + form), "larger than the 0.001 MiB a stored report may hold here",
                 "set KOVRA_MAX_REPORT_MB to raise the limit", env=dict(os.environ, KOVRA_MAX_REPORT_MB="0.001"))
    run("show", reasons / "results.json", check=0)


def test_infinite_and_undefined_run_times_read_back_and_show_as_written(tmp_path):
    pytest.importorskip("xmlschema")
    job = runset.RunSet(id="j", seq_num=0)
    job.start()
    task = job.add_task(id="t", seq_num=1)
    task.start()
    task.add_section(id="s", seq_num=0).stop(result=Passed, runtime=float("inf"))
    task.stop(runtime=float("-inf"))
    job.stop(num_tasks=1, runtime=float("nan"))
    for form, text in (("json", job.dump_json()), ("yaml", job.dump_yaml())):
        stored = tmp_path / ("r." + form)
        stored.write_text(text)
        shown = [line.split() for line in run("show", stored, check=0).stdout.splitlines()[1:]]
        assert [row[3] for row in shown] == ["NaN", "-Infinity", "Infinity"], form
        assert "  started" in run("summary", stored, check=0).stdout and "run time NaN" in \
            run("summary", stored, check=0).stdout
        run("convert", stored, "-o", tmp_path / ("again." + form), check=0)
        assert (tmp_path / ("again." + form)).read_text() == text
        import xmlschema
        run("junit", stored, "-o", tmp_path / "j.xml", check=0)
        xmlschema.XMLSchema(os.path.join(HERE, "junit.xsd")).validate(str(tmp_path / "j.xml"))


def test_an_id_the_yaml_form_cannot_keep_is_refused_when_loading(tmp_path):
    job = runset.RunSet(id="j", seq_num=0)
    job.start()
    task = job.add_task(id="multi\nline ", seq_num=1)
    task.start()
    task.add_section(id="s", seq_num=0).stop(result=Passed)
    task.stop()
    job.stop(num_tasks=1)
    (tmp_path / "r.yaml").write_text(job.dump_yaml())
    (tmp_path / "r.json").write_text(job.dump_json())
    proc = run("convert", tmp_path / "r.yaml", "--to", "yaml")
    assert proc.returncode == 2 and proc.stdout == ""
    assert r"report.tasks[0].sections[0]: the stored fullid 'multi\nline .s' does not follow" in proc.stderr
    assert "the JSON form keeps it" in proc.stderr
    assert run("convert", tmp_path / "r.json", "--to", "json").stdout == job.dump_json() + "\n"
