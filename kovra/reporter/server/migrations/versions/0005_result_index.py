"""The cross-job index of results (schema.results), built here for the jobs stored before it; triage's
known issues, mutes and owners.

Revision ID: 0005_result_index
Revises: 0004_team
"""
import datetime

import sqlalchemy as sa
from alembic import op

from kovra.reporter.server import triage

revision = "0005_result_index"
down_revision = "0004_team"
branch_labels = None
depends_on = None


def upgrade():
    op.create_table(
        "results",
        sa.Column("job", sa.Text, sa.ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
        sa.Column("path", sa.Text, primary_key=True),
        sa.Column("name", sa.Text, nullable=False),
        sa.Column("section", sa.Text, nullable=False),
        sa.Column("start", sa.DateTime, nullable=False),
        sa.Column("class", sa.Text, nullable=False),
        sa.Column("result", sa.Text),
        sa.Column("leaf", sa.Boolean, nullable=False),
        sa.Column("signature", sa.Text),
        sa.Column("text", sa.Text),
        sa.Column("reason", sa.Text),
    )
    op.create_index("ix_results_name_path_start", "results", ["name", "path", "start", "job", "class"])
    op.create_index("ix_results_signature_start", "results", ["signature", "start"],
                    sqlite_where=sa.text("signature IS NOT NULL"), postgresql_where=sa.text("signature IS NOT NULL"))
    op.create_table(
        "signatures",
        sa.Column("job", sa.Text, sa.ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
        sa.Column("signature", sa.Text, primary_key=True),
        sa.Column("name", sa.Text, nullable=False),
        sa.Column("start", sa.DateTime, nullable=False),
        sa.Column("count", sa.Integer, nullable=False),
        sa.Column("text", sa.Text, nullable=False),
    )
    op.create_index("ix_signatures_signature_start", "signatures", ["signature", "start", "job"])
    op.create_table(
        "known_issues",
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
        sa.Column("title", sa.Text, nullable=False),
        sa.Column("url", sa.Text),
        sa.Column("match", sa.Text, nullable=False),
        sa.Column("name", sa.Text),
        sa.Column("state", sa.Text, nullable=False),
        sa.Column("created", sa.DateTime, nullable=False),
    )
    op.create_table(
        "mutes",
        sa.Column("id", sa.Integer, primary_key=True, autoincrement=True),
        sa.Column("name", sa.Text),
        sa.Column("path", sa.Text, nullable=False),
        sa.Column("reason", sa.Text, nullable=False),
        sa.Column("owner", sa.Text, nullable=False),
        sa.Column("until", sa.Date, nullable=False),
        sa.Column("created", sa.DateTime, nullable=False),
    )
    op.create_table(
        "owners",
        sa.Column("name", sa.Text, primary_key=True),
        sa.Column("text", sa.Text, nullable=False),
        sa.Column("updated", sa.DateTime, nullable=False),
    )
    build_index(op.get_bind())


def build_index(connection):
    """Index rows for every stored job, one job at a time (its rows only in memory)."""
    meta = sa.MetaData()
    jobs = sa.Table("jobs", meta, autoload_with=connection)
    nodes = sa.Table("nodes", meta, autoload_with=connection)
    results = sa.Table("results", meta, autoload_with=connection)
    signatures = sa.Table("signatures", meta, autoload_with=connection)
    stored = connection.execute(sa.select(jobs.c.id, jobs.c.name, jobs.c.start, jobs.c.updated)).fetchall()
    for job in stored:
        when = job.start or job.updated or datetime.datetime.utcnow()
        rows = connection.execute(
            sa.select(nodes.c.path, nodes.c.parent, nodes.c.depth, nodes.c.type, nodes.c.result, nodes.c.data)
            .where(nodes.c.job == job.id, nodes.c.depth >= triage.SECTION_DEPTH)
            .order_by(nodes.c.depth, nodes.c.parent, nodes.c.position))
        made = triage.index_rows(job.name, when, [tuple(r) for r in rows])
        for at in range(0, len(made), 2000):
            connection.execute(results.insert(), [dict(zip(triage.RESULT_COLUMNS, row), job=job.id)
                                                  for row in made[at:at + 2000]])
        counted = triage.signature_rows(made)
        if counted:
            connection.execute(signatures.insert(), [dict(zip(triage.SIGNATURE_COLUMNS, row), job=job.id)
                                                     for row in counted])


def downgrade():
    for table in ("owners", "mutes", "known_issues", "signatures", "results"):
        op.drop_table(table)
