// DNS blacklist: the "dnsbl" section blocks a request whose domain (the last
// two labels of its host) is listed in a DNS blacklist zone: it resolves
// "<domain>.<zone>" through the program's DNS cache and blocks when the
// first answer lies in the configured ranges. A name that does not resolve
// lets the request pass.
#ifndef KORVANTEL_DNSBL_H
#define KORVANTEL_DNSBL_H

#include <string>

#include "field.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;

class DnsblSection : public Section {
public:
    struct Options {
        const int *enabled = nullptr;                // the check runs only when exactly 1
        const std::string *template_name = nullptr;  // empty: "blocked"
        const std::string *zone = nullptr;           // empty: no check
        const IpRangeList *listed = nullptr;         // empty: no check
    };
    Options opts;

    DnsblSection();
    ~DnsblSection() override;
    void update() override {}

    // 1 when the request was blocked and the page sent, else 0.
    int check_and_block(CONNECTION_T *connection);
};

extern DnsblSection *dnsbl_section;

Section *dnsbl_construct();

// The domain a host is looked up by: its last two labels, or the whole host
// when it has fewer than three.
std::string dnsbl_domain(const std::string &host);

int dnsbl_reqcheck(CONNECTION_T *connection, Filebuf *buffer);

#endif
