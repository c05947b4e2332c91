#include "icap.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <initializer_list>
#include <string>

#include "base64.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "global.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "network.h"
#include "processors.h"
#include "profiles.h"
#include "proto_http.h"
#include "serverpool.h"
#include "socket.h"

ICAPSection *icap_section = nullptr;

// Dead pooled connections tried before one exchange gives up.
#define ICAP_POOL_RETRIES 64
// Longest "Local://user" text that is encoded.
#define ICAP_USER_MAX 255

static const FIELD_BIND<ICAPSection::ICAP> icap_fields[] = {
    FIELD_BIND_OF(ICAPSection::ICAP, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(ICAPSection::ICAP, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(ICAPSection::ICAP, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(ICAPSection::ICAP, 3, "host", FIELD_STRING, host),
    FIELD_BIND_OF(ICAPSection::ICAP, 4, "path", FIELD_STRING, path),
    FIELD_BIND_OF(ICAPSection::ICAP, 5, "port", FIELD_INT, port),
    FIELD_BIND_OF(ICAPSection::ICAP, 6, "mode", FIELD_STRING_SELECT_MANY, mode),
};

static const FIELD_BIND<ICAPSection::Options> icap_options[] = {
    FIELD_BIND_OF(ICAPSection::Options, 0, "enabled", FIELD_BOOL, enabled),
};

Section *icap_construct() {
    icap_section = new ICAPSection();
    return icap_section;
}

ICAPSection::ICAPSection() : Section("icap", SECTION_RWLOCK) {
    options_bind(icap_options, &opts);
    fields_declare(0, icap_fields);
}

ICAPSection::~ICAPSection() {
    if (icap_section == this) icap_section = nullptr;
}

void ICAPSection::update() {
    rules.clear();
    if (subsections.empty()) return;
    for (const Item &item : subsections[0].items) {
        ICAP rule;
        fields_read(icap_fields, item.fields, &rule);
        rules.push_back(rule);
    }
}

void icap_register() {
    static std::atomic<bool> done(false);
    if (done.exchange(true)) return;
    processors.Add(icap_reqmod, PROCESSOR_REQMOD);
    processors.Add(icap_respmod, PROCESSOR_RESPMOD);
    processors.Add(icap_buffcheck, PROCESSOR_BUFFCHECK);
}

int icap_buffcheck(CONNECTION_T *connection, Filebuf *) {
    return icap_section ? icap_section->check_match(connection, ICAP_RESPMOD) : 0;
}

int icap_reqmod(CONNECTION_T *connection, Filebuf *body) {
    if (!icap_section) return 0;
    icap_section->process(connection, body, ICAP_REQMOD);
    return connection->response ? 1 : 0;
}

int icap_respmod(CONNECTION_T *connection, Filebuf *body) {
    if (!icap_section) return 1;
    if (connection->response) {
        connection->response->content_length = body ? (uint64_t)body->size : 0;
        connection->response->flags |= HEADER_LENGTH;
        connection->response->chunked = 0;
    }
    icap_section->process(connection, body, ICAP_RESPMOD);
    return 1;
}

const ICAPSection::ICAP *ICAPSection::find(CONNECTION_T *connection, int mode) {
    if (!opts.enabled || *opts.enabled == 0) return nullptr;
    if (connection->bypass & BYPASS_ICAP) return nullptr;
    for (const ICAP &rule : rules)
        if (rule.enabled && (rule.mode & (unsigned)mode) && !rule.host.empty() && !rule.path.empty() &&
            profile_find(connection->profiles, rule.profiles))
            return &rule;
    return nullptr;
}

int ICAPSection::check_match(CONNECTION_T *connection, int mode) {
    SectionReadLock lock(this);
    return find(connection, mode) ? 1 : 0;
}

int ICAPSection::process(CONNECTION_T *connection, Filebuf *body, int mode) {
    std::string host, path;
    int port;
    {
        SectionReadLock lock(this);
        const ICAP *rule = find(connection, mode);
        if (!rule) return 0;
        host = rule->host;
        path = rule->path;
        port = rule->port;
    }
    return protocol_icap(connection, body, mode, host, path, port);
}

ICAP_ENCAPSULATION ICAPSection::encapsulation_parse(const char *value) {
    ICAP_ENCAPSULATION offsets;
    if (!value) return offsets;
    static const struct {
        const char *key;
        long ICAP_ENCAPSULATION::*field;
    } keys[] = {
        {"req-hdr=", &ICAP_ENCAPSULATION::req_hdr},     {"res-hdr=", &ICAP_ENCAPSULATION::res_hdr},
        {"req-body=", &ICAP_ENCAPSULATION::req_body},   {"res-body=", &ICAP_ENCAPSULATION::res_body},
        {"null-body=", &ICAP_ENCAPSULATION::null_body},
    };
    const char *piece = value;
    for (;;) {
        while (*piece == ' ') piece++;
        for (const auto &k : keys) {
            size_t length = strlen(k.key);
            if (strncasecmp(piece, k.key, length) != 0) continue;
            const char *digits = piece + length;
            if (*digits < '0' || *digits > '9') break;
            char *end = nullptr;
            long number = strtol(digits, &end, 10);
            if (number >= 0) offsets.*k.field = number;
            break;
        }
        const char *comma = strchr(piece, ',');
        if (!comma) break;
        piece = comma + 1;
    }
    return offsets;
}

namespace {

// Drops the lines of a written header block whose name is one of names.
// Proxy credentials and challenges belong to one hop: the client's own
// password never goes to an ICAP server.
void lines_drop(Filebuf *block, std::initializer_list<const char *> names) {
    if (!block->data || block->size <= 0) return;
    std::string text(block->data, (size_t)block->size), kept;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        bool drop = false;
        size_t colon = line.find(':');
        if (start > 0 && colon != std::string::npos)
            for (const char *name : names)
                if (colon == strlen(name) && strncasecmp(line.c_str(), name, colon) == 0) drop = true;
        if (!drop) kept += line;
        start = end;
    }
    Filebuf rebuilt;
    rebuilt.Add(kept.data(), (long long)kept.size());
    block->Swap(&rebuilt);
}

// The ICAP request head with its encapsulated header blocks.
void message_build(CONNECTION_T *connection, Filebuf *body, int mode, const std::string &host, const std::string &path,
                   int port, Filebuf *message) {
    HEADER *head = header_new();
    head->type = HEADER_ICAP_REQUEST;
    head->method = strdup(mode & ICAP_RESPMOD ? "RESPMOD" : "REQMOD");
    head->protocol = strdup("icap");
    head->host = strdup(host.c_str());
    head->file = strdup(path.c_str());
    head->port = port;
    header_complete(head);
    head->headers.push_back({1, "X-Client-IP", connection->ip ? connection->ip : ""});
    if (connection->user_name && *connection->user_name) {
        char user[ICAP_USER_MAX + 1];
        snprintf(user, sizeof user, "Local://%s", connection->user_name);
        size_t length = strlen(user);
        std::vector<unsigned char> encoded(4 * ((length + 2) / 3) + 1);
        to64frombits(encoded.data(), (const unsigned char *)user, length);
        head->headers.push_back({1, "X-Authenticated-User", (const char *)encoded.data()});
    }

    Filebuf request_block, response_block;
    header_send_filebuf(&request_block, connection->request, connection, HEADER_KIND_PARENT);
    if (mode & ICAP_RESPMOD) header_send_filebuf(&response_block, connection->response, connection, HEADER_KIND_CLIENT);
    lines_drop(&request_block, {"Proxy-Authorization", "Proxy-Authenticate"});
    lines_drop(&response_block, {"Proxy-Authorization", "Proxy-Authenticate"});
    bool has_body = body && body->size > 0;
    char value[128];
    if (mode & ICAP_RESPMOD)
        snprintf(value, sizeof value, "req-hdr=0, res-hdr=%lld, %s=%lld", request_block.size,
                 has_body ? "res-body" : "null-body", request_block.size + response_block.size);
    else snprintf(value, sizeof value, "req-hdr=0, %s=%lld", has_body ? "req-body" : "null-body", request_block.size);
    head->encapsulated = strdup(value);

    header_send_filebuf(message, head, connection, HEADER_KIND_SERVER);
    if (request_block.size > 0) message->Add(request_block.data, request_block.size);
    if (response_block.size > 0) message->Add(response_block.data, response_block.size);
    http_header_free(head);
}

// Reads the encapsulated body that follows a header block, chunked, as an
// internal read of the server side; null when it did not come whole.
Filebuf *body_read(CONNECTION_T *connection, HEADER *block) {
    HEADER *saved_response = connection->response;
    unsigned int saved_flags = block->flags;
    int saved_chunked = block->chunked;
    block->flags &= ~HEADER_LENGTH;
    block->chunked = 1;
    connection->response = block;
    int result = HTTP_BODY_COMPLETE;
    Filebuf *read = http_transfer_filebuf(connection, HTTP_SIDE_SERVER, HTTP_BODY_MAX, &result);
    connection->response = saved_response;
    block->flags = saved_flags;
    block->chunked = saved_chunked;
    if (result != HTTP_BODY_COMPLETE) {
        delete read;
        return nullptr;
    }
    return read;
}

// Takes a body over: the target frees its bytes and holds the read ones
// (none: empty).
void body_take(Filebuf *target, Filebuf *read) {
    if (target) target->Swap(read);
}

}  // namespace

int ICAPSection::protocol_icap(CONNECTION_T *connection, Filebuf *body, int mode, const std::string &host,
                               const std::string &path, int port) {
    Filebuf message;
    message_build(connection, body, mode, host, path, port, &message);
    bool has_body = body && body->size > 0;
    ServerPool *pool = global ? global->serverpool : nullptr;
    int timeout = general_section ? general_section->timeout_get(connection) : GENERAL_DEFAULT_TIMEOUT;

    // The ICAP socket stands in the connection's server side meanwhile.
    Socket *saved_server = connection->server;
    const unsigned int saved_flags = connection->flags & (CONN_FAILED | CONN_INTERNAL);
    connection->flags |= CONN_INTERNAL;
    Socket *icap = nullptr;
    char *text = nullptr;
    for (int attempt = 0; attempt <= ICAP_POOL_RETRIES && !text; attempt++) {
        icap = pool ? pool->Find("icap", host.c_str(), port, nullptr, nullptr) : nullptr;
        bool pooled = icap != nullptr;
        if (!icap) {
            in_addr_t local = network_section ? network_section->interface_select(connection) : 0;
            int ctimeout = general_section ? general_section->ctimeout_get(connection) : GENERAL_DEFAULT_TIMEOUT;
            int fd = net_connect(host.c_str(), port, local, ctimeout);
            if (fd < 0) {
                putlog(LOG_ICAP, "cannot connect to ICAP server %s:%d", host.c_str(), port);
                break;
            }
            icap = new Socket(fd);
        }
        connection->server = icap;
        net_filebuf_send(&message, connection, 1);
        if (has_body) net_filebuf_send_chunked(body, connection, 1);
        icap->Flush();
        int status = HEADER_GET_NONE;
        text = header_get(connection, 1, timeout, &status);
        if (text && status != HEADER_GET_OK) {
            free(text);
            text = nullptr;
        }
        if (!text) {
            delete icap;
            icap = nullptr;
            connection->server = saved_server;
            if (pooled) continue;
            putlog(LOG_ICAP, "error reading response from ICAP server");
            break;
        }
    }

    int completed = 0;
    bool in_step = false;
    HEADER *reply = text ? http_header_parse_response(text) : nullptr;
    free(text);
    if (!icap) {
        // no exchange
    } else if (!reply) {
        putlog(LOG_ICAP, "error parsing header from ICAP server");
    } else if (reply->code == 204) {
        putlog(LOG_ICAP, "no modification needed");
    } else if (reply->code >= 400 && reply->code <= 499) {
        putlog(LOG_ICAP, "ICAP response indicates client error");
    } else if (reply->code >= 500 && reply->code <= 599) {
        putlog(LOG_ICAP, "ICAP response indicates server error");
    } else if (!reply->encapsulated) {
        putlog(LOG_ICAP, "ICAP response without encapsulatd header");
    } else {
        ICAP_ENCAPSULATION offsets = encapsulation_parse(reply->encapsulated);
        if (offsets.res_body >= 0 && offsets.req_body >= 0) {
            putlog(LOG_ICAP, "unable to handle response with both bodies");
        } else if (offsets.req_hdr != 0 && offsets.res_hdr != 0) {
            // Nothing to apply; the connection stays usable only when the
            // reply announced nothing more.
            completed = 1;
            in_step = offsets.req_hdr < 0 && offsets.res_hdr < 0 && offsets.req_body < 0 && offsets.res_body < 0;
        } else {
            bool is_response = offsets.res_hdr == 0;
            int status = HEADER_GET_NONE;
            char *block_text = header_get(connection, 1, timeout, &status);
            HEADER *block = nullptr;
            if (block_text && status == HEADER_GET_OK)
                block = is_response ? http_header_parse_response(block_text) : http_header_parse_request(block_text);
            free(block_text);
            Filebuf *read = nullptr;
            bool body_ok = true;
            if (block && (offsets.res_body >= 0 || offsets.req_body >= 0)) {
                read = body_read(connection, block);
                if (!read) {
                    body_ok = false;
                    putlog(LOG_ICAP, "error reading body from ICAP server");
                }
            }
            if (block && body_ok) {
                completed = 1;
                in_step = true;
                if (is_response) {
                    http_header_free(connection->response);
                    connection->response = block;
                    block = nullptr;
                    if (mode & ICAP_RESPMOD) {
                        if (read) body_take(body, read);
                        putlog(LOG_ICAP, "response modified");
                    } else {
                        body_take(body, read);
                        putlog(LOG_ICAP, "request satisfied");
                    }
                } else if (mode & ICAP_RESPMOD) {
                    putlog(LOG_ICAP, "got request modification when expecting response modification");
                } else {
                    // The client's credentials never went out; the new head
                    // keeps them for a parent proxy that asks.
                    if (!block->proxy_authorization && connection->request->proxy_authorization) {
                        block->proxy_authorization = connection->request->proxy_authorization;
                        connection->request->proxy_authorization = nullptr;
                    }
                    http_header_free(connection->request);
                    connection->request = block;
                    block = nullptr;
                    body_take(body, read);
                    putlog(LOG_ICAP, "request modified");
                }
            }
            delete read;
            http_header_free(block);
        }
    }

    if (icap) {
        bool keep = completed && in_step && reply && reply->code == 200 && reply->connection_keepalive != 0 && pool &&
                    icap->in_length == 0;
        if (keep) pool->Add(icap, "icap", host.c_str(), port, nullptr, nullptr);
        else delete icap;
    }
    http_header_free(reply);
    connection->server = saved_server;
    connection->flags = (connection->flags & ~(CONN_FAILED | CONN_INTERNAL)) | saved_flags;
    return completed;
}
