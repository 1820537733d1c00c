"""Triage's own rules, free of the database: result classes, failure signatures, the cross-job index
rows a job's nodes give, and a node's state from its results.

Result classes: "pass" (passed, passx), "fail" (failed, errored, aborted), "other" (anything else).

Signature text: a leaf failure's reason (the result's, else a "reason" in its extra data) with its
variable parts replaced, in this order, so that one cause reads the same on every port, host and run:
  1. quoted strings ('...', "...", `...`)   -> <str>
  2. UUIDs                                  -> <uuid>
  3. timestamps (ISO 8601 date and/or time, with fraction and zone)   -> <time>
  4. IPv6 addresses (two colons or more)     -> <ip>
  5. IPv4 addresses, with a port if any      -> <ip>
  6. hex numbers: 0x... and runs of 8 or more hex digits holding a digit   -> <hex>
  7. decimal numbers not glued to a word before them (so "eth0" stays)   -> <num>
  8. white space collapsed to one space; the text cut at TEXT_LIMIT characters.
The signature is the first 16 hex digits of the SHA-256 of that text. A failure with no reason is
hashed from its result and its node's type instead (its text says so).

A leaf failure is a failing node with no failing node beneath it.
"""
import hashlib
import json
import re
from itertools import compress, repeat
from operator import eq, itemgetter

from kovra.reporter.format import reason_of  # noqa: F401  (one rule for the server and the command line)

PASS = frozenset(("passed", "passx"))
FAIL = frozenset(("failed", "errored", "aborted"))
# Sections directly under a task sit at this depth (the run set is 0, its tasks 1).
SECTION_DEPTH = 2
TEXT_LIMIT = 500
REASON_LIMIT = 2000
# How many earlier jobs of a name a node's state looks at, and the flips that make it flaky.
WINDOW = 10
FLAKY_FLIPS = 2

_RULES = [
    (re.compile(r"'[^'\n]*'|\"[^\"\n]*\"|`[^`\n]*`"), "<str>"),
    (re.compile(r"\b[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}\b"), "<uuid>"),
    (re.compile(r"\b\d{4}-\d{2}-\d{2}(?:[T ]\d{2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?)?(?:Z|[+-]\d{2}:?\d{2})?"
                r"|\b\d{1,2}:\d{2}:\d{2}(?:[.,]\d+)?(?:Z|[+-]\d{2}:?\d{2})?"), "<time>"),
    (re.compile(r"(?<![\w:])(?=[0-9a-fA-F:]*:[0-9a-fA-F]*:)(?:[0-9a-fA-F]{0,4}:){2,7}[0-9a-fA-F]{0,4}(?![\w:])"),
     "<ip>"),
    (re.compile(r"\b(?:\d{1,3}\.){3}\d{1,3}(?::\d{1,5})?\b"), "<ip>"),
    (re.compile(r"\b0[xX][0-9a-fA-F]+\b|\b(?=[0-9a-fA-F]*\d)[0-9a-fA-F]{8,}\b"), "<hex>"),
    (re.compile(r"(?<![A-Za-z_])[-+]?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?"), "<num>"),
]
_SPACE = re.compile(r"\s+")


def result_class(result):
    result = None if result is None else str(result).lower()
    return "pass" if result in PASS else "fail" if result in FAIL else "other"


def signature_text(reason, result=None, kind=None):
    """The text a failure is grouped by (see the module's rules)."""
    if reason is None or not str(reason).strip():
        return "%s %s (no reason)" % (result or "failed", kind or "node")
    text = str(reason)
    for pattern, placeholder in _RULES:
        text = pattern.sub(placeholder, text)
    return _SPACE.sub(" ", text).strip()[:TEXT_LIMIT]


def signature_of(text, has_reason=True):
    seed = text if has_reason else "\0no reason\0" + text
    return hashlib.sha256(seed.encode("utf-8", "replace")).hexdigest()[:16]


def _reason_text(reason):
    if reason is None:
        return None
    return (reason if isinstance(reason, str) else json.dumps(reason, ensure_ascii=False))[:REASON_LIMIT]


# The order of an index row's values after the job's key (the storage puts that first).
RESULT_COLUMNS = ("name", "path", "section", "start", "class", "result", "leaf", "signature", "text", "reason",
                  "epoch")


def index_rows(name, start, nodes, epoch=0, left=None, columns=(0, 1, 2, 3, 4, 5)):
    """The index rows of one job: its sections directly under a task, and every node with a result below
    a section that holds a failure (so that a node missing there did not fail). `nodes` yields rows with
    the path, parent, depth, type, result and data text at the places `columns` gives, a node's ancestors
    among them (a node whose are not is left out); rows come in the order of `nodes`, sections first.
    Failures carry `epoch` (schema.results). With a dict `left`, the sections that do not fail are left
    out, and `left` gets {result: (lowered, class)} of their results: the database makes those rows
    (section_rows)."""
    nodes = nodes if isinstance(nodes, list) else list(nodes)
    at_path, at_parent, at_depth, at_type, at_result, at_data = columns
    paths, parents = list(map(itemgetter(at_path), nodes)), list(map(itemgetter(at_parent), nodes))
    depths, results = list(map(itemgetter(at_depth), nodes)), list(map(itemgetter(at_result), nodes))
    # A job holds a handful of distinct result texts: each is lowered and classed once, and whether a
    # section of that result is left to the database is known with it.
    leave = left is not None
    classes = {None: (None, "other", leave)}
    for result in set(results):
        if result is not None:
            lowered = str(result).lower()
            cls = result_class(lowered)
            classes[result] = (lowered, cls, leave and cls != "fail")
    failed = {result for result, known in classes.items() if known[1] == "fail"}
    # The failures at a section or below; every node above one, up to its section, is not a leaf, and
    # its section holds a failure. The passes over every node are the interpreter's own loops.
    above, held, parent_of = set(), set(), None
    for index in compress(range(len(nodes)), map(failed.__contains__, results)):
        depth, path = depths[index], paths[index]
        if depth == SECTION_DEPTH:
            held.add(path)
        elif depth > SECTION_DEPTH:
            if parent_of is None:
                parent_of = dict(zip(paths, parents))
            chain = [path]
            while len(chain) <= depth - SECTION_DEPTH and chain[-1] in parent_of:
                chain.append(parent_of[chain[-1]])
            if len(chain) <= depth - SECTION_DEPTH or chain[-1] not in parent_of:
                continue  # an ancestor is missing
            held.add(chain[-1])
            above.update(chain[1:])
    kept = {result for result, known in classes.items() if not known[2]}
    made = [(index, paths[index]) for index in compress(range(len(nodes)), map(eq, depths, repeat(SECTION_DEPTH)))
            if results[index] in kept]
    if held:
        # The nodes below the sections that hold a failure, a level at a time (as many as the rows go
        # down, whatever their parents say).
        below, level = [], {section: section for section in held}
        for _ in range(max(depths) - SECTION_DEPTH):
            if not level:
                break
            children = list(compress(range(len(nodes)), map(level.__contains__, parents)))
            level = {paths[index]: level[parents[index]] for index in children}
            below += [(index, level[paths[index]]) for index in children if results[index] is not None]
        below.sort()
        made += below
    if leave:
        left.update((result, known[:2]) for result, known in classes.items() if known[2])
    rows = []
    append = rows.append
    # One cause often fails many nodes alike: each distinct reason is made a signature once.
    signed = {}
    for index, section in made:
        node = nodes[index]
        path, result = paths[index], results[index]
        lowered, cls, _ = classes[result]
        if cls == "fail" and path not in above:
            kind, data = node[at_type], node[at_data]
            reason = reason_of(json.loads(data)) if data else None
            key = (reason is None, str(reason), lowered, kind)
            found = signed.get(key)
            if found is None:
                text = signature_text(reason, lowered, kind)
                found = signed[key] = (text, signature_of(text, reason is not None and bool(str(reason).strip())))
            text, signature = found
            append((name, path, section, start, cls, lowered, True, signature, text, _reason_text(reason), epoch))
        else:
            append((name, path, section, start, cls, lowered, False, None, None, None,
                    epoch if cls == "fail" else None))
    return rows


def section_rows(name, start, job, left, after=None):
    """(statement, values): the rows of a job's sections of the results in `left` (from index_rows), made
    by the database from its node rows, each result's lowered text and class given: binding them one by
    one cost more than the rest of the index. With `after` (SQLite), the job's node rows are those past
    that rowid, read in the order they were written (the "+" keeps SQLite from seeking each by its key
    instead). "?" marks the values."""
    texts = [result for result in left if result is not None]
    lowered = " ".join("WHEN ? THEN ?" for _ in texts)
    passing = [result for result in texts if left[result][1] == "pass"]
    classes = " ".join("WHEN ? THEN 'pass'" for _ in passing)
    where = []
    if texts:
        where.append("result IN (%s)" % ",".join("?" * len(texts)))
    if None in left:
        where.append("result IS NULL")
    statement = ("INSERT INTO results (job, name, path, section, start, class, result, leaf) SELECT job, ?, path, "
                 "path, ?, %s, %s, false FROM nodes WHERE %sjob = ? AND depth = %d AND (%s)" % (
                     "CASE result %s ELSE 'other' END" % classes if passing else "'other'",
                     "CASE result %s END" % lowered if texts else "NULL", "" if after is None else "rowid > ? AND +",
                     SECTION_DEPTH, " OR ".join(where)))
    pairs = [value for result in texts for value in (result, left[result][0])]
    return statement, [name, start] + passing + pairs + ([] if after is None else [after]) + [job] + texts


SIGNATURE_COLUMNS = ("signature", "name", "start", "count", "text")


def signature_rows(rows):
    """Rows for the per-job signature counts, from a job's index rows."""
    counted = {}
    for name, _, _, start, _, _, leaf, signature, text, _, _ in rows:
        if leaf:
            found = counted.get(signature)
            counted[signature] = (signature, name, start, found[3] + 1 if found else 1, text)
    return list(counted.values())


def flips(classes):
    """How many neighbouring pairs differ among the pass and fail classes of `classes` (oldest first)."""
    kept = [c for c in classes if c in ("pass", "fail")]
    return sum(1 for a, b in zip(kept, kept[1:]) if a != b)


def state_of(flip_count, run_length):
    """flaky with two flips or more; else new when the failures are this job alone, failing when longer."""
    if flip_count >= FLAKY_FLIPS:
        return "flaky"
    return "new" if run_length <= 1 else "failing"


def evidence(state, failing_since, run_length, flip_count, window_jobs, passed_before=None):
    """The words a page shows for a failing node's state."""
    if state == "flaky":
        return "flaky: changed between pass and fail %d time%s in the last %d jobs" % (
            flip_count, "" if flip_count == 1 else "s", window_jobs)
    words = "failing since %s (%d job%s" % (failing_since, run_length, "" if run_length == 1 else "s")
    if passed_before:
        words += "; passed in the %d job%s before" % (passed_before, "" if passed_before == 1 else "s")
    return ("new failure: " if state == "new" else "") + words + ")"
