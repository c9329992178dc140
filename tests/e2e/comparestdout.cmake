# cmake -D PROGRAM=<path> -D EXPECTED=<file> -P comparestdout.cmake
# Runs PROGRAM and fails unless its standard output is exactly EXPECTED.
execute_process(COMMAND ${PROGRAM} OUTPUT_VARIABLE output RESULT_VARIABLE status)
file(READ ${EXPECTED} expected)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} exited with ${status}")
endif()
if(NOT output STREQUAL expected)
    message(FATAL_ERROR "standard output of ${PROGRAM} differs from ${EXPECTED}:\n${output}")
endif()
