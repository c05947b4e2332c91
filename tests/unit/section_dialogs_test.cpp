// Web configuration dialogs: fields read back from forms, the inputs they
// render, and the actions applied to a section.
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "filebuf.h"
#include "interface.h"

namespace {

std::string text_of(const Filebuf &page) { return page.size ? std::string(page.data, (size_t)page.size) : ""; }

class DialogTest : public testing::Test {
protected:
    TempDir dir;
    std::unique_ptr<TestSection> section;

    void SetUp() override {
        definition_use(test_definition);
        document_forget();
        slave = 0;
        section.reset(new TestSection());
    }
    void TearDown() override {
        section.reset();
        document_forget();
    }
    Field &option(int k) { return section->options[k]; }
    ItemList &allow() { return section->subsections[0].items; }
    std::vector<int> ids() {
        std::vector<int> all;
        for (const Item &item : allow()) all.push_back(item.id);
        return all;
    }
    std::vector<std::string> comments() {
        std::vector<std::string> all;
        for (const Item &item : allow()) all.push_back(item.fields[1].string_value);
        return all;
    }
    // Adds an entry to "allow" through the form; returns its id.
    int add(const std::string &comment) {
        CGIMap form;
        form["subsection"] = "allow";
        form["action"] = "add";
        form["F0"] = "true";
        form["F1"] = comment;
        form["F4"] = "1";
        form["F4_2"] = "2";
        form["F5"] = "mon";
        form["F5_2"] = "tue";
        EXPECT_TRUE(act(form).empty());
        return allow().back().id;
    }
    // An option form every field accepts.
    static CGIMap options_form() {
        CGIMap form;
        form["action"] = "global";
        form["F9"] = "mon";
        form["F9_2"] = "mon";
        form["F10"] = "1";
        form["F10_2"] = "1";
        form["F11"] = "1K";
        form["F13"] = "1M";
        return form;
    }
    StringList act(CGIMap form) {
        form["section"] = "testsec";
        return section->interface_action(nullptr, form, nullptr);
    }
};

}  // namespace

TEST(CGIMapTest, ParsesFormsAndQueries) {
    struct Case {
        const char *text;
        std::vector<std::pair<std::string, std::string>> pairs;
    } cases[] = {
        {"a&b=c&d", {{"b", "c"}}},
        {"k=1&k=2", {{"k", "2"}}},
        {"a=b=c", {{"a=b", "c"}}},
        {"x=%41+b", {{"x", "A b"}}},
        {"=v&e=", {{"", "v"}, {"e", ""}}},
        {"", {}},
        {"%3Cscript%3E=%22", {{"<script>", "\""}}},
    };
    for (const Case &c : cases) {
        CGIMap form(c.text);
        EXPECT_EQ(form.size(), c.pairs.size()) << c.text;
        for (const auto &pair : c.pairs) EXPECT_EQ(form.get(pair.first), pair.second) << c.text;
    }
    CGIMap none(nullptr);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.get("missing"), "");
}

TEST(InterfaceTest, Xatoi) {
    EXPECT_EQ(xatoi(""), -1);
    EXPECT_EQ(xatoi(nullptr), -1);
    EXPECT_EQ(xatoi("12abc"), 12);
    EXPECT_EQ(xatoi("abc"), 0);
    EXPECT_EQ(xatoi("  -7"), -7);
}

TEST_F(DialogTest, FieldsReadTheirPositionsKeys) {
    CGIMap form = options_form();
    form["F0"] = "42";
    form["F2"] = "yes";  // a BOOL given anything but "true" is false, stored as "false"
    form["F3"] = "<b>&\"";
    form["F4"] = "blue";
    form["F6"] = "p,q";
    form["F7"] = "10.0.0.1-10.0.0.9";
    form["F8"] = "80-81";
    form["F9"] = "wed";
    form["F9_2"] = "mon";
    form["F10"] = "3";
    form["F10_2"] = "9";
    form["F11"] = "2K";
    form["F12"] = "one\ntwo";
    form["F13"] = "1g";
    form["F14"] = "2.5";
    form["F15_active"] = "on";
    form["F15"] = "set";
    form["F16"] = "never read";
    EXPECT_TRUE(act(form).empty());
    EXPECT_EQ(option(0).int_value, 42);
    EXPECT_EQ(option(2).int_value, 0);
    EXPECT_EQ(option(2).string_value, "false");
    EXPECT_EQ(option(3).string_value, "<b>&\"");
    EXPECT_EQ(option(4).int_value, 2);
    EXPECT_EQ(option(5).int_value, 0);  // no box ticked: empty
    EXPECT_EQ(option(5).string_value, "");
    EXPECT_TRUE(option(5).string_list.empty());
    EXPECT_EQ(option(6).string_list, StringList("p,q", ","));
    EXPECT_TRUE(option(7).ip_range_list.has("10.0.0.5"));
    EXPECT_FALSE(option(8).port_range_list.has(82));
    EXPECT_EQ(option(9).int_value, 2);
    EXPECT_EQ(option(9).int_value2, 0);
    EXPECT_EQ(option(9).string_value, "wed,mon");
    EXPECT_EQ(option(10).int_value, 3);
    EXPECT_EQ(option(10).int_value2, 9);
    EXPECT_EQ(option(11).uint_value, 2048u);
    EXPECT_EQ(option(12).string_value, "one\ntwo");
    EXPECT_EQ(option(13).ulonglong_value, 1ull << 30);
    EXPECT_DOUBLE_EQ(option(14).double_value, 2.5);
    EXPECT_TRUE(option(15).active);
    EXPECT_EQ(option(15).string_value, "set");
    EXPECT_EQ(option(16).string_value, "h");

    CGIMap on = options_form();
    on["F2"] = "true";
    on["F5_red"] = "on";
    on["F5_blue"] = "on";
    on["F9"] = "mon";
    on["F9_2"] = "mon";
    on["F10"] = "0";
    on["F10_2"] = "0";
    EXPECT_TRUE(act(on).empty());
    EXPECT_EQ(option(2).string_value, "true");
    EXPECT_EQ(option(2).int_value, 1);
    EXPECT_EQ(option(5).int_value, 5);
    EXPECT_EQ(option(5).string_value, "red,blue");
    EXPECT_FALSE(option(15).active);  // box not ticked: off, value kept
    EXPECT_EQ(option(15).string_value, "set");
}

TEST_F(DialogTest, RefusedValuesApplyNothingButStillUpdate) {
    struct Case {
        const char *key, *value, *key2, *value2;
        const char *message;
    } cases[] = {
        {"F0", "12x", nullptr, nullptr, "Count must be an integer"},
        {"F10", "3", "F10_2", "99", "Hours must be a couple of integers between 0 and 23 inclusive"},
        // a member outside the possible values would save a document that
        // no longer loads
        {"F9", "mon", "F9_2", "someday",
         "Days must be a couple of strings among these values : "
         "mon,tue,wed,thu,fri,sat,sun"},
        {"F9", "<script>", "F9_2", "mon", nullptr},
        {"F7", "10.0.0.300", nullptr, nullptr, "Clients must be an IP range list (see manual)"},
    };
    for (const Case &c : cases) {
        section.reset(new TestSection());
        document_forget();
        CGIMap form = options_form();
        form["F3"] = "changed";
        form[c.key] = c.value;
        if (c.key2) form[c.key2] = c.value2;
        StringList errors = act(form);
        ASSERT_EQ(errors.size(), 1u) << c.key << "=" << c.value;
        if (c.message) {
            EXPECT_EQ(errors[0], c.message);
        }
        EXPECT_EQ(option(3).string_value, "hello") << "nothing of a refused form is applied";
        EXPECT_EQ(section->updates, 1);
        EXPECT_NE(documentsynctime, 0);
    }
}

TEST_F(DialogTest, EntryActions) {
    int a = add("a"), b = add("b"), c = add("c");
    EXPECT_EQ(comments(), (std::vector<std::string>{"a", "b", "c"}));

    CGIMap edit;
    edit["subsection"] = "allow";
    edit["action"] = "edit";
    edit["id"] = std::to_string(b);
    edit["F1"] = "B";
    edit["F4"] = "0";
    edit["F4_2"] = "0";
    edit["F5"] = "sun";
    edit["F5_2"] = "sun";
    EXPECT_TRUE(act(edit).empty());
    EXPECT_EQ(comments(), (std::vector<std::string>{"a", "B", "c"}));
    EXPECT_EQ(ids(), (std::vector<int>{a, b, c})) << "an edit keeps the id";

    CGIMap clone;
    clone["subsection"] = "allow";
    clone["action"] = "clone";
    clone["id"] = std::to_string(c);
    EXPECT_TRUE(act(clone).empty());
    EXPECT_EQ(comments(), (std::vector<std::string>{"a", "B", "c", "c"}));
    EXPECT_GT(ids()[2], c) << "the copy stands before the original and has a higher id";
    EXPECT_EQ(ids()[3], c);

    CGIMap del;
    del["subsection"] = "allow";
    del["action"] = "delete";
    del["id"] = std::to_string(c);
    EXPECT_TRUE(act(del).empty());
    EXPECT_EQ(comments(), (std::vector<std::string>{"a", "B", "c"}));

    struct Shift {
        const char *direction;
        int index;
        std::vector<std::string> after;
    } shifts[] = {
        {"up", 0, {"a", "B", "c"}},      // first: nothing moves
        {"bottom", 2, {"a", "B", "c"}},  // last: nothing moves
        {"down", 2, {"a", "B", "c"}},   {"top", 0, {"a", "B", "c"}},  {"sideways", 1, {"a", "B", "c"}},
        {"up", 1, {"B", "a", "c"}},     {"down", 0, {"a", "B", "c"}}, {"top", 2, {"c", "a", "B"}},
        {"bottom", 0, {"a", "B", "c"}},
    };
    for (const Shift &s : shifts) {
        std::vector<int> before = ids();
        int updates = section->updates;
        CGIMap shift;
        shift["subsection"] = "allow";
        shift["action"] = "shift";
        shift["direction"] = s.direction;
        shift["id"] = std::to_string(before[s.index]);
        EXPECT_TRUE(act(shift).empty());
        EXPECT_EQ(comments(), s.after) << s.direction << " " << s.index;
        EXPECT_EQ(section->updates, updates + 1);
    }
    // Up: the moved entry gets a new id, the one it passed keeps its own.
    std::vector<int> before = ids();
    CGIMap up;
    up["subsection"] = "allow";
    up["action"] = "shift";
    up["direction"] = "up";
    up["id"] = std::to_string(before[1]);
    act(up);
    EXPECT_EQ(ids()[1], before[0]);
    EXPECT_GT(ids()[0], before[1]);
}

// Slaves compare the change time: two changes within one second must not
// share it.
TEST_F(DialogTest, EveryChangeMovesTheChangeTime) {
    std::vector<time_t> stamps;
    for (int i = 0; i < 5; i++) {
        add("entry");
        stamps.push_back(documentsynctime);
    }
    for (size_t i = 1; i < stamps.size(); i++) EXPECT_GT(stamps[i], stamps[i - 1]);
}

TEST_F(DialogTest, MissingEntriesAndEmptyActionsChangeNothing) {
    int a = add("a");
    int updates = section->updates;
    document_forget();
    struct Case {
        const char *subsection, *action, *id;
        const char *error;
    } cases[] = {
        {"allow", "delete", "99999", "Entry ID doesn't exist"},
        {"orphan", "delete", nullptr, "Entry ID doesn't exist"},  // id of another subsection
        {"allow", "", nullptr, nullptr},
        {"deny", "add", nullptr, nullptr},  // disabled subsection
        {"nosuch", "add", nullptr, "Subsection doesn't exist"},
    };
    for (const Case &c : cases) {
        CGIMap form;
        form["subsection"] = c.subsection;
        form["action"] = c.action;
        form["id"] = c.id ? c.id : "";
        if (std::string(c.subsection) == "orphan") form["id"] = std::to_string(a);
        StringList errors = act(form);
        if (c.error) {
            ASSERT_EQ(errors.size(), 1u) << c.subsection << " " << c.action;
            EXPECT_EQ(errors[0], c.error);
        } else {
            EXPECT_TRUE(errors.empty());
        }
        EXPECT_EQ(section->updates, updates) << c.subsection << " " << c.action;
        EXPECT_EQ(documentsynctime, 0) << "no change time recorded";
        EXPECT_EQ(allow().size(), 1u);
    }
}

TEST_F(DialogTest, InputsAreKeyedByPositionAndEscaped) {
    option(3).string_value = "\"><script>x</script>";
    option(15).active = true;
    Filebuf page;
    CGIMap form;
    section->options.dialog_display(&page, form);
    std::string html = text_of(page);
    EXPECT_NE(html.find("name=\"F3\" value=\"&quot;&gt;&lt;script&gt;x&lt;/script&gt;\""), std::string::npos);
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_NE(html.find("name=\"F15_active\" checked"), std::string::npos);
    EXPECT_NE(html.find("name=\"F10_2\""), std::string::npos);
    EXPECT_NE(html.find("name=\"F9_2\""), std::string::npos);
    EXPECT_NE(html.find("name=\"F5_red\""), std::string::npos);
    EXPECT_EQ(html.find("name=\"F16\""), std::string::npos) << "a disabled field shows nothing";
    EXPECT_NE(html.find("EnterContent('Count', 'How many'); Activate();"), std::string::npos);
}

TEST_F(DialogTest, DialogForNewAndExistingEntries) {
    int a = add("first<entry>");
    struct Case {
        std::string id;
        const char *expect;
    } cases[] = {
        {"", "name=\"action\" value=\"add\""},
        {std::to_string(a), "name=\"action\" value=\"edit\""},
        {"99999", "Entry ID doesn't exist"},
    };
    for (const Case &c : cases) {
        Filebuf page;
        CGIMap form;
        form["subsection"] = "allow";
        form["id"] = c.id;
        section->interface_dialog(&page, form, nullptr, StringList());
        EXPECT_NE(text_of(page).find(c.expect), std::string::npos) << c.id;
    }
    Filebuf page;
    CGIMap form;
    form["subsection"] = "allow";
    form["id"] = std::to_string(a);
    section->interface_dialog(&page, form, nullptr, StringList());
    EXPECT_NE(text_of(page).find("value=\"first&lt;entry&gt;\""), std::string::npos);
}

TEST_F(DialogTest, SearchShowsOnlyMatchingEntriesAndHidesTheOptionForm) {
    add("apple");
    add("banana");
    Filebuf page;
    CGIMap form;
    form["matchname"] = "^comment$";
    form["matchvalue"] = "ban";
    section->interface(&page, form, nullptr, StringList());
    std::string html = text_of(page);
    EXPECT_NE(html.find("banana"), std::string::npos);
    EXPECT_EQ(html.find("apple"), std::string::npos);
    EXPECT_EQ(html.find("value=\"global\""), std::string::npos);
}

// What the forms store must load again: save, then load.
TEST_F(DialogTest, SavedFormValuesLoadAgain) {
    std::string path = dir.write("k.xml", "<?xml version=\"1.0\"?>\n<korvantel>\n</korvantel>\n");
    ASSERT_EQ(config_load(3, path.c_str()), 1);
    CGIMap form = options_form();
    form["F2"] = "yes";
    form["F3"] = "a <b> & \"c\" 'd'";
    form["F9"] = "tue";
    form["F9_2"] = "sun";
    form["F10"] = "4";
    form["F10_2"] = "5";
    form["F12"] = "x\ny";
    ASSERT_TRUE(act(form).empty());
    add("entry & <more>");
    ASSERT_TRUE(config_save(path.c_str()));

    section.reset(new TestSection());
    ASSERT_EQ(config_load(3, path.c_str()), 1);
    EXPECT_EQ(option(2).string_value, "false");
    EXPECT_EQ(option(3).string_value, "a <b> & \"c\" 'd'");
    EXPECT_EQ(option(9).int_value, 1);
    EXPECT_EQ(option(9).int_value2, 6);
    EXPECT_EQ(option(10).int_value2, 5);
    EXPECT_EQ(option(12).string_value, "x\ny");
    ASSERT_EQ(allow().size(), 1u);
    EXPECT_EQ(allow().front().fields[1].string_value, "entry & <more>");
}
