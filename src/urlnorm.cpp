#include "urlnorm.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "header.h"
#include "mem.h"
#include "misc.h"

namespace {

bool unreserved(unsigned char c) { return isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

std::string unreserved_decode(const std::string &path) {
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size(); i++) {
        int high = path[i] == '%' && i + 2 < path.size() ? hex_digit(path[i + 1]) : -1;
        int low = high >= 0 ? hex_digit(path[i + 2]) : -1;
        if (low >= 0) {
            unsigned char c = (unsigned char)(high * 16 + low);
            // A decoded hex digit must not complete an escape with a '%'
            // before it ("%%341" is not "%41"): the result would read as
            // another path than the one it came from.
            size_t n = out.size();
            bool joins = isxdigit(c) && n > 0 &&
                         (out[n - 1] == '%' || (n > 1 && out[n - 2] == '%' && isxdigit((unsigned char)out[n - 1])));
            if (unreserved(c) && !joins) {
                out += (char)c;
                i += 2;
                continue;
            }
        }
        out += path[i];
    }
    return out;
}

// Removes the last segment and its '/' from out.
void segment_pop(std::string *out) {
    size_t slash = out->rfind('/');
    out->resize(slash == std::string::npos ? 0 : slash);
}

// Dot-segment removal on a path that begins with '/'.
std::string dot_segments_remove(const std::string &path) {
    std::string in = path, out;
    size_t i = 0;
    while (i < in.size()) {
        const char *p = in.c_str() + i;
        size_t left = in.size() - i;
        if (left >= 3 && strncmp(p, "../", 3) == 0) i += 3;
        else if (left >= 2 && strncmp(p, "./", 2) == 0) i += 2;
        else if (left >= 3 && strncmp(p, "/./", 3) == 0) i += 2;
        else if (left == 2 && strncmp(p, "/.", 2) == 0) {
            in.replace(i, 2, "/");
        } else if (left >= 4 && strncmp(p, "/../", 4) == 0) {
            i += 3;
            segment_pop(&out);
        } else if (left == 3 && strncmp(p, "/..", 3) == 0) {
            in.replace(i, 3, "/");
            segment_pop(&out);
        } else if ((left == 1 && *p == '.') || (left == 2 && strncmp(p, "..", 2) == 0)) {
            i = in.size();
        } else {
            size_t next = in.find('/', i + 1);
            if (next == std::string::npos) next = in.size();
            out.append(in, i, next - i);
            i = next;
        }
    }
    return out;
}

bool numeric_form(const std::string &host) {
    if (host.empty()) return false;
    for (unsigned char c : host)
        if (!isxdigit(c) && c != '.' && c != 'x' && c != 'X') return false;
    return isdigit((unsigned char)host[0]) != 0;
}

void text_replace(char **field, const std::string &value) {
    char *copy = xstrdup(value.c_str());
    free(*field);
    *field = copy;
}

}  // namespace

std::string url_path_normalise(const std::string &target) {
    if (target.empty() || target[0] != '/') return target;
    size_t query = target.find('?');
    std::string path = target.substr(0, query);
    std::string normal = dot_segments_remove(unreserved_decode(path));
    if (normal.empty()) normal = "/";
    if (query != std::string::npos) normal.append(target, query, std::string::npos);
    return normal;
}

std::string url_path_for_rules(const std::string &target) {
    size_t query = target.find('?');
    size_t end = query == std::string::npos ? target.size() : query;
    std::string out;
    out.reserve(target.size());
    for (size_t i = 0; i < end; i++)
        if (target[i] != '/' || out.empty() || out.back() != '/') out += target[i];
    if (query != std::string::npos) out.append(target, query, std::string::npos);
    return out;
}

std::string url_host_normalise(const std::string &host) {
    if (!numeric_form(host)) return host;
    // The resolver's own reading of the text, so the rules see the address
    // that would be connected to.
    struct in_addr address;
    if (inet_aton(host.c_str(), &address) == 0) return host;
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &address, text, sizeof text)) return host;
    return text;
}

bool url_request_normalise(HEADER *request) {
    if (!request) return false;
    bool changed = false;
    if (request->file && request->type != HEADER_CONNECT) {
        std::string normal = url_path_normalise(request->file);
        if (normal != request->file) {
            text_replace(&request->file, normal);
            changed = true;
        }
    }
    if (request->host && *request->host) {
        std::string normal = url_host_normalise(request->host);
        if (normal != request->host) {
            text_replace(&request->host, normal);
            changed = true;
        }
    }
    // The URL is rebuilt only where there is one; an origin-form request
    // gets it once its host is known.
    if (changed && request->url && request->host && *request->host) header_complete(request);
    return changed;
}
