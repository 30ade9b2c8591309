"""The build that keeps a record of verified files
(LAUNCHER_REMEMBER_VERIFIED): a file unchanged since it was verified is not
read again, and every change the record can see, or a record that cannot be
trusted, leaves the run to behave as the default build's. Each case runs on
both builds with the same expectations; which listed files a run opened
(read to be digested) is seen through inotify.

The build is LAUNCHER_REMEMBER_BUILD_DIR (default build/win64-remember-test,
made by scripts/test.sh).
"""

import os
from pathlib import Path

import pytest

from harness.events import FolderEvents
from harness.log import FETCHING, NO_UPDATE, VALID, downloading, launched, log_of
from harness.server import MANIFEST_PATH, file_entry, manifest_xml
from e2e_update import pattern, put
from test_update import read

RECORD = Path("Launcher", "verified.dat")
APP, LEVEL = "app.dat", "data/level.dat"
LISTED = [APP, LEVEL]
RELEASES = {1: {APP: pattern(6000, 1), LEVEL: pattern(3000, 2)},
            2: {APP: pattern(6000, 3), LEVEL: pattern(3000, 2)}}


@pytest.fixture(params=["default", "remember"])
def launcher(request, e2e):
    """The build under test: the session's own, or the one that keeps a record."""
    if request.param == "default":
        return None
    return request.getfixturevalue("remember_build")["launcher"]


def serve(e2e, server, number):
    files = RELEASES[number]
    e2e.site.clear()
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry(name, data, server.url("/files/" + name))
                                            for name, data in files.items()])
    e2e.site.update({"/files/" + name: data for name, data in files.items()})


def run(e2e, launcher, code):
    """One run to its end: its result and the listed files it opened."""
    with FolderEvents(e2e.workdir, e2e.workdir / "data", mask=FolderEvents.OPEN) as events:
        result = e2e.start(exit_code=code, launcher=launcher).wait()
        return result, sorted(events.opened(LISTED))


def run_release(e2e, server, launcher, number, code):
    serve(e2e, server, number)
    before = len(server.requests)
    result, opened = run(e2e, launcher, code)
    fetched = [r.path[len("/files/"):] for r in server.requests[before:] if r.path != MANIFEST_PATH]
    assert result.exit_code == code, result.log
    assert all(read(e2e, name) == data for name, data in RELEASES[number].items()), "not release %d" % number
    return result, opened, fetched


# --- what each case does to the installed release 1 before the next run


def rewrite_with_new_time(e2e):
    path = e2e.workdir / APP
    written = path.stat().st_mtime_ns
    path.write_bytes(pattern(6000, 9))
    os.utime(path, ns=(written + 10**10, written + 10**10))


def replace_keeping_size_and_times(e2e):
    # Another file of the same size and times renamed over it: only its file ID (and change time) differ.
    path = e2e.workdir / APP
    old = path.stat()
    other = put(e2e.workdir, "app.new", pattern(6000, 9))
    os.utime(other, ns=(old.st_atime_ns, old.st_mtime_ns))
    os.replace(other, path)
    assert path.stat().st_ino != old.st_ino and path.stat().st_mtime_ns == old.st_mtime_ns


def damage_record(e2e):
    path = e2e.workdir / RECORD
    if path.exists():
        data = bytearray(path.read_bytes())
        data[len(data) // 2] ^= 0x01
        path.write_bytes(bytes(data))


def cut_record(e2e):
    path = e2e.workdir / RECORD
    if path.exists():
        path.write_bytes(path.read_bytes()[:-9])


def record_from_before_an_update(e2e, server, launcher):
    # Release 2 installed, then the record of release 1 put back and release 1 served again:
    # its digests match the manifest once more, but no file of release 1 is there.
    path = e2e.workdir / RECORD
    old = path.read_bytes() if path.exists() else None
    _, _, fetched = run_release(e2e, server, launcher, 2, 4)
    assert fetched == [APP]
    if old is not None:
        path.write_bytes(old)


# case: (what is done, the files then fetched, the files the recording build then reads)
CASES = {
    "unchanged": (None, [], []),
    "changed-with-a-new-time": (rewrite_with_new_time, [APP], [APP]),
    "replaced-with-same-size-and-times": (replace_keeping_size_and_times, [APP], [APP]),
    "damaged-record": (damage_record, [], LISTED),
    "record-cut-short": (cut_record, [], LISTED),
    "record-from-before-an-update": (record_from_before_an_update, [APP], [APP]),
}


@pytest.mark.parametrize("case", CASES)
def test_a_change_the_record_can_see_is_checked_as_without_one(e2e, server, launcher, case):
    change, fetched_then, read_then = CASES[case]
    remembers = launcher is not None
    for name, data in RELEASES[1].items():
        put(e2e.workdir, name, data)
    result, opened, fetched = run_release(e2e, server, launcher, 1, 3)
    assert result.log == log_of(FETCHING, VALID, NO_UPDATE, launched(3))
    assert opened == LISTED and fetched == []
    assert (e2e.workdir / RECORD).exists() == remembers

    if change is record_from_before_an_update:
        change(e2e, server, launcher)
    elif change is not None:
        change(e2e)
    result, opened, fetched = run_release(e2e, server, launcher, 1, 5)

    lines = [downloading(name, server.url("/files/" + name)) for name in fetched_then]
    assert result.log == log_of(FETCHING, VALID, *(lines or [NO_UPDATE]), launched(5))
    assert fetched == fetched_then
    # The default build reads every file; the recording one only what it could not recall.
    assert opened == (read_then if remembers else LISTED)

    # Whatever the record held, it now describes the install: the next start reads nothing.
    result, opened, fetched = run_release(e2e, server, launcher, 1, 6)
    assert result.log == log_of(FETCHING, VALID, NO_UPDATE, launched(6))
    assert fetched == [] and opened == ([] if remembers else LISTED)


def test_an_update_digests_and_fetches_only_the_changed_file_and_is_remembered(e2e, server, remember_build):
    launcher = remember_build["launcher"]
    for name, data in RELEASES[1].items():
        put(e2e.workdir, name, data)
    run_release(e2e, server, launcher, 1, 3)

    result, opened, fetched = run_release(e2e, server, launcher, 2, 4)
    assert result.log == log_of(FETCHING, VALID, downloading(APP, server.url("/files/" + APP)), launched(4))
    assert fetched == [APP] and opened == [APP]

    # Recorded after the commit: the new file is not read again.
    result, opened, fetched = run_release(e2e, server, launcher, 2, 5)
    assert result.log == log_of(FETCHING, VALID, NO_UPDATE, launched(5))
    assert fetched == [] and opened == []


def test_a_record_written_by_another_build_is_read_as_none(e2e, server, remember_build, tmp_path):
    # The same program with one byte more after its end: another build as far as the record can tell.
    other = tmp_path / "other" / "Launcher.exe"
    other.parent.mkdir()
    other.write_bytes(Path(remember_build["launcher"]).read_bytes() + b"\0")
    for name, data in RELEASES[1].items():
        put(e2e.workdir, name, data)
    run_release(e2e, server, remember_build["launcher"], 1, 3)

    for launcher, reads in ((other, LISTED), (other, []), (remember_build["launcher"], LISTED)):
        result, opened, fetched = run_release(e2e, server, launcher, 1, 4)
        assert result.log == log_of(FETCHING, VALID, NO_UPDATE, launched(4))
        assert fetched == [] and opened == reads, launcher
