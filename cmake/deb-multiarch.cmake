# Run by cpack -G DEB on the packages it made (CPACK_POST_BUILD_SCRIPTS): the Multi-Arch field
# of each package that asks for one, which the DEB generator of CMake 3.25 does not write. The
# package is unpacked and packed again with dpkg-deb, its files unchanged and owned by root.
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(multiarch "${CPACK_DEBIAN_${upper}_PACKAGE_MULTIARCH}")
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(deb ${CPACK_PACKAGE_FILES})
  list(FILTER deb INCLUDE REGEX "/${package}_[^/]*$")
  if(NOT multiarch)
    continue()
  elseif(NOT deb)
    message(FATAL_ERROR "no package file of ${package} among: ${CPACK_PACKAGE_FILES}")
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/multiarch-${package})
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  # Left alone where the generator wrote one itself.
  if(NOT control MATCHES "\nMulti-Arch:")
    string(REPLACE "\nDescription:" "\nMulti-Arch: ${multiarch}\nDescription:" control "${control}")
    file(WRITE ${tree}/DEBIAN/control "${control}")
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
