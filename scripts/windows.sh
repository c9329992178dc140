#!/usr/bin/env bash
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# Windows x86-64 from Debian: installs what is missing (Debian packages only),
# builds libusb and Qt for Windows once into a cache outside the tree,
# cross-builds Sonvale into build-win64/, runs its tests under wine64, and
# makes and checks the release in build-win64/dist/.
#
#   scripts/windows.sh [STEP]
#     deps      packages and the third-party builds only
#     build     ... and the cross build
#     test      ... and the tests under wine
#     release   the cross build, then the release with its checks, no tests
#     all       the cross build, its tests, the release and its checks (the default)
#
# The cache: ${SONVALE_WIN64_CACHE:-$HOME/.cache/sonvale/win64}. Qt takes
# some 23 minutes on two cores the first time; later runs reuse it.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
cache=${SONVALE_WIN64_CACHE:-$HOME/.cache/sonvale/win64}
build=$top/build-win64
step=${1:-all}
jobs=$(nproc)
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
strip=x86_64-w64-mingw32-strip
objdump=x86_64-w64-mingw32-objdump

case $step in
deps | build | test | release | all) ;;
*) echo "usage: $0 [deps|build|test|release|all]" >&2; exit 2 ;;
esac

packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
    wine64 wine xvfb xdotool fonts-dejavu-core
    nsis zip unzip icoutils librsvg2-bin
    dpkg-dev cmake ninja-build pkg-config perl python3 qt6-base-dev qt6-base-dev-tools
)

phase_started=$SECONDS
phase() {
    echo "== $* ($(date -u +%H:%M:%S))"
    phase_started=$SECONDS
}
phase_done() {
    echo "   done in $((SECONDS - phase_started)) s"
}

install_packages() {
    "$top/scripts/setup.sh" "${packages[@]}"
}

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

# Each third-party prefix counts as present only with its stamp, written
# after its install has finished: an interrupted build is taken up again
# where it stopped (the work folder under src/ stays until the install is
# complete), an interrupted install is done again.
# The Debian source package a work folder was fetched from, as
# "NAME VERSION", from its .dsc.
source_package() {
    sed -n 's/^Source: //p; s/^Version: //p' "$1"/*.dsc | head -n 2 | paste -sd ' '
}

build_libusb() {
    local prefix=$cache/libusb work=$cache/src/libusb
    # Complete with its stamp, written after its install and its notices; a
    # cache made before the notices were kept builds it again (a minute).
    [ -f "$prefix/.complete" ] && [ -f "$prefix/notices/source.txt" ] && return 0
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
    # What the release's notices need of it: its licence, its authors and
    # where it came from.
    mkdir -p "$prefix/notices"
    cp "$work/source/COPYING" "$work/source/AUTHORS" "$prefix/notices/"
    source_package "$work" >"$prefix/notices/source.txt"
    touch "$prefix/.complete"
    rm -rf "$work"
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

# The MinGW runtime DLLs, where the compiler has them.
runtime_dll() {
    x86_64-w64-mingw32-g++-posix -print-file-name="$1"
}

configure_and_build() {
    phase "Cross-building Sonvale into build-win64/"
    if [ ! -f "$build/build.ninja" ]; then
        # pkg-config finds the Windows libusb only; its prefix joins the
        # find-root paths, which otherwise hide it.
        PKG_CONFIG_LIBDIR=$cache/libusb/lib/pkgconfig cmake -S . -B "$build" -G Ninja \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$cache/qt/lib/cmake/Qt6/qt.toolchain.cmake" \
            -DQT_CHAINLOAD_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
            -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
            -DCMAKE_FIND_ROOT_PATH="$cache/libusb" >/dev/null
    fi
    PKG_CONFIG_LIBDIR=$cache/libusb/lib/pkgconfig cmake --build "$build"
    phase_done
}

run_tests() {
    phase "Testing under wine64 (ctest -j2)"
    local status=0
    timeout 1800 ctest --test-dir "$build" --output-on-failure -j2 || status=$?
    "$build/wine.sh" --stop
    [ $status -eq 0 ] || exit $status
    phase_done
}

# --- the release -----------------------------------------------------------

version=""
dist=$build/dist
stage=""

make_release() {
    phase "Making the release in build-win64/dist/"
    version=$(sed -n 's/^#define SONVALE_VERSION "\(.*\)"/\1/p' "$build/generated/base/version.h")
    local name=Sonvale-$version-win64
    stage=$dist/$name
    rm -rf "$dist" && mkdir -p "$stage/platforms" "$stage/styles" "$stage/Presets"

    cp "$build"/{sonvale,sonvale-preset,sonvalectl}.exe "$stage/"
    cp "$cache"/qt/bin/Qt6{Core,Gui,Widgets}.dll "$stage/"
    cp "$cache/qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
    cp "$cache/qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
    cp "$cache/libusb/bin/libusb-1.0.dll" "$stage/"
    cp "$(runtime_dll libstdc++-6.dll)" "$(runtime_dll libgcc_s_seh-1.dll)" \
       "$(runtime_dll libwinpthread-1.dll)" "$stage/"
    # The example presets, and the THD test's preset where the window looks
    # for it: Presets\ in its working folder, which the Start-menu entry sets
    # to the program's folder (Windows does not tell Presets from presets).
    cp "$build"/presets/*.sonvale "$build/Presets/THDTest.sonvale" "$stage/Presets/"
    find "$stage" -name '*.exe' -o -name '*.dll' | xargs "$strip" --strip-unneeded
    make_notices "$stage/licenses"
    check_notices

    (cd "$dist" && zip -qr -X "$name.zip" "$name")

    # The installer's lists: every file, and on removal every file and
    # folder it made, deepest first.
    local lists=$dist/nsis
    mkdir -p "$lists"
    local dir file
    : >"$lists/install-files.nsh"
    : >"$lists/uninstall-files.nsh"
    while IFS= read -r dir; do
        local rel=${dir#"$stage"}
        rel=${rel#/}
        echo "SetOutPath \"\$INSTDIR${rel:+\\${rel//\//\\}}\"" >>"$lists/install-files.nsh"
        for file in "$dir"/*; do
            [ -f "$file" ] || continue
            echo "File \"$file\"" >>"$lists/install-files.nsh"
            local relfile=${file#"$stage"/}
            echo "Delete \"\$INSTDIR\\${relfile//\//\\}\"" >>"$lists/uninstall-files.nsh"
        done
    done < <(find "$stage" -type d | sort)
    while IFS= read -r dir; do
        local reldir=${dir#"$stage"/}
        echo "RMDir \"\$INSTDIR\\${reldir//\//\\}\"" >>"$lists/uninstall-files.nsh"
    done < <(find "$stage" -mindepth 1 -type d | sort -r)

    # The licence page shows Sonvale's licence; its text control wants CR LF.
    sed 's/$/\r/' "$top/COPYING" >"$lists/license.txt"
    makensis -V2 -DVERSION="$version" -DLISTS="$lists" -DLICENSE="$lists/license.txt" \
        -DOUTFILE="$dist/Sonvale-$version-setup-x64.exe" -DICON="$build/icon/sonvale.ico" \
        -DSIZE_KB="$(du -sk "$stage" | cut -f1)" "$top/packaging/windows/sonvale.nsi" >/dev/null
    rm -rf "$lists"
    ls -l "$dist"
    phase_done
}

# The Debian package that installed a file, and its version.
package_of() {
    local package
    package=$(dpkg -S "$(readlink -f "$1")" | head -n 1 | cut -d: -f1)
    echo "$package $(dpkg-query -W -f='${Version}' "$package")"
}

# The licences of everything in the release, taken from the trees and
# packages the files came from: Sonvale's own; Qt's, with the notices of the
# components the Qt build compiled into the DLLs and plugins that ship;
# libusb's; the MinGW-w64 runtime's (Debian's copyright files of the
# packages that hold its DLLs, the GCC Runtime Library Exception among them).
make_notices() {
    local dir=$1 shipped ids id
    mkdir -p "$dir"
    cp "$top/COPYING" "$dir/Sonvale-COPYING.txt"
    cp "$cache/qt/notices/Qt-LGPL-3.0-only.txt" "$cache/qt/notices/Qt-GPL-3.0-only.txt" "$dir/"
    while read -r shipped ids; do
        [ -f "$stage/$shipped" ] || continue
        for id in $ids; do
            cp "$cache/qt/notices/Qt-3rdparty-$id.txt" "$dir/"
        done
    done <"$cache/qt/notices/manifest.txt"
    cp "$cache/libusb/notices/COPYING" "$dir/libusb-COPYING.txt"
    cp "$cache/libusb/notices/AUTHORS" "$dir/libusb-AUTHORS.txt"
    local gcc winpthreads
    gcc=$(package_of "$(runtime_dll libstdc++-6.dll)")
    winpthreads=$(package_of "$(runtime_dll libwinpthread-1.dll)")
    cp "/usr/share/doc/${gcc%% *}/copyright" "$dir/GCC-runtime-copyright.txt"
    cp "/usr/share/doc/${winpthreads%% *}/copyright" "$dir/MinGW-w64-runtime-copyright.txt"
    cp /usr/share/common-licenses/GPL-3 "$dir/GPL-3.0.txt"

    local qt_version libusb_version
    qt_version=$(sed -n 's/^Version: //p' "$cache/qt/lib/pkgconfig/Qt6Core.pc")
    libusb_version=$(sed -n 's/^Version: //p' "$cache/libusb/lib/pkgconfig/libusb-1.0.pc")
    cat >"$dir/README.txt" <<TEXT
Sonvale $version for Windows: licences and sources

Sonvale is free software: you can redistribute it and/or modify it under
the terms of the GNU General Public License as published by the Free
Software Foundation, either version 3 of the License, or (at your option)
any later version (Sonvale-COPYING.txt). It comes with no warranty.
Copyright (C) 2026 The Sonvale authors.

The release also carries the work of others, each under its own licence:

Qt6Core.dll, Qt6Gui.dll, Qt6Widgets.dll, platforms\qwindows.dll,
styles\qwindowsvistastyle.dll
    Qt $qt_version (qtbase), under the GNU Lesser General Public License,
    version 3 (Qt-LGPL-3.0-only.txt), which builds on the GNU General Public
    License, version 3 (Qt-GPL-3.0-only.txt). Built from Debian's source
    package $(cat "$cache/qt/notices/source.txt") (its original tarball; Debian's
    own patches are not applied). Qt compiles third-party code into these
    files; Qt-3rdparty-*.txt hold the notices of each such component.

libusb-1.0.dll
    libusb $libusb_version, under the GNU Lesser General Public License,
    version 2.1 or later (libusb-COPYING.txt; its authors in
    libusb-AUTHORS.txt). Built from Debian's source package
    $(cat "$cache/libusb/notices/source.txt").

libstdc++-6.dll, libgcc_s_seh-1.dll
    The GCC runtime libraries of MinGW-w64, under the GNU General Public
    License, version 3 (GPL-3.0.txt), with the GCC Runtime Library Exception
    (both in GCC-runtime-copyright.txt), from Debian's package
    $gcc.

libwinpthread-1.dll, and the MinGW-w64 runtime code in every program
    MinGW-w64's runtime and winpthreads, under the licences listed in
    MinGW-w64-runtime-copyright.txt, from Debian's package
    $winpthreads.

Your rights under the LGPL: you may replace Qt's DLLs and plugins and
libusb-1.0.dll in this folder with your own builds of these libraries,
changed or not, of the same or a compatible version; Sonvale loads them from
its own folder. Their sources are the Debian source packages named above,
from any Debian mirror ("apt-get source qt6-base libusb-1.0" on Debian 12).
Sonvale's script scripts/windows.sh, in its source, fetches exactly these
packages and rebuilds both libraries for Windows with the options it names,
then builds this release with them.
TEXT
}

# Every program and DLL of the release needs the notices that
# packaging/windows/notices.txt names for it, and every Qt DLL or plugin
# those of the components its build compiled in. A file without a line there
# stops the release: a new DLL cannot ship without its notices.
check_notices() {
    local table=$top/packaging/windows/notices.txt file shipped notices notice ids
    while IFS= read -r file; do
        shipped=${file#"$stage"/}
        notices=$(awk -v f="$shipped" '$1 == f { $1 = ""; print }' "$table")
        [ -n "$notices" ] || fail "$shipped has no line in packaging/windows/notices.txt: which notices does it need?"
        ids=$(awk -v f="$shipped" '$1 == f { $1 = ""; print }' "$cache/qt/notices/manifest.txt")
        for notice in $notices; do
            [ -f "$stage/licenses/$notice" ] || fail "$shipped needs licenses/$notice, which is missing"
        done
        for notice in $ids; do
            [ -f "$stage/licenses/Qt-3rdparty-$notice.txt" ] ||
                fail "$shipped needs licenses/Qt-3rdparty-$notice.txt, which is missing"
        done
    done < <(find "$stage" -name '*.exe' -o -name '*.dll' | sort)
    echo "   every program and DLL has its notices in licenses/ ($(ls "$stage/licenses" | wc -l) files)"
    local dll named
    for dll in Qt6Core.dll:Qt libusb-1.0.dll:libusb; do
        named="${dll#*:} $(dll_version "$stage/${dll%%:*}")"
        grep -qF -e "$named," -e "$named " "$stage/licenses/README.txt" || fail "licenses/README.txt does not name $named"
        echo "   licenses/README.txt names $named, the version ${dll%%:*} reports"
    done
}

# The file version (major.minor.patch) in a DLL's version resource.
dll_version() {
    /usr/bin/python3 - "$1" <<'PYTHON'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))    # VS_FIXEDFILEINFO's signature
high, low = struct.unpack_from("<II", data, at + 8)
print(f"{high >> 16}.{high & 0xFFFF}.{low >> 16}")
PYTHON
}

# --- the release's checks ----------------------------------------------------

fail() {
    echo "release check failed: $*" >&2
    exit 1
}

# The executables' subsystems, resources and imports: every DLL an exe or
# DLL of the folder imports is in the folder or is part of Windows (wine's
# prefix has a stand-in for each of those).
check_files() {
    local system32=$1 f subsystem dll headers resources
    resources=$(wrestool -l "$dist/Sonvale-$version-setup-x64.exe")
    grep -q -- '--type=14' <<<"$resources" || fail "the installer has no icon"
    grep -q -- '--type=16' <<<"$resources" || fail "the installer has no version resource"
    for f in "$stage"/*.exe; do
        case $(basename "$f") in
        sonvale.exe) subsystem="Windows GUI" ;;
        *) subsystem="Windows CUI" ;;
        esac
        headers=$("$objdump" -p "$f")
        resources=$(wrestool -l "$f")
        grep -q "^Subsystem.*($subsystem)" <<<"$headers" || fail "$(basename "$f") is not a $subsystem program"
        grep -q -- "--type=14 --name='IDI_ICON1'" <<<"$resources" || fail "$(basename "$f") has no icon"
        grep -q -- '--type=16' <<<"$resources" || fail "$(basename "$f") has no version resource"
    done
    while IFS= read -r f; do
        for dll in $("$objdump" -p "$f" | sed -n 's/^\s*DLL Name: //p'); do
            [ -n "$(find "$stage" -maxdepth 1 -iname "$dll")" ] && continue
            [ -n "$(find "$system32" -maxdepth 1 -iname "$dll")" ] && continue
            case ${dll,,} in api-ms-win-*) continue ;; esac
            fail "$(basename "$f") imports $dll, which is neither in the folder nor part of Windows"
        done
    done < <(find "$stage" -name '*.exe' -o -name '*.dll')
    echo "   subsystems, icons, version resources and imports are right"
}

# A 64-bit Windows program (PE32+): wine64 runs it where 32-bit programs
# cannot run at all.
pe32plus() {
    "$objdump" -f "$1" | grep -q 'file format pei-x86-64'
}

# The data of a registry value in the check's wine prefix (NAME '' is the
# key's default value); fails when there is none.
registry_value() {
    local key=$1 name=$2 out
    if [ -n "$name" ]; then
        out=$(timeout 60 "${check_env[@]}" "$wine64" reg query "$key" /v "$name" </dev/null 2>/dev/null) || return 1
    else
        out=$(timeout 60 "${check_env[@]}" "$wine64" reg query "$key" /ve </dev/null 2>/dev/null) || return 1
    fi
    tr -d '\r' <<<"$out" | sed -n 's/^    [^ ].*    REG_[A-Z_]*    //p' | head -n 1
}

xvfb_pid=""
check_env=()
end_check() {
    if [ ${#check_env[@]} -gt 0 ]; then
        "${check_env[@]}" "$wineserver" -k 2>/dev/null || true
    fi
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
    fi
}

check_release() {
    phase "Checking the release under a fresh wine prefix, empty environment"
    local work=$dist/check
    rm -rf "$work" && mkdir -p "$work/home"
    local prefix=$work/prefix
    # Only what wine itself needs: nothing for the programs.
    local env=(env -i HOME="$work/home" WINEPREFIX="$prefix" WINEDEBUG=-all
               WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml=")

    local display
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    display=:$(cat "$work/display")
    check_env=("${env[@]}")
    trap end_check EXIT
    env+=(DISPLAY="$display")

    timeout 300 "${env[@]}" "$wine64" wineboot --init </dev/null >/dev/null 2>&1
    timeout 120 "${env[@]}" "$wineserver" -w
    check_files "$prefix/drive_c/windows/system32"

    # The zip, unpacked into a folder with a space and a non-ASCII name.
    local folder="$work/Unpacked Ω"
    mkdir -p "$folder" && (cd "$folder" && unzip -q "$dist/Sonvale-$version-win64.zip")
    local unpacked
    unpacked="Z:$(echo "$folder/Sonvale-$version-win64" | tr / '\\')"

    # The window on the X display; Connect&Read with no DAC.
    # wine's log of the DLLs loaded shows where the plugins come from.
    timeout 120 "${env[@]}" WINEDEBUG=+loaddll "$wine64" "$unpacked\\sonvale.exe" \
        >"$work/sonvale.out" 2>"$work/sonvale.dlls" &
    disown   # ended with the wine session below
    local window=""
    for _ in $(seq 120); do
        window=$(DISPLAY=$display xdotool search --name '^Sonvale_Control' 2>/dev/null | head -n 1) || true
        [ -n "$window" ] && break
        sleep 0.5
    done
    [ -n "$window" ] || fail "sonvale.exe from the zip showed no window ($(cat "$work/sonvale.out"))"
    echo "   the zip's sonvale.exe shows its window: $(DISPLAY=$display xdotool getwindowname "$window")"
    local plugin dll
    for plugin in platforms styles; do
        [ $plugin = platforms ] && dll=qwindows.dll || dll=qwindowsvistastyle.dll
        # The log doubles each backslash.
        grep -qF "Sonvale-$version-win64\\\\$plugin\\\\$dll\" at" "$work/sonvale.dlls" ||
            fail "sonvale.exe did not load $plugin\\$dll from its folder"
    done
    echo "   with the windows platform and the Windows style from its folder"
    # The button lies at 20..141, 10..51 in the window's client area, under
    # the menu bar; wine draws the frame itself when no window manager runs.
    local y
    for y in 60 70 80 90 100; do
        DISPLAY=$display xdotool mousemove --window "$window" 80 "$y" click 1
        sleep 1.5
        grep -q "is not connected" "$work/sonvale.out" && break
    done
    local said
    said=$(tr -d '\r' <"$work/sonvale.out")
    grep -qx "Device (vid=2fc6 pid=6013) is not connected." <<<"$said" || fail "Connect&Read said: $said"
    DISPLAY=$display xdotool search --name '^Warning$' >/dev/null ||
        fail "no \"Warning\" box after Connect&Read with no DAC"
    echo "   Connect&Read with no DAC: $said, and the \"Warning\" box"
    timeout 60 "${env[@]}" "$wineserver" -k || true
    sleep 1

    # The preset tool with a name outside the ANSI code page (1252 here).
    # wine turns its own Unix command line into the program's UTF-16 one
    # with the Unix locale's character set: that one must be UTF-8.
    local preset="$unpacked\\プリセット-Ω.sonvale" out
    timeout 60 "${env[@]}" LC_ALL=C.UTF-8 "$wine64" "$unpacked\\sonvale-preset.exe" new "$preset" "volume[0]=40" \
        </dev/null || fail "sonvale-preset.exe new $preset"
    [ -f "$folder/Sonvale-$version-win64/プリセット-Ω.sonvale" ] || fail "the preset went elsewhere"
    out=$(timeout 60 "${env[@]}" LC_ALL=C.UTF-8 "$wine64" "$unpacked\\sonvale-preset.exe" check "$preset" </dev/null |
          tr -d '\r')
    [ "$out" = ok ] || fail "sonvale-preset.exe check: $out"
    echo "   the zip's sonvale-preset.exe makes and checks プリセット-Ω.sonvale"
    # sonvalectl.exe reads the same file (a valid preset), then finds no DAC.
    out=$(timeout 60 "${env[@]}" LC_ALL=C.UTF-8 "$wine64" "$unpacked\\sonvalectl.exe" load "$preset" \
          </dev/null 2>&1 | tr -d '\r' || true)
    [ "$out" = "sonvalectl: no DAC 2fc6:6013 is connected" ] || fail "sonvalectl.exe load: $out"
    echo "   the zip's sonvalectl.exe reads it and says: $out"

    # The installer, silently, then the installed tool, then the uninstaller;
    # once with wine's own PATH, which holds other entries, and once with a
    # PATH too long for the installer to edit safely.
    local setup=$dist/Sonvale-$version-setup-x64.exe
    local installed="$prefix/drive_c/Program Files/Sonvale"
    local entry="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Sonvale.lnk"
    local environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
    local classes='HKLM\Software\Classes'
    pe32plus "$setup" || fail "the installer is not a 64-bit program: $("$objdump" -f "$setup" | grep format)"
    local path_before long_path
    path_before=$(registry_value "$environment" PATH)
    [ -n "$path_before" ] || fail "wine's prefix has no PATH to keep"
    long_path=$(printf 'C:\\Tools\\%04d;' $(seq 200) | head -c 2000)

    local round
    for round in "other entries" "2,000 characters"; do
        if [ "$round" = "2,000 characters" ]; then
            timeout 60 "${env[@]}" "$wine64" reg add "$environment" /v PATH /t REG_EXPAND_SZ /d "$long_path" /f \
                </dev/null >/dev/null 2>&1 || fail "could not set a long PATH"
            path_before=$(registry_value "$environment" PATH)
            [ "$path_before" = "$long_path" ] || fail "the long PATH did not stick"
        fi
        timeout 300 "${env[@]}" "$wine64" "$setup" /S </dev/null >/dev/null 2>&1 || fail "the installer failed"
        timeout 120 "${env[@]}" "$wineserver" -w
        [ -f "$installed/sonvale.exe" ] || fail "nothing installed in Program Files"
        [ -f "$entry" ] || fail "no Start-menu entry"
        diff -r "$stage/licenses" "$installed/licenses" >/dev/null || fail "the licences were not installed as released"
        [ "$(registry_value "$classes\\.sonvale" '')" = Sonvale.Preset ] &&
            [ "$(registry_value "$classes\\Sonvale.Preset" '')" = "Sonvale preset" ] &&
            [ "$(registry_value "$classes\\Sonvale.Preset\\DefaultIcon" '')" = 'C:\Program Files\Sonvale\sonvale.exe,0' ] ||
            fail ".sonvale is not registered as \"Sonvale preset\" with the program's icon"
        local path_installed
        path_installed=$(registry_value "$environment" PATH)
        if [ "$round" = "other entries" ]; then
            [ "$path_installed" = "$path_before;C:\\Program Files\\Sonvale" ] ||
                fail "the PATH after installing is '$path_installed'"
            out=$(timeout 60 "${env[@]}" "$wine64" 'C:\Program Files\Sonvale\sonvale-preset.exe' --version </dev/null |
                  tr -d '\r' | head -n 1)
            [ "$out" = "sonvale-preset $version" ] || fail "installed sonvale-preset.exe --version said: $out"
            echo "   installed silently; the installed sonvale-preset.exe --version says: $out"
            pe32plus "$installed/uninstall.exe" || fail "the uninstaller is not a 64-bit program"
            echo "   the installer and the uninstaller are 64-bit programs (PE32+), run by wine64"
        else
            [ "$path_installed" = "$path_before" ] || fail "the installer changed a PATH it cannot hold whole"
        fi
        timeout 300 "${env[@]}" "$wine64" 'C:\Program Files\Sonvale\uninstall.exe' /S </dev/null >/dev/null 2>&1 ||
            fail "the uninstaller failed"
        timeout 120 "${env[@]}" "$wineserver" -w
        [ ! -e "$installed" ] || fail "left behind: $(cd "$installed" && find . | head)"
        [ ! -e "$entry" ] || fail "the Start-menu entry is left behind"
        ! registry_value "$classes\\.sonvale" '' >/dev/null && ! registry_value "$classes\\Sonvale.Preset" '' >/dev/null ||
            fail "the uninstaller left the .sonvale file type registered"
        [ "$(registry_value "$environment" PATH)" = "$path_before" ] || fail "the PATH after uninstalling is not what it was"
        echo "   a PATH of $round: the installer registers .sonvale and the licences with the program," \
             "$([ "$round" = "other entries" ] && echo "adds its folder to the PATH" || echo "leaves the PATH as it is");" \
             "the uninstaller takes them all away and the PATH is byte for byte what it was"
    done

    trap - EXIT
    end_check
    rm -rf "$work"
    phase_done
}

started=$SECONDS
install_packages
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
build_libusb
build_qt
flock -u 9
[ "$step" = deps ] && exit 0

configure_and_build
[ "$step" = build ] && exit 0

if [ "$step" != release ]; then
    run_tests
    [ "$step" = test ] && exit 0
fi

make_release
check_release
echo "== Windows leg done in $((SECONDS - started)) s"
