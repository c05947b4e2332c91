"""The plain HTTP road through the real daemon: absolute-URI, origin-form
and CONNECT requests against real peers on loopback (nginx-light, the
stand-in origin, openssl s_server), the early answers of the request driver
and the dispatch with their log lines, framing of bodies in both
directions, and heads built to confuse a proxy."""
import gzip
import os
import re
import shutil
import socket
import ssl
import subprocess
import threading
import time
import unittest
import zlib

from harness import (CONFIG_XML, NginxOrigin, Proxy, free_port, main, port_open, wait_for)
from origin import StandinOrigin, chunked, response

DEBUG = 0x8000000
ALL_LOG = 0xFFFFFFF


def config(general=None, permissions=None):
    """The shipped configuration with values of the general rule and the
    first allow rule's permissions replaced."""
    with open(CONFIG_XML) as f:
        text = f.read()
    if general:
        start = text.index("<general>")
        end = text.index("</general>")
        block = text[start:end]
        for name, value in general.items():
            block, n = re.subn(r"<%s>[^<]*</%s>" % (name, name), "<%s>%s</%s>" % (name, value, name), block,
                               count=1)
            assert n == 1, name
        text = text[:start] + block + text[end:]
    if permissions is not None:
        start = text.index("<allow>")
        text = text[:start] + re.sub(r"<permissions>[^<]*</permissions>",
                                     "<permissions>%s</permissions>" % permissions, text[start:], count=1)
    return text


# -- a small HTTP/1.x reader ---------------------------------------------------

class Answer:
    def __init__(self, status, reason, headers, body, framing, head):
        self.status = status
        self.reason = reason
        self.headers = headers  # list of (lower-case name, value)
        self.body = body
        self.framing = framing  # "length", "chunked", "close", "none"
        self.head = head
        self.complete = True    # False: the body ended before its framing said

    def header(self, name):
        values = [v for n, v in self.headers if n == name.lower()]
        return values[-1] if values else None


class Reader:
    def __init__(self, sock, timeout=10):
        self.sock = sock
        self.sock.settimeout(timeout)
        self.buffer = b""
        self.closed = False

    def _fill(self):
        try:
            data = self.sock.recv(65536)
        except (socket.timeout, OSError):
            data = b""
        if not data:
            self.closed = True
            return False
        self.buffer += data
        return True

    def line(self):
        while b"\n" not in self.buffer:
            if not self._fill():
                return None
        i = self.buffer.index(b"\n") + 1
        line, self.buffer = self.buffer[:i], self.buffer[i:]
        return line

    def exact(self, n):
        while len(self.buffer) < n:
            if not self._fill():
                data, self.buffer = self.buffer, b""
                return data
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def rest(self):
        while self._fill():
            pass
        data, self.buffer = self.buffer, b""
        return data

    def answer(self, head_request=False):
        """One response; None when the connection ended before a status line."""
        line = self.line()
        if line is None:
            return None
        head = line
        parts = line.decode("latin-1").rstrip("\r\n").split(" ", 2)
        status = int(parts[1])
        reason = parts[2] if len(parts) > 2 else ""
        headers = []
        while True:
            h = self.line()
            if h is None:
                return Answer(status, reason, headers, b"", "none", head)
            head += h
            if h in (b"\r\n", b"\n"):
                break
            name, _, value = h.decode("latin-1").partition(":")
            headers.append((name.strip().lower(), value.strip()))
        answer = Answer(status, reason, headers, b"", "none", head)
        if head_request or status in (204, 304) or 100 <= status < 200:
            return answer
        te = answer.header("transfer-encoding")
        cl = answer.header("content-length")
        if te and te.lower() == "chunked":
            answer.framing = "chunked"
            body = b""
            while True:
                size_line = self.line()
                if size_line is None:
                    answer.complete = False
                    break
                size = int(size_line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while True:
                        t = self.line()
                        if t is None or t in (b"\r\n", b"\n"):
                            break
                    break
                data = self.exact(size)
                body += data
                if len(data) < size or self.exact(2) != b"\r\n":
                    answer.complete = False
                    break
            answer.body = body
        elif cl is not None:
            answer.framing = "length"
            answer.body = self.exact(int(cl))
            answer.complete = len(answer.body) == int(cl)
        else:
            answer.framing = "close"
            answer.body = self.rest()
        return answer


def ask(proxy, data, timeout=10, head_request=False):
    """Sends raw bytes on a new connection; returns (answer, reader)."""
    sock = proxy.connect(timeout)
    sock.sendall(data)
    reader = Reader(sock, timeout)
    return reader.answer(head_request), reader


def get(url, extra="", version="HTTP/1.1", method="GET", body=b""):
    host = url.split("/")[2]
    head = "%s %s %s\r\nHost: %s\r\n%s\r\n" % (method, url, version, host, extra)
    return head.encode() + body


def closed_after(reader, timeout=5):
    """True when the proxy closes the connection (nothing more arrives)."""
    reader.sock.settimeout(timeout)
    try:
        data = reader.sock.recv(1)
    except socket.timeout:
        return False
    except OSError:
        return True
    return data == b""


# -- nginx-light as the origin -------------------------------------------------

SMALL = bytes(range(256)) * 4                      # 1 KiB, binary
LARGE = (b"korvantel relays this line\n" * 4000)[:100 * 1024]  # 100 KiB text
CSS = b"body { color: black; }\n" * 200


class NginxTest(unittest.TestCase):
    files = {"small.bin": SMALL, "large.txt": LARGE, "page.css": CSS}

    def test_static_files(self):
        cases = [
            # (path, method, version, expected status, expected body, head request)
            ("/small.bin", "GET", "HTTP/1.1", 200, SMALL, False),
            ("/large.txt", "GET", "HTTP/1.1", 200, LARGE, False),
            ("/large.txt", "GET", "HTTP/1.0", 200, LARGE, False),
            ("/large.txt", "HEAD", "HTTP/1.1", 200, b"", True),
            ("/missing", "GET", "HTTP/1.1", 404, None, False),
        ]
        with NginxOrigin(self.files) as origin, Proxy() as p:
            for path, method, version, status, body, head in cases:
                with self.subTest(path=path, method=method, version=version):
                    answer, reader = ask(p, get(origin.url(path), version=version, method=method),
                                         head_request=head)
                    self.assertEqual(answer.status, status)
                    if body is not None:
                        self.assertEqual(answer.body, body)
                    if head:
                        self.assertEqual(answer.header("content-length"), str(len(LARGE)))
                        self.assertFalse(closed_after(reader, 0.5), "HEAD answer followed by bytes")
                    reader.sock.close()
            self.assertTrue(p.wait_log("TCP_MISS/200 %d GET %s" % (len(SMALL), origin.url("/small.bin")),
                                       "access"))
            self.assertTrue(p.wait_log("TCP_MISS/404", "access"))
            self.assertTrue(p.wait_log('"GET %s" 200 %d' % (origin.url("/large.txt"), len(LARGE)), "extended"))

    def test_keepalive_both_sides(self):
        with NginxOrigin(self.files) as origin, Proxy(loglevel=ALL_LOG) as p:
            sock = p.connect()
            reader = Reader(sock)
            for i in range(5):
                sock.sendall(get(origin.url("/small.bin")))
                answer = reader.answer()
                self.assertEqual((answer.status, answer.body), (200, SMALL), i)
                self.assertEqual(answer.header("connection"), "keep-alive")
            sock.close()
            # one server connection carried them all
            self.assertTrue(p.wait_log("Connection Pool: hit: http://"))
            self.assertTrue(wait_for(lambda: origin.log().count("GET /small.bin") == 5))

    def test_gzip(self):
        cases = [
            # (proxy general values, client Accept-Encoding, path, Content-Encoding for an HTTP/1.1
            #  client, for an HTTP/1.0 client: its chunked answer is buffered, so decoded)
            ({"compressin": "true"}, "gzip", "/large.txt", "gzip", None),  # nginx encodes
            ({}, "gzip", "/large.txt", None, None),       # the server is not asked for codings
            ({"compressin": "true"}, None, "/large.txt", None, None),  # asked on the client's behalf, decoded
            # encoded by the proxy itself (text/css is not one nginx encodes here)
            ({"compressin": "true", "compressout": "true"}, "gzip", "/page.css", "gzip", "gzip"),
            ({"compressin": "true", "compressout": "true"}, "deflate", "/page.css", "deflate", "deflate"),
        ]
        with NginxOrigin(self.files, gzip=True) as origin:
            for general, accept, path, coding11, coding10 in cases:
                with self.subTest(general=general, accept=accept, path=path):
                    with Proxy(config=config(general)) as p:
                        extra = "Accept-Encoding: %s\r\n" % accept if accept else ""
                        for version, coding in (("HTTP/1.1", coding11), ("HTTP/1.0", coding10)):
                            answer, reader = ask(p, get(origin.url(path), extra, version=version))
                            reader.sock.close()
                            self.assertEqual(answer.status, 200)
                            self.assertEqual(answer.header("content-encoding"), coding, version)
                            expected = self.files[path[1:]]
                            if coding == "gzip":
                                self.assertEqual(gzip.decompress(answer.body), expected)
                            elif coding == "deflate":
                                self.assertEqual(zlib.decompress(answer.body, -15), expected)
                            else:
                                self.assertEqual(answer.body, expected)
                            if version == "HTTP/1.0":
                                # chunks are never sent to an HTTP/1.0 client
                                self.assertNotEqual(answer.framing, "chunked")


# -- the stand-in origin --------------------------------------------------------

PAGE = b"<html><body>\n\nparagraph one\n\n\nparagraph two\n</body></html>\n"


def cut_off(request):
    return response(200, b"x" * 50, length=False).replace(b"\r\n\r\n", b"\r\nContent-Length: 100\r\n\r\n"), True


ROUTES = {
    "/continue": b"HTTP/1.1 100 Continue\r\n\r\n" + response(200, b"after continue"),
    "/early-hints": b"HTTP/1.1 103 Early Hints\r\nLink: </x.css>\r\n\r\n" + response(200, b"after hints"),
    "/simple": (lambda r: (PAGE, True)),
    "/nolength": (lambda r: (response(200, PAGE, version="HTTP/1.0", length=False), True)),
    "/extensions": response(200, length=False, headers=[("Transfer-Encoding", "chunked")]) +
                   chunked([b"hello ", b"chunked ", b"world"], extensions=True, trailers=[("X-Trailer", "t")]),
    "/cut-length": cut_off,
    "/cut-chunked": (lambda r: (response(200, length=False, headers=[("Transfer-Encoding", "chunked")]) +
                                b"5\r\nhello\r\n6\r\n world\r\n10\r\nonly part", True)),
    "/redirect": response(302, b"", reason="Found", headers=[("Location", "http://127.0.0.1:1/elsewhere")]),
    "/echo": (lambda r: response(200, r.body, headers=[("X-Method", r.method)])),
    "/big-chunked": response(200, length=False, headers=[("Transfer-Encoding", "chunked")]) +
                    chunked([b"a" * 3000, b"b" * 3000, b"c" * 3000]),
    "/two-lengths": (lambda r: (b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", True)),
    "/nocontent": b"HTTP/1.1 204 No Content\r\n\r\n",
    "/notmodified": b"HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\n\r\n",
}


class StandinTest(unittest.TestCase):
    def test_responses(self):
        cases = [
            # (path, client version, status, body, framing seen by the client or None, complete)
            ("/continue", "HTTP/1.1", 200, b"after continue", "length", True),
            ("/early-hints", "HTTP/1.1", 200, b"after hints", "length", True),
            ("/simple", "HTTP/1.1", 200, PAGE, "close", True),
            ("/nolength", "HTTP/1.1", 200, PAGE, "close", True),
            ("/extensions", "HTTP/1.1", 200, b"hello chunked world", "chunked", True),
            ("/extensions", "HTTP/1.0", 200, b"hello chunked world", "length", True),
            ("/big-chunked", "HTTP/1.0", 200, b"a" * 3000 + b"b" * 3000 + b"c" * 3000, "length", True),
            ("/cut-length", "HTTP/1.1", 200, b"x" * 50, "length", False),
            ("/cut-chunked", "HTTP/1.1", 200, b"hello worldonly part", "chunked", False),
            ("/redirect", "HTTP/1.1", 302, b"", "length", True),
            # a length nobody can trust: read to the close, never pooled
            ("/two-lengths", "HTTP/1.1", 200, b"hello!", "close", True),
            ("/nocontent", "HTTP/1.1", 204, b"", None, True),
            ("/notmodified", "HTTP/1.1", 304, b"", None, True),
        ]
        with StandinOrigin(ROUTES) as origin, Proxy(loglevel=ALL_LOG) as p:
            for path, version, status, body, framing, complete in cases:
                with self.subTest(path=path, version=version):
                    answer, reader = ask(p, get(origin.url(path), version=version))
                    self.assertIsNotNone(answer)
                    self.assertEqual(answer.status, status)
                    self.assertEqual(answer.body, body)
                    if framing:
                        self.assertEqual(answer.framing, framing)
                    self.assertEqual(answer.complete, complete)
                    if not complete or framing == "close":
                        self.assertTrue(closed_after(reader), "connection left open")
                    if path in ("/continue", "/early-hints"):
                        # the interim answer costs the client nothing
                        self.assertEqual(answer.header("connection"), "keep-alive")
                    if path == "/redirect":
                        self.assertEqual(answer.header("location"), "http://127.0.0.1:1/elsewhere")
                    if path == "/extensions":
                        self.assertIsNone(answer.header("x-trailer"))
                    reader.sock.close()
            self.assertTrue(p.wait_log("process: transfer failed"))
            self.assertEqual(origin.errors, [])

    def test_request_bodies(self):
        small, large = b"field=value&x=1", os.urandom(3000)
        cases = [
            # (description, extra head lines, body bytes on the wire, body the origin must get, its framing)
            ("length", "Content-Length: %d\r\n" % len(small), small, small, "content-length"),
            ("length streamed", "Content-Length: %d\r\n" % len(large), large, large, "content-length"),
            ("chunked", "Transfer-Encoding: chunked\r\n", chunked([small[:5], small[5:]], True), small,
             "content-length"),
            ("chunked streamed", "Transfer-Encoding: chunked\r\n", chunked([large[:1500], large[1500:]]),
             large, "transfer-encoding"),
            ("chunked empty", "Transfer-Encoding: chunked\r\n", chunked([]), b"", None),
        ]
        conf = config({"maxubuffer": "1K"})
        with StandinOrigin(ROUTES) as origin, Proxy(config=conf) as p:
            for name, extra, wire, expected, framing in cases:
                with self.subTest(name):
                    before = len(origin.requests)
                    sock = p.connect()
                    reader = Reader(sock)
                    sock.sendall(get(origin.url("/echo"), extra, method="POST", body=wire))
                    answer = reader.answer()
                    self.assertEqual((answer.status, answer.body), (200, expected))
                    # the connection still serves: nothing of the body was left behind
                    sock.sendall(get(origin.url("/echo")))
                    again = reader.answer()
                    self.assertEqual((again.status, again.body), (200, b""))
                    sock.close()
                    got = origin.requests[before]
                    self.assertEqual(got.body, expected)
                    if framing:
                        self.assertIsNotNone(got.header(framing))
            self.assertEqual(origin.errors, [])

    def test_cut_request_body(self):
        """A client that stops in the middle of its body: the origin never
        gets a request that passes for complete."""
        with StandinOrigin(ROUTES, read_timeout=3) as origin, \
                Proxy(config=config({"maxubuffer": "1K", "timeout": "2"})) as p:
            for extra, wire in [("Content-Length: 100\r\n", b"x" * 40),
                                ("Content-Length: 5000\r\n", b"x" * 2000),
                                ("Transfer-Encoding: chunked\r\n", b"5\r\nhello\r\n10\r\nabc")]:
                with self.subTest(extra=extra):
                    sock = p.connect()
                    sock.sendall(get(origin.url("/echo"), extra, method="POST", body=wire))
                    sock.shutdown(socket.SHUT_WR)
                    Reader(sock).rest()
                    sock.close()
            time.sleep(1)
            for r in origin.requests:
                self.assertNotEqual(r.path, "/echo", r)

    def test_pooled_server_connection(self):
        with StandinOrigin(ROUTES) as origin, Proxy(loglevel=ALL_LOG) as p:
            for i in range(3):
                answer, reader = ask(p, get(origin.url("/extensions")))
                self.assertEqual(answer.body, b"hello chunked world")
                reader.sock.close()
            self.assertEqual(len(origin.requests), 3)
            self.assertEqual(origin.connections, 1)
            self.assertEqual(origin.errors, [])

    def test_server_closing_pooled_connection(self):
        """A pooled connection the origin closed meanwhile is replaced
        without the client noticing."""
        routes = {"/once": (lambda r: (response(200, b"one answer"), True)),
                  "/keep": response(200, b"kept")}
        with StandinOrigin(routes) as origin, Proxy() as p:
            for path in ("/keep", "/once", "/keep", "/keep"):
                answer, reader = ask(p, get(origin.url(path)))
                self.assertEqual(answer.status, 200, path)
                reader.sock.close()
            self.assertEqual(origin.errors, [])


# -- heads built to confuse a proxy ---------------------------------------------

class HostileTest(unittest.TestCase):
    def test_hostile_heads(self):
        body = b"5\r\nhello\r\n0\r\n\r\n"
        cases = [
            # (name, head lines after the request line, body, expected status, None for "forwarded",
            # "close" for "forwarded, then the connection closes")
            ("length and chunked", "Content-Length: 15\r\nTransfer-Encoding: chunked\r\n", body, "close"),
            ("two lengths", "Content-Length: 5\r\nContent-Length: 6\r\n", b"hello!", 400),
            ("xchunked", "Transfer-Encoding: xchunked\r\n", body, 400),
            ("chunked twice", "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", body, 400),
            ("blank before colon", "Content-Length : 5\r\n", b"hello", 400),
            ("signed length", "Content-Length: +5\r\n", b"hello", 400),
            ("folded length", "Content-Length: 5\r\n 0\r\n", b"hello", 400),
            ("folded coding", "Transfer-Encoding:\r\n chunked\r\n", body, "close"),
            ("chunks with bare LF", "Transfer-Encoding: chunked\r\n", b"5\nhello\n0\n\n", 400),
            ("zero-padded chunk size", "Transfer-Encoding: chunked\r\n", b"000000000000000000005\r\nhello\r\n0\r\n\r\n",
             None),
            ("overflowing chunk size", "Transfer-Encoding: chunked\r\n", b"fffffffffffffffffffff\r\nhello\r\n0\r\n\r\n",
             400),
            ("obs-fold", "X-Folded: one\r\n two\r\n", b"", None),
            ("NUL byte", "X-Nul: a\0b\r\n", b"", 400),
            ("long line", "X-Long: %s\r\n" % ("a" * 70000), b"", 400),
            ("long target", None, b"", 414),
            ("no host", "", b"", None),
        ]
        with StandinOrigin(ROUTES) as origin, Proxy(loglevel=ALL_LOG) as p:
            target = origin.url("/echo")
            for name, lines, wire, status in cases:
                with self.subTest(name):
                    before = len(origin.requests)
                    if lines is None:
                        data = ("GET %s?%s HTTP/1.1\r\nHost: x\r\n\r\n" % (target, "a" * 9000)).encode()
                    elif name == "no host":
                        data = ("GET %s HTTP/1.1\r\n\r\n" % target).encode()
                    else:
                        data = ("POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (target, lines)).encode() + wire
                    sock = p.connect()
                    reader = Reader(sock)
                    sock.sendall(data)
                    # a well-formed request right behind it on the same connection
                    sock.sendall(get(origin.url("/redirect")))
                    answer = reader.answer()
                    self.assertIsNotNone(answer)
                    if status == "close":
                        # forwarded, then nothing more is read from that connection
                        self.assertEqual(answer.status, 200)
                        self.assertTrue(closed_after(reader), "ambiguous message left the connection open")
                    elif status is not None:
                        self.assertEqual(answer.status, status)
                        self.assertTrue(closed_after(reader), "refused message left the connection open")
                        self.assertEqual(len(origin.requests), before)
                    else:
                        self.assertEqual(answer.status, 200)
                        follow = reader.answer()
                        self.assertEqual(follow.status, 302)
                    sock.close()
                    # the pooled server connection is still in step
                    answer, reader = ask(p, get(origin.url("/extensions")))
                    self.assertEqual(answer.body, b"hello chunked world")
                    reader.sock.close()
            self.assertEqual(origin.errors, [])
            for r in origin.requests:
                self.assertFalse(r.header("content-length") and r.header("transfer-encoding"), r)
            folded = [r for r in origin.requests if r.header("x-folded")]
            self.assertEqual(folded[0].header("x-folded"), "one two")
            self.assertTrue(p.wait_log("request: refused ambiguous message from 127.0.0.1"))


# -- early answers of the driver and the dispatch -----------------------------------

class EarlyAnswerTest(unittest.TestCase):
    def test_refusals(self):
        dead = free_port()
        cases = [
            # (permissions or None for the shipped ones, general values, request, status, native log line)
            (None, {}, b"GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404,
             "Blocked Security Breach: 127.0.0.1 attempted an unacceptable protocol"),
            ("proxy,origin", {}, b"GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404,
             "Blocked Security Breach: 127.0.0.1 tried to make a malformatted request"),
            ("proxy,origin,transparent", {}, b"GET /x HTTP/1.1\r\n\r\n", 404,
             "Blocked Security Breach: 127.0.0.1 tried to make a malformatted request"),
            ("proxy,origin,transparent", {}, b"GET /x HTTP/1.1\r\nHost: 127.0.0.1:PROXYPORT\r\n\r\n", 404,
             "Blocked Security Breach: 127.0.0.1 tried to make a request to website on PROXYPORT"),
            ("proxy", {}, b"CONNECT 127.0.0.1:443 HTTP/1.1\r\n\r\n", 404,
             "Blocked Security Breach: 127.0.0.1 attempted a CONNECT request"),
            (None, {}, b"CONNECT 127.0.0.1:8443 HTTP/1.1\r\n\r\n", 404,
             "denied CONNECT request from 127.0.0.1 to port 8443"),
            (None, {}, ("GET http://127.0.0.1:%d/ HTTP/1.1\r\n\r\n" % dead).encode(), 503,
             "network: error: cannot connect to 127.0.0.1:%d (noconnect)" % dead),
            (None, {}, b"GET gopher://127.0.0.1/x HTTP/1.1\r\n\r\n", 501, "template: sent badprotocol"),
            (None, {}, b"GET\r\n\r\n", 400, "request: invalid header recieved from 127.0.0.1"),
            # URL commands the dispatch answers itself
            ("proxy,urlcommands", {}, b"GET http://xx--template[nofile].127.0.0.1/ HTTP/1.1\r\n\r\n", 200,
             "template: sent nofile"),
            ("proxy,urlcommands", {}, b"GET http://xx--prefetch.127.0.0.1/ HTTP/1.1\r\n\r\n", 404,
             "template: sent unknown"),
            ("proxy,urlcommands", {}, b"GET http://xx--offline.127.0.0.1/ HTTP/1.1\r\n\r\n", 404,
             "template: sent nocache"),
            # without the permission the commands are dropped: the request goes out as it is
            (None, {}, ("GET http://xx--template[nofile].127.0.0.1:%d/ HTTP/1.1\r\n\r\n" % dead).encode(), 503,
             "command: template, options: nofile"),
        ]
        for permissions, general, data, status, line in cases:
            with self.subTest(request=data[:40], permissions=permissions):
                with Proxy(config=config(general, permissions), loglevel=ALL_LOG) as p:
                    data = data.replace(b"PROXYPORT", str(p.port).encode())
                    line = line.replace("PROXYPORT", str(p.port))
                    answer, reader = ask(p, data)
                    self.assertEqual(answer.status, status)
                    self.assertTrue(p.wait_log(line), line)
                    if status in (404, 400, 501) and b"xx--" not in data:
                        self.assertTrue(closed_after(reader))
                    reader.sock.close()
                    # every answered request leaves its record
                    self.assertTrue(p.wait_log("/%d" % status, "access"))

    def test_transparent_request(self):
        with StandinOrigin(ROUTES) as origin, \
                Proxy(config=config(permissions="proxy,origin,transparent")) as p:
            data = ("GET /extensions HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % origin.port).encode()
            answer, reader = ask(p, data)
            self.assertEqual(answer.body, b"hello chunked world")
            reader.sock.close()
            self.assertEqual(origin.requests[0].line, "GET /extensions HTTP/1.1")

    def test_refused_request_with_body_closes(self):
        """The body of a refused request is never read as the next request."""
        with StandinOrigin(ROUTES) as origin, Proxy() as p:
            smuggled = get(origin.url("/echo"))
            data = (b"POST /x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(smuggled)) + smuggled
            answer, reader = ask(p, data)
            self.assertEqual(answer.status, 404)
            self.assertTrue(closed_after(reader))
            time.sleep(0.3)
            self.assertEqual(origin.requests, [])

    def test_refused_streamed_body_ends_cleanly(self):
        """A refusal before a large body was read: the page arrives and the
        connection ends with a close, not a reset, though the client goes
        on sending its body."""
        with Proxy() as p:
            sock = p.connect()
            sock.sendall(b"POST /x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4000000\r\n\r\n")
            reader = Reader(sock)
            answer = reader.answer()
            self.assertEqual(answer.status, 404)
            self.assertEqual(answer.header("connection"), "close")
            try:
                sock.sendall(b"x" * 65536)
            except OSError:
                pass
            sock.settimeout(10)
            self.assertEqual(sock.recv(1), b"")  # a reset would raise here
            sock.close()

    def test_head_timeout(self):
        with Proxy(config=config({"timeout": "1"}), loglevel=ALL_LOG) as p:
            sock = p.connect()
            self.assertTrue(closed_after(Reader(sock), 10))
            sock.close()
            self.assertTrue(p.wait_log("request: timeout waiting for header from 127.0.0.1"))


# -- CONNECT through to openssl s_server -----------------------------------------------

class ConnectTest(unittest.TestCase):
    def test_tunnel(self):
        work = __import__("tempfile").mkdtemp(prefix="korvantel-tls-")
        key, cert = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                        "-keyout", key, "-out", cert, "-days", "1"], check=True, capture_output=True)
        port = free_port()
        server = subprocess.Popen(["openssl", "s_server", "-accept", "127.0.0.1:%d" % port, "-cert", cert,
                                   "-key", key, "-www", "-quiet"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_for(lambda: port_open(port), 10))
            with Proxy(config=config({"cportrange": str(port)})) as p:
                sock = p.connect()
                sock.sendall(("CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" %
                              (port, port)).encode())
                head = b""
                while b"\r\n\r\n" not in head:
                    chunk = sock.recv(1)
                    self.assertTrue(chunk)
                    head += chunk
                self.assertEqual(head, b"HTTP/1.1 200 Connection Established\r\n\r\n")
                context = ssl.create_default_context()
                context.check_hostname = False
                context.verify_mode = ssl.CERT_NONE
                tls = context.wrap_socket(sock, server_hostname="localhost")
                tls.sendall(b"GET / HTTP/1.0\r\n\r\n")
                data = b""
                while True:
                    chunk = tls.recv(65536)
                    if not chunk:
                        break
                    data += chunk
                tls.close()
                self.assertTrue(data.startswith(b"HTTP/1.0 200"), data[:60])
                self.assertTrue(p.wait_log('"CONNECT connect://127.0.0.1:%d/" 200' % port, "extended"),
                                p.log("extended"))
        finally:
            server.terminate()
            server.wait(5)
            shutil.rmtree(work, ignore_errors=True)


# -- bounded load ---------------------------------------------------------------------

ABSOLUTE_LUA = """
wrk.path = os.getenv("ORIGIN")
wrk.headers["Host"] = string.match(wrk.path, "//([^/]+)")
"""


@unittest.skipUnless(shutil.which("wrk"), "wrk is not installed")
class LoadTest(unittest.TestCase):
    def test_load(self):
        """200 concurrent clients for 30 s: no error answers, no leaked
        descriptors, and the daemon still serves afterwards."""
        # Room in the server pool for every client's upstream connection:
        # with the shipped 20, the rest are closed after each answer and
        # their TIME_WAIT states would use up the loopback ports.
        with open(CONFIG_XML) as f:
            config = f.read().replace("<poolsize>20</poolsize>", "<poolsize>256</poolsize>")
        with NginxOrigin({"small.bin": SMALL}) as origin, Proxy(config=config) as p:
            def descriptors():
                return len(os.listdir("/proc/%d/fd" % p.pid))
            before = descriptors()
            lua = os.path.join(p.dir, "absolute.lua")
            with open(lua, "w") as f:
                f.write(ABSOLUTE_LUA)
            out = subprocess.run(["wrk", "-t", "4", "-c", "200", "-d", "30s", "--timeout", "5s", "-s", lua,
                                  "http://127.0.0.1:%d/" % p.port],
                                 capture_output=True, timeout=120,
                                 env=dict(os.environ, ORIGIN=origin.url("/small.bin"))).stdout.decode()
            self.assertIn("requests in", out)
            self.assertNotIn("Non-2xx or 3xx responses", out)
            self.assertNotRegex(out, r"Socket errors: connect [1-9]")
            answer, reader = ask(p, get(origin.url("/small.bin")))
            self.assertEqual((answer.status, answer.body), (200, SMALL))
            reader.sock.close()
            # idle client and server connections are closed by their pools'
            # time-outs; what stays open beyond that has leaked
            self.assertTrue(wait_for(lambda: descriptors() <= before + 25, 60),
                            (before, descriptors()))


if __name__ == "__main__":
    main()
