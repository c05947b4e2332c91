// URL commands: extraction from host labels, paths and Referers, and their
// re-insertion into redirect locations.
#include "urlcommand.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "connection.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "misc.h"

namespace {

const char URLCOMMAND_FILE[] = "src/urlcommand";

// Longest URL url_command_add returns.
const size_t URLCOMMAND_LOCATION_MAX = 4095;

char *copy_or_die(const char *text, size_t length, const char *function) {
    char *copy = xstrndup(text, length);
    if (!copy) fatal_alloc(URLCOMMAND_FILE, __LINE__, function, length + 1);
    return copy;
}

char *string_or_die(const std::string &text, const char *function) {
    return copy_or_die(text.data(), text.size(), function);
}

void replace_text(char **field, const std::string &text, const char *function) {
    char *copy = string_or_die(text, function);
    free(*field);
    *field = copy;
}

// Host and port a request names: its own host, or else its Host header (a
// port there is taken apart from the name). False when it names no host.
bool request_host(const HEADER *request, std::string *host, int *port) {
    *port = request->port;
    if (request->host && *request->host) {
        *host = request->host;
        return true;
    }
    if (!request->host_header) return false;
    std::string value = request->host_header;
    size_t colon;
    if (!value.empty() && value[0] == '[') {
        // bracketed IPv6 literal: the port follows its ']'
        size_t close = value.find(']');
        colon = close == std::string::npos ? std::string::npos : value.find(':', close);
    } else {
        colon = value.find(':');
    }
    if (colon == std::string::npos) {
        *host = value;
        *port = 80;
    } else {
        *host = value.substr(0, colon);
        *port = atoi(value.c_str() + colon + 1);
    }
    return true;
}

// The "://" of a location that starts with a scheme, or null. A "://"
// further on (a relative location carrying a URL in its query) does not
// make the location absolute.
const char *scheme_end(const char *location) {
    const char *p = location;
    while (isalnum((unsigned char)*p) || *p == '+' || *p == '-' || *p == '.') p++;
    if (p == location || strncmp(p, "://", 3) != 0) return nullptr;
    return p;
}

const char *request_scheme(const HEADER *request) {
    return request->protocol && *request->protocol ? request->protocol : "http";
}

// Commands in the first path segment of an origin-form request; the segment
// goes from the path when it held any.
url_command_t **parse_path(HEADER *request) {
    const char *file = request->file;
    if (!file || file[0] != '/') return nullptr;
    const char *end = strchr(file + 1, '/');
    if (!end) return nullptr;
    char *segment = url_decode(file + 1, (int)(end - file - 1));
    if (!segment) fatal_alloc(URLCOMMAND_FILE, __LINE__, "url_command_extract", (size_t)(end - file));
    url_command_t **commands = url_command_parse(segment);
    free(segment);
    if (commands) replace_text(&request->file, end, "url_command_extract");
    return commands;
}

// Sends the 302 that puts the Referer's commands in front of the request's URL.
void redirect_with(CONNECTION_T *connection, url_command_t **commands) {
    HEADER *request = connection->request;
    std::string host;
    int port;
    request_host(request, &host, &port);
    char *labels = url_command_create(commands);
    std::string location = std::string(request_scheme(request)) + "://" + labels + host + ":" + std::to_string(port) +
                           (request->file ? request->file : "/");
    free(labels);

    HEADER *response = header_new();
    response->type = HEADER_RESPONSE;
    response->version = 2;
    response->code = 302;
    response->content_length = 0;
    response->flags |= HEADER_LENGTH;
    response->location = string_or_die(location, "url_command_extract");
    header_send(response, connection, 0, HEADER_KIND_CLIENT);
    http_header_free(response);
}

}  // namespace

url_command_t **url_command_parse(char *text) {
    if (!text) return nullptr;
    url_command_t **array = nullptr;
    size_t count = 0, capacity = 0;
    char *p = text;
    while (strncasecmp(p, "xx--", 4) == 0) {
        char *dot = strchr(p, '.');
        if (!dot) break;
        // Commands end up in Location heads and log lines: a label with a
        // control character is not one.
        bool control = false;
        for (const char *q = p; q < dot; q++)
            if ((unsigned char)*q < 0x20 || *q == 0x7f) control = true;
        if (control) break;

        const char *name = p + 4;
        const char *name_end = dot;
        const char *options = nullptr, *options_end = nullptr;
        const char *open = (const char *)memchr(name, '[', (size_t)(dot - name));
        if (open) {
            name_end = open;
            const char *close = (const char *)memchr(open + 1, ']', (size_t)(dot - open - 1));
            if (close) {
                options = open + 1;
                options_end = close;
            }
        }

        if (count + 2 > capacity) {
            capacity = capacity ? capacity * 2 : 4;
            url_command_t **grown = (url_command_t **)xrealloc(array, capacity * sizeof(url_command_t *));
            if (!grown) fatal_alloc(URLCOMMAND_FILE, __LINE__, __func__, capacity * sizeof(url_command_t *));
            array = grown;
        }
        url_command_t *command = (url_command_t *)xmalloc(sizeof(url_command_t));
        if (!command) fatal_alloc(URLCOMMAND_FILE, __LINE__, __func__, sizeof(url_command_t));
        command->name = copy_or_die(name, (size_t)(name_end - name), __func__);
        command->options = options ? copy_or_die(options, (size_t)(options_end - options), __func__) : nullptr;
        array[count++] = command;
        array[count] = nullptr;
        p = dot + 1;
    }
    if (!count) return nullptr;
    memmove(text, p, strlen(p) + 1);
    return array;
}

int url_command_extract(CONNECTION_T *connection) {
    if (!connection) return 1;
    url_command_free(connection->url_commands);
    connection->url_commands = nullptr;
    HEADER *request = connection->request;
    if (!request) return 1;

    if (request->type == HEADER_ORIGIN && !(request->host && *request->host)) {
        if (request->host_header) connection->url_commands = url_command_parse(request->host_header);
        else connection->url_commands = parse_path(request);
    } else if (request->host) {
        connection->url_commands = url_command_parse(request->host);
        if (connection->url_commands) header_complete(request);
    }

    if (!request->referer) return 1;
    const char *rest = strstr(request->referer, "://");
    rest = rest ? rest + 3 : request->referer;
    char *decoded = url_decode(rest, (int)strlen(rest));
    if (!decoded) fatal_alloc(URLCOMMAND_FILE, __LINE__, __func__, strlen(rest) + 1);
    url_command_t **inherited = url_command_parse(decoded);
    if (!inherited) {
        free(decoded);
        return 1;
    }

    // What is left was decoded to find the labels: it goes out encoded
    // again, so no byte the client escaped reaches the server bare.
    char *encoded = url_encode(decoded, -1);
    free(decoded);
    std::string referer = std::string(request_scheme(request)) + "://" + encoded;
    free(encoded);
    replace_text(&request->referer, referer, __func__);

    if (connection->url_commands) {
        url_command_free(inherited);
        return 1;
    }
    bool has_host = (request->host && *request->host) || request->host_header;
    if (!request->method || strcasecmp(request->method, "GET") != 0 || !has_host) {
        connection->url_commands = inherited;
        return 1;
    }
    redirect_with(connection, inherited);
    url_command_free(inherited);
    return 0;
}

int url_command_permit(CONNECTION_T *connection) {
    if (!connection || !connection->url_commands) return 1;
    if (connection->permissions & PERMISSION_URLCOMMAND) return 1;
    url_command_free(connection->url_commands);
    connection->url_commands = nullptr;
    return 0;
}

url_command_t *url_command_find(url_command_t **array, const char *name) {
    if (!array || !name) return nullptr;
    for (url_command_t **command = array; *command; command++)
        if (strcasecmp((*command)->name, name) == 0) return *command;
    return nullptr;
}

char *url_command_create(url_command_t **array) {
    std::string labels;
    for (url_command_t **command = array; command && *command; command++) {
        labels += "xx--";
        labels += (*command)->name;
        if ((*command)->options) {
            labels += '[';
            labels += (*command)->options;
            labels += ']';
        }
        labels += '.';
    }
    return string_or_die(labels, __func__);
}

char *url_command_add(CONNECTION_T *connection, const char *location) {
    if (!location) location = "";
    if (!connection || !connection->request) return copy_or_die(location, strlen(location), __func__);
    HEADER *request = connection->request;
    std::string host;
    int port;
    request_host(request, &host, &port);
    char *labels_text = url_command_create(connection->url_commands);
    std::string labels = labels_text;
    free(labels_text);
    std::string scheme = request_scheme(request);

    std::string url;
    const char *after = scheme_end(location);
    if (after) {
        url = scheme + "://" + labels + (after + 3);
    } else if (location[0] == '/' && location[1] == '/') {
        // scheme-relative: the host follows the two slashes
        url = scheme + "://" + labels + (location + 2);
    } else if (location[0] == '/') {
        url = scheme + "://" + labels + host + ":" + std::to_string(port) + location;
    } else {
        url = scheme + "://" + labels + host + ":" + std::to_string(port);
        // the directory of the path, not counting a '/' in the query
        std::string file = request->file ? request->file : "/";
        size_t slash = file.rfind('/', file.find('?'));
        if (slash != std::string::npos) url.append(file, 0, slash + 1);
        else url += '/';
        url += location;
    }
    if (url.size() > URLCOMMAND_LOCATION_MAX) url.resize(URLCOMMAND_LOCATION_MAX);
    return string_or_die(url, __func__);
}

void url_command_log(url_command_t **array) {
    for (url_command_t **command = array; command && *command; command++) {
        if ((*command)->options)
            putlog(LOG_URLCOMMAND, "command: %s, options: %s", (*command)->name, (*command)->options);
        else putlog(LOG_URLCOMMAND, "command: %s", (*command)->name);
    }
}

void url_command_free(url_command_t **array) {
    if (!array) return;
    for (url_command_t **command = array; *command; command++) {
        free((*command)->name);
        free((*command)->options);
        free(*command);
    }
    free(array);
}

void bypass_check(CONNECTION_T *connection) {
    if (!(connection->permissions & PERMISSION_BYPASS)) return;
    url_command_t *command = url_command_find(connection->url_commands, "bypass");
    if (!command) return;
    if (!command->options) {
        connection->bypass = BYPASS_URLFILTER | BYPASS_HEADER | BYPASS_MIME | BYPASS_REDIRECT | BYPASS_COOKIE |
                             BYPASS_REWRITE | BYPASS_EXTERNAL | BYPASS_FORWARD | BYPASS_KEYWORD | BYPASS_DNSBL |
                             BYPASS_LIMITS | BYPASS_ANTIVIRUS | BYPASS_ICAP | BYPASS_URLBL;
        return;
    }
    static const struct {
        char letter;
        unsigned int bit;
    } letters[] = {
        {'a', BYPASS_ANTIVIRUS}, {'c', BYPASS_COOKIE},  {'d', BYPASS_DNSBL},    {'e', BYPASS_EXTERNAL},
        {'f', BYPASS_URLFILTER}, {'h', BYPASS_HEADER},  {'i', BYPASS_ICAP},     {'k', BYPASS_KEYWORD},
        {'m', BYPASS_MIME},      {'p', BYPASS_FORWARD}, {'r', BYPASS_REDIRECT}, {'w', BYPASS_REWRITE},
    };
    bool setting = true;
    for (const char *p = command->options; *p; p++) {
        if (*p == '+') {
            setting = true;
            continue;
        }
        if (*p == '-') {
            setting = false;
            continue;
        }
        for (const auto &entry : letters) {
            if (entry.letter != *p) continue;
            if (setting) connection->bypass |= entry.bit;
            else connection->bypass &= ~entry.bit;
        }
    }
}
