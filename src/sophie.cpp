#include "sophie.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "log.h"
#include "network.h"
#include "processors.h"
#include "socket.h"

SophieSection *sophie_section = nullptr;

// Longest reply of the Unix mode, longest line of the TCP mode, and the
// pieces the body is streamed in.
#define SOPHIE_REPLY_MAX 512
#define SOPHIE_LINE_MAX 256
#define SOPHIE_PIECE 512

static const FIELD_BIND<SophieSection::Options> sophie_options[] = {
    FIELD_BIND_OF(SophieSection::Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(SophieSection::Options, 1, "socket", FIELD_STRING, socket),
    FIELD_BIND_OF(SophieSection::Options, 2, "host", FIELD_STRING, host),
    FIELD_BIND_OF(SophieSection::Options, 3, "port", FIELD_INT, port),
    FIELD_BIND_OF(SophieSection::Options, 4, "template", FIELD_STRING, default_template),
};

Section *sophie_construct() {
    sophie_section = new SophieSection();
    return sophie_section;
}

SophieSection::SophieSection() : ScannerSection("sophie", "Sophie", "Sophie", 403) {
    options_bind(sophie_options, &opts);
    fields_declare(0, scan_rule_fields);
    enabled_ = opts.enabled;
    default_template_ = opts.default_template;
    processors.Add(sophie_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(sophie_buffcheck, PROCESSOR_BUFFCHECK);
}

SophieSection::~SophieSection() {
    if (sophie_section == this) sophie_section = nullptr;
}

int sophie_buffcheck(CONNECTION_T *connection, Filebuf *) {
    return sophie_section ? sophie_section->check_match(connection) : 0;
}

int sophie_respcheck(CONNECTION_T *connection, Filebuf *body) {
    return sophie_section ? sophie_section->check_and_block(connection, body) : 0;
}

void SophieSection::job_copy(const ScanRule &, ScanJob *job) {
    if (!opts.socket->empty()) {
        job->address = *opts.socket;
        job->port = 0;
    } else {
        job->address = *opts.host;
        job->port = *opts.port;
    }
}

static std::string line_end_removed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

ScanResult sophie_unix_verdict(const char *reply, size_t length) {
    std::string text(reply, length);
    size_t lf = text.find('\n');
    if (lf != std::string::npos) text.resize(lf);
    ScanResult result;
    if (!text.empty() && text[0] == '1') {
        result.verdict = SCAN_INFECTED;
        result.name = text.size() > 2 ? line_end_removed(text.substr(2)) : "";
    } else if (text.compare(0, 2, "-1") == 0) {
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        result.why = "the Sophie daemon reported an error: " + line_end_removed(text);
    } else {
        putlog(LOG_ANTIVIRUS, "no viruses detected by Sophie");
        result.verdict = SCAN_CLEAN;
    }
    return result;
}

ScanResult sophie_tcp_verdict(const char *line) {
    std::string text = line_end_removed(line);
    ScanResult result;
    if (!text.empty() && text[0] == '1') {
        result.verdict = SCAN_INFECTED;
        result.name = text.size() > 2 ? text.substr(2) : "";
    } else if (!text.empty() && text[0] == '-') {
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        result.why = "the Sophie daemon reported an error: " + text;
    } else {
        putlog(LOG_ANTIVIRUS, "No virus Found");
        result.verdict = SCAN_CLEAN;
    }
    return result;
}

namespace {

ScanResult unix_scan(Filebuf *body, const ScanJob &job, int timeout) {
    ScanResult result;
    int fd = net_unix_connect(job.address.c_str());
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Sophie daemon failed");
        result.why = "Sophie daemon not reachable on " + job.address;
        return result;
    }
    Socket daemon(fd);
    TempFile file;
    if (!file.create(body, &result.why)) return result;
    // The daemon runs as its own user and reads the file itself.
    chmod(file.path().c_str(), 0644);
    if (daemon.PutSock("%s\n", file.path().c_str()) < 0) putlog(LOG_ANTIVIRUS, "cann't write into socket");
    daemon.Flush();
    char reply[SOPHIE_REPLY_MAX];
    int n = daemon.Read(reply, sizeof reply, timeout);
    if (n <= 0) {
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        result.why = n == 0 ? "the Sophie daemon closed the connection without a verdict"
                            : "no verdict from the Sophie daemon within " + std::to_string(timeout) + " seconds";
        return result;
    }
    return sophie_unix_verdict(reply, (size_t)n);
}

// A TCP connection to host:port, waiting at most timeout seconds; -1 and a
// log line when the name does not resolve or no address answers.
int tcp_connect(const ScanJob &job, int timeout, std::string *why) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    std::string port = std::to_string(job.port);
    if (getaddrinfo(job.address.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        putlog(LOG_ANTIVIRUS, "Unknown host %s \n", job.address.c_str());
        *why = "the Sophie host " + job.address + " does not resolve";
        return -1;
    }
    int fd = s_socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (fd >= 0) {
        struct timeval wait = {timeout > 0 ? timeout : 0, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        if (job.port <= 0 || connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Sophie failed");
        *why = "Sophie daemon not reachable on " + job.address + ":" + std::to_string(job.port);
    }
    return fd;
}

ScanResult tcp_scan(Filebuf *body, const ScanJob &job, int timeout) {
    ScanResult result;
    int fd = tcp_connect(job, timeout, &result.why);
    if (fd < 0) return result;
    Socket daemon(fd);
    TempFile file;
    if (!file.create(body, &result.why)) return result;
    chmod(file.path().c_str(), 0644);
    struct stat status;
    if (stat(file.path().c_str(), &status) != 0) {
        result.why = "cannot read the size of " + file.path();
        return result;
    }
    std::string name = file.path().substr(file.path().rfind('/') + 1);
    if (daemon.PutSock("%s/%lld\n", name.c_str(), (long long)status.st_size) < 0)
        putlog(LOG_ANTIVIRUS, "write: %s", strerror(errno));
    daemon.Flush();
    char line[SOPHIE_LINE_MAX];
    int n = daemon.GetLine(line, sizeof line, timeout);
    if (n <= 0 || strncmp(line, "OK", 2) != 0) {
        putlog(LOG_ANTIVIRUS, "'OK' not returned from Sophie");
        result.why = n > 0 ? "the Sophie daemon refused the body: " + line_end_removed(line)
                           : "no answer from the Sophie daemon";
        return result;
    }
    int in = s_open(file.path().c_str(), O_RDONLY, 0);
    if (in < 0) {
        putlog(LOG_ANTIVIRUS, "cannot open file");
        result.why = "cannot open " + file.path();
        return result;
    }
    char piece[SOPHIE_PIECE];
    for (;;) {
        ssize_t got = read(in, piece, sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (daemon.Write(piece, (int)got) < 0) break;
    }
    close(in);
    daemon.Flush();
    n = daemon.GetLine(line, sizeof line, timeout);
    if (n <= 0) {
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        result.why = n == 0 ? "the Sophie daemon closed the connection without a verdict"
                            : "no verdict from the Sophie daemon within " + std::to_string(timeout) + " seconds";
        return result;
    }
    return sophie_tcp_verdict(line);
}

}  // namespace

ScanResult SophieSection::scan(CONNECTION_T *connection, Filebuf *body, const ScanJob &job) {
    int timeout = general_timeout(connection);
    ScanResult result =
        !job.address.empty() && job.address[0] == '/' ? unix_scan(body, job, timeout) : tcp_scan(body, job, timeout);
    if (result.verdict == SCAN_INFECTED) putlog(LOG_ANTIVIRUS, "detected %s virus with Sophie", result.name.c_str());
    return result;
}
