"""The header, MIME and cookie filters through the real daemon: what the
origin and the client see for each kind of rule, the block pages with their
statuses, and the log lines."""
import os
import re
import shutil
import tempfile
import unittest

from harness import CONFIG_XML, Proxy, main
from origin import StandinOrigin, response
from test_proxy import ask as ask_open, get

ALL_LOG = 0xFFFFFFF
PERMISSIONS = "interface,proxy,connect,bypass,urlcommands"


def config(sections, templates=""):
    """The shipped configuration with the given sections' contents replaced
    and URL commands permitted."""
    with open(CONFIG_XML) as f:
        text = f.read()
    start = text.index("<allow>")
    text = text[:start] + re.sub(r"<permissions>[^<]*</permissions>",
                                 "<permissions>%s</permissions>" % PERMISSIONS, text[start:], count=1)
    for name, inner in sections.items():
        text, n = re.subn(r"<%s>.*?</%s>" % (name, name), lambda m: "<%s>%s</%s>" % (name, inner, name),
                          text, count=1, flags=re.S)
        assert n == 1, name
    if templates:
        text = text.replace("<path></path>\n  </templates>", "<path></path>\n%s  </templates>" % templates)
    return text


def ask(proxy, data, head_request=False):
    """One exchange on a new connection, closed afterwards."""
    answer, reader = ask_open(proxy, data, head_request=head_request)
    reader.sock.close()
    return answer, None


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


# -- header filter -----------------------------------------------------------

def hrule(kind, name="", value="", direction="request", enabled=True):
    return ("<%s><enabled>%s</enabled><comment>%s %s</comment><profiles></profiles><name>%s</name>"
            "<value>%s</value><direction>%s</direction></%s>"
            % (kind, "true" if enabled else "false", kind, esc(name), esc(name), esc(value), direction, kind))


def header_section(rules, order="denyfirst", enabled=True):
    return "<enabled>%s</enabled><order>%s</order>%s" % ("true" if enabled else "false", order, "".join(rules))


ORIGIN_HEAD = [("X-Server-Secret", "s1"), ("X-Server-Other", "o1"), ("X-Resp-Value", "drop-me"),
               ("X-Secret", "server-side"), ("Content-Type", "text/plain")]
CLIENT_HEAD = ("X-Secret: s\r\nX-Other: o\r\nX-Value: drop-me\r\nX-Keep: k\r\nUser-Agent: curl/1\r\n"
               "Referer: http://elsewhere/\r\nX-Novalue:\r\nX-Blank: \r\nNoColonLine\r\n")


class HeaderFilterTest(unittest.TestCase):
    def setUp(self):
        self.origin = StandinOrigin({"*": response(200, b"body", ORIGIN_HEAD)}).__enter__()
        self.addCleanup(self.origin.__exit__, None, None, None)

    def exchange(self, proxy, url=None):
        answer, _ = ask(proxy, get(url or self.origin.url("/x"), CLIENT_HEAD))
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
        with Proxy(config({"header-filtering": header_section(rules)}), loglevel=ALL_LOG) as p:
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

    def test_allow_first_with_empty_allow_list_keeps_only_added_lines(self):
        rules = [hrule("add", name="X-Only", value="this", direction="request,response")]
        with Proxy(config({"header-filtering": header_section(rules, "allowfirst")}), loglevel=ALL_LOG) as p:
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
        with Proxy(config({"header-filtering": header_section(rules, enabled=False)}), loglevel=ALL_LOG) as p:
            seen, answer = self.exchange(p)
            self.assertEqual(seen.headers_named("X-Secret"), ["s"])
            self.assertEqual(seen.headers_named("X-Added"), [])
            self.assertEqual(seen.header("Referer"), "http://elsewhere/")
            self.assertEqual(answer.header("x-server-secret"), "s1")
            self.assertNotIn("removed: from", p.log())


# -- MIME filter ---------------------------------------------------------------

def mrule(kind, mime="", path="", host="", template=""):
    return ("<%s><enabled>true</enabled><comment>%s %s</comment><profiles></profiles><host>%s</host>"
            "<path>%s</path><mime>%s</mime><template>%s</template></%s>"
            % (kind, kind, esc(mime), esc(host), esc(path), esc(mime), template, kind))


def mime_section(rules, order="denyfirst", enabled=True, template=""):
    return "<enabled>%s</enabled><order>%s</order><template>%s</template>%s" % (
        "true" if enabled else "false", order, template, "".join(rules))


HOSTILE_TYPE = "text/x-<b>bold</b>"
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
        return ("    <rule><enabled>true</enabled><comment></comment><profiles></profiles><name>mimeblock</name>"
                "<file>%s</file><mime>text/html</mime><status>0</status><type>0</type><parse>true</parse></rule>\n"
                % self.page)

    def fetch(self, proxy, path, method="GET"):
        answer, _ = ask(proxy, get(self.origin.url(path), method=method), head_request=method == "HEAD")
        self.assertIsNotNone(answer, path)
        return answer

    def test_deny_rules_table(self):
        rules = [mrule("deny", mime="^application/x-msdownload", template="noaccess"),
                 mrule("deny", mime="^image/", path="^/blocked/"),
                 mrule("deny", mime="<b>", template="mimeblock"),
                 mrule("deny", mime="^image/", path="^/blocked/", template="noaccess")]
        conf = config({"mime-filtering": mime_section(rules)}, self.templates())
        cases = [
            # path, method, status, body part, log line (None: passes)
            ("/page.html", "GET", 200, b"html page", None),
            ("/file.exe", "GET", 200, b"Access denied",
             "blocked: mime-type application/x-msdownload from 127.0.0.1/file.exe"),
            ("/none", "GET", 200, b"no type", None),
            ("/image.png", "GET", 200, b"PNG", None),
            # the first of two matching deny rules decides: no template, so "blocked"
            ("/blocked/image.png", "GET", 200, b"Page Blocked", "blocked: mime-type image/png from 127.0.0.1/blocked"),
            ("/hostile", "GET", 200, ("filter=MiMe Filter type=%s" % esc(HOSTILE_TYPE)).encode(),
             "blocked: mime-type %s from 127.0.0.1/hostile" % HOSTILE_TYPE),
            ("/file.exe", "HEAD", 200, b"", None),
            ("/nothing", "GET", 204, b"", None),
        ]
        with Proxy(conf, loglevel=ALL_LOG) as p:
            for path, method, status, body, logline in cases:
                with self.subTest(path=path, method=method):
                    answer = self.fetch(p, path, method)
                    self.assertEqual(answer.status, status)
                    self.assertIn(body, answer.body)
                    if logline:
                        self.assertTrue(p.wait_log(logline), logline)
                        self.assertNotIn(b"<b>bold", answer.body)
            self.assertTrue(p.wait_log("TCP_DENIED", which="access"))
            access = p.log("access")
            self.assertIn("/file.exe", access)
            self.assertEqual(len([l for l in p.log().splitlines() if "blocked: mime-type" in l]), 3)
            extended = p.log("extended")
            self.assertIn("mime-filter", extended)

    def test_allow_first_with_empty_allow_list_blocks_every_body(self):
        conf = config({"mime-filtering": mime_section([], "allowfirst", template="mimeblock")}, self.templates())
        with Proxy(conf, loglevel=ALL_LOG) as p:
            answer = self.fetch(p, "/none")
            self.assertEqual(answer.status, 200)
            self.assertEqual(answer.body, b"filter=MiMe Filter type=(UNKNOWN)\n")
            self.assertTrue(p.wait_log("blocked: mime-type (none) from 127.0.0.1/none"))
            answer = self.fetch(p, "/page.html")
            self.assertIn(b"type=text/html; charset=utf-8", answer.body)
            # a response without a body is never examined
            self.assertEqual(self.fetch(p, "/nothing").status, 204)
            # the bypass letter "m"
            answer, _ = ask(p, get("http://xx--bypass[m].127.0.0.1:%d/page.html" % self.origin.port))
            self.assertEqual(answer.body, b"html page")

    def test_switched_off_and_allow_rules(self):
        off = config({"mime-filtering": mime_section([mrule("deny")], enabled=False)})
        with Proxy(off) as p:
            self.assertEqual(self.fetch(p, "/file.exe").body, b"MZ program")
        rules = [mrule("allow", mime="^text/html"), mrule("deny", path="page")]
        allow_first = config({"mime-filtering": mime_section(rules, "allowfirst")})
        with Proxy(allow_first) as p:
            # allowed, then denied by the deny rule
            self.assertIn(b"Page Blocked", self.fetch(p, "/page.html").body)
            self.assertIn(b"Page Blocked", self.fetch(p, "/image.png").body)
        deny_first = config({"mime-filtering": mime_section([mrule("deny", mime="^image/"),
                                                             mrule("allow", path="^/blocked/")])})
        with Proxy(deny_first) as p:
            self.assertEqual(self.fetch(p, "/blocked/image.png").body, b"PNG")
            self.assertIn(b"Page Blocked", self.fetch(p, "/image.png").body)

    def test_invalid_pattern_is_refused(self):
        # A rule whose pattern does not compile never acts, rather than
        # acting without that condition.
        rules = [mrule("deny", mime="^(image"), mrule("deny", mime="^application/", path="[z-a]")]
        with Proxy(config({"mime-filtering": mime_section(rules)}), loglevel=ALL_LOG) as p:
            self.assertEqual(self.fetch(p, "/image.png").body, b"PNG")
            self.assertEqual(self.fetch(p, "/file.exe").body, b"MZ program")
            log = p.log()
            self.assertIn('mime-filtering: deny rule "deny ^(image" refused', log)
            self.assertIn('mime-filtering: deny rule "deny ^application/" refused', log)


# -- cookie filter -------------------------------------------------------------

def crule(kind, direction="both", year="", domain="", path=""):
    return ("<%s><enabled>true</enabled><comment></comment><profiles></profiles>"
            "<year active=\"%s\">%s</year><month active=\"false\">january,december</month>"
            "<day active=\"false\">1,31</day><weekday active=\"false\">sunday,saturday</weekday>"
            "<hour active=\"false\">0,23</hour><minute active=\"false\">0,59</minute>"
            "<domain>%s</domain><path>%s</path><direction>%s</direction><timemode>false</timemode></%s>"
            % (kind, "true" if year else "false", year or "1970,9999", esc(domain), esc(path), direction, kind))


def cookie_section(rules, order="denyfirst", enabled=True):
    return "<enabled>%s</enabled><order>%s</order>%s" % ("true" if enabled else "false", order, "".join(rules))


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


class CookieFilterTest(unittest.TestCase):
    def setUp(self):
        head = [("Set-Cookie", c) for c in SET_COOKIES] + [("Content-Type", "text/plain")]
        self.origin = StandinOrigin({"*": response(200, b"ok", head)}).__enter__()
        self.addCleanup(self.origin.__exit__, None, None, None)

    def exchange(self, proxy, url=None):
        answer, _ = ask(proxy, get(url or self.origin.url("/c"), "Cookie: a=1; b=2\r\nCookie: c=3\r\n"))
        self.assertIsNotNone(answer)
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.body, b"ok")
        return self.origin.requests[-1].headers_named("Cookie"), [v for n, v in answer.headers if n == "set-cookie"]

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
                with Proxy(config({"cookies-filtering": cookie_section(rules, order)}), loglevel=ALL_LOG) as p:
                    origin_saw, client_saw = self.exchange(p)
                    self.assertEqual(origin_saw, sent)
                    # passed lines go on exactly as they arrived
                    self.assertEqual(client_saw, received)
                    for line in lines:
                        self.assertTrue(p.wait_log(line), line)
                    if "bad=5" in received:
                        self.assertIn("failed to parse cookie expiry time: not a date", p.log())

    def test_off_and_bypass(self):
        with Proxy(config({"cookies-filtering": cookie_section([], "allowfirst", enabled=False)})) as p:
            sent, received = self.exchange(p)
            self.assertEqual(sent, ["a=1; b=2", "c=3"])
            self.assertEqual(received, SET_COOKIES)
        with Proxy(config({"cookies-filtering": cookie_section([], "allowfirst")})) as p:
            sent, received = self.exchange(p, "http://xx--bypass[c].127.0.0.1:%d/c" % self.origin.port)
            self.assertEqual(sent, ["a=1; b=2", "c=3"])
            self.assertEqual(received, SET_COOKIES)


if __name__ == "__main__":
    main()
