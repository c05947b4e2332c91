// Limits at chosen local times: windows, counting, the one-second reset, the
// smallest allowance and rate.
#include "limit.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "connection.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "socket.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

struct tm at(int hour, int minute = 0) {
    struct tm t;
    memset(&t, 0, sizeof t);
    t.tm_year = 124;
    t.tm_mon = 2;
    t.tm_mday = 4;
    t.tm_wday = 1;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}

std::string rule(int type, const char *hours, const char *download, const char *upload, int maxrequests, int rate,
                 const char *flags = "") {
    std::string hour = hours ? std::string("<hour active=\"true\">") + hours + "</hour>"
                             : std::string("<hour active=\"false\">0,23</hour>");
    return "<limit><enabled>true</enabled><comment></comment><profiles></profiles><type>" + std::to_string(type) +
           "</type><template></template><month active=\"false\">january,december</month>"
           "<day active=\"false\">1,31</day><weekday active=\"false\">sunday,saturday</weekday>" +
           hour + "<minute active=\"false\">0,59</minute><download>" + download + "</download><upload>" + upload +
           "</upload><maxrequests>" + std::to_string(maxrequests) + "</maxrequests><rate>" + std::to_string(rate) +
           "</rate><timemode>true</timemode><flags>" + flags + "</flags></limit>";
}

class LimitTest : public ::testing::Test {
protected:
    LimitSection *section = nullptr;
    CONNECTION_T *connection = nullptr;

    void SetUp() override {
        definition_use(file_read(conf_dir + "section.xml"));
        section = static_cast<LimitSection *>(limit_construct());
        connection = connection_new();
        connection->request = header_new();
        log_ring = logbuffer_new(100);
        daemonize = 1;
    }
    void TearDown() override {
        http_header_free(connection->request);
        connection_free(connection);
        delete section;
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
    }
    void load(const std::vector<std::string> &rules, bool enabled = true) {
        std::string xml = std::string("<korvantel><limits><enabled>") + (enabled ? "true" : "false") + "</enabled>";
        for (const std::string &r : rules) xml += r;
        xml += "</limits></korvantel>";
        TiXmlDocument doc;
        doc.Parse(xml.c_str());
        ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
        section->load(&doc, 1);
        ASSERT_EQ(section->limits.size(), rules.size());
    }
    // One request at time t that moves `down` bytes to the client and `up` to
    // the server; returns whether it was blocked.
    int request(const struct tm &t, unsigned down = 0, unsigned up = 0) {
        connection->upload_size = up;
        int blocked = section->check_and_block(connection, &t);
        if (!blocked) connection->transferred = down;
        section->update(connection, &t);
        connection->transferred = 0;
        connection->upload_size = 0;
        return blocked;
    }
};

TEST_F(LimitTest, TimeWindowBlocksOnlyInside) {
    load({rule(1, "9,17", "0", "0", 0, 0)});
    struct tm ten = at(10), six = at(18);
    EXPECT_EQ(1, section->check_and_block(connection, &ten));
    EXPECT_EQ("limit-section", connection->log.filter_name);
    EXPECT_EQ("time limit restrictions", connection->log.filtering_reason);
    EXPECT_EQ("Time Limits", connection->variables["LIMIT_TYPE"]);
    EXPECT_EQ(0, section->check_and_block(connection, &six));
}

TEST_F(LimitTest, CountsRestartWhenTheWindowCloses) {
    load({rule(0, "9,9", "0", "0", 2, 0)});
    struct tm nine = at(9, 10), nine_later = at(9, 50), ten = at(10, 0);
    EXPECT_EQ(0, request(nine));
    EXPECT_EQ(0, request(nine));
    EXPECT_EQ(1, request(nine));
    EXPECT_EQ("Max Requests", connection->variables["LIMIT_TYPE"]);
    // Still inside the window: the reset keeps the counts.
    section->reset(&nine_later);
    EXPECT_EQ(1, request(nine_later));
    // The window has closed: the counts restart.
    section->reset(&ten);
    EXPECT_EQ(0u, section->limits.front().request_count);
    EXPECT_EQ(0, request(nine));
}

TEST_F(LimitTest, SmallestAllowanceWinsAndQuotaRunsOut) {
    load({rule(0, nullptr, "1000", "0", 0, 0), rule(0, nullptr, "700", "300", 0, 0)});
    struct tm t = at(12);
    EXPECT_EQ(0, request(t, 400, 100));
    ASSERT_EQ(0, section->check_and_block(connection, &t));
    EXPECT_EQ(300u, connection->transfer_limit);  // 700 - 400 beats 1000 - 400
    EXPECT_EQ("700", connection->variables["DOWNLOADLIMIT"]);
    EXPECT_EQ(200u, connection->upload_limit);
    EXPECT_EQ(0, request(t, 900, 0));
    ASSERT_EQ(0, section->check_and_block(connection, &t));
    EXPECT_EQ(0u, connection->transfer_limit);
}

TEST_F(LimitTest, CacheHitsAndNoChargeRules) {
    load({rule(0, nullptr, "1000", "0", 0, 0), rule(0, nullptr, "1000", "0", 0, 0, "cached"),
          rule(0, nullptr, "1000", "0", 5, 0, "nocharge")});
    struct tm t = at(12);
    connection->cache = reinterpret_cast<CACHEMAP *>(1);  // an existing object, never dereferenced
    EXPECT_EQ(0, request(t, 300));
    connection->cache = nullptr;
    auto it = section->limits.begin();
    EXPECT_EQ(0u, it->downloaded);        // served from the cache: free
    EXPECT_EQ(300u, (++it)->downloaded);  // counts cached responses
    EXPECT_EQ(0u, (++it)->downloaded);    // never charged
    EXPECT_EQ(0u, it->request_count);
}

TEST_F(LimitTest, SwitchedOffOrBypassedSetsAndCountsNothing) {
    load({rule(0, nullptr, "10", "10", 1, 0)}, false);
    struct tm t = at(12);
    EXPECT_EQ(0, request(t, 100, 100));
    EXPECT_EQ(0, request(t, 100, 100));
    EXPECT_EQ(CONNECTION_NO_LIMIT, connection->transfer_limit);
    EXPECT_EQ(0u, section->limits.front().request_count);
    load({rule(0, nullptr, "10", "10", 1, 0)});
    connection->bypass = BYPASS_LIMITS;
    EXPECT_EQ(0, request(t, 100, 100));
    EXPECT_EQ(0, request(t, 100, 100));
    EXPECT_EQ(0u, section->limits.front().downloaded);
}

TEST_F(LimitTest, AnEditRestartsEveryCount) {
    load({rule(0, nullptr, "0", "0", 1, 0)});
    struct tm t = at(12);
    EXPECT_EQ(0, request(t));
    EXPECT_EQ(1, request(t));
    load({rule(0, nullptr, "0", "0", 1, 0)});
    EXPECT_EQ(0, request(t));
}

TEST_F(LimitTest, SharedRateGroupSurvivesCopies) {
    load({rule(0, nullptr, "0", "0", 0, 4000, "shared")});
    const Limit &original = section->limits.front();
    ASSERT_NE(nullptr, original.rate_group);
    {
        Limit copy(original);
        EXPECT_EQ(original.rate_group, copy.rate_group);
        EXPECT_EQ(2, static_cast<Atom *>(original.rate_group)->count);
    }
    EXPECT_EQ(1, static_cast<Atom *>(original.rate_group)->count);
}

}  // namespace
