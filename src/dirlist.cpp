#include "dirlist.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <string>
#include <vector>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "log.h"
#include "misc.h"
#include "regexp.h"
#include "templates.h"

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

// Words of a line with the offset where each starts.
struct Word {
    std::string text;
    size_t start;
};

std::vector<Word> words_of(const std::string &line) {
    std::vector<Word> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && blank(line[i])) i++;
        if (i >= line.size()) break;
        size_t start = i;
        while (i < line.size() && !blank(line[i])) i++;
        words.push_back({line.substr(start, i - start), start});
    }
    return words;
}

// Words before a "->" word (a symbolic link's target does not count).
size_t column_count(const std::vector<Word> &words) {
    for (size_t i = 0; i < words.size(); i++)
        if (words[i].text == "->") return i;
    return words.size();
}

bool size_parse(const std::string &text, uint64_t *size) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (!isdigit((unsigned char)c)) return false;
        value = value * 10 + (uint64_t)(c - '0');
    }
    *size = value;
    return true;
}

// "%b %d %H:%M" (current year) or "%b %d %Y"; false when it does not read.
bool date_parse(const std::string &month, const std::string &day, const std::string &third, int year, struct tm *date) {
    std::string text = month + " " + day + " " + third;
    struct tm value = {};
    const char *end;
    if (third.find(':') != std::string::npos) {
        end = strptime(text.c_str(), "%b %d %H:%M", &value);
        value.tm_year = year - 1900;
    } else {
        end = strptime(text.c_str(), "%b %d %Y", &value);
    }
    if (!end || *end) return false;
    *date = value;
    return true;
}

void unparsable(const std::string &line) {
    // A hostile listing line must not flood the log.
    std::string shown = line.size() > 256 ? line.substr(0, 256) + "..." : line;
    putlog(LOG_ERROR, "FTP: unparsable ftp dir entry: %s", shown.c_str());
}

const char *row_class(int row) { return row % 2 ? "listodd" : "listeven"; }

std::string date_text(const struct tm &date) {
    char text[64];
    if (!strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &date)) text[0] = '\0';
    return text;
}

// The page's frame up to its content.
void page_open(Filebuf *page, CONNECTION_T *connection, const std::string &title) {
    page->Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    std::string head = "<html><head><title>" + html_escape(title) + "</title></head><body>\n";
    page->Add(head.data(), (long long)head.size());
    interface_stylesheet(connection, page);
}

std::string page_title(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    char port[16];
    snprintf(port, sizeof port, "%d", request->port);
    return std::string("Directory listing for ftp://") + (request->host ? request->host : "") + ":" + port +
           (request->file ? request->file : "/");
}

// The request's path without its query.
std::string request_path(CONNECTION_T *connection) {
    std::string path = connection->request->file ? connection->request->file : "/";
    size_t query = path.find('?');
    if (query != std::string::npos) path.erase(query);
    return path;
}

}  // namespace

std::string dir_link_encode(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += (char)c;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

void dir_list_add(dir_t **list, dir_t *entry) {
    struct tm local = entry->date;
    local.tm_isdst = -1;
    entry->time = mktime(&local);
    // mktime fills in the weekday the page shows.
    if (entry->time != (time_t)-1) entry->date.tm_wday = local.tm_wday;
    if (entry->directory && (entry->name.empty() || entry->name.back() != '/')) entry->name += '/';
    entry->next = nullptr;
    if (!*list) {
        entry->prev = nullptr;
        *list = entry;
        return;
    }
    dir_t *last = *list;
    while (last->next) last = last->next;
    last->next = entry;
    entry->prev = last;
}

dir_t *dir_list_parse(const Filebuf *listing, time_t now) {
    if (!listing || !listing->data || listing->size <= 0) return nullptr;
    if (!now) now = time(nullptr);
    struct tm today;
    localtime_r(&now, &today);
    int year = today.tm_year + 1900;

    dir_t *list = nullptr;
    dir_t *last = nullptr;
    size_t columns = 0;  // fixed by the first entry line
    const char *data = listing->data;
    const char *end = data + listing->size;
    for (const char *p = data; p < end;) {
        const char *lf = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *stop = lf ? lf : end;
        std::string line(p, (size_t)(stop - p));
        p = lf ? lf + 1 : end;
        // The name ends at a carriage return (or a NUL, which no name holds).
        size_t cut = line.find_first_of(std::string("\r\0", 2));
        if (cut != std::string::npos) line.erase(cut);
        if (line.empty()) continue;
        if (strncasecmp(line.c_str(), "total", 5) == 0) continue;
        if (line.size() > DIRLIST_LINE_MAX) {
            unparsable(line);
            continue;
        }
        std::vector<Word> words = words_of(line);
        if (words.empty()) continue;
        size_t count = column_count(words);
        if (!columns) {
            if (count < 8) {
                unparsable(line);
                continue;
            }
            columns = count;
        }
        const bool grouped = columns > 8;
        const size_t before_name = grouped ? 8 : 7;
        if (words.size() <= before_name) {
            unparsable(line);
            continue;
        }
        dir_t *entry = new dir_t();
        size_t w = 0;
        const std::string &permissions = words[w++].text;
        w++;  // links
        entry->owner = words[w++].text;
        entry->group = grouped ? words[w++].text : "unknown";
        bool ok = size_parse(words[w++].text, &entry->size);
        const std::string &month = words[w++].text;
        const std::string &day = words[w++].text;
        const std::string &third = words[w++].text;
        if (ok && !date_parse(month, day, third, year, &entry->date)) {
            // An odd date keeps the entry; it shows as the start of the epoch.
            time_t zero = 0;
            localtime_r(&zero, &entry->date);
        }
        if (!ok || permissions.size() < 10) {
            delete entry;
            unparsable(line);
            continue;
        }
        entry->directory = permissions[0] == 'd';
        entry->mode = mode_parse(permissions.c_str());
        // The rest of the line as it stands, blanks inside the name kept.
        entry->name = line.substr(words[w].start);
        if (permissions[0] == 'l') {
            size_t arrow = entry->name.find(" -> ");
            if (arrow != std::string::npos) entry->name.erase(arrow);
        }
        // Names that would walk out of the directory are not entries.
        std::string bare = entry->name;
        if (entry->directory && !bare.empty() && bare.back() == '/') bare.pop_back();
        if (bare.empty() || bare == "." || bare == ".." || bare.find('/') != std::string::npos) {
            delete entry;
            continue;
        }
        if (!last) {
            dir_list_add(&list, entry);
        } else {
            // Appending after the last entry keeps parsing linear.
            dir_t *single = nullptr;
            dir_list_add(&single, entry);
            last->next = entry;
            entry->prev = last;
        }
        last = entry;
    }
    return list;
}

dir_t *dir_list_sort(dir_t *list, int order, int field) {
    if (field < DIRLIST_NAME || field > DIRLIST_DATE || !list) return list;
    auto before = [order, field](const dir_t *a, const dir_t *b) -> bool {
        // true when b must come before a
        switch (field) {
            case DIRLIST_NAME: {
                int c = strcasecmp(a->name.c_str(), b->name.c_str());
                return order == DIRLIST_ASCENDING ? c > 0 : c < 0;
            }
            case DIRLIST_SIZE:
                if (a->directory != b->directory) return order == DIRLIST_ASCENDING ? b->directory : a->directory;
                return order == DIRLIST_ASCENDING ? a->size > b->size : a->size < b->size;
            default: return order == DIRLIST_ASCENDING ? a->time > b->time : a->time < b->time;
        }
    };
    // Gathered into an array and sorted stably: the same order the neighbour
    // swaps give, without their quadratic time on long listings.
    std::vector<dir_t *> entries;
    for (dir_t *e = list; e; e = e->next) entries.push_back(e);
    std::stable_sort(entries.begin(), entries.end(), [&](const dir_t *a, const dir_t *b) { return before(b, a); });
    for (size_t i = 0; i < entries.size(); i++) {
        entries[i]->prev = i ? entries[i - 1] : nullptr;
        entries[i]->next = i + 1 < entries.size() ? entries[i + 1] : nullptr;
    }
    return entries[0];
}

dir_t *dir_list_filter(dir_t *list, const char *pattern) {
    if (!pattern) return list;
    regex_posix_t *regex = reg_compile(pattern, 1);
    if (!regex) return list;
    dir_t *e = list;
    while (e) {
        dir_t *next = e->next;
        if (reg_exec(regex, e->name.c_str()) != 0) {
            if (e->prev) e->prev->next = e->next;
            else list = e->next;
            if (e->next) e->next->prev = e->prev;
            delete e;
        }
        e = next;
    }
    reg_free(regex);
    return list;
}

void dir_list_free(dir_t *list) {
    while (list) {
        dir_t *next = list->next;
        delete list;
        list = next;
    }
}

dir_t *dir_list_find(dir_t *list, const char *name) {
    for (dir_t *e = list; e; e = e->next)
        if (e->name == name) return e;
    return nullptr;
}

void show_dirlist(CONNECTION_T *connection, dir_t *list) {
    Filebuf page;
    page_open(&page, connection, page_title(connection));
    std::string path = request_path(connection);

    char *crumbs = path_to_url(path.c_str());
    page.Addf("<table width=\"100%%\"><tr><td align=\"center\">\n<table class=\"ftphead\"><tr><td>");
    page.Add(crumbs, (long long)strlen(crumbs));
    page.Addf("</td></tr></table>\n");
    free(crumbs);

    page.Addf("<form action=\"%s\" method=\"GET\">\n<table class=\"list\">\n<tr class=\"dialoghead\"><td></td>",
              html_escape(path).c_str());
    static const char *const fields[] = {"name", "size", "date"};
    for (const char *field : fields)
        page.Addf(
            "<td><a href=\"?order=descending&amp;field=%s\"><img src=\"http://%s/template/uparrow\" "
            "border=\"0\" alt=\"up\"></a> %s <a href=\"?order=ascending&amp;field=%s\">"
            "<img src=\"http://%s/template/downarrow\" border=\"0\" alt=\"down\"></a></td>",
            field, INTERFACE_HOST, field, field, INTERFACE_HOST);
    page.Addf("</tr>\n");

    int row = 0;
    for (dir_t *e = list; e; e = e->next, row++) {
        std::string bare = e->name;
        bool slash = !bare.empty() && bare.back() == '/';
        if (slash) bare.pop_back();
        std::string link = dir_link_encode(bare) + (slash ? "/" : "");
        std::string name = html_escape(e->name);
        std::string size;
        if (e->directory) {
            size = "DIR";
        } else {
            char *text = filesize(e->size);
            size = text;
            free(text);
        }
        std::string line = std::string("<tr class=\"") + row_class(row) +
                           "\"><td><input type=\"checkbox\" name=\"filename\" value=\"" + name +
                           "\"></td><td><a href=\"" + link + "\">" + name + "</a></td><td align=\"right\">" + size +
                           "</td><td>" + date_text(e->date) + "</td></tr>\n";
        page.Add(line.data(), (long long)line.size());
    }

    page.Addf(
        "<tr class=\"dialogfoot\"><td colspan=\"4\">"
        "Delete:<input type=\"radio\" name=\"action\" value=\"delete\"> "
        "Rename:<input type=\"radio\" name=\"action\" value=\"rename\"> "
        "Mkdir:<input type=\"radio\" name=\"action\" value=\"mkdir\"> "
        "Rmdir:<input type=\"radio\" name=\"action\" value=\"rmdir\"> "
        "Regexp match:<input type=\"radio\" name=\"action\" value=\"rematch\"> "
        "Raw command:<input type=\"radio\" name=\"action\" value=\"raw\"></td></tr>\n"
        "<tr class=\"dialogfoot\"><td colspan=\"4\">Argument: <input type=\"text\" name=\"argument\" size=\"80\"> "
        "<input type=\"submit\" value=\"Submit\"></td></tr>\n"
        "</table>\n</form>\n</td></tr></table>\n</body></html>\n");
    interface_send_response(connection, &page);
}

void show_rawlist(CONNECTION_T *connection, Filebuf *listing) {
    Filebuf page;
    HEADER *request = connection->request;
    page_open(&page, connection,
              std::string("Raw contents of ") + (request->host ? request->host : "") + request_path(connection));
    std::string text = listing && listing->data ? std::string(listing->data, (size_t)listing->size) : std::string();
    // A NUL in the listing would end the escaping early.
    for (char &c : text)
        if (c == '\0') c = ' ';
    std::string body = "<pre>\n" + html_escape(text) + "</pre>\n</body></html>\n";
    page.Add(body.data(), (long long)body.size());
    interface_send_response(connection, &page);
}
