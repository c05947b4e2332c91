// Real PAM checks through libpam against test services (pam_wrapper with
// pam_matrix). The wrapper has to be preloaded when the process starts, so a
// test binary re-runs itself under it with only its wrapped tests selected;
// run directly, those skip.
//
// Services: "korvantel-test" checks pam_matrix's database below;
// "korvantel-twice" chatters, then asks two password questions (the second
// echoed) checked against two databases; any other name does not exist.
#ifndef KORVANTEL_TEST_PAM_FIXTURE_H
#define KORVANTEL_TEST_PAM_FIXTURE_H

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace pamtest {

const char *const WRAPPER_LIBRARY = "libpam_wrapper.so";
const char *const MODULE_DIR = "/usr/lib/x86_64-linux-gnu/pam_wrapper";
const char *const MARKER = "KORVANTEL_PAM_TEST";

// pam_matrix's database of "korvantel-test": user:password:allowed service.
// eve's empty password is one the module takes; carl's account is for
// another service.
const char *const PASSDB =
    "bob:secret:korvantel-test\n"
    "alice:pw:korvantel-test\n"
    "eve::korvantel-test\n"
    "carl:pw:elsewhere\n";

// True in the child started under the wrapper.
inline bool wrapped() { return getenv(MARKER) != nullptr; }

inline void file_write(const std::string &path, const std::string &text) {
    std::ofstream out(path);
    out << text;
}

inline std::string file_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs this binary (program is its name) again under the wrapper with the
// test services, selecting filter, and expects count tests to pass there
// and none to skip. Skips when the wrapper's modules are not installed.
inline void run_wrapped(const char *program, const std::string &filter, int count) {
    if (wrapped()) GTEST_SKIP() << "already the child";
    std::string module = std::string(MODULE_DIR) + "/pam_matrix.so";
    std::string chatty = std::string(MODULE_DIR) + "/pam_chatty.so";
    if (access(module.c_str(), R_OK) != 0 || access(chatty.c_str(), R_OK) != 0)
        GTEST_SKIP() << "pam_wrapper modules not installed in " << MODULE_DIR;

    char dir_template[] = "/tmp/korvantel_pamXXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string dir = dir_template;
    std::string services = dir + "/services";
    ASSERT_EQ(mkdir(services.c_str(), 0700), 0);
    file_write(dir + "/passdb", PASSDB);
    file_write(dir + "/twice1", "bob:secret:korvantel-twice\ndave:one:korvantel-twice\n");
    file_write(dir + "/twice2", "bob:secret:korvantel-twice\ndave:two:korvantel-twice\n");
    file_write(services + "/korvantel-test", "auth required " + module + " passdb=" + dir + "/passdb\n" +
                                                 "account required " + module + " passdb=" + dir + "/passdb\n");
    file_write(services + "/korvantel-twice", "auth required " + chatty + " num_lines=2 info error\n" +
                                                  "auth required " + module + " passdb=" + dir + "/twice1\n" +
                                                  "auth required " + module + " echo passdb=" + dir + "/twice2\n" +
                                                  "account required " + module + " passdb=" + dir + "/twice1\n");

    std::string output = dir + "/output";
    std::string selection = "--gtest_filter=" + filter;
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        setenv("LD_PRELOAD", WRAPPER_LIBRARY, 1);
        setenv("PAM_WRAPPER", "1", 1);
        setenv("PAM_WRAPPER_SERVICE_DIR", services.c_str(), 1);
        // Let sanitizer builds run it; this wrapper release reads the second name.
        setenv("PAM_WRAPPER_DISABLE_DEEPBIND", "1", 1);
        setenv("UID_WRAPPER_DISABLE_DEEPBIND", "1", 1);
        // The wrapper's test modules keep the answers the conversation hands
        // them (freed by the real modules), so leaks are not counted here.
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 1);
        setenv(MARKER, dir.c_str(), 1);
        execl("/proc/self/exe", program, selection.c_str(), (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::string text = file_text(output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_NE(text.find("[  PASSED  ] " + std::to_string(count) + " test"), std::string::npos) << text;
    EXPECT_EQ(text.find("SKIPPED"), std::string::npos) << text;
    std::string cleanup = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cleanup.c_str()), 0);
}

}  // namespace pamtest

#endif
