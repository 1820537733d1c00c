"""Stand-in for the framework's ``kovra.results`` package, which is not shipped here.

Provides the result values (``Passed``, ``Failed``, ...), their combination
rules and the ``ResultCounter`` the reporter keeps its summaries in.
"""

import copy

__all__ = ["TestResult", "ResultCounter", "Passed", "Passx", "Failed",
           "Errored", "Aborted", "Blocked", "Skipped"]

# Severity used when combining results, least to most severe. Combining two
# results keeps the more severe one; this table is the only place it is defined.
_SEVERITY = {
    "skipped": 0,
    "passed": 1,
    "passx": 2,
    "blocked": 3,
    "failed": 4,
    "aborted": 5,
    "errored": 6,
}


def _name_of(text):
    name = str(text).lower()
    if name not in _SEVERITY:
        raise ValueError("unknown test result %r; expected one of: %s"
                         % (str(text), ", ".join(_SEVERITY)))
    return name


class TestResult:
    """One test result, identified by its lower-case name (``value``).

    Values are never changed by combination: ``a + b`` and ``a += b`` build a
    new value. That matters because shared constants such as ``Passed`` are
    handed around as defaults. ``reason`` and ``data`` travel with a value
    but take no part in equality or hashing, which compare the name only.
    """

    __slots__ = ("_value", "reason", "data")

    def __init__(self, value, reason=None, data=None):
        self._value = _name_of(value)
        self.reason = reason
        self.data = data

    @property
    def value(self):
        return self._value

    @classmethod
    def from_str(cls, text):
        """Return a fresh result named by ``text`` (case-insensitive; anything whose str() is a name)."""
        # A fresh value, not the module constant, so callers may set reason/data freely.
        return cls(text)

    def clone(self):
        """An equal value with its own copy of ``data`` (deep-copied)."""
        return type(self)(self._value, reason=self.reason, data=copy.deepcopy(self.data))

    # No __iadd__: ``x += y`` falls back to __add__ and rebinds x.
    def __add__(self, other):
        if not isinstance(other, TestResult):
            return NotImplemented
        # Ties keep the left operand's reason/data.
        worse = other if _SEVERITY[other._value] > _SEVERITY[self._value] else self
        return worse.clone()

    def __eq__(self, other):
        if not isinstance(other, TestResult):
            return NotImplemented
        return self._value == other._value

    def __hash__(self):
        return hash(self._value)

    def __str__(self):
        return self._value

    def __repr__(self):
        return "TestResult(%r)" % self._value


Passed = TestResult("passed")
Passx = TestResult("passx")
Failed = TestResult("failed")
Errored = TestResult("errored")
Aborted = TestResult("aborted")
Blocked = TestResult("blocked")
Skipped = TestResult("skipped")


class ResultCounter:
    """Counts of results by name, plus the derived ``total`` and ``success_rate``.

    Keys are strings: the result names, or any custom result text. A key never
    written reads as 0, so ``counter[name] += 1`` works on a fresh counter.
    ``total`` and ``success_rate`` are always derived from the counts; writes
    to those keys are ignored so roll-ups may copy all keys blindly without
    the stored counts ever disagreeing with them.

    There is deliberately no __len__ or __bool__: callers test values with
    truthiness and ``in [None, [], {}]``, and an empty counter must still
    count as a real counter there.
    """

    _DERIVED = ("total", "success_rate")

    # Not iterable: without this, Python would iterate by calling __getitem__(0).
    __iter__ = None
    __hash__ = None

    def __init__(self):
        self.data = {}
        self.weight = 1.0

    @staticmethod
    def _check_key(key):
        if not isinstance(key, str):
            raise TypeError("ResultCounter keys must be str, not %s" % type(key).__name__)

    def __getitem__(self, key):
        self._check_key(key)
        if key in self._DERIVED:
            return getattr(self, key)
        return self.data.get(key, 0)

    def __setitem__(self, key, count):
        self._check_key(key)
        if key in self._DERIVED:
            return
        if not isinstance(count, int) or isinstance(count, bool):
            raise TypeError("ResultCounter counts must be int, not %s" % type(count).__name__)
        self.data[key] = count

    def items(self):
        """(result name, count) pairs of the stored counts, in insertion order."""
        return self.data.items()

    @property
    def total(self):
        return sum(self.data.values())

    @property
    def success_rate(self):
        """100 * (passed + passx) / total * weight, rounded to 2 decimals; 0.0 when total is 0."""
        total = self.total
        if total == 0:
            return 0.0
        good = self.data.get("passed", 0) + self.data.get("passx", 0)
        return round(100.0 * good / total * self.weight, 2)

    def __eq__(self, other):
        # Counts only; weight is a presentation factor.
        if not isinstance(other, ResultCounter):
            return NotImplemented
        return self.data == other.data

    def __repr__(self):
        counts = " ".join("%s=%d" % item for item in self.data.items())
        return "<ResultCounter %s total=%d success_rate=%.2f>" % (
            counts or "(empty)", self.total, self.success_rate)
