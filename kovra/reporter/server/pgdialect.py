"""PostgreSQL through psycopg 3 for SQLAlchemy 1.4, which only knows psycopg 2.

Debian 12 ships SQLAlchemy 1.4 and psycopg 3.1; the stock PostgreSQL dialect does
everything but talk to the driver, so this adds the driver half: connecting,
autocommit, and telling a lost connection from a failed statement.
"""
from sqlalchemy.dialects import registry
from sqlalchemy.dialects.postgresql.base import PGDialect

NAME = "postgresql.kovra_psycopg"


class PGDialect_psycopg3(PGDialect):
    driver = "kovra_psycopg"
    supports_statement_cache = True
    supports_unicode_statements = True
    supports_unicode_binds = True
    default_paramstyle = "pyformat"
    supports_sane_multi_rowcount = False
    supports_server_side_cursors = False

    @classmethod
    def dbapi(cls):
        import psycopg
        return psycopg

    def create_connect_args(self, url):
        opts = url.translate_connect_args(username="user", database="dbname")
        if "port" in opts:
            opts["port"] = int(opts["port"])
        opts.update(url.query)
        return [], opts

    def set_isolation_level(self, connection, level):
        connection = getattr(connection, "dbapi_connection", connection)
        if level == "AUTOCOMMIT":
            connection.autocommit = True
            return
        connection.autocommit = False
        super().set_isolation_level(connection, level)

    def get_isolation_level(self, connection):
        connection = getattr(connection, "dbapi_connection", connection)
        if connection.autocommit:
            return "AUTOCOMMIT"
        return super().get_isolation_level(connection)

    def is_disconnect(self, e, connection, cursor):
        psycopg = self.dbapi
        if isinstance(e, (psycopg.OperationalError, psycopg.InterfaceError)):
            if connection is not None:
                raw = getattr(connection, "dbapi_connection", connection)
                if getattr(raw, "closed", False) or getattr(raw, "broken", False):
                    return True
            text = str(e)
            return any(sign in text for sign in ("connection is closed", "server closed the connection",
                                                 "terminating connection", "consuming input failed",
                                                 "connection is lost", "the connection is closed",
                                                 "Connection refused", "connection failed"))
        return False


def register():
    registry.register(NAME, __name__, "PGDialect_psycopg3")


def sqlalchemy_url(url):
    """The URL a user gives (postgresql://... or sqlite:///...) as SQLAlchemy must be told it."""
    for prefix in ("postgresql://", "postgres://", "postgresql+psycopg://"):
        if url.startswith(prefix):
            return "postgresql+kovra_psycopg://" + url[len(prefix):]
    return url
