"""The server's pages: the jobs, one job, a test's history, trends and a comparison.

    GET /                         jobs, with filters, search and paging
    GET /jobs/{job}               the one-job page; its tree fetches rows as it opens
    GET /jobs/{job}/rows          those rows as JSON: ?parent=PATH (repeatable), ?open=[ids], ?which=&q=
    GET /history?name=&node=      one node's results in the newest jobs of a name
    GET /trends?name=             success rate and counts per job, and the slowest sections, over time
    GET /compare?a=&b=            what changed from job a to job b

Every page is made here, its report text escaped, with a policy that allows its
own hashed style and, on the job page, its own hashed script and fetches from
this origin; nothing remote. The SQL lives in insights.py.
"""
import datetime
import json
import math
import os
import re
import urllib.parse

import jinja2
from markupsafe import Markup
from starlette.concurrency import run_in_threadpool
from starlette.responses import HTMLResponse
from starlette.routing import Route

from kovra.reporter import html as report_html
from kovra.reporter.server import groups, triage
from kovra.reporter.server.auth import signed_in
from kovra.reporter.server.api import SIGNATURE, HTTPProblem, JSONResponse, check_job_key, grouped_failures
from kovra.reporter.server.rules import Rules, is_signature, today
from kovra.reporter.server.insights import (FAILURE_LIST, FIRST_ROWS, PROBLEMS, Insights, ids_of, path_of,
                                            path_of_fullid, reason_of)

RESULT_ORDER = ("passed", "passx", "failed", "errored", "aborted", "blocked", "skipped")
KNOWN_RESULTS = frozenset(RESULT_ORDER)
STATES = ("running", "finished")
# A running job's page asks for news this often (milliseconds).
POLL_MS = 2000
# Nodes of each failure group the job page carries; the group's signature page and the API have them all.
GROUP_NODES = 25
# The slowest sections of a name's newest job that its trends follow.
TREND_SLOWEST = 8
# Jobs of a name the compare form offers to choose from.
RECENT_CHOICES = 30
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f]")
TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")


def shown(value, limit=None):
    """Report text as a page shows it: cut at `limit`, control characters as escapes, lone surrogates
    replaced. Plain text still: the templates' autoescaping makes it safe in markup."""
    value = "" if value is None else str(value)
    if limit is not None and len(value) > limit:
        value = value[:limit] + " \u2026"
    value = _CONTROL.sub(lambda m: "\\x%02x" % ord(m.group()), value)
    return value.encode("utf-8", "replace").decode("utf-8")


def q(value):
    """A value as one part of a URL (path segment or query value)."""
    return urllib.parse.quote(str(value), safe="")


def result_class(result):
    return "r-" + (result if result in KNOWN_RESULTS else "other")


def duration(seconds):
    if not isinstance(seconds, (int, float)) or isinstance(seconds, bool) or not math.isfinite(seconds):
        return ""
    if seconds < 1:
        return "%.1f ms" % (seconds * 1000)
    if seconds < 60:
        return "%.2f s" % seconds
    minutes, rest = divmod(int(round(seconds)), 60)
    hours, minutes = divmod(minutes, 60)
    return "%d h %02d m" % (hours, minutes) if hours else "%d m %02d s" % (minutes, rest)


def when(value):
    if isinstance(value, datetime.datetime):
        return value.replace(microsecond=0).isoformat(" ")
    return "" if value is None else str(value).replace("T", " ")[:19]


def result_counts(counts):
    """[(result, count)] of a job's summary counts, in the usual order, totals left out."""
    if not isinstance(counts, dict):
        return []
    found = [(k, v) for k, v in counts.items() if k not in ("total", "weight", "success_rate")
             and isinstance(v, int) and not isinstance(v, bool) and v]
    order = {name: i for i, name in enumerate(RESULT_ORDER)}
    return sorted(found, key=lambda kv: (order.get(kv[0], len(order)), kv[0]))


def pass_rate(counts):
    """Passed or passx of all results, in per cent: the framework's success rate, and the one definition
    every page uses."""
    parts = result_counts(counts)
    total = counts.get("total") if isinstance(counts, dict) and isinstance(counts.get("total"), int) else None
    total = total or sum(v for _, v in parts)
    if not total:
        return None
    found = dict(parts)
    return 100.0 * (found.get("passed", 0) + found.get("passx", 0)) / total


def _counts_of(row):
    counts = row.counts if hasattr(row, "counts") else row.get("counts")
    if isinstance(counts, str):
        try:
            counts = json.loads(counts)
        except ValueError:
            counts = {}
    return counts if isinstance(counts, dict) else {}


def step_text(step):
    """A path step as the pages and the command line show it: a sibling repeating an id is "ID;POSITION"."""
    return "%s;%d" % (step["id"], step["position"]) if isinstance(step, dict) else str(step)


def _page_step(step):
    # The page's script takes a repeat's step as it is, {"id": ID, "position": N}, and any other id as text.
    return step if isinstance(step, dict) else str(step)


def dotted(ids):
    return ".".join(step_text(i) for i in ids)


def fragment(ids):
    # As the page's own script writes it: the id encoded, so that its own ";" never stands bare.
    return "/".join(q(i["id"]) + ";%d" % i["position"] if isinstance(i, dict) else q(i) for i in ids)


def policy(scripts=(), styles=(), connect=False, forms=False):
    """A page's content security policy, from its parts: nothing but its own hashed scripts and styles,
    data: images, fetches from this origin when it `connect`s, and forms to here when it has `forms`."""
    parts = [("default-src", ["'none'"]),
             ("script-src", [report_html.csp_hash(s) for s in scripts] or ["'none'"]),
             ("style-src", [report_html.csp_hash(s) for s in styles] or ["'none'"]),
             ("img-src", ["data:"])]
    if connect:
        parts.append(("connect-src", ["'self'"]))
    # A signed-in page's frame holds the sign-out form.
    parts += [("base-uri", ["'none'"]), ("form-action", ["'self'" if forms or signed_in() else "'none'"])]
    return "; ".join(name + " " + " ".join(values) for name, values in parts)


def environment():
    """The pages' templates, autoescaped whatever their names, failing on any name they do not get."""
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True,
                             undefined=jinja2.StrictUndefined, keep_trailing_newline=True)
    env.filters.update(shown=shown, q=q, result_class=result_class, duration=duration, when=when,
                       result_counts=result_counts, fragment_dotted=lambda path: fragment(str(path).split(".")))
    env.globals["signed_in"] = signed_in
    return env


class Pages:
    """The pages' handlers, bound to one storage and one set of settings."""

    def __init__(self, storage, settings):
        self.storage = storage
        self.settings = settings
        self.insights = Insights(storage, window=getattr(settings, "history_window", 10))
        self.css = report_html.asset("report.css") + "\n" + report_html.asset("site.css")
        self.templates = environment()
        self.rules = Rules(storage)
        # What a job snapshot's pages read of all its nodes (_of_snapshot).
        self._failing = {}

    def routes(self):
        return [
            Route("/", self.jobs_page, methods=["GET"]),
            Route("/jobs/{job}", self.job_page, methods=["GET"]),
            Route("/jobs/{job}/rows", self.rows, methods=["GET"]),
            Route("/history", self.history_page, methods=["GET"]),
            Route("/trends", self.trends_page, methods=["GET"]),
            Route("/compare", self.compare_page, methods=["GET"]),
            Route("/signatures/{signature}", self.signature_page, methods=["GET"]),
            Route("/known-issues", self.issues_page, methods=["GET"]),
            Route("/known-issues/{id:int}", self.issue_page, methods=["GET"]),
            Route("/mutes", self.mutes_page, methods=["GET"]),
            Route("/owners", self.owners_page, methods=["GET"]),
            Route("/groups/{group}", self.group_page, methods=["GET"]),
        ]

    # --- the frame every page shares --------------------------------------------------------------------------

    NAV = [("/", "Jobs"), ("/trends", "Trends"), ("/compare", "Compare"), ("/known-issues", "Known issues"),
           ("/mutes", "Mutes"), ("/owners", "Owners")]

    def nav(self, current=None, extra=()):
        return self.templates.get_template("parts.html").module.nav(self.NAV + list(extra), current)

    def page(self, template, title, current=None, status=200, forms=False, extra=(), **values):
        markup = self.templates.get_template(template).render(
            title=title, css=Markup(self.css), nav_items=self.NAV + list(extra), current=current, **values)
        return HTMLResponse(markup, status_code=status,
                            headers={"Content-Security-Policy": policy(styles=[self.css], forms=forms)})

    def problem_page(self, status, message):
        heading = "Not found" if status == 404 else "Error"
        return self.page("problem.html", heading, status=status, heading=heading, message=message)

    def _readable(self, request):
        # The database's rule is ReadGuard's (it shows the sign-in page); a process started with
        # --read-token holds to it as well.
        if self.settings.read_token_required and request.scope.get("kovra.who") is None:
            raise HTTPProblem(401, "this server wants a token for every read: sign in")

    async def _call(self, function, *args, **kwargs):
        return await run_in_threadpool(function, *args, **kwargs)

    async def _guarded(self, request, build):
        try:
            self._readable(request)
            return await self._call(build)
        except HTTPProblem as problem:
            return self.problem_page(problem.status, str(problem))

    # --- jobs ---------------------------------------------------------------------------------------------------

    async def jobs_page(self, request):
        return await self._guarded(request, lambda: self._jobs(request.query_params))

    def _jobs(self, params):
        name = params.get("name", "").strip()
        state = params.get("state", "")
        result = params.get("result", "").strip()
        search = params.get("q", "").strip()
        since_text, until_text = params.get("since", "").strip(), params.get("until", "").strip()
        if state and state not in STATES:
            raise HTTPProblem(400, "state must be running or finished")
        since, until = _day(since_text, "since"), _day(until_text, "until")
        if until is not None and len(until_text) <= 10:
            until += datetime.timedelta(days=1)  # a day given as "until" includes that day
        fold = params.get("fold", "") == "1"
        page = _number(params.get("page"), 1, "page")
        per_page = min(_number(params.get("per_page"), 50, "per_page"), self.settings.max_per_page)
        if fold:
            condition = self.storage.job_condition(name=name or None, state=state or None, result=result or None,
                                                   since=since, until=until, q=search or None)
            rows, total = groups.folded_jobs(self.storage, condition, (page - 1) * per_page, per_page)
        else:
            rows, total = self.storage.list_jobs(name=name or None, state=state or None, result=result or None,
                                                 since=since, until=until, q=search or None,
                                                 offset=(page - 1) * per_page, limit=per_page)
            rows = [("job", row) for row in rows]
        pages = max(1, -(-total // per_page))
        kept = {"name": name, "state": state, "result": result, "q": search, "since": since_text,
                "until": until_text, "per_page": str(per_page) if per_page != 50 else "", "fold": "1" if fold else ""}

        def page_query(number):
            return urllib.parse.urlencode([(k, v) for k, v in kept.items() if v] + [("page", number)])

        return self.page("jobs.html", "Jobs", current="Jobs", forms=True, f=kept, total=total, rows=rows,
                         page=page, pages=pages, result_choices=[("", "any"), ("failing", "failing (failed, errored or aborted)")]
                         + [(r, r) for r in RESULT_ORDER],
                         prev=page_query(page - 1) if page > 1 else None,
                         next=page_query(page + 1) if page < pages else None)

    # --- a group of jobs (shards of one run) ----------------------------------------------------------------

    async def group_page(self, request):
        return await self._guarded(request, lambda: self._group(request.path_params["group"]))

    def _group(self, group):
        groups.check_group(group, self.settings)
        found = groups.read_group(self.storage, group)
        if found is None:
            raise HTTPProblem(404, "no group %r" % group)
        return self.page("group.html", "Group " + group, found=found)

    # --- one job ------------------------------------------------------------------------------------------------

    async def job_page(self, request):
        return await self._guarded(request, lambda: self._job(request.path_params["job"]))

    def _job_row(self, job):
        check_job_key(job, self.settings)
        row = self.storage.job(job)
        if row is None:
            raise HTTPProblem(404, "no job %r" % job)
        return row

    def _of_snapshot(self, row, what, make):
        """What `make()` finds of a job's current snapshot, kept while that snapshot is: these read all of a
        job's node rows, and each page view and row request asks again. The job's last write is in the key:
        a job deleted and sent again starts at snapshot 1 again."""
        key = (what, row["id"], row["snapshot"], row["updated"])
        found = self._failing.get(key)
        if found is None:
            found = make()
            if len(self._failing) > 192:
                self._failing.clear()
            self._failing[key] = found
        return found

    def failing(self, row):
        """({failing path: result}, {path above a failure}) of a job's current snapshot."""
        def make():
            failing = self.insights.failing(row["id"])
            above = set()
            for path in failing:
                ids = ids_of(path)
                for depth in range(1, len(ids)):
                    above.add(path_of(ids[:depth]))
            return failing, above
        return self._of_snapshot(row, "failing", make)

    def _row_out(self, row, failing, above, marks):
        """A node row as the page's script takes it (see addRow in report.js)."""
        data = json.loads(row.data)
        kind, node_id, name, value, runtime, description, info = report_html.node_fields(data)
        bad = (1 if row.path in failing else 0) | (2 if row.path in above else 0)
        parent = None if row.parent in (None, "[]") else row.parent
        return [row.path, parent, row.position, kind, node_id, name, value, runtime, description, info or 0,
                len(json.loads(row.children)), bad, marks.get(row.path)]

    def _rows_out(self, job_row, rows, states=None):
        failing, above = self.failing(job_row)
        marks = self.insights.marks(job_row, [r.path for r in rows if r.path in failing], states)
        return [self._row_out(r, failing, above, marks) for r in rows]

    def _job(self, job, tries=3):
        """The job page, from one snapshot of the job: its parts are read one query at a time, so a job
        sent again meanwhile is read again, and one deleted meanwhile is a 404, never half a page."""
        for attempt in range(tries):
            row = self._job_row(job)
            try:
                page = self._job_page(job, row)
            except Exception:
                now = self._job_row(job)
                if now["snapshot"] == row["snapshot"] or attempt == tries - 1:
                    raise
                continue
            if self._job_row(job)["snapshot"] == row["snapshot"]:
                return page
        return page

    def _job_page(self, job, row):
        runset = self.storage.node(job, []) or {}
        failing, above = self.failing(row)
        # Rows below the run set and along the failing paths, as far as the first load allows.
        ancestors = self.insights.by_path(job, above)
        order = {path_of([]): ()}
        for a in ancestors:
            order[a.path] = order.get(a.parent, ()) + (a.position,)
        parents, budget = [path_of([])], FIRST_ROWS
        for a in sorted(ancestors, key=lambda r: order[r.path]):
            size = len(json.loads(a.children))
            if size > budget:
                continue
            budget -= size
            parents.append(a.path)
        rows = self.insights.children(job, parents)
        # Failures that nothing beneath them explains, in tree order.
        roots = [p for p in failing if p not in above]
        positions = {r.path: r.position for r in rows}
        for r in self.insights.by_path(job, roots[:5000]):
            positions[r.path] = r.position

        def tree_key(path):
            ids = ids_of(path)
            return order.get(path_of(ids[:-1]), ()) + (positions.get(path, 0),)
        roots.sort(key=tree_key)
        listed = self.insights.by_path(job, roots[:FAILURE_LIST])
        listed.sort(key=lambda r: tree_key(r.path))
        # Each failing node's state is looked up once for the groups, the list and the rows.
        states = {}
        groups = self._groups(row, states=states)
        marks = self.insights.marks(row, roots[:FAILURE_LIST], states)
        failures = [[[_page_step(i) for i in ids_of(r.path)], failing[r.path], reason_of(json.loads(r.data)),
                     marks.get(r.path)] for r in listed]
        # Made at intake for a whole job's send; else read from all of the job's rows, once a snapshot.
        facts = self.storage.facts(job, row["snapshot"])
        counts_of_nodes, slowest = facts or (
            self._of_snapshot(row, "counts", lambda: self.insights.result_counts(job)),
            self._of_snapshot(row, "slowest", lambda: [tuple(s) for s in self.insights.slowest(job)]))
        slowest = [[[_page_step(i) for i in ids_of(path)], result, runtime] for path, result, runtime in slowest]
        data = report_html.header_data(runset)
        if row["state"] == "running":
            # The run set's own counts come at its stop: a running job shows those of its test cases so far.
            counts = dict(result_counts(self.insights.case_counts(job)))
            data["summary"] = dict(counts, total=sum(counts.values()), success_rate=pass_rate(counts))
        # Every job of a name has the same run set id: the heading shows the job's own key, the facts its name.
        data["job_id"] = job
        data["header"] = [["Job name", "job_name", row["name"]]] + [
            ["Run set id", "runset_id", item] if key == "id" else [label, key, item]
            for label, key, item in data["header"]]
        if row.get("written_by"):
            data["header"].append(["Sent with token", "written_by", row["written_by"]])
        data.update({
            "remote": {
                "rows": "/jobs/%s/rows" % q(job), "logs": "/api/jobs/%s/logs/" % q(job), "job": "/api/jobs/" + q(job),
                "history": "/history?name=%s&node=" % q(row["name"]), "running": row["state"] == "running",
                "snapshot": row["snapshot"], "poll": POLL_MS,
                "stretch": report_html.STRETCH_LIMIT, "head": report_html.STRETCH_HEAD,
            },
            "rows": self._rows_out(row, rows, states), "full": parents,
            "failures": failures, "failure_total": len(roots), "slowest": slowest,
            "groups": groups,
            "result_counts": counts_of_nodes,
        })
        extra = [("/trends?name=" + q(row["name"]), "Trends of " + row["name"])]
        earlier = self.insights.recent_jobs(row["name"], 1, before=row)
        if earlier:
            extra.append(("/compare?a=%s&b=%s" % (q(earlier[0].id), q(job)), "Compare with the job before"))
        markup = report_html.fill_page(data, "Job " + report_html.one_line(job), connect=True,
                                       forms=signed_in() is not None,
                                       nav=self.nav(None, extra) + "\n")
        csp = policy([report_html.asset("report.js")], [report_html.asset("report.css")], connect=True)
        return HTMLResponse(markup, headers={"Content-Security-Policy": csp})

    def _groups(self, row, per_group=GROUP_NODES, states=None):
        """The Failures card's groups: [signature, text, count, {state: count}, known issue title or None,
        owners, first seen, jobs seen, [[ids, result, reason, state, evidence, muted]...] (the first few)].
        `states` as for Insights.failure_groups."""
        out = []
        for group in grouped_failures(self.insights, self.rules, row, states=states):
            by_state, owners = {}, []
            for node in group["nodes"]:
                by_state[node["state"] or "failing"] = by_state.get(node["state"] or "failing", 0) + 1
                owners.extend(o for o in node["owners"] if o not in owners)
            nodes = [[[str(i) for i in node["path"]], node["result"], node["reason"], node["state"],
                      state_words(node) if node["state"] else "", bool(node["muted"])]
                     for node in group["nodes"][:per_group]]
            issue = group["known_issue"]
            out.append([group["signature"], group["text"], group["count"], by_state,
                        issue["title"] if issue else None, owners, group["first_seen"], group["jobs_seen"], nodes])
        return out

    async def rows(self, request):
        try:
            self._readable(request)
            return JSONResponse(await self._call(self._rows, request.path_params["job"], request.query_params))
        except HTTPProblem as problem:
            return JSONResponse({"error": str(problem)}, status_code=problem.status)

    def _rows(self, job, params):
        row = self._job_row(job)
        if "open" in params:
            try:
                ids = json.loads(params["open"])
            except ValueError:
                ids = None
            if not isinstance(ids, list) or not all(isinstance(i, str) or _text_step(i) for i in ids):
                raise HTTPProblem(400, "open must be a JSON list of ids as text (or {\"id\": ID, \"position\": N})")
            return {"rows": self._rows_out(row, self.insights.open_path(job, ids))}
        if "which" in params or "q" in params:
            which = params.get("which", "")
            if which not in ("", "problems") and not which.startswith("r:"):
                raise HTTPProblem(400, "which must be empty, problems or r:RESULT")
            hits, total = self.insights.search(job, which, params.get("q", "").strip())
            wanted = set(hits)
            for path in hits:
                ids = ids_of(path)
                wanted.update(path_of(ids[:depth]) for depth in range(1, len(ids)))
            return {"rows": self._rows_out(row, self.insights.by_path(job, wanted)), "hits": hits, "total": total}
        parents = params.getlist("parent")
        if not parents:
            raise HTTPProblem(400, "rows wants ?parent=PATH, ?open=[ids] or ?which=&q=")
        parents = [path_of([]) if p == "" else p for p in parents]
        return {"rows": self._rows_out(row, self.insights.children(job, parents))}

    # --- history of one node ------------------------------------------------------------------------------------

    async def history_page(self, request):
        return await self._guarded(request, lambda: self._history(request.query_params))

    def _history(self, params):
        name = params.get("name", "")
        node = params.get("node", "")
        window = min(_number(params.get("n"), self.insights.window, "n"), 200)
        if not name or not node:
            raise HTTPProblem(400, "history wants ?name=JOB_NAME&node=FULLID")
        path = path_of_fullid(node)
        found = self.insights.history(name, path, window)
        results = [result for _, result, _, _ in found if result]
        failed = sum(1 for r in results if r in PROBLEMS)
        passed = sum(1 for r in results if r == "passed")
        state = self.insights.node_history(name, path, 1)
        text = dotted(ids_of(path))
        items = []
        for index, (job, result, reason, present) in enumerate(found):
            older = found[index + 1][0].id if index + 1 < len(found) else None
            if isinstance(reason, str):
                reason = reason.split("\n")[0]
            items.append({"job": job, "result": result, "reason": reason, "present": present, "older": older})
        return self.page("history.html", "History of " + text, dotted=text, name=name, found=items,
                         passed=passed, failed=failed, absent=sum(1 for i in items if not i["present"]),
                         state=state_words(state), fragment="#node=" + fragment(ids_of(path)))

    # --- trends -------------------------------------------------------------------------------------------------

    async def trends_page(self, request):
        return await self._guarded(request, lambda: self._trends(request.query_params))

    def _trends(self, params):
        name = params.get("name", "")
        window = min(_number(params.get("n"), 30, "n"), 200)
        if not name:
            return self.page("trends.html", "Trends", current="Trends", name="", names=self.insights.names())
        jobs = list(reversed(self.insights.recent_jobs(name, window)))
        if not jobs:
            return self.page("trends.html", "Trends of " + name, current="Trends", name=name, jobs=[])
        rows = [{"id": j.id, "start": j.start, "result": j.result, "rate": pass_rate(_counts_of(j)),
                 "counts": result_counts(_counts_of(j))} for j in jobs]
        # The slowest sections of the newest job, and their run time in each job.
        newest = jobs[-1]
        facts = self.storage.facts(newest.id, newest.snapshot)
        slow = (facts[1] if facts else self.insights.slowest(newest.id))[:TREND_SLOWEST]
        times = self.insights.section_times([j.id for j in jobs], [path for path, _, _ in slow])
        sections = []
        for path, _, runtime in slow:
            series = [times.get((j.id, path)) for j in jobs]
            known = [t for t in series if t is not None]
            text = dotted(ids_of(path))
            sections.append({"dotted": text, "fragment": fragment(ids_of(path)), "runtime": runtime,
                             "longest": max(known) if known else None, "spark": sparkline(series, text)})
        return self.page("trends.html", "Trends of " + name, current="Trends", name=name, jobs=rows,
                         chart=trend_chart(jobs), slow=sections, newest=newest.id)

    # --- compare ------------------------------------------------------------------------------------------------

    async def compare_page(self, request):
        return await self._guarded(request, lambda: self._compare(request.query_params))

    def _compare(self, params):
        a, b = params.get("a", "").strip(), params.get("b", "").strip()
        name = params.get("name", "").strip()
        if not b:
            jobs = self.insights.recent_jobs(name, RECENT_CHOICES) if name else []
            return self.page("compare.html", "Compare", current="Compare", forms=True, a=a, b=b, diff=None,
                             name=name, names=[] if name else self.insights.names(), choices=_job_choices(jobs, a, b))
        new = self._job_row(b)
        if not a:
            earlier = self.insights.recent_jobs(new["name"], 1, before=new)
            if not earlier:
                raise HTTPProblem(404, "job %r has no earlier job of its name to compare with" % b)
            a = earlier[0].id
        old = self._job_row(a)
        threshold = _float(params.get("t"), 1.0, "t")
        diff = self.insights.compare(a, b, threshold)
        choices = _job_choices(self.insights.recent_jobs(new["name"], RECENT_CHOICES), a, b)
        return self.page("compare.html", "Compare %s with %s" % (a, b), current="Compare", forms=True, a=a, b=b,
                         diff=diff, threshold=threshold, old_start=old["start"], new_start=new["start"],
                         name=new["name"], names=[], choices=choices)

    # --- triage ---------------------------------------------------------------------------------------------

    async def signature_page(self, request):
        return await self._guarded(request, lambda: self._signature(request.path_params["signature"],
                                                                    request.query_params))

    def _signature(self, signature, params):
        if not SIGNATURE.match(signature):
            raise HTTPProblem(400, "%r is not a failure signature (16 hex digits)" % signature[:40])
        page = _number(params.get("page"), 1, "page")
        found = self.insights.signature_jobs(signature, (page - 1) * 50, 50)
        if found is None:
            raise HTTPProblem(404, "no failure has signature %r" % signature)
        text, first, last, jobs, total = found
        return self.page("signature.html", "Failure signature " + signature, signature=signature, text=text,
                         first_seen=first, last_seen=last, jobs=jobs, total=total, page=page,
                         pages=max(1, -(-total // 50)))

    async def issues_page(self, request):
        return await self._guarded(request, self._issues)

    def _issues(self):
        issues = [dict(i, is_signature=is_signature(i["match"])) for i in self.rules.issues()]
        return self.page("known_issues.html", "Known issues", current="Known issues", issues=issues)

    async def issue_page(self, request):
        return await self._guarded(request, lambda: self._issue(request.path_params["id"]))

    def _issue(self, issue_id):
        issue = self.rules.issue(issue_id)
        if issue is None:
            raise HTTPProblem(404, "no known issue %d" % issue_id)
        matches = [{"job": m.job, "name": m.name, "start": m.start, "reason": m.reason,
                    "dotted": dotted(ids_of(m.path)), "fragment": fragment(ids_of(m.path))}
                   for m in self.rules.matches(issue)]
        return self.page("known_issue.html", "Known issue %d" % issue_id, current="Known issues",
                         issue=dict(issue, is_signature=is_signature(issue["match"])), matches=matches)

    async def mutes_page(self, request):
        return await self._guarded(request, self._mutes)

    def _mutes(self):
        now = today()
        mutes = [dict(m, expired=datetime.date.fromisoformat(m["until"]) < now) for m in self.rules.mutes()]
        passing = self.rules.passing_while_muted([m for m in mutes if not m["expired"]], self.insights)
        return self.page("mutes.html", "Mutes", current="Mutes", mutes=mutes, passing=passing)

    async def owners_page(self, request):
        return await self._guarded(request, self._owners)

    def _owners(self):
        return self.page("owners.html", "Owners", current="Owners", names=self.rules.all_owners())


def trend_chart(jobs):
    """The figures of the trend chart: each job's results as shares of its own total (so one large job
    flattens no other), the success rate as a line over them; labels only as often as they fit."""
    width, height, left, right, bottom, top = 760, 240, 40, 70, 24, 12
    plot_h = height - bottom - top
    step = (width - left - right) / max(1, len(jobs))
    bar_w = max(2.0, min(36.0, step * 0.7))
    every = max(1, math.ceil(48 / step))
    chart = {"width": width, "height": height, "left": left, "right_x": width - right, "base": top + plot_h,
             "bar_w": "%.1f" % bar_w, "legend": RESULT_ORDER, "bars": [], "points": [],
             "label": "Results per job as shares of its total (bars) and success rate (line), 0 to 100 %, "
                      "oldest job left",
             "grid": [{"y": "%.1f" % (top + plot_h * (1 - f)), "label_y": "%.1f" % (top + plot_h * (1 - f) + 4),
                       "percent": int(f * 100), "count": "%d %%" % (f * 100)} for f in (0, .5, 1)]}
    for index, job in enumerate(jobs):
        counts = _counts_of(job)
        parts = result_counts(counts)
        total = sum(v for _, v in parts) or 1
        x = left + step * index + (step - bar_w) / 2
        y = top + plot_h
        bar = {"x": "%.1f" % x, "mid": "%.1f" % (x + bar_w / 2), "job": job.id, "parts": [],
               "label": job.id if (len(jobs) - 1 - index) % every == 0 else None}
        for result, count in parts:
            h = plot_h * count / total
            y -= h
            bar["parts"].append({"result": result, "count": count, "y": "%.1f" % y, "h": "%.1f" % h,
                                 "share": "%.1f" % (100.0 * count / total)})
        chart["bars"].append(bar)
        rate = pass_rate(counts)
        if rate is not None:
            chart["points"].append({"x": "%.1f" % (x + bar_w / 2), "y": "%.1f" % (top + plot_h * (1 - rate / 100)),
                                    "job": job.id, "rate": "%.1f" % rate})
    chart["polyline"] = " ".join(p["x"] + "," + p["y"] for p in chart["points"])
    return chart


def sparkline(series, label):
    known = [t for t in series if t is not None]
    if not known:
        return None
    width, height = 180, 30
    high = max(known) or 1.0
    step = width / max(1, len(series) - 1)
    points = [("%.1f" % (i * step), "%.1f" % (height - 3 - (height - 6) * t / high))
              for i, t in enumerate(series) if t is not None]
    return {"width": width, "height": height, "points": " ".join(",".join(p) for p in points), "last": points[-1],
            "label": "run time of %s per job, up to %s" % (label, duration(high))}


def _job_choices(jobs, *keep):
    """[(key, label)] of a name's recent jobs for the compare form, newest first; jobs in `keep` that are
    older than those stay choosable too."""
    out = [(j.id, "%s (%s, %s)" % (j.id, when(j.start), j.result or j.state)) for j in jobs]
    if out:
        out += [(key, key) for key in keep if key and key not in {k for k, _ in out}]
    return out


def state_words(found):
    """A node's state with its evidence in words (insights.node_history), or "" when it has none."""
    if found.get("state") in ("new", "failing", "flaky"):
        return triage.evidence(found["state"], found["failing_since"], found["run"], found["flips"],
                               found["window"], found.get("passed_before"))
    return ""


def _number(value, default, name):
    if value in (None, ""):
        return default
    if not value.isdigit() or int(value) < 1:
        raise HTTPProblem(400, "%s must be a whole number from 1, not %r" % (name, value[:40]))
    return int(value)


def _float(value, default, name):
    if value in (None, ""):
        return default
    try:
        number = float(value)
    except ValueError:
        number = float("nan")
    if not math.isfinite(number) or number < 0:
        raise HTTPProblem(400, "%s must be a number of seconds, not %r" % (name, value[:40]))
    return number


def _text_step(step):
    """A step of a sibling that repeats an id, with its id as text: {"id": ID, "position": N}."""
    return (isinstance(step, dict) and set(step) == {"id", "position"} and isinstance(step["id"], str)
            and type(step["position"]) is int)


def _day(value, name):
    if not value:
        return None
    try:
        parsed = datetime.datetime.fromisoformat(value.replace("Z", "+00:00"))
    except ValueError:
        raise HTTPProblem(400, "%s must be a date (YYYY-MM-DD) or an ISO 8601 time, not %r" % (name, value[:40])) \
            from None
    if parsed.tzinfo is not None:
        parsed = parsed.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return parsed


def web_routes(storage, settings):
    """The pages' routes, for create_app."""
    return Pages(storage, settings).routes()
