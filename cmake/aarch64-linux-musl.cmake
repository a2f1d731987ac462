# Cross build for Linux on aarch64 with the musl C library, statically linked, with Zig (see
# zig/linux-musl.cmake); the programs it builds run here under user-mode emulation (qemu-user):
#   script/bootstrap test
#   cmake -S . -B build-musl-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-musl.cmake \
#         -DORVEX_BUILD_PYTHON=OFF -DORVEX_BUILD_BENCH=OFF
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ORVEX_TARGET_TRIPLE aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig/linux-musl.cmake)

include(${CMAKE_CURRENT_LIST_DIR}/QemuAarch64.cmake)
# Static programs need no dynamic loader or libraries from a target root.
set(CMAKE_CROSSCOMPILING_EMULATOR "${ORVEX_QEMU_AARCH64}")
