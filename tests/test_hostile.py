"""Hostile input for the native modules: raising and mutating callbacks, replaced
globals, deleted and odd attributes, deep and self-containing data. Every case
must end in a result or a Python exception; the leak check plays the fixed cases
of leak_scenarios_hostile.py under the debug interpreter."""
import gc
import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import hostile_cases as hc

SETTINGS = settings(max_examples=40, derandomize=True, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))

text = st.text(alphabet=st.sampled_from("ab \t\n\x00\x01\x0b\x1f\ud800\udfff\ufffe\uffff\u00e9\U0001f600"),
               max_size=6)
leaves = st.one_of(text, st.integers(-3, 3), st.none(), st.floats(allow_nan=False, width=16), st.booleans(),
                   st.just(("hostile",)), st.sampled_from(["clear", "grow", "self", "swap"]).map(lambda m: ("key", m)))
data = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=3).map(lambda items: ("tuple", items)),
        st.lists(st.tuples(st.one_of(text, st.integers(0, 3), st.just(("key", "swap")),
                                     st.just(("key", "grow"))), inner), max_size=3).map(lambda kv: ("dict", kv)),
        inner.map(lambda value: ("self", [value])),
        inner.map(lambda value: ("self", ("dict", [("k", value)]))),
    ),
    max_leaves=10,
)
# Deeper than the default recursion limit, in some cases.
values = st.one_of(data, st.sampled_from([("deep", 50), ("deep", 3000)]))
kinds = st.sampled_from(hc.CALLBACK_KINDS)


def replacements(names):
    return st.lists(st.tuples(st.sampled_from(names), kinds), max_size=2, unique_by=lambda pair: pair[0])


def damage():
    attribute_values = st.one_of(st.none(), values)
    return st.lists(st.tuples(st.integers(0, 4), st.sampled_from(hc.NODE_ATTRIBUTES), attribute_values),
                    max_size=2)


def outcomes_are_clean(results):
    for result in results:
        assert isinstance(result, str)
    gc.collect()


@SETTINGS
@given(values, replacements(hc.ESCAPE_GLOBALS), st.sampled_from([None, "hostile", "plain"]))
def test_escaping_ends_in_a_result_or_an_exception(value, swaps, pattern):
    outcomes_are_clean(hc.run_escape(value, swaps, pattern))


@settings(SETTINGS, max_examples=10)
@given(st.sampled_from([20000, 100000]), replacements(["escape", "escape_data"]))
def test_deep_escaping_under_a_raised_limit_ends_in_a_result_or_an_exception(depth, swaps):
    results = hc.run_escape(("deep", depth), swaps, limit=10**6)
    assert results[0] in ("list", "Hostile", "raised RecursionError", "raised Boom")
    if depth == 100000 and not swaps:
        assert results[0] == "raised RecursionError"


@SETTINGS
@given(replacements(hc.RUNSET_GLOBALS), damage(),
       st.lists(st.tuples(st.integers(0, 4), st.sampled_from(hc.NODE_OPERATIONS), st.one_of(st.none(), values)),
                min_size=1, max_size=5))
def test_node_operations_end_in_a_result_or_an_exception(swaps, damaged, operations):
    outcomes_are_clean(hc.run_nodes(swaps, damaged, operations))


@SETTINGS
@given(replacements(hc.LEDGRIN_GLOBALS), damage(),
       st.lists(st.tuples(st.sampled_from(hc.HANDLERS), st.integers(0, 4)), min_size=1, max_size=4))
def test_handlers_end_in_a_result_or_an_exception(swaps, damaged, calls):
    outcomes_are_clean(hc.run_handlers(swaps, damaged, calls))


@SETTINGS
@given(st.lists(st.tuples(st.sampled_from(hc.ROAD_ADDITIONS), st.sampled_from(["raise", "odd", "pass"])),
                max_size=2, unique_by=lambda pair: pair[0]),
       st.lists(st.sampled_from(sorted(hc.mid_dump_effects())), max_size=2),
       st.sampled_from(hc.ROAD_DUMPS))
def test_fast_roads_under_added_names_and_mid_dump_changes_give_the_generic_outcome(additions, effects, dump):
    fast, generic = hc.run_roads(additions, effects, dump)
    if fast[0] == "raised RecursionError":
        # Where the depth limit strikes (a call, a repr) shifts with the caller's depth.
        assert generic[0] == fast[0]
    else:
        assert fast == generic


def test_the_cases_do_reach_errors_and_results():
    # The machinery itself: a hostile case fails cleanly, a plain one works.
    assert hc.run_escape(["a\x01"], []) == ["list", "str", "raised TypeError"]
    assert hc.run_escape(["text", ("hostile",)], [("escape", "raise")])[0] == "raised Boom"
    assert hc.run_escape(("deep", 3000), [])[0] == "raised RecursionError"
    assert hc.run_nodes([], [(1, "_parent", None)], [(1, "fullid", None), (2, "stop", None)]) == [
        "NoneType", "raised AttributeError", "NoneType"]
    assert hc.run_nodes([("get_time", "raise")], [], [(3, "start", None)]) == ["raised Boom"]
    assert hc.run_nodes([("Task", "raise")], [], [(3, "start", None)]) == ["raised Boom"]
    assert hc.run_nodes([("Section", "rebasing")], [], [(2, "stop", None)]) == ["NoneType"]
    assert hc.run_handlers([], [], [("_handle_step", 3)]) == ["Legacy"]
    assert hc.run_handlers([("escape_data", "raise")], [], [("_handle_step", 3)]) == ["raised Boom"]
    # An added name is what the generic road calls; a mid-dump change shows in the text.
    fast, generic = hc.run_roads([(("yaml.representer", "sorted"), "raise")], [], "dump_yaml")
    assert fast == generic == ("raised Boom", "raise")
    plain = hc.run_roads([], [], "dump_yaml")[0][1]
    fast, generic = hc.run_roads([], ["ignore grows"], "dump_yaml")
    assert fast == generic and fast[1] != plain


def test_replaced_globals_are_put_back():
    from kovra.reporter import ledgrin, runset
    before = (dict(vars(ledgrin)), dict(vars(runset)))
    hc.run_escape(["x"], [("escape", "raise"), ("escape_data", "odd")], "hostile")
    hc.run_nodes([("get_time", "raise"), ("Section", "odd")], [], [(0, "stop", None)])
    assert (dict(vars(ledgrin)), dict(vars(runset))) == before
    assert not hasattr(sys, "last_value") or not isinstance(sys.last_value, hc.Boom)
