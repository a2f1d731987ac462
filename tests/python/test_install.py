"""The module installed as users install it, by CMake and by pip, then imported from a fresh
interpreter. Both reuse the build folder under test, so nothing is compiled again."""

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import MODULE_DIR

ROOT = Path(__file__).resolve().parents[2]


def _run(command, **options):
    done = subprocess.run(command, capture_output=True, text=True, **options)
    assert done.returncode == 0, " ".join(map(str, command)) + "\n" + done.stdout + done.stderr
    return done


def cmake_install_under_prefix(tmp_path):
    prefix = tmp_path / "prefix"
    _run(["cmake", "--install", str(MODULE_DIR), "--component", "python", "--prefix", str(prefix)])
    return prefix / "lib" / ("python%d.%d" % sys.version_info[:2]) / "site-packages"


def cmake_install_for_the_interpreter(tmp_path):
    # Staged under DESTDIR, where the interpreter's own site-packages would be.
    stage = tmp_path / "stage"
    _run(["cmake", "--install", str(MODULE_DIR), "--component", "python"],
         env=dict(os.environ, DESTDIR=str(stage)))
    return Path(str(stage) + sysconfig.get_path("platlib"))


def _own_environment():
    """The environment without the PYTHONPATH that brought this run its pytest."""
    return {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}


def _wheel_path(tmp_path):
    """A folder that holds only Debian's wheel, for an interpreter that lacks it; Debian's other
    packages stay out of the build."""
    probe = subprocess.run([sys.executable, "-c", "import wheel"], env=_own_environment(),
                           capture_output=True)
    if probe.returncode == 0:
        return None
    import wheel  # Debian's, from the folder that brought this run its pytest

    folder = tmp_path / "wheel-only"
    folder.mkdir()
    for entry in Path(wheel.__file__).parents[1].glob("wheel*"):
        (folder / entry.name).symlink_to(entry)
    return folder


def pip_install_into_target(tmp_path):
    target = tmp_path / "target"
    env = dict(_own_environment(), ORVEX_CMAKE_BUILD_DIR=str(MODULE_DIR))
    wheel = _wheel_path(tmp_path)
    if wheel:
        env["PYTHONPATH"] = str(wheel)
    _run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
          "--disable-pip-version-check", "--target", str(target), str(ROOT)], env=env, cwd=ROOT)
    return target


@pytest.mark.slow
@pytest.mark.parametrize("install", [cmake_install_under_prefix, cmake_install_for_the_interpreter,
                                     pip_install_into_target], ids=lambda f: f.__name__)
def test_installed_module_imports_with_its_stubs(orvex, tmp_path, install, pty_pair):
    site = install(tmp_path)
    module = Path(orvex.__file__).name
    assert (site / module).is_file()
    stub = (ROOT / "python" / "OrvexHardwareAPI.pyi").read_text()
    assert (site / "OrvexHardwareAPI.pyi").read_text() == stub
    assert (site / "OrvexHardwareAPI-stubs" / "__init__.pyi").read_text() == stub

    probe = "import OrvexHardwareAPI as m; print(m.__file__); print(m.get_cpp_version())"
    done = _run([sys.executable, "-c", probe], cwd=tmp_path,
                env=dict(_own_environment(), PYTHONPATH=str(site)))
    assert done.stdout.split() == [str(site / module), "0.1.1"]

    # The test kit comes along with the emulator it starts.
    assert os.access(str(site / "OrvexHaptics" / "orvex-emulator"), os.X_OK)
    probe = "import OrvexHaptics.testing as t; print(t.__file__); print(t.find_emulator())"
    done = _run([sys.executable, "-c", probe], cwd=tmp_path,
                env=dict(_own_environment(), PYTHONPATH=str(site)))
    assert done.stdout.split() == [str(site / "OrvexHaptics" / "testing.py"),
                                   str(site / "OrvexHaptics" / "orvex-emulator")]
    # The guardian comes along, and the installed module finds it: a loop starts.
    assert os.access(str(site / "orvex-guardian"), os.X_OK)
    # A loop starts its guardian before the wake-up, which a silent port then leaves unanswered.
    probe = ("import sys, OrvexHaptics, OrvexHardwareAPI as o\n"
             "OrvexHaptics.ServoLoop(o.SerialStream(sys.argv[1])).start()")
    environment = {k: v for k, v in _own_environment().items() if k != "ORVEX_GUARDIAN"}
    done = subprocess.run([sys.executable, "-c", probe, pty_pair.path], cwd=tmp_path,
                          capture_output=True, text=True,
                          env=dict(environment, PYTHONPATH=str(site)))
    assert "no Corvane answered" in done.stderr

    # The desk comes along with its built page, so an installed desk needs no npm.
    assert (site / "OrvexDesk" / "web" / "desk.js").is_file()
    done = _run([sys.executable, "-m", "OrvexDesk", "--help"], cwd=tmp_path,
                env=dict(_own_environment(), PYTHONPATH=str(site)))
    assert "--emulate" in done.stdout
