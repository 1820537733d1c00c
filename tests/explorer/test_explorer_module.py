"""Start-up of kovra.reporter.explorer, each case in a fresh interpreter."""
from support.startup import SECOND_INTERPRETER, import_in_second_interpreter, run_python, second_initialisation

MODULE_NAME = "kovra.reporter.explorer"


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
    assert second_initialisation(MODULE_NAME, "Explorer", tmp_path) == [
        "RuntimeError Module 'explorer' has already been imported. Re-initialisation is not supported.",
        "True True True"]


def test_second_interpreter_is_refused(tmp_path):
    outcome, out = import_in_second_interpreter(
        MODULE_NAME, tmp_path, then=f"print(len({MODULE_NAME}.ExplorerSections(None, [1, 2])))")
    assert (outcome, out) == (SECOND_INTERPRETER, ["2"])
