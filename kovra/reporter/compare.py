"""What changed between two stored reports of a job: failures, fixes, sections, run times."""
from kovra.reporter.format import FAILING, result_name, seconds, walk


class Node:
    __slots__ = ("path", "type", "result", "runtime", "size")

    def __init__(self, path, node):
        self.path = path
        self.type = node.get("type")
        self.result = result_name(node.get("result"))
        self.runtime = seconds(node.get("runtime"))
        self.size = 1


def _nodes(document):
    found = {}
    stack = []
    for depth, path, node in walk(document["report"]):
        del stack[depth:]
        entry = Node(path, node)
        # A repeated path (two siblings with one id) keeps the first: it is the one the explorer finds.
        if path and path not in found:
            found[path] = entry
            for parent in stack[1:]:
                parent.size += 1
        stack.append(entry)
    return found


class Comparison:
    """The differences of NEW against OLD, each list in NEW's (or, for removals, OLD's) tree order."""

    def __init__(self, old, new, threshold=1.0):
        self.threshold = threshold
        before = _nodes(old)
        after = _nodes(new)
        self.new_failures = []
        self.fixes = []
        self.other_changes = []
        self.slower = []
        for path, node in after.items():
            was = before.get(path)
            failing = node.result in FAILING
            if was is None:
                if failing:
                    self.new_failures.append((node, None))
                continue
            if failing and was.result not in FAILING:
                self.new_failures.append((node, was))
            elif was.result in FAILING and not failing:
                self.fixes.append((node, was))
            elif node.result != was.result:
                self.other_changes.append((node, was))
            if node.runtime is not None and was.runtime is not None \
                    and abs(node.runtime - was.runtime) > threshold:
                self.slower.append((node, was))
        self.added = self._tops(after, before)
        self.removed = self._tops(before, after)

    @staticmethod
    def _tops(present, absent):
        """Nodes of `present` missing from `absent`, without those whose parent is already listed."""
        tops = []
        for path, node in present.items():
            if path in absent:
                continue
            if tops and path.startswith(tops[-1].path + "."):
                continue
            tops.append(node)
        return tops

    def lines(self):
        out = []

        def result_change(node, was):
            return "%s  %s (was %s)" % (node.path, node.result or "-", (was.result or "-") if was else "absent")

        def section(title, items):
            out.append("%s (%d)%s" % (title, len(items), ":" if items else ""))
            out.extend("  " + item for item in items)

        section("new failures", [result_change(n, w) for n, w in self.new_failures])
        section("fixes", [result_change(n, w) for n, w in self.fixes])
        section("other result changes", [result_change(n, w) for n, w in self.other_changes])
        section("added", ["%s  %s%s" % (n.path, n.type, "  (%d nodes)" % n.size if n.size > 1 else "")
                          for n in self.added])
        section("removed", ["%s  %s%s" % (n.path, n.type, "  (%d nodes)" % n.size if n.size > 1 else "")
                            for n in self.removed])
        section("run-time changes over %gs" % self.threshold,
                ["%s  %.2fs -> %.2fs (%+.2fs)" % (n.path, w.runtime, n.runtime, n.runtime - w.runtime)
                 for n, w in self.slower])
        return out
