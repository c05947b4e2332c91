#!/usr/bin/env python3
"""Stand-in for the NTLM authentication daemon (httpauthd).

Listens on a Unix stream socket, greets every new connection, and answers
each request (text ending with an empty line, "\\r\\n\\r\\n") with one line
chosen by a script. Everything received is recorded, one JSON object per
request: a line "<connection number from 1> <kind> <length>" (kind: handler,
step1, step2 or other), then the request text of that many bytes, then a
line feed.

The script is a JSON file, read again for every request so a test can change
the daemon's behaviour between exchanges:

    {
      "greeting": "httpauthd ready\\n",           # null: close at once
      "handler": "200 OK\\n",
      "step1": "200 401 -\\n",                    # answer to AUTH without Authorization
      "step2": {"<NTLM message>": "200 401 CHALLENGE\\n", "*": "200 200 alice\\n"}
    }

An answer is a text sent in one write, null to close the connection without
answering, or {"close_after": text} to send the text and then close. A map
is looked up by the request's NTLM message, "*" being the fallback.

Usage: ntlm_standin.py SOCKET_PATH SCRIPT_FILE RECORD_FILE
"""
import json
import os
import socket
import sys
import threading

DEFAULT_SCRIPT = {
    "greeting": "httpauthd ready\n",
    "handler": "200 OK\n",
    "step1": "200 401 -\n",
    "step2": {"*": "200 200 alice\n"},
}


class StandIn:
    def __init__(self, path, script_file, record_file):
        self.path = path
        self.script_file = script_file
        self.record_file = record_file
        self.lock = threading.Lock()
        self.connections = 0

    def script(self):
        try:
            with open(self.script_file) as f:
                loaded = json.load(f)
        except (OSError, ValueError):
            loaded = {}
        merged = dict(DEFAULT_SCRIPT)
        merged.update(loaded)
        return merged

    def record(self, conn, kind, text):
        with self.lock:
            with open(self.record_file, "a", encoding="latin-1", newline="") as f:
                f.write("%d %s %d\n%s\n" % (conn, kind, len(text), text))

    @staticmethod
    def classify(text):
        if text.startswith("set handler "):
            return "handler", None
        if text.startswith("AUTH "):
            for line in text.split("\r\n"):
                if line.startswith("Authorization: NTLM "):
                    return "step2", line[len("Authorization: NTLM "):]
            return "step1", None
        return "other", None

    @staticmethod
    def pick(answer, message):
        if isinstance(answer, dict) and "close_after" not in answer:
            return answer.get(message, answer.get("*"))
        return answer

    @staticmethod
    def send(sock, answer):
        """Sends an answer; False when the connection is to close."""
        if answer is None:
            return False
        if isinstance(answer, dict):
            sock.sendall(answer["close_after"].encode("latin-1"))
            return False
        sock.sendall(answer.encode("latin-1"))
        return True

    def serve(self, sock, conn):
        try:
            if not self.send(sock, self.script().get("greeting")):
                return
            pending = b""
            while True:
                data = sock.recv(65536)
                if not data:
                    return
                pending += data
                while b"\r\n\r\n" in pending:
                    raw, pending = pending.split(b"\r\n\r\n", 1)
                    text = raw.decode("latin-1") + "\r\n\r\n"
                    kind, message = self.classify(text)
                    self.record(conn, kind, text)
                    answer = self.pick(self.script().get(kind, "500 500 -\n"), message)
                    if not self.send(sock, answer):
                        return
        except OSError:
            pass
        finally:
            sock.close()

    def run(self):
        if os.path.exists(self.path):
            os.unlink(self.path)
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.bind(self.path + ".tmp")
        server.listen(16)
        os.rename(self.path + ".tmp", self.path)  # appears only once listening
        while True:
            sock, _ = server.accept()
            with self.lock:
                self.connections += 1
                conn = self.connections
            threading.Thread(target=self.serve, args=(sock, conn), daemon=True).start()


def main():
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    StandIn(sys.argv[1], sys.argv[2], sys.argv[3]).run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
