// Disk stores of the object cache: choosing a store, object files, the
// journal (append, rewrite, reload), digests and the deletion thread.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <string>
#include <unordered_set>

#include "cache.h"
#include "compat.h"
#include "connection.h"
#include "hash.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "profiles.h"
#include "timerange.h"

namespace {

// Longest URL kept on disk: its journal line must fit whole.
const size_t DISK_KEY_MAX = CACHE_JOURNAL_LINE_MAX - 256;

void system_error(const char *call, int error, const char *function, const char *what) {
    putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, %s", call, error, strerror(error), function, what);
}

// A URL whose journal line could not be read back as the same URL.
bool key_storable(const char *key) {
    size_t n = strlen(key);
    if (n == 0 || n > DISK_KEY_MAX) return false;
    for (size_t i = 0; i < n; i++)
        if (key[i] == '\t' || key[i] == '\n' || key[i] == '\r') return false;
    return true;
}

// Creates a directory and its missing parents (mode 0755).
void mkdir_parents(const std::string &path) {
    std::string partial;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        partial = path.substr(0, slash);
        if (!partial.empty()) mkdir(partial.c_str(), 0755);
        start = slash + 1;
    }
}

bool write_all(int fd, const char *bytes, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, bytes, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += w;
        n -= (size_t)w;
    }
    return true;
}

// Digest of n bytes as 32 lower-case hex digits.
void md5_hex(const char *bytes, size_t n, char out[33]) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(bytes, n, digest, &length, EVP_md5(), nullptr) || length != 16) {
        strcpy(out, CACHE_MD5_NONE);
        return;
    }
    for (unsigned int i = 0; i < 16; i++) snprintf(out + 2 * i, 3, "%02x", digest[i]);
}

bool is_digest(const char *text) {
    if (strlen(text) != 32) return false;
    for (int i = 0; i < 32; i++)
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) return false;
    return true;
}

// Whole-text number of a journal field.
bool parse_ulong(const char *text, unsigned long *out) {
    if (!text || !*text || *text == '-') return false;
    char *end;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (errno || *end) return false;
    *out = value;
    return true;
}

bool parse_int(const char *text, int *out) {
    if (!text || !*text) return false;
    char *end;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno || *end || value < -2147483647L - 1 || value > 2147483647L) return false;
    *out = (int)value;
    return true;
}

}  // namespace

// ---- store choice and paths ---------------------------------------------------

Store *CacheSection::select_store(CONNECTION_T *connection, CACHEMAP *object) {
    if (!connection) fatal_assert("src/cache", __LINE__, "select_store");
    if (object && object->key && !key_storable(object->key)) return nullptr;
    Store *best = nullptr;
    unsigned long long best_rating = 0;
    for (Store *store : stores) {
        if (!store->enabled || store->directory.empty() || store->maxsize == 0) continue;
        if (store->bytes > store->maxsize) store->full = true;
        if (!profile_find(connection->profiles, store->profiles)) continue;
        unsigned long long rating;
        if (store_choice == 0) rating = store->bytes;
        else if (store_choice == 1)
            rating = (unsigned long long)((double)store->bytes / (double)store->maxsize * 100.0);
        else continue;
        if (!best || rating < best_rating) {
            best = store;
            best_rating = rating;
        }
    }
    return best;
}

int CacheSection::filename(const char *directory, const char *url, char *buffer, size_t size) {
    int bucket = (int)hash_key(256, url);
    char digest[33];
    md5_string(url, digest);
    snprintf(buffer, size, "%s/%.2x/%s", directory, bucket, digest);
    return bucket;
}

int CacheSection::filename(CACHEMAP *object, char *buffer, size_t size) {
    const char *directory = object->store ? object->store->directory.c_str() : "";
    return filename(directory, object->key, buffer, size);
}

// ---- object files -----------------------------------------------------------------

bool CacheSection::disk_create(CACHEMAP *object) {
    Store *store = object->store;
    char path[PATH_MAX];
    int bucket = filename(object, path, sizeof path);
    char directory[PATH_MAX];
    snprintf(directory, sizeof directory, "%s/%.2x", store->directory.c_str(), bucket);
    if (mkdir(directory, 0755) != 0) {
        if (errno == ENOSPC) {
            putlog(LOG_ERROR, "cache: disk is full for store: %s", store->directory.c_str());
            store->full = true;
        } else if (errno != EEXIST) {
            putlog(LOG_ERROR, "cache: failed to create cache directory structure in store: %s",
                   store->directory.c_str());
        }
    }
    // A deletion still queued for this path must not remove the new file.
    unlink_list_zap(path);
    int fd = s_open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        int error = errno;
        if (error == ENOSPC || error == EDQUOT) {
            putlog(LOG_ERROR, "cache: [%d:%s] disk is full for %s", error, strerror(error), store->directory.c_str());
            store->full = true;
            return false;
        }
        putlog(LOG_ERROR, "cache: [%d:%s] failed to create object in %s", error, strerror(error),
               store->directory.c_str());
        object->store = nullptr;
        return true;
    }
    object->fd = fd;
    store->objects++;
    object->flags |= CACHE_DISK;
    journal_add(object);
    return true;
}

int CacheSection::disk_read(CACHEMAP *object) {
    if (!(object->flags & CACHE_DISK) || (object->flags & CACHE_MEM) || object->map || object->fd >= 0 ||
        object->refcount > 0 || !object->store)
        fatal_assert("src/cache", __LINE__, "disk_read");
    char path[PATH_MAX];
    filename(object, path, sizeof path);
    int fd = s_open(path, O_RDONLY, 0);
    if (fd < 0) return 0;
    struct stat status;
    if (fstat(fd, &status) != 0) {
        int error = errno;
        putlog(LOG_ERROR, "[system: fstat:%d:%s], in %s, unable to return information about %s", error, strerror(error),
               "disk_read", path);
        close(fd);
        return 0;
    }
    // An empty file holds no response; a length that differs from the
    // journal is not the response that was stored.
    if (status.st_size <= 0 || (unsigned long long)status.st_size != object->size) {
        if (status.st_size > 0) putlog(LOG_ERROR, "cache: file meta information didn't match journaled data");
        close(fd);
        return 0;
    }
    void *map = mmap(nullptr, (size_t)status.st_size, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        system_error("mmap", errno, "disk_read", "cache: unable to create memory map");
        memory_summary();
        close(fd);
        return -1;
    }
    object->stored = status.st_mtime + gmtoffset;
    object->accessed = status.st_atime + gmtoffset;
    object->map = (char *)map;
    object->map_length = (unsigned int)status.st_size;
    object->flags |= CACHE_MEM;
    memory_bytes += object->size;
    memory_objects++;
    if (madvise(map, object->map_length, MADV_WILLNEED) != 0) {
        system_error("madvise", errno, "disk_read", "cache: unable to create memory map");
        memory_summary();
    }
    close(fd);
    return 1;
}

int CacheSection::md5_check(CACHEMAP *object) {
    if (!object->store || object->store->md5 != 1) {
        strcpy(object->md5, CACHE_MD5_NONE);
        return 1;
    }
    // Partial data has no digest of its own.
    if ((object->flags & CACHE_WRITING) || !object->map) return 1;
    // The data of a mapping changes only through its writer, which has
    // finished: once checked, it stays checked until it is unmapped.
    if (object->md5_verified && is_digest(object->md5)) return 1;
    char digest[33];
    md5_hex(object->map, object->size, digest);
    if (!is_digest(object->md5)) {
        strcpy(object->md5, digest);
        object->md5_verified = true;
        return 1;
    }
    if (strcmp(object->md5, digest) != 0) {
        putlog(LOG_ERROR, "cache: md5 mismatch, expected: %s got: %s", object->md5, digest);
        return 0;
    }
    object->md5_verified = true;
    return 1;
}

bool CacheSection::md5_matches(const CACHEMAP *object) {
    if (!object->store || object->store->md5 != 1) return strcmp(object->md5, CACHE_MD5_NONE) == 0;
    if ((object->flags & CACHE_WRITING) || !object->map || !is_digest(object->md5)) return false;
    return object->md5_verified;
}

// With stored_too false this may run under the shared lock.
void CacheSection::touch_unlocked(CACHEMAP *object, bool stored_too) {
    time_t now = utc_time(nullptr);
    object->accessed = now;
    if (stored_too) object->stored = now;
    object->access_recorded = now;
    if (object->store && (object->flags & CACHE_DISK)) {
        char path[PATH_MAX];
        filename(object, path, sizeof path);
        struct timespec times[2];
        times[0].tv_sec = object->accessed - gmtoffset;
        times[0].tv_nsec = 0;
        times[1].tv_sec = object->stored - gmtoffset;
        times[1].tv_nsec = 0;
        utimensat(AT_FDCWD, path, times, 0);
    }
    journal_add(object);
}

// A reader's access: kept in memory at once, written to the file times and
// the journal at most once per ACCESS_RECORD_INTERVAL for each object (a
// restart only needs it for the order of cleaning). Shared lock at least.
void CacheSection::touch_read(CACHEMAP *object) {
    time_t now = utc_time(nullptr);
    time_t recorded = object->access_recorded.load();
    if (now >= recorded && now - recorded < ACCESS_RECORD_INTERVAL) {
        object->accessed = now;
        return;
    }
    // One of the readers that find it due writes it.
    if (!object->access_recorded.compare_exchange_strong(recorded, now)) {
        object->accessed = now;
        return;
    }
    touch_unlocked(object, false);
}

void CacheSection::disk_delete(CACHEMAP *object) {
    if (!(object->flags & CACHE_DISK) || (object->flags & CACHE_MEM) || !object->store)
        fatal_assert("src/cache", __LINE__, "disk_delete");
    Store *store = object->store;
    if (!store->directory.empty()) {
        char path[PATH_MAX];
        filename(object, path, sizeof path);
        unlink_list_add(path);
    }
    store->bytes = store->bytes >= object->size ? store->bytes - object->size : 0;
    if (store->objects > 0) store->objects--;
    object->flags &= ~CACHE_DISK;
}

// ---- journal ------------------------------------------------------------------------

int CacheSection::journal_line(const CACHEMAP *object, char *buffer, size_t size) {
    int n = snprintf(buffer, size, "%d\t%s\t%u\t%lu\t%lu\t%lu\t%lu\t%lu\t%lu\t%s\n", (int)object->flags, object->key,
                     object->size, (unsigned long)object->stored, (unsigned long)object->accessed.load(),
                     (unsigned long)object->min_age, (unsigned long)object->max_age, (unsigned long)object->default_age,
                     (unsigned long)object->lm_factor, object->md5);
    if (n < 0) return 0;
    if ((size_t)n >= size) {
        // Cut, but still one line.
        n = (int)size - 1;
        buffer[n - 1] = '\n';
    }
    return n;
}

bool CacheSection::journal_parse(const char *line, JOURNAL_ENTRY *entry) {
    char **fields = string_break(line, '\t');
    int count = fields ? array_length(fields) : 0;
    unsigned long ages[4] = {0, 0, 0, 0};
    bool valid = count >= 5 && parse_int(fields[0], &entry->flags) && parse_ulong(fields[2], &entry->size) &&
                 entry->size <= 0xFFFFFFFFul && parse_ulong(fields[3], &entry->stored) &&
                 parse_ulong(fields[4], &entry->accessed) && key_storable(fields[1]);
    if (valid && count >= 9)
        for (int i = 0; i < 4 && valid; i++) valid = parse_ulong(fields[5 + i], &ages[i]) && ages[i] <= 0xFFFFFFFFul;
    if (valid && count >= 10) valid = is_digest(fields[9]) || strcmp(fields[9], CACHE_MD5_NONE) == 0;
    if (valid) {
        entry->key = fields[1];
        entry->ages = count >= 9;
        entry->min_age = ages[0];
        entry->max_age = ages[1];
        entry->default_age = ages[2];
        entry->lm_factor = ages[3];
        entry->md5 = count >= 10 ? fields[9] : "";
    }
    array_free(fields);
    return valid;
}

void CacheSection::journal_close(Store *store) {
    RwWriteLock held(&journal_lock);
    journal_close_held(store);
}

void CacheSection::journal_close_held(Store *store) {
    if (store->journal_fd >= 0) {
        fsync(store->journal_fd);
        close(store->journal_fd);
    }
    store->journal_fd = -1;
    store->journal_lines = 0;
}

int CacheSection::journal_add(CACHEMAP *object) {
    Store *store = object->store;
    if (!store || store->directory.empty()) return 0;
    // The line is made before the lock: it is the object's state now.
    char line[CACHE_JOURNAL_LINE_MAX + 1];
    int n = journal_line(object, line, sizeof line);
    unsigned int limit = journal_max ? journal_max : 128000;
    const char *rest = line;
    size_t left = (size_t)n;
    // The common case, an open journal far from its rewrite, only appends.
    {
        RwReadLock shared(&journal_lock);
        if (store->journal_fd >= 0 && store->journal_lines.load() + 1 < limit) {
            ssize_t w = write(store->journal_fd, rest, left);
            if (w > 0) {
                rest += w;
                left -= (size_t)w;
            }
            if (left == 0) store->journal_lines++;
        }
    }
    if (left == 0) return 0;
    RwWriteLock held(&journal_lock);
    if (store->journal_fd < 0) {
        std::string path = store->directory + "/journal";
        int fd = s_open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (fd < 0) return -1;
        store->journal_fd = fd;
        store->journal_lines = 0;
        putlog(LOG_CACHE, "opened new %s/journal [%d]", store->directory.c_str(), fd);
    }
    if (!write_all(store->journal_fd, rest, left)) {
        int error = errno;
        putlog(LOG_ERROR, "[system: write:%d:%s], in %s, cache: failed to write to [%d] %s/journal", error,
               strerror(error), "journal_add", store->journal_fd, store->directory.c_str());
    }
    store->journal_lines++;
    if (journal_max ? store->journal_lines >= journal_max : store->journal_lines > 127999) journal_write_held(store);
    return 0;
}

void CacheSection::journal_write(Store *store) {
    RwWriteLock held(&journal_lock);
    journal_write_held(store);
}

// Runs under the cache lock, shared at least: the index stands still and
// only atomic fields of its objects move.
void CacheSection::journal_write_held(Store *store) {
    time_t now = utc_time(nullptr);
    if (store->journal_written && now - store->journal_written < 30) return;
    if (!store->journal_written) store->journal_written = now;
    std::string journal = store->directory + "/journal";
    std::string fresh = journal + ".new";
    int fd = s_open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    putlog(LOG_CACHE, "writing journal for %s", store->directory.c_str());
    std::string out;
    char line[CACHE_JOURNAL_LINE_MAX + 1];
    bool ok = true;
    for (int i = 0; i < CACHE_BUCKETS && ok; i++) {
        for (CACHELIST *entry = cachemaplist[i]; entry; entry = entry->next) {
            if (entry->object->store != store) continue;
            out.append(line, (size_t)journal_line(entry->object, line, sizeof line));
            if (out.size() >= 1 << 20) {
                ok = write_all(fd, out.data(), out.size());
                out.clear();
            }
        }
    }
    if (ok && !out.empty()) ok = write_all(fd, out.data(), out.size());
    if (ok) ok = fsync(fd) == 0;
    close(fd);
    if (!ok) {
        // The old journal stays the one that counts.
        int error = errno;
        putlog(LOG_ERROR, "[system: write:%d:%s], in %s, cache: failed to write to [%d] %s/journal", error,
               strerror(error), "journal_write", fd, store->directory.c_str());
        unlink(fresh.c_str());
        return;
    }
    journal_close_held(store);
    // rename replaces the old journal in one step: a crash leaves one
    // complete journal or the other.
    if (rename(fresh.c_str(), journal.c_str()) != 0) {
        int error = errno;
        putlog(LOG_ERROR, "[system: rename:%d:%s], in %s, cache: unable to rename journal for %s", error,
               strerror(error), "journal_write", store->directory.c_str());
    }
    store->journal_written = now;
}

void CacheSection::journal_read(Store *store) {
    std::string path = store->directory + "/journal";
    FILE *file = s_fopen(path.c_str(), "r");
    if (!file) {
        path = store->directory + "/journal.new";
        file = s_fopen(path.c_str(), "r");
    }
    if (!file) {
        putlog(LOG_WARNING, "cache: journal is missing for store: %s, all cached objects have been lost",
               store->directory.c_str());
        return;
    }
    putlog(LOG_DEBUG, "cache: reading journal for store: %s", store->directory.c_str());
    char line[CACHE_JOURNAL_LINE_MAX + 1];
    while (fgets(line, sizeof line, file)) {
        size_t length = strlen(line);
        if (length == 0) continue;
        if (line[length - 1] != '\n') {
            // An over-long line is skipped whole; a last line without its
            // line feed was cut off while being written.
            int c;
            while ((c = fgetc(file)) != EOF && c != '\n') {
            }
            continue;
        }
        line[--length] = '\0';
        JOURNAL_ENTRY entry;
        if (!journal_parse(line, &entry)) continue;
        const char *url = entry.key.c_str();
        CACHEMAP *object = find_unlocked(url);
        if (object) {
            if (object->refcount > 0) continue;
            if (object->store && object->store != store) {
                if ((time_t)entry.stored < object->stored) continue;
                if ((object->flags & CACHE_DISK) &&
                    !(object->flags & (CACHE_WRITING | CACHE_INVALID | CACHE_DISCARD))) {
                    // Counted by the store it leaves.
                    Store *old = object->store;
                    if (old->objects > 0) old->objects--;
                    old->bytes = old->bytes >= object->size ? old->bytes - object->size : 0;
                }
            }
        } else {
            object = new CACHEMAP();
            object->key = xstrdup(url);
            strcpy(object->md5, CACHE_MD5_NONE);
            index_add(object);
        }
        object->store = store;
        object->size = (unsigned int)entry.size;
        object->stored = (time_t)entry.stored;
        object->accessed = (time_t)entry.accessed;
        // Mapping and condition variable are this process's, not the line's.
        object->flags =
            ((unsigned int)entry.flags & ~(CACHE_MEM | CACHE_COND)) | (object->flags & (CACHE_MEM | CACHE_COND));
        if (entry.ages) {
            object->min_age = (unsigned int)entry.min_age;
            object->max_age = (unsigned int)entry.max_age;
            object->default_age = (unsigned int)entry.default_age;
            object->lm_factor = (unsigned int)entry.lm_factor;
        } else {
            select_refresh(nullptr, object);
        }
        if (!entry.md5.empty()) snprintf(object->md5, sizeof object->md5, "%s", entry.md5.c_str());
    }
    fclose(file);

    for (int i = 0; i < CACHE_BUCKETS; i++) {
        CACHELIST *entry = cachemaplist[i];
        while (entry) {
            CACHELIST *next = entry->next;
            CACHEMAP *object = entry->object;
            entry = next;
            if (object->store != store || object->refcount > 0) continue;
            object->flags &=
                ~(CACHE_EXPIRED | CACHE_VALIDATE | CACHE_PREFETCHED | CACHE_VIOLATION | CACHE_MEM | CACHE_BUFFERWAIT);
            if (object->map) object->flags |= CACHE_MEM;
            if ((object->flags & CACHE_DISK) && !(object->flags & (CACHE_WRITING | CACHE_INVALID | CACHE_DISCARD))) {
                store->objects++;
                store->bytes += object->size;
                continue;
            }
            putlog(LOG_DEBUG, "cache: object %s final state was invalid: %d", object->key, (int)object->flags);
            index_remove(object);
            if (object->flags & CACHE_MEM) mem_delete(object);
            if (object->flags & CACHE_DISK) {
                char path[PATH_MAX];
                filename(object, path, sizeof path);
                unlink_list_add(path);
            }
            cache_free(object);
        }
    }
}

void CacheSection::store_sweep(Store *store) {
    // Names of the files the index keeps (any store: a file is only ever
    // deleted when no object could be using it).
    std::unordered_set<std::string> kept;
    char path[PATH_MAX];
    for (int i = 0; i < CACHE_BUCKETS; i++) {
        for (CACHELIST *entry = cachemaplist[i]; entry; entry = entry->next) {
            filename(store->directory.c_str(), entry->object->key, path, sizeof path);
            kept.insert(path);
        }
    }
    for (int bucket = 0; bucket < 256; bucket++) {
        char directory[PATH_MAX];
        snprintf(directory, sizeof directory, "%s/%.2x", store->directory.c_str(), bucket);
        DIR *dir = s_opendir(directory);
        if (!dir) continue;
        struct dirent *item;
        while ((item = readdir(dir)) != nullptr) {
            // Only names this cache makes are its files.
            if (!is_digest(item->d_name)) continue;
            std::string file = std::string(directory) + "/" + item->d_name;
            if (!kept.count(file)) unlink_list_add(file);
        }
        closedir(dir);
    }
}

void CacheSection::stores_update() {
    for (int i = 0; i < CACHE_BUCKETS; i++) {
        CACHELIST *entry = cachemaplist[i];
        while (entry) {
            CACHELIST *next = entry->next;
            CACHEMAP *object = entry->object;
            entry = next;
            if (!object->store) continue;
            object->store = nullptr;
            if (object->map || object->refcount > 0) {
                object->flags &= ~CACHE_DISK;
                continue;
            }
            index_remove(object);
            cache_free(object);
        }
    }
    for (Store *store : stores) {
        if (store->directory.empty()) continue;
        journal_close(store);
        store->objects = 0;
        store->bytes = 0;
        store->full = false;
        store->journal_written = 0;
        mkdir_parents(store->directory);
        std::string journal = store->directory + "/journal";
        std::string fresh = journal + ".new";
        bool known = access(journal.c_str(), F_OK) == 0 || access(fresh.c_str(), F_OK) == 0;
        journal_read(store);
        if (known) store_sweep(store);
        journal_write(store);
    }
}

// ---- deletion queue -----------------------------------------------------------------

void CacheSection::unlink_list_add(const std::string &path) {
    MutexLock queue(&unlink_lock);
    unlink_list.push_back(path);
    unlink_count++;
    pthread_cond_signal(&unlink_cond);
}

void CacheSection::unlink_list_zap(const std::string &path) {
    MutexLock queue(&unlink_lock);
    for (auto i = unlink_list.begin(); i != unlink_list.end(); ++i) {
        if (*i != path) continue;
        unlink_list.erase(i);
        if (unlink_count > 0) unlink_count--;
        break;
    }
}

bool CacheSection::unlink_one() {
    std::string path;
    int result, before;
    {
        MutexLock queue(&unlink_lock);
        if (unlink_list.empty()) return false;
        path = unlink_list.front();
        result = unlink(path.c_str());
        before = unlink_count;
        unlink_list.pop_front();
        if (unlink_count > 0) unlink_count--;
    }
    if (result != 0) putlog(LOG_DEBUG, "error: cache: failed to delete file (1 of %d) %s", before, path.c_str());
    return true;
}

void CacheSection::unlink_thread() {
    pthread_mutex_lock(&unlink_lock);
    for (;;) {
        while (unlink_list.empty()) pthread_cond_wait(&unlink_cond, &unlink_lock);
        std::string path = unlink_list.front();
        // Deleted under the queue lock, so a file being re-created (which
        // first cancels its queued deletion) is never removed behind it.
        int result = unlink(path.c_str());
        int before = unlink_count;
        unlink_list.pop_front();
        if (unlink_count > 0) unlink_count--;
        pthread_mutex_unlock(&unlink_lock);
        usleep(10000);
        if (result != 0) putlog(LOG_DEBUG, "error: cache: failed to delete file (1 of %d) %s", before, path.c_str());
        pthread_mutex_lock(&unlink_lock);
    }
}

void *unlink_thread(void *) {
    if (cache_section) cache_section->unlink_thread();
    return nullptr;
}
