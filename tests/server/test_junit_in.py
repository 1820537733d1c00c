"""JUnit XML in: files written by real runners in the test itself, the dialects, and what is refused."""
import gzip
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import AUTH

pytest.importorskip("defusedxml", reason="python3-defusedxml is not installed (tools/setup installs it)")

NPM_FOLDER = os.path.join(os.path.expanduser("~"), ".cache", "kovra-npm-junit")
RESULT_WORDS = {"passed": "passed", "failed": "failed", "error": "errored", "errors": "errored",
                "skipped": "skipped", "xfailed": "skipped", "xpassed": "passed"}


def put_xml(client, job, data, kind="application/xml", **query):
    return client.put("/api/jobs/%s" % job, content=data, params=query, headers=dict(AUTH, **{"Content-Type": kind}))


def counts_of(client, job):
    counts = client.get("/api/jobs/%s" % job).json()["counts"]
    return {k: v for k, v in counts.items() if k in ("passed", "failed", "errored", "skipped") and v}


PYTEST_SUITE = '''
import pytest

@pytest.fixture
def broken():
    raise RuntimeError("fixture fell over")

def test_one(): assert 1
def test_two(): assert 2
def test_fails(): assert 1 == 2, "one is not two"
def test_errors(broken): pass
@pytest.mark.skip(reason="not today")
def test_skipped(): pass
@pytest.mark.xfail(reason="known bug")
def test_xfail(): assert 0
class TestGroup:
    def test_out(self): print("hello from a test"); assert True
'''


def run_pytest(folder):
    (folder / "test_sample.py").write_text(PYTEST_SUITE)
    out = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "-o", "junit_logging=all", "--junitxml",
                          str(folder / "junit.xml"), "test_sample.py"], cwd=folder, capture_output=True,
                         text=True, timeout=120)
    last = out.stdout.strip().splitlines()[-1]
    printed = {}
    for number, word in re.findall(r"(\d+) (\w+)", last):
        if word in RESULT_WORDS:
            printed[RESULT_WORDS[word]] = printed.get(RESULT_WORDS[word], 0) + int(number)
    return folder / "junit.xml", printed, last


CMAKE_PROJECT = '''cmake_minimum_required(VERSION 3.21)
project(tiny NONE)
enable_testing()
add_test(NAME works COMMAND ${CMAKE_COMMAND} -E true)
add_test(NAME also_works COMMAND ${CMAKE_COMMAND} -E echo fine)
add_test(NAME breaks COMMAND ${CMAKE_COMMAND} -E false)
'''


def run_ctest(folder):
    if not shutil.which("cmake") or not shutil.which("ctest"):
        pytest.skip("cmake and ctest are not installed")
    (folder / "CMakeLists.txt").write_text(CMAKE_PROJECT)
    subprocess.run(["cmake", "-S", str(folder), "-B", str(folder / "build")], check=True, capture_output=True,
                   timeout=120)
    out = subprocess.run(["ctest", "--test-dir", str(folder / "build"), "--output-junit", str(folder / "ctest.xml")],
                         capture_output=True, text=True, timeout=120)
    found = re.search(r"(\d+)% tests passed, (\d+) tests failed out of (\d+)", out.stdout)
    failed, total = int(found.group(2)), int(found.group(3))
    return folder / "ctest.xml", {"passed": total - failed, "failed": failed}, found.group(0)


MOCHA_SUITE = '''
const assert = require('assert');
describe('maths', function () {
  it('adds', function () { assert.strictEqual(1 + 1, 2); });
  it('fails', function () { assert.strictEqual(1 + 1, 3); });
  it.skip('later', function () {});
});
describe('io', function () { it('reads', function () {}); it('writes', function () {}); });
'''


def run_mocha(folder):
    modules = os.path.join(NPM_FOLDER, "node_modules")
    if not shutil.which("node") or not shutil.which("npm"):
        pytest.skip("node and npm are not installed")
    if not os.path.isdir(os.path.join(modules, "mocha-junit-reporter")):
        os.makedirs(NPM_FOLDER, exist_ok=True)
        try:
            done = subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--silent", "mocha@10",
                                   "mocha-junit-reporter@2"], cwd=NPM_FOLDER, capture_output=True, timeout=300)
        except subprocess.TimeoutExpired:
            pytest.skip("npm did not install mocha within 300 s (registry unreachable?)")
        if done.returncode:
            pytest.skip("npm cannot install mocha here (registry unreachable?): %s" % done.stderr[-300:])
    (folder / "t.spec.js").write_text(MOCHA_SUITE)
    mocha = os.path.join(modules, "mocha", "bin", "mocha.js")
    spec = subprocess.run(["node", mocha, "t.spec.js"], cwd=folder, capture_output=True, text=True, timeout=120)
    printed = {}
    for number, word in re.findall(r"^\s+(\d+) (passing|failing|pending)", spec.stdout, re.M):
        printed[{"passing": "passed", "failing": "failed", "pending": "skipped"}[word]] = int(number)
    env = dict(os.environ, MOCHA_FILE=str(folder / "mocha.xml"))
    subprocess.run(["node", mocha, "--reporter", os.path.join(modules, "mocha-junit-reporter"),
                    "--reporter-options", "includePending=true", "t.spec.js"], cwd=folder, env=env,
                   capture_output=True, timeout=120)
    return folder / "mocha.xml", printed, spec.stdout.strip().splitlines()[:0]


FAILING = {"run_pytest": "test_fails", "run_ctest": "breaks", "run_mocha": "maths fails"}


@pytest.mark.parametrize("runner", [run_pytest, run_ctest, run_mocha], ids=["pytest", "ctest", "mocha"])
def test_real_runners_files_give_the_counts_they_printed(client, tmp_path, runner):
    path, printed, _line = runner(tmp_path)
    assert sum(printed.values()) >= 3 and printed.get("failed")
    answer = put_xml(client, "runner", path.read_bytes())
    assert answer.status_code == 200, answer.text
    assert counts_of(client, "runner") == printed
    row = client.get("/api/jobs/runner").json()
    assert row["result"] in ("failed", "errored")
    report = client.get("/api/jobs/runner/report").json()["report"]
    failing = [s["name"] for t in report["tasks"] for s in t["sections"] if s["result"]["value"] == "failed"]
    assert failing == [FAILING[runner.__name__]]


def test_pytest_file_by_its_content_and_gzip_with_outputs_as_logs(client, tmp_path):
    path, printed, _ = run_pytest(tmp_path)
    packed = gzip.compress(path.read_bytes())
    answer = client.put("/api/jobs/sniffed", content=packed, headers=AUTH)
    assert answer.status_code == 200, answer.text
    assert counts_of(client, "sniffed") == printed
    report = client.get("/api/jobs/sniffed/report").json()["report"]
    cases = {s["name"]: s for s in report["tasks"][0]["sections"]}
    assert cases["test_fails"]["result"]["reason"].startswith("AssertionError: one is not two")
    assert "assert 1 == 2" in "".join(cases["test_fails"]["details"])
    assert cases["test_errors"]["result"]["value"] == "errored"
    logs = cases["test_out"]["logs"]
    text = client.get("/api/jobs/sniffed/logs/%s" % logs["file"],
                      params={"start": logs["begin"], "stop": logs["begin"] + logs["size"]}).text
    assert "hello from a test" in text


def test_our_own_junit_export_uploaded_again_gives_the_same_counts(client, tmp_path):
    from kovra.reporter import runset
    from kovra.reporter.junit import to_junit
    job = runset.RunSet(id="again", seq_num=0)
    job.start()
    results = [["passed", "failed", "passed"], ["errored", "skipped", "passed", "passed"]]
    for t, row in enumerate(results):
        task = job.add_task(id="task%d" % t, seq_num=t)
        task.start()
        for s, value in enumerate(row):
            section = task.add_section(id="case%d" % s, seq_num=s, type="Testcase")
            section.start()
            section.stop(result=runset.TestResult(value, reason="because %d" % s))
        task.stop()
    job.stop()
    source = json.loads(job.dump_json())
    sent = client.put("/api/jobs/source", content=job.dump_json().encode(), headers=AUTH)
    assert sent.status_code == 200, sent.text
    xml = to_junit({"report": json.loads(client.get("/api/jobs/source/report").text)["report"]})
    assert put_xml(client, "again", xml).status_code == 200
    want = {k: v for k, v in source["report"]["summary"].items() if k in ("passed", "failed", "errored", "skipped")}
    assert counts_of(client, "again") == counts_of(client, "source") == want


FLAKY = b'''<testsuite name="surefire" tests="3">
 <testcase name="settles" classname="a.B"><flakyFailure message="first try" type="java.lang.AssertionError">
   <stackTrace>at a.B.settles</stackTrace></flakyFailure></testcase>
 <testcase name="never" classname="a.B"><failure message="third try"/><rerunFailure message="first"/>
   <rerunFailure message="second"/></testcase>
 <testcase name="never" classname="a.C"/>
</testsuite>'''
MANY = b'''<testsuites><testsuite name="s"><testcase name="two">
 <failure message="first">one</failure><failure>second text
more</failure><error message="broke"/></testcase></testsuite></testsuites>'''
CDATA = b'''<testsuites><testsuite name="s" time="1,234.5" timestamp="2026-03-01T10:00:00Z">
 <properties><property name="os" value="linux"/><property name="note">in text</property></properties>
 <testcase name="c" time="0.5"><failure><![CDATA[<not markup> & first line
second]]></failure></testcase>
 <system-out><![CDATA[suite says <hi>]]></system-out></testsuite></testsuites>'''
NESTED = b'''<testsuites><testsuite name="outer"><testsuite name="inner"><testcase name="deep">
 <skipped message="later"/></testcase><testcase name="ok"/></testsuite><testcase name="top"/></testsuite>
</testsuites>'''


@pytest.mark.parametrize("data, check", [
    (FLAKY, lambda r: (r["extra"]["flaky"] == 1
                       and [s["result"]["value"] for s in r["tasks"][0]["sections"]] == ["passed", "failed", "passed"]
                       and r["tasks"][0]["sections"][0]["extra"]["flaky"] is True
                       and [x["message"] for x in r["tasks"][0]["sections"][1]["extra"]["reruns"]] == ["first", "second"]
                       and [s["id"] for s in r["tasks"][0]["sections"]] == ["settles", "never", "a.C.never"])),
    (MANY, lambda r: (r["tasks"][0]["sections"][0]["result"] == {"value": "errored", "reason": "broke"}
                      and len(r["tasks"][0]["sections"][0]["details"]) == 2)),
    (CDATA, lambda r: (r["tasks"][0]["sections"][0]["result"]["reason"] == "<not markup> & first line"
                       and r["tasks"][0]["runtime"] == 1234.5 and r["tasks"][0]["starttime"].startswith("2026-03-01 10:00")
                       and r["tasks"][0]["extra"] == {"os": "linux", "note": "in text"})),
    (NESTED, lambda r: ([s["id"] for s in r["tasks"][0]["sections"]] == ["inner", "top"]
                        and r["tasks"][0]["sections"][0]["result"]["value"] == "skipped"
                        and r["summary"]["total"] == 3 and r["summary"]["skipped"] == 1)),
], ids=["surefire-reruns", "several-failures", "cdata-properties", "nested-suites"])
def test_dialects(client, data, check):
    answer = put_xml(client, "dialect", data)
    assert answer.status_code == 200, answer.text
    assert check(client.get("/api/jobs/dialect/report").json()["report"])


def test_very_large_output_is_kept_whole_in_the_log(client):
    out = ("x" * 99 + "\n") * 50_000
    data = ('<testsuite name="big"><testcase name="loud"><system-out>%s</system-out></testcase>'
            '<system-err>tail end</system-err></testsuite>' % out).encode()
    assert put_xml(client, "loud", data, kind="text/xml").status_code == 200
    logs = client.get("/api/jobs/loud/logs").json()["logs"]
    assert list(logs.values())[0] > len(out)
    assert client.get("/api/jobs/loud/logs/%s" % list(logs)[0]).text.endswith("tail end\n")


@pytest.mark.parametrize("data, status, words", [
    (b'<?xml version="1.0"?><!DOCTYPE t [<!ENTITY a "aaaa"><!ENTITY b "&a;&a;&a;">]>'
     b'<testsuite name="s"><testcase name="&b;"/></testsuite>', 400, "DTD"),
    (b'<!DOCTYPE testsuite SYSTEM "file:///etc/passwd"><testsuite name="s"/>', 400, "DTD"),
    (b'<testsuite name="s"><testcase name="a"></testsuite>', 400, "not well formed"),
    (b'<testcase name="alone"/>', 400, "outside any testsuite"),
    (b'<testsuites><testcase name="loose"/></testsuites>', 400, "outside any testsuite"),
    (b'<html><body/></html>', 400, "not JUnit XML"),
    (b'<testsuite name="s">' + b'<testcase name="c"/>' * 3000 + b'</testsuite>', 413, "larger than"),
], ids=["entities", "external-dtd", "malformed", "root-testcase", "loose-testcase", "not-junit", "too-large"])
def test_bad_xml_is_refused_in_one_line_and_nothing_is_stored(make_client, data, status, words):
    client = make_client(max_upload_bytes=50_000)
    answer = put_xml(client, "bad", data)
    assert answer.status_code == status
    error = answer.json()["error"]
    assert words in error and "\n" not in error
    assert client.get("/api/jobs/bad").status_code == 404


def test_upload_command_sends_a_junit_file(start_server, tmp_path):
    path, printed, _ = run_ctest(tmp_path)
    server = start_server()
    env = dict(os.environ, KOVRA_REPORTER_TOKEN="test-token-1", PYTHONPATH=os.path.dirname(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
    done = subprocess.run([sys.executable, "-m", "kovra.reporter", "upload", str(path), server.url + "/jobs/ctest-1"],
                          capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "job ctest-1: snapshot 1, finished" in done.stdout
    from kovra.reporter.client import ServerClient
    with ServerClient(server.url, "ctest-1") as client:
        counts = client.job_info()["counts"]
    assert {k: counts.get(k) for k in printed} == printed
