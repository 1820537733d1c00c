#!/usr/bin/env python3
"""Reference-leak check for a debug interpreter (one with sys.gettotalrefcount).

Runs each callable in the SCENARIOS list of every leak_scenarios*.py file
beside it (one per module under test) many times and reports a leak
when the total reference count, or the number of allocated memory blocks,
grows in every measured round. A single quiet round clears a scenario, so
one-off caching and allocator noise are tolerated.

    python3.11d tests/support/refleak.py [-k TEXT] [--warmup N] [--rounds N] [--calls N]
                                         [--scenarios FILE ...] [--list]

With --blocks-only it runs on a release interpreter too, watching the allocated
memory blocks alone: code that only an older interpreter runs (3.10, which has
no debug build here) is checked that way. A leaked reference keeps its object,
and so its block, alive; a leaked reference to an object that lives anyway is
seen by the debug run only.

Exit status: 0 clean, 1 leak or failing scenario, 2 not a debug interpreter.
"""
import argparse
import gc
import glob
import importlib
import itertools
import os
import sys
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS_DIR = os.path.dirname(HERE)
REPO_ROOT = os.path.dirname(TESTS_DIR)

WARMUP = 3
ROUNDS = 4
CALLS = 10


def scenario_name(func):
    return getattr(func, "__qualname__", None) or repr(func)


class Result:
    def __init__(self, name, ref_deltas, block_deltas):
        self.name = name
        self.ref_deltas = list(ref_deltas)
        self.block_deltas = list(block_deltas)

    @property
    def ref_leak(self):
        return _grows(self.ref_deltas)

    @property
    def block_leak(self):
        return _grows(self.block_deltas)

    @property
    def leaked(self):
        return self.ref_leak or self.block_leak

    def __repr__(self):
        return "Result(%r, refs=%r, blocks=%r)" % (self.name, self.ref_deltas, self.block_deltas)


def _grows(deltas):
    return bool(deltas) and all(d >= 1 for d in deltas)


def _no_refcount():
    return 0


def check(func, warmup=WARMUP, rounds=ROUNDS, calls=CALLS, blocks_only=False):
    """Calls func() calls times per round; returns the measured rounds' deltas.

    Exceptions raised by func propagate. With blocks_only the reference deltas
    are all 0.
    """
    if rounds < 1 or calls < 1 or warmup < 0:
        raise ValueError("need rounds >= 1, calls >= 1, warmup >= 0")
    totalrefs = _no_refcount if blocks_only else sys.gettotalrefcount
    blocks = sys.getallocatedblocks
    # 3.14 warns on every call of _clear_type_cache (deprecated for
    # _clear_internal_caches since 3.13): a warning recorded inside a window, as
    # pytest records them, would read as blocks leaked by the scenario.
    clear_type_cache = (getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache", None)
                        or (lambda: None))
    collect = gc.collect
    repeat = itertools.repeat
    ref_deltas = [0] * rounds
    block_deltas = [0] * rounds
    # Bound before the first window so every window starts from the same state:
    # inside a window, each of these is only swapped for another int.
    r0 = r1 = b0 = b1 = -1
    for i in range(warmup + rounds):
        clear_type_cache()
        collect()
        r0 = totalrefs()
        b0 = blocks()
        for _ in repeat(None, calls):
            func()
        clear_type_cache()
        collect()
        b1 = blocks()
        r1 = totalrefs()
        # Stored outside the window, so the bookkeeping is not measured.
        if i >= warmup:
            ref_deltas[i - warmup] = r1 - r0
            block_deltas[i - warmup] = b1 - b0
    return Result(scenario_name(func), ref_deltas, block_deltas)


def load_scenarios(path):
    path = os.path.abspath(path)
    sys.path.insert(0, os.path.dirname(path))
    module = importlib.import_module(os.path.splitext(os.path.basename(path))[0])
    return list(module.SCENARIOS)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Reference-leak check (debug interpreter only).")
    ap.add_argument("--scenarios", action="append", default=None,
                    help="file defining SCENARIOS; repeatable (default: leak_scenarios*.py beside this file)")
    ap.add_argument("-k", dest="match", default=None, help="only scenarios whose name contains TEXT")
    ap.add_argument("--warmup", type=int, default=WARMUP)
    ap.add_argument("--rounds", type=int, default=ROUNDS)
    ap.add_argument("--calls", type=int, default=CALLS)
    ap.add_argument("--list", action="store_true", help="list scenario names and exit")
    ap.add_argument("--blocks-only", action="store_true",
                    help="watch allocated memory blocks alone (any interpreter, debug or not)")
    args = ap.parse_args(argv)

    if args.blocks_only and sys.getallocatedblocks() == 0:
        # Under another allocator (PYTHONMALLOC=malloc) no block is counted: every
        # scenario would pass unmeasured.
        print("refleak: %s counts no memory blocks here (PYTHONMALLOC=%s); --blocks-only has nothing "
              "to watch" % (sys.executable, os.environ.get("PYTHONMALLOC", "")), file=sys.stderr)
        return 2
    if not args.blocks_only and not hasattr(sys, "gettotalrefcount"):
        print("refleak: %s is not a debug interpreter (no sys.gettotalrefcount); "
              "run this with python3.11d, or pass --blocks-only" % sys.executable, file=sys.stderr)
        return 2

    # Same package choice as tests/conftest.py.
    root = os.path.abspath(os.environ.get("KOVRA_PACKAGE_ROOT") or REPO_ROOT)
    sys.path.insert(0, root)
    # Scenarios import the other test helpers as the tests do (support.*).
    sys.path.insert(1, TESTS_DIR)

    files = args.scenarios or sorted(glob.glob(os.path.join(HERE, "leak_scenarios*.py")))
    scenarios = []
    for path in files:
        try:
            scenarios.extend(load_scenarios(path))
        except Exception:
            traceback.print_exc()
            print("refleak: could not load scenarios from %s" % path, file=sys.stderr)
            return 1
    if args.match:
        scenarios = [s for s in scenarios if args.match in scenario_name(s)]
    if not scenarios:
        print("refleak: no scenarios to run", file=sys.stderr)
        return 1
    if args.list:
        for s in scenarios:
            print(scenario_name(s))
        return 0

    passed = failed = 0
    for func in scenarios:
        name = scenario_name(func)
        try:
            # A scenario whose caches fill slowly says how long it needs (its `warmup`).
            res = check(func, warmup=max(args.warmup, getattr(func, "warmup", 0)), rounds=args.rounds,
                        calls=args.calls, blocks_only=args.blocks_only)
        except Exception:
            failed += 1
            print("ERROR %s: raised" % name)
            traceback.print_exc(file=sys.stdout)
            continue
        what = [w for w, bad in (("references", res.ref_leak), ("memory blocks", res.block_leak)) if bad]
        status = "LEAK  " if what else "ok    "
        print("%s%s: refs %s blocks %s%s" % (status, name, res.ref_deltas, res.block_deltas,
                                            "  (growing: %s)" % ", ".join(what) if what else ""))
        sys.stdout.flush()
        if what:
            failed += 1
        else:
            passed += 1
    print("refleak: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
