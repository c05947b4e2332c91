#include "allowdeny.h"

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "log.h"
#include "misc.h"
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

void allow_deny_refused(const char *section, const Subsection &list, const AllowDenyRule &rule, const char *why) {
    putlog(LOG_ERROR, "%s: %s rule \"%s\" refused: %s", section, list.name.c_str(), rule.comment.c_str(), why);
}

void allow_deny_show(CONNECTION_T *connection, const char *what, const AllowDenyRule *rule, const char *closing) {
    const HEADER *request = connection->request;
    const std::string where =
        html_escape(request->host ? request->host : "") + html_escape(request->file ? request->file : "");
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page.Addf("<html><head><title>%s match for %s</title></head>", what, where.c_str());
    page.Addf("<body>\n");
    interface_stylesheet(connection, &page);
    page.Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\"><tr><td align=\"center\">\n");
    page.Addf("<table class=\"dialog\">\n");
    page.Addf("<tr class=\"listhead\"><td colspan=\"2\" align=\"center\">%s match for %s</td></tr>\n", what,
              where.c_str());
    if (!rule) {
        page.Addf("<tr><td align=\"center\" colspan=\"2\">None</td></tr>\n");
    } else if (rule->entry) {
        rule->entry->display(&page, false);
    } else {
        page.Addf("<tr><td align=\"center\" colspan=\"2\">Default: no allow rule matched</td></tr>\n");
    }
    page.Addf("%s", closing);
    interface_send_response(connection, &page);
}
