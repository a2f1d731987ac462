# Shared by the scripts: where things are, and how to build for one interpreter.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# configure_and_build DIR [CMAKE ARGS...]
configure_and_build() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@"
  cmake --build "$dir"
}

# The interpreter a build folder's module was made for.
built_python() {
  sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$1/CMakeCache.txt"
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
