#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hooks.h"
#include "processors.h"

namespace {

// Each callback appends its letter to the trace and returns its fixed result.
std::string trace;
int result_a, result_b, result_c;

int proc_a(CONNECTION_T *, Filebuf *) {
    trace += 'a';
    return result_a;
}
int proc_b(CONNECTION_T *, Filebuf *) {
    trace += 'b';
    return result_b;
}
int proc_c(CONNECTION_T *, Filebuf *) {
    trace += 'c';
    return result_c;
}

int hook_a(void *, void *) {
    trace += 'a';
    return result_a;
}
int hook_b(void *, void *) {
    trace += 'b';
    return result_b;
}
int hook_c(void *, void *) {
    trace += 'c';
    return result_c;
}

CONNECTION_T *seen_connection;
Filebuf *seen_buffer;
int proc_args(CONNECTION_T *c, Filebuf *b) {
    seen_connection = c;
    seen_buffer = b;
    return 7;
}

class ProcessorsTest : public ::testing::Test {
protected:
    void SetUp() override {
        trace.clear();
        result_a = result_b = result_c = 0;
    }
    Processors registry;
    Hooks hookreg;
};

TEST_F(ProcessorsTest, RegisteredAtMostOnceWhateverTheStage) {
    EXPECT_EQ(1, registry.Add(proc_a, PROCESSOR_RESPMOD));
    EXPECT_EQ(0, registry.Add(proc_a, PROCESSOR_RESPMOD));
    EXPECT_EQ(0, registry.Add(proc_a, PROCESSOR_REQCHECK));
    registry.Execute(PROCESSOR_RESPMOD, nullptr, nullptr);
    registry.Execute(PROCESSOR_REQCHECK, nullptr, nullptr);
    EXPECT_EQ("a", trace);

    EXPECT_EQ(1, hookreg.Add(hook_a, HOOK_CONFIG));
    EXPECT_EQ(0, hookreg.Add(hook_a, HOOK_PRERESPMOD));
}

TEST_F(ProcessorsTest, EmptyStageReturnsZero) {
    registry.Add(proc_a, PROCESSOR_REQMOD);
    result_a = 5;
    EXPECT_EQ(0, registry.Execute(PROCESSOR_AUTH, nullptr, nullptr));
    EXPECT_EQ(0, hookreg.Execute(HOOK_POSTRESPMOD, nullptr, nullptr));
    EXPECT_EQ("", trace);
}

TEST_F(ProcessorsTest, PassesConnectionAndBuffer) {
    registry.Add(proc_args, PROCESSOR_REQHEADER);
    CONNECTION_T *c = reinterpret_cast<CONNECTION_T *>(0x1000);
    Filebuf *b = reinterpret_cast<Filebuf *>(0x2000);
    EXPECT_EQ(7, registry.Execute(PROCESSOR_REQHEADER, c, b));
    EXPECT_EQ(c, seen_connection);
    EXPECT_EQ(b, seen_buffer);
}

TEST_F(ProcessorsTest, StopRulesPerStage) {
    struct Case {
        int stage;
        int a, b, c;
        const char *trace;
        int result;
    };
    const std::vector<Case> cases = {
        {PROCESSOR_REQCHECK, 0, 1, 0, "ab", 1},    {PROCESSOR_REQCHECK, 2, 0, 3, "abc", 3},  // only exactly 1 stops
        {PROCESSOR_REQCHECK, 1, 1, 1, "a", 1},     {PROCESSOR_REQMOD, 0, 1, 0, "ab", 1},
        {PROCESSOR_RESPCHECK, 0, 1, 0, "ab", 1},   {PROCESSOR_BUFFCHECK, 0, 1, 0, "ab", 1},
        {PROCESSOR_AUTH, 1, 0, 0, "a", 1},         {PROCESSOR_RESPMOD, 1, 1, 0, "abc", 0},  // all run, last result
        {PROCESSOR_RESPMOD, 0, 0, 4, "abc", 4},    {PROCESSOR_REQHEADER, 1, 0, 1, "abc", 1},
        {PROCESSOR_RESPHEADER, 1, 1, 2, "abc", 2}, {9, 1, 1, 2, "abc", 2},  // a stage outside the table stops nowhere
    };
    for (const Case &t : cases) {
        Processors p;
        p.Add(proc_a, t.stage);
        p.Add(proc_b, t.stage);
        p.Add(proc_c, t.stage);
        trace.clear();
        result_a = t.a;
        result_b = t.b;
        result_c = t.c;
        EXPECT_EQ(t.result, p.Execute(t.stage, nullptr, nullptr)) << "stage " << t.stage;
        EXPECT_EQ(t.trace, trace) << "stage " << t.stage;
    }
}

TEST_F(ProcessorsTest, OnlyTheStagesCallbacksRunInRegistrationOrder) {
    registry.Add(proc_c, PROCESSOR_RESPMOD);
    registry.Add(proc_b, PROCESSOR_BUFFCHECK);
    registry.Add(proc_a, PROCESSOR_RESPMOD);
    registry.Execute(PROCESSOR_RESPMOD, nullptr, nullptr);
    EXPECT_EQ("ca", trace);
}

TEST_F(ProcessorsTest, RemoveTakesTheEntryOut) {
    registry.Add(proc_a, PROCESSOR_RESPMOD);
    registry.Add(proc_b, PROCESSOR_RESPMOD);
    registry.Add(proc_c, PROCESSOR_RESPMOD);
    EXPECT_EQ(1, registry.Remove(proc_b));
    EXPECT_EQ(0, registry.Remove(proc_b));
    registry.Execute(PROCESSOR_RESPMOD, nullptr, nullptr);
    EXPECT_EQ("ac", trace);
    // Once removed it may come back, now at the end.
    EXPECT_EQ(1, registry.Add(proc_b, PROCESSOR_RESPMOD));
    EXPECT_EQ(1, registry.Remove(proc_a));
    trace.clear();
    registry.Execute(PROCESSOR_RESPMOD, nullptr, nullptr);
    EXPECT_EQ("cb", trace);

    hookreg.Add(hook_a, HOOK_CONFIG);
    EXPECT_EQ(0, hookreg.Remove(hook_b));
    EXPECT_EQ(1, hookreg.Remove(hook_a));
    EXPECT_EQ(0, hookreg.Execute(HOOK_CONFIG, nullptr, nullptr));
}

TEST_F(ProcessorsTest, HooksStopAtFirstOneForEveryType) {
    for (int type : {HOOK_CONFIG, HOOK_PRERESPMOD, HOOK_POSTRESPMOD}) {
        Hooks h;
        h.Add(hook_a, type);
        h.Add(hook_b, type);
        h.Add(hook_c, type);
        trace.clear();
        result_a = 2;
        result_b = 1;
        result_c = 0;
        EXPECT_EQ(1, h.Execute(type, nullptr, nullptr));
        EXPECT_EQ("ab", trace);
        trace.clear();
        result_b = 0;
        result_c = 3;
        EXPECT_EQ(3, h.Execute(type, nullptr, nullptr));
        EXPECT_EQ("abc", trace);
    }
}

int self_removing(CONNECTION_T *, Filebuf *);
int self_removing(CONNECTION_T *, Filebuf *) {
    trace += 's';
    processors.Remove(self_removing);
    return 0;
}

// A callback that leaves the program-wide registry while it is being walked
// must not cut the walk short or touch freed memory.
TEST_F(ProcessorsTest, RemovalDuringAWalkIsSafe) {
    ASSERT_EQ(1, processors.Add(self_removing, PROCESSOR_RESPMOD));
    ASSERT_EQ(1, processors.Add(proc_a, PROCESSOR_RESPMOD));
    processors.Execute(PROCESSOR_RESPMOD, nullptr, nullptr);
    processors.Execute(PROCESSOR_RESPMOD, nullptr, nullptr);
    EXPECT_EQ("saa", trace);
    processors.Remove(proc_a);
}

std::atomic<int> calls;
template <int N>
int counted(CONNECTION_T *, Filebuf *) {
    calls++;
    return N == 0 ? 0 : 2;
}
template <int... N>
std::vector<PROCESSOR_CALLBACK> make_counted(std::integer_sequence<int, N...>) {
    return {counted<N>...};
}

// Registrations while a request thread walks the same stage: the walker sees
// each entry whole or not at all, and the final list holds them all in order.
TEST_F(ProcessorsTest, AppendWhileWalking) {
    const std::vector<PROCESSOR_CALLBACK> callbacks = make_counted(std::make_integer_sequence<int, 64>());
    Processors p;
    p.Add(callbacks[0], PROCESSOR_RESPMOD);
    std::atomic<bool> done(false);
    std::thread walker([&] {
        for (int i = 0; i < 100000 && !done; i++) p.Execute(PROCESSOR_RESPMOD, nullptr, nullptr);
    });
    for (size_t i = 1; i < callbacks.size(); i++) EXPECT_EQ(1, p.Add(callbacks[i], PROCESSOR_RESPMOD));
    done = true;
    walker.join();
    calls = 0;
    EXPECT_EQ(2, p.Execute(PROCESSOR_RESPMOD, nullptr, nullptr));
    EXPECT_EQ(64, calls.load());
}

}  // namespace
