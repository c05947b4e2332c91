// TLS library start-up and its thread-locking callbacks.
#include <pthread.h>

#include <gtest/gtest.h>

#include "ssl.h"

namespace {

TEST(SslLocks, LockingCallbackCountsLocks) {
    SSL_thread_setup();
    long before = ssl_lock_count(0);
    SSL_pthreads_locking_callback(1 /* CRYPTO_LOCK */, 0, __FILE__, __LINE__);
    SSL_pthreads_locking_callback(2 /* unlock */, 0, __FILE__, __LINE__);
    SSL_pthreads_locking_callback(1, 100000, __FILE__, __LINE__);  // outside the table: ignored
    EXPECT_EQ(ssl_lock_count(0), before + 1);
    EXPECT_EQ(SSL_pthreads_thread_id(), (unsigned long)pthread_self());
    SSL_thread_cleanup();
    EXPECT_EQ(ssl_lock_count(0), 0);
}

}  // namespace
