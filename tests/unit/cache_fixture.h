// The object cache built from the shipped section definition, loaded from a
// small configuration document with stores in a temporary directory, and
// helpers that write and read objects the way the request path does.
#ifndef KORVANTEL_TEST_CACHE_FIXTURE_H
#define KORVANTEL_TEST_CACHE_FIXTURE_H

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cache.h"
#include "cacheclean.h"
#include "config_fixture.h"
#include "connection.h"
#include "filebuf.h"
#include "timerange.h"

namespace cachetest {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

struct StoreConf {
    std::string path;
    std::string maxsize = "1G";
    std::string freeextra = "50M";
    int md5 = 1;
    std::string profiles;
    bool enabled = true;
};

// Options by element name; those not given keep these values.
inline std::map<std::string, std::string> default_options() {
    return {{"enabled", "true"},    {"violations", "false"}, {"memsize", "256M"},       {"memextra", "8M"},
            {"minsize", "0"},       {"maxsize", "0"},        {"prefetchwindow", "300"}, {"icpport", "0"},
            {"icptimeout", "1000"}, {"storeselect", "0"},    {"journalentries", "0"},   {"cleaninterval", "0"}};
}

inline std::string cache_document(const std::map<std::string, std::string> &options,
                                  const std::vector<StoreConf> &stores) {
    static const char *const order[] = {"enabled",    "violations",  "memsize",        "memextra",
                                        "minsize",    "maxsize",     "prefetchwindow", "icpport",
                                        "icptimeout", "storeselect", "journalentries", "cleaninterval"};
    std::map<std::string, std::string> values = default_options();
    for (const auto &o : options) values[o.first] = o.second;
    std::string xml = "<?xml version=\"1.0\"?><korvantel><cache>";
    for (const char *name : order) xml += std::string("<") + name + ">" + values[name] + "</" + name + ">";
    for (const StoreConf &s : stores) {
        xml += "<store><enabled>" + std::string(s.enabled ? "true" : "false") + "</enabled><comment></comment>";
        xml += "<profiles>" + s.profiles + "</profiles><path>" + s.path + "</path><maxsize>" + s.maxsize +
               "</maxsize><freeextra>" + s.freeextra + "</freeextra><md5>" + std::to_string(s.md5) + "</md5></store>";
    }
    // One rule without profiles: cacheable, fresh for an hour by default.
    xml +=
        "<refresh><enabled>true</enabled><comment></comment><profiles></profiles><cacheable>true</cacheable>"
        "<minage>0</minage><maxage>86400</maxage><defaultage>3600</defaultage><lmfactor>10</lmfactor></refresh>";
    return xml + "</cache></korvantel>";
}

inline std::string head_for(size_t length, const std::string &extra = "Cache-Control: max-age=3600\r\n") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n" + extra + "\r\n";
}

inline std::string file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void file_put(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Builds the section as start-up does (it becomes cache_section) and loads
// the document into it. The shipped section definition must be in use.
inline CacheSection *cache_build(const std::string &document) {
    CacheSection *cache = static_cast<CacheSection *>(cache_construct());
    TiXmlDocument doc;
    doc.Parse(document.c_str());
    if (doc.Error()) ADD_FAILURE() << doc.ErrorDesc();
    else cache->load(&doc, 1);
    return cache;
}

class CacheFixture : public ::testing::Test {
protected:
    CacheSection *cache = nullptr;
    CONNECTION_T *connection = nullptr;
    std::string dir;
    std::string document;

    void SetUp() override {
        definition_use(file_read(conf_dir + "section.xml"));
        char name[] = "/tmp/korvantel-cachetest-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        connection = connection_new();
        // Admission is the cleaning code's business; these tests start past it.
        nocache_init(0);
    }
    void TearDown() override {
        delete cache;
        cache = nullptr;
        connection_free(connection);
        std::string command = "rm -rf '" + dir + "'";
        if (system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir;
    }

    // Builds the section and loads the document, as start-up does.
    void start(const std::map<std::string, std::string> &options = {}, const std::vector<StoreConf> &stores = {}) {
        document = cache_document(options, stores);
        construct();
    }
    void construct() {
        cache = cache_build(document);
        ASSERT_EQ(cache, cache_section);
    }
    // A new process over the same stores.
    void restart() {
        delete cache;
        cache = nullptr;
        construct();
    }
    StoreConf store(const std::string &name = "store") {
        StoreConf s;
        s.path = dir + "/" + name;
        return s;
    }

    // Writes a whole object as the request path does; false when the cache
    // refused it at some point.
    bool put(const std::string &url, const std::string &body, const std::string &head = "") {
        std::string h = head.empty() ? head_for(body.size()) : head;
        CACHEMAP *object = cache->cache_open(connection, url.c_str(), h.c_str(), CACHE_CREATE);
        if (!object) return false;
        bool ok = body.empty() || cache->add(object, body.data(), (int)body.size()) == (int)body.size();
        cache->cache_close(object, true);
        return ok;
    }
    // The stored body, or "<none>" when the cache does not answer.
    std::string get(const std::string &url, unsigned flags = 0) {
        CACHEMAP *object = cache->cache_open(connection, url.c_str(), nullptr, flags);
        if (!object) return "<none>";
        Filebuf *body = cache->read_filebuf(object);
        std::string text(body->data ? body->data : "", (size_t)body->size);
        delete body;
        cache->cache_close(object, false);
        return text;
    }
    std::string path_of(const std::string &store_dir, const std::string &url) {
        char path[PATH_MAX];
        CacheSection::filename(store_dir.c_str(), url.c_str(), path, sizeof path);
        return path;
    }
    // Runs the queued deletions (the deletion thread does not run here).
    int drain() {
        int n = 0;
        while (n < 100000 && cache->unlink_one()) n++;
        return n;
    }
    std::string journal(const StoreConf &s) { return file_bytes(s.path + "/journal"); }
};

}  // namespace cachetest

#endif
