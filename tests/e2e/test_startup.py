"""Start-up and command line of the real binary."""
import os
import signal
import tempfile
import time
import unittest

from harness import (BINARY, CONFIG_XML, SECTION_XML, main, pid_alive, private_config, run,
                     wait_for)

HELP_HEAD = "\nKorvantel\n"


class CommandLine(unittest.TestCase):
    def test_exit_statuses(self):
        cases = [
            # args, status, text expected on stdout/stderr
            ([], 0, ("err", "Usage: ")),
            (["-h"], 0, ("err", "Usage: ")),
            (["-v"], 0, ("out", " - VERSION - ntlm.RC2.0 - BUILD - 20091216\n")),
            (["-L", "1.2.3.4"], 1, ("err", "Usage: ")),
            (["-L", "1234567890123456:80"], 1, ("err", "Usage: ")),
            (["-M", "host"], 1, ("err", "Usage: ")),
            (["-M", "h" * 256 + ":80"], 1, ("err", "Usage: ")),
            # with the master's interface login before the last "@"
            (["-M", "admin:pw@host"], 1, ("err", "Usage: ")),
            (["-M", "admin:pw@" + "h" * 256 + ":80"], 1, ("err", "Usage: ")),
            (["-M", "admin@127.0.0.1:80"], 1, ("err", "Usage: ")),
            (["-M", ":pw@127.0.0.1:80"], 1, ("err", "Usage: ")),
            (["-M", "admin:@127.0.0.1:80"], 1, ("err", "Usage: ")),
            (["-P", "100"], 1, ("err", "Usage: ")),
            (["-P", "0:300"], 1, ("err", "Usage: ")),  # a cache that stays on needs a size
            (["-t", "0"], 1, ("err", "Usage: ")),
            (["-s", SECTION_XML], 1, ("err", "config file option missing\n")),
            (["-c", "/nonexistent/k.xml", "-s", SECTION_XML], 1, ("err", "couldn't stat /nonexistent/k.xml\n")),
            (["-c", CONFIG_XML], 1, ("err", "section file option missing\n")),
            (["-c", CONFIG_XML, "-s", "/nonexistent/s.xml"], 1, ("err", "couldn't stat /nonexistent/s.xml\n")),
            (["-y", "/" + "d" * 200, "-f", "-c", CONFIG_XML, "-s", SECTION_XML], 1,
             ("err", "NTLM socket directory too long")),
            (["-u", "no-such-user-kv", "-f", "-c", CONFIG_XML, "-s", SECTION_XML], 1,
             ("err", "getpwnam: unknown user\n")),
            (["-g", "no-such-group-kv", "-f", "-c", CONFIG_XML, "-s", SECTION_XML], 1,
             ("err", "getgrnam: unknown group\n")),
        ]
        for args, status, (stream, text) in cases:
            with self.subTest(args=args):
                code, out, err = run(args)
                self.assertEqual(status, code, (out, err))
                self.assertIn(text, out if stream == "out" else err)

    def test_version_line(self):
        code, out, _ = run(["-v"])
        self.assertEqual(0, code)
        self.assertRegex(out, r"^\S+ - VERSION - ntlm\.RC2\.0 - BUILD - 20091216\n$")

    def test_help_text(self):
        _, _, err = run(["-h"])
        self.assertTrue(err.startswith(HELP_HEAD), err[:40])
        lines = err.split("\n")
        self.assertIn(" -c <file>            : location of config file (required)", lines)
        self.assertIn(" -P <size:age>        : set the maximum size and age of the password_cache (default: 100:600)",
                      lines)
        self.assertIn(" -t <max_threads>     : specify the maximum number of allowed concurrent threads "
                      "(less than: 16384)", lines)
        self.assertIn(" -d <level>           : set log level (default: 134217727)", lines)
        self.assertIn(" Add any of the following to specify logging detail:", lines)
        self.assertIn("         1 = requests", lines)
        self.assertIn(" 134217728 = debug", lines)
        self.assertNotIn("verify", err)
        self.assertNotIn("-r <", err)
        # 28 category lines, from 1 to 134217728
        self.assertEqual(28, sum(1 for l in lines if " = " in l and l.strip()[0].isdigit()))

    def test_help_shows_current_values(self):
        _, _, err = run(["-b", "4096:16384", "-k", "60:0:5", "-d", "7", "-T", "9", "-C", "3", "-h"])
        self.assertIn("(default: 4096:16384)", err)
        self.assertIn("(default: 60:0:5)", err)
        self.assertIn("set log level (default: 7)", err)
        self.assertIn("another connection (default: 9)", err)
        self.assertIn("presumed available (default: 3)", err)

    def test_ignored_values(self):
        cases = [
            (["-b", "4096"], "(default: 0:0)"),
            (["-b", "4096:0"], "(default: 4096:0)"),
            (["-k", "60:10"], "(default: 0:0:0)"),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                _, _, err = run(args + ["-h"])
                self.assertIn(text, err)

    def test_slave_needs_no_config_file(self):
        # -M makes it a slave: it passes the file checks and runs
        d = tempfile.mkdtemp()
        log = os.path.join(d, "n.log")
        import subprocess
        p = subprocess.Popen([BINARY, "-M", "127.0.0.1:1", "-s", SECTION_XML, "-f", "-l", log,
                              "-m", os.path.join(d, "m"), "-y", d, "-r", os.path.join(d, "p.log")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(0.5)
            self.assertIsNone(p.poll())
        finally:
            p.kill()
            p.wait()


class Daemon(unittest.TestCase):
    def start(self, d, extra=()):
        pidfile = os.path.join(d, "k.pid")
        code, out, err = run(["-c", private_config(d), "-s", SECTION_XML, "-p", pidfile,
                              "-l", os.path.join(d, "native.log"),
                              "-m", os.path.join(d, "m"), "-y", d, "-r", os.path.join(d, "p.log"),
                              "--", "secret-argument"] + list(extra))
        return code, pidfile

    def read_pid(self, pidfile):
        try:
            with open(pidfile) as f:
                text = f.read()
            return int(text) if text.endswith("\n") else None
        except (OSError, ValueError):
            return None

    def test_background_pidfile_and_process_state(self):
        d = tempfile.mkdtemp()
        code, pidfile = self.start(d)
        self.assertEqual(0, code)
        pid = wait_for(lambda: self.read_pid(pidfile), 10)
        self.assertTrue(pid and pid_alive(pid))
        try:
            with open("/proc/%d/status" % pid) as f:
                status = f.read()
            self.assertIn("Umask:\t0027", status)
            # arguments are blanked in the process list
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = f.read()
            self.assertNotIn(b"secret-argument", cmdline)
            self.assertNotIn(CONFIG_XML.encode(), cmdline)
            # standard descriptors point at /dev/null, not at whatever came next
            for fd in (0, 1, 2):
                self.assertEqual("/dev/null", os.readlink("/proc/%d/fd/%d" % (pid, fd)))
            self.assertEqual("/", os.readlink("/proc/%d/cwd" % pid))
            # a second daemon with the same PID file refuses and leaves the file alone
            self.start(d)
            time.sleep(1)
            self.assertEqual(pid, self.read_pid(pidfile))
            self.assertTrue(pid_alive(pid))
        finally:
            os.kill(pid, signal.SIGKILL)

    def test_stale_and_odd_pidfiles_are_replaced(self):
        for content in ["", "0\n", "-1\n", "999999999\n", "garbage\n"]:
            with self.subTest(content=content):
                d = tempfile.mkdtemp()
                pidfile = os.path.join(d, "k.pid")
                with open(pidfile, "w") as f:
                    f.write(content)
                code, _ = self.start(d)
                self.assertEqual(0, code)
                pid = wait_for(lambda: (lambda p: p if p and p > 0 and str(p) + "\n" != content else None)(
                    self.read_pid(pidfile)), 10)
                try:
                    self.assertTrue(pid and pid_alive(pid), content)
                finally:
                    if pid and pid_alive(pid):
                        os.kill(pid, signal.SIGKILL)

    def test_unwritable_pidfile_stops_start(self):
        d = tempfile.mkdtemp()
        log = os.path.join(d, "native.log")
        code, _, _ = run(["-c", private_config(d), "-s", SECTION_XML, "-p", "/nonexistent-dir/k.pid", "-l", log,
                          "-m", os.path.join(d, "m"), "-y", d, "-r", os.path.join(d, "p.log")])
        self.assertEqual(0, code)  # the first parent leaves at once
        time.sleep(1.5)
        # the daemon never came up: nothing of the start-up sequence was logged
        text = open(log).read() if os.path.exists(log) else ""
        self.assertNotIn("proxy hostname", text)

if __name__ == "__main__":
    main()
