# Instrumented builds, each in a build folder of its own.
#   ORVEX_SANITIZE: AddressSanitizer and UndefinedBehaviorSanitizer on everything built here; any
#                   undefined behaviour stops the program, so a test cannot pass over one.
#   ORVEX_SANITIZE_THREAD: ThreadSanitizer, for the tests of the threads that own a device and
#                   the lock-free parts they hand over through; any data race fails the test.
#   ORVEX_FUZZ:     the same as ORVEX_SANITIZE, plus libFuzzer coverage, and the fuzz harnesses
#                   (clang only).
option(ORVEX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ORVEX_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)
option(ORVEX_FUZZ "Build the libFuzzer harnesses (needs clang)" OFF)

if(ORVEX_SANITIZE_THREAD AND (ORVEX_SANITIZE OR ORVEX_FUZZ))
  message(FATAL_ERROR "ThreadSanitizer builds in a folder of its own, without the other sanitizers")
endif()
if(ORVEX_SANITIZE_THREAD)
  # GCC's ThreadSanitizer does not model stand-alone fences and says so at every one; the
  # seqlocks keep their words atomic, so it still sees every access they order.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer
                      $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
  add_link_options(-fsanitize=thread)
endif()

if(ORVEX_SANITIZE OR ORVEX_FUZZ)
  set(orvex_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all)
  add_compile_options(${orvex_sanitizers} -fno-omit-frame-pointer)
  add_link_options(${orvex_sanitizers})
endif()

if(ORVEX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ORVEX_FUZZ needs clang (libFuzzer), not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
