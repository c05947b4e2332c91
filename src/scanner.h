// Virus scanners: the frame shared by the sections that hand buffered
// response bodies to a scanning daemon ("clamav", "fprot", "kaspersky",
// "sophie"). A section has rules selected by profile, a buffer check at
// PROCESSOR_BUFFCHECK and a scan at PROCESSOR_RESPCHECK; a virus sends the
// block page, every failure lets the body pass.
//
// Failing open is made visible: a body that a rule asked to scan and that
// goes out unscanned always leaves one warning line naming the reason, and
// the request is marked CONN_UNSCANNED so that its cache object is never
// taken for one that passed the scanners.
#ifndef KORVANTEL_SCANNER_H
#define KORVANTEL_SCANNER_H

#include <string>
#include <vector>

#include "field.h"
#include "section.h"

struct CONNECTION_T;
class Filebuf;

// One rule of any scanner section: fields 0-3, and F-Prot's 4 and 5.
struct ScanRule {
    bool enabled = false;          // 0
    std::string comment;           // 1
    StringList profiles;           // 2: empty = every request
    std::string template_name;     // 3: empty = the section's default
    unsigned int option_bits = 0;  // 4 (F-Prot)
    int archive_depth = 0;         // 5 (F-Prot)
};

// What a scan needs from the section, copied under its lock.
struct ScanJob {
    std::string address;  // socket path or host
    int port = 0;
    unsigned int option_bits = 0;
    int archive_depth = 0;
};

enum { SCAN_CLEAN = 0, SCAN_INFECTED = 1, SCAN_FAILED = 2 };

struct ScanResult {
    int verdict = SCAN_FAILED;
    std::string why;    // SCAN_FAILED: the reason, for the unscanned line
    bool named = true;  // SCAN_INFECTED: VIRUSNAME and the filtering reason take `name`
    std::string name;
    std::string reason;  // SCAN_INFECTED and not named: filtering reason ("" = none)
};

class ScannerSection : public Section {
public:
    std::vector<ScanRule> rules;

    // scanner: the AVSCANNER value and the prefix of the unscanned line;
    // filter: the log entry's filter name; status: of the block page.
    ScannerSection(const char *name, const char *scanner, const char *filter, int status);
    ~ScannerSection() override;

    void update() override;

    // The first enabled rule whose profiles accept the connection, or null;
    // none when the section is off or the client bypasses the scanners.
    // The caller holds the read lock.
    const ScanRule *find(CONNECTION_T *connection);
    // 1 when the body must be buffered for a scan; 0 when no rule applies
    // or the stored copy already passed the scanners.
    int check_match(CONNECTION_T *connection);
    // Scans the decoded body: 1 when a virus was found and the block page
    // sent, else 0 (clean, or failed open with its line).
    int check_and_block(CONNECTION_T *connection, Filebuf *body);

    const char *scanner_name() const { return scanner_; }

protected:
    const int *enabled_ = nullptr;                   // option "enabled"
    const std::string *default_template_ = nullptr;  // option "default template"

    // Reads one rule from an entry.
    virtual void rule_read(const Item &item, ScanRule *rule);
    // Copies the options a scan needs (read lock held).
    virtual void job_copy(const ScanRule &rule, ScanJob *job) = 0;
    // The exchange with the daemon, with no lock held.
    virtual ScanResult scan(CONNECTION_T *connection, Filebuf *body, const ScanJob &job) = 0;
    // The line of the already-checked shortcut.
    virtual void log_already_checked();
    // F-Prot repeats the already-checked test inside the scan.
    virtual bool clean_skips_scan() const { return false; }

private:
    const char *scanner_;
    const char *filter_;
    int status_;
};

// The rule fields shared by ClamAV, Kaspersky and Sophie.
extern const FIELD_BIND<ScanRule> scan_rule_fields[4];

// True when the connection is reading a stored object that already passed
// the scanners.
bool scan_cached_clean(CONNECTION_T *connection);

// Logs that a body a rule asked to scan goes out unscanned, and marks the
// request so that its cache object is not flagged clean.
void scan_unscanned(CONNECTION_T *connection, const char *scanner, const char *why);

// For a response that is not buffered because of its size: every scanner
// with a rule for it logs that the body goes out unscanned.
void scanners_unbuffered(CONNECTION_T *connection, const char *why);

#endif
