# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows programs' resources: the application icon, made at build time
# from packaging/icons/sonvale.svg, or sonvale-thd.svg for the THD assistant
# (rsvg-convert draws each size, icotool packs them), and a version resource
# from the project's version. Each program gets its own .rc made from
# packaging/windows/program.rc.in.

find_program(SONVALE_RSVG_CONVERT rsvg-convert)
find_program(SONVALE_ICOTOOL icotool)
if(NOT SONVALE_RSVG_CONVERT OR NOT SONVALE_ICOTOOL)
    message(FATAL_ERROR "The Windows icon needs rsvg-convert and icotool "
                        "(Debian packages librsvg2-bin and icoutils; scripts/windows.sh installs them)")
endif()

set(icon_dir ${PROJECT_BINARY_DIR}/icon)

# sonvale_windows_icon(<name>): icon/<name>.ico from packaging/icons/<name>.svg,
# made by the target <name>-icon.
function(sonvale_windows_icon name)
    set(svg ${PROJECT_SOURCE_DIR}/packaging/icons/${name}.svg)
    set(ico ${icon_dir}/${name}.ico)
    set(pngs "")
    set(png_commands "")
    foreach(size 16 20 24 32 40 48 64 96 128 256)
        set(png ${icon_dir}/${name}-${size}.png)
        list(APPEND png_commands COMMAND ${SONVALE_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${svg})
        if(size EQUAL 256)
            list(APPEND pngs --raw=${png})   # stored as PNG, as Windows reads the large size
        else()
            list(APPEND pngs ${png})
        endif()
    endforeach()
    add_custom_command(OUTPUT ${ico}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${icon_dir}
        ${png_commands}
        COMMAND ${SONVALE_ICOTOOL} -c -o ${ico} ${pngs}
        DEPENDS ${svg}
        COMMENT "Making the Windows icon ${name}.ico"
        VERBATIM)
    add_custom_target(${name}-icon DEPENDS ${ico})
endfunction()

# The window's and the tools' icon; the installer shows it too.
set(SONVALE_ICON ${icon_dir}/sonvale.ico)
sonvale_windows_icon(sonvale)

# sonvale_windows_resources(<target> <description> [<icon>]): the icon
# (sonvale unless named) and the version resource.
function(sonvale_windows_resources target description)
    set(icon sonvale)
    if(ARGC GREATER 2)
        set(icon ${ARGV2})
    endif()
    set(SONVALE_RC_NAME ${target})
    set(SONVALE_RC_DESCRIPTION ${description})
    set(SONVALE_ICON ${icon_dir}/${icon}.ico)
    set(rc ${PROJECT_BINARY_DIR}/generated/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${rc} @ONLY)
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${SONVALE_ICON})
    target_sources(${target} PRIVATE ${rc})
    add_dependencies(${target} ${icon}-icon)
endfunction()

sonvale_windows_resources(sonvale "Sonvale: tunes the ES9038 USB DAC")
sonvale_windows_resources(sonvale-preset "Sonvale preset maker")
sonvale_windows_resources(sonvalectl "Sonvale: the DAC from a terminal")
# The THD assistant, with its own icon.
if(TARGET sonvale-thd)
    sonvale_windows_icon(sonvale-thd)
    sonvale_windows_resources(sonvale-thd "Sonvale THD assistant" sonvale-thd)
endif()
