"""URL filter, limits and redirection through the real binary: which requests
pass or are blocked, with which page, status and log lines; what the origin
and the client see when a URL is redirected."""
import datetime
import shutil
import tempfile
import time
import unittest

from client import request
from harness import Clock, Config, Proxy, main, wait_for
from peers import HELLO, StandinOrigin, hello_origin, response

PERMISSIONS = "interface,proxy,connect,urlcommands,bypass"


def config(permissions=PERMISSIONS):
    """The shipped configuration with the local client's permissions widened."""
    return Config().set("access/allow", 1, permissions=permissions)


def url_filtering(order="denyfirst", allow=(), deny=(), template="", enabled=True, conf=None):
    """A URL filter; allow and deny: the fields of each rule."""
    conf = (conf or config()).set("url-filtering", enabled=enabled, order=order, template=template)
    for fields in allow:
        conf.add("url-filtering/allow", **fields)
    for fields in deny:
        conf.add("url-filtering/deny", **fields)
    return conf


def redirect_rule(pattern, replacement, **fields):
    return dict(pattern=pattern, replacement=replacement, **fields)


def redirect(*rules, enabled=True):
    conf = config().set("redirect", enabled=enabled)
    for fields in rules:
        conf.add("redirect/rule", **fields)
    return conf


def limit_rule(hours=None, **fields):
    """A limit rule; hours (first, last) switches the hour range on."""
    if hours:
        fields.update(hour="%d,%d" % hours, active=("hour",))
    return fields


def limits(*rules, enabled=True):
    conf = config().set("limits", enabled=enabled)
    for fields in rules:
        conf.add("limits/limit", **fields)
    return conf


def next_local(hour):
    """Seconds from now to the next local time hour:30, at least an hour away
    (the half hour keeps the clock inside that hour however long the test
    takes)."""
    now = datetime.datetime.now()
    at = now.replace(hour=hour, minute=30, second=0, microsecond=0)
    while at - now < datetime.timedelta(hours=1):
        at += datetime.timedelta(days=1)
    return int(time.mktime(at.timetuple()) - time.time())


BLOCKED_PAGE = b"is blocked"


class UrlFilter(unittest.TestCase):
    def test_deny_first_table(self):
        deny = [
            dict(comment="never", host=".", enabled=False),
            dict(comment="ads", path="^/ads/"),
            dict(comment="blocked hosts", host="(^|\\.)blocked\\.test$"),
            dict(comment="second", host="(^|\\.)blocked\\.test$", template="nofile"),
        ]
        allow = [dict(comment="good one", host="^good\\.blocked\\.test$")]
        with hello_origin() as origin, Proxy(config=url_filtering(allow=allow, deny=deny)) as p:
            o = "127.0.0.1:%d" % origin.port
            long_label = "a" * 63
            cases = [
                # (request line target, status, body piece, logged "blocked:" text or None)
                ("http://%s/ok" % o, 200, HELLO, None),
                ("http://%s/ads/banner" % o, 403, BLOCKED_PAGE, "blocked: 127.0.0.1/ads/banner"),
                ("http://www.blocked.test/", 403, BLOCKED_PAGE, "blocked: www.blocked.test/"),
                ("http://WWW.Blocked.TEST/up", 403, BLOCKED_PAGE, "blocked: www.blocked.test/up"),
                ("http://www.blocked.test./dot", 403, BLOCKED_PAGE, "blocked: www.blocked.test./dot"),
                ("http://xn--bcher-kva.blocked.test/idn", 403, BLOCKED_PAGE, "blocked: xn--bcher-kva.blocked.test/idn"),
                ("http://%s.blocked.test/long" % long_label, 403, BLOCKED_PAGE, "blocked: %s.blocked.test/long" % long_label),
                # allowed by the allow rule: passes the filter, then cannot be resolved
                ("http://good.blocked.test/", 503, b"DNS Lookup", None),
                ("http://notblocked.test.invalid/", 503, b"DNS Lookup", None),
            ]
            for target, status, piece, line in cases:
                with self.subTest(target=target):
                    r = p.get(target, timeout=20)
                    self.assertEqual(status, r.status, r.body[:300])
                    self.assertIn(piece, r.body)
                    if line:
                        self.assertTrue(p.wait_log(line), line)
            self.assertEqual(["GET /ok HTTP/1.1"], origin.lines())
            # The block is recorded as denied, with the filter's name.
            self.assertTrue(p.wait_log("TCP_DENIED", "access"))
            self.assertTrue(p.wait_log("url-filter", "extended"))
            # A label of 300 characters: refused or blocked, never passed on.
            r = p.get("http://%s.blocked.test/" % ("b" * 300), timeout=20)
            self.assertIn(r.status, (403, 400, 414))
            if r.status == 403:
                self.assertIn(BLOCKED_PAGE, r.body)
            # CONNECT to a blocked host: 404 with the same page.
            r = p.ask(b"CONNECT www.blocked.test:443 HTTP/1.1\r\nHost: www.blocked.test:443\r\n\r\n", timeout=20)
            self.assertEqual(404, r.status)
            self.assertIn(BLOCKED_PAGE, r.body)
            # The page shows the URL as text, never as markup.
            r = p.get("http://www.blocked.test/<script>alert(1)</script>", timeout=20)
            self.assertEqual(403, r.status)
            self.assertNotIn(b"<script>alert", r.body)
            self.assertIn(b"&lt;script&gt;alert(1)&lt;/script&gt;", r.body)
            self.assertTrue(p.proc.poll() is None)

    def test_other_spellings_are_judged_as_sent(self):
        # The filter judges the target as it goes out: escapes of unreserved
        # characters decoded, dot segments removed, repeated slashes matched
        # as one, numeric hosts as their dotted quad.
        with hello_origin() as origin, Proxy(config=url_filtering(deny=[dict(comment="ads", path="^/ads/")])) as p:
            base = "http://127.0.0.1:%d" % origin.port
            for path in ("/%61ds/x", "/./ads/x", "//ads/x", "/z/../ads/x", "/%2E%2e/ads/x", "/a//../../ads/x"):
                with self.subTest(path=path):
                    r = p.get(base + path)
                    self.assertEqual(403, r.status)
                    self.assertIn(BLOCKED_PAGE, r.body)
            self.assertEqual([], origin.lines())
            # passing targets go out in the form that was judged; reserved
            # escapes and the query stay as written
            for path, sent in (("/b/./c/../%64%7e", "/b/d~"), ("/ads%2Fx", "/ads%2Fx"),
                               ("/q?x=/../ads/&y=%61", "/q?x=/../ads/&y=%61")):
                with self.subTest(path=path):
                    r = p.get(base + path)
                    self.assertEqual((200, HELLO), (r.status, r.body))
                    self.assertEqual("GET %s HTTP/1.1" % sent, origin.lines()[-1])
            # a transparent (origin-form) request is judged the same way
        conf = url_filtering(deny=[dict(comment="ads", path="^/ads/")], conf=config(PERMISSIONS + ",origin,transparent"))
        with hello_origin() as origin, Proxy(config=conf) as p:
            r = p.ask(("GET /%%61ds/../ads/x HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % origin.port).encode())
            self.assertEqual(403, r.status)
            self.assertEqual([], origin.lines())
        deny = [dict(comment="loopback by name", host="^127\\.0\\.0\\.1$")]
        with hello_origin() as origin, Proxy(config=url_filtering(deny=deny)) as p:
            for host in ("127.1", "2130706433", "0x7f.0.0.1", "0177.0.0.1", "127.0.1"):
                with self.subTest(host=host):
                    r = p.get("http://%s:%d/x" % (host, origin.port))
                    self.assertEqual(403, r.status)
                    self.assertIn(BLOCKED_PAGE, r.body)
                    self.assertTrue(p.wait_log("blocked: 127.0.0.1/x"))
            r = p.ask(b"CONNECT 2130706433:443 HTTP/1.1\r\n\r\n")
            self.assertEqual(404, r.status)
            self.assertIn(BLOCKED_PAGE, r.body)
            self.assertEqual([], origin.lines())
            r = p.get("http://localhost:%d/x" % origin.port)
            self.assertEqual((200, HELLO), (r.status, r.body))

    def test_refusal_statuses(self):
        # A refusal is never reported as a success: 403 unless the template
        # rule gives an error status of its own.
        deny = [dict(comment="plain", path="^/plain"), dict(comment="ok-rule", path="^/ok-rule", template="nofile"),
                dict(comment="gone", path="^/gone", template="noaccess"),
                dict(comment="missing", path="^/missing", template="nosuchtemplate")]
        conf = url_filtering(deny=deny)
        # built-in pages with a status of the rule's own
        conf.add("templates/rule", name="nofile", file="", status=200, type=0)
        conf.add("templates/rule", name="noaccess", file="", status=410, type=0)
        with hello_origin() as origin, Proxy(config=conf) as p, p.client() as c:
            for path, status, piece in (("/plain", 403, BLOCKED_PAGE), ("/ok-rule", 403, b"not found"),
                                        ("/gone", 410, b"Access denied"), ("/missing", 403, b"403 Forbidden")):
                with self.subTest(path=path):
                    r = c.ask(request(origin.url(path)))
                    self.assertEqual(status, r.status)
                    self.assertIn(piece, r.body)
            self.assertEqual([], origin.lines())

    def test_filter_command_and_bypass(self):
        deny = [dict(comment="Rule-for-blocked-hosts", host="(^|\\.)blocked\\.test$")]
        with hello_origin() as origin, Proxy(config=url_filtering(deny=deny)) as p:
            r = p.get("http://xx--filter.www.blocked.test/<b>")
            self.assertEqual(200, r.status)
            self.assertIn(b"URL filter match for www.blocked.test/&lt;b&gt;", r.body)
            self.assertIn(b"Rule-for-blocked-hosts", r.body)
            self.assertNotIn(BLOCKED_PAGE, r.body)
            r = p.get("http://xx--filter.127.0.0.1:%d/fine" % origin.port)
            self.assertEqual(200, r.status)
            self.assertIn(b">None<", r.body)
            self.assertEqual([], origin.lines())  # the page forwards nothing
            # Bypassing the URL filter lets the blocked host through (to DNS).
            r = p.get("http://xx--bypass[f].www.blocked.test/", timeout=20)
            self.assertEqual(503, r.status)
            r = p.get("http://xx--bypass[f-f].www.blocked.test/")
            self.assertIn(BLOCKED_PAGE, r.body)
        # Without the bypass permission the command changes nothing.
        with Proxy(config=url_filtering(deny=deny, conf=config("proxy,urlcommands"))) as p:
            r = p.get("http://xx--bypass[f].www.blocked.test/")
            self.assertIn(BLOCKED_PAGE, r.body)

    def test_allow_first_and_default_template(self):
        allow = [dict(comment="local", host="^127\\.0\\.0\\.1$")]
        deny = [dict(comment="secret", path="^/secret", template="nofile")]
        with hello_origin() as origin, \
                Proxy(config=url_filtering(order="allowfirst", allow=allow, deny=deny, template="noaccess")) as p:
            r = p.get(origin.url("/open"))
            self.assertEqual((200, HELLO), (r.status, r.body))
            r = p.get(origin.url("/secret/x"))
            self.assertEqual(403, r.status)
            self.assertIn(b"not found", r.body)  # the deny rule's template "nofile"
            r = p.get("http://localhost:%d/other" % origin.port)
            self.assertEqual(403, r.status)
            self.assertIn(b"Access denied", r.body)  # default rule: the section's template
            self.assertEqual(["GET /open HTTP/1.1"], origin.lines())
        # Empty allow list, no default template: everything gets "blocked".
        with hello_origin() as origin, Proxy(config=url_filtering(order="allowfirst")) as p:
            r = p.get(origin.url("/x"))
            self.assertEqual(403, r.status)
            self.assertIn(BLOCKED_PAGE, r.body)
        # Switched off: nothing is blocked.
        with hello_origin() as origin, Proxy(config=url_filtering(order="allowfirst", enabled=False)) as p:
            r = p.get(origin.url("/x"))
            self.assertEqual((200, HELLO), (r.status, r.body))

    def test_server_address_ranges(self):
        deny = [dict(comment="loopback servers", addresses="127.0.0.0-127.255.255.255")]
        with hello_origin() as origin, Proxy(config=url_filtering(deny=deny)) as p:
            for host in ("localhost", "127.0.0.1", "2130706433", "unresolvable.invalid"):
                with self.subTest(host=host):
                    r = p.get("http://%s:%d/x" % (host, origin.port), timeout=20)
                    self.assertEqual(403, r.status)
                    self.assertIn(BLOCKED_PAGE, r.body)
            self.assertEqual([], origin.lines())
        deny = [dict(comment="private", addresses="10.0.0.0-10.255.255.255")]
        with hello_origin() as origin, Proxy(config=url_filtering(deny=deny)) as p:
            r = p.get("http://localhost:%d/x" % origin.port)
            self.assertEqual((200, HELLO), (r.status, r.body))

    def test_invalid_patterns_are_refused(self):
        cases = [
            (url_filtering(deny=[dict(comment="bad", host="([a-z")]), "url-filtering", "host"),
            (url_filtering(allow=[dict(comment="bad", path="*oops")]), "url-filtering", "path"),
            (redirect(redirect_rule("(unclosed", "http://x/")), "redirect", "pattern"),
        ]
        for conf, section, field in cases:
            with self.subTest(section=section, field=field):
                self.assertRefused(conf, section, field)

    def assertRefused(self, conf, section, field):
        p = Proxy(config=conf)
        try:
            p.start(wait=False)
            p.proc.wait(20)
            self.assertEqual(1, p.proc.returncode)
            self.assertIn("flawed XML file, section %s" % section, p.output() + p.log())
            self.assertIn("%s must be a valid regular expression" % field, p.output() + p.log())
        finally:
            p.stop()
            shutil.rmtree(p.dir, ignore_errors=True)


class Redirection(unittest.TestCase):
    def test_answer_and_in_place(self):
        with StandinOrigin({"/real/page": response(body=b"real"), "/other": response(body=b"other"),
                            "/kept": response(body=b"kept")}) as origin:
            o = "127.0.0.1:%d" % origin.port
            rules = [
                redirect_rule("^http://old\\.test/(.*)", "http://%s/new/$1" % o, answer=True),
                redirect_rule("^http://old\\.test/(.*)", "http://never.test/", answer=True),
                redirect_rule("^http://moved\\.test/(.*)", "http://127.0.0.1/real/$1", port=origin.port),
                redirect_rule("^http://[^/]*/path-only$", "/other"),
                redirect_rule("^http://nowhere\\.test/", "http://127.0.0.1/", applies="location"),
                redirect_rule("^http://off\\.test/", "http://127.0.0.1/", enabled=False),
            ]
            with Proxy(config=redirect(*rules)) as p:
                r = p.get("http://old.test/page?q=1", timeout=20)
                self.assertEqual(302, r.status)
                self.assertEqual("http://%s/new/page?q=1" % o, r.header("location"))
                self.assertTrue(p.wait_log("sent 302 redirect for request for http://old.test/page?q=1 to "
                                           "http://%s/new/page?q=1" % o))
                # URL commands of the request go in front of the new host.
                r = p.get("http://xx--bypass[f].old.test/page", timeout=20)
                self.assertEqual(302, r.status)
                self.assertEqual("http://xx--bypass[f].%s/new/page" % o, r.header("location"))
                r = p.get("http://moved.test/page", timeout=20)
                self.assertEqual((200, b"real"), (r.status, r.body))
                self.assertEqual("/real/page", origin.requests[-1].target)
                self.assertEqual("127.0.0.1:%d" % origin.port, origin.requests[-1].header("Host"))
                self.assertTrue(p.wait_log("request for http://moved.test/page to http://127.0.0.1/real/page"))
                # The access log names the URL actually fetched.
                self.assertTrue(p.wait_log("/real/page", "access"))
                r = p.get("http://%s/path-only" % o, timeout=20)
                self.assertEqual((200, b"other"), (r.status, r.body))
                # Location-only and disabled rules leave requests alone.
                self.assertEqual(503, p.get("http://nowhere.test/", timeout=20).status)
                self.assertEqual(503, p.get("http://off.test/", timeout=20).status)
                # The bypass letter "r" switches redirection off.
                self.assertEqual(503, p.get("http://xx--bypass[r].old.test/page", timeout=20).status)
            # Switched off: nothing changes.
            with Proxy(config=redirect(*rules, enabled=False)) as p:
                self.assertEqual(503, p.get("http://old.test/page", timeout=20).status)

    def test_location_of_server_redirects(self):
        routes = {
            "/go": response(302, headers=[("Location", "http://internal.test/x")], reason="Found"),
            "/perm": response(301, headers=[("Location", "http://internal.test/y")], reason="Moved"),
            "/other": response(302, headers=[("Location", "http://elsewhere.test/z")], reason="Found"),
        }
        with StandinOrigin(routes) as origin:
            rules = [
                redirect_rule("^http://elsewhere\\.test/", "http://never.test/", applies="request"),
                redirect_rule("^http://internal\\.test/(.*)", "http://public.test/$1", applies="both"),
            ]
            with Proxy(config=redirect(*rules)) as p:
                for path, status, location in (("/go", 302, "http://public.test/x"),
                                               ("/perm", 301, "http://public.test/y"),
                                               ("/other", 302, "http://elsewhere.test/z")):
                    with self.subTest(path=path):
                        r = p.get(origin.url(path), timeout=20)
                        self.assertEqual(status, r.status)
                        self.assertEqual(location, r.header("location"))
                self.assertTrue(p.wait_log("302 redirect for http://internal.test/x to http://public.test/x"))

    def test_no_line_break_reaches_a_location_or_request_line(self):
        with StandinOrigin({}) as origin:
            o = "127.0.0.1:%d" % origin.port
            rules = [
                redirect_rule("^http://answer\\.test/(.*)", "http://%s/$1" % o, answer=True, coding="decode"),
                redirect_rule("^http://inplace\\.test/(.*)", "http://%s/$1" % o, coding="decode"),
            ]
            with Proxy(config=redirect(*rules)) as p:
                evil = "/a%0d%0aSet-Cookie:%20stolen=1%0d%0aX-Injected:%201"
                with p.client() as c:
                    c.send(request("http://answer.test" + evil, ["Connection: close"]))
                    raw = c.rest()
                head = raw.split(b"\r\n\r\n")[0]
                self.assertTrue(head.startswith(b"HTTP/1.1 302"), raw[:200])
                self.assertNotIn(b"\r\nSet-Cookie", head)
                location = [l for l in head.split(b"\r\n") if l.lower().startswith(b"location:")]
                self.assertEqual(1, len(location))
                self.assertIn(b"stolen=1", location[0])
                p.get("http://inplace.test" + evil, timeout=20)
                self.assertTrue(wait_for(lambda: origin.requests, 10))
                seen = origin.requests[-1]
                self.assertIsNone(seen.header("X-Injected"))
                self.assertIsNone(seen.header("Set-Cookie"))
                self.assertEqual([], origin.errors)


# A request is charged once it has been answered, so the requests that count
# on each other go one after the other on one connection.
class Limits(unittest.TestCase):
    def test_max_requests(self):
        with hello_origin() as origin, Proxy(config=limits(limit_rule(maxrequests=2, comment="two"))) as p, \
                p.client() as c:
            statuses = [c.ask(request(origin.url("/%d" % i))).status for i in range(4)]
            self.assertEqual([200, 200, 404, 404], statuses)
            r = c.ask(request(origin.url("/again")))
            self.assertIn(b"Request limit exceeded", r.body)
            self.assertEqual(2, len(origin.requests))
            self.assertTrue(p.wait_log('limit-section max-requests restrictions', "extended"))

    def test_time_window_under_a_faked_clock(self):
        conf = limits(limit_rule(type=1, hours=(9, 17)))
        for hour, blocked in ((10, True), (18, False)):
            directory = tempfile.mkdtemp(prefix="korvantel-clock-")
            self.addCleanup(shutil.rmtree, directory, True)
            clock = Clock(directory)
            clock.advance(next_local(hour))
            with self.subTest(hour=hour), hello_origin() as origin, Proxy(config=conf, env=clock.env()) as p:
                r = p.get(origin.url("/t"))
                if blocked:
                    self.assertEqual(404, r.status)
                    self.assertIn(BLOCKED_PAGE, r.body)
                    self.assertTrue(p.wait_log("blocked: time limit restrictions"))
                    self.assertTrue(p.wait_log("limit-section time limit restrictions", "extended"))
                else:
                    self.assertEqual((200, HELLO), (r.status, r.body))

    def test_download_quota(self):
        with hello_origin(b"x" * 600) as origin, Proxy(config=limits(limit_rule(download="1000"))) as p, \
                p.client() as c:
            r = c.ask(request(origin.url("/a")))
            self.assertEqual((200, 600), (r.status, len(r.body)))
            self.assertTrue(p.wait_log("transfer download limit: 1000"))
            r = c.ask(request(origin.url("/b")))
            self.assertEqual(403, r.status)
            self.assertIn(b"You have exceeded your download limit of 1000 bytes", r.body)
            # The limits page shows what is left; a request that was answered
            # by a page is not charged again with the previous bytes.
            r = c.ask(request("http://xx--limits.127.0.0.1:%d/<i>" % origin.port))
            self.assertEqual(200, r.status)
            self.assertIn(b"Transfer limits for 127.0.0.1/&lt;i&gt;", r.body)
            self.assertIn(b"<td>Download limit</td><td>400.0 B</td>", r.body)

    def test_long_escaped_urls_give_whole_pages(self):
        # Each "<" grows fourfold when escaped: the pages run far past 8 KiB.
        path = "/" + "<" * 3000
        escaped = b"127.0.0.1" + b"/" + b"&lt;" * 3000
        deny = [dict(comment="Rule-for-blocked-hosts", host="(^|\\.)blocked\\.test$")]
        conf = url_filtering(deny=deny, conf=limits(limit_rule(download="100000")))
        with hello_origin() as origin, Proxy(config=conf) as p, p.client() as c:
            for command, title in (("limits", b"Transfer limits for "), ("filter", b"URL filter match for ")):
                with self.subTest(command):
                    r = c.ask(request("http://xx--%s.127.0.0.1:%d%s" % (command, origin.port, path)))
                    self.assertEqual(200, r.status)
                    self.assertTrue(b"<title>" + title + escaped + b"</title>" in r.body, r.body[:300])
                    self.assertTrue(b">" + title + escaped + b"</td></tr>" in r.body, r.body[-300:])
                    self.assertTrue(r.body.rstrip().endswith(b"</html>"), r.body[-300:])

    def test_upload_quota_counts_each_body_once(self):
        routes = {"/up": response(body=b"ok"), "/get": response(body=b"got")}
        with StandinOrigin(routes) as origin, Proxy(config=limits(limit_rule(upload="100"))) as p:
            def post(c, size):
                return c.ask(request(origin.url("/up"), method="POST", body=b"u" * size))
            with p.client() as c:
                self.assertEqual(200, post(c, 80).status)
                # Requests without a body on the same connection charge nothing.
                for _ in range(2):
                    self.assertEqual(200, c.ask(request(origin.url("/get"))).status)
                self.assertEqual(200, post(c, 15).status)
                # 95 of 100 used: the next body is refused.
                r = post(c, 50)
                self.assertEqual(403, r.status)
                self.assertIn(b"Upload transfer limit exceeded", r.body)
            self.assertEqual(2, len([r for r in origin.requests if r.method == "POST"]))

    def test_smallest_rate_and_switched_off(self):
        conf = limits(limit_rule(rate=8000), limit_rule(rate=0), limit_rule(rate=4000))
        with hello_origin() as origin, Proxy(config=conf) as p:
            self.assertEqual(200, p.get(origin.url("/r")).status)
            self.assertTrue(p.wait_log("transfer download rate: 4000"))
        with hello_origin() as origin, Proxy(config=limits(limit_rule(maxrequests=1), enabled=False)) as p, \
                p.client() as c:
            statuses = [c.ask(request(origin.url("/%d" % i))).status for i in range(3)]
            self.assertEqual([200, 200, 200], statuses)
            r = p.get("http://xx--limits.127.0.0.1:%d/" % origin.port)
            self.assertEqual(2, r.body.count(b"4.0 GB"))


if __name__ == "__main__":
    main()
