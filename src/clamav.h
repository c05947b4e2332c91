// ClamAV client: the "clamav" section hands buffered response bodies to
// clamd, over its Unix-domain socket (an address beginning with "/") or TCP.
// The body goes over clamd's STREAM/PORT exchange; a daemon that does not
// know STREAM gets it with INSTREAM instead.
#ifndef KORVANTEL_CLAMAV_H
#define KORVANTEL_CLAMAV_H

#include <string>

#include "scanner.h"

class ClamAVSection : public ScannerSection {
public:
    struct Options {
        const int *enabled = nullptr;                   // 0
        const std::string *address = nullptr;           // 1: socket path or host
        const int *port = nullptr;                      // 2: TCP port
        const std::string *default_template = nullptr;  // 3
    } opts;

    ClamAVSection();
    ~ClamAVSection() override;

protected:
    void job_copy(const ScanRule &rule, ScanJob *job) override;
    ScanResult scan(CONNECTION_T *connection, Filebuf *body, const ScanJob &job) override;
    void log_already_checked() override;
};

extern ClamAVSection *clamav_section;

int clamav_buffcheck(CONNECTION_T *connection, Filebuf *body);
int clamav_respcheck(CONNECTION_T *connection, Filebuf *body);

// Judges clamd's verdict line (with its line end): two words clean, three
// words a virus named by the second, anything else a failure.
ScanResult clamav_verdict(const char *line);

// Builds the section (and sets clamav_section), for the section registry.
Section *clamav_construct();

#endif
