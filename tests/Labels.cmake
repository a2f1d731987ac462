# The labels a test carries, by which script/test's stages choose what to build and run:
#   unit     runs alone in its own process (pseudo-terminals and threads of its own at most)
#   process  starts other programs: the emulator, the guardian, a forked child
#   threads  starts threads: the ThreadSanitizer stage runs every test that carries it
#   slow     takes seconds even on this machine: the glibc aarch64 stage, emulated, leaves it to
#            the musl aarch64 stage
# Every test is unit or process; threads and slow come on top. Each label also names a target
# that builds the test programs carrying it: cpp-tests-unit, cpp-tests-threads, ...
set(ORVEX_TEST_LABELS unit process threads slow)

function(orvex_check_test_labels name labels)
  if(NOT "unit" IN_LIST labels AND NOT "process" IN_LIST labels)
    message(FATAL_ERROR "${name}: label it unit or process (tests/Labels.cmake)")
  endif()
  foreach(label IN LISTS labels)
    if(NOT label IN_LIST ORVEX_TEST_LABELS)
      message(FATAL_ERROR "${name}: no test label '${label}' (tests/Labels.cmake)")
    endif()
  endforeach()
endfunction()

# Labels the cases gtest_discover_tests(name) finds, and remembers the program under each label
# for the labels' targets. Discovery passes its PROPERTIES on as one flat list, which splits a list
# of labels: CTest is given a file of its own, read after the one that names the cases.
function(orvex_label_test_program name labels)
  set(file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
  file(WRITE "${file}" "if(DEFINED ${name}_TESTS)
  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${labels}\")
endif()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${file}")
  foreach(label IN LISTS labels)
    set_property(GLOBAL APPEND PROPERTY ORVEX_TEST_PROGRAMS_${label} ${name})
  endforeach()
endfunction()

# Once every test program is declared.
function(orvex_label_targets)
  foreach(label IN LISTS ORVEX_TEST_LABELS)
    get_property(programs GLOBAL PROPERTY ORVEX_TEST_PROGRAMS_${label})
    add_custom_target(cpp-tests-${label})
    if(programs)
      add_dependencies(cpp-tests-${label} ${programs})
    endif()
  endforeach()
endfunction()
