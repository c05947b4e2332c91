// Sophie client: the "sophie" section scans buffered response bodies with
// the Sophie daemon, over its Unix-domain socket (the daemon reads the body
// from a temporary file whose path it is sent) or over TCP (the body is
// streamed to it after a short handshake).
#ifndef KORVANTEL_SOPHIE_H
#define KORVANTEL_SOPHIE_H

#include <string>

#include "scanner.h"

class SophieSection : public ScannerSection {
public:
    struct Options {
        const int *enabled = nullptr;                   // 0
        const std::string *socket = nullptr;            // 1: socket path; empty = TCP with 2 and 3
        const std::string *host = nullptr;              // 2
        const int *port = nullptr;                      // 3
        const std::string *default_template = nullptr;  // 4
    } opts;

    SophieSection();
    ~SophieSection() override;

protected:
    void job_copy(const ScanRule &rule, ScanJob *job) override;
    ScanResult scan(CONNECTION_T *connection, Filebuf *body, const ScanJob &job) override;
};

extern SophieSection *sophie_section;

int sophie_buffcheck(CONNECTION_T *connection, Filebuf *body);
int sophie_respcheck(CONNECTION_T *connection, Filebuf *body);

// Judges a reply of the Unix mode (length bytes, not terminated): "1" and a
// separator then the name, "-1..." an error, anything else clean.
ScanResult sophie_unix_verdict(const char *reply, size_t length);
// Judges the verdict line of the TCP mode: "1" and a separator then the
// name, "-..." an error, anything else clean.
ScanResult sophie_tcp_verdict(const char *line);

// Builds the section (and sets sophie_section), for the section registry.
Section *sophie_construct();

#endif
