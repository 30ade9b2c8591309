"""Runs of the shipped 32-bit Launcher.exe; scripts/test-x86.sh prepares them.

The script provides the 32-bit Wine prefix with its server running, the X
display and these variables:
  LAUNCHER_BUILD_DIR   a 32-bit test build (its e2e-config.json)
  X86_WINEPREFIX       the 32-bit prefix
  X86_WINE_LOADER      Wine's 32-bit loader
  X86_RUN_TIMEOUT      hard limit of one launcher run, in seconds
  X86_BOX_GRACE        seconds a launcher window may stay up before it is
                       taken for a message box and answered
"""

import json
import os
import sys
from pathlib import Path
from urllib.parse import urlsplit

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from x86_run import run_launcher  # noqa: E402
from x86_server import MANIFEST_PATH, UpdateServer  # noqa: E402

_durations = []


def _require(condition, message):
    if not condition:
        pytest.fail(message, pytrace=False)


@pytest.fixture(scope="session")
def x86_config():
    build = os.environ.get("LAUNCHER_BUILD_DIR")
    prefix = os.environ.get("X86_WINEPREFIX")
    _require(build and prefix and os.environ.get("DISPLAY"),
             "run these tests through scripts/test-x86.sh (it prepares the 32-bit prefix and the display)")
    path = Path(build) / "e2e-config.json"
    _require(path.is_file(), "%s is missing: build the 32-bit test build first" % path)
    config = json.loads(path.read_text())
    _require(config.get("processor") == "i686",
             "these runs are for the 32-bit build; %s is for %r" % (build, config.get("processor")))
    for key in ("launcher", "lumivex"):
        _require(Path(config[key]).is_file(), "%s is missing; build %s first" % (config[key], build))
    url = urlsplit(config["manifest_url"])
    _require(url.hostname == "127.0.0.1" and url.path == MANIFEST_PATH,
             "Launcher.exe in %s fetches %s, not http://127.0.0.1:<port>%s"
             % (build, config["manifest_url"], MANIFEST_PATH))
    _require(url.port == config["port"],
             "%s is inconsistent: Launcher.exe fetches %s but the test port is %d; configure with "
             "-DLAUNCHER_MANIFEST_URL=http://127.0.0.1:%d%s as well"
             % (path, config["manifest_url"], config["port"], config["port"], MANIFEST_PATH))
    config["wineprefix"] = prefix
    config["wine_loader"] = os.environ.get("X86_WINE_LOADER", "/usr/lib/wine/wine")
    config["wineserver"] = "/usr/lib/wine/wineserver"
    config["run_timeout"] = float(os.environ.get("X86_RUN_TIMEOUT", "600"))
    config["box_grace"] = float(os.environ.get("X86_BOX_GRACE", "60"))
    return config


@pytest.fixture(scope="session")
def server(x86_config):
    update_server = UpdateServer(x86_config["port"])
    try:
        update_server.start()
    except OSError as error:
        pytest.fail("cannot serve on 127.0.0.1:%d: %s" % (x86_config["port"], error), pytrace=False)
    yield update_server
    update_server.stop()


@pytest.fixture
def launch(x86_config, request):
    """launch(workdir, args, env) runs the launcher once and returns the Run."""

    def run(workdir, args, env):
        result = run_launcher(x86_config, workdir, args, env, x86_config["run_timeout"],
                              x86_config["box_grace"])
        _durations.append((request.node.name, result.seconds, result.timed_out))
        return result

    return run


def pytest_terminal_summary(terminalreporter):
    for name, seconds, timed_out in _durations:
        terminalreporter.write_line("launcher run in %s: %.1f s%s"
                                    % (name, seconds, " (timed out)" if timed_out else ""))
