#include "log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "clientpool.h"
#include "clock.h"
#include "compat.h"
#include "lockguard.h"
#include "mem.h"
#include "serverpool.h"
#include "settings.h"
#include "threads.h"

LOGBUFFER *log_ring = nullptr;
int logfd = -1;
volatile int logflg = 0;
pthread_rwlock_t logfile_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

namespace {
struct Category {
    int value;
    const char *prefix;
    const char *help;
};
const Category categories[] = {
    {LOG_ADVICE, "advice: ", nullptr},
    {LOG_REQUEST, "request: ", "requests"},
    {LOG_NETWORK, "network: ", "network"},
    {LOG_URLFILTER, "url filter: ", "url filtering"},
    {LOG_HEADER, "header: ", "header filtering"},
    {LOG_MIME, "mime filter: ", "mime filtering"},
    {LOG_COOKIE, "cookie filter: ", "cookie filtering"},
    {LOG_REDIRECT, "redirect: ", "redirections"},
    {LOG_TEMPLATE, "template: ", "templates"},
    {LOG_KEYWORD, "keyword filter: ", "keyword filtering"},
    {LOG_REWRITE, "rewriting: ", "rewriting"},
    {LOG_LIMITS, "limits: ", "limits"},
    {LOG_CACHE, "cache: ", "caching"},
    {LOG_PREFETCH, "prefetch: ", "prefetching"},
    {LOG_ICP, "ICP: ", "ICP"},
    {LOG_FORWARD, "forwarding: ", "forwarding"},
    {LOG_SYNC, "sync: ", "config syncronization"},
    {LOG_ANTIVIRUS, "antivirus: ", "antivirus"},
    {LOG_EXTERNAL, "external: ", "external parsers"},
    {LOG_ICAP, "ICAP: ", "ICAP"},
    {LOG_DNSBL, "dnsbl: ", "DNS blacklist"},
    {LOG_URLBL, "URL blacklist: ", "URL blacklist"},
    {LOG_URLCOMMAND, "URL command: ", "URL commands"},
    {LOG_MODULE, "module: ", "modules"},
    {LOG_SECURITY, "security: ", "security"},
    {LOG_WARNING, "warning: ", "warnings"},
    {LOG_ERROR, "error: ", "errors"},
    {LOG_PROFILES, "profiles: ", "profiles"},
    {LOG_DEBUG, "debug: ", "debug"},
    {LOG_VERIFY, "verify: ", nullptr},
};
}  // namespace

const char *log_prefix(int category) {
    for (const Category &c : categories)
        if (c.value == category) return c.prefix;
    return "";
}

const char *log_helpname(int category) {
    for (const Category &c : categories)
        if (c.value == category) return c.help;
    return nullptr;
}

LOGBUFFER *logbuffer_new(int capacity) {
    LOGBUFFER *ring = (LOGBUFFER *)xmalloc(sizeof(LOGBUFFER));
    if (!ring) fatal_alloc("src/log", __LINE__, "logbuffer_new", sizeof(LOGBUFFER));
    pthread_mutex_init(&ring->lock, nullptr);
    ring->capacity = capacity < 0 ? 0 : capacity;
    return ring;
}

static void lognode_free(LOGNODE *node) {
    if (!node->line) fatal_assert("src/log", __LINE__, "lognode_free");
    free(node->line);
    free(node);
}

namespace {
// The node a thread last took out of the ring, kept for its next line: a
// busy proxy then neither allocates nor copies under the ring's lock.
struct SpareNode {
    LOGNODE *node = nullptr;
    ~SpareNode() {
        if (node) lognode_free(node);
    }
};
thread_local SpareNode spare;
}  // namespace

void logbuffer_add(LOGBUFFER *ring, const char *line) {
    if (!ring) return;
    size_t length = strlen(line) + 1;
    LOGNODE *node = spare.node;
    spare.node = nullptr;
    if (!node) node = (LOGNODE *)calloc(1, sizeof(LOGNODE));
    if (node && node->room < length) {
        // Rounded up: most lines then fit the room of the one they replace.
        size_t room = (length + 255) & ~(size_t)255;
        char *grown = (char *)realloc(node->line, room);
        if (grown) {
            node->line = grown;
            node->room = room;
        }
    }
    // Allocation failure here is fatal; the fatal path logs once more but its
    // guard keeps it from coming back here.
    if (!node || node->room < length) fatal_alloc("src/log", __LINE__, "logbuffer_add", length);
    memcpy(node->line, line, length);
    node->older = node->newer = nullptr;

    LOGNODE *dropped = nullptr;
    {
        MutexLock held(&ring->lock);
        if (ring->capacity == 0) {
            dropped = node;
        } else {
            node->older = ring->newest;
            if (ring->newest) ring->newest->newer = node;
            ring->newest = node;
            if (!ring->oldest) ring->oldest = node;
            if (ring->count < ring->capacity) {
                ring->count++;
            } else {
                dropped = ring->oldest;
                ring->oldest = dropped->newer;
                ring->oldest->older = nullptr;
            }
        }
    }
    if (!dropped) return;
    dropped->older = dropped->newer = nullptr;
    if (!spare.node) spare.node = dropped;
    else lognode_free(dropped);
}

void logbuffer_resize(LOGBUFFER *ring, int capacity) {
    if (!ring || capacity < 0) return;
    MutexLock held(&ring->lock);
    while (ring->count > capacity) {
        LOGNODE *old = ring->oldest;
        ring->oldest = old->newer;
        if (ring->oldest) ring->oldest->older = nullptr;
        else ring->newest = nullptr;
        lognode_free(old);
        ring->count--;
    }
    ring->capacity = capacity;
}

void logbuffer_clear(LOGBUFFER *ring) {
    if (!ring) return;
    MutexLock held(&ring->lock);
    LOGNODE *node = ring->newest;
    while (node) {
        LOGNODE *older = node->older;
        lognode_free(node);
        node = older;
    }
    ring->newest = ring->oldest = nullptr;
    ring->count = 0;
}

int log_rotate_file(int *fd, const char *path, time_t when) {
    const char *slash = strrchr(path, '/');
    if (!slash) return 0;
    fsync(*fd);
    struct tm tmv;
    localtime_r(&when, &tmv);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tmv);
    char newname[256];
    snprintf(newname, sizeof newname, "%.*s/%s-%s", (int)(slash - path), path, stamp, slash + 1);
    // A second rotation within the same second must not replace the file of
    // the first: the name then gets a counter.
    char name[sizeof newname + 16];
    snprintf(name, sizeof name, "%s", newname);
    for (int n = 1; n < 1000 && access(name, F_OK) == 0; n++) snprintf(name, sizeof name, "%s.%d", newname, n);
    close(*fd);
    *fd = -1;
    rename(path, name);
    return 1;
}

// Not s_open64: its failure report would log while the caller holds
// logfile_lock. The pools are freed quietly and the open retried once.
int log_open_file(const char *path) {
    int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_LARGEFILE, 0640);
    if (fd == -1 && errno == ENFILE) {
        clientpool_flush();
        serverpool_flush();
        fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_LARGEFILE, 0640);
    }
    return fd;
}

// Offset of local time from UTC as of the last stamp putlog made: the
// emergency line may not call localtime_r (it takes a lock the crashed
// thread may hold).
static std::atomic<long> stamp_gmtoff{0};

void putlog(int category, const char *format, ...) {
    if (category == LOG_DEBUG && !(loglevel & LOG_DEBUG)) return;

    char line[8192 + 2];
    time_t now = time(nullptr);
    // The stamp changes once a second, so each thread keeps its last one.
    static thread_local time_t stamp_time = (time_t)-1;
    static thread_local char stamp[64];
    static thread_local size_t stamp_length = 0;
    if (now != stamp_time) {
        struct tm tmv;
        clock_localtime(now, &tmv);
        stamp_gmtoff.store(tmv.tm_gmtoff, std::memory_order_relaxed);
        stamp_length = strftime(stamp, sizeof stamp, "%Y %m %d %H:%M:%S", &tmv);
        stamp_time = now;
    }
    memcpy(line, stamp, stamp_length);
    size_t len = stamp_length;
    int n = snprintf(line + len, 8192 - len, " [%u] %s", thread_get_clientid(), log_prefix(category));
    if (n > 0) len += ((size_t)n < 8192 - len) ? (size_t)n : 8191 - len;
    va_list ap;
    va_start(ap, format);
    n = vsnprintf(line + len, 8192 - len, format, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= 8192 - len) len = 8191;
    else len += (size_t)n;
    line[len] = '\0';

    if (category != LOG_DEBUG) logbuffer_add(log_ring, line);

    if (len == 0 || line[len - 1] != '\n') {
        line[len++] = '\n';
        line[len] = '\0';
    }

    bool selected = category == 0 || (category & loglevel);
    if (!selected) return;
    if (daemonize != 1) {
        // One write of the whole line, past stdio and its lock.
        ssize_t w = write(1, line, len);
        (void)w;
    }
    if (!logfile[0]) return;

    {
        RwReadLock shared(&logfile_lock);
        if (logfd != -1 && logflg != -1) {
            ssize_t w = write(logfd, line, len);
            (void)w;
            return;
        }
    }
    // The file is to be opened or rotated first.
    RwWriteLock held(&logfile_lock);
    if (logflg == -1 && logfd != -1) {
        logflg = 0;
        log_rotate_file(&logfd, logfile, now);
    }
    if (logfd == -1) {
        logfd = log_open_file(logfile);
        if (logfd == -1) return;
        lseek(logfd, 0, SEEK_END);
    }
    ssize_t w = write(logfd, line, len);
    (void)w;
}

static char *put_digits(char *at, long value, int width) {
    for (int i = width - 1; i >= 0; i--) {
        at[i] = (char)('0' + value % 10);
        value /= 10;
    }
    return at + width;
}

static char *put_text(char *at, const char *end, const char *text) {
    while (*text && at < end) *at++ = *text++;
    return at;
}

// Only async-signal-safe calls: it runs in the crash handler.
void putlog_emergency(int category, const char *text) {
    char line[1024];
    long long now = (long long)time(nullptr) + stamp_gmtoff.load(std::memory_order_relaxed);
    long long days = now >= 0 ? now / 86400 : (now - 86399) / 86400;
    long seconds = (long)(now - days * 86400);
    // Civil date from a day count (days since 1970-01-01, proleptic Gregorian).
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long day = (long)(doy - (153 * mp + 2) / 5 + 1);
    long month = (long)(mp < 10 ? mp + 3 : mp - 9);
    long year = (long)(yoe + era * 400 + (month <= 2));
    if (year < 0 || year > 9999) year = 0;

    char *at = line, *end = line + sizeof line - 1;
    at = put_digits(at, year, 4);
    *at++ = ' ';
    at = put_digits(at, month, 2);
    *at++ = ' ';
    at = put_digits(at, day, 2);
    *at++ = ' ';
    at = put_digits(at, seconds / 3600, 2);
    *at++ = ':';
    at = put_digits(at, seconds / 60 % 60, 2);
    *at++ = ':';
    at = put_digits(at, seconds % 60, 2);
    at = put_text(at, end, " [0] ");
    at = put_text(at, end, log_prefix(category));
    at = put_text(at, end, text);
    *at++ = '\n';
    size_t len = (size_t)(at - line);
    int fd = logfd != -1 ? logfd : 2;
    ssize_t w = write(fd, line, len);
    if (daemonize != 1 && fd != 1) w = write(1, line, len);
    (void)w;
}
