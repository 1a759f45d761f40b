"""pip install --no-build-isolation ./python

Builds the extension with the project's own CMake build (Debian's cmake, ninja, pybind11-dev
and the library's dependencies, as scripts/install-deps.sh installs them; nothing is
downloaded) for the interpreter running pip, and installs it with the pure-Python layer.
EXPRESSION_BUILD_DIR names the CMake build folder to use (kept between installs, so a second
install rebuilds only what changed); CMAKE_CXX_COMPILER_LAUNCHER=ccache speeds up a fresh one.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


class CMakeBuild(build_ext):
    """Builds pyexpression._core through CMake and copies it where setuptools expects it."""

    def build_extension(self, ext):
        build = Path(os.environ.get("EXPRESSION_BUILD_DIR") or Path(self.build_temp).resolve() / "cmake")
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DEXP_TESTS=OFF", f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "_core"], check=True)
        built = next((build / "python" / "pyexpression").glob("_core*"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(built, target)


def project_version():
    """The version as CMakeLists.txt computes it: from the public header's EXP_VERSION_* macros."""
    text = (REPO / "include" / "expression.h").read_text()
    parts = []
    for part in ("MAJOR", "MINOR", "PATCH"):
        found = re.search(rf"^#define EXP_VERSION_{part} ([0-9]+)", text, re.MULTILINE)
        if not found:
            raise RuntimeError(f"include/expression.h defines no EXP_VERSION_{part}")
        parts.append(found.group(1))
    return ".".join(parts)


setup(
    name="pyexpression",
    version=project_version(),
    description="Per-record rules for Python: the expression engine over pandas and Dask",
    packages=["pyexpression"],
    package_data={"pyexpression": ["*.pyi", "py.typed"]},
    ext_modules=[Extension("pyexpression._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.9",
    install_requires=["numpy"],
    extras_require={"pandas": ["pandas"], "dask": ["dask[dataframe]", "distributed"]},
)
