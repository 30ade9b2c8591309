"""A server that misbehaves: silent, endless, trickling, or redirecting in a
loop. Every run ends within the launcher's own bounds (the test build's
short ones), says why in its log, leaves the backup and every good file as
they were, and the next run against a healthy server repairs exactly what
is stale."""

import time

import pytest

from harness import log
from harness.log import CANCELLED, FALLBACK, FETCHING, NO_UPDATE, VALID, downloading, launched, log_of
from harness.server import MANIFEST_PATH, Endless, Paced, Redirect, Silent, file_entry, manifest_xml
from harness.windows import CAPTION, UPDATE_FAILED_TEXT, is_box, poll
from e2e_update import BACKUP_FILE, MANIFEST_FILE, click_cancel_button, pattern, press_key, put

STALE_SRC = "/files/stale.dat"
# Time for Wine to start and end a run around the bound itself.
SLACK = 6.0


# Each [FAIL] line with the test build's bounds.
def no_data(config, url):
    return log.no_data(url, config["stall_limit_ms"] // 1000)


def too_slow(config, url):
    return log.too_slow(url, config["manifest_deadline_ms"] // 1000)


def too_large(config, url):
    return log.too_large(url, config["manifest_size_cap"])


def loops(config, url):
    return log.too_many_redirects(url)


def stall(config):
    return config["stall_limit_ms"] / 1000.0


def deadline(config):
    return config["manifest_deadline_ms"] / 1000.0


# (id, the fault, its [FAIL] line, how long the run must at least wait (s)):
# the manifest's then fall back to the backup and launch.
MANIFEST_FAULTS = [
    ("never-answered", lambda: Silent(), no_data, stall),
    ("endless-fast", lambda: Endless(), too_large, lambda c: 0.0),
    ("endless-trickle", lambda: Endless(chunk=64, delay=0.2), too_slow, deadline),
    ("redirects-to-itself", lambda: Redirect(MANIFEST_PATH), loops, lambda c: 0.0),
]

def stalled_four_times(config):
    return 4 * stall(config) + sum(log.retry_waits(config))


# A stale file's: the update fails with the box, and the application waits. A
# silence is the network's fault, so the file is tried four times in all.
FILE_FAULTS = [
    ("never-answered", lambda: Silent(), no_data, stalled_four_times),
    ("stops-mid-body", lambda: Paced(pattern(30000, 3), chunk=4096, delay=0.01, pause_after=16384),
     no_data, stalled_four_times),
    ("redirects-to-itself", lambda: Redirect(STALE_SRC), loops, lambda c: 0.0),
]

# What the user does while a stale file's server misbehaves: Cancel answers at
# once. The stale file is listed as large enough (GiB) that an endless body at
# full speed is still arriving when Cancel is pressed.
CANCEL_DURING = [
    ("never-answered", lambda: Silent(), "Escape"),
    ("one-byte-a-second", lambda: Paced(pattern(100000, 4), chunk=1, delay=1.0), "click"),
    ("endless-fast", lambda: Endless(), "Escape"),
]
LISTED_WHILE_CANCELLING = 1 << 30


def release(e2e, server, good_data, listed_size=None):
    """A release of two files, one current on disk and one stale (listed with
    another size when listed_size says so)."""
    good = server.url("/files/good.dat")
    stale = server.url(STALE_SRC)
    new = pattern(30000, 2)
    put(e2e.workdir, "good.dat", good_data)
    put(e2e.workdir, "stale.dat", b"the old copy")
    entry = file_entry("stale.dat", new, stale)
    if listed_size is not None:
        entry["size"] = listed_size
    manifest = manifest_xml([file_entry("good.dat", good_data, good), entry])
    return manifest, new, stale


def repaired_by_next_run(e2e, server, manifest, new, stale):
    """The next run against a healthy server fetches only the stale file, then launches."""
    e2e.site[MANIFEST_PATH] = manifest
    e2e.site[STALE_SRC] = new
    earlier = len(server.requests)
    result = e2e.run(exit_code=0, timeout=20)
    assert result.log == log_of(FETCHING, VALID, downloading("stale.dat", stale), launched(0))
    assert [r.path for r in server.requests[earlier:]] == [MANIFEST_PATH, STALE_SRC]
    assert (e2e.workdir / "stale.dat").read_bytes() == new
    assert result.record is not None


def assert_took(duration, at_least):
    assert at_least * 0.95 <= duration <= at_least + SLACK, "the run took %.1f s (bound %.1f s)" % (
        duration, at_least)


@pytest.mark.parametrize("fault,fail_line,bound", [row[1:] for row in MANIFEST_FAULTS],
                         ids=[row[0] for row in MANIFEST_FAULTS])
def test_manifest_fault_falls_back_to_backup_within_bound(e2e, server, fault, fail_line, bound):
    config = e2e.config
    good = pattern(4000, 1)
    put(e2e.workdir, "app.dat", good)
    backup = manifest_xml([file_entry("app.dat", good, server.url("/files/app.dat"))])
    put(e2e.workdir, BACKUP_FILE, backup)
    e2e.site[MANIFEST_PATH] = fault()

    result = e2e.run(exit_code=0, timeout=deadline(config) + 20, watch=True)

    assert result.log == log_of(FETCHING, fail_line(config, config["manifest_url"]), FALLBACK, NO_UPDATE,
                                launched(0))
    assert_took(result.duration, bound(config))
    assert result.shown == [], "a window was shown"
    assert result.exit_code == 0 and result.record is not None, "the application was not started"
    # Nothing of the bad answer is kept where a later run could take it for a manifest.
    assert not (e2e.workdir / MANIFEST_FILE).exists()
    assert (e2e.workdir / BACKUP_FILE).read_bytes() == backup
    assert (e2e.workdir / "app.dat").read_bytes() == good
    if fail_line is loops:
        assert len(server.requests_for(MANIFEST_PATH)) == 11

    e2e.site[MANIFEST_PATH] = backup
    again = e2e.run(exit_code=0, timeout=20)
    assert again.log == log_of(FETCHING, VALID, NO_UPDATE, launched(0))


@pytest.mark.parametrize("fault,fail_line,bound", [row[1:] for row in FILE_FAULTS],
                         ids=[row[0] for row in FILE_FAULTS])
def test_file_fault_fails_update_within_bound(e2e, server, fault, fail_line, bound):
    config = e2e.config
    good_data = pattern(50000, 1)
    manifest, new, stale = release(e2e, server, good_data)
    e2e.site[MANIFEST_PATH] = manifest
    e2e.site[STALE_SRC] = lambda request: fault()  # a fresh one for every attempt

    run = e2e.start(timeout=bound(config) + 30)
    box = e2e.wait_for_window(CAPTION, run=run, timeout=bound(config) + SLACK + 5, accept=is_box)
    shown_after = time.monotonic() - run.started
    e2e.answer(box, run=run)
    result = run.wait()

    assert box.text == UPDATE_FAILED_TEXT, repr(box)
    assert_took(shown_after, bound(config))
    attempts = [fail_line(config, stale)]
    if bound is stalled_four_times:  # ERROR_INTERNET_TIMEOUT, each time
        attempts = log.tried_four_times(fail_line(config, stale), stale, 12002, config)
    assert result.log == log_of(FETCHING, VALID, downloading("stale.dat", stale), attempts)
    assert result.exit_code == 1
    assert result.record is None, "the application was started"
    assert (e2e.workdir / "good.dat").read_bytes() == good_data
    assert (e2e.workdir / BACKUP_FILE).read_bytes() == manifest

    repaired_by_next_run(e2e, server, manifest, new, stale)


@pytest.mark.parametrize("fault,action", [row[1:] for row in CANCEL_DURING], ids=[row[0] for row in CANCEL_DURING])
def test_cancel_answers_at_once_whatever_the_server_does(e2e, server, fault, action):
    good_data = pattern(50000, 1)
    manifest, new, stale = release(e2e, server, good_data)
    e2e.site[MANIFEST_PATH] = release(e2e, server, good_data, LISTED_WHILE_CANCELLING)[0]
    e2e.site[STALE_SRC] = fault()

    run = e2e.start(timeout=30, watch=True)
    xid = run.watch.wait_for(run=run)
    poll(lambda: server.requests_for(STALE_SRC), 10, "the stale file was never requested", run)
    time.sleep(1.0)  # well into the fault
    pressed = time.monotonic()
    if action == "click":
        click_cancel_button(e2e, xid)
    else:
        press_key(e2e, xid, action)
    result = run.wait()
    answered = run.ended - pressed

    # One second to notice, and Wine's own time to end the process.
    assert answered < 2.5, "the run ended %.1f s after the cancel" % answered
    assert result.log == log_of(FETCHING, VALID, downloading("stale.dat", stale), CANCELLED)
    assert result.exit_code == 1
    assert result.record is None, "the application was started"
    assert (e2e.workdir / "good.dat").read_bytes() == good_data
    assert (e2e.workdir / "stale.dat").read_bytes() == b"the old copy"

    repaired_by_next_run(e2e, server, manifest, new, stale)


def test_name_beginning_with_two_dots_stays_inside(e2e, server):
    data = pattern(3000, 5)
    src = server.url("/files/settings.ini")
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("..cfg/settings.ini", data, src)])
    e2e.site["/files/settings.ini"] = data

    result = e2e.run(exit_code=0, timeout=20)

    assert result.exit_code == 0 and result.record is not None, result.log
    assert (e2e.workdir / "..cfg" / "settings.ini").read_bytes() == data
    assert sorted(p.name for p in e2e.tmp.iterdir() if p.name.endswith("cfg")) == []
