"""The LDAP directory through the real binary against Debian's slapd on
loopback: groups from the directory for the access rules, authentication by
binding with the user's DN, the user cache and its refill, and what the
logs must never hold."""
import os
import base64
import re
import socket
import time
import unittest

from harness import CONFIG_XML, Proxy, free_port, main, wait_for
from peers import Slapd, hello_origin
from test_interface import call

ALL_LOG = 0xFFFFFFF
KEY = "test-installation-key"
SERVICE_DN = "cn=proxy,dc=test"
SERVICE_PASSWORD = "service_pw1"

USERS = [
    # uid, password, description (the group attribute used by some tests)
    ("alice", "alice-pw", "cn=staff,ou=web"),
    ("bob", "bob-pw", None),
    ("al*", "star-pw", None),  # a name holding a filter character
]


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) % 256
        s[i], s[j] = s[j], s[i]
    i = j = 0
    out = bytearray()
    for byte in data:
        i = (i + 1) % 256
        j = (j + s[i]) % 256
        s[i], s[j] = s[j], s[i]
        out.append(byte ^ s[(s[i] + s[j]) % 256])
    return bytes(out)


def privatise(password, key=KEY):
    """The enciphered form the configuration holds: RC4 under the key's first
    16 bytes, base64 without padding, each symbol as its index plus one in
    two hexadecimal digits."""
    import base64
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    k = key.encode()[:16].ljust(16, b"\0")
    text = base64.b64encode(rc4(k, password.encode())).decode().rstrip("=")
    return "".join("%02x" % (alphabet.index(c) + 1) for c in text)


def ldif():
    entries = ["dn: dc=test\nobjectClass: dcObject\nobjectClass: organization\no: test\ndc: test\n",
               "dn: ou=people,dc=test\nobjectClass: organizationalUnit\nou: people\n",
               "dn: %s\nobjectClass: person\nobjectClass: simpleSecurityObject\ncn: proxy\nsn: proxy\n"
               "userPassword: %s\n" % (SERVICE_DN, SERVICE_PASSWORD)]
    for uid, password, description in USERS:
        entry = ("dn: uid=%s,ou=people,dc=test\nobjectClass: inetOrgPerson\nuid: %s\ncn: %s\nsn: %s\n"
                 "userPassword: %s\n" % (uid.replace("*", "\\2a"), uid, uid, uid, password))
        if description:
            entry += "description: %s\n" % description
        entries.append(entry)
    return "\n".join(entries)


def server_xml(port, group="", password=None, binddn=SERVICE_DN, proxyhost="", host="127.0.0.1"):
    return ("<server><enabled>true</enabled><comment>test</comment><proxyhost>%s</proxyhost><host>%s</host>"
            "<port>%d</port><binddn>%s</binddn><password>%s</password><base>ou=people,dc=test</base>"
            "<userattribute>uid</userattribute><groupattribute>%s</groupattribute></server>"
            % (proxyhost, host, port, binddn, privatise(SERVICE_PASSWORD) if password is None else password, group))


def config(servers, groups=""):
    """Shipped configuration with the directory on and one system-mode allow
    rule (optionally requiring directory groups)."""
    with open(CONFIG_XML) as f:
        text = f.read()
    rule = ("<allow><enabled>true</enabled><comment>directory users</comment><logprofiles>false</logprofiles>"
            "<groups>%s</groups><listeners></listeners><clients>127.0.0.1</clients><mode>system</mode><user></user>"
            "<password></password><permissions>interface,proxy,connect</permissions><bypass></bypass>"
            "<interfaceuser></interfaceuser><interfacepassword></interfacepassword><profiles></profiles></allow>"
            % groups)
    text = re.sub(r"<access>.*?</access>",
                  "<access><order>allowfirst</order><ntlm>false</ntlm>%s</access>" % rule, text, count=1, flags=re.S)
    return re.sub(r"<ldap>.*?</ldap>", "<ldap><enabled>true</enabled>%s</ldap>" % "".join(servers), text,
                  count=1, flags=re.S)


def proxy(conf, args=()):
    p = Proxy(config=conf, loglevel=ALL_LOG, args=["-x", "korvantel-test-none"] + list(args))
    with open(os.path.join(p.dir, "korvantel.key"), "w") as f:
        f.write(KEY + "\n")
    return p


def status_of(response):
    first = response.split(b"\r\n", 1)[0].split()
    return int(first[1]) if len(first) > 1 else 0


class DirectoryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.slapd = Slapd(ldif()).start()
        cls.origin = hello_origin().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.origin.__exit__()
        cls.slapd.stop()

    def get(self, p, user, password):
        rc, out, err = p.curl(self.origin.url("/x"), "--proxy-user", "%s:%s" % (user, password))
        self.assertEqual(rc, 0, err)
        return status_of(out)

    def test_users_bind_with_their_dn(self):
        for group in ("", "description"):
            with self.subTest(group=group), proxy(config([server_xml(self.slapd.port, group)])) as p:
                self.assertTrue(p.wait_log("ldap: cache: entries returned"), p.log())
                # with a group attribute only users holding it are directory users
                plain = 200 if not group else 407
                cases = [("alice", "alice-pw", 200), ("alice", "wrong-pw", 407), ("bob", "bob-pw", plain),
                         ("alice", "", 407), ("al*", "alice-pw", 407), ("al*", "star-pw", plain),
                         ("nobody", "x", 407)]
                for user, password, expected in cases:
                    self.assertEqual(self.get(p, user, password), expected, (group, user, password))
                log = p.log()
                self.assertIn("authentication failed [uid=alice,ou=people,dc=test]", log)
                for secret in ("alice-pw", "wrong-pw", "bob-pw", "star-pw", SERVICE_PASSWORD):
                    self.assertNotIn(secret, log)

    def test_groups_from_the_group_attribute(self):
        conf = config([server_xml(self.slapd.port, "description")], groups="ou=web")
        with proxy(conf) as p:
            self.assertTrue(p.wait_log("ldap: cache: entries returned [1] refreshed [1]"), p.log())
            self.assertEqual(self.get(p, "alice", "alice-pw"), 200)
            # bob has no description, so no groups: the rule does not apply
            self.assertEqual(self.get(p, "bob", "bob-pw"), 407)

    def test_groups_from_the_dn_and_unknown_users(self):
        conf = config([server_xml(self.slapd.port)], groups="ou=people")
        with proxy(conf) as p:
            self.assertTrue(p.wait_log("refreshed [4]"), p.log())
            self.assertEqual(self.get(p, "bob", "bob-pw"), 200)
            self.assertEqual(self.get(p, "carol", "x"), 407)
            self.assertTrue(p.wait_log("user carol not found"))
            # cached as unknown: the directory is not asked again
            self.assertEqual(self.get(p, "carol", "x"), 407)
            self.assertEqual(p.log().count("user carol not found"), 1)

    def test_first_server_down_second_serves(self):
        dead = free_port()
        conf = config([server_xml(dead), server_xml(self.slapd.port)])
        with proxy(conf) as p:
            self.assertTrue(p.wait_log("ldap: cache: entries returned"), p.log())
            self.assertEqual(self.get(p, "bob", "bob-pw"), 200)
            self.assertEqual(self.get(p, "alice", "wrong"), 407)

    def test_silent_server_times_out(self):
        # Accepts connections and never answers.
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(16)
        try:
            conf = config([server_xml(silent.getsockname()[1]), server_xml(self.slapd.port)])
            with proxy(conf) as p:
                self.assertTrue(p.wait_log("ldap: cache: entries returned", timeout=60), p.log())
                self.assertEqual(self.get(p, "bob", "bob-pw"), 200)
        finally:
            silent.close()

    def test_servers_skipped(self):
        cases = [("bad password text", server_xml(self.slapd.port, password="0G0102"),
                  "failed to extract ldap password from privatised string [0G0102]"),
                 ("another proxy's server", server_xml(self.slapd.port, proxyhost="elsewhere"), None),
                 ("wrong service password", server_xml(self.slapd.port, password=privatise("nope")),
                  "bind failed for cn=proxy,dc=test")]
        for name, server, line in cases:
            with self.subTest(name), proxy(config([server])) as p:
                self.assertEqual(self.get(p, "bob", "bob-pw"), 407)
                if line:
                    self.assertTrue(p.wait_log(line), p.log())
                self.assertNotIn("ldap: cache: entries returned", p.log())

    def test_cache_refill_picks_up_new_users(self):
        conf = config([server_xml(self.slapd.port)])
        # password cache of 100 entries that expire after 1 second: the
        # directory cache is refilled on the next 10-second timer run
        with proxy(conf, args=["-P", "100:1"]) as p:
            self.assertTrue(p.wait_log("ldap: cache: entries returned"), p.log())
            self.slapd.add("dn: uid=dave,ou=people,dc=test\nobjectClass: inetOrgPerson\nuid: dave\ncn: dave\n"
                           "sn: dave\nuserPassword: dave-pw\n")
            self.assertTrue(wait_for(lambda: p.log().count("ldap: cache: entries returned") >= 2, 40), p.log())
            self.assertEqual(self.get(p, "dave", "dave-pw"), 200)

    def test_made_up_names_do_not_grow_the_cache(self):
        auth = {"Proxy-Authorization": "Basic " + base64.b64encode(b"alice:alice-pw").decode()}
        # 2 buckets: the cache holds at most 2 * 256 entries, the oldest go first
        with proxy(config([server_xml(self.slapd.port, "description")]), args=["-P", "2:600"]) as p:
            self.assertTrue(p.wait_log("ldap: cache: entries returned"), p.log())
            names = ["ghost%05d" % i for i in range(600)]
            for start in range(0, len(names), 200):
                page = call(p, "/ldap", form={"upn": ",".join(names[start:start + 200])}, headers=auth)
                self.assertEqual(page.status, 200)
            # the same through proxy requests: each unknown name is looked up once
            for i in range(20):
                basic = base64.b64encode(("intruder%d:x" % i).encode()).decode()
                self.assertEqual(p.get(self.origin.url("/x"), ["Proxy-Authorization: Basic " + basic]).status, 407)
            listing = call(p, "/ldap", form={"show": "yes"}, headers=auth).body
            rows = len(re.findall(r'<tr class="list(?:even|odd)">', listing))
            self.assertLessEqual(rows, 2 * 256)
            self.assertGreater(rows, 400)
            self.assertIn(">intruder19<", listing)
            self.assertIn(">ghost00599<", listing)
            self.assertNotIn(">ghost00000<", listing)

    def test_unknown_users_are_asked_again_after_the_refill_period(self):
        # a refill period long enough that a loaded machine asks twice within it
        with proxy(config([server_xml(self.slapd.port)]), args=["-P", "100:8"]) as p:
            self.assertTrue(p.wait_log("ldap: cache: entries returned"), p.log())
            self.assertEqual(self.get(p, "erin", "x"), 407)
            self.assertEqual(self.get(p, "erin", "x"), 407)
            self.assertEqual(p.log().count("user erin not found"), 1)
            time.sleep(9)
            self.slapd.add("dn: uid=erin,ou=people,dc=test\nobjectClass: inetOrgPerson\nuid: erin\ncn: erin\n"
                           "sn: erin\nuserPassword: erin-pw\n")
            self.assertEqual(self.get(p, "erin", "erin-pw"), 200)

    def test_interface_pages(self):
        auth = {"Proxy-Authorization": "Basic " + base64.b64encode(b"alice:alice-pw").decode()}
        with proxy(config([server_xml(self.slapd.port, "description")])) as p:
            self.assertTrue(p.wait_log("ldap: cache: entries returned"), p.log())
            page = call(p, "/ldap", form={"upn": "alice,<b>x"}, headers=auth)
            self.assertEqual(page.status, 200)
            self.assertIn("<td width=\"25%\">alice</td><td>cn=staff,ou=web</td>", page.body)
            self.assertIn("&lt;b&gt;x</td><td>User not found!</td>", page.body)
            self.assertNotIn("<b>x", page.body)
            listing = call(p, "/ldap", form={"show": "yes"}, headers=auth)
            self.assertIn("LDAP Profiles", listing.body)
            self.assertIn("cn=staff,ou=web", listing.body)

            form = call(p, "/password", headers=auth)
            self.assertIn('name="active" value="%s"' % KEY, form.body)
            made = call(p, "/password", form={"active": KEY, "scode": "new_Pass1", "scode1": "new_Pass1"},
                        headers=auth)
            self.assertIn(">%s</td>" % privatise("new_Pass1"), made.body)
            other = call(p, "/password", form={"active": "otherkey", "scode": "abc", "scode1": "abc"}, headers=auth)
            self.assertIn(">%s</td>" % privatise("abc", "otherkey"), other.body)
            differ = call(p, "/password", form={"active": KEY, "scode": "abc", "scode1": "abd"}, headers=auth)
            self.assertIn("fields do not match or, are empty.", differ.body)
            self.assertNotIn('<tr class="listeven">', differ.body)
            self.assertNotIn("new_Pass1", p.log())


if __name__ == "__main__":
    main()
