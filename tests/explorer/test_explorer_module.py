"""Start-up of kovra.reporter.explorer, each case in a fresh interpreter."""
import os
import subprocess
import sys
import textwrap

import pytest

MODULE_NAME = "kovra.reporter.explorer"


def run_python(code, tmp_path):
    """Run code in a fresh interpreter that sees the same package; return stdout lines."""
    # cwd outside the repo so '' on sys.path cannot shadow the package under test.
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=str(tmp_path),
                          env=dict(os.environ), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout.splitlines()


def test_import_loads_no_other_module(tmp_path):
    out = run_python(f"""
        import sys
        import kovra.reporter
        before = set(sys.modules)
        import {MODULE_NAME}
        # The debug build's loader fetches a codec for the first extension module.
        print(sorted(name for name in set(sys.modules) - before if not name.startswith("encodings.")))
    """, tmp_path)
    assert out == [repr([MODULE_NAME])]


def test_second_initialisation_is_refused_and_the_first_module_is_kept(tmp_path):
    out = run_python(f"""
        import importlib, importlib.util
        found = importlib.util.find_spec({MODULE_NAME!r})
        first, second = importlib.util.module_from_spec(found), importlib.util.module_from_spec(found)
        found.loader.exec_module(first)
        cls = first.Explorer
        try:
            found.loader.exec_module(second)
        except RuntimeError as exc:
            print("RuntimeError", exc)
        import kovra.reporter.explorer as imported
        print(imported is first, importlib.reload(imported) is first, first.Explorer is cls)
    """, tmp_path)
    assert out == ["RuntimeError Module 'explorer' has already been imported. Re-initialisation is not supported.",
                   "True True True"]


def test_second_interpreter_is_refused(tmp_path):
    pytest.importorskip("_xxsubinterpreters")
    result_file = tmp_path / "sub.txt"
    sub_code = textwrap.dedent(f"""
        try:
            import {MODULE_NAME}
        except BaseException as exc:
            outcome = type(exc).__name__ + ": " + str(exc)
        else:
            outcome = "imported"
        with open({str(result_file)!r}, "w") as fh:
            fh.write(outcome)
    """)
    out = run_python(f"""
        import sys
        import _xxsubinterpreters as si
        import {MODULE_NAME}
        sub = si.create()
        si.run_string(sub, "import sys\\nsys.path[:0] = " + repr(sys.path) + "\\n" + {sub_code!r})
        si.destroy(sub)
        print(len({MODULE_NAME}.ExplorerSections(None, [1, 2])))
    """, tmp_path)
    assert out == ["2"]
    assert result_file.read_text() == ("ImportError: Interpreter change detected - this module can only "
                                       "be loaded into one interpreter per process.")
