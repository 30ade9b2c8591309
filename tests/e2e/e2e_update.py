"""Helpers for the update tests: application files on disk, the progress
window's lines and buttons, and reading screenshots. The log's lines come
from harness.log, the windows are watched through harness.windows."""

import re
import subprocess
from pathlib import Path

from harness.windows import CAPTION, SIZE_TEXT, STATUS_TEXT, UPDATE_FAILED_TEXT, is_box, is_progress_window

MIB = 1048576.0

MANIFEST_FILE = Path("Launcher", "manifest.xml")
BACKUP_FILE = Path("Launcher", "manifest_backup.xml")


def failed_run(e2e, timeout=60):
    """A run whose update fails: its box answered, nothing started; the result."""
    run = e2e.start(timeout=timeout)
    box = e2e.wait_for_window(CAPTION, run=run, timeout=timeout - 10, accept=is_box)
    e2e.answer(box, run=run)
    result = run.wait()
    assert box.text == UPDATE_FAILED_TEXT, repr(box)
    assert result.exit_code == 1 and result.record is None, "the application was started"
    return result


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
