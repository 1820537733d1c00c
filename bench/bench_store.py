"""Time reading a stored report: the YAML readers side by side, and the JSON form.

The main job (tools/main_job.py, --tasks and --sections as given; 40 by 40
stores a 10.7 MB results.yaml) runs once in a fresh interpreter and is timed
whole. Its two stored files are then read in this process, each figure the
best of --repeat runs (the pure-Python loader --pure-repeat times, 0 to skip
it):

- bare parses: json.loads of results.json; the native reader
  (kovra.reporter._yaml), libyaml's CSafeLoader where PyYAML has it, and
  PyYAML's pure SafeLoader on results.yaml; each YAML result is checked equal
  to the native reader's;
- store.read_document (plain data) and store.load (the report nodes) of each
  form, and the YAML/JSON ratio of each.

Nothing is asserted beyond the equal results.

    python bench/bench_store.py [--tasks 40 --sections 40 --repeat 3 --pure-repeat 1]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

from bench_paths import BENCH_DIR, PACKAGE_ROOT, REPO_ROOT  # noqa: E402,F401

import yaml  # noqa: E402

from kovra.reporter import _yaml, store  # noqa: E402


def best(repeat, func):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
    return min(times)


def read(path):
    with open(path, "rb") as stream:
        return stream.read()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=40)
    parser.add_argument("--sections", type=int, default=40)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--pure-repeat", type=int, default=1)
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        subprocess.run([sys.executable, os.path.join(REPO_ROOT, "tools", "main_job.py"), "--out", folder,
                        "--tasks", str(args.tasks), "--sections", str(args.sections)],
                       check=True, stdout=subprocess.DEVNULL)
        job_seconds = time.perf_counter() - start
        paths = {form: os.path.join(folder, "results." + form) for form in ("json", "yaml")}

        print("python %s, main job --tasks %d --sections %d: %.2f s; results.yaml %.2f MB, results.json %.2f MB"
              % (sys.version.split()[0], args.tasks, args.sections, job_seconds,
                 os.path.getsize(paths["yaml"]) / 1e6, os.path.getsize(paths["json"]) / 1e6))
        native_result = _yaml.load(read(paths["yaml"]))
        parses = [("native _yaml.load", args.repeat, lambda: _yaml.load(read(paths["yaml"]))),
                  ("json.loads (results.json)", args.repeat, lambda: json.loads(read(paths["json"]).decode("utf-8")))]
        if getattr(yaml, "CSafeLoader", None) is not None:
            parses.append(("yaml CSafeLoader", args.repeat, lambda: yaml.load(read(paths["yaml"]), Loader=yaml.CSafeLoader)))
        if args.pure_repeat:
            parses.append(("yaml SafeLoader (pure)", args.pure_repeat,
                           lambda: yaml.load(read(paths["yaml"]), Loader=yaml.SafeLoader)))
        print("%-28s %10s  %12s" % ("bare parse", "s", "/ native"))
        native = None
        for label, repeat, parse in parses:
            seconds = best(repeat, parse)
            native = native or seconds
            if label.startswith("yaml"):
                assert parse() == native_result, label
            print("%-28s %10.4f  %11.2fx" % (label, seconds, seconds / native))

        print("%-28s %10s  %10s  %8s" % ("store", "json s", "yaml s", "yaml/json"))
        for name in ("read_document", "load"):
            call = getattr(store, name)
            figures = [best(args.repeat, lambda: call(paths[form], progress=None)) for form in ("json", "yaml")]
            print("%-28s %10.4f  %10.4f  %7.2fx" % (name, figures[0], figures[1], figures[1] / figures[0]))


if __name__ == "__main__":
    main()
