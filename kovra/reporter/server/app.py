"""``create_app(settings)``: the server's Starlette application, with its storage opened and migrated."""
import asyncio
import contextlib
import datetime
import gc
import json
import logging
import re
import time
import urllib.parse

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.middleware import Middleware
from starlette.middleware.gzip import GZipMiddleware
from starlette.routing import Route

from kovra.reporter.server import auth
from kovra.reporter.server.api import Api, JSONResponse, error_handlers
from kovra.reporter.server.metrics import Measure
from kovra.reporter.server.settings import Settings
from kovra.reporter.server.storage import DatabaseUnavailable, Storage
from kovra.reporter.server.web import Pages, web_routes

# As strict as the HTML report's: JSON needs nothing at all; pages set their own (with their hashes).
CSP = "default-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"


class SecurityHeaders:
    """Every response carries the content security policy, nosniff and a ban on framing, unless it set a
    policy of its own, which then gets frame-ancestors 'none' when it says nothing of framing. It stands
    outside Starlette's own error handling too: an exception answers 500 here, with the same headers."""

    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        started = False

        async def send_with_headers(message):
            nonlocal started
            if message["type"] == "http.response.start":
                started = True
                message = dict(message, headers=secured(message.get("headers", [])))
            await send(message)

        try:
            await self.app(scope, receive, send_with_headers)
        except Exception as error:
            if started:
                raise
            body = json.dumps({"error": "internal error: %s" % type(error).__name__}).encode()
            await send_with_headers({"type": "http.response.start", "status": 500, "headers": [
                (b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]})
            await send({"type": "http.response.body", "body": body})
            raise


class AccessLog:
    """One line per request on the "kovra.reporter.access" logger: time, method, path with its query,
    status, bytes sent, seconds taken and the token's name (its session's for a signed-in page, "other"
    for a token the server does not take, "-" for none; auth.Identify tells it); never a token. `form` is "text" or "json" (JSON lines)."""

    def __init__(self, app, form):
        self.app = app
        self.form = form
        self.log = logging.getLogger("kovra.reporter.access")

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        started = time.monotonic()
        status, sent = 500, 0

        async def counting(message):
            nonlocal status, sent
            if message["type"] == "http.response.start":
                status = message["status"]
            elif message["type"] == "http.response.body":
                sent += len(message.get("body", b""))
            await send(message)

        try:
            await self.app(scope, receive, counting)
        finally:
            query = scope.get("query_string", b"").decode("latin-1")
            entry = {"time": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds"),
                     "method": scope.get("method"), "path": scope.get("path", "") + ("?" + query if query else ""),
                     "status": status, "bytes": sent, "seconds": round(time.monotonic() - started, 6),
                     "token": scope.get("kovra.token", "-")}
            if self.form == "json":
                self.log.info(json.dumps(entry, ensure_ascii=True))
            else:
                self.log.info("%(time)s %(method)s %(path)s %(status)d %(bytes)d %(seconds).6f %(token)s"
                              % dict(entry, path=entry["path"].encode("unicode_escape").decode("ascii")))


class ReadGuard:
    """Reading needs a token where the database says so (every process of a team applies the one
    rule): a read from no known token nor signed-in session is answered 401, a page's with the sign-in
    page. The database is asked off the event loop, at most every few seconds."""

    OPEN = ("/healthz", "/readyz", "/signin")

    def __init__(self, app, storage, signin_page):
        self.app = app
        self.storage = storage
        self.signin_page = signin_page

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http" and scope.get("method") in ("GET", "HEAD") and scope.get("path") not in self.OPEN:
            protected = self.storage.known_read_rule()
            if protected is None:
                try:
                    protected = await run_in_threadpool(self.storage.read_protected)
                except DatabaseUnavailable as error:
                    return await JSONResponse({"error": str(error)}, status_code=503)(scope, receive, send)
            if protected and scope.get("kovra.who") is None:
                path = scope.get("path", "")
                if path.startswith("/api/") or path.endswith("/rows") or path == "/metrics":
                    answer = JSONResponse({"error": "reading needs a token (Authorization: Bearer TOKEN)"},
                                          status_code=401)
                else:
                    query = scope.get("query_string", b"").decode("latin-1")
                    answer = self.signin_page(path + ("?" + query if query else ""), status=401)
                return await answer(scope, receive, send)
        await self.app(scope, receive, send)


def secured(headers):
    # Redirects stay on the host the client asked (Starlette's own take theirs from the Host header).
    headers = [(name, _relative(value) if name.lower() == b"location" else value) for name, value in headers]
    names = {name.lower() for name, _ in headers}
    if b"content-security-policy" not in names:
        headers.append((b"content-security-policy", CSP.encode()))
    else:
        headers = [(name, value + b"; frame-ancestors 'none'")
                   if name.lower() == b"content-security-policy" and b"frame-ancestors" not in value
                   else (name, value) for name, value in headers]
    if b"x-content-type-options" not in names:
        headers.append((b"x-content-type-options", b"nosniff"))
    if b"x-frame-options" not in names:
        headers.append((b"x-frame-options", b"DENY"))
    if b"referrer-policy" not in names:
        headers.append((b"referrer-policy", b"no-referrer"))
    return headers


def _relative(location):
    parts = urllib.parse.urlsplit(location)
    return urllib.parse.urlunsplit((b"", b"", parts.path or b"/", parts.query, parts.fragment))


# Query values whose names say what they hold, checked once for the API and the pages alike.
WHOLE_NUMBERS = ("page", "per_page", "start", "stop", "n")
TIMES = ("since", "until")
JSON_VALUES = ("path", "open", "node", "parent")
# 18 digits: every such number fits the databases' 64-bit integers, offsets times page sizes too.
WHOLE_NUMBER = re.compile(r"[0-9]{1,18}\Z")
JSON_DEPTH = 400
SHOWN_AS_TEXT = ("node",)


def query_problem(query_string, max_value):
    """The reason a query string is refused, or None: a value too long, holding NUL or a lone
    surrogate, or not what its name says (a whole number, a time, a JSON value)."""
    try:
        text = query_string.decode("latin-1")
        pairs = urllib.parse.parse_qsl(text, keep_blank_values=True, errors="strict")
    except (UnicodeDecodeError, ValueError):
        return "the query is not UTF-8 text"
    for name, value in pairs:
        shown = name[:40]
        if len(value) > max_value:
            return "the query value %s is longer than %d characters (max_query_value)" % (shown, max_value)
        if "\x00" in value or "\x00" in name:
            return "the query value %s holds a NUL character" % shown
        if not value:
            continue
        if name in WHOLE_NUMBERS and not WHOLE_NUMBER.match(value):
            return "%s must be a whole number of at most 18 digits, not %r" % (name, value[:40])
        if name in TIMES and not _time_value(value):
            return "%s must be a date or time in ISO 8601 within years 1 to 9999, not %r" % (name, value[:40])
        if name in JSON_VALUES and value.startswith(("[", "{")):
            # Lone surrogates are ids as JSON escapes give them; a page that shows one cannot.
            reason = _json_problem(value, shown=name in SHOWN_AS_TEXT)
            if reason:
                return "%s: %s" % (name, reason)
    return None


def _time_value(value):
    try:
        parsed = datetime.datetime.fromisoformat(value.replace("Z", "+00:00"))
        if parsed.tzinfo is not None:
            parsed.astimezone(datetime.timezone.utc)
        return True
    except (ValueError, OverflowError):
        return False


def _json_problem(value, shown):
    depth = deepest = 0
    for char in value:
        if char in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif char in "]}":
            depth -= 1
    if deepest > JSON_DEPTH:
        return "nested deeper than %d levels" % JSON_DEPTH
    try:
        parsed = json.loads(value)
    except (ValueError, RecursionError):
        return None  # each handler says what it wants instead
    if not shown:
        return None
    stack = [parsed]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            if "\x00" in item:
                return "an id holds a NUL character"
            try:
                item.encode("utf-8")
            except UnicodeEncodeError:
                return "an id holds a lone surrogate"
        elif isinstance(item, list):
            stack.extend(item)
        elif isinstance(item, dict):
            stack.extend(item.values())
    return None


class QueryCheck:
    """Answers 400 with the reason to a query value no handler could use (see query_problem)."""

    def __init__(self, app, max_value, page_problem):
        self.app = app
        self.max_value = max_value
        self.page_problem = page_problem

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http" and scope.get("query_string"):
            reason = query_problem(scope["query_string"], self.max_value)
            if reason:
                path = scope.get("path", "")
                if path.startswith("/api/") or path.endswith("/rows"):
                    answer = JSONResponse({"error": reason}, status_code=400)
                else:
                    answer = self.page_problem(400, reason)
                return await answer(scope, receive, send)
        await self.app(scope, receive, send)


async def prune_now_and_then(storage, interval):
    """Applies the retention every `interval` seconds; a failure waits for the next round."""
    import logging
    from starlette.concurrency import run_in_threadpool
    log = logging.getLogger("kovra.reporter.server")
    while True:
        await asyncio.sleep(interval)
        try:
            gone = await run_in_threadpool(storage.prune)
            if gone:
                log.warning("pruned %d job(s) the retention lets go", len(gone))
        except Exception as error:  # noqa: BLE001 - the server keeps serving; the next round tries again
            log.warning("pruning failed: %s", " ".join(str(error).split())[:300])


def configure_logs():
    """Warnings (the database going and coming back) on standard error with their time; the access
    log's lines on standard output as they are."""
    import sys
    logging.basicConfig(format="%(asctime)s %(levelname)s %(message)s", level=logging.WARNING)
    access = logging.getLogger("kovra.reporter.access")
    if not access.handlers:
        access.setLevel(logging.INFO)
        access.propagate = False
        handler = logging.StreamHandler(sys.stdout)
        handler.setFormatter(logging.Formatter("%(message)s"))
        access.addHandler(handler)


SETTINGS_VARIABLE = "KOVRA_REPORTER_SETTINGS"


def app_from_environment():
    """The application for settings handed over in $KOVRA_REPORTER_SETTINGS (JSON): each worker
    process that `serve --workers N` starts makes its own."""
    import json
    import os
    from kovra.reporter.server import connections
    settings = Settings(**json.loads(os.environ[SETTINGS_VARIABLE]))
    connections.configure(settings)
    configure_logs()
    return create_app(settings, upgrade=False)


def create_app(settings=None, storage=None, upgrade=True):
    """The application for `settings` (defaults: Settings()); `storage` may be given already opened."""
    settings = settings or Settings()
    storage = storage or Storage(settings.database_url(), timeout=settings.db_timeout, upgrade=upgrade)
    api = Api(storage, settings)
    from kovra.reporter.server.groups import Groups
    from kovra.reporter.server import webhooks
    dispatcher = webhooks.Dispatcher(storage, backoff=settings.webhook_backoff)

    def on_stored(row, changed):
        if webhooks.enqueue(storage, row, changed):
            dispatcher.wake()

    api.on_stored = on_stored
    pages = Pages(storage, settings)
    book = auth.Book(storage, api.token)
    api.book = book
    signin = auth.SignIn(book, pages, trust_proxy=settings.trust_proxy)
    # The rule on reading is the database's: a process started with --read-token (or
    # --no-read-token) sets it for every process.
    if settings.read_token_required is not None:
        storage.set_read_protected(settings.read_token_required)

    async def healthz(_request):
        # The process answers: nothing more is asked.
        return JSONResponse({"status": "ok"})

    async def readyz(_request):
        ready, reason = await run_in_threadpool(storage.ready)
        return JSONResponse({"status": "ready"} if ready else {"status": "not ready", "error": reason},
                            status_code=200 if ready else 503)

    routes = [Route("/healthz", healthz, methods=["GET"]), Route("/readyz", readyz, methods=["GET"])] \
        + api.routes() + Groups(api).routes() + webhooks.Webhooks(api).routes() + signin.routes() \
        + web_routes(storage, settings)

    async def not_found(_request, _error):
        return JSONResponse({"error": "no such resource"}, status_code=404)

    async def not_allowed(_request, _error):
        return JSONResponse({"error": "method not allowed"}, status_code=405)

    async def server_error(_request, error):
        return JSONResponse({"error": "internal error: %s" % type(error).__name__}, status_code=500)

    handlers = dict(error_handlers())
    handlers.update({404: not_found, 405: not_allowed, 500: server_error})
    @contextlib.asynccontextmanager
    async def lifespan(_app):
        dispatcher.start()
        # What start-up made lives as long as the process: kept out of the collector's full passes, which
        # would otherwise walk it all again every so many requests (a stall of tens of milliseconds).
        gc.collect()
        gc.freeze()
        pruning = asyncio.ensure_future(prune_now_and_then(storage, settings.prune_interval)) \
            if settings.prune_interval else None
        try:
            yield
        finally:
            if pruning is not None:
                pruning.cancel()
            dispatcher.stop()
            storage.close()

    app = Starlette(routes=routes, exception_handlers=handlers, lifespan=lifespan,
                    # Level 1: JSON and pages pack to a fifth or less at once, and a large report is
                    # packed on the event loop.
                    middleware=[Middleware(GZipMiddleware, minimum_size=1024, compresslevel=1),
                                Middleware(QueryCheck, max_value=settings.max_query_value,
                                           page_problem=pages.problem_page),
                                Middleware(auth.Identify, book=book),
                                Middleware(ReadGuard, storage=storage, signin_page=signin.page)])
    # Outside Starlette's error middleware, so that a 500 carries the headers too.
    outer = app.build_middleware_stack

    def build_middleware_stack():
        secured_app = SecurityHeaders(Measure(outer(), api.metrics))
        if settings.access_log in ("text", "json"):
            return AccessLog(secured_app, settings.access_log)
        return secured_app

    app.build_middleware_stack = build_middleware_stack
    app.state.storage = storage
    app.state.settings = settings
    return app
