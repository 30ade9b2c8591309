"""A build made with a public key: only a manifest whose detached signature
verifies counts, a trusted backup keeps its signature beside it, an older
release is refused, and a file is current only when its SHA-256 matches too.

The signed build is LAUNCHER_SIGNED_BUILD_DIR (default build/win64-signed-test,
made by scripts/test.sh): it accepts two keys made by tools/publish keygen,
current.key and previous.key beside its public key file.
"""

import hashlib
import json
import os
from pathlib import Path

import pytest

from harness import publish
from harness.log import (BACKUP_SIGNATURE_INVALID, BACKUP_SIGNATURE_VALID, FALLBACK, FALLBACK_FAILED, FETCHING,
                         FETCHING_SIGNATURE, NO_UPDATE, SIGNATURE_INVALID, SIGNATURE_VALID, VALID, downloading,
                         launched, log_of, serial_lower)
from harness.server import MANIFEST_PATH, empty, status
from harness.windows import CAPTION, UPDATE_FAILED_TEXT, is_box
from e2e_update import BACKUP_FILE, MANIFEST_FILE, pattern, put
from test_nginx import files_below, nginx, publish_release  # noqa: F401
from test_update import assert_plain_get, read

REPO = Path(__file__).resolve().parents[2]
SIGNATURE_PATH = MANIFEST_PATH + ".sig"
SIGNATURE_FILE = Path("Launcher", "manifest.xml.sig")
BACKUP_SIGNATURE_FILE = Path("Launcher", "manifest_backup.xml.sig")


class Signed:
    """The signed build and the keys to sign for it (and one it does not know)."""

    def __init__(self, config):
        self.launcher = config["launcher"]
        self.public_key = config["manifest_public_key"]
        self.private_key = str(Path(self.public_key).with_name("current.key"))
        self.tool = publish.load()
        self.key = self.tool.load_key(self.private_key, private=True)
        self.previous = self.tool.load_key(str(Path(self.public_key).with_name("previous.key")), private=True)
        _, _, _, ec, _ = self.tool.ecdsa()
        self.stranger = ec.generate_private_key(ec.SECP256R1())

    def sign(self, data, key=None):
        return self.tool.signature_of(key or self.key, data)


@pytest.fixture(scope="module")
def signed(e2e_config):
    build = Path(os.environ.get("LAUNCHER_SIGNED_BUILD_DIR") or REPO / "build" / "win64-signed-test")
    path = build / "e2e-config.json"
    if not path.is_file():
        pytest.fail("%s is missing: scripts/test.sh makes the signed test build" % path, pytrace=False)
    config = json.loads(path.read_text())
    assert config["manifest_public_key"], "%s was built without a public key" % build
    assert config["manifest_url"] == e2e_config["manifest_url"], "the signed build fetches another URL"
    return Signed(config)


def signed_manifest(server, files, serial):
    """A manifest in the signed format: a serial, and a sha256 beside each md5."""
    lines = ['<update version="1.0" serial="%d">' % serial]
    for name, data in files.items():
        lines.append('  <file path="%s" size="%d" md5="%s" sha256="%s" src="%s"/>' % (
            name, len(data), hashlib.md5(data).hexdigest(), hashlib.sha256(data).hexdigest(),
            server.url("/files/" + name)))
    lines.append("</update>")
    return "\n".join(lines).encode("utf-8")


APP = {"app.dat": pattern(4000, 1)}


def release(signed, server, serial=10, files=APP):
    """A manifest listing the current app.dat, and its signature."""
    data = signed_manifest(server, files, serial)
    return data, signed.sign(data)


# What the server answers for the manifest and its signature.
def one_byte_changed(k, s):
    data, signature = release(k, s)
    return data.replace(b'serial="10"', b'serial="19"'), signature


def no_signature(k, s):
    return release(k, s)[0], status(404)


def empty_signature(k, s):
    return release(k, s)[0], empty()


def signed_by_another_key(k, s):
    data = release(k, s)[0]
    return data, k.sign(data, k.stranger)


def signature_of_another_manifest(k, s):
    return release(k, s)[0], release(k, s, 11, dict(APP, **{"extra.dat": b"x"}))[1]


def older_release(k, s):
    return release(k, s, serial=9)


# The backup on disk and its signature (None: no signature file).
def unsigned_backup(k, s):
    return release(k, s)[0], None


REFUSED = (SIGNATURE_INVALID,)
# (id, served, backup, the verdict on what was served, whether the backup is then used)
ROWS = [
    ("one-byte-changed", one_byte_changed, release, REFUSED, True),
    ("signature-missing", no_signature, release, REFUSED, True),
    ("signature-empty", empty_signature, release, REFUSED, True),
    ("signed-by-another-key", signed_by_another_key, release, REFUSED, True),
    ("signature-of-another-manifest", signature_of_another_manifest, release, REFUSED, True),
    ("older-serial-than-backup", older_release, release,
     (SIGNATURE_VALID, serial_lower(9, 10)), True),
    ("backup-unsigned-and-online-refused", empty_signature, unsigned_backup, REFUSED, False),
    ("backup-by-another-key-and-online-refused", no_signature, signed_by_another_key, REFUSED, False),
]


@pytest.mark.parametrize("answer,backup,verdict,backup_used", [row[1:] for row in ROWS],
                         ids=[row[0] for row in ROWS])
def test_refused_manifest_falls_back_only_to_a_trusted_backup(e2e, server, signed, answer, backup, verdict,
                                                               backup_used):
    put(e2e.workdir, "app.dat", APP["app.dat"])
    backup_data, backup_signature = backup(signed, server)
    put(e2e.workdir, BACKUP_FILE, backup_data)
    if backup_signature is not None:
        put(e2e.workdir, BACKUP_SIGNATURE_FILE, backup_signature)
    manifest, signature = answer(signed, server)
    e2e.site[MANIFEST_PATH] = manifest
    e2e.site[SIGNATURE_PATH] = signature

    if backup_used:
        result = e2e.run(exit_code=3, timeout=20, launcher=signed.launcher)
        assert result.log == log_of(FETCHING, FETCHING_SIGNATURE, verdict, FALLBACK[0], BACKUP_SIGNATURE_VALID,
                                    FALLBACK[1], NO_UPDATE, launched(3))
        assert result.exit_code == 3
        assert result.record is not None, "the application was not started"
    else:
        run = e2e.start(timeout=20, launcher=signed.launcher)
        box = e2e.answer_box(run)
        result = run.wait()
        assert (box.caption, box.text) == (CAPTION, UPDATE_FAILED_TEXT), repr(box)
        assert result.log == log_of(FETCHING, FETCHING_SIGNATURE, verdict, FALLBACK_FAILED[0],
                                    BACKUP_SIGNATURE_INVALID, FALLBACK_FAILED[1])
        assert result.exit_code == 1
        assert result.record is None, "the application was started"
    assert [r.path for r in server.requests] == [MANIFEST_PATH, SIGNATURE_PATH]
    for request in server.requests:
        assert_plain_get(request)
    # Neither file of the backup is replaced by what was refused.
    assert read(e2e, BACKUP_FILE) == backup_data
    assert read(e2e, BACKUP_SIGNATURE_FILE) == backup_signature


@pytest.mark.parametrize("key", ["current", "previous"])
def test_valid_manifest_replaces_a_backup_that_does_not_verify(e2e, server, signed, key):
    put(e2e.workdir, "app.dat", APP["app.dat"])
    # Saved by an unsigned build: higher serial, but nothing vouches for it.
    put(e2e.workdir, BACKUP_FILE, signed_manifest(server, APP, 99))
    manifest = signed_manifest(server, APP, 10)
    signature = signed.sign(manifest, signed.previous if key == "previous" else None)
    e2e.site[MANIFEST_PATH] = manifest
    e2e.site[SIGNATURE_PATH] = signature

    result = e2e.run(exit_code=4, timeout=20, launcher=signed.launcher)

    assert result.log == log_of(FETCHING, FETCHING_SIGNATURE, SIGNATURE_VALID, VALID, NO_UPDATE, launched(4))
    assert result.exit_code == 4
    assert (read(e2e, BACKUP_FILE), read(e2e, BACKUP_SIGNATURE_FILE)) == (manifest, signature)
    assert (read(e2e, MANIFEST_FILE), read(e2e, SIGNATURE_FILE)) == (manifest, signature)


def test_file_whose_md5_matches_but_sha256_does_not_is_never_current(e2e, server, signed):
    # The local file and the one served share their MD5 with what the
    # manifest lists (the same bytes); the SHA-256 names other bytes, as a
    # file made to collide with MD5 would.
    data = APP["app.dat"]
    put(e2e.workdir, "app.dat", data)
    manifest = signed_manifest(server, APP, 10).replace(hashlib.sha256(data).hexdigest().encode(),
                                                        hashlib.sha256(b"other").hexdigest().encode())
    e2e.site[MANIFEST_PATH] = manifest
    e2e.site[SIGNATURE_PATH] = signed.sign(manifest)
    e2e.site["/files/app.dat"] = data

    run = e2e.start(timeout=20, launcher=signed.launcher)
    box = e2e.wait_for_window(CAPTION, run=run, accept=is_box)
    e2e.answer(box, run=run)
    result = run.wait()

    assert box.text == UPDATE_FAILED_TEXT, repr(box)
    assert result.log == log_of(FETCHING, FETCHING_SIGNATURE, SIGNATURE_VALID, VALID,
                                downloading("app.dat", server.url("/files/app.dat")))
    assert result.exit_code == 1
    assert result.record is None, "the application was started"


def test_release_made_and_signed_with_publish_installs_from_nginx(e2e, nginx, server, signed):
    install = e2e.workdir
    e2e.remove_app()
    files = {"Lumivex.exe": Path(e2e.config["lumivex"]).read_bytes(), "data/level.bin": pattern(300000, 3)}
    manifest, entries = publish_release(nginx, files, server.port)
    signing = publish.run("sign", manifest, "--key", signed.private_key, timeout=60)
    assert signing.returncode == 0, signing

    with nginx.logs_on_failure():
        assert all(e["sha256"] == hashlib.sha256(files[e["path"]]).hexdigest() for e in entries), entries
        check = publish.run("check", "http://127.0.0.1:%d%s" % (server.port, MANIFEST_PATH), "--key",
                            signed.public_key, timeout=60)
        assert check.returncode == 0, check

        first = e2e.run(exit_code=5, timeout=30, launcher=signed.launcher)

        assert first.log_lines[:5] == [FETCHING, FETCHING_SIGNATURE, SIGNATURE_VALID] + list(VALID)
        assert first.exit_code == 5
        for rel, data in files.items():
            assert (install / rel).read_bytes() == data, rel
        assert (install / BACKUP_SIGNATURE_FILE).read_bytes() == Path(str(manifest) + ".sig").read_bytes()
        assert files_below(install / "Launcher") == ["log.txt", "manifest.xml", "manifest.xml.sig",
                                                     "manifest_backup.xml", "manifest_backup.xml.sig"]

        second = e2e.run(exit_code=6, timeout=30, launcher=signed.launcher)

        assert second.log == log_of(FETCHING, FETCHING_SIGNATURE, SIGNATURE_VALID, VALID, NO_UPDATE,
                                    launched(6))
