"""The Wine side of a session: the X display, one prefix per architecture
with its persistent server, and the X tools that find, press and picture
windows (watching them is harness.windows).

Everything it starts it stops again by process id; the Wine server is
stopped with `wineserver -k` for this prefix only, and whatever Wine
process of the prefix is left (under emulation a program still starting is
not yet known to the server) is killed by id.
"""

import os
import re
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

WINE_SERVER = "/usr/lib/wine/wineserver"
# The loader of each build; a 32-bit program runs in a 32-bit prefix of its own.
LOADERS = {"x86_64": "/usr/lib/wine/wine64", "i686": "/usr/lib/wine/wine"}
# Every Wine process starts without address-space randomisation. With it,
# Linux puts the 64-bit loader's heap anywhere in the 1 GiB above the loader
# (at 0x7d000000); about one start in several thousand it covers 0x7ffe0000,
# the page Wine must map for Windows' shared user data: that process exits
# with 1 before any Windows code runs ("failed to map the shared user data"),
# and a program it was started for fails with CreateProcessW error 1359.
# setarch execs in place, so a run keeps its process id.
NO_RANDOMISATION = ["/usr/bin/setarch", "-R"]
EMULATOR = "/usr/bin/qemu-i386-static"
PROXY_VARIABLES = ("http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy")

def windows_path(path):
    """The Wine (drive Z:) name of a Linux path."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def ere_escape(text):
    """Escapes text for the POSIX extended regular expressions xdotool takes."""
    return re.sub(r"([.\[\]{}()\\*+?^$|])", r"\\\1", text)


def kill_process(process, sig=signal.SIGKILL):
    """Stops a process this harness started (by its id) and reaps it."""
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


def processes_with_env(entry):
    """Ids of the processes whose environment holds entry ("NAME=value")."""
    marker = entry.encode()
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                if marker in f.read().split(b"\0"):
                    found.append(int(name))
        except OSError:
            continue
    return found


def children(pid):
    """Ids of the processes whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                if entry.isdigit() and int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, ValueError):
            pass
    return found


def kill_pids(pids):
    """Kills the given processes; returns the ids that were still there."""
    killed = []
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
            killed.append(pid)
        except ProcessLookupError:
            pass
    return killed


class Display:
    """The X display: the one in DISPLAY, or an Xvfb of our own (on display
    `number` when given, else on the first free one)."""

    def __init__(self, log_path, size="1024x768x24", number=None):
        self.name = None if number is not None else os.environ.get("DISPLAY") or None
        self.number = number
        self.log_path = Path(log_path)
        self.size = size
        self.xvfb = None

    def start(self):
        if self.name:
            return self.name
        if shutil.which("Xvfb") is None:
            raise RuntimeError("DISPLAY is not set and Xvfb is not installed")
        read_end, write_end = os.pipe()
        self.log_path.parent.mkdir(parents=True, exist_ok=True)
        with open(self.log_path, "wb") as log:
            try:
                # -displayfd writes the display number to the pipe once it is ready (picking a free one).
                self.xvfb = subprocess.Popen(
                    ["Xvfb"] + ([":%d" % self.number] if self.number is not None else []) +
                    ["-displayfd", str(write_end), "-screen", "0", self.size, "-nolisten", "tcp"],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log, pass_fds=(write_end,),
                    start_new_session=True)
            finally:
                os.close(write_end)
        try:
            number = b""
            deadline = time.monotonic() + 20
            while not number.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                    raise RuntimeError("Xvfb did not report its display number; see %s" % self.log_path)
                data = os.read(read_end, 16)
                if not data:
                    raise RuntimeError("Xvfb exited at start; see %s" % self.log_path)
                number += data
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(read_end)
        self.name = ":" + number.decode().strip()
        return self.name

    def stop(self):
        if self.xvfb is not None:
            kill_process(self.xvfb, signal.SIGTERM)
            self.xvfb = None


class WineSession:
    """A prefix for one architecture, its persistent server, and one idle
    program that keeps Wine's services and desktop process up between runs.

    keeper: a Windows program that, given LUMIVEX_SLEEP_MS and LUMIVEX_RECORD,
    records its start and then idles, holding Wine's desktop when given
    LUMIVEX_KEEP_DESKTOP (the test application does).
    slow: Wine's start-up may take minutes (32-bit code under emulation)."""

    def __init__(self, prefix, arch, keeper, scratch, window_probe=None, slow=False,
                 dll_overrides="mscoree,mshtml="):
        self.prefix = Path(prefix)
        self.arch = arch
        self.wine_command = NO_RANDOMISATION + [LOADERS[arch]]  # what starts a Windows program here
        self.keeper = keeper
        self.window_probe = window_probe
        self.scratch = Path(scratch)
        self.slow = slow
        self.screen = Display(self.scratch / "xvfb.log")
        # Wine's WinINet takes http_proxy when the prefix's proxy settings are off:
        # the machine's proxy variables must not steer the tests' transfers.
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("WINE") and not k.startswith("LC_") and k.lower() not in PROXY_VARIABLES}
        self.env.update({
            "WINEPREFIX": str(self.prefix),
            # Wine's own error reports only: they land in a run's output, and so in its failure report.
            "WINEDEBUG": "-all,err+all",
            # No offers to install .NET or HTML engines when the prefix is made; under
            # emulation, where every program start costs a minute, no menu entries either.
            "WINEDLLOVERRIDES": dll_overrides + (";winemenubuilder.exe=" if slow else ""),
            # Arguments beyond ASCII reach the Windows side as the characters they are.
            "LC_ALL": "C.UTF-8",
        })
        if arch == "i686":
            self.env["WINEARCH"] = "win32"
        self._keeper = None
        self._server_started = False
        self.created = False

    # --- start and stop

    def start(self):
        self.scratch.mkdir(parents=True, exist_ok=True)
        self.env["DISPLAY"] = self.screen.start()
        self.prepare()
        self._start_keeper()
        return self

    def prepare(self):
        """The prefix, made when missing, with its persistent server and services running."""
        ready = self.prefix / ".harness-ready"
        if not ready.exists():
            # A half-made prefix (an interrupted first start) is made again.
            if self.prefix.exists():
                self.kill_all()
            shutil.rmtree(self.prefix, ignore_errors=True)
            self.created = True
        self.prefix.mkdir(parents=True, exist_ok=True)
        self._server_started = True
        # Detached from our output: the services that the first program
        # starts would otherwise keep a pipe of ours open for ever. A new
        # 32-bit prefix is made by its own loader first: a server started
        # before would make its registry a 64-bit one.
        if self.created and self.arch == "i686":
            self._boot()
            self._quiet([WINE_SERVER, "-p"], timeout=60, check=False)
        else:
            self._quiet([WINE_SERVER, "-p"], timeout=60)
            self._boot()
        if not ready.exists():
            # Without a window manager Wine waits 2 s for every window that closes, unless unmanaged.
            self._quiet(self.wine_command + ["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/t",
                                             "REG_SZ", "/d", "N", "/f"], timeout=self._limit(60))
            ready.touch()

    def _limit(self, seconds):
        return seconds * 20 if self.slow else seconds

    def _boot(self):
        """wineboot makes the prefix and starts its services. A first program
        gives up waiting for Wine's start-up after about 5 minutes while the
        start-up goes on (under emulation it can take longer): then again."""
        deadline = time.monotonic() + self._limit(600)
        while True:
            started = time.monotonic()
            if self._quiet(self.wine_command + ["wineboot"], timeout=self._limit(600), check=False).returncode == 0:
                return
            if time.monotonic() - started < 240 or time.monotonic() > deadline:
                raise RuntimeError("wineboot failed in %s" % self.prefix)

    def _start_keeper(self):
        record = self.scratch / ("keeper-%s.txt" % self.arch)
        if record.exists():
            record.unlink()
        self._keeper = self.spawn([self.keeper], cwd=self.scratch,
                                  env={"LUMIVEX_SLEEP_MS": str(7 * 24 * 3600 * 1000),
                                       "LUMIVEX_RECORD": windows_path(record), "LUMIVEX_KEEP_DESKTOP": "1"})
        deadline = time.monotonic() + self._limit(60)
        while not record.exists():
            if self._keeper.poll() is not None:
                raise RuntimeError("the idle Windows program exited at start (%s)" % self._keeper.returncode)
            if time.monotonic() > deadline:
                raise RuntimeError("the idle Windows program did not start in time")
            time.sleep(0.05)

    def stop(self):
        if self._keeper is not None:
            kill_process(self._keeper)
            self._keeper = None
        if self._server_started:
            self.kill_all()
            self._server_started = False
        self.screen.stop()

    @property
    def display(self):
        return self.screen.name

    def kill_all(self):
        """Ends every Windows process of the prefix and its server."""
        for _ in range(10):
            try:
                self._quiet([WINE_SERVER, "-k"], timeout=30, check=False)
                self._quiet([WINE_SERVER, "-w"], timeout=30, check=False)
            except subprocess.TimeoutExpired:
                pass
            left = [pid for pid in processes_with_env("WINEPREFIX=%s" % self.prefix) if self._is_wine(pid)]
            if not kill_pids(left):
                return
            time.sleep(1)

    @staticmethod
    def _is_wine(pid):
        try:
            exe = os.readlink("/proc/%d/exe" % pid)
        except OSError:
            return False
        return exe.startswith("/usr/lib/wine/") or exe == EMULATOR

    def _quiet(self, argv, timeout, check=True):
        result = subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed with %d" % (" ".join(argv), result.returncode))
        return result

    def run(self, argv, timeout=60, **kwargs):
        """Runs a Windows program (or a Wine tool) to its end, output captured."""
        return subprocess.run(self.wine_command + [str(a) for a in argv], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=self._limit(timeout), **kwargs)

    # --- programs

    def spawn(self, argv, cwd, env=None, stdout=None, stderr=None, new_session=False):
        """Starts a Windows program in the background (argv[0] is its Linux path)."""
        return subprocess.Popen(self.wine_command + [str(a) for a in argv], cwd=cwd,
                                env=dict(self.env, **(env or {})), stdin=subprocess.DEVNULL,
                                stdout=stdout if stdout is not None else subprocess.DEVNULL,
                                stderr=stderr if stderr is not None else subprocess.DEVNULL,
                                start_new_session=new_session)

    # --- the X side of windows (watching them is harness.windows)

    def xdotool(self, *args, timeout=10):
        try:
            return subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired as error:
            return subprocess.CompletedProcess(error.cmd, 124, b"", b"xdotool timed out")

    def x_windows(self, caption, pid=None):
        """X ids of the visible windows with exactly this caption (cheap: no Windows program starts)."""
        args = ["search", "--onlyvisible"] + (["--pid", pid] if pid is not None else [])
        result = self.xdotool(*(args + ["--name", "^%s$" % ere_escape(caption)]))
        return [int(word) for word in result.stdout.split() if word.isdigit()]

    def geometry(self, xid):
        """x, y, width, height of an X window."""
        values = dict(line.split("=", 1) for line in self.xdotool("getwindowgeometry", "--shell", xid)
                      .stdout.decode().split() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def screenshot(self, path, xid=None):
        """The whole X screen (import -window root), cropped to an X window when given."""
        if shutil.which("import") is None:
            raise AssertionError("ImageMagick's import is not installed")
        crop = []
        if xid is not None:
            crop = ["-crop", "%dx%d+%d+%d" % (self.geometry(xid)[2:] + self.geometry(xid)[:2]), "+repage"]
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        result = subprocess.run(["import", "-window", "root"] + crop + [str(path)], env=self.env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        assert result.returncode == 0, "import failed: %r" % result.stderr[-500:]

    def key(self, xid, key):
        """Focuses the X window, then presses the key: a key sent with --window may stay held down."""
        focus = self.xdotool("windowfocus", "--sync", xid)
        if focus.returncode != 0:
            raise AssertionError("xdotool could not focus window %s: %s" % (xid, focus.stderr.decode(errors="replace")))
        result = self.xdotool("key", key)
        assert result.returncode == 0, "xdotool key %s failed: %r" % (key, result.stderr)


if __name__ == "__main__":
    # For runners that are not Python (CTest): prepare PREFIX ARCH, or stop PREFIX ARCH.
    import sys
    session = WineSession(sys.argv[2], sys.argv[3], keeper=None, scratch=sys.argv[2])
    if sys.argv[1] == "prepare":
        session.prepare()
    else:
        session.kill_all()
