// Fuzz target: the head reader, on a socket whose peer sent the input and
// closed. Its result is checked against a model of the reading rules (empty
// lines before the head skipped, the head up to its empty line, the size
// limits, NUL bytes refused), and a whole head goes through the parsers.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "connection.h"
#include "fuzz_support.h"
#include "header.h"
#include "settings.h"
#include "socket.h"

namespace {

struct Head {
    int status;
    std::string text;
};

Head model(const std::string &in) {
    std::string head;
    bool any = false;
    size_t at = 0;
    for (;;) {
        size_t room = HEADER_MAX_LENGTH - 2 - head.size();
        size_t lf = in.find('\n', at);
        size_t length = lf == std::string::npos ? in.size() - at : lf - at + 1;
        if (length > room) return {any ? HEADER_GET_TOO_LARGE : HEADER_GET_LINE_TOO_LONG, ""};
        if (lf == std::string::npos) break;
        if (memchr(in.data() + at, '\0', length)) return {HEADER_GET_BAD, ""};
        bool empty = in.find_first_not_of('\r', at) >= lf;
        if (!empty) head.append(in, at, length);
        at = lf + 1;
        if (empty && any) return {HEADER_GET_OK, head + "\r\n"};
        if (!empty) any = true;
    }
    if (!any) return {HEADER_GET_NONE, ""};
    return {HEADER_GET_PARTIAL, head};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 3 * HEADER_MAX_LENGTH) return 0;
    std::string in(reinterpret_cast<const char *>(data) + 1, size - 1);
    int direction = data[0] & 1;
    Head expected = model(in);

    CONNECTION_T *connection = connection_new();
    Socket *socket = new Socket(socket_holding((const uint8_t *)in.data(), in.size()));
    (direction ? connection->server : connection->client) = socket;
    int status = -1;
    char *text = header_get(connection, direction, 5, &status);
    check(status == expected.status);
    check((text != nullptr) == (status == HEADER_GET_OK || status == HEADER_GET_PARTIAL));
    if (text) {
        check(expected.text == text);
        if (status == HEADER_GET_OK) {
            int error = 0;
            HEADER *head = direction ? http_header_parse_response(text, &error) : http_header_parse_request(text, &error);
            if (!head) check(error != HEADER_ERROR_NONE);  // a refusal says why
            http_header_free(head);
        }
        free(text);
    }
    delete connection->client;
    delete connection->server;
    connection->client = connection->server = nullptr;
    connection_free(connection);
    return 0;
}
