// The "general" and "ftp" sections: per-connection getters with and without
// a matching rule, rule order, options, the seams they serve, and the
// shipped configuration.
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clientpool.h"
#include "config_fixture.h"
#include "connection.h"
#include "general.h"
#include "misc.h"
#include "network.h"
#include "regexp.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

// Field elements of a rule in order, with working values; a test overrides
// some of them.
const std::vector<std::pair<std::string, std::string>> rule_defaults = {
    {"enabled", "true"},      {"comment", ""},
    {"profiles", ""},         {"ctimeout", "11"},
    {"timeout", "22"},        {"keeptimeout", "33"},
    {"maxdbuffer", "4K"},     {"maxubuffer", "2K"},
    {"bufferwait", "5"},      {"cportrange", "443,8000-8080"},
    {"encodemime", "^text/"}, {"compressout", "true"},
    {"compressin", "true"},   {"xforwardedfor", "true"},
    {"via", "true"},
};

std::string rule_xml(const std::map<std::string, std::string> &overrides) {
    std::string xml = "<rule>";
    for (const auto &field : rule_defaults) {
        auto o = overrides.find(field.first);
        const std::string &value = o == overrides.end() ? field.second : o->second;
        xml += "<" + field.first + ">" + value + "</" + field.first + ">";
    }
    return xml + "</rule>";
}

std::string general_document(const std::vector<std::string> &rules, const std::string &options) {
    std::string xml = "<?xml version=\"1.0\"?><korvantel><general>" + options;
    for (const std::string &rule : rules) xml += rule;
    return xml + "</general></korvantel>";
}

const char standard_options[] =
    "<hostname>proxy.example.org</hostname><tempdir>/var/tmp/kv</tempdir><linelength>77</linelength>"
    "<poolsize>9</poolsize><pooltimeout>45</pooltimeout>";

class GeneralTest : public ::testing::Test {
protected:
    GeneralSection *section = nullptr;
    CONNECTION_T *connection = nullptr;

    void SetUp() override {
        definition_use(file_read(conf_dir + "section.xml"));
        section = static_cast<GeneralSection *>(general_construct());
        ASSERT_EQ(section, general_section);
        connection = connection_new();
        proxyhost[0] = 0;
    }
    void TearDown() override {
        connection_free(connection);
        delete section;
        proxyhost[0] = 0;
    }
    void load(const std::vector<std::string> &rules, const std::string &options = standard_options) {
        TiXmlDocument doc;
        doc.Parse(general_document(rules, options).c_str());
        ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
        section->load(&doc, 1);
    }
    void profiles(const std::vector<std::string> &names) {
        connection->profiles.clear();
        for (const std::string &name : names) connection->profiles.push_back(name);
    }
};

// Every per-connection value of a connection; rows compare as text.
struct Values {
    int ctimeout, timeout, keeptimeout;
    unsigned int maxdbuffer, maxubuffer;
    int bufferwait, compressout, compressin, xforwardedfor, via;
    bool port80, port443, port8080;
    int text_html;
};

Values values_of(GeneralSection *s, const CONNECTION_T *c) {
    Values v;
    v.ctimeout = s->ctimeout_get(c);
    v.timeout = s->timeout_get(c);
    v.keeptimeout = s->keeptimeout_get(c);
    v.maxdbuffer = s->maxdbuffer_get(c);
    v.maxubuffer = s->maxubuffer_get(c);
    v.bufferwait = s->bufferwait_get(c);
    v.compressout = s->compressout_get(c);
    v.compressin = s->compressin_get(c);
    v.xforwardedfor = s->xforwardedfor_get(c);
    v.via = s->via_get(c);
    v.port80 = s->cportrange_check(c, 80);
    v.port443 = s->cportrange_check(c, 443);
    v.port8080 = s->cportrange_check(c, 8080);
    v.text_html = s->encodemime_check(c, "text/html");
    return v;
}

Values make(int ct, int t, int kt, unsigned int d, unsigned int u, int bw, int co, int ci, int xff, int via, bool p80,
            bool p443, bool p8080, int html) {
    Values v;
    v.ctimeout = ct, v.timeout = t, v.keeptimeout = kt, v.maxdbuffer = d, v.maxubuffer = u, v.bufferwait = bw;
    v.compressout = co, v.compressin = ci, v.xforwardedfor = xff, v.via = via;
    v.port80 = p80, v.port443 = p443, v.port8080 = p8080, v.text_html = html;
    return v;
}

// The value when no rule matches.
const Values no_rule = make(60, 60, 60, 0, 0, 0, 0, 0, 0, 0, true, true, true, 0);
// The values of rule_defaults.
const Values standard_rule = make(11, 22, 33, 4096, 2048, 5, 1, 1, 1, 1, false, true, true, 1);

std::string describe(const Values &v) {
    char text[256];
    snprintf(text, sizeof text,
             "ct=%d t=%d kt=%d d=%u u=%u bw=%d co=%d ci=%d xff=%d via=%d p80=%d p443=%d p8080=%d html=%d", v.ctimeout,
             v.timeout, v.keeptimeout, v.maxdbuffer, v.maxubuffer, v.bufferwait, v.compressout, v.compressin,
             v.xforwardedfor, v.via, v.port80, v.port443, v.port8080, v.text_html);
    return text;
}

TEST_F(GeneralTest, RuleSelection) {
    const Values first = standard_rule;
    const Values second = make(1, 2, 3, 10, 20, 0, 0, 0, 0, 0, true, true, true, 0);
    const std::string second_rule = rule_xml({{"profiles", "staff"},
                                              {"ctimeout", "1"},
                                              {"timeout", "2"},
                                              {"keeptimeout", "3"},
                                              {"maxdbuffer", "10"},
                                              {"maxubuffer", "20"},
                                              {"bufferwait", "0"},
                                              {"cportrange", ""},
                                              {"encodemime", ""},
                                              {"compressout", "false"},
                                              {"compressin", "false"},
                                              {"xforwardedfor", "false"},
                                              {"via", "false"}});
    const struct {
        const char *what;
        std::vector<std::string> rules;
        std::vector<std::string> profiles;
        bool null_connection;
        Values expected;
    } cases[] = {
        {"no rules", {}, {}, false, no_rule},
        {"no rules, null connection", {}, {}, true, no_rule},
        {"rule for everyone", {rule_xml({})}, {}, false, first},
        {"rule for everyone, null connection", {rule_xml({})}, {}, true, first},
        {"rule for another profile", {rule_xml({{"profiles", "guests"}})}, {"staff"}, false, no_rule},
        {"negated profile present", {rule_xml({{"profiles", "!staff"}})}, {"staff"}, false, no_rule},
        {"negated profile absent", {rule_xml({{"profiles", "!staff"}})}, {}, false, first},
        {"disabled rule matches but is skipped", {rule_xml({{"enabled", "false"}})}, {}, false, no_rule},
        {"disabled first rule, second applies",
         {rule_xml({{"enabled", "false"}, {"profiles", "staff"}}), second_rule},
         {"staff"},
         false,
         second},
        {"both profiles: first in configuration order",
         {rule_xml({{"profiles", "guests"}}), second_rule},
         {"staff", "guests"},
         false,
         first},
        {"both profiles, rules swapped",
         {second_rule, rule_xml({{"profiles", "guests"}})},
         {"guests", "staff"},
         false,
         second},
        {"only the second rule's profile", {rule_xml({{"profiles", "guests"}}), second_rule}, {"staff"}, false, second},
        {"neither profile", {rule_xml({{"profiles", "guests"}}), second_rule}, {"other"}, false, no_rule},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        load(c.rules);
        profiles(c.profiles);
        Values got = values_of(section, c.null_connection ? nullptr : connection);
        EXPECT_EQ(describe(got), describe(c.expected));
    }
}

TEST_F(GeneralTest, ConnectPorts) {
    const struct {
        const char *ports;
        int port;
        bool allowed;
    } cases[] = {
        {"", 1, true},
        {"", 65535, true},
        {"443", 443, true},
        {"443", 444, false},
        {"443,8000-8080", 7999, false},
        {"443,8000-8080", 8000, true},
        {"443,8000-8080", 8080, true},
        {"443,8000-8080", 8081, false},
        {"8080-80", 443, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.ports) + " port " + std::to_string(c.port));
        load({rule_xml({{"cportrange", c.ports}})});
        EXPECT_EQ(section->cportrange_check(connection, c.port), c.allowed);
    }
}

TEST_F(GeneralTest, EncodeMime) {
    const struct {
        const char *pattern;
        const char *mime;
        int expected;
    } cases[] = {
        {"", "text/html", 0},  // an empty pattern matches nothing
        {"", "", 0},
        {"^text/", "TEXT/HTML", 1},  // case-insensitive
        {"^text/", "application/text/x", 0},
        {"^text/", nullptr, 0},  // no type
        {"html|javascript", "application/javascript; charset=utf-8", 1},
        {"(", "text/html", 0},  // does not compile: no match
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " / " + (c.mime ? c.mime : "(null)"));
        load({rule_xml({{"encodemime", c.pattern}})});
        EXPECT_EQ(section->encodemime_check(connection, c.mime), c.expected);
    }
}

TEST_F(GeneralTest, RuleCopiesOwnTheirPattern) {
    load({rule_xml({})});
    General copy = section->rules.front();
    General assigned = copy;
    assigned = section->rules.front();
    load({});  // the section's rules (and their patterns) are gone
    ASSERT_NE(copy.encodemime, nullptr);
    EXPECT_EQ(reg_exec(copy.encodemime, "text/plain"), 0);
    EXPECT_EQ(reg_exec(assigned.encodemime, "text/plain"), 0);
    EXPECT_NE(copy.encodemime, assigned.encodemime);
}

TEST_F(GeneralTest, Options) {
    load({}, standard_options);
    EXPECT_EQ(section->hostname_get(), "proxy.example.org");
    EXPECT_EQ(section->tempdir_get(), "/var/tmp/kv");
    EXPECT_EQ(section->linelength_get(), 77);
    EXPECT_EQ(section->poolsize_get(), 9);
    EXPECT_EQ(section->pooltimeout_get(), 45);
    EXPECT_EQ(html_line_length, 77);  // published for the HTML line breaking

    load({},
         "<hostname>other</hostname><tempdir>/tmp</tempdir><linelength>0</linelength>"
         "<poolsize>0</poolsize><pooltimeout>10</pooltimeout>");
    EXPECT_EQ(html_line_length, 0);
    EXPECT_EQ(section->poolsize_get(), 0);
}

TEST_F(GeneralTest, ProxyName) {
    load({}, standard_options);
    EXPECT_EQ(proxy_name_get(), "proxy.example.org");
    snprintf(proxyhost, sizeof proxyhost, "%s", "cmdline.example");
    EXPECT_EQ(proxy_name_get(), "cmdline.example");
}

TEST_F(GeneralTest, SeamsFollowTheRules) {
    load({rule_xml({{"profiles", "slow"}, {"ctimeout", "7"}, {"timeout", "8"}, {"keeptimeout", "9"}})});
    profiles({"slow"});
    EXPECT_EQ(general_ctimeout(connection), 7);
    connection->requests = 0;
    EXPECT_EQ(clientpool_idle_limit(connection), 8);
    connection->requests = 1;
    EXPECT_EQ(clientpool_idle_limit(connection), 9);
    profiles({});
    EXPECT_EQ(general_ctimeout(connection), 60);
    connection->requests = 0;
    EXPECT_EQ(clientpool_idle_limit(connection), 60);
    connection->requests = 1;
    EXPECT_EQ(clientpool_idle_limit(connection), 60);

    // Once the section is gone the seams are safe again.
    delete section;
    section = nullptr;
    EXPECT_EQ(general_section, nullptr);
    profiles({"slow"});
    EXPECT_EQ(general_ctimeout(connection), 60);
    EXPECT_EQ(clientpool_idle_limit(connection), 15);
}

// The shared time-out getters: the rule's value, the default without the
// section, and for waits that must end a rule's 0 read as the default.
TEST_F(GeneralTest, TimeoutHelpers) {
    load({rule_xml({{"profiles", "slow"}, {"ctimeout", "7"}, {"timeout", "8"}}),
          rule_xml({{"profiles", "none"}, {"ctimeout", "0"}, {"timeout", "0"}})});
    profiles({"slow"});
    EXPECT_EQ(general_timeout(connection), 8);
    EXPECT_EQ(general_wait_timeout(connection), 8);
    EXPECT_EQ(general_ctimeout(connection), 7);
    profiles({"none"});
    EXPECT_EQ(general_timeout(connection), 0);
    EXPECT_EQ(general_wait_timeout(connection), GENERAL_DEFAULT_TIMEOUT);
    EXPECT_EQ(general_ctimeout(connection), 0);
    delete section;
    section = nullptr;
    profiles({"slow"});
    EXPECT_EQ(general_timeout(connection), GENERAL_DEFAULT_TIMEOUT);
    EXPECT_EQ(general_wait_timeout(connection), GENERAL_DEFAULT_TIMEOUT);
    EXPECT_EQ(general_ctimeout(connection), GENERAL_DEFAULT_TIMEOUT);
}

TEST_F(GeneralTest, ShippedConfigurationWorks) {
    TiXmlDocument doc;
    ASSERT_TRUE(doc.LoadFile((conf_dir + "korvantel.xml").c_str())) << doc.ErrorDesc();
    section->load(&doc, 1);
    ASSERT_FALSE(section->rules.empty());
    EXPECT_GT(section->ctimeout_get(connection), 0);
    EXPECT_GT(section->timeout_get(connection), 0);
    EXPECT_GT(section->keeptimeout_get(connection), 0);
    EXPECT_GT(section->maxdbuffer_get(connection), 0u);
    EXPECT_GT(section->maxubuffer_get(connection), 0u);
    EXPECT_TRUE(section->cportrange_check(connection, 443));
    EXPECT_FALSE(section->hostname_get().empty());
    EXPECT_FALSE(section->tempdir_get().empty());
    EXPECT_GT(section->poolsize_get(), 0);
    EXPECT_GT(section->pooltimeout_get(), 0);
}

// ---------------------------------------------------------------------------
// ftp

class FtpTest : public ::testing::Test {
protected:
    FtpSection *section = nullptr;
    void SetUp() override {
        definition_use(file_read(conf_dir + "section.xml"));
        section = static_cast<FtpSection *>(ftp_construct());
        ASSERT_EQ(section, ftp_section);
    }
    void TearDown() override { delete section; }
};

TEST_F(FtpTest, Getters) {
    TiXmlDocument doc;
    doc.Parse(
        "<korvantel><ftp><passive>false</passive><timeout>17</timeout><user>bob</user>"
        "<password>secret</password><sortorder>1</sortorder><sortfield>2</sortfield></ftp></korvantel>");
    ASSERT_FALSE(doc.Error());
    section->load(&doc, 1);
    EXPECT_EQ(section->passive_get(), 0);
    EXPECT_EQ(section->timeout_get(), 17);
    EXPECT_EQ(section->sortorder_get(), 1);
    EXPECT_EQ(section->sortfield_get(), 2);
    std::string user, password;
    section->login_get(&user, &password);
    EXPECT_EQ(user, "bob");
    EXPECT_EQ(password, "secret");
    section->login_get(nullptr, nullptr);  // either may be left out
}

TEST_F(FtpTest, ShippedConfiguration) {
    TiXmlDocument doc;
    ASSERT_TRUE(doc.LoadFile((conf_dir + "korvantel.xml").c_str()));
    section->load(&doc, 1);
    EXPECT_EQ(section->passive_get(), 1);
    EXPECT_GT(section->timeout_get(), 0);
    std::string user;
    section->login_get(&user, nullptr);
    EXPECT_EQ(user, "anonymous");
    EXPECT_GE(section->sortfield_get(), 0);
    EXPECT_LE(section->sortfield_get(), 3);
    delete section;
    section = nullptr;
    EXPECT_EQ(ftp_section, nullptr);
}

}  // namespace
