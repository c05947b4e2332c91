"""Loadable modules through the real daemon: a module built by the project
brings its own section and a processor that marks every response; broken
modules are refused with their line and start-up goes on; only what modules
need is exported."""
import os
import shutil
import stat
import subprocess
import unittest

from config import Config
from harness import BINARY, ALL_LOG, Proxy, main
from peers import StandinOrigin, response

MODULES = os.environ.get("KORVANTEL_MODULES", "build/tests/modules")
SOURCE_MODULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "modules")


def install(proxy, files):
    """Copies (source, name) pairs into the daemon's module directory."""
    directory = os.path.join(proxy.dir, "modules")
    os.makedirs(directory, exist_ok=True)
    for source, name in files:
        shutil.copy(source, os.path.join(directory, name))
        os.chmod(os.path.join(directory, name), 0o644)
    return directory


def module(name):
    return os.path.join(MODULES, "lib%s.so" % name)


DEFINITIONS = os.path.join(SOURCE_MODULES, "testmod.xml")


class ModuleTest(unittest.TestCase):
    def test_module_adds_section_and_processor(self):
        conf = str(Config()).replace("</korvantel>", "<testmod><header>configured</header></testmod>\n</korvantel>")
        with StandinOrigin({"*": response(200, b"hello")}) as origin:
            p = Proxy(config=conf, loglevel=ALL_LOG)
            directory = install(p, [(module("testmod"), "libtestmod.so"), (DEFINITIONS, "testmod.xml")])
            with p:
                r = p.get(origin.url("/x"))
                self.assertEqual(r.status, 200)
                self.assertEqual(r.body, b"hello")
                self.assertEqual(r.header("x-module"), "configured")
                log = p.log()
                self.assertIn("module: loaded %s/libtestmod.so" % directory, log)
                self.assertIn("testmod: section and processor registered", log)

    def test_section_missing_from_the_document_keeps_its_default(self):
        with StandinOrigin({"*": response(200, b"hello")}) as origin:
            p = Proxy(loglevel=ALL_LOG)
            install(p, [(module("testmod"), "testmod.so"), (DEFINITIONS, "testmod.xml")])
            with p:
                self.assertEqual(p.get(origin.url("/x")).header("x-module"), "from-module")

    def test_broken_modules_are_refused_and_start_up_goes_on(self):
        with StandinOrigin({"*": response(200, b"hello")}) as origin:
            p = Proxy(loglevel=ALL_LOG)
            d = install(p, [(module("refuses"), "librefuses.so"), (DEFINITIONS, "refuses.xml"),
                            (module("noentry"), "libnoentry.so"), (DEFINITIONS, "noentry.xml"),
                            (module("badsym"), "libbadsym.so"), (DEFINITIONS, "badsym.xml"),
                            (module("testmod"), "libtestmod.so"),  # without its testmod.xml
                            (module("testmod"), "libtestmod.so.bak"),
                            (module("testmod"), "writable.so")])
            os.chmod(os.path.join(d, "writable.so"), 0o666)
            os.mkdir(os.path.join(d, "directory.so"))
            with p:
                # the daemon serves, and no module's processor runs
                r = p.get(origin.url("/x"))
                self.assertEqual(r.status, 200)
                self.assertIsNone(r.header("x-module"))
                log = p.log()
                cases = [
                    "module: error: failed to load %s/librefuses.so" % d,
                    "module: error: %s/libnoentry.so: undefined symbol: noentry_load loading %s/libnoentry.so "
                    % (d, d),
                    "failed to load %s/libbadsym.so" % d,
                    "korvantel_interface_that_does_not_exist",
                    "module: Error: ",
                    "when parsing %s/testmod.xml" % d,
                    "module: error: %s/writable.so is writable by others than its owner, not loaded" % d,
                    "module: error: %s/directory.so is not a regular file, not loaded" % d,
                ]
                for line in cases:
                    self.assertIn(line, log)
                self.assertNotIn(".bak", log)
                self.assertNotIn("module: loaded", log)

    def test_missing_module_directory(self):
        with Proxy(loglevel=ALL_LOG) as p:
            self.assertTrue(p.wait_log("module: error: cannot read module directory %s/modules/" % p.dir))


class ExportTest(unittest.TestCase):
    def test_only_the_module_interface_is_exported(self):
        out = subprocess.run(["nm", "-DC", "--defined-only", BINARY], capture_output=True, text=True,
                             check=True).stdout
        names = [line.split(" ", 2)[2] for line in out.splitlines() if line.count(" ") >= 2]
        for wanted in ("global", "processors", "hooks", "protocols", "sectionxml"):
            self.assertIn(wanted, names)
        self.assertTrue(any(n.startswith("putlog(") for n in names))
        self.assertTrue(any(n.startswith("Section::Section(") for n in names))
        # the request path and the rest stay inside
        for hidden in ("handle_request", "request_dispatch", "net_accept", "protocol_http", "config_load"):
            self.assertFalse(any(n.startswith(hidden + "(") for n in names), hidden)
        self.assertLess(len(names), 400)


if __name__ == "__main__":
    main()
