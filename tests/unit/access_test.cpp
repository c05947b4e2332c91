// Access rules and proxy authentication: rule matching, the allow/deny
// decision, what an applied rule writes onto the connection, credential
// checks through PAM (under pam_wrapper), the directory and the password
// cache, and the answers of the authentication-stage processor.
#include "access.h"
#include "dncache.h"
#include "ldap_profile.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base64.h"
#include "config_fixture.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "global.h"
#include "header.h"
#include "mem.h"
#include "pam_fixture.h"
#include "password_cache.h"
#include "processors.h"
#include "profiles.h"
#include "settings.h"
#include "stats.h"
#include "templates.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

// One rule of a test configuration, as the configuration document holds it.
struct Rule {
    std::string comment;
    std::string clients;
    std::string listeners;
    std::string mode = "rule";
    std::string user;
    std::string password;
    std::string groups;
    std::string permissions = "proxy";
    std::string bypass;
    std::string profiles;
    bool enabled = true;
    bool log = false;
};

Rule rule(const std::string &comment) {
    Rule r;
    r.comment = comment;
    return r;
}
Rule clients(Rule r, const std::string &value) {
    r.clients = value;
    return r;
}
Rule listeners(Rule r, const std::string &value) {
    r.listeners = value;
    return r;
}
Rule login(Rule r, const std::string &mode, const std::string &user, const std::string &password) {
    r.mode = mode;
    r.user = user;
    r.password = password;
    return r;
}
Rule disabled(Rule r) {
    r.enabled = false;
    return r;
}

std::string rule_xml(const char *element, const Rule &r) {
    std::string x = std::string("<") + element + ">";
    x += std::string("<enabled>") + (r.enabled ? "true" : "false") + "</enabled>";
    x += "<comment>" + r.comment + "</comment>";
    x += std::string("<logprofiles>") + (r.log ? "true" : "false") + "</logprofiles>";
    x += "<groups>" + r.groups + "</groups>";
    x += "<listeners>" + r.listeners + "</listeners>";
    x += "<clients>" + r.clients + "</clients>";
    x += "<mode>" + r.mode + "</mode>";
    x += "<user>" + r.user + "</user>";
    x += "<password>" + r.password + "</password>";
    x += "<permissions>" + r.permissions + "</permissions>";
    x += "<bypass>" + r.bypass + "</bypass>";
    x += "<interfaceuser>admin</interfaceuser><interfacepassword>secret</interfacepassword>";
    x += "<profiles>" + r.profiles + "</profiles>";
    return x + "</" + element + ">";
}

// Client side of a test connection.
struct Client {
    const char *ip = "10.0.0.5";
    const char *interface_ip = "192.168.1.1";
    int port = 8080;
    const char *forwarded = nullptr;
    int type = HEADER_ABSOLUTE;
};

// The directory on (without a reachable server) or off; when on, the users
// named are cached with a DN of two components, so their requests go the
// directory's way.
void directory(bool enabled, const std::vector<std::string> &users = {}) {
    TiXmlDocument document;
    document.Parse(enabled ? "<korvantel><ldap><enabled>true</enabled></ldap></korvantel>"
                           : "<korvantel><ldap><enabled>false</enabled></ldap></korvantel>");
    ldap_section->load(&document, 1);
    for (const std::string &user : users) {
        std::string dn = "uid=" + user + ",dc=test";
        update_dn_cache(user.c_str(), dn.c_str(), dn.c_str());
    }
}

class AccessTest : public ::testing::Test {
protected:
    std::vector<CONNECTION_T *> connections;
    const std::string saved_pamfile = pamfile;

    static void SetUpTestSuite() {
        daemonize = 1;
        definition_use(file_read(conf_dir + "section.xml"));
        if (!access_section) access_construct();
        if (!general_section) general_construct();
        if (!template_section) templates_construct();
        if (!ldap_section) ldap_construct();
        TiXmlDocument shipped;
        ASSERT_TRUE(shipped.Parse(file_read(conf_dir + "korvantel.xml").c_str()) || !shipped.Error());
        general_section->load(&shipped, 1);
        template_section->load(&shipped, 1);
        if (!global) {
            global = new GLOBAL_T();
            pthread_rwlock_init(&global->password_cache_lock, nullptr);
            pthread_rwlock_init(&global->dn_cache_lock, nullptr);
        }
    }

    void SetUp() override {
        log_ring = logbuffer_new(1000);
        pthread_rwlock_wrlock(&global->password_cache_lock);
        password_cache_destroy(global->password_cache);
        global->password_cache = password_cache_create(16);
        pthread_rwlock_unlock(&global->password_cache_lock);
        pthread_rwlock_wrlock(&global->dn_cache_lock);
        dn_cache_destroy(global->dn_cache);
        global->dn_cache = dn_cache_create(16);
        pthread_rwlock_unlock(&global->dn_cache_lock);
        directory(false);
        authflag = 0;
        // The wrapper's test service; elsewhere no service of that name exists.
        snprintf(pamfile, sizeof pamfile, "%s", "korvantel-test");
    }

    void TearDown() override {
        for (CONNECTION_T *c : connections) {
            http_header_free(c->request);
            http_header_free(c->response);
            delete c->request_body;
            connection_free(c);
        }
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
        snprintf(pamfile, sizeof pamfile, "%s", saved_pamfile.c_str());
    }

    // How often PAM was asked: every answer is logged, either way.
    int pam_asked() {
        int n = 0;
        for (LOGNODE *node = log_ring->newest; node; node = node->older)
            if (strstr(node->line, "PAM: authentication succeeded for") || strstr(node->line, "security: system:")) n++;
        return n;
    }

    void configure(int allow_first, const std::vector<Rule> &allow, const std::vector<Rule> &deny, bool ntlm = false) {
        std::string x = "<korvantel><access>";
        x += std::string("<order>") + (allow_first ? "allowfirst" : "denyfirst") + "</order>";
        x += std::string("<ntlm>") + (ntlm ? "true" : "false") + "</ntlm>";
        for (const Rule &r : allow) x += rule_xml("allow", r);
        for (const Rule &r : deny) x += rule_xml("deny", r);
        x += "</access></korvantel>";
        TiXmlDocument document;
        document.Parse(x.c_str());
        ASSERT_FALSE(document.Error()) << x;
        access_section->load(&document, 1);
    }

    CONNECTION_T *connect(const Client &client = Client()) {
        CONNECTION_T *c = connection_new();
        c->ip = xstrdup(client.ip);
        c->interface_ip = xstrdup(client.interface_ip);
        c->port = client.port;
        c->request = header_new();
        c->request->type = client.type;
        c->request->method = xstrdup("GET");
        c->request->url = xstrdup("http://example.test:80/");
        if (client.forwarded) c->request->x_forwarded_for = xstrdup(client.forwarded);
        c->request_body = new Filebuf();
        connections.push_back(c);
        return c;
    }

    // Comment of the deciding rule, "default", or "refused".
    std::string decide(CONNECTION_T *c, const char *user = nullptr, const char *password = nullptr) {
        access_section->read_lock();
        const Access *r = access_section->check(c, user, password);
        std::string name = !r ? "refused" : r == &access_section->default_rule ? "default" : r->comment;
        access_section->unlock();
        return name;
    }

    bool logged(const std::string &text) {
        for (LOGNODE *node = log_ring->newest; node; node = node->older)
            if (strstr(node->line, text.c_str())) return true;
        return false;
    }
};

// ---- matching ---------------------------------------------------------------

TEST_F(AccessTest, RuleMatchingTable) {
    struct Case {
        const char *what;
        Rule allowed;
        Client client;
        const char *user;
        const char *password;
        bool matches;
    };
    Client plain;
    Client on_3128 = plain;
    on_3128.port = 3128;
    Client forwarded = plain;
    forwarded.forwarded = "172.16.0.9";
    Client bad_forwarded = plain;
    bad_forwarded.forwarded = "172.16.0.9, 10.1.1.1\r\nX: y";
    Client no_interface = plain;
    no_interface.interface_ip = "10.9.9.9";

    std::vector<Case> cases = {
        {"empty rule matches anyone", rule("r"), plain, nullptr, nullptr, true},
        {"disabled rule never matches", disabled(rule("r")), plain, nullptr, nullptr, false},
        {"listener any address, right port", listeners(rule("r"), "*:8080"), plain, nullptr, nullptr, true},
        {"listener any address, other port", listeners(rule("r"), "*:3128"), plain, nullptr, nullptr, false},
        {"listener any address on 3128", listeners(rule("r"), "*:3128"), on_3128, nullptr, nullptr, true},
        {"listener exact address and port", listeners(rule("r"), "192.168.1.1:8080"), plain, nullptr, nullptr, true},
        {"listener other local address", listeners(rule("r"), "192.168.1.1:8080"), no_interface, nullptr, nullptr,
         false},
        {"listener second entry", listeners(rule("r"), "*:1,192.168.1.1:8080"), plain, nullptr, nullptr, true},
        {"listener without colon", listeners(rule("r"), "192.168.1.1"), plain, nullptr, nullptr, false},
        {"listener port not a number", listeners(rule("r"), "*:80x80"), plain, nullptr, nullptr, false},
        {"listener address too long", listeners(rule("r"), "1234567890123456:8080"), plain, nullptr, nullptr, false},
        {"peer inside ranges", clients(rule("r"), "10.0.0.0-10.0.0.255"), plain, nullptr, nullptr, true},
        {"peer outside ranges", clients(rule("r"), "10.0.1.0-10.0.1.255"), plain, nullptr, nullptr, false},
        {"forwarded address inside, peer outside", clients(rule("r"), "172.16.0.0-172.16.0.255"), forwarded, nullptr,
         nullptr, true},
        {"forwarded address outside, peer inside", clients(rule("r"), "10.0.0.5"), forwarded, nullptr, nullptr, true},
        {"malformed forwarded value falls back to the peer", clients(rule("r"), "10.0.0.5"), bad_forwarded, nullptr,
         nullptr, true},
        {"malformed forwarded value admits nobody else", clients(rule("r"), "172.16.0.9"), bad_forwarded, nullptr,
         nullptr, false},
        {"mode 0, no user field, user given", rule("r"), plain, "alice", "pw", false},
        {"mode 0, user and password, nothing given", login(rule("r"), "rule", "alice", "pw"), plain, nullptr, nullptr,
         true},
        {"mode 0, right user and password", login(rule("r"), "rule", "alice", "pw"), plain, "alice", "pw", true},
        {"mode 0, wrong password", login(rule("r"), "rule", "alice", "pw"), plain, "alice", "nope", false},
        {"mode 0, empty password", login(rule("r"), "rule", "alice", "pw"), plain, "alice", "", false},
        {"mode 0, other user", login(rule("r"), "rule", "alice", "pw"), plain, "bob", "pw", false},
        {"mode 0, user case differs", login(rule("r"), "rule", "alice", "pw"), plain, "Alice", "pw", false},
        {"mode 0, rule without password", login(rule("r"), "rule", "alice", ""), plain, "alice", "x", true},
        {"mode 2 ignores the password", login(rule("r"), "name", "alice", "pw"), plain, "alice", "other", true},
        {"mode 2, other user", login(rule("r"), "name", "alice", "pw"), plain, "bob", "pw", false},
        {"mode 1 without user", login(rule("r"), "system", "^a", ""), plain, nullptr, nullptr, true},
        {"mode 1 pattern matches", login(rule("r"), "system", "^a", ""), plain, "alice", "pw", true},
        {"mode 1 pattern is case-insensitive", login(rule("r"), "system", "^a", ""), plain, "Alice", "pw", true},
        {"mode 1 pattern fails", login(rule("r"), "system", "^a", ""), plain, "bob", "pw", false},
        {"mode 1 without pattern", login(rule("r"), "system", "", ""), plain, "bob", "pw", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        configure(1, {c.allowed}, {});
        CONNECTION_T *connection = connect(c.client);
        EXPECT_EQ(c.matches ? "r" : "refused", decide(connection, c.user, c.password));
    }
}

TEST_F(AccessTest, GroupConditionOnlyInSystemMode) {
    struct Case {
        const char *mode;
        const char *groups;
        std::vector<std::string> member_of;
        bool matches;
    };
    std::vector<Case> cases = {
        {"system", "staff", {"staff"}, true},
        {"system", "staff", {"guests"}, false},
        {"system", "!staff", {"staff"}, false},
        {"system", "!staff", {}, true},
        {"system", "", {}, true},
        {"name", "staff", {}, true},  // other modes ignore groups
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.groups);
        Rule r = login(rule("r"), c.mode, "alice", "");
        r.groups = c.groups;
        configure(1, {r}, {});
        CONNECTION_T *connection = connect();
        for (const std::string &g : c.member_of) connection->groups.push_back(g);
        EXPECT_EQ(c.matches ? "r" : "refused", decide(connection, "alice", "pw"));
    }
}

TEST_F(AccessTest, OrderAndDefaultRule) {
    Rule local = clients(rule("local"), "10.0.0.0-10.0.0.255");
    Rule five = clients(rule("five"), "10.0.0.5");
    Rule other = clients(rule("other"), "10.9.0.0-10.9.0.255");
    struct Case {
        const char *what;
        int allow_first;
        std::vector<Rule> allow;
        std::vector<Rule> deny;
        const char *expected;
    };
    std::vector<Case> cases = {
        {"deny first, empty lists: default rule", 0, {}, {}, "default"},
        {"deny first, no deny match: default rule, allow list unread", 0, {other}, {other}, "default"},
        {"deny first, deny and allow match: the allow rule", 0, {local}, {five}, "local"},
        {"deny first, only deny matches: refused", 0, {other}, {five}, "refused"},
        {"allow first, empty allow list: refused", 1, {}, {}, "refused"},
        {"allow first, allow matches: the allow rule", 1, {local}, {other}, "local"},
        {"allow first, allow and deny match: refused", 1, {local}, {five}, "refused"},
        {"first matching allow rule wins", 1, {other, five, local}, {}, "five"},
        {"disabled rules are skipped", 1, {disabled(five), local}, {}, "local"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        configure(c.allow_first, c.allow, c.deny);
        EXPECT_EQ(c.expected, decide(connect()));
    }
}

TEST_F(AccessTest, UpdateRebuildsListsWithDisabledEntries) {
    configure(1, {rule("a"), disabled(rule("b"))}, {rule("c")});
    access_section->read_lock();
    ASSERT_EQ(2u, access_section->allow.size());
    EXPECT_FALSE(access_section->allow.back().enabled);
    EXPECT_EQ(1u, access_section->deny.size());
    EXPECT_EQ(~0u, access_section->default_rule.permissions);
    access_section->unlock();
}

// ---- applying a rule ----------------------------------------------------------

TEST_F(AccessTest, SetupWritesTheRuleOntoTheConnection) {
    Rule r = rule("r");
    r.permissions = "interface,connect";
    r.bypass = "urlfilter,mime";
    r.profiles = "staff,web";
    r.log = true;
    configure(1, {r}, {});
    Client client;
    client.forwarded = "172.16.0.9";
    CONNECTION_T *c = connect(client);
    c->profiles.push_back("web");
    c->bypass = BYPASS_COOKIE;
    c->permissions = PERMISSION_PROXY;

    EXPECT_TRUE(access_section->check_and_setup(c));
    EXPECT_EQ(PERMISSION_INTERFACE | PERMISSION_CONNECT, c->permissions);
    EXPECT_EQ(BYPASS_COOKIE | BYPASS_URLFILTER | BYPASS_MIME, c->bypass);
    EXPECT_EQ((std::vector<std::string>{"web", "staff"}), (std::vector<std::string>)c->profiles);
    EXPECT_TRUE(logged("Added Profile: staff"));
    EXPECT_STREQ("anonymous@172.16.0.9", c->user_name);
    EXPECT_EQ(0u, c->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ("admin", c->interface_user);
    EXPECT_EQ("secret", c->interface_password);
    access_section->read_lock();
    EXPECT_EQ(access_section->allow.front().stats, c->userstats);
    access_section->unlock();
}

TEST_F(AccessTest, SetupAsksForAuthenticationWhenTheRuleNeedsIt) {
    struct Case {
        Rule r;
        bool required;
    };
    std::vector<Case> cases = {
        {login(rule("system"), "system", "", ""), true},
        {login(rule("own"), "rule", "alice", "pw"), true},
        {login(rule("user only"), "rule", "alice", ""), false},
        {login(rule("name"), "name", "alice", ""), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.r.comment);
        configure(1, {c.r}, {});
        CONNECTION_T *connection = connect();
        EXPECT_TRUE(access_section->check_and_setup(connection));
        EXPECT_EQ(c.required, (connection->auth_flags & AUTH_REQUIRED) != 0);
        EXPECT_EQ(c.required, connection->user_name == nullptr);
    }
}

TEST_F(AccessTest, RuleStatisticsAreSharedAndOutliveARebuild) {
    configure(1, {rule("r")}, {});
    CONNECTION_T *a = connect();
    CONNECTION_T *b = connect();
    ASSERT_TRUE(access_section->check_and_setup(a));
    ASSERT_TRUE(access_section->check_and_setup(b));
    Stats *shared = a->userstats;
    ASSERT_NE(nullptr, shared);
    EXPECT_EQ(shared, b->userstats);
    EXPECT_EQ(3, shared->count);  // the rule and two connections

    configure(1, {rule("r")}, {});  // the old rule goes, its statistics stay with the connections
    EXPECT_EQ(2, shared->count);
    ASSERT_TRUE(access_section->check_and_setup(a));
    EXPECT_NE(shared, a->userstats);
    EXPECT_EQ(1, shared->count);
}

TEST_F(AccessTest, RefusalIsLoggedAndRecorded) {
    configure(1, {}, {});
    CONNECTION_T *c = connect();
    EXPECT_FALSE(access_section->check_and_setup(c));
    EXPECT_TRUE(logged("[IP:10.0.0.5] access policy has refused connection on port 8080"));
    EXPECT_STREQ("TCP_DENIED", c->log.cachecode());
    EXPECT_EQ("access-section", c->log.filter_name);
    EXPECT_EQ("access policy restrictions", c->log.filtering_reason);
    EXPECT_EQ("http://example.test:80/", c->log.url);
    EXPECT_NE(0, c->log.end_time.tv_sec);  // written
    EXPECT_EQ(0u, c->permissions);
}

// ---- credentials --------------------------------------------------------------

TEST_F(AccessTest, OwnCredentialsModes) {
    struct Case {
        const char *what;
        Rule r;
        const char *user;
        const char *password;
        bool admitted;
    };
    std::vector<Case> cases = {
        {"right user and password", login(rule("r"), "rule", "alice", "pw"), "alice", "pw", true},
        {"wrong password", login(rule("r"), "rule", "alice", "pw"), "alice", "bad", false},
        {"empty password", login(rule("r"), "rule", "alice", "pw"), "alice", "", false},
        {"rule without user, credentials sent", rule("r"), "alice", "pw", false},
        {"name-only rule, any password", login(rule("r"), "name", "alice", "pw"), "alice", "anything", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        configure(1, {c.r}, {});
        CONNECTION_T *connection = connect();
        access_section->check_and_setup(connection, c.user, c.password);
        EXPECT_EQ(c.admitted, (connection->auth_flags & AUTH_REQUIRED) == 0);
        if (c.admitted) {
            EXPECT_STREQ((std::string(c.user) + "@10.0.0.5").c_str(), connection->user_name);
            EXPECT_EQ(PERMISSION_PROXY, connection->permissions);
        } else {
            EXPECT_EQ(0u, connection->permissions);
            EXPECT_TRUE(
                logged("security: [IP:10.0.0.5] authentication failed for " + std::string(c.user) + "@10.0.0.5"));
        }
        EXPECT_EQ(0, pam_asked());
    }
}

// ---- real PAM, under the wrapper ---------------------------------------------
//
// Users of its service: alice (password "pw"), bob ("secret"); anybody else
// is unknown, a refusal with code 7.

class AccessPam : public AccessTest {
protected:
    void SetUp() override {
        if (!pamtest::wrapped()) GTEST_SKIP() << "runs in the child started by AccessPamWrapper.RunsUnderTheWrapper";
        AccessTest::SetUp();
    }
};

TEST(AccessPamWrapper, RunsUnderTheWrapper) { pamtest::run_wrapped("access_test", "AccessPam.*", 5); }

TEST_F(AccessPam, SystemAuthenticationThroughPamAndTheCache) {
    configure(1, {login(rule("r"), "system", "", "")}, {});

    // Accepted once by PAM, then by the cache.
    CONNECTION_T *c = connect();
    access_section->check_and_setup(c, "alice", "pw");
    EXPECT_EQ(0u, c->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ(1, pam_asked());
    EXPECT_TRUE(logged("[IP:10.0.0.5] PAM: authentication succeeded for alice"));
    EXPECT_EQ(PASSWORD_CACHE_ACCEPTED, check_password_cache("alice:pw"));
    access_section->check_and_setup(c, "alice", "pw");
    EXPECT_EQ(0u, c->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ(1, pam_asked());
    // A password differing in case is another password: PAM decides.
    access_section->check_and_setup(c, "alice", "PW");
    EXPECT_NE(0u, c->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ(2, pam_asked());
    access_section->check_and_setup(c, "alice", "pw");
    EXPECT_EQ(0u, c->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ(2, pam_asked());

    // Refused by PAM (code 7): remembered, and the next try is refused by the cache.
    CONNECTION_T *d = connect();
    access_section->check_and_setup(d, "bob", "wrong");
    EXPECT_NE(0u, d->auth_flags & AUTH_REQUIRED);
    EXPECT_TRUE(logged("security: system: [pam: 7: PAM_AUTH_ERR] Authentication failure"));
    EXPECT_EQ(PASSWORD_CACHE_REFUSED, check_password_cache("bob:wrong"));
    access_section->check_and_setup(d, "bob", "wrong");
    EXPECT_NE(0u, d->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ(3, pam_asked());
    EXPECT_TRUE(logged("security: [IP:10.0.0.5] password cache: authentication failed for bob"));

    // A system trouble (no such service: code 26) is not remembered.
    snprintf(pamfile, sizeof pamfile, "%s", "korvantel-missing");
    access_section->check_and_setup(d, "alice", "pw2");
    EXPECT_NE(0u, d->auth_flags & AUTH_REQUIRED);
    EXPECT_TRUE(logged("security: system: [pam: 26: PAM_ABORT]"));
    EXPECT_EQ(PASSWORD_CACHE_UNKNOWN, check_password_cache("alice:pw2"));
}

TEST_F(AccessPam, AuthflagRecordsButNeverLooksUp) {
    configure(1, {login(rule("r"), "system", "", "")}, {});
    authflag = 1;
    CONNECTION_T *c = connect();
    access_section->check_and_setup(c, "alice", "pw");
    access_section->check_and_setup(c, "alice", "pw");
    EXPECT_EQ(2, pam_asked());
    EXPECT_EQ(PASSWORD_CACHE_ACCEPTED, check_password_cache("alice:pw"));
}

TEST_F(AccessTest, EmptyPasswordIsNeverAccepted) {
    configure(1, {login(rule("r"), "system", "", "")}, {});
    // Neither back end is asked.
    for (bool in_directory : {false, true}) {
        SCOPED_TRACE(in_directory);
        directory(in_directory, {"alice"});
        CONNECTION_T *c = connect();
        access_section->check_and_setup(c, "alice", "");
        EXPECT_NE(0u, c->auth_flags & AUTH_REQUIRED);
        EXPECT_EQ(0u, c->permissions);
    }
    EXPECT_EQ(0, pam_asked());
    EXPECT_EQ(PASSWORD_CACHE_UNKNOWN, check_password_cache("alice:"));
}

TEST_F(AccessTest, OverlongCredentialsAreRefusedNotCut) {
    configure(1, {login(rule("r"), "system", "", "")}, {});
    std::string password(2000, 'p');
    CONNECTION_T *c = connect();
    access_section->check_and_setup(c, "alice", password.c_str());
    EXPECT_NE(0u, c->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ(0, pam_asked());
}

// Binds against a real directory are tested end to end (test_directory.py).
TEST_F(AccessPam, DirectoryUsersGoToTheDirectoryNotPam) {
    configure(1, {login(rule("r"), "system", "", "")}, {});
    directory(true, {"dora"});
    CONNECTION_T *connection = connect();
    access_section->check_and_setup(connection, "dora", "pw");
    // No server answers: refused, and nothing recorded against the password.
    EXPECT_NE(0u, connection->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ(PASSWORD_CACHE_UNKNOWN, check_password_cache("dora:pw"));
    EXPECT_EQ(0, pam_asked());
    ASSERT_EQ(connection->groups.size(), 2u);
    EXPECT_EQ(connection->groups[0], "uid=dora");
    // A user the cache does not know, with no server to ask: PAM.
    CONNECTION_T *other = connect();
    access_section->check_and_setup(other, "erin", "pw");
    EXPECT_EQ(1, pam_asked());
    EXPECT_TRUE(other->groups.empty());
}

TEST_F(AccessPam, NtlmShortcutOnlyForTheNtlmUser) {
    configure(1, {login(rule("r"), "system", "", "")}, {});
    CONNECTION_T *c = connect();
    c->ntlm_state = 2;
    c->ntlm_user = xstrdup("alice");

    access_section->check_and_setup(c, "alice", "alice");
    EXPECT_EQ(0u, c->auth_flags & AUTH_REQUIRED);
    EXPECT_STREQ("alice@10.0.0.5", c->user_name);
    EXPECT_EQ(0, pam_asked());

    // Basic credentials of another user on the same connection.
    access_section->check_and_setup(c, "mallory", "guess");
    EXPECT_NE(0u, c->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ(1, pam_asked());
}

TEST_F(AccessTest, UnmatchedCredentialsWithAnAnonymousRule) {
    configure(1, {rule("anonymous")}, {});
    // Proxy credentials: the anonymous rule applies under the name sent.
    CONNECTION_T *c = connect();
    c->request->proxy_authorization = xstrdup("Basic x");
    access_section->check_and_setup(c, "alice", "pw");
    EXPECT_EQ(0u, c->auth_flags & AUTH_REQUIRED);
    EXPECT_STREQ("alice@10.0.0.5", c->user_name);
    EXPECT_EQ(PERMISSION_PROXY, c->permissions);

    // Origin-form credentials: asked again.
    Client origin;
    origin.type = HEADER_ORIGIN;
    CONNECTION_T *d = connect(origin);
    d->request->authorization = xstrdup("Basic x");
    access_section->check_and_setup(d, "alice", "pw");
    EXPECT_NE(0u, d->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ(0u, d->permissions);
}

TEST(AccessBasic, CredentialParsingTable) {
    auto encode = [](const std::string &text) {
        std::vector<unsigned char> out(text.size() * 2 + 8);
        to64frombits(out.data(), (const unsigned char *)text.data(), text.size());
        return std::string((const char *)out.data());
    };
    struct Case {
        const char *what;
        std::string encoded;
        bool ok;
        const char *user;
        const char *password;
    };
    std::vector<Case> cases = {
        {"user and password", encode("alice:secret"), true, "alice", "secret"},
        {"empty password", encode("alice:"), true, "alice", ""},
        {"empty user", encode(":secret"), true, "", "secret"},
        {"colons in the password", encode("alice:a:b:c"), true, "alice", "a:b:c"},
        {"no colon", encode("alicesecret"), false, "", ""},
        {"not base64", "!!!!", false, "", ""},
        {"empty text", "", false, "", ""},
        {"NUL inside", encode(std::string("alice:se\0cret", 13)), false, "", ""},
        {"decodes past the buffer", encode("alice:" + std::string(9000, 'x')), false, "", ""},
        {"huge garbage", std::string(60000, '@'), false, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string user, password;
        EXPECT_EQ(c.ok, access_basic_decode(c.encoded.c_str(), &user, &password));
        if (c.ok) {
            EXPECT_EQ(c.user, user);
            EXPECT_EQ(c.password, password);
        }
    }
}

// ---- the authentication stage -------------------------------------------------

std::string serialise(CONNECTION_T *c) {
    Filebuf out;
    header_send_filebuf(&out, c->response, c, HEADER_KIND_CLIENT);
    return std::string(out.data, (size_t)out.size);
}

std::string basic_value(const std::string &credentials) {
    std::vector<unsigned char> out(credentials.size() * 2 + 8);
    to64frombits(out.data(), (const unsigned char *)credentials.data(), credentials.size());
    return "Basic " + std::string((const char *)out.data());
}

TEST_F(AccessTest, AuthRegisteredFirstInItsStage) {
    // Built first of all sections, so its processor comes first in the stage.
    EXPECT_STREQ("access", section_classes[0].name);
    // Registering again fails: the constructor put the callback there.
    EXPECT_EQ(0, processors.Add(access_auth, PROCESSOR_AUTH));
}

TEST_F(AccessTest, ChallengeShapes) {
    struct Case {
        const char *what;
        int type;
        bool ntlm;
        const char *challenge;  // stored NTLM challenge
        int status;
        std::vector<std::string> lines;  // challenge lines in order
    };
    std::vector<Case> cases = {
        {"proxy request, Basic only",
         HEADER_ABSOLUTE,
         false,
         nullptr,
         407,
         {"Proxy-Authenticate: Basic realm=\"localhost\""}},
        {"CONNECT, Basic only", HEADER_CONNECT, false, nullptr, 407, {"Proxy-Authenticate: Basic realm=\"localhost\""}},
        {"origin form, Basic only",
         HEADER_ORIGIN,
         false,
         nullptr,
         401,
         {"WWW-Authenticate: Basic realm=\"localhost\""}},
        {"proxy request, NTLM on",
         HEADER_ABSOLUTE,
         true,
         nullptr,
         407,
         {"Proxy-Authenticate: NTLM", "Proxy-Authenticate: Basic realm=\"localhost\""}},
        {"proxy request, NTLM on, stored challenge",
         HEADER_ABSOLUTE,
         true,
         "TlRMTVNTUAACAAAA",
         407,
         {"Proxy-Authenticate: NTLM TlRMTVNTUAACAAAA", "Proxy-Authenticate: Basic realm=\"localhost\""}},
        {"origin form, NTLM on",
         HEADER_ORIGIN,
         true,
         nullptr,
         401,
         {"WWW-Authenticate: NTLM", "WWW-Authenticate: Basic realm=\"localhost\""}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        configure(1, {login(rule("r"), "system", "", "")}, {}, c.ntlm);
        Client client;
        client.type = c.type;
        CONNECTION_T *connection = connect(client);
        if (c.challenge) connection->ntlm_challenge = xstrdup(c.challenge);
        connection->request_body->Add("posted body", 11);
        ASSERT_EQ(1, access_auth(connection, connection->request_body));
        ASSERT_NE(nullptr, connection->response);
        EXPECT_EQ(c.status, connection->response->code);
        EXPECT_EQ(1, connection->keepalive_client);
        EXPECT_EQ(0, connection->request_body->size);  // never echoed back
        std::string head = serialise(connection);
        size_t at = 0;
        for (const std::string &line : c.lines) {
            size_t found = head.find(line + "\r\n", at);
            EXPECT_NE(std::string::npos, found) << line << " in\n" << head;
            if (found != std::string::npos) at = found + line.size();
        }
        size_t challenges = 0;
        for (size_t p = head.find("Authenticate: "); p != std::string::npos; p = head.find("Authenticate: ", p + 1))
            challenges++;
        EXPECT_EQ(c.lines.size(), challenges) << head;
        EXPECT_NE(std::string::npos, head.find("Content-Length: 0\r\n"));
    }
}

TEST_F(AccessTest, ChallengeClosesWhenTheBodyIsUnread) {
    configure(1, {login(rule("r"), "system", "", "")}, {});
    CONNECTION_T *streamed = connect();
    streamed->flags |= CONN_STREAM_BODY;
    ASSERT_EQ(1, access_auth(streamed, streamed->request_body));
    EXPECT_EQ(0, streamed->keepalive_client);

    CONNECTION_T *chunked = connect();
    chunked->request->chunked = 1;
    ASSERT_EQ(1, access_auth(chunked, chunked->request_body));
    EXPECT_EQ(0, chunked->keepalive_client);
}

TEST_F(AccessTest, RefusalAnswersWithTheNoaccessPage) {
    configure(1, {}, {});
    CONNECTION_T *c = connect();
    c->keepalive_client = 1;
    ASSERT_EQ(1, access_auth(c, c->request_body));
    ASSERT_NE(nullptr, c->response);
    EXPECT_EQ(403, c->response->code);  // a refusal is never a success
    EXPECT_EQ(0, c->keepalive_client);
    std::string page(c->request_body->data ? c->request_body->data : "", (size_t)c->request_body->size);
    EXPECT_NE(std::string::npos, page.find("Access denied"));
    EXPECT_TRUE(logged("[IP:10.0.0.5] Access Denied by Access Restrictions"));
}

TEST_F(AccessTest, AuthorizationHeaderTable) {
    // Each value is tried on a fresh connection and on one where an earlier
    // request was challenged (authentication pending). 0: the request goes
    // on (with `permissions`); 1: a Basic challenge.
    struct Case {
        const char *what;
        Rule r;
        std::string value;
        int fresh;
        int pending;
        unsigned int permissions;
        const char *user;
    };
    Rule own = login(rule("own"), "rule", "alice", "pw");
    Rule anonymous = rule("anonymous");
    std::string token = basic_value("alice:pw").substr(6);
    std::vector<Case> cases = {
        {"right credentials", own, basic_value("alice:pw"), 0, 0, PERMISSION_PROXY, "alice@10.0.0.5"},
        {"wrong password", own, basic_value("alice:bad"), 1, 1, 0, nullptr},
        {"empty password", own, basic_value("alice:"), 1, 1, 0, nullptr},
        {"other user", own, basic_value("bob:pw"), 1, 1, 0, nullptr},
        // Not understood: no rule applies, so nothing is permitted.
        {"no colon", own, basic_value("alicepw"), 0, 1, 0, nullptr},
        {"wrong case scheme", own, "basic " + token, 0, 1, 0, nullptr},
        {"bad base64", own, "Basic ****", 0, 1, 0, nullptr},
        {"no blank", own, "Basic", 0, 1, 0, nullptr},
        {"scheme word too long", own, "Basicxxxxx " + token, 0, 1, 0, nullptr},
        {"huge value", own, "Basic " + std::string(60000, 'A'), 0, 1, 0, nullptr},
        {"NTLM while disabled", own, "NTLM TlRMTVNTUAABAAAA", 0, 1, 0, nullptr},
        {"anonymous rule, unknown scheme", anonymous, "Digest x", 0, 1, 0, nullptr},
        // Proxy credentials no rule matches, an anonymous rule: runs under the name sent.
        {"anonymous rule, credentials", anonymous, basic_value("carol:x"), 0, 1, PERMISSION_PROXY, "carol@10.0.0.5"},
    };
    for (const Case &c : cases) {
        for (bool pending : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (pending ? ", pending" : ", fresh"));
            configure(1, {c.r}, {});
            CONNECTION_T *connection = connect();
            if (pending) connection->auth_flags |= AUTH_REQUIRED;
            connection->request->proxy_authorization = xstrdup(c.value.c_str());
            int expected = pending ? c.pending : c.fresh;
            EXPECT_EQ(expected, access_auth(connection, connection->request_body));
            if (expected == 0) {
                EXPECT_EQ(c.permissions, connection->permissions);
                EXPECT_EQ(nullptr, connection->response);
                if (c.user) {
                    EXPECT_STREQ(c.user, connection->user_name);
                }
            } else {
                ASSERT_NE(nullptr, connection->response);
                EXPECT_EQ(407, connection->response->code);
                EXPECT_STREQ("Basic realm=\"localhost\"", connection->response->proxy_authenticate_header);
            }
        }
    }
    EXPECT_TRUE(logged("security: [IP:10.0.0.5] invalid authorization header"));
}

TEST_F(AccessTest, OriginFormReadsAuthorization) {
    configure(1, {login(rule("own"), "rule", "alice", "pw")}, {});
    Client origin;
    origin.type = HEADER_ORIGIN;
    CONNECTION_T *c = connect(origin);
    // Proxy credentials do not count for an origin-form request.
    c->request->proxy_authorization = xstrdup(basic_value("alice:pw").c_str());
    EXPECT_EQ(1, access_auth(c, c->request_body));
    EXPECT_EQ(401, c->response->code);

    CONNECTION_T *d = connect(origin);
    d->request->authorization = xstrdup(basic_value("alice:pw").c_str());
    EXPECT_EQ(0, access_auth(d, d->request_body));
    EXPECT_EQ(PERMISSION_PROXY, d->permissions);
}

TEST_F(AccessPam, NtlmSessionAdmitsLaterRequestsWithoutHeader) {
    configure(1, {login(rule("r"), "system", "", "")}, {}, true);
    CONNECTION_T *c = connect();
    c->ntlm_state = 2;
    c->ntlm_user = xstrdup("alice");
    EXPECT_EQ(0, access_auth(c, c->request_body));
    EXPECT_EQ(1, c->keepalive_client);
    EXPECT_STREQ("alice@10.0.0.5", c->user_name);
    EXPECT_EQ(0, pam_asked());

    // Basic credentials of another user on that connection are checked.
    CONNECTION_T *d = connect();
    d->ntlm_state = 2;
    d->ntlm_user = xstrdup("alice");
    d->request->proxy_authorization = xstrdup(basic_value("mallory:guess").c_str());
    EXPECT_EQ(1, access_auth(d, d->request_body));
    EXPECT_EQ(1, pam_asked());
    EXPECT_EQ(0u, d->permissions);
}

TEST_F(AccessTest, NtlmWithoutDaemonChallengesAgain) {
    TempDir dir;  // no daemon socket there
    snprintf(ntlmsockdir, sizeof ntlmsockdir, "%s", dir.path.c_str());
    configure(1, {login(rule("r"), "system", "", "")}, {}, true);
    for (const char *value : {"NTLM TlRMTVNTUAABAAAAB4IIAAAAAAAAAAAAAAAAAAAAAAA=",
                              "Negotiate TlRMTVNTUAABAAAAB4IIAAAAAAAAAAAAAAAAAAAAAAA="}) {
        SCOPED_TRACE(value);
        CONNECTION_T *c = connect();
        c->request->proxy_authorization = xstrdup(value);
        EXPECT_EQ(1, access_auth(c, c->request_body));
        EXPECT_EQ(407, c->response->code);
        EXPECT_STREQ("NTLM", c->response->proxy_authenticate_header);
        EXPECT_TRUE(c->response->headers.empty());  // NTLM alone during an exchange
        EXPECT_EQ(1, c->keepalive_client);
    }
    EXPECT_TRUE(logged("failed to initialize authentication"));
}

}  // namespace
