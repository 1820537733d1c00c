"""The leak checker must flag growing callables and pass clean ones."""
import functools
import os
import subprocess
import sys
import textwrap
import warnings

import pytest

from support import refleak

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "support", "refleak.py")

debug_only = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter")

_hoard = []


def leak_object():
    _hoard.append(object())


def leak_every_third_call(state=[0]):
    state[0] += 1
    if state[0] % 3 == 0:
        _hoard.append([state[0]])


def leak_reference_only():
    # No new object: only an extra reference to an existing one.
    _hoard.append(None)


def clean_containers():
    d = {"a": [1, 2, 3], "b": ("x" * 50, 2.5)}
    d["c"] = list(d)


def clean_caught_error():
    try:
        {}["missing"]
    except KeyError:
        pass


def clean_cycle():
    # Garbage only the cycle collector frees.
    a = {}
    a["self"] = a


@functools.lru_cache(maxsize=None)
def _cached():
    return [object() for _ in range(20)]


def clean_after_first_call():
    _cached()


@debug_only
@pytest.mark.parametrize("func", [leak_object, leak_every_third_call, leak_reference_only])
def test_growing_callables_are_reported(func):
    res = refleak.check(func, warmup=2, rounds=3, calls=9)
    assert res.leaked, res
    assert res.ref_leak, res
    assert all(d >= 3 for d in res.ref_deltas), res


@debug_only
def test_new_objects_show_as_memory_blocks():
    res = refleak.check(leak_object, warmup=2, rounds=3, calls=10)
    assert res.block_leak, res
    assert res.ref_deltas == [10, 10, 10], res


@debug_only
@pytest.mark.parametrize("func", [clean_containers, clean_caught_error, clean_cycle,
                                  clean_after_first_call])
def test_clean_callables_are_not_reported(func):
    res = refleak.check(func)
    assert not res.leaked, res


@debug_only
def test_growth_in_one_round_only_is_tolerated():
    calls, warmup, rounds = 5, 2, 4
    # Grows once, inside the second measured round.
    trigger = (warmup + 1) * calls + 2
    count = [0]

    def blip():
        count[0] += 1
        if count[0] == trigger:
            _hoard.append(object())

    res = refleak.check(blip, warmup=warmup, rounds=rounds, calls=calls)
    assert res.ref_deltas[1] >= 1, res
    assert not res.leaked, res


@debug_only
def test_errors_raised_by_a_callable_propagate():
    def boom():
        raise RuntimeError("boom")

    with pytest.raises(RuntimeError):
        refleak.check(boom)


def _run_cli(tmp_path, body, *args):
    path = tmp_path / "scenarios.py"
    path.write_text(textwrap.dedent(body))
    return subprocess.run([sys.executable, SCRIPT, "--scenarios", str(path), *args],
                          capture_output=True, text=True, timeout=300)


SCENARIO_FILE = """
    _hoard = []

    def leaky_one():
        _hoard.append({})

    def tidy_one():
        {}.update(a=1)

    def broken_one():
        raise ValueError("unexpected")

    SCENARIOS = [leaky_one, tidy_one, broken_one]
"""


@debug_only
def test_cli_names_leaking_and_failing_scenarios(tmp_path):
    proc = _run_cli(tmp_path, SCENARIO_FILE)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    assert any(l.startswith("LEAK") and "leaky_one" in l for l in lines), proc.stdout
    assert any(l.startswith("ok") and "tidy_one" in l for l in lines), proc.stdout
    assert any(l.startswith("ERROR") and "broken_one" in l for l in lines), proc.stdout
    assert "refleak: 1 passed, 2 failed" in lines


@debug_only
def test_cli_passes_clean_scenarios(tmp_path):
    proc = _run_cli(tmp_path, SCENARIO_FILE, "-k", "tidy")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "refleak: 1 passed, 0 failed" in proc.stdout


@debug_only
def test_cli_fails_when_nothing_runs(tmp_path):
    proc = _run_cli(tmp_path, "SCENARIOS = []\n")
    assert proc.returncode == 1, proc.stdout + proc.stderr


@pytest.mark.skipif(hasattr(sys, "gettotalrefcount"), reason="needs a non-debug interpreter")
def test_cli_refuses_non_debug_interpreter(tmp_path):
    proc = _run_cli(tmp_path, SCENARIO_FILE)
    assert proc.returncode == 2
    assert "not a debug interpreter" in proc.stderr
    assert "LEAK" not in proc.stdout


# Watching memory blocks alone works on any interpreter: how code that only a
# release interpreter runs is checked. Blocks are counted by the interpreter's own
# allocator only (not under PYTHONMALLOC=malloc, as in the sanitizer run).

blocks_counted = pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="no memory blocks counted")


@blocks_counted
def test_blocks_only_reports_new_objects_and_passes_clean_ones():
    leaky = refleak.check(leak_object, warmup=2, rounds=3, calls=10, blocks_only=True)
    assert leaky.block_leak and leaky.leaked, leaky
    assert leaky.ref_deltas == [0, 0, 0], leaky
    for func in (clean_containers, clean_caught_error, clean_cycle, clean_after_first_call):
        res = refleak.check(func, blocks_only=True)
        assert not res.leaked, res


@blocks_counted
def test_the_check_itself_raises_no_warning_and_counts_nothing_of_its_own():
    # Under pytest every warning is recorded: one raised by the check's own calls
    # inside a window would be counted as the scenario's blocks.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        res = refleak.check(clean_containers, warmup=1, rounds=3, calls=1, blocks_only=True)
    assert caught == [], [str(w.message) for w in caught]
    assert res.block_deltas == [0, 0, 0], res


@blocks_counted
def test_cli_blocks_only_names_the_leaking_scenario(tmp_path):
    proc = _run_cli(tmp_path, SCENARIO_FILE, "--blocks-only")
    assert proc.returncode == 1, proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    assert any(l.startswith("LEAK") and "leaky_one" in l and "memory blocks" in l for l in lines), proc.stdout
    assert any(l.startswith("ok") and "tidy_one" in l for l in lines), proc.stdout
    assert "refleak: 1 passed, 2 failed" in lines


@blocks_counted
def test_cli_gives_a_scenario_the_warm_up_it_asks_for(tmp_path):
    # A cache that fills over the first 40 calls, then stays: growth at the default warm-up only.
    body = """
        _cache = []

        def filling_cache():
            if len(_cache) < 40:
                _cache.append(object())

        SCENARIOS = [filling_cache]
    """
    proc = _run_cli(tmp_path, body, "--blocks-only", "--warmup", "1", "--rounds", "3", "--calls", "4")
    assert proc.returncode == 1 and "LEAK" in proc.stdout, proc.stdout + proc.stderr
    proc = _run_cli(tmp_path, body + "    filling_cache.warmup = 12\n", "--blocks-only", "--warmup", "1",
                    "--rounds", "3", "--calls", "4")
    assert proc.returncode == 0 and "refleak: 1 passed, 0 failed" in proc.stdout, proc.stdout + proc.stderr


@pytest.mark.skipif(sys.getallocatedblocks() != 0, reason="memory blocks are counted here")
def test_cli_blocks_only_refuses_where_no_block_is_counted(tmp_path):
    proc = _run_cli(tmp_path, SCENARIO_FILE, "--blocks-only")
    assert proc.returncode == 2, proc.stdout + proc.stderr
    assert "counts no memory blocks" in proc.stderr
    assert "LEAK" not in proc.stdout and "ok" not in proc.stdout
