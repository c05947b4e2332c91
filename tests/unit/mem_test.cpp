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

// Blocks freed dirty and taken again (small ones from the allocator's cache,
// large ones from its bins) still come back zeroed.
TEST(Mem, XmallocZeroFillsReusedBlocks) {
    for (size_t size : {1, 24, 100, 1000, 1024, 1025, 5000, 300000}) {
        for (int round = 0; round < 3; round++) {
            unsigned char *dirty = (unsigned char *)malloc(size);
            ASSERT_NE(nullptr, dirty);
            memset(dirty, 0xA5, size);
            free(dirty);
            unsigned char *p = (unsigned char *)xmalloc(size);
            ASSERT_NE(nullptr, p);
            size_t nonzero = 0;
            for (size_t i = 0; i < size; i++) nonzero += p[i] != 0;
            EXPECT_EQ(0u, nonzero) << size;
            free(p);
        }
    }
}

TEST(Mem, XstrdupCopies) {
    for (size_t length : {0, 1, 23, 1023, 1024, 5000}) {
        std::string text(length, 'q');
        for (size_t i = 0; i < length; i++) text[i] = (char)('a' + i % 26);
        char *copy = xstrdup(text.c_str());
        EXPECT_EQ(text, copy);
        free(copy);
        char *cut = xstrndup(text.c_str(), length / 2);
        EXPECT_EQ(text.substr(0, length / 2), cut);
        free(cut);
    }
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
