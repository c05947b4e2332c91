// Disk stores of the object cache: file paths, the journal's exact lines,
// reloading after a restart or a crash, damaged files and journals, the
// choice of store, full stores and the deletion queue.
#include <signal.h>
#include <sys/resource.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cache_fixture.h"
#include "misc.h"

using namespace cachetest;

namespace {

class CacheStoreTest : public CacheFixture {
protected:
    std::vector<std::string> journal_lines(const StoreConf &s) {
        std::vector<std::string> lines;
        std::istringstream in(journal(s));
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }
    Store *store_of(const std::string &url) {
        cache->mutex_lock();
        CACHEMAP *object = cache->find_unlocked(url.c_str());
        Store *s = object ? object->store : nullptr;
        cache->unlock();
        return s;
    }
};

TEST_F(CacheStoreTest, ObjectFilePath) {
    struct Case {
        const char *url;
        const char *path;
    };
    const std::vector<Case> cases = {
        {"http://a/", "/s/28/d2e30d023bacb13655cf2f69855ddd49"},
        {"http://example.test/index.html?q=1", "/s/93/ccf024038b8f79e787bd3dbd43114304"},
    };
    for (const Case &c : cases) {
        char path[PATH_MAX];
        int bucket = CacheSection::filename("/s", c.url, path, sizeof path);
        EXPECT_STREQ(path, c.path);
        EXPECT_EQ(bucket, (int)strtol(c.path + 3, nullptr, 16));
    }
}

TEST_F(CacheStoreTest, JournalLineFormat) {
    CACHEMAP object;
    object.key = (char *)"http://e.test/x?a=1";
    object.flags = CACHE_DISK | CACHE_MEM;
    object.size = 4096;
    object.stored = 1260981937;
    object.accessed = 1260981999;
    object.min_age = 1;
    object.max_age = 86400;
    object.default_age = 3600;
    object.lm_factor = 10;
    strcpy(object.md5, "0123456789abcdef0123456789abcdef");
    char line[CACHE_JOURNAL_LINE_MAX + 1];
    int n = CacheSection::journal_line(&object, line, sizeof line);
    EXPECT_EQ(std::string(line, (size_t)n),
              "384\thttp://e.test/x?a=1\t4096\t1260981937\t1260981999\t1\t86400\t3600\t10\t"
              "0123456789abcdef0123456789abcdef\n");
    strcpy(object.md5, CACHE_MD5_NONE);
    object.flags = CACHE_WRITING;
    n = CacheSection::journal_line(&object, line, sizeof line);
    EXPECT_EQ(std::string(line, (size_t)n),
              "1\thttp://e.test/x?a=1\t4096\t1260981937\t1260981999\t1\t86400\t3600\t10\t0\n");
    object.key = nullptr;  // not owned
}

TEST_F(CacheStoreTest, StoredObjectIsOneFileAndJournaledComplete) {
    StoreConf s = store();
    start({}, {s});
    const std::string url = "http://e.test/file";
    const std::string body = "body bytes";
    ASSERT_TRUE(put(url, body));
    std::string head = head_for(body.size());
    EXPECT_EQ(file_bytes(path_of(s.path, url)), head + body);
    std::vector<std::string> lines = journal_lines(s);
    ASSERT_GE(lines.size(), 2u);
    // Created while writing, then complete with the digest of what it holds.
    char **first = string_break(lines[lines.size() - 2].c_str(), '\t');
    char **last = string_break(lines.back().c_str(), '\t');
    ASSERT_EQ(array_length(first), 10);
    ASSERT_EQ(array_length(last), 10);
    EXPECT_TRUE(atoi(first[0]) & CACHE_WRITING);
    EXPECT_STREQ(first[9], "0");
    EXPECT_FALSE(atoi(last[0]) & CACHE_WRITING);
    EXPECT_TRUE(atoi(last[0]) & CACHE_DISK);
    EXPECT_STREQ(last[1], url.c_str());
    EXPECT_EQ(atoi(last[2]), (int)(head.size() + body.size()));
    char digest[33];
    md5_string((head + body).c_str(), digest);
    EXPECT_STREQ(last[9], digest);
    array_free(first);
    array_free(last);
}

TEST_F(CacheStoreTest, RestartKeepsObjects) {
    StoreConf s = store();
    start({}, {s});
    std::vector<std::pair<std::string, std::string>> objects = {
        {"http://e.test/1", "first"}, {"http://e.test/2", std::string(200000, 'q')}, {"http://e.test/3", "third"}};
    unsigned long long bytes = 0;
    for (const auto &o : objects) {
        ASSERT_TRUE(put(o.first, o.second));
        bytes += head_for(o.second.size()).size() + o.second.size();
    }
    CACHEMAP *before = cache->cache_open(connection, "http://e.test/1", nullptr, 0);
    time_t stored = before->stored;
    cache->cache_close(before, false);

    restart();
    ASSERT_EQ(cache->stores.size(), 1u);
    EXPECT_EQ(cache->stores[0]->objects, 3);
    EXPECT_EQ(cache->stores[0]->bytes, bytes);
    for (const auto &o : objects) EXPECT_EQ(get(o.first), o.second) << o.first;
    CACHEMAP *after = cache->cache_open(connection, "http://e.test/1", nullptr, 0);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->stored, stored);  // the file time carries it
    cache->cache_close(after, false);
    EXPECT_EQ(drain(), 0);
}

TEST_F(CacheStoreTest, CrashWhileWritingLeavesNoObjectBehind) {
    StoreConf s = store();
    start({}, {s});
    ASSERT_TRUE(put("http://e.test/done", "complete"));
    const std::string url = "http://e.test/unfinished";
    std::string head = head_for(100);
    CACHEMAP *object = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
    ASSERT_NE(object, nullptr);
    ASSERT_EQ(cache->add(object, "part", 4), 4);
    std::string file = path_of(s.path, url);
    EXPECT_TRUE(file_exists(file));
    // The process ends with the object still being written.
    restart();
    EXPECT_FALSE(cache->exists(url.c_str()));
    drain();
    EXPECT_FALSE(file_exists(file));
    EXPECT_EQ(get("http://e.test/done"), "complete");
    EXPECT_EQ(cache->stores[0]->objects, 1);
}

TEST_F(CacheStoreTest, DamagedFilesAreNeverServed) {
    struct Case {
        const char *name;
        int md5;
        void (*damage)(const std::string &path);
        const char *body = nullptr;
    };
    auto flip_last = [](const std::string &path) {
        std::string bytes = file_bytes(path);
        bytes[bytes.size() - 1] ^= 1;
        file_put(path, bytes);
    };
    const std::vector<Case> cases = {
        // Its digest begins with '0', which is a digest like any other.
        {"changed byte, digest 0a16d7...", 1, flip_last, "body-00008"},
        {"changed byte", 1,
         [](const std::string &path) {
             std::string bytes = file_bytes(path);
             bytes[bytes.size() - 1] ^= 1;
             file_put(path, bytes);
         }},
        {"shorter", 0,
         [](const std::string &path) {
             std::string bytes = file_bytes(path);
             file_put(path, bytes.substr(0, bytes.size() - 3));
         }},
        {"longer", 0, [](const std::string &path) { file_put(path, file_bytes(path) + "junk"); }},
        {"empty", 0, [](const std::string &path) { file_put(path, ""); }},
        {"missing", 0, [](const std::string &path) { unlink(path.c_str()); }},
        {"head and length disagree", 0,
         [](const std::string &path) {
             // Same size, but the head announces another length.
             std::string bytes = file_bytes(path);
             size_t at = bytes.find("Length: 10");
             bytes.replace(at, 10, "Length: 11");
             bytes.erase(bytes.size() - 1);
             bytes += "x";
             file_put(path, bytes);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        StoreConf s = store(std::string("store-") + std::to_string(&c - &cases[0]));
        s.md5 = c.md5;
        start({}, {s});
        const std::string url = "http://e.test/damaged";
        ASSERT_TRUE(put(url, c.body ? c.body : "0123456789"));
        restart();
        c.damage(path_of(s.path, url));
        EXPECT_EQ(get(url), "<none>");
        EXPECT_FALSE(cache->exists(url.c_str()));
        drain();
        EXPECT_FALSE(file_exists(path_of(s.path, url)));
        // Its last journal line says it is gone.
        std::vector<std::string> lines = journal_lines(s);
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(atoi(lines.back().c_str()) & CACHE_INVALID);
        delete cache;
        cache = nullptr;
    }
}

TEST_F(CacheStoreTest, DigestIsComputedWhenTheWriterCloses) {
    StoreConf s = store();
    start({}, {s});
    const std::string url = "http://e.test/d";
    std::string head = head_for(6);
    CACHEMAP *object = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
    ASSERT_NE(object, nullptr);
    cache->add(object, "abc", 3);
    // A reader while it is written neither computes nor checks anything.
    CACHEMAP *reader = cache->cache_open(connection, url.c_str(), nullptr, 0);
    ASSERT_EQ(reader, object);
    EXPECT_STREQ(object->md5, CACHE_MD5_NONE);
    cache->add(object, "def", 3);
    cache->cache_close(reader, false);
    cache->cache_close(object, true);
    char digest[33];
    md5_string((head + "abcdef").c_str(), digest);
    EXPECT_STREQ(object->md5, digest);
    EXPECT_EQ(get(url), "abcdef");
}

TEST_F(CacheStoreTest, JournalReloadRules) {
    StoreConf s = store();
    mkdir(s.path.c_str(), 0755);
    struct Object {
        std::string url;
        std::string data;
    };
    const std::string h = head_for(3);
    std::vector<Object> files = {
        {"http://j/complete", h + "abc"}, {"http://j/writing", h + "abc"}, {"http://j/invalid", h + "abc"},
        {"http://j/twice", h + "abc"},    {"http://j/six", h + "abc"},     {"http://j/discard", h + "abc"},
    };
    for (const Object &f : files) {
        std::string path = path_of(s.path, f.url);
        mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
        file_put(path, f.data);
    }
    std::string size = std::to_string(h.size() + 3);
    std::string lines;
    auto line = [&](int flags, const std::string &url, const std::string &rest) {
        lines += std::to_string(flags) + "\t" + url + "\t" + rest + "\n";
    };
    line(CACHE_DISK, "http://j/complete", size + "\t1000\t1001\t1\t2\t3\t4\t0");
    line(CACHE_DISK | CACHE_WRITING, "http://j/writing", size + "\t1000\t1001\t1\t2\t3\t4\t0");
    line(CACHE_DISK, "http://j/invalid", size + "\t1000\t1001\t1\t2\t3\t4\t0");
    line(CACHE_DISK | CACHE_INVALID, "http://j/invalid", size + "\t1000\t1001\t1\t2\t3\t4\t0");
    line(CACHE_DISK, "http://j/twice", "1\t1000\t1001\t1\t2\t3\t4\t0");
    line(CACHE_DISK, "http://j/twice", size + "\t2000\t2001\t5\t6\t7\t8\t0");
    line(CACHE_DISK | CACHE_PREFETCHED | CACHE_EXPIRED, "http://j/six", size + "\t1000\t1001\t9");
    line(CACHE_DISK | CACHE_DISCARD, "http://j/discard", size + "\t1000\t1001\t1\t2\t3\t4\t0");
    // Lines that cannot be trusted are ignored.
    lines += "x\thttp://j/bad-flags\t10\t1\t1\n";
    lines += "128\thttp://j/few\t10\t1\n";
    lines += "128\thttp://j/bad-size\t1x\t1\t1\n";
    lines += "128\thttp://j/negative\t-5\t1\t1\n";
    lines += "128\thttp://j/bad-md5\t10\t1\t1\t1\t2\t3\t4\tnot-a-digest\n";
    lines += std::string(CACHE_JOURNAL_LINE_MAX + 100, 'L') + "\n";
    lines += "128\thttp://j/cut\t10\t1";  // no line feed: cut off
    file_put(s.path + "/journal", lines);
    // A file of this cache's form that no journal line names.
    std::string orphan = path_of(s.path, "http://j/orphan");
    mkdir(orphan.substr(0, orphan.rfind('/')).c_str(), 0755);
    file_put(orphan, "orphan");
    std::string foreign = s.path + "/00/notes.txt";
    mkdir((s.path + "/00").c_str(), 0755);
    file_put(foreign, "keep me");

    start({}, {s});
    struct Expect {
        const char *url;
        bool kept;
    };
    const std::vector<Expect> expects = {
        {"http://j/complete", true},   {"http://j/writing", false}, {"http://j/invalid", false},
        {"http://j/twice", true},      {"http://j/six", true},      {"http://j/discard", false},
        {"http://j/bad-flags", false}, {"http://j/few", false},     {"http://j/bad-size", false},
        {"http://j/negative", false},  {"http://j/bad-md5", false}, {"http://j/cut", false},
    };
    for (const Expect &e : expects) EXPECT_EQ(cache->exists(e.url), e.kept) << e.url;
    EXPECT_EQ(cache->stores[0]->objects, 3);
    EXPECT_EQ(cache->stores[0]->bytes, 3 * (h.size() + 3));

    cache->mutex_lock();
    CACHEMAP *twice = cache->find_unlocked("http://j/twice");
    EXPECT_EQ(twice->stored, 2000);
    EXPECT_EQ(twice->size, h.size() + 3);
    EXPECT_EQ(twice->min_age, 5u);
    EXPECT_EQ(twice->lm_factor, 8u);
    CACHEMAP *six = cache->find_unlocked("http://j/six");
    // Freshness from the rule without profiles; load-time flags cleared.
    EXPECT_EQ(six->min_age, 0u);
    EXPECT_EQ(six->max_age, 86400u);
    EXPECT_EQ(six->default_age, 3600u);
    EXPECT_EQ(six->lm_factor, 10u);
    EXPECT_EQ(six->flags & (CACHE_PREFETCHED | CACHE_EXPIRED), 0u);
    cache->unlock();

    drain();
    EXPECT_TRUE(file_exists(path_of(s.path, "http://j/complete")));
    EXPECT_FALSE(file_exists(path_of(s.path, "http://j/writing")));
    EXPECT_FALSE(file_exists(path_of(s.path, "http://j/invalid")));
    EXPECT_FALSE(file_exists(path_of(s.path, "http://j/discard")));
    EXPECT_FALSE(file_exists(orphan));
    EXPECT_TRUE(file_exists(foreign));
    // The journal was rewritten with one line per kept object.
    EXPECT_EQ(journal_lines(s).size(), 3u);
    EXPECT_EQ(get("http://j/complete"), "abc");
}

TEST_F(CacheStoreTest, MissingJournalFallsBackToTheNewOne) {
    StoreConf s = store();
    start({}, {s});
    ASSERT_TRUE(put("http://e.test/n", "kept"));
    delete cache;
    cache = nullptr;
    // A crash between writing "journal.new" and the rename.
    ASSERT_EQ(rename((s.path + "/journal").c_str(), (s.path + "/journal.new").c_str()), 0);
    construct();
    EXPECT_EQ(get("http://e.test/n"), "kept");
}

TEST_F(CacheStoreTest, JournalIsRewrittenAfterItsLineCount) {
    StoreConf s = store();
    start({{"journalentries", "5"}}, {s});
    cache->mutex_lock();
    cache->stores[0]->journal_written -= 31;
    cache->unlock();
    // One journal line for each explicit touch of the object.
    auto touched = [&]() {
        CACHEMAP *object = cache->cache_open(nullptr, "http://e.test/r", nullptr, 0);
        if (!object) return false;
        cache->touch(object, false);
        cache->cache_close(object, false);
        return true;
    };
    ASSERT_TRUE(put("http://e.test/r", "x"));  // lines 1 and 2
    EXPECT_TRUE(touched());                    // 3
    EXPECT_TRUE(touched());                    // 4
    EXPECT_EQ(journal_lines(s).size(), 4u);
    EXPECT_TRUE(touched());  // 5: rewritten
    EXPECT_EQ(journal_lines(s).size(), 1u);
    // Not again within 30 seconds.
    for (int i = 0; i < 6; i++) EXPECT_TRUE(touched());
    EXPECT_EQ(journal_lines(s).size(), 7u);
    EXPECT_FALSE(file_exists(s.path + "/journal.new"));
}

TEST_F(CacheStoreTest, ReadersJournalTheirAccessOncePerIntervalAndDigestsStillCatchDamage) {
    StoreConf s = store();
    start({}, {s});
    ASSERT_TRUE(put("http://e.test/a", "some body"));
    size_t stored = journal_lines(s).size();
    for (int i = 0; i < 20; i++) EXPECT_EQ(get("http://e.test/a"), "some body");
    // The writer's close recorded an access just now.
    EXPECT_EQ(journal_lines(s).size(), stored);
    // Once the interval has passed, the next reader records one.
    cache->mutex_lock();
    CACHEMAP *object = cache->find_unlocked("http://e.test/a");
    ASSERT_NE(object, nullptr);
    object->access_recorded = object->access_recorded - CacheSection::ACCESS_RECORD_INTERVAL;
    cache->unlock();
    for (int i = 0; i < 5; i++) EXPECT_EQ(get("http://e.test/a"), "some body");
    EXPECT_EQ(journal_lines(s).size(), stored + 1);
    // Damage on disk is found when the object is read from its file again.
    delete cache;
    cache = nullptr;
    construct();
    EXPECT_EQ(get("http://e.test/a"), "some body");
    delete cache;
    cache = nullptr;
    construct();
    FILE *f = fopen(path_of(s.path, "http://e.test/a").c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    fseek(f, -2, SEEK_END);
    fputc('X', f);
    fclose(f);
    EXPECT_EQ(get("http://e.test/a"), "<none>");
}

TEST_F(CacheStoreTest, StoreChoice) {
    StoreConf a = store("a"), b = store("b"), zero = store("zero"), vip = store("vip");
    zero.maxsize = "0";
    vip.profiles = "vip";
    struct Case {
        const char *choice;
        std::vector<const char *> expected;  // store of each new object in turn
    };
    const std::vector<Case> cases = {
        // Fewest bytes: alternate (the earlier rule wins a tie).
        {"0", {"a", "b", "a"}},
        // Lowest whole percentage: b is ten times larger.
        {"1", {"a", "b", "b"}},
        // Any other choice rates no store.
        {"7", {nullptr, nullptr}},
    };
    a.maxsize = "1M";
    b.maxsize = "10M";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.choice);
        start({{"storeselect", c.choice}}, {zero, vip, a, b});
        for (size_t i = 0; i < c.expected.size(); i++) {
            std::string url = "http://e.test/choice" + std::to_string(i);
            ASSERT_TRUE(put(url, std::string(100000, 'c')));
            Store *got = store_of(url);
            if (!c.expected[i]) {
                EXPECT_EQ(got, nullptr);
            } else {
                ASSERT_NE(got, nullptr);
                EXPECT_EQ(got->directory, dir + "/" + c.expected[i]);
            }
        }
        delete cache;
        cache = nullptr;
        std::string command = "rm -rf '" + dir + "'/*";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    // A profile condition that holds brings the object to its store.
    start({}, {zero, vip, a});
    connection->profiles.push_back("vip");
    ASSERT_TRUE(put("http://e.test/vip", "v"));
    ASSERT_NE(store_of("http://e.test/vip"), nullptr);
    EXPECT_EQ(store_of("http://e.test/vip")->directory, vip.path);
}

TEST_F(CacheStoreTest, StoreAboveItsMaximumIsFlaggedFull) {
    StoreConf s = store();
    s.maxsize = "1K";
    start({}, {s});
    ASSERT_TRUE(put("http://e.test/big", std::string(4000, 'b')));
    EXPECT_TRUE(cache->stores[0]->full);
    // Still a candidate: cleaning makes room.
    ASSERT_TRUE(put("http://e.test/next", "n"));
    EXPECT_EQ(store_of("http://e.test/next"), cache->stores[0]);
}

TEST_F(CacheStoreTest, NoRoomForAnObjectFailsItAndMarksTheStoreFull) {
    StoreConf s = store();
    start({}, {s});
    ASSERT_TRUE(put("http://e.test/small", "fits"));
    // The file may not grow past 64 KiB: the space of a larger object
    // cannot be reserved.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit low = old;
    low.rlim_cur = 65536;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    const std::string url = "http://e.test/huge";
    std::string body(300000, 'h');
    std::string head = head_for(body.size() * 2, "");  // no exact reservation either
    CACHEMAP *object = cache->cache_open(connection, url.c_str(), head.c_str(), CACHE_CREATE);
    int result = -1;  // refused at once when the announced length cannot be reserved
    if (object) {
        result = 0;
        for (int i = 0; i < 2 && result >= 0; i++) result = cache->add(object, body.data(), (int)body.size());
        cache->cache_close(object, true);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(cache->stores[0]->full);
    EXPECT_FALSE(cache->exists(url.c_str()));
    drain();
    EXPECT_FALSE(file_exists(path_of(s.path, url)));
    EXPECT_EQ(get("http://e.test/small"), "fits");
}

TEST_F(CacheStoreTest, RecreatedFileIsNotDeletedBehindItsWriter) {
    StoreConf s = store();
    start({}, {s});
    const std::string url = "http://e.test/again";
    ASSERT_TRUE(put(url, "old"));
    ASSERT_TRUE(cache->invalidate_key(url.c_str()));  // file queued for deletion
    ASSERT_TRUE(put(url, "new"));                     // same path, created again
    drain();
    EXPECT_TRUE(file_exists(path_of(s.path, url)));
    restart();
    EXPECT_EQ(get(url), "new");
}

TEST_F(CacheStoreTest, DeletionQueue) {
    start();
    std::string a = dir + "/a", b = dir + "/b";
    file_put(a, "a");
    file_put(b, "b");
    cache->unlink_list_add(a);
    cache->unlink_list_add(b);
    cache->unlink_list_add(dir + "/never-there");
    cache->unlink_list_zap(a);
    EXPECT_EQ(cache->unlink_count, 2);
    EXPECT_EQ(drain(), 2);
    EXPECT_EQ(cache->unlink_count, 0);
    EXPECT_TRUE(file_exists(a));
    EXPECT_FALSE(file_exists(b));
}

TEST_F(CacheStoreTest, LongUrlsStayInMemory) {
    StoreConf s = store();
    start({}, {s});
    std::string url = "http://e.test/" + std::string(9000, 'u');
    ASSERT_TRUE(put(url, "long"));
    EXPECT_EQ(store_of(url), nullptr);
    EXPECT_EQ(get(url), "long");
    for (const std::string &line : journal_lines(s)) EXPECT_LT(line.size(), (size_t)CACHE_JOURNAL_LINE_MAX);
}

}  // namespace
