"""The main job: one whole job's report, driven the way the framework drives it.

A run set is started, tasks run with their own log files, each task's sections
nest and report results and health data, plugins run at job and task level,
everything stops, and the report is stored as results.yaml and results.json in
an output folder, with the legacy ResultsDetails.xml and ResultsSummary.xml
beside them and the tasks' log files. The stored report is then read back
through the explorer (served by the stand-in reporter client) and printed as a
tree. The job is then stored in a local reporter server on its embedded
default (an SQLite file under OUT/server): one is started on a free loopback
port, the job is sent, read back whole and its first task walked node by node
through the explorer over HTTP, both checked against the file, and the server
is stopped. The job ends with the commands
that look at what it wrote, the one that serves the stored jobs for browsing,
and the name of the output folder.

    tools/job [--out DIR] [--tasks N] [--sections N] [--tree {short,full}] [--installed]
              [--server-data DIR] [--no-server]
"""
import argparse
import datetime
import importlib.util
import json
import os
import secrets
import socket
import subprocess
import sys
import tempfile
import time


def count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a whole number" % text) from None
    if value < 0:
        raise argparse.ArgumentTypeError("%d is negative" % value)
    return value


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", metavar="DIR",
                        help="output folder, made if missing; files of the same names in it are replaced "
                             "(default: a new temporary folder)")
    parser.add_argument("--tasks", type=count, default=3, metavar="N",
                        help="tasks (script runs) that run; one more is planned and never runs (default: 3)")
    parser.add_argument("--sections", type=count, default=4, metavar="N",
                        help="test cases in each task, each with two steps (default: 4)")
    parser.add_argument("--tree", choices=("short", "full"), default="short",
                        help="the stored tree as printed: the tasks and the paths to failures (short, the default), "
                             "or every node (full)")
    parser.add_argument("--installed", action="store_true",
                        help="import kovra from the installed packages, not from this checkout")
    parser.add_argument("--server-data", metavar="DIR",
                        help="the local reporter server's folder, kept for browsing (default: OUT/server)")
    parser.add_argument("--no-server", action="store_true", help="do not store the job in a local reporter server")
    args = parser.parse_args(argv)
    if args.out and os.path.exists(args.out) and not os.path.isdir(args.out):
        parser.error("--out %s: not a folder" % args.out)
    return args


# Options come first, so that --help answers before anything is imported.
ARGS = parse_args() if __name__ == "__main__" else None
if not (ARGS and ARGS.installed):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from kovra.reporter import yaml_load  # noqa: E402

from kovra.reporter import runset, store, views  # noqa: E402
from kovra.reporter.ledgrin import Ledgrin  # noqa: E402
from kovra.reporter.explorer import Explorer  # noqa: E402
from kovra.reporter_client import ReporterClient, ServerClient  # noqa: E402
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


class TreeLine(str):
    """A printed line of the tree that knows whether the short tree keeps it."""

    def __new__(cls, text, short):
        line = super().__new__(cls, text)
        line.short = short
        return line


def explored_tree(client, tasks=None):
    """Lines of the stored tree, each node fetched through an Explorer (only the first `tasks` tasks if given)."""
    lines = []

    def visit(node, depth):
        # As stored: a node keeps only the keys it has values for.
        stored = {k: v for k, v in (("type", node.type), ("result", node.result), ("summary", node.summary))
                  if v is not None}
        state = views.state(stored)
        # Results roll up, so every node on the path to a failure fails too.
        short = depth <= 1 or views.is_failing(stored)
        lines.append(TreeLine("%s%s  %s  %s" % ("  " * depth, node.id, node.type, state or "-"), short))
        # `tasks` exists on the run set only; elsewhere it reads as None from the mapping.
        taken = 0
        for child in node.tasks or node.sections or ():
            if depth == 0 and tasks is not None and child.type == "Task":
                if taken == tasks:
                    continue
                taken += 1
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

    # The figures as `summary` prints them from the stored report, each named by what it counts.
    stored = store.read_document(os.path.join(out, "results.json"), progress=None)["report"]
    for line in views.summary_lines(stored):
        print(line)
    print("files: %s" % ", ".join(sorted(os.listdir(out))))

    tree = explored_tree(ReporterClient.from_file(os.path.join(out, "results.json")))
    assert tree == explored_tree(ReporterClient.from_file(os.path.join(out, "results.yaml")))
    for line in tree_lines(tree, args.tree):
        print(line)
    if not args.no_server:
        data = os.path.abspath(args.server_data or os.path.join(out, "server"))
        key = "nightly-" + datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        with LocalServer(data) as server:
            with ServerClient(server.url, key, token=server.token, timeout=60) as client:
                row = client.send(job, state="finished")
                # The whole job in one request; node by node (a request each) for the first task only,
                # which keeps a large job's check to seconds.
                whole = explored_tree(ReporterClient(client.get_report().decode("utf-8")))
                walked = explored_tree(client, tasks=1)
        assert whole == tree, "the job read back from the server differs from the stored file"
        assert walked == explored_tree(ReporterClient.from_file(os.path.join(out, "results.json")), tasks=1), \
            "the first task walked on the server differs from the stored file"
        print("stored in a local reporter server as job %s (snapshot %d, %d nodes), read back whole: the same %d "
              "nodes; the first task read back through the explorer over HTTP, node by node: the same %d nodes"
              % (key, row["snapshot"], row["nodes"], len(whole), len(walked)))
        print("browse the stored jobs (http://127.0.0.1:%d) with:" % LocalServer.BROWSE_PORT)
        print("  " + server.command)
    for line in how_to_look(out):
        print(line)
    print("Report written to: %s" % out)
    return 0


def tree_lines(tree, form):
    """The tree as printed: whole, or the run set, its tasks and the paths to failures with a count of the rest."""
    if form == "full":
        return ["stored report, read back through the explorer (id, type, result):"] + ["  " + line for line in tree]
    shown = [line for line in tree if line.short]
    lines = ["stored report, read back through the explorer (id, type, result; the tasks and the paths to "
             "failures):"] + ["  " + line for line in shown]
    if len(shown) < len(tree):
        lines.append("  ... %d of %d nodes not shown (--tree full prints them all)" % (len(tree) - len(shown),
                                                                                       len(tree)))
    return lines


def server_python():
    """The interpreter that runs the server: Debian's, whose packages it is built on, else this one."""
    wanted = ("starlette", "uvicorn", "sqlalchemy", "alembic")
    if os.path.exists("/usr/bin/python3"):
        return "/usr/bin/python3"
    if all(importlib.util.find_spec(name) for name in wanted):
        return sys.executable
    raise SystemExit("main job: no interpreter here runs the reporter server (it needs %s); "
                     "tools/setup installs them for /usr/bin/python3, or use --no-server" % ", ".join(wanted))


class LocalServer:
    """The reporter server on a free loopback port, for the length of a with block; always stopped."""

    BROWSE_PORT = 8765
    START_TIMEOUT = 60

    def __init__(self, data):
        import kovra.reporter
        self.data = data
        # The folder holding `kovra` as this process imports it: the server imports the same.
        self.kovra_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
            kovra.reporter.__file__))))
        self.python = server_python()
        os.makedirs(data, exist_ok=True)
        self.token_file = os.path.join(data, "token")
        if not os.path.exists(self.token_file):
            handle = os.open(self.token_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(handle, "w") as stream:
                stream.write(secrets.token_urlsafe(32) + "\n")
        with open(self.token_file) as stream:
            self.token = stream.readline().strip()
        self.process = None
        python = os.path.relpath(self.python, ROOT) if self.python.startswith(ROOT + os.sep) else self.python
        self.command = "%s%s -m kovra.reporter serve --data %s" % (
            "PYTHONPATH=%s " % self.kovra_root, python, data)

    def __enter__(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        self.url = "http://127.0.0.1:%d" % port
        env = {k: v for k, v in os.environ.items() if not k.startswith(("ASAN_", "UBSAN_", "LD_PRELOAD",
                                                                         "PYTHONMALLOC", "PYTHONHOME"))}
        env["PYTHONPATH"] = os.pathsep.join([self.kovra_root] + [p for p in env.get("PYTHONPATH", "").split(
            os.pathsep) if p])
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [self.python, "-m", "kovra.reporter", "serve", "--data", self.data, "--bind", "127.0.0.1:%d" % port],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT, env=env, cwd=self.data)
        deadline = time.monotonic() + self.START_TIMEOUT
        try:
            while True:
                if self.process.poll() is not None:
                    raise SystemExit("main job: the reporter server exited with status %d: %s"
                                     % (self.process.returncode, self._output()))
                try:
                    with socket.create_connection(("127.0.0.1", port), timeout=1):
                        return self
                except OSError:
                    if time.monotonic() > deadline:
                        raise SystemExit("main job: the reporter server did not listen within %ds: %s"
                                         % (self.START_TIMEOUT, self._output()))
                    time.sleep(0.05)
        except BaseException:
            self.__exit__()
            raise

    def _output(self):
        self.log.seek(0)
        return " ".join(self.log.read().decode("utf-8", "replace").split())[-1000:]

    def __exit__(self, *exc):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=15)
        self.log.close()


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def how_to_look(out):
    """The commands that look at what the job wrote, ready to paste."""
    root = ROOT
    python = os.path.relpath(sys.executable, root) if sys.executable.startswith(root + os.sep) else sys.executable
    out = os.path.abspath(out)
    stored = os.path.join(out, "results.json")
    commands = [
        "show %s --failed" % stored,
        "summary %s" % stored,
        "junit %s -o %s" % (stored, os.path.join(out, "junit.xml")),
        # The JSON form keeps texts exactly; the YAML form drops trailing blanks of multi-line texts.
        "xml %s -o DIR" % stored,
        "html %s -o %s" % (stored, os.path.join(out, "report.html")),
        "diff OTHER/results.json %s" % stored,
    ]
    return ["look at it from %s with:" % root] + ["  %s -m kovra.reporter %s" % (python, c) for c in commands]


if __name__ == "__main__":
    sys.exit(main())
