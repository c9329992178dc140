# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
"""The window as a screen reader meets it: sonvale-sim on an Xvfb display,
with a session bus on which a screen reader is said to run, read through
AT-SPI by pyatspi. Every control is found by role and name, with its
description and label; Connect&Read is clicked where AT-SPI says it is, and a
spin box and the slider are set through AT-SPI's Value interface, which must
reach the simulated DAC. Run by Debian's /usr/bin/python3 (python3-pyatspi);
prints "SKIPPED: <reason>" where the display or the bus cannot start.

Usage: atspiwalk.py SONVALE_SIM"""

import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

# role, name, description, the label tied to it
CONTROLS = [
    ("label", "0dB", "The volume level in dB", None),
    ("slider", "Volume",
     "The output volume of both channels; the label beside it shows the level in dB", "Volume"),
    ("combo box", "Clock setting value", "The value, 0 to 15, of the chosen clock setting", None),
    ("combo box", "Clock setting",
     "Which of the four clock settings the clock setting value shows and edits", None),
    ("combo box", "Filter shape", "The digital filter shape of the chosen filter entry", None),
    ("combo box", "Filter entry",
     "Which of the four DAC entries the filter shape shows and edits", None),
    ("push button", "Connect&Read", "Opens the DAC and reads its settings into the window", None),
]
for side in ("LEFT", "RIGHT"):
    for harmonic in ("2nd", "3rd"):
        CONTROLS.append(("spin button", f"THD DAC {side} {harmonic}",
                         f"The {harmonic}-harmonic distortion compensation of the "
                         f"{side.lower()} DAC", harmonic))


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(0)


def read_line(pipe, what, seconds=10):
    """The first line a starting daemon writes to `pipe`."""
    if not select.select([pipe], [], [], seconds)[0]:
        skip(f"{what} did not start within {seconds} s")
    return pipe.readline().strip()


def wait_for(what, condition, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"no {what} after {seconds} s")


def descendants(node):
    for child in node:
        if child is not None:
            yield child
            yield from descendants(child)


def main(program, scratch, daemons):
    for tool in ("Xvfb", "dbus-daemon", "dbus-send", "xdotool", BUS_LAUNCHER):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (scripts/setup.sh installs it)")
    os.environ["XDG_RUNTIME_DIR"] = scratch
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp", "-noreset"], stdout=subprocess.PIPE, text=True,
                            stderr=subprocess.DEVNULL)
    daemons.append(xvfb)
    os.environ["DISPLAY"] = ":" + read_line(xvfb.stdout, "Xvfb")
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                           stdout=subprocess.PIPE, text=True, stderr=subprocess.DEVNULL)
    daemons.append(bus)
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = read_line(bus.stdout, "the session bus")
    # What a screen reader announces when it starts: the session's AT-SPI
    # bus (started on demand) then tells Qt to expose the window.
    announce = subprocess.run(
        ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
         "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status",
         "string:ScreenReaderEnabled", "variant:boolean:true"],
        capture_output=True, text=True, timeout=20)
    if announce.returncode != 0:
        skip(f"the AT-SPI bus did not start: {announce.stderr.strip()}")
    try:
        import pyatspi
    except ImportError as error:
        skip(f"pyatspi cannot be imported ({error}): install python3-pyatspi")

    requests = os.path.join(scratch, "requests")
    open(requests, "w").close()
    with open(os.path.join(scratch, "stdout"), "w") as out:
        app = subprocess.Popen([program], cwd=scratch, stdout=out, stderr=subprocess.STDOUT,
                               env=dict(os.environ, SONVALE_SIM_REQUESTS=requests))
    daemons.insert(0, app)

    def window():
        desktop = pyatspi.Registry.getDesktop(0)
        desktop.clearCache()   # nothing here listens to AT-SPI's events, which update it
        for a in desktop:
            if a is not None and a.name == "sonvale-sim" and a.childCount:
                return a[0]
    frame = wait_for("window on the AT-SPI bus", window)
    nodes = list(descendants(frame))

    def find(role, name):
        found = [n for n in nodes if n.getRoleName() == role and n.name == name]
        assert len(found) == 1, f"{len(found)} {role} named {name!r}"
        return found[0]

    for role, name, description, label in CONTROLS:
        node = find(role, name)
        assert node.description == description, f"{name}: described {node.description!r}"
        labels = [r.getTarget(i).name for r in node.getRelationSet()
                  if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                  for i in range(r.getNTargets())]
        assert label is None or label in labels, f"{name}: labelled by {labels}"
        print(f"ok: {role} {name!r}" + (f", labelled {label!r}" if label else ""))

    def sent(line):
        with open(requests) as f:
            return line in f.read().splitlines()

    # Qt 6.4 does not press a button through AT-SPI's action: click it.
    box = find("push button", "Connect&Read").queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", str(box.x + box.width // 2),
                    str(box.y + box.height // 2), "click", "1"], check=True, timeout=10)
    wait_for("read of the block", lambda: sent("04 2C 04 00 00 00 00"))
    wait_for("title \"Sonvale_Control : Connected\"",
             lambda: frame.clearCache() or frame.name == "Sonvale_Control : Connected")
    shape = find("combo box", "Filter shape").queryText()
    assert shape.getText(0, -1) == "Min phase fast", f"filter shape {shape.getText(0, -1)!r}"
    print("ok: Connect&Read clicked, the block read and shown")

    find("spin button", "THD DAC LEFT 2nd").queryValue().currentValue = 1000
    wait_for("THD write", lambda: sent("03 0A 04 03 E8 01 04"))
    slider = find("slider", "Volume")
    slider.queryValue().currentValue = 100
    wait_for("volume command", lambda: sent("06 00 02 9B 9B 00 00"))
    level = slider.parent[slider.getIndexInParent() - 1]
    wait_for("level beside the slider", lambda: level.clearCache() or level.name == "-77.5dB")
    print("ok: THD DAC LEFT 2nd and Volume set through AT-SPI reached the DAC")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[-1])
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("FAIL: time-out after 100 s"))
    signal.alarm(100)
    daemons = []
    with tempfile.TemporaryDirectory() as scratch:
        try:
            main(os.path.abspath(sys.argv[1]), scratch, daemons)
        except AssertionError as error:
            sys.exit(f"FAIL: {error}")
        finally:
            for daemon in daemons:
                daemon.terminate()
                try:
                    daemon.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    daemon.kill()
