// Native logging: putlog() is the one logging call of the program.
// Lines go to the in-memory ring (global->logbuffer), to standard output in
// the foreground, and to the native log file, each subject to `loglevel`.
#ifndef KORVANTEL_LOG_H
#define KORVANTEL_LOG_H

#include <pthread.h>

enum {
    LOG_ADVICE = 0,
    LOG_REQUEST = 0x1,
    LOG_NETWORK = 0x2,
    LOG_URLFILTER = 0x4,
    LOG_HEADER = 0x8,
    LOG_MIME = 0x10,
    LOG_COOKIE = 0x20,
    LOG_REDIRECT = 0x40,
    LOG_TEMPLATE = 0x80,
    LOG_KEYWORD = 0x100,
    LOG_REWRITE = 0x200,
    LOG_LIMITS = 0x400,
    LOG_CACHE = 0x800,
    LOG_PREFETCH = 0x1000,
    LOG_ICP = 0x2000,
    LOG_FORWARD = 0x4000,
    LOG_SYNC = 0x8000,
    LOG_ANTIVIRUS = 0x10000,
    LOG_EXTERNAL = 0x20000,
    LOG_ICAP = 0x40000,
    LOG_DNSBL = 0x80000,
    LOG_URLBL = 0x100000,
    LOG_URLCOMMAND = 0x200000,
    LOG_MODULE = 0x400000,
    LOG_SECURITY = 0x800000,
    LOG_WARNING = 0x1000000,
    LOG_ERROR = 0x2000000,
    LOG_PROFILES = 0x4000000,
    LOG_DEBUG = 0x8000000,
    LOG_VERIFY = 0x10000000,
};

// Prefix written after the client id, "" for an unknown value.
const char *log_prefix(int category);
// Word the help text prints for a category bit, or nullptr when not listed.
const char *log_helpname(int category);

struct LOGNODE {
    LOGNODE *older;
    LOGNODE *newer;
    char *line;
    size_t room;  // bytes allocated for line
};

struct LOGBUFFER {
    // A mutex, not a read-write lock: nearly every user writes, and writers
    // contending for glibc's read-write lock cost several times more.
    pthread_mutex_t lock;
    int count;
    int capacity;
    LOGNODE *newest;
    LOGNODE *oldest;
};

LOGBUFFER *logbuffer_new(int capacity);
void logbuffer_add(LOGBUFFER *ring, const char *line);
void logbuffer_resize(LOGBUFFER *ring, int capacity);
void logbuffer_clear(LOGBUFFER *ring);

// The ring putlog() feeds; null until the global record exists.
extern LOGBUFFER *log_ring;

extern int logfd;
extern volatile int logflg;  // -1: rotate on the next write (SIGUSR1)
// Guards the descriptors of the native, access and extended logs. A line or
// record is appended under it shared (O_APPEND and one write() per line keep
// lines whole); opening and rotating a file take it exclusively, so a
// rotation waits for the writes in flight and loses none. Writers are
// preferred, so a busy proxy cannot hold a rotation off.
extern pthread_rwlock_t logfile_lock;

void putlog(int category, const char *format, ...) __attribute__((format(printf, 2, 3)));

// For a crashing process only: writes one line in the usual form straight to
// the native log (standard error when it is not open) and, in the
// foreground, standard output, taking no lock and allocating nothing, since
// the interrupted thread may hold any of them. The client id shown is 0.
void putlog_emergency(int category, const char *text);

// Opens a log file for appending (mode 0640) without logging; for callers
// holding logfile_lock exclusively. -1 on failure.
int log_open_file(const char *path);

// Rotates an open log file for the SIGUSR1 scheme: fsync, close and rename to
// "<dir>/<stamp>-<name>". Returns 1 when the file was closed (renamed or not),
// 0 when the path has no "/" and the file must stay. Caller holds
// logfile_lock exclusively.
int log_rotate_file(int *fd, const char *path, time_t when);

#endif
