# The network channel (Haptics/Network: Publisher, Teleoperation) runs on Eclipse Cyclone DDS
# (Debian: cyclonedds-dev for the target, cyclonedds-tools for the IDL compiler on the build
# machine). Without it the library builds without them, and says so.
find_package(CycloneDDS CONFIG QUIET)
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
