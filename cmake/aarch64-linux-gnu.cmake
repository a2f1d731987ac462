# Cross build for Linux on aarch64 with Debian's cross compiler (g++-aarch64-linux-gnu); the
# programs it builds run here under user-mode emulation (qemu-user), which CTest and the tests
# use to start them:
#   cmake -S . -B build-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   cmake --build build-aarch64
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ORVEX_TARGET_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ORVEX_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVEX_TARGET_TRIPLE}-g++)

# The target's libraries and headers, as Debian's cross packages lay them out, after any roots
# named with -DCMAKE_FIND_ROOT_PATH (where libraries built for the target are installed).
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${ORVEX_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

include(${CMAKE_CURRENT_LIST_DIR}/QemuAarch64.cmake)
# The target's dynamic loader and libraries are taken from the same folder. The library path is
# named too: on a machine that also has the target's own C library installed (multiarch), the
# loader would otherwise find that one first, and a loader and C library of two releases
# deadlock the first thread that is started.
set(CMAKE_CROSSCOMPILING_EMULATOR
  "${ORVEX_QEMU_AARCH64};-L;/usr/${ORVEX_TARGET_TRIPLE};-E;LD_LIBRARY_PATH=/usr/${ORVEX_TARGET_TRIPLE}/lib")

# The C library, for the record of what a build was tested with.
file(STRINGS /usr/${ORVEX_TARGET_TRIPLE}/include/features.h glibc_version
  REGEX "^#define[ \t]+__GLIBC(_MINOR)?__[ \t]")
string(REGEX REPLACE "#define[ \t]+__GLIBC__[ \t]+([0-9]+);#define[ \t]+__GLIBC_MINOR__[ \t]+([0-9]+)"
  "glibc \\1.\\2" ORVEX_C_LIBRARY "${glibc_version}")
set(ORVEX_C_LIBRARY "${ORVEX_C_LIBRARY}" CACHE INTERNAL "The C library the build links")
