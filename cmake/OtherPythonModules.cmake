# The Python modules for an interpreter other than the build's own (named in ORVEX_PYTHON after
# the first), in the build folder's python<X.Y>/: the same sources and settings, compiled against
# that interpreter's headers and named with its extension suffix. The folder is laid out as the
# top of the build folder is for the tests and the modules: the pure-Python package, the desk,
# the guardian and the emulator are linked in from there.

function(orvex_modules_for_other_python python)
  execute_process(
    COMMAND "${python}" -c "import sys, sysconfig; print('%d.%d' % sys.version_info[:2]); \
print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX'))"
    OUTPUT_VARIABLE answer RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "ORVEX_PYTHON names ${python}, which does not run")
  endif()
  string(REPLACE "\n" ";" answer "${answer}")
  list(GET answer 0 version)
  list(GET answer 1 include)
  list(GET answer 2 suffix)
  if(NOT EXISTS "${include}/Python.h")
    message(FATAL_ERROR "No Python.h for ${python} in ${include} (Debian: python3-dev)")
  endif()
  set(folder "${PROJECT_BINARY_DIR}/python${version}")
  # One folder per version: two interpreters of one version would build into the same one.
  get_property(taken GLOBAL PROPERTY ORVEX_OTHER_PYTHON_VERSIONS)
  if(version IN_LIST taken OR version STREQUAL "${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}")
    message(FATAL_ERROR "ORVEX_PYTHON names two interpreters of Python ${version}")
  endif()
  set_property(GLOBAL APPEND PROPERTY ORVEX_OTHER_PYTHON_VERSIONS ${version})
  message(STATUS "Building the modules for Python ${version} too: ${python}, in ${folder}")

  string(REPLACE "." "" tag "${version}")
  foreach(module IN ITEMS OrvexHardwareAPI OrvexHaptics)
    set(target ${module}-py${tag})
    if(module STREQUAL "OrvexHardwareAPI")
      add_library(${target} MODULE ${ORVEX_HARDWARE_API_SOURCES})
    else()
      add_library(${target} MODULE ${ORVEX_HAPTICS_SOURCES})
    endif()
    target_include_directories(${target} SYSTEM PRIVATE "${include}")
    target_link_libraries(${target} PRIVATE pybind11::headers pybind11::lto)
    orvex_module_settings(${target} ${module})
    # Hidden, as pybind11 builds a module: types of two modules' bindings stay apart.
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${module} PREFIX "" SUFFIX "${suffix}"
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
      LIBRARY_OUTPUT_DIRECTORY "${folder}")
  endforeach()

  file(MAKE_DIRECTORY "${folder}")
  foreach(shared IN ITEMS OrvexHaptics OrvexDesk orvex-guardian tools)
    if(NOT EXISTS "${folder}/${shared}")
      file(CREATE_LINK "../${shared}" "${folder}/${shared}" SYMBOLIC)
    endif()
  endforeach()
endfunction()
