"""Every path the README and the pages under docs/ name exists in the tree."""
import glob
import os
import re

import pytest

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = ["README.md"] + sorted(
    os.path.relpath(p, REPO_ROOT) for p in glob.glob(os.path.join(REPO_ROOT, "docs", "*.md")))
# A word is a path of the tree when it starts with one of its top folders, or, in backticks, has a folder and
# a source file's ending.
TOP = sorted(e for e in os.listdir(REPO_ROOT) if not e.startswith(".") or e == ".ci")
STARTS = re.compile(r"(?<![\w/:.~$-])((?:%s)/[\w./*-]*)" % "|".join(re.escape(e) for e in TOP if e != "build"))
SOURCE = re.compile(r"`([\w.-]+/[\w./-]*\.(?:py|h|cpp|js|css|md|toml|txt|sh))`")
LINK = re.compile(r"\]\(([^)#:]+)\)")


def named_paths(page):
    with open(os.path.join(REPO_ROOT, page), encoding="utf-8") as stream:
        text = stream.read()
    found = {m.rstrip(".,") for m in STARTS.findall(text) + SOURCE.findall(text)}
    # Links and images are relative to the page.
    found.update(os.path.normpath(os.path.join(os.path.dirname(page), m)) for m in LINK.findall(text))
    # NAME, VARIANT ... stand for any folder.
    return sorted(p for p in found if not re.search(r"(^|/)[A-Z][A-Z0-9_]+(/|$)", p))


@pytest.mark.parametrize("page", PAGES)
def test_every_path_a_page_names_exists(page):
    paths = named_paths(page)
    assert paths, "the check found no path in %s" % page
    assert [p for p in paths if not glob.glob(os.path.join(REPO_ROOT, p))] == []


def test_the_readme_is_the_front_door():
    with open(os.path.join(REPO_ROOT, "README.md"), encoding="utf-8") as stream:
        lines = stream.read().splitlines()
    assert len(lines) <= 300
    assert "docs/architecture.md" in named_paths("README.md")
