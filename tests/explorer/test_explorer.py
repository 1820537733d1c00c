"""Explorer and ExplorerSections against a recording fake client."""
import copy
import sys

import pytest

from kovra.reporter import explorer
from kovra.reporter.explorer import Explorer, ExplorerSections
from support.startup import run_python

RUNSET = {"name": "nightly", "tasks": ["a", "b"]}


class Boom(Exception):
    pass


class Client:
    """Records every call; call number `fail_on` (1-based) raises `error`."""

    def __init__(self, runset=RUNSET, error=None, fail_on=None):
        self.runset, self.error, self.fail_on, self.calls = runset, error, fail_on, []

    def _answer(self, call, value):
        self.calls.append(call)
        if self.fail_on == len(self.calls):
            raise self.error
        return value

    def get_runset(self):
        return self._answer(("runset",), self.runset)

    def get_section(self, *, id_list):
        return self._answer(("section", id_list), {"path": list(id_list), "sections": ["s1", "s2"]})


class FalseMapping(dict):
    def __bool__(self):
        return False


@pytest.mark.parametrize("args", [(), (None,), ([],)])
def test_no_path_fetches_the_run_set_once(args):
    client = Client()
    e = Explorer(client, *args)
    assert client.calls == [("runset",)]
    assert type(e._id_list) is list and e._id_list == [] and e._obj is RUNSET


@pytest.mark.parametrize("path", [["a"], ("a", "b")], ids=["list", "tuple"])
def test_a_path_fetches_that_node_once_and_is_kept_as_given(path):
    client = Client()
    e = Explorer(client, id_list=path)
    assert client.calls == [("section", path)] and client.calls[0][1] is path and e._id_list is path


@pytest.mark.parametrize("mapping, present", [
    ({}, set()),
    ({"sections": []}, {"sections"}),
    ({"sections": ["x"], "tasks": ["a"]}, {"tasks", "sections"}),
    (FalseMapping(tasks=["a"]), set()),
], ids=["empty", "sections", "both", "false-mapping"])
def test_children_appear_only_for_keys_of_a_true_mapping(mapping, present):
    e = Explorer(Client(runset=mapping))
    assert {"tasks", "sections"} & set(vars(e)) == present
    for name in present:
        assert type(vars(e)[name]) is ExplorerSections
        assert vars(e)[name]._parent is e and vars(e)[name]._sections is mapping[name]
    assert bool(e) is bool(mapping)


def test_data_is_read_from_the_mapping_by_attribute_and_key():
    e = Explorer(Client())
    assert e.name == e["name"] == "nightly"
    assert e.missing is None and e["missing"] is None and getattr(e, "missing", "fallback") is None
    # By key, "tasks" is the raw id list, not the lazy sequence.
    assert e["tasks"] is RUNSET["tasks"] and type(e.tasks) is ExplorerSections


def test_client_error_leaves_a_bare_instance_that_reads_as_missing():
    error, made = Boom("server down"), []

    class Keeping(Explorer):
        def __init__(self, *args):
            made.append(self)
            super().__init__(*args)

    with pytest.raises(Boom) as caught:
        Keeping(Client(error=error, fail_on=1))
    assert caught.value is error
    # No _obj: reads fail plainly instead of recursing through __getattr__.
    with pytest.raises(AttributeError, match="^'Keeping' object has no attribute 'name'$"):
        made[0].name
    assert not hasattr(made[0], "tasks") and bool(made[0]) is False


@pytest.mark.skipif(sys.version_info < (3, 11), reason="3.10 copy reads __getstate__ through __getattr__ (None)")
def test_copy_probes_the_bare_copy_safely():
    e = Explorer(Client())
    c = copy.copy(e)
    assert c._obj is e._obj and c.tasks is e.tasks


@pytest.mark.parametrize("other, equal", [
    (["a", "b"], True),
    (["b", "a"], False),
    (("a", "b"), False),
    (ExplorerSections("another parent", ["a", "b"]), True),
])
def test_equality_compares_id_containers_only(other, equal):
    client = Client()
    seq = Explorer(client).tasks
    assert (seq == other) is equal and (seq != other) is not equal and len(seq) == 2
    assert client.calls == [("runset",)]
    with pytest.raises(TypeError, match="unhashable"):
        hash(seq)


@pytest.mark.parametrize("path, index, expected", [
    ([], 1, ["b"]),
    ([], -1, ["b"]),
    (["t"], 0, ["t", "a"]),
    (["t", "s"], slice(0, 2), ["t", "s", ["a", "b"]]),
], ids=["index", "negative", "nested", "slice"])
def test_indexing_fetches_the_child_at_the_longer_path_every_time(path, index, expected):
    client = Client()
    seq = ExplorerSections(Explorer(client, path), ["a", "b"])
    child, again = seq[index], seq[index]
    assert type(child) is Explorer and child._client is client and again is not child
    assert child._id_list == expected and client.calls[-2:] == [("section", expected)] * 2
    assert seq._parent._id_list == path


@pytest.mark.parametrize("path, index, error", [
    ([], 2, IndexError), ([], "a", TypeError), (("t",), 0, TypeError),
], ids=["out-of-range", "bad-index", "tuple-path"])
def test_index_and_path_errors_come_before_any_server_call(path, index, error):
    client = Client()
    seq = ExplorerSections(Explorer(client, path), ["a", "b"])
    with pytest.raises(error):
        seq[index]
    assert len(client.calls) == 1


def test_iteration_takes_the_length_at_the_first_step_and_fetches_one_child_per_step():
    client = Client(runset={"tasks": ["a", "b"]})
    seq = Explorer(client).tasks
    steps = iter(seq)
    seq._sections.append("c")  # before the first step: counted
    assert next(steps)._id_list == ["a"] and len(client.calls) == 2
    seq._sections.append("d")  # after it: not
    assert [child._id_list for child in steps] == [["b"], ["c"]]
    assert client.calls[1:] == [("section", [name]) for name in "abc"]


def test_iteration_indexes_through_the_subclass():
    class Doubling(ExplorerSections):
        def __getitem__(self, index):
            return self._sections[index] * 2

    assert list(Doubling(None, [1, 2, 3])) == [2, 4, 6]


@pytest.mark.parametrize("raised, expected", [(Boom("lost"), Boom), (StopIteration(), RuntimeError)])
def test_client_error_propagates_from_indexing_and_ends_the_iteration(raised, expected):
    e = Explorer(Client(error=raised, fail_on=2))
    with pytest.raises(type(raised)) as caught:
        e.tasks[0]
    assert caught.value is raised
    steps = iter(Explorer(Client(error=raised, fail_on=3)).tasks)
    next(steps)
    with pytest.raises(expected) as caught:
        next(steps)
    # A StopIteration from a fetch is reported as a generator reports it, never as a quiet end.
    assert caught.value is raised or caught.value.__cause__ is raised
    assert next(steps, "done") == "done"


def test_module_offers_two_plain_classes_with_their_docstrings():
    assert {name for name in vars(explorer) if not name.startswith("__")} == {"Explorer", "ExplorerSections"}
    assert Explorer.__doc__ == ("Explorer\n\n    Acts like a runset-like object, and only retrieves child sections "
                                "from\n    the reporter server when they are accessed\n    ")
    assert ExplorerSections.__doc__ == ("ExplorerSections\n\n    Acts like the list of children sections, but "
                                        "only retrieves the section when\n    that index is accessed\n    ")
    for cls in (Explorer, ExplorerSections):
        assert cls.__bases__ == (object,) and type(cls) is type
        methods = [value for name, value in vars(cls).items() if callable(value)]
        assert methods and all(method.__doc__ is None for method in methods)


@pytest.mark.parametrize("call, message", [
    (lambda: Explorer(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: Explorer(Client(), None, 1), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda: Explorer(Client(), ids=[]), "__init__() got an unexpected keyword argument 'ids'"),
    (lambda: ExplorerSections(None), "__init__() takes exactly 3 positional arguments (2 given)"),
])
def test_argument_errors_use_the_standard_wording(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


# ---- re-entrant iteration and subclass lookups ------------------------------------------

class Reentrant(Client):
    """A client whose fetch advances the very iteration that asked for it."""

    def __init__(self, runset, swallow):
        super().__init__(runset=runset)
        self.steps, self.swallow, self.nested = None, swallow, []

    def get_section(self, *, id_list):
        try:
            self.nested.append(next(self.steps)._id_list)
        except ValueError as error:
            if not self.swallow:
                raise
            self.nested.append(str(error))
        return super().get_section(id_list=id_list)


def test_a_nested_step_of_a_running_iteration_is_refused_as_a_generator_refuses_it():
    client = Reentrant({"tasks": ["a", "b", "c"]}, swallow=True)
    client.steps = iter(Explorer(client).tasks)
    # Refused, and the running step goes on: nothing is skipped.
    assert [child._id_list for child in client.steps] == [["a"], ["b"], ["c"]]
    assert client.nested == ["generator already executing"] * 3

    client = Reentrant({"tasks": ["a", "b"]}, swallow=False)
    client.steps = iter(Explorer(client).tasks)
    with pytest.raises(ValueError, match="^generator already executing$"):
        next(client.steps)
    # The refusal escaped the running step, which ends the iteration.
    assert next(client.steps, "done") == "done"


class Hiding(Explorer):
    """Serves its own _obj through __getattribute__."""

    def __getattribute__(self, name):
        if name == "_obj":
            return {"name": "from __getattribute__", "tasks": ["x"]}
        return super().__getattribute__(name)


def test_obj_is_read_through_the_instance_s_own_lookup():
    e = Hiding(Client(runset={"name": "stored"}))
    assert e.name == "from __getattribute__" and e["name"] == "from __getattribute__"
    # The constructor reads it back the same way: tasks come from the served mapping.
    assert e.tasks == ["x"] and bool(e) is True
    bare = Hiding.__new__(Hiding)
    assert bare.missing is None and bool(bare) is True


def test_a_bare_instance_fails_plainly_even_when_asked_for_obj():
    bare = Explorer.__new__(Explorer)
    for read in (lambda: bare._obj, lambda: bare.name, lambda: bare["name"]):
        with pytest.raises(AttributeError, match="'_obj'|'name'"):
            read()
    assert bool(bare) is False
    # Asked directly, __getattr__ still answers from a mapping that is there.
    e = Explorer(Client(runset={"_obj": "stored"}))
    assert e.__getattr__("_obj") == "stored"


def _watched(log, name):
    # A data descriptor standing in for the plain instance attribute `name`.
    def get(self):
        log.append("get " + name)
        return self.__dict__[name]

    def put(self, value):
        log.append("set " + name)
        self.__dict__[name] = value

    return property(get, put)


@pytest.mark.parametrize("cls, name", [(Explorer, "_obj"), (Explorer, "_client"), (Explorer, "_id_list"),
                                       (ExplorerSections, "_parent"), (ExplorerSections, "_sections")])
def test_a_class_changed_after_import_is_read_and_written_through_its_descriptors(monkeypatch, cls, name):
    # The classes' attributes are plain dict operations only while each class is
    # as made: a descriptor put on it later must see every read and store.
    def walk(client):
        root = Explorer(client)
        child = root.tasks[1]
        return root["name"], root.name, len(root.tasks), child.path, root.tasks == ["a", "b"], \
            [c.path for c in child.sections]

    plain = walk(Client())
    log = []
    monkeypatch.setattr(cls, name, _watched(log, name), raising=False)
    assert walk(Client()) == plain
    assert "set " + name in log and "get " + name in log

    class Sub(cls):
        pass

    log.clear()
    monkeypatch.setattr(Sub, name, _watched(log, name), raising=False)
    monkeypatch.delattr(cls, name)
    monkeypatch.setattr(explorer, cls.__name__, Sub)
    assert walk(Client()) == plain
    assert "set " + name in log and "get " + name in log


def test_instances_keep_their_attributes_in_their_own_dict_as_set():
    root = Explorer(Client())
    assert list(vars(root)) == ["_id_list", "_client", "_obj", "tasks"]
    assert list(vars(root.tasks)) == ["_parent", "_sections"]
    root.__dict__ = {"_obj": {"name": "other"}}
    assert root.name == "other" and root["name"] == "other"


# ---- the classes' own calls while they are as made ----------------------------------

def test_children_are_made_and_indexed_as_the_generic_calls_would_at_every_depth(tmp_path):
    # Children made by the classes themselves skip type.__call__'s and the index
    # slot's machinery while the classes are as made. Against the same calls through
    # trivial subclasses (the generic road): at each recursion limit the same outcome,
    # error text, traceback and server calls, so depth is charged alike.
    out = run_python('''
        import sys
        from kovra.reporter import explorer

        # Compiled afresh for each run: 3.11's adaptive interpreter charges a call
        # by how far its site has been specialised.
        RUN = """if True:
            class Client:
                def __init__(self):
                    self.calls = []
                def get_runset(self):
                    self.calls.append(())
                    return {"tasks": ["a", "b"]}
                def get_section(self, *, id_list):
                    self.calls.append(tuple(id_list))
                    return {"id": id_list[-1], "sections": ["s1", "s2"]}

            def job(client):
                root = explorer.Explorer(client)
                child = root.tasks[1]
                return [c._id_list for c in child.sections] + [root.tasks[0].sections == ["s1", "s2"]]

            for limit in range(1, 80):
                client = Client()
                try:
                    sys.setrecursionlimit(limit)
                except RecursionError:
                    continue
                try:
                    outcome = job(client)
                except RecursionError as error:
                    tb, names = error.__traceback__, []
                    while tb:
                        names.append(tb.tb_frame.f_code.co_name)
                        tb = tb.tb_next
                    outcome = (str(error), names)
                finally:
                    sys.setrecursionlimit(1000)
                outcomes.append((limit, outcome, client.calls))
        """

        def scan():
            space = {"explorer": explorer, "sys": sys, "outcomes": []}
            exec(RUN, space)
            return space["outcomes"]

        made = scan()
        for name in ("Explorer", "ExplorerSections"):
            setattr(explorer, name, type(name, (getattr(explorer, name),), {}))
        generic = scan()
        print(made == generic, sum(isinstance(o, tuple) for _, o, _ in made), made[-1][1])
        print([(a, b) for a, b in zip(made, generic) if a != b][:1])
    ''', tmp_path)
    failing, last = out[0].split(" ", 2)[1:]
    assert out[0].startswith("True ") and int(failing) >= 3, out
    assert last == "[['b', 's1'], ['b', 's2'], True]"


@pytest.mark.parametrize("change", ["init", "new", "getitem"])
def test_a_changed_class_is_called_and_indexed_the_generic_way(monkeypatch, tmp_path, change):
    client = Client(runset={"tasks": ["a"]})
    seen = []
    if change == "init":
        original = Explorer.__init__

        def init(self, client, id_list=None):
            seen.append(id_list)
            original(self, client, id_list)
        monkeypatch.setattr(Explorer, "__init__", init)
    elif change == "new":
        # In a fresh interpreter: no undoing gives a class its object.__new__ back.
        out = run_python("""
            from kovra.reporter.explorer import Explorer
            class Client:
                def get_runset(self):
                    return {"tasks": ["a"]}
                def get_section(self, *, id_list):
                    return {}
            seen = []
            Explorer.__new__ = lambda cls, *args: seen.append(len(args)) or object.__new__(cls)
            root = Explorer(Client())
            print([child._id_list for child in [root.tasks[0], *root.tasks]], seen)
        """, tmp_path)
        assert out == ["[['a'], ['a']] [1, 2, 2]"]
        return
    else:
        original = ExplorerSections.__getitem__
        monkeypatch.setattr(ExplorerSections, "__getitem__", lambda self, i: seen.append(i) or original(self, i))
    root = Explorer(client)
    children = [root.tasks[0], *root.tasks]
    assert [child._id_list for child in children] == [["a"], ["a"]]
    assert seen == {"init": [None, ["a"], ["a"]], "getitem": [0, 0]}[change]
