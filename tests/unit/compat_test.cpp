// Retrying wrappers and platform shims: directories made recursively, the resolver.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "compat.h"

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
