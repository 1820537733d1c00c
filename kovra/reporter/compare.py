"""What changed between two stored reports of a job: failures, fixes, sections, run times."""
from kovra.reporter.format import FAILING, children, node_id, result_name, seconds


class Node:
    __slots__ = ("path", "type", "result", "runtime", "size")

    def __init__(self, path, node):
        self.path = path
        self.type = node.get("type")
        self.result = result_name(node.get("result"))
        self.runtime = seconds(node.get("runtime"))
        self.size = 1


def _walk(report):
    """(depth, path, node) of every node, depth first, the path its ids joined with "." (the run set's "").
    A sibling whose id an earlier sibling has already is its run number N of that id: "t0.case#2" for
    a test case run twice, so that each run is compared with the same run of the other report."""
    stack = [(0, "", report)]
    while stack:
        depth, path, node = stack.pop()
        yield depth, path, node
        runs = {}
        below = []
        for child in children(node):
            step = str(node_id(child))
            runs[step] = runs.get(step, 0) + 1
            if runs[step] > 1:
                step += "#%d" % runs[step]
            below.append((depth + 1, path + "." + step if path else step, child))
        stack.extend(reversed(below))


def _nodes(document):
    found = {}
    stack = []
    for depth, path, node in _walk(document["report"]):
        del stack[depth:]
        entry = Node(path, node)
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
