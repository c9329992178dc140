# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
"""atspiwalk.py SONVALE_SIM: the window as a screen reader reads it through AT-SPI, on an
Xvfb display with a session bus; Connect&Read is clicked, a spin box and the slider set
through AT-SPI must reach the simulated DAC. Prints "SKIPPED: <reason>" where the display
or the bus cannot start."""
import os, select, shutil, signal, subprocess, sys, tempfile, time

# role, name, description, the label tied to it
CONTROLS = [
    ("label", "0dB", "The volume level in dB", None),
    ("slider", "Volume", "The output volume of both channels; the label beside it shows "
     "the level in dB", "Volume"),
    ("combo box", "Clock setting value", "The value, 0 to 15, of the chosen clock setting", None),
    ("combo box", "Clock setting",
     "Which of the four clock settings the clock setting value shows and edits", None),
    ("combo box", "Filter shape", "The digital filter shape of the chosen filter entry", None),
    ("combo box", "Filter entry",
     "Which of the four DAC entries the filter shape shows and edits", None),
    ("push button", "Connect&Read", "Opens the DAC and reads its settings into the window", None),
] + [("spin button", f"THD DAC {side} {n}",
      f"The {n}-harmonic distortion compensation of the {side.lower()} DAC", n)
     for side in ("LEFT", "RIGHT") for n in ("2nd", "3rd")]


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(0)


def daemon(command, what, daemons):
    """Starts a daemon that writes its address as its first line, and returns that."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               text=True)
    daemons.append(process)
    if not select.select([process.stdout], [], [], 10)[0]:
        skip(f"{what} did not start within 10 s")
    return process.stdout.readline().strip()


def wait_for(what, condition, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"no {what} after {seconds} s"
        time.sleep(0.1)


def main(program, scratch, daemons):
    for tool in ("Xvfb", "dbus-daemon", "dbus-send", "xdotool",
                 "/usr/libexec/at-spi-bus-launcher"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (scripts/setup.sh installs it)")
    os.environ["XDG_RUNTIME_DIR"] = scratch
    # No reset when the last client leaves, which would drop AT-SPI's address.
    os.environ["DISPLAY"] = ":" + daemon(["Xvfb", "-displayfd", "1", "-nolisten", "tcp",
                                          "-noreset"], "Xvfb", daemons)
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = daemon(
        ["dbus-daemon", "--session", "--nofork", "--print-address=1"], "the bus", daemons)
    # A screen reader says it runs; the AT-SPI bus starts, and Qt exposes the window.
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
        skip(f"no pyatspi ({error}): install python3-pyatspi")

    requests = os.path.join(scratch, "requests")
    open(requests, "w").close()
    with open(os.path.join(scratch, "stdout"), "w") as out:
        daemons.insert(0, subprocess.Popen([program], cwd=scratch, stdout=out, stderr=out,
                                           env=dict(os.environ, SONVALE_SIM_REQUESTS=requests)))
    desktop = pyatspi.Registry.getDesktop(0)
    # Nothing here listens to AT-SPI's events, which keep its cache up to date.
    wait_for("window on the AT-SPI bus", lambda: desktop.clearCache() or any(
        a and a.name == "sonvale-sim" and a.childCount for a in desktop))
    frame = next(a for a in desktop if a and a.name == "sonvale-sim")[0]
    nodes = pyatspi.findAllDescendants(frame, lambda node: True)

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
        assert label in labels + [None], f"{name}: labelled by {labels}"
        print(f"ok: {role} {name!r}, labelled by {labels}")

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
    shape = find("combo box", "Filter shape").queryText().getText(0, -1)
    assert shape == "Min phase fast", f"the filter shape reads {shape!r}"
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
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("FAIL: time-out after 100 s"))
    signal.alarm(100)
    daemons = []
    with tempfile.TemporaryDirectory() as scratch:
        try:
            main(os.path.abspath(sys.argv[1]), scratch, daemons)
        except AssertionError as error:
            sys.exit(f"FAIL: {error}")
        finally:
            for process in daemons:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
