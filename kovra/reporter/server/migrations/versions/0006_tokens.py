"""Named tokens, each reading or writing, kept as hashes; the key that signs the pages' sessions; and
on every record a send or a triage change makes, the name of the token that made it.

Revision ID: 0006_tokens
Revises: 0005_result_index
"""
import sqlalchemy as sa
from alembic import op

revision = "0006_tokens"
down_revision = "0005_result_index"
branch_labels = None
depends_on = None

WRITTEN = ("jobs", "known_issues", "mutes", "owners")


def upgrade():
    op.create_table(
        "tokens",
        sa.Column("name", sa.Text, primary_key=True),
        sa.Column("role", sa.Text, nullable=False),
        sa.Column("hash", sa.Text, nullable=False),
        sa.Column("created", sa.DateTime, nullable=False),
        sa.Column("last_used", sa.DateTime),
    )
    op.create_index("ix_tokens_hash", "tokens", ["hash"], unique=True)
    op.create_table(
        "server_keys",
        sa.Column("name", sa.Text, primary_key=True),
        sa.Column("value", sa.Text, nullable=False),
    )
    # ALTER TABLE in place (see 0004): a copied jobs table would take its nodes with it.
    for table in WRITTEN:
        op.add_column(table, sa.Column("written_by", sa.Text))


def downgrade():
    for table in WRITTEN:
        op.execute("ALTER TABLE %s DROP COLUMN written_by" % table)
    op.drop_table("server_keys")
    op.drop_index("ix_tokens_hash", table_name="tokens")
    op.drop_table("tokens")
