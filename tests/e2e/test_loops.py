"""Requests that would come back into the proxy, through the real daemon.

The shipped configuration gives the LAN (127.0.0.2-127.0.0.20 here) proxy
and CONNECT only, and this machine (127.0.0.1) the web interface. A LAN
client that asks the proxy to fetch one of its own listeners would reach
the interface from 127.0.0.1, with that address's rights: every spelling
of such a destination, after numeric normalisation and name resolution,
is refused before any connection, and so is a request whose Via already
names the proxy. Requests to the interface by its own names, and to other
servers, go on as before.
"""
import os
import unittest
import urllib.parse

from client import request
from config import Config
from harness import Proxy, free_port, main
from peers import HELLO, hello_origin

LAN = "127.0.0.2"
HOST = "korvantel.invalid"
REFERER = "http://%s/" % HOST
LOOP_LOG = "Blocked Security Breach: request loop: "


def refused(test, answer, what):
    test.assertIsNotNone(answer, what)
    test.assertTrue(400 <= answer.status < 600, (what, answer.status))
    test.assertNotIn(b"<korvantel>", answer.body, what)
    test.assertNotIn(b"Top Menu", answer.body, what)


class OwnAddress(unittest.TestCase):
    def test_every_spelling_of_the_proxys_own_address_is_refused(self):
        with hello_origin() as origin, Proxy() as p:
            saved = os.path.join(p.dir, "saved-by-loop.xml")
            names = ["127.0.0.1", "127.1", "2130706433", "0x7f.0.0.1", "localhost", "LocalHost"]
            for name in names:
                for path in ("/%s/xml" % HOST, "/%s/save?filename=%s" % (HOST, urllib.parse.quote(saved))):
                    url = "http://%s:%d%s" % (name, p.port, path)
                    with self.subTest(url=url), p.client(source=LAN) as c:
                        r = c.ask(request(url, ["Referer: " + REFERER]))
                        refused(self, r, url)
                        self.assertTrue(c.closed())
            self.assertFalse(os.path.exists(saved))
            self.assertTrue(p.wait_log(LOOP_LOG + "%s asked for 127.0.0.1:%d" % (LAN, p.port)))
            self.assertTrue(p.wait_log(LOOP_LOG + "%s asked for localhost:%d" % (LAN, p.port)))
            # Only the proxy's own port counts; the LAN reaches other servers,
            # and this machine still reaches the interface by its own name.
            with p.client(source=LAN) as c:
                r = c.ask(request(origin.url("/lan")))
                self.assertEqual((r.status, r.body), (200, HELLO))
            r = p.get("http://%s/xml" % HOST)
            self.assertEqual(r.status, 200)
            self.assertIn(b"<korvantel>", r.body)

    def test_connect_and_transparent_requests_to_the_proxy_are_refused(self):
        second = free_port()
        conf = (Config().add("network/listen", comment="second", port=second, ip="127.0.0.1")
                .set("access/allow", 0, permissions="proxy,connect,transparent,origin"))
        p = Proxy(config=conf)
        conf.set("general/rule", cportrange="%d,%d" % (p.port, second))
        with p:
            for target in ("127.0.0.1:%d" % p.port, "localhost:%d" % second, "127.1:%d" % second):
                with self.subTest(connect=target), p.client(source=LAN) as c:
                    r = c.ask(("CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (target, target)).encode())
                    refused(self, r, target)
                    c.send(b"GET /%s/xml HTTP/1.1\r\nHost: %s\r\n\r\n" % (HOST.encode(), HOST.encode()))
                    self.assertTrue(c.closed())
            for host in ("127.0.0.1:%d" % p.port, "127.0.0.1:%d" % second, "localhost:%d" % second):
                with self.subTest(transparent=host), p.client(source=LAN) as c:
                    refused(self, c.ask(("GET /x HTTP/1.1\r\nHost: %s\r\n\r\n" % host).encode()), host)
            self.assertTrue(p.wait_log(LOOP_LOG + "%s asked for localhost:%d" % (LAN, second)))

    def test_a_listener_on_every_address_counts_for_every_local_address(self):
        wildcard = free_port()
        conf = Config().add("network/listen", comment="every address", port=wildcard, ip="")
        with hello_origin() as origin, Proxy(config=conf) as p:
            for name in ("127.0.0.1", "127.0.0.5", "127.3.2.1", "0.0.0.0", "localhost"):
                url = "http://%s:%d/%s/xml" % (name, wildcard, HOST)
                with self.subTest(url=url), p.client(source=LAN) as c:
                    refused(self, c.ask(request(url)), url)
            self.assertTrue(p.wait_log(LOOP_LOG + "%s asked for 127.0.0.5:%d" % (LAN, wildcard)))
            with p.client(source=LAN) as c:
                self.assertEqual(c.ask(request(origin.url("/other"))).status, 200)

    def test_failed_logins_through_a_loop_do_not_lock_out_this_machine(self):
        conf = Config().set("access/allow", 1, interfaceuser="admin", interfacepassword="s3cret")
        with Proxy(config=conf) as p:
            for n in range(8):
                body = urllib.parse.urlencode({"username": "admin", "password": "guess%d" % n}).encode()
                with p.client(source=LAN) as c:
                    r = c.ask(request("http://127.0.0.1:%d/%s/stats" % (p.port, HOST),
                                      ["Referer: " + REFERER, "Content-Type: application/x-www-form-urlencoded"],
                                      method="POST", body=body))
                    refused(self, r, n)
            body = urllib.parse.urlencode({"username": "admin", "password": "s3cret"}).encode()
            r = p.get("http://%s/stats" % HOST, ["Referer: " + REFERER,
                                                  "Content-Type: application/x-www-form-urlencoded"],
                      method="POST", body=body)
            self.assertIn(b"Top Menu", r.body)
            self.assertNotIn("web interface login failed", p.log())

    def test_a_parent_proxy_that_is_this_proxy_is_refused(self):
        with hello_origin() as origin:
            p = Proxy()
            p.config = Config().add("forward/rule", host="127.0.0.1", port=p.port)
            with p:
                refused(self, p.get(origin.url("/through-itself")), "parent")
                self.assertEqual(len(origin.requests), 0)
                self.assertTrue(p.wait_log(LOOP_LOG + "127.0.0.1 asked for 127.0.0.1:%d, refused since its parent "
                                           "proxy is this proxy" % origin.port))


class Via(unittest.TestCase):
    def test_a_request_that_passed_this_proxy_is_refused(self):
        with hello_origin() as origin, Proxy() as p:
            own = ["127.0.0.1:%d (Korvantel ntlm.RC2.0)" % p.port,
                   "1.1 squid.example, 127.0.0.1:%d (Korvantel ntlm.RC2.0)" % p.port,
                   "127.0.0.1:%d (Korvantel ntlm.RC2.0),1.0 squid.example" % p.port]
            for via in own:
                with self.subTest(via=via), p.client(source=LAN) as c:
                    refused(self, c.ask(request(origin.url("/looped"), ["Via: " + via])), via)
            self.assertEqual(len(origin.requests), 0)
            self.assertTrue(p.wait_log(LOOP_LOG + "%s asked for 127.0.0.1:%d, refused since it has passed this "
                                       "proxy already (Via)" % (LAN, origin.port)))
            # Other proxies on the way are no loop.
            for via in ("127.0.0.1:%d (Korvantel ntlm.RC2.0)" % origin.port, "1.0 proxy.example:3128",
                        "1.1 127.0.0.1:%d (squid)" % p.port):
                with self.subTest(via=via), p.client(source=LAN) as c:
                    r = c.ask(request(origin.url("/passed"), ["Via: " + via]))
                    self.assertEqual((r.status, r.body), (200, HELLO))


if __name__ == "__main__":
    main()
