# Registers a Python unittest module run against this build: BIN_DIR, the
# emulator prefix (qemu on the armhf build), the sandbox runner and the harness.
set(PYTHON_TEST_EMULATOR "")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " PYTHON_TEST_EMULATOR)
endif()

function(add_python_test name module label)
  add_test(NAME ${name}
    COMMAND ${Python3_EXECUTABLE} -m unittest -v ${module}
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
  set_tests_properties(${name} PROPERTIES
    LABELS ${label}
    ENVIRONMENT "BIN_DIR=${CMAKE_BINARY_DIR}/bin;EMULATOR=${PYTHON_TEST_EMULATOR};SANDBOX_RUN=${PROJECT_SOURCE_DIR}/host/sandbox/sandbox-run;PYTHONPATH=${PROJECT_SOURCE_DIR}/tests/e2e;PYTHONDONTWRITEBYTECODE=1")
  count_test_coverage(${name})
endfunction()
