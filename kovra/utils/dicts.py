"""Stand-in for the framework's ``kovra.utils.dicts`` module, which is not shipped here."""

import copy
from collections.abc import Mapping, MutableMapping


def _detach(value):
    """Copy mutable mappings, lists and sets (recursively) so target never shares them with the caller."""
    if isinstance(value, MutableMapping):
        # copy.copy keeps the mapping's type (AttrDict, defaultdict, ...).
        new = copy.copy(value)
        for key in list(new):
            new[key] = _detach(new[key])
        return new
    if isinstance(value, list):
        new = copy.copy(value)
        for index, item in enumerate(new):
            new[index] = _detach(item)
        return new
    if isinstance(value, set):
        return copy.copy(value)
    return value


def recursive_update(target, source, list_extend=True):
    """Merge ``source`` into ``target`` in place and return ``target``.

    Nested mappings are merged key by key; lists are extended when
    ``list_extend`` is true and replaced otherwise; any other value replaces
    the one in ``target``. Containers taken from ``source`` are copied, so
    later merges into ``target`` never modify the caller's data.
    """
    if not isinstance(target, MutableMapping):
        raise TypeError("recursive_update target must be a mutable mapping, not %s"
                        % type(target).__name__)
    if not isinstance(source, Mapping):
        raise TypeError("recursive_update source must be a mapping, not %s"
                        % type(source).__name__)
    for key, value in source.items():
        current = target.get(key)
        if isinstance(value, Mapping) and isinstance(current, MutableMapping):
            recursive_update(current, value, list_extend=list_extend)
        elif list_extend and isinstance(value, list) and isinstance(current, list):
            # Build the copies first: value may be current itself.
            current.extend([_detach(item) for item in value])
        else:
            target[key] = _detach(value)
    return target
