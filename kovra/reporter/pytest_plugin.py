"""pytest sessions reported as jobs of this model, live:

    pytest -p kovra.reporter.pytest_plugin --kovra-url URL --kovra-job KEY [--kovra-out DIR]

The session is the `RunSet`, a test file a `Task` (with its log: the captured
output and failures of its tests), a test a "Testcase" section, and its
setup, call and teardown phases steps carrying their results. A failure in
the call is failed, in setup or teardown errored; a skip is skipped, an xfail
skipped with "xfail: REASON" as its reason, an xpass passed. The failure's
last line is the reason and the whole text is in the details.

Each task is sent as its file finishes (send_task), the whole job at the end,
and with --kovra-out also written there as results.json with the task logs.
A server that cannot be reached never fails the run: one warning, and the
files are written (to --kovra-out, else to ./kovra-out). Runs on 3.10 with
the standard library and the built modules; the write token comes from
$KOVRA_REPORTER_TOKEN.
"""
import os
import re
import sys

_STEP_RESULT = {"passed": "passed", "failed": "failed", "skipped": "skipped"}


def pytest_addoption(parser):
    group = parser.getgroup("kovra", "sending results to a kovra reporter server")
    group.addoption("--kovra-url", metavar="URL", help="the reporter server (http://HOST:PORT)")
    group.addoption("--kovra-job", metavar="KEY", help="the job's key on the server (default: pytest)")
    group.addoption("--kovra-out", metavar="DIR", help="also write results.json and the task logs here")
    group.addoption("--kovra-group", metavar="GROUP", help="the group the job joins (shards of one run)")


def pytest_configure(config):
    if config.getoption("kovra_url") or config.getoption("kovra_out"):
        # Workers of a distributed run report through their controller.
        if not hasattr(config, "workerinput"):
            config.pluginmanager.register(Reporter(config), "kovra-reporter")


def _safe_name(text):
    return re.sub(r"[^A-Za-z0-9._-]+", "_", text).strip("._") or "tests"


class Reporter:
    def __init__(self, config):
        from kovra.reporter import runset
        self.runset = runset
        self.config = config
        self.url = config.getoption("kovra_url")
        self.key = config.getoption("kovra_job") or "pytest"
        self.out = config.getoption("kovra_out")
        self.folder = os.path.abspath(self.out or "kovra-out")
        self.client = None
        self.down = False
        self.broken = False
        self.job = None
        self.tasks = {}
        self.sections = {}
        self.logs = {}

    # --- pytest's hooks: reporting never fails the run ------------------------------------------------------------

    def pytest_sessionstart(self, session):
        self._safely(self._on_sessionstart, session)

    def pytest_runtest_logreport(self, report):
        self._safely(self._on_runtest_logreport, report)

    def pytest_runtest_teardown(self, item, nextitem):
        self._safely(self._on_runtest_teardown, item, nextitem)

    def pytest_runtest_logfinish(self, nodeid, location):
        self._safely(self._on_runtest_logfinish, nodeid, location)

    def pytest_collectreport(self, report):
        self._safely(self._on_collectreport, report)

    def pytest_sessionfinish(self, session, exitstatus):
        self._safely(self._on_sessionfinish, session, exitstatus)

    def _safely(self, call, *args):
        if self.broken:
            return
        try:
            call(*args)
        except Exception as error:  # noqa: BLE001 - whatever it was, the tests' outcome stands
            # Said once; reporting stops.
            self.broken = True
            self._warn("%s: %s" % (type(error).__name__, error), "reporting stopped")

    # --- the job --------------------------------------------------------------------------------------------------

    def _on_sessionstart(self, session):
        os.makedirs(self.folder, exist_ok=True)
        self.job = self.runset.RunSet(id=self.key, seq_num=0)
        self.job.start(job_type="pytest", host=os.uname().nodename if hasattr(os, "uname") else None)
        if self.url:
            from kovra.reporter.client import ServerClient
            try:
                self.client = ServerClient(self.url, self.key, token=os.environ.get("KOVRA_REPORTER_TOKEN"),
                                           timeout=10, group=self.config.getoption("kovra_group"))
            except ValueError as error:
                self._warn(error)

    def _task(self, path):
        task = self.tasks.get(path)
        if task is None:
            log = os.path.join(self.folder, "%s.log" % _safe_name(path))
            open(log, "w").close()
            task = self.job.add_task(id=path, seq_num=len(self.tasks) + 1)
            task.start(logfile=log)
            self.tasks[path] = task
            self.logs[path] = log
        return task

    def _log(self, path, text):
        with open(self.logs[path], "a", encoding="utf-8", errors="replace") as stream:
            stream.write(text)

    def _on_runtest_logreport(self, report):
        path = report.location[0] if report.location else report.nodeid.split("::")[0]
        task = self._task(path)
        section = self.sections.get(report.nodeid)
        if section is None:
            name = report.nodeid[len(path) + 2:] if report.nodeid.startswith(path + "::") else report.nodeid
            section = task.add_section(id=name, seq_num=len(task.sections) + 1, type="Testcase")
            section.start(logfile=self.logs[path])
            self.sections[report.nodeid] = section
            section.worst = "passed"
            section.why = None
        xfail = getattr(report, "wasxfail", None)
        result = _STEP_RESULT.get(report.outcome, "errored")
        why = None
        if report.failed:
            result = "failed" if report.when == "call" else "errored"
            text = report.longreprtext or ""
            # The traceback's last line, the exception (its location line after it says less).
            crash = getattr(getattr(report.longrepr, "reprcrash", None), "message", None)
            lines = [line for line in (crash or text).splitlines() if line.strip()]
            why = (lines[0] if crash else lines[-1]).strip() if lines else result
            section.add_detail(text)
            self._log(path, "=== %s %s: %s ===\n%s\n" % (report.nodeid, report.when, result, text))
        elif report.skipped:
            if xfail is not None:
                why = "xfail: %s" % xfail if xfail else "xfail"
            else:
                longrepr = report.longrepr
                why = longrepr[2] if isinstance(longrepr, tuple) and len(longrepr) == 3 else "skipped"
        for title, content in report.sections:
            self._log(path, "--- %s %s ---\n%s\n" % (report.nodeid, title, content))
        step = section.add_section(id=report.when, seq_num=len(section.sections) + 1, type="Step")
        step.start()
        step.stop(result=self.runset.TestResult(result, reason=why))
        order = ("errored", "failed", "skipped", "passed")
        if order.index(result) < order.index(section.worst):
            section.worst, section.why = result, why
        if report.when == "teardown":
            section.stop(result=self.runset.TestResult(section.worst, reason=section.why))

    def _on_runtest_teardown(self, item, nextitem):
        # The file's task is complete when the next test is in another file, or there is none.
        self._finishing = (item.location[0], nextitem.location[0] if nextitem is not None else None)

    def _on_runtest_logfinish(self, nodeid, location):
        finishing = getattr(self, "_finishing", None)
        if finishing is None or finishing[0] == finishing[1] or finishing[0] not in self.tasks:
            return
        task = self.tasks[finishing[0]]
        if task.stoptime is None:
            task.stop()
            self._send(lambda: self.client.send_task(self.job, task, state="running", logs=self._log_files(task)))

    def _on_collectreport(self, report):
        if report.failed:
            # A file that cannot be collected is an errored test case of its own task.
            path = report.nodeid.split("::")[0] or "collection"
            task = self._task(path)
            section = task.add_section(id="(collection)", seq_num=len(task.sections) + 1, type="Testcase")
            section.start()
            text = str(report.longrepr)
            section.add_detail(text)
            lines = [line for line in text.splitlines() if line.strip()]
            section.stop(result=self.runset.TestResult("errored", reason=lines[-1] if lines else "collection"))
            self._log(path, "=== %s collection: errored ===\n%s\n" % (path, text))

    def _on_sessionfinish(self, session, exitstatus):
        for task in self.tasks.values():
            if task.stoptime is None:
                task.stop()
        self.job.stop()
        with open(os.path.join(self.folder, "results.json"), "w", encoding="utf-8") as stream:
            stream.write(self.job.dump_json())
        self._send(lambda: self.client.send(self.job, state="finished", log_dir=self.folder))
        if self.client is not None:
            self.client.close()

    # --- the server -----------------------------------------------------------------------------------------------

    def _log_files(self, task):
        name = os.path.basename(task.logfile or "")
        return {name: os.path.join(self.folder, name)} if name else {}

    def _send(self, call):
        if self.client is None or self.down:
            return
        from kovra.reporter.client import ServerError
        try:
            call()
        except (ServerError, OSError) as error:
            self.down = True
            self._warn(error)

    def _warn(self, error, what="results not sent to the server"):
        message = "kovra reporter: %s (%s); files written to %s" % (
            what, " ".join(str(error).split())[:300], self.folder)
        terminal = self.config.pluginmanager.get_plugin("terminalreporter")
        if terminal is not None:
            terminal.write_line(message, yellow=True)
        else:
            sys.stderr.write(message + "\n")
