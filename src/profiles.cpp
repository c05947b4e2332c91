#include "profiles.h"

#include <string.h>
#include <strings.h>

#include "clock.h"
#include "connection.h"
#include "general.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "network.h"
#include "regexp.h"
#include "settings.h"
#include "urlcommand.h"

bool profile_find(const StringList &names, const StringList &condition) {
    if (condition.empty()) return true;
    bool negated_seen = false;
    for (const std::string &entry : condition) {
        const bool negated = !entry.empty() && entry[0] == '!';
        if (negated) negated_seen = true;
        const std::string name = negated ? entry.substr(1) : entry;
        if (names.has(name)) return !negated;
    }
    return negated_seen;
}

void timewindow_part(const Field &field, tm_component *start, tm_component *end) {
    if (!field.active) return;
    *start = {1, field.int_value};
    *end = {1, field.int_value2};
}

/* ---- one rule ---- */

// The window's components, one converter per range field.
template <tm_component tm_partial::*component>
static void window_read(Profile &rule, const Field &field) {
    timewindow_part(field, &(rule.start.*component), &(rule.end.*component));
}

static const FIELD_BIND<Profile> profile_fields[] = {
    FIELD_BIND_OF(Profile, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(Profile, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(Profile, 2, "log", FIELD_BOOL, log),
    FIELD_BIND_OF(Profile, 3, "profiles", FIELD_STRING_LIST, condition),
    // The pattern texts are compiled after the read.
    FIELD_BIND_OF(Profile, 4, "protocol", FIELD_STRING, protocol_text),
    FIELD_BIND_OF(Profile, 5, "host", FIELD_STRING, host_text),
    FIELD_BIND_OF(Profile, 6, "path", FIELD_STRING, path_text),
    FIELD_BIND_OF(Profile, 7, "mime", FIELD_STRING, mime_text),
    FIELD_BIND_OF(Profile, 8, "port", FIELD_PORT_RANGE_LIST, ports),
    FIELD_BIND_OF(Profile, 9, "urlcommands", FIELD_STRING_LIST, urlcommands),
    FIELD_BIND_OF(Profile, 10, "proxyhost", FIELD_STRING, proxyhost_text),
    FIELD_BIND_OF(Profile, 11, "requestheader", FIELD_STRING, reqheader_text),
    FIELD_BIND_OF(Profile, 12, "responseheader", FIELD_STRING, respheader_text),
    FIELD_BIND_BY(Profile, 13, "month", FIELD_STRING_RANGE, window_read<&tm_partial::month>),
    FIELD_BIND_BY(Profile, 14, "day", FIELD_INT_RANGE, window_read<&tm_partial::day>),
    FIELD_BIND_BY(Profile, 15, "weekday", FIELD_STRING_RANGE, window_read<&tm_partial::weekday>),
    FIELD_BIND_BY(Profile, 16, "hour", FIELD_INT_RANGE, window_read<&tm_partial::hour>),
    FIELD_BIND_BY(Profile, 17, "minute", FIELD_INT_RANGE, window_read<&tm_partial::minute>),
    FIELD_BIND_OF(Profile, 18, "timemode", FIELD_BOOL, timemode),
    FIELD_BIND_OF(Profile, 19, "add", FIELD_STRING_LIST, add),
    FIELD_BIND_OF(Profile, 20, "remove", FIELD_STRING_LIST, remove),
};

Profile::Profile(const Item &item)
    : enabled(false),
      log(0),
      timemode(0),
      protocol(nullptr),
      host(nullptr),
      path(nullptr),
      mime(nullptr),
      proxyhost(nullptr),
      reqheader(nullptr),
      respheader(nullptr) {
    memset(&start, 0, sizeof start);
    memset(&end, 0, sizeof end);
    fields_read(profile_fields, item.fields, this);
    compile();
}

Profile::Profile(const Profile &other)
    : enabled(other.enabled),
      comment(other.comment),
      log(other.log),
      condition(other.condition),
      ports(other.ports),
      urlcommands(other.urlcommands),
      start(other.start),
      end(other.end),
      timemode(other.timemode),
      add(other.add),
      remove(other.remove),
      protocol_text(other.protocol_text),
      host_text(other.host_text),
      path_text(other.path_text),
      mime_text(other.mime_text),
      proxyhost_text(other.proxyhost_text),
      reqheader_text(other.reqheader_text),
      respheader_text(other.respheader_text),
      protocol(nullptr),
      host(nullptr),
      path(nullptr),
      mime(nullptr),
      proxyhost(nullptr),
      reqheader(nullptr),
      respheader(nullptr) {
    compile();
}

Profile &Profile::operator=(const Profile &other) {
    if (this == &other) return *this;
    release();
    enabled = other.enabled;
    comment = other.comment;
    log = other.log;
    condition = other.condition;
    ports = other.ports;
    urlcommands = other.urlcommands;
    start = other.start;
    end = other.end;
    timemode = other.timemode;
    add = other.add;
    remove = other.remove;
    protocol_text = other.protocol_text;
    host_text = other.host_text;
    path_text = other.path_text;
    mime_text = other.mime_text;
    proxyhost_text = other.proxyhost_text;
    reqheader_text = other.reqheader_text;
    respheader_text = other.respheader_text;
    compile();
    return *this;
}

Profile::~Profile() { release(); }

// An empty text sets no condition; one that does not compile neither
// (reg_compile has logged it).
static regex_posix_t *pattern_compile(const std::string &text) {
    return text.empty() ? nullptr : reg_compile(text.c_str(), 1);
}

void Profile::compile() {
    protocol = pattern_compile(protocol_text);
    host = pattern_compile(host_text);
    path = pattern_compile(path_text);
    mime = pattern_compile(mime_text);
    proxyhost = pattern_compile(proxyhost_text);
    reqheader = pattern_compile(reqheader_text);
    respheader = pattern_compile(respheader_text);
}

void Profile::release() {
    regex_posix_t **patterns[] = {&protocol, &host, &path, &mime, &proxyhost, &reqheader, &respheader};
    for (regex_posix_t **pattern : patterns) {
        if (*pattern) reg_free(*pattern);
        *pattern = nullptr;
    }
}

// A pattern holds trivially when absent; a missing text fails it.
static bool pattern_holds(const regex_posix_t *pattern, const char *text) {
    if (!pattern) return true;
    return text && reg_exec(pattern, text) == 0;
}

static bool urlcommand_named(url_command_t **commands, const StringList &names) {
    if (!commands) return false;
    // Commands are host labels, so their names compare without regard to case.
    for (url_command_t **command = commands; *command; command++) {
        if (!(*command)->name) continue;
        for (const std::string &name : names)
            if (strcasecmp((*command)->name, name.c_str()) == 0) return true;
    }
    return false;
}

bool Profile::in_window(const struct tm *now) const {
    return timemode ? in_alltimerange(now, &start, &end) != 0 : in_absolutetimerange(now, &start, &end) != 0;
}

bool Profile::applies(const CONNECTION_T *connection, const struct tm *now) const {
    if (!enabled || !connection) return false;
    const HEADER *request = connection->request;
    const HEADER *response = connection->response;
    if (!profile_find(connection->profiles, condition)) return false;
    if (!ports.empty() && !(request && ports.has(request->port))) return false;
    if (mime && !(response && pattern_holds(mime, response->content_type))) return false;
    if (!pattern_holds(reqheader, request ? request->raw : nullptr)) return false;
    if (respheader && !(response && pattern_holds(respheader, response->raw))) return false;
    if (!pattern_holds(protocol, request ? request->protocol : nullptr)) return false;
    if (!pattern_holds(host, request ? request->host : nullptr)) return false;
    if (!pattern_holds(path, request ? request->file : nullptr)) return false;
    if (!urlcommands.empty() && !urlcommand_named(connection->url_commands, urlcommands)) return false;
    if (proxyhost) {
        std::string name = proxy_name_get();
        if (reg_exec(proxyhost, name.c_str()) != 0) return false;
    }
    return in_window(now);
}

/* ---- the "profiles" section ---- */

ProfileSection *profile_section = nullptr;

Section *profile_construct() {
    profile_section = new ProfileSection();
    return profile_section;
}

ProfileSection::ProfileSection() : Section("profiles", SECTION_RWLOCK) { fields_declare(0, profile_fields); }

ProfileSection::~ProfileSection() {
    if (profile_section != this) return;
    profile_section = nullptr;
}

void ProfileSection::update() { entries_build(0, &profiles); }

void ProfileSection::profiles_update(CONNECTION_T *connection) {
    time_t now = time(nullptr);
    struct tm local;
    clock_localtime(now, &local);
    profiles_update(connection, &local);
}

// Joined profile text of the log record: at most this many bytes, each
// name cut to NAME_MAX_TEXT; names that no longer fit are left out whole.
#define PROFILES_MAX_TEXT 2045
#define NAME_MAX_TEXT 255

void ProfileSection::profiles_update(CONNECTION_T *connection, const struct tm *now) {
    if (!connection || !now) return;
    SectionReadLock held(this);
    for (const Profile &rule : profiles) {
        if (!rule.applies(connection, now)) continue;
        for (const std::string &name : rule.add) {
            if (connection->profiles.has(name)) continue;
            connection->profiles.push_back(name);
            if (rule.log == 1) StringList::show_p("Added", name);
        }
        for (const std::string &name : rule.remove) {
            if (rule.log == 1) StringList::show_p("Removed", name);
            StringList &current = connection->profiles;
            for (auto at = current.begin(); at != current.end();) {
                if (*at == name) at = current.erase(at);
                else ++at;
            }
        }
    }
    std::string joined;
    for (const std::string &name : connection->profiles) {
        std::string piece = name.substr(0, NAME_MAX_TEXT);
        if (joined.size() + piece.size() + 1 > PROFILES_MAX_TEXT + 1) break;
        joined += piece;
        joined += ',';
    }
    if (!joined.empty()) {
        joined.pop_back();
        connection->log.profiles = joined;
    }
}
