"""A scripted FTP server on loopback for what a real server will not send:
listings in odd formats (DOS style, odd dates, names with blanks and
non-ASCII bytes, lines of any length, a listing that never ends), a PASV
reply with garbage or naming another host, and a control connection that
stops in the middle of a reply.

    with FtpStandin(listing=b"drwxr-xr-x 2 u g 4096 Jan 5 10:00 my dir\\r\\n") as s:
        proxy.get(s.url("/"))
        s.commands  # every command line received, in order
        s.lines     # the same lines as the bytes that came, line ends kept

Options: listing (bytes, or "endless"), pasv (the whole 227 line to send
instead of the real one, without its line end), stall_after (a command
after whose reply's first line the control connection goes silent),
files {path: bytes} for RETR and directories (paths ending in "/") that
CWD accepts, linger (seconds a RETR's data connection stays open after the
last byte before it is closed and the 226 sent).
"""
import socket

from origin import Listener


class FtpStandin(Listener):
    def __init__(self, listing=b"", pasv=None, stall_after=None, files=None, directories=("/",), linger=0):
        super().__init__()
        self.linger = linger
        self.listing = listing
        self.pasv = pasv
        self.stall_after = stall_after
        self.files = dict(files or {})
        self.directories = set(directories)
        self.commands = []
        self.lines = []

    def url(self, path="/"):
        return "ftp://127.0.0.1:%d%s" % (self.port, path)

    def handle(self, conn, index):
        self._session(conn)

    def _stall(self, conn):
        # Silent until the test ends: the proxy's time-out must end it.
        self.stop_event.wait(120)

    def _session(self, conn):
        conn.settimeout(60)
        reader = conn.makefile("rb")
        data_listener = None
        cwd = "/"
        try:
            conn.sendall(b"220 stand-in ready\r\n")
            for _ in range(200):
                line = reader.readline(65536)
                if not line:
                    return
                command = line.rstrip(b"\r\n").decode("latin-1")
                with self.lock:
                    self.commands.append(command)
                    self.lines.append(line)
                verb, _, argument = command.partition(" ")
                verb = verb.upper()
                if self.stall_after and verb == self.stall_after:
                    conn.sendall(b"250-first line of a reply that never ends\r\n")
                    self._stall(conn)
                    return
                if verb == "USER":
                    conn.sendall(b"331 password please\r\n")
                elif verb == "PASS":
                    conn.sendall(b"230 logged in\r\n")
                elif verb == "TYPE":
                    conn.sendall(b"200 binary\r\n")
                elif verb == "CWD":
                    if argument in self.directories or argument.rstrip("/") + "/" in self.directories:
                        cwd = argument
                        conn.sendall(b"250 ok\r\n")
                    else:
                        conn.sendall(b"550 not a directory\r\n")
                elif verb == "PASV":
                    data_listener = socket.socket()
                    data_listener.bind(("127.0.0.1", 0))
                    data_listener.listen(1)
                    port = data_listener.getsockname()[1]
                    if self.pasv is not None:
                        conn.sendall(self.pasv.encode("latin-1") + b"\r\n")
                    else:
                        conn.sendall(b"227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (port >> 8, port & 255))
                elif verb in ("LIST", "RETR"):
                    if not data_listener:
                        conn.sendall(b"425 no data connection\r\n")
                        continue
                    data_listener.settimeout(20)
                    try:
                        data, _ = data_listener.accept()
                    except OSError:
                        conn.sendall(b"425 no data connection\r\n")
                        continue
                    finally:
                        data_listener.close()
                        data_listener = None
                    if verb == "RETR":
                        path = argument if argument.startswith("/") else cwd.rstrip("/") + "/" + argument
                        if path not in self.files:
                            data.close()
                            conn.sendall(b"550 no such file\r\n")
                            continue
                        conn.sendall(b"150 sending\r\n")
                        self._send_data(data, self.files[path], self.linger)
                    else:
                        conn.sendall(b"150 listing\r\n")
                        self._send_data(data, self.listing)
                    conn.sendall(b"226 done\r\n")
                elif verb == "QUIT":
                    conn.sendall(b"221 bye\r\n")
                    return
                else:
                    conn.sendall(b"500 unknown\r\n")
        except OSError:
            pass
        finally:
            if data_listener:
                data_listener.close()
            conn.close()

    def _send_data(self, data, payload, linger=0):
        try:
            if payload == "endless":
                line = b"-rw-r--r-- 1 u g 1 Jan 5 10:00 endless\r\n" * 1000
                for _ in range(100000):
                    if self.stop_event.is_set():
                        break
                    data.sendall(line)
            else:
                data.sendall(payload)
                if linger:
                    self.stop_event.wait(linger)
        except OSError:
            pass
        finally:
            data.close()
