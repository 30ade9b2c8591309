"""End-to-end tests: the real Launcher.exe under Wine against a loopback HTTP
server, through the harness in tests/harness.

Fixtures
  e2e_config  session: the build's e2e-config.json (LAUNCHER_BUILD_DIR, default build/win64-test);
              64-bit and 32-bit builds alike, each in a prefix of its architecture
  wine        session: harness.wine.WineSession (display, prefix, persistent server, window tools)
  server      session: harness.server.UpdateServer on the port of the built-in manifest URL
  e2e         per test: harness.launcher.LauncherTest (working folder, runs, boxes, logs)

E2E_TIME_FACTOR stretches every run's time-out (32-bit code under
emulation); there only the tests marked `smoke` are meant to run, and a
run that QEMU kills inside Wine's own signal handling is reported skipped.
A failing test's report carries the launcher runs, the run log and the
server's request log.
"""

import os
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TESTS))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness.config import ConfigError, load_config, load_variant  # noqa: E402
from harness.launcher import EmulatorCrash, LauncherTest  # noqa: E402
from harness.server import UpdateServer  # noqa: E402
from harness.wine import WineSession  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line("markers", "smoke: the ordinary runs users see; also run where 32-bit code is emulated")


@pytest.fixture(scope="session")
def e2e_config():
    build = Path(os.environ.get("LAUNCHER_BUILD_DIR") or TESTS.parent / "build" / "win64-test")
    try:
        config = load_config(build if build.is_absolute() else TESTS.parent / build)
    except ConfigError as error:
        pytest.fail(str(error), pytrace=False)
    config["time_factor"] = float(os.environ.get("E2E_TIME_FACTOR", "1"))
    return config


def variant_build(variable, preset, e2e_config, **expected):
    """Another test build of Launcher.exe alone, checked against the session's build."""
    build = Path(os.environ.get(variable) or TESTS.parent / "build" / preset)
    try:
        return load_variant(build, e2e_config, **expected)
    except ConfigError as error:
        pytest.fail(str(error), pytrace=False)


@pytest.fixture(scope="session")
def https_build(e2e_config):
    """The build whose manifest URL is https."""
    return variant_build("LAUNCHER_HTTPS_BUILD_DIR", "win64-https-test", e2e_config, https=True)


@pytest.fixture(scope="session")
def proxy_build(e2e_config):
    """The build that takes the system's proxy settings."""
    return variant_build("LAUNCHER_PROXY_BUILD_DIR", "win64-proxy-test", e2e_config, system_proxy=True)


@pytest.fixture(scope="session")
def parallel_build(e2e_config):
    """The build that fetches 4 files at once."""
    return variant_build("LAUNCHER_PARALLEL_BUILD_DIR", "win64-parallel-test", e2e_config, parallel_transfers=4)


@pytest.fixture(scope="session")
def remember_build(e2e_config):
    """The build that keeps a record of verified files."""
    return variant_build("LAUNCHER_REMEMBER_BUILD_DIR", "win64-remember-test", e2e_config, remember_verified=True)


@pytest.fixture(scope="session")
def wine(e2e_config, tmp_path_factory):
    session = WineSession(Path(e2e_config["build_dir"]) / "e2e-wineprefix", e2e_config["processor"],
                          e2e_config["lumivex"], tmp_path_factory.mktemp("wine-session"),
                          window_probe=e2e_config["window_probe"], slow=e2e_config["time_factor"] > 1)
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
    if call.excinfo is not None and call.excinfo.errisinstance(EmulatorCrash):
        # Under QEMU, Wine's own signal handler can fault (its TEB reads as null):
        # the run says nothing about the launcher, so it is neither passed nor failed.
        report.outcome = "skipped"
        report.longrepr = (str(item.path), item.location[1] or 0,
                           "Skipped: the emulator crashed inside Wine (%s)" % call.excinfo.value)
        return
    if report.failed:
        item.e2e_failed = True
    test = getattr(item, "launcher_test", None)
    if test is not None and report.failed:
        report.sections.append(("launcher runs, run log and server requests", test.describe()))
