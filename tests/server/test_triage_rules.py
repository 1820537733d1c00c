"""Known issues, mutes and owners: checked when made, applied when failures are read; the job verdict
that `summary --check` and ServerClient.check() give."""
import datetime
import json

import pytest

from conftest import AUTH, TOKEN

from kovra.reporter.server import rules
from support.server_jobs import report, send

UNSAFE = [
    ("(", "does not compile"),
    ("a{2,1}", "does not compile"),
    ("(a+)+$", "repeat inside a repeat"),
    ("(x*)*y", "repeat inside a repeat"),
    ("(a|aa)*b", "repeated alternation"),
    ("(\\w+)\\1", "backreferences"),
    ("foo(?=bar)", "lookarounds"),
    ("x" * 501, "longer than 500"),
]
SAFE = ["counter mismatch on port \\d+", "(\\d{1,3}\\.){3}\\d{1,3}", "^license (feature|option) '[a-z]+'",
        "(ab){2,5}c"]


@pytest.mark.parametrize("pattern,words", UNSAFE)
def test_unsafe_or_broken_patterns_are_refused(pattern, words):
    with pytest.raises(rules.Refused) as refused:
        rules.check_pattern(pattern)
    assert words in str(refused.value)


@pytest.mark.parametrize("pattern", SAFE)
def test_safe_patterns_are_taken(pattern):
    assert rules.check_pattern(pattern).pattern == pattern


OWNERS = """# CODEOWNERS-like: the last matching line wins
*            @qa-lead
c.*          @counters alice@example.com
c.port1*     @port-team
"""


@pytest.mark.parametrize("path,owners", [("t.regression", ["@qa-lead"]), ("c.port7", ["@counters", "alice@example.com"]),
                                         ("c.port12", ["@port-team"]), ("c", ["@qa-lead"])])
def test_owners_last_matching_line_wins(path, owners):
    assert rules.owners_of(rules.parse_owners(OWNERS), path) == owners


@pytest.mark.parametrize("text,words", [("*  @a\nt.*\n", "line 2: 't.*' has a pattern but no owner"),
                                        ("\n\nt.[ab  @x\n", "line 3: unbalanced"),
                                        ("t.* @ok bad<owner>\n", "line 1: 'bad<owner>' is not an owner")])
def test_bad_owners_lines_are_refused_with_their_number(client, text, words):
    answer = client.put("/api/owners?name=regress", content=text.encode(), headers=AUTH)
    assert answer.status_code == 400 and words in answer.json()["error"]
    assert client.get("/api/owners?name=regress").json()["text"] == ""


def later(days):
    return (datetime.datetime.utcnow().date() + datetime.timedelta(days=days)).isoformat()


MUTE = {"name": "w", "path": "t.flappy", "reason": "lab switch", "owner": "alice", "until": later(7)}
ISSUE = {"title": "BUG-12 ports lose counters", "url": "https://bugs.example.com/12", "match": "port \\d+ down"}


@pytest.mark.parametrize("url,body,words", [
    ("/api/mutes", dict(MUTE, until=later(-1)), "in the past"),
    ("/api/mutes", dict(MUTE, until=later(400)), "more than a year ahead"),
    ("/api/mutes", dict(MUTE, until="next week"), "until must be a date"),
    ("/api/mutes", dict(MUTE, owner=""), "owner is required"),
    ("/api/mutes", dict(MUTE, colour="red"), "unknown field 'colour'"),
    ("/api/known-issues", dict(ISSUE, match="(a+)+$"), "may take too long"),
    ("/api/known-issues", dict(ISSUE, match="[oops"), "does not compile"),
    ("/api/known-issues", dict(ISSUE, url="javascript:alert(1)"), "url must start with http"),
    ("/api/known-issues", dict(ISSUE, state="maybe"), "state must be open or closed"),
    ("/api/known-issues", dict(ISSUE, title="two\nlines"), "title must be one line"),
    ("/api/known-issues", ["not", "an", "object"], "must be a JSON object"),
])
def test_bad_rules_are_refused_in_one_line_and_nothing_is_stored(client, url, body, words):
    answer = client.post(url, json=body, headers=AUTH)
    assert answer.status_code == 400, answer.text
    assert words in answer.json()["error"] and "\n" not in answer.json()["error"]
    assert client.get(url).json() in ({"mutes": []}, {"known_issues": []})


def test_rules_need_the_token_to_change(client):
    made = client.post("/api/mutes", json=MUTE, headers=AUTH).json()
    for method, url in [("POST", "/api/mutes"), ("PUT", "/api/mutes/%d" % made["id"]),
                        ("DELETE", "/api/mutes/%d" % made["id"]), ("POST", "/api/known-issues"),
                        ("PUT", "/api/owners?name=w")]:
        answer = client.request(method, url, json=MUTE, headers={"Authorization": "Bearer wrong"})
        assert answer.status_code == 401, (method, url)
    assert client.get("/api/mutes").json()["mutes"] == [dict(MUTE, id=made["id"], written_by="write")]


def send_jobs(client):
    for number in (1, 2, 3):
        results = {"t.fine": "passed", "t.flappy": "failed" if number == 3 else "passed",
                   "t.ports": "failed", "u.other": "failed"}
        send(client, "w%d" % number, report("w%d" % number, results, start="2026-12-0%dT01:00:00" % number,
                                            reasons={"t.flappy": "no answer", "t.ports": "port %d down" % number,
                                                     "u.other": "disk full"}), name="w", token=TOKEN)


def nodes(client, job, key):
    return {".".join(n["path"]): n[key] for g in client.get("/api/jobs/%s/failures" % job).json()["groups"]
            for n in g["nodes"]}


def test_a_rule_made_today_marks_past_and_present_failures(client):
    send_jobs(client)
    issue = client.post("/api/known-issues", json=ISSUE, headers=AUTH)
    assert issue.status_code == 201
    issue = issue.json()
    assert issue["state"] == "open" and issue["name"] is None
    for job in ("w1", "w3"):
        marked = nodes(client, job, "known_issue")
        assert marked["t.ports"]["id"] == issue["id"] and marked["u.other"] is None
    detail = client.get("/api/known-issues/%d" % issue["id"]).json()
    assert [(m["job"], m["path"]) for m in detail["matches"]] == [("w3", ["t", "ports"]), ("w2", ["t", "ports"]),
                                                                  ("w1", ["t", "ports"])]
    # A rule by signature marks its whole group; a closed rule marks nothing.
    group = next(g for g in client.get("/api/jobs/w3/failures").json()["groups"] if g["text"] == "disk full")
    by_sig = client.post("/api/known-issues", json={"title": "disk", "match": group["signature"], "name": "w"},
                         headers=AUTH).json()
    group = next(g for g in client.get("/api/jobs/w3/failures").json()["groups"] if g["text"] == "disk full")
    assert group["known_issue"]["id"] == by_sig["id"]
    changed = client.put("/api/known-issues/%d" % issue["id"], json={"state": "closed"}, headers=AUTH).json()
    assert changed["state"] == "closed" and changed["title"] == ISSUE["title"]
    assert nodes(client, "w3", "known_issue")["t.ports"] is None
    assert client.delete("/api/known-issues/%d" % by_sig["id"], headers=AUTH).status_code == 200
    assert client.get("/api/known-issues/%d" % by_sig["id"]).status_code == 404
    assert [i["id"] for i in client.get("/api/known-issues").json()["known_issues"]] == [issue["id"]]


def test_mutes_leave_the_verdict_until_their_day_and_owners_filter(client, monkeypatch):
    send_jobs(client)
    client.put("/api/owners?name=w", content=b"* @qa\nt.* @ports\nt.fl* @flaky-team\n", headers=AUTH)
    assert nodes(client, "w3", "owners") == {"t.flappy": ["@flaky-team"], "t.ports": ["@ports"], "u.other": ["@qa"]}
    only = client.get("/api/jobs/w3/failures", params={"owner": "@qa"}).json()["groups"]
    assert [[n["path"] for n in g["nodes"]] for g in only] == [[["u", "other"]]]
    verdict = client.get("/api/jobs/w3/check").json()
    assert verdict["passed"] is False and len(verdict["failing"]) == 3
    mutes = [client.post("/api/mutes", json=dict(MUTE, path=path), headers=AUTH).json()
             for path in ("t.*", "u.other")]
    mutes.append(client.post("/api/mutes", json=dict(MUTE, path="*", name="another"), headers=AUTH).json())
    verdict = client.get("/api/jobs/w3/check").json()
    assert (verdict["passed"], verdict["failing"]) == (True, [])
    assert sorted((".".join(m["path"]), m["muted"]["id"]) for m in verdict["muted"]) == [
        ("t.flappy", mutes[0]["id"]), ("t.ports", mutes[0]["id"]), ("u.other", mutes[1]["id"])]
    assert nodes(client, "w3", "muted")["t.ports"]["owner"] == "alice"
    # One mute lifted: that failure counts again.
    client.delete("/api/mutes/%d" % mutes[1]["id"], headers=AUTH)
    verdict = client.get("/api/jobs/w3/check").json()
    assert verdict["passed"] is False and [f["path"] for f in verdict["failing"]] == [["u", "other"]]
    # After its day, a mute no longer applies.
    monkeypatch.setattr(rules, "today", lambda: datetime.datetime.utcnow().date() + datetime.timedelta(days=8))
    assert len(client.get("/api/jobs/w3/check").json()["failing"]) == 3


def test_a_failing_task_without_sections_fails_the_verdict(client):
    document = report("lone", {"t.ok": "passed"})
    document["report"]["tasks"].append({"type": "Task", "id": "setup", "name": "setup",
                                        "result": {"value": "errored", "reason": "no licence server"}})
    send(client, "lone", document, token=TOKEN)
    verdict = client.get("/api/jobs/lone/check").json()
    assert verdict["passed"] is False
    assert [(f["path"], f["reason"]) for f in verdict["failing"]] == [(["setup"], "no licence server")]


@pytest.fixture
def live_w(start_server, tmp_path, monkeypatch):
    """A server process holding jobs w1..w3 (send_jobs), the token in the environment."""
    from kovra.reporter.client import ServerClient
    server = start_server()
    monkeypatch.setenv("KOVRA_REPORTER_TOKEN", TOKEN)
    client = ServerClient(server.url, None, token=TOKEN)
    for number in (1, 2, 3):
        results = {"t.fine": "passed", "t.flappy": "failed" if number == 3 else "passed", "t.ports": "failed",
                   "u.other": "failed"}
        document = report("w%d" % number, results, start="2026-12-0%dT01:00:00" % number,
                          reasons={"t.flappy": "no answer", "t.ports": "port %d down" % number, "u.other": "disk full"})
        folder = tmp_path / ("w%d" % number)
        folder.mkdir()
        (folder / "results.json").write_text(json.dumps(document))
        client.job = "w%d" % number
        client.send(str(folder), name="w")
    client.close()
    return server


def run(capsys, *argv):
    from kovra.reporter import cli
    status = cli.main(list(argv))
    out = capsys.readouterr()
    return status, out.out, out.err


def test_the_triage_commands(live_w, capsys, tmp_path):
    url = live_w.url
    status, out, _ = run(capsys, "failures", url + "/jobs/w3")
    assert status == 0
    assert out.splitlines()[0].startswith("1 x disk full  [") and "first seen w1, in 3 jobs]" in out
    assert "    t.flappy  failed  new" in out and "    t.ports  failed  failing, since w1" in out
    status, out, _ = run(capsys, "history", url + "/jobs/w3", "--node", "t.ports", "-n", "2")
    assert status == 0 and out.splitlines() == [
        "t.ports in w: failing: since w1 (3 jobs)",
        "  w3                       2026-12-03 01:00:00 failed   port 3 down",
        "  w2                       2026-12-02 01:00:00 failed   port 2 down"]
    status, out, _ = run(capsys, "mute", url, "--path", "t.*", "--reason", "lab", "--owner", "bob",
                         "--until", later(3), "--name", "w")
    assert status == 0 and out == "mute 1: t.* in w until %s\n" % later(3)
    status, out, _ = run(capsys, "failures", url + "/jobs/w3")
    assert "t.ports  failed  failing, since w1, muted until %s" % later(3) in out
    status, out, _ = run(capsys, "summary", url + "/jobs/w3", "--check")
    assert status == 1 and "check: FAILED (1 failing: u.other) (2 muted failures)" in out
    assert run(capsys, "unmute", url, "1")[:2] == (0, "mute 1 lifted\n")
    assert run(capsys, "unmute", url, "1")[0] == 2
    status, out, _ = run(capsys, "known-issue", url, "--title", "BUG-3", "--match", "disk (full|gone)",
                         "--issue-url", "https://bugs.example.com/3")
    assert (status, out) == (0, "known issue 1 (open): BUG-3\n")
    assert "known issue: BUG-3" in run(capsys, "failures", url + "/jobs/w1")[1]
    assert run(capsys, "known-issue", url, "--close", "1")[1] == "known issue 1 (closed): BUG-3\n"
    owners = tmp_path / "OWNERS"
    owners.write_text("* @qa\nu.* @storage\n")
    assert run(capsys, "owners", url + "/jobs/w3", str(owners))[:2] == (0, "owners of w: 2 lines\n")
    assert run(capsys, "owners", url, "--name", "w")[1] == "* @qa\nu.* @storage\n"
    assert "u.other  failed  failing, since w1  owners: @storage" in run(capsys, "failures", url + "/jobs/w3")[1]
    # Refusals: one line, status 2, nothing changed.
    owners.write_text("* @qa\nu.*\n")
    status, out, err = run(capsys, "owners", url + "/jobs/w3", str(owners))
    assert status == 2 and "owners line 2: 'u.*' has a pattern but no owner" in err and err.count("\n") == 1
    status, _, err = run(capsys, "known-issue", url, "--title", "x", "--match", "(a*)*b")
    assert status == 2 and "may take too long" in err
    status, _, err = run(capsys, "mute", url, "--path", "t.*", "--reason", "r", "--owner", "o", "--until", later(-2))
    assert status == 2 and "in the past" in err


@pytest.mark.parametrize("command", ["failures", "history", "mute", "unmute", "known-issue", "owners", "summary"])
def test_every_triage_command_has_help(command, capsys):
    from kovra.reporter import cli
    with pytest.raises(SystemExit) as done:
        cli.main([command, "--help"])
    assert done.value.code == 0
    out = capsys.readouterr().out
    assert out.startswith("usage: ") and len(out.splitlines()) > 4


def test_summary_check_on_a_job_url_honours_mutes(start_server, capsys):
    import urllib.request
    import json
    from kovra.reporter import cli
    from kovra.reporter.client import ServerClient
    server = start_server()
    client = ServerClient(server.url, "w3", token=TOKEN)
    document = report("w3", {"t.fine": "passed", "t.flappy": "failed"}, reasons={"t.flappy": "no answer"})
    import tempfile, os
    folder = tempfile.mkdtemp()
    with open(os.path.join(folder, "results.json"), "w") as stream:
        json.dump(document, stream)
    client.send(folder, name="w")
    url = server.url + "/jobs/w3"
    assert cli.main(["summary", url, "--check"]) == 1
    assert "check: FAILED (1 failing: t.flappy)" in capsys.readouterr().out
    request = urllib.request.Request(server.url + "/api/mutes", data=json.dumps(MUTE).encode(), method="POST",
                                     headers=dict(AUTH, **{"Content-Type": "application/json"}))
    urllib.request.urlopen(request).read()
    assert client.check()["passed"] is True and len(client.check()["muted"]) == 1
    assert cli.main(["summary", url, "--check"]) == 0
    assert "check: ok (1 muted failure)" in capsys.readouterr().out
    client.close()


def test_the_triage_pages_show_rules_groups_and_evidence(client):
    import html
    from support.report_pages import HOSTILE, page_data, parse_page
    send_jobs(client)
    hostile = HOSTILE[1]
    client.put("/api/owners?name=w", content=("* @qa\nu.* @" + "x" * 3 + "\n").encode(), headers=AUTH)
    issue = client.post("/api/known-issues", json=dict(ISSUE, title=hostile), headers=AUTH).json()
    client.post("/api/mutes", json=dict(MUTE, path="t.fine", reason=hostile), headers=AUTH)
    client.post("/api/mutes", json=dict(MUTE, path="t.ports", name=None), headers=AUTH)
    data = page_data(client.get("/jobs/w3").text)
    groups = {g[1]: g for g in data["groups"]}
    assert [g[2] for g in data["groups"]] == [1, 1, 1]
    ports = groups["port <num> down"]
    assert (ports[3], ports[4], ports[5], ports[6], ports[7]) == ({"failing": 1}, hostile, ["@qa"], "w1", 3)
    assert ports[8] == [[["t", "ports"], "failed", "port 3 down", "failing", "failing since w1 (3 jobs)", True]]
    assert groups["no answer"][8][0][3:5] == ["new", "new failure: failing since w3 (1 job)"]
    pages = {url: client.get(url) for url in ("/known-issues", "/known-issues/%d" % issue["id"], "/mutes", "/owners",
                                             "/signatures/" + ports[0])}
    for url, answer in pages.items():
        assert answer.status_code == 200, url
        # The hostile title and reason stay text.
        assert hostile not in answer.text and "<img" not in answer.text, url
        assert not [a for _, attrs in parse_page(answer.text).tags for a in attrs if a.startswith("on")], url
    assert hostile in html.unescape(pages["/known-issues"].text)
    matched = html.unescape(pages["/known-issues/%d" % issue["id"]].text)
    assert matched.count("port 3 down") == 1 and matched.index("w3") < matched.index("w2") < matched.index("w1")
    # t.fine passed in all three jobs while muted; t.ports failed, and its mute is for every name.
    assert "t.fine" in html.unescape(pages["/mutes"].text.split('id="passing"')[1])
    assert "t.ports" not in pages["/mutes"].text.split('id="passing"')[1]
    assert "u.* @xxx" in pages["/owners"].text
    signature = html.unescape(pages["/signatures/" + ports[0]].text)
    assert "port &lt;num&gt; down" in pages["/signatures/" + ports[0]].text and "held by 3 jobs" in signature
    assert [client.get(u).status_code for u in ("/signatures/0000000000000000", "/signatures/zz", "/known-issues/99")] \
        == [404, 400, 404]
