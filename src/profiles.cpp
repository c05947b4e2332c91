#include "profiles.h"

#include <string.h>
#include <strings.h>

#include "connection.h"
#include "general.h"
#include "header.h"
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

void timewindow_from_fields(const FieldVector &fields, int first, tm_partial *start, tm_partial *end) {
    memset(start, 0, sizeof *start);
    memset(end, 0, sizeof *end);
    // Components in field order: month, day of month, weekday, hour, minute.
    tm_component tm_partial::*const components[] = {&tm_partial::month, &tm_partial::day, &tm_partial::weekday,
                                                    &tm_partial::hour, &tm_partial::minute};
    for (int i = 0; i < 5; i++) {
        if (first < 0 || (size_t)(first + i) >= fields.size()) break;
        const Field &field = fields[first + i];
        if (!field.active) continue;
        start->*components[i] = {1, field.int_value};
        end->*components[i] = {1, field.int_value2};
    }
}

/* ---- one rule ---- */

Profile::Profile(const Item &item)
    : enabled(false), log(0), timemode(0), protocol(nullptr), host(nullptr), path(nullptr), mime(nullptr),
      proxyhost(nullptr), reqheader(nullptr), respheader(nullptr) {
    memset(&start, 0, sizeof start);
    memset(&end, 0, sizeof end);
    const FieldVector &f = item.fields;
    // A drifted entry, shorter than the definition, sets no condition for
    // what it lacks.
    const size_t n = f.size();
    if (n > 0) enabled = f[0].int_value != 0;
    if (n > 1) comment = f[1].string_value;
    if (n > 2) log = f[2].int_value;
    if (n > 3) condition = f[3].string_list;
    if (n > 4) protocol_text = f[4].string_value;
    if (n > 5) host_text = f[5].string_value;
    if (n > 6) path_text = f[6].string_value;
    if (n > 7) mime_text = f[7].string_value;
    if (n > 8) ports = f[8].port_range_list;
    if (n > 9) urlcommands = f[9].string_list;
    if (n > 10) proxyhost_text = f[10].string_value;
    if (n > 11) reqheader_text = f[11].string_value;
    if (n > 12) respheader_text = f[12].string_value;
    timewindow_from_fields(f, 13, &start, &end);
    if (n > 18) timemode = f[18].int_value;
    if (n > 19) add = f[19].string_list;
    if (n > 20) remove = f[20].string_list;
    compile();
}

Profile::Profile(const Profile &other)
    : enabled(other.enabled), comment(other.comment), log(other.log), condition(other.condition),
      ports(other.ports), urlcommands(other.urlcommands), start(other.start), end(other.end),
      timemode(other.timemode), add(other.add), remove(other.remove), protocol_text(other.protocol_text),
      host_text(other.host_text), path_text(other.path_text), mime_text(other.mime_text),
      proxyhost_text(other.proxyhost_text), reqheader_text(other.reqheader_text),
      respheader_text(other.respheader_text), protocol(nullptr), host(nullptr), path(nullptr), mime(nullptr),
      proxyhost(nullptr), reqheader(nullptr), respheader(nullptr) {
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

const FIELD_READ ProfileSection::reads[] = {
    {READ_ENTRY, 0, 0, FIELD_BOOL},
    {READ_ENTRY, 0, 1, FIELD_STRING},
    {READ_ENTRY, 0, 2, FIELD_BOOL},
    {READ_ENTRY, 0, 3, FIELD_STRING_LIST},
    {READ_ENTRY, 0, 4, FIELD_STRING},
    {READ_ENTRY, 0, 5, FIELD_STRING},
    {READ_ENTRY, 0, 6, FIELD_STRING},
    {READ_ENTRY, 0, 7, FIELD_STRING},
    {READ_ENTRY, 0, 8, FIELD_PORT_RANGE_LIST},
    {READ_ENTRY, 0, 9, FIELD_STRING_LIST},
    {READ_ENTRY, 0, 10, FIELD_STRING},
    {READ_ENTRY, 0, 11, FIELD_STRING},
    {READ_ENTRY, 0, 12, FIELD_STRING},
    {READ_ENTRY, 0, 13, FIELD_STRING_RANGE},
    {READ_ENTRY, 0, 14, FIELD_INT_RANGE},
    {READ_ENTRY, 0, 15, FIELD_STRING_RANGE},
    {READ_ENTRY, 0, 16, FIELD_INT_RANGE},
    {READ_ENTRY, 0, 17, FIELD_INT_RANGE},
    {READ_ENTRY, 0, 18, FIELD_BOOL},
    {READ_ENTRY, 0, 19, FIELD_STRING_LIST},
    {READ_ENTRY, 0, 20, FIELD_STRING_LIST},
};
const int ProfileSection::read_count = sizeof ProfileSection::reads / sizeof ProfileSection::reads[0];

Section *profile_construct() {
    profile_section = new ProfileSection();
    return profile_section;
}

static bool (*saved_profile_find)(const StringList &, const StringList &) = nullptr;

ProfileSection::ProfileSection() : Section("profiles", SECTION_RWLOCK) {
    if (net_profile_find_hook != profile_find) {
        saved_profile_find = net_profile_find_hook;
        net_profile_find_hook = profile_find;
    }
}

ProfileSection::~ProfileSection() {
    if (profile_section != this) return;
    profile_section = nullptr;
    if (saved_profile_find) net_profile_find_hook = saved_profile_find;
    saved_profile_find = nullptr;
}

void ProfileSection::update() {
    profiles.clear();
    if (!subsections.empty())
        for (const Item &item : subsections[0].items) profiles.emplace_back(item);
}

void ProfileSection::profiles_update(CONNECTION_T *connection) {
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local)) memset(&local, 0, sizeof local);
    profiles_update(connection, &local);
}

// Joined profile text of the log record: at most this many bytes, each
// name cut to NAME_MAX_TEXT; names that no longer fit are left out whole.
#define PROFILES_MAX_TEXT 2045
#define NAME_MAX_TEXT 255

void ProfileSection::profiles_update(CONNECTION_T *connection, const struct tm *now) {
    if (!connection || !now) return;
    read_lock();
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
    unlock();
}
