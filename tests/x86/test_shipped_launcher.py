"""The shipped 32-bit Launcher.exe end to end: the two ordinary runs users
see, an up-to-date installation and one stale file."""

import hashlib
import shutil

from x86_server import MANIFEST_PATH, Content, manifest_xml

AGENT = "Launcher.Quorval"


def install(config, workdir, files):
    """The application's folder: Lumivex.exe plus files (relative path -> bytes)."""
    shutil.copyfile(config["lumivex"], workdir / "Lumivex.exe")
    for path, data in files.items():
        target = workdir / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return (workdir / "Lumivex.exe").read_bytes()


def expected_log(*lines):
    return ("\r\n".join(lines) + "\r\n").encode("latin-1")


def check_requests(server, run, expected):
    context = run.describe(server)
    assert server.requested() == [("GET", path) for path in expected], context
    for request in server.requests:
        assert request["user_agent"] == AGENT, context
        assert request["cookie"] is None, context


def check_launched(run, server, args_text, workdir):
    context = run.describe(server)
    record = run.record
    assert record is not None, "Lumivex.exe did not run\n" + context
    command_line, directory = record[0], record[1]
    program, _, arguments = command_line.partition(".exe\" ")
    assert program.startswith('"') and program.lower().endswith("\\launcher"), \
        "the application's command line must start with the launcher's own path: %r\n%s" \
        % (command_line, context)
    assert arguments == args_text, \
        "the application must get the launcher's arguments unchanged: %r\n%s" % (command_line, context)
    assert directory.lower() == ("z:" + str(workdir).replace("/", "\\")).lower(), context


def test_every_file_current_starts_the_application_with_its_arguments(x86_config, server, launch, tmp_path):
    lumivex = install(x86_config, tmp_path, {})
    manifest = manifest_xml([("Lumivex.exe", lumivex, server.url("/files/Lumivex.exe"))])
    server.serve({MANIFEST_PATH: Content(manifest), "/files/Lumivex.exe": Content(lumivex)})

    run = launch(tmp_path, ["one", "two three"], {"LUMIVEX_EXIT_CODE": "7"})

    context = run.describe(server)
    assert not run.timed_out, context
    assert run.exit_code == 7, "the application's exit code must be the launcher's\n" + context
    assert run.log_bytes == expected_log(
        "[ OK ] Downloading update manifest file.",
        "[ OK ] Update manifest file is valid.",
        "[ OK ] Backup of update manifest created.",
        "[ OK ] No update required.",
        "[ OK ] Child process created. Waiting for termination...",
        "[ OK ] Child process terminated with exit code: 7",
    ), context
    assert run.windows_seen == {}, "no window may open when nothing is stale\n" + context
    check_launched(run, server, 'one "two three"', tmp_path)
    check_requests(server, run, [MANIFEST_PATH])
    for name in ("manifest.xml", "manifest_backup.xml"):
        assert (tmp_path / "Launcher" / name).read_bytes() == manifest, name + "\n" + context
    assert (tmp_path / "Lumivex.exe").read_bytes() == lumivex, context


def test_one_stale_file_is_downloaded_with_the_window_then_the_application_starts(
        x86_config, server, launch, tmp_path):
    # Several 4096-byte chunks, sent in pieces a second apart so that the
    # progress window is up long enough to be seen.
    palette = b"".join(hashlib.sha256(b"palette %d" % i).digest() for i in range(700))
    lumivex = install(x86_config, tmp_path, {"data/palette.bin": b"palette of the previous release\n"})
    src = server.url("/files/palette.bin")
    manifest = manifest_xml([
        ("Lumivex.exe", lumivex, server.url("/files/Lumivex.exe")),
        ("data/palette.bin", palette, src),
    ])
    server.serve({
        MANIFEST_PATH: Content(manifest),
        "/files/Lumivex.exe": Content(lumivex),
        "/files/palette.bin": Content(palette, parts=4, pause=1.0),
    })

    run = launch(tmp_path, ["--level", "3"], {"LUMIVEX_EXIT_CODE": "3"})

    context = run.describe(server)
    assert not run.timed_out, context
    assert run.answered == [], "a message box was shown and had to be answered\n" + context
    assert (tmp_path / "data" / "palette.bin").read_bytes() == palette, \
        "the stale file must hold the served bytes\n" + context
    assert run.log_bytes == expected_log(
        "[ OK ] Downloading update manifest file.",
        "[ OK ] Update manifest file is valid.",
        "[ OK ] Backup of update manifest created.",
        '[ OK ] Downloading "data\\palette.bin" from "%s"' % src,
        "[ OK ] Child process created. Waiting for termination...",
        "[ OK ] Child process terminated with exit code: 3",
    ), context
    assert len(run.windows_seen) == 1, "the progress window must be shown during the download\n" + context
    assert run.exit_code == 3, context
    check_launched(run, server, "--level 3", tmp_path)
    # The current file is not fetched again.
    check_requests(server, run, [MANIFEST_PATH, "/files/palette.bin"])
