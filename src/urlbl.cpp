#include "urlbl.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "lockguard.h"
#include "log.h"
#include "misc.h"
#include "processors.h"
#include "regexp.h"
#include "templates.h"
#include "urlnorm.h"

URLBLSection *urlbl_section = nullptr;

#define URLBL_LINE_MAX 1023
#define URLBL_DOMAIN_MAX 511

static const FIELD_BIND<URLBL> urlbl_fields[] = {
    ALLOWDENY_FIELDS(URLBL),
    FIELD_BIND_OF(URLBL, 3, "categories", FIELD_STRING_LIST, categories),
    FIELD_BIND_OF(URLBL, 4, "template", FIELD_STRING, template_name),
};

static const FIELD_BIND<URLBLSection::Options> urlbl_options[] = {
    FIELD_BIND_OF(URLBLSection::Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(URLBLSection::Options, 1, "order", FIELD_STRING_SELECT_ONE, order),
    FIELD_BIND_OF(URLBLSection::Options, 2, "path", FIELD_STRING, path),
    FIELD_BIND_OF(URLBLSection::Options, 3, "template", FIELD_STRING, template_name),
};

URLBL::URLBL(const Item &item) {
    entry = &item;
    fields_read(urlbl_fields, item.fields, this);
}

Section *urlbl_construct() {
    urlbl_section = new URLBLSection();
    return urlbl_section;
}

int urlbl_reqcheck(CONNECTION_T *connection, Filebuf *) {
    return urlbl_section ? urlbl_section->check_and_block(connection) : 0;
}

URLBLSection::URLBLSection() : Section("urlblacklist", SECTION_RWLOCK) {
    options_bind(urlbl_options, &opts);
    fields_declare(0, urlbl_fields);  // allow
    fields_declare(1, urlbl_fields);  // deny
    processors.Add(urlbl_reqcheck, PROCESSOR_REQCHECK);
}

URLBLSection::~URLBLSection() {
    if (urlbl_section != this) return;
    processors.Remove(urlbl_reqcheck);
    urlbl_section = nullptr;
}

void URLBLSection::update() {
    entries_build(0, &allow);
    entries_build(1, &deny);
}

// ---- loading ----------------------------------------------------------------

// Calls take(line) for every line of the file, line ends removed; a line
// longer than the line bound is read as several. False (errno set) when the
// file cannot be opened or read.
static bool lines_read(const std::string &path, const std::function<void(std::string &)> &take) {
    FILE *file = s_fopen(path.c_str(), "r");
    if (!file) return false;
    char buffer[URLBL_LINE_MAX + 1];
    std::string line;
    while (fgets(buffer, sizeof buffer, file)) {
        line.assign(buffer, strnlen(buffer, sizeof buffer));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        take(line);
    }
    bool ok = !ferror(file);
    int saved = errno;
    fclose(file);
    errno = saved;
    return ok;
}

void URLBLSection::load_category(const std::string &directory, const std::string &category, URLBLDomains *domains) {
    domains->clear();
    std::string base = directory + "/" + category;
    auto failed = [&](const char *file) {
        if (errno != ENOENT) putlog(LOG_URLBL, "cannot read %s/%s: %s; skipped", base.c_str(), file, strerror(errno));
    };
    if (!lines_read(base + "/domains", [domains](std::string &line) { (*domains)[line].clear(); })) failed("domains");
    bool read = lines_read(base + "/urls", [domains](std::string &line) {
        size_t slash = line.find('/');
        std::string domain = line.substr(0, slash).substr(0, URLBL_DOMAIN_MAX);
        std::string path = slash == std::string::npos ? std::string() : line.substr(slash, URLBL_LINE_MAX);
        auto found = domains->find(domain);
        if (found == domains->end()) {
            (*domains)[domain].push_back(path);
        } else if (!found->second.empty()) {
            found->second.push_back(path);
        }
    });
    if (!read) failed("urls");
}

void URLBLSection::load() {
    SectionWriteLock lock(this);
    const std::string directory = *opts.path;
    DIR *dir = directory.empty() ? nullptr : s_opendir(directory.c_str());
    if (!dir) {
        putlog(LOG_URLBL, "failed to load URL blacklist from %s", directory.c_str());
        return;
    }
    int count = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        std::string path = directory + "/" + entry->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        count++;
        load_category(directory, entry->d_name, &database[entry->d_name]);
    }
    closedir(dir);
    putlog(LOG_URLBL, "loaded %d categories", count);
}

// ---- deciding -------------------------------------------------------------------

const std::string *URLBLSection::match(const URLBL &rule, const std::string &host, const char *path) const {
    // Suffixes from the last label to the whole host.
    std::vector<size_t> starts;
    for (size_t at = host.size(); at > 0; at--)
        if (host[at - 1] == '.') starts.push_back(at);
    starts.push_back(0);
    for (const auto &category : database) {
        if (!rule.categories.has(category.first)) continue;
        const URLBLDomains &domains = category.second;
        for (size_t start : starts) {
            auto found = domains.find(std::string_view(host).substr(start));
            if (found == domains.end()) continue;
            if (found->second.empty()) return &category.first;
            for (const std::string &prefix : found->second)
                if (strncasecmp(path, prefix.c_str(), prefix.size()) == 0) return &category.first;
        }
    }
    return nullptr;
}

const URLBL *URLBLSection::check(CONNECTION_T *connection) {
    if (!connection || !connection->request) return nullptr;
    if (!*opts.enabled || (connection->bypass & BYPASS_URLBL)) return nullptr;
    std::string host = connection->request->host ? connection->request->host : "";
    while (!host.empty() && host.back() == '.') host.pop_back();
    host = url_host_normalise(host);
    const std::string path = url_path_for_rules(connection->request->file ? connection->request->file : "");
    auto matches = [&](const URLBL &rule) {
        if (!rule.holds(connection->profiles) || database.empty()) return false;
        const std::string *category = match(rule, host, path.c_str());
        if (!category) return false;
        connection->variables["CATEGORY"] = *category;
        connection->variables["FILTER"] = "URL BlackList";
        putlog(LOG_URLBL, "match found in %s category", category->c_str());
        connection->log.filter_name = "urlbl";
        connection->log.filtering_reason = *category;
        return true;
    };
    AllowDeny<URLBL> decision = allow_deny(*opts.order, allow, deny, matches);
    if (!decision.blocked) return nullptr;
    return decision.rule ? decision.rule : &default_rule;
}

int URLBLSection::check_and_block(CONNECTION_T *connection) {
    SectionReadLock lock(this);
    const URLBL *rule = check(connection);
    if (!rule) return 0;
    HEADER *request = connection->request;
    putlog(LOG_URLBL, "blocked %s%s", request->host ? request->host : "", request->file ? request->file : "");
    std::string name = rule->template_name;
    if (name.empty()) name = *opts.template_name;
    if (name.empty()) name = "blacklisted";
    refusal_page(connection, name.c_str(), request->type == HEADER_CONNECT ? 404 : 403);
    return 1;
}

// ---- search page -----------------------------------------------------------------

static void html_add(Filebuf *page, const std::string &text) {
    char *safe = string_to_html(text.c_str(), 0);
    page->Add(safe, (long long)strlen(safe));
    free(safe);
}

void urlbl_page(Filebuf *page, const std::map<std::string, std::string> &form) {
    auto get = [&form](const std::string &name) {
        auto it = form.find(name);
        return it == form.end() ? std::string() : it->second;
    };
    bool show = get("show") == "true";
    std::string domain_text = get("domain"), file_text = get("file");
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td align=\"center\">\n");
    page->Addf("<table class=\"dialog\">\n<tr class=\"dialoghead\"><td colspan=\"2\">Search URL blacklist</td></tr>\n");
    page->Addf("<form action=\"urlbl\" method=\"POST\">\n<tr><td colspan=\"2\"><table class=\"checklist\">\n");
    if (!urlbl_section) {
        page->Addf("</table></td></tr></form></table></td></tr></table>\n");
        return;
    }
    {
        SectionReadLock lock(urlbl_section);
        int column = 0;
        for (const auto &category : urlbl_section->database) {
            if (column % 8 == 0) page->Addf("<tr>");
            bool checked = !show || !get(category.first).empty();
            page->Addf("<td><input type=\"checkbox\" name=\"");
            html_add(page, category.first);
            page->Addf("\"%s> ", checked ? " checked" : "");
            html_add(page, category.first);
            page->Addf("</td>");
            if (++column % 8 == 0) page->Addf("</tr>\n");
        }
        if (column % 8) page->Addf("</tr>\n");
        page->Addf("</table></td></tr>\n<tr><td>Domain</td><td><input type=\"text\" name=\"domain\" value=\"");
        html_add(page, domain_text);
        page->Addf("\" size=\"80\"></td></tr>\n<tr><td>File</td><td><input type=\"text\" name=\"file\" value=\"");
        html_add(page, file_text);
        page->Addf("\" size=\"80\"></td></tr>\n<input type=\"hidden\" name=\"show\" value=\"true\">\n");
        page->Addf(
            "<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"submit\" value=\"Search\">"
            "</td></tr>\n</form></table>\n");
        if (show) {
            regex_posix_t *domain = domain_text.empty() ? nullptr : reg_compile(domain_text.c_str(), 1);
            regex_posix_t *file = file_text.empty() ? nullptr : reg_compile(file_text.c_str(), 1);
            page->Addf(
                "<table class=\"list\">\n<tr class=\"listhead\"><td>Category</td><td>Domain</td><td>Path</td></tr>\n");
            int row = 0;
            auto line = [&](const std::string &category, const std::string &name, const std::string &path) {
                page->Addf("<tr class=\"%s\"><td>", row++ % 2 ? "listodd" : "listeven");
                html_add(page, category);
                page->Addf("</td><td>");
                html_add(page, name);
                page->Addf("</td><td>");
                html_add(page, path);
                page->Addf("</td></tr>\n");
            };
            for (const auto &category : urlbl_section->database) {
                if (get(category.first).empty()) continue;
                for (const auto &listed : category.second) {
                    if (domain && reg_exec(domain, listed.first.c_str()) != 0) continue;
                    if (listed.second.empty()) {
                        if (!file || reg_exec(file, "/") == 0) line(category.first, listed.first, "/");
                        continue;
                    }
                    for (const std::string &path : listed.second)
                        if (!file || reg_exec(file, path.c_str()) == 0) line(category.first, listed.first, path);
                }
            }
            page->Addf("</table>\n");
            if (domain) reg_free(domain);
            if (file) reg_free(file);
        }
    }
    page->Addf("</td></tr></table>\n");
}

void interface_page_urlbl(Filebuf *page, CGIMap &form, CONNECTION_T *) { urlbl_page(page, form); }
