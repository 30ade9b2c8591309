"""The launcher against a production web server: nginx serves a release that
tools/publish made, on the port of the built-in manifest URL.

The session's own update server gives the port up for the test and gets it
back afterwards; nginx runs in the foreground as the test's own process with
its configuration, pid file, logs and temporary folders inside the test's
folder.
"""

import contextlib
import hashlib
import http.client
import os
import random
import re
import signal
import socket
import subprocess
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path
from urllib.parse import unquote, urlsplit

import pytest

from harness import publish
from harness.launcher import NO_UPDATE_LINES, command_line
from harness.server import MANIFEST_PATH
from harness.wine import windows_path

NGINX = "/usr/sbin/nginx"
TEMPLATE = Path(__file__).resolve().with_name("nginx.conf.in")
USER_AGENT = "Launcher.Quorval"
# The readiness probe's requests carry this agent so they can be told apart.
PROBE_AGENT = "quorval-e2e-probe"
RELEASE_PATH = "/releases/1/"
CREATED = "[ OK ] Child process created. Waiting for termination..."
ACCESS_LINE = re.compile(r'^(\d{3}) (\d+) "(\S+) (\S+) (\S+)" "(.*)"$')

pytestmark = pytest.mark.skipif(not os.access(NGINX, os.X_OK),
                                reason="%s is missing (scripts/setup.sh installs nginx-light)" % NGINX)


class AccessEntry:
    def __init__(self, line):
        match = ACCESS_LINE.match(line)
        assert match, "unexpected access log line: %r" % line
        self.status = int(match.group(1))
        self.bytes = int(match.group(2))
        self.method = match.group(3)
        self.target = match.group(4)
        self.agent = match.group(6)

    @property
    def path(self):
        """The decoded path, so that how the client percent-encodes does not matter."""
        return unquote(self.target.split("?", 1)[0])

    def __repr__(self):
        return "%s %s -> %d, %d bytes, %r" % (self.method, self.target, self.status, self.bytes, self.agent)


class Nginx:
    """One nginx master process with its files under `folder`."""

    def __init__(self, folder, port, root):
        self.folder = Path(folder)
        self.port = port
        self.root = Path(root)
        self.conf = self.folder / "nginx.conf"
        self.error_log = self.folder / "error.log"
        self.access_log = self.folder / "access.log"
        self.pid_file = self.folder / "nginx.pid"
        self.output = self.folder / "nginx.output"
        self.process = None

    def write_conf(self):
        values = {
            "USER_LINE": "user root;" if os.geteuid() == 0 else "",
            "PREFIX": str(self.folder),
            "ROOT": str(self.root),
            "PORT": str(self.port),
        }
        text = TEMPLATE.read_text()
        for name, value in values.items():
            text = text.replace("@%s@" % name, value)
        left = re.findall(r"@[A-Z_]+@", text)
        assert not left, "unfilled values %s in the nginx configuration" % left
        self.conf.write_text(text)
        (self.folder / "temp").mkdir(exist_ok=True)

    def start(self, timeout=10.0):
        self.write_conf()
        with open(self.output, "wb") as out:
            self.process = subprocess.Popen(
                [NGINX, "-p", str(self.folder) + "/", "-c", str(self.conf), "-e", str(self.error_log),
                 "-g", "daemon off;"],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while True:
            code = self.process.poll()
            assert code is None, "nginx exited with %d while starting" % code
            if self._answers():
                return
            assert time.monotonic() < deadline, "nginx did not answer within %.0f s" % timeout
            time.sleep(0.05)

    def _answers(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=1)
        try:
            connection.request("GET", "/", headers={"User-Agent": PROBE_AGENT})
            response = connection.getresponse()
            response.read()
            # Whatever else may hold the port while nginx retries its bind does not count.
            return (response.getheader("Server") or "").startswith("nginx")
        except OSError:
            return False
        finally:
            connection.close()

    def workers(self):
        """Process ids whose parent is the master."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    stat = f.read()
            except OSError:
                continue
            if int(stat.rsplit(")", 1)[1].split()[1]) == self.process.pid:
                found.append(int(entry))
        return found

    def stop(self):
        """Fast shutdown through the master; should it hang, kill it and its workers by id."""
        if self.process is None or self.process.poll() is not None:
            return
        workers = self.workers()
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            for pid in workers + [self.process.pid]:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            self.process.wait(10)

    def entries(self):
        """The access log's requests, the probe's left out."""
        if not self.access_log.is_file():
            return []
        lines = self.access_log.read_text("latin-1").splitlines()
        return [e for e in map(AccessEntry, lines) if e.agent != PROBE_AGENT]

    def wait_for_entries(self, count, timeout=5.0):
        """The requests once there are at least `count`: a request is logged as it ends,
        which may be a moment after the client has its answer."""
        deadline = time.monotonic() + timeout
        while True:
            entries = self.entries()
            if len(entries) >= count or time.monotonic() > deadline:
                return entries
            time.sleep(0.05)

    def describe(self):
        parts = []
        for name, path in (("nginx output", self.output), ("nginx error log", self.error_log),
                           ("nginx access log", self.access_log)):
            text = path.read_text("latin-1") if path.is_file() else "(none)"
            parts.append("%s %s:\n%s" % (name, path, text.rstrip() or "(empty)"))
        return "\n".join(parts)


def port_is_free(port):
    probe = socket.socket()
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        probe.bind(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        probe.close()


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


@contextlib.contextmanager
def nginx_logs_on_failure(nginx):
    try:
        yield
    except AssertionError as error:
        raise AssertionError("%s\n\n%s" % (error, nginx.describe())) from None


@pytest.fixture
def nginx(e2e, server, tmp_path):
    folder = tmp_path / "nginx"
    root = tmp_path / "www"
    folder.mkdir()
    root.mkdir()
    instance = Nginx(folder, server.port, root)
    server.stop()
    try:
        assert port_is_free(server.port), \
            "the session server still holds port %d after stop()" % server.port
        with nginx_logs_on_failure(instance):
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


def log_form(text):
    """Text as the run log writes it: one byte per character, "?" beyond Latin-1."""
    return "".join(c if ord(c) <= 0xFF else "?" for c in text)


def expected_update_lines(entries, install):
    """The lines a first run logs for these entries: each download, and the
    folder it creates for it when the folder is new (the deepest one only)."""
    lines, existing = [], set()
    for entry in entries:
        path = entry["path"].replace("/", "\\")
        lines.append(log_form('[ OK ] Downloading "%s" from "%s"' % (path, entry["src"])))
        parts = entry["path"].split("/")[:-1]
        if parts and "/".join(parts) not in existing:
            lines.append(log_form('[ OK ] Created directory: "%s"' % windows_path(install.joinpath(*parts))))
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

    with nginx_logs_on_failure(nginx):
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
        assert first.log_lines == (list(NO_UPDATE_LINES[:3]) + expected_update_lines(entries, install)
                                   + [CREATED, "[ OK ] Child process terminated with exit code: 42"])
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
        assert second.log_lines == list(NO_UPDATE_LINES) + [
            CREATED, "[ OK ] Child process terminated with exit code: 7"]
        for rel, data in files.items():
            assert (install / rel).read_bytes() == data, "%s changed in the second run" % rel
        # Only the manifest, fetched afresh (the whole of it, not "not modified").
        nginx.wait_for_entries(len(served) + 1)
        time.sleep(0.3)  # room for a late request to show up
        after = nginx.entries()
        assert [(s.method, s.path, s.status, s.bytes, s.agent) for s in after[len(served):]] == \
            [("GET", MANIFEST_PATH, 200, manifest.stat().st_size, USER_AGENT)]
