"""One self-contained HTML page for a stored report.

The page carries the report as a JSON block and builds its view in the
browser, node by node as the reader opens the tree, so a job of tens of
thousands of sections opens at once. Report text comes from tests and devices
and is untrusted: the script only ever puts it into the page as text, the JSON
block is escaped so that nothing in it can end the block, and a
Content-Security-Policy lets only the page's own script and style run.

    render(document, source_dir=None, logs=None) -> str
    write(document, out_path, source_dir=None)

`document` is the stored report as a JSON or YAML reader gives it:
{"version": ..., "report": {...}}. With `source_dir`, the folder the report
was read from, the stretches of the log files found there are embedded; with
`logs` ({name: bytes}, a report fetched from a server), those of its logs.
"""
import base64
import bisect
import hashlib
import html
import io
import json
import math
import os
import re
import tempfile

from kovra.reporter.format import PROBLEM_RESULTS

ASSET_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "html_assets")

# A node's log stretch up to this size is shown whole; a longer one as its
# head and its tail, where a failure usually explains itself.
STRETCH_LIMIT = 16 * 1024
STRETCH_HEAD = 4 * 1024
STRETCH_TAIL = STRETCH_LIMIT - STRETCH_HEAD
# All embedded log text together; failing nodes are served first.
LOG_BUDGET = 4 * 1024 * 1024


# Header lines: label, then the run set's key (looked up in "extra" too).
HEADER_FIELDS = (
    ("Job", "id"), ("Name", "name"), ("Job type", "job_type"), ("Host", "host"), ("Release", "release"),
    ("Testbed", "testbed"), ("Submitter", "submitter"), ("User", "user"), ("Start", "starttime"),
    ("Stop", "stoptime"), ("Run time", "runtime"), ("Tasks planned", "totaltasks"), ("Command", "cli"),
)

# Node keys that the tree row or the page's own structure already carries.
_ROW_KEYS = frozenset(("type", "id", "name", "result", "runtime", "description", "sections", "tasks",
                       "fullid", "idlist"))
# Node keys whose value has its own place in the detail view.
_INFO_KEYS = {
    "starttime": "start", "stoptime": "stop", "details": "details", "parameters": "parameters",
    "extra": "extra", "xref": "xref", "logs": "logs", "health_result": "health",
    "health_summary": "hsum", "summary": "summary", "pluginsummary": "psum",
}


def render(document, *, source_dir=None, logs=None):
    """The HTML text of the page for `document`."""
    data = _page_data(_report_of(document), document, source_dir, logs)
    return fill_page(data, "Job %s" % one_line(data["job_id"]))


def fill_page(data, title, connect=False, nav="", forms=False):
    """The report page's skeleton filled with `data` for its script.

    With `connect` the page may fetch from its own origin (the server's job
    page loads nodes as the tree opens); the file page may not. `nav` is
    markup made by the caller, every text in it already escaped.
    """
    css = asset("report.css")
    script = asset("report.js")
    page = asset("report.html")
    csp = page_csp([script], [css], connect=connect, forms=forms)
    # Fill the skeleton in one pass, so nothing inserted is searched again for markers.
    parts = {
        "@CSP@": html.escape(csp, quote=True),
        "@TITLE@": html.escape(title, quote=True),
        "@CSS@": css,
        "@DATA@": script_json(data),
        "@SCRIPT@": script,
        "@NAV@": nav,
    }
    return re.sub("@[A-Z]+@", lambda m: parts[m.group(0)], page)


def page_csp(scripts, styles, connect=False, forms=False):
    """The policy that lets only these inline scripts and styles run (and, with `forms`, forms post to
    the page's own origin: a server's page signed in has its sign-out form)."""
    return ("default-src 'none'; script-src %s; style-src %s; img-src data:; %sbase-uri 'none'; "
            "form-action %s" % (" ".join(map(csp_hash, scripts)) or "'none'", " ".join(map(csp_hash, styles)),
                                "connect-src 'self'; " if connect else "", "'self'" if forms else "'none'"))


def write(document, out_path, *, source_dir=None):
    """Writes the page for `document` to `out_path` as UTF-8, through a temporary file beside it.

    A write that fails (a full disk, a size limit) leaves any earlier page as it was.
    """
    data = render(document, source_dir=source_dir).encode("utf-8")
    handle, temp = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(out_path)),
                                    prefix="." + os.path.basename(out_path) + ".")
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temp, 0o666 & ~mask)
        os.replace(temp, out_path)
    except BaseException:
        os.unlink(temp)
        raise


def script_json(value):
    """JSON text that may stand inside a <script> element.

    Values JSON has no word for are made plain first (see `plain`). Every
    "<", ">" and "&" becomes its \\u escape, so neither "</script" nor "<!--"
    can occur; lone surrogates (a JSON reader lets them through) become
    escapes too, so the page stays valid UTF-8.
    """
    try:
        text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False, default=_plain_leaf)
    except (TypeError, ValueError):
        # Odd keys or non-finite floats somewhere: walk the whole value once.
        text = json.dumps(plain(value), ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    return _SCRIPT_UNSAFE.sub(lambda m: "\\u%04x" % ord(m.group(0)), text)


_SCRIPT_UNSAFE = re.compile("[<>&\u2028\u2029\ud800-\udfff]")
_CONTROL = re.compile("[\x00-\x1f\x7f]")


def one_line(value):
    text = _CONTROL.sub(" ", str(value))[:200]
    return text.encode("utf-8", "replace").decode("utf-8")


def asset(name):
    with open(os.path.join(ASSET_DIR, name), encoding="utf-8") as stream:
        return stream.read()


def csp_hash(text):
    digest = hashlib.sha256(text.encode("utf-8")).digest()
    return "'sha256-%s'" % base64.b64encode(digest).decode("ascii")


def _report_of(document):
    if isinstance(document, dict) and isinstance(document.get("report"), dict):
        return document["report"]
    if isinstance(document, dict) and ("tasks" in document or "summary" in document):
        return document
    raise ValueError("not a stored report: expected a mapping with a 'report' mapping")


def plain(value, _open=None):
    """`value` as JSON can hold it: what a YAML reader adds (dates, bytes, sets,
    odd keys, aliases that loop back) and floats JSON has no word for become
    text. Keys JSON itself accepts are named as JSON names them, so both roads
    give the same text."""
    if isinstance(value, str) or value is None or isinstance(value, (bool, int)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else str(value)
    if isinstance(value, (dict, list, tuple)):
        # A YAML alias may make a value contain itself.
        _open = set() if _open is None else _open
        key = id(value)
        if key in _open:
            return "<repeats itself>"
        _open.add(key)
        if isinstance(value, dict):
            out = {_plain_key(k): plain(v, _open) for k, v in value.items()}
        else:
            out = [plain(v, _open) for v in value]
        _open.discard(key)
        return out
    return plain(_plain_leaf(value), _open)


def _plain_key(key):
    if isinstance(key, str):
        return key
    if key is True or key is False or key is None:
        return json.dumps(key)
    if isinstance(key, int):
        return int.__repr__(key)
    if isinstance(key, float):
        return float.__repr__(key) if math.isfinite(key) else str(key)
    return str(key)


def _plain_leaf(value):
    """A JSON value for one that is not: dates, bytes, sets and the rest."""
    if isinstance(value, (set, frozenset)):
        return list(value)
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", "replace")
    return str(value)


def _result_parts(result):
    """(value, reason, data) of a stored result: a mapping, or a bare text."""
    if isinstance(result, dict):
        value = result.get("value")
        return (None if value is None else str(plain(value))), result.get("reason"), result.get("data")
    if result is None:
        return None, None, None
    return str(plain(result)), None, None


def _lookup(report, key):
    if key in report:
        return report[key]
    extra = report.get("extra")
    if isinstance(extra, dict):
        return extra.get(key)
    return None


def _counts(summary):
    return summary if isinstance(summary, dict) else None


def _has_counts(summary):
    return isinstance(summary, dict) and any(
        v for k, v in summary.items() if k != "success_rate" and isinstance(v, (int, float)))


class _Table:
    """Small texts that many nodes share (types, results) as indices."""

    def __init__(self):
        self.items = []
        self._index = {}

    def __call__(self, text):
        index = self._index.get(text)
        if index is None:
            index = self._index[text] = len(self.items)
            self.items.append(text)
        return index


def node_fields(node):
    """(type, id, name, result, run time, description, info) of one node mapping, as the page's rows hold them.

    `info` carries what only the detail view shows; a name equal to the id is left out.
    """
    node_id = plain(node.get("id"))
    node_id = "" if node_id is None else str(node_id) if not isinstance(node_id, str) else node_id
    name = node.get("name")
    name = None if name is None or plain(name) == node_id else str(plain(name))
    value, reason, result_data = _result_parts(node.get("result"))
    if reason is None or reason == "":
        # stop(result=..., reason=...) keeps the reason in the node's extra data.
        extra = node.get("extra")
        reason = extra.get("reason") if isinstance(extra, dict) else None
    runtime = node.get("runtime")
    runtime = runtime if isinstance(runtime, (int, float)) and not isinstance(runtime, bool) \
        and math.isfinite(runtime) else None
    description = node.get("description")
    description = None if description is None else str(plain(description))

    info = {}
    if reason:
        info["reason"] = reason
    if result_data:
        info["rdata"] = result_data
    more = {}
    for key, item in node.items():
        if key in _ROW_KEYS or item is None or item == [] or item == {}:
            continue
        short = _INFO_KEYS.get(key)
        if short is None:
            more[_plain_key(key)] = item
        elif short in ("hsum", "summary", "psum"):
            if _has_counts(item):
                info[short] = _counts(item)
        elif short == "health":
            health = _result_parts(item)[0]
            if health:
                info["health"] = health
        else:
            info[short] = item
    if more:
        info["more"] = more
    return str(plain(node.get("type") or "?")), node_id, name, value, runtime, description, info


def header_data(report, document=None):
    """The page data that describes the job itself: header lines, counts and health."""
    header = []
    for label, key in HEADER_FIELDS:
        item = _lookup(report, key)
        if item is not None and item != "":
            header.append([label, key, item])
    job_id = plain(report.get("id"))
    return {
        "version": document.get("version") if isinstance(document, dict) else None,
        "job_id": "" if job_id is None else str(job_id),
        "header": header,
        "summary": _counts(report.get("summary")),
        "plugins": _counts(report.get("pluginsummary")),
        "health": _result_parts(report.get("health_result"))[0],
        "hsum": _counts(report.get("health_summary")),
        "problems": sorted(PROBLEM_RESULTS),
    }


def _page_data(report, document, source_dir, fetched=None):
    types = _Table()
    results = _Table()
    nodes = []
    logged = []  # (node index, info, logs record, problem)
    entered = set()
    stack = [(child, -1) for child in reversed(_children(report, "tasks"))]
    while stack:
        node, parent = stack.pop()
        index = len(nodes)
        if not isinstance(node, dict):
            # Not a node mapping: keep it visible rather than lose it.
            nodes.append([parent, types("?"), str(plain(node)), None, -1, None, None, 0])
            continue
        if id(node) in entered:
            # A YAML alias can repeat a node, even under itself: show it once.
            nodes.append([parent, types("?"), "<node repeated from elsewhere in the report>", None, -1, None, None, 0])
            continue
        entered.add(id(node))
        kind, node_id, name, value, runtime, description, info = node_fields(node)
        logs = node.get("logs")
        if isinstance(logs, dict) and logs:
            logged.append((index, info, logs, value in PROBLEM_RESULTS))
        nodes.append([parent, types(kind), node_id, name, -1 if value is None else results(value), runtime,
                      description, info])
        for child in reversed(_children(node, "sections")):
            stack.append((child, index))

    logfiles = _embed_logs(logged, source_dir, fetched)
    for row in nodes:
        if not row[7]:
            row[7] = 0
    data = header_data(report, document)
    data.update({
        "types": types.items,
        "results": results.items,
        "nodes": nodes,
        "logfiles": logfiles,
        "limits": {"stretch": STRETCH_LIMIT, "budget": LOG_BUDGET},
    })
    return data


def _children(node, key):
    children = node.get(key)
    return children if isinstance(children, list) else []


class _Spans:
    """Merged byte ranges [start, end) of one file."""

    def __init__(self):
        self.starts = []
        self.ends = []

    def uncovered(self, start, end):
        """Bytes of [start, end) that no range holds yet."""
        missing = end - start
        i = bisect.bisect_right(self.ends, start)
        while i < len(self.starts) and self.starts[i] < end:
            missing -= min(end, self.ends[i]) - max(start, self.starts[i])
            i += 1
        return missing

    def add(self, start, end):
        lo = bisect.bisect_left(self.ends, start)
        hi = bisect.bisect_right(self.starts, end)
        if lo < hi:
            start = min(start, self.starts[lo])
            end = max(end, self.ends[hi - 1])
        self.starts[lo:hi] = [start]
        self.ends[lo:hi] = [end]


def _wanted(begin, size):
    if size <= STRETCH_LIMIT:
        return [(begin, begin + size)]
    return [(begin, begin + STRETCH_HEAD), (begin + size - STRETCH_TAIL, begin + size)]


def _embed_logs(logged, source_dir, fetched=None):
    """Reads the log stretches of the nodes from the files beside the report (or from `fetched`, {name: bytes}).

    Each node's info gets "log": {"state": ...} and, when embedded, "parts":
    [[chunk, first char, char count], ...] into the file's chunks. Returns the
    files: [{"name": ..., "size": ..., "chunks": [[first byte, text], ...]}].
    """
    files = []
    file_index = {}
    spans = []
    plans = []  # (info, file number, [(start, end)])
    for index, info, logs, problem in logged:
        name = logs.get("file")
        begin = logs.get("begin")
        size = logs.get("size")
        state = {}
        info["log"] = state
        if not isinstance(name, str) or not isinstance(begin, int) or not isinstance(size, int) \
                or isinstance(begin, bool) or isinstance(size, bool):
            state["state"] = "invalid"
            continue
        if size < 0:
            state["state"] = "unknown"
            continue
        if size == 0:
            state["state"] = "empty"
            continue
        # Only a plain file name, read from the report's own folder.
        if (source_dir is None and fetched is None) or name in ("", ".", "..") or os.path.basename(name) != name \
                or "\0" in name:
            state["state"] = "missing"
            continue
        number = file_index.get(name)
        if number is None:
            if fetched is not None:
                path = fetched.get(name)
                file_size = None if path is None else len(path)
            else:
                path = os.path.join(source_dir, name)
                file_size = os.path.getsize(path) if os.path.isfile(path) else None
            number = file_index[name] = len(files)
            files.append({"name": name, "size": file_size, "path": path})
            spans.append(_Spans())
        file_size = files[number]["size"]
        if file_size is None:
            state["state"] = "missing"
            continue
        if begin < 0 or begin >= file_size:
            state["state"] = "beyond"
            continue
        state["f"] = number
        if begin + size > file_size:
            state["short"] = begin + size - file_size
        ranges = [(start, min(end, file_size)) for start, end in _wanted(begin, size) if start < file_size]
        plans.append((problem, index, state, number, ranges))

    # Failing nodes first, then the tree's order, until the budget is spent.
    plans.sort(key=lambda plan: (not plan[0], plan[1]))
    used = 0
    accepted = []
    for problem, index, state, number, ranges in plans:
        cost = sum(spans[number].uncovered(start, end) for start, end in ranges)
        if used + cost > LOG_BUDGET:
            state["state"] = "budget"
            continue
        used += cost
        for start, end in ranges:
            spans[number].add(start, end)
        accepted.append((state, number, ranges))

    chunks = [_read_chunks(files[number]["path"], spans[number]) for number in range(len(files))]
    for state, number, ranges in accepted:
        state["state"] = "ok"
        state["parts"] = [_locate(chunks[number], spans[number], start, end) for start, end in ranges]
    out = []
    for number, record in enumerate(files):
        out.append({"name": record["name"], "size": record["size"],
                    "chunks": [[start, text] for start, text, _ in chunks[number]]})
    return out


def _read_chunks(path, spans):
    """(first byte, text, raw bytes or None when all ASCII) of every merged range of one file."""
    chunks = []
    if not spans.starts:
        return chunks
    with (io.BytesIO(path) if isinstance(path, bytes) else open(path, "rb")) as stream:
        for start, end in zip(spans.starts, spans.ends):
            stream.seek(start)
            raw = stream.read(end - start)
            chunks.append((start, raw.decode("utf-8", "replace"), None if raw.isascii() else raw))
    return chunks


def _locate(chunks, spans, start, end):
    """[chunk number, first unit, unit count] of the bytes [start, end), counted
    in UTF-16 code units as the page's script indexes its strings."""
    number = bisect.bisect_right(spans.starts, start) - 1
    first, _, raw = chunks[number]
    lo, hi = start - first, end - first
    if raw is None:
        return [number, lo, hi - lo]
    return [number, _utf16_len(raw[:lo]), _utf16_len(raw[lo:hi])]


def _utf16_len(raw):
    return len(raw.decode("utf-8", "replace").encode("utf-16-le", "surrogatepass")) // 2
