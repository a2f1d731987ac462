# Instrumented builds, each in a build folder of its own.
#   ORVEX_SANITIZE: AddressSanitizer and UndefinedBehaviorSanitizer on everything built here; any
#                   undefined behaviour stops the program, so a test cannot pass over one.
#   ORVEX_SANITIZE_THREAD: ThreadSanitizer, for the lock-free hand-overs between threads.
#   ORVEX_FUZZ:     the same, plus libFuzzer coverage, and the fuzz harnesses (clang only).
option(ORVEX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ORVEX_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)
option(ORVEX_FUZZ "Build the libFuzzer harnesses (needs clang)" OFF)

if(ORVEX_SANITIZE OR ORVEX_FUZZ)
  set(orvex_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all)
  add_compile_options(${orvex_sanitizers} -fno-omit-frame-pointer)
  add_link_options(${orvex_sanitizers})
endif()

if(ORVEX_SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(ORVEX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ORVEX_FUZZ needs clang (libFuzzer), not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
