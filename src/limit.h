// Limits: the "limits" section restricts what the clients of given profiles
// may do within a time window: block every request, cap the number of
// requests, the bytes downloaded and uploaded, and the download rate. Each
// rule counts over all the requests it matches, whoever makes them; the
// counts restart when its window ends (limits_reset, every second).
//
// The request driver calls check_and_block once per request after the
// profiles are updated; the worker calls update(connection) after every
// request to charge it.
#ifndef KORVANTEL_LIMIT_H
#define KORVANTEL_LIMIT_H

#include <stdint.h>
#include <time.h>

#include <list>
#include <string>

#include "field.h"
#include "section.h"
#include "timerange.h"

class LimitGroup;
struct CONNECTION_T;

// Bits of a rule's flags (field 15).
enum {
    LIMIT_CACHED = 0x1,    // responses served from the cache count, and the transfer limit applies to them
    LIMIT_NOCHARGE = 0x2,  // never charged: limits and blocks, never counts
    LIMIT_SHARED = 0x4,    // one rate group shared by every connection of the rule
};

// One rule, built from one entry.
class Limit {
public:
    bool enabled = false;       // field 0
    std::string comment;        // 1
    StringList profiles;        // 2
    int type = 0;               // 3: 1 blocks every matching request in the window
    std::string template_name;  // 4
    tm_partial start{}, end{};  // 5 to 9: the window
    uint32_t download = 0;      // 10: quota in bytes, 0 none
    uint32_t upload = 0;        // 11
    uint32_t max_requests = 0;  // 12
    uint32_t rate = 0;          // 13: bytes per second to the client, 0 none
    int timemode = 0;           // 14: non-zero each component in its own range
    unsigned int flags = 0;     // 15: LIMIT_*

    // Counts, charged under the section's write lock.
    uint32_t downloaded = 0;
    uint32_t uploaded = 0;
    uint32_t request_count = 0;
    LimitGroup *rate_group = nullptr;  // with LIMIT_SHARED; reference-counted

    explicit Limit(const Item &item);
    // A copy shares the rate group (one more reference).
    Limit(const Limit &other);
    Limit &operator=(const Limit &other) = delete;
    ~Limit();

    bool in_window(const struct tm *now) const;
};

class LimitSection : public Section {
public:
    struct Options {
        const int *enabled = nullptr;  // limits are enforced and counted
    };
    Options opts;
    std::list<Limit> limits;

    LimitSection();
    ~LimitSection() override;
    // Rebuilds the rules (framework, write lock held); every count restarts.
    void update() override;

    // Resets the request's allowances and applies the rules at local time
    // now (the current time without it). 1 when a limit blocked the request
    // and its page was sent, else 0.
    int check_and_block(CONNECTION_T *connection);
    int check_and_block(CONNECTION_T *connection, const struct tm *now);
    // Charges a finished request to every rule that applies to it.
    void update(CONNECTION_T *connection);
    void update(CONNECTION_T *connection, const struct tm *now);
    // Restarts the counts of rules whose window has closed.
    void reset();
    void reset(const struct tm *now);
};

extern LimitSection *limit_section;

// The one-second timer callback: reset() of limit_section.
void limits_reset(void *argument);

// The page of the URL command "limits": the connection's remaining download
// and upload allowances.
void limits_show(CONNECTION_T *connection);

// Builds the section (and sets limit_section), for the section registry.
Section *limit_construct();

#endif
