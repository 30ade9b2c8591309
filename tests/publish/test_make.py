import hashlib
import os
import sys
import urllib.parse

import pytest

from conftest import build, read_manifest, run

posix_only = pytest.mark.skipif(sys.platform == "win32", reason="name or symlink not creatable on Windows")

# (path, content, src suffix expected after the base URL), in the expected manifest order:
# case-insensitive first, so "A.txt" sorts between "100%.txt" and "amp&'q.txt".
RELEASE = [
    ("100%.txt", b"%", "100%25.txt"),
    ("A.txt", b"upper", "A.txt"),
    ("amp&'q.txt", b"&", "amp%26%27q.txt"),
    ("b.txt", b"lower", "b.txt"),
    ("data/empty.bin", b"", "data/empty.bin"),
    ("data/launcher/keep.txt", b"only the top-level Launcher/ is the launcher's", "data/launcher/keep.txt"),
    ("data/levels/one.dat", b"0123456789", "data/levels/one.dat"),
    ("hash#1.txt", b"#", "hash%231.txt"),
    ("Lumivex.exe", b"MZ" + bytes(range(256)) * 64, "Lumivex.exe"),
    ("with space.txt", b" ", "with%20space.txt"),
    ("\u00fcn\u00ef/\u30d5\u30a1\u30a4\u30eb.bin", b"\xff\x00",
     "%C3%BCn%C3%AF/%E3%83%95%E3%82%A1%E3%82%A4%E3%83%AB.bin"),
]


@pytest.mark.parametrize("base, launcher", [("http://example.invalid/rel", "Launcher"),
                                            ("https://example.invalid/rel/", "lAUNCHER")])
def test_make_lists_every_file(tmp_path, base, launcher):
    build(tmp_path / "rel", {p: data for p, data, _ in RELEASE})
    build(tmp_path / "rel", {launcher + "/log.txt": b"log", launcher + "/manifest.xml": b"<update/>"})
    out = tmp_path / "out.xml"
    result = run("make", tmp_path / "rel", "--base-url", base, "-o", out)
    assert result.returncode == 0, result.stderr
    assert launcher + "/" in result.stderr and "%d files" % len(RELEASE) in result.stdout
    prefix = base.rstrip("/") + "/"
    expected = [{"path": p, "size": len(data), "md5": hashlib.md5(data).hexdigest(),
                 "sha256": hashlib.sha256(data).hexdigest(), "src": prefix + src}
                for p, data, src in RELEASE]
    assert read_manifest(out) == expected


def test_default_output_inside_release_is_left_out_and_stable(tmp_path):
    build(tmp_path, {"a.txt": b"a", "sub/b.txt": b"b"})
    # The same serial: by default it is the time, which may tick between runs.
    first = run("make", ".", "--base-url", "http://example.invalid/", "--serial", "1", cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    manifest = (tmp_path / "manifest.xml").read_bytes()
    second = run("make", ".", "--base-url", "http://example.invalid/", "--serial", "1", cwd=tmp_path)
    assert second.returncode == 0, second.stderr
    assert "manifest.xml" in second.stderr, "the tool should say it left the manifest out"
    assert [f["path"] for f in read_manifest(tmp_path / "manifest.xml")] == ["a.txt", "sub/b.txt"]
    assert (tmp_path / "manifest.xml").read_bytes() == manifest
    assert sorted(os.listdir(tmp_path)) == ["a.txt", "manifest.xml", "sub"], "temp file left behind"


@posix_only
def test_symlink_inside_release_is_followed(tmp_path):
    build(tmp_path / "rel", {"data/one.dat": b"12345"})
    os.symlink("data/one.dat", tmp_path / "rel" / "link.dat")
    os.symlink("data", tmp_path / "rel" / "linked")
    result = run("make", tmp_path / "rel", "--base-url", "http://x.invalid/", "-o", tmp_path / "m.xml")
    assert result.returncode == 0, result.stderr
    files = read_manifest(tmp_path / "m.xml")
    assert [f["path"] for f in files] == ["data/one.dat", "link.dat", "linked/one.dat"]
    assert {f["md5"] for f in files} == {hashlib.md5(b"12345").hexdigest()}


def symlink_outside(rel):
    (rel.parent / "secret.txt").write_bytes(b"not part of the release")
    os.symlink(rel.parent / "secret.txt", rel / "secret.txt")


def symlink_loop(rel):
    os.symlink("..", rel / "data" / "loop")


def bad_utf8_name(rel):
    with open(os.path.join(os.fsencode(rel), b"caf\xe9.txt"), "wb"):
        pass


# (files, extra setup, text the error must contain)
REFUSALS = {
    "colon": ({"a:b.txt": b""}, None, "a:b.txt: "),
    "question mark": ({"what?.txt": b""}, None, "what?.txt: "),
    "backslash": ({"back\\slash.txt": b""}, None, "back\\slash.txt: "),
    "control char": ({"tab\there.txt": b""}, None, "tab\there.txt: "),
    "trailing dot": ({"dir./x.txt": b""}, None, "dir./x.txt: "),
    "trailing space": ({"x.txt ": b""}, None, "x.txt : "),
    "device name": ({"sub/CON.txt": b""}, None, "sub/CON.txt: "),
    "case collision": ({"Readme.txt": b"1", "README.txt": b"2"}, None, "Readme.txt"),
    "file vs folder": ({"data": b"1", "DATA/x.txt": b"2"}, None, "DATA/x.txt"),
    "launcher file": ({"LAUNCHER": b""}, None, "LAUNCHER: "),
    "not UTF-8": ({}, bad_utf8_name, "UTF-8"),
    "symlink outside": ({}, symlink_outside, "secret.txt: symlink points outside"),
    "symlink loop": ({"data/x": b""}, symlink_loop, "data/loop: symlink loop"),
    "empty": ({}, None, "no files"),
    "only Launcher/": ({"Launcher/log.txt": b""}, None, "no files"),
}


@posix_only
@pytest.mark.parametrize("files, setup, offender", REFUSALS.values(), ids=list(REFUSALS))
def test_refusal_writes_nothing(tmp_path, files, setup, offender):
    rel, out = tmp_path / "rel", tmp_path / "out"
    rel.mkdir()
    out.mkdir()
    build(rel, files if offender == "no files" else dict(files, **{"fine.txt": b"ok"}))
    if setup:
        setup(rel)
    (out / "manifest.xml").write_bytes(b"previous")
    result = run("make", rel, "--base-url", "http://x.invalid/", "-o", out / "manifest.xml")
    assert result.returncode == 1, result.stdout + result.stderr
    assert offender in result.stderr
    assert "fine.txt" not in result.stderr, "only offending files should be named"
    assert os.listdir(out) == ["manifest.xml"] and (out / "manifest.xml").read_bytes() == b"previous"


@posix_only
def test_files_of_4_gib_and_more_are_listed(tool, tmp_path):
    # The launcher takes sizes up to 2^63-1; sparse, so that nothing is written or read.
    with open(tmp_path / "big.bin", "wb") as f:
        f.truncate(4 * 2**30)
    assert [(rel, size) for rel, _, size in tool.scan(str(tmp_path), "")] == [("big.bin", 4 * 2**30)]


@pytest.mark.parametrize("base", ["ftp://x.invalid/rel/", "x.invalid/rel/", "http:///rel/",
                                  "http://x.invalid/a b/", "http://x.invalid/?v=1"])
def test_bad_base_url_is_a_usage_error(tmp_path, base):
    build(tmp_path / "rel", {"a.txt": b"a"})
    result = run("make", tmp_path / "rel", "--base-url", base, "-o", tmp_path / "m.xml")
    assert result.returncode == 2 and "--base-url" in result.stderr
    assert not (tmp_path / "m.xml").exists()


# Which manifest paths are refused: test_path_rule.py, one table with the launcher.


def md5(data):
    return hashlib.md5(data).hexdigest()


# (path, bytes in release 1, bytes in release 2, name its src ends in); None: not in that release.
ADDRESSED = [
    ("Lumivex.exe", b"MZ 1", b"MZ 2", "Lumivex.exe"),  # changed: stored beside the old one
    ("data/one.dat", b"same", b"same", "one.dat"),
    ("data/copy/one.dat", b"same", b"same", "one.dat"),  # same bytes, same name: stored once
    ("docs/Readme.txt", b"read me", None, "Readme.txt"),
    ("docs/README.txt", None, b"read me", "Readme.txt"),  # only the case differs: the stored one serves
    ("\u00fcn\u00ef code.txt", b"\xff", b"\xff", "%C3%BCn%C3%AF%20code.txt"),
]


def stored_files(site):
    return {p.relative_to(site).as_posix(): p.stat() for p in (site / "files").rglob("*") if p.is_file()}


def test_content_addressed_releases_share_one_folder(tmp_path):
    site, base = tmp_path / "site", "https://cdn.example.invalid/u/"
    site.mkdir()
    previous, expected_store = {}, set()
    for release in (1, 2):
        files = {row[0]: row[release] for row in ADDRESSED if row[release] is not None}
        build(tmp_path / ("rel%d" % release), files)
        result = run("make", tmp_path / ("rel%d" % release), "--content-addressed", "--base-url", base,
                     "-o", site / "manifest.xml", "--serial", release)
        assert result.returncode == 0, result.stderr
        rows = sorted((r for r in ADDRESSED if r[release] is not None), key=lambda r: (r[0].lower(), r[0]))
        assert [(f["path"], f["src"]) for f in read_manifest(site / "manifest.xml")] == \
            [(r[0], "%sfiles/%s/%s" % (base, md5(r[release]), r[3])) for r in rows]
        expected_store |= {"files/%s/%s" % (md5(r[release]), urllib.parse.unquote(r[3])) for r in rows}
        stored = stored_files(site)
        assert set(stored) == expected_store, "only new files are added, nothing else is left behind"
        for name in stored:
            assert md5((site / name).read_bytes()) == name.split("/")[1]
        for name, before in previous.items():  # reused, never rewritten
            assert (stored[name].st_ino, stored[name].st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
        assert sorted(os.listdir(site)) == ["files", "manifest.xml"]
        previous = stored
    assert "1 new files" in result.stdout and "3 already there" in result.stdout, result.stdout


def manifest_inside_release(tmp_path):
    return tmp_path / "rel" / "manifest.xml"


def stored_with_other_bytes(tmp_path):
    build(tmp_path / "site", {"files/%s/a.txt" % md5(b"a"): b"other"})
    return tmp_path / "site" / "manifest.xml"


@pytest.mark.parametrize("setup, status, message", [
    (manifest_inside_release, 2, "outside RELEASE_DIR"),
    (stored_with_other_bytes, 1, "must never change"),
], ids=["manifest inside release", "stored file of other bytes"])
def test_content_addressed_refusal_writes_nothing(tmp_path, setup, status, message):
    build(tmp_path / "rel", {"a.txt": b"a"})
    (tmp_path / "site").mkdir()
    out = setup(tmp_path)
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    result = run("make", tmp_path / "rel", "--content-addressed", "--base-url", "http://x.invalid/", "-o", out)
    assert result.returncode == status and message in result.stderr, result.stderr
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before
