"""Builds the extension module `zelvar_python` with the project's CMake build
and installs it with its type stub:

    pip install --no-build-isolation .

The CMake build runs in setuptools' temporary folder (under build/), where a
later install finds it again and rebuilds only what changed. It needs what a
build by hand needs: cmake, g++, the engine's libraries and npm (README).
CMAKE_BUILD_PARALLEL_LEVEL sets the number of parallel jobs.
"""

import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
MODULE = "zelvar_python"
# The stub of a module that is a single file installs beside it as the
# stub-only package "<module>-stubs", which mypy and pyright both look up:
# py.typed can only mark a package, and mypy takes no .pyi from the top of
# site-packages.
STUBS = MODULE + "-stubs"


class CMakeBuild(build_ext):
    """Builds the module with CMake, and puts its stub package beside it."""

    def run(self):
        super().run()
        if not self.inplace:
            stubs = Path(self.build_lib) / STUBS
            stubs.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(ROOT / "python" / (MODULE + ".pyi"), stubs / "__init__.pyi")
            (stubs / "py.typed").write_text("")

    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(ROOT), "-B", str(build),
                     "-DCMAKE_BUILD_TYPE=Release", "-DZELVAR_TESTS=OFF",
                     f"-DPython3_EXECUTABLE={sys.executable}"]
        # A folder configured before keeps its generator.
        if shutil.which("ninja") and not (build / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", MODULE], check=True)
        built = build / (MODULE + sysconfig.get_config_var("EXT_SUFFIX"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    ext_modules=[Extension(MODULE, sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    packages=[],
    zip_safe=False,
)
