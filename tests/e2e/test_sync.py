"""A slave following its master's configuration: it starts without a
configuration file, takes the master's, polls it, loads again only when
the master's document changed, and writes its own file; and a stand-in
master for every way a master can fail."""
import errno
import http.client
import os
import socket
import threading
import time
import unittest

from config import Config
from harness import ALL_LOG, Proxy, dead_port, main, wait_for
from peers import StandinOrigin, response

EXPORT = "/korvantel.invalid/xml"
STAMP = "Thu, 10 Dec 2026 10:00:00 GMT"


def export(document, modified=STAMP):
    headers = (("Content-Type", "text/xml"),) + ((("Last-Modified", modified),) if modified else ())
    return response(200, document.encode(), headers)


def master_document(hostname="from-master"):
    return str(Config().set("general", hostname=hostname))


def slave(master_port, *extra, login=None):
    """A slave daemon whose configuration file does not exist yet; login is
    the master's interface login ("user:password")."""
    master = ("%s@" % login if login else "") + "127.0.0.1:%d" % master_port
    p = Proxy(args=["-M", master, "-I", "1"] + list(extra), loglevel=ALL_LOG)
    p.config_path = os.path.join(p.dir, "slave.xml")
    return p


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


class FollowTest(unittest.TestCase):
    def test_slave_takes_polls_and_reloads_only_on_change(self):
        state = {"document": master_document(), "modified": STAMP}
        route = lambda r: export(state["document"], state["modified"])  # noqa: E731
        with StandinOrigin({EXPORT: route}) as master, slave(master.port) as p:
            self.assertTrue(p.wait_log("synchronized local configuration file %s" % p.config_path))
            self.assertIn("<hostname>from-master</hostname>", read(p.config_path))
            self.assertIn("syncronized section: general", p.log())
            # unchanged master: polled again, nothing loaded
            self.assertTrue(p.wait_log("sync: already syncronized with 127.0.0.1:%d at" % master.port))
            self.assertEqual(p.log().count("syncronizing with"), 1)
            # a change on the master is taken at the next poll
            state["document"] = master_document("changed")
            state["modified"] = "Thu, 10 Dec 2026 11:00:00 GMT"
            self.assertTrue(wait_for(lambda: "<hostname>changed</hostname>" in read(p.config_path), 15))
            self.assertEqual(p.log().count("syncronizing with"), 2)
            self.assertTrue(all(r.path == EXPORT for r in master.requests))

    def test_the_masters_login_goes_as_the_login_cookie(self):
        # -M user:password@host:port: the request line and the log hold the
        # address only; the login travels as the interface's login cookie
        # (an Authorization header would be read as proxy credentials).
        with StandinOrigin({EXPORT: export(master_document())}) as master, \
                slave(master.port) as plain:
            self.assertTrue(plain.wait_log("synchronized local configuration file"))
            self.assertEqual(master.requests[0].headers_named("Cookie"), [])
        with StandinOrigin({EXPORT: export(master_document())}) as master, \
                slave(master.port, login="admin:Sl@veSecret") as p:
            self.assertTrue(p.wait_log("synchronized local configuration file"))
            request = master.requests[0]
            self.assertEqual(request.path, EXPORT)
            self.assertEqual(request.headers_named("Authorization"), [])
            cookies = request.headers_named("Cookie")
            self.assertEqual(len(cookies), 1)
            self.assertTrue(cookies[0].startswith("login=") and len(cookies[0]) > 20, cookies)
            self.assertNotIn("Sl@veSecret", request.raw.decode("latin-1"))
            self.assertIn("syncronizing with 127.0.0.1:%d" % master.port, p.log())
            self.assertNotIn("Sl@veSecret", p.log())

    def test_refused_document_keeps_the_running_configuration(self):
        state = {"document": master_document(), "modified": STAMP}
        route = lambda r: export(state["document"], state["modified"])  # noqa: E731
        with StandinOrigin({EXPORT: route}) as master, slave(master.port) as p:
            self.assertTrue(p.wait_log("synchronized local configuration file %s" % p.config_path))
            # general comes before url-filtering: nothing of it may be taken
            broken = Config().set("general", hostname="half-applied")
            broken.add("url-filtering/deny", comment="broken", host="(")
            state["document"] = str(broken)
            state["modified"] = "Thu, 10 Dec 2026 11:00:00 GMT"
            for line in ("sync: invalid data recieved from 127.0.0.1:%d" % master.port,
                         "sync: flawed XML file, section url-filtering, element deny: host must be a valid "
                         "regular expression, but it is given value (",
                         "sync: failed to syncronize with master"):
                self.assertTrue(p.wait_log(line), line)
            # the next poll tries again, and the slave runs on as it was
            self.assertTrue(wait_for(lambda: p.log().count("sync: invalid data recieved") >= 2, 15))
            self.assertIsNone(p.proc.poll())
            self.assertIn("<hostname>from-master</hostname>", read(p.config_path))
            running = p.get("http://korvantel.invalid/xml").body
            self.assertIn(b"<hostname>from-master</hostname>", running)
            self.assertNotIn(b"(</host>", running)
            self.assertEqual(p.log().count("syncronizing with"), 1)

    def test_chosen_sections_only(self):
        with StandinOrigin({EXPORT: export(master_document())}) as master, \
                slave(master.port, "-S", "GENERAL,cache", "-E", "cache") as p:
            self.assertTrue(p.wait_log("synchronized local configuration file"))
            synced = [l.split("syncronized section: ")[1] for l in p.log().splitlines()
                      if "syncronized section: " in l]
            self.assertEqual(synced, ["general"])


class LockTest(unittest.TestCase):
    def test_polls_wait_while_a_load_holds_the_document(self):
        """A poll reads and records the change stamp under the document lock,
        as loads and web actions do: while a "/load" holds that lock (here
        reading a FIFO nobody writes yet), no poll gets past it."""
        polled = lambda p: p.log().count("sync: already syncronized with")  # noqa: E731
        with StandinOrigin({EXPORT: export(master_document())}) as master, slave(master.port) as p:
            self.assertTrue(p.wait_log("sync: already syncronized with"))
            fifo = os.path.join(p.dir, "pending.xml")
            os.mkfifo(fifo)
            answer = {}

            def load():
                conn = http.client.HTTPConnection("127.0.0.1", p.port, timeout=60)
                try:
                    conn.request("GET", "http://korvantel.invalid/load?filename=%s&overwrite=yes" % fifo,
                                 headers={"Referer": "http://korvantel.invalid/"})
                    answer["body"] = conn.getresponse().read()
                finally:
                    conn.close()

            loader = threading.Thread(target=load, daemon=True)
            loader.start()
            writer = None
            deadline = time.monotonic() + 20
            while writer is None and time.monotonic() < deadline:  # until the load opened the FIFO
                try:
                    writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                except OSError as e:
                    self.assertEqual(e.errno, errno.ENXIO)
                    time.sleep(0.1)
            self.assertIsNotNone(writer)
            try:
                time.sleep(1.5)  # a poll already past the lock finishes
                before = polled(p)
                time.sleep(3.5)  # three more polls are due meanwhile
                self.assertEqual(polled(p), before)
                os.set_blocking(writer, True)
                os.write(writer, master_document().encode())
            finally:
                os.close(writer)
            loader.join(30)
            self.assertIn(b"File loaded", answer.get("body", b""))
            self.assertTrue(wait_for(lambda: polled(p) > before, 15))


def endless_master():
    """A master that answers with a body that never ends (bounded here at
    64 MiB, far past what the slave takes). Returns the listening socket
    and a record of how many bytes each answer got out."""
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    sent = []

    def serve():
        for _ in range(4):
            try:
                conn, _ = server.accept()
            except OSError:
                return
            total = 0
            try:
                conn.recv(65536)
                conn.sendall(b"HTTP/1.1 200 OK\r\nLast-Modified: " + STAMP.encode() + b"\r\n\r\n<korvantel>")
                block = b"<a/>" * 262144
                for _ in range(64):
                    conn.sendall(block)
                    total += len(block)
            except OSError:
                pass
            finally:
                sent.append(total)
                conn.close()

    threading.Thread(target=serve, daemon=True).start()
    return server, sent


class FailureTest(unittest.TestCase):
    def test_master_failures(self):
        truncated = master_document()
        truncated = truncated[:len(truncated) // 2]
        cases = [
            # (name, route or None for no master, lines)
            ("no answer", None, ["sync: No Response from 127.0.0.1:PORT"]),
            ("500", response(500, b"broken"), ["sync: 127.0.0.1:PORT responded with 500"]),
            ("404", response(404, b"none"), ["sync: 127.0.0.1:PORT responded with 404"]),
            ("no Last-Modified", export(master_document(), None),
             ["sync: Cannot estimate last configuration update of 127.0.0.1"]),
            ("wrong root", export("<section><general/></section>"),
             ["sync: invalid data recieved from 127.0.0.1:PORT"]),
            ("truncated XML", export(truncated), ["sync: invalid data recieved from 127.0.0.1:PORT"]),
            ("refused value", export(str(Config().set("general", hostname="x").set("url-filtering", enabled="yes"))),
             ["sync: invalid data recieved from 127.0.0.1:PORT",
              "sync: flawed XML file, section url-filtering, element : enabled must be true or false, "
              "but it is given value yes"]),
            ("section missing", export("<korvantel><general/></korvantel>"),
             ["sync: failed to syncronize section: access ",
              "sync: failed to synchronize local configuration file SLAVEFILE"]),
        ]
        for name, route, lines in cases:
            with self.subTest(name):
                if route is None:
                    port, master = dead_port(), None
                else:
                    master = StandinOrigin({EXPORT: route}).__enter__()
                    port = master.port
                try:
                    with slave(port) as p:
                        expected = [l.replace("PORT", str(port)).replace("SLAVEFILE", p.config_path)
                                    for l in lines]
                        for line in expected + ["sync: failed to syncronize with master"]:
                            self.assertTrue(p.wait_log(line), line)
                        # still serving, and no file written from a failed attempt
                        self.assertEqual(p.get("http://127.0.0.1:%d/" % dead_port()).status, 503)
                        self.assertFalse(os.path.exists(p.config_path))
                finally:
                    if master:
                        master.__exit__(None, None, None)

    def test_endless_body(self):
        server, sent = endless_master()
        try:
            with slave(server.getsockname()[1]) as p:
                self.assertTrue(p.wait_log("sync: failed to syncronize with master", timeout=30))
                self.assertFalse(os.path.exists(p.config_path))
                # the slave stopped reading near its cap instead of taking it all
                self.assertTrue(wait_for(lambda: sent, 10))
                self.assertLess(sent[0], 40 * 1024 * 1024)
        finally:
            server.close()


if __name__ == "__main__":
    main()
