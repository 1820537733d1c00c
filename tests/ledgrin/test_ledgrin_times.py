"""Run times in whole seconds: exact datetimes are cut natively, anything else
through its own replace."""
import datetime as dt
import types

import pytest

import legacy_fakes as fakes
from kovra.reporter.ledgrin import Ledgrin

EAST = dt.timezone(dt.timedelta(hours=2))


def step(start, stop):
    return types.SimpleNamespace(starttime=start, stoptime=stop, description=None, details=[], extra={},
                                 sections=[])


def runtime(start, stop):
    target = fakes.Step()
    Ledgrin("/x", None)._handle_step(target, step(start, stop))
    return target.runtime


@pytest.mark.parametrize("start, stop", [
    (dt.datetime(2026, 12, 8, 10, 0, 0, 900000), dt.datetime(2026, 12, 8, 10, 0, 1, 100000)),
    (dt.datetime(2026, 12, 8, 23, 59, 59, 999999, tzinfo=EAST), dt.datetime(2026, 12, 9, 0, 0, 0, 1, tzinfo=EAST)),
    (dt.datetime(2026, 10, 25, 1, 30, 0, 5, fold=0), dt.datetime(2026, 10, 25, 1, 30, 7, 5, fold=1)),
])
def test_exact_datetimes_give_what_replace_gives(start, stop):
    assert runtime(start, stop) == stop.replace(microsecond=0) - start.replace(microsecond=0)


def test_aware_and_naive_times_fail_as_replace_and_subtraction_do():
    with pytest.raises(TypeError):
        runtime(dt.datetime(2026, 1, 1, tzinfo=EAST), dt.datetime(2026, 1, 1, 0, 0, 1))


class Clock(dt.datetime):
    def replace(self, **changes):
        return dt.datetime(2026, 1, 1) if changes == {"microsecond": 0} else NotImplemented


def test_a_datetime_subclass_is_cut_by_its_own_replace():
    assert runtime(Clock(2020, 1, 1), dt.datetime(2026, 1, 1, 0, 0, 5, 7)) == dt.timedelta(seconds=5)
