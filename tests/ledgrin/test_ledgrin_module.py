"""The surface of kovra.reporter.ledgrin and its start-up."""
import os
import xml.etree.ElementTree
from xml.dom import minidom

import kovra.configuration
from kovra.reporter import ledgrin
from kovra.results import Passed
from support.startup import SECOND_INTERPRETER, import_in_second_interpreter, run_python, second_initialisation

MODULE_NAME = "kovra.reporter.ledgrin"
HANDLERS = ["_handle_runset", "_handle_jobexecution", "_handle_testscript", "_handle_commonsection",
            "_handle_testcase", "_handle_subsection", "_handle_testsection", "_handle_step"]


def test_module_globals_in_definition_order():
    names = [name for name in vars(ledgrin) if not name.startswith("__")]
    assert names == ["os", "re", "ET", "minidom", "cfg", "Passed", "QOReport", "RunSet", "TestScript",
                     "ESCAPE_SEQUENCE", "_escape_repl", "escape", "escape_data", "Ledgrin"]
    assert ledgrin.os is os and ledgrin.ET is xml.etree.ElementTree and ledgrin.minidom is minidom
    assert ledgrin.cfg is kovra.configuration and ledgrin.Passed is Passed
    from kovra.qoreport.runset import RunSet
    from kovra.qoreport.testscript import TestScript
    from kovra.qoreport.toplevel.qoreport_top import QOReport
    assert (ledgrin.QOReport, ledgrin.RunSet, ledgrin.TestScript) == (QOReport, RunSet, TestScript)


def test_ledgrin_class_surface():
    cls = ledgrin.Ledgrin
    assert cls.__bases__ == (object,) and cls.__doc__ is None and cls.__module__ == MODULE_NAME
    methods = [name for name in vars(cls) if not name.startswith("__") or name == "__init__"]
    assert methods == ["__init__", "generate_xml", *HANDLERS]
    assert cls.__init__.__doc__ is None
    assert cls.generate_xml.__doc__ == ("\n        Generate the ResultsDetails.xml and ResultsSummary.xml files"
                                        " needed by\n        many other services.\n        ")
    assert cls._handle_step.__doc__ == ("\n        Populate an QOReport TestStep with information from a"
                                        " Reporter Section.\n        ")
    assert all(getattr(cls, name).__doc__.startswith("\n        Populate an") or name == "_handle_runset"
               for name in HANDLERS)
    assert cls._handle_runset.__doc__ == ("\n        Populate QOReport's RunSet with information from"
                                          " Reporter's\n        RunSet.\n        ")


def test_requirements_are_imported_in_order(tmp_path):
    # Break every requirement, then repair one at a time: each attempt stops at the
    # earliest one still broken, and a failed import leaves nothing behind.
    out = run_python(f"""
        import importlib, sys, types
        import os, re, xml.etree.ElementTree, xml.dom.minidom, kovra.configuration, kovra.results
        import kovra.qoreport.toplevel.qoreport_top, kovra.qoreport.runset, kovra.qoreport.testscript
        import kovra.reporter
        steps = [("os", None), ("re", None), ("xml.etree.ElementTree", None), ("xml.dom.minidom", None),
                 ("kovra.configuration", None), ("kovra.results", "Passed"),
                 ("kovra.qoreport.toplevel.qoreport_top", "QOReport"), ("kovra.qoreport.runset", "RunSet"),
                 ("kovra.qoreport.testscript", "TestScript")]
        real = {{name: sys.modules[name] for name, _ in steps}}

        def broken(name, attribute):
            if attribute is None:
                return None
            fake = types.ModuleType(name)
            fake.__dict__.update(vars(real[name]))
            delattr(fake, attribute)
            return fake

        outcomes = []
        for first in range(len(steps) + 1):
            for index, (name, attribute) in enumerate(steps):
                sys.modules[name] = broken(name, attribute) if index >= first else real[name]
            # The parents' attributes must not hand out the real modules.
            xml.dom.minidom = sys.modules["xml.dom.minidom"] if first > 3 else None
            kovra.configuration = sys.modules["kovra.configuration"] if first > 4 else None
            if first <= 4:
                del kovra.configuration
            if first <= 3:
                del xml.dom.minidom
            try:
                import kovra.reporter.ledgrin
            except ImportError as exc:
                outcomes.append(type(exc).__name__ + " " + (exc.name or str(exc)))
            else:
                outcomes.append("imported")
            outcomes[-1] += " " + str({MODULE_NAME!r} in sys.modules)
        print("\\n".join(outcomes))
    """, tmp_path)
    assert out == [
        "ModuleNotFoundError os False",
        "ModuleNotFoundError re False",
        "ModuleNotFoundError xml.etree.ElementTree False",
        "ModuleNotFoundError xml.dom.minidom False",
        "ModuleNotFoundError kovra.configuration False",
        "ImportError cannot import name Passed False",
        "ImportError cannot import name QOReport False",
        "ImportError cannot import name RunSet False",
        "ImportError cannot import name TestScript False",
        "imported True",
    ]


def test_second_initialisation_is_refused_and_the_first_module_is_kept(tmp_path):
    assert second_initialisation(MODULE_NAME, "Ledgrin", tmp_path) == [
        "RuntimeError Module 'ledgrin' has already been imported. Re-initialisation is not supported.",
        "True True True"]


def test_second_interpreter_is_refused(tmp_path):
    outcome, out = import_in_second_interpreter(MODULE_NAME, tmp_path, then=f"print({MODULE_NAME}.escape('\\x01'))")
    assert (outcome, out) == (SECOND_INTERPRETER, ["\\x01"])
