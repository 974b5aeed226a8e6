# Runs one fuzzer over a copy of its seed corpus and then SECONDS of fresh
# inputs. The copy takes what the fuzzer adds, so the source tree stays as it
# is; a crash leaves its input in WORK and fails the test.
#   cmake -DFUZZER=... -DSEEDS=... -DDICTIONARY=... -DWORK=... -DSECONDS=... -P run-smoke.cmake
foreach(variable FUZZER SEEDS WORK SECONDS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run-smoke.cmake needs -D${variable}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
file(GLOB seeds ${SEEDS}/*)
if(seeds)
  file(COPY ${seeds} DESTINATION ${WORK}/corpus)
endif()

set(arguments ${WORK}/corpus
  -max_total_time=${SECONDS} -rss_limit_mb=1024 -timeout=10
  -print_final_stats=1 -artifact_prefix=${WORK}/
  # The code under test prints to standard output and error on purpose;
  # the fuzzer's own report still comes through.
  -close_fd_mask=3)
if(DICTIONARY AND EXISTS ${DICTIONARY})
  list(APPEND arguments -dict=${DICTIONARY})
endif()

execute_process(COMMAND ${FUZZER} ${arguments} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(GLOB crashes ${WORK}/crash-* ${WORK}/leak-* ${WORK}/timeout-* ${WORK}/oom-*)
  message(FATAL_ERROR "${FUZZER} failed (${status}); inputs kept: ${crashes}")
endif()
