// Fuzz target: what a SOCKS4 or SOCKS5 server answers to the proxy's
// handshake. The outcome is checked against a model of the replies, and a
// granted handshake must take exactly its reply off the connection: what
// follows is the tunnelled data. The first byte picks the version and
// whether a login is at hand.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "connection.h"
#include "fuzz_support.h"
#include "network.h"
#include "settings.h"
#include "socket.h"

namespace {

struct Outcome {
    int result;
    size_t used;  // reply bytes a granted handshake takes
};

Outcome socks4_model(const std::string &in) {
    if (in.size() < 8) return {-2, 0};
    switch ((unsigned char)in[1]) {
        case 0x5A: return {1, 8};
        case 0x5B: return {-2, 0};
        case 0x5C:
        case 0x5D: return {-4, 0};
        default: return {-1, 0};
    }
}

Outcome socks5_model(const std::string &in, bool login) {
    const unsigned char *p = (const unsigned char *)in.data();
    size_t at = 2;
    if (in.size() < at) return {-2, 0};
    if (p[1] == 0x02) {
        if (!login) return {-2, 0};
        if (in.size() < at + 2 || p[at + 1] != 0x00) return {-2, 0};
        at += 2;
    } else if (p[1] != 0x00) {
        return {-2, 0};
    }
    if (in.size() < at + 4 || p[at + 1] != 0x00) return {-2, 0};
    unsigned char kind = p[at + 3];
    at += 4;
    size_t rest = 2;
    if (kind == 0x01) rest = 6;
    else if (kind == 0x04) rest = 18;
    else if (kind == 0x03) {
        if (in.size() < at + 1) return {-2, 0};
        rest = (size_t)p[at] + 2;
        at += 1;
    }
    if (in.size() < at + rest) return {-2, 0};
    return {1, at + rest};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    std::string reply(reinterpret_cast<const char *>(data) + 1, size - 1);
    bool five = data[0] & 1, login = data[0] & 2;
    Outcome expected = five ? socks5_model(reply, login) : socks4_model(reply);

    int peer = -1;
    CONNECTION_T *connection = connection_new();
    connection->server = new Socket(socket_answering((const uint8_t *)reply.data(), reply.size(), &peer));
    int result = five ? socks5_request(connection, "origin.example", 8080, login ? "user" : nullptr,
                                       login ? "password" : nullptr)
                      : socks4_request(connection, "127.0.0.1", 8080, "korvantel");
    check(result == expected.result);
    if (result == 1) {
        Socket *server = connection->server;
        std::string rest(server->in ? server->in : "", server->in_length);
        rest += unread_bytes(server->fd);
        check(rest == reply.substr(expected.used));
    }
    delete connection->server;
    connection->server = nullptr;
    connection_free(connection);
    close(peer);
    return 0;
}
