"""URL filter, limits and redirection through the real binary: which requests
pass or are blocked, with which page, status and log lines; what the origin
and the client see when a URL is redirected."""
import os
import re
import socket
import subprocess
import unittest

from harness import (BINARY, CONFIG_XML, Proxy, SimpleOrigin, get_request, main, read_all,
                     read_response, wait_for)
from origin import StandinOrigin, response

FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"


def config(url_filtering=None, redirect=None, limits=None, permissions="interface,proxy,connect,urlcommands,bypass"):
    """The shipped configuration with some of its filter sections replaced and
    the local client's permissions widened."""
    with open(CONFIG_XML) as f:
        text = f.read()
    text = re.sub(r"<permissions>[^<]*</permissions>", "<permissions>%s</permissions>" % permissions, text,
                  count=1)
    for name, section in (("url-filtering", url_filtering), ("redirect", redirect), ("limits", limits)):
        if section is not None:
            text = re.sub(r"<%s>.*?</%s>" % (name, name), section, text, count=1, flags=re.S)
    return text


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def filter_rule(element, comment="", host="", path="", addresses="", template="", enabled=True, profiles=""):
    return ("<%s><enabled>%s</enabled><comment>%s</comment><profiles>%s</profiles><host>%s</host>"
            "<path>%s</path><addresses>%s</addresses><template>%s</template></%s>"
            % (element, "true" if enabled else "false", comment, profiles, esc(host), esc(path), addresses,
               template, element))


def url_filtering(order="denyfirst", allow=(), deny=(), template="", enabled=True):
    return ("<url-filtering><enabled>%s</enabled><order>%s</order><template>%s</template>%s%s</url-filtering>"
            % ("true" if enabled else "false", order, template,
               "".join(filter_rule("allow", **a) for a in allow), "".join(filter_rule("deny", **d) for d in deny)))


def redirect_rule(pattern, replacement, port=-1, answer=False, coding="", applies="request", enabled=True):
    return ("<rule><enabled>%s</enabled><comment></comment><profiles></profiles><pattern>%s</pattern>"
            "<replacement>%s</replacement><port>%d</port><answer>%s</answer><coding>%s</coding>"
            "<applies>%s</applies></rule>"
            % ("true" if enabled else "false", esc(pattern), esc(replacement), port,
               "true" if answer else "false", coding, applies))


def redirect(*rules, enabled=True):
    return "<redirect><enabled>%s</enabled>%s</redirect>" % ("true" if enabled else "false", "".join(rules))


def limit_rule(type=0, template="", hours=None, download="0", upload="0", maxrequests=0, rate=0, flags="",
               comment=""):
    hour = ('<hour active="true">%d,%d</hour>' % hours) if hours else '<hour active="false">0,23</hour>'
    return ("<limit><enabled>true</enabled><comment>%s</comment><profiles></profiles><type>%d</type>"
            "<template>%s</template><month active=\"false\">january,december</month>"
            "<day active=\"false\">1,31</day><weekday active=\"false\">sunday,saturday</weekday>%s"
            "<minute active=\"false\">0,59</minute><download>%s</download><upload>%s</upload>"
            "<maxrequests>%d</maxrequests><rate>%d</rate><timemode>true</timemode><flags>%s</flags></limit>"
            % (comment, type, template, hour, download, upload, maxrequests, rate, flags))


def limits(*rules, enabled=True):
    return "<limits><enabled>%s</enabled>%s</limits>" % ("true" if enabled else "false", "".join(rules))


def ask(proxy, data, timeout=20):
    """One request on its own connection: (status, headers, body)."""
    with proxy.connect(timeout) as s:
        s.sendall(data)
        return read_response(s, timeout)


def sanitizer_runtimes():
    try:
        out = subprocess.run(["ldd", BINARY], capture_output=True, text=True, timeout=20).stdout
    except (OSError, subprocess.SubprocessError):
        return []
    return [line.split("=>")[1].split()[0] for line in out.splitlines()
            if "=>" in line and re.search(r"lib(asan|ubsan)\.so", line)]


def faked(at):
    """Environment running the daemon at the local time `at`, monotonic
    clocks left alone."""
    return dict(os.environ, LD_PRELOAD=":".join(sanitizer_runtimes() + [FAKETIME]), FAKETIME="@" + at,
                FAKETIME_DONT_FAKE_MONOTONIC="1", FAKETIME_NO_CACHE="1")


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
        with SimpleOrigin() as origin, Proxy(config=config(url_filtering(allow=allow, deny=deny))) as p:
            o = "127.0.0.1:%d" % origin.port
            long_label = "a" * 63
            cases = [
                # (request line target, status, body piece, logged "blocked:" text or None)
                ("http://%s/ok" % o, 200, b"hello from origin", None),
                ("http://%s/ads/banner" % o, 200, BLOCKED_PAGE, "blocked: 127.0.0.1/ads/banner"),
                ("http://www.blocked.test/", 200, BLOCKED_PAGE, "blocked: www.blocked.test/"),
                ("http://WWW.Blocked.TEST/up", 200, BLOCKED_PAGE, "blocked: www.blocked.test/up"),
                ("http://www.blocked.test./dot", 200, BLOCKED_PAGE, "blocked: www.blocked.test./dot"),
                ("http://xn--bcher-kva.blocked.test/idn", 200, BLOCKED_PAGE, "blocked: xn--bcher-kva.blocked.test/idn"),
                ("http://%s.blocked.test/long" % long_label, 200, BLOCKED_PAGE, "blocked: %s.blocked.test/long" % long_label),
                # allowed by the allow rule: passes the filter, then cannot be resolved
                ("http://good.blocked.test/", 503, b"DNS Lookup", None),
                ("http://notblocked.test.invalid/", 503, b"DNS Lookup", None),
            ]
            for target, status, piece, line in cases:
                with self.subTest(target=target):
                    st, headers, body = ask(p, get_request(target))
                    self.assertEqual(status, st, body[:300])
                    self.assertIn(piece, body)
                    if line:
                        self.assertTrue(p.wait_log(line), line)
            self.assertEqual(["GET /ok HTTP/1.1"], origin.requests)
            # The block is recorded as denied, with the filter's name.
            self.assertTrue(p.wait_log("TCP_DENIED", "access"))
            self.assertTrue(p.wait_log("url-filter", "extended"))
            # A label of 300 characters: refused or blocked, never passed on.
            st, _, body = ask(p, get_request("http://%s.blocked.test/" % ("b" * 300)))
            self.assertIn(st, (200, 400, 414))
            if st == 200:
                self.assertIn(BLOCKED_PAGE, body)
            # CONNECT to a blocked host: 404 with the same page.
            st, _, body = ask(p, b"CONNECT www.blocked.test:443 HTTP/1.1\r\nHost: www.blocked.test:443\r\n\r\n")
            self.assertEqual(404, st)
            self.assertIn(BLOCKED_PAGE, body)
            # The page shows the URL as text, never as markup.
            st, _, body = ask(p, get_request("http://www.blocked.test/<script>alert(1)</script>"))
            self.assertEqual(200, st)
            self.assertNotIn(b"<script>alert", body)
            self.assertIn(b"&lt;script&gt;alert(1)&lt;/script&gt;", body)
            self.assertTrue(p.proc.poll() is None)

    def test_filter_command_and_bypass(self):
        deny = [dict(comment="Rule-for-blocked-hosts", host="(^|\\.)blocked\\.test$")]
        with SimpleOrigin() as origin, Proxy(config=config(url_filtering(deny=deny))) as p:
            st, _, body = ask(p, get_request("http://xx--filter.www.blocked.test/<b>"))
            self.assertEqual(200, st)
            self.assertIn(b"URL filter match for www.blocked.test/&lt;b&gt;", body)
            self.assertIn(b"Rule-for-blocked-hosts", body)
            self.assertNotIn(BLOCKED_PAGE, body)
            st, _, body = ask(p, get_request("http://xx--filter.127.0.0.1:%d/fine" % origin.port))
            self.assertEqual(200, st)
            self.assertIn(b">None<", body)
            self.assertEqual([], origin.requests)  # the page forwards nothing
            # Bypassing the URL filter lets the blocked host through (to DNS).
            st, _, body = ask(p, get_request("http://xx--bypass[f].www.blocked.test/"))
            self.assertEqual(503, st)
            st, _, body = ask(p, get_request("http://xx--bypass[f-f].www.blocked.test/"))
            self.assertIn(BLOCKED_PAGE, body)
        # Without the bypass permission the command changes nothing.
        with Proxy(config=config(url_filtering(deny=deny), permissions="proxy,urlcommands")) as p:
            st, _, body = ask(p, get_request("http://xx--bypass[f].www.blocked.test/"))
            self.assertIn(BLOCKED_PAGE, body)

    def test_allow_first_and_default_template(self):
        allow = [dict(comment="local", host="^127\\.0\\.0\\.1$")]
        deny = [dict(comment="secret", path="^/secret", template="nofile")]
        with SimpleOrigin() as origin, \
                Proxy(config=config(url_filtering(order="allowfirst", allow=allow, deny=deny, template="noaccess"))) as p:
            st, _, body = ask(p, get_request(origin.url("/open")))
            self.assertEqual((200, b"hello from origin\n"), (st, body))
            st, _, body = ask(p, get_request(origin.url("/secret/x")))
            self.assertEqual(200, st)
            self.assertIn(b"not found", body)  # the deny rule's template "nofile"
            st, _, body = ask(p, get_request("http://localhost:%d/other" % origin.port))
            self.assertEqual(200, st)
            self.assertIn(b"Access denied", body)  # default rule: the section's template
            self.assertEqual(["GET /open HTTP/1.1"], origin.requests)
        # Empty allow list, no default template: everything gets "blocked".
        with SimpleOrigin() as origin, Proxy(config=config(url_filtering(order="allowfirst"))) as p:
            st, _, body = ask(p, get_request(origin.url("/x")))
            self.assertEqual(200, st)
            self.assertIn(BLOCKED_PAGE, body)
        # Switched off: nothing is blocked.
        with SimpleOrigin() as origin, Proxy(config=config(url_filtering(order="allowfirst", enabled=False))) as p:
            st, _, body = ask(p, get_request(origin.url("/x")))
            self.assertEqual((200, b"hello from origin\n"), (st, body))

    def test_server_address_ranges(self):
        deny = [dict(comment="loopback servers", addresses="127.0.0.0-127.255.255.255")]
        with SimpleOrigin() as origin, Proxy(config=config(url_filtering(deny=deny))) as p:
            for host in ("localhost", "127.0.0.1", "2130706433", "unresolvable.invalid"):
                with self.subTest(host=host):
                    st, _, body = ask(p, get_request("http://%s:%d/x" % (host, origin.port)))
                    self.assertEqual(200, st)
                    self.assertIn(BLOCKED_PAGE, body)
            self.assertEqual([], origin.requests)
        deny = [dict(comment="private", addresses="10.0.0.0-10.255.255.255")]
        with SimpleOrigin() as origin, Proxy(config=config(url_filtering(deny=deny))) as p:
            st, _, body = ask(p, get_request("http://localhost:%d/x" % origin.port))
            self.assertEqual((200, b"hello from origin\n"), (st, body))

    def test_invalid_patterns_are_refused(self):
        cases = [
            (config(url_filtering(deny=[dict(comment="bad", host="([a-z")])), "url-filtering", "host"),
            (config(url_filtering(allow=[dict(comment="bad", path="*oops")])), "url-filtering", "path"),
            (config(redirect=redirect(redirect_rule("(unclosed", "http://x/"))), "redirect", "pattern"),
        ]
        for text, section, field in cases:
            with self.subTest(section=section, field=field):
                p = Proxy(config=text)
                try:
                    p.start(wait=False)
                    p.proc.wait(20)
                    self.assertEqual(1, p.proc.returncode)
                    self.assertIn("flawed XML file, section %s" % section, p.output() + p.log())
                    self.assertIn("%s must be a valid regular expression" % field, p.output() + p.log())
                finally:
                    p.stop()


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
            with Proxy(config=config(redirect=redirect(*rules))) as p:
                st, headers, _ = ask(p, get_request("http://old.test/page?q=1"))
                self.assertEqual(302, st)
                self.assertEqual("http://%s/new/page?q=1" % o, headers["location"])
                self.assertTrue(p.wait_log("sent 302 redirect for request for http://old.test/page?q=1 to "
                                           "http://%s/new/page?q=1" % o))
                # URL commands of the request go in front of the new host.
                st, headers, _ = ask(p, get_request("http://xx--bypass[f].old.test/page"))
                self.assertEqual(302, st)
                self.assertEqual("http://xx--bypass[f].%s/new/page" % o, headers["location"])
                st, _, body = ask(p, get_request("http://moved.test/page"))
                self.assertEqual((200, b"real"), (st, body))
                self.assertEqual("/real/page", origin.requests[-1].target)
                self.assertEqual("127.0.0.1:%d" % origin.port, origin.requests[-1].header("Host"))
                self.assertTrue(p.wait_log("request for http://moved.test/page to http://127.0.0.1/real/page"))
                # The access log names the URL actually fetched.
                self.assertTrue(p.wait_log("/real/page", "access"))
                st, _, body = ask(p, get_request("http://%s/path-only" % o))
                self.assertEqual((200, b"other"), (st, body))
                # Location-only and disabled rules leave requests alone.
                st, _, _ = ask(p, get_request("http://nowhere.test/"))
                self.assertEqual(503, st)
                st, _, _ = ask(p, get_request("http://off.test/"))
                self.assertEqual(503, st)
                # The bypass letter "r" switches redirection off.
                st, _, _ = ask(p, get_request("http://xx--bypass[r].old.test/page"))
                self.assertEqual(503, st)
            # Switched off: nothing changes.
            with Proxy(config=config(redirect=redirect(*rules, enabled=False))) as p:
                st, _, _ = ask(p, get_request("http://old.test/page"))
                self.assertEqual(503, st)

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
            with Proxy(config=config(redirect=redirect(*rules))) as p:
                for path, status, location in (("/go", 302, "http://public.test/x"),
                                               ("/perm", 301, "http://public.test/y"),
                                               ("/other", 302, "http://elsewhere.test/z")):
                    with self.subTest(path=path):
                        st, headers, _ = ask(p, get_request(origin.url(path)))
                        self.assertEqual(status, st)
                        self.assertEqual(location, headers["location"])
                self.assertTrue(p.wait_log("302 redirect for http://internal.test/x to http://public.test/x"))

    def test_no_line_break_reaches_a_location_or_request_line(self):
        with StandinOrigin({}) as origin:
            o = "127.0.0.1:%d" % origin.port
            rules = [
                redirect_rule("^http://answer\\.test/(.*)", "http://%s/$1" % o, answer=True, coding="decode"),
                redirect_rule("^http://inplace\\.test/(.*)", "http://%s/$1" % o, coding="decode"),
            ]
            with Proxy(config=config(redirect=redirect(*rules))) as p:
                evil = "/a%0d%0aSet-Cookie:%20stolen=1%0d%0aX-Injected:%201"
                raw = p.raw(get_request("http://answer.test" + evil, keep_alive=False))
                head = raw.split(b"\r\n\r\n")[0]
                self.assertTrue(head.startswith(b"HTTP/1.1 302"), raw[:200])
                self.assertNotIn(b"\r\nSet-Cookie", head)
                location = [l for l in head.split(b"\r\n") if l.lower().startswith(b"location:")]
                self.assertEqual(1, len(location))
                self.assertIn(b"stolen=1", location[0])
                ask(p, get_request("http://inplace.test" + evil))
                self.assertTrue(wait_for(lambda: origin.requests, 10))
                request = origin.requests[-1]
                self.assertIsNone(request.header("X-Injected"))
                self.assertIsNone(request.header("Set-Cookie"))
                self.assertEqual([], origin.errors)


class Limits(unittest.TestCase):
    def test_max_requests(self):
        with SimpleOrigin() as origin, \
                Proxy(config=config(limits=limits(limit_rule(maxrequests=2, comment="two")))) as p:
            statuses = [ask(p, get_request(origin.url("/%d" % i)))[0] for i in range(4)]
            self.assertEqual([200, 200, 404, 404], statuses)
            st, _, body = ask(p, get_request(origin.url("/again")))
            self.assertIn(b"Request limit exceeded", body)
            self.assertEqual(2, len(origin.requests))
            self.assertTrue(p.wait_log('limit-section max-requests restrictions', "extended"))

    def test_time_window_under_a_faked_clock(self):
        rule = limits(limit_rule(type=1, hours=(9, 17)))
        for at, blocked in (("2024-03-04 10:00:00", True), ("2024-03-04 18:00:00", False)):
            with self.subTest(at=at), SimpleOrigin() as origin, \
                    Proxy(config=config(limits=rule), env=faked(at)) as p:
                st, _, body = ask(p, get_request(origin.url("/t")))
                if blocked:
                    self.assertEqual(404, st)
                    self.assertIn(BLOCKED_PAGE, body)
                    self.assertTrue(p.wait_log("blocked: time limit restrictions"))
                    self.assertTrue(p.wait_log("limit-section time limit restrictions", "extended"))
                else:
                    self.assertEqual((200, b"hello from origin\n"), (st, body))

    def test_download_quota(self):
        with SimpleOrigin(body=b"x" * 600) as origin, \
                Proxy(config=config(limits=limits(limit_rule(download="1000")))) as p:
            st, _, body = ask(p, get_request(origin.url("/a")))
            self.assertEqual((200, 600), (st, len(body)))
            self.assertTrue(p.wait_log("transfer download limit: 1000"))
            st, _, body = ask(p, get_request(origin.url("/b")))
            self.assertEqual(200, st)
            self.assertIn(b"You have exceeded your download limit of 1000 bytes", body)
            # The limits page shows what is left; a request that was answered
            # by a page is not charged again with the previous bytes.
            st, _, body = ask(p, get_request("http://xx--limits.127.0.0.1:%d/<i>" % origin.port))
            self.assertEqual(200, st)
            self.assertIn(b"Transfer limits for 127.0.0.1/&lt;i&gt;", body)
            self.assertIn(b"<td>Download limit</td><td>400.0 B</td>", body)

    def test_upload_quota_counts_each_body_once(self):
        routes = {"/up": response(body=b"ok"), "/get": response(body=b"got")}
        with StandinOrigin(routes) as origin, \
                Proxy(config=config(limits=limits(limit_rule(upload="100")))) as p:
            def post(s, size):
                s.sendall(("POST %s HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"
                           % (origin.url("/up"), size)).encode() + b"u" * size)
                return read_response(s)
            with p.connect() as s:
                self.assertEqual(200, post(s, 80)[0])
                # Requests without a body on the same connection charge nothing.
                for _ in range(2):
                    s.sendall(get_request(origin.url("/get")))
                    self.assertEqual(200, read_response(s)[0])
                self.assertEqual(200, post(s, 15)[0])
                # 95 of 100 used: the next body is refused.
                st, _, body = post(s, 50)
                self.assertEqual(200, st)
                self.assertIn(b"Upload transfer limit exceeded", body)
            self.assertEqual(2, len([r for r in origin.requests if r.method == "POST"]))

    def test_smallest_rate_and_switched_off(self):
        rules = limits(limit_rule(rate=8000), limit_rule(rate=0), limit_rule(rate=4000))
        with SimpleOrigin() as origin, Proxy(config=config(limits=rules)) as p:
            st, _, _ = ask(p, get_request(origin.url("/r")))
            self.assertEqual(200, st)
            self.assertTrue(p.wait_log("transfer download rate: 4000"))
        with SimpleOrigin() as origin, \
                Proxy(config=config(limits=limits(limit_rule(maxrequests=1), enabled=False))) as p:
            statuses = [ask(p, get_request(origin.url("/%d" % i)))[0] for i in range(3)]
            self.assertEqual([200, 200, 200], statuses)
            st, _, body = ask(p, get_request("http://xx--limits.127.0.0.1:%d/" % origin.port))
            self.assertEqual(2, body.count(b"4.0 GB"))


if __name__ == "__main__":
    main()
