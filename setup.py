"""Builds the extension module with the project's CMake build for the interpreter that runs this
file, then ships what `cmake --install` puts in site-packages: the modules, their type stubs and
the desk.

    python -m pip install --no-build-isolation .

ORVEX_CMAKE_BUILD_DIR names a CMake build folder to use instead of a fresh one under setuptools'
build folder; one that is already configured must be for this same interpreter.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = Path(__file__).resolve().parent
NAME = "OrvexHardwareAPI"
MODULES = [NAME, "OrvexHaptics"]
# Built with the modules and installed beside them: the desk's package and its page, and the
# guardian program that the servo loop starts.
DESK = "OrvexDesk"
GUARDIAN = "orvex-guardian"


def project_version() -> str:
    cmake_lists = (SOURCE / "CMakeLists.txt").read_text()
    return re.search(r"project\(\s*OrvexHardwareAPI\s+VERSION\s+([0-9.]+)", cmake_lists).group(1)


def cached_interpreter(build_dir: Path) -> str:
    cache = (build_dir / "CMakeCache.txt").read_text()
    found = re.search(r"^Python_EXECUTABLE:[A-Z]*=(.*)$", cache, re.MULTILINE)
    return found.group(1) if found else ""


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build_dir = Path(os.environ.get("ORVEX_CMAKE_BUILD_DIR") or Path(self.build_temp) / "cmake")
        build_dir = build_dir.resolve()
        if (build_dir / "CMakeCache.txt").exists():
            self.check_interpreter(build_dir)
        else:
            self.configure(build_dir)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", *MODULES, DESK, GUARDIAN],
                       check=True)

        # The python component, installed under a prefix, is exactly what belongs in
        # site-packages; its files go where setuptools collects the build.
        module_dir = Path(self.get_ext_fullpath(ext.name)).parent
        with tempfile.TemporaryDirectory() as stage:
            subprocess.run(["cmake", "--install", str(build_dir), "--component", "python",
                            "--prefix", stage], check=True)
            site = Path(stage, "lib", "python%d.%d" % sys.version_info[:2], "site-packages")
            shutil.copytree(str(site), str(module_dir), dirs_exist_ok=True)

    def configure(self, build_dir: Path) -> None:
        command = ["cmake", "-S", str(SOURCE), "-B", str(build_dir),
                   "-DPython_EXECUTABLE=" + sys.executable, "-DORVEX_BUILD_TESTS=OFF",
                   "-DCMAKE_BUILD_TYPE=Release"]
        if not os.environ.get("CMAKE_GENERATOR") and shutil.which("ninja"):
            command += ["-G", "Ninja"]
        subprocess.run(command, check=True)

    @staticmethod
    def check_interpreter(build_dir: Path) -> None:
        configured = cached_interpreter(build_dir)
        if os.path.realpath(configured) != os.path.realpath(sys.executable):
            raise RuntimeError("%s is configured for %s, not for %s"
                               % (build_dir, configured or "no interpreter", sys.executable))


setup(
    name=NAME,
    version=project_version(),
    description="Drives Corvane arms and Handle grips over serial ports",
    python_requires=">=3.8",
    ext_modules=[Extension(module, sources=[]) for module in MODULES],
    cmdclass={"build_ext": CMakeBuild},
    # Kept apart from the CMake build folders that developers call build/.
    options={"build": {"build_base": "build-pip"}},
    zip_safe=False,
)
