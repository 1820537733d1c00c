"""The pytest plugin on the framework's 3.10: a part of the project's own tests reported live to a local
server, and a suite of every outcome with the server down (the run's status unchanged, the files written)."""
import json
import os
import re
import subprocess

import pytest

from conftest import REPO, TOKEN, free_port

PY310 = os.path.join(REPO, ".venv310", "bin", "python")
WORDS = {"passed": "passed", "failed": "failed", "error": "errored", "errors": "errored", "skipped": "skipped",
         "xfailed": "skipped", "xpassed": "passed"}
SUITE = '''
import pytest

@pytest.fixture
def broken():
    raise RuntimeError("fixture fell over")

def test_one(): print("said one")
def test_fails(): assert 1 == 2, "one is not two"
def test_errors(broken): pass
@pytest.mark.skip(reason="not today")
def test_skipped(): pass
@pytest.mark.xfail(reason="known bug")
def test_xfail(): assert 0
'''


def run(args, folder):
    if not os.path.exists(PY310):
        pytest.skip("no 3.10 venv: run tools/setup")
    env = dict(os.environ, PYTHONPATH=REPO, KOVRA_REPORTER_TOKEN=TOKEN)
    done = subprocess.run([PY310, "-m", "pytest", "-p", "no:cacheprovider", "-p", "kovra.reporter.pytest_plugin",
                           "-q"] + args, cwd=folder, env=env, capture_output=True, text=True, timeout=300)
    last = [line for line in done.stdout.splitlines() if " in " in line and re.search(r"\d+ \w+", line)][-1]
    printed = {}
    for number, word in re.findall(r"(\d+) (\w+)", last):
        if word in WORDS:
            printed[WORDS[word]] = printed.get(WORDS[word], 0) + int(number)
    return done, printed


def counts(summary):
    return {k: v for k, v in summary.items() if k in ("passed", "failed", "errored", "skipped") and v}


def test_a_real_suite_is_sent_live_with_the_counts_pytest_printed(start_server, tmp_path):
    if not os.path.exists(os.path.join(REPO, "kovra", "reporter", "runset.cpython-310-x86_64-linux-gnu.so")):
        pytest.skip("the modules are not built for 3.10: tools/build py310")
    server = start_server()
    out = tmp_path / "out"
    done, printed = run(["--kovra-url", server.url, "--kovra-job", "own-tests", "--kovra-out", str(out),
                         os.path.join(REPO, "tests", "explorer", "test_explorer.py"),
                         os.path.join(REPO, "tests", "explorer", "test_explorer_module.py")], REPO)
    assert done.returncode == 0, done.stdout[-2000:]
    assert "kovra reporter:" not in done.stdout
    assert printed.get("passed", 0) > 10 and printed.get("skipped")
    from kovra.reporter.client import ServerClient
    with ServerClient(server.url, "own-tests") as client:
        row = client.job_info()
        report = json.loads(client.get_report())["report"]
        logs = client.log_names()
    assert counts(row["counts"]) == printed
    # The two files were sent as tasks as each finished, then the whole job: three snapshots.
    assert [t["id"] for t in report["tasks"]] == ["tests/explorer/test_explorer.py", "tests/explorer/test_explorer_module.py"]
    assert (row["state"], row["snapshot"]) == ("finished", 3)
    steps = [s["id"] for s in report["tasks"][0]["sections"][0]["sections"]]
    assert steps == ["setup", "call", "teardown"]
    assert sorted(logs) == sorted(name for name in os.listdir(out) if name.endswith(".log")) != []
    with open(out / "results.json") as stream:
        assert counts(json.load(stream)["report"]["summary"]) == printed


def test_a_server_that_is_down_never_fails_the_run(tmp_path):
    (tmp_path / "test_every_outcome.py").write_text(SUITE)
    plain = subprocess.run([PY310, "-m", "pytest", "-p", "no:cacheprovider", "-q", "test_every_outcome.py"],
                           cwd=tmp_path, capture_output=True, text=True, timeout=120)
    url = "http://127.0.0.1:%d" % free_port()
    done, printed = run(["--kovra-url", url, "--kovra-job", "down", "test_every_outcome.py"], tmp_path)
    assert done.returncode == plain.returncode == 1
    assert printed == {"passed": 1, "failed": 1, "errored": 1, "skipped": 2}
    assert done.stdout.count("results not sent to the server") == 1
    with open(tmp_path / "kovra-out" / "results.json") as stream:
        report = json.load(stream)["report"]
    assert counts(report["summary"]) == printed
    cases = {s["id"]: s for s in report["tasks"][0]["sections"]}
    assert cases["test_fails"]["result"]["value"] == "failed"
    assert "one is not two" in cases["test_fails"]["result"]["reason"]
    assert "assert 1 == 2" in "".join(cases["test_fails"]["details"])
    assert cases["test_errors"]["result"]["value"] == "errored"
    assert cases["test_xfail"]["result"] == {"value": "skipped", "reason": "xfail: known bug"}
    assert cases["test_skipped"]["result"] == {"value": "skipped", "reason": "Skipped: not today"}
    with open(tmp_path / "kovra-out" / "test_every_outcome.py.log") as stream:
        assert "said one" in stream.read()
