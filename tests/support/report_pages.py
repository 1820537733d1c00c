"""Stored reports for the HTML page's tests: a hostile one and helpers to read a page back."""
import html.parser
import json
import os
import subprocess
import sys

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# Each would run code if the page ever let report text become markup or script.
HOSTILE = [
    "<script>window.__kovraPwned = 1; document.title = 'PWNED'</script>",
    '"><img src=x onerror="window.__kovraPwned = 2">',
    "javascript:window.__kovraPwned = 3",
    "</script><script>window.__kovraPwned = 4</script>",
    "<!--<script>window.__kovraPwned = 5</script>-->",
    "<svg onload=\"window.__kovraPwned = 6\"><a href=\"javascript:window.__kovraPwned = 7\">x</a></svg>",
    "' onmouseover='window.__kovraPwned = 8' x='",
    "@SCRIPT@ @CSP@ @DATA@ @NAV@ {0} %s ${x}",
]
CONSOLE = "\x1b[31mred\x1b[0m bell\x07 back\x08 cr\r nul\x00 del\x7f form\x0c"
LONG_LINE = "long " + "0123456789" * 20000


def write_log(path, lines):
    """Writes `lines` to the log at `path`; returns {line: (begin, size)} in bytes."""
    spans = {}
    with open(path, "wb") as stream:
        for line in lines:
            raw = (line + "\n").encode("utf-8")
            spans[line] = (stream.tell(), len(raw))
            stream.write(raw)
    return spans


def hostile_document(folder):
    """A stored report whose every text is hostile, with its log file in `folder`."""
    log_lines = HOSTILE + [CONSOLE, LONG_LINE, "ERROR \u00e9t\u00e9 \u2603 \U0001f525 the device said no"]
    spans = write_log(os.path.join(folder, "hostile.log"), log_lines)
    failing_begin = spans[HOSTILE[0]][0]
    error_line = log_lines[-1]
    failing_size = spans[error_line][0] + spans[error_line][1] - failing_begin

    def step(number, text, result, **more):
        node = {"type": text, "id": text, "name": text, "description": text + "\n" + CONSOLE,
                "starttime": "2026-12-08 10:00:00.000001", "stoptime": "2026-12-08 10:00:01.5",
                "runtime": 1.5 + number, "xref": {"file": text, "url": HOSTILE[2]},
                "parameters": {text: [text, CONSOLE]}, "details": [text, CONSOLE, LONG_LINE],
                "extra": {text: {"nested": text}, "long": LONG_LINE}, "result": result}
        node.update(more)
        return node

    sections = [step(i, text, {"value": "passed"}) for i, text in enumerate(HOSTILE)]
    sections.append(step(99, "broken-step", {"value": "failed", "reason": HOSTILE[1] + "\n" + CONSOLE,
                                             "data": {"why": HOSTILE[0]}},
                         logs={"file": "hostile.log", "begin": failing_begin, "size": failing_size}))
    task = {"type": "Task", "id": HOSTILE[0], "name": HOSTILE[1], "description": HOSTILE[3],
            "logfile": "hostile.log", "summary": {"passed": len(HOSTILE), "failed": 1, HOSTILE[0]: 1,
                                                  "total": len(HOSTILE) + 1, "success_rate": 88.89},
            "details": [CONSOLE], "sections": sections}
    report = {"job_type": HOSTILE[4], "type": "RunSet", "id": HOSTILE[0], "name": HOSTILE[5],
              "starttime": "2026-12-08 10:00:00", "stoptime": "2026-12-08 10:05:00", "runtime": 300.0,
              "cli": LONG_LINE, "host": HOSTILE[1], "submitter": HOSTILE[2], "user": CONSOLE,
              "summary": task["summary"], "pluginsummary": {"total": 0, "success_rate": 0.0},
              "extra": {"release": HOSTILE[3], "testbed": HOSTILE[6]},
              "totaltasks": 1, "tasks": [task], "health_result": {"value": HOSTILE[7]}}
    return {"version": "3.2", "report": report}


def run_main_job(out, *args):
    """Runs the main job into `out` with this interpreter; returns the stored JSON document."""
    proc = subprocess.run([sys.executable, os.path.join(REPO_ROOT, "tools", "main_job.py"), "--out", str(out)]
                          + list(args), capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    with open(os.path.join(str(out), "results.json")) as stream:
        return json.load(stream)


class PageParser(html.parser.HTMLParser):
    """Every start tag with its attributes, and the text of each <script> and <style>."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags = []
        self.scripts = []
        self.styles = []
        self._into = None

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))
        if tag == "script":
            self.scripts.append([dict(attrs), ""])
            self._into = self.scripts[-1]
        elif tag == "style":
            self.styles.append([dict(attrs), ""])
            self._into = self.styles[-1]

    def handle_endtag(self, tag):
        self._into = None

    def handle_data(self, data):
        if self._into is not None:
            self._into[1] += data


def parse_page(text):
    parser = PageParser()
    parser.feed(text)
    parser.close()
    return parser


def page_data(text):
    """The report data embedded in a page."""
    scripts = [body for attrs, body in parse_page(text).scripts if attrs.get("type") == "application/json"]
    assert len(scripts) == 1
    return json.loads(scripts[0])


def stretch_text(data, node):
    """The log text a node's detail shows, as the page's script joins it."""
    log = node[7]["log"]
    assert log["state"] == "ok", log
    chunks = data["logfiles"][log["f"]]["chunks"]
    # Offsets count UTF-16 code units, as the page's script does.
    units = [chunk[1].encode("utf-16-le", "surrogatepass") for chunk in chunks]
    return [units[number][2 * first:2 * (first + count)].decode("utf-16-le")
            for number, first, count in log["parts"]]


def synthetic_job(folder, tasks, testcases, steps=4):
    """A stored report of tasks x testcases x steps sections, with a log per task
    in `folder`; every seventh step fails. Built as plain data, without the
    report model, so that large jobs cost little to make."""
    task_nodes = []
    totals = {}
    for t in range(tasks):
        task_id = "task%d" % t
        path = os.path.join(folder, task_id + ".log")
        sections = []
        counts = {}
        with open(path, "wb") as log:
            for c in range(testcases):
                case_begin = log.tell()
                children = []
                case_result = "passed"
                for s in range(steps):
                    begin = log.tell()
                    failed = (t + c + s) % 7 == 0
                    log.write(("%s.tc%d.step%d %s\n" % (task_id, c, s, "ERROR link lost" if failed else "ok"))
                              .encode())
                    children.append({"type": "Step", "id": "step%d" % s, "runtime": 0.01 * (s + 1),
                                     "starttime": "2026-12-08 10:00:00.000001",
                                     "description": "step %d of case %d" % (s, c),
                                     "logs": {"file": task_id + ".log", "begin": begin, "size": log.tell() - begin},
                                     "result": {"value": "failed", "reason": "link lost on port %d" % s}
                                     if failed else {"value": "passed"}})
                    case_result = "failed" if failed else case_result
                counts[case_result] = counts.get(case_result, 0) + 1
                sections.append({"type": "Testcase", "id": "tc%d" % c, "runtime": 0.1 + c / 1000.0,
                                 "description": "test case %d" % c, "result": {"value": case_result},
                                 "logs": {"file": task_id + ".log", "begin": case_begin,
                                          "size": log.tell() - case_begin}, "sections": children})
        for key, value in counts.items():
            totals[key] = totals.get(key, 0) + value
        total = sum(counts.values())
        task_nodes.append({"type": "Task", "id": task_id, "logfile": task_id + ".log", "runtime": 1.0 + t,
                           "summary": dict(counts, total=total,
                                           success_rate=round(100.0 * counts.get("passed", 0) / total, 2)),
                           "sections": sections})
    total = sum(totals.values())
    report = {"type": "RunSet", "id": "synthetic", "host": "lab-host", "submitter": "ci",
              "starttime": "2026-12-08 10:00:00", "stoptime": "2026-12-08 11:00:00", "runtime": 3600.0,
              "summary": dict(totals, total=total, success_rate=round(100.0 * totals.get("passed", 0) / total, 2)),
              "totaltasks": tasks, "tasks": task_nodes}
    return {"version": "3.2", "report": report}
