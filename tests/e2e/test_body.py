"""Body processing through the real daemon: the keyword filter scoring
buffered pages around its threshold, rewrite rules on heads and bodies as
the origin and the client see them, external programs in each of their
roles (and the ways a program can fail), and the diagnostic pages of URL
commands, built from the request's own data and escaped."""
import gzip
import os
import stat
import tempfile
import threading
import unittest

from client import request
from harness import ALL_LOG, Config, Proxy, main, wait_for
from peers import Squid, StandinOrigin, response
from origin import chunked

PERMISSIONS = "interface,proxy,connect,bypass,urlcommands"
BLOCKED = b"Page Blocked"


def base_config():
    return Config().set("access/allow", 1, permissions=PERMISSIONS)


def html(body, headers=(("Content-Type", "text/html"),)):
    return response(200, body, headers)


def command_url(origin, commands, path="/"):
    """The origin's URL with URL-command labels in front of its host."""
    return "http://%s127.0.0.1:%d%s" % ("".join("xx--%s." % c for c in commands), origin.port, path)


# -- keyword filter ----------------------------------------------------------

def keyword_config(rules, threshold=100, **general):
    conf = base_config().set("keywords-filtering", enabled=True, threshold=threshold)
    for keyword, score, mime in rules:
        conf.add("keywords-filtering/rule", keyword=keyword, score=score, mime=mime)
    if general:
        conf.set("general/rule", **general)
    return conf


RULES = [("alpha", 40, ""), ("beta", 60, ""), ("gamma", 10, "^text/"), ("neutral", -60, "")]

BIG = b"<p>" + b"filler text " * 6000 + b"</p>"  # past one 64 KiB read


def split_at(data, word, position):
    """data with word placed so that it straddles byte `position`."""
    cut = position - len(word) // 2
    return data[:cut] + word + data[cut:]


class KeywordFilterTest(unittest.TestCase):
    def test_scores_around_the_threshold(self):
        gz = (("Content-Type", "text/html"), ("Content-Encoding", "gzip"))
        cases = [
            # name, wire response, blocked, score in the log
            ("below", html(b"<p>alpha</p>"), False, None),
            ("at", html(b"<p>alpha beta</p>"), True, 100),
            ("above", html(b"<p>alpha beta gamma</p>"), True, 110),
            ("repeats score once", html(b"alpha " * 500), False, None),
            ("negative rule cancels", html(b"beta alpha neutral beta"), False, None),
            ("type pattern", response(200, b"alpha beta", (("Content-Type", "image/png"),)), True, 100),
            ("after a zero byte", html(b"alpha\0 beta"), False, None),
            ("split across reads", html(split_at(BIG, b"alpha beta", 65536)), True, 100),
            ("split across chunks", b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n"
             + chunked([b"<p>al", b"pha be", b"ta</p>"]), True, 100),
            ("gzip below", response(200, gzip.compress(b"<b>beta</b>"), gz), False, None),
            ("gzip at", response(200, gzip.compress(b"<b>beta</b> " * 50 + b"ALPHA"), gz), True, 100),
        ]
        routes = {"/%d" % i: case[1] for i, case in enumerate(cases)}
        with StandinOrigin(routes) as origin, Proxy(config=keyword_config(RULES), loglevel=ALL_LOG) as p:
            for i, (name, wire, blocked, score) in enumerate(cases):
                with self.subTest(name):
                    answer = p.get(origin.url("/%d" % i), ["Accept-Encoding: identity"])
                    self.assertEqual(answer.status, 403 if blocked else 200)
                    if blocked:
                        self.assertIn(BLOCKED, answer.body)
                        self.assertTrue(p.wait_log("blocked: score:%d threshold:100" % score))
                    else:
                        self.assertNotIn(BLOCKED, answer.body)
                        expected = wire.split(b"\r\n\r\n", 1)[1]
                        if b"gzip" in wire.split(b"\r\n\r\n", 1)[0]:
                            expected = gzip.decompress(expected)
                        self.assertEqual(answer.body, expected)
            self.assertNotIn("blocked: score:40 ", p.log())

    def test_missing_template_still_answers(self):
        # The block page's template exists nowhere: the kept-alive client is
        # answered at once, and a pipelined request gets its own answer.
        routes = {"/bad": html(b"<p>alpha beta</p>"), "/good": html(b"<p>fine</p>")}
        conf = keyword_config(RULES).set("keywords-filtering", template="nosuchpage")
        with StandinOrigin(routes) as origin, Proxy(config=conf) as p, p.client(timeout=5) as c:
            c.send(request(origin.url("/bad")) + request(origin.url("/good")))
            first = c.response()
            self.assertEqual((403, b"403 Forbidden\n"), (first.status, first.body))
            second = c.response()
            self.assertEqual((200, b"<p>fine</p>"), (second.status, second.body))

    def test_score_page_answers_instead_of_the_response(self):
        with StandinOrigin({"*": html(b"<p>alpha gamma</p>")}) as origin, \
                Proxy(config=keyword_config(RULES), loglevel=ALL_LOG) as p:
            answer = p.get(command_url(origin, ["score"], "/page<x>"))
            self.assertEqual(answer.status, 200)
            self.assertIn(b"Keyword score for 127.0.0.1/page&lt;x&gt;", answer.body)
            self.assertIn(b">50<", answer.body)
            self.assertNotIn(b"alpha gamma", answer.body)
            self.assertNotIn("blocked: score", p.log())

    def test_too_large_body(self):
        # Larger than the download buffer, announced or found while reading:
        # passed on unread, and the log says so each time. What fits is
        # scored whatever its framing.
        body = b"alpha beta " + b"x" * 4000
        chunked_head = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n"
        routes = {"/counted": html(body),
                  "/chunked": chunked_head + chunked([body[i:i + 500] for i in range(0, len(body), 500)]),
                  "/small-chunked": chunked_head + chunked([b"alpha ", b"beta"])}
        line = "exceeds maximum download buffer size: passed unfiltered"
        with StandinOrigin(routes) as origin, \
                Proxy(config=keyword_config(RULES, maxdbuffer="1K"), loglevel=ALL_LOG) as p:
            answer = p.get(origin.url("/counted"))
            self.assertEqual(answer.body, body)
            self.assertTrue(p.wait_log(line))
            answer = p.get(origin.url("/chunked"))
            self.assertEqual((answer.status, answer.body, answer.complete), (200, body, True))
            self.assertTrue(wait_for(lambda: p.log().count(line) == 2, 10))
            self.assertIn(BLOCKED, p.get(origin.url("/small-chunked")).body)

    def test_compressed_bombs_stop_at_the_download_buffer(self):
        # 200 KiB on the wire, 200 MiB decoded: decoding for the filter stops
        # at the download buffer, and six at once keep the daemon small.
        bomb = gzip.compress(b"\0" * (200 * 1024 * 1024), 9)
        gz = (("Content-Type", "text/html"), ("Content-Encoding", "gzip"))
        routes = {"/bomb": response(200, bomb, gz),
                  "/chunked-bomb": response(200, length=False, headers=gz + (("Transfer-Encoding", "chunked"),))
                  + chunked([bomb[i:i + 65536] for i in range(0, len(bomb), 65536)]),
                  "/small": response(200, gzip.compress(b"<b>alpha beta</b>"), gz)}
        cases = [
            # path, Accept-Encoding, status, body as received
            ("/bomb", "gzip", 200, bomb),
            ("/bomb", "identity", 200, bomb),
            ("/chunked-bomb", "gzip", 200, bomb),
        ]
        with StandinOrigin(routes) as origin, \
                Proxy(config=keyword_config(RULES, maxdbuffer="4M"), loglevel=ALL_LOG) as p:
            for path, accept, status, body in cases:
                with self.subTest(path=path, accept=accept):
                    answer = p.get(origin.url(path), ["Accept-Encoding: " + accept], timeout=60)
                    self.assertEqual(answer.status, status)
                    self.assertTrue(answer.body == body, len(answer.body))
            self.assertTrue(p.wait_log("exceeds maximum download buffer size: passed unfiltered"))
            # what fits is still decoded and filtered
            self.assertIn(BLOCKED, p.get(origin.url("/small"), ["Accept-Encoding: identity"]).body)

            results = []

            def fetch():
                results.append(p.get(origin.url("/bomb"), ["Accept-Encoding: gzip"], timeout=120))
            threads = [threading.Thread(target=fetch) for _ in range(6)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(180)
            self.assertEqual([200] * 6, [r.status for r in results])
            with open("/proc/%d/status" % p.pid) as f:
                peak = [int(line.split()[1]) for line in f if line.startswith("VmHWM:")][0]
            self.assertLess(peak, 200 * 1024, "peak resident set %d KiB" % peak)

    def test_hostile_bodies(self):
        nested = b"<div>" * 10000 + b"alpha" + b"</div>" * 10000
        cases = {
            "/unclosed": b"<html><body><p>alpha<b>beta<i>" + b"<span>" * 300,
            "/nested": nested,
            "/nul": b"<p>\0\0<b>\0alpha</b>\0</p>",
            "/utf8": b"<p>\xff\xfe\xc3( alpha \xed\xa0\x80 beta</p>",
        }
        bomb = gzip.compress(b"\0" * (300 * 1024 * 1024), 9)
        routes = {path: html(body) for path, body in cases.items()}
        routes["/bomb"] = response(200, bomb, (("Content-Type", "text/html"), ("Content-Encoding", "gzip")))
        with StandinOrigin(routes) as origin, Proxy(config=keyword_config(RULES, maxdbuffer="8M")) as p:
            for path, body in cases.items():
                for commands in ([], ["htmltree"], ["raw"]):
                    with self.subTest(path=path, commands=commands):
                        answer = p.get(command_url(origin, commands, path))
                        # alpha and beta reach the threshold: a refusal
                        self.assertEqual(answer.status, 403 if path in ("/unclosed", "/utf8") else 200)
                        self.assertTrue(answer.complete)
                        if not commands and path == "/utf8":
                            self.assertIn(BLOCKED, answer.body)
            answer = p.get(origin.url("/bomb"), ["Accept-Encoding: gzip"], timeout=120)
            self.assertEqual(answer.status, 200)
            self.assertEqual(answer.body, bomb)  # the decoder's cap held: passed as received
            self.assertEqual(p.get(origin.url("/nul")).status, 200)


# -- rewriting -----------------------------------------------------------------

class RewriteTest(unittest.TestCase):
    def config(self, rules):
        conf = base_config().set("rewrite", enabled=True)
        for pattern, replacement, applies, mime in rules:
            conf.add("rewrite/rule", pattern=pattern, replacement=replacement, applies=applies, mime=mime)
        return conf

    def test_heads_and_bodies_as_origin_and_client_see_them(self):
        rules = [
            (r"^X-Test:\ one", "X-Test: two", "requestheader", ""),
            (r"^X-Reply:\ a", "X-Reply: b", "responseheader", ""),
            (r"hello\ (\w+)", "bye $1 from @CLIENT[x-who]@", "body", ""),
            (r"bye", "farewell", "body", "^text/"),
            (r"secret", "public", "postbody", ""),
            (r"never", "NEVER", "body", "^image/"),
            (r"", "ignored", "body", ""),
        ]
        origin_head = (("Content-Type", "text/plain"), ("X-Reply", "a"))
        with StandinOrigin({"*": response(200, b"hello world, never", origin_head)}) as origin, \
                Proxy(config=self.config(rules), loglevel=ALL_LOG) as p:
            answer = p.get(origin.url("/"), ["X-Test: one", "X-Who: <me>"])
            self.assertEqual(origin.requests[-1].header("X-Test"), "two")
            self.assertEqual(answer.header("X-Reply"), "b")
            self.assertEqual(answer.body, b"farewell world from <me>, never")
            self.assertTrue(p.wait_log("hello\\ (\\w+) matched 1 times in body"))
            self.assertIn("matched 1 times in client header", p.log())

            answer = p.get(origin.url("/form"), ["X-Test: one"], method="POST", body=b"a=secret&b=secret")
            self.assertEqual(origin.requests[-1].body, b"a=public&b=public")
            self.assertEqual(origin.requests[-1].header("Content-Length"), "17")

            # The bypass letter "w" leaves the response as it came (the
            # request head is rewritten before its commands are read).
            answer = p.get(command_url(origin, ["bypass[w]"]), ["X-Test: one"])
            self.assertEqual(answer.header("X-Reply"), "a")
            self.assertEqual(answer.body, b"hello world, never")
            self.assertNotIn("NEVER", p.log())

    def test_invalid_pattern_is_refused_at_load(self):
        p = Proxy(config=self.config([("(unclosed", "x", "body", "")]))
        try:
            p.start(wait=False)
            p.proc.wait(20)
            self.assertEqual(1, p.proc.returncode)
            self.assertIn("section rewrite, element rule: pattern must be a valid regular expression",
                          p.output() + p.log())
        finally:
            p.stop()


# -- external programs -----------------------------------------------------------

PY = "#!/usr/bin/python3\nimport os, sys\n"


class ExternalTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="korvantel-ext-")
        self.temp = os.path.join(self.dir, "tmp")
        os.mkdir(self.temp)

    def tearDown(self):
        for root, dirs, files in os.walk(self.dir, topdown=False):
            for name in files:
                os.unlink(os.path.join(root, name))
            for name in dirs:
                os.rmdir(os.path.join(root, name))
        os.rmdir(self.dir)

    def program(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, stat.S_IRWXU)
        return path

    def config(self, rules, timeout=60):
        conf = base_config().set("external", enabled=True).set("general", tempdir=self.temp)
        conf.set("general/rule", timeout=timeout)
        for rule in rules:
            conf.add("external/rule", **rule)
        return conf

    def test_response_program_replaces_head_and_body(self):
        upper = self.program("upper", PY + "body = sys.stdin.buffer.read()\n"
                             "sys.stdout.buffer.write(b'HTTP/1.0 200 OK\\r\\nContent-Type: text/plain\\r\\n"
                             "X-Filtered: yes\\r\\n\\r\\n' + body.upper())\n")
        with StandinOrigin({"*": response(200, b"quiet words", (("Content-Type", "text/plain"),))}) as origin, \
                Proxy(config=self.config([dict(command=upper, stages="response")]), loglevel=ALL_LOG) as p:
            answer = p.get(origin.url("/"))
            self.assertEqual(answer.body, b"QUIET WORDS")
            self.assertEqual(answer.header("X-Filtered"), "yes")
            self.assertTrue(p.wait_log("parsed with " + upper))
            # Bypass letter "e": no program runs.
            answer = p.get(command_url(origin, ["bypass[e]"]))
            self.assertEqual(answer.body, b"quiet words")

    def test_request_program_answers_the_client(self):
        deny = self.program("deny", "#!/bin/sh\nprintf 'HTTP/1.0 403 Forbidden\\r\\nContent-Type: text/plain\\r\\n\\r\\nno %s' \"$1\"\n")
        with StandinOrigin({"*": response(200, b"origin")}) as origin, \
                Proxy(config=self.config([dict(command=deny + " 'a b'", stages="request")])) as p:
            answer = p.get(origin.url("/"))
            self.assertEqual((answer.status, answer.body), (403, b"no a b"))
            self.assertEqual(origin.requests, [])

    def test_tempfile_mode_environment_and_descriptors(self):
        report = self.program("report", PY +
                              "path = sys.argv[-1]\n"
                              "data = open(path, 'rb').read()\n"
                              "fds = sorted(int(f) for f in os.listdir('/proc/self/fd'))\n"
                              "err = os.readlink('/proc/self/fd/2')\n"
                              "names = ','.join(sorted(os.environ))\n"
                              "stdin = sys.stdin.buffer.read()\n"
                              "sys.stdout.write('HTTP/1.0 200 OK\\r\\n\\r\\n%s|%d|%s|%s|%s|%s' % (path, len(data), fds[:3], err, len(stdin), names))\n")
        with StandinOrigin({"*": response(200, b"x" * 5000, (("Content-Type", "text/plain"),))}) as origin, \
                Proxy(config=self.config([dict(command=report, stages="response", input="file")])) as p:
            answer = p.get(origin.url("/"), ["X-Who: me"])
            path, size, fds, err, stdin, names = answer.body.decode().split("|")
            self.assertTrue(path.startswith(os.path.join(self.temp, "ext")))
            self.assertEqual((size, fds, err, stdin), ("5000", "[0, 1, 2]", "/dev/null", "0"))
            self.assertIn("CLIENT[x-who]", names.split(","))
            self.assertNotIn("PATH", names.split(","))
            self.assertEqual(os.listdir(self.temp), [])  # the file is gone

    def test_authenticator(self):
        # The program gets the request head and sends it back naming the user.
        echo = (PY + "head, _, body = sys.stdin.buffer.read().partition(b'\\r\\n\\r\\n')\n"
                "line, _, rest = head.partition(b'\\r\\n')\n"
                "sys.stdout.buffer.write(line + b'\\r\\nX-username: ' + sys.argv[1].encode() + b'\\r\\n' + rest + b'\\r\\n\\r\\n')\n"
                "sys.stdout.flush()\n")
        cases = [
            # ending of the program, user in the access log
            ("", "alice"),
            ("sys.exit(1)\n", "bob"),
            ("os.kill(os.getpid(), 9)\n", "anonymous@127.0.0.1"),
        ]
        for i, (ending, user) in enumerate(cases):
            with self.subTest(user=user):
                auth = self.program("auth%d" % i, echo + ending)
                name = user if user[0] != "a" or user == "alice" else "mallory"
                rules = [dict(command="%s %s" % (auth, name), stages="authentication", authenticator=True,
                              headers="request"),
                         dict(command=auth + " second", stages="authentication", authenticator=True,
                              headers="request")]
                with StandinOrigin({"*": response(200, b"ok")}) as origin, \
                        Proxy(config=self.config(rules), loglevel=ALL_LOG) as p:
                    answer = p.get(origin.url("/"))
                    self.assertEqual(answer.body, b"ok")
                    self.assertTrue(p.wait_log(origin.url("/"), "access"))
                    self.assertEqual(p.records()[-1][7], user)
                    self.assertNotIn(auth + " second", p.log())

    def test_failing_programs_change_nothing(self):
        big = b"<p>" + b"y" * 300000 + b"</p>"
        cases = [
            # name, script, log line
            ("exits early", PY + "sys.stdout.write('HTTP/1.0 200 OK\\r\\nX-Early: 1\\r\\n\\r\\nearly')\n",
             "stopped reading its input"),
            ("writes nothing", "#!/bin/sh\nexit 0\n", "error: external parser sent null or invalid request headers"),
            ("killed by a signal", "#!/bin/sh\nprintf 'HTTP/1.0 200 OK\\r\\n\\r\\nhijacked'\nkill -9 $$\n",
             "ended by signal 9"),
            ("never ends", "#!/bin/sh\nexec sleep 60\n", "no end within 2 seconds"),
            ("malformed head", "#!/bin/sh\nprintf 'HTTP/1.1 abc\\r\\n\\r\\n'\n",
             "error: external parser sent null or invalid response headers"),
            ("fails", "#!/bin/sh\nprintf 'HTTP/1.0 200 OK\\r\\n\\r\\nfailed'\nexit 3\n", "parsed with"),
            ("not found", None, "parsed with"),
        ]
        for i, (name, script, line) in enumerate(cases):
            with self.subTest(name):
                command = self.program("p%d" % i, script) if script else os.path.join(self.dir, "missing")
                with StandinOrigin({"*": response(200, big, (("Content-Type", "text/html"),))}) as origin, \
                        Proxy(config=self.config([dict(command=command, stages="response")], timeout=2),
                              loglevel=ALL_LOG) as p:
                    answer = p.get(origin.url("/"), timeout=30)
                    self.assertEqual(answer.status, 200)
                    if name == "exits early":
                        self.assertEqual((answer.body, answer.header("X-Early")), (b"early", "1"))
                    else:
                        self.assertEqual(answer.body, big)
                    self.assertTrue(p.wait_log(line))
                    self.assertEqual(p.get(origin.url("/again"), timeout=30).status, 200)


# -- diagnostic pages ------------------------------------------------------------

class DiagnosticPagesTest(unittest.TestCase):
    def test_pages_show_live_data_escaped(self):
        origin_head = (("Content-Type", "text/html"), ("X-Origin", "<i>from origin</i>"))
        body = b"<div><p>para <script>x</script></p></div>"
        client_head = ["X-Client: <b>mine</b>", "X-Multi: one"]
        cases = [
            # commands, texts that must be there, texts that must not
            (["variables"], [b"Variables for 127.0.0.1/path", b"CLIENT[x-client]", b"&lt;b&gt;mine&lt;/b&gt;",
                             b"SERVER[x-origin]", b"&lt;i&gt;from"], [b"<b>mine", b"<i>from"]),
            (["headers"], [b"Client header", b"X-Client: &lt;b&gt;mine&lt;/b&gt;", b"Server header",
                           b"X-Origin: &lt;i&gt;from origin&lt;/i&gt;"], [b"<b>mine", b"<i>from"]),
            (["raw"], [b"Raw contents of", b"&lt;script&gt;x&lt;/script&gt;"], [b"<script>"]),
            (["htmltree"], [b"HTML tree for", b'width="0"', b'width="36"', b'width="72"', b"&quot;para&nbsp;&quot;"],
             [b"<script>"]),
            (["profiles"], [b"Active profiles for 127.0.0.1/path"], []),
            (["mimeprofiles"], [b"Active profiles for 127.0.0.1/path"], []),
            (["cache"], [b"Cache information for http://127.0.0.1:", b"Nothing found"], []),
            (["proxytest"], [b"Proxy test for", b"Not forwarding through HTTP proxy"], []),
        ]
        with StandinOrigin({"*": response(200, body, origin_head)}) as origin, Proxy(config=base_config()) as p:
            for commands, present, absent in cases:
                with self.subTest(commands):
                    answer = p.get(command_url(origin, commands, "/path"), client_head)
                    self.assertEqual(answer.status, 200)
                    self.assertEqual(answer.header("Content-Type"), "text/html")
                    self.assertEqual(answer.header("Cache-Control"), "no-cache")
                    for text in present:
                        self.assertIn(text, answer.body)
                    for text in absent:
                        self.assertNotIn(text, answer.body)
            # Without the permission the commands are dropped: the page itself comes.
            with Proxy() as plain:
                answer = plain.get(command_url(origin, ["raw"], "/path"))
                self.assertEqual(answer.body, body)

    def test_proxy_test_through_a_parent(self):
        with Squid() as parent, StandinOrigin({"*": response(200, b"x")}) as origin, \
                Proxy(config=base_config().add("forward/rule", host="127.0.0.1", port=parent.port)) as p:
            answer = p.get(command_url(origin, ["proxytest"], "/<p>"), ["X-Client: <b>mine</b>"])
            self.assertEqual(answer.status, 200)
            self.assertIn(b"Proxy test for 127.0.0.1/&lt;p&gt;", answer.body)
            self.assertIn(b"Headers received from 127.0.0.1:%d" % parent.port, answer.body)
            self.assertIn(b"X-Client: &lt;b&gt;mine&lt;/b&gt;", answer.body)
            self.assertEqual(origin.requests, [])

    def test_title_escapes_the_path(self):
        with StandinOrigin({"*": response(200, b"x", (("Content-Type", "text/plain"),))}) as origin, \
                Proxy(config=base_config()) as p:
            answer = p.ask(b"GET http://xx--variables.127.0.0.1:%d/a\"<b>x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                           % origin.port)
            self.assertEqual(answer.status, 200)
            self.assertNotIn(b"<b>x", answer.body)


if __name__ == "__main__":
    main()
