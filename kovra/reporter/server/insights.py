"""What the pages ask of the stored jobs: a job's rows as its tree opens, its
failures and whether each is new, known or flaky, a node's results across the
recent jobs of one name, trends over those jobs, and the nodes of two jobs to
compare. Reads only, through the storage layer's engine and tables; knows
nothing of HTTP.

Paths are the storage's: the id list as compact JSON (``[]`` is the run set).
"""
import datetime
import json

from sqlalchemy import and_, bindparam, func, or_, select, true as sqlalchemy_true

from kovra.reporter.compare import Comparison
from kovra.reporter.format import PROBLEM_RESULTS as PROBLEMS, ids_of, path_of  # noqa: F401 (the pages')
from kovra.reporter.server.intake import _unmarked
from kovra.reporter.server import triage
from kovra.reporter.server.triage import reason_of

# Failures in a page's failure list, and rows the job page carries before the reader opens anything.
FAILURE_LIST = 200
FIRST_ROWS = 1500
SEARCH_HITS = 500
# Before every job: where a run of failures with no pass before it starts looking.
EARLIEST = datetime.datetime(1900, 1, 1)
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
        self.results = storage.tables.results
        self.signatures = storage.tables.signatures
        self.window = window
        self._run_statements = None

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
            match = [row for row in level if _names(row, wanted)]
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

    def marks(self, job_row, paths):
        """{path: "new" | "failing" | "flaky"} for failing nodes of a job, from the cross-job index
        (see states); a node the index does not hold (above the sections) has no mark."""
        found = self.states(job_row, paths)
        return {path: state["state"] for path, state in found.items()}

    # --- the cross-job index ----------------------------------------------------------------------------------

    def _index_when(self, job_row):
        """The job's place among its name's jobs, as the index orders them: (start, key)."""
        r = self.results.c
        found = self._rows(select(r.start).where(r.job == job_row["id"]).limit(1))
        if found:
            return found[0][0], job_row["id"]
        return self._rows(select(self._when()).where(self.jobs.c.id == job_row["id"]))[0][0], job_row["id"]

    def _before(self, when, inclusive=False):
        """Index rows of jobs ordered before the job at `when` ((start, key)), or at it with `inclusive`."""
        r = self.results.c
        start, key = when
        same = r.job <= key if inclusive else r.job < key
        return or_(r.start < start, and_(r.start == start, same))

    def states(self, job_row, paths):
        """{path: {"state", "failing_since", "flips", "run", "window"}} of the given failing nodes of a job.

        Each node's results in this job and in the (at most) `window` earlier jobs of its name where it is
        present, oldest first, pass and fail classes only: `flips` counts the neighbouring pairs that differ;
        the unbroken run of failures ending at this job gives `failing_since` (its first job, however far
        back) and `run` (its length). A node is present in a job where the index holds it, or where its
        section passed (then it passed too: a failing section's nodes are all in the index)."""
        r = self.results.c
        paths = list(paths)
        if not paths:
            return {}
        name = job_row["name"]
        own = {}
        for batch in _batches(paths):
            for row in self._rows(select(r.path, r.section, r["class"]).where(r.job == job_row["id"],
                                                                              r.path.in_(batch))):
                own[row.path] = (row.section, row[2])
        if not own:
            return {}
        when = self._index_when(job_row)
        earlier = {path: {} for path in own}
        # Each node's newest results before this job, one indexed lookup apiece (newest first, so the
        # lookup stops after the window), and its section's passes where it is deeper.
        start, key = when
        before = or_(r.start < bindparam("t"), and_(r.start == bindparam("t"), r.job < bindparam("j")))
        newest = (select(r.job, r.start, r["class"].label("cls")).where(r.name == bindparam("name"),
                                                                         r.path == bindparam("path"), before)
                  .order_by(r.start.desc(), r.job.desc()).limit(self.window))
        passes = newest.where(r["class"] == "pass")
        with self.engine.connect() as connection:
            for path, (section, _) in own.items():
                values = {"name": name, "path": path, "t": start, "j": key}
                for row in connection.execute(newest, values):
                    earlier[path][row.job] = (row.start, row.cls)
                if section != path:
                    for row in connection.execute(passes, dict(values, path=section)):
                        earlier[path].setdefault(row.job, (row.start, "pass"))
        found = {}
        long_runs = []
        for path, seen in earlier.items():
            history = sorted(seen.items(), key=lambda item: (item[1][0], item[0]), reverse=True)[:self.window]
            classes = [cls for _, (_, cls) in reversed(history)] + [own[path][1]]
            if own[path][1] != "fail":
                continue
            since, run, ended = job_row["id"], 1, False
            for job, (_, cls) in history:
                if cls == "pass":
                    ended = True
                    break
                if cls == "fail":
                    since, run = job, run + 1
            if not ended and len(history) >= self.window:
                long_runs.append(path)
                continue
            count = triage.flips(classes)
            found[path] = {"state": triage.state_of(count, run), "failing_since": since, "flips": count,
                           "run": run, "window": len(classes)}
        if long_runs:
            # Failing through the whole window: the index says how far back, on one connection.
            with self.engine.connect() as connection:
                for path in long_runs:
                    history = sorted(earlier[path].items(), key=lambda item: (item[1][0], item[0]))[-self.window:]
                    classes = [cls for _, (_, cls) in history] + ["fail"]
                    since, run = self._run_start(name, path, own[path][0], when, job_row["id"], 1, connection)
                    count = triage.flips(classes)
                    found[path] = {"state": triage.state_of(count, run), "failing_since": since, "flips": count,
                                   "run": run, "window": len(classes)}
        return found

    def _run_lookups(self):
        """The two statements that find a run of failures past the window: the newest pass before the job
        (of the node or its section), and the first failure after it with how many there are."""
        if self._run_statements is None:
            r = self.results.c
            t, j = bindparam("t"), bindparam("j")
            before = or_(r.start < t, and_(r.start == t, r.job < j))
            passed = (select(r.start, r.job)
                      .where(r.name == bindparam("name"), or_(r.path == bindparam("path"), r.path == bindparam("section")),
                             r["class"] == "pass", before)
                      .order_by(r.start.desc(), r.job.desc()).limit(1))
            pt, pj = bindparam("pt"), bindparam("pj")
            first = (select(r.job, func.count().over().label("run"))
                     .where(r.name == bindparam("name"), r.path == bindparam("path"), r["class"] == "fail",
                            or_(r.start < t, and_(r.start == t, r.job <= j)),
                            or_(r.start > pt, and_(r.start == pt, r.job > pj)))
                     .order_by(r.start, r.job).limit(1))
            self._run_statements = passed, first
        return self._run_statements

    def _run_start(self, name, path, section, when, since, run, connection=None):
        """(first job, length) of the run of failures ending at `when`, past the window: the failures
        after the newest job where the node (or its section) passed. Two indexed lookups."""
        if connection is None:
            with self.engine.connect() as connection:
                return self._run_start(name, path, section, when, since, run, connection)
        passed_at, first_after = self._run_lookups()
        values = {"name": name, "path": path, "section": section, "t": when[0], "j": when[1]}
        passed = connection.execute(passed_at, values).first()
        values.update(pt=passed.start if passed else EARLIEST, pj=passed.job if passed else "")
        first = connection.execute(first_after, values).first()
        return (first.job, first.run) if first is not None else (since, run)

    def failure_groups(self, job_row):
        """The job's leaf failures grouped by signature, each node with its state (see states); groups by
        count, then text. Each group knows the earliest job of any name holding its signature."""
        r = self.results.c
        leaves = self._rows(select(r.path, r.result, r.reason, r.signature, r.text)
                            .where(r.job == job_row["id"], r.leaf == sqlalchemy_true()))
        states = self.states(job_row, [row.path for row in leaves])
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
        r = self.results.c
        limit = limit or self.window
        ids = ids_of(path)
        section = path_of(ids[:triage.SECTION_DEPTH]) if len(ids) >= triage.SECTION_DEPTH else path
        wanted = or_(r.path == path, and_(r.path == section, r["class"] == "pass"))
        rows = self._rows(select(r.job, r.path, r.start, r["class"].label("cls"), r.result, r.reason, r.signature)
                          .where(r.name == name, wanted).order_by(r.start.desc(), r.job.desc()).limit(2 * limit))
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

    def _passed_before(self, name, path, section, since):
        """How many jobs in a row passed just before the job `since` (up to 1,000 looked at)."""
        r = self.results.c
        first = self._rows(select(r.start).where(r.job == since, r.path == path))
        if not first:
            return 0
        wanted = or_(r.path == path, and_(r.path == section, r["class"] == "pass"))
        rows = self._rows(select(r.job, r.path, r["class"].label("cls")).where(
            r.name == name, wanted, self._before((first[0].start, since)))
            .order_by(r.start.desc(), r.job.desc()).limit(2000))
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
