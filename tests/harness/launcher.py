"""Runs of the real Launcher.exe.

`LauncherRun` is one run in the background with its hard time-out; it can
record every window it shows (harness.windows.MapWatch) and answer a
window that stays up longer than a progress window ever should, taken for
a message box, so that no run waits for a person. `LauncherTest` is what
the `e2e` fixture hands to a test: the working folder (with Lumivex.exe
copied in), the update server with a fresh site, and operations to start
the launcher, answer its message boxes and read what it left behind. A run
still going at the end of the test is killed and fails the test.
"""

import shutil
import subprocess
import time
import uuid
import warnings
from pathlib import Path

from harness import log
from harness.server import MANIFEST_PATH, NO_UPDATE_MANIFEST
from harness.wine import kill_pids, kill_process, processes_with_env, windows_path
from harness.windows import CAPTION, MapWatch, is_box, press, read_windows, wait_for_window, windows_now

# Marks every process a test starts, the application the launcher starts
# included, so that whatever outlives a test can be found and killed.
TAG_VARIABLE = "QUORVAL_E2E_TAG"
# The run log's line when the application's new process died in Wine's own start-up.
WINE_START_FAILURE = log.create_process_failed(1359).encode()
# What QEMU's user-mode emulator prints when a signal kills the program it runs.
# Wine handles every fault itself (a fault in Windows code becomes an exception),
# so this is Wine's own signal handling failing under the emulator.
EMULATOR_CRASH = b"qemu: uncaught target signal"


class EmulatorCrash(Exception):
    """The emulator killed a run inside Wine: no verdict on the launcher."""


class AppRecord:
    """What Lumivex.exe recorded: its command line and current directory."""

    def __init__(self, data):
        lines = data.decode("utf-8").split("\n")
        self.command_line = lines[0]
        self.current_directory = lines[1] if len(lines) > 1 else None

    def __repr__(self):
        return "AppRecord(command_line=%r, current_directory=%r)" % (self.command_line, self.current_directory)


class RunResult:
    """The outcome of one finished launcher run."""

    def __init__(self, run):
        self.exit_code = run.process.returncode  # the Windows exit code's low byte, as Linux sees it
        self.duration = run.ended - run.started
        log_path = run.cwd / log.PATH
        self.log = log_path.read_bytes() if log_path.is_file() else None
        # The X windows mapped during a watched run, in order (None: not watched).
        self.shown = None if run.watch is None else list(run.watch.mapped)
        self.record = run.record()
        self.stdout = run.stdout_path.read_bytes()
        self.run = run

    @property
    def log_lines(self):
        """The log's lines without their CR LF ends (asserting every line has one)."""
        return log.split(self.log)


def expected_launch_log(test, *launch_lines):
    """The whole log of a run whose manifest lists nothing stale: the update
    phase's lines (when the launcher has one, i.e. it asked for the
    manifest), then the given launch lines (each a line or a tuple of them)."""
    asked = bool(test.server.manifest_requests())
    return log.log_of(log.NO_UPDATE_LINES if asked else (), *launch_lines)


def command_line(program, args):
    """The Windows command line Wine builds from a Linux argument vector:
    the program path quoted, each argument quoted when it is empty or holds
    a blank, quotes escaped, and backslashes doubled where they precede a quote."""
    out = ['"%s"' % program]
    for arg in args:
        quote = arg == "" or " " in arg or "\t" in arg
        text, backslashes = "", 0
        for c in arg:
            if c == "\\":
                backslashes += 1
                continue
            if c == '"':
                text += "\\" * (2 * backslashes + 1) + '"'
            else:
                text += "\\" * backslashes + c
            backslashes = 0
        text += "\\" * (backslashes * (2 if quote else 1))
        out.append('"%s"' % text if quote else text)
    return " ".join(out)


class LauncherRun:
    """One launcher process started in the background. files: the folder
    for its output and the application's record; tag: marks every process
    of the run, so that whatever outlives it can be found; watch: records
    the X windows mapped from before its start on (`watch`, `windows_seen`)."""

    def __init__(self, wine, files, tag, number, args, env, timeout, cwd, launcher, watch=False):
        self.wine = wine
        self.launcher = Path(launcher)
        self.cwd = Path(cwd)
        self.number = number
        self.args = list(args)
        self.timeout = timeout
        self.record_path = Path(files) / ("lumivex-record-%d.txt" % number)
        self.stdout_path = Path(files) / ("launcher-%d.stdout" % number)
        self.stderr_path = Path(files) / ("launcher-%d.stderr" % number)
        self.windows_at_timeout = None
        self.answered = []  # X window ids answered with Enter
        self.result = None
        self.watch = MapWatch(wine.display) if watch else None
        run_env = {TAG_VARIABLE: tag, "LUMIVEX_RECORD": windows_path(self.record_path)}
        run_env.update(env)
        self.env = run_env
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.started = time.monotonic()
            self.process = wine.spawn([self.launcher] + self.args, cwd=self.cwd, env=run_env, stdout=out,
                                      stderr=err)
        self.ended = None

    @property
    def pid(self):
        return self.process.pid

    def poll(self):
        code = self.process.poll()
        if code is not None and self.ended is None:
            self.ended = time.monotonic()
        return code

    @property
    def running(self):
        return self.poll() is None

    @property
    def windows_seen(self):
        """X window id -> seconds after the start when the watch first took it in (a watched run)."""
        seen = self.watch.seen if self.watch is not None else {}
        return {xid: round(seen[xid] - self.started, 1) for xid in seen}

    def record(self):
        return AppRecord(self.record_path.read_bytes()) if self.record_path.exists() else None

    def wait(self, timeout=None, box_grace=None, give_up_on=None):
        """Waits for the end of the run; on time-out kills it and fails the test.
        box_grace (a watched run): answers with Enter the newest window mapped
        now once one has been up that many seconds (then again after as long);
        give_up_on: bytes that, once in the run log, end the run at once
        (killed; returns None)."""
        limit = self.timeout if timeout is None else timeout
        deadline = self.started + limit if timeout is None else time.monotonic() + limit
        last_answer = 0.0
        while self.poll() is None:
            now = time.monotonic()
            if give_up_on is not None and give_up_on in self.log_bytes():
                self.kill()
                return None
            if now > deadline:
                self.windows_at_timeout = self.windows_seen if self.wine.slow else windows_now(self.wine)
                self.kill()
                raise AssertionError("launcher run %d did not end within %.0f s and was killed; windows open: %s"
                                     % (self.number, limit, self.windows_at_timeout))
            if not box_grace:
                try:
                    self.process.wait(0.05 if give_up_on is not None else deadline - now)
                except subprocess.TimeoutExpired:
                    pass
                continue
            since = now - self.started
            visible = self.watch.shown()
            if visible and now - self.watch.seen[visible[0]] > box_grace and since - last_answer > box_grace:
                # A box is the newest window: the progress window stays up below the box it owns.
                self.answered.append(visible[-1])
                last_answer = since
                self.wine.key(visible[-1], "Return")
            time.sleep(0.25)
        if self.watch is not None:
            self.watch.sync()
            self.watch.close()
        if give_up_on is not None and give_up_on in self.log_bytes():
            return None
        if self.wine.slow and self.process.returncode < 0:
            stderr = self.stderr_path.read_bytes()
            if EMULATOR_CRASH in stderr:
                raise EmulatorCrash("launcher run %d: %s" % (
                    self.number, stderr[stderr.index(EMULATOR_CRASH):].splitlines()[0].decode(errors="replace")))
        self.result = RunResult(self)
        return self.result

    def log_bytes(self):
        path = self.cwd / log.PATH
        try:
            return path.read_bytes()
        except OSError:
            return b""

    def kill(self):
        kill_process(self.process)
        self.poll()
        if self.watch is not None:
            self.watch.close()

    def describe(self):
        code = self.process.poll()
        state = "running" if code is None else "exit code %d" % code
        if self.ended is not None:
            state += " after %.2f s" % (self.ended - self.started)
        parts = ["run %d: %s %r in %s, %s" % (self.number, self.launcher, self.args, self.cwd, state)]
        extra = {k: v for k, v in self.env.items() if k != TAG_VARIABLE}
        parts.append("  environment: %r" % extra)
        for name, path in (("stdout", self.stdout_path), ("stderr", self.stderr_path)):
            data = path.read_bytes() if path.exists() else b""
            if data:
                parts.append("  %s: %r" % (name, data[-2000:]))
        parts.append("  application record: %r" % (self.record(),))
        if self.windows_seen or self.answered:
            parts.append("  launcher windows seen (s after start): %r; answered with Enter: %r"
                         % (self.windows_seen, self.answered))
        if self.windows_at_timeout is not None:
            parts.append("  windows when it timed out: %r" % (self.windows_at_timeout,))
        return "\n".join(parts)


class LauncherTest:
    """The per-test view of the harness (the `e2e` fixture)."""

    def __init__(self, config, wine, server, tmp):
        self.config = config
        self.wine = wine
        self.server = server
        self.tmp = Path(tmp)
        self.workdir = self.tmp / "work"
        self.workdir.mkdir()
        self.tag = uuid.uuid4().hex
        self.runs = []
        self.repeats = []  # numbers of the runs repeated after WINE_START_FAILURE
        self.apps = []
        self.final_requests = None  # the request log as the test left it
        self.app_path = self.workdir / "Lumivex.exe"
        shutil.copyfile(config["lumivex"], self.app_path)
        server.reset({MANIFEST_PATH: NO_UPDATE_MANIFEST})

    # --- the working folder

    @property
    def site(self):
        return self.server.site

    @property
    def launcher_command_path(self):
        """The launcher's own path as Wine puts it at the head of its command line."""
        return windows_path(self.config["launcher"])

    @property
    def log_path(self):
        return self.workdir / log.PATH

    def log_bytes(self):
        return self.log_path.read_bytes() if self.log_path.is_file() else None

    def remove_app(self):
        self.app_path.unlink()

    # --- running the launcher

    def start(self, *args, exit_code=None, sleep_ms=None, hold=None, env=None, timeout=30.0, cwd=None,
              launcher=None, watch=False):
        """Starts Launcher.exe (the build's, or a copy at `launcher`) with these
        arguments in the background, in the working folder or in cwd.
        exit_code, sleep_ms and hold steer Lumivex.exe (hold: a file it keeps
        open without sharing while it sleeps, relative to its folder); watch:
        the run records the X windows mapped during it (run.watch, result.shown)."""
        run_env = self._app_env(exit_code, sleep_ms, hold, env)
        run = LauncherRun(self.wine, self.tmp, self.tag, len(self.runs) + 1, args, run_env,
                          timeout * self.config["time_factor"], cwd or self.workdir,
                          launcher or self.config["launcher"], watch)
        self.runs.append(run)
        return run

    def run(self, *args, box_grace=None, **kwargs):
        """Starts Launcher.exe and waits for it (for runs that show no window,
        unless answered: see LauncherRun.wait).

        Two failures of Wine itself, which no launcher fault explains, repeat
        the run once from the same working folder and request log (a watched
        run with a watch of its own), with a warning in the test's output, and only when
        the site holds no single-use behaviour:
        - the run log shows WINE_START_FAILURE: the application's new process
          died in Wine's own start-up (its known cause is gone, see
          NO_RANDOMISATION in wine.py);
        - the process ended by a Unix signal that the harness did not send.
          Wine turns every fault of Windows code into an exception and an
          exit code, so only its own Unix side ends a process that way (the
          32-bit signed build, at its exit, about once in several thousand
          runs)."""
        folder = Path(kwargs.get("cwd") or self.workdir)
        snapshot = self._snapshot(folder) if self._repeatable() else None
        requests = len(self.server.requests)
        run = self.start(*args, **kwargs)
        result = run.wait(box_grace=box_grace, give_up_on=WINE_START_FAILURE if snapshot is not None else None)
        if result is None:
            why = "%s (the new process died during Wine's start-up)" % WINE_START_FAILURE.decode()
        elif snapshot is not None and result.exit_code < 0 and not self.wine.slow:
            why = "ended by signal %d, which only Wine's own code causes" % -result.exit_code
        else:
            return result
        self.repeats.append(run.number)
        warnings.warn("launcher run %d: %s; the run was repeated once" % (run.number, why))
        self._restore(folder, snapshot)
        self.server.forget_since(requests)
        return self.start(*args, **kwargs).wait(box_grace=box_grace)

    def _repeatable(self):
        return not any(callable(v) or hasattr(v, "abort") for v in self.site.values())

    @staticmethod
    def _snapshot(folder, limit=16 << 20):
        """The folder's files (relative path -> bytes; None for a folder), or None when larger than limit."""
        entries, total = {}, 0
        for path in folder.rglob("*"):
            entries[path.relative_to(folder)] = path.read_bytes() if path.is_file() else None
            total += len(entries[path.relative_to(folder)] or b"")
            if total > limit:
                return None
        return entries

    @staticmethod
    def _restore(folder, entries):
        for path in sorted(folder.rglob("*"), reverse=True):
            relative = path.relative_to(folder)
            if relative not in entries or (entries[relative] is None) != path.is_dir():
                path.unlink() if not path.is_dir() else shutil.rmtree(path)
        for relative, data in sorted(entries.items()):
            target = folder / relative
            if data is None:
                target.mkdir(parents=True, exist_ok=True)
            elif not target.is_file() or target.read_bytes() != data:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(data)

    def start_app(self, *args, sleep_ms=60000, hold=None, exit_code=None, env=None, timeout=15.0):
        """Starts the working folder's Lumivex.exe directly (no launcher), e.g. to
        hold a file open during a launcher run; returns once it has recorded
        its start (and so holds the file). It is killed at the end of the test."""
        number = len(self.apps) + 1
        record = self.tmp / ("direct-app-record-%d.txt" % number)
        app_env = self._app_env(exit_code, sleep_ms, hold, env)
        app_env.update({TAG_VARIABLE: self.tag, "LUMIVEX_RECORD": windows_path(record)})
        process = self.wine.spawn([self.app_path] + list(args), cwd=self.workdir, env=app_env)
        self.apps.append(process)
        deadline = time.monotonic() + timeout
        while not record.exists():
            assert process.poll() is None, "Lumivex.exe exited at once (%s)" % process.returncode
            assert time.monotonic() < deadline, "Lumivex.exe did not start within %.0f s" % timeout
            time.sleep(0.02)
        return process

    @staticmethod
    def _app_env(exit_code, sleep_ms, hold, env):
        run_env = {}
        if exit_code is not None:
            run_env["LUMIVEX_EXIT_CODE"] = str(exit_code)
        if sleep_ms is not None:
            run_env["LUMIVEX_SLEEP_MS"] = str(sleep_ms)
        if hold is not None:
            run_env["LUMIVEX_HOLD"] = hold
        run_env.update(env or {})
        return run_env

    # --- windows (harness.windows)

    def windows(self, caption=None):
        return read_windows(self.wine, caption)

    def wait_for_window(self, caption=CAPTION, run=None, timeout=10.0, accept=None):
        """The first visible window with this caption (of a box, its text is .text
        and its owner .owner); fails when none appears in time or `run` ends first."""
        return wait_for_window(self.wine, accept, run, timeout, caption)

    def answer(self, window, key="Return", run=None):
        """Answers a message box through xdotool and waits until it has closed."""
        press(self.wine, window, key, unix_pid=run.pid if run is not None else None)

    def answer_box(self, run, caption=CAPTION, key="Return", timeout=10.0):
        """Waits for the box of a background run, answers it, and returns it."""
        box = self.wait_for_window(caption, run=run, timeout=timeout, accept=is_box)
        self.answer(box, key, run=run)
        return box

    # --- the end of the test

    def finish(self):
        """Kills what the test left running; returns the complaints."""
        # Kept for the failure report, which is written after the server's reset.
        self.final_requests = self.server.describe()
        complaints = []
        for app in self.apps:
            kill_process(app)
        for run in self.runs:
            if run.watch is not None:
                run.watch.close()
            if run.running:
                run.windows_at_timeout = windows_now(run.wine)
                run.kill()
                complaints.append("launcher run %d was still running at the end of the test and was killed "
                                  "(windows: %r)" % (run.number, run.windows_at_timeout))
        leftovers = [(pid, process_name(pid)) for pid in tagged_processes(self.tag)]
        killed = set(kill_pids([pid for pid, _ in leftovers]))
        if killed:
            complaints.append("processes of the test outlived it and were killed: %s"
                              % ", ".join("%d (%s)" % (pid, name) for pid, name in leftovers if pid in killed))
        return complaints

    def describe(self):
        """The runs, the run log and the server's request log, for failure messages."""
        parts = ["working folder: %s" % self.workdir]
        if self.repeats:
            parts.append("repeated once after a failure of Wine itself: runs %s" % (self.repeats,))
        parts += [run.describe() for run in self.runs] or ["(no launcher runs)"]
        data = self.log_bytes()
        parts.append("run log %s: %s" % (log.PATH, "(none)" if data is None else ""))
        if data is not None:
            parts += ["  %r" % line for line in data.splitlines(keepends=True)] or ["  (empty)"]
        parts.append("server requests:")
        parts.append(self.final_requests or self.server.describe())
        return "\n".join(parts)


def tagged_processes(tag):
    """Ids of the processes whose environment carries the test's tag."""
    return processes_with_env("%s=%s" % (TAG_VARIABLE, tag))


def process_name(pid):
    """A process's command line, for reports."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace").strip() or "?"
    except OSError:
        return "?"


def kill_tagged(tag):
    """Kills every process whose environment carries the test's tag; returns their ids."""
    return kill_pids(tagged_processes(tag))
