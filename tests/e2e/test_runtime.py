"""The running daemon: listeners, workers and the client pool, signals."""
import os
import re
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from client import connect, request
from harness import (ALL_LOG, BINARY, SECTION_XML, Clock, Config, Proxy, free_port, main, pid_alive, port_open,
                     private_config, wait_for)
from peers import HELLO, hello_origin


class Listening(unittest.TestCase):
    def test_command_line_and_configured_listeners(self):
        extra = free_port()
        conf = Config().add("network/listen", comment="test", port=extra, ip="127.0.0.1")
        with hello_origin() as origin, Proxy(config=conf) as p:
            self.assertTrue(wait_for(lambda: port_open(extra), 10))
            for port in (p.port, extra):
                with connect(port) as c:
                    r = c.ask(request(origin.url("/x")))
                    self.assertIsNotNone(r, port)

    def test_many_concurrent_clients_with_keepalive(self):
        with hello_origin() as origin, Proxy() as p:
            results = []

            def client():
                try:
                    with p.client() as c:
                        got = []
                        for _ in range(3):  # three requests on one connection
                            r = c.ask(request(origin.url("/c")))
                            got.append(r.status if r else 0)
                        results.append(got)
                except OSError as e:
                    results.append(str(e))

            threads = [threading.Thread(target=client) for _ in range(60)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
            self.assertEqual(60, len(results))
            for r in results:
                self.assertIsInstance(r, list, r)
                self.assertTrue(all(code > 0 for code in r), r)

    def test_kept_alive_connection_returns_from_the_pool(self):
        with hello_origin() as origin, Proxy(loglevel=ALL_LOG) as p:
            with p.client() as c:
                first = c.ask(request(origin.url("/1")))
                self.assertIsNotNone(first)
                # idle long enough that the worker gives the connection back
                self.assertTrue(p.wait_log("process: adding connection to pool"))
                time.sleep(1.5)
                second = c.ask(request(origin.url("/2")))
                self.assertIsNotNone(second)
                self.assertEqual(first.status, second.status)

    def test_client_closing_while_pooled_is_closed(self):
        with hello_origin() as origin, Proxy(loglevel=ALL_LOG) as p:
            c = p.client()
            c.ask(request(origin.url("/1")))
            self.assertTrue(p.wait_log("process: adding connection to pool"))
            c.close()
            self.assertTrue(p.wait_log("disconnected after making 1 requests"))


def timeouts(timeout, keeptimeout):
    return Config().set("general/rule", timeout=timeout, keeptimeout=keeptimeout)


class IdleTimeouts(unittest.TestCase):
    def test_silent_new_connection_closed_after_timeout(self):
        with Proxy(config=timeouts(2, 30)) as p:
            with p.client() as c:
                self.assertTrue(c.closed(15))
            self.assertTrue(p.wait_log("disconnected after making 0 requests"))

    def test_kept_alive_connection_closed_after_keepalive_timeout(self):
        with hello_origin() as origin, Proxy(config=timeouts(30, 2)) as p:
            with p.client() as c:
                self.assertIsNotNone(c.ask(request(origin.url("/1"))))
                self.assertTrue(c.closed(15))
            self.assertTrue(p.wait_log("disconnected after making 1 requests"))

    def test_generous_timeouts_keep_the_connection(self):
        with Proxy(config=timeouts(30, 30)) as p:
            with p.client() as c:
                self.assertFalse(c.closed(3))

    def test_clock_step_keeps_pooled_connections(self):
        # Idle time is measured on a clock the time of day does not move: a
        # step of the system clock closes neither a kept-alive connection
        # nor a new one still waiting for its first request.
        clock = Clock(tempfile.mkdtemp(prefix="korvantel-clock-"))
        with hello_origin() as origin, Proxy(config=timeouts(30, 30), loglevel=ALL_LOG, env=clock.env()) as p:
            with p.client() as kept, p.client() as fresh:
                self.assertIsNotNone(kept.ask(request(origin.url("/1"))))
                self.assertTrue(p.wait_log("process: adding connection to pool"))
                clock.advance(300)
                time.sleep(2.5)  # the pool sweeps idle connections once a second
                self.assertFalse(kept.closed(0.5))
                self.assertFalse(fresh.closed(0.5))
                for c in (kept, fresh):
                    r = c.ask(request(origin.url("/2")))
                    self.assertIsNotNone(r)
                    self.assertEqual(200, r.status)


class Signals(unittest.TestCase):
    def test_sigterm_removes_pidfile_and_exits_0(self):
        d = tempfile.mkdtemp()
        pidfile = os.path.join(d, "k.pid")
        log = os.path.join(d, "native.log")
        subprocess.run([BINARY, "-c", private_config(d), "-s", SECTION_XML, "-p", pidfile, "-l", log,
                        "-L", "127.0.0.1:%d" % free_port(), "-m", d, "-y", d,
                        "-r", os.path.join(d, "p.log")], check=True, timeout=20)

        def started():
            try:
                with open(pidfile) as f, open(log) as g:
                    text = f.read()
                    return int(text) if text.endswith("\n") and "proxy hostname" in g.read() else None
            except (OSError, ValueError):
                return None

        pid = wait_for(started, 10)
        self.assertTrue(pid)
        try:
            os.kill(pid, signal.SIGTERM)
            self.assertTrue(wait_for(lambda: not pid_alive(pid), 10))
            self.assertFalse(os.path.exists(pidfile))
            with open(log) as f:
                self.assertIn("Recieved TERM Signal to EXIT", f.read())
        finally:
            if pid_alive(pid):
                os.kill(pid, signal.SIGKILL)

    def test_foreground_sigterm_status(self):
        p = Proxy().start()
        p.proc.send_signal(signal.SIGTERM)
        self.assertEqual(0, p.proc.wait(10))
        p.stdout.close()

    def test_crash_signals_write_a_trace_and_fail(self):
        for signo, text in [(signal.SIGSEGV, "Recieved Signal for Segmentation violation"),
                            (signal.SIGABRT, "Recieved Signal for IOT trap ")]:
            with self.subTest(signal=signo):
                p = Proxy().start()
                try:
                    p.proc.send_signal(signo)
                    self.assertEqual(1, p.proc.wait(15))
                    log = p.log()
                    self.assertIn(text, log)
                    # backtrace lines come before the message
                    before = log[:log.index(text)]
                    self.assertRegex(before, r"\[0x[0-9a-f]+\]")
                finally:
                    p.stop()

    def test_sigusr1_rotates_native_log(self):
        with Proxy() as p:
            def all_logs():
                return "".join(open(os.path.join(p.dir, n)).read()
                               for n in os.listdir(p.dir) if n.endswith("native.log"))
            p.proc.send_signal(signal.SIGUSR1)
            self.assertTrue(wait_for(lambda: "Recieved Signal for Log Rotation" in all_logs(), 10))
            p.proc.send_signal(signal.SIGUSR2)  # the next line starts a new file
            self.assertTrue(wait_for(lambda: "Recieved Test Signal for USR2" in p.log(), 10))
            rotated = [n for n in os.listdir(p.dir) if n.endswith("-native.log")]
            self.assertEqual(1, len(rotated), os.listdir(p.dir))
            self.assertRegex(rotated[0], r"^\d{14}-native\.log$")
            with open(os.path.join(p.dir, rotated[0])) as f:
                old = f.read()
            # the rotation line is the old file's last
            self.assertTrue(old.rstrip("\n").endswith("Recieved Signal for Log Rotation"), old)
            self.assertNotIn("Rotation", p.log())

    def test_sigusr1_rotates_access_and_extended_logs_at_their_next_record(self):
        with hello_origin() as origin, Proxy() as p:
            p.get(origin.url("/before"), ["Connection: close"])
            self.assertTrue(wait_for(lambda: "/before" in p.log("access") and "/before" in p.log("extended")))
            p.proc.send_signal(signal.SIGUSR1)
            self.assertTrue(wait_for(lambda: any(n.endswith("-native.log") for n in os.listdir(p.dir))
                                     or "Recieved Signal for Log Rotation" in p.log(), 10))
            p.get(origin.url("/after"), ["Connection: close"])
            for name, legend in (("access", "#start_time_in_seconds.milliseconds"),
                                 ("extended", '#"record_id"')):
                with self.subTest(log=name):
                    self.assertTrue(wait_for(lambda: "/after" in p.log(name), 10))
                    current = p.log(name)
                    self.assertTrue(current.startswith(legend), current[:80])
                    self.assertNotIn("/before", current)
                    rotated = [n for n in os.listdir(p.dir) if n.endswith("-%s.log" % name)]
                    self.assertEqual(1, len(rotated), os.listdir(p.dir))
                    with open(os.path.join(p.dir, rotated[0])) as f:
                        old = f.read()
                    self.assertIn("/before", old)
                    self.assertNotIn("/after", old)

    def test_records_of_concurrent_clients_survive_rotations_whole_and_in_order(self):
        # Kept-alive clients ask at the same time while the logs rotate
        # twice: every request has exactly one whole record in each log (over
        # the rotated files and the current one), each file starts with its
        # legend, and a client's records in a file keep its order.
        clients, each = 12, 8
        access_re = re.compile(r"^\d+\.\d{3} \d+ 127\.0\.0\.1 TCP_MISS/200 %d GET "
                               r"(http://127\.0\.0\.1:\d+/c(\d+)/(\d+)) \S+ DIRECT/127\.0\.0\.1 text/plain$" % len(HELLO))
        extended_re = re.compile(r'^"\d+\.\d{3}-\d+-127\.0\.0\.1-\d+" \d+ 127\.0\.0\.1 "[^"]+" "\d+" \[[^]]+\] '
                                 r'"GET (http://127\.0\.0\.1:\d+/c(\d+)/(\d+))" 200 %d "-" "-" text/plain '
                                 r'"- -" "-" "127\.0\.0\.1:\d+"$' % len(HELLO))
        with hello_origin() as origin, Proxy() as p:
            failures = []

            def client(n):
                try:
                    with p.client() as c:
                        for i in range(each):
                            r = c.ask(request(origin.url("/c%d/%d" % (n, i))))
                            if not r or r.status != 200:
                                failures.append((n, i, r and r.status))
                            if n == 0 and i in (2, 5):
                                p.proc.send_signal(signal.SIGUSR1)
                                time.sleep(0.2)
                except OSError as e:
                    failures.append(str(e))

            threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
            self.assertEqual([], failures)
            for name, legend, pattern in (("access", "#start_time_in_seconds.milliseconds", access_re),
                                          ("extended", '#"record_id"', extended_re)):
                with self.subTest(log=name):
                    def logs():
                        # "<stamp>-access.log", "<stamp>-access.log.1" when rotated twice in a second
                        return [n for n in os.listdir(p.dir) if re.match(r"^(\d{14}-)?%s\.log(\.\d+)?$" % name, n)]

                    self.assertTrue(wait_for(lambda: sum(open(os.path.join(p.dir, n)).read().count("/c")
                                                         for n in logs()) >= clients * each, 10))
                    files = logs()
                    self.assertGreaterEqual(len(files), 2, files)
                    seen = []
                    for n in files:
                        with open(os.path.join(p.dir, n)) as f:
                            text = f.read()
                        self.assertTrue(text.startswith(legend), (n, text[:80]))
                        last = {}
                        for line in text.splitlines()[1:]:
                            if not line:
                                continue
                            m = pattern.match(line)
                            self.assertIsNotNone(m, line)
                            c, i = int(m.group(2)), int(m.group(3))
                            self.assertGreater(i, last.get(c, -1), (n, line))
                            last[c] = i
                            seen.append((c, i))
                    self.assertEqual(sorted(seen), [(c, i) for c in range(clients) for i in range(each)])

    def test_sighup_closes_pooled_clients(self):
        with hello_origin() as origin, Proxy(loglevel=ALL_LOG) as p:
            with p.client() as c:
                c.ask(request(origin.url("/1")))
                self.assertTrue(p.wait_log("process: adding connection to pool"))
                p.proc.send_signal(signal.SIGHUP)
                self.assertTrue(p.wait_log("Recieved HUP Signal for cleaning cache and closing all FDs"))
                self.assertTrue(c.closed(10, reset=False))  # closed by the proxy
            self.assertIsNone(p.proc.poll())


if __name__ == "__main__":
    main()
