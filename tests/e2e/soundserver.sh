#!/bin/sh
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
# A real sound server with no sound hardware: PipeWire, WirePlumber and
# pipewire-pulse on a private runtime folder and session bus, with a null
# sink "loop" at 48 kHz as the default sink and its monitor as the default
# source, so that what is played to the default device comes back from the
# default input unchanged. README's recipe for trying a measurement without
# hardware, and the end-to-end tests' fixture.
#
#   soundserver.sh start         starts it; prints the environment to use, as
#                                shell assignments (eval "$(soundserver.sh start)"):
#                                XDG_RUNTIME_DIR, and SONVALE_SOUND_SERVER=loop,
#                                which tells tests that the default devices are
#                                the null sink (never a user's speakers)
#   soundserver.sh stop          stops the server named by $XDG_RUNTIME_DIR
#   soundserver.sh run CMD...    start, run CMD in that environment, stop;
#                                CMD's exit status, or 77 when the server
#                                cannot start (the reason on stderr)
#
# Needs pipewire, pipewire-bin, wireplumber, pipewire-pulse, pipewire-alsa,
# pulseaudio-utils and dbus (scripts/setup.sh installs them). Every step is
# bounded in time; a start that fails leaves nothing running.
set -u

fail_start() {
    echo "soundserver: $1" >&2
    [ -n "${runtime:-}" ] && stop_server "$runtime"
    exit 77
}

stop_server() {
    dir=$1
    if [ -f "$dir/soundserver.pid" ]; then
        pid=$(cat "$dir/soundserver.pid")
        # The server runs in a process group of its own, led by $pid.
        kill -TERM "-$pid" 2>/dev/null
        i=0
        while kill -0 "-$pid" 2>/dev/null && [ $i -lt 30 ]; do
            sleep 0.1
            i=$((i + 1))
        done
        kill -KILL "-$pid" 2>/dev/null
    fi
    case $dir in
        */sonvale-sound.*) rm -rf "$dir" ;;
    esac
}

start_server() {
    for tool in pipewire wireplumber pipewire-pulse pactl dbus-run-session setsid; do
        command -v "$tool" >/dev/null 2>&1 || fail_start "$tool is not installed"
    done
    runtime=$(mktemp -d "${TMPDIR:-/tmp}/sonvale-sound.XXXXXX") || fail_start "no runtime folder"
    chmod 700 "$runtime"
    export XDG_RUNTIME_DIR="$runtime"
    # No configuration of the user's own: the packages' defaults.
    export XDG_CONFIG_HOME="$runtime/config"
    export XDG_STATE_HOME="$runtime/state"
    unset PULSE_SERVER PIPEWIRE_REMOTE DBUS_SESSION_BUS_ADDRESS
    setsid dbus-run-session -- sh -c \
        'pipewire & sleep 0.5; wireplumber & pipewire-pulse & wait' \
        >"$runtime/server.log" 2>&1 </dev/null &
    echo $! >"$runtime/soundserver.pid"

    i=0
    until pactl info >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -gt 100 ] && fail_start "the server did not answer within 10 s: $(tail -n 3 "$runtime/server.log" | tr '\n' ' ')"
        sleep 0.1
    done
    pactl load-module module-null-sink sink_name=loop rate=48000 channels=2 >/dev/null \
        || fail_start "cannot load a null sink"
    # WirePlumber keeps the defaults, and answers for them a moment after the
    # server does ("Not supported" until then).
    i=0
    until pactl set-default-sink loop 2>/dev/null && pactl set-default-source loop.monitor 2>/dev/null; do
        i=$((i + 1))
        [ $i -gt 50 ] && fail_start "cannot make the null sink the default"
        sleep 0.1
    done
    # The sink's volume stays at 100 %, so the level comes back as played.
    pactl set-sink-volume loop 100% && pactl set-source-volume loop.monitor 100% \
        || fail_start "cannot set the null sink's volume"
    # WirePlumber takes the default a moment after it is set.
    i=0
    until [ "$(pactl get-default-source 2>/dev/null)" = loop.monitor ]; do
        i=$((i + 1))
        [ $i -gt 50 ] && fail_start "the default source did not become loop.monitor"
        sleep 0.1
    done
}

case ${1:-} in
    start)
        start_server
        echo "XDG_RUNTIME_DIR='$runtime'; export XDG_RUNTIME_DIR"
        echo "SONVALE_SOUND_SERVER=loop; export SONVALE_SOUND_SERVER"
        ;;
    stop)
        [ -n "${XDG_RUNTIME_DIR:-}" ] || { echo "soundserver: XDG_RUNTIME_DIR is not set" >&2; exit 2; }
        stop_server "$XDG_RUNTIME_DIR"
        ;;
    run)
        shift
        start_server
        SONVALE_SOUND_SERVER=loop "$@"
        status=$?
        stop_server "$runtime"
        exit $status
        ;;
    *)
        echo "usage: soundserver.sh start | stop | run COMMAND..." >&2
        exit 2
        ;;
esac
