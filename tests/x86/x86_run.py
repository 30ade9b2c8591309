"""One run of the 32-bit Launcher.exe under Wine's 32-bit loader.

The run has a hard time limit. While it runs, the launcher's windows (the
progress window and any message box share the caption) are watched on the X
display: each sighting is recorded, and a window that stays up longer than
the progress window ever should is taken for a message box and answered
with Enter, so that no run waits for a person.
"""

import os
import signal
import subprocess
import time
from pathlib import Path

CAPTION = "Quorval Launcher/Updater"


def _xdotool(*args, timeout=10):
    try:
        result = subprocess.run(["xdotool", *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, timeout=timeout)
    except subprocess.TimeoutExpired:
        return ""
    return result.stdout.decode("ascii", "replace")


def visible_launcher_windows():
    return _xdotool("search", "--onlyvisible", "--name", "^%s$" % CAPTION).split()


class Run:
    def __init__(self, workdir, args):
        self.workdir = Path(workdir)
        self.args = list(args)
        self.exit_code = None
        self.timed_out = False
        self.seconds = 0.0
        self.windows_seen = {}  # X window id -> seconds after the start when first seen
        self.answered = []  # X window ids answered with Enter

    @property
    def log_bytes(self):
        path = self.workdir / "Launcher" / "log.txt"
        return path.read_bytes() if path.is_file() else None

    @property
    def record(self):
        """Lumivex's record: its command line and its current directory."""
        path = self.workdir / "lumivex-record.txt"
        return path.read_text("utf-8").split("\n") if path.is_file() else None

    def describe(self, server=None):
        log = self.log_bytes
        lines = [
            "launcher args %r in %s: exit code %r after %.1f s%s" % (
                self.args, self.workdir, self.exit_code, self.seconds,
                " (TIMED OUT, killed)" if self.timed_out else ""),
            "launcher windows seen (s after start): %r; answered with Enter: %r"
            % (self.windows_seen, self.answered),
            "run log:" if log is not None else "run log: (missing)",
        ]
        if log is not None:
            lines.extend("  | " + line for line in log.decode("latin-1").split("\r\n"))
        if server is not None:
            lines.append(server.describe())
        wine_output = self.workdir / "wine-output.txt"
        if wine_output.is_file():
            text = wine_output.read_bytes().decode("utf-8", "replace").strip()
            if text:
                lines.append("Wine's output (last 2000 characters):\n" + text[-2000:])
        return "\n".join(lines)


def run_launcher(config, workdir, args, env, timeout, box_grace):
    """Run Launcher.exe in workdir with args; env is added to this process's
    environment. Returns a Run; kills the run's processes on timeout."""
    run = Run(workdir, args)
    full_env = dict(os.environ)
    full_env.update(env)
    full_env["WINEPREFIX"] = config["wineprefix"]
    full_env["WINEDEBUG"] = "-all"
    start = time.monotonic()
    with open(Path(workdir) / "wine-output.txt", "wb") as output:
        process = subprocess.Popen([config["wine_loader"], config["launcher"], *args], cwd=str(workdir),
                                   env=full_env, stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        last_answer = 0.0
        try:
            while process.poll() is None:
                now = time.monotonic() - start
                if now > timeout:
                    run.timed_out = True
                    break
                visible = visible_launcher_windows()
                for window in visible:
                    run.windows_seen.setdefault(window, round(now, 1))
                if visible and now - min(run.windows_seen[w] for w in visible) > box_grace \
                        and now - last_answer > box_grace:
                    # A box is the newest window: the progress window stays
                    # up below the failure box that it owns.
                    box = max(visible, key=lambda w: run.windows_seen[w])
                    run.answered.append(box)
                    last_answer = now
                    _xdotool("windowfocus", "--sync", box)
                    _xdotool("key", "Return")
                time.sleep(0.25)
        finally:
            if process.poll() is None:
                _kill_run(config, process)
    run.seconds = time.monotonic() - start
    run.exit_code = process.returncode
    return run


def prefix_processes(prefix):
    """Wine processes of the prefix. Under emulation a program still starting
    up is not yet known to the server, so "wineserver -k" alone misses it."""
    pids = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            exe = os.readlink(entry / "exe")
            environ = (entry / "environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if (exe.startswith("/usr/lib/wine/") or exe == "/usr/bin/qemu-i386-static") \
                and b"WINEPREFIX=" + prefix.encode() in environ:
            pids.append(int(entry.name))
    return pids


def _kill_run(config, process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()
    # The application and anything else the run started belong to the
    # prefix; the next run starts Wine again.
    for _ in range(10):
        subprocess.run([config["wineserver"], "-k"], env=dict(os.environ, WINEPREFIX=config["wineprefix"]),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)
        pids = prefix_processes(config["wineprefix"])
        if not pids:
            return
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(1)
