"""End-to-end harness: the real Launcher.exe under Wine against a loopback HTTP server.

Fixtures
  e2e_config  session: the build's e2e-config.json (LAUNCHER_BUILD_DIR, default build/win64-test)
  wine        session: e2e_wine.WineSession (display, prefix, persistent server, window tools)
  server      session: e2e_server.UpdateServer on the port of the built-in manifest URL
  e2e         per test: e2e_launcher.LauncherTest (working folder, runs, boxes, logs)

A failing test's report carries the launcher runs, the run log and the
server's request log.
"""

import json
import os
import sys
from pathlib import Path
from urllib.parse import urlsplit

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from e2e_launcher import LauncherTest  # noqa: E402
from e2e_server import MANIFEST_PATH, UpdateServer  # noqa: E402
from e2e_wine import WineSession  # noqa: E402

REPO = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def e2e_config():
    build = Path(os.environ.get("LAUNCHER_BUILD_DIR") or REPO / "build" / "win64-test")
    if not build.is_absolute():
        build = REPO / build
    path = build / "e2e-config.json"
    if not path.is_file():
        pytest.fail("%s is missing: build the tests first (cmake --preset win64-test && cmake --build "
                    "build/win64-test), or point LAUNCHER_BUILD_DIR at a build folder" % path, pytrace=False)
    config = json.loads(path.read_text())
    config["build_dir"] = str(build)
    if config.get("processor") != "x86_64":
        pytest.fail("the end-to-end tests need the 64-bit build; %s is for %r"
                    % (build, config.get("processor")), pytrace=False)
    for key in ("launcher", "lumivex", "window_probe"):
        if not Path(config[key]).is_file():
            pytest.fail("%s is missing; build %s first" % (config[key], build), pytrace=False)
    url = urlsplit(config["manifest_url"])
    if url.hostname != "127.0.0.1" or url.path != MANIFEST_PATH:
        pytest.fail("Launcher.exe in %s fetches %s, not http://127.0.0.1:<port>%s"
                    % (build, config["manifest_url"], MANIFEST_PATH), pytrace=False)
    if url.port != config["port"]:
        pytest.fail("%s is inconsistent: Launcher.exe fetches %s but the test port is %d; configure with "
                    "-DLAUNCHER_MANIFEST_URL=http://127.0.0.1:%d%s as well"
                    % (path, config["manifest_url"], config["port"], config["port"], MANIFEST_PATH),
                    pytrace=False)
    return config


@pytest.fixture(scope="session")
def wine(e2e_config, tmp_path_factory):
    session = WineSession(e2e_config, tmp_path_factory.mktemp("wine-session"))
    try:
        session.start()
    except BaseException:
        session.stop()
        raise
    yield session
    session.stop()


@pytest.fixture(scope="session")
def server(e2e_config):
    update_server = UpdateServer("127.0.0.1", e2e_config["port"])
    update_server.start()
    yield update_server
    update_server.reset()
    update_server.stop()


@pytest.fixture
def e2e(request, e2e_config, wine, server, tmp_path):
    test = LauncherTest(e2e_config, wine, server, tmp_path)
    request.node.launcher_test = test
    yield test
    complaints = test.finish()
    server.reset()
    # After a failure, what the test left running is a consequence, not news.
    if complaints and not getattr(request.node, "e2e_failed", False):
        pytest.fail("\n".join(complaints), pytrace=False)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.failed:
        item.e2e_failed = True
    test = getattr(item, "launcher_test", None)
    if test is not None and report.failed:
        report.sections.append(("launcher runs, run log and server requests", test.describe()))
