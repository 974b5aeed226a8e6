# Warning set and build-wide switches shared by every target of the project.
add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wformat -Wformat-security -Wundef
  -Wcast-align -Wmissing-declarations -Wnull-dereference
  $<$<BOOL:${WERROR}>:-Werror>)

# No build path in objects, debug information or archives: two builds anywhere give the same bytes.
# gcov needs the real paths to find the sources again.
option(COVERAGE "Build with gcov coverage counters (gcc)" OFF)
if(NOT COVERAGE)
  add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
    -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
endif()
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
# Installed directories are 755 whatever the builder's umask; files have fixed modes already.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Every host object as Debian builds it (dpkg-buildflags, hardening=+all), so that a target added
# anywhere gets it too. FORTIFY needs the optimiser and fights the sanitizers' own interceptors.
if(NOT TARGET_IS_UNIT)
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security -Wdate-time)
  if(NOT SANITIZE)
    add_compile_options(
      "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  endif()
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()

if(SANITIZE)
  list(JOIN SANITIZE "," sanitizers)
  add_compile_options(-fsanitize=${sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${sanitizers})
endif()

# gcov counters, updated atomically: the load tests log from many threads at once.
if(COVERAGE)
  add_compile_options(--coverage -fprofile-update=atomic)
  add_link_options(--coverage)
endif()

# The product in the language of the unit's SDK, whatever the host code is built as.
function(product_language)
  set_target_properties(${ARGN} PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
    CXX_EXTENSIONS OFF)
endfunction()

# Static and still randomised and bound at start, where the C library has the start-up for it
# (glibc on x86-64 has, Debian's armhf cross glibc has not): the cost is measured in
# docs/performance.md. The unit's SDK links plain static programs.
set(PROGRAMS_STATIC_PIE OFF)
if(STATIC_PROGRAMS AND STATIC_PIE AND NOT SANITIZE AND NOT TARGET_IS_UNIT)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_LINK_OPTIONS -static-pie)
  check_cxx_source_compiles("int main() { return 0; }" STATIC_PIE_LINKS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  set(PROGRAMS_STATIC_PIE ${STATIC_PIE_LINKS})
endif()

# A product program, linked statically where asked: a start on the boot path pays no loader.
function(link_product_program target)
  target_link_libraries(${target} PRIVATE project_options slog)
  product_language(${target})
  if(NOT TARGET_IS_UNIT)
    target_link_libraries(${target} PRIVATE host_platform)
  endif()
  if(STATIC_PROGRAMS AND NOT SANITIZE)
    if(PROGRAMS_STATIC_PIE)
      set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
      target_link_options(${target} PRIVATE -static-pie)
    else()
      target_link_options(${target} PRIVATE -static)
    endif()
  endif()
endfunction()

# A product program's install. For the unit stripped, as it goes on the target; its debug
# information kept beside the program in the build tree (PROGRAM.debug, which the program names)
# and installed only on request, with --component debug, under lib/debug/bin.
function(install_product_program target)
  install(TARGETS ${target})
  if(NOT TARGET_IS_UNIT)
    return()
  endif()
  set(program $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${program} ${program}.debug
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${program}.debug ${program}
    VERBATIM)
  set(installed "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>")
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-all \"${installed}\"
    COMMAND_ERROR_IS_FATAL ANY)")
  install(FILES ${program}.debug DESTINATION ${CMAKE_INSTALL_LIBDIR}/debug/${CMAKE_INSTALL_BINDIR}
    COMPONENT debug EXCLUDE_FROM_ALL)
endfunction()
