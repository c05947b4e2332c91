// Scoped holders of section locks, mutexes and rwlocks: the lock is released
// on every way out of the scope, early returns included.
#ifndef KORVANTEL_LOCKGUARD_H
#define KORVANTEL_LOCKGUARD_H

#include <pthread.h>

#include "section.h"

class CacheSection;

// A section's read lock (or its mutex, for a mutex section).
class SectionReadLock {
public:
    explicit SectionReadLock(Section *section) : section_(section) { section_->read_lock(); }
    ~SectionReadLock() { section_->unlock(); }
    SectionReadLock(const SectionReadLock &) = delete;
    SectionReadLock &operator=(const SectionReadLock &) = delete;

private:
    Section *section_;
};

// A section's write lock (or its mutex, for a mutex section).
class SectionWriteLock {
public:
    explicit SectionWriteLock(Section *section) : section_(section) { section_->write_lock(); }
    ~SectionWriteLock() { section_->unlock(); }
    SectionWriteLock(const SectionWriteLock &) = delete;
    SectionWriteLock &operator=(const SectionWriteLock &) = delete;

private:
    Section *section_;
};

// A mutex section's mutex (fatal for a read-write section), for sections
// that wait on a condition with it.
class SectionMutexLock {
public:
    explicit SectionMutexLock(Section *section) : section_(section) { section_->mutex_lock(); }
    ~SectionMutexLock() { section_->unlock(); }
    SectionMutexLock(const SectionMutexLock &) = delete;
    SectionMutexLock &operator=(const SectionMutexLock &) = delete;

private:
    Section *section_;
};

class MutexLock {
public:
    explicit MutexLock(pthread_mutex_t *mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~MutexLock() { pthread_mutex_unlock(mutex_); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

private:
    pthread_mutex_t *mutex_;
};

// A pthread read/write lock held for reading.
class RwReadLock {
public:
    explicit RwReadLock(pthread_rwlock_t *lock) : lock_(lock) { pthread_rwlock_rdlock(lock_); }
    ~RwReadLock() { pthread_rwlock_unlock(lock_); }
    RwReadLock(const RwReadLock &) = delete;
    RwReadLock &operator=(const RwReadLock &) = delete;

private:
    pthread_rwlock_t *lock_;
};

// A pthread read/write lock held for writing.
class RwWriteLock {
public:
    explicit RwWriteLock(pthread_rwlock_t *lock) : lock_(lock) { pthread_rwlock_wrlock(lock_); }
    ~RwWriteLock() { pthread_rwlock_unlock(lock_); }
    RwWriteLock(const RwWriteLock &) = delete;
    RwWriteLock &operator=(const RwWriteLock &) = delete;

private:
    pthread_rwlock_t *lock_;
};

// The object cache's lock held exclusively (CacheSection::lock_exclusive)
// or shared (lock_shared); defined with the cache.
class CacheExclusiveLock {
public:
    explicit CacheExclusiveLock(CacheSection *cache);
    ~CacheExclusiveLock();
    CacheExclusiveLock(const CacheExclusiveLock &) = delete;
    CacheExclusiveLock &operator=(const CacheExclusiveLock &) = delete;

private:
    CacheSection *cache_;
};

class CacheSharedLock {
public:
    explicit CacheSharedLock(CacheSection *cache);
    ~CacheSharedLock();
    CacheSharedLock(const CacheSharedLock &) = delete;
    CacheSharedLock &operator=(const CacheSharedLock &) = delete;

private:
    CacheSection *cache_;
};

#endif
