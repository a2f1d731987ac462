"""script/test's stages: each one named and runnable alone, the tests that start threads all under
ThreadSanitizer by their label, and the compiler caches outside the clone."""

import json
import os
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CPP_TESTS = ROOT / "tests" / "cpp"
BUILD = Path(os.environ.get("ORVEX_MODULE_DIR", ROOT / "build"))


def _stages():
    return re.search(r"^stages=\((.*)\)$", (ROOT / "script" / "test").read_text(), re.M).group(1).split()


def _script_test(*arguments):
    return subprocess.run([str(ROOT / "script" / "test"), *arguments], capture_output=True,
                          text=True, timeout=30)


def test_help_names_every_stage_and_each_stage_is_defined():
    done = _script_test("--help")
    assert done.returncode == 0, done.stderr
    listed = re.findall(r"^    (\S+) ", done.stdout, re.M)
    assert listed == _stages()
    for stage in listed:
        assert re.search(r"^stage_%s\(\) \{" % stage.replace("-", "_"),
                         (ROOT / "script" / "test").read_text(), re.M), stage


@pytest.mark.parametrize("arguments", [["--stage", "no-such-stage"], ["--stage"], ["--everything"]])
def test_an_unknown_stage_or_option_is_refused_before_anything_runs(arguments):
    done = _script_test(*arguments)
    assert done.returncode == 2
    assert "usage: script/test" in done.stderr and "bootstrap" not in done.stdout


def _declared_programs():
    """Each C++ test program with its sources and labels, as tests/cpp/CMakeLists.txt names them."""
    text = (CPP_TESTS / "CMakeLists.txt").read_text()
    programs = {}
    for name, sources, labels in re.findall(
            r"orvex_cpp_test\((\S+) ([^)]*?) LABELS ([^)]*)\)", text):
        if name.startswith("${part}"):
            parts = re.search(r"foreach\(part ([^)]*)\)\n  orvex_cpp_test\(\$\{part\}", text).group(1)
            for part in parts.split():
                programs[part + "_test"] = ([sources.replace("${part}", part)], labels.split())
        else:
            labels = labels.split()
            if "EMULATED_FILTER" in labels:
                labels = labels[:labels.index("EMULATED_FILTER")]
            programs[name] = (sources.split(), labels)
    return programs


PROGRAMS = _declared_programs()
# What shows a test program starts threads, or other programs (a servo loop starts its guardian).
STARTS_THREADS = re.compile(r"std::thread|std::async|Responder|ServoLoop\b|HandleListener\b|"
                            r"DeviceThread|LoopThread|pthread_create")
STARTS_PROGRAMS = re.compile(r"ChildProcess|fork\(|posix_spawn|ServoLoop [a-z]")


def test_every_test_program_is_declared_with_its_labels():
    sources = {str(path.relative_to(CPP_TESTS)) for path in CPP_TESTS.rglob("*_test.cpp")}
    declared = {source for files, _ in PROGRAMS.values() for source in files
                if source.endswith("_test.cpp")}
    assert sources == declared


@pytest.mark.parametrize("name", sorted(PROGRAMS))
def test_a_program_that_starts_threads_or_programs_says_so(name):
    files, labels = PROGRAMS[name]
    text = "".join((CPP_TESTS / source).read_text() for source in files)
    if STARTS_THREADS.search(text):
        assert "threads" in labels, name + " starts threads: ThreadSanitizer must run it"
    if STARTS_PROGRAMS.search(text):
        assert "process" in labels, name + " starts other programs"


def test_ctest_knows_the_threads_label_of_every_program_that_carries_it():
    """The labels reach each test case gtest_discover_tests finds, so the ThreadSanitizer stage's
    choice by label is the declared list."""
    if not (BUILD / "CTestTestfile.cmake").exists():
        pytest.skip("no configured build with tests in " + str(BUILD))
    listed = subprocess.run(["ctest", "--show-only=json-v1", "-L", "^threads$"], cwd=BUILD,
                            capture_output=True, text=True, check=True).stdout
    found = {Path(test["command"][0]).name for test in json.loads(listed)["tests"]
             if "command" in test}
    labelled = {name for name, (_, labels) in PROGRAMS.items() if "threads" in labels}
    assert found == labelled


def test_the_compiler_caches_are_kept_outside_the_clone(tmp_path):
    shown = subprocess.run(
        ["bash", "-c", 'source "$1/script/lib.sh"; printf "%s\\n" "$CCACHE_DIR" "$CCACHE_BASEDIR" '
         '"$ZIG_GLOBAL_CACHE_DIR" "$ZIG_LOCAL_CACHE_DIR" "$(cache_launcher cmake/x86_64-linux-musl.cmake)"',
         "lib", str(ROOT)],
        env={"PATH": os.environ["PATH"], "HOME": str(tmp_path)}, capture_output=True, text=True,
        check=True).stdout.splitlines()
    ccache, base, zig_global, zig_local, musl_launcher = shown
    for folder in (ccache, zig_global, zig_local):
        assert folder.startswith(str(tmp_path / ".cache" / "orvex")), folder
    assert base == str(ROOT)
    assert musl_launcher.endswith(";ccache") and "CCACHE_COMPILERCHECK=string:zig-" in musl_launcher
