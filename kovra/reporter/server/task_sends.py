"""Sends per task: one task's subtree replaces that task alone in a stored job.

The upload is a stored-report document whose run set holds exactly one task. In one
transaction the task's old rows (and its sent logs) go and the new ones come, the run
set's row takes the sent fields with the job's task list kept (the task stays in its
place, a new one goes last), and the snapshot number grows. The same task sent again
changes nothing. The rows are those a whole send of the same job would hold.
"""
import datetime
import hashlib
import json

from sqlalchemy import and_, delete, insert, select, text, update

from kovra.reporter.server import schema
from kovra.reporter.server.intake import NODE_COLUMNS, Refused, safe_json
from kovra.reporter.server.storage import Conflict, job_row, path_of

DATA, CHILDREN, POSITION = NODE_COLUMNS.index("data"), NODE_COLUMNS.index("children"), NODE_COLUMNS.index("position")


def _subtree(job_id, task_path):
    # A task's descendants' paths start with its own, less the closing bracket, and a comma;
    # paths are ASCII JSON, so every one of them sorts below that prefix followed by DEL. Two ranges
    # of the key, not one OR: SQLite would walk the whole job's rows for that.
    nodes = schema.nodes
    prefix = task_path[:-1] + ","
    return [and_(nodes.c.job == job_id, nodes.c.path == task_path),
            and_(nodes.c.job == job_id, nodes.c.path > prefix, nodes.c.path < prefix + "\x7f")]


def _stored_log(connection, job_id, name):
    chunks = schema.log_chunks
    rows = connection.execute(select(chunks.c.data).where(chunks.c.job == job_id, chunks.c.name == name)
                              .order_by(chunks.c.seq))
    found = [bytes(row[0]) for row in rows]
    return b"".join(found) if found else None


def put_task(storage, job_id, snapshot, state, replace=False, written_by=None):
    """Stores the one task of `snapshot` in job `job_id`; returns (job row, changed). `written_by`
    names the token that sent it."""
    root = snapshot.nodes[0]
    ids = json.loads(root[CHILDREN])
    if len(ids) != 1:
        raise Refused("a task send holds exactly one task, not %d" % len(ids))
    task_path = path_of(ids)
    rows = snapshot.nodes[1:]
    if storage.time_text != snapshot.time_text and snapshot.time_text:
        raise ValueError("a snapshot with its times as text is for SQLite only")
    jobs, nodes = schema.jobs, schema.nodes
    now = datetime.datetime.utcnow()
    with storage._guard(), storage._writer() as connection:
        if not storage.is_sqlite:
            connection.execute(text("SELECT pg_advisory_xact_lock(hashtext(:key))"), {"key": job_id})
        old = connection.execute(select(jobs.c.snapshot, jobs.c.digest, jobs.c.state, jobs.c.nodes)
                                 .where(jobs.c.id == job_id)).first()
        if old is None:
            connection.execute(insert(jobs).values(id=job_id, snapshot=1, state=state, digest=snapshot.digest,
                                                   nodes=len(snapshot.nodes), updated=now, written_by=written_by,
                                                   **snapshot.job))
            old_rows = []
            new_root = root
        else:
            stored_root = connection.execute(select(nodes.c.data, nodes.c.children)
                                             .where(nodes.c.job == job_id, nodes.c.path == "[]")).first()
            task_ids = json.loads(stored_root.children) if stored_root is not None else []
            if ids[0] in task_ids:
                position = task_ids.index(ids[0])
            else:
                position = len(task_ids)
                task_ids = task_ids + ids
            data = json.loads(root[DATA])
            data["tasks"] = task_ids
            new_root = root[:DATA] + (safe_json(data), path_of(task_ids)) + root[CHILDREN + 1:]
            rows = [rows[0][:POSITION] + (position,) + rows[0][POSITION + 1:]] + rows[1:]
            old_rows = [row for part in _subtree(job_id, task_path)
                        for row in connection.execute(select(nodes.c.path, nodes.c.data).where(part)).all()]
            same = (old.state == state and stored_root is not None
                    and json.loads(stored_root.data) == data
                    and dict(old_rows) == {row[0]: row[DATA] for row in rows}
                    and all(_stored_log(connection, job_id, name) == log for name, log in snapshot.logs))
            if same:
                row = connection.execute(select(*[c for c in jobs.c if c.name != "digest"])
                                         .where(jobs.c.id == job_id)).first()
                return job_row(row), False
            if old.state == "finished" and not replace:
                raise Conflict("job %r is finished: a task replaces one of its tasks only with replace=true"
                               % job_id)
            digest = hashlib.sha256(("%s\0%s\0%s" % (old.digest, task_path, snapshot.digest)).encode()).hexdigest()
            connection.execute(update(jobs).where(jobs.c.id == job_id).values(
                snapshot=old.snapshot + 1, state=state, digest=digest, updated=now, written_by=written_by,
                nodes=old.nodes - len(old_rows) + len(rows), **snapshot.job))
            # The facts made at intake were of the whole job sent before.
            connection.execute(delete(schema.job_facts).where(schema.job_facts.c.job == job_id))
            for part in _subtree(job_id, task_path):
                connection.execute(delete(nodes).where(part))
            connection.execute(delete(nodes).where(nodes.c.job == job_id, nodes.c.path == "[]"))
            names = [name for name, _ in snapshot.logs]
            if names:
                for table in (schema.log_chunks, schema.log_files):
                    connection.execute(delete(table).where(table.c.job == job_id, table.c.name.in_(names)))
        storage._insert_many(connection, nodes, NODE_COLUMNS, job_id, [new_root] + list(rows),
                             times_ready=snapshot.time_text)
        # The cross-job index follows, as if the whole job had been sent.
        storage._replace_task_index(connection, job_id, task_path, rows)
        storage._insert_many(connection, schema.log_files, ("name", "size"), job_id,
                             [(name, len(data)) for name, data in snapshot.logs])
        from kovra.reporter.server.storage import _chunks
        storage._insert_many(connection, schema.log_chunks, ("name", "seq", "data"), job_id, _chunks(snapshot.logs))
        row = connection.execute(select(*[c for c in jobs.c if c.name != "digest"]).where(jobs.c.id == job_id)).first()
    return job_row(row), True
