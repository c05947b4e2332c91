#include "perflog.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "clientpool.h"
#include "compat.h"
#include "connection.h"
#include "network.h"
#include "serverpool.h"
#include "settings.h"
#include "socket.h"
#include "threads.h"

static PerformanceLog the_performance_log;
PerformanceLog *performance_log = &the_performance_log;

const char performance_legend[] =
    "Time Stamp (YYYYMMDDhhmmss),Elapsed Time,Client Connections Handled,Client Connections Closed,"
    "Client Transactions Handled,Client Connections in Pool,Spare Client Threads,Client Threads in Use,"
    "Client Threads in Waiting,Threads Starting up,Threads Reserved for Prefetching,Threading Errors,"
    "Outbound Connections created,Outbound Connections Failed,Outbound Connection Pool Reused,"
    "Outbound Connections in Pool,Bytes in (KBytes),Bytes Out (KBytes),Caching Objects Created in Memory,"
    "Caching Objects Removed from Memory,DNS Queries Reused,New DNS Queries,DNS Query failures,"
    "Total System Memory (KBytes),Free System Memory (KBytes),Korvantel Virtual Memory (KBytes),"
    "Korvantel Resident Memory (KBytes),Korvantel Shared Memory (KBytes),Korvantel Code Memory (KBytes),"
    "Korvantel Data Memory (KBytes),Korvantel Library Memory (KBytes)\n";

int performance_log_write_invl = 2;
int plogfd = -1;

static uint64_t page_size() {
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? (uint64_t)page : 4096;
}

// Pages to kilobytes in 64 bits, so machines past 4 GiB are shown right.
static uint64_t pages_kb(long pages) { return pages > 0 ? (uint64_t)pages * page_size() / 1024 : 0; }

static const uint64_t total_memory_kb = pages_kb(sysconf(_SC_PHYS_PAGES));

PerformanceLog::PerformanceLog() { gettimeofday(&start, nullptr); }

bool PerformanceLog::read_memory_usage(statm_t *figures) {
    if (!statm_load(figures)) {
        memset(figures, 0, sizeof *figures);
        return false;
    }
    uint64_t *all[7] = {&figures->size,    &figures->resident, &figures->shared, &figures->text,
                        &figures->library, &figures->data,     &figures->dirty};
    for (uint64_t *figure : all) *figure /= 1024;
    return true;
}

std::string PerformanceLog::Build() const {
    statm_t memory;
    read_memory_usage(&memory);
    struct timeval now;
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    int slots[5];
    thread_report_counts(slots);
    unsigned long long elapsed = now.tv_sec > start.tv_sec ? (unsigned long long)(now.tv_sec - start.tv_sec) : 0;

    char line[1024];
    snprintf(line, sizeof line,
             "%s,%llu,%llu,%llu,%llu,%llu,%d,%d,%d,%d,%d,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%llu,"
             "%llu,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%llu\n",
             stamp, elapsed, (unsigned long long)get_connections_handled(),
             (unsigned long long)get_connections_closed(), (unsigned long long)get_requests_completed(),
             (unsigned long long)get_clients_in_pool(), slots[0], slots[1], slots[2], slots[3], slots[4],
             (unsigned long long)get_threading_error(), (unsigned long long)get_new_connection(),
             (unsigned long long)get_connection_fail(), (unsigned long long)get_connection_pool_hit(),
             (unsigned long long)get_connection_pool_size(), (unsigned long long)(get_bytes_in() / 1024),
             (unsigned long long)(get_bytes_out() / 1024), (unsigned long long)get_cache_mmaps_created(),
             (unsigned long long)get_cache_mmaps_deleted(), (unsigned long long)get_dns_hit(),
             (unsigned long long)get_dns_miss(), (unsigned long long)get_dns_fail(),
             (unsigned long long)total_memory_kb, (unsigned long long)pages_kb(sysconf(_SC_AVPHYS_PAGES)),
             (unsigned long long)memory.size, (unsigned long long)memory.resident, (unsigned long long)memory.shared,
             (unsigned long long)memory.text, (unsigned long long)memory.data, (unsigned long long)memory.library);
    return line;
}

static void write_all(int fd, const char *text, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n <= 0) return;  // write errors are ignored; the next line tries again
        text += n;
        length -= (size_t)n;
    }
}

void PerformanceLog::Write() {
    std::string line = Build();
    if (!plogfile[0]) return;
    if (plogfd == -1) {
        int fd = s_open64(plogfile, O_RDWR | O_CREAT | O_CLOEXEC, 0640);
        if (fd == -1) return;  // tried again at the next line
        off_t end = lseek(fd, 0, SEEK_END);
        if (end == 0) write_all(fd, performance_legend, strlen(performance_legend));
        plogfd = fd;
    }
    write_all(plogfd, line.data(), line.size());
}

void *performance_check(void *) {
    for (;;) {
        performance_log->Write();
        usleep((useconds_t)performance_log_write_invl * 1000000);
    }
    return nullptr;
}
