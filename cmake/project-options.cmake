# Warning set and build-wide switches shared by every target of the project.
add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wformat -Wformat-security -Wundef
  -Wcast-align -Wmissing-declarations -Wnull-dereference
  $<$<BOOL:${WERROR}>:-Werror>)

if(SANITIZE)
  list(JOIN SANITIZE "," _sanitizers)
  add_compile_options(-fsanitize=${_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_sanitizers})
endif()

# gcov counters for the coverage preset. Debug builds are unoptimised, so each
# line and branch of the source keeps its own code; the counters are updated
# atomically because the load tests log from many threads at once.
option(COVERAGE "Build with gcov coverage counters (gcc)" OFF)
if(COVERAGE)
  add_compile_options(--coverage -fprofile-update=atomic)
  add_link_options(--coverage)
endif()

# Link a product program; statically where asked, so that a start on the
# boot path pays no dynamic loader.
function(link_product_program target)
  target_link_libraries(${target} PRIVATE project_options slog)
  if(NOT TARGET_IS_UNIT)
    target_link_libraries(${target} PRIVATE host_platform)
  endif()
  if(STATIC_PROGRAMS AND NOT SANITIZE)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
