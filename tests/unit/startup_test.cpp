#include <gtest/gtest.h>

#include "startup.h"

TEST(Startup, PrintRlimit) {
    struct Case {
        long current, maximum;
        const char *text;
    } cases[] = {
        {1024, 4096, "current: 1024  maximum: 4096"},
        {-1, 4096, "current: unlimited  maximum: 4096"},
        {1024, -1, "current: 1024  maximum: unlimited"},
        {-1, -1, "current: unlimited  maximum: unlimited"},
        {0, 0, "current: 0  maximum: 0"},
    };
    for (const Case &c : cases) EXPECT_EQ(print_rlimit(c.current, c.maximum), c.text);
}
