#!/usr/bin/env python3
"""Show the launcher at work: publish a sample release, serve it on the
loopback, and let the real Launcher.exe install it under Wine, check it, and
then pick up a second release in which one file changed.

Runs after the win64-test build (scripts/demo.sh does both), on the tests'
harness (tests/harness). Everything it writes lies under build/demo/; the Wine prefix
there is kept between demos because creating it is the slow part.
"""

import argparse
import hashlib
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.parse
import uuid
import xml.etree.ElementTree as ElementTree
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from harness import log, publish as publish_tool  # noqa: E402
from harness.config import ConfigError, load_config  # noqa: E402
from harness.launcher import LauncherRun, kill_tagged  # noqa: E402
from harness.server import Body, Paced, UpdateServer  # noqa: E402
from harness.wine import WineSession  # noqa: E402
from harness.windows import CAPTION, VirtualDesktop, is_progress_window  # noqa: E402

MIB = 1048576.0

# The sample release: relative path -> (size, seed) for pseudo-random files
# (the same bytes on every machine), or text for text files.
MOTD_V1 = ("Welcome to Lumivex!\n"
           "Demo release 1: the first release this install has seen.\n")
MOTD_V2 = ("Welcome back to Lumivex!\n"
           "Demo release 2: only this message changed, so only this file is downloaded.\n")
RANDOM_FILES = {
    "data/levels/level1.dat": 1310720,
    "data/levels/level2.dat": 1048576,
    "textures/ui/buttons.tex": 655360,
    "textures/ui/fonts/Main Font.fnt": 196608,
    "textures/world/ground.tex": 786432,
    "sounds/intro.snd": 307200,
}
TEXT_FILES = {
    "data/levels/index.txt": "level1.dat  The harbour\nlevel2.dat  The lighthouse\n",
}


class DemoError(Exception):
    """A step that cannot go on; the message says why."""


def say(text=""):
    print(text, flush=True)


def rel(path):
    try:
        return str(Path(path).relative_to(ROOT))
    except ValueError:
        return str(path)


def md5_of(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


# ---------------------------------------------------------------- releases

def make_release(folder, lumivex_exe, motd):
    """Writes the sample release into folder; returns its files' sizes."""
    folder.mkdir(parents=True)
    shutil.copyfile(lumivex_exe, folder / "Lumivex.exe")
    for name, size in RANDOM_FILES.items():
        target = folder / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(hashlib.shake_256(("lumivex-demo/" + name).encode()).digest(size))
    texts = dict(TEXT_FILES)
    texts["data/motd.txt"] = motd
    for name, text in texts.items():
        target = folder / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(text.encode("utf-8"))
    return {p.relative_to(folder).as_posix(): p.stat().st_size for p in folder.rglob("*") if p.is_file()}


def read_manifest(path):
    """path -> (size, md5) of a manifest written by tools/publish."""
    root = ElementTree.parse(path).getroot()
    return {e.get("path"): (int(e.get("size")), e.get("md5").lower()) for e in root.iter("file")}


# ---------------------------------------------------------------- server

def static_site(folder, rate):
    """The server's answer for any path: the file below folder (404 for anything
    else); bodies under /releases/ are paced."""
    def answer(record):
        path = (folder / urllib.parse.unquote(record.path).lstrip("/")).resolve()
        if folder not in path.parents or not path.is_file():
            return None
        if record.path.startswith("/releases/"):
            return Paced(path.read_bytes(), chunk=16384, delay=16384 / rate)
        return Body(path.read_bytes())
    return answer


class RequestLog:
    """The server's requests with the demo step each belongs to."""

    def __init__(self, server):
        self.server = server
        self.marks = [(0, "start")]

    def mark(self, step):
        index = len(self.server.requests)
        self.marks.append((index, step))
        return index

    def since(self, index, settle=5.0):
        """Requests from index on, once none is still being answered."""
        deadline = time.monotonic() + settle
        while any(r.outcome == "open" for r in self.server.requests) and time.monotonic() < deadline:
            time.sleep(0.05)
        return [{"method": r.method, "path": urllib.parse.unquote(r.path), "status": r.status,
                 "bytes": r.bytes_sent} for r in self.server.requests[index:]]

    def write(self, path):
        with open(path, "w", encoding="utf-8") as out:
            for r in self.server.requests:
                step = [name for index, name in self.marks if index < r.index][-1]
                out.write("%.3f [%s] %s %s %s %d bytes (%s)\n" % (
                    r.time, step, r.method, urllib.parse.unquote(r.path), r.status, r.bytes_sent,
                    r.header("User-Agent") or "-"))


# ---------------------------------------------------------------- screenshots

def desktop_screenshot(desktop, path):
    """The whole screen, cropped to the demo's Wine desktop."""
    try:
        desktop.screenshot(path)
    except (AssertionError, KeyError, ValueError, subprocess.TimeoutExpired):
        return False
    return path.exists()


class WindowWatcher(threading.Thread):
    """Screenshots of the progress window while the first run downloads."""

    def __init__(self, run, desktop, log_path, folder, prefix, interval=0.6, limit=8):
        super().__init__(daemon=True)
        self.run_, self.desktop, self.log_path, self.folder, self.prefix = run, desktop, log_path, folder, prefix
        self.interval, self.limit = interval, limit
        self.shots = []  # (path, still showing afterwards)
        self.seen = False

    def window(self):
        try:
            return next((w.hwnd for w in self.desktop.windows() if is_progress_window(w)), None)
        except RuntimeError:  # WindowProbe failed, e.g. as the run ended
            return None

    def run(self):
        window = None
        while self.run_.running and window is None:
            if log.downloads(log.read_lines(self.log_path)):
                window = self.window()
            if window is None:
                time.sleep(0.05)
        if window is None:
            return
        self.seen = True
        # The size line is written by the window's 500 ms timer.
        time.sleep(0.8)
        while self.run_.running and len(self.shots) < self.limit:
            path = self.folder / ("%s-%d.png" % (self.prefix, len(self.shots) + 1))
            if not desktop_screenshot(self.desktop, path):
                break
            showing = self.window() == window
            self.shots.append((path, showing))
            if not showing:
                break
            time.sleep(self.interval)

    def best(self):
        """The middle one of the shots taken while the window stayed up."""
        good = [path for path, showing in self.shots if showing]
        return good[len(good) // 2] if good else None


# ---------------------------------------------------------------- runs

class Run:
    def __init__(self, number, title):
        self.number = number
        self.title = title
        self.exit_code = None
        self.timed_out = False
        self.error_box = False
        self.log_lines = []
        self.log_copy = None
        self.output = None
        self.requests = []
        self.problems = []
        self.screenshots = []
        self.best_screenshot = None
        self.seconds = 0.0

    def expect(self, condition, problem):
        if not condition:
            self.problems.append(problem)
        return condition

    def downloads(self):
        return [r for r in self.requests if r["path"].startswith("/releases/")]

    def manifest_fetches(self):
        return [r for r in self.requests if r["path"] == "/Updater/manifest.xml"]


def run_launcher(run, args, ctx):
    """Runs Launcher.exe once in the install folder, with a hard time limit."""
    install = ctx["install"]
    output = install / "Lumivex-output.txt"
    log_path = install / log.PATH
    for stale in (output, log_path):
        if stale.exists():
            stale.unlink()
    index = ctx["requests"].mark("run %d" % run.number)
    process = LauncherRun(ctx["wine"], ctx["logs"], ctx["tag"], run.number, args, {}, ctx["timeout"], install,
                          install / "Launcher.exe")
    watcher = None
    if ctx.get("watch"):
        watcher = WindowWatcher(process, ctx["desktop"], log_path, ctx["screenshots"], "run%d-progress" % run.number)
        watcher.start()
    while run.exit_code is None:
        try:
            run.exit_code = process.process.wait(0.25)
            break
        except subprocess.TimeoutExpired:
            pass
        boxed = any(line.startswith(log.BOX_LINES) for line in log.read_lines(log_path))
        if boxed:
            time.sleep(1.5)  # time to paint the box, or to end after all
            if process.poll() is not None:
                continue
        if boxed or time.monotonic() > process.started + ctx["timeout"]:
            run.timed_out = not boxed
            run.error_box = boxed
            # Whatever is on screen explains why the launcher did not end.
            shot = ctx["screenshots"] / ("run%d-%s.png" % (run.number, "error" if boxed else "timeout"))
            if desktop_screenshot(ctx["desktop"], shot):
                run.screenshots.append(shot)
            process.kill()
            kill_tagged(ctx["tag"])
            break
    process.poll()
    run.seconds = (process.ended or time.monotonic()) - process.started
    if watcher is not None:
        watcher.join(30)
        run.screenshots += [path for path, _ in watcher.shots]
        run.best_screenshot = watcher.best()
        run.expect(watcher.seen, "the progress window (caption \"%s\") was never seen" % CAPTION)
        run.expect(run.best_screenshot is not None, "no screenshot caught the progress window")
    ctx["requests"].mark("between runs")
    run.requests = ctx["requests"].since(index)

    if log_path.exists():
        run.log_copy = ctx["logs"] / ("run%d-log.txt" % run.number)
        shutil.copyfile(log_path, run.log_copy)
        run.log_lines = log.read_lines(log_path)
    if output.exists():
        run.output = output.read_bytes().decode("utf-8", "replace")

    run.expect(not run.timed_out, "the launcher did not end within %d s and was killed" % ctx["timeout"])
    run.expect(not run.error_box, "the launcher showed an error box and was killed")
    if run.exit_code is not None:
        run.expect(run.exit_code == 0, "the launcher's exit code was %s, not 0" % run.exit_code)
    run.expect(bool(run.log_lines), "no run log at Launcher\\log.txt")
    failures = [line for line in run.log_lines if line.startswith(log.FAIL)]
    run.expect(not failures, "the run log has failures: %s" % "; ".join(failures))
    run.expect(len(run.manifest_fetches()) == 1, "the launcher fetched the manifest %d times, not once"
               % len(run.manifest_fetches()))
    run.expect(log.VALID[0] in run.log_lines,
               "the log does not say that the manifest is valid")
    run.expect((install / "Launcher" / "manifest_backup.xml").is_file(),
               "no backup of the manifest in Launcher\\manifest_backup.xml")
    run.expect(log.terminated(0) in run.log_lines,
               "the log does not show the application ending with exit code 0")
    if run.expect(run.output is not None, "the application wrote no Lumivex-output.txt"):
        run.expect(run.output.startswith("Lumivex sample 1.0\n"),
                   "the application's output does not start with its version")
        run.expect(all(a in run.output for a in args),
                   "the application did not receive the launcher's arguments %r" % args)


def check_install(run, install, manifest, motd):
    """Every file of the manifest is in the install folder with its digest."""
    missing, different = [], []
    for path, (size, md5) in sorted(manifest.items()):
        local = install / path
        if not local.is_file():
            missing.append(path)
        elif local.stat().st_size != size or md5_of(local) != md5:
            different.append(path)
    run.expect(not missing, "%d of %d files missing from the install folder: %s"
               % (len(missing), len(manifest), ", ".join(missing)))
    run.expect(not different, "files differing from the release in the install folder: %s"
               % ", ".join(different))
    if run.output is not None:
        run.expect(motd in run.output, "the application did not show this release's data/motd.txt")


def downloaded_paths(run, version):
    prefix = "/releases/%d/" % version
    return [r["path"][len(prefix):] for r in run.downloads() if r["path"].startswith(prefix)]


# ---------------------------------------------------------------- main

def publish(release, version, ctx):
    base = "http://%s:%d/releases/%d/" % (ctx["host"], ctx["port"], version)
    served = ctx["www"] / "releases" / str(version)
    shutil.copytree(release, served)
    manifest = ctx["www"] / "Updater" / "manifest.xml"
    manifest.parent.mkdir(parents=True, exist_ok=True)
    result = publish_tool.run("make", release, "--base-url", base, "-o", manifest)
    if result.returncode != 0:
        raise DemoError("tools/publish make failed:\n" + result.stdout + result.stderr)
    say("   " + result.stdout.strip().splitlines()[-1])
    # Every publisher's last step: check what users will fetch.
    ctx["requests"].mark("publish check v%d" % version)
    result = publish_tool.run("check", ctx["manifest_url"], timeout=300)
    ctx["requests"].mark("between runs")
    if result.returncode != 0:
        raise DemoError("tools/publish check found problems:\n" + result.stdout + result.stderr)
    say("   tools/publish check: the served release matches its manifest")
    return read_manifest(manifest)


def size_text(count):
    if count >= 1048576:
        return "%.2f MB" % (count / MIB)
    if count >= 1024:
        return "%.0f KB" % (count / 1024.0)
    return "%d bytes" % count


def report_run(run):
    say("   %s" % describe(run)[0])
    if run.problems:
        raise DemoError("run %d did not go as it should; the later steps were skipped" % run.number)


def describe(run):
    state = "passed" if not run.problems else "FAILED"
    if run.timed_out:
        code = "killed after the time limit"
    elif run.error_box:
        code = "killed at an error box"
    else:
        code = "exit code %s" % run.exit_code
    lines = ["Run %d, %s: %s, %s, %.1f s" % (run.number, run.title, state, code, run.seconds)]
    fetches = len(run.manifest_fetches())
    lines.append("  manifest fetched %s" % {0: "never", 1: "once"}.get(fetches, "%d times" % fetches))
    downloads = run.downloads()
    if downloads:
        total = sum(r["bytes"] for r in downloads)
        lines.append("  downloaded %d file%s, %s:" % (len(downloads), "" if len(downloads) == 1 else "s",
                                                     size_text(total)))
        for r in downloads:
            status = "" if r["status"] == 200 else " (HTTP %d)" % r["status"]
            lines.append("    %s  %s%s" % (r["path"], size_text(r["bytes"]), status))
    else:
        lines.append("  downloaded no files")
    if run.output is not None:
        lines.append("  application output:")
        lines += ["    | " + line for line in run.output.splitlines()]
    else:
        lines.append("  application output: none")
    lines.append("  launcher log: %s" % (rel(run.log_copy) if run.log_copy else "none"))
    if run.screenshots:
        lines.append("  screenshots: %s" % ", ".join(p.name for p in run.screenshots))
    for problem in run.problems:
        lines.append("  PROBLEM: " + problem)
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "win64-test"),
                        help="the win64-test build to run (default: build/win64-test)")
    parser.add_argument("--work-dir", default=str(ROOT / "build" / "demo"),
                        help="where the demo writes everything (default: build/demo)")
    parser.add_argument("--rate", type=float, default=1.5,
                        help="MB per second the server sends release files at (default: 1.5)")
    parser.add_argument("--timeout", type=int, default=120,
                        help="seconds one launcher run may take before it is killed (default: 120)")
    parser.add_argument("--fresh-prefix", action="store_true",
                        help="create the Wine prefix anew instead of reusing the last demo's")
    parser.add_argument("--docs-screenshot", metavar="PNG",
                        help="also copy the best progress window screenshot here")
    options = parser.parse_args()
    started = time.monotonic()

    build = Path(options.build_dir).resolve()
    work = Path(options.work_dir).resolve()
    try:
        config = load_config(build)
    except ConfigError as error:
        say("demo: %s (scripts/demo.sh builds the win64-test preset)" % error)
        return 2
    launcher_exe = Path(config["launcher"])
    lumivex_exe = build / "tools" / "sample" / "Lumivex.exe"
    if not lumivex_exe.exists():
        say("demo: %s is missing; build the win64-test preset first" % lumivex_exe)
        return 2

    prefix = work / "wineprefix"
    wine = WineSession(prefix, config["processor"], config["lumivex"], work / "wine-session",
                       window_probe=config["window_probe"])
    server = UpdateServer("127.0.0.1", config["port"])
    ctx = {
        "host": "127.0.0.1", "port": config["port"], "manifest_url": config["manifest_url"],
        "www": work / "www", "install": work / "install", "logs": work / "logs",
        "screenshots": work / "screenshots", "timeout": options.timeout, "wine": wine,
        "tag": uuid.uuid4().hex,
    }

    def on_signal(number, frame):
        raise SystemExit(128 + number)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)

    runs = []
    failure = None
    request_log = None
    stopped = []
    try:
        say("== preparing %s" % rel(work))
        # A demo that was interrupted may have left its Wine processes behind.
        if prefix.exists():
            wine.kill_all()
        if options.fresh_prefix:
            shutil.rmtree(prefix, ignore_errors=True)
        work.mkdir(parents=True, exist_ok=True)
        for child in work.iterdir():
            if child == prefix:
                continue
            if child.is_dir() and not child.is_symlink():
                shutil.rmtree(child)
            else:
                child.unlink()
        for folder in ("www", "install", "logs", "screenshots"):
            ctx[folder].mkdir()
        shutil.copyfile(launcher_exe, ctx["install"] / "Launcher.exe")

        say("== release 1: the sample application and its data")
        sizes = make_release(work / "release-1", lumivex_exe, MOTD_V1)
        say("   %d files, %.2f MB in %s" % (len(sizes), sum(sizes.values()) / MIB, rel(work / "release-1")))

        server.fallback = static_site(ctx["www"], options.rate * MIB)
        try:
            server.start()
        except RuntimeError as error:
            raise DemoError(str(error))
        stopped.append("HTTP server")
        request_log = ctx["requests"] = RequestLog(server)
        say("== serving %s on http://%s:%d/ (release files paced at %.1f MB/s)"
            % (rel(ctx["www"]), ctx["host"], ctx["port"], options.rate))
        manifest_v1 = publish(work / "release-1", 1, ctx)

        say("== Wine")
        if not (prefix / ".harness-ready").exists():
            say("   creating the Wine prefix %s (first time only; about 10-30 s)" % rel(prefix))
        stopped += ["Wine server of the demo prefix", "Xvfb, when the demo started one"]
        try:
            wine.start()
        except (RuntimeError, subprocess.TimeoutExpired) as error:
            raise DemoError("Wine did not start in %s: %s" % (rel(prefix), error))
        # The launcher runs on a virtual desktop, which draws captions, for the screenshots.
        ctx["desktop"] = VirtualDesktop(wine, "Demo", (640, 400), work / "wine-session", {"Launcher.exe": None},
                                        config["window_probe"])
        say("   prefix %s ready, display %s" % (rel(prefix), wine.display))

        say("== run 1: fresh install folder %s" % rel(ctx["install"]))
        run = Run(1, "fresh install")
        runs.append(run)
        ctx["watch"] = True
        run_launcher(run, ["--demo-run=1", "two words"], ctx)
        ctx["watch"] = False
        check_install(run, ctx["install"], manifest_v1, MOTD_V1)
        fetched = downloaded_paths(run, 1)
        run.expect(sorted(fetched) == sorted(manifest_v1),
                   "the server sent %s, not every file of release 1" % (fetched or "nothing"))
        run.expect(sorted(log.downloads(run.log_lines)) == sorted(manifest_v1),
                   "the log does not list one download per file of release 1")
        if not run.manifest_fetches():
            run.problems.insert(0, "the launcher never asked for the manifest: is the update phase in "
                                "this build (it goes straight to the application otherwise)?")
        report_run(run)

        say("== run 2: nothing changed")
        run = Run(2, "no update")
        runs.append(run)
        run_launcher(run, ["--demo-run=2"], ctx)
        check_install(run, ctx["install"], manifest_v1, MOTD_V1)
        run.expect(log.NO_UPDATE in run.log_lines, "the log does not say %r" % log.NO_UPDATE)
        run.expect(not run.downloads(), "files were downloaded although none changed")
        report_run(run)

        say("== release 2: data/motd.txt changed")
        make_release(work / "release-2", lumivex_exe, MOTD_V2)
        manifest_v2 = publish(work / "release-2", 2, ctx)
        changed = sorted(p for p in manifest_v2 if manifest_v2[p] != manifest_v1.get(p))
        if changed != ["data/motd.txt"]:
            raise DemoError("release 2 should differ in data/motd.txt only, not in %s" % changed)

        say("== run 3: update to release 2")
        run = Run(3, "update to release 2")
        runs.append(run)
        run_launcher(run, ["--demo-run=3"], ctx)
        check_install(run, ctx["install"], manifest_v2, MOTD_V2)
        run.expect(downloaded_paths(run, 2) == ["data/motd.txt"] and len(run.downloads()) == 1,
                   "the server sent %s, not data/motd.txt alone"
                   % ([r["path"] for r in run.downloads()] or "nothing"))
        run.expect(log.downloads(run.log_lines) == ["data/motd.txt"],
                   "the log lists downloads %s, not data/motd.txt alone" % log.downloads(run.log_lines))
        report_run(run)
    except DemoError as error:
        failure = str(error)
    except KeyboardInterrupt:
        failure = "interrupted"
    except SystemExit as stop:
        failure = "stopped by signal %d" % (stop.code - 128) if isinstance(stop.code, int) else "stopped"
    finally:
        kill_tagged(ctx["tag"])
        wine.stop()
        server.stop()
        if request_log is not None:
            request_log.write(work / "server-requests.log")

    best = next((r.best_screenshot for r in runs if r.best_screenshot and not r.problems), None)
    if best is not None:
        shutil.copyfile(best, ctx["screenshots"] / "progress-window.png")
        if options.docs_screenshot:
            target = Path(options.docs_screenshot)
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(best, target)

    say()
    say("== summary")
    for run in runs:
        for line in describe(run):
            say(line)
    if best is not None:
        say("Progress window screenshot: %s (all: %s/)" % (
            rel(ctx["screenshots"] / "progress-window.png"), rel(ctx["screenshots"])))
    if request_log is not None:
        say("Server request log: %s" % rel(work / "server-requests.log"))
    say("Stopped: %s" % (", ".join(stopped) if stopped else "nothing was running"))
    ok = failure is None and len(runs) == 3 and not any(r.problems for r in runs)
    if failure is not None:
        say("FAILED: %s" % failure)
    say("Demo %s in %.0f s" % ("passed" if ok else "FAILED", time.monotonic() - started))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
