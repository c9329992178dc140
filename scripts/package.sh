#!/usr/bin/env bash
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package in build/ (or the directory given) and checks it:
# the files it holds, its maintainer script, dependencies and recommends, the
# desktop entries of the window and of the THD assistant, their AppStream
# metadata and icons, the preset file type as installed, lintian, the THD
# assistant's libraries, and the tools unpacked into a scratch folder (that
# they run, and that they need no Qt Widgets or Gui). Exits non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}

scripts/build.sh "$dir" >/dev/null
if ! cmake --build "$dir" --target package >"$dir/package.log" 2>&1; then
    cat "$dir/package.log" >&2
    echo "FAIL: cmake --build $dir --target package" >&2
    exit 1
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb=$dir/sonvale_${version}_${arch}.deb
app_id=io.github.sonvale.Sonvale
thd_app_id=$app_id.Thd
# Warnings lintian may report on purpose (README, "Installing on Debian and
# Ubuntu", says why each is there). None today.
allowed_warnings=()

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*" >&2; }

[ -f "$deb" ] || { echo "FAIL: $deb was not made" >&2; exit 1; }

tools=(sonvale-preset sonvalectl)

expected=(
    usr/bin/sonvale
    usr/share/sonvale/presets/default.sonvale
    usr/share/sonvale/presets/filter-shapes.sonvale
    usr/lib/udev/rules.d/70-sonvale.rules
    "usr/share/applications/$app_id.desktop"
    "usr/share/metainfo/$app_id.metainfo.xml"
    "usr/share/mime/packages/$app_id.xml"
    usr/share/icons/hicolor/scalable/apps/sonvale.svg
    usr/share/man/man1/sonvale.1.gz
    usr/share/doc/sonvale/copyright
    usr/share/doc/sonvale/changelog.gz
    usr/bin/sonvale-thd
    "usr/share/applications/$thd_app_id.desktop"
    "usr/share/metainfo/$thd_app_id.metainfo.xml"
    "usr/share/icons/hicolor/scalable/apps/$thd_app_id.svg"
    usr/share/man/man1/sonvale-thd.1.gz
)
for size in 16 22 24 32 48 64 128 256; do
    expected+=("usr/share/icons/hicolor/${size}x${size}/apps/sonvale.png"
               "usr/share/icons/hicolor/${size}x${size}/apps/$thd_app_id.png")
done
for tool in "${tools[@]}"; do
    expected+=("usr/bin/$tool" "usr/share/man/man1/$tool.1.gz")
done

contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./||')
for path in "${expected[@]}"; do
    if grep -qxF "$path" <<<"$contents"; then pass; else fail "$deb lacks $path"; fi
done

control=$(mktemp -d)
scratch=$(mktemp -d)
trap 'rm -rf "$control" "$scratch"' EXIT
dpkg-deb -e "$deb" "$control"
dpkg-deb -x "$deb" "$scratch"

if [ -x "$control/postinst" ] && grep -q 'udevadm trigger' "$control/postinst"; then pass
else fail "no executable postinst that re-triggers the DAC"; fi
if sh -n "$control/postinst"; then pass; else fail "postinst is not a valid shell script"; fi
depends=$(dpkg-deb -f "$deb" Depends)
if grep -q 'libusb-1.0-0' <<<"$depends" && grep -q 'libqt6widgets6' <<<"$depends"; then pass
else fail "Depends lacks libusb or Qt: $depends"; fi
# The THD assistant's plot and audio, through the shared libraries' own
# dependency information.
if grep -q "libqcustomplot2.1-qt6" <<<"$depends" && grep -q 'libportaudio2' <<<"$depends"; then pass
else fail "Depends lacks QCustomPlot or PortAudio: $depends"; fi
recommends=$(dpkg-deb -f "$deb" Recommends)
if grep -qw 'qt6-wayland' <<<"$recommends"; then pass
else fail "Recommends lacks qt6-wayland (the window on Wayland): '$recommends'"; fi

# Each desktop entry valid, starting a program the package holds with an
# icon it holds, and its AppStream metadata valid and launching that entry.
for id in "$app_id" "$thd_app_id"; do
    entry=$scratch/usr/share/applications/$id.desktop
    if desktop-file-validate "$entry"; then pass
    else fail "desktop-file-validate $id.desktop"; fi
    exec_line=$(sed -n 's/^Exec=//p' "$entry")
    icon=$(sed -n 's/^Icon=//p' "$entry")
    if [ -x "$scratch/usr/bin/${exec_line%% *}" ]; then pass
    else fail "$id.desktop starts '$exec_line', which the package does not hold"; fi
    if [ -n "$icon" ] && [ -f "$scratch/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] &&
            [ -f "$scratch/usr/share/icons/hicolor/48x48/apps/$icon.png" ]; then pass
    else fail "$id.desktop shows the icon '$icon', which the package does not hold"; fi
    metainfo=$scratch/usr/share/metainfo/$id.metainfo.xml
    if appstreamcli validate --no-net "$metainfo" >/dev/null; then pass
    else
        appstreamcli validate --no-net "$metainfo" >&2 || true
        fail "appstreamcli validate $id.metainfo.xml"
    fi
    if grep -qF "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" &&
            grep -qF "<binary>${exec_line%% *}</binary>" "$metainfo"; then pass
    else fail "$id.metainfo.xml does not launch $id.desktop and provide ${exec_line%% *}"; fi
done
if grep -qx 'Name=Sonvale THD assistant' "$scratch/usr/share/applications/$thd_app_id.desktop"; then pass
else fail "$thd_app_id.desktop is not named \"Sonvale THD assistant\""; fi

# The preset type as shared-mime-info takes it: a database made from the
# package's file alone names *.sonvale and the icon, which the package holds,
# and the AppStream metadata declares the same type.
preset_type=application/x-sonvale-preset
mime=$scratch/usr/share/mime
if mime_log=$(update-mime-database "$mime" 2>&1) \
        && grep -qxF "50:$preset_type:*.sonvale" "$mime/globs2" \
        && grep -qxF "$preset_type:sonvale" "$mime/icons" \
        && [ -f "$scratch/usr/share/icons/hicolor/scalable/apps/sonvale.svg" ]; then pass
else
    echo "$mime_log" >&2
    fail "shared-mime-info does not take *.sonvale as $preset_type with the icon sonvale"
fi
metainfo=$scratch/usr/share/metainfo/$app_id.metainfo.xml
if grep -qF "<mediatype>$preset_type</mediatype>" "$metainfo"; then pass
else fail "the AppStream metadata does not declare $preset_type"; fi

# lintian looks for udev rules in /lib/udev/rules.d only, so its checks that
# the rule uses uaccess and that AppStream announces the device are made here.
rule=$scratch/usr/lib/udev/rules.d/70-sonvale.rules
vendor=$(sed -n 's/.*ATTRS{idVendor}=="\([0-9a-f]\{4\}\)".*/\1/p' "$rule")
product=$(sed -n 's/.*ATTRS{idProduct}=="\([0-9a-f]\{4\}\)".*/\1/p' "$rule")
modalias="usb:v${vendor^^}p${product^^}d*"
if [ -n "$vendor" ] && [ -n "$product" ] && grep -q 'TAG+="uaccess"' "$rule"; then pass
else fail "the udev rule does not give the DAC to the logged-in user"; fi
if grep -qF "<modalias>$modalias</modalias>" "$scratch/usr/share/metainfo/$app_id.metainfo.xml"; then pass
else fail "the AppStream metadata does not provide $modalias"; fi

lintian_options=(--tag-display-limit 0)
[ "$(id -u)" -eq 0 ] && lintian_options+=(--allow-root)
lintian_report=$(lintian "${lintian_options[@]}" "$deb" 2>&1 || true)
unexpected=$(grep -E '^[EW]: ' <<<"$lintian_report" || true)
for tag in "${allowed_warnings[@]}"; do
    unexpected=$(grep -v "^W: sonvale: $tag\b" <<<"$unexpected" || true)
done
if [ -z "$unexpected" ]; then pass; else fail "lintian: $unexpected"; fi

# The THD assistant stands on QCustomPlot for its plot, PortAudio for the
# sound and the real libusb for the DAC (not the simulated one).
if ! needed=$(objdump -p "$scratch/usr/bin/sonvale-thd" | awk '$1 == "NEEDED" { print $2 }'); then
    fail "objdump cannot read sonvale-thd"
else
    for lib in libQCustomPlotQt6.so.2.1 libQt6Widgets.so.6 libportaudio.so.2 libusb-1.0.so.0; do
        if grep -qxF "$lib" <<<"$needed"; then pass
        else fail "sonvale-thd does not need $lib: $(tr '\n' ' ' <<<"$needed")"; fi
    done
fi

for tool in "${tools[@]}"; do
    out=$(timeout 20 "$scratch/usr/bin/$tool" --version 2>&1 || true)
    if [ "$(head -n 1 <<<"$out")" = "$tool $version" ] && grep -qx 'License GPLv3+: .*' <<<"$out"; then pass
    else fail "unpacked $tool --version printed '$out', not '$tool $version' and the licence"; fi
done

# The tools stand on the layers below the window: none of them may need Qt's
# widgets or its GUI module (sonvalectl-sim, which the tests run, neither).
for binary in "$scratch/usr/bin/sonvalectl" "$scratch/usr/bin/sonvale-preset" "$dir/sonvalectl-sim"; do
    if ! needed=$(objdump -p "$binary" | awk '$1 == "NEEDED" { print $2 }'); then
        fail "objdump cannot read $binary"
    elif grep -qE '^libQt6(Widgets|Gui)\.' <<<"$needed"; then
        fail "$(basename "$binary") needs Qt Widgets or Gui: $(tr '\n' ' ' <<<"$needed")"
    else pass; fi
done

echo "package: $deb: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
