// Fuzz target: what an external program writes back: an HTTP head (request
// or response, as its first line says) and the body after it. The head ends
// at the first empty line, as a model here finds it; a head the proxy takes
// is one it can write out again as well-formed lines.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "connection.h"
#include "external.h"
#include "filebuf.h"
#include "fuzz_support.h"
#include "header.h"
#include "settings.h"

namespace {

// Up to and including the line feed that ends an empty line (one holding
// only carriage returns), stopping at a NUL byte; the whole text without one.
size_t head_end(const std::string &text) {
    size_t last_feed = std::string::npos;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\0') return i;
        if (text[i] != '\n') continue;
        if (last_feed != std::string::npos && text.find_first_not_of('\r', last_feed + 1) >= i) return i + 1;
        last_feed = i;
    }
    return text.size();
}

CONNECTION_T *writer() {
    static CONNECTION_T *connection = connection_new();
    return connection;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 200000) return 0;
    std::string output(reinterpret_cast<const char *>(data), size);
    EXTERNAL_OUTPUT parsed = external_output_parse(size ? output.data() : nullptr, size);
    check(parsed.body == head_end(output));
    check(parsed.response == (parsed.body >= 5 && strncasecmp(output.c_str(), "HTTP/", 5) == 0));
    if (!parsed.head) return 0;
    check(!(parsed.head->flags & HEADER_INVALID));
    check(parsed.head->type == (parsed.response ? HEADER_RESPONSE : parsed.head->type));
    // The head goes on as lines the next hop reads the same way.
    for (int kind = 0; kind < 3; kind++) {
        Filebuf written;
        header_send_filebuf(&written, parsed.head, writer(), kind);
        std::string head(written.data ? written.data : "", (size_t)written.size);
        check(head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0);
        check(head_end(head) == head.size());
    }
    http_header_free(parsed.head);
    return 0;
}
