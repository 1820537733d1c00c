"""The main job: one whole job's report, driven the way the framework drives it.

A run set is started, tasks run with their own log files, each task's sections
nest and report results and health data, plugins run at job and task level,
everything stops, and the report is stored as results.yaml and results.json in
an output folder, with the legacy ResultsDetails.xml and ResultsSummary.xml
beside them and the tasks' log files. The stored report is then read back
through the explorer (served by the stand-in reporter client) and printed as a
tree; the job ends with the commands that look at what it wrote and the name
of the output folder.

    tools/job [--out DIR] [--tasks N] [--sections N] [--installed]
"""
import argparse
import json
import os
import sys
import tempfile


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", help="output folder (default: a new temporary folder)")
    parser.add_argument("--tasks", type=int, default=3)
    parser.add_argument("--sections", type=int, default=4)
    parser.add_argument("--installed", action="store_true",
                        help="import kovra from the installed packages, not from this checkout")
    return parser.parse_args(argv)


# Options come first, so that --help answers before anything is imported.
ARGS = parse_args() if __name__ == "__main__" else None
if not (ARGS and ARGS.installed):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from kovra.reporter import yaml_load  # noqa: E402

from kovra.reporter import runset  # noqa: E402
from kovra.reporter.ledgrin import Ledgrin  # noqa: E402
from kovra.reporter.explorer import Explorer  # noqa: E402
from kovra.reporter_client import ReporterClient  # noqa: E402
from kovra.results import Failed, Passed, Passx, Skipped  # noqa: E402

# A result pattern that exercises every roll-up path without being random.
RESULTS = [Passed, Passed, Failed, Passx, Skipped]


def log(path, text):
    with open(path, "a") as stream:
        stream.write(text + "\n")


def nest_steps(parent, logfile, depth):
    """Steps inside steps, `depth` levels down."""
    for level in range(depth):
        step = parent.add_section(id="substep%d" % level, seq_num=0, type="Step")
        step.start(logfile=logfile, description="level %d" % level)
        step.update_extra({"index": level, "continue_": True})
        log(logfile, "substep %s" % step.fullid)
        parent = step
    while parent is not None and depth > 0:
        parent.stop(result=Passed)
        parent = parent._parent
        depth -= 1


def run_task(job, index, sections, logdir):
    logfile = os.path.join(logdir, "task%d.log" % index)
    # A fresh log: an earlier run into the same folder must not shift the stretches.
    open(logfile, "w").close()
    log(logfile, "task %d starting" % index)
    task = job.add_task(id="task%d" % index, seq_num=index)
    task.start(logfile=logfile, testscript="scripts/task%d.py" % index, description="Script run %d" % index,
               parameters={"loops": index})
    # Captured device consoles carry terminal control characters.
    task.add_detail("console: \x1b[32mready\x1b[0m\x0c")

    setup = task.add_section(id="common_setup", seq_num=0, type="CommonSetup")
    setup.start(logfile=logfile)
    connect = setup.add_section(id="connect", seq_num=0, type="Subsection")
    connect.start(logfile=logfile, name="connect to device")
    log(logfile, "connected")
    connect.stop(result=Passed)
    setup.stop(result=Passed)

    for number in range(sections):
        section = task.add_section(id="section%d" % number, seq_num=number + 1, type="Testcase")
        section.start(logfile=logfile, description="Checks of area %d\n  with trailing blanks   \n" % number)
        for step_number in range(2):
            step = section.add_section(id="step%d" % step_number, seq_num=step_number)
            step.start(logfile=logfile)
            log(logfile, "step %s" % step.fullid)
            step.update({"xref": {"file": "scripts/task%d.py" % index, "line": 10 + step_number}})
            step.add_detail("checked item %d" % step_number)
            if step_number == 0:
                nest_steps(step, logfile, depth=3)
            result = RESULTS[(index + number + step_number) % len(RESULTS)]
            if result == Failed:
                # A failure carries its reason; the log tells the story around it.
                result = Failed.clone()
                result.reason = "interface eth%d is down, expected up" % number
                log(logfile, "ERROR %s: show interface eth%d -> state down" % (step.fullid, number))
            health = [{"result": "passed"}] if step_number == 0 else [{"result": str(result)}]
            step.stop(result=result, health=health)
        section.stop()

    cleanup = task.add_section(id="common_cleanup", seq_num=sections + 1, type="CommonCleanup")
    cleanup.start(logfile=logfile)
    cleanup.stop(result=Passed)

    plugin = task.add_plugin(id="collector", seq_num=sections)
    plugin.start(logfile=logfile)
    log(logfile, "collected")
    plugin.stop()

    log(logfile, "task %d done" % index)
    task.stop()
    return task


def result_text(result):
    # A stored result is a mapping {"value": ..., "reason": ...}; roll-up nodes have none.
    if isinstance(result, dict):
        return result.get("value")
    return "-" if result is None else str(result)


def explored_tree(client):
    """Lines of the stored tree, each node fetched through an Explorer."""
    lines = []

    def visit(node, depth):
        lines.append("%s%s  %s  %s" % ("  " * depth, node.id, node.type, result_text(node.result)))
        # `tasks` exists on the run set only; elsewhere it reads as None from the mapping.
        for child in node.tasks or node.sections or ():
            visit(child, depth + 1)

    visit(Explorer(client), 0)
    return lines


def main(argv=None):
    args = ARGS if argv is None and ARGS else parse_args(argv)

    out = args.out or tempfile.mkdtemp(prefix="kovra-job-")
    os.makedirs(out, exist_ok=True)

    job = runset.RunSet(id="nightly", seq_num=0)
    job.start(job_type="regression", cli="run nightly", host="lab-host", user="tester", submitter="ci",
              release="1.0", testbed="lab-bed", image="image-1",
              vumb={"dnsname": "lab-host", "status": "complete", "cmd": "report"})

    setup = job.add_plugin(id="environment", seq_num=0)
    setup.start()
    setup.stop()

    for index in range(1, args.tasks + 1):
        # The task logs stay beside the stored report, where a reader of the
        # report finds the stretch each section wrote.
        run_task(job, index, args.sections, out)
    # One planned task never ran: the summary's weight shows it.
    job.stop(num_tasks=args.tasks + 1)

    yaml_text = job.dump_yaml()
    json_text = job.dump_json()

    # Both forms must read back to the same tree before they are stored.
    from_yaml = yaml_load.load(yaml_text)
    from_json = json.loads(json_text)
    assert from_yaml["version"] == from_json["version"] == runset.VERSION
    assert [t["id"] for t in from_yaml["report"]["tasks"]] == [t["id"] for t in from_json["report"]["tasks"]]

    with open(os.path.join(out, "results.yaml"), "w") as stream:
        stream.write(yaml_text)
    with open(os.path.join(out, "results.json"), "w") as stream:
        stream.write(json_text)
    # The legacy result files, beside the stored report.
    Ledgrin(out, job).generate_xml(None, None)

    summary = job.to_dict()
    print("job %s: %d tasks planned, %d run" % (summary["id"], summary["totaltasks"], len(job.tasks) - 1))
    print("summary: %s" % dict(job.summary.items()))
    print("total %d, success rate %.2f%% (weight %.2f)" % (job.summary.total, job.summary.success_rate,
                                                           job.summary.weight))
    print("plugins: %s" % dict(job.pluginsummary.items()))
    print("health: %s %s" % (job.health_result, dict(job.health_summary.items())))
    print("files: %s" % ", ".join(sorted(os.listdir(out))))

    tree = explored_tree(ReporterClient.from_file(os.path.join(out, "results.json")))
    assert tree == explored_tree(ReporterClient.from_file(os.path.join(out, "results.yaml")))
    print("stored report, read back through the explorer (id, type, result):")
    for line in tree:
        print("  " + line)
    for line in how_to_look(out):
        print(line)
    print("Report written to: %s" % out)
    return 0


def how_to_look(out):
    """The commands that look at what the job wrote, ready to paste."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    python = os.path.relpath(sys.executable, root) if sys.executable.startswith(root + os.sep) else sys.executable
    out = os.path.abspath(out)
    stored = os.path.join(out, "results.json")
    commands = [
        "show %s --failed" % stored,
        "summary %s" % stored,
        "junit %s -o %s" % (stored, os.path.join(out, "junit.xml")),
        "xml %s -o DIR" % os.path.join(out, "results.yaml"),
        "html %s -o %s" % (stored, os.path.join(out, "report.html")),
        "diff OTHER/results.json %s" % stored,
    ]
    return ["look at it from %s with:" % root] + ["  %s -m kovra.reporter %s" % (python, c) for c in commands]


if __name__ == "__main__":
    sys.exit(main())
