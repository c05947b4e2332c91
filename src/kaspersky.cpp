#include "kaspersky.h"

#include <stdlib.h>
#include <string.h>

#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "log.h"
#include "network.h"
#include "processors.h"
#include "socket.h"

KasperskySection *kaspersky_section = nullptr;

// Longest reply line, and longest virus name kept.
#define KASPERSKY_LINE_MAX 1024
#define KASPERSKY_NAME_MAX 127

static const FIELD_BIND<KasperskySection::Options> kaspersky_options[] = {
    FIELD_BIND_OF(KasperskySection::Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(KasperskySection::Options, 1, "template", FIELD_STRING, default_template),
    FIELD_BIND_OF(KasperskySection::Options, 2, "socket", FIELD_STRING, socket),
};

Section *kaspersky_construct() {
    kaspersky_section = new KasperskySection();
    return kaspersky_section;
}

KasperskySection::KasperskySection() : ScannerSection("kaspersky", "Kaspersky", "Kaspersky", 403) {
    options_bind(kaspersky_options, &opts);
    fields_declare(0, scan_rule_fields);
    enabled_ = opts.enabled;
    default_template_ = opts.default_template;
    processors.Add(kaspersky_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(kaspersky_buffcheck, PROCESSOR_BUFFCHECK);
}

KasperskySection::~KasperskySection() {
    if (kaspersky_section == this) kaspersky_section = nullptr;
}

int kaspersky_buffcheck(CONNECTION_T *connection, Filebuf *) {
    return kaspersky_section ? kaspersky_section->check_match(connection) : 0;
}

int kaspersky_respcheck(CONNECTION_T *connection, Filebuf *body) {
    return kaspersky_section ? kaspersky_section->check_and_block(connection, body) : 0;
}

void KasperskySection::job_copy(const ScanRule &, ScanJob *job) { job->address = *opts.socket; }

ScanResult kaspersky_reply(Socket &daemon, int timeout) {
    ScanResult result;
    char line[KASPERSKY_LINE_MAX];
    for (;;) {
        int n = daemon.GetLine(line, sizeof line, timeout);
        if (n <= 0) {
            result.why = n == 0 ? "the Kaspersky daemon closed the connection without a verdict"
                                : "no verdict from the Kaspersky daemon within " + std::to_string(timeout) + " seconds";
            break;
        }
        int code = atoi(line);
        if (code == 201 || code == 321 || code == 325) continue;
        if (code == 322) {
            // The code, one separator, then the name up to its first blank.
            size_t length = strlen(line);
            std::string name = length > 4 ? std::string(line + 4) : std::string();
            if (name.size() > KASPERSKY_NAME_MAX) name.resize(KASPERSKY_NAME_MAX);
            size_t end = name.find_first_of(" \t\r\n");
            if (end != std::string::npos) name.resize(end);
            result.name = name;
            continue;
        }
        if (code == 220) {
            result.verdict = SCAN_CLEAN;
            break;
        }
        if (code == 230) {
            result.verdict = SCAN_INFECTED;
            break;
        }
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        putlog(LOG_WARNING, "unknown response from Kaspersky daemon: %s", text.c_str());
        result.why = "unknown response from the Kaspersky daemon: " + text;
        break;
    }
    return result;
}

ScanResult KasperskySection::scan(CONNECTION_T *connection, Filebuf *body, const ScanJob &job) {
    ScanResult result;
    int fd = net_unix_connect(job.address.c_str());
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Kaspersky daemon failed");
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        result.why = "Kaspersky daemon not reachable on " + job.address;
        return result;
    }
    Socket daemon(fd);
    TempFile file;
    if (!file.create(body, &result.why)) {
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        return result;
    }
    daemon.PutSock("SCAN xmQPRSTUWabcdefghi %s\r\n", file.path().c_str());
    daemon.Flush();
    result = kaspersky_reply(daemon, general_timeout(connection));
    daemon.PutSock("QUIT\r\n");
    daemon.Flush();
    if (result.verdict == SCAN_INFECTED) {
        putlog(LOG_ANTIVIRUS, "detected %s virus with Kaspersky", result.name.c_str());
        return result;
    }
    if (result.verdict == SCAN_CLEAN) putlog(LOG_ANTIVIRUS, "no viruses detected by Kaspersky");
    return result;
}
