// F-Prot client: the "fprot" section writes a buffered response body to a
// temporary file and asks the F-Prot daemon, an HTTP server on one of the
// loopback ports 10200 to 10204, to scan that file; the verdict comes back
// as an XML document.
#ifndef KORVANTEL_FPROT_H
#define KORVANTEL_FPROT_H

#include <string>

#include "scanner.h"

// Ports tried in turn, from the first up to but not including the last.
#define FPROT_PORT_FIRST 10200
#define FPROT_PORT_END 10205

// Bits of a rule's scan options (field 4).
enum {
    FPROT_ARCHIVE = 1,
    FPROT_PACKED = 2,
    FPROT_AI = 4,
    FPROT_NOHEUR = 8,
    FPROT_NOMACRO = 16,
    FPROT_ONLYMACRO = 32,
};

class FProtSection : public ScannerSection {
public:
    struct Options {
        const int *enabled = nullptr;                   // 0
        const std::string *default_template = nullptr;  // 1
    } opts;

    FProtSection();
    ~FProtSection() override;

protected:
    void rule_read(const Item &item, ScanRule *rule) override;
    void job_copy(const ScanRule &rule, ScanJob *job) override;
    ScanResult scan(CONNECTION_T *connection, Filebuf *body, const ScanJob &job) override;
    bool clean_skips_scan() const override { return true; }
};

extern FProtSection *fprot_section;

int fprot_buffcheck(CONNECTION_T *connection, Filebuf *body);
int fprot_respcheck(CONNECTION_T *connection, Filebuf *body);

// The query of a scan: the options of the bits, then "-remote-dtd%20".
std::string fprot_query(unsigned int bits, int archive_depth);
// Judges the daemon's XML answer (logging as the scan does).
ScanResult fprot_verdict(Filebuf *answer);

// Builds the section (and sets fprot_section), for the section registry.
Section *fprot_construct();

#endif
