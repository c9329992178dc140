# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later

# The layering test: every #include "folder/..." of a file in src/ names a
# folder its target may include from, by what the target links (the facts
# cmake/layering.cmake writes). A call upwards links in the programs that
# lack the layer above; in the others it would link without a word, so this
# finds it where it is written.
#
#   cmake -DFACTS=<build>/layering.txt -DSOURCE=<src> -P layeringcheck.cmake

cmake_minimum_required(VERSION 3.25)

file(STRINGS ${FACTS} lines)
set(known)
foreach(line IN LISTS lines)
    string(REPLACE " " ";" fields "${line}")
    list(GET fields 1 files)
    string(REPLACE "," ";" files "${files}")
    foreach(file IN LISTS files)
        string(REGEX REPLACE "/.*" "" folder ${file})
        list(APPEND known ${folder})
    endforeach()
endforeach()
list(REMOVE_DUPLICATES known)

set(wrong 0)
foreach(line IN LISTS lines)
    string(REPLACE " " ";" fields "${line}")
    list(GET fields 0 target)
    list(GET fields 1 files)
    list(GET fields 2 allowed)
    string(REPLACE "," ";" files "${files}")
    string(REPLACE "," ";" allowed "${allowed}")
    # A source's header goes with it, listed or not.
    set(checked)
    foreach(file IN LISTS files)
        list(APPEND checked ${file})
        string(REGEX REPLACE "\\.cpp$" ".h" header ${file})
        if(NOT header STREQUAL file AND EXISTS ${SOURCE}/${header})
            list(APPEND checked ${header})
        endif()
    endforeach()
    list(REMOVE_DUPLICATES checked)
    foreach(file IN LISTS checked)
        if(NOT file MATCHES "\\.(cpp|h)$")
            continue()
        endif()
        file(STRINGS ${SOURCE}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][a-z]+/")
        foreach(include IN LISTS includes)
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([a-z]+)/.*" "\\1" folder "${include}")
            if(folder IN_LIST known AND NOT folder IN_LIST allowed)
                string(STRIP "${include}" include)
                message("src/${file}: ${include}: ${target} does not link a target of ${folder}/")
                math(EXPR wrong "${wrong} + 1")
            endif()
        endforeach()
    endforeach()
endforeach()

if(wrong GREATER 0)
    message(FATAL_ERROR "${wrong} include(s) reach above their target's layers")
endif()
list(LENGTH lines count)
message("the includes of ${count} targets stay within what each links")
