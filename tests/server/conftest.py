"""Fixtures for the reporter server's tests: a database per test (SQLite always, PostgreSQL when
$KOVRA_TEST_PG_URL names a cluster), the app in-process, and real server processes on loopback."""
import contextlib
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
import uuid

import pytest

for module in ("starlette", "sqlalchemy", "alembic", "httpx", "uvicorn"):
    pytest.importorskip(module, reason="the reporter server's libraries are not importable here")

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PG_URL = os.environ.get("KOVRA_TEST_PG_URL")
TOKEN = "test-token-1"
AUTH = {"Authorization": "Bearer " + TOKEN}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def pg_database():
    """A fresh database on the test cluster, dropped afterwards."""
    import psycopg
    name = "kovra_" + uuid.uuid4().hex[:12]
    with psycopg.connect(PG_URL, autocommit=True) as admin:
        admin.execute('CREATE DATABASE "%s"' % name)
    parts = urllib.parse.urlsplit(PG_URL)
    try:
        yield urllib.parse.urlunsplit(parts._replace(path="/" + name))
    finally:
        with psycopg.connect(PG_URL, autocommit=True) as admin:
            admin.execute('DROP DATABASE IF EXISTS "%s" WITH (FORCE)' % name)


@pytest.fixture(params=["sqlite", "postgresql"])
def db_url(request, tmp_path):
    if request.param == "sqlite":
        yield "sqlite:///" + str(tmp_path / "reporter.sqlite3")
        return
    if not PG_URL:
        pytest.skip("no PostgreSQL: set KOVRA_TEST_PG_URL (tools/pg start prints one)")
    with pg_database() as url:
        yield url


@pytest.fixture
def pg_url():
    if not PG_URL:
        pytest.skip("no PostgreSQL: set KOVRA_TEST_PG_URL (tools/pg start prints one)")
    with pg_database() as url:
        yield url


def make_settings(db, tmp_path, **changes):
    from kovra.reporter.server.settings import Settings
    return Settings(**dict(dict(db=db, data=str(tmp_path), token=TOKEN), **changes))


@pytest.fixture
def make_client(db_url, tmp_path):
    """make_client(**settings) -> a TestClient on a fresh app over this test's database."""
    from starlette.testclient import TestClient
    from kovra.reporter.server.app import create_app
    made = []

    def make(**changes):
        app = create_app(make_settings(db_url, tmp_path, **changes))
        client = TestClient(app)
        made.append((client, app))
        return client

    yield make
    for _, app in made:
        app.state.storage.close()


@pytest.fixture
def client(make_client):
    return make_client()


class ServerProcess:
    """`python -m kovra.reporter serve` on a free loopback port, stopped (or killed) by the test."""

    def __init__(self, db, data, port=None, extra=()):
        self.db = db
        self.data = str(data)
        self.port = port or free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        self.extra = list(extra)
        self.process = None
        token_file = os.path.join(self.data, "token")
        os.makedirs(self.data, exist_ok=True)
        with open(token_file, "w") as stream:
            stream.write(TOKEN + "\n")
        self.token_file = token_file

    def start(self, timeout=30):
        command = [sys.executable, "-m", "kovra.reporter", "serve", "--bind", "127.0.0.1:%d" % self.port,
                   "--data", self.data, "--token-file", self.token_file] + self.extra
        if self.db:
            command += ["--db", self.db]
        env = dict(os.environ, PYTHONPATH=REPO)
        self.log = open(os.path.join(self.data, "server-%d.log" % self.port), "ab")
        self.process = subprocess.Popen(command, cwd=REPO, env=env, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("the server exited with %s: %s" % (self.process.returncode, self.output()))
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return self
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise AssertionError("the server did not listen within %ss: %s" % (timeout, self.output()))

    def output(self):
        self.log.flush()
        with open(self.log.name, "rb") as stream:
            return stream.read().decode("utf-8", "replace")[-2000:]

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(timeout=10)
        self.log.close()

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        if not self.log.closed:
            self.log.close()


@pytest.fixture
def start_server(tmp_path):
    """start_server(db=None, extra=()) -> a running ServerProcess; all are stopped at the end."""
    started = []

    def start(db=None, data=None, port=None, extra=()):
        server = ServerProcess(db, data or tmp_path / ("data%d" % len(started)), port, extra)
        started.append(server)
        return server.start()

    yield start
    for server in started:
        server.stop()


def half_written(db_url):
    """What a database holds that no whole job explains: rows of no job, a job whose node count or
    log sizes are not its rows'; and SQLite's own integrity check."""
    from sqlalchemy import func, select
    from kovra.reporter.server.storage import Storage
    storage = Storage(db_url, upgrade=False)
    problems = []
    try:
        tables = storage.tables
        with storage.engine.connect() as connection:
            jobs = dict(connection.execute(select(tables.jobs.c.id, tables.jobs.c.nodes)).fetchall())
            for table in (tables.nodes, tables.log_files, tables.log_chunks, tables.results, tables.result_jobs,
                          tables.signatures, tables.job_facts):
                orphans = {job for (job,) in connection.execute(select(table.c.job).distinct())} - set(jobs)
                if orphans:
                    problems.append("%s rows of no job: %s" % (table.name, sorted(orphans)))
            counted = dict(connection.execute(select(tables.nodes.c.job, func.count())
                                              .group_by(tables.nodes.c.job)).fetchall())
            for job, nodes in jobs.items():
                if counted.get(job, 0) != nodes:
                    problems.append("job %s: %s node rows, %s said" % (job, counted.get(job, 0), nodes))
            sizes = dict(((job, name), size) for job, name, size in connection.execute(
                select(tables.log_files.c.job, tables.log_files.c.name, tables.log_files.c.size)))
            chunked = dict(((job, name), size) for job, name, size in connection.execute(
                select(tables.log_chunks.c.job, tables.log_chunks.c.name, func.sum(func.length(tables.log_chunks.c.data)))
                .group_by(tables.log_chunks.c.job, tables.log_chunks.c.name)))
            if {key: size for key, size in sizes.items() if size} != chunked:
                problems.append("log chunks do not make up their files")
        check = storage.integrity_check()
        if check != "ok":
            problems.append("integrity check: " + check)
    finally:
        storage.close()
    return problems
