"""`summary [--check]` of a group on a server (http://HOST:PORT/groups/GROUP): the shards as one run."""
import urllib.parse

from kovra.reporter import remote, views
from kovra.reporter.format import dotted


def split_group_url(text):
    """``http://HOST:PORT/groups/GROUP`` -> (server URL, group); None if not one."""
    if not isinstance(text, str):
        return None
    parsed = urllib.parse.urlsplit(text)
    if parsed.scheme not in ("http", "https") or not parsed.netloc:
        return None
    for marker in ("/api/groups/", "/groups/"):
        at = parsed.path.rfind(marker)
        if at >= 0:
            group = urllib.parse.unquote(parsed.path[at + len(marker):].rstrip("/"))
            if group and "/" not in group:
                return urllib.parse.urlunsplit((parsed.scheme, parsed.netloc, parsed.path[:at], "", "")), group
    return None


def cmd_group_summary(args, server, group):
    from kovra.reporter.client import ServerClient
    with ServerClient(server, None, token=remote.token_from(), timeout=60) as client:
        found = client.get_group(group)
    p = views.printable
    print("group %s: %d jobs, %s" % (p(found["group"]), len(found["jobs"]), found["state"]))
    for job in found["jobs"]:
        print("  %s  %s  %s  %s" % (p(job["id"]), job["state"], p(job["result"] or "-"),
                                    views.format_counts(job["counts"]) if job["counts"] else "-"))
    print("test cases: %s" % (views.format_counts(found["counts"]) if found["counts"] else "none"))
    for failure in found["failures"]:
        print("  %s: %s: %s%s" % (p(failure["job"]), p(dotted(failure["path"])), failure["result"],
                                  " (%s)" % p(failure["reason"]) if failure["reason"] else ""))
    if not args.check:
        return 0
    if not found["passed"]:
        print("check: FAILED (group %s)" % p(found["group"]))
        return 1
    print("check: ok")
    return 0


def print_groups(client, as_json=False):
    """`jobs SERVER --groups`: each group folded into one row, newest first."""
    import json
    found = client._json("GET", "/api/groups")
    if as_json:
        print(json.dumps(found, indent=2))
        return 0
    p = views.printable
    table = [("GROUP", "JOBS", "STATE", "VERDICT", "COUNTS")]
    for row in found["groups"]:
        table.append((p(row["group"]), str(row["jobs"]), row["state"], "passed" if row["passed"] else "FAILED",
                      views.format_counts(row["counts"]) if row["counts"] else "-"))
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    for line in table:
        print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())
    return 0
