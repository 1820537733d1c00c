"""The database schema, one definition for SQLite and PostgreSQL (migrations/ builds it step by step).

A job is one row in `jobs`; each node of its report is one row in `nodes`,
keyed by (job, path), so that reading a node is one indexed lookup whatever the
size of the job. `path` is the node's id path written as compact JSON (``[]``
for the run set, ``["task1","setup"]`` below it): unambiguous whatever the ids
hold. `data` is the node exactly as the API serves it. Task logs are cut into
fixed-size chunks so that a byte range reads only the chunks it covers.
"""
from sqlalchemy import (BigInteger, Boolean, Column, Date, DateTime, Float, ForeignKey, Index, Integer, LargeBinary,
                        MetaData, Table, Text, false, text)

from kovra.reporter.format import PROBLEM_RESULTS, RESULT_ORDER

LOG_CHUNK = 64 * 1024

metadata = MetaData()

jobs = Table(
    "jobs", metadata,
    Column("id", Text, primary_key=True),            # the sender's key
    Column("name", Text, nullable=False),            # the run set's id unless the sender names it
    Column("state", Text, nullable=False),           # running | finished
    Column("result", Text),
    Column("health", Text),
    Column("start", DateTime),
    Column("stop", DateTime),
    Column("runtime", Float),
    Column("counts", Text),                          # JSON: the run set's summary counts by result
    Column("snapshot", Integer, nullable=False),     # grows with each accepted send
    Column("digest", Text, nullable=False),          # of the last snapshot: a resend changes nothing
    Column("nodes", Integer, nullable=False),
    Column("updated", DateTime, nullable=False),
    Column("group", Text),                           # shards of one run name the same group
    Column("pinned", Boolean, nullable=False, server_default=false()),  # kept whatever the retention
    Column("written_by", Text),                      # the name of the token that sent the snapshot
    Index("ix_jobs_updated", "updated"),
    Index("ix_jobs_group", "group"),
    Index("ix_jobs_name_updated", "name", "updated"),
    Index("ix_jobs_start", "start"),
)

# Partial indexes of nodes, small beside the table: the rows a job page reads first. A query names the
# same text as the index's condition, so that both databases see that the index serves it.
TASK_ROWS = "depth = 1"
PROBLEM_ROWS = "result IN (%s)" % ", ".join("'%s'" % r for r in sorted(PROBLEM_RESULTS))
ODD_RESULT_ROWS = "result NOT IN (%s)" % ", ".join("'%s'" % r for r in RESULT_ORDER)

nodes = Table(
    "nodes", metadata,
    Column("job", Text, ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
    Column("path", Text, primary_key=True),
    Column("parent", Text),
    Column("position", Integer, nullable=False),
    Column("depth", Integer, nullable=False),
    Column("type", Text),
    Column("result", Text),
    Column("start", DateTime),
    Column("stop", DateTime),
    Column("runtime", Float),
    Column("data", Text, nullable=False),
    Column("children", Text, nullable=False),
    Index("ix_nodes_tasks", "job", "position", sqlite_where=text(TASK_ROWS), postgresql_where=text(TASK_ROWS)),
    Index("ix_nodes_problems", "job", "path", sqlite_where=text(PROBLEM_ROWS), postgresql_where=text(PROBLEM_ROWS)),
    Index("ix_nodes_odd_results", "job", "path", sqlite_where=text(ODD_RESULT_ROWS),
          postgresql_where=text(ODD_RESULT_ROWS)),
)

log_files = Table(
    "log_files", metadata,
    Column("job", Text, ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
    Column("name", Text, primary_key=True),
    Column("size", BigInteger, nullable=False),
)

log_chunks = Table(
    "log_chunks", metadata,
    Column("job", Text, ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
    Column("name", Text, primary_key=True),
    Column("seq", Integer, primary_key=True),
    Column("data", LargeBinary, nullable=False),
)

webhooks = Table(
    "webhooks", metadata,
    Column("id", Integer, primary_key=True, autoincrement=True),
    Column("url", Text, nullable=False),
    Column("events", Text, nullable=False),          # JSON list of event names
    Column("secret", Text, nullable=False),
    Column("created", DateTime, nullable=False),
)

# Queued in the database so that they outlive a restart; `due` is when the next attempt may start.
deliveries = Table(
    "deliveries", metadata,
    Column("id", Text, primary_key=True),
    Column("webhook", Integer, ForeignKey("webhooks.id", ondelete="CASCADE"), nullable=False),
    Column("event", Text, nullable=False),
    Column("body", Text, nullable=False),
    Column("state", Text, nullable=False),           # queued | delivered | failed
    Column("attempts", Integer, nullable=False),
    Column("due", DateTime, nullable=False),
    Column("last_status", Integer),
    Column("last_error", Text),
    Column("created", DateTime, nullable=False),
    Column("delivered", DateTime),
    Index("ix_deliveries_state_due", "state", "due"),
    Index("ix_deliveries_webhook", "webhook", "created"),
)

# One row (id 1) at most: the jobs the server keeps. None: no bound of that kind. A job goes when
# every bound set says so: past the newest `keep_last` of its name and older than `keep_days`.
retention = Table(
    "retention", metadata,
    Column("id", Integer, primary_key=True),
    Column("keep_last", Integer),
    Column("keep_days", Float),
)

# One row (id 1) at most: whether reading needs a token, for every process on the database.
access = Table(
    "access", metadata,
    Column("id", Integer, primary_key=True),
    Column("read_protected", Boolean, nullable=False, server_default=false()),
)

# Named tokens (auth.py), each reading or writing. Only a token's SHA-256 is kept: the tokens are
# random 256-bit values, so a fast hash is as good as a slow one and a stolen table gives none back.
tokens = Table(
    "tokens", metadata,
    Column("name", Text, primary_key=True),
    Column("role", Text, nullable=False),            # read | write
    Column("hash", Text, nullable=False),            # SHA-256 of the token, hex
    Column("created", DateTime, nullable=False),
    Column("last_used", DateTime),                   # brought up to date at most every minute
    Index("ix_tokens_hash", "hash", unique=True),
)

# Secrets every process shares, by name: "session" signs the pages' sign-in cookies.
server_keys = Table(
    "server_keys", metadata,
    Column("name", Text, primary_key=True),
    Column("value", Text, nullable=False),
)

# The cross-job index: one row per section directly under a task, and per node with a result below a
# section holding a failure, of every job, keyed for questions across the jobs of one name (triage.py).
# `start` is the job's start (else its arrival): the order of a name's jobs. Replaced with the snapshot.
# Its tables (results, result_jobs, signatures) hold no foreign key to their job: a key is checked once
# a row written (on PostgreSQL by a query locking the job's row each time), a third of the index's time
# at intake there. Their rows are written with the job's row and deleted with it, in one transaction
# (storage.JOB_TABLES).
results = Table(
    "results", metadata,
    Column("job", Text, primary_key=True),  # no foreign key (see above)
    Column("path", Text, primary_key=True),
    Column("name", Text, nullable=False),
    Column("section", Text, nullable=False),
    Column("start", DateTime, nullable=False),
    Column("class", Text, nullable=False),           # pass | fail | other
    Column("result", Text),
    Column("leaf", Boolean, nullable=False),          # a failure with no failure beneath it
    Column("signature", Text),                       # of a leaf failure
    Column("text", Text),                            # its signature text
    Column("reason", Text),                          # its reason, cut short
    Column("epoch", Integer),                        # of a failure: its job's stretch (result_jobs)
    # Across jobs, the failures only: the runs of failures are what the states look for; a job's passes
    # are read under its own key (result_jobs gives a name's jobs in order). Filed by stretches of a name's
    # jobs: a node failing in every job would otherwise put each new job's row on a page of its own, and
    # an index of every row across jobs did so for every section of a job, once its name had some jobs.
    # Its class too, though all alike: SQLite counts a run from the index alone only so.
    Index("ix_results_failures", "name", "epoch", "path", "start", "job", "class",
          sqlite_where=text("class = 'fail'"), postgresql_where=text("class = 'fail'")),
    # Leaf failures only: the sections that passed, most of the rows, cost this index nothing.
    Index("ix_results_signature_start", "signature", "start", sqlite_where=text("signature IS NOT NULL"),
          postgresql_where=text("signature IS NOT NULL")),
    # A job's leaf failures, without reading its passing sections.
    Index("ix_results_job_leaf", "job", "path", sqlite_where=text("leaf = 1"), postgresql_where=text("leaf")),
)

# The jobs of the cross-job index, by name in the order of their start: the index rows' name and start,
# and the stretch of the name's jobs that files their failures (about EPOCH_JOBS jobs each, see storage).
result_jobs = Table(
    "result_jobs", metadata,
    Column("job", Text, primary_key=True),  # no foreign key: see results
    Column("name", Text, nullable=False),
    Column("start", DateTime, nullable=False),
    Column("epoch", Integer, nullable=False),
    Index("ix_result_jobs_name_start", "name", "start", "job"),
    Index("ix_result_jobs_name_epoch", "name", "epoch"),
)

# Per name, each section's earliest start in the index, or an earlier one (a job deleted since): where
# a walk back over a name's jobs in search of a node can stop. A job adds rows only for sections new
# to its name, and moves a start only back.
result_paths = Table(
    "result_paths", metadata,
    Column("name", Text, primary_key=True),
    Column("path", Text, primary_key=True),
    Column("start", DateTime, nullable=False),
    Index("ix_result_paths_name_start", "name", "start"),
)

# What a job page shows of all of a job's rows, made at intake from the rows in hand: on a large job each
# costs a read of every row. It holds for one snapshot: a task send leaves it behind, and the page reads
# the rows again.
job_facts = Table(
    "job_facts", metadata,
    Column("job", Text, ForeignKey("jobs.id", ondelete="CASCADE"), primary_key=True),
    Column("snapshot", Integer, nullable=False),
    Column("counts", Text, nullable=False),          # JSON: {result in lower case: nodes}
    Column("slowest", Text, nullable=False),         # JSON: [[path, result, run time]...], the slowest first
)

# Triage's rules (rules.py), applied when failures are read.
known_issues = Table(
    "known_issues", metadata,
    Column("id", Integer, primary_key=True, autoincrement=True),
    Column("title", Text, nullable=False),
    Column("url", Text),
    Column("match", Text, nullable=False),           # a signature, or a regular expression over the reason
    Column("name", Text),                            # a job name, or every name
    Column("state", Text, nullable=False),           # open | closed
    Column("created", DateTime, nullable=False),
    Column("written_by", Text),                      # the token's name that made or last changed it
)

mutes = Table(
    "mutes", metadata,
    Column("id", Integer, primary_key=True, autoincrement=True),
    Column("name", Text),                            # a job name, or every name
    Column("path", Text, nullable=False),            # a glob over node paths (ids joined with ".")
    Column("reason", Text, nullable=False),
    Column("owner", Text, nullable=False),
    Column("until", Date, nullable=False),           # the last day it applies
    Column("created", DateTime, nullable=False),
    Column("written_by", Text),
)

owners = Table(
    "owners", metadata,
    Column("name", Text, primary_key=True),          # a job name
    Column("text", Text, nullable=False),            # lines of PATTERN OWNER...
    Column("updated", DateTime, nullable=False),
    Column("written_by", Text),
)

# Per job, how many leaf failures hold each signature: what a signature's page and a group's first
# sighting read, a few rows per job however many failures share a cause. Replaced with the snapshot.
signatures = Table(
    "signatures", metadata,
    Column("job", Text, primary_key=True),  # no foreign key: see results
    Column("signature", Text, primary_key=True),
    Column("name", Text, nullable=False),
    Column("start", DateTime, nullable=False),
    Column("count", Integer, nullable=False),
    Column("text", Text, nullable=False),
    Index("ix_signatures_signature_start", "signature", "start", "job"),
)
