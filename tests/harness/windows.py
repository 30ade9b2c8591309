"""Watching the launcher's windows, one way for every test and tool.

What a window is and says comes from WindowProbe.exe (its controls' texts,
its owner); which windows were shown, and when, from `MapWatch`, which
sees every X window mapped on the display without starting a process. A
`VirtualDesktop` draws captions for screenshots. Every wait for a window
is one `poll` loop that fails when the launcher run ends first.
"""

import json
import os
import re
import shutil
import socket
import struct
import time
from pathlib import Path

from harness.wine import kill_pids, windows_path

CAPTION = "Quorval Launcher/Updater"
# What the message box of the Windows dialog manager calls its text control.
MESSAGE_BOX_TEXT_ID = 0xFFFF
# Control ids of the progress dialog.
CANCEL_BUTTON = 2
STATUS_TEXT = 102
SIZE_TEXT = 103
UPDATE_FAILED_TEXT = "Failed to download updates.\r\n\r\nCheck your Internet connection, or try again later."
LAUNCH_FAILED_TEXT = "Failed to execute application."


class Window:
    """One visible top-level window, as WindowProbe.exe reports it."""

    def __init__(self, data):
        self.data = data
        self.hwnd = data["hwnd"]
        self.pid = data["pid"]  # the Windows process id
        self.window_class = data["class"]
        self.caption = data["caption"]
        self.owner = data["owner"]  # 0 when the window has no owner
        self.owner_caption = data["owner_caption"]
        self.children = data["children"]
        self.x11_window = data.get("x11_window")

    def child(self, control_id):
        for child in self.children:
            if child["id"] == control_id:
                return child
        return None

    def child_text(self, control_id):
        child = self.child(control_id)
        return None if child is None else child["text"]

    @property
    def text(self):
        """A message box's message (None for other windows)."""
        return self.child_text(MESSAGE_BOX_TEXT_ID)

    def __repr__(self):
        return "Window(%s)" % json.dumps(self.data, ensure_ascii=False)


def is_progress_window(window):
    return window.caption == CAPTION and window.child(STATUS_TEXT) is not None


def is_box(window):
    return window.text is not None


def read_windows(wine, caption=None, probe=None):
    """The visible top-level windows of a Wine session (optionally only those
    with this caption), read by WindowProbe.exe (or by the copy `probe`)."""
    argv = [probe or wine.window_probe] + ([caption] if caption is not None else [])
    result = wine.run(argv, timeout=30, cwd=wine.scratch)
    if result.returncode != 0:
        raise RuntimeError("WindowProbe failed (%d): %r" % (result.returncode, result.stderr[-500:]))
    return [Window(json.loads(line)) for line in result.stdout.decode("utf-8").splitlines() if line.strip()]


def windows_now(wine):
    """The visible windows, for a failure report."""
    try:
        return read_windows(wine)
    except Exception as error:  # a diagnosis must not hide the failure it explains
        return "(WindowProbe failed: %s)" % error


def poll(find, timeout, failure, run=None, interval=0.05):
    """find()'s first answer that is not empty, asked again until there is
    one; fails with the message `failure` (or what the callable `failure`
    says then) after `timeout` seconds, or when the launcher run `run` ends first."""
    deadline = time.monotonic() + timeout
    while True:
        found = find()
        if found:
            return found
        if run is not None and not run.running:
            why = "launcher run %d ended first, exit code %s" % (run.number, run.process.returncode)
        elif time.monotonic() > deadline:
            why = "waited %.0f s" % timeout
        else:
            time.sleep(interval)
            continue
        raise AssertionError("%s (%s)" % (failure() if callable(failure) else failure, why))


def wait_for_window(wine, accept, run=None, timeout=10.0, caption=CAPTION, probe=None):
    """The first visible window with this caption for which accept(window) holds."""
    return poll(lambda: next((w for w in read_windows(wine, caption, probe) if accept is None or accept(w)), None),
                timeout, lambda: "no such window captioned %r; windows: %r" % (caption, windows_now(wine)), run)


def press(wine, window, key="Return", unix_pid=None):
    """Focuses a window, presses a key in it and fails unless it has closed
    within 5 s. Its X window is the one WindowProbe reports, else the newest
    with its caption among the process's."""
    xid = window.x11_window and int(window.x11_window)
    xid = xid or max(wine.x_windows(window.caption, unix_pid), default=None)
    assert xid is not None, "no X window found for %r" % window
    wine.key(xid, key)
    poll(lambda: all(w.hwnd != window.hwnd for w in read_windows(wine)), 5.0,
         "the window %r did not close after %s" % (window, key))


class MapWatch:
    """Records every top-level X window mapped on the display from its
    making until close(): `mapped` in order, `seen` (when each was first
    taken in, by time.monotonic()) and `visible` (those mapped now). Wine
    maps a window's X window when the window is shown, so a window shown for
    however short a time leaves a record here. Events are taken in by
    sync(). Speaks the X protocol directly (local display, no or cookie
    authorisation), so that watching costs no process start."""

    DESTROY_NOTIFY, UNMAP_NOTIFY, MAP_NOTIFY = 17, 18, 19
    SUBSTRUCTURE_NOTIFY = 1 << 19
    CW_EVENT_MASK = 1 << 11
    WM_NAME = 39  # a predefined atom

    def __init__(self, display):
        self.mapped, self.seen, self.visible = [], {}, set()
        self._buffer = b""
        self._sequence = 0
        match = re.fullmatch(r":(\d+)(?:\.\d+)?", display or "")
        assert match, "MapWatch needs a local display, not %r" % display
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

    def close(self):
        if self._socket is not None:
            self._socket.close()
            self._socket = None

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

    def _reply(self):
        """The reply to the last request (None when it failed), taking in every event before it."""
        while True:
            packet = self._read(32)
            kind = packet[0] & 0x7F
            ours = struct.unpack_from("<H", packet, 2)[0] == self._sequence
            if kind == 0:
                if ours:
                    return None
                raise AssertionError("X error %d" % packet[1])
            if kind == 1:
                packet += self._read(struct.unpack_from("<I", packet, 4)[0] * 4)
                if ours:
                    return packet
                continue
            window = struct.unpack_from("<I", packet, 8)[0]
            if kind == self.MAP_NOTIFY:
                self.mapped.append(window)
                self.seen.setdefault(window, time.monotonic())
                self.visible.add(window)
            elif kind in (self.UNMAP_NOTIFY, self.DESTROY_NOTIFY):
                self.visible.discard(window)

    def sync(self):
        """Takes in every event the server sent before now (a GetInputFocus round trip)."""
        self._request(struct.pack("<BxH", 43, 1))
        self._reply()

    def caption(self, xid):
        """An X window's name (its WM_NAME), or None once it is gone."""
        self._request(struct.pack("<BBHIIIII", 20, 0, 6, xid, self.WM_NAME, 0, 0, 1024))
        reply = self._reply()
        if reply is None:
            return None
        length = struct.unpack_from("<I", reply, 16)[0] * reply[1] // 8
        return reply[32:32 + length].decode("latin-1")

    def shown(self, caption=None):
        """The windows mapped now (only those with this caption), oldest first."""
        self.sync()
        return [x for x in dict.fromkeys(self.mapped) if x in self.visible
                and (caption is None or self.caption(x) == caption)]

    def wait_for(self, caption=CAPTION, run=None, timeout=10.0):
        """The newest window mapped now with this caption."""
        return poll(lambda: (self.shown(caption) or [None])[-1], timeout,
                    "no X window captioned %r was mapped" % caption, run)


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


MARLETT = Path("/usr/share/wine/fonts/marlett.ttf")  # Debian's fonts-wine


class VirtualDesktop:
    """A Wine virtual desktop `name` of `size` (width, height) that draws
    captions, for screenshots. It is chosen per program name (registry
    AppDefaults): the programs named run on it, every other program of the
    session stays on the default desktop, and a launcher's exit code still
    reaches its caller. `programs` maps each program's file name to a file
    to copy under that name into `folder` (None: nothing to copy); a copy of
    WindowProbe.exe there looks at the desktop's windows."""

    def __init__(self, wine, name, size, folder, programs, window_probe):
        self.wine, self.name, self.folder = wine, name, Path(folder)
        self.probe = self.folder / ("%sProbe.exe" % name)
        shutil.copyfile(window_probe, self.probe)
        for program, source in programs.items():
            if source is not None:
                shutil.copyfile(source, self.folder / program)
        # The caption's close box is drawn with Marlett, which this Wine only
        # finds in the prefix's font folder.
        fonts = wine.prefix / "drive_c" / "windows" / "Fonts"
        if MARLETT.exists() and not (fonts / MARLETT.name).exists():
            fonts.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(MARLETT, fonts / MARLETT.name)
        lines = ["Windows Registry Editor Version 5.00", ""]
        for program in list(programs) + [self.probe.name]:
            lines += ["[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\Explorer]" % program,
                      '"Desktop"="%s"' % name, ""]
        lines += ["[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]", '"%s"="%dx%d"' % ((name,) + size), ""]
        reg_file = self.folder / ("%s-desktop.reg" % name)
        reg_file.write_text("\r\n".join(lines), encoding="utf-16")
        result = wine.run(["reg", "import", windows_path(reg_file)])
        assert result.returncode == 0, "reg import failed: %r" % result.stderr[-500:]

    def windows(self):
        """The visible top-level windows of the virtual desktop."""
        return read_windows(self.wine, probe=self.probe)

    def wait_for(self, accept, run, timeout=10.0):
        return wait_for_window(self.wine, accept, run, timeout, caption=None, probe=self.probe)

    def screenshot(self, path):
        """The whole X screen, cropped to the desktop."""
        ids = self.wine.x_windows("%s - Wine desktop" % self.name)
        assert ids, "the virtual desktop's X window was not found"
        self.wine.screenshot(path, max(ids))

    def wait_closed(self, processes, timeout=5.0):
        """Waits for the desktop's own process to end after its last program
        (processes(): the ids of what may still hold it); kills by id what
        lingers. Returns the ids killed."""
        deadline = time.monotonic() + timeout
        while processes() and time.monotonic() < deadline:
            time.sleep(0.1)
        return kill_pids(processes())
