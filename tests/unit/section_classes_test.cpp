// The shipped section-definition document against the code: every section
// class of the registry is built from conf/section.xml, every field it
// declares must be there with its name and type, and every defined field
// must be declared.
#include <string.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_fixture.h"

namespace {

const std::string conf_dir = std::string(KORVANTEL_SOURCE_DIR) + "/conf/";

// Builds every class of a registry from the definition in `sectionxml` and
// lists where definition and code disagree. The sections built are returned
// in *built (the caller owns them).
std::vector<std::string> classes_check(const SECTION_CLASS *classes, std::vector<Section *> *built) {
    std::vector<std::string> problems;
    TiXmlElement *root = sectionxml ? sectionxml->RootElement() : nullptr;
    if (!root || root->ValueStr() != "section") {
        problems.push_back("the definition's root must be section");
        return problems;
    }
    std::set<std::string> registered;
    for (const SECTION_CLASS *c = classes; c->name; c++) {
        if (!registered.insert(c->name).second) problems.push_back(std::string(c->name) + ": registered twice");
        if (!root->FirstChildElement(c->name)) {
            // Constructing it would stop the program.
            problems.push_back(std::string("no definition for section ") + c->name);
            continue;
        }
        Section *section = c->construct();
        built->push_back(section);
        if (section->name != c->name) problems.push_back(std::string(c->name) + ": builds section " + section->name);
        if (Section::map[c->name] != section) problems.push_back(std::string(c->name) + ": not in the map");
        section_fields_check(section, &problems);
    }
    for (TiXmlElement *e = root->FirstChildElement(); e; e = e->NextSiblingElement())
        if (!registered.count(e->ValueStr()))
            problems.push_back("section " + e->ValueStr() + " is defined but no class reads it");
    return problems;
}

std::string join(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) text += line + "\n";
    return text;
}

TEST(ShippedDefinition, MatchesEverySectionClass) {
    definition_use(file_read(conf_dir + "section.xml"));
    std::vector<Section *> built;
    std::vector<std::string> problems = classes_check(section_classes, &built);
    EXPECT_TRUE(problems.empty()) << join(problems);

    // The shipped configuration is valid for it: it loads (a flawed value
    // would end the program here) and holds every section.
    TiXmlDocument shipped;
    ASSERT_TRUE(shipped.LoadFile((conf_dir + "korvantel.xml").c_str())) << shipped.ErrorDesc();
    ASSERT_TRUE(shipped.RootElement());
    EXPECT_EQ(shipped.RootElement()->ValueStr(), "korvantel");
    for (const SECTION_CLASS *c = section_classes; c->name; c++)
        EXPECT_TRUE(shipped.RootElement()->FirstChildElement(c->name)) << c->name << " missing in korvantel.xml";
    EXPECT_EQ(config_load(3, (conf_dir + "korvantel.xml").c_str()), 1);
}

// The mechanism, on the test-only section.
Section *test_construct() { return new TestSection(); }

const SECTION_CLASS test_classes[] = {
    {"testsec", test_construct},
    {nullptr, nullptr},
};

std::vector<std::string> test_problems(const std::string &definition) {
    definition_use(definition);
    std::vector<Section *> built;
    std::vector<std::string> problems = classes_check(test_classes, &built);
    for (Section *section : built) delete section;
    return problems;
}

std::string without(std::string text, const std::vector<std::string> &pieces) {
    for (const std::string &piece : pieces) {
        size_t start = text.find(piece);
        EXPECT_NE(start, std::string::npos) << piece;
        if (start == std::string::npos) continue;
        // The whole line that holds the piece.
        start = text.rfind('\n', start) + 1;
        text.erase(start, text.find('\n', start) + 1 - start);
    }
    return text;
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// The text with the whole lines holding two pieces exchanged.
std::string swapped(const std::string &text, const std::string &first, const std::string &second) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    size_t a = lines.size(), b = lines.size();
    for (size_t i = 0; i < lines.size(); i++) {
        if (a == lines.size() && lines[i].find(first) != std::string::npos) a = i;
        if (b == lines.size() && lines[i].find(second) != std::string::npos) b = i;
    }
    EXPECT_TRUE(a < lines.size() && b < lines.size()) << first << " " << second;
    if (a < lines.size() && b < lines.size()) std::swap(lines[a], lines[b]);
    std::string joined;
    for (const std::string &line : lines) joined += line + "\n";
    return joined;
}

TEST(DefinitionCheck, MatchingDefinitionPasses) {
    std::vector<std::string> problems = test_problems(test_definition);
    EXPECT_TRUE(problems.empty()) << join(problems);
}

TEST(DefinitionCheck, DriftIsCaught) {
    const std::string def = test_definition;
    const struct {
        const char *what;
        std::string definition;
        const char *problem;
    } cases[] = {
        {"option retyped", replaced(def, "<type>UINT</type>", "<type>INT</type>"),
         "testsec: option 1 (size) is INT, the code reads it as UINT"},
        {"select retyped", replaced(def, "<type>STRING_SELECT_ONE</type>", "<type>STRING_RANGE</type>"),
         "testsec: option 4 (colour) is STRING_RANGE, the code reads it as STRING_SELECT_ONE"},
        {"options removed", without(def, {"<ratio n=", "<extra n=", "<hidden n="}),
         "testsec: option 14 does not exist, the code reads it as DOUBLE"},
        {"entry field retyped", replaced(def, "<value>1</value><type>INT</type>", "<value>1</value><type>UINT</type>"),
         "testsec: entry list 0 (allow) field 3 (weight) is UINT, the code reads it as INT"},
        {"entry list shifted", without(def, {"<deny>"}),
         "testsec: entry list 1 (orphan) field 4 does not exist, the code reads it as INT_RANGE"},
        {"entry list removed", without(def, {"<deny>", "<orphan>"}), "testsec: entry list 1 does not exist"},
        {"entry field renamed", replaced(replaced(def, "<weight n=", "<height n="), "</weight>", "</height>"),
         "testsec: entry list 0 (allow) field 3 is named height, the code reads it as weight"},
        {"options swapped",
         replaced(replaced(swapped(def, "<extra n=", "<hidden n="), "<hidden n=\"16\">", "<hidden n=\"15\">"),
                  "<extra n=\"15\">", "<extra n=\"16\">"),
         "testsec: option 15 is named hidden, the code reads it as extra"},
        {"option added",
         replaced(def, "</global>",
                  "<more n=\"17\"><comment>More</comment><value/><type>STRING</type><desc/></more>"
                  "</global>"),
         "testsec: option 17 (more) is not declared by the code"},
        {"entry field added",
         replaced(def, "</rule>",
                  "<more n=\"6\"><comment>More</comment><value/><type>INT</type><desc/></more>"
                  "</rule>"),
         "testsec: entry list 1 (deny) field 6 (more) is not declared by the code"},
        {"section renamed", replaced(replaced(def, "<testsec>", "<tests>"), "</testsec>", "</tests>"),
         "no definition for section testsec"},
        {"section without class", definition_for({"stray"}), "section stray is defined but no class reads it"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> problems = test_problems(c.definition);
        bool found = false;
        for (const std::string &line : problems) found = found || line == c.problem;
        EXPECT_TRUE(found) << "got:\n" << join(problems);
    }
}

}  // namespace
