"""Stand-ins for the scanner daemons and ICAP replies no Debian package
gives: each listens on a Unix socket in its own temp dir or on a loopback
TCP port, answers by a `behaviour` word, and records what it saw.

    with KasperskyStandin("infected") as k:   # k.path: the socket
        ... k.seen[0] == {"command": "SCAN ...", "mode": 0o600, "data": b"...", "quit": True}

Behaviours: "clean", "infected", "error", "silent" (reads, never answers,
closes after `hold` seconds), "garbage"; some stand-ins know more
("truncated", "closed", "silent-verdict").
SIGNATURE in a body makes the stand-ins that scan content call it infected.
"""
import os
import shutil
import socket
import stat
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from origin import Listener

SIGNATURE = b"KORVANTEL-TEST-VIRUS-SIGNATURE"


class Daemon(Listener):
    """A threaded listener on a Unix socket (default) or a TCP port."""

    name = "daemon"

    def __init__(self, behaviour="clean", tcp=False, hold=3.0):
        self.behaviour = behaviour
        self.hold = hold
        self.dir = tempfile.mkdtemp(prefix="korvantel-%s-" % self.name)
        self.seen = []
        super().__init__(None if tcp else os.path.join(self.dir, "sock"))

    def __exit__(self, *exc):
        super().__exit__(*exc)
        shutil.rmtree(self.dir, ignore_errors=True)

    def handle(self, conn, index):
        conn.settimeout(10)
        try:
            self.serve(conn, conn.makefile("rb"))
        except (OSError, ValueError):
            pass
        finally:
            conn.close()

    def record(self, entry):
        with self.lock:
            self.seen.append(entry)

    def silent(self):
        time.sleep(self.hold)


def file_seen(path):
    """Mode and bytes of a file the proxy asked to scan."""
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
        with open(path, "rb") as f:
            return mode, f.read()
    except OSError:
        return None, None


class ClamStreamStandin(Daemon):
    """A clamd of the STREAM/PORT kind, over TCP (or a Unix socket)."""

    name = "clamstream"

    def serve(self, conn, reader):
        command = reader.readline()
        entry = {"command": command}
        self.record(entry)
        if self.behaviour == "silent":
            return self.silent()
        if self.behaviour == "garbage":
            conn.sendall(b"HELLO THERE\n")
            return
        data_sock = socket.socket()
        data_sock.bind(("127.0.0.1", 0))
        data_sock.listen(1)
        data_sock.settimeout(10)
        conn.sendall(b"PORT %d\n" % data_sock.getsockname()[1])
        data, _ = data_sock.accept()
        body = b""
        while True:
            piece = data.recv(65536)
            if not piece:
                break
            body += piece
        data.close()
        data_sock.close()
        entry["data"] = body
        if self.behaviour == "fourwords":
            conn.sendall(b"stream: one two three\n")
        elif SIGNATURE in body:
            conn.sendall(b"stream: Test.Stream.Sig FOUND\n")
        else:
            conn.sendall(b"stream: OK\n")


class KasperskyStandin(Daemon):
    """The Kaspersky line protocol on a Unix socket."""

    name = "kaspersky"

    def serve(self, conn, reader):
        command = reader.readline().decode("latin-1")
        path = command.rstrip("\r\n").split(" ", 2)[-1]
        mode, data = file_seen(path)
        entry = {"command": command, "path": path, "mode": mode, "data": data, "quit": False}
        self.record(entry)
        if self.behaviour == "silent":
            return self.silent()
        replies = {
            "clean": b"201 scanning\r\n220 clean\r\n",
            "infected": b"201 scanning\r\n322 Test.Kav.Sig extra words\r\n230 infected\r\n",
            "noname": b"230 infected\r\n",
            "error": b"500 trouble\r\n",
            # no code at all
            "garbage": b"\xff not a code\r\n",
            # longer than any reply line and never ended, then the close
            "flood": b"\xff\x00 not a code " * 200,
            # progress, then the close without a verdict
            "truncated": b"201 scanning\r\n",
        }
        if self.behaviour == "content":
            reply = replies["infected" if data and SIGNATURE in data else "clean"]
        else:
            reply = replies.get(self.behaviour, b"")
        conn.sendall(reply)
        if self.behaviour in ("flood", "truncated"):
            return
        entry["quit"] = reader.readline() == b"QUIT\r\n"
        entry["after"] = os.path.exists(path)


class SophieStandin(Daemon):
    """Sophie over a Unix socket (path, then one reply) or TCP (name/size,
    OK, the bytes, a verdict line)."""

    name = "sophie"

    def serve(self, conn, reader):
        if self.path:
            line = reader.readline().decode("latin-1")
            path = line.rstrip("\n")
            mode, data = file_seen(path)
            self.record({"path": path, "mode": mode, "data": data})
            if self.behaviour == "silent":
                return self.silent()
            # "closed": no reply at all
            conn.sendall({"clean": b"0", "infected": b"1:Test.Sophie.Sig\nrest",
                          "error": b"-1", "short": b"1", "garbage": b"hello there\n"}.get(self.behaviour, b""))
            return
        line = reader.readline().decode("latin-1").rstrip("\n")
        name, _, size = line.rpartition("/")
        entry = {"line": line, "name": name}
        self.record(entry)
        if self.behaviour == "silent":
            return self.silent()
        if self.behaviour == "refuse":
            conn.sendall(b"NO\n")
            return
        conn.sendall(b"OK\n")
        if self.behaviour == "unread":
            return self.silent()  # takes none of the body
        entry["data"] = reader.read(int(size))
        if self.behaviour == "silent-verdict":
            return self.silent()
        # "closed": the body taken, no verdict
        conn.sendall({"clean": b"0\n", "infected": b"1 Test.Sophie.Sig\n",
                      "error": b"-1 broken\n", "garbage": b"hello there\n"}.get(self.behaviour, b""))


class FProtStandin:
    """The F-Prot daemon: HTTP on 127.0.0.1 at a fixed port, reading the
    file named by the path. Ports 10200-10204 are fixed, so a busy port is
    waited for a bounded time (another test run may hold it)."""

    def __init__(self, port=10200, behaviour="clean", wait=60):
        self.behaviour = behaviour
        self.requests = []
        standin = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                path, _, query = self.path.partition("?")
                mode, data = file_seen(path)
                standin.requests.append({"path": path, "query": query, "mode": mode, "data": data})
                body = standin.answer(data)
                self.send_response(200 if standin.behaviour != "error" else 500)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        deadline = time.monotonic() + wait
        while True:
            try:
                self.server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.1},
                                       daemon=True)

    def answer(self, data):
        if self.behaviour == "error":
            return b"<html>server trouble</html>"
        if self.behaviour == "deep":
            # Well-formed, about 15 KB, and 5,000 elements deep.
            return (b"<?xml version='1.0'?><fprot-results>" + b"<a>" * 5000 + b"</a>" * 5000 +
                    b"<summary>infected</summary></fprot-results>")
        infected = self.behaviour == "infected" or (self.behaviour == "content" and data and SIGNATURE in data)
        if not infected:
            return b"<?xml version='1.0'?><fprot-results><summary>clean</summary></fprot-results>"
        if self.behaviour == "infected":
            return (b"<?xml version='1.0'?><!DOCTYPE x [ <!ENTITY e 'x'> ]><fprot-results>"
                    b"<summary>INFECTED</summary></fprot-results>")
        return (b"<?xml version='1.0'?><fprot-results><summary>infected</summary>"
                b"<detected><name>Test.FProt.Sig</name></detected></fprot-results>")

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


class IcapStandin(Daemon):
    """ICAP replies c-icap will not give. Each connection may carry several
    exchanges; `replies` maps a behaviour to the raw reply bytes (a
    callable gets the received message)."""

    name = "icap"

    def __init__(self, behaviour, **kw):
        super().__init__(behaviour, tcp=True, **kw)
        self.messages = []

    def read_message(self, reader):
        head = b""
        while True:
            line = reader.readline()
            if not line:
                return None
            head += line
            if line in (b"\r\n", b"\n"):
                break
        text = head.decode("latin-1")
        encapsulated = ""
        for line in text.split("\r\n"):
            if line.lower().startswith("encapsulated:"):
                encapsulated = line.split(":", 1)[1].strip()
        offsets = dict((k.strip(), int(v)) for k, v in (p.split("=") for p in encapsulated.split(",") if "=" in p))
        blocks = reader.read(max(v for v in offsets.values())) if offsets else b""
        body = b""
        if "req-body" in offsets or "res-body" in offsets:
            while True:
                size = int(reader.readline().split(b";")[0], 16)
                chunk = reader.read(size + 2)
                if size == 0:
                    break
                body += chunk[:-2]
        return {"head": text, "offsets": offsets, "blocks": blocks, "body": body}

    def serve(self, conn, reader):
        while True:
            message = self.read_message(reader)
            if message is None:
                return
            with self.lock:
                self.messages.append(message)
            reply = self.reply(message)
            if reply is None:
                return self.silent()
            conn.sendall(reply)
            if b"Connection: close" in reply.split(b"\r\n\r\n")[0]:
                return

    def reply(self, message):
        page = b"HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n\r\n"
        chunked = b"f\r\nblocked by icap\r\n0\r\n\r\n"
        b = self.behaviour
        if b == "204":
            return b"ICAP/1.0 204 No Content\r\nISTag: x\r\n\r\n"
        if b == "500":
            return b"ICAP/1.0 500 Server Error\r\nISTag: x\r\n\r\n"
        if b == "404":
            return b"ICAP/1.0 404 Service Not Found\r\nISTag: x\r\n\r\n"
        if b == "noencap":
            return b"ICAP/1.0 200 OK\r\nISTag: x\r\n\r\n"
        if b == "both":
            return b"ICAP/1.0 200 OK\r\nEncapsulated: req-body=0, res-body=0\r\n\r\n"
        if b == "satisfy":
            return (b"ICAP/1.0 200 OK\r\nISTag: x\r\nEncapsulated: res-hdr=0, res-body=%d\r\n\r\n" % len(page)
                    + page + chunked)
        if b == "satisfy-close":
            return (b"ICAP/1.0 200 OK\r\nConnection: close\r\nEncapsulated: res-hdr=0, res-body=%d\r\n\r\n"
                    % len(page) + page + chunked)
        if b == "badchunk":
            return (b"ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=%d\r\n\r\n" % len(page)
                    + page + b"zz\r\nnot a chunk\r\n")
        if b == "nothing":
            return b"ICAP/1.0 200 OK\r\nEncapsulated: null-body=0\r\n\r\n"
        if b == "unread":
            # offsets that name no header block at 0: nothing is read, so
            # the bytes that follow would put the connection out of step
            return b"ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=5, res-body=10\r\n\r\nleftover bytes\r\n"
        if b == "header-only":
            head = b"HTTP/1.1 200 OK\r\nX-Icap: changed\r\nContent-Type: text/plain\r\n\r\n"
            return b"ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, null-body=%d\r\n\r\n" % len(head) + head
        return None  # silent
