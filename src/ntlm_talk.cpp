#include "ntlm_talk.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "base64.h"
#include "compat.h"
#include "connection.h"
#include "general.h"
#include "global.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "serverpool.h"
#include "settings.h"
#include "socket.h"

// The id of the process that was started: background forks keep it.
int ntlm_process_id = (int)getpid();

// Room for a socket path in a Unix socket address, terminator included.
static const size_t SOCKET_PATH_SIZE = sizeof(sockaddr_un{}.sun_path);

static const char signature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};

unsigned int ntlm_parse_msg_type(const char *text) {
    if (!text) return 0;
    unsigned char decoded[NTLM_DECODED_SIZE];
    int n = from64tobits((char *)decoded, text, sizeof decoded);
    if (n < 12 || memcmp(decoded, signature, sizeof signature) != 0) return 0;
    return (uint32_t)decoded[8] | (uint32_t)decoded[9] << 8 | (uint32_t)decoded[10] << 16 | (uint32_t)decoded[11] << 24;
}

int ntlm_get_msg_type(const char *value) {
    if (!value) return 0;
    const char *blank = strchr(value, ' ');
    if (!blank) return 0;
    while (*blank == ' ') blank++;
    // Blanks after the token are no part of it: the token relayed to the
    // daemon is read the same way, so both agree on the message.
    std::string token(blank);
    while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) token.pop_back();
    unsigned int type = ntlm_parse_msg_type(token.c_str());
    return (type >= 1 && type <= 3) ? (int)type : 0;
}

bool ntlm_socket_path(char *path, size_t size) {
    if (!path || size == 0) return false;
    path[0] = '\0';
    char full[sizeof ntlmsockdir + 32];
    int n = snprintf(full, sizeof full, "%s/httpauthd.sock", ntlmsockdir);
    if (n < 0 || (size_t)n >= sizeof full || (size_t)n >= size || (size_t)n >= SOCKET_PATH_SIZE) return false;
    memcpy(path, full, (size_t)n + 1);
    return true;
}

bool ntlm_sockdir_check() {
    char path[SOCKET_PATH_SIZE];
    if (ntlm_socket_path(path, sizeof path)) return true;
    fprintf(stderr, "NTLM socket directory too long for a socket path (at most %zu characters): %s\n",
            sizeof path - 1 - strlen("/httpauthd.sock"), ntlmsockdir);
    putlog(LOG_ERROR, "NTLM socket directory too long for a socket path: %s", ntlmsockdir);
    return false;
}

// ---------------------------------------------------------------------------
// Daemon connections. All pooling goes through these three functions.

static Socket *daemon_take(const char *path) {
    if (!global || !global->serverpool) return nullptr;
    return global->serverpool->Find(NTLM_POOL_PROTOCOL, path, 0, nullptr, nullptr);
}

static void daemon_discard(Socket *socket) {
    if (!socket) return;
    if (socket->fd != -1) shutdown(socket->fd, SHUT_RDWR);
    delete socket;
}

static void daemon_keep(Socket *socket, const char *path) {
    if (global && global->serverpool) global->serverpool->Add(socket, NTLM_POOL_PROTOCOL, path, 0, nullptr, nullptr);
    else daemon_discard(socket);
}

// ---------------------------------------------------------------------------
// The exchange

namespace {

enum { KEEP, DISCARD };

struct EXCHANGE {
    CONNECTION_T *connection;
    Socket *socket;
    int ctimeout;
    const char *ip;
    char answer[NTLM_BUFFER_SIZE];
    int type;                   // of the client's message; 0 when it is resent
    const char *message;        // the client's token
    std::string exchange, url;  // name the conversation to the daemon
    char *buffer;               // the user name or challenge, for the caller
    int result = 407;
    int fate = DISCARD;
    bool normal = false;  // the conversation went as it should
};

}  // namespace

static void pause_before_read(const EXCHANGE *x) {
    long long ms = (long long)x->ctimeout * 10;
    if (ms <= 0) return;
    struct timespec wait = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) == -1 && errno == EINTR) {
    }
}

// One read of at most NTLM_BUFFER_SIZE - 1 bytes into x->answer; its result.
static int daemon_read(EXCHANGE *x) {
    pause_before_read(x);
    int n = x->socket->Read(x->answer, NTLM_BUFFER_SIZE - 1, x->ctimeout);
    x->answer[n > 0 ? n : 0] = '\0';
    return n;
}

static bool daemon_write(EXCHANGE *x, const std::string &text) {
    if (x->socket->Write(text.data(), (int)text.size()) == -1) return false;
    x->socket->Flush();
    return x->socket->out_length == 0;
}

static void clear_buffers(Socket *socket) {
    socket->Clear(0);
    socket->Clear(1);
}

NTLM_ANSWER ntlm_answer_parse(const char *text) {
    NTLM_ANSWER answer;
    const char *feed = strchr(text, '\n');
    answer.whole = feed && feed[1] == '\0';
    char **words = string_break(text, ' ');
    answer.words = array_length(words);
    if (answer.words > 0) answer.status = words[0];
    if (answer.words > 1) answer.outcome = words[1];
    // The payload goes into a reply head and the log: a control character
    // in it is a broken answer, not part of a name.
    std::string last = answer.words > 0 ? words[answer.words - 1] : "";
    array_free(words);
    while (!last.empty() && (last.back() == '\n' || last.back() == '\r')) last.pop_back();
    for (unsigned char c : last)
        if (c < 0x20 || c == 0x7f) return answer;
    answer.payload = last;
    return answer;
}

static void set_text(char **field, const char *text) {
    free(*field);
    *field = xstrdup(text);
    if (!*field) fatal_alloc("src/ntlm_talk", __LINE__, "ntlm_communicate", strlen(text) + 1);
}

static void copy_payload(char *buffer, const std::string &payload) {
    snprintf(buffer, NTLM_BUFFER_SIZE, "%s", payload.c_str());
}

bool ntlm_token_of(const char *value, char *token) {
    const char *p = strchr(value, ' ');
    if (!p) return false;
    while (*p == ' ') p++;
    size_t n = strspn(p, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=");
    if (n == 0 || n >= NTLM_BUFFER_SIZE) return false;
    for (const char *rest = p + n; *rest; rest++)
        if (*rest != ' ' && *rest != '\t') return false;
    memcpy(token, p, n);
    token[n] = '\0';
    return true;
}

static std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static std::string format(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char *text = nullptr;
    int n = vasprintf(&text, fmt, args);
    va_end(args);
    if (n < 0 || !text) fatal_alloc("src/ntlm_talk", __LINE__, "ntlm_communicate", 0);
    std::string result(text, (size_t)n);
    free(text);
    return result;
}

// Connects and greets a new daemon connection; -1 when the socket cannot be
// reached, 407 (with the socket kept in x for discarding) when the greeting
// fails, 0 when ready.
static int daemon_open(EXCHANGE *x, const char *path) {
    int fd = net_unix_connect(path);
    if (fd == -1) {
        putlog(LOG_ERROR, "security: connection to httpauth socket at %s failed", path);
        return -1;
    }
    x->socket = new Socket(fd);
    int r = daemon_read(x);
    putlog(LOG_DEBUG, "ret [%d] new_connection_response: %s", r, x->answer);
    if (r <= 0) {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] failed to create new socket %s", x->ip, path);
        return 407;
    }
    if (!daemon_write(x, format("set handler %s\r\n\r\n", NTLM_HANDLER_NAME))) {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] failed to initialize new socket %s", x->ip, path);
        return 407;
    }
    if (daemon_read(x) <= 0) return 407;
    return 0;
}

// The client's token into message and its type into *type; a first message
// is kept on the connection, a third replaces the one kept. Without a header
// the first message kept is sent again. False when there is nothing to send.
static bool message_take(CONNECTION_T *connection, const char *ip, char *message, int *type) {
    HEADER *request = connection->request;
    const char *value = nullptr;
    if (request) value = request->type == HEADER_ORIGIN ? request->authorization : request->proxy_authorization;
    if (value) {
        if (!ntlm_token_of(value, message)) {
            putlog(LOG_SECURITY, "warn: [IP:%s] bad NTLM message refused", ip);
            return false;
        }
        *type = ntlm_get_msg_type(value);
        if (*type == 1) {
            if (connection->ntlm_message1) putlog(LOG_SECURITY, "warn: [IP:%s] user is resending NTLM message 1", ip);
            else set_text(&connection->ntlm_message1, message);
            if (!connection->ntlm_first) set_text(&connection->ntlm_first, message);
        } else if (*type == 3) {
            set_text(&connection->ntlm_message3, message);
        }
    } else if (connection->ntlm_message1) {
        snprintf(message, NTLM_BUFFER_SIZE, "%s", connection->ntlm_message1);
    } else {
        putlog(LOG_SECURITY, "warn: [IP:%s] NULL Authentication Headers recieved", ip);
        return false;
    }
    return true;
}

// The user the daemon named goes to the caller and the connection.
static void user_accept(EXCHANGE *x, const std::string &user) {
    copy_payload(x->buffer, user);
    set_text(&x->connection->ntlm_user, x->buffer);
    x->connection->ntlm_state = 2;
    x->result = 200;
    x->normal = true;
}

// Before a first message the daemon is asked whether the connection is
// known already. True when the message itself is to follow.
static bool known_ask(EXCHANGE *x) {
    const char *ip = x->ip;
    if (!daemon_write(x, format("AUTH %s GET %s HTTP/1.1\r\n\r\n", x->exchange.c_str(), x->url.c_str()))) {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] failed to write line 1 into socket", ip);
        return false;
    }
    if (daemon_read(x) <= 0) {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] failed to read line 1 from socket", ip);
        return false;
    }
    NTLM_ANSWER answer = ntlm_answer_parse(x->answer);
    if (answer.words < 2) {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] protocol failure [%s]", ip, x->answer);
        return false;
    }
    if (answer.status != "200") {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] server failed", ip);
        return false;
    }
    // A reply cut short or carrying more than one line leaves the
    // conversation out of step: that connection cannot be reused.
    if (!answer.whole) {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] out of sequence [%s]", ip, x->answer);
        return false;
    }
    if (answer.outcome == "200") {
        const std::string &user = answer.payload;
        if (user.empty()) {
            putlog(LOG_ERROR, "security: httpauthd: [IP:%s] protocol failure [%s]", ip, x->answer);
            return false;
        }
        user_accept(x, user);
        x->fate = KEEP;
        return false;
    }
    if (answer.outcome != "401") {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] out of sequence [%s]", ip, x->answer);
        return false;
    }
    return true;
}

// The daemon's answer to the client's message, a well-formed 200 line.
static void message_answer(EXCHANGE *x, const NTLM_ANSWER &answer) {
    const char *ip = x->ip;
    if (x->type == 1) {
        const std::string &challenge = answer.payload;
        if (answer.outcome == "401" && !challenge.empty()) {
            copy_payload(x->buffer, challenge);
            set_text(&x->connection->ntlm_challenge, x->buffer);
            x->result = 401;
            x->fate = KEEP;
            x->normal = true;
        } else {
            putlog(LOG_ERROR, "security: httpauthd: [IP:%s] failed to generate challenge [%s]", ip, x->answer);
            x->result = atoi(answer.outcome.c_str());
        }
    } else if (x->type == 3) {
        x->fate = KEEP;
        const std::string &user = answer.payload;
        if (answer.outcome == "200" && !user.empty()) {
            user_accept(x, user);
            putlog(LOG_SECURITY, "httpauthd: [IP:%s] user [%s] authenticated from Domain Controller", ip, x->buffer);
        } else if (answer.outcome == "401") {
            putlog(LOG_SECURITY, "warn: httpauthd: [IP:%s] failed to authenticate user [%s]", ip, x->answer);
            x->result = 401;
        } else {
            putlog(LOG_ERROR, "security: httpauthd: [IP:%s] failed %d times to authenticate user [%s]", ip,
                   x->connection->requests, x->answer);
            x->result = 407;
        }
    } else {
        putlog(LOG_SECURITY, "Trace: %s:%d THIS LINE IS NOT EXPECTED TO APPEAR", "ntlm_communicate", 1);
        if (!x->connection->ntlm_challenge)
            putlog(LOG_SECURITY, "Trace: %s:%d THIS LINE IS NOT EXPECTED TO APPEAR", "ntlm_communicate", 2);
        x->result = atoi(answer.outcome.c_str());
        x->fate = KEEP;
        x->normal = true;
    }
}

// The client's message to the daemon and its answer read.
static void message_send(EXCHANGE *x) {
    const char *ip = x->ip;
    clear_buffers(x->socket);
    if (!daemon_write(x, format("AUTH %s GET %s HTTP/1.1\r\nAuthorization: NTLM %s\r\n\r\n", x->exchange.c_str(),
                                x->url.c_str(), x->message))) {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] failed to read from socket, for NTLM MESSAGE TYPE %d", ip,
               x->type);
        return;
    }
    if (daemon_read(x) <= 0) {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] failed to read from socket, for NTLM MESSAGE TYPE %d", ip,
               x->type);
        return;
    }
    NTLM_ANSWER answer = ntlm_answer_parse(x->answer);
    if (answer.words < 2 || !answer.whole) {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] server failed [%s]", ip, x->answer);
        return;
    }
    if (answer.status != "200") {
        putlog(LOG_ERROR, "security: httpauthd: [IP:%s] server failed [%s]", ip, x->answer);
        x->result = atoi(answer.outcome.c_str());
        return;
    }
    message_answer(x, answer);
}

// The result checked against what the exchange did, and the daemon
// connection kept or dropped.
static int exchange_end(EXCHANGE *x, const char *path) {
    CONNECTION_T *connection = x->connection;
    int result = x->result;
    // 200 means this exchange authenticated the user and 401 that a
    // challenge is waiting; a daemon's word must not claim either otherwise.
    if ((result == 200 && !(connection->ntlm_state == 2 && connection->ntlm_user)) ||
        (result == 401 && x->type == 1 && !x->normal))
        result = 407;
    if (!x->normal) {
        putlog(LOG_ADVICE, "error: security: httpauthd: [IP:%s] NTLM authentication failed", x->ip);
        pause_before_read(x);
    }
    if (x->socket) {
        x->socket->Flush();
        clear_buffers(x->socket);
        if (x->fate == KEEP) daemon_keep(x->socket, path);
        else daemon_discard(x->socket);
    }
    return result;
}

int ntlm_communicate(CONNECTION_T *connection, char *buffer) {
    if (!connection || !buffer) return 407;
    buffer[0] = '\0';
    const char *ip = connection->ip ? connection->ip : "";
    if (connection->ntlm_state == 2) putlog(LOG_ERROR, "[IP:%s] connection already authenticated", ip);
    putlog(LOG_DEBUG, "[IP:%s] Request [%d] ", ip, connection->requests);

    int type = 0;
    char message[NTLM_BUFFER_SIZE];
    if (!message_take(connection, ip, message, &type)) return 407;

    char path[SOCKET_PATH_SIZE];
    if (!ntlm_socket_path(path, sizeof path)) {
        putlog(LOG_ERROR, "security: connection to httpauth socket at %s failed", ntlmsockdir);
        return -1;
    }
    EXCHANGE x;
    x.connection = connection;
    x.socket = daemon_take(path);
    x.ctimeout = general_ctimeout(connection);
    if (x.ctimeout < 0) x.ctimeout = 0;
    x.ip = ip;
    x.answer[0] = '\0';
    x.type = type;
    x.message = message;
    x.exchange = format("%d.%s.%s", ntlm_process_id, ip, connection->ntlm_first ? connection->ntlm_first : "");
    x.url = format("http://%s:%d/%d", ip, connection->client ? connection->client->fd : -1, connection->id);
    x.buffer = buffer;

    int opened = x.socket ? 0 : daemon_open(&x, path);
    if (opened == -1) return -1;
    if (opened == 0) {
        clear_buffers(x.socket);
        if (type != 1 || known_ask(&x)) message_send(&x);
    }
    return exchange_end(&x, path);
}
