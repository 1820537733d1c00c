"""Real server processes on loopback: the command line end to end, SIGKILL in the middle of an upload,
a newer schema refused, PostgreSQL stopped under a serving server, and two servers taking sends of one job."""
import json
import os
import subprocess
import sys
import threading
import time

import pytest

from conftest import REPO, TOKEN, PG_URL, half_written
from reports import big_document, main_job_runset

from kovra.reporter.client import ServerClient, ServerError, ServerUnavailable
from kovra.reporter.server.storage import SchemaTooNew, Storage

HEAD = "0010_index_rows_unchecked"


def cli(*args, check=True):
    done = subprocess.run([sys.executable, "-m", "kovra.reporter"] + list(args), cwd=REPO, capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, PYTHONPATH=REPO,
                                                           KOVRA_REPORTER_TOKEN=TOKEN))
    if check:
        assert done.returncode == 0, done.stderr
    return done


def test_the_command_line_against_a_server(start_server, db_url, tmp_path, monkeypatch):
    server = start_server(db_url)
    # A job on a server is read into memory: the commands write nothing to the temporary folder.
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setenv("TMPDIR", str(scratch))
    folder = tmp_path / "job"
    folder.mkdir()
    job = main_job_runset(folder, tasks=2, sections=2)
    (folder / "results.json").write_text(job.dump_json())
    url = server.url + "/jobs/nightly-7"
    assert "job nightly-7: snapshot 1, running" in cli("upload", str(folder), url, "--state", "running").stdout
    listed = cli("jobs", server.url).stdout
    assert "nightly-7" in listed and "running" in listed and "jobs 1-1 of 1" in listed
    assert cli("jobs", server.url, "--state", "finished", "--json").stdout.count('"id"') == 0
    shown = cli("show", url, "--failed", "--color", "never").stdout
    assert shown == cli("show", str(folder / "results.json"), "--failed", "--color", "never").stdout
    assert cli("summary", url, "--check", check=False).returncode == 1
    cli("junit", url, "-o", str(tmp_path / "junit.xml"))
    cli("html", url, "-o", str(tmp_path / "page.html"))
    # The page shows the stretch of log a section wrote: the logs came from the server.
    assert "step task1.section0.step0" in (tmp_path / "page.html").read_text()
    cli("xml", url, "-o", str(tmp_path / "xml"))
    assert sorted(os.listdir(tmp_path / "xml")) == ["ResultsDetails.xml", "ResultsSummary.xml"]
    diff = cli("diff", url, str(folder / "results.json")).stdout
    assert diff.startswith(url + " -> ") and "new failures (0)" in diff
    missing = cli("show", server.url + "/jobs/absent", check=False)
    assert missing.returncode == 2 and "job 'absent'" in missing.stderr and "404" in missing.stderr
    assert len(missing.stderr.strip().splitlines()) == 1
    assert os.listdir(scratch) == []


def marker(client):
    try:
        return client.get_runset()["description"]
    except KeyError:
        return None


def test_sigkill_in_the_middle_of_an_upload(start_server, db_url, tmp_path):
    data = tmp_path / "srv"
    server = start_server(db_url, data=data)
    client = ServerClient(server.url, "victim", token=TOKEN, timeout=60)
    client.send(_Doc(big_document(2, 5, payload="snapshot-0")))
    log = os.urandom(8 << 20)
    # How long a whole upload takes here: the kills land at fractions of it.
    started = time.monotonic()
    client.job = "probe"
    client.send(_Doc(big_document(30, 600, payload="probe")), logs={"big.log": log})
    whole = time.monotonic() - started
    client.close()
    stored = "snapshot-0"
    for attempt, share in enumerate((0.3, 0.6, 0.9)):
        payload = "snapshot-%d" % (attempt + 1)
        outcome = []
        document = _Doc(big_document(30, 600, payload=payload))
        delay = whole * share

        def send():
            try:
                with ServerClient(server.url, "victim", token=TOKEN, timeout=60) as sender:
                    outcome.append(sender.send(document, logs={"big.log": log}))
            except ServerError as error:
                outcome.append(error)

        thread = threading.Thread(target=send)
        thread.start()
        time.sleep(delay)
        server.kill()
        thread.join(60)
        server = start_server(db_url, data=data, port=server.port)
        with ServerClient(server.url, "victim", timeout=30) as reader:
            now = marker(reader)
            # The job is at its previous snapshot, or at the new one whole.
            assert now in (stored, payload), now
            if outcome and isinstance(outcome[0], dict):
                assert now == payload, "an acknowledged upload was lost"
            document = json.loads(reader.get_report())
            expected = big_document(2, 5, payload=stored) if now == stored else big_document(30, 600, payload=payload)
            assert document == expected
            assert reader.job_info()["nodes"] == (1 + 2 + 10 if now == stored else 1 + 30 + 18000)
        print("upload of %.2fs killed after %.2fs: job at %s" % (whole, delay, now))
        stored = now
        # No row of a half-stored snapshot, and SQLite's integrity check "ok".
        assert half_written(db_url) == []


class _Doc:
    def __init__(self, document):
        self.text = json.dumps(document)

    def dump_json(self):
        return self.text


def test_a_newer_schema_is_refused(db_url, tmp_path):
    from sqlalchemy import text
    storage = Storage(db_url)
    assert storage.schema_revision() == HEAD
    Storage(db_url).close()                       # at its head already: nothing to do
    with storage.engine.begin() as connection:
        connection.execute(text("UPDATE alembic_version SET version_num = '0999'"))
    storage.close()
    with pytest.raises(SchemaTooNew, match=r"revision 0999\) is newer than this server knows \(up to %s\)" % HEAD):
        Storage(db_url)
    done = cli("serve", "--db", db_url, "--data", str(tmp_path), "--bind", "127.0.0.1:1", check=False)
    assert done.returncode == 2 and "is newer than this server knows" in done.stderr
    assert len(done.stderr.strip().splitlines()) == 1


def test_a_database_of_the_first_schema_is_brought_up_to_date_with_its_jobs(db_url):
    import sqlalchemy
    from alembic import command
    from alembic.config import Config
    from kovra.reporter.server.insights import Insights
    from kovra.reporter.server.intake import NODE_COLUMNS, read_snapshot
    from kovra.reporter.server.settings import Settings
    from kovra.reporter.server.storage import MIGRATIONS
    old = Storage(db_url, upgrade=False)
    config = Config()
    config.set_main_option("script_location", MIGRATIONS)
    with old.engine.begin() as connection:
        config.attributes["connection"] = connection
        command.upgrade(config, "0001")
    document = {"version": "3.2", "report": {"id": "r", "tasks": [{"id": "a", "sections": [
        {"id": "b", "result": {"value": "failed", "reason": "port 7 down"}}]}]}}
    # Rows as the first schema holds them (this code's tables have columns it has not).
    snapshot = read_snapshot(json.dumps(document).encode(), {}, Settings())
    with old.engine.begin() as connection:
        connection.execute(sqlalchemy.text(
            "INSERT INTO jobs (id, name, state, snapshot, digest, nodes, updated) "
            "VALUES ('kept', 'r', 'finished', 1, 'x', 3, '2026-01-01 00:00:00')"))
        for row in snapshot.nodes:
            connection.execute(sqlalchemy.text(
                "INSERT INTO nodes (job, path, parent, position, depth, type, result, data, children) "
                "VALUES ('kept', :path, :parent, :position, :depth, :type, :result, :data, :children)"),
                dict(zip(("path", "parent", "position", "depth", "type", "result"), row[:6]), data=row[9],
                     children=row[10]))
    assert "ix_nodes_path" in {i["name"] for i in sqlalchemy.inspect(old.engine).get_indexes("nodes")}
    old.close()
    storage = Storage(db_url)
    try:
        assert storage.schema_revision() == HEAD
        assert "ix_nodes_path" not in {i["name"] for i in sqlalchemy.inspect(storage.engine).get_indexes("nodes")}
        assert storage.node("kept", ["a", "b"])["id"] == "b" and storage.job("kept")["nodes"] == 3
        assert storage.job("kept")["pinned"] is False
        # The migration built the index for the job stored before it.
        with storage.engine.connect() as connection:
            rows = connection.execute(sqlalchemy.select(
                storage.tables.results.c.path, storage.tables.results.c.text)).fetchall()
        assert [tuple(r) for r in rows] == [('["a","b"]', "port <num> down")]
        # The partial indexes of the job page's reads hold the rows stored before them, and serve them.
        inspector = sqlalchemy.inspect(storage.engine)
        assert {"ix_nodes_tasks", "ix_nodes_problems", "ix_nodes_odd_results"} <= {
            i["name"] for i in inspector.get_indexes("nodes")}
        assert "ix_results_job_leaf" in {i["name"] for i in inspector.get_indexes("results")}
        # The index's tables lost their key to the job and kept their rows and indexes (SQLite makes them anew).
        assert [inspector.get_foreign_keys(t) for t in ("results", "result_jobs", "signatures")] == [[], [], []]
        assert {"ix_results_failures", "ix_results_signature_start"} <= {
            i["name"] for i in inspector.get_indexes("results")}
        if storage.is_sqlite:
            # The pages of the tables made again went back to the file system.
            with storage.engine.connect() as connection:
                assert connection.exec_driver_sql("PRAGMA freelist_count").scalar() == 0
        insights = Insights(storage)
        assert insights.failing("kept") == {'["a","b"]': "failed"}
        assert [r.path for r in insights.children("kept", ['[]'])] == ['["a"]']
        assert [(g["text"], [n["path"] for n in g["nodes"]]) for g in insights.failure_groups(storage.job("kept"))] \
            == [("port <num> down", ['["a","b"]'])]
    finally:
        storage.close()


def test_two_servers_take_concurrent_sends_of_one_job(start_server, db_url):
    servers = [start_server(db_url), start_server(db_url)]
    sent = {}
    answers = []
    barrier = threading.Barrier(8)

    def send(index):
        document = big_document(4, 150, payload="sender-%d" % index)
        sent["sender-%d" % index] = document
        with ServerClient(servers[index % 2].url, "shared", token=TOKEN, timeout=120) as client:
            barrier.wait(30)
            answers.append(client.send(_Doc(document), replace=True))

    threads = [threading.Thread(target=send, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(180)
    assert len(answers) == 8 and sorted(a["snapshot"] for a in answers) == list(range(1, 9))
    with ServerClient(servers[0].url, "shared") as reader:
        document = json.loads(reader.get_report())
        winner = document["report"]["description"]
        # One snapshot whole: every node carries the same sender's mark.
        assert document == sent[winner]
        assert reader.job_info()["snapshot"] == 8
    last = max(answers, key=lambda a: a["snapshot"])
    assert last["updated"] <= reader.job_info()["updated"]


PG_CTL = os.environ.get("KOVRA_TEST_PG_CTL")


@pytest.mark.skipif(not PG_URL or not PG_CTL,
                    reason="needs KOVRA_TEST_PG_URL and KOVRA_TEST_PG_CTL (the tools/pg that runs that cluster)")
def test_postgresql_stopped_while_serving(start_server, pg_url):
    server = start_server(pg_url)
    acknowledged = {}
    stop_sending = threading.Event()
    refusals = []

    def sender():
        number = 0
        with ServerClient(server.url, "x", token=TOKEN, timeout=30) as client:
            while not stop_sending.is_set():
                number += 1
                client.job = "job-%d" % number
                try:
                    acknowledged[client.job] = client.send(_Doc(big_document(2, 20, payload=client.job)))
                except ServerUnavailable as error:
                    refusals.append(str(error))
                time.sleep(0.02)

    thread = threading.Thread(target=sender)
    thread.start()
    try:
        time.sleep(1.0)
        subprocess.run(["bash", PG_CTL, "stop"], check=True, timeout=120)
        try:
            with ServerClient(server.url, "job-1", timeout=30) as reader:
                with pytest.raises(ServerUnavailable, match="503 the database is unavailable"):
                    reader.get_runset()
            time.sleep(1.0)
        finally:
            subprocess.run(["bash", PG_CTL, "start"], check=True, timeout=120, capture_output=True)
        deadline = time.monotonic() + 60
        with ServerClient(server.url, "job-1", timeout=30) as reader:
            while True:
                try:
                    reader.get_runset()
                    break
                except ServerUnavailable:
                    assert time.monotonic() < deadline, "the server did not recover"
                    time.sleep(0.2)
        time.sleep(1.0)
    finally:
        stop_sending.set()
        thread.join(60)
    assert refusals and all("503" in r or "cannot reach" not in r for r in refusals)
    assert len(acknowledged) > 3
    with ServerClient(server.url, "x") as reader:
        for job, row in acknowledged.items():
            reader.job = job
            assert reader.get_runset()["description"] == job
            assert reader.job_info()["snapshot"] == row["snapshot"]


def test_worker_processes_share_one_database(start_server, db_url):
    server = start_server(db_url, extra=["--workers", "2"])
    errors = []

    def send(index):
        try:
            with ServerClient(server.url, "w-%d" % index, token=TOKEN, timeout=60) as client:
                client.send(_Doc(big_document(2, 50, payload="w-%d" % index)))
        except ServerError as error:
            errors.append(error)

    threads = [threading.Thread(target=send, args=(i,)) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not errors
    # Fresh connections land on either worker; each sees every job.
    for index in range(6):
        with ServerClient(server.url, "w-%d" % index, timeout=30) as reader:
            assert reader.get_runset()["description"] == "w-%d" % index
            assert reader.list_jobs()["total"] == 6
