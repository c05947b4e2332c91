"""The ICAP client through the real daemon: REQMOD and RESPMOD against
Debian's c-icap with its echo service, and against a stand-in for the
replies c-icap will not give (204, errors, a server answering the request
itself, Connection: close, malformed chunks, replies that would leave the
connection out of step). Every failure lets the content pass unchanged;
a connection goes back to the pool only after a whole, ordinary reply.
"""
import base64
import unittest

from harness import ALL_LOG, Config, Proxy, main
from peers import CIcap, IcapStandin, Nginx, StandinOrigin, response

BODY = b"plain body from the origin\n"


def icap_config(port, mode, path="/echo"):
    return (Config().set("icap", enabled=True)
            .add("icap/rule", host="127.0.0.1", port=port, path=path, mode=mode))


def fetch(proxy, url, **kw):
    return proxy.get(url, ["Connection: close"], timeout=20, **kw)


class CIcapEcho(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.icap = CIcap().start()
        cls.origin = StandinOrigin({"*": response(200, BODY, [("Content-Type", "text/plain")])}).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.origin.__exit__(None, None, None)
        cls.icap.stop()

    def test_respmod(self):
        with Proxy(config=icap_config(self.icap.port, "respmod"), loglevel=ALL_LOG) as p:
            for _ in range(2):
                r = fetch(p, self.origin.url("/r"))
                self.assertEqual((r.status, r.body), (200, BODY))
            self.assertEqual(p.log().count("response modified"), 2)
            # the second exchange took the pooled connection
            self.assertIn("Connection Pool: hit: icap://", p.log())
        self.assertIn("RESPMOD", self.icap.access_log())

    def test_reqmod_with_and_without_body(self):
        with Proxy(config=icap_config(self.icap.port, "reqmod"), loglevel=ALL_LOG) as p:
            before = len(self.origin.requests)
            self.assertEqual(fetch(p, self.origin.url("/get")).body, BODY)
            r = fetch(p, self.origin.url("/post"), method="POST", body=b"field=value")
            self.assertEqual(r.status, 200)
            self.assertEqual(p.log().count("request modified"), 2)
        got = self.origin.requests[before:]
        self.assertEqual([q.path for q in got], ["/get", "/post"])
        for q in got:
            self.assertIn("Echo demo service", q.header("via") or "")
        self.assertEqual(got[1].body, b"field=value")

    def test_bypass_letter(self):
        conf = icap_config(self.icap.port, "reqmod,respmod").set("access/allow", 1, bypass="icap")
        with Proxy(config=conf, loglevel=ALL_LOG) as p:
            r = fetch(p, self.origin.url("/b"))
            self.assertIsNone(r.header("via"))
            self.assertNotIn("modified", p.log())


class IcapReplies(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = Nginx({"a.txt": BODY}).start()

    @classmethod
    def tearDownClass(cls):
        cls.origin.stop()

    def exchange(self, behaviour, mode, requests=2):
        with IcapStandin(behaviour, hold=3) as icap:
            conf = icap_config(icap.port, mode, "/svc").set("general/rule", timeout=2)
            with Proxy(config=conf, loglevel=ALL_LOG) as p:
                answers = [fetch(p, self.origin.url("/a.txt")) for _ in range(requests)]
                log = p.log()
            return answers, log, icap

    def test_failures_pass_content_unchanged(self):
        cases = [("204", "no modification needed"), ("500", "ICAP response indicates server error"),
                 ("404", "ICAP response indicates client error"),
                 ("noencap", "ICAP response without encapsulatd header"),
                 ("both", "unable to handle response with both bodies"),
                 ("badchunk", "error reading body from ICAP server"),
                 ("silent", "error reading response from ICAP server")]
        for behaviour, line in cases:
            for mode in ("reqmod", "respmod"):
                with self.subTest(behaviour=behaviour, mode=mode):
                    answers, log, icap = self.exchange(behaviour, mode)
                    for r in answers:
                        self.assertEqual((r.status, r.body), (200, BODY))
                    self.assertIn(line, log)
                    # a failed exchange never leaves its connection in the pool
                    self.assertEqual(icap.connections, 2)

    def test_server_answers_the_request(self):
        for mode in ("reqmod", "respmod"):
            with self.subTest(mode):
                answers, log, icap = self.exchange("satisfy", mode)
                for r in answers:
                    self.assertEqual((r.status, r.body), (403, b"blocked by icap"))
                self.assertIn("request satisfied" if mode == "reqmod" else "response modified", log)
                self.assertEqual(icap.connections, 1)  # pooled and used again
        answers, log, icap = self.exchange("satisfy-close", "respmod")
        self.assertEqual([r.status for r in answers], [403, 403])
        self.assertEqual(icap.connections, 2)

    def test_message_sent(self):
        answers, log, icap = self.exchange("nothing", "reqmod", requests=1)
        self.assertEqual(answers[0].body, BODY)
        message = icap.messages[0]
        head = message["head"].split("\r\n")
        self.assertEqual(head[0], "REQMOD icap://127.0.0.1:%d/svc ICAP/1.0" % icap.port)
        self.assertIn("X-Client-IP: 127.0.0.1", head)
        self.assertIn("Host: 127.0.0.1:%d" % icap.port, head)
        user = [h.split(": ", 1)[1] for h in head if h.startswith("X-Authenticated-User: ")]
        self.assertEqual(base64.b64decode(user[0]), b"Local://anonymous@127.0.0.1")
        self.assertEqual(message["offsets"], {"req-hdr": 0, "null-body": len(message["blocks"])})
        self.assertTrue(message["blocks"].startswith(b"GET " + self.origin.url("/a.txt").encode()))
        self.assertEqual(icap.connections, 1)

        answers, log, icap = self.exchange("header-only", "respmod", requests=1)
        self.assertEqual((answers[0].header("x-icap"), answers[0].body), ("changed", BODY))
        message = icap.messages[0]
        self.assertEqual(message["body"], BODY)
        self.assertEqual(set(message["offsets"]), {"req-hdr", "res-hdr", "res-body"})

    def test_proxy_credentials_stay_with_the_proxy(self):
        secret = base64.b64encode(b"carol:carols-secret").decode()
        head = [("Content-Type", "text/plain"), ("Proxy-Authenticate", "Basic realm=\"upstream\"")]
        with StandinOrigin({"*": response(200, BODY, head)}) as origin:
            for behaviour, mode in (("nothing", "reqmod"), ("header-only", "respmod")):
                with self.subTest(mode), IcapStandin(behaviour, hold=3) as icap, \
                        Proxy(config=icap_config(icap.port, mode, "/svc"), loglevel=ALL_LOG) as p:
                    r = p.get(origin.url("/a"), ["Connection: close", "Proxy-Authorization: Basic " + secret],
                              timeout=20)
                    self.assertEqual((r.status, r.body), (200, BODY))
                    self.assertEqual(len(icap.messages), 1)
                    sent = (icap.messages[0]["head"].encode() + icap.messages[0]["blocks"]).lower()
                    self.assertNotIn(b"proxy-authorization", sent)
                    self.assertNotIn(b"proxy-authenticate", sent)
                    self.assertNotIn(secret.lower().encode(), sent)
                    self.assertIn(b"x-authenticated-user: ", sent)
                    self.assertTrue(icap.messages[0]["blocks"].startswith(b"GET "))

    def test_unread_reply_closes_the_connection(self):
        answers, log, icap = self.exchange("unread", "respmod")
        self.assertEqual([r.body for r in answers], [BODY, BODY])
        self.assertEqual(icap.connections, 2)


if __name__ == "__main__":
    main()
