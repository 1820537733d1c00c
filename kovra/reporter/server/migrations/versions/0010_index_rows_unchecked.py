"""The cross-job index's tables (results, signatures, result_jobs) hold no foreign key to their job: the
database checked it once a row written, a lookup of the job each time (on PostgreSQL a query locking the
job's row), which cost a third of the index's time at intake there. The rows are written with their job's
row, and deleted with it in the same transaction (storage.JOB_TABLES), as before.

Revision ID: 0010_index_rows_unchecked
Revises: 0009_job_facts
"""
import functools
import re

from alembic import op

revision = "0010_index_rows_unchecked"
down_revision = "0009_job_facts"
branch_labels = None
depends_on = None

TABLES = ("results", "signatures", "result_jobs")
# How the earlier revisions' CREATE TABLE wrote the key, as SQLite keeps it.
_SQLITE_KEY = re.compile(r",\s*FOREIGN KEY\s*\(job\) REFERENCES jobs \(id\) ON DELETE CASCADE")


def upgrade():
    connection = op.get_bind()
    if connection.dialect.name != "sqlite":
        for table in TABLES:
            op.drop_constraint("%s_job_fkey" % table, table, type_="foreignkey")
        return
    for table in TABLES:
        _remake(connection, table, functools.partial(_unkeyed, table), "")


def downgrade():
    connection = op.get_bind()
    for table in TABLES:
        if connection.dialect.name != "sqlite":
            op.execute("DELETE FROM %s WHERE job NOT IN (SELECT id FROM jobs)" % table)
            op.create_foreign_key("%s_job_fkey" % table, table, "jobs", ["job"], ["id"], ondelete="CASCADE")
        else:
            _remake(connection, table, lambda created: created[:created.rindex(")")] +
                    ", \n\tFOREIGN KEY(job) REFERENCES jobs (id) ON DELETE CASCADE\n)",
                    " WHERE job IN (SELECT id FROM jobs)")


def _unkeyed(table, created):
    plain, found = _SQLITE_KEY.subn("", created)
    if found != 1:
        raise RuntimeError("table %s is not as the earlier revisions made it: %s" % (table, created))
    return plain


def _remake(connection, table, change, kept):
    """SQLite changes a table's keys only by making the table again: its CREATE TABLE text changed by
    `change`, its rows (those `kept` keeps) copied, its indexes made again as they were."""
    created = connection.exec_driver_sql("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?",
                                         (table,)).scalar()
    indexes = [sql for (sql,) in connection.exec_driver_sql(
        "SELECT sql FROM sqlite_master WHERE type = 'index' AND tbl_name = ? AND sql IS NOT NULL", (table,))]
    connection.exec_driver_sql(re.sub(r'^CREATE TABLE "?%s"?' % table, "CREATE TABLE %s_remade" % table,
                                      change(created)))
    connection.exec_driver_sql("INSERT INTO %s_remade SELECT * FROM %s%s" % (table, table, kept))
    connection.exec_driver_sql("DROP TABLE %s" % table)
    connection.exec_driver_sql("ALTER TABLE %s_remade RENAME TO %s" % (table, table))
    for sql in indexes:
        connection.exec_driver_sql(sql)
