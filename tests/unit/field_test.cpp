// Configuration value types: the whole-text parsers, the list types rules
// match against, and the typed Field.
#include <errno.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "field.h"
#include "filebuf.h"

namespace {

// ---------------------------------------------------------------------------
// Parsers

struct IntCase {
    const char *text;
    bool accepted;
    long long value;
};

TEST(Parsers, StringToInt) {
    const IntCase cases[] = {
        {"", true, 0},
        {"42", true, 42},
        {" -7", true, -7},
        {"+3", true, 3},
        {"5 ", false, 0},
        {"5x", false, 0},
        {"x", false, 0},
        {"2147483647", true, 2147483647LL},
        {"99999999999", true, 2147483647LL},
        {"-99999999999", true, -2147483648LL},
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE(c.text);
        if (c.accepted) EXPECT_EQ(string_to_int(c.text), c.value);
        else EXPECT_THROW(string_to_int(c.text), ConfigError);
    }
}

TEST(Parsers, StringToUint) {
    const IntCase cases[] = {
        {"", true, 0},
        {"-1", true, 4294967295LL},
        {"4294967295", true, 4294967295LL},
        {"4294967296", true, 4294967295LL},
        {"-2", true, 4294967294LL},
        {" 12", true, 12},
        {"1 ", false, 0},
        {"  ", false, 0},
        {"-", false, 0},
        {"12abc", false, 0},
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE(c.text);
        if (c.accepted) EXPECT_EQ(string_to_uint(c.text), (uint32_t)c.value);
        else EXPECT_THROW(string_to_uint(c.text), ConfigError);
    }
}

TEST(Parsers, StringToDouble) {
    EXPECT_DOUBLE_EQ(string_to_double("0.5"), 0.5);
    EXPECT_DOUBLE_EQ(string_to_double(" -2e3"), -2000.0);
    EXPECT_DOUBLE_EQ(string_to_double(""), 0.0);
    EXPECT_THROW(string_to_double("1.5x"), ConfigError);
    EXPECT_THROW(string_to_double("1.5 "), ConfigError);
}

struct SizeCase {
    const char *text;
    bool accepted;
    uint32_t small;  // string_to_filesize
    uint64_t large;  // string_to_longfilesize
};

TEST(Parsers, FileSizes) {
    const SizeCase cases[] = {
        {"10K", true, 10240, 10240},
        {"10 kb", true, 10240, 10240},
        {"10kbit", true, 10240, 10240},
        {"10 KB", true, 10240, 10240},
        {"10 k more words", true, 10240, 10240},
        {"1M", true, 1048576, 1048576},
        {"2 mbit", true, 2097152, 2097152},
        {"3 GB", true, 3221225472u, 3221225472ull},
        {"4g", true, 0, 4294967296ull},
        {"7", true, 7, 7},
        {"  12  ", true, 12, 12},
        {"10 kilobytes", false, 0, 0},
        {"10 t", false, 0, 0},
        {"", false, 0, 0},
        {"   ", false, 0, 0},
        {"k", false, 0, 0},
        {"kb10", false, 0, 0},
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE(c.text);
        if (c.accepted) {
            EXPECT_EQ(string_to_filesize(c.text), c.small);
            EXPECT_EQ(string_to_longfilesize(c.text), c.large);
        } else {
            EXPECT_THROW(string_to_filesize(c.text), ConfigError);
            EXPECT_THROW(string_to_longfilesize(c.text), ConfigError);
        }
    }
}

TEST(Parsers, Addresses) {
    const IntCase cases[] = {
        {"1.2.3.4", true, 0x01020304},
        {"255.255.255.255", true, 0xFFFFFFFFLL},
        {"   10.0.0.1", true, 0x0A000001},
        {"10..0.1", true, 0x0A000001},
        {"10.0.0.1 ", false, 0},
        {"10.0.0", false, 0},
        {"10.0.0.256", false, 0},
        {"10.0.0.-1", false, 0},
        {"10.0.0.1.2", false, 0},
        {"a.b.c.d", false, 0},
        {"", false, 0},
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE(c.text);
        if (c.accepted) EXPECT_EQ(address_to_int(c.text), (uint32_t)c.value);
        else EXPECT_THROW(address_to_int(c.text), ConfigError);
    }
}

// ---------------------------------------------------------------------------
// Lists

TEST(StringListTest, Splitting) {
    const struct {
        const char *text;
        std::vector<std::string> pieces;
    } cases[] = {
        {"", {}},      {"a", {"a"}},      {"a,b", {"a", "b"}}, {"a,,b", {"a", "", "b"}},
        {"a,", {"a"}}, {",a", {"", "a"}}, {",", {""}},         {" a , b", {" a ", " b"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        StringList list(c.text, ",");
        EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()), c.pieces);
    }
    StringList appended("a", ",");
    appended.parse("b,c", ",");
    EXPECT_EQ(appended.size(), 3u);
}

TEST(StringListTest, MembershipAndHelpers) {
    StringList list("alpha,Beta", ",");
    EXPECT_TRUE(list.has("alpha"));
    EXPECT_FALSE(list.has("beta"));
    EXPECT_FALSE(list.has("alph"));
    EXPECT_FALSE(StringList().has(""));

    char buffer[32];
    EXPECT_EQ(StringList::display("abc", buffer), 4);
    EXPECT_STREQ(buffer, "abc,");
    StringList::get_strlist("xyz", buffer);
    EXPECT_STREQ(buffer, "xyz");

    LOGBUFFER *saved = log_ring;
    log_ring = logbuffer_new(10);
    EXPECT_TRUE(StringList::show_p("Active", "staff"));
    ASSERT_NE(log_ring->newest, nullptr);
    EXPECT_NE(strstr(log_ring->newest->line, "Active Profile: staff"), nullptr);
    logbuffer_clear(log_ring);
    free(log_ring);
    log_ring = saved;
}

TEST(StringListTest, Couples) {
    Couple pair("a,b,");
    EXPECT_EQ(pair.first(), "a");
    EXPECT_EQ(pair.second(), "b");
    EXPECT_THROW(Couple("a,,b"), ConfigError);
    EXPECT_THROW(Couple("a"), ConfigError);
    EXPECT_THROW(Couple(""), ConfigError);
}

TEST(StringListTest, SelectVector) {
    StringSelectVector values;
    values.push_back(StringSelect("red", "Red", "", true));
    values.push_back(StringSelect("Green", "Green", "", false));
    EXPECT_EQ(values.case_indexof("GREEN"), 1);
    EXPECT_EQ(values.case_indexof("red"), 0);
    EXPECT_THROW(values.case_indexof("blue"), ConfigError);
    values.reset();
    EXPECT_FALSE(values[0].selected);
}

struct RangeCase {
    const char *ranges;
    const char *address;
    bool inside;
};

TEST(IpRanges, Membership) {
    const RangeCase cases[] = {
        {"", "1.2.3.4", true},
        {"10.0.0.0-", "10.0.0.0", true},
        {"10.0.0.0-", "255.255.255.255", true},
        {"10.0.0.0-", "9.255.255.255", false},
        {"-10.0.0.0", "0.0.0.0", true},
        {"-10.0.0.0", "10.0.0.1", false},
        {"1.1.1.1,,2.2.2.2", "5.5.5.5", true},  // the empty middle element is everything
        {"1.1.1.1, 2.2.2.2", "2.2.2.2", true},
        {"100.0.0.0-250.0.0.0", "200.0.0.1", true},  // unsigned comparison
        {"10.0.0.5-10.0.0.1", "10.0.0.3", false},    // low above high: nothing
        {"192.168.1.7", "192.168.1.7", true},
        {"192.168.1.7", "192.168.1.8", false},
    };
    for (const RangeCase &c : cases) {
        SCOPED_TRACE(std::string(c.ranges) + " has " + c.address);
        IpRangeList list(c.ranges);
        EXPECT_EQ(list.has(c.address), c.inside);
        EXPECT_EQ(list.text, c.ranges);
    }
    EXPECT_THROW(IpRangeList("1.1.1.1 ,2.2.2.2"), ConfigError);
    EXPECT_THROW(IpRangeList("1.1.1.1-2.2.2"), ConfigError);
}

// A client-supplied address is never trusted to parse: it must not throw,
// and outside an empty list it matches nothing.
TEST(IpRanges, UnparsableClientAddressMatchesNothing) {
    const char *addresses[] = {"1.2.3.4, 5.6.7.8", "garbage", "", "1.2.3", "::1", "1.2.3.4 "};
    IpRangeList everything("");
    IpRangeList all_ranges("0.0.0.0-255.255.255.255");
    IpRange range("");
    for (const char *address : addresses) {
        SCOPED_TRACE(address);
        EXPECT_NO_THROW(EXPECT_TRUE(everything.has(address)));
        EXPECT_NO_THROW(EXPECT_FALSE(all_ranges.has(address)));
        EXPECT_NO_THROW(EXPECT_FALSE(range.has(address)));
    }
}

TEST(PortRanges, Membership) {
    struct {
        const char *ranges;
        int port;
        bool inside;
    } cases[] = {
        {"", 1, true},
        {"", 65535, true},
        {"80", 80, true},
        {"80", 81, false},
        {"80,8000-8100", 8050, true},
        {"80,8000-8100", 81, false},
        {"8080-80", 100, false},  // low above high: nothing
        {"8080-80", 8080, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ranges);
        EXPECT_EQ(PortRangeList(c.ranges).has(c.port), c.inside);
    }
    const char *refused[] = {"80,,90", "1024-", "-80", "0", "65536", "http", "80 ", "1-2-3"};
    for (const char *text : refused) {
        SCOPED_TRACE(text);
        EXPECT_THROW(PortRangeList{text}, ConfigError);
    }
}

// ---------------------------------------------------------------------------
// Field

TEST(FieldTest, TypeKeywords) {
    const struct {
        const char *keyword;
        unsigned int code;
    } cases[] = {
        {"INT", 0},
        {"UINT", 1},
        {"BOOL", 2},
        {"STRING", 3},
        {"STRING_SELECT_ONE", 4},
        {"STRING_SELECT_MANY", 5},
        {"STRING_LIST", 6},
        {"IP_RANGE_LIST", 7},
        {"PORT_RANGE_LIST", 8},
        {"STRING_RANGE", 10},
        {"INT_RANGE", 11},
        {"FILE_SIZE", 12},
        {"MULTILINE_STRING", 13},
        {"LONG_FILE_SIZE", 14},
        {"DOUBLE", 15},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Field::type_get(c.keyword), c.code) << c.keyword;
        EXPECT_STREQ(Field::type_name(c.code), c.keyword);
    }
}

TEST(FieldDeathTest, UnknownTypeKeywordIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((log_to_stderr(), Field::type_get("int")), testing::ExitedWithCode(1),
                "src/section:[0-9]+ in function type_get");
    EXPECT_EXIT((log_to_stderr(), Field::type_get("")), testing::ExitedWithCode(1), "type_get");
}

TEST(FieldTest, ConstructionDefaults) {
    Field i(true, "i", "I", "", "-5", FIELD_INT, false);
    EXPECT_EQ(i.int_value, -5);
    EXPECT_EQ(i.width, 20);
    EXPECT_FALSE(i.active);
    Field u(true, "u", "U", "", "7", FIELD_UINT, false);
    EXPECT_EQ(u.uint_value, 7u);
    Field yes(true, "b", "B", "", "TRUE", FIELD_BOOL, false);
    EXPECT_EQ(yes.int_value, 1);
    Field no(true, "b", "B", "", "yes", FIELD_BOOL, false);
    EXPECT_EQ(no.int_value, 0);
    Field s(true, "s", "S", "", "hello", FIELD_STRING, false);
    EXPECT_EQ(s.width, 80);
    EXPECT_EQ(s.string_value, "hello");
    Field list(true, "l", "L", "", "a,b", FIELD_STRING_LIST, false);
    EXPECT_EQ(list.width, 80);
    EXPECT_TRUE(list.string_list.empty());  // lists fill on load
    Field range(true, "r", "R", "", "1,7", FIELD_INT_RANGE, false);
    EXPECT_EQ(range.low, 1);
    EXPECT_EQ(range.high, 7);
    EXPECT_EQ(range.int_value, 0);
    EXPECT_EQ(range.int_value2, 0);
    Field size(true, "f", "F", "", "10K", FIELD_FILE_SIZE, false);
    EXPECT_EQ(size.uint_value, 10240u);
    Field large(true, "f", "F", "", "4g", FIELD_LONG_FILE_SIZE, false);
    EXPECT_EQ(large.ulonglong_value, 4294967296ull);
    Field real(true, "d", "D", "", "0.25", FIELD_DOUBLE, false);
    EXPECT_DOUBLE_EQ(real.double_value, 0.25);

    EXPECT_THROW(Field(true, "i", "I", "", "five", FIELD_INT, false), ConfigError);
    EXPECT_THROW(Field(true, "r", "R", "", "1", FIELD_INT_RANGE, false), ConfigError);
    EXPECT_THROW(Field(true, "f", "F", "", "", FIELD_FILE_SIZE, false), ConfigError);
}

static StringSelectVector colours() {
    StringSelectVector values;
    values.push_back(StringSelect("red", "Red", "The red one", false));
    values.push_back(StringSelect("green", "green", "", true));
    values.push_back(StringSelect("blue", "Blue", "", false));
    return values;
}

TEST(FieldTest, SelectConstruction) {
    Field one(true, "c", "C", "", colours(), FIELD_STRING_SELECT_ONE, false);
    EXPECT_TRUE(one.select_vector[1].selected);
    EXPECT_TRUE(one.select_vector2[1].selected);
    EXPECT_EQ(one.int_value, 0);  // the preselection is not a value until loaded
    EXPECT_EQ(one.string_value, "");
    EXPECT_EQ(one.width, 0);
    EXPECT_EQ(one.possible_values(), "red,green,blue");

    Field copy = one;
    copy.select_vector[0].selected = true;
    EXPECT_FALSE(one.select_vector[0].selected);
    EXPECT_EQ(copy.select_vector.size(), 3u);
}

TEST(FieldTest, Natures) {
    StringSelectVector single;
    single.push_back(StringSelect("only", "only", "", false));
    const struct {
        Field field;
        const char *nature;
    } cases[] = {
        {Field(true, "a", "A", "", "", FIELD_INT, false), "an integer"},
        {Field(true, "a", "A", "", "", FIELD_UINT, false), "a positive integer"},
        {Field(true, "a", "A", "", "", FIELD_BOOL, false), "true or false"},
        {Field(true, "a", "A", "", "", FIELD_STRING, false), "a string"},
        {Field(true, "a", "A", "", colours(), FIELD_STRING_SELECT_ONE, false),
         "a string among these values : red,green,blue"},
        {Field(true, "a", "A", "", single, FIELD_STRING_SELECT_MANY, false),
         "a list of strings among these values : only"},
        {Field(true, "a", "A", "", StringSelectVector(), FIELD_STRING_RANGE, false),
         "a couple of strings among these values : "},
        {Field(true, "a", "A", "", "", FIELD_STRING_LIST, false), "a string list"},
        {Field(true, "a", "A", "", "", FIELD_IP_RANGE_LIST, false), "an IP range list (see manual)"},
        {Field(true, "a", "A", "", "", FIELD_PORT_RANGE_LIST, false), "a port range list (see manual)"},
        {Field(true, "a", "A", "", "1,7", FIELD_INT_RANGE, false), "a couple of integers between 1 and 7 inclusive"},
        {Field(true, "a", "A", "", "1", FIELD_FILE_SIZE, false), "a file size (for example 120, 10K, 1M)"},
        {Field(true, "a", "A", "", "1", FIELD_LONG_FILE_SIZE, false), "a file size (for example 120, 10K, 1M)"},
        {Field(true, "a", "A", "", "", FIELD_MULTILINE_STRING, false), "a multi-line string"},
        {Field(true, "a", "A", "", "", FIELD_DOUBLE, false), "a floating point number"},
        {Field(true, "a", "A", "", "", FIELD_UNIQUE_ID, false), ""},
    };
    for (const auto &c : cases) EXPECT_EQ(c.field.nature(), c.nature) << c.field.type;
}

static std::string page_text(const Filebuf &page) {
    return page.size > 0 ? std::string(page.data, (size_t)page.size) : std::string();
}

TEST(FieldTest, DisplayShowsOnlyFieldsWithSomethingToShow) {
    const struct {
        bool enabled;
        bool optional;
        bool active;
        const char *text;
        bool shown;
    } cases[] = {
        {true, false, false, "value", true}, {true, false, false, "", false},       {true, true, false, "value", false},
        {true, true, true, "", true},        {false, false, false, "value", false}, {false, true, true, "value", false},
    };
    for (const auto &c : cases) {
        Field field(c.enabled, "f", "Label", "", c.text, FIELD_STRING, c.optional);
        field.active = c.active;
        Filebuf page;
        bool odd = false;
        field.display(&page, &odd);
        EXPECT_EQ(page.size > 0, c.shown) << c.enabled << c.optional << c.active << c.text;
        EXPECT_EQ(odd, c.shown);
    }
}

TEST(FieldTest, DisplayRowsAlternateAndEscape) {
    FieldVector fields;
    fields.push_back(Field(true, "a", "First", "", "x<y\nz", FIELD_STRING, false));
    fields.push_back(Field(true, "b", "Hidden", "", "", FIELD_STRING, false));
    fields.push_back(Field(true, "c", "Second", "", "2", FIELD_INT, false));
    Filebuf page;
    fields.display(&page);
    EXPECT_EQ(page_text(page),
              "<tr class=\"entryfieldeven\"><td width=\"20%\">First</td><td>x&lt;y<br>z</td></tr>\n"
              "<tr class=\"entryfieldodd\"><td width=\"20%\">Second</td><td>2</td></tr>\n");
}

}  // namespace
