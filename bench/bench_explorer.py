"""Time the native kovra.reporter.explorer against the plain-Python reference.

A stored job (tasks of sections of two steps) is served by a client that
answers from prebuilt mappings, so that the explorer's own work shows, not the
server's: the walk makes an Explorer of every node by iterating its children
and reads a few of its entries as attributes and by key. Each figure is the
best of --repeat runs, the two sides alternating; ratio = reference / native
(above 1: native is faster). Nothing is asserted.

    python bench/bench_explorer.py [--tasks N --sections M --repeat R]
    python bench/bench_explorer.py --callgrind [--tasks N --sections M]

--callgrind gives instruction counts instead (callgrind Ir, valgrind needed):
the difference between a run walking the job six times and one walking it once,
divided by five (after one walk in both that warms the interpreter's caches).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import timeit

from bench_paths import BENCH_DIR, PACKAGE_ROOT, REPO_ROOT  # noqa: E402,F401

import kovra.reporter.explorer as native  # noqa: E402
from reference import explorer as reference  # noqa: E402
from bench_runset import best_of_both, print_table  # noqa: E402


class Client:
    """Answers from a dict of each node's mapping by its id path."""

    def __init__(self, nodes):
        self.nodes = nodes

    def get_runset(self):
        return self.nodes[()]

    def get_section(self, *, id_list):
        return self.nodes[tuple(id_list)]


def stored_job(num_tasks, num_sections):
    """Each node's mapping as the server gives it: children as their ids."""
    nodes = {(): {"id": "job", "type": "RunSet", "result": {"value": "passed"},
                  "tasks": ["task%d" % t for t in range(num_tasks)]}}
    for t in range(num_tasks):
        task = ("task%d" % t,)
        nodes[task] = {"id": task[-1], "type": "Task", "result": {"value": "failed"},
                       "sections": ["sec%d" % s for s in range(num_sections)]}
        for s in range(num_sections):
            section = task + ("sec%d" % s,)
            nodes[section] = {"id": section[-1], "type": "Testcase", "result": {"value": "passed"},
                              "sections": ["step1", "step2"]}
            for step in ("step1", "step2"):
                nodes[section + (step,)] = {"id": step, "type": "Step", "result": {"value": "passed"},
                                            "description": "a step"}
    return nodes


def walk(node):
    """Every node below and including `node`: reads id, type and result, then the children."""
    count = 1
    node.id
    node.type
    node["result"]
    children = node.tasks if node.type == "RunSet" else vars(node).get("sections")
    if children is not None:
        for child in children:
            count += walk(child)
    return count


def walk_count(args, side, times):
    """Ir of a child process walking the job `times` times with `side`'s Explorer."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable,
               os.path.abspath(__file__), "--child", side, str(times),
               "--tasks", str(args.tasks), "--sections", str(args.sections)]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode:
            sys.exit(proc.stderr[-2000:])
        return int(re.search(r"Collected : (\d+)", proc.stderr).group(1))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=20)
    parser.add_argument("--sections", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("--child", nargs=2)
    args = parser.parse_args(argv)
    client = Client(stored_job(args.tasks, args.sections))
    if args.child:
        mod = native if args.child[0] == "native" else reference
        walk(mod.Explorer(client))  # warm alike in both runs
        for _ in range(int(args.child[1])):
            walk(mod.Explorer(client))
        return
    if args.callgrind:
        print("python %s, tasks=%d sections=%d: callgrind Ir of one walk"
              % (sys.version.split()[0], args.tasks, args.sections))
        counts = [(walk_count(args, side, 6) - walk_count(args, side, 1)) / 5 for side in ("reference", "native")]
        print("walk: reference %.1f M, native %.1f M, ratio %.2fx"
              % (counts[0] / 1e6, counts[1] / 1e6, counts[0] / counts[1]))
        return
    counts = {walk(mod.Explorer(client)) for mod in (reference, native)}
    assert len(counts) == 1
    nodes = counts.pop()
    print("python %s, tasks=%d sections=%d repeat=%d (best of repeat, GC off while timed)"
          % (sys.version.split()[0], args.tasks, args.sections, args.repeat))
    ref, nat = best_of_both(args.repeat, lambda: walk(reference.Explorer(client)), lambda: walk(native.Explorer(client)))
    rows = [("walk (%d nodes)" % nodes, ref, nat)]
    ops = [
        ("Explorer(client, path)", "mod.Explorer(client, ['task0', 'sec0'])"),
        ("explorer.attribute", "node.description"),
        ("explorer[key]", "node['id']"),
        ("sections[i]", "seq[1]"),
        ("iterate 2 children", "for _ in seq: pass"),
    ]
    op_rows = []
    for name, statement in ops:
        timers = []
        for mod in (reference, native):
            node = mod.Explorer(client, ["task0", "sec0", "step1"])
            seq = mod.Explorer(client, ["task0", "sec0"]).sections
            timers.append(timeit.Timer(statement, globals={"mod": mod, "client": client, "node": node,
                                                           "seq": seq}).timeit)
        number = 20000
        r, n = best_of_both(args.repeat, lambda: timers[0](number), lambda: timers[1](number))
        op_rows.append((name, r / number * 1e6, n / number * 1e6))
    print_table("workload", "s", rows)
    print()
    print_table("operation", "us", op_rows)


if __name__ == "__main__":
    main()
