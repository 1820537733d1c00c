"""What a job page shows of all of a job's rows (its counts by result and slowest nodes) is made at intake.
Jobs stored before have none: their pages read the rows, as before.

Revision ID: 0009_job_facts
Revises: 0008_results_by_job
"""
import sqlalchemy as sa
from alembic import op

revision = "0009_job_facts"
down_revision = "0008_results_by_job"
branch_labels = None
depends_on = None


def upgrade():
    op.create_table(
        "job_facts",
        sa.Column("job", sa.Text, sa.ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
        sa.Column("snapshot", sa.Integer, nullable=False),
        sa.Column("counts", sa.Text, nullable=False),
        sa.Column("slowest", sa.Text, nullable=False),
    )


def downgrade():
    op.drop_table("job_facts")
