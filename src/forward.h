// Forwarding and peer selection: the "forward" section decides for every
// request whether it goes straight to the origin or through an upstream
// proxy (HTTP parent, SOCKS4, SOCKS5, or a parent reached through CONNECT).
// The matching rules form a list of candidates; when several remain, the
// peer is picked by asking the candidates over ICP or by CARP hashing of the
// URL. The same file holds the ICP server that answers other caches'
// queries from the object cache.
//
// The choice goes into the connection's forward_* fields through
// upstream_set, which replaces every one of them, so the user, password and
// NTLM domain of one rule never travel to another rule's parent.
#ifndef KORVANTEL_FORWARD_H
#define KORVANTEL_FORWARD_H

#include <netinet/in.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

#include "field.h"
#include "section.h"

struct CONNECTION_T;

// Protocol bits of Forward::protocols.
enum { FORWARD_SERVES_HTTP = 0x1, FORWARD_SERVES_FTP = 0x2, FORWARD_SERVES_CONNECT = 0x4 };

// ICP roles of Forward::icp_type.
enum { ICP_NONE = 0, ICP_PARENT = 1, ICP_SIBLING = 2 };

// One forwarding rule, built from one entry.
class Forward {
public:
    bool enabled = false;
    std::string comment;
    StringList profiles;      // condition (profile_find)
    std::string host;         // empty: go direct, and stop looking
    std::string user;         // empty: none
    std::string password;     // empty: none
    std::string domain;       // NTLM domain; empty: none
    int port = -1;            // -1: 443 for a CONNECT parent, else 3128
    int icp_type = ICP_NONE;  // ICP_*
    int icp_port = 0;
    int type = 0;                // stored as forward_type: 0 HTTP, 1 SOCKS4, 2 SOCKS5, 3 CONNECT parent
    unsigned int protocols = 0;  // FORWARD_SERVES_*

    // Run-time: when the peer was found down (0: up). Only under the
    // section's peer-status mutex.
    time_t down = 0;

    // From an entry's fields; missing fields keep the values
    // above.
    explicit Forward(const Item &item);
    // The port the rule connects to (its default when -1).
    int port_get() const;
};

// ICP message: the 20-byte header and its payload. In memory `length` and
// `number` are in host byte order (icp_packet_send and icp_packet_receive
// convert them); the addresses stay in network order as on the wire.
#define ICP_PACKET_MAX 65546
#define ICP_HEADER_SIZE 20
#define ICP_VERSION 3

enum {
    ICP_OP_INVALID = 0,
    ICP_OP_QUERY = 1,
    ICP_OP_HIT = 2,
    ICP_OP_MISS = 3,
    ICP_OP_ERR = 4,
    ICP_OP_SECHO = 10,
    ICP_OP_DECHO = 11,
    ICP_OP_MISS_NOFETCH = 21,
    ICP_OP_DENIED = 22,
    ICP_OP_HIT_OBJ = 23,
};

// Opcode of a candidate that has not answered.
#define ICP_NO_REPLY 255

struct icp_packet {
    uint8_t opcode;
    uint8_t version;
    uint16_t length;  // header included
    uint32_t number;  // request number
    uint32_t options;
    uint32_t option_data;
    uint32_t sender;  // sender host address
    unsigned char payload[ICP_PACKET_MAX - ICP_HEADER_SIZE];
};

// Name of an opcode ("ICP_OP_UNKNOWN" for others).
const char *icp_opcode_name(int opcode);

// Sends the first `length` bytes of the packet to address (length and
// number converted to network order on the wire). Bytes sent, or -1 (also
// for a length outside 20..ICP_PACKET_MAX).
int icp_packet_send(int socket, const struct sockaddr_in *address, const icp_packet *packet);
// Receives one datagram without waiting into packet and the sender into
// address. A message shorter than its header or than the length it
// announces is refused. Returns the bytes received, with length and number
// in host order, or -1.
int icp_packet_receive(int socket, struct sockaddr_in *address, icp_packet *packet);
// The checks and conversions of icp_packet_receive on a datagram of
// `received` bytes already in packet: the bytes, or -1 when refused.
int icp_packet_check(icp_packet *packet, ssize_t received);

// Builds a QUERY for url in packet: version 3, the given request number,
// sender and requester addresses (network order), the URL and its zero
// byte. False when the URL does not fit.
bool icp_query_build(icp_packet *packet, uint32_t number, uint32_t sender, uint32_t requester, const char *url);

// The ICP server's answer to one received message (`received` bytes, as
// icp_packet_receive left it): fills reply, logs, and returns its length.
// The cache section says whether the URL is held.
int icp_answer(const icp_packet *query, int received, icp_packet *reply);

// The ICP server (service thread). Ends at once when no ICP port is
// configured or the port cannot be bound; otherwise runs for ever.
void *icp_thread(void *unused);

// A candidate peer of one request.
struct proxy_candidate {
    unsigned int score = 0;
    uint32_t number = 0;           // ICP request number
    uint8_t reply = ICP_NO_REPLY;  // opcode of the last reply received
    bool skipped = false;          // not queried: flagged down recently
    bool queried = false;          // a query went out to it
    Forward *rule = nullptr;
};

class ForwardSection : public Section {
public:
    // The options, bound in place for the whole run.
    struct Options {
        const int *enabled = nullptr;
        const int *carp = nullptr;
        const uint32_t *carp_modulus = nullptr;
    };
    Options opts;
    std::vector<Forward> rules;  // in entry order

    // Builds the section and installs forward_do as the dispatch's
    // forwarding seam.
    ForwardSection();
    ~ForwardSection() override;
    // Rebuilds the rules (framework, write lock held); down times are lost.
    void update() override;

    // Chooses the upstream of the request; 0. Nothing changes when the
    // connection bypasses forwarding, forwarding is off, or no rule picks a
    // peer.
    int forward_do(CONNECTION_T *connection);
    // Picks one candidate's rule, or null for a direct connection (caller
    // holds the read lock).
    Forward *proxy_select(CONNECTION_T *connection, std::vector<proxy_candidate> &candidates);
    void peer_select_icp(CONNECTION_T *connection, std::vector<proxy_candidate> &candidates);
    void peer_select_carp(CONNECTION_T *connection, std::vector<proxy_candidate> &candidates);
    // The CARP combined hash of url and member (options read by the caller).
    static uint32_t carp_hash(const char *url, const char *member, unsigned int modulus);
    uint32_t carp_hash(const char *url, const char *member);

    // Down time of a rule's peer, and setting it: down stores now, up 0.
    time_t get_status(Forward *rule);
    void set_status(Forward *rule, bool down);

    // Options (read with the lock held by the caller).
    bool enabled_get() const;
    bool carp_get() const;
    unsigned int carp_modulus_get() const;

    // The clock of the down times; time(NULL) unless a test replaces it.
    static time_t (*clock)();

private:
    pthread_mutex_t status_lock;
};

extern ForwardSection *forward_section;

// Why the request would come back into this proxy by the route forward_do
// chose, or null when it would not: its Via names one of the listeners, or
// the server or parent it goes to is one of them (after numeric
// normalisation and name resolution). Such a request would arrive from the
// proxy's own address, with that address's rights.
const char *forward_loop(CONNECTION_T *connection);

// Builds the section (and sets forward_section), for the section registry.
Section *forward_construct();

#endif
