"""The stored-report command line end to end, on reports written by the main job.

Commands run as `python -m kovra.reporter ...` in fresh interpreters (the 3.10
virtual environment and Debian's 3.11 where their modules are built).
"""
import io
import json
import os
import re
import shlex
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from kovra.reporter import cli, runset, store
from kovra import results
from kovra.results import Errored, Failed, Passed, ResultCounter, Skipped

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HERE = os.path.dirname(os.path.abspath(__file__))
CANDIDATES = [os.path.join(REPO_ROOT, ".venv310", "bin", "python"), "/usr/bin/python3"]


def _usable(python):
    if not os.path.exists(python):
        return False
    check = subprocess.run([python, "-c", "import yaml, kovra.reporter.runset, kovra.reporter.ledgrin"],
                           capture_output=True)
    return check.returncode == 0


PYTHONS = [p for p in CANDIDATES if _usable(p)] or [sys.executable]


def run(*args, python=None, check=None):
    proc = subprocess.run([python or PYTHONS[0], "-m", "kovra.reporter"] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=120)
    if check is not None:
        assert proc.returncode == check, proc.stderr
    return proc


def main_job(out, tasks, sections=2):
    subprocess.run([PYTHONS[0], os.path.join(REPO_ROOT, "tools", "main_job.py"), "--out", str(out),
                    "--tasks", str(tasks), "--sections", str(sections)], check=True, capture_output=True,
                   timeout=120)
    return out


@pytest.fixture(scope="module")
def job(tmp_path_factory):
    return main_job(tmp_path_factory.mktemp("job2"), tasks=2)


@pytest.fixture(scope="module")
def job5(tmp_path_factory):
    # The main job's fixed result pattern first fails a section again in task5.
    return main_job(tmp_path_factory.mktemp("job5"), tasks=5)


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    """A report whose texts XML cannot hold as they are: control characters, a lone surrogate, markup."""
    out = tmp_path_factory.mktemp("hostile")
    nasty = "a\x00b\x01c\x0bd\x1be\ufffef\ud800 <]]>&\"'\u00e9\u4e2d"
    job = runset.RunSet(id="job " + nasty, seq_num=0)
    job.start(host="h\x07ost", release=nasty)
    task = job.add_task(id="t" + nasty, seq_num=1)
    task.start(description=nasty)
    task.add_detail(nasty)
    for number, result in enumerate([Failed.clone(), Errored.clone(), Skipped.clone(), Passed.clone()]):
        section = task.add_section(id="s%d%s" % (number, nasty), seq_num=number)
        section.start(description="line one\nline\x02 two")
        result.reason = "reason " + nasty
        section.stop(result=result)
    task.stop()
    job.stop(num_tasks=1)
    (out / "results.json").write_text(job.dump_json())
    (out / "results.yaml").write_text(job.dump_yaml())
    return out


def test_main_job_ends_with_commands_that_work(tmp_path):
    proc = subprocess.run([PYTHONS[0], os.path.join(REPO_ROOT, "tools", "main_job.py"), "--out", str(tmp_path),
                           "--tasks", "1", "--sections", "1"], capture_output=True, text=True, timeout=120)
    lines = proc.stdout.splitlines()
    start = lines.index("look at it from %s with:" % REPO_ROOT)
    commands = [shlex.split(line) for line in lines[start + 1:-1]]
    assert [c[3] for c in commands] == ["show", "summary", "junit", "xml", "html", "diff"]
    for command in commands:
        if not any(a.startswith("OTHER") for a in command):
            command = [str(tmp_path / "again") if a == "DIR" else a for a in command]
            ran = subprocess.run(command, cwd=REPO_ROOT, capture_output=True, text=True, timeout=120)
            assert ran.returncode == 0 and ran.stderr == "", (command, ran.stderr)
    assert (tmp_path / "junit.xml").exists() and (tmp_path / "report.html").exists()
    # The suggested form keeps the multi-line texts' trailing blanks, so the files come out as the job's own.
    for name in ("ResultsDetails.xml", "ResultsSummary.xml"):
        assert (tmp_path / "again" / name).read_bytes() == (tmp_path / name).read_bytes(), name


# --- loading --------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("form", ["json", "yaml"])
def test_load_gives_report_nodes_that_dump_back_to_the_same_text(job, form):
    path = str(job / ("results." + form))
    loaded = store.load(path)
    assert type(loaded) is runset.RunSet
    kinds = [type(t) for t in loaded.tasks]
    assert kinds == [runset.Plugin, runset.Task, runset.Task]
    task = loaded.tasks[1]
    assert [type(s) for s in task.sections][-1] is runset.Plugin
    assert all(type(s) is runset.Section for s in task.sections[:-1])
    section = task.sections[1]
    assert section.fullid == "task1.section0" and section._parent is task
    assert type(section.result) is results.TestResult and str(section.result) == "failed"
    assert type(task.summary) is ResultCounter and type(task.starttime).__name__ == "datetime"
    # The run set's success rate holds the share of tasks that ran; the weight must come back with it.
    stored = json.loads((job / "results.json").read_text())["report"]["summary"]["success_rate"]
    assert loaded.summary.success_rate == stored and loaded.summary.weight == pytest.approx(2 / 3)
    dumped = loaded.dump_json() if form == "json" else loaded.dump_yaml()
    assert dumped == (job / ("results." + form)).read_text()


def test_hostile_report_round_trips_in_both_forms(hostile):
    for form in ("json", "yaml"):
        loaded = store.load(str(hostile / ("results." + form)))
        text = loaded.dump_json() if form == "json" else loaded.dump_yaml()
        assert text == (hostile / ("results." + form)).read_text()
        assert loaded.tasks[0].sections[0].result.reason.startswith("reason a\x00b")


def test_every_kind_of_node_and_value_round_trips(tmp_path):
    import datetime
    from kovra.datastructures import AttrDict
    job = runset.RunSet(id="rich", seq_num=0)
    job.start(jobfile="job.py", source_id=7, extra_value=datetime.datetime(2026, 1, 2, 3, 4, 5))
    collector = job.add_plugin(id="collector", seq_num=0, type="Collector")
    collector.start()
    collector.stop()
    task = job.add_task(id=3, seq_num=1)
    task.start(script_type="py", parameters={"nan": float("nan"), "tiny": 1e-05, "t": (1, "a")})
    plugin = task.add_plugin(id="watch", seq_num=0, type="Watcher")
    plugin.start(description="watches")
    inner = plugin.add_section(id="probe", seq_num=0)
    inner.start()
    inner.stop(result=Failed)
    plugin.stop()
    odd = task.add_section(id="odd", seq_num=1, type="Plugin")
    odd.start(testcase_type="t", xref={"file": "f.py", "line": 3}, name=None)
    odd.add_detail(AttrDict(a=1, b=[1, 2]))
    odd.add_detail({"when": datetime.datetime(2026, 1, 2, 3, 4, 5, 6)})
    odd.update_extra({"health": [{"result": "errored"}], "text": "x\u00e9\u2028y \n"})
    odd.stop(result=result_with("passx", reason="known", data={"bug": 12}))
    task.stop()
    job.stop(num_tasks=3)
    for form, text in (("json", job.dump_json()), ("yaml", job.dump_yaml())):
        (tmp_path / ("r." + form)).write_text(text)
        loaded = store.load(str(tmp_path / ("r." + form)))
        assert (loaded.dump_json() if form == "json" else loaded.dump_yaml()) == text, form
        kinds = [type(loaded.tasks[0]), type(loaded.tasks[1].sections[0]), type(loaded.tasks[1].sections[1])]
        assert kinds == [runset.Plugin, runset.Plugin, runset.Section]
        assert loaded.tasks[1].sections[1].name is None and loaded.summary.weight == pytest.approx(1 / 3)


def result_with(name, **attrs):
    result = results.TestResult.from_str(name)
    for key, value in attrs.items():
        setattr(result, key, value)
    return result


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_appears_once_loading_is_slow_on_a_terminal_only(job, capsys, monkeypatch):
    store.load(str(job / "results.yaml"), progress=0.0)
    assert capsys.readouterr().err == ""
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    store.load(str(job / "results.yaml"), progress=0.0)
    drawn = terminal.getvalue()
    assert "results.yaml: parsing" in drawn and "building" in drawn and drawn.endswith("100%\n")
    # Not before the delay (one no loaded machine reaches).
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    store.load(str(job / "results.yaml"), progress=3600.0)
    assert terminal.getvalue() == ""


def test_a_node_with_unknown_attributes_is_refused(tmp_path, job):
    document = json.loads((job / "results.json").read_text())
    document["report"]["tasks"][1]["sections"][0]["__class__"] = "x"
    (tmp_path / "odd.json").write_text(json.dumps(document))
    with pytest.raises(store.StoredReportError, match=r"report\.tasks\[1\]\.sections\[0\]: '__class__'"):
        store.load(str(tmp_path / "odd.json"))


# --- convert and xml: the stored forms and the legacy files come back --------------------------------------------

@pytest.mark.parametrize("python", PYTHONS)
def test_convert_reproduces_both_stored_forms(job, tmp_path, python):
    for source, form in [("json", "json"), ("yaml", "yaml"), ("json", "yaml")]:
        out = tmp_path / ("again." + form)
        run("convert", job / ("results." + source), "--to", form, "-o", out, python=python, check=0)
        # JSON keeps everything the YAML form holds, so it converts to the very text of results.yaml.
        assert out.read_text() == (job / ("results." + form)).read_text(), (source, form)
    shown = run("convert", job / "results.yaml", "--to", "json", python=python, check=0).stdout
    assert json.loads(shown)["report"]["tasks"][1]["id"] == "task1"


@pytest.mark.parametrize("python", PYTHONS)
def test_xml_regenerates_the_files_of_the_job(job, tmp_path, python):
    proc = run("xml", job / "results.json", "-o", tmp_path / "fromjson", python=python, check=0)
    assert proc.stdout.splitlines() == ["wrote %s" % (tmp_path / "fromjson" / n) for n in ("ResultsDetails.xml",
                                                                                           "ResultsSummary.xml")]
    assert sorted(os.listdir(tmp_path / "fromjson")) == ["ResultsDetails.xml", "ResultsSummary.xml"]
    for name in ("ResultsDetails.xml", "ResultsSummary.xml"):
        assert (tmp_path / "fromjson" / name).read_text() == (job / name).read_text()
    run("xml", job / "results.yaml", "-o", tmp_path / "fromyaml", python=python, check=0)
    assert (tmp_path / "fromyaml" / "ResultsSummary.xml").read_text() == (job / "ResultsSummary.xml").read_text()

    # The YAML form drops trailing blanks of multi-line text; nothing else may differ.
    def stripped(path):
        return [line.rstrip() for line in path.read_text().splitlines()]
    assert stripped(tmp_path / "fromyaml" / "ResultsDetails.xml") == stripped(job / "ResultsDetails.xml")


# --- junit --------------------------------------------------------------------------------------------------------

def _junit(report_dir, tmp_path, python, form="json"):
    import xmlschema
    out = tmp_path / ("junit-%s.xml" % form)
    run("junit", report_dir / ("results." + form), "-o", out, python=python, check=0)
    xmlschema.XMLSchema(os.path.join(HERE, "junit.xsd")).validate(str(out))
    return ET.parse(str(out)).getroot()


@pytest.mark.parametrize("python", PYTHONS)
def test_junit_export_is_schema_valid_and_counts_like_the_report(job, tmp_path, python):
    pytest.importorskip("xmlschema")
    root = _junit(job, tmp_path, python, form="yaml")
    report = json.loads((job / "results.json").read_text())["report"]
    tasks = [t for t in report["tasks"] if t["type"] == "Task"]
    # The job first, with its plugin and the planned task that never ran; then a suite per task.
    assert [s.get("name") for s in root] == ["nightly"] + [t["id"] for t in tasks]
    first = root[0]
    assert [(c.get("name"), c.get("classname")) for c in first.findall("testcase")] == [
        ("environment", "nightly"), ("planned task 3 of 3", "nightly")]
    assert first.find("testcase[2]/skipped") is not None and first.get("skipped") == "1"
    job_props = {p.get("name"): p.get("value") for p in first.iter("property")}
    assert job_props["job.id"] == "nightly" and job_props["job.extra.release"] == "1.0"
    for suite, task in zip(root[1:], tasks):
        cases = suite.findall("testcase")
        # Sections and plugins alike, named by their own id under the task's class name.
        assert [(c.get("classname"), c.get("name")) for c in cases] == [(task["id"], s["id"])
                                                                         for s in task["sections"]]
        assert int(suite.get("tests")) == task["summary"]["total"] + 1 == len(cases)
        assert int(suite.get("failures")) == task["summary"].get("failed", 0)
        props = {p.get("name"): p.get("value") for p in suite.iter("property")}
        assert not [n for n in props if n.startswith("job.")]
        assert props["task.testscript"] == task["testscript"]
    failure = root.find("testsuite[@name='task1']/testcase[@name='section0']/failure")
    assert failure.get("type") == "failed" and "task1.section0.step1: failed" in failure.text
    assert failure.get("message") == "interface eth0 is down, expected up"
    assert int(root.get("failures")) == report["summary"]["failed"]


def test_junit_export_of_hostile_text_parses_and_keeps_the_outcomes(hostile, tmp_path):
    pytest.importorskip("xmlschema")
    root = _junit(hostile, tmp_path, PYTHONS[0])
    suite = root.findall("testsuite")[1]
    assert suite.get("name") == "ta\\x00b\\x01c\\x0bd\\x1be\\ufffef\\ud800 <]]>&\"'\u00e9\u4e2d"
    outcomes = [[child.tag for child in case if child.tag != "system-out"] for case in suite.findall("testcase")]
    assert outcomes == [["failure"], ["error"], ["skipped"], []]
    assert suite.find("testcase/failure").get("message").startswith("reason a\\x00b")
    assert (root.get("tests"), root.get("failures"), root.get("errors"), root.get("skipped")) == ("4", "1", "1", "1")


# --- diff ---------------------------------------------------------------------------------------------------------

def _listed(stdout, title):
    """The entries printed under one heading of the diff."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(title + " ("))
    entries = []
    for line in lines[start + 1:]:
        if not line.startswith("  "):
            break
        entries.append(line.split()[0])
    return entries


@pytest.mark.parametrize("python", PYTHONS)
def test_diff_of_jobs_with_more_tasks(job, job5, python):
    grown = run("diff", job / "results.json", job5 / "results.yaml", python=python, check=1)
    assert _listed(grown.stdout, "added") == ["task3", "task4", "task5"]
    assert _listed(grown.stdout, "removed") == []
    # The failing test case and its failing step are one failure: the step's, with its case and reason.
    assert _listed(grown.stdout, "new failures") == ["task5.section1.step1"]
    assert "task5.section1.step1  failed (was absent)  in task5.section1: interface eth1 is down, expected up" \
        in grown.stdout
    shrunk = run("diff", job5 / "results.json", job / "results.json", python=python, check=0)
    assert _listed(shrunk.stdout, "removed") == ["task3", "task4", "task5"]
    assert _listed(shrunk.stdout, "new failures") == [] and _listed(shrunk.stdout, "fixes") == []


def test_diff_lists_fixes_result_changes_and_run_times_past_the_threshold(job, tmp_path):
    document = json.loads((job / "results.json").read_text())
    task1 = document["report"]["tasks"][1]
    section0 = task1["sections"][1]
    section0["result"] = {"value": "passed"}
    section0["sections"][1]["result"] = {"value": "passed"}
    task1["sections"][2]["sections"][1]["result"] = {"value": "skipped"}
    task1["sections"][2]["runtime"] += 5
    del task1["sections"][0]["sections"][0]
    (tmp_path / "later.json").write_text(json.dumps(document))
    proc = run("diff", job / "results.json", tmp_path / "later.json", check=0)
    assert _listed(proc.stdout, "fixes") == ["task1.section0.step1"]
    assert _listed(proc.stdout, "other result changes") == ["task1.section1.step1"]
    assert _listed(proc.stdout, "removed") == ["task1.common_setup.connect"]
    assert _listed(proc.stdout, "run-time changes over 1s") == ["task1.section1"]
    quiet = run("diff", job / "results.json", tmp_path / "later.json", "--threshold", "10", check=0)
    assert _listed(quiet.stdout, "run-time changes over 10s") == []


def test_diff_compares_each_run_of_a_test_case_run_twice(tmp_path):
    def report(results):
        cases = [{"id": "case", "type": "Testcase", "result": {"value": r},
                  "sections": [{"id": "step", "result": {"value": r}}]} for r in results]
        return {"version": "3.2", "report": {"id": "job", "tasks": [{"id": "t0", "sections": cases}]}}

    (tmp_path / "a.json").write_text(json.dumps(report(["failed", "passed"])))
    (tmp_path / "b.json").write_text(json.dumps(report(["passed", "failed", "passed"])))
    proc = run("diff", tmp_path / "a.json", tmp_path / "b.json", check=1)
    # Run 2 of t0.case failed through its step (one leaf failure); run 1 was fixed; run 3 is new.
    assert _listed(proc.stdout, "new failures") == ["t0.case#2.step"]
    assert _listed(proc.stdout, "fixes") == ["t0.case.step"]
    assert _listed(proc.stdout, "added") == ["t0.case#3"]


# --- show and summary ---------------------------------------------------------------------------------------------

def test_show_prints_the_tree_and_keeps_only_paths_to_failures(job):
    full = run("show", job / "results.json", check=0).stdout.splitlines()
    assert full[0].split() == ["ID", "TYPE", "RESULT", "RUN", "TIME", "REASON"]
    # The job and its tasks have no result of their own: they show the worst of their test cases.
    assert full[1].split()[:3] == ["nightly", "RunSet", "failed"]
    assert full[3].split()[:3] == ["task1", "Task", "failed"]
    assert "\x1b[" not in "".join(full)
    assert re.match(r"^ {6}step1 +Section +failed +\d+\.\d\ds  interface eth0 is down, expected up$", full[11])
    assert re.match(r"^ {6}step0 +Section +passed +\d+\.\d\ds$", full[7])
    failed = run("show", job / "results.yaml", "--failed", "--color", "always", check=0).stdout.splitlines()
    plain = [re.sub(r"\x1b\[[0-9;]*m", "", line).split()[0] for line in failed[1:]]
    assert plain == ["nightly", "task1", "section0", "step1", "section1", "step0", "task2", "section0", "step0"]
    assert "\x1b[31mfailed" in failed[3]


def test_show_colours_results_on_a_terminal_only(job):
    import pty
    leader, follower = pty.openpty()
    try:
        proc = subprocess.run([PYTHONS[0], "-m", "kovra.reporter", "show", str(job / "results.json")],
                              stdout=follower, stderr=subprocess.PIPE, timeout=120,
                              env={k: v for k, v in os.environ.items() if k != "NO_COLOR"})
        os.close(follower)
        follower = None
        text = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:
                break
            if not chunk:
                break
            text += chunk
    finally:
        os.close(leader)
        if follower is not None:
            os.close(follower)
    assert proc.returncode == 0 and b"\x1b[31mfailed" in text and b"\x1b[32mpassed" in text


def test_summary_check_fails_only_when_something_failed(job, tmp_path):
    proc = run("summary", job / "results.json", "--check", check=1)
    lines = proc.stdout.splitlines()
    assert "test cases (sections directly under a task): passed 4, passx 1, failed 3 (total 8)" in lines
    assert "success rate: 41.67% (of the test cases, scaled by the share of planned tasks that ran)" in lines
    assert "  tasks: 2 run of 3 planned" in lines
    assert "health (from the health data given at stop): failed (entries: passed 4, passx 2, failed 1, skipped 1)" \
        in lines
    assert "job plugins: environment passed" in lines and "task plugins: passed 2" in lines
    assert "  task1.section1: failed (interface eth1 is down, expected up)" in lines
    assert lines[-1] == "check: FAILED (failing nodes: failed 6)"
    run("summary", job / "results.json", check=0)
    good = runset.RunSet(id="good", seq_num=0)
    good.start()
    task = good.add_task(id="t", seq_num=0)
    task.start()
    task.add_section(id="s", seq_num=0).stop(result=Passed)
    task.stop()
    good.stop(num_tasks=1)
    (tmp_path / "good.yaml").write_text(good.dump_yaml())
    assert run("summary", tmp_path / "good.yaml", "--check", check=0).stdout.splitlines()[-1] == "check: ok"


def test_html_page_of_a_stored_job_has_the_same_tree_from_either_form_and_its_failure_logs(job, tmp_path):
    from support.report_pages import page_data, stretch_text
    pages = {}
    for form in ("json", "yaml"):
        run("html", job / ("results." + form), "-o", tmp_path / (form + ".html"), check=0)
        pages[form] = page_data((tmp_path / (form + ".html")).read_text(encoding="utf-8"))
    # Run times differ: the YAML form rounds them.
    assert [n[:5] for n in pages["json"]["nodes"]] == [n[:5] for n in pages["yaml"]["nodes"]]
    logged = [node for node in pages["json"]["nodes"] if node[7].get("log", {}).get("state") == "ok"]
    failure_lines = [line for node in logged for line in "".join(stretch_text(pages["json"], node)).splitlines()
                     if line.startswith("ERROR ")]
    assert failure_lines and all("state down" in line for line in failure_lines)


# --- errors -------------------------------------------------------------------------------------------------------

def _bad_files(tmp_path, job):
    (tmp_path / "broken.json").write_text('{"version": "3.2", "report": {"id": ')
    (tmp_path / "broken.yaml").write_text("version: '3.2'\nreport: [\n")
    newer = json.loads((job / "results.json").read_text())
    newer["version"] = "4.0"
    (tmp_path / "newer.json").write_text(json.dumps(newer))
    (tmp_path / "list.yaml").write_text("- 1\n")
    (tmp_path / "binary.json").write_bytes(b"\xff\xfe{}")
    (tmp_path / "unparented.yaml").write_text("version: '3.2'\nreport:\n  id: j\n  tasks:\n    - name: t\n")
    (tmp_path / "cycle.yaml").write_text("version: '3.2'\nreport: &job\n  id: j\n  tasks:\n    - *job\n")


# Each kind of bad input through a different command, so every command meets one.
BAD_INPUTS = [
    ("missing.json", "No such file or directory", ["show"]),
    ("broken.json", "not valid JSON", ["junit", "-o", "{out}"]),
    ("broken.yaml", "not valid YAML at line 3", ["xml", "-o", "{out}"]),
    ("newer.json", "format version '4.0' is not supported", ["convert", "--to", "yaml", "-o", "{out}"]),
    ("list.yaml", "not a stored report", ["summary"]),
    ("binary.json", "not UTF-8 text", ["html", "-o", "{out}"]),
    ("unparented.yaml", r"report.tasks[0] has no id", ["diff", "{good}"]),
    ("cycle.yaml", "holds a YAML alias at line 5 column 7: stored reports never do", ["show", "--failed"]),
]


@pytest.mark.parametrize("name, cause, command", BAD_INPUTS, ids=[b[0] for b in BAD_INPUTS])
def test_bad_input_gives_one_line_exit_2_and_writes_nothing(job, tmp_path, name, cause, command):
    _bad_files(tmp_path, job)
    out = tmp_path / "out"
    args = [a.format(out=out, good=job / "results.json") for a in command]
    proc = run(args[0], tmp_path / name, *args[1:])
    assert proc.returncode == 2, proc.stderr
    assert proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr, proc.stderr
    assert re.match(r"python -m kovra.reporter %s: error: %s: .*%s" % (args[0], re.escape(str(tmp_path / name)),
                                                                        re.escape(cause)), proc.stderr), proc.stderr
    assert not out.exists() and proc.stdout == ""


# A report whose extra data is nine levels of nine aliases: 387,420,489 strings once expanded.
LAUGHS = "version: '3.2'\nreport:\n  id: job\n  type: RunSet\n  extra:\n" + \
    '    a: &a ["lol", "lol", "lol", "lol", "lol", "lol", "lol", "lol", "lol"]\n' + "".join(
        "    %s: &%s [%s]\n" % (name, name, ", ".join(["*" + prev] * 9)) for prev, name in zip("abcdefgh", "bcdefghi"))
EVERY_COMMAND = [["show"], ["summary"], ["xml", "-o", "{out}"], ["junit", "-o", "{out}"], ["diff", "{good}"],
                 ["convert", "--to", "json", "-o", "{out}"], ["html", "-o", "{out}"]]


@pytest.mark.parametrize("command", EVERY_COMMAND, ids=[c[0] for c in EVERY_COMMAND])
def test_an_alias_bomb_is_refused_by_every_command(job, tmp_path, command):
    (tmp_path / "laughs.yaml").write_text(LAUGHS)
    out = tmp_path / "out"
    args = [a.format(out=out, good=job / "results.json") for a in command]
    proc = run(args[0], tmp_path / "laughs.yaml", *args[1:])
    assert (proc.returncode, proc.stdout) == (2, ""), proc.stderr
    assert proc.stderr.count("\n") == 1 and "holds a YAML alias at line 7 column" in proc.stderr, proc.stderr
    assert not out.exists()


@pytest.mark.parametrize("opening", ["[", "{a: ", "- "])
def test_deep_nesting_is_refused_not_a_crash(tmp_path, opening):
    # libyaml's own composer recursed once per level: 200 KB of "[" overflowed the C stack.
    text = "version: '3.2'\nreport:\n " + opening * (200_000 // len(opening)) + "x\n"
    (tmp_path / "deep.yaml").write_text(text)
    for python in PYTHONS:
        proc = run("show", tmp_path / "deep.yaml", python=python)
        assert proc.returncode == 2, (python, proc.returncode, proc.stderr[-300:])
        assert proc.stderr.count("\n") == 1 and "nested too deeply to read" in proc.stderr, proc.stderr


FALLBACK = """
import sys
from kovra.reporter import store, yaml_load
yaml_load._native = None
yaml_load._missing = ImportError("not built here")
for path in sys.argv[1:]:
    try:
        print(store.read_document(path, progress=None)["report"]["id"])
    except store.StoredReportError as error:
        print(error)
"""


def test_without_the_native_reader_pyyaml_reads_with_the_same_bounds_and_says_so_once(job, tmp_path):
    # Debian's 3.11 has libyaml's loader (its composer recurses in C), the 3.10 venv the pure one.
    (tmp_path / "laughs.yaml").write_text(LAUGHS)
    (tmp_path / "deep.yaml").write_text("version: '3.2'\nreport: " + "[" * 200_000 + "\n")
    (tmp_path / "broken.yaml").write_text("version: '3.2'\nreport: {id: [\n")
    files = [job / "results.yaml", tmp_path / "laughs.yaml", tmp_path / "deep.yaml", tmp_path / "broken.yaml"]
    for python in PYTHONS:
        proc = subprocess.run([python, "-c", FALLBACK] + [str(f) for f in files], capture_output=True, text=True,
                              cwd=REPO_ROOT, timeout=300)
        assert proc.returncode == 0, (python, proc.returncode, proc.stderr[-500:])
        assert proc.stderr.count("native YAML reader is not available (not built here)") == 1, proc.stderr
        lines = proc.stdout.splitlines()
        assert lines[0] == "nightly"
        assert "holds a YAML alias at line 7 column" in lines[1]
        assert "nested too deeply to read" in lines[2]
        assert "not valid YAML at line 3 column 1" in lines[3], lines[3]


def test_failed_write_keeps_the_old_output_and_leaves_no_temporary_file(job, tmp_path):
    out = tmp_path / "junit.xml"
    out.write_text("old")
    (tmp_path / "broken.json").write_text("{")
    assert run("junit", tmp_path / "broken.json", "-o", out).returncode == 2
    assert out.read_text() == "old" and sorted(os.listdir(tmp_path)) == ["broken.json", "junit.xml"]
    proc = run("junit", job / "results.json", "-o", tmp_path / "no" / "such" / "dir.xml")
    assert proc.returncode == 2 and "dir.xml: cannot write: No such file or directory" in proc.stderr


def test_xml_that_cannot_render_leaves_no_folder_and_no_dump(hostile, tmp_path):
    # Ledgrin passes some control characters through, and the re-parse of the details refuses them.
    proc = run("xml", hostile / "results.json", "-o", tmp_path / "xml")
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1
    assert "cannot render the XML files: ExpatError" in proc.stderr
    assert not (tmp_path / "xml").exists()
    (tmp_path / "kept").mkdir()
    assert run("xml", hostile / "results.json", "-o", tmp_path / "kept").returncode == 2
    assert os.listdir(tmp_path / "kept") == []


@pytest.mark.parametrize("args, expected", [
    (["show", "http://127.0.0.1:1/nightly-1"], "http://127.0.0.1:1/nightly-1 is not a job on a server "
                                                "(expected http://HOST:PORT/jobs/KEY)"),
    (["diff", "HTTPS://h:1/api/", "{good}"], "HTTPS://h:1/api/ is not a job on a server "
                                             "(expected http://HOST:PORT/jobs/KEY)"),
    (["jobs", "http://127.0.0.1:1/jobs/nightly-1"], "http://127.0.0.1:1/jobs/nightly-1 is a job, not a server "
                                                     "(expected http://HOST:PORT)"),
])
def test_a_url_of_the_wrong_form_is_named_in_one_line(job, args, expected):
    proc = run(*[a.format(good=job / "results.json") for a in args])
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr == "python -m kovra.reporter %s: error: %s\n" % (args[0], expected)


def test_every_command_has_help(capsys):
    for command in ("show", "summary", "xml", "junit", "diff", "convert", "html"):
        with pytest.raises(SystemExit) as stop:
            cli.main([command, "--help"])
        assert stop.value.code == 0
        helped = capsys.readouterr().out
        assert helped.startswith("usage: python -m kovra.reporter %s" % command)
        if command == "xml":
            assert "results.yaml drops the trailing blanks of multi-line texts" in " ".join(helped.split())
    with pytest.raises(SystemExit) as stop:
        cli.main([])
    assert stop.value.code == 2


def _typed(document, path, kind):
    node = {"sections": document["report"]["tasks"]}
    for node_id in path.split("."):
        node = next(child for child in node["sections"] if child["id"] == node_id)
    node["type"] = kind
    return document


# (before, now, reasons now and before, {path: type}, new failures, fixes): (path, test case, reason) each.
COMPARE_CASES = {
    "a failing case and its failing step are one failure": (
        {"t.c": "passed", "t.c.s": "passed"}, {"t.c": "failed", "t.c.s": "failed"}, {"t.c.s": "timeout 30 s"}, {},
        [("t.c.s", "t.c", "timeout 30 s")], []),
    "a case failing on its own is its failure": (
        {"t.c": "passed", "t.c.s": "passed"}, {"t.c": "errored", "t.c.s": "passed"}, {"t.c": "setup lost"}, {},
        [("t.c", "t.c", "setup lost")], []),
    "another step of a failing case fails": (
        {"t.c": "failed", "t.c.a": "failed", "t.c.b": "passed"}, {"t.c": "failed", "t.c.a": "passed", "t.c.b": "failed"},
        {"t.c.a": "port 4 down", "t.c.b": "port 5 down"}, {},
        [("t.c.b", "t.c", "port 5 down")], [("t.c.a", "t.c", "port 4 down")]),
    "a fixed case and its fixed step are one fix": (
        {"t.c": "failed", "t.c.a": "failed"}, {"t.c": "passed", "t.c.a": "passed"}, {"t.c.a": "bad crc"}, {},
        [], [("t.c.a", "t.c", "bad crc")]),
    "a case fixed by losing its failing step is the case's fix": (
        {"t.c": "failed", "t.c.a": "failed"}, {"t.c": "passed"}, {"t.c.a": "bad crc"}, {},
        [], [("t.c", "t.c", None)]),
    "a Testcase below a suite is the test case": (
        {"t.suite.case.step": "passed"}, {"t.suite": "failed", "t.suite.case": "failed", "t.suite.case.step": "failed"},
        {"t.suite.case.step": "no route"}, {"t.suite.case": "Testcase"},
        [("t.suite.case.step", "t.suite.case", "no route")], []),
}


@pytest.mark.parametrize("before, now, reasons, types, new_failures, fixes", COMPARE_CASES.values(),
                         ids=list(COMPARE_CASES))
def test_diff_lists_leaf_failures_with_test_case_and_reason(tmp_path, before, now, reasons, types, new_failures,
                                                            fixes):
    from support.server_jobs import report
    for name, results in (("old", before), ("new", now)):
        document = report(name, results, reasons={p: r for p, r in reasons.items() if p in results})
        for path, kind in types.items():
            _typed(document, path, kind)
        (tmp_path / (name + ".json")).write_text(json.dumps(document))
    proc = run("diff", tmp_path / "old.json", tmp_path / "new.json", check=1 if new_failures else 0)
    for title, expected in (("new failures", new_failures), ("fixes", fixes)):
        lines = [line.strip() for line in proc.stdout.split(title + " (", 1)[1].split("\n")[1:len(expected) + 1]]
        assert "%s (%d)" % (title, len(expected)) in proc.stdout
        for line, (path, case, reason) in zip(lines, expected):
            assert line.split()[0] == path
            assert ("  in %s" % case in line) == (case != path)
            assert line.endswith(": " + reason) if reason else ":" not in line
