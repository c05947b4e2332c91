#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "compat.h"
#include "mem.h"

TEST(Mem, XmallocZeroFills) {
    unsigned char *p = (unsigned char *)xmalloc(16);
    ASSERT_NE(nullptr, p);
    for (int i = 0; i < 16; i++) EXPECT_EQ(0, p[i]);
    free(p);
}

TEST(Mem, XstrndupBounds) {
    char *a = xstrndup("abcdef", 3);
    EXPECT_STREQ("abc", a);
    char *b = xstrndup("ab", 10);
    EXPECT_STREQ("ab", b);
    EXPECT_EQ(nullptr, xstrdup(nullptr));
    free(a);
    free(b);
}

TEST(MemDeath, ZeroSizesAreFatal) {
    EXPECT_EXIT(xmalloc(0), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            void *p = malloc(4);
            xrealloc(p, 0);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(MemDeath, FatalPathPrintsAndExits1) {
    testing::internal::CaptureStdout();
    EXPECT_EXIT(fatal_assert("src/misc", 12, "f"), ::testing::ExitedWithCode(1), "");
    testing::internal::GetCapturedStdout();
}
