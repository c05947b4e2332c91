"""The object cache through the real daemon: hits with X-Cache and Age, one
origin request for concurrent clients of a slow object, objects that survive
a restart and a kill -9 with journal and files in agreement, and a bounded
soak of many clients over overlapping objects, some aborting mid-transfer.

Nothing is cached during the first 180 seconds after start-up, so every
daemon runs under libfaketime with its clock read from a file that the test
moves forward once the daemon is up.
"""
import hashlib
import os
import random
import re
import shutil
import signal
import tempfile
import threading
import time
import unittest

from client import request
from harness import Clock, Config, Proxy, main, wait_for
from peers import StandinOrigin, chunked, response


def cache_config(store, md5=1, **options):
    """The shipped configuration with its disk store in `store` and cache
    options set."""
    return Config().set("cache/store", path=store, md5=md5).set("cache", **options)


def cached_proxy(clock, config):
    """Starts a daemon on the faked clock and moves the clock past the
    start-up back-off."""
    p = Proxy(config=config, env=clock.env())
    p.start()
    clock.advance()
    return p


def fetch(proxy, url, timeout=20):
    return proxy.get(url, ["Connection: close"], timeout=timeout)


def hit(answer):
    return (answer.header("x-cache") or "").startswith("HIT")


def asked(origin, path):
    with origin.lock:
        return sum(1 for r in origin.requests if r.path == path)


# -- the store on disk ------------------------------------------------------------

def hash_key(size, key):
    total = 0
    for b in key.encode():
        c = b - 256 if b >= 128 else b
        total = (total + (c >> 2) + (c >> 4) + 20 * c + 8111) & 0xFFFFFFFF
    return total % size


def object_path(store, url):
    return os.path.join(store, "%.2x" % hash_key(256, url), hashlib.md5(url.encode()).hexdigest())


def journal_objects(store):
    """The objects the journal keeps, last line of each URL: {url: (flags, size)}."""
    objects = {}
    with open(os.path.join(store, "journal"), "rb") as f:
        for raw in f.read().split(b"\n"):
            fields = [x for x in raw.decode("latin-1").split("\t") if x]
            if len(fields) < 5:
                continue
            objects[fields[1]] = (int(fields[0]), int(fields[2]))
    return {url: v for url, v in objects.items() if (v[0] & 0x80) and not (v[0] & (0x1 | 0x2 | 0x1000))}


def wait_stored(store, urls, timeout=10):
    """Waits until the journal keeps every URL: its writer has closed it
    (which happens just after the client has the whole answer)."""
    return wait_for(lambda: all(u in journal_objects(store) for u in urls), timeout)


def store_files(store):
    found = set()
    for bucket in os.listdir(store):
        path = os.path.join(store, bucket)
        if len(bucket) == 2 and os.path.isdir(path):
            for name in os.listdir(path):
                if re.fullmatch(r"[0-9a-f]{32}", name):
                    found.add(os.path.join(path, name))
    return found


def store_agrees(store):
    """True when every kept journal object has its file of its size and
    every object file belongs to a kept object."""
    kept = journal_objects(store)
    expected = {object_path(store, url): size for url, (flags, size) in kept.items()}
    files = store_files(store)
    if files != set(expected):
        return False
    return all(os.path.getsize(path) == size for path, size in expected.items())


# -- origins ------------------------------------------------------------------------

def body_of(name, size):
    """Deterministic bytes that differ at every position between objects."""
    seed = hashlib.sha256(name.encode()).digest()
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(seed + counter.to_bytes(4, "big")).digest()
        counter += 1
    return bytes(out[:size])


FRESH = [("Cache-Control", "max-age=86400")]


def slow(body, pieces=5, headers=FRESH, chunks=False):
    """A response sent in pieces with a pause between them."""
    step = (len(body) + pieces - 1) // pieces
    parts = [body[i:i + step] for i in range(0, len(body), step)]
    if chunks:
        head = response(200, b"", list(headers) + [("Transfer-Encoding", "chunked")], length=False)
        return [head] + [chunked([p])[:-5] for p in parts] + [b"0\r\n\r\n"]
    return [response(200, b"", list(headers) + [("Content-Length", str(len(body)))], length=False)] + parts


class CacheTest(unittest.TestCase):
    def setUp(self):
        self.proxies = []
        self.dirs = [tempfile.mkdtemp(prefix="korvantel-cache-e2e-")]
        self.clock = Clock(self.dirs[0])

    def tearDown(self):
        for p in self.proxies:
            p.stop()
            if not os.environ.get("KORVANTEL_KEEP"):
                shutil.rmtree(p.dir, ignore_errors=True)
        for d in self.dirs:
            shutil.rmtree(d, ignore_errors=True)

    def start(self, config):
        p = cached_proxy(self.clock, config)
        self.proxies.append(p)
        # the faked clock is read at every call: wait until requests see it
        time.sleep(0.2)
        return p

    def store_dir(self):
        self.dirs.append(tempfile.mkdtemp(prefix="korvantel-store-"))
        return os.path.join(self.dirs[-1], "store")

    def test_second_request_is_a_hit_with_age(self):
        body = body_of("hit", 70000)
        routes = {"/hit": response(200, body, FRESH), "/private":
                  response(200, b"mine", [("Cache-Control", "private, max-age=600")])}
        with StandinOrigin(routes) as origin:
            p = self.start(cache_config(self.store_dir()))
            first = fetch(p, origin.url("/hit"))
            self.assertEqual(first.status, 200)
            self.assertEqual(first.body, body)
            self.assertTrue((first.header("x-cache") or "").startswith("MISS"), first.headers)
            time.sleep(1.2)
            second = fetch(p, origin.url("/hit"))
            self.assertEqual(second.body, body)
            self.assertTrue(hit(second), second.headers)
            self.assertIsNotNone(second.header("age"))
            self.assertGreaterEqual(int(second.header("age")), 1)
            self.assertEqual(int(second.header("content-length")), len(body))
            self.assertEqual(asked(origin, "/hit"), 1)
            self.assertTrue(p.wait_log("TCP_HIT/200", "access"))
            # a private answer is for its user only
            for _ in range(2):
                self.assertEqual(fetch(p, origin.url("/private")).body, b"mine")
            self.assertEqual(asked(origin, "/private"), 2)

    def test_concurrent_clients_of_a_slow_object_ask_the_origin_once(self):
        counted = body_of("slow", 300000)
        dechunked = body_of("slowchunked", 200000)
        routes = {"/slow": slow(counted), "/chunked": slow(dechunked, chunks=True)}
        with StandinOrigin(routes) as origin:
            p = self.start(cache_config(self.store_dir()))
            for path, body in (("/slow", counted), ("/chunked", dechunked)):
                results = {}

                def client(name):
                    results[name] = fetch(p, origin.url(path), timeout=30)

                first = threading.Thread(target=client, args=("first",))
                first.start()
                self.assertTrue(wait_for(lambda: asked(origin, path) == 1, 10))
                time.sleep(0.3)  # the first pieces are in the cache
                others = [threading.Thread(target=client, args=("other%d" % i,)) for i in range(3)]
                for t in others:
                    t.start()
                for t in [first] + others:
                    t.join(40)
                self.assertEqual(asked(origin, path), 1, path)
                for name, answer in results.items():
                    self.assertEqual(answer.status, 200, (path, name))
                    self.assertTrue(answer.complete, (path, name))
                    self.assertEqual(len(answer.body), len(body), (path, name))
                    self.assertEqual(answer.body, body, (path, name))
                    if name != "first":
                        self.assertTrue(hit(answer), (path, name, answer.headers))
                # afterwards served whole from the cache
                again = fetch(p, origin.url(path))
                self.assertEqual(again.body, body)
                self.assertTrue(hit(again))
                self.assertEqual(asked(origin, path), 1)

    def test_restart_keeps_objects(self):
        store = self.store_dir()
        bodies = {"/r%d" % i: body_of("restart%d" % i, 1000 + 50000 * i) for i in range(4)}
        routes = {path: response(200, body, FRESH) for path, body in bodies.items()}
        with StandinOrigin(routes) as origin:
            p = self.start(cache_config(store))
            for path, body in bodies.items():
                self.assertEqual(fetch(p, origin.url(path)).body, body)
            self.assertTrue(wait_stored(store, [origin.url(path) for path in bodies]))
            p.stop()
            self.assertTrue(store_agrees(store))
            p = self.start(cache_config(store))
            for path, body in bodies.items():
                answer = fetch(p, origin.url(path))
                self.assertEqual(answer.body, body, path)
                self.assertTrue(hit(answer), path)
                self.assertEqual(asked(origin, path), 1, path)

    def test_many_pipelined_hits_then_restart_finds_every_object(self):
        store = self.store_dir()
        bodies = {"/m%d" % i: body_of("many%d" % i, 700 + 9000 * i) for i in range(6)}
        routes = {path: response(200, body, FRESH) for path, body in bodies.items()}
        paths = sorted(bodies)
        with StandinOrigin(routes) as origin:
            p = self.start(cache_config(store))
            for path in paths:
                self.assertEqual(fetch(p, origin.url(path)).body, bodies[path])
            self.assertTrue(wait_stored(store, [origin.url(path) for path in paths]))
            journal = os.path.join(store, "journal")
            lines_before = open(journal, "rb").read().count(b"\n")
            # rounds of pipelined hits on kept-alive connections: every
            # answer comes back whole and in the order asked
            for _ in range(5):
                order = paths * 4
                with p.client(20) as c:
                    c.send(b"".join(request(origin.url(path)) for path in order))
                    for path in order:
                        answer = c.response()
                        self.assertEqual(answer.status, 200, path)
                        self.assertEqual(answer.body, bodies[path], path)
                        self.assertTrue(hit(answer), path)
            for path in paths:
                self.assertEqual(asked(origin, path), 1, path)
            # a reader's access is journalled at most once a minute per object
            lines_after = open(journal, "rb").read().count(b"\n")
            self.assertLessEqual(lines_after - lines_before, 2 * len(paths))
            p.stop()
            self.assertTrue(store_agrees(store))
            self.assertEqual(set(journal_objects(store)), {origin.url(path) for path in paths})
            p = self.start(cache_config(store))
            for path in paths:
                answer = fetch(p, origin.url(path))
                self.assertEqual(answer.body, bodies[path], path)
                self.assertTrue(hit(answer), path)
                self.assertEqual(asked(origin, path), 1, path)

    def test_kill9_then_restart_agrees_and_serves_identical_bodies(self):
        store = self.store_dir()
        bodies = {"/k%d" % i: body_of("kill%d" % i, 20000 + 40000 * i) for i in range(5)}
        routes = {path: response(200, body, FRESH) for path, body in bodies.items()}
        unfinished = body_of("unfinished", 400000)
        routes["/unfinished"] = slow(unfinished, pieces=40)
        with StandinOrigin(routes) as origin:
            p = self.start(cache_config(store))
            for path, body in bodies.items():
                self.assertEqual(fetch(p, origin.url(path)).body, body)
            self.assertTrue(wait_stored(store, [origin.url(path) for path in bodies]))
            # one object is being written when the daemon dies
            box = {}
            t = threading.Thread(target=lambda: box.update(a=fetch(p, origin.url("/unfinished"), timeout=30)))
            t.start()
            self.assertTrue(wait_for(lambda: asked(origin, "/unfinished") == 1, 10))
            time.sleep(1)
            os.kill(p.pid, signal.SIGKILL)
            p.proc.wait(10)
            t.join(40)
            self.assertTrue(os.path.exists(object_path(store, origin.url("/unfinished"))))

            p = self.start(cache_config(store))
            # the deletion thread removes a file every 10 ms
            self.assertTrue(wait_for(lambda: store_agrees(store), 15), "journal and files disagree")
            self.assertNotIn(origin.url("/unfinished"), journal_objects(store))
            for path, body in bodies.items():
                answer = fetch(p, origin.url(path))
                self.assertEqual(answer.body, body, path)
                self.assertTrue(hit(answer), path)
                self.assertEqual(asked(origin, path), 1, path)
            again = fetch(p, origin.url("/unfinished"), timeout=30)
            self.assertEqual(again.body, unfinished)
            self.assertFalse(hit(again))
            self.assertEqual(asked(origin, "/unfinished"), 2)

    def test_damaged_file_is_fetched_again(self):
        store = self.store_dir()
        body = body_of("damaged", 50000)
        with StandinOrigin({"/d": response(200, body, FRESH)}) as origin:
            p = self.start(cache_config(store))
            self.assertEqual(fetch(p, origin.url("/d")).body, body)
            self.assertTrue(wait_stored(store, [origin.url("/d")]))
            p.stop()
            path = object_path(store, origin.url("/d"))
            with open(path, "rb") as f:
                data = bytearray(f.read())
            data[-100] ^= 0xFF
            with open(path, "wb") as f:
                f.write(bytes(data))
            p = self.start(cache_config(store))
            answer = fetch(p, origin.url("/d"))
            self.assertEqual(answer.body, body)
            self.assertFalse(hit(answer))
            self.assertEqual(asked(origin, "/d"), 2)
            self.assertTrue(p.wait_log("cache: md5 mismatch"))

    def test_one_clients_answer_never_reaches_another(self):
        """A response that varies on request fields is only given to
        requests with the same values of them; one with a cookie for its
        client, or varying on "*", is never given to anyone else."""
        counter = {"session": 0}

        def by_field(field):
            def route(req):
                value = req.header(field) or "none"
                return response(200, ("for %s" % value).encode(), FRESH + [("Vary", field)])
            return route

        def with_cookie(req):
            counter["session"] += 1
            return response(200, b"session page", FRESH + [("Set-Cookie", "session=%d" % counter["session"])])

        routes = {"/cookie": by_field("Cookie"), "/language": by_field("Accept-Language"),
                  "/star": response(200, b"star", FRESH + [("Vary", "*")]), "/session": with_cookie}
        store = self.store_dir()
        with StandinOrigin(routes) as origin:
            p = self.start(cache_config(store, md5=0))

            def get(path, **headers):
                lines = ["Connection: close"] + ["%s: %s" % (k.replace("_", "-"), v) for k, v in headers.items()]
                return p.get(origin.url(path), lines, timeout=20)

            # (path, header name, value of the first client, value of the second)
            cases = [("/cookie", "Cookie", "user=alice", "user=bob"),
                     ("/language", "Accept_Language", "en", "de")]
            for path, field, first, second in cases:
                a = get(path, **{field: first})
                self.assertEqual(a.body, ("for %s" % first).encode(), path)
                self.assertTrue(wait_stored(store, [origin.url(path)]), path)
                # the same values: answered from the cache
                again = get(path, **{field: first})
                self.assertEqual(again.body, a.body, path)
                self.assertTrue(hit(again), (path, again.headers))
                self.assertIsNone(again.header("x-cache-vary-key"), path)
                # other values: never the first client's answer
                b = get(path, **{field: second})
                self.assertEqual(b.body, ("for %s" % second).encode(), (path, b.headers))
                self.assertFalse(hit(b), path)
                # and without the field at all
                c = get(path)
                self.assertEqual(c.body, b"for none", (path, c.headers))
            self.assertEqual(asked(origin, "/cookie"), 3)

            # a cookie set for one client is never handed to another
            first = get("/session")
            self.assertEqual(first.header("set-cookie"), "session=1")
            time.sleep(0.5)
            second = get("/session")
            self.assertEqual(second.header("set-cookie"), "session=2", second.headers)
            self.assertFalse(hit(second))
            # Vary "*": no request is the same one
            for _ in range(2):
                self.assertFalse(hit(get("/star")))
                time.sleep(0.5)
            self.assertEqual(asked(origin, "/star"), 2)

            # A copy kept without the record of what it varies on (as an
            # earlier version kept them) is discarded, never served.
            self.assertEqual(get("/cookie", Cookie="user=carol").body, b"for user=carol")
            time.sleep(1)  # the writer closes just after the answer
            self.assertTrue(wait_stored(store, [origin.url("/cookie")]))
            p.stop()
            path = object_path(store, origin.url("/cookie"))
            with open(path, "rb") as f:
                data = f.read()
            head, _, body = data.partition(b"\r\n\r\n")
            kept = [line for line in head.split(b"\r\n") if not line.lower().startswith(b"x-cache-vary-key:")]
            self.assertLess(len(kept), len(head.split(b"\r\n")))
            with open(path, "wb") as f:
                f.write(b"\r\n".join(kept) + b"\r\n\r\n" + body)
            p = self.start(cache_config(store, md5=0))
            answer = get("/cookie", Cookie="user=dave")
            self.assertEqual(answer.body, b"for user=dave", answer.headers)
            self.assertFalse(hit(answer))

    def test_soak_many_clients_overlapping_objects_some_aborting(self):
        store = self.store_dir()
        names = ["/s%d" % i for i in range(8)]
        bodies = {n: body_of("soak" + n, 30000 + 37000 * i) for i, n in enumerate(names)}
        routes = {}
        for i, n in enumerate(names):
            routes[n] = slow(bodies[n], pieces=6, chunks=(i % 3 == 2)) if i % 2 else response(200, bodies[n], FRESH)
        with StandinOrigin(routes) as origin:
            # a small memory cache: objects leave memory and come back from disk
            p = self.start(cache_config(store, memsize="1M", memextra="256K"))
            rng = random.Random(7)
            failures = []
            lock = threading.Lock()

            def client(k):
                for round_ in range(6):
                    n = rng.choice(names)
                    url = origin.url(n)
                    try:
                        if (k + round_) % 5 == 0:
                            # abort after part of the answer
                            with p.client(10) as c:
                                c.send(request(url, host="x"))
                                c.sock.recv(1000)
                            continue
                        answer = fetch(p, url, timeout=30)
                        if answer is None:
                            continue
                        if answer.status != 200 or answer.body != bodies[n]:
                            # an honest failure (closed early) is allowed, a wrong body never
                            if answer.complete and answer.status == 200:
                                with lock:
                                    failures.append((n, len(answer.body), answer.headers))
                    except OSError:
                        pass

            threads = [threading.Thread(target=client, args=(k,)) for k in range(24)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
            self.assertFalse(any(t.is_alive() for t in threads))
            self.assertEqual(failures, [])
            self.assertIsNone(p.proc.poll())
            # every object is whole afterwards
            for n in names:
                self.assertEqual(fetch(p, origin.url(n), timeout=30).body, bodies[n], n)
            self.assertTrue(wait_for(lambda: store_agrees(store), 10), "journal and files disagree")


if __name__ == "__main__":
    main()
