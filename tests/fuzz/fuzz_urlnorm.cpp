// Fuzz target: the URL normal form the filters judge. Normalising is
// idempotent (the normal form of a normal form is itself), leaves no dot
// segment in the path and the query as it was, and a request normalised once
// has nothing left to change.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "fuzz_support.h"
#include "header.h"
#include "settings.h"
#include "urlnorm.h"

namespace {

void path_checks(const std::string &target) {
    std::string normal = url_path_normalise(target);
    check(url_path_normalise(normal) == normal);
    if (target.empty() || target[0] != '/') {
        check(normal == target);
        return;
    }
    size_t query = normal.find('?');
    size_t original_query = target.find('?');
    check((query == std::string::npos) == (original_query == std::string::npos));
    if (query != std::string::npos) check(normal.compare(query, std::string::npos, target, original_query) == 0);
    std::string path = normal.substr(0, query);
    check(!path.empty() && path[0] == '/');
    size_t start = 1;
    for (;;) {
        size_t slash = path.find('/', start);
        std::string segment = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        check(segment != "." && segment != "..");
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    std::string rules = url_path_for_rules(normal);
    check(url_path_for_rules(rules) == rules);
    check(rules.find("//") == std::string::npos || rules.find("//") > rules.find('?'));
}

void host_checks(const std::string &host) {
    std::string normal = url_host_normalise(host);
    check(url_host_normalise(normal) == normal);
}

void request_checks(const std::string &text) {
    HEADER *request = http_header_parse_request(text.c_str());
    if (!request) return;
    url_request_normalise(request);
    std::string url = request->url ? request->url : "";
    std::string file = request->file ? request->file : "";
    check(!url_request_normalise(request));
    check(url == (request->url ? request->url : ""));
    check(file == (request->file ? request->file : ""));
    http_header_free(request);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192) return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    path_checks(text);
    size_t newline = text.find('\n');
    host_checks(text.substr(0, newline));
    // The input as the target of a request line, and as a whole head.
    std::string target = text.substr(0, text.find_first_of(" \r\n"));
    if (!target.empty()) request_checks("GET " + target + " HTTP/1.1\r\nHost: example.com\r\n\r\n");
    request_checks(text);
    return 0;
}
