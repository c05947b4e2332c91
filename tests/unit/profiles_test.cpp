// Profiles: conditions, the time windows of profile rules, and the rule walk
// of profiles_update.
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "connection.h"
#include "general.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "network.h"
#include "profiles.h"
#include "urlcommand.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

StringList list(const std::vector<std::string> &names) {
    StringList l;
    for (const std::string &n : names) l.push_back(n);
    return l;
}

TEST(ProfileFind, Conditions) {
    const struct {
        const char *what;
        std::vector<std::string> names;
        std::vector<std::string> condition;
        bool holds;
    } cases[] = {
        {"empty condition, no names", {}, {}, true},
        {"empty condition, some names", {"a"}, {}, true},
        {"plain name present", {"x", "a"}, {"a"}, true},
        {"plain name absent", {"b"}, {"a"}, false},
        {"plain name, no names", {}, {"a"}, false},
        {"either of two plain names", {"b"}, {"a", "b"}, true},
        {"neither of two plain names", {"c"}, {"a", "b"}, false},
        {"negated name present", {"a"}, {"!a"}, false},
        {"negated name absent", {}, {"!a"}, true},
        {"negated name, other names", {"b"}, {"!a"}, true},
        {"A then !B, profiles B then A", {"B", "A"}, {"A", "!B"}, true},
        {"A then !B, only B", {"B"}, {"A", "!B"}, false},
        {"A then !B, neither", {"C"}, {"A", "!B"}, true},
        {"!B then A, both: the condition's order decides", {"A", "B"}, {"!B", "A"}, false},
        {"names compare exactly", {"Staff"}, {"staff"}, false},
        {"negation compares exactly", {"Staff"}, {"!staff"}, true},
        {"a lone ! names the empty profile", {"a"}, {"!"}, true},
        {"an empty entry names the empty profile", {""}, {""}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(profile_find(list(c.names), list(c.condition)), c.holds);
    }
}

// Field elements of a profile rule, in order. The optional time ranges are
// left out unless given, which leaves them switched off.
const char *const profile_fields[] = {"enabled",        "comment", "log",   "profiles",    "protocol",  "host",
                                      "path",           "mime",    "port",  "urlcommands", "proxyhost", "requestheader",
                                      "responseheader", "month",   "day",   "weekday",     "hour",      "minute",
                                      "timemode",       "add",     "remove"};
const char *const time_fields[] = {"month", "day", "weekday", "hour", "minute"};

std::string profile_xml(const std::map<std::string, std::string> &given) {
    std::string xml = "<profile>";
    for (const char *name : profile_fields) {
        auto g = given.find(name);
        bool timed = false;
        for (const char *t : time_fields) timed = timed || strcmp(t, name) == 0;
        if (g == given.end()) {
            if (timed) continue;
            std::string value = strcmp(name, "enabled") == 0                                ? "true"
                                : strcmp(name, "log") == 0 || strcmp(name, "timemode") == 0 ? "false"
                                                                                            : "";
            xml += std::string("<") + name + ">" + value + "</" + name + ">";
        } else if (timed) {
            xml += std::string("<") + name + " active=\"true\">" + g->second + "</" + name + ">";
        } else {
            xml += std::string("<") + name + ">" + g->second + "</" + name + ">";
        }
    }
    return xml + "</profile>";
}

class ProfilesTest : public ::testing::Test {
protected:
    ProfileSection *section = nullptr;
    GeneralSection *general = nullptr;
    CONNECTION_T *connection = nullptr;

    void SetUp() override {
        definition_use(file_read(conf_dir + "section.xml"));
        general = static_cast<GeneralSection *>(general_construct());
        section = static_cast<ProfileSection *>(profile_construct());
        ASSERT_EQ(section, profile_section);
        connection = connection_new();
        proxyhost[0] = 0;
        log_ring = logbuffer_new(100);
        daemonize = 1;
    }
    void TearDown() override {
        url_command_free(connection->url_commands);
        http_header_free(connection->request);
        http_header_free(connection->response);
        connection_free(connection);
        delete section;
        delete general;
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
    }
    void load(const std::vector<std::string> &rules, const std::string &hostname = "proxy.example.org") {
        std::string xml = "<korvantel><general><hostname>" + hostname +
                          "</hostname><tempdir>/tmp</tempdir><linelength>0</linelength><poolsize>1</poolsize>"
                          "<pooltimeout>1</pooltimeout></general><profiles>";
        for (const std::string &rule : rules) xml += rule;
        xml += "</profiles></korvantel>";
        TiXmlDocument doc;
        doc.Parse(xml.c_str());
        ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
        general->load(&doc, 1);
        section->load(&doc, 1);
        ASSERT_EQ(section->profiles.size(), rules.size());
    }
    void request(const char *protocol, const char *host, int port, const char *file, const char *raw) {
        http_header_free(connection->request);
        HEADER *h = header_new();
        h->protocol = protocol ? xstrdup(protocol) : nullptr;
        h->host = host ? xstrdup(host) : nullptr;
        h->port = port;
        h->file = file ? xstrdup(file) : nullptr;
        h->raw = raw ? xstrdup(raw) : nullptr;
        connection->request = h;
    }
    void response(const char *content_type, const char *raw) {
        http_header_free(connection->response);
        HEADER *h = header_new();
        h->content_type = content_type ? xstrdup(content_type) : nullptr;
        h->raw = raw ? xstrdup(raw) : nullptr;
        connection->response = h;
    }
    std::string current() {
        std::string text;
        for (const std::string &name : connection->profiles) text += name + ";";
        return text;
    }
    std::vector<std::string> logged() {
        std::vector<std::string> lines;
        for (LOGNODE *n = log_ring->oldest; n; n = n->newer) lines.push_back(n->line);
        return lines;
    }
};

struct tm at(int month, int day, int weekday, int hour, int minute) {
    struct tm t;
    memset(&t, 0, sizeof t);
    t.tm_year = 124;
    t.tm_mon = month;
    t.tm_mday = day;
    t.tm_wday = weekday;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}

TEST_F(ProfilesTest, TimeWindows) {
    const struct {
        const char *what;
        std::map<std::string, std::string> fields;
        struct tm now;
        bool inside;
    } cases[] = {
        {"no range: always", {}, at(5, 15, 3, 12, 0), true},
        // month 1 to 2 with hours 8 to 17 (the months count from 0: February to March)
        {"each: month 1 at 20:00",
         {{"month", "february,march"}, {"hour", "8,17"}, {"timemode", "true"}},
         at(1, 10, 2, 20, 0),
         false},
        {"each: month 1 at 08:00",
         {{"month", "february,march"}, {"hour", "8,17"}, {"timemode", "true"}},
         at(1, 10, 2, 8, 0),
         true},
        {"each: month 2 at 17:59",
         {{"month", "february,march"}, {"hour", "8,17"}, {"timemode", "true"}},
         at(2, 31, 2, 17, 59),
         true},
        {"each: month 3 at 12:00",
         {{"month", "february,march"}, {"hour", "8,17"}, {"timemode", "true"}},
         at(3, 1, 2, 12, 0),
         false},
        {"window: month 1 at 20:00", {{"month", "february,march"}, {"hour", "8,17"}}, at(1, 10, 2, 20, 0), true},
        {"window: month 1 at 07:59", {{"month", "february,march"}, {"hour", "8,17"}}, at(1, 10, 2, 7, 59), false},
        {"window: month 2 at 17:59", {{"month", "february,march"}, {"hour", "8,17"}}, at(2, 10, 2, 17, 59), true},
        {"window: month 2 at 18:00", {{"month", "february,march"}, {"hour", "8,17"}}, at(2, 10, 2, 18, 0), false},
        {"window: month 0", {{"month", "february,march"}, {"hour", "8,17"}}, at(0, 10, 2, 12, 0), false},
        // month edges: January is 0, December 11
        {"January to December, in January", {{"month", "january,december"}}, at(0, 1, 0, 0, 0), true},
        {"January to December, in December", {{"month", "january,december"}}, at(11, 31, 0, 23, 59), true},
        {"December only, in December",
         {{"month", "december,december"}, {"timemode", "true"}},
         at(11, 5, 0, 0, 0),
         true},
        {"December only, in November",
         {{"month", "december,december"}, {"timemode", "true"}},
         at(10, 5, 0, 0, 0),
         false},
        {"November to February does not wrap: December",
         {{"month", "november,february"}, {"timemode", "true"}},
         at(11, 5, 0, 0, 0),
         false},
        {"November to February does not wrap: January", {{"month", "november,february"}}, at(0, 5, 0, 0, 0), false},
        // weekday 0 is Sunday
        {"Monday to Friday, Sunday", {{"weekday", "monday,friday"}, {"timemode", "true"}}, at(4, 5, 0, 12, 0), false},
        {"Monday to Friday, Monday", {{"weekday", "monday,friday"}, {"timemode", "true"}}, at(4, 6, 1, 12, 0), true},
        {"Monday to Friday, Saturday", {{"weekday", "monday,friday"}, {"timemode", "true"}}, at(4, 4, 6, 12, 0), false},
        {"Sunday only, Sunday", {{"weekday", "sunday,sunday"}, {"timemode", "true"}}, at(4, 5, 0, 12, 0), true},
        {"Friday to Monday does not wrap: Saturday",
         {{"weekday", "friday,monday"}, {"timemode", "true"}},
         at(4, 4, 6, 12, 0),
         false},
        // days and minutes
        {"days 10 to 20, day 20", {{"day", "10,20"}, {"timemode", "true"}}, at(4, 20, 1, 0, 0), true},
        {"days 10 to 20, day 21", {{"day", "10,20"}, {"timemode", "true"}}, at(4, 21, 1, 0, 0), false},
        {"minutes 0 to 29 within every hour, 13:29",
         {{"minute", "0,29"}, {"timemode", "true"}},
         at(4, 1, 1, 13, 29),
         true},
        {"minutes 0 to 29 within every hour, 13:30",
         {{"minute", "0,29"}, {"timemode", "true"}},
         at(4, 1, 1, 13, 30),
         false},
        {"window 09:30 to 17:00, 17:00", {{"hour", "9,17"}, {"minute", "30,0"}}, at(4, 1, 1, 17, 0), true},
        {"window 09:30 to 17:00, 17:01", {{"hour", "9,17"}, {"minute", "30,0"}}, at(4, 1, 1, 17, 1), false},
        {"window 09:30 to 17:00, 09:29", {{"hour", "9,17"}, {"minute", "30,0"}}, at(4, 1, 1, 9, 29), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        load({profile_xml(c.fields)});
        EXPECT_EQ(section->profiles.front().in_window(&c.now), c.inside);
    }
}

TEST_F(ProfilesTest, HourRangeAcrossMidnightAdmitsNoHour) {
    for (const char *mode : {"true", "false"}) {
        SCOPED_TRACE(mode);
        load({profile_xml({{"hour", "22,6"}, {"timemode", mode}})});
        for (int hour = 0; hour < 24; hour++) {
            struct tm now = at(4, 1, 1, hour, 0);
            EXPECT_FALSE(section->profiles.front().in_window(&now)) << hour;
        }
    }
}

TEST_F(ProfilesTest, InactiveRangesSetNothing) {
    // Time fields present but switched off.
    std::string xml = profile_xml({{"timemode", "true"}});
    xml.insert(xml.find("<timemode>"),
               "<month active=\"false\">march,march</month>"
               "<hour active=\"false\">3,3</hour>");
    load({xml});
    const Profile &rule = section->profiles.front();
    EXPECT_FALSE(rule.start.month.set);
    EXPECT_FALSE(rule.end.hour.set);
    EXPECT_FALSE(rule.start.year.set);
    struct tm now = at(7, 1, 1, 12, 0);
    EXPECT_TRUE(rule.in_window(&now));
}

TEST_F(ProfilesTest, RuleConditions) {
    const struct {
        const char *what;
        std::map<std::string, std::string> fields;
        bool with_response;
        const char *commands;  // URL command labels on the request, or null
        bool applies;
    } cases[] = {
        {"no conditions", {}, false, nullptr, true},
        {"disabled", {{"enabled", "false"}}, false, nullptr, false},
        {"profile condition holds", {{"profiles", "!blocked"}}, false, nullptr, true},
        {"profile condition fails", {{"profiles", "staff"}}, false, nullptr, false},
        {"port in range", {{"port", "80,8000-8080"}}, false, nullptr, true},
        {"port outside", {{"port", "443"}}, false, nullptr, false},
        {"content type without response", {{"mime", "^text/"}}, false, nullptr, false},
        {"content type matches", {{"mime", "^text/"}}, true, nullptr, true},
        {"content type differs", {{"mime", "^image/"}}, true, nullptr, false},
        {"request header matches", {{"requestheader", "user-agent: testagent"}}, false, nullptr, true},
        {"request header differs", {{"requestheader", "^POST"}}, false, nullptr, false},
        {"response header without response", {{"responseheader", "Server:"}}, false, nullptr, false},
        {"response header matches", {{"responseheader", "server: origin"}}, true, nullptr, true},
        {"protocol matches", {{"protocol", "^HTTP$"}}, false, nullptr, true},
        {"protocol differs", {{"protocol", "^ftp$"}}, false, nullptr, false},
        {"host matches", {{"host", "\\.example\\.com$"}}, false, nullptr, true},
        {"host differs", {{"host", "^other"}}, false, nullptr, false},
        {"path matches", {{"path", "^/downloads/"}}, false, nullptr, true},
        {"path differs", {{"path", "^/img/"}}, false, nullptr, false},
        {"uncompilable pattern sets no condition", {{"host", "("}}, false, nullptr, true},
        {"URL command wanted, none carried", {{"urlcommands", "nocache"}}, false, nullptr, false},
        {"URL command carried", {{"urlcommands", "fresh,nocache"}}, false, "xx--nocache.", true},
        {"URL command in other case", {{"urlcommands", "nocache"}}, false, "xx--NoCache.", true},
        {"other URL command carried", {{"urlcommands", "nocache"}}, false, "xx--bypass[f].", false},
        {"proxy host matches general host name", {{"proxyhost", "^proxy\\.example"}}, false, nullptr, true},
        {"proxy host differs", {{"proxyhost", "^cache1"}}, false, nullptr, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        load({profile_xml(c.fields)});
        request("http", "www.example.com", 80, "/downloads/file.zip",
                "GET http://www.example.com/downloads/file.zip HTTP/1.1\r\nUser-Agent: TestAgent\r\n\r\n");
        http_header_free(connection->response);
        connection->response = nullptr;
        if (c.with_response) response("text/html; charset=utf-8", "HTTP/1.1 200 OK\r\nServer: origin\r\n\r\n");
        url_command_free(connection->url_commands);
        connection->url_commands = nullptr;
        if (c.commands) {
            char *text = xstrdup(c.commands);
            connection->url_commands = url_command_parse(text);
            free(text);
            ASSERT_NE(connection->url_commands, nullptr);
        }
        struct tm now = at(4, 1, 1, 12, 0);
        EXPECT_EQ(section->profiles.front().applies(connection, &now), c.applies);
    }
}

TEST_F(ProfilesTest, MissingRequestPartsFailTheirPatterns) {
    const char *const fields[] = {"protocol", "host", "path", "requestheader"};
    for (const char *field : fields) {
        SCOPED_TRACE(field);
        load({profile_xml({{field, "."}})});
        request(nullptr, nullptr, 0, nullptr, nullptr);
        struct tm now = at(4, 1, 1, 12, 0);
        EXPECT_FALSE(section->profiles.front().applies(connection, &now));
        http_header_free(connection->request);
        connection->request = nullptr;
        EXPECT_FALSE(section->profiles.front().applies(connection, &now));
    }
    // Without a request a port list fails, and no conditions still hold.
    load({profile_xml({{"port", "80"}}), profile_xml({})});
    struct tm now = at(4, 1, 1, 12, 0);
    EXPECT_FALSE(section->profiles.front().applies(connection, &now));
    EXPECT_TRUE(section->profiles.back().applies(connection, &now));
}

TEST_F(ProfilesTest, ProxyHostOptionComesFirst) {
    load({profile_xml({{"proxyhost", "^cache1$"}, {"add", "p"}})}, "proxy.example.org");
    request("http", "h", 80, "/", "GET / HTTP/1.1\r\n\r\n");
    struct tm now = at(4, 1, 1, 12, 0);
    EXPECT_FALSE(section->profiles.front().applies(connection, &now));
    snprintf(proxyhost, sizeof proxyhost, "%s", "cache1");
    EXPECT_TRUE(section->profiles.front().applies(connection, &now));
    proxyhost[0] = 0;
}

TEST_F(ProfilesTest, UpdateAppliesRulesInOneOrderedPass) {
    request("http", "www.example.com", 80, "/", "GET / HTTP/1.1\r\n\r\n");
    struct tm now = at(4, 1, 1, 12, 0);

    // The second rule names what the first adds: both apply in one call.
    load({profile_xml({{"add", "A"}}), profile_xml({{"profiles", "A"}, {"add", "B"}})});
    section->profiles_update(connection, &now);
    EXPECT_EQ(current(), "A;B;");
    EXPECT_EQ(connection->log.profiles, "A,B");

    // The other way round only the first applies, the second at the next call.
    connection->profiles.clear();
    load({profile_xml({{"profiles", "A"}, {"add", "B"}}), profile_xml({{"add", "A"}})});
    section->profiles_update(connection, &now);
    EXPECT_EQ(current(), "A;");
    section->profiles_update(connection, &now);
    EXPECT_EQ(current(), "A;B;");
}

TEST_F(ProfilesTest, UpdateAddsOnceAndRemovesEveryOccurrence) {
    request("http", "h", 80, "/", "GET / HTTP/1.1\r\n\r\n");
    struct tm now = at(4, 1, 1, 12, 0);
    load({profile_xml({{"add", "x,y,x,z"}}), profile_xml({{"remove", "y"}})});
    connection->profiles.push_back("y");
    connection->profiles.push_back("w");
    connection->profiles.push_back("y");  // a duplicate from elsewhere goes as well
    section->profiles_update(connection, &now);
    EXPECT_EQ(current(), "w;x;z;");
    EXPECT_EQ(connection->log.profiles, "w,x,z");
}

TEST_F(ProfilesTest, UpdateKeepsEarlierRecordWhenNoProfilesRemain) {
    request("http", "h", 80, "/", "GET / HTTP/1.1\r\n\r\n");
    struct tm now = at(4, 1, 1, 12, 0);
    load({profile_xml({{"add", "A"}})});
    section->profiles_update(connection, &now);
    EXPECT_EQ(connection->log.profiles, "A");
    load({profile_xml({{"remove", "A"}})});
    section->profiles_update(connection, &now);
    EXPECT_TRUE(connection->profiles.empty());
    EXPECT_EQ(connection->log.profiles, "A");  // unchanged
}

TEST_F(ProfilesTest, UpdateSkipsRulesThatDoNotApply) {
    request("http", "h", 80, "/", "GET / HTTP/1.1\r\n\r\n");
    struct tm now = at(4, 1, 1, 12, 0);
    load({profile_xml({{"enabled", "false"}, {"add", "off"}}), profile_xml({{"mime", "."}, {"add", "typed"}}),
          profile_xml({{"hour", "0,5"}, {"timemode", "true"}, {"add", "night"}}), profile_xml({{"add", "on"}})});
    section->profiles_update(connection, &now);
    EXPECT_EQ(current(), "on;");
    // Once the response header is there the typed rule applies as well.
    response("text/plain", "HTTP/1.1 200 OK\r\n\r\n");
    section->profiles_update(connection, &now);
    EXPECT_EQ(current(), "on;typed;");
}

TEST_F(ProfilesTest, UpdateLogsChangesWhenAsked) {
    request("http", "h", 80, "/", "GET / HTTP/1.1\r\n\r\n");
    struct tm now = at(4, 1, 1, 12, 0);
    load({profile_xml({{"log", "true"}, {"add", "A"}, {"remove", "ghost"}}),
          profile_xml({{"add", "silent"}, {"remove", "A"}})});
    section->profiles_update(connection, &now);
    std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Added Profile: A"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("Removed Profile: ghost"), std::string::npos) << lines[1];  // even when absent
    EXPECT_EQ(current(), "silent;");
}

TEST_F(ProfilesTest, LongProfileListsAreCutInTheRecord) {
    request("http", "h", 80, "/", "GET / HTTP/1.1\r\n\r\n");
    struct tm now = at(4, 1, 1, 12, 0);
    std::string names;
    for (int i = 0; i < 20; i++) names += (i ? "," : "") + std::string(300, (char)('a' + i));
    load({profile_xml({{"add", names}})});
    section->profiles_update(connection, &now);
    EXPECT_EQ(connection->profiles.size(), 20u);  // the profiles themselves are whole
    EXPECT_LE(connection->log.profiles.size(), 2045u);
    EXPECT_EQ(connection->log.profiles.compare(0, 256, std::string(255, 'a') + ","), 0);
}

TEST_F(ProfilesTest, CopiesOwnTheirPatterns) {
    load({profile_xml({{"host", "example"}, {"path", "^/"}})});
    Profile copy = section->profiles.front();
    Profile assigned = copy;
    assigned = section->profiles.front();
    load({});
    request("http", "www.example.com", 80, "/", "GET / HTTP/1.1\r\n\r\n");
    struct tm now = at(4, 1, 1, 12, 0);
    EXPECT_TRUE(copy.applies(connection, &now));
    EXPECT_TRUE(assigned.applies(connection, &now));
    EXPECT_NE(copy.host, assigned.host);
}

TEST_F(ProfilesTest, ShippedConfigurationLoads) {
    TiXmlDocument doc;
    ASSERT_TRUE(doc.LoadFile((conf_dir + "korvantel.xml").c_str()));
    section->load(&doc, 1);
    request("http", "h", 80, "/", "GET / HTTP/1.1\r\n\r\n");
    section->profiles_update(connection);  // the real clock
    SUCCEED();
}

}  // namespace
