"""Who a request comes from: named tokens (each "read" or "write"), and the pages' sign-in sessions.

A token is presented as ``Authorization: Bearer TOKEN``; the pages, which cannot send one, sign in
once with it and then carry a session cookie. The cookie is signed (HMAC-SHA-256) with a key kept in
the database, so that every process of a team takes the sessions any of them made; it names the
token, which must still exist when the cookie comes back: revoking a token ends its sessions too.

The process's own token (`--token-file`) is the write token named "write". Tokens in the database are
read again at most every TOKEN_CACHE_SECONDS: a token revoked by any process stops working on every
process within that time.

    GET  /signin?next=PATH    the sign-in page
    POST /signin              token=TOKEN&next=PATH: a good token sets the session and goes to PATH
    POST /signout             clears the session
"""
import base64
import contextvars
import datetime
import hashlib
import hmac
import json
import re
import secrets
import threading
import time
import urllib.parse

from sqlalchemy import delete, insert, select, update
from sqlalchemy.exc import IntegrityError
from starlette.concurrency import run_in_threadpool
from starlette.responses import RedirectResponse

from kovra.reporter.server import schema
from kovra.reporter.server.storage import DatabaseUnavailable, StorageError

ROLES = ("read", "write")
# The name the process's own token (--token-file) goes by, in the access log and on what it writes.
SETTINGS_TOKEN = "write"
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._@-]{0,63}\Z")
TOKEN_CACHE_SECONDS = 2.0
LAST_USED_SECONDS = 60.0
SESSION_COOKIE = "kovra_session"
SESSION_SECONDS = 12 * 3600
# The request's identity, for the templates (who is signed in) and the pages' policy (a sign-out form).
CURRENT = contextvars.ContextVar("kovra_reporter_who", default=None)


class Who:
    """A request's identity: the token's name and role, and whether it came as a session cookie."""

    __slots__ = ("name", "role", "session")

    def __init__(self, name, role, session=False):
        self.name, self.role, self.session = name, role, session

    @property
    def writes(self):
        # The pages never write: a session reads, whatever its token's role.
        return self.role == "write" and not self.session


def token_hash(token):
    # SHA-256 suffices: the tokens are random 256-bit values, never guessed by trying hashes.
    return hashlib.sha256(token.encode("utf-8")).hexdigest()


def new_token():
    return secrets.token_urlsafe(32)


def signed_in():
    """The name a page shows as signed in, or None."""
    who = CURRENT.get()
    return who.name if who is not None and who.session else None


# --- the tokens in the database ---------------------------------------------------------------------------------

def add_token(storage, name, role):
    """Makes a token; returns it (the database keeps its hash only). ValueError when refused."""
    if not NAME.match(name or ""):
        raise ValueError("a token's name is 1 to 64 letters, digits or ._@- (starting with a letter or digit), "
                         "not %r" % (name or "")[:80])
    if name == SETTINGS_TOKEN:
        raise ValueError("%r is the name of the server's own token (--token-file)" % SETTINGS_TOKEN)
    if role not in ROLES:
        raise ValueError("a token's role is read or write, not %r" % role)
    token = new_token()
    try:
        with storage._guard(), storage._writer() as connection:
            connection.execute(insert(schema.tokens).values(name=name, role=role, hash=token_hash(token),
                                                            created=datetime.datetime.utcnow()))
    except IntegrityError:
        raise ValueError("there is a token named %r already (revoke it first)" % name) from None
    return token


def list_tokens(storage):
    """[{"name", "role", "created", "last_used"}], by name: never a token nor its hash."""
    t = schema.tokens
    with storage._guard(), storage.engine.connect() as connection:
        rows = connection.execute(select(t.c.name, t.c.role, t.c.created, t.c.last_used).order_by(t.c.name))
        return [{"name": r.name, "role": r.role, "created": r.created, "last_used": r.last_used} for r in rows]


def revoke_token(storage, name):
    """True when a token of that name was there (and is gone)."""
    with storage._guard(), storage._writer() as connection:
        return connection.execute(delete(schema.tokens).where(schema.tokens.c.name == name)).rowcount > 0


def session_key(storage):
    """The key signing sessions, made by whichever process needs it first."""
    k = schema.server_keys
    for _ in range(2):
        with storage._guard(), storage.engine.connect() as connection:
            found = connection.execute(select(k.c.value).where(k.c.name == "session")).scalar()
        if found:
            return found.encode("ascii")
        try:
            with storage._guard(), storage._writer() as connection:
                connection.execute(insert(k).values(name="session", value=secrets.token_hex(32)))
        except IntegrityError:
            pass  # another process made it first: read theirs
    raise DatabaseUnavailable("the session key could not be read")


class Book:
    """The tokens this process takes: its own, and the database's, read again every TOKEN_CACHE_SECONDS."""

    def __init__(self, storage, own_token=None):
        self.storage = storage
        self.own = [(token_hash(own_token), SETTINGS_TOKEN, "write")] if own_token else []
        self._entries = None
        self._read_at = 0.0
        self._used = {}
        self._flushed_at = time.monotonic()
        self._key = None
        self._lock = threading.Lock()

    def fresh(self, sessions=False):
        if sessions and self._key is None:
            return False
        return self._entries is not None and time.monotonic() - self._read_at < TOKEN_CACHE_SECONDS

    def refresh(self, sessions=False):
        """Reads the tokens again (in a worker thread), and notes when the used ones were last used;
        with `sessions`, reads the key that signs them too."""
        t = schema.tokens
        with self._lock:
            now = time.monotonic()
            if self._used and now - self._flushed_at >= LAST_USED_SECONDS:
                used, self._used = self._used, {}
                self._flushed_at = now
                try:
                    with self.storage._guard(), self.storage._writer() as connection:
                        for name, when in used.items():
                            connection.execute(update(t).where(t.c.name == name).values(last_used=when))
                except StorageError:
                    pass  # a full or read-only database still lets tokens be checked; the time is lost
            with self.storage._guard(), self.storage.engine.connect() as connection:
                rows = connection.execute(select(t.c.hash, t.c.name, t.c.role)).fetchall()
            self._entries = [tuple(r) for r in rows]
            self._read_at = now
            if sessions and self._key is None:
                self._key = session_key(self.storage)

    def any_writer(self):
        """False only when this process knows there is no write token at all."""
        return bool(self.own) or self._entries is None or any(role == "write" for _, _, role in self._entries)

    def match(self, token):
        """(name, role) of a token this process takes, or None. Every entry is compared, in constant
        time, whichever matches."""
        given = token_hash(token)
        found = None
        for stored, name, role in self.own + list(self._entries or ()):
            if hmac.compare_digest(stored, given) and found is None:
                found = (name, role)
        if found is not None and found[0] != SETTINGS_TOKEN:
            self._used[found[0]] = datetime.datetime.utcnow()
        return found

    # --- sessions

    def _fingerprint(self, name):
        # Ties a session to the token itself: a token revoked and made again under the same name does
        # not bring its old sessions back.
        for stored, entry_name, role in self.own + list(self._entries or ()):
            if entry_name == name:
                mac = hmac.new(self._key, b"token:" + stored.encode("ascii"), hashlib.sha256).hexdigest()[:32]
                return mac, role
        return None, None

    def make_session(self, name, now=None):
        expires = int(now if now is not None else time.time()) + SESSION_SECONDS
        fingerprint, _ = self._fingerprint(name)
        payload = base64.urlsafe_b64encode(json.dumps({"n": name, "e": expires, "f": fingerprint},
                                                      separators=(",", ":")).encode()).decode("ascii").rstrip("=")
        # No padding: a cookie's value with "=" in it would go out quoted.
        return payload + "." + self._sign(payload)

    def _sign(self, payload):
        return hmac.new(self._key, b"session:" + payload.encode("ascii"), hashlib.sha256).hexdigest()

    def session(self, value, now=None):
        """The Who of a cookie's value: signed by this database's key, not expired, its token still there."""
        payload, _, mac = (value or "").partition(".")
        if not payload or not mac or self._key is None:
            return None
        try:
            if not hmac.compare_digest(mac.encode("ascii"), self._sign(payload).encode("ascii")):
                return None
            data = json.loads(base64.urlsafe_b64decode(payload.encode("ascii") + b"=" * (-len(payload) % 4)))
            name, expires, fingerprint = data["n"], int(data["e"]), data["f"]
        except (ValueError, KeyError, TypeError, UnicodeError):
            return None
        if expires <= (now if now is not None else time.time()):
            return None
        expected, role = self._fingerprint(name)
        if expected is None or not isinstance(fingerprint, str) \
                or not hmac.compare_digest(fingerprint.encode("ascii", "replace"), expected.encode("ascii")):
            return None
        return Who(name, role, session=True)


def _header(scope, name):
    for key, value in scope.get("headers") or ():
        if key == name:
            return value.decode("latin-1")
    return ""


def _cookie(scope, name):
    for part in _header(scope, b"cookie").split(";"):
        key, _, value = part.strip().partition("=")
        if key == name:
            return value
    return None


class Identify:
    """Puts the request's identity in scope["kovra.who"] (a Who or None) and its token's name for the
    access log in scope["kovra.token"] ("-" for none, "other" for a token this server does not take)."""

    def __init__(self, app, book):
        self.app = app
        self.book = book

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        who, label = None, "-"
        scheme, _, given = _header(scope, b"authorization").partition(" ")
        cookie = _cookie(scope, SESSION_COOKIE)
        if (scheme.lower() == "bearer" and given.strip()) or cookie:
            if not self.book.fresh(sessions=bool(cookie)):
                try:
                    await run_in_threadpool(self.book.refresh, bool(cookie))
                except StorageError as error:
                    from kovra.reporter.server.api import JSONResponse
                    return await JSONResponse({"error": str(error)}, status_code=503)(scope, receive, send)
            if scheme.lower() == "bearer" and given.strip():
                found = self.book.match(given.strip())
                who, label = (Who(*found), found[0]) if found else (None, "other")
            elif scope.get("method") in ("GET", "HEAD", "POST"):
                who = self.book.session(cookie)
                label = who.name if who is not None else "-"
        scope["kovra.who"] = who
        scope["kovra.token"] = label
        CURRENT.set(who)
        await self.app(scope, receive, send)


# --- the sign-in pages -------------------------------------------------------------------------------------------

def safe_next(value):
    """A path on this server to go to after signing in; anything else (another host, a scheme, a
    backslash a browser would take for a slash) gives "/"."""
    value = value or "/"
    if not value.startswith("/") or value.startswith("//") or "\\" in value \
            or any(ord(c) < 0x20 or c == "\x7f" for c in value):
        return "/"
    parts = urllib.parse.urlsplit(value)
    if parts.scheme or parts.netloc or parts.path in ("/signin", "/signout"):
        return "/"
    return value


class SignIn:
    """The sign-in and sign-out handlers; `pages` renders, `trust_proxy` lets X-Forwarded-Proto say https."""

    def __init__(self, book, pages, trust_proxy=False):
        self.book = book
        self.pages = pages
        self.trust_proxy = trust_proxy

    def routes(self):
        from starlette.routing import Route
        return [Route("/signin", self.signin_page, methods=["GET"]),
                Route("/signin", self.signin, methods=["POST"]),
                Route("/signout", self.signout, methods=["POST"])]

    def page(self, next_path, message=None, status=200):
        return self.pages.page("signin.html", "Sign in", status=status, forms=True, next_path=safe_next(next_path),
                               message=message, session_hours=SESSION_SECONDS // 3600)

    async def signin_page(self, request):
        return self.page(request.query_params.get("next"))

    def _secure(self, request):
        if request.url.scheme == "https":
            return True
        return self.trust_proxy and request.headers.get("x-forwarded-proto", "").strip().lower() == "https"

    def _same_origin(self, request):
        # A form posted from another site is refused: nobody gets signed in as someone else's token.
        # The pages' no-referrer policy makes browsers send "Origin: null"; Sec-Fetch-Site tells then.
        site = request.headers.get("sec-fetch-site")
        if site is not None and site not in ("same-origin", "none"):
            return False
        origin = request.headers.get("origin")
        if origin and origin != "null":
            return urllib.parse.urlsplit(origin).netloc == request.headers.get("host", "")
        return True

    async def _form(self, request):
        body = b""
        async for chunk in request.stream():
            body += chunk
            if len(body) > 8192:
                return None
        try:
            return dict(urllib.parse.parse_qsl(body.decode("utf-8"), keep_blank_values=True))
        except (UnicodeDecodeError, ValueError):
            return None

    async def signin(self, request):
        form = await self._form(request)
        if form is None or not self._same_origin(request):
            return self.page("/", "The sign-in form was not this server's own.", status=400)
        next_path = form.get("next", "/")
        token = form.get("token", "").strip()
        if not self.book.fresh(sessions=True):
            await run_in_threadpool(self.book.refresh, True)
        found = self.book.match(token) if token else None
        if found is None:
            return self.page(next_path, "That token is not one this server takes. Check it and try again.",
                             status=401)
        answer = RedirectResponse(safe_next(next_path), status_code=303)
        answer.set_cookie(SESSION_COOKIE, self.book.make_session(found[0]), max_age=SESSION_SECONDS, path="/",
                          secure=self._secure(request), httponly=True, samesite="strict")
        return answer

    async def signout(self, request):
        answer = RedirectResponse("/signin", status_code=303)
        answer.delete_cookie(SESSION_COOKIE, path="/", secure=self._secure(request), httponly=True,
                             samesite="strict")
        return answer
