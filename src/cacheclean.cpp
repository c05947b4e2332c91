// Cleaning of the object cache and the admission back-off (see cacheclean.h).
#include "cacheclean.h"

#include <limits.h>
#include <pthread.h>

#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "settings.h"
#include "timerange.h"

// Set when the program is loaded, so that nothing is cached in the first
// NOCACHE_START + NOCACHE_HOLD seconds.
int next_cache = (int)utc_time(nullptr) + NOCACHE_START;
pthread_rwlock_t no_cache = PTHREAD_RWLOCK_INITIALIZER;

namespace {

// Access times from a journal can be anything; bands are computed on times
// kept within a range where their sums cannot overflow.
const long long TIME_LIMIT = 1LL << 62;

int int_clamp(long long value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return (int)value;
}

long long time_bound(time_t value) {
    if (value < 0) return 0;
    if ((long long)value > TIME_LIMIT) return TIME_LIMIT;
    return (long long)value;
}

// Moves next_cache to when if it lies before below (one step under the lock).
void nocache_raise(long long below, long long when) {
    RwWriteLock held(&no_cache);
    if ((long long)next_cache < below) next_cache = int_clamp(when);
}

void store_log(const char *prefix, const Store *store, bool with_full) {
    unsigned int used = clean_used_percent(store->bytes, store->maxsize);
    if (with_full)
        putlog(LOG_CACHE, "%s: disk store: %s, entries: %d entries, bytes: %llu, used: %u%%, diskfull: %d", prefix,
               store->directory.c_str(), store->objects, (unsigned long long)store->bytes, used, store->full ? 1 : 0);
    else
        putlog(LOG_ERROR, "cache: disk store: %s, entries: %d entries, bytes: %llu, used: %u%%",
               store->directory.c_str(), store->objects, (unsigned long long)store->bytes, used);
}

void memory_log(const char *prefix, const CacheSection *cache) {
    putlog(LOG_CACHE, "%s: memory: %d entries, bytes %u, used: %u%%", prefix, cache->memory_objects,
           cache->memory_bytes, clean_used_percent(cache->memory_bytes, cache->memory_size));
}

// Refused within the interval: report once after a clean that went well.
void clean_refuse(CacheSection *cache, time_t now, long long interval) {
    if (cache->clean_state <= 0) {
        nocache_set((long long)cache->last_clean + interval + NOCACHE_HOLD);
        if (cache->memory_bytes > cache->memory_size) {
            putlog(LOG_ERROR,
                   "cache: memory: [objects:bytes max_size:free_extra - %d:%u %u:%u] can not clean for next %d seconds",
                   cache->memory_objects, cache->memory_bytes, cache->memory_size, cache->memory_extra,
                   int_clamp((long long)cache->last_clean + interval - (long long)now));
            putlog(LOG_ADVICE,
                   "cache: Memory cache size: %u bytes, Memory free extra: %u bytes maybe too less, if system has more "
                   "free memory - increase Memory cache size, else increase Memory free extra",
                   cache->memory_size, cache->memory_extra);
        }
        for (const Store *store : cache->stores) {
            if (store->directory.empty() || store->bytes <= store->maxsize) continue;
            store_log(nullptr, store, false);
            putlog(LOG_ADVICE, "cache: disk store %s is underdimensioned, please consider increasing it",
                   store->directory.c_str());
        }
    }
    cache->clean_state = 1;
}

// One visit of an object no request uses in the pass whose band ends at limit.
void clean_visit(CacheSection *cache, CACHEMAP *object, long long limit, time_t now) {
    if (object->flags & CACHE_DISCARD) {
        // Temporary objects go once they are unusable, whatever their access.
        if ((long long)now - (long long)object->stored > 60) cache->invalidate_unlocked(object);
        return;
    }
    if (time_bound(object->accessed) > limit) return;
    if (!(object->flags & (CACHE_DISK | CACHE_MEM))) fatal_assert("src/cache", __LINE__, "clean");
    if (object->flags & CACHE_DISK) {
        Store *store = object->store;
        if (!store) fatal_assert("src/cache", __LINE__, "clean");
        if (store->bytes > store->clean_target) {
            cache->invalidate_unlocked(object);
            return;
        }
        store->full = false;
    }
    if ((object->flags & CACHE_MEM) && cache->memory_bytes != 0) {
        if (object->flags & CACHE_DISK) cache->mem_delete(object);
        else cache->invalidate_unlocked(object);
    }
}

}  // namespace

void nocache_init(time_t start) { nocache_set((long long)start + NOCACHE_START); }

void nocache_set(long long when) {
    RwWriteLock held(&no_cache);
    next_cache = int_clamp(when);
}

int nocache_get() {
    RwReadLock held(&no_cache);
    return next_cache;
}

int nocache_check(time_t now) { return (long long)now < (long long)nocache_get() + NOCACHE_HOLD ? 1 : 0; }

unsigned int clean_used_percent(uint64_t bytes, uint64_t max) {
    if (max == 0) return 0;
    double used = (double)bytes / (double)max * 100.0;
    if (used >= (double)UINT_MAX) return UINT_MAX;
    return (unsigned int)used;
}

unsigned int clean_memory_threshold(const CacheSection *cache) {
    return cache->memory_size > cache->memory_extra ? cache->memory_size - cache->memory_extra : 0;
}

uint64_t clean_store_target(const Store *store) {
    if (!store->full && store->bytes <= store->maxsize) return store->maxsize;
    uint64_t extra = store->freeextra > CLEAN_MIN_EXTRA ? (uint64_t)store->freeextra : CLEAN_MIN_EXTRA;
    return store->bytes > extra ? store->bytes - extra : 0;
}

void cache_clean(CacheSection *cache, time_t now) {
    if (cache->cleaning) return;
    long long interval = cache->interval();
    if (cache->last_clean && (long long)now < (long long)cache->last_clean + interval) {
        clean_refuse(cache, now, interval);
        return;
    }
    cache->last_clean = now;
    putlog(LOG_CACHE, "cleaning triggered");
    cache->cleaning = true;

    bool any = false;
    long long oldest = 0, newest = 0;
    for (int bucket = 0; bucket < CACHE_BUCKETS; bucket++) {
        for (CACHELIST *entry = cache->cachemaplist[bucket]; entry; entry = entry->next) {
            if (entry->object->refcount) continue;
            long long accessed = time_bound(entry->object->accessed);
            if (!any || accessed < oldest) oldest = accessed;
            if (!any || accessed > newest) newest = accessed;
            any = true;
        }
    }
    if (!any || newest == 0) {
        nocache_raise((long long)now + interval + 60, (long long)now + interval + NOCACHE_HOLD);
        putlog(LOG_ERROR, "cache: no new objects to clean");
        cache->cleaning = false;
        return;
    }

    for (Store *store : cache->stores) {
        if (!store->directory.empty()) store_log("before cleaning", store, true);
        store->clean_target = clean_store_target(store);
    }
    memory_log("before cleaning", cache);

    // Oldest first without sorting: one pass per band of access times.
    long long width = (newest - oldest) / CLEAN_BANDS + 1;
    for (long long limit = oldest + width; limit <= newest + width; limit += width) {
        for (int bucket = 0; bucket < CACHE_BUCKETS; bucket++) {
            CACHELIST *next;
            for (CACHELIST *entry = cache->cachemaplist[bucket]; entry; entry = next) {
                // A visit may remove this entry, never another one.
                next = entry->next;
                if (entry->object->refcount) continue;
                clean_visit(cache, entry->object, limit, now);
            }
        }
    }

    memory_log("after cleaning", cache);
    if (cache->memory_bytes > clean_memory_threshold(cache)) {
        nocache_set((long long)now + interval + NOCACHE_HOLD);
        cache->clean_state = 2;
        cache->last_clean = now;
        putlog(LOG_ERROR,
               "cache: memory cache: underdimensioned, please consider increasing memory cache size, new responses "
               "after %d seconds will be cached",
               int_clamp((long long)nocache_get() - (long long)now));
    } else {
        cache->clean_state = 0;
    }
    for (const Store *store : cache->stores)
        if (!store->directory.empty()) store_log("after cleaning", store, true);
    cache->cleaning = false;
}

void cache_clean_open(CacheSection *cache, CACHEMAP *object, time_t now) {
    long long interval = cache->interval();
    if (cache->clean_state < 3 && cache->memory_bytes > clean_memory_threshold(cache) &&
        (long long)now < (long long)cache->last_clean + interval) {
        long long factor = overload_factor;
        nocache_set((long long)cache->last_clean + interval + NOCACHE_HOLD + 60 * factor);
        cache->clean_state = 3;
    }
    Store *store = object ? object->store : nullptr;
    bool store_over = store && store->bytes > store->maxsize;
    if (store_over) store->full = true;
    if (cache->memory_bytes > cache->memory_size || store_over) cache_clean(cache, now);
}

void cache_clean_add(CacheSection *cache, CACHEMAP *object, time_t now) {
    Store *store = object ? object->store : nullptr;
    if ((store && store->bytes > store->maxsize) || cache->memory_bytes > cache->memory_size) cache_clean(cache, now);
}

void cache_backoff_fail(CacheSection *cache, time_t now) {
    long long interval = cache->interval();
    if (cache->memory_bytes > clean_memory_threshold(cache) &&
        (long long)now < (long long)cache->last_clean + interval + 60)
        nocache_set((long long)cache->last_clean + interval + NOCACHE_HOLD);
}

// ---- CacheSection members (section mutex held) ------------------------------

void CacheSection::clean() { cache_clean(this, utc_time(nullptr)); }

void CacheSection::clean_check_open(CACHEMAP *object) { cache_clean_open(this, object, utc_time(nullptr)); }

bool CacheSection::clean_check_open_due(const CACHEMAP *object, time_t now) const {
    long long interval = this->interval();
    bool over = memory_bytes > clean_memory_threshold(this);
    if (clean_state < 3 && over && (long long)now < (long long)last_clean + interval) return true;
    const Store *store = object ? object->store : nullptr;
    return (store && store->bytes > store->maxsize) || memory_bytes > memory_size;
}

void CacheSection::clean_check_add(CACHEMAP *object) { cache_clean_add(this, object, utc_time(nullptr)); }

void CacheSection::backoff_fail() { cache_backoff_fail(this, utc_time(nullptr)); }
