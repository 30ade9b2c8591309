"""A small update server on 127.0.0.1 for the runs of the 32-bit launcher.

It answers GET requests from a dict of path -> Content, answers anything
else with a 404, and records every request it receives so that tests can
check what the launcher asked for and how.
"""

import hashlib
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from xml.sax.saxutils import quoteattr

MANIFEST_PATH = "/Updater/manifest.xml"


def md5(data):
    return hashlib.md5(data).hexdigest()


def manifest_xml(entries):
    """A manifest document; entries are (path, data, src) triples."""
    lines = ['<?xml version="1.0" encoding="utf-8"?>', '<update version="1.0">']
    for path, data, src in entries:
        lines.append("  <file path=%s size=\"%d\" md5=\"%s\" src=%s/>"
                     % (quoteattr(path), len(data), md5(data), quoteattr(src)))
    lines.append("</update>")
    return ("\n".join(lines) + "\n").encode("utf-8")


class Content:
    """A 200 answer. With parts > 1 the body goes out in that many pieces,
    pause seconds apart, so that a transfer lasts long enough to be seen."""

    def __init__(self, data, parts=1, pause=0.0):
        self.data = bytes(data)
        self.parts = max(1, parts)
        self.pause = pause


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):  # noqa: N802 (the name http.server dispatches to)
        server = self.server.owner
        record = {
            "time": time.monotonic(),
            "method": self.command,
            "path": self.path,
            "user_agent": self.headers.get("User-Agent"),
            "cookie": self.headers.get("Cookie"),
            "headers": dict(self.headers.items()),
            "status": None,
            "sent": 0,
        }
        server.record(record)
        content = server.content.get(self.path)
        if content is None:
            body = b"<html><body>404 Not Found</body></html>"
            record["status"] = 404
            self.send_response(404)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            record["sent"] = len(body)
            return
        record["status"] = 200
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(content.data)))
        self.end_headers()
        size = len(content.data)
        step = -(-size // content.parts) if size else 0
        for start in range(0, size, step or 1):
            if start:
                time.sleep(content.pause)
            self.wfile.write(content.data[start:start + step])
            self.wfile.flush()
            record["sent"] = min(size, start + step)

    def log_message(self, format, *args):  # noqa: A002 (overrides the base's signature)
        pass


class UpdateServer:
    def __init__(self, port):
        self.port = port
        self.content = {}
        self.requests = []
        self._lock = threading.Lock()
        self._httpd = None
        self._thread = None

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def start(self):
        ThreadingHTTPServer.allow_reuse_address = True
        self._httpd = ThreadingHTTPServer(("127.0.0.1", self.port), _Handler)
        self._httpd.daemon_threads = True
        self._httpd.owner = self
        self._thread = threading.Thread(target=self._httpd.serve_forever, name="x86-update-server",
                                        daemon=True)
        self._thread.start()

    def stop(self):
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._thread.join(10)
            self._httpd = None

    def serve(self, content):
        """Replace what the server answers, and forget earlier requests."""
        with self._lock:
            self.content = dict(content)
            self.requests = []

    def record(self, request):
        with self._lock:
            self.requests.append(request)

    def requested(self):
        with self._lock:
            return [(r["method"], r["path"]) for r in self.requests]

    def describe(self):
        with self._lock:
            requests = list(self.requests)
        if not requests:
            return "server request log: (no requests)"
        lines = ["server request log:"]
        for r in requests:
            lines.append("  %s %s -> %s, %d bytes sent; User-Agent=%r Cookie=%r; headers=%r"
                         % (r["method"], r["path"], r["status"], r["sent"], r["user_agent"], r["cookie"],
                            r["headers"]))
        return "\n".join(lines)
