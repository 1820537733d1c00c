"""What a sender's upload must be, and how a report becomes rows: ``read_snapshot(...)`` -> ``Snapshot``.

Anything wrong raises ``Refused`` with a one-line reason before a single row is
written: too large, not UTF-8, not JSON, nested too deeply, not a report,
another format version, values of the wrong type, too many nodes, bad log names.
"""
import gc
import hashlib
import json
import sys
import threading
import zlib

from .. import _intake
from ..format import CHILD_KEYS, FORMAT_VERSION, child_steps  # noqa: F401 - the storage's too


class Refused(Exception):
    """An upload the server will not store; the message is one line saying why."""

    def __init__(self, message, status=400):
        super().__init__(" ".join(str(message).split()))
        self.status = status


class Snapshot:
    """A parsed upload: the job row's fields, node rows, logs [(name, bytes)] and a digest of it all."""

    def __init__(self, job, nodes, logs, digest, time_text=False):
        self.job = job
        self.nodes = nodes
        self.logs = logs
        self.digest = digest
        self.time_text = time_text  # the nodes' times as the text SQLite keeps, not datetimes


def gunzip(data, limit):
    """The body itself, or its gunzipped form when it is gzip; bounded by `limit` bytes either way."""
    if data[:2] != b"\x1f\x8b":
        return data
    inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
    try:
        out = inflater.decompress(data, limit + 1)
    except zlib.error as error:
        raise Refused("the gzip data is damaged: %s" % error) from None
    if len(out) > limit or inflater.unconsumed_tail:
        raise Refused("the report is larger than %d bytes once unpacked" % limit, status=413)
    if not inflater.eof:
        raise Refused("the gzip data is cut short")
    if inflater.unused_data:
        # A second member or junk: taking the first alone would store part of what was sent.
        raise Refused("%d bytes follow the gzip data's end" % len(inflater.unused_data))
    return out


def unpack(data, settings):
    """The report's bytes as sent, gunzipped when they are gzip, within the size limit."""
    data = gunzip(data, settings.max_report_bytes)
    if len(data) > settings.max_report_bytes:
        raise Refused("the report is larger than %d bytes" % settings.max_report_bytes, status=413)
    return data


def parse_text(data, settings):
    """The stored-report document in the unpacked bytes `data` as plain data, checked for shape."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise Refused("the report is not UTF-8 text (byte %d: %s)" % (error.start, error.reason)) from None
    try:
        document = json.loads(text)
    except RecursionError:
        raise Refused("the report is nested deeper than %d levels" % settings.max_depth) from None
    except ValueError as error:
        raise Refused("the report is not JSON: %s" % error) from None
    if not isinstance(document, dict) or not isinstance(document.get("report"), dict):
        raise Refused("not a stored report: no 'report' mapping at the top")
    version = document.get("version")
    if version != FORMAT_VERSION:
        raise Refused("format version %r is not supported (this server knows %s)" % (version, FORMAT_VERSION))
    return document


def parse_report(data, settings):
    """The stored-report document in `data` (bytes, maybe gzip) as plain data, and the unpacked bytes."""
    data = unpack(data, settings)
    return parse_text(data, settings), data


def safe_json(value):
    # ASCII only: lone surrogates and NUL travel as escapes, which every database takes. Markup
    # characters too (they occur only inside strings): no stored text reads as HTML anywhere.
    return _unmarked(json.dumps(value, separators=(",", ":")))


def _unmarked(text):
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


# The order of a node row's values (after the job's key, which the storage puts first).
NODE_COLUMNS = ("path", "parent", "position", "depth", "type", "result", "start", "stop", "runtime", "data",
                "children")


def flatten(report, max_nodes, max_depth, time_text=False):
    """Rows for `nodes` (tuples in NODE_COLUMNS order), the run set first, then depth first in stored order.

    A node's children are stored as their ids. Every node has its row, siblings with
    the same id too (a test case run twice): the first of them (tasks before sections)
    stands in its path by its id, a later one, or one whose id is an object, as
    {"id": ID, "position": N}, N its place among its siblings. Also checks what the JSON parser let
    through: the shape of every node, and how deep the values nest (the document's
    own levels included). Made natively in one pass over the parsed report, whose
    child lists become id lists in place. Times are datetimes, or with `time_text`
    the text SQLite keeps of them (isoformat(" ", "microseconds")).
    """
    return _intake.flatten(report, max_nodes, max_depth, Refused, time_text)


# What JSON cannot hold, served as these texts (the API's answers are JSON that any parser reads).
NOT_FINITE = {"NaN": "NaN", "Infinity": "Infinity", "-Infinity": "-Infinity"}
DATA = NODE_COLUMNS.index("data")


def finite_numbers(nodes):
    """Rewrites in place the rows whose data holds NaN or an infinity, each as the text naming it."""
    for index, row in enumerate(nodes):
        data = row[DATA]
        if "NaN" not in data and "Infinity" not in data:
            continue
        found = []
        value = json.loads(data, parse_constant=lambda word: found.append(word) or NOT_FINITE[word])
        if found:
            nodes[index] = row[:DATA] + (safe_json(value),) + row[DATA + 1:]


def check_paths(nodes, settings):
    """Refuses a report with an id, or an id path, longer than the settings allow (as JSON text)."""
    max_id, max_path = settings.max_id_length, settings.max_path_length
    for path, parent, _position, depth, *_ in nodes:
        if len(path) <= max_id + 2 and len(path) <= max_path:
            continue  # no room for either (the common case: one comparison)
        # The node's own step: its path past its parent's (and the comma after it, below the top).
        step = len(path) - len(parent) - (1 if depth > 1 else 0)
        if step > max_id:
            raise Refused("the id at %s... is longer than %d characters (max_id_length)"
                          % (path[:60], max_id), status=413)
        if len(path) > max_path:
            raise Refused("the id path %s... is longer than %d characters (max_path_length)"
                          % (path[:60], max_path), status=413)


def job_fields(report, name=None):
    """The job's row of a parsed report: its name (`name`, else the run set's id), result (its own, else the
    worst its test cases had, as every tool shows it), health, times and counts. Made natively, by the rules of
    the node rows' columns (reference/intake.py holds them in plain Python, for the tests)."""
    return _intake.job_fields(report, name)


def check_log_name(name):
    if (not name or len(name) > 255 or "/" in name or "\\" in name or name in (".", "..")
            or any(ord(c) < 32 or c == "\x7f" for c in name)):
        raise Refused("%r is not a log file name" % name)
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        raise Refused("%r is not a log file name" % name) from None


class CollectorPause:
    """Keeps the cyclic garbage collector off while any upload is parsed or its rows inserted.

    Parsing a report makes hundreds of thousands of containers and no cycles; the
    collector would walk them all again and again (four times the parse itself).
    """
    lock = threading.Lock()
    users = 0
    paused = False

    def __enter__(self):
        with self.lock:
            cls = type(self)
            if cls.users == 0 and gc.isenabled():
                gc.disable()
                cls.paused = True
            cls.users += 1

    def __exit__(self, *exc):
        with self.lock:
            cls = type(self)
            cls.users -= 1
            if cls.users == 0 and cls.paused:
                cls.paused = False
                gc.enable()


def read_snapshot(report_bytes, logs, settings, name=None, time_text=False):
    """Checks and parses one upload: the report (bytes, maybe gzip) and logs {name: bytes}.

    `time_text`: the nodes' times as the text SQLite keeps (``Storage.time_text``)."""
    if len(logs) > settings.max_log_files:
        raise Refused("more than %d log files" % settings.max_log_files, status=413)
    with CollectorPause():
        text = unpack(report_bytes, settings)
        # Text in the form dump_json writes gives its rows and the job's fields straight; any other goes
        # through json.loads and flatten, which refuse what is wrong with it.
        found = _intake.rows_from_text(text, settings.max_nodes, settings.max_depth, time_text, name)
        if found is not None:
            nodes, job = found
        else:
            report = parse_text(text, settings)["report"]
            job = job_fields(report, name)
            nodes = flatten(report, settings.max_nodes, settings.max_depth, time_text)
        finite_numbers(nodes)
        check_paths(nodes, settings)
    digest = hashlib.sha256()
    digest.update(b"report\0%d\0" % len(text))
    digest.update(text)
    for log_name in sorted(logs):
        check_log_name(log_name)
        data = logs[log_name]
        digest.update(b"log\0%s\0%d\0" % (log_name.encode("utf-8"), len(data)))
        digest.update(data)
    if name is not None:
        digest.update(b"name\0" + name.encode("utf-8", "replace"))
    return Snapshot(job, nodes, sorted(logs.items()), digest.hexdigest(), time_text)


_intake.capture_road(sys.modules[__name__])
