"""What changed between two stored reports of a job: failures, fixes, sections, run times.

Failures and fixes are counted by leaf: a failing test case with a failing step is one failure, the
step's, shown with its test case and reason."""
import json

from kovra.reporter.format import FAILING, children, node_id, reason_of, result_name, seconds

# The sections directly under a task stand for the test case where no "Testcase" node is above.
CASE_DEPTH = 2


class Node:
    __slots__ = ("path", "type", "result", "runtime", "size", "reason", "case", "failing_below")

    def __init__(self, path, node, case):
        self.path = path
        self.type = node.get("type")
        self.result = result_name(node.get("result"))
        self.runtime = seconds(node.get("runtime"))
        self.size = 1
        reason = reason_of(node)
        self.reason = reason if reason is None or isinstance(reason, str) else json.dumps(reason, ensure_ascii=False)
        self.case = case
        self.failing_below = False

    @property
    def failing(self):
        return self.result in FAILING

    @property
    def leaf_failure(self):
        return self.failing and not self.failing_below


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
        parent = stack[-1] if stack else None
        if node.get("type") == "Testcase":
            case = path
        elif parent is not None and parent.case is not None:
            case = parent.case
        else:
            case = path if depth == CASE_DEPTH else None
        entry = Node(path, node, case)
        if path and path not in found:
            found[path] = entry
            for above in stack[1:]:
                above.size += 1
                above.failing_below = above.failing_below or entry.failing
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
            if was is None:
                if node.leaf_failure:
                    self.new_failures.append((node, None))
                continue
            if node.failing and not was.failing:
                # A test case failing through its step is the step's failure, listed once.
                if node.leaf_failure:
                    self.new_failures.append((node, was))
            elif was.failing and not node.failing:
                self.fixes.append((node, was))
            elif node.result != was.result:
                self.other_changes.append((node, was))
            if node.runtime is not None and was.runtime is not None \
                    and abs(node.runtime - was.runtime) > threshold:
                self.slower.append((node, was))
        # A fix above a fixed step is the step's fix: keep the deepest.
        self.fixes = [(node, was) for index, (node, was) in enumerate(self.fixes)
                      if not (index + 1 < len(self.fixes) and self.fixes[index + 1][0].path.startswith(node.path + "."))]
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

        def failure(node, was, shown):
            line = result_change(node, was)
            if shown.case and shown.case != shown.path:
                line += "  in %s" % shown.case
            return line + (": " + first_line(shown.reason) if shown.reason else "")

        def section(title, items):
            out.append("%s (%d)%s" % (title, len(items), ":" if items else ""))
            out.extend("  " + item for item in items)

        section("new failures", [failure(n, w, n) for n, w in self.new_failures])
        section("fixes", [failure(n, w, w) for n, w in self.fixes])
        section("other result changes", [result_change(n, w) for n, w in self.other_changes])
        section("added", ["%s  %s%s" % (n.path, n.type, "  (%d nodes)" % n.size if n.size > 1 else "")
                          for n in self.added])
        section("removed", ["%s  %s%s" % (n.path, n.type, "  (%d nodes)" % n.size if n.size > 1 else "")
                            for n in self.removed])
        section("run-time changes over %gs" % self.threshold,
                ["%s  %.2fs -> %.2fs (%+.2fs)" % (n.path, w.runtime, n.runtime, n.runtime - w.runtime)
                 for n, w in self.slower])
        return out


def first_line(text, limit=200):
    line = text.strip().split("\n")[0]
    return line if len(line) <= limit else line[:limit] + "..."
