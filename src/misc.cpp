// String, string-array and URL utilities.
#include "misc.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "filebuf.h"
#include "log.h"
#include "mem.h"

int html_line_length = 0;

namespace {

const char MISC_FILE[] = "src/misc";

// Longest user name and password accepted in the authority of a URL.
const size_t URL_CREDENTIAL_MAX = 128;
// url_path_fix keeps at most this many characters.
const size_t URL_PATH_MAX = 2047;
// url_create and path_to_url targets are limited to this many characters.
const size_t URL_TEXT_MAX = 1023;
// Longest word cmdline_parse keeps; further characters are dropped.
const size_t CMDLINE_WORD_MAX = 255;
// A template variable name is found among the 63 bytes after its "@".
const long long VARIABLE_NAME_WINDOW = 63;

char *copy_or_die(const char *text, size_t length, int line, const char *function) {
    char *copy = (char *)xmalloc(length + 1);
    if (!copy) fatal_alloc(MISC_FILE, line, function, length + 1);
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

char *string_or_die(const std::string &text, int line, const char *function) {
    return copy_or_die(text.data(), text.size(), line, function);
}

char **array_alloc(size_t slots, int line, const char *function) {
    char **array = (char **)xmalloc(slots * sizeof(char *));
    if (!array) fatal_alloc(MISC_FILE, line, function, slots * sizeof(char *));
    return array;
}

char **array_from(const std::vector<std::string> &pieces, int line, const char *function) {
    char **array = array_alloc(pieces.size() + 1, line, function);
    for (size_t i = 0; i < pieces.size(); i++) array[i] = string_or_die(pieces[i], line, function);
    array[pieces.size()] = nullptr;
    return array;
}

int equal_or_null(const char *a, const char *b, bool ignore_case) {
    if (!a || !b) return a == b;
    return ignore_case ? strcasecmp(a, b) == 0 : strcmp(a, b) == 0;
}

// Reads a decimal number of at most `limit`; false when there is no digit or
// the number is larger. *end is the first character after the digits.
bool read_decimal(const char *text, unsigned long limit, unsigned long *value, const char **end) {
    unsigned long number = 0;
    const char *p = text;
    while (*p >= '0' && *p <= '9') {
        number = number * 10 + (unsigned long)(*p - '0');
        if (number > limit) return false;
        p++;
    }
    if (p == text) return false;
    *value = number;
    *end = p;
    return true;
}

}  // namespace

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ---- Bounded strings ------------------------------------------------------

char *s_strncpy(char *destination, const char *source, size_t size) {
    if (size == 0) return destination;
    size_t length = strnlen(source, size - 1);
    memcpy(destination, source, length);
    destination[length] = '\0';
    return destination;
}

char *s_strncat(char *destination, const char *source, size_t size) {
    if (size == 0) return destination;
    if (size < 2) {
        destination[0] = '\0';
        return destination;
    }
    size_t used = strnlen(destination, size);
    if (used >= size - 1) {
        destination[size - 1] = '\0';
        return destination;
    }
    size_t length = strnlen(source, size - 1 - used);
    memcpy(destination + used, source, length);
    destination[used + length] = '\0';
    return destination;
}

size_t s_strnlen(const char *text, size_t n) { return strnlen(text, n); }

char *string_append(char *text, const char *addition) {
    if (!addition) addition = "";
    size_t old_length = text ? strlen(text) : 0;
    size_t add_length = strlen(addition);
    size_t size = old_length + add_length + 1;
    char *grown = (char *)xrealloc(text, size);
    if (!grown) fatal_alloc(MISC_FILE, __LINE__, __func__, size);
    memcpy(grown + old_length, addition, add_length + 1);
    return grown;
}

char *string_tolower(char *text) {
    if (!text) return text;
    for (char *p = text; *p; p++) *p = (char)tolower((unsigned char)*p);
    return text;
}

const char *s_strcasestr(const char *haystack, const char *needle) {
    if (!haystack || !needle || !*haystack) return nullptr;
    size_t length = strlen(needle);
    for (const char *p = haystack; *p; p++)
        if (strncasecmp(p, needle, length) == 0) return p;
    return nullptr;
}

int signed_to_unsigned_char(unsigned char *destination, const char *text, int bytes) {
    int count = 0;
    while (count < bytes && text[count]) {
        destination[count] = (unsigned char)text[count];
        count++;
    }
    return count;
}

int isempty(const char *text, int n) {
    for (int i = 0; i < n && text[i]; i++)
        if (isgraph((unsigned char)text[i])) return 0;
    return 1;
}

int isip(const char *text) {
    if (!text || !*text) return 0;
    int dots = 0;
    for (const char *p = text; *p; p++) {
        if (*p == '.') dots++;
        else if (*p < '0' || *p > '9') return 0;
    }
    return dots == 3;
}

// ---- String arrays --------------------------------------------------------

char **string_break(const char *text, char separator) {
    std::vector<std::string> pieces;
    const char *p = text ? text : "";
    while (*p) {
        while (*p == separator) p++;
        if (!*p) break;
        const char *start = p;
        while (*p && *p != separator) p++;
        pieces.emplace_back(start, (size_t)(p - start));
    }
    if (pieces.empty()) pieces.emplace_back();
    return array_from(pieces, __LINE__, __func__);
}

int array_length(char *const *array) {
    int n = 0;
    if (array)
        while (array[n]) n++;
    return n;
}

void array_free(char **array) {
    if (!array) return;
    for (char **p = array; *p; p++) free(*p);
    free(array);
}

char **array_dup(char *const *array) {
    if (!array) return nullptr;
    int n = array_length(array);
    char **copy = array_alloc((size_t)n + 1, __LINE__, __func__);
    for (int i = 0; i < n; i++) copy[i] = copy_or_die(array[i], strlen(array[i]), __LINE__, __func__);
    copy[n] = nullptr;
    return copy;
}

char **array_add(char **array, const char *text) {
    if (!text) return array;
    int n = array_length(array);
    size_t size = ((size_t)n + 2) * sizeof(char *);
    char **grown = (char **)xrealloc(array, size);
    if (!grown) fatal_alloc(MISC_FILE, __LINE__, __func__, size);
    grown[n] = copy_or_die(text, strlen(text), __LINE__, __func__);
    grown[n + 1] = nullptr;
    return grown;
}

char **array_delete(char **array, const char *text) {
    if (!array || !text) return array;
    int kept = 0;
    for (int i = 0; array[i]; i++) {
        if (strcmp(array[i], text) == 0) free(array[i]);
        else array[kept++] = array[i];
    }
    array[kept] = nullptr;
    return array;
}

int array_find(char *const *array, const char *text) {
    if (!array || !text) return 0;
    for (int i = 0; array[i]; i++)
        if (strcmp(array[i], text) == 0) return 1;
    return 0;
}

char *array_merge(char *const *array, char separator) {
    std::string merged;
    for (int i = 0; array && array[i]; i++) {
        if (i) merged += separator;
        merged += array[i];
    }
    return string_or_die(merged, __LINE__, __func__);
}

void stack_free(STACK_T *node) {
    if (!node) return;
    while (node->prev) node = node->prev;
    while (node) {
        STACK_T *next = node->next;
        if (!node->text) fatal_assert(MISC_FILE, 606, "stack_free");
        free(node->text);
        free(node);
        node = next;
    }
}

// ---- URLs -----------------------------------------------------------------

URL *url_parse(const char *text) {
    if (!text) return nullptr;
    const char *colon = strchr(text, ':');
    if (!colon) return nullptr;
    // Two characters (the "//") must follow the scheme's ":"; they are not checked.
    if (!colon[1] || !colon[2]) return nullptr;
    const char *authority = colon + 3;

    std::string user, password;
    bool has_credentials = false;
    const char *host_start = authority;
    const char *stop = authority + strcspn(authority, "@/");
    if (*stop == '@') {
        // user ":" password "@", both required, neither past the first "@"
        const char *separator = (const char *)memchr(authority, ':', (size_t)(stop - authority));
        if (!separator) return nullptr;
        size_t user_length = (size_t)(separator - authority);
        size_t password_length = (size_t)(stop - separator - 1);
        if (user_length == 0 || user_length > URL_CREDENTIAL_MAX) return nullptr;
        if (password_length == 0 || password_length > URL_CREDENTIAL_MAX) return nullptr;
        user.assign(authority, user_length);
        password.assign(separator + 1, password_length);
        has_credentials = true;
        host_start = stop + 1;
    }

    const char *slash = strchr(host_start, '/');
    const char *host_end = slash ? slash : host_start + strlen(host_start);
    const char *port_colon = (const char *)memchr(host_start, ':', (size_t)(host_end - host_start));
    int port;
    if (port_colon) {
        host_end = port_colon;
        const char *after = port_colon + 1;
        unsigned long number = 0;
        if (*after >= '0' && *after <= '9') {
            if (!read_decimal(after, 65535, &number, &after)) return nullptr;
        }
        if (*after != '\0' && *after != '/') return nullptr;
        port = (int)number;
    } else {
        std::string scheme(text, (size_t)(colon - text));
        port = protocol_port(scheme.c_str());
    }

    URL *url = (URL *)xmalloc(sizeof(URL));
    if (!url) fatal_alloc(MISC_FILE, __LINE__, __func__, sizeof(URL));
    url->protocol = string_tolower(copy_or_die(text, (size_t)(colon - text), __LINE__, __func__));
    url->host = copy_or_die(host_start, (size_t)(host_end - host_start), __LINE__, __func__);
    string_tolower(url_strip(url->host));
    url->file = slash ? url_path_fix(slash) : copy_or_die("/", 1, __LINE__, __func__);
    url->port = port;
    if (has_credentials) {
        url->user = string_or_die(user, __LINE__, __func__);
        url->password = string_or_die(password, __LINE__, __func__);
    }
    return url;
}

char *url_create(const URL *url) {
    char text[URL_TEXT_MAX + 1];
    snprintf(text, sizeof(text), "%s://%s:%d%s", url->protocol ? url->protocol : "", url->host ? url->host : "",
             url->port, url->file ? url->file : "");
    return copy_or_die(text, strlen(text), __LINE__, __func__);
}

void url_free(URL *url) {
    if (!url) return;
    free(url->user);
    free(url->password);
    free(url->protocol);
    free(url->host);
    free(url->file);
    free(url);
}

int urlcmp(const URL *a, const URL *b) {
    if (a->user && b->user && strcmp(a->user, b->user) != 0) return 0;
    if (a->password && b->password && strcmp(a->password, b->password) != 0) return 0;
    if (a->port != b->port) return 0;
    if (!equal_or_null(a->protocol, b->protocol, true)) return 0;
    if (!equal_or_null(a->host, b->host, true)) return 0;
    if (!equal_or_null(a->file, b->file, false)) return 0;
    return 1;
}

char *url_strip(char *text) {
    if (!text) return text;
    char *out = text;
    for (const char *p = text; *p; p++)
        if ((signed char)*p > 32) *out++ = *p;
    *out = '\0';
    return text;
}

char *url_path_fix(const char *path) {
    if (!path) path = "";
    size_t length = strnlen(path, URL_PATH_MAX);
    const char *hash = (const char *)memchr(path, '#', length);
    if (hash) length = (size_t)(hash - path);
    return url_strip(copy_or_die(path, length, __LINE__, __func__));
}

int protocol_port(const char *scheme) {
    if (!scheme) return 0;
    if (strcasecmp(scheme, "http") == 0) return 80;
    if (strcasecmp(scheme, "ftp") == 0) return 21;
    return 0;
}

// n < 0 takes the whole text.
char *url_encode(const char *text, int n) {
    static const char hex[] = "0123456789abcdef";
    if (!text) text = "";
    size_t length = n < 0 ? strlen(text) : strnlen(text, (size_t)n);
    std::string out;
    out.reserve(length * 3);
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == ' ') out += '+';
        else if (c == '+' || c == ',' || c == '-' || c == '.' || c == '/' || isalnum(c) || c >= 128) out += (char)c;
        else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return string_or_die(out, __LINE__, __func__);
}

// n < 0 takes the whole text. The result is never longer than the input.
// Only '%' with two hexadecimal digits is an escape: anything else (a sign,
// a blank, one digit at the end) is copied as it stands, so no spelling but
// "%0d" gives a carriage return.
char *url_decode(const char *text, int n) {
    size_t length;
    return url_decode(text, n, &length);
}

char *url_decode(const char *text, int n, size_t *decoded) {
    if (!text) text = "";
    size_t length = n < 0 ? strlen(text) : strnlen(text, (size_t)n);
    char *out = (char *)xmalloc(length + 1);
    if (!out) fatal_alloc(MISC_FILE, __LINE__, __func__, length + 1);
    size_t o = 0;
    for (size_t i = 0; i < length;) {
        char c = text[i];
        int high = c == '%' && i + 2 < length ? hex_digit(text[i + 1]) : -1;
        int low = high >= 0 ? hex_digit(text[i + 2]) : -1;
        if (low >= 0) {
            out[o++] = (char)(high * 16 + low);
            i += 3;
        } else {
            out[o++] = c == '+' ? ' ' : c;
            i++;
        }
    }
    out[o] = '\0';
    *decoded = o;
    return out;
}

// ---- Other ----------------------------------------------------------------

char **cmdline_parse(const char *text) {
    std::vector<std::string> words;
    std::string word;
    bool in_double = false, in_single = false;
    auto take = [&](char c) {
        if (word.size() < CMDLINE_WORD_MAX) word += c;
    };
    auto finish = [&]() {
        if (!word.empty()) words.push_back(word);
        word.clear();
    };
    for (const char *p = text ? text : ""; *p; p++) {
        char c = *p;
        if (c == '\\' && !in_double && !in_single) {
            if (p[1]) take(*++p);
        } else if (c == '"' && !in_single) {
            in_double = !in_double;
        } else if (c == '\'' && !in_double) {
            in_single = !in_single;
        } else if (c == ' ' && !in_double && !in_single) {
            finish();
        } else {
            take(c);
        }
    }
    finish();
    return array_from(words, __LINE__, __func__);
}

char *resolve_path(const char *path) {
    if (!path) path = "";
    char **pieces = string_break(path, '/');
    std::vector<std::string> kept;
    for (char **p = pieces; *p; p++) {
        if (!**p || strcmp(*p, ".") == 0) continue;
        if (strcmp(*p, "..") == 0) {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(*p);
    }
    array_free(pieces);
    std::string result = "/";
    for (size_t i = 0; i < kept.size(); i++) {
        if (i) result += '/';
        result += kept[i];
    }
    size_t length = strlen(path);
    // A trailing "/" survives, but the root is never written as "//".
    if (length > 1 && path[length - 1] == '/' && result.size() > 1) result += '/';
    return string_or_die(result, __LINE__, __func__);
}

char *path_to_url(const char *path) {
    std::string html = "<a href=\"/\">/</a>";
    char target[URL_TEXT_MAX + 1] = "/";
    char **pieces = string_break(path ? path : "", '/');
    for (char **p = pieces; *p; p++) {
        if (!**p) continue;
        s_strncat(target, *p, sizeof(target));
        s_strncat(target, "/", sizeof(target));
        // The path comes from the request: escape it before it goes into the page.
        char *href = string_to_html(target, 0);
        char *label = string_to_html(*p, 0);
        html += "<a href=\"";
        html += href;
        html += "\">";
        html += label;
        html += "/</a>";
        free(href);
        free(label);
    }
    array_free(pieces);
    return string_or_die(html, __LINE__, __func__);
}

std::string html_escape(const char *text, int flags) {
    static const char quoted[] = "';.?/\\[]{}()+*|$";
    const int line_length = html_line_length;
    const bool breaking = flags == 1 && line_length > 0;
    std::string out;
    long long column = 0;
    for (const char *p = text ? text : ""; *p; p++) {
        char c = *p;
        if ((flags & 4) && strchr(quoted, c)) {
            out += '\\';
            out += c;
        } else if (c == '"') {
            out += "&quot;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '&') {
            out += "&amp;";
        } else if (c == '\n' && (flags & 1)) {
            out += "<br>";
        } else if (c == ' ' && (flags & 2)) {
            out += "&nbsp;";
        } else {
            out += c;
        }
        if (breaking) {
            if (c == ' ') column = 0;
            column++;
            if (column % line_length == 0) out += "<br>";
        }
    }
    return out;
}

char *string_to_html(const char *text, int flags) {
    return string_or_die(html_escape(text, flags), __LINE__, __func__);
}

void variables_parse(VARIABLES *variables, Filebuf *buffer, bool html) {
    if (!buffer || !buffer->data || buffer->size <= 0) return;
    const char *data = buffer->data;
    const long long size = buffer->size;
    std::string out;
    out.reserve((size_t)size);
    long long i = 0;
    while (i < size) {
        char c = data[i];
        if (c != '@') {
            out += c;
            i++;
            continue;
        }
        if (i + 1 < size && data[i + 1] == '@') {
            out += '@';
            i += 2;
            continue;
        }
        long long window = size - (i + 1);
        if (window > VARIABLE_NAME_WINDOW) window = VARIABLE_NAME_WINDOW;
        const char *close = (const char *)memchr(data + i + 1, '@', (size_t)window);
        if (!close) {
            // No closing "@" close enough: the "@" is plain text.
            out += c;
            i++;
            continue;
        }
        std::string name(data + i + 1, (size_t)(close - (data + i + 1)));
        if (variables) {
            const std::string &value = (*variables)[name];
            if (html) {
                char *escaped = string_to_html(value.c_str(), 0);
                out += escaped;
                free(escaped);
            } else {
                out += value;
            }
        }
        i = (close - data) + 1;
    }
    buffer->Resize(0);
    if (!out.empty()) buffer->Add(out.data(), (long long)out.size());
}

char *filesize(unsigned long long bytes) {
    char text[64];
    if (bytes >= 1073741824ULL) snprintf(text, sizeof(text), "%.1f %s", (double)bytes / 1073741824.0, "GB");
    else if (bytes >= 1048576ULL) snprintf(text, sizeof(text), "%.1f %s", (double)bytes / 1048576.0, "MB");
    else if (bytes >= 1024ULL) snprintf(text, sizeof(text), "%.1f %s", (double)bytes / 1024.0, "KB");
    else snprintf(text, sizeof(text), "%.1f %s", (double)bytes, "B");
    return copy_or_die(text, strlen(text), __LINE__, __func__);
}

void md5_string(const char *text, char *out) {
    static const char hex[] = "0123456789abcdef";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!text) text = "";
    if (!EVP_Digest(text, strlen(text), digest, &length, EVP_md5(), nullptr) || length != 16)
        fatal_assert(MISC_FILE, __LINE__, __func__);
    for (unsigned int i = 0; i < 16; i++) {
        out[i * 2] = hex[digest[i] >> 4];
        out[i * 2 + 1] = hex[digest[i] & 15];
    }
    out[32] = '\0';
}

const char *code_to_error(int status) {
    switch (status) {
        case 200: return "OK";
        case 301: return "Document Moved";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 401:
        case 407: return "Authentication required";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 500: return "Internal Error";
        case 501: return "Not Implemented";
        case 502: return "Service Temporarily Unavailable";
        case 503: return "Connection Failed";
        default: return "Unknown";
    }
}

const char *error_to_template(int code) {
    switch (code) {
        case -4: return "badauth";
        case -3: return "nodns";
        case -2: return "noconnect";
        default: return "unknown";
    }
}

char *ftpport_create(const struct sockaddr_in *address) {
    const unsigned char *ip = (const unsigned char *)&address->sin_addr.s_addr;
    const unsigned char *port = (const unsigned char *)&address->sin_port;
    char text[32];
    snprintf(text, sizeof(text), "%d,%d,%d,%d,%d,%d", ip[0], ip[1], ip[2], ip[3], port[0], port[1]);
    putlog(LOG_DEBUG, "ftp: ftpport_create: %s", text);
    return copy_or_die(text, strlen(text), __LINE__, __func__);
}

struct sockaddr_in *ftpport_parse(const char *text) {
    if (!text) return nullptr;
    char **parts = string_break(text, ',');
    unsigned long values[6];
    bool ok = array_length(parts) == 6;
    for (int i = 0; ok && i < 6; i++) {
        // Each part is a decimal number from 0 to 255, possibly followed by
        // the rest of the server's line (")." after the last one).
        const char *p = parts[i];
        while (*p == ' ' || *p == '\t') p++;
        const char *end;
        ok = read_decimal(p, 255, &values[i], &end);
    }
    array_free(parts);
    if (!ok) return nullptr;
    struct sockaddr_in *address = (struct sockaddr_in *)xmalloc(sizeof(struct sockaddr_in));
    if (!address) fatal_alloc(MISC_FILE, __LINE__, __func__, sizeof(struct sockaddr_in));
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl((uint32_t)(values[0] << 24 | values[1] << 16 | values[2] << 8 | values[3]));
    address->sin_port = htons((uint16_t)(values[4] * 256 + values[5]));
    return address;
}

char *mode_create(unsigned int mode) {
    char text[11] = "----------";
    const char letters[] = "rwx";
    for (int i = 0; i < 9; i++)
        if (mode & (0x100u >> i)) text[1 + i] = letters[i % 3];
    if (mode & 0x800) text[3] = 's';
    if (mode & 0x400) text[6] = 'S';
    if (mode & 0x200) text[9] = 't';
    return copy_or_die(text, 10, __LINE__, __func__);
}

unsigned int mode_parse(const char *text) {
    if (!text || strnlen(text, 10) < 10) return 0;
    unsigned int mode = 0;
    const char letters[] = "rwx";
    for (int i = 0; i < 9; i++)
        if (text[1 + i] == letters[i % 3]) mode |= 0x100u >> i;
    if (text[3] == 's') mode |= 0x840;
    if (text[6] == 'S') mode |= 0x408;
    if (text[9] == 't') mode |= 0x201;
    return mode;
}
