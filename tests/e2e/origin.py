"""A scripted HTTP origin on loopback for what a real server will not do:
interim 100 answers, HTTP/0.9, bodies without length, chunk extensions
and trailers, bodies cut off in the middle.

It records exactly what it received: every request it could frame (head
lines, the body as framed, the raw bytes) per connection, and anything it
could not frame as an error, so a test can tell whether a request reached
it with ambiguous framing or whether a pooled connection fell out of step.

    with StandinOrigin({"/x": b"HTTP/1.1 200 OK\\r\\nContent-Length: 2\\r\\n\\r\\nhi"}) as o:
        ...
        o.requests[0].path == "/x"

A route is raw response bytes, or a callable taking the Request and
returning bytes or (bytes, close_after). Raw bytes whose route name ends
the response by closing are sent and the connection is closed when close
is true. Unknown paths get 404. A list of pieces is sent with a pause
after each; a piece may be RESET (the origin resets the connection,
SO_LINGER 0) or Stall(seconds) (it sends nothing for that long).
"""
import socket
import struct
import threading
import time

RESET = object()


class Stall:
    def __init__(self, seconds):
        self.seconds = seconds


class Request:
    def __init__(self, connection, line, headers, body, raw):
        self.connection = connection  # index of the origin connection
        self.line = line
        parts = line.split(" ")
        self.method = parts[0] if parts else ""
        self.target = parts[1] if len(parts) > 1 else ""
        self.version = parts[2] if len(parts) > 2 else ""
        self.path = self.target
        self.headers = headers  # list of (name, value) as received
        self.body = body
        self.raw = raw

    def header(self, name):
        values = [v for n, v in self.headers if n.lower() == name.lower()]
        return values[-1] if values else None

    def headers_named(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]

    def __repr__(self):
        return "Request(%r, %d body bytes)" % (self.line, len(self.body))


class FramingError(Exception):
    pass


class Listener:
    """The skeleton of a threaded stand-in server: a listener on a free
    loopback TCP port (or on a Unix socket at `path`), an accept thread, and
    one thread per connection running self.handle(conn, index), index
    counting the connections from 0. As a context manager it serves inside
    the block; leaving it sets stop_event and closes the listener."""

    def __init__(self, path=None, backlog=16):
        self.lock = threading.Lock()
        self.connections = 0
        self.stop_event = threading.Event()
        self.client_threads = []
        self.path = path
        if path:
            self.sock = socket.socket(socket.AF_UNIX)
            self.sock.bind(path)
            self.port = 0
        else:
            self.sock = socket.socket()
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.sock.bind(("127.0.0.1", 0))
            self.port = self.sock.getsockname()[1]
        self.sock.listen(backlog)
        self.sock.settimeout(0.2)
        self.thread = threading.Thread(target=self._accept, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop_event.set()
        self.thread.join(5)
        try:
            self.sock.close()
        except OSError:
            pass

    def _accept(self):
        while not self.stop_event.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                index = self.connections
                self.connections += 1
            t = threading.Thread(target=self.handle, args=(conn, index), daemon=True)
            self.client_threads.append(t)
            t.start()

    def handle(self, conn, index):
        conn.close()


class StandinOrigin(Listener):
    def __init__(self, routes=None, read_timeout=10):
        super().__init__(backlog=64)
        self.routes = dict(routes or {})
        self.requests = []
        self.errors = []       # (connection index, description, bytes seen)
        self.read_timeout = read_timeout

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def __exit__(self, *exc):
        super().__exit__(*exc)
        for t in self.client_threads:
            t.join(2)

    def lines(self):
        """The request lines received so far."""
        with self.lock:
            return [r.line for r in self.requests]

    def wait_requests(self, n, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.requests) >= n:
                    return True
            time.sleep(0.02)
        return False

    # -- serving ----------------------------------------------------------

    def handle(self, conn, index):
        conn.settimeout(self.read_timeout)
        reader = _Reader(conn)
        try:
            for _ in range(1000):
                try:
                    request = self._read_request(reader, index)
                except FramingError as e:
                    with self.lock:
                        self.errors.append((index, str(e), bytes(reader.seen)))
                    return
                if request is None:
                    return
                with self.lock:
                    self.requests.append(request)
                route = self.routes.get(request.path)
                if route is None:
                    route = self.routes.get("*")
                close = False
                if route is None:
                    answer = b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"
                elif callable(route):
                    answer = route(request)
                    if isinstance(answer, tuple):
                        answer, close = answer
                else:
                    answer = route
                if isinstance(answer, list):
                    # pieces sent with a pause between them
                    for piece in answer:
                        if piece is RESET:
                            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                            conn.close()
                            return
                        if isinstance(piece, Stall):
                            self.stop_event.wait(piece.seconds)
                            continue
                        conn.sendall(piece)
                        time.sleep(0.2)
                else:
                    conn.sendall(answer)
                if close:
                    return
        except OSError:
            return
        finally:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()

    def _read_request(self, reader, index):
        reader.seen = bytearray()
        line = reader.line()
        if line is None:
            return None
        while line in (b"\r\n", b"\n"):
            line = reader.line()
            if line is None:
                return None
        if not line.endswith(b"\r\n"):
            raise FramingError("request line without CRLF")
        text = line[:-2].decode("latin-1")
        if len(text.split(" ")) != 3 or not text.split(" ")[2].startswith("HTTP/"):
            raise FramingError("bad request line %r" % text)
        headers = []
        while True:
            h = reader.line()
            if h is None:
                raise FramingError("head cut off")
            if h == b"\r\n":
                break
            if not h.endswith(b"\r\n"):
                raise FramingError("header line without CRLF")
            h = h[:-2].decode("latin-1")
            if h[:1] in (" ", "\t"):
                raise FramingError("obs-fold line %r" % h)
            if "\0" in h or "\r" in h:
                raise FramingError("control byte in %r" % h)
            name, sep, value = h.partition(":")
            if not sep or name != name.strip() or not name:
                raise FramingError("malformed header line %r" % h)
            headers.append((name, value.strip()))
        lengths = [v for n, v in headers if n.lower() == "content-length"]
        codings = [v for n, v in headers if n.lower() == "transfer-encoding"]
        if lengths and codings:
            raise FramingError("both Content-Length and Transfer-Encoding")
        if len(lengths) > 1:
            raise FramingError("several Content-Length lines")
        if len(codings) > 1 or (codings and codings[0].lower() != "chunked"):
            raise FramingError("Transfer-Encoding %r" % codings)
        body = b""
        if lengths:
            if not lengths[0].isdigit():
                raise FramingError("Content-Length %r" % lengths[0])
            body = reader.exact(int(lengths[0]))
            if body is None:
                raise FramingError("body cut off")
        elif codings:
            body = self._read_chunked(reader)
        return Request(index, text, headers, body, bytes(reader.seen))

    @staticmethod
    def _read_chunked(reader):
        body = b""
        while True:
            line = reader.line()
            if line is None or not line.endswith(b"\r\n"):
                raise FramingError("chunk size line cut off")
            size_text = line[:-2].split(b";")[0].strip()
            try:
                size = int(size_text, 16)
            except ValueError:
                raise FramingError("chunk size %r" % line)
            if size == 0:
                while True:
                    t = reader.line()
                    if t is None:
                        raise FramingError("trailer cut off")
                    if t == b"\r\n":
                        return body
            data = reader.exact(size)
            if data is None:
                raise FramingError("chunk cut off")
            body += data
            if reader.exact(2) != b"\r\n":
                raise FramingError("chunk not followed by CRLF")


class _Reader:
    def __init__(self, conn):
        self.conn = conn
        self.buffer = b""
        self.seen = bytearray()

    def _fill(self):
        try:
            data = self.conn.recv(65536)
        except (socket.timeout, OSError):
            return False
        if not data:
            return False
        self.buffer += data
        return True

    def line(self, limit=1 << 20):
        while b"\n" not in self.buffer:
            if len(self.buffer) > limit or not self._fill():
                if self.buffer:
                    raise FramingError("unterminated line %r" % self.buffer[:80])
                return None
        i = self.buffer.index(b"\n") + 1
        line, self.buffer = self.buffer[:i], self.buffer[i:]
        self.seen += line
        return line

    def exact(self, n):
        while len(self.buffer) < n:
            if not self._fill():
                return None
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        self.seen += data
        return data


def response(status=200, body=b"", headers=(), reason="OK", version="HTTP/1.1", length=True):
    """A response with a Content-Length unless length is false."""
    head = "%s %d %s\r\n" % (version, status, reason)
    for name, value in headers:
        head += "%s: %s\r\n" % (name, value)
    if length:
        head += "Content-Length: %d\r\n" % len(body)
    return head.encode() + b"\r\n" + body


def chunked(pieces, extensions=False, trailers=()):
    """A chunked body of the given pieces, optionally with chunk extensions
    and trailer lines."""
    out = b""
    for i, piece in enumerate(pieces):
        ext = (";ext%d=\"v\"" % i).encode() if extensions else b""
        out += b"%x" % len(piece) + ext + b"\r\n" + piece + b"\r\n"
    out += b"0\r\n"
    for name, value in trailers:
        out += ("%s: %s\r\n" % (name, value)).encode()
    return out + b"\r\n"
