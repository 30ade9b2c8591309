"""Shared helpers for the tools/publish tests: run the tool, build releases, serve them over HTTP."""

import itertools
import re
import sys
import threading
import time
import xml.parsers.expat
from functools import partial
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from harness.publish import load, run  # noqa: E402,F401  (run: for the test modules)


@pytest.fixture(scope="session")
def tool():
    """The tool imported as a module, for its pure functions."""
    return load()


def build(root, files):
    """Create files {relative "/" path: bytes} under root."""
    for rel, data in files.items():
        path = Path(root, *rel.split("/"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def read_manifest(path):
    """Parse a manifest with expat, independently of the tool, asserting the launcher's rules."""
    files, stack = [], []

    def start(name, attrs):
        if not stack:
            assert name == "update" and sorted(attrs) == ["serial", "version"], (name, attrs)
            assert attrs["version"] == "1.0" and re.fullmatch("[0-9]+", attrs["serial"]), attrs
            assert int(attrs["serial"]) < 2**64
        else:
            assert stack == ["update"] and name == "file", "<%s> under %s" % (name, stack)
            assert sorted(attrs) == ["md5", "path", "sha256", "size", "src"]
            assert all(attrs.values()), attrs
            assert re.fullmatch("[0-9]+", attrs["size"]) and int(attrs["size"]) < 2**63
            assert re.fullmatch("[0-9a-f]{32}", attrs["md5"])
            assert re.fullmatch("[0-9a-f]{64}", attrs["sha256"])
            assert attrs["src"].startswith(("http://", "https://")) and attrs["src"].isascii()
            parts = attrs["path"].split("/")
            assert "\\" not in attrs["path"] and ":" not in attrs["path"]
            assert all(p not in ("", ".", "..") for p in parts), attrs["path"]
            assert parts[0].lower() != "launcher"
            files.append(dict(attrs, size=int(attrs["size"])))
        stack.append(name)

    parser = xml.parsers.expat.ParserCreate()
    parser.StartElementHandler = start
    parser.EndElementHandler = lambda name: stack.pop()
    data = Path(path).read_bytes()
    assert data.startswith(b'<?xml version="1.0" encoding="utf-8"?>')
    parser.Parse(data, True)
    return files


class Handler(SimpleHTTPRequestHandler):
    """Serves the site folder; /fail500/... answers 500, /slow/... hangs up after 3 s."""

    def do_GET(self):
        if self.path.startswith("/fail500/"):
            self.send_error(500)
        elif self.path.startswith("/slow/"):
            time.sleep(3)  # longer than the client's timeout: it is gone by now
            self.close_connection = True
        else:
            super().do_GET()

    def log_request(self, code="-", size="-"):
        self.server.requests.append("%s %s %s" % (self.command, self.path, int(code)))

    def log_message(self, *args):
        pass


class Site:
    def __init__(self, root, url, requests):
        self.root, self.url, self.requests = root, url, requests

    def log(self):
        return "server requests:\n  " + "\n  ".join(self.requests)


@pytest.fixture(scope="session")
def server(tmp_path_factory):
    root = tmp_path_factory.mktemp("www")
    httpd = ThreadingHTTPServer(("127.0.0.1", 0), partial(Handler, directory=str(root)))
    httpd.daemon_threads = True
    httpd.requests = []
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    yield root, "http://127.0.0.1:%d" % httpd.server_address[1], httpd.requests
    httpd.shutdown()
    httpd.server_close()


_site_numbers = itertools.count()


@pytest.fixture
def site(server):
    """A fresh folder on the shared server, with its URL (ending in /) and the request log."""
    root, url, requests = server
    name = "site%d" % next(_site_numbers)
    (root / name).mkdir()
    del requests[:]
    return Site(root / name, "%s/%s/" % (url, name), requests)
