#!/usr/bin/env bash
# Windows x86-64 from Debian: installs what is missing, builds libusb and Qt
# for Windows once into a cache outside the tree, cross-builds Sonvale into
# build-win64/, runs its tests under wine64 and makes the release.
#
#   scripts/windows.sh [deps]     deps: only the third-party part
#
# The cache: ${SONVALE_WIN64_CACHE:-$HOME/.cache/sonvale/win64}.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
cache=${SONVALE_WIN64_CACHE:-$HOME/.cache/sonvale/win64}
jobs=$(nproc)

packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
    wine64 wine xvfb nsis dpkg-dev cmake ninja-build pkg-config perl
    qt6-base-dev qt6-base-dev-tools
)

install_packages() {
    local missing=() p status
    for p in "${packages[@]}"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
        [ "$status" = installed ] || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
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
    (cd "$dest" && apt-get source --download-only "$package" >/dev/null)
}

build_libusb() {
    local prefix=$cache/libusb
    [ -f "$prefix/lib/pkgconfig/libusb-1.0.pc" ] && return 0
    echo "Building libusb 1.0.26 for Windows into $prefix"
    local work=$cache/src/libusb
    rm -rf "$work" && fetch_source libusb-1.0 "$work"
    tar -xf "$work"/libusb-1.0_1.0.26.orig.tar.* -C "$work"
    (cd "$work"/libusb-1.0.26 &&
        ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" \
            CC=x86_64-w64-mingw32-gcc-posix --enable-static --enable-shared >/dev/null &&
        make -j"$jobs" >/dev/null && make install >/dev/null)
    rm -rf "$work"
}

build_qt() {
    local prefix=$cache/qt
    [ -f "$prefix/lib/cmake/Qt6/qt.toolchain.cmake" ] && return 0
    echo "Building Qt 6.4.2 (qtbase) for Windows into $prefix: some 15 to 20 minutes, once"
    local work=$cache/src/qt
    rm -rf "$work" && fetch_source qt6-base "$work"
    tar -xf "$work"/qt6-base_6.4.2*.orig.tar.* -C "$work"
    local srcdir
    srcdir=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'qtbase*' | head -n 1)
    cmake -S "$srcdir" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF \
        -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
        -DFEATURE_jpeg=OFF -DFEATURE_vulkan=OFF -DFEATURE_testlib=ON \
        -DFEATURE_tabletevent=OFF >"$cache/qt-configure.log" 2>&1 ||
        { tail -n 40 "$cache/qt-configure.log"; exit 1; }
    cmake --build "$work/build" --parallel "$jobs" >"$cache/qt-build.log" 2>&1 ||
        { tail -n 60 "$cache/qt-build.log"; exit 1; }
    cmake --install "$work/build" >/dev/null
    rm -rf "$work"
}

install_packages
mkdir -p "$cache"
build_libusb
build_qt
[ "${1:-}" = deps ] && exit 0
