"""``create_app(settings)``: the server's Starlette application, with its storage opened and migrated."""
import contextlib

from starlette.applications import Starlette
from starlette.middleware import Middleware

from kovra.reporter.server.api import Api, JSONResponse, error_handlers
from kovra.reporter.server.settings import Settings
from kovra.reporter.server.storage import Storage
from kovra.reporter.server.web import web_routes

# As strict as the HTML report's: JSON needs nothing at all; pages set their own (with their hashes).
CSP = "default-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"


class SecurityHeaders:
    """Every response carries the content security policy and nosniff, unless it set a policy of its own."""

    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)

        async def send_with_headers(message):
            if message["type"] == "http.response.start":
                headers = list(message.get("headers", []))
                names = {name.lower() for name, _ in headers}
                if b"content-security-policy" not in names:
                    headers.append((b"content-security-policy", CSP.encode()))
                if b"x-content-type-options" not in names:
                    headers.append((b"x-content-type-options", b"nosniff"))
                if b"referrer-policy" not in names:
                    headers.append((b"referrer-policy", b"no-referrer"))
                message = dict(message, headers=headers)
            await send(message)

        await self.app(scope, receive, send_with_headers)


SETTINGS_VARIABLE = "KOVRA_REPORTER_SETTINGS"


def app_from_environment():
    """The application for settings handed over in $KOVRA_REPORTER_SETTINGS (JSON): each worker
    process that `serve --workers N` starts makes its own."""
    import json
    import os
    return create_app(Settings(**json.loads(os.environ[SETTINGS_VARIABLE])), upgrade=False)


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
    routes = api.routes() + Groups(api).routes() + webhooks.Webhooks(api).routes() + web_routes(storage, settings)

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
        try:
            yield
        finally:
            dispatcher.stop()
            storage.close()

    app = Starlette(routes=routes, exception_handlers=handlers, middleware=[Middleware(SecurityHeaders)],
                    lifespan=lifespan)
    app.state.storage = storage
    app.state.settings = settings
    return app
