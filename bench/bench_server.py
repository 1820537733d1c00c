"""The reporter server on loopback: the speed figures and a bounded load run. Nothing is asserted.

    /usr/bin/python3 bench/bench_server.py speed [--nodes 100000 --reads 3000 --jobs 10000]
    /usr/bin/python3 bench/bench_server.py tasks [--nodes 100000]
    /usr/bin/python3 bench/bench_server.py junit [--cases 10000 --browsable]
    /usr/bin/python3 bench/bench_server.py load [--seconds 60 --senders 16 --walkers 32 --sections 1500]
                                                [--db postgresql://...]
    /usr/bin/python3 bench/bench_server.py triage [--nodes 100000 --earlier 1000 --reads 100]
    /usr/bin/python3 bench/bench_server.py team-load [--seconds 60 --senders 16 --walkers 32 --readers 4]
    /usr/bin/python3 bench/bench_server.py prune-space [--jobs 40 --nodes 3000 --log-kb 1024]

speed: node reads (get_section over one kept connection) on a job of --nodes nodes,
p50/p99; storing a 24,000-section run set (client.send: dump, gzip, upload, parse,
store) against its dump_json() time; the first page of a list of --jobs jobs.
tasks: a 100-task job of --nodes nodes sent whole once, task by task as each task
stops (send_task), and whole after each task, each in the server's CPU seconds.
junit: a --cases JUnit file (50 suites, 2% failed) uploaded, beside a stored report of as many
test cases, in nodes per second; with --browsable, also the time until its job page has arrived and
the size of the server's data folder after it.
load: --senders threads send --sections-section jobs again and again (each send a
new snapshot), --walkers threads walk stored jobs through Explorer(ServerClient);
throughput, p50/p99 per kind, errors, and the server's resident memory.
triage: storing the 24,000-section run set with the cross-job index against without it (the
storage layer, alternately); then a job of --nodes nodes with 250 leaf failures after --earlier
jobs of its name: its failures grouped with states, one node's history over all the jobs, a
signature's jobs, and the job page (time and size), each p50/p99 through the server.
team-load: tests/support/team_load.py's mixed load: --senders send jobs of their own name (each
key running, then finished), --walkers walk the newest jobs through Explorer(ServerClient),
--readers open the job list, job pages and their rows, and a prune applies keep_last=--keep-last
every half second; requests, errors and p50/p99 by kind, acknowledged uploads and those lost or
not whole afterwards, and the server's resident memory at the start and at most.
prune-space: --jobs jobs of --nodes nodes and a --log-kb log each, then a prune of half of them:
the database's size before and after (SQLite: the file and its WAL, the server's incremental
vacuum; PostgreSQL: pg_database_size and the tables' pg_total_relation_size, after the prune, after
a plain VACUUM as autovacuum runs it, and after as many jobs are stored again).
Each run starts its own server on a free loopback port (SQLite in a temporary
folder unless --db) and stops it at the end.
"""
import argparse
import datetime
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from bench_paths import BENCH_DIR, PACKAGE_ROOT, REPO_ROOT  # noqa: E402,F401

from kovra.reporter.explorer import Explorer  # noqa: E402
from kovra.reporter.client import ServerClient  # noqa: E402

TOKEN = "bench-token"


class Server:
    def __init__(self, db=None):
        import socket
        self.folder = tempfile.mkdtemp(prefix="kovra-bench-server-")
        with open(os.path.join(self.folder, "token"), "w") as stream:
            stream.write(TOKEN + "\n")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.url = "http://127.0.0.1:%d" % self.port
        command = ["/usr/bin/python3", "-m", "kovra.reporter", "serve", "--bind", "127.0.0.1:%d" % self.port,
                   "--data", self.folder, "--token-file", os.path.join(self.folder, "token"),
                   "--max-upload-mb", "1024"]
        if db:
            command += ["--db", db]
        self.process = subprocess.Popen(command, env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    break
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise SystemExit("bench: the server did not start")
                time.sleep(0.05)

    def rss_mib(self):
        with open("/proc/%d/status" % self.process.pid) as stream:
            for line in stream:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
        return 0.0

    def cpu_seconds(self):
        """User and system time the server process has used so far (clock-tick resolution)."""
        with open("/proc/%d/stat" % self.process.pid) as stream:
            fields = stream.read().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


class Document:
    """A plain report of tasks * sections sections, sent as dump_json() text."""

    def __init__(self, tasks, sections, mark=""):
        def node(kind, node_id, **more):
            made = {"type": kind, "id": node_id, "name": node_id, "starttime": "2026-01-01 00:00:00.000001",
                    "stoptime": "2026-01-01 00:00:01.000001", "runtime": 1.0, "result": {"value": "passed"},
                    "description": "%s %s" % (kind, mark)}
            made.update(more)
            return made

        report = node("RunSet", "bench", tasks=[
            node("Task", "task%d" % t, logfile="task%d.log" % t, sections=[
                node("Testcase", "sec%d" % s, logs={"file": "task%d.log" % t, "begin": s * 10, "size": 10})
                for s in range(sections)]) for t in range(tasks)])
        report["summary"] = {"passed": tasks * sections, "total": tasks * sections, "success_rate": 100.0}
        self.text = json.dumps({"version": "3.2", "report": report})
        self.paths = [["task%d" % t, "sec%d" % s] for t in range(tasks) for s in range(sections)]

    def dump_json(self):
        return self.text


def load_average():
    return "%.2f %.2f %.2f" % os.getloadavg()


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else float("nan")


def ms(value):
    return "%.2f ms" % (value * 1000)


def speed(args):
    server = Server(args.db)
    try:
        tasks = 100
        per_task = max(1, args.nodes // tasks - 1)
        big = Document(tasks, per_task)
        with ServerClient(server.url, "big", token=TOKEN, timeout=300) as client:
            started = time.perf_counter()
            client.send(big, logs={})
            stored = time.perf_counter() - started
            print("stored a %d-node job in %.2f s" % (1 + tasks + tasks * per_task, stored))
            rng = random.Random(1)
            times = []
            for _ in range(args.reads):
                path = rng.choice(big.paths)
                started = time.perf_counter()
                client.get_section(id_list=path)
                times.append(time.perf_counter() - started)
            print("node read on it (get_section, %d reads): p50 %s, p99 %s, max %s"
                  % (len(times), ms(percentile(times, 0.5)), ms(percentile(times, 0.99)), ms(max(times))))

        import kovra.reporter.runset as runset
        from bench_runset import build_job
        log = os.path.join(server.folder, "bench.log")
        open(log, "w").close()
        job = build_job(runset, 40, 200, log)
        dumps = []
        for _ in range(3):
            started = time.perf_counter()
            job.dump_json()
            dumps.append(time.perf_counter() - started)
        dump_cpu = []
        for _ in range(3):
            started = time.process_time()
            job.dump_json()
            dump_cpu.append(time.process_time() - started)
        sends, client_cpu, server_cpu = [], [], []
        with ServerClient(server.url, "sections-24000", token=TOKEN, timeout=300) as client:
            for attempt in range(3):
                job.tasks[0].description = "send %d" % attempt     # a new snapshot each time
                server_before, client_before = server.cpu_seconds(), time.process_time()
                started = time.perf_counter()
                row = client.send(job, logs={})
                sends.append(time.perf_counter() - started)
                client_cpu.append(time.process_time() - client_before)
                server_cpu.append(server.cpu_seconds() - server_before)
        print("24,000-section run set (%d nodes): dump_json %.3f s, send and store %.3f s (best of 3): %.2fx"
              % (row["nodes"], min(dumps), min(sends), min(sends) / min(dumps)))
        best = min(range(3), key=lambda i: client_cpu[i] + server_cpu[i])
        print("  in CPU time: dump_json %.3f s; the send's client %.3f s + server %.3f s = %.3f s: %.2fx"
              " (load average %s)" % (min(dump_cpu), client_cpu[best], server_cpu[best],
                                      client_cpu[best] + server_cpu[best],
                                      (client_cpu[best] + server_cpu[best]) / min(dump_cpu), load_average()))

        # Many jobs straight through the storage layer: the list's speed does not depend on how they came.
        from kovra.reporter.server.storage import Storage
        from kovra.reporter.server.intake import read_snapshot
        from kovra.reporter.server.settings import Settings
        storage = Storage(args.db or "sqlite:///" + os.path.join(server.folder, "reporter.sqlite3"))
        small = Document(1, 2)
        snapshot = read_snapshot(small.text.encode(), {}, Settings())
        started = time.perf_counter()
        for index in range(args.jobs):
            storage.put_job("job-%05d" % index, snapshot, "finished" if index % 7 else "running")
        print("stored %d small jobs through the storage layer in %.1f s" % (args.jobs, time.perf_counter() - started))
        storage.close()
        times = []
        with ServerClient(server.url, None, timeout=60) as client:
            for _ in range(50):
                started = time.perf_counter()
                page = client.list_jobs(page=1, per_page=50)
                times.append(time.perf_counter() - started)
        print("first page of %d jobs (50 rows and the total): p50 %s, p99 %s"
              % (page["total"], ms(percentile(times, 0.5)), ms(percentile(times, 0.99))))
        print("server resident memory at the end: %.0f MiB" % server.rss_mib())
    finally:
        server.stop()


def _task_of(job, runset, index, sections, steps, log):
    """Adds and runs one task of `sections` test cases with `steps` steps each; returns it."""
    task = job.add_task(id="task%03d" % index, seq_num=index)
    task.start(logfile=log)
    for number in range(sections):
        section = task.add_section(id="case%03d" % number, seq_num=number, type="Testcase")
        section.start(logfile=log)
        for step_number in range(steps):
            step = section.add_section(id="step%d" % step_number, seq_num=step_number)
            step.start()
            step.stop(result=runset.TestResult("failed" if (index + number + step_number) % 50 == 0 else "passed"))
        section.stop()
    task.stop()
    return task


def tasks(args):
    """A 100-task job of about --nodes nodes sent three ways, in the server's CPU time: whole once at
    the end; task by task as each stops (send_task); whole after each task (send)."""
    import kovra.reporter.runset as runset
    server = Server(args.db)
    try:
        count = 100
        sections = 10
        steps = max(0, args.nodes // (count * sections) - 1)
        log = os.path.join(server.folder, "tasks.log")
        open(log, "w").close()
        figures = {}
        for mode in args.modes.split(","):
            job = runset.RunSet(id="tasks", seq_num=0)
            job.start()
            cpu = 0.0
            with ServerClient(server.url, mode, token=TOKEN, timeout=600) as client:
                for index in range(count):
                    task = _task_of(job, runset, index, sections, steps, log)
                    before = server.cpu_seconds()
                    if mode == "task-by-task":
                        row = client.send_task(job, task, logs={})
                    elif mode == "whole-after-each-task":
                        row = client.send(job, state="running", logs={})
                    cpu += server.cpu_seconds() - before
                job.stop()
                before = server.cpu_seconds()
                if mode == "task-by-task":
                    row = client.send_task(job, job.tasks[-1], state="finished", logs={})
                else:
                    row = client.send(job, logs={})
                cpu += server.cpu_seconds() - before
            figures[mode] = (cpu, row["nodes"])
            print("%-22s %d nodes: server CPU %.2f s" % (mode, row["nodes"], cpu))
        whole = figures["whole-at-end"][0]
        for mode, label in (("task-by-task", "(target at most 1.5x)"), ("whole-after-each-task", "")):
            if mode in figures:
                print("%s / one whole send: %.2fx %s" % (mode, figures[mode][0] / whole, label))
    finally:
        server.stop()


def junit_file(cases, suites=50, failing=0.02):
    """JUnit XML of `cases` test cases in `suites` suites, every 1/`failing`-th one failed."""
    every = max(1, int(round(1 / failing)))
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<testsuites name="bench">']
    per = cases // suites
    for s in range(suites):
        parts.append('<testsuite name="suite%d" tests="%d" time="1.0" timestamp="2026-01-01T00:00:00">' % (s, per))
        for c in range(per):
            number = s * per + c
            if number % every == 0:
                parts.append('<testcase name="case%d" classname="suite%d" time="0.01"><failure message="boom %d">'
                             'Traceback line\nAssertionError</failure></testcase>' % (c, s, c))
            else:
                parts.append('<testcase name="case%d" classname="suite%d" time="0.01"/>' % (c, s))
        parts.append('</testsuite>')
    parts.append('</testsuites>\n')
    return "".join(parts).encode()


def junit(args):
    """A --cases JUnit file uploaded, beside a stored report of as many test cases, in nodes per second."""
    server = Server(args.db)
    try:
        path = os.path.join(server.folder, "bench-junit.xml")
        with open(path, "wb") as stream:
            stream.write(junit_file(args.cases))
        stored = Document(50, args.cases // 50)
        with ServerClient(server.url, "junit", token=TOKEN, timeout=600) as client:
            for label, send in (("JUnit XML", lambda: client.send_junit(path)),
                                ("stored report", lambda: client.send(stored, logs={}))):
                client.job = "junit-%s" % label.split()[0].lower()
                before, started = server.cpu_seconds(), time.perf_counter()
                row = send()
                wall, cpu = time.perf_counter() - started, server.cpu_seconds() - before
                print("%-14s %d nodes: %.2f s (%.0f nodes/s), server CPU %.2f s"
                      % (label, row["nodes"], wall, row["nodes"] / wall, cpu))
                if label == "JUnit XML" and args.browsable:
                    # Browsable: from the upload's start until the job page has arrived whole.
                    with urllib.request.urlopen(server.url + "/jobs/" + client.job, timeout=600) as page:
                        size = len(page.read())
                    browsable = time.perf_counter() - started
                    print("JUnit XML browsable (upload, then the job page of %d KB) in %.2f s; "
                          "the database %.1f MB" % (size // 1024, browsable, stored_mb(server.folder, path)))
    finally:
        server.stop()


def stored_mb(folder, *leave_out):
    """Bytes under the server's data folder, in MB, the given files left out."""
    total = 0
    for root, _, files in os.walk(folder):
        for name in files:
            full = os.path.join(root, name)
            if full not in leave_out:
                total += os.path.getsize(full)
    return total / 1e6


def triage_document(tasks, sections, failing, start, job_id, fail_from=0):
    """A plain report of tasks * sections sections where the first `failing` sections of task 0 fail:
    243 with "counter mismatch on port N", the rest with reasons of their own."""
    def node(kind, node_id, result="passed", reason=None, **more):
        made = {"type": kind, "id": node_id, "name": node_id, "starttime": start, "runtime": 1.0,
                "result": {"value": result}}
        if reason:
            made["result"]["reason"] = reason
        made.update(more)
        return made

    def section(t, s):
        index = t * sections + s
        if fail_from <= index < failing:
            reason = "counter mismatch on port %d" % (1000 + index) if index < 243 else "check %d failed" % index
            return node("Testcase", "sec%d" % s, "failed", reason)
        return node("Testcase", "sec%d" % s)

    report = node("RunSet", job_id, tasks=[node("Task", "task%d" % t, sections=[section(t, s) for s in range(sections)])
                                           for t in range(tasks)])
    report["summary"] = {"passed": tasks * sections - failing, "failed": failing, "total": tasks * sections}
    return json.dumps({"version": "3.2", "report": report}).encode()


def triage(args):
    """Intake with the index against without it; then failures, history, signature and job page reads
    over a name with --earlier jobs before a --nodes-node job with 250 leaf failures."""
    from kovra.reporter.server.intake import read_snapshot
    from kovra.reporter.server.settings import Settings
    from kovra.reporter.server.storage import Storage
    import kovra.reporter.runset as runset
    from bench_runset import build_job
    folder = args.keep or tempfile.mkdtemp(prefix="kovra-bench-triage-")
    os.makedirs(folder, exist_ok=True)
    db = args.db or "sqlite:///" + os.path.join(folder, "reporter.sqlite3")
    settings = Settings(max_report_bytes=1 << 30, max_nodes=10_000_000)
    storage = Storage(db)
    try:
        if args.stored:
            # The name's jobs are there already (a --keep folder or the database of an earlier run).
            raise _Stored
        log = os.path.join(folder, "bench.log")
        open(log, "w").close()
        text = build_job(runset, 40, 200, log).dump_json().encode()
        snapshot = read_snapshot(text, {}, settings, time_text=storage.time_text)
        with_index, without = [], []
        skip = storage._insert_index
        for number in range(args.name_jobs):
            # Earlier jobs of the run set's own name: the cross-job index holds each node's rows in a run of
            # its own, so a new job's rows land on as many pages as it has nodes once those runs fill them.
            snapshot.digest = "earlier %d" % number
            storage.put_job("sections-24000-earlier-%d" % number, snapshot, "finished")
        for attempt in range(args.rounds):
            for timed, index in ((with_index, True), (without, False)):
                storage._insert_index = skip if index else (lambda *a: None)
                snapshot.digest = "round %d %s" % (attempt, index)
                started = time.perf_counter()
                # A new key each round: a finished job is not replaced, and deleting is no part of storing.
                storage.put_job("sections-24000-%s-%d" % (index, attempt), snapshot, "finished")
                timed.append(time.perf_counter() - started)
        storage._insert_index = skip
        if args.rounds:
            print("store of the 24,000-section run set (%d nodes) after %d jobs of its name, %d rounds alternately: "
                  "with the index median %.3f s (best %.3f), without %.3f s (best %.3f): %.2fx (load average %s)"
                  % (len(snapshot.nodes), args.name_jobs, args.rounds, percentile(with_index, 0.5), min(with_index),
                     percentile(without, 0.5), min(without), percentile(with_index, 0.5) / percentile(without, 0.5),
                     load_average()))
        started = time.perf_counter()
        for number in range(args.earlier):
            # The first 200 fail in every earlier job; the rest of the 250 from the newest one only.
            data = triage_document(10, args.earlier_sections // 10, 200, "2026-01-01 00:00:00", "nightly")
            job = read_snapshot(data, {}, settings, time_text=storage.time_text)
            job.job["start"] = datetime.datetime(2024, 1, 1) + datetime.timedelta(hours=number)
            storage.put_job("nightly-%04d" % number, job, "finished")
        print("stored %d earlier jobs of %d sections in %.1f s" % (args.earlier, args.earlier_sections,
                                                                   time.perf_counter() - started))
        tasks = 100
        data = triage_document(tasks, args.nodes // tasks - 1, 250, "2026-01-01 00:00:00", "nightly")
        job = read_snapshot(data, {}, settings, time_text=storage.time_text)
        job.job["start"] = datetime.datetime(2025, 1, 1)
        started = time.perf_counter()
        storage.put_job("nightly-big", job, "finished")
        print("stored the %d-node job in %.2f s" % (len(job.nodes), time.perf_counter() - started))
    except _Stored:
        pass
    finally:
        big, total, jobs, size = database_size(storage, db)
        storage.close()
    print("database: %d nodes in %d jobs, %.1f MiB: %.0f bytes per node (load average %s)"
          % (total, jobs, size / 2**20, size / max(total, 1), load_average()))
    server = Server(db)
    try:
        with ServerClient(server.url, "nightly-big", token=TOKEN, timeout=300) as client:
            def timed(label, call, count):
                # The server's CPU time per read beside the wall times: on a shared machine the tails are
                # mostly waiting for a core.
                times = []
                cpu = server.cpu_seconds()
                for _ in range(count):
                    started = time.perf_counter()
                    answer = call()
                    times.append(time.perf_counter() - started)
                cpu = (server.cpu_seconds() - cpu) / count
                print("%s (%d reads): p50 %s, p99 %s; server CPU %s a read (load average %s)" % (
                    label, count, ms(percentile(times, 0.5)), ms(percentile(times, 0.99)), ms(cpu), load_average()))
                return answer
            groups = timed("failures of the %d-node job, grouped, with states" % big,
                           client.failures, args.reads)["groups"]
            print("  %d groups, %d leaf failures; largest: %d x %r" % (
                len(groups), sum(g["count"] for g in groups), groups[0]["count"], groups[0]["text"]))
            found = timed("history of one node over %d jobs" % (args.earlier + 1),
                          lambda: client.history("nightly", ["task0", "sec0"], args.earlier + 1), args.reads)
            print("  %d results; state %s since %s" % (len(found["results"]), found["state"], found["failing_since"]))
            timed("history of one node, newest 10 of %d jobs (state and run however far back)" % (args.earlier + 1),
                  lambda: client.history("nightly", ["task0", "sec0"], 10), args.reads)
            signature = groups[0]["signature"]
            page = timed("signature across %d jobs (API, first page of 50)" % (args.earlier + 1),
                         lambda: client._json("GET", "/api/signatures/" + signature), args.reads)
            print("  %d jobs hold it" % page["total"])
            timed("signature page (HTML)", lambda: client._request("GET", "/signatures/" + signature), args.reads)
            body = timed("job page of the %d-node job" % big,
                         lambda: client._request("GET", "/jobs/nightly-big")[1], max(5, args.reads // 5))
            print("  job page: %.0f KB of HTML" % (len(body) / 1024))
        print("server resident memory at the end: %.0f MiB" % server.rss_mib())
    finally:
        server.stop()
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


class _Stored(Exception):
    pass


def database_size(storage, db):
    """(nodes of the big job, nodes stored, jobs stored, bytes the database takes on disk)."""
    with storage.engine.connect() as connection:
        # The jobs' own counts: counting the node rows read all of them, and the reads after it found the
        # rows they wanted gone from the caches.
        big = connection.exec_driver_sql("SELECT nodes FROM jobs WHERE id = 'nightly-big'").scalar() or 0
        total = connection.exec_driver_sql("SELECT coalesce(sum(nodes), 0) FROM jobs").scalar()
        jobs = connection.exec_driver_sql("SELECT count(*) FROM jobs").scalar()
        if storage.is_sqlite:
            path = db[len("sqlite:///"):]
            size = sum(os.path.getsize(path + end) for end in ("", "-wal") if os.path.exists(path + end))
        else:
            size = connection.exec_driver_sql("SELECT pg_database_size(current_database())").scalar()
    return big, total, jobs, size


def load(args):
    server = Server(args.db)
    tasks = 3
    sections = args.sections // tasks
    stop_at = [None]
    lock = threading.Lock()
    stats = {"send": [], "read": []}
    errors = []
    nodes_sent = [0]
    rss = []

    def record(kind, seconds):
        with lock:
            stats[kind].append(seconds)

    def sender(index):
        with ServerClient(server.url, "load-%02d" % index, token=TOKEN, timeout=120) as client:
            count = 0
            while time.monotonic() < stop_at[0]:
                count += 1
                document = Document(tasks, sections, mark="%d-%d" % (index, count))
                started = time.perf_counter()
                try:
                    row = client.send(document, logs={"task0.log": b"x" * 20000}, state="running")
                    record("send", time.perf_counter() - started)
                    with lock:
                        nodes_sent[0] += row["nodes"]
                except Exception as error:          # every failure is counted, none stops the run
                    with lock:
                        errors.append("send: %s" % error)

    class Timed:
        def __init__(self, client):
            self.client = client

        def get_runset(self):
            return self._timed(self.client.get_runset)

        def get_section(self, *, id_list):
            return self._timed(lambda: self.client.get_section(id_list=id_list))

        def _timed(self, call):
            started = time.perf_counter()
            answer = call()
            record("read", time.perf_counter() - started)
            return answer

    def walker(index):
        rng = random.Random(index)
        with ServerClient(server.url, None, timeout=120) as client:
            timed = Timed(client)
            while time.monotonic() < stop_at[0]:
                client.job = "load-%02d" % rng.randrange(args.senders)
                try:
                    run = Explorer(timed)
                    for task in run.tasks:
                        # A walker reads a stretch of each task's sections, as a person paging through would.
                        first = rng.randrange(max(1, len(task.sections) - 50))
                        for position in range(first, min(first + 50, len(task.sections))):
                            if time.monotonic() >= stop_at[0]:
                                return
                            task.sections[position]
                except KeyError:
                    continue                       # not stored yet: the senders have just begun
                except Exception as error:
                    with lock:
                        errors.append("walk: %s" % error)

    try:
        # Every job exists before the walkers start, so that a missing job is not counted as an error.
        with ServerClient(server.url, None, token=TOKEN, timeout=120) as client:
            for index in range(args.senders):
                client.job = "load-%02d" % index
                client.send(Document(tasks, sections, mark="seed"), state="running")
        started = time.monotonic()
        stop_at[0] = started + args.seconds
        threads = [threading.Thread(target=sender, args=(i,)) for i in range(args.senders)]
        threads += [threading.Thread(target=walker, args=(i,)) for i in range(args.walkers)]
        for thread in threads:
            thread.start()
        while time.monotonic() < stop_at[0]:
            rss.append(server.rss_mib())
            time.sleep(1)
        for thread in threads:
            thread.join(180)
        elapsed = time.monotonic() - started
        rss.append(server.rss_mib())
        print("load run: %.0f s, %d senders of %d-section jobs, %d explorer walkers, database %s"
              % (elapsed, args.senders, tasks * sections, args.walkers, "PostgreSQL" if args.db else "SQLite"))
        for kind, label in (("send", "sends"), ("read", "node reads")):
            values = stats[kind]
            print("  %-10s %6d done, %7.1f/s, p50 %s, p99 %s, max %s"
                  % (label, len(values), len(values) / elapsed, ms(percentile(values, 0.5)),
                     ms(percentile(values, 0.99)), ms(max(values) if values else float("nan"))))
        print("  nodes stored: %d (%.0f/s)" % (nodes_sent[0], nodes_sent[0] / elapsed))
        print("  errors: %d%s" % (len(errors), (" (first: %s)" % errors[0]) if errors else ""))
        print("  server resident memory: %.0f MiB at the start of the run, %.0f MiB at most"
              % (rss[0], max(rss)))
    finally:
        server.stop()


def team_load(args):
    sys.path.insert(0, os.path.join(REPO_ROOT, "tests"))
    from support.team_load import TeamLoad
    server = Server(args.db)
    rss = []
    try:
        rss.append(server.rss_mib())
        load = TeamLoad(server.url, TOKEN, seconds=args.seconds, senders=args.senders, walkers=args.walkers,
                        readers=args.readers, tasks=3, sections=args.sections // 3, keep_last=args.keep_last,
                        sample=lambda: rss.append(server.rss_mib())).run()
        rss.append(server.rss_mib())
        lost = load.check()
        print("team load: %.0f s, %d senders of %d-section jobs, %d walkers, %d page readers, a prune every 0.5 s "
              "(keep_last %d), database %s, load average %s"
              % (load.elapsed, args.senders, args.sections, args.walkers, args.readers, args.keep_last,
                 "PostgreSQL" if args.db else "SQLite", load_average()))
        for kind in sorted(load.requests):
            values = load.times[kind]
            print("  %-6s %7d requests, %6.1f/s, %d errors, p50 %s, p99 %s"
                  % (kind, load.requests[kind], load.requests[kind] / load.elapsed, len(load.errors.get(kind, [])),
                     ms(percentile(values, 0.5)), ms(percentile(values, 0.99))))
        for kind, messages in sorted(load.errors.items()):
            print("  first %s error: %s" % (kind, messages[0]))
        print("  reads of a job pruned meanwhile (404, not errors): %d" % load.gone)
        print("  acknowledged uploads: %d jobs; pruned %d; lost or not whole afterwards: %d%s"
              % (len(load.acknowledged), len(load.pruned), len(lost), (" (first: %s)" % (lost[0],)) if lost else ""))
        print("  server resident memory: %.0f MiB at the start, %.0f MiB at most, %.0f MiB at the end"
              % (rss[0], max(rss), rss[-1]))
    finally:
        server.stop()


def prune_space(args):
    from sqlalchemy import text
    from kovra.reporter.server.storage import Storage
    server = Server(args.db)
    path = os.path.join(server.folder, "reporter.sqlite3")
    storage = Storage(args.db or "sqlite:///" + path)
    tables = ("nodes", "log_chunks", "results", "signatures", "jobs", "log_files")

    def size():
        if storage.is_sqlite:
            return sum(os.path.getsize(p) for p in (path, path + "-wal") if os.path.exists(p))
        with storage.engine.connect() as connection:
            return connection.execute(text("SELECT pg_database_size(current_database())")).scalar()

    def relations():
        if storage.is_sqlite:
            return ""
        with storage.engine.connect() as connection:
            return " (%s)" % ", ".join("%s %.1f" % (table, connection.execute(
                text("SELECT pg_total_relation_size('%s')" % table)).scalar() / 2 ** 20) for table in tables[:4])

    log = os.urandom(args.log_kb * 1024)
    tasks = 10

    def fill(first, count):
        with ServerClient(server.url, None, token=TOKEN, timeout=600) as client:
            for index in range(first, first + count):
                client.job = "space-%04d" % index
                client.send(Document(tasks, args.nodes // tasks, mark=client.job), name="space",
                            logs={"task0.log": log})

    mib = 2 ** 20
    try:
        started = time.perf_counter()
        fill(0, args.jobs)
        if storage.is_sqlite:
            storage.truncate_wal()
        full = size()
        print("%d jobs of %d nodes and a %d KiB log each, stored in %.1f s: %.1f MiB%s"
              % (args.jobs, args.nodes, args.log_kb, time.perf_counter() - started, full / mib, relations()))
        with ServerClient(server.url, None, token=TOKEN, timeout=600) as client:
            client.set_retention(keep_last=args.jobs // 2)
            started = time.perf_counter()
            gone = client.prune()
        pruned = before_refill = size()
        print("prune of %d jobs in %.2f s: %.1f MiB%s, %.1f MiB (%.0f%%) given back"
              % (len(gone), time.perf_counter() - started, pruned / mib, relations(), (full - pruned) / mib,
                 100.0 * (full - pruned) / full))
        if not storage.is_sqlite:
            import psycopg
            with psycopg.connect(args.db, autocommit=True) as connection:
                started = time.perf_counter()
                connection.execute("VACUUM")
            before_refill = size()
            print("after a plain VACUUM (%.2f s): %.1f MiB%s" % (time.perf_counter() - started, before_refill / mib,
                                                                 relations()))
        fill(args.jobs, len(gone))
        if storage.is_sqlite:
            storage.truncate_wal()
        again = size()
        print("as many jobs as were pruned stored again: %.1f MiB%s, %.1f MiB more than before the refill"
              % (again / mib, relations(), (again - before_refill) / mib))
    finally:
        storage.close()
        server.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--db", help="postgresql://... (default: SQLite in a temporary folder)")
    commands = parser.add_subparsers(dest="command", required=True)
    sub = commands.add_parser("speed")
    sub.add_argument("--nodes", type=int, default=100_000)
    sub.add_argument("--reads", type=int, default=3000)
    sub.add_argument("--jobs", type=int, default=10_000)
    sub = commands.add_parser("tasks")
    sub.add_argument("--nodes", type=int, default=100_000)
    sub.add_argument("--modes", default="whole-at-end,task-by-task,whole-after-each-task")
    sub = commands.add_parser("junit")
    sub.add_argument("--cases", type=int, default=10_000)
    sub.add_argument("--browsable", action="store_true", help="also time the job page and weigh the database")
    sub = commands.add_parser("load")
    sub.add_argument("--seconds", type=float, default=60)
    sub.add_argument("--senders", type=int, default=16)
    sub.add_argument("--walkers", type=int, default=32)
    sub.add_argument("--sections", type=int, default=1500)
    sub = commands.add_parser("triage")
    sub.add_argument("--nodes", type=int, default=100_000)
    sub.add_argument("--earlier", type=int, default=1000, help="earlier jobs of the name")
    sub.add_argument("--earlier-sections", type=int, default=300)
    sub.add_argument("--reads", type=int, default=100)
    sub.add_argument("--rounds", type=int, default=5)
    sub.add_argument("--name-jobs", type=int, default=0, help="jobs of the run set's name stored before the rounds")
    sub.add_argument("--keep", metavar="FOLDER", help="keep the SQLite database in FOLDER (made if missing)")
    sub.add_argument("--stored", action="store_true", help="the jobs are stored already (--keep or --db): read only")
    sub = commands.add_parser("team-load")
    sub.add_argument("--seconds", type=float, default=60)
    sub.add_argument("--senders", type=int, default=16)
    sub.add_argument("--walkers", type=int, default=32)
    sub.add_argument("--readers", type=int, default=4)
    sub.add_argument("--sections", type=int, default=300)
    sub.add_argument("--keep-last", type=int, default=3)
    sub = commands.add_parser("prune-space")
    sub.add_argument("--jobs", type=int, default=40)
    sub.add_argument("--nodes", type=int, default=3000)
    sub.add_argument("--log-kb", type=int, default=1024)
    args = parser.parse_args(argv)
    return {"speed": speed, "tasks": tasks, "junit": junit, "load": load, "triage": triage, "team-load": team_load,
            "prune-space": prune_space}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
