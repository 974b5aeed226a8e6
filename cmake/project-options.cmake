# Warning set and build-wide switches shared by every target of the project.
add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wformat -Wformat-security -Wundef
  -Wcast-align -Wmissing-declarations -Wnull-dereference
  $<$<BOOL:${WERROR}>:-Werror>)

if(SANITIZE)
  list(JOIN SANITIZE "," sanitizers)
  add_compile_options(-fsanitize=${sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${sanitizers})
endif()

# gcov counters, updated atomically: the load tests log from many threads at once.
option(COVERAGE "Build with gcov coverage counters (gcc)" OFF)
if(COVERAGE)
  add_compile_options(--coverage -fprofile-update=atomic)
  add_link_options(--coverage)
endif()

# A product program, linked statically where asked: a start on the boot path pays no loader.
function(link_product_program target)
  target_link_libraries(${target} PRIVATE project_options slog)
  if(NOT TARGET_IS_UNIT)
    target_link_libraries(${target} PRIVATE host_platform)
  endif()
  if(STATIC_PROGRAMS AND NOT SANITIZE)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
