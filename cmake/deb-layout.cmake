# Run by cpack -G DEB on the staged files of each package, before they are
# packed (CPACK_PRE_BUILD_SCRIPTS): what Debian's layout asks beyond a plain
# install. Manual pages compressed, a page that only names another one made a
# link to it; programs and static libraries stripped; the copyright file, the
# compressed changelog and the lintian overrides of each package.
set(debian_dir ${CPACK_MEDIAUNIT_SOURCE_DIR}/cmake/debian)

# gzip -9n: no name or time inside, so the same page gives the same bytes on
# every architecture (libslog-dev is Multi-Arch: same).
function(compress file)
  execute_process(COMMAND gzip -9nf ${file} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip failed on ${file}")
  endif()
endfunction()

function(lay_out_manual_pages root)
  file(GLOB pages LIST_DIRECTORIES false ${root}/usr/share/man/man*/*)
  foreach(page IN LISTS pages)
    file(READ ${page} text)
    if(text MATCHES "^\\.so (man[1-9])/([^/\n]+)\n$")
      get_filename_component(section_dir ${page} DIRECTORY)
      get_filename_component(section_dir ${section_dir} NAME)
      set(target ${CMAKE_MATCH_2}.gz)
      if(NOT CMAKE_MATCH_1 STREQUAL section_dir)
        set(target ../${CMAKE_MATCH_1}/${target})
      endif()
      file(REMOVE ${page})
      file(CREATE_LINK ${target} ${page}.gz SYMBOLIC)
    else()
      compress(${page})
    endif()
  endforeach()
endfunction()

# As Debian strips: programs of everything but what they run with, static
# libraries of their debug information only (they keep the symbols a link
# needs); neither keeps the compiler's notes.
function(strip_binaries root)
  file(GLOB_RECURSE archives LIST_DIRECTORIES false ${root}/*.a)
  file(GLOB_RECURSE programs LIST_DIRECTORIES false ${root}/usr/bin/* ${root}/usr/libexec/*)
  foreach(file IN LISTS archives programs)
    set(how --strip-debug --enable-deterministic-archives)
    if(NOT file MATCHES "\\.a$")
      file(READ ${file} magic LIMIT 4 HEX)
      if(NOT magic STREQUAL "7f454c46") # scripts stay as they are
        continue()
      endif()
      set(how --strip-all)
    endif()
    execute_process(COMMAND ${CPACK_MEDIAUNIT_STRIP} ${how} --remove-section=.comment
      --remove-section=.note ${file} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "${CPACK_MEDIAUNIT_STRIP} failed on ${file}")
    endif()
  endforeach()
endfunction()

function(add_package_files root package)
  set(doc ${root}/usr/share/doc/${package})
  file(COPY ${debian_dir}/copyright DESTINATION ${doc})
  file(COPY ${debian_dir}/changelog DESTINATION ${doc})
  compress(${doc}/changelog)
  if(EXISTS ${debian_dir}/${package}.lintian-overrides)
    file(MAKE_DIRECTORY ${root}/usr/share/lintian/overrides)
    file(COPY_FILE ${debian_dir}/${package}.lintian-overrides
      ${root}/usr/share/lintian/overrides/${package})
  endif()
endfunction()

# The changelog's first entry names the version being packed.
file(STRINGS ${debian_dir}/changelog first_line LIMIT_COUNT 1)
if(NOT first_line MATCHES "^[^ ]+ \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog begins with \"${first_line}\": "
    "add an entry for ${CPACK_PACKAGE_VERSION} first")
endif()

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(root ${CPACK_TEMPORARY_DIRECTORY}/${component})
  lay_out_manual_pages(${root})
  strip_binaries(${root})
  add_package_files(${root} ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
endforeach()
