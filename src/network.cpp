#include "network.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "cache.h"
#include "clock.h"
#include "filebuf.h"
#include "general.h"
#include "hash.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "perflog.h"
#include "profiles.h"
#include "settings.h"
#include "socket.h"
#include "stats.h"
#include "urlnorm.h"

SOCKLIST_T socklist[NET_LISTENERS];

// The DNS cache and its lock, owned by the global record.
static HASH_TABLE *dnscache_table = nullptr;
static pthread_mutex_t *dnscache_mutex = nullptr;

static void stat_count(const char *group, const char *counter) { stats_count(group, counter); }

// Seconds to a poll time-out; negative means for ever, and large values
// saturate instead of wrapping.
static int poll_ms(int seconds) {
    if (seconds < 0) return -1;
    if (seconds > 2000000) return 2000000000;
    return seconds * 1000;
}

static void set_int_option(int fd, int level, int option, int value) {
    setsockopt(fd, level, option, &value, sizeof value);
}

static int get_int_option(int fd, int level, int option) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, level, option, &value, &length) != 0) return -1;
    return value;
}

static void set_cloexec(int fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

static void set_nonblocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return;
    fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

static HOSTENT *hostent_from(const struct in_addr &address) {
    HOSTENT *host = (HOSTENT *)xmalloc(sizeof(HOSTENT));
    if (!host) fatal_alloc("src/network", __LINE__, "net_dns", sizeof(HOSTENT));
    host->address = (unsigned char *)xmalloc(4);
    if (!host->address) fatal_alloc("src/network", __LINE__, "net_dns", 4);
    memcpy(host->address, &address.s_addr, 4);
    host->length = 4;
    return host;
}

/* ---- listeners ---- */

void net_init() {
    for (int i = 0; i < NET_LISTENERS; i++) {
        socklist[i].active = 0;
        socklist[i].fd = -1;
        socklist[i].port = 0;
        socklist[i].ip = nullptr;
    }
}

static void listen_failed(const char *address, int port) {
    putlog(LOG_ERROR, "error: failed to bind to %s:%d", address ? address : "0.0.0.0", port);
}

int net_listen(int port, const char *address) {
    int somaxconn = 0;
    FILE *file = s_fopen("/proc/sys/net/core/somaxconn", "r");
    if (file) {
        if (fscanf(file, "%d", &somaxconn) != 1) somaxconn = 0;
        fclose(file);
    }
    putlog(LOG_NETWORK, "default system somaxconn: %d", somaxconn);

    int slot = 0;
    while (slot < NET_LISTENERS && socklist[slot].active) slot++;
    if (slot == NET_LISTENERS) {
        listen_failed(address, port);
        return -1;
    }

    int fd = s_socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        listen_failed(address, port);
        return -1;
    }
    set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    // Listening sockets must not leak into external programs.
    set_cloexec(fd);

    // SND_BUF is the client->server direction: what this side receives.
    putlog(LOG_NETWORK, "System Default TCP Buffer size for client->korvantel->website %d bytes",
           get_int_option(fd, SOL_SOCKET, SO_RCVBUF));
    putlog(LOG_NETWORK, "System Default TCP Buffer size for client<-korvantel<-website %d bytes ",
           get_int_option(fd, SOL_SOCKET, SO_SNDBUF));
    if (SND_BUF > 0) {
        set_int_option(fd, SOL_SOCKET, SO_RCVBUF, SND_BUF / 2);
        putlog(LOG_NETWORK, "TCP Buffer size for client->korvantel->website in bytes Requested[%d], Allowed[%d]",
               SND_BUF, get_int_option(fd, SOL_SOCKET, SO_RCVBUF));
    }
    if (RCV_BUF > 0) {
        set_int_option(fd, SOL_SOCKET, SO_SNDBUF, RCV_BUF / 2);
        putlog(LOG_NETWORK, "TCP Buffer size for client<-korvantel<-website in bytes Requested[%d], Allowed[%d]",
               RCV_BUF, get_int_option(fd, SOL_SOCKET, SO_SNDBUF));
    }

    putlog(LOG_NETWORK, "System Default TCP_KEEPIDLE %d seconds", get_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE));
    putlog(LOG_NETWORK, "System Default TCP_KEEPINTVL %d seconds", get_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL));
    putlog(LOG_NETWORK, "System Default TCP_KEEPCNT %d probes", get_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT));
    if (TCP_KEEPIDLE_TIME > 0) {
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, TCP_KEEPIDLE_TIME);
        putlog(LOG_NETWORK, "Changed TCP_KEEPIDLE to %d seconds", get_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE));
    }
    if (TCP_KEEPINTVL_TIME > 0) {
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, TCP_KEEPINTVL_TIME);
        putlog(LOG_NETWORK, "Changed TCP_KEEPINTVL to %d seconds", get_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL));
    }
    if (TCP_KEEPCNT_COUNTS > 0) {
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, TCP_KEEPCNT_COUNTS);
        putlog(LOG_NETWORK, "Changed TCP_KEEPCNT to %d probes", get_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT));
    }

    struct sockaddr_in bind_address;
    memset(&bind_address, 0, sizeof bind_address);
    bind_address.sin_family = AF_INET;
    bind_address.sin_port = htons((unsigned short)port);
    if (!address || inet_pton(AF_INET, address, &bind_address.sin_addr) != 1)
        bind_address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (port < 0 || port > 65535 || bind(fd, (struct sockaddr *)&bind_address, sizeof bind_address) != 0 ||
        listen(fd, somaxconn > NET_LISTEN_BACKLOG ? somaxconn : NET_LISTEN_BACKLOG) != 0) {
        close(fd);
        listen_failed(address, port);
        return -1;
    }

    socklist[slot].active = 1;
    socklist[slot].fd = fd;
    socklist[slot].port = port;
    socklist[slot].ip = address ? xstrdup(address) : nullptr;
    putlog(LOG_NETWORK, "listening on %s:%d", address ? address : "0.0.0.0", port);
    return slot;
}

void net_listen_closeall() {
    for (int i = 0; i < NET_LISTENERS; i++) {
        if (!socklist[i].active) continue;
        close(socklist[i].fd);
        free(socklist[i].ip);
        socklist[i].active = 0;
        socklist[i].fd = -1;
        socklist[i].port = 0;
        socklist[i].ip = nullptr;
    }
}

// Whether address is one of this machine's own: the loopback network, the
// unspecified address (a connect to it reaches this machine) or an address
// of one of its interfaces.
static bool local_address(in_addr_t address) {
    uint32_t host = ntohl(address);
    if ((host >> 24) == 127 || host == INADDR_ANY) return true;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (struct ifaddrs *i = list; i && !found; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            found = ((struct sockaddr_in *)i->ifa_addr)->sin_addr.s_addr == address;
    freeifaddrs(list);
    return found;
}

bool net_listening_port(int port) {
    for (int i = 0; i < NET_LISTENERS && socklist[i].active; i++)
        if (socklist[i].port == port) return true;
    return false;
}

bool net_own_address(in_addr_t address, int port) {
    for (int i = 0; i < NET_LISTENERS && socklist[i].active; i++) {
        if (socklist[i].port != port) continue;
        struct in_addr bound;
        // A listener on all local addresses, as net_listen reads its text.
        if (!socklist[i].ip || inet_pton(AF_INET, socklist[i].ip, &bound) != 1 || bound.s_addr == htonl(INADDR_ANY)) {
            if (local_address(address)) return true;
            continue;
        }
        if (bound.s_addr == address || address == htonl(INADDR_ANY)) return true;
    }
    return false;
}

bool net_own_destination(const char *host, int port, bool resolve) {
    if (!host || !*host || !net_listening_port(port)) return false;
    std::string name = url_host_normalise(host);
    struct in_addr address;
    if (inet_pton(AF_INET, name.c_str(), &address) == 1) return net_own_address(address.s_addr, port);
    if (!resolve) return false;
    // The lookup the connect makes next is answered from the same cache
    // entry, so a name cannot point here for this check and elsewhere for
    // the connect.
    HOSTENT *resolved = net_dns(name.c_str());
    if (!resolved) return false;
    in_addr_t found;
    memcpy(&found, resolved->address, 4);
    hostent_free(resolved);
    return net_own_address(found, port);
}

static CONNECTION_T *accept_one(int slot) {
    struct sockaddr_in peer;
    socklen_t length = sizeof peer;
    memset(&peer, 0, sizeof peer);
    int fd = s_accept(socklist[slot].fd, (struct sockaddr *)&peer, &length);
    if (fd < 0) {
        int error = errno;
        if (error != ENOTSOCK)
            putlog(LOG_ADVICE, "error: network: [system: accept:%d:%s], in %s, failed to accept a new connection",
                   error, strerror(error), "net_accept");
        return nullptr;
    }
    set_cloexec(fd);

    CONNECTION_T *connection = connection_new();
    connection->client = new Socket(fd);
    connection->port = socklist[slot].port;
    char text[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    connection->ip = xstrdup(text);
    connection->log.client = text;

    struct sockaddr_in local;
    length = sizeof local;
    memset(&local, 0, sizeof local);
    if (getsockname(fd, (struct sockaddr *)&local, &length) != 0) {
        int error = errno;
        putlog(LOG_ADVICE, "error: network: [system: getsockname:%d:%s], in %s, problem in accepting a new connection",
               error, strerror(error), "net_accept");
    } else {
        inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
        connection->interface_ip = xstrdup(text);
    }
    return connection;
}

CONNECTION_T *net_accept(int timeout) {
    struct pollfd descriptors[NET_LISTENERS];
    int count = 0;
    while (count < NET_LISTENERS && socklist[count].active) {
        descriptors[count].fd = socklist[count].fd;
        descriptors[count].events = POLLIN;
        descriptors[count].revents = 0;
        count++;
    }
    if (count == 0) return nullptr;
    if (poll(descriptors, count, poll_ms(timeout)) <= 0) return nullptr;
    for (int i = 0; i < count; i++) {
        if (!(descriptors[i].revents & POLLIN)) continue;
        CONNECTION_T *connection = accept_one(i);
        if (connection) return connection;
    }
    return nullptr;
}

/* ---- outgoing connections ---- */

static int connect_failed(int code) {
    stat_count("network", "failed connections");
    performance_log->set_connection_fail(1);
    return code;
}

int net_connect(const char *host, int port, in_addr_t local, int timeout) {
    if (!host || port <= 0 || port > 65535) return connect_failed(-1);

    HOSTENT *resolved = net_dns(host);
    if (!resolved) {
        stat_count("network", "DNS failures");
        return connect_failed(-3);
    }
    struct sockaddr_in remote;
    memset(&remote, 0, sizeof remote);
    remote.sin_family = AF_INET;
    remote.sin_port = htons((unsigned short)port);
    memcpy(&remote.sin_addr.s_addr, resolved->address, 4);
    hostent_free(resolved);

    int fd = s_socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return connect_failed(-2);
    set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    // SND_BUF is the client->server direction: what this side sends.
    if (RCV_BUF > 0) set_int_option(fd, SOL_SOCKET, SO_RCVBUF, RCV_BUF / 2);
    if (SND_BUF > 0) set_int_option(fd, SOL_SOCKET, SO_SNDBUF, SND_BUF / 2);
    if (TCP_KEEPIDLE_TIME > 0) set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, TCP_KEEPIDLE_TIME);
    if (TCP_KEEPINTVL_TIME > 0) set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, TCP_KEEPINTVL_TIME);
    if (TCP_KEEPCNT_COUNTS > 0) set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, TCP_KEEPCNT_COUNTS);
    set_cloexec(fd);
    set_nonblocking(fd, true);

    struct sockaddr_in from;
    memset(&from, 0, sizeof from);
    from.sin_family = AF_INET;
    from.sin_port = 0;
    from.sin_addr.s_addr = local;
#ifdef IP_BIND_ADDRESS_NO_PORT
    // The port is then chosen by connect, for the whole address pair, instead
    // of by bind searching the table of every port in use.
    set_int_option(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1);
#endif
    if (bind(fd, (struct sockaddr *)&from, sizeof from) != 0) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        putlog(LOG_NETWORK, "error: failed to bind on %s for outgoing connection", text);
    }

    if (connect(fd, (struct sockaddr *)&remote, sizeof remote) != 0) {
        // An interrupted connect goes on in the background like EINPROGRESS.
        if (errno != EINPROGRESS && errno != EINTR) {
            close(fd);
            return connect_failed(-2);
        }
        struct pollfd descriptor = {fd, POLLOUT, 0};
        int result;
        int rounds = 0;
        do {
            descriptor.revents = 0;
            result = poll(&descriptor, 1, poll_ms(timeout));
        } while (result < 0 && errno == EINTR && ++rounds < 100);
        int pending = -1;
        socklen_t length = sizeof pending;
        bool connected = result > 0 && !(descriptor.revents & (POLLERR | POLLHUP | POLLNVAL)) &&
                         getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending == 0;
        if (!connected) {
            close(fd);
            putlog(
                LOG_ERROR,
                "network: socket lost while trying to make a network connection, reduce load and restart the service");
            return connect_failed(-2);
        }
    }

    set_nonblocking(fd, false);
    stat_count("network", "successful connections");
    performance_log->set_new_connection(1);
    return fd;
}

int net_connect(const char *host, int port, int timeout) { return net_connect(host, port, htonl(INADDR_ANY), timeout); }

int net_connect(const char *host, int port) { return net_connect(host, port, htonl(INADDR_ANY), -1); }

int net_unix_connect(const char *path) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    size_t length = strlen(path);
    // A cut path would name another socket.
    if (length >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(address.sun_path, path, length + 1);
    int fd = s_socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int r;
    do r = connect(fd, (struct sockaddr *)&address, sizeof address);
    while (r == -1 && errno == EINTR);
    if (r == -1) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

/* ---- name resolution ---- */

void dnscache_init(HASH_TABLE *table, pthread_mutex_t *lock) {
    dnscache_mutex = lock;
    dnscache_table = table;
}

void dnscache_clean(void *) {
    if (!dnscache_table || !dnscache_mutex) return;
    // hash_expire ages entries by the system clock; turn the cache's own
    // clock into the same age.
    time_t age = DNSCACHE_MAX_AGE + (time(nullptr) - clock_now());
    MutexLock held(dnscache_mutex);
    hash_expire(dnscache_table, age);
}

HOSTENT *net_dns(const char *host) {
    if (!host) return nullptr;
    time_t now = clock_now();
    // Longer names cannot be DNS names, and a cut key would share another
    // name's entry.
    if (strlen(host) > DNSCACHE_KEY_MAX) {
        performance_log->set_dns_fail(1);
        putlog(LOG_ERROR, "DNS: failed: %s", host);
        return nullptr;
    }
    char key[DNSCACHE_KEY_MAX + 1];
    s_strncpy(key, host, sizeof key);
    string_tolower(key);

    if (isip(key)) {
        // "..." and "999.1.1.1" also look like addresses; they resolve to nothing.
        struct in_addr address;
        if (inet_pton(AF_INET, key, &address) != 1) return nullptr;
        return hostent_from(address);
    }
    if (!*key) return nullptr;

    if (dnscache_table && dnscache_mutex) {
        bool hit = false;
        struct in_addr address;
        char cached[INET_ADDRSTRLEN];
        {
            MutexLock held(dnscache_mutex);
            HASH_ENTRY *entry = hash_search(dnscache_table, key);
            if (entry) {
                hit = (long long)entry->time + DNSCACHE_MAX_AGE >= (long long)now &&
                      inet_pton(AF_INET, (const char *)entry->data, &address) == 1;
                if (hit) s_strncpy(cached, (const char *)entry->data, sizeof cached);
                else hash_purge(dnscache_table, key);
            }
        }
        if (hit) {
            performance_log->set_dns_hit(1);
            stat_count("DNS cache", "hit");
            putlog(LOG_DEBUG, "DNS: cache: hit: %s -> %s", key, cached);
            return hostent_from(address);
        }
    }

    HOSTENT *resolved = p_gethostbyname(key);
    if (!resolved) {
        performance_log->set_dns_fail(1);
        putlog(LOG_ERROR, "DNS: failed: %s", key);
        return nullptr;
    }
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, resolved->address, dotted, sizeof dotted);

    if (dnscache_table && dnscache_mutex) {
        char *data = xstrdup(dotted);
        if (!data) fatal_assert("src/network", __LINE__, "net_dns");
        HASH_ENTRY *entry;
        {
            MutexLock held(dnscache_mutex);
            entry = hash_insert(dnscache_table, key, data);
            // An entry another thread made meanwhile keeps its own time.
            if (entry && entry->time == 0) entry->time = now;
        }
        if (!entry) fatal_assert("src/network", __LINE__, "net_dns");
    }
    performance_log->set_dns_miss(1);
    stat_count("DNS cache", "miss");
    putlog(LOG_DEBUG, "DNS: cache: insert: %s -> %s", key, dotted);
    return resolved;
}

/* ---- SOCKS ---- */

// Reads exactly n bytes within the connect time-out; returns the bytes read.
static int read_exact(Socket *socket, CONNECTION_T *connection, unsigned char *buffer, int n) {
    int got = 0;
    int timeout = general_ctimeout(connection);
    while (got < n) {
        int result = socket->Read((char *)buffer + got, n - got, timeout);
        if (result <= 0) break;
        got += result;
    }
    return got;
}

static bool send_all(Socket *socket, const unsigned char *bytes, int length) {
    if (socket->Write((const char *)bytes, length) < 0) return false;
    socket->Flush();
    return socket->out_length == 0;
}

int socks4_request(CONNECTION_T *connection, const char *host, int port, const char *userid) {
    Socket *server = connection->server;
    if (!server || !host) return -2;
    HOSTENT *resolved = net_dns(host);
    if (!resolved) return -3;
    std::vector<unsigned char> request;
    request.push_back(0x04);
    request.push_back(0x01);
    request.push_back((unsigned char)((port >> 8) & 0xFF));
    request.push_back((unsigned char)(port & 0xFF));
    request.insert(request.end(), resolved->address, resolved->address + 4);
    hostent_free(resolved);
    if (userid) request.insert(request.end(), userid, userid + strlen(userid));
    request.push_back(0x00);
    if (!send_all(server, request.data(), (int)request.size())) return -2;

    unsigned char reply[8];
    if (read_exact(server, connection, reply, 8) != 8) return -2;
    switch (reply[1]) {
        case 0x5A: return 1;
        case 0x5B: return -2;
        case 0x5C:
        case 0x5D: return -4;
        default: return -1;
    }
}

int socks5_request(CONNECTION_T *connection, const char *host, int port, const char *user, const char *password) {
    Socket *server = connection->server;
    if (!server || !host) return -2;
    size_t host_length = strlen(host);
    // The name goes in with a one-byte length; a cut name would reach
    // another host.
    if (host_length == 0 || host_length > 255) return -2;

    static const unsigned char greeting[] = {0x05, 0x02, 0x00, 0x02};
    if (!send_all(server, greeting, sizeof greeting)) return -2;
    unsigned char choice[2];
    if (read_exact(server, connection, choice, 2) != 2) return -2;

    if (choice[1] == 0x02) {
        if (!user || !password) return -2;
        size_t user_length = strlen(user), password_length = strlen(password);
        if (user_length > 255) user_length = 255;
        if (password_length > 255) password_length = 255;
        std::vector<unsigned char> login;
        login.push_back(0x01);
        login.push_back((unsigned char)user_length);
        login.insert(login.end(), user, user + user_length);
        login.push_back((unsigned char)password_length);
        login.insert(login.end(), password, password + password_length);
        if (!send_all(server, login.data(), (int)login.size())) return -2;
        unsigned char status[2];
        if (read_exact(server, connection, status, 2) != 2 || status[1] != 0x00) return -2;
    } else if (choice[1] != 0x00) {
        return -2;
    }

    std::vector<unsigned char> request = {0x05, 0x01, 0x00, 0x03, (unsigned char)host_length};
    request.insert(request.end(), host, host + host_length);
    request.push_back((unsigned char)((port >> 8) & 0xFF));
    request.push_back((unsigned char)(port & 0xFF));
    if (!send_all(server, request.data(), (int)request.size())) return -2;

    unsigned char reply[4];
    if (read_exact(server, connection, reply, 4) != 4 || reply[1] != 0x00) return -2;
    int rest;
    switch (reply[3]) {
        case 0x01: rest = 6; break;
        case 0x04: rest = 18; break;
        case 0x03: {
            unsigned char length;
            if (read_exact(server, connection, &length, 1) != 1) return -2;
            rest = length + 2;
            break;
        }
        default: rest = 2; break;
    }
    unsigned char bound[257];
    return read_exact(server, connection, bound, rest) == rest ? 1 : -2;
}

int proxy_socks4(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    if (!request || !request->host) return -2;
    return socks4_request(connection, request->host, request->port, username);
}

int proxy_socks5(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    if (!request || !request->host) return -2;
    return socks5_request(connection, request->host, request->port, connection->forward_user,
                          connection->forward_password);
}

/* ---- moving bytes ---- */

namespace {

// Read-ahead bytes a watched socket may gather during a one-way copy.
const unsigned WATCH_LIMIT = 256 * 1024;

// One cycle's view of the source and the watched socket.
struct Cycle {
    bool source_readable;  // input waiting, or bytes already held
    bool source_broken;
    bool other_readable;
    bool other_broken;
    bool timed_out;
    bool failed;
};

Cycle poll_pair(Socket *source, Socket *other, int timeout) {
    Cycle cycle = {false, false, false, false, false, false};
    bool held = source->in_length > 0;
    // Held bytes move without asking the kernel: the other side is looked at
    // once the source has to wait, and a lost peer shows in the write.
    if (held) {
        cycle.source_readable = true;
        return cycle;
    }
    struct pollfd descriptors[2];
    descriptors[0] = {source->fd, POLLIN, 0};
    int count = 1;
    // A peer that keeps sending while the source is slow must not grow its
    // read-ahead buffer without bound: past the limit it is only watched for
    // errors and hang-ups.
    if (other) descriptors[count++] = {other->fd, (short)(other->in_length < WATCH_LIMIT ? POLLIN : 0), 0};
    int result = poll(descriptors, count, poll_ms(timeout));
    if (result < 0) {
        cycle.failed = errno != EINTR;
        return cycle;
    }
    if (result == 0) {
        cycle.timed_out = true;
        return cycle;
    }
    cycle.source_readable = descriptors[0].revents & POLLIN;
    cycle.source_broken = descriptors[0].revents & (POLLERR | POLLHUP | POLLNVAL);
    if (other) {
        cycle.other_readable = descriptors[1].revents & POLLIN;
        cycle.other_broken = descriptors[1].revents & (POLLERR | POLLHUP | POLLNVAL);
    }
    return cycle;
}

// Bytes the next read may ask for: one block, no more than is still due, and
// no more than is held when bytes are held (so the read does not block).
int read_size(Socket *source, long long due) {
    long long size = BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
    if (due >= 0 && due < size) size = due;
    if (source->in_length > 0 && source->in_length < size) size = source->in_length;
    return (int)size;
}

int block_size() { return BLOCKSIZE > 0 ? BLOCKSIZE : 8192; }

}  // namespace

long long net_transfer(CONNECTION_T *connection, int direction, long long count) {
    Socket *source = direction ? connection->server : connection->client;
    Socket *destination = direction ? connection->client : connection->server;
    long long copied = 0;
    // Without a count only the source's clean end of stream ends the body;
    // a time-out, a reset or a lost client leaves it cut short.
    bool ended = false;
    if (source) {
        // One block on the stack: no allocation per transfer for the usual
        // block size.
        char local[16384];
        std::unique_ptr<char[]> large;
        char *buffer = local;
        if ((size_t)block_size() > sizeof local) {
            large.reset(new char[(size_t)block_size()]);
            buffer = large.get();
        }
        int timeout = general_ctimeout(connection);
        // Each pass either moves data, fills a read-ahead buffer or ends, so
        // a peer that keeps a socket readable cannot spin this loop forever
        // without the data moving.
        for (;;) {
            if (count >= 0 && copied >= count) break;
            Cycle cycle = poll_pair(source, destination, timeout);
            if (cycle.failed || cycle.timed_out) break;
            if (!cycle.source_readable) {
                if (cycle.source_broken) {
                    putlog(LOG_ERROR,
                           "network: client socket lost while transferring data between sockets, "
                           "system overloaded or network disrupted");
                    break;
                }
                if (destination && (cycle.other_readable || cycle.other_broken)) {
                    // Keep what the other side sent (a pipelined request).
                    if (destination->Read(nullptr, -1) > 0) continue;
                    if (destination == connection->client && (connection->flags & CONN_CACHE_WRITE) &&
                        cache_object_readers(connection->cache) > 1) {
                        putlog(LOG_ERROR, "network: allowing transfer with no client to continue");
                        delete connection->client;
                        connection->client = nullptr;
                        destination = nullptr;
                        connection->flags |= CONN_CLIENT_DROPPED;
                        continue;
                    }
                    break;
                }
                // An interrupted poll comes back here with nothing to do.
                continue;
            }
            int got = source->Read(buffer, read_size(source, count >= 0 ? count - copied : -1));
            if (got <= 0) {
                ended = got == 0;
                break;
            }
            copied += got;
            if (destination) destination->Write(buffer, got);
        }
    }
    if (destination) destination->Flush();
    if ((count >= 0 && copied < count) || (count < 0 && !ended)) {
        putlog(LOG_DEBUG, "network: transfer failed");
        connection->flags |= CONN_FAILED;
    }
    return copied;
}

void net_client_reset(CONNECTION_T *connection) {
    Socket *client = connection->client;
    if (!client || (connection->flags & CONN_CLIENT_DROPPED)) return;
    putlog(LOG_DEBUG, "network: client connection reset: its answer was cut short");
    // A reset throws away what is still queued: nothing is waited for.
    client->Clear(1);
    if (client->fd >= 0) {
        struct linger abort = {1, 0};
        setsockopt(client->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    delete client;
    connection->client = nullptr;
    connection->flags |= CONN_CLIENT_DROPPED;
    connection->keepalive_client = 0;
}

// Moves one block from one socket to the other; false when the read ended.
static bool relay_block(Socket *from, Socket *to, std::vector<char> &buffer, long long due, long long *total) {
    int got = from->Read(buffer.data(), read_size(from, due));
    if (got <= 0) return false;
    to->Write(buffer.data(), got);
    to->Flush();
    *total += got;
    return true;
}

long long net_proxy(CONNECTION_T *connection, long long count) {
    Socket *client = connection->client;
    Socket *server = connection->server;
    long long total = 0;
    if (!client || !server) return 0;
    std::vector<char> buffer(block_size());
    for (;;) {
        if (count >= 0 && total >= count) break;
        long long due = count >= 0 ? count - total : -1;
        // Bytes already read ahead go first, without waiting.
        if (client->in_length > 0) {
            if (!relay_block(client, server, buffer, due, &total)) break;
            continue;
        }
        if (server->in_length > 0) {
            if (!relay_block(server, client, buffer, due, &total)) break;
            continue;
        }
        struct pollfd descriptors[2] = {{client->fd, POLLIN, 0}, {server->fd, POLLIN, 0}};
        int result = poll(descriptors, 2, -1);
        if (result < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (descriptors[0].revents & POLLIN) {
            if (!relay_block(client, server, buffer, due, &total)) break;
            continue;
        }
        if (descriptors[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            putlog(LOG_ERROR,
                   "network: active client socket lost while trying to make a connection, "
                   "system overloaded or network disrupted");
            break;
        }
        if (descriptors[1].revents & POLLIN) {
            if (!relay_block(server, client, buffer, due, &total)) break;
            continue;
        }
        if (descriptors[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            putlog(LOG_ERROR,
                   "network: active outgoing socket lost while trying to reach a network host, "
                   "system overloaded or network disrupted");
            break;
        }
    }
    return total;
}

int net_filebuf_read(Filebuf *filebuf, CONNECTION_T *connection, int direction, long long count) {
    Socket *source = direction ? connection->server : connection->client;
    Socket *other = direction ? connection->client : connection->server;
    long long done = 0;
    if (!source) return 0;
    std::vector<char> buffer(block_size());
    int timeout = general_ctimeout(connection);
    for (;;) {
        if (count >= 0 && done >= count) break;
        Cycle cycle = poll_pair(source, other, timeout);
        if (cycle.failed || cycle.timed_out) break;
        if (!cycle.source_readable) {
            if (cycle.source_broken) {
                putlog(LOG_ERROR, "network: sock1 lost while reading data, system overloaded or network disrupted");
                break;
            }
            if (other && cycle.other_readable) {
                if (other->Read(nullptr, -1) > 0) continue;
                break;
            }
            if (other && cycle.other_broken) {
                putlog(LOG_ERROR, "network: sock2 lost while reading data, system overloaded or network disrupted");
                break;
            }
            continue;
        }
        int got = source->Read(buffer.data(), read_size(source, count >= 0 ? count - done : -1));
        if (got <= 0) {
            // A body cut short must not pass for a whole one (it would be
            // cached).
            if (count >= 0) connection->flags |= CONN_FAILED;
            return 0;
        }
        done += got;
        if (filebuf) filebuf->Add(buffer.data(), got);
    }
    if (count < 0 || done >= count) return 1;
    connection->flags |= CONN_FAILED;
    return 0;
}

long long net_filebuf_send(Filebuf *filebuf, CONNECTION_T *connection, int direction) {
    if (!filebuf) return 0;
    if (direction == 0 && (connection->flags & CONN_CLIENT_DROPPED)) return filebuf->size;
    Socket *destination = direction ? connection->server : connection->client;
    if (!destination) return -1;
    return destination->WriteFilebuf(filebuf);
}

long long net_filebuf_send_chunked(Filebuf *filebuf, CONNECTION_T *connection, int direction) {
    if (!filebuf) return 0;
    if (direction == 0 && (connection->flags & CONN_CLIENT_DROPPED)) return filebuf->size;
    Socket *destination = direction ? connection->server : connection->client;
    if (!destination) return -1;
    long long sent = 0;
    long long block = block_size();
    while (sent < filebuf->size) {
        long long length = filebuf->size - sent;
        if (length > block) length = block;
        destination->PutSock("%x\r\n", (unsigned int)length);
        if (destination->Write(filebuf->data + sent, (int)length) <= 0) break;
        sent += length;
        destination->Write("\r\n", 2);
    }
    destination->Write("0\r\n\r\n", 5);
    destination->Flush();
    return sent;
}

long long net_cache_send(CACHEMAP *object, CONNECTION_T *connection, int direction, long long offset) {
    CacheSection *cache = cache_section;
    if (!object || !connection || !cache) return 0;
    if (offset < 0) offset = 0;
    if (direction == 0 && (connection->flags & CONN_CLIENT_DROPPED)) {
        long long length = cache_object_body_length(object);
        return length > offset ? length - offset : 0;
    }
    return cache->send(object, connection, direction, (unsigned long long)offset);
}

/* ---- the "network" section ---- */

NetworkSection *network_section = nullptr;

static const FIELD_BIND<NetworkSection::Listen> listen_fields[] = {
    FIELD_BIND_OF(NetworkSection::Listen, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(NetworkSection::Listen, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(NetworkSection::Listen, 2, "port", FIELD_INT, port),
    FIELD_BIND_OF(NetworkSection::Listen, 3, "ip", FIELD_STRING, ip),
};

static const FIELD_BIND<NetworkSection::Interface> interface_fields[] = {
    FIELD_BIND_OF(NetworkSection::Interface, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(NetworkSection::Interface, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(NetworkSection::Interface, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(NetworkSection::Interface, 3, "ip", FIELD_STRING, ip),
};

Section *network_construct() {
    network_section = new NetworkSection();
    return network_section;
}

NetworkSection::NetworkSection() : Section("network", SECTION_RWLOCK) {
    fields_declare(0, listen_fields);
    fields_declare(1, interface_fields);
}

void NetworkSection::update() {
    rules_read(subsection_at(0), listen_fields, &listens);
    rules_read(subsection_at(1), interface_fields, &interfaces);
}

void NetworkSection::check() {
    std::vector<Listen> wanted;
    {
        SectionReadLock lock(this);
        wanted = listens;
    }
    // net_listen logs; keep that outside the section lock.
    for (const Listen &listen : wanted) {
        if (!listen.enabled || listen.port == -1) continue;
        struct in_addr address;
        bool parsed = inet_pton(AF_INET, listen.ip.c_str(), &address) == 1;
        net_listen(listen.port, parsed ? listen.ip.c_str() : nullptr);
    }
}

in_addr_t NetworkSection::interface_select(CONNECTION_T *connection) {
    static const StringList none;
    const StringList &profiles = connection ? connection->profiles : none;
    std::string chosen;
    {
        SectionReadLock lock(this);
        for (const Interface &entry : interfaces) {
            if (!entry.enabled) continue;
            if (!profile_find(profiles, entry.profiles)) continue;
            chosen = entry.ip;
            break;
        }
    }
    if (chosen.empty()) return htonl(INADDR_ANY);
    struct in_addr address;
    if (inet_pton(AF_INET, chosen.c_str(), &address) != 1) return htonl(INADDR_ANY);
    putlog(LOG_NETWORK, "binding outgoing connection to %s", chosen.c_str());
    return address.s_addr;
}
