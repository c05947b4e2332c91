#include "stats.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "connection.h"
#include "filebuf.h"
#include "global.h"
#include "header.h"
#include "lockguard.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "socket.h"
#include "timerange.h"

int STAT_LIMIT = 100;
const char *statm_path = "/proc/self/statm";

static uint32_t saturating_add(uint32_t value, unsigned long long n) {
    unsigned long long sum = (unsigned long long)value + n;
    if (n > UINT32_MAX || sum > UINT32_MAX) return UINT32_MAX;
    return (uint32_t)sum;
}

static uint32_t saturating_sub(uint32_t value, unsigned long long n) {
    if (n >= value) return 0;
    return (uint32_t)(value - n);
}

// A compare-and-swap loop: concurrent changes all count, and none wraps past
// either end.
uint32_t StatValue::Change(unsigned long long n, bool up) {
    uint32_t old = value_.load(std::memory_order_relaxed);
    uint32_t next;
    do {
        next = up ? saturating_add(old, n) : saturating_sub(old, n);
        if (next == old) return old;
    } while (!value_.compare_exchange_weak(old, next, std::memory_order_relaxed));
    return next;
}

static int64_t now_us() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return (int64_t)now.tv_sec * 1000000 + now.tv_usec;
}

static char *copy_or_die(const char *text, const char *function) {
    char *copy = xstrdup(text ? text : "");
    if (!copy) fatal_alloc("src/stats", __LINE__, function, strlen(text ? text : "") + 1);
    return copy;
}

// ---------------------------------------------------------------------------
// StatCounter

StatCounter::StatCounter(const char *name, int flags)
    : flags(flags),
      name(copy_or_die(name, "StatCounter")),
      number_callback(nullptr),
      text_callback(nullptr),
      value(0),
      changed_us(0) {}

StatCounter::~StatCounter() { free(name); }

struct timeval StatCounter::Changed() const {
    int64_t us = changed_us.load(std::memory_order_relaxed);
    struct timeval tv;
    tv.tv_sec = (time_t)(us / 1000000);
    tv.tv_usec = (suseconds_t)(us % 1000000);
    return tv;
}

char *StatCounter::Get() const {
    uint64_t number = value.load();
    if (flags & STAT_CALLBACK) {
        if ((flags & STAT_TEXT) && text_callback) {
            char *text = text_callback();
            return text ? text : copy_or_die("", "StatCounter::Get");
        }
        if (number_callback) number = number_callback();
    }
    switch (flags & ~STAT_CALLBACK) {
        case STAT_NUMBER: {
            char text[24];
            snprintf(text, sizeof text, "%llu", (unsigned long long)number);
            return copy_or_die(text, "StatCounter::Get");
        }
        case STAT_SIZE: return filesize(number);
        default:
            // a text counter without its callback, or no single display kind
            fatal_assert("src/stats", __LINE__, "StatCounter::Get");
    }
}

// ---------------------------------------------------------------------------
// StatGroup

StatGroup::StatGroup(const char *name, int type)
    : type(type), total(0), changed_us(0), name(copy_or_die(name, "StatGroup")), limit(0), mode(0), fixed(false) {
    // writers first: a new name must not wait behind a stream of counts
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock, &attr);
    pthread_rwlockattr_destroy(&attr);
}

StatGroup::~StatGroup() {
    for (StatCounter *counter : counters) delete counter;
    free(name);
    pthread_rwlock_destroy(&lock);
}

StatCounter *StatGroup::find(const char *key) const {
    if (!key) return nullptr;
    for (StatCounter *counter : counters)
        if (strcmp(counter->name, key) == 0) return counter;
    return nullptr;
}

void StatGroup::Prune() {
    if (limit <= 0 || counters.empty()) return;
    if ((long)counters.size() < (long)limit - 1) return;
    size_t victim = 0;
    for (size_t i = 1; i < counters.size(); i++) {
        const StatCounter *c = counters[i], *v = counters[victim];
        if (mode == STAT_EVICT_SMALLEST) {
            if (c->value.load() < v->value.load()) victim = i;
        } else if (c->changed_us.load(std::memory_order_relaxed) < v->changed_us.load(std::memory_order_relaxed)) {
            victim = i;
        }
    }
    delete counters[victim];
    counters.erase(counters.begin() + (long)victim);
}

bool StatGroup::add_locked(StatCounter *counter) {
    if (!fixed) {
        RwWriteLock held(&lock);
        if (!find(counter->name)) {
            Prune();
            counters.push_back(counter);
            return true;
        }
    }
    delete counter;
    return false;
}

bool StatGroup::Add(const char *key, int flags) {
    if (!key) return false;
    return add_locked(new StatCounter(key, flags));
}

bool StatGroup::Add(const char *key, StatNumberCallback callback, int flags) {
    if (!key || !(flags & (STAT_NUMBER | STAT_SIZE))) return false;
    StatCounter *counter = new StatCounter(key, flags | STAT_CALLBACK);
    counter->number_callback = callback;
    return add_locked(counter);
}

bool StatGroup::Add(const char *key, StatTextCallback callback, int flags) {
    if (!key || !(flags & STAT_TEXT)) return false;
    StatCounter *counter = new StatCounter(key, flags | STAT_CALLBACK);
    counter->text_callback = callback;
    return add_locked(counter);
}

uint32_t StatGroup::Change(StatCounter *counter, unsigned long long n, bool up) {
    uint32_t result = counter->value.Change(n, up);
    total.Change(n, up);
    int64_t now = now_us();
    counter->changed_us.store(now, std::memory_order_relaxed);
    changed_us.store(now, std::memory_order_relaxed);
    return result;
}

// By name: a fixed group's list never changes, so it is read without the
// lock; in any other group the shared lock keeps the counter from eviction.
static uint32_t change_named(StatGroup *group, const char *key, unsigned long long n, bool up) {
    if (group->fixed) {
        StatCounter *counter = group->find(key);
        return counter ? group->Change(counter, n, up) : 0;
    }
    RwReadLock held(&group->lock);
    StatCounter *counter = group->find(key);
    return counter ? group->Change(counter, n, up) : 0;
}

uint32_t StatGroup::Increment(const char *key, unsigned long long n) { return change_named(this, key, n, true); }

uint32_t StatGroup::Decrement(const char *key, unsigned long long n) { return change_named(this, key, n, false); }

uint32_t StatGroup::AddIncrement(const char *key) {
    if (!key) return 0;
    if (fixed) return change_named(this, key, 1, true);
    {
        RwReadLock shared(&lock);
        if (StatCounter *counter = find(key)) return Change(counter, 1, true);
    }
    RwWriteLock held(&lock);
    StatCounter *counter = find(key);  // again: another thread may have added it
    if (!counter) {
        counter = new StatCounter(key, STAT_NUMBER);
        Prune();
        counters.push_back(counter);
    }
    return Change(counter, 1, true);
}

void StatGroup::Limit(int new_limit, int new_mode) {
    if (fixed) return;  // a fixed group must never evict
    RwWriteLock held(&lock);
    limit = new_limit;
    mode = new_mode;
}

// ---------------------------------------------------------------------------
// Stats

Stats::Stats() : sealed(false), event_group{}, event_counter{} {}

Stats::~Stats() {
    for (StatGroup *group : groups) delete group;
}

StatGroup *Stats::FindGroup(const char *key) const {
    if (!key) return nullptr;
    for (StatGroup *group : groups)
        if (strcmp(group->name, key) == 0) return group;
    return nullptr;
}

void Stats::AddGroup(const char *key, int type) {
    if (!key || sealed || FindGroup(key)) return;
    groups.push_back(new StatGroup(key, type));
}

bool Stats::AddCounter(const char *group, const char *key, int flags) {
    StatGroup *g = FindGroup(group);
    return g ? g->Add(key, flags) : false;
}

bool Stats::AddCounter(const char *group, const char *key, StatNumberCallback callback, int flags) {
    StatGroup *g = FindGroup(group);
    return g ? g->Add(key, callback, flags) : false;
}

bool Stats::AddCounter(const char *group, const char *key, StatTextCallback callback, int flags) {
    StatGroup *g = FindGroup(group);
    return g ? g->Add(key, callback, flags) : false;
}

uint32_t Stats::Increment(const char *group, const char *key, unsigned long long n) {
    StatGroup *g = FindGroup(group);
    return g ? g->Increment(key, n) : 0;
}

uint32_t Stats::Decrement(const char *group, const char *key, unsigned long long n) {
    StatGroup *g = FindGroup(group);
    return g ? g->Decrement(key, n) : 0;
}

void Stats::Limit(const char *group, int limit, int mode) {
    StatGroup *g = FindGroup(group);
    if (g) g->Limit(limit, mode);
}

void Stats::Display(Filebuf *page) {
    if (!page) return;
    for (StatGroup *group : groups) {
        page->Addf("<tr><td align=\"center\"><table class=\"smalldialog\">\n");
        char *title = string_to_html(group->name, 1);
        page->Addf("<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">%s</td></tr>\n", title ? title : "");
        free(title);
        {
            RwReadLock held(&group->lock);
            int row = 0;
            for (StatCounter *counter : group->counters) {
                const char *cls = (row++ % 2 == 0) ? "listeven" : "listodd";
                char *name = string_to_html(counter->name, 1);
                if (group->type == STATGROUP_PERCENT) {
                    if (!(counter->flags & STAT_NUMBER)) fatal_assert("src/stats", __LINE__, "Stats::Display");
                    // a fixed group counts on meanwhile: value and total are
                    // each read once, and the share stays clamped
                    uint32_t value = counter->value.load();
                    uint32_t total = group->total.load();
                    unsigned long long share = 0;
                    if (total) {
                        share = (unsigned long long)value * 100 / total;
                        if (share > 100) share = 100;
                    }
                    page->Addf("<tr class=\"%s\"><td width=\"40%%\">%s</td><td>%u (%d%%)</td></tr>\n", cls,
                               name ? name : "", value, (int)share);
                } else {
                    char *text = counter->Get();
                    page->Addf("<tr class=\"%s\"><td width=\"40%%\">%s</td><td>%s</td></tr>\n", cls, name ? name : "",
                               text ? text : "");
                    free(text);
                }
                free(name);
            }
        }
        page->Addf("</table></td></tr> <tr><td><br></td></tr>\n");
    }
}

// The event functions' counters, in StatEvent order; a null counter name
// stands for an open-ended group.
static const char *const event_names[STAT_EVENTS][2] = {
    {"requests", "HTTP requests"},
    {"requests", "FTP requests"},
    {"requests", "CONNECT requests"},
    {"cache", "hit"},
    {"cache", "miss"},
    {"cache refresh", "hit"},
    {"cache refresh", "miss"},
    {"hosts", nullptr},
    {"mimes", nullptr},
    {"ip addresses", nullptr},
};

void Stats::Seal() {
    if (sealed) return;
    sealed = true;
    for (StatGroup *group : groups)
        if (group->limit == 0) group->fixed = true;
    for (int e = 0; e < STAT_EVENTS; e++) {
        StatGroup *group = FindGroup(event_names[e][0]);
        event_group[e] = group;
        // only a fixed group's counter may be kept: any other can be evicted
        event_counter[e] = group && group->fixed && event_names[e][1] ? group->find(event_names[e][1]) : nullptr;
    }
}

void stats_count_name(Stats *stats, const char *group, const char *name) {
    if (!stats || !name || !*name) return;
    StatGroup *g = stats->FindGroup(group);
    if (g) g->AddIncrement(name);
}

// ---------------------------------------------------------------------------
// Building

static void two_counters(Stats *stats, const char *group, int type, const char *a, const char *b) {
    stats->AddGroup(group, type);
    stats->AddCounter(group, a, STAT_NUMBER);
    stats->AddCounter(group, b, STAT_NUMBER);
}

static void requests_group(Stats *stats) {
    stats->AddGroup("requests", STATGROUP_PLAIN);
    stats->AddCounter("requests", "HTTP requests", STAT_NUMBER);
    stats->AddCounter("requests", "FTP requests", STAT_NUMBER);
    stats->AddCounter("requests", "CONNECT requests", STAT_NUMBER);
}

static void open_group(Stats *stats, const char *group) {
    stats->AddGroup(group, STATGROUP_PERCENT);
    stats->Limit(group, STAT_LIMIT, STAT_EVICT_OLDEST);
}

void stats_count(const char *group, const char *counter, unsigned long long n) {
    if (global && global->stats && n) global->stats->Increment(group, counter, n);
}

void globalstats_init() {
    if (!global) return;
    if (!global->stats) global->stats = new Stats();
    Stats *s = global->stats;
    s->AddGroup("system", STATGROUP_PLAIN);
    s->AddCounter("system", "user time", stat_usertime, STAT_TEXT);
    s->AddCounter("system", "system time", stat_systime, STAT_TEXT);
    s->AddCounter("system", "memory resident", stat_resident, STAT_SIZE);
    s->AddCounter("system", "memory size", stat_size, STAT_SIZE);
    s->AddCounter("system", "memory shared", stat_share, STAT_SIZE);
    s->AddCounter("system", "minor pagefaults", stat_minflt, STAT_NUMBER);
    s->AddCounter("system", "major pagefaults", stat_majflt, STAT_NUMBER);
    requests_group(s);
    s->AddGroup("network", STATGROUP_PLAIN);
    s->AddCounter("network", "successful connections", STAT_NUMBER);
    s->AddCounter("network", "failed connections", STAT_NUMBER);
    s->AddCounter("network", "DNS failures", STAT_NUMBER);
    s->AddCounter("network", "bytes in", STAT_SIZE);
    s->AddCounter("network", "bytes out", STAT_SIZE);
    two_counters(s, "DNS cache", STATGROUP_PERCENT, "hit", "miss");
    two_counters(s, "cache", STATGROUP_PERCENT, "hit", "miss");
    two_counters(s, "cache refresh", STATGROUP_PERCENT, "hit", "miss");
    two_counters(s, "connection pool", STATGROUP_PERCENT, "hit", "miss");
    open_group(s, "hosts");
    open_group(s, "mimes");
    open_group(s, "users");
    open_group(s, "ip addresses");
    s->Seal();
}

Stats *userstats_init() {
    Stats *s = new Stats();
    requests_group(s);
    two_counters(s, "cache", STATGROUP_PERCENT, "hit", "miss");
    two_counters(s, "cache refresh", STATGROUP_PERCENT, "hit", "miss");
    open_group(s, "hosts");
    open_group(s, "mimes");
    s->Seal();
    return s;
}

void stats_release(Stats *stats) {
    if (stats && stats->Delete()) delete stats;
}

// ---------------------------------------------------------------------------
// Event functions

static Stats *program_stats() { return global ? global->stats : nullptr; }

// One event counter of one set: the resolved counter without any look-up or
// lock; by name in a set that was never sealed.
static void change_event(Stats *s, StatEvent event, bool up) {
    if (!s) return;
    if (StatCounter *counter = s->event_counter[event]) {
        s->event_group[event]->Change(counter, 1, up);
    } else if (StatGroup *group = s->sealed ? s->event_group[event] : s->FindGroup(event_names[event][0])) {
        change_named(group, event_names[event][1], 1, up);
    }
}

static void both_change(CONNECTION_T *connection, StatEvent event, bool up = true) {
    change_event(program_stats(), event, up);
    if (connection) change_event(connection->userstats, event, up);
}

static void count_name_event(Stats *s, StatEvent event, const char *name) {
    if (!s) return;
    StatGroup *group = s->sealed ? s->event_group[event] : s->FindGroup(event_names[event][0]);
    if (group) group->AddIncrement(name);
}

static void both_count_name(CONNECTION_T *connection, StatEvent event, const char *name) {
    if (!name || !*name) return;
    count_name_event(program_stats(), event, name);
    if (connection) count_name_event(connection->userstats, event, name);
}

void statincr_httprequests(CONNECTION_T *c) { both_change(c, STAT_EV_HTTP); }
void statincr_ftprequests(CONNECTION_T *c) { both_change(c, STAT_EV_FTP); }
void statincr_connectrequests(CONNECTION_T *c) { both_change(c, STAT_EV_CONNECT); }
void statincr_cachehit(CONNECTION_T *c) { both_change(c, STAT_EV_CACHE_HIT); }
void statincr_cachemiss(CONNECTION_T *c) { both_change(c, STAT_EV_CACHE_MISS); }
void statincr_cacherefreshhit(CONNECTION_T *c) { both_change(c, STAT_EV_REFRESH_HIT); }
void statincr_cacherefreshmiss(CONNECTION_T *c) { both_change(c, STAT_EV_REFRESH_MISS); }
void statdecr_cachehit(CONNECTION_T *c) { both_change(c, STAT_EV_CACHE_HIT, false); }

void statincr_hosts(CONNECTION_T *c) {
    if (c && c->request) both_count_name(c, STAT_EV_HOSTS, c->request->host);
}

void statincr_mimes(CONNECTION_T *c) {
    if (c && c->response) both_count_name(c, STAT_EV_MIMES, c->response->mime_type);
}

void statincr_ipaddresses(CONNECTION_T *c) {
    if (c && c->ip && *c->ip) count_name_event(program_stats(), STAT_EV_IPADDRESSES, c->ip);
}

// ---------------------------------------------------------------------------
// Figures read when shown

bool statm_load(statm_t *s) {
    if (!s) return false;
    FILE *file = fopen(statm_path, "r");
    if (!file) return false;
    char line[1024];
    bool ok = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    if (!ok) return false;
    unsigned long long v[7];
    if (sscanf(line, "%llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]) != 7)
        return false;
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) page = 4096;
    uint64_t *out[7] = {&s->size, &s->resident, &s->shared, &s->text, &s->library, &s->data, &s->dirty};
    for (int i = 0; i < 7; i++) *out[i] = (uint64_t)v[i] * (uint64_t)page;
    return true;
}

uint64_t stat_size() {
    statm_t s;
    return statm_load(&s) ? s.size : 0;
}

uint64_t stat_resident() {
    statm_t s;
    return statm_load(&s) ? s.resident : 0;
}

uint64_t stat_share() {
    statm_t s;
    return statm_load(&s) ? s.shared : 0;
}

// The whole process's usage, read when shown.
static struct rusage usage_now() {
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) memset(&usage, 0, sizeof usage);
    return usage;
}

char *stat_usertime() {
    struct rusage usage = usage_now();
    return timeval_to_string(&usage.ru_utime);
}

char *stat_systime() {
    struct rusage usage = usage_now();
    return timeval_to_string(&usage.ru_stime);
}

uint64_t stat_minflt() {
    long value = usage_now().ru_minflt;
    return value > 0 ? (uint64_t)value : 0;
}

uint64_t stat_majflt() {
    long value = usage_now().ru_majflt;
    return value > 0 ? (uint64_t)value : 0;
}
