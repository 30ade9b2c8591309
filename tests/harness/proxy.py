"""A real forward proxy on 127.0.0.1 (Debian's tinyproxy) and the system
proxy settings of a test Wine prefix.

The proxy runs in the foreground as the test's own process, started and
stopped by its id, with its configuration and log in a folder of its own.
Its log names every request it forwarded, which is how a test proves that
a transfer went through it.

Wine's WinINet takes a session opened with INTERNET_OPEN_TYPE_PRECONFIG
through the proxy named by ProxyEnable and ProxyServer under the prefix's
HKCU\\...\\Internet Settings, read when the session opens; requests for
127.0.0.1 go through it too (no local bypass unless ProxyOverride names
the host). With ProxyEnable off it takes the http_proxy environment
variable instead, which the harness keeps away from Wine (harness.wine).
"""

import re
import signal
import socket
import subprocess
import time
from pathlib import Path

from harness import report
from harness.wine import kill_process

TINYPROXY = "/usr/bin/tinyproxy"
INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
PROXY_VALUES = ("ProxyEnable", "ProxyServer", "ProxyOverride")
# tinyproxy's log line for each request it takes in.
REQUEST_LINE = re.compile(r"Request \(file descriptor \d+\): (\S+) (\S+) HTTP/[\d.]+$")

CONFIG = """\
Port {port}
Listen 127.0.0.1
Timeout 30
MaxClients 16
Allow 127.0.0.1
LogFile "{log}"
LogLevel Connect
"""


class Tinyproxy:
    """One tinyproxy in the foreground on 127.0.0.1:`port`, its files under
    `folder`; with basic_auth (user, password) it answers 407 to every
    request without them."""

    def __init__(self, folder, port, basic_auth=None):
        self.folder = Path(folder)
        self.port = port
        self.basic_auth = basic_auth
        self.conf = self.folder / "tinyproxy.conf"
        self.log = self.folder / "tinyproxy.log"
        self.output = self.folder / "tinyproxy.output"
        self.process = None

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def start(self, timeout=10.0):
        self.folder.mkdir(parents=True, exist_ok=True)
        text = CONFIG.format(port=self.port, log=self.log)
        if self.basic_auth:
            text += "BasicAuth %s %s\n" % self.basic_auth
        self.conf.write_text(text)
        with open(self.output, "ab") as out:
            self.process = subprocess.Popen([TINYPROXY, "-d", "-c", str(self.conf)], stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while not self._listening():
            code = self.process.poll()
            assert code is None, "tinyproxy exited with %d while starting:\n%s" % (code, self.describe())
            assert time.monotonic() < deadline, "tinyproxy did not listen within %.0f s" % timeout
            time.sleep(0.05)
        return self

    def _listening(self):
        # A connection without a request: the log shows no request for it.
        return not port_is_closed(self.port) and self.process.poll() is None

    def stop(self):
        if self.process is not None:
            kill_process(self.process, signal.SIGTERM)
            self.process = None

    def requests(self):
        """(method, URL) of every request the proxy took in, in order."""
        if not self.log.is_file():
            return []
        found = []
        for line in self.log.read_text("latin-1").splitlines():
            match = REQUEST_LINE.search(line)
            if match:
                found.append((match.group(1), match.group(2)))
        return found

    def describe(self):
        return report.files_text((("tinyproxy output", self.output), ("tinyproxy log", self.log)))

    def logs_on_failure(self):
        """Adds the proxy's output and log to an assertion's message."""
        return report.on_failure(self.describe)


def port_is_closed(port):
    """Nothing accepts connections on 127.0.0.1:port."""
    with socket.socket() as probe:
        probe.settimeout(1)
        return probe.connect_ex(("127.0.0.1", port)) != 0


def set_system_proxy(wine, address):
    """Points the prefix's Internet settings at the proxy for every host."""
    clear_system_proxy(wine)
    for name, kind, value in (("ProxyServer", "REG_SZ", address), ("ProxyEnable", "REG_DWORD", "1")):
        result = wine.run(["reg", "add", INTERNET_SETTINGS, "/v", name, "/t", kind, "/d", value, "/f"])
        assert result.returncode == 0, "reg add %s failed: %r" % (name, result.stderr)


def clear_system_proxy(wine):
    for name in PROXY_VALUES:
        wine.run(["reg", "delete", INTERNET_SETTINGS, "/v", name, "/f"])
