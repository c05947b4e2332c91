#include "dnsbl.h"

#include <arpa/inet.h>

#include "compat.h"
#include "connection.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "network.h"
#include "processors.h"
#include "templates.h"

DnsblSection *dnsbl_section = nullptr;

#define DNSBL_NAME_MAX 1023

static const FIELD_BIND<DnsblSection::Options> dnsbl_options[] = {
    FIELD_BIND_OF(DnsblSection::Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(DnsblSection::Options, 1, "template", FIELD_STRING, template_name),
    FIELD_BIND_OF(DnsblSection::Options, 2, "zone", FIELD_STRING, zone),
    FIELD_BIND_OF(DnsblSection::Options, 3, "addresses", FIELD_IP_RANGE_LIST, listed),
};

Section *dnsbl_construct() {
    dnsbl_section = new DnsblSection();
    return dnsbl_section;
}

int dnsbl_reqcheck(CONNECTION_T *connection, Filebuf *) {
    return dnsbl_section ? dnsbl_section->check_and_block(connection) : 0;
}

DnsblSection::DnsblSection() : Section("dnsbl", SECTION_RWLOCK) {
    options_bind(dnsbl_options, &opts);
    processors.Add(dnsbl_reqcheck, PROCESSOR_REQCHECK);
}

DnsblSection::~DnsblSection() {
    if (dnsbl_section != this) return;
    processors.Remove(dnsbl_reqcheck);
    dnsbl_section = nullptr;
}

std::string dnsbl_domain(const std::string &host) {
    int dots = 0;
    for (size_t i = host.size(); i > 1; i--) {
        if (host[i - 1] == '.' && ++dots == 2) return host.substr(i);
    }
    return host;
}

int DnsblSection::check_and_block(CONNECTION_T *connection) {
    if (!connection || !connection->request || !connection->request->host) return 0;
    // What the check needs is copied, so the look-up and the page run
    // without the lock.
    std::string host = connection->request->host;
    std::string name;
    IpRangeList listed_ranges;
    std::string template_name;
    {
        SectionReadLock lock(this);
        if (*opts.enabled != 1 || (connection->bypass & BYPASS_DNSBL) || opts.zone->empty() || opts.listed->empty())
            return 0;
        name = dnsbl_domain(host) + "." + *opts.zone;
        if (name.size() > DNSBL_NAME_MAX) return 0;
        listed_ranges = *opts.listed;
        template_name = opts.template_name->empty() ? "blocked" : *opts.template_name;
    }
    HOSTENT *answer = net_dns(name.c_str());
    if (!answer) return 0;
    char address[INET_ADDRSTRLEN] = "";
    bool listed = answer->address && answer->length == 4 &&
                  inet_ntop(AF_INET, answer->address, address, sizeof address) && listed_ranges.has(address);
    hostent_free(answer);
    if (!listed) return 0;
    connection->variables["FILTER"] = "URL BlackList";
    connection->variables["DNSBL_IP"] = address;
    refusal_page(connection, template_name.c_str(), 404);
    putlog(LOG_DNSBL, "domain %s is blacklisted", host.c_str());
    connection->log.filter_name = "dnsbl";
    connection->log.filtering_reason = address;
    return 1;
}
