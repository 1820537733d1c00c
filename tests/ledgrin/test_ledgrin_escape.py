"""escape, escape_data, _escape_repl and ESCAPE_SEQUENCE."""
import collections
import re
import sys

import pytest

from kovra.reporter import ledgrin
from kovra.reporter.ledgrin import ESCAPE_SEQUENCE, _escape_repl, escape, escape_data

# What XML 1.0 forbids as character data, apart from the surrogates.
FORBIDDEN = [c for c in range(0x20) if c not in (0x09, 0x0A, 0x0D)] + [0xFFFE, 0xFFFF]


def reference_escape(text):
    """The substitution and the UTF-8 round trip, written out plainly."""
    def repl(match):
        code = ord(match.group(0))
        return ("\\x{:02x}" if code < 0x100 else "\\u{:04x}").format(code)
    pattern = "[" + "".join("\\x%02x" % c for c in FORBIDDEN if c < 0x100) + "\\ufffe\\uffff]"
    replaced = re.sub(pattern, repl, text)
    return replaced.encode("utf-8", "backslashreplace").decode("utf-8")


@pytest.mark.parametrize("text, expected", [
    ("a\x00b", "a\\x00b"),
    ("\x1b[31m", "\\x1b[31m"),
    ("tab\tlf\ncr\rdel\x7f", "tab\tlf\ncr\rdel\x7f"),
    ("vt\x0bff\x0cus\x1f", "vt\\x0bff\\x0cus\\x1f"),
    ("\ud800 lone", "\\ud800 lone"),
    ("pair \U0001F600 \u20ac é", "pair \U0001F600 \u20ac é"),
    ("nonchars \ufffe\uffff", "nonchars \\ufffe\\uffff"),
    ("", ""),
])
def test_escape(text, expected):
    assert escape(text) == expected
    assert type(escape(text)) is str


def test_escape_agrees_with_the_plain_substitution_on_every_code_point_class():
    samples = [chr(c) for c in range(0x100)] + ["\u0100", "\ud7ff", "\ud800", "\udfff", "\ue000",
                                               "\ufffd", "\ufffe", "\uffff", "\U00010000", "\U0010ffff"]
    for width in (1, 2, 4):
        # Each sample inside texts of every storage width.
        wide = {1: "x", 2: "\u0101", 4: "\U00010001"}[width]
        for sample in samples:
            text = wide + sample + "z"
            assert escape(text) == reference_escape(text), repr(text)


def test_escape_of_plain_text_and_subclasses():
    plain = "nothing to see"
    assert escape(plain) is plain

    class Text(str):
        pass

    result = escape(Text("a\x01"))
    assert type(result) is str and result == "a\\x01"
    assert type(escape(Text("clean"))) is str


@pytest.mark.parametrize("bad, message", [(b"a\x01", "bytes-like"), (5, "expected string"), (None, "expected string")])
def test_escape_refuses_non_text(bad, message):
    with pytest.raises(TypeError, match=message):
        escape(bad)


def test_escape_sequence_matches_exactly_the_forbidden_characters():
    assert ESCAPE_SEQUENCE.flags == re.UNICODE
    matched = [c for c in range(0x10000) if ESCAPE_SEQUENCE.fullmatch(chr(c))]
    assert matched == FORBIDDEN


def test_escape_repl_writes_the_backslash_form():
    assert _escape_repl.__doc__ == "\n    escape control characters\n    "
    assert [_escape_repl(ESCAPE_SEQUENCE.search(chr(c))) for c in (0, 0x1B, 0xFFFE)] == ["\\x00", "\\x1b", "\\ufffe"]
    assert _escape_repl(match=re.search("é", "é")) == "\\xe9"
    with pytest.raises(TypeError, match="string of length 2 found"):
        _escape_repl(re.search("ab", "ab"))


def test_escape_uses_the_module_globals_of_the_moment(monkeypatch):
    monkeypatch.setattr(ledgrin, "ESCAPE_SEQUENCE", re.compile("[aeiou]"))
    assert escape("banana\x01") == "b\\x61n\\x61n\\x61\x01"
    monkeypatch.setattr(ledgrin, "_escape_repl", lambda match: "*")
    assert escape("banana") == "b*n*n*"


def test_escape_data_rebuilds_containers_as_plain_types():
    Pair = collections.namedtuple("Pair", "a b")

    class Mapping(dict):
        pass

    data = Mapping({"k\x01": [("\x02", 5)], "pair": Pair("\x03", None)})
    result = escape_data(data)
    assert type(result) is dict
    assert result == {"k\\x01": [("\\x02", 5)], "pair": ("\\x03", None)}
    assert type(result["pair"]) is tuple
    assert data == {"k\x01": [("\x02", 5)], "pair": Pair("\x03", None)}
    clean = [1, "a"]
    assert escape_data(clean) == clean and escape_data(clean) is not clean


@pytest.mark.parametrize("value", [None, 5, 2.5, True, b"\x01", {"\x01"}, frozenset(), object()])
def test_escape_data_returns_other_values_themselves(value):
    assert escape_data(value) is value


def test_escape_data_keys_that_collide_keep_the_later_pair():
    assert escape_data({"\x01": 1, "\\x01": 2}) == {"\\x01": 2}


def test_escape_data_follows_overridden_iteration_and_items():
    class Listing(list):
        def __iter__(self):
            return iter(["from iter\x01"])

    class Mapping(dict):
        def items(self):
            return [("k", "from items\x01")]

    assert escape_data(Listing(["stored"])) == ["from iter\\x01"]
    assert escape_data(Mapping(stored=1)) == {"k": "from items\\x01"}


def test_escape_data_uses_the_globals_of_the_moment(monkeypatch):
    seen = []
    monkeypatch.setattr(ledgrin, "escape", lambda text: seen.append(text) or text.upper())
    assert escape_data({"a": ["b", ("c",)]}) == {"A": ["B", ("C",)]}
    assert seen == ["a", "b", "c"]
    monkeypatch.setattr(ledgrin, "escape_data", lambda data: "replaced")
    assert escape_data(["x", "y"]) == ["replaced", "replaced"]


def test_escape_data_on_deep_or_self_containing_data_raises_recursion_error():
    loop = []
    loop.append(loop)
    deep = "leaf"
    for _ in range(sys.getrecursionlimit() + 100):
        deep = (deep,)
    for data in (loop, deep, {"k": loop}):
        with pytest.raises(RecursionError):
            escape_data(data)


def test_escape_data_stops_when_the_dict_changes_under_it():
    data = {"a": 1}

    def grow(text):
        data["b"] = 2
        return text

    ledgrin_escape = ledgrin.escape
    try:
        ledgrin.escape = grow
        with pytest.raises(RuntimeError, match="changed size"):
            escape_data(data)
    finally:
        ledgrin.escape = ledgrin_escape


# Each mutation runs while the walk escapes the key "a"; Python's dict iterator
# decides what the walk sees next, or which RuntimeError ends it.
KEY_MUTATIONS = {
    "swap the only key": ({"a": 1}, lambda d: (d.pop("a"), d.__setitem__("b", 2))),
    "swap the last key": ({"a": 1, "b": 2}, lambda d: (d.pop("b"), d.__setitem__("c", 3))),
    "swap back and forth": ({"a": 1, "b": 2},
                            lambda d: (d.pop("a"), d.__setitem__("c", 3), d.pop("c"), d.__setitem__("a", 4))),
    # Emptied and refilled from another dict: the refilled table starts afresh.
    "refill": ({"a": 1}, lambda d: (d.pop("a"), d.update(b=2))),
    "grow": ({"a": 1}, lambda d: d.__setitem__("b", 2)),
    "shrink": ({"a": 1, "b": 2}, lambda d: d.pop("b")),
}


@pytest.mark.parametrize("case", KEY_MUTATIONS, ids=list(KEY_MUTATIONS))
def test_escape_data_sees_key_changes_as_the_dict_iterator_does(monkeypatch, case):
    def walk(data, mutate):
        mutated = []

        def spy(text):
            if text == "a" and not mutated:
                mutated.append(mutate(data))
            return text

        monkeypatch.setattr(ledgrin, "escape", spy)
        try:
            return escape_data(data)
        except RuntimeError as error:
            return str(error)

    def plain_walk(data, mutate):
        result = {}
        try:
            for key, value in data.items():
                if key == "a" and len(result) == 0:
                    mutate(data)
                result[key] = value
        except RuntimeError as error:
            return str(error)
        return result

    start, mutate = KEY_MUTATIONS[case]
    expected = plain_walk(dict(start), mutate)
    assert walk(dict(start), mutate) == expected
    if case.startswith("swap") and case != "swap the last key":
        assert expected == "dictionary keys changed during iteration"


class Group:
    """A match whose group(0) is any object."""

    def __init__(self, matched):
        self.matched = matched

    def group(self, number):
        return self.matched


class Bytes(bytes):
    pass


class Buffer(bytearray):
    pass


@pytest.mark.parametrize("matched, expected", [
    (b"\x01", "\\x01"), (bytearray(b"\x1b"), "\\x1b"), (b"\xff", "\\xff"), (Bytes(b"A"), "\\x41"),
    (Buffer(b"\x00"), "\\x00"), ("\u0100", "\\u0100"), ("\U0001F600", "\\u1f600"),
])
def test_escape_repl_takes_the_code_point_as_ord_does(matched, expected):
    assert _escape_repl(Group(matched)) == expected


def test_escape_repl_serves_a_bytes_pattern():
    pattern = re.compile(b"[\x00-\x08\x1b]")
    assert _escape_repl(pattern.search(b"a\x07b")) == "\\x07"
    assert _escape_repl(pattern.search(bytearray(b"\x1b"))) == "\\x1b"


@pytest.mark.parametrize("matched", [b"", b"ab", bytearray(b"ab"), "", "ab", 7, None, memoryview(b"a")])
def test_escape_repl_refuses_what_ord_refuses(matched):
    with pytest.raises(TypeError) as caught:
        _escape_repl(Group(matched))
    with pytest.raises(TypeError) as expected:
        ord(matched)
    assert str(caught.value) == str(expected.value)


@pytest.mark.parametrize("data", [["a", "b", "c"], ("a", "b", "c"), {"a": "b", "c": "d"}],
                         ids=["list", "tuple", "dict"])
def test_escape_data_looks_itself_up_for_every_element(monkeypatch, data):
    native_escape_data = ledgrin.escape_data

    def replace_once(text):
        # Replaced while the walk is inside the container: later elements use the new one.
        monkeypatch.setattr(ledgrin, "escape_data", lambda item: "<" + item + ">")
        return text

    monkeypatch.setattr(ledgrin, "escape", replace_once)
    result = native_escape_data(data)
    flat = list(result.items()) if isinstance(result, dict) else list(result)
    if isinstance(data, dict):
        assert flat == [("a", "<b>"), ("<c>", "<d>")]
    else:
        assert flat == ["a", "<b>", "<c>"]


@pytest.mark.parametrize("function, name", [(escape, "string"), (escape_data, "data"), (_escape_repl, "match")])
def test_argument_errors(function, name):
    fname = function.__name__
    with pytest.raises(TypeError, match=rf"^{fname}\(\) takes exactly 1 positional argument \(0 given\)$"):
        function()
    with pytest.raises(TypeError, match=rf"^{fname}\(\) takes exactly 1 positional argument \(2 given\)$"):
        function(1, 2)
    with pytest.raises(TypeError, match=rf"^{fname}\(\) got an unexpected keyword argument 'other'$"):
        function(other=1)
    assert escape(string="\x01") == "\\x01" and escape_data(data=None) is None
