"""Imported first by every benchmark: puts this folder and the package root
(KOVRA_PACKAGE_ROOT, as for the tests, or this checkout) at the front of
sys.path, so that the modules measured are the ones of this tree, and this
checkout after them for the plain-Python references (reference/)."""
import os
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_ROOT = os.path.dirname(BENCH_DIR)
PACKAGE_ROOT = os.path.abspath(os.environ.get("KOVRA_PACKAGE_ROOT") or REPO_ROOT)
for _path in (BENCH_DIR, PACKAGE_ROOT):
    while _path in sys.path:
        sys.path.remove(_path)
    sys.path.insert(0, _path)
if REPO_ROOT not in sys.path:
    sys.path.append(REPO_ROOT)
