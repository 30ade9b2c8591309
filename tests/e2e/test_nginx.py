"""The launcher against a production web server: nginx serves a release that
tools/publish made, on the port of the built-in manifest URL.

The session's own update server gives the port up for the test and gets it
back afterwards; nginx runs in the foreground as the test's own process with
its configuration, pid file, logs and temporary folders inside the test's
folder.
"""

import hashlib
import os
import random
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path
from urllib.parse import unquote, urlsplit

import pytest

from harness import publish
from harness.launcher import command_line
from harness.log import NO_UPDATE_LINES, created_directory, downloading, launched, log_of
from harness.nginx import NGINX, Nginx, port_is_free
from harness.server import MANIFEST_PATH
from harness.wine import windows_path

USER_AGENT = "Launcher.Quorval"
RELEASE_PATH = "/releases/1/"

pytestmark = pytest.mark.skipif(not os.access(NGINX, os.X_OK),
                                reason="%s is missing (scripts/setup.sh installs nginx-light)" % NGINX)


def give_port_back(server, timeout=10.0):
    """Restarts the session server; nginx's sockets may take a moment to go."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            server.start()
            return
        except RuntimeError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


@pytest.fixture
def nginx(e2e, server, tmp_path):
    root = tmp_path / "www"
    root.mkdir()
    instance = Nginx(tmp_path / "nginx", server.port, root)
    server.stop()
    try:
        assert port_is_free(server.port), \
            "the session server still holds port %d after stop()" % server.port
        with instance.logs_on_failure():
            instance.start()
        yield instance
    finally:
        instance.stop()
        give_port_back(server)


def release_files():
    """Relative path -> content: nested folders, a space, names beyond ASCII
    (one beyond Latin-1, which the log shows as "?"), an empty file and one of
    about a megabyte that takes many reads."""
    noise = random.Random(1)
    return {
        "config/empty.cfg": b"",
        "data/big.bin": bytes(noise.getrandbits(8) for _ in range(1024 * 1024 + 321)),
        "data/levels/sub dir/read me.txt": b"level one\r\n",
        "donn\u00e9es/na\u00efve-\u03a9.txt": "caf\u00e9 \u03a9\n".encode("utf-8"),
    }


def publish_release(nginx, files, port):
    """files {relative path: bytes} below the release path, and its manifest made by
    tools/publish at the manifest path; returns the manifest file and its entries."""
    release = nginx.root / RELEASE_PATH.strip("/")
    for rel, data in files.items():
        (release / rel).parent.mkdir(parents=True, exist_ok=True)
        (release / rel).write_bytes(data)
    manifest = nginx.root / MANIFEST_PATH.lstrip("/")
    manifest.parent.mkdir()
    return manifest, publish_make(release, "http://127.0.0.1:%d%s" % (port, RELEASE_PATH), manifest)


def publish_make(release, base_url, manifest):
    result = publish.run("make", release, "--base-url", base_url, "-o", manifest)
    assert result.returncode == 0, "publish make failed: %r %r" % (result.stdout, result.stderr)
    root = ElementTree.parse(str(manifest)).getroot()
    return [entry.attrib for entry in root.findall("file")]


def expected_update_lines(entries, install):
    """The lines a first run logs for these entries: each download, and the
    folder it creates for it when the folder is new (the deepest one only)."""
    lines, existing = [], set()
    for entry in entries:
        lines.append(downloading(entry["path"], entry["src"]))
        parts = entry["path"].split("/")[:-1]
        if parts and "/".join(parts) not in existing:
            lines.append(created_directory(install.joinpath(*parts)))
        existing.update("/".join(parts[:i]) for i in range(1, len(parts) + 1))
    return lines


def files_below(folder):
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*") if p.is_file())


def test_update_from_nginx_then_nothing_to_update(e2e, nginx, server):
    install = e2e.workdir
    e2e.remove_app()  # the release brings the application itself
    assert not any(install.iterdir())
    port = server.port
    files = release_files()
    files["Lumivex.exe"] = Path(e2e.config["lumivex"]).read_bytes()
    manifest, entries = publish_release(nginx, files, port)

    with nginx.logs_on_failure():
        assert sorted(e["path"] for e in entries) == sorted(files)
        for entry in entries:
            data = files[entry["path"]]
            assert (int(entry["size"]), entry["md5"]) == (len(data), hashlib.md5(data).hexdigest()), entry

        args = ["--from", "nginx"]
        first = e2e.run(*args, exit_code=42)

        assert first.exit_code == 42
        assert first.record is not None, "the application was not started"
        assert first.record.command_line == command_line(e2e.launcher_command_path, args)
        assert first.record.current_directory == windows_path(install)
        assert first.log == log_of(NO_UPDATE_LINES[:3], expected_update_lines(entries, install), launched(42))
        launcher_files = ["Launcher/log.txt", "Launcher/manifest.xml", "Launcher/manifest_backup.xml"]
        assert files_below(install) == sorted(list(files) + launcher_files)
        for rel, data in files.items():
            assert (install / rel).read_bytes() == data, "%s differs from the release" % rel
        assert (install / "Launcher" / "manifest.xml").read_bytes() == manifest.read_bytes()
        assert (install / "Launcher" / "manifest_backup.xml").read_bytes() == manifest.read_bytes()

        # The manifest, then each file once, whole, in the manifest's order.
        served = nginx.wait_for_entries(1 + len(entries))
        wanted = [("GET", MANIFEST_PATH, 200, manifest.stat().st_size)]
        wanted += [("GET", urlsplit(e["src"]).path, 200, int(e["size"])) for e in entries]
        assert [(s.method, s.path, s.status, s.bytes) for s in served] == \
            [(m, unquote(p), s, b) for m, p, s, b in wanted]
        assert {s.agent for s in served} == {USER_AGENT}

        second = e2e.run(exit_code=7)

        assert second.exit_code == 7
        assert second.record is not None, "the application was not started the second time"
        assert second.log == log_of(NO_UPDATE_LINES, launched(7))
        for rel, data in files.items():
            assert (install / rel).read_bytes() == data, "%s changed in the second run" % rel
        # Only the manifest, fetched afresh (the whole of it, not "not modified").
        nginx.wait_for_entries(len(served) + 1)
        time.sleep(0.3)  # room for a late request to show up
        after = nginx.entries()
        assert [(s.method, s.path, s.status, s.bytes, s.agent) for s in after[len(served):]] == \
            [("GET", MANIFEST_PATH, 200, manifest.stat().st_size, USER_AGENT)]
