# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
"""atspiwalk.py SONVALE_THD_SIM: the THD assistant as a screen reader reads it through
AT-SPI, on the simulated DAC and analog path: every control found by its role and name
and described, Measure pressed, the safety question answered, and the THD cells of both
tables read as text and compared with what the program printed. Prints
"SKIPPED: <reason>" where the display or the bus cannot start."""
import os, re, subprocess, sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from atspisession import run, wait_for  # noqa: E402

CONTROLS = [
    ("push button", "Measure"), ("push button", "Tune"), ("push button", "Map"),
    ("push button", "Sweep"),
    ("push button", "Cancel"),
    ("push button", "Undo"), ("push button", "Save as preset…"),
    ("combo box", "Output device"), ("combo box", "Input device"),
    ("spin button", "Level"), ("spin button", "Frequency"),
    ("spin button", "Left input"), ("spin button", "Right input"),
    ("spin button", "Tune at volume"),
    ("progress bar", "Progress"),
    ("table", "Left channel results"), ("table", "Right channel results"),
    ("table", "Pairs by volume"),
    ("label", "Problems"), ("label", "Connection"),
]


def cell(table, row_name, column_name):
    """The text of a table's cell, found by its row and column headers."""
    grid = table.queryTable()
    rows = [r for r in range(grid.nRows) if grid.getRowDescription(r) == row_name]
    columns = [c for c in range(grid.nColumns) if grid.getColumnDescription(c) == column_name]
    assert len(rows) == 1 and len(columns) == 1, \
        f"{table.name}: rows {rows} named {row_name!r}, columns {columns} named {column_name!r}"
    return grid.getAccessibleAt(rows[0], columns[0]).name


def walk(session, program):
    scratch = session.scratch
    requests = os.path.join(scratch, "requests")
    open(requests, "w").close()
    # The history goes into the scratch folder, not the user's.
    frame = session.start(program, {"SONVALE_SIM_REQUESTS": requests, "HOME": scratch,
                                    "XDG_DATA_HOME": os.path.join(scratch, "data")})
    assert frame.name == "Sonvale THD assistant", f"the window is titled {frame.name!r}"
    find = session.find
    for role, name in CONTROLS:
        node = find(role, name)
        assert node.description, f"{role} {name!r} has no description"
        print(f"ok: {role} {name!r}: {node.description}")
    assert any(n.name == "Spectrum" and n.description for n in session.nodes), \
        "no described control named 'Spectrum'"
    print("ok: the plot 'Spectrum' is named and described")

    connection = find("label", "Connection")
    wait_for("connection", lambda: connection.clearCache()
             or "Connected" in connection.queryText().getText(0, -1))
    print(f"ok: {connection.queryText().getText(0, -1)}")

    # Qt 6.4 does not press a button through AT-SPI's action: click it. The question
    # before the first measurement takes Enter for OK.
    session.click(find("push button", "Measure"))
    wait_for("safety question", lambda: session.application.clearCache()
             or session.application.childCount > 1)
    subprocess.run(["xdotool", "key", "Return"], check=True, timeout=10)
    wait_for("measured: line", lambda: "measured: " in session.output(), 60)
    line = re.search(r"measured: left THD (\S+) dB, right THD (\S+) dB", session.output())
    assert line, f"the program printed {session.output()!r}"
    session.refresh()
    for side, printed in zip(("Left", "Right"), line.groups()):
        shown = cell(find("table", f"{side} channel results"), "THD (dB)", "Before")
        assert float(shown) == float(printed), f"{side}: the table shows {shown!r}, printed {printed}"
        print(f"ok: {side} THD (dB) before reads {shown!r} through AT-SPI, as printed")
    with open(requests) as f:
        writes = [r for r in f.read().splitlines() if r.startswith("03 ")]
    assert not writes, f"a measurement wrote to the DAC: {writes}"
    print("ok: Measure wrote nothing to the DAC")


if __name__ == "__main__":
    run(walk, 150)
