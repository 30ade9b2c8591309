"""A cut connection costs only what was missing: a file's transfer the
network cut is retried within the run and resumed (Range and If-Range), and
what a failed run received is resumed by the next one."""

import time

import pytest

from harness.log import (CANCELLED, FETCHING, VALID, downloading, failed_to_download, fetching_again, launched, log_of,
                         refused_resume, resuming, retry_waits, retrying, staged_earlier)
from harness.server import MANIFEST_PATH, Paced, Ranged, file_entry, manifest_xml
from harness.windows import poll
from e2e_update import failed_run, pattern, press_key

MIB = 1 << 20
SRC = "/files/game.pak"
CUT = 12030  # ERROR_INTERNET_CONNECTION_ABORTED: a body short of its length
REFUSED = 12152  # ERROR_HTTP_INVALID_SERVER_RESPONSE: a resumed request neither resumed nor answered whole
GONE = {1: "drop", 2: "drop", 3: "drop"}  # a server that went away after the first answer


def release(e2e, server, data, answer):
    src = server.url(SRC)
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("game.pak", data, src)])
    e2e.site[SRC] = answer
    return src


def transfers(server):
    return [(r.header("Range"), r.header("If-Range"), r.status, r.bytes_sent) for r in server.requests_for(SRC)]


def test_a_cut_is_retried_and_resumed_within_the_run(e2e, server):
    data = pattern(16 * MIB, 1)
    src = release(e2e, server, data, Ranged(data, cuts=[8 * MIB]))

    result = e2e.run(exit_code=0, timeout=60)

    assert result.log == log_of(FETCHING, VALID, downloading("game.pak", src), failed_to_download(src, CUT),
                                retrying(src, CUT, retry_waits(e2e.config)[0]), resuming("game.pak", 8 * MIB), launched(0))
    assert transfers(server) == [(None, None, 200, 8 * MIB), ("bytes=%d-" % (8 * MIB), '"v1"', 206, 8 * MIB)]
    assert (e2e.workdir / "game.pak").read_bytes() == data


def test_every_answer_cut_fails_then_the_next_run_fetches_only_what_is_missing(e2e, server):
    data = pattern(16 * MIB, 2)
    answer = Ranged(data, cuts=[2 * MIB] * 4)
    src = release(e2e, server, data, answer)

    first = failed_run(e2e)

    lines = [FETCHING, VALID, downloading("game.pak", src)]
    for attempt in range(4):
        if attempt:
            lines.append(resuming("game.pak", attempt * 2 * MIB))
        lines.append(failed_to_download(src, CUT))
        if attempt < 3:
            lines.append(retrying(src, CUT, retry_waits(e2e.config)[attempt]))
    assert first.log == log_of(*lines)
    assert [t[3] for t in transfers(server)] == [2 * MIB] * 4
    assert not (e2e.workdir / "game.pak").exists()

    earlier = len(server.requests_for(SRC))
    again = e2e.run(exit_code=0, timeout=60)

    assert again.log == log_of(FETCHING, VALID, downloading("game.pak", src), resuming("game.pak", 8 * MIB),
                               launched(0))
    assert transfers(server)[earlier:] == [("bytes=%d-" % (8 * MIB), '"v1"', 206, 8 * MIB)]
    assert (e2e.workdir / "game.pak").read_bytes() == data


def test_a_server_that_ignores_the_range_is_read_again_from_the_start(e2e, server):
    data = pattern(4 * MIB, 3)
    src = release(e2e, server, data, Ranged(data, cuts=[MIB], ranges=False))

    result = e2e.run(exit_code=0, timeout=60)

    assert result.log == log_of(FETCHING, VALID, downloading("game.pak", src), failed_to_download(src, CUT),
                                retrying(src, CUT, retry_waits(e2e.config)[0]), resuming("game.pak", MIB), launched(0))
    assert transfers(server) == [(None, None, 200, MIB), ("bytes=%d-" % MIB, '"v1"', 200, 4 * MIB)]
    assert (e2e.workdir / "game.pak").read_bytes() == data


def test_a_new_validator_between_runs_starts_again_from_zero(e2e, server):
    data = pattern(4 * MIB, 4)
    answer = Ranged(data, cuts=[MIB // 2] * 4)
    src = release(e2e, server, data, answer)
    failed_run(e2e)
    kept = 4 * (MIB // 2)

    answer.etag = '"v2"'  # uploaded again since: the partial copy may be of other bytes
    earlier = len(server.requests_for(SRC))
    again = e2e.run(exit_code=0, timeout=60)

    assert again.log == log_of(FETCHING, VALID, downloading("game.pak", src), resuming("game.pak", kept),
                               launched(0))
    assert transfers(server)[earlier:] == [("bytes=%d-" % kept, '"v1"', 200, 4 * MIB)]
    assert (e2e.workdir / "game.pak").read_bytes() == data


def test_cancel_answers_during_the_wait_between_attempts(e2e, server):
    data = pattern(4 * MIB, 5)
    # Every answer cut at once: the run spends its time waiting to retry.
    src = release(e2e, server, data, Ranged(data, cuts=[0] * 4))

    run = e2e.start(timeout=30, watch=True)
    xid = run.watch.wait_for(run=run)
    poll(lambda: server.requests_for(SRC), 10, "the file was never requested", run)
    time.sleep(retry_waits(e2e.config)[0] / 2)
    pressed = time.monotonic()
    press_key(e2e, xid, "Escape")
    result = run.wait()

    assert run.ended - pressed < 1.5, "the run ended %.1f s after the cancel" % (run.ended - pressed)
    assert result.log.startswith(log_of(FETCHING, VALID, downloading("game.pak", src), failed_to_download(src, CUT)))
    assert CANCELLED.encode() in result.log
    assert result.exit_code == 1 and result.record is None, "the application was started"
    assert len(server.requests_for(SRC)) < 4
    assert not (e2e.workdir / "game.pak").exists()


# What arrived goes only when the server or the digest says it is not this
# content. (id, the answer of a first run that fails, or None; the answer of
# the run that completes; that run's requests; its log lines between
# "Downloading" and the launch, given the URL and the retry waits.)
KEPT = [
    ("server-gone-after-a-cut", lambda d, other: Ranged(d, cuts=[4 * MIB], refuse=GONE), lambda d: Ranged(d),
     [("bytes=%d-" % (4 * MIB), '"v1"', 206, 4 * MIB)], lambda src, waits: [resuming("game.pak", 4 * MIB)]),
    # No validator: the Range stands alone, and the digest finds bytes of two uploads.
    ("no-validator-content-changed", lambda d, other: Ranged(other, etag=None, cuts=[2 * MIB], refuse=GONE),
     lambda d: Ranged(d, etag=None), [("bytes=%d-" % (2 * MIB), None, 206, 6 * MIB), (None, None, 200, 8 * MIB)],
     lambda src, waits: [resuming("game.pak", 2 * MIB), fetching_again("game.pak")]),
    ("no-validator-within-a-run", None, lambda d: Ranged(d, etag=None, cuts=[2 * MIB]),
     [(None, None, 200, 2 * MIB), ("bytes=%d-" % (2 * MIB), None, 206, 6 * MIB)],
     lambda src, waits: [failed_to_download(src, CUT), retrying(src, CUT, waits[0]), resuming("game.pak", 2 * MIB)]),
    # A server in trouble says nothing against the bytes kept: waited for, then resumed.
    ("503-to-a-resumed-request", None, lambda d: Ranged(d, cuts=[2 * MIB], refuse={1: 503}),
     [(None, None, 200, 2 * MIB), ("bytes=%d-" % (2 * MIB), '"v1"', 503, 7),
      ("bytes=%d-" % (2 * MIB), '"v1"', 206, 6 * MIB)],
     lambda src, waits: [failed_to_download(src, CUT), retrying(src, CUT, waits[0]), resuming("game.pak", 2 * MIB),
                         refused_resume(src, 503), retrying(src, REFUSED, waits[1]), resuming("game.pak", 2 * MIB)]),
    # Range not satisfiable: from the start at once, no retry spent on it.
    ("416-starts-afresh-at-once", None, lambda d: Ranged(d, cuts=[2 * MIB], refuse={1: 416}),
     [(None, None, 200, 2 * MIB), ("bytes=%d-" % (2 * MIB), '"v1"', 416, 7), (None, None, 200, 8 * MIB)],
     lambda src, waits: [failed_to_download(src, CUT), retrying(src, CUT, waits[0]), resuming("game.pak", 2 * MIB),
                         refused_resume(src, 416)]),
]


@pytest.mark.parametrize("first,answer,requests,lines", [row[1:] for row in KEPT], ids=[row[0] for row in KEPT])
def test_what_arrived_is_dropped_only_for_other_content(e2e, server, first, answer, requests, lines):
    data = pattern(8 * MIB, 6)
    if first is not None:
        src = release(e2e, server, data, first(data, pattern(8 * MIB, 7)))
        failed_run(e2e)
    src = release(e2e, server, data, answer(data))
    earlier = len(server.requests_for(SRC))

    result = e2e.run(exit_code=0, timeout=60)

    assert result.log == log_of(FETCHING, VALID, downloading("game.pak", src), lines(src, retry_waits(e2e.config)),
                                launched(0))
    assert transfers(server)[earlier:] == requests
    assert (e2e.workdir / "game.pak").read_bytes() == data


def test_what_arrived_whole_outlives_a_failed_and_then_a_cancelled_run(e2e, server):
    first = pattern(64 * 1024, 8)
    data = pattern(4 * MIB, 9)
    first_src = server.url("/files/first.pak")
    src = server.url(SRC)
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("first.pak", first, first_src),
                                            file_entry("game.pak", data, src)])
    e2e.site["/files/first.pak"] = pattern(64 * 1024, 10)  # wrong: the run fails after game.pak arrived
    e2e.site[SRC] = Ranged(data)
    failed_run(e2e)

    # Cancelled while the first entry trickles: every later entry is cancelled too.
    trickle = Paced(first, chunk=1024, delay=0.05)
    e2e.site["/files/first.pak"] = trickle
    run = e2e.start(timeout=30, watch=True)
    try:
        xid = run.watch.wait_for(run=run)
        assert trickle.started.wait(10), "the first entry was never requested"
        press_key(e2e, xid, "Escape")
        cancelled = run.wait()
    finally:
        trickle.abort()
    assert CANCELLED.encode() in cancelled.log and cancelled.exit_code == 1

    e2e.site["/files/first.pak"] = first
    fetched = len(server.requests_for(SRC))
    result = e2e.run(exit_code=0, timeout=30)

    assert result.log == log_of(FETCHING, VALID, downloading("first.pak", first_src), staged_earlier("game.pak"),
                                launched(0))
    assert len(server.requests_for(SRC)) == fetched == 1
    assert (e2e.workdir / "game.pak").read_bytes() == data

