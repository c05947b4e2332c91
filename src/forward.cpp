#include "forward.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "cache.h"
#include "compat.h"
#include "connection.h"
#include "general.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "profiles.h"
#include "protocol.h"

static_assert(offsetof(icp_packet, payload) == ICP_HEADER_SIZE, "ICP header layout");

// A peer that did not answer an ICP query is left alone this long.
#define ICP_DOWN_SECONDS 30
// Offset of the URL in a QUERY's payload (after the requester address).
#define ICP_QUERY_URL 4

/* ---- ICP messages ---- */

const char *icp_opcode_name(int opcode) {
    switch (opcode) {
        case ICP_OP_INVALID: return "ICP_OP_INVALID";
        case ICP_OP_QUERY: return "ICP_OP_QUERY";
        case ICP_OP_HIT: return "ICP_OP_HIT";
        case ICP_OP_MISS: return "ICP_OP_MISS";
        case ICP_OP_ERR: return "ICP_OP_ERR";
        case ICP_OP_SECHO: return "ICP_OP_SECHO";
        case ICP_OP_DECHO: return "ICP_OP_DECHO";
        case ICP_OP_MISS_NOFETCH: return "ICP_OP_MISS_NOFETCH";
        case ICP_OP_DENIED: return "ICP_OP_DENIED";
        case ICP_OP_HIT_OBJ: return "ICP_OP_HIT_OBJ";
        default: return "ICP_OP_UNKNOWN";
    }
}

int icp_packet_send(int sock, const struct sockaddr_in *address, const icp_packet *packet) {
    if (!packet || !address || packet->length < ICP_HEADER_SIZE) return -1;
    // The header goes out in network order; the payload straight from the
    // packet, without copying it.
    icp_packet header;
    memcpy(&header, packet, ICP_HEADER_SIZE);
    header.length = htons(packet->length);
    header.number = htonl(packet->number);
    struct iovec parts[2];
    parts[0].iov_base = &header;
    parts[0].iov_len = ICP_HEADER_SIZE;
    parts[1].iov_base = const_cast<unsigned char *>(packet->payload);
    parts[1].iov_len = packet->length - ICP_HEADER_SIZE;
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_name = const_cast<struct sockaddr_in *>(address);
    message.msg_namelen = sizeof *address;
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    ssize_t sent;
    do sent = sendmsg(sock, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent < 0 ? -1 : (int)sent;
}

int icp_packet_receive(int sock, struct sockaddr_in *address, icp_packet *packet) {
    socklen_t address_length = sizeof *address;
    memset(address, 0, sizeof *address);
    ssize_t received;
    do received = recvfrom(sock, packet, ICP_PACKET_MAX, MSG_DONTWAIT, (struct sockaddr *)address, &address_length);
    while (received < 0 && errno == EINTR);
    if (received < 0) return -1;
    return icp_packet_check(packet, received);
}

int icp_packet_check(icp_packet *packet, ssize_t received) {
    if (received < 4) {
        putlog(LOG_ICP, "error: ICP packet too short");
        return -1;
    }
    packet->length = ntohs(packet->length);
    if (packet->length < ICP_HEADER_SIZE || received < ICP_HEADER_SIZE) {
        putlog(LOG_ICP, "error: ICP packet too short");
        return -1;
    }
    // A datagram arrives whole: what it lacks of its announced length never
    // comes.
    if (received < packet->length) return -1;
    packet->number = ntohl(packet->number);
    return (int)received;
}

bool icp_query_build(icp_packet *packet, uint32_t number, uint32_t sender, uint32_t requester, const char *url) {
    size_t url_length = strlen(url);
    size_t length = ICP_HEADER_SIZE + ICP_QUERY_URL + url_length + 1;
    if (length > 0xFFFF) return false;
    packet->opcode = ICP_OP_QUERY;
    packet->version = ICP_VERSION;
    packet->length = (uint16_t)length;
    packet->number = number;
    packet->options = 0;
    packet->option_data = 0;
    packet->sender = sender;
    memcpy(packet->payload, &requester, ICP_QUERY_URL);
    memcpy(packet->payload + ICP_QUERY_URL, url, url_length + 1);
    return true;
}

static int icp_invalid(const icp_packet *query, icp_packet *reply) {
    memcpy(reply, query, ICP_HEADER_SIZE);
    reply->opcode = ICP_OP_INVALID;
    reply->length = ICP_HEADER_SIZE;
    return ICP_HEADER_SIZE;
}

int icp_answer(const icp_packet *query, int received, icp_packet *reply) {
    if (query->opcode != ICP_OP_QUERY) {
        putlog(LOG_ICP, "error: unhandled ICP opcode: %s", icp_opcode_name(query->opcode));
        return icp_invalid(query, reply);
    }
    int length = std::min((int)query->length, received);
    const char *url = (const char *)query->payload + ICP_QUERY_URL;
    if (length <= ICP_HEADER_SIZE + ICP_QUERY_URL ||
        !memchr(url, 0, (size_t)(length - ICP_HEADER_SIZE - ICP_QUERY_URL))) {
        putlog(LOG_ICP, "error: received ICP QUERY with no payload");
        return icp_invalid(query, reply);
    }
    URL *parsed = url_parse(url);
    if (!parsed) {
        putlog(LOG_ICP, "error: received invalid URL in query");
        return icp_invalid(query, reply);
    }
    char *canonical = url_create(parsed);
    url_free(parsed);
    if (!canonical) fatal_assert("src/forward", __LINE__, "icp_thread");
    // Without a cache section nothing is cached.
    CacheSection *cache = cache_section;
    bool hit = cache && cache->exists(canonical);
    putlog(LOG_ICP, hit ? "hit: %s" : "miss: %s", canonical);
    free(canonical);
    // The query itself, without the requester address.
    memcpy(reply, query, ICP_HEADER_SIZE);
    reply->opcode = hit ? ICP_OP_HIT : ICP_OP_MISS;
    reply->length = (uint16_t)(length - ICP_QUERY_URL);
    memcpy(reply->payload, url, (size_t)(length - ICP_HEADER_SIZE - ICP_QUERY_URL));
    return reply->length;
}

void *icp_thread(void *unused) {
    (void)unused;
    // Without a cache section no ICP server runs.
    CacheSection *cache = cache_section;
    int port = cache ? cache->icpport_get() : 0;
    if (port == 0) return nullptr;
    int sock = s_socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons((uint16_t)port);
    if (sock < 0 || port < 0 || port > 65535 || bind(sock, (struct sockaddr *)&address, sizeof address) != 0) {
        if (sock >= 0) close(sock);
        putlog(LOG_ERROR, "ICP: failed to start ICP thread");
        return nullptr;
    }
    putlog(LOG_ICP, "network: listening on port *:%d", port);
    icp_packet *query = new icp_packet;
    icp_packet *reply = new icp_packet;
    for (;;) {
        struct pollfd wait;
        wait.fd = sock;
        wait.events = POLLIN;
        wait.revents = 0;
        if (poll(&wait, 1, -1) <= 0) continue;
        struct sockaddr_in from;
        int received = icp_packet_receive(sock, &from, query);
        if (received < 0) continue;
        icp_answer(query, received, reply);
        icp_packet_send(sock, &from, reply);
    }
    return nullptr;
}

/* ---- the "forward" section ---- */

ForwardSection *forward_section = nullptr;

static const FIELD_BIND<ForwardSection::Options> forward_options[] = {
    FIELD_BIND_OF(ForwardSection::Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(ForwardSection::Options, 1, "carp", FIELD_BOOL, carp),
    FIELD_BIND_OF(ForwardSection::Options, 2, "carpmodulus", FIELD_UINT, carp_modulus),
};

static const FIELD_BIND<Forward> forward_fields[] = {
    FIELD_BIND_OF(Forward, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Forward, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Forward, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(Forward, 3, "host", FIELD_STRING, host),
    FIELD_BIND_OF(Forward, 4, "user", FIELD_STRING, user),
    FIELD_BIND_OF(Forward, 5, "password", FIELD_STRING, password),
    FIELD_BIND_OF(Forward, 6, "domain", FIELD_STRING, domain),
    FIELD_BIND_OF(Forward, 7, "port", FIELD_INT, port),
    FIELD_BIND_OF(Forward, 8, "icptype", FIELD_INT, icp_type),
    FIELD_BIND_OF(Forward, 9, "icpport", FIELD_INT, icp_port),
    FIELD_BIND_OF(Forward, 10, "type", FIELD_INT, type),
    FIELD_BIND_OF(Forward, 11, "protocols", FIELD_STRING_SELECT_MANY, protocols),
};

static time_t forward_clock_default() { return time(nullptr); }
time_t (*ForwardSection::clock)() = forward_clock_default;

Section *forward_construct() {
    forward_section = new ForwardSection();
    return forward_section;
}

Forward::Forward(const Item &item) { fields_read(forward_fields, item.fields, this); }

int Forward::port_get() const {
    if (port != -1) return port;
    return type == FORWARD_CONNECT ? 443 : 3128;
}

ForwardSection::ForwardSection() : Section("forward", SECTION_RWLOCK) {
    options_bind(forward_options, &opts);
    fields_declare(0, forward_fields);
    pthread_mutex_init(&status_lock, nullptr);
}

ForwardSection::~ForwardSection() {
    if (forward_section == this) forward_section = nullptr;
    pthread_mutex_destroy(&status_lock);
}

void ForwardSection::update() { entries_build(0, &rules); }

bool ForwardSection::enabled_get() const { return *opts.enabled != 0; }

bool ForwardSection::carp_get() const { return *opts.carp != 0; }

unsigned int ForwardSection::carp_modulus_get() const { return *opts.carp_modulus; }

time_t ForwardSection::get_status(Forward *rule) {
    MutexLock held(&status_lock);
    return rule->down;
}

void ForwardSection::set_status(Forward *rule, bool down) {
    time_t now = down ? clock() : 0;
    MutexLock held(&status_lock);
    rule->down = now;
}

// Random numbers for ICP request numbers and the pick among equals; one
// generator per thread, so workers never share state.
static uint32_t random_number() {
    static thread_local std::mt19937 generator((uint32_t)std::random_device()() ^
                                               (uint32_t)std::chrono::steady_clock::now().time_since_epoch().count() ^
                                               (uint32_t)std::hash<std::thread::id>()(std::this_thread::get_id()));
    return generator();
}

static inline uint32_t rotate_right(uint32_t value, int bits) { return (value >> bits) | (value << (32 - bits)); }

uint32_t ForwardSection::carp_hash(const char *url, const char *member, unsigned int modulus) {
    uint32_t h = 0;
    for (const char *p = url ? url : ""; *p; p++) h += rotate_right(h, 13) + (uint32_t)(int32_t)(signed char)*p;
    uint32_t m = 0;
    if (member && *member) {
        for (const char *p = member; *p; p++) m += rotate_right(m, 13) + (uint32_t)(int32_t)(signed char)*p;
        m = rotate_right(m * 0x62531966u, 11);
    }
    uint32_t x = h ^ m;
    x = rotate_right(x * 0x62531966u, 11);
    return modulus ? x % modulus : x;
}

uint32_t ForwardSection::carp_hash(const char *url, const char *member) {
    return carp_hash(url, member, carp_modulus_get());
}

static const char *request_url(const CONNECTION_T *connection) {
    const HEADER *request = connection->request;
    return request && request->url ? request->url : "";
}

void ForwardSection::peer_select_carp(CONNECTION_T *connection, std::vector<proxy_candidate> &candidates) {
    const char *url = request_url(connection);
    for (proxy_candidate &candidate : candidates) candidate.score = carp_hash(url, candidate.rule->host.c_str());
}

static uint32_t ipv4_of(const char *text) {
    struct in_addr address;
    if (!text || inet_pton(AF_INET, text, &address) != 1) return 0;
    return address.s_addr;
}

static long long milliseconds_now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A UDP socket on any local port, or -1.
static int icp_query_socket() {
    int sock = s_socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) return -1;
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sock, (struct sockaddr *)&local, sizeof local) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

void ForwardSection::peer_select_icp(CONNECTION_T *connection, std::vector<proxy_candidate> &candidates) {
    const HEADER *request = connection->request;
    // The URL names the port only when it is not the scheme's own.
    std::string url;
    if (request && request->protocol && request->host && request->file &&
        request->port == protocol_port(request->protocol))
        url = std::string(request->protocol) + "://" + request->host + request->file;
    else url = request_url(connection);

    icp_packet *query = new icp_packet;
    bool built = icp_query_build(query, 0, ipv4_of(connection->interface_ip), ipv4_of(connection->ip), url.c_str());

    int sock = -2;  // -2 not made yet, -1 could not be made
    int outstanding = 0;
    time_t now = clock();
    for (proxy_candidate &candidate : candidates) {
        Forward *rule = candidate.rule;
        if (rule->icp_type == ICP_NONE) continue;
        time_t down = get_status(rule);
        if (down) {
            if (now - down < ICP_DOWN_SECONDS) {
                candidate.skipped = true;
                continue;
            }
            set_status(rule, false);
        }
        candidate.reply = ICP_NO_REPLY;
        // A URL no query can carry says nothing about the peers.
        if (!built) {
            candidate.skipped = true;
            continue;
        }
        // One socket for every query; without it the peers count as silent.
        if (sock == -2) sock = icp_query_socket();
        if (sock < 0) continue;
        struct sockaddr_in peer;
        memset(&peer, 0, sizeof peer);
        peer.sin_family = AF_INET;
        peer.sin_port = htons((uint16_t)rule->icp_port);
        if (inet_pton(AF_INET, rule->host.c_str(), &peer.sin_addr) != 1 || rule->icp_port <= 0 ||
            rule->icp_port > 65535)
            continue;
        // A number of its own, so that a reply names exactly one peer.
        uint32_t number;
        bool taken;
        do {
            number = random_number();
            taken = number == 0;
            for (const proxy_candidate &other : candidates)
                if (&other != &candidate && other.queried && other.number == number) taken = true;
        } while (taken);
        candidate.number = number;
        query->number = number;
        if (icp_packet_send(sock, &peer, query) < 0) continue;
        candidate.queried = true;
        outstanding++;
    }

    if (outstanding > 0) {
        // Without a cache section replies are not waited for.
        CacheSection *cache = cache_section;
        int timeout = cache ? cache->icptimeout_get() : 0;
        long long deadline = milliseconds_now() + (timeout > 0 ? timeout : 0);
        icp_packet *reply = new icp_packet;
        while (outstanding > 0) {
            long long remaining = deadline - milliseconds_now();
            if (remaining <= 0) break;
            struct pollfd wait;
            wait.fd = sock;
            wait.events = POLLIN;
            wait.revents = 0;
            int ready = poll(&wait, 1, (int)std::min(remaining, 1000000LL));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            struct sockaddr_in from;
            if (icp_packet_receive(sock, &from, reply) < 0) {
                putlog(LOG_ICP, "error: failed to receive ICP packet");
                continue;
            }
            char from_text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &from.sin_addr, from_text, sizeof from_text);
            putlog(LOG_ICP, "response opcode from %s:%d: %s", from_text, ntohs(from.sin_port),
                   icp_opcode_name(reply->opcode));
            proxy_candidate *match = nullptr;
            for (proxy_candidate &candidate : candidates)
                if (candidate.queried && candidate.number == reply->number) match = &candidate;
            if (!match) {
                putlog(LOG_ICP, "error: received unknown ICP response number");
                continue;
            }
            if (match->reply == ICP_NO_REPLY) outstanding--;
            match->reply = reply->opcode;
        }
        delete reply;
    }
    if (sock >= 0) close(sock);
    delete query;

    for (proxy_candidate &candidate : candidates) {
        Forward *rule = candidate.rule;
        if (rule->icp_type == ICP_NONE) continue;
        candidate.score = 0;
        if (candidate.skipped) continue;
        if (candidate.reply == ICP_NO_REPLY) {
            putlog(LOG_FORWARD, "error: no ICP response received from %s", rule->host.c_str());
            set_status(rule, true);
            continue;
        }
        if (rule->icp_type == ICP_PARENT && candidate.reply == ICP_OP_HIT) candidate.score = 100;
        else if (rule->icp_type == ICP_PARENT && candidate.reply == ICP_OP_MISS) candidate.score = 10;
        else if (rule->icp_type == ICP_SIBLING && candidate.reply == ICP_OP_HIT) candidate.score = 1000;
    }
}

Forward *ForwardSection::proxy_select(CONNECTION_T *connection, std::vector<proxy_candidate> &candidates) {
    if (candidates.empty()) return nullptr;
    const bool carp = carp_get();
    const bool tunnel = connection->request && connection->request->type == HEADER_CONNECT;
    if (!tunnel) {
        if (carp) peer_select_carp(connection, candidates);
        else peer_select_icp(connection, candidates);
    }
    unsigned int highest = 0;
    for (proxy_candidate &candidate : candidates) {
        if (!carp && candidate.rule->icp_type == ICP_NONE) candidate.score = 1;
        highest = std::max(highest, candidate.score);
    }
    if (carp) {
        // This proxy is a member of the array too: when its own hash wins,
        // it fetches the URL itself.
        std::string self = proxy_name_get();
        if (carp_hash(request_url(connection), self.c_str()) >= highest) return nullptr;
        connection->flags |= CONN_CARP;
    } else if (highest == 0) {
        return nullptr;
    }
    putlog(LOG_DEBUG, "forwarding: highest peer priority: %u", highest);

    std::vector<proxy_candidate *> best;
    for (proxy_candidate &candidate : candidates)
        if (candidate.score == highest) best.push_back(&candidate);
    proxy_candidate *pick = best[random_number() % best.size()];

    int code;
    if (carp) code = PEERCODE_CARP;
    else if (pick->rule->icp_type == ICP_PARENT)
        code = pick->reply == ICP_OP_HIT ? PEERCODE_PARENT_HIT : PEERCODE_FIRST_PARENT_MISS;
    else if (pick->rule->icp_type == ICP_SIBLING) code = PEERCODE_SIBLING_HIT;
    else code = PEERCODE_DEFAULT_PARENT;
    connection->log.set_peercode(code);
    return pick->rule;
}

// Which protocol bit a request needs of a rule; 0 for schemes no bit names.
static unsigned int protocol_needed(const HEADER *request) {
    if (!request) return 0;
    if (request->type == HEADER_CONNECT) return FORWARD_SERVES_CONNECT;
    if (!request->protocol) return 0;
    if (strcasecmp(request->protocol, "http") == 0) return FORWARD_SERVES_HTTP;
    if (strcasecmp(request->protocol, "ftp") == 0) return FORWARD_SERVES_FTP;
    return 0;
}

// Whether a word of a Via entry is "address:port" of one of this proxy's
// listeners.
static bool via_word_own(const std::string &word) {
    size_t colon = word.rfind(':');
    if (colon == std::string::npos || colon + 1 >= word.size() || word.size() - colon > 6) return false;
    int port = 0;
    for (size_t i = colon + 1; i < word.size(); i++) {
        if (word[i] < '0' || word[i] > '9') return false;
        port = port * 10 + (word[i] - '0');
    }
    struct in_addr address;
    if (inet_pton(AF_INET, word.substr(0, colon).c_str(), &address) != 1) return false;
    return net_own_address(address.s_addr, port);
}

// Whether a Via header holds an entry this proxy wrote: "address:port
// (Korvantel version)" with one of its listeners' address and port.
static bool via_names_self(const char *via) {
    static const char mark[] = " (Korvantel ";
    std::string entry;
    for (const char *p = via;; p++) {
        if (*p && *p != ',') {
            entry += *p;
            continue;
        }
        size_t at = entry.find(mark);
        if (at != std::string::npos) {
            std::string before = entry.substr(0, at);
            size_t word = before.find_last_of(" \t");
            if (via_word_own(word == std::string::npos ? before : before.substr(word + 1))) return true;
        }
        if (!*p) return false;
        entry.clear();
    }
}

const char *forward_loop(CONNECTION_T *connection) {
    const HEADER *request = connection ? connection->request : nullptr;
    if (!request) return nullptr;
    if (request->via && via_names_self(request->via)) return "it has passed this proxy already (Via)";
    int type = connection->forward_type;
    if (type == FORWARD_DIRECT || !connection->forward_host)
        return net_own_destination(request->host, request->port, true) ? "its server is this proxy" : nullptr;
    if (net_own_destination(connection->forward_host, connection->forward_port, true))
        return "its parent proxy is this proxy";
    // Through a peer the name is the peer's to resolve (SOCKS4 excepted);
    // an address of this machine is judged all the same, for a peer here.
    if (net_own_destination(request->host, request->port, type == FORWARD_SOCKS4)) return "its server is this proxy";
    return nullptr;
}

int ForwardSection::forward_do(CONNECTION_T *connection) {
    if (!connection || (connection->bypass & BYPASS_FORWARD)) return 0;
    SectionReadLock held(this);
    if (!enabled_get()) return 0;
    const std::string self = proxy_name_get();
    const unsigned int needed = protocol_needed(connection->request);

    std::vector<proxy_candidate> candidates;
    for (Forward &rule : rules) {
        if (!rule.enabled) continue;
        // Never forward to this proxy itself.
        if (!rule.host.empty() && rule.host == self) continue;
        if (needed && !(rule.protocols & needed)) continue;
        if (!profile_find(connection->profiles, rule.profiles)) continue;
        if (rule.host.empty()) break;
        // A type this proxy cannot speak would send the request in the
        // wrong form to the peer.
        if (rule.type < FORWARD_HTTP || rule.type > FORWARD_CONNECT) continue;
        if (rule.type == FORWARD_HTTP &&
            ((connection->flags & CONN_HTTPS) || ((connection->flags & CONN_REVALIDATE) && rule.icp_type != ICP_NONE)))
            continue;
        proxy_candidate candidate;
        candidate.rule = &rule;
        candidates.push_back(candidate);
    }

    Forward *pick = candidates.empty() ? nullptr : proxy_select(connection, candidates);
    if (pick) {
        // Every credential is set from this rule or cleared, so what an
        // earlier rule chose for another parent never reaches this one.
        const char *user = pick->user.empty() ? nullptr : pick->user.c_str();
        const char *password = pick->password.empty() ? nullptr : pick->password.c_str();
        const char *domain = pick->domain.empty() ? nullptr : pick->domain.c_str();
        upstream_set(connection, pick->type, pick->host.c_str(), pick->port_get(), user, password, domain);
        putlog(LOG_FORWARD, "forwarding to %s:%d", connection->forward_host, connection->forward_port);
    }
    return 0;
}
