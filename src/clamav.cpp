#include "clamav.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "log.h"
#include "misc.h"
#include "network.h"
#include "processors.h"
#include "socket.h"

ClamAVSection *clamav_section = nullptr;

// Longest line read from clamd.
#define CLAMAV_LINE_MAX 1024
// Largest piece of an INSTREAM body.
#define CLAMAV_CHUNK_MAX 65536

static const FIELD_BIND<ClamAVSection::Options> clamav_options[] = {
    FIELD_BIND_OF(ClamAVSection::Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(ClamAVSection::Options, 1, "address", FIELD_STRING, address),
    FIELD_BIND_OF(ClamAVSection::Options, 2, "port", FIELD_INT, port),
    FIELD_BIND_OF(ClamAVSection::Options, 3, "template", FIELD_STRING, default_template),
};

Section *clamav_construct() {
    clamav_section = new ClamAVSection();
    return clamav_section;
}

ClamAVSection::ClamAVSection() : ScannerSection("clamav", "ClamAV", "ClamAV", 403) {
    options_bind(clamav_options, &opts);
    fields_declare(0, scan_rule_fields);
    enabled_ = opts.enabled;
    default_template_ = opts.default_template;
    processors.Add(clamav_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(clamav_buffcheck, PROCESSOR_BUFFCHECK);
}

ClamAVSection::~ClamAVSection() {
    if (clamav_section == this) clamav_section = nullptr;
}

int clamav_buffcheck(CONNECTION_T *connection, Filebuf *) {
    return clamav_section ? clamav_section->check_match(connection) : 0;
}

int clamav_respcheck(CONNECTION_T *connection, Filebuf *body) {
    return clamav_section ? clamav_section->check_and_block(connection, body) : 0;
}

void ClamAVSection::log_already_checked() { putlog(LOG_DEBUG, "ClamAV: cached file already checked for viruses"); }

void ClamAVSection::job_copy(const ScanRule &, ScanJob *job) {
    job->address = *opts.address;
    job->port = *opts.port;
}

ScanResult clamav_verdict(const char *line) {
    ScanResult result;
    char **words = string_break(line, ' ');
    int count = array_length(words);
    if (count == 2) {
        result.verdict = SCAN_CLEAN;
    } else if (count == 3) {
        result.verdict = SCAN_INFECTED;
        result.name = words[1];
    } else {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        result.why = "unexpected verdict from clamd: " + text;
    }
    array_free(words);
    return result;
}

namespace {

bool unix_mode(const ScanJob &job) { return !job.address.empty() && job.address[0] == '/'; }

// The control connection, or -1 after the advice line.
int control_connect(const ScanJob &job, std::string *why) {
    if (unix_mode(job)) {
        int fd = net_unix_connect(job.address.c_str());
        if (fd < 0) {
            putlog(LOG_ADVICE, "ClamAV: Please Verify that ClamAV is listening on %s", job.address.c_str());
            *why = "clamd not reachable on " + job.address;
        }
        return fd;
    }
    int fd = net_connect(job.address.c_str(), job.port);
    if (fd < 0) {
        putlog(LOG_ADVICE, "ClamAV: Please Verify that ClamAV is listening on %s:%d", job.address.c_str(), job.port);
        *why = "clamd not reachable on " + job.address + ":" + std::to_string(job.port);
        return -1;
    }
    return fd;
}

// Reads one line; false with the reason when none came.
bool line_get(Socket &socket, char *line, int timeout, std::string *why) {
    int n = socket.GetLine(line, CLAMAV_LINE_MAX, timeout);
    if (n > 0) return true;
    *why = n == 0 ? "clamd closed the connection without an answer"
                  : "no answer from clamd within " + std::to_string(timeout) + " seconds";
    return false;
}

// The body over STREAM's data port; the verdict line into line.
bool stream_send(Socket &control, const ScanJob &job, int port, Filebuf *body, char *line, int timeout,
                 std::string *why) {
    const char *host = unix_mode(job) ? "127.0.0.1" : job.address.c_str();
    int fd = net_connect(host, port);
    if (fd < 0) {
        *why = "cannot connect to clamd's data port " + std::to_string(port);
        return false;
    }
    {
        Socket data(fd);
        if (data.WriteFilebuf(body) < 0) {
            *why = "cannot send the body to clamd's data port";
            return false;
        }
    }
    if (!line_get(control, line, timeout, why)) {
        putlog(LOG_ADVICE, "ClamAV: Please Verify the Socket Read Permissions");
        return false;
    }
    return true;
}

// The body over INSTREAM on a new control connection: length-prefixed
// pieces ended by a piece of length 0.
bool instream_send(const ScanJob &job, Filebuf *body, char *line, int timeout, std::string *why) {
    int fd = control_connect(job, why);
    if (fd < 0) return false;
    Socket control(fd);
    control.PutSock("nINSTREAM\n");
    long long size = body && body->data ? body->size : 0;
    for (long long offset = 0; offset < size; offset += CLAMAV_CHUNK_MAX) {
        uint32_t n = (uint32_t)(size - offset < CLAMAV_CHUNK_MAX ? size - offset : CLAMAV_CHUNK_MAX);
        uint32_t prefix = htonl(n);
        if (control.Write((const char *)&prefix, 4) < 0 || control.Write(body->data + offset, (int)n) < 0) {
            *why = "cannot send the body to clamd";
            return false;
        }
    }
    uint32_t end = 0;
    if (control.Write((const char *)&end, 4) < 0) {
        *why = "cannot send the body to clamd";
        return false;
    }
    control.Flush();
    if (!line_get(control, line, timeout, why)) {
        putlog(LOG_ADVICE, "ClamAV: Please Verify the Socket Read Permissions");
        return false;
    }
    return true;
}

}  // namespace

ScanResult ClamAVSection::scan(CONNECTION_T *connection, Filebuf *body, const ScanJob &job) {
    ScanResult result;
    int timeout = general_timeout(connection);
    char line[CLAMAV_LINE_MAX];
    bool answered = false;
    int fd = control_connect(job, &result.why);
    if (fd >= 0) {
        Socket control(fd);
        control.PutSock("STREAM\n");
        control.Flush();
        if (!line_get(control, line, timeout, &result.why)) {
            putlog(LOG_ADVICE, "ClamAV: Please Verify the Socket Write Permissions");
        } else {
            int port = 0;
            if (sscanf(line, "PORT %d", &port) == 1) {
                answered = stream_send(control, job, port, body, line, timeout, &result.why);
            } else if (strncmp(line, "UNKNOWN COMMAND", 15) == 0) {
                putlog(LOG_DEBUG, "ClamAV: STREAM unknown to the daemon, sending INSTREAM");
                answered = instream_send(job, body, line, timeout, &result.why);
            } else {
                std::string text(line);
                while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
                result.why = "unexpected answer to STREAM from clamd: " + text;
            }
        }
    }
    if (answered) {
        result = clamav_verdict(line);
        if (result.verdict == SCAN_CLEAN) {
            putlog(LOG_DEBUG, "ClamAV: no viruses found");
            return result;
        }
        if (result.verdict == SCAN_INFECTED) {
            putlog(LOG_ANTIVIRUS, "ClamAV: detected %s virus", result.name.c_str());
            return result;
        }
    }
    putlog(LOG_ANTIVIRUS, "error: ClamAV: failed to check file for viruses");
    return result;
}
