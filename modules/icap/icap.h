// ICAP client: the "icap" section sends requests (REQMOD) and buffered
// responses (RESPMOD) to ICAP servers and applies what they send back: a
// modified request, a response that satisfies the request, or a modified
// response. Every failure lets the content pass unchanged. Idle ICAP
// connections wait in the server pool under the protocol key "icap"; a
// connection whose reply was not read to its end, or that answered with
// anything but 200, is closed instead.
#ifndef KORVANTEL_ICAP_H
#define KORVANTEL_ICAP_H

#include <string>
#include <vector>

#include "field.h"
#include "section.h"

struct CONNECTION_T;
class Filebuf;

// Bits of a rule's mode (field 6) and the modes of an exchange.
enum { ICAP_REQMOD = 1, ICAP_RESPMOD = 2 };

// Offsets of a reply's Encapsulated value; -1 for a key that is absent.
struct ICAP_ENCAPSULATION {
    long req_hdr = -1;
    long res_hdr = -1;
    long req_body = -1;
    long res_body = -1;
    long null_body = -1;
};

class ICAPSection : public Section {
public:
    struct ICAP {
        bool enabled = false;   // 0
        std::string comment;    // 1
        StringList profiles;    // 2: empty = every request
        std::string host;       // 3: empty = the rule never applies
        std::string path;       // 4: service path; empty = never applies
        int port = 0;           // 5
        unsigned int mode = 0;  // 6: ICAP_REQMOD | ICAP_RESPMOD
    };
    struct Options {
        const int *enabled = nullptr;  // 0
    } opts;
    std::vector<ICAP> rules;

    ICAPSection();
    ~ICAPSection() override;
    void update() override;

    // 1 when the section is on, the client does not bypass ICAP and a rule
    // with a host and a service path applies for the mode.
    int check_match(CONNECTION_T *connection, int mode);
    // One exchange with the first applicable rule's server: 1 when it
    // completed, 0 when it failed or there was nothing to do.
    int process(CONNECTION_T *connection, Filebuf *body, int mode);
    static int protocol_icap(CONNECTION_T *connection, Filebuf *body, int mode, const std::string &host,
                             const std::string &path, int port);
    static ICAP_ENCAPSULATION encapsulation_parse(const char *value);

private:
    const ICAP *find(CONNECTION_T *connection, int mode);
};

extern ICAPSection *icap_section;

int icap_reqmod(CONNECTION_T *connection, Filebuf *body);
int icap_respmod(CONNECTION_T *connection, Filebuf *body);
int icap_buffcheck(CONNECTION_T *connection, Filebuf *body);

// Registers the three processors, after every section and module; later
// calls change nothing.
void icap_register();

// Builds the section (and sets icap_section), for the section registry.
Section *icap_construct();

#endif
