# Installs the C++ library of BUILD_DIR under WORK_DIR, then configures, builds and runs the
# consumer in CONSUMER_SOURCE against that installation only, with BUILD_DIR's CXX_COMPILER,
# BUILD_TYPE and TOOLCHAIN_FILE (if any), run through LAUNCHER (if any: the emulator of a cross
# build). The same build type keeps the same optimisation: a compiler that builds its C and C++
# libraries for each (Zig) then links the consumer with the set the library's build made, instead
# of spending minutes on another.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${command}")
  endif()
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --component devices)
set(toolchain "")
if(TOOLCHAIN_FILE)
  # A cross toolchain looks for packages under its find roots only.
  set(toolchain "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}" "-DCMAKE_FIND_ROOT_PATH=${prefix}")
endif()
run("${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}" ${toolchain})
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
run(${LAUNCHER} "${WORK_DIR}/build/orvex_consumer")
