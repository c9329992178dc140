# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# A cross build for Windows runs its programs under wine64: the tests, and
# sonvale-preset when the build makes the example presets. Sets
# CMAKE_CROSSCOMPILING_EMULATOR to <build>/wine.sh (made from wine.sh.in),
# unless the emulator was given, and SONVALE_WINE_SESSION when the tests are
# to share one wine session (sonvale_wine_tests in tests/CMakeLists.txt).
# Include it after Qt and libusb have been found and before any target.
if(NOT (CMAKE_CROSSCOMPILING AND WIN32) OR CMAKE_CROSSCOMPILING_EMULATOR)
    return()
endif()

find_program(SONVALE_WINE64 wine64 PATHS /usr/lib/wine NO_CACHE)
find_program(SONVALE_WINESERVER wineserver PATHS /usr/lib/wine NO_CACHE)
if(NOT SONVALE_WINE64 OR NOT SONVALE_WINESERVER)
    message(STATUS "wine64 not found: the Windows programs are built, not run (no tests, no example presets)")
    return()
endif()

# Where the DLLs are: Qt's bin folder, libusb's, those the build was given
# (scripts/windows.sh names the bin folders of the libraries it built), and
# the MinGW runtime (libstdc++, libgcc_s_seh, libwinpthread), which the
# compiler knows. Drive Z: is the Unix root in every wine prefix.
set(SONVALE_WINE_DLL_DIRS "" CACHE STRING "Further folders of DLLs the Windows programs load under wine")
get_target_property(qt_core_dll Qt6::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(qt_bin ${qt_core_dll} DIRECTORY)
set(dll_dirs ${qt_bin} ${LIBUSB_PREFIX}/bin ${SONVALE_WINE_DLL_DIRS})
foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${runtime_path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${runtime} is")
    endif()
    file(REAL_PATH ${runtime_path} runtime_path)
    get_filename_component(runtime_dir ${runtime_path} DIRECTORY)
    list(APPEND dll_dirs ${runtime_dir})
endforeach()
list(REMOVE_DUPLICATES dll_dirs)
list(TRANSFORM dll_dirs PREPEND "Z:")
list(JOIN dll_dirs ";" SONVALE_WINEPATH)
string(REPLACE "/" "\\" SONVALE_WINEPATH "${SONVALE_WINEPATH}")

set(SONVALE_WINEPREFIX ${PROJECT_BINARY_DIR}/wine)
set(SONVALE_FONTDIR /usr/share/fonts/truetype/dejavu)
set(SONVALE_WINEKEEPER ${PROJECT_BINARY_DIR}/tests/windows/winekeeper.exe)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine.sh.in ${PROJECT_BINARY_DIR}/wine.sh @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine.sh)
set(SONVALE_WINE_SESSION ${PROJECT_BINARY_DIR}/wine.sh)
