// Prefetching ("prefetch" section): while an HTML response passes through
// the proxy, the links in the tags the rules name are queued with their
// depth, and a fixed number of prefetch workers fetch queued URLs into the
// object cache through internal connections that have no client. URLs are
// also queued by the "prefetch" URL command and the interface's page.
//
// Only http and ftp links are queued: "//host/x" takes the page's scheme,
// other links without a scheme are resolved against the page, and links of
// other schemes (javascript:, mailto:, ...) or that do not parse are skipped.
#ifndef KORVANTEL_PREFETCH_H
#define KORVANTEL_PREFETCH_H

#include <pthread.h>

#include <string>
#include <vector>

#include "field.h"
#include "section.h"

struct CONNECTION_T;
struct URL;
struct HTTP_HEADER;
struct regex_posix_t;

// One queued URL.
struct PREFETCH_QUEUE {
    PREFETCH_QUEUE *next = nullptr;
    unsigned client_id = 0;  // of the thread that queued it
    int depth = 0;
    unsigned size_limit = 0xFFFFFFFFu;            // 0xFFFFFFFF: none
    URL *url = nullptr;                           // owned
    std::vector<HTTP_HEADER> *headers = nullptr;  // owned; null: defaults
};
void prefetch_queue_free(PREFETCH_QUEUE *element);

class PrefetchSection : public Section {
public:
    struct Rule {
        bool enabled = false;
        std::string comment;
        StringList profiles;
        std::string tag;
        std::string attribute;
        std::string pattern_text;
        unsigned size = 0;                 // download allowance of a queued link; 0 none
        int depth = 0;                     // maximum link depth; 0 none
        regex_posix_t *pattern = nullptr;  // owned; null when empty or invalid

        Rule() {}
        Rule(const Rule &other);
        Rule &operator=(const Rule &other);
        ~Rule();
        void compile();
    };
    struct Options {
        const int *enabled = nullptr;
        const int *threads = nullptr;  // read once at start-up
        const int *queuesize = nullptr;
        const int *hostlimit = nullptr;  // 0: none
    };
    Options opts;
    std::vector<Rule> rules;  // under the section mutex

    // Queue, under the section mutex.
    pthread_cond_t cond;
    PREFETCH_QUEUE *head = nullptr;
    PREFETCH_QUEUE *tail = nullptr;
    int length = 0;

    PrefetchSection();
    ~PrefetchSection() override;
    void update() override;
    int pattern_kind(size_t subsection, size_t position) const override;

    // Starts the prefetch workers (once, at start-up).
    void init_threads();
    // Attaches the rules' tag callbacks to an HTML response.
    void setup_callbacks(CONNECTION_T *connection);
    // Queues url (taken over) unless the queue is full, it is cached or
    // queued already, or its host has its limit. headers are copied.
    void queue_add(URL *url, const std::vector<HTTP_HEADER> *headers, unsigned size_limit, int depth);
    // The queued URLs in order, as text.
    std::vector<std::string> queued();
    // Takes the first element, waiting up to a second for one; null when none.
    PREFETCH_QUEUE *queue_take();
};

extern PrefetchSection *prefetch_section;
Section *prefetch_construct();

// The link a tag attribute names, resolved against the page's request URL
// (scheme, host, port, path); null when it is not an http or ftp link.
URL *prefetch_link(const char *value, const char *protocol, const char *host, int port, const char *path);

// Fetches one queued URL into the cache: 1 fetched, 0 already cached.
int protocol_prefetch(PREFETCH_QUEUE *element);

// Queues url (the caller keeps it) with the request's header lines, the
// connection's remaining transfer allowance and depth 1.
void prefetch_queue_add(CONNECTION_T *connection, URL *url);
// May attach an HTML stream and tag callbacks to the response.
void prefetch_setup_callbacks(CONNECTION_T *connection);

#endif
