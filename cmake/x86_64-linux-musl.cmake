# Build for Linux on x86-64 with the musl C library, statically linked, with Zig (see
# zig/linux-musl.cmake); its programs run on this machine as they are:
#   script/bootstrap test
#   cmake -S . -B build-musl-x86_64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-linux-musl.cmake \
#         -DORVEX_BUILD_PYTHON=OFF -DORVEX_BUILD_BENCH=OFF
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVEX_TARGET_TRIPLE x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig/linux-musl.cmake)
