#!/bin/sh
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows build measuring through a real audio stack: wine's PulseAudio
# driver into the PipeWire null sink of tests/e2e/soundserver.sh, which runs
# this script and whose sink is the default sink and its monitor the default
# source. In a fresh wine prefix of its own (wineboot -i), with wine's audio
# driver set to PulseAudio alone, `sonvalectl.exe measure --output default
# --input default` must succeed with THD below -120 dB on every channel, its
# tone must reach the sink ending in its fade-out, and the program's tone
# test (tst_realaudio.exe) must get the tone back as asked through WASAPI,
# exclusive or shared; both modes are printed. Each of the two steps may take
# three tries: wine's driver still drops out now and then.
#
#   wineaudio.sh WINE64 WINESERVER WINEPATH SONVALECTL TST_REALAUDIO
#
# 77 (skipped), with the reason, when wine's audio cannot start here.
set -u
wine=$1 wineserver=$2 winepath=$3 sonvalectl=$4 tonetest=$5

skip() {
    echo "SKIPPED: $1"
    exit 77
}

[ "${SONVALE_SOUND_SERVER:-}" = loop ] || skip "needs the null sink of tests/e2e/soundserver.sh"
for tool in "$wine" "$wineserver" python3 parecord; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/sonvale-wineaudio.XXXXXX") || exit 1
export WINEPREFIX WINEDEBUG=-all WINEPATH="$winepath"
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
# Qt's own messages to stderr, not to the debugger channel (wine hands
# WINEQT_NAME on as QT_NAME).
export WINEQT_FORCE_STDERR_LOGGING=1
# The server's buffer for wine's PulseAudio driver: with its own, the
# playing stream ran dry for 256 frames at a time, unreported, in half the
# captures of 3 s; with 100 ms, the recording stream stalled for seconds in
# a fresh prefix; with 40 ms, neither happened in 8 tries.
export PULSE_LATENCY_MSEC=40
out=$WINEPREFIX/out
cleanup() {
    "$wineserver" -k 2>/dev/null
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# wine's services outlive the programs that start them: every wine process
# here has its standard streams away from CTest's pipe, and the session's
# server is ended on the way out.
"$wineserver" -p </dev/null >/dev/null 2>&1
timeout 180 "$wine" wineboot -i </dev/null >/dev/null 2>&1 || skip "wineboot -i failed in a fresh prefix"
timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f </dev/null >/dev/null 2>&1 ||
    skip "wine's audio driver cannot be set to PulseAudio"

# Which devices wine offers: none means its PulseAudio driver did not reach
# the server (libpulse0 missing, or no server at XDG_RUNTIME_DIR).
timeout 120 "$wine" "$sonvalectl" audio-devices --json </dev/null >"$out.devices" 2>"$out.err" ||
    skip "sonvalectl.exe audio-devices failed under wine: $(tail -n 1 "$out.err")"
python3 - "$out.devices" <<'EOF' || skip "wine's PulseAudio driver offers no WASAPI device (is libpulse0 installed?)"
import json, sys
devices = json.load(open(sys.argv[1], encoding="utf-8"))["devices"]
sys.exit(0 if any(d["host_api"] == "Windows WASAPI" and d["outputs"] > 0 for d in devices) else 1)
EOF

# The measurement, with the sink's monitor recorded beside it: what reached
# the sink must end in the tone's fade-out, not in a step (WASAPI's stop
# drops what the output still holds).
measure() {
    parecord --latency-msec=100 --device=loop.monitor --file-format=wav --format=float32le \
        --rate=48000 --channels=1 "$out.monitor.wav" </dev/null >/dev/null 2>&1 &
    monitor=$!
    status=0
    timeout 120 "$wine" "$sonvalectl" measure --output default --input default --json \
        </dev/null >"$out.measure" 2>"$out.err" || status=$?
    # What the recorder still holds is lost when it is stopped.
    sleep 2
    kill -INT $monitor
    wait $monitor
    if [ $status -ne 0 ]; then
        echo "sonvalectl.exe measure failed ($status): $(cat "$out.err")"
        return 1
    fi
    python3 - "$out.measure" "$out.monitor.wav" <<'EOF'
import json, struct, sys
document = json.load(open(sys.argv[1], encoding="utf-8"))
failed = not document["channels"]
for n, channel in enumerate(document["channels"]):
    thd = channel["thd_db"]
    print(f"sonvalectl.exe measure, channel {n + 1}: {channel['level_dbfs']:.3f} dBFS, THD {thd:.1f} dB")
    failed = failed or not thd < -120
# The last tone heard dies away from half its peak to a thousandth of it
# over some 230 frames of a 10 ms fade; a tone cut off, within a cycle (48).
wav = open(sys.argv[2], "rb").read()
raw = wav[wav.find(b"data") + 8 :]
x = struct.unpack(f"<{len(raw) // 4}f", raw[: len(raw) // 4 * 4])
peak = max((abs(v) for v in x), default=0)
half = max((i for i, v in enumerate(x) if abs(v) > peak / 2), default=0)
faint = max((i for i, v in enumerate(x) if abs(v) > peak / 1000), default=0)
print(f"the sink heard the tone at peak {peak:.3f} die away over {faint - half} frames")
if peak < 0.1 or faint - half < 96:
    print("the tone did not end in its fade-out")
    failed = True
sys.exit(1 if failed else 0)
EOF
}

# The program's tone test, through WASAPI's default devices.
tones() {
    status=0
    timeout 180 "$wine" "$tonetest" </dev/null >"$out.tone" 2>&1 || status=$?
    grep -E "mode|THD|FAIL|Loc:" "$out.tone"
    [ $status -eq 0 ] || { echo "tst_realaudio.exe failed ($status)"; return 1; }
}

# wine's PulseAudio driver still drops out now and then on a loaded machine
# (a stream runs dry, unreported, or stalls): each step is tried up to three
# times, every failure printed, and fails the test only when all three do.
for step in measure tones; do
    attempt=1
    until $step; do
        [ $attempt -lt 3 ] || exit 1
        attempt=$((attempt + 1))
        echo "trying $step again ($attempt of 3)"
    done
done
exit 0
