// TLS library start-up and the thread-locking callbacks it is given.
// The library of this build locks for itself; the callbacks are still
// registered (the registration calls are no-ops there) so the same start-up
// serves a library that needs them.
#ifndef KORVANTEL_SSL_H
#define KORVANTEL_SSL_H

#include <pthread.h>

// Start-up: library init and error strings, SSL_thread_setup, and a
// 1024-byte seed of the random generator (each byte rand() % 255).
void ssl_init();

// Allocates the lock and counter arrays (CRYPTO_num_locks() each) and
// registers the two callbacks. Allocation failure is fatal.
void SSL_thread_setup();
// Removes the locking callback, destroys the locks and frees both arrays.
void SSL_thread_cleanup();

// Thread-id callback: the calling thread's id.
unsigned long SSL_pthreads_thread_id();
// Locking callback: mode with CRYPTO_LOCK locks lock n and counts it,
// otherwise unlocks lock n. n outside the table is ignored.
void SSL_pthreads_locking_callback(int mode, int n, const char *file, int line);

// Times lock n was taken through the callback (0 for n outside the table).
long ssl_lock_count(int n);

#endif
