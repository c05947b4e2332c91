#include "urlpages.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "cache.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "hstream.h"
#include "interface.h"
#include "lockguard.h"
#include "misc.h"
#include "protocol.h"

std::string html_text(const char *text, size_t length, int flags) {
    std::string out;
    if (!text) return out;
    out.reserve(length + length / 8);
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            case '\0': out += "&#xFFFD;"; break;
            case '\n':
                if (flags & 1) out += "<br>";
                out += c;
                break;
            case ' ': out += (flags & 2) ? "&nbsp;" : " "; break;
            default: out += c; break;
        }
    }
    return out;
}

namespace {

std::string escaped(const char *text, int flags = 0) {
    return text ? html_text(text, strlen(text), flags) : std::string();
}

std::string escaped(const std::string &text, int flags = 0) { return html_text(text.data(), text.size(), flags); }

// Host and path of the request, escaped.
std::string request_place(const CONNECTION_T *connection) {
    const HEADER *request = connection->request;
    if (!request) return "";
    return escaped(request->host) + escaped(request->file);
}

// Appends a text that may be longer than Addf takes.
void text_add(Filebuf *page, const std::string &text) {
    if (!text.empty()) page->Add(text.data(), (long long)text.size());
}

// The document head and, with a class, the outer table centring the inner one.
void page_begin(CONNECTION_T *connection, Filebuf *page, const std::string &title, const char *table_class) {
    page->Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    text_add(page, "<html><head><title>" + title + "</title></head>");
    page->Addf("<body>\n");
    interface_stylesheet(connection, page);
    if (table_class) {
        page->Addf(
            "<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\"><tr><td align=\"center\">\n");
        page->Addf("<table class=\"%s\">\n", table_class);
    }
}

void page_end(CONNECTION_T *connection, Filebuf *page, bool tables) {
    if (tables) page->Addf("</table></td></tr></table>\n");
    page->Addf("</body></html>\n");
    interface_send_response(connection, page);
}

void heading_row(Filebuf *page, const std::string &text, int columns = 2) {
    page->Addf("<tr class=\"listhead\"><td colspan=\"%d\" align=\"center\">", columns);
    text_add(page, text);
    page->Addf("</td></tr>\n");
}

void value_row(Filebuf *page, const char *name, const std::string &value, int *row) {
    page->Addf("<tr class=\"%s\"><td>%s</td><td>", (*row)++ % 2 ? "listodd" : "listeven", name);
    text_add(page, value);
    page->Addf("</td></tr>\n");
}

void pre_block(Filebuf *page, const char *text) {
    page->Addf("<tr><td colspan=\"2\"><pre>");
    text_add(page, escaped(text));
    page->Addf("</pre></td></tr>\n");
}

std::string cache_time(time_t when) {
    struct tm local;
    char text[64] = "";
    if (localtime_r(&when, &local)) strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &local);
    return text;
}

}  // namespace

void show_profiles(CONNECTION_T *connection) {
    std::string title = "Active profiles for " + request_place(connection);
    Filebuf page;
    page_begin(connection, &page, title, "list");
    heading_row(&page, title, 1);
    int row = 0;
    for (const std::string &profile : connection->profiles) {
        page.Addf("<tr class=\"%s\"><td>", row++ % 2 ? "listodd" : "listeven");
        text_add(&page, escaped(profile));
        page.Addf("</td></tr>\n");
    }
    page_end(connection, &page, true);
}

void cache_show(CONNECTION_T *connection) {
    const HEADER *request = connection->request;
    // Opened first, as the "offline" command opens objects, so that a copy
    // held back from ordinary requests shows too and cannot vanish meanwhile.
    CACHEMAP *object = cache_section && request && request->url
                           ? cache_section->cache_open(nullptr, request->url, nullptr, CACHE_OFFLINE)
                           : nullptr;
    char port[16];
    snprintf(port, sizeof port, "%d", request ? request->port : 0);
    std::string title = "Cache information for " + escaped(request ? request->protocol : nullptr) + "://" +
                        escaped(request ? request->host : nullptr) + ":" + port +
                        escaped(request ? request->file : nullptr);
    Filebuf page;
    page_begin(connection, &page, title, "bigdialog");
    heading_row(&page, title);
    if (!object) {
        page.Addf("<tr><td colspan=\"2\" align=\"center\">Nothing found</td></tr>\n");
        page_end(connection, &page, true);
        return;
    }
    {
        SectionMutexLock lock(cache_section);
        int row = 0;
        char text[64];
        if (object->store) value_row(&page, "Path", escaped(object->store->directory), &row);
        snprintf(text, sizeof text, "%u bytes", object->size);
        value_row(&page, "Size", text, &row);
        value_row(&page, "Retrieved", cache_time(object->stored), &row);
        if (object->last_modified) value_row(&page, "Last modified", cache_time(object->last_modified), &row);
        if (object->expires) value_row(&page, "Expires", cache_time(object->expires), &row);
        if (object->lm_expires) value_row(&page, "Fresh until", cache_time(object->lm_expires), &row);
        snprintf(text, sizeof text, "%lu", (unsigned long)object->min_age);
        value_row(&page, "Minimum age", text, &row);
        snprintf(text, sizeof text, "%lu", (unsigned long)object->max_age);
        value_row(&page, "Maximum age", text, &row);
        snprintf(text, sizeof text, "%lu", (unsigned long)object->default_age);
        value_row(&page, "Validate age", text, &row);
        snprintf(text, sizeof text, "%d", (int)object->lm_factor);
        value_row(&page, "Last-Modified time factor", text, &row);
        value_row(&page, "MD5 sum", escaped(object->md5), &row);
        char *flags = CacheSection::flag_string(object->flags);
        value_row(&page, "Flags", escaped(flags), &row);
        free(flags);
        heading_row(&page, "Header");
        std::string head;
        if (object->map && object->header_size > 0 && object->header_size <= object->size)
            head.assign(object->map, object->header_size);
        else if (object->header && object->header->raw) head = object->header->raw;
        page.Addf("<tr><td colspan=\"2\"><pre>");
        text_add(&page, html_text(head.data(), head.size()));
        page.Addf("</pre></td></tr>\n");
    }
    cache_section->cache_close(object, false);
    page_end(connection, &page, true);
}

void show_variables(CONNECTION_T *connection) {
    std::string title = "Variables for " + request_place(connection);
    Filebuf page;
    page_begin(connection, &page, title, "list");
    page.Addf("<tr class=\"listhead\"><td><b>Name</b></td><td><b>Value</b></td></tr>\n");
    int row = 0;
    for (const auto &variable : connection->variables) {
        page.Addf("<tr class=\"%s\"><td>", row++ % 2 ? "listodd" : "listeven");
        text_add(&page, escaped(variable.first, 3));
        page.Addf("</td><td>");
        text_add(&page, escaped(variable.second, 3));
        page.Addf("</td></tr>\n");
    }
    page_end(connection, &page, true);
}

void show_headers(CONNECTION_T *connection) {
    std::string title = "HTTP headers to/from " + request_place(connection);
    Filebuf page;
    page_begin(connection, &page, title, "bigdialog");
    heading_row(&page, "Client header");
    pre_block(&page, connection->request ? connection->request->raw : nullptr);
    heading_row(&page, "Server header");
    pre_block(&page, connection->response ? connection->response->raw : nullptr);
    page_end(connection, &page, true);
}

void show_filebuf(CONNECTION_T *connection, Filebuf *body) {
    std::string title = "Raw contents of " + request_place(connection);
    Filebuf page;
    page_begin(connection, &page, title, nullptr);
    page.Addf("<pre>\n");
    if (body && body->data && body->size > 0) text_add(&page, html_text(body->data, (size_t)body->size));
    page.Addf("</pre>\n");
    page_end(connection, &page, false);
}

void show_htmltree(CONNECTION_T *connection) {
    std::string title = "HTML tree for " + request_place(connection);
    Filebuf page;
    page_begin(connection, &page, title, "list");
    // Walked with a stack of its own: a deep tree cannot exhaust the thread's.
    std::vector<std::pair<const htmlstream_node *, int>> pending;
    if (connection->htmlstream && connection->htmlstream->root) pending.push_back({connection->htmlstream->root, 0});
    while (!pending.empty()) {
        const htmlstream_node *node = pending.back().first;
        int depth = pending.back().second;
        pending.pop_back();
        page.Addf("<tr><td><table border=\"0\" cellpadding=\"0\" cellspacing=\"0\"><tr><td width=\"%d\"></td><td>",
                  36 * depth);
        if (node->tag) {
            std::string line = escaped(node->tag->name) + " ";
            for (const htmlstream_attribute *a = node->tag->attributes; a; a = a->next)
                line += escaped(a->name) + "=&quot;" + escaped(a->value) + "&quot; ";
            text_add(&page, line);
        } else {
            const char *text = node->text ? node->text : "";
            text_add(&page, "&quot;" + html_text(text, node->text ? node->text_length : 0, 3) + "&quot;");
        }
        page.Addf("</td></tr></table></td></tr>\n");
        // Its children come next, then its next sibling.
        if (node->next) pending.push_back({node->next, depth});
        if (node->first_child) pending.push_back({node->first_child, depth + 1});
    }
    page_end(connection, &page, true);
}

void score_show(CONNECTION_T *connection, int score) {
    std::string title = "Keyword score for " + request_place(connection);
    Filebuf page;
    page_begin(connection, &page, title, "bigdialog");
    heading_row(&page, title, 1);
    page.Addf("<tr><td align=\"center\">%d</td></tr>\n", score);
    page_end(connection, &page, true);
}

void show_proxytest(CONNECTION_T *connection) {
    std::string title = "Proxy test for " + request_place(connection);
    Filebuf page;
    page_begin(connection, &page, title, "centerdialog");
    if (connection->forward_type != FORWARD_HTTP) {
        page.Addf("<tr><td align=\"center\">Not forwarding through HTTP proxy</td></tr>\n");
    } else {
        http_header_free(connection->response);
        connection->response = nullptr;
        proxy_test(connection);
        char port[16];
        snprintf(port, sizeof port, ":%d", connection->forward_port);
        std::string peer = escaped(connection->forward_host) + port;
        if (connection->response) {
            heading_row(&page, "Headers received from " + peer, 1);
            page.Addf("<tr><td><pre>");
            text_add(&page, escaped(connection->response->raw));
            page.Addf("</pre></td></tr>\n");
        } else {
            text_add(&page, "<tr><td align=\"center\">" + peer + " failed to connect back</td></tr>\n");
        }
    }
    page_end(connection, &page, true);
    http_header_free(connection->response);
    connection->response = nullptr;
}

void show_filebuf_diff(CONNECTION_T *connection, Filebuf *before, Filebuf *after) {
    std::string title = "Rewrite diff for " + request_place(connection);
    std::vector<std::string> old_lines, new_lines;
    for (int side = 0; side < 2; side++) {
        Filebuf *buffer = side == 0 ? before : after;
        std::vector<std::string> &lines = side == 0 ? old_lines : new_lines;
        STACK_T *stack = buffer ? buffer->to_stack() : nullptr;
        for (STACK_T *node = stack; node; node = node->next) lines.push_back(node->text ? node->text : "");
        stack_free(stack);
    }
    Filebuf page;
    page_begin(connection, &page, title, nullptr);
    page.Addf("<table class=\"list\">\n");
    size_t i = 0, j = 0;
    int line = 0;
    // Lines left on one side only (an added or removed end) are shown too.
    while (i < old_lines.size() || j < new_lines.size()) {
        while (i < old_lines.size() && j < new_lines.size() && old_lines[i] == new_lines[j]) {
            i++;
            j++;
            line++;
        }
        if (i >= old_lines.size() && j >= new_lines.size()) break;
        // Where the texts meet again: the first pair of places from which
        // three lines are equal.
        size_t meet_old = old_lines.size(), meet_new = new_lines.size();
        bool met = false;
        for (size_t a = i; a < old_lines.size() && !met; a++) {
            for (size_t b = j; b < new_lines.size() && !met; b++) {
                size_t run = 0;
                while (run < 3 && a + run < old_lines.size() && b + run < new_lines.size() &&
                       old_lines[a + run] == new_lines[b + run])
                    run++;
                if (run == 3) {
                    meet_old = a;
                    meet_new = b;
                    met = true;
                }
            }
        }
        page.Addf("<tr class=\"diffline\"><td>Line %d</td></tr>\n<tr class=\"diffremoved\"><td><pre>", line);
        for (; i < meet_old; i++, line++) text_add(&page, escaped(old_lines[i]) + "\n");
        page.Addf("</pre></td></tr>\n<tr class=\"diffadded\"><td><pre>");
        for (; j < meet_new; j++) text_add(&page, escaped(new_lines[j]) + "\n");
        page.Addf("</pre></td></tr>\n");
    }
    page.Addf("</table>\n");
    page_end(connection, &page, false);
}
