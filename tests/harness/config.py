"""What a build says about itself (its e2e-config.json), checked before any
run: the programs exist and the launcher fetches its manifest from the
loopback port the build's tests serve on."""

import json
from pathlib import Path
from urllib.parse import urlsplit

from harness.server import MANIFEST_PATH


class ConfigError(Exception):
    pass


def load_config(build, needs=("launcher", "lumivex", "window_probe")):
    build = Path(build)
    path = build / "e2e-config.json"
    if not path.is_file():
        raise ConfigError("%s is missing: build the tests first (cmake --preset win64-test && cmake --build "
                          "build/win64-test), or point LAUNCHER_BUILD_DIR at a build folder" % path)
    config = json.loads(path.read_text())
    config["build_dir"] = str(build)
    if config.get("processor") not in ("x86_64", "i686"):
        raise ConfigError("%s is for %r, neither x86_64 nor i686" % (build, config.get("processor")))
    for key in needs:
        if not Path(config[key]).is_file():
            raise ConfigError("%s is missing; build %s first" % (config[key], build))
    url = urlsplit(config["manifest_url"])
    if url.scheme != "http" or url.hostname != "127.0.0.1" or url.path != MANIFEST_PATH:
        raise ConfigError("Launcher.exe in %s fetches %s, not http://127.0.0.1:<port>%s"
                          % (build, config["manifest_url"], MANIFEST_PATH))
    if url.port != config["port"]:
        raise ConfigError("%s is inconsistent: Launcher.exe fetches %s but the test port is %d; configure with "
                          "-DLAUNCHER_MANIFEST_URL=http://127.0.0.1:%d%s as well"
                          % (path, config["manifest_url"], config["port"], config["port"], MANIFEST_PATH))
    return config
