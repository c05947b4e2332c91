"""The Debian package: built with cpack from the build tree into a temporary
directory, unpacked with dpkg-deb (never installed), its layout, maintainer
scripts and units checked, and the daemon started from the unpacked tree
the way korvantel.service starts it, with its files in a temporary
directory. Runs only where KORVANTEL_BUILD_DIR names a plain build tree."""
import glob
import grp
import gzip
import os
import pwd
import re
import shlex
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from harness import Proxy, main, wait_for
from origin import StandinOrigin, response

BUILD = os.environ.get("KORVANTEL_BUILD_DIR")
ROOT_USER = os.geteuid() == 0
# The daemon's user and group in the test; the package's do not exist here.
RUN_USER, RUN_GROUP = "nobody", "nogroup"
CONFFILES = ["/etc/korvantel/korvantel.xml", "/etc/korvantel/section.xml", "/etc/default/korvantel"]
STAMPED = re.compile(r"^\d{14}-(native|access|extended)\.log$")


def sh(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=300, **kw)


def text(path):
    with open(path) as f:
        return f.read()


def unit_setting(text, key):
    """The values of key in a unit file, continuation lines joined."""
    joined = re.sub(r"\\\n\s*", " ", text)
    return [line.split("=", 1)[1] for line in joined.splitlines() if line.startswith(key + "=")]


@unittest.skipUnless(BUILD, "the package is built and checked from the plain build tree only")
class PackageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="korvantel-package-")
        out = os.path.join(cls.tmp, "out")
        p = sh(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G", "DEB", "-B", out],
               cwd=cls.tmp)
        debs = glob.glob(os.path.join(out, "*.deb"))
        if p.returncode != 0 or len(debs) != 1:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise AssertionError("cpack failed:\n%s\n%s" % (p.stdout[-3000:], p.stderr[-3000:]))
        cls.deb = debs[0]
        cls.root = os.path.join(cls.tmp, "root")
        for args in (["-x", cls.deb, cls.root], ["-e", cls.deb, os.path.join(cls.root, "DEBIAN")]):
            p = sh(["dpkg-deb"] + args)
            if p.returncode != 0:
                raise AssertionError("dpkg-deb %s: %s" % (args[0], p.stderr))
        cls.control = {}
        with open(os.path.join(cls.root, "DEBIAN", "control")) as f:
            for line in f:
                if line[:1] not in " \t" and ":" in line:
                    key, value = line.split(":", 1)
                    cls.control[key] = value.strip()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def path(self, installed):
        return os.path.join(self.root, installed.lstrip("/"))

    def read(self, installed):
        with open(self.path(installed)) as f:
            return f.read()

    # the package itself ---------------------------------------------------

    def test_layout_and_control(self):
        version = self.control["Version"]
        self.assertEqual(os.path.basename(self.deb), "korvantel_%s_amd64.deb" % version)
        self.assertEqual(self.control["Package"], "korvantel")
        self.assertEqual(self.control["Architecture"], "amd64")
        # dependencies from the libraries the daemon links
        for library in ("libc6", "libssl3", "libtinyxml", "libldap", "libpam0g"):
            self.assertIn(library, self.control["Depends"])
        # -v names the same version
        p = sh([self.path("/usr/sbin/korvantel"), "-v"])
        self.assertTrue(p.stdout.startswith("korvantel-%s - VERSION - " % version), p.stdout)

        executables = ["/usr/sbin/korvantel", "/usr/lib/korvantel/korvantel-logclean"]
        files = CONFFILES + ["/lib/systemd/system/korvantel.service",
                             "/lib/systemd/system/korvantel-logrotate.service",
                             "/lib/systemd/system/korvantel-logrotate.timer",
                             "/usr/share/doc/korvantel/copyright", "/usr/share/doc/korvantel/changelog.gz"]
        for name in executables + files:
            mode = os.lstat(self.path(name)).st_mode
            self.assertTrue(stat.S_ISREG(mode), name)
            self.assertEqual(bool(mode & 0o111), name in executables, name)
        self.assertTrue(os.path.isdir(self.path("/usr/lib/korvantel/modules")))
        # logs, cache and run-time files are the postinst's and the daemon's
        for name in ("var", "run", "opt", "usr/local"):
            self.assertFalse(os.path.exists(self.path(name)), name)
        with open(self.path("/DEBIAN/conffiles")) as f:
            self.assertEqual(sorted(f.read().split()), sorted(CONFFILES))
        with gzip.open(self.path("/usr/share/doc/korvantel/changelog.gz"), "rt") as f:
            self.assertTrue(f.readline().startswith("korvantel (%s) " % version))

        # the installed configuration keeps its cache in /var, the
        # checkout's stays as it is
        config = self.read("/etc/korvantel/korvantel.xml")
        self.assertIn("<path>/var/cache/korvantel</path>", config)
        self.assertEqual(self.read("/etc/korvantel/section.xml"),
                         text(os.path.join(os.environ["KORVANTEL_SOURCE_DIR"], "conf", "section.xml")))
        defaults = self.read("/etc/default/korvantel")
        self.assertIn("KORVANTEL_LOG_DAYS=14", defaults)
        self.assertIn("KORVANTEL_LISTEN=127.0.0.1:8080", defaults)

    def test_units(self):
        unit = self.read("/lib/systemd/system/korvantel.service")
        start = unit_setting(unit, "ExecStart")
        self.assertEqual(len(start), 1)
        args = shlex.split(start[0])
        self.assertEqual(args[0], "/usr/sbin/korvantel")
        self.assertIn("-f", args)
        for option, value in (("-c", "/etc/korvantel/korvantel.xml"), ("-s", "/etc/korvantel/section.xml"),
                              ("-l", "/var/log/korvantel/native.log"), ("-a", "/var/log/korvantel/access.log"),
                              ("-e", "/var/log/korvantel/extended.log"), ("-m", "/usr/lib/korvantel/modules"),
                              ("-u", "korvantel"), ("-g", "korvantel"), ("-L", "${KORVANTEL_LISTEN}")):
            self.assertIn(option, args)
            self.assertEqual(args[args.index(option) + 1], value, option)
        for key, value in (("Type", "simple"), ("Restart", "on-failure"), ("ProtectSystem", "strict"),
                           ("ProtectHome", "yes"), ("PrivateTmp", "yes"), ("NoNewPrivileges", "yes"),
                           ("EnvironmentFile", "-/etc/default/korvantel")):
            self.assertEqual(unit_setting(unit, key), [value], key)
        self.assertEqual(sorted(unit_setting(unit, "ReadWritePaths")[0].split()),
                         ["/etc/korvantel", "/var/cache/korvantel", "/var/log/korvantel"])
        # SIGHUP does not reload, and in the foreground there is no PID file
        self.assertEqual(unit_setting(unit, "ExecReload"), [])
        self.assertEqual(unit_setting(unit, "PIDFile"), [])
        self.assertEqual(unit_setting(unit, "WantedBy"), ["multi-user.target"])

        rotate = self.read("/lib/systemd/system/korvantel-logrotate.service")
        self.assertEqual(unit_setting(rotate, "ExecStart"), [
            "-/bin/systemctl kill --kill-whom=main --signal=SIGUSR1 korvantel.service",
            "/usr/lib/korvantel/korvantel-logclean"])
        timer = self.read("/lib/systemd/system/korvantel-logrotate.timer")
        self.assertEqual(unit_setting(timer, "OnCalendar"), ["daily"])

    def test_systemd_analyze_verify(self):
        analyze = shutil.which("systemd-analyze")
        if not analyze:
            self.skipTest("systemd-analyze is not installed")
        # The unpacked tree as root, with the system's units beside ours.
        units = self.path("/lib/systemd/system")
        for name in os.listdir("/lib/systemd/system"):
            source, target = os.path.join("/lib/systemd/system", name), os.path.join(units, name)
            if not os.path.lexists(target) and not os.path.isdir(source):
                shutil.copy(source, target, follow_symlinks=False)
        names = ["korvantel.service", "korvantel-logrotate.service", "korvantel-logrotate.timer"]
        p = sh([analyze, "verify", "--root=" + self.root] + ["/lib/systemd/system/" + n for n in names])
        complaints = [line for line in (p.stdout + p.stderr).splitlines() if "korvantel" in line]
        self.assertEqual((p.returncode, complaints), (0, []), p.stdout + p.stderr)

    def test_lintian(self):
        lintian = shutil.which("lintian")
        if not lintian:
            self.skipTest("lintian is not installed")
        p = sh([lintian, "--fail-on", "error", "--tag-display-limit", "0", self.deb])
        errors = [line for line in p.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual((p.returncode, errors), (0, []), p.stdout + p.stderr)

    # maintainer scripts ----------------------------------------------------

    def test_maintainer_scripts(self):
        scripts = {name: self.path("/DEBIAN/" + name) for name in ("postinst", "prerm", "postrm")}
        for name, script in scripts.items():
            self.assertEqual(os.stat(script).st_mode & 0o777, 0o755, name)
            self.assertEqual(sh(["sh", "-n", script]).returncode, 0, name)
        if not ROOT_USER:
            self.skipTest("running the maintainer scripts needs root")
        # A root of its own, with the accounts of a fresh system, the
        # packaged files, and the scripts run as dpkg --root runs them.
        root = os.path.join(self.tmp, "scriptroot")
        shutil.copytree(self.root, root, symlinks=True, ignore=shutil.ignore_patterns("DEBIAN"))
        for name, line in (("passwd", "root:x:0:0:root:/root:/bin/bash\n"), ("group", "root:x:0:\n"),
                           ("shadow", "root:*:19000:0:99999:7:::\n"), ("gshadow", "root:*::\n")):
            with open(os.path.join(root, "etc", name), "w") as f:
                f.write(line)
        env = dict(os.environ, DPKG_ROOT=root, DPKG_MAINTSCRIPT_PACKAGE="korvantel")
        real_passwd = text("/etc/passwd")

        def run(name, *args):
            p = sh([scripts[name]] + list(args), env=env)
            self.assertEqual(p.returncode, 0, "%s %s: %s%s" % (name, args, p.stdout, p.stderr))

        def account(table):
            with open(os.path.join(root, "etc", table)) as f:
                return [line.split(":") for line in f if line.startswith("korvantel:")]

        def owner(installed):
            st = os.stat(os.path.join(root, installed.lstrip("/")))
            return st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)

        run("postinst", "configure")
        # an upgrade runs it again: the same user, nothing doubled
        run("postinst", "configure", "2.0")
        users, groups = account("passwd"), account("group")
        self.assertEqual((len(users), len(groups)), (1, 1))
        uid, gid = int(users[0][2]), int(groups[0][2])
        self.assertEqual(int(users[0][3]), gid)
        self.assertTrue(0 < uid < 1000, uid)
        self.assertEqual(users[0][6].strip(), "/usr/sbin/nologin")
        self.assertEqual(owner("/var/log/korvantel"), (uid, gid, 0o750))
        self.assertEqual(owner("/var/cache/korvantel"), (uid, gid, 0o750))
        self.assertEqual(owner("/etc/korvantel"), (0, gid, 0o1770))
        self.assertEqual(owner("/etc/korvantel/korvantel.xml"), (uid, gid, 0o640))
        self.assertEqual(owner("/etc/korvantel/section.xml")[:2], (0, 0))
        self.assertEqual(text("/etc/passwd"), real_passwd)

        run("prerm", "remove")
        # dpkg removes the conffiles before the purge; the daemon's own
        # files stay for the postrm
        for name in CONFFILES:
            os.unlink(os.path.join(root, name.lstrip("/")))
        for name in ("korvantel.key", "korvantel.xml", "korvantel.xml.Ab12Cd"):
            open(os.path.join(root, "etc/korvantel", name), "w").close()
        open(os.path.join(root, "var/log/korvantel/native.log"), "w").close()
        run("postrm", "remove")
        self.assertTrue(os.path.isdir(os.path.join(root, "var/log/korvantel")))
        run("postrm", "purge")
        for name in ("var/log/korvantel", "var/cache/korvantel", "etc/korvantel"):
            self.assertFalse(os.path.exists(os.path.join(root, name)), name)
        self.assertTrue(os.path.isfile(os.path.join(root, "usr/sbin/korvantel")))

    # log clean-up ------------------------------------------------------------

    def test_logclean_removes_only_old_stamped_logs(self):
        logs = tempfile.mkdtemp(dir=self.tmp)
        old = time.strftime("%Y%m%d%H%M%S", time.localtime(time.time() - 20 * 86400))
        recent = time.strftime("%Y%m%d%H%M%S", time.localtime(time.time() - 10 * 86400))
        cases = [  # name, kind, kept with 14 days
            (old + "-native.log", "file", False),
            (old + "-access.log", "file", False),
            ("20000101000000-extended.log", "file", False),
            (recent + "-native.log", "file", True),
            ("native.log", "file", True),
            (old + "-native.log.gz", "file", True),
            (old + "-native.log.1", "file", False),
            (old + "-native.log.12", "file", False),
            (old + "-native.log.1x", "file", True),
            (old + "-native.log.", "file", True),
            (old[:-1] + "-native.log", "file", True),
            ("x" + old + "-native.log", "file", True),
            (old + "-.log", "file", True),
            (old + "-notes.txt", "file", True),
            ("20000101000001-link.log", "link", True),
            ("20000101000002-dir.log", "dir", True),
        ]
        outside = os.path.join(self.tmp, "outside.log")
        open(outside, "w").close()
        for name, kind, _ in cases:
            path = os.path.join(logs, name)
            if kind == "file":
                open(path, "w").close()
            elif kind == "link":
                os.symlink(outside, path)
            else:
                os.mkdir(path)
        clean = self.path("/usr/lib/korvantel/korvantel-logclean")
        p = sh([clean, logs, "14"])
        self.assertEqual(p.returncode, 0, p.stderr)
        for name, _, kept in cases:
            self.assertEqual(os.path.lexists(os.path.join(logs, name)), kept, name)
        self.assertTrue(os.path.exists(outside))
        # fewer days reach the recent one too; a bad count changes nothing
        self.assertNotEqual(sh([clean, logs, "1x"]).returncode, 0)
        self.assertTrue(os.path.exists(os.path.join(logs, recent + "-native.log")))
        self.assertEqual(sh([clean, logs, "5"]).returncode, 0)
        self.assertFalse(os.path.exists(os.path.join(logs, recent + "-native.log")))
        self.assertTrue(os.path.exists(os.path.join(logs, "native.log")))
        # no directory: nothing to do
        self.assertEqual(sh([clean, os.path.join(logs, "missing"), "14"]).returncode, 0)

    # the daemon from the package ---------------------------------------------

    def packaged_proxy(self):
        """A Proxy running the unpacked daemon with the unit's command line,
        the packaged configuration in its directory, which is also its log
        and cache directory, owned as the postinst leaves them."""
        unit = self.read("/lib/systemd/system/korvantel.service")
        args = shlex.split(unit_setting(unit, "ExecStart")[0])
        root = self.root
        with open(self.path("/etc/korvantel/korvantel.xml")) as f:
            config = f.read()
        test = self

        class PackagedProxy(Proxy):
            def command(self):
                places = {"/etc/korvantel": self.dir, "/var/log/korvantel": self.dir}
                cmd = []
                for arg in args:
                    if arg == "$KORVANTEL_OPTIONS":
                        continue
                    arg = arg.replace("${KORVANTEL_LISTEN}", "127.0.0.1:%d" % self.port)
                    for installed, here in places.items():
                        if arg.startswith(installed + "/"):
                            arg = here + arg[len(installed):]
                    if arg.startswith(("/usr/", "/lib/")):
                        arg = os.path.join(root, arg[1:])
                    cmd.append(arg)
                if ROOT_USER:
                    cmd[cmd.index("-u") + 1], cmd[cmd.index("-g") + 1] = RUN_USER, RUN_GROUP
                else:
                    for option in ("-u", "-g"):
                        i = cmd.index(option)
                        del cmd[i:i + 2]
                test.command = cmd
                return cmd

        p = PackagedProxy(config=config)
        self.addCleanup(shutil.rmtree, p.dir, True)
        shutil.copy(self.path("/etc/korvantel/section.xml"), p.dir)
        if ROOT_USER:
            gid = grp.getgrnam(RUN_GROUP).gr_gid
            uid = pwd.getpwnam(RUN_USER).pw_uid
            for path in (self.tmp, self.root):
                os.chmod(path, 0o755)
            os.chown(p.dir, 0, gid)
            os.chmod(p.dir, 0o1770)
            open(p.config_path, "w").close()
            os.chown(p.config_path, uid, gid)
            os.chmod(p.config_path, 0o640)
        return p

    def test_daemon_from_package(self):
        page = b"<html><body>packaged</body></html>"
        with StandinOrigin({"/page.html": response(body=page, headers=[("Content-Type", "text/html")])}) as o:
            p = self.packaged_proxy()
            with p:
                self.assertIn("-f", self.command)
                r = p.get(o.url("/page.html"))
                self.assertEqual((r.status, r.body), (200, page))
                self.assertTrue(p.wait_log("/page.html", "access"))

                # the key was made as root before the drop
                key = os.stat(os.path.join(p.dir, "korvantel.key"))
                self.assertEqual(stat.S_IMODE(key.st_mode), 0o600)
                if ROOT_USER:
                    self.assertEqual(key.st_uid, 0)
                    self.assertEqual(os.stat(p.native_log).st_uid, pwd.getpwnam(RUN_USER).pw_uid)
                    with open("/proc/%d/status" % p.pid) as f:
                        uids = [line.split()[1:] for line in f if line.startswith("Uid:")][0]
                    self.assertEqual(set(uids), {str(pwd.getpwnam(RUN_USER).pw_uid)})

                # the interface, and a save into the configuration directory
                r = p.get("http://korvantel.invalid/")
                self.assertEqual(r.status, 200)
                self.assertIn(b"Korvantel", r.body)
                before = os.stat(p.config_path)
                form = urllib.parse.urlencode({"filename": p.config_path}).encode()
                r = p.get("http://korvantel.invalid/save", method="POST", body=form,
                          headers=["Content-Type: application/x-www-form-urlencoded",
                                   "Referer: http://korvantel.invalid/save"])
                self.assertIn(b"File saved", r.body)
                after = os.stat(p.config_path)
                self.assertNotEqual(after.st_ino, before.st_ino)
                self.assertEqual((after.st_uid, stat.S_IMODE(after.st_mode)),
                                 (before.st_uid, stat.S_IMODE(before.st_mode)))
                self.assertEqual(glob.glob(p.config_path + ".*"), [])

                # SIGUSR1 renames the logs with a stamp at their next line
                os.kill(p.pid, signal.SIGUSR1)

                def native_logs():
                    found = ""
                    for name in sorted(n for n in os.listdir(p.dir) if n.endswith("native.log")):
                        try:
                            found += text(os.path.join(p.dir, name))
                        except FileNotFoundError:  # renamed meanwhile
                            pass
                    return found
                # the line goes into the old file, which a later line may rename
                self.assertTrue(wait_for(lambda: "Recieved Signal for Log Rotation" in native_logs()))
                r = p.get(o.url("/page.html"))
                self.assertEqual(r.status, 200)
                stamped = lambda: sorted(m.group(1) for m in map(STAMPED.match, os.listdir(p.dir)) if m)
                self.assertEqual(wait_for(lambda: stamped() == ["access", "extended", "native"], 10) and stamped(),
                                 ["access", "extended", "native"])
                self.assertTrue(p.wait_log("/page.html", "access"))
                # a clean-up keeps what was rotated today
                clean = self.path("/usr/lib/korvantel/korvantel-logclean")
                self.assertEqual(sh([clean, p.dir, "14"]).returncode, 0)
                self.assertEqual(stamped(), ["access", "extended", "native"])
                self.assertIsNone(p.proc.poll())


if __name__ == "__main__":
    main()
