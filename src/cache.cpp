// The object cache: the section, the index, opening, writing, closing,
// invalidation and sending of objects, and the request-path seams.
#include "cache.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "connection.h"
#include "filebuf.h"
#include "hash.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "perflog.h"
#include "proto_http.h"
#include "protocol.h"
#include "socket.h"
#include "templates.h"
#include "timerange.h"

CacheSection *cache_section = nullptr;

static const FIELD_BIND<CacheSection> cache_options[] = {
    FIELD_BIND_OF(CacheSection, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(CacheSection, 1, "violations", FIELD_BOOL, serve_violations),
    FIELD_BIND_OF(CacheSection, 2, "memsize", FIELD_FILE_SIZE, memory_size),
    FIELD_BIND_OF(CacheSection, 3, "memextra", FIELD_FILE_SIZE, memory_extra),
    FIELD_BIND_OF(CacheSection, 4, "minsize", FIELD_FILE_SIZE, minsize),
    FIELD_BIND_OF(CacheSection, 5, "maxsize", FIELD_FILE_SIZE, maxsize),
    FIELD_BIND_OF(CacheSection, 6, "prefetchwindow", FIELD_INT, prefetch_window),
    FIELD_BIND_OF(CacheSection, 7, "icpport", FIELD_INT, icpport),
    FIELD_BIND_OF(CacheSection, 8, "icptimeout", FIELD_INT, icptimeout),
    FIELD_BIND_OF(CacheSection, 9, "storeselect", FIELD_INT, store_choice),
    FIELD_BIND_OF(CacheSection, 10, "journalentries", FIELD_UINT, journal_max),
    FIELD_BIND_OF(CacheSection, 11, "cleaninterval", FIELD_UINT, clean_interval),
};

static const FIELD_BIND<Store> store_fields[] = {
    FIELD_BIND_OF(Store, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Store, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Store, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(Store, 3, "path", FIELD_STRING, directory),
    FIELD_BIND_OF(Store, 4, "maxsize", FIELD_LONG_FILE_SIZE, maxsize),
    FIELD_BIND_OF(Store, 5, "freeextra", FIELD_FILE_SIZE, freeextra),
    FIELD_BIND_OF(Store, 6, "md5", FIELD_INT, md5),
};

static const FIELD_BIND<Refresh> refresh_fields[] = {
    FIELD_BIND_OF(Refresh, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Refresh, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Refresh, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(Refresh, 3, "cacheable", FIELD_BOOL, cacheable),
    FIELD_BIND_OF(Refresh, 4, "minage", FIELD_UINT, min_age),
    FIELD_BIND_OF(Refresh, 5, "maxage", FIELD_UINT, max_age),
    FIELD_BIND_OF(Refresh, 6, "defaultage", FIELD_UINT, default_age),
    FIELD_BIND_OF(Refresh, 7, "lmfactor", FIELD_UINT, lm_factor),
};

namespace {

// Most bytes one object may hold: sizes are 32-bit and a mapping grows in
// 64 KiB steps.
const unsigned int OBJECT_LIMIT = 0xFFFFFFFFu - 2 * 65536;

// Largest piece a reader copies out of an object being written before it
// writes to its socket without the lock.
const unsigned int SEND_PIECE = 256 * 1024;

void system_error(const char *call, int error, const char *function, const char *what) {
    putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, %s", call, error, strerror(error), function, what);
}

// A response its server marked "private" is for one user only: the cache
// never keeps it, not even for a moment.
bool response_private(const HEADER *header) {
    if (!header || !header->cache_control) return false;
    const char *p = header->cache_control;
    while (*p) {
        while (*p == ' ' || *p == '\t' || *p == ',') p++;
        const char *start = p;
        while (*p && *p != ',') p++;
        const char *end = p;
        while (end > start && (end[-1] == ' ' || end[-1] == '\t')) end--;
        size_t n = (size_t)(end - start);
        if ((n == 7 && strncasecmp(start, "private", 7) == 0) || (n > 7 && strncasecmp(start, "private=", 8) == 0))
            return true;
    }
    return false;
}

// One field line of a head: its name and value, blanks around both
// removed. The first line (request or status line), continuation lines and
// lines without a colon give none.
bool head_field(const char *line, const char *end, std::string *name, std::string *value) {
    if (line == end || *line == ' ' || *line == '\t') return false;
    const char *colon = (const char *)memchr(line, ':', (size_t)(end - line));
    if (!colon) return false;
    const char *n_end = colon;
    while (n_end > line && (n_end[-1] == ' ' || n_end[-1] == '\t')) n_end--;
    const char *v = colon + 1;
    const char *v_end = end;
    while (v_end > v && (v_end[-1] == '\r' || v_end[-1] == '\n' || v_end[-1] == ' ' || v_end[-1] == '\t')) v_end--;
    while (v < v_end && (*v == ' ' || *v == '\t')) v++;
    name->assign(line, (size_t)(n_end - line));
    value->assign(v, (size_t)(v_end - v));
    return true;
}

// Calls field(name, value, line, next) for every field line of a head
// (first line excluded) up to its empty line.
template <typename F>
void head_fields(const char *text, size_t length, F field) {
    const char *p = text;
    const char *end = text + length;
    bool first = true;
    while (p < end) {
        const char *eol = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *next = eol ? eol + 1 : end;
        if (!first) {
            const char *content_end = next;
            while (content_end > p && (content_end[-1] == '\r' || content_end[-1] == '\n')) content_end--;
            if (content_end == p) return;  // the empty line
            std::string name, value;
            if (head_field(p, next, &name, &value)) field(name, value, p, next);
        }
        first = false;
        p = next;
    }
}

// What a stored or received response head says about sharing it.
struct Sharing {
    bool cookie = false;              // sets a cookie: for the one client it was sent to
    bool any = false;                 // Vary: *
    bool recorded = false;            // carries the varied request fields' digest
    std::string key;                  // that digest
    std::vector<std::string> varied;  // lower-case names of the fields it varies on
};

Sharing head_sharing(const char *text, size_t length) {
    Sharing sharing;
    head_fields(text, length, [&](const std::string &name, const std::string &value, const char *, const char *) {
        if (strcasecmp(name.c_str(), "Set-Cookie") == 0 || strcasecmp(name.c_str(), "Set-Cookie2") == 0) {
            sharing.cookie = true;
        } else if (strcasecmp(name.c_str(), CACHE_VARY_LINE) == 0) {
            sharing.recorded = true;
            sharing.key = value;
        } else if (strcasecmp(name.c_str(), "Vary") == 0) {
            size_t at = 0;
            while (at <= value.size()) {
                size_t comma = value.find(',', at);
                if (comma == std::string::npos) comma = value.size();
                size_t a = at, b = comma;
                while (a < b && (value[a] == ' ' || value[a] == '\t')) a++;
                while (b > a && (value[b - 1] == ' ' || value[b - 1] == '\t')) b--;
                std::string part = value.substr(a, b - a);
                for (char &c : part) c = (char)tolower((unsigned char)c);
                if (part == "*") sharing.any = true;
                else if (!part.empty()) sharing.varied.push_back(part);
                at = comma + 1;
            }
        }
    });
    return sharing;
}

// Digest of the request's values of the varied fields: every line of each
// field, in the order received, so two requests share it only when they
// carry the very same values.
std::string vary_key(const std::vector<std::string> &varied, const HEADER *request) {
    std::string text;
    for (const std::string &field : varied) {
        text += field;
        if (request) {
            for (const HTTP_HEADER &line : request->headers) {
                if (strcasecmp(line.name.c_str(), field.c_str()) != 0) continue;
                text += ":";
                text += line.value;
            }
        }
        text += "\n";
    }
    char digest[33];
    md5_string(text.c_str(), digest);
    return digest;
}

}  // namespace

// ---- the cache as the request path uses it ----------------------------------

char *cache_store_head(const HEADER *request, const char *head) {
    if (!head) return nullptr;
    size_t length = strlen(head);
    Sharing sharing = head_sharing(head, length);
    // A cookie is one client's; a response that varies on everything can
    // never be matched to another request.
    if (sharing.cookie || sharing.any) return nullptr;
    std::string out;
    bool first = true;
    const char *p = head;
    const char *end = head + length;
    while (p < end) {
        const char *eol = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *next = eol ? eol + 1 : end;
        const char *content_end = next;
        while (content_end > p && (content_end[-1] == '\r' || content_end[-1] == '\n')) content_end--;
        if (!first && content_end == p) {
            // The recorded digest goes just before the empty line.
            if (!sharing.varied.empty())
                out += std::string(CACHE_VARY_LINE) + ": " + vary_key(sharing.varied, request) + "\r\n";
            out.append(p, (size_t)(end - p));
            break;
        }
        std::string name, value;
        // A line of that name from the server would pass for ours.
        if (first || !head_field(p, next, &name, &value) || strcasecmp(name.c_str(), CACHE_VARY_LINE) != 0)
            out.append(p, (size_t)(next - p));
        first = false;
        p = next;
    }
    return xstrndup(out.data(), out.size());
}

int cache_object_match(CACHEMAP *object, const HEADER *request) {
    CacheSection *cache = cache_section;
    if (!cache || !object) return 0;
    CacheSharedLock shared(cache);
    if (!object->map || object->header_size == 0 || object->header_size > object->size) return 0;
    Sharing sharing = head_sharing(object->map, object->header_size);
    // Kept by a version that stored such answers: never anyone else's.
    if (sharing.cookie || sharing.any) return -1;
    if (sharing.varied.empty()) return 1;
    if (!sharing.recorded) return -1;
    return vary_key(sharing.varied, request) == sharing.key ? 1 : 0;
}

void cache_object_release(CACHEMAP *object) {
    CacheSection *cache = cache_section;
    if (cache) cache->cache_close(object, false);
}

bool cache_available() { return cache_section != nullptr; }

CACHEMAP *cache_object_open(CONNECTION_T *connection, const char *url, const char *head, unsigned int flags) {
    CacheSection *cache = cache_section;
    return cache ? cache->cache_open(connection, url, head, flags) : nullptr;
}

unsigned int cache_object_flags(CACHEMAP *object) {
    CacheSection *cache = cache_section;
    return cache ? cache->flag_get(object) : 0;
}

void cache_object_flag_set(CACHEMAP *object, unsigned int flags) {
    CacheSection *cache = cache_section;
    if (cache) cache->flag_set(object, flags);
}

void cache_request_check(CONNECTION_T *connection, HEADER *request) {
    CacheSection *cache = cache_section;
    if (cache) cache->check(request, connection ? connection->cache : nullptr);
}

void cache_send_status(CONNECTION_T *connection) {
    CacheSection *cache = cache_section;
    if (cache) cache->send_status(connection, connection->cache);
}

void cache_object_validated(CACHEMAP *object) {
    CacheSection *cache = cache_section;
    if (cache) cache->validated(object);
}

void cache_object_invalidate(CACHEMAP *object) {
    CacheSection *cache = cache_section;
    if (cache) cache->invalidate(object);
}

int cache_object_add(CACHEMAP *object, const char *bytes, int length) {
    CacheSection *cache = cache_section;
    return cache ? cache->add(object, bytes, length) : 0;
}

Filebuf *cache_object_body(CACHEMAP *object) {
    CacheSection *cache = cache_section;
    return cache ? cache->read_filebuf(object) : nullptr;
}

long long cache_object_send(CONNECTION_T *connection, bool chunked) {
    CacheSection *cache = cache_section;
    return cache ? cache->send(connection->cache, connection, 0, 0, chunked) : 0;
}

// The stored body is what came after de-chunking, so a "Transfer-Encoding"
// line of the stored head no longer describes it: it is left out (as is the
// recorded digest of the varied request fields), and a
// reader of an object still being written gets the body up to the close.
char *cache_object_head(CACHEMAP *object) {
    CacheSection *cache = cache_section;
    if (!cache) return nullptr;
    CacheSharedLock shared(cache);
    if (!object->map || object->header_size == 0 || object->header_size > object->size) return nullptr;
    std::string out;
    out.reserve(object->header_size);
    const char *p = object->map;
    const char *end = p + object->header_size;
    while (p < end) {
        const char *eol = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *next = eol ? eol + 1 : end;
        bool dropped = out.size() > 0 && (((size_t)(next - p) > 18 && strncasecmp(p, "Transfer-Encoding:", 18) == 0) ||
                                          ((size_t)(next - p) > sizeof CACHE_VARY_LINE &&
                                           strncasecmp(p, CACHE_VARY_LINE ":", sizeof CACHE_VARY_LINE) == 0));
        if (!dropped) out.append(p, (size_t)(next - p));
        p = next;
    }
    return xstrndup(out.data(), out.size());
}

time_t cache_object_stored(CACHEMAP *object) {
    CacheSection *cache = cache_section;
    if (!object || !cache) return -1;
    CacheSharedLock shared(cache);
    return object->stored;
}

long long cache_object_body_length(CACHEMAP *object) {
    CacheSection *cache = cache_section;
    if (!cache) return 0;
    CacheSharedLock shared(cache);
    return object->size >= object->header_size ? (long long)(object->size - object->header_size) : 0;
}

int cache_object_readers(CACHEMAP *object) {
    CacheSection *cache = cache_section;
    return cache ? cache->refcount(object) : 0;
}

Section *cache_construct() {
    cache_section = new CacheSection();
    return cache_section;
}

CacheSection::CacheSection() : Section("cache", SECTION_MUTEX) {
    fields_declare(FIELD_OPTIONS, cache_options);
    fields_declare(0, store_fields);
    fields_declare(1, refresh_fields);
    cachemaplist = (CACHELIST **)calloc(CACHE_BUCKETS, sizeof(CACHELIST *));
    if (!cachemaplist) fatal_alloc("src/cache", __LINE__, "CacheSection", CACHE_BUCKETS * sizeof(CACHELIST *));
    pthread_mutex_init(&unlink_lock, nullptr);
    pthread_cond_init(&unlink_cond, nullptr);
    // Under a stream of readers a writer must still get its turn.
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&objects_lock, &attributes);
    pthread_rwlockattr_destroy(&attributes);
    pthread_rwlock_init(&journal_lock, nullptr);
    last_clean = utc_time(nullptr);
    mutex_lock();
    update();
    unlock();
}

CacheSection::~CacheSection() {
    if (cache_section == this) {
        cache_section = nullptr;
    }
    lock_exclusive();
    for (int i = 0; i < CACHE_BUCKETS; i++) {
        while (cachemaplist[i]) {
            CACHEMAP *object = cachemaplist[i]->object;
            if (object->flags & CACHE_MEM) mem_delete(object);
            index_remove(object);
            cache_free(object);
        }
    }
    for (Store *store : stores) {
        journal_close(store);
        delete store;
    }
    stores.clear();
    unlock_exclusive();
    free(cachemaplist);
    pthread_rwlock_destroy(&objects_lock);
    pthread_rwlock_destroy(&journal_lock);
}

void CacheSection::lock_exclusive() {
    mutex_lock();
    pthread_rwlock_wrlock(&objects_lock);
}

void CacheSection::unlock_exclusive() {
    pthread_rwlock_unlock(&objects_lock);
    unlock();
}

void CacheSection::lock_shared() { pthread_rwlock_rdlock(&objects_lock); }

void CacheSection::unlock_shared() { pthread_rwlock_unlock(&objects_lock); }

CacheExclusiveLock::CacheExclusiveLock(CacheSection *cache) : cache_(cache) { cache_->lock_exclusive(); }
CacheExclusiveLock::~CacheExclusiveLock() { cache_->unlock_exclusive(); }

CacheSharedLock::CacheSharedLock(CacheSection *cache) : cache_(cache) { cache_->lock_shared(); }
CacheSharedLock::~CacheSharedLock() { cache_->unlock_shared(); }

void CacheSection::wait_exclusive(pthread_cond_t *condition) {
    // The mutex stays held until the wait lets go of it, so no wake-up from
    // a writer (who holds it too) is lost.
    pthread_rwlock_unlock(&objects_lock);
    cond_wait(condition);
    pthread_rwlock_wrlock(&objects_lock);
}

// The framework calls this with the section mutex held.
void CacheSection::update() {
    RwWriteLock held(&objects_lock);
    for (Store *store : stores) journal_close(store);

    fields_read(cache_options, options, this);

    std::vector<Store *> old = stores;
    stores.clear();
    if (subsections.size() > 0) {
        for (const Item &item : subsections[0].items) {
            Store *store = new Store();
            fields_read(store_fields, item.fields, store);
            // A trailing slash would double in every path.
            while (store->directory.size() > 1 && store->directory.back() == '/') store->directory.pop_back();
            store->maxsize = item.fields[4].ulonglong_value;
            store->freeextra = item.fields[5].uint_value;
            store->md5 = item.fields[6].int_value;
            stores.push_back(store);
        }
    }
    refreshes.clear();
    if (subsections.size() > 1) {
        for (const Item &item : subsections[1].items) {
            Refresh rule;
            fields_read(refresh_fields, item.fields, &rule);
            refreshes.push_back(rule);
        }
    }
    // Objects drop their old store before the old rules go.
    stores_update();
    for (Store *store : old) delete store;
}

int CacheSection::icpport_get() {
    lock_exclusive();
    int port = icpport;
    unlock_exclusive();
    return port;
}

int CacheSection::icptimeout_get() {
    lock_exclusive();
    int timeout = icptimeout;
    unlock_exclusive();
    return timeout;
}

// ---- index -------------------------------------------------------------------

CACHEMAP *CacheSection::find_unlocked(const char *url) {
    if (!url) return nullptr;
    for (CACHELIST *entry = cachemaplist[hash_key(CACHE_BUCKETS, url)]; entry; entry = entry->next)
        if (strcmp(entry->object->key, url) == 0) return entry->object;
    return nullptr;
}

void CacheSection::index_add(CACHEMAP *object) {
    unsigned int bucket = hash_key(CACHE_BUCKETS, object->key);
    CACHELIST *entry = (CACHELIST *)malloc(sizeof(CACHELIST));
    if (!entry) fatal_alloc("src/cache", __LINE__, "index_add", sizeof(CACHELIST));
    entry->prev = nullptr;
    entry->next = cachemaplist[bucket];
    entry->object = object;
    if (entry->next) entry->next->prev = entry;
    cachemaplist[bucket] = entry;
}

void CacheSection::index_remove(CACHEMAP *object) {
    unsigned int bucket = hash_key(CACHE_BUCKETS, object->key);
    for (CACHELIST *entry = cachemaplist[bucket]; entry; entry = entry->next) {
        if (entry->object != object) continue;
        if (entry->prev) entry->prev->next = entry->next;
        else cachemaplist[bucket] = entry->next;
        if (entry->next) entry->next->prev = entry->prev;
        free(entry);
        return;
    }
}

bool CacheSection::exists(const char *url) {
    lock_shared();
    bool found = find_unlocked(url) != nullptr;
    unlock_shared();
    return found;
}

// ---- memory -----------------------------------------------------------------

void CacheSection::memory_summary() {
    putlog(LOG_ERROR, "cache: memory: %d objects, %u bytes, Memory cache size: %u bytes, Memory free extra: %u bytes",
           memory_objects, memory_bytes, memory_size, memory_extra);
}

bool CacheSection::resize(CACHEMAP *object, unsigned int added, bool *map_failed) {
    if (map_failed) *map_failed = false;
    unsigned int length;
    if (added > 0) {
        if (object->size > OBJECT_LIMIT || added > OBJECT_LIMIT - object->size) return false;
        unsigned int need = object->size + added;
        if (object->map && object->map_length >= need) return true;
        HEADER *header = object->header;
        if (header && (header->flags & HEADER_LENGTH) &&
            header->content_length <= (uint64_t)(OBJECT_LIMIT - object->header_size) &&
            object->header_size + header->content_length >= need)
            length = object->header_size + (unsigned int)header->content_length;
        else length = (need + 65535u) / 65536u * 65536u;
    } else {
        length = object->size;
        // An empty mapping cannot exist; the data is cut when it grows.
        if (length == 0 || !object->map || length == object->map_length) return true;
    }

    if (object->fd >= 0) {
        if (length > object->map_length) {
            // The blocks are reserved before the mapping reaches them, so a
            // full disk is an error here and never a fault on a later store.
            int error = posix_fallocate(object->fd, 0, (off_t)length);
            if (error) {
                if (error == ENOSPC || error == EDQUOT || error == EFBIG) {
                    if (object->store) {
                        putlog(LOG_ERROR, "cache: disk is full for store: %s", object->store->directory.c_str());
                        object->store->full = true;
                    }
                } else {
                    system_error("posix_fallocate", error, "resize", "cache: unable to resize memory map");
                }
                return false;
            }
        }
        if (ftruncate(object->fd, (off_t)length) != 0) {
            int error = errno;
            system_error("ftruncate", error, "resize", "cache: unable to resize memory map");
            putlog(LOG_ERROR, "ftruncate error: %d [%s] Please check system memory configuration", error,
                   strerror(error));
            memory_summary();
            return false;
        }
    }

    void *map;
    if (object->map) {
        map = mremap(object->map, object->map_length, length, MREMAP_MAYMOVE);
        if (map == MAP_FAILED) {
            int error = errno;
            system_error("p_mremap", error, "resize", "cache: unable to create memory map");
            putlog(LOG_ERROR, "p_mremap error: %d [%s] Please check system memory configuration", error,
                   strerror(error));
            memory_summary();
            if (map_failed) *map_failed = true;
            return false;
        }
    } else {
        if (object->fd >= 0) map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, object->fd, 0);
        else map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            int error = errno;
            system_error("mmap", error, "resize", "cache: unable to create memory map");
            putlog(LOG_ERROR, "mmap error: %d [%s] Please check system memory configuration", error, strerror(error));
            memory_summary();
            if (map_failed) *map_failed = true;
            return false;
        }
        object->flags |= CACHE_MEM;
        memory_objects++;
        performance_log->set_cache_mmaps_created(1);
    }
    object->map = (char *)map;
    object->map_length = length;
    if (madvise(map, length, MADV_WILLNEED) != 0) {
        system_error("madvise", errno, "resize", "cache: unable to create memory map");
        memory_summary();
    }
    return true;
}

void CacheSection::mem_delete(CACHEMAP *object) {
    if (!(object->flags & CACHE_MEM)) fatal_assert("src/cache", __LINE__, "mem_delete");
    if (object->flags & CACHE_COND) {
        pthread_cond_destroy(&object->cond);
        object->flags &= ~CACHE_COND;
    }
    http_header_free(object->header);
    object->header = nullptr;
    if (object->map) {
        // File pages stay in the page cache, so only private memory is
        // given back explicitly.
        if (!object->store && object->fd < 0) madvise(object->map, object->map_length, MADV_DONTNEED);
        munmap(object->map, object->map_length);
    }
    object->map = nullptr;
    object->map_length = 0;
    object->md5_verified = false;
    memory_bytes -= object->size;
    memory_objects--;
    object->flags &= ~CACHE_MEM;
    performance_log->set_cache_mmaps_deleted(1);
}

void CacheSection::cache_free(CACHEMAP *object) {
    if (!object->key) fatal_assert("src/cache", __LINE__, "cache_free");
    if (object->fd >= 0) close(object->fd);
    if (object->flags & CACHE_COND) pthread_cond_destroy(&object->cond);
    if (object->map) munmap(object->map, object->map_length);
    http_header_free(object->header);
    free(object->key);
    delete object;
}

// ---- open -------------------------------------------------------------------

bool CacheSection::open_shared(const char *url, unsigned int open_flags, CACHEMAP **result) {
    *result = nullptr;
    lock_shared();
    time_t now = utc_time(nullptr);
    bool done = false;
    CACHEMAP *object = enabled ? find_unlocked(url) : nullptr;
    unsigned int flags = object ? object->flags.load() : 0;
    if (clean_check_open_due(object, now)) {
        // the exclusive path cleans
    } else if (!enabled || !object) {
        done = true;
    } else if (flags & CACHE_INVALID) {
        putlog(LOG_DEBUG, "cache: object is invalid");
        done = true;
    } else if (((flags & CACHE_PREFETCHED) && now - object->stored > prefetch_window) ||
               (flags & (CACHE_WRITING | CACHE_BUFFERWAIT)) || !(flags & CACHE_MEM) || !object->map ||
               !object->header || object->header_size == 0 || object->header_size > object->size ||
               ((flags & CACHE_DISCARD) && now - object->stored > 60)) {
        // a change of the object, a writer or a failure: the exclusive path
    } else if (md5_matches(object) && cacheable2(object->header) && check_header_settled(object, now)) {
        object->accessed = now;
        if ((open_flags & CACHE_OFFLINE) || !(flags & CACHE_VIOLATION) || serve_violations) {
            object->refcount++;
            *result = object;
        }
        done = true;
    }
    unlock_shared();
    return done;
}

CACHEMAP *CacheSection::cache_open(CONNECTION_T *connection, const char *url, const char *header,
                                   unsigned int open_flags) {
    if (!url) return nullptr;
    if (!(open_flags & CACHE_CREATE)) {
        CACHEMAP *found;
        if (open_shared(url, open_flags, &found)) return found;
    }
    CacheExclusiveLock exclusive(this);
    bool create = (open_flags & CACHE_CREATE) != 0;
    if (!enabled || (create && connection && (connection->flags & CONN_CARP))) return nullptr;
    time_t now = utc_time(nullptr);
    CACHEMAP *object = find_unlocked(url);
    CACHEMAP *result = nullptr;

    if (!object) {
        if (!create) goto done;
    } else if (object->flags & CACHE_INVALID) {
        putlog(LOG_DEBUG, "cache: object is invalid");
        goto done;
    } else {
        if ((object->flags & CACHE_PREFETCHED) && now - object->stored > prefetch_window)
            object->flags &= ~CACHE_PREFETCHED;
        if (create) {
            if (object->refcount > 0 || (object->flags & CACHE_PREFETCHED)) {
                if (object->flags & CACHE_PREFETCHED)
                    putlog(LOG_DEBUG, "cache: attempted to recreate cached file within prefetch window");
                goto done;
            }
            putlog(LOG_DEBUG, "cache: recreating file");
            object->refcount++;
            invalidate_unlocked(object);
            object = nullptr;
        } else {
            if ((object->flags & CACHE_WRITING) && (object->flags & CACHE_BUFFERWAIT)) {
                object->refcount++;
                result = object;
                goto done;
            }
            if (!(object->flags & CACHE_MEM)) {
                int mapped = object->store ? disk_read(object) : 0;
                if (mapped != 1) {
                    putlog(LOG_ERROR, "cache: failed to open cache file: %s", url);
                    object->refcount++;
                    invalidate_unlocked(object);
                    // A mapping the system refused calls for memory.
                    if (mapped < 0) clean();
                    goto done;
                }
            }
            // The reference comes first: invalidating must never free an
            // object another request is sending.
            object->refcount++;
            if (!md5_check(object)) {
                invalidate_unlocked(object);
                goto done;
            }
        }
    }

    if (!object) {
        object = new CACHEMAP();
        pthread_cond_init(&object->cond, nullptr);
        object->flags = CACHE_COND;
        strcpy(object->md5, CACHE_MD5_NONE);
        object->key = xstrdup(url);
        object->stored = now;
        // Open flags first: a forced object is kept whatever the rule says.
        object->flags |= open_flags & ~(CACHE_OFFLINE | CACHE_DISK | CACHE_MEM | CACHE_COND);
        select_refresh(connection, object);
        object->refcount = 1;
        index_add(object);
    }

    // Checks of the object, with the caller's reference taken.
    if (object->flags & CACHE_INVALID) {
        putlog(LOG_DEBUG, "cache: uncachable: %s", url);
        goto fail;
    }
    if ((object->flags & CACHE_DISCARD) && now - object->stored > 60) goto fail;
    object->accessed = now;
    if (create) {
        if (!header) goto fail;
        if (connection) object->store = select_store(connection, object);
        object->header = http_header_parse_response(header);
        object->header_size = (unsigned int)strlen(header);
        // No flag lets an object past the maximum size: a buffered response
        // is held by its own buffer, not by the cache.
        if (object->header && (object->header->flags & HEADER_LENGTH) && maxsize &&
            object->header->content_length > maxsize) {
            putlog(LOG_DEBUG, "cache: file size: %d exceeds maxsize: %d", (int)object->header->content_length,
                   (int)maxsize);
            goto fail;
        }
        if (!object->header || object->header_size == 0) {
            putlog(LOG_ERROR, "cache: corrupt object: %s", url);
            goto fail;
        }
        if (response_private(object->header)) {
            putlog(LOG_DEBUG, "cache: uncachable: %s", url);
            goto fail;
        }
        if (add_unlocked(object, header, (int)object->header_size) < 0) goto fail;
        putlog(LOG_DEBUG, "cache header offset: %d", (int)object->header_size);
    } else if (!object->header) {
        object->header_size = (unsigned int)header_length(object->map, object->size);
        if (object->header_size == 0 || object->header_size > object->size) {
            putlog(LOG_ERROR, "cache: corrupt object: %s", url);
            goto fail;
        }
        char *text = xstrndup(object->map, object->header_size);
        object->header = http_header_parse_response(text);
        free(text);
        // A complete object's body must be what its head announced.
        if (object->header && !(object->flags & CACHE_WRITING) && (object->header->flags & HEADER_LENGTH) &&
            object->header->content_length != (uint64_t)(object->size - object->header_size)) {
            putlog(LOG_ERROR, "cache: corrupt object: %s", url);
            goto fail;
        }
    }
    if (object->header_size == 0 || !object->header || !cacheable2(object->header)) {
        putlog(LOG_ERROR, "cache: corrupt object: %s", url);
        goto fail;
    }
    if (!create) check_header(object);
    if (!(open_flags & CACHE_OFFLINE) && (object->flags & CACHE_VIOLATION) && !serve_violations) {
        object->refcount--;
        goto done;
    }
    result = object;
    goto done;

fail:
    backoff_fail();
    invalidate_unlocked(object);
    result = nullptr;

done:
    clean_check_open(result);
    return result;
}

// ---- add --------------------------------------------------------------------

int CacheSection::add(CACHEMAP *object, const char *bytes, int length) {
    if (!object) return -1;
    lock_exclusive();
    int result = add_unlocked(object, bytes, length);
    unlock_exclusive();
    return result;
}

int CacheSection::add_unlocked(CACHEMAP *object, const char *bytes, int length) {
    bool map_failed = false;
    if (object->flags & CACHE_INVALID) return -1;
    if (length <= 0) return length < 0 ? -1 : 0;
    if (!(object->flags & CACHE_MEM) && object->store && object->fd < 0 && !(object->flags & CACHE_DISK)) {
        if (!disk_create(object)) goto fail;
    }
    if (!resize(object, (unsigned int)length, &map_failed)) goto fail;
    memcpy(object->map + object->size, bytes, (size_t)length);
    object->size += (unsigned int)length;
    memory_bytes += (unsigned int)length;
    if ((object->flags & CACHE_DISK) && object->store) {
        object->store->bytes += (unsigned int)length;
        if (object->store->bytes > object->store->maxsize) object->store->full = true;
    }
    if (maxsize && object->size > maxsize && !(object->flags & CACHE_INVALID)) {
        putlog(LOG_DEBUG, "cache: invalidating object: file size: %u exceeds maxsize: %u", object->size, maxsize);
        goto fail;
    }
    if (object->refcount > 1 && (object->flags & CACHE_COND)) pthread_cond_broadcast(&object->cond);
    clean_check_add(object);
    return length;

fail:
    // The writer keeps its reference and closes the object later, which
    // removes it.
    object->refcount++;
    invalidate_unlocked(object);
    // A mapping the system refused (out of memory, too many mappings)
    // calls for a clean whatever the limits say.
    if (map_failed) clean();
    else clean_check_add(object);
    return -1;
}

// ---- close and invalidation --------------------------------------------------

void CacheSection::cache_close(CACHEMAP *object, bool writer) {
    if (!object || !object->key) return;
    if (!writer) {
        // A reader of an object that stays as it is only lets go of it.
        lock_shared();
        unsigned int flags = object->flags;
        bool plain = !(flags & (CACHE_INVALID | CACHE_BUFFERWAIT));
        if (plain) {
            int count = object->refcount.load();
            while (count > 0 && !object->refcount.compare_exchange_weak(count, count - 1)) {
            }
            if (!(flags & CACHE_WRITING)) touch_read(object);
        }
        unlock_shared();
        if (plain) return;
    }
    CacheExclusiveLock exclusive(this);
    if (object->refcount > 0) object->refcount--;
    if (object->flags & CACHE_WRITING) {
        if (!writer) return;
        if (object->flags & CACHE_COND) pthread_cond_broadcast(&object->cond);
    }
    if (object->flags & CACHE_BUFFERWAIT) return;
    if (writer) {
        if (object->header) {
            // A body that is not what the head announced is not the
            // response: never kept as a complete object.
            if ((object->header->flags & HEADER_LENGTH) && !(object->flags & CACHE_INVALID) &&
                object->header->content_length != (uint64_t)(object->size - object->header_size)) {
                putlog(LOG_DEBUG, "cache: incomplete object: %s", object->key);
                invalidate_mark(object);
            }
            object->header->content_length = object->size - object->header_size;
            object->header->flags |= HEADER_LENGTH;
            object->header->chunked = 0;
        }
        if (object->map && object->map_length > object->size) resize(object, 0);
        if (object->fd >= 0) {
            if (object->map) msync(object->map, object->map_length, MS_ASYNC);
            close(object->fd);
            object->fd = -1;
        }
    }
    if (object->flags & CACHE_INVALID) {
        if (object->refcount == 0) remove_unlocked(object);
        return;
    }
    if (!writer) {
        touch_read(object);
        return;
    }
    object->flags &= ~(CACHE_WRITING | CACHE_BUFFERWAIT);
    if (object->size == 0) {
        // nothing to keep
    } else if (minsize && object->size < minsize) {
        putlog(LOG_DEBUG, "cache: file size: %d less than minsize: %d", (int)object->size, (int)minsize);
    } else {
        md5_check(object);
        touch_unlocked(object, true);
        if (object->flags & CACHE_COND) pthread_cond_broadcast(&object->cond);
    }
}

void CacheSection::invalidate_mark(CACHEMAP *object) {
    if (object->flags & CACHE_INVALID) return;
    putlog(LOG_DEBUG, "cache: invalidated: %s", object->key);
    object->flags |= CACHE_INVALID;
    journal_add(object);
}

void CacheSection::remove_unlocked(CACHEMAP *object) {
    if (object->flags & CACHE_MEM) mem_delete(object);
    if (object->flags & CACHE_DISK) {
        if (object->store) disk_delete(object);
        else object->flags &= ~CACHE_DISK;
    }
    index_remove(object);
    cache_free(object);
}

void CacheSection::invalidate_unlocked(CACHEMAP *object) {
    invalidate_mark(object);
    if (object->refcount < 2) {
        remove_unlocked(object);
        return;
    }
    object->refcount--;
    if (object->flags & CACHE_WRITING) {
        object->flags &= ~CACHE_WRITING;
        if (object->flags & CACHE_COND) pthread_cond_broadcast(&object->cond);
    }
}

void CacheSection::invalidate(CACHEMAP *object) {
    if (!object) return;
    lock_exclusive();
    invalidate_unlocked(object);
    unlock_exclusive();
}

bool CacheSection::invalidate_key(const char *url) {
    lock_exclusive();
    CACHEMAP *object = find_unlocked(url);
    if (object) {
        object->refcount++;
        invalidate_unlocked(object);
    }
    unlock_exclusive();
    return object != nullptr;
}

int CacheSection::refcount(CACHEMAP *object) {
    if (!object) return 0;
    lock_exclusive();
    int count = object->refcount;
    if (count == 1) invalidate_mark(object);
    unlock_exclusive();
    return count;
}

// ---- flags ------------------------------------------------------------------

// The caller holds a reference, so the object stays; its flags are atomic.
unsigned int CacheSection::flag_get(CACHEMAP *object) {
    if (!object) return 0;
    return object->flags.load();
}

unsigned int CacheSection::flag_set(CACHEMAP *object, unsigned int bits) {
    if (!object) return 0;
    lock_shared();
    unsigned int flags = object->flags.fetch_or(bits) | bits;
    unlock_shared();
    return flags;
}

unsigned int CacheSection::flag_unset(CACHEMAP *object, unsigned int bits) {
    if (!object) return 0;
    lock_shared();
    unsigned int flags = object->flags.fetch_and(~bits) & ~bits;
    unlock_shared();
    return flags;
}

char *CacheSection::flag_string(unsigned int flags) {
    static const struct {
        unsigned int bit;
        const char *name;
    } names[] = {
        {CACHE_WRITING, "CACHE_WRITING"},
        {CACHE_INVALID, "CACHE_INVALID"},
        {CACHE_EXPIRED, "CACHE_EXPIRED"},
        {CACHE_VALIDATE, "CACHE_VALIDATE"},
        {CACHE_PREFETCHED, "CACHE_PREFETCHED"},
        {CACHE_VIOLATION, "CACHE_VIOLATION"},
        {CACHE_OFFLINE, "CACHE_OFFLINE"},
        {CACHE_DISK, "CACHE_DISK"},
        {CACHE_MEM, "CACHE_MEM"},
        {CACHE_CLEAN, "CACHE_CLEAN"},
        {CACHE_BUFFERWAIT, "CACHE_BUFFERWAIT"},
        {CACHE_DISCARD, "CACHE_DISCARD"},
        {CACHE_FORCE, "CACHE_FORCE"},
    };
    std::string text;
    for (const auto &n : names) {
        if (!(flags & n.bit)) continue;
        if (!text.empty()) text += ", ";
        text += n.name;
    }
    return xstrdup(text.c_str());
}

char *CacheSection::flag_string(CACHEMAP *object) { return flag_string(flag_get(object)); }

// ---- reading ----------------------------------------------------------------

Filebuf *CacheSection::read_filebuf(CACHEMAP *object) {
    Filebuf *buffer = new Filebuf();
    if (!object) return buffer;
    lock_exclusive();
    if (object->flags & CACHE_WRITING) {
        putlog(LOG_DEBUG, "cache: reading file while being written");
        while ((object->flags & CACHE_WRITING) && (object->flags & CACHE_COND)) wait_exclusive(&object->cond);
    }
    if (object->map && object->size > object->header_size)
        buffer->Add(object->map + object->header_size, object->size - object->header_size);
    unlock_exclusive();
    return buffer;
}

Filebuf *CacheSection::cache_to_filebuf(CACHEMAP *object) {
    Filebuf *buffer = new Filebuf();
    if (!object) return buffer;
    lock_exclusive();
    if (object->map && object->size > object->header_size)
        buffer->Add(object->map + object->header_size, object->size - object->header_size);
    unlock_exclusive();
    return buffer;
}

namespace {

// Writes n bytes in pieces the socket takes; false on a write error.
bool socket_write_all(Socket *socket, const char *bytes, unsigned long long n) {
    while (n > 0) {
        int piece = n > (1u << 20) ? (1 << 20) : (int)n;
        if (socket->Write(bytes, piece) < 0) return false;
        if (socket->Write(nullptr, -1) < 0) return false;
        bytes += piece;
        n -= (unsigned long long)piece;
    }
    return true;
}

// One piece of a body, as a chunk when chunked.
bool piece_write(Socket *socket, const char *bytes, unsigned long long n, bool chunked) {
    if (n == 0) return true;
    if (chunked && socket->PutSock("%llx\r\n", n) < 0) return false;
    if (!socket_write_all(socket, bytes, n)) return false;
    return !chunked || socket->Write("\r\n", 2) >= 0;
}

// The answer being sent is not the whole body: the request failed and the
// client connection is not kept.
void answer_cut(CONNECTION_T *connection) {
    connection->flags |= CONN_FAILED;
    keepalive_client_end(connection);
}

}  // namespace

long long CacheSection::send(CACHEMAP *object, CONNECTION_T *connection, int direction, unsigned long long offset,
                             bool chunked) {
    if (!object || !connection) return -1;
    Socket *socket = direction ? connection->server : connection->client;
    if (!socket) return -1;
    lock_shared();
    if (!(object->flags & CACHE_WRITING)) {
        // Invalid since the caller opened it: perhaps a writer that failed.
        bool cut = (object->flags & CACHE_INVALID) != 0;
        const char *body = object->map ? object->map + object->header_size : nullptr;
        unsigned long long length = object->size > object->header_size ? object->size - object->header_size : 0;
        unlock_shared();
        if (offset > length) offset = length;
        if (body) body += offset;
        length -= offset;
        // The caller's reference keeps the object mapped and unchanged.
        if (!body) length = 0;
        if (!piece_write(socket, body, length, chunked)) return -1;
        if (chunked && !cut) socket->Write("0\r\n\r\n", 5);
        if (length > 0 || chunked) socket->Flush();
        if (cut) answer_cut(connection);
        return (long long)length;
    }
    unlock_shared();
    lock_exclusive();

    putlog(LOG_DEBUG, "cache: sending file while being written");
    // The writer may move the mapping at any time, so what has arrived is
    // copied out under the lock and written without it.
    char *piece = (char *)xmalloc(SEND_PIECE);
    // Position in the body; what lies before offset is never sent.
    unsigned long long sent = offset;
    bool failed = false;
    for (;;) {
        unsigned long long held = object->size > object->header_size ? object->size - object->header_size : 0;
        if (held > sent) {
            unsigned int n = held - sent > SEND_PIECE ? SEND_PIECE : (unsigned int)(held - sent);
            memcpy(piece, object->map + object->header_size + sent, n);
            unlock_exclusive();
            bool ok = piece_write(socket, piece, n, chunked);
            lock_exclusive();
            if (!ok) {
                failed = true;
                break;
            }
            sent += n;
            continue;
        }
        if (!(object->flags & CACHE_WRITING) || !(object->flags & CACHE_COND)) break;
        wait_exclusive(&object->cond);
    }
    // A writer that failed leaves the reader with part of a body: that
    // answer cannot be passed off as whole (no last chunk).
    if (object->flags & CACHE_INVALID) failed = true;
    unlock_exclusive();
    free(piece);
    if (chunked && !failed) socket->Write("0\r\n\r\n", 5);
    socket->Flush();
    if (failed) answer_cut(connection);
    return sent > offset ? (long long)(sent - offset) : 0;
}

void CacheSection::send_status(CONNECTION_T *connection, CACHEMAP *object) {
    if (!connection || !object) return;
    char transferred[32], mtime[32], size[32];
    lock_exclusive();
    snprintf(transferred, sizeof transferred, "%u",
             object->size > object->header_size ? object->size - object->header_size : 0);
    snprintf(mtime, sizeof mtime, "%ld", (long)object->stored);
    if (object->header && (object->header->flags & HEADER_LENGTH))
        snprintf(size, sizeof size, "%llu", (unsigned long long)object->header->content_length);
    else snprintf(size, sizeof size, "0");
    unlock_exclusive();
    connection->variables["TRANSFERRED"] = transferred;
    connection->variables["MTIME"] = mtime;
    connection->variables["SIZE"] = size;
    // The template when there is one, else a plain page: never no answer.
    request_page(connection, "downloading", 200);
}

void CacheSection::validated(CACHEMAP *object) {
    if (!object) return;
    lock_exclusive();
    object->flags &= ~CACHE_VALIDATE;
    touch_unlocked(object, true);
    unlock_exclusive();
}

void CacheSection::touch(CACHEMAP *object, bool stored_too) {
    if (!object) return;
    lock_exclusive();
    touch_unlocked(object, stored_too);
    unlock_exclusive();
}

void CacheSection::force_clean() {
    lock_exclusive();
    putlog(LOG_DEBUG, "Flushing %d objects from the memory cache", CACHE_BUCKETS);
    for (int i = 0; i < CACHE_BUCKETS; i++) {
        CACHELIST *entry = cachemaplist[i];
        while (entry) {
            CACHELIST *next = entry->next;
            CACHEMAP *object = entry->object;
            if (object->refcount == 0) {
                putlog(LOG_DEBUG, "cache: flushed %s from memory", object->key);
                if (object->flags & CACHE_MEM) mem_delete(object);
                if ((object->flags & CACHE_DISK) && object->store) {
                    // The file and its journal line stay for the next start.
                    object->store->objects--;
                    object->store->bytes -= object->size;
                }
                index_remove(object);
                cache_free(object);
            }
            entry = next;
        }
    }
    unlock_exclusive();
}
