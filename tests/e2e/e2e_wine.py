"""The Wine session of a test run: X display, prefix, persistent Wine server,
and the tools that look at and answer windows.

Everything it starts it stops again by process id; the Wine server is
stopped with `wineserver -k` for this prefix only.
"""

import json
import os
import re
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

WINE_LOADER = "/usr/lib/wine/wine64"
WINE_SERVER = "/usr/lib/wine/wineserver"

# What the message box of the Windows dialog manager calls its text control.
MESSAGE_BOX_TEXT_ID = 0xFFFF


def windows_path(path):
    """The Wine (drive Z:) name of a Linux path."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


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


def _ere_escape(text):
    """Escapes text for the POSIX extended regular expressions xdotool takes."""
    return re.sub(r"([.\[\]{}()\\*+?^$|])", r"\\\1", text)


class WineSession:
    """Xvfb (when there is no display), the prefix and its persistent server,
    and one idle program that keeps Wine's desktop process alive."""

    def __init__(self, config, scratch):
        self.config = config
        self.scratch = Path(scratch)
        self.prefix = Path(config["build_dir"]) / "e2e-wineprefix"
        self.display = os.environ.get("DISPLAY") or None
        self._xvfb = None
        self._keeper = None
        self._server_started = False
        self.env = None

    # --- start and stop

    def start(self):
        self.scratch.mkdir(parents=True, exist_ok=True)
        if not self.display:
            self._start_xvfb()
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("WINE") and not k.startswith("LC_")}
        env.update({
            "WINEPREFIX": str(self.prefix),
            "WINEDEBUG": "-all",
            # No offers to install .NET or HTML engines when the prefix is made.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "DISPLAY": self.display,
            # Arguments beyond ASCII reach the Windows side as the characters they are.
            "LC_ALL": "C.UTF-8",
        })
        self.env = env
        # The server refuses a prefix folder that does not exist; wineboot fills an empty one.
        self.prefix.mkdir(parents=True, exist_ok=True)
        # Detached from pytest's output: the services that the first program
        # starts would otherwise keep a pipe of ours open for ever.
        self._quiet([WINE_SERVER, "-p"], timeout=60)
        self._server_started = True
        self._quiet([WINE_LOADER, "wineboot"], timeout=600)
        # Without a window manager Wine waits 2 s for every window that closes, unless unmanaged.
        self._quiet([WINE_LOADER, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                     "/t", "REG_SZ", "/d", "N", "/f"], timeout=60)
        self._start_keeper()

    def stop(self):
        errors = []
        if self._keeper is not None:
            self._kill(self._keeper)
            self._keeper = None
        if self._server_started:
            try:
                self._quiet([WINE_SERVER, "-k"], timeout=30, check=False)
                self._quiet([WINE_SERVER, "-w"], timeout=30, check=False)
            except subprocess.TimeoutExpired as error:
                errors.append("the Wine server did not stop: %s" % error)
            self._server_started = False
        if self._xvfb is not None:
            self._kill(self._xvfb, signal.SIGTERM)
            self._xvfb = None
        if errors:
            raise RuntimeError("; ".join(errors))

    def _start_xvfb(self):
        if shutil.which("Xvfb") is None:
            raise RuntimeError("DISPLAY is not set and Xvfb is not installed")
        read_end, write_end = os.pipe()
        log = open(self.scratch / "xvfb.log", "wb")
        try:
            # -displayfd picks a free display number and writes it to the pipe.
            self._xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, pass_fds=(write_end,))
        finally:
            os.close(write_end)
            log.close()
        try:
            number = b""
            deadline = time.monotonic() + 20
            while not number.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                    raise RuntimeError("Xvfb did not report its display number; see %s"
                                       % (self.scratch / "xvfb.log"))
                data = os.read(read_end, 16)
                if not data:
                    raise RuntimeError("Xvfb exited at start; see %s" % (self.scratch / "xvfb.log"))
                number += data
        except BaseException:
            self._kill(self._xvfb, signal.SIGTERM)
            self._xvfb = None
            raise
        finally:
            os.close(read_end)
        self.display = ":" + number.decode().strip()

    def _start_keeper(self):
        record = self.scratch / "keeper-record.txt"
        if record.exists():
            record.unlink()
        env = dict(self.env, LUMIVEX_SLEEP_MS=str(7 * 24 * 3600 * 1000), LUMIVEX_RECORD=windows_path(record))
        self._keeper = subprocess.Popen([WINE_LOADER, self.config["lumivex"]], cwd=self.scratch, env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not record.exists():
            if self._keeper.poll() is not None:
                raise RuntimeError("the idle Windows program exited at start (%s)" % self._keeper.returncode)
            if time.monotonic() > deadline:
                raise RuntimeError("the idle Windows program did not start within 60 s")
            time.sleep(0.05)

    def _quiet(self, argv, timeout, check=True):
        result = subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed with %d" % (" ".join(argv), result.returncode))
        return result

    @staticmethod
    def _kill(process, sig=signal.SIGKILL):
        if process.poll() is None:
            try:
                os.kill(process.pid, sig)
            except ProcessLookupError:
                pass
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait(10)

    # --- programs

    def spawn(self, argv, cwd, env=None, stdout=None, stderr=None):
        """Starts a Windows program in the background (argv[0] is its Linux path)."""
        return subprocess.Popen([WINE_LOADER] + [str(a) for a in argv], cwd=cwd,
                                env=dict(self.env, **(env or {})), stdin=subprocess.DEVNULL,
                                stdout=stdout if stdout is not None else subprocess.DEVNULL,
                                stderr=stderr if stderr is not None else subprocess.DEVNULL)

    # --- windows

    def windows(self, caption=None):
        """The visible top-level windows of this Wine session (optionally only those with a caption)."""
        argv = [WINE_LOADER, self.config["window_probe"]] + ([caption] if caption is not None else [])
        result = subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=30, cwd=self.scratch)
        if result.returncode != 0:
            raise RuntimeError("WindowProbe failed (%d): %r" % (result.returncode, result.stderr[-500:]))
        return [Window(json.loads(line)) for line in result.stdout.decode("utf-8").splitlines() if line.strip()]

    def wait_for_window(self, caption, timeout=10.0, accept=None):
        """Polls until a visible window with this caption (for which accept(window) holds) appears."""
        deadline = time.monotonic() + timeout
        while True:
            for window in self.windows(caption):
                if accept is None or accept(window):
                    return window
            if time.monotonic() > deadline:
                return None
            time.sleep(0.05)

    def wait_until_gone(self, window, timeout=5.0):
        deadline = time.monotonic() + timeout
        while any(w.hwnd == window.hwnd for w in self.windows()):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        return True

    def xdotool(self, *args, timeout=10):
        result = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=timeout)
        return result

    def x11_window(self, window, unix_pid):
        """The X window that shows a Windows window.

        WindowProbe reports it when it can; otherwise the window is searched
        by caption among the X windows of the process, and the newest wins
        (a message box is created after its owner)."""
        if window.x11_window:
            return int(window.x11_window)
        args = ["search", "--onlyvisible"]
        if unix_pid is not None:
            args += ["--pid", unix_pid]
        result = self.xdotool(*(args + ["--name", "^%s$" % _ere_escape(window.caption)]))
        ids = [int(line) for line in result.stdout.split() if line.strip().isdigit()]
        return max(ids) if ids else None

    def press(self, window, key="Return", unix_pid=None, wait_closed=True):
        """Focuses the window and presses a key in it. With wait_closed, returns
        whether the window closed within 5 s; else returns None at once."""
        xid = self.x11_window(window, unix_pid)
        if xid is None:
            raise AssertionError("no X window found for %r" % window)
        # Focus first, then a key without --window: a key sent to a window can stay held down.
        focus = self.xdotool("windowfocus", "--sync", xid, timeout=10)
        if focus.returncode != 0:
            raise AssertionError("xdotool could not focus %r: %s" % (window, focus.stderr.decode(errors="replace")))
        self.xdotool("key", key)
        return self.wait_until_gone(window) if wait_closed else None
