"""Transfers over TLS. nginx serves https on 127.0.0.1 at the TLS port (the
test port + 1) with certificates made for the session by a test authority
(harness.tls), which the session trusts inside its own Wine prefix only.

The https build (LAUNCHER_HTTPS_BUILD_DIR, default build/win64-https-test,
made by scripts/test.sh) fetches its manifest from
https://127.0.0.1:<TLS port>/Updater/manifest.xml; the session's own build
fetches its http manifest from the update server, whose entries may name
https files.
"""

import os
from pathlib import Path
from urllib.parse import urlsplit

import pytest

from harness.config import tls_port
from harness.log import (FALLBACK, FETCHING, NO_UPDATE, NO_UPDATE_LINES, VALID, downloading, failed_to_download,
                         launched, log_of, refused_redirect)
from harness.nginx import NGINX, Nginx
from harness.server import MANIFEST_PATH, file_entry, manifest_xml
from harness.tls import CertificateAuthority
from harness.windows import UPDATE_FAILED_TEXT
from e2e_update import BACKUP_FILE, MANIFEST_FILE, pattern, put
from test_nginx import RELEASE_PATH, USER_AGENT, expected_update_lines, publish_make
from test_update import read


pytestmark = pytest.mark.skipif(not os.access(NGINX, os.X_OK),
                                reason="%s is missing (scripts/setup.sh installs nginx-light)" % NGINX)

# What WinINet under Wine 8.0 reports for each certificate it refuses.
REFUSED = [
    ("self-signed", 12045),  # ERROR_INTERNET_INVALID_CA
    ("expired", 12037),      # ERROR_INTERNET_SEC_CERT_DATE_INVALID
    ("other-name", 12038),   # ERROR_INTERNET_SEC_CERT_CN_INVALID
]


@pytest.fixture(scope="module")
def authority(wine, tmp_path_factory):
    made = CertificateAuthority(tmp_path_factory.mktemp("authority"))
    made.trust(wine)
    yield made
    made.distrust(wine)


@pytest.fixture
def https_site(e2e, authority, tmp_path):
    """start(certificate kind, redirects) starts nginx over TLS on the TLS port,
    serving tmp_path/www; it is stopped at the end of the test."""
    root = tmp_path / "www"
    root.mkdir()
    started = []

    def start(kind="trusted", redirects=None):
        instance = Nginx(tmp_path / "nginx", tls_port(e2e.config), root, certificate=authority.certificates[kind],
                         redirects=redirects)
        started.append(instance)
        with instance.logs_on_failure():
            instance.start()
        return instance

    yield start
    for instance in started:
        instance.stop()


def current_app(e2e, nginx):
    """app.dat on disk, current, and a backup manifest that lists it."""
    data = pattern(4000, 1)
    put(e2e.workdir, "app.dat", data)
    backup = manifest_xml([file_entry("app.dat", data, nginx.url("/files/app.dat"))])
    put(e2e.workdir, BACKUP_FILE, backup)
    return backup


def test_https_release_installs_then_next_run_has_nothing_to_do(e2e, https_build, https_site):
    nginx = https_site()
    install = e2e.workdir
    e2e.remove_app()
    files = {"Lumivex.exe": Path(e2e.config["lumivex"]).read_bytes(), "data/level.bin": pattern(300000, 3),
             "config/empty.cfg": b""}
    release = nginx.root / RELEASE_PATH.strip("/")
    for rel, data in files.items():
        put(release, rel, data)
    manifest = nginx.root / MANIFEST_PATH.lstrip("/")
    manifest.parent.mkdir()
    entries = publish_make(release, nginx.url(RELEASE_PATH), manifest)

    with nginx.logs_on_failure():
        assert {urlsplit(e["src"])[:2] for e in entries} == {("https", "127.0.0.1:%d" % nginx.port)}, entries

        first = e2e.run(exit_code=5, timeout=30, launcher=https_build["launcher"])

        assert first.log == log_of(FETCHING, VALID, expected_update_lines(entries, install), launched(5))
        assert first.exit_code == 5
        assert first.record is not None, "the application was not started"
        for rel, data in files.items():
            assert (install / rel).read_bytes() == data, rel
        served = nginx.wait_for_entries(1 + len(entries))
        assert [(s.path, s.status) for s in served] == \
            [(MANIFEST_PATH, 200)] + [(urlsplit(e["src"]).path, 200) for e in entries]
        assert {s.agent for s in served} == {USER_AGENT}

        second = e2e.run(exit_code=6, timeout=30, launcher=https_build["launcher"])

        assert second.log == log_of(NO_UPDATE_LINES, launched(6))
        assert second.exit_code == 6
        after = nginx.wait_for_entries(len(served) + 1)
        assert [(s.path, s.status) for s in after[len(served):]] == [(MANIFEST_PATH, 200)]


@pytest.mark.parametrize("kind,error", REFUSED, ids=[row[0] for row in REFUSED])
def test_manifest_behind_a_refused_certificate_falls_back_to_backup(e2e, https_build, https_site, kind, error):
    nginx = https_site(kind)
    backup = current_app(e2e, nginx)
    put(nginx.root, MANIFEST_PATH.lstrip("/"), manifest_xml())

    result = e2e.run(exit_code=3, timeout=20, launcher=https_build["launcher"])

    assert result.log == log_of(FETCHING, failed_to_download(https_build["manifest_url"], error), FALLBACK,
                                NO_UPDATE, launched(3))
    assert result.exit_code == 3
    assert result.record is not None, "the application was not started"
    assert read(e2e, BACKUP_FILE) == backup
    assert read(e2e, MANIFEST_FILE) is None
    assert nginx.entries() == [], "a request was sent over a refused connection"


@pytest.mark.parametrize("kind,error", REFUSED, ids=[row[0] for row in REFUSED])
def test_file_behind_a_refused_certificate_fails_the_update(e2e, server, https_site, kind, error):
    nginx = https_site(kind)
    new = pattern(5000, 2)
    stale = b"the stale local copy"
    put(e2e.workdir, "app.dat", stale)
    put(nginx.root, "files/app.dat", new)
    src = nginx.url("/files/app.dat")
    e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("app.dat", new, src)])

    run = e2e.start(timeout=20)
    box = e2e.answer_box(run)
    result = run.wait()

    assert box.text == UPDATE_FAILED_TEXT, repr(box)
    assert result.log == log_of(FETCHING, VALID, downloading("app.dat", src), failed_to_download(src, error))
    assert result.exit_code == 1
    assert result.record is None, "the application was started"
    assert read(e2e, "app.dat") == stale
    assert nginx.entries() == [], "a request was sent over a refused connection"


@pytest.mark.parametrize("target", ["manifest", "file"])
def test_redirect_from_https_to_http_is_refused(e2e, server, https_build, https_site, target):
    path = MANIFEST_PATH if target == "manifest" else "/files/app.dat"
    nginx = https_site(redirects={path: server.url(path)})
    new = pattern(5000, 2)
    # What the plain http server would have answered.
    e2e.site.update({MANIFEST_PATH: manifest_xml(), "/files/app.dat": new})

    if target == "manifest":
        backup = current_app(e2e, nginx)
        result = e2e.run(exit_code=4, timeout=20, launcher=https_build["launcher"])
        assert result.log == log_of(FETCHING, refused_redirect(https_build["manifest_url"], server.url(path)),
                                    FALLBACK, NO_UPDATE, launched(4))
        assert result.exit_code == 4
        assert read(e2e, BACKUP_FILE) == backup
        assert server.requests == [], "the launcher followed the redirect"
    else:
        put(e2e.workdir, "app.dat", b"the stale local copy")
        e2e.site[MANIFEST_PATH] = manifest_xml([file_entry("app.dat", new, nginx.url(path))])
        run = e2e.start(timeout=20)
        box = e2e.answer_box(run)
        result = run.wait()
        assert box.text == UPDATE_FAILED_TEXT, repr(box)
        assert result.log == log_of(FETCHING, VALID, downloading("app.dat", nginx.url(path)),
                                    refused_redirect(nginx.url(path), server.url(path)))
        assert result.exit_code == 1
        assert read(e2e, "app.dat") == b"the stale local copy"
        assert [r.path for r in server.requests] == [MANIFEST_PATH], "the launcher followed the redirect"
    assert [(s.path, s.status) for s in nginx.wait_for_entries(1)] == [(path, 302)]
