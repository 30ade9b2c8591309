"""Starting the application: exit code, command line, current directory,
a missing application, and the run log's folder and replacement."""

import shutil

import pytest

from harness import log
from harness.launcher import command_line, expected_launch_log
from harness.log import launched, terminated
from harness.wine import windows_path
from harness.windows import CAPTION, LAUNCH_FAILED_TEXT


@pytest.mark.parametrize("code", [
    7,
    0,
    # An NTSTATUS crash code: negative as a signed number, which is how it is logged.
    -1073741819,
], ids=["seven", "zero", "crash-status"])
def test_exit_code_of_application_is_returned_and_logged(e2e, code):
    result = e2e.run(exit_code=code)

    assert result.record is not None, "the application was not started"
    # Linux sees the low byte of the Windows exit code.
    assert result.exit_code == code & 0xFF
    lines = result.log_lines
    assert lines[-2:] == list(launched(code))
    assert all(lines), "empty line in the log"
    assert result.log == expected_launch_log(e2e, launched(code))


@pytest.mark.parametrize("args", [
    [],
    ["a", "b c", 'd "e"', "f"],
    # Backslashes count only in front of a quote; a trailing one stays single.
    ["x\\\"y", "c:\\dir\\", "\\\\server\\share", "end\\\\"],
    ["", "  ", "\t"],
    ["caf\u00e9", "\u03a9\u4e2d\U0001F600"],
    ["x" * 12000],
], ids=["none", "spaces-and-quotes", "backslashes", "empty-and-blank", "beyond-latin-1", "long"])
def test_application_gets_launcher_command_line_and_folder(e2e, args):
    result = e2e.run(*args)

    assert result.exit_code == 0
    assert result.record is not None, "the application was not started"
    expected = command_line(e2e.launcher_command_path, args)
    assert result.record.command_line == expected
    assert result.record.current_directory == windows_path(e2e.workdir)


@pytest.mark.parametrize("where", ["nowhere", "beside-the-launcher"])
def test_missing_application_shows_error_box_and_exits_1(e2e, where):
    e2e.remove_app()
    launcher = None
    if where == "beside-the-launcher":
        # Only the current directory counts, not the launcher's own folder.
        installed = e2e.tmp / "installed"
        installed.mkdir()
        launcher = shutil.copy(e2e.config["launcher"], installed / "Launcher.exe")
        shutil.copy(e2e.config["lumivex"], installed / "Lumivex.exe")
    run = e2e.start(launcher=launcher)

    box = e2e.answer_box(run)
    result = run.wait()

    assert box.caption == CAPTION
    assert box.text == LAUNCH_FAILED_TEXT, repr(box)
    assert box.owner == 0, "the box has an owner: %r" % box
    assert result.exit_code == 1
    assert result.record is None
    assert result.log == expected_launch_log(e2e, log.create_process_failed(2))


@pytest.mark.parametrize("existing", [False, True], ids=["created", "already-there"])
def test_launcher_folder_is_created_when_missing(e2e, existing):
    folder = e2e.workdir / "Launcher"
    if existing:
        folder.mkdir()
        (folder / "keep.txt").write_bytes(b"other content")

    result = e2e.run(exit_code=3)

    assert folder.is_dir()
    assert result.exit_code == 3
    assert result.log == expected_launch_log(e2e, launched(3))
    # The directory line is written before the log is open, to the output the
    # launcher was started with; under Wine that is the run's stdout.
    created = log.created_directory(folder).encode()
    if existing:
        assert (folder / "keep.txt").read_bytes() == b"other content"
        assert created not in result.stdout
    else:
        assert created + b"\r\n" in result.stdout


def test_second_run_replaces_the_log(e2e):
    # The first run's log is the longer one, so a log written over it in
    # place would keep a tail of it.
    first = e2e.run(exit_code=1234567890)
    assert terminated(1234567890).encode() in first.log

    second = e2e.run(exit_code=7)

    assert b"1234567890" not in second.log
    assert second.log == expected_launch_log(e2e, launched(7))


def test_large_stale_log_is_truncated(e2e):
    stale = b"[ OK ] stale line of an earlier run\r\n" * 2000
    (e2e.workdir / log.PATH).parent.mkdir()
    (e2e.workdir / log.PATH).write_bytes(stale)

    result = e2e.run(exit_code=4)

    assert result.log == expected_launch_log(e2e, launched(4))
