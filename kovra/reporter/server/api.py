"""The HTTP API: Starlette routes over the storage layer. No SQL here; each handler reads like its exchange.

    GET /api/jobs?name=&state=&result=&since=&until=&q=&page=1&per_page=50
    GET /api/jobs/{job}                     the job's row
    GET /api/jobs/{job}/runset              the run set node, children as ids
    GET /api/jobs/{job}/section?id=A&id=B   the node at id path [A, B] (or ?path=["A","B"] as JSON)
    GET /api/jobs/{job}/report              the whole stored document, as dump_json() shapes it
    GET /api/jobs/{job}/logs                the job's log files and their sizes
    GET /api/jobs/{job}/logs/{name}?start=S&stop=E   a byte range of a task log
    GET /api/jobs/{job}/failures            leaf failures grouped by signature, with states
    GET /api/history?name=NAME&node=PATH&n=N   one node's state and results, newest first
    GET /api/signatures/{sig}?page=&per_page=  the jobs holding a failure signature, newest first
    GET /api/jobs/{job}/check               {"failing": [...], "muted": [...], "passed": bool}: the verdict
    GET|POST /api/known-issues, GET|PUT|DELETE /api/known-issues/{id}   rules tying failures to issues
    GET|POST /api/mutes, GET|PUT|DELETE /api/mutes/{id}                 muted tests, each until a date
    GET|PUT /api/owners?name=NAME           a job name's owners text (PATTERN OWNER... per line)
    DELETE /api/jobs/{job}                  the job, its nodes and logs (needs the write token)
    PUT /api/jobs/{job}/pin?pinned=true|false   a pinned job is kept whatever the retention (write token)
    GET /api/retention, PUT /api/retention?keep_last=N&keep_days=D   the retention (PUT: write token)
    POST /api/prune[?dry_run=true]          deletes what the retention lets go, or lists it (write token)
    PUT /api/jobs/{job}?state=running|finished[&name=NAME][&group=GROUP][&replace=true]   a new snapshot
        (write token): multipart/form-data with a "report" part (the text dump_json() gives, gzip
        accepted) and a "log" part per task log (its file name is the log's name); or the report alone
        as the body. Or a JUnit XML file as the body (Content-Type: application/xml, or told by its
        content; gzip accepted): its suites become tasks, its cases "Testcase" sections. A finished job
        is replaced, and a job renamed, only with replace=true (else 409); the same snapshot again is
        always taken.
    PUT /api/jobs/{job}/task?state=running[&name=NAME][&group=GROUP][&replace=true]   one task sent whole
        (the same forms; the report's run set holds that task alone): it replaces that task, in its place,
        and the job's own fields; a finished job's task only with replace=true (else 409).
"""
import asyncio
import contextlib
import datetime
import json
import re

from starlette.concurrency import run_in_threadpool
from starlette.responses import JSONResponse as _StarletteJSON, Response
from starlette.routing import Route

from kovra.reporter.server import intake, junit_in
from kovra.reporter.server.insights import Insights, ids_of, path_of, path_of_fullid
from kovra.reporter.server.metrics import Metrics
from kovra.reporter.server.rules import Rules, ids_text
from kovra.reporter.server.storage import Conflict, DatabaseUnavailable, StorageError, StorageFull

STATES = ("running", "finished")


class JSONResponse(_StarletteJSON):
    """JSON in ASCII with markup characters escaped, like the stored nodes."""

    def render(self, content):
        return intake.safe_json(content).encode("ascii")


class HTTPProblem(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def problem(status, message):
    return JSONResponse({"error": " ".join(str(message).split())}, status_code=status)


# Keys stand in URLs, file names and shell commands as they are: letters, digits and a few marks.
JOB_KEY = re.compile(r"[A-Za-z0-9][A-Za-z0-9._:@+=,~-]*\Z")


def check_job_key(job, settings):
    if len(job) > settings.max_job_key or not JOB_KEY.match(job):
        raise HTTPProblem(400, "%r is not a job key (1 to %d letters, digits and . _ : @ + = , ~ -, "
                               "starting with a letter or digit)" % (job[:80], settings.max_job_key))
    return job


SIGNATURE = re.compile(r"[0-9a-f]{16}\Z")


def _iso(value):
    return value.isoformat() if isinstance(value, datetime.datetime) else value


def who_of(request):
    """The request's identity (auth.Who) as auth.Identify found it, or None."""
    return request.scope.get("kovra.who")


def _int_param(request, name, default, low=None):
    value = request.query_params.get(name)
    if value in (None, ""):
        return default
    try:
        number = int(value)
    except ValueError:
        raise HTTPProblem(400, "%s must be a whole number, not %r" % (name, value[:40])) from None
    if low is not None and number < low:
        raise HTTPProblem(400, "%s must be at least %d" % (name, low))
    return number


def _flag(request, name, default):
    value = request.query_params.get(name)
    if value in (None, ""):
        return default
    if value not in ("true", "false"):
        raise HTTPProblem(400, "%s must be true or false, not %r" % (name, value[:40]))
    return value == "true"


def _time_param(request, name):
    value = request.query_params.get(name)
    if not value:
        return None
    try:
        parsed = datetime.datetime.fromisoformat(value.replace("Z", "+00:00"))
    except ValueError:
        raise HTTPProblem(400, "%s must be a date or time in ISO 8601, not %r" % (name, value[:40])) from None
    if parsed.tzinfo is not None:
        parsed = parsed.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return parsed


def _id_list(request):
    if "path" in request.query_params:
        try:
            id_list = json.loads(request.query_params["path"])
        except ValueError:
            raise HTTPProblem(400, "path must be a JSON list of ids") from None
        if not isinstance(id_list, list):
            raise HTTPProblem(400, "path must be a JSON list of ids")
        return id_list
    return request.query_params.getlist("id")


class Api:
    """The API's handlers, bound to one storage and one set of settings."""

    def __init__(self, storage, settings):
        self.storage = storage
        self.settings = settings
        self.token = settings.write_token()
        self.insights = Insights(storage, window=getattr(settings, "history_window", 10))
        self.rules = Rules(storage)
        # Parsing an upload is CPU work under the interpreter lock: a few at a time keep the readers
        # (one-row reads on the event loop) from waiting behind every sender at once.
        self._upload_slots = asyncio.Semaphore(settings.parallel_uploads)
        self.metrics = Metrics()
        # Called with (row, changed) after each stored send: queues webhook deliveries, never posts them.
        self.on_stored = None
        # The tokens this process takes (auth.Book), set by create_app.
        self.book = None

    def routes(self):
        return [
            Route("/api/jobs", self.list_jobs, methods=["GET"]),
            Route("/api/jobs/{job}", self.job, methods=["GET"]),
            Route("/api/jobs/{job}", self.put_job, methods=["PUT"]),
            Route("/api/jobs/{job}/task", self.put_task, methods=["PUT"]),
            Route("/api/jobs/{job}", self.delete_job, methods=["DELETE"]),
            Route("/api/jobs/{job}/pin", self.pin, methods=["PUT"]),
            Route("/api/retention", self.retention, methods=["GET"]),
            Route("/api/retention", self.set_retention, methods=["PUT"]),
            Route("/api/prune", self.prune, methods=["POST"]),
            Route("/metrics", self.metrics_text, methods=["GET"]),
            Route("/api/jobs/{job}/runset", self.runset, methods=["GET"]),
            Route("/api/jobs/{job}/section", self.section, methods=["GET"]),
            Route("/api/jobs/{job}/report", self.report, methods=["GET"]),
            Route("/api/jobs/{job}/logs", self.logs, methods=["GET"]),
            Route("/api/jobs/{job}/logs/{name}", self.log, methods=["GET"]),
            Route("/api/jobs/{job}/failures", self.failures, methods=["GET"]),
            Route("/api/history", self.history, methods=["GET"]),
            Route("/api/signatures/{signature}", self.signature, methods=["GET"]),
            Route("/api/jobs/{job}/check", self.check, methods=["GET"]),
            Route("/api/known-issues", self.issues, methods=["GET", "POST"]),
            Route("/api/known-issues/{id:int}", self.issue, methods=["GET", "PUT", "DELETE"]),
            Route("/api/mutes", self.mutes, methods=["GET", "POST"]),
            Route("/api/mutes/{id:int}", self.mute, methods=["GET", "PUT", "DELETE"]),
            Route("/api/owners", self.owners, methods=["GET", "PUT"]),
        ]

    async def _call(self, function, *args, **kwargs):
        return await run_in_threadpool(function, *args, **kwargs)

    async def _lookup(self, function, *args):
        """A one-row read, in a worker thread like every other: a database may make it wait (a
        busy pool, a checkpoint, a network), and the event loop must never wait with it."""
        return await run_in_threadpool(function, *args)

    def _readable(self, request):
        # The database's rule is ReadGuard's; a process started with --read-token holds to it as well.
        if self.settings.read_token_required and who_of(request) is None:
            raise HTTPProblem(401, "reading needs a token (Authorization: Bearer TOKEN)")

    # --- reads ----------------------------------------------------------------------------------------------------

    async def list_jobs(self, request):
        self._readable(request)
        page = _int_param(request, "page", 1, low=1)
        per_page = min(_int_param(request, "per_page", 50, low=1), self.settings.max_per_page)
        state = request.query_params.get("state") or None
        if state is not None and state not in STATES:
            raise HTTPProblem(400, "state must be running or finished")
        rows, total = await self._call(
            self.storage.list_jobs, name=request.query_params.get("name") or None, state=state,
            result=request.query_params.get("result") or None, since=_time_param(request, "since"),
            until=_time_param(request, "until"), q=request.query_params.get("q") or None,
            offset=(page - 1) * per_page, limit=per_page)
        return JSONResponse({"jobs": rows, "total": total, "page": page, "per_page": per_page})

    async def job(self, request):
        self._readable(request)
        job = check_job_key(request.path_params["job"], self.settings)
        row = await self._lookup(self.storage.job, job)
        if row is None:
            raise HTTPProblem(404, "no job %r" % job)
        return JSONResponse(row)

    async def _node(self, request, id_list):
        job = check_job_key(request.path_params["job"], self.settings)
        found = await self._lookup(self.storage.node_text, job, id_list)
        if found is None:
            if id_list and await self._lookup(self.storage.job, job) is not None:
                raise HTTPProblem(404, "job %r has no node at id path %s" % (job, json.dumps(id_list)))
            raise HTTPProblem(404, "no job %r" % job)
        # Stored as the API serves it: no parse, no re-encode.
        return Response(found, media_type="application/json")

    async def runset(self, request):
        self._readable(request)
        return await self._node(request, [])

    async def section(self, request):
        self._readable(request)
        id_list = _id_list(request)
        if not id_list:
            raise HTTPProblem(400, "a section needs its id path (?id=A&id=B...)")
        return await self._node(request, id_list)

    async def report(self, request):
        self._readable(request)
        job = check_job_key(request.path_params["job"], self.settings)
        found = await self._call(self.storage.report_text, job)
        if found is None:
            raise HTTPProblem(404, "no job %r" % job)
        return Response(found, media_type="application/json")

    async def logs(self, request):
        self._readable(request)
        job = check_job_key(request.path_params["job"], self.settings)
        if await self._call(self.storage.job, job) is None:
            raise HTTPProblem(404, "no job %r" % job)
        return JSONResponse({"logs": await self._call(self.storage.log_names, job)})

    async def log(self, request):
        self._readable(request)
        job = check_job_key(request.path_params["job"], self.settings)
        name = request.path_params["name"]
        if "\x00" in name:
            raise HTTPProblem(400, "a log name holds no NUL character")
        start = _int_param(request, "start", 0, low=0)
        stop = _int_param(request, "stop", None, low=0)
        data = await self._call(self.storage.log_range, job, name, start, stop)
        if data is None:
            raise HTTPProblem(404, "job %r has no log %r" % (job, name[:200]))
        return Response(data, media_type="text/plain; charset=utf-8")

    # --- triage -----------------------------------------------------------------------------------------------

    async def _job_row(self, request):
        job = check_job_key(request.path_params["job"], self.settings)
        row = await self._lookup(self.storage.job, job)
        if row is None:
            raise HTTPProblem(404, "no job %r" % job)
        return row

    async def failures(self, request):
        self._readable(request)
        row = await self._job_row(request)
        groups = await self._call(self.failure_groups, row, request.query_params.get("owner") or None)
        return JSONResponse({"job": row["id"], "groups": groups})

    def failure_groups(self, row, owner=None):
        return grouped_failures(self.insights, self.rules, row, owner)

    def verdict(self, row):
        """{"failing", "muted", "passed"} of a job: every leaf failure (a failing node with no failing node
        beneath it, the tasks' own included), muted ones apart."""
        applier = self.rules.applier(row["name"])
        failing = self.insights.failing(row["id"])
        above = {path_of(ids_of(p)[:depth]) for p in failing for depth in range(len(ids_of(p)))}
        leaves = sorted(p for p in failing if p not in above)
        reasons = self.insights.leaf_reasons(row["id"], leaves)
        out = {"failing": [], "muted": []}
        for path in leaves:
            dotted = ids_text(path)
            mute = applier.muted(dotted)
            signature, reason = reasons.get(path, (None, None))
            item = {"path": ids_of(path), "result": failing[path], "reason": reason, "signature": signature,
                    "known_issue": applier.known_issue(signature, reason)}
            if mute is not None:
                item["muted"] = mute
            out["muted" if mute else "failing"].append(item)
        out["passed"] = not out["failing"]
        return out

    async def check(self, request):
        self._readable(request)
        row = await self._job_row(request)
        return JSONResponse(dict(await self._call(self.verdict, row), job=row["id"]))

    # --- rules ----------------------------------------------------------------------------------------------

    async def _json_body(self, request, limit=64 * 1024):
        body = await self._body(request, limit)
        try:
            return json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as error:
            raise HTTPProblem(400, "the body is not JSON: %s" % error) from None

    async def issues(self, request):
        if request.method == "GET":
            self._readable(request)
            state = request.query_params.get("state") or None
            return JSONResponse({"known_issues": await self._call(self.rules.issues, state)})
        by = self._writable(request)
        made = await self._call(self.rules.make_issue, await self._json_body(request), by)
        return JSONResponse(made, status_code=201)

    async def issue(self, request):
        issue_id = request.path_params["id"]
        if request.method == "GET":
            self._readable(request)
            found = await self._call(self.rules.issue, issue_id)
            if found is None:
                raise HTTPProblem(404, "no known issue %d" % issue_id)
            matched = await self._call(self.rules.matches, found)
            found["matches"] = [{"job": m.job, "name": m.name, "start": _iso(m.start), "path": ids_of(m.path),
                                 "reason": m.reason} for m in matched]
            return JSONResponse(found)
        by = self._writable(request)
        if request.method == "DELETE":
            if not await self._call(self.rules.delete_issue, issue_id):
                raise HTTPProblem(404, "no known issue %d" % issue_id)
            return JSONResponse({"deleted": issue_id})
        changed = await self._call(self.rules.change_issue, issue_id, await self._json_body(request), by)
        if changed is None:
            raise HTTPProblem(404, "no known issue %d" % issue_id)
        return JSONResponse(changed)

    async def mutes(self, request):
        if request.method == "GET":
            self._readable(request)
            return JSONResponse({"mutes": await self._call(self.rules.mutes)})
        by = self._writable(request)
        made = await self._call(self.rules.make_mute, await self._json_body(request), by)
        return JSONResponse(made, status_code=201)

    async def mute(self, request):
        mute_id = request.path_params["id"]
        if request.method == "GET":
            self._readable(request)
            found = await self._call(self.rules.mute, mute_id)
            if found is None:
                raise HTTPProblem(404, "no mute %d" % mute_id)
            return JSONResponse(found)
        by = self._writable(request)
        if request.method == "DELETE":
            if not await self._call(self.rules.delete_mute, mute_id):
                raise HTTPProblem(404, "no mute %d" % mute_id)
            return JSONResponse({"deleted": mute_id})
        changed = await self._call(self.rules.change_mute, mute_id, await self._json_body(request), by)
        if changed is None:
            raise HTTPProblem(404, "no mute %d" % mute_id)
        return JSONResponse(changed)

    async def owners(self, request):
        name = request.query_params.get("name", "")
        if not name:
            raise HTTPProblem(400, "owners wants ?name=JOB_NAME")
        if request.method == "GET":
            self._readable(request)
            text, by = await self._call(self.rules.owners_row, name)
            return JSONResponse({"name": name, "text": text, "written_by": by})
        by = self._writable(request)
        body = await self._body(request, 256 * 1024)
        try:
            text = body.decode("utf-8")
        except UnicodeDecodeError:
            raise HTTPProblem(400, "the owners text is not UTF-8") from None
        lines = await self._call(self.rules.set_owners, name, text, by)
        return JSONResponse({"name": name, "text": text, "lines": len(lines), "written_by": by})

    async def history(self, request):
        self._readable(request)
        name = request.query_params.get("name", "")
        node = request.query_params.get("node", "")
        if not name or not node:
            raise HTTPProblem(400, "history wants ?name=JOB_NAME&node=PATH (a JSON list of ids, or ids joined "
                                   "with .)")
        limit = min(_int_param(request, "n", self.insights.window, low=1), 1000)
        found = await self._call(self.insights.node_history, name, path_of_fullid(node), limit)
        for result in found["results"]:
            result["start"] = _iso(result["start"])
        return JSONResponse(found)

    async def signature(self, request):
        self._readable(request)
        signature = request.path_params["signature"]
        if not SIGNATURE.match(signature):
            raise HTTPProblem(400, "%r is not a failure signature (16 hex digits)" % signature[:40])
        page = _int_param(request, "page", 1, low=1)
        per_page = min(_int_param(request, "per_page", 50, low=1), self.settings.max_per_page)
        found = await self._call(self.insights.signature_jobs, signature, (page - 1) * per_page, per_page)
        if found is None:
            raise HTTPProblem(404, "no failure has signature %r" % signature)
        text, first, last, jobs, total = found
        return JSONResponse({"signature": signature, "text": text, "first_seen": first, "last_seen": last,
                             "total": total, "page": page, "per_page": per_page,
                             "jobs": [{"job": j.job, "name": j.name, "start": _iso(j.start), "count": j.count}
                                      for j in jobs]})

    # --- writes ---------------------------------------------------------------------------------------------------

    async def put_task(self, request):
        """One task's subtree in place of that task alone (task_sends.py)."""
        from kovra.reporter.server import groups, task_sends
        job, state, name, by = self._writing(request)
        self._declared_size(request)
        async with self._slot():
            report, logs = self._parts(request, await self._body(request))
            snapshot = await self._call(intake.read_snapshot, report, logs, self.settings, name,
                                        self.storage.time_text)
            groups.apply_group(snapshot, groups.group_param(request, self.settings))
            row, changed = await self._call(task_sends.put_task, self.storage, job, snapshot, state,
                                            request.query_params.get("replace") == "true", written_by=by)
        if changed:
            self.metrics.stored(len(snapshot.nodes))
        await self._stored(row, changed)
        return JSONResponse(dict(row, changed=changed), status_code=200)

    async def _stored(self, row, changed):
        if self.on_stored is not None:
            await self._call(self.on_stored, row, changed)

    @contextlib.asynccontextmanager
    async def _slot(self):
        # A body is read only once a slot is free: the uploads held in memory are never more than the
        # slots, however many senders wait (their bytes wait in the socket meanwhile).
        metrics = self.metrics
        metrics.waiting += 1
        try:
            await self._upload_slots.acquire()
        finally:
            metrics.waiting -= 1
        metrics.slots_busy += 1
        try:
            yield
        finally:
            metrics.slots_busy -= 1
            self._upload_slots.release()

    def _writing(self, request):
        by = self._writable(request)
        job = check_job_key(request.path_params["job"], self.settings)
        state = request.query_params.get("state", "finished")
        if state not in STATES:
            raise HTTPProblem(400, "state must be running or finished, not %r" % state[:40])
        return job, state, request.query_params.get("name") or None, by

    def _writable(self, request, what="writes"):
        """The name of the write token the request comes with; else 401, or 403 for a read token."""
        who = who_of(request)
        if who is not None and who.writes:
            return who.name
        if who is None and self.book is not None and not self.book.any_writer():
            raise HTTPProblem(403, "this server takes no %s: it was started without a token and has no "
                                   "write token" % what)
        if who is not None and not who.session:
            raise HTTPProblem(403, "the token %r may only read" % who.name)
        raise HTTPProblem(401, "writing needs a write token (Authorization: Bearer TOKEN)")

    async def delete_job(self, request):
        self._writable(request)
        job = check_job_key(request.path_params["job"], self.settings)
        if not await self._call(self.storage.delete_job, job):
            raise HTTPProblem(404, "no job %r" % job)
        return JSONResponse({"deleted": job})

    async def metrics_text(self, request):
        self._readable(request)
        return Response(self.metrics.text(self.storage.database_errors),
                        media_type="text/plain; version=0.0.4; charset=utf-8")

    async def pin(self, request):
        self._writable(request)
        job = check_job_key(request.path_params["job"], self.settings)
        pinned = _flag(request, "pinned", True)
        if not await self._call(self.storage.pin, job, pinned):
            raise HTTPProblem(404, "no job %r" % job)
        return JSONResponse(await self._call(self.storage.job, job))

    async def retention(self, request):
        self._readable(request)
        return JSONResponse(await self._call(self.storage.retention))

    async def set_retention(self, request):
        self._writable(request)
        keep_last = _int_param(request, "keep_last", None, low=1)
        keep_days = request.query_params.get("keep_days") or None
        if keep_days is not None:
            try:
                keep_days = float(keep_days)
            except ValueError:
                keep_days = -1.0
            if not 0 < keep_days < 1e6:
                raise HTTPProblem(400, "keep_days must be a number of days above 0")
        return JSONResponse(await self._call(self.storage.set_retention, keep_last, keep_days))

    async def prune(self, request):
        self._writable(request)
        dry_run = _flag(request, "dry_run", False)
        gone = await self._call(self.storage.prune, dry_run)
        return JSONResponse({"dry_run": dry_run, "jobs": gone})

    async def put_job(self, request):
        by = self._writable(request)
        job = check_job_key(request.path_params["job"], self.settings)
        state = request.query_params.get("state", "finished")
        if state not in STATES:
            raise HTTPProblem(400, "state must be running or finished, not %r" % state[:40])
        replace = request.query_params.get("replace", "false")
        if replace not in ("true", "false"):
            raise HTTPProblem(400, "replace must be true or false, not %r" % replace[:40])
        name = request.query_params.get("name") or None
        self._declared_size(request)
        kind = request.headers.get("content-type", "")
        async with self._slot():
            body = await self._body(request)
            reader = intake.read_snapshot
            if junit_in.is_junit(kind, body, self.settings):
                # JUnit XML from any runner: told by its type, or by its content.
                report, logs = body, {}
                reader = junit_in.read_junit if junit_in.declared_xml(kind) else junit_in.read_sniffed
            else:
                report, logs = self._parts(request, body)
            del body
            snapshot = await self._call(reader, report, logs, self.settings, name, self.storage.time_text)
            from kovra.reporter.server import groups
            groups.apply_group(snapshot, groups.group_param(request, self.settings))
            row, changed = await self._call(self.storage.put_job, job, snapshot, state, replace == "true",
                                            written_by=by)
        if changed:
            self.metrics.stored(len(snapshot.nodes))
        await self._stored(row, changed)
        return JSONResponse(dict(row, changed=changed), status_code=200)

    def _declared_size(self, request):
        limit = self.settings.max_upload_bytes
        declared = request.headers.get("content-length")
        if declared is not None:
            if not (declared.isascii() and declared.isdigit()):
                raise HTTPProblem(400, "Content-Length is not a number")
            if int(declared) > limit:
                raise HTTPProblem(413, "the upload is larger than %d bytes" % limit)

    async def _body(self, request, limit=None):
        limit = limit or self.settings.max_upload_bytes
        chunks = []
        size = 0
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                raise HTTPProblem(413, "the upload is larger than %d bytes" % limit)
            chunks.append(chunk)
        return b"".join(chunks)

    def _parts(self, request, body):
        kind = request.headers.get("content-type", "")
        if not kind.lower().startswith("multipart/form-data"):
            return body, {}
        from kovra.reporter.server.multipart import MultipartError, split_form
        try:
            parts = split_form(kind, body, max_parts=self.settings.max_log_files + 1)
        except MultipartError as error:
            raise HTTPProblem(400, "the multipart body cannot be read: %s" % error) from None
        report = None
        logs = {}
        for field, filename, data in parts:
            if field == "report":
                if report is not None:
                    raise HTTPProblem(400, "more than one report part")
                report = data
            elif field == "log":
                if not filename:
                    raise HTTPProblem(400, "a log part without a file name")
                intake.check_log_name(filename)
                if filename in logs:
                    raise HTTPProblem(400, "log %r sent twice" % filename)
                logs[filename] = data
            else:
                raise HTTPProblem(400, "unexpected part %r (report and log parts only)" % field[:40])
        if report is None:
            raise HTTPProblem(400, "no report part")
        return report, logs


def grouped_failures(insights, rules, row, owner=None, states=None):
    """The job's failure groups with each node's known issue, mute and owners (rules applied now);
    with `owner`, only that owner's nodes. `states` as for Insights.failure_groups."""
    applier = rules.applier(row["name"])
    groups = []
    for group in insights.failure_groups(row, states):
        by_signature = applier.known_issue(group["signature"], None)
        nodes = []
        for node in group["nodes"]:
            dotted = ids_text(node["path"])
            node.update(known_issue=applier.known_issue(group["signature"], node["reason"]),
                        muted=applier.muted(dotted), owners=applier.owners_of(dotted),
                        path=ids_of(node["path"]))
            if owner is None or owner in node["owners"]:
                nodes.append(node)
        if not nodes:
            continue
        issues = {json.dumps(n["known_issue"], sort_keys=True) for n in group["nodes"]}
        group.update(nodes=nodes, count=len(nodes),
                     known_issue=by_signature or (group["nodes"][0]["known_issue"] if len(issues) == 1 else None))
        groups.append(group)
    groups.sort(key=lambda g: (-g["count"], g["text"] or ""))
    return groups


def error_handlers():
    async def on_problem(_request, error):
        return problem(error.status, error)

    async def on_refused(_request, error):
        return problem(error.status, error)

    async def on_unavailable(_request, error):
        return problem(503, error)

    async def on_storage(_request, error):
        return problem(500, error)

    async def on_conflict(_request, error):
        return problem(409, error)

    async def on_full(_request, error):
        # 507, not 503: a client retries what is unavailable, and a full disk stays full.
        return problem(507, error)

    return {HTTPProblem: on_problem, intake.Refused: on_refused, DatabaseUnavailable: on_unavailable,
            StorageFull: on_full, Conflict: on_conflict, StorageError: on_storage}
