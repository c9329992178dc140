# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows programs' resources: the application icon, made at build time
# from packaging/icons/sonvale.svg (rsvg-convert draws each size, icotool
# packs them), and a version resource from the project's version. Each
# program gets its own .rc made from packaging/windows/program.rc.in.

find_program(SONVALE_RSVG_CONVERT rsvg-convert)
find_program(SONVALE_ICOTOOL icotool)
if(NOT SONVALE_RSVG_CONVERT OR NOT SONVALE_ICOTOOL)
    message(FATAL_ERROR "The Windows icon needs rsvg-convert and icotool "
                        "(Debian packages librsvg2-bin and icoutils; scripts/windows.sh installs them)")
endif()

set(svg ${PROJECT_SOURCE_DIR}/packaging/icons/sonvale.svg)
set(icon_dir ${PROJECT_BINARY_DIR}/icon)
set(SONVALE_ICON ${icon_dir}/sonvale.ico)
set(pngs "")
set(png_commands "")
foreach(size 16 20 24 32 40 48 64 96 128 256)
    set(png ${icon_dir}/sonvale-${size}.png)
    list(APPEND png_commands COMMAND ${SONVALE_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${svg})
    if(size EQUAL 256)
        list(APPEND pngs --raw=${png})   # stored as PNG, as Windows reads the large size
    else()
        list(APPEND pngs ${png})
    endif()
endforeach()
add_custom_command(OUTPUT ${SONVALE_ICON}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${icon_dir}
    ${png_commands}
    COMMAND ${SONVALE_ICOTOOL} -c -o ${SONVALE_ICON} ${pngs}
    DEPENDS ${svg}
    COMMENT "Making the Windows icon sonvale.ico"
    VERBATIM)
add_custom_target(sonvale-icon DEPENDS ${SONVALE_ICON})

# sonvale_windows_resources(<target> <description>)
function(sonvale_windows_resources target description)
    set(SONVALE_RC_NAME ${target})
    set(SONVALE_RC_DESCRIPTION ${description})
    set(rc ${PROJECT_BINARY_DIR}/generated/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${rc} @ONLY)
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${SONVALE_ICON})
    target_sources(${target} PRIVATE ${rc})
    add_dependencies(${target} sonvale-icon)
endfunction()

sonvale_windows_resources(sonvale "Sonvale: tunes the ES9038 USB DAC")
sonvale_windows_resources(sonvale-preset "Sonvale preset maker")
sonvale_windows_resources(sonvalectl "Sonvale: the DAC from a terminal")
