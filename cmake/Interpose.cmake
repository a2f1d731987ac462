# The system calls that the test and fuzz binaries route through the interposition layer
# (tests/cpp/support/Interpose), so that a hook can stand in for the port or the clock.
set(ORVEX_WRAPPED_CALLS read write open close fcntl ioctl tcgetattr gettimeofday usleep)

# Links everything that uses target with -wrap for each of those calls. Spelt with one dash and
# the symbol as an argument of its own, the one form that GNU ld, lld and Zig's linker driver all
# take, however the compiler passes it on (-Wl, or -Xlinker).
function(orvex_wrap_system_calls target)
  foreach(call IN LISTS ORVEX_WRAPPED_CALLS)
    target_link_options(${target} INTERFACE "LINKER:-wrap,${call}")
  endforeach()
endfunction()
