"""Start-up checks every extension module shares, each in a fresh interpreter."""
import os
import subprocess
import sys
import textwrap

import pytest

SECOND_INTERPRETER = ("ImportError: Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")


def run_python(code, tmp_path):
    """Run code in a fresh interpreter that sees the same package; return stdout lines."""
    # cwd outside the repo so '' on sys.path cannot shadow the package under test.
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=str(tmp_path),
                          env=dict(os.environ), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout.splitlines()


def import_in_second_interpreter(module_name, tmp_path, then=""):
    """Imports the module in the main interpreter, then tries a sub-interpreter.
    Returns the sub-interpreter's outcome and what `then` (code run afterwards in
    the main interpreter) printed."""
    try:
        import _xxsubinterpreters  # noqa: F401  up to 3.12
    except ImportError:
        pytest.importorskip("_interpreters")
    result_file = tmp_path / "sub.txt"
    sub_code = textwrap.dedent(f"""
        try:
            import {module_name}
        except BaseException as exc:
            outcome = type(exc).__name__ + ": " + str(exc)
        else:
            outcome = "imported"
        with open({str(result_file)!r}, "w") as fh:
            fh.write(outcome)
    """)
    out = run_python(f"""
        import sys
        try:
            import _xxsubinterpreters as si
            make = si.create
        except ImportError:
            # 3.13+: a new interpreter is isolated unless the legacy one is asked
            # for, and an isolated one refuses every single-phase module alike.
            import _interpreters as si
            make = lambda: si.create("legacy")
        import {module_name}
        sub = make()
        si.run_string(sub, "import sys\\nsys.path[:0] = " + repr(sys.path) + "\\n" + {sub_code!r})
        si.destroy(sub)
        {then}
    """, tmp_path)
    return result_file.read_text(), out


def second_initialisation(module_name, attribute, tmp_path):
    """Runs the module's initialisation on a second module object. Returns the
    error text and whether the first module, with its `attribute`, is kept."""
    return run_python(f"""
        import importlib, importlib.util
        found = importlib.util.find_spec({module_name!r})
        first, second = importlib.util.module_from_spec(found), importlib.util.module_from_spec(found)
        found.loader.exec_module(first)
        kept = getattr(first, {attribute!r})
        try:
            found.loader.exec_module(second)
        except RuntimeError as exc:
            print("RuntimeError", exc)
        imported = importlib.import_module({module_name!r})
        print(imported is first, importlib.reload(imported) is first, getattr(first, {attribute!r}) is kept)
    """, tmp_path)
