"""The update server on 127.0.0.1.

One server lives for the whole session; each test gives it a fresh "site":
a dict from request target to what to answer. A target with a query string
is looked up as written first, then by its path alone. A value is bytes or
str (200 with that body), one of the behaviours below, or a callable that
takes the Request and returns either. Unlisted targets go to `fallback`
(a callable like those values) when one is set, else get a 404 page.

Every request is recorded as received (request line and header bytes), with
what the server did about it, so tests can check the client's headers and
count the transfers that started.
"""

import hashlib
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from xml.sax.saxutils import quoteattr

MANIFEST_PATH = "/Updater/manifest.xml"
NO_UPDATE_MANIFEST = b'<update version="1.0"/>'


def md5(data):
    return hashlib.md5(data).hexdigest()


def manifest_xml(files=(), version="1.0"):
    """A manifest document. files: dicts with path, size, md5, src (any may be
    left out or be None to leave the attribute out), or use file_entry()."""
    root = "<update" + ("" if version is None else " version=%s" % quoteattr(version))
    if not files:
        return (root + "/>").encode("utf-8")
    lines = [root + ">"]
    for entry in files:
        attrs = "".join(" %s=%s" % (name, quoteattr(str(entry[name])))
                        for name in ("path", "size", "md5", "src") if entry.get(name) is not None)
        lines.append("  <file%s/>" % attrs)
    lines.append("</update>")
    return ("\n".join(lines) + "\n").encode("utf-8")


def file_entry(path, data, src):
    """A manifest entry describing data (its size and digest) at path, fetched from src."""
    return {"path": path, "size": len(data), "md5": md5(data), "src": src}


class Body:
    """A complete response: status, body, and extra headers."""

    def __init__(self, data=b"", status=200, content_type="application/octet-stream", headers=()):
        self.data = data.encode("utf-8") if isinstance(data, str) else bytes(data)
        self.status = status
        self.content_type = content_type
        self.headers = list(headers)

    def serve(self, handler, record):
        handler.start_response(record, self.status, len(self.data), self.content_type, self.headers)
        handler.send_bytes(record, self.data)
        record.finish("complete")


def status(code, body=None):
    """An error page: status code with an HTML body."""
    if body is None:
        body = "<html><body><h1>%d</h1><p>The test server says %d.</p></body></html>" % (code, code)
    return Body(body, code, "text/html")


def empty():
    """200 with an empty body."""
    return Body(b"")


class Truncated:
    """Announces the whole body, sends only the first `sent` bytes, then closes."""

    def __init__(self, data, sent):
        self.data = bytes(data)
        self.sent = sent
        assert 0 <= sent < len(self.data), "a truncated body must stop short of its length"

    def serve(self, handler, record):
        handler.start_response(record, 200, len(self.data))
        handler.send_bytes(record, self.data[:self.sent])
        handler.close_connection = True
        record.finish("truncated")


class Ranged:
    """A file served the way a static server does: with an ETag and
    Accept-Ranges, a 206 for "Range: bytes=N-" when If-Range is absent or
    names the current ETag (else the whole file with 200).

    `cuts` lists, request by request, after how many body bytes of the answer
    the connection is cut (the full length announced); None serves it whole,
    and requests past the list are served whole. `ranges=False` answers
    every request with the whole file, as a server without ranges does.
    `etag` may be changed between requests, as a new upload changes it;
    None sends none (nor Last-Modified). `refuse` maps a request's number
    (from 0) to what it gets instead: a status with a short body, or "drop"
    (the connection closed before any answer: a server that went away).
    """

    def __init__(self, data, etag='"v1"', cuts=(), ranges=True, refuse=None):
        self.data = bytes(data)
        self.etag = etag
        self.cuts = list(cuts)
        self.ranges = ranges
        self.refuse = dict(refuse or {})
        self.answered = 0

    def serve(self, handler, record):
        index = self.answered
        instead = self.refuse.get(index)
        if instead is not None:
            self.answered += 1
            if instead == "drop":
                handler.close_connection = True
                record.finish("dropped")
            else:
                body = b"refused"
                handler.start_response(record, instead, len(body), "text/plain")
                handler.send_bytes(record, body)
                record.finish("complete")
            return
        start = 0
        asked = record.header("Range")
        if_range = record.header("If-Range")
        if self.ranges and asked and asked.startswith("bytes=") and asked.endswith("-") and (
                if_range is None or if_range == self.etag):
            start = int(asked[len("bytes="):-1])
        body = self.data[start:]
        headers = [("Accept-Ranges", "bytes" if self.ranges else "none")] + (
            [("ETag", self.etag)] if self.etag is not None else [])
        if start:
            headers.append(("Content-Range", "bytes %d-%d/%d" % (start, len(self.data) - 1, len(self.data))))
        cut = self.cuts[self.answered] if self.answered < len(self.cuts) else None
        self.answered += 1
        handler.start_response(record, 206 if start else 200, len(body), headers=headers)
        if cut is None or cut >= len(body):
            handler.send_bytes(record, body)
            record.finish("complete")
        else:
            handler.send_bytes(record, body[:cut])
            handler.close_connection = True
            record.finish("truncated")


class Redirect:
    """A redirect (302 by default) to another target on this server, or any URL."""

    def __init__(self, location, code=302):
        self.location = location
        self.code = code

    def serve(self, handler, record):
        body = b"moved"
        handler.start_response(record, self.code, len(body), "text/plain", [("Location", self.location)])
        handler.send_bytes(record, body)
        record.finish("complete")


class Drop:
    """Closes the connection without answering."""

    def serve(self, handler, record):
        handler.close_connection = True
        record.finish("dropped")


class Paced:
    """A 200 whose body goes out `chunk` bytes every `delay` seconds.

    Tests steer it: `started` is set once the headers are out. The body
    stops, and `paused` is set, on reaching `pause_after` bytes, or after
    the chunk under way once hold() is called, until resume() (paced again)
    or release() (the rest at once). With `limit`, the rest goes at once that
    many seconds after the start, whatever else happens. abort() closes the
    connection at the next chunk or in the pause. `finished` is set when the
    body has ended for any reason; `sent` counts its bytes. One instance
    serves one request at a time; use a fresh one per transfer.
    """

    def __init__(self, data, chunk=1024, delay=0.05, pause_after=None, limit=None):
        self.data = bytes(data)
        self.chunk, self.delay, self.pause_after, self.limit = chunk, delay, pause_after, limit
        self.sent = 0
        self.started, self.paused, self.finished = threading.Event(), threading.Event(), threading.Event()
        self._change = threading.Condition()
        self._held = self._released = self._aborted = False

    def _tell(self, **state):
        with self._change:
            for name, value in state.items():
                setattr(self, name, value)
            self._change.notify_all()

    def hold(self):
        self._tell(_held=True)

    def resume(self):
        self._tell(_held=False, pause_after=None)

    def release(self):
        self._tell(_released=True)

    def abort(self):
        self._tell(_aborted=True)

    def serve(self, handler, record):
        try:
            handler.start_response(record, 200, len(self.data))
            self.started.set()
            end = None if self.limit is None else time.monotonic() + self.limit

            def rush():
                return self._aborted or self._released or (end is not None and time.monotonic() >= end)
            while self.sent < len(self.data) and handler.command != "HEAD":
                with self._change:
                    while not rush() and (self._held or (self.pause_after is not None
                                                         and self.sent >= self.pause_after)):
                        self.paused.set()
                        self._change.wait(None if end is None else end - time.monotonic())
                    if self._aborted:
                        handler.close_connection = True
                        record.finish("aborted by the test")
                        return
                    size = len(self.data) if rush() else self.chunk
                    if self.pause_after is not None and not rush():
                        size = min(size, self.pause_after - self.sent)
                piece = self.data[self.sent:self.sent + size]
                handler.send_bytes(record, piece)
                self.sent += len(piece)
                if self.sent < len(self.data):
                    with self._change:
                        self._change.wait_for(rush, self.delay)
            record.finish("complete")
        finally:
            self.finished.set()


class Silent:
    """Reads the request and never answers, until the test ends (reset)."""

    def __init__(self):
        self._abort = threading.Event()

    def abort(self):
        self._abort.set()

    def serve(self, handler, record):
        self._abort.wait(120)
        handler.close_connection = True
        record.finish("never answered")


class Endless:
    """A 200 whose body never ends: `chunk` bytes every `delay` seconds (0:
    as fast as the client reads) until the client goes away or the test
    ends. No Content-Length, so only the client can stop it."""

    def __init__(self, chunk=65536, delay=0.0):
        self.chunk = chunk
        self.delay = delay
        self._abort = threading.Event()

    def abort(self):
        self._abort.set()

    def serve(self, handler, record):
        record.status = 200
        handler.send_response(200)
        handler.send_header("Content-Type", "application/octet-stream")
        handler.end_headers()
        handler.close_connection = True
        piece = b"<!-- endless -->".ljust(self.chunk, b" ")[:self.chunk]
        while not self._abort.is_set():
            handler.send_bytes(record, piece)
            if self.delay:
                self._abort.wait(self.delay)
        record.finish("stopped by the test")


class Request:
    """One request as the server received it, and what became of it."""

    def __init__(self, index, client, raw):
        self.index = index
        self.client = client
        self.raw = raw  # request line and header lines, exactly as received
        self.time = time.monotonic()
        self.method = self.target = self.version = ""
        self.headers = []  # (name, value) in the order received
        self.status = None
        self.bytes_sent = 0  # body bytes
        self.outcome = "open"
        lines = raw.split(b"\r\n")
        parts = lines[0].decode("latin-1").split(" ")
        if len(parts) == 3:
            self.method, self.target, self.version = parts
        for line in lines[1:]:
            if b":" in line:
                name, value = line.decode("latin-1").split(":", 1)
                self.headers.append((name, value.strip()))

    @property
    def path(self):
        return self.target.split("?", 1)[0]

    @property
    def query(self):
        return self.target.split("?", 1)[1] if "?" in self.target else ""

    def header(self, name):
        """The first value of a header (name compared case-insensitively), or None."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def header_names(self):
        return [key.lower() for key, _ in self.headers]

    def finish(self, outcome):
        self.outcome = outcome

    def describe(self):
        head = "#%d %s %s -> %s, %d body bytes, %s" % (
            self.index, self.method or "?", self.target or repr(self.raw[:80]),
            self.status if self.status is not None else "no status", self.bytes_sent, self.outcome)
        headers = "".join("\n      %s: %s" % pair for pair in self.headers)
        return head + headers


class _RecordingReader:
    """Wraps the connection's input so the request's bytes are kept as sent."""

    def __init__(self, stream):
        self.stream = stream
        self.data = bytearray()

    def readline(self, *args):
        line = self.stream.readline(*args)
        self.data += line
        return line

    def read(self, *args):
        data = self.stream.read(*args)
        self.data += data
        return data

    def __getattr__(self, name):
        return getattr(self.stream, name)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "QuorvalTestServer"
    sys_version = ""

    def setup(self):
        super().setup()
        self.rfile = _RecordingReader(self.rfile)

    def log_message(self, *args):
        pass  # the request log replaces the console lines

    def handle_one_request(self):
        self.rfile.data.clear()
        super().handle_one_request()

    def do_GET(self):
        self.server.owner.dispatch(self, head_only=False)

    def do_HEAD(self):
        self.server.owner.dispatch(self, head_only=True)

    def do_POST(self):
        self.server.owner.dispatch(self, head_only=False)

    def start_response(self, record, code, length, content_type="application/octet-stream", headers=()):
        record.status = code
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(length))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.flush()

    def send_bytes(self, record, data):
        if self.command == "HEAD" or not data:
            return
        self.wfile.write(data)
        self.wfile.flush()
        record.bytes_sent += len(data)


class UpdateServer:
    """The loopback HTTP server of the session. `site` is set per test."""

    def __init__(self, host, port):
        self.host = host
        self.port = port
        self.site = {}
        self.fallback = None
        self.requests = []
        self._lock = threading.Lock()
        self._httpd = None
        self._thread = None

    # --- lifecycle

    def start(self):
        if self._httpd is not None:
            return
        try:
            httpd = ThreadingHTTPServer((self.host, self.port), _Handler)
        except OSError as error:
            raise RuntimeError("the test update server cannot listen on %s:%d (%s); another test run "
                               "may be using this build's port" % (self.host, self.port, error)) from error
        httpd.daemon_threads = True
        httpd.owner = self
        self._httpd = httpd
        self._thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="update-server", daemon=True)
        self._thread.start()

    def stop(self):
        """Stops listening: the port then refuses connections (server unreachable)."""
        if self._httpd is None:
            return
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)
        self._httpd = None
        self._thread = None

    @property
    def online(self):
        return self._httpd is not None

    def reset(self, site=None):
        """A fresh site and an empty request log; aborts anything still being paced."""
        with self._lock:
            old = list(self.site.values())
            self.site = dict(site or {})
            self.requests = []
        for value in old:
            if hasattr(value, "abort"):
                value.abort()
        self.start()

    # --- addresses

    def url(self, target):
        return "http://%s:%d%s" % (self.host, self.port, target)

    # --- the request log

    def requests_for(self, path):
        """Requests whose path (query ignored) is `path`, in arrival order."""
        with self._lock:
            return [r for r in self.requests if r.path == path]

    def forget_since(self, count):
        """Drops the requests after the first `count` from the log."""
        with self._lock:
            del self.requests[count:]

    def paths(self):
        """(method, path) of every request, in arrival order."""
        with self._lock:
            return [(r.method, r.path) for r in self.requests]

    def most_at_once(self):
        """The most requests of the log that were being answered at one moment
        (an answer still going counts until now)."""
        with self._lock:
            spans = [r.answering for r in self.requests if getattr(r, "answering", None)]
        moments = sorted([(start, 1) for start, _ in spans] +
                         [(end, -1) for _, end in spans if end is not None])
        most = now = 0
        for _, step in moments:
            now += step
            most = max(most, now)
        return most

    def manifest_requests(self):
        return self.requests_for(MANIFEST_PATH)

    def describe(self):
        with self._lock:
            requests = list(self.requests)
        if not requests:
            return "(no requests)"
        return "\n".join(r.describe() for r in requests)

    # --- serving

    def dispatch(self, handler, head_only):
        raw = bytes(handler.rfile.data)
        with self._lock:
            record = Request(len(self.requests) + 1, handler.client_address, raw)
            record.answering = (time.monotonic(), None)
            self.requests.append(record)
            target = record.target
            behaviour = self.site.get(target)
            if behaviour is None:
                behaviour = self.site.get(record.path)
            if behaviour is None:
                behaviour = self.fallback
        if callable(behaviour) and not hasattr(behaviour, "serve"):
            behaviour = behaviour(record)
        if behaviour is None:
            behaviour = status(404)
        elif isinstance(behaviour, (bytes, bytearray, str)):
            behaviour = Body(behaviour)
        try:
            behaviour.serve(handler, record)
        except (ConnectionError, OSError) as error:
            record.finish("client went away: %s" % error.__class__.__name__)
            handler.close_connection = True
        finally:
            record.answering = (record.answering[0], time.monotonic())
