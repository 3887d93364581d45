# Builds the API reference from a copy of the configured Doxyfile in which
# every warning is an error, so that an undocumented record, field,
# enumerator or operation in the public headers fails the check. The docs
# target itself keeps building on a warning.
# Usage: cmake -DDOXYGEN=... -DDOXYFILE=... -DWORK_DIR=... -P check_api_reference.cmake
foreach(var DOXYGEN DOXYFILE WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_api_reference: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(READ ${DOXYFILE} config)
# Later settings replace earlier ones.
string(APPEND config "
OUTPUT_DIRECTORY = ${WORK_DIR}
WARN_LOGFILE = ${WORK_DIR}/warnings.log
WARN_AS_ERROR = FAIL_ON_WARNINGS
QUIET = YES
")
file(WRITE ${WORK_DIR}/Doxyfile "${config}")

execute_process(COMMAND ${DOXYGEN} ${WORK_DIR}/Doxyfile
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
set(warnings "")
if(EXISTS ${WORK_DIR}/warnings.log)
  file(READ ${WORK_DIR}/warnings.log warnings)
endif()
if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "the API reference has warnings (doxygen exit ${result}):\n${warnings}${output}")
endif()
message(STATUS "API reference: no warnings")
