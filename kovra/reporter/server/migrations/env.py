"""Alembic's entry point; the server runs it with a connection of its own (config.attributes["connection"])."""
from alembic import context

from kovra.reporter.server.schema import metadata

connection = context.config.attributes["connection"]
context.configure(connection=connection, target_metadata=metadata, render_as_batch=True)
with context.begin_transaction():
    context.run_migrations()
