// Sections built from a definition: options, entry lists, locks and entries.
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
// Sections built from a definition

static std::string page_text(const Filebuf &page) {
    return page.size > 0 ? std::string(page.data, (size_t)page.size) : std::string();
}

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
    document.Parse(
        "<?xml version=\"1.0\"?><korvantel><testsec><count>9</count><size>11</size><flag>false</flag>"
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
        {"subsection template missing",
         {{"<template>rule</template><desc>Allowed", "<desc>Allowed"}},
         "in function Section"},
        {"default refused",
         {{"<value>5</value><type>INT</type>", "<value>five</value><type>INT</type>"}},
         "cannot take the default value five"},
        {"bounds refused", {{"<value>0,23</value>", "<value>0</value>"}}, "cannot take the default value 0"},
        {"section element missing",
         {{"<testsec>", "<othersec>"}, {"</testsec>", "</othersec>"}},
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
    EXPECT_EQ(text.find("Weight"), std::string::npos);    // optional and off
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
