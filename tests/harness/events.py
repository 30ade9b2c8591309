"""What happens to the files of some folders while a program runs
(inotify): names created, deleted, moved or opened, each with the moment it
was taken in. The benchmarks time a commit's stages with it; the tests see
which files a launcher run opened."""

import ctypes
import os
import select
import struct
import threading
import time
from pathlib import Path


class FolderEvents:
    """Events in one or more folders, read by a thread of its own
    (background), or while read() or wait_for() wait. A name in the first
    folder is reported as it is; one in another folder with that folder's
    path below the first ("data/level.dat")."""

    OPEN, MOVED_FROM, MOVED_TO, CREATE, DELETE = 0x20, 0x40, 0x80, 0x100, 0x200
    CHANGES = MOVED_FROM | MOVED_TO | CREATE | DELETE

    def __init__(self, folder, *more, background=False, mask=CHANGES):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify")
        self.prefixes = {}
        for path in (folder,) + more:
            wd = libc.inotify_add_watch(self.fd, os.fsencode(path), mask)
            if wd < 0:
                os.close(self.fd)
                raise OSError(ctypes.get_errno(), "inotify on %s" % path)
            below = Path(path).relative_to(folder).as_posix()
            self.prefixes[wd] = "" if below == "." else below + "/"
        self.events = []  # (time.monotonic(), mask, name)
        self.stopping = self.closed = False
        self.thread = threading.Thread(target=self._follow, daemon=True) if background else None
        if self.thread:
            self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stopping = True
        if self.thread:
            self.thread.join()
        self.drain()
        os.close(self.fd)
        self.closed = True

    def _follow(self):
        while not self.stopping:
            self.read(0.05)
        self.read(0)

    def read(self, timeout):
        """The events that came within timeout (none: an empty list)."""
        if not select.select([self.fd], [], [], timeout)[0]:
            return []
        now, data, new = time.monotonic(), os.read(self.fd, 65536), []
        position = 0
        while position + 16 <= len(data):
            wd, mask, _, length = struct.unpack_from("iIII", data, position)
            name = data[position + 16:position + 16 + length].rstrip(b"\0").decode(errors="replace")
            new.append((now, mask, self.prefixes.get(wd, "?/") + name))
            position += 16 + length
        self.events += new
        return new

    def drain(self):
        """Every event taken in, those still queued included."""
        while not self.closed and self.read(0):
            pass
        return self.events

    def wait_for(self, test, until, going):
        """The moment of the first event for which test(mask, name) holds, or
        None once past `until` or when going() is false."""
        while time.monotonic() < until and going():
            for moment, mask, name in self.read(0.02):
                if test(mask, name):
                    return moment
        return None

    def opened(self, names):
        """Which of names (paths as reported) were opened, each once, in order of first opening."""
        found = []
        for _, mask, name in self.drain():
            if mask & self.OPEN and name in names and name not in found:
                found.append(name)
        return found
