// Statistics: counters, bounded groups, display, event functions.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "atom.h"
#include "connection.h"
#include "filebuf.h"
#include "global.h"
#include "header.h"
#include "mem.h"
#include "network.h"
#include "socket.h"
#include "stats.h"
#include "timerange.h"

namespace {

std::string page_of(Stats *stats) {
    Filebuf page;
    stats->Display(&page);
    return std::string(page.data ? page.data : "", (size_t)page.size);
}

void release(Stats *stats) {
    pthread_mutex_lock(&atomlock);
    stats_release(stats);
    pthread_mutex_unlock(&atomlock);
}

uint32_t value_of(Stats *stats, const char *group, const char *name) {
    StatGroup *g = stats->FindGroup(group);
    if (!g) return 0xDEAD;
    StatCounter *c = g->find(name);
    return c ? c->value : 0xBEEF;
}

// The program-wide record with its statistics, as start-up builds it.
class GlobalStats : public ::testing::Test {
protected:
    void SetUp() override {
        global = new GLOBAL_T();
        global->stats = new Stats();
        globalstats_init();
    }
    void TearDown() override {
        release(global->stats);
        delete global;
        global = nullptr;
    }
};

}  // namespace

TEST(StatGroup, SameNameAddedOnce) {
    Stats *s = new Stats();
    s->AddGroup("hosts", STATGROUP_PERCENT);
    s->AddGroup("hosts", STATGROUP_PLAIN);  // exists: ignored
    ASSERT_EQ(s->groups.size(), 1u);
    EXPECT_EQ(s->groups[0]->type, STATGROUP_PERCENT);
    EXPECT_TRUE(s->AddCounter("hosts", "example.com", STAT_NUMBER));
    EXPECT_FALSE(s->AddCounter("hosts", "example.com", STAT_NUMBER));
    EXPECT_TRUE(s->AddCounter("hosts", "Example.com", STAT_NUMBER));  // case-sensitive
    EXPECT_EQ(s->FindGroup("hosts")->counters.size(), 2u);
    EXPECT_FALSE(s->AddCounter("nogroup", "x", STAT_NUMBER));
    release(s);
}

TEST(StatGroup, CallbackFormsCheckTheirFlags) {
    struct Case {
        const char *what;
        bool number;  // number callback, else text callback
        int flags;
        bool added;
        int stored;
    };
    const Case cases[] = {
        {"number as count", true, STAT_NUMBER, true, STAT_NUMBER | STAT_CALLBACK},
        {"number as size", true, STAT_SIZE, true, STAT_SIZE | STAT_CALLBACK},
        {"number as text", true, STAT_TEXT, false, 0},
        {"text as text", false, STAT_TEXT, true, STAT_TEXT | STAT_CALLBACK},
        {"text as count", false, STAT_NUMBER, false, 0},
    };
    for (const Case &c : cases) {
        StatGroup g("g", STATGROUP_PLAIN);
        bool added = c.number ? g.Add("x", stat_size, c.flags) : g.Add("x", stat_usertime, c.flags);
        EXPECT_EQ(added, c.added) << c.what;
        if (added) {
            EXPECT_EQ(g.counters[0]->flags, c.stored) << c.what;
        }
    }
}

TEST(StatGroup, FullGroupEvictsOneCounter) {
    struct Case {
        const char *what;
        int mode;
        int victim;  // index among the 99 counters
    };
    // Counter i is changed at second 1000 + i, except 40 (never changed) for
    // the oldest; its value is 5 + i, except 70 (value 1) for the smallest.
    const Case cases[] = {
        {"oldest goes", STAT_EVICT_OLDEST, 40},
        {"smallest goes", STAT_EVICT_SMALLEST, 70},
    };
    for (const Case &c : cases) {
        StatGroup g("hosts", STATGROUP_PERCENT);
        g.Limit(100, c.mode);
        char name[32];
        for (int i = 0; i < 99; i++) {
            snprintf(name, sizeof name, "host%d", i);
            ASSERT_TRUE(g.Add(name, STAT_NUMBER));
            g.Increment(name, i == 70 ? 1 : 5 + i);
        }
        for (int i = 0; i < 99; i++) g.counters[i]->changed_us = (1000 + i) * 1000000LL;
        g.counters[40]->changed_us = 0;
        uint32_t total = g.total;
        ASSERT_TRUE(g.Add("newcomer", STAT_NUMBER));
        EXPECT_EQ(g.counters.size(), 99u) << c.what;
        EXPECT_EQ(g.total, total) << c.what;
        snprintf(name, sizeof name, "host%d", c.victim);
        EXPECT_EQ(g.find(name), nullptr) << c.what;
        EXPECT_STREQ(g.counters.back()->name, "newcomer") << c.what;
        EXPECT_NE(g.find("host0"), nullptr) << c.what;
    }
}

TEST(StatGroup, EvictionTieTakesFirstInList) {
    StatGroup g("g", STATGROUP_PERCENT);
    g.Limit(3, STAT_EVICT_OLDEST);  // at most two counters
    g.Add("a", STAT_NUMBER);
    g.Add("b", STAT_NUMBER);  // neither ever changed: equal times
    g.Add("c", STAT_NUMBER);
    ASSERT_EQ(g.counters.size(), 2u);
    EXPECT_STREQ(g.counters[0]->name, "b");
    EXPECT_STREQ(g.counters[1]->name, "c");
}

TEST(StatGroup, UnboundedGroupKeepsEverything) {
    StatGroup g("g", STATGROUP_PLAIN);
    for (int i = 0; i < 300; i++) g.Add(std::to_string(i).c_str(), STAT_NUMBER);
    EXPECT_EQ(g.counters.size(), 300u);
}

TEST(StatGroup, CountersSaturate) {
    struct Case {
        const char *what;
        uint32_t start;
        bool up;
        unsigned long long n;
        uint32_t value;
    };
    const Case cases[] = {
        {"up to the top", 4294967290u, true, 5, 4294967295u},
        {"past the top", 4294967290u, true, 6, 4294967295u},
        {"far past the top", 1, true, 1ULL << 40, 4294967295u},
        {"down to zero", 3, false, 3, 0},
        {"below zero", 3, false, 4, 0},
    };
    for (const Case &c : cases) {
        StatGroup g("g", STATGROUP_PLAIN);
        g.Add("x", STAT_NUMBER);
        g.counters[0]->value = c.start;
        g.total = c.start;
        EXPECT_EQ(c.up ? g.Increment("x", c.n) : g.Decrement("x", c.n), c.value) << c.what;
        EXPECT_EQ(g.counters[0]->value, c.value) << c.what;
        EXPECT_EQ(g.total, c.value) << c.what;
    }
}

TEST(StatGroup, ChangeStampsCounterAndGroup) {
    StatGroup g("g", STATGROUP_PLAIN);
    g.Add("x", STAT_NUMBER);
    struct timeval never = g.counters[0]->Changed();
    EXPECT_FALSE(timerisset(&never));
    struct timeval before, after;
    gettimeofday(&before, nullptr);
    EXPECT_EQ(g.Increment("x"), 1u);
    gettimeofday(&after, nullptr);
    struct timeval stamp = g.counters[0]->Changed();
    EXPECT_FALSE(timercmp(&stamp, &before, <));
    EXPECT_FALSE(timercmp(&stamp, &after, >));
    EXPECT_EQ(g.changed_us.load(), g.counters[0]->changed_us.load());
    EXPECT_EQ(g.Increment("missing"), 0u);
}

TEST(Stats, UnknownGroupOrCounterChangesNothing) {
    Stats *s = userstats_init();
    std::string before = page_of(s);
    EXPECT_EQ(s->Increment("nothing", "hit"), 0u);
    EXPECT_EQ(s->Increment("cache", "nothing", 3), 0u);
    EXPECT_EQ(s->Decrement("nothing", "hit"), 0u);
    s->Limit("nothing", 5, 1);
    EXPECT_EQ(s->FindGroup("cache")->total, 0u);
    EXPECT_EQ(page_of(s), before);
    release(s);
}

TEST(Stats, CounterTexts) {
    struct Case {
        int flags;
        uint32_t value;
        const char *text;
    };
    const Case cases[] = {
        {STAT_NUMBER, 0, "0"},
        {STAT_NUMBER, 4294967295u, "4294967295"},
        {STAT_SIZE, 1023, "1023.0 B"},
        {STAT_SIZE, 1024, "1.0 KB"},
        {STAT_SIZE, 1536, "1.5 KB"},
        {STAT_SIZE, 1048576, "1.0 MB"},
        {STAT_SIZE, 1073741824, "1.0 GB"},
        {STAT_SIZE, 4294967295u, "4.0 GB"},
    };
    for (const Case &c : cases) {
        StatCounter counter("x", c.flags);
        counter.value = c.value;
        char *text = counter.Get();
        EXPECT_STREQ(text, c.text) << c.value;
        free(text);
    }
}

namespace {
uint64_t forty_two() { return 42; }
uint64_t six_gigabytes() { return 6ull << 30; }
char *greeting() { return xstrdup("hello"); }
}  // namespace

TEST(Stats, CallbackCountersReadTheirCallback) {
    StatGroup g("g", STATGROUP_PLAIN);
    g.Add("n", forty_two, STAT_NUMBER);
    g.Add("s", six_gigabytes, STAT_SIZE);
    g.Add("t", greeting, STAT_TEXT);
    g.Increment("n", 7);  // the stored value is not what is shown
    const char *expected[] = {"42", "6.0 GB", "hello"};
    for (int i = 0; i < 3; i++) {
        char *text = g.counters[i]->Get();
        EXPECT_STREQ(text, expected[i]);
        free(text);
    }
}

TEST(StatsDeathTest, CounterWithoutDisplayKindIsFatal) {
    StatCounter counter("x", STAT_NUMBER | STAT_SIZE);
    EXPECT_EXIT(free(counter.Get()), ::testing::ExitedWithCode(1), "");
}

TEST(StatsDeathTest, PercentageGroupNeedsNumbers) {
    Stats *s = new Stats();
    s->AddGroup("p", STATGROUP_PERCENT);
    s->AddCounter("p", "size", STAT_SIZE);
    EXPECT_EXIT(page_of(s), ::testing::ExitedWithCode(1), "");
    release(s);
}

TEST(Stats, DisplayRows) {
    Stats *s = new Stats();
    s->AddGroup("plain", STATGROUP_PLAIN);
    s->AddCounter("plain", "a<b>", STAT_NUMBER);
    s->AddCounter("plain", "bytes", STAT_SIZE);
    s->AddCounter("plain", "c", STAT_NUMBER);
    s->Increment("plain", "a<b>", 5);
    s->Increment("plain", "bytes", 2048);
    s->AddGroup("share", STATGROUP_PERCENT);
    s->AddCounter("share", "hit", STAT_NUMBER);
    s->AddCounter("share", "miss", STAT_NUMBER);
    s->Increment("share", "hit", 1);
    s->Increment("share", "miss", 2);
    const std::string expected =
        "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
        "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">plain</td></tr>\n"
        "<tr class=\"listeven\"><td width=\"40%\">a&lt;b&gt;</td><td>5</td></tr>\n"
        "<tr class=\"listodd\"><td width=\"40%\">bytes</td><td>2.0 KB</td></tr>\n"
        "<tr class=\"listeven\"><td width=\"40%\">c</td><td>0</td></tr>\n"
        "</table></td></tr> <tr><td><br></td></tr>\n"
        "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
        "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">share</td></tr>\n"
        "<tr class=\"listeven\"><td width=\"40%\">hit</td><td>1 (33%)</td></tr>\n"
        "<tr class=\"listodd\"><td width=\"40%\">miss</td><td>2 (66%)</td></tr>\n"
        "</table></td></tr> <tr><td><br></td></tr>\n";
    EXPECT_EQ(page_of(s), expected);
    release(s);
}

TEST(Stats, PercentShares) {
    struct Case {
        uint32_t value, other;
        const char *cell;
    };
    const Case cases[] = {
        {0, 0, "<td>0 (0%)</td>"},                                   // empty group
        {1, 2, "<td>1 (33%)</td>"},  {29, 71, "<td>29 (29%)</td>"},  // exact, no floating-point undershoot
        {3, 0, "<td>3 (100%)</td>"}, {4000000000u, 294967295u, "<td>4000000000 (93%)</td>"},  // no 32-bit overflow
    };
    for (const Case &c : cases) {
        Stats *s = new Stats();
        s->AddGroup("p", STATGROUP_PERCENT);
        s->AddCounter("p", "a", STAT_NUMBER);
        s->AddCounter("p", "b", STAT_NUMBER);
        s->Increment("p", "a", c.value);
        s->Increment("p", "b", c.other);
        EXPECT_NE(page_of(s).find(c.cell), std::string::npos) << c.cell << "\n" << page_of(s);
        release(s);
    }
}

TEST(Stats, ConcurrentIncrementsAllCount) {
    Stats *s = userstats_init();
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; t++)
        workers.emplace_back([s, t] {
            char host[16];
            for (int i = 0; i < 2000; i++) {
                s->Increment("requests", "HTTP requests");
                snprintf(host, sizeof host, "h%d", (t * 7 + i) % 150);  // more than fit: evictions race adds
                stats_count_name(s, "hosts", host);
            }
        });
    for (std::thread &w : workers) w.join();
    EXPECT_EQ(value_of(s, "requests", "HTTP requests"), 16000u);
    EXPECT_EQ(s->FindGroup("hosts")->total, 16000u);
    EXPECT_LE(s->FindGroup("hosts")->counters.size(), 99u);
    release(s);
}

// A page shown while others count: walks every group as it changes.
static void show_pages(Stats *s, const std::atomic<bool> &done) {
    for (int i = 0; i < 100000 && !done.load(); i++) {
        std::string page = page_of(s);
        ASSERT_NE(page.find("requests"), std::string::npos);
    }
}

TEST(Stats, FixedCountersSumExactlyUnderConcurrency) {
    Stats *s = userstats_init();
    CONNECTION_T *c = connection_new();
    c->userstats = s;
    std::atomic<bool> done{false};
    std::thread reader(show_pages, s, std::cref(done));
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; t++)
        workers.emplace_back([s, c] {
            for (int i = 0; i < 20000; i++) {
                statincr_httprequests(c);
                statincr_cachehit(c);
                if (i % 4 == 0) statdecr_cachehit(c);
                s->Increment("cache refresh", "miss", 3);
            }
        });
    for (std::thread &w : workers) w.join();
    done = true;
    reader.join();
    EXPECT_EQ(value_of(s, "requests", "HTTP requests"), 160000u);
    EXPECT_EQ(s->FindGroup("requests")->total, 160000u);
    EXPECT_EQ(value_of(s, "cache", "hit"), 120000u);
    EXPECT_EQ(s->FindGroup("cache")->total, 120000u);
    EXPECT_EQ(value_of(s, "cache refresh", "miss"), 480000u);
    EXPECT_NE(page_of(s).find(">hit</td><td>120000 (100%)</td>"), std::string::npos);
    c->userstats = nullptr;
    connection_free(c);
    release(s);
}

TEST(Stats, SaturationHoldsUnderConcurrency) {
    struct Case {
        const char *what;
        uint32_t start;
        bool up;
        unsigned long long n;  // per change; 8 threads make 20000 changes each
        uint32_t end;
    };
    const Case cases[] = {
        {"stops at the top", 4294967295u - 5000, true, 1, 4294967295u},
        {"large steps stop at the top", 4000000000u, true, 100000, 4294967295u},
        {"stops at zero", 5000, false, 1, 0},
        {"large steps stop at zero", 300000000, false, 100000, 0},
    };
    for (const Case &c : cases) {
        Stats *s = userstats_init();
        StatGroup *g = s->FindGroup("requests");
        ASSERT_TRUE(g->fixed);
        g->find("FTP requests")->value = c.start;
        g->total = c.start;
        std::atomic<bool> wrapped{false};
        pthread_barrier_t start;  // all at once, so that they race at the end
        pthread_barrier_init(&start, nullptr, 8);
        std::vector<std::thread> workers;
        for (int t = 0; t < 8; t++)
            workers.emplace_back([&] {
                pthread_barrier_wait(&start);
                for (int i = 0; i < 20000; i++) {
                    uint32_t v = c.up ? s->Increment("requests", "FTP requests", c.n)
                                      : s->Decrement("requests", "FTP requests", c.n);
                    if (c.up ? v < c.start : v > c.start) wrapped = true;
                }
            });
        for (std::thread &w : workers) w.join();
        pthread_barrier_destroy(&start);
        EXPECT_FALSE(wrapped.load()) << c.what;
        EXPECT_EQ(value_of(s, "requests", "FTP requests"), c.end) << c.what;
        EXPECT_EQ(g->total, c.end) << c.what;
        release(s);
    }
}

TEST(Stats, OpenGroupKeepsEveryNewCounterUntilItCounts) {
    Stats *s = userstats_init();
    std::atomic<bool> done{false};
    std::thread reader(show_pages, s, std::cref(done));
    std::atomic<int> lost{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; t++)
        workers.emplace_back([s, t, &lost] {
            StatGroup *hosts = s->FindGroup("hosts");
            char host[32];
            for (int i = 0; i < 3000; i++) {
                // every name new: each addition evicts, racing the others
                snprintf(host, sizeof host, "t%d-%d", t, i);
                if (hosts->AddIncrement(host) != 1) lost++;
                hosts->Increment(host);  // may be gone already: then counts nothing
            }
        });
    for (std::thread &w : workers) w.join();
    done = true;
    reader.join();
    EXPECT_EQ(lost.load(), 0);
    StatGroup *hosts = s->FindGroup("hosts");
    ASSERT_EQ(hosts->counters.size(), 99u);
    uint64_t sum = 0;
    std::set<std::string> names;
    for (StatCounter *counter : hosts->counters) {
        EXPECT_GE(counter->value.load(), 1u);
        EXPECT_LE(counter->value.load(), 2u);
        sum += counter->value;
        names.insert(counter->name);
    }
    EXPECT_EQ(names.size(), 99u);     // no name twice
    EXPECT_GE(hosts->total, 24000u);  // every addition counted, evicted or not
    EXPECT_LE(hosts->total, 48000u);
    EXPECT_LE(sum, hosts->total);
    release(s);
}

TEST(Stats, SealedSetsKeepTheirFixedGroupsFixed) {
    Stats *s = userstats_init();
    EXPECT_TRUE(s->sealed);
    EXPECT_TRUE(s->FindGroup("requests")->fixed);
    EXPECT_FALSE(s->FindGroup("hosts")->fixed);
    EXPECT_FALSE(s->AddCounter("requests", "gopher requests", STAT_NUMBER));
    s->Limit("requests", 2, STAT_EVICT_SMALLEST);  // would let counters be evicted
    EXPECT_EQ(s->FindGroup("requests")->limit, 0);
    stats_count_name(s, "requests", "gopher requests");
    stats_count_name(s, "requests", "HTTP requests");  // an existing one still counts
    EXPECT_EQ(s->FindGroup("requests")->counters.size(), 3u);
    EXPECT_EQ(value_of(s, "requests", "HTTP requests"), 1u);
    s->AddGroup("later", STATGROUP_PLAIN);
    EXPECT_EQ(s->FindGroup("later"), nullptr);
    // the open-ended groups stay open
    EXPECT_TRUE(s->AddCounter("hosts", "example.org", STAT_NUMBER));
    s->Limit("hosts", 3, STAT_EVICT_OLDEST);
    EXPECT_EQ(s->FindGroup("hosts")->limit, 3);
    release(s);
}

TEST(Stats, EventsCountInSetsNeverSealed) {
    Stats *s = new Stats();
    s->AddGroup("requests", STATGROUP_PLAIN);
    s->AddCounter("requests", "HTTP requests", STAT_NUMBER);
    s->AddGroup("hosts", STATGROUP_PERCENT);
    CONNECTION_T *c = connection_new();
    c->userstats = s;
    c->request = new HEADER();
    c->request->host = xstrdup("example.org");
    statincr_httprequests(c);
    statincr_hosts(c);
    statincr_cachehit(c);  // no such group: nothing
    EXPECT_EQ(value_of(s, "requests", "HTTP requests"), 1u);
    EXPECT_EQ(value_of(s, "hosts", "example.org"), 1u);
    http_header_free(c->request);
    c->request = nullptr;
    c->userstats = nullptr;
    connection_free(c);
    release(s);
}

TEST(Stats, RuleStatisticsLayout) {
    Stats *s = userstats_init();
    EXPECT_EQ(s->count, 1);
    std::vector<std::string> names;
    for (StatGroup *g : s->groups) names.push_back(g->name);
    EXPECT_EQ(names, (std::vector<std::string>{"requests", "cache", "cache refresh", "hosts", "mimes"}));
    EXPECT_EQ(s->FindGroup("hosts")->limit, STAT_LIMIT);
    EXPECT_EQ(s->FindGroup("requests")->counters.size(), 3u);
    release(s);
}

TEST_F(GlobalStats, ProgramWideLayout) {
    std::vector<std::string> names;
    for (StatGroup *g : global->stats->groups) names.push_back(g->name);
    EXPECT_EQ(names, (std::vector<std::string>{"system", "requests", "network", "DNS cache", "cache", "cache refresh",
                                               "connection pool", "hosts", "mimes", "users", "ip addresses"}));
    StatGroup *system = global->stats->FindGroup("system");
    ASSERT_EQ(system->counters.size(), 7u);
    EXPECT_EQ(system->counters[0]->flags, STAT_TEXT | STAT_CALLBACK);
    EXPECT_EQ(system->counters[2]->flags, STAT_SIZE | STAT_CALLBACK);
    EXPECT_EQ(system->counters[5]->flags, STAT_NUMBER | STAT_CALLBACK);
    EXPECT_EQ(global->stats->FindGroup("ip addresses")->limit, 100);
    EXPECT_EQ(global->stats->FindGroup("DNS cache")->type, STATGROUP_PERCENT);
    // the page renders without tripping any check
    EXPECT_NE(page_of(global->stats).find(">memory resident</td>"), std::string::npos);
}

TEST_F(GlobalStats, EventsCountInBothWhenTheRuleHasStatistics) {
    CONNECTION_T *c = connection_new();
    c->ip = xstrdup("10.1.2.3");
    c->request = new HEADER();
    c->request->host = xstrdup("example.org");
    c->response = new HEADER();
    c->response->mime_type = xstrdup("text/html");

    statincr_httprequests(c);  // no rule statistics: program-wide only
    c->userstats = userstats_init();
    Stats *rule = c->userstats;
    statincr_httprequests(c);
    statincr_ftprequests(c);
    statincr_connectrequests(c);
    statincr_cachehit(c);
    statincr_cacherefreshmiss(c);
    statincr_hosts(c);
    statincr_hosts(c);
    statincr_mimes(c);
    statincr_ipaddresses(c);

    Stats *all = global->stats;
    EXPECT_EQ(value_of(all, "requests", "HTTP requests"), 2u);
    EXPECT_EQ(value_of(rule, "requests", "HTTP requests"), 1u);
    EXPECT_EQ(value_of(rule, "requests", "FTP requests"), 1u);
    EXPECT_EQ(value_of(rule, "requests", "CONNECT requests"), 1u);
    EXPECT_EQ(value_of(rule, "cache", "hit"), 1u);
    EXPECT_EQ(value_of(rule, "cache refresh", "miss"), 1u);
    EXPECT_EQ(value_of(all, "hosts", "example.org"), 2u);
    EXPECT_EQ(value_of(rule, "hosts", "example.org"), 2u);
    EXPECT_EQ(value_of(all, "mimes", "text/html"), 1u);
    EXPECT_EQ(value_of(rule, "mimes", "text/html"), 1u);
    EXPECT_EQ(value_of(all, "ip addresses", "10.1.2.3"), 1u);
    EXPECT_EQ(rule->FindGroup("ip addresses"), nullptr);

    // a revalidation failure moves one request from hit to miss
    uint32_t total = all->FindGroup("cache")->total;
    statdecr_cachehit(c);
    statincr_cachemiss(c);
    EXPECT_EQ(value_of(all, "cache", "hit"), 0u);
    EXPECT_EQ(value_of(all, "cache", "miss"), 1u);
    EXPECT_EQ(all->FindGroup("cache")->total, total);
    EXPECT_EQ(rule->FindGroup("cache")->total, 1u);

    http_header_free(c->request);
    http_header_free(c->response);
    c->request = c->response = nullptr;
    pthread_mutex_lock(&atomlock);
    rule->New();  // keep it past the connection to see the count drop
    pthread_mutex_unlock(&atomlock);
    connection_free(c);  // drops the connection's reference
    EXPECT_EQ(rule->count, 1);
    release(rule);
}

TEST_F(GlobalStats, MissingNamesAreNotCounted) {
    CONNECTION_T *c = connection_new();
    statincr_hosts(c);  // no request
    statincr_mimes(c);  // no response
    statincr_ipaddresses(c);
    c->request = new HEADER();
    c->response = new HEADER();
    statincr_hosts(c);
    statincr_mimes(c);
    EXPECT_TRUE(global->stats->FindGroup("hosts")->counters.empty());
    EXPECT_TRUE(global->stats->FindGroup("mimes")->counters.empty());
    EXPECT_TRUE(global->stats->FindGroup("ip addresses")->counters.empty());
    http_header_free(c->request);
    http_header_free(c->response);
    c->request = c->response = nullptr;
    connection_free(c);
    statincr_httprequests(nullptr);  // tolerated
}

TEST_F(GlobalStats, SocketAndNetworkCounts) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Socket *a = new Socket(fds[0]);
    Socket *b = new Socket(fds[1]);
    ASSERT_EQ(a->Write("hello", 5), 5);
    char buffer[8];
    ASSERT_EQ(b->Read(buffer, 5, 5), 5);
    delete a;
    delete b;
    EXPECT_EQ(value_of(global->stats, "network", "bytes out"), 5u);
    EXPECT_EQ(value_of(global->stats, "network", "bytes in"), 5u);

    stats_count("network", "bytes in", 5ULL << 32);  // saturates instead of wrapping to a small number
    EXPECT_EQ(value_of(global->stats, "network", "bytes in"), 4294967295u);

    stats_count("DNS cache", "hit");
    stats_count("network", "DNS failures");
    EXPECT_EQ(value_of(global->stats, "DNS cache", "hit"), 1u);
    EXPECT_EQ(value_of(global->stats, "network", "DNS failures"), 1u);
}

// CPU times and faults are the whole process's, read when shown (never a
// sum over workers, which would count the same time once per worker).
TEST_F(GlobalStats, UsageFiguresAreTheProcesss) {
    struct rusage before, after;
    ASSERT_EQ(getrusage(RUSAGE_SELF, &before), 0);
    char *user = stat_usertime();
    uint64_t minflt = stat_minflt();
    ASSERT_EQ(getrusage(RUSAGE_SELF, &after), 0);
    char *low = timeval_to_string(&before.ru_utime), *high = timeval_to_string(&after.ru_utime);
    EXPECT_GE(strcmp(user, low), 0) << user << " " << low;
    EXPECT_LE(strcmp(user, high), 0) << user << " " << high;
    EXPECT_GE(minflt, (uint64_t)before.ru_minflt);
    EXPECT_LE(minflt, (uint64_t)after.ru_minflt);
    free(user);
    free(low);
    free(high);
}

TEST(Statm, ReadsSevenFigures) {
    struct Case {
        const char *content;  // null: no file
        bool ok;
        unsigned long size_pages;
    };
    const Case cases[] = {
        {"10 20 30 40 50 60 70\n", true, 10},
        {"10 20 30 40 50 60\n", false, 0},
        {"x y z\n", false, 0},
        {"", false, 0},
        {nullptr, false, 0},
        {"2000000000 1 1 1 1 1 70\n", true, 2000000000},  // past 4 GiB: no overflow
    };
    char path[] = "/tmp/statm_testXXXXXX";
    int fd = mkstemp(path);
    ASSERT_NE(fd, -1);
    close(fd);
    const char *saved = statm_path;
    statm_path = path;
    long page = sysconf(_SC_PAGESIZE);
    for (const Case &c : cases) {
        if (c.content) {
            FILE *f = fopen(path, "w");
            fputs(c.content, f);
            fclose(f);
        } else {
            unlink(path);
        }
        statm_t s;
        EXPECT_EQ(statm_load(&s), c.ok) << (c.content ? c.content : "(none)");
        if (c.ok) {
            EXPECT_EQ(s.size, (uint64_t)c.size_pages * (uint64_t)page);
            EXPECT_EQ(s.dirty, 70u * (uint64_t)page);
            EXPECT_EQ(stat_size(), (uint64_t)c.size_pages * (uint64_t)page);
        } else {
            EXPECT_EQ(stat_size(), 0u);
            EXPECT_EQ(stat_resident(), 0u);
        }
    }
    statm_path = saved;
    unlink(path);
    statm_t real;
    EXPECT_TRUE(statm_load(&real));
    EXPECT_GT(real.resident, 0u);
}
