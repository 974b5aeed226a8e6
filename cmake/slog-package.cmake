# The installed library as a package: slogConfig.cmake with its version file
# for find_package(slog), and slog.pc for pkg-config. The CMake package finds
# its prefix from where it lies, so an installed tree can be moved.
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
  ${CMAKE_CURRENT_BINARY_DIR}/slogConfigVersion.cmake)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/slogConfig.cmake.in
  ${slog_package_stage}/slogConfig.cmake INSTALL_DESTINATION ${SLOG_CMAKE_DIR})
write_basic_package_version_file(${slog_package_stage}/slogConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${slog_package_stage}/slogConfig.cmake ${slog_package_stage}/slogConfigVersion.cmake
  DESTINATION ${SLOG_CMAKE_DIR})

# pkg-config has no target for the host layer: name both archives and the
# thread flag. The archives are C++ with no C++ run-time needs of their own,
# so a C program links them with cc alone. The prefix is the one installed
# into (cmake --install --prefix, or /usr for the packages), written at
# install time; a staging root is reached with PKG_CONFIG_SYSROOT_DIR.
if(TARGET_IS_UNIT)
  set(SLOG_PC_LIBS "-lslog")
else()
  set(SLOG_PC_LIBS "-lslog -lslog_host -pthread")
endif()
set(SLOG_PC_PREFIX "@SLOG_PC_PREFIX@") # filled in at install time
configure_file(${CMAKE_CURRENT_LIST_DIR}/slog.pc.in ${CMAKE_CURRENT_BINARY_DIR}/slog.pc.in @ONLY)
# Written straight into place: two installs from one build never share a file.
install(CODE "set(SLOG_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(pc_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/slog.pc\")
  message(STATUS \"Installing: \${pc_file}\")
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/slog.pc.in\" \"\${pc_file}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc_file}\")")
