#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "clock.h"
#include "logentry.h"
#include "settings.h"

namespace {

struct timeval fake_now;

void set_clock(time_t seconds, long microseconds) {
    fake_now.tv_sec = seconds;
    fake_now.tv_usec = microseconds;
    clock_set(seconds, microseconds);
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    for (struct dirent *e = readdir(d); e; e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
    return names;
}

// A request that started at 1260981937.045 and ends 1,250 ms later.
void fill(LogEntry &entry) {
    set_clock(1260981937, 45123);
    entry.Reset();
    entry.client = "10.1.1.5";
    entry.set_cachecode(2);
    entry.set_peercode(1);
    entry.status = 200;
    entry.size = 5120;
    entry.method = "GET";
    entry.url = "http://origin1/index.html";
    entry.username = "alice";
    entry.peer = "origin1";
    entry.mime = "text/html";
    entry.client_id = 77;
    entry.interface_ip = "127.0.0.1";
    entry.interface_port = "8080";
    set_clock(1260981938, 295123);
}

const char kAccessRecord[] =
    "\n1260981937.045 1250 10.1.1.5 TCP_MISS/200 5120 GET http://origin1/index.html alice "
    "DIRECT/origin1 text/html";

class LogEntryTest : public ::testing::Test {
protected:
    char dir[64] = "/tmp/korvantel-logentry-XXXXXX";
    std::string access, extended;

    void SetUp() override {
        ASSERT_TRUE(mkdtemp(dir));
        setenv("TZ", "UTC", 1);
        tzset();
        clock_set(fake_now.tv_sec, fake_now.tv_usec);
        access = std::string(dir) + "/access.log";
        extended = std::string(dir) + "/extended.log";
        snprintf(slogfile, sizeof slogfile, "%s", access.c_str());
        snprintf(elogfile, sizeof elogfile, "%s", extended.c_str());
    }
    void TearDown() override {
        clock_release();
        if (slogfd != -1) close(slogfd);
        if (elogfd != -1) close(elogfd);
        slogfd = elogfd = -1;
        slogflg = elogflg = 0;
        slogfile[0] = elogfile[0] = 0;
        std::string cmd = std::string("rm -rf ") + dir;
        ASSERT_EQ(0, system(cmd.c_str()));
    }
};

TEST_F(LogEntryTest, NewRecordAndReset) {
    set_clock(500, 600);
    LogEntry entry;
    EXPECT_STREQ("UNSPECIFIED", entry.cachecode());
    EXPECT_STREQ("NONE", entry.peercode());
    EXPECT_EQ(500, entry.start_time.tv_sec);
    EXPECT_EQ(600, entry.start_time.tv_usec);
    EXPECT_EQ("-", entry.client);
    EXPECT_EQ("", entry.method);
    EXPECT_EQ("", entry.interface_ip);
    EXPECT_EQ("", entry.interface_port);
    EXPECT_EQ(0u, entry.client_id);
    for (const std::string *text : {&entry.url, &entry.username, &entry.peer, &entry.mime, &entry.useragent,
                                    &entry.http_referer, &entry.filter_name, &entry.filtering_reason, &entry.profiles})
        EXPECT_EQ("-", *text);

    fill(entry);
    entry.useragent = "agent";
    entry.http_referer = "http://ref/";
    entry.filter_name = "url-filter";
    entry.filtering_reason = "why";
    entry.profiles = "p1,p2";
    set_clock(900, 1);
    entry.Reset();
    EXPECT_EQ(900, entry.start_time.tv_sec);
    EXPECT_STREQ("UNSPECIFIED", entry.cachecode());
    EXPECT_STREQ("NONE", entry.peercode());
    EXPECT_EQ(0, entry.status);
    EXPECT_EQ(0, entry.size);
    for (const std::string *text :
         {&entry.url, &entry.peer, &entry.mime, &entry.filter_name, &entry.filtering_reason, &entry.profiles})
        EXPECT_EQ("-", *text);
    // What the request driver sets for every request stays.
    EXPECT_EQ("10.1.1.5", entry.client);
    EXPECT_EQ("GET", entry.method);
    EXPECT_EQ("alice", entry.username);
    EXPECT_EQ("agent", entry.useragent);
    EXPECT_EQ("http://ref/", entry.http_referer);
    EXPECT_EQ("127.0.0.1", entry.interface_ip);
    EXPECT_EQ("8080", entry.interface_port);
    EXPECT_EQ(77u, entry.client_id);
}

TEST_F(LogEntryTest, CodeNames) {
    struct Case {
        int code;
        const char *cache;
        const char *peer;
    };
    const std::vector<Case> cases = {
        {0, "UNSPECIFIED", "NONE"},
        {1, "TCP_HIT", "DIRECT"},
        {2, "TCP_MISS", "FIREWALL_IP_DIRECT"},
        {9, "TCP_DENIED", "PARENT_HIT"},
        {14, "UDP_INVALID", "PASSTHROUGH_PARENT"},
        {15, "UNSPECIFIED", "SSL_PARENT_MISS"},
        {19, "UNSPECIFIED", "CLOEST_DIRECT"},
        {20, "UNSPECIFIED", "NONE"},
        {42, "UNSPECIFIED", "NONE"},
        {-1, "UNSPECIFIED", "NONE"},
    };
    LogEntry entry;
    for (const Case &t : cases) {
        entry.set_cachecode(t.code);
        entry.set_peercode(t.code);
        EXPECT_STREQ(t.cache, entry.cachecode()) << t.code;
        EXPECT_STREQ(t.peer, entry.peercode()) << t.code;
    }
}

TEST_F(LogEntryTest, AccessRecord) {
    LogEntry entry;
    fill(entry);
    EXPECT_EQ(kAccessRecord, entry.Build());
    EXPECT_EQ(1260981938, entry.end_time.tv_sec);
    EXPECT_EQ(295123, entry.end_time.tv_usec);
}

TEST_F(LogEntryTest, ExtendedRecord) {
    LogEntry entry;
    fill(entry);
    entry.http_referer = "http://ref/";
    entry.useragent = "Agent/1.0 (X11)";
    entry.filter_name = "url-filter";
    entry.filtering_reason = "adult";
    entry.profiles = "kids,default";
    EXPECT_EQ(
        "\n\"1260981937.045-77-127.0.0.1-8080\" 1250 10.1.1.5 \"alice\" \"77\" [16/Dec/2009:16:45:38] "
        "\"GET http://origin1/index.html\" 200 5120 \"http://ref/\" \"Agent/1.0 (X11)\" text/html "
        "\"url-filter adult\" \"kids,default\" \"127.0.0.1:8080\"",
        entry.apache_Build());
}

TEST_F(LogEntryTest, MillisecondsAndElapsed) {
    struct Case {
        time_t start_s;
        long start_us;
        time_t end_s;
        long end_us;
        const char *prefix;
    };
    const std::vector<Case> cases = {
        {10, 999999, 11, 500, "\n10.999 0 "},
        {10, 500000, 12, 250000, "\n10.500 1750 "},
        {7, 0, 7, 0, "\n7.000 0 "},
        {7, 9000, 7, 8000, "\n7.009 -1 "},  // a clock stepped back
    };
    for (const Case &t : cases) {
        LogEntry entry;
        set_clock(t.start_s, t.start_us);
        entry.Reset();
        set_clock(t.end_s, t.end_us);
        std::string record = entry.Build();
        EXPECT_EQ(0u, record.find(t.prefix)) << record;
    }
}

TEST_F(LogEntryTest, LongFieldsAreNeverCut) {
    LogEntry entry;
    fill(entry);
    entry.url = std::string(100000, 'u');
    entry.useragent = std::string(5000, 'a');
    std::string record = entry.Build();
    EXPECT_NE(std::string::npos, record.find(entry.url + " alice DIRECT/origin1 text/html"));
    std::string extended_record = entry.apache_Build();
    EXPECT_NE(std::string::npos, extended_record.find("\"" + entry.useragent + "\" text/html"));
    EXPECT_EQ("\"127.0.0.1:8080\"", extended_record.substr(extended_record.size() - 16));
}

TEST_F(LogEntryTest, SizesPastTwoGigabytes) {
    LogEntry entry;
    fill(entry);
    entry.size = 5000000000LL;
    EXPECT_NE(std::string::npos, entry.Build().find(" TCP_MISS/200 5000000000 GET "));
    EXPECT_NE(std::string::npos, entry.apache_Build().find("\" 200 5000000000 \""));
}

TEST_F(LogEntryTest, LegendOnlyInAnEmptyFile) {
    LogEntry entry;
    fill(entry);
    entry.Write();
    entry.Write();
    EXPECT_EQ(std::string(access_legend) + kAccessRecord + kAccessRecord, slurp(access));

    entry.apache_Write();
    std::string text = slurp(extended);
    EXPECT_EQ(0u, text.find(std::string(apache_legend) + "\n\""));
    entry.apache_Write();
    text = slurp(extended);
    EXPECT_EQ(1, std::count(text.begin(), text.end(), '#'));  // one legend
    EXPECT_EQ(2, std::count(text.begin(), text.end(), '\n') - 1);
}

TEST_F(LogEntryTest, ExistingFiles) {
    struct Case {
        const char *before;
        bool legend;
    };
    const std::vector<Case> cases = {{"", true}, {"old line", false}};
    for (const Case &t : cases) {
        {
            std::ofstream f(access);
            f << t.before;
        }
        if (slogfd != -1) close(slogfd);
        slogfd = -1;
        LogEntry entry;
        fill(entry);
        entry.Write();
        std::string expect = std::string(t.before) + (t.legend ? access_legend : "") + kAccessRecord;
        EXPECT_EQ(expect, slurp(access));
    }
}

TEST_F(LogEntryTest, LegendTexts) {
    EXPECT_STREQ(
        "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size method url username "
        "peercode/peer mime\n",
        access_legend);
    EXPECT_STREQ(
        "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] \"HTTP_method proto://url\" "
        "status size \"http_referer\" \"useragent\" mime \"filter_name filtering_reason\" "
        "\"comma_separated_list_of_applied_profiles\" \"interface_ip:interface_port\n",
        apache_legend);
}

TEST_F(LogEntryTest, LogOffWritesNothing) {
    elogfile[0] = 0;
    LogEntry entry;
    fill(entry);
    entry.apache_Write();
    EXPECT_EQ(-1, elogfd);
    EXPECT_FALSE(exists(extended));
    EXPECT_EQ(1260981938, entry.end_time.tv_sec);  // stamped all the same
}

TEST_F(LogEntryTest, RotationRenamesAndStartsANewFile) {
    LogEntry entry;
    fill(entry);
    entry.Write();
    entry.apache_Write();
    slogflg = elogflg = -1;

    set_clock(1260981999, 0);
    entry.Write();
    entry.apache_Write();
    EXPECT_EQ(0, slogflg);
    EXPECT_EQ(0, elogflg);

    std::string old_access = std::string(dir) + "/20091216164639-access.log";
    std::string old_extended = std::string(dir) + "/20091216164639-extended.log";
    std::string first_access = std::string(access_legend) + kAccessRecord;
    EXPECT_EQ(first_access, slurp(old_access));
    EXPECT_EQ(0u, slurp(old_extended).find(apache_legend));

    std::string now_access = slurp(access);
    EXPECT_EQ(0u, now_access.find(std::string(access_legend) + "\n1260981937.045 61954 "));
    EXPECT_EQ(0u, slurp(extended).find(apache_legend));
    EXPECT_EQ(4u, dir_entries(dir).size());
}

TEST_F(LogEntryTest, RotationAskedWhileClosedWaitsForTheNextRecord) {
    slogflg = -1;
    LogEntry entry;
    fill(entry);
    entry.Write();
    EXPECT_EQ(-1, slogflg);
    EXPECT_EQ(1u, dir_entries(dir).size());

    entry.Write();
    EXPECT_EQ(0, slogflg);
    EXPECT_EQ(2u, dir_entries(dir).size());
    EXPECT_EQ(std::string(access_legend) + kAccessRecord, slurp(access));
}

TEST_F(LogEntryTest, BareFileNameNeverRotates) {
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(dir));
    snprintf(slogfile, sizeof slogfile, "%s", "access.log");
    LogEntry entry;
    fill(entry);
    entry.Write();
    slogflg = -1;
    entry.Write();
    EXPECT_EQ(0, slogflg);
    ASSERT_EQ(0, chdir(cwd));
    EXPECT_EQ(1u, dir_entries(dir).size());
    EXPECT_EQ(std::string(access_legend) + kAccessRecord + kAccessRecord, slurp(access));
}

TEST_F(LogEntryTest, UnopenableFileLosesTheRecordOnly) {
    std::string missing = std::string(dir) + "/no/such/dir/access.log";
    snprintf(slogfile, sizeof slogfile, "%s", missing.c_str());
    LogEntry entry;
    fill(entry);
    entry.Write();
    EXPECT_EQ(-1, slogfd);

    // The next record tries again.
    snprintf(slogfile, sizeof slogfile, "%s", access.c_str());
    entry.Write();
    EXPECT_EQ(std::string(access_legend) + kAccessRecord, slurp(access));
}

}  // namespace
