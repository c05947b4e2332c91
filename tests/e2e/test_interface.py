"""The web administration interface through the real daemon: recognising
interface requests, the login cookie, every page, every configuration form
action read back through "/xml", the security rules (permission, Referer,
loopback-only shipped configuration), HTML escaping of everything a client
can influence, and the performance log (-r).
"""
import email.utils
import html
import http.client
import os
import re
import shutil
import socket
import tempfile
import threading
import time
import unittest
import base64
import urllib.parse

from client import request
from config import Config
from harness import ALL_LOG, CONFIG_XML, Proxy, main, wait_for
from peers import HELLO, hello_origin

HOST = "korvantel.invalid"
REFERER = "http://%s/" % HOST
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"


def shipped():
    with open(CONFIG_XML) as f:
        return f.read()


LAN_RULE = "LAN clients: proxy and CONNECT only"


def config_with(user="", password="", permissions="interface,proxy,connect", loglevel_text=None):
    """The shipped configuration with the local rule's interface login and
    permissions replaced (the LAN rule before it is left alone)."""
    lan, local = shipped().split("<comment>This machine</comment>", 1)
    text = local
    text = text.replace("<interfaceuser></interfaceuser>", "<interfaceuser>%s</interfaceuser>" % user, 1)
    text = text.replace("<interfacepassword></interfacepassword>",
                        "<interfacepassword>%s</interfacepassword>" % password, 1)
    text = text.replace("<permissions>interface,proxy,connect</permissions>",
                        "<permissions>%s</permissions>" % permissions, 1)
    return lan + "<comment>This machine</comment>" + text


class Answer:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers  # list of (name, value)
        self.body = body

    def header(self, name):
        for n, v in self.headers:
            if n.lower() == name.lower():
                return v
        return None

    def all(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]


def call(proxy, path, method="GET", form=None, headers=None, referer=REFERER, host=HOST, source=None):
    """One request for http://host/path through the proxy (absolute URI)."""
    hdrs = dict(headers or {})
    if referer:
        hdrs["Referer"] = referer
    body = None
    if form is not None:
        body = urllib.parse.urlencode(form)
        hdrs["Content-Type"] = "application/x-www-form-urlencoded"
        method = "POST"
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=20,
                                      source_address=(source, 0) if source else None)
    try:
        conn.request(method, "http://%s%s" % (host, path), body=body, headers=hdrs)
        r = conn.getresponse()
        data = r.read()
        return Answer(r.status, r.getheaders(), data.decode("latin-1"))
    finally:
        conn.close()


def basic(user, password):
    return {"Authorization": "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()}


def login_cookie(answer):
    for value in answer.all("Set-Cookie"):
        if value.startswith("login="):
            return value
    return None


def token_of(cookie_line):
    return cookie_line.split(";")[0][len("login="):]


def xml(proxy):
    return call(proxy, "/xml", referer=None).body


def allow_comments(proxy):
    """Comments of the access section's allow entries, in document order."""
    text = xml(proxy)
    section = text[text.index("<access>"):text.index("</access>")]
    return [html.unescape(c) for c in re.findall(r"<allow>.*?<comment>(.*?)</comment>", section, re.S)]


def allow_ids(proxy):
    page = call(proxy, "/config?section=access").body
    return [int(i) for i in re.findall(
        r'config\?section=access&amp;subsection=allow&amp;dialog=show&amp;id=(\d+)"', page)]


def rule_form(comment, permissions=("proxy",), clients="10.1.1.1"):
    form = {"section": "access", "subsection": "allow", "action": "add",
            "F0": "true", "F1": comment, "F2": "false", "F3": "", "F4": "", "F5": clients,
            "F6": "rule", "F7": "", "F8": "", "F11": "", "F12": "", "F13": ""}
    for p in permissions:
        form["F9_" + p] = "on"
    return form


class FakeClock:
    """libfaketime with an offset read from a file, moved by the test."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "faketime")
        self.set(0)

    def set(self, offset):
        with open(self.path, "w") as f:
            f.write("+%ds\n" % offset)

    def env(self):
        env = dict(os.environ)
        env.update({"LD_PRELOAD": FAKETIME_LIB, "FAKETIME_TIMESTAMP_FILE": self.path,
                    "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1"})
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0").lstrip(":")
        return env


class Login(unittest.TestCase):
    def test_login_right_wrong_renewed_and_forged(self):
        with Proxy(config=config_with("admin", "s3cret")) as p:
            first = call(p, "/stats")
            self.assertEqual(first.status, 200)
            self.assertIn("Web interface login", first.body)
            self.assertNotIn("Top Menu", first.body)
            self.assertIsNone(login_cookie(first))

            wrong = call(p, "/stats", form={"username": "admin", "password": "S3cret"})
            self.assertIn("Web interface login", wrong.body)
            self.assertIsNone(login_cookie(wrong))

            right = call(p, "/stats", form={"username": "admin", "password": "s3cret"})
            self.assertEqual(right.status, 200)
            self.assertIn("Top Menu", right.body)
            self.assertIn("HTTP requests", right.body)
            cookie = login_cookie(right)
            self.assertIsNotNone(cookie)
            parts = [x.strip() for x in cookie.split(";")]
            self.assertEqual(parts[1], "path=/")
            # Out of scripts' reach, and not sent with requests other sites start.
            self.assertEqual(parts[3:], ["HttpOnly", "SameSite=Strict"])
            self.assertTrue(parts[2].startswith("expires="))
            expires = email.utils.parsedate_to_datetime(parts[2][len("expires="):].replace("-", " "))
            ahead = expires.timestamp() - time.time()
            self.assertTrue(3000 < ahead < 4000, ahead)
            token = token_of(cookie)

            # The cookie is renewed, holding only the login token.
            again = call(p, "/stats", headers={"Cookie": "a=1; login=%s; b=2" % token})
            self.assertIn("Top Menu", again.body)
            renewed = login_cookie(again)
            self.assertIsNotNone(renewed)
            self.assertTrue(renewed.endswith("; HttpOnly; SameSite=Strict"), renewed)
            self.assertNotIn("a=1", renewed)
            self.assertNotIn("b=2", renewed)
            self.assertIn("Top Menu", call(p, "/stats", headers={"Cookie": "login=" + token_of(renewed)}).body)

            # Forged tokens, and the token under another cookie name.
            for forged in ("x" + token[1:], token[:-1], token + token[:12], "", "admin:s3cret"):
                page = call(p, "/stats", headers={"Cookie": "login=" + forged})
                self.assertIn("Web interface login", page.body, forged)
                self.assertIsNone(login_cookie(page))
            self.assertIn("Web interface login", call(p, "/stats", headers={"Cookie": "other=" + token}).body)

            # A login form without a valid Referer is not read.
            for referer in (None, "http://evil.example/stats", "http://%s.evil/" % HOST):
                page = call(p, "/stats", form={"username": "admin", "password": "s3cret"}, referer=referer)
                self.assertIn("Web interface login", page.body, referer)
                self.assertIsNone(login_cookie(page))
            self.assertTrue(p.wait_log("web interface request without referer"))
            self.assertTrue(p.wait_log("web interface request from invalid referer (http://evil.example/stats)"))
            self.assertTrue(p.wait_log("request for web interface from 127.0.0.1"))

    def test_expired_token_is_refused(self):
        directory = tempfile.mkdtemp(prefix="korvantel-clock-")
        self.addCleanup(shutil.rmtree, directory, True)
        clock = FakeClock(directory)
        with Proxy(config=config_with("admin", "s3cret"), env=clock.env()) as p:
            right = call(p, "/stats", form={"username": "admin", "password": "s3cret"})
            token = token_of(login_cookie(right))
            self.assertIn("Top Menu", call(p, "/stats", headers={"Cookie": "login=" + token}).body)
            clock.set(3700)
            page = call(p, "/stats", headers={"Cookie": "login=" + token})
            self.assertIn("Web interface login", page.body)
            self.assertIsNone(login_cookie(page))

    def test_rule_without_login_shows_the_menu_at_once(self):
        with Proxy() as p:
            page = call(p, "/stats", referer=None)
            self.assertIn("Top Menu", page.body)
            self.assertIsNone(login_cookie(page))


class Security(unittest.TestCase):
    def test_shipped_configuration_gives_the_interface_to_loopback_only(self):
        with Proxy() as p:
            self.assertIn("Top Menu", call(p, "/stats").body)
            try:
                other = call(p, "/stats", source="127.0.0.2")
                self.assertNotIn("Top Menu", other.body)
                self.assertIn("Access denied", other.body)
            except (ConnectionError, http.client.HTTPException):
                pass  # refused without an answer: just as good
            # The local rule's login is what guards the interface.
            self.assertIn("<interfaceuser></interfaceuser>", shipped())

    def test_interface_needs_the_rules_permission(self):
        with Proxy(config=config_with(permissions="proxy")) as p:
            self.assertEqual(call(p, "/stats").status, 403)
            self.assertEqual(call(p, "/xml").status, 403)
            logo = call(p, "/template/logo")
            self.assertEqual(logo.status, 200)
            self.assertEqual(logo.header("Content-Type"), "image/gif")
            self.assertEqual(call(p, "/template/nosuchtemplate").status, 404)
            stats = call(p, "/userstats")
            self.assertEqual(stats.status, 200)
            self.assertIn("HTTP requests", stats.body)
            self.assertNotIn("Top Menu", stats.body)

    def test_refused_post_body_is_not_left_on_the_connection(self):
        # A body past the upload buffer is streamed; refused for its Referer
        # it is read and dropped, or the connection ends after the answer.
        with Proxy() as p:
            before = xml(p)
            for size, kept in ((2 * 1024 * 1024, True), (6 * 1024 * 1024, False)):
                body = ("section=general&action=global&F0=evil&x=" + "a" * size).encode()
                head = ("POST http://%s/config HTTP/1.1\r\nHost: %s\r\nReferer: http://evil.example/\r\n"
                        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n"
                        % (HOST, HOST, len(body))).encode()
                with p.client() as c:
                    c.send(head)
                    if kept:
                        c.send(body)
                    r = c.response()
                    self.assertEqual(r.status, 200, size)
                    self.assertEqual(r.header("connection"), "keep-alive" if kept else "close", size)
                    if kept:
                        r = c.ask(("GET http://%s/stats HTTP/1.1\r\nHost: %s\r\n\r\n" % (HOST, HOST)).encode())
                        self.assertEqual(r.status, 200)
                        self.assertIn(b"HTTP requests", r.body)
            self.assertEqual(xml(p), before)

    def test_foreign_referer_changes_nothing(self):
        with Proxy() as p:
            before = allow_comments(p)
            call(p, "/config", form=rule_form("sneaky"), referer="http://evil.example/config")
            call(p, "/config?" + urllib.parse.urlencode(rule_form("sneaky2")), referer=None)
            self.assertEqual(allow_comments(p), before)

    def test_only_pages_of_the_interface_may_post_forms(self):
        # The proxy's own name is "localhost": a page on that host is
        # foreign unless it is on one of the proxy's ports (none is 80,
        # where this proxy does not listen) and the interface's name is the
        # first segment of its path.
        with Proxy() as p:
            saved = os.path.join(p.dir, "forged.xml")
            foreign = ["http://localhost:8080/evil.html", "http://localhost/",
                       "http://localhost:%d/" % p.port, "http://localhost:%d/x/%s/config" % (p.port, HOST),
                       "http://localhost/%s.evil/config" % HOST, "http://localhost:8x/%s/" % HOST,
                       "http://localhost.evil/%s/" % HOST, "http://localhost:9999/%s/" % HOST,
                       "http://localhost/%s/config" % HOST, "http://localhost:%d/%s/" % (p.port + 1, HOST)]
            for referer in foreign:
                with self.subTest(referer=referer):
                    before = allow_comments(p)
                    call(p, "/config", form=rule_form("forged"), referer=referer)
                    call(p, "/config?" + urllib.parse.urlencode(rule_form("forged2")), referer=referer)
                    call(p, "/save?" + urllib.parse.urlencode({"filename": saved}), referer=referer)
                    call(p, "/save", form={"filename": saved}, referer=referer)
                    self.assertEqual(allow_comments(p), before)
                    self.assertFalse(os.path.exists(saved))
                    self.assertTrue(p.wait_log("web interface request from invalid referer (%s)" % referer))
            own = ["http://localhost:%d/%s/config" % (p.port, HOST), "http://LOCALHOST:%d/%s" % (p.port, HOST.upper()),
                   "http://localhost:%d/%s?x" % (p.port, HOST), "http://%s/config" % HOST, "http://%s:80/" % HOST]
            for n, referer in enumerate(own):
                with self.subTest(referer=referer):
                    call(p, "/config", form=rule_form("own%d" % n), referer=referer)
                    self.assertIn("own%d" % n, allow_comments(p))
            call(p, "/stats", referer=None)
            self.assertTrue(p.wait_log("web interface request without referer"))

    def test_xml_asks_for_the_interface_login(self):
        with Proxy(config=config_with("admin", "s3cret")) as p:
            for headers in ({}, basic("admin", "wrong"), basic("Admin", "s3cret"), {"Authorization": "Basic !!!"},
                            {"Cookie": "login=forged"}):
                with self.subTest(headers=headers):
                    r = call(p, "/xml", referer=None, headers=headers)
                    self.assertEqual(r.status, 401)
                    self.assertNotIn("korvantel>", r.body)
                    self.assertNotIn("s3cret", r.body)
            # Four wrong guesses lock nothing yet.
            r = call(p, "/xml", referer=None, headers=basic("admin", "s3cret"))
            self.assertEqual(r.status, 200)
            self.assertIn("<interfacepassword>s3cret</interfacepassword>", r.body)
            cookie = token_of(login_cookie(call(p, "/stats", form={"username": "admin", "password": "s3cret"})))
            r = call(p, "/xml", referer=None, headers={"Cookie": "login=" + cookie})
            self.assertEqual(r.status, 200)
            self.assertIn("<korvantel>", r.body)
            self.assertTrue(p.wait_log("web interface login failed from 127.0.0.1"))

    def test_slave_gives_the_masters_login(self):
        with Proxy(config=config_with("admin", "pw@with:odd")) as master:
            cookie = token_of(login_cookie(call(master, "/stats", form={"username": "admin",
                                                                        "password": "pw@with:odd"})))
            call(master, "/config", form=rule_form("from the master"), headers={"Cookie": "login=" + cookie})
            refused = Proxy(args=["-M", "127.0.0.1:%d" % master.port, "-I", "1"])
            refused.config_path = os.path.join(refused.dir, "slave.xml")
            with refused:
                self.assertTrue(refused.wait_log("sync: 127.0.0.1:%d responded with 401" % master.port, timeout=30))
            slave = Proxy(args=["-M", "admin:pw@with:odd@127.0.0.1:%d" % master.port, "-I", "1"],
                          loglevel=ALL_LOG)
            slave.config_path = os.path.join(slave.dir, "slave.xml")
            with slave:
                self.assertTrue(slave.wait_log("synchronized local configuration file", timeout=30))
                with open(slave.config_path) as f:
                    self.assertIn("from the master", f.read())
                self.assertIn("syncronizing with 127.0.0.1:%d" % master.port, slave.log())
                self.assertNotIn("pw@with:odd", slave.log())


class LoginLockout(unittest.TestCase):
    def test_five_failures_lock_the_address_for_a_minute(self):
        directory = tempfile.mkdtemp(prefix="korvantel-clock-")
        self.addCleanup(shutil.rmtree, directory, True)
        clock = FakeClock(directory)
        right = {"username": "admin", "password": "s3cret"}
        with Proxy(config=config_with("admin", "s3cret"), env=clock.env()) as p:
            # Failures further apart than a minute lock nothing.
            for n in range(4):
                self.assertIn("Web interface login", call(p, "/stats", form=dict(right, password="w%d" % n)).body)
            clock.set(61)
            self.assertIn("Web interface login", call(p, "/stats", form=dict(right, password="late")).body)
            page = call(p, "/stats", form=right)
            self.assertIn("Top Menu", page.body)
            token = token_of(login_cookie(page))

            # Five guesses within the minute (a forged cookie counts as one).
            self.assertIn("Web interface login", call(p, "/stats", headers={"Cookie": "login=forged"}).body)
            for n in range(20):
                page = call(p, "/stats", form=dict(right, password="guess%d" % n))
                self.assertEqual(page.status, 200)
                self.assertIn("Web interface login", page.body)
            for what in ({"form": right}, {"headers": {"Cookie": "login=" + token}}):
                page = call(p, "/stats", **what)
                self.assertIn("Web interface login", page.body, what)
                self.assertIsNone(login_cookie(page), what)
            self.assertEqual(call(p, "/xml", referer=None, headers=basic("admin", "s3cret")).status, 401)
            self.assertTrue(p.wait_log("web interface login failed from 127.0.0.1"))
            log = p.log()
            self.assertEqual(log.count("web interface login from 127.0.0.1 refused for 60 seconds"), 1, log)
            self.assertEqual(log.count("web interface login failed from 127.0.0.1"), 4 + 1 + 5, log)

            clock.set(61 + 61)
            self.assertIn("Top Menu", call(p, "/stats", form=right).body)
            self.assertEqual(call(p, "/xml", referer=None, headers=basic("admin", "s3cret")).status, 200)

            # A burst of guesses on many connections at once: every one is
            # answered, the address is locked once, the right one refused.
            answers = []

            def guess(n):
                for k in range(15):
                    answers.append(call(p, "/stats", form=dict(right, password="b%d-%d" % (n, k))).status)

            threads = [threading.Thread(target=guess, args=(n,)) for n in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
            self.assertEqual(answers, [200] * 120)
            self.assertIn("Web interface login", call(p, "/stats", form=right).body)
            self.assertTrue(wait_for(lambda: p.log().count("refused for 60 seconds") == 2, 10), p.log())
            time.sleep(0.5)
            self.assertEqual(p.log().count("refused for 60 seconds"), 2)


class Secrets(unittest.TestCase):
    def test_passwords_never_reach_the_log(self):
        with Proxy(config=config_with("admin", "LoginSecret1"), loglevel=ALL_LOG) as p:
            call(p, "/stats", form={"username": "admin", "password": "GuessSecret2"})
            call(p, "/stats?username=admin&password=GuessSecret3")
            cookie = token_of(login_cookie(call(p, "/stats", form={"username": "admin",
                                                                   "password": "LoginSecret1"})))
            logged_in = {"Cookie": "login=" + cookie}
            form = rule_form("visible comment")
            form.update({"F7": "someuser", "F8": "RuleSecret4", "F11": "admin", "F12": "IfaceSecret5"})
            call(p, "/config", form=form, headers=logged_in)
            call(p, "/config", form={"section": "ldap", "subsection": "server", "action": "add", "F0": "true",
                                     "F6": "LdapSecret6"}, headers=logged_in)
            call(p, "/password", form={"scode": "ScodeSecret7", "scode1": "ScodeSecret7"}, headers=logged_in)
            call(p, "/stats", referer="http://evil.example/?username=admin&password=RefererSecret8")
            self.assertTrue(p.wait_log("scode=*&scode1=*"))
            self.assertTrue(p.wait_log("invalid referer (http://evil.example/?username=admin&password=*)"))
            log = p.log()
            self.assertIn("password=*", log)
            self.assertIn("F8=*", log)
            self.assertIn("F12=*", log)
            self.assertIn("F6=*", log)
            self.assertIn("F1=visible+comment", log)
            self.assertIn("F7=someuser", log)
            page = call(p, "/log?pattern=evil.example", headers=logged_in).body
            self.assertIn("password=*", page)
            for secret in ("LoginSecret1", "GuessSecret2", "GuessSecret3", "RuleSecret4", "IfaceSecret5",
                           "LdapSecret6", "ScodeSecret7", "RefererSecret8"):
                self.assertNotIn(secret, log, secret)
                self.assertNotIn(secret, page, secret)

    def test_passwords_in_urls_never_reach_the_transaction_logs(self):
        with Proxy(config=config_with("admin", "LoginSecret1"), loglevel=ALL_LOG) as p:
            call(p, "/stats?username=admin&password=GuessSecret2")
            answer = call(p, "/stats?username=admin&password=LoginSecret1")
            logged_in = {"Cookie": "login=" + token_of(login_cookie(answer))}
            call(p, "/password?scode=ScodeSecret3&scode1=ScodeSecret3", headers=logged_in)
            call(p, "/password?password=PageSecret4", headers=logged_in,
                 referer="http://korvantel.invalid/password?scode=RefererSecret5")
            call(p, "/config?section=ldap&subsection=server&action=add&F0=true&F6=LdapSecret6", headers=logged_in)
            # By the interface's path on the proxy's own address.
            p.ask(request("/korvantel.invalid/stats?username=admin&password=PathSecret7", host="127.0.0.1:%d" % p.port,
                          headers=["Referer: " + REFERER, "Connection: close"]))
            self.assertTrue(wait_for(lambda: p.log("access").count("password=*") >= 4 and
                                     p.log("extended").count("password=*") >= 4))
            for which in ("access", "extended"):
                log = p.log(which)
                self.assertIn("scode=*&scode1=*", log)
                self.assertIn("F6=*", log)
                self.assertIn("F0=true", log)
                for secret in ("LoginSecret1", "GuessSecret2", "ScodeSecret3", "PageSecret4", "RefererSecret5",
                               "LdapSecret6", "PathSecret7"):
                    self.assertNotIn(secret, log, (which, secret))



class Dispatch(unittest.TestCase):
    def test_origin_form_and_host_header_requests(self):
        with Proxy() as p:
            r = p.ask(("GET /%s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % HOST).encode())
            self.assertEqual(r.status, 302)
            self.assertEqual(r.header("location"), HOST + "/")
            self.assertEqual(r.header("content-length"), "0")
            for request in ("GET /%s/stats HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % HOST.upper(),
                            "GET /stats HTTP/1.1\r\nHost: %s\r\n\r\n" % HOST):
                r = p.ask(request.encode())
                self.assertEqual(r.status, 200, request)
                self.assertIn(b"HTTP requests", r.body, request)
                self.assertTrue((r.header("date") or "").endswith("GMT"))
            # A port in the Host header makes it another host.
            r = p.ask(("GET /stats HTTP/1.1\r\nHost: %s:80\r\n\r\n" % HOST).encode())
            self.assertNotIn(b"Top Menu", r.body)

    def test_query_only_with_referer_and_exact_page_paths(self):
        with Proxy() as p:
            self.assertIn("Regular expression match", call(p, "/log?pattern=x").body)
            self.assertNotIn("Regular expression match", call(p, "/log?pattern=x", referer=None).body)
            self.assertNotIn("Regular expression match", call(p, "/l?x").body)
            self.assertNotIn("Regular expression match", call(p, "/?x").body)
            self.assertIn("Regular expression match", call(p, "/LOG").body)


class Pages(unittest.TestCase):
    def test_every_page_answers_with_live_data(self):
        with hello_origin() as origin, Proxy() as p:
            # Something for the DNS cache, the server pool and the statistics.
            status, _, _ = p.curl("http://localhost:%d/x" % origin.port)
            self.assertEqual(status, 0)
            cases = [
                ("/connections", ["Transferring", "Client ID", "Client pool"]),
                ("/dnscache", ["Hostname", "IP address", "<td>localhost</td><td>127.0.0.1</td>"]),
                ("/headers", ["Unfiltered", "Filtered", "<td>X-Probe</td><td>probe value</td>"]),
                ("/config", ["Select a Section to Configure", "Search entries",
                             '<option value="access">Access']),
                ("/config?section=access", ["access section", "This machine",
                                            "config?section=access&amp;subsection=allow&amp;dialog=show"]),
                ("/config?section=access&subsection=allow&dialog=show",
                 ['name="action" value="add"', 'name="F9_interface"']),
                ("/config?matchname=comment&matchvalue=machine", ["This machine", "access section"]),
                ("/save", ["Save settings", 'value="%s"' % p.config_path]),
                ("/load", ["Load settings", 'name="overwrite" value="yes" checked']),
                ("/log", ["Regular expression match", "Log buffer size:", 'value="1000"']),
                ("/pool", ["Protocol", "Username", "<td>localhost</td><td>%d</td><td>(none)</td>" % origin.port]),
                ("/stats", ["HTTP requests", "memory resident"]),
                ("/userstats", ["HTTP requests"]),
            ]
            for path, expected in cases:
                page = call(p, path, headers={"X-Probe": "probe value"})
                self.assertEqual(page.status, 200, path)
                self.assertEqual(page.header("Content-Type"), "text/html", path)
                self.assertEqual(int(page.header("Content-Length")), len(page.body), path)
                for text in expected:
                    self.assertIn(text, page.body, path)
            self.assertNotIn("Top Menu", call(p, "/userstats").body)
            for link in ("connections", "stats", "dnscache", "headers", "config", "log", "save", "load", "pool"):
                self.assertIn('<a href="%s">' % link, call(p, "/stats").body)

    def test_xml_export(self):
        with Proxy() as p:
            with p.client() as c:
                r = c.ask(("GET http://%s/xml HTTP/1.1\r\nHost: %s\r\n\r\n" % (HOST, HOST)).encode())
                self.assertTrue(c.closed())
            head, body = r.head.decode(), r.body
            self.assertEqual(r.framing, "close")
            self.assertTrue(head.startswith("HTTP/1.1 200"))
            self.assertIn("Content-Type: text/xml", head)
            self.assertIn("Cache-Control: no-cache", head)
            self.assertIn("Connection: close", head)
            self.assertNotIn("Content-Length", head)
            self.assertRegex(head, r"Last-Modified: \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT")
            self.assertIn(b"<korvantel>", body)
            self.assertIn(b"<comment>This machine</comment>", body)
            self.assertTrue(body.rstrip().endswith(b"</korvantel>"))

    def test_a_slave_follows_the_export_and_its_changes(self):
        with Proxy() as master:
            call(master, "/config", form=rule_form("from the master"))
            slave = Proxy(args=["-M", "127.0.0.1:%d" % master.port, "-I", "1"])
            slave.config_path = os.path.join(slave.dir, "slave.xml")
            with slave:
                self.assertIn("from the master", allow_comments(slave))
                call(master, "/config", form=rule_form("changed later"))
                self.assertTrue(wait_for(lambda: "changed later" in allow_comments(slave), 20))

    def test_log_page_size_clear_and_pattern(self):
        with Proxy() as p:
            call(p, "/stats", referer="http://unique-marker.example/")
            self.assertTrue(p.wait_log("unique-marker"))
            self.assertIn("unique-marker", call(p, "/log?pattern=UNIQUE-marker").body)
            self.assertNotIn("unique-marker", call(p, "/log?pattern=nothing-like-it").body)
            self.assertIn("unique-marker", call(p, "/log?pattern=%28").body)  # does not compile: every line
            page = call(p, "/log", form={"size": "0"})
            self.assertIn('name="size" size="10" value="0"', page.body)
            self.assertNotIn("unique-marker", page.body)
            call(p, "/log", form={"size": "-1"})
            self.assertIn('value="0"', call(p, "/log").body)
            call(p, "/log", form={"size": "50", "clear": "on"})
            call(p, "/stats", referer="http://second-marker.example/")
            self.assertTrue(p.wait_log("second-marker"))
            self.assertIn("second-marker", call(p, "/log").body)
            call(p, "/log", form={"clear": "on"})
            self.assertNotIn("second-marker", call(p, "/log").body)


class FormActions(unittest.TestCase):
    """Every configuration form action, read back through "/xml"."""

    def test_global_add_edit_delete_clone_shift(self):
        with Proxy() as p:
            page = call(p, "/config", form={"section": "general", "action": "global", "F0": "proxy.test",
                                            "F1": "/tmp", "F2": "100", "F3": "5", "F4": "10"})
            self.assertIn("general section", page.body)
            self.assertIn("<hostname>proxy.test</hostname>", xml(p))
            self.assertIn("<poolsize>5</poolsize>", xml(p))

            for name in ("one", "two", "three"):
                page = call(p, "/config", form=rule_form(name))
                self.assertNotIn("must be", page.body)
            self.assertEqual(allow_comments(p), [LAN_RULE, "This machine", "one", "two", "three"])
            self.assertIn("<permissions>proxy</permissions>", xml(p))

            ids = allow_ids(p)
            edit = rule_form("TWO", permissions=("proxy", "connect"))
            edit.update({"action": "edit", "id": str(ids[3])})
            call(p, "/config", form=edit)
            self.assertEqual(allow_comments(p), [LAN_RULE, "This machine", "one", "TWO", "three"])
            self.assertEqual(allow_ids(p), ids)
            self.assertIn("<permissions>proxy,connect</permissions>", xml(p))

            base = {"section": "access", "subsection": "allow"}
            call(p, "/config", form=dict(base, action="clone", id=str(ids[4])))
            self.assertEqual(allow_comments(p), [LAN_RULE, "This machine", "one", "TWO", "three", "three"])
            ids = allow_ids(p)
            call(p, "/config", form=dict(base, action="delete", id=str(ids[5])))
            self.assertEqual(allow_comments(p), [LAN_RULE, "This machine", "one", "TWO", "three"])
            for direction, index, after in (("up", 3, [LAN_RULE, "This machine", "TWO", "one", "three"]),
                                            ("down", 1, [LAN_RULE, "TWO", "This machine", "one", "three"]),
                                            ("bottom", 1, [LAN_RULE, "This machine", "one", "three", "TWO"]),
                                            ("top", 3, ["three", LAN_RULE, "This machine", "one", "TWO"])):
                ids = allow_ids(p)
                call(p, "/config", form=dict(base, action="shift", direction=direction, id=str(ids[index])))
                self.assertEqual(allow_comments(p), after, direction)

            # Links work as GET with the Referer of the interface.
            ids = allow_ids(p)
            call(p, "/config?section=access&subsection=allow&action=delete&id=%d" % ids[0])
            self.assertEqual(allow_comments(p), [LAN_RULE, "This machine", "one", "TWO"])

    def test_refused_values_and_missing_entries(self):
        with Proxy() as p:
            before = xml(p)
            page = call(p, "/config", form=rule_form("bad", clients="10.0.0.999"))
            self.assertIn("Client addresses must be an IP range list (see manual)", page.body)
            page = call(p, "/config", form={"section": "general", "action": "global", "F0": "h", "F1": "/tmp",
                                            "F2": "many", "F3": "5", "F4": "10"})
            self.assertIn("Line length must be an integer", page.body)
            page = call(p, "/config", form={"section": "access", "subsection": "allow", "action": "delete",
                                            "id": "99999"})
            self.assertIn("Entry ID doesn't exist", page.body)
            page = call(p, "/config", form={"section": "nosuch", "action": "global"})
            self.assertIn("Search entries", page.body)
            self.assertNotIn("nosuch section", page.body)
            strip = lambda t: re.sub(r"Last-Modified.*", "", t)
            self.assertEqual(strip(xml(p)), strip(before))

    def test_save_then_load(self):
        with Proxy() as p:
            call(p, "/config", form=rule_form("saved <rule> & \"more\""))
            call(p, "/config", form={"section": "access", "action": "global", "F0": "allowfirst", "F1": "yes"})
            saved = os.path.join(p.dir, "saved.xml")
            self.assertIn("File saved", call(p, "/save", form={"filename": saved}).body)
            with open(saved) as f:
                text = f.read()
            self.assertIn("<ntlm>false</ntlm>", text)
            self.assertIn("saved &lt;rule&gt; &amp;", text)
            self.assertIn("Saved failed", call(p, "/save", form={"filename": "/nonexistent/dir/x.xml"}).body)
            self.assertIn("Load failed", call(p, "/load", form={"filename": saved + ".missing"}).body)

            call(p, "/config", form=rule_form("added later"))
            self.assertIn("File loaded", call(p, "/load", form={"filename": saved, "overwrite": "yes"}).body)
            self.assertEqual(allow_comments(p), [LAN_RULE, "This machine", 'saved <rule> & "more"'])
            self.assertIn("File loaded", call(p, "/load", form={"filename": saved, "overwrite": "no"}).body)
            self.assertEqual(allow_comments(p), [LAN_RULE, "This machine", 'saved <rule> & "more"'] * 2)
            with open(saved) as f:
                config = f.read()
        # The saved file starts a daemon again.
        with Proxy(config=config) as again:
            self.assertIn('saved <rule> & "more"', allow_comments(again))


def deny_form(host, action="add", id=None):
    """A URL-filter deny rule's form with the given host pattern."""
    form = {"section": "url-filtering", "subsection": "deny", "action": action,
            "F0": "true", "F1": "rule " + host, "F2": "", "F3": host, "F4": "", "F5": "", "F6": ""}
    if id is not None:
        form["id"] = str(id)
    return form


class RefusedPatterns(unittest.TestCase):
    """A pattern that does not compile never reaches the running rules nor
    a saved file; a document the daemon cannot use is not loaded, and the
    running configuration stays whole."""

    REFUSED = "Host must be a valid regular expression: the pattern ( does not compile"

    def assertPasses(self, p, origin):
        r = p.get("http://127.0.0.1:%d/x" % origin.port, timeout=20)
        self.assertEqual((r.status, r.body), (200, HELLO))

    def test_forms_refuse_a_pattern_that_does_not_compile(self):
        conf = Config().set("url-filtering", enabled=True)
        with hello_origin() as origin, Proxy(config=conf) as p:
            strip = lambda t: re.sub(r"Last-Modified.*", "", t)  # noqa: E731
            before = strip(xml(p))
            page = call(p, "/config", form=deny_form("("))
            self.assertIn(self.REFUSED, page.body)
            self.assertEqual(strip(xml(p)), before)
            self.assertPasses(p, origin)

            self.assertNotIn("must be", call(p, "/config", form=deny_form("nothing\\.test")).body)
            ids = re.findall(r"section=url-filtering&amp;subsection=deny&amp;dialog=show&amp;id=(\d+)",
                             call(p, "/config?section=url-filtering").body)
            self.assertEqual(len(ids), 1)
            page = call(p, "/config", form=deny_form("(", action="edit", id=ids[0]))
            self.assertIn(self.REFUSED, page.body)
            self.assertIn("<host>nothing\\.test</host>", xml(p))
            self.assertNotIn("<host>(</host>", xml(p))
            self.assertPasses(p, origin)

            base = {"section": "url-filtering", "subsection": "deny"}
            call(p, "/config", form=dict(base, action="clone", id=ids[0]))
            self.assertEqual(xml(p).count("<host>nothing\\.test</host>"), 2)

            saved = os.path.join(p.dir, "saved.xml")
            self.assertIn("File saved", call(p, "/save", form={"filename": saved}).body)
            with open(saved) as f:
                config = f.read()
        # What the forms let through starts a daemon again.
        with Proxy(config=config) as again:
            self.assertIn("<host>nothing\\.test</host>", xml(again))

    def test_load_keeps_the_running_configuration(self):
        conf = Config().set("url-filtering", enabled=True)
        # Each document changes the general section (loaded first) before its flaw.
        broken_pattern = Config().set("url-filtering", enabled=True).set("general", hostname="half-applied")
        broken_pattern.add("url-filtering/deny", comment="broken", host="(")
        broken_bool = Config().set("general", hostname="half-applied").set("url-filtering", enabled="yes")
        cases = [
            ("pattern", broken_pattern, "flawed XML file, section url-filtering, element deny: host must be a "
                                        "valid regular expression, but it is given value ("),
            ("bool", broken_bool, "flawed XML file, section url-filtering, element : enabled must be true or "
                                  "false, but it is given value yes"),
        ]
        with hello_origin() as origin, Proxy(config=conf) as p:
            strip = lambda t: re.sub(r"Last-Modified.*", "", t)  # noqa: E731
            before = strip(xml(p))
            for name, document, line in cases:
                with self.subTest(name):
                    path = document.write(os.path.join(p.dir, name + ".xml"))
                    for overwrite in ("yes", "no"):
                        page = call(p, "/load", form={"filename": path, "overwrite": overwrite})
                        self.assertIn("Load failed", page.body)
                    self.assertTrue(p.wait_log(line))
                    self.assertIsNone(p.proc.poll())
                    self.assertEqual(strip(xml(p)), before)
                    self.assertNotIn("half-applied", xml(p))
                    self.assertPasses(p, origin)
            # A usable document still loads.
            good = Config().set("general", hostname="loaded-later").write(os.path.join(p.dir, "good.xml"))
            self.assertIn("File loaded", call(p, "/load", form={"filename": good, "overwrite": "yes"}).body)
            self.assertIn("<hostname>loaded-later</hostname>", xml(p))


class Escaping(unittest.TestCase):
    """Nothing a client or an origin server controls reaches a page as HTML."""

    SCRIPT = "<script>alert(1)</script>"

    def assertEscaped(self, body, where):
        self.assertNotIn("<script>alert", body, where)
        self.assertIn("&lt;script&gt;alert(1)&lt;/script&gt;", body, where)

    def test_everything_from_outside_is_escaped(self):
        hang = socket.socket()
        hang.bind(("127.0.0.1", 0))
        hang.listen(5)
        port = hang.getsockname()[1]
        with Proxy() as p:
            # A request stuck on an origin that never answers, so that it
            # shows on the connections page.
            stuck = p.connect()
            stuck.sendall(("GET http://127.0.0.1:%d/%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n"
                           % (port, urllib.parse.quote(self.SCRIPT, safe="<>/()"), port)).encode())
            peer, _ = hang.accept()
            try:
                page = call(p, "/connections")
                self.assertEscaped(page.body, "/connections")
                page = call(p, "/headers", headers={"X-Evil": self.SCRIPT})
                self.assertEscaped(page.body, "/headers")
                call(p, "/stats", referer="http://x/" + self.SCRIPT)
                self.assertTrue(p.wait_log("invalid referer"))
                self.assertEscaped(call(p, "/log").body, "/log")
                echoed = '"><script>alert(1)</script>'
                for path, form in (("/log", {"pattern": echoed}),
                                   ("/config", {"matchname": echoed, "matchvalue": echoed}),
                                   ("/config", {"section": echoed}),
                                   ("/save", {}), ):
                    body = call(p, path + "?" + urllib.parse.urlencode(form)).body
                    self.assertNotIn("<script>alert", body, (path, form))
                call(p, "/config", form=rule_form(self.SCRIPT))
                self.assertEscaped(call(p, "/config?section=access").body, "entry list")
                ids = allow_ids(p)
                body = call(p, "/config?section=access&subsection=allow&dialog=show&id=%d" % ids[-1]).body
                self.assertEscaped(body, "entry dialog")
            finally:
                peer.close()
                stuck.close()
                hang.close()
        with Proxy(config=config_with("admin", "s3cret")) as p:
            body = call(p, "/stats?%22%3E%3Cscript%3Ealert(1)%3C/script%3E").body
            self.assertIn("Web interface login", body)
            self.assertNotIn("<script>alert", body)


class PerformanceLog(unittest.TestCase):
    def lines(self, path):
        try:
            with open(path) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def test_legend_then_a_line_every_two_seconds(self):
        directory = tempfile.mkdtemp(prefix="korvantel-perf-")
        path = os.path.join(directory, "performance.log")
        with hello_origin() as origin, Proxy(args=["-r", path]) as p:
            p.curl(origin.url("/a"))
            p.curl(origin.url("/b"))
            self.assertTrue(wait_for(lambda: len(self.lines(path)) >= 3, 20))
            lines = self.lines(path)
            self.assertTrue(lines[0].startswith("Time Stamp (YYYYMMDDhhmmss),Elapsed Time,"))
            legend = lines[0].split(",")
            self.assertEqual(len(legend), 31)
            self.assertTrue(wait_for(lambda: int(self.lines(path)[-1].split(",")[4]) >= 2, 20))
            last = dict(zip(legend, self.lines(path)[-1].split(",")))
            self.assertEqual(len(last), 31)
            self.assertGreaterEqual(int(last["Client Transactions Handled"]), 2)
            self.assertGreaterEqual(int(last["Client Connections Handled"]), 2)
            self.assertGreaterEqual(int(last["Outbound Connections created"]), 1)
            self.assertGreater(int(last["Korvantel Resident Memory (KBytes)"]), 0)
            self.assertGreater(int(last["Total System Memory (KBytes)"]), 0)
        # Restarting on a non-empty file appends without a second legend.
        with Proxy(args=["-r", path]) as again:
            count = len(self.lines(path))
            self.assertTrue(wait_for(lambda: len(self.lines(path)) > count, 20))
        self.assertEqual(sum(1 for line in self.lines(path) if line.startswith("Time Stamp")), 1)
        shutil.rmtree(directory, ignore_errors=True)

    def test_empty_name_writes_nothing(self):
        with Proxy(args=["-r", ""]) as p:
            call(p, "/stats")
            time.sleep(2.5)  # one writer period: nothing may appear
            self.assertFalse(os.path.exists(os.path.join(p.dir, "performance.log")))


if __name__ == "__main__":
    main()
