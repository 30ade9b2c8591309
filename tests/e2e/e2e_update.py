"""Helpers for the update tests: application files on disk, the progress
window and its cancellation, and screenshots in a Wine virtual desktop.
The log's lines come from harness.log, the paced bodies from harness.server."""

import os
import re
import shutil
import socket
import struct
import subprocess
import time
from pathlib import Path

from harness.launcher import CAPTION, tagged_processes
from harness.wine import kill_pids, windows_path

MIB = 1048576.0

# Control ids of the progress dialog.
CANCEL_BUTTON = 2
STATUS_TEXT = 102
SIZE_TEXT = 103

UPDATE_FAILED_TEXT = "Failed to download updates.\r\n\r\nCheck your Internet connection, or try again later."

MANIFEST_FILE = Path("Launcher", "manifest.xml")
BACKUP_FILE = Path("Launcher", "manifest_backup.xml")


def size_line(done, total):
    return "%.2f MB of %.2f MB" % (done / MIB, total / MIB)


def put(folder, relative, data):
    """Writes a file below folder, making its directories."""
    path = Path(folder, relative)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def pattern(size, seed=0):
    """size bytes whose digest differs for every (size, seed)."""
    block = bytes((i * 7 + seed * 13 + (i >> 8)) & 0xFF for i in range(4096))
    return (block * (size // len(block) + 1))[:size]


# --- the progress window


def is_progress_window(window):
    return window.caption == CAPTION and window.child(STATUS_TEXT) is not None


def is_box(window):
    return window.text is not None


def progress_window(e2e, run, status=None, size_pattern=None, timeout=10.0):
    """Waits for the progress window of a run, optionally until its status
    line and size line read as given (the launcher must be pumping)."""
    def accept(window):
        if not is_progress_window(window):
            return False
        if status is not None and window.child_text(STATUS_TEXT) != status:
            return False
        return size_pattern is None or re.fullmatch(size_pattern, window.child_text(SIZE_TEXT) or "")
    return e2e.wait_for_window(CAPTION, run=run, timeout=timeout, accept=accept)


def x11_progress_window(e2e, run, timeout=10.0):
    """The X window of a run's progress window, found through xdotool alone:
    WindowProbe reads texts by messages, which a launcher blocked in a read
    answers only after a time-out."""
    deadline = time.monotonic() + timeout
    while True:
        ids = e2e.wine.x_windows(CAPTION, run.pid)
        if ids:
            return max(ids)
        assert run.running, "launcher run %d ended before its progress window was found" % run.number
        assert time.monotonic() < deadline, "no progress window of run %d within %.0f s" % (run.number, timeout)
        time.sleep(0.05)


def window_size(e2e, xid):
    return e2e.wine.geometry(xid)[2:]


def press_key(e2e, xid, key):
    e2e.wine.key(xid, key)


def click(e2e, xid, x, y):
    result = e2e.wine.xdotool("mousemove", "--window", xid, x, y, "click", "1")
    assert result.returncode == 0, "xdotool click failed: %r" % result.stderr


def click_cancel_button(e2e, xid):
    """Clicks the middle of the Cancel button. The dialog is 208 x 54 dialog
    units with the button at 150..200 x 33..47; the X window adds only a
    thin frame (and a caption) to the client area, so scaling the button's
    middle by the window's size lands well inside the button."""
    width, height = window_size(e2e, xid)
    click(e2e, xid, width * 175 // 208, height * 40 // 54)


def click_close_box(e2e, xid):
    """Clicks the close box that a Wine virtual desktop draws at the right of the caption."""
    width, _ = window_size(e2e, xid)
    click(e2e, xid, width - 12, 10)


# --- a virtual desktop for screenshots

DESKTOP = "QuorvalShot"
DESKTOP_SIZE = (640, 400)
# Copies of the launcher and of WindowProbe under these names run on that
# desktop; every other program of the session stays on the default one.
DESKTOP_LAUNCHER = "QuorvalShot.exe"
DESKTOP_PROBE = "QuorvalShotProbe.exe"
MARLETT = Path("/usr/share/wine/fonts/marlett.ttf")


class VirtualDesktop:
    """A Wine virtual desktop that draws captions, selected per program name
    (registry AppDefaults), so the launcher's exit code still reaches the
    test and WindowProbe can look at the desktop's windows."""

    def __init__(self, e2e):
        self.e2e = e2e
        self.launcher = Path(shutil.copy(e2e.config["launcher"], e2e.tmp / DESKTOP_LAUNCHER))
        self.probe_exe = Path(shutil.copy(e2e.config["window_probe"], e2e.tmp / DESKTOP_PROBE))
        self._configure()

    def _configure(self):
        wine = self.e2e.wine
        # The caption's close box is drawn with Marlett, which this Wine only
        # finds in the prefix's font folder.
        fonts = wine.prefix / "drive_c" / "windows" / "Fonts"
        if MARLETT.exists() and not (fonts / MARLETT.name).exists():
            fonts.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(MARLETT, fonts / MARLETT.name)
        lines = ["Windows Registry Editor Version 5.00", ""]
        for program in (DESKTOP_LAUNCHER, DESKTOP_PROBE):
            lines += ["[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\Explorer]" % program,
                      '"Desktop"="%s"' % DESKTOP, ""]
        lines += ["[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]",
                  '"%s"="%dx%d"' % ((DESKTOP,) + DESKTOP_SIZE), ""]
        reg_file = self.e2e.tmp / "desktop.reg"
        reg_file.write_text("\r\n".join(lines), encoding="utf-16")
        result = wine.run(["reg", "import", windows_path(reg_file)])
        assert result.returncode == 0, "reg import failed: %r" % result.stderr[-500:]

    def windows(self):
        """The visible top-level windows of the virtual desktop."""
        return self.e2e.wine.windows(probe=self.probe_exe)

    def wait_for(self, accept, run, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            for window in self.windows():
                if accept(window):
                    return window
            assert run.running, "launcher run %d ended before the expected window" % run.number
            assert time.monotonic() < deadline, "no such window on the virtual desktop: %r" % self.windows()
            time.sleep(0.05)

    def x11_desktop(self):
        ids = self.e2e.wine.x_windows("%s - Wine desktop" % DESKTOP)
        assert ids, "the virtual desktop's X window was not found"
        return max(ids)

    def screenshot(self, path):
        """The whole X screen, cropped to the desktop."""
        self.e2e.wine.screenshot(path, self.x11_desktop())

    def wait_closed(self, timeout=5.0):
        """Waits for the desktop's own process (started for the launcher, so
        it carries the test's tag) to end after its last program; kills it
        by id when it lingers. Returns the ids killed."""
        deadline = time.monotonic() + timeout
        while True:
            left = tagged_processes(self.e2e.tag)
            if not left or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        kill_pids(left)
        return left


# --- images


def read_rgb(path):
    """(width, height, pixels) of an image, pixels as rows of RGB tuples."""
    size = subprocess.run(["identify", "-format", "%w %h", str(path)], capture_output=True, timeout=30,
                          check=True).stdout.decode().split()
    width, height = int(size[0]), int(size[1])
    raw = subprocess.run(["convert", str(path), "-depth", "8", "rgb:-"], capture_output=True, timeout=30,
                         check=True).stdout
    assert len(raw) == width * height * 3, "unexpected raw image size"
    rows = []
    for y in range(height):
        line = raw[y * width * 3:(y + 1) * width * 3]
        rows.append([tuple(line[x:x + 3]) for x in range(0, len(line), 3)])
    return width, height, rows


def runs_of(row):
    """A row of pixels as (colour, start, length) runs."""
    runs = []
    start = 0
    for x in range(1, len(row) + 1):
        if x == len(row) or row[x] != row[start]:
            runs.append((row[start], start, x - start))
            start = x
    return runs


def saturated(colour):
    return max(colour) - min(colour) > 60


def progress_bar_fraction(rows, background):
    """The filled part of the progress bar in a screenshot: on the rows that
    hold a run of a saturated colour (not the desktop's) directly followed
    by a run of white, fill / (fill + white). None when no such row exists."""
    fractions = []
    for row in rows:
        runs = runs_of(row)
        for (colour, _, length), (after, _, rest) in zip(runs, runs[1:]):
            if colour != background and saturated(colour) and length >= 10 and after == (255, 255, 255) \
                    and rest >= 10:
                fractions.append(length / float(length + rest))
    if not fractions:
        return None
    fractions.sort()
    return fractions[len(fractions) // 2]


# --- windows shown, seen from the X server


class MapWatch:
    """Records every X window mapped on the display while it is open. Wine
    maps a top-level window's X window when the window is shown, so a
    window shown for however short a time leaves a record here. Speaks the
    X protocol directly (local display, no or cookie authorisation).

        with MapWatch(e2e.wine.display) as watch:
            ...run...
        watch.mapped  # X window ids, in order
    """

    MAP_NOTIFY = 19
    SUBSTRUCTURE_NOTIFY = 1 << 19
    CW_EVENT_MASK = 1 << 11

    def __init__(self, display):
        self.display = display
        self.mapped = []
        self._socket = None
        self._buffer = b""
        self._sequence = 0

    def __enter__(self):
        match = re.fullmatch(r":(\d+)(?:\.\d+)?", self.display or "")
        assert match, "MapWatch needs a local display, not %r" % self.display
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._socket.settimeout(10)
        self._socket.connect("/tmp/.X11-unix/X" + match.group(1))
        name, data = _x_cookie(match.group(1))
        pad = lambda b: b + b"\0" * (-len(b) % 4)  # noqa: E731
        self._socket.sendall(struct.pack("<BxHHHHxx", 0x6C, 11, 0, len(name), len(data)) + pad(name) + pad(data))
        head = self._read(8)
        extra = self._read(struct.unpack_from("<H", head, 6)[0] * 4)
        assert head[0] == 1, "the X server refused the connection: %r" % extra[:200]
        vendor_length, formats = struct.unpack_from("<H", extra, 16)[0], extra[21]
        root = struct.unpack_from("<I", extra, 32 + vendor_length + (-vendor_length % 4) + 8 * formats)[0]
        self._request(struct.pack("<BxHIII", 2, 4, root, self.CW_EVENT_MASK, self.SUBSTRUCTURE_NOTIFY))
        self.sync()
        return self

    def __exit__(self, *exc):
        try:
            if exc[0] is None:
                self.sync()
        finally:
            self._socket.close()
        return False

    def _read(self, size):
        while len(self._buffer) < size:
            data = self._socket.recv(65536)
            assert data, "the X server closed the connection"
            self._buffer += data
        out, self._buffer = self._buffer[:size], self._buffer[size:]
        return out

    def _request(self, data):
        self._socket.sendall(data)
        self._sequence = (self._sequence + 1) & 0xFFFF

    def forget(self):
        """Drops what was mapped until now."""
        self.sync()
        self.mapped.clear()

    def sync(self):
        """Takes in every event the server sent before now (a GetInputFocus round trip)."""
        self._request(struct.pack("<BxH", 43, 1))
        while True:
            packet = self._read(32)
            kind = packet[0] & 0x7F
            if kind == 0:
                raise AssertionError("X error %d" % packet[1])
            if kind == 1:
                # A reply: GetInputFocus has no data beyond the 32 bytes.
                if struct.unpack_from("<H", packet, 2)[0] == self._sequence:
                    return
                continue
            if kind == self.MAP_NOTIFY:
                self.mapped.append(struct.unpack_from("<I", packet, 8)[0])


def _x_cookie(number):
    """(name, data) of the MIT-MAGIC-COOKIE-1 for a local display, or empty ones."""
    path = os.environ.get("XAUTHORITY") or os.path.expanduser("~/.Xauthority")
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return b"", b""
    position = 0
    while position + 2 <= len(data):
        family = int.from_bytes(data[position:position + 2], "big")
        position += 2
        fields = []
        for _ in range(4):
            length = int.from_bytes(data[position:position + 2], "big")
            fields.append(data[position + 2:position + 2 + length])
            position += 2 + length
        # 256 is a local (Unix socket) entry.
        if family in (256, 0xFFFF) and fields[1].decode(errors="replace") == number \
                and fields[2] == b"MIT-MAGIC-COOKIE-1":
            return fields[2], fields[3]
    return b"", b""
