"""Stand-in for the framework's ``kovra.datastructures`` package, which is not shipped here."""


class AttrDict(dict):
    """A dict whose keys can also be read, set and deleted as attributes.

    Missing keys raise AttributeError on attribute access so that ``hasattr``
    and ``getattr(d, name, default)`` behave. Real attributes (the dict
    methods such as ``keys``) win over keys of the same name on reads.
    """

    # No instance __dict__: every attribute write must land in the mapping.
    __slots__ = ()

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __repr__(self):
        return "AttrDict(%s)" % dict.__repr__(self)
