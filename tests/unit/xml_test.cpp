// The configuration document: loading into sections, saving, URL loads.
#include <dirent.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "global.h"
#include "misc.h"
#include "origin_fixture.h"
#include "serverpool.h"

using namespace origintest;

namespace {

// A configuration document for "testsec" with a value for every field.
const char full_document[] = R"XML(<?xml version="1.0"?>
<!-- outside the root -->
<korvantel>
  <other><keep>me</keep></other>
  <testsec>
    <!-- a comment inside the section -->
    <count>12</count>
    <size>-1</size>
    <flag>false</flag>
    <label>hi there</label>
    <colour>blue</colour>
    <palette>red,blue,purple</palette>
    <names>x,,y</names>
    <clients>10.0.0.0-10.255.255.255</clients>
    <ports>80,443</ports>
    <days>tue,SUN</days>
    <hours>8,17</hours>
    <limit>2M</limit>
    <text>line one
line two &lt;b&gt; &amp;</text>
    <quota>5g</quota>
    <ratio>1.25</ratio>
    <extra active="true">extra value</extra>
    <hidden>not read</hidden>
    <allow><enabled>true</enabled><comment>first</comment><profiles>staff</profiles><weight active="false">9</weight><range>5,3</range><days>mon,fri</days></allow>
    <allow><enabled>FALSE</enabled><comment>second</comment><profiles></profiles><weight active="TRUE">4</weight><range>0,10</range><days>sat,sun</days></allow>
    <deny><enabled>true</enabled><comment>denied</comment><profiles/><weight>2</weight><range>1,1</range><days>mon,mon</days></deny>
    <unknown>ignored</unknown>
  </testsec>
</korvantel>
)XML";

std::string edited(const std::string &from, const std::string &to) {
    std::string text = full_document;
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

class XmlTest : public testing::Test {
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
        slave = 0;
    }
    int load(const std::string &text, int clear = 3, const char *name = "korvantel.xml") {
        return config_load(clear, dir.write(name, text).c_str());
    }
    const Field &option(int k) { return section->options[k]; }
    ItemList &entries(int k) { return section->subsections[k].items; }
};

TEST_F(XmlTest, LoadsEveryType) {
    ASSERT_EQ(load(full_document), 1);
    EXPECT_EQ(section->updates, 1);
    EXPECT_EQ(option(0).int_value, 12);
    EXPECT_EQ(option(1).uint_value, 4294967295u);
    EXPECT_EQ(option(2).int_value, 0);
    EXPECT_EQ(option(3).string_value, "hi there");
    EXPECT_EQ(option(4).int_value, 2);
    EXPECT_FALSE(option(4).select_vector[1].selected);
    EXPECT_TRUE(option(4).select_vector[2].selected);
    EXPECT_EQ(option(5).int_value, 5);
    EXPECT_TRUE(option(5).string_list.has("purple"));  // unknown values stay in the list
    EXPECT_TRUE(option(5).select_vector[0].selected && !option(5).select_vector[1].selected);
    EXPECT_EQ(option(6).string_list.size(), 3u);
    EXPECT_TRUE(option(7).ip_range_list.has("10.1.2.3"));
    EXPECT_FALSE(option(7).ip_range_list.has("11.0.0.0"));
    EXPECT_EQ(option(7).ip_range_list.text, "10.0.0.0-10.255.255.255");
    EXPECT_TRUE(option(8).port_range_list.has(443));
    EXPECT_FALSE(option(8).port_range_list.has(8080));
    EXPECT_EQ(option(9).int_value, 1);
    EXPECT_EQ(option(9).int_value2, 6);
    EXPECT_TRUE(option(9).select_vector[1].selected);
    EXPECT_TRUE(option(9).select_vector2[6].selected);
    EXPECT_FALSE(option(9).select_vector2[1].selected);
    EXPECT_EQ(option(10).int_value, 8);
    EXPECT_EQ(option(10).int_value2, 17);
    EXPECT_EQ(option(11).uint_value, 2097152u);
    EXPECT_EQ(option(12).string_value, "line one\nline two <b> &");
    EXPECT_EQ(option(13).ulonglong_value, 5368709120ull);
    EXPECT_DOUBLE_EQ(option(14).double_value, 1.25);
    EXPECT_TRUE(option(15).active);
    EXPECT_EQ(option(15).string_value, "extra value");
    EXPECT_EQ(option(16).string_value, "h");  // disabled: never read

    ASSERT_EQ(entries(0).size(), 2u);
    const Item &first = entries(0).front();
    EXPECT_EQ(first.fields[0].int_value, 1);
    EXPECT_EQ(first.fields[1].string_value, "first");
    EXPECT_FALSE(first.fields[3].active);
    EXPECT_EQ(first.fields[3].string_value, "9");  // the text is replaced, the value kept
    EXPECT_EQ(first.fields[3].int_value, 1);
    EXPECT_EQ(first.fields[4].int_value, 5);  // the first may exceed the second
    EXPECT_EQ(first.fields[4].int_value2, 3);
    const Item &second = entries(0).back();
    EXPECT_EQ(second.fields[0].int_value, 0);
    EXPECT_TRUE(second.fields[3].active);
    EXPECT_EQ(second.fields[3].int_value, 4);
    EXPECT_EQ(entries(1).size(), 1u);
    EXPECT_TRUE(entries(2).empty());
    // Entries from the document have ids of their own.
    EXPECT_NE(first.id_get(), second.id_get());
}

TEST_F(XmlTest, StringRangeEntryShowsItsValuesSelected) {
    ASSERT_EQ(load(full_document), 1);
    const Field &days = entries(0).front().fields[5];
    for (size_t i = 0; i < days.select_vector.size(); i++) {
        EXPECT_EQ(days.select_vector[i].selected, i == 0) << i;
        EXPECT_EQ(days.select_vector2[i].selected, i == 4) << i;
    }
}

TEST_F(XmlTest, SelectValuesFollowTheDocument) {
    section->options[5].int_value = 0xff;
    ASSERT_EQ(load(edited("<palette>red,blue,purple</palette>", "<palette>red,blue</palette>")), 1);
    EXPECT_EQ(option(5).int_value, 5);

    // A select-one text naming no possible value selects nothing and keeps the index.
    ASSERT_EQ(load(edited("<colour>blue</colour>", "<colour>purple</colour>")), 1);
    EXPECT_EQ(option(4).int_value, 2);
    for (const StringSelect &value : option(4).select_vector) EXPECT_FALSE(value.selected);
}

TEST_F(XmlTest, MissingValuesOfForgivingTypesReadAsEmpty) {
    ASSERT_EQ(load(edited("<count>12</count>", "")), 1);
    EXPECT_EQ(option(0).int_value, 0);
    EXPECT_EQ(option(0).string_value, "");
}

struct Flawed {
    const char *from;
    const char *to;
    const char *message;  // a regular expression
};

TEST_F(XmlTest, FlawedValuesEndTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Flawed cases[] = {
        {"<enabled>true</enabled><comment>first", "<enabled>yes</enabled><comment>first",
         "flawed XML file, section testsec, element allow: enabled must be true or false, but it is given value yes"},
        {"<flag>false</flag>", "",
         "flawed XML file, section testsec, element : flag must be true or false, but it is given value \n"},
        {"<flag>false</flag>", "<flag>True</flag>", "element : flag must be true or false, but it is given value True"},
        {"<range>5,3</range>", "<range>5,11</range>",
         "element allow: range must be a couple of integers between 0 and 10 inclusive, but it is given value 5,11"},
        {"<range>5,3</range>", "<range>5</range>", "range must be a couple of integers"},
        {"<count>12</count>", "<count>12x</count>", "element : count must be an integer, but it is given value 12x"},
        {"<size>-1</size>", "<size>one</size>", "size must be a positive integer"},
        {"<clients>10.0.0.0-10.255.255.255</clients>", "<clients>10.0.0.300</clients>",
         "clients must be an IP range list .see manual., but it is given value 10.0.0.300"},
        {"<ports>80,443</ports>", "<ports>0</ports>", "ports must be a port range list"},
        {"<days>tue,SUN</days>", "<days>tue,xyz</days>",
         "days must be a couple of strings among these values : mon,tue,wed,thu,fri,sat,sun, but it is given "
         "value tue,xyz"},
        {"<limit>2M</limit>", "<limit>2 parsecs</limit>", "limit must be a file size .for example 120, 10K, 1M."},
        {"<quota>5g</quota>", "<quota>k</quota>", "quota must be a file size"},
        {"<ratio>1.25</ratio>", "<ratio>abc</ratio>", "ratio must be a floating point number"},
    };
    for (const Flawed &c : cases) {
        SCOPED_TRACE(c.from);
        const std::string path = dir.write("flawed.xml", edited(c.from, c.to));
        EXPECT_EXIT((log_to_stderr(), config_load(3, path.c_str(), true)), testing::ExitedWithCode(1), c.message);
    }
}

TEST_F(XmlTest, FlawedValuesAfterStartUpChangeNothing) {
    ASSERT_EQ(load(full_document), 1);
    const int updates = section->updates;
    const size_t allowed = entries(0).size();
    // The flawed entry comes after good options and good entries: none of
    // them may be taken either.
    for (int clear : {0, 1}) {
        SCOPED_TRACE(clear);
        std::string text = edited("<count>12</count>", "<count>77</count>");
        size_t last = text.rfind("<range>1,1</range>");
        ASSERT_NE(last, std::string::npos);
        text.replace(last, strlen("<range>1,1</range>"), "<range>1,11</range>");
        EXPECT_EQ(config_load(clear, dir.write("flawed.xml", text).c_str()), 0);
        EXPECT_EQ(option(0).int_value, 12);
        EXPECT_EQ(entries(0).size(), allowed);
        EXPECT_EQ(section->updates, updates);
    }
}

TEST_F(XmlTest, OptionalOptionWithoutElementStopsThatSection) {
    const char *variants[] = {"", "<extra active=\"maybe\">x</extra>"};
    for (const char *variant : variants) {
        SCOPED_TRACE(variant);
        section.reset(new TestSection());
        ASSERT_EQ(load(edited("<extra active=\"true\">extra value</extra>", variant)), 1);
        EXPECT_EQ(option(0).int_value, 12);  // options before it are loaded
        EXPECT_EQ(option(16).string_value, "h");
        EXPECT_TRUE(entries(0).empty());  // entries untouched
        EXPECT_EQ(section->updates, 0);
        EXPECT_EQ(pthread_rwlock_trywrlock(&section->rwlock), 0);  // the lock was released
        pthread_rwlock_unlock(&section->rwlock);
    }
}

TEST_F(XmlTest, EntryFieldWithWrongActiveKeepsTemplateStateAndEntryIsAdded) {
    ASSERT_EQ(load(edited("<weight active=\"TRUE\">4</weight>", "<weight active=\"maybe\">4</weight>")), 1);
    ASSERT_EQ(entries(0).size(), 2u);
    const Field &weight = entries(0).back().fields[3];
    EXPECT_FALSE(weight.active);
    EXPECT_EQ(weight.int_value, 1);
    EXPECT_EQ(entries(0).back().fields[4].int_value2, 10);  // later fields still load
}

TEST_F(XmlTest, ClearDecidesBetweenAppendingAndReplacing) {
    ASSERT_EQ(load(full_document, 0), 1);
    ASSERT_EQ(load(edited("<count>12</count>", "<count>13</count>"), 0), 1);
    EXPECT_EQ(entries(0).size(), 4u);
    EXPECT_EQ(entries(1).size(), 2u);
    EXPECT_EQ(option(0).int_value, 13);
    ASSERT_EQ(load(full_document, 1), 1);
    EXPECT_EQ(entries(0).size(), 2u);
    EXPECT_EQ(entries(1).size(), 1u);
    EXPECT_EQ(option(0).int_value, 12);
    EXPECT_EQ(section->updates, 3);
}

TEST_F(XmlTest, DocumentWithoutTheSectionLeavesItAlone) {
    ASSERT_EQ(load(full_document), 1);
    const int before_id = entries(0).front().id_get();
    ASSERT_EQ(load("<korvantel><other/></korvantel>"), 1);
    EXPECT_EQ(section->updates, 1);
    EXPECT_EQ(option(0).int_value, 12);
    ASSERT_EQ(entries(0).size(), 2u);
    EXPECT_EQ(entries(0).front().id_get(), before_id);

    // The next save writes the section's current values at the end of the root.
    const std::string saved = dir.file("saved.xml");
    ASSERT_TRUE(config_save(saved.c_str()));
    TiXmlDocument out;
    ASSERT_TRUE(out.LoadFile(saved.c_str()));
    TiXmlElement *root = out.RootElement();
    EXPECT_EQ(root->FirstChildElement()->ValueStr(), "other");
    TiXmlNode *last = root->LastChild();
    ASSERT_TRUE(last && last->ToElement());
    EXPECT_EQ(last->ValueStr(), "testsec");
    EXPECT_STREQ(last->FirstChildElement("count")->GetText(), "12");
}

TEST_F(XmlTest, SaveRewritesSectionsAndKeepsTheRest) {
    ASSERT_EQ(load(full_document), 1);
    const std::string saved = dir.file("saved.xml");
    ASSERT_TRUE(config_save(saved.c_str()));
    TiXmlDocument out;
    ASSERT_TRUE(out.LoadFile(saved.c_str()));
    EXPECT_TRUE(out.FirstChild()->ToDeclaration());
    ASSERT_TRUE(out.FirstChild()->NextSibling()->ToComment());  // outside the root: kept
    TiXmlElement *root = out.RootElement();
    ASSERT_EQ(root->ValueStr(), "korvantel");
    EXPECT_STREQ(root->FirstChildElement("other")->FirstChildElement("keep")->GetText(), "me");

    TiXmlElement *element = root->FirstChildElement("testsec");
    ASSERT_TRUE(element);
    std::vector<std::string> names;
    for (TiXmlNode *child = element->FirstChild(); child; child = child->NextSibling()) {
        ASSERT_TRUE(child->ToElement()) << "only elements remain";
        names.push_back(child->ValueStr());
    }
    const std::vector<std::string> expected = {"count",   "size",  "flag",   "label", "colour", "palette", "names",
                                               "clients", "ports", "days",   "hours", "limit",  "text",    "quota",
                                               "ratio",   "extra", "hidden", "allow", "allow",  "deny"};
    EXPECT_EQ(names, expected);
    EXPECT_STREQ(element->FirstChildElement("hidden")->GetText(), "h");  // disabled: saved with its text
    EXPECT_STREQ(element->FirstChildElement("extra")->Attribute("active"), "true");
    EXPECT_EQ(element->FirstChildElement("count")->Attribute("active"), nullptr);
    TiXmlElement *allow = element->FirstChildElement("allow");
    EXPECT_STREQ(allow->FirstChildElement("weight")->Attribute("active"), "false");
    EXPECT_STREQ(allow->FirstChildElement("weight")->GetText(), "9");
    EXPECT_EQ(allow->FirstChildElement("profiles")->Attribute("active"), nullptr);
    EXPECT_STREQ(allow->NextSiblingElement("allow")->FirstChildElement("weight")->Attribute("active"), "true");

    // What was saved loads back into the same values, line breaks included.
    section.reset(new TestSection());
    ASSERT_EQ(config_load(3, saved.c_str()), 1);
    EXPECT_EQ(option(12).string_value, "line one\nline two <b> &");
    EXPECT_EQ(option(5).int_value, 5);
    EXPECT_EQ(entries(0).size(), 2u);
    EXPECT_EQ(entries(0).front().fields[3].string_value, "9");
}

TEST_F(XmlTest, UnusableDocumentsChangeNothing) {
    ASSERT_EQ(load(full_document), 1);
    TiXmlDocument *current = document;
    const char *documents[] = {"<korvantel><testsec>", "not xml at all", "", "<section><testsec/></section>",
                               "<!-- only a comment -->"};
    for (const char *text : documents) {
        SCOPED_TRACE(text);
        EXPECT_EQ(load(text, 3, "bad.xml"), 0);
        EXPECT_EQ(document, current);
    }
    EXPECT_EQ(config_load(3, dir.file("missing.xml").c_str()), 0);
    EXPECT_EQ(config_load(3, ""), 0);
    EXPECT_EQ(document, current);
    EXPECT_EQ(section->updates, 1);
    EXPECT_EQ(entries(0).size(), 2u);
}

TEST_F(XmlTest, FileLoadRecordsTheTimeOnlyOnAMaster) {
    const time_t before = time(nullptr);
    ASSERT_EQ(load(full_document), 1);
    EXPECT_GE(documentsynctime, before);
    slave = 1;
    documentsynctime = 5;
    ASSERT_EQ(load(full_document), 1);
    EXPECT_EQ(documentsynctime, 5);
}

// Configuration documents from a loopback origin, by path: /missing is a
// 404 with a usable body, /open and /wrongroot are unusable, /xml is good.
std::string config_origin_answer(const std::string &head) {
    size_t end = head.find(' ', 4);
    std::string path = end == std::string::npos ? "" : head.substr(4, end - 4);
    std::string status = "200 OK", body = edited("<count>12</count>", "<count>99</count>");
    if (path == "/missing") status = "404 Not Found";
    else if (path == "/open") body = "<korvantel>";
    else if (path == "/wrongroot") body = "<other><testsec/></other>";
    else if (path != "/xml" && path != "/kept") status = "500 Server Error";
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           (path == "/kept" ? "\r\n\r\n" : "\r\nConnection: close\r\n\r\n") + body;
}

TEST_F(XmlTest, UrlLoads) {
    ASSERT_EQ(load(full_document), 1);
    documentsynctime = 77;
    TiXmlDocument *current = document;
    GLOBAL_T *saved_global = global;
    GLOBAL_T local_global;
    memset((void *)&local_global, 0, sizeof local_global);
    local_global.serverpool = new ServerPool();
    global = &local_global;

    // Nobody answers: nothing loads.
    std::string closed = "http://127.0.0.1:" + std::to_string(free_port()) + "/xml";
    EXPECT_EQ(config_load(1, closed.c_str()), 0);
    EXPECT_EQ(document, current);

    Origin origin;
    origin.answer = [](const std::string &head, int) { return config_origin_answer(head); };
    origin.start();
    const std::string base = "http://127.0.0.1:" + std::to_string(origin.port);
    EXPECT_EQ(config_load(1, (base + "/missing").c_str()), 0);
    ASSERT_EQ(origin.heads().size(), 1u);
    EXPECT_EQ(origin.heads()[0].compare(0, 22, "GET /missing HTTP/1.1\r"), 0) << origin.heads()[0];
    EXPECT_EQ(header_value(origin.heads()[0], "Host"), "127.0.0.1:" + std::to_string(origin.port));
    EXPECT_EQ(document, current);
    EXPECT_EQ(option(0).int_value, 12);

    for (const char *path : {"/open", "/wrongroot"}) {
        EXPECT_EQ(config_url_load((base + path).c_str(), 1), 0) << path;
        EXPECT_EQ(document, current);
    }
    EXPECT_EQ(origin.heads().size(), 3u);

    EXPECT_EQ(config_load(1, (base + "/xml").c_str()), 1);
    EXPECT_EQ(option(0).int_value, 99);
    EXPECT_EQ(entries(0).size(), 2u);
    EXPECT_EQ(documentsynctime, 77);  // a URL load does not move the time
    // Fetched while the configuration loads: the server's connection is not
    // kept, even when the server would keep it open.
    EXPECT_EQ(config_load(1, (base + "/kept").c_str()), 1);
    EXPECT_EQ(local_global.serverpool->Count(), 0);

    global = saved_global;
    delete local_global.serverpool;
}

TEST_F(XmlTest, SaveNeedsADocumentAndAWritablePlace) {
    EXPECT_FALSE(config_save(dir.file("never.xml").c_str()));  // no document yet
    ASSERT_EQ(load(full_document), 1);
    EXPECT_FALSE(config_save(""));
    EXPECT_FALSE(config_save(dir.file("no/such/dir.xml").c_str()));
    mkdir(dir.file("adir").c_str(), 0755);
    EXPECT_FALSE(config_save(dir.file("adir").c_str()));
    struct stat st;
    ASSERT_EQ(stat(dir.file("adir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    config_xml_build();  // harmless while holding no lock in a single thread
}

std::vector<std::string> dir_entries(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (!d) return names;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(XmlTest, SaveReplacesTheFileWholeKeepingModeAndLinks) {
    const std::string path = dir.write("korvantel.xml", full_document);
    chmod(path.c_str(), 0600);
    ASSERT_EQ(config_load(3, path.c_str()), 1);
    section->options[0].string_value = "21";
    symlink("korvantel.xml", dir.file("link.xml").c_str());
    ASSERT_TRUE(config_save(dir.file("link.xml").c_str()));

    struct stat st;
    ASSERT_EQ(lstat(dir.file("link.xml").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(file_read(path).find("<count>21</count>"), std::string::npos);
    EXPECT_EQ(dir_entries(dir.path), (std::vector<std::string>{"korvantel.xml", "link.xml"}));
}

[[noreturn]] void save_with_small_files(const std::string &path) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = 100;
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(config_save(path.c_str()) ? 2 : 0);
}

TEST_F(XmlTest, FailedWriteLeavesTheOldFileWhole) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = dir.write("korvantel.xml", full_document);
    ASSERT_EQ(config_load(3, path.c_str()), 1);
    // In a child whose files may not grow past 100 bytes, the write fails.
    EXPECT_EXIT(save_with_small_files(path), testing::ExitedWithCode(0), "");
    EXPECT_EQ(file_read(path), full_document);
    EXPECT_EQ(dir_entries(dir.path), std::vector<std::string>{"korvantel.xml"});
}

// A save cut short by the signal that exceeding the file size limit sends.
[[noreturn]] void save_killed_while_writing(const std::string &path) {
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = 100;
    setrlimit(RLIMIT_FSIZE, &limit);
    config_save(path.c_str());
    _exit(0);
}

TEST_F(XmlTest, SaveRemovesWhatInterruptedSavesLeft) {
    const std::string path = dir.write("korvantel.xml", full_document);
    ASSERT_EQ(config_load(3, path.c_str()), 1);
    // A forked child, so that what it leaves is in this test's directory.
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) save_killed_while_writing(path);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    EXPECT_EQ(file_read(path), full_document);
    std::vector<std::string> names = dir_entries(dir.path);
    ASSERT_EQ(names.size(), 2u);  // the interrupted save's temporary file
    EXPECT_EQ(names[1].substr(0, 14), "korvantel.xml.");
    // Files that only look alike stay.
    dir.write("korvantel.xml.orig", "keep");
    dir.write("korvantel.xml.12345", "keep");

    // The failure paths leave nothing behind: a rename onto a directory.
    mkdir(dir.file("adir").c_str(), 0755);
    EXPECT_FALSE(config_save(dir.file("adir").c_str()));
    std::vector<std::string> expected = {"adir", "korvantel.xml", "korvantel.xml.12345", "korvantel.xml.orig",
                                         names[1]};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir_entries(dir.path), expected);

    // The next save of that file removes the leftover.
    section->options[0].string_value = "22";
    ASSERT_TRUE(config_save(path.c_str()));
    EXPECT_NE(file_read(path).find("<count>22</count>"), std::string::npos);
    EXPECT_EQ(dir_entries(dir.path),
              (std::vector<std::string>{"adir", "korvantel.xml", "korvantel.xml.12345", "korvantel.xml.orig"}));
}

TEST_F(XmlTest, CursorReadsTextAndActiveAttributes) {
    section.reset();  // the document only, no section to load it into
    ASSERT_EQ(load("<korvantel><testsec>"
                   "<e><a>text</a><b></b><c active=\"TRUE\"/><d active=\"False\"/><f active=\"yes\"/></e>"
                   "<e><a>second</a></e><x/><e><a>third</a></e>"
                   "</testsec></korvantel>"),
              1);
    XmlElement cursor(document, "testsec", "e");
    ASSERT_TRUE(cursor.full());
    EXPECT_EQ(cursor.section_get(), "testsec");
    EXPECT_EQ(cursor.element_get(), "e");
    EXPECT_EQ(cursor.string_read("a"), "text");
    EXPECT_EQ(cursor.string_read("b"), "");
    EXPECT_EQ(cursor.string_read("z"), "");
    EXPECT_TRUE(cursor.check_active("a"));
    EXPECT_TRUE(cursor.check_active("c"));
    EXPECT_FALSE(cursor.check_active("d"));
    EXPECT_THROW(cursor.check_active("f"), ConfigError);
    EXPECT_THROW(cursor.check_active("z"), ConfigError);
    ASSERT_TRUE(cursor.next());
    EXPECT_EQ(cursor.string_read("a"), "second");
    ASSERT_TRUE(cursor.next());  // skips the other element
    EXPECT_EQ(cursor.string_read("a"), "third");
    EXPECT_FALSE(cursor.next());
    EXPECT_FALSE(cursor.full());
    EXPECT_EQ(cursor.string_read("a"), "");
    EXPECT_THROW(cursor.check_active("a"), ConfigError);

    EXPECT_THROW(XmlElement(document, "nosection"), ConfigError);
    EXPECT_FALSE(XmlElement(document, "testsec", "nothing").full());
    EXPECT_EQ(XmlElement(document, "testsec").element_get(), "");
}

TEST_F(XmlTest, SectionSelectNeedsAKorvantelDocument) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TiXmlDocument other;
    other.Parse("<section/>");
    EXPECT_EXIT((log_to_stderr(), section_select(&other, "testsec")), testing::ExitedWithCode(1),
                "src/xml:[0-9]+ in function section_select");
    EXPECT_EXIT((log_to_stderr(), section_select(nullptr, "testsec")), testing::ExitedWithCode(1), "section_select");
}

}  // namespace

TEST(XmlDepth, CountsElementNestingOnly) {
    struct Case {
        const char *text;
        int depth;
    } cases[] = {
        {"", 0},
        {"<a/>", 0},
        {"<a></a>", 1},
        {"<a><b><c/></b></a>", 2},
        {"<?xml version=\"1.0\"?><a><b></b><b></b></a>", 2},
        {"<a><!-- <b><c><d> --></a>", 1},
        {"<a><![CDATA[<b><c>]]></a>", 1},
        {"<a x=\"<b>\" y='>'><b></b></a>", 2},
        {"<a><b><c>", 3},  // unclosed: counted as far as it goes
        {"</a></a><a></a>", 1},
    };
    for (const Case &c : cases) EXPECT_EQ(xml_nesting_depth(c.text, strlen(c.text)), c.depth) << c.text;
}

TEST(XmlDepth, StopsCountingPastTheLimit) {
    std::string deep;
    for (int i = 0; i < 100000; i++) deep += "<a>";
    EXPECT_GT(xml_nesting_depth(deep.data(), deep.size(), 10), 10);
    EXPECT_LE(xml_nesting_depth(deep.data(), deep.size(), 10), 11);
}

TEST(XmlDepth, DeepDocumentsAreRefusedBeforeParsing) {
    std::string text = "<korvantel>";
    for (int i = 0; i < 100000; i++) text += "<a>";
    for (int i = 0; i < 100000; i++) text += "</a>";
    text += "</korvantel>";
    TiXmlDocument doc;
    std::string why;
    EXPECT_FALSE(xml_document_parse(&doc, text, "korvantel", &why));
    EXPECT_NE(why.find("nested deeper than"), std::string::npos) << why;

    struct Case {
        const char *text;
        bool ok;
        const char *why;
    } cases[] = {
        {"<korvantel><general/></korvantel>", true, ""},
        {"<korvantel>\r\n<general>x</general>\r\n</korvantel>", true, ""},
        {"", false, "empty"},
        {"<korvantel><general>", false, "line"},
        {"<other/>", false, "top element"},
    };
    for (const Case &c : cases) {
        TiXmlDocument d;
        std::string reason;
        EXPECT_EQ(xml_document_parse(&d, c.text, "korvantel", &reason), c.ok) << c.text;
        EXPECT_NE(reason.find(c.why), std::string::npos) << c.text << ": " << reason;
    }
}

// The parser steps over a multi-byte sequence by its first byte's length, so
// a document ending in a cut sequence must not lead it past the end (seen
// under the sanitizer, from the fuzzer).
TEST(XmlParse, CutMultibyteSequenceAtTheEndStaysInTheText) {
    for (const char *tail : {"\xf3", "&\xf3", "<a x='\xf0", "<korvantel>\xff\xf3", "<korvantel>&qu\xe2"}) {
        TiXmlDocument doc;
        std::string why;
        std::string text = std::string("<korvantel><general>") + tail;
        EXPECT_FALSE(xml_document_parse(&doc, text, "korvantel", &why)) << tail;
        EXPECT_FALSE(why.empty());
    }
    TiXmlDocument doc;
    std::string why;
    std::string crash =
        "<?xml version=\"1z0\"?>\n<korvantel>\r\n<general>><al><x a=\"1ante "
        "A'<![<en</general></korvante4DATA[<&y>]]>\xff\xff]l>>\xff\xff\n\xff\xf3";
    EXPECT_FALSE(xml_document_parse(&doc, crash, "korvantel", &why));
}
