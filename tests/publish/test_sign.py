"""keygen, sign and check --key: the publisher's half of signed manifests."""

import hashlib
import os
import stat
import sys
import time

import pytest

from conftest import build, read_manifest, run

RELEASE = {"Lumivex.exe": b"MZ" + bytes(range(256)) * 16, "data/one.dat": b"0123456789"}
TIMEOUT = "10"


@pytest.fixture
def keys(tmp_path):
    made = run("keygen", tmp_path / "release")
    assert made.returncode == 0, made.stderr
    return tmp_path / "release.key", tmp_path / "release.pub"


@pytest.fixture
def signed_site(site, keys):
    """RELEASE published and signed, with its manifest at site/manifest.xml."""
    build(site.root / "rel", RELEASE)
    manifest = site.root / "manifest.xml"
    made = run("make", site.root / "rel", "--base-url", site.url + "rel", "-o", manifest, "--serial", "5")
    assert made.returncode == 0, made.stderr
    signed = run("sign", manifest, "--key", keys[0])
    assert signed.returncode == 0, signed.stderr
    site.manifest = site.url + "manifest.xml"
    return site


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX permissions")
def test_keygen_keeps_the_private_key_to_its_owner_and_never_overwrites(tmp_path, keys):
    private, public = keys
    assert stat.S_IMODE(os.stat(private).st_mode) == 0o600
    assert public.read_bytes().startswith(b"-----BEGIN PUBLIC KEY-----")
    before = private.read_bytes()
    again = run("keygen", tmp_path / "release")
    assert again.returncode == 1 and "never overwritten" in again.stderr
    assert private.read_bytes() == before


def test_serial_is_the_time_unless_given(tmp_path):
    build(tmp_path / "rel", {"a.txt": b"a"})
    out = tmp_path / "m.xml"
    before = int(time.time())
    assert run("make", tmp_path / "rel", "--base-url", "http://h.invalid/", "-o", out).returncode == 0
    serial = int(out.read_text().split('serial="')[1].split('"')[0])
    assert before <= serial <= int(time.time())
    assert run("make", tmp_path / "rel", "--base-url", "http://h.invalid/", "-o", out, "--serial", "7") \
        .returncode == 0
    assert b'<update version="1.0" serial="7">' in out.read_bytes()
    read_manifest(out)
    if sys.platform != "win32":  # what gets uploaded must be readable by the web server, as any file
        umask = os.umask(0)
        os.umask(umask)
        assert stat.S_IMODE(os.stat(out).st_mode) == 0o666 & ~umask
    refused = run("make", tmp_path / "rel", "--base-url", "http://h.invalid/", "-o", out, "--serial", "-1")
    assert refused.returncode == 2 and "--serial" in refused.stderr


def test_signed_release_passes_check_with_its_key(signed_site, keys):
    signature = (signed_site.root / "manifest.xml.sig").read_bytes()
    assert len(signature) == 64
    result = run("check", signed_site.manifest, "--key", keys[1], "--timeout", TIMEOUT)
    assert result.returncode == 0, result.stdout + result.stderr + signed_site.log()
    assert "signature of %s verifies" % signed_site.manifest in result.stdout
    assert "all 2 files" in result.stdout


def edit_and_resign(site, keys):
    # The right signature over a sha256 that names other bytes.
    path = site.root / "manifest.xml"
    digest = hashlib.sha256(RELEASE["data/one.dat"]).hexdigest()
    path.write_text(path.read_text().replace(digest, hashlib.sha256(b"other").hexdigest()))
    assert run("sign", path, "--key", keys[0]).returncode == 0


def check_with_another_key(site, keys):
    assert run("keygen", site.root / "other").returncode == 0
    os.replace(site.root / "other.pub", keys[1])


@pytest.mark.parametrize("change, status, message", [
    (lambda site, keys: (site.root / "manifest.xml").write_bytes(
        (site.root / "manifest.xml").read_bytes().replace(b'serial="5"', b'serial="6"')), 2, "does not verify"),
    (lambda site, keys: (site.root / "manifest.xml.sig").unlink(), 2, "cannot fetch the signature"),
    (lambda site, keys: (site.root / "manifest.xml.sig").write_bytes(b""), 2, "does not verify"),
    (check_with_another_key, 2, "does not verify"),
    (edit_and_resign, 1, "wrong sha256"),
], ids=["manifest-changed-after-signing", "signature-missing", "signature-empty", "another-key",
        "sha256-of-other-bytes"])
def test_check_with_key_reports_what_a_signed_launcher_would_refuse(signed_site, keys, change, status, message):
    change(signed_site, keys)
    result = run("check", signed_site.manifest, "--key", keys[1], "--timeout", TIMEOUT)
    assert result.returncode == status, result.stdout + result.stderr + signed_site.log()
    assert message in result.stdout + result.stderr


@pytest.mark.parametrize("manifest, message", [
    (b'<update version="1.0"><file path="a" size="1" md5="0123456789abcdef0123456789abcdef" '
     b'sha256="' + b"0" * 64 + b'" src="http://h.invalid/a"/></update>', "serial"),
    (b'<update serial="3"><file path="a" size="1" md5="0123456789abcdef0123456789abcdef" '
     b'src="http://h.invalid/a"/></update>', "sha256"),
])
def test_sign_refuses_a_manifest_a_signed_launcher_would_refuse(tmp_path, keys, manifest, message):
    path = tmp_path / "manifest.xml"
    path.write_bytes(manifest)
    result = run("sign", path, "--key", keys[0])
    assert result.returncode == 2 and message in result.stderr, result.stderr
    assert not (tmp_path / "manifest.xml.sig").exists()
    wrong_key = run("sign", path, "--key", keys[1])
    assert wrong_key.returncode == 2 and "private key" in wrong_key.stderr
