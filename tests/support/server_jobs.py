"""Jobs for the server pages' tests: small stored reports built as plain data, and a way to send them."""
import json

from support.report_pages import HOSTILE


def report(job_id, results, start="2026-12-01T10:00:00", runtimes=None, reasons=None, name=None):
    """A stored report whose tasks and sections are the dotted paths of `results` ({path: result}).

    Each path's parents are made as needed; tasks carry summary counts of their sections' results."""
    runtimes = runtimes or {}
    reasons = reasons or {}
    tasks = []
    made = {}
    for path, result in results.items():
        ids = path.split(".")
        for depth in range(1, len(ids) + 1):
            here = ".".join(ids[:depth])
            if here in made:
                continue
            node = {"type": "Task" if depth == 1 else "Section", "id": ids[depth - 1], "name": ids[depth - 1],
                    "starttime": start.replace("T", " "), "runtime": runtimes.get(here, 0.5)}
            if depth == 1:
                node["summary"] = {}
                tasks.append(node)
            else:
                made[".".join(ids[:depth - 1])].setdefault("sections", []).append(node)
            made[here] = node
        node = made[path]
        if len(ids) > 1:
            node["result"] = {"value": result}
            if path in reasons:
                node["result"]["reason"] = reasons[path]
            summary = made[ids[0]]["summary"]
            summary[result] = summary.get(result, 0) + 1
    counts = {}
    for task in tasks:
        for key, value in task["summary"].items():
            counts[key] = counts.get(key, 0) + value
    total = sum(counts.values())
    counts.update(total=total, success_rate=round(100.0 * counts.get("passed", 0) / total, 2) if total else 0.0)
    for task in tasks:
        task["summary"].update(total=sum(task["summary"].values()))
    return {"version": "3.2", "report": {
        "type": "RunSet", "id": name or job_id, "name": name or job_id, "starttime": start.replace("T", " "),
        "stoptime": start.replace("T", " "), "runtime": sum(runtimes.values()) or 1.0, "host": "bench-1",
        "summary": counts, "totaltasks": len(tasks), "tasks": tasks}}


def send(client, job, document, state="finished", name=None, token="secret", logs=None, replace=False):
    """PUTs a report (and its logs) to the server as one request; returns the job row."""
    files = [("report", ("report.json", json.dumps(document).encode(), "application/json"))]
    for log_name, data in (logs or {}).items():
        files.append(("log", (log_name, data, "text/plain")))
    query = "state=%s" % state + ("&name=%s" % name if name else "") + ("&replace=true" if replace else "")
    reply = client.put("/api/jobs/%s?%s" % (job, query), files=files,
                       headers={"Authorization": "Bearer " + token})
    assert reply.status_code == 200, reply.text
    return reply.json()


# Three jobs of one name: "regress" fails only in the last (new), "broken" fails in all (known),
# "wobbly" fails, passes, fails (flaky).
SERIES = [
    {"t.regress": "passed", "t.broken": "failed", "t.wobbly": "failed", "t.fine": "passed"},
    {"t.regress": "passed", "t.broken": "failed", "t.wobbly": "passed", "t.fine": "passed"},
    {"t.regress": "failed", "t.broken": "failed", "t.wobbly": "failed", "t.fine": "passed"},
]
EXPECTED_MARKS = {"t.regress": "new", "t.broken": "failing", "t.wobbly": "flaky"}


def send_series(client, name="nightly", prefix="n", token="secret"):
    """Sends SERIES as jobs prefix1..prefix3 a day apart; returns their ids, oldest first."""
    ids = []
    for number, results in enumerate(SERIES, 1):
        job = "%s%d" % (prefix, number)
        # A reason comes with a failure only, as the framework gives one.
        reasons = {"t.broken": "link down on port %d" % number, "t.wobbly": "no answer within 30 s",
                   "t.regress": "counter 7 off by 1"}
        send(client, job, report(job, results, start="2026-12-0%dT10:00:00" % number,
                                 runtimes={"t.fine": 0.5 * number, "t.broken": 3.0},
                                 reasons={path: reasons[path] for path in reasons if results[path] == "failed"}),
             name=name, token=token)
        ids.append(job)
    return ids


def hostile_report():
    """A report whose every text is hostile, for the pages' escaping."""
    results = {"%s.%s" % ("task", text.replace(".", ",")): "failed" if i % 2 else "passed"
               for i, text in enumerate(HOSTILE)}
    document = report(HOSTILE[0], results, reasons={path: HOSTILE[1] for path in results})
    document["report"]["host"] = HOSTILE[3]
    return document


# The series a new user sent: 30 nightly jobs of one name (regress-1 ... regress-30).
NAME = "regress"


def nightly(number):
    """Job `number` of the new user's series: a regression from 28, a test that flips every two jobs,
    one always broken, a step that breaks from 29, and 243 counter mismatches on different ports in 29-30."""
    results = {"t.stable": "passed", "t.broken": "failed",
               "t.regression": "failed" if number >= 28 else "passed",
               "t.wobbly": "failed" if number % 4 in (2, 3) else "passed",
               "d.case.step1": "failed" if number >= 29 else "passed", "d.case.step2": "passed"}
    reasons = {"t.broken": "license feature 'x' missing", "t.regression": "expected 4 routes, got 3",
               "t.wobbly": "no answer within %d s" % (number + 20), "d.case.step1": "step failed at 0x%x" % number}
    if number >= 29:
        for port in range(243):
            results["c.port%d" % port] = "failed"
            reasons["c.port%d" % port] = "counter mismatch on port %d" % (1000 + port)
    document = report("%s-%d" % (NAME, number), results, start="2026-11-%02dT02:00:00" % number,
                      reasons={path: reason for path, reason in reasons.items() if results[path] == "failed"})
    # The step's case fails with it, as the framework rolls a result up.
    case = next(t for t in document["report"]["tasks"] if t["id"] == "d")["sections"][0]
    case["result"] = {"value": "failed", "reason": "a step failed"} if number >= 29 else {"value": "passed"}
    return document
