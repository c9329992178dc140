# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
"""atspiwalk.py SONVALE_SIM: the window as a screen reader reads it through AT-SPI, on an
Xvfb display with a session bus; Connect&Read is clicked, a spin box and the slider set
through AT-SPI must reach the simulated DAC. Prints "SKIPPED: <reason>" where the display
or the bus cannot start."""
import os, sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from atspisession import run, wait_for  # noqa: E402

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


def walk(session, program):
    scratch = session.scratch
    requests = os.path.join(scratch, "requests")
    open(requests, "w").close()
    frame = session.start(program, {"SONVALE_SIM_REQUESTS": requests})
    find = session.find

    for role, name, description, label in CONTROLS:
        node = find(role, name)
        assert node.description == description, f"{name}: described {node.description!r}"
        labels = session.labels(node)
        assert label in labels + [None], f"{name}: labelled by {labels}"
        print(f"ok: {role} {name!r}, labelled by {labels}")

    def sent(line):
        with open(requests) as f:
            return line in f.read().splitlines()

    # Qt 6.4 does not press a button through AT-SPI's action: click it.
    session.click(find("push button", "Connect&Read"))
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
    run(walk)
