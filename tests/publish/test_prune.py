"""prune: only files under files/<md5>/ that no kept manifest names, and only with --delete."""

import hashlib

import pytest

from conftest import build, run

# Three releases made into one folder, each manifest kept as site/mN.xml.
RELEASES = [{"a.txt": b"a1", "b.txt": b"b", "c.txt": b"c"},
            {"a.txt": b"a2", "b.txt": b"b", "c.txt": b"c"},
            {"a.txt": b"a2", "b.txt": b"b3", "c.txt": b"c"}]
UNTOUCHABLE = ["other.bin", "files/notes/readme.txt"]  # not files/<md5>/...


def stored(name, data):
    return "files/%s/%s" % (hashlib.md5(data).hexdigest(), name)


LEFTOVER = stored(".publish-x.tmp", b"c")  # what a killed make leaves: named by no manifest


@pytest.fixture
def site(tmp_path):
    site = tmp_path / "site"
    site.mkdir()
    for n, files in enumerate(RELEASES, start=1):
        build(tmp_path / ("rel%d" % n), files)
        made = run("make", tmp_path / ("rel%d" % n), "--content-addressed", "--base-url", "http://x.invalid/",
                   "-o", site / ("m%d.xml" % n))
        assert made.returncode == 0, made.stderr
    build(site, {name: b"keep" for name in UNTOUCHABLE + [LEFTOVER]})
    build(tmp_path / "plain", {"a.txt": b"a1"})
    assert run("make", tmp_path / "plain", "--base-url", "http://x.invalid/", "-o", tmp_path / "plain.xml") \
        .returncode == 0
    build(tmp_path / "elsewhere", {"z.txt": b"z"})
    assert run("make", tmp_path / "elsewhere", "--content-addressed", "--base-url", "http://x.invalid/",
               "-o", tmp_path / "elsewhere.xml").returncode == 0
    return site


def files_in(site):
    return {p.relative_to(site).as_posix() for p in site.rglob("*") if p.is_file()}


# (manifests kept, exit status, files deleted)
CASES = {
    "last one": (["site/m3.xml"], 0, {stored("a.txt", b"a1"), stored("b.txt", b"b"), LEFTOVER}),
    "last two": (["site/m3.xml", "site/m2.xml"], 0, {stored("a.txt", b"a1"), LEFTOVER}),
    "not content-addressed": (["site/m3.xml", "plain.xml"], 2, set()),
    "made for another folder": (["elsewhere.xml"], 2, set()),
}


@pytest.mark.parametrize("keep, status, deleted", CASES.values(), ids=list(CASES))
def test_prune_deletes_only_what_no_kept_manifest_names(site, keep, status, deleted):
    before = files_in(site)
    keep = [site.parent / k for k in keep]
    dry = run("prune", site, "--keep", *keep)
    assert dry.returncode == status, dry.stdout + dry.stderr
    assert files_in(site) == before, "a dry run deletes nothing"
    listed = {line.split(" ", 2)[2] for line in dry.stdout.splitlines() if line.startswith("would delete files/")}
    assert listed == deleted
    real = run("prune", site, "--keep", *keep, "--delete")
    assert real.returncode == status, real.stdout + real.stderr
    assert files_in(site) == before - deleted
    if deleted:  # a folder emptied goes with its last file
        assert not (site / stored("a.txt", b"a1")).parent.exists()
