#include "dncache.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "global.h"
#include "lockguard.h"
#include "mem.h"
#include "settings.h"

DN_CACHE_TABLE *dn_cache_create(int n) {
    if (n < 1) n = 1;
    DN_CACHE_TABLE *table = (DN_CACHE_TABLE *)xmalloc(sizeof(DN_CACHE_TABLE));
    table->count = n;
    table->buckets = (DN_CACHE_ENTRY **)xmalloc((size_t)n * sizeof(DN_CACHE_ENTRY *));
    table->entries = 0;
    table->oldest = table->newest = nullptr;
    return table;
}

static void entry_free(DN_CACHE_ENTRY *e) {
    free(e->name);
    free(e->value);
    free(e->dn);
    free(e);
}

void dn_cache_destroy(DN_CACHE_TABLE *table) {
    if (!table) return;
    for (int i = 0; i < table->count; i++) {
        DN_CACHE_ENTRY *e = table->buckets[i];
        while (e) {
            DN_CACHE_ENTRY *next = e->next;
            entry_free(e);
            e = next;
        }
    }
    free(table->buckets);
    free(table);
}

int dn_cache_key(int n, const char *name) {
    if (n < 1 || !name) return 0;
    uint32_t sum = 0;
    for (const char *p = name; *p; p++) {
        int c = (signed char)*p;
        sum += (uint32_t)(20 * c) + (uint32_t)(c >> 2) + (uint32_t)(c >> 4) + 8111u;
    }
    return (int)(sum % (uint32_t)n);
}

DN_CACHE_ENTRY *dn_cache_search(DN_CACHE_TABLE *table, const char *name) {
    if (!table || !name) return nullptr;
    for (DN_CACHE_ENTRY *e = table->buckets[dn_cache_key(table->count, name)]; e; e = e->next)
        if (strcasecmp(e->name, name) == 0) return e;
    return nullptr;
}

// Takes an entry out of the insertion order and frees it; the caller has
// unlinked it from its chain.
static void entry_drop(DN_CACHE_TABLE *table, DN_CACHE_ENTRY *e) {
    if (e->older) e->older->newer = e->newer;
    else table->oldest = e->newer;
    if (e->newer) e->newer->older = e->older;
    else table->newest = e->older;
    table->entries--;
    entry_free(e);
}

// Unlinks an entry from its chain and drops it.
static void entry_remove(DN_CACHE_TABLE *table, DN_CACHE_ENTRY *e) {
    DN_CACHE_ENTRY **link = &table->buckets[dn_cache_key(table->count, e->name)];
    while (*link && *link != e) link = &(*link)->next;
    if (*link) *link = e->next;
    entry_drop(table, e);
}

DN_CACHE_ENTRY *dn_cache_insert(DN_CACHE_TABLE *table, const char *name, const char *value, const char *dn) {
    if (!table || !name) return nullptr;
    while (table->oldest && table->entries >= (size_t)table->count * DN_CACHE_PER_BUCKET)
        entry_remove(table, table->oldest);
    DN_CACHE_ENTRY *e = (DN_CACHE_ENTRY *)xmalloc(sizeof(DN_CACHE_ENTRY));
    e->next = nullptr;
    e->time = (uint32_t)time(nullptr);
    e->name = xstrdup(name);
    e->value = xstrdup(value ? value : "");
    e->dn = xstrdup(dn ? dn : "");
    DN_CACHE_ENTRY **link = &table->buckets[dn_cache_key(table->count, name)];
    while (*link) link = &(*link)->next;
    *link = e;
    e->older = table->newest;
    e->newer = nullptr;
    if (table->newest) table->newest->newer = e;
    else table->oldest = e;
    table->newest = e;
    table->entries++;
    return e;
}

void dn_cache_purge(DN_CACHE_TABLE *table, const char *name) {
    if (!table || !name) return;
    DN_CACHE_ENTRY **link = &table->buckets[dn_cache_key(table->count, name)];
    while (*link) {
        DN_CACHE_ENTRY *e = *link;
        if (strcasecmp(e->name, name) == 0) {
            *link = e->next;
            entry_drop(table, e);
        } else {
            link = &e->next;
        }
    }
}

// An unknown user's entry that has outlived the refill period.
static bool unknown_expired(const DN_CACHE_ENTRY *e, time_t now, time_t max_age) {
    return strcmp(e->value, DN_CACHE_NOT_FOUND) == 0 && now - (time_t)e->time > max_age;
}

void dn_cache_expire_unknown(DN_CACHE_TABLE *table, time_t now, time_t max_age) {
    if (!table) return;
    for (int i = 0; i < table->count; i++) {
        DN_CACHE_ENTRY **link = &table->buckets[i];
        while (*link) {
            DN_CACHE_ENTRY *e = *link;
            if (unknown_expired(e, now, max_age)) {
                *link = e->next;
                entry_drop(table, e);
            } else {
                link = &e->next;
            }
        }
    }
}

void update_dn_cache(const char *name, const char *value, const char *dn) {
    if (!global || !global->dn_cache || !name) return;
    RwWriteLock held(&global->dn_cache_lock);
    dn_cache_purge(global->dn_cache, name);
    dn_cache_insert(global->dn_cache, name, value, dn);
}

bool dn_cache_lookup(const char *name, std::string *value, std::string *dn) {
    if (!global || !global->dn_cache || !name) return false;
    bool found = false;
    RwReadLock held(&global->dn_cache_lock);
    DN_CACHE_ENTRY *e = dn_cache_search(global->dn_cache, name);
    if (e && unknown_expired(e, time(nullptr), password_cachexpire)) e = nullptr;
    if (e) {
        found = true;
        if (value) *value = e->value;
        if (dn) *dn = e->dn;
    }
    return found;
}

void dn_cache_expire(void) {
    if (!global || !global->dn_cache) return;
    RwWriteLock held(&global->dn_cache_lock);
    dn_cache_expire_unknown(global->dn_cache, time(nullptr), password_cachexpire);
}

void dn_cache_walk(const std::function<void(const char *name, const char *value)> &visit) {
    if (!global || !global->dn_cache) return;
    for (int i = 0; i < global->dn_cache->count; i++) {
        RwReadLock held(&global->dn_cache_lock);
        for (DN_CACHE_ENTRY *e = global->dn_cache->buckets[i]; e; e = e->next) visit(e->name, e->value);
    }
}
