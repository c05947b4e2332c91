// Buffered socket over real descriptors: socket pairs for the buffering and
// callback rules, a loopback TLS server for the client mode.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "atom.h"
#include "clock.h"
#include "filebuf.h"
#include "global.h"
#include "perflog.h"
#include "settings.h"
#include "socket.h"
#include "ssl.h"
#include "stats.h"

extern char **environ;

namespace {

class IgnorePipe : public ::testing::Environment {
public:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }
};
::testing::Environment *const ignore_pipe = ::testing::AddGlobalTestEnvironment(new IgnorePipe);

// Writes all of text to a raw descriptor.
void put(int fd, const std::string &text) {
    size_t done = 0;
    for (int i = 0; i < 100000 && done < text.size(); i++) {
        ssize_t r = write(fd, text.data() + done, text.size() - done);
        if (r <= 0) break;
        done += (size_t)r;
    }
    ASSERT_EQ(done, text.size());
}

// Reads from a raw descriptor until end of stream (or limit bytes).
std::string drain(int fd, size_t limit = (size_t)64 << 20) {
    std::string all;
    char block[65536];
    for (int i = 0; i < 100000 && all.size() < limit; i++) {
        ssize_t r = read(fd, block, sizeof block);
        if (r <= 0) break;
        all.append(block, (size_t)r);
    }
    return all;
}

// A Socket over one end of a stream pair and the raw other end.
class SocketPair : public ::testing::Test {
protected:
    Socket *s = nullptr;
    int peer = -1;
    int saved_blocksize = BLOCKSIZE;

    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        s = new Socket(fds[0]);
        peer = fds[1];
    }
    void TearDown() override {
        delete s;
        if (peer != -1) close(peer);
        BLOCKSIZE = saved_blocksize;
    }
    void close_peer() {
        close(peer);
        peer = -1;
    }
    std::string held() const { return std::string(s->in, s->in_length); }
};

// ------------------------------------------------------------------ Read

TEST_F(SocketPair, ReadDeliversHeldBytesFirstThenOneSystemRead) {
    s->PushFront("abcd", 4);
    put(peer, "efghijklmn");
    char buffer[32];
    ASSERT_EQ(s->Read(buffer, 10), 10);
    EXPECT_EQ(std::string(buffer, 10), "abcdefghij");
    // The surplus of the system read stays for the next call.
    EXPECT_EQ(held(), "klmn");
    EXPECT_EQ(s->bytes_in, 10u);  // only system reads count
}

TEST_F(SocketPair, ReadFromHeldBytesOnly) {
    struct Case {
        const char *held;
        int n;
        const char *delivered;
        const char *left;
    } cases[] = {
        {"hello world", 5, "hello", " world"},
        {"hello", 5, "hello", ""},
    };
    for (const auto &c : cases) {
        s->Clear(0);
        s->PushFront(c.held, (unsigned)strlen(c.held));
        char buffer[32];
        ASSERT_EQ(s->Read(buffer, c.n, 1), c.n) << c.held;
        EXPECT_EQ(std::string(buffer, (size_t)c.n), c.delivered);
        EXPECT_EQ(held(), c.left);
    }
    EXPECT_EQ(s->bytes_in, 0u);
}

TEST_F(SocketPair, ReadTimeOutAndEndOfStream) {
    char buffer[16];
    EXPECT_EQ(s->Read(buffer, 8, 1), -1);  // nothing arrives

    // Held bytes are delivered when nothing more comes in time.
    s->PushFront("ab", 2);
    EXPECT_EQ(s->Read(buffer, 8, 1), 2);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    EXPECT_EQ(s->in_length, 0u);

    // Data sent just before the peer closes is still read, then end of stream.
    put(peer, "xy");
    close_peer();
    EXPECT_EQ(s->Read(buffer, 8, 1), 2);
    EXPECT_EQ(std::string(buffer, 2), "xy");
    EXPECT_EQ(s->Read(buffer, 8, 1), 0);  // end of stream
    EXPECT_EQ(s->Read(buffer, 8), 0);
}

// Just after a write, a read that may wait looks for the answer by waiting
// first: whatever the answer's timing, it reads the same as without a write.
TEST_F(SocketPair, ReadsAfterAWriteSeeEveryAnswer) {
    enum Answer { already_there, comes_later, peer_closes, never };
    struct Case {
        Answer answer;
        int timeout;
        int result;  // of Read(nullptr, -1, timeout)
    } cases[] = {
        {already_there, 2, 5}, {already_there, 0, 5}, {comes_later, 2, 5},
        {peer_closes, 2, 0},   {never, 1, -1},         {never, 0, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "answer " << c.answer << " timeout " << c.timeout);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        Socket sock(fds[0]);
        ASSERT_EQ(sock.Write("GET /\r\n", 7), 7);
        std::thread later;
        if (c.answer == already_there) put(fds[1], "hello");
        if (c.answer == comes_later)
            later = std::thread([&] {
                usleep(100 * 1000);
                put(fds[1], "hello");
            });
        if (c.answer == peer_closes) shutdown(fds[1], SHUT_WR);
        EXPECT_EQ(sock.Read(nullptr, -1, c.timeout), c.result);
        if (c.result > 0) {
            EXPECT_EQ(std::string(sock.in, sock.in_length), "hello");
        }
        if (later.joinable()) later.join();
        close(fds[1]);
    }
}

TEST_F(SocketPair, FillAppendsOneBlockWithoutReadEvent) {
    int events = 0;
    s->CallBackAdd(
        [](void *data, int, char *) {
            ++*(int *)data;
            return 0;
        },
        &events, SOCKET_EVENT_READ);
    BLOCKSIZE = 4;
    s->PushFront("01", 2);
    put(peer, "abcdefgh");
    EXPECT_EQ(s->Read(nullptr, -1, 1), 4);
    EXPECT_EQ(held(), "01abcd");
    EXPECT_EQ(events, 0);
    EXPECT_EQ(s->bytes_in, 4u);
    close_peer();
    EXPECT_EQ(s->Read(nullptr, -1), 4);
    EXPECT_EQ(s->Read(nullptr, -1), 0);
    EXPECT_EQ(held(), "01abcdefgh");
}

struct EventLog {
    std::vector<std::string> seen;
    int refuse_on = 0;  // event bit to refuse
};

int record(void *data, int length, char *bytes) {
    auto *log = (EventLog *)data;
    std::string text = std::to_string(length);
    if (bytes && length > 0) text += ":" + std::string(bytes, (size_t)length);
    log->seen.push_back(text);
    return 0;
}

TEST_F(SocketPair, ReadEventsRefusalAndError) {
    EventLog log;
    int id = s->CallBackAdd(record, &log, SOCKET_EVENT_READ | SOCKET_EVENT_ERROR);
    put(peer, "data");
    char buffer[16];
    ASSERT_EQ(s->Read(buffer, 16), 4);
    ASSERT_EQ(log.seen, std::vector<std::string>({"4:data"}));

    // A refusing callback turns a successful read into -1.
    int refuse = s->CallBackAdd([](void *, int, char *) { return -1; }, nullptr, SOCKET_EVENT_READ);
    put(peer, "more");
    EXPECT_EQ(s->Read(buffer, 16), -1);
    s->CallBackRemove(refuse);
    s->CallBackRemove(id);
}

TEST(SocketRead, FailedReadAfterHeldBytesFiresErrorEvent) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    Socket s(fds[1]);  // reading a write end fails
    EventLog log;
    s.CallBackAdd(record, &log, SOCKET_EVENT_READ | SOCKET_EVENT_ERROR);
    s.PushFront("ab", 2);
    char buffer[8];
    EXPECT_EQ(s.Read(buffer, 8), 2);
    EXPECT_EQ(log.seen, std::vector<std::string>({"2:ab", "-1"}));
    EXPECT_EQ(s.Read(buffer, 8), -1);  // nothing held: the read's result
}

// ------------------------------------------------------------------ GetLine

TEST(SocketGetLine, Cases) {
    struct Case {
        const char *name;
        int blocksize;
        std::string input;
        int size;
        int result;
        std::string line;  // copied text
        std::string left;  // everything after the line
    } cases[] = {
        {"whole line", 8192, "GET / HTTP/1.0\r\nHost", 64, 16, "GET / HTTP/1.0\r\n", "Host"},
        {"line over many small fills", 3, "GET / HTTP/1.0\r\nHost", 64, 16, "GET / HTTP/1.0\r\n", "Host"},
        {"cut to size - 1", 8192, "0123456789\nnext", 5, 4, "0123", "next"},
        {"cut line over small fills", 2, "0123456789\nnext", 5, 4, "0123", "next"},
        {"exactly size - 1 with line feed", 8192, "abc\nx", 5, 4, "abc\n", "x"},
        {"line feed as the cut byte", 8192, "abcd\nx", 5, 4, "abcd", "x"},
        {"empty line", 8192, "\nrest", 8, 1, "\n", "rest"},
        {"skipped line", 8192, "skip me\nkeep", -1, 8, "", "keep"},
    };
    int saved_blocksize = BLOCKSIZE;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        Socket s(fds[0]);
        put(fds[1], c.input);
        close(fds[1]);
        BLOCKSIZE = c.blocksize;
        char buffer[64];
        memset(buffer, 'Z', sizeof buffer);
        ASSERT_EQ(s.GetLine(c.size == -1 ? nullptr : buffer, c.size, 1), c.result);
        if (c.size != -1) {
            EXPECT_EQ(std::string(buffer), c.line);
        }
        // Whatever the line left: held bytes plus the rest of the stream.
        for (int i = 0; i < 100 && s.Read(nullptr, -1) > 0; i++) {
        }
        EXPECT_EQ(std::string(s.in, s.in_length), c.left);
    }
    BLOCKSIZE = saved_blocksize;
}

TEST_F(SocketPair, GetLineAcrossSeparateWrites) {
    std::thread writer([this] {
        put(peer, "HTTP/1.1 2");
        usleep(50000);
        put(peer, "00 OK\r");
        usleep(50000);
        put(peer, "\nServer: x\r\n");
    });
    char buffer[128];
    int r = s->GetLine(buffer, sizeof buffer, 5);
    writer.join();
    ASSERT_EQ(r, 17);
    EXPECT_STREQ(buffer, "HTTP/1.1 200 OK\r\n");
    ASSERT_EQ(s->GetLine(buffer, sizeof buffer, 5), 11);
    EXPECT_STREQ(buffer, "Server: x\r\n");
}

TEST_F(SocketPair, GetLineEndOfStreamKeepsPartialLine) {
    put(peer, "partial");
    close_peer();
    char buffer[32];
    EXPECT_EQ(s->GetLine(buffer, sizeof buffer), 0);
    EXPECT_EQ(held(), "partial");
}

TEST_F(SocketPair, GetLineTimeOutKeepsPartialLine) {
    put(peer, "no line feed");
    char buffer[32];
    EXPECT_EQ(s->GetLine(buffer, sizeof buffer, 1), -1);
    EXPECT_EQ(held(), "no line feed");
    put(peer, " yet\n");
    EXPECT_EQ(s->GetLine(buffer, sizeof buffer, 1), 17);
    EXPECT_STREQ(buffer, "no line feed yet\n");
}

TEST_F(SocketPair, OverLongLineIsConsumedWithBoundedBuffer) {
    const size_t length = 3 << 20;  // far beyond any buffer a caller passes
    std::thread writer([this, length] { put(peer, std::string(length, 'a') + "\nnext\n"); });
    char buffer[100];
    int r = s->GetLine(buffer, sizeof buffer, 5);
    writer.join();
    ASSERT_EQ(r, 99);
    EXPECT_EQ(std::string(buffer), std::string(99, 'a'));
    EXPECT_LE(s->in_capacity, 3u * 65536);
    ASSERT_EQ(s->GetLine(buffer, sizeof buffer, 5), 5);
    EXPECT_STREQ(buffer, "next\n");
}

// ------------------------------------------------------------------ buffers

TEST(SocketBuffers, ResizeAndClearCapacities) {
    Socket s;
    struct Step {
        unsigned n;  // 0 means Clear
        unsigned capacity;
    } steps[] = {
        {100, 65536}, {65536, 65536}, {65537, 131072},  {70000, 131072},
        {1, 65536},   {0, 65536},     {200000, 262144}, {0, 0},
    };
    for (int which = 0; which < 2; which++) {
        for (const auto &step : steps) {
            if (step.n) s.Resize(step.n, which);
            else s.Clear(which);
            EXPECT_EQ(which ? s.out_capacity : s.in_capacity, step.capacity) << which << " " << step.n;
            EXPECT_EQ(which ? s.out_length : s.in_length, step.n);
        }
    }
}

TEST(SocketBuffers, PushFrontPutsBytesInFront) {
    Socket s;
    EXPECT_EQ(s.PushFront("world", 5), 0u);
    EXPECT_EQ(s.PushFront("hello ", 6), 5u);
    EXPECT_EQ(std::string(s.in, s.in_length), "hello world");
    char buffer[16];
    ASSERT_EQ(s.GetLine(buffer, sizeof buffer, 1), -1);  // no descriptor to fill from
    EXPECT_EQ(s.in_length, 11u);
}

// ------------------------------------------------------------------ Write

TEST_F(SocketPair, PendingOutputIsKeptAndFlushed) {
    s->Blocking(false);
    const std::string data = [] {
        std::string d(4 << 20, '\0');
        for (size_t i = 0; i < d.size(); i++) d[i] = (char)('a' + i % 26);
        return d;
    }();
    int direct = s->Write(data.data(), (int)data.size());
    ASSERT_GE(direct, 0);
    ASSERT_LT((size_t)direct, data.size());  // the pair cannot take 4 MiB at once
    EXPECT_EQ(direct + s->out_length, data.size());

    // With output pending, new bytes are only queued.
    EXPECT_EQ(s->Write("TAIL", 4), 0);

    std::string got;
    std::thread reader([this, &got] { got = drain(peer); });
    EXPECT_EQ(s->Flush(), 0);
    EXPECT_EQ(s->out_length, 0u);
    EXPECT_EQ(s->bytes_out, data.size() + 4);
    shutdown(s->fd, SHUT_WR);
    reader.join();
    EXPECT_TRUE(got == data + "TAIL");
}

TEST_F(SocketPair, FlushReturnsWhenPeerIsGone) {
    s->Blocking(false);
    std::string data(4 << 20, 'x');
    ASSERT_GE(s->Write(data.data(), (int)data.size()), 0);
    ASSERT_GT(s->out_length, 0u);
    close_peer();
    EventLog log;
    s->CallBackAdd(record, &log, SOCKET_EVENT_ERROR | SOCKET_EVENT_WRITE);
    EXPECT_EQ(s->Flush(), 0);
    EXPECT_GT(s->out_length, 0u);
    EXPECT_TRUE(log.seen.empty());  // Write(-1) fails quietly
    // A write after the failure reports it and drops the new bytes.
    unsigned pending = s->out_length;
    EXPECT_EQ(s->Write("abc", 3), -1);
    EXPECT_EQ(s->out_length, pending);
    EXPECT_EQ(log.seen, std::vector<std::string>({"-1"}));
}

TEST_F(SocketPair, WriteEventsAndDirectWrite) {
    EventLog log;
    s->CallBackAdd(record, &log, SOCKET_EVENT_WRITE);
    EXPECT_EQ(s->Write("hello", 5), 5);
    EXPECT_EQ(s->Write(nullptr, -1), 0);  // nothing pending: only the event
    EXPECT_EQ(log.seen, std::vector<std::string>({"5:hello", "-1"}));
    EXPECT_EQ(s->bytes_out, 5u);
    char buffer[8];
    ASSERT_EQ(read(peer, buffer, sizeof buffer), 5);
}

// Held output waits (Flush too) until released; then it leaves ahead of the
// next bytes, in order, and a socket destroyed while holding loses nothing.
TEST_F(SocketPair, HeldOutputLeavesWithTheNextWrite) {
    EventLog log;
    s->CallBackAdd(record, &log, SOCKET_EVENT_WRITE);
    s->Hold();
    EXPECT_EQ(s->Write("HEAD ", 5), 0);
    EXPECT_EQ(s->Flush(), 0);
    EXPECT_EQ(s->out_length, 5u);
    char buffer[64];
    EXPECT_EQ(recv(peer, buffer, sizeof buffer, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);
    s->Release();
    EXPECT_EQ(s->Write("BODY", 4), 4);
    EXPECT_EQ(s->out_length, 0u);
    EXPECT_EQ(s->bytes_out, 9u);
    EXPECT_EQ(log.seen, std::vector<std::string>({"5:HEAD ", "4:BODY"}));

    s->Hold();
    EXPECT_EQ(s->Write("LAST", 4), 0);
    delete s;
    s = nullptr;
    EXPECT_EQ(drain(peer), "HEAD BODYLAST");
}

TEST_F(SocketPair, PutSockAndWriteFilebuf) {
    std::string big(10000, 'p');
    EXPECT_EQ(s->PutSock("%s", big.c_str()), 8191);
    EXPECT_EQ(s->PutSock("n=%d\r\n", 42), 6);
    Filebuf body;
    body.Add("body bytes", 10);
    EXPECT_EQ(s->WriteFilebuf(&body), 10);
    shutdown(s->fd, SHUT_WR);
    EXPECT_EQ(drain(peer), std::string(8191, 'p') + "n=42\r\nbody bytes");
}

// ------------------------------------------------------------------ callbacks

TEST(SocketCallbacks, RegistryAndEventOrder) {
    Socket s;
    EventLog a, b;
    int ida = s.CallBackAdd(record, &a, SOCKET_EVENT_READ);
    int idb = s.CallBackAdd(record, &b, SOCKET_EVENT_READ | SOCKET_EVENT_WRITE);
    EXPECT_EQ(ida, 0);
    EXPECT_EQ(idb, 1);
    EXPECT_EQ(s.CallBackMaskGet(idb), 3);
    char text[] = "x";
    EXPECT_EQ(s.CallBackEvent(SOCKET_EVENT_WRITE, 1, text), 0);
    EXPECT_TRUE(a.seen.empty());
    EXPECT_EQ(b.seen.size(), 1u);

    s.CallBackMaskSet(ida, SOCKET_EVENT_ERROR);
    EXPECT_EQ(s.CallBackEvent(SOCKET_EVENT_READ, 1, text), 0);
    EXPECT_TRUE(a.seen.empty());
    EXPECT_EQ(b.seen.size(), 2u);

    // The first refusal stops the walk.
    s.CallBackMaskSet(ida, SOCKET_EVENT_READ);
    auto refuse = [](void *data, int, char *) {
        ++*(int *)data;
        return -1;
    };
    int refused = 0;
    s.CallBackRemove(idb);
    s.CallBackAdd(refuse, &refused, SOCKET_EVENT_READ);
    s.CallBackAdd(record, &b, SOCKET_EVENT_READ);
    EXPECT_EQ(s.CallBackEvent(SOCKET_EVENT_READ, 1, text), -1);
    EXPECT_EQ(a.seen.size(), 1u);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(b.seen.size(), 2u);
}

struct SelfRemover {
    Socket *socket;
    int id;
    int calls;
};

TEST(SocketCallbacks, CallbackMayRemoveItselfOrOthers) {
    Socket s;
    SelfRemover first{&s, -1, 0}, second{&s, -1, 0};
    auto remove_next = [](void *data, int, char *) {
        auto *r = (SelfRemover *)data;
        r->calls++;
        r->socket->CallBackRemove(r->id);
        return 0;
    };
    auto count = [](void *data, int, char *) {
        ((SelfRemover *)data)->calls++;
        return 0;
    };
    s.CallBackAdd(remove_next, &first, SOCKET_EVENT_READ);
    second.id = s.CallBackAdd(count, &second, SOCKET_EVENT_READ);
    first.id = second.id;  // the first callback removes the second
    EXPECT_EQ(s.CallBackEvent(SOCKET_EVENT_READ, 0, nullptr), 0);
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 0);
    EXPECT_EQ(s.callbacks.size(), 1u);
}

TEST(SocketCallbacksDeathTest, UnknownIdIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char *name;
        void (*call)(Socket *);
    } cases[] = {
        {"remove", [](Socket *s) { s->CallBackRemove(7); }},
        {"mask get", [](Socket *s) { (void)s->CallBackMaskGet(7); }},
        {"mask set", [](Socket *s) { s->CallBackMaskSet(7, 1); }},
    };
    for (const auto &c : cases) {
        Socket s;
        EXPECT_EXIT(c.call(&s), ::testing::ExitedWithCode(1), "") << c.name;
    }
}

// ------------------------------------------------------------------ rate groups

// Frozen clock for the rate windows; tests move it by hand.
struct timeval fake_now = {1000, 0};
void advance_ms(long ms) {
    long long us = (long long)fake_now.tv_usec + ms * 1000;
    fake_now.tv_sec += us / 1000000;
    fake_now.tv_usec = us % 1000000;
    clock_set(fake_now.tv_sec, fake_now.tv_usec);
}

class RateGroups : public SocketPair {
protected:
    void SetUp() override {
        SocketPair::SetUp();
        clock_set(fake_now.tv_sec, fake_now.tv_usec);
    }
    void TearDown() override {
        clock_release();
        SocketPair::TearDown();
    }
};

TEST_F(RateGroups, ThrottleWindows) {
    LimitGroup *group = new LimitGroup(1000);
    EXPECT_EQ(group->quantum, 100);
    Socket a, b;
    a.SetRate(nullptr, group);
    b.SetRate(nullptr, group);
    limitgroup_release(group);  // the sockets hold it now

    EXPECT_EQ(a.Throttle(0), 0);    // no read group: no limit
    EXPECT_EQ(a.Throttle(1), 100);  // first use opens a window
    EXPECT_EQ(group->Incr(60), 60);
    advance_ms(10);
    EXPECT_EQ(b.Throttle(1), 40);  // the rest of the window, across sockets
    EXPECT_EQ(group->Incr(40), 100);
    advance_ms(10);
    // Window used up: waits out its rest, then a fresh window.
    EXPECT_EQ(a.Throttle(1), 100);
    EXPECT_EQ(group->count, 0);
    EXPECT_EQ(group->window_start.tv_sec, fake_now.tv_sec);
    EXPECT_EQ(group->window_start.tv_usec, fake_now.tv_usec);
    group->Incr(30);
    advance_ms(150);
    EXPECT_EQ(b.Throttle(1), 100);  // an old window is simply restarted
    EXPECT_EQ(group->count, 0);
}

TEST(LimitGroupTest, QuantumFromRate) {
    struct Case {
        unsigned rate;
        int quantum;
    } cases[] = {{1000, 100}, {10, 1}, {5, 1}, {0, 0}, {4000000000u, 400000000}};
    for (const auto &c : cases) {
        LimitGroup *g = new LimitGroup(c.rate);
        EXPECT_EQ(g->quantum, c.quantum) << c.rate;
        EXPECT_EQ(g->count, 0);
        limitgroup_release(g);
    }
}

TEST_F(RateGroups, WritesAndReadsStayWithinTheAllowance) {
    LimitGroup *writes = new LimitGroup(1000);
    LimitGroup *reads = new LimitGroup(500);
    s->SetRate(reads, writes);
    limitgroup_release(writes);
    limitgroup_release(reads);

    std::string data(300, 'w');
    EXPECT_EQ(s->Write(data.data(), 300), 100);
    EXPECT_EQ(s->out_length, 200u);
    EXPECT_EQ(writes->count, 100);
    // Output pending: the next window sends from its front, the new bytes queue.
    EXPECT_EQ(s->Write("xyz", 3), 0);
    EXPECT_EQ(s->out_length, 103u);
    EXPECT_EQ(writes->count, 100);
    EXPECT_EQ(s->bytes_out, 200u);

    put(peer, std::string(400, 'r'));
    char buffer[512];
    EXPECT_EQ(s->Read(buffer, 400, 1), 50);
    EXPECT_EQ(reads->count, 50);
    EXPECT_EQ(s->bytes_in, 50u);
}

TEST(LimitGroupTest, SetRateReferences) {
    LimitGroup *g = new LimitGroup(1000);
    {
        Socket s;
        s.SetRate(g, g);
        EXPECT_EQ(g->count, 0);
        EXPECT_EQ(((Atom *)g)->count, 3);
        s.SetRate(g, g);  // the same groups again must survive the swap
        EXPECT_EQ(((Atom *)g)->count, 3);
        s.SetRate(nullptr, g);
        EXPECT_EQ(((Atom *)g)->count, 2);
    }
    EXPECT_EQ(((Atom *)g)->count, 1);  // the destroyed socket dropped its reference
    limitgroup_release(g);
}

// ------------------------------------------------------------------ destruction

uint32_t network_bytes(const char *counter) {
    StatGroup *group = global->stats->FindGroup("network");
    StatCounter *found = group ? group->find(counter) : nullptr;
    return found ? found->value : 0;
}

TEST(SocketLifecycle, DestructionFlushesClosesAndReports) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    global = new GLOBAL_T();
    globalstats_init();
    uint64_t in_before = performance_log->get_bytes_in();
    uint64_t out_before = performance_log->get_bytes_out();

    Socket *s = new Socket(fds[0]);
    s->Blocking(false);
    std::string data(2 << 20, 'd');
    ASSERT_GE(s->Write(data.data(), (int)data.size()), 0);
    ASSERT_GT(s->out_length, 0u);
    std::string got;
    std::thread reader([&] { got = drain(fds[1]); });
    delete s;  // flush, then close: the reader sees all and end of stream
    reader.join();
    close(fds[1]);
    EXPECT_EQ(got.size(), data.size());
    EXPECT_EQ(performance_log->get_bytes_in() - in_before, 0u);
    EXPECT_EQ(performance_log->get_bytes_out() - out_before, data.size());
    EXPECT_EQ(network_bytes("bytes out"), data.size());
    EXPECT_EQ(network_bytes("bytes in"), 0u);

    // A socket that moved nothing adds nothing anywhere.
    delete new Socket();
    EXPECT_EQ(performance_log->get_bytes_out() - out_before, data.size());
    EXPECT_EQ(network_bytes("bytes out"), data.size());
    EXPECT_EQ(network_bytes("bytes in"), 0u);
    EXPECT_EQ(global->stats->FindGroup("network")->total, data.size());

    pthread_mutex_lock(&atomlock);
    stats_release(global->stats);
    pthread_mutex_unlock(&atomlock);
    delete global;
    global = nullptr;
}

// ------------------------------------------------------------------ TLS

TEST(SocketTls, OtherModesAndPlainPeersFail) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Socket s(fds[0]);
    EXPECT_EQ(s.Encrypt(0), 0);
    EXPECT_EQ(s.Encrypt(2), 0);
    EXPECT_EQ(s.ssl, 0);
    // A peer that answers the handshake with plain text and hangs up.
    put(fds[1], "HTTP/1.0 400 Bad\r\n\r\n");
    shutdown(fds[1], SHUT_WR);
    EXPECT_EQ(s.Encrypt(1, "localhost"), 0);
    EXPECT_EQ(s.ssl, 0);
    EXPECT_EQ(s.ssl_session, nullptr);
    EXPECT_EQ(s.ssl_ctx, nullptr);
    close(fds[1]);
}

class TlsServer : public ::testing::Test {
protected:
    std::string dir;
    pid_t pid = -1;
    int port = 0;

    static int run(const std::vector<std::string> &args, pid_t *child) {
        std::vector<char *> argv;
        for (const auto &a : args) argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        int r = posix_spawnp(child, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }

    static int free_port() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || getsockname(fd, (sockaddr *)&a, &len) != 0) {
            close(fd);
            return 0;
        }
        close(fd);
        return ntohs(a.sin_port);
    }

    int connect_server() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, (sockaddr *)&a, sizeof a) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    void SetUp() override {
        char tmpl[] = "/tmp/socket_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        pid_t gen;
        ASSERT_EQ(run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-days",
                       "1", "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem"},
                      &gen),
                  0);
        int status = 0;
        ASSERT_EQ(waitpid(gen, &status, 0), gen);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

        // The port may be taken between the probe and the server's bind: try a few.
        for (int attempt = 0; attempt < 5 && pid == -1; attempt++) {
            port = free_port();
            ASSERT_NE(port, 0);
            pid_t child;
            ASSERT_EQ(run({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                           dir + "/cert.pem", "-key", dir + "/key.pem", "-www", "-quiet"},
                          &child),
                      0);
            for (int wait = 0; wait < 100; wait++) {
                int fd = connect_server();
                if (fd != -1) {
                    close(fd);
                    pid = child;
                    break;
                }
                if (waitpid(child, &status, WNOHANG) == child) break;  // server gave up
                usleep(100000);
            }
            if (pid == -1) {
                kill(child, SIGTERM);
                waitpid(child, &status, 0);
            }
        }
        ASSERT_NE(pid, -1) << "openssl s_server did not start";
    }

    void TearDown() override {
        if (pid != -1) {
            kill(pid, SIGTERM);
            int status;
            waitpid(pid, &status, 0);
        }
        if (!dir.empty()) {
            unlink((dir + "/key.pem").c_str());
            unlink((dir + "/cert.pem").c_str());
            rmdir(dir.c_str());
        }
    }
};

TEST_F(TlsServer, RequestAndReplyOverTls) {
    ssl_init();
    int fd = connect_server();
    ASSERT_NE(fd, -1);
    Socket s(fd);
    ASSERT_EQ(s.Encrypt(1, "localhost"), 1);
    EXPECT_EQ(s.ssl, 1);
    EXPECT_GT(s.PutSock("GET / HTTP/1.0\r\n\r\n"), 0);
    s.Flush();

    char line[256];
    ASSERT_GT(s.GetLine(line, sizeof line, 10), 0);
    EXPECT_EQ(strncmp(line, "HTTP/1.0 200", 12), 0) << line;

    // Head, then the status page to the end of the stream.
    std::string rest;
    char block[4096];
    for (int i = 0; i < 10000; i++) {
        int r = s.Read(block, sizeof block, 10);
        if (r <= 0) break;
        rest.append(block, (size_t)r);
    }
    EXPECT_NE(rest.find("\r\n\r\n"), std::string::npos);
    EXPECT_NE(rest.find("<HTML>"), std::string::npos);
    EXPECT_GT(s.bytes_in, rest.size());  // counts decrypted bytes, the status line too
}

TEST_F(TlsServer, AddressLiteralHostSkipsServerName) {
    int fd = connect_server();
    ASSERT_NE(fd, -1);
    Socket s(fd);
    ASSERT_EQ(s.Encrypt(1, "127.0.0.1"), 1);
    EXPECT_GT(s.PutSock("GET / HTTP/1.0\r\n\r\n"), 0);
    char line[256];
    ASSERT_GT(s.GetLine(line, sizeof line, 10), 0);
    EXPECT_EQ(strncmp(line, "HTTP/1.0 200", 12), 0) << line;
}

}  // namespace
