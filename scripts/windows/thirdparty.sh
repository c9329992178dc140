# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# The third-party libraries for Windows, built once from Debian's source
# packages into the cache: libusb, PortAudio, KissFFT, Qt and QCustomPlot.
# Sourced by scripts/windows.sh, which sets top, cache and jobs and holds
# the cache's lock while these run.
#
# Each prefix counts as present only with its stamp, written after its
# install and its notices have finished: an interrupted build is taken up
# again where it stopped (the work folder under src/ stays until the install
# is complete), an interrupted install is done again. Beside each install,
# notices/ keeps what the release needs of it: its licence, its authors
# where it names them, and source.txt, the Debian source package it came
# from ("NAME VERSION").

# apt-get source needs a deb-src entry; add one beside the deb entry of
# Debian's main archive when there is none.
fetch_source() {
    local package=$1 dest=$2
    if ! apt-get source --download-only --print-uris "$package" >/dev/null 2>&1; then
        sed -n '1,/^$/p' /etc/apt/sources.list.d/debian.sources |
            sed 's/^Types: deb$/Types: deb-src/' > /etc/apt/sources.list.d/sonvale-deb-src.sources
        apt-get update -qq
    fi
    mkdir -p "$dest"
    (cd "$dest" && apt-get source --download-only "$package" >"$dest/apt-source.log" 2>&1) ||
        { cat "$dest/apt-source.log"; exit 1; }
}

# Unpacks a source tarball into $2/source, complete or not at all.
unpack() {
    local tarball=$1 work=$2
    rm -rf "$work/unpack" && mkdir -p "$work/unpack"
    tar -xf "$tarball" -C "$work/unpack"
    mv "$work/unpack"/* "$work/source"
    rm -rf "$work/unpack"
}

# Unpacks the Debian source package fetched into $1 as Debian builds it,
# with Debian's patches applied (for KissFFT they mend two integer
# overflows), into $1/source, complete or not at all.
unpack_debian() {
    local work=$1
    rm -rf "$work/unpack"
    (cd "$work" && dpkg-source -x ./*.dsc unpack >"$work/dpkg-source.log" 2>&1) ||
        { cat "$work/dpkg-source.log"; exit 1; }
    mv "$work/unpack" "$work/source"
}

# The Debian source package a work folder was fetched from, as
# "NAME VERSION", from its .dsc.
source_package() {
    sed -n 's/^Source: //p; s/^Version: //p' "$1"/*.dsc | head -n 2 | paste -sd ' '
}

# A prefix built with its notices and its stamp.
built() {
    [ -f "$1/.complete" ] && [ -f "$1/notices/source.txt" ]
}

# Keeps the notices ($3...) of the source tree in $2 beside the prefix $1,
# with where they came from, and stamps the prefix complete.
finish_prefix() {
    local prefix=$1 work=$2
    shift 2
    mkdir -p "$prefix/notices"
    (cd "$work/source" && cp "$@" "$prefix/notices/")
    source_package "$work" >"$prefix/notices/source.txt"
    touch "$prefix/.complete"
    rm -rf "$work"
}

build_libusb() {
    local prefix=$cache/libusb work=$cache/src/libusb
    # A cache made before the notices were kept builds it again (a minute).
    built "$prefix" && return 0
    phase "Building libusb 1.0.26 for Windows into $prefix"
    if [ ! -d "$work/source" ]; then
        rm -rf "$work" && fetch_source libusb-1.0 "$work"
        unpack "$(ls "$work"/libusb-1.0_1.0.26.orig.tar.*)" "$work"
    fi
    rm -rf "$prefix"
    (cd "$work/source" &&
        { [ -f Makefile ] || ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" \
            CC=x86_64-w64-mingw32-gcc-posix --enable-static --enable-shared; } &&
        make -j"$jobs" && make install) >"$cache/libusb-build.log" 2>&1 ||
        { tail -n 40 "$cache/libusb-build.log"; exit 1; }
    finish_prefix "$prefix" "$work" COPYING AUTHORS
    phase_done
}

# PortAudio 19.6.0's Windows sources predate today's MinGW-w64. Its WASAPI
# code includes the Windows SDK's headers only for MSVC and otherwise falls
# back on copies of its own that clash with MinGW-w64's complete ones (the
# build stops); it names two of them in the SDK's mixed case, and needs the
# device-property keys from functiondiscoverykeys_devpkey.h. Those copies
# stay for WDM-KS, which includes them by their path.
portaudio_for_mingw() {
    local wasapi=src/hostapi/wasapi/pa_win_wasapi.c
    sed -i 's/^#if defined(_MSC_VER) && (_MSC_VER >= 1400)$/& || defined(__MINGW64_VERSION_MAJOR)/
            s/<Avrt\.h>/<avrt.h>/; s/<Audioclient\.h>/<audioclient.h>/
            58,70s/^\(\s*\)#include <functiondiscoverykeys.h>/\1#include <functiondiscoverykeys_devpkey.h>\n&/' $wasapi
    sed -i 's| -I\\$(top_srcdir)/src/hostapi/wasapi/mingw-include||' configure
    grep -q 'functiondiscoverykeys_devpkey' $wasapi && ! grep -q 'wasapi/mingw-include -U' configure
}

# PortAudio as a DLL (libportaudio-2.dll) with the Windows host APIs it
# has: WASAPI, WDM-KS, DirectSound and MME (ASIO needs Steinberg's SDK,
# which is not free software). Debian's patches, then ours
# (packaging/windows/portaudio-wasapi-autoconvert.patch): WASAPI's shared
# mode at any rate, Windows converting to the mix format. About a minute.
build_portaudio() {
    local prefix=$cache/portaudio work=$cache/src/portaudio
    local patch=$top/packaging/windows/portaudio-wasapi-autoconvert.patch
    # Built with today's patch; a prefix or a work folder with another is
    # built again (PortAudio alone).
    built "$prefix" && cmp -s "$patch" "$prefix/notices/$(basename "$patch")" && return 0
    phase "Building PortAudio 19.6.0 for Windows into $prefix"
    cmp -s "$patch" "$work/source/$(basename "$patch")" || rm -rf "$work"
    if [ ! -d "$work/source" ]; then
        rm -rf "$work" && fetch_source portaudio19 "$work" && unpack_debian "$work"
        (cd "$work/source" && patch -p1 --quiet <"$patch" && cp "$patch" . && portaudio_for_mingw) ||
            { echo "PortAudio's source is not the one $(basename "$patch") and its MinGW-w64 changes are made for" >&2; exit 1; }
    fi
    # libtool makes no DLL that links a static-only import library (uuid)
    # unless told that any library will do. It is installed beside the
    # prefix and then put in its place: a build of the project that runs
    # meanwhile finds the PortAudio there before.
    local stage=$work/stage
    rm -rf "$stage"
    (cd "$work/source" &&
        { [ -f Makefile ] || ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" \
            CC=x86_64-w64-mingw32-gcc-posix --enable-shared --disable-static \
            --with-winapi=wasapi,wdmks,directx,wmme lt_cv_deplibs_check_method=pass_all; } &&
        make -j"$jobs" && make install DESTDIR="$stage" && cp include/pa_win_*.h "$stage$prefix/include/") \
        >"$cache/portaudio-build.log" 2>&1 || { tail -n 40 "$cache/portaudio-build.log"; exit 1; }
    [ -f "$stage$prefix/bin/libportaudio-2.dll" ] ||
        { echo "PortAudio's build made no DLL (see $cache/portaudio-build.log)" >&2; exit 1; }
    rm -rf "$prefix" && mv "$stage$prefix" "$prefix"
    finish_prefix "$prefix" "$work" LICENSE.txt "$(basename "$patch")"
    phase_done
}

# KissFFT as DLLs, float and double (libkissfft-float.dll and
# libkissfft-double.dll), with the pkg-config modules kissfft-float and
# kissfft-double that Debian's libkissfft-dev names. Seconds.
build_kissfft() {
    local prefix=$cache/kissfft work=$cache/src/kissfft type
    built "$prefix" && return 0
    phase "Building KissFFT 131.1.0 for Windows into $prefix"
    if [ ! -d "$work/source" ]; then
        rm -rf "$work" && fetch_source kissfft "$work" && unpack_debian "$work"
    fi
    rm -rf "$prefix"
    # Its install folders come from GNUInstallDirs only on Unix: name them.
    : >"$cache/kissfft-build.log"
    for type in float double; do
        { cmake -S "$work/source" -B "$work/build-$type" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
            -DCMAKE_INSTALL_BINDIR=bin -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_INSTALL_INCLUDEDIR=include \
            -DKISSFFT_DATATYPE=$type -DKISSFFT_STATIC=OFF -DKISSFFT_TEST=OFF -DKISSFFT_TOOLS=OFF &&
            cmake --build "$work/build-$type" --parallel "$jobs" &&
            cmake --install "$work/build-$type"; } >>"$cache/kissfft-build.log" 2>&1 ||
            { tail -n 40 "$cache/kissfft-build.log"; exit 1; }
    done
    finish_prefix "$prefix" "$work" COPYING LICENSES/BSD-3-Clause
    phase_done
}

# The Qt DLLs and plugins the project uses, and the notices of what they
# are made of.
qt_complete() {
    local f
    for f in bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/Qt6Test.dll \
             plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll \
             plugins/styles/qwindowsvistastyle.dll lib/cmake/Qt6/qt.toolchain.cmake \
             notices/manifest.txt notices/source.txt; do
        [ -f "$cache/qt/$f" ] || return 1
    done
}

build_qt() {
    local prefix=$cache/qt work=$cache/src/qt
    [ -f "$prefix/.complete" ] && qt_complete && return 0
    # Which third-party code went into each DLL only the build tree can tell:
    # a cache made before the notices were kept builds Qt again, once.
    phase "Building Qt 6.4.2 (qtbase) for Windows into $prefix: some 23 minutes on two cores, once"
    if [ ! -d "$work/source" ]; then
        rm -rf "$work" && fetch_source qt6-base "$work"
        unpack "$(ls "$work"/qt6-base_6.4.2*.orig.tar.*)" "$work"
    fi
    # Qt's toolchain file loads this one by its path: a copy in the cache
    # outlives any checkout.
    cp "$top/cmake/mingw-w64-x86_64.cmake" "$cache/mingw-w64-x86_64.cmake"
    if [ ! -f "$work/build/build.ninja" ]; then
        cmake -S "$work/source" -B "$work/build" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$cache/mingw-w64-x86_64.cmake" \
            -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
            -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
            -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
            -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF \
            -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
            -DFEATURE_jpeg=OFF -DFEATURE_vulkan=OFF -DFEATURE_testlib=ON \
            -DFEATURE_tabletevent=OFF >"$cache/qt-configure.log" 2>&1 ||
            { tail -n 40 "$cache/qt-configure.log"; rm -rf "$work/build"; exit 1; }
    fi
    cmake --build "$work/build" --parallel "$jobs" >"$cache/qt-build.log" 2>&1 ||
        { tail -n 60 "$cache/qt-build.log"; exit 1; }
    # The notices of Qt and of every component its source names that this
    # build compiled into a DLL or plugin, kept beside the installed Qt: the
    # source and the build tree go once it is installed.
    rm -rf "$work/notices"
    /usr/bin/python3 "$top/packaging/windows/qtnotices.py" "$work/source" "$work/build" "$work/notices" ||
        { echo "Qt's licence notices could not be collected" >&2; exit 1; }
    source_package "$work" >"$work/notices/source.txt"
    rm -rf "$prefix"
    cmake --install "$work/build" >/dev/null
    cp -r "$work/notices" "$prefix/notices"
    qt_complete || { echo "Qt's install lacks some of its parts" >&2; exit 1; }
    touch "$prefix/.complete"
    rm -rf "$work"
    phase_done
}

# QCustomPlot, the THD assistant's plot: one source file, built as a DLL
# (libQCustomPlotQt6.dll) against the Qt above, with its CMake package
# QCustomPlotQt6. Debian's patches give it its CMake build and mend its
# header for Qt 6; ours (packaging/windows/qcustomplot-no-printsupport.patch)
# lets it do without Qt Print Support, which the Windows Qt leaves out.
# Seconds to a minute.
build_qcustomplot() {
    local prefix=$cache/qcustomplot work=$cache/src/qcustomplot
    local patch=$top/packaging/windows/qcustomplot-no-printsupport.patch
    # Built against today's Qt and with today's patch.
    built "$prefix" && [ "$prefix/.complete" -nt "$cache/qt/.complete" ] &&
        cmp -s "$patch" "$prefix/notices/$(basename "$patch")" && return 0
    phase "Building QCustomPlot 2.1.0 for Windows into $prefix"
    if [ ! -d "$work/source" ]; then
        rm -rf "$work" && fetch_source qcustomplot "$work" && unpack_debian "$work"
        (cd "$work/source" && patch -p1 --quiet <"$patch") ||
            { echo "QCustomPlot's source is not the one $(basename "$patch") is made for" >&2; exit 1; }
    fi
    rm -rf "$prefix"
    { cmake -S "$work/source" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$cache/qt/lib/cmake/Qt6/qt.toolchain.cmake" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_BINDIR=bin -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_INSTALL_INCLUDEDIR=include \
        -DUSE_QT_VERSION=6 -DQCUSTOMPLOT_PRINTING=OFF &&
        cmake --build "$work/build" --parallel "$jobs" &&
        cmake --install "$work/build"; } >"$cache/qcustomplot-build.log" 2>&1 ||
        { tail -n 40 "$cache/qcustomplot-build.log"; exit 1; }
    [ -f "$prefix/bin/libQCustomPlotQt6.dll" ] && [ -f "$prefix/lib/cmake/QCustomPlotQt6/QCustomPlotQt6Config.cmake" ] ||
        { echo "QCustomPlot's install lacks its DLL or its CMake package" >&2; exit 1; }
    # Its licence, Debian's copyright file of the source, and our patch,
    # which the release names beside the source package.
    cp "$work/source/debian/copyright" "$work/source/copyright"
    cp "$patch" "$work/source/"
    finish_prefix "$prefix" "$work" GPL.txt copyright "$(basename "$patch")"
    phase_done
}
