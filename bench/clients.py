#!/usr/bin/env python3
"""Small clients for bench/run.sh.

  clients.py connects PORT URL N
      N sequential connections to the proxy on 127.0.0.1:PORT, each asking
      once for URL (absolute form, "Connection: close") and reading the
      answer to its end. Prints "seconds failures".

  clients.py idle PORT URL N SETTLE PID...
      Opens N connections, asks once for URL on each with keep-alive and
      reads the answer, then leaves them idle for SETTLE seconds and prints
      the summed VmRSS and Pss in KiB of the PIDs and their child processes,
      then "connections-open".

  clients.py cpu PORT
      The CPU time (user + system, microseconds) used so far by the
      processes that listen on 127.0.0.1:PORT, with their parents of the
      same name (a master process) and all their children.
"""
import os
import socket
import sys
import time


def request(url, close):
    host = url.split("/")[2]
    head = "GET %s HTTP/1.1\r\nHost: %s\r\n" % (url, host)
    if close:
        head += "Connection: close\r\n"
    return (head + "\r\n").encode()


def read_answer(sock, close):
    """Reads one answer; True when it was a 200."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return False
        data += chunk
        if len(data) > 1 << 20:
            return False
    head, _, body = data.partition(b"\r\n\r\n")
    ok = head.split(b" ", 2)[1:2] == [b"200"]
    length = None
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    if length is None or close:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
        return ok
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            return False
        body += chunk
    return ok


def connects(port, url, n):
    payload = request(url, True)
    failures = 0
    start = time.monotonic()
    for _ in range(n):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
                sock.sendall(payload)
                if not read_answer(sock, True):
                    failures += 1
        except OSError:
            failures += 1
    print("%.3f %d" % (time.monotonic() - start, failures))


def tree(pids):
    """The pids and their descendants."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            children.setdefault(int(fields[1]), []).append(int(entry))
        except OSError:
            pass
    out, todo = [], list(pids)
    while todo:
        pid = todo.pop()
        out.append(pid)
        todo.extend(children.get(pid, []))
    return out


def memory(pids):
    rss = pss = 0
    for pid in tree(pids):
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        rss += int(line.split()[1])
            with open("/proc/%d/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        pss += int(line.split()[1])
        except OSError:
            pass
    return rss, pss


def listeners(port):
    """Pids holding a listening TCP socket on port."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                for line in list(f)[1:]:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        inodes.add("socket:[%s]" % fields[9])
        except OSError:
            pass
    pids = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            for fd in os.listdir("/proc/%s/fd" % entry):
                if os.readlink("/proc/%s/fd/%s" % (entry, fd)) in inodes:
                    pids.add(int(entry))
                    break
        except OSError:
            pass
    return pids


def stat(pid):
    """(name, parent pid, user + system clock ticks) of a process."""
    with open("/proc/%d/stat" % pid) as f:
        text = f.read()
    name = text[text.index("(") + 1:text.rindex(")")]
    fields = text.rsplit(")", 1)[1].split()
    return name, int(fields[1]), int(fields[11]) + int(fields[12])


def cpu(port):
    roots = set()
    for pid in listeners(port):
        try:
            name, parent, _ = stat(pid)
            while parent > 1 and stat(parent)[0] == name:
                pid, parent = parent, stat(parent)[1]
        except OSError:
            pass
        roots.add(pid)
    ticks = 0
    for pid in set(tree(roots)):
        try:
            ticks += stat(pid)[2]
        except OSError:
            pass
    print(ticks * 1000000 // os.sysconf("SC_CLK_TCK"))


def idle(port, url, n, settle, pids):
    payload = request(url, False)
    socks = []
    for _ in range(n):
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=10)
            sock.sendall(payload)
            if read_answer(sock, False):
                socks.append(sock)
            else:
                sock.close()
        except OSError:
            pass
    time.sleep(settle)
    rss, pss = memory(pids)
    # Only connections the proxy still holds count.
    alive = 0
    for sock in socks:
        sock.setblocking(False)
        try:
            alive += 0 if sock.recv(1) == b"" else 1
        except BlockingIOError:
            alive += 1
        except OSError:
            pass
        sock.close()
    print("%d %d %d" % (rss, pss, alive))


def main():
    mode = sys.argv[1]
    if mode == "connects":
        connects(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]))
    elif mode == "idle":
        idle(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), float(sys.argv[5]), [int(p) for p in sys.argv[6:]])
    elif mode == "cpu":
        cpu(int(sys.argv[2]))
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
