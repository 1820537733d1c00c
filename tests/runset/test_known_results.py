"""The result classes' answers known without running their code.

Where kovra.results' comparisons and derived properties are the code the
module was built for, dump_json and dump_yaml give what they return without
running them. Every answer must be the one the code gives, and anything
replaced, added or too deep for certainty must have the code itself run.
"""
import builtins
import json
import math
import os

import pytest
import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kovra.results
from kovra.reporter import runset
from kovra.results import Failed, ResultCounter
from kovra.results import TestResult as Result
from support.roads import code_run, outcome
from support.startup import run_python

RESULTS_FILE = os.path.realpath(kovra.results.__file__)
TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def generic_json(node):
    return json.dumps(runset.ReportHeader(node).as_dict(), cls=runset.JSONDumper)


def generic_yaml(node):
    return yaml.dump(runset.ReportHeader(node).as_dict(), Dumper=runset.YAMLDumper, default_flow_style=False)


def results_code_run(call):
    """call()'s outcome, and the names of kovra.results' functions that ran for it."""
    return code_run(call, lambda code: os.path.realpath(code.co_filename) == RESULTS_FILE)


def counter(counts, weight=1.0):
    made = ResultCounter()
    made.data = dict(counts)
    made.weight = weight
    return made


def job(counters=(), results=(Failed,)):
    rs = runset.RunSet(id="job", seq_num=0)
    task = rs.add_task(id="t", seq_num=1)
    for index, result in enumerate(results):
        task.add_section(id="s%d" % index, seq_num=index + 1).result = result
    for index, made in enumerate(counters):
        task.extra["c%d" % index] = made
    task.summary = counters[0] if counters else ResultCounter()
    return rs


def assert_both_roads_alike(rs):
    assert outcome(rs.dump_json) == outcome(lambda: generic_json(rs))
    assert outcome(rs.dump_yaml) == outcome(lambda: generic_yaml(rs))


counts = st.dictionaries(st.sampled_from(["passed", "passx", "failed", "errored", "custom"]),
                         st.one_of(st.integers(-5, 50), st.integers(-2 ** 70, 2 ** 70)), max_size=4)
weights = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-10, 10),
                    st.integers(-2 ** 70, 2 ** 70), st.just(True))
results = st.builds(Result, st.sampled_from(["passed", "failed", "passx"]),
                    st.one_of(st.none(), st.text(max_size=3)), st.one_of(st.none(), st.just({}), st.just([1])))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(counts, weights), min_size=1, max_size=3), st.lists(results, max_size=3))
def test_answers_are_what_the_classes_code_gives(made, given_results):
    assert_both_roads_alike(job([counter(c, w) for c, w in made], given_results))


def test_plain_results_and_counters_run_none_of_their_code():
    rs = job([counter({"passed": 3, "failed": 1}, 0.5), counter({})], [Failed, Result("passed", reason="r")])
    for dump in (rs.dump_json, rs.dump_yaml):
        (kind, _), ran = results_code_run(dump)
        assert kind == "text" and ran == [], dump
    # An answer that needs more than a machine word, or a weight that is no
    # number, is left to the code itself.
    for odd in (counter({"passed": 2 ** 64, "failed": 2 ** 64}), counter({"passed": 1}, "heavy")):
        (_, _), ran = results_code_run(job([odd]).dump_json)
        assert "total" in ran
    assert_both_roads_alike(job([counter({"passed": 2 ** 64, "failed": 2 ** 64})]))
    assert outcome(job([counter({"passed": 1}, "heavy")]).dump_json)[0] is TypeError


def counting(calls, function):
    def wrapper(*args):
        calls.append(function.__name__)
        return function(*args)
    return wrapper


def reinit(cls, name, getter):
    """Rebinds a property's getter in place (the class keeps the same object);
    returns what puts the old one back."""
    prop = vars(cls)[name]
    old = prop.fget
    prop.__init__(getter)

    def undo():
        prop.__init__(old)
        # Stored again, so that the interpreter drops the getter its specialised
        # reads cached: a getter rebound in place does not tell them, and 3.11
        # would go on calling the replaced one after it is freed.
        setattr(cls, name, prop)
    return undo


@pytest.mark.parametrize("replace", [
    lambda mp, calls: mp.setattr(Result, "__eq__", counting(calls, Result.__eq__)),
    lambda mp, calls: mp.setattr(ResultCounter, "__eq__", counting(calls, ResultCounter.__eq__)),
    lambda mp, calls: mp.setattr(Result, "value", property(counting(calls, Result.value.fget))),
    lambda mp, calls: mp.setattr(ResultCounter, "success_rate",
                                 property(counting(calls, ResultCounter.success_rate.fget))),
    lambda mp, calls: mp.setattr(ResultCounter.total.fget, "__code__",
                                 (lambda self: sum(self.data.values()) + 1000).__code__),
    lambda mp, calls: mp.setattr(builtins, "round", counting(calls, round)),
    lambda mp, calls: mp.setattr(builtins, "sum", counting(calls, sum)),
    lambda mp, calls: mp.setattr(builtins, "isinstance", counting(calls, isinstance)),
    lambda mp, calls: mp.setattr(kovra.results, "round", counting(calls, round), raising=False),
    lambda mp, calls: mp.setattr(kovra.results, "ResultCounter", type("Other", (), {})),
    lambda mp, calls: mp.setattr(ResultCounter, "weight", 2.0, raising=False),
    lambda mp, calls: reinit(ResultCounter, "total", counting(calls, ResultCounter.total.fget)),
    lambda mp, calls: reinit(Result, "value", counting(calls, Result.value.fget)),
], ids=["result-eq", "counter-eq", "value", "success_rate", "total-code", "round", "sum", "isinstance",
        "shadowed-round", "rebound-class", "class-weight", "total-reinit", "value-reinit"])
def test_anything_replaced_has_the_code_itself_run(monkeypatch, replace):
    rs = job([counter({"passed": 1, "failed": 3}, 0.75)], [Failed])
    calls = []
    undo = replace(monkeypatch, calls)
    try:
        (kind, text), ran = results_code_run(rs.dump_json)
        assert (kind, text) == outcome(lambda: generic_json(rs))
        # The replaced code ran: seen as its calls, kovra.results' frames, or (code
        # swapped inside a function) its answer.
        assert calls or ran or '"total": 1004' in text, "the known answers were taken after a replacement"
        assert outcome(rs.dump_yaml) == outcome(lambda: generic_yaml(rs))
    finally:
        if undo:
            undo()


def test_a_change_made_while_dumping_is_met_by_the_values_after_it(monkeypatch):
    # A property of the first section swaps success_rate; the counter after it
    # must show the swapped one, as the generic road does.
    class Swapping(runset.Section):
        @property
        def description(self):
            ResultCounter.success_rate = property(lambda self: "swapped")
            return "d"

    def build():
        rs = runset.RunSet(id="job", seq_num=0)
        task = rs.add_task(id="t", seq_num=1)
        task.sections.append(Swapping(id="s", seq_num=1, parent=task))
        task.sections[0].__dict__["_ARG_ORDER"] = ["id", "description"]
        rs.extra["later"] = counter({"passed": 1})
        return rs

    original = ResultCounter.success_rate
    monkeypatch.setattr(ResultCounter, "success_rate", original)
    fast = outcome(build().dump_json)
    ResultCounter.success_rate = original
    assert fast == outcome(lambda: generic_json(build()))
    assert '"success_rate": "swapped"' in fast[1]


def test_the_depth_limit_strikes_both_roads_at_the_same_depth(tmp_path):
    # In a fresh interpreter: 3.14 counts a call of the results' code one level
    # more or less as its sites are specialised, and other tests leave them so.
    out = run_python(f"""
        import sys
        sys.path.insert(0, {TESTS_DIR!r})
        from kovra.reporter import runset
        from kovra.results import ResultCounter, TestResult
        from support.roads import at_depth, depth_room

        summary = ResultCounter()
        summary.data = {{"passed": 1, "failed": 2}}
        section = runset.Section(id="s", seq_num=1)
        section.update({{"result": TestResult("failed", reason="r"), "summary": summary}})

        def sweep():
            top = depth_room()
            return [at_depth(depth, section.dump_json) for depth in range(top - 60, top - 3)]

        known = sweep()
        # A namespace changed: the code itself runs, with its own depth checks.
        ResultCounter.marker = 1
        ran = []
        sys.setprofile(lambda frame, event, arg: event == "call" and ran.append(frame.f_code.co_name))
        section.dump_json()
        sys.setprofile(None)
        print("success_rate" in ran, known == sweep(), sorted({{str(kind) for kind, _ in known}}))
    """, tmp_path)
    assert out == ["True True [\"<class 'RecursionError'>\", 'text']"]


def test_rates_round_as_the_interpreter_rounds():
    # Halves and near-halves at two decimals, through every step of the formula.
    for passed, total, weight in [(1, 8, 1.0), (5, 8, 0.1), (1, 3, 1.0), (2, 3, 0.5), (1, 6, 1.0),
                                  (7, 9, 1e-300), (3, 7, 1e300), (1, 1, -0.0), (0, 5, 2)]:
        made = counter({"passed": passed, "failed": total - passed}, weight)
        expected = ResultCounter.success_rate.fget(made)
        for _ in range(2):  # the second time, a rate met before
            shown = json.loads(job([made]).dump_json())["report"]["tasks"][0]["extra"]["c0"]["success_rate"]
            assert shown == expected or (math.isnan(shown) and math.isnan(expected))


@pytest.mark.parametrize("change", [
    # Other code under the same name: a comparison that also counts.
    "R.TestResult.__eq__ = lambda self, other: (calls.append(1), NotImplemented)[1]",
    # The same code with a default: not what the answers were built for.
    "R.ResultCounter.success_rate.fget.__defaults__ = (None,)",
], ids=["other-code", "default-added"])
def test_other_code_found_at_import_is_run_as_it_is(tmp_path, change):
    out = run_python(f"""
        import kovra.results as R
        calls = []
        {change}
        from kovra.reporter import runset
        rs = runset.RunSet(id="job", seq_num=0)
        rs.add_task(id="t", seq_num=1).add_section(id="s", seq_num=1).result = R.Failed
        rs.summary["passed"] = 2
        ran = []
        import sys
        sys.setprofile(lambda frame, event, arg: event == "call" and ran.append(frame.f_code.co_name))
        rs.dump_json()
        sys.setprofile(None)
        print(len(calls) + ran.count("success_rate") + ran.count("<lambda>") > 0)
    """, tmp_path)
    assert out == ["True"]
