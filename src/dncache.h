// The directory user cache (global->dn_cache, guarded by
// global->dn_cache_lock): for a user name, the value its access groups come
// from (the user's DN, or the last value of the group attribute, or
// "NOT-FOUND" for a user the directory does not know) and the user's DN,
// which authentication binds with.
#ifndef KORVANTEL_DNCACHE_H
#define KORVANTEL_DNCACHE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <functional>
#include <string>

#define DN_CACHE_NOT_FOUND "NOT-FOUND"

// Entries the cache holds per bucket at most; past it the oldest go first,
// so made-up user names cannot grow it without bound.
#define DN_CACHE_PER_BUCKET 256

struct DN_CACHE_ENTRY {
    DN_CACHE_ENTRY *next;
    uint32_t time;  // seconds since the epoch, when inserted
    char *name;     // owned
    char *value;    // owned
    char *dn;       // owned; empty for an unknown user
    DN_CACHE_ENTRY *older, *newer;  // insertion order across buckets
};

struct DN_CACHE_TABLE {
    int count;                 // buckets, at least 1
    DN_CACHE_ENTRY **buckets;  // chain heads; new entries at the tail
    size_t entries;            // entries held
    DN_CACHE_ENTRY *oldest, *newest;
};

DN_CACHE_TABLE *dn_cache_create(int n);
void dn_cache_destroy(DN_CACHE_TABLE *table);
// Bucket of a name: over its bytes taken as signed values c, the sum of
// 20c + (c >> 2) + (c >> 4) + 8111, modulo n.
int dn_cache_key(int n, const char *name);
// The entry of the name (compared without regard to case), or null.
DN_CACHE_ENTRY *dn_cache_search(DN_CACHE_TABLE *table, const char *name);
// Appends an entry, dropping the oldest entries first when the table is
// full; callers purge the name first.
DN_CACHE_ENTRY *dn_cache_insert(DN_CACHE_TABLE *table, const char *name, const char *value, const char *dn);
void dn_cache_purge(DN_CACHE_TABLE *table, const char *name);
// Drops the "NOT-FOUND" entries inserted more than max_age seconds before now.
void dn_cache_expire_unknown(DN_CACHE_TABLE *table, time_t now, time_t max_age);

// Program-wide cache in global.
// Replaces the name's entry under the write lock.
void update_dn_cache(const char *name, const char *value, const char *dn);
// The name's value and DN under the read lock; false when not cached. A
// "NOT-FOUND" entry older than the refill period (password_cachexpire)
// counts as not cached: the directory is asked again.
bool dn_cache_lookup(const char *name, std::string *value, std::string *dn);
// dn_cache_expire_unknown on the program-wide cache with the refill period,
// under the write lock.
void dn_cache_expire(void);
// Calls visit(name, value) for every entry, bucket by bucket in chain order,
// each bucket under the read lock.
void dn_cache_walk(const std::function<void(const char *name, const char *value)> &visit);

#endif
