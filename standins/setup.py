"""The stand-in packages live in the checkout's kovra/ folder, beside the
reporter; this distribution packs them from there, without kovra/__init__.py
(the `kovra` namespace is shared with the reporter's distribution)."""
import os

from setuptools import setup

KOVRA = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "kovra")
PACKAGES = ["kovra." + p for p in ("configuration", "datastructures", "qoreport", "qoreport.toplevel",
                                   "reporter_client", "results", "utils")]

# Marked typed, so that mypy (and stubtest of the reporter's stubs) reads them where they are installed.
TYPED = [p for p in PACKAGES if p.count(".") == 1]

setup(
    packages=PACKAGES,
    package_data={p: ["py.typed"] for p in TYPED},
    package_dir={p: os.path.relpath(os.path.join(KOVRA, *p.split(".")[1:])) for p in PACKAGES},
)
