"""The process's figures in Prometheus' text format, for GET /metrics.

Requests by handler, method and status, their latency as a histogram by handler,
uploads and nodes stored, database errors, and the upload queue (slots busy,
uploads waiting). Each process counts its own: a scraper asks each of them.
"""
import threading
import time

BUCKETS = (0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0)


class Metrics:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = {}          # (handler, method, status) -> count
        self.latency = {}           # handler -> [count per bucket..., +Inf count, sum]
        self.uploads = 0
        self.nodes = 0
        self.slots_busy = 0
        self.waiting = 0

    def stored(self, nodes):
        with self.lock:
            self.uploads += 1
            self.nodes += nodes

    def observe(self, handler, method, status, seconds):
        with self.lock:
            key = (handler, method, status)
            self.requests[key] = self.requests.get(key, 0) + 1
            counts = self.latency.setdefault(handler, [0] * (len(BUCKETS) + 1) + [0.0])
            for index, bound in enumerate(BUCKETS):
                if seconds <= bound:
                    counts[index] += 1
            counts[len(BUCKETS)] += 1
            counts[-1] += seconds

    def text(self, database_errors):
        with self.lock:
            out = ["# HELP kovra_requests_total Requests answered, by handler, method and status.",
                   "# TYPE kovra_requests_total counter"]
            for (handler, method, status), count in sorted(self.requests.items()):
                out.append('kovra_requests_total{handler="%s",method="%s",status="%d"} %d'
                           % (handler, method, status, count))
            out += ["# HELP kovra_request_seconds Time to answer a request, by handler.",
                    "# TYPE kovra_request_seconds histogram"]
            for handler, counts in sorted(self.latency.items()):
                for bound, count in zip(BUCKETS, counts):
                    out.append('kovra_request_seconds_bucket{handler="%s",le="%g"} %d' % (handler, bound, count))
                out.append('kovra_request_seconds_bucket{handler="%s",le="+Inf"} %d' % (handler, counts[len(BUCKETS)]))
                out.append('kovra_request_seconds_sum{handler="%s"} %.6f' % (handler, counts[-1]))
                out.append('kovra_request_seconds_count{handler="%s"} %d' % (handler, counts[len(BUCKETS)]))
            for name, kind, value, text in (
                    ("kovra_uploads_total", "counter", self.uploads, "Uploads stored (a new snapshot each)."),
                    ("kovra_nodes_stored_total", "counter", self.nodes, "Nodes stored by those uploads."),
                    ("kovra_database_errors_total", "counter", database_errors,
                     "Requests that found the database unavailable."),
                    ("kovra_upload_slots_busy", "gauge", self.slots_busy, "Uploads being read, parsed or stored."),
                    ("kovra_uploads_waiting", "gauge", self.waiting, "Uploads waiting for a slot.")):
                out += ["# HELP %s %s" % (name, text), "# TYPE %s %s" % (name, kind), "%s %d" % (name, value)]
        return "\n".join(out) + "\n"


class Measure:
    """ASGI middleware: each request's handler (its endpoint's name), status and time into `metrics`."""

    def __init__(self, app, metrics):
        self.app = app
        self.metrics = metrics

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        started = time.monotonic()
        status = 500

        async def noting(message):
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        try:
            await self.app(scope, receive, noting)
        finally:
            endpoint = scope.get("endpoint")
            handler = getattr(endpoint, "__name__", None) or "none"
            self.metrics.observe(handler, scope.get("method", ""), status, time.monotonic() - started)
