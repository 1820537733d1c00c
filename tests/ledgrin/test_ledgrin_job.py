"""A whole job's report through Ledgrin into both result files, read back."""
import os
import xml.etree.ElementTree as ET

import pytest

from kovra.reporter.ledgrin import Ledgrin
from kovra.reporter.runset import RunSet
from kovra.results import Failed, Passed, Skipped

CONSOLE = "boot \x1b[32mok\x1b[0m \x0b\x0c done"
CONSOLE_ESCAPED = "boot \\x1b[32mok\\x1b[0m \\x0b\\x0c done"


def run_job(logdir, tasks=2):
    logfile = os.path.join(logdir, "task.log")
    open(logfile, "w").close()

    def log(text):
        with open(logfile, "a") as stream:
            stream.write(text + "\n")

    job = RunSet(id="job-7", seq_num=0)
    job.start(name="nightly", cli="run nightly", host="lab-host", user="tester", submitter="ci",
              archivefile="job-7.zip", kovrapath="/opt/kovra", kovraversion="9.1",
              testbed="tb-1", release="r2", image="img-3",
              vumb={"dnsname": "dut1", "status": "done", "cmd": "close", "error": "none"})
    job.add_detail("job console: " + CONSOLE)
    env = job.add_plugin(id="environment", seq_num=0)
    env.start()
    env.stop()

    for number in range(1, tasks + 1):
        task = job.add_task(id="task%d" % number, seq_num=number)
        task.start(logfile=logfile, testscript="/scripts/area/task%d.py" % number,
                   description="script \x01 %d" % number, parameters={"loops": number})
        task.add_detail(CONSOLE)

        setup = task.add_section(id="common_setup", seq_num=0, type="CommonSetup")
        setup.start(logfile=logfile)
        for sub_number in range(2):
            sub = setup.add_section(id="connect%d" % sub_number, seq_num=sub_number, type="Subsection")
            sub.start(logfile=logfile, name="connect %d" % sub_number, description="links \x02")
            step = sub.add_section(id="ping", seq_num=0, type="Step")
            step.start(logfile=logfile, name="ping \x03")
            log("ping")
            step.stop(result=Passed)
            sub.stop(result=Passed)
        setup.stop(result=Passed)

        case = task.add_section(id="tc%d" % number, seq_num=1, type="Testcase")
        case.start(logfile=logfile, name="case %d" % number, xref={"file": "/scripts/area/task%d.py" % number, "line": 40})
        load = case.add_section(id="p1", seq_num=0, type="LoadProcessor")
        load.start(logfile=logfile, name="load")
        load.stop(result=Passed)
        test = case.add_section(id="test", seq_num=1, type="TestSection")
        test.start(logfile=logfile, name="test", description="checks \x1b")
        parent = test
        for depth in range(3):
            step = parent.add_section(id="step%d" % depth, seq_num=depth, type="Step")
            step.start(logfile=logfile, name="level %d" % depth, description="raw <%d> \"q\"" % depth)
            step.update_extra({"index": depth, "continue_": depth == 1, "note": "n\x05"})
            log("step %d" % depth)
            parent = step
        for depth, result in zip(range(2, -1, -1), [Failed, Skipped, Passed]):
            parent.add_detail("depth %d says \x06" % depth)
            parent.stop(result=result)
            parent = parent._parent
        test.stop(result=Failed)
        case.stop(result=Failed)

        cleanup = task.add_section(id="common_cleanup", seq_num=2, type="CommonCleanup")
        cleanup.start(logfile=logfile)
        cleanup.stop(result=Passed)
        plugin = task.add_plugin(id="collector", seq_num=3)
        plugin.start(logfile=logfile)
        plugin.stop()
        task.stop()
    job.stop(num_tasks=tasks)
    return job


@pytest.fixture(scope="module")
def stored(tmp_path_factory):
    folder = tmp_path_factory.mktemp("job")
    job = run_job(str(folder))
    before = job.dump_json()
    Ledgrin(str(folder), job).generate_xml(None, None)
    assert job.dump_json() == before
    return job, folder


def details_tree(folder):
    return ET.parse(os.path.join(folder, "ResultsDetails.xml")).getroot()


def times_of(element):
    return element.get("starttime"), element.get("stoptime")


def check_section(element, section):
    """What every legacy section level carries, against the report node."""
    assert times_of(element) == (section.starttime.isoformat(), section.stoptime.isoformat())
    whole = section.stoptime.replace(microsecond=0) - section.starttime.replace(microsecond=0)
    assert element.get("runtime") == str(int(whole.total_seconds()))
    assert element.find("result").get("value") == str(section.result)
    location = element.find("logFile") if element.find("logFile") is not None else element.find("initInfo/logFile")
    assert (location.get("filePath"), location.get("begin"), location.get("size")) == (
        section.logs["file"], str(section.logs["begin"]), str(section.logs["size"]))
    assert [d.text for d in element.findall("runInfo/diag")] == [
        d.replace("\x06", "\\x06") for d in section.details]


def check_steps(element, section):
    steps = element.findall("testStep")
    assert [s.get("id") for s in steps] == [c.id for c in section.sections]
    for step_element, step in zip(steps, section.sections):
        check_section(step_element, step)
        check_steps(step_element, step)


def test_every_task_section_and_step_is_in_the_details(stored):
    job, folder = stored
    execution = details_tree(folder).find("runSet/jobExecution")
    scripts = execution.findall("testScript")
    assert [s.get("id") for s in scripts] == [t.id for t in job.tasks]
    for script, task in zip(scripts[1:], job.tasks[1:]):
        assert [c.tag for c in script if c.tag in ("testSection", "testCase")] == [
            "testSection", "testCase", "testSection", "testCase"]
        setup, case, cleanup, plugin = [c for c in script if c.tag in ("testSection", "testCase")]
        assert (setup.get("sectionId"), cleanup.get("sectionId")) == ("commonSetup", "commonCleanup")
        assert (case.get("tcId"), plugin.get("tcId")) == (task.id.replace("task", "tc"), "collector")
        for element, section in [(setup, task.sections[0]), (case, task.sections[1]), (cleanup, task.sections[2])]:
            check_section(element, section)
        for sub_element, sub in zip(setup.findall("commonSubSection"), task.sections[0].sections):
            assert (sub_element.get("name"), sub_element.find("description").text) == (sub.name, "links \\x02")
            check_section(sub_element, sub)
            check_steps(sub_element, sub)
        load, test = case.findall("testSection")
        assert (load.get("sectionId"), test.get("sectionId")) == ("p1 load", "test")
        assert test.find("extra/item[@key='description']").text == "checks \\x1b"
        check_steps(test, task.sections[1].sections[1])
        deepest = test.find("testStep/testStep/testStep")
        assert deepest.get("id") == "step2" and deepest.find("result").get("value") == "failed"
        assert deepest.find("description").text == 'raw <2> "q"'
        assert deepest.get("index") == "2" and deepest.get("continue") == "False"
        assert [i.get("key") for i in deepest.findall("extra/item")] == ["note"]


def test_script_and_job_texts_are_escaped(stored):
    job, folder = stored
    run_set = details_tree(folder).find("runSet")
    assert run_set.find("runInfo/diag").text == "job console: " + CONSOLE_ESCAPED
    script = run_set.find("jobExecution/testScript[@id='task1']")
    assert script.find("initInfo/description").text == "script \\x01 1"
    assert script.find("runInfo/diag").text == CONSOLE_ESCAPED
    assert script.find("initInfo/script").attrib == {"name": "task1.py", "path": "/scripts/area"}
    step = script.find("testSection/commonSubSection/testStep")
    assert step.get("name") == "ping \\x03"
    vumb = {item.get("key"): item for item in run_set.findall("vumb/item")}
    assert vumb["dnsname"].text == "dut1"
    assert {i.get("key"): i.text for i in vumb["post"]} == {"status": "done", "cmd": "close", "error": "none"}


def test_summary_file(stored):
    job, folder = stored
    root = ET.parse(os.path.join(folder, "ResultsSummary.xml")).getroot()
    assert root.tag == "jobSummary"
    assert list(root.attrib.items()) == [("archiveFilename", "job-7.zip"), ("kexTreePath", "/opt/kovra")]
    children = [child.tag for child in root]
    assert children[:2] == ["jobName", "image"]
    assert children[-9:] == ["starttime", "stoptime", "runtime", "testbed", "release", "submitter", "user",
                             "debugProfile", "host"]
    values = {child.tag: child.text for child in root}
    assert (values["jobName"], values["image"], values["testbed"], values["release"]) == (
        "nightly", "img-3", "tb-1", "r2")
    assert (values["submitter"], values["user"], values["debugProfile"], values["host"]) == (
        "ci", "tester", "0", "lab-host")
    assert values["passed"] == str(job.summary["passed"]) and values["failed"] == str(job.summary["failed"])
    with open(os.path.join(folder, "ResultsSummary.xml")) as stream:
        assert stream.readline() == '<?xml version="1.0" ?>\n'


def test_an_unescaped_step_description_loses_the_details_but_keeps_the_rough_text(tmp_path):
    job = run_job(str(tmp_path), tasks=1)
    job.tasks[1].sections[1].sections[1].sections[0].description = "raw \x04"
    with pytest.raises(Exception) as info:
        Ledgrin(str(tmp_path), job).generate_xml(None, None)
    assert type(info.value).__name__ == "ExpatError"
    assert b"<description>raw \x04</description>" in (tmp_path / "xml_rough_string").read_bytes()
    assert not (tmp_path / "ResultsDetails.xml").exists()
    assert not (tmp_path / "ResultsSummary.xml").exists()
