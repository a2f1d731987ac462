"""The module entry: registrations, versions, the small classes, printed output."""

import io
import os
import shutil
import subprocess
import sys
import termios

import pytest

from conftest import MODULE_DIR

# The module's public names in the order they are registered.
REGISTRATION_ORDER = [
    "SerialStream",
    "UUID",
    "Device",
    "get_cpp_version",
    "print_cpp_version",
    "detect_corvanes",
    "detect_handles",
    "detect_wired_handles",
    "detect_wireless_handles",
    "Corvane",
    "Handle",
    "__version__",
]

def test_registrations_come_in_order(orvex):
    names = [name for name in vars(orvex) if name in REGISTRATION_ORDER]
    assert names == [name for name in REGISTRATION_ORDER if name in names]
    assert names[:5] == REGISTRATION_ORDER[:5] and names[-1] == "__version__"

def test_docstrings_and_versions(orvex):
    assert orvex.__doc__ == "Python Implementation of the Orvex Hardware API"
    assert orvex.get_cpp_version() == "0.1.1"
    assert orvex.__version__ == "dev"
    assert orvex.get_cpp_version.__doc__.endswith("Get the version of the CPP library\n")
    assert orvex.print_cpp_version.__doc__.endswith("Print the version of the CPP library\n")
    assert orvex.SerialStream.__module__ == "OrvexHardwareAPI"

def test_print_cpp_version_writes_on_descriptor_one(orvex, capfd, monkeypatch):
    replaced = io.StringIO()
    monkeypatch.setattr(sys, "stdout", replaced)
    assert orvex.print_cpp_version() is None
    out, err = capfd.readouterr()
    assert out == "Library version: 0.1.1\n"
    assert err == ""
    assert replaced.getvalue() == ""

def test_uuid_is_sixteen_zeros_in_a_new_list(orvex):
    uuid = orvex.UUID()
    first, second = uuid.bytes(), uuid.bytes()
    assert first == [0] * 16
    assert first is not second
    first[0] = 7
    assert uuid.bytes() == [0] * 16
    assert orvex.UUID() != orvex.UUID()  # no value comparison of its own

def test_device_has_no_constructor(orvex):
    with pytest.raises(TypeError) as raised:
        orvex.Device()
    assert str(raised.value) == "OrvexHardwareAPI.Device: No constructor defined!"

@pytest.mark.parametrize("path", [None, "/dev/orvex-no-such-port", b"/dev/orvex-no-such-port",
                                  bytearray(b"/dev/orvex-no-such-port")])
def test_serial_stream_on_an_unopenable_port_raises_nothing(orvex, capfd, path):
    assert isinstance(orvex.SerialStream(path), orvex.SerialStream)
    assert capfd.readouterr() == ("", "")

def test_serial_stream_argument_is_positional_only(orvex, pty_pair):
    with pytest.raises(TypeError):
        orvex.SerialStream(port_path=pty_pair.path)
    with pytest.raises(TypeError):
        orvex.SerialStream(pty_pair.path, True)
    with pytest.raises(TypeError):
        orvex.SerialStream(3)

@pytest.mark.parametrize("as_bytes", [False, True])
def test_serial_stream_configures_the_line(orvex, pty_pair, as_bytes):
    path = pty_pair.path.encode() if as_bytes else pty_pair.path
    stream = orvex.SerialStream(path)
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = pty_pair.line_settings()
    assert (ispeed, ospeed) == (termios.B115200, termios.B115200)
    assert iflag == termios.IGNBRK | termios.IGNPAR
    assert (oflag, lflag) == (0, 0)
    assert cflag & ~termios.CBAUD == termios.CS8 | termios.CREAD | termios.CLOCAL
    assert cc[termios.VMIN] == 0 and cc[termios.VTIME] == 0
    del stream

def _open_descriptors():
    return len(os.listdir("/proc/self/fd"))

def test_dropping_streams_closes_their_ports(orvex, pty_pair):
    before = _open_descriptors()
    streams = [orvex.SerialStream(pty_pair.path) for _ in range(50)]
    assert _open_descriptors() == before + 50
    del streams
    assert _open_descriptors() == before

def _import_elsewhere(python, folder, lazy):
    probe = (
        "import os, sys\n"
        "if %r: sys.setdlopenflags(os.RTLD_LAZY)\n"
        "try:\n"
        "    import OrvexHardwareAPI\n"
        "except ImportError as e:\n"
        "    print(type(e).__name__, e, sys.version, sep='|', end='')\n"
    ) % lazy
    done = subprocess.run([python, "-c", probe], cwd=folder, capture_output=True, text=True,
                          timeout=30, env={"PATH": os.environ.get("PATH", "")})
    return done.stdout.split("|")


def test_import_under_another_interpreter_is_refused(orvex, tmp_path):
    other = os.environ.get("ORVEX_OTHER_PYTHON")
    if not other:
        pytest.skip("no second interpreter named in ORVEX_OTHER_PYTHON")
    shutil.copy(orvex.__file__, tmp_path / "OrvexHardwareAPI.so")
    kind, message, version = _import_elsewhere(other, tmp_path, lazy=False)
    assert kind == "ImportError"
    if "undefined symbol" in message:
        # An older interpreter lacks functions a newer build links to, and the loader refuses
        # first; binding lazily lets the module's own check speak.
        kind, message, version = _import_elsewhere(other, tmp_path, lazy=True)
    built_for = "%d.%d" % sys.version_info[:2]
    assert message == ("Python version mismatch: module was compiled for Python %s, but the "
                       "interpreter version is incompatible: %s." % (built_for, version))


def test_the_other_interpreter_imports_its_own_modules_from_the_same_build():
    """A build for two interpreters (ORVEX_PYTHON) makes the other's modules in python<X.Y>/,
    beside everything they use from the build."""
    other = os.environ.get("ORVEX_OTHER_PYTHON")
    if not other:
        pytest.skip("no second interpreter named in ORVEX_OTHER_PYTHON")
    version = subprocess.run([other, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                             capture_output=True, text=True, check=True).stdout.strip()
    folder = MODULE_DIR / ("python" + version)
    if not folder.is_dir():
        pytest.skip("this build makes no modules for Python " + version)
    probe = ("import sys; sys.path.insert(0, sys.argv[1])\n"
             "import OrvexHardwareAPI, OrvexHaptics, OrvexHaptics.testing\n"
             "print(OrvexHardwareAPI.__file__, OrvexHaptics.__file__, '%d.%d' % sys.version_info[:2])")
    done = subprocess.run([other, "-c", probe, str(folder)], capture_output=True, text=True,
                          timeout=30, env={"PATH": os.environ.get("PATH", "")})
    assert done.returncode == 0, done.stderr
    hardware, haptics, ran = done.stdout.split()
    assert ran == version
    assert os.path.dirname(hardware) == os.path.dirname(haptics) == str(folder)
    assert "%d%d" % tuple(map(int, version.split("."))) in os.path.basename(hardware)
    assert os.access(folder / "orvex-guardian", os.X_OK)
