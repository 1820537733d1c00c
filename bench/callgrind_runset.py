"""Instruction counts (callgrind) of one job's work, native against reference.

Each figure is the difference between two callgrind runs of the same script
that do the work once and twice, so start-up and imports cancel out:

    python bench/callgrind_runset.py [--tasks N --sections M] [--only NAME ...] [--hash-seed S]

Workloads: the job's lifecycle (build+stop) unstubbed, with the framework
stubbed alike on both sides, and with it stubbed by C callables alone; to_dict
of every node, dump_json of the whole job, and json.dumps of the same document
as plain data. String hashing is seeded alike in every run (--hash-seed), and
the dumped job is built on a clock that steps alike in every run, so that dict
and cache layouts, the dumped texts, and the counts with them, repeat. Needs
valgrind.
"""

import argparse
import datetime
import itertools
import os
import re
import subprocess
import sys
import tempfile

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
WORKLOADS = ("lifecycle", "lifecycle-stubbed", "lifecycle-stubbed-c", "to_dict", "dump_json", "dump_yaml",
             "plain-json.dumps")


def run_once(args, mod, workload, times, logfile):
    """Runs this script as the workload child under callgrind; returns Ir."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
               sys.executable, os.path.abspath(__file__), "--child", mod, workload, str(times),
               "--tasks", str(args.tasks), "--sections", str(args.sections), "--logfile", logfile]
        env = dict(os.environ, PYTHONHASHSEED=str(args.hash_seed))
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
        if proc.returncode:
            sys.exit(proc.stderr[-2000:])
        match = re.search(r"Collected : (\d+)", proc.stderr)
        return int(match.group(1))


def stepping_clock():
    """get_time's stand-in: 2026-01-01 12:00, then 1.234567 s later at every call."""
    ticks = itertools.count()
    start = datetime.datetime(2026, 1, 1, 12)
    return lambda: start + datetime.timedelta(microseconds=1234567 * next(ticks))


def child(mod_name, workload, times, args):
    sys.path.insert(0, BENCH_DIR)
    os.environ.setdefault("KOVRA_PACKAGE_ROOT", os.path.dirname(BENCH_DIR))
    import bench_runset as bench  # noqa: E402 (puts the package root first on sys.path)
    import json
    mod = bench.native if mod_name == "native" else bench.reference
    if workload == "lifecycle":
        work = lambda: bench.build_job(mod, args.tasks, args.sections, args.logfile)  # noqa: E731
    elif workload == "lifecycle-stubbed":
        work = lambda: bench.stubbed_job(mod, args, args.logfile)  # noqa: E731
    elif workload == "lifecycle-stubbed-c":
        work = lambda: bench.stubbed_job(mod, args, args.logfile, bench.C_STUBBED_GLOBALS)  # noqa: E731
    else:
        # Built on a clock that gives the same times in every run: the times'
        # texts are dumped, and with the wall clock their lengths (and float
        # digits) moved the counts by up to 3% from run to run.
        with bench.stubbed(mod, {"get_time": stepping_clock()}):
            rs = bench.build_job(mod, args.tasks, args.sections, args.logfile)
        nodes = bench.all_nodes(rs)
        if workload == "to_dict":
            def work():
                for node in nodes:
                    node.to_dict()
        elif workload == "dump_json":
            work = rs.dump_json
        elif workload == "dump_yaml":
            work = rs.dump_yaml
        else:
            plain = json.loads(rs.dump_json())
            work = lambda: json.dumps(plain)  # noqa: E731
        work()  # warm caches and lazily made objects alike in both runs
    import gc
    gc.disable()
    # Through reduce, so that a profile can be limited to the work alone:
    # valgrind --tool=callgrind --collect-atstart=no --toggle-collect=functools_reduce
    import functools
    functools.reduce(lambda _, __: work(), range(times), None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=20)
    parser.add_argument("--sections", type=int, default=20)
    parser.add_argument("--only", nargs="*", default=list(WORKLOADS))
    parser.add_argument("--hash-seed", type=int, default=0)
    parser.add_argument("--child", nargs=3)
    parser.add_argument("--logfile")
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]), args)
        return
    with tempfile.TemporaryDirectory() as tmp:
        logfile = os.path.join(tmp, "job.log")
        with open(logfile, "w") as handle:
            handle.write("log line\n" * 100)
        print("python %s, tasks=%d sections=%d, hash seed %d: instructions of one run (callgrind Ir)"
              % (sys.version.split()[0], args.tasks, args.sections, args.hash_seed))
        print("%-20s %16s %16s %8s" % ("workload", "reference", "native", "ratio"))
        for workload in args.only:
            counts = []
            for mod in ("reference", "native"):
                if workload == "plain-json.dumps" and mod == "reference":
                    counts.append(None)
                    continue
                counts.append(run_once(args, mod, workload, 2, logfile) - run_once(args, mod, workload, 1, logfile))
            ref, nat = counts
            if ref is None:
                print("%-20s %16s %16d" % (workload, "-", nat))
            else:
                print("%-20s %16d %16d %7.2fx" % (workload, ref, nat, ref / nat))


if __name__ == "__main__":
    main()
