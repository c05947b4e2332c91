"""Start-up and command line of the real binary."""
import os
import pwd
import re
import shutil
import signal
import tempfile
import time
import unittest

from harness import (ALL_LOG, BINARY, CONFIG_XML, SECTION_XML, SOURCE, Proxy, main, pid_alive, private_config,
                     run, wait_for)

from test_interface import call

HELP_HEAD = "\nKorvantel\n"


class CommandLine(unittest.TestCase):
    def test_exit_statuses(self):
        # A copy of the shipped configuration: a daemon that gets as far as
        # the installation key makes it beside its configuration file.
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d, True)
        config = private_config(d)
        shipped_key = os.path.join(SOURCE, "conf", "korvantel.key")
        had_key = os.path.exists(shipped_key)
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
            (["-c", config], 1, ("err", "section file option missing\n")),
            (["-c", config, "-s", "/nonexistent/s.xml"], 1, ("err", "couldn't stat /nonexistent/s.xml\n")),
            (["-y", "/" + "d" * 200, "-f", "-c", config, "-s", SECTION_XML], 1,
             ("err", "NTLM socket directory too long")),
            (["-u", "no-such-user-kv", "-f", "-c", config, "-s", SECTION_XML], 1,
             ("err", "getpwnam: unknown user\n")),
            (["-g", "no-such-group-kv", "-f", "-c", config, "-s", SECTION_XML], 1,
             ("err", "getgrnam: unknown group\n")),
        ]
        for args, status, (stream, text) in cases:
            with self.subTest(args=args):
                code, out, err = run(args)
                self.assertEqual(status, code, (out, err))
                self.assertIn(text, out if stream == "out" else err)
        self.assertEqual(os.path.exists(shipped_key), had_key)

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
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=d)
        try:
            time.sleep(0.5)
            self.assertIsNone(p.poll())
        finally:
            p.kill()
            p.wait()
        # without a configuration file there is no place for a key file
        self.assertFalse(os.path.exists(os.path.join(d, "korvantel.key")))


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


NOBODY, NOGROUP = "nobody", "nogroup"
SHARED_KEY = "no installation key file"


class RunAsNobody(Proxy):
    """The daemon started by root in a configuration directory only root
    may write; its logs and disk store are the unprivileged user's. With
    drop=True it is given -u/-g and drops privileges itself; otherwise it
    runs as that user from the start (setpriv execs it in place, so the pid
    is the daemon's)."""

    def __init__(self, drop, **kw):
        super().__init__(**kw)
        self.drop = drop
        os.chmod(self.dir, 0o755)
        pw = pwd.getpwnam(NOBODY)
        for name in ("native.log", "access.log", "extended.log", "performance.log", "cache"):
            path = os.path.join(self.dir, name)
            if name == "cache":
                os.mkdir(path)
            else:
                open(path, "w").close()
            os.chown(path, pw.pw_uid, pw.pw_gid)

    def command(self):
        cmd = super().command()
        if self.drop:
            return cmd + ["-u", NOBODY, "-g", NOGROUP]
        return ["setpriv", "--reuid", NOBODY, "--regid", NOGROUP, "--clear-groups"] + cmd


def password_form(proxy):
    answer = call(proxy, "/password")
    assert answer.status == 200, answer.status
    found = re.search(r'name="active" value="([^"]*)"', answer.body)
    return answer.body, found.group(1) if found else None


@unittest.skipIf(os.geteuid() != 0 or not shutil.which("setpriv"), "needs root and setpriv to switch users")
class InstallationKey(unittest.TestCase):
    def test_key_is_made_before_privileges_are_dropped(self):
        p = RunAsNobody(drop=True, loglevel=ALL_LOG)
        key_file = os.path.join(p.dir, "korvantel.key")
        with p:
            self.assertTrue(p.wait_log("proxy hostname"), p.log())
            self.assertTrue(os.path.exists(key_file), p.log())
            st = os.stat(key_file)
            self.assertEqual(0, st.st_mode & 0o077, oct(st.st_mode))
            with open(key_file) as f:
                key = f.read().strip()
            self.assertRegex(key, r"^[0-9a-f]{32}$")
            body, shown = password_form(p)
            self.assertEqual(key, shown)
            self.assertNotIn(SHARED_KEY, body)
            self.assertNotIn(SHARED_KEY, p.log())
            self.assertIn("created the installation key file " + key_file, p.log())
        # the next start reads the same key, again before the drop
        again = RunAsNobody(drop=True, loglevel=ALL_LOG)
        moved = os.path.join(again.dir, "korvantel.key")
        with open(os.open(moved, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
            f.write(key + "\n")
        with again:
            self.assertTrue(again.wait_log("proxy hostname"), again.log())
            self.assertEqual(key, password_form(again)[1])
            self.assertNotIn(SHARED_KEY, again.log())

    def test_key_is_made_before_the_daemon_drops_privileges(self):
        p = RunAsNobody(drop=True, foreground=False, loglevel=ALL_LOG)
        pidfile = os.path.join(p.dir, "cache", "k.pid")
        p.args += ["-p", pidfile]
        private_config(p.dir)
        pid = None
        try:
            code, out, err = run(p.command()[1:])
            self.assertEqual(0, code, err)
            pid = wait_for(lambda: self.read_pid(pidfile), 20)
            self.assertTrue(pid and wait_for(lambda: "proxy hostname" in p.log(), 20), p.log())
            key_file = os.path.join(p.dir, "korvantel.key")
            self.assertTrue(os.path.exists(key_file), p.log())
            self.assertEqual(0, os.stat(key_file).st_mode & 0o077)
            self.assertNotIn(SHARED_KEY, p.log())
        finally:
            if pid and pid_alive(pid):
                os.kill(pid, signal.SIGTERM)
                if not wait_for(lambda: not pid_alive(pid), 10):
                    os.kill(pid, signal.SIGKILL)
            shutil.rmtree(p.dir, ignore_errors=True)

    @staticmethod
    def read_pid(path):
        try:
            with open(path) as f:
                return int(f.read().strip() or 0) or None
        except (OSError, ValueError):
            return None

    def test_without_a_key_every_start_and_the_page_warn(self):
        for start in range(2):
            with self.subTest(start=start), RunAsNobody(drop=False, loglevel=ALL_LOG) as p:
                self.assertTrue(p.wait_log("proxy hostname"), p.log())
                self.assertFalse(os.path.exists(os.path.join(p.dir, "korvantel.key")))
                self.assertTrue(p.wait_log(SHARED_KEY), p.log())
                self.assertIn("cannot create the installation key file", p.log())
                body, _ = password_form(p)
                self.assertIn(SHARED_KEY, body)
                self.assertIn("Warning", body)


if __name__ == "__main__":
    main()
