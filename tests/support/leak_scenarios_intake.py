"""Scenarios for refleak.py: the reporter server's native rows (kovra.reporter._intake), each column's
odd values, the times in both forms, and every refusal."""
import json

from kovra.reporter import _intake


class Refused(Exception):
    def __init__(self, message, status=400):
        super().__init__(message)
        self.status = status


_REPORT = json.dumps({"id": "r", "type": "RunSet", "result": {"value": "passed"}, "runtime": 1.5,
                      "starttime": "2026-01-01 00:00:00.000001", "stoptime": "2026-01-01 00:00:01",
                      "tasks": [{"id": "<t>", "type": "T\x00\ud800" + "y" * 300, "result": "x" * 50,
                                 "starttime": "2026-01-01T10:00:00+02:00", "stoptime": "2026-02-30 00:00:00",
                                 "runtime": 10 ** 301, "extra": {"a": [1, {"b": None}]},
                                 "sections": [{"id": 1.5, "runtime": 7}, {"id": [1, "<"]}, {"id": 1.5}]}]})

_REFUSED = [
    ({"tasks": []}, 2_000_000, 400),
    ({"id": "r", "tasks": {"a": 1}}, 2_000_000, 400),
    ({"id": "r", "sections": [{"id": "a"}, []]}, 2_000_000, 400),
    ({"id": "r", "extra": [[[[1]]]]}, 2_000_000, 5),
    ({"id": "r", "tasks": [{"id": "a", "sections": [{"id": "b"}]}]}, 2_000_000, 3),
    ({"id": "r", "tasks": [{"id": "a"}, {"id": "b"}]}, 2, 400),
]


def rows_both_ways():
    for time_text in (False, True):
        _intake.flatten(json.loads(_REPORT), 100, 400, Refused, time_text)


def every_refusal():
    for report, max_nodes, max_depth in _REFUSED:
        try:
            _intake.flatten(json.loads(json.dumps(report)), max_nodes, max_depth, Refused)
        except Refused:
            pass
        else:
            raise AssertionError("not refused: %r" % (report,))


def bad_arguments():
    for args in (([], 1, 1, Refused), ({"id": 1}, "x", 1, Refused), ({"tasks": 1}, 1, 1, None)):
        try:
            _intake.flatten(*args)
        except (TypeError, AttributeError):
            pass


# The text road: the writer's form taken, and texts it steps aside from at every stage.
_TEXT = json.dumps({"version": "3.2", "report": json.loads(_REPORT)}).encode()
_DECLINED = [b"", b"[]", b'{"version": "3.2", "report": {"id": 1, "id": 2}}', _TEXT.replace(b", ", b", \"x\": 1e5, ", 1),
             _TEXT.replace(b"1.5", b"1.50"), _TEXT[:-3], _TEXT.replace(b'"id": 1.5', b'"name": 1.5'),
             b'{"version": "3.2", "report": {"id": "r", "tasks": [' + b"[" * 300 + b"]" * 300 + b"]}}"]


def text_road():
    from kovra.reporter.server import intake  # noqa: F401  (captures the road)
    for time_text in (False, True):
        if _intake.rows_from_text(_TEXT, 100, 400, time_text) is None:
            raise AssertionError("the road stepped aside")
    if _intake.rows_from_text(_TEXT, 2, 400) is not None:
        raise AssertionError("more nodes than allowed")
    for text in _DECLINED:
        if _intake.rows_from_text(text, 100, 400) is not None:
            raise AssertionError("taken: %r" % text[:60])
    for args in ((_TEXT.decode(), 1, 1), (_TEXT, "x", 1)):
        try:
            _intake.rows_from_text(*args)
        except TypeError:
            pass


SCENARIOS = [rows_both_ways, every_refusal, bad_arguments, text_road]
