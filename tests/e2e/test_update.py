"""The update phase: the manifest with its backup and fallback, files that
are current or stale, downloads and their verification, failures and the
launch that follows (or not)."""

import re

import pytest

from harness.log import (FALLBACK, FALLBACK_FAILED, FETCHING, NO_UPDATE, VALID, created_directory, downloading,
                         failed_to_download, failed_to_replace, launched, log_of, staged_earlier,
                         tried_four_times)
from harness.server import (MANIFEST_PATH, Body, Drop, Paced, Redirect, Truncated, empty, file_entry, manifest_xml,
                            status)
from harness.windows import (CANCEL_BUTTON, CAPTION, SIZE_TEXT, STATUS_TEXT, UPDATE_FAILED_TEXT, is_box,
                             is_progress_window, poll)
from e2e_update import BACKUP_FILE, MANIFEST_FILE, MIB, pattern, progress_window, put, size_line

AGENT = "Launcher.Quorval"


def assert_plain_get(request):
    """The request as every transfer sends it: the agent, no cookies, no cached answers."""
    assert request.method == "GET", request.describe()
    assert request.header("User-Agent") == AGENT, request.describe()
    assert request.header("Cookie") is None, request.describe()
    assert request.header("Pragma") == "no-cache", request.describe()


def read(e2e, relative):
    path = e2e.workdir / relative
    return path.read_bytes() if path.exists() else None


def settled(server, timeout=5.0):
    """The request log once every answer has been sent in full (or given up)."""
    poll(lambda: all(r.outcome != "open" for r in server.requests), timeout,
         lambda: "the server is still answering: %s" % server.describe(), interval=0.02)
    return list(server.requests)


def current_app_manifest(e2e, server, name="app.dat", seed=1):
    """A manifest listing one file that is already on disk and current."""
    data = pattern(4000, seed)
    put(e2e.workdir, name, data)
    return manifest_xml([file_entry(name, data, server.url("/files/" + name))])


# --- nothing to do


def test_every_file_current_logs_six_lines_and_launches(e2e, server):
    app = pattern(5000, 1)
    level = pattern(300, 2)
    put(e2e.workdir, "app.dat", app)
    put(e2e.workdir, "data/level1.dat", level)
    entries = [file_entry("app.dat", app, server.url("/files/app.dat")),
               file_entry("data/level1.dat", level, server.url("/files/data/level1.dat"))]
    # The digest may be written in capitals.
    entries[1]["md5"] = entries[1]["md5"].upper()
    manifest = manifest_xml(entries)
    e2e.site[MANIFEST_PATH] = manifest

    result = e2e.run(exit_code=7, timeout=20, watch=True)

    assert result.log == log_of(FETCHING, VALID, NO_UPDATE, launched(7))
    assert len(result.log_lines) == 6
    assert result.shown == [], "a window was shown"
    assert result.exit_code == 7
    assert result.record is not None, "the application was not started"
    assert [r.path for r in server.requests] == [MANIFEST_PATH]
    assert_plain_get(server.requests[0])
    assert read(e2e, MANIFEST_FILE) == manifest
    assert read(e2e, BACKUP_FILE) == manifest
    assert read(e2e, "app.dat") == app and read(e2e, "data/level1.dat") == level


# --- stale files


def test_stale_files_are_downloaded_and_verified_then_launched(e2e, server):
    current = pattern(256 * 1024, 1)
    missing = pattern(400 * 1024, 2)
    nested = pattern(3000, 3)
    wrong = pattern(2000, 4)
    moved = pattern(1500, 5)
    put(e2e.workdir, "current.dat", current)
    put(e2e.workdir, "wrong.dat", b"an older version of the file")
    url = server.url
    entries = [file_entry("current.dat", current, url("/files/current.dat")),
               file_entry("missing.dat", missing, url("/files/missing.dat")),
               file_entry("data/levels/deep/new.dat", nested, url("/files/new.dat")),
               file_entry("wrong.dat", wrong, url("/files/wrong.dat")),
               file_entry("moved.dat", moved, url("/files/old/moved.dat"))]
    total = sum(len(d) for d in (current, missing, nested, wrong, moved))
    # Up to ten seconds of pacing, for a slow WindowProbe on a busy machine,
    # the last byte held back; released as soon as the window has been read.
    paced = Paced(missing, chunk=4096, delay=0.1, pause_after=len(missing) - 1, limit=15.0)
    # A cookie offered with the manifest must not come back with the files.
    e2e.site[MANIFEST_PATH] = Body(manifest_xml(entries), content_type="text/xml", headers=[
        ("Set-Cookie", "session=s3cr3t; Path=/; Expires=Wed, 01 Jan 2031 00:00:00 GMT")])
    e2e.site.update({"/files/missing.dat": paced, "/files/new.dat": nested, "/files/wrong.dat": wrong,
                     "/files/old/moved.dat": Redirect("/files/new/moved.dat"), "/files/new/moved.dat": moved})

    run = e2e.start(exit_code=3, timeout=30, watch=True)
    try:
        window = progress_window(e2e, run, status="Updating...",
                                 size_pattern=r"\d+\.\d\d MB of %.2f MB" % (total / MIB))
    finally:
        paced.release()
    result = run.wait()

    assert len(result.shown) == 1, "not just the progress window was shown: %r" % result.shown
    assert window.owner == 0
    assert window.child_text(CANCEL_BUTTON) == "Cancel" and window.child(CANCEL_BUTTON)["enabled"]
    shown = float(window.child_text(SIZE_TEXT).split()[0])
    # The bar starts from the current file's bytes and grows by what arrives.
    assert len(current) / MIB - 0.005 <= shown <= (len(current) + len(missing)) / MIB + 0.005
    assert result.log == log_of(
        FETCHING, VALID,
        downloading("missing.dat", url("/files/missing.dat")),
        downloading("data/levels/deep/new.dat", url("/files/new.dat")),
        created_directory(e2e.workdir / "data/levels/deep"),
        downloading("wrong.dat", url("/files/wrong.dat")),
        downloading("moved.dat", url("/files/old/moved.dat")),
        launched(3))
    assert result.exit_code == 3
    assert result.record is not None, "the application was not started"
    for name, data in (("current.dat", current), ("missing.dat", missing), ("data/levels/deep/new.dat", nested),
                       ("wrong.dat", wrong), ("moved.dat", moved)):
        assert read(e2e, name) == data, name
    assert [r.path for r in server.requests] == [
        MANIFEST_PATH, "/files/missing.dat", "/files/new.dat", "/files/wrong.dat", "/files/old/moved.dat",
        "/files/new/moved.dat"]
    for request in server.requests:
        assert_plain_get(request)


def test_application_itself_is_updated_then_started(e2e, server):
    # The downloaded program must be closed (and the old one not held) for it to start.
    program = e2e.app_path.read_bytes()
    e2e.app_path.write_bytes(program + b"an older build")
    src = server.url("/files/Lumivex.exe")
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("Lumivex.exe", program, src)])
    e2e.site["/files/Lumivex.exe"] = program

    result = e2e.run("--level", "2", exit_code=4, timeout=20)

    assert result.log == log_of(FETCHING, VALID, downloading("Lumivex.exe", src), launched(4))
    assert result.exit_code == 4
    assert result.record is not None and result.record.command_line.endswith(" --level 2")
    assert e2e.app_path.read_bytes() == program


# --- the server unreachable


def cannot_connect(e2e):
    return failed_to_download(e2e.config["manifest_url"], 12029)  # ERROR_INTERNET_CANNOT_CONNECT


@pytest.mark.parametrize("backup", ["none", "older"])
def test_unreachable_server_runs_on_with_earlier_manifest(e2e, server, backup):
    earlier = current_app_manifest(e2e, server)
    put(e2e.workdir, MANIFEST_FILE, earlier)
    if backup == "older":
        put(e2e.workdir, BACKUP_FILE, manifest_xml([file_entry("gone.dat", b"gone", server.url("/gone.dat"))]))
    server.stop()

    result = e2e.run(exit_code=0, timeout=20, watch=True)

    assert result.log == log_of(FETCHING, cannot_connect(e2e), VALID, NO_UPDATE, launched(0))
    assert result.shown == [], "a window was shown"
    assert result.exit_code == 0
    assert result.record is not None, "the application was not started"
    assert read(e2e, MANIFEST_FILE) == earlier
    assert read(e2e, BACKUP_FILE) == earlier, "the backup was not refreshed from the valid manifest"
    assert server.requests == []


@pytest.mark.parametrize("primary", [
    None,
    b"<html><body>captive portal</body></html>",
    b"",
    manifest_xml(version="2.0"),
], ids=["absent", "not-a-manifest", "empty", "other-version"])
def test_unreachable_server_falls_back_to_backup(e2e, server, primary):
    backup = current_app_manifest(e2e, server)
    put(e2e.workdir, BACKUP_FILE, backup)
    if primary is not None:
        put(e2e.workdir, MANIFEST_FILE, primary)
    server.stop()

    result = e2e.run(exit_code=5, timeout=20, watch=True)

    assert result.log == log_of(FETCHING, cannot_connect(e2e), FALLBACK, NO_UPDATE, launched(5))
    assert result.shown == [], "a window was shown"
    assert result.exit_code == 5
    assert result.record is not None, "the application was not started"
    assert read(e2e, BACKUP_FILE) == backup
    assert read(e2e, MANIFEST_FILE) == primary


@pytest.mark.parametrize("case", ["unreachable-nothing-on-disk", "unreachable-both-invalid", "error-page-no-backup"])
def test_no_usable_manifest_shows_box_without_owner(e2e, server, case):
    if case == "unreachable-both-invalid":
        put(e2e.workdir, MANIFEST_FILE, b"<update version='1.0'><file path='a'/></update>")
        put(e2e.workdir, BACKUP_FILE, b"<update")
    if case == "error-page-no-backup":
        e2e.site[MANIFEST_PATH] = status(404)
    else:
        server.stop()

    run = e2e.start(timeout=20)
    box = e2e.answer_box(run)
    result = run.wait()

    assert box.caption == CAPTION
    assert box.text == UPDATE_FAILED_TEXT, repr(box)
    assert box.owner == 0, "the box has an owner: %r" % box
    assert result.log == log_of(FETCHING, () if case == "error-page-no-backup" else cannot_connect(e2e),
                                FALLBACK_FAILED)
    assert result.exit_code == 1
    assert result.record is None, "the application was started"
    if case != "unreachable-both-invalid":
        assert read(e2e, BACKUP_FILE) is None, "an invalid manifest was kept as the backup"


# --- an invalid manifest from the server

ESCAPE_DATA = b"written outside the install folder"


def escaping_manifest(server, path):
    return manifest_xml([file_entry(path, ESCAPE_DATA, server.url("/files/escape.dat"))])


def valid_manifest_text(server):
    return manifest_xml([file_entry("x%d.dat" % i, b"x", server.url("/x")) for i in range(8)])


# (id, what the server answers, what Launcher\manifest.xml may then hold: None for no file)
INVALID_FROM_SERVER = [
    ("not-found-page", lambda s: (status(404), [status(404).data])),
    ("server-error-page", lambda s: (status(500), [status(500).data])),
    ("empty-body", lambda s: (empty(), [b""])),
    ("cut-mid-body", lambda s: (Truncated(valid_manifest_text(s), sent=len(valid_manifest_text(s)) // 2),
                                [valid_manifest_text(s)[:len(valid_manifest_text(s)) // 2]])),
    # No answer at all: the address may fail to open (no file) or read as an empty body.
    ("connection-dropped", lambda s: (Drop(), [None, b""])),
    ("other-version", lambda s: (manifest_xml(version="2.0"), [manifest_xml(version="2.0")])),
    # The launcher refuses paths that would leave the install folder.
    ("parent-path", lambda s: (escaping_manifest(s, "../escape.dat"), [escaping_manifest(s, "../escape.dat")])),
    ("parent-path-inside", lambda s: (escaping_manifest(s, "data/../../escape.dat"),
                                      [escaping_manifest(s, "data/../../escape.dat")])),
    ("parent-path-backslash", lambda s: (escaping_manifest(s, "..\\escape.dat"),
                                         [escaping_manifest(s, "..\\escape.dat")])),
]


@pytest.mark.parametrize("make", [row[1] for row in INVALID_FROM_SERVER], ids=[row[0] for row in INVALID_FROM_SERVER])
def test_invalid_manifest_from_server_keeps_backup_and_uses_it(e2e, server, make):
    backup = current_app_manifest(e2e, server)
    put(e2e.workdir, BACKUP_FILE, backup)
    answer, allowed = make(server)
    e2e.site[MANIFEST_PATH] = answer
    e2e.site["/files/escape.dat"] = ESCAPE_DATA

    result = e2e.run(exit_code=0, timeout=20, watch=True)

    assert result.log == log_of(FETCHING, FALLBACK, NO_UPDATE, launched(0))
    assert result.shown == [], "a window was shown"
    assert result.exit_code == 0
    assert result.record is not None, "the application was not started"
    assert read(e2e, BACKUP_FILE) == backup, "the backup was changed"
    # Whatever body arrived is what was judged.
    assert read(e2e, MANIFEST_FILE) in allowed
    assert server.requests_for("/files/escape.dat") == []
    assert not (e2e.tmp / "escape.dat").exists()


# --- failed updates


def failed_download_rows():
    """(id, the answer for the stale file)."""
    expected = pattern(200 * 1024, 2)
    return expected, [
        ("wrong-content", pattern(200 * 1024, 9)),
        ("not-found-page", status(404)),
        ("empty-body", empty()),
        ("cut-mid-body", Truncated(expected, sent=50000)),
        ("connection-dropped", Drop()),
    ]


EXPECTED_BAD, FAILED_DOWNLOADS = failed_download_rows()


@pytest.mark.parametrize("answer", [row[1] for row in FAILED_DOWNLOADS], ids=[row[0] for row in FAILED_DOWNLOADS])
def test_failed_download_shows_box_owned_by_progress_window(e2e, server, answer):
    good = pattern(300 * 1024, 1)
    stale = b"the stale local copy"
    put(e2e.workdir, "bad.dat", stale)
    url = server.url
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("good.dat", good, url("/files/good.dat")),
                                            file_entry("bad.dat", EXPECTED_BAD, url("/files/bad.dat"))])
    e2e.site["/files/good.dat"] = good
    e2e.site["/files/bad.dat"] = answer
    total = len(good) + len(EXPECTED_BAD)

    run = e2e.start(timeout=20)
    box = e2e.wait_for_window(CAPTION, run=run, accept=is_box)
    try:
        # Bytes count once, however often the cut file was tried.
        received = len(good) + max(r.bytes_sent for r in settled(server) if r.path == "/files/bad.dat")
        # The box's own message loop keeps the size line refreshing.
        window = progress_window(e2e, run, size_pattern=re.escape(size_line(received, total)), timeout=5)
    finally:
        e2e.answer(box, run=run)
    result = run.wait()

    assert box.caption == CAPTION
    assert box.text == UPDATE_FAILED_TEXT, repr(box)
    assert box.owner == window.hwnd, "the box is not owned by the progress window: %r" % box
    assert box.owner_caption == CAPTION
    assert window.child_text(STATUS_TEXT) == "Update failed."
    assert window.child(CANCEL_BUTTON)["enabled"], "the run counts as cancelled"
    bad = url("/files/bad.dat")
    attempts = []
    if isinstance(answer, Truncated):  # cut by the network: tried four times in all
        cut = 12030  # ERROR_INTERNET_CONNECTION_ABORTED
        attempts = tried_four_times(failed_to_download(bad, cut), bad, cut, e2e.config)
    assert result.log == log_of(FETCHING, VALID, downloading("good.dat", url("/files/good.dat")),
                                downloading("bad.dat", bad), attempts)
    assert result.exit_code == 1
    assert result.record is None, "the application was started"
    # A failed update replaces nothing: what arrived whole waits staged.
    assert read(e2e, "good.dat") is None
    assert read(e2e, "bad.dat") == stale


def test_next_run_fetches_only_what_is_still_stale(e2e, server):
    first = pattern(7000, 1)
    second = pattern(9000, 2)
    url = server.url
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("first.dat", first, url("/files/first.dat")),
                                            file_entry("second.dat", second, url("/files/second.dat"))])
    e2e.site["/files/first.dat"] = first
    e2e.site["/files/second.dat"] = b"damaged in transit"

    failed_run = e2e.start(timeout=20)
    e2e.answer_box(failed_run)
    failed = failed_run.wait()
    assert failed.exit_code == 1
    assert read(e2e, "first.dat") is None, "a failed update replaced a file"

    e2e.site["/files/second.dat"] = second
    earlier = len(server.requests)
    result = e2e.run(exit_code=0, timeout=20)

    # The first file arrived whole last time and waited staged: not fetched again.
    assert result.log == log_of(FETCHING, VALID, staged_earlier("first.dat"),
                                downloading("second.dat", url("/files/second.dat")), launched(0))
    assert [r.path for r in server.requests[earlier:]] == [MANIFEST_PATH, "/files/second.dat"]
    assert read(e2e, "first.dat") == first
    assert read(e2e, "second.dat") == second
    assert result.record is not None


def test_file_held_by_the_application_fails_update(e2e, server):
    old = b"version one, in use"
    put(e2e.workdir, "bin/held.dat", old)
    new = pattern(5000, 7)
    src = server.url("/files/held.dat")
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("bin/held.dat", new, src)])
    e2e.site["/files/held.dat"] = new
    e2e.start_app(hold="bin\\held.dat")

    run = e2e.start(timeout=20)
    # Tried again for a while first, as a scanner's hold would end.
    box = e2e.wait_for_window(CAPTION, run=run, accept=is_box, timeout=10 + e2e.config["held_retry_ms"] / 1000)
    try:
        windows = [w for w in e2e.windows(CAPTION) if is_progress_window(w)]
    finally:
        e2e.answer(box, run=run)
    result = run.wait()

    assert box.text == UPDATE_FAILED_TEXT, repr(box)
    assert len(windows) == 1 and box.owner == windows[0].hwnd, (box, windows)
    assert windows[0].child_text(STATUS_TEXT) == "Update failed."
    # Received beside it, then refused when it was to be moved into place.
    assert result.log == log_of(FETCHING, VALID, downloading("bin/held.dat", src),
                                failed_to_replace("bin/held.dat", 32))  # ERROR_SHARING_VIOLATION
    assert result.exit_code == 1
    assert result.record is None, "the application was started"
    assert read(e2e, "bin/held.dat") == old
    # The address is opened before the file, so the request was made.
    assert len(server.requests_for("/files/held.dat")) == 1
