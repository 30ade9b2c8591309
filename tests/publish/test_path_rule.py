"""tools/publish refuses exactly the manifest paths and src URLs the launcher refuses: one table,
tests/manifest_paths.txt."""

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
        verdict, _, text = line.partition(" ")
        kind, _, verdict = verdict.rpartition("-")
        assert kind in ("", "src") and verdict in ("accepted", "refused"), "line %d: %r" % (number, line)
        text = re.sub(r"<U\+([0-9A-F]{4})>", lambda m: chr(int(m.group(1), 16)), text)
        rows.append(pytest.param(kind or "path", text, verdict == "accepted",
                                 id="%d:%s" % (number, ascii(text))))
    return rows


@pytest.mark.parametrize("kind, text, accepted", read_rows())
def test_publish_decides_like_the_launcher(tool, kind, text, accepted):
    problem = tool.src_problem if kind == "src" else tool.path_problem
    assert (problem(text) is None) == accepted
