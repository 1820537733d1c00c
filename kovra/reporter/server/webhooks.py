"""Webhooks: events queued in the database at ingest, posted by the server in the background.

    POST   /api/webhooks                  {"url", "events": [...], "secret"} (write token) -> {"id", ...}
    GET    /api/webhooks                  the webhooks, secrets left out (write token)
    DELETE /api/webhooks/{id}
    GET    /api/webhooks/{id}/deliveries  the delivery log, newest first (write token)

Events: "job.finished"; "failure.new" (a failing leaf node whose path failed in no
earlier job of the same name); "group.finished" (the last running job of a group
finished). Ingest only inserts the deliveries; a thread of the server posts them
with a timeout, signed (X-Kovra-Signature: sha256=HMAC-SHA256(secret, body)) and
named (X-Kovra-Delivery). A failure is retried with a doubling backoff, at most
MAX_ATTEMPTS times. An attempt holds its delivery for LEASE seconds: a server
stopped half-way leaves it to be tried again after a restart.
"""
import datetime
import hashlib
import hmac
import json
import threading
import urllib.error
import urllib.parse
import urllib.request
import uuid

from sqlalchemy import and_, delete, insert, select, update
from starlette.routing import Route

from kovra.reporter.server import schema
from kovra.reporter.server.api import HTTPProblem, JSONResponse
from kovra.reporter.server.intake import safe_json

EVENTS = ("job.finished", "failure.new", "group.finished")
FAILING = ("failed", "errored", "aborted")
MAX_ATTEMPTS = 5
TIMEOUT = 10.0
LEASE = 60.0
# New failures named in one "failure.new" delivery, at most.
MAX_NEW_FAILURES = 200


def _now():
    return datetime.datetime.utcnow()


def _iso(value):
    return value.isoformat() if isinstance(value, datetime.datetime) else value


def check_url(url):
    parsed = urllib.parse.urlsplit(url) if isinstance(url, str) else None
    if parsed is None or parsed.scheme not in ("http", "https") or not parsed.hostname or len(url) > 2000:
        raise HTTPProblem(400, "a webhook's url must be an http or https URL with a host")
    return url


def sign(secret, body):
    return "sha256=" + hmac.new(secret.encode("utf-8"), body, hashlib.sha256).hexdigest()


# --- at ingest --------------------------------------------------------------------------------------------------------

def _new_failures(connection, job_id, name):
    """Failing leaf paths of this job that failed in no earlier job of the same name."""
    nodes, jobs = schema.nodes, schema.jobs
    rows = connection.execute(select(nodes.c.path, nodes.c.parent).where(
        nodes.c.job == job_id, nodes.c.result.in_(FAILING), nodes.c.depth >= 2)).all()
    parents = {parent for _, parent in rows}
    leaves = [path for path, _ in rows if path not in parents]
    if not leaves:
        return []
    earlier = select(jobs.c.id).where(jobs.c.name == name, jobs.c.id != job_id)
    seen = {path for (path,) in connection.execute(select(nodes.c.path).distinct().where(
        nodes.c.job.in_(earlier), nodes.c.result.in_(FAILING), nodes.c.path.in_(leaves)))}
    return [json.loads(path) for path in sorted(leaves) if path not in seen][:MAX_NEW_FAILURES]


def enqueue(storage, row, changed):
    """Queues the deliveries a stored send calls for; returns how many. Posting is the dispatcher's."""
    if not changed or row.get("state") != "finished":
        return 0
    jobs, hooks = schema.jobs, schema.webhooks
    now = _now()
    with storage._guard(), storage._writer() as connection:
        wanted = [(h.id, json.loads(h.events)) for h in connection.execute(select(hooks.c.id, hooks.c.events))]
        if not wanted:
            return 0
        job = {key: row.get(key) for key in ("id", "name", "state", "result", "counts", "snapshot", "group")}
        bodies = {"job.finished": {"event": "job.finished", "job": job}}
        if any("failure.new" in events for _, events in wanted):
            fresh = _new_failures(connection, row["id"], row["name"])
            if fresh:
                bodies["failure.new"] = {"event": "failure.new", "job": job, "failures": fresh}
        group = row.get("group")
        if group and any("group.finished" in events for _, events in wanted):
            running = connection.execute(select(jobs.c.id).where(jobs.c.group == group, jobs.c.state != "finished")
                                         .limit(1)).first()
            if running is None:
                members = [r.id for r in connection.execute(select(jobs.c.id).where(jobs.c.group == group))]
                bodies["group.finished"] = {"event": "group.finished", "group": group, "jobs": members}
        queued = []
        for hook_id, events in wanted:
            for event, body in bodies.items():
                if event in events:
                    queued.append({"id": uuid.uuid4().hex, "webhook": hook_id, "event": event,
                                   "body": safe_json(dict(body, delivery_time=now.isoformat() + "Z")),
                                   "state": "queued", "attempts": 0, "due": now, "created": now})
        if queued:
            connection.execute(insert(schema.deliveries), queued)
    return len(queued)


# --- the dispatcher ---------------------------------------------------------------------------------------------------

class Dispatcher:
    """Posts due deliveries from a thread; `backoff` seconds before the second attempt, doubling after."""

    def __init__(self, storage, backoff=5.0, poll=0.5):
        self.storage = storage
        self.backoff = backoff
        self.poll = poll
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._thread = None

    def start(self):
        self._thread = threading.Thread(target=self._run, name="kovra-webhooks", daemon=True)
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._wake.set()
        if self._thread is not None:
            self._thread.join(TIMEOUT + 5)

    def wake(self):
        self._wake.set()

    def _run(self):
        while not self._stop.is_set():
            try:
                while not self._stop.is_set() and self.run_due():
                    pass
            except Exception:  # noqa: BLE001 - a lost database: try again at the next round
                pass
            self._wake.wait(self.poll)
            self._wake.clear()

    def run_due(self, limit=20):
        """Attempts the deliveries that are due; returns how many were attempted."""
        deliveries, hooks = schema.deliveries, schema.webhooks
        now = _now()
        with self.storage._guard(), self.storage.engine.connect() as connection:
            due = connection.execute(
                select(deliveries.c.id, deliveries.c.due, deliveries.c.attempts, deliveries.c.body,
                       deliveries.c.event, hooks.c.url, hooks.c.secret)
                .join(hooks, hooks.c.id == deliveries.c.webhook)
                .where(deliveries.c.state == "queued", deliveries.c.due <= now)
                .order_by(deliveries.c.due).limit(limit)).all()
        attempted = 0
        for found in due:
            # The lease: only the server whose update moves `due` on makes this attempt.
            with self.storage._guard(), self.storage._writer() as connection:
                taken = connection.execute(update(deliveries).where(
                    deliveries.c.id == found.id, deliveries.c.due == found.due, deliveries.c.state == "queued")
                    .values(due=now + datetime.timedelta(seconds=LEASE))).rowcount
            if taken != 1:
                continue
            attempted += 1
            status, error = self._post(found)
            attempts = found.attempts + 1
            values = {"attempts": attempts, "last_status": status, "last_error": error}
            if status is not None and 200 <= status < 300:
                values.update(state="delivered", delivered=_now(), last_error=None)
            elif attempts >= MAX_ATTEMPTS:
                values.update(state="failed")
            else:
                values.update(due=_now() + datetime.timedelta(seconds=self.backoff * 2 ** (attempts - 1)))
            with self.storage._guard(), self.storage._writer() as connection:
                connection.execute(update(deliveries).where(deliveries.c.id == found.id).values(**values))
        return attempted

    def _post(self, found):
        body = found.body.encode("utf-8")
        request = urllib.request.Request(found.url, data=body, method="POST", headers={
            "Content-Type": "application/json", "User-Agent": "kovra-reporter-webhooks",
            "X-Kovra-Event": found.event, "X-Kovra-Delivery": found.id,
            "X-Kovra-Signature": sign(found.secret, body)})
        try:
            with _opener().open(request, timeout=TIMEOUT) as response:
                response.read(65536)
                return response.status, None
        except urllib.error.HTTPError as error:
            return error.code, "HTTP %d" % error.code
        except Exception as error:  # noqa: BLE001 - refused, timed out, reset, bad TLS: all retried
            return None, " ".join(str(error).split())[:300] or type(error).__name__


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


def _opener():
    # No redirects (a 3xx is an answer, not a new target) and no proxies from the environment.
    return urllib.request.build_opener(_NoRedirect, urllib.request.ProxyHandler({}))


# --- the API ----------------------------------------------------------------------------------------------------------

class Webhooks:
    def __init__(self, api, dispatcher=None):
        self.api = api
        self.storage = api.storage
        self.dispatcher = dispatcher

    def routes(self):
        return [
            Route("/api/webhooks", self.create, methods=["POST"]),
            Route("/api/webhooks", self.list, methods=["GET"]),
            Route("/api/webhooks/{hook:int}", self.remove, methods=["DELETE"]),
            Route("/api/webhooks/{hook:int}/deliveries", self.log, methods=["GET"]),
        ]

    def _writer_only(self, request):
        # Reading them too: a webhook's deliveries tell where the server's news goes.
        self.api._writable(request, "webhooks")

    async def create(self, request):
        self._writer_only(request)
        body = await request.body()
        if len(body) > 65536:
            raise HTTPProblem(413, "a webhook is at most 64 KiB of JSON")
        try:
            given = json.loads(body)
        except ValueError:
            raise HTTPProblem(400, "a webhook is a JSON object {\"url\", \"events\", \"secret\"}") from None
        if not isinstance(given, dict):
            raise HTTPProblem(400, "a webhook is a JSON object {\"url\", \"events\", \"secret\"}")
        url = check_url(given.get("url"))
        events = given.get("events")
        if not isinstance(events, list) or not events or any(e not in EVENTS for e in events):
            raise HTTPProblem(400, "events must be a non-empty list of %s" % ", ".join(EVENTS))
        secret = given.get("secret")
        if not isinstance(secret, str) or not secret or len(secret) > 1000:
            raise HTTPProblem(400, "secret must be a non-empty text (it signs each delivery)")
        row = {"url": url, "events": json.dumps(sorted(set(events))), "secret": secret, "created": _now()}

        def store():
            with self.storage._guard(), self.storage._writer() as connection:
                return connection.execute(insert(schema.webhooks).values(**row)).inserted_primary_key[0]

        hook = await self.api._call(store)
        return JSONResponse({"id": hook, "url": url, "events": sorted(set(events))}, status_code=201)

    async def list(self, request):
        self._writer_only(request)
        hooks = schema.webhooks

        def read():
            with self.storage._guard(), self.storage.engine.connect() as connection:
                return [{"id": h.id, "url": h.url, "events": json.loads(h.events), "created": _iso(h.created)}
                        for h in connection.execute(select(hooks.c.id, hooks.c.url, hooks.c.events, hooks.c.created)
                                                    .order_by(hooks.c.id))]
        return JSONResponse({"webhooks": await self.api._call(read)})

    async def remove(self, request):
        self._writer_only(request)
        hook = request.path_params["hook"]

        def drop():
            with self.storage._guard(), self.storage._writer() as connection:
                connection.execute(delete(schema.deliveries).where(schema.deliveries.c.webhook == hook))
                return connection.execute(delete(schema.webhooks).where(schema.webhooks.c.id == hook)).rowcount
        if not await self.api._call(drop):
            raise HTTPProblem(404, "no webhook %d" % hook)
        return JSONResponse({"deleted": hook})

    async def log(self, request):
        self._writer_only(request)
        hook = request.path_params["hook"]
        d = schema.deliveries

        def read():
            with self.storage._guard(), self.storage.engine.connect() as connection:
                if connection.execute(select(schema.webhooks.c.id).where(schema.webhooks.c.id == hook)).first() is None:
                    return None
                rows = connection.execute(
                    select(d.c.id, d.c.event, d.c.state, d.c.attempts, d.c.last_status, d.c.last_error, d.c.created,
                           d.c.delivered).where(and_(d.c.webhook == hook)).order_by(d.c.created.desc(), d.c.id)
                    .limit(500))
                return [dict(r._mapping, created=_iso(r.created), delivered=_iso(r.delivered)) for r in rows]
        found = await self.api._call(read)
        if found is None:
            raise HTTPProblem(404, "no webhook %d" % hook)
        return JSONResponse({"deliveries": found})
