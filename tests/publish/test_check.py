import hashlib
import os
import socket
import urllib.parse

import pytest

from conftest import build, run

RELEASE = {"Lumivex.exe": b"MZ" + bytes(range(256)) * 16, "data/one.dat": b"0123456789",
           "with space.txt": b"spaced", "hash#1.txt": b"#"}
TIMEOUT = "10"


@pytest.fixture
def published(site):
    """RELEASE published on the test server, with its manifest at site/manifest.xml."""
    build(site.root / "rel", RELEASE)
    made = run("make", site.root / "rel", "--base-url", site.url + "rel", "-o", site.root / "manifest.xml")
    assert made.returncode == 0, made.stderr
    site.manifest = site.url + "manifest.xml"
    return site


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def edit_manifest(site, old, new):
    path = site.root / "manifest.xml"
    text = path.read_text("utf-8")
    assert old in text
    path.write_text(text.replace(old, new), "utf-8")


def problem_rows(stdout):
    lines = stdout.splitlines()
    assert lines[0].split() == ["PATH", "PROBLEM", "DETAIL"], stdout
    return lines[1:-1]


def test_fresh_release_passes(published):
    result = run("check", published.manifest, "--timeout", TIMEOUT)
    assert result.returncode == 0, result.stdout + result.stderr + published.log()
    assert "all 4 files" in result.stdout
    fetched = [r.split()[1] for r in published.requests if r.endswith(" 200")]
    assert len(fetched) == 5 and "/rel/with%20space.txt" in " ".join(fetched), published.log()


def delete(site):
    (site.root / "rel" / "data" / "one.dat").unlink()


def same_size_other_bytes(site):
    (site.root / "rel" / "Lumivex.exe").write_bytes(b"ZM" + RELEASE["Lumivex.exe"][2:])


def longer(site):
    (site.root / "rel" / "with space.txt").write_bytes(b"spaced out")


def server_error(site):
    edit_manifest(site, site.url + "rel/hash%231.txt", site.url.replace("/site", "/fail500/site") + "rel/x")


def unreachable(site):
    edit_manifest(site, site.url, "http://127.0.0.1:%d/" % closed_port())


def listed_twice(site):
    line = next(l for l in (site.root / "manifest.xml").read_text("utf-8").splitlines() if "one.dat" in l)
    edit_manifest(site, "</update>", line.replace("data/one.dat\"", "DATA\\one.dat\"", 1) + "\n</update>")


# (mutation, path expected in the report, problem expected, how many rows)
PROBLEMS = {
    "missing": (delete, "data/one.dat", "missing", 1),
    "wrong digest": (same_size_other_bytes, "Lumivex.exe", "wrong digest", 1),
    "wrong size": (longer, "with space.txt", "wrong size", 1),
    "HTTP 500": (server_error, "hash#1.txt", "HTTP error 500", 1),
    "unreachable": (unreachable, "Lumivex.exe", "unreachable", 4),
    "listed twice": (listed_twice, "DATA\\one.dat", "listed twice", 1),
}


@pytest.mark.parametrize("mutate, path, problem, count", PROBLEMS.values(), ids=list(PROBLEMS))
def test_each_problem_is_reported(published, mutate, path, problem, count):
    mutate(published)
    result = run("check", published.manifest, "--timeout", TIMEOUT)
    context = result.stdout + result.stderr + published.log()
    assert result.returncode == 1, context
    rows = problem_rows(result.stdout)
    assert len(rows) == count, context
    assert any(r.startswith(path + " ") and "  %s  " % problem in r for r in rows), context
    assert "%d problem(s)" % count in result.stdout.splitlines()[-1]


def test_timeout_counts_as_unreachable(published):
    edit_manifest(published, published.url + "rel/hash%231.txt", published.url.replace("/site", "/slow/site"))
    result = run("check", published.manifest, "--timeout", "0.5")
    assert result.returncode == 1, result.stdout + result.stderr + published.log()
    assert [r.split("  ")[0] for r in problem_rows(result.stdout)] == ["hash#1.txt"]
    assert "unreachable" in result.stdout


@pytest.mark.parametrize("manifest, error", [
    (b"<update><file path='a' size='1' md5='0' src='x'><x/></file></update>", "invalid manifest"),
    (None, "HTTP error 404"),
    ("closed port", "cannot fetch"),
])
def test_unusable_manifest_exits_2(site, manifest, error):
    url = site.url + "manifest.xml"
    if manifest == "closed port":
        url = "http://127.0.0.1:%d/manifest.xml" % closed_port()
    elif manifest:
        (site.root / "manifest.xml").write_bytes(manifest)
    result = run("check", url, "--timeout", TIMEOUT)
    assert result.returncode == 2 and error in result.stderr, result.stderr + site.log()
    assert result.stdout == ""


FILE = "<file path='a/b.txt' size='3' md5='0123456789abcdef0123456789abcdef' src='http://h.invalid/b'/>"


@pytest.mark.parametrize("xml, error", [
    ("<manifest>%s</manifest>" % FILE, "root element"),
    ("<update version='2.0'>%s</update>" % FILE, "version"),
    ("<update>%s<other/></update>" % FILE, "<other>"),
    ("<update><group>%s</group></update>" % FILE, "<group>"),
    ("<update><file path='a' size='1' md5='0123456789abcdef0123456789abcdef' src='s'>%s</file></update>"
     % FILE, "inside <file>"),
    ("<update>%s</update>" % FILE.replace(" md5=", " x="), "without md5"),
    ("<update>%s</update>" % FILE.replace("a/b.txt", ""), "without path"),
    ("<update>%s</update>" % FILE.replace("a/b.txt", "..\\b.txt"), "'..'"),
    ("<update>%s</update>" % FILE.replace("a/b.txt", "C:b.txt"), "drive"),
    ("<update>%s</update>" % FILE.replace("a/b.txt", "/b.txt"), "absolute"),
    ("<update>%s</update>" % FILE.replace("'3'", "'-1'"), "size"),
    ("<update>%s</update>" % FILE.replace("'3'", "'9223372036854775808'"), "size"),
    ("<update>%s</update>" % FILE.replace("'3'", "'0x10'"), "size"),
    ("<update>%s</update>" % FILE.replace("0123456789abcdef'", "xyz'"), "md5"),
    ("<update>%s</update>" % FILE.replace("path=", "PATH='x' path="), "twice"),
    ("<update>%s" % FILE, "well-formed"),
    ("<!DOCTYPE update [<!ENTITY e 'x'>]><update>%s</update>" % FILE, "DOCTYPE"),
])
def test_launcher_rules_reject(tool, xml, error):
    with pytest.raises(tool.UsageError, match="invalid manifest") as caught:
        tool.parse_manifest(xml.encode())
    assert error in str(caught.value)


@pytest.mark.parametrize("size", ["4294967296", "9223372036854775807"])
def test_launcher_rules_accept_sizes_up_to_2_63_minus_1(tool, size):
    (entry,), _ = tool.parse_manifest(("<update>%s</update>" % FILE.replace("'3'", "'%s'" % size)).encode())
    assert entry.size == int(size)


def test_launcher_rules_accept_any_case_comments_and_text(tool):
    xml = ("<?xml version='1.0'?><!-- c --><UPDATE Version='1.0'>text<FILE PATH='a\\b.txt' SIZE='0' "
           "MD5='0123456789ABCDEF0123456789ABCDEF' SRC='http://h.invalid/b'/><!-- c --></UPDATE>")
    (entry,), serial = tool.parse_manifest(xml.encode())
    assert serial is None
    assert (entry.path, entry.size, entry.md5) == ("a\\b.txt", 0, "0123456789abcdef0123456789abcdef")


@pytest.fixture
def addressed(site):
    """RELEASE published content-addressed: site/manifest.xml beside site/files/."""
    build(site.root / "rel", RELEASE)
    made = run("make", site.root / "rel", "--content-addressed", "--base-url", site.url,
               "-o", site.root / "manifest.xml")
    assert made.returncode == 0, made.stderr
    site.manifest = site.url + "manifest.xml"
    return site


def move_stored(site, old, new):
    """Move a stored file and its src along with it: the download still matches, the address does not."""
    (site.root / new).parent.mkdir(exist_ok=True)
    os.replace(site.root / old, site.root / new)
    edit_manifest(site, site.url + urllib.parse.quote(old), site.url + urllib.parse.quote(new))


def other_md5_folder(site):
    digest = hashlib.md5(RELEASE["data/one.dat"]).hexdigest()
    move_stored(site, "files/%s/one.dat" % digest, "files/%s/one.dat" % digest[::-1])


def other_name(site):
    digest = hashlib.md5(RELEASE["hash#1.txt"]).hexdigest()
    move_stored(site, "files/%s/hash#1.txt" % digest, "files/%s/hash1.txt" % digest)


# (mutation, path expected in the report or None when all is well)
ADDRESSED_CASES = {
    "good": (None, None),
    "md5 folder of other bytes": (other_md5_folder, "data/one.dat"),
    "other name": (other_name, "hash#1.txt"),
}


@pytest.mark.parametrize("mutate, path", ADDRESSED_CASES.values(), ids=list(ADDRESSED_CASES))
def test_content_addressed_release(addressed, mutate, path):
    if mutate:
        mutate(addressed)
    result = run("check", addressed.manifest, "--timeout", TIMEOUT)
    context = result.stdout + result.stderr + addressed.log()
    fetched = [r.split()[1] for r in addressed.requests if r.endswith(" 200")]
    assert len(fetched) == 5 and all("/files/" in f for f in fetched if "manifest" not in f), context
    if path is None:
        assert result.returncode == 0 and "all 4 files" in result.stdout, context
    else:
        assert result.returncode == 1, context
        assert [r.split("  ")[:2] for r in problem_rows(result.stdout)] == [[path, "wrong src"]], context
