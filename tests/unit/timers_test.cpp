#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "clock.h"
#include "timers.h"

namespace {

time_t fake_now;
void set_now(time_t now) {
    fake_now = now;
    clock_set(now);
}

// Every run appends "<name>@<clock>" to the trace.
std::vector<std::string> runs;
void record(void *data) {
    runs.push_back(std::string(static_cast<const char *>(data)) + "@" + std::to_string(fake_now));
}

class TimersTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_now(1000);
        runs.clear();
        timers = timers_init();
    }
    void TearDown() override {
        while (timers->head) timers_remove(timers, timers->head->id);
        pthread_mutex_destroy(&timers->lock);
        free(timers);
        clock_release();
    }
    void check_at(time_t now) {
        set_now(now);
        timers_check(timers);
    }
    std::vector<time_t> due_times() const {
        std::vector<time_t> out;
        for (TIMERS_LIST *t = timers->head; t; t = t->next) out.push_back(t->due);
        return out;
    }

    TIMERS *timers;
};

char A[] = "a", B[] = "b", C[] = "c", D[] = "d";

TEST_F(TimersTest, IdsCountFromZero) {
    EXPECT_EQ(0, timers_add(timers, 5, 1, record, A));
    EXPECT_EQ(1, timers_add(timers, 5, 1, record, B));
    EXPECT_EQ(2, timers->next_id);
}

TEST_F(TimersTest, DueOrderThenInsertionOrder) {
    timers_add(timers, 30, 0, record, A);
    timers_add(timers, 10, 0, record, B);
    timers_add(timers, 30, 0, record, C);
    timers_add(timers, 5, 0, record, D);
    EXPECT_EQ((std::vector<time_t>{1005, 1010, 1030, 1030}), due_times());
    check_at(1030);
    EXPECT_EQ((std::vector<std::string>{"d@1030", "b@1030", "a@1030", "c@1030"}), runs);
    EXPECT_EQ(nullptr, timers->head);
}

TEST_F(TimersTest, EqualRepeatingTimersKeepTheirOrderEveryTime) {
    timers_add(timers, 60, 1, record, A);
    timers_add(timers, 60, 1, record, B);
    timers_add(timers, 60, 1, record, C);
    for (int round = 1; round <= 4; round++) check_at(1000 + 60 * round);
    ASSERT_EQ(12u, runs.size());
    for (size_t i = 0; i < runs.size(); i++) EXPECT_EQ("abc"[i % 3], runs[i][0]) << i;
}

TEST_F(TimersTest, NothingRunsBeforeItIsDue) {
    timers_add(timers, 10, 0, record, A);
    check_at(1009);
    EXPECT_TRUE(runs.empty());
    check_at(1010);
    EXPECT_EQ(1u, runs.size());
}

TEST_F(TimersTest, RepeatingNextDue) {
    struct Case {
        int interval;
        time_t run_at;
        time_t next_due;
    };
    // Added at 40 with interval 60: due at 100.
    const std::vector<Case> cases = {
        {60, 100, 160},                  // on time
        {60, 101, 160},                  // late but inside the interval: keeps its phase
        {60, 159, 160}, {60, 160, 161},  // due + interval not later than now
        {60, 170, 171},                  // fell behind: restarts from now
        {0, 40, 41},                     // interval 0 runs once per check
    };
    for (const Case &t : cases) {
        runs.clear();
        set_now(40);
        int id = timers_add(timers, t.interval, 1, record, A);
        check_at(t.run_at);
        EXPECT_EQ(1u, runs.size()) << t.run_at;
        TIMERS_LIST *timer = timers_find(timers, id);
        ASSERT_NE(nullptr, timer);
        EXPECT_EQ(t.next_due, timer->due) << "interval " << t.interval << " run at " << t.run_at;
        EXPECT_EQ(1, timers_remove(timers, id));
    }
}

TEST_F(TimersTest, ADueTimerRunsOncePerCheckEvenWhenFarBehind) {
    timers_add(timers, 10, 1, record, A);
    check_at(1100);
    EXPECT_EQ(1u, runs.size());
    check_at(1100);
    EXPECT_EQ(1u, runs.size());
    check_at(1101);
    EXPECT_EQ(2u, runs.size());
}

TEST_F(TimersTest, OneShotIsFreedAfterItsRun) {
    timers_add(timers, 0, 0, record, A);
    check_at(1000);
    check_at(1001);
    EXPECT_EQ((std::vector<std::string>{"a@1000"}), runs);
    EXPECT_EQ(nullptr, timers->head);
}

TEST_F(TimersTest, RemoveAndFind) {
    int a = timers_add(timers, 10, 1, record, A);
    int b = timers_add(timers, 20, 1, record, B);
    int c = timers_add(timers, 30, 1, record, C);

    EXPECT_EQ(0, timers_remove(timers, 99));
    EXPECT_EQ(nullptr, timers_find(timers, 99));
    EXPECT_EQ(3u, due_times().size());

    TIMERS_LIST *found = timers_find(timers, b);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(B, found->data);
    // The lock is free again after find, or remove would wait for ever.
    EXPECT_EQ(1, timers_remove(timers, b));
    EXPECT_EQ(0, timers_remove(timers, b));
    EXPECT_EQ(nullptr, timers_find(timers, b));

    check_at(1060);
    EXPECT_EQ((std::vector<std::string>{"a@1060", "c@1060"}), runs);

    // Head and tail removal keep the links sound.
    EXPECT_EQ(1, timers_remove(timers, a));
    EXPECT_EQ(1, timers_remove(timers, c));
    EXPECT_EQ(nullptr, timers->head);
}

TEST_F(TimersTest, LinksStaySound) {
    for (int i = 0; i < 8; i++) timers_add(timers, (i * 7) % 5, 1, record, A);
    timers_remove(timers, 3);
    check_at(1002);
    TIMERS_LIST *prev = nullptr;
    int count = 0;
    for (TIMERS_LIST *t = timers->head; t && count < 100; t = t->next, count++) {
        EXPECT_EQ(prev, t->prev);
        if (prev) {
            EXPECT_LE(prev->due, t->due);
        }
        prev = t;
    }
    EXPECT_EQ(7, count);
}

}  // namespace
