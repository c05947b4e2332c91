#include "scanner.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "cache.h"
#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "profiles.h"
#include "templates.h"

const FIELD_BIND<ScanRule> scan_rule_fields[4] = {
    FIELD_BIND_OF(ScanRule, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(ScanRule, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(ScanRule, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(ScanRule, 3, "template", FIELD_STRING, template_name),
};

// Every scanner section alive, for the unbuffered-body lines.
static std::mutex scanners_lock;
static std::vector<ScannerSection *> scanners;

ScannerSection::ScannerSection(const char *name, const char *scanner, const char *filter, int status)
    : Section(name, SECTION_RWLOCK), scanner_(scanner), filter_(filter), status_(status) {
    std::lock_guard<std::mutex> guard(scanners_lock);
    scanners.push_back(this);
}

ScannerSection::~ScannerSection() {
    std::lock_guard<std::mutex> guard(scanners_lock);
    for (auto it = scanners.begin(); it != scanners.end(); ++it)
        if (*it == this) {
            scanners.erase(it);
            break;
        }
}

void ScannerSection::rule_read(const Item &item, ScanRule *rule) { fields_read(scan_rule_fields, item.fields, rule); }

void ScannerSection::update() {
    rules.clear();
    if (subsections.empty()) return;
    for (const Item &item : subsections[0].items) {
        ScanRule rule;
        rule_read(item, &rule);
        rules.push_back(rule);
    }
}

const ScanRule *ScannerSection::find(CONNECTION_T *connection) {
    if (!enabled_ || *enabled_ == 0) return nullptr;
    if (connection->bypass & BYPASS_ANTIVIRUS) return nullptr;
    for (const ScanRule &rule : rules)
        if (rule.enabled && profile_find(connection->profiles, rule.profiles)) return &rule;
    return nullptr;
}

bool scan_cached_clean(CONNECTION_T *connection) {
    if ((connection->flags & CONN_CACHE_WRITE) || !connection->cache || !cache_section) return false;
    return (cache_section->flag_get(connection->cache) & CACHE_CLEAN) != 0;
}

void ScannerSection::log_already_checked() { putlog(LOG_ANTIVIRUS, "cached file already checked for viruses"); }

int ScannerSection::check_match(CONNECTION_T *connection) {
    bool applies;
    {
        SectionReadLock lock(this);
        applies = find(connection) != nullptr;
    }
    if (!applies) return 0;
    if (scan_cached_clean(connection)) {
        log_already_checked();
        return 0;
    }
    return 1;
}

static std::string request_url(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    if (!request) return "-";
    return request->url ? request->url : request->file ? request->file : "-";
}

void scan_unscanned(CONNECTION_T *connection, const char *scanner, const char *why) {
    connection->flags |= CONN_UNSCANNED;
    putlog(LOG_WARNING, "%s: response not scanned (%s): %s", scanner, why, request_url(connection).c_str());
}

void scanners_unbuffered(CONNECTION_T *connection, const char *why) {
    std::vector<ScannerSection *> list;
    {
        std::lock_guard<std::mutex> guard(scanners_lock);
        list = scanners;
    }
    for (ScannerSection *section : list) {
        bool applies;
        {
            SectionReadLock lock(section);
            applies = section->find(connection) != nullptr;
        }
        if (applies && !scan_cached_clean(connection)) scan_unscanned(connection, section->scanner_name(), why);
    }
}

int ScannerSection::check_and_block(CONNECTION_T *connection, Filebuf *body) {
    if (clean_skips_scan() && scan_cached_clean(connection)) return 0;
    ScanJob job;
    std::string template_name;
    {
        SectionReadLock lock(this);
        const ScanRule *rule = find(connection);
        if (!rule) return 0;
        if (!rule->template_name.empty()) template_name = rule->template_name;
        else if (default_template_ && !default_template_->empty()) template_name = *default_template_;
        else template_name = "virus";
        job_copy(*rule, &job);
    }

    ScanResult result = scan(connection, body, job);
    if (result.verdict == SCAN_FAILED) {
        scan_unscanned(connection, scanner_, result.why.c_str());
        return 0;
    }
    if (result.verdict == SCAN_CLEAN) return 0;

    connection->variables["AVSCANNER"] = scanner_;
    if (result.named) {
        connection->variables["VIRUSNAME"] = result.name;
        connection->log.filtering_reason = result.name;
    } else if (!result.reason.empty()) {
        connection->log.filtering_reason = result.reason;
    }
    connection->log.filter_name = filter_;
    // An infected body is never kept, nor served to the next client: gone
    // from the cache before the client hears of it, so a request sent right
    // after the refusal cannot find it there.
    if (connection->cache && cache_section) {
        cache_section->invalidate(connection->cache);
        connection->cache = nullptr;
        connection->flags &= ~CONN_CACHE_WRITE;
    }
    // A template name that exists nowhere still answers the client.
    refusal_page(connection, template_name.c_str(), status_);
    return 1;
}

// ---- helpers of the exchanges -----------------------------------------------------
