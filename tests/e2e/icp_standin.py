#!/usr/bin/env python3
"""A stand-in ICP peer (RFC 2186 message layout) on a loopback UDP port.

It records every datagram it receives and answers each QUERY with the
opcode it is set to (None: stays silent), echoing the request number and
the URL without the requester address, as a cache answering HIT or MISS
would:

    with IcpStandin("HIT", address="127.0.0.2") as peer:
        ... peer.port ...
        peer.answer = "MISS"
        peer.queries[0].url

Run as a script it answers with the opcode given on the command line,
prints "PORT <n>" once it listens and "QUERY <url>" for every query, for
at most --lifetime seconds.
"""
import argparse
import socket
import struct
import sys
import threading
import time

OPCODES = {"INVALID": 0, "QUERY": 1, "HIT": 2, "MISS": 3, "ERR": 4, "DENIED": 22}
HEADER = struct.Struct("!BBHIIII")  # opcode, version, length, number, options, option data, sender


class Query:
    def __init__(self, data, sender):
        self.raw = data
        self.sender = sender  # (address, port) the datagram came from
        (self.opcode, self.version, self.length, self.number, self.options, self.option_data,
         sender_address) = HEADER.unpack_from(data)
        self.sender_address = socket.inet_ntoa(struct.pack("!I", sender_address))
        payload = data[HEADER.size:]
        self.requester = socket.inet_ntoa(payload[:4]) if len(payload) >= 4 else None
        url = payload[4:]
        self.terminated = url.endswith(b"\0")
        self.url = url.split(b"\0", 1)[0].decode("latin-1")


def reply(query, opcode):
    """The query turned into an answer: the opcode changed, the requester
    address removed."""
    url = query.raw[HEADER.size + 4:]
    head = HEADER.pack(opcode, query.version, HEADER.size + len(url), query.number, 0, 0, 0)
    return head + url


class IcpStandin:
    def __init__(self, answer="MISS", address="127.0.0.1"):
        self.answer = answer
        self.queries = []
        self.lock = threading.Lock()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 0))
        self.sock.settimeout(0.1)
        self.address = address
        self.port = self.sock.getsockname()[1]
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self):
        while self.running:
            try:
                data, sender = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if len(data) < HEADER.size:
                continue
            query = Query(data, sender)
            with self.lock:
                self.queries.append(query)
            answer = self.answer
            if query.opcode != OPCODES["QUERY"] or answer is None:
                continue
            try:
                self.sock.sendto(reply(query, OPCODES[answer]), sender)
            except OSError:
                pass

    def received(self):
        with self.lock:
            return list(self.queries)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join(5)
        self.sock.close()


def query_packet(url, number=1, requester="127.0.0.1", sender="127.0.0.1", opcode=1):
    """A QUERY as a peer would send it, for asking an ICP server."""
    body = socket.inet_aton(requester) + url.encode("latin-1") + b"\0"
    sender_int = struct.unpack("!I", socket.inet_aton(sender))[0]
    return HEADER.pack(opcode, 3, HEADER.size + len(body), number, 0, 0, sender_int) + body


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--answer", choices=sorted(OPCODES) + ["NONE"], default="MISS")
    p.add_argument("--address", default="127.0.0.1")
    p.add_argument("--lifetime", type=float, default=20.0)
    args = p.parse_args()
    standin = IcpStandin(None if args.answer == "NONE" else args.answer, args.address)
    with standin:
        print("PORT %d" % standin.port, flush=True)
        seen = 0
        deadline = time.monotonic() + args.lifetime
        while time.monotonic() < deadline:
            queries = standin.received()
            for q in queries[seen:]:
                print("QUERY %s" % q.url, flush=True)
            seen = len(queries)
            time.sleep(0.05)


if __name__ == "__main__":
    sys.exit(main())
