#!/usr/bin/python3
"""Varnelo as an operator with a screen reader meets it.

Runs the built program on an Xvfb display with a private D-Bus session and
the AT-SPI bus, opens the Options dialog (Alt+V, O), the worklist (against
a wlmscpfs of its own) and the progress window (IMPORT against a peer that
never answers), and walks every window through AT-SPI as Orca would. Fails
on a control (an input, list, bar, button, check box, combo box ...) that a
screen reader would announce without a name, and when Escape does not close
the Options dialog or the worklist.

Usage: a11y_walk.py PROGRAM MKDATA
Exits 77 when AT-SPI cannot start here (no bus launcher, no pyatspi).
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
# What a screen reader announces by name.
CONTROL_ROLES = {
    "text", "entry", "password text", "list", "list box", "table", "tree", "tree table",
    "progress bar", "push button", "button", "toggle button", "check box", "radio button",
    "combo box", "spin button", "slider",
}
# Rows and cells are data, not controls: their container is walked, not them.
DATA_ROLES = {"list", "list box", "table", "tree", "tree table"}


def skip(why):
    print(f"SKIP: {why}")
    sys.exit(SKIP)


def fail(why):
    print(f"FAIL: {why}")
    sys.exit(1)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(check, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = check()
        if found:
            return found
        time.sleep(0.2)
    fail(f"{what} within {seconds} s")


class SilentPeer:
    """Takes connections and never answers: the connection check waits."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        for _ in range(8):
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(conn)


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    program, mkdata = sys.argv[1], sys.argv[2]
    launcher = "/usr/libexec/at-spi-bus-launcher"
    if not os.access(launcher, os.X_OK):
        skip(f"{launcher} is not installed (at-spi2-core)")
    if not os.environ.get("VARNELO_A11Y_PRIVATE_BUS"):
        # a session bus of our own, so that nothing of the desktop's is walked
        if not shutil.which("dbus-run-session"):
            skip("dbus-run-session is not installed (dbus-daemon)")
        env = dict(os.environ, VARNELO_A11Y_PRIVATE_BUS="1")
        os.execvpe("dbus-run-session", ["dbus-run-session", "--", sys.executable, *sys.argv], env)
    try:
        import pyatspi
    except ImportError:
        skip("python3-pyatspi is not installed")
    for tool in ("Xvfb", "xdotool", "wlmscpfs"):
        if not shutil.which(tool):
            fail(f"{tool} is not installed (scripts/deps.sh test)")

    work = tempfile.mkdtemp(prefix="varnelo-a11y.")
    procs = []

    def start(args, **kw):
        p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
        procs.append(p)
        return p

    try:
        # The accessibility bus, then the display.
        start([launcher, "--launch-immediately"])
        display_r, display_w = os.pipe()
        start(["Xvfb", "-displayfd", str(display_w), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
              pass_fds=(display_w,))
        os.close(display_w)
        with os.fdopen(display_r) as f:
            display = ":" + f.readline().strip()
        try:
            desktop = wait_for(lambda: pyatspi.Registry.getDesktop(0), 10, "no AT-SPI desktop")
        except Exception as e:  # noqa: BLE001 - whatever keeps the registry away
            skip(f"AT-SPI cannot start: {e}")

        # A program folder of its own, with a worklist provider and a
        # destination that never answers.
        folder = os.path.join(work, "program")
        os.makedirs(os.path.join(work, "cd"))
        os.makedirs(folder)
        exe = os.path.join(folder, "Varnelo")
        shutil.copy2(program, exe)
        silent = SilentPeer()
        wl_port = free_port()
        wl_data = os.path.join(work, "worklist")
        subprocess.run([mkdata, "worklist", "--out", wl_data, "--aet", "WLPROV", "--count", "3",
                        "--station", "VARNELO", "--modality", "CT"], check=True, stdout=subprocess.DEVNULL)
        start(["wlmscpfs", "-s", "-csk", "-dfp", wl_data, str(wl_port)])
        with open(os.path.join(folder, "Varnelo.ini"), "w", encoding="utf-8") as ini:
            ini.write(f"""[Default]
SearchBy=2
FileSuffix=DCM
Location=2
SourceDir={work}/cd
ChangeID=1
[DICOM]
LocalAET=VARNELO
RemoteAET=SILENT
RemoteIP=127.0.0.1
RemotePort={silent.port}
[Worklist]
AET=WLPROV
IP=127.0.0.1
Port={wl_port}
Modality=CT
""")
        home = os.path.join(work, "home")
        os.makedirs(home)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("LC_", "LANG"))}
        env.update(DISPLAY=display, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   QT_ACCESSIBILITY="1", HOME=home, LANG="C.UTF-8", XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_STATE_HOME=os.path.join(home, "state"))
        os.environ["DISPLAY"] = display
        start([exe], env=env)

        def app():
            for a in desktop:
                if a is not None and a.name == "Varnelo":
                    return a
            return None

        varnelo = wait_for(app, 30, "Varnelo never showed up on the AT-SPI bus")

        def window(title, exact=False):
            def find():
                for w in varnelo:
                    if w is not None and (w.name == title if exact else w.name.startswith(title)):
                        return w
                return None
            return find

        walked = {"windows": 0, "controls": 0}
        unnamed = []

        def labelled(acc):
            try:
                return any(r.getRelationType() == pyatspi.RELATION_LABELLED_BY for r in acc.getRelationSet())
            except Exception:  # noqa: BLE001
                return False

        def walk(acc, path):
            role = acc.getRoleName()
            here = f"{path} > {role} '{acc.name}'"
            if role in CONTROL_ROLES:
                walked["controls"] += 1
                if not acc.name.strip() and not labelled(acc):
                    unnamed.append(here)
            if role in DATA_ROLES:
                return
            for child in acc:
                if child is not None:
                    walk(child, here)

        def walk_window(w):
            walked["windows"] += 1
            walk(w, "")

        def xdo(*args):
            subprocess.run(["xdotool", *args], check=True, env=dict(os.environ, DISPLAY=display))

        def click(acc):
            x, y, w, h = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            xdo("mousemove", str(x + w // 2), str(y + h // 2), "click", "1")

        def find(acc, role, name):
            if acc.getRoleName() == role and acc.name == name:
                return acc
            for child in acc:
                if child is not None:
                    found = find(child, role, name)
                    if found:
                        return found
            return None

        main_window = wait_for(window("Varnelo "), 30, "no main window")
        walk_window(main_window)
        x_id = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^Varnelo [0-9]"],
                              check=True, capture_output=True, text=True,
                              env=dict(os.environ, DISPLAY=display)).stdout.split()[0]
        xdo("windowfocus", "--sync", x_id)

        # View > Options... by its mnemonics; Escape closes it as Cancel.
        xdo("key", "--clearmodifiers", "alt+v")
        time.sleep(0.5)
        xdo("key", "o")
        walk_window(wait_for(window("Options"), 15, "Alt+V, O opened no Options dialog"))
        xdo("key", "Escape")
        wait_for(lambda: not window("Options")(), 10, "Escape left the Options dialog open")

        # The worklist, filled from the provider; Escape closes it.
        click(find(main_window, "push button", "Worklist"))
        worklist = wait_for(window("Worklist"), 15, "the Worklist button opened no worklist")
        time.sleep(1.0)  # the query's rows
        walk_window(worklist)
        xdo("key", "Escape")
        wait_for(lambda: not window("Worklist")(), 10, "Escape left the worklist open")

        # IMPORT: the progress window waits for the destination that never answers.
        click(find(main_window, "push button", "IMPORT"))
        # a message box instead says why the launch stopped
        progress = wait_for(lambda: window("Import progress")() or window("Varnelo", exact=True)(), 15,
                            "IMPORT opened no progress window")
        if progress.name != "Import progress":
            fail(f"IMPORT stopped before connecting: {progress.name} {[c.name for c in progress]}")
        walk_window(progress)

        for u in unnamed:
            print(f"unnamed: {u}")
        print(f"windows walked: {walked['windows']}, controls walked: {walked['controls']}, unnamed: {len(unnamed)}")
        return 1 if unnamed else 0
    finally:
        for p in reversed(procs):
            p.terminate()
        for p in reversed(procs):
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
