"""tools/test picks stages by name or pattern."""
import os
import subprocess

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TEST = os.path.join(REPO_ROOT, "tools", "test")


def test_list_names_every_interpreter_stage_in_order():
    proc = subprocess.run(["bash", TEST, "--list"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0
    stages = proc.stdout.split()
    assert stages[0] == "setup"
    for v in ("3.10", "3.11", "3.11d", "3.13", "3.14", "3.15"):
        assert "pytest-" + v in stages
        assert stages.index("build-py" + v.replace(".", "")) < stages.index("pytest-" + v)


def test_a_name_matching_no_stage_runs_nothing():
    proc = subprocess.run(["bash", TEST, "setup", "no-such-stage"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2
    assert "no stage matches 'no-such-stage'" in proc.stderr
    assert "========" not in proc.stdout
