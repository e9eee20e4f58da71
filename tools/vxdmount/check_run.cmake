# Runs the vxdmount runner once and checks its exit status and output.
#   RUNNER      the program
#   ARGS        its arguments, separated by '|'
#   EXIT        the exit status expected
#   STDOUT      a regular expression that stdout must match (optional)
#   STDOUT_NOT  a regular expression that stdout must not match (optional)
#   STDERR      a regular expression that stderr must match (optional)
string(REPLACE "|" ";" arguments "${ARGS}")
execute_process(COMMAND "${RUNNER}" ${arguments}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)

set(report "\n--- stdout:\n${out}--- stderr:\n${err}")
if(NOT "${status}" STREQUAL "${EXIT}")
  message(FATAL_ERROR "exit status ${status}, expected ${EXIT}${report}")
endif()
if(NOT "${STDOUT}" STREQUAL "" AND NOT "${out}" MATCHES "${STDOUT}")
  message(FATAL_ERROR "stdout does not match: ${STDOUT}${report}")
endif()
if(NOT "${STDOUT_NOT}" STREQUAL "" AND "${out}" MATCHES "${STDOUT_NOT}")
  message(FATAL_ERROR "stdout should not match: ${STDOUT_NOT}${report}")
endif()
if(NOT "${STDERR}" STREQUAL "" AND NOT "${err}" MATCHES "${STDERR}")
  message(FATAL_ERROR "stderr does not match: ${STDERR}${report}")
endif()
