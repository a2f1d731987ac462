# Shared by the scripts: where things are, and how to build for one interpreter.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Compiled objects are kept outside the clone, for every clone on this machine: ccache's for each
# build the scripts make, and Zig's (the musl builds' compiler) for what it builds per target.
orvex_cache=${XDG_CACHE_HOME:-$HOME/.cache}/orvex
export CCACHE_DIR=${CCACHE_DIR:-$orvex_cache/ccache}
# Paths under the clone reach the compiler relative to the build folder, and the working folder is
# left out of the key, so that another clone's builds find the same objects. (The library's report
# lines name its sources relative to the clone either way; see Library/CMakeLists.txt.)
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$orvex_cache/zig}
export ZIG_LOCAL_CACHE_DIR=${ZIG_LOCAL_CACHE_DIR:-$orvex_cache/zig-objects}

# The compiler launcher for a build: ccache, told for the Zig builds what their compiler is (Zig,
# run through a script of the clone, whose own date says nothing of the compiler).
cache_launcher() {
  local toolchain=$1
  if [[ $toolchain == *-linux-musl.cmake ]]; then
    echo "env;CCACHE_COMPILERTYPE=clang;CCACHE_COMPILERCHECK=string:zig-$("$root/cmake/zig/zig-tool" version);ccache"
  else
    echo ccache
  fi
}

# configure DIR [CMAKE ARGS...]: with the compiler cache, and debug information of line tables
# only: enough for a sanitizer's or a debugger's backtrace to name files and lines, and a quarter
# less compiling than full information (the bindings' and tests' templates above all).
configure() {
  local dir=$1 toolchain="" arg launcher
  shift
  for arg; do
    [[ $arg == -DCMAKE_TOOLCHAIN_FILE=* ]] && toolchain=${arg#*=}
  done
  launcher=$(cache_launcher "$toolchain")
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_C_COMPILER_LAUNCHER="$launcher" \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" "$@"
}

# configure_and_build DIR [CMAKE ARGS...]
configure_and_build() {
  configure "$@"
  cmake --build "$1"
}

# The interpreter a build folder's module was made for.
built_python() {
  sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$1/CMakeCache.txt"
}

# An interpreter's version, e.g. 3.11.
python_version() {
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

same_version() {
  [[ $(python_version "$1") == $(python_version "$2") ]]
}

# The system's own python3, which Debian's pytest belongs to.
system_python() {
  if [[ -x /usr/bin/python3 ]]; then echo /usr/bin/python3; else command -v python3; fi
}

# Folder holding a Debian Python package, so that another interpreter can import it too.
system_package_path() {
  "$(system_python)" -c "import os, $1; print(os.path.dirname(os.path.dirname($1.__file__)))"
}

# Folder holding Debian's pytest.
pytest_path() {
  system_package_path pytest
}

# run_bench BUILD_DIR [BENCH OPTIONS...]: the benchmark on a build folder's module and programs,
# under the interpreter the module was made for, with Debian's pyserial as the peer.
run_bench() {
  local dir=$1
  shift
  PYTHONPATH="$(system_package_path serial)" "$(built_python "$dir")" "$root/bench/run.py" \
    --build "$dir" "$@"
}

# What a cross build folder's programs are and how they run here, e.g. "built for AArch64 with
# musl 1.2.4, run by qemu-aarch64 version 7.2.22".
describe_cross_build() {
  local machine libc runner
  machine=$(readelf -h "$1/tools/emulator/orvex-emulator" | sed -n 's/^ *Machine: *//p')
  libc=$(sed -n 's/^ORVEX_C_LIBRARY:[A-Z]*=//p' "$1/CMakeCache.txt")
  if grep -q '^ORVEX_QEMU_AARCH64:' "$1/CMakeCache.txt"; then
    runner="run by $(qemu-aarch64 --version | head -n 1)"
  else
    runner="run natively"
  fi
  echo "built for $machine with $libc, $runner"
}
