"""Time the native kovra.reporter.ledgrin against the plain-Python reference.

Both run in the same process on the same report; each figure is the best of
--repeat runs, the two sides alternating, and the ratio is reference/native
(above 1: native is faster). Nothing is asserted.

    python bench/bench_ledgrin.py [--tasks N --sections M --repeat R]
    python bench/bench_ledgrin.py --sizes 1500,6000,24000 [--repeat R]

--sizes times, for jobs of that many section nodes (tasks of 20 sections, each
section with two steps: 60 nodes per task), the whole generate_xml against the reference, and the pretty-printed
rendering alone: the native renderer against the ET.tostring, minidom.parseString
and toprettyxml round trip it replaces (both through generate_xml on a prebuilt
details tree, file writes and the small summary file included on both sides).
"""
import argparse
import os
import sys
import tempfile
import timeit
import types
import xml.etree.ElementTree as ET

from bench_paths import BENCH_DIR, PACKAGE_ROOT, REPO_ROOT  # noqa: E402,F401

import kovra.reporter.ledgrin as native  # noqa: E402
import kovra.reporter.runset as runset  # noqa: E402
from reference import ledgrin as reference  # noqa: E402
from bench_runset import best_of_both, build_job, print_table  # noqa: E402
from kovra.qoreport.runset import RunSet as LegacyRunSet  # noqa: E402

CLEAN_LINE = "2026-12-08 10:00:01 INFO  device ready, link up at 1000 Mbit/s, 0 errors"
CLEAN_LOG = "\n".join([CLEAN_LINE] * 200)
CONSOLE = "\x1b[32mready\x1b[0m " + CLEAN_LINE
EXTRA = {"tags": ["smoke", "nightly"], "device": {"name": "dut1", "ports": [1, 2, 3], "note": CONSOLE},
         "index": 3, "args": ("-v", "--fast")}

# Single calls: escape and escape_data run on every text of every section.
OPERATIONS = [
    ("escape(short clean)", "mod.escape(%r)" % "step passed"),
    ("escape(72-char clean line)", "mod.escape(CLEAN_LINE)"),
    ("escape(200-line clean log)", "mod.escape(CLEAN_LOG)"),
    ("escape(console line)", "mod.escape(CONSOLE)"),
    ("escape_data(nested extra)", "mod.escape_data(EXTRA)"),
]


def operation_rows(repeat, number=20000):
    rows = []
    for name, statement in OPERATIONS:
        timers = [timeit.Timer(statement, globals={"mod": mod, "CLEAN_LINE": CLEAN_LINE, "CLEAN_LOG": CLEAN_LOG,
                                                   "CONSOLE": CONSOLE, "EXTRA": EXTRA}).timeit
                  for mod in (reference, native)]
        count = number // 20 if "log" in name else number
        ref_time, nat_time = best_of_both(repeat, lambda: timers[0](count), lambda: timers[1](count))
        rows.append((name, ref_time / count * 1e6, nat_time / count * 1e6))
    return rows


def workload_rows(args, folder):
    logfile = os.path.join(folder, "job.log")
    with open(logfile, "w") as stream:
        stream.write("log line\n" * 100)
    job = build_job(runset, args.tasks, args.sections, logfile)
    for node in job.tasks:
        node.add_detail(CONSOLE)
    out = {reference: os.path.join(folder, "reference"), native: os.path.join(folder, "native")}
    for path in out.values():
        os.makedirs(path)

    def handlers(mod):
        return lambda: mod.Ledgrin(out[mod], job)._handle_runset(LegacyRunSet(), job)

    def generate(mod):
        return lambda: mod.Ledgrin(out[mod], job).generate_xml(None, None)

    rows = []
    for name, make in [("handlers (copy into legacy objects)", handlers), ("generate_xml (whole)", generate)]:
        rows.append((name,) + best_of_both(args.repeat, make(reference), make(native)))
    return rows


SECTIONS_PER_TASK = 20
NODES_PER_TASK = SECTIONS_PER_TASK * 3  # each section and its two steps


class Prebuilt(native.Ledgrin):
    """generate_xml on a details tree built beforehand: only the rendering and the
    file writes are left."""

    def __init__(self, logsdir, dom):
        super().__init__(logsdir, None)
        self.qoreport = types.SimpleNamespace(runset=None, generate_dom=lambda: dom)

    def _handle_runset(self, qots, runset):
        return qots


def generic_road(func):
    """Runs func with the module's ET global replaced by a look-alike of the same
    functions: the native module then runs the generic road."""
    def run():
        saved = native.ET
        native.ET = types.SimpleNamespace(**{name: getattr(ET, name) for name in dir(ET)})
        try:
            func()
        finally:
            native.ET = saved
    return run


def size_rows(size, repeat, folder):
    logfile = os.path.join(folder, "job.log")
    with open(logfile, "w") as stream:
        stream.write("log line\n" * 100)
    job = build_job(runset, max(1, size // NODES_PER_TASK), SECTIONS_PER_TASK, logfile)
    out = {name: os.path.join(folder, "%s-%d" % (name, size)) for name in ("reference", "native", "steps")}
    for path in out.values():
        os.makedirs(path)
    whole = best_of_both(repeat, lambda: reference.Ledgrin(out["reference"], job).generate_xml(None, None),
                         lambda: native.Ledgrin(out["native"], job).generate_xml(None, None))
    gen = native.Ledgrin(out["native"], job)
    gen.generate_xml(None, None)
    prebuilt = Prebuilt(out["steps"], gen.qoreport.generate_dom())
    steps = best_of_both(repeat, generic_road(lambda: prebuilt.generate_xml(None, None)),
                         lambda: prebuilt.generate_xml(None, None))
    return [("generate_xml (whole), %d sections" % size,) + whole,
            ("round trip vs renderer, %d sections" % size,) + steps]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=20)
    parser.add_argument("--sections", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--sizes", help="comma-separated section counts: the XML rendering table only")
    args = parser.parse_args(argv)

    if args.sizes:
        rows = []
        with tempfile.TemporaryDirectory() as folder:
            for size in (int(text) for text in args.sizes.split(",")):
                rows += size_rows(size, args.repeat, folder)
        print("native:    %s" % native.__file__)
        print("python %s, repeat=%d (best of repeat, GC off while timed)" % (sys.version.split()[0], args.repeat))
        print_table("xml rendering", "s", rows)
        return

    with tempfile.TemporaryDirectory() as folder:
        rows = workload_rows(args, folder)
    print("native:    %s" % native.__file__)
    print("reference: %s" % reference.__file__)
    print("python %s, tasks=%d sections=%d repeat=%d (best of repeat, GC off while timed)"
          % (sys.version.split()[0], args.tasks, args.sections, args.repeat))
    print_table("workload", "s", rows)
    print()
    print_table("operation", "us", operation_rows(args.repeat))


if __name__ == "__main__":
    main()
