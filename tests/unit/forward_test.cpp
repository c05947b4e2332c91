// Forwarding rules and peer selection: which rule a request is forwarded by,
// the CARP hash and the CARP choice, ICP queries against scripted peers on
// loopback (wire format, scoring, peers flagged down), the ICP server's
// answers and its message framing.
#include "forward.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cache_fixture.h"
#include "config_fixture.h"
#include "connection.h"
#include "general.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "protocol.h"
#include "settings.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

struct Rule {
    std::string host;
    int type = 0;
    int port = 8080;
    std::string profiles = "";
    std::string protocols = "http,ftp,connect";
    int icptype = 0;
    int icpport = 0;
    std::string user = "";
    std::string password = "";
    std::string domain = "";
    bool enabled = true;
};

std::string rule_xml(const Rule &r) {
    return "<rule><enabled>" + std::string(r.enabled ? "true" : "false") + "</enabled><comment></comment><profiles>" +
           r.profiles + "</profiles><host>" + r.host + "</host><user>" + r.user + "</user><password>" + r.password +
           "</password><domain>" + r.domain + "</domain><port>" + std::to_string(r.port) + "</port><icptype>" +
           std::to_string(r.icptype) + "</icptype><icpport>" + std::to_string(r.icpport) + "</icpport><type>" +
           std::to_string(r.type) + "</type><protocols>" + r.protocols + "</protocols></rule>";
}

time_t fake_now = 1000000;
time_t fake_clock() { return fake_now; }

// A real cache section (in memory, no stores) with the ICP port and reply
// time-out given, holding the URLs given; it replaces any earlier one.
void cache_use(int icptimeout, int icpport = 0, const std::vector<std::string> &urls = {}) {
    delete cache_section;
    cache_construct();
    nocache_init(0);
    TiXmlDocument document;
    document.Parse(cachetest::cache_document(
                       {{"icpport", std::to_string(icpport)}, {"icptimeout", std::to_string(icptimeout)}}, {})
                       .c_str());
    ASSERT_FALSE(document.Error());
    cache_section->load(&document, 1);
    CONNECTION_T *connection = connection_new();
    for (const std::string &url : urls) {
        std::string head = cachetest::head_for(2);
        CACHEMAP *object = cache_section->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
        ASSERT_NE(object, nullptr) << url;
        EXPECT_EQ(cache_section->add(object, "ok", 2), 2);
        cache_section->cache_close(object, true);
        EXPECT_TRUE(cache_section->exists(url.c_str())) << url;
    }
    connection_free(connection);
}

class ForwardTest : public ::testing::Test {
protected:
    std::vector<CONNECTION_T *> connections;

    static void SetUpTestSuite() {
        daemonize = 1;
        definition_use(file_read(conf_dir + "section.xml"));
        if (!general_section) general_construct();
        TiXmlDocument document;
        document.Parse(
            "<korvantel><general><hostname>proxy.example.org</hostname><tempdir>/tmp</tempdir>"
            "<linelength>0</linelength><poolsize>0</poolsize><pooltimeout>1</pooltimeout></general>"
            "</korvantel>");
        ASSERT_FALSE(document.Error());
        general_section->load(&document, 1);
    }

    void SetUp() override {
        log_ring = logbuffer_new(1000);
        proxyhost[0] = 0;
        forward_construct();
        ForwardSection::clock = fake_clock;
        cache_use(2000);
    }

    void TearDown() override {
        for (CONNECTION_T *c : connections) {
            http_header_free(c->request);
            connection_free(c);
        }
        delete forward_section;
        delete cache_section;
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
        proxyhost[0] = 0;
    }

    void configure(const std::vector<Rule> &rules, bool enabled = true, bool carp = false, unsigned modulus = 0) {
        std::string x = "<korvantel><forward><enabled>" + std::string(enabled ? "true" : "false") + "</enabled><carp>" +
                        (carp ? "true" : "false") + "</carp><carpmodulus>" + std::to_string(modulus) + "</carpmodulus>";
        for (const Rule &r : rules) x += rule_xml(r);
        x += "</forward></korvantel>";
        TiXmlDocument document;
        document.Parse(x.c_str());
        ASSERT_FALSE(document.Error()) << x;
        forward_section->load(&document, 1);
    }

    CONNECTION_T *request(const std::string &line, const std::vector<std::string> &profiles = {}) {
        std::string text = line + "\r\nHost: www.example.com\r\n\r\n";
        CONNECTION_T *c = connection_new();
        c->request = http_header_parse_request(text.c_str());
        EXPECT_NE(c->request, nullptr) << line;
        c->ip = xstrdup("127.0.0.9");
        c->interface_ip = xstrdup("127.0.0.1");
        for (const std::string &p : profiles) c->profiles.push_back(p);
        connections.push_back(c);
        return c;
    }

    // "host:port type" of the choice, or "direct".
    static std::string choice(const CONNECTION_T *c) {
        if (c->forward_type == FORWARD_DIRECT) return "direct";
        return std::string(c->forward_host ? c->forward_host : "(null)") + ":" + std::to_string(c->forward_port) + " " +
               std::to_string(c->forward_type);
    }

    std::string forward(CONNECTION_T *c) {
        upstream_set(c, FORWARD_DIRECT, nullptr, 0, nullptr, nullptr, nullptr);
        EXPECT_EQ(forward_section->forward_do(c), 0);
        return choice(c);
    }

    bool logged(const std::string &text) {
        for (LOGNODE *node = log_ring->newest; node; node = node->older)
            if (strstr(node->line, text.c_str())) return true;
        return false;
    }
};

// ---- rule matching ------------------------------------------------------------

TEST_F(ForwardTest, RuleMatchingTable) {
    const std::string get = "GET http://www.example.com/x HTTP/1.1";
    const std::string ftp = "GET ftp://ftp.example.com/pub/ HTTP/1.1";
    const std::string tunnel = "CONNECT www.example.com:443 HTTP/1.1";
    struct Case {
        const char *name;
        std::vector<Rule> rules;
        std::string line;
        std::vector<std::string> profiles;
        unsigned int flags;
        const char *proxyhost;
        std::string expected;
    };
    Rule a{"10.0.0.1"}, b{"10.0.0.2"};
    Rule direct{""};
    Rule disabled = a;
    disabled.enabled = false;
    Rule self{"proxy.example.org"};
    Rule ftp_only = a;
    ftp_only.protocols = "ftp";
    Rule http_only = b;
    http_only.protocols = "http";
    Rule connect_only = a;
    connect_only.protocols = "connect";
    Rule staff = a;
    staff.profiles = "staff";
    Rule not_staff = b;
    not_staff.profiles = "!staff";
    Rule socks4 = a, socks5 = a, tunnel_parent = a;
    socks4.type = 1;
    socks5.type = 2;
    tunnel_parent.type = 3;
    Rule default_http = a, default_tunnel = a;
    default_http.port = -1;
    default_tunnel.port = -1;
    default_tunnel.type = 3;
    Rule icp_parent = a;
    icp_parent.icptype = ICP_PARENT;
    icp_parent.icpport = 1;
    Rule bad_type = a;
    bad_type.type = 7;
    const std::vector<Case> cases = {
        {"no rules", {}, get, {}, 0, "", "direct"},
        {"one parent", {a}, get, {}, 0, "", "10.0.0.1:8080 0"},
        {"empty host first ends the walk", {direct, a}, get, {}, 0, "", "direct"},
        {"empty host after a candidate keeps it", {a, direct, b}, get, {}, 0, "", "10.0.0.1:8080 0"},
        {"disabled rule skipped", {disabled, b}, get, {}, 0, "", "10.0.0.2:8080 0"},
        {"this proxy by its host name", {self}, get, {}, 0, "", "direct"},
        {"-H replaces the host name", {self}, get, {}, 0, "other.example", "proxy.example.org:8080 0"},
        {"-H names this proxy", {Rule{"other.example"}, b}, get, {}, 0, "other.example", "10.0.0.2:8080 0"},
        {"HTTP needs its bit", {ftp_only, http_only}, get, {}, 0, "", "10.0.0.2:8080 0"},
        {"FTP needs its bit", {http_only, ftp_only}, ftp, {}, 0, "", "10.0.0.1:8080 0"},
        {"CONNECT needs its bit", {http_only, connect_only}, tunnel, {}, 0, "", "10.0.0.1:8080 0"},
        {"a disabled direct rule does not end the walk",
         {Rule{"", 0, 8080, "", "http", 0, 0, "", "", "", false}, a},
         get,
         {},
         0,
         "",
         "10.0.0.1:8080 0"},
        {"a direct rule for another protocol does not end the walk",
         {Rule{"", 0, 8080, "", "ftp"}, a},
         get,
         {},
         0,
         "",
         "10.0.0.1:8080 0"},
        {"profile condition holds", {staff, not_staff}, get, {"staff"}, 0, "", "10.0.0.1:8080 0"},
        {"profile condition fails", {staff, not_staff}, get, {"guest"}, 0, "", "10.0.0.2:8080 0"},
        {"https command skips an HTTP parent", {a}, get, {}, CONN_HTTPS, "", "direct"},
        {"https command keeps SOCKS", {a, socks4}, get, {}, CONN_HTTPS, "", "10.0.0.1:8080 1"},
        {"SOCKS5", {socks5}, get, {}, 0, "", "10.0.0.1:8080 2"},
        {"CONNECT parent", {tunnel_parent}, tunnel, {}, 0, "", "10.0.0.1:8080 3"},
        {"revalidation skips an ICP parent", {icp_parent, b}, get, {}, CONN_REVALIDATE, "", "10.0.0.2:8080 0"},
        {"revalidation keeps a plain parent", {a}, get, {}, CONN_REVALIDATE, "", "10.0.0.1:8080 0"},
        {"default port of a parent", {default_http}, get, {}, 0, "", "10.0.0.1:3128 0"},
        {"default port of a CONNECT parent", {default_tunnel}, get, {}, 0, "", "10.0.0.1:443 3"},
        {"unknown proxy type skipped", {bad_type, b}, get, {}, 0, "", "10.0.0.2:8080 0"},
    };
    for (const Case &t : cases) {
        configure(t.rules);
        snprintf(proxyhost, sizeof proxyhost, "%s", t.proxyhost);
        CONNECTION_T *c = request(t.line, t.profiles);
        c->flags = t.flags;
        EXPECT_EQ(forward(c), t.expected) << t.name;
        proxyhost[0] = 0;
    }
}

TEST_F(ForwardTest, BypassAndDisabledForwardingChangeNothing) {
    CONNECTION_T *c = request("GET http://www.example.com/x HTTP/1.1");
    configure({Rule{"10.0.0.1"}}, false);
    EXPECT_EQ(forward(c), "direct");
    configure({Rule{"10.0.0.1"}});
    c->bypass = BYPASS_FORWARD;
    EXPECT_EQ(forward(c), "direct");
    c->bypass = 0;
    EXPECT_EQ(forward(c), "10.0.0.1:8080 0");
    EXPECT_TRUE(logged("forwarding to 10.0.0.1:8080"));
}

// Credentials belong to the rule that chose the parent: a rule without
// them clears whatever an earlier choice left on the connection.
TEST_F(ForwardTest, CredentialsComeFromThePickedRuleOnly) {
    Rule alice{"10.0.0.1"};
    alice.profiles = "a";
    alice.user = "alice";
    alice.password = "secret-a";
    alice.domain = "DOMAIN-A";
    Rule bob{"10.0.0.2"};
    bob.profiles = "b";
    bob.user = "bob";
    Rule anonymous{"10.0.0.3"};
    anonymous.profiles = "!a,!b";
    configure({alice, bob, anonymous});

    CONNECTION_T *c = request("GET http://www.example.com/x HTTP/1.1", {"a"});
    ASSERT_EQ(forward_section->forward_do(c), 0);
    EXPECT_EQ(choice(c), "10.0.0.1:8080 0");
    EXPECT_STREQ(c->forward_user, "alice");
    EXPECT_STREQ(c->forward_password, "secret-a");
    EXPECT_STREQ(c->forward_domain, "DOMAIN-A");

    // The same connection's next request, chosen by another rule, without
    // the dispatch resetting anything in between.
    c->profiles.clear();
    c->profiles.push_back("b");
    ASSERT_EQ(forward_section->forward_do(c), 0);
    EXPECT_EQ(choice(c), "10.0.0.2:8080 0");
    EXPECT_STREQ(c->forward_user, "bob");
    EXPECT_EQ(c->forward_password, nullptr);
    EXPECT_EQ(c->forward_domain, nullptr);

    c->profiles.clear();
    ASSERT_EQ(forward_section->forward_do(c), 0);
    EXPECT_EQ(choice(c), "10.0.0.3:8080 0");
    EXPECT_EQ(c->forward_user, nullptr);
    EXPECT_EQ(c->forward_password, nullptr);
    EXPECT_EQ(c->forward_domain, nullptr);
}

TEST_F(ForwardTest, EqualCandidatesAreChosenAtRandom) {
    configure({Rule{"10.0.0.1"}, Rule{"10.0.0.2"}, Rule{"10.0.0.3"}});
    CONNECTION_T *c = request("GET http://www.example.com/x HTTP/1.1");
    std::map<std::string, int> seen;
    for (int i = 0; i < 300; i++) seen[forward(c)]++;
    EXPECT_EQ(seen.size(), 3u);
    for (const auto &s : seen) EXPECT_NE(s.first, "direct");
    EXPECT_STREQ(c->log.peercode(), "DEFAULT_PARENT");
}

TEST_F(ForwardTest, DeletedSectionIsForgotten) {
    configure({Rule{"10.0.0.1"}});
    CONNECTION_T *c = request("GET http://www.example.com/x HTTP/1.1");
    EXPECT_EQ(forward(c), "10.0.0.1:8080 0");
    delete forward_section;
    EXPECT_EQ(forward_section, nullptr);
    forward_construct();
}

TEST_F(ForwardTest, ReloadRebuildsRulesInOrder) {
    configure({Rule{"10.0.0.1"}, Rule{""}, Rule{"10.0.0.3"}});
    ASSERT_EQ(forward_section->rules.size(), 3u);
    EXPECT_EQ(forward_section->rules[0].host, "10.0.0.1");
    EXPECT_EQ(forward_section->rules[1].host, "");
    EXPECT_EQ(forward_section->rules[2].protocols,
              (unsigned)(FORWARD_SERVES_HTTP | FORWARD_SERVES_FTP | FORWARD_SERVES_CONNECT));
    configure({});
    EXPECT_TRUE(forward_section->rules.empty());
}

// ---- CARP -------------------------------------------------------------------

TEST(Carp, HashTable) {
    struct Case {
        const char *url;
        const char *member;
        unsigned int modulus;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {"http://www.example.com:80/", "proxy1.example.com", 0, 0x5d10bdd3u},
        {"http://www.example.com:80/", "proxy2.example.com", 0, 0x6b8fbe8cu},
        {"http://www.example.com:80/", "", 0, 0xd04f88e1u},
        {"", "", 0, 0},
        {"", "10.0.0.1", 0, 0x8f887741u},
        // bytes above 127 count as negative
        {"http://caf\xc3\xa9.example:80/\xff\x80", "10.0.0.1", 0, 0x71496a31u},
        {"http://www.example.com:80/index.html", "127.0.0.1", 1000, 996},
        {"ftp://ftp.example.org:21/pub/file.tar.gz", "sibling.local", 7, 2},
    };
    for (const Case &t : cases)
        EXPECT_EQ(ForwardSection::carp_hash(t.url, t.member, t.modulus), t.expected) << t.url << " " << t.member;
}

TEST_F(ForwardTest, CarpModulusComesFromTheSection) {
    configure({}, true, true, 1000);
    EXPECT_EQ(forward_section->carp_hash("http://www.example.com:80/index.html", "127.0.0.1"), 996u);
}

TEST_F(ForwardTest, CarpChoiceIsStablePerUrlAndThisProxyTakesPart) {
    const char *peers[] = {"10.0.0.1", "10.0.0.2"};
    configure({Rule{peers[0]}, Rule{peers[1]}}, true, true);
    // A URL won by a peer, and one won by this proxy itself.
    std::string peer_url, own_url, winner;
    for (int i = 0; i < 200 && (peer_url.empty() || own_url.empty()); i++) {
        std::string path = "/object" + std::to_string(i);
        std::string url = "http://www.example.com:80" + path;
        uint32_t h0 = ForwardSection::carp_hash(url.c_str(), peers[0], 0);
        uint32_t h1 = ForwardSection::carp_hash(url.c_str(), peers[1], 0);
        uint32_t own = ForwardSection::carp_hash(url.c_str(), "proxy.example.org", 0);
        uint32_t best = std::max(h0, h1);
        if (own >= best && own_url.empty()) own_url = path;
        if (own < best && peer_url.empty()) {
            peer_url = path;
            winner = h0 > h1 ? peers[0] : peers[1];
        }
    }
    ASSERT_FALSE(peer_url.empty());
    ASSERT_FALSE(own_url.empty());

    CONNECTION_T *c = request("GET http://www.example.com" + peer_url + " HTTP/1.1");
    for (int i = 0; i < 20; i++) {
        c->flags = 0;
        EXPECT_EQ(forward(c), winner + ":8080 0");
        EXPECT_TRUE(c->flags & CONN_CARP);
    }
    CONNECTION_T *own = request("GET http://www.example.com" + own_url + " HTTP/1.1");
    EXPECT_EQ(forward(own), "direct");
    EXPECT_FALSE(own->flags & CONN_CARP);
}

TEST_F(ForwardTest, CarpLeavesConnectDirect) {
    configure({Rule{"10.0.0.1"}}, true, true);
    CONNECTION_T *c = request("CONNECT www.example.com:443 HTTP/1.1");
    EXPECT_EQ(forward(c), "direct");
}

// ---- ICP against scripted peers ----------------------------------------------------

// A UDP peer on loopback that records every datagram and answers with a
// fixed opcode (none when negative), echoing the request number.
class IcpPeer {
public:
    int port = 0;
    std::atomic<int> opcode;
    std::atomic<bool> wrong_number{false};

    explicit IcpPeer(int answer, const char *address = "127.0.0.1") : opcode(answer) {
        sock_ = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        bind(sock_, (struct sockaddr *)&a, sizeof a);
        socklen_t l = sizeof a;
        getsockname(sock_, (struct sockaddr *)&a, &l);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~IcpPeer() {
        stop_ = true;
        thread_.join();
        close(sock_);
    }
    std::vector<std::string> queries() {
        std::lock_guard<std::mutex> hold(lock_);
        return queries_;
    }

private:
    int sock_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::string> queries_;

    void run() {
        while (!stop_) {
            struct pollfd p = {sock_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            unsigned char data[65536];
            struct sockaddr_in from;
            socklen_t l = sizeof from;
            ssize_t n = recvfrom(sock_, data, sizeof data, 0, (struct sockaddr *)&from, &l);
            if (n <= 0) continue;
            {
                std::lock_guard<std::mutex> hold(lock_);
                queries_.push_back(std::string((const char *)data, (size_t)n));
            }
            int answer = opcode;
            if (answer < 0 || n < 25) continue;
            // Reply: the header with the opcode changed, the URL without the
            // requester address.
            std::string url((const char *)data + 24, (size_t)n - 24);
            std::string reply((const char *)data, 20);
            reply[0] = (char)answer;
            uint16_t length = htons((uint16_t)(20 + url.size()));
            memcpy(&reply[2], &length, 2);
            if (wrong_number) reply[4] ^= 0x55;
            reply += url;
            sendto(sock_, reply.data(), reply.size(), 0, (struct sockaddr *)&from, l);
        }
    }
};

Rule icp_rule(const char *host, int role, int icp_port) {
    Rule r{host};
    r.icptype = role;
    r.icpport = icp_port;
    return r;
}

TEST_F(ForwardTest, IcpScoring) {
    struct Case {
        const char *name;
        int role1, answer1, role2, answer2;
        std::string expected;  // host of the pick or "direct"
        const char *peercode;
    };
    const std::vector<Case> cases = {
        {"parent HIT beats parent MISS", ICP_PARENT, ICP_OP_MISS, ICP_PARENT, ICP_OP_HIT, "127.0.0.2", "PARENT_HIT"},
        {"parent MISS beats sibling MISS", ICP_SIBLING, ICP_OP_MISS, ICP_PARENT, ICP_OP_MISS, "127.0.0.2",
         "FIRST_PARENT_MISS"},
        {"siblings that miss send it direct", ICP_SIBLING, ICP_OP_MISS, ICP_SIBLING, ICP_OP_MISS, "direct", "DIRECT"},
        {"sibling HIT beats parent HIT", ICP_PARENT, ICP_OP_HIT, ICP_SIBLING, ICP_OP_HIT, "127.0.0.2", "SIBLING_HIT"},
        {"other answers score nothing", ICP_PARENT, ICP_OP_DENIED, ICP_PARENT, ICP_OP_ERR, "direct", "DIRECT"},
        {"a parent that misses beats one that is denied", ICP_PARENT, ICP_OP_DENIED, ICP_PARENT, ICP_OP_MISS,
         "127.0.0.2", "FIRST_PARENT_MISS"},
    };
    for (const Case &t : cases) {
        IcpPeer one(t.answer1, "127.0.0.1"), two(t.answer2, "127.0.0.2");
        Rule r1 = icp_rule("127.0.0.1", t.role1, one.port);
        Rule r2 = icp_rule("127.0.0.2", t.role2, two.port);
        configure({r1, r2});
        CONNECTION_T *c = request("GET http://www.example.com/x HTTP/1.1");
        c->log.set_peercode(PEERCODE_DIRECT);
        std::string got = forward(c);
        std::string host = got == "direct" ? got : got.substr(0, got.find(':'));
        EXPECT_EQ(host, t.expected) << t.name;
        EXPECT_STREQ(c->log.peercode(), t.peercode) << t.name;
        EXPECT_EQ(one.queries().size(), 1u) << t.name;
        EXPECT_EQ(two.queries().size(), 1u) << t.name;
    }
}

// A candidate without ICP role scores 1: above a miss of nobody, below
// every answer worth something.
TEST_F(ForwardTest, PlainParentAgainstIcpPeers) {
    IcpPeer sibling(ICP_OP_MISS);
    configure({icp_rule("127.0.0.1", ICP_SIBLING, sibling.port), Rule{"10.0.0.9"}});
    CONNECTION_T *c = request("GET http://www.example.com/x HTTP/1.1");
    EXPECT_EQ(forward(c), "10.0.0.9:8080 0");
    EXPECT_STREQ(c->log.peercode(), "DEFAULT_PARENT");

    IcpPeer parent(ICP_OP_MISS);
    configure({icp_rule("127.0.0.1", ICP_PARENT, parent.port), Rule{"10.0.0.9"}});
    EXPECT_EQ(forward(c), "127.0.0.1:8080 0");
}

TEST_F(ForwardTest, IcpQueryOnTheWire) {
    struct Case {
        std::string line;
        std::string url;  // as the query must carry it
    };
    const std::vector<Case> cases = {
        {"GET http://www.example.com/a/b?c=d HTTP/1.1", "http://www.example.com/a/b?c=d"},
        {"GET http://www.example.com:80/x HTTP/1.1", "http://www.example.com/x"},
        {"GET http://www.example.com:8080/x HTTP/1.1", "http://www.example.com:8080/x"},
        {"GET ftp://ftp.example.com/pub/ HTTP/1.1", "ftp://ftp.example.com/pub/"},
    };
    for (const Case &t : cases) {
        IcpPeer peer(ICP_OP_MISS);
        configure({icp_rule("127.0.0.1", ICP_PARENT, peer.port)});
        CONNECTION_T *c = request(t.line);
        forward(c);
        std::vector<std::string> q = peer.queries();
        ASSERT_EQ(q.size(), 1u) << t.line;
        const std::string &d = q[0];
        ASSERT_EQ(d.size(), 24 + t.url.size() + 1) << t.line;
        EXPECT_EQ(d[0], ICP_OP_QUERY);
        EXPECT_EQ(d[1], 3);
        EXPECT_EQ(((unsigned char)d[2] << 8) | (unsigned char)d[3], (int)d.size()) << t.line;
        EXPECT_NE(d.substr(4, 4), std::string(4, '\0'));                 // a request number
        EXPECT_EQ(d.substr(8, 8), std::string(8, '\0'));                 // options, option data
        EXPECT_EQ(d.substr(16, 4), std::string("\x7f\x00\x00\x01", 4));  // sender: interface address
        EXPECT_EQ(d.substr(20, 4), std::string("\x7f\x00\x00\x09", 4));  // requester: client address
        EXPECT_EQ(d.substr(24), t.url + std::string(1, '\0'));
    }
}

TEST_F(ForwardTest, SilentPeerIsFlaggedDownForThirtySeconds) {
    cache_use(300);
    IcpPeer silent(-1, "127.0.0.1"), answering(ICP_OP_MISS, "127.0.0.2");
    configure({icp_rule("127.0.0.1", ICP_PARENT, silent.port), icp_rule("127.0.0.2", ICP_PARENT, answering.port)});
    CONNECTION_T *c = request("GET http://www.example.com/x HTTP/1.1");

    EXPECT_EQ(forward(c), "127.0.0.2:8080 0");
    EXPECT_TRUE(logged("error: no ICP response received from 127.0.0.1"));
    EXPECT_EQ(forward_section->get_status(&forward_section->rules[0]), fake_now);
    EXPECT_EQ(forward_section->get_status(&forward_section->rules[1]), 0);

    // Within 30 seconds it is not asked.
    fake_now += 29;
    EXPECT_EQ(forward(c), "127.0.0.2:8080 0");
    EXPECT_EQ(silent.queries().size(), 1u);
    EXPECT_EQ(answering.queries().size(), 2u);

    // Afterwards it is asked again, and flagged up when it answers.
    fake_now += 1;
    silent.opcode = ICP_OP_HIT;
    EXPECT_EQ(forward(c), "127.0.0.1:8080 0");
    EXPECT_EQ(silent.queries().size(), 2u);
    EXPECT_EQ(forward_section->get_status(&forward_section->rules[0]), 0);
}

TEST_F(ForwardTest, ReplyWithAnUnknownNumberIsIgnored) {
    cache_use(300);
    IcpPeer peer(ICP_OP_HIT);
    peer.wrong_number = true;
    configure({icp_rule("127.0.0.1", ICP_PARENT, peer.port)});
    CONNECTION_T *c = request("GET http://www.example.com/x HTTP/1.1");
    EXPECT_EQ(forward(c), "direct");
    EXPECT_TRUE(logged("error: received unknown ICP response number"));
    EXPECT_TRUE(logged("error: no ICP response received from 127.0.0.1"));
}

TEST_F(ForwardTest, PeerThatIsNotAnAddressCountsAsSilent) {
    cache_use(100);
    configure({icp_rule("icp.example.invalid", ICP_PARENT, 3130)});
    CONNECTION_T *c = request("GET http://www.example.com/x HTTP/1.1");
    EXPECT_EQ(forward(c), "direct");
    EXPECT_TRUE(logged("error: no ICP response received from icp.example.invalid"));
    EXPECT_NE(forward_section->get_status(&forward_section->rules[0]), 0);
}

TEST_F(ForwardTest, ConnectIsNotQueriedOverIcp) {
    IcpPeer peer(ICP_OP_HIT);
    configure({icp_rule("127.0.0.1", ICP_PARENT, peer.port), Rule{"10.0.0.9"}});
    CONNECTION_T *c = request("CONNECT www.example.com:443 HTTP/1.1");
    EXPECT_EQ(forward(c), "10.0.0.9:8080 0");
    EXPECT_TRUE(peer.queries().empty());
}

// ---- ICP server ------------------------------------------------------------------

icp_packet *query_of(const std::string &wire) {
    icp_packet *p = new icp_packet;
    memset(p, 0, ICP_HEADER_SIZE);
    memcpy(p, wire.data(), std::min(wire.size(), sizeof *p));
    p->length = ntohs(p->length);
    p->number = ntohl(p->number);
    return p;
}

std::string wire_query(int opcode, const std::string &payload, uint32_t number = 0x01020304, int length = -1) {
    std::string d(20, '\0');
    d[0] = (char)opcode;
    d[1] = 3;
    uint16_t l = htons((uint16_t)(length >= 0 ? length : 20 + (int)payload.size()));
    memcpy(&d[2], &l, 2);
    uint32_t n = htonl(number);
    memcpy(&d[4], &n, 4);
    d.replace(16, 4, "\x0a\x00\x00\x01", 4);
    return d + payload;
}

TEST_F(ForwardTest, IcpAnswerTable) {
    // Stored under the URL's canonical form, which a query is looked up by.
    cache_use(2000, 0, {"http://www.example.com:80/cached"});
    const std::string requester("\x7f\x00\x00\x05", 4);
    struct Case {
        const char *name;
        std::string wire;
        int opcode;
        std::string payload;  // of the reply
        const char *log;
    };
    const std::string z(1, '\0');
    const std::vector<Case> cases = {
        {"hit", wire_query(1, requester + "http://www.example.com/cached" + z), ICP_OP_HIT,
         "http://www.example.com/cached" + z, "hit: http://www.example.com:80/cached"},
        {"miss", wire_query(1, requester + "http://www.example.com:80/other" + z), ICP_OP_MISS,
         "http://www.example.com:80/other" + z, "miss: http://www.example.com:80/other"},
        {"not a query", wire_query(ICP_OP_HIT, requester + "http://x/" + z), ICP_OP_INVALID, "",
         "error: unhandled ICP opcode: ICP_OP_HIT"},
        {"unknown opcode", wire_query(99, ""), ICP_OP_INVALID, "", "error: unhandled ICP opcode: ICP_OP_UNKNOWN"},
        {"no payload", wire_query(1, requester), ICP_OP_INVALID, "", "error: received ICP QUERY with no payload"},
        {"URL without its zero byte", wire_query(1, requester + "http://www.example.com/"), ICP_OP_INVALID, "",
         "error: received ICP QUERY with no payload"},
        {"zero byte only past the announced length", wire_query(1, requester + "http://a/" + z, 0x01020304, 20 + 4 + 9),
         ICP_OP_INVALID, "", "error: received ICP QUERY with no payload"},
        {"not a URL", wire_query(1, requester + "nonsense" + z), ICP_OP_INVALID, "",
         "error: received invalid URL in query"},
    };
    for (const Case &t : cases) {
        logbuffer_clear(log_ring);
        icp_packet *query = query_of(t.wire);
        icp_packet *reply = new icp_packet;
        int length = icp_answer(query, (int)t.wire.size(), reply);
        EXPECT_EQ(reply->opcode, t.opcode) << t.name;
        EXPECT_EQ(length, 20 + (int)t.payload.size()) << t.name;
        EXPECT_EQ(reply->length, length) << t.name;
        EXPECT_EQ(reply->number, 0x01020304u) << t.name;
        EXPECT_EQ(reply->version, 3) << t.name;
        EXPECT_EQ(std::string((const char *)reply->payload, t.payload.size()), t.payload) << t.name;
        EXPECT_TRUE(logged(t.log)) << t.name;
        delete query;
        delete reply;
    }
}

int bound_udp(int *port) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (struct sockaddr *)&a, sizeof a);
    socklen_t l = sizeof a;
    getsockname(s, (struct sockaddr *)&a, &l);
    *port = ntohs(a.sin_port);
    return s;
}

struct sockaddr_in loopback(int port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    return a;
}

TEST(IcpFraming, ReceiveRefusesShortAndTruncatedMessages) {
    log_ring = logbuffer_new(100);
    int port_a, port_b;
    int a = bound_udp(&port_a), b = bound_udp(&port_b);
    struct sockaddr_in to = loopback(port_b);
    struct Case {
        const char *name;
        std::string wire;
        int expected;
        uint32_t number;
        uint16_t length;
    };
    const std::vector<Case> cases = {
        {"three bytes", std::string("\x01\x03\x00", 3), -1, 0, 0},
        {"announces less than a header", wire_query(1, "", 7, 19), -1, 0, 0},
        {"shorter than a header", wire_query(1, "", 7).substr(0, 16), -1, 0, 0},
        {"shorter than announced", wire_query(1, "abcd", 7, 40), -1, 0, 0},
        {"whole", wire_query(1, std::string("\0\0\0\0http://a/\0", 14), 0xA1B2C3D4), 34, 0xA1B2C3D4, 34},
        {"longer than announced", wire_query(1, "abcd", 7, 22), 24, 7, 22},
    };
    for (const Case &t : cases) {
        ASSERT_EQ(sendto(a, t.wire.data(), t.wire.size(), 0, (struct sockaddr *)&to, sizeof to),
                  (ssize_t)t.wire.size());
        struct pollfd p = {b, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1) << t.name;
        icp_packet *packet = new icp_packet;
        struct sockaddr_in from;
        EXPECT_EQ(icp_packet_receive(b, &from, packet), t.expected) << t.name;
        if (t.expected > 0) {
            EXPECT_EQ(ntohs(from.sin_port), port_a);
            EXPECT_EQ(packet->number, t.number) << t.name;
            EXPECT_EQ(packet->length, t.length) << t.name;
        }
        delete packet;
    }
    // Nothing waiting: no block, -1.
    icp_packet *packet = new icp_packet;
    struct sockaddr_in from;
    EXPECT_EQ(icp_packet_receive(b, &from, packet), -1);
    delete packet;
    close(a);
    close(b);
    logbuffer_clear(log_ring);
    free(log_ring);
    log_ring = nullptr;
}

TEST(IcpFraming, SendWritesNetworkOrder) {
    int port_a, port_b;
    int a = bound_udp(&port_a), b = bound_udp(&port_b);
    struct sockaddr_in to = loopback(port_b);
    icp_packet *packet = new icp_packet;
    ASSERT_TRUE(icp_query_build(packet, 0x11223344, htonl(0x0a000001), htonl(0x0a000002), "http://h/p"));
    EXPECT_EQ(packet->length, 24 + 10 + 1);
    EXPECT_EQ(icp_packet_send(a, &to, packet), 35);
    char data[100];
    ssize_t n = recv(b, data, sizeof data, 0);
    ASSERT_EQ(n, 35);
    EXPECT_EQ(std::string(data, 20), std::string("\x01\x03\x00\x23\x11\x22\x33\x44\0\0\0\0\0\0\0\0\x0a\0\0\x01", 20));
    EXPECT_EQ(std::string(data + 20, 15), std::string("\x0a\0\0\x02http://h/p\0", 15));
    packet->length = 10;
    EXPECT_EQ(icp_packet_send(a, &to, packet), -1);
    delete packet;
    close(a);
    close(b);
}

TEST(IcpOpcodes, Names) {
    const std::map<int, const char *> names = {
        {0, "ICP_OP_INVALID"},  {1, "ICP_OP_QUERY"},    {2, "ICP_OP_HIT"},     {3, "ICP_OP_MISS"},
        {4, "ICP_OP_ERR"},      {10, "ICP_OP_SECHO"},   {11, "ICP_OP_DECHO"},  {21, "ICP_OP_MISS_NOFETCH"},
        {22, "ICP_OP_DENIED"},  {23, "ICP_OP_HIT_OBJ"}, {5, "ICP_OP_UNKNOWN"}, {255, "ICP_OP_UNKNOWN"},
        {-1, "ICP_OP_UNKNOWN"},
    };
    for (const auto &n : names) EXPECT_STREQ(icp_opcode_name(n.first), n.second) << n.first;
}

TEST(IcpServer, EndsAtOnceWithoutPortOrWhenThePortIsTaken) {
    log_ring = logbuffer_new(100);
    definition_use(file_read(conf_dir + "section.xml"));
    EXPECT_EQ(icp_thread(nullptr), nullptr);  // no cache section
    cache_use(1000, 0);
    EXPECT_EQ(icp_thread(nullptr), nullptr);

    int taken;
    int s = bound_udp(&taken);
    cache_use(1000, taken);
    EXPECT_EQ(icp_thread(nullptr), nullptr);
    bool found = false;
    for (LOGNODE *node = log_ring->newest; node; node = node->older)
        if (strstr(node->line, "ICP: failed to start ICP thread")) found = true;
    EXPECT_TRUE(found);
    close(s);
    delete cache_section;
    logbuffer_clear(log_ring);
    free(log_ring);
    log_ring = nullptr;
}

TEST(IcpServer, AnswersQueriesFromTheCache) {
    definition_use(file_read(conf_dir + "section.xml"));
    int probe;
    close(bound_udp(&probe));  // a port that was free a moment ago
    // The server, and with it the cache section, live for the rest of the process.
    cache_use(1000, probe, {"http://www.example.com:80/cached"});
    std::thread(icp_thread, nullptr).detach();

    int client_port;
    int c = bound_udp(&client_port);
    struct sockaddr_in to = loopback(probe);
    struct Case {
        std::string wire;
        std::string reply;
    };
    const std::string z(1, '\0');
    const std::string requester("\x7f\0\0\x01", 4);
    const std::vector<Case> cases = {
        {wire_query(1, requester + "http://www.example.com/cached" + z, 0xCAFE0001),
         wire_query(2, "http://www.example.com/cached" + z, 0xCAFE0001)},
        {wire_query(1, requester + "http://www.example.com/missing" + z, 0xCAFE0002),
         wire_query(3, "http://www.example.com/missing" + z, 0xCAFE0002)},
        {wire_query(10, "", 0xCAFE0003), wire_query(0, "", 0xCAFE0003)},
    };
    for (const Case &t : cases) {
        std::string got;
        // The server may still be binding: ask a few times.
        for (int attempt = 0; attempt < 50 && got.empty(); attempt++) {
            sendto(c, t.wire.data(), t.wire.size(), 0, (struct sockaddr *)&to, sizeof to);
            struct pollfd p = {c, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            char data[1000];
            ssize_t n = recv(c, data, sizeof data, 0);
            if (n > 0) got.assign(data, (size_t)n);
        }
        EXPECT_EQ(got, t.reply);
    }
    close(c);
}

}  // namespace
