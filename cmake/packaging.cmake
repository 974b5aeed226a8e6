# Debian packages of a host build (cpack -G DEB in it), one per install component, lintian-clean.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mediaunit-tools)
set(CPACK_PACKAGE_VENDOR "Media unit team")
set(CPACK_PACKAGE_CONTACT "Media unit team <mediaunit@example.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# A cross build packs what runs on its architecture without the host's tools: the library and
# the static programs.
set(CPACK_COMPONENTS_ALL lib hosttools programs)
if(CMAKE_CROSSCOMPILING)
  set(CPACK_COMPONENTS_ALL lib programs)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-layout.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb-finish.cmake)
set(CPACK_MEDIAUNIT_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_MEDIAUNIT_CXX ${CMAKE_CXX_COMPILER})
set(CPACK_MEDIAUNIT_STRIP ${CMAKE_STRIP})
# The debug information goes into -dbgsym packages, split by the target's own binutils.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})

# The architecture the binaries are built for, not the one cpack runs on. Without dpkg-dev the
# configure goes on and deb-layout.cmake stops the package build, naming what is missing.
find_program(DPKG_ARCHITECTURE dpkg-architecture)
if(DPKG_ARCHITECTURE)
  set(triplet)
  if(CMAKE_LIBRARY_ARCHITECTURE)
    set(triplet -t${CMAKE_LIBRARY_ARCHITECTURE})
  endif()
  execute_process(COMMAND ${DPKG_ARCHITECTURE} ${triplet} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
endif()

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libslog-dev)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIB_PACKAGE_SUGGESTS mediaunit-host-tools)
# Every file outside the multiarch directory is the same on every architecture.
set(CPACK_DEBIAN_LIB_PACKAGE_MULTIARCH same)
set(CPACK_COMPONENT_LIB_DESCRIPTION "system-log client and program log front end (static)
The slog library of the media unit: slogf, vslogf, slogi, slogb and the
log_* front end, with the host layer that stands in for the unit's C
library on Linux. Link with pkg-config (slog) or CMake (slog::slog).")

set(CPACK_DEBIAN_HOSTTOOLS_PACKAGE_NAME mediaunit-host-tools)
set(CPACK_DEBIAN_HOSTTOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_HOSTTOOLS_PACKAGE_DEPENDS "bubblewrap")
# sandbox-run carries the C++ run time linked in (it starts twice a run).
if(NOT SANITIZE)
  set(CPACK_MEDIAUNIT_EMBEDS_CXX_RUNTIME mediaunit-host-tools)
endif()
# Their interface is the same whatever their architecture: programs of any architecture run in it.
set(CPACK_DEBIAN_HOSTTOOLS_PACKAGE_MULTIARCH foreign)
set(CPACK_COMPONENT_HOSTTOOLS_DESCRIPTION "host logger, device request decoder and sandbox of the media unit
host-slogger serves the side channel and writes one line per record,
devctl-decode decodes device requests, sandbox-run runs a program with
the unit's fixed paths taken from one host directory.")

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME mediaunit-programs)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "mediaunit-host-tools (= ${PROJECT_VERSION})")
# What lintian takes the static programs for, which their override names.
set(CPACK_MEDIAUNIT_STATIC_TAG statically-linked-binary)
if(PROGRAMS_STATIC_PIE)
  set(CPACK_MEDIAUNIT_STATIC_TAG shared-library-lacks-prerequisites)
endif()
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION "media unit start-up programs, built for the host
kestrune prepares the media storage, dorvane sends one debug request to
the audio-management service; run them with sandbox-run.")

include(CPack)
