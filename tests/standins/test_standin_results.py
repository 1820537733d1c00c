import pytest

from kovra.results import (Aborted, Blocked, Errored, Failed, Passed, Passx,
                           ResultCounter, Skipped)
from kovra.results import TestResult as Result  # aliased so pytest does not collect it

LEAST_TO_MOST_SEVERE = [Skipped, Passed, Passx, Blocked, Failed, Aborted, Errored]
HEALTH_KEYS = ("passed", "passx", "failed", "errored", "aborted", "blocked",
               "skipped", "total", "success_rate")


class TestResultValues:
    def test_combination_takes_most_severe(self):
        for i, low in enumerate(LEAST_TO_MOST_SEVERE):
            for high in LEAST_TO_MOST_SEVERE[i:]:
                assert str(low + high) == str(high) == str(high + low) == high.value

    def test_add_and_iadd_never_mutate_operands(self):
        a, b = Result("passed", reason="a"), Result("failed", reason="b")
        c = a + b
        assert c is not b and (a + a) is not a
        assert (str(a), a.reason, str(b), str(c), c.reason) == ("passed", "a", "failed", "failed", "b")
        x = Passed
        x += Failed
        assert str(x) == "failed" and str(Passed) == "passed"
        with pytest.raises(TypeError):
            Passed + "failed"

    def test_equality_and_hash(self):
        assert Result("failed", reason="x") == Failed and Passed != Failed
        assert hash(Result("failed", reason="x")) == hash(Failed)
        assert Passed not in [None, [], {}, "passed"]

    def test_clone_is_independent(self):
        original = Result("blocked", reason="r", data={"k": [1]})
        clone = original.clone()
        clone.data["k"].append(2)
        assert clone == original and original.data == {"k": [1]}

    def test_from_str(self):
        assert [str(Result.from_str(t)) for t in ("FAILED", "Passx", Skipped)] == ["failed", "passx", "skipped"]
        Result.from_str("passed").reason = "set by caller"
        assert Passed.reason is None
        with pytest.raises(ValueError, match="bogus"):
            Result.from_str("bogus")


class TestResultCounter:
    def test_unwritten_keys_read_zero(self):
        c = ResultCounter()
        assert c["custom text"] == 0
        c["passed"] += 1
        c["passed"] += 1
        assert c.data == {"passed": 2}

    def test_derived_values_and_weight(self):
        c = ResultCounter()
        assert (c["total"], c["success_rate"]) == (0, 0.0)
        c["passed"], c["passx"], c["failed"] = 1, 1, 1
        assert (c["total"], c["success_rate"]) == (3, 66.67)
        c.weight = 0.5
        assert c.success_rate == 33.33

    def test_roll_up_ignores_writes_to_derived_keys(self):
        parent, child = ResultCounter(), ResultCounter()
        child["failed"], child["passed"] = 2, 2
        for key in HEALTH_KEYS:
            parent[key] += child[key]
        parent["total"], parent["success_rate"] = 99, 12.5
        assert (parent.total, parent.success_rate) == (4, 50.0)
        assert [k for k, _ in parent.items()] == list(HEALTH_KEYS[:7])

    def test_type_errors(self):
        c = ResultCounter()
        for bad_key in (1, None, Passed):
            with pytest.raises(TypeError):
                c[bad_key] = 1
            with pytest.raises(TypeError):
                c[bad_key]
        for bad_count in (1.0, "1", True, None):
            with pytest.raises(TypeError):
                c["passed"] = bad_count
        assert c.data == {}

    def test_equality_and_truthiness(self):
        a, b = ResultCounter(), ResultCounter()
        assert a == b and bool(a) and a not in [None, [], {}]
        a["failed"] = 1
        assert a != b
        b["failed"], b.weight = 1, 2.0
        assert a == b
