// The performance log: a CSV file (option -r) to which a service thread
// appends one line every 2 seconds with the proxy's throughput counters, the
// state of its thread table and its memory figures. The counters are
// program-wide 64-bit totals fed by the network layer, the pools, the worker
// loop and the cache as events happen; `performance_log` holds them.
#ifndef KORVANTEL_PERFLOG_H
#define KORVANTEL_PERFLOG_H

#include <stdint.h>
#include <sys/time.h>

#include <atomic>
#include <string>

#include "stats.h"  // statm_t

// One counter: each feeder changes it with one atomic operation, so feeders
// of different counters never wait for each other.
class PerfCounter {
public:
    uint64_t get() const { return value_.load(std::memory_order_relaxed); }
    void add(uint64_t n) { value_.fetch_add(n, std::memory_order_relaxed); }
    void assign(uint64_t n) { value_.store(n, std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> value_{0};
};

#define PERF_COUNTER(name)                                \
    uint64_t get_##name() const { return name##_.get(); } \
    void set_##name(uint64_t n) { name##_.add(n); }

#define PERF_GAUGE(name)                                  \
    uint64_t get_##name() const { return name##_.get(); } \
    void set_##name(uint64_t n) { name##_.assign(n); }

class PerformanceLog {
public:
    PerformanceLog();

    // The setters of connections_handled, clients_in_pool and
    // connection_pool_size replace the value; the others add to it.
    PERF_COUNTER(threading_error)
    PERF_GAUGE(connection_pool_size)
    PERF_COUNTER(new_connection)
    PERF_COUNTER(connection_fail)
    PERF_COUNTER(connection_pool_hit)
    PERF_COUNTER(dns_fail)
    PERF_COUNTER(dns_hit)
    PERF_COUNTER(bytes_out)
    PERF_COUNTER(bytes_in)
    PERF_GAUGE(clients_in_pool)
    PERF_COUNTER(requests_completed)
    PERF_COUNTER(connections_closed)
    PERF_GAUGE(connections_handled)
    PERF_COUNTER(cache_mmaps_created)
    PERF_COUNTER(cache_mmaps_deleted)
    PERF_COUNTER(dns_miss)

    // The memory figures of "/proc/self/statm" in kilobytes; false (and
    // zeros) when it cannot be read or does not hold seven numbers.
    static bool read_memory_usage(statm_t *figures);
    // One line of the file, with its line end.
    std::string Build() const;
    // Builds a line and appends it to the file (see plogfd).
    void Write();

    struct timeval start;

private:
    PerfCounter threading_error_, connection_pool_size_, new_connection_, connection_fail_, connection_pool_hit_,
        dns_fail_, dns_hit_, bytes_out_, bytes_in_, clients_in_pool_, requests_completed_, connections_closed_,
        connections_handled_, cache_mmaps_created_, cache_mmaps_deleted_, dns_miss_;
};

#undef PERF_COUNTER
#undef PERF_GAUGE

// The program's one set of counters; it exists from program start, so the
// feeders never test for it.
extern PerformanceLog *performance_log;
// The header line of the file: the 31 column names joined by ",", line end.
extern const char performance_legend[];
// Seconds between two lines.
extern int performance_log_write_invl;
// Descriptor of the file named by plogfile; -1 until it has been opened.
extern int plogfd;

// Body of the writer thread: Write, then sleep, for ever.
void *performance_check(void *argument);

#endif
