#include "templates.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "connection.h"
#include "external.h"
#include "filebuf.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "profiles.h"
#include "proto_http.h"
#include "protocol.h"

#define TEMPLATES_FILE "src/templates"

TemplateSection *template_section = nullptr;

static const FIELD_BIND<TemplateSection::Options> template_options[] = {
    FIELD_BIND_OF(TemplateSection::Options, 0, "path", FIELD_STRING, path),
};

static const FIELD_BIND<TemplateSection::Template> template_fields[] = {
    FIELD_BIND_OF(TemplateSection::Template, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(TemplateSection::Template, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(TemplateSection::Template, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(TemplateSection::Template, 3, "name", FIELD_STRING, name),
    FIELD_BIND_OF(TemplateSection::Template, 4, "file", FIELD_STRING, file),
    FIELD_BIND_OF(TemplateSection::Template, 5, "mime", FIELD_STRING, mime),
    FIELD_BIND_OF(TemplateSection::Template, 6, "status", FIELD_INT, status),
    FIELD_BIND_OF(TemplateSection::Template, 7, "type", FIELD_INT, type),
    FIELD_BIND_OF(TemplateSection::Template, 8, "parse", FIELD_BOOL, parse),
};

Section *templates_construct() {
    template_section = new TemplateSection();
    return template_section;
}

TemplateSection::TemplateSection() : Section("templates", SECTION_RWLOCK) {
    options_bind(template_options, &opts);
    fields_declare(0, template_fields);
}

void TemplateSection::update() { rules_read(subsection_at(0), template_fields, &templates); }

const TEMPLATE_PAGE *template_page_find(const char *name) {
    if (!name) return nullptr;
    for (const TEMPLATE_PAGE *page = PAGES; page->name; page++)
        if (strcasecmp(page->name, name) == 0) return page;
    return nullptr;
}

static void mime_set(Filebuf *buffer, const char *mime_type) {
    free(buffer->mime_type);
    buffer->mime_type = nullptr;
    if (!mime_type) return;
    buffer->mime_type = xstrdup(mime_type);
    if (!buffer->mime_type) fatal_alloc(TEMPLATES_FILE, __LINE__, __func__, strlen(mime_type) + 1);
}

// A program's output is an HTTP response; its head becomes the connection's
// response head and the buffer keeps the body. Output that does not start
// like a response is all body; a head that does not parse is dropped.
static void program_output_split(CONNECTION_T *connection, Filebuf *output) {
    if (output->size <= 0 || !output->data) return;
    if (header_type(output->data, (size_t)output->size) != 1) return;
    std::string text(output->data, (size_t)output->size);
    size_t length = header_length(text.c_str(), text.size());
    HEADER *head = http_header_parse_response(text.substr(0, length).c_str());
    output->Trim((long long)length);
    // Version 0 is the parser's answer to a first line that is no status line.
    if (!head || head->version == 0) {
        http_header_free(head);
        return;
    }
    if (head->content_type && *head->content_type) mime_set(output, head->content_type);
    if (connection) {
        http_header_free(connection->response);
        connection->response = head;
    } else {
        http_header_free(head);
    }
}

// The template from a rule's file or program, or null. Section lock held.
static Filebuf *rule_content(const TemplateSection::Template &rule, const std::string &directory,
                             CONNECTION_T *connection) {
    if (rule.type == TEMPLATE_FILE) {
        std::string path;
        if (rule.file[0] == '/' || directory.empty()) path = rule.file;
        else path = directory + "/" + rule.file;
        Filebuf *buffer = new Filebuf();
        // A file that cannot be read is sent as an empty page.
        if (buffer->Read(path.c_str()) < 0) putlog(LOG_TEMPLATE, "cannot read template file %s", path.c_str());
        if (!rule.mime.empty()) mime_set(buffer, rule.mime.c_str());
        return buffer;
    }
    if (rule.type == TEMPLATE_PROGRAM) {
        EXTERNAL_RUN run;
        Filebuf *output = external_run(connection, rule.file.c_str(), nullptr, EXTERNAL_PIPE, &run);
        if (!output) return nullptr;
        // A program ended by a signal did not finish its page; one that
        // failed without a word (not found, say) wrote none.
        if (run.signaled || (run.status != 0 && output->size == 0)) {
            putlog(LOG_TEMPLATE, "template program %s failed with status %d", rule.file.c_str(), run.status);
            delete output;
            return nullptr;
        }
        // The runner's MIME type says nothing about the page; only the head does.
        mime_set(output, nullptr);
        program_output_split(connection, output);
        return output;
    }
    return nullptr;
}

// The built-in page, preceded by the interface's style block for HTML pages.
Filebuf *TemplateSection::builtin(CONNECTION_T *connection, const TEMPLATE_PAGE *page, int depth) {
    Filebuf *buffer = new Filebuf();
    if (depth == 0 && strcasecmp(page->mime_type, "text/html") == 0 && strcasecmp(page->name, "interface.css") != 0) {
        Filebuf *style = lookup(connection, "interface.css", nullptr, depth + 1);
        if (style) {
            if (style->size > 0) buffer->Add(style->data, style->size);
            delete style;
        }
    }
    long long length = page->length < 0 ? (long long)strlen(page->data) : page->length;
    if (length > 0) buffer->Add(page->data, length);
    mime_set(buffer, page->mime_type);
    return buffer;
}

Filebuf *TemplateSection::lookup(CONNECTION_T *connection, const char *name, int *status, int depth) {
    static const StringList none;
    const StringList &profiles = connection ? connection->profiles : none;

    const Template *rule = nullptr;
    for (const Template &candidate : templates) {
        if (!candidate.enabled || candidate.name.empty()) continue;
        if (strcasecmp(candidate.name.c_str(), name) != 0) continue;
        if (!profile_find(profiles, candidate.profiles)) continue;
        rule = &candidate;
        break;
    }

    Filebuf *buffer = nullptr;
    int parse = 0;
    if (rule && !rule->file.empty()) {
        std::string directory = *opts.path;
        buffer = rule_content(*rule, directory, connection);
        parse = rule->parse ? 1 : 0;
    } else {
        const TEMPLATE_PAGE *page = template_page_find(name);
        if (page) {
            buffer = builtin(connection, page, depth);
            parse = page->parse;
        }
    }
    if (!buffer) return nullptr;

    // One pass: a substituted value is never read again, so an "@" or a line
    // break in a value lands in the page as it is.
    // Values come from requests and responses: an HTML page shows them as
    // text, never as markup.
    bool html = buffer->mime_type && strncasecmp(buffer->mime_type, "text/html", 9) == 0;
    if (parse) variables_parse(connection ? &connection->variables : nullptr, buffer, html);

    // A status outside the valid range would make an unreadable status line:
    // the caller's status then stays.
    if (rule && status && rule->status >= 100 && rule->status <= 599) *status = rule->status;
    return buffer;
}

Filebuf *TemplateSection::get(CONNECTION_T *connection, const char *name, int *status) {
    if (!name) return nullptr;
    SectionReadLock held(this);
    return lookup(connection, name, status, 0);
}

int TemplateSection::insert(CONNECTION_T *connection, Filebuf *page, const char *name) {
    if (!page) return 0;
    Filebuf *buffer = get(connection, name, nullptr);
    if (!buffer) return 0;
    if (buffer->size > 0) page->Add(buffer->data, buffer->size);
    delete buffer;
    return 1;
}

static bool head_request(const CONNECTION_T *connection) {
    if (connection->flags & CONN_HEAD) return true;
    return connection->request && connection->request->method && strcasecmp(connection->request->method, "HEAD") == 0;
}

static char *text_dup(const char *text) {
    char *copy = xstrdup(text);
    if (!copy) fatal_alloc(TEMPLATES_FILE, __LINE__, __func__, strlen(text) + 1);
    return copy;
}

int TemplateSection::send(const char *name, CONNECTION_T *connection, int status, bool refusal) {
    if (!connection || !name) return 0;
    if (connection->flags & CONN_CLIENT_DROPPED) return 0;

    int rule_status = -1;
    Filebuf *buffer = get(connection, name, &rule_status);
    if (!buffer) return 0;

    const char *mime_type = buffer->mime_type ? buffer->mime_type : "text/plain";
    HEADER *head = header_new();
    head->type = HEADER_RESPONSE;
    head->version = 2;
    if (refusal && rule_status < 400) rule_status = -1;
    head->code = rule_status != -1 ? rule_status : status;
    head->content_length = (uint64_t)buffer->size;
    head->flags |= HEADER_LENGTH;
    head->content_type = text_dup(mime_type);
    head->mime_type = text_dup(mime_type);
    head->cache_control = text_dup("no-cache");

    LogEntry &log = connection->log;
    log.set_cachecode(CACHECODE_TCP_MISS);
    log.set_peercode(PEERCODE_DIRECT);
    log.peer = "korvantel";
    log.size = buffer->size;
    log.status = head->code;
    log.mime = mime_type;

    HEADER *previous = connection->response;
    connection->response = head;
    header_send(head, connection, 0, HEADER_KIND_CLIENT);
    connection->response = previous;
    http_header_free(head);

    if (!head_request(connection)) net_filebuf_send(buffer, connection, 0);
    putlog(LOG_TEMPLATE, "sent %s", name);
    delete buffer;
    return 1;
}

static void page_send(CONNECTION_T *connection, const char *name, int status, bool refusal) {
    // A body still unread ends the connection after this answer; its head
    // says so.
    keepalive_client_unread_check(connection);
    if (template_section && template_section->send(name, connection, status, refusal)) return;
    if (!connection->client || (connection->flags & CONN_CLIENT_DROPPED)) return;
    const char *reason = code_to_error(status);
    Filebuf body;
    body.Addf("%d %s\n", status, reason);
    HEADER *head = header_new();
    head->type = HEADER_RESPONSE;
    head->version = 2;
    head->code = status;
    head->content_length = (uint64_t)body.size;
    head->flags |= HEADER_LENGTH;
    head->content_type = xstrdup("text/plain");
    head->mime_type = xstrdup("text/plain");
    head->cache_control = xstrdup("no-cache");
    connection->log.set_cachecode(CACHECODE_TCP_MISS);
    connection->log.set_peercode(PEERCODE_DIRECT);
    connection->log.peer = "korvantel";
    connection->log.size = body.size;
    connection->log.status = status;
    connection->log.mime = "text/plain";
    header_send(head, connection, 0, HEADER_KIND_CLIENT);
    http_header_free(head);
    http_send_body(connection, &body);
}

void request_page(CONNECTION_T *connection, const char *name, int status) {
    page_send(connection, name, status, false);
}

void refusal_page(CONNECTION_T *connection, const char *name, int status) {
    page_send(connection, name, status, true);
}
