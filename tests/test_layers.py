"""The build seals each folder: a module's sources see native/, the formats layer
and their own folder; the formats see native/ alone. An include of anything else
does not compile, and every include names its file from the root, where the
include paths are the only way in."""
import json
import os
import re
import shlex
import subprocess
import sys

import pytest

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE_FOLDERS = ("runset", "ledgrin", "explorer", "yaml", "intake")


@pytest.fixture(scope="module")
def compile_commands(tmp_path_factory):
    """Each source's compile command, from a configured (not built) tree."""
    build = tmp_path_factory.mktemp("configured")
    subprocess.run(["cmake", "-S", REPO_ROOT, "-B", str(build), "-DKOVRA_PYTHON=" + sys.executable,
                    "-DKOVRA_MODULE_DIR=" + str(build / "out"), "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"],
                   check=True, capture_output=True, timeout=120)
    with open(build / "compile_commands.json") as stream:
        entries = json.load(stream)
    return {os.path.relpath(e["file"], REPO_ROOT): (e["directory"], e["command"]) for e in entries}


def compile_probe(compile_commands, source, include, tmp_path):
    """Compiles `#include "include"` with the flags `source` is compiled with."""
    directory, command = compile_commands[source]
    words = shlex.split(command)
    flags = [w for i, w in enumerate(words[1:], 1)
             if w not in ("-o", "-c") and words[i - 1] not in ("-o", "-c")]
    probe = tmp_path / "probe.cpp"
    probe.write_text('#include "%s"\n' % include)
    return subprocess.run([words[0]] + flags + ["-fsyntax-only", str(probe)], cwd=directory,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("source, include, compiles", [
    ("reporter/runset/module.cpp", "reporter/runset/roads.h", True),
    ("reporter/runset/module.cpp", "formats/json/encoder.h", True),
    ("reporter/runset/module.cpp", "reporter/ledgrin/ledgrin.h", False),
    ("reporter/ledgrin/module.cpp", "reporter/runset/runset.h", False),
    ("reporter/intake/module.cpp", "reporter/runset/roads.h", False),
    ("reporter/yaml/module.cpp", "reporter/explorer/explorer.h", False),
    ("formats/yaml/reader.cpp", "formats/yaml/resolver.h", True),
    ("formats/json/encoder.cpp", "native/module.h", True),
    ("formats/json/encoder.cpp", "reporter/runset/runset.h", False),
    ("native/module.cpp", "formats/names.h", False),
])
def test_the_build_refuses_an_include_from_outside_a_folders_reach(compile_commands, tmp_path, source, include,
                                                                    compiles):
    proc = compile_probe(compile_commands, source, include, tmp_path)
    if compiles:
        assert proc.returncode == 0, proc.stderr
    else:
        assert proc.returncode != 0
        assert "%s: No such file or directory" % include in proc.stderr


def reach(path):
    """The folders a source under `path` may include from."""
    top, _, rest = path.partition("/")
    if top == "native":
        return ("native/",)
    if top == "formats":
        return ("native/", "formats/")
    return ("native/", "formats/", "reporter/%s/" % rest.partition("/")[0])


def test_every_include_names_a_file_within_its_folders_reach():
    # A path relative to the including file ("../ledgrin/ledgrin.h") would get past
    # the include roots, so every include must name its file from the root.
    wrong = []
    for top in ("native", "formats", "reporter"):
        for folder, _, files in os.walk(os.path.join(REPO_ROOT, top)):
            for name in files:
                path = os.path.relpath(os.path.join(folder, name), REPO_ROOT)
                with open(os.path.join(REPO_ROOT, path)) as stream:
                    for include in re.findall(r'^\s*#\s*include\s+"([^"]+)"', stream.read(), re.M):
                        if not include.startswith(reach(path)) or not os.path.isfile(
                                os.path.join(REPO_ROOT, include)):
                            wrong.append((path, include))
    assert wrong == []
    assert sorted(os.listdir(os.path.join(REPO_ROOT, "reporter"))) == sorted(MODULE_FOLDERS)


def test_the_server_imports_nothing_of_the_command_line():
    # The server takes the format's facts from format.py; the command line's modules are not its to import.
    probe = ("import sys, importlib.util\n"
             "if importlib.util.find_spec('starlette') is None: sys.exit(3)\n"
             "import kovra.reporter.server.app, kovra.reporter.server.web\n"
             "print(sorted(m for m in sys.modules if m in ('kovra.reporter.cli', 'kovra.reporter.server_cli',"
             " 'kovra.reporter.views', 'kovra.reporter.group_cli', 'kovra.reporter.remote')))")
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, cwd=REPO_ROOT, timeout=60)
    if done.returncode == 3:
        pytest.skip("the server's libraries are not importable here")
    assert (done.returncode, done.stdout) == (0, "[]\n"), done.stderr
