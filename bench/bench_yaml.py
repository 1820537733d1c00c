"""Time dump_yaml's fast road against the generic road and against json.dumps.

For each job size (number of sections; every section holds two steps) one
report is built, then timed side by side in one process:

- generic: yaml.dump(header, Dumper=YAMLDumper, default_flow_style=False),
  PyYAML's pure-Python representer, serializer and emitter (YAMLDumper derives
  from SafeDumper, which never uses the C emitter, on every interpreter);
- native:  rs.dump_yaml(), which takes the fast road;
- json:    json.dumps of the same document as plain data (json.loads of the
  report's own dump_json), the standard library's C encoder.

The texts of generic and native are checked to be identical. Peak memory of
the native dump beyond the report is measured apart, under tracemalloc, and
set against the size of the text. Nothing is asserted.

    python bench/bench_yaml.py [--sizes 1500,6000,24000 --repeat R --generic-repeat G]
"""

import argparse
import gc
import json
import os
import sys
import tempfile
import time
import tracemalloc

from bench_paths import BENCH_DIR, PACKAGE_ROOT, REPO_ROOT  # noqa: E402,F401

import yaml  # noqa: E402

import kovra.reporter.runset as native  # noqa: E402
from bench_runset import build_job  # noqa: E402

SECTIONS_PER_TASK = 100


def timed(func):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = func()
        return time.perf_counter() - start, result
    finally:
        gc.enable()


def best(repeat, func):
    times = []
    result = None
    for _ in range(repeat):
        elapsed, result = timed(func)
        times.append(elapsed)
    return min(times), result


def best_of_both(repeat, first, second):
    """Best times of the two, runs alternating so both see the same machine state."""
    first_best = second_best = float("inf")
    first_result = second_result = None
    for _ in range(repeat):
        elapsed, first_result = timed(first)
        first_best = min(first_best, elapsed)
        elapsed, second_result = timed(second)
        second_best = min(second_best, elapsed)
    return (first_best, first_result), (second_best, second_result)


def peak_beyond(func):
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = func()
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    return peak, result


def measure(sections, args, logfile):
    tasks = max(1, sections // SECTIONS_PER_TASK)
    rs = build_job(native, tasks, sections // tasks, logfile)
    document = native.ReportHeader(rs).as_dict()
    plain = json.loads(rs.dump_json())

    def generic():
        return yaml.dump(document, Dumper=native.YAMLDumper, default_flow_style=False)

    (nat_time, nat_text), (json_time, _) = best_of_both(args.repeat, rs.dump_yaml, lambda: json.dumps(plain))
    gen_time, gen_text = best(args.generic_repeat, generic)
    peak, peak_text = peak_beyond(rs.dump_yaml)
    assert nat_text == gen_text == peak_text, "texts differ"
    return {
        "sections": tasks * (sections // tasks), "chars": len(nat_text), "generic": gen_time, "native": nat_time,
        "json": json_time, "peak": peak,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1500,6000,24000")
    parser.add_argument("--repeat", type=int, default=7,
                        help="runs of the native and json dumps, alternating (best kept)")
    parser.add_argument("--generic-repeat", type=int, default=1, help="runs of the generic dump (best kept)")
    args = parser.parse_args(argv)

    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        logfile = os.path.join(tmp, "job.log")
        with open(logfile, "w") as handle:
            handle.write("log line\n" * 100)
        for size in (int(s) for s in args.sizes.split(",")):
            rows.append(measure(size, args, logfile))

    print("native: %s" % native.__file__)
    print("python %s, yaml %s; best of %d (native, json) and %d (generic), GC off while timed"
          % (sys.version.split()[0], yaml.__version__, args.repeat, args.generic_repeat))
    print("%8s %10s %10s %9s %8s %9s %9s %10s %6s" % ("sections", "text MB", "generic s", "native s", "speedup",
                                                       "json s", "nat/json", "peak MB", "peak/text"))
    for r in rows:
        print("%8d %10.2f %10.3f %9.4f %7.1fx %9.4f %8.2fx %10.2f %6.2fx" % (
            r["sections"], r["chars"] / 1e6, r["generic"], r["native"], r["generic"] / r["native"], r["json"],
            r["native"] / r["json"], r["peak"] / 1e6, r["peak"] / r["chars"]))


if __name__ == "__main__":
    main()
