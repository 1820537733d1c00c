"""Small partial indexes for what the failures and the job page read of a large job, so that neither reads
all its rows: its leaf failures in the cross-job index; its tasks, failing nodes and nodes of results
outside the known names (which may be failures in other letters) among its nodes.

Revision ID: 0007_triage_speed
Revises: 0006_tokens
"""
import sqlalchemy as sa
from alembic import op

# The conditions as they stood at this revision (schema.TASK_ROWS and the rest name them today).
TASK_ROWS = "depth = 1"
PROBLEM_ROWS = "result IN ('aborted', 'blocked', 'errored', 'failed')"
ODD_RESULT_ROWS = "result NOT IN ('passed', 'passx', 'failed', 'errored', 'aborted', 'blocked', 'skipped')"

revision = "0007_triage_speed"
down_revision = "0006_tokens"
branch_labels = None
depends_on = None


def upgrade():
    # An index fills itself from the rows already stored.
    op.create_index("ix_results_job_leaf", "results", ["job", "path"], sqlite_where=sa.text("leaf = 1"),
                    postgresql_where=sa.text("leaf"))
    for name, columns, where in (("ix_nodes_tasks", ["job", "position"], TASK_ROWS),
                                 ("ix_nodes_problems", ["job", "path"], PROBLEM_ROWS),
                                 ("ix_nodes_odd_results", ["job", "path"], ODD_RESULT_ROWS)):
        op.create_index(name, "nodes", columns, sqlite_where=sa.text(where), postgresql_where=sa.text(where))


def downgrade():
    for name in ("ix_nodes_odd_results", "ix_nodes_problems", "ix_nodes_tasks"):
        op.drop_index(name, table_name="nodes")
    op.drop_index("ix_results_job_leaf", table_name="results")
