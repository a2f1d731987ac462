# The network channel (Haptics/Network: Publisher, Teleoperation) runs on Eclipse Cyclone DDS
# (Debian: cyclonedds-dev for the target, cyclonedds-tools for the IDL compiler on the build
# machine). Without it the library builds without them, and says so.
find_package(CycloneDDS CONFIG QUIET)
# A cross build takes Debian's multiarch packages for its target (cyclonedds-dev:arm64), which lie
# beside the build machine's own, outside the cross compiler's root: by their paths, not by a
# search that would find the build machine's.
set(_orvex_multiarch_lib "/usr/lib/${ORVEX_TARGET_TRIPLE}")
if(CMAKE_CROSSCOMPILING AND NOT CycloneDDS_FOUND AND ORVEX_TARGET_TRIPLE
   AND EXISTS "${_orvex_multiarch_lib}/libddsc.so"
   AND EXISTS "/usr/include/${ORVEX_TARGET_TRIPLE}/dds/features.h")
  # The headers' common part and the target's own part, without the rest of /usr/include (the
  # build machine's C library).
  set(_orvex_staged "${CMAKE_BINARY_DIR}/multiarch-include")
  file(MAKE_DIRECTORY "${_orvex_staged}/target" "${_orvex_staged}/common")
  file(CREATE_LINK "/usr/include/${ORVEX_TARGET_TRIPLE}/dds" "${_orvex_staged}/target/dds" SYMBOLIC)
  file(CREATE_LINK "/usr/include/dds" "${_orvex_staged}/common/dds" SYMBOLIC)
  add_library(CycloneDDS::ddsc SHARED IMPORTED)
  set_target_properties(CycloneDDS::ddsc PROPERTIES
    IMPORTED_LOCATION "${_orvex_multiarch_lib}/libddsc.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_orvex_staged}/target;${_orvex_staged}/common"
    # libddsc's own libraries are found beside it at link time.
    INTERFACE_LINK_OPTIONS "-Wl,-rpath-link,${_orvex_multiarch_lib}")
  set(CycloneDDS_FOUND TRUE)
  set(CycloneDDS_VERSION "from ${_orvex_multiarch_lib}")
endif()
find_program(ORVEX_IDLC idlc NO_CMAKE_FIND_ROOT_PATH)
if(CycloneDDS_FOUND AND ORVEX_IDLC)
  set(_orvex_dds_default ON)
else()
  set(_orvex_dds_default OFF)
endif()
option(ORVEX_WITH_DDS "Build the network channel: Publisher and Teleoperation (needs Cyclone DDS)"
  ${_orvex_dds_default})
if(ORVEX_WITH_DDS)
  if(NOT CycloneDDS_FOUND OR NOT ORVEX_IDLC)
    message(FATAL_ERROR "ORVEX_WITH_DDS needs Cyclone DDS for ${CMAKE_SYSTEM_PROCESSOR} "
      "(Debian: cyclonedds-dev) and its IDL compiler idlc (cyclonedds-tools); configure with "
      "-DORVEX_WITH_DDS=OFF to build without them")
  endif()
  # idlc writes the message types in C.
  enable_language(C)
  add_subdirectory(Library/src/Haptics/Network)
  add_subdirectory(tools/ros-echo)
  message(STATUS "DDS: on (Cyclone DDS ${CycloneDDS_VERSION})")
else()
  message(STATUS "DDS: off (no Cyclone DDS or idlc found for ${CMAKE_SYSTEM_PROCESSOR}; Debian: "
    "cyclonedds-dev, cyclonedds-tools): Publisher and Teleoperation are left out")
endif()
