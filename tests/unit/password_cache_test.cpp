// Password cache: table operations, expiry, the program-wide operations.
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "clock.h"
#include "global.h"
#include "password_cache.h"
#include "settings.h"

namespace {

time_t fake_now = 1000000;
void set_now(time_t now) {
    fake_now = now;
    clock_set(now);
}

std::vector<std::string> chain(PASSWORD_CACHE_TABLE *table, int bucket) {
    std::vector<std::string> keys;
    for (PASSWORD_CACHE_ENTRY *e = table->buckets[bucket]; e; e = e->next) keys.push_back(e->key);
    return keys;
}

class PasswordCache : public ::testing::Test {
protected:
    void SetUp() override {
        password_cachesize = 100;
        password_cachexpire = 600;
        set_now(1000000);
        global = new GLOBAL_T();
        pthread_rwlock_init(&global->password_cache_lock, nullptr);
        global->password_cache = password_cache_create(password_cachesize);
    }
    void TearDown() override {
        password_cache_destroy(global->password_cache);
        pthread_rwlock_destroy(&global->password_cache_lock);
        delete global;
        global = nullptr;
        clock_release();
    }
};

}  // namespace

TEST(PasswordCacheKey, Buckets) {
    struct Case {
        int size, n;
        const char *key;
        int bucket;
    };
    // "a": 20*97 + 24 + 6 + 100 = 2070. "\xc3" (-61): -1220 - 16 - 4 + 100
    // = -1140, which wraps to 4294966156.
    const Case cases[] = {
        {100, 100, "a", 70},
        {100, 7, "a", 2070 % 7},
        {0, 100, "a", (20 * 97 + 24 + 6) % 100},
        {100, 100, "\xc3", 56},
        {100, 100, "", 0},
        {100, 1, "anything:at all", 0},
        {100, 100, "ab", (2070 + 20 * 98 + 24 + 6 + 100) % 100},
    };
    int saved = password_cachesize;
    for (const Case &c : cases) {
        password_cachesize = c.size;
        EXPECT_EQ(password_cache_key(c.n, c.key), c.bucket) << c.key;
    }
    password_cachesize = saved;
}

TEST(PasswordCacheKey, FormatRefusesWhatDoesNotFit) {
    struct Case {
        size_t user, password, size;
        bool fits;
    };
    const Case cases[] = {
        {3, 5, 10, true},   // "uuu:ppppp" + NUL = 10
        {3, 6, 10, false},  // would have to be cut
        {511, 511, PASSWORD_CACHE_KEY_SIZE, true},
        {512, 511, PASSWORD_CACHE_KEY_SIZE, false},
        {0, 0, 2, true},
    };
    for (const Case &c : cases) {
        std::string user(c.user, 'u'), password(c.password, 'p');
        char key[PASSWORD_CACHE_KEY_SIZE];
        memset(key, 'x', sizeof key);
        EXPECT_EQ(password_cache_key_format(key, c.size, user.c_str(), password.c_str()), c.fits) << c.user;
        if (c.fits) EXPECT_EQ(std::string(key), user + ":" + password);
        else EXPECT_STREQ(key, "");
    }
    char key[16];
    EXPECT_FALSE(password_cache_key_format(key, sizeof key, nullptr, "p"));
    EXPECT_FALSE(password_cache_key_format(key, sizeof key, "u", nullptr));
}

TEST_F(PasswordCache, KeysMatchExactly) {
    // A password differing only in case is another password: it must not
    // pass on the right one's acceptance, nor lock the right one out.
    update_password_cache("alice:Secret", PASSWORD_CACHE_ACCEPTED);
    update_password_cache("carol:secret", PASSWORD_CACHE_REFUSED);
    struct Case {
        const char *key;
        int value;
    };
    const Case cases[] = {
        {"alice:Secret", PASSWORD_CACHE_ACCEPTED}, {"alice:secret", PASSWORD_CACHE_UNKNOWN},
        {"alice:SECRET", PASSWORD_CACHE_UNKNOWN},  {"Alice:Secret", PASSWORD_CACHE_UNKNOWN},
        {"alice:Secret2", PASSWORD_CACHE_UNKNOWN}, {"alice:Secre", PASSWORD_CACHE_UNKNOWN},
        {"carol:secret", PASSWORD_CACHE_REFUSED},  {"carol:Secret", PASSWORD_CACHE_UNKNOWN},
        {nullptr, PASSWORD_CACHE_UNKNOWN},
    };
    for (const Case &c : cases) EXPECT_EQ(check_password_cache(c.key), c.value) << (c.key ? c.key : "(null)");
}

TEST_F(PasswordCache, RecordingReplacesValueAndTime) {
    update_password_cache("bob:pw", PASSWORD_CACHE_ACCEPTED);
    set_now(fake_now + 50);
    update_password_cache("bob:pw", PASSWORD_CACHE_REFUSED);
    EXPECT_EQ(check_password_cache("bob:pw"), PASSWORD_CACHE_REFUSED);
    int bucket = password_cache_key(global->password_cache->count, "bob:pw");
    ASSERT_EQ(chain(global->password_cache, bucket).size(), 1u);
    EXPECT_EQ(global->password_cache->buckets[bucket]->time, (uint32_t)fake_now);
}

TEST_F(PasswordCache, EmptyPasswordIsNeverAccepted) {
    update_password_cache("bob:", PASSWORD_CACHE_ACCEPTED);
    EXPECT_EQ(check_password_cache("bob:"), PASSWORD_CACHE_UNKNOWN);
    update_password_cache("bob", PASSWORD_CACHE_ACCEPTED);  // no colon: no password at all
    EXPECT_EQ(check_password_cache("bob"), PASSWORD_CACHE_UNKNOWN);
    // an entry put there by other means is still not taken as acceptance
    password_cache_insert(global->password_cache, "eve:", PASSWORD_CACHE_ACCEPTED);
    EXPECT_EQ(check_password_cache("eve:"), PASSWORD_CACHE_UNKNOWN);
    // refusals of empty passwords are remembered
    update_password_cache("bob:", PASSWORD_CACHE_REFUSED);
    EXPECT_EQ(check_password_cache("bob:"), PASSWORD_CACHE_REFUSED);
    // a password that merely starts with a colon is not empty
    update_password_cache("bob::", PASSWORD_CACHE_ACCEPTED);
    EXPECT_EQ(check_password_cache("bob::"), PASSWORD_CACHE_ACCEPTED);
}

TEST_F(PasswordCache, OverlongKeysAreNeitherRecordedNorFound) {
    std::string fits = "u:" + std::string(PASSWORD_CACHE_KEY_SIZE - 3, 'p');
    std::string too_long = fits + "x";
    update_password_cache(fits.c_str(), PASSWORD_CACHE_ACCEPTED);
    EXPECT_EQ(check_password_cache(fits.c_str()), PASSWORD_CACHE_ACCEPTED);
    update_password_cache(too_long.c_str(), PASSWORD_CACHE_ACCEPTED);
    EXPECT_EQ(check_password_cache(too_long.c_str()), PASSWORD_CACHE_UNKNOWN);
    // the longer password must not hit the shorter one's entry either
    EXPECT_EQ(password_cache_search(global->password_cache, too_long.c_str()), nullptr);
}

TEST_F(PasswordCache, CleaningExpiresByAge) {
    struct Case {
        const char *key;
        int age_at_clean;
        bool kept;
    };
    const Case cases[] = {
        {"old:1", 601, false},
        {"exact:1", 600, false},  // exactly the cache age: gone
        {"young:1", 599, true},
        {"new:1", 0, true},
    };
    time_t clean_at = fake_now + 1000;
    for (const Case &c : cases) {
        set_now(clean_at - c.age_at_clean);
        update_password_cache(c.key, PASSWORD_CACHE_REFUSED);
    }
    set_now(clean_at);
    password_cache_clean(nullptr);
    for (const Case &c : cases)
        EXPECT_EQ(check_password_cache(c.key), c.kept ? PASSWORD_CACHE_REFUSED : PASSWORD_CACHE_UNKNOWN) << c.key;
}

TEST_F(PasswordCache, LookupDoesNotRenew) {
    update_password_cache("a:b", PASSWORD_CACHE_ACCEPTED);
    set_now(fake_now + 300);
    EXPECT_EQ(check_password_cache("a:b"), PASSWORD_CACHE_ACCEPTED);
    set_now(fake_now + 300);
    password_cache_clean(nullptr);
    EXPECT_EQ(check_password_cache("a:b"), PASSWORD_CACHE_UNKNOWN);
}

TEST_F(PasswordCache, MissingTableIsUnknown) {
    password_cache_destroy(global->password_cache);
    global->password_cache = nullptr;
    update_password_cache("a:b", PASSWORD_CACHE_ACCEPTED);
    EXPECT_EQ(check_password_cache("a:b"), PASSWORD_CACHE_UNKNOWN);
    password_cache_clean(nullptr);
}

TEST(PasswordCacheTable, OneBucketHoldsEveryKeyInOrder) {
    PASSWORD_CACHE_TABLE *t = password_cache_create(1);
    const char *keys[] = {"a:1", "b:2", "c:3", "d:4"};
    for (const char *k : keys) ASSERT_NE(password_cache_insert(t, k, PASSWORD_CACHE_ACCEPTED), nullptr);
    EXPECT_EQ(chain(t, 0), (std::vector<std::string>{"a:1", "b:2", "c:3", "d:4"}));
    password_cache_purge(t, "B:2");  // another key: nothing
    EXPECT_EQ(chain(t, 0).size(), 4u);
    password_cache_purge(t, "b:2");
    password_cache_purge(t, "zz:9");  // absent: nothing
    EXPECT_EQ(chain(t, 0), (std::vector<std::string>{"a:1", "c:3", "d:4"}));
    for (const char *k : {"a:1", "c:3", "d:4"}) EXPECT_NE(password_cache_search(t, k), nullptr) << k;
    EXPECT_EQ(password_cache_search(t, "b:2"), nullptr);
    EXPECT_EQ(password_cache_search(t, nullptr), nullptr);
    EXPECT_EQ(password_cache_insert(t, nullptr, 1), nullptr);
    password_cache_destroy(t);
}

TEST(PasswordCacheTable, SizeBelowOneGivesOneBucket) {
    for (int n : {0, -5}) {
        PASSWORD_CACHE_TABLE *t = password_cache_create(n);
        EXPECT_EQ(t->count, 1);
        password_cache_insert(t, "k:v", PASSWORD_CACHE_REFUSED);
        EXPECT_NE(password_cache_search(t, "k:v"), nullptr);
        password_cache_destroy(t);
    }
}

TEST(PasswordCacheTable, ExpireCountsAndKeepsOrder) {
    set_now(5000);
    PASSWORD_CACHE_TABLE *t = password_cache_create(1);
    password_cache_insert(t, "a:1", 1);
    set_now(5100);
    password_cache_insert(t, "b:1", 1);
    set_now(5000);
    password_cache_insert(t, "c:1", 1);
    set_now(5200);
    password_cache_insert(t, "d:1", 1);
    set_now(5300);
    EXPECT_EQ(password_cache_expire(t, 250), 2);  // limit 5050: a and c
    EXPECT_EQ(chain(t, 0), (std::vector<std::string>{"b:1", "d:1"}));
    EXPECT_EQ(password_cache_expire(t, 0), 2);
    EXPECT_TRUE(chain(t, 0).empty());
    password_cache_destroy(t);
    clock_release();
}

TEST(PasswordCacheTableDeathTest, MissingTableIsFatal) {
    EXPECT_EXIT(password_cache_search(nullptr, "a"), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(password_cache_insert(nullptr, "a", 1), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(password_cache_expire(nullptr, 1), ::testing::ExitedWithCode(1), "");
}

TEST_F(PasswordCache, ConcurrentReadersWritersAndCleaner) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            char key[32];
            for (int i = 0; i < 2000; i++) {
                snprintf(key, sizeof key, "user%d:pw%d", t, i % 50);
                update_password_cache(key, 1 + (i & 1));
                int v = check_password_cache(key);
                EXPECT_TRUE(v == 0 || v == 1 || v == 2);
            }
        });
    threads.emplace_back([] {
        for (int i = 0; i < 200; i++) password_cache_clean(nullptr);
    });
    for (std::thread &t : threads) t.join();
    // each key is held at most once
    int total = 0;
    for (int b = 0; b < global->password_cache->count; b++) total += (int)chain(global->password_cache, b).size();
    EXPECT_LE(total, 200);
}
