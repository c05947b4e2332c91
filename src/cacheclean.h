// Cleaning of the object cache and the admission back-off.
//
// The cache has two limits: the memory cache size (less a free-extra
// headroom) and the maximum size of each disk store. When one is passed a
// clean releases memory and evicts disk objects by last access, oldest
// first, in at most about 129 linear passes over the index (access-time
// bands instead of sorting). Cleans run at most once per cleaning interval;
// when cleaning cannot keep up, the cache stops storing and answering for a
// while: cacheable() refuses while now < next_cache + 120.
//
// The CacheSection members clean, clean_check_open, clean_check_add and
// backoff_fail (cache.h) call the functions below with utc_time(); tests
// call these with their own clock. All of them expect the section mutex to
// be held; next_cache is read and written only under `no_cache`.
#ifndef KORVANTEL_CACHECLEAN_H
#define KORVANTEL_CACHECLEAN_H

#include <stdint.h>
#include <time.h>

#include "cache.h"

// Admission is refused for this long after the moment next_cache names.
#define NOCACHE_HOLD 120
// next_cache at start-up lies this far after the start.
#define NOCACHE_START 60
// A full store is cleaned at least this far below its size.
#define CLEAN_MIN_EXTRA 10000000ULL
// Access-time bands of one clean.
#define CLEAN_BANDS 128

// Sets next_cache to start + NOCACHE_START (done once when the program is
// loaded; tests use it to reset the back-off).
void nocache_init(time_t start);
// Sets next_cache to when (clamped to the int range).
void nocache_set(long long when);
// The current next_cache.
int nocache_get();
// 1 while admission is refused at now (now < next_cache + 120), else 0.
int nocache_check(time_t now);

// Truncated percentage of bytes in max, computed in floating point; 0 for a
// maximum of 0.
unsigned int clean_used_percent(uint64_t bytes, uint64_t max);
// Memory level above which the cache counts as short of memory: size less
// free extra, 0 when the extra is larger than the size.
unsigned int clean_memory_threshold(const CacheSection *cache);
// Bytes a store is cleaned down to: its maximum when it is not flagged full
// and holds no more than that, else its bytes less the larger of its free
// extra and CLEAN_MIN_EXTRA (0 when that is more than it holds).
uint64_t clean_store_target(const Store *store);

// One cleaning run at now, or its refusal within the interval.
void cache_clean(CacheSection *cache, time_t now);
// What cache_open runs before it returns (object may be null): the back-off
// when short of memory within the interval, then the cleaning trigger.
void cache_clean_open(CacheSection *cache, CACHEMAP *object, time_t now);
// The cleaning trigger of add, after success or failure.
void cache_clean_add(CacheSection *cache, CACHEMAP *object, time_t now);
// The back-off when cache_open fails an object while short of memory.
void cache_backoff_fail(CacheSection *cache, time_t now);

#endif
