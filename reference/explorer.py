"""Plain-Python Explorer and ExplorerSections with the behaviour of the native
kovra.reporter.explorer, for the benchmarks: the interpreted code the native
module is measured against."""


class Explorer(object):
    """
    Explorer

    Acts like a runset-like object, and only retrieves child sections from
    the reporter server when they are accessed
    """

    def __init__(self, client, id_list=None):
        self._id_list = id_list or []
        self._client = client
        if self._id_list:
            self._obj = self._client.get_section(id_list=self._id_list)
        else:
            self._obj = self._client.get_runset()
        if self._obj:
            for name in ("tasks", "sections"):
                if name in self._obj:
                    setattr(self, name, ExplorerSections(self, self._obj.get(name)))

    def __bool__(self):
        try:
            obj = self._obj
        except AttributeError:
            return False
        return bool(obj)

    def __getattr__(self, name):
        if name == "_obj":
            raise AttributeError(name)
        return self._obj.get(name)

    def __getitem__(self, key):
        return self._obj.get(key)


class ExplorerSections(object):
    """
    ExplorerSections

    Acts like the list of children sections, but only retrieves the section when
    that index is accessed
    """

    def __init__(self, parent, sections):
        self._parent = parent
        self._sections = sections

    def __len__(self):
        return len(self._sections)

    def __eq__(self, other):
        if isinstance(other, ExplorerSections):
            return self._sections == other._sections
        return self._sections == other

    def __getitem__(self, index):
        s_id = self._sections[index]
        return Explorer(self._parent._client, self._parent._id_list + [s_id])

    def __iter__(self):
        for i in range(len(self._sections)):
            yield self[i]
