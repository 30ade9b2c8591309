"""The two ordinary runs users see, an up-to-date installation and one stale
file fetched with the window up. Marked smoke: they also run on the 32-bit
build where 32-bit code only runs emulated."""

import hashlib

import pytest

from e2e_update import put
from harness.log import FETCHING, NO_UPDATE_LINES, VALID, downloading, launched, log_of
from harness.server import MANIFEST_PATH, Paced, file_entry, manifest_xml
from harness.wine import windows_path

AGENT = "Launcher.Quorval"
pytestmark = pytest.mark.smoke


def box_grace(e2e):
    """Seconds a launcher window may stay up before it is taken for a box and answered."""
    return 10 * e2e.config["time_factor"]


def check_requests(e2e, expected):
    assert e2e.server.paths() == [("GET", path) for path in expected]
    for request in e2e.server.requests:
        assert request.header("User-Agent") == AGENT
        assert request.header("Cookie") is None


def check_launched(e2e, result, args_text):
    record = result.record
    assert record is not None, "Lumivex.exe did not run"
    program, _, arguments = record.command_line.partition(".exe\" ")
    assert program.startswith('"') and program.lower().endswith("\\launcher"), \
        "the application's command line must start with the launcher's own path: %r" % record.command_line
    assert arguments == args_text, \
        "the application must get the launcher's arguments unchanged: %r" % record.command_line
    assert record.current_directory.lower() == windows_path(e2e.workdir).lower()


def test_every_file_current_starts_the_application_with_its_arguments(e2e):
    lumivex = e2e.app_path.read_bytes()
    manifest = manifest_xml([file_entry("Lumivex.exe", lumivex, e2e.server.url("/files/Lumivex.exe"))])
    e2e.site.update({MANIFEST_PATH: manifest, "/files/Lumivex.exe": lumivex})

    run = e2e.start("one", "two three", exit_code=7, timeout=30, watch=True)
    result = run.wait(box_grace=box_grace(e2e))

    assert result.exit_code == 7, "the application's exit code must be the launcher's"
    assert result.log == log_of(NO_UPDATE_LINES, launched(7))
    assert run.windows_seen == {}, "no window may open when nothing is stale"
    check_launched(e2e, result, 'one "two three"')
    check_requests(e2e, [MANIFEST_PATH])
    for name in ("manifest.xml", "manifest_backup.xml"):
        assert (e2e.workdir / "Launcher" / name).read_bytes() == manifest, name
    assert e2e.app_path.read_bytes() == lumivex


def test_one_stale_file_is_downloaded_with_the_window_then_the_application_starts(e2e):
    # Sent in four pieces a second apart, so that the progress window is up
    # long enough to be seen.
    palette = b"".join(hashlib.sha256(b"palette %d" % i).digest() for i in range(700))
    put(e2e.workdir, "data/palette.bin", b"palette of the previous release\n")
    lumivex = e2e.app_path.read_bytes()
    src = e2e.server.url("/files/palette.bin")
    e2e.site.update({
        MANIFEST_PATH: manifest_xml([file_entry("Lumivex.exe", lumivex, e2e.server.url("/files/Lumivex.exe")),
                                     file_entry("data/palette.bin", palette, src)]),
        "/files/Lumivex.exe": lumivex,
        "/files/palette.bin": Paced(palette, chunk=-(-len(palette) // 4), delay=1.0),
    })

    run = e2e.start("--level", "3", exit_code=3, timeout=30, watch=True)
    result = run.wait(box_grace=box_grace(e2e))

    assert run.answered == [], "a message box was shown and had to be answered"
    assert (e2e.workdir / "data" / "palette.bin").read_bytes() == palette, "the stale file must hold the served bytes"
    assert result.log == log_of(FETCHING, VALID, downloading("data/palette.bin", src), launched(3))
    assert len(run.windows_seen) == 1, "the progress window must be shown during the download"
    assert result.exit_code == 3
    check_launched(e2e, result, "--level 3")
    # The current file is not fetched again.
    check_requests(e2e, [MANIFEST_PATH, "/files/palette.bin"])
