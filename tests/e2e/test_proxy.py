"""The build that connects through the system's proxy settings
(LAUNCHER_USE_SYSTEM_PROXY). For this module's runs the session's Wine
prefix points its Internet settings at a real proxy on 127.0.0.1
(Debian's tinyproxy, at the test port + 2, harness.proxy); the proxy's log
and the Via header it adds show which requests went through it.

The proxy build is LAUNCHER_PROXY_BUILD_DIR (default build/win64-proxy-test,
made by scripts/test.sh).
"""

import os

import pytest

from harness.log import FALLBACK, FETCHING, NO_UPDATE, VALID, downloading, failed_to_download, launched, log_of
from harness.proxy import TINYPROXY, Tinyproxy, clear_system_proxy, port_is_closed, set_system_proxy
from harness.server import MANIFEST_PATH, file_entry, manifest_xml
from e2e_update import BACKUP_FILE, MANIFEST_FILE, pattern, put
from test_update import read

PROXY_PORT_OFFSET = 2

pytestmark = pytest.mark.skipif(not os.access(TINYPROXY, os.X_OK),
                                reason="%s is missing (scripts/setup.sh installs tinyproxy-bin)" % TINYPROXY)


@pytest.fixture(scope="module")
def proxy_port(wine, e2e_config):
    """The prefix's proxy settings name 127.0.0.1 at this port while the module runs."""
    port = e2e_config["port"] + PROXY_PORT_OFFSET
    set_system_proxy(wine, "127.0.0.1:%d" % port)
    yield port
    clear_system_proxy(wine)


@pytest.fixture
def proxy(e2e, proxy_port, tmp_path):
    instance = Tinyproxy(tmp_path / "tinyproxy", proxy_port)
    instance.start()
    yield instance
    instance.stop()


@pytest.mark.parametrize("through_proxy", [True, False], ids=["proxy-build", "default-build"])
def test_update_goes_through_the_system_proxy_only_when_built_to(e2e, server, proxy_build, proxy, through_proxy):
    new = pattern(20000, 4)
    put(e2e.workdir, "app.dat", b"the stale local copy")
    src = server.url("/files/app.dat")
    e2e.site.update({MANIFEST_PATH: manifest_xml([file_entry("app.dat", new, src)]), "/files/app.dat": new})
    assert not e2e.config["system_proxy"], "the session's build takes the system's proxy settings"

    with proxy.logs_on_failure():
        result = e2e.run(exit_code=2, timeout=20, launcher=proxy_build["launcher"] if through_proxy else None)

        assert result.log == log_of(FETCHING, VALID, downloading("app.dat", src), launched(2))
        assert result.exit_code == 2
        assert read(e2e, "app.dat") == new
        # Every request, the manifest's and the file's, went through the proxy, or none did.
        forwarded = [("GET", server.url(MANIFEST_PATH)), ("GET", src)]
        assert proxy.requests() == (forwarded if through_proxy else [])
        assert [r.path for r in server.requests] == [MANIFEST_PATH, "/files/app.dat"]
        vias = [r.header("Via") for r in server.requests]
        assert [via is not None and "tinyproxy" in via for via in vias] == [through_proxy] * 2, vias


def current_app(e2e, server):
    """app.dat on disk, current, and a backup manifest that lists it."""
    app = pattern(4000, 1)
    put(e2e.workdir, "app.dat", app)
    backup = manifest_xml([file_entry("app.dat", app, server.url("/files/app.dat"))])
    put(e2e.workdir, BACKUP_FILE, backup)
    return backup


def test_stopped_proxy_is_an_unreachable_server(e2e, server, proxy_build, proxy):
    backup = current_app(e2e, server)
    proxy.stop()
    assert port_is_closed(proxy.port)

    result = e2e.run(exit_code=5, timeout=20, launcher=proxy_build["launcher"])

    assert result.log == log_of(FETCHING, failed_to_download(proxy_build["manifest_url"], 12029),  # CANNOT_CONNECT
                                FALLBACK, NO_UPDATE, launched(5))
    assert result.exit_code == 5
    assert result.record is not None, "the application was not started"
    assert read(e2e, BACKUP_FILE) == backup
    assert server.requests == [], "the launcher went around the proxy"


def test_proxy_that_asks_for_credentials_gets_none_and_its_answer_is_no_manifest(e2e, server, proxy_build,
                                                                                 proxy_port, tmp_path):
    backup = current_app(e2e, server)
    guarded = Tinyproxy(tmp_path / "guarded", proxy_port, basic_auth=("quorval", "secret")).start()
    try:
        with guarded.logs_on_failure():
            result = e2e.run(exit_code=6, timeout=20, launcher=proxy_build["launcher"], watch=True)

            # No prompt, no second try with credentials: the proxy's 407 page is judged as a manifest.
            assert result.log == log_of(FETCHING, FALLBACK, NO_UPDATE, launched(6))
            assert result.shown == [], "a window was shown"
            assert result.exit_code == 6
            assert guarded.requests() == [("GET", server.url(MANIFEST_PATH))]
            assert b"407 Proxy Authentication Required" in (read(e2e, MANIFEST_FILE) or b""), "not the proxy's page"
            assert read(e2e, BACKUP_FILE) == backup
            assert server.requests == []
    finally:
        guarded.stop()
