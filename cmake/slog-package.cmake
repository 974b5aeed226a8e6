# The package: slogConfig.cmake for find_package(slog) and slog.pc, both relocatable.
include(CMakePackageConfigHelpers)

set(SLOG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/slog)
install(EXPORT slog-targets NAMESPACE slog:: FILE slog-targets.cmake
  DESTINATION ${SLOG_CMAKE_DIR})
# Staged where slog_DIR or CMAKE_PREFIX_PATH at the build tree do not look: only an install is one.
set(slog_package_stage ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/slog-package)
# Half a package, left in the build tree's top by earlier versions.
file(REMOVE ${CMAKE_CURRENT_BINARY_DIR}/slogConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/slogConfigVersion.cmake ${CMAKE_CURRENT_BINARY_DIR}/slog.pc.in)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/slogConfig.cmake.in
  ${slog_package_stage}/slogConfig.cmake INSTALL_DESTINATION ${SLOG_CMAKE_DIR})
write_basic_package_version_file(${slog_package_stage}/slogConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${slog_package_stage}/slogConfig.cmake ${slog_package_stage}/slogConfigVersion.cmake
  DESTINATION ${SLOG_CMAKE_DIR})

# pkg-config names both archives and the thread flag: all cc needs, as they use no C++ run time.
set(SLOG_PC_LIBS "-lslog")
if(NOT TARGET_IS_UNIT)
  set(SLOG_PC_LIBS "-lslog -lslog_host -pthread")
endif()
set(SLOG_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH SLOG_PC_TO_PREFIX /prefix/${SLOG_PC_DIR} /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/slog.pc.in ${slog_package_stage}/slog.pc @ONLY)
install(FILES ${slog_package_stage}/slog.pc DESTINATION ${SLOG_PC_DIR})
