"""Upstream connections through the real daemon: the "https" URL command
towards openssl s_server, CONNECT tunnels, and every kind of parent chosen
by a forwarding rule against real peers on loopback (squid as HTTP parent,
plain and asking for Basic or NTLM credentials, and as a parent reached
through CONNECT; dante as SOCKS4 and SOCKS5 server). A scenario skips when
its peer program is not installed."""
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import unittest

from harness import CONFIG_XML, Proxy, SimpleOrigin, free_port, main, port_open, terminate, wait_for

SQUID = "/usr/sbin/squid"
DANTED = "/usr/sbin/danted"


def config(permissions=None, forward=None, cportrange=None):
    """The shipped configuration with the first allow rule's permissions,
    forwarding rules (dicts of field values) and the CONNECT ports set."""
    with open(CONFIG_XML) as f:
        text = f.read()
    if permissions is not None:
        start = text.index("<allow>")
        text = text[:start] + re.sub(r"<permissions>[^<]*</permissions>",
                                     "<permissions>%s</permissions>" % permissions, text[start:], count=1)
    if cportrange is not None:
        start = text.index("<general>")
        text = text[:start] + re.sub(r"<cportrange>[^<]*</cportrange>",
                                     "<cportrange>%s</cportrange>" % cportrange, text[start:], count=1)
    if forward:
        rules = ""
        for rule in forward:
            fields = [("enabled", "true"), ("comment", ""), ("profiles", ""), ("host", "127.0.0.1"),
                      ("user", ""), ("password", ""), ("domain", ""), ("port", "-1"), ("icptype", "0"),
                      ("icpport", "3130"), ("type", "0"), ("protocols", "http,ftp,connect")]
            rules += "<rule>" + "".join("<%s>%s</%s>" % (k, rule.get(k, v), k) for k, v in fields) + "</rule>"
        end = text.index("</forward>")
        text = text[:end] + rules + text[end:]
    return text


class Peer:
    """A program in the foreground with its files in a temp dir."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="korvantel-peer-")
        os.chmod(self.dir, 0o777)  # squid drops its privileges
        self.port = free_port()
        self.proc = None

    def start(self, argv):
        self.proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: port_open(self.port) or self.proc.poll() is not None, 20) \
                or not port_open(self.port):
            self.stop()
            raise unittest.SkipTest("%s did not start" % argv[0])
        return self

    def stop(self):
        terminate(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o644)
        return path


class Squid(Peer):
    """squid as a parent on loopback; auth: None, "basic" (user:pass) or
    "ntlm" (any credentials)."""

    def __init__(self, auth=None):
        super().__init__()
        if not os.access(SQUID, os.X_OK):
            raise unittest.SkipTest("squid is not installed")
        conf = ("http_port 127.0.0.1:%d\npid_filename %s/squid.pid\ncache_log %s/cache.log\n"
                "access_log %s/access.log\ncache deny all\ncache_mem 8 MB\nshutdown_lifetime 0 seconds\n"
                % (self.port, self.dir, self.dir, self.dir))
        if auth == "basic":
            # "pass" under the Apache MD5 scheme
            passwd = self.write("passwd", "user:$apr1$salt$PpWzcWfv9ciAa7y7Qlj7F0\n")
            conf += ("auth_param basic program /usr/lib/squid/basic_ncsa_auth %s\nauth_param basic children 1\n"
                     "acl authed proxy_auth REQUIRED\nhttp_access allow localhost authed\n" % passwd)
        elif auth == "ntlm":
            conf += ("auth_param ntlm program /usr/lib/squid/ntlm_fake_auth\nauth_param ntlm children 1\n"
                     "acl authed proxy_auth REQUIRED\nhttp_access allow localhost authed\n")
        else:
            conf += "http_access allow localhost\n"
        conf += "http_access deny all\n"
        path = self.write("squid.conf", conf)
        # A service name of its own keeps it apart from any other squid.
        self.start([SQUID, "-N", "-n", "kv%d" % self.port, "-f", path])

    def access_log(self):
        try:
            with open(os.path.join(self.dir, "access.log")) as f:
                return f.read()
        except OSError:
            return ""


class Dante(Peer):
    def __init__(self):
        super().__init__()
        if not os.access(DANTED, os.X_OK):
            raise unittest.SkipTest("danted is not installed")
        path = self.write("danted.conf",
                          "logoutput: %s/danted.log\ninternal: 127.0.0.1 port = %d\nexternal: 127.0.0.1\n"
                          "socksmethod: none\nclientmethod: none\n"
                          "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                          "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n" % (self.dir, self.port))
        self.start([DANTED, "-f", path, "-N", "1", "-p", os.path.join(self.dir, "danted.pid")])


class TlsServer(Peer):
    """openssl s_server answering every request with its status page."""

    def __init__(self):
        super().__init__()
        if not shutil.which("openssl"):
            raise unittest.SkipTest("openssl is not installed")
        key, cert = os.path.join(self.dir, "key.pem"), os.path.join(self.dir, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                        "-keyout", key, "-out", cert, "-days", "1"], check=True, capture_output=True)
        self.start(["openssl", "s_server", "-accept", "127.0.0.1:%d" % self.port, "-cert", cert, "-key", key,
                    "-www", "-quiet"])


def status_of(out):
    """Status of the last response head curl printed (-i shows every head)."""
    codes = re.findall(rb"^HTTP/1\.[01] (\d{3})", out, re.M)
    return int(codes[-1]) if codes else None


def read_head(sock):
    head = b""
    for _ in range(65536):
        if b"\r\n\r\n" in head:
            break
        chunk = sock.recv(1)
        if not chunk:
            break
        head += chunk
    return head


def tls_get(sock):
    """One GET over TLS on an open tunnel; the whole answer."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    tls = context.wrap_socket(sock, server_hostname="localhost")
    tls.sendall(b"GET / HTTP/1.0\r\n\r\n")
    data = b""
    for _ in range(10000):
        chunk = tls.recv(65536)
        if not chunk:
            break
        data += chunk
    tls.close()
    return data


class HttpsCommandTest(unittest.TestCase):
    def test_https_command_reaches_a_tls_origin(self):
        with TlsServer() as tls, Proxy(config=config(permissions="interface,proxy,connect,urlcommands")) as p:
            code, out, err = p.curl("http://xx--https.127.0.0.1:%d/" % tls.port)
            self.assertEqual(code, 0, err)
            self.assertEqual(status_of(out), 200, out[:300])
            self.assertIn(b"s_server", out)

    def test_without_permission_the_command_is_dropped(self):
        with TlsServer() as tls, Proxy() as p:
            code, out, err = p.curl("http://xx--https.127.0.0.1:%d/" % tls.port)
            # Plain HTTP to a TLS server: no usable answer.
            self.assertNotIn(b"s_server", out)


class ConnectTest(unittest.TestCase):
    def tunnel(self, p, port):
        sock = p.connect()
        sock.sendall(("CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (port, port)).encode())
        return sock, read_head(sock)

    def test_tunnel_through_an_http_parent(self):
        """The client gets this proxy's own confirmation, not the parent's."""
        with TlsServer() as tls, Squid("basic") as squid, \
                Proxy(config=config(cportrange=str(tls.port),
                                    forward=[{"port": squid.port, "user": "user", "password": "pass"}])) as p:
            sock, head = self.tunnel(p, tls.port)
            self.assertEqual(head, b"HTTP/1.1 200 Connection Established\r\n\r\n")
            self.assertTrue(tls_get(sock).startswith(b"HTTP/1.0 200"))
            self.assertTrue(wait_for(lambda: "CONNECT 127.0.0.1:%d" % tls.port in squid.access_log(), 10))
            self.assertTrue(p.wait_log('"CONNECT connect://127.0.0.1:%d/" 200' % tls.port, "extended"),
                            p.log("extended"))

    def test_parent_refusing_the_tunnel(self):
        with TlsServer() as tls, Squid("basic") as squid, \
                Proxy(config=config(cportrange=str(tls.port),
                                    forward=[{"port": squid.port, "user": "user", "password": "wrong"}])) as p:
            sock, head = self.tunnel(p, tls.port)
            self.assertTrue(head.startswith(b"HTTP/1.1 503"), head)
            sock.close()
            self.assertTrue(p.wait_log("request: failed CONNECT to 127.0.0.1:%d" % tls.port), p.log())


class ParentTest(unittest.TestCase):
    def through(self, forward, check):
        """curl through the daemon to an origin with these forwarding
        rules; check(output, request lines the origin saw, proxy)."""
        with SimpleOrigin() as origin, Proxy(config=config(forward=forward)) as p:
            code, out, err = p.curl(origin.url("/via-parent"))
            check(out, list(origin.requests), p)

    def test_http_parent(self):
        with Squid() as squid:
            def check(out, seen, p):
                self.assertEqual(status_of(out), 200, out[:300])
                self.assertIn(b"hello from origin", out)
                self.assertEqual(seen, ["GET /via-parent HTTP/1.1"])
                self.assertTrue(wait_for(lambda: "/via-parent" in squid.access_log(), 10))
            self.through([{"port": squid.port}], check)

    def test_basic_credentials_answer_the_407(self):
        with Squid("basic") as squid:
            def check(out, seen, p):
                self.assertEqual(status_of(out), 200, out[:300])
                self.assertEqual(len(seen), 1)
            self.through([{"port": squid.port, "user": "user", "password": "pass"}], check)

    def test_wrong_credentials_pass_the_407_on_without_its_challenge(self):
        with Squid("basic") as squid:
            def check(out, seen, p):
                self.assertEqual(status_of(out), 407, out[:300])
                self.assertNotIn(b"proxy-authenticate", out.lower())
                self.assertEqual(seen, [])
            self.through([{"port": squid.port, "user": "user", "password": "wrong"}], check)

    def test_ntlm_credentials_answer_the_407(self):
        with Squid("ntlm") as squid:
            def check(out, seen, p):
                self.assertEqual(status_of(out), 200, out[:300])
                self.assertEqual(len(seen), 1)
            self.through([{"port": squid.port, "user": "alice", "password": "secret", "domain": "EXAMPLE"}],
                         check)

    def test_parent_reached_through_connect(self):
        with Squid() as squid:
            def check(out, seen, p):
                self.assertEqual(status_of(out), 200, out[:300])
                self.assertEqual(seen, ["GET /via-parent HTTP/1.1"])
            self.through([{"port": squid.port, "type": "3"}], check)
            # squid logs a tunnel when it closes, which the daemon's end did.
            self.assertTrue(wait_for(lambda: "CONNECT 127.0.0.1:" in squid.access_log(), 10), squid.access_log())
            self.assertNotIn("GET http://", squid.access_log())

    def test_socks4_and_socks5(self):
        with Dante() as dante:
            for kind in ("1", "2"):
                def check(out, seen, p):
                    self.assertEqual(status_of(out), 200, (kind, out[:300]))
                    self.assertEqual(seen, ["GET /via-parent HTTP/1.1"])
                self.through([{"port": dante.port, "type": kind}], check)

    def test_unreachable_parent(self):
        def check(out, seen, p):
            self.assertEqual(status_of(out), 503, out[:300])
            self.assertTrue(p.wait_log("network: connection to proxy server failed"), p.log())
            self.assertEqual(seen, [])
        self.through([{"port": free_port()}], check)


if __name__ == "__main__":
    main()
