"""Instruction counts (callgrind) of single operations, native against reference.

Each figure is the Ir of a run doing the statement 2N times less that of a run
doing it N times, divided by N: start-up cancels out, the statement's own loop
(a call of a small Python function) stays in on both sides. String hashing is
seeded alike in every run (--hash-seed), so that dict and cache layouts, and
with them the counts, repeat from run to run (unseeded they moved by 10-15%).

    python bench/callgrind_ops.py [--number N] [--hash-seed S] [STATEMENT ...]

Without statements, the explorer's and runset's single operations of
bench_explorer.py and bench_runset.py. Needs valgrind.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))

SETUP = """
import sys
sys.path.insert(0, %(bench)r)
import bench_paths  # noqa: F401
import bench_explorer
import kovra.reporter.explorer as native_explorer
import kovra.reporter.runset as native_runset
from reference import explorer as reference_explorer, runset as reference_runset
native = sys.argv[1] == "native"
exp = native_explorer if native else reference_explorer
mod = native_runset if native else reference_runset
client = bench_explorer.Client(bench_explorer.stored_job(3, 3))
node = exp.Explorer(client, ["task0", "sec0", "step1"])
seq = exp.Explorer(client, ["task0", "sec0"]).sections
base = mod.ReportObjectBase("b", 1)
task = mod.RunSet(id="r", seq_num=0).add_task(id="t", seq_num=1)
section = task.add_section(id="s", seq_num=1).add_section(id="st", seq_num=1)
import gc
gc.disable()
def op():
    %(statement)s
for _ in range(50):
    op()
for _ in range(%(times)d):
    op()
"""

STATEMENTS = [
    "exp.Explorer(client, ['task0', 'sec0'])",
    "node.description",
    "node['id']",
    "seq[1]",
    "mod.ReportObjectBase('x', 1)",
    "mod.Section(id='x', seq_num=1)",
    "base.add_detail(1); base.details.clear()",
    "section.fullid",
]


def count(side, statement, times, seed):
    code = SETUP % {"bench": BENCH_DIR, "statement": statement, "times": times}
    env = dict(os.environ, PYTHONHASHSEED=str(seed))
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable,
                               "-c", code, side], capture_output=True, text=True, env=env)
        if proc.returncode:
            sys.exit(proc.stderr[-2000:])
        return int(re.search(r"Collected : (\d+)", proc.stderr).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=2000)
    parser.add_argument("--hash-seed", type=int, default=0)
    parser.add_argument("statements", nargs="*", default=STATEMENTS)
    args = parser.parse_args()
    print("python %s: callgrind Ir per operation (N=%d, PYTHONHASHSEED=%d)"
          % (sys.version.split()[0], args.number, args.hash_seed))
    print("%-42s %10s %10s %8s" % ("operation", "reference", "native", "ratio"))
    for statement in args.statements:
        ref, nat = ((count(side, statement, 2 * args.number, args.hash_seed)
                     - count(side, statement, args.number, args.hash_seed)) / args.number
                    for side in ("reference", "native"))
        print("%-42s %10.0f %10.0f %7.2fx" % (statement, ref, nat, ref / nat), flush=True)


if __name__ == "__main__":
    main()
