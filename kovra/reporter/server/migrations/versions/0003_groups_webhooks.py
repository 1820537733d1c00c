"""Jobs may name a group (shards of one nightly shown as one run); webhooks and their queued deliveries.

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
    op.create_table(
        "webhooks",
        sa.Column("id", sa.Integer(), primary_key=True, autoincrement=True),
        sa.Column("url", sa.Text(), nullable=False),
        sa.Column("events", sa.Text(), nullable=False),
        sa.Column("secret", sa.Text(), nullable=False),
        sa.Column("created", sa.DateTime(), nullable=False))
    op.create_table(
        "deliveries",
        sa.Column("id", sa.Text(), primary_key=True),
        sa.Column("webhook", sa.Integer(), sa.ForeignKey("webhooks.id", ondelete="CASCADE"), nullable=False),
        sa.Column("event", sa.Text(), nullable=False),
        sa.Column("body", sa.Text(), nullable=False),
        sa.Column("state", sa.Text(), nullable=False),
        sa.Column("attempts", sa.Integer(), nullable=False),
        sa.Column("due", sa.DateTime(), nullable=False),
        sa.Column("last_status", sa.Integer()),
        sa.Column("last_error", sa.Text()),
        sa.Column("created", sa.DateTime(), nullable=False),
        sa.Column("delivered", sa.DateTime()))
    op.create_index("ix_deliveries_state_due", "deliveries", ["state", "due"])
    op.create_index("ix_deliveries_webhook", "deliveries", ["webhook", "created"])


def downgrade():
    op.drop_table("deliveries")
    op.drop_table("webhooks")
    op.drop_index("ix_jobs_group", table_name="jobs")
    op.drop_column("jobs", "group")
