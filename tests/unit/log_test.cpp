#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "settings.h"

namespace {

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> ring_lines(LOGBUFFER *ring) {
    std::vector<std::string> out;
    for (LOGNODE *n = ring->newest; n; n = n->older) out.push_back(n->line);
    return out;
}

class LogTest : public ::testing::Test {
protected:
    char dir[64] = "/tmp/korvantel-log-XXXXXX";
    std::string path;
    void SetUp() override {
        ASSERT_TRUE(mkdtemp(dir));
        path = std::string(dir) + "/native.log";
        snprintf(logfile, sizeof logfile, "%s", path.c_str());
        daemonize = 1;
        loglevel = 0x7FFFFFF;
        logflg = 0;
        log_ring = logbuffer_new(1000);
    }
    void TearDown() override {
        if (logfd != -1) close(logfd);
        logfd = -1;
        logfile[0] = 0;
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
        std::string cmd = std::string("rm -rf ") + dir;
        ASSERT_EQ(0, system(cmd.c_str()));
    }
};

TEST_F(LogTest, LineFormatAndPrefix) {
    putlog(LOG_CACHE, "hello %d", 42);
    std::string text = slurp(path);
    // "YYYY MM DD HH:MM:SS [0] cache: hello 42\n"
    ASSERT_GE(text.size(), 20u);
    EXPECT_EQ(' ', text[4]);
    EXPECT_EQ(' ', text[7]);
    EXPECT_EQ(':', text[13]);
    EXPECT_EQ(text.substr(19), " [0] cache: hello 42\n");
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0u, st.st_mode & 0137);  // at most rw-r-----
}

// The crash line is built without localtime: its stamp must still read as
// the ordinary lines' local time does.
TEST_F(LogTest, EmergencyLineMatchesOrdinaryStamp) {
    putlog(LOG_CACHE, "before");
    time_t before = time(nullptr);
    putlog_emergency(LOG_ADVICE, "crashed");
    time_t after = time(nullptr);
    std::string text = slurp(path);
    size_t at = text.find('\n');
    ASSERT_NE(std::string::npos, at);
    std::string line = text.substr(at + 1);
    ASSERT_GE(line.size(), 20u);
    bool matched = false;
    for (time_t t = before; t <= after; t++) {
        struct tm tmv;
        localtime_r(&t, &tmv);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%Y %m %d %H:%M:%S", &tmv);
        matched = matched || line.compare(0, 19, stamp) == 0;
    }
    EXPECT_TRUE(matched) << line;
    EXPECT_EQ(line.substr(19), std::string(" [0] ") + log_prefix(LOG_ADVICE) + "crashed\n");
}

TEST_F(LogTest, CategorySelection) {
    struct Case {
        int level;
        int category;
        bool in_file;
        bool in_ring;
    };
    const Case cases[] = {
        {0x7FFFFFF, LOG_DEBUG, false, false},  // default level: debug nowhere
        {268435455, LOG_DEBUG, true, false},   // debug enabled: file, never the ring
        {0, LOG_ADVICE, true, true},           // category 0 is always written
        {LOG_ERROR, LOG_CACHE, false, true},   // unselected: ring only
        {LOG_ERROR, LOG_ERROR, true, true},
        {0x7FFFFFF, 0x3, true, true},  // not one category: no prefix, still shares bits
    };
    for (const Case &c : cases) {
        unlink(path.c_str());
        if (logfd != -1) close(logfd);
        logfd = -1;
        logbuffer_clear(log_ring);
        loglevel = c.level;
        putlog(c.category, "line");
        std::string text = slurp(path);
        EXPECT_EQ(c.in_file, text.find("line") != std::string::npos) << c.level << " " << c.category;
        EXPECT_EQ(c.in_ring, log_ring->count == 1) << c.level << " " << c.category;
    }
    unlink(path.c_str());
    if (logfd != -1) close(logfd);
    logfd = -1;
    loglevel = 0x7FFFFFF;
    putlog(0x3, "x");
    EXPECT_NE(std::string::npos, slurp(path).find("] x\n"));
}

TEST_F(LogTest, LongMessageCutAt8191) {
    std::string big(9000, 'a');
    putlog(LOG_ERROR, "%s", big.c_str());
    std::string text = slurp(path);
    EXPECT_EQ(8192u, text.size());
    EXPECT_EQ('\n', text.back());
    EXPECT_EQ(8191u, strlen(log_ring->newest->line));
}

TEST_F(LogTest, NoSecondNewline) {
    putlog(LOG_ERROR, "ends\n");
    putlog(LOG_ERROR, "plain");
    std::string text = slurp(path);
    EXPECT_EQ(std::string::npos, text.find("\n\n"));
    EXPECT_EQ(2, std::count(text.begin(), text.end(), '\n'));
    // the ring keeps the line as the message made it
    EXPECT_EQ(std::string("plain"), std::string(log_ring->newest->line).substr(strlen(log_ring->newest->line) - 5));
    EXPECT_EQ('\n', log_ring->newest->older->line[strlen(log_ring->newest->older->line) - 1]);
}

TEST_F(LogTest, RotationRenamesAndReopens) {
    putlog(LOG_ERROR, "before");
    logflg = -1;
    putlog(LOG_ERROR, "after");
    EXPECT_EQ(0, logflg);
    std::string current = slurp(path);
    EXPECT_NE(std::string::npos, current.find("after"));
    EXPECT_EQ(std::string::npos, current.find("before"));
    // exactly one rotated file named <stamp>-native.log holding the old line
    std::string listing;
    FILE *p = popen((std::string("ls ") + dir).c_str(), "r");
    char buf[256];
    while (fgets(buf, sizeof buf, p)) listing += buf;
    pclose(p);
    std::istringstream names(listing);
    std::string name, rotated;
    int count = 0;
    while (names >> name) {
        if (name != "native.log") {
            rotated = name;
            count++;
        }
    }
    ASSERT_EQ(1, count) << listing;
    EXPECT_EQ(14u + 1 + 10, rotated.size());
    EXPECT_EQ("-native.log", rotated.substr(14));
    EXPECT_NE(std::string::npos, slurp(std::string(dir) + "/" + rotated).find("before"));
}

TEST_F(LogTest, PendingRotationWithClosedFileOpensFirst) {
    logflg = -1;
    putlog(LOG_ERROR, "first");
    EXPECT_EQ(-1, logflg);  // rotation waits for the write after
    putlog(LOG_ERROR, "second");
    EXPECT_EQ(0, logflg);
    EXPECT_EQ(std::string::npos, slurp(path).find("first"));
}

TEST_F(LogTest, BareNameNeverRotates) {
    char cwd[512];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(dir));
    snprintf(logfile, sizeof logfile, "bare.log");
    putlog(LOG_ERROR, "one");
    logflg = -1;
    putlog(LOG_ERROR, "two");
    std::string text = slurp("bare.log");
    EXPECT_NE(std::string::npos, text.find("one"));
    EXPECT_NE(std::string::npos, text.find("two"));
    ASSERT_EQ(0, chdir(cwd));
}

TEST(LogBuffer, CapacityResizeClear) {
    LOGBUFFER *ring = logbuffer_new(1000);
    for (int i = 0; i < 1005; i++) logbuffer_add(ring, std::to_string(i).c_str());
    EXPECT_EQ(1000, ring->count);
    EXPECT_STREQ("1004", ring->newest->line);
    EXPECT_STREQ("5", ring->oldest->line);

    logbuffer_resize(ring, 10);
    EXPECT_EQ(10, ring->count);
    EXPECT_STREQ("995", ring->oldest->line);
    std::vector<std::string> lines = ring_lines(ring);
    EXPECT_EQ(10u, lines.size());

    logbuffer_resize(ring, 2000);
    for (int i = 0; i < 20; i++) logbuffer_add(ring, "x");
    EXPECT_EQ(30, ring->count);

    logbuffer_resize(ring, -1);  // ignored
    EXPECT_EQ(2000, ring->capacity);

    logbuffer_resize(ring, 0);
    EXPECT_EQ(0, ring->count);
    logbuffer_add(ring, "y");
    EXPECT_EQ(0, ring->count);
    EXPECT_EQ(nullptr, ring->newest);

    logbuffer_resize(ring, 5);
    logbuffer_add(ring, "z");
    logbuffer_clear(ring);
    EXPECT_EQ(0, ring->count);
    EXPECT_EQ(5, ring->capacity);
    EXPECT_EQ(nullptr, ring->oldest);
    free(ring);
}

// Many writers at once, lines of changing lengths so that reused nodes must
// grow: the ring stays whole, every line intact, each writer's lines in the
// order written.
TEST(LogBuffer, ConcurrentWritersKeepTheRingWhole) {
    LOGBUFFER *ring = logbuffer_new(100);
    const int writers = 8, lines_each = 4000;
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; t++) {
        threads.emplace_back([ring, t] {
            for (int i = 0; i < lines_each; i++) {
                std::string line =
                    std::to_string(t) + ":" + std::to_string(i) + ":" + std::string((size_t)(i % 700), 'a' + (char)t);
                logbuffer_add(ring, line.c_str());
            }
        });
    }
    for (std::thread &thread : threads) thread.join();

    ASSERT_EQ(100, ring->count);
    ASSERT_EQ(nullptr, ring->newest->newer);
    ASSERT_EQ(nullptr, ring->oldest->older);
    std::vector<int> last(writers, lines_each);
    int walked = 0;
    for (LOGNODE *node = ring->newest; node; node = node->older, walked++) {
        if (node->older) {
            ASSERT_EQ(node, node->older->newer);
        } else {
            ASSERT_EQ(ring->oldest, node);
        }
        int t = -1, i = -1, used = 0;
        ASSERT_EQ(2, sscanf(node->line, "%d:%d:%n", &t, &i, &used)) << node->line;
        ASSERT_TRUE(t >= 0 && t < writers);
        EXPECT_EQ(std::string((size_t)(i % 700), 'a' + (char)t), std::string(node->line + used));
        EXPECT_LT(i, last[(size_t)t]) << "lines of writer " << t << " out of order";
        last[(size_t)t] = i;
    }
    EXPECT_EQ(100, walked);
    logbuffer_clear(ring);
    free(ring);
}

// Many threads log numbered lines while another thread rotates the file
// again and again (several times within one second too): the rotated files
// and the current one together hold every line exactly once and whole, and
// each file holds each thread's lines in order, without gaps.
TEST_F(LogTest, RotationUnderLoadLosesNoLine) {
    const int writers = 8, rotations = 25, least = 2000, most = 200000;
    const std::string padding(300, 'x');
    std::atomic<bool> rotated_all{false};
    std::vector<int> written(writers, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; t++) {
        threads.emplace_back([&, t] {
            int i = 0;
            for (; i < most && (i < least || !rotated_all.load()); i++)
                putlog(LOG_CACHE, "writer %d line %d %s", t, i, padding.c_str());
            written[(size_t)t] = i;
        });
    }
    int done = 0;
    for (int r = 0; r < rotations; r++) {
        logflg = -1;
        for (int wait = 0; wait < 5000 && logflg == -1; wait++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (logflg == -1) break;
        done++;
    }
    rotated_all = true;
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(rotations, done);

    DIR *d = opendir(dir);
    ASSERT_NE(nullptr, d);
    std::vector<std::string> files;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') files.push_back(std::string(dir) + "/" + e->d_name);
    closedir(d);
    EXPECT_EQ((size_t)done + 1, files.size());

    std::vector<std::vector<int>> seen(writers);
    for (const std::string &file : files) {
        std::istringstream text(slurp(file));
        std::vector<int> last(writers, -1);
        std::string line;
        while (std::getline(text, line)) {
            // "YYYY MM DD HH:MM:SS [0] cache: writer T line I xxx..."
            int t = -1, i = -1, used = 0;
            ASSERT_GT(line.size(), 19u) << file;
            ASSERT_EQ(2, sscanf(line.c_str() + 19, " [0] cache: writer %d line %d %n", &t, &i, &used)) << line;
            ASSERT_TRUE(t >= 0 && t < writers) << line;
            ASSERT_EQ(padding, line.substr(19 + (size_t)used)) << "a line cut or mixed: " << line;
            if (last[(size_t)t] != -1) {
                ASSERT_EQ(last[(size_t)t] + 1, i) << "writer " << t << " in " << file;
            }
            last[(size_t)t] = i;
            seen[(size_t)t].push_back(i);
        }
    }
    for (int t = 0; t < writers; t++) {
        std::vector<int> &got = seen[(size_t)t];
        std::sort(got.begin(), got.end());
        ASSERT_EQ((size_t)written[(size_t)t], got.size()) << "writer " << t;
        for (size_t i = 0; i < got.size(); i++) ASSERT_EQ((int)i, got[i]) << "writer " << t;
    }
}

TEST(LogCategories, PrefixesAndHelpNames) {
    EXPECT_STREQ("advice: ", log_prefix(LOG_ADVICE));
    EXPECT_STREQ("URL blacklist: ", log_prefix(LOG_URLBL));
    EXPECT_STREQ("", log_prefix(0x3));
    EXPECT_STREQ("config syncronization", log_helpname(LOG_SYNC));
    EXPECT_EQ(nullptr, log_helpname(LOG_VERIFY));
}

}  // namespace
