// LogEntry: the record of a connection's current request, and the two
// transaction logs it is written to: the access log (option -a) and the
// extended log (option -e). Both files start with a legend line and rotate
// on SIGUSR1 like the native log, under the same logfile_lock.
#ifndef KORVANTEL_LOGENTRY_H
#define KORVANTEL_LOGENTRY_H

#include <sys/time.h>

#include <string>

// Access and extended log files: descriptors (-1 while closed) and the
// rotation flags the SIGUSR1 handler sets to -1.
extern int slogfd;
extern int elogfd;
extern volatile int slogflg;
extern volatile int elogflg;

// First line of a new or empty access / extended log.
extern const char access_legend[];
extern const char apache_legend[];

// Cache codes of the record, in the order of their names in the access log.
enum CacheCode {
    CACHECODE_UNSPECIFIED,
    CACHECODE_TCP_HIT,
    CACHECODE_TCP_MISS,
    CACHECODE_TCP_REFRESH_HIT,
    CACHECODE_TCP_REF_FAIL_HIT,
    CACHECODE_TCP_REFRESH_MISS,
    CACHECODE_TCP_CLIENT_REFRESH,
    CACHECODE_TCP_IMS_HIT,
    CACHECODE_TCP_IMS_MISS,
    CACHECODE_TCP_DENIED,
    CACHECODE_UDP_HIT,
    CACHECODE_UDP_MISS,
    CACHECODE_UDP_HIT_OBJ,
    CACHECODE_UDP_DENIED,
    CACHECODE_UDP_INVALID,
    CACHECODE_COUNT
};

// Peer codes of the record, in the order of their names in the access log.
enum PeerCode {
    PEERCODE_NONE,
    PEERCODE_DIRECT,
    PEERCODE_FIREWALL_IP_DIRECT,
    PEERCODE_FIRST_PARENT_MISS,
    PEERCODE_FIRST_UP_PARENT,
    PEERCODE_LOCAL_IP_DIRECT,
    PEERCODE_SIBLING_HIT,
    PEERCODE_NO_DIRECT_FAIL,
    PEERCODE_NO_PARENT_DIRECT,
    PEERCODE_PARENT_HIT,
    PEERCODE_SINGLE_PARENT,
    PEERCODE_SOURCE_FASTEST,
    PEERCODE_PARENT_UDP_HIT_OBJ,
    PEERCODE_SIBLING_UDP_HIT_OBJ,
    PEERCODE_PASSTHROUGH_PARENT,
    PEERCODE_SSL_PARENT_MISS,
    PEERCODE_DEFAULT_PARENT,
    PEERCODE_ROUNDROBIN_PARENT,
    PEERCODE_CLOSEST_PARENT_MISS,
    PEERCODE_CLOEST_DIRECT,
    PEERCODE_COUNT,
    // A parent chosen by CARP; it has no name of its own and logs as NONE.
    PEERCODE_CARP = PEERCODE_COUNT
};

class LogEntry {
private:
    int cachecode_;  // a CacheCode
    int peercode_;   // a PeerCode

public:
    // Texts are "-" when not known. Never assign a null pointer to them.
    std::string client;
    struct timeval start_time;
    struct timeval end_time;  // stamped by Build / apache_Build
    int status;
    long long size;  // bytes sent; 64-bit so large transfers log right
    std::string method;
    std::string url;
    std::string username;
    std::string peer;
    std::string mime;
    std::string useragent;
    std::string http_referer;
    std::string filter_name;
    std::string filtering_reason;
    std::string profiles;  // comma-separated profiles applied
    std::string interface_ip;
    std::string interface_port;
    unsigned int client_id;

    LogEntry();

    // Starts a new request: start time now; codes, status and size 0; url,
    // peer, mime, filter_name, filtering_reason and profiles "-". Client,
    // method, user, agent, referer, interface and id stay.
    void Reset();

    void set_cachecode(int code);
    void set_peercode(int code);
    // Names of the codes ("UNSPECIFIED" / "NONE" for unknown values).
    const char *cachecode() const;
    const char *peercode() const;

    // Record texts; each stamps the end time. They begin with a newline and
    // have none at the end.
    std::string Build();
    std::string apache_Build();

    // Append the record to the access log / the extended log. When that log
    // is off, only the end time is stamped. A file that cannot be opened
    // loses the record.
    void Write();
    void apache_Write();
};

#endif
