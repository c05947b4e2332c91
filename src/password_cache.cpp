#include "password_cache.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "clock.h"
#include "global.h"
#include "lockguard.h"
#include "mem.h"
#include "settings.h"

bool password_cache_key_format(char *key, size_t size, const char *user, const char *password) {
    if (!key || size == 0) return false;
    key[0] = '\0';
    if (!user || !password) return false;
    size_t u = strlen(user), p = strlen(password);
    if (u + 1 + p + 1 > size) return false;
    memcpy(key, user, u);
    key[u] = ':';
    memcpy(key + u + 1, password, p + 1);
    return true;
}

// The password of a key is everything after its first colon (a Basic user
// name cannot hold one).
static bool key_password_empty(const char *key) {
    const char *colon = strchr(key, ':');
    return !colon || colon[1] == '\0';
}

static bool key_usable(const char *key) {
    return key && strnlen(key, PASSWORD_CACHE_KEY_SIZE) < PASSWORD_CACHE_KEY_SIZE;
}

PASSWORD_CACHE_TABLE *password_cache_create(int n) {
    if (n < 1) n = 1;
    PASSWORD_CACHE_TABLE *table;
    XMALLOC_OR_DIE(table, sizeof *table, "src/password_cache");
    table->count = n;
    XMALLOC_OR_DIE(table->buckets, sizeof(PASSWORD_CACHE_ENTRY *) * (size_t)n, "src/password_cache");
    return table;
}

static void entry_free(PASSWORD_CACHE_ENTRY *entry) {
    free(entry->key);
    free(entry);
}

void password_cache_destroy(PASSWORD_CACHE_TABLE *table) {
    if (!table) return;
    for (int i = 0; i < table->count; i++) {
        PASSWORD_CACHE_ENTRY *entry = table->buckets[i];
        while (entry) {
            PASSWORD_CACHE_ENTRY *next = entry->next;
            entry_free(entry);
            entry = next;
        }
    }
    free(table->buckets);
    free(table);
}

int password_cache_key(int n, const char *key) {
    if (n < 1 || !key) return 0;
    uint32_t sum = 0;
    for (const char *p = key; *p; p++) {
        int c = (signed char)*p;
        // shifts of negative bytes are arithmetic
        sum += (uint32_t)(20 * c) + (uint32_t)(c >> 2) + (uint32_t)(c >> 4) + (uint32_t)password_cachesize;
    }
    return (int)(sum % (uint32_t)n);
}

PASSWORD_CACHE_ENTRY *password_cache_search(PASSWORD_CACHE_TABLE *table, const char *key) {
    if (!table) fatal_assert("src/password_cache", __LINE__, "password_cache_search");
    if (!key) return nullptr;
    for (PASSWORD_CACHE_ENTRY *e = table->buckets[password_cache_key(table->count, key)]; e; e = e->next) {
        if (!e->key) fatal_assert("src/password_cache", __LINE__, "password_cache_search");
        if (strcmp(e->key, key) == 0) return e;
    }
    return nullptr;
}

PASSWORD_CACHE_ENTRY *password_cache_insert(PASSWORD_CACHE_TABLE *table, const char *key, int value) {
    if (!table) fatal_assert("src/password_cache", __LINE__, "password_cache_insert");
    if (!key) return nullptr;
    PASSWORD_CACHE_ENTRY *entry;
    XMALLOC_OR_DIE(entry, sizeof *entry, "src/password_cache");
    entry->key = xstrdup(key);
    if (!entry->key) fatal_alloc("src/password_cache", __LINE__, "password_cache_insert", strlen(key) + 1);
    entry->value = value;
    entry->time = (uint32_t)clock_now();
    entry->next = nullptr;
    PASSWORD_CACHE_ENTRY **tail = &table->buckets[password_cache_key(table->count, key)];
    while (*tail) tail = &(*tail)->next;
    *tail = entry;
    return entry;
}

void password_cache_purge(PASSWORD_CACHE_TABLE *table, const char *key) {
    if (!table) fatal_assert("src/password_cache", __LINE__, "password_cache_purge");
    if (!key) return;
    for (PASSWORD_CACHE_ENTRY **link = &table->buckets[password_cache_key(table->count, key)]; *link;
         link = &(*link)->next) {
        PASSWORD_CACHE_ENTRY *e = *link;
        if (!e->key) fatal_assert("src/password_cache", __LINE__, "password_cache_purge");
        if (strcmp(e->key, key) == 0) {
            *link = e->next;
            entry_free(e);
            return;
        }
    }
}

int password_cache_expire(PASSWORD_CACHE_TABLE *table, int age) {
    if (!table) fatal_assert("src/password_cache", __LINE__, "password_cache_expire");
    uint32_t limit = (uint32_t)clock_now() - (uint32_t)age;
    int removed = 0;
    for (int i = 0; i < table->count; i++) {
        PASSWORD_CACHE_ENTRY **link = &table->buckets[i];
        while (*link) {
            PASSWORD_CACHE_ENTRY *e = *link;
            if (e->time > limit) {
                link = &e->next;
                continue;
            }
            *link = e->next;
            entry_free(e);
            removed++;
        }
    }
    return removed;
}

int check_password_cache(const char *key) {
    if (!global || !key_usable(key)) return PASSWORD_CACHE_UNKNOWN;
    int value = PASSWORD_CACHE_UNKNOWN;
    {
        RwReadLock held(&global->password_cache_lock);
        if (global->password_cache) {
            PASSWORD_CACHE_ENTRY *e = password_cache_search(global->password_cache, key);
            if (e) value = e->value;
        }
    }
    if (value == PASSWORD_CACHE_ACCEPTED && key_password_empty(key)) value = PASSWORD_CACHE_UNKNOWN;
    return value;
}

void update_password_cache(const char *key, int value) {
    if (!global || !key_usable(key)) return;
    if (value == PASSWORD_CACHE_ACCEPTED && key_password_empty(key)) return;
    RwWriteLock held(&global->password_cache_lock);
    if (global->password_cache) {
        password_cache_purge(global->password_cache, key);
        password_cache_insert(global->password_cache, key, value);
    }
}

void password_cache_clean(void *) {
    if (!global) return;
    RwWriteLock held(&global->password_cache_lock);
    if (global->password_cache) password_cache_expire(global->password_cache, password_cachexpire);
}
