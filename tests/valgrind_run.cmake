# Runs a program (the vxdmount runner, or the host suite for some of its cases) under valgrind's
# memcheck and fails on any memory error or leak. Memcheck's own failure exits with 99, apart
# from the runner's 0 (mounted) and 1 (not).
#   cmake -DVALGRIND=... -DRUNNER=... -DEXIT=expected [-DARGS=a|b] -P valgrind_run.cmake
string(REPLACE "|" ";" arguments "${ARGS}")
execute_process(
  COMMAND ${VALGRIND} --tool=memcheck --error-exitcode=99 --leak-check=full
          --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
          ${RUNNER} ${arguments}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status STREQUAL EXIT)
  message(FATAL_ERROR "exit status ${status}, expected ${EXIT}\n${err}")
endif()
if(NOT err MATCHES "ERROR SUMMARY: 0 errors")
  message(FATAL_ERROR "memcheck reported errors\n${err}")
endif()
