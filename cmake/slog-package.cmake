# The installed library as a package: slogConfig.cmake with its version file
# for find_package(slog), and slog.pc for pkg-config. Both find the prefix
# from where they were installed, so an installed tree can be moved.
include(CMakePackageConfigHelpers)

set(SLOG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/slog)
install(EXPORT slog-targets NAMESPACE slog:: FILE slog-targets.cmake
  DESTINATION ${SLOG_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/slogConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/slogConfig.cmake INSTALL_DESTINATION ${SLOG_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/slogConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/slogConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/slogConfigVersion.cmake DESTINATION ${SLOG_CMAKE_DIR})

# pkg-config has no target for the host layer: name both archives and the
# thread flag. The archives are C++ with no C++ run-time needs of their own,
# so a C program links them with cc alone.
if(TARGET_IS_UNIT)
  set(SLOG_PC_LIBS "-lslog")
else()
  set(SLOG_PC_LIBS "-lslog -lslog_host -pthread")
endif()
file(RELATIVE_PATH SLOG_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
  ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" SLOG_PC_TO_PREFIX "${SLOG_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/slog.pc.in ${CMAKE_CURRENT_BINARY_DIR}/slog.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/slog.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
