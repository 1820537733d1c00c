"""Command line for stored reports: ``python -m kovra.reporter COMMAND ...``.

Every command reads a stored ``results.json`` or ``results.yaml``. A file
that is missing, malformed or of another format version gives one line on
standard error naming the file and the cause, and exit status 2; outputs are
written to a temporary file first and renamed into place, so a failed command
leaves nothing behind.
"""
import argparse
import os
import shutil
import sys
import tempfile

from kovra.reporter import group_cli, remote, server_cli, store, views
from kovra.reporter.format import FAILING

PROG = "python -m kovra.reporter"
COLOURS = {"passed": "32", "passx": "36", "failed": "31", "errored": "1;31", "aborted": "1;35",
           "blocked": "33", "skipped": "33"}


# The framework's packages, which the stand-ins (kovra-reporter-standins) replace where it is not installed: the
# commands that build a run set from the report (xml, convert) need them, the others read plain data.
FRAMEWORK_PACKAGES = ("kovra.configuration", "kovra.datastructures", "kovra.qoreport", "kovra.results", "kovra.utils")


class CommandError(Exception):
    """A failure to report in one line; the message names the file concerned."""


def _missing_framework_package(error):
    name = getattr(error, "name", None) or ""
    return next((p for p in FRAMEWORK_PACKAGES if name == p or name.startswith(p + ".")), None)


# --- output -------------------------------------------------------------------------------------------------------

def _mode():
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def _cannot_write(path, why):
    return CommandError("%s: cannot write: %s" % (path, why))


def _check_file_target(path):
    if os.path.isdir(path):
        raise _cannot_write(path, "it is a folder; give a file name")


def _wrote(path, existed, stream=None):
    # Outputs are replaced without asking, like any -o; the line says when an earlier file was.
    print("%s %s" % ("replaced" if existed else "wrote", views.printable(path)), file=stream or sys.stdout)


def _write_stream(path, data):
    """Writes into an existing FIFO, terminal or /dev/stdout as it is: there is no file to replace."""
    try:
        with open(path, "wb") as stream:
            stream.write(data)
    except OSError as error:
        raise _cannot_write(path, error.strerror or error) from None
    # Said on standard error, which the data may not be going to.
    _wrote(path, False, sys.stderr)


def write_file(path, data):
    """Writes `data` (text or bytes) to `path` through a temporary file beside it, then names what it wrote."""
    _check_file_target(path)
    existed = os.path.exists(path)
    data = data.encode("utf-8") if isinstance(data, str) else data
    if existed and not os.path.isfile(path):
        return _write_stream(path, data)
    folder = os.path.dirname(os.path.abspath(path))
    try:
        handle, temp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".")
    except OSError as error:
        raise _cannot_write(path, error.strerror or error) from None
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
        os.chmod(temp, _mode())
        os.replace(temp, path)
    except OSError as error:
        os.unlink(temp)
        raise _cannot_write(path, error.strerror or error) from None
    except BaseException:
        os.unlink(temp)
        raise
    _wrote(path, existed)


def _paint(text, result, colour):
    code = COLOURS.get(result)
    return "\x1b[%sm%s\x1b[0m" % (code, text) if colour and code else text


def _use_colour(choice):
    if choice == "always":
        return True
    if choice == "never" or "NO_COLOR" in os.environ:
        return False
    return sys.stdout.isatty()


# --- commands -----------------------------------------------------------------------------------------------------

def cmd_show(args):
    report = store.read_document(args.file, progress=args.progress)["report"]
    rows = list(views.walk(report))
    if args.failed:
        keep = set()
        ancestors = []
        for depth, path, node in rows:
            del ancestors[depth:]
            ancestors.append(path)
            if views.is_failing(node):
                keep.update(ancestors)
        rows = [row for row in rows if row[1] in keep or row[0] == 0]
    colour = _use_colour(args.color)
    labels = ["%s%s" % ("  " * depth, views.printable(views.node_id(node))) for depth, _, node in rows]
    types = [views.printable(node.get("type") or "-") for _, _, node in rows]
    wide = max(len(label) for label in labels)
    wide_type = max(max(len(t) for t in types), 4)
    print("%-*s  %-*s  %-8s  %8s  %s" % (wide, "ID", wide_type, "TYPE", "RESULT", "RUN TIME", "REASON"))
    for label, kind, (_, _, node) in zip(labels, types, rows):
        result = views.state(node)
        shown = "%-8s" % views.printable(result or "-")
        reason = views.node_reason(node)
        line = "%-*s  %-*s  %s  %8s" % (wide, label, wide_type, kind, _paint(shown, result, colour),
                                        views.format_seconds(node.get("runtime")))
        print(line + ("  " + views.printable(views.as_text(reason)) if reason is not None else ""))
    if args.failed and len(rows) == 1:
        print("(no failures)")
    return 0


def cmd_summary(args):
    report = store.read_document(args.file, progress=args.progress)["report"]
    summary = report.get("summary") if isinstance(report.get("summary"), dict) else {}
    for line in views.summary_lines(report):
        print(line)
    if not args.check:
        return 0
    client = remote.client_for(args.file_shown) if isinstance(args.file_shown, str) else None
    if client is not None:
        # A job on a server: its verdict, which leaves muted failures out.
        with client:
            verdict = client.check()
        muted = len(verdict.get("muted", ()))
        note = " (%d muted failure%s)" % (muted, "" if muted == 1 else "s") if muted else ""
        if not verdict.get("passed"):
            failing = [views.printable(".".join(str(i) for i in item["path"])) for item in verdict["failing"]]
            shown = ", ".join(failing[:10]) + (", ..." if len(failing) > 10 else "")
            print("check: FAILED (%d failing: %s)%s" % (len(failing), shown, note))
            return 1
        print("check: ok%s" % note)
        return 0
    bad = {}
    for _, _, node in views.walk(report):
        name = views.result_name(node.get("result"))
        if name in FAILING:
            bad[name] = bad.get(name, 0) + 1
    for counter in (summary, report.get("pluginsummary")):
        for name, count in views.counts(counter):
            if name in FAILING and count:
                bad[name] = max(bad.get(name, 0), count)
    if bad:
        print("check: FAILED (failing nodes: %s)" % views.format_counts(bad))
        return 1
    print("check: ok")
    return 0


def cmd_xml(args):
    if os.path.exists(args.out) and not os.path.isdir(args.out):
        raise _cannot_write(args.out, "not a folder")
    job = store.load(args.file, progress=args.progress)
    from kovra.reporter.ledgrin import Ledgrin
    made = not os.path.isdir(args.out)
    try:
        os.makedirs(args.out, exist_ok=True)
        work = tempfile.mkdtemp(dir=args.out, prefix=".xml-")
    except OSError as error:
        raise _cannot_write(args.out, error.strerror or error) from None
    try:
        try:
            # Ledgrin needs a folder of its own: it leaves a dump of the rough XML there when rendering fails.
            Ledgrin(work, job).generate_xml(None, None)
        except Exception as error:
            shutil.rmtree(work, ignore_errors=True)
            if made:
                os.rmdir(args.out)
            raise CommandError("%s: cannot render the XML files: %s: %s"
                               % (args.file, type(error).__name__, error)) from None
        for name in ("ResultsDetails.xml", "ResultsSummary.xml"):
            target = os.path.join(args.out, name)
            _check_file_target(target)
            existed = os.path.exists(target)
            os.chmod(os.path.join(work, name), _mode())
            os.replace(os.path.join(work, name), target)
            _wrote(target, existed)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


def cmd_junit(args):
    from kovra.reporter.junit import to_junit
    _check_file_target(args.out)
    write_file(args.out, to_junit(store.read_document(args.file, progress=args.progress)))
    return 0


def cmd_diff(args):
    if args.threshold < 0:
        raise CommandError("--threshold must not be negative")
    from kovra.reporter.compare import Comparison
    old = store.read_document(args.old, progress=args.progress)
    new = store.read_document(args.new, progress=args.progress)
    comparison = Comparison(old, new, threshold=args.threshold)
    print("%s -> %s" % (views.printable(args.old_shown), views.printable(args.new_shown)))
    for line in comparison.lines():
        print(views.printable(line))
    return 1 if comparison.new_failures else 0


FORMS = {".json": "json", ".yaml": "yaml", ".yml": "yaml"}


def _form_to_write(args):
    """--to when given, else the form the output's suffix names; the two must not disagree."""
    named = FORMS.get(os.path.splitext(args.out)[1].lower()) if args.out else None
    if args.to and named and args.to != named:
        raise CommandError("%s: the name says %s but --to says %s; name the file for its form, or leave --to out"
                           % (args.out, named.upper(), args.to))
    if args.to or named:
        return args.to or named
    if args.out:
        raise CommandError("%s: cannot tell the form from the name (.json, .yaml or .yml); give --to json or "
                           "--to yaml" % args.out)
    raise CommandError("give --to json or --to yaml when writing to standard output")


def cmd_convert(args):
    form = _form_to_write(args)
    if args.out:
        _check_file_target(args.out)
    job = store.load(args.file, progress=args.progress)
    text = job.dump_json() if form == "json" else job.dump_yaml()
    if args.out:
        write_file(args.out, text)
    else:
        sys.stdout.write(text if text.endswith("\n") else text + "\n")
    return 0


def cmd_html(args):
    _check_file_target(args.out)
    document = store.read_document(args.file, progress=args.progress)
    try:
        from kovra.reporter import html
    except ImportError as error:
        raise CommandError("HTML reports are not available here: %s" % error) from None
    try:
        if isinstance(args.file, store.Fetched):
            text = html.render(document, logs=args.file.logs or {})
        else:
            text = html.render(document, source_dir=os.path.dirname(os.path.abspath(args.file)))
    except (ValueError, TypeError) as error:
        raise CommandError("%s: cannot make the HTML report: %s" % (args.file, error)) from None
    write_file(args.out, text)
    return 0


# --- arguments ----------------------------------------------------------------------------------------------------

def build_parser(prog=PROG):
    parser = argparse.ArgumentParser(
        prog=prog, description="Look at, convert and compare stored reports (results.json or results.yaml).")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, func, text):
        sub = commands.add_parser(name, help=text, description=text)
        sub.set_defaults(func=func, progress=1.0)
        sub.add_argument("--no-progress", dest="progress", action="store_const", const=None,
                         help="never show a progress bar (by default one appears on standard error "
                              "when loading takes longer than a second)")
        return sub

    sub = command("show", cmd_show, "Print the report's tree: id, type, result and run time of every node.")
    sub.add_argument("file", metavar="FILE", help="stored report")
    sub.add_argument("--failed", action="store_true", help="keep only the paths that lead to failures")
    sub.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                     help="colour the results (auto: when standard output is a terminal)")

    sub = command("summary", cmd_summary, "Print the job's counts, success rate, health and plugins.")
    sub.add_argument("file", metavar="FILE", help="stored report")
    sub.add_argument("--check", action="store_true",
                     help="exit with status 1 when anything failed, errored or aborted; on a server's job "
                          "URL, the server's verdict, which leaves muted failures out")

    sub = command("xml", cmd_xml, "Regenerate ResultsDetails.xml and ResultsSummary.xml from the report. "
                                  "Give it results.json where both forms exist: results.yaml drops the trailing "
                                  "blanks of multi-line texts, so the files made from it can differ from the "
                                  "job's own.")
    sub.add_argument("file", metavar="FILE", help="stored report (results.json keeps every text exactly)")
    sub.add_argument("-o", "--out", metavar="DIR", required=True,
                     help="folder for the two files (made if missing; files of those names in it are replaced)")

    sub = command("junit", cmd_junit, "Export the report as JUnit XML for CI servers.")
    sub.add_argument("file", metavar="FILE", help="stored report")
    sub.add_argument("-o", "--out", metavar="OUT", required=True,
                     help="JUnit XML file to write (replaced if it exists)")

    sub = command("diff", cmd_diff, "Compare two reports: new failures, fixes, sections added or removed, "
                                    "run-time changes. Exits with status 1 when there are new failures.")
    sub.add_argument("old", metavar="OLD", help="earlier stored report")
    sub.add_argument("new", metavar="NEW", help="later stored report")
    sub.add_argument("--threshold", type=float, default=1.0, metavar="SECONDS",
                     help="list run-time changes larger than this many seconds (default: 1)")

    sub = command("convert", cmd_convert, "Rewrite the report in the other stored form.")
    sub.add_argument("file", metavar="FILE", help="stored report")
    sub.add_argument("--to", choices=("json", "yaml"),
                     help="form to write (default: the one OUT's suffix names, .json, .yaml or .yml)")
    sub.add_argument("-o", "--out", metavar="OUT",
                     help="file to write, replaced if it exists (default: standard output)")

    sub = command("html", cmd_html, "Write a browsable HTML page of the report.")
    sub.add_argument("file", metavar="FILE", help="stored report")
    sub.add_argument("-o", "--out", metavar="OUT", required=True,
                     help="HTML file to write (replaced if it exists)")

    server_cli.add_commands(command)
    return parser


def script():
    """The `kovra-report` console script."""
    sys.exit(main(prog="kovra-report"))


def main(argv=None, prog=PROG):
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    where = "%s %s" % (prog, args.command)
    try:
        group = group_cli.split_group_url(getattr(args, "file", None)) if args.command == "summary" else None
        if group is not None:
            return group_cli.cmd_group_summary(args, *group)
        # A job on a server (http://HOST:PORT/jobs/JOB) is read into memory.
        remote.fetch_reports(args, ("file", "old", "new"), with_logs=args.command == "html")
        return args.func(args)
    except (store.StoredReportError, CommandError, remote.ServerError, remote.NotAJobURL,
            server_cli.ServerCommandError) as error:
        print("%s: error: %s" % (where, views.printable(error)), file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (| head): say nothing more and keep Python from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except OSError as error:
        name = error.filename or getattr(args, "file", None) or getattr(args, "new", "")
        print("%s: error: %s: %s" % (where, views.printable(name), error.strerror or error), file=sys.stderr)
        return 2
    except MemoryError:
        print("%s: error: out of memory" % where, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("%s: interrupted" % where, file=sys.stderr)
        return 130
    except Exception as error:
        package = _missing_framework_package(error) if isinstance(error, ImportError) else None
        if package:
            print("%s: error: %s is not installed: this command needs the kovra framework's packages (or their "
                  "stand-ins, kovra-reporter-standins)" % (where, package), file=sys.stderr)
            return 2
        # A document that parses but holds values no report has.
        name = getattr(args, "file", None) or "%s, %s" % (args.old, args.new)
        print("%s: error: %s: cannot be read as a report: %s: %s"
              % (where, views.printable(name), type(error).__name__, views.printable(error)), file=sys.stderr)
        return 2
