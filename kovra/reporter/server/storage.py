"""The storage layer: jobs and their nodes in SQLite or PostgreSQL through SQLAlchemy Core. Knows nothing of HTTP.

``Storage(url)`` opens the database and brings its schema up to date
(``upgrade()``, run at start-up; a schema newer than this code is refused).

Reads:
- ``list_jobs(name=None, state=None, result=None, since=None, until=None, q=None, offset=0, limit=50)``
  -> (rows, total): job rows newest first (by `updated`), `since`/`until` bound the start time,
  `q` matches the key or the name; `result` "failing" is failed, errored or aborted.
- ``job(job_id)`` -> the job row as a dict, or None.
- ``node_text(job_id, id_list)`` -> the node's JSON text (the run set for []), or None;
  ``node(job_id, id_list)`` the same parsed. One indexed query either way.
- ``log_range(job_id, name, start=0, stop=None)`` -> bytes, or None when the job has no such log.
- ``log_names(job_id)`` -> {name: size}.

Writes:
- ``put_job(job_id, snapshot, state)`` stores a parsed snapshot (``intake.Snapshot``) in one transaction:
  the job's previous nodes, logs and cross-job index rows go, the new ones come, the snapshot number grows. The same
  snapshot again changes nothing but, if it differs, the state.

Failures to reach the database raise ``DatabaseUnavailable``; a database whose schema is newer than
this code raises ``SchemaTooNew`` at start-up.
"""
import collections
import datetime
import heapq
import json
import logging
import operator
import os
import threading
import time

import sqlalchemy
from sqlalchemy import DateTime, and_, delete, event, func, insert, or_, select, text, update
from sqlalchemy.pool import QueuePool

from kovra.reporter.format import FORMAT_VERSION, path_of
from kovra.reporter.server import pgdialect, schema, triage
from kovra.reporter.server.intake import NODE_COLUMNS, CollectorPause, child_steps, safe_json

pgdialect.register()
LOG = logging.getLogger("kovra.reporter.server")

MIGRATIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "migrations")
# Rows per INSERT batch: bounds the memory one statement holds on both sides.
BATCH = 5000
# Distinct results of a job's passing sections up to which the database makes their index rows.
SECTION_RESULTS = 50
# Jobs of a name to a stretch of the failures' index across jobs (Storage._epoch).
EPOCH_JOBS = 16
# Values bound to one multi-row INSERT on PostgreSQL (its limit is 65,535).
PG_PARAMETERS = 4800
# SQLite: after a write of this many bytes of rows the WAL is checkpointed and truncated, rather
# than kept at its largest; and a WAL reset is never left larger than WAL_KEPT.
WAL_TRUNCATE_BYTES = 16 * 1024 * 1024
# Seconds a process keeps the database's rule on reading before it reads it again.
READ_RULE_AGE = 2.0
# The execution option that marks a connection that writes.
WRITES = "kovra_writes"
WAL_KEPT = 64 * 1024 * 1024
# A job's rows besides its jobs row, deleted with it: those naming it first.
JOB_TABLES = (schema.job_facts, schema.signatures, schema.results, schema.result_jobs, schema.log_chunks,
              schema.log_files, schema.nodes)


class StorageError(Exception):
    """A storage failure reported to the caller in one line."""


class DatabaseUnavailable(StorageError):
    """The database cannot be reached (stopped, restarting, network gone)."""


class Conflict(StorageError):
    """A send that would replace a finished job, or rename one, without saying it replaces."""


class StorageFull(StorageError):
    """The database's disk is full: sending again will not help until space is freed."""


# How each database says its disk is full: SQLite's message, PostgreSQL's SQLSTATE disk_full and the
# operating system's words when a file cannot grow.
FULL = ("database or disk is full", "no space left on device", "could not extend file")


class SchemaTooNew(StorageError):
    """The database was migrated by a newer server than this one."""


def _iso(value):
    return value.isoformat() if isinstance(value, datetime.datetime) else value


def job_row(row):
    """A jobs row as the API shows it: times in ISO 8601, counts as an object."""
    found = dict(row._mapping)
    found.pop("digest", None)
    for key in ("start", "stop", "updated"):
        found[key] = _iso(found[key])
    try:
        found["counts"] = json.loads(found["counts"]) if found["counts"] else {}
    except ValueError:
        found["counts"] = {}
    return found


class Storage:
    def __init__(self, url, timeout=10.0, upgrade=True):
        self.url = pgdialect.sqlalchemy_url(url)
        self.timeout = timeout
        self.tables = schema
        self.metadata = schema.metadata
        self.is_sqlite = self.url.startswith("sqlite")
        # SQLite keeps times as text: an upload's rows may come with theirs already in that form.
        self.time_text = self.is_sqlite
        self._write_lock = threading.Lock()
        self._state_lock = threading.Lock()
        self.available = True
        self.database_errors = 0
        self._read_rule = None  # (read_protected, when read)
        if self.is_sqlite:
            self.engine = self._sqlite_engine()
        else:
            self.engine = sqlalchemy.create_engine(
                self.url, future=True, pool_pre_ping=True, pool_size=8, max_overflow=8,
                pool_timeout=timeout, connect_args={"connect_timeout": max(1, int(timeout))})

            @event.listens_for(self.engine, "connect")
            def _no_jit(dbapi_connection, _record):
                # PostgreSQL compiles a statement whose estimate is large (a whole job's rows of a big job)
                # before running it: about 20 ms, more than these statements then take. Committed: a SET
                # in a transaction rolled back is undone.
                with dbapi_connection.cursor() as cursor:
                    cursor.execute("SET jit = off")
                dbapi_connection.commit()
        # The same pool; its connections' transactions are writers' (see _on_begin).
        self.writing = self.engine.execution_options(**{WRITES: True})
        if upgrade:
            self.upgrade()

    def _sqlite_engine(self):
        database = self.url.split("///", 1)[1] if "///" in self.url else ""
        if database and database != ":memory:":
            folder = os.path.dirname(os.path.abspath(database))
            # The owner's alone: the folder, the file, and so its WAL and shared-memory files.
            os.makedirs(folder, mode=0o700, exist_ok=True)
            if not os.path.exists(database):
                os.close(os.open(database, os.O_WRONLY | os.O_CREAT, 0o600))
        engine = sqlalchemy.create_engine(
            self.url, future=True, poolclass=QueuePool, pool_size=8, max_overflow=24,
            connect_args={"check_same_thread": False, "timeout": self.timeout, "isolation_level": None})

        @event.listens_for(engine, "connect")
        def _on_connect(dbapi_connection, _record):
            cursor = dbapi_connection.cursor()
            # Set on a new file only: on a file that has pages, setting auto_vacuum takes the write lock
            # (and waits for every writer), even when it changes nothing.
            if cursor.execute("PRAGMA page_count").fetchone()[0] == 0:
                # Before the first table: 16 KiB pages hold a job's rows in a quarter of the pages 4 KiB
                # ones take, which its store and the checkpoint after it copy.
                cursor.execute("PRAGMA page_size=16384")
                # Deleted jobs' pages can be given back (give_back_space).
                cursor.execute("PRAGMA auto_vacuum=INCREMENTAL")
            if cursor.execute("PRAGMA journal_mode").fetchone()[0].lower() != "wal":
                cursor.execute("PRAGMA journal_mode=WAL")
            cursor.execute("PRAGMA synchronous=NORMAL")
            cursor.execute("PRAGMA foreign_keys=ON")
            cursor.execute("PRAGMA busy_timeout=%d" % int(self.timeout * 1000))
            cursor.execute("PRAGMA journal_size_limit=%d" % WAL_KEPT)
            cursor.close()
            # Case folded as Python (and PostgreSQL) fold it, beyond ASCII too.
            dbapi_connection.create_function("lower", 1, _lower, deterministic=True)

        # The driver runs in autocommit, and transactions are begun here: a writer's takes the write
        # lock at BEGIN, not half-way through, where SQLite would have to give up on it; a reader's
        # is deferred, a snapshot of the WAL that never waits for a writer.
        @event.listens_for(engine, "begin")
        def _on_begin(connection):
            writes = connection.get_execution_options().get(WRITES, False)
            connection.exec_driver_sql("BEGIN IMMEDIATE" if writes else "BEGIN")

        return engine

    # --- start-up -------------------------------------------------------------------------------------------------

    def upgrade(self):
        """Brings the schema to this code's newest revision; refuses a database that is newer."""
        from alembic.config import Config
        from alembic.runtime.migration import MigrationContext
        from alembic.script import ScriptDirectory
        from alembic import command

        config = Config()
        config.set_main_option("script_location", MIGRATIONS)
        scripts = ScriptDirectory.from_config(config)
        head = scripts.get_current_head()
        upgraded = False
        with self._guard():
            with self.writing.connect() as connection:
                if not self.is_sqlite:
                    # Several servers may start at once on one database: one migrates, the others wait.
                    connection.execute(text("SELECT pg_advisory_lock(471147)"))
                    connection.commit()
                try:
                    current = MigrationContext.configure(connection).get_current_revision()
                    known = {rev.revision for rev in scripts.walk_revisions()}
                    if current is not None and current not in known:
                        raise SchemaTooNew(
                            "the database's schema (revision %s) is newer than this server knows (up to %s); "
                            "run a newer server on it" % (current, head))
                    if current != head:
                        config.attributes["connection"] = connection
                        command.upgrade(config, "head")
                        connection.commit()
                        upgraded = True
                finally:
                    if not self.is_sqlite:
                        connection.rollback()
                        connection.execute(text("SELECT pg_advisory_unlock(471147)"))
                        connection.commit()
        if upgraded and self.is_sqlite:
            # A revision that makes a table again frees the old one's pages: the file gives them back.
            self.give_back_space()
        return head

    def schema_revision(self):
        from alembic.runtime.migration import MigrationContext
        with self._guard(), self.engine.connect() as connection:
            return MigrationContext.configure(connection).get_current_revision()

    def close(self):
        self.engine.dispose()

    # --- reads ----------------------------------------------------------------------------------------------------

    def _guard(self):
        return _Guard(self)

    def _availability(self, available, reason=None):
        """Says once, on the server's log, that the database went away, and once that it came back."""
        with self._state_lock:
            if available == self.available:
                return
            self.available = available
        if available:
            LOG.warning("the database is available again")
        else:
            LOG.warning("the database is unavailable: %s", reason)

    def ready(self):
        """(True, "") when the database answers and its schema is this code's newest; else (False, why)."""
        from alembic.config import Config
        from alembic.script import ScriptDirectory
        config = Config()
        config.set_main_option("script_location", MIGRATIONS)
        head = ScriptDirectory.from_config(config).get_current_head()
        try:
            current = self.schema_revision()
        except StorageError as error:
            return False, str(error)
        if current != head:
            return False, "the database's schema is at %s, this server's at %s" % (current, head)
        return True, ""

    def list_jobs(self, name=None, state=None, result=None, since=None, until=None, q=None, offset=0, limit=50):
        jobs = schema.jobs
        condition = self.job_condition(name, state, result, since, until, q)
        columns = [c for c in jobs.c if c.name != "digest"]
        page = (select(*columns).where(condition).order_by(jobs.c.updated.desc(), jobs.c.id)
                .offset(offset).limit(limit))
        with self._guard(), self.engine.connect() as connection:
            rows = [job_row(row) for row in connection.execute(page)]
            total = connection.execute(select(func.count()).select_from(jobs).where(condition)).scalar_one()
        return rows, total

    def job_condition(self, name=None, state=None, result=None, since=None, until=None, q=None):
        """The jobs list's filters as one SQL condition on the jobs table."""
        jobs = schema.jobs
        where = []
        if name:
            where.append(jobs.c.name == name)
        if state:
            where.append(jobs.c.state == state)
        if result == "failing":
            # Any of the failing results, as the verdict counts them.
            where.append(jobs.c.result.in_(sorted(triage.FAIL)))
        elif result:
            where.append(jobs.c.result == result)
        if since is not None:
            where.append(jobs.c.start >= since)
        if until is not None:
            where.append(jobs.c.start < until)
        if q:
            pattern = "%" + q.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
            # lower() on both sides: SQLite's LIKE ignores case and PostgreSQL's heeds it.
            pattern = pattern.lower()
            where.append(or_(func.lower(jobs.c.id).like(pattern, escape="\\"),
                             func.lower(jobs.c.name).like(pattern, escape="\\")))
        return and_(*where) if where else sqlalchemy.true()

    def job(self, job_id):
        columns = [c for c in schema.jobs.c if c.name != "digest"]
        with self._guard(), self.engine.connect() as connection:
            row = connection.execute(select(*columns).where(schema.jobs.c.id == job_id)).first()
        return job_row(row) if row is not None else None

    def facts(self, job_id, snapshot):
        """({result: nodes}, [(path, result, run time)...] the slowest first) of the job's snapshot
        `snapshot`, as made at intake (job_facts); None when they were not made for it."""
        facts = schema.job_facts.c
        with self._guard(), self.engine.connect() as connection:
            row = connection.execute(select(facts.counts, facts.slowest)
                                     .where(facts.job == job_id, facts.snapshot == snapshot)).first()
        if row is None:
            return None
        return json.loads(row.counts), [tuple(item) for item in json.loads(row.slowest)]

    def node_text(self, job_id, id_list):
        nodes = schema.nodes
        statement = select(nodes.c.data).where(nodes.c.job == job_id, nodes.c.path == path_of(id_list))
        with self._guard(), self.engine.connect() as connection:
            return connection.execute(statement).scalar()

    def node(self, job_id, id_list):
        found = self.node_text(job_id, id_list)
        return json.loads(found) if found is not None else None

    def report_text(self, job_id):
        """The job's whole stored document ({"version": ..., "report": ...}) as JSON text, or None."""
        nodes = schema.nodes
        statement = select(nodes.c.path, nodes.c.data).where(nodes.c.job == job_id)
        with self._guard(), self.engine.connect() as connection:
            stored = {path: data for path, data in connection.execute(statement)}
        if not stored:
            return None
        return '{"version":%s,"report":%s}' % (json.dumps(FORMAT_VERSION), _assemble(stored))

    def log_names(self, job_id):
        files = schema.log_files
        with self._guard(), self.engine.connect() as connection:
            rows = connection.execute(select(files.c.name, files.c.size).where(files.c.job == job_id)
                                      .order_by(files.c.name))
            return {name: size for name, size in rows}

    def log_range(self, job_id, name, start=0, stop=None):
        """Bytes [start, stop) of a stored log; only the chunks that cover them are read."""
        files, chunks = schema.log_files, schema.log_chunks
        size_of = select(files.c.size).where(files.c.job == job_id, files.c.name == name)
        with self._guard(), self.engine.connect() as connection:
            size = connection.execute(size_of).scalar()
            if size is None:
                return None
            start = max(0, min(start, size))
            stop = size if stop is None else max(start, min(stop, size))
            if start == stop:
                return b""
            first, last = start // schema.LOG_CHUNK, (stop - 1) // schema.LOG_CHUNK
            rows = connection.execute(
                select(chunks.c.data).where(chunks.c.job == job_id, chunks.c.name == name,
                                            chunks.c.seq >= first, chunks.c.seq <= last).order_by(chunks.c.seq))
            data = b"".join(bytes(row[0]) for row in rows)
        offset = first * schema.LOG_CHUNK
        return data[start - offset:stop - offset]

    # --- writes ---------------------------------------------------------------------------------------------------

    def put_job(self, job_id, snapshot, state, replace=False, written_by=None):
        """Stores `snapshot` as the job's current one in one transaction; returns (job row, changed).

        A different snapshot of a finished job, or one that renames the job, is refused (Conflict)
        unless `replace`; the very same snapshot again is always taken, as a retry sends it. `written_by`
        names the token that sent it."""
        jobs = schema.jobs
        now = datetime.datetime.utcnow()
        with self._guard(), self._writer() as connection:
            if not self.is_sqlite:
                # Concurrent sends of one job, from any server process, take turns.
                connection.execute(text("SELECT pg_advisory_xact_lock(hashtext(:key))"), {"key": job_id})
            old = connection.execute(select(jobs.c.snapshot, jobs.c.digest, jobs.c.state, jobs.c.name)
                                     .where(jobs.c.id == job_id)).first()
            if old is not None and old.digest != snapshot.digest and not replace:
                if old.state == "finished":
                    raise Conflict("job %r is finished: a different snapshot replaces it only with replace=true"
                                   % job_id)
                if old.name != snapshot.job["name"]:
                    raise Conflict("job %r is named %r: a send renames it only with replace=true"
                                   % (job_id, old.name))
            if old is not None and old.digest == snapshot.digest:
                if old.state != state:
                    connection.execute(update(jobs).where(jobs.c.id == job_id).values(state=state, updated=now,
                                                                                      written_by=written_by))
                    changed = True
                else:
                    changed = False
            else:
                changed = True
                values = dict(snapshot.job, state=state, digest=snapshot.digest, nodes=len(snapshot.nodes),
                              updated=now, written_by=written_by)
                if old is None:
                    connection.execute(insert(jobs).values(id=job_id, snapshot=1, **values))
                else:
                    for table in JOB_TABLES:
                        connection.execute(delete(table).where(table.c.job == job_id))
                    connection.execute(update(jobs).where(jobs.c.id == job_id)
                                       .values(snapshot=old.snapshot + 1, **values))
                if snapshot.time_text and not self.time_text:
                    raise ValueError("a snapshot with its times as text is for SQLite only")
                # SQLite numbers new rows past the largest rowid: the job's rows are those written past it.
                after = connection.exec_driver_sql("SELECT max(rowid) FROM nodes").scalar() or 0 \
                    if self.is_sqlite else None
                self._insert_many(connection, schema.nodes, NODE_COLUMNS, job_id, snapshot.nodes,
                                  times_ready=snapshot.time_text)
                self._insert_index(connection, job_id, values["name"], values.get("start") or now, snapshot.nodes,
                                   after)
                counts, slowest = job_facts(snapshot.nodes)
                connection.execute(insert(schema.job_facts).values(
                    job=job_id, snapshot=1 if old is None else old.snapshot + 1, counts=json.dumps(counts),
                    slowest=json.dumps(slowest)))
                self._insert_many(connection, schema.log_files, ("name", "size"), job_id,
                                  [(name, len(data)) for name, data in snapshot.logs])
                self._insert_many(connection, schema.log_chunks, ("name", "seq", "data"), job_id,
                                  _chunks(snapshot.logs))
            row = connection.execute(select(*[c for c in jobs.c if c.name != "digest"])
                                     .where(jobs.c.id == job_id)).first()
        if changed and self.is_sqlite and _size(snapshot) >= WAL_TRUNCATE_BYTES:
            self.truncate_wal()
        return job_row(row), changed

    def _insert_index(self, connection, job_id, name, start, nodes, after=None):
        """The job's rows of the cross-job index, made from its node rows (triage.index_rows); on SQLite,
        `after` is the rowid the job's node rows were written past: the database reads them in the order
        they were written rather than seeking each by its key."""
        if self.is_sqlite:
            start = _sqlite_time(start)
        epoch = self._epoch(connection, job_id, name, start)
        left = {}
        # Tens of thousands of tuples and no cycle: the collector would walk the job's rows again and again.
        with CollectorPause():
            made = triage.index_rows(name, start, nodes, epoch, left, _INDEXED)
            if len(left) > SECTION_RESULTS:
                # Results of many texts: each row bound after all.
                made = triage.index_rows(name, start, nodes, epoch, columns=_INDEXED)
        if left and len(left) <= SECTION_RESULTS:
            statement, values = triage.section_rows(name, start, job_id, left, after)
            connection.exec_driver_sql(statement if self.is_sqlite else statement.replace("?", "%s"), tuple(values))
        self._insert_results(connection, job_id, made)
        self._insert_many(connection, schema.signatures, triage.SIGNATURE_COLUMNS, job_id, triage.signature_rows(made),
                          times_ready=True)
        self._insert_many(connection, schema.result_jobs, ("name", "start", "epoch"), job_id, [(name, start, epoch)],
                          times_ready=True)
        self._note_sections(connection, job_id, name, start)

    def _insert_results(self, connection, job_id, made):
        """The index rows `made` (triage.RESULT_COLUMNS order). SQLite gets each row without its empty
        values and its flag as a number: its driver binds a None or a bool only after looking for an
        adapter of it (a key made and two attribute lookups that fail), which cost more than the rest of
        the row's binding. The columns left out are NULL, as the values were."""
        if not self.is_sqlite:
            self._insert_many(connection, schema.results, triage.RESULT_COLUMNS, job_id, made, times_ready=True)
            return
        leaves, unexplained, failing, other = [], [], [], []
        with CollectorPause():
            for name, path, section, start, cls, result, leaf, signature, text, reason, epoch in made:
                if leaf:
                    if reason is None:
                        unexplained.append((job_id, name, path, section, start, cls, result, 1, signature, text,
                                            epoch))
                    else:
                        leaves.append((job_id, name, path, section, start, cls, result, 1, signature, text, reason,
                                       epoch))
                elif epoch is None:
                    other.append((job_id, name, path, section, start, cls, result, 0))
                else:
                    failing.append((job_id, name, path, section, start, cls, result, 0, epoch))
            shared = ("job", "name", "path", "section", "start", "class", "result", "leaf")
            for columns, rows in ((shared + ("signature", "text", "reason", "epoch"), leaves),
                                  (shared + ("signature", "text", "epoch"), unexplained),
                                  (shared + ("epoch",), failing), (shared, other)):
                statement = "INSERT INTO results (%s) VALUES (%s)" % (", ".join(columns),
                                                                      ", ".join("?" * len(columns)))
                for at in range(0, len(rows), BATCH):
                    connection.exec_driver_sql(statement, rows[at:at + BATCH])

    def _epoch(self, connection, job_id, name, start):
        """The stretch of its name's jobs that files a job's failures across jobs (schema.results): the
        stretch of the job just before it, or the next once that one holds EPOCH_JOBS jobs. A node failing
        in every job then adds a row to one page a stretch, not a page of its own every job; and a stretch
        keeps its number whatever jobs go, so retention never piles new jobs into one."""
        condition, bind = pair_condition(self.is_sqlite, "<")
        mark = "?" if self.is_sqlite else "%s"
        before = connection.exec_driver_sql(
            ("SELECT epoch FROM result_jobs WHERE name = ? AND job <> ? AND %s ORDER BY start DESC, job DESC LIMIT 1"
             % condition).replace("?", mark), (name, job_id) + bind(start, job_id)).first()
        if before is None:
            return 0
        held = connection.exec_driver_sql(
            "SELECT count(*) FROM result_jobs WHERE name = {m} AND epoch = {m} AND job <> {m}".format(m=mark),
            (name, before[0], job_id)).scalar()
        return before[0] if held < EPOCH_JOBS else before[0] + 1

    def _note_sections(self, connection, job_id, name, start, made=None):
        """The job's sections new to its name get their start (result_paths); those known from later
        jobs only move back to it. Known sections cost a lookup, no write: in PostgreSQL too, where a DO
        UPDATE would lock (and so write) every row it finds. `made`: the index rows just made, when not
        all of the job's (one task's); else the database reads the job's rows itself."""
        mark = "?" if self.is_sqlite else "%s"
        conflict = " ON CONFLICT (name, path) DO NOTHING"
        if made is None:
            # Known ones are passed over first: PostgreSQL's way to a conflict costs more than a lookup.
            connection.exec_driver_sql("INSERT INTO result_paths (name, path, start) SELECT name, path, start FROM "
                                       "results r WHERE job = %s AND path = section AND NOT EXISTS (SELECT 1 FROM "
                                       "result_paths p WHERE p.name = r.name AND p.path = r.path)" % mark + conflict,
                                       (job_id,))
        else:
            rows = [(name, row[1], start) for row in made if row[1] == row[2]]
            statement = "INSERT INTO result_paths (name, path, start) VALUES (%s)" % ", ".join([mark] * 3) + conflict
            per = BATCH if self.is_sqlite else PG_PARAMETERS // 3
            for at in range(0, len(rows), per):
                chunk = rows[at:at + per]
                if self.is_sqlite:
                    connection.exec_driver_sql(statement, chunk)
                else:
                    many = statement.replace("(%s, %s, %s)", ", ".join(["(%s, %s, %s)"] * len(chunk)))
                    connection.exec_driver_sql(many, tuple(value for row in chunk for value in row))
        # Rows of the name that started after this job: few or none, unless jobs arrive out of order.
        connection.exec_driver_sql("UPDATE result_paths SET start = {m} WHERE name = {m} AND start > {m} AND path IN "
                                   "(SELECT path FROM results WHERE job = {m} AND path = section)".format(m=mark),
                                   (start, name, start, job_id))

    def _replace_task_index(self, connection, job_id, task_path, task_rows):
        """After one task's rows were replaced: that task's index rows made anew, the job's name and
        start on all of its rows, and its signature counts moved by what the task took and brought, as a
        whole send leaves them. Only the task's rows are read: reading the whole job's at each task send
        made a job's sends quadratic."""
        jobs, results, signatures = schema.jobs, schema.results, schema.signatures
        job = connection.execute(select(jobs.c.name, jobs.c.start, jobs.c.updated).where(jobs.c.id == job_id)).first()
        start = job.start or job.updated
        if self.is_sqlite:
            start = _sqlite_time(start)
        prefix = task_path[:-1] + ","
        in_task = and_(results.c.job == job_id, results.c.path > prefix, results.c.path < prefix + "\x7f")
        delta = {}
        for signature, count in connection.execute(select(results.c.signature, func.count())
                                                   .where(in_task, results.c.leaf).group_by(results.c.signature)):
            delta[signature] = -count
        connection.execute(delete(results).where(in_task))
        mark, differs = ("?", "IS NOT") if self.is_sqlite else ("%s", "IS DISTINCT FROM")
        # The job's rows all carry the name, start and stretch its result_jobs row holds.
        kept = connection.exec_driver_sql("SELECT name, start, epoch FROM result_jobs WHERE job = %s" % mark,
                                          (job_id,)).first()
        moved = kept is None or (kept[0], kept[1]) != (job.name, start)
        epoch = self._epoch(connection, job_id, job.name, start) if moved else kept[2]
        if kept is not None and moved:
            connection.exec_driver_sql("UPDATE results SET name = {m}, start = {m} WHERE job = {m} AND (name {d} {m} "
                                       "OR start {d} {m})".format(m=mark, d=differs),
                                       (job.name, start, job_id, job.name, start))
            connection.exec_driver_sql("UPDATE results SET epoch = %s WHERE job = %s AND class = 'fail'" % (mark, mark),
                                       (epoch, job_id))
        made = triage.index_rows(job.name, start, task_rows, epoch, columns=_INDEXED)
        self._insert_results(connection, job_id, made)
        if moved:
            connection.execute(delete(schema.result_jobs).where(schema.result_jobs.c.job == job_id))
            self._insert_many(connection, schema.result_jobs, ("name", "start", "epoch"), job_id,
                              [(job.name, start, epoch)], times_ready=True)
        # After a move, every section of the job is looked at, not only this task's.
        self._note_sections(connection, job_id, job.name, start, None if moved else made)
        if moved:
            # A new name or start (or the job's first task): every count row is made again by the database.
            connection.execute(delete(signatures).where(signatures.c.job == job_id))
            counted = (select(results.c.job, results.c.signature, func.min(results.c.name), func.min(results.c.start),
                              func.count(), func.max(results.c.text))
                       .where(results.c.job == job_id, results.c.leaf).group_by(results.c.job, results.c.signature))
            connection.execute(insert(signatures).from_select(("job",) + triage.SIGNATURE_COLUMNS, counted))
            return
        texts = {}
        for row in made:
            if row[6]:
                delta[row[7]] = delta.get(row[7], 0) + 1
                texts[row[7]] = row[8]
        changed = [sig for sig, by in delta.items() if by]
        found = {row.signature for row in connection.execute(
            select(signatures.c.signature).where(signatures.c.job == job_id, signatures.c.signature.in_(changed)))}
        for signature in changed:
            if signature in found:
                connection.execute(update(signatures).where(signatures.c.job == job_id,
                                                            signatures.c.signature == signature)
                                   .values(count=signatures.c.count + delta[signature]))
        connection.execute(delete(signatures).where(signatures.c.job == job_id, signatures.c.count <= 0))
        self._insert_many(connection, signatures, triage.SIGNATURE_COLUMNS, job_id,
                          [(sig, job.name, start, delta[sig], texts[sig]) for sig in changed
                           if sig not in found and delta[sig] > 0],
                          times_ready=True)

    def delete_job(self, job_id, give_back=True):
        """Deletes the job with its nodes and logs in one transaction; False when there was none.
        A reader sees the whole job or none of it. SQLite then gives the freed pages back to the
        file system (incremental vacuum, then the WAL truncated); PostgreSQL's autovacuum makes the
        space reusable."""
        jobs = schema.jobs
        with self._guard():
            with self._writer() as connection:
                if not self.is_sqlite:
                    connection.execute(text("SELECT pg_advisory_xact_lock(hashtext(:key))"), {"key": job_id})
                name = connection.execute(select(schema.result_jobs.c.name)
                                          .where(schema.result_jobs.c.job == job_id)).scalar()
                for table in JOB_TABLES:
                    connection.execute(delete(table).where(table.c.job == job_id))
                gone = connection.execute(delete(jobs).where(jobs.c.id == job_id)).rowcount
                named = schema.result_jobs.c
                if name is not None and connection.execute(
                        select(named.job).where(named.name == name).limit(1)).first() is None:
                    # The name's last job: its sections' starts bound nothing any more.
                    connection.execute(delete(schema.result_paths).where(schema.result_paths.c.name == name))
            if gone and self.is_sqlite and give_back:
                self.give_back_space()
        return bool(gone)

    # --- access --------------------------------------------------------------------------------------------------

    def read_protected(self, now=None):
        """Whether reading needs a token: the database's rule, read again at most every READ_RULE_AGE s."""
        now = time.monotonic() if now is None else now
        if self._read_rule is not None and now - self._read_rule[1] < READ_RULE_AGE:
            return self._read_rule[0]
        table = schema.access
        with self._guard(), self.engine.connect() as connection:
            found = connection.execute(select(table.c.read_protected).where(table.c.id == 1)).scalar()
        self._read_rule = (bool(found), now)
        return bool(found)

    def known_read_rule(self):
        """The rule on reading when this process read it recently, else None (read_protected asks)."""
        rule = self._read_rule
        if rule is not None and time.monotonic() - rule[1] < READ_RULE_AGE:
            return rule[0]
        return None

    def set_read_protected(self, protected):
        table = schema.access
        with self._guard(), self._writer() as connection:
            connection.execute(delete(table))
            connection.execute(insert(table).values(id=1, read_protected=bool(protected)))
        self._read_rule = None

    # --- retention -----------------------------------------------------------------------------------------------

    def retention(self):
        """{"keep_last": N or None, "keep_days": D or None}."""
        table = schema.retention
        with self._guard(), self.engine.connect() as connection:
            row = connection.execute(select(table.c.keep_last, table.c.keep_days).where(table.c.id == 1)).first()
        return {"keep_last": row.keep_last if row else None, "keep_days": row.keep_days if row else None}

    def set_retention(self, keep_last=None, keep_days=None):
        table = schema.retention
        with self._guard(), self._writer() as connection:
            connection.execute(delete(table))
            connection.execute(insert(table).values(id=1, keep_last=keep_last, keep_days=keep_days))
        return self.retention()

    def pin(self, job_id, pinned=True):
        """Pins (or unpins) a job; False when there is no such job."""
        jobs = schema.jobs
        with self._guard(), self._writer() as connection:
            found = connection.execute(update(jobs).where(jobs.c.id == job_id).values(pinned=bool(pinned))).rowcount
        return bool(found)

    def expired(self, now=None):
        """The keys of the jobs the retention lets go, oldest first: finished, not pinned, past the
        newest keep_last of their name and older than keep_days (each where it is set)."""
        policy = self.retention()
        keep_last, keep_days = policy["keep_last"], policy["keep_days"]
        if keep_last is None and keep_days is None:
            return []
        now = now or datetime.datetime.utcnow()
        jobs = schema.jobs
        statement = (select(jobs.c.id, jobs.c.name, jobs.c.updated, jobs.c.state, jobs.c.pinned)
                     .order_by(jobs.c.name, jobs.c.updated.desc(), jobs.c.id))
        with self._guard(), self.engine.connect() as connection:
            rows = connection.execute(statement).fetchall()
        going = []
        rank = {}
        for row in rows:
            rank[row.name] = rank.get(row.name, 0) + 1
            if row.pinned or row.state != "finished":
                continue
            if keep_last is not None and rank[row.name] <= keep_last:
                continue
            if keep_days is not None and row.updated > now - datetime.timedelta(days=keep_days):
                continue
            going.append((row.updated, row.id))
        return [job_id for _, job_id in sorted(going)]

    def prune(self, dry_run=False, now=None):
        """Deletes what the retention lets go (nothing with `dry_run`); returns those keys."""
        going = self.expired(now)
        if dry_run:
            return going
        # SQLite's pages are given back once for all of them: each time moves the file's tail.
        gone = [job_id for job_id in going if self.delete_job(job_id, give_back=False)]
        if gone and self.is_sqlite:
            self.give_back_space()
        return gone

    def give_back_space(self):
        """SQLite: the free pages cut from the file (in files made with auto_vacuum=INCREMENTAL)."""
        with self._write_lock, self.engine.connect() as connection:
            raw = connection.connection.driver_connection
            # Run to its end as a script: a statement's one step frees a single page.
            raw.executescript("PRAGMA incremental_vacuum")
        self.truncate_wal()

    def truncate_wal(self):
        """Copies the WAL into the database and truncates it, if no reader holds it within a moment:
        best effort (the next large write tries again), never a wait worth a request's time."""
        with self._write_lock, self.engine.connect() as connection:
            raw = connection.connection.driver_connection
            try:
                raw.execute("PRAGMA busy_timeout=200")
                raw.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchall()
            except Exception:  # noqa: BLE001 - a checkpoint that cannot run now is no failure of the write
                pass
            finally:
                raw.execute("PRAGMA busy_timeout=%d" % int(self.timeout * 1000))

    def _writer(self):
        return _Writer(self)

    def _insert_many(self, connection, table, columns, job_id, rows, times_ready=False):
        """INSERTs of (job, *row) in batches, straight to the driver's executemany: a row costs no more
        than the driver's own binding (the statement is made of the schema's names; values are bound).
        `times_ready`: the rows' times are in the driver's form already."""
        quote = self.engine.dialect.identifier_preparer.quote
        mark = "?" if self.is_sqlite else "%s"
        statement = "INSERT INTO %s (%s) VALUES (%s)" % (
            quote(table.name), ", ".join(quote(c) for c in ("job",) + tuple(columns)),
            ", ".join([mark] * (len(columns) + 1)))
        times = [i + 1 for i, c in enumerate(columns) if isinstance(table.c[c].type, DateTime)]
        if times_ready or not self.is_sqlite:
            times = []
        if not times and isinstance(rows, list):
            key = (job_id,)
            if self.is_sqlite:
                # A batch's tuples live only while it is inserted: the collector need not walk them.
                with CollectorPause():
                    for at in range(0, len(rows), BATCH):
                        connection.exec_driver_sql(statement, [key + row for row in rows[at:at + BATCH]])
                return
            if table is schema.results:
                # The index's rows by COPY: PostgreSQL's parse and plan of an INSERT of 4,800 bound values
                # cost more than the rows' own writing.
                names = ", ".join(quote(c) for c in ("job",) + tuple(columns))
                with connection.connection.cursor() as cursor, \
                        cursor.copy("COPY %s (%s) FROM STDIN" % (quote(table.name), names)) as copy:
                    for row in rows:
                        copy.write_row(key + row)
                return
            # PostgreSQL: many rows to one INSERT, still every value bound; its driver's executemany
            # spends a round of work per row (a third of the time).
            one = "(%s)" % ", ".join([mark] * (len(columns) + 1))
            per = max(1, PG_PARAMETERS // (len(columns) + 1))
            for at in range(0, len(rows), per):
                chunk = rows[at:at + per]
                values = [value for row in chunk for value in key + row]
                connection.exec_driver_sql(statement.rpartition(" VALUES ")[0] + " VALUES " +
                                           ", ".join([one] * len(chunk)), tuple(values))
            return
        batch = []
        for row in rows:
            row = (job_id,) + tuple(row)
            if times:
                # SQLite keeps times as text, in the form SQLAlchemy writes and reads back.
                row = tuple(_sqlite_time(v) if i in times else v for i, v in enumerate(row))
            batch.append(row)
            if len(batch) >= BATCH:
                connection.exec_driver_sql(statement, batch)
                batch = []
        if batch:
            connection.exec_driver_sql(statement, batch)

    def integrity_check(self):
        """SQLite's own integrity check ("ok" when sound); PostgreSQL keeps its own, so "ok" there."""
        if not self.is_sqlite:
            return "ok"
        with self._guard(), self.engine.connect() as connection:
            return "; ".join(row[0] for row in connection.exec_driver_sql("PRAGMA integrity_check"))


def _assemble(stored):
    """The nested node text of a job from its rows {path: data}, children put back where their ids stand."""
    def build(id_list):
        node = json.loads(stored[path_of(id_list)])
        keys = [key for key in ("tasks", "sections") if isinstance(node.get(key), list)]
        steps = iter(child_steps([child for key in keys for child in node[key]]))
        for key in keys:
            node[key] = [build(id_list + [next(steps)]) for _ in node[key]]
        return node

    return safe_json(build([]))


def _lower(value):
    return value.lower() if isinstance(value, str) else value


def _size(snapshot):
    return sum(len(row[9]) for row in snapshot.nodes) + sum(len(data) for _, data in snapshot.logs)


# What the cross-job index reads of a node row: path, parent, depth, type, result, data.
def pair_condition(is_sqlite, op):
    """SQL that a row's (start, job) is `op` ("<", "<=" or ">") a given pair, with the "?" marks' values
    from (start, job): PostgreSQL takes a row comparison as one index range; SQLite wants it spelled out,
    the bound on start alone first, which it takes as the index range."""
    if is_sqlite:
        return "(start %s= ? AND (start %s ? OR job %s ?))" % (op[0], op[0], op), lambda s, k: (s, s, k)
    return "(start, job) %s (?, ?)" % op, lambda s, k: (s, k)


_RESULT, _RUNTIME, _DEPTH, _TYPE = (NODE_COLUMNS.index(c) for c in ("result", "runtime", "depth", "type"))
_PATH = NODE_COLUMNS.index("path")
# The node types that the slowest list leaves out, as containers of what it lists.
SLOWEST_LEFT_OUT = ("Task", "Plugin")
SLOWEST = 10


def job_facts(nodes):
    """({result in lower case: nodes}, [[path, result, run time]...] of the SLOWEST slowest nodes below the
    tasks, the slowest first, the greater path first among equals (a parent before its children)) of a
    job's node rows: what Insights.result_counts and slowest read of them."""
    counts = {}
    for result, count in collections.Counter(map(operator.itemgetter(_RESULT), nodes)).items():
        if result is not None:
            key = _lower(result)
            counts[key] = counts.get(key, 0) + count
    timed = (row for row in nodes if row[_RUNTIME] is not None and row[_DEPTH] > 1
             and row[_TYPE] not in SLOWEST_LEFT_OUT)
    slowest = heapq.nlargest(SLOWEST, timed, key=operator.itemgetter(_RUNTIME, _PATH))
    return counts, [[row[_PATH], row[_RESULT], row[_RUNTIME]] for row in slowest]


# Where triage.index_rows finds what it reads in a node row.
_INDEXED = tuple(NODE_COLUMNS.index(c) for c in ("path", "parent", "depth", "type", "result", "data"))


def _sqlite_time(value):
    return value.isoformat(" ", "microseconds") if isinstance(value, datetime.datetime) else value


def _chunks(logs):
    for name, data in logs:
        for seq, at in enumerate(range(0, len(data), schema.LOG_CHUNK)):
            yield name, seq, data[at:at + schema.LOG_CHUNK]


class _Writer:
    """One write transaction; in SQLite the process's writers also queue here rather than in busy retries."""

    def __init__(self, storage):
        self.storage = storage
        self.context = None

    def __enter__(self):
        if self.storage.is_sqlite:
            self.storage._write_lock.acquire()
        try:
            self.connection = self.storage.writing.connect()
            try:
                self.context = self.connection.begin()
                self.context.__enter__()
            except BaseException:
                self.connection.close()
                raise
            return self.connection
        except BaseException:
            if self.storage.is_sqlite:
                self.storage._write_lock.release()
            raise

    def __exit__(self, *exc):
        try:
            try:
                return self.context.__exit__(*exc)
            finally:
                self.connection.close()
        finally:
            if self.storage.is_sqlite:
                self.storage._write_lock.release()


class _Guard:
    """Turns a lost or unreachable database into DatabaseUnavailable, with the driver's reason in one line;
    and tells the storage whether the database answered."""

    def __init__(self, storage):
        self.storage = storage

    def __enter__(self):
        return self

    def __exit__(self, kind, error, _tb):
        if error is None:
            if not self.storage.available:
                self.storage._availability(True)
            return False
        try:
            return self._translate(error)
        except DatabaseUnavailable as unavailable:
            self.storage.database_errors += 1
            self.storage._availability(False, str(unavailable).partition(": ")[2])
            raise

    def _translate(self, error):
        if isinstance(error, sqlalchemy.exc.DBAPIError) and (
                getattr(error.orig, "sqlstate", None) == "53100"
                or any(words in str(error.orig).lower() for words in FULL)):
            reason = " ".join(str(getattr(error, "orig", error)).split())[:300]
            raise StorageFull("the server's disk is full (%s): sending again will not help until space is "
                              "freed on it" % reason) from error
        if isinstance(error, sqlalchemy.exc.DBAPIError) and (
                error.connection_invalidated or isinstance(error, (sqlalchemy.exc.OperationalError,
                                                                   sqlalchemy.exc.InterfaceError))):
            reason = " ".join(str(getattr(error, "orig", error)).split())[:300]
            raise DatabaseUnavailable("the database is unavailable: %s" % reason) from error
        if isinstance(error, sqlalchemy.exc.TimeoutError):
            raise DatabaseUnavailable("the database is unavailable: no connection free in time") from error
        return False
