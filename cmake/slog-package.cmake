# The installed library as a package: slogConfig.cmake with its version file
# for find_package(slog), and slog.pc for pkg-config. Both find their prefix
# from where they lie, so an installed tree can be moved.
include(CMakePackageConfigHelpers)

set(SLOG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/slog)
install(EXPORT slog-targets NAMESPACE slog:: FILE slog-targets.cmake
  DESTINATION ${SLOG_CMAKE_DIR})
# Only an installed tree is a package: the headers are laid out as <slog/...>
# there alone. The files wait where neither slog_DIR nor CMAKE_PREFIX_PATH
# pointed at the build tree finds them, beside CMake's own staged exports.
set(slog_package_stage ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/slog-package)
# Left in the build tree's top by earlier versions: half a package.
file(REMOVE ${CMAKE_CURRENT_BINARY_DIR}/slogConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/slogConfigVersion.cmake ${CMAKE_CURRENT_BINARY_DIR}/slog.pc.in)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/slogConfig.cmake.in
  ${slog_package_stage}/slogConfig.cmake INSTALL_DESTINATION ${SLOG_CMAKE_DIR})
write_basic_package_version_file(${slog_package_stage}/slogConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${slog_package_stage}/slogConfig.cmake ${slog_package_stage}/slogConfigVersion.cmake
  DESTINATION ${SLOG_CMAKE_DIR})

# pkg-config has no target for the host layer: name both archives and the
# thread flag. The archives are C++ with no C++ run-time needs of their own,
# so a C program links them with cc alone. The prefix is found from where
# slog.pc lies, as the CMake package finds its own, so an installed tree can
# be moved; staged beside the CMake package, out of pkg-config's way.
if(TARGET_IS_UNIT)
  set(SLOG_PC_LIBS "-lslog")
else()
  set(SLOG_PC_LIBS "-lslog -lslog_host -pthread")
endif()
set(SLOG_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH SLOG_PC_TO_PREFIX /prefix/${SLOG_PC_DIR} /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/slog.pc.in ${slog_package_stage}/slog.pc @ONLY)
install(FILES ${slog_package_stage}/slog.pc DESTINATION ${SLOG_PC_DIR})
