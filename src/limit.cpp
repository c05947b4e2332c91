#include "limit.h"

#include <stdio.h>
#include <string.h>

#include "clock.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "lockguard.h"
#include "log.h"
#include "misc.h"
#include "profiles.h"
#include "socket.h"
#include "templates.h"

LimitSection *limit_section = nullptr;

/* ---- one rule ---- */

// The window's components, one converter per range field.
template <tm_component tm_partial::*component>
static void window_read(Limit &rule, const Field &field) {
    timewindow_part(field, &(rule.start.*component), &(rule.end.*component));
}

static const FIELD_BIND<Limit> limit_fields[] = {
    FIELD_BIND_OF(Limit, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Limit, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Limit, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(Limit, 3, "type", FIELD_INT, type),
    FIELD_BIND_OF(Limit, 4, "template", FIELD_STRING, template_name),
    FIELD_BIND_BY(Limit, 5, "month", FIELD_STRING_RANGE, window_read<&tm_partial::month>),
    FIELD_BIND_BY(Limit, 6, "day", FIELD_INT_RANGE, window_read<&tm_partial::day>),
    FIELD_BIND_BY(Limit, 7, "weekday", FIELD_STRING_RANGE, window_read<&tm_partial::weekday>),
    FIELD_BIND_BY(Limit, 8, "hour", FIELD_INT_RANGE, window_read<&tm_partial::hour>),
    FIELD_BIND_BY(Limit, 9, "minute", FIELD_INT_RANGE, window_read<&tm_partial::minute>),
    FIELD_BIND_OF(Limit, 10, "download", FIELD_FILE_SIZE, download),
    FIELD_BIND_OF(Limit, 11, "upload", FIELD_FILE_SIZE, upload),
    FIELD_BIND_OF(Limit, 12, "maxrequests", FIELD_UINT, max_requests),
    FIELD_BIND_OF(Limit, 13, "rate", FIELD_UINT, rate),
    FIELD_BIND_OF(Limit, 14, "timemode", FIELD_BOOL, timemode),
    FIELD_BIND_OF(Limit, 15, "flags", FIELD_STRING_SELECT_MANY, flags),
};

Limit::Limit(const Item &item) {
    fields_read(limit_fields, item.fields, this);
    if (flags & LIMIT_SHARED) rate_group = new LimitGroup(rate);
}

Limit::Limit(const Limit &other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      type(other.type),
      template_name(other.template_name),
      start(other.start),
      end(other.end),
      download(other.download),
      upload(other.upload),
      max_requests(other.max_requests),
      rate(other.rate),
      timemode(other.timemode),
      flags(other.flags),
      downloaded(other.downloaded),
      uploaded(other.uploaded),
      request_count(other.request_count),
      rate_group(other.rate_group) {
    limitgroup_hold(rate_group);
}

Limit::~Limit() { limitgroup_release(rate_group); }

bool Limit::in_window(const struct tm *now) const {
    return timemode ? in_alltimerange(now, &start, &end) != 0 : in_absolutetimerange(now, &start, &end) != 0;
}

/* ---- the section ---- */

static const FIELD_BIND<LimitSection::Options> limit_options[] = {
    FIELD_BIND_OF(LimitSection::Options, 0, "enabled", FIELD_BOOL, enabled),
};

Section *limit_construct() {
    limit_section = new LimitSection();
    return limit_section;
}

void limits_reset(void *) {
    if (limit_section) limit_section->reset();
}

LimitSection::LimitSection() : Section("limits", SECTION_RWLOCK) {
    options_bind(limit_options, &opts);
    fields_declare(0, limit_fields);
}

LimitSection::~LimitSection() {
    if (limit_section == this) limit_section = nullptr;
}

void LimitSection::update() { entries_build(0, &limits); }

namespace {

bool local_now(struct tm *now) { return clock_localtime(time(nullptr), now); }

bool applies(const Limit &rule, const CONNECTION_T *connection, const struct tm *now) {
    return rule.enabled && profile_find(connection->profiles, rule.profiles) && rule.in_window(now);
}

// What is left of a quota, or 0 once it is used up.
uint32_t allowance(uint32_t quota, uint32_t used) { return used >= quota ? 0 : quota - used; }

void rate_set(CONNECTION_T *connection, const Limit &rule) {
    if (!connection->client) return;
    if ((rule.flags & LIMIT_SHARED) && rule.rate_group) {
        connection->client->SetRate(nullptr, rule.rate_group);
        return;
    }
    LimitGroup *group = new LimitGroup(rule.rate);
    connection->client->SetRate(nullptr, group);
    limitgroup_release(group);  // the socket holds its own reference
}

}  // namespace

int LimitSection::check_and_block(CONNECTION_T *connection) {
    struct tm now;
    local_now(&now);
    return check_and_block(connection, &now);
}

int LimitSection::check_and_block(CONNECTION_T *connection, const struct tm *now) {
    if (!connection) return 0;
    bool applied = false;
    uint32_t chosen_rate = 0;
    std::string page;  // empty: not blocked
    const char *reason = nullptr;
    {
        SectionReadLock lock(this);
        connection->transferred = 0;
        connection->transfer_limit = CONNECTION_NO_LIMIT;
        connection->upload_limit = CONNECTION_NO_LIMIT;
        if ((connection->bypass & BYPASS_LIMITS) || !*opts.enabled) return 0;
        char number[32];
        for (const Limit &rule : limits) {
            if (!applies(rule, connection, now)) continue;
            applied = true;
            if (rule.type == 1) {
                putlog(LOG_LIMITS, "blocked: time limit restrictions");
                connection->variables["FILTER"] = "User Limits";
                connection->variables["LIMIT_TYPE"] = "Time Limits";
                page = rule.template_name.empty() ? "blocked" : rule.template_name;
                reason = "time limit restrictions";
                break;
            }
            if (rule.max_requests && rule.request_count >= rule.max_requests) {
                connection->variables["FILTER"] = "User Limits";
                connection->variables["LIMIT_TYPE"] = "Max Requests";
                page = rule.template_name.empty() ? "maxrequests" : rule.template_name;
                reason = "max-requests restrictions";
                break;
            }
            if (rule.download) {
                uint32_t left = allowance(rule.download, rule.downloaded);
                if (left < connection->transfer_limit) {
                    snprintf(number, sizeof number, "%u", rule.download);
                    connection->variables["DOWNLOADLIMIT"] = number;
                    connection->transfer_limit = left;
                }
            }
            if (rule.upload) {
                uint32_t left = allowance(rule.upload, rule.uploaded);
                if (left < connection->upload_limit) {
                    snprintf(number, sizeof number, "%u", rule.upload);
                    connection->variables["UPLOADLIMIT"] = number;
                    connection->upload_limit = left;
                }
            }
            if (rule.flags & LIMIT_CACHED) connection->flags |= CONN_TRANSFER_LIMIT;
            if (rule.rate && (!chosen_rate || rule.rate < chosen_rate)) {
                chosen_rate = rule.rate;
                rate_set(connection, rule);
            }
        }
    }
    // The page goes out without the lock; a slow client must not hold up
    // the counters.
    if (reason) {
        // A template name that exists nowhere still answers the client.
        refusal_page(connection, page.c_str(), 404);
        connection->log.filter_name = "limit-section";
        connection->log.filtering_reason = reason;
        return 1;
    }
    if (applied) {
        putlog(LOG_LIMITS, "transfer download limit: %u", connection->transfer_limit);
        putlog(LOG_LIMITS, "transfer upload limit: %u", connection->upload_limit);
        if (chosen_rate) putlog(LOG_LIMITS, "transfer download rate: %u", chosen_rate);
    }
    return 0;
}

void LimitSection::update(CONNECTION_T *connection) {
    struct tm now;
    local_now(&now);
    update(connection, &now);
}

void LimitSection::update(CONNECTION_T *connection, const struct tm *now) {
    // A connection that ended without a request has nothing to charge.
    if (!connection || !connection->request) return;
    SectionWriteLock lock(this);
    if (!(connection->bypass & BYPASS_LIMITS) && *opts.enabled) {
        for (Limit &rule : limits) {
            if (rule.flags & LIMIT_NOCHARGE) continue;
            if (!applies(rule, connection, now)) continue;
            // A response served from an object already in the cache is free
            // unless the rule counts those too.
            bool charged = !connection->cache || (connection->flags & CONN_CACHE_WRITE) || (rule.flags & LIMIT_CACHED);
            if (rule.download && charged) rule.downloaded += connection->transferred;
            if (rule.upload) rule.uploaded += connection->upload_size;
            if (rule.max_requests) rule.request_count++;
        }
    }
}

void LimitSection::reset() {
    struct tm now;
    local_now(&now);
    reset(&now);
}

void LimitSection::reset(const struct tm *now) {
    SectionWriteLock lock(this);
    if (*opts.enabled) {
        for (Limit &rule : limits) {
            if (!rule.enabled) continue;
            if (!rule.downloaded && !rule.uploaded && !rule.request_count) continue;
            if (rule.in_window(now)) continue;
            rule.downloaded = rule.uploaded = rule.request_count = 0;
        }
    }
}

/* ---- the "limits" page ---- */

void limits_show(CONNECTION_T *connection) {
    if (!connection || !connection->request) return;
    const HEADER *request = connection->request;
    const std::string where =
        html_escape(request->host ? request->host : "") + html_escape(request->file ? request->file : "");
    char *download = filesize(connection->transfer_limit);
    char *upload = filesize(connection->upload_limit);
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page.Addf("<html><head><title>Transfer limits for %s</title></head>", where.c_str());
    page.Addf("<body>\n");
    interface_stylesheet(connection, &page);
    page.Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\"><tr><td align=\"center\">\n");
    page.Addf("<table class=\"bigdialog\">\n");
    page.Addf("<tr class=\"listhead\"><td colspan=\"2\" align=\"center\">Transfer limits for %s</td></tr>\n",
              where.c_str());
    page.Addf("<tr class=\"listeven\"><td>Download limit</td><td>%s</td></tr>\n", download ? download : "");
    page.Addf("<tr class=\"listodd\"><td>Upload limit</td><td>%s</td></tr>\n", upload ? upload : "");
    page.Addf("</table></td></tr></table></body></html>\n");
    free(download);
    free(upload);
    interface_send_response(connection, &page);
}
