#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dirlist.h"
#include "filebuf.h"
#include "proto_ftp.h"

namespace {

struct Parsed {
    std::vector<dir_t> entries;
};

Parsed parse(const std::string &text) {
    Filebuf listing;
    listing.Add(text.data(), (long long)text.size());
    // A fixed "now" in 2021 for dates without a year.
    struct tm now = {};
    now.tm_year = 121;
    now.tm_mon = 5;
    now.tm_mday = 1;
    now.tm_isdst = -1;
    dir_t *list = dir_list_parse(&listing, mktime(&now));
    Parsed parsed;
    for (dir_t *e = list; e; e = e->next) parsed.entries.push_back(*e);
    dir_list_free(list);
    return parsed;
}

std::vector<std::string> names(dir_t *list) {
    std::vector<std::string> out;
    for (dir_t *e = list; e; e = e->next) out.push_back(e->name);
    return out;
}

TEST(DirList, LinesOfTheLongForm) {
    struct Case {
        const char *line;
        const char *name;
        const char *group;
        uint64_t size;
        int directory;
        int year;
    } cases[] = {
        {"drwxr-xr-x 2 u g 4096 Jan 5 10:00 my dir", "my dir/", "g", 4096, 1, 2021},
        {"-rw-r--r-- 1 u 512 Jan 5 2004 a", "a", "unknown", 512, 0, 2004},
        {"lrwxrwxrwx 1 u g 4 Jan 5 2004 link -> target", "link", "g", 4, 0, 2004},
        {"-rw-r--r-- 1 u g 6000000000 Mar 1 2020 huge.iso", "huge.iso", "g", 6000000000ULL, 0, 2020},
        {"-rw-r--r--   1 u   g   7 Jan  5  2004 two  blanks\r", "two  blanks", "g", 7, 0, 2004},
    };
    for (const Case &c : cases) {
        Parsed p = parse(std::string(c.line) + "\n");
        ASSERT_EQ(p.entries.size(), 1u) << c.line;
        const dir_t &e = p.entries[0];
        EXPECT_EQ(e.name, c.name);
        EXPECT_EQ(e.group, c.group);
        EXPECT_EQ(e.size, c.size);
        EXPECT_EQ(e.directory, c.directory);
        EXPECT_EQ(e.date.tm_year + 1900, c.year) << c.line;
        EXPECT_EQ(e.date.tm_mon, c.year == 2020 ? 2 : 0);
    }
}

TEST(DirList, UnparsableAndHostileLinesAreSkipped) {
    std::string listing =
        "total 42\n"
        "-rw-r--r-- 1 u g 1 Jan 5 2004 first\n"
        "01-05-04  10:00AM       <DIR>          dos\n"
        "-rw-r--r-- 1 u g notanumber Jan 5 2004 bad size\n"
        "-rw-r--r-- 1 u g 1 Jan 5 2004 " +
        std::string(100 * 1024, 'L') +
        "\n"
        "-rw-r--r-- 1 u g 1 Jan 5 2004 ..\n"
        "-rw-r--r-- 1 u g 1 Jan 5 2004 a/b\n"
        "\n"
        "-rw-r--r-- 1 u g 1 Feb 31 2004 odd date\n"
        "-rw-r--r-- 1 u g 2 Jan 5 2004 last";
    Parsed p = parse(listing);
    ASSERT_EQ(p.entries.size(), 3u);
    EXPECT_EQ(p.entries[0].name, "first");
    EXPECT_EQ(p.entries[1].name, "odd date");
    EXPECT_EQ(p.entries[2].name, "last");
    EXPECT_TRUE(parse("").entries.empty());
    EXPECT_TRUE(parse("01-05-04  10:00AM  <DIR>  dos\n").entries.empty());
}

TEST(DirList, SortAndFilter) {
    Filebuf listing;
    const char *text =
        "-rw-r--r-- 1 u g 30 Jan 5 2004 b.txt\n"
        "drwxr-xr-x 2 u g 4096 Jan 6 2004 Dir\n"
        "-rw-r--r-- 1 u g 10 Jan 7 2004 a.TXT\n"
        "-rw-r--r-- 1 u g 20 Jan 4 2004 c.bin\n";
    listing.Add(text, (long long)strlen(text));
    dir_t *list = dir_list_parse(&listing);
    struct Case {
        int order, field;
        std::vector<std::string> expected;
    } cases[] = {
        {DIRLIST_ASCENDING, DIRLIST_NAME, {"a.TXT", "b.txt", "c.bin", "Dir/"}},
        {DIRLIST_DESCENDING, DIRLIST_NAME, {"Dir/", "c.bin", "b.txt", "a.TXT"}},
        {DIRLIST_ASCENDING, DIRLIST_SIZE, {"Dir/", "a.TXT", "c.bin", "b.txt"}},
        {DIRLIST_DESCENDING, DIRLIST_SIZE, {"b.txt", "c.bin", "a.TXT", "Dir/"}},
        {DIRLIST_ASCENDING, DIRLIST_DATE, {"c.bin", "b.txt", "Dir/", "a.TXT"}},
        {DIRLIST_DESCENDING, DIRLIST_DATE, {"a.TXT", "Dir/", "b.txt", "c.bin"}},
        {DIRLIST_ASCENDING, DIRLIST_NONE, {"a.TXT", "Dir/", "b.txt", "c.bin"}},  // as the last sort left it
    };
    for (const Case &c : cases) {
        if (c.field == DIRLIST_NONE) {
            list = dir_list_sort(list, DIRLIST_ASCENDING, DIRLIST_DATE);
            list = dir_list_sort(list, DIRLIST_DESCENDING, DIRLIST_DATE);
            list = dir_list_sort(list, c.order, c.field);
            EXPECT_EQ(names(list), (std::vector<std::string>{"a.TXT", "Dir/", "b.txt", "c.bin"}));
            continue;
        }
        list = dir_list_sort(list, c.order, c.field);
        EXPECT_EQ(names(list), c.expected) << c.order << " " << c.field;
        EXPECT_EQ(list->prev, nullptr);
    }
    list = dir_list_filter(list, "txt$");
    EXPECT_EQ(names(list).size(), 2u);
    list = dir_list_filter(list, "([");  // invalid: everything stays
    EXPECT_EQ(names(list).size(), 2u);
    list = dir_list_filter(list, "^b");
    EXPECT_EQ(names(list), (std::vector<std::string>{"b.txt"}));
    EXPECT_EQ(dir_list_find(list, "b.txt"), list);
    EXPECT_EQ(dir_list_find(list, "B.TXT"), nullptr);
    dir_list_free(list);
}

TEST(DirList, LinksArePercentEncoded) {
    EXPECT_EQ(dir_link_encode("my file.txt"), "my%20file.txt");
    EXPECT_EQ(dir_link_encode("<a>&\"'?#:"), "%3Ca%3E%26%22%27%3F%23%3A");
    EXPECT_EQ(dir_link_encode("caf\xc3\xa9"), "caf%C3%A9");
    EXPECT_EQ(dir_link_encode("a-b_c.d~"), "a-b_c.d~");
}

TEST(FtpText, DecodedAndControlBytesRefused) {
    struct Case {
        const char *in;
        bool ok;
        const char *out;
    } cases[] = {
        {"/pub/my%20dir/", true, "/pub/my dir/"},
        {"/a%2fb", true, "/a/b"},
        {"/100%", true, "/100%"},
        {"/%zz", true, "/%zz"},
        {"/a%0d%0aDELE x", false, ""},
        {"/a%0AQUIT", false, ""},
        {"/a%00b", false, ""},
        {"action=raw&argument=NOOP%0d", false, ""},
    };
    for (const Case &c : cases) {
        std::string out;
        EXPECT_EQ(ftp_text_decode(c.in, &out), c.ok) << c.in;
        if (c.ok) {
            EXPECT_EQ(out, c.out);
        }
    }
    std::string out;
    EXPECT_FALSE(ftp_text_decode(std::string("/a\rb"), &out));
    EXPECT_FALSE(ftp_text_decode(std::string("/a\nb"), &out));
}

}  // namespace
