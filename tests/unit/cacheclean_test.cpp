// Cleaning of the object cache and the admission back-off, driven by a
// clock of the test's own.
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cache.h"
#include "cacheclean.h"
#include "config_fixture.h"
#include "log.h"
#include "mem.h"
#include "settings.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";
const time_t NOW = 1700000000;

}  // namespace

// ---- pure arithmetic ------------------------------------------------------------

TEST(CleanTarget, NeverUnderflows) {
    struct Case {
        bool full;
        uint64_t bytes, max;
        unsigned int extra;
        uint64_t expected;
    } cases[] = {
        {false, 500, 1000, 0, 1000},                                                 // within: its maximum
        {false, 1000, 1000, 50, 1000},                                               // at the maximum
        {false, 1050000000, 1000000000, 50000000, 1000000000},                       // 105% with 50 MB extra
        {true, 900000000, 1000000000, 1000, 890000000},                              // flagged full: at least 10 MB
        {true, 5000000, 1000000000, 0, 0},                                           // less than the 10 MB held
        {true, 40000000, 1000000000, 50000000, 0},                                   // less than the extra held
        {false, 6000000000000ULL, 5000000000000ULL, 4000000000u, 5996000000000ULL},  // 64-bit stores
        {false, 1, 0, 0, 0},                                                         // maximum 0
    };
    for (const Case &c : cases) {
        Store store;
        store.full = c.full;
        store.bytes = c.bytes;
        store.maxsize = c.max;
        store.freeextra = c.extra;
        EXPECT_EQ(c.expected, clean_store_target(&store)) << c.bytes << " of " << c.max;
    }
}

TEST(CleanTarget, UsedPercentTruncates) {
    struct Case {
        uint64_t bytes, max;
        unsigned int expected;
    } cases[] = {
        {0, 100, 0}, {1050000000, 1000000000, 105}, {999, 1000, 99}, {10000000000000ULL, 1000000000000ULL, 1000},
        {1, 0, 0},   {UINT64_MAX, 1, UINT32_MAX},
    };
    for (const Case &c : cases) EXPECT_EQ(c.expected, clean_used_percent(c.bytes, c.max)) << c.bytes;
}

// ---- back-off window ----------------------------------------------------------------

TEST(Backoff, AdmissionWindowAfterStart) {
    int saved = nocache_get();
    nocache_init(NOW);
    EXPECT_EQ(NOW + 60, nocache_get());
    struct Case {
        long long after;
        int refused;
    } cases[] = {{0, 1}, {100, 1}, {179, 1}, {180, 0}, {181, 0}};
    for (const Case &c : cases) EXPECT_EQ(c.refused, nocache_check(NOW + c.after)) << c.after;
    // Far-off values are clamped, not wrapped.
    nocache_set(1LL << 40);
    EXPECT_EQ(INT32_MAX, nocache_get());
    EXPECT_EQ(1, nocache_check(NOW));
    nocache_set(saved);
}

// ---- cleaning runs --------------------------------------------------------------------

class CleanTest : public ::testing::Test {
protected:
    CacheSection *cache = nullptr;
    TempDir dir;
    int saved_next = 0;
    int saved_level = 0;
    int serial = 0;

    void SetUp() override {
        saved_next = nocache_get();
        saved_level = loglevel;
        loglevel = LOG_CACHE | LOG_ERROR | LOG_WARNING;
        log_ring = logbuffer_new(10000);
        definition_use(file_read(conf_dir + "section.xml"));
        cache = static_cast<CacheSection *>(cache_construct());
        ASSERT_NE(cache, nullptr);
        cache->memory_size = 64 * 1048576;
        cache->memory_extra = 8 * 1048576;
        cache->clean_interval = 0;
        cache->last_clean = 0;
        nocache_set(0);
        logbuffer_clear(log_ring);
    }
    void TearDown() override {
        delete cache;
        delete sectionxml;
        sectionxml = nullptr;
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
        loglevel = saved_level;
        nocache_set(saved_next);
    }

    Store *add_store(uint64_t max, unsigned int extra, bool full = false) {
        Store *store = new Store();
        store->enabled = true;
        store->directory = dir.path + "/s" + std::to_string(cache->stores.size());
        mkdir(store->directory.c_str(), 0755);
        store->maxsize = max;
        store->freeextra = extra;
        store->full = full;
        cache->stores.push_back(store);
        return store;
    }

    // An object in the index with the given state; counters follow it.
    CACHEMAP *add_object(unsigned int size, time_t accessed, Store *store, bool in_memory, unsigned int flags = 0,
                         int refcount = 0, time_t stored = NOW - 1000) {
        CACHEMAP *object = new CACHEMAP();
        std::string key = "http://example.test:80/" + std::to_string(serial++);
        object->key = xstrdup(key.c_str());
        strcpy(object->md5, CACHE_MD5_NONE);
        object->size = size;
        object->accessed = accessed;
        object->stored = stored;
        object->refcount = refcount;
        object->flags = flags;
        if (store) {
            object->store = store;
            object->flags |= CACHE_DISK;
            store->bytes += size;
            store->objects++;
        }
        if (in_memory) {
            object->flags |= CACHE_MEM;
            cache->memory_bytes += size;
            cache->memory_objects++;
        }
        cache->index_add(object);
        return object;
    }

    bool present(const std::string &key) { return cache->find_unlocked(key.c_str()) != nullptr; }
    std::string key_of(int n) { return "http://example.test:80/" + std::to_string(n); }

    // Lines of the ring from the oldest, without their time and client prefix.
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (LOGNODE *node = log_ring->oldest; node; node = node->newer) {
            const char *text = node->line;
            const char *close = strchr(text, ']');
            text = close ? close + 2 : text;
            out.push_back(text);
        }
        return out;
    }
    bool logged(const std::string &text) {
        for (const std::string &line : lines())
            if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
                return true;
        return false;
    }
    int count_logged(const std::string &text) {
        int n = 0;
        for (const std::string &line : lines())
            if (line.find(text) != std::string::npos) n++;
        return n;
    }
};

TEST_F(CleanTest, FullStoreCleanedOldestFirstToItsFreeExtra) {
    Store *store = add_store(1000000000, 50000000, true);
    // 105 objects of 10 MB, accessed one second apart: 105% of the store.
    for (int i = 0; i < 105; i++) add_object(10000000, NOW - 2000 + i, store, true);
    ASSERT_EQ(1050000000u, store->bytes);

    cache->mutex_lock();
    cache_clean(cache, NOW);
    cache->unlock();

    // Down to 50 MB below its size before the run: the five oldest go.
    EXPECT_EQ(1000000000u, store->bytes);
    EXPECT_EQ(100, store->objects);
    EXPECT_FALSE(store->full);
    for (int i = 0; i < 105; i++) EXPECT_EQ(i >= 5, present(key_of(i))) << i;
    // The rest leave memory but keep their files.
    EXPECT_EQ(0u, cache->memory_bytes);
    EXPECT_EQ(0, cache->memory_objects);
    CACHEMAP *kept = cache->find_unlocked(key_of(5).c_str());
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ((unsigned int)CACHE_DISK, kept->flags);
    EXPECT_EQ(0, cache->clean_state);
    EXPECT_EQ(NOW, cache->last_clean);
    EXPECT_FALSE(cache->cleaning);

    const std::string d = store->directory;
    EXPECT_TRUE(logged("cleaning triggered"));
    EXPECT_TRUE(logged("before cleaning: disk store: " + d +
                       ", entries: 105 entries, bytes: 1050000000, used: 105%, diskfull: 1"));
    EXPECT_TRUE(logged("before cleaning: memory: 105 entries, bytes 1050000000, used: 1564%"));
    EXPECT_TRUE(logged("after cleaning: memory: 0 entries, bytes 0, used: 0%"));
    EXPECT_TRUE(logged("after cleaning: disk store: " + d +
                       ", entries: 100 entries, bytes: 1000000000, used: 100%, diskfull: 0"));
    // Back-off untouched by a run that ends within the memory limit.
    EXPECT_EQ(0, nocache_get());
}

TEST_F(CleanTest, StoreWithinItsMaximumLosesNoFiles) {
    Store *store = add_store(1000000000, 50000000);
    for (int i = 0; i < 20; i++) add_object(1000000, NOW - 500 + i * 7, store, true);
    add_object(300, NOW - 400, nullptr, true);  // memory only

    cache->mutex_lock();
    cache_clean(cache, NOW);
    cache->unlock();

    EXPECT_EQ(20, store->objects);
    EXPECT_EQ(20000000u, store->bytes);
    for (int i = 0; i < 20; i++) EXPECT_TRUE(present(key_of(i))) << i;
    // Out of memory; the memory-only object has nowhere to go.
    EXPECT_FALSE(present(key_of(20)));
    EXPECT_EQ(0u, cache->memory_bytes);
    EXPECT_EQ(0, cache->memory_objects);
}

TEST_F(CleanTest, OldestFirstAcrossWideBands) {
    // Access times spread over decades: still at most about 129 passes, and
    // the oldest goes first.
    Store *store = add_store(3000, 0, true);
    add_object(1000, NOW - 900000000, store, false);
    add_object(1000, NOW - 5000, store, false);
    add_object(1000, NOW - 1, store, false);
    add_object(1000, NOW - 2, store, false);
    // Flagged full: cleaned down to its bytes less 10 MB, so everything goes
    // unless objects are in use.
    cache->find_unlocked(key_of(2).c_str())->refcount = 1;
    cache->mutex_lock();
    cache_clean(cache, NOW);
    cache->unlock();
    EXPECT_FALSE(present(key_of(0)));
    EXPECT_FALSE(present(key_of(1)));
    EXPECT_TRUE(present(key_of(2)));  // in use
    EXPECT_FALSE(present(key_of(3)));
    cache->find_unlocked(key_of(2).c_str())->refcount = 0;

    // Over its maximum but not full, with a free extra: only the oldest.
    Store *second = add_store(11000000, 0);
    add_object(10000000, 100, second, false);        // key 4
    add_object(1000000, NOW - 7200, second, false);  // key 5
    add_object(1000000, NOW - 60, second, false);    // key 6
    cache->last_clean = 0;
    cache->mutex_lock();
    cache_clean(cache, NOW);
    cache->unlock();
    EXPECT_FALSE(present(key_of(4)));
    EXPECT_TRUE(present(key_of(5)));
    EXPECT_TRUE(present(key_of(6)));
}

TEST_F(CleanTest, DiscardableObjectsGoAfterSixtySeconds) {
    Store *store = add_store(1000000000, 0);
    // The oldest access, but stored 30 seconds ago: survives.
    add_object(100, NOW - 10000, nullptr, true, CACHE_DISCARD, 0, NOW - 30);
    // Freshly accessed, but stored 61 seconds ago: goes.
    add_object(100, NOW, nullptr, true, CACHE_DISCARD, 0, NOW - 61);
    add_object(100, NOW - 20, store, true);
    cache->mutex_lock();
    cache_clean(cache, NOW);
    cache->unlock();
    EXPECT_TRUE(present(key_of(0)));
    EXPECT_FALSE(present(key_of(1)));
    EXPECT_TRUE(present(key_of(2)));
    CACHEMAP *young = cache->find_unlocked(key_of(0).c_str());
    ASSERT_NE(young, nullptr);
    EXPECT_TRUE(young->flags & CACHE_MEM);
}

TEST_F(CleanTest, NothingToCleanPushesTheBackOff) {
    struct Case {
        int before;  // next_cache before, relative to NOW
        int after;
    } cases[] = {
        {0, 150},   // 30 + 120
        {89, 150},  // below NOW + 30 + 60
        {90, 90},   // not below: kept
        {500, 500},
    };
    for (const Case &c : cases) {
        cache->last_clean = 0;
        nocache_set(NOW + c.before);
        cache->mutex_lock();
        cache_clean(cache, NOW);
        cache->unlock();
        EXPECT_EQ(NOW + c.after, nocache_get()) << c.before;
        EXPECT_FALSE(cache->cleaning);
    }
    EXPECT_EQ(4, count_logged("cache: no new objects to clean"));
    // Objects in use, or never accessed, count as nothing to clean.
    add_object(100, NOW - 10, nullptr, true, 0, 1);
    add_object(100, 0, nullptr, true);
    cache->last_clean = 0;
    cache->mutex_lock();
    cache_clean(cache, NOW);
    cache->unlock();
    EXPECT_EQ(5, count_logged("cache: no new objects to clean"));
    EXPECT_TRUE(present(key_of(0)));
    EXPECT_TRUE(present(key_of(1)));
}

TEST_F(CleanTest, MemoryStillShortSetsTheBackOff) {
    cache->memory_size = 1000;
    cache->memory_extra = 100;
    add_object(2000, NOW - 10, nullptr, true, 0, 1);  // in use, stays in memory
    add_object(500, NOW - 20, nullptr, true);
    cache->mutex_lock();
    cache_clean(cache, NOW);
    cache->unlock();
    EXPECT_FALSE(present(key_of(1)));
    EXPECT_EQ(2000u, cache->memory_bytes);
    EXPECT_EQ(2, cache->clean_state);
    EXPECT_EQ(NOW, cache->last_clean);
    EXPECT_EQ(NOW + 150, nocache_get());
    EXPECT_TRUE(
        logged("cache: memory cache: underdimensioned, please consider increasing memory cache size, new "
               "responses after 150 seconds will be cached"));
    EXPECT_TRUE(logged("before cleaning: memory: 2 entries, bytes 2500, used: 250%"));
    EXPECT_TRUE(logged("after cleaning: memory: 1 entries, bytes 2000, used: 200%"));
}

TEST_F(CleanTest, FreeExtraLargerThanTheSizeDoesNotWrap) {
    // size - extra would wrap to a huge threshold and hide the shortage.
    cache->memory_size = 1000;
    cache->memory_extra = 5000;
    add_object(10, NOW - 10, nullptr, true, 0, 1);
    add_object(5, NOW - 20, nullptr, true);
    cache->mutex_lock();
    EXPECT_EQ(0u, clean_memory_threshold(cache));
    cache_clean(cache, NOW);
    cache->unlock();
    EXPECT_EQ(2, cache->clean_state);
}

TEST_F(CleanTest, RefusalWithinTheIntervalReportsOnce) {
    cache->clean_interval = 40;
    cache->memory_size = 1000;
    cache->memory_extra = 100;
    Store *store = add_store(1000, 0);
    Store *small = add_store(1000000, 0);
    add_object(1500, NOW - 100, store, true);
    add_object(10, NOW - 100, small, true);
    cache->last_clean = NOW - 10;
    cache->clean_state = 0;

    cache->mutex_lock();
    cache_clean(cache, NOW);
    cache->unlock();

    EXPECT_EQ(1, cache->clean_state);
    EXPECT_EQ(NOW - 10, cache->last_clean);
    EXPECT_EQ(NOW - 10 + 40 + 120, nocache_get());
    const std::string d = store->directory;
    std::vector<std::string> expected = {
        "cache: memory: [objects:bytes max_size:free_extra - 2:1510 1000:100] can not clean for next 30 seconds",
        "cache: Memory cache size: 1000 bytes, Memory free extra: 100 bytes maybe too less, if system has more free "
        "memory - increase Memory cache size, else increase Memory free extra",
        "cache: disk store: " + d + ", entries: 1 entries, bytes: 1500, used: 150%",
        "cache: disk store " + d + " is underdimensioned, please consider increasing it",
    };
    std::vector<std::string> got = lines();
    ASSERT_EQ(expected.size(), got.size());
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(expected[i], got[i].substr(got[i].size() - std::min(got[i].size(), expected[i].size()))) << i;
    EXPECT_TRUE(present(key_of(0)));

    // A second trigger within the interval: no report, no new back-off.
    nocache_set(NOW);
    cache->mutex_lock();
    cache_clean(cache, NOW + 5);
    cache->unlock();
    EXPECT_EQ(expected.size(), lines().size());
    EXPECT_EQ(NOW, nocache_get());
    EXPECT_EQ(1, cache->clean_state);

    // Past the interval a run takes place.
    cache->mutex_lock();
    cache_clean(cache, NOW + 30);
    cache->unlock();
    EXPECT_EQ(NOW + 30, cache->last_clean);
    EXPECT_TRUE(logged("cleaning triggered"));
}

TEST_F(CleanTest, RefusalWithoutShortageLogsNothing) {
    cache->last_clean = NOW - 1;
    cache->mutex_lock();
    cache_clean(cache, NOW);
    cache->unlock();
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(NOW - 1 + 30 + 120, nocache_get());  // interval 0 means 30
    EXPECT_EQ(1, cache->clean_state);
}

TEST_F(CleanTest, RunningCleanIsNotEntered) {
    add_object(100, NOW - 10, nullptr, true);
    cache->cleaning = true;
    cache->mutex_lock();
    cache_clean(cache, NOW);
    cache->unlock();
    EXPECT_TRUE(present(key_of(0)));
    EXPECT_EQ(0, cache->last_clean);
    cache->cleaning = false;
}

TEST_F(CleanTest, OpenTriggersAndBacksOff) {
    int saved_factor = overload_factor;
    overload_factor = 2;
    cache->memory_size = 1000;
    cache->memory_extra = 100;
    cache->clean_interval = 40;
    Store *store = add_store(1000, 0);
    CACHEMAP *object = add_object(950, NOW - 100, store, true, 0, 1);

    // Short of memory within the interval: back-off including the overload
    // allowance, once.
    cache->last_clean = NOW - 10;
    cache->mutex_lock();
    cache_clean_open(cache, object, NOW);
    cache->unlock();
    EXPECT_EQ(NOW - 10 + 40 + 120 + 120, nocache_get());
    EXPECT_EQ(3, cache->clean_state);
    nocache_set(0);
    cache->mutex_lock();
    cache_clean_open(cache, object, NOW);
    cache->unlock();
    EXPECT_EQ(0, nocache_get());

    // A store over its maximum is flagged full and triggers a clean.
    store->bytes = 1001;
    cache->last_clean = NOW - 100;
    cache->clean_state = 0;
    cache->mutex_lock();
    cache_clean_open(cache, object, NOW);
    cache->unlock();
    EXPECT_TRUE(store->full);
    EXPECT_EQ(NOW, cache->last_clean);
    overload_factor = saved_factor;
}

TEST_F(CleanTest, AddTriggers) {
    cache->memory_size = 1000;
    cache->memory_extra = 100;
    Store *store = add_store(10000, 0);
    CACHEMAP *object = add_object(999, NOW - 100, store, true, 0, 1);
    struct Case {
        unsigned int memory;
        uint64_t store_bytes;
        bool runs;
    } cases[] = {
        {999, 999, false},
        {1000, 10000, false},
        {1001, 999, true},
        {10, 10001, true},
    };
    for (const Case &c : cases) {
        cache->memory_bytes = c.memory;
        store->bytes = c.store_bytes;
        cache->last_clean = NOW - 1000;
        cache->mutex_lock();
        cache_clean_add(cache, object, NOW);
        cache->unlock();
        EXPECT_EQ(c.runs, cache->last_clean == NOW) << c.memory << " " << c.store_bytes;
    }
    cache->memory_bytes = 999;
    store->bytes = 999;
}

TEST_F(CleanTest, FailedObjectBacksOffWhenShortOfMemory) {
    cache->memory_size = 1000;
    cache->memory_extra = 100;
    struct Case {
        unsigned int memory;
        long long since_clean;
        int expected;  // next_cache relative to the last clean; 0: unchanged
    } cases[] = {
        {901, 10, 150},
        {901, 89, 150},
        {901, 90, 0},
        {900, 10, 0},
    };
    for (const Case &c : cases) {
        nocache_set(0);
        cache->memory_bytes = c.memory;
        cache->last_clean = NOW - c.since_clean;
        cache->mutex_lock();
        cache_backoff_fail(cache, NOW);
        cache->unlock();
        EXPECT_EQ(c.expected ? NOW - c.since_clean + c.expected : 0, nocache_get()) << c.memory << " " << c.since_clean;
    }
    cache->memory_bytes = 0;
}

TEST_F(CleanTest, ObjectNeitherInMemoryNorOnDiskIsFatal) {
    add_object(10, NOW - 10, nullptr, false);
    EXPECT_DEATH(
        {
            log_to_stderr();
            cache->mutex_lock();
            cache_clean(cache, NOW);
        },
        "ASSERTION: src/cache");
}
