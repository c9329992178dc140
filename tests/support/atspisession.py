# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
"""What the AT-SPI walks share: an Xvfb display with a session bus and the AT-SPI bus
in a scratch folder, the program started on it, its controls found by role and name,
and a click where Qt 6.4 does not press a button through AT-SPI's action. A walk
prints "SKIPPED: <reason>" and exits 0 where the display or the bus cannot start."""
import os, select, shutil, signal, subprocess, sys, tempfile, time


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(0)


def wait_for(what, condition, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"no {what} after {seconds} s"
        time.sleep(0.1)


class Session:
    def __init__(self, scratch):
        self.scratch = scratch
        self.daemons = []

    def daemon(self, command, what):
        """Starts a daemon that writes its address as its first line, and returns that."""
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                   text=True)
        self.daemons.append(process)
        if not select.select([process.stdout], [], [], 10)[0]:
            skip(f"{what} did not start within 10 s")
        return process.stdout.readline().strip()

    def start_desktop(self):
        for tool in ("Xvfb", "dbus-daemon", "dbus-send", "xdotool",
                     "/usr/libexec/at-spi-bus-launcher"):
            if not shutil.which(tool):
                skip(f"{tool} is not installed (scripts/setup.sh installs it)")
        os.environ["XDG_RUNTIME_DIR"] = self.scratch
        # No reset when the last client leaves, which would drop AT-SPI's address.
        os.environ["DISPLAY"] = ":" + self.daemon(["Xvfb", "-displayfd", "1", "-nolisten", "tcp",
                                                   "-noreset"], "Xvfb")
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = self.daemon(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"], "the bus")
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
        self.pyatspi = pyatspi

    def start(self, program, env):
        """Starts `program` with its output in <scratch>/stdout and returns its frame."""
        with open(os.path.join(self.scratch, "stdout"), "w") as out:
            self.daemons.insert(0, subprocess.Popen([program], cwd=self.scratch, stdout=out,
                                                    stderr=out, env=dict(os.environ, **env)))
        name = os.path.basename(program)
        desktop = self.pyatspi.Registry.getDesktop(0)
        # Nothing here listens to AT-SPI's events, which keep its cache up to date.
        wait_for("window on the AT-SPI bus", lambda: desktop.clearCache() or any(
            a and a.name == name and a.childCount for a in desktop))
        self.application = next(a for a in desktop if a and a.name == name)
        self.frame = self.application[0]
        self.refresh()
        return self.frame

    def refresh(self):
        self.nodes = self.pyatspi.findAllDescendants(self.frame, lambda node: True)

    def find(self, role, name):
        found = [n for n in self.nodes if n.getRoleName() == role and n.name == name]
        assert len(found) == 1, f"{len(found)} {role} named {name!r}"
        return found[0]

    def labels(self, node):
        return [r.getTarget(i).name for r in node.getRelationSet()
                if r.getRelationType() == self.pyatspi.RELATION_LABELLED_BY
                for i in range(r.getNTargets())]

    def output(self):
        with open(os.path.join(self.scratch, "stdout")) as f:
            return f.read()

    @staticmethod
    def click(node):
        box = node.queryComponent().getExtents(0)   # DESKTOP_COORDS
        subprocess.run(["xdotool", "mousemove", str(box.x + box.width // 2),
                        str(box.y + box.height // 2), "click", "1"], check=True, timeout=10)

    def stop(self):
        for process in self.daemons:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()


def run(walk, seconds=100):
    """Runs walk(session, program) with a time-out; exits with "FAIL: ..." on a failed check."""
    signal.signal(signal.SIGALRM, lambda *_: sys.exit(f"FAIL: time-out after {seconds} s"))
    signal.alarm(seconds)
    with tempfile.TemporaryDirectory() as scratch:
        session = Session(scratch)
        try:
            session.start_desktop()
            walk(session, os.path.abspath(sys.argv[1]))
        except AssertionError as error:
            sys.exit(f"FAIL: {error}")
        finally:
            session.stop()
