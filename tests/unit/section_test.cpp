// Configuration value types, sections, entries and the definition document.
#include <errno.h>
#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "filebuf.h"
#include "regexp.h"

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
        {"", true, 0},           {"42", true, 42},         {" -7", true, -7},
        {"+3", true, 3},         {"5 ", false, 0},         {"5x", false, 0},
        {"x", false, 0},         {"2147483647", true, 2147483647LL},
        {"99999999999", true, 2147483647LL},               {"-99999999999", true, -2147483648LL},
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
        {"", {}},
        {"a", {"a"}},
        {"a,b", {"a", "b"}},
        {"a,,b", {"a", "", "b"}},
        {"a,", {"a"}},
        {",a", {"", "a"}},
        {",", {""}},
        {" a , b", {" a ", " b"}},
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
        {"INT", 0},           {"UINT", 1},         {"BOOL", 2},           {"STRING", 3},
        {"STRING_SELECT_ONE", 4}, {"STRING_SELECT_MANY", 5}, {"STRING_LIST", 6}, {"IP_RANGE_LIST", 7},
        {"PORT_RANGE_LIST", 8}, {"STRING_RANGE", 10}, {"INT_RANGE", 11},  {"FILE_SIZE", 12},
        {"MULTILINE_STRING", 13}, {"LONG_FILE_SIZE", 14}, {"DOUBLE", 15},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Field::type_get(c.keyword), c.code) << c.keyword;
        EXPECT_STREQ(Field::type_name(c.code), c.keyword);
    }
}

TEST(FieldDeathTest, UnknownTypeKeywordIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((log_to_stderr(), Field::type_get("int")), testing::ExitedWithCode(1), "src/section:[0-9]+ in function type_get");
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
        {true, false, false, "value", true},
        {true, false, false, "", false},
        {true, true, false, "value", false},
        {true, true, true, "", true},
        {false, false, false, "value", false},
        {false, true, true, "value", false},
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

// ---------------------------------------------------------------------------
// Sections built from a definition

class SectionTest : public testing::Test {
protected:
    void SetUp() override { definition_use(test_definition); }
};

TEST_F(SectionTest, BuildsOptionsListsAndSubsections) {
    TestSection section;
    EXPECT_EQ(section.name_get(), "testsec");
    EXPECT_EQ(section.comment_get(), "Test section");
    EXPECT_EQ(section.desc, "A section for the tests");
    ASSERT_EQ(section.options.size(), 17u);
    std::vector<std::string> problems;
    EXPECT_TRUE(section_fields_check(&section, &problems));

    const Field &colour = section.options[4];
    ASSERT_EQ(colour.select_vector.size(), 3u);
    EXPECT_EQ(colour.select_vector[0].comment, "Red");
    EXPECT_EQ(colour.select_vector[0].desc, "The red one");
    EXPECT_EQ(colour.select_vector[1].comment, "green");  // no comment: the value itself
    EXPECT_TRUE(colour.select_vector[1].selected);
    EXPECT_FALSE(colour.select_vector[2].selected);
    EXPECT_EQ(colour.int_value, 0);
    EXPECT_EQ(section.options[9].select_vector.size(), 7u);

    EXPECT_EQ(section.options[0].desc, "How many");
    EXPECT_EQ(section.options[10].low, 0);
    EXPECT_EQ(section.options[10].high, 23);
    EXPECT_TRUE(section.options[15].optional);
    EXPECT_FALSE(section.options[16].enabled);
    EXPECT_TRUE(section.options[3].enabled);

    ASSERT_EQ(section.subsections.size(), 3u);
    EXPECT_EQ(section.subsections[0].name, "allow");
    EXPECT_EQ(section.subsections[0].section_name, "testsec");
    EXPECT_EQ(section.subsections[0].comment, "Allowed");
    EXPECT_TRUE(section.subsections[0].enabled);
    EXPECT_FALSE(section.subsections[1].enabled);
    EXPECT_EQ(section.subsections[0].templ.size(), 6u);
    EXPECT_TRUE(section.subsections[0].templ[3].optional);
    EXPECT_TRUE(section.subsections[2].templ.empty());  // undeclared template
    EXPECT_TRUE(section.subsections[0].items.empty());

    // Two subsections of one template get copies of their own.
    section.subsections[0].templ[1].string_value = "changed";
    EXPECT_EQ(section.subsections[1].templ[1].string_value, "");

    EXPECT_EQ(section.subsection_get("deny"), &section.subsections[1]);
    EXPECT_EQ(section.subsection_get("Deny"), nullptr);
}

TEST_F(SectionTest, MapHoldsSectionsByNameInByteOrder) {
    definition_use(definition_for({"cache", "access", "cProfiles"}));
    {
        TestSection a(SECTION_RWLOCK, "cache");
        TestSection b(SECTION_RWLOCK, "access");
        TestSection c(SECTION_RWLOCK, "cProfiles");
        std::vector<std::string> names;
        for (const auto &entry : Section::map) names.push_back(entry.first);
        EXPECT_EQ(names, (std::vector<std::string>{"access", "cProfiles", "cache"}));
        TestSection later(SECTION_RWLOCK, "cache");
        EXPECT_EQ(Section::map["cache"], &later);
    }
    EXPECT_TRUE(Section::map.empty());
}

static std::string definition_with(const std::string &from, const std::string &to) {
    std::string text = test_definition;
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// ---------------------------------------------------------------------------
// Named fields

TEST_F(SectionTest, BoundOptionsFollowTheFieldsAndStartAtTheDefaults) {
    TestSection section;
    EXPECT_EQ(*section.opts.count, 5);
    EXPECT_EQ(*section.opts.size, 7u);
    EXPECT_EQ(*section.opts.flag, 1);
    EXPECT_EQ(*section.opts.label, "hello");
    EXPECT_EQ(*section.opts.limit, 10240u);
    EXPECT_EQ(*section.opts.quota, 4ull << 30);
    EXPECT_EQ(*section.opts.text, "");
    EXPECT_EQ(section.opts.hours, &section.options[10].int_value);
    EXPECT_EQ(section.opts.names, &section.options[6].string_list);
    EXPECT_EQ(section.opts.clients, &section.options[7].ip_range_list);
    EXPECT_EQ(section.opts.ports, &section.options[8].port_range_list);
    EXPECT_EQ(section.opts.ratio, &section.options[14].double_value);

    // A load assigns into the fields; the bound values follow without a rebind.
    TiXmlDocument document;
    document.Parse("<?xml version=\"1.0\"?><korvantel><testsec><count>9</count><size>11</size><flag>false</flag>"
                   "<label>there</label><colour>blue</colour><palette>red,blue</palette><names>x</names>"
                   "<clients>10.0.0.1</clients><ports>81-82</ports><days>tue,fri</days><hours>3,4</hours>"
                   "<limit>1k</limit><text>t</text><quota>2</quota><ratio>1.5</ratio>"
                   "<extra active=\"false\">x</extra><hidden>h</hidden></testsec></korvantel>");
    ASSERT_FALSE(document.Error()) << document.ErrorDesc();
    section.load(&document, 1);
    EXPECT_EQ(*section.opts.count, 9);
    EXPECT_EQ(*section.opts.size, 11u);
    EXPECT_EQ(*section.opts.flag, 0);
    EXPECT_EQ(*section.opts.label, "there");
    EXPECT_EQ(*section.opts.colour, 2);
    EXPECT_EQ(*section.opts.palette, 5);
    EXPECT_EQ(section.opts.names->size(), 1u);
    EXPECT_TRUE(section.opts.clients->has("10.0.0.1"));
    EXPECT_FALSE(section.opts.clients->has("10.0.0.2"));
    EXPECT_TRUE(section.opts.ports->has(82));
    EXPECT_EQ(*section.opts.days, 1);
    EXPECT_EQ(*section.opts.hours, 3);
    EXPECT_EQ(*section.opts.limit, 1024u);
    EXPECT_EQ(*section.opts.quota, 2u);
    EXPECT_EQ(*section.opts.ratio, 1.5);
    EXPECT_EQ(section.atomic_read(section.opts.count), 9);
}

TEST_F(SectionTest, OptionsTheDefinitionLacksReadAsZero) {
    std::string definition = test_definition;
    for (const char *tag : {"ratio", "extra", "hidden"}) {
        size_t start = definition.find(std::string("<") + tag + " n=");
        ASSERT_NE(start, std::string::npos);
        start = definition.rfind('\n', start) + 1;
        definition.erase(start, definition.find('\n', start) + 1 - start);
    }
    definition_use(definition);
    TestSection section;
    ASSERT_EQ(section.options.size(), 14u);
    EXPECT_EQ(*section.opts.count, 5);
    ASSERT_NE(section.opts.ratio, nullptr);
    EXPECT_EQ(*section.opts.ratio, 0.0);
    ASSERT_NE(section.opts.extra, nullptr);
    EXPECT_EQ(*section.opts.extra, "");
    std::vector<std::string> problems;
    EXPECT_FALSE(section_fields_check(&section, &problems));
}

TEST_F(SectionTest, EntryFieldsAreReadByTheirTable) {
    TestSection section;
    Item item(section.subsections[0]);
    item.fields[0].int_value = 0;
    item.fields[1].string_value = "first";
    item.fields[2].string_value = "p1,p2";
    item.fields[3].int_value = 42;
    item.fields[4].int_value = 2;
    item.fields[4].int_value2 = 8;
    item.fields[5].int_value = 3;

    TestRule rule;
    rule.enabled = true;
    fields_read(test_rule_fields, item.fields, &rule);
    EXPECT_FALSE(rule.enabled);
    EXPECT_EQ(rule.comment, "first");
    EXPECT_EQ(rule.profiles, "p1,p2");
    EXPECT_EQ(rule.weight, 42);
    EXPECT_EQ(rule.low, 2);  // by the converter
    EXPECT_EQ(rule.high, 8);

    // An entry shorter than its table keeps the values it lacks.
    FieldVector shorter;
    shorter.assign(item.fields.begin(), item.fields.begin() + 2);
    TestRule kept;
    fields_read(test_rule_fields, shorter, &kept);
    EXPECT_EQ(kept.comment, "first");
    EXPECT_EQ(kept.weight, -1);
    EXPECT_EQ(kept.low, -1);
    EXPECT_EQ(kept.high, -1);
}

TEST_F(SectionTest, GlobalWithoutChildrenGivesNoOptions) {
    std::string text = test_definition;
    size_t start = text.find("<global>"), end = text.find("</global>");
    text.replace(start, end - start, "<global>");
    definition_use(text);
    TestSection section;
    EXPECT_TRUE(section.options.empty());
    EXPECT_EQ(section.subsections.size(), 3u);
}

TEST_F(SectionTest, UndeclaredSelectListGivesNoValues) {
    definition_use(definition_with("<value>colours</value><type>STRING_SELECT_ONE",
                                   "<value>undeclared</value><type>STRING_SELECT_ONE"));
    TestSection section;
    EXPECT_TRUE(section.options[4].select_vector.empty());
    EXPECT_EQ(section.options[4].possible_values(), "");
}

// The definition with the many-select field drawing on a list of count values.
static std::string definition_with_many(int count) {
    std::string values;
    for (int i = 0; i < count; i++) values += "<v" + std::to_string(i) + "/>";
    std::string text = definition_with("<days>", "<many>" + values + "</many><days>");
    const std::string from = "<value>colours</value><type>STRING_SELECT_MANY";
    text.replace(text.find(from), strlen("<value>colours</value>"), "<value>many</value>");
    return text;
}

TEST_F(SectionTest, ThirtyTwoSelectManyValuesAreAccepted) {
    definition_use(definition_with_many(32));
    TestSection section;
    EXPECT_EQ(section.options[5].select_vector.size(), 32u);
}

struct FatalDefinition {
    const char *what;
    std::vector<std::pair<std::string, std::string>> edits;
    const char *log;  // expected on the way out
};

TEST_F(SectionTest, DefinitionFaultsStopStartUp) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const FatalDefinition cases[] = {
        {"n out of order", {{"<names n=\"6\">", "<names n=\"7\">"}}, "in function parse"},
        {"n missing", {{"<names n=\"6\">", "<names>"}}, "in function parse"},
        {"field comment missing", {{"<comment>Names</comment>", ""}}, "in function parse"},
        {"field value missing", {{"<value>a,b</value>", ""}}, "in function parse"},
        {"field desc missing", {{"<type>STRING_LIST</type><desc/>", "<type>STRING_LIST</type>"}}, "in function parse"},
        {"field type missing", {{"<type>STRING_LIST</type>", ""}}, "in function parse"},
        {"unknown type", {{"<type>STRING_LIST</type>", "<type>LIST</type>"}}, "in function type_get"},
        {"section comment missing", {{"<comment>Test section</comment>", ""}}, "in function Section"},
        {"section desc missing", {{"<desc>A section for the tests</desc>", ""}}, "in function Section"},
        {"global missing", {{"<global>", "<globals>"}, {"</global>", "</globals>"}}, "in function Section"},
        {"subsection template missing", {{"<template>rule</template><desc>Allowed", "<desc>Allowed"}},
         "in function Section"},
        {"default refused", {{"<value>5</value><type>INT</type>", "<value>five</value><type>INT</type>"}},
         "cannot take the default value five"},
        {"bounds refused", {{"<value>0,23</value>", "<value>0</value>"}}, "cannot take the default value 0"},
        {"section element missing", {{"<testsec>", "<othersec>"}, {"</testsec>", "</othersec>"}},
         "no element for section testsec"},
    };
    for (const FatalDefinition &c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = test_definition;
        for (const auto &edit : c.edits) text.replace(text.find(edit.first), edit.first.size(), edit.second);
        definition_use(text);
        EXPECT_EXIT((log_to_stderr(), TestSection()), testing::ExitedWithCode(1), c.log);
    }
    // More values than a mask holds: refused with a clear line.
    definition_use(definition_with_many(33));
    EXPECT_EXIT((log_to_stderr(), TestSection()), testing::ExitedWithCode(1),
                "field palette selects among 33 values, at most 32 are possible");
}

TEST_F(SectionTest, LockKinds) {
    definition_use(definition_for({"rw", "mx"}));
    TestSection rw(SECTION_RWLOCK, "rw");
    TestSection mx(SECTION_MUTEX, "mx");
    int value = 42;
    unsigned long big = 1ul << 40;
    EXPECT_EQ(rw.atomic_read(&value), 42);
    EXPECT_EQ(mx.atomic_read(&big), 1ul << 40);

    // A read lock is shared with other readers and excludes writers.
    rw.read_lock();
    std::thread([&] {
        EXPECT_EQ(pthread_rwlock_tryrdlock(&rw.rwlock), 0);
        pthread_rwlock_unlock(&rw.rwlock);
        EXPECT_EQ(pthread_rwlock_trywrlock(&rw.rwlock), EBUSY);
        EXPECT_EQ(rw.atomic_read(&value), 42);  // runs alongside the reader
    }).join();
    rw.unlock();

    // Both lock calls of the mutex kind take the mutex.
    mx.read_lock();
    std::thread([&] { EXPECT_EQ(pthread_mutex_trylock(&mx.mutex), EBUSY); }).join();
    mx.unlock();
    mx.mutex_lock();
    std::thread([&] { EXPECT_EQ(pthread_mutex_trylock(&mx.mutex), EBUSY); }).join();
    struct timespec past = {0, 0};
    pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
    EXPECT_EQ(mx.cond_timedwait(&condition, &past), ETIMEDOUT);
    mx.unlock();
    std::thread([&] {
        EXPECT_EQ(pthread_mutex_trylock(&mx.mutex), 0);
        pthread_mutex_unlock(&mx.mutex);
    }).join();
}

TEST_F(SectionTest, MutexCallsOnReadWriteSectionAreFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestSection rw;
    pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
    struct timespec past = {0, 0};
    EXPECT_EXIT((log_to_stderr(), rw.mutex_lock()), testing::ExitedWithCode(1), "in function mutex_lock");
    EXPECT_EXIT((log_to_stderr(), rw.cond_wait(&condition)), testing::ExitedWithCode(1), "in function cond_wait");
    EXPECT_EXIT((log_to_stderr(), rw.cond_timedwait(&condition, &past)), testing::ExitedWithCode(1),
                "in function cond_timedwait");
}

// ---------------------------------------------------------------------------
// Entries

TEST_F(SectionTest, EntriesTakeNewIdsAndAreFoundById) {
    TestSection section;
    Subsection &allow = section.subsections[0];
    allow.items.emplace_back(allow);
    allow.items.emplace_back(allow);
    section.subsections[1].items.emplace_back(section.subsections[1]);
    int first = allow.items.front().id_get();
    int second = allow.items.back().id_get();
    int third = section.subsections[1].items.front().id_get();
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_EQ(allow.items.front().fields.size(), 6u);
    EXPECT_EQ(allow.items.front().section_name, "testsec");
    EXPECT_EQ(allow.items.front().subsection_name, "allow");

    Item copy(allow.items.front());
    EXPECT_GT(copy.id_get(), third);
    EXPECT_EQ(copy.subsection_name, "allow");

    Subsection *where = nullptr;
    ItemList::iterator position;
    ASSERT_TRUE(section.item_iterator_get(third, &where, &position));
    EXPECT_EQ(where, &section.subsections[1]);
    EXPECT_EQ(&*position, &section.subsections[1].items.front());
    EXPECT_EQ(section.item_get(second), &allow.items.back());
    EXPECT_EQ(section.item_get(copy.id_get()), nullptr);
    EXPECT_FALSE(section.item_iterator_get(-1, &where, &position));
}

TEST_F(SectionTest, EntryIdsStayUniqueAcrossThreads) {
    definition_use(definition_for({"a", "b"}));
    TestSection a(SECTION_RWLOCK, "a");
    TestSection b(SECTION_RWLOCK, "b");
    const int threads = 8, per_thread = 2000;
    std::vector<std::vector<int>> ids(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            Subsection &subsection = (t % 2 ? a : b).subsections[0];
            for (int i = 0; i < per_thread; i++) {
                Item item(subsection);
                Item copy(item);
                ids[t].push_back(item.id_get());
                ids[t].push_back(copy.id_get());
            }
        });
    }
    for (std::thread &worker : workers) worker.join();
    std::set<int> unique;
    for (const auto &list : ids) unique.insert(list.begin(), list.end());
    EXPECT_EQ(unique.size(), (size_t)threads * per_thread * 2);
}

TEST_F(SectionTest, EntryMatchNeedsOneFieldMatchingBoth) {
    TestSection section;
    Subsection &allow = section.subsections[0];
    Item item(allow);
    item.fields[1].string_value = "x marks";
    item.fields[2].string_value = "staff";
    regex_posix_t *pro = reg_compile("^pro", 1);
    regex_posix_t *com = reg_compile("^COM", 1);
    regex_posix_t *x = reg_compile("x", 1);
    regex_posix_t *staff = reg_compile("staff", 1);
    ASSERT_TRUE(pro && com && x && staff);
    EXPECT_FALSE(item.match(pro, x));  // the name and the value fit different fields
    EXPECT_TRUE(item.match(com, x));
    EXPECT_TRUE(item.match(pro, staff));
    EXPECT_TRUE(item.match(nullptr, staff));
    EXPECT_TRUE(item.match(pro, nullptr));
    EXPECT_TRUE(item.match(nullptr, nullptr));
    Item orphan(section.subsections[2]);  // no fields
    EXPECT_FALSE(orphan.match(nullptr, nullptr));
    reg_free(pro);
    reg_free(com);
    reg_free(x);
    reg_free(staff);
}

TEST_F(SectionTest, EntryRows) {
    TestSection section;
    Item item(section.subsections[0]);
    item.fields[1].string_value = "a comment";
    const std::string id = std::to_string(item.id_get());
    const std::string base = "config?section=testsec&amp;subsection=allow&amp;";
    Filebuf plain;
    item.display(&plain, false);
    std::string text = page_text(plain);
    EXPECT_EQ(text.find("<tr class=\"entrydialoghead\"><td>Option</td><td>Value</td></tr>\n"), 0u);
    EXPECT_NE(text.find("<td width=\"20%\">Enabled</td><td>true</td>"), std::string::npos);
    EXPECT_NE(text.find("<td width=\"20%\">Comment</td><td>a comment</td>"), std::string::npos);
    EXPECT_EQ(text.find("Weight"), std::string::npos);  // optional and off
    EXPECT_EQ(text.find("Profiles"), std::string::npos);  // empty
    EXPECT_NE(text.find("<tr class=\"entrydialogfoot\">"), std::string::npos);
    EXPECT_NE(text.find(base + "dialog=show&amp;id=" + id + "\">Edit</a>"), std::string::npos);
    EXPECT_NE(text.find(base + "action=delete&amp;id=" + id + "\">Delete</a>"), std::string::npos);
    EXPECT_NE(text.find(base + "action=clone&amp;id=" + id + "\">Clone</a>"), std::string::npos);
    EXPECT_EQ(text.find("direction="), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - strlen("</table></td></tr>\n")), "</table></td></tr>\n");

    Filebuf moves;
    item.display(&moves, true);
    text = page_text(moves);
    const char *directions[] = {"up\">Up", "down\">Down", "top\">Top", "bottom\">Bottom"};
    for (const char *direction : directions)
        EXPECT_NE(text.find(base + "action=shift&amp;id=" + id + "&amp;direction=" + direction), std::string::npos)
            << direction;
}

}  // namespace
