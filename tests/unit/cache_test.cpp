// The object cache in memory: one object per URL, reference counts,
// invalidation, size limits, readers that follow a writer, and the seams
// the request path uses.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cache_fixture.h"
#include "header.h"
#include "proto_http.h"
#include "refresh.h"
#include "socket.h"

using namespace cachetest;

namespace {

class CacheTest : public CacheFixture {};

TEST_F(CacheTest, OneObjectPerUrlWithReferences) {
    start();
    const std::string url = "http://example.test/a";
    std::string head = head_for(5);
    CACHEMAP *writer = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(cache->flag_get(writer) & CACHE_WRITING);
    EXPECT_EQ(writer->header_size, head.size());
    EXPECT_EQ(writer->size, head.size());
    // While it is in use nobody else may create the URL again.
    EXPECT_EQ(cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE), nullptr);
    // A reader gets the very object being written.
    CACHEMAP *reader = cache->cache_open(connection, url.c_str(), nullptr, 0);
    EXPECT_EQ(reader, writer);
    EXPECT_EQ(writer->refcount, 2);
    EXPECT_EQ(cache->add(writer, "hello", 5), 5);
    cache->cache_close(writer, true);
    cache->cache_close(reader, false);
    EXPECT_EQ(writer->refcount, 0);
    EXPECT_FALSE(cache->flag_get(writer) & CACHE_WRITING);
    EXPECT_EQ(get(url), "hello");
    EXPECT_EQ(cache->memory_objects, 1);
    EXPECT_EQ(cache->memory_bytes, head.size() + 5);

    // Not in use: a new response replaces it.
    ASSERT_TRUE(put(url, "world"));
    EXPECT_EQ(get(url), "world");
    EXPECT_EQ(cache->memory_objects, 1);
    EXPECT_EQ(cache->memory_bytes, head.size() + 5);
}

TEST_F(CacheTest, InvalidObjectStaysUntilItsLastUserCloses) {
    start();
    const std::string url = "http://example.test/three";
    ASSERT_TRUE(put(url, "abc"));
    CACHEMAP *readers[3];
    for (CACHEMAP *&r : readers) {
        r = cache->cache_open(connection, url.c_str(), nullptr, 0);
        ASSERT_NE(r, nullptr);
    }
    EXPECT_TRUE(cache->invalidate_key(url.c_str()));
    EXPECT_TRUE(cache->exists(url.c_str()));
    EXPECT_EQ(cache->cache_open(connection, url.c_str(), nullptr, 0), nullptr);
    cache->cache_close(readers[0], false);
    cache->cache_close(readers[1], false);
    EXPECT_TRUE(cache->exists(url.c_str()));
    // The remaining reader still sees its data.
    Filebuf *body = cache->cache_to_filebuf(readers[2]);
    EXPECT_EQ(std::string(body->data, (size_t)body->size), "abc");
    delete body;
    cache->cache_close(readers[2], false);
    EXPECT_FALSE(cache->exists(url.c_str()));
    EXPECT_EQ(cache->memory_objects, 0);
    EXPECT_EQ(cache->memory_bytes, 0u);
    EXPECT_FALSE(cache->invalidate_key(url.c_str()));
}

TEST_F(CacheTest, OpeningAnObjectThatFailsItsCheckNeverFreesAnotherUsersCopy) {
    // A reader holds the object; a second open finds it corrupt (here: its
    // digest no longer matches). The second open must not take the first
    // reader's reference with it.
    StoreConf s = store();
    start({}, {s});
    const std::string url = "http://example.test/shared";
    ASSERT_TRUE(put(url, "0123456789"));
    CACHEMAP *first = cache->cache_open(connection, url.c_str(), nullptr, 0);
    ASSERT_NE(first, nullptr);
    cache->mutex_lock();
    first->md5[0] = first->md5[0] == 'a' ? 'b' : 'a';
    // A mapping is checked once; this one is to be checked again.
    first->md5_verified = false;
    cache->unlock();
    EXPECT_EQ(cache->cache_open(connection, url.c_str(), nullptr, 0), nullptr);
    ASSERT_TRUE(cache->exists(url.c_str()));  // still held by the first reader
    EXPECT_EQ(first->refcount, 1);
    Filebuf *body = cache->cache_to_filebuf(first);
    EXPECT_EQ(std::string(body->data, (size_t)body->size), "0123456789");
    delete body;
    cache->cache_close(first, false);
    EXPECT_FALSE(cache->exists(url.c_str()));
}

TEST_F(CacheTest, SizeLimits) {
    start({{"maxsize", "100"}});
    std::string big(200, 'x');
    // Forced (a buffered response) or not, the maximum holds.
    for (unsigned force : {0u, (unsigned)CACHE_FORCE}) {
        SCOPED_TRACE(force);
        std::string url = "http://e.test/big" + std::to_string(force);
        // Announced too large: never stored.
        EXPECT_EQ(cache->cache_open(connection, url.c_str(), head_for(big.size()).c_str(), CACHE_CREATE | force),
                  nullptr);
        EXPECT_FALSE(cache->exists(url.c_str()));

        // Growing past the maximum without a length: invalid at that point,
        // gone when the writer closes.
        url = "http://e.test/grows" + std::to_string(force);
        std::string head = "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\n\r\n";
        CACHEMAP *object = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE | force);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(cache->add(object, big.data(), 10), 10);
        EXPECT_EQ(cache->add(object, big.data(), 100), -1);
        EXPECT_TRUE(cache->flag_get(object) & CACHE_INVALID);
        EXPECT_EQ(cache->add(object, big.data(), 1), -1);
        EXPECT_TRUE(cache->exists(url.c_str()));
        cache->cache_close(object, true);
        EXPECT_FALSE(cache->exists(url.c_str()));
    }
}

TEST_F(CacheTest, ABodyShortOfItsLengthIsNeverKept) {
    start();
    std::string head = head_for(10);
    CACHEMAP *object = cache->cache_open(connection, "http://e.test/short", head.c_str(), CACHE_CREATE);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(cache->add(object, "12345", 5), 5);
    cache->cache_close(object, true);
    EXPECT_FALSE(cache->exists("http://e.test/short"));
    EXPECT_EQ(get("http://e.test/short"), "<none>");
}

TEST_F(CacheTest, ObjectsThatAreNotServed) {
    struct Case {
        const char *name;
        std::map<std::string, std::string> options;
        std::string head_extra;  // response head lines
        unsigned open_flags;     // creation flags besides CACHE_CREATE
        unsigned read_flags;
        time_t age;  // seconds since stored when read
        bool served;
    };
    const std::vector<Case> cases = {
        {"plain", {}, "Cache-Control: max-age=3600\r\n", 0, 0, 0, true},
        {"no-cache is a violation", {}, "Cache-Control: no-cache\r\n", 0, 0, 0, false},
        {"violation for offline", {}, "Cache-Control: no-cache\r\n", 0, CACHE_OFFLINE, 0, true},
        {"violations allowed", {{"violations", "true"}}, "Cache-Control: no-store\r\n", 0, 0, 0, true},
        {"discard within a minute", {}, "", CACHE_DISCARD, 0, 60, true},
        {"discard after a minute", {}, "", CACHE_DISCARD, 0, 61, false},
        {"cache off", {{"enabled", "false"}}, "", 0, 0, 0, false},
        {"private", {}, "Cache-Control: max-age=60, Private\r\n", 0, 0, 0, false},
        {"private fields", {}, "Cache-Control: private=\"Set-Cookie\"\r\n", 0, CACHE_OFFLINE, 0, false},
        {"private even when buffered", {}, "Cache-Control: private\r\n", CACHE_DISCARD | CACHE_FORCE, 0, 0, false},
        {"not private", {}, "Cache-Control: max-age=60, privateer\r\n", 0, 0, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        start(c.options);
        std::string url = "http://e.test/served";
        std::string head = head_for(3, c.head_extra);
        CACHEMAP *object = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE | c.open_flags);
        if (object) {
            cache->add(object, "abc", 3);
            cache->cache_close(object, true);
            cache->mutex_lock();
            object->stored -= c.age;
            cache->unlock();
        }
        EXPECT_EQ(get(url, c.read_flags), c.served ? "abc" : "<none>");
        delete cache;
        cache = nullptr;
    }
}

TEST_F(CacheTest, PrefetchedObjectIsProtectedWithinTheWindow) {
    start({{"prefetchwindow", "100"}});
    const std::string url = "http://e.test/p";
    std::string head = head_for(1);
    CACHEMAP *object = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE | CACHE_PREFETCHED);
    ASSERT_NE(object, nullptr);
    cache->add(object, "a", 1);
    cache->cache_close(object, true);
    EXPECT_EQ(cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE), nullptr);
    cache->mutex_lock();
    object->stored -= 101;
    cache->unlock();
    CACHEMAP *again = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
    ASSERT_NE(again, nullptr);
    EXPECT_FALSE(cache->flag_get(again) & CACHE_PREFETCHED);
    cache->add(again, "b", 1);
    cache->cache_close(again, true);
    EXPECT_EQ(get(url), "b");
}

TEST_F(CacheTest, RefcountOfTheOnlyUserMarksItInvalid) {
    start();
    std::string head = head_for(3);
    CACHEMAP *object = cache->cache_open(connection, "http://e.test/r", head.c_str(), CACHE_CREATE);
    ASSERT_NE(object, nullptr);
    CACHEMAP *reader = cache->cache_open(connection, "http://e.test/r", nullptr, 0);
    EXPECT_EQ(cache->refcount(object), 2);
    EXPECT_FALSE(cache->flag_get(object) & CACHE_INVALID);
    cache->cache_close(reader, false);
    EXPECT_EQ(cache->refcount(object), 1);
    EXPECT_TRUE(cache->flag_get(object) & CACHE_INVALID);
    cache->cache_close(object, true);
    EXPECT_FALSE(cache->exists("http://e.test/r"));
}

TEST_F(CacheTest, FlagStringNamesSetFlagsInOrder) {
    struct Case {
        unsigned flags;
        const char *text;
    };
    const std::vector<Case> cases = {
        {0, ""},
        {CACHE_WRITING, "CACHE_WRITING"},
        {CACHE_DISK | CACHE_WRITING | CACHE_COND, "CACHE_WRITING, CACHE_DISK"},
        {0x3fff,
         "CACHE_WRITING, CACHE_INVALID, CACHE_EXPIRED, CACHE_VALIDATE, CACHE_PREFETCHED, CACHE_VIOLATION, "
         "CACHE_OFFLINE, CACHE_DISK, CACHE_MEM, CACHE_CLEAN, CACHE_BUFFERWAIT, CACHE_DISCARD, CACHE_FORCE"},
    };
    for (const Case &c : cases) {
        char *text = CacheSection::flag_string(c.flags);
        EXPECT_STREQ(text, c.text);
        free(text);
    }
}

TEST_F(CacheTest, ForceCleanDropsOnlyUnusedObjects) {
    start();
    ASSERT_TRUE(put("http://e.test/1", "one"));
    ASSERT_TRUE(put("http://e.test/2", "two"));
    CACHEMAP *held = cache->cache_open(connection, "http://e.test/2", nullptr, 0);
    ASSERT_NE(held, nullptr);
    cache->force_clean();
    EXPECT_FALSE(cache->exists("http://e.test/1"));
    EXPECT_TRUE(cache->exists("http://e.test/2"));
    cache->cache_close(held, false);
    EXPECT_EQ(cache->memory_objects, 1);
}

TEST_F(CacheTest, BackgroundDownloadGetsTheDownloadingPage) {
    start();
    const std::string url = "http://e.test/background";
    std::string head = head_for(10);
    CACHEMAP *writer = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
    ASSERT_NE(writer, nullptr);
    cache->add(writer, "abc", 3);
    cache->flag_set(writer, CACHE_BUFFERWAIT);
    CONNECTION_T *other = connection_new();
    for (int round = 0; round < 2; round++) {
        CACHEMAP *object = cache->cache_open(other, url.c_str(), nullptr, 0);
        ASSERT_EQ(object, writer);
        cache->send_status(other, object);
        EXPECT_EQ(other->variables["TRANSFERRED"], round == 0 ? "3" : "7");
        EXPECT_EQ(other->variables["SIZE"], "10");
        EXPECT_EQ(other->variables["MTIME"], std::to_string((long)writer->stored));
        cache->cache_close(object, false);
        if (round == 0) cache->add(writer, "defg", 4);
    }
    connection_free(other);
    // The worker ends the background download.
    cache->flag_unset(writer, CACHE_BUFFERWAIT);
    cache->add(writer, "hij", 3);
    cache->cache_close(writer, true);
    EXPECT_EQ(get(url), "abcdefghij");
}

#ifndef __SANITIZE_ADDRESS__
TEST_F(CacheTest, RefusedMappingFailsTheObjectNotTheProgram) {
    start();
    // Room for the test itself, not for a 2 GB object.
    long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    ASSERT_NE(statm, nullptr);
    ASSERT_EQ(fscanf(statm, "%ld", &pages), 1);
    fclose(statm);
    struct rlimit old;
    getrlimit(RLIMIT_AS, &old);
    struct rlimit low = old;
    low.rlim_cur = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + 256ull * 1024 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
    std::string head = head_for(2000000000u);
    CACHEMAP *object = cache->cache_open(connection, "http://e.test/huge", head.c_str(), CACHE_CREATE);
    setrlimit(RLIMIT_AS, &old);
    EXPECT_EQ(object, nullptr);
    EXPECT_FALSE(cache->exists("http://e.test/huge"));
    EXPECT_EQ(cache->memory_objects, 0);
    ASSERT_TRUE(put("http://e.test/after", "fine"));
    EXPECT_EQ(get("http://e.test/after"), "fine");
}
#endif

// ---- a reader following a writer ------------------------------------------------

// Reads what arrived on fd within the bounded time until `want` bytes are
// there in total.
void read_until(int fd, std::string *into, size_t want) {
    char buffer[65536];
    for (int round = 0; round < 500 && into->size() < want; round++) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        into->append(buffer, (size_t)n);
    }
}

TEST_F(CacheTest, ReaderFollowsWriterAndNeverSeesMoreThanWritten) {
    start();
    const std::string url = "http://e.test/slow";
    std::string body;
    for (int i = 0; i < 40; i++) body += std::string(5000, (char)('a' + i % 26));
    std::string head = head_for(body.size());
    CACHEMAP *writer = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
    ASSERT_NE(writer, nullptr);

    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    CONNECTION_T *reader_connection = connection_new();
    reader_connection->client = new Socket(fds[0]);
    CACHEMAP *reader = cache->cache_open(reader_connection, url.c_str(), nullptr, 0);
    ASSERT_EQ(reader, writer);

    std::atomic<long long> sent(-2);
    std::thread follower([&] { sent = cache->send(reader, reader_connection, 0); });

    std::string received;
    size_t written = 0;
    for (size_t offset = 0; offset < body.size(); offset += 5000) {
        ASSERT_EQ(cache->add(writer, body.data() + offset, 5000), 5000);
        written += 5000;
        read_until(fds[1], &received, written);
        ASSERT_EQ(received.size(), written);
        EXPECT_EQ(received, body.substr(0, written));
        EXPECT_EQ(sent.load(), -2);  // still following
    }
    cache->cache_close(writer, true);
    follower.join();
    EXPECT_EQ(sent.load(), (long long)body.size());
    EXPECT_EQ(received, body);
    struct pollfd p = {fds[1], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 50), 0);  // nothing beyond the body
    EXPECT_FALSE(reader_connection->flags & CONN_FAILED);

    cache->cache_close(reader, false);
    delete reader_connection->client;
    reader_connection->client = nullptr;
    connection_free(reader_connection);
    close(fds[1]);
}

TEST_F(CacheTest, FollowerOfAFailedWriterIsToldItsAnswerIsIncomplete) {
    start();
    const std::string url = "http://e.test/fails";
    std::string head = head_for(1000);
    CACHEMAP *writer = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
    ASSERT_NE(writer, nullptr);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    CONNECTION_T *reader_connection = connection_new();
    reader_connection->client = new Socket(fds[0]);
    reader_connection->keepalive_client = 1;
    CACHEMAP *reader = cache->cache_open(reader_connection, url.c_str(), nullptr, 0);
    ASSERT_EQ(reader, writer);
    std::atomic<long long> sent(-2);
    std::thread follower([&] { sent = cache->send(reader, reader_connection, 0); });
    ASSERT_EQ(cache->add(writer, std::string(300, 'z').data(), 300), 300);
    std::string received;
    read_until(fds[1], &received, 300);
    // The transfer from the origin broke: the worker invalidates.
    cache->invalidate(writer);
    follower.join();
    EXPECT_EQ(sent.load(), 300);
    EXPECT_TRUE(reader_connection->flags & CONN_FAILED);
    EXPECT_EQ(reader_connection->keepalive_client, 0);
    cache->cache_close(reader, false);
    EXPECT_FALSE(cache->exists(url.c_str()));
    delete reader_connection->client;
    reader_connection->client = nullptr;
    connection_free(reader_connection);
    close(fds[1]);
}

// Decodes chunks: the data, and whether the last chunk ended them.
bool dechunk(const std::string &wire, std::string *data) {
    size_t at = 0;
    for (;;) {
        size_t end = wire.find("\r\n", at);
        if (end == std::string::npos) return false;
        unsigned long size = strtoul(wire.substr(at, end - at).c_str(), nullptr, 16);
        at = end + 2;
        if (size == 0) return wire.substr(at) == "\r\n";
        if (wire.size() < at + size + 2 || wire.compare(at + size, 2, "\r\n") != 0) return false;
        data->append(wire, at, size);
        at += size + 2;
    }
}

// A reader in chunks (an HTTP/1.1 client of an object without a length)
// gets the last chunk only when the body is whole.
TEST_F(CacheTest, ChunkedReaderGetsTheLastChunkOnlyWhenTheBodyIsWhole) {
    start();
    struct Case {
        const char *name;
        bool stored_first;  // complete before the reader comes
        bool whole;
    } cases[] = {{"stored", true, true}, {"followed", false, true}, {"writer fails", false, false}};
    const std::string head = "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\n\r\n";
    const std::string body = std::string(6000, 'p') + std::string(6000, 'q');
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        std::string url = std::string("http://e.test/chunks/") + test.name;
        CACHEMAP *writer = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
        ASSERT_NE(writer, nullptr);
        if (test.stored_first) {
            ASSERT_EQ(cache->add(writer, body.data(), (int)body.size()), (int)body.size());
            cache->cache_close(writer, true);
        }
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        CONNECTION_T *reader_connection = connection_new();
        reader_connection->client = new Socket(fds[0]);
        CACHEMAP *reader = cache->cache_open(reader_connection, url.c_str(), nullptr, 0);
        ASSERT_NE(reader, nullptr);
        std::thread follower([&] { cache->send(reader, reader_connection, 0, 0, true); });
        if (!test.stored_first) {
            ASSERT_EQ(cache->add(writer, body.data(), 6000), 6000);
            ASSERT_EQ(cache->add(writer, body.data() + 6000, 6000), 6000);
            if (test.whole) cache->cache_close(writer, true);
            else cache->invalidate(writer);
        }
        follower.join();
        EXPECT_EQ((reader_connection->flags & CONN_FAILED) != 0, !test.whole);
        cache->cache_close(reader, false);
        delete reader_connection->client;
        reader_connection->client = nullptr;
        connection_free(reader_connection);
        std::string wire, data;
        read_until(fds[1], &wire, SIZE_MAX);
        close(fds[1]);
        EXPECT_EQ(dechunk(wire, &data), test.whole);
        EXPECT_EQ(data, body);
    }
}

TEST_F(CacheTest, ReadFilebufWaitsForTheWriter) {
    start();
    const std::string url = "http://e.test/wait";
    std::string head = head_for(6);
    CACHEMAP *writer = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
    ASSERT_NE(writer, nullptr);
    CACHEMAP *reader = cache->cache_open(connection, url.c_str(), nullptr, 0);
    ASSERT_EQ(reader, writer);
    std::string seen;
    std::thread waiting([&] {
        Filebuf *body = cache->read_filebuf(reader);
        seen.assign(body->data ? body->data : "", (size_t)body->size);
        delete body;
    });
    cache->add(writer, "abc", 3);
    cache->add(writer, "def", 3);
    cache->cache_close(writer, true);
    waiting.join();
    EXPECT_EQ(seen, "abcdef");
    cache->cache_close(reader, false);
}

// ---- the cache as the request path uses it ------------------------------------

TEST_F(CacheTest, RequestPathCalls) {
    start();
    ASSERT_TRUE(cache_available());
    // A chunked response is stored de-chunked: its stored head, as the
    // request path reads it, no longer says chunked.
    std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nCache-Control: max-age=60\r\n\r\n";
    CACHEMAP *object = cache_object_open(connection, "http://e.test/c", head.c_str(), CACHE_WRITING);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(cache_object_add(object, "data", 4), 4);
    char *text = cache_object_head(object);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\n\r\n");
    free(text);
    EXPECT_EQ(cache_object_body_length(object), 4);
    time_t now = utc_time(nullptr);
    time_t stored = cache_object_stored(object);
    EXPECT_LE(std::abs((long)(stored - now)), 1);
    // A revalidation asks about the stored time.
    HEADER *request = http_header_parse_request("GET http://e.test/c HTTP/1.1\r\n\r\n");
    ASSERT_NE(request, nullptr);
    conditional_header(request, object);
    ASSERT_NE(request->if_modified_since, nullptr);
    EXPECT_EQ(http_date_parse(request->if_modified_since), stored - gmtoffset);
    http_header_free(request);
    cache->cache_close(object, true);
    // Once closed its length is known.
    CACHEMAP *reader = cache_object_open(connection, "http://e.test/c", nullptr, 0);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->header->content_length, 4u);
    cache->cache_close(reader, false);
}

TEST_F(CacheTest, SharedAnswersAreMatchedToTheirRequests) {
    start();
    struct Case {
        const char *name;
        const char *head;       // response head as received
        const char *stored_by;  // request the object is stored for
        const char *asked_by;   // another request
        bool stored;
        int match;  // cache_object_match for asked_by
    } cases[] = {
        {"no vary", "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\n\r\n", "Cookie: a=1\r\n", "Cookie: a=2\r\n", true,
         1},
        {"cookie differs", "HTTP/1.1 200 OK\r\nVary: Cookie\r\n\r\n", "Cookie: a=1\r\n", "Cookie: a=2\r\n", true, 0},
        {"cookie same", "HTTP/1.1 200 OK\r\nVary: Cookie\r\n\r\n", "Cookie: a=1\r\n", "Cookie: a=1\r\n", true, 1},
        {"absent and present differ", "HTTP/1.1 200 OK\r\nvary: cookie\r\n\r\n", "", "Cookie: a=1\r\n", true, 0},
        {"two lines, two fields", "HTTP/1.1 200 OK\r\nVary: Accept-Language\r\nVary: Cookie, Accept\r\n\r\n",
         "Accept-Language: en\r\nCookie: a=1\r\nAccept: */*\r\n", "Accept-Language: en\r\nCookie: a=1\r\n", true, 0},
        {"bare line feeds", "HTTP/1.1 200 OK\nVary: Cookie\n\n", "Cookie: a=1\r\n", "Cookie: a=1\r\n", true, 1},
        {"vary star", "HTTP/1.1 200 OK\r\nVary: Accept, *\r\n\r\n", "", "", false, 0},
        {"set-cookie", "HTTP/1.1 200 OK\r\nset-cookie: s=1\r\n\r\n", "", "", false, 0},
        {"set-cookie2", "HTTP/1.1 200 OK\r\nSet-Cookie2: s=1\r\n\r\n", "", "", false, 0},
        // a server's own line of the record's name is never taken for it
        {"forged record", "HTTP/1.1 200 OK\r\nVary: Cookie\r\n" CACHE_VARY_LINE ": 0\r\n\r\n", "Cookie: a=1\r\n",
         "Cookie: a=2\r\n", true, 0},
    };
    int number = 0;
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        std::string url = "http://e.test/vary/" + std::to_string(number++);
        std::string get = "GET " + url + " HTTP/1.1\r\n";
        HEADER *first = http_header_parse_request((get + test.stored_by + "\r\n").c_str());
        HEADER *second = http_header_parse_request((get + test.asked_by + "\r\n").c_str());
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        char *head = cache_store_head(first, test.head);
        EXPECT_EQ(head != nullptr, test.stored);
        if (head) {
            CACHEMAP *object = cache_object_open(connection, url.c_str(), head, CACHE_WRITING);
            free(head);
            ASSERT_NE(object, nullptr);
            EXPECT_EQ(cache_object_match(object, first), 1);
            EXPECT_EQ(cache_object_match(object, second), test.match);
            // clients never see the record
            char *sent = cache_object_head(object);
            ASSERT_NE(sent, nullptr);
            EXPECT_EQ(strstr(sent, CACHE_VARY_LINE), nullptr) << sent;
            free(sent);
            cache->cache_close(object, true);
        }
        http_header_free(first);
        http_header_free(second);
    }
    // Kept by a version that stored these as they came: no one else's.
    const char *kept[] = {"HTTP/1.1 200 OK\r\nVary: Cookie\r\nContent-Length: 4\r\n\r\n",
                          "HTTP/1.1 200 OK\r\nSet-Cookie: s=1\r\nContent-Length: 4\r\n\r\n",
                          "HTTP/1.1 200 OK\r\nVary: *\r\nContent-Length: 4\r\n\r\n"};
    HEADER *request = http_header_parse_request("GET http://e.test/old HTTP/1.1\r\n\r\n");
    for (const char *head : kept) {
        SCOPED_TRACE(head);
        CACHEMAP *object = cache_object_open(connection, "http://e.test/old", head, CACHE_WRITING);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(cache_object_add(object, "body", 4), 4);
        EXPECT_EQ(cache_object_match(object, request), -1);
        cache->cache_close(object, true);
        CACHEMAP *reader = cache_object_open(connection, "http://e.test/old", nullptr, 0);
        ASSERT_NE(reader, nullptr);
        cache_object_invalidate(reader);
        EXPECT_FALSE(cache->exists("http://e.test/old"));
    }
    http_header_free(request);
}

TEST_F(CacheTest, RequestPathCallsWithoutCacheAnswerAsEmpty) {
    // Before the section is built and after it is gone: nothing opens, no
    // object is looked into, nothing is sent.
    CACHEMAP absent;
    connection->cache = &absent;
    HEADER *request = http_header_parse_request("GET http://e.test/n HTTP/1.1\r\nIf-Modified-Since: old\r\n\r\n");
    ASSERT_NE(request, nullptr);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        if (round == 1) {
            start();
            ASSERT_TRUE(cache_available());
            ASSERT_TRUE(put("http://e.test/n", "body"));
            delete cache;
            cache = nullptr;
        }
        EXPECT_FALSE(cache_available());
        EXPECT_EQ(cache_object_open(connection, "http://e.test/n", nullptr, 0), nullptr);
        std::string head = head_for(4);
        EXPECT_EQ(cache_object_open(connection, "http://e.test/n", head.c_str(), CACHE_WRITING), nullptr);
        EXPECT_EQ(cache_object_flags(&absent), 0u);
        EXPECT_EQ(cache_object_add(&absent, "data", 4), 0);
        EXPECT_EQ(cache_object_body(&absent), nullptr);
        EXPECT_EQ(cache_object_head(&absent), nullptr);
        EXPECT_EQ(cache_object_stored(&absent), -1);
        EXPECT_EQ(cache_object_body_length(&absent), 0);
        EXPECT_EQ(cache_object_readers(&absent), 0);
        EXPECT_EQ(cache_object_match(&absent, request), 0);
        cache_object_release(&absent);
        EXPECT_EQ(cache_object_send(connection), 0);
        cache_object_flag_set(&absent, CACHE_FORCE);
        cache_object_validated(&absent);
        cache_object_invalidate(&absent);
        cache_request_check(connection, request);
        cache_send_status(connection);
        EXPECT_EQ(absent.flags.load(), 0u);
        EXPECT_EQ(absent.refcount.load(), 0);
        EXPECT_TRUE(connection->variables.empty());
        conditional_header(request, &absent);
        EXPECT_STREQ(request->if_modified_since, "old");
    }
    http_header_free(request);
    connection->cache = nullptr;
}

TEST_F(CacheTest, ManyReadersAtOnceGetWholeBodiesAndGiveBackEveryReference) {
    // Hits of one object and of different objects from many threads, while
    // another thread writes new objects and revalidates the shared one: every
    // reader gets exactly its object's body, and no reference is left behind.
    StoreConf s = store();
    start({}, {s});
    const int objects = 6;
    std::vector<std::string> urls, bodies;
    for (int i = 0; i < objects; i++) {
        urls.push_back("http://e.test/many/" + std::to_string(i));
        std::string body;
        for (int k = 0; k < 900 + 311 * i; k++) body += (char)('A' + (k * 7 + i) % 61);
        bodies.push_back(body);
        ASSERT_TRUE(put(urls[i], bodies[i]));
    }

    const int readers = 12, rounds = 150;
    std::atomic<int> wrong(0), misses(0);
    std::atomic<bool> reading(true);
    std::vector<std::thread> threads;
    for (int t = 0; t < readers; t++) {
        threads.emplace_back([&, t] {
            int fds[2];
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
                wrong++;
                return;
            }
            CONNECTION_T *c = connection_new();
            c->client = new Socket(fds[0]);
            for (int r = 0; r < rounds; r++) {
                // Even threads all read object 0; odd ones walk the others.
                int i = t % 2 == 0 ? 0 : 1 + (r + t) % (objects - 1);
                CACHEMAP *object = cache->cache_open(c, urls[i].c_str(), nullptr, 0);
                if (!object) {
                    misses++;
                    continue;
                }
                if (cache->flag_get(object) & (CACHE_INVALID | CACHE_WRITING)) wrong++;
                if (object->refcount.load() < 1) wrong++;  // our reference counts
                long long sent = cache->send(object, c, 0);
                std::string received;
                read_until(fds[1], &received, bodies[i].size());
                if (sent != (long long)bodies[i].size() || received != bodies[i]) wrong++;
                cache->cache_close(object, false);
            }
            delete c->client;
            c->client = nullptr;
            connection_free(c);
            close(fds[1]);
        });
    }
    std::thread writer([&] {
        for (int n = 0; reading.load() && n < 2000; n++) {
            std::string url = "http://e.test/new/" + std::to_string(n);
            if (!put(url, "fresh " + std::to_string(n))) wrong++;
            CACHEMAP *object = cache->cache_open(connection, urls[0].c_str(), nullptr, 0);
            if (object) {
                cache->validated(object);
                cache->cache_close(object, false);
            }
        }
    });
    for (std::thread &t : threads) t.join();
    reading = false;
    writer.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(misses.load(), 0);
    for (int i = 0; i < objects; i++) {
        cache->lock_exclusive();
        CACHEMAP *object = cache->find_unlocked(urls[i].c_str());
        int references = object ? object->refcount.load() : -1;
        cache->unlock_exclusive();
        EXPECT_EQ(references, 0) << urls[i];
        EXPECT_EQ(get(urls[i]), bodies[i]);
    }
}

}  // namespace
