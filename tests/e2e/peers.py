"""The daemon's peers on loopback, each started on a free port with its
files in a temp dir and stopped by pid; all are context managers.

    with Nginx({"a.bin": data}) as origin, Squid(auth="basic", users={"u": "pw"}) as parent, \\
            Proxy(config=Config().add("forward/rule", host="127.0.0.1", port=parent.port,
                                      user="u", password="pw")) as p:
        assert p.get(origin.url("/a.bin")).body == data
        assert ("GET", origin.url("/a.bin")) in [(e[1], e[2]) for e in parent.log()]

Real programs: Nginx (origin), Squid (HTTP parent), Dante (SOCKS4/5),
TlsServer (openssl s_server), Clamd (clamav-daemon with a signature of its
own), CIcap (c-icap with its echo service), FtpServer (pyftpdlib). Python
stand-ins for what no real server does: StandinOrigin with scripted
answers (origin.py), hello_origin() answering every path, IcpStandin
(icp_standin.py), NtlmStandin (ntlm_standin.py), Pam (a PAM service of its
own through pam_wrapper), the scanner daemons and odd ICAP replies
(scanner_standins.py), odd FTP servers (FtpStandin, ftp_standin.py).
socks_standin.py serves the network unit tests. A peer whose program is not
installed skips the test.
"""
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

from harness import BINARY, Proxy, free_port, port_open, terminate, wait_for
from icp_standin import HEADER, IcpStandin, query_packet  # noqa: F401 (re-exported)
from origin import RESET, StandinOrigin, Stall, chunked, response  # noqa: F401 (re-exported)
from scanner_standins import (SIGNATURE, ClamStreamStandin, FProtStandin, IcapStandin,  # noqa: F401
                              KasperskyStandin, SophieStandin)
from ftp_standin import FtpStandin  # noqa: F401 (re-exported)

HERE = os.path.dirname(os.path.abspath(__file__))
NGINX = "/usr/sbin/nginx"
SQUID = "/usr/sbin/squid"
DANTED = "/usr/sbin/danted"
CLAMD = "/usr/sbin/clamd"
C_ICAP = "/usr/bin/c-icap"
C_ICAP_MODULES = "/usr/lib/x86_64-linux-gnu/c_icap"
NTLM_FAKE = "/usr/lib/squid/ntlm_fake_auth"
BASIC_NCSA = "/usr/lib/squid/basic_ncsa_auth"
SYSTEM_PYTHON = "/usr/bin/python3"
PAM_WRAPPER = "/usr/lib/x86_64-linux-gnu/libpam_wrapper.so"
PAM_MATRIX = "/usr/lib/x86_64-linux-gnu/pam_wrapper/pam_matrix.so"

HELLO = b"hello from origin\n"


def hello_origin(body=HELLO):
    """A keep-alive origin answering every request with body."""
    return StandinOrigin({"*": response(200, body, [("Content-Type", "text/plain")])})


def require(program):
    if not (os.access(program, os.X_OK) or shutil.which(program)):
        raise unittest.SkipTest("%s is not installed" % program)


class Peer:
    """A program in the foreground with its files in a temp dir."""

    name = "peer"

    def __init__(self, address="127.0.0.1"):
        self.address = address
        self.dir = tempfile.mkdtemp(prefix="korvantel-%s-" % self.name)
        os.chmod(self.dir, 0o777)  # squid and nginx drop their privileges
        self.port = free_port()
        self.proc = None

    def write(self, name, text, mode=0o644):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def read(self, name):
        try:
            with open(os.path.join(self.dir, name), encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def argv(self):
        raise NotImplementedError

    def start(self, timeout=20):
        self.proc = subprocess.Popen(self.argv(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: port_open(self.port, self.address) or self.proc.poll() is not None, timeout) \
                or self.proc.poll() is not None:
            self.stop()
            raise RuntimeError("%s did not start" % self.name)
        return self

    def stop(self):
        terminate(self.proc, 15)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def url(self, path="/"):
        return "http://%s:%d%s" % (self.address, self.port, path)


class Nginx(Peer):
    """nginx-light serving files ({relative path: bytes}), with gzip for
    text/plain when asked; extra: more lines for its http block."""

    name = "nginx"

    def __init__(self, files=None, gzip=False, extra=""):
        require(NGINX)
        super().__init__()
        self.root = os.path.join(self.dir, "root")
        for name, data in (files or {}).items():
            path = os.path.join(self.root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        os.makedirs(self.root, exist_ok=True)
        user = "user root;\n" if os.geteuid() == 0 else ""
        d = self.dir
        self.conf = self.write("nginx.conf", (
            "%sdaemon off;\nworker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\n"
            "events { worker_connections 256; }\n"
            "http {\n  access_log %s/access.log;\n  client_body_temp_path %s/body;\n"
            "  proxy_temp_path %s/proxy;\n  fastcgi_temp_path %s/fastcgi;\n"
            "  uwsgi_temp_path %s/uwsgi;\n  scgi_temp_path %s/scgi;\n"
            "  types { text/html html; text/plain txt; text/css css; application/octet-stream bin; }\n"
            "  keepalive_requests 10000;\n"
            "  %s\n  %s\n"
            "  server { listen 127.0.0.1:%d; root %s; }\n}\n"
            % (user, d, d, d, d, d, d, d, d,
               "gzip on; gzip_types text/plain; gzip_min_length 20; gzip_proxied any;" if gzip else "gzip off;",
               extra, self.port, self.root)))

    def argv(self):
        return [NGINX, "-c", self.conf, "-p", self.dir]

    def log(self):
        """nginx's access log."""
        return self.read("access.log")


class Squid(Peer):
    """squid as a parent without a cache. auth: None, "basic" (users:
    {name: password}) or "ntlm" (any credentials). Its access log records
    the Proxy-Authorization it got."""

    name = "squid"

    def __init__(self, auth=None, users=None, address="127.0.0.1"):
        require(SQUID)
        super().__init__(address)
        conf = ["http_port %s:%d" % (address, self.port),
                "pid_filename %s/squid.pid" % self.dir,
                "cache_log %s/cache.log" % self.dir,
                "logformat forward %{Proxy-Authorization}>h %rm %ru %>Hs",
                "access_log %s/access.log forward" % self.dir,
                "cache deny all", "cache_mem 8 MB", "shutdown_lifetime 0 seconds",
                "acl loopback src 127.0.0.0/8"]
        if auth == "basic":
            lines = ""
            for user, password in (users or {}).items():
                digest = subprocess.run(["openssl", "passwd", "-apr1", "-salt", "salt", password],
                                        capture_output=True, text=True, check=True).stdout.strip()
                lines += "%s:%s\n" % (user, digest)
            conf += ["auth_param basic program %s %s" % (BASIC_NCSA, self.write("passwd", lines)),
                     "auth_param basic children 1"]
        elif auth == "ntlm":
            require(NTLM_FAKE)
            conf += ["auth_param ntlm program %s" % NTLM_FAKE, "auth_param ntlm children 1"]
        if auth:
            conf += ["acl authed proxy_auth REQUIRED", "http_access allow loopback authed"]
        else:
            conf += ["http_access allow loopback"]
        self.conf = self.write("squid.conf", "\n".join(conf + ["http_access deny all"]) + "\n")

    def argv(self):
        # A service name of its own keeps the shared-memory names of
        # concurrent squids apart.
        return [SQUID, "-N", "-n", "kv%d" % self.port, "-f", self.conf]

    def log_text(self):
        return self.read("access.log")

    def log(self):
        """[(Proxy-Authorization or None, method, URL, status)]"""
        out = []
        for line in self.log_text().splitlines():
            parts = line.split()
            if len(parts) == 4:
                auth = None if parts[0] == "-" else urllib.parse.unquote(parts[0])
                out.append((auth, parts[1], parts[2], parts[3]))
        return out

    def wait_log(self, predicate, timeout=10):
        return wait_for(lambda: predicate(self.log()), timeout)

    def urls(self):
        return [entry[2] for entry in self.log()]


class Dante(Peer):
    """danted for SOCKS4 and SOCKS5 without authentication, logging every
    relayed connection."""

    name = "dante"

    def __init__(self):
        require(DANTED)
        super().__init__()
        self.conf = self.write("danted.conf",
                               "logoutput: %s/danted.log\ninternal: 127.0.0.1 port = %d\nexternal: 127.0.0.1\n"
                               "socksmethod: none\nclientmethod: none\n"
                               "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                               "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect }\n"
                               % (self.dir, self.port))

    def argv(self):
        return [DANTED, "-f", self.conf, "-N", "1", "-p", os.path.join(self.dir, "danted.pid")]

    def log(self):
        return self.read("danted.log")

    def relayed_ports(self):
        """Target ports of the connections it relayed, in order."""
        return [int(p) for p in re.findall(r"tcp/connect \[: \S+ \S+ -> \S+ 127\.0\.0\.1\.(\d+)", self.log())]


class TlsServer(Peer):
    """openssl s_server with a fresh self-signed certificate, answering
    every request with its status page (-www)."""

    name = "tls"

    def __init__(self):
        require("openssl")
        super().__init__()
        self.key, self.cert = os.path.join(self.dir, "key.pem"), os.path.join(self.dir, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                        "-keyout", self.key, "-out", self.cert, "-days", "1"], check=True, capture_output=True)

    def argv(self):
        return ["openssl", "s_server", "-accept", "127.0.0.1:%d" % self.port, "-cert", self.cert,
                "-key", self.key, "-www", "-quiet"]


class Clamd(Peer):
    """clamav-daemon on a Unix socket (`path`) and a loopback TCP port, with
    a database of one signature of its own: SIGNATURE anywhere in a body is
    "Korvantel.Test.Sig.UNOFFICIAL". Nothing is downloaded."""

    name = "clamd"

    def __init__(self):
        require(CLAMD)
        super().__init__()
        self.path = os.path.join(self.dir, "clamd.sock")
        self.write("test.ndb", "Korvantel.Test.Sig:0:*:%s\n" % SIGNATURE.hex())
        self.conf = self.write("clamd.conf", (
            "LocalSocket %s\nTCPSocket %d\nTCPAddr 127.0.0.1\nDatabaseDirectory %s\nForeground yes\n"
            "LogFile %s/clamd.log\nPidFile %s/clamd.pid\nMaxThreads 4\nSelfCheck 3600\n"
            % (self.path, self.port, self.dir, self.dir, self.dir)))

    def argv(self):
        return [CLAMD, "-c", self.conf]

    def start(self, timeout=90):
        # loading even one signature takes clamd a few seconds
        return super().start(timeout)


class CIcap(Peer):
    """c-icap on a loopback port with its echo service ("/echo"), which
    sends back what it gets with a Via line of its own."""

    name = "c-icap"

    def __init__(self):
        require(C_ICAP)
        super().__init__()
        d = self.dir
        self.conf = self.write("c-icap.conf", (
            "PidFile %s/c-icap.pid\nCommandsSocket %s/c-icap.ctl\nTimeout 30\nMaxKeepAliveRequests 100\n"
            "KeepAliveTimeout 600\nStartServers 1\nMaxServers 1\nMinSpareThreads 2\nMaxSpareThreads 8\n"
            "ThreadsPerChild 8\nPort 127.0.0.1:%d\nTmpDir %s\nMaxMemObject 131072\nDebugLevel 1\n"
            "ModulesDir %s\nServicesDir %s\nServerLog %s/server.log\nAccessLog %s/access.log\n"
            "Service echo srv_echo.so\n" % (d, d, self.port, d, C_ICAP_MODULES, C_ICAP_MODULES, d, d)))

    def argv(self):
        return [C_ICAP, "-N", "-f", self.conf]

    def children(self):
        found = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open("/proc/%s/stat" % entry) as f:
                        if int(f.read().split(")")[-1].split()[1]) == self.proc.pid:
                            found.append(int(entry))
                except (OSError, ValueError, IndexError):
                    pass
        return found

    def stop(self):
        # the server's own children are stopped by pid too
        children = self.children() if self.proc else []
        terminate(self.proc, 15)
        for pid in children:
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)

    def access_log(self):
        return self.read("access.log")


class NtlmStandin:
    """The stand-in NTLM authentication daemon on the proxy's socket
    directory (-y), answering as script says (see ntlm_standin.py)."""

    def __init__(self, directory, script):
        self.path = os.path.join(directory, "httpauthd.sock")
        self.script = os.path.join(directory, "standin.json")
        self.record = os.path.join(directory, "standin.record")
        with open(self.script, "w") as f:
            json.dump(script, f)
        self.proc = None

    def __enter__(self):
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "ntlm_standin.py"), self.path,
                                      self.script, self.record])
        if not wait_for(lambda: os.path.exists(self.path), 10):
            terminate(self.proc)
            raise RuntimeError("NTLM stand-in did not start")
        return self

    def __exit__(self, *exc):
        terminate(self.proc)

    def requests(self):
        try:
            with open(self.record, encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""


def sanitizer_runtimes():
    """A sanitized binary needs its runtime first among preloaded libraries."""
    try:
        out = subprocess.run(["ldd", BINARY], capture_output=True, text=True, timeout=20).stdout
    except (OSError, subprocess.SubprocessError):
        return []
    return [line.split("=>")[1].split()[0] for line in out.splitlines()
            if "=>" in line and re.search(r"lib(asan|ubsan)\.so", line)]


class Pam:
    """A PAM service of its own through pam_wrapper and pam_matrix, for
    users [(name, password)]: start the daemon with args and env."""

    service = "kvaccess"

    def __init__(self, users):
        self.dir = tempfile.mkdtemp(prefix="korvantel-pam-")
        passdb = os.path.join(self.dir, "passdb")
        with open(passdb, "w") as f:
            for user, password in users:
                f.write("%s:%s:%s\n" % (user, password, self.service))
        services = os.path.join(self.dir, "services")
        os.makedirs(services)
        with open(os.path.join(services, self.service), "w") as f:
            for kind in ("auth", "account"):
                f.write("%s required %s passdb=%s\n" % (kind, PAM_MATRIX, passdb))
        runtimes = sanitizer_runtimes()
        self.env = dict(os.environ, LD_PRELOAD=":".join(runtimes + [PAM_WRAPPER]), PAM_WRAPPER="1",
                        PAM_WRAPPER_SERVICE_DIR=services)
        if runtimes:
            self.env["PAM_WRAPPER_DISABLE_DEEPBIND"] = "1"
        self.args = ["-x", self.service]

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


SLAPD = "/usr/sbin/slapd"
DNSMASQ = "/usr/sbin/dnsmasq"


class Slapd(Peer):
    """slapd with a throw-away slapd.conf and database on a free loopback
    port; start() loads the entries of ldif (LDIF text) through ldapadd as
    the root DN "cn=admin,dc=test" (password "admin-secret")."""

    name = "slapd"

    def __init__(self, ldif=""):
        super().__init__()
        require(SLAPD)
        self.entries = ldif
        os.makedirs(os.path.join(self.dir, "db"))
        with open(os.path.join(self.dir, "slapd.conf"), "w") as f:
            f.write("""include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
pidfile %(d)s/slapd.pid
modulepath /usr/lib/ldap
moduleload back_mdb
database mdb
maxsize 10485760
suffix "dc=test"
rootdn "cn=admin,dc=test"
rootpw admin-secret
directory %(d)s/db
access to attrs=userPassword by self read by anonymous auth by * none
access to * by * read
""" % {"d": self.dir})

    def argv(self):
        return [SLAPD, "-f", os.path.join(self.dir, "slapd.conf"), "-h", "ldap://127.0.0.1:%d/" % self.port,
                "-d", "0"]

    def start(self, timeout=20):
        super().start(timeout)
        if self.entries:
            self.add(self.entries)
        return self

    def add(self, ldif):
        subprocess.run(["ldapadd", "-x", "-H", "ldap://127.0.0.1:%d" % self.port, "-D", "cn=admin,dc=test",
                        "-w", "admin-secret"], input=ldif.encode(), check=True, capture_output=True, timeout=30)


class Dnsmasq(Peer):
    """dnsmasq answering only from its options (no upstream, no hosts file)
    on port 53 of a random 127.53.x.y address; `resolv` is a resolv.conf
    naming it, for ResolvedProxy."""

    name = "dnsmasq"

    def __init__(self, options):
        super().__init__("127.53.%d.%d" % (random.randint(1, 254), random.randint(1, 254)))
        require(DNSMASQ)
        self.options = list(options)
        self.log = os.path.join(self.dir, "dnsmasq.log")
        self.resolv = self.write("resolv.conf", "nameserver %s\noptions attempts:2 timeout:2\n" % self.address)

    def argv(self):
        return [DNSMASQ, "--keep-in-foreground", "--no-resolv", "--no-hosts", "--no-poll", "--bind-interfaces",
                "--listen-address=%s" % self.address, "--port=53", "--pid-file=%s" % os.path.join(self.dir, "pid"),
                "--log-queries", "--log-facility=%s" % self.log, "--user=root"] + self.options

    def start(self, timeout=20):
        # UDP: started once it says so in its log
        self.proc = subprocess.Popen(self.argv(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: "started" in self.read("dnsmasq.log") or self.proc.poll() is not None, timeout) \
                or self.proc.poll() is not None:
            self.stop()
            raise RuntimeError("dnsmasq did not start")
        return self

    def queries(self):
        return [line.split("query[", 1)[1] for line in self.read("dnsmasq.log").splitlines() if "query[" in line]


def dns_usable():
    """Why a daemon cannot be given its own resolver here, or None."""
    if os.geteuid() != 0:
        return "needs root (port 53 and a mount namespace)"
    if not os.path.exists(DNSMASQ) or not shutil.which("unshare"):
        return "dnsmasq or unshare missing"
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True)
    if probe.returncode != 0:
        return "no mount namespaces: %s" % probe.stderr.decode(errors="replace").strip()
    return None


class ResolvedProxy(Proxy):
    """The daemon with its own /etc/resolv.conf, bind-mounted in a private
    mount namespace, so the machine's resolver configuration is never
    touched (unshare and sh exec the daemon in place: the pid is the
    daemon's)."""

    def __init__(self, resolv, **kw):
        super().__init__(**kw)
        self.resolv = resolv

    def command(self):
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount --bind "$0" /etc/resolv.conf && exec "$@"', self.resolv] + super().command()

FTP_SERVER = r"""
import json, logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
conf = json.loads(sys.argv[1])
logging.basicConfig(filename=conf["log"], level=logging.INFO)
authorizer = DummyAuthorizer()
for name, password in conf["users"].items():
    authorizer.add_user(name, password, conf["root"], perm="elradfmwMT")
if conf["anonymous"]:
    authorizer.add_anonymous(conf["root"])
handler = FTPHandler
handler.authorizer = authorizer
if conf["masquerade"]:
    handler.masquerade_address = conf["masquerade"]
server = FTPServer(("127.0.0.1", conf["port"]), handler)
server.serve_forever()
"""


class FtpServer(Peer):
    """pyftpdlib on loopback serving files {path: bytes} from its root,
    anonymously (read-only) and to users {name: password} (read-write).
    masquerade: the address its PASV replies name instead of its own.
    commands() lists what it was sent, as its log records them."""

    name = "ftp"

    def __init__(self, files=None, users=None, anonymous=True, masquerade=None):
        try:
            subprocess.run([SYSTEM_PYTHON, "-c", "import pyftpdlib"], check=True, timeout=20,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except (OSError, subprocess.SubprocessError):
            raise unittest.SkipTest("pyftpdlib is not installed")
        super().__init__()
        self.root = os.path.join(self.dir, "root")
        os.makedirs(self.root)
        for path, data in (files or {}).items():
            full = os.path.join(self.root, path.lstrip("/"))
            if path.endswith("/"):
                os.makedirs(full, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(data)
        self.conf = {"port": self.port, "root": self.root, "users": dict(users or {}),
                     "anonymous": anonymous, "masquerade": masquerade,
                     "log": os.path.join(self.dir, "ftp.log")}

    def argv(self):
        return [SYSTEM_PYTHON, "-c", FTP_SERVER, json.dumps(self.conf)]

    def url(self, path="/", user=None):
        login = "%s:%s@" % (urllib.parse.quote(user[0]), urllib.parse.quote(user[1])) if user else ""
        return "ftp://%s127.0.0.1:%d%s" % (login, self.port, path)

    def commands(self):
        return re.findall(r'"([A-Z]{3,4}(?: [^"]*)?)" \d{3}', self.read("ftp.log"))
