# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows release: a folder with the programs, the DLLs they need and
# their licences, as a zip and as an installer, in build-win64/dist/.
# Sourced by scripts/windows.sh (top, cache, build, strip, objdump, phase,
# runtime_dll); check_notices comes from tests/windows/checkrelease.sh.

version=""
dist=$build/dist
stage=""

# The DLLs a program of the folder imports (lower case).
imports() {
    "$objdump" -p "$@" | sed -n 's/^\s*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort -u
}

# The DLLs shipped only once a program or DLL of the release imports them,
# directly or through another of them: PortAudio and KissFFT for the
# measurement, QCustomPlot for the THD assistant's plot.
ship_when_imported() {
    local dll wanted more=1
    while [ $more -eq 1 ]; do
        more=0
        wanted=$(imports "$stage"/*.exe "$stage"/*.dll)
        for dll in "$cache/portaudio/bin/libportaudio-2.dll" \
                   "$cache/kissfft/bin/libkissfft-float.dll" "$cache/kissfft/bin/libkissfft-double.dll" \
                   "$cache/qcustomplot/bin/libQCustomPlotQt6.dll"; do
            [ -f "$dll" ] && [ ! -f "$stage/$(basename "$dll")" ] || continue
            if grep -qxF "$(basename "${dll,,}")" <<<"$wanted"; then
                cp "$dll" "$stage/"
                more=1
            fi
        done
    done
    return 0
}

# The THD assistant ships wherever the tree builds it: a build that should
# have made it and did not stops the release.
ship_thd_assistant() {
    if ! grep -q '^build sonvale-thd\.exe' "$build/build.ninja"; then
        echo "   this tree has no THD assistant (sonvale-thd): the release holds none"
        return 0
    fi
    [ -f "$build/sonvale-thd.exe" ] || { echo "the cross build made no sonvale-thd.exe" >&2; exit 1; }
    cp "$build/sonvale-thd.exe" "$stage/"
}

make_release() {
    phase "Making the release in build-win64/dist/"
    version=$(sed -n 's/^#define SONVALE_VERSION "\(.*\)"/\1/p' "$build/generated/base/version.h")
    local name=Sonvale-$version-win64
    stage=$dist/$name
    rm -rf "$dist" && mkdir -p "$stage/platforms" "$stage/styles" "$stage/Presets"

    cp "$build"/{sonvale,sonvale-preset,sonvalectl}.exe "$stage/"
    ship_thd_assistant
    cp "$cache"/qt/bin/Qt6{Core,Gui,Widgets}.dll "$stage/"
    cp "$cache/qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
    cp "$cache/qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
    cp "$cache/libusb/bin/libusb-1.0.dll" "$stage/"
    ship_when_imported
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
    local thd=()
    [ -f "$stage/sonvale-thd.exe" ] && thd=(-DTHD_ASSISTANT)
    makensis -V2 "${thd[@]}" -DVERSION="$version" -DLISTS="$lists" -DLICENSE="$lists/license.txt" \
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

# The version a library's pkg-config module in the cache gives.
pc_version() {
    sed -n 's/^Version: //p' "$cache/$1"
}

# The upstream version of a Debian source package named in a cache's
# source.txt ("portaudio19 19.6.0-1.2" gives 19.6.0), without the mark of
# a tarball Debian repacked ("qcustomplot 2.1.0+dfsg1-3.1" gives 2.1.0).
upstream_version() {
    local version
    version=$(cut -d' ' -f2 "$cache/$1/notices/source.txt")
    version=${version#*:}
    version=${version%-*}
    echo "${version%%+dfsg*}"
}

# packaging/windows/README.txt.in with its names filled in, its blocks for
# files the release does not ship left out and its comment lines dropped.
fill_readme() {
    local shipped="" f
    for f in "$stage"/*.dll "$stage"/*.exe; do shipped+=" $(basename "$f")"; done
    local kissfft_dlls
    kissfft_dlls=$(cd "$stage" && ls libkissfft-*.dll 2>/dev/null | sort -r | paste -sd, | sed 's/,/, /g') || true
    awk -v shipped="$shipped " '
        /^#/ && !body { next }
        { body = 1 }
        /^@IF .*@$/ { keep = 0; n = split(substr($0, 5, length($0) - 5), files, " ")
                      for (i = 1; i <= n; i++) if (index(shipped, " " files[i] " ")) keep = 1
                      skipping = !keep; next }
        /^@END@$/ { skipping = 0; next }
        !skipping' "$top/packaging/windows/README.txt.in" |
    sed -e "s|@VERSION@|$version|" \
        -e "s|@QT_VERSION@|$(pc_version qt/lib/pkgconfig/Qt6Core.pc)|" \
        -e "s|@QT_SOURCE@|$(cat "$cache/qt/notices/source.txt")|" \
        -e "s|@LIBUSB_VERSION@|$(pc_version libusb/lib/pkgconfig/libusb-1.0.pc)|" \
        -e "s|@LIBUSB_SOURCE@|$(cat "$cache/libusb/notices/source.txt")|" \
        -e "s|@PORTAUDIO_VERSION@|$(upstream_version portaudio)|" \
        -e "s|@PORTAUDIO_SOURCE@|$(cat "$cache/portaudio/notices/source.txt")|" \
        -e "s|@KISSFFT_DLLS@|$kissfft_dlls|" \
        -e "s|@KISSFFT_VERSION@|$(pc_version kissfft/lib/pkgconfig/kissfft-float.pc)|" \
        -e "s|@KISSFFT_SOURCE@|$(cat "$cache/kissfft/notices/source.txt")|" \
        -e "s|@QCUSTOMPLOT_VERSION@|$(upstream_version qcustomplot)|" \
        -e "s|@QCUSTOMPLOT_SOURCE@|$(cat "$cache/qcustomplot/notices/source.txt")|" \
        -e "s|@GCC_PACKAGE@|$gcc|" -e "s|@WINPTHREADS_PACKAGE@|$winpthreads|"
}

# The licences of everything in the release, taken from the trees and
# packages the files came from: Sonvale's own; Qt's, with the notices of the
# components the Qt build compiled into the DLLs and plugins that ship;
# libusb's; PortAudio's, KissFFT's and QCustomPlot's where they ship
# (PortAudio's with the change made to it for WASAPI, QCustomPlot's with
# Debian's copyright file of its source and the change made to it for
# Windows); the MinGW-w64
# runtime's (Debian's copyright files of the packages that hold its DLLs,
# the GCC Runtime Library Exception among them).
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
    if [ -f "$stage/libportaudio-2.dll" ]; then
        cp "$cache/portaudio/notices/LICENSE.txt" "$dir/portaudio-LICENSE.txt"
        cp "$cache/portaudio/notices/portaudio-wasapi-autoconvert.patch" "$dir/PortAudio-wasapi-autoconvert.patch"
    fi
    if [ -f "$stage/libQCustomPlotQt6.dll" ]; then
        cp "$cache/qcustomplot/notices/GPL.txt" "$dir/QCustomPlot-GPL.txt"
        cp "$cache/qcustomplot/notices/copyright" "$dir/QCustomPlot-copyright.txt"
        cp "$cache/qcustomplot/notices/qcustomplot-no-printsupport.patch" "$dir/QCustomPlot-no-printsupport.patch"
    fi
    if ls "$stage"/libkissfft-*.dll >/dev/null 2>&1; then
        cp "$cache/kissfft/notices/COPYING" "$dir/kissfft-COPYING.txt"
        cp "$cache/kissfft/notices/BSD-3-Clause" "$dir/kissfft-BSD-3-Clause.txt"
    fi
    local gcc winpthreads
    gcc=$(package_of "$(runtime_dll libstdc++-6.dll)")
    winpthreads=$(package_of "$(runtime_dll libwinpthread-1.dll)")
    cp "/usr/share/doc/${gcc%% *}/copyright" "$dir/GCC-runtime-copyright.txt"
    cp "/usr/share/doc/${winpthreads%% *}/copyright" "$dir/MinGW-w64-runtime-copyright.txt"
    cp /usr/share/common-licenses/GPL-3 "$dir/GPL-3.0.txt"
    fill_readme >"$dir/README.txt"
}
