"""Whole generate_xml runs on jobs from the report model: the native rendering writes
the same two files, or fails the same way, as the generic road."""
import itertools
import os
import tempfile
import types
import xml.etree.ElementTree as ET

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kovra.reporter import ledgrin
from kovra.reporter import runset as model

ALLOWED = ["a", " ", "\t", "\n", "\r", "\r\n", '"', "'", "&", "<", ">", "]]>", "\u00e9", "\U0001F600"]


def look_alike(module):
    return types.SimpleNamespace(**{name: getattr(module, name) for name in dir(module)})


texts = st.lists(st.sampled_from(ALLOWED + ["\x01", "\x1b", "\ud800"]), max_size=5).map("".join)


def model_job(texts_of_job):
    it = itertools.cycle(texts_of_job)
    rs = model.RunSet(id="job", seq_num=1)
    rs.start(cli="run " + next(it), host="h" + next(it), user=next(it), archivefile="a.zip", image=next(it))
    rs.add_detail(next(it))
    task = rs.add_task(id="task", seq_num=0)
    task.start(testscript="/s/x.py", parameters={"p": next(it)}, description=next(it))
    setup = task.add_section(id="setup", seq_num=0, type="CommonSetup")
    setup.start(description=next(it))
    sub = setup.add_section(id="sub", seq_num=0)
    sub.start(description=next(it))
    sub.stop(result=model.Passed)
    setup.stop(result=model.Passed)
    case = task.add_section(id="tc", seq_num=1)
    case.start(xref={"file": next(it), "line": 3}, description=next(it))
    for k in range(2):
        step = case.add_section(id="step%d" % k, seq_num=k)
        step.start(description=next(it))
        step.add_detail(next(it))
        step.update({"note": [next(it), {"k": next(it)}], "index": k})
        step.stop(result=model.Passed)
    case.stop(result=model.Passed)
    task.stop()
    rs.stop(num_tasks=1)
    return rs


def whole_run(rs, folder, forced_generic):
    saved = ledgrin.ET
    if forced_generic:
        ledgrin.ET = look_alike(ET)
    try:
        ledgrin.Ledgrin(folder, rs).generate_xml(None, None)
        error = None
    except Exception as exc:
        error = (type(exc), str(exc))
    finally:
        ledgrin.ET = saved
    files = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as stream:
            files[name] = stream.read()
    return error, files


@settings(max_examples=60, deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(texts, min_size=1, max_size=6))
def test_whole_jobs_write_the_same_files_as_the_generic_road(job_texts):
    rs = model_job(job_texts)
    with tempfile.TemporaryDirectory() as native, tempfile.TemporaryDirectory() as generic:
        result = whole_run(rs, native, False)
        assert result == whole_run(rs, generic, True)
    if result[0] is None:
        assert set(result[1]) == {"ResultsDetails.xml", "ResultsSummary.xml"}


def test_a_clean_job_is_rendered_natively(tmp_path):
    import sys

    printed = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "toprettyxml":
            printed.append(frame)

    rs = model_job(["text & <more> \"quoted\"\r\n", "\u00e9\t\U0001F600"])
    sys.setprofile(profile)
    try:
        native = whole_run(rs, str(tmp_path), False)
    finally:
        sys.setprofile(None)
    assert printed == [] and native[0] is None
    with tempfile.TemporaryDirectory() as generic:
        assert native == whole_run(rs, generic, True)
