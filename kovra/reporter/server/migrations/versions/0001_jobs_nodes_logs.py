"""Jobs, their nodes one per row, and task logs in chunks.

Revision ID: 0001
Revises:
"""
import sqlalchemy as sa
from alembic import op

revision = "0001"
down_revision = None
branch_labels = None
depends_on = None


def upgrade():
    op.create_table(
        "jobs",
        sa.Column("id", sa.Text, primary_key=True),
        sa.Column("name", sa.Text, nullable=False),
        sa.Column("state", sa.Text, nullable=False),
        sa.Column("result", sa.Text),
        sa.Column("health", sa.Text),
        sa.Column("start", sa.DateTime),
        sa.Column("stop", sa.DateTime),
        sa.Column("runtime", sa.Float),
        sa.Column("counts", sa.Text),
        sa.Column("snapshot", sa.Integer, nullable=False),
        sa.Column("digest", sa.Text, nullable=False),
        sa.Column("nodes", sa.Integer, nullable=False),
        sa.Column("updated", sa.DateTime, nullable=False),
    )
    op.create_index("ix_jobs_updated", "jobs", ["updated"])
    op.create_index("ix_jobs_name_updated", "jobs", ["name", "updated"])
    op.create_index("ix_jobs_start", "jobs", ["start"])
    op.create_table(
        "nodes",
        sa.Column("job", sa.Text, sa.ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
        sa.Column("path", sa.Text, primary_key=True),
        sa.Column("parent", sa.Text),
        sa.Column("position", sa.Integer, nullable=False),
        sa.Column("depth", sa.Integer, nullable=False),
        sa.Column("type", sa.Text),
        sa.Column("result", sa.Text),
        sa.Column("start", sa.DateTime),
        sa.Column("stop", sa.DateTime),
        sa.Column("runtime", sa.Float),
        sa.Column("data", sa.Text, nullable=False),
        sa.Column("children", sa.Text, nullable=False),
    )
    op.create_index("ix_nodes_path", "nodes", ["path"])
    op.create_table(
        "log_files",
        sa.Column("job", sa.Text, sa.ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
        sa.Column("name", sa.Text, primary_key=True),
        sa.Column("size", sa.BigInteger, nullable=False),
    )
    op.create_table(
        "log_chunks",
        sa.Column("job", sa.Text, sa.ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
        sa.Column("name", sa.Text, primary_key=True),
        sa.Column("seq", sa.Integer, primary_key=True),
        sa.Column("data", sa.LargeBinary, nullable=False),
    )


def downgrade():
    for table in ("log_chunks", "log_files", "nodes", "jobs"):
        op.drop_table(table)
