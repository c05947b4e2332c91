// The directory user cache (global->dn_cache, guarded by
// global->dn_cache_lock): for a user name, the value its access groups come
// from (the user's DN, or the last value of the group attribute, or
// "NOT-FOUND" for a user the directory does not know) and the user's DN,
// which authentication binds with.
#ifndef KORVANTEL_DNCACHE_H
#define KORVANTEL_DNCACHE_H

#include <stdint.h>

#include <functional>
#include <string>

#define DN_CACHE_NOT_FOUND "NOT-FOUND"

struct DN_CACHE_ENTRY {
    DN_CACHE_ENTRY *next;
    uint32_t time;  // seconds since the epoch, when inserted
    char *name;     // owned
    char *value;    // owned
    char *dn;       // owned; empty for an unknown user
};

struct DN_CACHE_TABLE {
    int count;                 // buckets, at least 1
    DN_CACHE_ENTRY **buckets;  // chain heads; new entries at the tail
};

DN_CACHE_TABLE *dn_cache_create(int n);
void dn_cache_destroy(DN_CACHE_TABLE *table);
// Bucket of a name: over its bytes taken as signed values c, the sum of
// 20c + (c >> 2) + (c >> 4) + 8111, modulo n.
int dn_cache_key(int n, const char *name);
// The entry of the name (compared without regard to case), or null.
DN_CACHE_ENTRY *dn_cache_search(DN_CACHE_TABLE *table, const char *name);
// Appends an entry; callers purge the name first.
DN_CACHE_ENTRY *dn_cache_insert(DN_CACHE_TABLE *table, const char *name, const char *value, const char *dn);
void dn_cache_purge(DN_CACHE_TABLE *table, const char *name);

// Program-wide cache in global.
// Replaces the name's entry under the write lock.
void update_dn_cache(const char *name, const char *value, const char *dn);
// The name's value and DN under the read lock; false when not cached.
bool dn_cache_lookup(const char *name, std::string *value, std::string *dn);
// Calls visit(name, value) for every entry, bucket by bucket in chain order,
// each bucket under the read lock.
void dn_cache_walk(const std::function<void(const char *name, const char *value)> &visit);

#endif
