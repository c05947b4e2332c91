"""URL blacklist and DNS blacklist through the real binary: a category tree
written by the test, and a DNS blacklist zone served by dnsmasq to a daemon
whose resolver points at it. The URL blacklist needs no name service: what
it lets through goes to a loopback parent, so those cases run anywhere; only
the DNS blacklist needs root for its own resolver."""
import os
import re
import shutil
import tempfile
import unittest
import xml.etree.ElementTree as ET

from config import Config
from peers import Dnsmasq, ResolvedProxy, dns_usable, hello_origin
from harness import CONFIG_XML, Proxy, main
from test_interface import call

ALL_LOG = 0xFFFFFFF
WHY_NOT = dns_usable()


def rule(element, categories, template="", profiles="", enabled=True):
    return ("<%s><enabled>%s</enabled><comment>c</comment><profiles>%s</profiles><categories>%s</categories>"
            "<template>%s</template></%s>" % (element, "true" if enabled else "false", profiles, categories,
                                              template, element))


def config(path="", order="denyfirst", allow=(), deny=(), template="", enabled=True, dnsbl=None):
    with open(CONFIG_XML) as f:
        text = f.read()
    section = ("<urlblacklist><enabled>%s</enabled><order>%s</order><path>%s</path><template>%s</template>%s%s"
               "</urlblacklist>" % ("true" if enabled else "false", order, path, template, "".join(allow),
                                    "".join(deny)))
    text = re.sub(r"<urlblacklist>.*?</urlblacklist>", section, text, count=1, flags=re.S)
    if dnsbl:
        text = re.sub(r"<dnsbl>.*?</dnsbl>",
                      "<dnsbl><enabled>%s</enabled><template>%s</template><zone>%s</zone><addresses>%s</addresses>"
                      "</dnsbl>" % dnsbl, text, count=1, flags=re.S)
    return text


def tree(root):
    """A database of a few categories, with the awkward lines of real lists."""
    files = {
        "ads/domains": b"ads.example\ntracker.test\n",
        "ads/urls": b"news.example/ads/\nshop.example\nads.example/only/this\n",
        "adult/domains": b"adult.example\n",
        "mixed/domains": (b"crlf.example\r\n# a comment line\n\n   \nUPPER.example\ntrailing.example.\n"
                          b"10.1.2.3\n" + b"x" * 300 + b".example\n" + b"bad\xff\xfe.example\n"
                          + b"y" * 1500 + b"\nlast.example"),
        "mixed/urls": b"path.example/Deep/Path\r\n",
        "broken/urls": b"broken.example/x\n",
    }
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    # "domains" that cannot be read as a file
    os.makedirs(os.path.join(root, "broken", "domains"))
    with open(os.path.join(root, "not-a-category"), "w") as f:
        f.write("ignored\n")


def blocked(response):
    return b"blacklisted" in response


def via_parent(text, port):
    """The configuration text with every request forwarded to the loopback
    parent on port, so no host name is ever resolved."""
    conf = Config()
    conf.root = ET.fromstring(text)
    conf.set("forward", enabled=True).clear("forward/rule")
    conf.add("forward/rule", host="127.0.0.1", port=port, icpport=0)
    return conf.text()


class UrlBlacklistTest(unittest.TestCase):
    """The URL blacklist: blocked requests never reach a name service, and
    the ones let through go to a loopback parent."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="korvantel-urlbl-")
        tree(cls.root)
        cls.parent = hello_origin().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.parent.__exit__()
        shutil.rmtree(cls.root, ignore_errors=True)

    def proxy(self, conf):
        return Proxy(config=via_parent(conf, self.parent.port), loglevel=ALL_LOG)

    def fetch(self, p, url, *extra):
        rc, out, err = p.curl(url, *extra)
        return out

    def passed(self, response):
        return b"hello from origin" in response

    def test_categories_block_by_domain_and_path(self):
        conf = config(self.root, deny=[rule("deny", "ads,mixed,broken")])
        cases = [
            ("http://ads.example/", True),
            ("http://www.ads.example/x", True),          # below a listed domain
            ("http://badads.example/", False),           # same letters, no dot boundary
            ("http://tracker.test/", True),
            ("http://news.example/ADS/banner.gif", True),  # path prefix, any case
            ("http://news.example/sport/", False),
            ("http://shop.example/anything", True),      # urls line without "/"
            ("http://ads.example/elsewhere", True),      # in domains: the urls line is ignored
            ("http://crlf.example/", True),
            ("http://upper.example/", False),            # lists match as written
            ("http://trailing.example/", False),
            ("http://10.1.2.3/", True),
            ("http://" + "x" * 300 + ".example/", True),
            ("http://last.example/", True),              # no line end after the last line
            ("http://path.example/deep/path/x", True),
            ("http://path.example/deep/other", False),
            ("http://broken.example/x", True),           # its urls still load
            ("http://adult.example/", False),            # category not named by the rule
        ]
        with self.proxy(conf) as p:
            self.assertTrue(p.wait_log("loaded 4 categories"), p.log())
            self.assertIn("broken/domains", p.log())
            for url, expected in cases:
                out = self.fetch(p, url)
                self.assertEqual(blocked(out), expected, url)
                self.assertEqual(self.passed(out), not expected, (url, out[:300]))
            # other spellings of a listed path or address are listed too,
            # and the refusal is no success
            for url in ("http://news.example//ads/x", "http://news.example/%61ds/x",
                        "http://news.example/sport/../ads/x", "http://news.example/./ads/x",
                        "http://167838211/", "http://10.66051/"):
                with self.subTest(url=url):
                    out = self.fetch(p, url, "--path-as-is")
                    self.assertTrue(blocked(out), out[:300])
                    self.assertIn(b" 403", out.split(b"\r\n", 1)[0])
            out = self.fetch(p, "http://www.ads.example/x")
            self.assertIn(b"ads", out)
            self.assertIn("match found in ads category", p.log())
            self.assertIn("blocked www.ads.example/x", p.log())

    def test_policy_templates_and_connect(self):
        conf = config(self.root, order="allowfirst", allow=[rule("allow", "ads")],
                      deny=[rule("deny", "adult", template="blocked")])
        with self.proxy(conf) as p:
            # allowed by an allow rule
            self.assertTrue(self.passed(self.fetch(p, "http://ads.example/")))
            # nothing in the allow list matches: the default rule blocks
            self.assertTrue(blocked(self.fetch(p, "http://other.example/")))
            # CONNECT blocked by the default rule: 404
            out = self.fetch(p, "https://other.example/", "--proxytunnel")
            self.assertIn(b" 404", out.split(b"\r\n", 1)[0])
        conf = config(self.root, order="allowfirst", allow=[rule("allow", "nonexistent")], template="blocked")
        with self.proxy(conf) as p:
            out = self.fetch(p, "http://ads.example/")
            self.assertIn(b"is blocked", out)

    def test_off_bypassed_or_no_database(self):
        with self.proxy(config(self.root, deny=[rule("deny", "ads")], enabled=False)) as p:
            self.assertTrue(self.passed(self.fetch(p, "http://ads.example/")))
            self.assertNotIn("match found", p.log())
        missing = os.path.join(self.root, "missing")
        with self.proxy(config(missing, deny=[rule("deny", "ads")])) as p:
            self.assertTrue(p.wait_log("failed to load URL blacklist from %s" % missing))
            self.assertTrue(self.passed(self.fetch(p, "http://ads.example/")))

    def test_search_page(self):
        with self.proxy(config(self.root, deny=[rule("deny", "ads")])) as p:
            first = call(p, "/urlbl")
            self.assertEqual(first.status, 200)
            self.assertIn("Search URL blacklist", first.body)
            self.assertEqual(first.body.count(" checked>"), 4)
            self.assertNotIn('<tr class="listhead">', first.body)
            found = call(p, "/urlbl", form={"show": "true", "ads": "on", "mixed": "on", "domain": "example$",
                                            "file": ""})
            body = found.body
            self.assertIn("<td>ads</td><td>ads.example</td><td>/</td>", body)
            self.assertIn("<td>ads</td><td>news.example</td><td>/ads/</td>", body)
            self.assertIn("<td>mixed</td><td>crlf.example</td><td>/</td>", body)
            self.assertNotIn("tracker.test", body)        # the domain pattern
            self.assertNotIn("adult.example", body)       # category not checked
            only_paths = call(p, "/urlbl", form={"show": "true", "ads": "on", "domain": "", "file": "^/ads"})
            self.assertIn("news.example", only_paths.body)
            self.assertNotIn("tracker.test", only_paths.body)


@unittest.skipIf(WHY_NOT, WHY_NOT)
class DnsBlacklistTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dns = Dnsmasq(["--address=/listed.example.bl.test/127.0.0.2",
                           "--address=/clean.example.bl.test/10.9.9.9",
                           "--address=/2.3.bl.test/127.0.0.3",
                           "--address=/short.bl.test/127.0.0.4"]).start()

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()

    def proxy(self, conf):
        return ResolvedProxy(self.dns.resolv, config=conf, loglevel=ALL_LOG)

    def fetch(self, p, url, *extra):
        rc, out, err = p.curl(url, *extra)
        return out

    def test_dns_blacklist(self):
        conf = config(dnsbl=("true", "", "bl.test", "127.0.0.2-127.0.0.3"))
        with self.proxy(conf) as p:
            cases = [("http://www.listed.example/", True), ("http://a.b.listed.example/", True),
                     ("http://listed.example/", True), ("http://clean.example/", False),
                     ("http://unknown.example/", False), ("http://10.1.2.3/", True),
                     ("http://short/", False)]
            for url, expected in cases:
                out = self.fetch(p, url)
                self.assertEqual(out.startswith(b"HTTP/1.1 404") and b"blocked" in out, expected, (url, out[:300]))
            queries = " ".join(self.dns.queries())
            self.assertIn("listed.example.bl.test", queries)
            self.assertNotIn("www.listed.example.bl.test", queries)
            self.assertIn("short.bl.test", queries)
            self.assertIn("domain www.listed.example is blacklisted", p.log())
            out = self.fetch(p, "https://www.listed.example/", "--proxytunnel")
            self.assertIn(b" 404", out.split(b"\r\n", 1)[0])

    def test_dns_blacklist_off(self):
        before = len(self.dns.queries())
        for enabled, zone, ranges in (("false", "bl.test", "127.0.0.2"), ("true", "", "127.0.0.2"),
                                      ("true", "bl.test", "")):
            with self.proxy(config(dnsbl=(enabled, "", zone, ranges))) as p:
                self.assertNotIn(b"blocked", self.fetch(p, "http://www.listed.example/"))
        self.assertFalse([q for q in self.dns.queries()[before:] if "bl.test" in q])


if __name__ == "__main__":
    main()
