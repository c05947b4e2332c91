// The scanner clients' parsers and temporary files, and the registration of
// the scanner and ICAP processors.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "clamav.h"
#include "config_fixture.h"
#include "filebuf.h"
#include "fprot.h"
#include "icap.h"
#include "kaspersky.h"
#include "processors.h"
#include "sophie.h"

namespace {

TEST(ClamAVVerdict, CountsWords) {
    struct Case {
        const char *line;
        int verdict;
        const char *name;
    } cases[] = {
        {"stream: OK\n", SCAN_CLEAN, ""},
        {"stream: Eicar-Test-Signature FOUND\n", SCAN_INFECTED, "Eicar-Test-Signature"},
        {"stream: Name whatever\n", SCAN_INFECTED, "Name"},
        {"OK\n", SCAN_FAILED, ""},
        {"INSTREAM size limit exceeded. ERROR\n", SCAN_FAILED, ""},
    };
    for (const Case &c : cases) {
        ScanResult r = clamav_verdict(c.line);
        EXPECT_EQ(r.verdict, c.verdict) << c.line;
        EXPECT_EQ(r.name, c.name) << c.line;
        EXPECT_EQ(r.why.empty(), c.verdict != SCAN_FAILED) << c.line;
    }
}

TEST(FProtQuery, OptionsInOrder) {
    EXPECT_EQ(fprot_query(FPROT_ARCHIVE | FPROT_NOHEUR, 5), "-archive=5%20-noheur%20-remote-dtd%20");
    EXPECT_EQ(fprot_query(0, 5), "-remote-dtd%20");
    EXPECT_EQ(fprot_query(63, 2), "-archive=2%20-packed%20-ai%20-noheur%20-nomacro%20-onlymacro%20-remote-dtd%20");
}

TEST(FProtVerdict, Documents) {
    struct Case {
        const char *xml;
        int verdict;
        bool named;
        const char *name;
        const char *reason;
    } cases[] = {
        {"<fprot-results><summary>clean</summary></fprot-results>", SCAN_CLEAN, true, "", ""},
        {"<fprot-results><summary/></fprot-results>", SCAN_CLEAN, true, "", ""},
        {"<fprot-results><summary>INFECTED</summary><detected><name>W32.X</name></detected></fprot-results>",
         SCAN_INFECTED, true, "W32.X", ""},
        {"<!DOCTYPE a [ <!ENTITY e 'x'> ]><fprot-results><summary>infected</summary></fprot-results>", SCAN_INFECTED,
         false, "", "unknown"},
        {"<fprot-results><summary>infected</summary><detected/></fprot-results>", SCAN_INFECTED, false, "", ""},
        {"<html>not it</html>", SCAN_FAILED, true, "", ""},
        {"<fprot-results/>", SCAN_FAILED, true, "", ""},
        {"", SCAN_FAILED, true, "", ""},
    };
    for (const Case &c : cases) {
        Filebuf answer;
        answer.Add(c.xml, (long long)strlen(c.xml));
        ScanResult r = fprot_verdict(&answer);
        EXPECT_EQ(r.verdict, c.verdict) << c.xml;
        EXPECT_EQ(r.named, c.named) << c.xml;
        EXPECT_EQ(r.name, c.name) << c.xml;
        EXPECT_EQ(r.reason, c.reason) << c.xml;
    }
}

TEST(SophieVerdict, NeverReadsPastTheReply) {
    // Exactly sized copies, so a read past the end shows under the sanitizer.
    struct Case {
        const char *reply;
        int verdict;
        const char *name;
    } cases[] = {
        {"1:Virus.Name\nmore", SCAN_INFECTED, "Virus.Name"},
        {"1", SCAN_INFECTED, ""},
        {"1:", SCAN_INFECTED, ""},
        {"-1", SCAN_FAILED, ""},
        {"0", SCAN_CLEAN, ""},
        {"", SCAN_CLEAN, ""},
    };
    for (const Case &c : cases) {
        size_t length = strlen(c.reply);
        std::unique_ptr<char[]> exact(new char[length ? length : 1]);
        memcpy(exact.get(), c.reply, length);
        ScanResult r = sophie_unix_verdict(exact.get(), length);
        EXPECT_EQ(r.verdict, c.verdict) << c.reply;
        EXPECT_EQ(r.name, c.name) << c.reply;
    }
    EXPECT_EQ(sophie_tcp_verdict("1 Name.Here\n").name, "Name.Here");
    EXPECT_EQ(sophie_tcp_verdict("-anything\n").verdict, SCAN_FAILED);
    EXPECT_EQ(sophie_tcp_verdict("0\n").verdict, SCAN_CLEAN);
}

TEST(IcapEncapsulation, Offsets) {
    ICAP_ENCAPSULATION e = ICAPSection::encapsulation_parse("req-hdr=0, RES-HDR=137,res-body=296");
    EXPECT_EQ(e.req_hdr, 0);
    EXPECT_EQ(e.res_hdr, 137);
    EXPECT_EQ(e.res_body, 296);
    EXPECT_EQ(e.req_body, -1);
    EXPECT_EQ(e.null_body, -1);
    e = ICAPSection::encapsulation_parse("null-body=0, opt-body=5, req-body=x");
    EXPECT_EQ(e.null_body, 0);
    EXPECT_EQ(e.req_body, -1);
    e = ICAPSection::encapsulation_parse("");
    EXPECT_EQ(e.req_hdr, -1);
}

class TempFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/scanfile-XXXXXX";
        ASSERT_TRUE(mkdtemp(name));
        dir = name;
    }
    void TearDown() override {
        // a failed test may leave a file behind
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string dir;
};

TEST_F(TempFileTest, PrivateCopyRemovedAfterUse) {
    std::string deep = dir + "/" + std::string(200, 'a');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    Filebuf body;
    body.Add("body bytes", 10);
    std::string path;
    {
        TempFile file;
        std::string why;
        ASSERT_TRUE(file.create(deep, &body, &why)) << why;
        path = file.path();
        EXPECT_EQ(path.substr(0, deep.size() + 4), deep + "/ext");
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_size, 10);
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(TempFileTest, FailureSaysWhy) {
    Filebuf body;
    TempFile file;
    std::string why;
    EXPECT_FALSE(file.create(dir + "/missing", &body, &why));
    EXPECT_NE(why.find("cannot create a temporary file in " + dir + "/missing"), std::string::npos) << why;
    EXPECT_TRUE(file.path().empty());
}

TEST(ScannerRegistration, ProcessorsOnce) {
    definition_use(file_read(std::string(KORVANTEL_SOURCE_DIR) + "/conf/section.xml"));
    Section *sections[] = {icap_construct(), fprot_construct(), kaspersky_construct(), sophie_construct(),
                           clamav_construct()};
    // The constructors registered their callbacks; ICAP's come only with
    // icap_register, and only once.
    EXPECT_EQ(processors.Add(clamav_respcheck, PROCESSOR_RESPCHECK), 0);
    EXPECT_EQ(processors.Add(sophie_buffcheck, PROCESSOR_BUFFCHECK), 0);
    icap_register();
    icap_register();
    EXPECT_EQ(processors.Add(icap_reqmod, PROCESSOR_REQMOD), 0);
    EXPECT_EQ(processors.Add(icap_buffcheck, PROCESSOR_BUFFCHECK), 0);
    // A second section of a kind registers nothing new.
    Section *again = clamav_construct();
    delete again;
    for (Section *s : sections) delete s;
}

}  // namespace
