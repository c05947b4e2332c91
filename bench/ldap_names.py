#!/usr/bin/env python3
"""Memory of the LDAP user cache under N made-up user names (default
100,000) against a throw-away slapd: the names go through the "/ldap" page
in batches, several at once, each costing one directory search.

    python3 bench/ldap_names.py [N] [parallel]   (build/korvantel, KORVANTEL_BINARY to change)

Prints the daemon's resident memory as the names go in and the number of
entries the cache holds at the end (at most 256 per bucket, 100 buckets by
default)."""
import base64
import os
import re
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("KORVANTEL_BINARY", os.path.join(ROOT, "build", "korvantel"))
os.environ.setdefault("KORVANTEL_SOURCE_DIR", ROOT)

from harness import rss_kib  # noqa: E402
from peers import Slapd  # noqa: E402
from test_directory import config, ldif, proxy, server_xml  # noqa: E402
from test_interface import call  # noqa: E402

BATCH = 250


def main():
    total = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
    parallel = int(sys.argv[2]) if len(sys.argv) > 2 else 4
    auth = {"Proxy-Authorization": "Basic " + base64.b64encode(b"alice:alice-pw").decode()}
    slapd = Slapd(ldif()).start()
    try:
        with proxy(config([server_xml(slapd.port, "description")])) as p:
            if not p.wait_log("ldap: cache: entries returned", timeout=60):
                sys.exit("the directory was not loaded")
            print("start: %d KiB" % rss_kib(p.pid))
            batches = [["made-up-%07d" % i for i in range(s, min(s + BATCH, total))] for s in range(0, total, BATCH)]
            lock = threading.Lock()
            done = [0]
            started = time.time()

            def worker():
                while True:
                    with lock:
                        if not batches:
                            return
                        names = batches.pop(0)
                    call(p, "/ldap", form={"upn": ",".join(names)}, headers=auth)
                    with lock:
                        before = done[0]
                        done[0] += len(names)
                        if done[0] // 10000 != before // 10000:
                            print("%7d names, %6.1f s: %d KiB" % (done[0], time.time() - started, rss_kib(p.pid)))
            threads = [threading.Thread(target=worker) for _ in range(parallel)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            listing = call(p, "/ldap", form={"show": "yes"}, headers=auth).body
            rows = len(re.findall(r'<tr class="list(?:even|odd)">', listing))
            print("end: %d names in %.1f s, %d KiB, %d cache entries"
                  % (done[0], time.time() - started, rss_kib(p.pid), rows))
    finally:
        slapd.stop()


if __name__ == "__main__":
    main()
