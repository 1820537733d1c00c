"""Shards as one run: jobs that name the same group are read, counted and judged together.

    GET /api/groups                  one row per group: its jobs, summed counts, verdict, state
    GET /api/groups/{group}          {"group", "jobs": [{"id", "name", "state", "counts", ...}], "counts",
                                      "passed", "state", "failures": [{"job", "path", "type", "result", "reason"}]}
    GET /groups/{group}              the same as a page (made in web.py): each job, its tasks, the failures

A job joins a group through ``?group=NAME`` on its sends (``ServerClient(url, job, group=...)``,
``upload --group``); a later send without one leaves it where it was.
"""
import hashlib
import json

import sqlalchemy
from sqlalchemy import func, select
from starlette.routing import Route

from kovra.reporter.server import schema
from kovra.reporter.server.api import JOB_KEY, HTTPProblem, JSONResponse
from kovra.reporter.server.storage import job_row

FAILING = ("failed", "errored", "aborted")
# Failures listed on a group's page and in its JSON, at most.
MAX_FAILURES = 500


def group_param(request, settings):
    group = request.query_params.get("group") or None
    if group is not None:
        check_group(group, settings)
    return group


def check_group(group, settings):
    if len(group) > settings.max_job_key or not JOB_KEY.match(group):
        raise HTTPProblem(400, "%r is not a group name (1 to %d letters, digits and . _ : @ + = , ~ -, "
                               "starting with a letter or digit)" % (group[:80], settings.max_job_key))
    return group


def apply_group(snapshot, group):
    """The snapshot joins `group`; the same report sent to another group is a new snapshot."""
    if group is not None:
        snapshot.job["group"] = group
        snapshot.digest = hashlib.sha256(("%s\0group\0%s" % (snapshot.digest, group)).encode()).hexdigest()
    return snapshot


def summed(rows):
    counts = {}
    for row in rows:
        for key, value in (row.get("counts") or {}).items():
            if key != "success_rate" and isinstance(value, int):
                counts[key] = counts.get(key, 0) + value
    from kovra.reporter.server.junit_in import summary
    if counts:
        counts = summary({k: v for k, v in counts.items() if k != "total"})
    return counts


def verdict(rows, counts):
    return bool(rows) and not any(counts.get(name) for name in FAILING)


def _reason(data):
    result = data.get("result")
    reason = result.get("reason") if isinstance(result, dict) else None
    if reason in (None, "") and isinstance(data.get("extra"), dict):
        reason = data["extra"].get("reason")
    return reason if isinstance(reason, str) else (json.dumps(reason) if reason is not None else None)


def read_group(storage, group):
    """The group's jobs (by key), each with its tasks, summed counts, verdict and leaf failures; None if empty."""
    jobs, nodes = schema.jobs, schema.nodes
    columns = [c for c in jobs.c if c.name != "digest"]
    with storage._guard(), storage.engine.connect() as connection:
        rows = [job_row(r) for r in connection.execute(select(*columns).where(jobs.c.group == group)
                                                       .order_by(jobs.c.id))]
        if not rows:
            return None
        keys = [row["id"] for row in rows]
        tasks = {}
        for job, data in connection.execute(select(nodes.c.job, nodes.c.data)
                                            .where(nodes.c.job.in_(keys), nodes.c.depth == 1)
                                            .order_by(nodes.c.job, nodes.c.position)):
            node = json.loads(data)
            summary = node.get("summary") if isinstance(node.get("summary"), dict) else {}
            result = node.get("result")
            result = result.get("value") if isinstance(result, dict) else result
            if result is None:
                result = next((name for name in ("errored", "aborted", "failed", "blocked", "passx", "passed",
                                                 "skipped") if summary.get(name)), None)
            tasks.setdefault(job, []).append({"id": node.get("id"), "type": node.get("type"), "result": result,
                                              "counts": {k: v for k, v in summary.items() if k != "success_rate"}})
        failing = connection.execute(
            select(nodes.c.job, nodes.c.path, nodes.c.parent, nodes.c.type, nodes.c.result, nodes.c.data)
            .where(nodes.c.job.in_(keys), nodes.c.result.in_(FAILING), nodes.c.depth >= 2)
            .order_by(nodes.c.job, nodes.c.depth.desc()).limit(MAX_FAILURES * 4)).all()
    # Leaf failures: a failing node none of whose failing descendants were found.
    above = {(row.job, row.parent) for row in failing}
    failures = [{"job": row.job, "path": json.loads(row.path), "type": row.type, "result": row.result,
                 "reason": _reason(json.loads(row.data))}
                for row in failing if (row.job, row.path) not in above][:MAX_FAILURES]
    failures.sort(key=lambda f: (keys.index(f["job"]), f["path"]))
    for row in rows:
        row["tasks"] = tasks.get(row["id"], [])
    counts = summed(rows)
    return {"group": group, "jobs": rows, "counts": counts, "passed": verdict(rows, counts),
            "state": "running" if any(r["state"] == "running" for r in rows) else "finished",
            "failures": failures}


def list_groups(storage, limit=500):
    jobs = schema.jobs
    statement = (select(jobs.c.group, func.count(), func.max(jobs.c.updated)).where(jobs.c.group.isnot(None))
                 .group_by(jobs.c.group).order_by(func.max(jobs.c.updated).desc()).limit(limit))
    with storage._guard(), storage.engine.connect() as connection:
        found = connection.execute(statement).all()
        columns = [jobs.c.group, jobs.c.state, jobs.c.counts]
        members = connection.execute(select(*columns).where(jobs.c.group.in_([g for g, _, _ in found]))).all()
    by_group = {}
    for group, state, counts in members:
        by_group.setdefault(group, []).append({"state": state, "counts": json.loads(counts) if counts else {}})
    out = []
    for group, count, updated in found:
        rows = by_group.get(group, [])
        counts = summed(rows)
        out.append({"group": group, "jobs": count, "counts": counts, "passed": verdict(rows, counts),
                    "state": "running" if any(r["state"] == "running" for r in rows) else "finished",
                    "updated": updated.isoformat() if hasattr(updated, "isoformat") else updated})
    return out


def folded_jobs(storage, condition, offset=0, limit=50):
    """A page of the jobs list with each group folded into one row, newest first, and how many rows in all:
    ([("job", job row) or ("group", {"group", "jobs", "names", "counts", "passed", "state", "start",
    "updated"})], total). A group shows when any of its jobs meets `condition`; its row sums all its jobs."""
    jobs = schema.jobs
    no_key = sqlalchemy.cast(sqlalchemy.null(), sqlalchemy.String)
    grouped = (select(jobs.c.group.label("grp"), no_key.label("job"), func.max(jobs.c.updated).label("updated"))
               .where(condition, jobs.c.group.isnot(None)).group_by(jobs.c.group))
    single = (select(jobs.c.group.label("grp"), jobs.c.id.label("job"), jobs.c.updated.label("updated"))
              .where(condition, jobs.c.group.is_(None)))
    listed = sqlalchemy.union_all(grouped, single).subquery()
    page = (select(listed.c.grp, listed.c.job).order_by(listed.c.updated.desc(), listed.c.grp, listed.c.job)
            .offset(offset).limit(limit))
    columns = [c for c in jobs.c if c.name != "digest"]
    with storage._guard(), storage.engine.connect() as connection:
        keys = connection.execute(page).all()
        total = connection.execute(select(func.count()).select_from(listed)).scalar_one()
        singles = [job for group, job in keys if group is None]
        groups = [group for group, job in keys if group is not None]
        found = {row.id: job_row(row) for row in connection.execute(select(*columns).where(jobs.c.id.in_(singles)))}
        members = {}
        for row in connection.execute(select(*columns).where(jobs.c.group.in_(groups)).order_by(jobs.c.id)):
            row = job_row(row)
            members.setdefault(row["group"], []).append(row)
    out = []
    for group, job in keys:
        if group is None:
            if job in found:
                out.append(("job", found[job]))
            continue
        rows = members.get(group, [])
        counts = summed(rows)
        names = []
        for row in rows:
            if row["name"] not in names:
                names.append(row["name"])
        starts = [row["start"] for row in rows if row["start"]]
        out.append(("group", {"group": group, "jobs": len(rows), "names": names, "counts": counts,
                              "passed": verdict(rows, counts), "start": min(starts) if starts else None,
                              "state": "running" if any(r["state"] == "running" for r in rows) else "finished"}))
    return out, total


class Groups:
    def __init__(self, api):
        self.api = api
        self.storage = api.storage
        self.settings = api.settings

    def routes(self):
        return [
            Route("/api/groups", self.list_json, methods=["GET"]),
            Route("/api/groups/{group}", self.group_json, methods=["GET"]),
        ]

    async def _group(self, request):
        self.api._readable(request)
        group = check_group(request.path_params["group"], self.settings)
        found = await self.api._call(read_group, self.storage, group)
        if found is None:
            raise HTTPProblem(404, "no group %r" % group)
        return found

    async def list_json(self, request):
        self.api._readable(request)
        return JSONResponse({"groups": await self.api._call(list_groups, self.storage)})

    async def group_json(self, request):
        return JSONResponse(await self._group(request))
