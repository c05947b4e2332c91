// A test-only configuration section with one field of every type, its
// definition document, and helpers shared by the configuration tests.
#ifndef KORVANTEL_TEST_CONFIG_FIXTURE_H
#define KORVANTEL_TEST_CONFIG_FIXTURE_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "general.h"
#include "log.h"
#include "section.h"
#include "settings.h"
#include "xml.h"

// Definition of the section "testsec": options 0-16 cover every type keyword
// (plus an optional and a disabled field), template "rule" is shared by the
// subsections "allow" and "deny", and "orphan" names a template that does
// not exist.
static const char test_definition[] = R"XML(<?xml version="1.0"?>
<section>
  <testsec>
    <comment>Test section</comment>
    <desc>A section for the tests</desc>
    <select>
      <colours>
        <red><comment>Red</comment><desc>The red one</desc></red>
        <green><value>true</value></green>
        <blue><comment>Blue</comment></blue>
      </colours>
      <days>
        <mon/><tue/><wed/><thu/><fri/><sat/><sun/>
      </days>
    </select>
    <global>
      <count n="0"><comment>Count</comment><value>5</value><type>INT</type><desc>How many</desc></count>
      <size n="1"><comment>Size</comment><value>7</value><type>UINT</type><desc></desc></size>
      <flag n="2"><comment>Flag</comment><value>TRUE</value><type>BOOL</type><desc/></flag>
      <label n="3"><comment>Label</comment><value>hello</value><type>STRING</type><desc/></label>
      <colour n="4"><comment>Colour</comment><value>colours</value><type>STRING_SELECT_ONE</type><desc/></colour>
      <palette n="5"><comment>Palette</comment><value>colours</value><type>STRING_SELECT_MANY</type><desc/></palette>
      <names n="6"><comment>Names</comment><value>a,b</value><type>STRING_LIST</type><desc/></names>
      <clients n="7"><comment>Clients</comment><value></value><type>IP_RANGE_LIST</type><desc/></clients>
      <ports n="8"><comment>Ports</comment><value>80</value><type>PORT_RANGE_LIST</type><desc/></ports>
      <days n="9"><comment>Days</comment><value>days</value><type>STRING_RANGE</type><desc/></days>
      <hours n="10"><comment>Hours</comment><value>0,23</value><type>INT_RANGE</type><desc/></hours>
      <limit n="11"><comment>Limit</comment><value>10K</value><type>FILE_SIZE</type><desc/></limit>
      <text n="12"><comment>Text</comment><value/><type>MULTILINE_STRING</type><desc/></text>
      <quota n="13"><comment>Quota</comment><value>4g</value><type>LONG_FILE_SIZE</type><desc/></quota>
      <ratio n="14"><comment>Ratio</comment><value>0.5</value><type>DOUBLE</type><desc/></ratio>
      <extra n="15"><comment>Extra</comment><value>x</value><type>STRING</type><optional>true</optional><desc/></extra>
      <hidden n="16"><comment>Hidden</comment><value>h</value><type>STRING</type><enabled>false</enabled><desc/></hidden>
    </global>
    <template>
      <rule>
        <enabled n="0"><comment>Enabled</comment><value>true</value><type>BOOL</type><desc/></enabled>
        <comment n="1"><comment>Comment</comment><value/><type>STRING</type><desc/></comment>
        <profiles n="2"><comment>Profiles</comment><value/><type>STRING</type><desc/></profiles>
        <weight n="3"><comment>Weight</comment><value>1</value><type>INT</type><optional>TRUE</optional><desc/></weight>
        <range n="4"><comment>Range</comment><value>0,10</value><type>INT_RANGE</type><desc/></range>
        <days n="5"><comment>Days</comment><value>days</value><type>STRING_RANGE</type><desc/></days>
      </rule>
    </template>
    <subsection>
      <allow><comment>Allowed</comment><template>rule</template><desc>Allowed things</desc></allow>
      <deny><comment>Denied</comment><template>rule</template><desc>Denied things</desc><enabled>no</enabled></deny>
      <orphan><comment>Orphan</comment><template>nothing</template><desc>No template</desc></orphan>
    </subsection>
  </testsec>
</section>
)XML";

// Its options, bound in place, and one rule of "allow" or "deny".
struct TestOptions {
    const int *count = nullptr;
    const uint32_t *size = nullptr;
    const int *flag = nullptr;
    const std::string *label = nullptr;
    const int *colour = nullptr;
    const int *palette = nullptr;
    const StringList *names = nullptr;
    const IpRangeList *clients = nullptr;
    const PortRangeList *ports = nullptr;
    const int *days = nullptr;
    const int *hours = nullptr;
    const uint32_t *limit = nullptr;
    const std::string *text = nullptr;
    const uint64_t *quota = nullptr;
    const double *ratio = nullptr;
    const std::string *extra = nullptr;
    const std::string *hidden = nullptr;
};

struct TestRule {
    bool enabled = false;
    std::string comment = "none";
    std::string profiles;
    int weight = -1;
    int low = -1, high = -1;  // the range, by a converter
};

inline void test_range_read(TestRule &rule, const Field &field) {
    rule.low = field.int_value;
    rule.high = field.int_value2;
}

static const FIELD_BIND<TestOptions> test_options[] = {
    FIELD_BIND_OF(TestOptions, 0, "count", FIELD_INT, count),
    FIELD_BIND_OF(TestOptions, 1, "size", FIELD_UINT, size),
    FIELD_BIND_OF(TestOptions, 2, "flag", FIELD_BOOL, flag),
    FIELD_BIND_OF(TestOptions, 3, "label", FIELD_STRING, label),
    FIELD_BIND_OF(TestOptions, 4, "colour", FIELD_STRING_SELECT_ONE, colour),
    FIELD_BIND_OF(TestOptions, 5, "palette", FIELD_STRING_SELECT_MANY, palette),
    FIELD_BIND_OF(TestOptions, 6, "names", FIELD_STRING_LIST, names),
    FIELD_BIND_OF(TestOptions, 7, "clients", FIELD_IP_RANGE_LIST, clients),
    FIELD_BIND_OF(TestOptions, 8, "ports", FIELD_PORT_RANGE_LIST, ports),
    FIELD_BIND_OF(TestOptions, 9, "days", FIELD_STRING_RANGE, days),
    FIELD_BIND_OF(TestOptions, 10, "hours", FIELD_INT_RANGE, hours),
    FIELD_BIND_OF(TestOptions, 11, "limit", FIELD_FILE_SIZE, limit),
    FIELD_BIND_OF(TestOptions, 12, "text", FIELD_MULTILINE_STRING, text),
    FIELD_BIND_OF(TestOptions, 13, "quota", FIELD_LONG_FILE_SIZE, quota),
    FIELD_BIND_OF(TestOptions, 14, "ratio", FIELD_DOUBLE, ratio),
    FIELD_BIND_OF(TestOptions, 15, "extra", FIELD_STRING, extra),
    FIELD_BIND_OF(TestOptions, 16, "hidden", FIELD_STRING, hidden),
};

static const FIELD_BIND<TestRule> test_rule_fields[] = {
    FIELD_BIND_OF(TestRule, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(TestRule, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(TestRule, 2, "profiles", FIELD_STRING, profiles),
    FIELD_BIND_OF(TestRule, 3, "weight", FIELD_INT, weight),
    FIELD_BIND_BY(TestRule, 4, "range", FIELD_INT_RANGE, test_range_read),
    FIELD_BIND_HAND(TestRule, 5, "days", FIELD_STRING_RANGE),  // read by the tests themselves
};

class TestSection : public Section {
public:
    int updates = 0;
    TestOptions opts;
    explicit TestSection(int lock_type = SECTION_RWLOCK, const char *name = "testsec") : Section(name, lock_type) {
        options_bind(test_options, &opts);
        fields_declare(0, test_rule_fields);
        fields_declare(1, test_rule_fields);
    }
    void update() override { updates++; }
};

// Replaces `sectionxml` by a document parsed from text.
inline void definition_use(const std::string &text) {
    TiXmlBase::SetCondenseWhiteSpace(false);
    delete sectionxml;
    sectionxml = new TiXmlDocument();
    sectionxml->Parse(text.c_str());
    ASSERT_FALSE(sectionxml->Error()) << sectionxml->ErrorDesc();
}

// The test definition with the "testsec" element repeated under more names.
inline std::string definition_for(const std::vector<std::string> &names) {
    std::string text = test_definition;
    size_t start = text.find("  <testsec>"), end = text.find("</testsec>") + strlen("</testsec>\n");
    const std::string block = text.substr(start, end - start);
    std::string more;
    for (const std::string &name : names) {
        std::string copy = block;
        copy.replace(copy.find("<testsec>"), strlen("<testsec>"), "<" + name + ">");
        copy.replace(copy.find("</testsec>"), strlen("</testsec>"), "</" + name + ">");
        more += copy;
    }
    text.insert(end, more);
    return text;
}

// Forgets the current configuration document.
inline void document_forget() {
    pthread_mutex_lock(&documentlock);
    delete document;
    document = nullptr;
    documentsynctime = 0;
    pthread_mutex_unlock(&documentlock);
}

// A directory of its own for a test's files, removed afterwards.
class TempDir {
public:
    std::string path;
    TempDir() {
        char name[] = "/tmp/korvantel_config_XXXXXX";
        const char *made = mkdtemp(name);
        path = made ? made : "";
    }
    ~TempDir() {
        if (!path.empty()) {
            std::string command = "rm -rf '" + path + "'";
            int r = system(command.c_str());
            (void)r;
        }
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
    std::string write(const std::string &name, const std::string &text) const {
        std::ofstream out(file(name), std::ios::binary);
        out << text;
        return file(name);
    }
};

inline std::string file_read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The shipped general section (built on first use, from the shipped
// definitions) with the default pool options and one rule for every
// connection whose connect time-out is ctimeout seconds. Deleting
// general_section afterwards brings the defaults back.
inline void general_ctimeout_use(int ctimeout) {
    if (!general_section) {
        definition_use(file_read(std::string(KORVANTEL_SOURCE_DIR) + "/conf/section.xml"));
        general_construct();
    }
    const std::string t = std::to_string(ctimeout);
    std::string xml =
        "<korvantel><general><hostname>proxy.example.org</hostname><tempdir>/tmp</tempdir>"
        "<linelength>0</linelength><poolsize>64</poolsize><pooltimeout>300</pooltimeout>"
        "<rule><enabled>true</enabled><comment/><profiles/><ctimeout>" +
        t +
        "</ctimeout><timeout>60</timeout>"
        "<keeptimeout>15</keeptimeout><maxdbuffer>4M</maxdbuffer><maxubuffer>4M</maxubuffer>"
        "<bufferwait>0</bufferwait><cportrange>443</cportrange><encodemime/><compressout>false</compressout>"
        "<compressin>false</compressin><xforwardedfor>false</xforwardedfor><via>false</via></rule>"
        "</general></korvantel>";
    TiXmlDocument document;
    document.Parse(xml.c_str());
    ASSERT_FALSE(document.Error()) << document.ErrorDesc();
    general_section->load(&document, 1);
}

// Makes putlog write to standard error inside a death test's child, where
// the death-test matcher reads it.
inline void log_to_stderr() {
    daemonize = 0;
    dup2(2, 1);
}

#endif
