"""What the pages ask of the stored jobs: a job's rows as its tree opens, its
failures and whether each is new, known or flaky, a node's results across the
recent jobs of one name, trends over those jobs, and the nodes of two jobs to
compare. Reads only, through the storage layer's engine and tables; knows
nothing of HTTP.

Paths are the storage's: the id list as compact JSON (``[]`` is the run set).
"""
import collections
import datetime
import json

from sqlalchemy import and_, func, or_, select, text, true as sqlalchemy_true

from kovra.reporter.compare import Comparison
from kovra.reporter.format import PROBLEM_RESULTS as PROBLEMS, ids_of, path_of  # noqa: F401 (the pages')
from kovra.reporter.server.intake import _unmarked
from kovra.reporter.server import schema, triage
from kovra.reporter.server.storage import _sqlite_time as sqlite_time
from kovra.reporter.server.triage import reason_of

# Failures in a page's failure list, and rows the job page carries before the reader opens anything.
FAILURE_LIST = 50
FIRST_ROWS = 300
SEARCH_HITS = 500
# Before every job: where a run of failures with no pass before it starts looking.
EARLIEST = datetime.datetime(1900, 1, 1)
# Keeps each IN (...) list well inside what every database takes.
IN_BATCH = 500
# Named tuple types of index rows, by their columns (_node_rows).
_ROW_TYPES = {}


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
                          .order_by(n.runtime.desc()).limit(limit))

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

        Many small indexed lookups: they go through the driver's own cursor, where SQLAlchemy's work per
        statement would cost more than the lookup, and PostgreSQL takes each batch as one statement."""
        paths = list(paths)
        if not paths:
            return {}
        name, key = job_row["name"], job_row["id"]
        with self.storage._guard(), self.engine.connect() as connection:
            cursor = connection.connection.cursor()
            try:
                own, start = {}, None
                for batch in _batches(paths):
                    cursor.execute(self._sql("SELECT path, section, class, start FROM results WHERE job = ? "
                                             "AND path IN (%s)" % ",".join("?" * len(batch))), [key] + batch)
                    for path, section, cls, start in cursor.fetchall():
                        own[path] = (section, cls)
                if not own:
                    return {}
                earlier = {path: {} for path in own}
                # Each node's newest results before this job (newest first, so a lookup stops after the
                # window), and its section's passes where it is deeper.
                for path, rows in self._newest(cursor, name, list(own), start, key, False):
                    for job, when, cls in rows:
                        earlier[path][job] = (when, cls)
                deeper = {}
                for path, (section, _) in own.items():
                    if section != path:
                        deeper.setdefault(section, []).append(path)
                for section, rows in self._newest(cursor, name, list(deeper), start, key, True):
                    for path in deeper[section]:
                        for job, when, _ in rows:
                            earlier[path].setdefault(job, (when, "pass"))
                found, long_runs = {}, []
                for path, seen in earlier.items():
                    if own[path][1] != "fail":
                        continue
                    history = sorted(seen.items(), key=lambda item: (item[1][0], item[0]))[-self.window:]
                    classes = [cls for _, (_, cls) in history] + ["fail"]
                    since, run, ended = key, 1, False
                    for job, (_, cls) in reversed(history):
                        if cls == "pass":
                            ended = True
                            break
                        if cls == "fail":
                            since, run = job, run + 1
                    if not ended and len(history) >= self.window:
                        # Failing through the whole window: the index says how far back.
                        long_runs.append((path, own[path][0]))
                    count = triage.flips(classes)
                    found[path] = {"state": triage.state_of(count, run), "failing_since": since, "flips": count,
                                   "run": run, "window": len(classes)}
                for path, (since, run) in self._run_starts(cursor, name, long_runs, start, key):
                    found[path].update(state=triage.state_of(found[path]["flips"], run), failing_since=since,
                                       run=run)
                return found
            finally:
                cursor.close()

    def _sql(self, text):
        return text if self.storage.is_sqlite else text.replace("?", "%s")

    def _newest(self, cursor, name, paths, start, key, passes):
        """Yields (path, [(job, start, class)]) of each path's newest `window` index rows (passes only with
        `passes`) before the job at (start, key)."""
        only = " AND class = 'pass'" if passes else ""
        if self.storage.is_sqlite:
            statement = ("SELECT job, start, class FROM results WHERE name = ? AND path = ? AND "
                         "(start < ? OR (start = ? AND job < ?))%s ORDER BY start DESC, job DESC LIMIT %d"
                         % (only, self.window))
            for path in paths:
                cursor.execute(statement, (name, path, start, start, key))
                yield path, cursor.fetchall()
            return
        statement = ("SELECT p.path, r.job, r.start, r.class FROM unnest(%%s::text[]) AS p(path) CROSS JOIN LATERAL "
                     "(SELECT job, start, class FROM results WHERE name = %%s AND path = p.path AND "
                     "(start, job) < (%%s, %%s)%s ORDER BY start DESC, job DESC LIMIT %d) AS r"
                     % (only, self.window))
        for batch in _batches(paths):
            cursor.execute(statement, (batch, name, start, key))
            rows = {path: [] for path in batch}
            for path, job, when, cls in cursor.fetchall():
                rows[path].append((job, when, cls))
            yield from rows.items()

    def _run_starts(self, cursor, name, paths, start, key):
        """Yields (path, (first job, length)) of the run of failures ending at the job at (start, key) of each
        (path, section) of `paths`, past the window: the failures after the newest job where the node (or
        its section) passed. PostgreSQL answers a batch in one statement."""
        if self.storage.is_sqlite:
            for path, section in paths:
                yield path, self._run_start(cursor, name, path, section, start, key)
            return
        after = "(start, job) > (COALESCE(pa.start, '-infinity'::timestamp), COALESCE(pa.job, ''))"
        fails = ("results.name = %%(name)s AND results.path = p.path AND results.class = 'fail' AND "
                 "(results.start, results.job) <= (%%(start)s, %%(key)s) AND %s" % after.replace(
                     "(start, job)", "(results.start, results.job)"))
        newest_pass = ("(SELECT start, job FROM results WHERE name = %%(name)s AND path = %s AND class = 'pass' AND "
                       "(start, job) < (%%(start)s, %%(key)s) ORDER BY start DESC, job DESC LIMIT 1)")
        statement = (
            "SELECT p.path, f.job, c.run FROM unnest(%%(paths)s::text[], %%(sections)s::text[]) AS p(path, section) "
            "LEFT JOIN LATERAL (SELECT start, job FROM (%s UNION ALL %s) AS passes "
            "ORDER BY start DESC, job DESC LIMIT 1) AS pa ON true "
            "LEFT JOIN LATERAL (SELECT results.job FROM results WHERE %s "
            "ORDER BY results.start, results.job LIMIT 1) AS f ON true "
            "LEFT JOIN LATERAL (SELECT count(*) AS run FROM results WHERE %s) AS c ON true"
            % (newest_pass % "p.path", newest_pass % "p.section", fails, fails))
        for batch in _batches(paths):
            cursor.execute(statement, {"paths": [p for p, _ in batch], "sections": [s for _, s in batch],
                                       "name": name, "start": start, "key": key})
            for path, job, run in cursor.fetchall():
                yield path, ((job, run) if job is not None else (key, 1))

    def _run_start(self, cursor, name, path, section, start, key):
        """(first job, length) of the run of failures ending at the job at (start, key), past the window
        (see _run_starts), on SQLite: each lookup is a call into the library, no round trip."""
        passed = None
        for where in {path, section}:
            cursor.execute(self._sql("SELECT start, job FROM results WHERE name = ? AND path = ? AND class = 'pass' "
                                     "AND (start < ? OR (start = ? AND job < ?)) ORDER BY start DESC, job DESC "
                                     "LIMIT 1"), (name, where, start, start, key))
            row = cursor.fetchone()
            if row is not None and (passed is None or tuple(row) > passed):
                passed = tuple(row)
        where = "name = ? AND path = ? AND class = 'fail' AND (start < ? OR (start = ? AND job <= ?))"
        values = (name, path, start, start, key)
        if passed is not None:
            where += " AND (start > ? OR (start = ? AND job > ?))"
            values += (passed[0], passed[0], passed[1])
        # The first job and the count apart: a count over the index range reads no row, a window would.
        cursor.execute(self._sql("SELECT job FROM results WHERE %s ORDER BY start, job LIMIT 1" % where), values)
        first = cursor.fetchone()
        if first is None:
            return key, 1
        cursor.execute(self._sql("SELECT count(*) FROM results WHERE " + where), values)
        return first[0], cursor.fetchone()[0]

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
        rows = self._node_rows("job, path, start, class, result, reason, signature", "", (name,), path, section,
                               2 * limit)
        by_job = {}
        for row in rows:
            if row.path == path or row.job not in by_job:
                by_job[row.job] = row
        results = sorted(by_job.values(), key=lambda row: (row.start, row.job), reverse=True)[:limit]
        out = {"state": None, "failing_since": None, "flips": 0, "run": 0, "window": 0, "passed_before": None,
               "results": [{"job": row.job, "start": row.start, "result": row.result,
                            "reason": row.reason if row.path == path else None,
                            "signature": row.signature if row.path == path else None} for row in results]}
        if not results:
            return out
        newest = results[0]
        job_row = {"id": newest.job, "name": name}
        if newest.cls == "fail" and newest.path == path:
            state = self.states(job_row, [path]).get(path)
            if state:
                out.update(state)
                out["passed_before"] = self._passed_before(name, path, section, state["failing_since"])
        else:
            window = [row.cls for row in reversed(results[:self.window + 1])]
            out.update(flips=triage.flips(window), window=len(window))
            out["state"] = "flaky" if out["flips"] >= triage.FLAKY_FLIPS else \
                "passing" if newest.cls == "pass" else None
        return out

    def _node_rows(self, columns, where, values, path, section, limit):
        """The newest `limit` index rows of `name` (values[0]; `where` narrows them further, binding the rest
        of `values`) that are the node's or its section's passes, newest first (the node's own first in a job
        that has both): named tuples of `columns` ("class" read as "cls"). Two ordered lookups: one over both
        paths at once would read every row of the name. A history of 1,000 jobs reads thousands of rows: they
        come straight from the driver's cursor, SQLAlchemy's rows cost more than the lookup."""
        names = tuple("cls" if c == "class" else c for c in columns.replace(" ", "").split(","))
        made = _ROW_TYPES.get(names)
        if made is None:
            made = _ROW_TYPES[names] = collections.namedtuple("IndexRow", names)
        statement = ("SELECT %s FROM results WHERE name = ? AND path = ?%s{} ORDER BY start DESC, job DESC LIMIT %d"
                     % (columns, where, limit))
        if not self.storage.is_sqlite:
            # One JSON value for all the rows: PostgreSQL's driver spends more on each value it hands over
            # than the database spends finding the row.
            listed = columns.replace("start", "to_char(start, 'YYYY-MM-DD HH24:MI:SS.US')")
            statement = ("SELECT json_agg(json_build_array(%s) ORDER BY start DESC, job DESC) FROM (%s) AS r"
                         % (listed, statement))
        times = names.index("start")
        with self.storage._guard(), self.engine.connect() as connection:
            cursor = connection.connection.cursor()
            try:
                found = []
                for where_more, key in (("", path), (" AND class = 'pass'", section)):
                    if where_more and section == path:
                        break
                    cursor.execute(self._sql(statement.format(where_more)), (values[0], key) + tuple(values[1:]))
                    if self.storage.is_sqlite:
                        found += cursor.fetchall()
                    else:
                        found += map(tuple, cursor.fetchone()[0] or ())
            finally:
                cursor.close()
        # Both keep the times here as text in one form (as SQLAlchemy writes them to SQLite).
        parse = datetime.datetime.fromisoformat
        found = [row[:times] + (parse(row[times]),) + row[times + 1:] for row in found]
        rows = [made._make(row) for row in found]
        if section != path:
            rows.sort(key=lambda row: (row.start, row.job, row.path == path), reverse=True)
        return rows[:limit]

    def _passed_before(self, name, path, section, since):
        """How many jobs in a row passed just before the job `since` (up to 1,000 looked at)."""
        r = self.results.c
        first = self._rows(select(r.start).where(r.job == since, r.path == path))
        if not first:
            return 0
        start = first[0].start
        if self.storage.is_sqlite:
            start = sqlite_time(start)
        rows = self._node_rows("job, path, start, class", " AND (start < ? OR (start = ? AND job < ?))",
                               (name, start, start, since), path, section, 2000)
        count, seen = 0, set()
        for row in rows:
            if row.job in seen:
                continue
            seen.add(row.job)
            if row.cls == "fail":
                break
            if row.cls == "pass":
                count += 1
            if len(seen) >= 1000:
                break
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
