// The registry of built-in section classes, in construction order. Each
// section class adds one line here:
//     {"access", access_construct},
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
    {"access", access_construct},
    {"cache", cache_construct},
    {"general", general_construct},
    {"network", network_construct},
    {"templates", templates_construct},
    {"ftp", ftp_construct},
    {"profiles", profile_construct},
    {"forward", forward_construct},
    {nullptr, nullptr},
};
