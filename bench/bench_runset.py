"""Time the native kovra.reporter.runset against the plain-Python reference.

Both run in the same process on the same workloads; the table gives the best
of --repeat runs for each and the ratio reference/native (above 1: native is
faster). Nothing is asserted.

    python bench/bench_runset.py [--tasks N --sections M --repeat R]

KOVRA_PACKAGE_ROOT, as for the tests, names the root holding the kovra
package to import (default: the repo root).
"""

import argparse
import collections
import datetime
import functools
import gc
import itertools
import json
import os
import sys
import tempfile
import time
import timeit
import types

from bench_paths import BENCH_DIR, PACKAGE_ROOT, REPO_ROOT  # noqa: E402,F401

import kovra.reporter.runset as native  # noqa: E402
from reference import job as reference_job  # noqa: E402
from reference import runset as reference  # noqa: E402


def build_job(mod, num_tasks, num_sections, logfile):
    """The shared job; a stubbed TestResult makes its results with `make`."""
    results = mod.TestResult
    if isinstance(results, (Stubs, types.SimpleNamespace)):
        results = results.make
    return reference_job.build_job(mod, num_tasks, num_sections, logfile, results)


# ---- the framework stubbed alike on both sides

class StubResult:
    """A result value whose clone and combination cost next to nothing."""
    __slots__ = ()

    def clone(self):
        return self

    def __add__(self, other):
        return self

    def __str__(self):
        return "passed"


STUB_PASSED = StubResult()


class _CountingDict(collections.defaultdict):
    """A dict reading 0 for a missing key, with room for a weight attribute."""


StubCounter = functools.partial(_CountingDict, int)


class Stubs:
    """Stands for TestResult: from_str and the constructor give one shared value."""

    @staticmethod
    def from_str(text):
        return STUB_PASSED

    @staticmethod
    def make(text):
        return STUB_PASSED


STUB_CLOCK = functools.partial(datetime.datetime, 2026, 1, 1)
STUB_OS = type(sys)("stub_os")
STUB_OS.path = type(sys)("stub_os.path")
STUB_OS.path.basename = str
STUB_OS.path.getsize = len

STUBBED_GLOBALS = {
    "get_time": STUB_CLOCK,
    # Also stores list_extend in extra: alike on both sides, and all C.
    "recursive_update": dict.update,
    "ResultCounter": StubCounter,
    "TestResult": Stubs(),
    "Passed": STUB_PASSED,
    "os": STUB_OS,
}


# ---- the same stubs with no Python code at all
#
# Every part answers from C: the stubs above still run Python frames (the result's
# clone, + and str, from_str) and a defaultdict's default factory on every missing
# counter key. These leave little but the module's own work, to show how much of
# the job that is.

class CStubResult:
    """A result value whose clone, + and str are C callables answering at once."""
    __slots__ = ()


C_STUB_PASSED = CStubResult()
# Found on the type and not bound (builtin callables are no descriptors), so each is
# called with the arguments after self.
CStubResult.clone = itertools.repeat(C_STUB_PASSED).__next__
CStubResult.__add__ = {C_STUB_PASSED: C_STUB_PASSED}.__getitem__
CStubResult.__str__ = itertools.repeat("passed").__next__


class _CZeroDict(dict):
    """A dict reading 0 for a missing key (without storing it), with room for a weight."""
    __missing__ = [].count


_C_RESULTS = dict.fromkeys(["passed", "failed", "passx"], C_STUB_PASSED)

C_STUBBED_GLOBALS = {
    "get_time": itertools.repeat(datetime.datetime(2026, 1, 1)).__next__,
    "recursive_update": dict.update,
    "ResultCounter": _CZeroDict,
    "TestResult": types.SimpleNamespace(from_str=_C_RESULTS.__getitem__, make=_C_RESULTS.__getitem__),
    "Passed": C_STUB_PASSED,
    "os": STUB_OS,
}


class stubbed:
    """Swaps the framework's globals of one module for a set of stubs."""

    def __init__(self, mod, stubs=STUBBED_GLOBALS):
        self.mod = mod
        self.stubs = stubs

    def __enter__(self):
        self.saved = {name: getattr(self.mod, name) for name in self.stubs}
        for name, value in self.stubs.items():
            setattr(self.mod, name, value)
        return self.mod

    def __exit__(self, *exc):
        for name, value in self.saved.items():
            setattr(self.mod, name, value)


def stubbed_job(mod, args, logfile, stubs=STUBBED_GLOBALS):
    with stubbed(mod, stubs):
        build_job(mod, args.tasks, args.sections, logfile)


def all_nodes(rs):
    nodes = [rs]
    todo = list(rs.tasks)
    while todo:
        node = todo.pop()
        nodes.append(node)
        todo.extend(node.sections)
    return nodes


def deepest_nodes(rs):
    nodes = all_nodes(rs)
    depth = max(len(n.idlist) for n in nodes[1:])
    return [n for n in nodes[1:] if len(n.idlist) == depth]


def timed(func):
    # As timeit does: no cyclic GC inside the timed call (node trees are cyclic).
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        func()
        return time.perf_counter() - start
    finally:
        gc.enable()


def best_of_both(repeat, ref_func, nat_func):
    """Best times of the two, runs alternating so both see the same machine state."""
    ref_best = nat_best = float("inf")
    for _ in range(repeat):
        ref_best = min(ref_best, timed(ref_func))
        nat_best = min(nat_best, timed(nat_func))
    return ref_best, nat_best


def workloads(mod, args, logfile):
    rs = build_job(mod, args.tasks, args.sections, logfile)
    nodes = all_nodes(rs)
    deep = deepest_nodes(rs)

    def paths():
        for _ in range(10):
            for node in deep:
                node.fullid
                node.idlist

    def to_dicts():
        for node in nodes:
            node.to_dict()

    return [
        ("build+stop job", lambda: build_job(mod, args.tasks, args.sections, logfile)),
        ("build+stop job, framework stubbed", lambda: stubbed_job(mod, args, logfile)),
        ("build+stop job, framework stubbed in C", lambda: stubbed_job(mod, args, logfile, C_STUBBED_GLOBALS)),
        ("fullid+idlist x10 (%d deep nodes)" % len(deep), paths),
        ("to_dict (%d nodes)" % len(nodes), to_dicts),
        ("dump_json", rs.dump_json),
        ("dump_yaml", rs.dump_yaml),
    ]


# Single node operations: the job workload above spends much of its time in the
# framework's plain-Python parts, which both sides share.
OPERATIONS = [
    ("ReportObjectBase()", "mod.ReportObjectBase('x', 1)"),
    ("Section()", "mod.Section(id='x', seq_num=1)"),
    ("start()", "section.start()"),
    ("update({...})", "section.update({'description': 'd', 'custom': 1})"),
    ("add_detail()", "base.add_detail(1); base.details.clear()"),
    ("fullid", "section.fullid"),
    ("to_dict()", "section.to_dict()"),
]


def operation_rows(repeat, number=20000):
    rows = []
    for name, statement in OPERATIONS:
        timers = []
        for mod in (reference, native):
            task = mod.Task(id="t", seq_num=1)
            scope = {"mod": mod, "section": task.add_section(id="s", seq_num=1),
                     "base": mod.ReportObjectBase("b", 1)}
            timers.append(timeit.Timer(statement, globals=scope).timeit)
        ref_time, nat_time = best_of_both(repeat, lambda: timers[0](number), lambda: timers[1](number))
        rows.append((name, ref_time / number * 1e6, nat_time / number * 1e6))
    return rows


def json_against_plain(args, logfile):
    """The native dump_json of a whole job against json.dumps of its plain-data twin."""
    rs = build_job(native, args.tasks, args.sections, logfile)
    text = rs.dump_json()
    plain = json.loads(text)
    assert json.dumps(plain) == text
    return ("whole job",) + best_of_both(args.repeat, lambda: json.dumps(plain), rs.dump_json)


def print_table(title, unit, rows, sides=("reference", "native")):
    print(title)
    width = max(len(r[0]) for r in rows)
    print("%-*s  %12s  %12s  %8s" % (width, "", sides[0] + " " + unit, sides[1] + " " + unit, "ratio"))
    for name, ref_time, nat_time in rows:
        ratio = ref_time / nat_time if nat_time else float("inf")
        print("%-*s  %12.6f  %12.6f  %7.2fx" % (width, name, ref_time, nat_time, ratio))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=20)
    parser.add_argument("--sections", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        logfile = os.path.join(tmp, "job.log")
        with open(logfile, "w") as handle:
            handle.write("log line\n" * 100)
        ref = workloads(reference, args, logfile)
        nat = workloads(native, args, logfile)
        rows = []
        for (name, ref_func), (_, nat_func) in zip(ref, nat):
            rows.append((name,) + best_of_both(args.repeat, ref_func, nat_func))
        plain_rows = [json_against_plain(args, logfile)]

    print("native:    %s" % native.__file__)
    print("reference: %s" % reference.__file__)
    print("python %s, tasks=%d sections=%d repeat=%d (best of repeat, GC off while timed)"
          % (sys.version.split()[0], args.tasks, args.sections, args.repeat))
    print_table("workload", "s", rows)
    print()
    print_table("dump_json against json.dumps of the same document as plain data",
                "s", plain_rows, ("json.dumps", "dump_json"))
    print()
    print_table("operation", "us", operation_rows(args.repeat))


if __name__ == "__main__":
    main()
