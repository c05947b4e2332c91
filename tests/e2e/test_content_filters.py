"""The header, MIME and cookie filters through the real daemon: what the
origin and the client see for each kind of rule, the block pages with their
statuses, the "mime" and "cookies" pages, and the log lines."""
import html
import os
import re
import shutil
import tempfile
import unittest

from client import request
from harness import ALL_LOG, Config, Proxy, main
from peers import StandinOrigin, response

PERMISSIONS = "interface,proxy,connect,bypass,urlcommands"


def config():
    """The shipped configuration with URL commands permitted."""
    return Config().set("access/allow", 1, permissions=PERMISSIONS)


def section(name, rules, conf=None, **options):
    """A filter section with its options and rules [(list, fields)]."""
    conf = (conf or config()).set(name, **options)
    for kind, fields in rules:
        conf.add("%s/%s" % (name, kind), **fields)
    return conf


def esc(text):
    return html.escape(text, quote=False)


def refused(test, conf, section_name, field):
    """The daemon refuses conf at start with the section's configuration
    error naming the field."""
    p = Proxy(config=conf)
    try:
        p.start(wait=False)
        p.proc.wait(20)
        test.assertEqual(1, p.proc.returncode)
        said = p.output() + p.log()
        test.assertIn("flawed XML file, section %s" % section_name, said)
        test.assertIn("%s must be a valid regular expression" % field, said)
    finally:
        p.stop()
        shutil.rmtree(p.dir, ignore_errors=True)


# -- header filter -----------------------------------------------------------

def hrule(kind, name="", value="", direction="request", enabled=True):
    return kind, dict(comment="%s %s" % (kind, name), name=name, value=value, direction=direction,
                      enabled=enabled)


def header_section(rules, order="denyfirst", enabled=True):
    return section("header-filtering", rules, enabled=enabled, order=order)


ORIGIN_HEAD = [("X-Server-Secret", "s1"), ("X-Server-Other", "o1"), ("X-Resp-Value", "drop-me"),
               ("X-Secret", "server-side"), ("Content-Type", "text/plain")]
CLIENT_HEAD = ["X-Secret: s", "X-Other: o", "X-Value: drop-me", "X-Keep: k", "User-Agent: curl/1",
               "Referer: http://elsewhere/", "X-Novalue:", "X-Blank: ", "NoColonLine"]


class HeaderFilterTest(unittest.TestCase):
    def setUp(self):
        self.origin = StandinOrigin({"*": response(200, b"body", ORIGIN_HEAD)}).__enter__()
        self.addCleanup(self.origin.__exit__, None, None, None)

    def exchange(self, proxy, url=None):
        answer = proxy.ask(request(url or self.origin.url("/x"), CLIENT_HEAD))
        self.assertIsNotNone(answer)
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.body, b"body")
        return self.origin.requests[-1], answer

    def test_deny_first_drops_and_adds_both_ways(self):
        rules = [
            hrule("deny", name="^X-Secret$"),
            hrule("deny", name="^X-Server-Secret$", direction="response"),
            hrule("deny", value="drop-me", direction="request,response"),
            hrule("deny", name="^X-Keep$", enabled=False),
            hrule("deny", name="^User-Agent$"),
            hrule("deny", name="^Referer$"),
            hrule("deny", name="^X-Blank$", value="^$"),
            hrule("add", name="X-Added", value="yes"),
            hrule("add", name="User-Agent", value="Korvantel-Test"),
            hrule("add", name="X-Twice", value="1"),
            hrule("add", name="X-Twice", value="2"),
            hrule("add", name="X-Empty", value=""),
            hrule("add", name="X-Resp-Added", value="1", direction="response"),
        ]
        with Proxy(config=header_section(rules), loglevel=ALL_LOG) as p:
            seen, answer = self.exchange(p)
            # what the origin saw
            for name, values in [("X-Secret", []), ("X-Other", ["o"]), ("X-Value", []), ("X-Keep", ["k"]),
                                 ("X-Added", ["yes"]), ("X-Twice", ["1", "2"]), ("X-Empty", []),
                                 ("X-Resp-Added", []), ("User-Agent", ["Korvantel-Test"]), ("Referer", []),
                                 ("X-Blank", []), ("X-Novalue", []), ("NoColonLine", [])]:
                self.assertEqual(seen.headers_named(name), values, name)
            self.assertEqual(seen.header("Host"), "127.0.0.1:%d" % self.origin.port)
            # what the client saw
            for name, value in [("x-server-secret", None), ("x-server-other", "o1"), ("x-resp-value", None),
                                ("x-secret", "server-side"), ("x-resp-added", "1"), ("x-added", None),
                                ("content-type", "text/plain"), ("content-length", "4")]:
                self.assertEqual(answer.header(name), value, name)
            log = p.log()
            for line in ["removed: from client: X-Secret: s", "removed: from client: X-Value: drop-me",
                         "removed: from client: User-Agent: curl/1", "removed: from client: X-Blank: ",
                         "added: to client: X-Added: yes", "added: to client: X-Twice: 2",
                         "removed: from server: X-Server-Secret: s1", "removed: from server: X-Resp-Value: drop-me",
                         "added: to server: X-Resp-Added: 1"]:
                self.assertIn(line, log)
            self.assertNotIn("X-Keep: k", log)
            self.assertNotIn("X-Empty", log)

            # bypass "h": the filter stays out of this request
            seen, answer = self.exchange(p, "http://xx--bypass[h].127.0.0.1:%d/y" % self.origin.port)
            self.assertEqual(seen.path, "/y")
            self.assertEqual(seen.headers_named("X-Secret"), ["s"])
            self.assertEqual(seen.headers_named("X-Added"), [])
            self.assertEqual(seen.header("User-Agent"), "curl/1")
            self.assertEqual(answer.header("x-server-secret"), "s1")

    def test_refused_headers_kept_in_fields_stay_out(self):
        # Headers the proxy keeps in fields of their own are written from
        # those fields: a refused one must not go out all the same. The
        # body's coding and type stay, or the body could not be read.
        head = [("Cache-Control", "max-age=5"), ("Expires", "Thu, 01 Jan 2037 00:00:00 GMT"),
                ("Last-Modified", "Thu, 01 Jan 2015 00:00:00 GMT"), ("WWW-Authenticate", "Basic realm=x"),
                ("Location", "http://elsewhere/"), ("Content-Encoding", "identity"), ("Content-Type", "text/plain")]
        with StandinOrigin({"*": response(200, b"body", head)}) as origin:
            names = ["Authorization", "Range", "Accept-Encoding", "If-Modified-Since"]
            rules = [hrule("deny", name="^%s$" % n) for n in names]
            rules += [hrule("deny", name="^%s$" % n, direction="response")
                      for n in ["Cache-Control", "Expires", "Last-Modified", "WWW-Authenticate", "Location",
                                "Content-Encoding", "Content-Type"]]
            sent = ["Authorization: Basic dTpw", "Range: bytes=0-1", "Accept-Encoding: identity",
                    "If-Modified-Since: Thu, 01 Jan 2015 00:00:00 GMT", "X-Other: o"]
            with Proxy(config=header_section(rules), loglevel=ALL_LOG) as p:
                answer = p.ask(request(origin.url("/x"), sent))
                self.assertIsNotNone(answer)
                seen = origin.requests[-1]
                for name in names:
                    self.assertEqual(seen.headers_named(name), [], name)
                self.assertEqual(seen.headers_named("X-Other"), ["o"])
                for name in ["cache-control", "expires", "last-modified", "www-authenticate", "location"]:
                    self.assertIsNone(answer.header(name), name)
                self.assertEqual(answer.header("content-encoding"), "identity")
                self.assertEqual(answer.header("content-type"), "text/plain")
                log = p.log()
                self.assertIn("removed: from client: Authorization: Basic dTpw", log)
                self.assertIn("removed: from server: Location: http://elsewhere/", log)

    def test_underscore_spelling_is_the_same_header(self):
        # Servers may read X_Secret as X-Secret: a rule naming one removes both.
        sent = ["X-Secret: a", "X_Secret: b", "x_secret: c", "X_Other: o"]
        with Proxy(config=header_section([hrule("deny", name="^X-Secret$")]), loglevel=ALL_LOG) as p:
            answer = p.ask(request(self.origin.url("/x"), sent))
            self.assertEqual(answer.status, 200)
            seen = self.origin.requests[-1]
            names = [n for n, _ in seen.headers]
            for gone in ("X-Secret", "X_Secret", "x_secret"):
                self.assertNotIn(gone, names)
            self.assertEqual(seen.headers_named("X_Other"), ["o"])
            self.assertIn("removed: from client: X_Secret: b", p.log())

    def test_allow_first_with_empty_allow_list_keeps_only_added_lines(self):
        rules = [hrule("add", name="X-Only", value="this", direction="request,response")]
        with Proxy(config=header_section(rules, "allowfirst"), loglevel=ALL_LOG) as p:
            seen, answer = self.exchange(p)
            names = [n.lower() for n, _ in seen.headers]
            for gone in ["x-secret", "x-other", "x-value", "x-keep", "user-agent", "referer"]:
                self.assertNotIn(gone, names)
            self.assertEqual(seen.headers_named("X-Only"), ["this"])
            self.assertIn("host", names)
            self.assertEqual(answer.header("x-server-other"), None)
            self.assertEqual(answer.header("x-only"), "this")
            self.assertEqual(answer.header("content-type"), "text/plain")
            log = p.log()
            self.assertIn("removed: from client: X-Other: o", log)
            self.assertIn("removed: from server: X-Server-Other: o1", log)

    def test_switched_off_passes_everything(self):
        rules = [hrule("deny", name=".", direction="request,response"), hrule("add", name="X-Added", value="1")]
        with Proxy(config=header_section(rules, enabled=False), loglevel=ALL_LOG) as p:
            seen, answer = self.exchange(p)
            self.assertEqual(seen.headers_named("X-Secret"), ["s"])
            self.assertEqual(seen.headers_named("X-Added"), [])
            self.assertEqual(seen.header("Referer"), "http://elsewhere/")
            self.assertEqual(answer.header("x-server-secret"), "s1")
            self.assertNotIn("removed: from", p.log())

    def test_added_lines_are_not_patterns(self):
        # Only the allow and deny lists hold patterns: an added value may
        # hold any text.
        rules = [hrule("deny", name="^X-Secret$"), hrule("add", name="X-Bracket", value="[unclosed (")]
        with Proxy(config=header_section(rules)) as p:
            seen, _ = self.exchange(p)
            self.assertEqual(seen.headers_named("X-Bracket"), ["[unclosed ("])
            self.assertEqual(seen.headers_named("X-Secret"), [])

    def test_invalid_patterns_are_refused(self):
        cases = [
            # list, field, pattern
            ("deny", "name", "^X-(Secret"),
            ("deny", "value", "[z-a]"),
            ("allow", "name", "*oops"),
            ("allow", "value", "(?<bad"),
        ]
        for kind, field, pattern in cases:
            with self.subTest(kind=kind, field=field):
                fields = dict(comment="bad", direction="request,response")
                fields[field] = pattern
                refused(self, header_section([(kind, fields)]), "header-filtering", field)


# -- MIME filter ---------------------------------------------------------------

def mrule(kind, mime="", path="", host="", template=""):
    return kind, dict(comment="%s %s" % (kind, mime), host=host, path=path, mime=mime, template=template)


def mime_section(rules, order="denyfirst", enabled=True, template="", conf=None):
    return section("mime-filtering", rules, conf, enabled=enabled, order=order, template=template)


HOSTILE_TYPE = "text/x-<script>alert(1)</script>&x"
MIME_ROUTES = {
    "/page.html": response(200, b"html page", [("Content-Type", "text/html; charset=utf-8")]),
    "/file.exe": lambda request: (response(200, b"MZ program", [("Content-Type", "application/x-msdownload")])
                                  if request.method != "HEAD" else
                                  b"HTTP/1.1 200 OK\r\nContent-Type: application/x-msdownload\r\n"
                                  b"Content-Length: 10\r\n\r\n"),
    "/none": response(200, b"no type"),
    "/image.png": response(200, b"PNG", [("Content-Type", "image/png")]),
    "/blocked/image.png": response(200, b"PNG", [("Content-Type", "image/png")]),
    "/hostile": response(200, b"hostile", [("Content-Type", HOSTILE_TYPE)]),
    "/nothing": response(204, b"", [("Content-Type", "application/x-msdownload")], length=False),
}


class MimeFilterTest(unittest.TestCase):
    def setUp(self):
        self.origin = StandinOrigin(MIME_ROUTES).__enter__()
        self.addCleanup(self.origin.__exit__, None, None, None)
        self.dir = tempfile.mkdtemp(prefix="korvantel-mime-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.page = os.path.join(self.dir, "mimeblock.html")
        with open(self.page, "w") as f:
            f.write("filter=@FILTER@ type=@MIME@\n")

    def templates(self):
        """The configuration with the template "mimeblock" (an HTML page)."""
        return config().add("templates/rule", name="mimeblock", file=self.page, mime="text/html", status=0,
                            type=0, parse=True)

    def fetch(self, proxy, path, method="GET"):
        answer = proxy.ask(request(self.origin.url(path), method=method), head_request=method == "HEAD")
        self.assertIsNotNone(answer, path)
        return answer

    def test_deny_rules_table(self):
        rules = [mrule("deny", mime="^application/x-msdownload", template="noaccess"),
                 mrule("deny", mime="^image/", path="^/blocked/"),
                 mrule("deny", mime="<script>", template="mimeblock"),
                 mrule("deny", mime="^image/", path="^/blocked/", template="noaccess")]
        conf = mime_section(rules, conf=self.templates())
        cases = [
            # path, method, status, body part, log line (None: passes)
            ("/page.html", "GET", 200, b"html page", None),
            ("/file.exe", "GET", 403, b"Access denied",
             "blocked: mime-type application/x-msdownload from 127.0.0.1/file.exe"),
            ("/none", "GET", 200, b"no type", None),
            ("/image.png", "GET", 200, b"PNG", None),
            # the first of two matching deny rules decides: no template, so "blocked"
            ("/blocked/image.png", "GET", 403, b"Page Blocked", "blocked: mime-type image/png from 127.0.0.1/blocked"),
            # the type is escaped exactly once on the page
            ("/hostile", "GET", 403, ("filter=MiMe Filter type=%s\n" % esc(HOSTILE_TYPE)).encode(),
             "blocked: mime-type %s from 127.0.0.1/hostile" % HOSTILE_TYPE),
            ("/file.exe", "HEAD", 200, b"", None),
            ("/nothing", "GET", 204, b"", None),
        ]
        with Proxy(config=conf, loglevel=ALL_LOG) as p:
            for path, method, status, body, logline in cases:
                with self.subTest(path=path, method=method):
                    answer = self.fetch(p, path, method)
                    self.assertEqual(answer.status, status)
                    self.assertIn(body, answer.body)
                    if logline:
                        self.assertTrue(p.wait_log(logline), logline)
                        self.assertNotIn(b"<script>alert", answer.body)
                        self.assertNotIn(b"&amp;lt;", answer.body)
            self.assertTrue(p.wait_log("TCP_DENIED", which="access"))
            access = p.log("access")
            self.assertIn("/file.exe", access)
            self.assertEqual(len([l for l in p.log().splitlines() if "blocked: mime-type" in l]), 3)
            extended = p.log("extended")
            self.assertIn("mime-filter", extended)

    def test_allow_first_with_empty_allow_list_blocks_every_body(self):
        conf = mime_section([], "allowfirst", template="mimeblock", conf=self.templates())
        with Proxy(config=conf, loglevel=ALL_LOG) as p:
            answer = self.fetch(p, "/none")
            self.assertEqual(answer.status, 403)
            self.assertEqual(answer.body, b"filter=MiMe Filter type=(UNKNOWN)\n")
            self.assertTrue(p.wait_log("blocked: mime-type (none) from 127.0.0.1/none"))
            answer = self.fetch(p, "/page.html")
            self.assertIn(b"type=text/html; charset=utf-8", answer.body)
            # a response without a body is never examined
            self.assertEqual(self.fetch(p, "/nothing").status, 204)
            # the bypass letter "m"
            answer = p.get("http://xx--bypass[m].127.0.0.1:%d/page.html" % self.origin.port)
            self.assertEqual(answer.body, b"html page")

    def test_missing_template_still_answers(self):
        # A block page whose template exists nowhere: the kept-alive client
        # gets a complete answer at once, and the next pipelined request its
        # own answer.
        conf = mime_section([mrule("deny", mime="^application/x-msdownload", template="nosuchpage")])
        with Proxy(config=conf) as p, p.client(timeout=5) as c:
            c.send(request(self.origin.url("/file.exe")) + request(self.origin.url("/image.png")))
            first = c.response()
            self.assertEqual((403, b"403 Forbidden\n"), (first.status, first.body))
            second = c.response()
            self.assertEqual((200, b"PNG"), (second.status, second.body))

    def test_switched_off_and_allow_rules(self):
        with Proxy(config=mime_section([mrule("deny")], enabled=False)) as p:
            self.assertEqual(self.fetch(p, "/file.exe").body, b"MZ program")
        rules = [mrule("allow", mime="^text/html"), mrule("deny", path="page")]
        with Proxy(config=mime_section(rules, "allowfirst")) as p:
            # allowed, then denied by the deny rule
            self.assertIn(b"Page Blocked", self.fetch(p, "/page.html").body)
            self.assertIn(b"Page Blocked", self.fetch(p, "/image.png").body)
        deny_first = mime_section([mrule("deny", mime="^image/"), mrule("allow", path="^/blocked/")])
        with Proxy(config=deny_first) as p:
            self.assertEqual(self.fetch(p, "/blocked/image.png").body, b"PNG")
            self.assertIn(b"Page Blocked", self.fetch(p, "/image.png").body)

    def test_invalid_patterns_are_refused(self):
        # A rule whose pattern does not compile would otherwise act without
        # that condition (or never act): the configuration is refused.
        cases = [
            ("deny", "mime", "^(image"),
            ("deny", "path", "[z-a]"),
            ("allow", "host", "*oops"),
        ]
        for kind, field, pattern in cases:
            with self.subTest(kind=kind, field=field):
                rule = mrule(kind, mime="^application/")
                rule[1][field] = pattern
                refused(self, mime_section([rule]), "mime-filtering", field)

    def test_mime_page(self):
        rules = [mrule("deny", mime="^application/x-msdownload", template="noaccess"),
                 mrule("allow", path="^/blocked/")]
        base = "http://xx--mime.127.0.0.1:%d" % self.origin.port
        with Proxy(config=mime_section(rules), loglevel=ALL_LOG) as p:
            cases = [
                # path, what the page shows
                ("/file.exe", b"deny ^application/x-msdownload"),
                ("/page.html", b">None<"),
                ("/none", b">None<"),
            ]
            for path, shown in cases:
                with self.subTest(path=path):
                    r = p.get(base + path)
                    self.assertEqual(200, r.status)
                    self.assertEqual("text/html", r.header("content-type"))
                    self.assertIn(("MIME filter match for 127.0.0.1%s</td>" % path).encode(), r.body)
                    self.assertIn(shown, r.body)
                    # the page instead of the response, never the block page
                    self.assertNotIn(b"MZ program", r.body)
                    self.assertNotIn(b"Access denied", r.body)
            self.assertEqual("/none", self.origin.requests[-1].path)
            self.assertNotIn("blocked: mime-type", p.log())
            # what the request carries is shown as text
            r = p.get(base + "/file.exe?<script>x</script>")
            self.assertIn(b"MIME filter match for 127.0.0.1/file.exe?&lt;script&gt;x&lt;/script&gt;", r.body)
            self.assertNotIn(b"<script>x", r.body)
            # bypass "m": nothing decides
            r = p.get("http://xx--bypass[m].xx--mime.127.0.0.1:%d/file.exe" % self.origin.port)
            self.assertIn(b">None<", r.body)
        # the default rule decides when no allow rule admits the response
        with Proxy(config=mime_section([], "allowfirst")) as p:
            r = p.get(base + "/page.html")
            self.assertEqual(200, r.status)
            self.assertIn(b"MIME filter match for 127.0.0.1/page.html", r.body)
            self.assertNotIn(b">None<", r.body)
            self.assertNotIn(b"html page", r.body)
        # without the URL command permission the page is not shown
        with Proxy(config=mime_section(rules, conf=Config())) as p:
            r = p.get(base + "/file.exe")
            self.assertIn(b"Access denied", r.body)


# -- cookie filter -------------------------------------------------------------

def crule(kind, direction="both", year="", domain="", path=""):
    fields = dict(domain=domain, path=path, direction=direction)
    if year:
        fields.update(year=year, active=("year",))
    return kind, fields


def cookie_section(rules, order="denyfirst", enabled=True):
    return section("cookies-filtering", rules, enabled=enabled, order=order)


BIG = "v" * 2048
SET_COOKIES = [
    "keep=1; path=/",
    "track=2; domain=.ads.example; path=/",
    "old=3; expires=Sat, 01-Jan-05 10:00:00 GMT",
    "flag=4; Secure; HttpOnly",
    "bad=5; expires=not a date",
    "noequals",
    "=emptyname",
    "big=" + BIG,
]
SENT_COOKIES = ["Cookie: a=1; b=2", "Cookie: c=3"]


class CookieFilterTest(unittest.TestCase):
    def setUp(self):
        head = [("Set-Cookie", c) for c in SET_COOKIES] + [("Content-Type", "text/plain")]
        self.origin = StandinOrigin({"*": response(200, b"ok", head)}).__enter__()
        self.addCleanup(self.origin.__exit__, None, None, None)

    def exchange(self, proxy, url=None):
        answer = proxy.ask(request(url or self.origin.url("/c"), SENT_COOKIES))
        self.assertIsNotNone(answer)
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.body, b"ok")
        return self.origin.requests[-1].headers_named("Cookie"), answer.all("set-cookie")

    def test_rule_kinds(self):
        everything = ["a=1; b=2", "c=3"]
        cases = [
            # rules, order, cookies the origin sees, Set-Cookie values the client sees, log lines
            ("received by domain and by expiry year",
             [crule("deny", "received", domain=r"\.ads\."), crule("deny", "received", year="2000,2010")],
             "denyfirst", everything, [c for c in SET_COOKIES if not c.startswith(("track", "old"))],
             ["blocked: incoming from 127.0.0.1"]),
            ("sent cookies refused", [crule("deny", "sent", domain="never-consulted")], "denyfirst", [],
             SET_COOKIES, ["blocked: outgoing to 127.0.0.1"]),
            ("allow first, nothing allowed", [], "allowfirst", [], [],
             ["blocked: outgoing to 127.0.0.1", "blocked: incoming from 127.0.0.1"]),
            ("allow first, allowed by path", [crule("allow", "received", path="^/$"), crule("allow", "sent")],
             "allowfirst", everything, ["keep=1; path=/", "track=2; domain=.ads.example; path=/"], []),
        ]
        for what, rules, order, sent, received, lines in cases:
            with self.subTest(what):
                with Proxy(config=cookie_section(rules, order), loglevel=ALL_LOG) as p:
                    origin_saw, client_saw = self.exchange(p)
                    self.assertEqual(origin_saw, sent)
                    # passed lines go on exactly as they arrived
                    self.assertEqual(client_saw, received)
                    for line in lines:
                        self.assertTrue(p.wait_log(line), line)
                    if "bad=5" in received:
                        self.assertIn("failed to parse cookie expiry time: not a date", p.log())

    def test_off_and_bypass(self):
        with Proxy(config=cookie_section([], "allowfirst", enabled=False)) as p:
            sent, received = self.exchange(p)
            self.assertEqual(sent, ["a=1; b=2", "c=3"])
            self.assertEqual(received, SET_COOKIES)
        with Proxy(config=cookie_section([], "allowfirst")) as p:
            sent, received = self.exchange(p, "http://xx--bypass[c].127.0.0.1:%d/c" % self.origin.port)
            self.assertEqual(sent, ["a=1; b=2", "c=3"])
            self.assertEqual(received, SET_COOKIES)

    def test_invalid_patterns_are_refused(self):
        for kind, field in (("deny", "domain"), ("allow", "path")):
            with self.subTest(kind=kind, field=field):
                rule = crule(kind, "received")
                rule[1][field] = "(unclosed"
                refused(self, cookie_section([rule]), "cookies-filtering", field)

    def test_cookies_page_with_long_escaped_values(self):
        # Each "<" is written as four characters: rows far past 8 KiB.
        value = "<" * 3000
        with StandinOrigin({"*": response(200, b"origin body", [("Set-Cookie", "big=" + value)])}) as origin, \
                Proxy(config=cookie_section([], "allowfirst")) as p:
            r = p.ask(request("http://xx--cookies.127.0.0.1:%d/c" % origin.port, ["Cookie: sent=" + value]))
            self.assertEqual(200, r.status)
            # both cookies whole: every escaped character, each row closed
            self.assertEqual(6000, r.body.count(b"&lt;"), r.body[-300:])
            self.assertEqual(2, len(re.findall(rb"<td>big</td><td>(?:&lt;|<br>)+</td></tr>|"
                                               rb"<td>sent</td><td>(?:&lt;|<br>)+</td></tr>", r.body)))
            self.assertTrue(r.body.rstrip().endswith(b"</html>"), r.body[-300:])

    def test_cookies_page(self):
        received = SET_COOKIES + ["evil=<img src=x>; domain=<b>.test; path=/<i>"]
        head = [("Set-Cookie", c) for c in received] + [("Content-Type", "text/plain")]
        sent = ["Cookie: a=1; b=2", "Cookie: $Version=1; c=3; $Path=/p", "Cookie: h=<script>x</script>",
                "cookie: lower=1"]
        with StandinOrigin({"*": response(200, b"origin body", head)}) as origin, \
                Proxy(config=cookie_section([], "allowfirst"), loglevel=ALL_LOG) as p:
            r = p.ask(request("http://xx--cookies.127.0.0.1:%d/c<i>" % origin.port, sent))
            self.assertEqual(200, r.status)
            self.assertEqual("text/html", r.header("content-type"))
            self.assertEqual([], r.all("set-cookie"))
            self.assertNotIn(b"origin body", r.body)
            self.assertIn(b"<title>Cookies for 127.0.0.1/c&lt;i&gt;</title>", r.body)
            # every cookie as it arrived, whatever the filter does with it
            self.assertEqual([], origin.requests[-1].headers_named("Cookie"))
            self.assertEqual(3, r.body.count(b">Sent cookie<"))
            self.assertEqual(len(received), r.body.count(b">Received cookie<"))
            for row in [("a", "1"), ("b", "2"), ("c", "3"), ("h", "&lt;script&gt;x&lt;/script&gt;"),
                        ("keep", "1"), ("Path", "/"), ("Domain", ".ads.example"),
                        ("Expires", "Sat, 01-Jan-2005 10:00:00 GMT"), ("flag", "4"), ("bad", "5"),
                        ("expires", "not a date"), ("evil", "&lt;img src=x&gt;"), ("Domain", "&lt;b&gt;.test"),
                        ("Path", "/&lt;i&gt;")]:
                self.assertIn(("<tr><td>%s</td><td>%s</td></tr>" % row).encode(), r.body)
            self.assertIn(b"<tr><td>big</td><td>vvvv", r.body)
            self.assertNotIn(b"lower", r.body)
            self.assertNotIn(b"/p<", r.body)
            for raw in (b"<script>x", b"<img", b"<b>.test", b"<i>"):
                self.assertNotIn(raw, r.body)
            self.assertTrue(r.body.endswith(b"</table></body></html>\n"))


if __name__ == "__main__":
    main()
