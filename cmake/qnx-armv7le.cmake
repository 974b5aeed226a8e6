# The unit's toolchain: QNX Neutrino on 32-bit little-endian ARMv7, with the SDP's qcc and q++.
# Source the SDP's environment script first, which sets QNX_HOST (the host tools) and QNX_TARGET
# (the target's headers and libraries); the project then leaves out the host layer, the host
# programs and the tests.
foreach(variable QNX_HOST QNX_TARGET)
  if(NOT DEFINED ENV{${variable}} OR NOT IS_DIRECTORY "$ENV{${variable}}")
    message(FATAL_ERROR
      "${variable} is not set to a directory: source the SDP's environment script "
      "(qnxsdp-env.sh) in this shell, then configure again.")
  endif()
endforeach()

set(CMAKE_SYSTEM_NAME QNX)
set(CMAKE_SYSTEM_PROCESSOR armv7)

# The driver picks the back end from -V, and with it the target's include and library
# directories under QNX_TARGET: no --sysroot is passed to it.
set(QNX_COMPILER_TARGET gcc_ntoarmv7le)
set(CMAKE_C_COMPILER "$ENV{QNX_HOST}/usr/bin/qcc")
set(CMAKE_C_COMPILER_TARGET ${QNX_COMPILER_TARGET})
set(CMAKE_CXX_COMPILER "$ENV{QNX_HOST}/usr/bin/q++")
set(CMAKE_CXX_COMPILER_TARGET ${QNX_COMPILER_TARGET})

# CMake's own searches look in the target's tree only: the ARMv7 libraries, then the headers.
set(CMAKE_FIND_ROOT_PATH "$ENV{QNX_TARGET}/armle-v7" "$ENV{QNX_TARGET}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
