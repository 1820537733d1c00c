"""Retention: jobs can be pinned, and one policy row says how many jobs of each name, and how old,
the server keeps. Access: whether reading needs a token, one rule for every process.

Revision ID: 0004_team
Revises: 0003_groups_webhooks
"""
import sqlalchemy as sa
from alembic import op

revision = "0004_team"
down_revision = "0003_groups_webhooks"
branch_labels = None
depends_on = None


def upgrade():
    # ALTER TABLE in place on both databases: SQLite's batch mode would copy the table and drop the
    # old one, whose nodes and logs would go with it (ON DELETE CASCADE).
    op.add_column("jobs", sa.Column("pinned", sa.Boolean, nullable=False, server_default=sa.false()))
    op.create_table(
        "retention",
        sa.Column("id", sa.Integer, primary_key=True),
        sa.Column("keep_last", sa.Integer),
        sa.Column("keep_days", sa.Float),
    )
    op.create_table(
        "access",
        sa.Column("id", sa.Integer, primary_key=True),
        sa.Column("read_protected", sa.Boolean, nullable=False, server_default=sa.false()),
    )


def downgrade():
    op.drop_table("access")
    op.drop_table("retention")
    op.execute("ALTER TABLE jobs DROP COLUMN pinned")
