"""Puts the kovra package under test first on sys.path, and this checkout
after it for the plain-Python references (reference/).

The repo root by default; KOVRA_PACKAGE_ROOT names another root (the
sanitizer stage points it at its own package copy).
"""
import os
import sys

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE_ROOT = os.path.abspath(os.environ.get("KOVRA_PACKAGE_ROOT") or REPO_ROOT)

while PACKAGE_ROOT in sys.path:
    sys.path.remove(PACKAGE_ROOT)
sys.path.insert(0, PACKAGE_ROOT)
if REPO_ROOT not in sys.path:
    sys.path.append(REPO_ROOT)

# Interpreters that tests start must import the same package.
_rest = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p and p != PACKAGE_ROOT]
os.environ["PYTHONPATH"] = os.pathsep.join([PACKAGE_ROOT] + _rest)

# A landing run must not hinge on which examples chance picks: on CI every
# property test draws the same examples; local runs keep exploring.
if os.environ.get("CI"):
    try:
        from hypothesis import settings as _settings
    except ImportError:
        pass
    else:
        _settings.register_profile("ci", derandomize=True, database=None)
        _settings.load_profile("ci")
