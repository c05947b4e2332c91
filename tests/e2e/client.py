"""The client side: requests as bytes and the one HTTP/1.x response reader.

    with proxy.client() as c:                      # a connection to the daemon
        r = c.ask(request(origin.url("/x"), ["Accept-Encoding: gzip"]))
        assert (r.status, r.header("content-encoding")) == (200, "gzip")
        assert r.complete and r.framing == "chunked"
        assert c.closed()                          # the daemon closed its end

A Response keeps its head as sent (`head`, `lines`, repeated headers in
`all(name)`), the body as framed, how it was framed and whether the body
arrived whole. Every read is bounded by the connection's timeout.
"""
import socket
import ssl

FRAMING_HEADERS = ("content-length:", "transfer-encoding:")


def request(url, headers=(), method="GET", body=b"", version="HTTP/1.1", host=None):
    """A request for an absolute URL with a Host header taken from it.
    headers: "Name: value" lines. A body gets a Content-Length unless the
    headers frame it themselves."""
    lines = ["%s %s %s" % (method, url, version)]
    host = host if host is not None else url.split("/")[2]
    if host:
        lines.append("Host: %s" % host)
    lines += list(headers)
    if body and not any(h.lower().startswith(FRAMING_HEADERS) for h in headers):
        lines.append("Content-Length: %d" % len(body))
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


class Response:
    def __init__(self, status, reason, head):
        self.status = status
        self.reason = reason
        self.head = head            # the head as received, status line included
        self.headers = []           # (lower-case name, value), in order
        self.body = b""
        self.framing = "none"       # "length", "chunked", "close" or "none"
        self.complete = True        # False: the body ended before its framing said

    @property
    def lines(self):
        """Head lines without line ends, status line first."""
        return self.head.decode("latin-1").rstrip("\r\n").split("\r\n")

    def header(self, name):
        """The last value of a header, None when absent."""
        values = self.all(name)
        return values[-1] if values else None

    def all(self, name):
        return [v for n, v in self.headers if n == name.lower()]

    def __repr__(self):
        return "Response(%d, %r, %d body bytes)" % (self.status, self.headers, len(self.body))


class Connection:
    """A client socket with a read buffer; a context manager."""

    def __init__(self, sock, timeout=10):
        self.sock = sock
        self.sock.settimeout(timeout)
        self.buffer = b""
        self.reset = False          # a read met a reset by the peer

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def ask(self, data, head_request=False):
        """Sends a request and reads its response."""
        self.send(data)
        return self.response(head_request)

    def _fill(self):
        try:
            data = self.sock.recv(65536)
        except ConnectionResetError:
            self.reset = True
            data = b""
        except (socket.timeout, OSError):
            data = b""
        if not data:
            return False
        self.buffer += data
        return True

    def line(self):
        """One line with its end; None when the connection ended first."""
        while b"\n" not in self.buffer:
            if not self._fill():
                return None
        i = self.buffer.index(b"\n") + 1
        line, self.buffer = self.buffer[:i], self.buffer[i:]
        return line

    def exact(self, n):
        """n bytes, or fewer when the connection ended first."""
        while len(self.buffer) < n:
            if not self._fill():
                break
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def rest(self):
        """Everything up to the close (or the timeout)."""
        while self._fill():
            pass
        data, self.buffer = self.buffer, b""
        return data

    def head(self):
        """The raw bytes of one head, up to and including its empty line."""
        head = b""
        while True:
            line = self.line()
            if line is None:
                return head
            head += line
            if line in (b"\r\n", b"\n"):
                return head

    def response(self, head_request=False):
        """One response; None when the connection ended before a status line."""
        line = self.line()
        if line is None:
            return None
        parts = line.decode("latin-1").rstrip("\r\n").split(" ", 2)
        r = Response(int(parts[1]), parts[2] if len(parts) > 2 else "", line)
        while True:
            h = self.line()
            if h is None:
                r.complete = False
                return r
            r.head += h
            if h in (b"\r\n", b"\n"):
                break
            name, _, value = h.decode("latin-1").partition(":")
            r.headers.append((name.strip().lower(), value.strip()))
        if head_request or r.status in (204, 304) or 100 <= r.status < 200:
            return r
        te, cl = r.header("transfer-encoding"), r.header("content-length")
        if te and te.lower() == "chunked":
            r.framing = "chunked"
            r.body, r.complete = self._chunked()
        elif cl is not None:
            r.framing = "length"
            r.body = self.exact(int(cl))
            r.complete = len(r.body) == int(cl)
        else:
            r.framing = "close"
            r.body = self.rest()
        return r

    def _chunked(self):
        body = b""
        while True:
            size_line = self.line()
            if size_line is None:
                return body, False
            size = int(size_line.split(b";")[0].strip() or b"0", 16)
            if size == 0:
                while True:
                    t = self.line()
                    if t is None or t in (b"\r\n", b"\n"):
                        return body, True
            data = self.exact(size)
            body += data
            if len(data) < size or self.exact(2) != b"\r\n":
                return body, False

    def closed(self, timeout=5, reset=True):
        """True when the peer closes without sending anything more within
        timeout seconds; a reset counts as a close unless reset is false."""
        if self.buffer:
            return False
        self.sock.settimeout(timeout)
        try:
            data = self.sock.recv(1)
        except socket.timeout:
            return False
        except OSError:
            return reset
        return data == b""

    def tls(self, server_hostname="localhost"):
        """Wraps the socket in TLS without checking the certificate (the
        test's own origin); the buffer must be empty."""
        assert not self.buffer
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        self.sock = context.wrap_socket(self.sock, server_hostname=server_hostname)
        return self


def connect(port, host="127.0.0.1", timeout=10, source=None):
    """A Connection to host:port, from the source address when given."""
    if source:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.settimeout(timeout)
        sock.bind((source, 0))
        sock.connect((host, port))
    else:
        sock = socket.create_connection((host, port), timeout=timeout)
    return Connection(sock, timeout)
