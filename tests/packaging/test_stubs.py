"""The shipped stubs match the built modules, as mypy's stubtest sees them."""
import os
import subprocess
import sys

import pytest

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULES = ["kovra.reporter.runset", "kovra.reporter.ledgrin", "kovra.reporter.explorer", "kovra.reporter._yaml",
           "kovra.reporter._intake"]


def test_every_module_ships_a_stub_and_the_package_is_marked_typed():
    folder = os.path.join(REPO_ROOT, "kovra", "reporter")
    assert os.path.exists(os.path.join(folder, "py.typed"))
    for name in MODULES:
        assert os.path.exists(os.path.join(folder, name.rpartition(".")[2] + ".pyi"))


def test_stubtest_finds_no_difference_from_the_runtime():
    try:
        import mypy.stubtest  # noqa: F401
    except ImportError as e:
        pytest.skip("no mypy for this interpreter: %s" % e)
    if os.environ.get("KOVRA_PACKAGE_ROOT"):
        pytest.skip("checks the checkout's modules")
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file",
                           os.path.join(REPO_ROOT, "pyproject.toml")] + MODULES,
                          cwd=REPO_ROOT, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
