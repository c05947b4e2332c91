#include "network.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "atom.h"
#include "cache_fixture.h"
#include "clock.h"
#include "config_fixture.h"
#include "filebuf.h"
#include "global.h"
#include "hash.h"
#include "header.h"
#include "mem.h"
#include "misc.h"
#include "origin_fixture.h"
#include "perflog.h"
#include "settings.h"
#include "socket.h"
#include "stats.h"
#include "xml.h"

namespace {

/* ---- helpers ---- */

using origintest::free_port;

// A plain client connection to addr:port, optionally from a given address.
int tcp_connect(const char *address, int port, const char *from = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (from) {
        struct sockaddr_in local;
        memset(&local, 0, sizeof local);
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        bind(fd, (struct sockaddr *)&local, sizeof local);
    }
    struct sockaddr_in remote;
    memset(&remote, 0, sizeof remote);
    remote.sin_family = AF_INET;
    remote.sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, address, &remote.sin_addr);
    if (connect(fd, (struct sockaddr *)&remote, sizeof remote) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads what the peer sends until it closes or `limit` bytes (bounded by a
// receive time-out).
std::string read_all(int fd, size_t limit = 1 << 20) {
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string data;
    char buffer[4096];
    while (data.size() < limit) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        data.append(buffer, (size_t)n);
    }
    return data;
}

void write_all(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        ASSERT_GT(n, 0);
        done += (size_t)n;
    }
}

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string port_bytes(int port) { return std::string{(char)(port >> 8), (char)(port & 0xFF)}; }

// The scripted SOCKS server: a Python process speaking on a free port.
class Standin {
public:
    int port = 0;

    explicit Standin(const std::string &arguments) {
        // The system interpreter starts much faster than a version-manager shim.
        const char *python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
        std::string command = std::string(python) + " " KORVANTEL_SOURCE_DIR "/tests/e2e/socks_standin.py " + arguments;
        out_ = popen(command.c_str(), "r");
        std::string line = next_line();
        if (line.rfind("PORT ", 0) == 0) port = atoi(line.c_str() + 5);
    }
    ~Standin() {
        // Read to the end so that the server's last lines find a reader.
        for (int i = 0; i < 100 && !next_line().empty(); i++) {
        }
        if (out_) pclose(out_);
    }
    // The hex of the bytes the server received during the handshake.
    std::string request() {
        for (int i = 0; i < 10; i++) {
            std::string line = next_line();
            if (line.empty()) return "(none)";
            if (line.rfind("REQUEST ", 0) == 0) return line.substr(8);
        }
        return "(none)";
    }

private:
    FILE *out_ = nullptr;

    std::string next_line() {
        char buffer[4096];
        if (!out_ || !fgets(buffer, sizeof buffer, out_)) return "";
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        return line;
    }
};

/* ---- counters fed through the hooks ---- */

// The network layer's counters in the program-wide statistics, counted
// from stats_reset on.
const char *const stat_names[][2] = {{"network", "successful connections"},
                                     {"network", "failed connections"},
                                     {"network", "DNS failures"},
                                     {"DNS cache", "hit"},
                                     {"DNS cache", "miss"}};
const size_t STAT_NAMES = sizeof stat_names / sizeof *stat_names;
uint32_t stat_base[STAT_NAMES];
uint32_t stat_value(size_t i) {
    StatGroup *group = global->stats->FindGroup(stat_names[i][0]);
    StatCounter *counter = group ? group->find(stat_names[i][1]) : nullptr;
    return counter ? counter->value : 0;
}
void stats_reset() {
    for (size_t i = 0; i < STAT_NAMES; i++) stat_base[i] = stat_value(i);
}
// Changes of one counter, named "group/counter".
int count_of(const std::string &what) {
    for (size_t i = 0; i < STAT_NAMES; i++)
        if (what == std::string(stat_names[i][0]) + "/" + stat_names[i][1]) return (int)(stat_value(i) - stat_base[i]);
    return -1;
}
// Changes of them all.
int stats_changes() {
    int n = 0;
    for (size_t i = 0; i < STAT_NAMES; i++) n += (int)(stat_value(i) - stat_base[i]);
    return n;
}

// The performance log's network counters, counted from perf_reset on.
using PerfCounterGet = uint64_t (PerformanceLog::*)() const;
const PerfCounterGet perf_counters[] = {&PerformanceLog::get_new_connection, &PerformanceLog::get_connection_fail,
                                        &PerformanceLog::get_dns_hit, &PerformanceLog::get_dns_miss,
                                        &PerformanceLog::get_dns_fail};
uint64_t perf_base[sizeof perf_counters / sizeof *perf_counters];
void perf_reset() {
    for (size_t i = 0; i < sizeof perf_counters / sizeof *perf_counters; i++)
        perf_base[i] = (performance_log->*perf_counters[i])();
}
int perf_count_of(PerfCounterGet get) {
    for (size_t i = 0; i < sizeof perf_counters / sizeof *perf_counters; i++)
        if (perf_counters[i] == get) return (int)((performance_log->*get)() - perf_base[i]);
    return -1;
}

time_t fake_now = 1000000;
void set_now(time_t now) {
    fake_now = now;
    clock_set(now);
}

// A request head naming host:port, as the forwarding code finds it.
void request_for(CONNECTION_T *c, const char *host, int port) {
    c->request = header_new();
    c->request->host = xstrdup(host);
    c->request->port = port;
}

void request_free(CONNECTION_T *c) {
    http_header_free(c->request);
    c->request = nullptr;
}

class NetworkTest : public ::testing::Test {
protected:
    HASH_TABLE *table = nullptr;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    char saved_username[256];

    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        global = new GLOBAL_T();
        globalstats_init();
        stats_reset();
        perf_reset();
        net_init();
        table = hash_create(DNSCACHE_BUCKETS);
        dnscache_init(table, &lock);
        memcpy(saved_username, username, sizeof saved_username);
    }
    void TearDown() override {
        net_listen_closeall();
        dnscache_init(nullptr, nullptr);
        hash_destroy(table);
        delete general_section;
        pthread_mutex_lock(&atomlock);
        stats_release(global->stats);
        pthread_mutex_unlock(&atomlock);
        delete global;
        global = nullptr;
        clock_release();
        memcpy(username, saved_username, sizeof saved_username);
    }
};

// A record whose client and server are the local ends of two socket pairs;
// the test drives the far ends.
struct Pairs {
    CONNECTION_T *c;
    int client_peer;
    int server_peer;

    Pairs() {
        int client_pair[2], server_pair[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, client_pair);
        socketpair(AF_UNIX, SOCK_STREAM, 0, server_pair);
        c = connection_new();
        c->client = new Socket(client_pair[0]);
        c->server = new Socket(server_pair[0]);
        client_peer = client_pair[1];
        server_peer = server_pair[1];
    }
    ~Pairs() {
        delete c->client;
        delete c->server;
        c->client = c->server = nullptr;
        connection_free(c);
        if (client_peer >= 0) close(client_peer);
        if (server_peer >= 0) close(server_peer);
    }
    void close_client_peer() {
        close(client_peer);
        client_peer = -1;
    }
    void close_server_peer() {
        close(server_peer);
        server_peer = -1;
    }
};

/* ---- connecting ---- */

TEST_F(NetworkTest, ConnectErrorCodes) {
    int closed_port = free_port();
    struct Case {
        const char *host;
        int port;
        int expected;
    } cases[] = {
        {nullptr, 80, -1},
        {"127.0.0.1", 0, -1},
        {"127.0.0.1", -7, -1},
        {"127.0.0.1", closed_port, -2},
        {"nonexistent.invalid", 80, -3},
    };
    for (const Case &test : cases) {
        stats_reset();
        perf_reset();
        SCOPED_TRACE(test.host ? test.host : "(null)");
        EXPECT_EQ(net_connect(test.host, test.port, 5), test.expected);
        EXPECT_EQ(count_of("network/failed connections"), 1);
        EXPECT_EQ(perf_count_of(&PerformanceLog::get_connection_fail), 1);
        EXPECT_EQ(count_of("network/DNS failures"), test.expected == -3 ? 1 : 0);
        EXPECT_EQ(count_of("network/successful connections"), 0);
    }
}

TEST_F(NetworkTest, ConnectGivesBlockingDescriptorFromChosenAddress) {
    int port = free_port();
    int slot = net_listen(port, "127.0.0.1");
    ASSERT_GE(slot, 0);
    in_addr_t local;
    inet_pton(AF_INET, "127.0.0.4", &local);
    int fd = net_connect("127.0.0.1", port, local, 5);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
#ifdef IP_BIND_ADDRESS_NO_PORT
    // The local port is left to connect, not searched for by bind.
    int no_port = 0;
    socklen_t length = sizeof no_port;
    ASSERT_EQ(getsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &no_port, &length), 0);
    EXPECT_EQ(no_port, 1);
#endif
    EXPECT_EQ(count_of("network/successful connections"), 1);
    EXPECT_EQ(perf_count_of(&PerformanceLog::get_new_connection), 1);

    CONNECTION_T *c = net_accept(5);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->ip, "127.0.0.4");
    close(fd);
    net_close(c);
}

/* ---- listening and accepting ---- */

TEST(NetUnixConnect, ReachesListenerRefusesMissingAndOverlongPaths) {
    char directory[] = "/tmp/netunixXXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    std::string path = std::string(directory) + "/daemon.sock";
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(listener, (struct sockaddr *)&address, sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);

    int fd = net_unix_connect(path.c_str());
    ASSERT_GE(fd, 0);
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(write(fd, "ping", 4), 4);
    char got[4];
    ASSERT_EQ(read(peer, got, sizeof got), 4);
    EXPECT_EQ(std::string(got, 4), "ping");
    close(peer);
    close(fd);

    EXPECT_EQ(net_unix_connect((std::string(directory) + "/none.sock").c_str()), -1);
    // Longer than a socket address holds: refused, not cut to another name.
    std::string overlong = path + std::string(sizeof address.sun_path, 'x');
    errno = 0;
    EXPECT_EQ(net_unix_connect(overlong.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

    close(listener);
    unlink(path.c_str());
    rmdir(directory);
}

// The proxy's own listeners in every spelling of their address; a listener
// on every address counts for every address of the machine.
TEST_F(NetworkTest, OwnDestinationsAreTheListeners) {
    int one = free_port(), every = free_port(), other = free_port();
    ASSERT_EQ(net_listen(one, "127.0.0.1"), 0);
    ASSERT_EQ(net_listen(every, nullptr), 1);
    // An address of one of the machine's interfaces other than loopback.
    std::string interface_address;
    struct ifaddrs *list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    for (struct ifaddrs *i = list; i && interface_address.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &((struct sockaddr_in *)i->ifa_addr)->sin_addr, text, sizeof text);
        if (strncmp(text, "127.", 4) != 0) interface_address = text;
    }
    freeifaddrs(list);
    struct Case {
        std::string host;
        int port;
        bool resolve, own;
    } cases[] = {
        {"127.0.0.1", one, false, true},    {"127.1", one, false, true},        {"2130706433", one, false, true},
        {"0x7f.0.0.1", one, false, true},   {"0177.0.0.1", one, false, true},   {"0.0.0.0", one, false, true},
        {"localhost", one, true, true},     {"LOCALHOST", one, true, true},     {"localhost", one, false, false},
        {"127.0.0.2", one, true, false},    {"127.0.0.1", other, true, false},  {"localhost", other, true, false},
        {"127.9.8.7", every, false, true},  {"0", every, false, true},          {"localhost", every, true, true},
        {"192.0.2.1", every, false, false}, {"no-such-host.invalid", one, true, false}, {"", one, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host + ":" + std::to_string(c.port == one ? 1 : c.port == every ? 2 : 0));
        EXPECT_EQ(net_own_destination(c.host.c_str(), c.port, c.resolve), c.own);
    }
    EXPECT_FALSE(net_own_destination(nullptr, one, true));
    if (!interface_address.empty()) {
        SCOPED_TRACE(interface_address);
        EXPECT_TRUE(net_own_destination(interface_address.c_str(), every, false));
        EXPECT_FALSE(net_own_destination(interface_address.c_str(), one, false));
    }
    EXPECT_TRUE(net_listening_port(one));
    EXPECT_TRUE(net_listening_port(every));
    EXPECT_FALSE(net_listening_port(other));
}

TEST_F(NetworkTest, AcceptFillsRecord) {
    int port = free_port();
    int slot = net_listen(port, nullptr);  // every local address
    ASSERT_EQ(slot, 0);
    EXPECT_EQ(socklist[0].ip, nullptr);
    int fd = tcp_connect("127.0.0.2", port, "127.0.0.3");
    ASSERT_GE(fd, 0);
    CONNECTION_T *c = net_accept(5);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->ip, "127.0.0.3");
    EXPECT_STREQ(c->interface_ip, "127.0.0.2");
    EXPECT_EQ(c->port, port);
    EXPECT_EQ(c->log.client, "127.0.0.3");
    ASSERT_NE(c->client, nullptr);
    c->client->Write("hi", 2);
    c->client->Flush();
    char buffer[2];
    EXPECT_EQ(read(fd, buffer, 2), 2);
    net_close(c);
    EXPECT_EQ(read_all(fd), "");
    close(fd);
}

TEST_F(NetworkTest, AcceptWithoutConnectionReturnsNull) {
    EXPECT_EQ(net_accept(0), nullptr);  // no listener at all
    ASSERT_GE(net_listen(free_port(), "127.0.0.1"), 0);
    EXPECT_EQ(net_accept(0), nullptr);
}

TEST_F(NetworkTest, ListenerSlotsAndFailures) {
    // A port already taken fails and leaves the slot free.
    int taken_port = free_port();
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)taken_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, (struct sockaddr *)&address, sizeof address), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    EXPECT_EQ(net_listen(taken_port, "127.0.0.1"), -1);
    EXPECT_EQ(socklist[0].active, 0);
    close(blocker);

    // An address that is not IPv4 means every local address.
    int port = free_port();
    EXPECT_EQ(net_listen(port, "not-an-address"), 0);
    int fd = tcp_connect("127.0.0.5", port);
    EXPECT_GE(fd, 0);
    close(fd);

    for (int i = 1; i < NET_LISTENERS; i++) EXPECT_EQ(net_listen(free_port(), "127.0.0.1"), i);
    EXPECT_EQ(net_listen(free_port(), "127.0.0.1"), -1);
    net_listen_closeall();
    for (int i = 0; i < NET_LISTENERS; i++) EXPECT_EQ(socklist[i].active, 0);
    EXPECT_EQ(net_listen(free_port(), "127.0.0.1"), 0);
}

TEST_F(NetworkTest, KeepAliveCountWithoutInterval) {
    int saved_count = TCP_KEEPCNT_COUNTS, saved_interval = TCP_KEEPINTVL_TIME;
    TCP_KEEPCNT_COUNTS = 3;
    TCP_KEEPINTVL_TIME = 0;
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    int default_interval = 0;
    socklen_t length = sizeof default_interval;
    getsockopt(probe, IPPROTO_TCP, TCP_KEEPINTVL, &default_interval, &length);
    close(probe);

    int port = free_port();
    int slot = net_listen(port, "127.0.0.1");
    ASSERT_GE(slot, 0);
    int fd = net_connect("127.0.0.1", port, 5);
    ASSERT_GE(fd, 0);
    for (int descriptor : {socklist[slot].fd, fd}) {
        int value = 0;
        length = sizeof value;
        getsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &value, &length);
        EXPECT_EQ(value, 3);
        getsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &value, &length);
        EXPECT_EQ(value, default_interval);
        getsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &value, &length);
        EXPECT_EQ(value, 1);
    }
    close(fd);
    TCP_KEEPCNT_COUNTS = saved_count;
    TCP_KEEPINTVL_TIME = saved_interval;
}

/* ---- name resolution ---- */

std::string dotted(HOSTENT *host) {
    if (!host) return "(null)";
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, host->address, text, sizeof text);
    hostent_free(host);
    return text;
}

TEST_F(NetworkTest, DnsCacheServesForAnHourAcrossCase) {
    set_now(5000000);
    EXPECT_EQ(dotted(net_dns("LocalHost")), "127.0.0.1");
    EXPECT_EQ(count_of("DNS cache/miss"), 1);
    HASH_ENTRY *entry = hash_search(table, "localhost");
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->key, "localhost");
    EXPECT_STREQ((char *)entry->data, "127.0.0.1");
    EXPECT_EQ(entry->time, fake_now);

    // Mark the cached address so an answer from the cache can be told apart.
    free(entry->data);
    entry->data = xstrdup("127.0.0.9");
    struct Step {
        time_t age;
        const char *expected;
    } steps[] = {{0, "127.0.0.9"}, {3599, "127.0.0.9"}, {3600, "127.0.0.9"}, {3601, "127.0.0.1"}};
    time_t inserted = fake_now;
    for (const Step &step : steps) {
        set_now(inserted + step.age);
        SCOPED_TRACE(step.age);
        EXPECT_EQ(dotted(net_dns("LOCALHOST")), step.expected);
    }
    EXPECT_EQ(count_of("DNS cache/hit"), 3);
    EXPECT_EQ(count_of("DNS cache/miss"), 2);
    EXPECT_EQ(perf_count_of(&PerformanceLog::get_dns_hit), 3);
    EXPECT_EQ(perf_count_of(&PerformanceLog::get_dns_miss), 2);
    entry = hash_search(table, "localhost");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->time, inserted + 3601);  // renewed by the new look-up
}

TEST_F(NetworkTest, DnsAddressesAndFailuresAreNotCached) {
    struct Case {
        const char *host;
        const char *expected;
    } cases[] = {
        {"127.0.0.5", "127.0.0.5"},        {"...", "(null)"}, {"999.1.1.1", "(null)"},
        {"nonexistent.invalid", "(null)"}, {"", "(null)"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.host);
        EXPECT_EQ(dotted(net_dns(test.host)), test.expected);
        EXPECT_EQ(hash_search(table, test.host), nullptr);
    }
    EXPECT_EQ(net_dns(nullptr), nullptr);
    EXPECT_EQ(perf_count_of(&PerformanceLog::get_dns_fail), 1);
    EXPECT_EQ(stats_changes(), 0);

    // A name too long for the cache key is refused, not cut to another name.
    std::string long_name(600, 'a');
    EXPECT_EQ(net_dns(long_name.c_str()), nullptr);
}

TEST_F(NetworkTest, DnsCleanDropsOldEntries) {
    time_t now = time(nullptr);
    HASH_ENTRY *old_entry = hash_insert(table, "old.example", xstrdup("10.0.0.1"));
    old_entry->time = now - 4000;
    HASH_ENTRY *fresh = hash_insert(table, "fresh.example", xstrdup("10.0.0.2"));
    fresh->time = now - 100;
    dnscache_clean(nullptr);
    EXPECT_EQ(hash_search(table, "old.example"), nullptr);
    EXPECT_NE(hash_search(table, "fresh.example"), nullptr);
}

TEST_F(NetworkTest, DnsWithoutCacheStillResolves) {
    dnscache_init(nullptr, nullptr);
    EXPECT_EQ(dotted(net_dns("localhost")), "127.0.0.1");
    dnscache_init(table, &lock);
    EXPECT_EQ(hash_search(table, "localhost"), nullptr);
}

/* ---- one-way copy ---- */

TEST_F(NetworkTest, TransferCopiesServerToClient) {
    general_ctimeout_use(1);
    struct Case {
        size_t sent;
        long long count;
        bool ends;  // the server ends its stream after sending
        long long expected;
        bool failed;
    } cases[] = {
        {20000, -1, true, 20000, false},
        {100, 100, true, 100, false},
        {100, 200, true, 100, true},
        {0, -1, true, 0, false},
        // until the end, but the end never comes: cut short, not whole
        {100, -1, false, 100, true},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.count);
        Pairs p;
        std::string body(test.sent, 'x');
        for (size_t i = 0; i < body.size(); i++) body[i] = (char)('a' + i % 26);
        std::thread writer([&] {
            write_all(p.server_peer, body);
            if (test.ends) shutdown(p.server_peer, SHUT_WR);
        });
        EXPECT_EQ(net_transfer(p.c, 1, test.count), test.expected);
        writer.join();
        EXPECT_EQ((p.c->flags & CONN_FAILED) != 0, test.failed);
        p.c->client->Flush();
        shutdown(p.client_peer, SHUT_WR);
        delete p.c->client;
        p.c->client = nullptr;
        EXPECT_EQ(read_all(p.client_peer), body.substr(0, (size_t)test.expected));
    }
    delete general_section;
}

TEST_F(NetworkTest, TransferSendsReadAheadFirstAndToServer) {
    Pairs p;
    p.c->client->PushFront("held", 4);
    write_all(p.client_peer, "more");
    shutdown(p.client_peer, SHUT_WR);
    EXPECT_EQ(net_transfer(p.c, 0, -1), 8);
    delete p.c->server;
    p.c->server = nullptr;
    EXPECT_EQ(read_all(p.server_peer), "heldmore");
}

TEST_F(NetworkTest, TransferKeepsPipelinedRequest) {
    general_ctimeout_use(1);
    Pairs p;
    write_all(p.client_peer, "GET /next");
    EXPECT_EQ(net_transfer(p.c, 1, -1), 0);  // the wait for the server ends it
    EXPECT_NE(p.c->flags & CONN_FAILED, 0u);   // without the server's end: cut short
    ASSERT_EQ(p.c->client->in_length, 9u);
    EXPECT_EQ(std::string(p.c->client->in, 9), "GET /next");
    delete general_section;
}

TEST_F(NetworkTest, TransferWithoutClientFillsCacheForOthers) {
    general_ctimeout_use(1);  // also puts the shipped section definition in use
    nocache_init(0);
    CacheSection *cache = cachetest::cache_build(cachetest::cache_document({}, {}));
    CONNECTION_T *opener = connection_new();
    int number = 0;
    struct Case {
        unsigned flags;
        int readers;
        bool dropped;
    } cases[] = {
        {CONN_CACHE_WRITE, 2, true},
        {CONN_CACHE_WRITE, 1, false},
        {0, 3, false},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.readers);
        // The writer's reference and the others' on an object being written.
        std::string url = "http://e.test/transfer/" + std::to_string(number++);
        std::string head = cachetest::head_for(4);
        CACHEMAP *object = cache->cache_open(opener, url.c_str(), head.c_str(), CACHE_CREATE);
        ASSERT_NE(object, nullptr);
        for (int i = 1; i < test.readers; i++) ASSERT_EQ(cache->cache_open(opener, url.c_str(), nullptr, 0), object);
        Pairs p;
        p.c->flags = test.flags;
        p.c->cache = object;
        p.close_client_peer();
        EXPECT_EQ(net_transfer(p.c, 1, -1), 0);
        EXPECT_EQ((p.c->flags & CONN_CLIENT_DROPPED) != 0, test.dropped);
        EXPECT_EQ(p.c->client == nullptr, test.dropped);
        // Stopped before the server's end of stream: the body is cut short.
        EXPECT_NE(p.c->flags & CONN_FAILED, 0u);
        p.c->flags &= ~CONN_FAILED;
        if (test.dropped) {
            // Later data is still read (for the cache) with nowhere to go.
            write_all(p.server_peer, "body");
            p.close_server_peer();
            EXPECT_EQ(net_transfer(p.c, 1, 4), 4);
            EXPECT_EQ(p.c->flags & CONN_FAILED, 0u);
        }
        p.c->cache = nullptr;
        for (int i = 1; i < test.readers; i++) cache->cache_close(object, false);
        cache->cache_close(object, true);
    }
    delete cache;
    connection_free(opener);
    delete general_section;
}

/* ---- both-way relay ---- */

TEST_F(NetworkTest, ProxyRelaysBothWaysUpToCount) {
    Pairs p;
    write_all(p.client_peer, "hello");
    write_all(p.server_peer, "world!");
    EXPECT_EQ(net_proxy(p.c, 11), 11);
    p.c->client->Flush();
    p.c->server->Flush();
    char buffer[16];
    EXPECT_EQ(read(p.server_peer, buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(read(p.client_peer, buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer, 6), "world!");
}

TEST_F(NetworkTest, ProxyStopsWhenOneSideCloses) {
    struct Case {
        bool server_closes;
    } cases[] = {{true}, {false}};
    for (const Case &test : cases) {
        Pairs p;
        p.c->server->PushFront("ab", 2);  // read-ahead goes first
        if (test.server_closes) {
            write_all(p.server_peer, "bye");
            p.close_server_peer();
        } else {
            write_all(p.client_peer, "quit");
            p.close_client_peer();
        }
        EXPECT_EQ(net_proxy(p.c, -1), test.server_closes ? 5 : 6);
        if (test.server_closes) {
            delete p.c->client;
            p.c->client = nullptr;
            EXPECT_EQ(read_all(p.client_peer), "abbye");
        } else {
            delete p.c->server;
            p.c->server = nullptr;
            EXPECT_EQ(read_all(p.server_peer), "quit");
        }
    }
}

/* ---- reading into and sending buffers ---- */

TEST_F(NetworkTest, FilebufRead) {
    general_ctimeout_use(1);
    struct Case {
        size_t sent;
        bool close_after;
        long long count;
        int result;
        long long kept;
        bool failed;
    } cases[] = {
        {1000, false, 1000, 1, 1000, false}, {1000, true, 2000, 0, 1000, true},  // cut short by the server
        {1000, false, 2000, 0, 1000, true},                                      // the server stalls
        {1000, true, -1, 0, 1000, false},                                        // read until the end
        {1000, false, -1, 1, 1000, false},                                       // until the wait ends
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.count);
        Pairs p;
        write_all(p.server_peer, std::string(test.sent, 'z'));
        if (test.close_after) p.close_server_peer();
        Filebuf buffer;
        EXPECT_EQ(net_filebuf_read(&buffer, p.c, 1, test.count), test.result);
        EXPECT_EQ(buffer.size, test.kept);
        EXPECT_EQ((p.c->flags & CONN_FAILED) != 0, test.failed);
    }
    // Without a buffer the bytes are read and dropped.
    Pairs p;
    write_all(p.server_peer, "discard");
    EXPECT_EQ(net_filebuf_read(nullptr, p.c, 1, 7), 1);
    delete general_section;
}

TEST_F(NetworkTest, FilebufSend) {
    Pairs p;
    Filebuf buffer;
    buffer.Add("payload", 7);
    EXPECT_EQ(net_filebuf_send(&buffer, p.c, 1), 7);
    EXPECT_EQ(net_filebuf_send(&buffer, p.c, 0), 7);
    p.c->flags |= CONN_CLIENT_DROPPED;
    EXPECT_EQ(net_filebuf_send(&buffer, p.c, 0), 7);  // not sent
    delete p.c->client;
    delete p.c->server;
    p.c->client = p.c->server = nullptr;
    EXPECT_EQ(read_all(p.server_peer), "payload");
    EXPECT_EQ(read_all(p.client_peer), "payload");
}

TEST_F(NetworkTest, FilebufSendChunked) {
    int saved = BLOCKSIZE;
    BLOCKSIZE = 4;
    struct Case {
        std::string body;
        std::string wire;
    } cases[] = {
        {"abcdefghij", "4\r\nabcd\r\n4\r\nefgh\r\n2\r\nij\r\n0\r\n\r\n"},
        {"", "0\r\n\r\n"},
    };
    for (const Case &test : cases) {
        Pairs p;
        Filebuf buffer;
        buffer.Add(test.body.data(), (long long)test.body.size());
        EXPECT_EQ(net_filebuf_send_chunked(&buffer, p.c, 0), (long long)test.body.size());
        delete p.c->client;
        p.c->client = nullptr;
        EXPECT_EQ(read_all(p.client_peer), test.wire);
    }
    BLOCKSIZE = saved;
}

TEST_F(NetworkTest, CacheSendFromOffset) {
    general_ctimeout_use(1);  // also puts the shipped section definition in use
    nocache_init(0);
    CacheSection *cache = cachetest::cache_build(cachetest::cache_document({}, {}));
    CONNECTION_T *opener = connection_new();
    const std::string body = "0123456789";
    const char *url = "http://e.test/send/complete";
    CACHEMAP *writer = cache->cache_open(opener, url, cachetest::head_for(body.size()).c_str(), CACHE_CREATE);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(cache->add(writer, body.data(), (int)body.size()), (int)body.size());
    cache->cache_close(writer, true);
    CACHEMAP *object = cache->cache_open(opener, url, nullptr, 0);
    ASSERT_NE(object, nullptr);

    struct Case {
        long long offset;
        int direction;
        bool dropped;
        long long result;
        std::string wire;  // what the far end of that side reads
    } cases[] = {
        {0, 0, false, 10, "0123456789"},
        {4, 0, false, 6, "456789"},
        {-5, 0, false, 10, "0123456789"},  // counts as the start
        {10, 0, false, 0, ""},
        {99, 0, false, 0, ""},  // clamped to the end
        {3, 1, false, 7, "3456789"},
        {6, 0, true, 4, ""},  // a dropped client is sent nothing
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.offset);
        Pairs p;
        if (test.dropped) p.c->flags |= CONN_CLIENT_DROPPED;
        EXPECT_EQ(net_cache_send(object, p.c, test.direction, test.offset), test.result);
        delete p.c->client;
        delete p.c->server;
        p.c->client = p.c->server = nullptr;
        EXPECT_EQ(read_all(test.direction ? p.server_peer : p.client_peer), test.wire);
    }
    {
        Pairs p;
        EXPECT_EQ(net_cache_send(nullptr, p.c, 0, 0), 0);
        delete p.c->client;
        p.c->client = nullptr;
        EXPECT_EQ(net_cache_send(object, p.c, 0, 0), -1);  // no socket on that side
    }
    cache->cache_close(object, false);

    // An object still being written is followed to its end from the offset.
    const char *growing = "http://e.test/send/growing";
    writer = cache->cache_open(opener, growing, cachetest::head_for(body.size()).c_str(), CACHE_CREATE);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(cache->add(writer, body.data(), 4), 4);
    object = cache->cache_open(opener, growing, nullptr, 0);
    ASSERT_EQ(object, writer);
    std::thread rest([&] {
        usleep(100000);
        cache->add(writer, body.data() + 4, 6);
        cache->cache_close(writer, true);
    });
    {
        Pairs p;
        EXPECT_EQ(net_cache_send(object, p.c, 0, 2), 8);
        rest.join();
        delete p.c->client;
        p.c->client = nullptr;
        EXPECT_EQ(read_all(p.client_peer), "23456789");
    }
    cache->cache_close(object, false);
    delete cache;
    connection_free(opener);
    delete general_section;
}

/* ---- SOCKS ---- */

// Connects the record's server side to the stand-in.
bool attach(CONNECTION_T *c, int port) {
    int fd = tcp_connect("127.0.0.1", port);
    if (fd < 0) return false;
    c->server = new Socket(fd);
    return true;
}

bool echo_through(CONNECTION_T *c) {
    c->server->Write("ping", 4);
    c->server->Flush();
    char buffer[4];
    int got = 0;
    for (int i = 0; i < 4 && got < 4; i++) {
        int n = c->server->Read(buffer + got, 4 - got, 10);
        if (n <= 0) break;
        got += n;
    }
    return got == 4 && memcmp(buffer, "ping", 4) == 0;
}

TEST_F(NetworkTest, Socks4Request) {
    s_strncpy(username, "proxyuser", sizeof username);
    struct Case {
        const char *options;
        int expected;
    } cases[] = {
        {"", 1},
        {"--reply 0x5B", -2},
        {"--reply 0x5C", -4},
        {"--reply 0x5D", -4},
        {"--reply 0x00", -1},
        {"--reply 0x42", -1},
        {"--short", -2},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.options);
        origintest::Origin echo;  // copies back what it reads
        echo.echo = true;
        echo.start();
        Standin standin(std::string("--version 4 ") + test.options);
        ASSERT_GT(standin.port, 0);
        CONNECTION_T *c = connection_new();
        ASSERT_TRUE(attach(c, standin.port));
        request_for(c, "127.0.0.1", echo.port);
        EXPECT_EQ(proxy_socks4(c), test.expected);
        request_free(c);
        std::string expected_request = std::string("\x04\x01", 2) + port_bytes(echo.port) +
                                       std::string("\x7f\x00\x00\x01", 4) + "proxyuser" + std::string(1, '\0');
        EXPECT_EQ(standin.request(), hex(expected_request));
        if (test.expected == 1) {
            EXPECT_TRUE(echo_through(c));
        }
        delete c->server;
        c->server = nullptr;
        connection_free(c);
        if (test.expected != 1) {
            // Nobody connects to the echo server; let it go.
            int fd = tcp_connect("127.0.0.1", echo.port);
            if (fd >= 0) close(fd);
        }
    }
}

TEST_F(NetworkTest, Socks4UnresolvableNameSendsNothing) {
    Pairs p;
    EXPECT_EQ(socks4_request(p.c, "nonexistent.invalid", 80, "user"), -3);
    delete p.c->server;
    p.c->server = nullptr;
    EXPECT_EQ(read_all(p.server_peer), "");
}

TEST_F(NetworkTest, Socks5Request) {
    struct Case {
        const char *options;
        const char *user;
        const char *password;
        int expected;
        bool sends_login;
        bool reaches_request;
    } cases[] = {
        {"", nullptr, nullptr, 1, false, true},
        {"--bound-type 4", nullptr, nullptr, 1, false, true},
        {"--bound-type 3 --bound-length 200", nullptr, nullptr, 1, false, true},
        {"--bound-type 3 --bound-length 0", nullptr, nullptr, 1, false, true},
        {"--bound-type 9", nullptr, nullptr, 1, false, true},
        {"--method 2", "alice", "s3cret", 1, true, true},
        {"--method 2 --auth-status 1", "alice", "s3cret", -2, true, false},
        {"--method 2", "alice", nullptr, -2, false, false},
        {"--method 0xFF", nullptr, nullptr, -2, false, false},
        {"--reply 1", nullptr, nullptr, -2, false, true},
        {"--short", nullptr, nullptr, -2, false, true},
        {"--short --bound-type 3 --bound-length 200", nullptr, nullptr, -2, false, true},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.options);
        origintest::Origin echo;  // copies back what it reads
        echo.echo = true;
        echo.start();
        Standin standin(std::string("--version 5 ") + test.options);
        ASSERT_GT(standin.port, 0);
        CONNECTION_T *c = connection_new();
        ASSERT_TRUE(attach(c, standin.port));
        if (test.user) c->forward_user = xstrdup(test.user);
        if (test.password) c->forward_password = xstrdup(test.password);
        request_for(c, "localhost", echo.port);
        EXPECT_EQ(proxy_socks5(c), test.expected);
        request_free(c);
        if (test.expected == 1) {
            EXPECT_TRUE(echo_through(c));
        }
        delete c->server;
        c->server = nullptr;

        std::string expected_request("\x05\x02\x00\x02", 4);
        if (test.sends_login) {
            expected_request += '\x01';
            expected_request += (char)strlen(test.user);
            expected_request += test.user;
            expected_request += (char)strlen(test.password);
            expected_request += test.password;
        }
        if (test.reaches_request)
            expected_request += std::string("\x05\x01\x00\x03", 4) + '\x09' + "localhost" + port_bytes(echo.port);
        EXPECT_EQ(standin.request(), hex(expected_request));
        connection_free(c);
        if (test.expected != 1) {
            int fd = tcp_connect("127.0.0.1", echo.port);
            if (fd >= 0) close(fd);
        }
    }
}

TEST_F(NetworkTest, Socks5RefusesOverlongHostName) {
    Pairs p;
    std::string host(256, 'h');
    EXPECT_EQ(socks5_request(p.c, host.c_str(), 80, nullptr, nullptr), -2);
    delete p.c->server;
    p.c->server = nullptr;
    EXPECT_EQ(read_all(p.server_peer), "");
}

TEST_F(NetworkTest, SocksWithoutRequestFails) {
    Pairs p;
    EXPECT_EQ(proxy_socks4(p.c), -2);
    EXPECT_EQ(proxy_socks5(p.c), -2);
}

TEST_F(NetworkTest, Socks5ThroughDante) {
    const char *danted = "/usr/sbin/danted";
    if (access(danted, X_OK) != 0) GTEST_SKIP() << "danted not installed";
    char directory[] = "/tmp/korvantel-danteXXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    int port = free_port();
    std::string config = std::string(directory) + "/danted.conf";
    FILE *file = fopen(config.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fprintf(file,
            "logoutput: %s/danted.log\n"
            "internal: 127.0.0.1 port = %d\n"
            "external: 127.0.0.1\n"
            "socksmethod: none\n"
            "clientmethod: none\n"
            "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
            "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n",
            directory, port);
    fclose(file);
    std::string pidfile = std::string(directory) + "/danted.pid";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(danted, danted, "-f", config.c_str(), "-N", "1", "-p", pidfile.c_str(), (char *)nullptr);
        _exit(127);
    }
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; i++) {
        fd = tcp_connect("127.0.0.1", port);
        if (fd < 0) usleep(100000);
    }
    if (fd >= 0) {
        origintest::Origin echo;  // copies back what it reads
        echo.echo = true;
        echo.start();
        CONNECTION_T *c = connection_new();
        c->server = new Socket(fd);
        EXPECT_EQ(socks5_request(c, "127.0.0.1", echo.port, nullptr, nullptr), 1);
        EXPECT_TRUE(echo_through(c));
        delete c->server;
        c->server = nullptr;
        connection_free(c);
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string cleanup = std::string("rm -rf ") + directory;
    EXPECT_EQ(system(cleanup.c_str()), 0);
    ASSERT_GE(fd, 0) << "danted did not start";
}

/* ---- the "network" section ---- */

// The section's definition as shipped in the section-definition document.
const char network_definition[] = R"XML(<?xml version="1.0"?>
<section>
  <network>
    <comment>Network</comment>
    <desc>The addresses and ports the proxy accepts clients on, and the local address outgoing connections are made from.</desc>
    <global/>
    <template>
      <listen>
        <enabled n="0"><comment>Enabled</comment><value>true</value><type>BOOL</type><desc>Open this listener at start-up.</desc></enabled>
        <comment n="1"><comment>Comment</comment><value/><type>STRING</type><desc>A note about this listener.</desc></comment>
        <port n="2"><comment>Port</comment><value>8080</value><type>INT</type><desc>TCP port to accept clients on; -1 opens nothing.</desc></port>
        <ip n="3"><comment>Address</comment><value/><type>STRING</type><desc>Local IPv4 address to listen on; empty (or not an IPv4 address) listens on every local address. Changes take effect at the next start.</desc></ip>
      </listen>
      <interface>
        <enabled n="0"><comment>Enabled</comment><value>true</value><type>BOOL</type><desc>Use this entry.</desc></enabled>
        <comment n="1"><comment>Comment</comment><value/><type>STRING</type><desc>A note about this entry.</desc></comment>
        <profiles n="2"><comment>Profiles</comment><value/><type>STRING_LIST</type><desc>Profiles the request must have (a name preceded by ! must be absent); empty applies to every request.</desc></profiles>
        <ip n="3"><comment>Address</comment><value/><type>STRING</type><desc>Local IPv4 address that outgoing connections are bound to.</desc></ip>
      </interface>
    </template>
    <subsection>
      <listen><comment>Listen</comment><template>listen</template><desc>Addresses and ports to accept client connections on</desc></listen>
      <interface><comment>Interface</comment><template>interface</template><desc>Local address for outgoing connections; the first enabled entry whose profiles match is used</desc></interface>
    </subsection>
  </network>
</section>
)XML";

class NetworkSectionTest : public NetworkTest {
protected:
    NetworkSection *section = nullptr;

    void SetUp() override {
        NetworkTest::SetUp();
        TiXmlBase::SetCondenseWhiteSpace(false);
        delete sectionxml;
        sectionxml = new TiXmlDocument();
        sectionxml->Parse(network_definition);
        ASSERT_FALSE(sectionxml->Error()) << sectionxml->ErrorDesc();
        section = static_cast<NetworkSection *>(network_construct());
        ASSERT_EQ(section, network_section);
    }
    void TearDown() override {
        delete section;
        network_section = nullptr;
        delete sectionxml;
        sectionxml = nullptr;
        NetworkTest::TearDown();
    }

    void add_listen(bool enabled, int port, const char *ip) {
        Item item(section->subsections[0]);
        item.fields[0].int_value = enabled;
        item.fields[2].int_value = port;
        item.fields[3].string_value = ip;
        section->subsections[0].items.push_back(item);
    }
    void add_interface(bool enabled, const char *profiles, const char *ip) {
        Item item(section->subsections[1]);
        item.fields[0].int_value = enabled;
        item.fields[2].string_list = StringList(profiles, ",");
        item.fields[3].string_value = ip;
        section->subsections[1].items.push_back(item);
    }
    void rebuild() {
        section->write_lock();
        section->update();
        section->unlock();
    }
};

TEST_F(NetworkSectionTest, DefinitionMatchesWhatTheCodeReads) {
    std::vector<std::string> problems;
    EXPECT_TRUE(section_fields_check(section, &problems));
    for (const std::string &problem : problems) ADD_FAILURE() << problem;
}

TEST_F(NetworkSectionTest, CheckOpensEnabledListeners) {
    int first = free_port(), disabled = free_port(), every = free_port();
    add_listen(true, first, "127.0.0.1");
    add_listen(false, disabled, "127.0.0.1");
    add_listen(true, -1, "127.0.0.1");
    add_listen(true, every, "");
    rebuild();
    section->check();
    ASSERT_EQ(socklist[0].active, 1);
    EXPECT_EQ(socklist[0].port, first);
    EXPECT_STREQ(socklist[0].ip, "127.0.0.1");
    ASSERT_EQ(socklist[1].active, 1);
    EXPECT_EQ(socklist[1].port, every);
    EXPECT_EQ(socklist[1].ip, nullptr);
    EXPECT_EQ(socklist[2].active, 0);
    int fd = tcp_connect("127.0.0.6", every);
    EXPECT_GE(fd, 0);
    close(fd);
}

TEST_F(NetworkSectionTest, InterfaceSelectTakesFirstMatchingEntry) {
    CONNECTION_T *c = connection_new();
    EXPECT_EQ(section->interface_select(c), htonl(INADDR_ANY));  // no entries

    add_interface(false, "", "127.0.0.7");
    add_interface(true, "staff", "127.0.0.8");
    add_interface(true, "!guest", "127.0.0.10");
    add_interface(true, "", "127.0.0.9");
    rebuild();
    // The entries' conditions are profile conditions, negations included.
    struct Case {
        const char *profiles;
        const char *expected;
    } cases[] = {{"", "127.0.0.10"}, {"staff", "127.0.0.8"}, {"guest,staff", "127.0.0.8"}, {"guest", "127.0.0.9"}};
    for (const Case &test : cases) {
        SCOPED_TRACE(test.profiles);
        c->profiles = StringList(test.profiles, ",");
        in_addr_t chosen = section->interface_select(c);
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &chosen, text, sizeof text);
        EXPECT_STREQ(text, test.expected);
    }
    EXPECT_NE(section->interface_select(nullptr), htonl(INADDR_ANY));
    connection_free(c);
}

}  // namespace
