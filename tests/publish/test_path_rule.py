"""tools/publish refuses exactly the manifest paths the launcher refuses: one table, tests/manifest_paths.txt."""

import re
from pathlib import Path

import pytest

TABLE = Path(__file__).resolve().parents[1] / "manifest_paths.txt"


def read_rows():
    lines = TABLE.read_text(encoding="utf-8").split("\n")
    # The first and last lines wrap the table as a C++ string for the unit test.
    assert lines[0] == 'R"rows(' and lines[-2:] == [')rows"', ""], "table framing changed"
    rows = []
    for number, line in enumerate(lines[1:-2], start=2):
        if not line or line.startswith("#"):
            continue
        verdict, _, path = line.partition(" ")
        assert verdict in ("accepted", "refused"), "line %d: %r" % (number, line)
        path = re.sub(r"<U\+([0-9A-F]{4})>", lambda m: chr(int(m.group(1), 16)), path)
        rows.append(pytest.param(path, verdict == "accepted", id="%d:%s" % (number, ascii(path))))
    return rows


@pytest.mark.parametrize("path, accepted", read_rows())
def test_publish_decides_like_the_launcher(tool, path, accepted):
    assert (tool.path_problem(path) is None) == accepted
