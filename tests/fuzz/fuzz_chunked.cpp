// Fuzz target: a chunked response body read from the server the three ways
// the proxy reads one (into a buffer up to a limit, relayed re-chunked to
// the client, discarded), and the chunk-size line alone. Each result is
// checked against a strict decoder written here: the same outcome, the same
// data, the rest of the stream left unread, and a relayed body that decodes
// back to what was read.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "connection.h"
#include "filebuf.h"
#include "fuzz_support.h"
#include "header.h"
#include "proto_http.h"
#include "settings.h"
#include "socket.h"

namespace {

// What the strict decoder makes of a stream.
struct Decoded {
    int result;        // HTTP_BODY_*
    std::string body;  // the data of the chunks read whole
    size_t end;        // where the body ended (complete), or the overflowing size line began
};

bool hex_value(char c, int *value) {
    if (c >= '0' && c <= '9') *value = c - '0';
    else if (c >= 'a' && c <= 'f') *value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') *value = c - 'A' + 10;
    else return false;
    return true;
}

// One framing line at *at: COMPLETE with the line (CR LF removed), SHORT
// when the stream ends first, MALFORMED when it is too long or not ended by
// a lone CR LF.
int framing_line(const std::string &in, size_t *at, std::string *line) {
    size_t lf = in.find('\n', *at);
    if (lf == std::string::npos) return in.size() - *at >= HTTP_CHUNK_LINE_MAX ? HTTP_BODY_MALFORMED : HTTP_BODY_SHORT;
    size_t length = lf - *at + 1;
    if (length > HTTP_CHUNK_LINE_MAX) return HTTP_BODY_MALFORMED;
    if (length < 2 || in[lf - 1] != '\r') return HTTP_BODY_MALFORMED;
    line->assign(in, *at, length - 2);
    if (line->find('\r') != std::string::npos) return HTTP_BODY_MALFORMED;
    *at = lf + 1;
    return HTTP_BODY_COMPLETE;
}

// chunk-size [ blanks ] [ ";" extension ]; at most 15 significant digits.
bool size_line(const std::string &line, unsigned long long *size) {
    size_t i = 0;
    unsigned long long value = 0;
    int digits = 0, digit;
    for (; i < line.size() && hex_value(line[i], &digit); i++) {
        if (value == 0 && digit == 0) continue;
        if (++digits > 15) return false;
        value = value * 16 + (unsigned long long)digit;
    }
    if (i == 0) return false;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
    if (i < line.size() && line[i] != ';') return false;
    *size = value;
    return true;
}

Decoded decode(const std::string &in, unsigned long long limit) {
    Decoded d = {HTTP_BODY_SHORT, "", 0};
    size_t at = 0;
    for (;;) {
        size_t start = at;
        std::string line;
        unsigned long long size = 0;
        int got = framing_line(in, &at, &line);
        if (got != HTTP_BODY_COMPLETE) return d.result = got, d;
        if (!size_line(line, &size)) return d.result = HTTP_BODY_MALFORMED, d;
        if (size == 0) {
            for (int n = 0;; n++) {
                if (n > HTTP_TRAILER_LINES_MAX) return d.result = HTTP_BODY_MALFORMED, d;
                got = framing_line(in, &at, &line);
                if (got != HTTP_BODY_COMPLETE) return d.result = got, d;
                if (line.empty()) break;
            }
            d.result = HTTP_BODY_COMPLETE;
            d.end = at;
            return d;
        }
        if (size > limit - d.body.size()) {
            d.result = HTTP_BODY_OVERFLOW;
            d.end = start;
            return d;
        }
        if (in.size() - at < size) return d.result = HTTP_BODY_SHORT, d;
        d.body.append(in, at, (size_t)size);
        at += (size_t)size;
        got = framing_line(in, &at, &line);
        if (got != HTTP_BODY_COMPLETE) return d.result = got, d;
        if (!line.empty()) return d.result = HTTP_BODY_MALFORMED, d;
    }
}

// What the socket still holds: its read-ahead, then the descriptor.
std::string rest_of(Socket *socket) {
    std::string rest(socket->in ? socket->in : "", socket->in_length);
    return rest + unread_bytes(socket->fd);
}

CONNECTION_T *server_reading(const std::string &stream) {
    CONNECTION_T *connection = connection_new();
    connection->flags |= CONN_INTERNAL;  // no cache object, no data callback
    connection->server = new Socket(socket_holding((const uint8_t *)stream.data(), stream.size()));
    connection->response = header_new();
    connection->response->chunked = 1;
    return connection;
}

void finish(CONNECTION_T *connection) {
    delete connection->server;
    delete connection->client;
    connection->server = connection->client = nullptr;
    http_header_free(connection->response);
    connection->response = nullptr;
    connection_free(connection);
}

void buffered(const std::string &stream, long long limit) {
    Decoded expected = decode(stream, (unsigned long long)limit);
    CONNECTION_T *connection = server_reading(stream);
    int result = -1;
    Filebuf *body = http_transfer_filebuf(connection, HTTP_SIDE_SERVER, limit, &result);
    check(result == expected.result);
    std::string got(body->data ? body->data : "", (size_t)body->size);
    if (result == HTTP_BODY_COMPLETE || result == HTTP_BODY_OVERFLOW) {
        check(got == expected.body);
        // Nothing past the body is taken; an overflow leaves its size line.
        check(rest_of(connection->server) == stream.substr(expected.end));
        check(!(connection->flags & CONN_FAILED));
    } else {
        check(connection->flags & CONN_FAILED);
    }
    delete body;
    finish(connection);
}

void relayed(const std::string &stream) {
    Decoded expected = decode(stream, ~0ull);
    CONNECTION_T *connection = server_reading(stream);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) abort();
    int room = 1 << 20;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    connection->client = new Socket(pair[0]);
    int result = http_transfer(connection, HTTP_SIDE_SERVER);
    check(result == expected.result);
    if (result == HTTP_BODY_COMPLETE) check(rest_of(connection->server) == stream.substr(expected.end));
    delete connection->client;
    connection->client = nullptr;
    std::string sent = unread_bytes(pair[1]);
    close(pair[1]);
    // The client can tell a whole body from a cut one.
    Decoded relay = decode(sent, ~0ull);
    if (result == HTTP_BODY_COMPLETE) {
        check(relay.result == HTTP_BODY_COMPLETE && relay.body == expected.body && relay.end == sent.size());
    } else {
        check(relay.result == HTTP_BODY_SHORT);
    }
    finish(connection);
}

void discarded(const std::string &stream) {
    Decoded expected = decode(stream, ~0ull);
    CONNECTION_T *connection = server_reading(stream);
    int result = http_transfer_discard(connection, HTTP_SIDE_SERVER);
    check(result == expected.result);
    if (result == HTTP_BODY_COMPLETE) check(rest_of(connection->server) == stream.substr(expected.end));
    finish(connection);
}

void size_alone(const std::string &stream) {
    CONNECTION_T *connection = server_reading(stream);
    unsigned long long size = next_chunksize(connection, HTTP_SIDE_SERVER);
    size_t lf = stream.find('\n');
    std::string line = stream.substr(0, lf);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    unsigned long long expected = 0;
    if (lf != std::string::npos && lf < 64 && !size_line(line, &expected)) expected = 0;
    if (lf == std::string::npos || lf >= 64) expected = 0;
    check(size == expected);
    finish(connection);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 65536) return 0;
    std::string stream(reinterpret_cast<const char *>(data) + 1, size - 1);
    switch (data[0] & 3) {
        case 0: buffered(stream, (data[0] & 0x80) ? HTTP_BODY_MAX : (long long)(data[0] >> 2) * 16); break;
        case 1: relayed(stream); break;
        case 2: discarded(stream); break;
        default: size_alone(stream); break;
    }
    return 0;
}
