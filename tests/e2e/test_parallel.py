"""Several files at once (the build with LAUNCHER_PARALLEL_TRANSFERS=4): the
same run writes the same log as the one-at-a-time build, the server never
sees more than 4 requests at once, and the install stays all-or-nothing."""

import shutil

import pytest

from harness.log import CANCELLED
from harness.server import MANIFEST_PATH, Body, Paced, Ranged, file_entry, manifest_xml
from harness.windows import CAPTION, is_box
from e2e_update import pattern, press_key

MIB = 1 << 20
FILES = [("f%02d.dat" % n, pattern(40000 + 9000 * n, 20 + n)) for n in range(10)]


def slow(data):
    return Paced(data, chunk=8192, delay=0.01)


# (id, the answer for each file by number, or the default slow one; how the run ends)
CASES = [
    # One wrong body: the others still arrive, nothing is replaced.
    ("one-failing", {3: lambda data: Body(pattern(len(data), 99))}, "fails"),
    # Cut at half and resumed within the run.
    ("one-cut-and-resumed", {2: lambda data: Ranged(data, cuts=[len(data) // 2])}, "installs"),
    # Cancel while the first file waits: what the other lanes fetched stays staged.
    ("cancel-midway", {0: lambda data: Paced(data, chunk=8192, pause_after=16384)}, "cancelled"),
]
CUT_FILE = ("big.dat", pattern(3 * MIB, 40))


def files_of(case_id):
    return FILES[:2] + [CUT_FILE] + FILES[2:] if case_id == "one-cut-and-resumed" else FILES


def run_case(e2e, server, launcher, folder, case_id, answers, ending):
    folder.mkdir()
    shutil.copyfile(e2e.config["lumivex"], folder / "Lumivex.exe")
    files = files_of(case_id)
    site = {MANIFEST_PATH: manifest_xml([file_entry(path, data, server.url("/files/" + path))
                                         for path, data in files])}
    for n, (path, data) in enumerate(files):
        site["/files/" + path] = answers.get(n, slow)(data)
    server.reset(site)
    if ending == "installs":
        result = e2e.run(exit_code=0, timeout=60, cwd=folder, launcher=launcher)
        assert all((folder / path).read_bytes() == data for path, data in files)
        return result, server.most_at_once()
    run = e2e.start(timeout=60, cwd=folder, launcher=launcher, watch=ending == "cancelled")
    if ending == "cancelled":
        xid = run.watch.wait_for(run=run)
        assert site["/files/" + files[0][0]].paused.wait(15), "the first file was never requested"
        press_key(e2e, xid, "Escape")
    else:
        box = e2e.wait_for_window(CAPTION, run=run, timeout=40, accept=is_box)
        e2e.answer(box, run=run)
    result = run.wait()
    assert result.exit_code == 1 and result.record is None, "the application was started"
    assert not any((folder / path).exists() for path, _ in files), "a file was replaced"
    return result, server.most_at_once()


@pytest.mark.parametrize("answers,ending", [row[1:] for row in CASES], ids=[row[0] for row in CASES])
def test_four_at_once_log_as_one_at_a_time(e2e, server, parallel_build, request, answers, ending):
    case_id = request.node.callspec.id
    one, one_at_once = run_case(e2e, server, e2e.config["launcher"], e2e.tmp / "one", case_id, answers, ending)
    four, four_at_once = run_case(e2e, server, parallel_build["launcher"], e2e.tmp / "four", case_id, answers, ending)

    assert four.log.replace(b"\\four\\", b"\\one\\") == one.log
    assert one_at_once == 1 and 2 <= four_at_once <= 4, (one_at_once, four_at_once)
    if ending == "cancelled":
        assert CANCELLED.encode() in four.log
        # What the other lanes fetched is whole, and kept for the next run.
        staged = [p.stat().st_size for p in (e2e.tmp / "four" / "Launcher" / "staging").iterdir()]
        assert staged and set(staged) <= {len(data) for _, data in FILES[1:]}, staged
