#!/usr/bin/env python3
"""A long run of the daemon under a mixed load; see bench/soak.sh.

    python3 bench/soak.py [SECONDS]        (default 1800)

Starts nginx (peers.Nginx) and clamd (peers.Clamd, one signature of the
tests' own) and one Korvantel (build/korvantel, KORVANTEL_BINARY to change)
on a faked clock moved past the cache's start-up back-off, then keeps
WORKERS client threads (default 6) busy with a weighted mix:

  pass-1k, pass-1m   1 KiB and 1 MiB objects the origin marks "no-store"
  hit-1k             50 objects of 1 KiB with a long max-age (cache hits)
  keywords           an HTML page scored by the keyword filter (passes)
  keyword-block      an HTML page over the threshold (blocked)
  scan-clean         64 KiB through ClamAV (a profile puts /scan/ on it)
  scan-virus         the same with the signature inside (blocked)
  url-blocked        a host one of the URL filter's 1,000 rules blocks
  abort-body         1 MiB asked for, the connection dropped after 64 KiB
  abort-head         half a request header, then the connection dropped
  connect            CONNECT to the origin's port, one request through it

Every minute (SOAK_INTERVAL seconds) it prints the daemon's RSS, threads
and open descriptors, and for that minute the requests done, failed and
answered from the cache and the error and warning lines the daemon logged
(warnings come with the aborted clients). At the end it compares the late
part of the run with a baseline taken after the warm-up and prints whether
anything grew or any request failed (the exit status is 1 if so), the
error and warning lines of the whole run and the 99th percentile of the
request times of each kind.
"""
import os
import random
import re
import shutil
import signal
import socket
import struct
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("KORVANTEL_BINARY", os.path.join(ROOT, "build", "korvantel"))
os.environ.setdefault("KORVANTEL_SOURCE_DIR", ROOT)

from client import connect, request  # noqa: E402
from config import Config  # noqa: E402
from harness import FAKETIME_LIB, Proxy  # noqa: E402
from peers import SIGNATURE, Clamd, Nginx  # noqa: E402

DURATION = int(sys.argv[1]) if len(sys.argv) > 1 else 1800
WORKERS = int(os.environ.get("WORKERS", "6"))
INTERVAL = int(os.environ.get("SOAK_INTERVAL", "60"))
SAMPLE = 5                      # seconds between samples of the daemon
TIMEOUT = 30                    # per socket operation of a client
LOG_MASK = 0x1000000 | 0x2000000  # warning and error lines only

# Growth tolerances: the smallest late sample against the largest baseline
# sample, so load swings do not count and a steady climb does.
RSS_FACTOR, RSS_SLACK_KIB = 1.10, 8 * 1024
THREAD_SLACK = 8
FD_SLACK = 16

OPS = [  # (name, weight)
    ("pass-1k", 30), ("pass-1m", 6), ("hit-1k", 25), ("keywords", 8), ("keyword-block", 2),
    ("scan-clean", 6), ("scan-virus", 1), ("url-blocked", 4), ("abort-body", 3), ("abort-head", 2),
    ("connect", 5),
]


def html(words, size):
    rnd = random.Random(size)
    out, n = ["<html><head><title>soak</title></head><body>\n"], 0
    while n < size:
        line = "<p>" + " ".join(rnd.choice(words) for _ in range(12)) + "</p>\n"
        out.append(line)
        n += len(line)
    return ("".join(out) + "</body></html>\n").encode()


def origin_files():
    rnd = random.Random(1)
    blob = lambda n: bytes(rnd.getrandbits(8) for _ in range(n))  # noqa: E731
    files = {"pass/1k.bin": blob(1024), "pass/1m.bin": os.urandom(1 << 20),
             "page.html": html(["lorem", "ipsum", "proxy", "cache", "filter", "text"], 20000),
             "bad.html": html(["lorem", "casino", "poker", "ipsum"], 20000),
             "scan/clean.bin": os.urandom(65536),
             "scan/virus.bin": os.urandom(30000) + SIGNATURE + os.urandom(30000)}
    for i in range(50):
        files["hit/%d.bin" % i] = blob(1024)
    return files


# The origin marks everything "no-store" but the /hit/ objects, so only
# they fill the cache and the pass-through objects stay pass-through.
NGINX_EXTRA = ('map $uri $soak_cc { ~^/hit/ "max-age=86400"; default "no-store"; }\n'
               '  add_header Cache-Control $soak_cc;')


def daemon_config(clamd, origin_port):
    conf = Config()
    conf.set("general/rule", cportrange=str(origin_port))
    conf.set("url-filtering", enabled=True)
    for i in range(1000):
        conf.add("url-filtering/deny", comment="r%d" % i, host="(^|[.])blocked-%d[.]example$" % i)
    conf.set("keywords-filtering", enabled=True, threshold=100)
    for i, word in enumerate(["casino", "poker"] + ["absentword%d" % i for i in range(48)]):
        conf.add("keywords-filtering/rule", comment="k%d" % i, mime="^text/html", keyword=word, score=60)
    conf.add("profiles/profile", comment="scan", path="^/scan/", add="scan")
    conf.set("clamav", enabled=True, address=clamd.path)
    conf.clear("clamav/rule").add("clamav/rule", profiles="scan")
    return conf


class Load:
    """The client threads and their counts."""

    def __init__(self, proxy_port, origin_port, files):
        self.port, self.origin, self.files = proxy_port, origin_port, files
        self.lock = threading.Lock()
        self.done, self.failed, self.hits = {}, {}, 0
        self.latency = {}       # kind -> seconds of each request that succeeded
        self.failures = []      # the first few failures, for the report
        self.stop = threading.Event()
        names, weights = zip(*OPS)
        self.names, self.weights = names, weights

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.origin, path)

    def count(self, name, ok, why="", seconds=0.0):
        with self.lock:
            table = self.done if ok else self.failed
            table[name] = table.get(name, 0) + 1
            if ok:
                self.latency.setdefault(name, []).append(seconds)
            if not ok and len(self.failures) < 20:
                self.failures.append("%s: %s" % (name, why))

    def get(self, path, expect, host_url=None):
        """One request on a new connection; expect: "same" (the origin's
        body) or "other" (a page of the daemon's own)."""
        with connect(self.port, timeout=TIMEOUT) as c:
            r = c.ask(request(host_url or self.url(path)))
        # a blocking page may come with its own status
        if r.status != 200 and not (expect == "other" and r.status in (403, 404)):
            return "status %d" % r.status
        body = self.files.get(path)
        if expect == "same" and r.body != body:
            return "body differs (%d bytes)" % len(r.body)
        if expect == "other" and body is not None and r.body == body:
            return "passed unfiltered"
        if "HIT" in (r.header("X-Cache") or ""):
            with self.lock:
                self.hits += 1
        return None

    def abort_body(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)
        try:
            s.sendall(request(self.url("pass/1m.bin")))
            got = 0
            while got < 65536:
                chunk = s.recv(65536)
                if not chunk:
                    return "closed after %d bytes" % got
                got += len(chunk)
            if random.random() < 0.5:  # half of them reset the connection
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        finally:
            s.close()
        return None

    def abort_head(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)
        try:
            s.sendall(b"GET " + self.url("pass/1k.bin").encode() + b" HTTP/1.1\r\nHost: 127.0")
        finally:
            s.close()
        return None

    def connect_tunnel(self):
        with connect(self.port, timeout=TIMEOUT) as c:
            c.send(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (self.origin, self.origin))
            head = c.response(head_request=True)
            if head is None or head.status != 200:
                return "CONNECT answered %s" % (head.status if head else "nothing")
            r = c.ask(request("/pass/1k.bin", host="127.0.0.1:%d" % self.origin,
                              headers=["Connection: close"]))
            if r.status != 200 or r.body != self.files["pass/1k.bin"]:
                return "tunnelled answer %d, %d bytes" % (r.status, len(r.body))
        return None

    def one(self, name):
        if name == "pass-1k":
            return self.get("pass/1k.bin", "same")
        if name == "pass-1m":
            return self.get("pass/1m.bin", "same")
        if name == "hit-1k":
            return self.get("hit/%d.bin" % random.randrange(50), "same")
        if name == "keywords":
            return self.get("page.html", "same")
        if name == "keyword-block":
            return self.get("bad.html", "other")
        if name == "scan-clean":
            return self.get("scan/clean.bin", "same")
        if name == "scan-virus":
            return self.get("scan/virus.bin", "other")
        if name == "url-blocked":
            return self.get("x", "other", "http://www.blocked-%d.example/x" % random.randrange(1000))
        if name == "abort-body":
            return self.abort_body()
        if name == "abort-head":
            return self.abort_head()
        return self.connect_tunnel()

    def worker(self, seed):
        rnd = random.Random(seed)
        while not self.stop.is_set():
            name = rnd.choices(self.names, self.weights)[0]
            began = time.monotonic()
            try:
                why = self.one(name)
            except Exception as e:  # a failed request, whatever the cause
                why = "%s: %s" % (type(e).__name__, e)
            self.count(name, why is None, why or "", time.monotonic() - began)

    def totals(self):
        with self.lock:
            return sum(self.done.values()), sum(self.failed.values()), self.hits

    def p99_ms(self, name):
        """The 99th percentile of the kind's request times, in ms (None
        before any request of the kind succeeded)."""
        with self.lock:
            times = sorted(self.latency.get(name, []))
        if not times:
            return None
        return times[min(len(times) - 1, int(len(times) * 0.99))] * 1000


def proc_status(pid):
    rss = threads = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, threads, len(os.listdir("/proc/%d/fd" % pid))


def log_counts(path):
    errors = warnings = 0
    try:
        with open(path, "rb") as f:
            for line in f:
                if b"] error: " in line:
                    errors += 1
                elif b"] warning: " in line:
                    warnings += 1
    except FileNotFoundError:
        pass
    return errors, warnings


def window(samples, start, end):
    return [s for s in samples if start <= s["t"] <= end]


def verdict(samples, duration, load, alive, warnings):
    """Lines of the final report, and whether the run passed."""
    warmup = max(30, duration // 10)
    span = max(15, (duration - warmup) // 4)
    early = window(samples, warmup, warmup + span)
    late = window(samples, duration - span, duration + SAMPLE)
    lines, ok = [], True
    if not alive:
        lines.append("FAIL the daemon is gone")
        return lines, False
    if not early or not late:
        lines.append("FAIL too few samples to compare (run longer)")
        return lines, False
    checks = [("rss_kib", lambda b: b * RSS_FACTOR + RSS_SLACK_KIB, "RSS KiB"),
              ("threads", lambda b: b + THREAD_SLACK, "threads"),
              ("fds", lambda b: b + FD_SLACK, "descriptors")]
    for key, limit, label in checks:
        base = max(s[key] for s in early)
        low = min(s[key] for s in late)
        grew = low > limit(base)
        ok = ok and not grew
        lines.append("%s %-11s baseline max %d (t=%d..%ds), late min %d (t=%d..%ds), limit %d" % (
            "GREW" if grew else "ok  ", label, base, early[0]["t"], early[-1]["t"], low, late[0]["t"],
            late[-1]["t"], limit(base)))
    # error lines per minute: the late rate against the early one
    rate = lambda w: (w[-1]["errors"] - w[0]["errors"]) * 60.0 / max(1, w[-1]["t"] - w[0]["t"])  # noqa: E731
    e_rate, l_rate = rate(early), rate(late)
    grew = l_rate > 2 * e_rate + 5
    ok = ok and not grew
    lines.append("%s error lines/min early %.1f, late %.1f" % ("GREW" if grew else "ok  ", e_rate, l_rate))
    lines.append("log lines: %d errors, %d warnings" % (samples[-1]["errors"], warnings))
    done, failed, hits = load.totals()
    lines.append("requests %d done, %d failed, %d cache hits; by kind: %s" % (
        done, failed, hits, " ".join("%s=%d" % (n, load.done.get(n, 0)) for n, _ in OPS)))
    p99 = [(n, load.p99_ms(n)) for n, _ in OPS]
    lines.append("p99 latency ms by kind: " + " ".join("%s=%s" % (n, "-" if v is None else "%.0f" % v)
                                                       for n, v in p99))
    if failed:
        ok = False
        lines.append("FAIL failed requests: " + " ".join("%s=%d" % kv for kv in sorted(load.failed.items())))
        lines += ["  " + f for f in load.failures[:10]]
    if hits == 0:
        ok = False
        lines.append("FAIL no cache hit at all")
    return lines, ok


def main():
    work = tempfile.mkdtemp(prefix="korvantel-soak-")
    clock = os.path.join(work, "faketime")
    with open(clock, "w") as f:
        f.write("+0s\n")
    env = dict(os.environ, LD_PRELOAD=FAKETIME_LIB, FAKETIME_TIMESTAMP_FILE=clock,
               FAKETIME_DONT_FAKE_MONOTONIC="1", FAKETIME_CACHE_DURATION="2")
    files = origin_files()
    origin = clamd = proxy = None
    load = None
    threads = []
    stopping = []

    def on_signal(signum, frame):
        stopping.append(signum)
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, on_signal)
    ok = False
    try:
        origin = Nginx(files, extra=NGINX_EXTRA).start()
        clamd = Clamd().start()
        proxy = Proxy(config=daemon_config(clamd, origin.port), loglevel=LOG_MASK, env=env,
                      args=["-a", "/dev/null", "-e", "/dev/null"])
        proxy.start()
        # the cache admits nothing in its first 180 s: move the daemon's clock on
        with open(clock, "w") as f:
            f.write("+300s\n")
        print("soak: %ds, %d client threads, daemon pid %d on port %d, origin %d, clamd %s" % (
            DURATION, WORKERS, proxy.pid, proxy.port, origin.port, clamd.path), flush=True)
        print("%6s %10s %8s %6s %9s %7s %7s %7s %9s" % ("time", "rss_kib", "threads", "fds", "requests",
                                                    "failed", "hits", "errors", "warnings"), flush=True)
        load = Load(proxy.port, origin.port, files)
        for i in range(WORKERS):
            t = threading.Thread(target=load.worker, args=(i,), daemon=True)
            t.start()
            threads.append(t)
        samples = []
        start = time.monotonic()
        last_print, printed = 0, (0, 0, 0, 0, 0)
        alive = True
        while True:
            now = time.monotonic() - start
            if now >= DURATION:
                break
            time.sleep(min(SAMPLE, DURATION - now))
            t = int(time.monotonic() - start)
            if proxy.proc.poll() is not None:
                alive = False
                print("soak: the daemon ended with status %s" % proxy.proc.returncode, flush=True)
                break
            rss, nthreads, fds = proc_status(proxy.pid)
            errors, warnings = log_counts(proxy.native_log)
            done, failed, hits = load.totals()
            samples.append({"t": t, "rss_kib": rss, "threads": nthreads, "fds": fds, "errors": errors})
            if t - last_print >= INTERVAL or t >= DURATION:
                print("%5ds %10d %8d %6d %9d %7d %7d %7d %9d" % (
                    t, rss, nthreads, fds, done - printed[0], failed - printed[1], hits - printed[2],
                    errors - printed[3], warnings - printed[4]), flush=True)
                last_print, printed = t, (done, failed, hits, errors, warnings)
        load.stop.set()
        for t in threads:
            t.join(TIMEOUT + 5)
        lines, ok = verdict(samples, DURATION, load, alive, log_counts(proxy.native_log)[1])
        print("soak: result", flush=True)
        for line in lines:
            print(line, flush=True)
        print("soak: %s" % ("PASS" if ok else "FAIL"), flush=True)
    except KeyboardInterrupt:
        print("soak: interrupted", flush=True)
    finally:
        if load:
            load.stop.set()
        if proxy:
            proxy.stop(check=False)
            if os.environ.get("KORVANTEL_KEEP"):
                print("soak: daemon files kept in %s" % proxy.dir)
            else:
                shutil.rmtree(proxy.dir, ignore_errors=True)
        if clamd:
            clamd.stop()
        if origin:
            origin.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
