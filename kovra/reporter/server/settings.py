"""The server's settings: where it stores, where it listens, who may write, and the limits on what it accepts."""
import dataclasses
import os

DEFAULT_PORT = 8765


def default_data_dir():
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "kovra-reporter")


@dataclasses.dataclass
class Settings:
    """Everything the server is told at start-up; the defaults give a working single-machine server."""

    # A database URL (sqlite:///FILE or postgresql://...); None: the embedded SQLite file under `data`.
    db: str = None
    # A file whose first line is the database's password (else libpq's PGPASSFILE or PGPASSWORD apply).
    db_password_file: str = None
    data: str = dataclasses.field(default_factory=default_data_dir)
    bind: str = "127.0.0.1:%d" % DEFAULT_PORT
    # A file holding the write token (first line); None: writes are refused.
    token_file: str = None
    # The token itself, for callers that hold it in memory (tests, the main job); wins over token_file.
    token: str = None
    # Whether reading needs the token, stored in the database for every process: True or False sets
    # that rule at start-up; None leaves the database's as it is.
    read_token_required: bool = None
    # Whether X-Forwarded-Proto from a proxy in front may say the pages are served over https (the
    # session cookie is then Secure).
    trust_proxy: bool = False

    # Limits on what one upload may be.
    max_upload_bytes: int = 256 * 1024 * 1024        # the request body as sent
    max_report_bytes: int = 512 * 1024 * 1024        # the report text once gunzipped
    max_depth: int = 400                              # nesting of the report's JSON values
    max_nodes: int = 2_000_000
    max_log_files: int = 10_000
    max_job_key: int = 200                            # characters in a job's key
    # Every row stores its node's id path: bounded, an upload cannot grow the database far beyond itself.
    max_id_length: int = 1000                         # characters of a node's id as JSON text
    max_path_length: int = 4000                       # characters of a node's id path as JSON text
    # How long a request waits for the database before it is answered 503.
    db_timeout: float = 10.0
    # Uploads parsed and stored at once by one process; more wait their turn.
    parallel_uploads: int = 2
    # Seconds a connection may take to send a request's headers (from its start or its last answer),
    # and the connections held at once; more are refused.
    header_timeout: float = 30.0
    max_connections: int = 500
    # The access log's form: "text", "json" (JSON lines) or "off".
    access_log: str = "off"
    # Seconds between two applications of the retention by the server itself (0: never).
    prune_interval: float = 3600.0
    # Rows per page in the job list, at most.
    max_per_page: int = 500
    # Seconds before a failed webhook delivery's second attempt; each later wait doubles.
    webhook_backoff: float = 5.0
    # Characters in one query value (a search, a name, an id path), at most.
    max_query_value: int = 10_000

    def database_url(self):
        if self.db:
            if self.db_password_file:
                # Read here, so that the password never stands on a command line (ps shows those).
                from sqlalchemy.engine import make_url
                with open(self.db_password_file, encoding="utf-8") as stream:
                    password = stream.readline().rstrip("\r\n")
                return make_url(self.db).set(password=password).render_as_string(hide_password=False)
            return self.db
        return "sqlite:///" + os.path.join(os.path.abspath(self.data), "reporter.sqlite3")

    def write_token(self):
        """The token writers must present, or None when none is configured."""
        if self.token:
            return self.token
        if self.token_file:
            with open(self.token_file, encoding="utf-8") as stream:
                token = stream.readline().strip()
            if not token:
                raise ValueError("%s: the token file is empty" % self.token_file)
            return token
        return None

    def host_port(self):
        host, _, port = self.bind.rpartition(":")
        if not host or not port.isdigit():
            raise ValueError("--bind wants HOST:PORT, not %r" % self.bind)
        return host.strip("[]"), int(port)
