#include "cmdpage.h"

#include <stdlib.h>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "mem.h"
#include "misc.h"
#include "proto_http.h"
#include "templates.h"

int command_page_stylesheet(CONNECTION_T *connection, Filebuf *page) {
    if (!template_section) return 0;
    return template_section->insert(connection, page, "interface.css");
}

void command_page_send(CONNECTION_T *connection, Filebuf *page) {
    HEADER *head = header_new();
    head->type = HEADER_RESPONSE;
    head->version = 2;
    head->code = 200;
    head->content_length = (uint64_t)page->size;
    head->flags |= HEADER_LENGTH;
    head->content_type = xstrdup("text/html");
    head->mime_type = xstrdup("text/html");
    head->cache_control = xstrdup("no-cache");
    LogEntry &log = connection->log;
    log.status = 200;
    log.size = page->size;
    log.mime = "text/html";
    header_send(head, connection, 0, HEADER_KIND_CLIENT);
    http_header_free(head);
    http_send_body(connection, page);
}

std::string html_escape(const char *text) {
    char *escaped = string_to_html(text ? text : "", 0);
    std::string out = escaped ? escaped : "";
    free(escaped);
    return out;
}
