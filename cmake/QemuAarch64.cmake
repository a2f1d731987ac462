# qemu-aarch64 (Debian's qemu-user), which runs the aarch64 builds' programs here: CTest and the
# tests start them through it, by its full path (posix_spawn does not search PATH).
find_program(ORVEX_QEMU_AARCH64 qemu-aarch64)
if(NOT ORVEX_QEMU_AARCH64)
  message(FATAL_ERROR "qemu-aarch64 (Debian's qemu-user) is needed to run what this build makes")
endif()
