// The object cache: whole HTTP and FTP responses (stored head followed by
// the body) kept in memory mappings, backed by one file per object in disk
// stores where a store rule applies. CacheSection (section "cache", mutex
// kind) is both the configuration section and the cache itself.
//
// One request writes a new object while it relays the response; other
// requests for the same URL read it while it is being written, waiting on
// the object's condition variable (with the section mutex) for more data,
// so the origin is asked once. Objects are reference counted; an invalid
// object goes away when its last user closes it.
//
// Disk stores: the object file is "<store>/<hash_key(url) % 256 as %.2x>/
// <md5(url) in hex>"; every change of an object appends one line to the
// store's "journal" (rewritten through "journal.new"); at start-up and after
// every configuration load the index of a store is rebuilt from its journal,
// and files the journal does not keep are deleted by the unlink thread.
//
// Split of the code:
//   cache.cpp       the section, the index, open/add/close/invalidate, send,
//                   the request-path seams
//   cachestore.cpp  disk stores, object files, the journal, the unlink thread
//   refresh.cpp     freshness and refresh rules: cacheable, cacheable2,
//                   select_refresh, check_header, check
//   cacheclean.cpp  clean() and the admission back-off (next_cache, no_cache)
//
// Locking: the cache lock is the section mutex together with `objects_lock`,
// a reader/writer lock. Held exclusively (the mutex, then the write lock) it
// guards the index, every object's fields, flags and mapping, the counters,
// the stores' run-time fields and the cleaning state; functions named
// *_unlocked, and every member marked "(mutex held)", expect the caller to
// hold it so. Held shared (the read lock alone), lookups, references, flag
// changes and the sending of complete objects run side by side: nothing but
// an object's `refcount`, `flags` and `accessed` (atomic) changes then, and
// whatever would change more falls back to the exclusive lock. Readers that
// wait for a writer wait on the object's condition variable with the section
// mutex, having let go of the write lock. Journal appends and rewrites take
// `journal_lock` as well (never the other way round). The deletion queue has
// its own mutex, taken after the cache lock and never the other way round.
#ifndef KORVANTEL_CACHE_H
#define KORVANTEL_CACHE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <list>
#include <string>
#include <vector>

#include "section.h"

class Filebuf;
struct CONNECTION_T;
struct HEADER;

// Object flag bits (CACHEMAP::flags); flag_string names them in this order.
enum {
    CACHE_WRITING = 0x1,       // being written; readers wait for data on `cond`
    CACHE_INVALID = 0x2,       // removed when its last user closes it
    CACHE_EXPIRED = 0x4,       // not fresh
    CACHE_VALIDATE = 0x8,      // must be revalidated with the server
    CACHE_PREFETCHED = 0x10,   // stored by a prefetch; not re-created within the prefetch window
    CACHE_VIOLATION = 0x20,    // the response said no-cache or no-store
    CACHE_OFFLINE = 0x40,      // open flag only: "offline" command, violations are found too
    CACHE_DISK = 0x80,         // has a file in a store
    CACHE_MEM = 0x100,         // has a memory mapping
    CACHE_COND = 0x200,        // owns a condition variable (never named)
    CACHE_CLEAN = 0x400,       // the body already passed the response checks
    CACHE_BUFFERWAIT = 0x800,  // download goes on in the background: "downloading" page
    CACHE_DISCARD = 0x1000,    // temporary object; unusable once stored more than 60 s
    CACHE_FORCE = 0x2000,      // kept regardless of refresh-rule cacheability (never past the maximum size)
};

// Open flag of cache_open: create the object for writing.
#define CACHE_CREATE 0x1

// Buckets of the index.
#define CACHE_BUCKETS 104729
// Longest journal line, line feed included.
#define CACHE_JOURNAL_LINE_MAX 8191
// Stored head line recording the digest of the request fields the
// response varies on.
#define CACHE_VARY_LINE "X-Cache-Vary-Key"
// A digest not (yet) computed. Real digests are always 32 hex digits.
#define CACHE_MD5_NONE "0"

struct Store;

// What one journal line records of an object.
struct JOURNAL_ENTRY {
    int flags = 0;
    std::string key;
    unsigned long size = 0, stored = 0, accessed = 0;
    bool ages = false;  // the refresh parameters are recorded
    unsigned long min_age = 0, max_age = 0, default_age = 0, lm_factor = 0;
    std::string md5;  // empty: not recorded
};

// One cached object. Every field is read under the cache lock and written
// under it held exclusively; `refcount`, `flags` and `accessed` also change
// under the shared lock.
struct CACHEMAP {
    pthread_cond_t cond;                 // readers of an object being written wait on it (CACHE_COND)
    int fd = -1;                         // object file while open for writing
    char *key = nullptr;                 // the URL, exact
    char *map = nullptr;                 // mapping holding the data; null when not in memory
    std::atomic<int> refcount{0};        // requests using the object
    unsigned int size = 0;               // stored head plus body so far
    unsigned int map_length = 0;         // length of the mapping (and of the file)
    unsigned int header_size = 0;        // length of the stored head at the start of the data
    std::atomic<unsigned int> flags{0};  // CACHE_*
    HEADER *header = nullptr;            // parsed stored head
    Store *store = nullptr;              // disk store holding the file; null: memory only
    char md5[33];                        // 32 lower-case hex digits, or CACHE_MD5_NONE
    // The mapping's data was found to match md5; cleared when it is unmapped.
    std::atomic<bool> md5_verified{false};
    // Last access written to the journal and the file times by a reader.
    std::atomic<time_t> access_recorded{0};
    std::atomic<time_t> accessed{0};
    time_t stored = 0;                                       // stored or last validated
    time_t expires = 0;                                      // from Expires or max-age, 0 none
    time_t lm_expires = 0;                                   // derived from Last-Modified, 0 none
    time_t last_modified = 0;                                // 0 none
    unsigned int min_age = 0, max_age = 0, default_age = 0;  // of the refresh rule
    unsigned int lm_factor = 0;                              // percent
};

// A chain element of the index.
struct CACHELIST {
    CACHELIST *prev;
    CACHELIST *next;
    CACHEMAP *object;
};

// A disk store rule (entries of the first subsection) with its run-time state.
struct Store {
    bool enabled = false;
    std::string comment;
    StringList profiles;         // profile condition
    std::string directory;       // empty: stores nothing
    uint64_t maxsize = 0;        // bytes; 0: stores nothing
    unsigned int freeextra = 0;  // how far below its size a full store is cleaned
    int md5 = 0;                 // 1: compute and check digests
    // run-time, under the cache lock; the journal's under journal_lock too
    int journal_fd = -1;
    std::atomic<unsigned int> journal_lines{0};  // lines since the journal was opened
    int objects = 0;
    uint64_t bytes = 0;
    bool full = false;
    time_t journal_written = 0;  // last rewrite, 0 none
    uint64_t clean_target = 0;   // bytes a clean brings it down to
};

// A refresh rule (entries of the second subsection).
struct Refresh {
    bool enabled = false;
    std::string comment;
    StringList profiles;
    bool cacheable = true;  // false: new objects are CACHE_INVALID (unless CACHE_FORCE)
    unsigned int min_age = 0;
    unsigned int max_age = 0;
    unsigned int default_age = 0;
    unsigned int lm_factor = 0;  // percent
};

class CacheSection : public Section {
public:
    // ---- options, read in update() ---------------------------------------
    bool enabled = false;             // 0
    bool serve_violations = false;    // 1
    unsigned int memory_size = 0;     // 2 bytes
    unsigned int memory_extra = 0;    // 3 bytes
    unsigned int minsize = 0;         // 4 bytes
    unsigned int maxsize = 0;         // 5 bytes, 0 none
    int prefetch_window = 0;          // 6 seconds
    int icpport = 0;                  // 7
    int icptimeout = 0;               // 8 milliseconds
    int store_choice = 0;             // 9: 0 fewest bytes, 1 lowest percentage used
    unsigned int journal_max = 0;     // 10: lines before a rewrite (0: more than 127999)
    unsigned int clean_interval = 0;  // 11 seconds (0: 30)

    std::vector<Store *> stores;  // owned; rebuilt by update()
    std::vector<Refresh> refreshes;

    // ---- index and counters (mutex held) --------------------------------
    CACHELIST **cachemaplist;       // CACHE_BUCKETS chains
    unsigned int memory_bytes = 0;  // sum of `size` of CACHE_MEM objects
    int memory_objects = 0;

    // ---- cleaning state (cacheclean.cpp; mutex held) ---------------------
    time_t last_clean = 0;  // start of the last clean; construction time at first
    bool cleaning = false;
    int clean_state = 0;  // 0 fine, 1 refused and reported, 2 left above size - extra, 3 back-off set by open

    // ---- locks -------------------------------------------------------------
    pthread_rwlock_t objects_lock;  // with the section mutex: the cache lock
    // Journal descriptors and rewrites; appends share it (one write of a
    // whole line to a file opened for appending never mixes with another).
    pthread_rwlock_t journal_lock;
    void lock_exclusive();  // section mutex, then objects_lock for writing
    void unlock_exclusive();
    void lock_shared();  // objects_lock for reading
    void unlock_shared();
    // Waits on an object's condition with the lock held exclusively.
    void wait_exclusive(pthread_cond_t *condition);

    // ---- deletion queue (own lock) ---------------------------------------
    pthread_mutex_t unlink_lock;
    pthread_cond_t unlink_cond;
    std::list<std::string> unlink_list;
    int unlink_count = 0;

    CacheSection();
    ~CacheSection() override;

    // Rebuilds options, store and refresh rules, then stores_update().
    // Called by the framework with the mutex held.
    void update() override;
    int icpport_get();
    int icptimeout_get();

    // ---- objects (cache.cpp) ---------------------------------------------
    // Opens url for reading, or creates it for writing (CACHE_CREATE, with
    // the response's raw head); other flag bits are set on a new object
    // (CACHE_PREFETCHED, CACHE_DISCARD, CACHE_FORCE); CACHE_OFFLINE also
    // finds CACHE_VIOLATION objects. One reference taken, or null.
    CACHEMAP *cache_open(CONNECTION_T *connection, const char *url, const char *header, unsigned int flags);
    // The writer appends data; length, or -1 when the object became invalid.
    int add(CACHEMAP *object, const char *bytes, int length);
    int add_unlocked(CACHEMAP *object, const char *bytes, int length);  // (mutex held)
    // Drops a reference; writer true for the request that created it. A
    // writer whose body is shorter than the stored head announced leaves
    // the object invalid.
    void cache_close(CACHEMAP *object, bool writer);
    // Flags invalid and drops the caller's reference.
    void invalidate(CACHEMAP *object);
    void invalidate_unlocked(CACHEMAP *object);  // (mutex held)
    // Flags invalid (logged and journaled once) without touching references.
    void invalidate_mark(CACHEMAP *object);  // (mutex held)
    // Takes the object out of memory, its store and the index, and frees it.
    void remove_unlocked(CACHEMAP *object);  // (mutex held)
    // Invalidates the object of url if present; true when found.
    bool invalidate_key(const char *url);
    bool exists(const char *url);
    // Users of the object; the only user also flags it CACHE_INVALID.
    int refcount(CACHEMAP *object);
    unsigned int flag_get(CACHEMAP *object);
    unsigned int flag_set(CACHEMAP *object, unsigned int bits);
    unsigned int flag_unset(CACHEMAP *object, unsigned int bits);
    // New text naming the set flags, joined by ", " (caller frees).
    static char *flag_string(unsigned int flags);
    char *flag_string(CACHEMAP *object);
    // New buffer with the body: waiting until writing has finished, or as
    // written so far.
    Filebuf *read_filebuf(CACHEMAP *object);
    Filebuf *cache_to_filebuf(CACHEMAP *object);
    // Writes the body from offset on (clamped to the object's end) to the
    // client (0) or server (1) socket, following an object being written;
    // the body bytes sent, or -1 when the socket is missing or refused them.
    // Chunked: in chunks, the last chunk only when the body came whole. A
    // body cut short (the writer failed) sets CONN_FAILED.
    long long send(CACHEMAP *object, CONNECTION_T *connection, int direction, unsigned long long offset = 0,
                   bool chunked = false);
    // The "downloading" page.
    void send_status(CONNECTION_T *connection, CACHEMAP *object);
    // After a 304: clear CACHE_VALIDATE, touch with a new stored time.
    void validated(CACHEMAP *object);
    void touch(CACHEMAP *object, bool stored_too);
    // Drops every object no request uses from memory and from the index.
    void force_clean();

    // The read of a complete object in memory under the shared lock: true
    // with *result set (the object with a reference, or null) when that was
    // the whole answer; false when the exclusive path must decide.
    bool open_shared(const char *url, unsigned int open_flags, CACHEMAP **result);

    // Index (mutex held, or shared for find_unlocked).
    CACHEMAP *find_unlocked(const char *url);
    void index_add(CACHEMAP *object);
    void index_remove(CACHEMAP *object);
    // Leaves memory (requires CACHE_MEM); frees the condition and header.
    void mem_delete(CACHEMAP *object);
    // Closes its descriptor and frees the record.
    void cache_free(CACHEMAP *object);
    // Grows the mapping by added bytes (0: cut it to `size`). False when the
    // space or mapping cannot be had; the object must then fail.
    // *map_failed (when given) tells a mapping the system refused, which
    // calls for a clean.
    bool resize(CACHEMAP *object, unsigned int added, bool *map_failed = nullptr);
    // Logs the memory summary line.
    void memory_summary();

    // ---- disk stores and journal (cachestore.cpp; mutex held) -------------
    Store *select_store(CONNECTION_T *connection, CACHEMAP *object);
    // Writes the object's file path; returns the two-digit bucket.
    int filename(CACHEMAP *object, char *buffer, size_t size);
    static int filename(const char *directory, const char *url, char *buffer, size_t size);
    // Creates the object file on the first data; false when the object
    // must fail (disk full).
    bool disk_create(CACHEMAP *object);
    // Maps an object that is only on disk: 1 done, 0 its file cannot be
    // used (missing, empty, not the journaled length), -1 the system refused
    // the mapping.
    int disk_read(CACHEMAP *object);
    // Computes (writer close) or checks the digest; 0 on mismatch.
    int md5_check(CACHEMAP *object);
    // The check alone, under the shared lock: true when the object's digest
    // is known and matches (or none is kept), false when md5_check must run.
    bool md5_matches(const CACHEMAP *object);
    void touch_unlocked(CACHEMAP *object, bool stored_too);
    void touch_read(CACHEMAP *object);
    static const time_t ACCESS_RECORD_INTERVAL = 60;
    // Queues the file for deletion and leaves the store.
    void disk_delete(CACHEMAP *object);
    // journal_add, journal_write and journal_close take journal_lock; an
    // append may run under the shared lock.
    int journal_add(CACHEMAP *object);
    void journal_write(Store *store);
    void journal_read(Store *store);
    void journal_close(Store *store);
    void journal_write_held(Store *store);  // (journal_lock held for writing)
    void journal_close_held(Store *store);  // (journal_lock held for writing)
    // The object's journal line (without checks) into buffer; its length.
    static int journal_line(const CACHEMAP *object, char *buffer, size_t size);
    // The fields of one journal line (its line feed removed); false when the
    // line is not a valid one, which the reader skips.
    static bool journal_parse(const char *line, JOURNAL_ENTRY *entry);
    void stores_update();
    // Queues deletion of store files the index does not keep.
    void store_sweep(Store *store);

    // ---- deletion queue (own lock) ----------------------------------------
    void unlink_list_add(const std::string &path);
    void unlink_list_zap(const std::string &path);
    void unlink_thread();
    // Runs one queued deletion if there is one; true when it did (tests).
    bool unlink_one();

    // ---- freshness (refresh.cpp; mutex held) ------------------------------
    void select_refresh(CONNECTION_T *connection, CACHEMAP *object);
    void check_header(CACHEMAP *object);
    // Under the shared lock: true when check_header would change nothing.
    bool check_header_settled(const CACHEMAP *object, time_t now);
    // Applies the request's Cache-Control to the cached object of its URL.
    // held: the caller's open reference to that object, used as it is.
    void check(HEADER *request, CACHEMAP *held = nullptr);

    // ---- cleaning (cacheclean.cpp; mutex held) ----------------------------
    void clean();
    // What cache_open runs before it returns (object may be null): the
    // admission back-off check and the cleaning trigger.
    void clean_check_open(CACHEMAP *object);
    // Under the shared lock: true when clean_check_open would do something.
    bool clean_check_open_due(const CACHEMAP *object, time_t now) const;
    // Cleaning trigger of add, after success or failure.
    void clean_check_add(CACHEMAP *object);
    // Admission back-off when cache_open fails an object.
    void backoff_fail();
    // Clean interval in seconds (field 11, 0 meaning 30).
    int interval() const { return clean_interval ? (int)clean_interval : 30; }
};

extern CacheSection *cache_section;

// Builds the section (and sets cache_section), for the section registry.
Section *cache_construct();

// Service-thread entry of the deletion thread (never returns).
void *unlink_thread(void *argument);

// ---- the cache as the request path uses it ------------------------------
// While no cache section exists (none configured, or torn down) each of
// these gives the answer of an empty cache: nothing opens, nothing is
// stored, and calls on objects do nothing. A request only holds an object
// opened from the section, which outlives it.
bool cache_available();
// cache_open of the section: null without one.
CACHEMAP *cache_object_open(CONNECTION_T *connection, const char *url, const char *head, unsigned int flags);
unsigned int cache_object_flags(CACHEMAP *object);
void cache_object_flag_set(CACHEMAP *object, unsigned int flags);
// Applies the request's own cache directives to the connection's object.
void cache_request_check(CONNECTION_T *connection, HEADER *request);
// Sends the "downloading" page for the connection's object.
void cache_send_status(CONNECTION_T *connection);
// The object was validated by the server.
void cache_object_validated(CACHEMAP *object);
// Flags the object invalid and drops the caller's reference.
void cache_object_invalidate(CACHEMAP *object);
// Appends body bytes to an object being written; -1 when it became invalid.
int cache_object_add(CACHEMAP *object, const char *bytes, int length);
// The stored body, waiting until writing has finished (new buffer).
Filebuf *cache_object_body(CACHEMAP *object);
// Sends the connection object's stored body to the client, in chunks when
// chunked (see CacheSection::send); the bytes sent.
long long cache_object_send(CONNECTION_T *connection, bool chunked = false);
// The stored raw response head (new text) without its Transfer-Encoding
// line: the stored body is already de-chunked.
char *cache_object_head(CACHEMAP *object);
// The head to store for a response to request: the response's head with
// the digest of the request's values of the fields its Vary names recorded
// (new text); null when no other client may be given it (it sets a cookie,
// or varies on "*").
char *cache_store_head(const HEADER *request, const char *head);
// May the object answer this request: 1 yes; 0 it is another request's
// variant; -1 it is no one else's answer (kept by an earlier version: a
// cookie, Vary "*", or a Vary without the recorded digest).
int cache_object_match(CACHEMAP *object, const HEADER *request);
// A reader lets go of the object.
void cache_object_release(CACHEMAP *object);
// Stored time (program time base); -1 without a cache or an object.
time_t cache_object_stored(CACHEMAP *object);
// Length of the stored body so far.
long long cache_object_body_length(CACHEMAP *object);
// Requests using the object (see CacheSection::refcount); 0 without a cache.
int cache_object_readers(CACHEMAP *object);

// ---- freshness and admission (refresh.cpp, cacheclean.cpp) --------------
// May this request be answered from the cache, or this response be stored:
// 1 or 0. cacheable applies the admission back-off first.
int cacheable(HEADER *header);
int cacheable2(HEADER *header);
// Back-off time (utc_time seconds) and its lock.
extern int next_cache;
extern pthread_rwlock_t no_cache;

#endif
