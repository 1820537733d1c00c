"""The main job end to end: what it stores, in every form."""
import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

import yaml

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_main_job_stores_the_report_and_the_legacy_files(tmp_path):
    out = tmp_path / "out"
    proc = subprocess.run([sys.executable, os.path.join(REPO_ROOT, "tools", "main_job.py"), "--out", str(out),
                           "--tasks", "2", "--sections", "2"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "Report written to: %s" % out
    # The job went through a local server and back, which was stopped; its command serves the stored jobs.
    stored = re.search(r"read back whole: the same (\d+) nodes; the first task read back through the explorer "
                       r"over HTTP, node by node: the same (\d+) nodes", proc.stdout)
    assert stored and 0 < int(stored.group(2)) < int(stored.group(1)), proc.stdout
    lines = proc.stdout.splitlines()
    serve = lines[lines.index("browse the stored jobs (http://127.0.0.1:8765) with:") + 1]
    assert serve.endswith("-m kovra.reporter serve --data %s" % (out / "server"))
    assert (out / "server" / "reporter.sqlite3").exists()
    report = json.loads((out / "results.json").read_text())["report"]
    assert yaml.safe_load((out / "results.yaml").read_text())["report"]["id"] == report["id"]

    details = ET.parse(str(out / "ResultsDetails.xml")).getroot()
    scripts = details.findall("runSet/jobExecution/testScript")
    assert [s.get("id") for s in scripts] == [t["id"] for t in report["tasks"]]
    task = scripts[1]
    assert task.find("runInfo/diag").text == "console: \\x1b[32mready\\x1b[0m\\x0c"
    assert [c.get("sectionId") or c.get("tcId") for c in task if c.tag in ("testSection", "testCase")] == [
        "commonSetup", "section0", "section1", "commonCleanup", "collector"]
    assert task.find("testCase/testSection/testStep/testStep/testStep") is not None

    # The tree as printed: the run set, its tasks and the paths to failures, then a count of what was left out.
    start = lines.index("stored report, read back through the explorer (id, type, result; the tasks and the "
                        "paths to failures):")
    rest = re.fullmatch(r"  \.\.\. (\d+) of (\d+) nodes not shown \(--tree full prints them all\)",
                        next(line for line in lines[start:] if "not shown" in line))
    shown = lines[start + 1:lines.index(rest.group(0))]
    assert len(shown) + int(rest.group(1)) == int(rest.group(2)) == int(stored.group(1))
    for line in shown:
        depth = (len(line) - len(line.lstrip())) // 2 - 1
        assert depth <= 1 or line.split()[-1] in ("failed", "errored", "aborted"), line
    assert sum(line.split()[-1] == "failed" for line in shown) > 2

    summary = ET.parse(str(out / "ResultsSummary.xml")).getroot()
    assert summary.find("jobName").text == report["name"]
    assert summary.find("total").text == str(sum(report["summary"][k] for k in report["summary"]
                                                   if k not in ("total", "success_rate")))


def test_the_full_tree_prints_every_node(tmp_path):
    proc = subprocess.run([sys.executable, os.path.join(REPO_ROOT, "tools", "main_job.py"), "--out", str(tmp_path),
                           "--tasks", "2", "--sections", "2", "--tree", "full", "--no-server"],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    start = lines.index("stored report, read back through the explorer (id, type, result):")
    tree = lines[start + 1:lines.index("look at it from %s with:" % REPO_ROOT)]
    report = json.loads((tmp_path / "results.json").read_text())["report"]

    def count(node):
        return 1 + sum(count(child) for key in ("tasks", "sections") for child in node.get(key, ()))
    assert len(tree) == count(report) and not any("not shown" in line for line in tree)


def test_job_help_needs_no_set_up_or_build(tmp_path):
    # With no apt, cmake or compiler on PATH, any set-up or build step would fail.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for tool in ("dirname", "bash"):
        os.symlink("/usr/bin/" + tool if os.path.exists("/usr/bin/" + tool) else "/bin/" + tool, str(bin_dir / tool))
    env = dict(os.environ, PATH=str(bin_dir), PYTHON=sys.executable)
    proc = subprocess.run(["/bin/bash", os.path.join(REPO_ROOT, "tools", "job"), "--help"], capture_output=True,
                          text=True, timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr
    assert "usage: main_job.py" in proc.stdout and "--installed" in proc.stdout
    assert not proc.stderr


def test_bad_options_are_one_line_errors_and_every_option_is_explained(tmp_path):
    (tmp_path / "file").write_text("kept")
    for args, message in [(["--out", str(tmp_path / "file")], "--out %s: not a folder" % (tmp_path / "file")),
                          (["--tasks", "-1"], "argument --tasks: -1 is negative"),
                          (["--sections", "x"], "argument --sections: 'x' is not a whole number")]:
        proc = subprocess.run([sys.executable, os.path.join(REPO_ROOT, "tools", "main_job.py")] + args,
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode == 2 and proc.stderr.splitlines()[-1] == "main_job.py: error: " + message
        assert "Traceback" not in proc.stderr and proc.stdout == ""
    assert (tmp_path / "file").read_text() == "kept"
    helped = subprocess.run([sys.executable, os.path.join(REPO_ROOT, "tools", "main_job.py"), "--help"],
                            capture_output=True, text=True, timeout=60).stdout
    options = re.findall(r"^  (--\w+)(?: \w+)?\s+(\S.*)$", helped, re.M)
    assert [name for name, _ in options] == ["--out", "--tasks", "--sections", "--tree", "--installed"]
