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

# -V picks the back end and with it the target's directories under QNX_TARGET: no --sysroot.
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
