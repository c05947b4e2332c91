#include "logentry.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "clock.h"
#include "compat.h"
#include "lockguard.h"
#include "log.h"
#include "settings.h"
#include "timerange.h"

int slogfd = -1;
int elogfd = -1;
volatile int slogflg = 0;
volatile int elogflg = 0;

const char access_legend[] =
    "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size method url "
    "username peercode/peer mime\n";
const char apache_legend[] =
    "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] \"HTTP_method "
    "proto://url\" status size \"http_referer\" \"useragent\" mime \"filter_name "
    "filtering_reason\" \"comma_separated_list_of_applied_profiles\" "
    "\"interface_ip:interface_port\n";

static const char *const cache_names[] = {
    "UNSPECIFIED",        "TCP_HIT",     "TCP_MISS",     "TCP_REFRESH_HIT", "TCP_REF_FAIL_HIT", "TCP_REFRESH_MISS",
    "TCP_CLIENT_REFRESH", "TCP_IMS_HIT", "TCP_IMS_MISS", "TCP_DENIED",      "UDP_HIT",          "UDP_MISS",
    "UDP_HIT_OBJ",        "UDP_DENIED",  "UDP_INVALID",
};

static const char *const peer_names[] = {
    "NONE",
    "DIRECT",
    "FIREWALL_IP_DIRECT",
    "FIRST_PARENT_MISS",
    "FIRST_UP_PARENT",
    "LOCAL_IP_DIRECT",
    "SIBLING_HIT",
    "NO_DIRECT_FAIL",
    "NO_PARENT_DIRECT",
    "PARENT_HIT",
    "SINGLE_PARENT",
    "SOURCE_FASTEST",
    "PARENT_UDP_HIT_OBJ",
    "SIBLING_UDP_HIT_OBJ",
    "PASSTHROUGH_PARENT",
    "SSL_PARENT_MISS",
    "DEFAULT_PARENT",
    "ROUNDROBIN_PARENT",
    "CLOSEST_PARENT_MISS",
    "CLOEST_DIRECT",
};

static_assert(sizeof cache_names / sizeof *cache_names == CACHECODE_COUNT, "a name for every cache code");
static_assert(sizeof peer_names / sizeof *peer_names == PEERCODE_COUNT, "a name for every peer code");

LogEntry::LogEntry()
    : cachecode_(0),
      peercode_(0),
      client("-"),
      start_time{0, 0},
      end_time{0, 0},
      status(0),
      size(0),
      method(""),
      url("-"),
      username("-"),
      peer("-"),
      mime("-"),
      useragent("-"),
      http_referer("-"),
      filter_name("-"),
      filtering_reason("-"),
      profiles("-"),
      interface_ip(""),
      interface_port(""),
      client_id(0) {
    Reset();
}

void LogEntry::Reset() {
    clock_now(&start_time);
    cachecode_ = 0;
    peercode_ = 0;
    status = 0;
    size = 0;
    url = "-";
    peer = "-";
    mime = "-";
    filter_name = "-";
    filtering_reason = "-";
    profiles = "-";
}

void LogEntry::set_cachecode(int code) { cachecode_ = code; }

void LogEntry::set_peercode(int code) { peercode_ = code; }

const char *LogEntry::cachecode() const {
    if (cachecode_ < 0 || cachecode_ >= (int)(sizeof cache_names / sizeof *cache_names)) return cache_names[0];
    return cache_names[cachecode_];
}

const char *LogEntry::peercode() const {
    if (peercode_ < 0 || peercode_ >= (int)(sizeof peer_names / sizeof *peer_names)) return peer_names[0];
    return peer_names[peercode_];
}

// printf into a string of whatever length the fields need.
static std::string format_record(const char *format, ...) __attribute__((format(printf, 1, 2)));
static std::string format_record(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string text;
    if (n > 0) {
        text.resize((size_t)n + 1);
        vsnprintf(&text[0], (size_t)n + 1, format, again);
        text.resize((size_t)n);
    }
    va_end(again);
    return text;
}

std::string LogEntry::Build() {
    clock_now(&end_time);
    return format_record("\n%u.%.3d %lld %s %s/%d %lld %s %s %s %s/%s %s", (unsigned)start_time.tv_sec,
                         (int)(start_time.tv_usec / 1000), timeval_diff_ms(&start_time, &end_time), client.c_str(),
                         cachecode(), status, size, method.c_str(), url.c_str(), username.c_str(), peercode(),
                         peer.c_str(), mime.c_str());
}

std::string LogEntry::apache_Build() {
    clock_now(&end_time);
    time_t now = end_time.tv_sec;
    struct tm tmv;
    clock_localtime(now, &tmv);
    char date[64];
    if (strftime(date, sizeof date, "[%d/%b/%Y:%H:%M:%S]", &tmv) == 0) date[0] = '\0';
    return format_record(
        "\n\"%u.%.3d-%u-%s-%s\" %lld %s \"%s\" \"%u\" %s \"%s %s\" %d %lld \"%s\" \"%s\" %s \"%s %s\" \"%s\" "
        "\"%s:%s\"",
        (unsigned)start_time.tv_sec, (int)(start_time.tv_usec / 1000), client_id, interface_ip.c_str(),
        interface_port.c_str(), timeval_diff_ms(&start_time, &end_time), client.c_str(), username.c_str(), client_id,
        date, method.c_str(), url.c_str(), status, size, http_referer.c_str(), useragent.c_str(), mime.c_str(),
        filter_name.c_str(), filtering_reason.c_str(), profiles.c_str(), interface_ip.c_str(), interface_port.c_str());
}

static void log_append(const char *path, int *fd, volatile int *flag, const char *legend, const std::string &record,
                       time_t now) {
    if (!path[0]) return;
    {
        RwReadLock shared(&logfile_lock);
        if (*fd != -1 && *flag != -1) {
            ssize_t written = write(*fd, record.data(), record.size());
            (void)written;
            return;
        }
    }
    // Opening (with the legend) and rotating are done alone.
    RwWriteLock held(&logfile_lock);
    // A rotation asked for while the file is closed waits for the next
    // record, so the file is opened first.
    if (*flag == -1 && *fd != -1) {
        *flag = 0;
        log_rotate_file(fd, path, now);
    }
    if (*fd == -1) {
        *fd = log_open_file(path);
        if (*fd == -1) return;
        if (lseek(*fd, 0, SEEK_END) == 0) {
            ssize_t written = write(*fd, legend, strlen(legend));
            (void)written;
        }
    }
    ssize_t written = write(*fd, record.data(), record.size());
    (void)written;
}

// A log that is off costs no record: only the end time is stamped, which
// marks the request as logged.
void LogEntry::Write() {
    if (!slogfile[0]) {
        clock_now(&end_time);
        return;
    }
    std::string record = Build();
    log_append(slogfile, &slogfd, &slogflg, access_legend, record, end_time.tv_sec);
}

void LogEntry::apache_Write() {
    if (!elogfile[0]) {
        clock_now(&end_time);
        return;
    }
    std::string record = apache_Build();
    log_append(elogfile, &elogfd, &elogflg, apache_legend, record, end_time.tv_sec);
}
