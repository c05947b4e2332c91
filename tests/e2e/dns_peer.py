"""dnsmasq serving a test zone on a loopback address, and the daemon run in
a mount namespace of its own whose /etc/resolv.conf names that address, so
the machine's resolver configuration is never touched."""
import os
import random
import shutil
import subprocess
import tempfile

from harness import Proxy, terminate, wait_for

DNSMASQ = "/usr/sbin/dnsmasq"


def usable():
    """Why the DNS peer cannot run here, or None."""
    if os.geteuid() != 0:
        return "needs root (port 53 and a mount namespace)"
    if not os.path.exists(DNSMASQ) or not shutil.which("unshare"):
        return "dnsmasq or unshare missing"
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True)
    if probe.returncode != 0:
        return "no mount namespaces: %s" % probe.stderr.decode(errors="replace")
    return None


class Dnsmasq:
    """dnsmasq answering only from its options (no upstream, no hosts file)
    on port 53 of a random 127.53.x.y address."""

    def __init__(self, options):
        self.dir = tempfile.mkdtemp(prefix="korvantel-dns-")
        self.address = "127.53.%d.%d" % (random.randint(1, 254), random.randint(1, 254))
        self.options = list(options)
        self.proc = None
        self.log = os.path.join(self.dir, "dnsmasq.log")
        self.resolv = os.path.join(self.dir, "resolv.conf")
        with open(self.resolv, "w") as f:
            f.write("nameserver %s\noptions attempts:2 timeout:2\n" % self.address)

    def start(self):
        cmd = [DNSMASQ, "--keep-in-foreground", "--no-resolv", "--no-hosts", "--no-poll", "--bind-interfaces",
               "--listen-address=%s" % self.address, "--port=53", "--except-interface=none",
               "--pid-file=%s" % os.path.join(self.dir, "pid"), "--log-queries", "--log-facility=%s" % self.log,
               "--user=root"] + self.options
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: self.answers() or self.proc.poll() is not None, 15) or self.proc.poll() is not None:
            raise RuntimeError("dnsmasq did not start")
        return self

    def answers(self):
        try:
            with open(self.log, errors="replace") as f:
                return "started" in f.read()
        except FileNotFoundError:
            return False

    def queries(self):
        try:
            with open(self.log, errors="replace") as f:
                return [line.split("query[", 1)[1] for line in f if "query[" in line]
        except FileNotFoundError:
            return []

    def stop(self):
        terminate(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class ResolvedProxy(Proxy):
    """The daemon with its own /etc/resolv.conf, bind-mounted in a private
    mount namespace (unshare execs the daemon in place, so the pid is the
    daemon's)."""

    def __init__(self, resolv, **kw):
        super().__init__(**kw)
        self.resolv = resolv

    def command(self):
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount --bind "$0" /etc/resolv.conf && exec "$@"', self.resolv] + super().command()
