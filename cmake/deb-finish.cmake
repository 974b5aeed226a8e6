# Run by cpack -G DEB on the packages made: each is unpacked and packed again by dpkg-deb, so that
# two builds of the same sources give the same bytes, whoever builds them where and when: modes
# from the file types alone (not the umask), every time SOURCE_DATE_EPOCH (the changelog's date
# unless the builder sets one), root the owner. On the way, the fields CMake 3.25 does not write:
# Multi-Arch, and Static-Built-Using for the programs that contain static libraries.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND dpkg-parsechangelog -l ${CPACK_MEDIAUNIT_SOURCE_DIR}/cmake/debian/changelog
    -STimestamp OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is \"${epoch}\", not a number of seconds")
endif()

# The source packages of the static libraries named after `out` that a program contains, as
# Debian names them.
function(static_built_using out)
  set(sources)
  foreach(library IN LISTS ARGN)
    execute_process(COMMAND ${CPACK_MEDIAUNIT_CXX} -print-file-name=${library}
      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    if(NOT IS_ABSOLUTE "${path}") # the compiler has none of that name
      continue()
    endif()
    file(REAL_PATH ${path} path)
    execute_process(COMMAND dpkg-query -S ${path} OUTPUT_VARIABLE owner RESULT_VARIABLE status
      ERROR_QUIET)
    if(NOT status EQUAL 0 OR NOT owner MATCHES "^([^ ,]+): /")
      message(FATAL_ERROR "${path}, linked into the static programs, belongs to no Debian "
        "package, so the programs cannot name its source (Static-Built-Using)")
    endif()
    execute_process(COMMAND dpkg-query -W "-f=\${source:Package} (= \${source:Version})"
      ${CMAKE_MATCH_1} OUTPUT_VARIABLE source COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND sources "${source}")
  endforeach()
  list(REMOVE_DUPLICATES sources)
  list(SORT sources)
  list(JOIN sources ", " sources)
  set(${out} "${sources}" PARENT_SCOPE)
endfunction()

# True when a program of the unpacked tree is linked statically.
function(has_static_program tree out)
  set(${out} FALSE PARENT_SCOPE)
  file(GLOB programs LIST_DIRECTORIES false ${tree}/usr/bin/* ${tree}/usr/libexec/*/*)
  foreach(program IN LISTS programs)
    execute_process(COMMAND file -b ${program} OUTPUT_VARIABLE type COMMAND_ERROR_IS_FATAL ANY)
    if(type MATCHES "^ELF.*(statically|static-pie) linked")
      set(${out} TRUE PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

# The md5sums of the tree's files, sorted by path: cpack's list of a -dbgsym package names the
# build tree's paths.
function(write_md5sums tree)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} ${tree}/*)
  list(FILTER files EXCLUDE REGEX "^DEBIAN/")
  list(SORT files)
  set(sums)
  foreach(file IN LISTS files)
    if(NOT IS_SYMLINK ${tree}/${file})
      file(MD5 ${tree}/${file} sum)
      string(APPEND sums "${sum}  ${file}\n")
    endif()
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
endfunction()

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(multiarch_of_${CPACK_DEBIAN_${upper}_PACKAGE_NAME} "${CPACK_DEBIAN_${upper}_PACKAGE_MULTIARCH}")
endforeach()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/repack)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  string(REGEX MATCH "(^|\n)Package: ([^\n]+)" package "${control}")
  set(package ${CMAKE_MATCH_2})
  set(fields)
  if(multiarch_of_${package})
    string(APPEND fields "Multi-Arch: ${multiarch_of_${package}}\n")
  endif()
  has_static_program(${tree} static)
  set(embedded)
  if(static)
    set(embedded libc.a libstdc++.a libgcc.a libgcc_eh.a)
  elseif(package IN_LIST CPACK_MEDIAUNIT_EMBEDS_CXX_RUNTIME)
    set(embedded libstdc++.a libgcc.a libgcc_eh.a)
  endif()
  if(embedded)
    static_built_using(sources ${embedded})
    string(APPEND fields "Static-Built-Using: ${sources}\n")
  endif()
  string(REPLACE "\nDescription:" "\n${fields}Description:" control "${control}")
  file(WRITE ${tree}/DEBIAN/control "${control}")
  # A -dbgsym package's documents are those of the package it belongs to, as Debian's are.
  if(package MATCHES "^(.+)-dbgsym$")
    file(MAKE_DIRECTORY ${tree}/usr/share/doc)
    file(CREATE_LINK ${CMAKE_MATCH_1} ${tree}/usr/share/doc/${package} SYMBOLIC)
  endif()
  write_md5sums(${tree})

  execute_process(COMMAND chmod -R u=rwX,go=rX ${tree} COMMAND_ERROR_IS_FATAL ANY)
  if(IS_DIRECTORY ${tree}/usr/lib/debug) # debug files are read, never run
    execute_process(COMMAND find ${tree}/usr/lib/debug -type f -exec chmod 644 {} +
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  execute_process(COMMAND find ${tree} -exec touch --no-dereference --date=@${epoch} {} +
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
    dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
