#include "signals.h"

#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "compat.h"
#include "log.h"
#include "logentry.h"
#include "settings.h"
#include "threads.h"

// Handlers only write the signal number into a pipe; a service thread reads
// it and does the logging. So a handler never waits on a lock that the
// interrupted thread may hold (the log lock, the thread-table lock). Crashes
// are the exception: they write directly and end the process at once.
static int signal_pipe[2] = {-1, -1};

void pidfile_remove() {
    if (pidfile[0]) unlink(pidfile);
}

static void stack_trace() {
    void *frames[20];
    int n = backtrace(frames, 20);
    int fd = logfd != -1 ? logfd : 2;
    backtrace_symbols_fd(frames, n, fd);
}

static void handler(int signo) {
    int saved = errno;
    unsigned char b = (unsigned char)signo;
    if (signal_pipe[1] != -1) {
        ssize_t r = write(signal_pipe[1], &b, 1);
        (void)r;
    }
    errno = saved;
}

// The crashed thread may hold any lock (the log's, the allocator's), so the
// trace and the line are written directly.
[[noreturn]] static void crash_handler(int signo) {
    stack_trace();
    if (signo == SIGABRT) putlog_emergency(LOG_ERROR, "Recieved Signal for IOT trap ");
    else putlog_emergency(LOG_ADVICE, "Recieved Signal for Segmentation violation");
    pidfile_remove();
    // An abort is a failure too: never report it as success.
    _exit(1);
}

static void *signal_thread(void *) {
    for (;;) {
        unsigned char b;
        ssize_t r = read(signal_pipe[0], &b, 1);
        if (r != 1) {
            if (r < 0 && errno == EINTR) continue;
            usleep(100000);
            continue;
        }
        switch (b) {
            case SIGTERM:
                putlog(LOG_ADVICE, "Recieved TERM Signal to EXIT");
                pidfile_remove();
                exit(0);
            case SIGHUP:
                putlog(LOG_ADVICE, "Recieved HUP Signal for cleaning cache and closing all FDs");
                fd_failure();
                break;
            case SIGUSR1:
                putlog(LOG_ADVICE, "Recieved Signal for Log Rotation");
                elogflg = -1;
                slogflg = -1;
                logflg = -1;
                break;
            case SIGUSR2: putlog(LOG_ADVICE, "Recieved Test Signal for USR2"); break;
            case SIGPIPE: putlog(LOG_ERROR, "Recieved Signal for Broken pipe"); break;
            default: break;
        }
    }
    return nullptr;
}

void signal_setup() {
    // backtrace loads its unwinder on first use, which allocates: done in
    // the crash handler it deadlocks when the crash came inside malloc.
    void *frame;
    backtrace(&frame, 1);
    if (signal_pipe[0] == -1) {
        if (pipe(signal_pipe) != 0) {
            putlog(LOG_ERROR, "[system: pipe:%d:%s], in %s, failed to create signal pipe", errno, strerror(errno),
                   "signal_setup");
            signal_pipe[0] = signal_pipe[1] = -1;
        } else {
            fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
            fcntl(signal_pipe[0], F_SETFD, FD_CLOEXEC);
            fcntl(signal_pipe[1], F_SETFD, FD_CLOEXEC);
        }
    }
    struct {
        int signo;
        void (*function)(int);
    } table[] = {
        {SIGTERM, handler},       {SIGHUP, handler},        {SIGUSR1, handler}, {SIGUSR2, handler},
        {SIGABRT, crash_handler}, {SIGSEGV, crash_handler}, {SIGPIPE, handler},
    };
    for (auto &t : table) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = t.function;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(t.signo, &sa, nullptr);
    }
    if (signal_pipe[0] != -1) thread_create_internal(signal_thread, nullptr);
}
