// Statistics: named groups of named counters. One program-wide set lives in
// global->stats (page "/stats"); each access rule has its own set, shared by
// the connections the rule matched (page "/userstats").
//
// Counters are unsigned 32-bit and saturate at both ends instead of wrapping,
// so a busy proxy never shows a small number for a huge one.
//
// Locking. Values, totals and time stamps are atomics, changed with
// compare-and-swap loops so that saturation holds under concurrency. What
// needs more is the lifetime of the counters: a group with a limit adds and
// evicts (frees) counters as names come and go. So:
// - A fixed group is one whose counters are all added while its Stats is
//   built: Stats::Seal, called by globalstats_init and userstats_init before
//   the set is shared, marks every group without a limit fixed. From then on
//   its counter list never changes (Add, AddIncrement of a new name and
//   Limit are refused), so it is walked and counted without any lock.
// - Every other group (the open-ended ones, and any set never sealed) has a
//   read-write lock: counting an existing counter and walking the list hold
//   it shared; adding and evicting hold it exclusive. So no thread counts a
//   counter that another one is freeing, and an addition together with its
//   first count is one exclusive step.
// Stats::Display holds each group's lock shared while it walks the counters.
// Lock order: a group lock comes before any lock a display callback takes;
// no group lock is taken while another is held.
#ifndef KORVANTEL_STATS_H
#define KORVANTEL_STATS_H

#include <pthread.h>
#include <stdint.h>
#include <sys/time.h>

#include <atomic>
#include <vector>

#include "atom.h"

class Filebuf;
struct CONNECTION_T;

// StatCounter::flags
enum {
    STAT_NUMBER = 1,    // shown as "%u"
    STAT_SIZE = 2,      // shown as a byte size (filesize)
    STAT_TEXT = 4,      // shown as the text its callback returns
    STAT_CALLBACK = 8,  // the value comes from the callback
};

// StatGroup::type
enum {
    STATGROUP_PLAIN = 0,
    STATGROUP_PERCENT = 1,
};

// StatGroup::mode: which counter a full group evicts.
enum {
    STAT_EVICT_OLDEST = 0,    // least recently changed (never changed counts as oldest)
    STAT_EVICT_SMALLEST = 1,  // smallest value
};

// Limit of the open-ended groups ("hosts", "mimes", "users", "ip addresses").
extern int STAT_LIMIT;

typedef uint64_t (*StatNumberCallback)();
typedef char *(*StatTextCallback)();  // newly allocated text

// An unsigned 32-bit count that threads change at once; it reads and is
// assigned like a uint32_t (no conversion from a number, so "c ? c->value :
// 0" stays a plain number).
class StatValue {
public:
    explicit StatValue(uint32_t value = 0) : value_(value) {}
    StatValue(const StatValue &) = delete;
    operator uint32_t() const { return value_.load(std::memory_order_relaxed); }
    uint32_t load() const { return value_.load(std::memory_order_relaxed); }
    StatValue &operator=(uint32_t value) {
        value_.store(value, std::memory_order_relaxed);
        return *this;
    }
    // Adds (up) or subtracts n, stopping at either end; answers the new value.
    uint32_t Change(unsigned long long n, bool up);

private:
    std::atomic<uint32_t> value_;
};

class StatCounter {
public:
    int flags;
    char *name;  // owned
    StatNumberCallback number_callback;
    StatTextCallback text_callback;
    StatValue value;
    std::atomic<int64_t> changed_us;  // time of the last change in microseconds; 0 until then

    StatCounter(const char *name, int flags);
    ~StatCounter();
    StatCounter(const StatCounter &) = delete;
    StatCounter &operator=(const StatCounter &) = delete;

    // Display text, newly allocated (free()). Flags that allow no text are a
    // fatal internal error.
    char *Get() const;
    struct timeval Changed() const;
};

class StatGroup {
public:
    int type;                             // STATGROUP_*
    StatValue total;                      // sum of every change, evicted counters included
    std::atomic<int64_t> changed_us;      // time of the last change to any counter, microseconds
    char *name;                           // owned
    int limit;                            // 0: unbounded; else at most limit - 1 counters
    int mode;                             // STAT_EVICT_*
    bool fixed;                           // counters never change any more: counted without the lock
    std::vector<StatCounter *> counters;  // order of addition; owned
    pthread_rwlock_t lock;                // counters, limit and mode of a group that is not fixed

    StatGroup(const char *name, int type);
    ~StatGroup();
    StatGroup(const StatGroup &) = delete;
    StatGroup &operator=(const StatGroup &) = delete;

    // Adds a value counter; false when the name exists or the group is fixed.
    bool Add(const char *name, int flags);
    // Adds a callback counter; flags must hold STAT_NUMBER or STAT_SIZE
    // (number) or STAT_TEXT (text), STAT_CALLBACK is added. False otherwise
    // or when the name exists.
    bool Add(const char *name, StatNumberCallback callback, int flags);
    bool Add(const char *name, StatTextCallback callback, int flags);
    // Adds n to the counter and the total (saturating), stamps both; returns
    // the new value, 0 when there is no such counter.
    uint32_t Increment(const char *name, unsigned long long n = 1);
    // Adds a STAT_NUMBER counter when absent and counts 1, in one step so
    // that a concurrent addition cannot evict the new counter before it
    // counts. Returns the new value (0: a new name in a fixed group).
    uint32_t AddIncrement(const char *name);
    // Subtracts n (stopping at 0) likewise.
    uint32_t Decrement(const char *name, unsigned long long n = 1);
    // Sets limit and mode; ignored for a fixed group.
    void Limit(int limit, int mode);
    // Makes room for one more counter when the group is full. Caller holds lock exclusive.
    void Prune();
    // Counter of that name or null. Caller holds lock unless the group is fixed.
    StatCounter *find(const char *name) const;
    // Changes a counter of this group by n, up or down (saturating), and
    // stamps it and the group. Caller holds lock unless the group is fixed.
    uint32_t Change(StatCounter *counter, unsigned long long n, bool up);

private:
    bool add_locked(StatCounter *counter);
};

// The counters the event functions change, resolved once by Stats::Seal.
enum StatEvent {
    STAT_EV_HTTP,
    STAT_EV_FTP,
    STAT_EV_CONNECT,
    STAT_EV_CACHE_HIT,
    STAT_EV_CACHE_MISS,
    STAT_EV_REFRESH_HIT,
    STAT_EV_REFRESH_MISS,
    STAT_EV_HOSTS,  // open-ended groups: the group only
    STAT_EV_MIMES,
    STAT_EV_IPADDRESSES,
    STAT_EVENTS
};

class Stats : public Atom {
public:
    std::vector<StatGroup *> groups;  // order of addition; owned
    bool sealed;                      // set by Seal: no more groups
    // Per StatEvent, the group and (in a fixed group) the counter; null when
    // absent or before Seal.
    StatGroup *event_group[STAT_EVENTS];
    StatCounter *event_counter[STAT_EVENTS];

    Stats();  // reference count 1, no groups
    // Caller has dropped the last reference (count 0).
    ~Stats();
    Stats(const Stats &) = delete;
    Stats &operator=(const Stats &) = delete;

    // Appends an empty group unless one of that name exists or the set is sealed.
    void AddGroup(const char *name, int type);
    StatGroup *FindGroup(const char *name) const;
    // StatGroup::Add on the named group; false when there is no such group.
    bool AddCounter(const char *group, const char *name, int flags);
    bool AddCounter(const char *group, const char *name, StatNumberCallback callback, int flags);
    bool AddCounter(const char *group, const char *name, StatTextCallback callback, int flags);
    // 0 and nothing changed when the group or counter does not exist.
    uint32_t Increment(const char *group, const char *name, unsigned long long n = 1);
    uint32_t Decrement(const char *group, const char *name, unsigned long long n = 1);
    void Limit(const char *group, int limit, int mode);
    // Appends the HTML rows of every group to page.
    void Display(Filebuf *page);
    // Ends the building, before the set is shared: groups without a limit
    // become fixed and the event counters are resolved.
    void Seal();
};

// Adds the counter (flag STAT_NUMBER) when absent, then counts 1: for the
// open-ended groups. Null stats or an empty name count nothing.
void stats_count_name(Stats *stats, const char *group, const char *name);

// Builds the program-wide groups in global->stats.
void globalstats_init();
// Adds n to a counter of the program-wide statistics (saturating); nothing
// while they do not exist, or for n 0.
void stats_count(const char *group, const char *counter, unsigned long long n = 1);
// New statistics of one access rule (reference count 1).
Stats *userstats_init();
// Drops one reference (caller holds atomlock); the last one frees them.
// connection_free lets go of a connection's through it.
void stats_release(Stats *stats);

// Event functions: change the program-wide statistics and, when the
// connection has rule statistics, the same counter there.
void statincr_httprequests(CONNECTION_T *connection);
void statincr_ftprequests(CONNECTION_T *connection);
void statincr_connectrequests(CONNECTION_T *connection);
void statincr_cachehit(CONNECTION_T *connection);
void statincr_cachemiss(CONNECTION_T *connection);
void statdecr_cachehit(CONNECTION_T *connection);
void statincr_cacherefreshhit(CONNECTION_T *connection);
void statincr_cacherefreshmiss(CONNECTION_T *connection);
void statincr_hosts(CONNECTION_T *connection);  // the request's host
void statincr_mimes(CONNECTION_T *connection);  // the response's MIME type
// Program-wide only: the client address.
void statincr_ipaddresses(CONNECTION_T *connection);

// The seven figures of "/proc/self/statm", in its order.
struct statm_t {
    uint64_t size;
    uint64_t resident;
    uint64_t shared;
    uint64_t text;
    uint64_t library;
    uint64_t data;
    uint64_t dirty;
};

// Fills s in bytes from "/proc/self/statm"; false when it cannot be read or
// does not hold seven numbers.
bool statm_load(statm_t *s);
// Path read by statm_load (tests point it elsewhere).
extern const char *statm_path;

// Figures of the "system" group, read when shown: memory in bytes, CPU
// times and page faults of the whole process (getrusage).
uint64_t stat_size();
uint64_t stat_resident();
uint64_t stat_share();
char *stat_usertime();
char *stat_systime();
uint64_t stat_minflt();
uint64_t stat_majflt();

#endif
