// Chained hash table.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "hash.h"

namespace {

char *data(const char *text) { return strdup(text); }

TEST(HashKey, ValuesWorkedOutFromTheSum) {
    struct Case {
        int size;
        std::string key;
        unsigned int index;
    };
    const std::vector<Case> cases = {
        {8111, "", 0},
        // 'a' = 97: 24 + 6 + 1940 + 8111 = 10081; 10081 % 8111 = 1970
        {8111, "a", 1970},
        // + 'b' = 98: 24 + 6 + 1960 + 8111 = 10101; 20182 % 8111 = 3960
        {8111, "ab", 3960},
        // 0xff is -1 as a signed byte: -1 + -1 - 20 + 8111 = 8089
        {8111, "\xff", 8089},
        // 0x80 is -128: -32 - 8 - 2560 + 8111 = 5511; the disk store takes % 256 = 135
        {8111, "\x80", 5511},
        {256, "\x80", 135},
        // "host": h 26+6+2080+8111 = 10223, o 10364, s 10446, t 10467; 41500 % 8111 = 945
        {8111, "host", 945},
        // "Host": H = 72 gives 18+4+1440+8111 = 9573; 40850 % 8111 = 295
        {8111, "Host", 295},
        // 'z' = 122: 30 + 7 + 2440 + 8111 = 10588 per byte; 500,000 of them sum to
        // 5,294,000,000, which wraps to 999,032,704 in 32 bits; % 8111 = 834
        {8111, std::string(500000, 'z'), 834},
        {104729, "http://example.com/", 85114},
        {1, "anything", 0},
        {0, "a", 0},  // no buckets: no index to give
    };
    for (const Case &c : cases) EXPECT_EQ(hash_key(c.size, c.key.c_str()), c.index) << c.key.substr(0, 20);
    EXPECT_EQ(hash_key(8111, nullptr), 0u);
}

class HashTest : public testing::Test {
protected:
    HASH_TABLE *table = nullptr;
    void TearDown() override {
        if (table) hash_destroy(table);
    }
    int chain_length(int bucket) {
        int n = 0;
        for (HASH_ENTRY *e = table->buckets[bucket]; e && n < 1000; e = e->next) n++;
        return n;
    }
};

TEST_F(HashTest, InsertSearchAndDuplicate) {
    table = hash_create(8111);
    ASSERT_EQ(table->size, 8111);
    HASH_ENTRY *entry = hash_insert(table, "host", data("10.0.0.1"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->time, 0);
    EXPECT_STREQ(entry->key, "host");
    EXPECT_EQ(hash_search(table, "host"), entry);
    EXPECT_EQ(hash_search(table, "other"), nullptr);
    EXPECT_EQ(hash_search(table, nullptr), nullptr);

    // Same key again: the old entry and data stay, the new data is freed
    // (the sanitizer build would report it otherwise).
    HASH_ENTRY *again = hash_insert(table, "host", data("10.9.9.9"));
    EXPECT_EQ(again, entry);
    EXPECT_STREQ((char *)again->data, "10.0.0.1");
    EXPECT_EQ(hash_insert(table, nullptr, nullptr), nullptr);

    // The key is copied.
    char key[] = "copied";
    hash_insert(table, key, data("x"));
    key[0] = 'X';
    EXPECT_NE(hash_search(table, "copied"), nullptr);
}

TEST_F(HashTest, CaseOnlyMattersThroughTheBucket) {
    table = hash_create(8111);
    ASSERT_NE(hash_key(8111, "Host"), hash_key(8111, "host"));
    hash_insert(table, "host", data("a"));
    EXPECT_EQ(hash_search(table, "HOST"), nullptr);
    EXPECT_EQ(hash_search(table, "Host"), nullptr);
    hash_destroy(table);

    // With one bucket every key shares the chain, so comparison decides.
    table = hash_create(1);
    HASH_ENTRY *entry = hash_insert(table, "host", data("a"));
    EXPECT_EQ(hash_search(table, "HoSt"), entry);
    EXPECT_EQ(hash_insert(table, "HOST", data("b")), entry);
    EXPECT_EQ(chain_length(0), 1);
}

TEST_F(HashTest, NewEntriesGoToTheEndOfTheirChain) {
    table = hash_create(1);
    for (const char *key : {"first", "second", "third"}) hash_insert(table, key, data(key));
    std::vector<std::string> order;
    for (HASH_ENTRY *e = table->buckets[0]; e && order.size() < 10; e = e->next) order.push_back(e->key);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "third"}));
}

TEST_F(HashTest, Purge) {
    table = hash_create(3);
    for (const char *key : {"a", "b", "c", "d", "e"}) hash_insert(table, key, data(key));
    hash_purge(table, "c");
    hash_purge(table, "absent");
    hash_purge(table, nullptr);
    EXPECT_EQ(hash_search(table, "c"), nullptr);
    for (const char *key : {"a", "b", "d", "e"}) EXPECT_NE(hash_search(table, key), nullptr) << key;
    hash_purge(table, "a");
    hash_purge(table, "e");
    EXPECT_EQ(hash_search(table, "a"), nullptr);
    EXPECT_NE(hash_search(table, "d"), nullptr);
}

TEST_F(HashTest, ExpireRemovesEntriesAsOldAsTheAge) {
    // The sweep reads the clock itself: repeat when a second boundary passes
    // between stamping and sweeping.
    for (int attempt = 0; attempt < 5; attempt++) {
        if (table) hash_destroy(table);
        table = hash_create(7);
        time_t now = time(nullptr);
        hash_insert(table, "old", data("1"))->time = now - 3600;
        hash_insert(table, "older", data("2"))->time = now - 7200;
        hash_insert(table, "fresh", data("3"))->time = now - 3599;
        hash_insert(table, "future", data("4"))->time = now + 100;
        hash_insert(table, "unset", data("5"));
        int removed = hash_expire(table, 3600);
        if (time(nullptr) != now) continue;
        EXPECT_EQ(removed, 3);
        EXPECT_EQ(hash_search(table, "old"), nullptr);
        EXPECT_EQ(hash_search(table, "older"), nullptr);
        EXPECT_EQ(hash_search(table, "unset"), nullptr);
        EXPECT_NE(hash_search(table, "fresh"), nullptr);
        EXPECT_NE(hash_search(table, "future"), nullptr);
        return;
    }
    FAIL() << "clock kept moving";
}

TEST_F(HashTest, ExpireWithAgeBeyondTheEpochKeepsStampedEntries) {
    table = hash_create(5);
    hash_insert(table, "stamped", data("1"))->time = 1000;
    hash_insert(table, "unset", data("2"));
    // An age larger than the clock must not wrap into "everything is old".
    EXPECT_EQ(hash_expire(table, time(nullptr) + 1000000), 0);
    EXPECT_NE(hash_search(table, "stamped"), nullptr);
    EXPECT_EQ(hash_expire(table, INT64_MAX), 0);
    EXPECT_EQ(hash_expire(table, 0), 2);
    EXPECT_EQ(hash_expire(table, INT64_MIN), 0);
}

TEST(HashDeathTest, NullTableIsFatal) {
    EXPECT_EXIT(hash_search(nullptr, "a"), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(hash_insert(nullptr, "a", nullptr), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(hash_purge(nullptr, "a"), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(hash_expire(nullptr, 1), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(hash_destroy(nullptr), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            HASH_TABLE *table = hash_create(3);
            hash_insert(table, "a", nullptr);
        },
        testing::ExitedWithCode(1), "");
}

}  // namespace
