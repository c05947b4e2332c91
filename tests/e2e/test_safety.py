"""Connection safety through the real daemon: a server connection is never
reused out of step with its server, a request whose framing is ambiguous
never leaves bytes behind for a second request, chunk framing is strict,
refused tunnels are not taken for established ones, bursts of clients are
accepted at once, and hostile configuration documents end start-up with a
clear line instead of a crash."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from client import request
from harness import ALL_LOG, CONFIG_XML, Clock, Config, Proxy, dead_port, main, run
from peers import Stall, StandinOrigin, response
from test_cache import cache_config, cached_proxy

CACHEABLE = (("Cache-Control", "max-age=3600"),)


def poisoning_origin(request):
    """/a answers with its body and then a whole second answer nobody asked
    for; /late sends that second answer only after the first has long been
    taken (the connection is pooled by then); every other path answers
    itself."""
    if request.path == "/a":
        return response(200, b"ok") + response(200, b"POISONED", CACHEABLE)
    if request.path == "/late":
        return [response(200, b"ok"), Stall(0.3), response(200, b"POISONED", CACHEABLE)]
    return response(200, ("real %s" % request.path).encode(), CACHEABLE)


class ServerConnectionTest(unittest.TestCase):
    def test_extra_bytes_never_reach_the_next_request(self):
        # With the first answer, or once the connection waits in the pool.
        for first in ("/a", "/late"):
            with self.subTest(first=first), tempfile.TemporaryDirectory() as d, \
                    StandinOrigin({"*": poisoning_origin}) as origin:
                clock = Clock(d)
                p = cached_proxy(clock, cache_config(os.path.join(d, "store")))
                try:
                    answer = p.get(origin.url(first))
                    self.assertEqual(answer.body, b"ok")
                    time.sleep(0.8)
                    for _ in range(3):
                        answer = p.get(origin.url("/b"))
                        self.assertEqual(answer.body, b"real /b")
                finally:
                    p.stop()

    def test_ambiguous_response_framing_ends_the_server_connection(self):
        ambiguous = (b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
                     b"3\r\nabc\r\n0\r\n\r\n")
        folded = b"HTTP/1.1 200 OK\r\nTransfer-Encoding:\r\n chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"
        for name, wire in (("length and chunked", ambiguous), ("folded coding", folded)):
            with self.subTest(name), StandinOrigin({"/x": wire, "/y": response(200, b"y")}) as origin, \
                    Proxy() as p:
                answer = p.get(origin.url("/x"))
                self.assertEqual(answer.body, b"abc")
                answer = p.get(origin.url("/y"))
                self.assertEqual(answer.body, b"y")
                self.assertEqual(origin.connections, 2)

    def test_failed_connect_names_host_and_port(self):
        dead = dead_port()
        with Proxy(loglevel=ALL_LOG) as p:
            answer = p.get("http://127.0.0.1:%d/" % dead)
            self.assertEqual(answer.status, 503)
            self.assertTrue(p.wait_log("network: error: cannot connect to 127.0.0.1:%d (noconnect)" % dead))
            self.assertNotIn("header: error: reading header", p.log())


class RequestFramingTest(unittest.TestCase):
    def smuggle(self, p, origin, head_lines, body):
        """A POST with the given framing lines and body, with a second
        request right behind it; returns (first answer, reader)."""
        data = ("POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (origin.url("/post"), head_lines)).encode()
        c = p.client()
        return c.ask(data + body + request(origin.url("/SMUGGLED"))), c

    def test_ambiguous_requests_close_after_their_answer(self):
        body = b"5\r\nhello\r\n0\r\n\r\n"
        cases = [
            ("length and chunked", "Content-Length: %d\r\nTransfer-Encoding: chunked\r\n" % len(body)),
            ("folded coding", "Transfer-Encoding:\r\n chunked\r\n"),
        ]
        for name, lines in cases:
            with self.subTest(name), StandinOrigin({"*": response(200, b"done")}) as origin, Proxy() as p:
                answer, reader = self.smuggle(p, origin, lines, body)
                self.assertEqual(answer.status, 200)
                self.assertEqual(answer.body, b"done")
                self.assertTrue(reader.closed(), "connection stayed open after an ambiguous request")
                reader.close()
                self.assertTrue(origin.wait_requests(1))
                self.assertEqual([r.path for r in origin.requests], ["/post"])
                self.assertEqual(origin.requests[0].body, b"hello")
                # the server connection that carried it is not reused
                answer = p.get(origin.url("/after"))
                self.assertEqual(answer.status, 200)
                self.assertEqual(origin.connections, 2)

    def test_chunk_framing(self):
        cases = [
            # (name, chunked body, expected status, forwarded body or None)
            ("bare LF everywhere", b"5\nhello\n0\n\n", 400, None),
            ("bare LF after data", b"5\r\nhello\n0\r\n\r\n", 400, None),
            ("bare LF on last chunk", b"5\r\nhello\r\n0\n\n", 400, None),
            ("zero-padded size", b"00000000000000000005\r\nhello\r\n0\r\n\r\n", 200, b"hello"),
            ("zero-padded last chunk", b"5\r\nhello\r\n0000000000000000000000\r\n\r\n", 200, b"hello"),
            ("overflowing size", b"fffffffffffffffffffff\r\nhello\r\n0\r\n\r\n", 400, None),
            ("size past 2^60", b"1000000000000000\r\nhello\r\n0\r\n\r\n", 400, None),
            ("no digits", b";x\r\nhello\r\n0\r\n\r\n", 400, None),
        ]
        with StandinOrigin({"*": response(200, b"done")}) as origin, Proxy(loglevel=ALL_LOG) as p:
            for name, body, status, forwarded in cases:
                with self.subTest(name):
                    before = len(origin.requests)
                    answer, reader = self.smuggle(p, origin, "Transfer-Encoding: chunked\r\n", body)
                    self.assertIsNotNone(answer, "no answer at all")
                    self.assertEqual(answer.status, status)
                    if status == 400:
                        self.assertTrue(reader.closed(), "connection stayed open")
                        time.sleep(0.2)
                        self.assertEqual(len(origin.requests), before)
                    else:
                        self.assertEqual(reader.response().status, 200)  # /SMUGGLED is a real request here
                        self.assertEqual(origin.requests[before].body, forwarded)
                    reader.close()
            self.assertNotIn("/SMUGGLED", [r.path for r in origin.requests[:1]])
            smuggled = [r for r in origin.requests if r.path == "/SMUGGLED"]
            self.assertEqual(len(smuggled), 2, "only the well-formed cases carry a second request")

    def test_bare_lf_in_a_chunked_response_is_not_passed_as_whole(self):
        wire = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\nhello\n0\n\n"
        with StandinOrigin({"/x": wire, "/y": response(200, b"y")}) as origin, Proxy() as p:
            answer = p.get(origin.url("/x"))
            self.assertTrue(answer is None or answer.status != 200 or not answer.complete
                            or answer.body != b"hello")
            answer = p.get(origin.url("/y"))
            self.assertEqual(answer.body, b"y")


class ConnectRefusalTest(unittest.TestCase):
    def test_refused_connect_is_not_200(self):
        # no allow rule matches a loopback client
        with Proxy(config=Config().set("access/allow", 1, clients="10.255.255.1")) as p:
            answer = p.ask(b"CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1:443\r\n\r\n")
            self.assertEqual(answer.status, 403)
            # other refused requests are refused as plainly, with their page
            answer = p.get("http://127.0.0.1:9/")
            self.assertEqual(answer.status, 403)
            self.assertIn(b"Access denied", answer.body)


def listen_backlog(port):
    """The backlog of the listening socket on that port, as the kernel
    reports it (ss's Send-Q column of a listener)."""
    out = subprocess.run(["ss", "-ltnH", "sport = :%d" % port], capture_output=True, text=True).stdout.split()
    return int(out[2])


class AcceptBurstTest(unittest.TestCase):
    def test_burst_of_clients_all_answered(self):
        with StandinOrigin({"*": response(200, b"ok")}) as origin, Proxy() as p:
            # a backlog of 25 drops the SYNs of a burst: each waits out a retransmit
            with open("/proc/sys/net/core/somaxconn") as f:
                somaxconn = int(f.read())
            self.assertEqual(listen_backlog(p.port), max(somaxconn, 25))
            clients = []
            try:
                # a burst of connects with nothing read in between
                for _ in range(300):
                    clients.append(p.client())
                for c in clients:
                    c.send(request(origin.url("/burst")))
                for c in clients:
                    answer = c.response()
                    self.assertIsNotNone(answer)
                    self.assertEqual(answer.status, 200)
            finally:
                for c in clients:
                    c.close()


class HostileConfigurationTest(unittest.TestCase):
    def start_with(self, text):
        """Runs the daemon in the foreground on that configuration text;
        returns (proxy, status, everything it printed and logged)."""
        p = Proxy()
        with open(p.config_path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode())
        try:
            status, out, err = run(p.command()[1:], timeout=60)
            return p, status, out + err + p.log()
        finally:
            shutil.rmtree(p.dir, ignore_errors=True)

    def test_documents_that_cannot_load(self):
        with open(CONFIG_XML) as f:
            shipped = f.read()
        cases = [
            ("deep nesting", shipped.replace("</korvantel>", "<a>" * 100000 + "</a>" * 100000 + "</korvantel>"),
             "nested deeper than"),
            ("truncated", shipped[:len(shipped) // 2], "line"),
            ("empty", "", "empty"),
            ("binary", bytes(range(256)) * 8, "line"),
            ("not XML", "this is not a configuration\n", "line"),
            ("other root", "<section></section>\n", 'the top element is not "korvantel"'),
        ]
        for name, text, expect in cases:
            with self.subTest(name):
                p, status, output = self.start_with(text)
                # start-up ends through the fatal path, after a line that
                # names the file and what is wrong with it
                self.assertEqual(status, 1, output[-2000:])
                self.assertIn("flawed XML file %s: " % p.config_path, output)
                self.assertIn(expect, output)


if __name__ == "__main__":
    main()
