"""Forwarding through the real daemon: squid as HTTP parent (plain, Basic,
NTLM) and as a parent reached through CONNECT, dante for SOCKS4 and SOCKS5,
ICP peers (a stand-in answering HIT or MISS) and CARP, the ICP server, and
parent credentials that stay with the rule they belong to."""
import base64
import os
import socket
import unittest

from client import request
from harness import ALL_LOG, Config, Proxy, free_port, main, wait_for
from peers import DANTED, HEADER, NTLM_FAKE, SQUID, Dante, IcpStandin, Squid, hello_origin, query_packet


# -- configuration -------------------------------------------------------------

def config(rules=(), enabled=True, carp=False, modulus=0, profiles=(), icp_port=None, icp_timeout=None):
    """The shipped configuration with forwarding rules (dicts of fields),
    profile rules ((path, profile to add)) and the cache section's ICP
    options set."""
    conf = Config().set("forward", enabled=enabled, carp=carp, carpmodulus=modulus).clear("forward/rule")
    for fields in rules:
        conf.add("forward/rule", **dict({"icpport": 0}, **fields))
    for path, add in profiles:
        conf.add("profiles/profile", path=path, add=add)
    if icp_port is not None:
        conf.set("cache", icpport=icp_port)
    if icp_timeout is not None:
        conf.set("cache", icptimeout=icp_timeout)
    return conf


def rule(host, port=-1, **fields):
    return dict(host=host, port=port, **fields)


def peer_of(proxy, url):
    """peercode/peer of the last access record of url."""
    found = [r[8] for r in proxy.records() if len(r) > 8 and r[6] == url]
    return found[-1] if found else None


def carp_hash(url, member, modulus=0):
    """The CARP combined hash, written out afresh from its definition."""
    mask = 0xFFFFFFFF

    def ror(v, bits):
        return ((v >> bits) | (v << (32 - bits))) & mask

    def walk(text):
        h = 0
        for c in text.encode("latin-1"):
            h = (h + ror(h, 13) + (c - 256 if c > 127 else c)) & mask
        return h

    m = ror((walk(member) * 0x62531966) & mask, 11) if member else 0
    x = ror(((walk(url) ^ m) * 0x62531966) & mask, 11)
    return x % modulus if modulus else x


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


# -- tests ---------------------------------------------------------------------

@unittest.skipUnless(os.access(SQUID, os.X_OK), "squid not installed")
class ForwardTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = hello_origin().__enter__()
        cls.squids = []

        def squid(*args, **kw):
            s = Squid(*args, **kw).start()
            cls.squids.append(s)
            return s

        try:
            cls.plain1 = squid(address="127.0.0.1")
            cls.plain2 = squid(address="127.0.0.2")
            cls.basic1 = squid("basic", {"alice": "secret-a"}, "127.0.0.1")
            cls.basic2 = squid("basic", {"bob": "pw-b"}, "127.0.0.2")
            cls.ntlm = squid("ntlm", address="127.0.0.1")
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for s in cls.squids:
            s.stop()
        cls.origin.__exit__(None, None, None)

    def proxy(self, conf, **kw):
        return Proxy(config=conf, loglevel=ALL_LOG, **kw)

    def get(self, p, path):
        code, out, err = p.curl(self.origin.url(path))
        self.assertEqual(code, 0, err)
        return out

    def assertServed(self, out):
        self.assertTrue(out.startswith(b"HTTP/1.1 200") or out.startswith(b"HTTP/1.0 200"), out[:300])
        self.assertIn(b"hello from origin", out)

    # -- HTTP parents ----------------------------------------------------------

    def test_http_parent(self):
        with self.proxy(config([rule("127.0.0.1", self.plain1.port)])) as p:
            self.assertServed(self.get(p, "/parent"))
            url = self.origin.url("/parent")
            self.assertTrue(self.plain1.wait_log(lambda log: any(e[2] == url for e in log)))
            self.assertTrue(p.wait_log("forwarding to 127.0.0.1:%d" % self.plain1.port))
            self.assertTrue(wait_for(lambda: peer_of(p, url) == "DEFAULT_PARENT/127.0.0.1"), p.records())

    def test_first_matching_direct_rule_wins_over_later_parents(self):
        with self.proxy(config([rule(""), rule("127.0.0.1", self.plain1.port)])) as p:
            self.assertServed(self.get(p, "/direct-first"))
            url = self.origin.url("/direct-first")
            self.assertTrue(wait_for(lambda: peer_of(p, url) == "DIRECT/127.0.0.1"), p.records())
            self.assertNotIn(url, self.plain1.urls())

    def test_rule_naming_this_proxy_is_never_used(self):
        # "localhost" is the shipped general host name; -H names this proxy
        # anew.
        conf = config([rule("localhost", self.plain1.port), rule("127.0.0.2", self.plain2.port)])
        with self.proxy(conf) as p:
            self.assertServed(self.get(p, "/self"))
        with self.proxy(conf, args=["-H", "127.0.0.2"]) as p:
            self.assertServed(self.get(p, "/self-by-option"))
        self.assertTrue(self.plain2.wait_log(lambda log: any(e[2] == self.origin.url("/self") for e in log)))
        self.assertTrue(self.plain1.wait_log(
            lambda log: any(e[2] == self.origin.url("/self-by-option") for e in log)))
        self.assertNotIn(self.origin.url("/self"), self.plain1.urls())
        self.assertNotIn(self.origin.url("/self-by-option"), self.plain2.urls())

    def test_basic_parent(self):
        conf = config([rule("127.0.0.1", self.basic1.port, user="alice", password="secret-a")])
        with self.proxy(conf) as p:
            self.assertServed(self.get(p, "/basic"))
        url = self.origin.url("/basic")
        self.assertTrue(self.basic1.wait_log(lambda log: (basic("alice", "secret-a"), "GET", url, "200") in log),
                        self.basic1.log())

    @unittest.skipUnless(os.access(NTLM_FAKE, os.X_OK), "ntlm_fake_auth not installed")
    def test_ntlm_parent(self):
        conf = config([rule("127.0.0.1", self.ntlm.port, user="alice", password="secret-a", domain="WORKGROUP")])
        with self.proxy(conf) as p:
            self.assertServed(self.get(p, "/ntlm"))
        url = self.origin.url("/ntlm")
        self.assertTrue(self.ntlm.wait_log(lambda log: any(e[2] == url and e[3] == "200" for e in log)))
        messages = [base64.b64decode(e[0][5:]) for e in self.ntlm.log()
                    if e[2] == url and e[0] and e[0].startswith("NTLM ")]
        self.assertTrue(any(m[8] == 1 for m in messages), messages)  # negotiate
        authenticate = [m for m in messages if m[8] == 3]
        self.assertTrue(authenticate, messages)
        self.assertTrue(b"alice" in authenticate[-1] or "alice".encode("utf-16-le") in authenticate[-1])

    def test_connect_parent(self):
        conf = config([rule("127.0.0.1", self.plain1.port, type=3)])
        with self.proxy(conf) as p:
            self.assertServed(self.get(p, "/tunnelled"))
            self.assertTrue(wait_for(lambda: peer_of(p, self.origin.url("/tunnelled")) ==
                                     "DEFAULT_PARENT/127.0.0.1"), p.records())
        target = "127.0.0.1:%d" % self.origin.port
        self.assertTrue(self.plain1.wait_log(lambda log: any(e[1] == "CONNECT" and e[2] == target for e in log)),
                        self.plain1.log())
        self.assertIn("GET /tunnelled HTTP/1.1", self.origin.lines())

    # -- SOCKS -----------------------------------------------------------------

    @unittest.skipUnless(os.access(DANTED, os.X_OK), "danted not installed")
    def test_socks4_and_socks5(self):
        with Dante() as dante:
            for kind, path in ((1, "/socks4"), (2, "/socks5")):
                with self.proxy(config([rule("127.0.0.1", dante.port, type=kind)])) as p:
                    self.assertServed(self.get(p, path))
                    expected = "DEFAULT_PARENT/127.0.0.1" if kind == 1 else "DIRECT/127.0.0.1"
                    self.assertTrue(wait_for(lambda: peer_of(p, self.origin.url(path)) == expected),
                                    p.records())
            self.assertEqual(dante.relayed_ports().count(self.origin.port), 2, dante.log())

    # -- ICP -------------------------------------------------------------------

    def icp_config(self, role1, role2, port1, port2, timeout=2000):
        return config([rule("127.0.0.1", self.plain1.port, icptype=role1, icpport=port1),
                       rule("127.0.0.2", self.plain2.port, icptype=role2, icpport=port2)],
                      icp_timeout=timeout)

    def test_icp_parent_answering_hit_is_chosen(self):
        with IcpStandin("MISS", "127.0.0.1") as one, IcpStandin("HIT", "127.0.0.2") as two:
            with self.proxy(self.icp_config(1, 1, one.port, two.port)) as p:
                self.assertServed(self.get(p, "/icp-hit"))
                url = self.origin.url("/icp-hit")
                self.assertTrue(wait_for(lambda: peer_of(p, url) == "PARENT_HIT/127.0.0.2"), p.records())
                self.assertTrue(wait_for(lambda: url in self.plain2.urls()), self.plain2.urls())
                self.assertNotIn(url, self.plain1.urls())
                for standin in (one, two):
                    queries = standin.received()
                    self.assertEqual(len(queries), 1)
                    q = queries[0]
                    # Not the scheme's default port: the URL as received.
                    self.assertEqual(q.url, url)
                    self.assertTrue(q.terminated)
                    self.assertEqual(q.length, HEADER.size + 4 + len(q.url) + 1)
                    self.assertEqual((q.version, q.requester), (3, "127.0.0.1"))
                self.assertTrue(p.wait_log("response opcode from 127.0.0.2:%d: ICP_OP_HIT" % two.port))

                # The other way round.
                one.answer, two.answer = "HIT", "MISS"
                self.assertServed(self.get(p, "/icp-hit-2"))
                self.assertTrue(wait_for(lambda: self.origin.url("/icp-hit-2") in self.plain1.urls()))

    def test_icp_siblings_that_miss_send_it_direct(self):
        with IcpStandin("MISS", "127.0.0.1") as one, IcpStandin("MISS", "127.0.0.2") as two:
            with self.proxy(self.icp_config(2, 2, one.port, two.port)) as p:
                self.assertServed(self.get(p, "/siblings"))
                url = self.origin.url("/siblings")
                self.assertTrue(wait_for(lambda: peer_of(p, url) == "DIRECT/127.0.0.1"), p.records())
                self.assertNotIn(url, self.plain1.urls() + self.plain2.urls())
                # A parent that misses is taken over a sibling that misses.
                one.answer = None
            with self.proxy(self.icp_config(2, 1, one.port, two.port)) as p:
                one.answer = "MISS"
                self.assertServed(self.get(p, "/sibling-and-parent"))
                url = self.origin.url("/sibling-and-parent")
                self.assertTrue(wait_for(lambda: peer_of(p, url) == "FIRST_PARENT_MISS/127.0.0.2"),
                                p.records())

    def test_silent_icp_peer_is_left_alone_for_a_while(self):
        with IcpStandin(None, "127.0.0.1") as silent, IcpStandin("MISS", "127.0.0.2") as answering:
            with self.proxy(self.icp_config(1, 1, silent.port, answering.port, timeout=300)) as p:
                self.assertServed(self.get(p, "/silent-1"))
                self.assertTrue(p.wait_log("no ICP response received from 127.0.0.1"))
                self.assertServed(self.get(p, "/silent-2"))
                self.assertEqual(len(silent.received()), 1)
                self.assertEqual(len(answering.received()), 2)
                self.assertTrue(wait_for(lambda: self.origin.url("/silent-2") in self.plain2.urls()))

    # -- CARP ------------------------------------------------------------------

    def test_carp_choice_is_stable_per_url(self):
        members = {"127.0.0.1": self.plain1, "127.0.0.2": self.plain2}
        conf = config([rule(host, squid.port) for host, squid in members.items()], carp=True)
        expected = {}
        with self.proxy(conf) as p:
            for i in range(12):
                path = "/carp-%d" % i
                url = self.origin.url(path)
                scores = {host: carp_hash(url, host) for host in members}
                best = max(scores, key=scores.get)
                expected[url] = best if scores[best] > carp_hash(url, "localhost") else None
                for _ in range(2):
                    self.assertServed(self.get(p, path))
            # squid writes its access line after the answer: wait for the last ones
            last = [u for u, h in expected.items() if h is not None]
            wait_for(lambda: all(members[expected[u]].urls().count(u) >= 2 for u in last))
            for url, host in expected.items():
                seen = {h: members[h].urls().count(url) for h in members}
                if host is None:
                    self.assertEqual(seen, {h: 0 for h in members}, url)
                    self.assertEqual(peer_of(p, url), "DIRECT/127.0.0.1")
                else:
                    self.assertEqual(seen[host], 2, (url, seen))
                    self.assertEqual(sum(seen.values()), 2, (url, seen))
                    self.assertEqual(peer_of(p, url).split("/")[1], host)
        # Both peers and this proxy itself won some of the URLs.
        self.assertEqual(set(expected.values()), {"127.0.0.1", "127.0.0.2", None}, expected)

    # -- credentials -----------------------------------------------------------

    def test_parent_credentials_never_reach_another_parent(self):
        conf = config([rule("127.0.0.1", self.basic1.port, user="alice", password="secret-a",
                            domain="DOMAIN-A", profiles="to-a"),
                       rule("127.0.0.2", self.basic2.port, user="bob", profiles="to-b"),
                       rule("127.0.0.2", self.basic2.port, user="bob", password="pw-b", profiles="to-c")],
                      profiles=[("^/a", "to-a"), ("^/b", "to-b"), ("^/c", "to-c")])
        statuses = []
        with self.proxy(conf) as p:
            # One client connection, the rules taking turns.
            with p.client() as c:
                for path in ("/a1", "/b1", "/c1", "/b2", "/a2"):
                    statuses.append((path, c.ask(request(self.origin.url(path))).status))
        self.assertEqual(statuses, [("/a1", 200), ("/b1", 407), ("/c1", 200), ("/b2", 407), ("/a2", 200)])
        self.assertTrue(self.basic2.wait_log(lambda log: any(e[2] == self.origin.url("/b2") for e in log)))
        second = [e for e in self.basic2.log() if e[2] in [self.origin.url(x) for x in ("/b1", "/c1", "/b2")]]
        # The user-only rule sends nothing; the rule with both sends its own.
        self.assertEqual(sorted(set(e[0] for e in second), key=str), sorted({None, basic("bob", "pw-b")}, key=str))
        first = [e for e in self.basic1.log() if e[2] in (self.origin.url("/a1"), self.origin.url("/a2"))]
        self.assertIn((basic("alice", "secret-a"), "GET", self.origin.url("/a2"), "200"), first)


class IcpServerTest(unittest.TestCase):
    def test_answers_from_the_cache(self):
        port = free_port()
        conf = config(icp_port=port, icp_timeout=1000)
        with Proxy(config=conf, loglevel=ALL_LOG) as p:
            self.assertTrue(p.wait_log("listening on port *:%d" % port), p.log())
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.settimeout(1)
            try:
                def ask(packet):
                    for _ in range(10):
                        s.sendto(packet, ("127.0.0.1", port))
                        try:
                            return s.recv(65536)
                        except socket.timeout:
                            continue
                    return b""

                url = "http://www.example.com/object"
                answer = ask(query_packet(url, number=0x1234ABCD))
                opcode, version, length, number = HEADER.unpack_from(answer)[:4]
                # Nothing is cached in the first minutes after start-up.
                self.assertEqual((opcode, version, number, length), (3, 3, 0x1234ABCD, len(answer)))
                self.assertEqual(answer[HEADER.size:], url.encode() + b"\0")
                self.assertTrue(p.wait_log("miss: http://www.example.com:80/object"))

                s.sendto(b"\x01\x03", ("127.0.0.1", port))  # too short: no answer
                answer = ask(query_packet("", number=77, opcode=10))
                self.assertEqual(HEADER.unpack_from(answer)[:4], (0, 3, 20, 77))
                self.assertEqual(len(answer), 20)
                answer = ask(query_packet("no url here", number=78))
                self.assertEqual(HEADER.unpack_from(answer)[:4], (0, 3, 20, 78))
                self.assertTrue(p.wait_log("error: received invalid URL in query"))
            finally:
                s.close()


if __name__ == "__main__":
    main()
