"""The CMake build behind `pip install .`: one build of the four modules for the
interpreter running the install, placed in the wheel's kovra/reporter/.

Only kovra/reporter/ is installed: the framework owns the `kovra` package, so
kovra.reporter joins it as part of a namespace package.
"""
import os
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
MODULES = ("runset", "ledgrin", "explorer", "_yaml", "_intake")


class CMakeBuild(build_ext):
    """Builds every module in one CMake run, into the folder setuptools packs."""

    def run(self):
        tag = sysconfig.get_config_var("EXT_SUFFIX").split(".")[1]  # e.g. cpython-311-x86_64-linux-gnu
        build_dir = os.path.join(ROOT, "build", "pip-" + tag)
        out = os.path.abspath(os.path.join(self.build_lib, "kovra", "reporter"))
        if self.inplace:
            out = os.path.join(ROOT, "kovra", "reporter")
        os.makedirs(out, exist_ok=True)
        subprocess.check_call(["cmake", "-S", ROOT, "-B", build_dir, "-DKOVRA_PYTHON=" + sys.executable,
                               "-DKOVRA_MODULE_DIR=" + out, "-DCMAKE_BUILD_TYPE=Release"])
        subprocess.check_call(["cmake", "--build", build_dir, "-j", os.environ.get("KOVRA_JOBS", "2")])
        missing = [m for m in MODULES if not os.path.exists(os.path.join(out, m + sysconfig.get_config_var("EXT_SUFFIX")))]
        if missing:
            raise RuntimeError("the CMake build did not produce: " + ", ".join(missing))


setup(
    # The server (kovra.reporter.server) comes along; it runs where its libraries are installed.
    packages=["kovra.reporter", "kovra.reporter.server", "kovra.reporter.server.migrations",
              "kovra.reporter.server.migrations.versions"],
    package_data={"kovra.reporter": ["py.typed", "*.pyi", "html_assets/*"],
                  "kovra.reporter.server": ["templates/*.html"],
                  "kovra.reporter.server.migrations": ["script.py.mako"]},
    # Declared so that the wheel is tagged for this interpreter; CMakeBuild builds them.
    ext_modules=[Extension("kovra.reporter." + m, sources=[]) for m in MODULES],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
