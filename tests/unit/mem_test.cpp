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

TEST(Compat, RecursiveDirectory) {
    char dir[64] = "/tmp/korvantel-mem-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    // relative paths are made from the root
    std::string rel = std::string(dir + 1) + "/x//y";
    EXPECT_EQ(1, create_recursive_directory(rel.c_str()));
    struct stat st;
    EXPECT_EQ(0, stat((std::string(dir) + "/x/y").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(1, create_recursive_directory(rel.c_str()));  // exists already
    // a file in the way fails
    std::string file = std::string(dir) + "/f";
    FILE *f = fopen(file.c_str(), "w");
    fclose(f);
    EXPECT_EQ(-1, create_recursive_directory((file + "/sub").c_str()));
    std::string cmd = std::string("rm -rf ") + dir;
    ASSERT_EQ(0, system(cmd.c_str()));
}

TEST(Compat, Resolver) {
    HOSTENT *h = p_gethostbyname("127.0.0.1");
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(4, h->length);
    EXPECT_EQ(127, h->address[0]);
    EXPECT_EQ(1, h->address[3]);
    hostent_free(h);
    EXPECT_EQ(nullptr, p_gethostbyname("nonexistent.invalid"));
    EXPECT_EQ(nullptr, p_gethostbyname(""));
}
