# Run by cpack -G DEB on each package's staged files: what Debian's layout asks beyond an install.
# gzip -9n keeps no name or time, so that a page has the same bytes on every architecture.
set(debian_dir ${CPACK_MEDIAUNIT_SOURCE_DIR}/cmake/debian)

# A page that only names another one becomes a link to it.
function(lay_out_manual_pages man)
  file(GLOB pages LIST_DIRECTORIES false RELATIVE ${man} ${man}/man*/*)
  foreach(page IN LISTS pages)
    file(READ ${man}/${page} text)
    if(text MATCHES "^\\.so (man[1-9]/[^/\n]+)\n$")
      get_filename_component(section ${man}/${page} DIRECTORY)
      file(RELATIVE_PATH target ${section} ${man}/${CMAKE_MATCH_1}.gz)
      file(REMOVE ${man}/${page})
      file(CREATE_LINK ${target} ${man}/${page}.gz SYMBOLIC)
    else()
      execute_process(COMMAND gzip -9nf ${man}/${page} COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()
endfunction()

# As Debian strips: archives of their debug information; programs of the compiler's notes only,
# as cpack then moves their debug information into the -dbgsym packages and strips them.
function(strip_binaries root)
  file(GLOB_RECURSE archives LIST_DIRECTORIES false ${root}/*.a)
  file(GLOB_RECURSE programs LIST_DIRECTORIES false ${root}/usr/bin/* ${root}/usr/libexec/*)
  foreach(file IN LISTS archives programs)
    set(how ${CPACK_MEDIAUNIT_STRIP} --strip-debug --enable-deterministic-archives)
    if(NOT file MATCHES "\\.a$")
      file(READ ${file} magic LIMIT 4 HEX)
      if(NOT magic STREQUAL "7f454c46") # scripts stay as they are
        continue()
      endif()
      set(how ${CPACK_OBJCOPY_EXECUTABLE})
    endif()
    execute_process(COMMAND ${how} --remove-section=.comment --remove-section=.note ${file}
      COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endfunction()

# Without these cpack writes packages with no library dependencies, or fails half-way. Looked up
# on the builder's PATH, as the tools run by name.
foreach(tool file dpkg-shlibdeps dpkg-deb dpkg-parsechangelog dpkg-query)
  find_program(found_${tool} ${tool} NO_CMAKE_SYSTEM_PATH)
  if(NOT found_${tool})
    list(APPEND missing ${tool})
  endif()
endforeach()
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  list(APPEND missing "dpkg-architecture (when this build was configured)")
endif()
if(missing)
  list(JOIN missing ", " missing)
  message(FATAL_ERROR "No Debian packages without ${missing}: install the Debian packages file "
    "and dpkg-dev (scripts/install-deps packaging), configure again and pack.")
endif()

# The changelog's first entry names the version being packed.
file(STRINGS ${debian_dir}/changelog first_line LIMIT_COUNT 1)
if(NOT first_line MATCHES "^[^ ]+ \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog begins with \"${first_line}\": "
    "add an entry for ${CPACK_PACKAGE_VERSION} first")
endif()

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(root ${CPACK_TEMPORARY_DIRECTORY}/${component})
  lay_out_manual_pages(${root}/usr/share/man)
  strip_binaries(${root})
  set(doc ${root}/usr/share/doc/${package})
  file(COPY ${debian_dir}/copyright ${debian_dir}/changelog DESTINATION ${doc})
  execute_process(COMMAND gzip -9nf ${doc}/changelog COMMAND_ERROR_IS_FATAL ANY)
  # The packages whose lintian overrides explain a choice.
  if(EXISTS ${debian_dir}/${package}.lintian-overrides)
    configure_file(${debian_dir}/${package}.lintian-overrides
      ${root}/usr/share/lintian/overrides/${package} @ONLY)
  endif()
endforeach()
