# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# cmake [-D EMULATOR=<runner>] -D PROGRAM=<path> -D EXPECTED=<file> -P comparestdout.cmake
# Runs PROGRAM (through EMULATOR when given, e.g. wine for a Windows build)
# and fails unless its standard output is exactly EXPECTED. Lines may end in
# "\r\n", as a Windows program's do.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} OUTPUT_VARIABLE output RESULT_VARIABLE status)
file(READ ${EXPECTED} expected)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} exited with ${status}")
endif()
string(REPLACE "\r\n" "\n" output "${output}")
if(NOT output STREQUAL expected)
    message(FATAL_ERROR "standard output of ${PROGRAM} differs from ${EXPECTED}:\n${output}")
endif()
