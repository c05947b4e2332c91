"""The plain HTTP road through the real daemon: absolute-URI, origin-form
and CONNECT requests against real peers on loopback (nginx-light, the
stand-in origin, openssl s_server), the early answers of the request driver
and the dispatch with their log lines, framing of bodies in both
directions, and heads built to confuse a proxy."""
import gzip
import os
import shutil
import socket
import subprocess
import time
import unittest
import zlib

from client import request
from harness import ALL_LOG, Config, Proxy, dead_port, main, wait_for
from peers import Nginx, StandinOrigin, TlsServer, chunked, response


def config(general=None, permissions=None):
    """The shipped configuration with fields of the general rule and the
    local allow rule's permissions set."""
    conf = Config().set("general/rule", **(general or {}))
    if permissions is not None:
        conf.set("access/allow", 1, permissions=permissions)
    return conf


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
        with Nginx(self.files) as origin, Proxy() as p:
            for path, method, version, status, body, head in cases:
                with self.subTest(path=path, method=method, version=version):
                    c = p.client()
                    answer = c.ask(request(origin.url(path), version=version, method=method), head)
                    self.assertEqual(answer.status, status)
                    if body is not None:
                        self.assertEqual(answer.body, body)
                    if head:
                        self.assertEqual(answer.header("content-length"), str(len(LARGE)))
                        self.assertFalse(c.closed(0.5), "HEAD answer followed by bytes")
                    c.close()
            self.assertTrue(p.wait_log("TCP_MISS/200 %d GET %s" % (len(SMALL), origin.url("/small.bin")),
                                       "access"))
            self.assertTrue(p.wait_log("TCP_MISS/404", "access"))
            self.assertTrue(p.wait_log('"GET %s" 200 %d' % (origin.url("/large.txt"), len(LARGE)), "extended"))

    def test_keepalive_both_sides(self):
        with Nginx(self.files) as origin, Proxy(loglevel=ALL_LOG) as p:
            c = p.client()
            for i in range(5):
                c.send(request(origin.url("/small.bin")))
                answer = c.response()
                self.assertEqual((answer.status, answer.body), (200, SMALL), i)
                self.assertEqual(answer.header("connection"), "keep-alive")
            c.close()
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
        with Nginx(self.files, gzip=True) as origin:
            for general, accept, path, coding11, coding10 in cases:
                with self.subTest(general=general, accept=accept, path=path):
                    with Proxy(config=config(general)) as p:
                        extra = ["Accept-Encoding: %s" % accept] if accept else []
                        for version, coding in (("HTTP/1.1", coding11), ("HTTP/1.0", coding10)):
                            c = p.client()
                            answer = c.ask(request(origin.url(path), extra, version=version))
                            c.close()
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
                    c = p.client()
                    answer = c.ask(request(origin.url(path), version=version))
                    self.assertIsNotNone(answer)
                    self.assertEqual(answer.status, status)
                    self.assertEqual(answer.body, body)
                    if framing:
                        self.assertEqual(answer.framing, framing)
                    self.assertEqual(answer.complete, complete)
                    if not complete or framing == "close":
                        self.assertTrue(c.closed(), "connection left open")
                    if path in ("/continue", "/early-hints"):
                        # the interim answer costs the client nothing
                        self.assertEqual(answer.header("connection"), "keep-alive")
                    if path == "/redirect":
                        self.assertEqual(answer.header("location"), "http://127.0.0.1:1/elsewhere")
                    if path == "/extensions":
                        self.assertIsNone(answer.header("x-trailer"))
                    c.close()
            self.assertTrue(p.wait_log("process: transfer failed"))
            self.assertEqual(origin.errors, [])

    def test_request_bodies(self):
        small, large = b"field=value&x=1", os.urandom(3000)
        cases = [
            # (description, extra head lines, body bytes on the wire, body the origin must get, its framing)
            ("length", ["Content-Length: %d" % len(small)], small, small, "content-length"),
            ("length streamed", ["Content-Length: %d" % len(large)], large, large, "content-length"),
            ("chunked", ["Transfer-Encoding: chunked"], chunked([small[:5], small[5:]], True), small,
             "content-length"),
            ("chunked streamed", ["Transfer-Encoding: chunked"], chunked([large[:1500], large[1500:]]),
             large, "transfer-encoding"),
            ("chunked empty", ["Transfer-Encoding: chunked"], chunked([]), b"", None),
        ]
        conf = config({"maxubuffer": "1K"})
        with StandinOrigin(ROUTES) as origin, Proxy(config=conf) as p:
            for name, extra, wire, expected, framing in cases:
                with self.subTest(name):
                    before = len(origin.requests)
                    c = p.client()
                    c.send(request(origin.url("/echo"), extra, method="POST", body=wire))
                    answer = c.response()
                    self.assertEqual((answer.status, answer.body), (200, expected))
                    # the connection still serves: nothing of the body was left behind
                    c.send(request(origin.url("/echo")))
                    again = c.response()
                    self.assertEqual((again.status, again.body), (200, b""))
                    c.close()
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
            for extra, wire in [("Content-Length: 100", b"x" * 40),
                                ("Content-Length: 5000", b"x" * 2000),
                                ("Transfer-Encoding: chunked", b"5\r\nhello\r\n10\r\nabc")]:
                with self.subTest(extra=extra):
                    c = p.client()
                    c.send(request(origin.url("/echo"), [extra], method="POST", body=wire))
                    c.sock.shutdown(socket.SHUT_WR)
                    c.rest()
                    c.close()
            time.sleep(1)
            for r in origin.requests:
                self.assertNotEqual(r.path, "/echo", r)

    def test_pooled_server_connection(self):
        with StandinOrigin(ROUTES) as origin, Proxy(loglevel=ALL_LOG) as p:
            for i in range(3):
                c = p.client()
                answer = c.ask(request(origin.url("/extensions")))
                self.assertEqual(answer.body, b"hello chunked world")
                c.close()
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
                c = p.client()
                answer = c.ask(request(origin.url(path)))
                self.assertEqual(answer.status, 200, path)
                c.close()
            self.assertEqual(origin.errors, [])


# -- origins that authenticate the connection ----------------------------------

class ConnectionAuthTest(unittest.TestCase):
    """NTLM and Negotiate with an origin authenticate the TCP connection, not
    the request: such a server connection is the authenticating client's
    alone, kept for its later requests and closed when it leaves."""

    def origin(self, scheme):
        """An origin that authenticates per connection: a first token gets a
        401 challenge, the second opens the private page, and then every
        request on that same connection gets it without credentials."""
        steps = {}

        def page(r):
            step = steps.get(r.connection, 0)
            if step == 2:
                return response(200, b"private page of A")
            if (r.header("Authorization") or "").startswith(scheme + " ") and step in (0, 1):
                steps[r.connection] = step + 1
                if step == 0:
                    return response(401, b"", [("WWW-Authenticate", scheme + " Y2hhbGxlbmdl")])
                return response(200, b"private page of A")
            return response(401, b"", [("WWW-Authenticate", scheme)])
        return StandinOrigin({"/private": page})

    def test_authenticated_connection_stays_with_its_client(self):
        for scheme in ("NTLM", "Negotiate"):
            with self.subTest(scheme=scheme), self.origin(scheme) as origin, Proxy() as p:
                url = origin.url("/private")
                a = p.client()
                first = a.ask(request(url, ["Authorization: %s dHlwZTE=" % scheme]))
                self.assertEqual(first.status, 401)
                second = a.ask(request(url, ["Authorization: %s dHlwZTM=" % scheme]))
                self.assertEqual((second.status, second.body), (200, b"private page of A"))
                own = origin.requests[-1].connection

                # Another client never gets A's connection.
                with p.client() as b:
                    other = b.ask(request(url))
                    self.assertEqual(other.status, 401, other.body)
                    self.assertNotEqual(origin.requests[-1].connection, own)

                # A goes on over the connection it authenticated.
                again = a.ask(request(url))
                self.assertEqual((again.status, again.body), (200, b"private page of A"))
                self.assertEqual(origin.requests[-1].connection, own)

                # A leaves: its server connection goes with it.
                a.close()
                self.assertTrue(wait_for(lambda: not origin.client_threads[own].is_alive(), 10))
                with p.client() as c:
                    self.assertEqual(c.ask(request(url)).status, 401)
                self.assertEqual(origin.errors, [])


# -- heads built to confuse a proxy ---------------------------------------------

class OddAnswerTest(unittest.TestCase):
    def test_status_lines(self):
        routes = {
            "/partial": response(206, b"part", reason="Partial Content"),
            "/too-long": response(414, b"", reason="Way Too Long"),
            "/no-reason": b"HTTP/1.0  200\r\nContent-Length: 2\r\n\r\nok",
            "/lower-case": b"http/1.1 200 fine\r\nContent-Length: 2\r\n\r\nok",
            # answers that are not HTTP at all
            "/ssh": (lambda r: (b"SSH-2.0-OpenSSH_9.6\r\n", True)),
            "/smtp": (lambda r: (b"220 mail.example ESMTP ready\r\n", True)),
            "/html-only": (lambda r: (PAGE, True)),
            "/word-status": (lambda r: (b"HTTP/1.1 OK 200\r\nContent-Length: 2\r\n\r\nok", True)),
            "/long-code": (lambda r: (b"HTTP/1.1 2000 OK\r\nContent-Length: 2\r\n\r\nok", True)),
            "/no-version": (lambda r: (b"HTTP/ 200 OK\r\nContent-Length: 2\r\n\r\nok", True)),
        }
        cases = [
            # (path, status, reason, body or None when it is the page)
            ("/partial", 206, "Partial Content", b"part"),
            ("/too-long", 414, "URI Too Long", b""),
            ("/no-reason", 200, "OK", b"ok"),
            ("/lower-case", 200, "OK", b"ok"),
            ("/ssh", 502, None, None),
            ("/smtp", 502, None, None),
            ("/html-only", 502, None, None),
            ("/word-status", 502, None, None),
            ("/long-code", 502, None, None),
            ("/no-version", 502, None, None),
        ]
        with StandinOrigin(routes) as origin, Proxy(loglevel=ALL_LOG) as p:
            for path, status, reason, body in cases:
                with self.subTest(path):
                    with p.client() as c:
                        answer = c.ask(request(origin.url(path)))
                    self.assertEqual(answer.status, status)
                    if reason:
                        self.assertEqual(answer.reason, reason)
                    if body is not None:
                        self.assertEqual(answer.body, body)
                    else:
                        self.assertIn(b"Bad Response", answer.body)
                        self.assertNotIn(b"SSH-2.0", answer.body)
                        self.assertNotIn(b"ESMTP", answer.body)
                        self.assertNotIn(b"paragraph", answer.body)
            self.assertTrue(p.wait_log("Bad response from server"))

    def test_https_url_answered_without_connecting(self):
        with StandinOrigin({}) as origin, Proxy(loglevel=ALL_LOG) as p:
            with p.client() as c:
                answer = c.ask(("GET https://127.0.0.1:%d/secret HTTP/1.1\r\n\r\n" % origin.port).encode())
            self.assertEqual(answer.status, 501)
            self.assertTrue(p.wait_log("template: sent badprotocol"))
            time.sleep(1)
            self.assertEqual(origin.connections, 0)


class HalfCloseTest(unittest.TestCase):
    def test_client_that_closed_is_not_pooled(self):
        # The client sends its request and closes its side at once: it gets
        # its whole answer, and its connection is closed, not kept waiting
        # in the client pool for a request that cannot come.
        with StandinOrigin(ROUTES) as origin, Proxy(loglevel=ALL_LOG) as p:
            c = p.client()
            c.send(request(origin.url("/continue")))
            c.sock.shutdown(socket.SHUT_WR)
            answer = c.response()
            self.assertIsNotNone(answer)
            self.assertEqual(answer.status, 200)
            self.assertEqual(answer.body, b"after continue")
            self.assertEqual(answer.header("connection"), "keep-alive")
            self.assertTrue(c.closed())
            self.assertTrue(p.wait_log("/200", "access"))
            self.assertNotIn("adding connection to pool", p.log())
            c.close()


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
                    c = p.client()
                    c.send(data)
                    # a well-formed request right behind it on the same connection
                    c.send(request(origin.url("/redirect")))
                    answer = c.response()
                    self.assertIsNotNone(answer)
                    if status == "close":
                        # forwarded, then nothing more is read from that connection
                        self.assertEqual(answer.status, 200)
                        self.assertTrue(c.closed(), "ambiguous message left the connection open")
                    elif status is not None:
                        self.assertEqual(answer.status, status)
                        self.assertTrue(c.closed(), "refused message left the connection open")
                        self.assertEqual(len(origin.requests), before)
                    else:
                        self.assertEqual(answer.status, 200)
                        follow = c.response()
                        self.assertEqual(follow.status, 302)
                    c.close()
                    # the pooled server connection is still in step
                    c = p.client()
                    answer = c.ask(request(origin.url("/extensions")))
                    self.assertEqual(answer.body, b"hello chunked world")
                    c.close()
            self.assertEqual(origin.errors, [])
            for r in origin.requests:
                self.assertFalse(r.header("content-length") and r.header("transfer-encoding"), r)
            folded = [r for r in origin.requests if r.header("x-folded")]
            self.assertEqual(folded[0].header("x-folded"), "one two")
            self.assertTrue(p.wait_log("request: refused ambiguous message from 127.0.0.1"))


# -- early answers of the driver and the dispatch -----------------------------------

class EarlyAnswerTest(unittest.TestCase):
    def test_refusals(self):
        dead = dead_port()
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
            # a scheme without a known port cannot be connected: the connection error page
            (None, {}, b"GET gopher://127.0.0.1/x HTTP/1.1\r\n\r\n", 503,
             "network: error: cannot connect to 127.0.0.1:0 (unknown)"),
            # a port, but nobody speaks the scheme: refused before any connection
            (None, {}, b"GET gopher://127.0.0.1:PROXYPORT/x HTTP/1.1\r\n\r\n", 501, "template: sent badprotocol"),
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
                    c = p.client()
                    answer = c.ask(data)
                    self.assertEqual(answer.status, status)
                    self.assertTrue(p.wait_log(line), line)
                    if status in (404, 400, 501) and b"xx--" not in data:
                        self.assertTrue(c.closed())
                    c.close()
                    # every answered request leaves its record
                    self.assertTrue(p.wait_log("/%d" % status, "access"))

    def test_transparent_request(self):
        with StandinOrigin(ROUTES) as origin, \
                Proxy(config=config(permissions="proxy,origin,transparent")) as p:
            data = ("GET /extensions HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % origin.port).encode()
            c = p.client()
            answer = c.ask(data)
            self.assertEqual(answer.body, b"hello chunked world")
            c.close()
            self.assertEqual(origin.requests[0].line, "GET /extensions HTTP/1.1")

    def test_referer_commands_leave_an_encoded_rest(self):
        # Commands carried over from the Referer are taken off it; the rest
        # was decoded to find them and goes to the server encoded again.
        cases = [
            # Referer sent, Referer the origin sees
            ("http://xx--fresh.elsewhere/page", "http://elsewhere/page"),
            ("http://xx--fresh.elsewhere/a%20b?x=1&y", "http://elsewhere/a+b%3fx%3d1%26y"),
            ("http://xx--fresh.elsewhere:81/%0d%0aX:1", "http://elsewhere%3a81/%0d%0aX%3a1"),
            ("http://elsewhere/a%20b?x=1", "http://elsewhere/a%20b?x=1"),
        ]
        with StandinOrigin({"*": response(200, b"ok")}) as origin, \
                Proxy(config=config(permissions="proxy,urlcommands")) as p:
            for sent, seen in cases:
                with self.subTest(referer=sent):
                    r = p.get(origin.url("/post"), ["Referer: " + sent], method="POST", body=b"x")
                    self.assertEqual((200, b"ok"), (r.status, r.body))
                    self.assertEqual(seen, origin.requests[-1].header("Referer"))

    def test_refused_request_with_body_closes(self):
        """The body of a refused request is never read as the next request."""
        with StandinOrigin(ROUTES) as origin, Proxy() as p:
            smuggled = request(origin.url("/echo"))
            data = (b"POST /x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(smuggled)) + smuggled
            c = p.client()
            answer = c.ask(data)
            self.assertEqual(answer.status, 404)
            self.assertTrue(c.closed())
            c.close()
            time.sleep(0.3)
            self.assertEqual(origin.requests, [])

    def test_refused_streamed_body_ends_cleanly(self):
        """A refusal before a large body was read: the page arrives and the
        connection ends with a close, not a reset, though the client goes
        on sending its body."""
        with Proxy() as p:
            c = p.client()
            c.send(b"POST /x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4000000\r\n\r\n")
            answer = c.response()
            self.assertEqual(answer.status, 404)
            self.assertEqual(answer.header("connection"), "close")
            try:
                c.send(b"x" * 65536)
            except OSError:
                pass
            self.assertTrue(c.closed(10, reset=False))  # a close, not a reset
            c.close()

    def test_head_timeout(self):
        with Proxy(config=config({"timeout": "1"}), loglevel=ALL_LOG) as p:
            with p.client() as c:
                self.assertTrue(c.closed(10))
            self.assertTrue(p.wait_log("request: timeout waiting for header from 127.0.0.1"))


# -- CONNECT through to openssl s_server -----------------------------------------------

class ConnectTest(unittest.TestCase):
    def test_tunnel(self):
        with TlsServer() as tls, Proxy(config=config({"cportrange": tls.port})) as p:
            with p.client() as c:
                target = "127.0.0.1:%d" % tls.port
                c.send(request(target, method="CONNECT", host=target))
                self.assertEqual(c.head(), b"HTTP/1.1 200 Connection Established\r\n\r\n")
                c.tls().send(b"GET / HTTP/1.0\r\n\r\n")
                data = c.rest()
            self.assertTrue(data.startswith(b"HTTP/1.0 200"), data[:60])
            self.assertTrue(p.wait_log('"CONNECT connect://127.0.0.1:%d/" 200' % tls.port, "extended"),
                            p.log("extended"))


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
        # with fewer, the rest are closed after each answer and their
        # TIME_WAIT states would use up the loopback ports.
        with Nginx({"small.bin": SMALL}) as origin, Proxy(config=Config().set("general", poolsize=256)) as p:
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
            c = p.client()
            answer = c.ask(request(origin.url("/small.bin")))
            self.assertEqual((answer.status, answer.body), (200, SMALL))
            c.close()
            # idle client and server connections are closed by their pools'
            # time-outs; what stays open beyond that has leaked
            self.assertTrue(wait_for(lambda: descriptors() <= before + 25, 60),
                            (before, descriptors()))


if __name__ == "__main__":
    main()
