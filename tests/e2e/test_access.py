"""Access rules and proxy authentication through the real binary: who is
admitted, refused or challenged, with which answer, and what the logs keep."""
import base64
import os
import json
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

from harness import (BINARY, CONFIG_XML, Proxy, SimpleOrigin, get_request, main, read_all,
                     read_response, wait_for)

STANDIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ntlm_standin.py")

PAM_WRAPPER = "/usr/lib/x86_64-linux-gnu/libpam_wrapper.so"
PAM_MATRIX = "/usr/lib/x86_64-linux-gnu/pam_wrapper/pam_matrix.so"
PAM_SERVICE = "kvaccess"
USERS = [("alice", "s3cret"), ("bob", "pa"), ("carol", "Secret"), ("nopass", "")]


def rule(element, comment, clients="", mode="rule", user="", password="",
         permissions="interface,proxy,connect", listeners="", enabled=True):
    return ("<%s><enabled>%s</enabled><comment>%s</comment><logprofiles>false</logprofiles>"
            "<groups></groups><listeners>%s</listeners><clients>%s</clients><mode>%s</mode>"
            "<user>%s</user><password>%s</password><permissions>%s</permissions><bypass></bypass>"
            "<interfaceuser></interfaceuser><interfacepassword></interfacepassword>"
            "<profiles></profiles></%s>"
            % (element, "true" if enabled else "false", comment, listeners, clients, mode, user,
               password, permissions, element))


def config(order="allowfirst", allow=(), deny=(), ntlm=False, connect_port=None):
    """The shipped configuration with its access section replaced (and the
    CONNECT ports widened to one more port)."""
    with open(CONFIG_XML) as f:
        text = f.read()
    if connect_port:
        text = re.sub(r"<cportrange>(.*?)</cportrange>", r"<cportrange>\1,%d</cportrange>" % connect_port, text)
    section = ("<access><order>%s</order><ntlm>%s</ntlm>%s%s</access>"
               % (order, "true" if ntlm else "false",
                  "".join(rule("allow", *a) if isinstance(a, tuple) else a for a in allow),
                  "".join(rule("deny", *d) if isinstance(d, tuple) else d for d in deny)))
    return re.sub(r"<access>.*?</access>", section, text, count=1, flags=re.S)


def sanitizer_runtimes():
    """A sanitized binary needs its runtime first among preloaded libraries."""
    try:
        out = subprocess.run(["ldd", BINARY], capture_output=True, text=True, timeout=20).stdout
    except (OSError, subprocess.SubprocessError):
        return []
    return [line.split("=>")[1].split()[0] for line in out.splitlines()
            if "=>" in line and re.search(r"lib(asan|ubsan)\.so", line)]


class Pam:
    """A PAM service of its own through pam_wrapper and pam_matrix."""

    def __init__(self, users):
        self.dir = tempfile.mkdtemp(prefix="korvantel-pam-")
        passdb = os.path.join(self.dir, "passdb")
        with open(passdb, "w") as f:
            for user, password in users:
                f.write("%s:%s:%s\n" % (user, password, PAM_SERVICE))
        services = os.path.join(self.dir, "services")
        os.makedirs(services)
        with open(os.path.join(services, PAM_SERVICE), "w") as f:
            for kind in ("auth", "account"):
                f.write("%s required %s passdb=%s\n" % (kind, PAM_MATRIX, passdb))
        self.env = dict(os.environ, LD_PRELOAD=":".join(sanitizer_runtimes() + [PAM_WRAPPER]), PAM_WRAPPER="1",
                        PAM_WRAPPER_SERVICE_DIR=services)
        if sanitizer_runtimes():
            self.env["PAM_WRAPPER_DISABLE_DEEPBIND"] = "1"
        self.args = ["-x", PAM_SERVICE]

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def basic(credentials):
    return "Basic " + base64.b64encode(credentials.encode()).decode()


def request(url, headers=(), method="GET", body=b""):
    host = url.split("/")[2]
    lines = ["%s %s HTTP/1.1" % (method, url), "Host: %s" % host] + list(headers)
    if body:
        lines.append("Content-Length: %d" % len(body))
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def head_lines(sock, timeout=10):
    """Raw head lines of one response (keeps repeated headers) and the rest."""
    sock.settimeout(timeout)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    return head.decode("latin-1").split("\r\n"), rest


def closed(sock, timeout=5):
    """True when the peer closes without sending more (a reset counts: the
    proxy may close with unread bytes of ours)."""
    try:
        return read_all(sock, timeout) == b""
    except ConnectionResetError:
        return True


def connect_from(port, source):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(10)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


SYSTEM = ("system users", "127.0.0.1", "system")


class ShippedConfiguration(unittest.TestCase):
    def test_local_client_is_admitted(self):
        with SimpleOrigin() as origin, Proxy() as p:
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
            ("127.0.0.2", None, False),
            ("127.0.0.2", "127.0.0.1", False),
        ]
        with SimpleOrigin() as origin, Proxy() as p:
            for source, forwarded, admitted in cases:
                with self.subTest(source=source, forwarded=forwarded):
                    with connect_from(p.port, source) as s:
                        headers = ["X-Forwarded-For: %s" % forwarded] if forwarded else []
                        s.sendall(request(origin.url("/relay"), headers))
                        status, _, body = read_response(s)
                        if admitted:
                            self.assertEqual(200, status)
                            self.assertEqual(b"hello from origin\n", body)
                        else:
                            self.assertIn(b"Access denied", body)
                            self.assertTrue(closed(s))  # closed after the refusal
            self.assertEqual(2, len(origin.requests))


class Refusal(unittest.TestCase):
    def test_refusal_page_and_log_records(self):
        with SimpleOrigin() as origin, Proxy(config=config(allow=[], deny=[])) as p:
            with p.connect() as s:
                s.sendall(request(origin.url("/refused")))
                status, headers, body = read_response(s)
                self.assertEqual(200, status)  # the template gives no status of its own
                self.assertIn(b"Access denied", body)
                self.assertEqual("close", headers.get("connection"))
                self.assertTrue(closed(s))
            self.assertTrue(p.wait_log("TCP_DENIED", "access"))
            line = [l for l in p.log("access").splitlines() if "TCP_DENIED" in l][0]
            self.assertIn(origin.url("/refused"), line)
            self.assertTrue(p.wait_log("access-section", "extended"))
            self.assertIn("access policy restrictions", p.log("extended"))
            self.assertIn("access policy has refused connection on port %d" % p.port, p.log())
            self.assertIn("[IP:127.0.0.1] Access Denied by Access Restrictions", p.log())
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
        with SimpleOrigin() as origin:
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
                proxy = Proxy(config="")  # the port is chosen here; the configuration follows
                entry = listener % proxy.port if "%d" in listener else listener
                with open(proxy.config_path, "w") as f:
                    f.write(config("allowfirst", [("listener", "", "rule", "", "", "proxy", entry)]))
                with SimpleOrigin() as origin, proxy as p:
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
        with SimpleOrigin() as origin, self.proxy() as p:
            for value, expected in cases:
                with self.subTest(value=value[:40]):
                    with p.connect() as s:
                        s.sendall(request(origin.url("/auth"), ["Proxy-Authorization: " + value]))
                        status, headers, body = read_response(s)
                        self.assertEqual(expected, status)
                        if expected == 407:
                            self.assertEqual('Basic realm="localhost"', headers.get("proxy-authenticate"))
                        if expected == 200:
                            self.assertEqual(b"hello from origin\n", body)
            self.assertEqual(2, len(origin.requests))
            self.assertTrue(p.wait_log("alice@127.0.0.1", "access"))
            self.assertIn("bob@127.0.0.1", p.log("access"))
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
        with SimpleOrigin() as origin, self.proxy() as p:
            for credentials, expected in cases:
                with self.subTest(credentials=credentials):
                    with p.connect() as s:
                        s.sendall(request(origin.url("/case"), ["Proxy-Authorization: " + basic(credentials)]))
                        status, _, _ = read_response(s)
                        self.assertEqual(expected, status)

    def test_curl_with_proxy_user(self):
        with SimpleOrigin() as origin, self.proxy() as p:
            code, out, err = p.curl(origin.url("/curl"), "--proxy-user", "alice:s3cret")
            self.assertIn(b"hello from origin", out)
            code, out, err = p.curl(origin.url("/curl"), "--proxy-user", "alice:nope")
            self.assertIn(b"407", out.split(b"\r\n")[0])

    def test_keepalive_after_challenge(self):
        with SimpleOrigin() as origin, self.proxy() as p:
            with p.connect() as s:
                s.sendall(request(origin.url("/first")))
                status, headers, body = read_response(s)
                self.assertEqual(407, status)
                self.assertEqual("keep-alive", headers.get("connection"))
                self.assertEqual(b"", body)
                # the same connection, now with credentials
                s.sendall(request(origin.url("/second"), ["Proxy-Authorization: " + basic("alice:s3cret")]))
                status, _, body = read_response(s)
                self.assertEqual(200, status)
                self.assertEqual(b"hello from origin\n", body)
                # wrong credentials afterwards: challenged again, still open
                s.sendall(request(origin.url("/third"), ["Proxy-Authorization: " + basic("alice:bad")]))
                status, _, _ = read_response(s)
                self.assertEqual(407, status)
                s.sendall(request(origin.url("/fourth"), ["Proxy-Authorization: " + basic("alice:s3cret")]))
                status, _, _ = read_response(s)
                self.assertEqual(200, status)
            self.assertEqual(["GET /second HTTP/1.1", "GET /fourth HTTP/1.1"], origin.requests)

    def test_connect_is_challenged_then_tunnelled(self):
        with SimpleOrigin() as origin:
            with self.proxy(connect_port=origin.port) as p, p.connect() as s:
                target = "127.0.0.1:%d" % origin.port
                s.sendall(("CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (target, target)).encode())
                status, _, _ = read_response(s)
                self.assertEqual(407, status)
                s.sendall(("CONNECT %s HTTP/1.1\r\nHost: %s\r\nProxy-Authorization: %s\r\n\r\n"
                           % (target, target, basic("alice:s3cret"))).encode())
                lines, rest = head_lines(s)
                self.assertIn(" 200", lines[0])
                s.sendall(get_request(origin.url("/tunnelled")))
                status, _, body = read_response(s)
                self.assertEqual(200, status)
                self.assertEqual(b"hello from origin\n", body)

    def test_origin_form_is_challenged_with_401(self):
        allow = [("system users", "127.0.0.1", "system", "", "", "interface,proxy,origin,transparent")]
        with SimpleOrigin() as origin, self.proxy(allow=allow) as p:
            with p.connect() as s:
                host = "Host: 127.0.0.1:%d" % origin.port
                s.sendall(("GET /transparent HTTP/1.1\r\n%s\r\n\r\n" % host).encode())
                lines, _ = head_lines(s)
                self.assertIn(" 401 ", lines[0])
                self.assertIn('WWW-Authenticate: Basic realm="localhost"', lines)
                # Proxy credentials do not count for an origin-form request.
                s.sendall(("GET /transparent HTTP/1.1\r\n%s\r\nProxy-Authorization: %s\r\n\r\n"
                           % (host, basic("alice:s3cret"))).encode())
                lines, _ = head_lines(s)
                self.assertIn(" 401 ", lines[0])

    def test_ntlm_offered_with_basic(self):
        with SimpleOrigin() as origin, self.proxy(ntlm=True) as p:
            with p.connect() as s:
                s.sendall(request(origin.url("/ntlm")))
                lines, _ = head_lines(s)
                self.assertIn(" 407 ", lines[0])
                offers = [l for l in lines if l.startswith("Proxy-Authenticate:")]
                self.assertEqual(["Proxy-Authenticate: NTLM", 'Proxy-Authenticate: Basic realm="localhost"'],
                                 offers)

    def test_refused_post_body_is_not_a_request(self):
        smuggled = None
        with SimpleOrigin() as origin, self.proxy() as p:
            smuggled = request(origin.url("/smuggled"))
            cases = [
                # extra request headers, body
                ([], smuggled),
                (["Proxy-Authorization: " + basic("alice:bad")], smuggled),
                (["Proxy-Authorization: " + basic("alicenocolon")], smuggled),
            ]
            for headers, body in cases:
                with self.subTest(headers=headers):
                    with p.connect() as s:
                        s.sendall(request(origin.url("/post"), headers, "POST", body))
                        status, _, _ = read_response(s)
                        self.assertIn(status, (404, 407))
                        # whatever follows on the connection, the body was no request
                        try:
                            s.sendall(request(origin.url("/after"), ["Proxy-Authorization: " +
                                                                     basic("alice:s3cret")]))
                            read_response(s)
                        except OSError:
                            pass
            # A body too large to be buffered: the connection closes after the challenge.
            with p.connect() as s:
                big = smuggled * (2 * 1024 * 1024 // len(smuggled) + 1)
                s.sendall(("POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n"
                           % (origin.url("/big"), len(big))).encode())
                status, headers, _ = read_response(s)
                self.assertEqual(407, status)
                self.assertEqual("close", headers.get("connection"))
                try:
                    s.sendall(big[:65536])
                except OSError:
                    pass
                self.assertTrue(closed(s))
            self.assertNotIn("GET /smuggled HTTP/1.1", origin.requests)
            self.assertNotIn("/smuggled", p.log("access"))
            self.assertTrue(p.proc.poll() is None)


def ntlm_message(kind):
    body = struct.pack("<I", kind) + (b"\x07\x82\x08\x00" + b"\0" * 16 if kind == 1 else b"\0" * 52)
    return base64.b64encode(b"NTLMSSP\0" + body).decode()


TYPE1 = ntlm_message(1)
TYPE3 = ntlm_message(3)


class NtlmDaemon:
    """The stand-in authentication daemon on the proxy's socket directory."""

    def __init__(self, directory, script):
        self.path = os.path.join(directory, "httpauthd.sock")
        self.script = os.path.join(directory, "standin.json")
        self.record = os.path.join(directory, "standin.record")
        with open(self.script, "w") as f:
            json.dump(script, f)

    def __enter__(self):
        self.proc = subprocess.Popen([sys.executable, STANDIN, self.path, self.script, self.record])
        if not wait_for(lambda: os.path.exists(self.path), 10):
            raise RuntimeError("NTLM stand-in did not start")
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(10)

    def requests(self):
        try:
            with open(self.record, encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""


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
        with SimpleOrigin() as origin, self.proxy() as p, NtlmDaemon(p.dir, self.SCRIPT) as daemon:
            with p.connect() as s:
                s.sendall(request(origin.url("/1"), ["Proxy-Authorization: NTLM " + TYPE1]))
                lines, _ = head_lines(s)
                self.assertIn(" 407 ", lines[0])
                offers = [l for l in lines if l.startswith("Proxy-Authenticate:")]
                self.assertEqual(["Proxy-Authenticate: NTLM CHALLENGE1"], offers)
                self.assertIn("Connection: keep-alive", lines)

                s.sendall(request(origin.url("/2"), ["Proxy-Authorization: NTLM " + TYPE3]))
                status, _, body = read_response(s)
                self.assertEqual(200, status)
                self.assertEqual(b"hello from origin\n", body)

                # Later requests on the connection need no header.
                s.sendall(request(origin.url("/3")))
                status, _, _ = read_response(s)
                self.assertEqual(200, status)

                # Basic credentials of another user are checked like any others.
                s.sendall(request(origin.url("/4"), ["Proxy-Authorization: " + basic("mallory:guess")]))
                status, headers, _ = read_response(s)
                self.assertEqual(407, status)
            self.assertEqual(["GET /2 HTTP/1.1", "GET /3 HTTP/1.1"], origin.requests)
            self.assertTrue(p.wait_log("alice@127.0.0.1", "access"))
            self.assertIn("user [alice] authenticated from Domain Controller", p.log())
            self.assertIn("Authorization: NTLM " + TYPE1, daemon.requests())
            self.assertNotIn("mallory@", p.log("access"))

    def test_negotiate_on_origin_form(self):
        allow = [("system users", "127.0.0.1", "system", "", "", "interface,proxy,origin,transparent")]
        with SimpleOrigin() as origin, self.proxy(allow) as p, NtlmDaemon(p.dir, self.SCRIPT):
            with p.connect() as s:
                host = "Host: 127.0.0.1:%d" % origin.port
                s.sendall(("GET /o HTTP/1.1\r\n%s\r\nAuthorization: Negotiate %s\r\n\r\n"
                           % (host, TYPE1)).encode())
                lines, _ = head_lines(s)
                self.assertIn(" 401 ", lines[0])
                self.assertEqual(["WWW-Authenticate: NTLM CHALLENGE1"],
                                 [l for l in lines if l.startswith("WWW-Authenticate:")])

    def test_refused_type3_and_missing_daemon(self):
        script = {"step1": "200 401 -\n", "step2": {TYPE1: "200 401 CHALLENGE1\n", TYPE3: "200 401 -\n"}}
        with SimpleOrigin() as origin, self.proxy() as p:
            with NtlmDaemon(p.dir, script), p.connect() as s:
                s.sendall(request(origin.url("/1"), ["Proxy-Authorization: NTLM " + TYPE1]))
                read_response(s)
                s.sendall(request(origin.url("/2"), ["Proxy-Authorization: NTLM " + TYPE3]))
                lines, _ = head_lines(s)
                self.assertIn(" 407 ", lines[0])
                self.assertIn("failed to complete NTLM authentication", p.log())
            # the daemon is gone now
            with p.connect() as s:
                s.sendall(request(origin.url("/3"), ["Proxy-Authorization: NTLM " + TYPE1]))
                lines, _ = head_lines(s)
                self.assertIn(" 407 ", lines[0])
                self.assertEqual(["Proxy-Authenticate: NTLM"],
                                 [l for l in lines if l.startswith("Proxy-Authenticate:")])
            self.assertEqual([], origin.requests)
            self.assertTrue(p.proc.poll() is None)


if __name__ == "__main__":
    main()
