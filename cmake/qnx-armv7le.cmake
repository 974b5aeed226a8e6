# The unit's toolchain: QNX Neutrino on ARMv7 with the SDP's qcc and q++ (source qnxsdp-env.sh).
foreach(variable QNX_HOST QNX_TARGET)
  if(NOT DEFINED ENV{${variable}} OR NOT IS_DIRECTORY "$ENV{${variable}}")
    message(FATAL_ERROR
      "${variable} is not set to a directory: source the SDP's environment script "
      "(qnxsdp-env.sh) in this shell, then configure again.")
  endif()
endforeach()

set(CMAKE_SYSTEM_NAME QNX)
set(CMAKE_SYSTEM_PROCESSOR armv7)
# An optimised release with debug information (kept beside the stripped install), unless the
# command line names another build type.
set(CMAKE_BUILD_TYPE_INIT RelWithDebInfo)

# -V picks the back end and with it the target's directories under QNX_TARGET: no --sysroot.
set(QNX_COMPILER_TARGET gcc_ntoarmv7le)
set(CMAKE_C_COMPILER "$ENV{QNX_HOST}/usr/bin/qcc")
set(CMAKE_C_COMPILER_TARGET ${QNX_COMPILER_TARGET})
set(CMAKE_CXX_COMPILER "$ENV{QNX_HOST}/usr/bin/q++")
set(CMAKE_CXX_COMPILER_TARGET ${QNX_COMPILER_TARGET})

# The target's binary tools by name: from a driver called q++ CMake guesses no prefix and would
# take the host's ar and strip, which cannot read ARM objects.
foreach(tool AR RANLIB STRIP OBJCOPY NM READELF)
  string(TOLOWER ${tool} name)
  set(CMAKE_${tool} "$ENV{QNX_HOST}/usr/bin/ntoarmv7-${name}" CACHE FILEPATH "ntoarmv7-${name}")
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/unit-definitions.cmake)
list(TRANSFORM UNIT_DEFINITIONS PREPEND -D OUTPUT_VARIABLE unit_flags)
string(JOIN " " CMAKE_C_FLAGS_INIT ${unit_flags})
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")

# CMake's own searches look in the target's tree only: the ARMv7 libraries, then the headers.
set(CMAKE_FIND_ROOT_PATH "$ENV{QNX_TARGET}/armle-v7" "$ENV{QNX_TARGET}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
