"""Scenarios for refleak.py: kovra.reporter.explorer with a fake client
and with the stand-in client serving a stored report; expected errors are
caught here.
"""
from kovra.reporter import runset
from kovra.reporter.explorer import Explorer, ExplorerSections
from kovra.reporter_client import ReporterClient
from kovra.results import Passed


class _Client:
    def __init__(self, fail_after=None, error=LookupError):
        self.fail_after, self.error, self.count = fail_after, error, 0

    def _answer(self, value):
        self.count += 1
        if self.fail_after is not None and self.count > self.fail_after:
            raise self.error("server gone")
        return value

    def get_runset(self):
        return self._answer({"name": "job", "tasks": ["a", "b", "c"]})

    def get_section(self, *, id_list):
        return self._answer({"id": id_list[-1], "sections": ["s1", "s2"]})


def _stored():
    job = runset.RunSet(id="job", seq_num=0)
    task = job.add_task(id="t1", seq_num=1)
    task.add_section(id="s1", seq_num=1).stop(result=Passed)
    task.stop()
    return job.dump_json(), job.dump_yaml()


_TEXTS = _stored()


def _expect(errors, call, *args):
    try:
        call(*args)
    except errors:
        pass


def explore_and_iterate():
    e = Explorer(_Client())
    e.name, e.missing, e["tasks"], getattr(e, "x", 1), bool(e), len(e.tasks)
    e.tasks == ["a", "b", "c"], e.tasks == e.tasks[1].sections
    e.tasks[-1].sections[0:1]
    for task in e.tasks:
        list(task.sections)
    steps = iter(e.tasks)
    next(steps)  # dropped part-way
    seq = ExplorerSections(e, ["a"])
    seq.steps = iter(seq)  # a cycle through the iterator


def stored_report():
    for text in _TEXTS:
        client = ReporterClient(text)
        for task in Explorer(client).tasks:
            list(task.sections)
        _expect(KeyError, Explorer, client, ["t1", "nope"])


def error_client_and_iteration():
    _expect(LookupError, Explorer, _Client(fail_after=0))
    _expect(LookupError, Explorer(_Client(fail_after=1)).tasks.__getitem__, 0)
    for error in (LookupError, StopIteration):
        steps = iter(Explorer(_Client(fail_after=2, error=error)).tasks)
        _expect((LookupError, RuntimeError), list, steps)
        next(steps, None)


def error_index_path_and_bare_instance():
    e = Explorer(_Client())
    _expect(IndexError, e.tasks.__getitem__, 7)
    _expect(TypeError, e.tasks.__getitem__, "x")
    _expect(TypeError, Explorer(_Client(), ("a",)).sections.__getitem__, 0)
    bare = Explorer.__new__(Explorer)
    bool(bare)
    _expect(AttributeError, getattr, bare, "name")
    _expect(AttributeError, bare.__getitem__, "name")


class _Reentrant(_Client):
    def get_section(self, *, id_list):
        try:
            next(self.steps)
        except ValueError:
            if self.swallow:
                pass
            else:
                raise
        return super().get_section(id_list=id_list)


def error_nested_iteration():
    for swallow in (True, False):
        client = _Reentrant()
        client.swallow = swallow
        client.steps = iter(Explorer(client).tasks)
        _expect(ValueError, list, client.steps)
        client.steps = None


class _Serving(Explorer):
    def __getattribute__(self, name):
        if name == "_obj":
            return {"name": "served", "tasks": ["x"]}
        return super().__getattribute__(name)


def subclass_serving_obj():
    e = _Serving(_Client())
    e.name, e["name"], bool(e), len(e.tasks)
    bare = _Serving.__new__(_Serving)
    bare.missing, bool(bare)
    plain = Explorer.__new__(Explorer)
    _expect(AttributeError, getattr, plain, "_obj")
    Explorer(_Client()).__getattr__("_obj")


def error_arguments():
    _expect(TypeError, Explorer)
    _expect(TypeError, Explorer, _Client(), None, 1)
    _expect(TypeError, lambda: Explorer(_Client(), x=1))
    _expect(TypeError, ExplorerSections, None)
    _expect(TypeError, hash, ExplorerSections(None, []))


SCENARIOS = [
    explore_and_iterate,
    stored_report,
    error_client_and_iteration,
    error_index_path_and_bare_instance,
    error_arguments,
    error_nested_iteration,
    subclass_serving_obj,
]
