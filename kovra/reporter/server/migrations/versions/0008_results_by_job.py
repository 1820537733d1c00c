"""The cross-job index goes in by job: its index across jobs holds failures only, filed by stretches of
a name's jobs; a name's jobs in the order of their start are a small table of their own, and so is each
section's earliest start of a name. The rows already stored fill both tables.

Revision ID: 0008_results_by_job
Revises: 0007_triage_speed
"""
import sqlalchemy as sa
from alembic import op

revision = "0008_results_by_job"
down_revision = "0007_triage_speed"
branch_labels = None
depends_on = None

# Jobs of a name to a stretch, as the storage files them at this revision.
EPOCH_JOBS = 16


def upgrade():
    op.create_table(
        "result_jobs",
        sa.Column("job", sa.Text, sa.ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
        sa.Column("name", sa.Text, nullable=False),
        sa.Column("start", sa.DateTime, nullable=False),
        sa.Column("epoch", sa.Integer, nullable=False),
    )
    op.create_table(
        "result_paths",
        sa.Column("name", sa.Text, primary_key=True),
        sa.Column("path", sa.Text, primary_key=True),
        sa.Column("start", sa.DateTime, nullable=False),
    )
    op.add_column("results", sa.Column("epoch", sa.Integer))
    # A job's rows all carry its name and start; its stretch counts EPOCH_JOBS (storage) jobs of the name.
    op.execute("INSERT INTO result_jobs (job, name, start, epoch) SELECT job, name, start, "
               "(row_number() OVER (PARTITION BY name ORDER BY start, job) - 1) / %d FROM "
               "(SELECT job, min(name) AS name, min(start) AS start FROM results GROUP BY job) AS j" % EPOCH_JOBS)
    op.execute("UPDATE results SET epoch = (SELECT epoch FROM result_jobs WHERE result_jobs.job = results.job) "
               "WHERE class = 'fail'")
    op.execute("INSERT INTO result_paths (name, path, start) SELECT name, path, min(start) FROM results "
               "WHERE path = section GROUP BY name, path")
    op.create_index("ix_result_jobs_name_start", "result_jobs", ["name", "start", "job"])
    op.create_index("ix_result_jobs_name_epoch", "result_jobs", ["name", "epoch"])
    op.create_index("ix_result_paths_name_start", "result_paths", ["name", "start"])
    op.create_index("ix_results_failures", "results", ["name", "epoch", "path", "start", "job", "class"],
                    sqlite_where=sa.text("class = 'fail'"), postgresql_where=sa.text("class = 'fail'"))
    op.drop_index("ix_results_name_path_start", table_name="results")


def downgrade():
    op.create_index("ix_results_name_path_start", "results", ["name", "path", "start", "job", "class"])
    op.drop_index("ix_results_failures", table_name="results")
    # SQLite drops a column in place since 3.35 (bookworm has 3.40): no copy of the table.
    op.execute("ALTER TABLE results DROP COLUMN epoch")
    op.drop_table("result_paths")
    op.drop_table("result_jobs")
