// PAM authentication: the conversation, the result-code log, and real checks
// through libpam against test services (pam_wrapper with pam_matrix).
//
// The PAM checks need the process to start under the wrapper's preload, so
// the PamWrapper test re-runs this binary with the wrapper's environment and
// only the PamWrapped tests selected; run directly, those skip.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <security/pam_appl.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "global.h"
#include "log.h"
#include "pam_fixture.h"
#include "password_cache.h"
#include "security.h"
#include "settings.h"

namespace {

class PamLog : public ::testing::Test {
protected:
    void SetUp() override {
        daemonize = 1;
        logfile[0] = 0;
        log_ring = logbuffer_new(1000);
        global = new GLOBAL_T();
        pthread_rwlock_init(&global->password_cache_lock, nullptr);
        global->password_cache = password_cache_create(10);
    }
    void TearDown() override {
        password_cache_destroy(global->password_cache);
        pthread_rwlock_destroy(&global->password_cache_lock);
        delete global;
        global = nullptr;
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
    }
    std::vector<std::string> lines() {
        std::vector<std::string> all;
        for (LOGNODE *node = log_ring->oldest; node; node = node->newer) all.push_back(node->line);
        return all;
    }
};

}  // namespace

TEST(PamTalker, AnswersEveryMessageWithThePassword) {
    const char *pair[2] = {"bob", "s3cret"};
    struct pam_message m1 = {PAM_PROMPT_ECHO_OFF, "Password: "};
    struct pam_message m2 = {PAM_PROMPT_ECHO_ON, "Again: "};
    struct pam_message m3 = {PAM_TEXT_INFO, "just so you know"};
    const struct pam_message *messages[] = {&m1, &m2, &m3};
    struct pam_response *responses = nullptr;
    ASSERT_EQ(auth_pam_talker(3, messages, &responses, pair), PAM_SUCCESS);
    ASSERT_NE(responses, nullptr);
    for (int i = 0; i < 3; i++) {
        EXPECT_STREQ(responses[i].resp, "s3cret");
        EXPECT_EQ(responses[i].resp_retcode, 0);
        EXPECT_NE(responses[i].resp, pair[1]);  // a copy PAM may free
        free(responses[i].resp);
    }
    free(responses);
}

TEST(PamTalker, RefusesWhatItCannotAnswer) {
    const char *pair[2] = {"bob", "pw"};
    struct pam_message m = {PAM_PROMPT_ECHO_OFF, "Password: "};
    const struct pam_message *messages[] = {&m};
    struct pam_response *responses = nullptr;
    EXPECT_EQ(auth_pam_talker(0, messages, &responses, pair), PAM_CONV_ERR);
    EXPECT_EQ(auth_pam_talker(-1, messages, &responses, pair), PAM_CONV_ERR);
    EXPECT_EQ(auth_pam_talker(1, messages, &responses, nullptr), PAM_CONV_ERR);
    EXPECT_EQ(auth_pam_talker(1, messages, nullptr, pair), PAM_CONV_ERR);
    EXPECT_EQ(responses, nullptr);
}

TEST(AuthPam, EmptyCredentialsNeverReachPam) {
    // The service does not exist: asking PAM would give another code.
    char saved[sizeof pamfile];
    memcpy(saved, pamfile, sizeof pamfile);
    strcpy(pamfile, "korvantel-no-such-service");
    EXPECT_EQ(auth_pam("bob", ""), PAM_AUTH_ERR);
    EXPECT_EQ(auth_pam("bob", nullptr), PAM_AUTH_ERR);
    EXPECT_EQ(auth_pam("", "pw"), PAM_AUTH_ERR);
    EXPECT_EQ(auth_pam(nullptr, "pw"), PAM_AUTH_ERR);
    memcpy(pamfile, saved, sizeof pamfile);
}

TEST(PamCodeText, FormatsTheCode) {
    struct Case {
        int code;
        const char *text;
    };
    const Case cases[] = {
        {7, "[pam: 7: PAM_AUTH_ERR] Authentication failure"},
        {1, "[pam: 1: PAM_OPEN_ERR] dlopen() failure when dynamically loading a service module"},
        {26, "[pam: 26: PAM_ABORT] Critical error (?module fail now request) "},
        {32, "[pam: 32: _PAM_RETURN_VALUES] this is the number of return values"},
        {0, ""},
        {33, ""},
        {-4, ""},
    };
    for (const Case &c : cases) {
        char buffer[2048];
        EXPECT_STREQ(pam_code_text(c.code, buffer, sizeof buffer), c.text) << c.code;
    }
    char small[8];
    EXPECT_STREQ(pam_code_text(7, small, sizeof small), "[pam: 7");  // bounded by the buffer
}

TEST_F(PamLog, LogsEveryCodeAndRemembersBadCredentials) {
    for (int code = -1; code <= 34; code++) {
        std::string key = "user" + std::to_string(code + 1) + ":pw";
        logbuffer_clear(log_ring);
        display_pam_msg(code, key.c_str());
        char text[2048];
        pam_code_text(code, text, sizeof text);
        std::vector<std::string> logged = lines();
        ASSERT_EQ(logged.size(), 1u) << code;
        std::string expected = std::string("error: security: system: ") + text;
        EXPECT_EQ(logged[0].substr(logged[0].size() - expected.size()), expected) << code;
        bool remembered = code == 6 || code == 7 || code == 10 || code == 11 || code == 12;
        EXPECT_EQ(check_password_cache(key.c_str()), remembered ? PASSWORD_CACHE_REFUSED : PASSWORD_CACHE_UNKNOWN)
            << code;
    }
}

TEST_F(PamLog, WrongPasswordLine) {
    display_pam_msg(7, "bob:wrong");
    std::vector<std::string> logged = lines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("error: security: system: [pam: 7: PAM_AUTH_ERR] Authentication failure"),
              std::string::npos);
    EXPECT_EQ(check_password_cache("bob:wrong"), PASSWORD_CACHE_REFUSED);
    display_pam_msg(7, nullptr);  // no key: logged, nothing recorded
    EXPECT_EQ(lines().size(), 2u);
}

// ---------------------------------------------------------------------------
// Real PAM checks, run in a child started under the wrapper.

TEST(PamWrapped, CredentialTable) {
    if (!pamtest::wrapped()) GTEST_SKIP() << "runs in the child started by PamWrapper.RunsUnderTheWrapper";
    struct Case {
        const char *what;
        const char *service;
        const char *user;
        const char *password;
        int code;
    };
    const Case cases[] = {
        {"right user and password", "korvantel-test", "bob", "secret", 0},
        {"wrong password", "korvantel-test", "bob", "Secret", PAM_AUTH_ERR},
        {"empty password", "korvantel-test", "bob", "", PAM_AUTH_ERR},
        // the module would take this one's empty password; the proxy does not
        {"empty password the back end accepts", "korvantel-test", "eve", "", PAM_AUTH_ERR},
        {"unknown user", "korvantel-test", "nobody", "secret", PAM_AUTH_ERR},
        {"password right, account not for this service", "korvantel-test", "carl", "pw", PAM_PERM_DENIED},
        {"stack asking two questions", "korvantel-twice", "bob", "secret", 0},
        {"second question answered wrongly by the stack", "korvantel-twice", "dave", "one", PAM_AUTH_ERR},
        {"no such service", "korvantel-missing", "bob", "secret", PAM_ABORT},
    };
    char saved[sizeof pamfile];
    memcpy(saved, pamfile, sizeof pamfile);
    for (const Case &c : cases) {
        snprintf(pamfile, sizeof pamfile, "%s", c.service);
        EXPECT_EQ(auth_pam(c.user, c.password), c.code) << c.what;
    }
    memcpy(pamfile, saved, sizeof pamfile);
}

TEST(PamWrapper, RunsUnderTheWrapper) { pamtest::run_wrapped("security_test", "PamWrapped.*", 1); }
