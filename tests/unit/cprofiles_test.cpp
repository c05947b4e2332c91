#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <tinyxml.h>

#include "base64block.h"
#include "config_fixture.h"
#include "cprofiles.h"
#include "log.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

// A DNS answer of MX records for name, each (exchange, preference).
std::string mx_answer(const std::string &name, const std::vector<std::pair<std::string, int>> &records) {
    auto encode = [](const std::string &dotted) {
        std::string out;
        size_t start = 0;
        while (start < dotted.size()) {
            size_t dot = dotted.find('.', start);
            if (dot == std::string::npos) dot = dotted.size();
            out.push_back((char)(dot - start));
            out += dotted.substr(start, dot - start);
            start = dot + 1;
        }
        out.push_back('\0');
        return out;
    };
    auto u16 = [](int v) { return std::string{(char)(v >> 8), (char)(v & 0xff)}; };
    std::string m = u16(0x1234) + u16(0x8180) + u16(1) + u16((int)records.size()) + u16(0) + u16(0);
    m += encode(name) + u16(15) + u16(1);
    for (auto &r : records) {
        std::string rdata = u16(r.second) + encode(r.first);
        m += std::string("\xc0\x0c", 2) + u16(15) + u16(1) + u16(0) + u16(60) + u16((int)rdata.size()) + rdata;
    }
    return m;
}

struct Ring {
    Ring() { log_ring = logbuffer_new(200); }
    ~Ring() {
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
    }
    bool has(const std::string &text) const {
        for (LOGNODE *n = log_ring->oldest; n; n = n->newer)
            if (strstr(n->line, text.c_str())) return true;
        return false;
    }
};

TEST(CprofilesMx, ReadsRecordsInOrder) {
    std::string m = mx_answer("h.zone", {{"news", 50}, {"sports", 10}, {"x", 65535}});
    std::vector<std::pair<std::string, int>> out;
    ASSERT_TRUE(cprofiles_parse_mx((const unsigned char *)m.data(), (int)m.size(), &out));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], std::make_pair(std::string("news"), 50));
    EXPECT_EQ(out[1], std::make_pair(std::string("sports"), 10));
    EXPECT_EQ(out[2].second, 65535);
}

TEST(CprofilesMx, HostileAnswersAreBounded) {
    Ring ring;
    std::vector<std::pair<std::string, int>> out;
    std::vector<std::pair<std::string, int>> many;
    for (int i = 0; i < 40; i++) many.push_back({"c" + std::to_string(i), i});
    std::string big = mx_answer("h.zone", many);
    ASSERT_TRUE(cprofiles_parse_mx((const unsigned char *)big.data(), (int)big.size(), &out));
    EXPECT_EQ(out.size(), 32u);

    // cut in the middle of its records
    std::string m = mx_answer("h.zone", {{"news", 50}, {"sports", 10}});
    for (size_t cut : {m.size() - 3, (size_t)20, (size_t)5, (size_t)0}) {
        std::vector<std::pair<std::string, int>> part;
        cprofiles_parse_mx((const unsigned char *)m.data(), (int)cut, &part);
        EXPECT_LE(part.size(), 1u) << cut;
    }
    EXPECT_TRUE(ring.has("cProfiles: a"));

    // a record whose exchange points at itself, and one with short data
    std::string loop = mx_answer("h.zone", {{"a", 1}});
    // the exchange "a" (label length, letter, end) becomes a pointer to itself
    loop.replace(loop.size() - 3, 3, std::string("\xc0", 1) + (char)(loop.size() - 3));
    out.clear();
    cprofiles_parse_mx((const unsigned char *)loop.data(), (int)loop.size(), &out);
    EXPECT_TRUE(out.empty());
}

TEST(CprofilesCache, KeyFormula) {
    EXPECT_EQ(cp_cache_key(8111, ""), 0);
    uint32_t sum = 0;
    for (char ch : std::string("h\xe9.news")) {
        int c = (signed char)ch;
        sum += (uint32_t)(20 * c) + (uint32_t)(c >> 2) + (uint32_t)(c >> 4) + 8111u;
    }
    EXPECT_EQ(cp_cache_key(8111, "h\xe9.news"), (int)(sum % 8111u));
}

class CprofilesSection : public ::testing::Test {
protected:
    CPROFILES_Section *section = nullptr;
    std::string dir;
    Ring ring;

    void SetUp() override {
        definition_use(file_read(conf_dir + "section.xml"));
        section = static_cast<CPROFILES_Section *>(cprofiles_construct());
        char path[] = "/tmp/korvantel-cp-XXXXXX";
        ASSERT_TRUE(mkdtemp(path));
        dir = path;
    }
    void TearDown() override {
        delete section;
        std::string cmd = "rm -rf " + dir;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void load(const std::string &hints, bool enabled = true) {
        std::string x = "<korvantel><cProfiles><enabled>" + std::string(enabled ? "true" : "false") +
                        "</enabled><hints>" + hints + "</hints></cProfiles></korvantel>";
        TiXmlDocument document;
        document.Parse(x.c_str());
        section->load(&document, 1);
    }
    void write(const std::string &name, const std::string &text) {
        std::ofstream(dir + "/" + name, std::ios::binary) << text;
    }
};

TEST_F(CprofilesSection, InsertsOnceUnderConcurrency) {
    const int keys = 200;
    std::atomic<int> inserted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&, t] {
            for (int k = 0; k < keys; k++) inserted += section->update_cp_cache("h" + std::to_string(k) + ".c.z", t);
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(inserted.load(), keys);
    EXPECT_EQ(section->update_cp_cache("h0.c.z", 5), 0);
    EXPECT_EQ(section->cp_cache_search("missing"), -1);
}

TEST_F(CprofilesSection, EmptyHintsOptionCreatesNoFile) {
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(dir.c_str()), 0);
    struct stat st;
    bool root_had = stat("/cprofiles.cache", &st) == 0;
    load("");
    EXPECT_FALSE(section->cache_file_open());
    EXPECT_NE(stat((dir + "/cprofiles.cache").c_str(), &st), 0);
    EXPECT_EQ(stat("/cprofiles.cache", &st) == 0, root_had);
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(CprofilesSection, LoadsHintsThenCacheFileOnce) {
    write("a.cprofiles", "h.example.news.zone\t30\nh.example.zero.zone\t0\nbad line\nx\ty\tz\n");
    write("b.txt.notcprofiles", "h.example.other.zone\t5\n");
    write("cprofiles.cache", encode64("h.example.news.zone\t99") + "\n" + encode64("h.example.sport.zone\t0") +
                                 "\n!!!!\n" + encode64("h.example.web.zone\t12") + "\n");
    load(dir);
    EXPECT_EQ(section->cp_cache_search("h.example.news.zone"), 30);  // the hint came first
    EXPECT_EQ(section->cp_cache_search("h.example.zero.zone"), -1);  // score 0 hints are not stored
    EXPECT_EQ(section->cp_cache_search("h.example.other.zone"), -1);
    EXPECT_EQ(section->cp_cache_search("h.example.sport.zone"), 0);  // the cache file keeps 0
    EXPECT_EQ(section->cp_cache_search("h.example.web.zone"), 12);
    EXPECT_TRUE(ring.has("cProfiles: failed to decode: !!!!"));
    EXPECT_TRUE(ring.has("records: 3"));
    EXPECT_TRUE(section->cache_file_open());

    section->cprofile_dnstofile_insert("new.example.news.zone", 44);
    write("a.cprofiles", "late.example.news.zone\t7\n");
    load(dir);  // a second update does not read the files again
    EXPECT_EQ(section->cp_cache_search("late.example.news.zone"), -1);
    std::ifstream cache(dir + "/cprofiles.cache");
    std::string line, last;
    while (std::getline(cache, line)) last = line;
    std::string decoded;
    decode64(last.c_str(), &decoded);
    EXPECT_EQ(decoded, "new.example.news.zone\t44");
}

TEST_F(CprofilesSection, DisabledBuildsNoRules) {
    std::string x =
        "<korvantel><cProfiles><enabled>false</enabled><hints></hints><rule><enabled>true</enabled>"
        "<comment/><log>0</log><profiles/><categories>news</categories><range>1-2</range><add>a</add>"
        "<remove/></rule></cProfiles></korvantel>";
    TiXmlDocument document;
    document.Parse(x.c_str());
    section->load(&document, 1);
    EXPECT_TRUE(section->rules.empty());
}

}  // namespace
