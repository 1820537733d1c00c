"""The README's Python example, saved as a file and run from another folder, as the README says to."""
import os
import re
import subprocess
import sys

import pytest

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def readme_example():
    with open(os.path.join(REPO_ROOT, "README.md"), encoding="utf-8") as stream:
        text = stream.read()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert blocks, "the README has no Python example"
    return blocks[0]


@pytest.mark.skipif(bool(os.environ.get("KOVRA_PACKAGE_ROOT")), reason="runs the checkout, as the README says")
def test_example_runs_as_a_file_from_another_folder_with_the_checkout_on_pythonpath(tmp_path):
    (tmp_path / "nightly.py").write_text(readme_example())
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    bare = subprocess.run([sys.executable, "nightly.py"], cwd=str(tmp_path), capture_output=True, text=True,
                          timeout=120, env=env)
    # Without it, the failure the README warns of; with it, the job and the tools work.
    assert bare.returncode == 1 and "No module named 'kovra'" in bare.stderr
    env["PYTHONPATH"] = REPO_ROOT
    proc = subprocess.run([sys.executable, "nightly.py"], cwd=str(tmp_path), capture_output=True, text=True,
                          timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr
    out = tmp_path / "nightly"
    assert sorted(os.listdir(str(out))) == ["ResultsDetails.xml", "ResultsSummary.xml", "results.json",
                                             "smoke.log"]
    shown = subprocess.run([sys.executable, "-m", "kovra.reporter", "show", str(out / "results.json")],
                           cwd=str(tmp_path), capture_output=True, text=True, timeout=120, env=env)
    assert shown.stdout.splitlines()[-1].split()[:3] == ["password", "Step", "failed"]
    assert shown.stdout.splitlines()[-1].endswith("  password refused for user admin")
