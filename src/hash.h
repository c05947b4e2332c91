// Chained hash table with string keys, an owned data pointer and a time stamp
// per entry. No lock of its own: every user guards its table with its own lock.
#ifndef KORVANTEL_HASH_H
#define KORVANTEL_HASH_H

#include <stdint.h>
#include <time.h>

struct HASH_ENTRY {
    HASH_ENTRY *next;
    time_t time;  // seconds since the epoch, set by the user; 0 until then
    char *key;    // owned copy
    void *data;   // owned; released with free()
};

struct HASH_TABLE {
    int size;              // number of buckets, fixed at creation
    HASH_ENTRY **buckets;  // heads of the chains
};

// Bucket index of a key. The bytes are hashed as they are (signed), while
// lookups ignore case: store and search keys in one letter case.
unsigned int hash_key(int size, const char *key);
HASH_TABLE *hash_create(int size);
// Entry whose key equals the key without regard to case, or null.
HASH_ENTRY *hash_search(HASH_TABLE *table, const char *key);
// Adds the key with data (which the table then owns). When the key is already
// present the new data is freed and the existing entry returned.
HASH_ENTRY *hash_insert(HASH_TABLE *table, const char *key, void *data);
void hash_purge(HASH_TABLE *table, const char *key);
// Removes every entry not newer than now - age seconds; returns how many.
int hash_expire(HASH_TABLE *table, time_t age);
void hash_destroy(HASH_TABLE *table);

#endif
