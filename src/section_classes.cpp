// The registry of built-in section classes, in construction order. Each
// section class adds one line here:
//     {"access", access_construct, AccessSection::reads, AccessSection::read_count},
// where the construct function builds the section from `sectionxml` and
// `reads` lists every option and entry field the class reads by position
// with the type it expects (see FIELD_READ in section.h). The definition
// test constructs every class listed here from the shipped section-definition
// document and checks each read against it.
#include "section.h"

#include "access.h"
#include "cache.h"
#include "forward.h"
#include "general.h"
#include "network.h"
#include "profiles.h"
#include "templates.h"

const SECTION_CLASS section_classes[] = {
    {"access", access_construct, AccessSection::reads, AccessSection::read_count},
    {"cache", cache_construct, CacheSection::reads, CacheSection::read_count},
    {"general", general_construct, GeneralSection::reads, GeneralSection::read_count},
    {"network", network_construct, NetworkSection::reads, NetworkSection::read_count},
    {"templates", templates_construct, TemplateSection::reads, TemplateSection::read_count},
    {"ftp", ftp_construct, FtpSection::reads, FtpSection::read_count},
    {"profiles", profile_construct, ProfileSection::reads, ProfileSection::read_count},
    {"forward", forward_construct, ForwardSection::reads, ForwardSection::read_count},
    {nullptr, nullptr, nullptr, 0},
};
