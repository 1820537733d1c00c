"""The server's pages: the jobs, one job, a test's history, trends and a comparison.

    GET /                         jobs, with filters, search and paging
    GET /jobs/{job}               the one-job page; its tree fetches rows as it opens
    GET /jobs/{job}/rows          those rows as JSON: ?parent=PATH (repeatable), ?open=[ids], ?which=&q=
    GET /history?name=&node=      one node's results in the newest jobs of a name
    GET /trends?name=             pass rate and counts per job, and the slowest sections, over time
    GET /compare?a=&b=            what changed from job a to job b

Every page is made here, its report text escaped, with a policy that allows its
own hashed style and, on the job page, its own hashed script and fetches from
this origin; nothing remote. The SQL lives in insights.py.
"""
import datetime
import html
import json
import math
import re
import urllib.parse

from starlette.concurrency import run_in_threadpool
from starlette.responses import HTMLResponse
from starlette.routing import Route

from kovra.reporter import html as report_html
from kovra.reporter.server import triage
from kovra.reporter.server.api import HTTPProblem, JSONResponse, check_job_key
from kovra.reporter.server.insights import (FAILURE_LIST, FIRST_ROWS, PROBLEMS, Insights, ids_of, path_of,
                                            path_of_fullid, reason_of)

RESULT_ORDER = ("passed", "passx", "failed", "errored", "aborted", "blocked", "skipped")
KNOWN_RESULTS = frozenset(RESULT_ORDER)
STATES = ("running", "finished")
# A running job's page asks for news this often (milliseconds).
POLL_MS = 2000
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f]")


def text(value, limit=None):
    """Report text as markup shows it: control characters as escapes, then HTML-escaped."""
    value = "" if value is None else str(value)
    if limit is not None and len(value) > limit:
        value = value[:limit] + " \u2026"
    value = _CONTROL.sub(lambda m: "\\x%02x" % ord(m.group()), value)
    return html.escape(value.encode("utf-8", "replace").decode("utf-8"), quote=True)


def q(value):
    """A value as one part of a URL (path segment or query value)."""
    return urllib.parse.quote(str(value), safe="")


def link(href, label, cls=None):
    return '<a href="%s"%s>%s</a>' % (html.escape(href, quote=True), ' class="%s"' % cls if cls else "", label)


def result_class(result):
    return "r-" + (result if result in KNOWN_RESULTS else "other")


def badge(result):
    if not result:
        return '<span class="badge none">\u2014</span>'
    return '<span class="badge %s">%s</span>' % (result_class(result), text(result))


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


def counts_markup(counts):
    return '<span class="counts">%s</span>' % " ".join(
        '<span class="swatch %s"></span>%d %s' % (result_class(k), v, text(k)) for k, v in result_counts(counts))


def pass_rate(counts):
    parts = result_counts(counts)
    total = counts.get("total") if isinstance(counts, dict) and isinstance(counts.get("total"), int) else None
    total = total or sum(v for _, v in parts)
    if not total:
        return None
    return 100.0 * dict(parts).get("passed", 0) / total


def _counts_of(row):
    counts = row.counts if hasattr(row, "counts") else row.get("counts")
    if isinstance(counts, str):
        try:
            counts = json.loads(counts)
        except ValueError:
            counts = {}
    return counts if isinstance(counts, dict) else {}


class Pages:
    """The pages' handlers, bound to one storage and one set of settings."""

    def __init__(self, storage, settings):
        self.storage = storage
        self.settings = settings
        self.insights = Insights(storage, window=getattr(settings, "history_window", 10))
        self.css = report_html.asset("report.css") + "\n" + report_html.asset("site.css")
        # Failing paths of a job snapshot, and every path above one: asked again by each row request.
        self._failing = {}

    def routes(self):
        return [
            Route("/", self.jobs_page, methods=["GET"]),
            Route("/jobs/{job}", self.job_page, methods=["GET"]),
            Route("/jobs/{job}/rows", self.rows, methods=["GET"]),
            Route("/history", self.history_page, methods=["GET"]),
            Route("/trends", self.trends_page, methods=["GET"]),
            Route("/compare", self.compare_page, methods=["GET"]),
        ]

    # --- the frame every page shares --------------------------------------------------------------------------

    def nav(self, current=None, extra=()):
        items = [("/", "Jobs"), ("/trends", "Trends"), ("/compare", "Compare")] + list(extra)
        parts = ['<span class="brand">kovra reporter</span>']
        for href, label in items:
            mark = ' aria-current="page"' if label == current else ""
            parts.append('<a href="%s"%s>%s</a>' % (html.escape(href, quote=True), mark, text(label)))
        return '<nav class="site" aria-label="Pages">%s</nav>\n' % " ".join(parts)

    def page(self, title, body, current=None, status=200, forms=False):
        csp = report_html.page_csp([], [self.css])
        if forms:
            csp = csp.replace("form-action 'none'", "form-action 'self'")
        markup = ('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
                  '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
                  '<meta name="referrer" content="no-referrer">\n<meta name="color-scheme" content="light dark">\n'
                  '<link rel="icon" href="data:,">\n<title>%s</title>\n<style>%s</style>\n</head>\n<body>\n%s'
                  '<main class="site">\n%s\n</main>\n</body>\n</html>\n'
                  % (text(title, 200), self.css, self.nav(current), body))
        return HTMLResponse(markup, status_code=status, headers={"Content-Security-Policy": csp})

    def problem_page(self, status, message):
        return self.page("Not found" if status == 404 else "Error",
                         '<h1>%s</h1>\n<p class="notice">%s</p>' % ("Not found" if status == 404 else "Error",
                                                                    text(message, 500)), status=status)

    def _readable(self, request):
        if self.settings.read_token_required:
            raise HTTPProblem(401, "this server wants a token for every read; its pages cannot send one")

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
        page = _number(params.get("page"), 1, "page")
        per_page = min(_number(params.get("per_page"), 50, "per_page"), self.settings.max_per_page)
        rows, total = self.storage.list_jobs(name=name or None, state=state or None, result=result or None,
                                             since=since, until=until, q=search or None,
                                             offset=(page - 1) * per_page, limit=per_page)
        pages = max(1, -(-total // per_page))
        kept = {"name": name, "state": state, "result": result, "q": search, "since": since_text,
                "until": until_text, "per_page": str(per_page) if per_page != 50 else ""}

        def page_link(number, label, rel):
            query = urllib.parse.urlencode([(k, v) for k, v in kept.items() if v] + [("page", number)])
            return '<a href="/?%s" rel="%s">%s</a>' % (html.escape(query, quote=True), rel, label)

        out = ['<h1>Jobs</h1>',
               '<form class="filters" method="get" action="/" role="search" aria-label="Filter jobs">',
               _field("Name", "name", name, "text"),
               _choice("State", "state", state, [("", "any"), ("running", "running"), ("finished", "finished")]),
               _choice("Result", "result", result, [("", "any")] + [(r, r) for r in RESULT_ORDER]),
               _field("Started from", "since", since_text, "date"),
               _field("Started until", "until", until_text, "date"),
               _field("Search id or name", "q", search, "search"),
               '<button type="submit">Show</button>', '</form>']
        shown = "%d job%s" % (total, "" if total == 1 else "s")
        out.append('<p id="job-total" role="status">%s match%s.</p>' % (shown, "es" if total == 1 else ""))
        out.append('<table class="list" id="jobs"><caption class="sr-only">Jobs, newest first</caption>'
                   '<thead><tr><th scope="col">Job</th><th scope="col">Name</th><th scope="col">State</th>'
                   '<th scope="col">Start</th><th scope="col" class="num">Duration</th>'
                   '<th scope="col">Counts by result</th><th scope="col">Result</th><th scope="col">Health</th>'
                   '</tr></thead><tbody>')
        for row in rows:
            out.append('<tr data-job="%s"><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td class="num">%s</td>'
                       '<td>%s</td><td>%s</td><td>%s</td></tr>' % (
                           text(row["id"]), link("/jobs/" + q(row["id"]), text(row["id"], 120)),
                           link("/trends?name=" + q(row["name"]), text(row["name"], 120)),
                           text(row["state"]), text(when(row["start"])), duration(row["runtime"]),
                           counts_markup(row["counts"]), badge(row["result"]), badge(row["health"])))
        out.append('</tbody></table>')
        if not rows:
            out.append('<p class="note">No job matches.</p>')
        nav = []
        if page > 1:
            nav.append(page_link(page - 1, "\u2190 newer", "prev"))
        nav.append('<span>page %d of %d</span>' % (page, pages))
        if page < pages:
            nav.append(page_link(page + 1, "older \u2192", "next"))
        out.append('<nav class="pager" aria-label="Pages of jobs">%s</nav>' % " ".join(nav))
        return self.page("Jobs", "\n".join(out), current="Jobs", forms=True)

    # --- one job ------------------------------------------------------------------------------------------------

    async def job_page(self, request):
        return await self._guarded(request, lambda: self._job(request.path_params["job"]))

    def _job_row(self, job):
        check_job_key(job, self.settings)
        row = self.storage.job(job)
        if row is None:
            raise HTTPProblem(404, "no job %r" % job)
        return row

    def failing(self, row):
        """({failing path: result}, {path above a failure}) of a job's current snapshot."""
        key = (row["id"], row["snapshot"])
        found = self._failing.get(key)
        if found is None:
            failing = self.insights.failing(row["id"])
            above = set()
            for path in failing:
                ids = ids_of(path)
                for depth in range(1, len(ids)):
                    above.add(path_of(ids[:depth]))
            found = failing, above
            if len(self._failing) > 64:
                self._failing.clear()
            self._failing[key] = found
        return found

    def _row_out(self, row, failing, above, marks):
        """A node row as the page's script takes it (see addRow in report.js)."""
        data = json.loads(row.data)
        kind, node_id, name, value, runtime, description, info = report_html.node_fields(data)
        bad = (1 if row.path in failing else 0) | (2 if row.path in above else 0)
        parent = None if row.parent in (None, "[]") else row.parent
        return [row.path, parent, row.position, kind, node_id, name, value, runtime, description, info or 0,
                len(json.loads(row.children)), bad, marks.get(row.path)]

    def _rows_out(self, job_row, rows):
        failing, above = self.failing(job_row)
        marks = self.insights.marks(job_row, [r.path for r in rows if r.path in failing])
        return [self._row_out(r, failing, above, marks) for r in rows]

    def _job(self, job):
        row = self._job_row(job)
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
        marks = self.insights.marks(row, roots[:FAILURE_LIST])
        failures = [[[str(i) for i in ids_of(r.path)], failing[r.path], reason_of(json.loads(r.data)),
                     marks.get(r.path)] for r in listed]
        slowest = [[[str(i) for i in ids_of(s.path)], s.result, s.runtime] for s in self.insights.slowest(job)]
        data = report_html.header_data(runset)
        data.update({
            "remote": {
                "rows": "/jobs/%s/rows" % q(job), "logs": "/api/jobs/%s/logs/" % q(job), "job": "/api/jobs/" + q(job),
                "history": "/history?name=%s&node=" % q(row["name"]), "running": row["state"] == "running",
                "snapshot": row["snapshot"], "poll": POLL_MS,
                "stretch": report_html.STRETCH_LIMIT, "head": report_html.STRETCH_HEAD,
            },
            "rows": self._rows_out(row, rows), "full": parents,
            "failures": failures, "failure_total": len(roots), "slowest": slowest,
            "result_counts": self.insights.result_counts(job),
        })
        extra = [("/trends?name=" + q(row["name"]), "Trends of %s" % row["name"])]
        earlier = self.insights.recent_jobs(row["name"], 1, before=row)
        if earlier:
            extra.append(("/compare?a=%s&b=%s" % (q(earlier[0].id), q(job)), "Compare with the job before"))
        markup = report_html.fill_page(data, "Job %s" % report_html.one_line(job), connect=True,
                                       nav=self.nav(None, extra))
        csp = report_html.page_csp([report_html.asset("report.js")], [report_html.asset("report.css")], connect=True)
        return HTMLResponse(markup, headers={"Content-Security-Policy": csp})

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
            if not isinstance(ids, list) or not all(isinstance(i, str) for i in ids):
                raise HTTPProblem(400, "open must be a JSON list of ids as text")
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
        dotted = ".".join(str(i) for i in ids_of(path))
        out = ['<h1>History of <span class="mono">%s</span></h1>' % text(dotted, 400),
               '<p>In the newest %d job%s named %s: <span id="history-counts">passed %d, failed %d, absent %d</span>.'
               ' %s</p>' % (len(found), "" if len(found) == 1 else "s", link("/trends?name=" + q(name), text(name)),
                            passed, failed, sum(1 for _, _, _, present in found if not present),
                            '<span class="flaky-note" id="state">%s</span>' % text(state_words(state))
                            if state_words(state) else '<span id="state" hidden></span>'),
               '<table class="list" id="history"><caption class="sr-only">Results, newest job first</caption>'
               '<thead><tr><th scope="col">Job</th><th scope="col">Start</th><th scope="col">Result</th>'
               '<th scope="col">Reason</th><th scope="col">Compare</th></tr></thead><tbody>']
        fragment = "#node=" + "/".join(q(i) for i in ids_of(path))
        for index, (job, result, reason, present) in enumerate(found):
            older = found[index + 1][0] if index + 1 < len(found) else None
            compare = link("/compare?a=%s&b=%s" % (q(older.id), q(job.id)), "with the job before") if older else ""
            out.append('<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>' % (
                link("/jobs/%s%s" % (q(job.id), fragment), text(job.id, 120)), text(when(job.start)),
                badge(result) if present else '<span class="note">absent</span>',
                text(reason.split("\n")[0] if isinstance(reason, str) else reason, 300) if reason is not None else "",
                compare))
        out.append('</tbody></table>')
        if not found:
            out.append('<p class="note">No job has this name.</p>')
        return self.page("History of %s" % dotted, "\n".join(out))

    # --- trends -------------------------------------------------------------------------------------------------

    async def trends_page(self, request):
        return await self._guarded(request, lambda: self._trends(request.query_params))

    def _trends(self, params):
        name = params.get("name", "")
        window = min(_number(params.get("n"), 30, "n"), 200)
        if not name:
            names = self.insights.names()
            out = ['<h1>Trends</h1>', '<p>Pick a job name.</p>',
                   '<table class="list" id="names"><thead><tr><th scope="col">Job name</th>'
                   '<th scope="col" class="num">Jobs</th><th scope="col">Newest start</th></tr></thead><tbody>']
            for job_name, count, newest in names:
                out.append('<tr><td>%s</td><td class="num">%d</td><td>%s</td></tr>' % (
                    link("/trends?name=" + q(job_name), text(job_name, 200)), count, text(when(newest))))
            out.append('</tbody></table>')
            return self.page("Trends", "\n".join(out), current="Trends")
        jobs = list(reversed(self.insights.recent_jobs(name, window)))
        out = ['<h1>Trends of %s</h1>' % text(name, 300)]
        if not jobs:
            out.append('<p class="note">No job has this name.</p>')
            return self.page("Trends of %s" % name, "\n".join(out), current="Trends")
        out.append('<section class="block" aria-labelledby="rate-title"><h2 id="rate-title">Pass rate and counts '
                   'per job</h2>')
        out.append(trend_chart(jobs))
        out.append('<table class="list" id="trend"><caption class="sr-only">The same figures, oldest job first'
                   '</caption><thead><tr><th scope="col">Job</th><th scope="col">Start</th>'
                   '<th scope="col" class="num">Pass rate</th><th scope="col">Counts by result</th>'
                   '<th scope="col">Result</th></tr></thead><tbody>')
        for job in jobs:
            counts = _counts_of(job)
            rate = pass_rate(counts)
            out.append('<tr><td>%s</td><td>%s</td><td class="num">%s</td><td>%s</td><td>%s</td></tr>' % (
                link("/jobs/" + q(job.id), text(job.id, 120)), text(when(job.start)),
                "" if rate is None else "%.1f %%" % rate, counts_markup(counts), badge(job.result)))
        out.append('</tbody></table></section>')
        # The slowest sections of the newest job, and their run time in each job.
        newest = jobs[-1]
        slow = self.insights.slowest(newest.id, limit=8)
        times = self.insights.section_times([j.id for j in jobs], [s.path for s in slow])
        out.append('<section class="block" aria-labelledby="slow-title"><h2 id="slow-title">Slowest sections over '
                   'time</h2><p class="note">The slowest sections of the newest job, with their run time in each '
                   'job (oldest left).</p>')
        out.append('<table class="list" id="slowest"><thead><tr><th scope="col">Section</th>'
                   '<th scope="col">Run time per job</th><th scope="col" class="num">Newest</th>'
                   '<th scope="col" class="num">Longest</th></tr></thead><tbody>')
        for s in slow:
            series = [times.get((j.id, s.path)) for j in jobs]
            known = [t for t in series if t is not None]
            dotted = ".".join(str(i) for i in ids_of(s.path))
            out.append('<tr><td>%s</td><td>%s</td><td class="num">%s</td><td class="num">%s</td></tr>' % (
                link("/jobs/%s#node=%s" % (q(newest.id), "/".join(q(i) for i in ids_of(s.path))), text(dotted, 300)),
                sparkline(series, dotted), duration(s.runtime), duration(max(known) if known else None)))
        out.append('</tbody></table></section>')
        return self.page("Trends of %s" % name, "\n".join(out), current="Trends")

    # --- compare ------------------------------------------------------------------------------------------------

    async def compare_page(self, request):
        return await self._guarded(request, lambda: self._compare(request.query_params))

    def _compare(self, params):
        a, b = params.get("a", "").strip(), params.get("b", "").strip()
        form = ('<form class="filters" method="get" action="/compare" aria-label="Jobs to compare">%s%s'
                '<button type="submit">Compare</button></form>'
                % (_field("Older job (a)", "a", a, "text"), _field("Newer job (b)", "b", b, "text")))
        if not b:
            return self.page("Compare", "<h1>Compare two jobs</h1>\n" + form, current="Compare", forms=True)
        new = self._job_row(b)
        if not a:
            earlier = self.insights.recent_jobs(new["name"], 1, before=new)
            if not earlier:
                raise HTTPProblem(404, "job %r has no earlier job of its name to compare with" % b)
            a = earlier[0].id
            form = form.replace('name="a" value=""', 'name="a" value="%s"' % text(a))
        old = self._job_row(a)
        threshold = _float(params.get("t"), 1.0, "t")
        diff = self.insights.compare(a, b, threshold)

        def where(node, job):
            return link("/jobs/%s#node=%s" % (q(job), "/".join(q(i) for i in node.path.split("."))),
                        text(node.path, 300))

        def changes(title, key, items):
            rows = ['<section class="block" aria-labelledby="%s-title"><h2 id="%s-title">%s (<span class="count">%d'
                    '</span>)</h2>' % (key, key, text(title), len(items))]
            if items:
                rows.append('<table class="list" id="%s"><thead><tr><th scope="col">Node</th><th scope="col">Now'
                            '</th><th scope="col">Before</th></tr></thead><tbody>' % key)
                for node, was in items:
                    rows.append('<tr><td>%s</td><td>%s</td><td>%s</td></tr>' % (
                        where(node, b), badge(node.result),
                        badge(was.result) if was else '<span class="note">absent</span>'))
                rows.append('</tbody></table>')
            rows.append('</section>')
            return "".join(rows)

        def tops(title, key, items, job):
            rows = ['<section class="block" aria-labelledby="%s-title"><h2 id="%s-title">%s (<span class="count">%d'
                    '</span>)</h2>' % (key, key, text(title), len(items))]
            if items:
                rows.append('<ul id="%s">' % key)
                for node in items:
                    rows.append('<li>%s <span class="note">%s%s</span></li>' % (
                        where(node, job) if job else text(node.path, 300), text(node.type),
                        " (%d nodes)" % node.size if node.size > 1 else ""))
                rows.append('</ul>')
            rows.append('</section>')
            return "".join(rows)

        out = ['<h1>Compare %s with %s</h1>' % (link("/jobs/" + q(a), text(a, 120)), link("/jobs/" + q(b), text(b, 120))),
               form,
               '<p class="note">What changed from the older job a (%s) to the newer job b (%s).</p>'
               % (text(when(old["start"])), text(when(new["start"]))),
               changes("New failures", "new-failures", diff.new_failures),
               changes("Fixes", "fixes", diff.fixes),
               changes("Other result changes", "other-changes", diff.other_changes),
               tops("Added", "added", diff.added, b), tops("Removed", "removed", diff.removed, None)]
        out.append('<section class="block" aria-labelledby="times-title"><h2 id="times-title">Run-time changes over '
                   '%g s (<span class="count">%d</span>)</h2>' % (threshold, len(diff.slower)))
        if diff.slower:
            out.append('<table class="list" id="run-times"><thead><tr><th scope="col">Node</th>'
                       '<th scope="col" class="num">Before</th><th scope="col" class="num">Now</th>'
                       '<th scope="col" class="num">Change</th></tr></thead><tbody>')
            for node, was in diff.slower:
                out.append('<tr><td>%s</td><td class="num">%s</td><td class="num">%s</td><td class="num">%+.2f s'
                           '</td></tr>' % (where(node, b), duration(was.runtime), duration(node.runtime),
                                           node.runtime - was.runtime))
            out.append('</tbody></table>')
        out.append('</section>')
        return self.page("Compare %s with %s" % (a, b), "\n".join(out), current="Compare", forms=True)


def state_words(found):
    """A node's state with its evidence in words (insights.node_history), or "" when it has none."""
    if found["state"] in ("new", "failing", "flaky"):
        return triage.evidence(found["state"], found["failing_since"], found["run"], found["flips"],
                               found["window"], found.get("passed_before"))
    return ""


def trend_chart(jobs):
    """Counts per job as stacked bars and the pass rate as a line over them: inline SVG, made here."""
    width, height, left, right, bottom, top = 760, 240, 40, 70, 24, 12
    plot_h = height - bottom - top
    step = (width - left - right) / max(1, len(jobs))
    bar_w = max(2.0, min(36.0, step * 0.7))
    highest = max([sum(v for _, v in result_counts(_counts_of(j))) for j in jobs] + [1])
    parts = ['<svg class="chart" id="trend-chart" viewBox="0 0 %d %d" role="img" aria-label="%s">' % (
        width, height, text("Counts by result per job (bars, up to %d results) and pass rate (line, 0 to 100 %%), "
                            "oldest job left" % highest))]
    for fraction in (0, .5, 1):
        y = top + plot_h * (1 - fraction)
        parts.append('<line class="grid" x1="%d" x2="%d" y1="%.1f" y2="%.1f"></line>' % (left, width - right, y, y))
        parts.append('<text x="2" y="%.1f">%d %%</text>' % (y + 4, fraction * 100))
        parts.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>' % (width - 2, y + 4, _count_label(
            highest * fraction)))
    parts.append('<line class="axis" x1="%d" x2="%d" y1="%d" y2="%d"></line>' % (left, width - right, top + plot_h,
                                                                                top + plot_h))
    points = []
    for index, job in enumerate(jobs):
        counts = _counts_of(job)
        x = left + step * index + (step - bar_w) / 2
        y = top + plot_h
        for result, count in result_counts(counts):
            h = plot_h * count / highest
            y -= h
            parts.append('<rect class="bar-part %s" x="%.1f" y="%.1f" width="%.1f" height="%.1f"><title>%s: %d %s'
                         '</title></rect>' % (result_class(result), x, y, bar_w, h, text(job.id, 80), count,
                                              text(result)))
        if len(jobs) <= 40:
            parts.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (
                x + bar_w / 2, height - 6, text(job.id, 14)))
        rate = pass_rate(counts)
        if rate is not None:
            points.append((x + bar_w / 2, top + plot_h * (1 - rate / 100), job, rate))
    if points:
        parts.append('<polyline class="rate" points="%s"></polyline>' % " ".join("%.1f,%.1f" % p[:2] for p in points))
        for x, y, job, rate in points:
            parts.append('<circle class="dot" cx="%.1f" cy="%.1f" r="3"><title>%s: %.1f %% passed</title></circle>'
                         % (x, y, text(job.id, 80), rate))
    parts.append('</svg>')
    legend = " ".join('<span><span class="swatch %s"></span>%s</span>' % (result_class(r), r) for r in RESULT_ORDER)
    return "".join(parts) + '<div class="legend">%s<span>\u2014 pass rate (left scale); bars: results ' \
        '(right scale)</span></div>' % legend


def _count_label(value):
    return ("%d" % value if value == int(value) else "%.1f" % value) + " results" if value else ""


def sparkline(series, label):
    known = [t for t in series if t is not None]
    if not known:
        return ""
    width, height = 180, 30
    high = max(known) or 1.0
    step = width / max(1, len(series) - 1)
    points = ["%.1f,%.1f" % (i * step, height - 3 - (height - 6) * t / high)
              for i, t in enumerate(series) if t is not None]
    last = points[-1].split(",")
    return ('<svg class="spark" viewBox="0 0 %d %d" role="img" aria-label="%s"><polyline points="%s"></polyline>'
            '<circle cx="%s" cy="%s" r="2.5"></circle></svg>' % (
                width, height, text("run time of %s per job, up to %s" % (label, duration(high))),
                " ".join(points), last[0], last[1]))


def _field(label, name, value, kind):
    return '<label>%s <input type="%s" name="%s" value="%s"></label>' % (text(label), kind, name, text(value))


def _choice(label, name, value, options):
    items = "".join('<option value="%s"%s>%s</option>' % (text(v), " selected" if v == value else "", text(t))
                    for v, t in options)
    return '<label>%s <select name="%s">%s</select></label>' % (text(label), name, items)


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
