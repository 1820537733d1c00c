"""Scenarios for refleak.py: the YAML reader (kovra.reporter._yaml), what it
builds, each way it refuses a text, and the PyYAML road yaml_load falls back to."""
import datetime

from kovra.reporter import _yaml, runset, yaml_load

_EVERY_TYPE = """
bools: [yes, No, on, OFF, true]
ints: [0, -7, 1_000, 0b101, 0x1F, 017, 190:20:30, 123456789012345678901234567890]
floats: [1.5, -.5e-3, .inf, -.Inf, .nan, 1:30.5]
nulls: [~, null, ]
times: [2001-12-14, 2001-12-14t21:59:43.10-05:00, 2001-12-15T02:59:43.1Z, 2001-12-14 21:59:43.1234567]
base: &b {x: 1, y: [1, 2]}
merged: {<<: [*b, {z: 3}], y: 0}
binary: !!binary aGVsbG8=
set: !!set {a, b}
omap: !!omap [a: 1, b: 2]
pairs: !!pairs [a: 1, a: 2]
styles: ['single', "double \\u263A", plain
    folded]
literal: |
  two
  lines
folded: >-
  folded
  text
self: &s [*s]
"""

_BAD = [
    "a: [1, 2\nb: 3\n",           # libyaml's error
    "a: !!int x\n",               # a constructor's Python error
    "- {[1]: 2}\n",               # unhashable key
    "a: *nothing\n",              # undefined alias
    "a: !foo 1\n",                # unknown tag
    "{<<: 1}",                    # merge of a scalar
    "!!omap [{a: 1, b: 2}]",      # omap item of two entries
    "x: 1\n---\ny: 2\n",          # two documents
    "a: b\t",                     # a tab PyYAML refuses
    "&a [&a 1]",                  # duplicate anchor
    "a:\n b: \ud800",             # lone surrogate in a str
]


def _job_text():
    job = runset.RunSet(id="job", seq_num=0)
    job.start(host="h")
    task = job.add_task(id="t", seq_num=1)
    task.start(parameters={"when": datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)})
    task.add_section(id="s", seq_num=0).stop()
    task.stop()
    job.stop(num_tasks=1)
    return job.dump_yaml()


_JOB = _job_text()


def every_type():
    _yaml.load(_EVERY_TYPE)


def a_stored_report_as_bytes():
    _yaml.load(_JOB.encode("utf-8"), aliases=False)
    _yaml.load(_JOB.encode("utf-16"))


def every_refusal():
    for text in _BAD:
        try:
            _yaml.load(text)
        except _yaml.ReadError:
            pass


def the_bounds():
    for call in (lambda: _yaml.load("[" * 50 + "]" * 50, max_depth=10),
                 lambda: _yaml.load("a: &a [1]\nb: *a\n", aliases=False),
                 lambda: _yaml.load("a: &a [1, 2, 3]\nb: [*a, *a, *a]\n", max_nodes=10)):
        try:
            call()
        except _yaml.ReadError:
            pass


def left_to_pyyaml():
    yaml_load.load('"\\udc80"')
    yaml_load.load("%FOO bar\n--- {a: [1, 2]}")


# PyYAML's pure loader (3.10 here) fills caches of its own for 20 rounds or so.
left_to_pyyaml.warmup = 30


SCENARIOS = [every_type, a_stored_report_as_bytes, every_refusal, the_bounds, left_to_pyyaml]
