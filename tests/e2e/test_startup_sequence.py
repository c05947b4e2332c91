"""The start-up sequence as the native log shows it: the sections in their
construction order, then the modules, the configuration, the host-name
line, the listeners, the timers and the last line; and the threads the
sequence starts."""
import os
import unittest

from config import Config
from harness import ALL_LOG, Proxy, main, wait_for

SECTIONS = ["access", "url-filtering", "prefetch", "cache", "general", "dnsbl", "network",
            "header-filtering", "templates", "cookies-filtering", "ldap", "rewrite", "icap", "fprot",
            "kaspersky", "sophie", "cProfiles", "external", "ftp", "profiles", "mime-filtering", "redirect",
            "keywords-filtering", "forward", "limits", "clamav", "urlblacklist"]


def lines_of(log):
    """The text of each log line, without its time stamp and thread."""
    out = []
    for line in log.splitlines():
        parts = line.split(" ", 5)
        out.append(parts[5] if len(parts) == 6 else line)
    return out


def first(lines, text):
    for i, line in enumerate(lines):
        if text in line:
            return i
    raise AssertionError("no line with %r" % text)


class SequenceTest(unittest.TestCase):
    def test_steps_in_order(self):
        conf = Config().set("general", hostname="proxy.from.general")
        with Proxy(config=conf, loglevel=ALL_LOG) as p:
            self.assertTrue(p.wait_log("GMT offset is -"))
            lines = lines_of(p.log())
            constructed = [l.split("Validating Section: ")[1] for l in lines if "Validating Section: " in l]
            self.assertEqual(constructed, SECTIONS)
            steps = [
                "Validating Section: urlblacklist",          # the last section
                "module: error: cannot read module directory",  # modules, after every section
                "network: proxy hostname: proxy.from.general",  # from the general section without -H
                "network: listening on 127.0.0.1:%d" % p.port,
                "added timer 0",                             # limits_reset
                "added timer 4",                             # the fifth: ldap_configure
                "GMT offset is -",
            ]
            at = [first(lines, s) for s in steps]
            self.assertEqual(at, sorted(at), list(zip(steps, at)))
            self.assertFalse(any("added timer 5" in l for l in lines), "more timers than the five")
            # main thread, six service threads, the signal thread and the
            # prefetch workers (none while prefetching is off)
            tasks = os.listdir("/proc/%d/task" % p.pid)
            self.assertTrue(wait_for(lambda: len(os.listdir("/proc/%d/task" % p.pid)) >= 8), tasks)

    def test_hostname_option_overrides_the_general_section(self):
        conf = Config().set("general", hostname="proxy.from.general")
        with Proxy(config=conf, args=["-H", "proxy.from.option"], loglevel=ALL_LOG) as p:
            self.assertTrue(p.wait_log("network: proxy hostname: proxy.from.option"))


if __name__ == "__main__":
    main()
