"""Only one launcher runs at a time: a second copy exits with 1 at once and
leaves the first, and every working folder, alone."""

import time

from harness.launcher import expected_launch_log
from harness.log import CHILD_CREATED, launched
from harness.windows import poll


def wait_until_waiting(e2e, run, timeout=15.0):
    """Returns once the application runs and the launcher has logged that it waits for it."""
    poll(run.record, timeout, "the first launcher's application did not start", run, interval=0.02)
    # The line follows the start of the application; a log that is only
    # written at exit never gets it, hence the short limit.
    settle = time.monotonic() + 1.0
    while CHILD_CREATED.encode() not in (e2e.log_bytes() or b"") and time.monotonic() < settle:
        time.sleep(0.02)


def test_second_instance_exits_1_at_once_and_first_runs_on(e2e):
    first = e2e.start(exit_code=5, sleep_ms=3500)
    wait_until_waiting(e2e, first)
    log_path = e2e.log_path
    log_before = log_path.read_bytes()
    stamp_before = log_path.stat().st_mtime_ns

    # One in the same working folder (same log), one in a fresh folder.
    other = e2e.tmp / "other"
    other.mkdir()
    (other / "Lumivex.exe").write_bytes(e2e.app_path.read_bytes())
    second = e2e.start("second", exit_code=9, timeout=10)
    second_result = second.wait()
    third = e2e.start("third", exit_code=9, timeout=10, cwd=other)
    third_result = third.wait()
    first_still_running = first.running

    for result in (second_result, third_result):
        assert result.exit_code == 1
        assert result.duration < 5, "a second instance took %.1f s to give up" % result.duration
        assert result.record is None, "a second instance started the application"
        assert result.stdout == b""
    assert log_path.read_bytes() == log_before, "the second instance touched the log"
    assert log_path.stat().st_mtime_ns == stamp_before, "the second instance rewrote the log"
    assert not (other / "Launcher").exists(), "the second instance opened a run log"
    assert first_still_running, "the first launcher ended before the second instances were done"

    first_result = first.wait()
    assert first_result.exit_code == 5
    assert first_result.log == expected_launch_log(e2e, launched(5))
    assert first_result.record.command_line == '"%s"' % e2e.launcher_command_path
    # No manifest was fetched for the instances that gave up.
    assert len(e2e.server.manifest_requests()) <= 1
