"""The interface's cache browser and prefetch page through the real daemon,
behind the interface login: fill figures, listing with escaped URLs,
pattern, size and time windows (the current minute included), deletion,
and the prefetch queue page. The URL blacklist browser belongs with the
URL blacklist, which is not part of this daemon yet.

Nothing is cached during the first 180 seconds after start-up, so the
daemon runs on a faked clock moved past that once it is up.
"""
import os
import re
import shutil
import subprocess
import threading
import time
import unittest

from harness import clocked_proxy, main, sanitizer_report, wait_for
from peers import FtpServer, StandinOrigin, response
from test_interface import call, config_with, login_cookie, token_of

FRESH = [("Cache-Control", "max-age=86400")]

# wrk cycles every connection over the cached objects /o1 .. /oN.
CYCLE_LUA = """
local base = os.getenv("ORIGIN")
local count = tonumber(os.getenv("OBJECTS"))
local host = string.match(base, "//([^/]+)")
local i = 0
request = function()
  i = i % count + 1
  return wrk.format("GET", base .. "/o" .. i, {Host = host})
end
"""


class BrowserTest(unittest.TestCase):
    def start(self, config):
        return clocked_proxy(self, config)

    def login(self, p):
        answer = call(p, "/stats", form={"username": "admin", "password": "s3cret"})
        return {"Cookie": "login=" + token_of(login_cookie(answer))}

    def cached(self, p, url):
        return wait_for(lambda: (p.get(url, ["Connection: close"]).header("x-cache") or "").startswith("HIT"), 10)

    def test_cache_browser(self):
        routes = {"/one": response(200, b"1" * 100, FRESH), "/two": response(200, b"2" * 20000, FRESH),
                  '/q"><script>x': response(200, b"3", FRESH)}
        with StandinOrigin(routes) as origin:
            p = self.start(config_with("admin", "s3cret"))
            for path in routes:
                self.assertTrue(self.cached(p, origin.url(path)), path)

            self.assertNotIn("Cache information", call(p, "/cache").body)
            cookie = self.login(p)
            page = call(p, "/cache", headers=cookie).body
            self.assertIn("Cache information", page)
            self.assertRegex(page, r"Memory cache</td><td>\d+ entries / \d+ bytes / \d+% used")
            self.assertNotIn('<td><b>URL</b>', page)

            listing = call(p, "/cache", form={"show": "yes"}, headers=cookie).body
            self.assertIn(">%s</a>" % origin.url("/one"), listing)
            self.assertIn('href="http://xx--cache.127.0.0.1:%d/one"' % origin.port, listing)
            self.assertIn("/q&quot;&gt;&lt;script&gt;x", listing)
            self.assertNotIn("<script>", listing)

            # Pattern and size bounds.
            listing = call(p, "/cache", form={"show": "yes", "pattern": "/T[W]O$"}, headers=cookie).body
            self.assertIn(origin.url("/two"), listing)
            self.assertNotIn(origin.url("/one"), listing)
            listing = call(p, "/cache", form={"show": "yes", "minsize": "10k"}, headers=cookie).body
            self.assertIn(origin.url("/two"), listing)
            self.assertNotIn(origin.url("/one"), listing)
            listing = call(p, "/cache", form={"show": "yes", "minsize": "10k", "allsizes": "on"}, headers=cookie).body
            self.assertIn(origin.url("/one"), listing)

            # Time windows: stored in this very minute is inside "now"; a
            # window that ends last year holds nothing.
            now = time.localtime(time.time() + 300)
            listing = call(p, "/cache", form={"show": "yes", "mbcurtime": "on", "abcurtime": "on"},
                           headers=cookie).body
            self.assertIn(origin.url("/one"), listing)
            listing = call(p, "/cache", form={"show": "yes", "mbyear": str(now.tm_year - 1)}, headers=cookie).body
            self.assertNotIn(origin.url("/one"), listing)
            listing = call(p, "/cache", form={"show": "yes", "mamonth": "December", "maday": "31",
                                              "mayear": str(now.tm_year + 1)}, headers=cookie).body
            self.assertNotIn(origin.url("/one"), listing)

            # Deletion: gone from the list and fetched from the origin again.
            call(p, "/cache", form={"show": "yes", "delete": "on", "pattern": "/one$"}, headers=cookie)
            listing = call(p, "/cache", form={"show": "yes"}, headers=cookie).body
            self.assertNotIn(origin.url("/one"), listing)
            self.assertIn(origin.url("/two"), listing)
            r = p.get(origin.url("/one"), ["Connection: close"])
            self.assertTrue(r.header("x-cache").startswith("MISS"))
            with origin.lock:
                self.assertEqual(sum(1 for q in origin.requests if q.path == "/one"), 2)

            # Odd form values never end the page; numbers at the ends of the
            # integer range are taken back into the calendar (a sanitizer
            # build stops the daemon at an overflow).
            extremes = [{"show": "yes", prefix + field: value}
                        for prefix in ("ma", "mb", "aa", "ab")
                        for field in ("year", "day", "hour", "minute")
                        for value in ("-2147483648", "2147483647", "-1", "99999999999")]
            for form in [{"show": "yes", "minsize": "lots"}, {"show": "yes", "pattern": "(["},
                         {"show": "yes", "mamonth": "Smarch", "maday": "x", "mbhour": "99"}] + extremes:
                self.assertIn("Cache information", call(p, "/cache", form=form, headers=cookie).body, form)
            page = call(p, "/cache?show=yes&mayear=-2147483648&mbhour=2147483647", headers=cookie).body
            self.assertIn('name="mayear" size="4" value="1900"', page)
            self.assertIn('name="mbhour" size="2" value="23"', page)
            self.assertIn(origin.url("/two"), page)

    @unittest.skipUnless(shutil.which("wrk"), "wrk is not installed")
    def test_deleting_objects_while_clients_read_them(self):
        """Bounded soak (about 60 s of load): clients keep reading 40 cached
        objects while the cache page deletes every unused one again and
        again. The daemon must stay up, answer every request, and (in a
        sanitizer build) report no fault."""
        objects = 40
        routes = {"/o%d" % i: response(200, (b"%d" % i) * 700, FRESH) for i in range(1, objects + 1)}
        with StandinOrigin(routes) as origin:
            p = self.start(config_with("admin", "s3cret"))
            for i in range(1, objects + 1):
                self.assertTrue(self.cached(p, origin.url("/o%d" % i)), i)
            cookie = self.login(p)
            lua = os.path.join(p.dir, "cycle.lua")
            with open(lua, "w") as f:
                f.write(CYCLE_LUA)
            stop = threading.Event()
            deletions = []

            def delete_all():
                deadline = time.monotonic() + 90
                while not stop.is_set() and time.monotonic() < deadline:
                    try:
                        page = call(p, "/cache", form={"show": "yes", "delete": "on", "allsizes": "on"},
                                    headers=cookie).body
                        deletions.append("Cache information" in page)
                    except OSError:
                        deletions.append(False)
                        time.sleep(0.2)

            deleter = threading.Thread(target=delete_all)
            deleter.start()
            try:
                out = subprocess.run(["wrk", "-t", "4", "-c", "32", "-d", "60s", "--timeout", "10s", "-s", lua,
                                      "http://127.0.0.1:%d/" % p.port], capture_output=True, timeout=150,
                                     env=dict(os.environ, ORIGIN=origin.url(""), OBJECTS=str(objects))).stdout.decode()
            finally:
                stop.set()
                deleter.join(30)
            self.assertFalse(deleter.is_alive())
            self.assertEqual(sanitizer_report(p.output()), "")
            self.assertIsNone(p.proc.poll(), p.output()[-3000:])
            self.assertIn("requests in", out)
            self.assertNotIn("Non-2xx or 3xx responses", out)
            self.assertGreater(len(deletions), 10)
            self.assertTrue(all(deletions))
            # still whole afterwards
            answer = p.get(origin.url("/o7"), ["Connection: close"])
            self.assertEqual((answer.status, answer.body), (200, b"7" * 700))

    def test_prefetch_page_and_ftp_statistics(self):
        with FtpServer({"f.txt": b"file"}) as f:
            # Without prefetch workers what is queued stays in the queue.
            p = self.start(config_with("admin", "s3cret").replace("<threads>2</threads>", "<threads>0</threads>"))
            cookie = self.login(p)
            self.assertEqual(p.get(f.url("/f.txt")).body, b"file")
            self.assertRegex(call(p, "/stats", headers=cookie).body, r"FTP requests")
            page = call(p, "/prefetch", form={"queue": "http://example.invalid/a\"b<c>"}, headers=cookie).body
            self.assertIn("Add URL to prefetch queue", page)
            call(p, "/prefetch", form={"queue": "not a url"}, headers=cookie)
            page = call(p, "/prefetch", headers=cookie).body
            queued = re.findall(r"<td>(http://example[^<]*)</td>", page)
            self.assertEqual(len(queued), 1, page)
            self.assertNotIn("b<c>", page)


if __name__ == "__main__":
    main()
