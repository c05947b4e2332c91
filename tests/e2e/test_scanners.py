"""Virus scanners through the real daemon: ClamAV against Debian's clamd
(Unix socket and TCP, INSTREAM after clamd refuses STREAM) and a STREAM
stand-in; F-Prot, Kaspersky and Sophie against stand-ins. An infected body
gets the virus page and is never cached; a clean one passes, and a stored
clean copy is not scanned again; every failure lets the body through with a
warning that names the reason; temporary copies are private and gone after
the scan.
"""
import os
import tempfile
import time
import unittest

from client import request
from harness import ALL_LOG, Clock, Config, Proxy, dead_port, main, wait_for
from peers import (SIGNATURE, Clamd, ClamStreamStandin, FProtStandin, KasperskyStandin, Nginx,
                   SophieStandin)

CLEAN = b"a perfectly harmless text\n" * 4
INFECTED = b"some text before " + SIGNATURE + b" and after\n"
BIG = b"x" * 150000 + SIGNATURE
HUGE = b"h" * (3 << 20)  # more than loopback socket buffers hold, less than the 4M buffer limit
DEAD_PORT = dead_port()


def files():
    return {"clean.txt": CLEAN, "bad.txt": INFECTED, "big.bin": BIG, "other.txt": CLEAN,
            "bad2.txt": INFECTED}


def scanner_config(section, general=None, **options):
    conf = Config().set(section, enabled=True, **options).add(section + "/rule")
    if general:
        conf.set("general/rule", **general)
    return conf


def fetch(proxy, url):
    return proxy.get(url, ["Connection: close"], timeout=30)


def origin_hits(origin, path):
    return sum(1 for line in origin.log().splitlines() if path in line)


class ClamAVDaemon(unittest.TestCase):
    """Debian's clamd, which answers STREAM with "UNKNOWN COMMAND"."""

    @classmethod
    def setUpClass(cls):
        cls.origin = Nginx(files()).start()
        cls.clamd = Clamd().start()

    @classmethod
    def tearDownClass(cls):
        cls.clamd.stop()
        cls.origin.stop()

    def test_unix_and_tcp(self):
        for address, port in ((self.clamd.path, 0), ("127.0.0.1", self.clamd.port)):
            with self.subTest(address=address), \
                    Proxy(config=scanner_config("clamav", address=address, port=port), loglevel=ALL_LOG) as p:
                r = fetch(p, self.origin.url("/bad.txt"))
                self.assertEqual(r.status, 403)
                self.assertIn(b"ClamAV detected:", r.body)
                self.assertIn(b"Korvantel.Test.Sig.UNOFFICIAL", r.body)
                self.assertNotIn(SIGNATURE, r.body)
                self.assertTrue(p.wait_log("ClamAV: detected Korvantel.Test.Sig.UNOFFICIAL virus"))
                self.assertTrue(p.wait_log("INSTREAM"))
                self.assertTrue(p.wait_log('"ClamAV Korvantel.Test.Sig.UNOFFICIAL"', "extended"))
                self.assertTrue(p.wait_log("TCP_DENIED/403", "access"))
                r = fetch(p, self.origin.url("/clean.txt"))
                self.assertEqual((r.status, r.body), (200, CLEAN))
                self.assertTrue(p.wait_log("ClamAV: no viruses found"))
                self.assertNotIn("not scanned", p.log())

    def test_infected_never_cached_clean_scanned_once(self):
        with tempfile.TemporaryDirectory() as d:
            clock = Clock(d)
            p = Proxy(config=scanner_config("clamav", address=self.clamd.path), loglevel=ALL_LOG, env=clock.env())
            with p:
                clock.advance()
                for _ in range(2):
                    r = fetch(p, self.origin.url("/bad2.txt"))
                    self.assertIn(b"ClamAV detected:", r.body)
                # nginx writes its access line after the answer
                self.assertTrue(wait_for(lambda: origin_hits(self.origin, "/bad2.txt") == 2), self.origin.log())
                self.assertEqual(p.log().count("ClamAV: detected"), 2)

                first = fetch(p, self.origin.url("/other.txt"))
                second = fetch(p, self.origin.url("/other.txt"))
                self.assertEqual((first.body, second.body), (CLEAN, CLEAN))
                self.assertTrue((second.header("x-cache") or "").startswith("HIT"), second.head)
                self.assertEqual(p.log().count("ClamAV: no viruses found"), 1)
                self.assertIn("ClamAV: cached file already checked for viruses", p.log())

    def test_bypass_and_disabled_rule(self):
        conf = scanner_config("clamav", address=self.clamd.path).set("clamav/rule", enabled=False)
        with Proxy(config=conf, loglevel=ALL_LOG) as p:
            r = fetch(p, self.origin.url("/bad.txt"))
            self.assertEqual(r.body, INFECTED)
            self.assertNotIn("not scanned", p.log())
        conf = scanner_config("clamav", address=self.clamd.path).set("access/allow", 1, bypass="antivirus")
        with Proxy(config=conf, loglevel=ALL_LOG) as p:
            self.assertEqual(fetch(p, self.origin.url("/bad.txt")).body, INFECTED)

    def test_body_past_buffer_limit_is_not_scanned(self):
        conf = scanner_config("clamav", address=self.clamd.path, general={"maxdbuffer": "100K"})
        with Proxy(config=conf, loglevel=ALL_LOG) as p:
            r = fetch(p, self.origin.url("/big.bin"))
            self.assertEqual((r.status, r.body), (200, BIG))
            self.assertTrue(p.wait_log("ClamAV: response not scanned (larger than the download buffer): "
                                       + self.origin.url("/big.bin")))


class ClamAVFailures(unittest.TestCase):
    """A STREAM daemon, and daemons that are down, slow or talk nonsense."""

    @classmethod
    def setUpClass(cls):
        cls.origin = Nginx(files()).start()

    @classmethod
    def tearDownClass(cls):
        cls.origin.stop()

    def test_stream_exchange(self):
        for tcp in (True, False):
            with self.subTest(tcp=tcp), ClamStreamStandin("clean", tcp=tcp) as clam:
                address = "127.0.0.1" if tcp else clam.path
                with Proxy(config=scanner_config("clamav", address=address, port=clam.port)) as p:
                    r = fetch(p, self.origin.url("/bad.txt"))
                    self.assertIn(b"Test.Stream.Sig", r.body)
                    self.assertEqual(fetch(p, self.origin.url("/clean.txt")).body, CLEAN)
                self.assertEqual([s["command"] for s in clam.seen], [b"STREAM\n"] * 2)
                self.assertEqual([s["data"] for s in clam.seen], [INFECTED, CLEAN])

    def test_missing_template_still_answers(self):
        # The virus page's template exists nowhere: the kept-alive client is
        # answered at once, and a pipelined request gets its own answer.
        with ClamStreamStandin("clean", tcp=True) as clam:
            conf = scanner_config("clamav", address="127.0.0.1", port=clam.port, template="nosuchpage")
            with Proxy(config=conf) as p, p.client(timeout=5) as c:
                c.send(request(self.origin.url("/bad.txt")) + request(self.origin.url("/clean.txt")))
                first = c.response()
                self.assertEqual((403, b"403 Forbidden\n"), (first.status, first.body))
                second = c.response()
                self.assertEqual((200, CLEAN), (second.status, second.body))

    def test_failures_let_the_body_through(self):
        cases = [
            ("down", None, "clamd not reachable on /nonexistent/clamd.sock"),
            ("silent", "silent", "no answer from clamd within 2 seconds"),
            ("garbage", "garbage", "unexpected answer to STREAM from clamd: HELLO THERE"),
            ("four words", "fourwords", "unexpected verdict from clamd: stream: one two three"),
        ]
        for name, behaviour, reason in cases:
            with self.subTest(name):
                clam = ClamStreamStandin(behaviour or "clean", tcp=True, hold=4)
                with clam:
                    address, port = ("/nonexistent/clamd.sock", 0) if behaviour is None else ("127.0.0.1", clam.port)
                    conf = scanner_config("clamav", address=address, port=port, general={"timeout": 2})
                    with Proxy(config=conf) as p:
                        r = fetch(p, self.origin.url("/bad.txt"))
                        self.assertEqual((r.status, r.body), (200, INFECTED))
                        self.assertTrue(p.wait_log("ClamAV: response not scanned (%s): %s"
                                                   % (reason, self.origin.url("/bad.txt"))), p.log()[-2000:])
                        self.assertIn("error: ClamAV: failed to check file for viruses", p.log())


class TempFileScanners(unittest.TestCase):
    """Kaspersky and Sophie, which read the body from a temporary file."""

    @classmethod
    def setUpClass(cls):
        cls.origin = Nginx(files()).start()

    @classmethod
    def tearDownClass(cls):
        cls.origin.stop()

    def test_kaspersky(self):
        cases = [("content", "/bad.txt", True, "Test.Kav.Sig"), ("content", "/clean.txt", False, None),
                 ("noname", "/bad.txt", True, ""), ("error", "/bad.txt", False, "unknown response")]
        for behaviour, path, blocked, name in cases:
            with self.subTest(behaviour=behaviour, path=path), KasperskyStandin(behaviour) as k, \
                    tempfile.TemporaryDirectory() as tmp:
                conf = scanner_config("kaspersky", socket=k.path).set("general", tempdir=tmp)
                with Proxy(config=conf) as p:
                    r = fetch(p, self.origin.url(path))
                    if blocked:
                        self.assertIn(b"Kaspersky detected:", r.body)
                        self.assertTrue(p.wait_log("detected %s virus with Kaspersky" % name))
                    else:
                        self.assertEqual(r.status, 200)
                        self.assertNotIn(b"detected:", r.body)
                    if behaviour == "error":
                        self.assertTrue(p.wait_log("unknown response from Kaspersky daemon: 500 trouble"))
                        self.assertTrue(p.wait_log("Kaspersky: response not scanned (unknown response"))
                self.assertEqual(len(k.seen), 1)
                seen = k.seen[0]
                self.assertTrue(seen["command"].startswith("SCAN xmQPRSTUWabcdefghi " + tmp + "/ext"))
                self.assertEqual(seen["mode"], 0o600)
                self.assertEqual(seen["data"], INFECTED if path == "/bad.txt" else CLEAN)
                self.assertTrue(seen["quit"])
                self.assertEqual(os.listdir(tmp), [])

    def test_temporary_directory_problems(self):
        with tempfile.TemporaryDirectory() as tmp:
            # a directory name far longer than any fixed buffer
            deep = os.path.join(tmp, "d" * 200, "e" * 200)
            os.makedirs(deep)
            with KasperskyStandin("content") as k:
                conf = scanner_config("kaspersky", socket=k.path).set("general", tempdir=deep)
                with Proxy(config=conf) as p:
                    self.assertIn(b"Kaspersky detected:", fetch(p, self.origin.url("/bad.txt")).body)
                self.assertEqual(os.listdir(deep), [])
                missing = os.path.join(tmp, "missing")
                conf = scanner_config("kaspersky", socket=k.path).set("general", tempdir=missing)
                with Proxy(config=conf) as p:
                    r = fetch(p, self.origin.url("/bad.txt"))
                    self.assertEqual((r.status, r.body), (200, INFECTED))
                    self.assertTrue(p.wait_log("cannot create a temporary file in %s" % missing))
                    self.assertTrue(p.wait_log("Kaspersky: response not scanned (cannot create a temporary file"))

    def test_sophie_unix(self):
        cases = [("infected", True, "detected Test.Sophie.Sig virus with Sophie"),
                 ("short", True, "detected  virus with Sophie"),
                 ("clean", False, "no viruses detected by Sophie"),
                 ("error", False, "Sophie: response not scanned (the Sophie daemon reported an error: -1)"),
                 ("silent", False, "Sophie: response not scanned (no verdict from the Sophie daemon within 2")]
        for behaviour, blocked, line in cases:
            with self.subTest(behaviour), SophieStandin(behaviour, hold=4) as s, \
                    tempfile.TemporaryDirectory() as tmp:
                conf = scanner_config("sophie", socket=s.path, general={"timeout": 2}).set("general", tempdir=tmp)
                with Proxy(config=conf) as p:
                    r = fetch(p, self.origin.url("/bad.txt"))
                    self.assertEqual(b"Sophie detected:" in r.body, blocked)
                    if not blocked:
                        self.assertEqual(r.body, INFECTED)
                    self.assertTrue(p.wait_log(line), p.log()[-1500:])
                self.assertEqual(s.seen[0]["data"], INFECTED)
                self.assertEqual(s.seen[0]["mode"], 0o644)  # the daemon runs as its own user
                self.assertTrue(wait_for(lambda: os.listdir(tmp) == [], 5))

    def test_sophie_tcp(self):
        cases = [("infected", True, "detected Test.Sophie.Sig virus with Sophie"),
                 ("clean", False, "No virus Found"),
                 ("refuse", False, "'OK' not returned from Sophie"),
                 ("error", False, "Sophie: response not scanned (the Sophie daemon reported an error: -1 broken)")]
        for behaviour, blocked, line in cases:
            with self.subTest(behaviour), SophieStandin(behaviour, tcp=True) as s, \
                    tempfile.TemporaryDirectory() as tmp:
                conf = scanner_config("sophie", socket="", host="127.0.0.1", port=s.port).set("general", tempdir=tmp)
                with Proxy(config=conf) as p:
                    r = fetch(p, self.origin.url("/bad.txt"))
                    self.assertEqual(b"Sophie detected:" in r.body, blocked)
                    self.assertTrue(p.wait_log(line), p.log()[-1500:])
                name = s.seen[0]["name"]
                self.assertTrue(name.startswith("ext") and "/" not in name, name)
                self.assertEqual(s.seen[0]["line"], "%s/%d" % (name, len(INFECTED)))
                if behaviour != "refuse":
                    self.assertEqual(s.seen[0]["data"], INFECTED)
                self.assertTrue(wait_for(lambda: os.listdir(tmp) == [], 5))
        conf = scanner_config("sophie", socket="", host="no-such-host.invalid", port=1)
        with Proxy(config=conf) as p:
            self.assertEqual(fetch(p, self.origin.url("/bad.txt")).body, INFECTED)
            self.assertTrue(p.wait_log("Unknown host no-such-host.invalid"))
            self.assertTrue(p.wait_log("Sophie: response not scanned (the Sophie host no-such-host.invalid"))


class TempFileScannerFailures(unittest.TestCase):
    """Kaspersky and Sophie down, silent or talking nonsense: the body
    passes at once after the time-out at most, with the line that says why,
    and no temporary copy is left behind."""

    @classmethod
    def setUpClass(cls):
        cls.origin = Nginx(dict(files(), **{"huge.bin": HUGE})).start()

    @classmethod
    def tearDownClass(cls):
        cls.origin.stop()

    def passes(self, conf, tmp, lines, path="/bad.txt"):
        conf.set("general/rule", timeout=2).set("general", tempdir=tmp)
        with Proxy(config=conf, loglevel=ALL_LOG) as p:
            started = time.monotonic()
            r = fetch(p, self.origin.url(path))
            self.assertLess(time.monotonic() - started, 15)
            self.assertEqual((r.status, r.body), (200, HUGE if path == "/huge.bin" else INFECTED))
            for line in lines:
                self.assertTrue(p.wait_log(line), (line, p.log()[-2000:]))
            # the daemon still serves the next client
            self.assertEqual(fetch(p, self.origin.url("/clean.txt")).body, CLEAN)
        self.assertTrue(wait_for(lambda: os.listdir(tmp) == [], 5), os.listdir(tmp))

    def test_kaspersky(self):
        prefix = "Kaspersky: response not scanned ("
        cases = [
            ("down", None, [prefix + "Kaspersky daemon not reachable on /nonexistent/kav.sock)",
                            "connection to Kaspersky daemon failed"]),
            ("silent", "silent", [prefix + "no verdict from the Kaspersky daemon within 2 seconds)"]),
            ("garbage", "garbage", ["unknown response from Kaspersky daemon: \ufffd not a code\n",
                                    prefix + "unknown response from the Kaspersky daemon: "]),
            ("flood", "flood", [prefix + "the Kaspersky daemon closed the connection without a verdict)"]),
            ("truncated", "truncated",
             [prefix + "the Kaspersky daemon closed the connection without a verdict)"]),
        ]
        for name, behaviour, lines in cases:
            with self.subTest(name), KasperskyStandin(behaviour or "clean", hold=20) as k, \
                    tempfile.TemporaryDirectory() as tmp:
                conf = scanner_config("kaspersky", socket=k.path if behaviour else "/nonexistent/kav.sock")
                self.passes(conf, tmp, lines)
                if behaviour:
                    self.assertEqual(k.seen[0]["data"], INFECTED)

    def test_sophie(self):
        prefix = "Sophie: response not scanned ("
        cases = [
            # unix mode
            ("down", None, False, [prefix + "Sophie daemon not reachable on /nonexistent/sophie.sock)",
                                   "connection to Sophie daemon failed"]),
            ("silent", "silent", False, [prefix + "no verdict from the Sophie daemon within 2 seconds)"]),
            ("closed", "closed", False, ["error checking file for viruses",
                                         prefix + "the Sophie daemon closed the connection without a verdict)"]),
            ("garbage", "garbage", False, ["no viruses detected by Sophie"]),
            # tcp mode
            ("tcp down", None, True, [prefix + "Sophie daemon not reachable on 127.0.0.1:%d)" % DEAD_PORT,
                                      "connection to Sophie failed"]),
            ("tcp silent", "silent", True, ["'OK' not returned from Sophie", prefix]),
            ("tcp silent verdict", "silent-verdict", True,
             [prefix + "no verdict from the Sophie daemon within 2 seconds)"]),
            ("tcp closed", "closed", True,
             [prefix + "the Sophie daemon closed the connection without a verdict)"]),
            ("tcp garbage", "garbage", True, ["No virus Found"]),
            # OK, then none of a body larger than the socket buffers is taken
            ("tcp unread", "unread", True, [prefix + "no verdict from the Sophie daemon within 2 seconds)"]),
        ]
        for name, behaviour, tcp, lines in cases:
            with self.subTest(name), SophieStandin(behaviour or "clean", tcp=tcp, hold=20) as s, \
                    tempfile.TemporaryDirectory() as tmp:
                if tcp:
                    port = s.port if behaviour else DEAD_PORT
                    conf = scanner_config("sophie", socket="", host="127.0.0.1", port=port)
                else:
                    conf = scanner_config("sophie", socket=s.path if behaviour else "/nonexistent/sophie.sock")
                self.passes(conf, tmp, lines, "/huge.bin" if behaviour == "unread" else "/bad.txt")


class FProt(unittest.TestCase):
    """The F-Prot daemon's fixed ports 10200-10204 on loopback."""

    @classmethod
    def setUpClass(cls):
        cls.origin = Nginx(files()).start()

    @classmethod
    def tearDownClass(cls):
        cls.origin.stop()

    def test_verdicts(self):
        cases = [("content", "/bad.txt", 403, "detected Test.FProt.Sig virus with F-Prot", '"f-prot Test.FProt.Sig"'),
                 ("content", "/clean.txt", 200, "no viruses detected by F-Prot", None),
                 ("infected", "/clean.txt", 403, "detected unknown virus with F-Prot", '"f-prot unknown"'),
                 ("error", "/bad.txt", 200, "error parsing F-Prot result XML", None)]
        for behaviour, path, status, line, extended in cases:
            with self.subTest(behaviour=behaviour, path=path), tempfile.TemporaryDirectory() as tmp, \
                    FProtStandin(10200, behaviour) as f:
                conf = scanner_config("fprot").set("general", tempdir=tmp)
                conf.set("fprot/rule", options="archive,noheur", archivedepth=5)
                with Proxy(config=conf) as p:
                    r = fetch(p, self.origin.url(path))
                    self.assertEqual(r.status, status)
                    self.assertEqual(b"F-Prot detected:" in r.body, status == 403)
                    self.assertTrue(p.wait_log(line))
                    if extended:
                        self.assertTrue(p.wait_log(extended, "extended"))
                self.assertEqual(len(f.requests), 1)
                self.assertEqual(f.requests[0]["query"], "-archive=5%20-noheur%20-remote-dtd%20")
                self.assertTrue(f.requests[0]["path"].startswith(tmp + "/ext"))
                self.assertEqual(f.requests[0]["mode"], 0o600)
                self.assertEqual(os.listdir(tmp), [])

    def test_deeply_nested_answer_is_a_failed_scan(self):
        with tempfile.TemporaryDirectory() as tmp, FProtStandin(10200, "deep") as f:
            conf = scanner_config("fprot").set("general", tempdir=tmp)
            with Proxy(config=conf) as p:
                for _ in range(2):
                    r = fetch(p, self.origin.url("/bad.txt"))
                    self.assertEqual((r.status, r.body), (200, INFECTED))
                self.assertTrue(p.wait_log("error parsing F-Prot result XML"))
                self.assertTrue(p.wait_log("F-Prot: response not scanned"))
                self.assertIsNone(p.proc.poll())
            self.assertTrue(f.requests)
            self.assertEqual(os.listdir(tmp), [])

    def test_later_port_and_no_daemon(self):
        with FProtStandin(10202, "content") as f:
            with Proxy(config=scanner_config("fprot")) as p:
                self.assertIn(b"F-Prot detected:", fetch(p, self.origin.url("/bad.txt")).body)
            self.assertEqual(f.requests[0]["query"], "-remote-dtd%20")
        with Proxy(config=scanner_config("fprot")) as p:
            self.assertEqual(fetch(p, self.origin.url("/bad.txt")).body, INFECTED)
            self.assertTrue(p.wait_log("connection to F-Prot daemon scanner failed"))
            self.assertTrue(p.wait_log("F-Prot: response not scanned (no F-Prot daemon answered"))


if __name__ == "__main__":
    main()
