// Kaspersky client: the "kaspersky" section writes a buffered response body
// to a temporary file and sends its path to the Kaspersky daemon over its
// Unix-domain socket in a "SCAN" command; the daemon answers with lines
// that start with number codes.
#ifndef KORVANTEL_KASPERSKY_H
#define KORVANTEL_KASPERSKY_H

#include <string>

#include "scanner.h"

class Socket;

class KasperskySection : public ScannerSection {
public:
    struct Options {
        const int *enabled = nullptr;                   // 0
        const std::string *default_template = nullptr;  // 1
        const std::string *socket = nullptr;            // 2: the daemon's socket path
    } opts;

    KasperskySection();
    ~KasperskySection() override;

protected:
    void job_copy(const ScanRule &rule, ScanJob *job) override;
    ScanResult scan(CONNECTION_T *connection, Filebuf *body, const ScanJob &job) override;
};

extern KasperskySection *kaspersky_section;

int kaspersky_buffcheck(CONNECTION_T *connection, Filebuf *body);
int kaspersky_respcheck(CONNECTION_T *connection, Filebuf *body);

// Reads the daemon's reply lines up to a final code: SCAN_INFECTED with the
// name of the last 322 line, SCAN_CLEAN for 220, SCAN_FAILED with the reason
// for an unknown code (logged as a warning), a closed connection or a read
// that times out: the body then passes without a verdict.
ScanResult kaspersky_reply(Socket &daemon, int timeout);

// Builds the section (and sets kaspersky_section), for the section registry.
Section *kaspersky_construct();

#endif
