// The registry of built-in section classes, in construction order. Each
// section class adds one line here:
//     {"access", access_construct},
// where the construct function builds the section from `sectionxml`; the
// class declares its fields in its constructor (see FIELD_BIND in
// section.h). Start-up and the definition test check every class listed
// here against the section-definition document.
#include "section.h"

#include "access.h"
#include "cache.h"
#include "clamav.h"
#include "cookies.h"
#include "cprofiles.h"
#include "dnsbl.h"
#include "external.h"
#include "forward.h"
#include "fprot.h"
#include "general.h"
#include "headerfilter.h"
#include "icap.h"
#include "kaspersky.h"
#include "keywords.h"
#include "ldap_profile.h"
#include "limit.h"
#include "mimefilter.h"
#include "network.h"
#include "prefetch.h"
#include "profiles.h"
#include "redirect.h"
#include "rewrite.h"
#include "sophie.h"
#include "templates.h"
#include "urlbl.h"
#include "urlfilter.h"

const SECTION_CLASS section_classes[] = {
    {"access", access_construct},
    {"url-filtering", filter_construct},
    {"prefetch", prefetch_construct},
    {"cache", cache_construct},
    {"general", general_construct},
    {"dnsbl", dnsbl_construct},
    {"network", network_construct},
    {"header-filtering", header_construct},
    {"templates", templates_construct},
    {"cookies-filtering", cookie_construct},
    {"ldap", ldap_construct},
    {"rewrite", rewrite_construct},
    {"icap", icap_construct},
    {"fprot", fprot_construct},
    {"kaspersky", kaspersky_construct},
    {"sophie", sophie_construct},
    {"cProfiles", cprofiles_construct},
    {"external", external_construct},
    {"ftp", ftp_construct},
    {"profiles", profile_construct},
    {"mime-filtering", mime_construct},
    {"redirect", redirect_construct},
    {"keywords-filtering", keyword_construct},
    {"forward", forward_construct},
    {"limits", limit_construct},
    {"clamav", clamav_construct},
    {"urlblacklist", urlbl_construct},
    {nullptr, nullptr},
};
