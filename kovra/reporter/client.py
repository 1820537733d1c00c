"""The reporter server's client, ``kovra.reporter.client``, on the standard library alone (http.client): it runs
on the framework's 3.10.

``ServerClient(url, job, token=None, timeout=30.0, group=None)`` talks to the server at `url`
(``http://HOST:PORT``) about the job whose key is `job`:

- ``get_runset()`` and ``get_section(id_list=[...])``: one request each, the node
  as the file-backed ``ReporterClient`` gives it;
- ``send_task(run_set, task, state="running")``: the job's own fields and one
  task's subtree, which the server puts in place of that task alone;
- ``send(source, state="finished")``: a run set (its ``dump_json()`` and its tasks'
  log files) or a stored report folder (results.json, else results.yaml, and the
  log files the report names), in one request; a JUnit XML file's path sends that
  file (``send_junit``), which the server turns into a job of this model;
- ``job_info()``, ``log(name, start, stop)``, ``list_jobs(...)``, ``delete()``.

One connection is kept and reused. Every socket operation is bounded by `timeout`,
a whole call (its answer read to the end) by `deadline` seconds, and an answer's
size by `max_answer_bytes`. Only a 2xx answer is the server's: a redirect is not
followed, and any other status is an error naming it.
Failures raise ``ServerError`` (``NotFound`` for what the server does not hold,
``ServerUnavailable`` for a server or database out of reach), whose message names
the server and the job.
"""
import gzip
import http.client
import ipaddress
import json
import os
import socket
import threading
import time
import urllib.parse
import uuid

from kovra.reporter.format import FORMAT_VERSION, with_child_steps

REPORT_NAMES = ("results.json", "results.yaml")
# Far above any real report's answer (the largest known is under 100 MB), yet bounded.
MAX_ANSWER_BYTES = 2 * 1024 * 1024 * 1024
DEADLINE = 3600.0
READ_SIZE = 1024 * 1024


class ServerError(Exception):
    """A request the reporter server did not answer as asked; `status` is the HTTP status, or None."""

    def __init__(self, message, status=None):
        super().__init__(message)
        self.status = status

    def __str__(self):
        return self.args[0] if self.args else ""


class NotFound(ServerError, KeyError):
    """No such job or node on the server (a KeyError, as the file-backed client raises)."""


class ServerUnavailable(ServerError):
    """The server, or its database, could not be reached in time."""


class Refused(ServerError):
    """The server would not take what was sent (bad input, no token, too large)."""


def split_job_url(text):
    """``http://HOST:PORT/jobs/JOB`` (or ``.../api/jobs/JOB``) -> (server URL, job key); None if not one."""
    parsed = urllib.parse.urlsplit(text)
    if parsed.scheme not in ("http", "https") or not parsed.netloc:
        return None
    path = parsed.path
    for marker in ("/api/jobs/", "/jobs/"):
        at = path.rfind(marker)
        if at >= 0:
            job = urllib.parse.unquote(path[at + len(marker):].rstrip("/"))
            if job and "/" not in job:
                return urllib.parse.urlunsplit((parsed.scheme, parsed.netloc, path[:at], "", "")), job
    return None


class ServerClient:
    def __init__(self, url, job, token=None, timeout=30.0, group=None, max_answer_bytes=MAX_ANSWER_BYTES,
                 deadline=DEADLINE):
        parsed = urllib.parse.urlsplit(url)
        if parsed.scheme not in ("http", "https") or not parsed.hostname:
            raise ValueError("%r is not a server URL (http://HOST:PORT)" % (url,))
        self.url = url.rstrip("/")
        self.job = job
        self.token = token
        self.timeout = timeout
        # Shards of one run name the same group; each send puts the job in it.
        self.group = group
        self.max_answer_bytes = max_answer_bytes
        self.deadline = deadline
        self._scheme = parsed.scheme
        self._host = parsed.hostname
        self._port = parsed.port
        self._prefix = parsed.path.rstrip("/")
        # Over loopback packing costs more time than the bytes it saves.
        self._compress = not _loopback(parsed.hostname)
        self._connection = None
        self._lock = threading.Lock()

    def __repr__(self):
        return "ServerClient(%r, %r)" % (self.url, self.job)

    # --- the explorer's two calls --------------------------------------------------------------------------------

    # A node's children come as the steps of their id paths (format.with_child_steps): the same ids,
    # but siblings that share an id are each reached by their position.
    def get_runset(self):
        return with_child_steps(self._json("GET", self._job_path("/runset")))

    def get_section(self, *, id_list):
        ids = list(id_list)
        if ids and all(isinstance(i, str) and _utf8(i) for i in ids):
            query = urllib.parse.urlencode([("id", i) for i in ids])
        else:
            # Ids that are not text, or not valid UTF-8 (a lone surrogate read from a JSON escape),
            # travel as a JSON list, whose escapes are plain ASCII.
            query = urllib.parse.urlencode({"path": json.dumps(ids)})
        return with_child_steps(self._json("GET", self._job_path("/section?" + query)))

    # --- more of the server --------------------------------------------------------------------------------------

    def job_info(self):
        return self._json("GET", self._job_path(""))

    def get_report(self):
        """The job's whole stored document as JSON bytes ({"version": ..., "report": ...})."""
        return self._request("GET", self._job_path("/report"))[1]

    def log_names(self):
        """{name: size} of the job's stored logs."""
        return self._json("GET", self._job_path("/logs"))["logs"]

    def log(self, name, start=0, stop=None):
        """Bytes [start, stop) of a stored task log."""
        query = {"start": start}
        if stop is not None:
            query["stop"] = stop
        path = self._job_path("/logs/%s?%s" % (urllib.parse.quote(name, safe=""), urllib.parse.urlencode(query)))
        return self._request("GET", path)[1]

    def check(self):
        """The job's verdict: {"failing": [...], "muted": [...], "passed": bool}; `passed` is false
        while any failure with no failing node beneath it is not muted."""
        return self._json("GET", self._job_path("/check"))

    def failures(self, owner=None):
        """The job's leaf failures grouped by signature: {"job", "groups": [...]}."""
        return self._json("GET", self._job_path("/failures" + ("?" + urllib.parse.urlencode({"owner": owner})
                                                               if owner else "")))

    def history(self, name, node, n=10):
        """A node's state and results over the newest `n` jobs of `name`; `node` is its id list or dotted ids."""
        node = json.dumps(list(node)) if isinstance(node, (list, tuple)) else node
        return self._json("GET", "/api/history?" + urllib.parse.urlencode({"name": name, "node": node, "n": n}))

    def rules(self, kind):
        """The records of `kind` ("known-issues" or "mutes")."""
        return self._json("GET", "/api/%s" % kind)

    def make_rule(self, kind, fields):
        """A new record of `kind`, as the server stored it (with its id)."""
        return self._json("POST", "/api/%s" % kind, json.dumps(fields).encode(), {"Content-Type": "application/json"})

    def change_rule(self, kind, rule_id, fields):
        return self._json("PUT", "/api/%s/%d" % (kind, rule_id), json.dumps(fields).encode(),
                          {"Content-Type": "application/json"})

    def delete_rule(self, kind, rule_id):
        return self._json("DELETE", "/api/%s/%d" % (kind, rule_id))

    def owners(self, name, text=None):
        """A job name's owners text; with `text`, sets it first."""
        path = "/api/owners?" + urllib.parse.urlencode({"name": name})
        if text is None:
            return self._json("GET", path)
        return self._json("PUT", path, text.encode("utf-8"), {"Content-Type": "text/plain; charset=utf-8"})

    def list_jobs(self, page=1, per_page=50, **filters):
        query = {key: value for key, value in filters.items() if value not in (None, "")}
        query.update(page=page, per_page=per_page)
        found = self._json("GET", "/api/jobs?" + urllib.parse.urlencode(query))
        if not (isinstance(found, dict) and isinstance(found.get("jobs"), list)
                and all(isinstance(found.get(key), int) for key in ("total", "page", "per_page"))):
            raise ServerError("%s: the answer to GET /api/jobs is not a job list" % self._where(), 200)
        return found

    def pin(self, pinned=True):
        """Pins the job (kept whatever the retention), or unpins it; returns its row."""
        return self._json("PUT", self._job_path("/pin?pinned=" + ("true" if pinned else "false")), b"")

    def retention(self):
        """The server's retention: {"keep_last": N or None, "keep_days": D or None}."""
        return self._json("GET", "/api/retention")

    def set_retention(self, keep_last=None, keep_days=None):
        query = {key: value for key, value in (("keep_last", keep_last), ("keep_days", keep_days))
                 if value is not None}
        return self._json("PUT", "/api/retention?" + urllib.parse.urlencode(query), b"")

    def prune(self, dry_run=False):
        """Deletes the jobs the retention lets go (lists them only, with `dry_run`); returns their keys."""
        return self._json("POST", "/api/prune?dry_run=" + ("true" if dry_run else "false"), b"")["jobs"]

    def delete(self):
        """Deletes the job on the server (its nodes and logs with it)."""
        return self._json("DELETE", self._job_path(""))

    def send(self, source, state="finished", name=None, logs=None, log_dir=None, replace=False):
        """Sends `source` as the job's new snapshot; returns the server's row for the job.

        `source` is a run set (anything with ``dump_json()``) or a stored report folder.
        A run set's logs are found through its sections' log paths, else in `log_dir`;
        `logs` ({name: path or bytes}) replaces the log files found on their own.
        A finished job, or the job's name, is replaced only with `replace` (else the server refuses
        with 409); the same snapshot again is always taken.
        """
        if isinstance(source, (str, os.PathLike)) and os.path.isfile(source):
            return self.send_junit(source, state=state, name=name, replace=replace)
        if isinstance(source, (str, os.PathLike)):
            report, found = _folder_upload(os.fspath(source))
        else:
            report = source.dump_json().encode("utf-8")
            found = _runset_logs(source, log_dir) if logs is None else None
        if logs is not None:
            found = logs
        return self._put("", report, found, state, name, replace)

    def _put(self, rest, report, found, state, name, replace=False):
        if self._compress:
            parts = [("report", "results.json.gz", gzip.compress(report, compresslevel=1))]
        else:
            parts = [("report", "results.json", report)]
        for log_name in sorted(found):
            data = found[log_name]
            if not isinstance(data, (bytes, bytearray)):
                with open(data, "rb") as stream:
                    data = stream.read()
            parts.append(("log", log_name, bytes(data)))
        query = self._send_query(state, name, replace)
        if len(parts) == 1:
            # The report alone is the body: nothing to wrap, nothing for the server to split.
            body, kind = parts[0][2], "application/gzip" if self._compress else "application/json"
        else:
            boundary = uuid.uuid4().hex
            body, kind = _multipart(boundary, parts), "multipart/form-data; boundary=" + boundary
        row = self._json("PUT", self._job_path(rest + "?" + urllib.parse.urlencode(query)), body,
                         {"Content-Type": kind})
        return self._stored_row(row, "PUT")

    def _stored_row(self, row, method):
        if not isinstance(row, dict) or not all(key in row for key in ("id", "snapshot", "state", "nodes")):
            raise ServerError("%s: the answer to %s is not the job's row: the upload is not known to be stored"
                              % (self._where(), method), 200)
        return row

    def send_task(self, run_set, task, state="running", name=None, logs=None, log_dir=None, replace=False):
        """Sends the job's own fields and `task`'s whole subtree; the server replaces that task alone
        (in its place among the job's tasks) and bumps the snapshot. Returns the server's row.

        Costs one task's dump rather than the whole job's: send each task as it stops.
        `logs` ({name: path or bytes}) replaces the task's log found through its log paths."""
        fields = run_set.to_dict()
        own = {key: value for key, value in fields.items()
               if key not in ("tasks", "seq_num") and value is not None
               and not (key in ("details", "extra") and not value)}
        from kovra.reporter import runset as _runset
        head = json.dumps(own, cls=_runset.JSONDumper)
        dumped = task.dump_json()
        prefix = '{"version": %s, "report": ' % json.dumps(FORMAT_VERSION)
        if not dumped.startswith(prefix):
            raise ValueError("the task's dump is not in the stored report's form")
        report = ('%s%s, "tasks": [%s]}}' % (prefix, head[:-1], dumped[len(prefix):-1])).encode("utf-8")
        found = _runset_logs(None, log_dir, nodes=[task]) if logs is None else logs
        return self._put("/task", report, found, state, name, replace)

    def send_junit(self, path, state="finished", name=None, replace=False):
        """Sends a JUnit XML file (any runner's) as the job's new snapshot; returns the server's row."""
        with open(path, "rb") as stream:
            data = stream.read()
        if not data[:64].lstrip(b"\xef\xbb\xbf \t\r\n").startswith(b"<"):
            raise ValueError("%s is neither a report folder nor an XML file" % (os.fspath(path),))
        query = self._send_query(state, name, replace)
        headers = {"Content-Type": "application/xml"}
        if self._compress:
            data = gzip.compress(data, compresslevel=1)
        return self._stored_row(self._json("PUT", self._job_path("?" + urllib.parse.urlencode(query)), data,
                                           headers), "PUT")

    def _send_query(self, state, name, replace=False):
        query = {"state": state}
        if name:
            query["name"] = name
        if replace:
            query["replace"] = "true"
        if self.group:
            query["group"] = self.group
        return query

    def get_group(self, group):
        """The group's jobs, summed counts, verdict and failures (GET /api/groups/GROUP)."""
        return self._json("GET", "/api/groups/%s" % urllib.parse.quote(str(group), safe=""))

    def close(self):
        with self._lock:
            if self._connection is not None:
                self._connection.close()
                self._connection = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # --- transport -----------------------------------------------------------------------------------------------

    def _job_path(self, rest):
        if self.job is None:
            raise ValueError("this client was made without a job")
        return "/api/jobs/%s%s" % (urllib.parse.quote(str(self.job), safe=""), rest)

    def _where(self):
        return "reporter server %s, job %r" % (self.url, self.job) if self.job is not None \
            else "reporter server %s" % self.url

    def _json(self, method, path, body=None, headers=None):
        status, data = self._request(method, path, body, headers)
        try:
            return json.loads(data)
        except ValueError:
            raise ServerError("%s: the answer to %s %s is not JSON" % (self._where(), method, path), status) from None

    def _connect(self):
        kind = http.client.HTTPSConnection if self._scheme == "https" else http.client.HTTPConnection
        return kind(self._host, self._port, timeout=self.timeout)

    def _request(self, method, path, body=None, headers=None):
        headers = dict(headers or {})
        headers.setdefault("Accept", "application/json")
        if self.token:
            headers["Authorization"] = "Bearer " + self.token
        target = self._prefix + path
        ends = time.monotonic() + self.deadline
        with self._lock:
            for attempt in (0, 1):
                reused = self._connection is not None
                if not reused:
                    self._connection = self._connect()
                try:
                    self._connection.timeout = self._time_left(ends, method, path)
                    if self._connection.sock is not None:
                        self._connection.sock.settimeout(self._connection.timeout)
                    self._connection.request(method, target, body=body, headers=headers)
                    sock = self._connection.sock
                    sock.settimeout(self._time_left(ends, method, path))
                    response = self._connection.getresponse()
                    data = self._read(response, sock, ends, method, path)
                except ServerError:
                    self._drop()
                    raise
                except (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError,
                        http.client.BadStatusLine) as error:
                    self._drop()
                    # A kept connection the server has since closed: once more on a new one.
                    if reused and attempt == 0:
                        continue
                    raise ServerUnavailable("%s: the connection broke during %s %s: %s"
                                            % (self._where(), method, path, error)) from None
                except socket.timeout:
                    self._drop()
                    if time.monotonic() >= ends - 0.01:
                        raise ServerUnavailable("%s: %s %s took longer than its deadline of %gs (deadline)"
                                                % (self._where(), method, path.split("?")[0], self.deadline)) from None
                    raise ServerUnavailable("%s: no answer within %gs to %s %s"
                                            % (self._where(), self.timeout, method, path)) from None
                except OSError as error:
                    self._drop()
                    raise ServerUnavailable("%s: cannot reach the server: %s"
                                            % (self._where(), error.strerror or error)) from None
                if response.will_close:
                    self._drop()
                break
        if not 200 <= response.status < 300:
            if 300 <= response.status < 400:
                raise ServerError("%s: %s %s: %d redirected to %s; the client follows no redirect"
                                  % (self._where(), method, path.split("?")[0], response.status,
                                     _printable(response.getheader("Location") or "nowhere")), response.status)
            raise _failure(self._where(), method, path, response.status, data)
        return response.status, data

    def _time_left(self, ends, method, path):
        left = ends - time.monotonic()
        if left <= 0:
            raise ServerUnavailable("%s: %s %s took longer than its deadline of %gs (deadline)"
                                    % (self._where(), method, path.split("?")[0], self.deadline))
        return min(self.timeout, left) if self.timeout is not None else left

    def _read(self, response, sock, ends, method, path):
        """The answer's body, within max_answer_bytes and the call's deadline."""
        limit = self.max_answer_bytes
        too_large = "%s: the answer to %s %s is larger than %d bytes (max_answer_bytes)" % (
            self._where(), method, path.split("?")[0], limit)
        declared = response.getheader("Content-Length")
        if declared is not None and declared.strip().isdigit() and int(declared) > limit:
            raise ServerError(too_large, response.status)
        chunks = []
        size = 0
        while True:
            sock.settimeout(self._time_left(ends, method, path))
            chunk = response.read1(READ_SIZE) if hasattr(response, "read1") else response.read(READ_SIZE)
            if not chunk:
                # read() ends the response (read1 leaves one with its length read open).
                chunks.append(response.read())
                return b"".join(chunks)
            size += len(chunk)
            if size > limit:
                raise ServerError(too_large, response.status)
            chunks.append(chunk)

    def _drop(self):
        if self._connection is not None:
            self._connection.close()
            self._connection = None


def _failure(where, method, path, status, data):
    try:
        reason = json.loads(data)["error"]
    except (ValueError, KeyError, TypeError):
        reason = data[:200].decode("utf-8", "replace") or http.client.responses.get(status, "")
    message = "%s: %s %s: %d %s" % (where, method, path.split("?")[0], status, " ".join(str(reason).split()))
    if status == 404:
        return NotFound(message, status)
    if status in (502, 503, 504):
        return ServerUnavailable(message, status)
    if 400 <= status < 500:
        return Refused(message, status)
    return ServerError(message, status)


def _printable(text):
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c) if ord(c) < 256 else "\\u%04x" % ord(c)
                   for c in str(text)[:200])


def _loopback(host):
    if host.lower() in ("localhost", "localhost."):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _multipart(boundary, parts):
    chunks = []
    for field, filename, data in parts:
        quoted = urllib.parse.quote(filename, safe="")
        chunks.append(("--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename*=UTF-8''%s\r\n"
                       "Content-Type: application/octet-stream\r\n\r\n" % (boundary, field, quoted)).encode("ascii"))
        chunks.append(data)
        chunks.append(b"\r\n")
    chunks.append(("--%s--\r\n" % boundary).encode("ascii"))
    return b"".join(chunks)


def _runset_logs(runset, log_dir=None, nodes=None):
    """{base name: path} of the run set's log files that exist.

    A stopped task keeps only its log's base name; its sections keep the full path,
    and `log_dir` is looked in for the rest.
    """
    found = {}
    wanted = set()
    looked = set()  # a task's sections share its log: each path is looked for once
    stack = list(nodes if nodes is not None else getattr(runset, "tasks", None) or ())
    while stack:
        node = stack.pop()
        path = getattr(node, "logfile", None)
        if isinstance(path, str) and path and path not in looked:
            looked.add(path)
            wanted.add(os.path.basename(path))
            if os.path.isabs(path) and os.path.isfile(path):
                found.setdefault(os.path.basename(path), path)
        stack.extend(getattr(node, "sections", None) or ())
    for name in wanted - set(found):
        if log_dir and os.path.basename(name) == name and os.path.isfile(os.path.join(log_dir, name)):
            found[name] = os.path.join(log_dir, name)
    return found


def _log_names(report):
    """The log file names a stored report refers to (tasks' logfile, sections' logs.file)."""
    names = set()
    stack = [report]
    while stack:
        node = stack.pop()
        if not isinstance(node, dict):
            continue
        if isinstance(node.get("logfile"), str):
            names.add(node["logfile"])
        logs = node.get("logs")
        if isinstance(logs, dict) and isinstance(logs.get("file"), str):
            names.add(logs["file"])
        for key in ("tasks", "sections"):
            if isinstance(node.get(key), list):
                stack.extend(node[key])
    return names


def _folder_upload(folder):
    """(report JSON bytes, {name: path}) of a stored report folder."""
    for report_name in REPORT_NAMES:
        path = os.path.join(folder, report_name)
        if os.path.isfile(path):
            break
    else:
        raise FileNotFoundError(2, "no results.json or results.yaml in the folder", folder)
    if report_name == "results.json":
        with open(path, "rb") as stream:
            report = stream.read()
        document = json.loads(report)
    else:
        # The server takes the JSON form: the YAML one, read once, gives both the run set to dump and the log names.
        from kovra.reporter import store
        document, job = store.read_with_nodes(path, progress=None)
        report = job.dump_json().encode("utf-8")
    logs = {}
    for log_name in _log_names(document.get("report") if isinstance(document, dict) else None):
        # Only plain names in this folder: a report cannot point the upload elsewhere.
        if os.path.basename(log_name) != log_name or log_name in (".", ".."):
            continue
        candidate = os.path.join(folder, log_name)
        if os.path.isfile(candidate):
            logs[log_name] = candidate
    return report, logs


def _utf8(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True
