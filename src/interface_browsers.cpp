// The interface's browsers of large in-memory state: the object cache
// ("/cache": fill figures, search by URL pattern, time windows and size,
// and deletion) and the prefetch queue ("/prefetch"). Everything taken from
// the traffic (URLs) is HTML-escaped before it reaches the page.
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cache.h"
#include "connection.h"
#include "field.h"
#include "filebuf.h"
#include "interface.h"
#include "lockguard.h"
#include "misc.h"
#include "prefetch.h"
#include "regexp.h"
#include "timerange.h"

struct CALENDAR_MONTH {
    const char *name;
    const char *option;
};

const CALENDAR_MONTH calendar_months[] = {
    {"January", "<option value=\"January\" %s>January\n"},
    {"February", "<option value=\"February\" %s>February\n"},
    {"March", "<option value=\"March\" %s>March\n"},
    {"April", "<option value=\"April\" %s>April\n"},
    {"May", "<option value=\"May\" %s>May\n"},
    {"June", "<option value=\"June\" %s>June\n"},
    {"July", "<option value=\"July\" %s>July\n"},
    {"August", "<option value=\"August\" %s>August\n"},
    {"September", "<option value=\"September\" %s>September\n"},
    {"October", "<option value=\"October\" %s>October\n"},
    {"November", "<option value=\"November\" %s>November\n"},
    {"December", "<option value=\"December\" %s>December\n"},
    {nullptr, nullptr},
};

namespace {

void put(Filebuf *page, const std::string &text) { page->Add(text.data(), (long long)text.size()); }

// One bound of a time window as the form gives it.
struct Bound {
    std::string prefix;  // "ma", "mb", "aa", "ab"
    bool lower;
    bool checked;  // "Epoch time" / "Current time"
    int month;     // 0-11; 12 for a name not in the table
    int day, year, hour, minute;
    time_t value;  // in the objects' time base
};

int month_index(const std::string &name) {
    int i = 0;
    for (; calendar_months[i].name; i++)
        if (strcasecmp(calendar_months[i].name, name.c_str()) == 0) return i;
    return i;
}

// A day, year, hour or minute field: empty takes the default, text that is
// not a number reads as 0.
int number(const CGIMap &form, const std::string &key, int fallback) {
    int value = xatoi(form.get(key).c_str());
    return value == -1 && form.get(key).empty() ? fallback : value;
}

Bound bound_read(const CGIMap &form, const std::string &prefix, bool lower, time_t now) {
    Bound b;
    b.prefix = prefix;
    b.lower = lower;
    b.checked = form.get(prefix + (lower ? "epoch" : "curtime")) == "on";
    struct tm base;
    if (lower) {
        base = tm();
        base.tm_year = 70;
        base.tm_mday = 1;
    } else {
        localtime_r(&now, &base);
    }
    std::string month = form.get(prefix + "month");
    b.month = b.checked || month.empty() ? base.tm_mon : month_index(month);
    b.day = b.checked ? base.tm_mday : number(form, prefix + "day", base.tm_mday);
    b.year = b.checked ? base.tm_year + 1900 : number(form, prefix + "year", base.tm_year + 1900);
    b.hour = b.checked ? base.tm_hour : number(form, prefix + "hour", base.tm_hour);
    b.minute = b.checked ? base.tm_min : number(form, prefix + "minute", base.tm_min);
    // Whatever the form says, the calendar fields stay where the arithmetic
    // below them cannot overflow.
    b.day = std::clamp(b.day, 1, 31);
    b.year = std::clamp(b.year, 1900, 9999);
    b.hour = std::clamp(b.hour, 0, 23);
    b.minute = std::clamp(b.minute, 0, 59);
    if (lower && b.checked) {
        b.value = 0;
        return b;
    }
    struct tm when = tm();
    when.tm_year = b.year - 1900;
    when.tm_mon = b.month;
    when.tm_mday = b.day;
    when.tm_hour = b.hour;
    when.tm_min = b.minute;
    when.tm_sec = 0;
    when.tm_isdst = -1;  // mktime knows whether daylight saving time applies
    time_t local = mktime(&when);
    // From the system's clock to the objects' time base; an upper bound
    // takes in its whole minute, so what was stored just now is included.
    b.value = local + gmtoffset + (lower ? 0 : 59);
    return b;
}

void bound_show(Filebuf *page, const Bound &b, const char *label) {
    page->Addf("<tr><td>%s</td><td>Date: <select name=\"%smonth\">\n", label, b.prefix.c_str());
    for (int i = 0; calendar_months[i].name; i++) page->Addf(calendar_months[i].option, i == b.month ? "selected" : "");
    page->Addf("</select> <select name=\"%sday\">\n", b.prefix.c_str());
    for (int d = 1; d <= 31; d++) page->Addf("<option value=\"%d\" %s>%d\n", d, d == b.day ? "selected" : "", d);
    page->Addf(
        "</select> <input type=\"text\" name=\"%syear\" size=\"4\" value=\"%d\"> "
        "Time: <input type=\"text\" name=\"%shour\" size=\"2\" value=\"%.2d\">:"
        "<input type=\"text\" name=\"%sminute\" size=\"2\" value=\"%.2d\"> "
        "%s<input type=\"checkbox\" name=\"%s%s\"%s></td></tr>\n",
        b.prefix.c_str(), b.year, b.prefix.c_str(), b.hour, b.prefix.c_str(), b.minute,
        b.lower ? " Epoch time:" : " Current time:", b.prefix.c_str(), b.lower ? "epoch" : "curtime",
        b.checked ? " checked" : "");
}

// A size bound; a text that is no size leaves the fallback.
uint32_t size_read(const std::string &text, uint32_t fallback) {
    if (text.empty()) return fallback;
    try {
        return string_to_filesize(text);
    } catch (...) {
        return fallback;
    }
}

unsigned percent(unsigned long long used, unsigned long long total) {
    if (!used || !total) return 0;
    return (unsigned)(used * 100 / total);
}

}  // namespace

void interface_page_cache(Filebuf *page, CGIMap &form, CONNECTION_T *) {
    time_t now = time(nullptr);
    Bound bounds[4] = {bound_read(form, "ma", true, now), bound_read(form, "mb", false, now),
                       bound_read(form, "aa", true, now), bound_read(form, "ab", false, now)};
    bool allsizes = form.get("allsizes") == "on";
    uint32_t minsize = allsizes ? 0 : size_read(form.get("minsize"), 0);
    uint32_t maxsize = allsizes ? UINT_MAX : size_read(form.get("maxsize"), UINT_MAX);
    bool show = form.get("show") == "yes", remove = form.get("delete") == "on";
    std::string pattern_text = form.get("pattern");

    CacheSection *cache = cache_section;
    if (!cache) return;
    // One exclusive hold of the cache lock for the figures, the index and
    // the deletions, so they agree and no request opens or closes an object
    // meanwhile: readers take and drop references under the shared lock, so
    // the section mutex alone would let an object counted unused gain a
    // reader just before it is freed.
    CacheExclusiveLock lock(cache);
    page->Addf("<table class=\"bigdialog\">\n<tr><td class=\"dialoghead\" colspan=\"2\">Cache information</td></tr>\n");
    page->Addf("<tr><td>Memory cache</td><td>%d entries / %u bytes / %u%% used</td></tr>\n", cache->memory_objects,
               cache->memory_bytes, percent(cache->memory_bytes, cache->memory_size));
    for (const Store *store : cache->stores) {
        if (store->directory.empty()) continue;
        std::string directory = html_escape(store->directory);
        page->Addf("<tr><td>Disk cache %s</td><td>%d entries / %llu bytes / %u%% used</td></tr>\n", directory.c_str(),
                   store->objects, (unsigned long long)store->bytes, percent(store->bytes, store->maxsize));
    }
    page->Addf("</table>\n");

    page->Addf(
        "<table class=\"bigdialog\">\n<tr><td class=\"dialoghead\" colspan=\"2\">Regular expression match</td></tr>\n"
        "<form action=\"cache\" method=\"POST\">\n<input type=\"hidden\" name=\"show\" value=\"yes\">\n");
    put(page, "<tr><td>Pattern</td><td><input type=\"text\" name=\"pattern\" size=\"80\" value=\"" +
                  html_escape(pattern_text) + "\"></td></tr>\n");
    static const char *const labels[] = {"Modified after", "Modified before", "Accessed after", "Accessed before"};
    for (int i = 0; i < 4; i++) bound_show(page, bounds[i], labels[i]);
    page->Addf(
        "<tr><td>File size</td><td>All sizes:<input type=\"checkbox\" name=\"allsizes\"%s> "
        "<input type=\"text\" name=\"minsize\" size=\"10\" value=\"%u\"> - "
        "<input type=\"text\" name=\"maxsize\" size=\"10\" value=\"%u\"> bytes</td></tr>\n"
        "<tr><td>Delete matches:</td><td><input type=\"checkbox\" name=\"delete\"></td></tr>\n"
        "<tr><td class=\"dialogfoot\" colspan=\"2\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
        "</form></table>\n",
        allsizes ? " checked" : "", minsize, maxsize);

    if (show) {
        regex_posix_t *pattern = pattern_text.empty() ? nullptr : reg_compile(pattern_text.c_str(), 1);
        page->Addf(
            "<table class=\"list\">\n<tr class=\"listhead\"><td><b>URL</b></td><td><b>Size</b></td>"
            "<td><b>Mem</b></td><td><b>Disk</b></td></tr>\n");
        int row = 0;
        for (int bucket = 0; bucket < CACHE_BUCKETS; bucket++) {
            CACHELIST *entry = cache->cachemaplist[bucket];
            while (entry) {
                CACHELIST *next = entry->next;
                CACHEMAP *object = entry->object;
                bool taken =
                    object && object->refcount == 0 && (long long)object->stored >= (long long)bounds[0].value &&
                    (long long)object->stored <= (long long)bounds[1].value &&
                    (long long)object->accessed >= (long long)bounds[2].value &&
                    (long long)object->accessed <= (long long)bounds[3].value && object->size >= minsize &&
                    object->size <= maxsize && object->key && (!pattern || reg_exec(pattern, object->key) == 0);
                if (taken && remove) {
                    object->refcount++;
                    cache->invalidate_unlocked(object);
                } else if (taken) {
                    const char *separator = strstr(object->key, "://");
                    if (separator && separator - object->key <= 15) {
                        std::string scheme(object->key, (size_t)(separator - object->key));
                        std::string target = scheme + "://xx--cache." + (separator + 3);
                        put(page, std::string("<tr class=\"") + (row++ % 2 ? "listodd" : "listeven") +
                                      "\"><td><a href=\"" + html_escape(target) + "\">" + html_escape(object->key) +
                                      "</a></td>");
                        page->Addf("<td align=\"right\">%u</td><td>%s</td><td>%s</td></tr>\n", object->size,
                                   (object->flags & CACHE_MEM) ? "yes" : "no",
                                   (object->flags & CACHE_DISK) ? "yes" : "no");
                    }
                }
                entry = next;
            }
        }
        page->Addf("</table>\n");
        if (pattern) reg_free(pattern);
    }
}

void interface_page_prefetch(Filebuf *page, CGIMap &form, CONNECTION_T *) {
    PrefetchSection *section = prefetch_section;
    if (!section) return;
    std::string queue = form.get("queue");
    if (!queue.empty()) {
        URL *url = url_parse(queue.c_str());
        if (url) section->queue_add(url, nullptr, 0xFFFFFFFFu, 1);
    }
    page->Addf(
        "<table class=\"bigdialog\">\n<tr><td class=\"dialoghead\" colspan=\"2\">Add URL to prefetch queue</td></tr>\n"
        "<form action=\"prefetch\" method=\"POST\">\n"
        "<tr><td>URL</td><td><input type=\"text\" name=\"queue\" size=\"80\"></td></tr>\n"
        "<tr><td class=\"dialogfoot\" colspan=\"2\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
        "</form></table>\n<table class=\"list\">\n<tr class=\"listhead\"><td>Queued URLs</td></tr>\n");
    int row = 0;
    for (const std::string &url : section->queued())
        put(page, std::string("<tr class=\"") + (row++ % 2 ? "listodd" : "listeven") + "\"><td>" + html_escape(url) +
                      "</td></tr>\n");
    page->Addf("</table>\n");
}
