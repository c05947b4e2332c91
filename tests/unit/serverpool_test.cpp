#include "serverpool.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "clock.h"
#include "config_fixture.h"
#include "general.h"
#include "global.h"
#include "log.h"
#include "socket.h"
#include "stats.h"

namespace {

time_t fake_now = 1000000;
const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";
const int pool_timeout = 30;

void set_now(time_t now) {
    fake_now = now;
    clock_set(now);
}
// The pool takes its size and time-out from the general section's options.
void pool_options(int size, int timeout) {
    if (!general_section) {
        definition_use(file_read(conf_dir + "section.xml"));
        general_construct();
    }
    std::string xml =
        "<korvantel><general><hostname>proxy.example.org</hostname><tempdir>/tmp</tempdir>"
        "<linelength>0</linelength><poolsize>" +
        std::to_string(size) + "</poolsize><pooltimeout>" + std::to_string(timeout) +
        "</pooltimeout></general></korvantel>";
    TiXmlDocument document;
    document.Parse(xml.c_str());
    ASSERT_FALSE(document.Error());
    general_section->load(&document, 1);
    ASSERT_EQ(general_section->poolsize_get(), size);
    ASSERT_EQ(general_section->pooltimeout_get(), timeout);
}

// A pooled socket over one end of a socketpair; the test keeps the other end
// to see whether the pool closed it.
struct Peer {
    Socket *socket = nullptr;
    int other = -1;
    Peer() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            socket = new Socket(fds[0]);
            other = fds[1];
            fcntl(other, F_SETFL, O_NONBLOCK);
        }
    }
    ~Peer() {
        if (other >= 0) close(other);
    }
    // True once the pool has closed the socket (end of stream on the peer).
    bool closed() const {
        char byte;
        return read(other, &byte, 1) == 0;
    }
};

class ServerPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_now(1000000);
        pool_options(8, pool_timeout);
        warn_level = 0;
        log_ring = logbuffer_new(1000);
    }
    void TearDown() override {
        delete general_section;
        clock_release();
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
    }
    int log_count(const std::string &text) {
        int n = 0;
        for (LOGNODE *node = log_ring->newest; node; node = node->older)
            if (strstr(node->line, text.c_str())) n++;
        return n;
    }
};

struct Key {
    const char *protocol;
    const char *host;
    int port;
    const char *user;
    const char *password;
    int forward_type;
    const char *forward_user;
};

TEST_F(ServerPoolTest, KeyMatching) {
    struct Case {
        const char *what;
        Key pooled;
        Key wanted;
        bool found;
    } cases[] = {
        {"same key",
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         true},
        {"texts ignore case",
         {"http", "Origin.Example", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         {"HTTP", "origin.example", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         true},
        {"other port",
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         {"http", "origin", 8080, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         false},
        {"other host",
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         {"http", "other", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         false},
        {"other scheme",
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         {"https", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         false},
        {"same user and password",
         {"http", "origin", 80, "alice", "Secret", FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, "alice", "Secret", FORWARD_DIRECT, nullptr},
         true},
        {"password in other case",
         {"http", "origin", 80, "alice", "Secret", FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, "alice", "SECRET", FORWARD_DIRECT, nullptr},
         false},
        {"user in other case",
         {"http", "origin", 80, "Alice", "Secret", FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, "alice", "Secret", FORWARD_DIRECT, nullptr},
         false},
        {"other user",
         {"http", "origin", 80, "alice", "secret", FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, "bob", "secret", FORWARD_DIRECT, nullptr},
         false},
        {"user wanted, entry has none",
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, "alice", "secret", FORWARD_DIRECT, nullptr},
         false},
        {"no user wanted, entry has one",
         {"http", "origin", 80, "alice", "secret", FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         false},
        {"entry with user, no password",
         {"http", "origin", 80, "alice", nullptr, FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, "alice", nullptr, FORWARD_DIRECT, nullptr},
         false},
        {"entry with user, no password, asked with one",
         {"http", "origin", 80, "alice", nullptr, FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, "alice", "secret", FORWARD_DIRECT, nullptr},
         false},
        {"other password",
         {"http", "origin", 80, "alice", "secret", FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, "alice", "guess", FORWARD_DIRECT, nullptr},
         false},
        {"same parent user",
         {"http", "parent", 3128, nullptr, nullptr, FORWARD_HTTP, "proxyuser"},
         {"http", "parent", 3128, nullptr, nullptr, FORWARD_HTTP, "proxyuser"},
         true},
        {"other parent user",
         {"http", "parent", 3128, nullptr, nullptr, FORWARD_HTTP, "proxyuser"},
         {"http", "parent", 3128, nullptr, nullptr, FORWARD_HTTP, "otheruser"},
         false},
        {"parent user in other case",
         {"http", "parent", 3128, nullptr, nullptr, FORWARD_HTTP, "proxyuser"},
         {"http", "parent", 3128, nullptr, nullptr, FORWARD_HTTP, "ProxyUser"},
         false},
        {"authenticated parent, anonymous request",
         {"http", "parent", 3128, nullptr, nullptr, FORWARD_HTTP, "proxyuser"},
         {"http", "parent", 3128, nullptr, nullptr, FORWARD_HTTP, nullptr},
         false},
        {"anonymous parent, authenticated request",
         {"http", "parent", 3128, nullptr, nullptr, FORWARD_HTTP, nullptr},
         {"http", "parent", 3128, nullptr, nullptr, FORWARD_HTTP, "proxyuser"},
         false},
        {"through SOCKS, wanted direct",
         {"http", "origin", 80, nullptr, nullptr, FORWARD_SOCKS5, nullptr},
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         false},
        {"direct, wanted through CONNECT parent",
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         {"http", "origin", 80, nullptr, nullptr, FORWARD_CONNECT, nullptr},
         false},
        {"direct ignores a parent user",
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, "stale"},
         {"http", "origin", 80, nullptr, nullptr, FORWARD_DIRECT, nullptr},
         true},
    };
    for (const Case &c : cases) {
        ServerPool pool;
        Peer peer;
        ASSERT_NE(peer.socket, nullptr);
        const Key &p = c.pooled;
        pool.Add(peer.socket, p.protocol, p.host, p.port, p.user, p.password, p.forward_type, p.forward_user);
        const Key &w = c.wanted;
        Socket *found = pool.Find(w.protocol, w.host, w.port, w.user, w.password, w.forward_type, w.forward_user);
        EXPECT_EQ(found != nullptr, c.found) << c.what;
        if (found) {
            EXPECT_EQ(found, peer.socket) << c.what;
            EXPECT_EQ(pool.Count(), 0) << c.what;
            delete found;
        } else {
            EXPECT_EQ(pool.Count(), 1) << c.what;
        }
    }
}

TEST_F(ServerPoolTest, FindTakesTheOldestMatchOnce) {
    ServerPool pool;
    Peer first, second;
    pool.Add(first.socket, "http", "origin", 80, nullptr, nullptr);
    pool.Add(second.socket, "http", "origin", 80, nullptr, nullptr);
    Socket *a = pool.Find("http", "origin", 80, nullptr, nullptr);
    Socket *b = pool.Find("http", "origin", 80, nullptr, nullptr);
    EXPECT_EQ(a, first.socket);
    EXPECT_EQ(b, second.socket);
    EXPECT_EQ(pool.Find("http", "origin", 80, nullptr, nullptr), nullptr);
    // The sockets taken out belong to the caller: still open.
    EXPECT_FALSE(first.closed());
    delete a;
    delete b;
}

TEST_F(ServerPoolTest, FullPoolClosesTheOldestAndWarnsOnce) {
    pool_options(2, pool_timeout);
    ServerPool pool;
    Peer peers[4];
    pool.Add(peers[0].socket, "http", "a", 80, nullptr, nullptr);
    pool.Add(peers[1].socket, "http", "b", 80, nullptr, nullptr);
    EXPECT_EQ(log_count("Connection Pool: size:"), 0);
    pool.Add(peers[2].socket, "http", "c", 80, nullptr, nullptr);
    EXPECT_TRUE(peers[0].closed());
    EXPECT_FALSE(peers[1].closed());
    EXPECT_EQ(pool.Count(), 2);
    EXPECT_EQ(pool.Find("http", "a", 80, nullptr, nullptr), nullptr);
    EXPECT_EQ(log_count("Connection Pool: size:2 is inadequate, consider increasing this, else reduce Connection "
                        "Pool Timeout"),
              1);
    // "a" was a miss, so the pool still holds b and c; one more evicts b
    // without a second warning at the same size.
    pool.Add(peers[3].socket, "http", "d", 80, nullptr, nullptr);
    EXPECT_TRUE(peers[1].closed());
    EXPECT_EQ(log_count("Connection Pool: size:"), 1);
    // A clean resets the warning level.
    pool.Clean(0);
    EXPECT_EQ(warn_level, 0);
    Peer more;
    pool.Add(more.socket, "http", "e", 80, nullptr, nullptr);
    EXPECT_EQ(log_count("Connection Pool: size:"), 2);
}

TEST_F(ServerPoolTest, CleanDropsEntriesAsOldAsTheTimeout) {
    ServerPool pool;
    Peer old_peer, young_peer;
    set_now(1000);
    pool.Add(old_peer.socket, "http", "old", 80, nullptr, nullptr);
    set_now(1010);
    pool.Add(young_peer.socket, "http", "young", 80, nullptr, nullptr);
    set_now(1000 + pool_timeout - 1);
    EXPECT_EQ(pool.Clean(0), 0);
    set_now(1000 + pool_timeout);  // exactly as old as the time-out
    EXPECT_EQ(pool.Clean(0), 1);
    EXPECT_TRUE(old_peer.closed());
    EXPECT_FALSE(young_peer.closed());
    EXPECT_EQ(pool.Count(), 1);
}

TEST_F(ServerPoolTest, CleanDropsEntriesPastTheSize) {
    ServerPool pool;
    Peer peers[4];
    for (int i = 0; i < 4; i++) pool.Add(peers[i].socket, "http", "h", 80 + i, nullptr, nullptr);
    // The size shrank meanwhile (a configuration change): entries numbered
    // above it go.
    pool_options(1, pool_timeout);
    EXPECT_EQ(pool.Clean(0), 2);
    EXPECT_FALSE(peers[0].closed());
    EXPECT_FALSE(peers[1].closed());
    EXPECT_TRUE(peers[2].closed());
    EXPECT_TRUE(peers[3].closed());
}

TEST_F(ServerPoolTest, ForcedCleanEmptiesThePool) {
    ServerPool pool;
    Peer peers[3];
    for (int i = 0; i < 3; i++) pool.Add(peers[i].socket, "icap", "scanner", 1344, nullptr, nullptr);
    EXPECT_EQ(pool.Clean(1), 3);
    EXPECT_EQ(pool.Count(), 0);
    for (int i = 0; i < 3; i++) EXPECT_TRUE(peers[i].closed());
    EXPECT_EQ(pool.Clean(1), 0);
}

TEST_F(ServerPoolTest, DestructorClosesEverything) {
    Peer peer;
    {
        ServerPool pool;
        pool.Add(peer.socket, "httpauth", "/run/httpauthd.sock", 0, nullptr, nullptr);
    }
    EXPECT_TRUE(peer.closed());
}

TEST_F(ServerPoolTest, HitsAndMissesAreCounted) {
    GLOBAL_T *saved = global;
    GLOBAL_T local;
    memset((void *)&local, 0, sizeof local);
    local.stats = new Stats();
    local.stats->AddGroup("connection pool", STATGROUP_PLAIN);
    local.stats->AddCounter("connection pool", "hit", STAT_NUMBER);
    local.stats->AddCounter("connection pool", "miss", STAT_NUMBER);
    global = &local;
    {
        ServerPool pool;
        Peer peer;
        pool.Add(peer.socket, "http", "origin", 80, nullptr, nullptr);
        EXPECT_EQ(pool.Find("http", "elsewhere", 80, nullptr, nullptr), nullptr);
        Socket *found = pool.Find("http", "origin", 80, nullptr, nullptr);
        delete found;
    }
    StatGroup *group = local.stats->FindGroup("connection pool");
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->find("hit")->value, 1u);
    EXPECT_EQ(group->find("miss")->value, 1u);
    global = saved;
    local.stats->Delete();
    delete local.stats;
}

// A connection whose server spoke (or closed) while it was idle is out of
// step: Find closes it and hands out the next match instead.
TEST_F(ServerPoolTest, FindSkipsConnectionsThatSpokeWhileIdle) {
    ServerPool pool;
    Peer spoke, closed, fine;
    pool.Add(spoke.socket, "http", "origin", 80, nullptr, nullptr);
    pool.Add(closed.socket, "http", "origin", 80, nullptr, nullptr);
    pool.Add(fine.socket, "http", "origin", 80, nullptr, nullptr);
    ASSERT_EQ(write(spoke.other, "x", 1), 1);
    close(closed.other);
    closed.other = -1;
    Socket *found = pool.Find("http", "origin", 80, nullptr, nullptr);
    EXPECT_EQ(found, fine.socket);
    // Closed with its unread byte: the peer sees a reset rather than an end.
    char byte;
    ssize_t got = read(spoke.other, &byte, 1);
    EXPECT_TRUE(got == 0 || (got < 0 && errno != EAGAIN)) << got;
    EXPECT_EQ(pool.Count(), 0);
    delete found;
}

// Workers pool and take connections of one key at once: every connection
// goes to one taker only, and none is lost.
TEST_F(ServerPoolTest, ConcurrentAddAndFindHandEachConnectionOnce) {
    pool_options(1000, pool_timeout);
    ServerPool pool;
    std::mutex held_mutex;
    std::set<Socket *> held;
    std::atomic<int> added{0}, taken{0}, twice{0};
    std::vector<std::thread> threads;
    // The peers stay open until every thread is done: a closed one would be
    // dropped by the next Find.
    std::vector<std::vector<int>> others(8);
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; i++) {
                int fds[2];
                if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) break;
                others[(size_t)t].push_back(fds[1]);
                pool.Add(new Socket(fds[0]), "http", "origin", 80, nullptr, nullptr);
                added++;
                Socket *found = pool.Find("http", "origin", 80, nullptr, nullptr);
                if (!found) continue;
                taken++;
                {
                    std::lock_guard<std::mutex> lock(held_mutex);
                    if (!held.insert(found).second) twice++;
                }
                {
                    std::lock_guard<std::mutex> lock(held_mutex);
                    held.erase(found);
                }
                delete found;
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    for (const std::vector<int> &fds : others)
        for (int fd : fds) close(fd);
    EXPECT_EQ(twice.load(), 0);
    EXPECT_EQ(added.load(), 1600);
    EXPECT_EQ(taken.load() + pool.Count(), added.load());
}

}  // namespace
