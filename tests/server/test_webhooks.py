"""Webhooks against a receiver on loopback: signed deliveries with ids, a retry after a 500, a restart with
a delivery still queued, and what a webhook may not be."""
import hashlib
import hmac
import http.server
import json
import threading
import time

import httpx
import pytest

from conftest import AUTH, TOKEN, make_settings
from test_client import serving

from kovra.reporter import runset
from kovra.reporter.client import ServerClient

SECRET = "s3cret"


class Receiver:
    """An HTTP server on loopback recording each POST; answers with `statuses` in turn, then 200."""

    def __init__(self, statuses=()):
        self.got = []
        self.statuses = list(statuses)
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                owner.got.append((dict(self.headers), body))
                self.send_response(owner.statuses.pop(0) if owner.statuses else 200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/hook" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def wait(self, count, timeout=30):
        deadline = time.monotonic() + timeout
        while len(self.got) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.got

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def receiver():
    made = []

    def make(statuses=()):
        made.append(Receiver(statuses))
        return made[-1]
    yield make
    for one in made:
        one.close()


@pytest.fixture
def served(db_url, tmp_path):
    with serving(make_settings(db_url, tmp_path, webhook_backoff=0.2)) as url:
        yield url


def job_of(name, results):
    job = runset.RunSet(id=name, seq_num=0)
    job.start()
    task = job.add_task(id="t", seq_num=1)
    task.start()
    for number, value in enumerate(results):
        case = task.add_section(id="c%d" % number, seq_num=number, type="Testcase")
        case.start()
        case.stop(result=runset.TestResult(value))
    task.stop()
    job.stop()
    return job


def add_hook(url, target, events):
    answer = httpx.post(url + "/api/webhooks", json={"url": target, "events": events, "secret": SECRET},
                        headers=AUTH)
    assert answer.status_code == 201, answer.text
    return answer.json()["id"]


def test_deliveries_are_signed_retried_and_logged(served, receiver):
    hook = receiver([500])
    hook_id = add_hook(served, hook.url, ["job.finished", "failure.new", "group.finished"])
    with ServerClient(served, "night-1-a", token=TOKEN, group="night-1") as client:
        client.send(job_of("nightly", ["passed", "failed"]), state="running")
        time.sleep(0.3)
        assert hook.got == []                      # running: nothing to say yet
        client.send(job_of("nightly", ["passed", "failed"]))
    got = hook.wait(4)                             # three events, one of them twice (the 500)
    assert len(got) == 4
    for headers, body in got:
        expected = "sha256=" + hmac.new(SECRET.encode(), body, hashlib.sha256).hexdigest()
        assert hmac.compare_digest(headers["X-Kovra-Signature"], expected)
    events = [(h["X-Kovra-Event"], h["X-Kovra-Delivery"]) for h, _ in got]
    assert sorted(e for e, _ in set(events)) == ["failure.new", "group.finished", "job.finished"]
    assert events[0] in events[1:]                 # the 500 was retried under the same delivery id
    bodies = {h["X-Kovra-Event"]: json.loads(b) for h, b in got}
    assert bodies["failure.new"]["failures"] == [["t", "c1"]]
    assert bodies["group.finished"]["jobs"] == ["night-1-a"]
    # The receiver answers before the server records the delivery: the log may lag it a moment.
    expected = [("delivered", 1), ("delivered", 1), ("delivered", 2)]
    for _ in range(50):
        log = httpx.get(served + "/api/webhooks/%d/deliveries" % hook_id, headers=AUTH).json()["deliveries"]
        if sorted((d["state"], d["attempts"]) for d in log) == expected:
            break
        time.sleep(0.1)
    assert sorted((d["state"], d["attempts"]) for d in log) == expected
    assert [d["last_status"] for d in log if d["attempts"] == 2] == [200]
    # The same failure in a later job of that name is not new.
    with ServerClient(served, "night-2-a", token=TOKEN) as client:
        client.send(job_of("nightly", ["failed", "failed"]))
    later = [json.loads(b) for h, b in hook.wait(6)[4:]]
    assert sorted(b["event"] for b in later) == ["failure.new", "job.finished"]
    assert [b["failures"] for b in later if b["event"] == "failure.new"] == [[["t", "c0"]]]
    assert httpx.get(served + "/api/webhooks/%d/deliveries" % hook_id).status_code == 401


@pytest.mark.parametrize("given, status", [
    ({"url": "ftp://example.invalid/x", "events": ["job.finished"], "secret": "s"}, 400),
    ({"url": "file:///etc/passwd", "events": ["job.finished"], "secret": "s"}, 400),
    ({"url": "javascript:alert(1)", "events": ["job.finished"], "secret": "s"}, 400),
    ({"url": "http:///no-host", "events": ["job.finished"], "secret": "s"}, 400),
    ({"url": "http://127.0.0.1:9/x", "events": ["job.started"], "secret": "s"}, 400),
    ({"url": "http://127.0.0.1:9/x", "events": [], "secret": "s"}, 400),
    ({"url": "http://127.0.0.1:9/x", "events": ["job.finished"]}, 400),
    (["not", "an", "object"], 400),
], ids=["ftp", "file", "javascript", "no-host", "unknown-event", "no-events", "no-secret", "not-object"])
def test_what_a_webhook_may_not_be(client, given, status):
    answer = client.post("/api/webhooks", json=given, headers=AUTH)
    assert answer.status_code == status
    assert "\n" not in answer.json()["error"]
    assert client.get("/api/webhooks", headers=AUTH).json()["webhooks"] == []
    assert client.post("/api/webhooks", json={"url": "http://127.0.0.1:9/", "events": ["job.finished"],
                                              "secret": "s"}).status_code == 401


def test_a_queued_delivery_outlives_a_restart(start_server, db_url, receiver, tmp_path):
    hook = receiver([500])
    server = start_server(db_url, data=tmp_path / "data")
    add_hook(server.url, hook.url, ["job.finished"])
    with ServerClient(server.url, "j", token=TOKEN) as client:
        client.send(job_of("j", ["passed"]))
    first = hook.wait(1)
    assert len(first) == 1
    # The receiver answers before the server records the 500; killed before that, the delivery would
    # wait out its whole lease instead of its backoff.
    for _ in range(100):
        log = httpx.get(server.url + "/api/webhooks/1/deliveries", headers=AUTH).json()["deliveries"]
        if [(d["state"], d["attempts"]) for d in log] == [("queued", 1)]:
            break
        time.sleep(0.1)
    assert [(d["state"], d["attempts"]) for d in log] == [("queued", 1)]
    server.kill()                                  # its retry was still to come
    again = start_server(db_url, data=tmp_path / "data", port=server.port)
    got = hook.wait(2, timeout=40)
    assert len(got) == 2
    assert got[0][0]["X-Kovra-Delivery"] == got[1][0]["X-Kovra-Delivery"]
    log = httpx.get(again.url + "/api/webhooks/1/deliveries", headers=AUTH).json()["deliveries"]
    assert [(d["state"], d["attempts"]) for d in log] == [("delivered", 2)]
