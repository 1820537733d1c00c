"""Jobs may name a group (shards of one nightly shown as one run).

Revision ID: 0003_groups_webhooks
Revises: 0002
"""
import sqlalchemy as sa
from alembic import op

revision = "0003_groups_webhooks"
down_revision = "0002"
branch_labels = None
depends_on = None


def upgrade():
    op.add_column("jobs", sa.Column("group", sa.Text(), nullable=True))
    op.create_index("ix_jobs_group", "jobs", ["group"])


def downgrade():
    op.drop_index("ix_jobs_group", table_name="jobs")
    op.drop_column("jobs", "group")
