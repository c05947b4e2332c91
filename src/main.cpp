// Program entry: command line, daemonising, privilege drop, PID file, then
// the start-up sequence and the accept loop.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "cipher.h"
#include "compat.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "ntlm_talk.h"
#include "settings.h"
#include "startup.h"
#include "threads.h"

static void show_help(char **argv) {
    fprintf(stderr, "\n%s", PRODUCT_NAME);
    fprintf(stderr, "\n%s", RELEASE_LABEL);
    fprintf(stderr, " - VERSION - %s - BUILD - %d", VERSION, RELEASE_BUILD);
    fprintf(stderr, "\nUsage: %s [options]\n\n", argv[0]);
    fputs(
        " -c <file>            : location of config file (required)\n"
        " -s <file>            : location of section file (required)\n"
        " -l <file>            : file to log activity to (native log)\n"
        " -a <file>            : alternate format log file (access log)\n"
        " -e <file>            : alternate format log file (extended log)\n"
        " -H <hostname>        : proxy's hostname (overrides configuration file)\n"
        " -L <ip:port>         : specify address and port to listen on\n"
        " -M <host:port>       : master host and port to syncronize configuration from\n"
        "                        (user:password@host:port gives the master's web interface login)\n"
        " -S <sections>        : comma separated list of sections to syncronize from master (default: all "
        "sections)\n"
        " -E <sections>        : comma separated list of sections to not syncronize from master (default: none)\n"
        " -I <seconds>         : time interval between syncronization attempts to master\n"
        " -m <dir>             : module directory\n",
        stderr);
    fprintf(stderr, " -y <dir>             : directory of the NTLM authentication daemon's socket (default: %s)\n",
            "/var/run/httpauthd/");
    fputs(
        " -p <file>            : PID file\n"
        " -u <username>        : run as alternate user\n"
        " -g <groupname>       : run in alternate group\n",
        stderr);
    fprintf(stderr, " -x <pam>             : set the file containing PAM directives (default: %s) \n", "korvantel");
    fprintf(stderr, " -P <size:age>        : set the maximum size and age of the password_cache (default: %d:%d)\n",
            100, 600);
    fprintf(stderr,
            " -t <max_threads>     : specify the maximum number of allowed concurrent threads (less than: %d)\n",
            MAX_THREAD_SLOTS);
    fprintf(stderr,
            " -z <stack_size>      : specify the base value for thread stacksize (Default of 20, sets the stack "
            "size to %d) \n",
            1048576);
    fprintf(stderr,
            " -T <thread_timeout>  : specify the time in seconds for a thread to wait for another connection "
            "(default: %d)\n",
            THREAD_TIMEOUT);
    fprintf(stderr,
            " -C <socket_timeout>  : specify the minimum time in seconds for a Client socket to be presumed "
            "available (default: %d)\n",
            CLIENT_POOL_TIMEOUT);
    fprintf(stderr, " -b <SND_BUF:RCV_BUF>  : specify the TCP Send and Recieve Buffer sizes (default: %d:%d)\n",
            SND_BUF, RCV_BUF);
    fprintf(stderr,
            " -k <keepidle_time:keepalive_intvl:keepalive_count>  : specify the TCP Keepalive parameters (default: "
            "%d:%d:%d)\n",
            TCP_KEEPIDLE_TIME, TCP_KEEPINTVL_TIME, TCP_KEEPCNT_COUNTS);
    fprintf(stderr, " -o <overload_factor> : overload factor (default: %d)\n", 1);
    fputs(
        " -f                   : don't daemonize (log written to stdout)\n"
        " -h                   : show this help, message and exit \n"
        " -v                   : show korvantel version, and exit \n",
        stderr);
    fprintf(stderr, " -d <level>           : set log level (default: %d)\n\n", loglevel);
    fputs(" Add any of the following to specify logging detail:\n", stderr);
    for (int bit = 1; bit <= 134217728; bit <<= 1) {
        const char *name = log_helpname(bit);
        if (name) fprintf(stderr, " %9d = %s\n", bit, name);
    }
}

static int xpow(int n) {
    if (n <= 0) return 1;
    // Past 2^30 the int would overflow; a 1 GiB stack is already absurd.
    if (n > 30) n = 30;
    return 1 << n;
}

static int number(const char *text) { return (int)strtol(text, nullptr, 10); }

static void dir_option(char *target, size_t width, const char *value) {
    s_strncpy(target, value, width);
    size_t n = strlen(target);
    if (n == 0 || target[n - 1] != '/') s_strncat(target, "/", width);
}

// Returns 0 when the file now holds our pid, the pid of a live process it
// names, or 1 when it cannot be written.
static int pid_check(const char *path) {
    FILE *f = s_fopen(path, "r");
    if (f) {
        long pid = 0;
        int got = fscanf(f, "%ld", &pid);
        fclose(f);
        // Only a real other process counts: 0 or -1 would probe process groups.
        if (got == 1 && pid > 0 && pid <= INT_MAX && pid != (long)getpid() && kill((pid_t)pid, 0) == 0) return (int)pid;
    }
    unlink(path);
    int fd = s_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 1;
    char text[32];
    int n = snprintf(text, sizeof text, "%u\n", (unsigned)getpid());
    bool ok = write(fd, text, n) == n;
    if (close(fd) != 0) ok = false;
    return ok ? 0 : 1;
}

static void fix_gid() {
    if (!group[0]) {
        struct group *g = getgrgid(getgid());
        if (g) s_strncpy(group, g->gr_name, sizeof group);
        else snprintf(group, sizeof group, "%d", (int)getgid());
        return;
    }
    struct group *g = getgrnam(group);
    if (!g) {
        fprintf(stderr, "getgrnam: unknown group\n");
        exit(1);
    }
    if (setgid(g->gr_gid) != 0) {
        perror("setgid");
        exit(1);
    }
}

static void fix_uid() {
    if (!username[0]) {
        struct passwd *p = getpwuid(getuid());
        if (p) s_strncpy(username, p->pw_name, sizeof username);
        else snprintf(username, sizeof username, "%d", (int)getuid());
        return;
    }
    struct passwd *p = getpwnam(username);
    if (!p) {
        fprintf(stderr, "getpwnam: unknown user\n");
        exit(1);
    }
    // Supplementary groups of root must not survive the drop.
    if (getuid() == 0 && initgroups(p->pw_name, getgid()) != 0) {
        perror("initgroups");
        exit(1);
    }
    if (setuid(p->pw_uid) != 0) {
        perror("setuid");
        exit(1);
    }
}

static void null_stdio() {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return;
    for (int i = 0; i < 3; i++)
        if (fd != i) dup2(fd, i);
    if (fd > 2) close(fd);
}

// "-L ip:port" and "-M host:port": the part before the colon (at most
// width - 1 characters) and the port after it.
static void host_port_option(char **argv, const char *value, char *host, size_t width, int *port) {
    const char *colon = strchr(value, ':');
    if (!colon || (size_t)(colon - value) > width - 1) {
        show_help(argv);
        exit(1);
    }
    s_strncpy(host, value, (size_t)(colon - value) + 1);
    *port = number(colon + 1);
}

// "-M [user:password@]host:port": the login of the master's interface, when
// given, before the last "@"; the user ends at the first colon.
static void master_option(char **argv, const char *value) {
    const char *at = strrchr(value, '@');
    if (at) {
        const char *colon = (const char *)memchr(value, ':', (size_t)(at - value));
        size_t user_length = colon ? (size_t)(colon - value) : 0;
        size_t password_length = colon ? (size_t)(at - colon - 1) : 0;
        if (!colon || user_length == 0 || user_length >= sizeof masteruser || password_length == 0 ||
            password_length >= sizeof masterpassword) {
            show_help(argv);
            exit(1);
        }
        s_strncpy(masteruser, value, user_length + 1);
        s_strncpy(masterpassword, colon + 1, password_length + 1);
        value = at + 1;
    }
    host_port_option(argv, value, masterhost, sizeof masterhost, &masterport);
    slave = 1;
}

// "-P size:age"; 0:0 turns the password cache off.
static void password_cache_option(char **argv, const char *value) {
    const char *colon = strchr(value, ':');
    if (!colon) {
        show_help(argv);
        exit(1);
    }
    int size = number(value), age = number(colon + 1);
    if (size > 0 || age > 0) {
        // A cache that stays on needs room for at least one entry.
        if (size < 1) {
            show_help(argv);
            exit(1);
        }
        password_cachesize = size;
        password_cachexpire = age;
        authflag = 0;
    } else if (size == 0 && age == 0) {
        authflag = 1;
    }
}

static void threads_option(char **argv, const char *value) {
    int n = number(value);
    if (n < 1) {
        // No slot would be left, not even for the main thread.
        show_help(argv);
        exit(1);
    }
    if (n <= MAX_THREAD_SLOTS) MAXTHREADS = n;
}

// "-b SND_BUF:RCV_BUF"
static void buffers_option(const char *value) {
    char **parts = string_break(value, ':');
    if (array_length(parts) == 2) {
        int snd = number(parts[0]), rcv = number(parts[1]);
        if (snd > 0) SND_BUF = snd;
        if (rcv > 0) RCV_BUF = rcv;
        if (SND_BUF > 0 && RCV_BUF > 0) BLOCKSIZE = SND_BUF < RCV_BUF ? SND_BUF : RCV_BUF;
    }
    array_free(parts);
}

// "-k idle:interval:count"
static void keepalive_option(const char *value) {
    char **parts = string_break(value, ':');
    if (array_length(parts) == 3) {
        int idle = number(parts[0]), intvl = number(parts[1]), cnt = number(parts[2]);
        if (idle > 0) TCP_KEEPIDLE_TIME = idle;
        if (intvl > 0) TCP_KEEPINTVL_TIME = intvl;
        if (cnt > 0) TCP_KEEPCNT_COUNTS = cnt;
    }
    array_free(parts);
}

static void options_read(int argc, char **argv) {
    int c;
    while ((c = getopt(argc, argv, "hfvp:t:L:H:M:m:S:E:I:c:s:l:d:u:g:r:a:e:x:z:P:T:C:o:b:k:y:")) != -1) {
        switch (c) {
            case 'h': show_help(argv); exit(0);
            case 'v':
                printf("%s - VERSION - %s - BUILD - %d\n", RELEASE_LABEL, VERSION, get_my_release_build());
                exit(0);
            case 'f': daemonize = 0; break;
            case 'c': s_strncpy(configfile, optarg, sizeof configfile); break;
            case 's': s_strncpy(sectionfile, optarg, sizeof sectionfile); break;
            case 'l': s_strncpy(logfile, optarg, sizeof logfile); break;
            case 'a': s_strncpy(slogfile, optarg, sizeof slogfile); break;
            case 'e': s_strncpy(elogfile, optarg, sizeof elogfile); break;
            case 'r': s_strncpy(plogfile, optarg, sizeof plogfile); break;
            case 'd': loglevel = number(optarg); break;
            case 'H': s_strncpy(proxyhost, optarg, sizeof proxyhost); break;
            case 'L': host_port_option(argv, optarg, listenip, sizeof listenip, &listenport); break;
            case 'M': master_option(argv, optarg); break;
            case 'S': s_strncpy(syncsections, optarg, sizeof syncsections); break;
            case 'E': s_strncpy(nosyncsections, optarg, sizeof nosyncsections); break;
            case 'I': syncinterval = number(optarg); break;
            case 'm': dir_option(moduledir, sizeof moduledir, optarg); break;
            case 'y': dir_option(ntlmsockdir, sizeof ntlmsockdir, optarg); break;
            case 'p': s_strncpy(pidfile, optarg, sizeof pidfile); break;
            case 'u': s_strncpy(username, optarg, sizeof username); break;
            case 'g': s_strncpy(group, optarg, sizeof group); break;
            case 'x': s_strncpy(pamfile, optarg, sizeof pamfile); break;
            case 'P': password_cache_option(argv, optarg); break;
            case 't': threads_option(argv, optarg); break;
            case 'z': {
                int stack = xpow(number(optarg));
                max_opt_stack = stack < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stack;
                break;
            }
            case 'T': THREAD_TIMEOUT = number(optarg); break;
            case 'C': CLIENT_POOL_TIMEOUT = number(optarg); break;
            case 'o': overload_factor = number(optarg); break;
            case 'b': buffers_option(optarg); break;
            case 'k': keepalive_option(optarg); break;
            default: break;
        }
    }
}

// The configuration and section files must be there before anything starts.
static void files_check() {
    struct stat st;
    if (configfile[0]) {
        // A new slave writes its file from the master's configuration.
        if (stat(configfile, &st) != 0 && !slave) {
            fprintf(stderr, "couldn't stat %s\n", configfile);
            exit(1);
        }
    } else if (!slave) {
        fprintf(stderr, "config file option missing\n");
        exit(1);
    }
    if (!sectionfile[0]) {
        fprintf(stderr, "section file option missing\n");
        exit(1);
    }
    if (stat(sectionfile, &st) != 0) {
        fprintf(stderr, "couldn't stat %s\n", sectionfile);
        exit(1);
    }
}

[[noreturn]] static void run_foreground() {
    // The key file beside the configuration is often writable only by root.
    installation_key_prepare();
    fix_gid();
    fix_uid();
    umask(027);
    mainloop();
    exit(0);
}

// The usual double fork: the process that goes on has no terminal and is no
// session leader. The parents exit here.
static void detach() {
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "failed to fork daemon: first fork failed\n");
        exit(1);
    }
    if (pid > 0) exit(0);
    if (chdir("/") != 0) { /* "/" always exists; nothing sensible to do */
    }
    setsid();
    umask(0);
    close(0);
    close(1);
    close(2);
    // Later writes to 0, 1 and 2 must never land in a log file or a socket
    // that happens to reuse those numbers.
    null_stdio();
    pid = fork();
    if (pid < 0) {
        fprintf(stderr, "failed to fork daemon: second fork failed\n");
        exit(1);
    }
    if (pid > 0) exit(0);
}

[[noreturn]] static void run_daemon() {
    detach();
    umask(022);
    // The first thread slot must name the process that runs the proxy.
    threads_init();
    installation_key_prepare();
    fix_gid();
    fix_uid();
    if (pidfile[0] && pid_check(pidfile) != 0) exit(1);
    umask(027);
    mainloop();
    exit(0);
}

int main(int argc, char **argv) {
    std::set_new_handler(out_of_memory);
    srand((unsigned)(time(nullptr) + getpid()));

    if (argc < 2) {
        show_help(argv);
        exit(0);
    }
    options_read(argc, argv);
    threads_init();
    // Passwords and paths given on the command line must not show in ps.
    for (int i = 1; i < argc; i++) memset(argv[i], 0, strlen(argv[i]));
    files_check();
    // A socket path that does not fit would be cut and name another file.
    if (!ntlm_sockdir_check()) exit(1);
    if (daemonize != 1) run_foreground();
    run_daemon();
}
