"""nginx on 127.0.0.1 serving a folder, for the end-to-end run against a
production web server, the https tests and the benchmarks: one master
process in the foreground, started and stopped by its id, with its
configuration (nginx.conf.in beside this file), pid file, logs and
temporary folders inside a folder of its own. Given a certificate
(harness.tls) it serves TLS only; given redirects, it answers those paths
with a 302 to the URL named."""

import contextlib
import http.client
import os
import re
import signal
import socket
import ssl
import subprocess
import time
from pathlib import Path
from urllib.parse import unquote

from harness import report
from harness.wine import children

NGINX = "/usr/sbin/nginx"
TEMPLATE = Path(__file__).resolve().with_name("nginx.conf.in")
# The readiness probe's requests carry this agent so they can be told apart.
PROBE_AGENT = "quorval-harness-probe"
ACCESS_LINE = re.compile(r'^(\d{3}) (\d+) "(\S+) (\S+) (\S+)" "(.*)"$')


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


class Nginx:
    """One nginx master process with its files under `folder`, serving `root`
    on `port`; access_log: one line per request in access.log (entries());
    certificate: a harness.tls.Certificate to serve https with; redirects:
    {path: URL} answered with a 302."""

    def __init__(self, folder, port, root, access_log=True, certificate=None, redirects=None):
        self.folder = Path(folder)
        self.port = port
        self.root = Path(root)
        self.certificate = certificate
        self.redirects = dict(redirects or {})
        self.access_log = self.folder / "access.log" if access_log else None
        self.conf = self.folder / "nginx.conf"
        self.error_log = self.folder / "error.log"
        self.output = self.folder / "nginx.output"
        self.process = None

    def write_conf(self):
        values = {
            "USER_LINE": "user root;" if os.geteuid() == 0 else "",
            "PREFIX": str(self.folder),
            "ROOT": str(self.root),
            "PORT": str(self.port),
            "ACCESS_LOG": 'access_log "%s" harness;' % self.access_log if self.access_log else "access_log off;",
            "LISTEN_TLS": " ssl" if self.certificate else "",
            "TLS": 'ssl_certificate "%s"; ssl_certificate_key "%s";' % (self.certificate.cert, self.certificate.key)
                   if self.certificate else "",
            "REDIRECTS": "".join("location = %s { return 302 %s; }\n        " % (path, url)
                                 for path, url in self.redirects.items()),
        }
        text = TEMPLATE.read_text()
        for name, value in values.items():
            text = text.replace("@%s@" % name, value)
        left = re.findall(r"@[A-Z_]+@", text)
        assert not left, "unfilled values %s in the nginx configuration" % left
        self.folder.mkdir(parents=True, exist_ok=True)
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
                return self
            assert time.monotonic() < deadline, "nginx did not answer within %.0f s" % timeout
            time.sleep(0.05)

    @property
    def scheme(self):
        return "https" if self.certificate else "http"

    def url(self, path):
        return "%s://127.0.0.1:%d%s" % (self.scheme, self.port, path)

    def _answers(self):
        if self.certificate:
            # The probe checks nothing: some of the tests' certificates are meant to be refused.
            connection = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=1,
                                                     context=ssl._create_unverified_context())
        else:
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

    def stop(self):
        """Fast shutdown through the master; should it hang, kill it and its workers by id."""
        if self.process is None or self.process.poll() is not None:
            return
        workers = children(self.process.pid)
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
        return report.files_text((("nginx output", self.output), ("nginx error log", self.error_log),
                                  ("nginx access log", self.access_log)))

    def logs_on_failure(self):
        """Adds nginx's output and logs to an assertion's message."""
        return report.on_failure(self.describe)
