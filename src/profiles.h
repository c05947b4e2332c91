// Profiles: the names attached to a request that select which rule of every
// rule section applies to it. `profile_find` tests a rule's profile
// condition against a request's names; the "profiles" section holds rules
// that add and remove names on a connection according to the request, the
// response, the proxy's host name and the time of day.
#ifndef KORVANTEL_PROFILES_H
#define KORVANTEL_PROFILES_H

#include <time.h>

#include <list>
#include <string>

#include "field.h"
#include "section.h"
#include "timerange.h"

struct CONNECTION_T;
struct regex_posix_t;

// Whether a profile condition holds for a list of names. An empty condition
// holds. The condition's entries are taken in order, each a name or "!" and
// a name; the first whose name is among names (exact comparison) decides:
// true for a plain entry, false for a negated one. When no entry's name is
// present: true if some entry is negated, else false.
bool profile_find(const StringList &names, const StringList &condition);

// One component of a time window from an optional range field (month 0-11,
// day of month 1-31, weekday 0 = Sunday, hour, minute): switched on, it sets
// the component to the range's first value in *start and its second in
// *end; switched off, it sets neither.
void timewindow_part(const Field &field, tm_component *start, tm_component *end);

// One rule of the "profiles" section, built from one entry.
class Profile {
public:
    bool enabled;
    std::string comment;
    int log;                 // 1: log every name added or removed
    StringList condition;    // on the connection's current profiles
    PortRangeList ports;     // empty: any port
    StringList urlcommands;  // not empty: the request must carry one of them
    tm_partial start;        // time window
    tm_partial end;
    int timemode;  // non-zero: each component in its own range; 0: from start to end
    StringList add;
    StringList remove;

    // Pattern texts and their compiled forms (null: no condition).
    std::string protocol_text, host_text, path_text, mime_text, proxyhost_text, reqheader_text, respheader_text;
    regex_posix_t *protocol, *host, *path, *mime, *proxyhost, *reqheader, *respheader;

    // From an entry's fields; missing fields leave their condition unset.
    explicit Profile(const Item &item);
    // Copies compile the patterns anew; a rule frees its own.
    Profile(const Profile &other);
    Profile &operator=(const Profile &other);
    ~Profile();

    // Whether the rule applies to the connection at local time now, testing
    // the conditions in their fixed order (enabled, profile condition, port,
    // Content-Type, raw request head, raw response head, protocol, host,
    // path, URL commands, proxy host, time). May take the general section's
    // read lock for the proxy's host name.
    bool applies(const CONNECTION_T *connection, const struct tm *now) const;
    // Only the time window.
    bool in_window(const struct tm *now) const;

private:
    void compile();
    void release();
};

class ProfileSection : public Section {
public:
    std::list<Profile> profiles;  // the rules, in entry order (disabled ones included)

    ProfileSection();
    ~ProfileSection() override;
    // Rebuilds the rules from the entry list (framework, write lock held).
    void update() override;
    // Applies every applying rule, in order, to the connection's profiles at
    // the current local time, and records the result in the request's log
    // record. Takes the section's read lock itself.
    void profiles_update(CONNECTION_T *connection);
    // The same at a given local time.
    void profiles_update(CONNECTION_T *connection, const struct tm *now);
};

extern ProfileSection *profile_section;

// Builds the section (and sets profile_section), for the section registry.
Section *profile_construct();

#endif
