"""Time loading a stored report against the bare parse of its file.

A job is built and dumped in both forms; each figure is the best of --repeat
runs. The ratio is load / bare parse: what rebuilding the report nodes (or
checking the plain document) costs on top of reading the text. Nothing is
asserted.

    python bench/bench_store.py [--tasks N --sections M --repeat R]
"""
import argparse
import json
import os
import sys
import tempfile
import time

from bench_paths import BENCH_DIR, PACKAGE_ROOT, REPO_ROOT  # noqa: E402,F401

import yaml  # noqa: E402

import kovra.reporter.runset as runset  # noqa: E402
from bench_runset import build_job  # noqa: E402
from kovra.reporter import store  # noqa: E402


def best(repeat, func):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
    return min(times)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=20)
    parser.add_argument("--sections", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    loader = getattr(yaml, "CSafeLoader", None) or yaml.SafeLoader
    with tempfile.TemporaryDirectory() as folder:
        logfile = os.path.join(folder, "job.log")
        open(logfile, "w").close()
        job = build_job(runset, args.tasks, args.sections, logfile)
        paths = {}
        for form, text in (("json", job.dump_json()), ("yaml", job.dump_yaml())):
            paths[form] = os.path.join(folder, "results." + form)
            with open(paths[form], "w") as stream:
                stream.write(text)

        def parse_json():
            with open(paths["json"], "rb") as stream:
                json.loads(stream.read().decode("utf-8"))

        def parse_yaml():
            with open(paths["yaml"], "rb") as stream:
                yaml.load(stream, Loader=loader)

        print("python %s, tasks=%d sections=%d repeat=%d, YAML loader %s"
              % (sys.version.split()[0], args.tasks, args.sections, args.repeat, loader.__name__))
        print("%-6s %9s  %12s  %14s  %8s  %10s  %8s" % ("form", "MB", "bare parse s", "read_document s",
                                                       "ratio", "load s", "ratio"))
        for form, parse in (("json", parse_json), ("yaml", parse_yaml)):
            size = os.path.getsize(paths[form]) / 1e6
            bare = best(args.repeat, parse)
            plain = best(args.repeat, lambda: store.read_document(paths[form], progress=None))
            nodes = best(args.repeat, lambda: store.load(paths[form], progress=None))
            print("%-6s %9.2f  %12.4f  %14.4f  %7.2fx  %10.4f  %7.2fx"
                  % (form, size, bare, plain, plain / bare, nodes, nodes / bare))


if __name__ == "__main__":
    main()
