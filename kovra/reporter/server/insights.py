"""What the pages ask of the stored jobs: a job's rows as its tree opens, its
failures and whether each is new, known or flaky, a node's results across the
recent jobs of one name, trends over those jobs, and the nodes of two jobs to
compare. Reads only, through the storage layer's engine and tables; knows
nothing of HTTP.

Paths are the storage's: the id list as compact JSON (``[]`` is the run set).
"""
import json

from sqlalchemy import and_, func, or_, select

from kovra.reporter.compare import Comparison
from kovra.reporter.format import PROBLEM_RESULTS as PROBLEMS, ids_of, path_of  # noqa: F401 (the pages')
from kovra.reporter.server.intake import _unmarked

# Failures in a page's failure list, and rows the job page carries before the reader opens anything.
FAILURE_LIST = 200
FIRST_ROWS = 1500
SEARCH_HITS = 500
# Keeps each IN (...) list well inside what every database takes.
IN_BATCH = 500


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
        for batch in _batches(parents):
            found.extend(self._rows(select(*self._node_columns())
                                    .where(self.nodes.c.job == job, self.nodes.c.parent.in_(batch))
                                    .order_by(self.nodes.c.depth, self.nodes.c.parent, self.nodes.c.position)))
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
            match = [row for row in level if str(ids_of(row.path)[-1]) == wanted]
            if not match or depth == len(ids) - 1:
                break
            parent = match[0].path
        return found

    def failing(self, job):
        """{path: result} of every node of `job` whose own result is a failure."""
        rows = self._rows(select(self.nodes.c.path, self.nodes.c.result)
                          .where(self.nodes.c.job == job, self.nodes.c.result.isnot(None)))
        return {row.path: _lower(row.result) for row in rows if _lower(row.result) in PROBLEMS}

    def result_counts(self, job):
        """How many nodes of `job` hold each result."""
        counts = {}
        for result, count in self._rows(select(self.nodes.c.result, func.count())
                                        .where(self.nodes.c.job == job, self.nodes.c.result.isnot(None))
                                        .group_by(self.nodes.c.result)):
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
            when = self._rows(select(self._when()).where(j.id == before["id"]))[0][0]
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

    def marks(self, job_row, paths):
        """{path: "new" | "known" | "flaky"} for failing nodes of a job, from the earlier jobs
        of its name within the window: flaky when it both passed and failed there, known when
        it failed there, new when it did not."""
        paths = list(paths)
        if not paths:
            return {}
        earlier = [row.id for row in self.recent_jobs(job_row["name"], self.window - 1, before=job_row)]
        before = self.results_in(earlier, paths)
        marks = {}
        for path in paths:
            seen = {before[(job, path)][0] for job in earlier if (job, path) in before}
            failed = bool(seen & PROBLEMS)
            passed = "passed" in seen
            marks[path] = "flaky" if failed and passed else "known" if failed else "new"
        return marks

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
        return Comparison(self.document(old_job), self.document(new_job), threshold=threshold)


def reason_of(node):
    """A node's failure reason: its result's, else a "reason" in its extra data."""
    result = node.get("result")
    if isinstance(result, dict) and result.get("reason") not in (None, ""):
        return result["reason"]
    extra = node.get("extra")
    if isinstance(extra, dict) and isinstance(extra.get("reason"), str):
        return extra["reason"]
    return None


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
