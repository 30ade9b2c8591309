"""What a build says about itself (its e2e-config.json), checked before any
run: the programs exist and the launcher fetches its manifest from the
loopback port the build's tests serve on.

Beside the session's build the suite runs variants of the same processor
and test port, with only Launcher.exe built: one whose manifest URL is
https, on the TLS port (the test port + 1), one that connects through the
system's proxy settings, and one that keeps a record of verified files."""

import json
from pathlib import Path
from urllib.parse import urlsplit

from harness.server import MANIFEST_PATH

# The https test builds fetch their manifest from this port above the test port.
TLS_PORT_OFFSET = 1


class ConfigError(Exception):
    pass


def tls_port(config):
    """The loopback port of the tests' https server."""
    return config["port"] + TLS_PORT_OFFSET


def https_manifest_url(config):
    return "https://127.0.0.1:%d%s" % (tls_port(config), MANIFEST_PATH)


def _read(build):
    build = Path(build)
    path = build / "e2e-config.json"
    if not path.is_file():
        raise ConfigError("%s is missing: build the tests first (cmake --preset win64-test && cmake --build "
                          "build/win64-test), or point LAUNCHER_BUILD_DIR at a build folder" % path)
    config = json.loads(path.read_text())
    config["build_dir"] = str(build)
    if config.get("processor") not in ("x86_64", "i686"):
        raise ConfigError("%s is for %r, neither x86_64 nor i686" % (build, config.get("processor")))
    return config, path


def _check_programs(config, build, needs):
    for key in needs:
        if not Path(config[key]).is_file():
            raise ConfigError("%s is missing; build %s first" % (config[key], build))


def load_config(build, needs=("launcher", "lumivex", "window_probe")):
    config, path = _read(build)
    _check_programs(config, build, needs)
    url = urlsplit(config["manifest_url"])
    if url.scheme != "http" or url.hostname != "127.0.0.1" or url.path != MANIFEST_PATH:
        raise ConfigError("Launcher.exe in %s fetches %s, not http://127.0.0.1:<port>%s"
                          % (build, config["manifest_url"], MANIFEST_PATH))
    if url.port != config["port"]:
        raise ConfigError("%s is inconsistent: Launcher.exe fetches %s but the test port is %d; configure with "
                          "-DLAUNCHER_MANIFEST_URL=http://127.0.0.1:%d%s as well"
                          % (path, config["manifest_url"], config["port"], config["port"], MANIFEST_PATH))
    return config


def load_variant(build, base, https=False, system_proxy=False, parallel_transfers=1, remember_verified=False):
    """A variant build beside the session's `base` configuration: same
    processor and test port, its Launcher.exe built; its manifest URL is
    https on the TLS port (https) or the base build's own, it takes the
    system's proxy settings, and keeps a record of verified files, exactly
    when system_proxy and remember_verified say so, and fetches
    parallel_transfers files at once."""
    config, path = _read(build)
    _check_programs(config, build, ("launcher",))
    if config["processor"] != base["processor"] or config["port"] != base["port"]:
        raise ConfigError("%s is for %s on port %d, but the session's build %s is for %s on port %d"
                          % (build, config["processor"], config["port"], base["build_dir"], base["processor"],
                             base["port"]))
    wanted = https_manifest_url(base) if https else base["manifest_url"]
    if config["manifest_url"] != wanted:
        raise ConfigError("Launcher.exe in %s fetches %s, not %s; configure it with -DLAUNCHER_MANIFEST_URL=%s"
                          % (build, config["manifest_url"], wanted, wanted))
    if bool(config.get("system_proxy")) != system_proxy:
        raise ConfigError("%s was built with LAUNCHER_USE_SYSTEM_PROXY %s" % (path, "OFF" if system_proxy else "ON"))
    if config.get("parallel_transfers", 1) != parallel_transfers:
        raise ConfigError("%s was built with LAUNCHER_PARALLEL_TRANSFERS %s, not %d"
                          % (path, config.get("parallel_transfers"), parallel_transfers))
    if bool(config.get("remember_verified")) != remember_verified:
        raise ConfigError("%s was built with LAUNCHER_REMEMBER_VERIFIED %s"
                          % (path, "OFF" if remember_verified else "ON"))
    return config
