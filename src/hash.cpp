// Chained hash table.
#include "hash.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "mem.h"

namespace {

const char HASH_FILE[] = "src/hash";

void entry_free(HASH_ENTRY *entry, const char *function, int line) {
    if (!entry->key || !entry->data) fatal_assert(HASH_FILE, line, function);
    free(entry->key);
    free(entry->data);
    free(entry);
}

}  // namespace

unsigned int hash_key(int size, const char *key) {
    if (size <= 0 || !key) return 0;
    uint32_t sum = 0;
    for (const char *p = key; *p; p++) {
        // Bytes count as signed characters; the shifts keep the sign.
        int c = (signed char)*p;
        sum += (uint32_t)((c >> 2) + (c >> 4) + 20 * c + 8111);
    }
    return sum % (uint32_t)size;
}

HASH_TABLE *hash_create(int size) {
    if (size <= 0) fatal_assert(HASH_FILE, 32, __func__);
    HASH_TABLE *table = (HASH_TABLE *)xmalloc(sizeof(HASH_TABLE));
    if (!table) fatal_alloc(HASH_FILE, 32, __func__, sizeof(HASH_TABLE));
    size_t bytes = (size_t)size * sizeof(HASH_ENTRY *);
    table->buckets = (HASH_ENTRY **)xmalloc(bytes);
    if (!table->buckets) fatal_alloc(HASH_FILE, 36, __func__, bytes);
    table->size = size;
    return table;
}

HASH_ENTRY *hash_search(HASH_TABLE *table, const char *key) {
    if (!table) fatal_assert(HASH_FILE, 121, __func__);
    if (!key) return nullptr;
    for (HASH_ENTRY *entry = table->buckets[hash_key(table->size, key)]; entry; entry = entry->next)
        if (strcasecmp(entry->key, key) == 0) return entry;
    return nullptr;
}

HASH_ENTRY *hash_insert(HASH_TABLE *table, const char *key, void *data) {
    if (!table) fatal_assert(HASH_FILE, 50, __func__);
    if (!key) return nullptr;
    // Every entry owns data; a null one would break the table's invariant.
    if (!data) fatal_assert(HASH_FILE, 60, __func__);
    HASH_ENTRY *existing = hash_search(table, key);
    if (existing) {
        free(data);
        return existing;
    }
    HASH_ENTRY *entry = (HASH_ENTRY *)xmalloc(sizeof(HASH_ENTRY));
    if (!entry) fatal_alloc(HASH_FILE, __LINE__, __func__, sizeof(HASH_ENTRY));
    entry->key = xstrdup(key);
    if (!entry->key) fatal_alloc(HASH_FILE, __LINE__, __func__, strlen(key) + 1);
    entry->data = data;
    entry->time = 0;
    entry->next = nullptr;
    HASH_ENTRY **link = &table->buckets[hash_key(table->size, key)];
    while (*link) link = &(*link)->next;
    *link = entry;
    return entry;
}

void hash_purge(HASH_TABLE *table, const char *key) {
    if (!table) fatal_assert(HASH_FILE, 84, __func__);
    if (!key) return;
    for (HASH_ENTRY **link = &table->buckets[hash_key(table->size, key)]; *link; link = &(*link)->next) {
        HASH_ENTRY *entry = *link;
        if (entry->key && strcasecmp(entry->key, key) == 0) {
            *link = entry->next;
            entry_free(entry, __func__, 84);
            return;
        }
    }
}

int hash_expire(HASH_TABLE *table, time_t age) {
    if (!table) fatal_assert(HASH_FILE, 178, __func__);
    // 64-bit arithmetic: a large age or a late clock cannot wrap around.
    time_t limit;
    if (__builtin_sub_overflow(time(nullptr), age, &limit)) limit = age > 0 ? INT64_MIN : INT64_MAX;
    int removed = 0;
    for (int i = 0; i < table->size; i++) {
        HASH_ENTRY **link = &table->buckets[i];
        while (*link) {
            HASH_ENTRY *entry = *link;
            if (limit < entry->time) {
                link = &entry->next;
                continue;
            }
            *link = entry->next;
            entry_free(entry, __func__, 178);
            removed++;
        }
    }
    return removed;
}

void hash_destroy(HASH_TABLE *table) {
    if (!table) fatal_assert(HASH_FILE, 149, __func__);
    for (int i = 0; i < table->size; i++) {
        HASH_ENTRY *entry = table->buckets[i];
        while (entry) {
            HASH_ENTRY *next = entry->next;
            entry_free(entry, __func__, 149);
            entry = next;
        }
    }
    free(table->buckets);
    free(table);
}
