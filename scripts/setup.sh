#!/usr/bin/env bash
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what building and testing Sonvale needs on Debian 12, and nothing
# when everything is already there. Run as root.
set -euo pipefail

packages=(
    cmake ninja-build pkg-config g++ clang libclang-rt-14-dev
    qt6-base-dev libgl-dev libusb-1.0-0-dev
    # the spectra of the THD measurement (src/measure); the THD assistant's
    # spectrum plot (src/thdui)
    libkissfft-dev libqcustomplot-dev libqcustomplot2.1-qt6
    umockdev libumockdev-dev
    librsvg2-bin help2man dpkg-dev file lintian desktop-file-utils appstream reuse
    shared-mime-info
    # the window read through AT-SPI by an accessibility client (tests/ui)
    at-spi2-core python3-pyatspi dbus xvfb xdotool
    # audio through PortAudio; a real sound server with no hardware for the
    # end-to-end test (tests/e2e/soundserver.sh)
    portaudio19-dev pipewire pipewire-bin wireplumber pipewire-pulse pipewire-alsa
    pulseaudio-utils
    # ALSA's "pulse" device, which plays to a sound server's sink chosen by
    # name: the DAC's, where the server holds its card (src/audio/soundserver.h)
    libasound2-plugins
)
# Further packages a caller needs (scripts/windows.sh).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run this as root, or install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
