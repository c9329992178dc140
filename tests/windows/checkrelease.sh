# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# The checks of the Windows release: its notices, while it is being made
# (check_notices), then the finished zip and installer under a fresh wine
# prefix with an empty environment (check_release). Sourced by
# scripts/windows.sh, after scripts/windows/release.sh.

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
    check_audio_libraries
}

# PortAudio, KissFFT and QCustomPlot ship only when a program imports them
# (check_files finds any that is imported but missing), and then
# licenses/README.txt names their versions and source packages.
check_audio_libraries() {
    local dll named source found="" wanted
    wanted=$(imports "$stage"/*.exe)
    for dll in libportaudio-2.dll libkissfft-float.dll libkissfft-double.dll libQCustomPlotQt6.dll; do
        [ -f "$stage/$dll" ] || continue
        found+=" $dll"
        grep -qxF "${dll,,}" <<<"$wanted" || fail "the release ships $dll, which no program imports"
        case $dll in
        libportaudio-2.dll)
            # The version PortAudio reports, from the DLL itself.
            named="PortAudio $(grep -aoE 'PortAudio V[0-9]+\.[0-9]+\.[0-9]+' "$stage/$dll" | sed -n '1s/.* V//p')"
            source=$(cat "$cache/portaudio/notices/source.txt") ;;
        libQCustomPlotQt6.dll)
            # The version its header declares.
            named="QCustomPlot $(sed -n 's/^#define QCUSTOMPLOT_VERSION_STR "\(.*\)"/\1/p' "$cache/qcustomplot/include/qcustomplot.h")"
            source=$(cat "$cache/qcustomplot/notices/source.txt") ;;
        *)
            named="KissFFT $(sed -n 's/^Version: //p' "$cache/kissfft/lib/pkgconfig/kissfft-float.pc")"
            source=$(cat "$cache/kissfft/notices/source.txt") ;;
        esac
        grep -q "^$dll\(,\|$\)\|, $dll$" "$stage/licenses/README.txt" || fail "licenses/README.txt does not name $dll"
        grep -qF "$named, " "$stage/licenses/README.txt" || fail "licenses/README.txt does not name $named"
        grep -qF "$source, " "$stage/licenses/README.txt" || fail "licenses/README.txt does not name $source"
        echo "   $dll ships, a program imports it; licenses/README.txt names $named"
    done
    [ -n "$found" ] || echo "   no program imports PortAudio, KissFFT or QCustomPlot: none ships"
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
        sonvale.exe | sonvale-thd.exe) subsystem="Windows GUI" ;;
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

# Whether a shell link names the program $2 (a Windows path in it holds the
# name, in the ANSI code page or in UTF-16).
links_to() {
    /usr/bin/python3 - "$1" "$2" <<'PYTHON'
import sys
data = open(sys.argv[1], "rb").read().lower()
name = sys.argv[2].lower()
sys.exit(0 if name.encode("ascii") in data or name.encode("utf-16-le") in data else 1)
PYTHON
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

# An X window's name, or nothing when it is gone.
window_name() {
    DISPLAY=$display xdotool getwindowname "$1" 2>/dev/null || true
}

# Keys typed into a window of wine's: wine takes X's input focus as the
# window's focus, and the keys through the XTEST extension as typed.
type_into() {
    local window=$1 keys=$2
    DISPLAY=$display xdotool windowfocus "$window" 2>/dev/null || return 0
    sleep 0.3
    DISPLAY=$display xdotool key --clearmodifiers "$keys" 2>/dev/null || true
}

# The THD assistant of the release runs one measurement: sonvale-thd-sim.exe
# of the test build (the same program on the simulated DAC and analog path)
# in the unpacked release folder, on its DLLs alone. It asks before the
# first measurement that the DAC's output be connected to the interface's
# input (Enter answers it), Alt+M presses "Measure", and the measurement's
# line ("measured: ...") must reach its standard output within 120 s.
check_thd_measurement() {
    local dir=$1 windir=$2 work=$3
    if [ ! -f "$stage/sonvale-thd.exe" ]; then
        echo "   not checked: the THD assistant, which this tree does not build"
        return 0
    fi
    [ -f "$build/sonvale-thd-sim.exe" ] || fail "the test build has no sonvale-thd-sim.exe"
    cp "$build/sonvale-thd-sim.exe" "$dir/"
    local dll
    for dll in $(imports "$dir/sonvale-thd-sim.exe"); do
        [ -n "$(find "$dir" "$prefix/drive_c/windows/system32" -maxdepth 1 -iname "$dll")" ] && continue
        case $dll in api-ms-win-*) continue ;; esac
        fail "sonvale-thd-sim.exe imports $dll, which the release does not ship"
    done
    timeout 200 "${env[@]}" "$wine64" "$windir\\sonvale-thd-sim.exe" >"$work/thd.out" 2>"$work/thd.err" </dev/null &
    disown   # ended with the wine session below
    local window="" started=$SECONDS
    while [ $((SECONDS - started)) -lt 60 ]; do
        window=$(DISPLAY=$display xdotool search --onlyvisible --name '^Sonvale THD assistant' 2>/dev/null | head -n 1) || true
        [ -n "$window" ] && break
        sleep 0.5
    done
    [ -n "$window" ] || fail "sonvale-thd-sim.exe showed no window: $(tr -d '\r' <"$work/thd.out" "$work/thd.err" | tail -n 5)"
    sleep 2   # the first paint and the device lists
    # Any other window that shows up is the question before the first
    # measurement, answered once each with Enter; Measure is pressed again
    # only when nothing at all has happened for a while.
    local answered=" " other pressed=0 measured=""
    started=$SECONDS
    while [ $((SECONDS - started)) -lt 120 ]; do
        measured=$(tr -d '\r' <"$work/thd.out" | grep -m1 '^measured: ') || true
        [ -n "$measured" ] && break
        for other in $(DISPLAY=$display xdotool search --onlyvisible --name '.' 2>/dev/null); do
            [ "$other" = "$window" ] && continue
            [[ $answered == *" $other "* ]] && continue
            [ -n "$(window_name "$other")" ] || continue
            echo "   the question \"$(window_name "$other")\" answered with Enter"
            type_into "$other" Return
            answered+="$other "
        done
        if [ $pressed -eq 0 ] || { [ "$answered" = " " ] && [ $((SECONDS - pressed)) -ge 20 ]; }; then
            type_into "$window" alt+m
            pressed=$SECONDS
        fi
        sleep 1
    done
    [ -n "$measured" ] ||
        fail "sonvale-thd-sim.exe printed no \"measured: \" line within 120 s: $(tr -d '\r' <"$work/thd.out" | tail -n 5)"
    echo "   the release's DLLs run sonvale-thd-sim.exe: Alt+M measured, it said: $measured"
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

    check_thd_measurement "$folder/Sonvale-$version-win64" "$unpacked" "$work"
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
    local thd_entry="${entry%/*}/Sonvale THD assistant.lnk"
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
        if [ -f "$stage/sonvale-thd.exe" ]; then
            [ -f "$thd_entry" ] || fail "no Start-menu entry \"Sonvale THD assistant\""
            links_to "$thd_entry" sonvale-thd.exe || fail "the entry \"Sonvale THD assistant\" does not start sonvale-thd.exe"
        else
            [ ! -e "$thd_entry" ] || fail "a Start-menu entry for a THD assistant the release does not hold"
        fi
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
        [ ! -e "$thd_entry" ] || fail "the THD assistant's Start-menu entry is left behind"
        ! registry_value "$classes\\.sonvale" '' >/dev/null && ! registry_value "$classes\\Sonvale.Preset" '' >/dev/null ||
            fail "the uninstaller left the .sonvale file type registered"
        [ "$(registry_value "$environment" PATH)" = "$path_before" ] || fail "the PATH after uninstalling is not what it was"
        [ "$round" = "other entries" ] && [ -f "$stage/sonvale-thd.exe" ] &&
            echo "   the installer adds the Start-menu entry \"Sonvale THD assistant\" for sonvale-thd.exe;" \
                 "the uninstaller takes it away"
        echo "   a PATH of $round: the installer registers .sonvale and the licences with the program," \
             "$([ "$round" = "other entries" ] && echo "adds its folder to the PATH" || echo "leaves the PATH as it is");" \
             "the uninstaller takes them all away and the PATH is byte for byte what it was"
    done

    trap - EXIT
    end_check
    rm -rf "$work"
    phase_done
}

