"""Jobs on a reporter server as the command line's inputs: a job URL is read into memory.

``http://HOST:PORT/jobs/JOB`` names job JOB on that server. The commands that read a
stored report file take such a URL as well: the server's whole document, and its
logs where the command shows them, are fetched into a ``store.Fetched``, which the
store reads as it reads a file. A token for a server that wants one for reading comes
from $KOVRA_REPORTER_TOKEN.
"""
import os

from kovra.reporter import store
from kovra.reporter.client import ServerClient, ServerError, split_job_url

TOKEN_VARIABLE = "KOVRA_REPORTER_TOKEN"
JOB_URL_FORM = "http://HOST:PORT/jobs/KEY"


class NotAJobURL(ValueError):
    """An http(s) argument that names no job: it must not be taken for a file name."""


def is_url(text):
    return isinstance(text, str) and text.lower().startswith(("http://", "https://"))


def token_from(path=None):
    """The token in `path` (its first line), else $KOVRA_REPORTER_TOKEN, else None."""
    if path:
        with open(path, encoding="utf-8") as stream:
            return stream.readline().strip() or None
    return os.environ.get(TOKEN_VARIABLE) or None


def client_for(url, token=None, timeout=60.0):
    """A ServerClient for a job URL, or None when `url` is not one."""
    split = split_job_url(url)
    if split is None:
        return None
    return ServerClient(split[0], split[1], token=token if token is not None else token_from(), timeout=timeout)


def fetch_reports(args, names, with_logs=False):
    """Replaces each job URL among args.<names> with its report fetched into memory (a store.Fetched).

    The shown name stays the URL: args.<name>_shown holds what the user gave.
    """
    for name in names:
        given = getattr(args, name, None)
        setattr(args, name + "_shown", given)
        client = client_for(given) if isinstance(given, str) else None
        if client is None:
            if is_url(given):
                raise NotAJobURL("%s is not a job on a server (expected %s)" % (given, JOB_URL_FORM))
            continue
        with client:
            report = client.get_report()
            logs = None
            if with_logs:
                # Only plain names: a report cannot point the page at anything else.
                logs = {log_name: client.log(log_name) for log_name in client.log_names()
                        if os.path.basename(log_name) == log_name and log_name not in ("", ".", "..")}
        setattr(args, name, store.Fetched(given, report, logs))
    return args


__all__ = ["JOB_URL_FORM", "NotAJobURL", "ServerError", "client_for", "fetch_reports", "is_url", "token_from"]
