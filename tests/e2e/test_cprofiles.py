"""Category profiles through the real binary: the host's categories come
from MX records that dnsmasq serves in the category zone, profiles they add
change what another section does, and what was learnt is written to the
cache file and read back at the next start."""
import base64
import os
import re
import shutil
import tempfile
import unittest

from peers import Dnsmasq, ResolvedProxy, dns_usable
from harness import CONFIG_XML, main

ALL_LOG = 0xFFFFFFF
ZONE = "cprofiles.korvantel.net"
WHY_NOT = dns_usable()


def cp_rule(categories, range_, add="", remove="", profiles="", log=1):
    return ("<rule><enabled>true</enabled><comment>c</comment><log>%d</log><profiles>%s</profiles>"
            "<categories>%s</categories><range>%s</range><add>%s</add><remove>%s</remove></rule>"
            % (log, profiles, categories, range_, add, remove))


def config(hints, rules, blacklist):
    """cProfiles with the rules; a URL blacklist that blocks the category
    "all" only for requests holding the profile "reader"."""
    with open(CONFIG_XML) as f:
        text = f.read()
    text = re.sub(r"<cProfiles>.*?</cProfiles>",
                  "<cProfiles><enabled>true</enabled><hints>%s</hints>%s</cProfiles>" % (hints, "".join(rules)),
                  text, count=1, flags=re.S)
    deny = ("<deny><enabled>true</enabled><comment>readers</comment><profiles>reader</profiles>"
            "<categories>all</categories><template></template></deny>")
    return re.sub(r"<urlblacklist>.*?</urlblacklist>",
                  "<urlblacklist><enabled>true</enabled><order>denyfirst</order><path>%s</path><template></template>"
                  "%s</urlblacklist>" % (blacklist, deny), text, count=1, flags=re.S)


@unittest.skipIf(WHY_NOT, WHY_NOT)
class CategoryProfilesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="korvantel-cp-")
        cls.blacklist = os.path.join(cls.dir, "bl")
        os.makedirs(os.path.join(cls.blacklist, "all"))
        with open(os.path.join(cls.blacklist, "all", "domains"), "w") as f:
            f.write("example\n")
        cls.dns = Dnsmasq(["--mx-host=www.news.example.%s,news,50" % ZONE,
                           "--mx-host=www.news.example.%s,sports,10" % ZONE,
                           "--mx-host=www.shop.example.%s,shopping,70" % ZONE]).start()

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def fetch(self, p, url):
        rc, out, err = p.curl(url)
        return b"blacklisted" in out

    def mx_queries(self, host):
        return [q for q in self.dns.queries() if "%s.%s" % (host, ZONE) in q]

    def test_categories_add_profiles_and_are_remembered(self):
        hints = os.path.join(self.dir, "hints", "deep")
        rules = [cp_rule("sports,news", "40-60", add="reader")]
        with ResolvedProxy(self.dns.resolv, config=config(hints, rules, self.blacklist), loglevel=ALL_LOG) as p:
            self.assertTrue(self.fetch(p, "http://www.news.example/"))
            self.assertTrue(self.fetch(p, "http://www.news.example/again"))
            self.assertFalse(self.fetch(p, "http://www.shop.example/"))  # shopping is not a category of the rule
            self.assertFalse(self.fetch(p, "http://www.nothing.example/"))
            self.assertEqual(len(self.mx_queries("www.news.example")), 1)  # the second request used the cache
            self.assertIn("cProfiles: failed to lookup site: www.nothing.example", p.log())
            self.assertIn("cache hit! site: www.news.example scored: 50 in category: news, matches", p.log())
        with open(os.path.join(hints, "cprofiles.cache")) as f:
            lines = [base64.b64decode(line).decode() for line in f.read().split()]
        self.assertIn("www.news.example.news.%s\t50" % ZONE, lines)
        self.assertIn("www.news.example.sports.%s\t10" % ZONE, lines)
        self.assertIn("www.shop.example.shopping.%s\t70" % ZONE, lines)
        before = len(self.mx_queries("www.news.example"))
        # next start: the cache file answers, no query goes out
        with ResolvedProxy(self.dns.resolv, config=config(hints, rules, self.blacklist), loglevel=ALL_LOG) as p:
            self.assertTrue(self.fetch(p, "http://www.news.example/"))
            self.assertIn("records: 3", p.log())
        self.assertEqual(len(self.mx_queries("www.news.example")), before)

    def test_ranges_hints_and_second_pass(self):
        hints = os.path.join(self.dir, "hints2")
        os.makedirs(hints)
        with open(os.path.join(hints, "local.cprofiles"), "w") as f:
            f.write("www.hinted.example.news.%s\t45\n" % ZONE)
        cases = [
            # rules, host, blocked
            ([cp_rule("news", "50", add="reader")], "www.news.example", True),
            ([cp_rule("news", "51", add="reader")], "www.news.example", False),
            ([cp_rule("sports", "10-20", add="reader")], "www.news.example", True),
            ([cp_rule("news", "40-60", add="reader", remove="reader")], "www.news.example", False),
            ([cp_rule("news", "40-50", add="reader")], "www.hinted.example", True),
            # the second pass sees what the first added
            ([cp_rule("news", "40-60", add="step"), cp_rule("news", "0-100", add="reader", profiles="step")],
             "www.news.example", True),
            ([cp_rule("news", "0-100", add="reader", profiles="absent")], "www.news.example", False),
        ]
        for rules, host, expected in cases:
            with self.subTest(rules=rules, host=host):
                conf = config(hints, rules, self.blacklist)
                with ResolvedProxy(self.dns.resolv, config=conf, loglevel=ALL_LOG) as p:
                    self.assertEqual(self.fetch(p, "http://%s/" % host), expected, p.log()[-3000:])
        self.assertFalse(self.mx_queries("www.hinted.example"))


if __name__ == "__main__":
    main()
