"""An interpreter without a build of the modules gets an ImportError that helps."""
import os
import shutil
import subprocess
import sys

import pytest

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUNNING = "%d.%d" % sys.version_info[:2]


@pytest.fixture
def unbuilt_package(tmp_path):
    """A copy of the kovra package whose only builds are for other interpreters."""
    shutil.copytree(os.path.join(REPO_ROOT, "kovra"), str(tmp_path / "kovra"),
                    ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    for name in ("runset.cpython-39-x86_64-linux-gnu.so", "runset.cpython-399d-x86_64-linux-gnu.so",
                 "ledgrin.cpython-39-x86_64-linux-gnu.so"):
        (tmp_path / "kovra" / "reporter" / name).write_bytes(b"")
    return tmp_path


@pytest.mark.parametrize("statement", ["import kovra.reporter.runset",
                                       "from kovra.reporter import runset",
                                       "from kovra.reporter.runset import RunSet"])
def test_import_without_a_build_names_versions_and_the_build_command(unbuilt_package, statement):
    proc = subprocess.run([sys.executable, "-c", statement], cwd=str(unbuilt_package), capture_output=True,
                          text=True, timeout=60, env=dict(os.environ, PYTHONPATH=str(unbuilt_package)))
    assert proc.returncode == 1
    last = proc.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: kovra.reporter.runset is not built for this interpreter, CPython %s"
                           % RUNNING)
    assert "built for: 3.9, 3.99d." in last
    assert "Build it with: " in last and "pip install" in last


def test_a_module_with_no_build_at_all_says_none(unbuilt_package):
    proc = subprocess.run([sys.executable, "-c", "import kovra.reporter.explorer"], cwd=str(unbuilt_package),
                          capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=str(unbuilt_package)))
    assert "built for: none." in proc.stderr


def test_built_modules_and_unknown_names_are_untouched():
    from kovra.reporter import runset
    assert runset.__file__.endswith(".so")
    with pytest.raises(ModuleNotFoundError):
        import kovra.reporter.nothing_here  # noqa: F401
