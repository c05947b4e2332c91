// The interface's pages of the proxy's running state and its configuration.
// Each page copies what it shows out under the one lock that guards it and
// escapes it after releasing the lock.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "clientpool.h"
#include "clock.h"
#include "connection.h"
#include "filebuf.h"
#include "global.h"
#include "hash.h"
#include "header.h"
#include "interface.h"
#include "lockguard.h"
#include "log.h"
#include "misc.h"
#include "network.h"
#include "regexp.h"
#include "section.h"
#include "serverpool.h"
#include "settings.h"
#include "stats.h"
#include "threads.h"
#include "xml.h"

namespace {

void put(Filebuf *page, const std::string &text) { page->Add(text.data(), (long long)text.size()); }

const char *row_class(int row) { return row % 2 ? "listodd" : "listeven"; }

// A dialog of class "bigdialog" with one form posted to action.
void dialog_open(Filebuf *page, const char *title, const char *action) {
    page->Addf(
        "<table class=\"bigdialog\">\n<tr><td class=\"dialoghead\" colspan=\"2\">%s</td></tr>\n"
        "<form action=\"%s\" method=\"POST\">\n",
        title, action);
}

void dialog_close(Filebuf *page) {
    page->Addf(
        "<tr><td class=\"dialogfoot\" colspan=\"2\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
        "</form></table>\n");
}

void message(Filebuf *page, const char *text) {
    page->Addf("<table class=\"bigdialog\"><tr><td class=\"dialog\" align=\"center\">%s</td></tr></table>\n", text);
}

}  // namespace

void interface_page_connections(Filebuf *page, CGIMap &, CONNECTION_T *) {
    struct Busy {
        unsigned id;
        int requests;
        std::string ip, method, url;
    };
    std::vector<Busy> busy;
    {
        MutexLock held(&threadlistlock);
        for (int i = 0; i < MAXTHREADS && i < MAX_THREAD_SLOTS; i++) {
            const THREAD_T &t = threads[i];
            if (t.state != 1 && t.state != 4) continue;
            busy.push_back(
                {t.client_id, t.requests, t.ip ? t.ip : "", t.method ? t.method : "NONE", t.url ? t.url : "NONE"});
        }
    }

    page->Addf(
        "<table width=\"100%%\"><tr><td valign=\"top\" align=\"center\">\n<table class=\"list\">\n"
        "<tr class=\"listhead\"><td colspan=\"5\" align=\"center\"><b>Transferring</b></td></tr>\n"
        "<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Method</td><td>URL</td>"
        "</tr>\n");
    int row = 0;
    for (const Busy &b : busy) {
        page->Addf("<tr class=\"%s\"><td>%d</td><td>", row_class(row++), (int)b.id);
        put(page, html_escape(b.ip, 1) + "</td><td>" + std::to_string(b.requests) + "</td><td>" +
                      html_escape(b.method, 1) + "</td><td>" + html_escape(b.url, 1) + "</td></tr>\n");
    }
    page->Addf("</table>\n</td><td valign=\"top\" align=\"center\">\n");
    if (global && global->clientpool) global->clientpool->show_connections(page);
    page->Addf("</td></tr></table>\n");
}

void interface_page_dnscache(Filebuf *page, CGIMap &, CONNECTION_T *) {
    struct Entry {
        std::string host, address;
        time_t time;
    };
    std::vector<Entry> entries;
    time_t now = clock_now();
    if (global && global->dnscache) {
        MutexLock held(&global->dnscache_lock);
        HASH_TABLE *table = global->dnscache;
        for (int b = 0; b < table->size; b++)
            for (HASH_ENTRY *e = table->buckets[b]; e; e = e->next)
                entries.push_back({e->key ? e->key : "", e->data ? (const char *)e->data : "", e->time});
    }
    page->Addf(
        "<table class=\"list\">\n<tr class=\"listhead\"><td>Hostname</td><td>IP address</td><td>Age</td>"
        "</tr>\n");
    int row = 0;
    for (const Entry &e : entries) {
        page->Addf("<tr class=\"%s\"><td>", row_class(row++));
        put(page, html_escape(e.host, 1) + "</td><td>" + html_escape(e.address, 1) + "</td><td>" +
                      std::to_string((int)(now - e.time)) + "</td></tr>\n");
    }
    page->Addf("</table>\n");
}

void interface_page_headers(Filebuf *page, CGIMap &, CONNECTION_T *connection) {
    HEADER *request = connection->request;
    int row = 0;
    const char *titles[2] = {"Unfiltered", "Filtered"};
    const std::vector<HTTP_HEADER> *lists[2] = {&request->headers, &request->filtered};
    for (int i = 0; i < 2; i++) {
        page->Addf(
            "<table class=\"list\">\n<tr class=\"listhead\"><td colspan=\"2\" align=\"center\"><b>%s</b>"
            "</td></tr>\n<tr class=\"listhead\"><td>Type</td><td>Value</td></tr>\n",
            titles[i]);
        for (const HTTP_HEADER &line : *lists[i]) {
            page->Addf("<tr class=\"%s\"><td>", row_class(row++));
            put(page, html_escape(line.name, 1) + "</td><td>" + html_escape(line.value, 1) + "</td></tr>\n");
        }
        page->Addf("</table><br>\n");
    }
}

void interface_page_config(Filebuf *page, CGIMap &form, CONNECTION_T *connection) {
    const std::string section = form.get("section");
    const std::string subsection = form.get("subsection");
    const std::string action = form.get("action");
    const std::string dialog = form.get("dialog");
    const std::string matchname = form.get("matchname");
    const std::string matchvalue = form.get("matchvalue");

    page->Addf("<table width=\"100%%\"><tr><td valign=\"top\" align=\"center\" width=\"50%%\">\n");
    page->Addf(
        "<table class=\"dialog\">\n<tr><td class=\"dialoghead\">Select a Section to Configure</td></tr>\n"
        "<tr><td><form action=\"config\" method=\"POST\">\n<select name=\"section\">\n"
        "<option value=\"\">Select a section\n");
    for (auto &entry : Section::map) {
        put(page, "<option value=\"" + html_escape(entry.first) + "\"" + (entry.first == section ? " selected" : "") +
                      ">" + html_escape(entry.second->comment_get(), 1) + "\n");
    }
    page->Addf(
        "</select>\n</td></tr>\n<tr><td class=\"dialogfoot\"><input type=\"submit\" value=\"Submit\"></td>"
        "</tr></form></table>\n</td><td valign=\"top\" align=\"center\" width=\"50%%\">\n");
    page->Addf(
        "<table class=\"dialog\">\n<tr><td class=\"dialoghead\" colspan=\"2\">Search entries</td></tr>\n"
        "<form action=\"config\" method=\"POST\">\n");
    put(page, "<input type=\"hidden\" name=\"section\" value=\"" + html_escape(section) +
                  "\">\n"
                  "<tr><td>Option:</td><td><input type=\"text\" name=\"matchname\" size=\"20\" value=\"" +
                  html_escape(matchname) +
                  "\"></td></tr>\n<tr><td>Value:</td><td><input type=\"text\" "
                  "name=\"matchvalue\" size=\"20\" value=\"" +
                  html_escape(matchvalue) + "\"></td></tr>\n");
    page->Addf(
        "<tr><td class=\"dialogfoot\" colspan=\"2\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
        "</form></table>\n</td></tr></table><br>\n");

    StringList errors;
    std::map<std::string, Section *>::iterator named = Section::map.find(section);
    Section *target = named == Section::map.end() ? nullptr : named->second;
    if (!dialog.empty()) {
        if (target) target->interface_dialog(page, form, connection, errors);
    } else if (!section.empty()) {
        if (!target) return;
        if (!action.empty()) errors = target->interface_action(page, form, connection);
        if (errors.empty()) target->interface(page, form, connection, errors);
        else if (!subsection.empty()) target->interface_dialog(page, form, connection, errors);
        else target->interface(page, form, connection, errors);
    } else if (!matchname.empty() || !matchvalue.empty()) {
        for (auto &entry : Section::map) entry.second->interface(page, form, connection, errors);
    }
}

void interface_page_save(Filebuf *page, CGIMap &form, CONNECTION_T *) {
    const std::string filename = form.get("filename");
    if (filename.empty()) {
        dialog_open(page, "Save settings", "save");
        put(page, "<tr><td>Filename</td><td><input type=\"text\" name=\"filename\" size=\"80\" value=\"" +
                      html_escape(configfile) + "\"></td></tr>\n");
        dialog_close(page);
        return;
    }
    message(page, config_save(filename.c_str()) ? "File saved" : "Saved failed");
}

void interface_page_load(Filebuf *page, CGIMap &form, CONNECTION_T *) {
    const std::string filename = form.get("filename");
    if (filename.empty()) {
        dialog_open(page, "Load settings", "load");
        put(page, "<tr><td>Filename</td><td><input type=\"text\" name=\"filename\" size=\"80\" value=\"" +
                      html_escape(configfile) + "\"></td></tr>\n");
        page->Addf(
            "<tr><td>Overwrite</td><td>Yes: <input type=\"radio\" name=\"overwrite\" value=\"yes\" checked> "
            "No: <input type=\"radio\" name=\"overwrite\" value=\"no\"></td></tr>\n");
        dialog_close(page);
        return;
    }
    int mode = form.get("overwrite") == "yes" ? 1 : 0;
    message(page, config_load(mode, filename.c_str()) ? "File loaded" : "Load failed");
}

void interface_page_log(Filebuf *page, CGIMap &form, CONNECTION_T *) {
    LOGBUFFER *ring = global ? global->logbuffer : nullptr;
    if (!ring) return;
    if (form.get("clear") == "on") logbuffer_clear(ring);
    const std::string size = form.get("size");
    if (!size.empty()) {
        long capacity = strtol(size.c_str(), nullptr, 10);
        // Negative sizes (-1 included) change nothing.
        if (capacity >= 0) logbuffer_resize(ring, capacity > 0x7FFFFFFF ? 0x7FFFFFFF : (int)capacity);
    }
    const std::string pattern = form.get("pattern");

    int capacity;
    std::vector<std::string> lines;
    {
        MutexLock held(&ring->lock);
        capacity = ring->capacity;
        lines.reserve((size_t)ring->count);
        for (LOGNODE *node = ring->newest; node; node = node->older) lines.push_back(node->line);
    }

    dialog_open(page, "Regular expression match", "log");
    put(page, "<tr><td colspan=\"2\"><input type=\"text\" name=\"pattern\" size=\"80\" value=\"" +
                  html_escape(pattern) + "\"></td></tr>\n");
    page->Addf(
        "<tr><td>Log buffer size:</td><td><input type=\"text\" name=\"size\" size=\"10\" value=\"%d\"></td>"
        "</tr>\n<tr><td>Clear:</td><td><input type=\"checkbox\" name=\"clear\"></td></tr>\n",
        capacity);
    dialog_close(page);

    regex_posix_t *regex = pattern.empty() ? nullptr : reg_compile(pattern.c_str(), 1);
    page->Addf("<br><table class=\"list\" width=\"100%%\">\n");
    int row = 0;
    for (const std::string &line : lines) {
        if (regex && reg_exec(regex, line.c_str()) != 0) continue;
        page->Addf("<tr class=\"%s\"><td>", row_class(row++));
        put(page, html_escape(line, 1) + "</td></tr>\n");
    }
    page->Addf("</table>\n");
    if (regex) reg_free(regex);
}

void interface_page_pool(Filebuf *page, CGIMap &, CONNECTION_T *) {
    std::vector<ServerPool::Shown> entries;
    if (global && global->serverpool) entries = global->serverpool->Show();
    page->Addf(
        "<table class=\"list\">\n<tr class=\"listhead\"><td>Protocol</td><td>Host</td><td>Port</td>"
        "<td>Username</td><td>Age</td></tr>\n");
    int row = 0;
    for (const ServerPool::Shown &e : entries) {
        page->Addf("<tr class=\"%s\"><td>", row_class(row++));
        put(page, html_escape(e.protocol, 1) + "</td><td>" + html_escape(e.host, 1) + "</td><td>" +
                      std::to_string(e.port) + "</td><td>" +
                      (e.user.empty() ? std::string("(none)") : html_escape(e.user, 1)) + "</td><td>" +
                      std::to_string(e.age) + "</td></tr>\n");
    }
    page->Addf("</table>\n");
}

void interface_page_stats(Filebuf *page, CGIMap &, CONNECTION_T *) {
    if (!global || !global->stats) return;
    page->Addf("<table width=\"100%%\">\n");
    global->stats->Display(page);
    page->Addf("</table>\n");
}
