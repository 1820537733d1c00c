"""YAML text read into plain data, bounded: what ``yaml.safe_load`` gives, read natively.

``load(data, aliases=False, max_depth=MAX_DEPTH, max_nodes=MAX_NODES)`` reads
the single document in `data` (str or bytes) with the native reader
``kovra.reporter._yaml``. Where that module is not built for the running
interpreter it says so once on standard error and reads with PyYAML instead
(libyaml's ``CSafeLoader`` where PyYAML has it, else the pure ``SafeLoader``),
with the same bounds checked before PyYAML's composer recurses.

Every failure is a ``ReadError`` (a ValueError): a one-line message ending in
"at line L column C", with ``problem``, ``line``, ``column`` and ``reason``
('invalid', 'alias', 'depth' or 'nodes') as attributes. (The native reader's
'unsupported' marks text that libyaml reads otherwise than PyYAML: ``load``
reads that with PyYAML's own loader, bounded alike.) An alias is refused
unless `aliases` is true; then it counts as the nodes it stands for.
"""
import sys

import yaml

try:
    from kovra.reporter import _yaml as _native
except ImportError as _error:
    _native = None
    _missing = _error
    MAX_DEPTH = 1000
    MAX_NODES = 20_000_000

    class ReadError(ValueError):
        """YAML that cannot be read; see the module's docstring for its attributes."""
else:
    MAX_DEPTH = _native.MAX_DEPTH
    MAX_NODES = _native.MAX_NODES
    ReadError = _native.ReadError

_said = False


def load(data, aliases=False, max_depth=MAX_DEPTH, max_nodes=MAX_NODES):
    """The single document in `data` as plain data (None for an empty stream)."""
    if _native is not None:
        try:
            return _native.load(data, aliases, max_depth, max_nodes)
        except ReadError as error:
            # Text libyaml reads otherwise than PyYAML: the escape of a lone surrogate
            # ("\udc80", which the dumps write for such text), an unknown directive.
            if error.reason != "unsupported":
                raise
        return _load_with(yaml.SafeLoader, data, aliases, max_depth, max_nodes)
    _say_once()
    loader = getattr(yaml, "CSafeLoader", None)
    if loader is not None:
        try:
            return _load_with(loader, data, aliases, max_depth, max_nodes)
        except ReadError as error:
            if "invalid Unicode character escape code" not in error.problem:
                raise
    return _load_with(yaml.SafeLoader, data, aliases, max_depth, max_nodes)


def _say_once():
    global _said
    if not _said:
        _said = True
        print("kovra.reporter: the native YAML reader is not available (%s); reading YAML with PyYAML, "
              "which is much slower" % " ".join(str(_missing).split()), file=sys.stderr)


def _error(reason, problem, mark):
    line, column = (mark.line + 1, mark.column + 1) if mark is not None else (1, 1)
    error = ReadError("%s at line %d column %d" % (problem, line, column))
    error.problem, error.line, error.column, error.reason = problem, line, column, reason
    return error


class _Bounds:
    """The reader's bounds over PyYAML's events: open collections, nodes, aliases."""

    def __init__(self, aliases, max_depth, max_nodes):
        self.aliases = aliases
        self.max_depth = max_depth
        self.max_nodes = max_nodes
        self.depth = 0
        self.nodes = 0
        self.open = []    # (anchor, nodes before it) of each open collection
        self.sizes = {}   # anchor -> the nodes it stands for

    def see(self, event):
        if isinstance(event, yaml.AliasEvent):
            if not self.aliases:
                raise _error("alias", "found an alias (*%s); aliases are refused here" % event.anchor,
                             event.start_mark)
            self.count(self.sizes.get(event.anchor, 1), event)
        elif isinstance(event, yaml.ScalarEvent):
            self.count(1, event)
            if event.anchor is not None:
                self.sizes[event.anchor] = 1
        elif isinstance(event, yaml.CollectionStartEvent):
            self.count(1, event)
            self.depth += 1
            if self.depth > self.max_depth:
                raise _error("depth", "nested too deeply (more than %d levels)" % self.max_depth, event.start_mark)
            self.open.append((event.anchor, self.nodes - 1))
        elif isinstance(event, yaml.CollectionEndEvent):
            self.depth -= 1
            anchor, before = self.open.pop()
            if anchor is not None:
                self.sizes[anchor] = self.nodes - before

    def count(self, nodes, event):
        self.nodes += nodes
        if self.nodes > self.max_nodes:
            raise _error("nodes", "the document has more than %d nodes" % self.max_nodes, event.start_mark)


class _BoundedSafeLoader(yaml.SafeLoader):
    """PyYAML's pure loader, every event checked before the composer sees it."""

    def __init__(self, stream, bounds):
        super().__init__(stream)
        self._bounds = bounds
        self._checked = None

    def check_event(self, *choices):
        # Each event is checked once, when the composer first looks at it.
        if self.current_event is None and self.state:
            self.current_event = self.state()
        if self.current_event is not None and self.current_event is not self._checked:
            self._checked = self.current_event
            self._bounds.see(self.current_event)
        return super().check_event(*choices)


def _load_with(loader, data, aliases, max_depth, max_nodes):
    bounds = _Bounds(aliases, max_depth, max_nodes)
    try:
        if loader is yaml.SafeLoader:
            reader = _BoundedSafeLoader(data, bounds)
            try:
                return reader.get_single_data()
            finally:
                reader.dispose()
        # libyaml's composer recurses in C: the events are walked first, without it.
        for event in yaml.parse(data, Loader=loader):
            bounds.see(event)
        return yaml.load(data, Loader=loader)
    except ReadError:
        raise
    except yaml.MarkedYAMLError as error:
        problem = " ".join(str(error.problem or error.context or error).split())
        if error.context and error.problem:
            problem = "%s: %s" % (" ".join(error.context.split()), problem)
        raise _error("invalid", problem, error.problem_mark or error.context_mark) from None
    except yaml.YAMLError as error:
        raise _error("invalid", " ".join(str(error).split()), None) from None
    except RecursionError:
        raise _error("depth", "nested too deeply to read", None) from None
    except (ValueError, TypeError, KeyError, AttributeError, IndexError, OverflowError) as error:
        # What SafeConstructor's own steps raise for a malformed explicit value.
        raise _error("invalid", "cannot construct a value: %s: %s" % (type(error).__name__, error), None) from error
