"""The daemon under test: start it with a test configuration on a free
loopback port, talk to it, read its logs, stop it.

    with Nginx({"a.txt": b"hello"}) as origin, \\
            Proxy(config=Config().set("general/rule", via=False)) as p:
        r = p.get(origin.url("/a.txt"))
        assert (r.status, r.body) == (200, b"hello")
        assert p.wait_log("TCP_MISS/200", "access")

Modules: config.py builds configurations, client.py builds requests and
reads responses, peers.py starts origins and parents (nginx, squid, dante,
openssl s_server and the Python stand-ins). Every wait is bounded, and every
process a test starts is stopped by its pid. KORVANTEL_KEEP=1 keeps the
daemon's directory (configuration, logs, output) for a look afterwards.
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from client import connect, request
from config import CONFIG_XML, SECTION_XML, SOURCE, Config  # noqa: F401 (re-exported)

BINARY = os.environ.get("KORVANTEL_BINARY", "build/korvantel")
ALL_LOG = 0xFFFFFFF   # every log category (-d)
DEBUG = 0x8000000


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


_held = []


def dead_port():
    """A loopback port nothing listens on: held bound for the whole run, so
    no outgoing connection can take it as its own port and meet itself."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    _held.append(s)
    return s.getsockname()[1]


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


def listens_on(pid, port):
    """True when process pid holds the socket listening on loopback port:
    a port open to connections may belong to a parallel test's daemon."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for row in f:
                    fields = row.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        inodes.add("socket:[%s]" % fields[9])
        except OSError:
            continue
    fds = "/proc/%d/fd" % pid
    try:
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)) in inodes:
                    return True
            except OSError:
                continue
    except OSError:
        return False
    return False


def rss_kib(pid):
    """The resident memory of process pid in KiB, 0 when it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


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


SHIPPED_STORE = "<path>/var/cache/korvantel</path>"


def private_config(directory, config=None):
    """Writes the configuration (default: the shipped one) to directory with
    the shipped disk store moved into it; returns the file's path."""
    if config is None:
        with open(CONFIG_XML) as f:
            config = f.read()
    text = str(config)
    text = text.replace(SHIPPED_STORE, "<path>%s</path>" % os.path.join(directory, "cache"))
    path = os.path.join(directory, "korvantel.xml")
    with open(path, "w") as f:
        f.write(text)
    return path


SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def sanitizer_report(output):
    """The part of a process's output from the first sanitizer report on,
    or "" when there is none."""
    found = [output.index(m) for m in SANITIZER_MARKS if m in output]
    if not found:
        return ""
    start = output.rfind("\n", 0, min(found)) + 1
    return output[start:start + 20000]


def run(args, timeout=20, **kw):
    """Runs the binary to completion: (status, stdout, stderr)."""
    p = subprocess.run([BINARY] + list(args), capture_output=True, timeout=timeout, **kw)
    out, err = p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")
    report = sanitizer_report(err)
    if report:
        raise AssertionError("sanitizer report from %s:\n%s" % (" ".join(args), report))
    return p.returncode, out, err


class Proxy:
    """The daemon in the foreground (-f) with its files in a temp dir.
    config: a Config, the text of one, or None for the shipped one; it is
    written when the daemon starts, so a test may set it after reading
    `port`."""

    def __init__(self, config=None, section=None, args=(), listen=True, foreground=True,
                 loglevel=None, env=None):
        self.dir = tempfile.mkdtemp(prefix="korvantel-e2e-")
        self.config = config
        self.config_path = os.path.join(self.dir, "korvantel.xml")
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
        self.stdout = None

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
        # Each daemon gets its own copy of the shipped disk store.
        private_config(self.dir, self.config)
        # A port picked as free can be taken by a parallel test before the
        # daemon binds it; then start again on another one. The wait is long
        # for a sanitizer build under load that synchronises before listening.
        for attempt in range(3):
            self.stdout = open(os.path.join(self.dir, "stdout"), "wb")
            self.proc = subprocess.Popen(self.command(), stdout=self.stdout,
                                         stderr=subprocess.STDOUT, env=self.env)
            self.pid = self.proc.pid
            if not (wait and self.port):
                return self
            bound = wait_for(lambda: listens_on(self.pid, self.port) or self.proc.poll() is not None
                             or "failed to bind" in self.output(), 60)
            if bound and listens_on(self.pid, self.port) and port_open(self.port) and self.proc.poll() is None:
                return self
            if "failed to bind" in self.output() and attempt < 2:
                self.stop(check=False)
                self.port = free_port()
                continue
            raise RuntimeError("proxy did not start listening: %s" % self.output()[-2000:])
        return self

    def stop(self, check=True):
        """Stops the daemon; fails when a sanitizer reported a fault or a
        leak in its output."""
        terminate(self.proc)
        if self.stdout:
            self.stdout.close()
        if check and self.proc:
            report = sanitizer_report(self.output())
            if report:
                raise AssertionError("sanitizer report from the daemon:\n" + report)

    def output(self):
        """What the daemon wrote to stdout and stderr."""
        with open(os.path.join(self.dir, "stdout"), "rb") as f:
            return f.read().decode(errors="replace")

    def log(self, which="native"):
        """The text of a log: "native", "access" or "extended"."""
        path = {"native": self.native_log, "access": self.access_log,
                "extended": self.extended_log}[which]
        try:
            with open(path, "rb") as f:
                return f.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def wait_log(self, text, which="native", timeout=10):
        return wait_for(lambda: text in self.log(which), timeout)

    def records(self):
        """The access log's records as lists of fields: start, elapsed,
        client, code/status, size, method, URL, user, peercode/peer, MIME
        type."""
        return [line.split() for line in self.log("access").splitlines()
                if line.strip() and not line.startswith("#")]

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        try:
            self.stop(check=exc[0] is None)
        finally:
            if not os.environ.get("KORVANTEL_KEEP"):
                shutil.rmtree(self.dir, ignore_errors=True)

    # clients -------------------------------------------------------------

    def connect(self, timeout=10):
        """A plain socket to the daemon."""
        return socket.create_connection(("127.0.0.1", self.port), timeout=timeout)

    def client(self, timeout=10, source=None):
        """A client.Connection to the daemon, from the source address when
        given."""
        return connect(self.port, timeout=timeout, source=source)

    def ask(self, data, timeout=10, head_request=False):
        """Sends raw bytes on a new connection and reads one response."""
        with self.client(timeout) as c:
            return c.ask(data, head_request)

    def get(self, url, headers=(), timeout=10, **kw):
        """One request on a new connection (see client.request)."""
        return self.ask(request(url, headers, **kw), timeout)

    def curl(self, url, *extra, timeout=20):
        """curl -i through the daemon: (exit status, output, stderr)."""
        cmd = ["curl", "-s", "-S", "-i", "--max-time", str(timeout),
               "--proxy", "http://127.0.0.1:%d" % self.port, "--noproxy", ""] + list(extra) + [url]
        p = subprocess.run(cmd, capture_output=True, timeout=timeout + 5)
        return p.returncode, p.stdout, p.stderr.decode(errors="replace")


FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"


class Clock:
    """A faked clock for daemons, read from a file in directory: pass
    env() to Proxy, then advance() moves the daemon's time forward."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "faketime")
        self.offset = 0
        self.write()

    def write(self):
        with open(self.path, "w") as f:
            f.write("+%ds\n" % self.offset)

    def env(self):
        env = dict(os.environ)
        env.update({"LD_PRELOAD": FAKETIME_LIB, "FAKETIME_TIMESTAMP_FILE": self.path,
                    "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1"})
        # a sanitizer build tolerates the preloaded clock
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0").lstrip(":")
        return env

    def advance(self, seconds=300):
        self.offset += seconds
        self.write()


def clocked_proxy(test, config):
    """A started Proxy on a faked clock moved five minutes on once it runs;
    stopped when the test ends."""
    clock = Clock(tempfile.mkdtemp(prefix="korvantel-clock-"))
    p = Proxy(config=config, env=clock.env())
    p.start()
    test.addCleanup(p.stop)
    clock.advance()
    return p


def main():
    unittest.main(verbosity=2)

