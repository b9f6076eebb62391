"""The extension module of the zeriza package, built by the project's CMake
(the library and the reference host layer linked into it), for pip."""

import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DZERIZA_BUILD_TOOLS=OFF", "-DZERIZA_BUILD_TESTS=OFF",
                        "-DZERIZA_BUILD_BENCH=OFF", "-DZERIZA_BUILD_FUZZ=OFF",
                        "-DZERIZA_BUILD_PYTHON=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                       check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "_zeriza", "-j2"], check=True)
        built = next((build / "python" / "zeriza").glob("_zeriza*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[Extension("zeriza._zeriza", sources=[])], cmdclass={"build_ext": CMakeBuild})
