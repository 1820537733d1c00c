"""Installing with pip: a fresh venv, the reporter's distribution alone, then the
stand-ins too and the main job from the installed packages alone (the checkout
is nowhere on its path)."""
import glob
import json
import os
import socket
import subprocess
import sys
import sysconfig
import time
import zipfile

import pytest

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
MODULES = ("runset", "ledgrin", "explorer", "_yaml", "_intake")


def _tools_folder(*extra):
    """The folder giving this interpreter pip, setuptools, wheel and yaml (Debian's dist-packages)."""
    # Debian's setuptools is patched for Debian's own interpreters (their distutils install layout).
    if sys.base_prefix != "/usr":
        pytest.skip("Debian's setuptools builds only for Debian's interpreters, not %s" % sys.base_prefix)
    # Asked in a child, from a neutral folder: setuptools must come before distutils, and
    # the checkout's build/ folder must not pass for the `build` module.
    names = ("setuptools", "pip", "wheel", "yaml") + extra
    proc = subprocess.run([sys.executable, "-c", "import os\n"
                           "for n in %r:\n"
                           "    m = __import__(n)\n"
                           "    print(os.path.dirname(os.path.dirname(os.path.abspath(m.__file__))))" % (names,)],
                          capture_output=True, text=True, timeout=60, env=clean_env(), cwd="/")
    if proc.returncode != 0:
        pytest.skip("no %s for this interpreter: %s" % (", ".join(names), proc.stderr.strip()[-200:]))
    folders = set(proc.stdout.split())
    if len(folders) != 1:
        pytest.skip("%s come from different folders: %s" % (", ".join(names), sorted(folders)))
    return folders.pop()


pytestmark = [
    pytest.mark.skipif(bool(os.environ.get("KOVRA_PACKAGE_ROOT")), reason="tests the checkout, not a package copy"),
    # One CMake build per test: kept to the release interpreters.
    pytest.mark.skipif(hasattr(sys, "gettotalrefcount"), reason="not repeated on the debug interpreter"),
]


def clean_env():
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env["PIP_NO_INDEX"] = "1"
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def run(args, **kw):
    proc = subprocess.run(args, capture_output=True, text=True, timeout=900, env=clean_env(), **kw)
    assert proc.returncode == 0, "%s\n%s\n%s" % (args, proc.stdout[-3000:], proc.stderr[-3000:])
    return proc


# The stored-report tools beside the native modules.
PYTHON_MODULES = ["__main__", "cli", "client", "compare", "format", "group_cli", "html", "junit", "pytest_plugin",
                  "remote", "server_cli", "store", "views", "yaml_load"]
SERVER_FILES = ["server/%s.py" % m for m in ("__init__", "api", "app", "auth", "connections", "groups", "insights",
                                              "intake", "junit_in", "metrics", "multipart", "pgdialect", "rules",
                                              "schema", "settings", "storage", "task_sends", "triage", "web",
                                              "webhooks")] + [
    "server/migrations/__init__.py", "server/migrations/env.py", "server/migrations/script.py.mako",
    "server/migrations/versions/__init__.py", "server/migrations/versions/0001_jobs_nodes_logs.py",
    "server/migrations/versions/0002_no_path_index.py", "server/migrations/versions/0003_groups_webhooks.py",
    "server/migrations/versions/0004_team.py", "server/migrations/versions/0005_result_index.py",
    "server/migrations/versions/0006_tokens.py", "server/migrations/versions/0007_triage_speed.py",
    "server/migrations/versions/0008_results_by_job.py",
    "server/migrations/versions/0009_job_facts.py", "server/migrations/versions/0010_index_rows_unchecked.py",
] + [
    "server/templates/%s.html" % t for t in ("base", "compare", "group", "history", "jobs", "known_issue",
                                             "known_issues", "mutes", "owners", "parts", "problem", "signature",
                                             "signin", "trends")]


def test_fresh_venv_runs_the_main_job_from_the_installed_packages(tmp_path):
    _tools_folder()
    # The README's commands, word for word.
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], cwd=str(tmp_path))
    py = str(venv / "bin" / "python")
    site = run([py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"]).stdout.strip()
    run([str(venv / "bin" / "pip"), "install", "--no-build-isolation", "."], cwd=REPO_ROOT)
    check_the_reporter_alone(venv, tmp_path)
    run([str(venv / "bin" / "pip"), "install", "--no-build-isolation", "./standins"], cwd=REPO_ROOT)
    done = run([str(venv / "bin" / "kovra-report"), "show", str(tmp_path / "sent" / "results.json")],
               cwd=str(tmp_path))
    assert done.stdout.splitlines()[1].split() == ["nightly", "RunSet", "-", "-"]

    # Only kovra/reporter comes from the reporter's distribution; kovra itself is a namespace.
    assert not os.path.exists(os.path.join(site, "kovra", "__init__.py"))
    for name in MODULES:
        assert os.path.exists(os.path.join(site, "kovra", "reporter", name + SUFFIX))
    for package in ("reporter", "results", "utils", "datastructures", "configuration", "qoreport"):
        assert os.path.exists(os.path.join(site, "kovra", package, "py.typed")), package

    out = tmp_path / "out"
    proc = run([py, os.path.join(REPO_ROOT, "tools", "main_job.py"), "--installed", "--out", str(out),
                "--tasks", "1", "--sections", "1"], cwd=str(tmp_path))
    assert proc.stdout.splitlines()[-1] == "Report written to: %s" % out
    assert sorted(os.listdir(str(out))) == ["ResultsDetails.xml", "ResultsSummary.xml", "results.json",
                                             "results.yaml", "server", "task1.log"]
    assert "read back through the explorer over HTTP" in proc.stdout
    # The console script, the command line and the page's assets come with the installed package.
    proc = run([str(venv / "bin" / "kovra-report"), "html", str(out / "results.json"), "-o",
                str(out / "report.html")], cwd=str(tmp_path))
    assert proc.stdout == "wrote %s\n" % (out / "report.html")
    assert "Content-Security-Policy" in (out / "report.html").read_text(encoding="utf-8")
    bad = subprocess.run([str(venv / "bin" / "kovra-report"), "show", str(out / "ResultsDetails.xml")],
                         capture_output=True, text=True, timeout=60)
    assert bad.returncode == 2 and bad.stderr.startswith("kovra-report show: error: ")
    where = run([py, "-c", "import kovra, kovra.reporter.runset as r, kovra.results as s; "
                           "print(list(kovra.__path__)); print(r.__file__); print(s.__file__)"],
                cwd=str(tmp_path)).stdout.splitlines()
    assert where[0] == str([os.path.join(site, "kovra")])
    assert where[1].startswith(site) and where[2].startswith(site)

    # The README's example as a file, from another folder, with nothing on PYTHONPATH.
    from test_readme_example import readme_example
    (tmp_path / "nightly.py").write_text(readme_example())
    run([py, "nightly.py"], cwd=str(tmp_path))
    assert (tmp_path / "nightly" / "results.json").exists()

    # The README's stubtest command against the installed package.
    try:
        import mypy  # noqa: F401
    except ImportError:
        return
    run([py, "-m", "mypy.stubtest", "--mypy-config-file", os.path.join(REPO_ROOT, "pyproject.toml"),
         "kovra.reporter.runset", "kovra.reporter.ledgrin", "kovra.reporter.explorer"], cwd=str(tmp_path))


def stored_report(folder):
    """A results.json made in this process, where the checkout's framework stand-ins are."""
    from kovra.reporter import runset
    job = runset.RunSet(id="nightly", seq_num=0)
    job.add_task(id="boot", seq_num=1)
    os.makedirs(folder)
    with open(os.path.join(folder, "results.json"), "w", encoding="utf-8") as stream:
        stream.write(job.dump_json())
    return os.path.join(folder, "results.json")


def check_the_reporter_alone(venv, tmp_path):
    """Without the framework's packages: --help, a server and its jobs; a command that builds a run set says which
    package it lacks."""
    script = str(venv / "bin" / "kovra-report")
    assert "jobs" in run([script, "--help"], cwd=str(tmp_path)).stdout
    report = stored_report(str(tmp_path / "sent"))
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    data = tmp_path / "server"
    server = subprocess.Popen([script, "serve", "--bind", "127.0.0.1:%d" % port, "--data", str(data)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=str(tmp_path), env=clean_env())
    try:
        deadline = time.monotonic() + 60
        while True:
            assert server.poll() is None, server.stderr.read()
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert time.monotonic() < deadline, "the server did not listen within a minute"
                time.sleep(0.2)
        url = "http://127.0.0.1:%d" % port
        run([script, "upload", str(tmp_path / "sent"), url + "/jobs/nightly-1", "--token-file", str(data / "token")],
            cwd=str(tmp_path))
        listed = run([script, "jobs", url, "--json"], cwd=str(tmp_path)).stdout
        assert [job["id"] for job in json.loads(listed)["jobs"]] == ["nightly-1"]
    finally:
        server.terminate()
        server.wait(timeout=30)
        server.stderr.close()
    for command in (["convert", report, "--to", "yaml"], ["xml", report, "-o", str(tmp_path / "xml")]):
        refused = subprocess.run([script] + command, capture_output=True, text=True, timeout=60, cwd=str(tmp_path),
                                 env=clean_env())
        assert refused.returncode == 2
        assert refused.stderr == ("kovra-report %s: error: kovra.utils is not installed: this command needs the "
                                  "kovra framework's packages (or their stand-ins, kovra-reporter-standins)\n"
                                  % command[0])


def test_build_gives_a_wheel_of_kovra_reporter_alone(tmp_path):
    _tools_folder("build")
    run([sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(tmp_path), REPO_ROOT],
        cwd=REPO_ROOT)
    wheel, = glob.glob(str(tmp_path / "*.whl"))
    names = zipfile.ZipFile(wheel).namelist()
    package = sorted(n for n in names if not n.startswith("kovra_reporter-"))
    assert package == sorted(["kovra/reporter/__init__.py", "kovra/reporter/py.typed"]
                             + ["kovra/reporter/%s.py" % m for m in PYTHON_MODULES]
                             + ["kovra/reporter/" + f for f in SERVER_FILES]
                             + ["kovra/reporter/html_assets/%s" % f
                                for f in ("report.css", "report.html", "report.js", "site.css")]
                             + ["kovra/reporter/%s.pyi" % m for m in MODULES]
                             + ["kovra/reporter/%s%s" % (m, SUFFIX) for m in MODULES])
