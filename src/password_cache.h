// Password cache: remembers for a while whether "user:password" was accepted
// (1) or refused (2) by PAM or the directory, so repeated Basic credentials
// cost one system check per cache age.
//
// global->password_cache is guarded by global->password_cache_lock; only the
// three program-wide operations at the end touch it.
#ifndef KORVANTEL_PASSWORD_CACHE_H
#define KORVANTEL_PASSWORD_CACHE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

// Largest key, terminator included. Credentials that do not fit are refused,
// never cut, so two passwords can never share one key.
#define PASSWORD_CACHE_KEY_SIZE 1024

enum {
    PASSWORD_CACHE_UNKNOWN = 0,
    PASSWORD_CACHE_ACCEPTED = 1,
    PASSWORD_CACHE_REFUSED = 2,
};

struct PASSWORD_CACHE_ENTRY {
    PASSWORD_CACHE_ENTRY *next;
    uint32_t time;  // seconds since the epoch, when inserted
    char *key;      // owned
    int value;      // PASSWORD_CACHE_ACCEPTED or PASSWORD_CACHE_REFUSED
};

struct PASSWORD_CACHE_TABLE {
    int count;                       // buckets, fixed at creation (at least 1)
    PASSWORD_CACHE_ENTRY **buckets;  // chain heads; new entries at the tail
};

// Forms "user:password" into key (size bytes). False, with key emptied, when
// either part is missing or the whole does not fit.
bool password_cache_key_format(char *key, size_t size, const char *user, const char *password);

// A table of n buckets (n below 1 gives 1).
PASSWORD_CACHE_TABLE *password_cache_create(int n);
void password_cache_destroy(PASSWORD_CACHE_TABLE *table);
// Bucket of a key; uses the configured password_cachesize.
int password_cache_key(int n, const char *key);
// Entry with exactly that key, or null. Keys compare byte for byte: a
// password differing only in letter case is another password.
PASSWORD_CACHE_ENTRY *password_cache_search(PASSWORD_CACHE_TABLE *table, const char *key);
// Appends a new entry stamped now; null for a null key. Callers purge first.
PASSWORD_CACHE_ENTRY *password_cache_insert(PASSWORD_CACHE_TABLE *table, const char *key, int value);
void password_cache_purge(PASSWORD_CACHE_TABLE *table, const char *key);
// Removes every entry inserted at or before now - age; returns how many.
int password_cache_expire(PASSWORD_CACHE_TABLE *table, int age);

// Program-wide cache in global.
// 0 (unknown), 1 (accepted) or 2 (refused). A key with an empty password or
// one too long is never reported accepted.
int check_password_cache(const char *key);
// Replaces the key's entry. Acceptance of an empty password, and keys that
// do not fit, are not recorded.
void update_password_cache(const char *key, int value);
// Timer callback: expires entries older than password_cachexpire.
void password_cache_clean(void *unused);

#endif
