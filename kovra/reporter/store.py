"""Stored reports read back: ``results.json`` or ``results.yaml`` as plain data or as report nodes.

``read_document(path)`` gives the stored header {"version": ..., "report": ...}
as plain dicts and lists, with every node's ``starttime`` and ``stoptime`` as
datetimes whichever form the file has. ``load(path)`` rebuilds the report
itself: ``RunSet``, ``Task``, ``Plugin`` and ``Section`` nodes with their
stored attributes, results as ``TestResult`` and counters as
``ResultCounter``, so that ``Ledgrin`` and both dumps take it like the run set
of a live job; dumping what ``load`` gave reproduces the file it read.
"""
import datetime
import json
import os
import stat
import sys
import time

from kovra.reporter import yaml_load
from kovra.reporter.format import CHILD_KEYS, COUNTER_KEYS, DERIVED_KEYS, FORMAT_VERSION, RESULT_KEYS, TIME_KEYS

# The most a stored report may hold, in MiB; the environment variable raises it.
SIZE_VARIABLE = "KOVRA_MAX_REPORT_MB"
DEFAULT_SIZE_MB = 1024
STORED_FORMS = "a stored report is the results.json or results.yaml that a job's dump_json or dump_yaml writes"


class Fetched(str):
    """A stored report already in memory (fetched from a server), named by where it came from.

    It is that name (its URL) wherever a command shows a file's name; ``data`` holds the
    report's bytes (the server's JSON form) and ``logs`` {name: bytes} the log files it
    refers to, when they were fetched too.
    """

    def __new__(cls, name, data, logs=None):
        made = super().__new__(cls, name)
        made.data = data
        made.logs = logs
        return made


class StoredReportError(Exception):
    """A stored report that cannot be read; the message is one line naming the file and the cause.

    ``StoredReportError(path, cause)`` joins the two; a single argument is the whole message.
    """

    def __init__(self, message, cause=None):
        if cause is not None:
            message = "%s: %s" % (message, cause)
        super().__init__(" ".join(str(message).split()))


class Progress:
    """A progress bar on standard error when that is a terminal, shown once the work has taken longer than
    `delay` seconds; in a log it would only be noise."""

    WIDTH = 30

    def __init__(self, label, delay=1.0, stream=None):
        self.label = label
        self.delay = delay
        self.stream = stream if stream is not None else sys.stderr
        self.started = time.monotonic()
        self.drawn_at = 0.0
        self.step = None
        self.shown = False
        isatty = getattr(self.stream, "isatty", None)
        self.live = bool(isatty and isatty())

    def update(self, phase, done, total):
        if self.delay is None or not self.live:
            return
        now = time.monotonic()
        if now - self.started < self.delay:
            return
        share = min(1.0, done / total) if total else 1.0
        step = (phase, int(share * 100))
        if step == self.step or (now - self.drawn_at < 0.1 and done < total):
            return
        self.step = step
        self.drawn_at = now
        filled = int(share * self.WIDTH)
        self.stream.write("\r%s: %-8s [%s%s] %3d%%" % (self.label, phase, "#" * filled, "." * (self.WIDTH - filled),
                                                     int(share * 100)))
        self.stream.flush()
        self.shown = True

    def finish(self):
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()
            self.shown = False


def size_limit():
    """The size limit in MiB: KOVRA_MAX_REPORT_MB when it is set to a positive number."""
    try:
        megabytes = float(os.environ.get(SIZE_VARIABLE) or DEFAULT_SIZE_MB)
    except ValueError:
        megabytes = DEFAULT_SIZE_MB
    return megabytes if 0 < megabytes < float("inf") else DEFAULT_SIZE_MB


def _too_large(path, megabytes):
    return StoredReportError(path, "larger than the %g MiB a stored report may hold here (set %s to raise the limit)"
                             % (megabytes, SIZE_VARIABLE))


def _open_report(path, limit, megabytes):
    """The file at `path` opened for reading, and its size: a regular file within the size limit only.

    Opened without blocking, so that a FIFO is refused instead of waiting for a writer for ever.
    """
    try:
        handle = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    except OSError as error:
        raise StoredReportError(path, error.strerror or error) from None
    try:
        info = os.fstat(handle)
        if not stat.S_ISREG(info.st_mode):
            kind = ("a folder" if stat.S_ISDIR(info.st_mode) else "a FIFO" if stat.S_ISFIFO(info.st_mode)
                    else "a device" if stat.S_ISCHR(info.st_mode) or stat.S_ISBLK(info.st_mode)
                    else "a socket" if stat.S_ISSOCK(info.st_mode) else "a special file")
            raise StoredReportError(path, "not a regular file (%s); %s" % (kind, STORED_FORMS))
        if info.st_size > limit:
            raise _too_large(path, megabytes)
        if hasattr(os, "O_NONBLOCK"):
            os.set_blocking(handle, True)
        return os.fdopen(handle, "rb"), info.st_size
    except BaseException:
        os.close(handle)
        raise


def _not_a_report_head(path, head):
    """Refuses, by its first bytes, a file that is plainly something else than a stored report."""
    text = head.lstrip(b"\xef\xbb\xbf \t\r\n")
    if text.startswith(b"<"):
        raise StoredReportError(path, "not a stored report but XML (ResultsDetails.xml, ResultsSummary.xml and "
                                      "JUnit files are written from a report, not read); " + STORED_FORMS)


def _form_of(path, head):
    if isinstance(path, Fetched):
        return "json"
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".json":
        return "json"
    if suffix in (".yaml", ".yml"):
        return "yaml"
    # Any other name: JSON documents open with a brace, the stored YAML with a key.
    return "json" if head.lstrip()[:1] == b"{" else "yaml"


def _parse(path, progress):
    megabytes = size_limit()
    limit = int(megabytes * 1024 * 1024)
    if isinstance(path, Fetched):
        if len(path.data) > limit:
            raise _too_large(path, megabytes)
        raw, size = path.data, len(path.data)
    else:
        stream, size = _open_report(path, limit, megabytes)
        with stream:
            raw = stream.read(limit + 1)
        # Past the limit: the file grew, or is not what its size said.
        if len(raw) > limit:
            raise _too_large(path, megabytes)
    head = raw[:64]
    _not_a_report_head(path, head)
    form = _form_of(path, head)
    try:
        progress.update("parsing", len(raw), size)
        if form == "json":
            return json.loads(raw.decode("utf-8")), form
        return yaml_load.load(raw, aliases=False), form
    except UnicodeDecodeError as error:
        raise StoredReportError(path, "not UTF-8 text (%s)" % error.reason) from None
    except json.JSONDecodeError as error:
        raise StoredReportError(path, "not valid JSON: %s" % error) from None
    except yaml_load.ReadError as error:
        raise StoredReportError(path, _yaml_problem(path, error)) from None
    except RecursionError:
        raise StoredReportError(path, "nested too deeply to read") from None


def _yaml_problem(path, error):
    where = "at line %d column %d" % (error.line, error.column)
    if error.reason == "depth":
        return "nested too deeply to read (%s)" % where
    if error.reason == "alias":
        # The dumps never write anchors or aliases; expanding them could make any size.
        return "holds a YAML alias %s: stored reports never do" % where
    if error.reason == "nodes":
        return "too large to read: more than %d nodes" % yaml_load.MAX_NODES
    if os.path.splitext(path)[1].lower() not in (".yaml", ".yml"):
        return "not a stored report (neither JSON nor YAML %s: %s); %s" % (where, error.problem, STORED_FORMS)
    return "not valid YAML %s: %s" % (where, error.problem)


def _as_time(value):
    """A stored time as a datetime; text that does not read back to itself stays text."""
    if isinstance(value, str):
        try:
            parsed = datetime.datetime.fromisoformat(value)
        except ValueError:
            return value
        # Only the exact form the dumps write, so every interpreter reads the same thing.
        return parsed if str(parsed) == value else value
    return value


def _where(trail):
    return "report" + "".join(trail)


def _check_node(path, node, trail, times):
    """Checks the shape of one stored node and its children, turning stored times into datetimes."""
    nodes = 0
    seen = set()
    stack = [(node, trail)]
    while stack:
        node, trail = stack.pop()
        if not isinstance(node, dict):
            raise StoredReportError(path, "%s is not a report node (a %s)" % (_where(trail), type(node).__name__))
        # The dumps never share a node; YAML aliases could, up to a node holding itself.
        if id(node) in seen:
            raise StoredReportError(path, "%s appears twice in the tree (a YAML alias)" % _where(trail))
        seen.add(id(node))
        if "id" not in node:
            raise StoredReportError(path, "%s has no id" % _where(trail))
        nodes += 1
        if times:
            for key in TIME_KEYS:
                if key in node:
                    node[key] = _as_time(node[key])
        for key in CHILD_KEYS:
            children = node.get(key)
            if children is None:
                continue
            if not isinstance(children, list):
                raise StoredReportError(path, "%s.%s is not a list" % (_where(trail), key))
            for index in range(len(children) - 1, -1, -1):
                stack.append((children[index], trail + [".%s[%d]" % (key, index)]))
    return nodes


def _read(path, progress):
    document, form = _parse(path, progress)
    if not isinstance(document, dict) or "report" not in document:
        raise StoredReportError(path, "not a stored report (no 'version' and 'report' at the top); " + STORED_FORMS)
    version = document.get("version")
    if str(version) != FORMAT_VERSION or not isinstance(version, str):
        raise StoredReportError(path, "format version %r is not supported (this reader knows %s)"
                                % (version, FORMAT_VERSION))
    nodes = _check_node(path, document["report"], [], times=(form == "json"))
    return document, nodes


def read_document(path, progress=1.0):
    """The stored report at `path` as plain data: {"version": "3.2", "report": {...}}.

    `progress` is the delay in seconds after which a progress bar appears on
    standard error (None: never). Raises StoredReportError for a file that is
    missing, unreadable, malformed, not a report, or of another format version.
    """
    bar = Progress(os.path.basename(path), progress)
    try:
        return _read(path, bar)[0]
    finally:
        bar.finish()


def load(path, progress=1.0):
    """The stored report at `path` rebuilt as a report-model ``RunSet`` tree."""
    bar = Progress(os.path.basename(path), progress)
    try:
        document, total = _read(path, bar)
        return _Builder(path, bar, total).build(document["report"])
    finally:
        bar.finish()


def read_with_nodes(path, progress=1.0):
    """(document, run set): read_document's plain data and load's nodes, from one read of the file."""
    bar = Progress(os.path.basename(path), progress)
    try:
        document, total = _read(path, bar)
        # Making the nodes reads the document and changes nothing in it.
        return document, _Builder(path, bar, total).build(document["report"])
    finally:
        bar.finish()


class _Builder:
    def __init__(self, path, progress, total):
        # Imported here: plain documents must stay readable where the native modules are not built.
        from kovra.reporter import runset
        from kovra.results import ResultCounter, TestResult
        self.runset = runset
        self.ResultCounter = ResultCounter
        self.TestResult = TestResult
        self.path = path
        self.progress = progress
        self.total = total
        self.done = 0
        self.defaults = {}

    def build(self, stored):
        root = self.runset.RunSet(id=stored["id"], seq_num=0, type=stored.get("type"))
        pending = [(root, stored, [])]
        while pending:
            node, data, trail = pending.pop()
            self._fill(node, data, trail)
            # The children of each node are made in stored order; the stack only changes which subtree comes next.
            for key in CHILD_KEYS:
                made = []
                for index, child in enumerate(data.get(key) or ()):
                    made.append((self._add_child(node, key, child, index), child, trail + [".%s[%d]" % (key, index)]))
                pending.extend(reversed(made))
        self._restore_weight(root, stored.get("summary"))
        return root

    def _add_child(self, parent, key, data, index):
        kind = self._kind(parent, data)
        keywords = {"id": data["id"], "seq_num": index, "type": data.get("type")}
        if kind is self.runset.Task:
            return parent.add_task(**keywords)
        if kind is self.runset.Plugin:
            return parent.add_plugin(**keywords)
        return parent.add_section(**keywords)

    def _kind(self, parent, data):
        """The class a stored child was made from: by its type when that fits its keys, else by its keys."""
        rs = self.runset
        if isinstance(parent, rs.RunSet):
            candidates = (rs.Task, rs.Plugin)
        elif isinstance(parent, rs.Task):
            candidates = (rs.Section, rs.Plugin)
        else:
            # Plugins and sections hold sections only.
            return rs.Section
        named = [c for c in candidates if c.__name__ == data.get("type")]
        for cls in named + [c for c in candidates if c not in named]:
            if all(key in cls._ARG_ORDER for key in data):
                return cls
        return named[0] if named else candidates[0]

    def _defaults(self, cls):
        """The reportable attributes a new node of `cls` starts with that a dump would write."""
        found = self.defaults.get(cls)
        if found is None:
            ignore = self.runset.VALUE_IGNORE
            probe = cls(id="probe", seq_num=0)
            found = self.defaults[cls] = [key for key in cls._ARG_ORDER if key not in DERIVED_KEYS
                                          and getattr(probe, key, None) not in ignore]
        return found

    def _fill(self, node, data, trail):
        names = node._ARG_ORDER
        for key, value in data.items():
            if key in DERIVED_KEYS or key in CHILD_KEYS:
                continue
            if key not in names:
                # The dumps write nothing else; setting arbitrary names could reach the node's own machinery.
                raise StoredReportError(self.path, "%s: %r is not an attribute of a %s"
                                        % (_where(trail), key, type(node).__name__))
            setattr(node, key, self._value(key, value, trail))
        # What the dump left out was empty; defaults that are not must go, or dumping would add them.
        for key in self._defaults(type(node)):
            if key not in data:
                setattr(node, key, None)
        stored = data.get("fullid")
        if stored is not None and stored != node.fullid:
            # The dump writes fullid from the ids; one that does not follow from them cannot be written back.
            raise StoredReportError(self.path, "%s: the stored fullid %r does not follow from the ids above it "
                                    "(%r); the YAML form loses white space at the end of a multi-line id, "
                                    "the JSON form keeps it" % (_where(trail), stored, node.fullid))
        self.done += 1
        self.progress.update("building", self.done, self.total)

    def _value(self, key, value, trail):
        if key in TIME_KEYS:
            return _as_time(value)
        if key in RESULT_KEYS and isinstance(value, dict) and "value" in value:
            return self._result(value, trail + ["." + key])
        if key in COUNTER_KEYS and isinstance(value, dict):
            return self._counter(value, trail + ["." + key])
        return value

    def _result(self, stored, trail):
        try:
            result = self.TestResult.from_str(stored["value"])
        except (ValueError, TypeError) as error:
            raise StoredReportError(self.path, "%s: %s" % (_where(trail), error)) from None
        result.reason = stored.get("reason")
        result.data = stored.get("data")
        return result

    def _counter(self, stored, trail):
        counter = self.ResultCounter()
        for name, count in stored.items():
            if name in ("total", "success_rate"):
                continue
            if not isinstance(name, str) or not isinstance(count, int) or isinstance(count, bool):
                raise StoredReportError(self.path, "%s: count %r: %r is not a whole number"
                                        % (_where(trail), name, count))
            counter[name] = count
        return counter

    def _restore_weight(self, root, stored):
        """Gives the run set's summary back the weight (share of tasks run) its stored success rate holds."""
        counter = getattr(root, "summary", None)
        if not isinstance(counter, self.ResultCounter):
            return
        rate = stored.get("success_rate") if isinstance(stored, dict) else None
        if not isinstance(rate, (int, float)) or counter.success_rate == rate:
            return
        planned = getattr(root, "totaltasks", 0)
        if isinstance(planned, int) and planned > 0:
            ran = sum(1 for t in root.tasks if t.starttime and not isinstance(t, self.runset.Plugin))
            counter.weight = ran / planned
            if counter.success_rate == rate:
                return
        # Any other weight: solve for it from the stored rate.
        counter.weight = 1.0
        unweighted = counter.success_rate
        if unweighted:
            counter.weight = rate / unweighted
