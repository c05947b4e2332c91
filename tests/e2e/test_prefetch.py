"""Prefetching through the real daemon: the links of a page a client fetched
are fetched into the cache by the prefetch workers, so the client's visit
to the linked pages is all hits and the origin sees each page once; only
parsed http and ftp links are followed, to the configured depth; the
"/prefetch" interface page queues a URL and the "prefetch" URL command
queues the request's own URL. The prefetcher never fetches the web
interface, by any of its names.

Nothing is cached during the first 180 seconds after start-up, so the
daemon runs on a faked clock moved past that once it is up.
"""
import os
import tempfile
import unittest
import urllib.parse

from harness import ALL_LOG, Clock, Config, Proxy, clocked_proxy, main, wait_for
from peers import FtpServer, StandinOrigin, response

FRESH = [("Cache-Control", "max-age=86400"), ("Content-Type", "text/html")]


def page(links):
    return ("<html><body>%s</body></html>" % "".join('<a href="%s">x</a>' % l for l in links)).encode()


def prefetching(depth=1, hostlimit=0, **rule):
    return (Config().set("prefetch", enabled=True, hostlimit=hostlimit)
            .set("prefetch/rule", depth=depth, **rule))


class PrefetchTest(unittest.TestCase):
    def start(self, config):
        return clocked_proxy(self, config)

    def asked(self, origin, path):
        with origin.lock:
            return sum(1 for r in origin.requests if r.path == path)

    def test_linked_site_second_visit_is_all_hits(self):
        with StandinOrigin() as origin:
            base = origin.url("")
            host = base.split("//", 1)[1].rstrip("/")
            links = ["a.html", "/dir/../b.html", "//%s/c.html" % host, base + "/d.html",
                     "javascript:alert(1)", "mailto:someone@example.com", "http://[broken", "#top", "news:x"]
            origin.routes.update({
                "/index.html": response(200, page(links), FRESH),
                "/a.html": response(200, page(["deeper.html"]), FRESH),
                "/b.html": response(200, b"<p>b</p>", FRESH),
                "/c.html": response(200, b"<p>c</p>", FRESH),
                "/d.html": response(200, b"<p>d</p>", FRESH),
                "/deeper.html": response(200, b"<p>deep</p>", FRESH),
            })
            p = self.start(prefetching(depth=1))
            self.assertEqual(p.get(origin.url("/index.html"), ["Connection: close"]).status, 200)
            pages = ["/a.html", "/b.html", "/c.html", "/d.html"]
            self.assertTrue(wait_for(lambda: all(self.asked(origin, x) == 1 for x in pages), 20))
            # Only as deep as the rule says, and nothing but http links (a
            # client's own visit to a.html below may queue its links again).
            with origin.lock:
                seen = sorted(r.path for r in origin.requests)
            self.assertEqual(seen, sorted(pages + ["/index.html"]))
            # Stored once the workers finish writing: every visit a hit.
            for path in pages:
                r = wait_for(lambda: (lambda r: r if (r.header("x-cache") or "").startswith("HIT") else None)(
                    p.get(origin.url(path), ["Connection: close"])), 10)
                self.assertTrue(r, "%s was not served from the cache" % path)
            for path in pages:
                self.assertEqual(self.asked(origin, path), 1, path)

    def test_depth_two_follows_links_of_prefetched_pages(self):
        with StandinOrigin() as origin:
            origin.routes.update({
                "/index.html": response(200, page(["a.html"]), FRESH),
                "/a.html": response(200, page(["deeper.html"]), FRESH),
                "/deeper.html": response(200, page(["deepest.html"]), FRESH),
                "/deepest.html": response(200, b"x", FRESH),
            })
            p = self.start(prefetching(depth=2))
            p.get(origin.url("/index.html"), ["Connection: close"])
            self.assertTrue(wait_for(lambda: self.asked(origin, "/deeper.html") == 1, 20))
            self.assertEqual(self.asked(origin, "/deepest.html"), 0)

    def test_pattern_and_host_limit(self):
        with StandinOrigin() as origin:
            links = ["p%d.html" % i for i in range(6)] + ["skip.txt"]
            origin.routes.update({"/index.html": response(200, page(links), FRESH)})
            for i in range(6):
                origin.routes["/p%d.html" % i] = response(200, b"p", FRESH)
            origin.routes["/skip.txt"] = response(200, b"s", FRESH)
            # One worker that is held up by nothing: the host limit shows in
            # the log whatever the workers do.
            p = self.start(prefetching(pattern=r"\.html$").set("prefetch", hostlimit=1, threads=1))
            p.get(origin.url("/index.html"), ["Connection: close"])
            self.assertTrue(wait_for(lambda: self.asked(origin, "/p0.html") == 1, 20))
            self.assertEqual(self.asked(origin, "/skip.txt"), 0)

    def test_ftp_link_is_prefetched(self):
        with FtpServer({"f.txt": b"file"}) as f, StandinOrigin() as origin:
            origin.routes["/index.html"] = response(200, page([f.url("/f.txt")]), FRESH)
            p = self.start(prefetching())
            p.get(origin.url("/index.html"), ["Connection: close"])
            self.assertTrue(wait_for(lambda: "RETR %s/f.txt completed=1" % f.root in f.read("ftp.log"), 20))
            r = wait_for(lambda: (lambda r: r if (r.header("x-cache") or "").startswith("HIT") else None)(
                p.get(f.url("/f.txt"), ["Connection: close"])), 10)
            self.assertTrue(r)
            self.assertEqual(r.body, b"file")
            self.assertEqual(f.read("ftp.log").count("RETR %s/f.txt completed=1" % f.root), 1)

    def test_ftp_session_of_a_named_user_is_not_handed_to_others(self):
        # The server lets nobody in without a password: a default-login
        # request may only succeed by riding on alice's session.
        files = {"pub/alice.txt": b"alice's", "pub/other.txt": b"other"}
        with FtpServer(files, users={"alice": "secret"}, anonymous=False) as f, StandinOrigin() as origin:
            origin.routes["/index.html"] = response(
                200, page([f.url("/pub/alice.txt", user=("alice", "secret"))]), FRESH)
            clock = Clock(tempfile.mkdtemp(prefix="korvantel-clock-"))
            p = Proxy(config=prefetching(), env=clock.env(), loglevel=ALL_LOG)
            p.start()
            self.addCleanup(p.stop)
            clock.advance()
            p.get(origin.url("/index.html"), ["Connection: close"])
            self.assertTrue(wait_for(lambda: "RETR %s/pub/alice.txt completed=1" % f.root in f.read("ftp.log"), 20))
            self.assertTrue(p.wait_log("Connection Pool: added: ftp://", timeout=20))
            for path in ("/pub/other.txt", "/pub/alice.txt", "/pub/"):
                r = p.get(f.url(path), ["Connection: close"])
                self.assertEqual(r.status, 404, (path, r.body[:200]))
                self.assertNotIn(b"alice's", r.body)
            self.assertNotIn("RETR %s/pub/other.txt" % f.root, f.read("ftp.log"))
            # alice herself still gets her own files.
            r = p.get(f.url("/pub/other.txt", user=("alice", "secret")), ["Connection: close"])
            self.assertEqual((r.status, r.body), (200, b"other"))

    def test_the_interface_is_never_prefetched(self):
        # The prefetcher asks from inside the proxy with the link as its
        # Referer: a link to the interface would load or save the
        # configuration with this machine's rights.
        host = "korvantel.invalid"
        with StandinOrigin() as origin:
            clock = Clock(tempfile.mkdtemp(prefix="korvantel-clock-"))
            p = Proxy(config=prefetching(), env=clock.env(), loglevel=ALL_LOG)
            saved = [os.path.join(p.dir, "saved%d.xml" % n) for n in range(4)]
            evil = urllib.parse.quote(origin.url("/evil.xml"), safe="")
            links = ["http://localhost:%d/%s/load?filename=%s&overwrite=yes" % (p.port, host, evil),
                     "http://%s/save?filename=%s" % (host.upper(), saved[0]),
                     "http://localhost:%d/%s/save?filename=%s" % (p.port, host, saved[1]),
                     "http://127.1:%d/%s/save?filename=%s" % (p.port, host, saved[2]),
                     "http://LOCALHOST/%s/save?filename=%s" % (host, saved[3]),
                     "ok.html"]
            origin.routes.update({
                "/index.html": response(200, page(links), FRESH),
                "/ok.html": response(200, b"ok", FRESH),
                "/evil.xml": response(200, str(Config().set("access/allow", 1, comment="loaded by the prefetcher"))
                                      .encode(), [("Content-Type", "text/xml")]),
            })
            p.start()
            self.addCleanup(p.stop)
            clock.advance()
            before = p.get("http://%s/xml" % host).body
            self.assertIn(b"<korvantel>", before)
            p.get(origin.url("/index.html"), ["Connection: close"])
            self.assertTrue(wait_for(lambda: self.asked(origin, "/ok.html") == 1, 20))
            skipped = lambda: p.log().count("prefetch: skipped a link to") == 5  # noqa: E731
            wait_for(lambda: skipped() or self.asked(origin, "/evil.xml") or any(map(os.path.exists, saved)), 20)
            self.assertEqual(self.asked(origin, "/evil.xml"), 0)
            self.assertEqual(p.get("http://%s/xml" % host).body, before)
            for path in saved:
                self.assertFalse(os.path.exists(path), path)
            self.assertTrue(skipped(), p.log()[-3000:])
            self.assertIn("prefetch: skipped a link to 127.1:%d since its server is this proxy" % p.port, p.log())
            self.assertIn("prefetch: skipped a link to %s:80 since it names the web interface" % host,
                          p.log())


if __name__ == "__main__":
    main()
