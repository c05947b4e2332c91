"""Shared end-to-end harness: start the real daemon with a test
configuration, talk to it over loopback, read what it logged.

A scenario reads as: client, proxy configuration, origin, expected result:

    with Proxy(config=conf) as p:
        status, headers, body = p.get("http://127.0.0.1:%d/x" % origin.port)
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

BINARY = os.environ.get("KORVANTEL_BINARY", "build/korvantel")
SOURCE = os.environ.get("KORVANTEL_SOURCE_DIR", os.getcwd())
SECTION_XML = os.path.join(SOURCE, "conf", "section.xml")
CONFIG_XML = os.path.join(SOURCE, "conf", "korvantel.xml")


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(predicate, timeout=10.0, step=0.05):
    """Polls predicate until it is true or the bounded time is up."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def port_open(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # a zombie child still answers kill(0)
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def terminate(proc, timeout=10):
    """Stops a peer or the daemon with SIGTERM, killing it when it does not
    end within timeout seconds."""
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


def private_config(directory):
    """A copy of the shipped configuration whose disk store lies in
    directory, for daemons started without the Proxy class."""
    with open(CONFIG_XML) as f:
        config = f.read()
    config = config.replace("<path>/var/cache/korvantel</path>",
                            "<path>%s</path>" % os.path.join(directory, "cache"))
    path = os.path.join(directory, "korvantel.xml")
    with open(path, "w") as f:
        f.write(config)
    return path


def run(args, timeout=20, **kw):
    """Runs the binary to completion: (status, stdout, stderr)."""
    p = subprocess.run([BINARY] + list(args), capture_output=True, timeout=timeout, **kw)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


class Proxy:
    """The daemon in the foreground (-f) with its logs in a temp dir."""

    def __init__(self, config=None, section=None, args=(), listen=True, foreground=True,
                 loglevel=None, env=None):
        self.dir = tempfile.mkdtemp(prefix="korvantel-e2e-")
        self.config_path = os.path.join(self.dir, "korvantel.xml")
        if config is None:
            with open(CONFIG_XML) as f:
                config = f.read()
        # Each daemon gets its own copy of the shipped disk store.
        config = config.replace("<path>/var/cache/korvantel</path>",
                                "<path>%s</path>" % os.path.join(self.dir, "cache"))
        with open(self.config_path, "w") as f:
            f.write(config)
        self.section_path = section or SECTION_XML
        self.native_log = os.path.join(self.dir, "native.log")
        self.access_log = os.path.join(self.dir, "access.log")
        self.extended_log = os.path.join(self.dir, "extended.log")
        self.port = free_port() if listen else None
        self.args = list(args)
        self.foreground = foreground
        self.loglevel = loglevel
        self.env = env
        self.proc = None
        self.pid = None

    def command(self):
        cmd = [BINARY, "-c", self.config_path, "-s", self.section_path,
               "-l", self.native_log, "-a", self.access_log, "-e", self.extended_log,
               "-r", os.path.join(self.dir, "performance.log"),
               "-m", os.path.join(self.dir, "modules"), "-y", self.dir]
        if self.foreground:
            cmd.append("-f")
        if self.port:
            cmd += ["-L", "127.0.0.1:%d" % self.port]
        if self.loglevel is not None:
            cmd += ["-d", str(self.loglevel)]
        return cmd + self.args

    def start(self, wait=True):
        # A port picked as free can be taken by a parallel test before the
        # daemon binds it; then start again on another one.
        for attempt in range(3):
            self.stdout = open(os.path.join(self.dir, "stdout"), "wb")
            self.proc = subprocess.Popen(self.command(), stdout=self.stdout,
                                         stderr=subprocess.STDOUT, env=self.env)
            self.pid = self.proc.pid
            if not (wait and self.port):
                return self
            bound = wait_for(lambda: port_open(self.port) or self.proc.poll() is not None
                             or "failed to bind" in self.output(), 15)
            if bound and port_open(self.port) and self.proc.poll() is None:
                return self
            if "failed to bind" in self.output() and attempt < 2:
                self.stop()
                self.port = free_port()
                continue
            raise RuntimeError("proxy did not start listening: %s" % self.output()[-2000:])
        return self

    def stop(self):
        terminate(self.proc)
        if self.proc:
            self.stdout.close()

    def output(self):
        with open(os.path.join(self.dir, "stdout"), "rb") as f:
            return f.read().decode(errors="replace")

    def log(self, which="native"):
        path = {"native": self.native_log, "access": self.access_log,
                "extended": self.extended_log}[which]
        try:
            with open(path, "rb") as f:
                return f.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def wait_log(self, text, which="native", timeout=10):
        return wait_for(lambda: text in self.log(which), timeout)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        if not os.environ.get("KORVANTEL_KEEP"):
            shutil.rmtree(self.dir, ignore_errors=True)

    # clients -------------------------------------------------------------

    def connect(self, timeout=10):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        return s

    def raw(self, data, timeout=10):
        """Sends raw bytes on a new connection and reads until the server
        closes or the bounded time is up."""
        with self.connect(timeout) as s:
            s.sendall(data)
            return read_all(s, timeout)

    def curl(self, url, *extra, timeout=20):
        cmd = ["curl", "-s", "-S", "-i", "--max-time", str(timeout),
               "--proxy", "http://127.0.0.1:%d" % self.port, "--noproxy", ""] + list(extra) + [url]
        p = subprocess.run(cmd, capture_output=True, timeout=timeout + 5)
        return p.returncode, p.stdout, p.stderr.decode(errors="replace")


def read_all(sock, timeout=10, limit=64 * 1024 * 1024):
    sock.settimeout(timeout)
    chunks = []
    total = 0
    deadline = time.monotonic() + timeout
    while total < limit and time.monotonic() < deadline:
        try:
            data = sock.recv(65536)
        except socket.timeout:
            break
        if not data:
            break
        chunks.append(data)
        total += len(data)
    return b"".join(chunks)


def main():
    unittest.main(verbosity=2)


# origins ---------------------------------------------------------------------

import http.server
import threading


class SimpleOrigin:
    """A keep-alive HTTP/1.1 origin on loopback answering every GET with a
    fixed body; records the request lines it saw."""

    def __init__(self, body=b"hello from origin\n"):
        self.body = body
        self.requests = []
        origin = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                origin.requests.append(self.requestline)
                self.send_response(200)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(origin.body)))
                self.end_headers()
                self.wfile.write(origin.body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def read_response(sock, timeout=10):
    """Reads one HTTP response with a Content-Length body from a socket:
    (status, headers dict with lower-case names, body). Status 0 when the
    peer closed before a status line."""
    sock.settimeout(timeout)
    data = b""
    deadline = time.monotonic() + timeout
    while b"\r\n\r\n" not in data and time.monotonic() < deadline:
        chunk = sock.recv(65536)
        if not chunk:
            return 0, {}, data
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0"))
    while len(rest) < length and time.monotonic() < deadline:
        chunk = sock.recv(65536)
        if not chunk:
            break
        rest += chunk
    return status, headers, rest[:length]


def get_request(url, keep_alive=True):
    host = url.split("/")[2]
    return ("GET %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" %
            (url, host, "" if keep_alive else "Connection: close\r\n")).encode()


NGINX = "/usr/sbin/nginx"


class NginxOrigin:
    """nginx-light serving a directory on a free loopback port, in the
    foreground, with its config, logs and temp files in a temp dir.
    files: {relative path: bytes} written under the document root."""

    def __init__(self, files=None, gzip=False, extra=""):
        self.dir = tempfile.mkdtemp(prefix="korvantel-nginx-")
        os.chmod(self.dir, 0o755)
        self.root = os.path.join(self.dir, "root")
        os.makedirs(self.root)
        for name, data in (files or {}).items():
            path = os.path.join(self.root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        self.port = free_port()
        user = "user root;\n" if os.geteuid() == 0 else ""
        conf = (
            "%sdaemon off;\nworker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\n"
            "events { worker_connections 256; }\n"
            "http {\n  access_log %s/access.log;\n  client_body_temp_path %s/body;\n"
            "  proxy_temp_path %s/proxy;\n  fastcgi_temp_path %s/fastcgi;\n"
            "  uwsgi_temp_path %s/uwsgi;\n  scgi_temp_path %s/scgi;\n"
            "  types { text/html html; text/plain txt; text/css css; application/octet-stream bin; }\n"
            "  keepalive_requests 10000;\n"
            "  %s\n  %s\n"
            "  server { listen 127.0.0.1:%d; root %s; }\n}\n"
            % (user, self.dir, self.dir, self.dir, self.dir, self.dir, self.dir, self.dir, self.dir,
               "gzip on; gzip_types text/plain; gzip_min_length 20; gzip_proxied any;" if gzip else "gzip off;",
               extra, self.port, self.root))
        self.conf = os.path.join(self.dir, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(conf)
        self.proc = None

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def log(self):
        try:
            with open(os.path.join(self.dir, "access.log")) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def __enter__(self):
        self.proc = subprocess.Popen([NGINX, "-c", self.conf, "-p", self.dir],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: port_open(self.port) or self.proc.poll() is not None, 10) or \
                self.proc.poll() is not None:
            raise RuntimeError("nginx did not start")
        return self

    def __exit__(self, *exc):
        terminate(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)
