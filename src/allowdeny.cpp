#include "allowdeny.h"

#include "profiles.h"
#include "section.h"

AllowDenyRule::AllowDenyRule(const Item &item) : entry(&item) {
    const FieldVector &f = item.fields;
    if (f.size() > 0) enabled = f[0].int_value != 0;
    if (f.size() > 1) comment = f[1].string_value;
    if (f.size() > 2) profiles = f[2].string_list;
}

bool AllowDenyRule::holds(const StringList &active_profiles) const {
    return enabled && profile_find(active_profiles, profiles);
}
