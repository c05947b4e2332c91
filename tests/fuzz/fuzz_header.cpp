// Fuzz target: request and response head parsing, and the writer's promise
// that whatever was parsed goes out as well-formed lines with one framing.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "connection.h"
#include "filebuf.h"
#include "header.h"

namespace {

CONNECTION_T *fuzz_connection() {
    static CONNECTION_T *connection = [] {
        CONNECTION_T *c = connection_new();
        c->keepalive_client = 1;
        return c;
    }();
    return connection;
}

void check_written(HEADER *header, int kind) {
    Filebuf buffer;
    header_send_filebuf(&buffer, header, fuzz_connection(), kind);
    std::string head(buffer.data ? buffer.data : "", (size_t)buffer.size);
    if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) abort();
    int lengths = 0, codings = 0;
    size_t start = 0;
    while (start < head.size()) {
        size_t end = head.find("\r\n", start);
        if (end == std::string::npos) abort();
        std::string line = head.substr(start, end - start);
        if (line.find('\r') != std::string::npos || line.find('\n') != std::string::npos) abort();
        if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) lengths++;
        if (strncasecmp(line.c_str(), "Transfer-Encoding:", 18) == 0) codings++;
        start = end + 2;
        if (line.empty()) break;
    }
    if (start != head.size()) abort();  // the empty line is the last
    if (lengths > 1 || codings > 1 || (lengths && codings)) abort();
}

void check(HEADER *header) {
    if (!header) return;
    for (int kind = 0; kind < 3; kind++) check_written(header, kind);
    HEADER *copy = http_header_dup(header);
    check_written(copy, 1);
    http_header_free(copy);
    http_header_free(header);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    int error = 0;
    check(http_header_parse_request(text.c_str(), &error));
    check(http_header_parse_response(text.c_str(), &error));
    (void)header_length(text.c_str(), (size_t)-1);
    (void)header_type(text.c_str(), size);
    return 0;
}
