"""ServerClient against a live server: the explorer walks a stored job over HTTP exactly as it walks the
same report through the file-backed client; failures name the server and the job; nothing hangs."""
import contextlib
import json
import os
import socket
import subprocess
import threading
import time

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from conftest import REPO, TOKEN, free_port, make_settings
from reports import Recording, big_document, main_job_runset, walk

from kovra.reporter import store
from kovra.reporter.client import NotFound, Refused, ServerClient, ServerUnavailable, split_job_url
from kovra.reporter.explorer import Explorer
from kovra.reporter_client import ReporterClient


@contextlib.contextmanager
def serving(settings):
    """The app for `settings` served by uvicorn in a thread on a free loopback port; yields its URL."""
    import uvicorn
    from kovra.reporter.server.app import create_app
    app = create_app(settings)
    server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=free_port(), log_level="error"))
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    deadline = time.monotonic() + 20
    while not server.started:
        assert time.monotonic() < deadline and thread.is_alive(), "the server did not start"
        time.sleep(0.02)
    try:
        yield "http://127.0.0.1:%d" % server.config.port
    finally:
        server.should_exit = True
        thread.join(20)


@pytest.fixture
def live(db_url, tmp_path):
    with serving(make_settings(db_url, tmp_path)) as url:
        yield url


class Dumped:
    """Anything with dump_json(), as send() takes a run set."""

    def __init__(self, document):
        self.text = json.dumps(document)

    def dump_json(self):
        return self.text


def same_walk(text, server_client):
    by_file, by_server = Recording(ReporterClient(text)), Recording(server_client)
    assert walk(by_server) == walk(by_file)
    assert by_server.calls == by_file.calls
    return by_file.calls


def test_main_job_walks_the_same_over_both_clients(live, tmp_path):
    job = main_job_runset(tmp_path, tasks=3, sections=3)
    with ServerClient(live, "nightly-1", token=TOKEN, timeout=10) as client:
        row = client.send(job, state="finished")
        assert (row["snapshot"], row["state"]) == (1, "finished")
        calls = same_walk(job.dump_json(), client)
        assert len(calls) == row["nodes"] > 50
        # The task logs went with it; a section's stretch reads back from the server.
        section = client.get_section(id_list=["task1", "section0"])
        stretch = section["logs"]
        with open(os.path.join(tmp_path, "task1.log"), "rb") as stream:
            expected = stream.read()[stretch["begin"]:stretch["begin"] + stretch["size"]]
        assert client.log("task1.log", stretch["begin"], stretch["begin"] + stretch["size"]) == expected
        assert expected
        # Sending it again is harmless.
        assert client.send(job)["changed"] is False


def test_a_stored_folder_is_sent_whole(live, tmp_path):
    job = main_job_runset(tmp_path, tasks=2, sections=2)
    for name, text in (("results.yaml", job.dump_yaml()), ("results.json", job.dump_json())):
        folder = tmp_path / name.split(".")[1]
        folder.mkdir()
        (folder / name).write_text(text)
        for log in ("task1.log", "task2.log"):
            (folder / log).write_bytes((tmp_path / log).read_bytes())
        with ServerClient(live, "from-" + folder.name, token=TOKEN) as client:
            row = client.send(str(folder), state="running")
            assert row["state"] == "running"
            assert client.log_names() == {"task1.log": os.path.getsize(tmp_path / "task1.log"),
                                          "task2.log": os.path.getsize(tmp_path / "task2.log")}
            # The YAML form is read back into a run set and sent as its JSON dump.
            sent = job.dump_json() if name.endswith(".json") else store.load(str(folder / name)).dump_json()
            same_walk(sent, client)


ids = st.text(st.characters(blacklist_categories=("Cc",)), min_size=1, max_size=6)
values = st.recursive(
    st.none() | st.booleans() | st.integers(-2 ** 63, 2 ** 63) | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=12),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=8)


def nodes(depth):
    data = st.dictionaries(st.text(max_size=8).filter(lambda k: k not in ("id", "tasks", "sections")), values,
                           max_size=4)
    if depth == 0:
        return st.builds(lambda i, d: dict(d, id=i), ids, data)
    # Duplicate ids among siblings are allowed: both clients reach each of them by its position.
    return st.builds(lambda i, d, kids: dict(d, id=i, sections=kids), ids, data,
                     st.lists(nodes(depth - 1), max_size=3))


documents = st.builds(lambda d, tasks: {"version": "3.2", "report": dict(d, id="run", tasks=tasks)},
                      st.dictionaries(st.sampled_from(["summary", "starttime", "name", "extra"]), values),
                      st.lists(nodes(2), max_size=4))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(document=documents)
# A lone surrogate, as a JSON escape gives it, cannot travel as UTF-8 in the query.
@example(document={"version": "3.2", "report": {"id": "run", "tasks": [{"id": "\ud800", "sections": [{"id": "a"}]}]}})
def test_random_trees_walk_the_same(live, document):
    with ServerClient(live, "random", token=TOKEN) as client:
        client.send(Dumped(document), replace=True)
        same_walk(json.dumps(document), client)


def test_missing_nodes_raise_key_errors_naming_server_and_job(live):
    with ServerClient(live, "j", token=TOKEN) as client:
        with pytest.raises(NotFound) as missing_job:
            client.get_runset()
        assert "reporter server %s, job 'j'" % live in str(missing_job.value)
        client.send(Dumped({"version": "3.2", "report": {"id": "r", "tasks": [{"id": "a"}]}}))
        for id_list in (["b"], ["a", "x"], [1, None]):
            with pytest.raises(KeyError):
                client.get_section(id_list=id_list)
        with pytest.raises(Refused, match="401"):
            ServerClient(live, "j", token="wrong").send(Dumped({"version": "3.2", "report": {"id": "r"}}))
        # One connection serves them all.
        sock = client._connection.sock
        client.get_runset()
        client.get_section(id_list=["a"])
        assert client._connection.sock is sock


def test_failures_are_clear_and_bounded(tmp_path):
    with socket.socket() as silent:
        # Listening, never answering: the timeout must end the wait.
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        client = ServerClient("http://127.0.0.1:%d" % silent.getsockname()[1], "j", timeout=0.5)
        started = time.monotonic()
        with pytest.raises(ServerUnavailable, match=r"job 'j': no answer within 0.5s"):
            client.get_runset()
        assert time.monotonic() - started < 5
    port = free_port()
    with pytest.raises(ServerUnavailable, match="reporter server http://127.0.0.1:%d, job 'k': cannot reach" % port):
        ServerClient("http://127.0.0.1:%d" % port, "k", timeout=2).get_section(id_list=["a"])
    with pytest.raises(ValueError):
        ServerClient("ftp://x", "j")
    assert split_job_url("http://h:1/jobs/a.b") == ("http://h:1", "a.b")
    assert split_job_url("http://h:1/pre/api/jobs/x%2Fy") is None
    assert split_job_url("/tmp/results.json") is None


@pytest.mark.skipif(not os.path.exists(os.path.join(REPO, ".venv310", "bin", "python")),
                    reason="no .venv310 (tools/setup makes it)")
def test_the_client_works_on_the_frameworks_310(live, tmp_path):
    job = main_job_runset(tmp_path, tasks=2, sections=2)
    ServerClient(live, "j310", token=TOKEN).send(job)
    script = ("import json, sys; sys.path.insert(0, 'tests/server'); from reports import walk; "
              "from kovra.reporter.client import ServerClient; c = ServerClient(%r, 'j310', timeout=10); "
              "print(json.dumps([walk(c), c.check()]))" % live)
    out = subprocess.run([os.path.join(REPO, ".venv310", "bin", "python"), "-c", script], cwd=REPO,
                         capture_output=True, text=True, timeout=120, env=dict(os.environ, PYTHONPATH=REPO))
    assert out.returncode == 0, out.stderr
    tree, verdict = json.loads(out.stdout)
    assert tree == json.loads(json.dumps(walk(ReporterClient(job.dump_json()))))
    assert verdict == ServerClient(live, "j310").check() and set(verdict) == {"job", "failing", "muted", "passed"}


@pytest.mark.parametrize("url, packed", [("http://127.0.0.1:1", False), ("http://[::1]:1", False),
                                         ("http://localhost:1", False), ("http://127.9.9.9:1", False),
                                         ("http://10.0.0.7:1", True), ("http://reports.example:1", True)])
def test_the_report_is_gzipped_unless_the_server_is_on_loopback(url, packed):
    import gzip
    sent = []
    client = ServerClient(url, "j", token=TOKEN)
    row = {"id": "j", "snapshot": 1, "state": "finished", "nodes": 1}
    client._json = lambda method, path, body, headers: sent.append((body, headers["Content-Type"])) or row
    text = json.dumps({"version": "3.2", "report": {"id": "r", "name": "x" * 1000}}).encode()
    client.send(Dumped(json.loads(text)), logs={})
    client.send(Dumped(json.loads(text)), logs={"a.log": b"log"})
    # Alone, the report is the body; with logs, the first part of a multipart one.
    (alone, alone_kind), (body, kind) = sent
    assert alone_kind == ("application/gzip" if packed else "application/json")
    assert kind.startswith("multipart/form-data; boundary=")
    head, _, rest = body.partition(b"\r\n\r\n")
    report = rest[:rest.index(b"\r\n--")]
    assert (b"results.json.gz\r" in head) == packed
    for data in (alone, report):
        assert (gzip.decompress(data) if packed else data) == text


@pytest.fixture
def hostile():
    """hostile(answer) -> the URL of a loopback server that answers every request with the bytes
    `answer` (a list of them: sent 0.2 s apart), then closes."""
    servers = []

    def serve(answer):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        listener.settimeout(10)
        pieces = answer if isinstance(answer, list) else [answer]

        def run():
            try:
                while True:
                    connection, _ = listener.accept()
                    with connection:
                        connection.settimeout(5)
                        received = b""
                        while b"\r\n\r\n" not in received:
                            received += connection.recv(65536)
                        head, _, body = received.partition(b"\r\n\r\n")
                        length = [int(line.split(b":")[1]) for line in head.split(b"\r\n")
                                  if line.lower().startswith(b"content-length:")]
                        while length and len(body) < length[0]:
                            body += connection.recv(65536)
                        for index, piece in enumerate(pieces):
                            if index:
                                time.sleep(0.2)
                            connection.sendall(piece)
            except OSError:
                pass

        threading.Thread(target=run, daemon=True).start()
        servers.append(listener)
        return "http://127.0.0.1:%d" % listener.getsockname()[1]

    yield serve
    for listener in servers:
        listener.close()


ROW = b'{"id":"j","snapshot":1,"state":"finished","nodes":1}'
HOSTILE_ANSWERS = [
    # (answer, client settings, the error's words)
    (b"HTTP/1.1 307 Temporary Redirect\r\nLocation: http://elsewhere.example/api/jobs/j\r\n"
     b"Content-Length: 2\r\n\r\n{}", {}, r"307 redirected to http://elsewhere.example/api/jobs/j; the client "
                                          r"follows no redirect"),
    (b"HTTP/1.1 302 Found\r\nLocation: /\x1b[2Jx\r\nContent-Length: 2\r\n\r\n{}", {}, r"redirected to /\\x1b\[2Jx"),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", {}, "not the job's row"),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nnot json!", {}, "is not JSON"),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n{", {}, r"larger than \d+ bytes \(max_answer_bytes\)"),
    (b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + b" " * 5000, {"max_answer_bytes": 4096},
     r"larger than 4096 bytes \(max_answer_bytes\)"),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + b"1000\r\n" + b" " * 4096 + b"\r\n" * 3,
     {"max_answer_bytes": 4000}, r"larger than 4000 bytes \(max_answer_bytes\)"),
    ([b"HTTP/1.1 200 OK\r\nContent-Length: 60\r\n\r\n"] + [b" "] * 20, {"deadline": 1.0, "timeout": 5},
     r"took longer than its deadline of 1s \(deadline\)"),
]


@pytest.mark.parametrize("answer, options, words", HOSTILE_ANSWERS)
def test_a_hostile_server_gets_no_answer_taken_for_its_own(hostile, answer, options, words):
    from kovra.reporter.client import ServerError
    client = ServerClient(hostile(answer), "j", token=TOKEN, **options)
    started = time.monotonic()
    with pytest.raises(ServerError, match=words):
        client.send(Dumped({"version": "3.2", "report": {"id": "r"}}), logs={})
    assert time.monotonic() - started < 4


@pytest.mark.parametrize("command", ["upload", "jobs"])
def test_the_command_line_fails_in_one_line_before_a_redirect(hostile, tmp_path, capsys, command):
    from kovra.reporter import cli
    url = hostile(b"HTTP/1.1 307 Temporary Redirect\r\nLocation: http://elsewhere.example/\r\n"
                  b"Content-Length: 2\r\n\r\n{}")
    (tmp_path / "results.json").write_text(json.dumps({"version": "3.2", "report": {"id": "r"}}))
    argv = ["upload", str(tmp_path), url + "/jobs/j"] if command == "upload" else ["jobs", url]
    assert cli.main(argv) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.count("\n") == 1 and "307 redirected to http://elsewhere.example/" in err


def test_a_test_case_run_twice_shows_twice_from_the_server(live, tmp_path, capsys):
    from kovra.reporter import cli
    from test_findings import twice_run_document
    document = twice_run_document()
    ServerClient(live, "twice", token=TOKEN).send(Dumped(document))
    (tmp_path / "results.json").write_text(json.dumps(document))
    shown = []
    for source in (live + "/jobs/twice", str(tmp_path / "results.json")):
        assert cli.main(["show", source, "--color", "never"]) == 0
        shown.append(capsys.readouterr().out)
    assert shown[0] == shown[1]
    # Both attempts of t0's s0 (failed, then passed), and t1's own s0.
    results = [line.split()[2] for line in shown[0].splitlines() if line.split()[:1] == ["s0"]]
    assert results == ["failed", "passed", "passed"], shown[0]
    # The explorer reaches both too, the second by its position.
    with ServerClient(live, "twice") as reader:
        task = Explorer(reader).tasks[0]
        assert [(s.id, s.result) for s in task.sections] == [("s0", "failed"), ("s1", {"value": "passed"}), ("s0", "passed")]
        assert task.sections[2]._id_list == ["t0", {"id": "s0", "position": 2}]
    # Both runs failed: the failures name each, the second by its position.
    document["report"]["tasks"][0]["sections"][2]["result"] = "failed"
    ServerClient(live, "twice", token=TOKEN).send(Dumped(document), replace=True)
    assert cli.main(["failures", live + "/jobs/twice"]) == 0
    listed = [line.split()[0] for line in capsys.readouterr().out.splitlines() if line.startswith("    ")]
    assert sorted(listed) == ["t0.s0", "t0.s0;2"]


def test_replace_and_delete_from_the_command_line(live, tmp_path, capsys, monkeypatch):
    from kovra.reporter import cli
    monkeypatch.setenv("KOVRA_REPORTER_TOKEN", TOKEN)
    url = live + "/jobs/kept"
    for name, document in (("a", big_document(1, 1)), ("b", big_document(2, 1))):
        (tmp_path / name).mkdir()
        (tmp_path / name / "results.json").write_text(json.dumps(document))
    steps = [(["upload", str(tmp_path / "a"), url], 0, "job kept: snapshot 1, finished, 3 nodes"),
             (["upload", str(tmp_path / "a"), url], 0, "(unchanged)"),
             (["upload", str(tmp_path / "b"), url], 2, "409 job 'kept' is finished"),
             (["upload", str(tmp_path / "b"), url, "--replace"], 0, "snapshot 2, finished, 5 nodes"),
             (["delete", url], 0, "job kept: deleted"),
             (["delete", url], 2, "404 no job 'kept'")]
    for argv, status, words in steps:
        assert cli.main(argv) == status, argv
        out, err = capsys.readouterr()
        assert words in (out if status == 0 else err), (argv, out, err)
        assert (out if status == 0 else err).count("\n") == 1
    with pytest.raises(NotFound):
        ServerClient(live, "kept").job_info()


def test_retention_prune_and_pin_from_the_command_line(live, capsys, monkeypatch):
    from kovra.reporter import cli
    monkeypatch.setenv("KOVRA_REPORTER_TOKEN", TOKEN)
    for key in ("old", "older", "new"):
        ServerClient(live, key, token=TOKEN).send(Dumped(big_document(1, 1)), name="n")
    steps = [(["retention", live], "retention: none (every job is kept)"),
             (["retention", live, "--keep-last", "1"], "retention: keeps the newest 1 jobs of each name, and "
                                                       "pinned and running jobs"),
             (["pin", live + "/jobs/old"], "job old: pinned"),
             (["prune", live, "--dry-run"], "older\n1 job(s) would go"),
             (["prune", live], "older\n1 job(s) deleted"),
             (["prune", live], "0 job(s) deleted"),
             (["retention", live, "--clear"], "retention: none")]
    for argv, words in steps:
        assert cli.main(argv) == 0, argv
        assert words in capsys.readouterr().out, argv
    assert sorted(row["id"] for row in ServerClient(live, None).list_jobs()["jobs"]) == ["new", "old"]
