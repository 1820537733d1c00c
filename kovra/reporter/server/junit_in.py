"""JUnit XML in: a runner's JUnit file becomes a stored report of this model, then rows like any upload.

A ``testsuite`` is a task (nested ones are sections of type "Testsuite" inside it),
a ``testcase`` a section of type "Testcase". ``failure`` is failed, ``error``
errored, ``skipped`` skipped; the message (else the text's first line) is the
reason and the whole text the details. ``time``, ``timestamp`` and
``properties`` give the run time, the start and the extra data. A suite's
``system-out``/``system-err`` (and its cases') are its task's log; a case's
own output is reached from its section through ``logs`` {file, begin, size}.
Surefire's ``flakyFailure``/``rerunFailure`` (and the error forms) are reruns
kept in the case's extra data; a case that failed and then passed is flaky.

Parsed by defusedxml: a DTD, entities or external references are refused.
"""
import datetime
import json
import zlib

from defusedxml import DTDForbidden, EntitiesForbidden, ExternalReferenceForbidden
from defusedxml.ElementTree import ParseError, fromstring

from kovra.reporter.server import intake
from kovra.reporter.server.intake import Refused

RESULTS = {"failure": "failed", "error": "errored", "skipped": "skipped"}
RERUNS = ("flakyFailure", "flakyError", "rerunFailure", "rerunError")
OUTPUTS = ("system-out", "system-err")
# A result outranks the ones after it when a case holds several.
RANK = ("errored", "failed", "skipped", "passed")


def looks_like_xml(data):
    """Whether upload bytes (already unpacked) are XML rather than the stored report's JSON."""
    head = data[:64].lstrip(b"\xef\xbb\xbf \t\r\n")
    return head.startswith(b"<")


def declared_xml(content_type):
    return content_type.split(";")[0].strip().lower() in ("application/xml", "text/xml")


def is_junit(content_type, body, settings):
    """Whether a PUT body is JUnit XML: by its declared type, else by its (unpacked) content."""
    kind = content_type.split(";")[0].strip().lower()
    if declared_xml(kind):
        return True
    if kind.startswith("multipart/"):
        return False
    head = body[:64]
    if body[:2] == b"\x1f\x8b":
        try:
            head = zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(body[:4096], 64)
        except zlib.error:
            return False
    return looks_like_xml(head)


def parse(data):
    try:
        return fromstring(data, forbid_dtd=True, forbid_entities=True, forbid_external=True)
    except (DTDForbidden, EntitiesForbidden, ExternalReferenceForbidden) as error:
        raise Refused("the XML is refused: it holds a DTD, entities or external references (%s)"
                      % type(error).__name__) from None
    except ParseError as error:
        raise Refused("the XML is not well formed: %s" % error) from None
    except RecursionError:
        raise Refused("the XML is nested too deeply") from None


def _local(tag):
    return tag.rpartition("}")[2] if isinstance(tag, str) else ""


def _seconds(text):
    if not text:
        return None
    try:
        value = float(text.replace(",", ""))
    except ValueError:
        return None
    return value if 0 <= value < 1e12 else None


def _start(text):
    if not text:
        return None
    try:
        stamp = datetime.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    except ValueError:
        return None
    if stamp.tzinfo is not None:
        stamp = stamp.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return stamp


def _time_text(stamp):
    return stamp.isoformat(" ", "microseconds") if stamp is not None else None


def _properties(element):
    found = {}
    for props in element:
        if _local(props.tag) != "properties":
            continue
        for prop in props:
            name = prop.get("name")
            if _local(prop.tag) == "property" and name:
                found[name] = prop.get("value") if prop.get("value") is not None else (prop.text or "")
    return found


def _first_line(text):
    for line in (text or "").splitlines():
        if line.strip():
            return line.strip()
    return None


class Converter:
    def __init__(self, settings):
        self.settings = settings
        self.cases = 0
        self.flaky = 0
        self.logs = []
        # A suite without a timestamp started with the file (or on receipt): a task with no start
        # would read as never run.
        self.default_start = None

    def _unique(self, used, wanted, fallback):
        name = wanted or fallback
        if name in used:
            name = "%s (%d)" % (name, 2)
            number = 2
            while name in used:
                number += 1
                name = "%s (%d)" % (wanted or fallback, number)
        used.add(name)
        return name

    def _times(self, node, element, default_start=None):
        runtime = _seconds(element.get("time"))
        start = _start(element.get("timestamp")) or default_start
        if runtime is not None:
            node["runtime"] = runtime
        if start is not None:
            node["starttime"] = _time_text(start)
            if runtime is not None:
                node["stoptime"] = _time_text(start + datetime.timedelta(seconds=runtime))
        return start

    def task(self, element, used, index):
        task_id = self._unique(used, element.get("name"), "suite %d" % index)
        log_name = "junit-%d.log" % index
        log = bytearray()
        task = {"type": "Task", "id": task_id, "fullid": task_id, "name": task_id, "logfile": log_name}
        start = self._times(task, element, self.default_start)
        props = _properties(element)
        if props:
            task["extra"] = props
        counts = {}
        task["sections"] = self.children(element, task_id, counts, log, log_name, start, 1)
        for key in OUTPUTS:
            for out in element:
                if _local(out.tag) == key and out.text:
                    log += ("--- %s ---\n" % key).encode() + out.text.encode("utf-8", "replace") + b"\n"
        task["summary"] = summary(counts)
        self.logs.append((log_name, bytes(log)))
        return task, counts

    def children(self, element, path, counts, log, log_name, start, depth):
        if depth > self.settings.max_depth // 4:
            raise Refused("the XML's suites are nested deeper than %d levels" % (self.settings.max_depth // 4))
        sections = []
        used = set()
        for child in element:
            kind = _local(child.tag)
            if kind == "testcase":
                sections.append(self.case(child, path, used, counts, log, log_name, start))
            elif kind == "testsuite":
                sub_id = self._unique(used, child.get("name"), "suite %d" % (len(sections) + 1))
                sub = {"type": "Testsuite", "id": sub_id, "fullid": "%s.%s" % (path, sub_id), "name": sub_id}
                self._times(sub, child, start)
                props = _properties(child)
                if props:
                    sub["extra"] = props
                sub["sections"] = self.children(child, sub["fullid"], counts, log, log_name, start, depth + 1)
                results = [s["result"]["value"] for s in sub["sections"] if "result" in s]
                sub["result"] = {"value": next((r for r in RANK if r in results), "passed")}
                sections.append(sub)
        return sections

    def case(self, element, path, used, counts, log, log_name, start):
        self.cases += 1
        if self.cases > self.settings.max_nodes:
            raise Refused("more than %d test cases" % self.settings.max_nodes, status=413)
        name = element.get("name")
        classname = element.get("classname")
        wanted = name
        if name in used and classname:
            wanted = "%s.%s" % (classname, name)
        case_id = self._unique(used, wanted, "testcase %d" % (len(used) + 1))
        section = {"type": "Testcase", "id": case_id, "fullid": "%s.%s" % (path, case_id), "name": name or case_id}
        self._times(section, element)
        extra = _properties(element)
        if classname:
            extra["classname"] = classname
        for key in ("file", "line"):
            if element.get(key):
                extra[key] = element.get(key)
        result = "passed"
        reason = None
        details = []
        reruns = []
        begin = len(log)
        for child in element:
            kind = _local(child.tag)
            if kind in RESULTS:
                found = RESULTS[kind]
                text = child.text or ""
                if RANK.index(found) < RANK.index(result):
                    result = found
                    reason = child.get("message") or _first_line(text) or reason
                elif reason is None:
                    reason = child.get("message") or _first_line(text)
                if text.strip() or child.get("type"):
                    details.append(("%s: %s" % (child.get("type"), text)) if child.get("type") else text)
            elif kind in RERUNS:
                trace = "".join(part.text or "" for part in child if _local(part.tag) == "stackTrace")
                reruns.append({"kind": kind, "type": child.get("type"), "message": child.get("message"),
                               "text": trace or (child.text or "").strip()})
            elif kind in OUTPUTS and child.text:
                log += ("--- %s %s ---\n" % (case_id, kind)).encode("utf-8", "replace")
                log += child.text.encode("utf-8", "replace") + b"\n"
        if reruns:
            extra["reruns"] = reruns
            if result == "passed" and any(r["kind"].startswith("flaky") for r in reruns):
                # Failed, then passed on a rerun inside this job: evidence of a flaky test.
                extra["flaky"] = True
                self.flaky += 1
        section["result"] = {"value": result, "reason": reason} if reason else {"value": result}
        if details:
            section["details"] = details
        if extra:
            section["extra"] = extra
        if len(log) > begin:
            section["logs"] = {"file": log_name, "begin": begin, "size": len(log) - begin}
        counts[result] = counts.get(result, 0) + 1
        return section


def summary(counts):
    from kovra.reporter import runset
    counter = runset.ResultCounter()
    for key, value in counts.items():
        counter[key] = value
    found = dict(counts)
    found["total"] = sum(counts.values())
    found["success_rate"] = counter.success_rate
    return found


def to_document(root, settings):
    """The stored-report document ({"version", "report"}) and its logs [(name, bytes)] of a parsed JUnit root."""
    kind = _local(root.tag)
    if kind == "testsuite":
        suites = [root]
    elif kind == "testsuites":
        suites = []
        for child in root:
            if _local(child.tag) == "testcase":
                raise Refused("a testcase outside any testsuite (directly under testsuites)")
            if _local(child.tag) == "testsuite":
                suites.append(child)
    elif kind == "testcase":
        raise Refused("a testcase outside any testsuite (the file's root is a testcase)")
    else:
        raise Refused("not JUnit XML: the root element is <%s>, not testsuites or testsuite" % kind[:40])
    converter = Converter(settings)
    converter.default_start = _start(root.get("timestamp")) or next(
        (_start(s.get("timestamp")) for s in suites if _start(s.get("timestamp"))),
        datetime.datetime.utcnow().replace(microsecond=0))
    used = set()
    tasks = []
    totals = {}
    for index, suite in enumerate(suites, 1):
        task, counts = converter.task(suite, used, index)
        tasks.append(task)
        for key, value in counts.items():
            totals[key] = totals.get(key, 0) + value
    run_id = root.get("name") or (suites[0].get("name") if len(suites) == 1 else None) or "junit"
    report = {"type": "RunSet", "id": run_id, "fullid": run_id, "name": run_id, "tasks": tasks,
              "summary": summary(totals), "extra": {"source": "junit"}}
    if converter.flaky:
        report["extra"]["flaky"] = converter.flaky
    report_start = _start(root.get("timestamp"))
    starts = [t["starttime"] for t in tasks if t.get("starttime")]
    if report_start is not None:
        report["starttime"] = _time_text(report_start)
    elif starts:
        report["starttime"] = min(starts)
    runtime = _seconds(root.get("time"))
    if runtime is None and any("runtime" in t for t in tasks):
        runtime = sum(t.get("runtime", 0.0) for t in tasks)
    if runtime is not None:
        report["runtime"] = runtime
        if report.get("starttime"):
            start = datetime.datetime.fromisoformat(report["starttime"])
            report["stoptime"] = _time_text(start + datetime.timedelta(seconds=runtime))
    return {"version": intake.FORMAT_VERSION, "report": report}, converter.logs


def read_junit(data, _logs, settings, name=None, time_text=False):
    """A JUnit upload (bytes, maybe gzip) as an ``intake.Snapshot``; refusals are one-line ``Refused``."""
    data = intake.unpack(data, settings)
    root = parse(data)
    document, logs = to_document(root, settings)
    text = json.dumps(document, separators=(",", ":"), ensure_ascii=True).encode("ascii")
    return intake.read_snapshot(text, dict(logs), settings, name, time_text)


def read_sniffed(data, logs, settings, name=None, time_text=False):
    """``read_junit`` of a body sent as neither XML nor JSON by type: a refusal says it was neither."""
    try:
        return read_junit(data, logs, settings, name, time_text)
    except Refused as error:
        if error.status != 400:
            raise
        raise Refused("the report is not JSON, nor JUnit XML: %s" % error) from None
