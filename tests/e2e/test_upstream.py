"""Upstream connections through the real daemon: the "https" URL command
towards openssl s_server, CONNECT tunnels, and every kind of parent chosen
by a forwarding rule against real peers on loopback (squid as HTTP parent,
plain and asking for Basic or NTLM credentials, and as a parent reached
through CONNECT; dante as SOCKS4 and SOCKS5 server). A scenario skips when
its peer program is not installed."""
import re
import unittest

from client import request
from harness import Config, Proxy, dead_port, main, wait_for
from peers import Dante, Squid, TlsServer, hello_origin


def config(permissions=None, forward=(), cportrange=None):
    """The shipped configuration with the local allow rule's permissions,
    forwarding rules (dicts of field values) and the CONNECT ports set."""
    conf = Config()
    if permissions is not None:
        conf.set("access/allow", 1, permissions=permissions)
    if cportrange is not None:
        conf.set("general/rule", cportrange=cportrange)
    for rule in forward:
        conf.add("forward/rule", **dict({"host": "127.0.0.1"}, **rule))
    return conf


def status_of(out):
    """Status of the last response head curl printed (-i shows every head)."""
    codes = re.findall(rb"^HTTP/1\.[01] (\d{3})", out, re.M)
    return int(codes[-1]) if codes else None


class HttpsCommandTest(unittest.TestCase):
    def test_https_command_reaches_a_tls_origin(self):
        with TlsServer() as tls, Proxy(config=config(permissions="interface,proxy,connect,urlcommands")) as p:
            code, out, err = p.curl("http://xx--https.127.0.0.1:%d/" % tls.port)
            self.assertEqual(code, 0, err)
            self.assertEqual(status_of(out), 200, out[:300])
            self.assertIn(b"s_server", out)

    def test_without_permission_the_command_is_dropped(self):
        with TlsServer() as tls, Proxy() as p:
            code, out, err = p.curl("http://xx--https.127.0.0.1:%d/" % tls.port)
            # Plain HTTP to a TLS server: no usable answer.
            self.assertNotIn(b"s_server", out)


class ConnectTest(unittest.TestCase):
    def tunnel(self, p, port):
        c = p.client()
        target = "127.0.0.1:%d" % port
        c.send(request(target, method="CONNECT", host=target))
        return c, c.head()

    def test_tunnel_through_an_http_parent(self):
        """The client gets this proxy's own confirmation, not the parent's."""
        with TlsServer() as tls, Squid("basic", {"user": "pass"}) as squid, \
                Proxy(config=config(cportrange=str(tls.port),
                                    forward=[{"port": squid.port, "user": "user", "password": "pass"}])) as p:
            c, head = self.tunnel(p, tls.port)
            self.assertEqual(head, b"HTTP/1.1 200 Connection Established\r\n\r\n")
            c.tls().send(b"GET / HTTP/1.0\r\n\r\n")
            self.assertTrue(c.rest().startswith(b"HTTP/1.0 200"))
            c.close()
            self.assertTrue(wait_for(lambda: "CONNECT 127.0.0.1:%d" % tls.port in squid.log_text(), 10))
            self.assertTrue(p.wait_log('"CONNECT connect://127.0.0.1:%d/" 200' % tls.port, "extended"),
                            p.log("extended"))

    def test_parent_refusing_the_tunnel(self):
        with TlsServer() as tls, Squid("basic", {"user": "pass"}) as squid, \
                Proxy(config=config(cportrange=str(tls.port),
                                    forward=[{"port": squid.port, "user": "user", "password": "wrong"}])) as p:
            c, head = self.tunnel(p, tls.port)
            self.assertTrue(head.startswith(b"HTTP/1.1 503"), head)
            c.close()
            self.assertTrue(p.wait_log("request: failed CONNECT to 127.0.0.1:%d" % tls.port), p.log())


class ParentTest(unittest.TestCase):
    def through(self, forward, check):
        """curl through the daemon to an origin with these forwarding
        rules; check(output, request lines the origin saw, proxy)."""
        with hello_origin() as origin, Proxy(config=config(forward=forward)) as p:
            code, out, err = p.curl(origin.url("/via-parent"))
            check(out, origin.lines(), p)

    def test_http_parent(self):
        with Squid() as squid:
            def check(out, seen, p):
                self.assertEqual(status_of(out), 200, out[:300])
                self.assertIn(b"hello from origin", out)
                self.assertEqual(seen, ["GET /via-parent HTTP/1.1"])
                self.assertTrue(wait_for(lambda: "/via-parent" in squid.log_text(), 10))
            self.through([{"port": squid.port}], check)

    def test_basic_credentials_answer_the_407(self):
        with Squid("basic", {"user": "pass"}) as squid:
            def check(out, seen, p):
                self.assertEqual(status_of(out), 200, out[:300])
                self.assertEqual(len(seen), 1)
            self.through([{"port": squid.port, "user": "user", "password": "pass"}], check)

    def test_wrong_credentials_pass_the_407_on_without_its_challenge(self):
        with Squid("basic", {"user": "pass"}) as squid:
            def check(out, seen, p):
                self.assertEqual(status_of(out), 407, out[:300])
                self.assertNotIn(b"proxy-authenticate", out.lower())
                self.assertEqual(seen, [])
            self.through([{"port": squid.port, "user": "user", "password": "wrong"}], check)

    def test_ntlm_credentials_answer_the_407(self):
        with Squid("ntlm") as squid:
            def check(out, seen, p):
                self.assertEqual(status_of(out), 200, out[:300])
                self.assertEqual(len(seen), 1)
            self.through([{"port": squid.port, "user": "alice", "password": "secret", "domain": "EXAMPLE"}],
                         check)

    def test_parent_reached_through_connect(self):
        with Squid() as squid:
            def check(out, seen, p):
                self.assertEqual(status_of(out), 200, out[:300])
                self.assertEqual(seen, ["GET /via-parent HTTP/1.1"])
            self.through([{"port": squid.port, "type": "3"}], check)
            # squid logs a tunnel when it closes, which the daemon's end did.
            self.assertTrue(wait_for(lambda: "CONNECT 127.0.0.1:" in squid.log_text(), 10), squid.log_text())
            self.assertNotIn("GET http://", squid.log_text())

    def test_socks4_and_socks5(self):
        with Dante() as dante:
            for kind in ("1", "2"):
                def check(out, seen, p):
                    self.assertEqual(status_of(out), 200, (kind, out[:300]))
                    self.assertEqual(seen, ["GET /via-parent HTTP/1.1"])
                self.through([{"port": dante.port, "type": kind}], check)

    def test_unreachable_parent(self):
        def check(out, seen, p):
            self.assertEqual(status_of(out), 503, out[:300])
            self.assertTrue(p.wait_log("network: connection to proxy server failed"), p.log())
            self.assertEqual(seen, [])
        self.through([{"port": dead_port()}], check)


if __name__ == "__main__":
    main()
