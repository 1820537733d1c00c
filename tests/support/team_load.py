"""A team's mixed load on one server, for the load test and bench_server.py's team-load.

Senders send jobs of their own name, each key running then finished (two snapshots); walkers walk
the newest jobs node by node through Explorer(ServerClient); page readers open the job list, the job
pages and their rows; a pruner applies a retention that keeps few jobs of each name, so jobs are
deleted while sends go on. Afterwards every acknowledged upload is checked: its job is at the last
acknowledged snapshot, whole, or the pruner said it deleted it."""
import json
import random
import threading
import time
import urllib.parse

from kovra.reporter.client import NotFound, ServerClient, ServerError
from kovra.reporter.explorer import Explorer


def document(tasks, sections, mark):
    """A stored-report document of tasks * sections sections, every node carrying `mark`."""
    def node(kind, node_id, **more):
        made = {"type": kind, "id": node_id, "name": node_id, "starttime": "2026-01-01 00:00:00.000001",
                "stoptime": "2026-01-01 00:00:01.000001", "runtime": 1.0, "result": {"value": "passed"},
                "description": mark}
        made.update(more)
        return made

    report = node("RunSet", "load", tasks=[
        node("Task", "task%d" % t, logfile="task%d.log" % t, sections=[
            node("Testcase", "sec%d" % s, logs={"file": "task%d.log" % t, "begin": s * 10, "size": 10})
            for s in range(sections)]) for t in range(tasks)])
    report["summary"] = {"passed": tasks * sections, "total": tasks * sections, "success_rate": 100.0}
    return {"version": "3.2", "report": report}


class _Text:
    def __init__(self, made):
        self.text = json.dumps(made)

    def dump_json(self):
        return self.text


class TeamLoad:
    """run() drives the load for `seconds`; check() then lists what was lost or is not whole."""

    def __init__(self, url, token, seconds, senders, walkers, readers, tasks=3, sections=50, keep_last=2,
                 prune_every=0.5, log_bytes=20000, sample=None):
        self.url, self.token, self.seconds = url, token, seconds
        self.senders, self.walkers, self.readers = senders, walkers, readers
        self.tasks, self.sections, self.keep_last = tasks, sections, keep_last
        self.prune_every, self.log_bytes, self.sample = prune_every, log_bytes, sample
        self.lock = threading.Lock()
        self.requests = {}       # kind -> count
        self.errors = {}         # kind -> [message]
        self.times = {}          # kind -> [seconds]
        self.gone = 0            # reads of a job pruned meanwhile (404): expected, not errors
        self.acknowledged = {}   # job key -> the mark of its last acknowledged snapshot
        self.attempted = {}      # job key -> the marks of its sends, acknowledged or not, in order
        self.pruned = set()
        self.stop_at = None

    def _count(self, kind, started, error=None):
        with self.lock:
            self.requests[kind] = self.requests.get(kind, 0) + 1
            self.times.setdefault(kind, []).append(time.perf_counter() - started)
            if error is not None:
                self.errors.setdefault(kind, []).append(str(error)[:300])

    def _running(self):
        return time.monotonic() < self.stop_at

    def _call(self, kind, call):
        """call() counted under `kind`; a 404 is a job pruned meanwhile. Returns its answer or None."""
        started = time.perf_counter()
        try:
            answer = call()
        except NotFound:
            with self.lock:
                self.gone += 1
            self._count(kind, started)
            return None
        except Exception as error:  # noqa: BLE001 - every failure is counted, none stops the run
            self._count(kind, started, error)
            return None
        self._count(kind, started)
        return answer

    def sender(self, index):
        name = "load-%02d" % index
        with ServerClient(self.url, None, token=self.token, timeout=120) as client:
            count = 0
            while self._running():
                count += 1
                client.job = "%s-%05d" % (name, count)
                for state in ("running", "finished"):
                    mark = "%s %s" % (client.job, state)
                    made = _Text(document(self.tasks, self.sections, mark))
                    with self.lock:
                        self.attempted.setdefault(client.job, []).append(mark)
                    logs = {"task0.log": (mark.encode() * (self.log_bytes // len(mark) + 1))[:self.log_bytes]}
                    row = self._call("send", lambda: client.send(made, state=state, name=name, logs=logs))
                    if row is None:
                        break
                    with self.lock:
                        self.acknowledged[client.job] = mark

    def _newest(self, client, rng):
        listed = self._call("list", lambda: client.list_jobs(per_page=20, name="load-%02d" % rng.randrange(
            self.senders)))
        jobs = (listed or {}).get("jobs") or []
        return rng.choice(jobs)["id"] if jobs else None

    def walker(self, index):
        rng = random.Random(index)
        load = self

        class Timed:
            """The client as Explorer calls it, each call counted."""

            def __init__(self, client):
                self.client = client

            def get_runset(self):
                return self._timed(self.client.get_runset)

            def get_section(self, *, id_list):
                return self._timed(lambda: self.client.get_section(id_list=id_list))

            def _timed(self, call):
                started = time.perf_counter()
                try:
                    answer = call()
                except NotFound:
                    with load.lock:
                        load.gone += 1
                    load._count("node", started)
                    raise
                except Exception as error:  # noqa: BLE001
                    load._count("node", started, error)
                    raise
                load._count("node", started)
                return answer

        with ServerClient(self.url, None, timeout=120) as client:
            while self._running():
                client.job = self._newest(client, rng)
                if client.job is None:
                    time.sleep(0.05)
                    continue
                try:
                    run = Explorer(Timed(client))
                    marks = {run.description}
                    for task in run.tasks:
                        first = rng.randrange(max(1, len(task.sections) - 20))
                        for position in range(first, min(first + 20, len(task.sections))):
                            if not self._running():
                                return
                            marks.add(task.sections[position].description)
                    if len(marks) != 1:
                        # Nodes of two snapshots in one walk are fine (the job was sent again meanwhile),
                        # but only of this job's own sends.
                        if not all(m.startswith(client.job + " ") for m in marks):
                            with self.lock:
                                self.errors.setdefault("walk", []).append("%s: marks %s" % (client.job, marks))
                except ServerError:
                    continue  # counted where it happened

    def reader(self, index):
        rng = random.Random(1000 + index)
        with ServerClient(self.url, None, timeout=120) as client:
            while self._running():
                self._call("page", lambda: client._request("GET", "/"))
                job = self._newest(client, rng)
                if job is None:
                    time.sleep(0.05)
                    continue
                self._call("page", lambda: client._request("GET", "/jobs/" + job))
                self._call("rows", lambda: client._request("GET", "/jobs/%s/rows?parent=%s" % (
                    job, urllib.parse.quote('["task0"]'))))

    def pruner(self):
        with ServerClient(self.url, None, token=self.token, timeout=120) as client:
            client.set_retention(keep_last=self.keep_last)
            while self._running():
                gone = self._call("prune", client.prune)
                if gone:
                    with self.lock:
                        self.pruned.update(gone)
                time.sleep(self.prune_every)

    def run(self):
        started = time.monotonic()
        self.stop_at = started + self.seconds
        threads = [threading.Thread(target=self.sender, args=(i,)) for i in range(self.senders)]
        threads += [threading.Thread(target=self.walker, args=(i,)) for i in range(self.walkers)]
        threads += [threading.Thread(target=self.reader, args=(i,)) for i in range(self.readers)]
        threads.append(threading.Thread(target=self.pruner))
        for thread in threads:
            thread.start()
        while self._running():
            if self.sample:
                self.sample()
            time.sleep(min(1.0, max(0.0, self.stop_at - time.monotonic())))
        for thread in threads:
            thread.join(300)
        self.elapsed = time.monotonic() - started
        return self

    def check(self):
        """The acknowledged uploads that are lost or not whole: [(job, why)].

        A job is whole at its last acknowledged snapshot or at a later one whose answer was lost (the
        database went away after its commit). It may be gone when a prune said it deleted it, or, after
        a prune whose answer was lost, when it is past the newest keep_last finished jobs of its name."""
        lost = []
        with ServerClient(self.url, None, timeout=120) as client:
            stored_keys = set()
            for name in {job.rsplit("-", 1)[0] for job in self.acknowledged}:
                stored_keys.update(row["id"] for row in client.list_jobs(per_page=1000, name=name)["jobs"])
            for job, mark in sorted(self.acknowledged.items()):
                client.job = job
                try:
                    stored = json.loads(client.get_report())
                except NotFound:
                    newer = sorted(k for k in stored_keys if k.rsplit("-", 1)[0] == job.rsplit("-", 1)[0] and k > job)
                    if job not in self.pruned and not ("prune" in self.errors and len(newer) >= self.keep_last):
                        lost.append((job, "gone, and no prune deleted it"))
                    continue
                marks = self.attempted[job]
                allowed = marks[marks.index(mark):]
                if job in self.pruned:
                    lost.append((job, "still there after a prune said it deleted it"))
                elif not any(stored == document(self.tasks, self.sections, m) for m in allowed):
                    lost.append((job, "not the acknowledged snapshot %r whole" % mark))
        return lost
