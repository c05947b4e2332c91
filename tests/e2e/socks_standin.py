#!/usr/bin/env python3
"""A scripted SOCKS4/SOCKS5 server for the network unit tests.

Serves one client on a free loopback port. It prints "PORT <n>" once it
listens, then "REQUEST <hex>" with every byte the client sent during the
handshake, and, when the handshake succeeds, connects to the requested target
and relays both ways until either side closes. The replies are chosen on the
command line so that the tests can provoke each refusal. The whole run is
bounded by --lifetime seconds.
"""
import argparse
import select
import socket
import sys
import threading


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--version", type=int, choices=(4, 5), required=True)
    p.add_argument("--reply", type=lambda v: int(v, 0), default=None,
                   help="SOCKS4 reply code (default 0x5A) or SOCKS5 reply code (default 0)")
    p.add_argument("--method", type=lambda v: int(v, 0), default=0,
                   help="SOCKS5 method the server picks")
    p.add_argument("--auth-status", type=lambda v: int(v, 0), default=0)
    p.add_argument("--bound-type", type=lambda v: int(v, 0), default=1)
    p.add_argument("--bound-length", type=int, default=9,
                   help="length of a domain-name bound address")
    p.add_argument("--short", action="store_true",
                   help="send only part of the final reply, then close")
    p.add_argument("--lifetime", type=float, default=20.0)
    return p.parse_args()


class Recorder:
    def __init__(self, conn):
        self.conn = conn
        self.got = bytearray()

    def read(self, n):
        data = bytearray()
        while len(data) < n:
            chunk = self.conn.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        self.got += data
        return bytes(data)


def report(line):
    try:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        pass


def socks4(rec, args):
    head = rec.read(8)
    port = (head[2] << 8) | head[3]
    host = socket.inet_ntoa(head[4:8])
    while rec.read(1) != b"\x00":
        if len(rec.got) > 1024:
            raise EOFError
    report("REQUEST " + rec.got.hex())
    code = 0x5A if args.reply is None else args.reply
    reply = bytes([0, code]) + head[2:8]
    if args.short:
        rec.conn.sendall(reply[:3])
        return None
    rec.conn.sendall(reply)
    return (host, port) if code == 0x5A else None


def socks5(rec, args):
    ver, count = rec.read(2)
    rec.read(count)
    rec.conn.sendall(bytes([5, args.method]))
    if args.method == 2:
        rec.read(1)
        user = rec.read(rec.read(1)[0])
        password = rec.read(rec.read(1)[0])
        del user, password
        rec.conn.sendall(bytes([1, args.auth_status]))
        if args.auth_status != 0:
            report("REQUEST " + rec.got.hex())
            return None
    elif args.method != 0:
        report("REQUEST " + rec.got.hex())
        return None
    head = rec.read(4)
    if head[3] == 3:
        host = rec.read(rec.read(1)[0]).decode("latin-1")
    elif head[3] == 1:
        host = socket.inet_ntoa(rec.read(4))
    else:
        host = socket.inet_ntop(socket.AF_INET6, rec.read(16))
    port = int.from_bytes(rec.read(2), "big")
    report("REQUEST " + rec.got.hex())
    code = 0 if args.reply is None else args.reply
    if args.bound_type == 1:
        bound = bytes([127, 0, 0, 1])
    elif args.bound_type == 4:
        bound = bytes(15) + b"\x01"
    elif args.bound_type == 3:
        bound = bytes([args.bound_length]) + b"b" * args.bound_length
    else:
        bound = b""
    reply = bytes([5, code, 0, args.bound_type]) + bound + b"\x04\x38"
    if args.short:
        rec.conn.sendall(reply[:-1])
        return None
    rec.conn.sendall(reply)
    return (host, port) if code == 0 else None


def relay(a, b, deadline_event):
    socks = [a, b]
    while not deadline_event.is_set():
        readable, _, _ = select.select(socks, [], [], 0.5)
        for s in readable:
            data = s.recv(65536)
            if not data:
                return
            (b if s is a else a).sendall(data)


def main():
    args = parse_args()
    done = threading.Event()
    timer = threading.Timer(args.lifetime, lambda: (done.set(), sys.stdout.flush(), __import__("os")._exit(3)))
    timer.daemon = True
    timer.start()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    report("PORT %d" % listener.getsockname()[1])
    conn, _ = listener.accept()
    listener.close()
    conn.settimeout(args.lifetime)
    rec = Recorder(conn)
    try:
        target = socks4(rec, args) if args.version == 4 else socks5(rec, args)
    except (EOFError, OSError):
        report("REQUEST " + rec.got.hex())
        target = None
    if target is not None:
        upstream = socket.create_connection(target, timeout=args.lifetime)
        relay(conn, upstream, done)
        upstream.close()
    else:
        # Let the client see the close only after it read what was sent.
        try:
            conn.shutdown(socket.SHUT_WR)
            while conn.recv(4096):
                pass
        except OSError:
            pass
    conn.close()
    report("DONE")


if __name__ == "__main__":
    main()
