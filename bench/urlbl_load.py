#!/usr/bin/env python3
"""Load time and memory of a large URL blacklist: one category of N generated
domains (default 1,000,000) plus a small one, read by the daemon at start-up.

    python3 bench/urlbl_load.py [N]          (build/korvantel, KORVANTEL_BINARY to change)

Prints the time from start until "loaded ... categories" is logged, and the
daemon's resident memory with and without the database."""
import os
import random
import re
import shutil
import string
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("KORVANTEL_BINARY", os.path.join(ROOT, "build", "korvantel"))
os.environ.setdefault("KORVANTEL_SOURCE_DIR", ROOT)

from harness import CONFIG_XML, Proxy, rss_kib, wait_for  # noqa: E402


def config(path):
    with open(CONFIG_XML) as f:
        text = f.read()
    section = ("<urlblacklist><enabled>true</enabled><order>denyfirst</order><path>%s</path><template></template>"
               "<deny><enabled>true</enabled><comment>big</comment><profiles></profiles><categories>big"
               "</categories><template></template></deny></urlblacklist>" % path)
    return re.sub(r"<urlblacklist>.*?</urlblacklist>", section, text, count=1, flags=re.S)


def run(path, count_line):
    p = Proxy(config=config(path), loglevel=0xFFFFFFF)
    started = time.monotonic()
    p.start()
    if not wait_for(lambda: count_line in p.log(), 600, 0.01):
        raise RuntimeError("no load line: %s" % p.log()[-2000:])
    elapsed = time.monotonic() - started
    time.sleep(0.5)
    rss = rss_kib(p.pid)
    rc, out, _ = p.curl("http://sample-domain.example/")
    p.stop()
    shutil.rmtree(p.dir, ignore_errors=True)
    return elapsed, rss, out


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
    work = tempfile.mkdtemp(prefix="korvantel-bench-urlbl-")
    try:
        big = os.path.join(work, "db", "big")
        os.makedirs(big)
        os.makedirs(os.path.join(work, "db", "small"))
        with open(os.path.join(work, "db", "small", "domains"), "w") as f:
            f.write("small.example\n")
        rnd = random.Random(1)
        letters = string.ascii_lowercase + string.digits
        with open(os.path.join(big, "domains"), "w") as f:
            f.write("sample-domain.example\n")
            for i in range(n - 1):
                f.write("%s%d.%s\n" % ("".join(rnd.choice(letters) for _ in range(8)), i,
                                       rnd.choice(("com", "net", "org", "example", "co.uk"))))
        size = os.path.getsize(os.path.join(big, "domains"))
        empty = os.path.join(work, "empty")
        os.makedirs(empty)
        _, base_rss, _ = run(empty, "loaded 0 categories")
        elapsed, rss, out = run(os.path.join(work, "db"), "loaded 2 categories")
        print("domains: %d (%.1f MB of lists)" % (n, size / 1e6))
        print("load time: %.2f s (start to \"loaded 2 categories\")" % elapsed)
        print("resident memory: %.1f MB without the database, %.1f MB with it (%.0f bytes a domain)"
              % (base_rss / 1024, rss / 1024, (rss - base_rss) * 1024 / n))
        print("sample listed domain blocked: %s" % (b"blacklisted" in out))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
