"""Access rules and proxy authentication through the real binary: who is
admitted, refused or challenged, with which answer, and what the logs keep."""
import base64
import struct
import unittest

from client import request
from harness import Config, Proxy, main
from peers import HELLO, NtlmStandin, Pam, hello_origin

USERS = [("alice", "s3cret"), ("bob", "pa"), ("carol", "Secret"), ("nopass", "")]


def rule(comment, clients="", mode="rule", user="", password="", permissions="interface,proxy,connect",
         listeners=""):
    return dict(comment=comment, clients=clients, mode=mode, user=user, password=password,
                permissions=permissions, listeners=listeners)


def config(order="allowfirst", allow=(), deny=(), ntlm=False, connect_port=None):
    """The shipped configuration with its access rules replaced (and the
    CONNECT ports widened to one more port)."""
    conf = Config().set("access", order=order, ntlm=ntlm).clear("access/allow").clear("access/deny")
    for fields in allow:
        conf.add("access/allow", **rule(*fields))
    for fields in deny:
        conf.add("access/deny", **rule(*fields))
    if connect_port:
        conf.set("general/rule", cportrange="%s,%d" % (conf.get("general/rule", "cportrange"), connect_port))
    return conf


def basic(credentials):
    return "Basic " + base64.b64encode(credentials.encode()).decode()


def offers(r, name="Proxy-Authenticate"):
    """The head lines of one header, as sent."""
    return [line for line in r.lines if line.startswith(name + ":")]


SYSTEM = ("system users", "127.0.0.1", "system")


class ShippedConfiguration(unittest.TestCase):
    def test_local_client_is_admitted(self):
        with hello_origin() as origin, Proxy() as p:
            code, out, err = p.curl(origin.url("/local"))
            self.assertEqual(0, code, err)
            self.assertIn(b"200 OK", out)
            self.assertIn(b"hello from origin", out)
            self.assertTrue(p.wait_log("anonymous@127.0.0.1", "access"))

    def test_no_open_relay_whatever_x_forwarded_for_says(self):
        cases = [
            # peer address, X-Forwarded-For, admitted
            ("127.0.0.1", None, True),
            ("127.0.0.1", "not an address", True),
            ("127.0.0.1", "10.1.1.1", False),
            ("127.0.0.21", None, False),
            ("127.0.0.21", "127.0.0.1", False),
            ("127.0.0.21", "127.0.0.2", False),
            # The LAN rule: proxy and CONNECT, and no more for a claim to be
            # this machine (checked below).
            ("127.0.0.2", None, True),
            ("127.0.0.20", "127.0.0.1", True),
            ("127.0.0.2", "10.1.1.1", False),
        ]
        with hello_origin() as origin, Proxy() as p:
            for source, forwarded, admitted in cases:
                with self.subTest(source=source, forwarded=forwarded):
                    with p.client(source=source) as c:
                        headers = ["X-Forwarded-For: %s" % forwarded] if forwarded else []
                        r = c.ask(request(origin.url("/relay"), headers))
                        if admitted:
                            self.assertEqual(200, r.status)
                            self.assertEqual(HELLO, r.body)
                        else:
                            self.assertIn(b"Access denied", r.body)
                            self.assertTrue(c.closed())  # closed after the refusal
            self.assertEqual(4, len(origin.requests))
            for forwarded in (None, "127.0.0.1"):
                with self.subTest(interface_from_lan=forwarded), p.client(source="127.0.0.2") as c:
                    headers = ["X-Forwarded-For: %s" % forwarded] if forwarded else []
                    r = c.ask(request("http://korvantel.invalid/stats", headers))
                    self.assertEqual(403, r.status)
                    self.assertNotIn(b"Top Menu", r.body)


class Refusal(unittest.TestCase):
    def test_refusal_page_and_log_records(self):
        with hello_origin() as origin, Proxy(config=config(allow=[], deny=[])) as p:
            with p.client() as c:
                r = c.ask(request(origin.url("/refused")))
                self.assertEqual(403, r.status)  # the template gives no status of its own
                self.assertIn(b"Access denied", r.body)
                self.assertEqual("close", r.header("connection"))
                self.assertTrue(c.closed())
            self.assertTrue(p.wait_log("TCP_DENIED", "access"))
            line = [l for l in p.log("access").splitlines() if "TCP_DENIED" in l][0]
            self.assertIn(origin.url("/refused"), line)
            self.assertTrue(p.wait_log("access-section", "extended"))
            self.assertIn("access policy restrictions", p.log("extended"))
            self.assertIn("access policy has refused connection on port %d" % p.port, p.log())
            self.assertIn("[IP:127.0.0.1] Access Denied by Access Restrictions", p.log())
            self.assertEqual([], origin.requests)

    def test_refusal_is_never_a_success(self):
        # The template's own status counts only when it is an error status.
        for template_status, status in ((0, 403), (200, 403), (302, 403), (451, 451), (503, 503)):
            with self.subTest(template_status=template_status):
                conf = config(allow=[], deny=[])
                conf.add("templates/rule", name="noaccess", file="", status=template_status, type=0)
                with hello_origin() as origin, Proxy(config=conf) as p:
                    r = p.get(origin.url("/refused"))
                    self.assertEqual(status, r.status)
                    self.assertIn(b"Access denied", r.body)
                    r = p.ask(b"CONNECT 127.0.0.1:443 HTTP/1.1\r\n\r\n")
                    self.assertEqual(status, r.status)
                    self.assertEqual([], origin.requests)

    def test_deny_rules(self):
        cases = [
            # order, allow, deny, admitted
            ("denyfirst", [], [], True),
            ("denyfirst", [], [("local", "127.0.0.1")], False),
            ("denyfirst", [("local", "127.0.0.1")], [("local", "127.0.0.1")], True),
            ("allowfirst", [("local", "127.0.0.1")], [("local", "127.0.0.1")], False),
            ("allowfirst", [("elsewhere", "10.0.0.0-10.255.255.255")], [], False),
            ("allowfirst", [("listener", "", "rule", "", "", "proxy", "*:1")], [], False),
        ]
        with hello_origin() as origin:
            for order, allow, deny, admitted in cases:
                with self.subTest(order=order, allow=allow, deny=deny):
                    with Proxy(config=config(order, allow, deny)) as p:
                        code, out, err = p.curl(origin.url("/deny"))
                        self.assertEqual(0, code, err)
                        self.assertEqual(admitted, b"hello from origin" in out, out[:200])
                        if not admitted:
                            self.assertIn(b"Access denied", out)

    def test_listener_rule_matches_its_port(self):
        for listener, admitted in (("127.0.0.1:%d", True), ("*:%d", True), ("127.0.0.2:%d", False),
                                   ("*:1", False), ("127.0.0.1", False)):
            with self.subTest(listener=listener):
                proxy = Proxy()  # the port is chosen here; the configuration follows
                entry = listener % proxy.port if "%d" in listener else listener
                proxy.config = config("allowfirst", [("listener", "", "rule", "", "", "proxy", entry)])
                with hello_origin() as origin, proxy as p:
                    code, out, err = p.curl(origin.url("/listener"))
                    self.assertEqual(0, code, err)
                    self.assertEqual(admitted, b"hello from origin" in out, out[:200])


class Authentication(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pam = Pam(USERS)

    @classmethod
    def tearDownClass(cls):
        cls.pam.close()

    def proxy(self, allow=(SYSTEM,), deny=(), ntlm=False, order="allowfirst", connect_port=None):
        return Proxy(config=config(order, allow, deny, ntlm, connect_port), args=self.pam.args, env=self.pam.env)

    def test_credential_table(self):
        cases = [
            # Proxy-Authorization value, expected status
            (basic("alice:s3cret"), 200),
            (basic("alice:wrong"), 407),
            (basic("bob:pa:extra"), 407),          # the password runs past the first colon
            (basic("bob:pa"), 200),
            (basic("nopass:"), 407),               # an empty password is never accepted
            (basic("nobody:x"), 407),
            (basic("alicenocolon"), 404),          # not understood: no rule, no permission
            ("basic " + basic("alice:s3cret")[6:], 404),  # the scheme word is case-sensitive
            ("Basic ****", 404),
            ("Basic", 404),
            ("Basic " + "A" * 20000, 404),
        ]
        with hello_origin() as origin, self.proxy() as p:
            for value, expected in cases:
                with self.subTest(value=value[:40]):
                    r = p.get(origin.url("/auth"), ["Proxy-Authorization: " + value])
                    self.assertEqual(expected, r.status)
                    if expected == 407:
                        self.assertEqual('Basic realm="localhost"', r.header("proxy-authenticate"))
                    if expected == 200:
                        self.assertEqual(HELLO, r.body)
            self.assertEqual(2, len(origin.requests))
            self.assertTrue(p.wait_log("alice@127.0.0.1", "access"))
            # Each record is written after its answer went out, so a later
            # request's record may come first.
            self.assertTrue(p.wait_log("bob@127.0.0.1", "access"))
            native = p.log()
            self.assertIn("[IP:127.0.0.1] PAM: authentication succeeded for alice", native)
            self.assertIn("security: system: [pam: 7: PAM_AUTH_ERR] Authentication failure", native)
            self.assertIn("invalid authorization header", native)
            self.assertTrue(p.proc.poll() is None)

    def test_password_case_matters(self):
        # A password differing only in case must neither pass nor lock the
        # right one out, whatever the password cache remembers.
        cases = [
            ("carol:secret", 407),
            ("carol:Secret", 200),
            ("carol:SECRET", 407),
            ("carol:Secret", 200),
        ]
        with hello_origin() as origin, self.proxy() as p:
            for credentials, expected in cases:
                with self.subTest(credentials=credentials):
                    r = p.get(origin.url("/case"), ["Proxy-Authorization: " + basic(credentials)])
                    self.assertEqual(expected, r.status)

    def test_curl_with_proxy_user(self):
        with hello_origin() as origin, self.proxy() as p:
            code, out, err = p.curl(origin.url("/curl"), "--proxy-user", "alice:s3cret")
            self.assertIn(b"hello from origin", out)
            code, out, err = p.curl(origin.url("/curl"), "--proxy-user", "alice:nope")
            self.assertIn(b"407", out.split(b"\r\n")[0])

    def test_keepalive_after_challenge(self):
        with hello_origin() as origin, self.proxy() as p:
            with p.client() as c:
                r = c.ask(request(origin.url("/first")))
                self.assertEqual(407, r.status)
                self.assertEqual("keep-alive", r.header("connection"))
                self.assertEqual(b"", r.body)
                # the same connection, now with credentials
                r = c.ask(request(origin.url("/second"), ["Proxy-Authorization: " + basic("alice:s3cret")]))
                self.assertEqual(200, r.status)
                self.assertEqual(HELLO, r.body)
                # wrong credentials afterwards: challenged again, still open
                r = c.ask(request(origin.url("/third"), ["Proxy-Authorization: " + basic("alice:bad")]))
                self.assertEqual(407, r.status)
                r = c.ask(request(origin.url("/fourth"), ["Proxy-Authorization: " + basic("alice:s3cret")]))
                self.assertEqual(200, r.status)
            self.assertEqual(["GET /second HTTP/1.1", "GET /fourth HTTP/1.1"], origin.lines())

    def test_connect_is_challenged_then_tunnelled(self):
        with hello_origin() as origin:
            with self.proxy(connect_port=origin.port) as p, p.client() as c:
                target = "127.0.0.1:%d" % origin.port
                r = c.ask(request(target, method="CONNECT", host=target))
                self.assertEqual(407, r.status)
                r = c.ask(request(target, ["Proxy-Authorization: " + basic("alice:s3cret")], method="CONNECT",
                                  host=target), head_request=True)
                self.assertIn(" 200", r.lines[0])
                r = c.ask(request(origin.url("/tunnelled")))
                self.assertEqual(200, r.status)
                self.assertEqual(HELLO, r.body)

    def test_origin_form_is_challenged_with_401(self):
        allow = [("system users", "127.0.0.1", "system", "", "", "interface,proxy,origin,transparent")]
        with hello_origin() as origin, self.proxy(allow=allow) as p:
            with p.client() as c:
                host = "127.0.0.1:%d" % origin.port
                r = c.ask(request("/transparent", host=host))
                self.assertIn(" 401 ", r.lines[0])
                self.assertIn('WWW-Authenticate: Basic realm="localhost"', r.lines)
                # Proxy credentials do not count for an origin-form request.
                r = c.ask(request("/transparent", ["Proxy-Authorization: " + basic("alice:s3cret")], host=host))
                self.assertIn(" 401 ", r.lines[0])

    def test_ntlm_offered_with_basic(self):
        with hello_origin() as origin, self.proxy(ntlm=True) as p:
            r = p.get(origin.url("/ntlm"))
            self.assertIn(" 407 ", r.lines[0])
            self.assertEqual(["Proxy-Authenticate: NTLM", 'Proxy-Authenticate: Basic realm="localhost"'], offers(r))

    def test_refused_post_body_is_not_a_request(self):
        with hello_origin() as origin, self.proxy() as p:
            smuggled = request(origin.url("/smuggled"))
            cases = [
                # extra request headers, body
                ([], smuggled),
                (["Proxy-Authorization: " + basic("alice:bad")], smuggled),
                (["Proxy-Authorization: " + basic("alicenocolon")], smuggled),
            ]
            for headers, body in cases:
                with self.subTest(headers=headers):
                    with p.client() as c:
                        r = c.ask(request(origin.url("/post"), headers, "POST", body))
                        self.assertIn(r.status, (404, 407))
                        # whatever follows on the connection, the body was no request
                        try:
                            c.ask(request(origin.url("/after"), ["Proxy-Authorization: " + basic("alice:s3cret")]))
                        except OSError:
                            pass
            # A body too large to be buffered: the connection closes after the challenge.
            with p.client() as c:
                big = smuggled * (2 * 1024 * 1024 // len(smuggled) + 1)
                r = c.ask(request(origin.url("/big"), ["Content-Length: %d" % len(big)], "POST", host="127.0.0.1"))
                self.assertEqual(407, r.status)
                self.assertEqual("close", r.header("connection"))
                try:
                    c.send(big[:65536])
                except OSError:
                    pass
                self.assertTrue(c.closed())
            self.assertNotIn("GET /smuggled HTTP/1.1", origin.lines())
            self.assertNotIn("/smuggled", p.log("access"))
            self.assertTrue(p.proc.poll() is None)


def ntlm_message(kind):
    body = struct.pack("<I", kind) + (b"\x07\x82\x08\x00" + b"\0" * 16 if kind == 1 else b"\0" * 52)
    return base64.b64encode(b"NTLMSSP\0" + body).decode()


TYPE1 = ntlm_message(1)
TYPE3 = ntlm_message(3)


class Ntlm(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pam = Pam(USERS)

    @classmethod
    def tearDownClass(cls):
        cls.pam.close()

    def proxy(self, allow=(SYSTEM,)):
        return Proxy(config=config(allow=allow, ntlm=True), args=self.pam.args, env=self.pam.env)

    SCRIPT = {"step1": "200 401 -\n", "step2": {TYPE1: "200 401 CHALLENGE1\n", TYPE3: "200 200 alice\n"}}

    def test_exchange_then_session(self):
        with hello_origin() as origin, self.proxy() as p, NtlmStandin(p.dir, self.SCRIPT) as daemon:
            with p.client() as c:
                r = c.ask(request(origin.url("/1"), ["Proxy-Authorization: NTLM " + TYPE1]))
                self.assertIn(" 407 ", r.lines[0])
                self.assertEqual(["Proxy-Authenticate: NTLM CHALLENGE1"], offers(r))
                self.assertIn("Connection: keep-alive", r.lines)

                r = c.ask(request(origin.url("/2"), ["Proxy-Authorization: NTLM " + TYPE3]))
                self.assertEqual(200, r.status)
                self.assertEqual(HELLO, r.body)

                # Later requests on the connection need no header.
                self.assertEqual(200, c.ask(request(origin.url("/3"))).status)

                # Basic credentials of another user are checked like any others.
                r = c.ask(request(origin.url("/4"), ["Proxy-Authorization: " + basic("mallory:guess")]))
                self.assertEqual(407, r.status)
            self.assertEqual(["GET /2 HTTP/1.1", "GET /3 HTTP/1.1"], origin.lines())
            self.assertTrue(p.wait_log("alice@127.0.0.1", "access"))
            self.assertIn("user [alice] authenticated from Domain Controller", p.log())
            self.assertIn("Authorization: NTLM " + TYPE1, daemon.requests())
            self.assertNotIn("mallory@", p.log("access"))

    def test_negotiate_on_origin_form(self):
        allow = [("system users", "127.0.0.1", "system", "", "", "interface,proxy,origin,transparent")]
        with hello_origin() as origin, self.proxy(allow) as p, NtlmStandin(p.dir, self.SCRIPT):
            r = p.get("/o", ["Authorization: Negotiate " + TYPE1], host="127.0.0.1:%d" % origin.port)
            self.assertIn(" 401 ", r.lines[0])
            self.assertEqual(["WWW-Authenticate: NTLM CHALLENGE1"], offers(r, "WWW-Authenticate"))

    def test_refused_type3_and_missing_daemon(self):
        script = {"step1": "200 401 -\n", "step2": {TYPE1: "200 401 CHALLENGE1\n", TYPE3: "200 401 -\n"}}
        with hello_origin() as origin, self.proxy() as p:
            with NtlmStandin(p.dir, script), p.client() as c:
                c.ask(request(origin.url("/1"), ["Proxy-Authorization: NTLM " + TYPE1]))
                r = c.ask(request(origin.url("/2"), ["Proxy-Authorization: NTLM " + TYPE3]))
                self.assertIn(" 407 ", r.lines[0])
                self.assertIn("failed to complete NTLM authentication", p.log())
            # the daemon is gone now
            r = p.get(origin.url("/3"), ["Proxy-Authorization: NTLM " + TYPE1])
            self.assertIn(" 407 ", r.lines[0])
            self.assertEqual(["Proxy-Authenticate: NTLM"], offers(r))
            self.assertEqual([], origin.requests)
            self.assertTrue(p.proc.poll() is None)


if __name__ == "__main__":
    main()
