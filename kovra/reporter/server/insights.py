"""What the pages ask of the stored jobs: a job's rows as its tree opens, its
failures and whether each is new, known or flaky, a node's results across the
recent jobs of one name, trends over those jobs, and the nodes of two jobs to
compare. Reads only, through the storage layer's engine and tables; knows
nothing of HTTP.

Paths are the storage's: the id list as compact JSON (``[]`` is the run set).
"""
import collections
import contextlib
import datetime
import json
import operator
import threading

from sqlalchemy import and_, func, or_, select, text, true as sqlalchemy_true

from kovra.reporter.compare import Comparison
from kovra.reporter.format import PROBLEM_RESULTS as PROBLEMS, ids_of, path_of  # noqa: F401 (the pages')
from kovra.reporter.server.intake import _unmarked
from kovra.reporter.server import schema, triage
from kovra.reporter.server.storage import _sqlite_time, pair_condition
from kovra.reporter.server.triage import reason_of

# Failures in a page's failure list, and rows the job page carries before the reader opens anything.
FAILURE_LIST = 50
FIRST_ROWS = 300
SEARCH_HITS = 500
# Before every job: where a run of failures with no pass before it starts looking.
EARLIEST = datetime.datetime(1900, 1, 1)
# Keeps each IN (...) list well inside what every database takes.
IN_BATCH = 500
# A node's result in one job of its history: `own` is false where it is its section's pass.
PresentRow = collections.namedtuple("PresentRow", "job start cls result reason signature own")
# (start, job) of a history row as PostgreSQL hands it over: its order, newest first when reversed.
_START_JOB = operator.itemgetter(1, 0)
# Jobs before a run of failures that its history's "passed in the N jobs before" looks at.
PASSED_LOOKED = 1000


def path_of_fullid(text):
    """The storage path of a history link's node: a JSON path, or ids joined with "."."""
    if text.startswith("["):
        try:
            ids = json.loads(text)
        except ValueError:
            ids = None
        if isinstance(ids, list):
            return path_of(ids)
    return path_of(text.split(".")) if text else path_of([])


def _lower(result):
    return None if result is None else str(result).lower()


def _run_back(earlier, key):
    """(first job, length, ended) of the run of failures that ends at the job `key`, from a node's
    (job, class) in the jobs before it, newest first: a pass ends the run, other classes pass unnoticed."""
    since, run = key, 1
    for job, cls in earlier:
        if cls == "pass":
            return since, run, True
        if cls == "fail":
            since, run = job, run + 1
    return since, run, False


def _batches(items):
    items = list(items)
    for start in range(0, len(items), IN_BATCH):
        yield items[start:start + IN_BATCH]


class Insights:
    """Read-only questions over a `Storage`; `window` is how many jobs of one name a history spans."""

    def __init__(self, storage, window=10):
        self.storage = storage
        self.engine = storage.engine
        self.jobs = storage.tables.jobs
        self.nodes = storage.tables.nodes
        self.results = storage.tables.results
        self.signatures = storage.tables.signatures
        self.window = window
        self._held = threading.local()

    def _rows(self, statement):
        # Through the storage's guard: an unreachable database is a 503 here as everywhere.
        with self.storage._guard(), self.engine.connect() as connection:
            return connection.execute(statement).fetchall()

    def _node_columns(self):
        n = self.nodes.c
        return [n.path, n.parent, n.position, n.type, n.result, n.runtime, n.data, n.children]

    # --- one job -----------------------------------------------------------------------------------------------

    def children(self, job, parents):
        """The node rows below each of `parents` (paths), shallow ones first, siblings by position."""
        found = []
        n = self.nodes.c
        parents = list(parents)
        if path_of([]) in parents:
            # The run set's children are the tasks: their own small index (schema.TASK_ROWS).
            parents.remove(path_of([]))
            found.extend(self._rows(select(*self._node_columns()).where(n.job == job, text(schema.TASK_ROWS))
                                    .order_by(n.position)))
        for batch in _batches(parents):
            found.extend(self._rows(select(*self._node_columns()).where(n.job == job, n.parent.in_(batch))
                                    .order_by(n.depth, n.parent, n.position)))
        # Parents before their children, whatever the batches.
        found.sort(key=lambda row: len(ids_of(row.path)))
        return found

    def by_path(self, job, paths):
        found = []
        for batch in _batches(set(paths)):
            found.extend(self._rows(select(*self._node_columns())
                                    .where(self.nodes.c.job == job, self.nodes.c.path.in_(batch))))
        return sorted(found, key=lambda row: (len(ids_of(row.path)), row.position))

    def open_path(self, job, ids):
        """Rows below the run set and below each ancestor of the node at `ids` (ids as text):
        all a reader needs to reach it. Matching by text finds ids stored as numbers too."""
        parent = path_of([])
        found = []
        for depth, wanted in enumerate(ids):
            level = self.children(job, [parent])
            found.extend(level)
            match = [row for row in level if _names(row, wanted)]
            if not match or depth == len(ids) - 1:
                break
            parent = match[0].path
        return found

    def failing(self, job):
        """{path: result} of every node of `job` whose own result is a failure."""
        n = self.nodes.c
        # Two small indexes hold them (schema.PROBLEM_ROWS): the results stored as their own names, and
        # any other text, which may be one of them in other letters.
        found = {}
        for where in (schema.PROBLEM_ROWS, schema.ODD_RESULT_ROWS):
            for row in self._rows(select(n.path, n.result).where(n.job == job, text(where))):
                if _lower(row.result) in PROBLEMS:
                    found[row.path] = _lower(row.result)
        return found

    def result_counts(self, job):
        """How many nodes of `job` hold each result."""
        counts = {}
        for result, count in self._rows(select(self.nodes.c.result, func.count())
                                        .where(self.nodes.c.job == job, self.nodes.c.result.isnot(None))
                                        .group_by(self.nodes.c.result)):
            counts[_lower(result)] = counts.get(_lower(result), 0) + count
        return counts

    def case_counts(self, job):
        """{result: count} of the sections directly under a task (the test cases) that have a result."""
        n = self.nodes.c
        counts = {}
        for result, count in self._rows(select(n.result, func.count())
                                        .where(n.job == job, n.depth == 2, n.result.isnot(None)).group_by(n.result)):
            counts[_lower(result)] = counts.get(_lower(result), 0) + count
        return counts

    def slowest(self, job, limit=10):
        n = self.nodes.c
        return self._rows(select(n.path, n.result, n.runtime)
                          .where(n.job == job, n.runtime.isnot(None), n.depth > 1,
                                 or_(n.type.is_(None), n.type.notin_(("Task", "Plugin"))))
                          .order_by(n.runtime.desc(), n.path.desc()).limit(limit))

    def search(self, job, which, query, limit=SEARCH_HITS):
        """(paths of the first `limit` matches in tree order, number of matches).

        `which` is "" (any result), "problems" or "r:RESULT"; `query` is matched,
        lower-cased, against what the file page searches: id, name, description,
        reason and details."""
        n = self.nodes.c
        where = [n.job == job, n.depth > 0]
        if which == "problems":
            where.append(func.lower(n.result).in_(sorted(PROBLEMS)))
        elif which.startswith("r:"):
            where.append(func.lower(n.result) == which[2:])
        query = query.lower()
        if query and query.isascii() and query.isprintable() and '"' not in query and "\\" not in query:
            # The stored JSON holds plain ASCII text as it is: a cheap first cut.
            # Markup characters stand there as escapes (safe_json), and so they are looked for.
            escaped = _unmarked(query).replace("!", "!!").replace("%", "!%").replace("_", "!_")
            where.append(func.lower(n.data).like("%" + escaped + "%", escape="!"))
        hits = []
        # Shallow matches first, siblings in their stored order.
        for row in self._rows(select(n.path, n.data).where(and_(*where)).order_by(n.depth, n.parent, n.position)):
            if query and query not in search_text(json.loads(row.data)):
                continue
            hits.append(row.path)
        return hits[:limit], len(hits)

    # --- across the jobs of one name ---------------------------------------------------------------------------

    def _when(self):
        return func.coalesce(self.jobs.c.start, self.jobs.c.updated)

    def recent_jobs(self, name, limit, before=None):
        """The newest `limit` jobs of `name`, newest first; with `before` (a job row) only those
        that started before it."""
        j = self.jobs.c
        where = [j.name == name]
        if before is not None:
            found = self._rows(select(self._when()).where(j.id == before["id"]))
            if not found:
                return []          # deleted meanwhile: no job is before one that is gone
            when = found[0][0]
            where += [j.id != before["id"], self._when() <= when]
        return self._rows(select(j.id, j.name, j.state, j.result, j.start, j.stop, j.runtime, j.counts,
                                 j.snapshot).where(and_(*where)).order_by(self._when().desc(), j.id.desc())
                          .limit(limit))

    def names(self, limit=500):
        """[(name, number of jobs, newest start)] of the job names, the most recently run first."""
        j = self.jobs.c
        newest = func.max(self._when())
        return self._rows(select(j.name, func.count(), newest).group_by(j.name).order_by(newest.desc()).limit(limit))

    def results_in(self, job_ids, paths):
        """{(job, path): (result, data text)} of the given nodes in the given jobs."""
        found = {}
        n = self.nodes.c
        for jobs in _batches(job_ids):
            for batch in _batches(paths):
                for row in self._rows(select(n.job, n.path, n.result, n.data)
                                      .where(n.job.in_(jobs), n.path.in_(batch))):
                    found[(row.job, row.path)] = (_lower(row.result), row.data)
        return found

    def marks(self, job_row, paths, states=None):
        """{path: "new" | "failing" | "flaky"} for failing nodes of a job, from the cross-job index
        (see states); a node the index does not hold (above the sections) has no mark. `states`, when
        given, holds states already found (and gets the others)."""
        if states is None:
            states = {}
        states.update(self.states(job_row, [path for path in paths if path not in states]))
        found = {path: states[path] for path in paths if path in states}
        return {path: state["state"] for path, state in found.items()}

    # --- the cross-job index ----------------------------------------------------------------------------------

    def states(self, job_row, paths):
        """{path: {"state", "failing_since", "flips", "run", "window"}} of the given failing nodes of a job.

        Each node's results in this job and in the (at most) `window` earlier jobs of its name where it is
        present, oldest first, pass and fail classes only: `flips` counts the neighbouring pairs that differ;
        the unbroken run of failures ending at this job gives `failing_since` (its first job, however far
        back) and `run` (its length). A node is present in a job where the index holds it, or where its
        section passed (then it passed too: a failing section's nodes are all in the index).

        The earlier jobs are read under their own keys, newest first, a batch of jobs and nodes at a time;
        a node's walk back stops at its section's earliest start (result_paths). Many small lookups: they
        go through the driver's own cursor, where SQLAlchemy's work per statement would cost more."""
        paths = list(paths)
        if not paths:
            return {}
        name, key = job_row["name"], job_row["id"]
        with self._cursor() as cursor:
            own, start = {}, None
            for batch in _batches(paths):
                for path, section, cls, start in self._fetch(
                        cursor, "SELECT path, section, class, start FROM results WHERE job = ? AND path IN (%s)"
                        % ",".join("?" * len(batch)), [key] + batch):
                    own[path] = (section, cls)
            sections = {path: section for path, (section, cls) in own.items() if cls == "fail"}
            if not sections:
                return {}
            seen = self._first_seen(cursor, name, set(sections.values()))
            earlier = self._windows(cursor, name, start, key, sections, seen)
            found, long_runs = {}, []
            for path, history in earlier.items():
                classes = [cls for _, _, cls in reversed(history)] + ["fail"]
                since, run, ended = _run_back(((job, cls) for job, _, cls in history), key)
                if not ended and len(history) >= self.window:
                    # Failing through the whole window: how far back is for the index to say.
                    long_runs.append(path)
                count = triage.flips(classes)
                found[path] = {"state": triage.state_of(count, run), "failing_since": since, "flips": count,
                               "run": run, "window": len(classes)}
            if long_runs:
                runs = self._run_starts(cursor, name, start, key, [
                    (path, sections[path], seen[sections[path]], earlier[path][-1]) for path in long_runs])
                for path, (since, run) in runs.items():
                    found[path].update(state=triage.state_of(found[path]["flips"], run), failing_since=since, run=run)
            return found

    @contextlib.contextmanager
    def _cursor(self):
        """The driver's cursor on a connection of the pool; within one, the same one again: a read of many
        small statements (a history) takes and hands back a connection once."""
        held = getattr(self._held, "cursor", None)
        if held is not None:
            yield held
            return
        with self.storage._guard(), self.engine.connect() as connection:
            cursor = connection.connection.cursor()
            self._held.cursor = cursor
            try:
                yield cursor
            finally:
                self._held.cursor = None
                cursor.close()

    def _fetch(self, cursor, statement, values):
        cursor.execute(statement if self.storage.is_sqlite else statement.replace("?", "%s"), values)
        return cursor.fetchall()

    def _pair(self, op):
        return pair_condition(self.storage.is_sqlite, op)

    def _first_seen(self, cursor, name, sections):
        """{section: its earliest start in the index of `name`, or earlier} of those the index holds."""
        found = {}
        for batch in _batches(sections):
            found.update(self._fetch(cursor, "SELECT path, start FROM result_paths WHERE name = ? AND path IN (%s)"
                                     % ",".join("?" * len(batch)), [name] + batch))
        return found

    def _name_jobs(self, cursor, name, before, bound, limit):
        """[(job, start)] of the newest `limit` jobs of `name` before the pair `before` (start, job),
        none that started before `bound`, newest first."""
        condition, bind = self._pair("<")
        return self._fetch(cursor, "SELECT job, start FROM result_jobs WHERE name = ? AND %s AND start >= ? "
                                   "ORDER BY start DESC, job DESC LIMIT %d" % (condition, limit),
                           (name,) + bind(*before) + (bound,))

    def _probe(self, cursor, jobs, paths):
        """{(job, path): class} of the index rows of the given paths in the given jobs: lookups under each
        job's own key. PostgreSQL hands them over as one JSON value (its driver's cost is per value)."""
        found = {}
        for batch in _batches(paths):
            if self.storage.is_sqlite:
                rows = self._fetch(cursor, "SELECT job, path, class FROM results WHERE job IN (%s) AND path IN (%s)"
                                   % (",".join("?" * len(jobs)), ",".join("?" * len(batch))), list(jobs) + batch)
            else:
                cursor.execute("SELECT json_agg(json_build_array(job, path, class)) FROM results "
                               "WHERE job = ANY(%s) AND path = ANY(%s)", (list(jobs), batch))
                rows = cursor.fetchone()[0] or ()
            for job, path, cls in rows:
                found[(job, path)] = cls
        return found

    def _windows(self, cursor, name, start, key, sections, seen):
        """{path: [(job, start, class)]} of each path's (at most) `window` newest earlier jobs where it is
        present (see states), newest first; `sections` gives each path's section, `seen` their first starts."""
        history = {path: [] for path in sections}
        # A node whose section is new to the name (or came after this job) was in no earlier job.
        pending = {path for path, section in sections.items() if section in seen and seen[section] <= start}
        before, size = (start, key), self.window + 2
        while pending:
            bound = min(seen[sections[path]] for path in pending)
            jobs = self._name_jobs(cursor, name, before, bound, size)
            if not jobs:
                break
            wanted = pending | {sections[path] for path in pending}
            found = self._probe(cursor, [job for job, _ in jobs], wanted)
            for job, when in jobs:
                for path in pending:
                    cls = found.get((job, path))
                    if cls is None and found.get((job, sections[path])) == "pass":
                        cls = "pass"
                    if cls is not None and len(history[path]) < self.window:
                        history[path].append((job, when, cls))
            oldest = jobs[-1][1]
            pending = {path for path in pending
                       if len(history[path]) < self.window and seen[sections[path]] <= oldest}
            if len(jobs) < size:
                break
            # Nodes missing from the newest jobs: look further back in larger steps.
            before, size = (jobs[-1][1], jobs[-1][0]), min(size * 4, 400)
        return history

    def _run_starts(self, cursor, name, start, key, runs):
        """{path: (first job, length)} of the run of failures ending at the job at (start, key) of each
        (path, section, bound, oldest) of `runs`: nodes failing through the whole window (`oldest`, its
        oldest (job, start, class)), none present before `bound`. A node failing in every job of the name
        since it came (two counts over index ranges say so) ran from the first of those jobs; else its run
        starts after the newest job where it (or its section) passed. The failures are read stretch by
        stretch (schema.results); PostgreSQL answers the counts of all the nodes in one statement."""
        epochs = [epoch for (epoch,) in self._fetch(cursor, "SELECT DISTINCT epoch FROM result_jobs WHERE name = ?",
                                                    (name,))]
        upto, bind = self._pair("<=")
        before, bind_before = self._pair("<")
        if self.storage.is_sqlite:
            fails = "name = ? AND epoch IN (%s) AND path = ? AND class = 'fail' AND %s" % (
                ",".join("?" * len(epochs)), upto)
            counted = {}
            for path, _, bound, _ in runs:
                values = (name,) + tuple(epochs) + (path,) + bind(start, key)
                total = self._fetch(cursor, "SELECT count(*) FROM results WHERE " + fails, values)[0][0]
                jobs = self._fetch(cursor, "SELECT count(*) FROM result_jobs WHERE name = ? AND start >= ? AND "
                                   + before, (name, bound) + bind_before(start, key))[0][0]
                first = self._fetch(cursor, "SELECT job FROM result_jobs WHERE name = ? AND start >= ? ORDER BY "
                                    "start, job LIMIT 1", (name, bound))
                counted[path] = (total, jobs, first[0][0] if first else None)
        else:
            fails = ("results.name = %(name)s AND results.epoch = ANY(%(epochs)s) AND results.path = p.path AND "
                     "results.class = 'fail' AND (results.start, results.job) <= (%(start)s, %(key)s)")
            cursor.execute(
                "SELECT p.path, f.total, j.jobs, o.job FROM unnest(%%(paths)s::text[], %%(bounds)s::timestamp[]) "
                "AS p(path, bound) CROSS JOIN LATERAL (SELECT count(*) AS total FROM results WHERE %s) AS f "
                "CROSS JOIN LATERAL (SELECT count(*) AS jobs FROM result_jobs WHERE name = %%(name)s AND start >= "
                "p.bound AND (start, job) < (%%(start)s, %%(key)s)) AS j LEFT JOIN LATERAL (SELECT job FROM "
                "result_jobs WHERE name = %%(name)s AND start >= p.bound ORDER BY start, job LIMIT 1) AS o ON true"
                % fails,
                {"paths": [run[0] for run in runs], "bounds": [run[2] for run in runs], "name": name,
                 "epochs": epochs, "start": start, "key": key})
            counted = {path: (total, jobs, first) for path, total, jobs, first in cursor.fetchall()}
        found = {}
        for path, section, bound, oldest in runs:
            total, jobs, first = counted[path]
            if total == jobs + 1:
                # Failing in every one of those jobs: the first of them is the first failure.
                found[path] = (first if jobs else key, total)
            else:
                found[path] = self._run_after_pass(cursor, name, epochs, path, section, bound, start, key, oldest)
        return found

    def _run_after_pass(self, cursor, name, epochs, path, section, bound, start, key, oldest):
        """(first job, length) of a run of failures (see _run_starts) whose node missed or passed some job
        since it came: back from the window's oldest job to the newest pass, a lookup under each job's
        key, then the failures after it."""
        upto, bind = self._pair("<=")
        if self.storage.is_sqlite:
            fails = "name = ? AND epoch IN (%s) AND path = ? AND class = 'fail' AND " % ",".join("?" * len(epochs))
            values = (name,) + tuple(epochs) + (path,)
        else:
            fails = "name = ? AND epoch = ANY(?) AND path = ? AND class = 'fail' AND "
            values = (name, epochs, path)
        fails += upto
        values += bind(start, key)
        before, bind_before = self._pair("<")
        paths = (path,) if section == path else (path, section)
        passed = self._fetch(
            cursor, "SELECT start, job FROM result_jobs WHERE name = ? AND start >= ? AND %s AND EXISTS "
                    "(SELECT 1 FROM results WHERE results.job = result_jobs.job AND results.path IN (%s) AND "
                    "results.class = 'pass') ORDER BY start DESC, job DESC LIMIT 1"
                    % (before, ",".join("?" * len(paths))),
            (name, bound) + bind_before(oldest[1], oldest[0]) + paths)
        if passed:
            after, bind_after = self._pair(">")
            fails += " AND " + after
            values += bind_after(*passed[0])
        # The first job and the count apart: a count over the index range reads no row, a window would.
        found = self._fetch(cursor, "SELECT job FROM results WHERE %s ORDER BY start, job LIMIT 1" % fails, values)
        if not found:
            return key, 1
        return found[0][0], self._fetch(cursor, "SELECT count(*) FROM results WHERE " + fails, values)[0][0]

    def failure_groups(self, job_row, states=None):
        """The job's leaf failures grouped by signature, each node with its state (see states); groups by
        count, then text. Each group knows the earliest job of any name holding its signature. `states`,
        when given, is a dict of states already found, which gets the leaves' too."""
        r = self.results.c
        leaves = self._rows(select(r.path, r.result, r.reason, r.signature, r.text)
                            .where(r.job == job_row["id"], r.leaf == sqlalchemy_true()))
        states = {} if states is None else states
        states.update(self.states(job_row, [row.path for row in leaves if row.path not in states]))
        groups = {}
        for row in leaves:
            group = groups.setdefault(row.signature, {"signature": row.signature, "text": row.text, "nodes": []})
            state = states.get(row.path, {})
            group["nodes"].append({"path": row.path, "result": row.result, "reason": row.reason,
                                   "state": state.get("state"), "failing_since": state.get("failing_since"),
                                   "flips": state.get("flips"), "run": state.get("run"),
                                   "window": state.get("window")})
        for group in groups.values():
            group["count"] = len(group["nodes"])
            group["nodes"].sort(key=lambda node: node["path"])
            group.update(self.signature_seen(group["signature"]))
        return sorted(groups.values(), key=lambda g: (-g["count"], g["text"] or ""))

    def leaf_reasons(self, job, paths):
        """{path: (signature, reason)} of the given failing nodes of a job: the index's, else the node's own
        reason (nodes above the sections are not in the index)."""
        r = self.results.c
        found = {}
        for batch in _batches(paths):
            for row in self._rows(select(r.path, r.signature, r.reason).where(r.job == job, r.path.in_(batch))):
                found[row.path] = (row.signature, row.reason)
        missing = [p for p in paths if p not in found]
        for row in self.by_path(job, missing):
            reason = reason_of(json.loads(row.data))
            text = triage.signature_text(reason, _lower(row.result), row.type)
            found[row.path] = (triage.signature_of(text, bool(reason)), reason)
        return found

    def signature_seen(self, signature):
        """{"first_seen": key of the earliest job holding it, "jobs_seen": how many jobs hold it}."""
        g = self.signatures.c
        first = self._rows(select(g.job).where(g.signature == signature).order_by(g.start, g.job).limit(1))
        count = self._rows(select(func.count()).select_from(self.signatures).where(g.signature == signature))[0][0]
        return {"first_seen": first[0].job if first else None, "jobs_seen": count}

    def signature_jobs(self, signature, offset=0, limit=50):
        """(text, first_seen, last_seen, [(job, name, start, count)] newest first, total jobs) of a signature."""
        g = self.signatures.c
        newest = self._rows(select(g.job, g.text).where(g.signature == signature)
                            .order_by(g.start.desc(), g.job.desc()).limit(1))
        if not newest:
            return None
        seen = self.signature_seen(signature)
        page = self._rows(select(g.job, g.name, g.start, g["count"]).where(g.signature == signature)
                          .order_by(g.start.desc(), g.job.desc()).offset(offset).limit(limit))
        return newest[0].text, seen["first_seen"], newest[0].job, page, seen["jobs_seen"]

    def node_history(self, name, path, limit=None):
        """{"state", "failing_since", "flips", "run", "window", "passed_before", "results"} of one node over
        the newest `limit` jobs of `name` where it is present (see states), newest first; a job where only its
        section is held, passing, shows the section's result and no reason."""
        limit = limit or self.window
        ids = ids_of(path)
        section = path_of(ids[:triage.SECTION_DEPTH]) if len(ids) >= triage.SECTION_DEPTH else path
        with self._cursor() as cursor:
            seen = self._first_seen(cursor, name, [section])
            results = self._present(name, path, section, limit, seen=seen)
            out = {"state": None, "failing_since": None, "flips": 0, "run": 0, "window": 0, "passed_before": None,
                   "results": [{"job": row.job, "start": row.start, "result": row.result, "reason": row.reason,
                                "signature": row.signature} for row in results]}
            if not results:
                return out
            newest = results[0]
            if newest.cls == "fail" and newest.own:
                out.update(self._history_state(cursor, name, path, section, seen[section], results, limit) or {})
                return out
        window = [row.cls for row in reversed(results[:self.window + 1])]
        out.update(flips=triage.flips(window), window=len(window))
        out["state"] = "flaky" if out["flips"] >= triage.FLAKY_FLIPS else "passing" if newest.cls == "pass" else None
        return out

    def _history_state(self, cursor, name, path, section, seen, results, limit):
        """What states() says of the newest of a node's `results` (newest first, as _present reads them
        with `limit`; the newest a failure of the node itself), with "passed_before", read from those rows
        as far as they reach: the index is asked only of a run of failures or passes going on past them.
        `seen`: the section's earliest start."""
        newest, earlier = results[0], results[1:]
        complete = len(results) < limit          # every job of the name where the node is present
        window = earlier[:self.window]
        if len(window) < self.window and not complete:
            # Fewer rows than the window: states() reads it.
            state = self.states({"id": newest.job, "name": name}, [path]).get(path)
            if state:
                state["passed_before"] = self._passed_before(name, path, section, state["failing_since"])
            return state
        classes = [row.cls for row in reversed(window)] + ["fail"]
        flips = triage.flips(classes)
        since, run, ended = _run_back(((row.job, row.cls) for row in earlier), newest.job)
        if not ended and not complete:
            # No pass among the rows read: the oldest of them bounds the walk back. The times go back to the
            # database in its own form (SQLite compares them as text).
            oldest, stored = earlier[-1], _sqlite_time if self.storage.is_sqlite else (lambda value: value)
            since, run = self._run_starts(cursor, name, stored(newest.start), newest.job, [
                (path, section, seen, (oldest.job, stored(oldest.start), oldest.cls))])[path]
        after = next((results[at + 1:at + 1 + PASSED_LOOKED] for at, row in enumerate(results) if row.job == since),
                     None)
        passed, decided = 0, after is not None and (complete or len(after) == PASSED_LOOKED)
        for row in after or ():
            if row.cls == "fail":
                decided = True
                break
            passed += row.cls == "pass"
        if not decided:
            passed = self._passed_before(name, path, section, since, seen={section: seen})
        return {"state": triage.state_of(flips, run), "failing_since": since, "flips": flips, "run": run,
                "window": len(classes), "passed_before": passed}

    def _present(self, name, path, section, limit, before=None, seen=None):
        """The node's results in the newest `limit` jobs of `name` where it is present (before the pair
        `before`, (start, job), if given), newest first: `PresentRow`s, a job where only its section is held,
        passing, with the section's result. One lookup under each job's key, walking the name's jobs back
        to its section's earliest start; a history of 1,000 jobs comes straight from the driver's cursor
        (SQLAlchemy's rows cost more than the lookups), on PostgreSQL as one JSON value (its driver's cost is
        per value handed over). `seen`: {section: earliest start} when known (_first_seen)."""
        with self._cursor() as cursor:
            if seen is None:
                seen = self._first_seen(cursor, name, [section])
            if section not in seen:
                return []
            where, values = "j.name = ? AND j.start >= ?", (name, seen[section])
            if before is not None:
                condition, bind = self._pair("<")
                where += " AND " + condition.replace("start", "j.start").replace("job", "j.job")
                values += bind(*before)
            if section == path:
                columns = "j.job, j.start, r.class, r.result, r.reason, r.signature, 1"
                joined = "JOIN results r ON r.job = j.job AND r.path = ?"
                values = (path,) + values
            else:
                columns = ("j.job, j.start, COALESCE(r.class, s.class), COALESCE(r.result, s.result), r.reason, "
                           "r.signature, CASE WHEN r.job IS NULL THEN 0 ELSE 1 END")
                joined = ("LEFT JOIN results r ON r.job = j.job AND r.path = ? LEFT JOIN results s ON r.job IS NULL "
                          "AND s.job = j.job AND s.path = ? AND s.class = 'pass'")
                where += " AND (r.job IS NOT NULL OR s.job IS NOT NULL)"
                values = (path, section) + values
            statement = ("SELECT %s FROM result_jobs j %s WHERE %s ORDER BY j.start DESC, j.job DESC LIMIT %d"
                         % (columns, joined, where, limit))
            if self.storage.is_sqlite:
                rows = self._fetch(cursor, statement, values)
            else:
                # Arrays of text: json_build_array sorts out each value's type anew on every row. The rows
                # come in the subquery's order, which an aggregate need not keep: sorted here again (their
                # times are text of one width), at less cost than an ORDER BY in the aggregate.
                statement = ("SELECT json_agg(ARRAY[job, to_char(start, 'YYYY-MM-DD HH24:MI:SS.US'), cls, result, "
                             "reason, signature, own::text]) FROM (%s) AS p(job, start, cls, result, reason, "
                             "signature, own)" % statement)
                rows = sorted(self._fetch(cursor, statement, values)[0][0] or (), key=_START_JOB, reverse=True)
        # Both keep the times here as text in one form (as SQLAlchemy writes them to SQLite).
        parse = datetime.datetime.fromisoformat
        return [PresentRow(job, parse(when), cls, result, reason, signature, own in (1, "1"))
                for job, when, cls, result, reason, signature, own in rows]

    def _passed_before(self, name, path, section, since, seen=None):
        """How many jobs in a row passed just before the job `since` (up to PASSED_LOOKED looked at); `seen`
        as for _present."""
        with self._cursor() as cursor:
            found = self._fetch(cursor, "SELECT start FROM result_jobs WHERE job = ?", (since,))
        if not found:
            return 0
        count = 0
        for row in self._present(name, path, section, PASSED_LOOKED, before=(found[0][0], since), seen=seen):
            if row.cls == "fail":
                break
            if row.cls == "pass":
                count += 1
        return count

    def history(self, name, path, limit=None):
        """[(job row, result or None, reason or None)] of the node at `path` in the newest jobs of `name`."""
        jobs = self.recent_jobs(name, limit or self.window)
        found = self.results_in([row.id for row in jobs], [path])
        out = []
        for row in jobs:
            result, data = found.get((row.id, path), (None, None))
            reason = None
            if data is not None:
                reason = reason_of(json.loads(data))
            out.append((row, result, reason, data is not None))
        return out

    def section_times(self, job_ids, paths):
        """{(job, path): run time} of the given sections."""
        found = {}
        n = self.nodes.c
        for jobs in _batches(job_ids):
            for batch in _batches(paths):
                for row in self._rows(select(n.job, n.path, n.runtime)
                                      .where(n.job.in_(jobs), n.path.in_(batch))):
                    found[(row.job, row.path)] = row.runtime
        return found

    # --- two jobs -----------------------------------------------------------------------------------------------

    def document(self, job):
        """The job's tree as a stored report holds it, with only ids, types, results and run times:
        what a comparison reads."""
        n = self.nodes.c
        rows = self._rows(select(n.path, n.parent, n.position, n.type, n.result, n.runtime)
                          .where(n.job == job).order_by(n.depth, n.parent, n.position))
        made = {}
        report = None
        for row in rows:
            ids = ids_of(row.path)
            node = {"id": ids[-1] if ids else None, "type": row.type, "runtime": row.runtime}
            if row.result is not None:
                node["result"] = {"value": row.result}
            made[row.path] = node
            if not ids:
                report = node
                continue
            parent = made.get(row.parent)
            if parent is not None:
                parent.setdefault("tasks" if parent is report else "sections", []).append(node)
        return {"report": report or {"tasks": []}}

    def compare(self, old_job, new_job, threshold=1.0):
        """What changed from old_job to new_job, each new failure with its reason now and each fix with the
        reason it had (the documents compared carry no reasons: they are read for the listed nodes only)."""
        comparison = Comparison(self.document(old_job), self.document(new_job), threshold=threshold)
        for job, listed in ((new_job, [node for node, _ in comparison.new_failures]),
                            (old_job, [was for _, was in comparison.fixes])):
            if not listed:
                continue
            paths = {".".join(str(i) for i in ids_of(path)): path for path in self.failing(job)}
            reasons = self.leaf_reasons(job, [paths[n.path] for n in listed if n.path in paths])
            for node in listed:
                found = reasons.get(paths.get(node.path))
                reason = found[1] if found else None
                node.reason = reason if reason is None or isinstance(reason, str) else json.dumps(reason)
        return comparison


def _pretty(value):
    return value if isinstance(value, str) else json.dumps(value, indent=2, ensure_ascii=False)


def search_text(node):
    """The lower-cased text a search reads of a node, as the page's own search does."""
    details = node.get("details")
    if isinstance(details, list):
        details = "\n".join(_pretty(d) for d in details)
    elif details is None:
        details = ""
    else:
        details = _pretty(details)
    reason = reason_of(node)
    parts = [node.get("id"), node.get("name"), node.get("description"), reason, details]
    return "\n".join("" if p is None else _pretty(p) if not isinstance(p, str) else p for p in parts).lower()


def _names(row, wanted):
    """Whether the node row is the one the step `wanted` names: an id as text (the first sibling of that
    id), or {"id": ID, "position": N} (a sibling by its position)."""
    step = ids_of(row.path)[-1]
    if isinstance(wanted, dict):
        return isinstance(step, dict) and row.position == wanted["position"] and str(step["id"]) == wanted["id"]
    return not isinstance(step, dict) and str(step) == wanted
