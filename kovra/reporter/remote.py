"""Jobs on a reporter server as the command line's inputs: a job URL is fetched into a local copy.

``http://HOST:PORT/jobs/JOB`` names job JOB on that server. The commands that read a
stored report file take such a URL as well: the server's whole document, and its
logs where the command shows them, are fetched into a temporary folder that
goes when the command ends. A token for a server that wants one for reading comes
from $KOVRA_REPORTER_TOKEN.
"""
import contextlib
import os
import shutil
import tempfile

from kovra.reporter.client import ServerClient, ServerError, split_job_url

TOKEN_VARIABLE = "KOVRA_REPORTER_TOKEN"


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


@contextlib.contextmanager
def local_copies(args, names, with_logs=False):
    """Replaces each job URL among args.<names> with a fetched local results.json for the command's run.

    The shown name stays the URL: args.<name>_shown holds what the user gave.
    """
    folder = None
    try:
        for name in names:
            given = getattr(args, name, None)
            setattr(args, name + "_shown", given)
            client = client_for(given) if isinstance(given, str) else None
            if client is None:
                continue
            if folder is None:
                folder = tempfile.mkdtemp(prefix="kovra-fetched-")
            own = os.path.join(folder, name)
            os.mkdir(own)
            with client:
                path = os.path.join(own, "results.json")
                with open(path, "wb") as stream:
                    stream.write(client.get_report())
                if with_logs:
                    for log_name in client.log_names():
                        if os.path.basename(log_name) != log_name or log_name in (".", ".."):
                            continue
                        with open(os.path.join(own, log_name), "wb") as stream:
                            stream.write(client.log(log_name))
            setattr(args, name, path)
        yield args
    finally:
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)


__all__ = ["ServerError", "client_for", "local_copies", "token_from"]
