"""The install is never half-written: new content arrives beside it, bounded
by its listed size, and replaces the working files only once every stale
file has arrived whole. Install folders deeper than MAX_PATH work, and the
launcher can replace its own executable."""

import shutil
from pathlib import Path

import pytest

from harness.log import (FETCHING, NO_UPDATE, VALID, created_directory, downloading, failed_to_download, launched, log_of, resuming,
                         staged_earlier, staged_for_earlier_entry, too_large, tried_four_times)
from harness.server import MANIFEST_PATH, Body, Endless, Paced, Truncated, file_entry, manifest_xml
from e2e_update import failed_run, pattern, put

OLD = b"the working copy, which must survive whole"
STAGING = Path("Launcher", "staging")


# (id, the stale file's new content, the server's answer for it, the lines its
# failure adds to the log).
FAULTS = [
    ("endless-body", pattern(65536, 1), lambda new: Endless(), lambda url, new, config: [too_large(url, len(new))]),
    # Cut by the network (ERROR_INTERNET_CONNECTION_ABORTED): tried four times in all, each
    # later attempt asking for the rest (no validator: the digest judges), answered whole.
    ("cut-at-half", pattern(8 << 20, 2), lambda new: Truncated(new, sent=len(new) // 2),
     lambda url, new, config: tried_four_times(failed_to_download(url, 12030), url, 12030, config,
                                               [resuming("data.pak", len(new) // 2)])),
    ("error-page", pattern(4096, 3),
     lambda new: Body(b"<html><body>Service unavailable</body></html>", content_type="text/html"),
     lambda url, new, config: []),
]


def staged_sizes(workdir):
    folder = workdir / STAGING
    return [p.stat().st_size for p in folder.iterdir()] if folder.is_dir() else []


def healthy_run_completes(e2e, new):
    e2e.site["/files/data.pak"] = new
    result = e2e.run(exit_code=0, timeout=30)
    assert result.exit_code == 0 and result.record is not None, result.log
    assert (e2e.workdir / "data.pak").read_bytes() == new
    return result


@pytest.mark.parametrize("new,answer,fail_lines", [row[1:] for row in FAULTS], ids=[row[0] for row in FAULTS])
def test_a_bad_answer_leaves_the_working_file_whole(e2e, server, new, answer, fail_lines):
    put(e2e.workdir, "data.pak", OLD)
    src = server.url("/files/data.pak")
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("data.pak", new, src)])
    e2e.site["/files/data.pak"] = answer(new)

    result = failed_run(e2e, timeout=30)

    assert result.log == log_of(FETCHING, VALID, downloading("data.pak", src), fail_lines(src, new, e2e.config))
    assert (e2e.workdir / "data.pak").read_bytes() == OLD
    assert all(size <= len(new) for size in staged_sizes(e2e.workdir)), staged_sizes(e2e.workdir)

    healthy_run_completes(e2e, new)


def test_a_launcher_killed_mid_arrival_leaves_the_working_file_whole(e2e, server):
    new = pattern(8 << 20, 4)
    put(e2e.workdir, "data.pak", OLD)
    src = server.url("/files/data.pak")
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("data.pak", new, src)])
    trickle = Paced(new, chunk=256 * 1024, delay=0.01, pause_after=len(new) // 4)
    e2e.site["/files/data.pak"] = trickle

    run = e2e.start(timeout=30)
    try:
        assert trickle.paused.wait(15), "the download did not start"
        run.kill()
    finally:
        trickle.abort()
        trickle.resume()

    assert (e2e.workdir / "data.pak").read_bytes() == OLD
    assert all(size < len(new) for size in staged_sizes(e2e.workdir))
    # What arrived is asked for again from where it stopped (this server then sends it all).
    kept = max(staged_sizes(e2e.workdir), default=0)
    result = healthy_run_completes(e2e, new)
    assert result.log == log_of(FETCHING, VALID, downloading("data.pak", src),
                                [resuming("data.pak", kept)] if kept else [], launched(0))


def test_files_deeper_than_max_path_below_the_install_folder_update(e2e, server):
    # Windows' current directory itself stays below MAX_PATH; the files of a
    # deep install go beyond it.
    deep = e2e.workdir
    while len(str(deep)) < 200:
        deep = deep / ("level-" + "d" * 20)
    deep.mkdir(parents=True)
    shutil.copyfile(e2e.config["lumivex"], deep / "Lumivex.exe")
    nested = "sub/" + "n" * 80 + "/data.pak"
    new = pattern(50000, 5)
    src = server.url("/files/data.pak")
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry(nested, new, src)])
    e2e.site["/files/data.pak"] = new

    first = e2e.run(exit_code=0, timeout=30, cwd=deep)
    assert first.exit_code == 0 and first.record is not None, first.log
    assert len(str(deep / nested)) > 260
    assert (deep / nested).read_bytes() == new
    again = e2e.run(exit_code=0, timeout=30, cwd=deep)
    assert again.log == log_of(FETCHING, VALID, NO_UPDATE, launched(0))


def test_the_launcher_replaces_its_own_executable(e2e, server):
    installed = e2e.workdir / "Launcher.exe"
    shutil.copyfile(e2e.config["launcher"], installed)
    # The same program with data appended: another file, which still runs.
    rebuilt = installed.read_bytes() + b"\0release 2\0" * 1000
    src = server.url("/files/Launcher.exe")
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("Launcher.exe", rebuilt, src)])
    e2e.site["/files/Launcher.exe"] = rebuilt

    first = e2e.run(exit_code=0, timeout=30, launcher=installed)
    assert first.log == log_of(FETCHING, VALID, downloading("Launcher.exe", src), launched(0))
    assert first.record is not None, "this run carries on and starts the application"
    assert installed.read_bytes() == rebuilt

    earlier = len(server.requests)
    again = e2e.run(exit_code=0, timeout=30, launcher=installed)
    assert again.log == log_of(FETCHING, VALID, NO_UPDATE, launched(0))
    assert [r.path for r in server.requests[earlier:]] == [MANIFEST_PATH]
    # The old copy, moved aside while it ran, is gone now.
    assert staged_sizes(e2e.workdir) == []


def test_a_file_listed_twice_in_any_spelling_installs_once(e2e, server):
    # Windows takes each pair for one file: any case, either separator, beyond ASCII too.
    pairs = [("Data.bin", "data.bin"), ("sub/x.dat", "SUB\\X.DAT"), ("\u00c4.dat", "\u00e4.dat")]
    content = {}
    entries = []
    lines = []
    for n, (first, again) in enumerate(pairs):
        data = pattern(3000 + n, 10 + n)
        src = server.url("/files/%d" % n)
        e2e.site["/files/%d" % n] = data
        content[first] = data
        entries += [file_entry(first, data, src), file_entry(again, data, src)]
        lines += [downloading(first, src)] + ([created_directory(e2e.workdir / "sub")] if "/" in first else []) + [
            staged_for_earlier_entry(again)]
    e2e.site[MANIFEST_PATH] = manifest_xml(entries)

    first_run = e2e.run(exit_code=0, timeout=30)

    assert first_run.log == log_of(FETCHING, VALID, lines, launched(0))
    for path, data in content.items():
        assert (e2e.workdir / path).read_bytes() == data
    assert staged_sizes(e2e.workdir) == []
    assert [r.path for r in server.requests if r.path.startswith("/files/")] == ["/files/0", "/files/1", "/files/2"]
    assert e2e.run(exit_code=0, timeout=30).log == log_of(FETCHING, VALID, NO_UPDATE, launched(0))


# What stands where a new file must go. (id, how it is made, whether the update installs)
OBSTACLES = [
    # A folder with the user's files in it: the update fails naming it, and nothing moves.
    ("folder", lambda path: put(path, "mine.txt", b"the user's own"), False),
    # A read-only working file: replaced, and its old copy leaves nothing behind.
    ("read-only-file", lambda path: put(path.parent, path.name, OLD).chmod(0o444), True),
]


@pytest.mark.parametrize("make,installs", [row[1:] for row in OBSTACLES], ids=[row[0] for row in OBSTACLES])
def test_what_stands_in_a_targets_place(e2e, server, make, installs):
    new = pattern(20000, 9)
    src = server.url("/files/data.pak")
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("data.pak", new, src)])
    e2e.site["/files/data.pak"] = new
    make(e2e.workdir / "data.pak")

    if installs:
        result = e2e.run(exit_code=0, timeout=30)
        assert result.log == log_of(FETCHING, VALID, downloading("data.pak", src), launched(0))
        assert (e2e.workdir / "data.pak").read_bytes() == new
        assert staged_sizes(e2e.workdir) == []
        return
    for run in range(2):  # the copy that arrived waits; the next run says the same
        result = failed_run(e2e, timeout=30)
        fetched = downloading("data.pak", src) if run == 0 else staged_earlier("data.pak")
        assert result.log == log_of(FETCHING, VALID, fetched,
                                    '[FAIL] Failed to replace "data.pak": a folder is in its place (error 267).')
        assert (e2e.workdir / "data.pak" / "mine.txt").read_bytes() == b"the user's own"
        assert staged_sizes(e2e.workdir) == [len(new)]

