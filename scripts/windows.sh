#!/usr/bin/env bash
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# Windows x86-64 from Debian: installs what is missing (Debian packages only),
# builds the third-party libraries for Windows once into a cache outside the
# tree (scripts/windows/thirdparty.sh), cross-builds Sonvale into
# build-win64/, runs its tests under wine64, and makes the release in
# build-win64/dist/ (scripts/windows/release.sh) and checks it
# (tests/windows/checkrelease.sh).
#
#   scripts/windows.sh [STEP]
#     deps      packages and the third-party builds only
#     build     ... and the cross build
#     test      ... and the tests under wine
#     release   the cross build, then the release with its checks, no tests
#     all       the cross build, its tests, the release and its checks (the default)
#
# The cache: ${SONVALE_WIN64_CACHE:-$HOME/.cache/sonvale/win64}. Qt takes
# some 23 minutes on two cores the first time, libusb, PortAudio and KissFFT
# about one together, QCustomPlot (the THD assistant's plot) a minute and a
# half; later runs reuse them.
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

# The sound server is the wine audio test's (tests/windows/wineaudio.sh):
# wine's PulseAudio driver (libpulse0 comes with wine) plays into its null
# sink.
packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
    wine64 wine xvfb xdotool fonts-dejavu-core
    pipewire pipewire-bin wireplumber pipewire-pulse pulseaudio-utils dbus
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

. "$top/scripts/windows/thirdparty.sh"
. "$top/scripts/windows/release.sh"
. "$top/tests/windows/checkrelease.sh"

# The MinGW runtime DLLs, where the compiler has them.
runtime_dll() {
    x86_64-w64-mingw32-g++-posix -print-file-name="$1"
}

# pkg-config finds the Windows builds of libusb, PortAudio and KissFFT only,
# CMake QCustomPlot's package; their prefixes join the find-root paths,
# which otherwise hide them, and their DLL folders the tests' WINEPATH.
libraries=("$cache/libusb" "$cache/portaudio" "$cache/kissfft" "$cache/qcustomplot")
pkg_config_libdir=$(printf '%s/lib/pkgconfig:' "${libraries[@]}")
pkg_config_libdir=${pkg_config_libdir%:}

configure_and_build() {
    phase "Cross-building Sonvale into build-win64/"
    local dlls
    dlls=$(printf '%s/bin;' "${libraries[@]}")
    dlls=${dlls%;}
    # A build folder configured with other libraries in the cache (before
    # PortAudio, KissFFT or QCustomPlot were there) is configured again.
    if [ ! -f "$build/build.ninja" ] || ! grep -qxF "SONVALE_WINE_DLL_DIRS:STRING=$dlls" "$build/CMakeCache.txt"; then
        local roots
        roots=$(IFS=';'; echo "${libraries[*]}")
        PKG_CONFIG_LIBDIR=$pkg_config_libdir cmake -S . -B "$build" -G Ninja \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$cache/qt/lib/cmake/Qt6/qt.toolchain.cmake" \
            -DQT_CHAINLOAD_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
            -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
            -DCMAKE_FIND_ROOT_PATH="$roots" -DSONVALE_WINE_DLL_DIRS="$dlls" >/dev/null
    fi
    PKG_CONFIG_LIBDIR=$pkg_config_libdir cmake --build "$build"
    phase_done
}

run_tests() {
    phase "Testing under wine64 (ctest -j2)"
    local status=0
    # wine itself is not deterministic: its thread pool and its PulseAudio
    # driver fail now and then on a loaded machine (a crash at a program's
    # exit, a stream that stalls for the life of a sound server). A test
    # that fails runs once more, in a fresh process, prefix and sound
    # server; its first failure stays in the log above the second run.
    timeout 1800 ctest --test-dir "$build" --output-on-failure -j2 --repeat until-pass:2 || status=$?
    "$build/wine.sh" --stop
    [ $status -eq 0 ] || exit $status
    phase_done
}

started=$SECONDS
install_packages
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
build_libusb
build_portaudio
build_kissfft
build_qt
build_qcustomplot
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
