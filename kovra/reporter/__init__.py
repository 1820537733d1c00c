# Holds the built reporter extension modules (placed here by the CMake build, or
# installed by pip). A module with no build for the running interpreter fails to
# import with an ImportError that says which interpreters it is built for and
# how to build it for this one, instead of a bare "cannot import name".
import os
import re
import sys

_MODULES = ("runset", "ledgrin", "explorer", "_yaml", "_intake")
_SUFFIX = re.compile(r"^(?P<name>\w+)\.cpython-(?P<major>3)(?P<minor>\d+)(?P<flags>[a-z]*)-.*\.so$")


def _built_versions(name):
    """The interpreter versions ('3.10', '3.11d', ...) that have a build of `name` on the package path."""
    found = set()
    for folder in __path__:
        try:
            entries = os.listdir(folder)
        except OSError:
            continue
        for entry in entries:
            m = _SUFFIX.match(entry)
            if m and m.group("name") == name:
                found.add((int(m.group("minor")), m.group("flags")))
    return ["3.%d%s" % key for key in sorted(found)]


def _build_command():
    running = "%d.%d" % sys.version_info[:2]
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    if not os.path.exists(os.path.join(root, "CMakeLists.txt")):
        return "pip install <the kovra-reporter source>  (with this interpreter: %s -m pip install ...)" % sys.executable
    variant = "py" + running.replace(".", "") + ("d" if hasattr(sys, "gettotalrefcount") else "")
    if variant in ("py310", "py311", "py311d", "py313", "py314", "py315"):
        return "%s/tools/build %s" % (root, variant)
    return "cmake -S {0} -B {0}/build/{1} -DKOVRA_PYTHON={2} && cmake --build {0}/build/{1}".format(
        root, variant, sys.executable)


def _not_built(name):
    built = _built_versions(name)
    running = "%d.%d%s" % (sys.version_info[0], sys.version_info[1], "d" if hasattr(sys, "gettotalrefcount") else "")
    return ImportError(
        "kovra.reporter.%s is not built for this interpreter, CPython %s (%s); built for: %s. Build it with: %s"
        % (name, running, sys.executable, ", ".join(built) or "none", _build_command()),
        name="kovra.reporter." + name)


class _NotBuiltFinder:
    """Last on sys.meta_path: reached only when no build of a module was found."""

    @staticmethod
    def find_spec(fullname, path=None, target=None):
        prefix, _, name = fullname.rpartition(".")
        if prefix == __name__ and name in _MODULES:
            raise _not_built(name)
        return None


if not any(type(f).__name__ == "_NotBuiltFinder" for f in sys.meta_path):
    sys.meta_path.append(_NotBuiltFinder())
