#include "ssl.h"

#include <stdlib.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include "mem.h"

static pthread_mutex_t *lock_cs = nullptr;
static long *lock_count = nullptr;
static int lock_total = 0;

void ssl_init() {
    SSL_library_init();
    SSL_load_error_strings();
    SSL_library_init();
    SSL_thread_setup();

    unsigned char seed[1024];
    for (unsigned i = 0; i < sizeof seed; i++) seed[i] = (unsigned char)(rand() % 255);
    RAND_seed(seed, (int)sizeof seed);
}

void SSL_thread_setup() {
    if (lock_cs) return;
    int n = CRYPTO_num_locks();
    if (n < 1) n = 1;
    lock_cs = (pthread_mutex_t *)xmalloc(sizeof(pthread_mutex_t) * (size_t)n);
    lock_count = (long *)xmalloc(sizeof(long) * (size_t)n);
    if (!lock_cs || !lock_count) fatal_assert("src/ssl", __LINE__, "SSL_thread_setup");
    for (int i = 0; i < n; i++) {
        lock_count[i] = 0;
        pthread_mutex_init(&lock_cs[i], nullptr);
    }
    lock_total = n;
    CRYPTO_set_id_callback(SSL_pthreads_thread_id);
    CRYPTO_set_locking_callback(SSL_pthreads_locking_callback);
}

void SSL_thread_cleanup() {
    if (!lock_cs) return;
    CRYPTO_set_locking_callback(nullptr);
    for (int i = 0; i < lock_total; i++) pthread_mutex_destroy(&lock_cs[i]);
    free(lock_cs);
    free(lock_count);
    lock_cs = nullptr;
    lock_count = nullptr;
    lock_total = 0;
}

unsigned long SSL_pthreads_thread_id() { return (unsigned long)pthread_self(); }

void SSL_pthreads_locking_callback(int mode, int n, const char *file, int line) {
    (void)file;
    (void)line;
    if (!lock_cs || n < 0 || n >= lock_total) return;
    if (mode & CRYPTO_LOCK) {
        pthread_mutex_lock(&lock_cs[n]);
        lock_count[n]++;
    } else {
        pthread_mutex_unlock(&lock_cs[n]);
    }
}

long ssl_lock_count(int n) {
    if (!lock_cs || n < 0 || n >= lock_total) return 0;
    return lock_count[n];
}
