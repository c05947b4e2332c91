// Blowfish (standard 16 rounds, key schedule from the digits of pi) with a
// printable text framing, used to turn a web-interface login into its cookie
// value. The key schedules of the last keys used are cached.
#ifndef KORVANTEL_BLOWFISH_H
#define KORVANTEL_BLOWFISH_H

#include <pthread.h>
#include <stdint.h>

// The 64-character alphabet of the text framing: value 0 is '.', 63 is 'Z'.
extern const char base64[];

// Position of c in that alphabet, 0 when absent.
int base64dec(char c);

// Encrypts text with key: 12 characters per 8-byte block, stopping at the
// first block that starts with a NUL. Returns new text the caller frees.
// Thread-safe (the schedule cache is guarded).
char *blowfish_encrypt(const char *key, const char *text);
// The reverse, for texts made by blowfish_encrypt; trailing partial groups
// are ignored and characters outside the alphabet count as 0. New text.
char *blowfish_decrypt(const char *key, const char *text);

// Makes the schedule of key current, from the cache when it holds it; when
// the three cache entries are in use, entry `slot` (0 to 2) is replaced.
// An empty key leaves the initial schedule unkeyed. Callers of this and of
// the block functions below hold blowfish_lock.
void blowfish_init(const unsigned char *key, int length, int slot);
// One 64-bit block in place with the current schedule.
void blowfish_encipher(uint32_t *left, uint32_t *right);
void blowfish_decipher(uint32_t *left, uint32_t *right);

// Guards the schedule cache and the current schedule.
extern pthread_mutex_t blowfish_lock;

#endif
