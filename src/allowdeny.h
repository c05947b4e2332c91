// The allow/deny pattern shared by the filter sections (URL filter, MIME
// filter, URL blacklist, cookie filter, header filter).
//
// Such a section has a policy option and two ordered lists of rules: the
// allow list (its first entry list) and the deny list (its second). With the
// allow list first an item passes only when some allow rule and no deny rule
// matches; with the deny list first it is blocked only when some deny rule
// and no allow rule matches. Within a list the first matching rule is taken.
//
// Every rule of such a section starts with the same three fields: 0 enabled,
// 1 comment, 2 profile condition; disabled rules never match.
#ifndef KORVANTEL_ALLOWDENY_H
#define KORVANTEL_ALLOWDENY_H

#include <stddef.h>

#include <string>
#include <vector>

#include "field.h"  // StringList
#include "section.h"

struct CONNECTION_T;

// Values of the policy option.
enum { ALLOWDENY_DENY_FIRST = 0, ALLOWDENY_ALLOW_FIRST = 1 };

// The three leading fields of every allow/deny rule, and the entry the rule
// was built from (null for a section's built-in default rule).
struct AllowDenyRule {
    const Item *entry = nullptr;
    bool enabled = true;
    std::string comment;
    StringList profiles;

    // The default rule: no entry, enabled, no comment, no condition.
    AllowDenyRule() {}
    // Fields 0, 1 and 2 of the entry; an entry shorter than that leaves the
    // missing ones at their defaults.
    explicit AllowDenyRule(const Item &item);

    // Enabled, and the profile condition holds for the names.
    bool holds(const StringList &active_profiles) const;
};

// The bindings of the three leading fields, for a rule class derived from
// AllowDenyRule (see FIELD_BIND in section.h):
//     static const FIELD_BIND<MyRule> my_fields[] = {ALLOWDENY_FIELDS(MyRule), ...};
#define ALLOWDENY_FIELDS(Class)                                    \
    FIELD_BIND_OF(Class, 0, "enabled", FIELD_BOOL, enabled),       \
        FIELD_BIND_OF(Class, 1, "comment", FIELD_STRING, comment), \
        FIELD_BIND_OF(Class, 2, "profiles", FIELD_STRING_LIST, profiles)

// Outcome of one decision. `rule` is the deny rule that blocked, or null when
// the item passed or when it was blocked because no allow rule matched (the
// section's default rule then stands for the decision). `allowed_by` is the
// allow rule that matched, when one did.
template <typename Rule>
struct AllowDeny {
    bool blocked = false;
    const Rule *rule = nullptr;
    const Rule *allowed_by = nullptr;
};

// Decides an item from the first matching rule of each list, found by
// first_allow() and first_deny() (null: none matches), each called at most
// once and only when the decision needs it.
template <typename Rule, typename FirstAllow, typename FirstDeny>
AllowDeny<Rule> allow_deny_first(int allow_first, FirstAllow &&first_allow, FirstDeny &&first_deny) {
    AllowDeny<Rule> result;
    if (allow_first) {
        result.allowed_by = first_allow();
        if (!result.allowed_by) {
            result.blocked = true;
            return result;
        }
        result.rule = first_deny();
        result.blocked = result.rule != nullptr;
        return result;
    }
    const Rule *denied = first_deny();
    if (!denied) return result;
    result.allowed_by = first_allow();
    if (result.allowed_by) return result;
    result.blocked = true;
    result.rule = denied;
    return result;
}

// Decides an item: allow_first is the policy (non-zero: allow list first),
// matches(rule) tells whether one rule matches the item. Containers hold the
// rules in list order (std::list, std::vector...). At most one pass over each
// list; the rest of a list after its first match is never looked at.
template <typename Container, typename Match>
AllowDeny<typename Container::value_type> allow_deny(int allow_first, const Container &allow, const Container &deny,
                                                     Match &&matches) {
    typedef typename Container::value_type Rule;
    auto first_match = [&matches](const Container &rules) -> const Rule * {
        for (const Rule &rule : rules)
            if (matches(rule)) return &rule;
        return nullptr;
    };
    return allow_deny_first<Rule>(
        allow_first, [&] { return first_match(allow); }, [&] { return first_match(deny); });
}

// Logs that a rule of that entry list was refused, and why.
void allow_deny_refused(const char *section, const Subsection &list, const AllowDenyRule &rule, const char *why);

// For update(): rebuilds rules from one entry list (null: none), each read
// with the table and then prepared; a rule left refused (a pattern that does
// not compile) stays in the list, never matching, and is logged.
template <typename Rule, size_t N>
void allow_deny_build(const char *section, const Subsection *list, const FIELD_BIND<Rule> (&table)[N],
                      std::vector<Rule> *rules) {
    rules_read(list, table, rules, [&](Rule &rule, const Item &item) {
        rule.entry = &item;
        rule.prepare();
        if (rule.refused) allow_deny_refused(section, *list, rule, "its pattern does not compile");
    });
}

// The page telling which rule decides the connection's request, sent while
// the caller holds its section's lock: `what` names the filter in the title,
// rule is the deciding one (null when the request passes, without entry for
// the default rule), closing ends the page.
void allow_deny_show(CONNECTION_T *connection, const char *what, const AllowDenyRule *rule, const char *closing);

#endif
