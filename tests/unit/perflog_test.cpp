// The performance log: its line, its file and its counters.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "perflog.h"
#include "settings.h"

namespace {

std::vector<std::string> fields(const std::string &line) {
    StringList parts(line.substr(0, line.size() - 1), ",");
    return std::vector<std::string>(parts.begin(), parts.end());
}

int count_lines(const std::string &text, const std::string &start) {
    int n = 0;
    for (size_t at = 0; (at = text.find(start, at)) != std::string::npos; at += start.size()) n++;
    return n;
}

class PerfLogTest : public testing::Test {
protected:
    TempDir dir;
    char saved[sizeof plogfile];
    void SetUp() override {
        memcpy(saved, plogfile, sizeof plogfile);
        if (plogfd != -1) close(plogfd);
        plogfd = -1;
    }
    void TearDown() override {
        if (plogfd != -1) close(plogfd);
        plogfd = -1;
        memcpy(plogfile, saved, sizeof plogfile);
    }
    void name(const std::string &path) { snprintf(plogfile, sizeof plogfile, "%s", path.c_str()); }
};

}  // namespace

TEST_F(PerfLogTest, LineHasAColumnForEveryLegendName) {
    PerformanceLog log;
    log.set_bytes_in(1023);
    log.set_bytes_out(3 * 1024 + 5);
    log.set_dns_hit(2);
    log.set_dns_hit(3);
    log.set_connections_handled(7);
    log.set_connections_handled(4);  // replaced, not added
    log.set_connection_pool_size(9);
    log.set_connection_pool_size(1);
    std::string line = log.Build();
    ASSERT_EQ(line.back(), '\n');
    std::vector<std::string> legend = fields(performance_legend);
    std::vector<std::string> values = fields(line);
    ASSERT_EQ(legend.size(), 31u);
    ASSERT_EQ(values.size(), 31u);
    EXPECT_EQ(values[0].size(), 14u);  // YYYYMMDDhhmmss
    EXPECT_EQ(values[2], "4");
    EXPECT_EQ(values[15], "1");
    EXPECT_EQ(values[16], "0") << "1,023 bytes are 0 whole kilobytes";
    EXPECT_EQ(values[17], "3");
    EXPECT_EQ(values[20], "5");
    // Total memory past 4 GiB must not wrap: it is the machine's, in KiB.
    unsigned long long total = strtoull(values[23].c_str(), nullptr, 10);
    unsigned long long expected = (unsigned long long)sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE) / 1024;
    EXPECT_EQ(total, expected);
    EXPECT_GT(strtoull(values[26].c_str(), nullptr, 10), 0u) << "resident memory";
}

TEST_F(PerfLogTest, LegendOnlyIntoAnEmptyFile) {
    std::string path = dir.file("perf.log");
    name(path);
    PerformanceLog log;
    log.Write();
    log.Write();
    close(plogfd);
    plogfd = -1;
    log.Write();  // a restart on a non-empty file appends without a legend
    std::string text = file_read(path);
    EXPECT_EQ(text.find("Time Stamp (YYYYMMDDhhmmss),"), 0u);
    EXPECT_EQ(count_lines(text, "Time Stamp"), 1);
    EXPECT_EQ(count_lines(text, "\n"), 4);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(PerfLogTest, EmptyNameWritesNothingAndUnwritablePathIsRetried) {
    PerformanceLog log;
    plogfile[0] = '\0';
    log.Write();
    EXPECT_EQ(plogfd, -1);

    std::string sub = dir.file("later");
    name(sub + "/perf.log");
    log.Write();
    EXPECT_EQ(plogfd, -1);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    log.Write();
    EXPECT_NE(plogfd, -1);
    std::string text = file_read(sub + "/perf.log");
    EXPECT_EQ(count_lines(text, "Time Stamp"), 1);
    EXPECT_EQ(count_lines(text, "\n"), 2);
}
