"""Known issues, mutes and owners: checked when made, kept in their tables, applied when failures are read
(so a rule made today marks yesterday's failures too). Node paths here are ids joined with "." (for
example ``task.case.step``), which globs and owners lines are written over.

Regular expressions in known issues are held to a safe subset, checked on the parsed pattern when the
rule is made: no backreferences, no lookarounds, and no repeat inside a repeat or over an alternation
(the shapes whose backtracking grows exponentially). What remains runs in polynomial time, and it only
ever searches a reason cut to 2,000 characters.
"""
import datetime
import fnmatch
import json
import re

try:  # the parser moved in 3.11
    from re import _parser as sre_parse
    from re import _constants as sre_constants
except ImportError:  # pragma: no cover
    import sre_constants
    import sre_parse

from sqlalchemy import delete, insert, select, true, update

from kovra.reporter.server import schema, triage
from kovra.reporter.server.intake import Refused

PATTERN_LIMIT = 500
TEXT_LIMIT = 1000
OWNERS_LIMIT = 256 * 1024
MUTE_DAYS = 366
# A repeat of more than this many times counts as unbounded for the nesting rule.
LARGE_REPEAT = 10
STATES = ("open", "closed")
_OWNER = re.compile(r"[\w.@+/-]+\Z")


def today():
    """The date mutes are judged on (UTC); the tests move it."""
    return datetime.datetime.utcnow().date()


def dotted(path_ids):
    return ".".join(str(i) for i in path_ids)


# --- checks -------------------------------------------------------------------------------------------------------

def _walk(items, inside_repeat):
    """Raises ValueError on a construct outside the safe subset."""
    for op, av in items:
        name = str(op)
        if op in (sre_constants.GROUPREF, getattr(sre_constants, "GROUPREF_EXISTS", None)):
            raise ValueError("backreferences are not allowed")
        if op in (sre_constants.ASSERT, sre_constants.ASSERT_NOT):
            raise ValueError("lookarounds are not allowed")
        if name in ("MAX_REPEAT", "MIN_REPEAT", "POSSESSIVE_REPEAT"):
            low, high, body = av
            unbounded = high is sre_constants.MAXREPEAT or high > LARGE_REPEAT
            if unbounded and inside_repeat:
                raise ValueError("a repeat inside a repeat is not allowed")
            if unbounded and any(sub_op == sre_constants.BRANCH for sub_op, _ in _flat(body)):
                raise ValueError("a repeated alternation is not allowed")
            _walk(body, inside_repeat or unbounded)
        elif op == sre_constants.SUBPATTERN:
            _walk(av[-1], inside_repeat)
        elif op == sre_constants.BRANCH:
            for branch in av[1]:
                _walk(branch, inside_repeat)
        elif name == "ATOMIC_GROUP":
            _walk(av, inside_repeat)


def _flat(items):
    for op, av in items:
        yield op, av
        if op == sre_constants.SUBPATTERN:
            yield from _flat(av[-1])


def check_pattern(pattern):
    """The compiled pattern, or Refused saying why it is not taken."""
    if not isinstance(pattern, str) or not pattern:
        raise Refused("match must be a signature or a regular expression")
    if len(pattern) > PATTERN_LIMIT:
        raise Refused("the regular expression is longer than %d characters" % PATTERN_LIMIT)
    try:
        compiled = re.compile(pattern)
        _walk(sre_parse.parse(pattern), False)
    except re.error as error:
        raise Refused("the regular expression does not compile: %s" % error) from None
    except ValueError as error:
        raise Refused("the regular expression may take too long: %s (the safe subset has no backreferences, "
                      "lookarounds, nested repeats or repeated alternations)" % error) from None
    except RecursionError:
        raise Refused("the regular expression is nested too deeply") from None
    return compiled


def is_signature(match):
    return isinstance(match, str) and len(match) == 16 and all(c in "0123456789abcdef" for c in match)


def _text(record, key, required=True, limit=TEXT_LIMIT):
    value = record.get(key)
    if value is None or value == "":
        if required:
            raise Refused("%s is required" % key)
        return None
    if not isinstance(value, str):
        raise Refused("%s must be text" % key)
    if len(value) > limit:
        raise Refused("%s is longer than %d characters" % (key, limit))
    if any(ord(c) < 32 for c in value):
        raise Refused("%s must be one line of text" % key)
    return value


def _record(body):
    if not isinstance(body, dict):
        raise Refused("the body must be a JSON object")
    return body


def check_issue(body, partial=False):
    """The known-issue fields of a request body, checked; `partial` for a change (only those given)."""
    body = _record(body)
    unknown = set(body) - {"title", "url", "match", "name", "state", "id"}
    if unknown:
        raise Refused("unknown field %r" % sorted(unknown)[0])
    fields = {}
    for key, required in (("title", True), ("url", False), ("match", True), ("name", False), ("state", False)):
        if partial and key not in body:
            continue
        fields[key] = _text(body, key, required and not partial)
    if fields.get("url") and not re.match(r"https?://[^\s/]+", fields["url"]):
        raise Refused("url must start with http:// or https://")
    if "match" in fields:
        if fields["match"] is None:
            raise Refused("match is required")
        if not is_signature(fields["match"]):
            check_pattern(fields["match"])
    if "title" in fields and fields["title"] is None:
        raise Refused("title is required")
    if fields.get("state") is None and not partial:
        fields["state"] = "open"
    if "state" in fields and fields["state"] not in STATES:
        raise Refused("state must be open or closed")
    return fields


def check_mute(body, partial=False):
    body = _record(body)
    unknown = set(body) - {"name", "path", "reason", "owner", "until", "id"}
    if unknown:
        raise Refused("unknown field %r" % sorted(unknown)[0])
    fields = {}
    for key, required in (("name", False), ("path", True), ("reason", True), ("owner", True), ("until", True)):
        if partial and key not in body:
            continue
        fields[key] = _text(body, key, required)
    if "until" in fields:
        try:
            until = datetime.date.fromisoformat(fields["until"])
        except ValueError:
            raise Refused("until must be a date (YYYY-MM-DD), not %r" % fields["until"][:40]) from None
        now = today()
        if until < now:
            raise Refused("until %s is in the past" % until)
        if until > now + datetime.timedelta(days=MUTE_DAYS):
            raise Refused("until %s is more than a year ahead" % until)
        fields["until"] = until
    return fields


def parse_owners(text):
    """[(glob, [owner...])] of an owners text; Refused naming the first line that does not parse."""
    if not isinstance(text, str):
        raise Refused("the owners text must be text")
    if len(text) > OWNERS_LIMIT:
        raise Refused("the owners text is larger than %d bytes" % OWNERS_LIMIT, status=413)
    lines = []
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        if any(ord(c) < 32 and c != "\t" for c in stripped):
            raise Refused("owners line %d: control characters" % number)
        parts = stripped.split()
        if len(parts) < 2:
            raise Refused("owners line %d: %r has a pattern but no owner" % (number, stripped[:80]))
        bad = next((p for p in parts[1:] if not _OWNER.match(p)), None)
        if bad is not None:
            raise Refused("owners line %d: %r is not an owner (letters, digits and . @ + / - _)" % (number, bad[:80]))
        if parts[0].count("[") != parts[0].count("]"):
            raise Refused("owners line %d: unbalanced [ ] in %r" % (number, parts[0][:80]))
        lines.append((parts[0], parts[1:]))
    return lines


def owners_of(lines, path):
    """The owners of a dotted path: the last matching line wins."""
    found = []
    for pattern, owners in lines:
        if fnmatch.fnmatchcase(path, pattern):
            found = owners
    return list(found)


# --- stored rules -------------------------------------------------------------------------------------------------

def _issue_out(row):
    return {"id": row.id, "title": row.title, "url": row.url, "match": row.match, "name": row.name,
            "state": row.state, "written_by": row.written_by}


def _mute_out(row):
    return {"id": row.id, "name": row.name, "path": row.path, "reason": row.reason, "owner": row.owner,
            "until": row.until.isoformat() if row.until else None, "written_by": row.written_by}


class Rules:
    """The rules' records in a `Storage`'s database, and their application to failures."""

    def __init__(self, storage):
        self.storage = storage

    def _rows(self, statement):
        with self.storage._guard(), self.storage.engine.connect() as connection:
            return connection.execute(statement).fetchall()

    def _write(self, statement):
        with self.storage._guard(), self.storage._writer() as connection:
            return connection.execute(statement)

    # known issues
    def issues(self, state=None):
        t = schema.known_issues
        statement = select(t).order_by(t.c.id)
        if state:
            statement = statement.where(t.c.state == state)
        return [_issue_out(row) for row in self._rows(statement)]

    def issue(self, issue_id):
        found = self._rows(select(schema.known_issues).where(schema.known_issues.c.id == issue_id))
        return _issue_out(found[0]) if found else None

    # `written_by`: the name of the token that makes or changes a record.
    def make_issue(self, body, written_by=None):
        fields = check_issue(body)
        made = self._write(insert(schema.known_issues).values(created=datetime.datetime.utcnow(),
                                                              written_by=written_by, **fields))
        return self.issue(made.inserted_primary_key[0])

    def change_issue(self, issue_id, body, written_by=None):
        fields = check_issue(body, partial=True)
        if self.issue(issue_id) is None:
            return None
        if fields:
            self._write(update(schema.known_issues).where(schema.known_issues.c.id == issue_id)
                        .values(written_by=written_by, **fields))
        return self.issue(issue_id)

    def delete_issue(self, issue_id):
        return self._write(delete(schema.known_issues).where(schema.known_issues.c.id == issue_id)).rowcount > 0

    # mutes
    def mutes(self):
        t = schema.mutes
        return [_mute_out(row) for row in self._rows(select(t).order_by(t.c.id))]

    def mute(self, mute_id):
        found = self._rows(select(schema.mutes).where(schema.mutes.c.id == mute_id))
        return _mute_out(found[0]) if found else None

    def make_mute(self, body, written_by=None):
        fields = check_mute(body)
        made = self._write(insert(schema.mutes).values(created=datetime.datetime.utcnow(), written_by=written_by,
                                                       **fields))
        return self.mute(made.inserted_primary_key[0])

    def change_mute(self, mute_id, body, written_by=None):
        fields = check_mute(body, partial=True)
        if self.mute(mute_id) is None:
            return None
        if fields:
            self._write(update(schema.mutes).where(schema.mutes.c.id == mute_id).values(written_by=written_by, **fields))
        return self.mute(mute_id)

    def delete_mute(self, mute_id):
        return self._write(delete(schema.mutes).where(schema.mutes.c.id == mute_id)).rowcount > 0

    # owners
    def owners_text(self, name):
        found = self._rows(select(schema.owners.c.text).where(schema.owners.c.name == name))
        return found[0].text if found else ""

    def owners_row(self, name):
        """(text, the name of the token that set it) of a job name's owners."""
        t = schema.owners
        found = self._rows(select(t.c.text, t.c.written_by).where(t.c.name == name))
        return (found[0].text, found[0].written_by) if found else ("", None)

    def set_owners(self, name, text, written_by=None):
        lines = parse_owners(text)
        t = schema.owners
        with self.storage._guard(), self.storage._writer() as connection:
            connection.execute(delete(t).where(t.c.name == name))
            if text.strip():
                connection.execute(insert(t).values(name=name, text=text, updated=datetime.datetime.utcnow(),
                                                    written_by=written_by))
        return lines

    def matches(self, issue, limit=200, scan=20000):
        """[(job, name, start, path, reason)] of the leaf failures an issue's rule matches, newest first
        (a regular expression is tried on the newest `scan` leaf failures)."""
        r = schema.results.c
        where = [r.leaf == true()]
        if issue["name"]:
            where.append(r.name == issue["name"])
        statement = select(r.job, r.name, r.start, r.path, r.reason).order_by(r.start.desc(), r.job.desc(),
                                                                              r.path)
        if is_signature(issue["match"]):
            return self._rows(statement.where(r.signature == issue["match"], *where).limit(limit))
        pattern = re.compile(issue["match"])
        found = []
        for row in self._rows(statement.where(r.reason.isnot(None), *where).limit(scan)):
            if pattern.search(row.reason):
                found.append(row)
                if len(found) >= limit:
                    break
        return found

    def all_owners(self):
        t = schema.owners
        return [{"name": row.name, "text": row.text} for row in self._rows(select(t.c.name, t.c.text).order_by(t.c.name))]

    def passing_while_muted(self, mutes, insights, jobs=3):
        """[{"dotted", "name", "mute", "owner"}] of the muted tests of a name that passed in each of its last
        `jobs` jobs (as the index holds them); mutes over every name are judged for no name."""
        r = schema.results.c
        found = []
        for mute in mutes:
            if not mute["name"]:
                continue
            recent = [row.id for row in insights.recent_jobs(mute["name"], jobs)]
            if len(recent) < jobs:
                continue
            classes = {}
            for row in self._rows(select(r.path, r.job, r["class"]).where(r.job.in_(recent))):
                dotted_path = ids_text(row.path)
                if fnmatch.fnmatchcase(dotted_path, mute["path"]):
                    classes.setdefault(dotted_path, {})[row.job] = row[2]
            for dotted_path, seen in sorted(classes.items()):
                if len(seen) == jobs and all(c == "pass" for c in seen.values()):
                    found.append({"dotted": dotted_path, "name": mute["name"], "mute": mute["id"],
                                  "owner": mute["owner"]})
        return found

    # applied to failures
    def applier(self, name):
        return Applier(self.issues("open"), self.mutes(), parse_owners(self.owners_text(name)), name)


class Applier:
    """The open known issues, the mutes in force today and a name's owners, applied to its failures."""

    def __init__(self, issues, mutes, owners, name):
        self.name = name
        self.issues = [(issue, None if is_signature(issue["match"]) else re.compile(issue["match"]))
                       for issue in issues if issue["name"] in (None, name)]
        now = today()
        self.mutes = [m for m in mutes if m["name"] in (None, name) and datetime.date.fromisoformat(m["until"]) >= now]
        self.owners = owners

    def known_issue(self, signature, reason):
        for issue, pattern in self.issues:
            if pattern is None:
                if issue["match"] == signature:
                    return issue
            elif isinstance(reason, str) and pattern.search(reason[:triage.REASON_LIMIT]):
                return issue
        return None

    def muted(self, path):
        return next((m for m in self.mutes if fnmatch.fnmatchcase(path, m["path"])), None)

    def owners_of(self, path):
        return owners_of(self.owners, path)


def ids_text(path):
    """A stored path (JSON ids) as the dotted text rules match."""
    return dotted(json.loads(path))
