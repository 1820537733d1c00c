"""Nodes lose the index on the path alone: every read of a node names its job, which the primary key
(job, path) serves, and the second index cost a fifth of the time a job's rows take to store.

Revision ID: 0002
Revises: 0001
"""
from alembic import op

revision = "0002"
down_revision = "0001"
branch_labels = None
depends_on = None


def upgrade():
    op.drop_index("ix_nodes_path", table_name="nodes")


def downgrade():
    op.create_index("ix_nodes_path", "nodes", ["path"])
