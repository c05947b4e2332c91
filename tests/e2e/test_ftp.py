"""The FTP gateway through the real daemon against pyftpdlib (anonymous and
with a user, passive and active), and against a stand-in for what a real
server will not send: odd listings, garbage PASV replies, endless listings,
over-long lines and a control connection that goes silent mid-reply.
"""
import os
import re
import tempfile
import time
import unittest

from client import request
from harness import ALL_LOG, Clock, Config, Proxy, main, wait_for
from peers import FtpServer, FtpStandin

FILES = {"a.txt": b"hello ftp\n", "pub/big.bin": bytes(range(256)) * 400, "pub/small.txt": b"s",
         "pub/sub/": b"", "my file.txt": b"spaced\n", "<b>x&y.txt": b"odd\n"}
ALICE = ("alice", "secret")


def ftp_config(**options):
    return Config().set("ftp", **options)


def extended_records(proxy):
    """(method, URL, status, size) of each extended-log record."""
    return [(m.group(1), m.group(2), int(m.group(3)), int(m.group(4)))
            for m in re.finditer(r'^".*?" \d+ \S+ ".*?" ".*?" \[.*?\] "(\S+) (\S+)" (\d+) (\d+) ',
                                 proxy.log("extended"), re.M)]


def retrieved(server, path):
    return server.read("ftp.log").count("RETR %s%s completed=1" % (server.root, path))


class FtpGatewayTest(unittest.TestCase):
    def test_files_and_listings_passive_and_active(self):
        for passive in (True, False):
            with self.subTest(passive=passive), FtpServer(FILES, users=dict([ALICE])) as f, \
                    Proxy(config=ftp_config(passive=passive)) as p:
                r = p.get(f.url("/a.txt"))
                self.assertEqual((r.status, r.body), (200, b"hello ftp\n"))
                self.assertEqual(r.header("content-length"), "10")
                self.assertTrue(r.header("last-modified").endswith("GMT"))
                r = p.get(f.url("/pub/big.bin", user=ALICE))
                self.assertEqual(r.body, FILES["pub/big.bin"])
                r = p.get(f.url("/pub"))
                self.assertEqual((r.status, r.header("location")), (302, "/pub/"))
                r = p.get(f.url("/pub/"))
                self.assertEqual(r.status, 200)
                self.assertIn(b'<a href="big.bin">big.bin</a>', r.body)
                self.assertIn(b'<a href="sub/">sub/</a>', r.body)
                self.assertIn(b"Directory listing for ftp://127.0.0.1:%d/pub/" % f.port, r.body)
                self.assertTrue(p.wait_log("request: GET %s" % f.url("/a.txt")))
                self.assertTrue(p.wait_log("TCP_MISS/200", "access"))

    def test_head_gives_length_and_date_without_body(self):
        with FtpServer(FILES) as f, Proxy() as p:
            r = p.ask(request(f.url("/pub/small.txt"), method="HEAD"), head_request=True)
            self.assertEqual((r.status, r.header("content-length"), r.body), (200, "1", b""))
            self.assertIsNotNone(r.header("last-modified"))
            self.assertEqual(retrieved(f, "/pub/small.txt"), 0)

    def test_login_failures_and_missing_files(self):
        with FtpServer(FILES, users=dict([ALICE]), anonymous=False) as f, Proxy() as p:
            r = p.get(f.url("/a.txt", user=("alice", "wrong")))
            self.assertEqual(r.status, 404)
            self.assertIn(b"Authorization failed", r.body)
            self.assertTrue(p.wait_log("ftp: authentication failed for user: alice, reason: invalid password"))
            r = p.get(f.url("/a.txt"))  # no anonymous login on this server
            self.assertEqual(r.status, 404)
            r = p.get(f.url("/nothere/x.txt", user=ALICE))
            self.assertEqual(r.status, 404)
            self.assertIn(b"not found", r.body)
            self.assertTrue(p.wait_log("ftp: file not found GET"))

    def test_sorting_filtering_and_escaping(self):
        with FtpServer(FILES) as f, Proxy() as p:
            body = p.get(f.url("/pub/?order=descending&field=size")).body
            order = [body.index(n) for n in (b">big.bin<", b">small.txt<", b">sub/<")]
            self.assertEqual(order, sorted(order))
            body = p.get(f.url("/pub/?action=rematch&argument=TXT$")).body
            self.assertIn(b">small.txt<", body)
            self.assertNotIn(b">big.bin<", body)
            body = p.get(f.url("/")).body
            self.assertIn(b'<a href="%3Cb%3Ex%26y.txt">&lt;b&gt;x&amp;y.txt</a>', body)
            self.assertIn(b'<a href="my%20file.txt">my file.txt</a>', body)
            self.assertNotIn(b"<b>x", body)
            self.assertEqual(p.get(f.url("/my%20file.txt")).body, b"spaced\n")
            self.assertEqual(p.get(f.url("/%3Cb%3Ex%26y.txt")).body, b"odd\n")

    def test_form_actions_with_a_user(self):
        with FtpServer(FILES, users=dict([ALICE])) as f, Proxy() as p:
            r = p.get(f.url("/pub/?action=mkdir&argument=made", user=ALICE))
            self.assertEqual(r.status, 200)
            self.assertTrue(os.path.isdir(os.path.join(f.root, "pub", "made")))
            self.assertIn(b">made/<", r.body)
            p.get(f.url("/pub/?action=delete&filename=small.txt", user=ALICE))
            self.assertFalse(os.path.exists(os.path.join(f.root, "pub", "small.txt")))
            p.get(f.url("/pub/?action=rename&filename=big.bin&argument=renamed.bin", user=ALICE))
            self.assertTrue(os.path.exists(os.path.join(f.root, "pub", "renamed.bin")))

    def test_line_breaks_and_nul_in_paths_and_arguments_are_refused(self):
        cases = ["/a.txt%0d%0aDELE%20a.txt", "/a.txt%0aDELE%20a.txt", "/a%00.txt",
                 "/pub/?action=mkdir&argument=x%0d%0aDELE%20/a.txt", "/pub/?action=raw&argument=NOOP%0aDELE%20/a.txt"]
        with FtpServer(FILES, users=dict([ALICE])) as f, Proxy() as p:
            for path in cases:
                with self.subTest(path=path):
                    r = p.get(f.url(path, user=ALICE))
                    self.assertEqual(r.status, 400)
            self.assertNotIn("DELE", f.read("ftp.log"))
            self.assertTrue(os.path.exists(os.path.join(f.root, "a.txt")))

    def test_escapes_that_are_not_two_hex_digits_inject_no_command(self):
        # "%+D" and a trailing "%D" are no escapes: they go as they stand.
        with FtpServer(FILES, users=dict([ALICE])) as f, Proxy() as p:
            for path in ("/pub/?action=delete&filename=x%+D%+AMKD%20injected",
                         "/pub/?action=mkdir&argument=x%+d%+aMKD%20injected2",
                         "/pub/?action=raw&argument=NOOP%+D%+AMKD%20injected3"):
                with self.subTest(path=path):
                    r = p.get(f.url(path, user=ALICE))
                    self.assertIn(r.status, (200, 400))
            commands = f.commands()
            self.assertFalse([c for c in commands if c.startswith("MKD injected")], commands)
            self.assertFalse([n for n in os.listdir(os.path.join(f.root, "pub")) if n.startswith("injected")])

    def test_each_request_leaves_one_right_record_in_each_log(self):
        bob = ("bob", "s3cr3t-pw")
        cases = [  # (path, user, method, status, mime)
            ("/a.txt", None, "GET", 200, "text/plain"),
            ("/pub/small.txt", bob, "GET", 200, "text/plain"),
            ("/pub/small.txt", None, "HEAD", 200, "text/plain"),
            ("/pub", None, "GET", 302, "-"),
            ("/pub/", bob, "GET", 200, "text/html"),
            ("/nothere.txt", None, "GET", 404, "text/html"),
            ("/a.txt", ("bob", "wr0ng-pw"), "GET", 404, "text/html"),
            ("/pub/?action=mkdir&argument=x%0d", bob, "GET", 400, "text/html"),
        ]
        with FtpServer(FILES, users=dict([bob])) as f, Proxy(loglevel=ALL_LOG) as p:
            sizes = []
            for path, user, method, status, mime in cases:
                r = p.ask(request(f.url(path, user=user), ["Connection: close"], method=method),
                          head_request=method == "HEAD")
                self.assertEqual(r.status, status, path)
                self.assertNotIn(b"s3cr3t-pw", r.body)
                self.assertNotIn(b"wr0ng-pw", r.body)
                sizes.append(len(r.body))
            self.assertTrue(wait_for(lambda: len(p.records()) >= len(cases)
                                     and len(extended_records(p)) >= len(cases), 20))
            time.sleep(0.5)  # a second record would come now
            access, extended = p.records(), extended_records(p)
            self.assertEqual(len(access), len(cases), access)
            self.assertEqual(len(extended), len(cases), extended)
            for (path, user, method, status, mime), size, a, e in zip(cases, sizes, access, extended):
                url = f.url(path)
                with self.subTest(path=path, user=user):
                    self.assertEqual((a[3].split("/")[1], int(a[4]), a[5], a[6], a[9]),
                                     (str(status), size, method, url, mime))
                    self.assertEqual(e, (method, url, status, size))
            for which in ("native", "access", "extended"):
                self.assertNotIn("s3cr3t-pw", p.log(which))
                self.assertNotIn("wr0ng-pw", p.log(which))

    def test_pasv_address_is_ignored(self):
        # The server names an address nobody listens on: the data connection
        # still goes to the server the control connection reached.
        with FtpServer(FILES, masquerade="10.255.255.1") as f, Proxy() as p:
            r = p.get(f.url("/a.txt"))
            self.assertEqual((r.status, r.body), (200, b"hello ftp\n"))

    def test_anonymous_files_are_cached_named_users_not(self):
        clock_dir = tempfile.mkdtemp(prefix="korvantel-clock-")
        clock = Clock(clock_dir)
        with FtpServer(FILES, users=dict([ALICE])) as f:
            p = Proxy(config=ftp_config(), env=clock.env())
            p.start()
            try:
                clock.advance()
                first = p.get(f.url("/pub/big.bin"), ["Connection: close"])
                self.assertTrue(first.header("x-cache").startswith("MISS"))
                second = wait_for(lambda: (lambda r: r if r.header("x-cache").startswith("HIT") else None)(
                    p.get(f.url("/pub/big.bin"), ["Connection: close"])), 10)
                self.assertTrue(second, "the second fetch was no hit")
                self.assertEqual(second.body, FILES["pub/big.bin"])
                self.assertTrue(wait_for(lambda: retrieved(f, "/pub/big.bin") == 1))
                for _ in range(2):
                    r = p.get(f.url("/pub/small.txt", user=ALICE), ["Connection: close"])
                    self.assertEqual(r.body, b"s")
                self.assertTrue(wait_for(lambda: retrieved(f, "/pub/small.txt") == 2))
            finally:
                p.stop()


class FtpOddServerTest(unittest.TestCase):
    def test_odd_listings(self):
        listing = (b"total 12\r\n"
                   b"drwxr-xr-x 2 u g 4096 Jan 5 10:00 my dir\r\n"
                   b"-rw-r--r-- 1 u g 512 Feb 30 2004 odd date\r\n"
                   b"-rw-r--r-- 1 u g 7 Jan 5 2004 caf\xc3\xa9 <&> \"q\".txt\r\n"
                   b"lrwxrwxrwx 1 u g 4 Jan 5 2004 link -> target\r\n"
                   b"01-05-04  10:00AM       <DIR>          dosdir\r\n"
                   b"-rw-r--r-- 1 u g 9 Jan 5 2004 " + b"L" * (100 * 1024) + b"\r\n"
                   b"-rw-r--r-- 1 u g 10 Jan 5 2004 last.txt\r\n")
        with FtpStandin(listing=listing) as s, Proxy() as p:
            r = p.get(s.url("/"))
            self.assertEqual(r.status, 200)
            for name in (b">my dir/<", b">odd date<", b">link<", b">last.txt<",
                         b">caf\xc3\xa9 &lt;&amp;&gt; &quot;q&quot;.txt<",
                         b'href="caf%C3%A9%20%3C%26%3E%20%22q%22.txt"', b'href="my%20dir/"'):
                self.assertIn(name, r.body)
            self.assertNotIn(b"dosdir", r.body)
            self.assertNotIn(b"LLLL", r.body)
            self.assertTrue(p.wait_log("FTP: unparsable ftp dir entry: 01-05-04"))

    def test_every_control_line_is_one_line_whatever_the_escape(self):
        cases = ["/pub/?action=delete&filename=x%+D%+AMKD%20injected",
                 "/pub/?action=rmdir&filename=x%D",
                 "/pub/?action=rename&filename=a%+D&argument=b%A",
                 "/pub/?action=raw&argument=MKD%20injected%D",
                 "/pub/?action=mkdir&argument=%+0D%+0A",
                 "/pub/?action=mkdir&argument=x%0D",
                 "/pub/x%+D%+AMKD%20injected.txt",
                 "/pub/x.txt%D"]
        with Proxy() as p:
            for path in cases:
                with self.subTest(path=path), FtpStandin(directories=("/", "/pub/")) as s:
                    r = p.get(s.url(path), ["Connection: close"], timeout=60)
                    self.assertIn(r.status, (200, 302, 400, 404))
                    for line in s.lines:
                        body = line[:-2] if line.endswith(b"\r\n") else line[:-1]
                        self.assertFalse(set(body) & set(b"\r\n\0"), s.lines)
                    self.assertNotIn("MKD injected", s.commands)
            # A real line break, however written, is refused before the server hears it.
            with FtpStandin(directories=("/", "/pub/")) as s:
                for path in ("/pub/?action=mkdir&argument=x%0D", "/pub/?action=raw&argument=%0aNOOP"):
                    self.assertEqual(p.get(s.url(path), ["Connection: close"]).status, 400)
                self.assertEqual(s.commands, [])
            with FtpStandin(directories=("/", "/pub/")) as s:
                url = s.url("/pub/").replace("ftp://", "ftp://u%+D%+AMKD%20injected:pw@")
                p.get(url, ["Connection: close"])
                self.assertNotIn("MKD injected", s.commands)
                for line in s.lines:
                    self.assertFalse(set(line[:-2]) & set(b"\r\n\0"), s.lines)

    def test_nul_in_user_password_or_path_is_refused_before_the_server_hears_it(self):
        cases = ["ftp://a%00b:pw@{h}/", "ftp://bob%00evil:bobpw@{h}/", "ftp://bob:bobpw%00x@{h}/",
                 "ftp://bob%00@{h}/", "ftp://bob:bobpw@{h}/pub/a%00b.txt"]
        with Proxy() as p, FtpStandin(directories=("/", "/pub/"), files={"/pub/f.txt": b"bob's file"}) as s:
            host = "127.0.0.1:%d" % s.port
            # bob's session, kept logged in for bob's next request
            r = p.get("ftp://bob:bobpw@%s/pub/f.txt" % host, ["Connection: close"])
            self.assertEqual((r.status, r.body), (200, b"bob's file"))
            self.assertIn("USER bob", s.commands)
            heard = len(s.commands)
            for url in cases:
                with self.subTest(url=url):
                    self.assertEqual(p.get(url.format(h=host), ["Connection: close"]).status, 400)
            self.assertEqual(s.commands[heard:], [])

    def test_bad_servers_end_the_request_with_an_error_page(self):
        cases = [
            ("garbage 227", dict(pasv="227 Entering Passive Mode (garbage)."), "Connection failed"),
            ("short 227", dict(pasv="227 Entering Passive Mode (127,0,0,1,4)."), "Connection failed"),
            ("long 227", dict(pasv="227 " + "9" * (100 * 1024)), "Connection failed"),
            ("endless listing", dict(listing="endless"), "Connection failed"),
            ("silent mid-reply", dict(stall_after="CWD"), "Connection failed"),
        ]
        with Proxy(config=ftp_config(timeout=3)) as p:
            for name, options, text in cases:
                with self.subTest(case=name), FtpStandin(**options) as s:
                    r = p.get(s.url("/"), ["Connection: close"], timeout=60)
                    self.assertEqual(r.status, 404)
                    self.assertIn(text.encode(), r.body)
            # The daemon still serves after all of them.
            with FtpStandin(listing=b"-rw-r--r-- 1 u g 1 Jan 5 2004 fine\r\n") as s:
                self.assertIn(b">fine<", p.get(s.url("/")).body)

    def test_a_pasv_reply_naming_the_proxys_own_port_is_refused(self):
        with Proxy(config=ftp_config(timeout=3)) as p:
            pasv = "227 Entering Passive Mode (127,0,0,1,%d,%d)." % (p.port >> 8, p.port & 255)
            with FtpStandin(pasv=pasv) as s:
                r = p.get(s.url("/"), ["Connection: close"], timeout=60)
                self.assertEqual(r.status, 404)
                self.assertIn(b"Connection failed", r.body)
            self.assertTrue(p.wait_log("PASV reply names this proxy's listener %d" % p.port))

    def test_a_whole_file_is_kept_when_the_client_leaves_before_the_data_connection_ends(self):
        data = bytes(range(256)) * 400
        listing = (b"-rw-r--r-- 1 u g %d Jan 5 2004 f.bin\r\n" % len(data) +
                   b"-rw-r--r-- 1 u g %d Jan 5 2004 short.bin\r\n" % len(data))
        files = {"/pub/f.bin": data, "/pub/short.bin": data[:1000]}
        clock = Clock(tempfile.mkdtemp(prefix="korvantel-clock-"))

        def hit(path):
            r = p.get(s.url(path), ["Connection: close"], timeout=30)
            return r if (r.header("x-cache") or "").startswith("HIT") else None

        def retrs(path):
            return s.commands.count("RETR " + path)

        # The server holds each data connection open a while after its last byte.
        with FtpStandin(listing=listing, files=files, directories=("/", "/pub/"), linger=2) as s:
            p = Proxy(config=ftp_config(), env=clock.env())
            p.start()
            try:
                clock.advance()
                # The client has the whole file by its length and goes at once.
                with p.client(timeout=30) as c:
                    r = c.ask(request(s.url("/pub/f.bin")))
                self.assertEqual((r.status, r.body), (200, data))
                self.assertTrue(p.wait_log("TCP_MISS/200", "access", timeout=30))
                second = wait_for(lambda: hit("/pub/f.bin"), 20)
                self.assertTrue(second, "the whole file was not kept")
                self.assertEqual(second.body, data)
                self.assertEqual(retrs("/pub/f.bin"), 1)
                # A file cut short of its listed size is never kept, 226 or not.
                r = p.get(s.url("/pub/short.bin"), ["Connection: close"], timeout=30)
                self.assertFalse(r.complete and r.body == data)
                self.assertTrue(wait_for(lambda: p.log("access").count("/pub/short.bin") == 1, 30))
                r = p.get(s.url("/pub/short.bin"), ["Connection: close"], timeout=30)
                self.assertFalse((r.header("x-cache") or "").startswith("HIT"))
                self.assertEqual(retrs("/pub/short.bin"), 2)
            finally:
                p.stop()


if __name__ == "__main__":
    main()
