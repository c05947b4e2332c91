// NTLM daemon client, talking to the stand-in daemon (tests/e2e/ntlm_standin.py)
// on a Unix socket in a temporary directory.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base64.h"
#include "config_fixture.h"
#include "connection.h"
#include "global.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "network.h"
#include "ntlm_talk.h"
#include "serverpool.h"
#include "settings.h"
#include "socket.h"

namespace {

// base64 of an NTLM message of the given type: signature, type word, and
// padding up to length bytes.
std::string ntlm_token(uint32_t type, size_t length = 40, char fill = 'A') {
    std::string raw("NTLMSSP\0", 8);
    for (int i = 0; i < 4; i++) raw += (char)(type >> (8 * i));
    while (raw.size() < length) raw += fill;
    raw.resize(length);
    std::vector<unsigned char> out(4 * ((raw.size() + 2) / 3) + 1);
    to64frombits(out.data(), (const unsigned char *)raw.data(), raw.size());
    return std::string((const char *)out.data());
}

std::string encode(const std::string &raw) {
    std::vector<unsigned char> out(4 * ((raw.size() + 2) / 3) + 1);
    to64frombits(out.data(), (const unsigned char *)raw.data(), raw.size());
    return std::string((const char *)out.data());
}

struct RECORD {
    int conn;
    std::string kind;
    std::string text;
};

// One stand-in daemon serves the whole suite (it starts slowly); each test
// gives it a script and empties its record.
class NtlmDaemon : public ::testing::Test {
protected:
    static std::string dir, socket_path, script_path, record_path;
    static pid_t standin;
    char saved_dir[sizeof ntlmsockdir];
    std::vector<CONNECTION_T *> connections;

    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/korvantel_ntlmXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        socket_path = dir + "/httpauthd.sock";
        script_path = dir + "/script.json";
        record_path = dir + "/record";
        std::string program = std::string(KORVANTEL_SOURCE_DIR) + "/tests/e2e/ntlm_standin.py";
        standin = fork();
        ASSERT_NE(standin, -1);
        if (standin == 0) {
            execlp("python3", "python3", program.c_str(), socket_path.c_str(), script_path.c_str(), record_path.c_str(),
                   (char *)nullptr);
            _exit(127);
        }
        struct stat st;
        for (int i = 0; i < 400 && stat(socket_path.c_str(), &st) != 0; i++) usleep(25000);
        ASSERT_EQ(stat(socket_path.c_str(), &st), 0) << "stand-in daemon did not start";
    }

    static void TearDownTestSuite() {
        if (standin > 0) {
            kill(standin, SIGTERM);
            waitpid(standin, nullptr, 0);
            standin = -1;
        }
        std::string cleanup = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(cleanup.c_str()), 0);
    }

    void SetUp() override {
        daemonize = 1;
        logfile[0] = 0;
        log_ring = logbuffer_new(1000);
        ASSERT_GT(standin, 0);
        script("{}");
        std::ofstream(record_path, std::ios::trunc).close();
        memcpy(saved_dir, ntlmsockdir, sizeof ntlmsockdir);
        snprintf(ntlmsockdir, sizeof ntlmsockdir, "%s/", dir.c_str());
        general_ctimeout_use(1);  // 10 ms pauses, 1 s reads
        global = new GLOBAL_T();
        global->serverpool = new ServerPool();
    }

    void TearDown() override {
        for (CONNECTION_T *c : connections) {
            delete c->client;
            c->client = nullptr;
            http_header_free(c->request);
            c->request = nullptr;
            connection_free(c);
        }
        delete global->serverpool;
        delete global;
        global = nullptr;
        delete general_section;
        memcpy(ntlmsockdir, saved_dir, sizeof ntlmsockdir);
        logbuffer_clear(log_ring);
        free(log_ring);
        log_ring = nullptr;
    }

    void script(const std::string &json) {
        std::ofstream out(script_path + ".new");
        out << json;
        out.close();
        ASSERT_EQ(rename((script_path + ".new").c_str(), script_path.c_str()), 0);
    }

    std::vector<RECORD> records() {
        std::vector<RECORD> all;
        std::ifstream in(record_path, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            RECORD r;
            size_t length = 0;
            std::istringstream head(line);
            head >> r.conn >> r.kind >> length;
            r.text.resize(length);
            in.read(&r.text[0], (std::streamsize)length);
            in.get();  // the separating line feed
            all.push_back(r);
        }
        return all;
    }

    CONNECTION_T *connection(const char *authorization, bool origin = false) {
        CONNECTION_T *c = connection_new();
        c->ip = xstrdup("10.0.0.7");
        c->id = 42;
        c->requests = 3;
        c->client = new Socket(open("/dev/null", O_RDONLY));
        c->request = new HEADER();
        c->request->type = origin ? HEADER_ORIGIN : HEADER_ABSOLUTE;
        authorize(c, authorization);
        connections.push_back(c);
        return c;
    }

    static void authorize(CONNECTION_T *c, const char *value) {
        char **field =
            c->request->type == HEADER_ORIGIN ? &c->request->authorization : &c->request->proxy_authorization;
        free(*field);
        *field = value ? xstrdup(value) : nullptr;
    }

    int lines_with(const char *text) {
        int count = 0;
        for (LOGNODE *node = log_ring->newest; node; node = node->older)
            if (strstr(node->line, text)) count++;
        return count;
    }

    std::string exchange_id(CONNECTION_T *c, const std::string &first) {
        return std::to_string(getpid()) + "." + c->ip + "." + first;
    }

    std::string url(CONNECTION_T *c) {
        return "http://" + std::string(c->ip) + ":" + std::to_string(c->client->fd) + "/" + std::to_string(c->id);
    }
};

std::string NtlmDaemon::dir, NtlmDaemon::socket_path, NtlmDaemon::script_path, NtlmDaemon::record_path;
pid_t NtlmDaemon::standin = -1;

const char FAILED_LINE[] = "advice: error: security: httpauthd: [IP:10.0.0.7] NTLM authentication failed";

}  // namespace

TEST(NtlmMessageType, DecodesOnlyRealMessages) {
    struct Case {
        const char *what;
        std::string value;
        int type;
    };
    std::string eleven = encode(std::string("NTLMSSP\0\1\0\0", 11));
    const Case cases[] = {
        {"type 1", "NTLM " + ntlm_token(1), 1},
        {"type 2", "NTLM " + ntlm_token(2), 2},
        {"type 3", "NTLM " + ntlm_token(3), 3},
        {"negotiate scheme", "Negotiate " + ntlm_token(1), 1},
        {"extra blanks", "NTLM   " + ntlm_token(3), 3},
        {"blanks after the token", "NTLM " + ntlm_token(2) + " \t ", 2},
        {"type 3 with a trailing blank", "NTLM " + ntlm_token(3) + " ", 3},
        {"unpadded token and a trailing blank", "NTLM TlRMTVNTUAACAAAABgAGADAAAAABggAAAQIDBAGUBwgAAAE+ ", 2},
        {"type 4", "NTLM " + ntlm_token(4), 0},
        {"type word with high bytes", "NTLM " + ntlm_token(0x0101), 0},
        {"exactly 12 bytes", "NTLM " + ntlm_token(1, 12), 1},
        {"11 bytes", "NTLM " + eleven, 0},
        {"wrong signature", "NTLM " + encode(std::string("NTLMSSX\0\1\0\0\0", 12)), 0},
        {"not base64", "NTLM !!!!", 0},
        {"nothing after the scheme", "NTLM ", 0},
        {"no blank", "NTLM", 0},
        {"largest decoded message", "NTLM " + ntlm_token(3, NTLM_DECODED_SIZE), 3},
        {"one byte past the decode buffer", "NTLM " + ntlm_token(3, NTLM_DECODED_SIZE + 1), 0},
        {"far past the decode buffer", "NTLM " + ntlm_token(1, 100000), 0},
    };
    for (const Case &c : cases) EXPECT_EQ(ntlm_get_msg_type(c.value.c_str()), c.type) << c.what;
    EXPECT_EQ(ntlm_get_msg_type(nullptr), 0);
    EXPECT_EQ(ntlm_parse_msg_type(ntlm_token(0x0101).c_str()), 0x0101u);
    EXPECT_EQ(ntlm_parse_msg_type(nullptr), 0u);
}

TEST(NtlmSocketPath, RefusesDirectoriesTooLong) {
    char saved[sizeof ntlmsockdir];
    memcpy(saved, ntlmsockdir, sizeof ntlmsockdir);
    LOGBUFFER *ring = logbuffer_new(10);
    log_ring = ring;
    daemonize = 1;
    struct Case {
        size_t length;  // of the directory, with its trailing "/"
        bool fits;
    };
    // "<dir>/httpauthd.sock": 15 characters after the directory; the
    // address holds 107.
    const Case cases[] = {{10, true}, {92, true}, {93, false}, {200, false}};
    for (const Case &c : cases) {
        std::string d(c.length - 1, 'd');
        snprintf(ntlmsockdir, sizeof ntlmsockdir, "/%s", d.c_str());
        char path[128];
        EXPECT_EQ(ntlm_socket_path(path, sizeof path), c.fits) << c.length;
        if (c.fits) EXPECT_EQ(std::string(path), std::string(ntlmsockdir) + "/httpauthd.sock");
        else EXPECT_STREQ(path, "");  // never a cut path
        EXPECT_EQ(ntlm_sockdir_check(), c.fits) << c.length;
    }
    char small[20];
    strcpy(ntlmsockdir, "/run/");
    EXPECT_FALSE(ntlm_socket_path(small, sizeof small));  // the caller's buffer counts too
    memcpy(ntlmsockdir, saved, sizeof ntlmsockdir);
    log_ring = nullptr;
    logbuffer_clear(ring);
    free(ring);
}

TEST_F(NtlmDaemon, NoDaemonListening) {
    std::string empty = dir + "/empty";
    ASSERT_EQ(mkdir(empty.c_str(), 0700), 0);
    snprintf(ntlmsockdir, sizeof ntlmsockdir, "%s/", empty.c_str());
    std::string token = ntlm_token(1);
    CONNECTION_T *c = connection(("NTLM " + token).c_str());
    char buffer[NTLM_BUFFER_SIZE];
    EXPECT_EQ(ntlm_communicate(c, buffer), -1);
    std::string line =
        "error: security: connection to httpauth socket at " + std::string(ntlmsockdir) + "/httpauthd.sock failed";
    EXPECT_EQ(lines_with(line.c_str()), 1);
    EXPECT_EQ(global->serverpool->Count(), 0);
}

TEST_F(NtlmDaemon, FullExchangeOverOnePooledConnection) {
    std::string m1 = ntlm_token(1), m3 = ntlm_token(3, 60, 'Z');
    script("{\"step1\": \"200 401 -\\n\", \"step2\": {\"" + m1 + "\": \"200 401 CHALLENGE123\\n\", \"" + m3 +
           "\": \"200 200 alice\\n\"}}");
    CONNECTION_T *c = connection(("NTLM " + m1).c_str());
    char buffer[NTLM_BUFFER_SIZE];

    EXPECT_EQ(ntlm_communicate(c, buffer), 401);
    EXPECT_STREQ(buffer, "CHALLENGE123");
    EXPECT_STREQ(c->ntlm_challenge, "CHALLENGE123");
    EXPECT_STREQ(c->ntlm_message1, m1.c_str());
    EXPECT_STREQ(c->ntlm_first, m1.c_str());
    EXPECT_EQ(c->ntlm_state, 0);
    EXPECT_EQ(global->serverpool->Count(), 1);

    authorize(c, ("NTLM " + m3).c_str());
    EXPECT_EQ(ntlm_communicate(c, buffer), 200);
    EXPECT_STREQ(buffer, "alice");
    EXPECT_STREQ(c->ntlm_user, "alice");
    EXPECT_EQ(c->ntlm_state, 2);
    EXPECT_STREQ(c->ntlm_message3, m3.c_str());
    EXPECT_EQ(global->serverpool->Count(), 1);
    EXPECT_EQ(lines_with("httpauthd: [IP:10.0.0.7] user [alice] authenticated from Domain Controller"), 1);
    EXPECT_EQ(lines_with(FAILED_LINE), 0);

    std::string id = exchange_id(c, m1);
    std::vector<RECORD> r = records();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].kind, "handler");
    EXPECT_EQ(r[0].text, "set handler korvantel\r\n\r\n");
    EXPECT_EQ(r[1].text, "AUTH " + id + " GET " + url(c) + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r[2].text, "AUTH " + id + " GET " + url(c) + " HTTP/1.1\r\nAuthorization: NTLM " + m1 + "\r\n\r\n");
    // the type-3 message goes straight to step 2, on the pooled connection
    EXPECT_EQ(r[3].text, "AUTH " + id + " GET " + url(c) + " HTTP/1.1\r\nAuthorization: NTLM " + m3 + "\r\n\r\n");
    for (const RECORD &each : r) EXPECT_EQ(each.conn, r[0].conn);
}

TEST_F(NtlmDaemon, OriginRequestsUseAuthorization) {
    std::string m3 = ntlm_token(3);
    script("{\"step2\": \"200 200 bob\\n\"}");
    CONNECTION_T *c = connection(("NTLM " + m3).c_str(), true);
    char buffer[NTLM_BUFFER_SIZE];
    EXPECT_EQ(ntlm_communicate(c, buffer), 200);
    EXPECT_STREQ(c->ntlm_user, "bob");
}

TEST_F(NtlmDaemon, StepOneAnswers) {
    struct Case {
        const char *what;
        const char *answer;  // JSON value
        int result;
        int pooled;
        bool step2_sent;
        const char *log;
    };
    const Case cases[] = {
        {"challenge follows", "\"200 401 -\\n\"", 401, 1, true, nullptr},
        {"user already known", "\"200 200 carol\\n\"", 200, 1, false, nullptr},
        {"out of sequence", "\"200 302 x\\n\"", 407, 0, false, "out of sequence [200 302 x"},
        {"daemon failed", "\"500 401 x\\n\"", 407, 0, false, "] server failed"},
        {"one word", "\"junk\\n\"", 407, 0, false, "protocol failure [junk"},
        {"cut short", "\"200 200 carol\"", 407, 0, false, "out of sequence [200 200 carol"},
        {"two lines", "\"200 200 carol\\n200 401 -\\n\"", 407, 0, false, "out of sequence"},
        {"connection closed", "null", 407, 0, false, "failed to read line 1 from socket"},
    };
    for (const Case &c : cases) {
        script(std::string("{\"step1\": ") + c.answer + ", \"step2\": \"200 401 CH\\n\"}");
        global->serverpool->Clean(1);
        logbuffer_clear(log_ring);
        size_t before = records().size();
        CONNECTION_T *conn = connection(("NTLM " + ntlm_token(1)).c_str());
        char buffer[NTLM_BUFFER_SIZE];
        EXPECT_EQ(ntlm_communicate(conn, buffer), c.result) << c.what;
        EXPECT_EQ(global->serverpool->Count(), c.pooled) << c.what;
        std::vector<RECORD> r = records();
        bool step2 = false;
        for (size_t i = before; i < r.size(); i++) step2 |= r[i].kind == "step2";
        EXPECT_EQ(step2, c.step2_sent) << c.what;
        if (c.log) {
            EXPECT_EQ(lines_with(c.log), 1) << c.what;
        }
        EXPECT_EQ(lines_with(FAILED_LINE), c.result == 401 || c.result == 200 ? 0 : 1) << c.what;
        if (c.result == 200) {
            EXPECT_STREQ(conn->ntlm_user, "carol");
            EXPECT_EQ(conn->ntlm_state, 2);
        } else {
            EXPECT_EQ(conn->ntlm_state, 0) << c.what;
        }
    }
}

TEST_F(NtlmDaemon, StepTwoAnswers) {
    struct Case {
        const char *what;
        int type;
        const char *answer;  // JSON value
        int result;
        int pooled;
        bool authenticated;
    };
    const Case cases[] = {
        {"type 3 accepted", 3, "\"200 200 dave\\n\"", 200, 1, true},
        {"type 3 with CR LF", 3, "\"200 200 dave\\r\\n\"", 200, 1, true},
        {"type 3 refused", 3, "\"200 401 nope\\n\"", 401, 1, false},
        {"type 3 other outcome", 3, "\"200 500 x\\n\"", 407, 1, false},
        {"type 3 daemon failed", 3, "\"500 407 x\\n\"", 407, 0, false},
        {"type 3 daemon failed, own code", 3, "\"500 403 x\\n\"", 403, 0, false},
        {"type 3 one word", 3, "\"200\\n\"", 407, 0, false},
        {"type 3 cut short", 3, "\"200 200 dave\"", 407, 0, false},
        {"type 3 two lines", 3, "\"200 401 a\\n200 200 dave\\n\"", 407, 0, false},
        {"type 3 empty user", 3, "\"200 200 \\n\"", 407, 1, false},
        {"type 3 control character in the user", 3, "\"200 200 da\\u001bve\\n\"", 407, 1, false},
        {"type 3 carriage return in the user", 3, "\"200 200 da\\rve\\n\"", 407, 1, false},
        {"type 3 connection closed", 3, "null", 407, 0, false},
        {"type 1 no challenge", 1, "\"200 407 x\\n\"", 407, 0, false},
        {"type 1 empty challenge", 1, "\"200 401 \\n\"", 407, 0, false},
        {"type 1 carriage return in the challenge", 1, "\"200 401 CH\\rSet-Cookie:x\\n\"", 407, 0, false},
        {"type 1 daemon failed", 1, "\"404 500 x\\n\"", 500, 0, false},
        {"type 1 daemon failed, claims success", 1, "\"500 200 x\\n\"", 407, 0, false},
        {"type 1 answered as if type 3", 1, "\"200 200 dave\\n\"", 407, 0, false},
    };
    for (const Case &c : cases) {
        script(std::string("{\"step1\": \"200 401 -\\n\", \"step2\": ") + c.answer + "}");
        global->serverpool->Clean(1);
        logbuffer_clear(log_ring);
        CONNECTION_T *conn = connection(("NTLM " + ntlm_token(c.type)).c_str());
        char buffer[NTLM_BUFFER_SIZE];
        EXPECT_EQ(ntlm_communicate(conn, buffer), c.result) << c.what;
        EXPECT_EQ(global->serverpool->Count(), c.pooled) << c.what;
        EXPECT_EQ(conn->ntlm_state == 2, c.authenticated) << c.what;
        if (c.authenticated) {
            EXPECT_STREQ(conn->ntlm_user, "dave") << c.what;
        } else {
            EXPECT_EQ(conn->ntlm_user, nullptr) << c.what;
        }
        if (c.type == 1) {
            EXPECT_EQ(conn->ntlm_challenge, nullptr) << c.what;
        }
        EXPECT_EQ(lines_with(FAILED_LINE), c.authenticated ? 0 : 1) << c.what;
    }
}

TEST_F(NtlmDaemon, ResentTypeOneKeepsTheFirst) {
    std::string first = ntlm_token(1), again = ntlm_token(1, 48, 'B');
    script("{\"step2\": \"200 401 CH\\n\"}");
    CONNECTION_T *c = connection(("NTLM " + first).c_str());
    char buffer[NTLM_BUFFER_SIZE];
    ASSERT_EQ(ntlm_communicate(c, buffer), 401);
    authorize(c, ("NTLM " + again).c_str());
    ASSERT_EQ(ntlm_communicate(c, buffer), 401);
    EXPECT_EQ(lines_with("security: warn: [IP:10.0.0.7] user is resending NTLM message 1"), 1);
    EXPECT_STREQ(c->ntlm_message1, first.c_str());
    EXPECT_STREQ(c->ntlm_first, first.c_str());
    std::vector<RECORD> r = records();
    ASSERT_EQ(r.size(), 5u);  // handler, then two steps each time, one connection
    std::string id = exchange_id(c, first);
    EXPECT_EQ(r[3].text, "AUTH " + id + " GET " + url(c) + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r[4].text, "AUTH " + id + " GET " + url(c) + " HTTP/1.1\r\nAuthorization: NTLM " + again + "\r\n\r\n");
    EXPECT_EQ(r[4].conn, r[0].conn);
}

TEST_F(NtlmDaemon, WithoutHeader) {
    script("{\"step2\": \"200 401 CH\\n\"}");
    CONNECTION_T *c = connection(nullptr);
    char buffer[NTLM_BUFFER_SIZE];
    EXPECT_EQ(ntlm_communicate(c, buffer), 407);
    EXPECT_EQ(lines_with("security: warn: [IP:10.0.0.7] NULL Authentication Headers recieved"), 1);
    EXPECT_TRUE(records().empty());

    // with a kept type-1 message, that message is relayed again (type 0)
    std::string m1 = ntlm_token(1);
    c->ntlm_message1 = xstrdup(m1.c_str());
    c->ntlm_first = xstrdup(m1.c_str());
    script("{\"step2\": \"200 302 x\\n\"}");
    EXPECT_EQ(ntlm_communicate(c, buffer), 302);
    EXPECT_EQ(global->serverpool->Count(), 1);
    std::vector<RECORD> r = records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].kind, "step2");
    EXPECT_NE(r[1].text.find("Authorization: NTLM " + m1 + "\r\n"), std::string::npos);
}

TEST_F(NtlmDaemon, BadTokensNeverReachTheDaemon) {
    script("{\"step2\": \"200 401 CH\\n\"}");
    struct Case {
        const char *what;
        std::string value;
    };
    const Case cases[] = {
        {"longer than a kept message", "NTLM " + ntlm_token(1, 800)},  // 1,068 characters
        {"line break injected", "NTLM " + ntlm_token(1) + "\r\nX-Evil: 1"},
        {"second word", "NTLM " + ntlm_token(1) + " extra"},
        {"no token", "NTLM"},
        {"blank token", "NTLM   "},
        {"not base64 characters", "NTLM abc$def"},
    };
    for (const Case &c : cases) {
        CONNECTION_T *conn = connection(c.value.c_str());
        char buffer[NTLM_BUFFER_SIZE];
        EXPECT_EQ(ntlm_communicate(conn, buffer), 407) << c.what;
        EXPECT_EQ(conn->ntlm_message1, nullptr) << c.what;
        EXPECT_EQ(conn->ntlm_first, nullptr) << c.what;
    }
    EXPECT_TRUE(records().empty());
    // the longest token that fits is relayed
    CONNECTION_T *conn = connection(("NTLM " + ntlm_token(1, 765)).c_str());  // 1,020 characters
    char buffer[NTLM_BUFFER_SIZE];
    EXPECT_EQ(ntlm_communicate(conn, buffer), 401);
}

TEST_F(NtlmDaemon, GreetingFailures) {
    struct Case {
        const char *what;
        const char *script;
        const char *log;
    };
    const Case cases[] = {
        {"closed before greeting", "{\"greeting\": null}", "failed to create new socket"},
        {"closed after the handler line", "{\"handler\": null}", nullptr},
    };
    for (const Case &c : cases) {
        script(c.script);
        logbuffer_clear(log_ring);
        CONNECTION_T *conn = connection(("NTLM " + ntlm_token(3)).c_str());
        char buffer[NTLM_BUFFER_SIZE];
        EXPECT_EQ(ntlm_communicate(conn, buffer), 407) << c.what;
        EXPECT_EQ(global->serverpool->Count(), 0) << c.what;
        if (c.log) {
            EXPECT_EQ(lines_with(c.log), 1) << c.what;
        }
        EXPECT_EQ(lines_with(FAILED_LINE), 1) << c.what;
    }
}

TEST_F(NtlmDaemon, AlreadyAuthenticatedIsLoggedAndRelayed) {
    script("{\"step2\": \"200 200 erin\\n\"}");
    CONNECTION_T *c = connection(("NTLM " + ntlm_token(3)).c_str());
    c->ntlm_state = 2;
    char buffer[NTLM_BUFFER_SIZE];
    EXPECT_EQ(ntlm_communicate(c, buffer), 200);
    EXPECT_EQ(lines_with("error: [IP:10.0.0.7] connection already authenticated"), 1);
}
