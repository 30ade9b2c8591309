"""The progress window during an update: every way of cancelling stops the
run between two chunks, and a screenshot of the window in mid-download."""

import re
import time
from pathlib import Path

import pytest

from harness.launcher import tagged_processes
from harness.log import CANCELLED, FETCHING, VALID, downloading, log_of
from harness.server import MANIFEST_PATH, Paced, file_entry, manifest_xml
from harness.windows import SIZE_TEXT, STATUS_TEXT, VirtualDesktop, is_progress_window
from e2e_update import (MIB, click_cancel_button, click_close_box, pattern, progress_bar_fraction, put, read_rgb,
                        press_key)

# The server's pacing chunk: what it sends at a time. The launcher reads
# whatever has arrived (up to 1 MiB at a time), so its reads do not follow it.
PACE_CHUNK = 4096

CANCEL_ACTIONS = {
    "escape-key": lambda e2e, xid: press_key(e2e, xid, "Escape"),
    # Cancel is the default button.
    "enter-key": lambda e2e, xid: press_key(e2e, xid, "Return"),
    # Cancel has the focus.
    "space-key": lambda e2e, xid: press_key(e2e, xid, "space"),
    "button-click": click_cancel_button,
    # Alt+F4 is the system menu's Close, as the close box sends it.
    "close-command": lambda e2e, xid: press_key(e2e, xid, "alt+F4"),
}


@pytest.mark.parametrize("action", list(CANCEL_ACTIONS))
def test_cancel_during_first_of_three_downloads(e2e, server, action):
    files = [("one.dat", pattern(256 * 1024, 1)), ("sub/two.dat", pattern(5000, 2)), ("three.dat", pattern(6000, 3))]
    url = server.url
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry(path, data, url("/files/" + Path(path).name))
                                            for path, data in files])
    # The server stops after four chunks; the cancel comes while the launcher
    # waits for more, having written what arrived.
    paused_at = 4 * PACE_CHUNK
    first = Paced(files[0][1], chunk=PACE_CHUNK, delay=0.05, pause_after=paused_at)
    e2e.site["/files/one.dat"] = first
    e2e.site["/files/two.dat"] = Paced(files[1][1])
    e2e.site["/files/three.dat"] = Paced(files[2][1])

    run = e2e.start(timeout=20, watch=True)
    try:
        assert first.paused.wait(10), "the first download did not start"
        xid = run.watch.wait_for(run=run)
        CANCEL_ACTIONS[action](e2e, xid)
    finally:
        first.resume()
    result = run.wait()

    assert result.shown == [xid], "not just the progress window was shown: %r" % result.shown
    assert result.log == log_of(FETCHING, VALID, downloading("one.dat", url("/files/one.dat")), CANCELLED,
                                downloading("sub/two.dat", url("/files/two.dat")),
                                downloading("three.dat", url("/files/three.dat")))
    assert result.exit_code == 1
    assert result.record is None, "the application was started"
    assert [r.path for r in server.requests] == [MANIFEST_PATH, "/files/one.dat"]
    assert server.requests[1].bytes_sent < len(files[0][1]), "the first download was not stopped"
    # What arrived was received beside the install, never in place, and is
    # gone with the cancelled update; the others never started.
    assert not (e2e.workdir / "one.dat").exists()
    assert list((e2e.workdir / "Launcher" / "staging").iterdir()) == []
    assert not (e2e.workdir / "sub").exists()
    assert not (e2e.workdir / "three.dat").exists()


def test_progress_window_screenshot_then_close_box(e2e, server):
    # A copy of the launcher under a name of its own runs on the desktop.
    desktop = VirtualDesktop(e2e.wine, "QuorvalShot", (640, 400), e2e.tmp,
                             {"QuorvalShot.exe": e2e.config["launcher"]}, e2e.config["window_probe"])
    current = pattern(3 * 1024 * 1024, 1)
    new = pattern(2 * 1024 * 1024, 2)
    put(e2e.workdir, "current.dat", current)
    total = len(current) + len(new)
    src = server.url("/files/new.dat")
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("current.dat", current, server.url("/files/current.dat")),
                                            file_entry("new.dat", new, src)])
    # Slow enough for the size line's timer to tick and for the window to
    # answer WindowProbe; then held, so the picture is taken of a window
    # that is not being redrawn. The last byte waits for release().
    paced = Paced(new, chunk=PACE_CHUNK, delay=0.2, pause_after=len(new) - 1, limit=30.0)
    e2e.site["/files/new.dat"] = paced
    shot = Path(e2e.config["build_dir"]) / "screenshots" / "progress-window.png"
    if shot.exists():
        shot.unlink()

    run = e2e.start(timeout=45, launcher=desktop.folder / "QuorvalShot.exe")
    try:
        # Only once the launcher has made the desktop: a probe started at
        # the same time may start a second one.
        assert paced.started.wait(15), "the download did not start"
        window = desktop.wait_for(
            lambda w: is_progress_window(w) and w.child_text(STATUS_TEXT) == "Updating..."
            and bool(w.child_text(SIZE_TEXT)), run, timeout=20)
        paced.hold()
        assert paced.paused.wait(5), "the download did not stop"
        held_at = paced.sent
        # The launcher paints after the last chunk, then waits in its next read.
        time.sleep(0.3)
        desktop.screenshot(shot)
        click_close_box(e2e, window.x11_window)
    finally:
        paced.release()
    result = run.wait()
    # The desktop's own process ends a moment after its last program.
    desktop.wait_closed(lambda: tagged_processes(e2e.tag))

    assert re.fullmatch(r"3\.\d\d MB of %.2f MB" % (total / MIB), window.child_text(SIZE_TEXT)), repr(window)
    width, height, rows = read_rgb(shot)
    assert (width, height) == (640, 400)
    colours = {pixel for row in rows for pixel in row}
    assert len(colours) >= 8, "the screenshot is nearly uniform: %d colours" % len(colours)
    fraction = progress_bar_fraction(rows, background=rows[0][0])
    expected = (len(current) + held_at) / float(total)
    assert fraction is not None, "no partly filled progress bar in %s" % shot
    assert abs(fraction - expected) < 0.02, "bar %.3f full, %.3f of the bytes are there" % (fraction, expected)
    # The close box cancels like the button.
    assert result.log == log_of(FETCHING, VALID, downloading("new.dat", src), CANCELLED)
    assert result.exit_code == 1
    assert result.record is None, "the application was started"
