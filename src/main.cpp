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

#include "compat.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "ntlm_talk.h"
#include "settings.h"
#include "startup.h"
#include "threads.h"

// The option parsing and daemonising below belong to the binary alone; the
// library that the tests link gets the request driver only.
#ifndef KORVANTEL_LIBRARY

static void show_help(char **argv) {
    fprintf(stderr, "\n%s", PRODUCT_NAME);
    fprintf(stderr, "\n%s", RELEASE_LABEL);
    fprintf(stderr, " - VERSION - %s - BUILD - %d", VERSION, RELEASE_BUILD);
    fprintf(stderr, "\nUsage: %s [options]\n\n", argv[0]);
    fputs(" -c <file>            : location of config file (required)\n"
          " -s <file>            : location of section file (required)\n"
          " -l <file>            : file to log activity to (native log)\n"
          " -a <file>            : alternate format log file (access log)\n"
          " -e <file>            : alternate format log file (extended log)\n"
          " -H <hostname>        : proxy's hostname (overrides configuration file)\n"
          " -L <ip:port>         : specify address and port to listen on\n"
          " -M <host:port>       : master host and port to syncronize configuration from\n"
          " -S <sections>        : comma separated list of sections to syncronize from master (default: all "
          "sections)\n"
          " -E <sections>        : comma separated list of sections to not syncronize from master (default: none)\n"
          " -I <seconds>         : time interval between syncronization attempts to master\n"
          " -m <dir>             : module directory\n",
          stderr);
    fprintf(stderr, " -y <dir>             : directory of the NTLM authentication daemon's socket (default: %s)\n",
            "/var/run/httpauthd/");
    fputs(" -p <file>            : PID file\n"
          " -u <username>        : run as alternate user\n"
          " -g <groupname>       : run in alternate group\n",
          stderr);
    fprintf(stderr, " -x <pam>             : set the file containing PAM directives (default: %s) \n", "korvantel");
    fprintf(stderr,
            " -P <size:age>        : set the maximum size and age of the password_cache (default: %d:%d)\n", 100,
            600);
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
    fputs(" -f                   : don't daemonize (log written to stdout)\n"
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
        if (got == 1 && pid > 0 && pid <= INT_MAX && pid != (long)getpid() && kill((pid_t)pid, 0) == 0)
            return (int)pid;
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

int main(int argc, char **argv) {
    std::set_new_handler(out_of_memory);
    srand((unsigned)(time(nullptr) + getpid()));

    if (argc < 2) {
        show_help(argv);
        exit(0);
    }

    int c;
    while ((c = getopt(argc, argv, "hfvp:t:L:H:M:m:S:E:I:c:s:l:d:u:g:r:a:e:x:z:P:T:C:o:b:k:y:")) != -1) {
        switch (c) {
            case 'h':
                show_help(argv);
                exit(0);
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
            case 'L': {
                const char *colon = strchr(optarg, ':');
                if (!colon || colon - optarg > 15) {
                    show_help(argv);
                    exit(1);
                }
                s_strncpy(listenip, optarg, (size_t)(colon - optarg) + 1);
                listenport = number(colon + 1);
                break;
            }
            case 'M': {
                const char *colon = strchr(optarg, ':');
                if (!colon || colon - optarg > 255) {
                    show_help(argv);
                    exit(1);
                }
                slave = 1;
                s_strncpy(masterhost, optarg, (size_t)(colon - optarg) + 1);
                masterport = number(colon + 1);
                break;
            }
            case 'S': s_strncpy(syncsections, optarg, sizeof syncsections); break;
            case 'E': s_strncpy(nosyncsections, optarg, sizeof nosyncsections); break;
            case 'I': syncinterval = number(optarg); break;
            case 'm': dir_option(moduledir, sizeof moduledir, optarg); break;
            case 'y': dir_option(ntlmsockdir, sizeof ntlmsockdir, optarg); break;
            case 'p': s_strncpy(pidfile, optarg, sizeof pidfile); break;
            case 'u': s_strncpy(username, optarg, sizeof username); break;
            case 'g': s_strncpy(group, optarg, sizeof group); break;
            case 'x': s_strncpy(pamfile, optarg, sizeof pamfile); break;
            case 'P': {
                const char *colon = strchr(optarg, ':');
                if (!colon) {
                    show_help(argv);
                    exit(1);
                }
                int size = number(optarg), age = number(colon + 1);
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
                break;
            }
            case 't': {
                int n = number(optarg);
                if (n < 1) {
                    // No slot would be left, not even for the main thread.
                    show_help(argv);
                    exit(1);
                }
                if (n <= MAX_THREAD_SLOTS) MAXTHREADS = n;
                break;
            }
            case 'z': {
                int stack = xpow(number(optarg));
                max_opt_stack = stack < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stack;
                break;
            }
            case 'T': THREAD_TIMEOUT = number(optarg); break;
            case 'C': CLIENT_POOL_TIMEOUT = number(optarg); break;
            case 'o': overload_factor = number(optarg); break;
            case 'b': {
                char **parts = string_break(optarg, ':');
                if (array_length(parts) == 2) {
                    int snd = number(parts[0]), rcv = number(parts[1]);
                    if (snd > 0) SND_BUF = snd;
                    if (rcv > 0) RCV_BUF = rcv;
                    if (SND_BUF > 0 && RCV_BUF > 0) BLOCKSIZE = SND_BUF < RCV_BUF ? SND_BUF : RCV_BUF;
                }
                array_free(parts);
                break;
            }
            case 'k': {
                char **parts = string_break(optarg, ':');
                if (array_length(parts) == 3) {
                    int idle = number(parts[0]), intvl = number(parts[1]), cnt = number(parts[2]);
                    if (idle > 0) TCP_KEEPIDLE_TIME = idle;
                    if (intvl > 0) TCP_KEEPINTVL_TIME = intvl;
                    if (cnt > 0) TCP_KEEPCNT_COUNTS = cnt;
                }
                array_free(parts);
                break;
            }
            default: break;
        }
    }

    threads_init();

    // Passwords and paths given on the command line must not show in ps.
    for (int i = 1; i < argc; i++) memset(argv[i], 0, strlen(argv[i]));

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

    // A socket path that does not fit would be cut and name another file.
    if (!ntlm_sockdir_check()) exit(1);

    if (daemonize != 1) {
        fix_gid();
        fix_uid();
        umask(027);
        mainloop();
        exit(0);
    }

    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "failed to fork daemon: first fork failed\n");
        exit(1);
    }
    if (pid > 0) exit(0);
    if (chdir("/") != 0) { /* "/" always exists; nothing sensible to do */ }
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
    umask(022);
    // The first thread slot must name the process that runs the proxy.
    threads_init();
    fix_gid();
    fix_uid();
    if (pidfile[0] && pid_check(pidfile) != 0) exit(1);
    umask(027);
    mainloop();
    exit(0);
}
#endif


// ---------------------------------------------------------------------------
// Request driver: one request of a client connection, from reading its head
// to the hand-over to the dispatch, which ends it.

#include <limits.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <string>

#include "connection.h"
#include "dispatch.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "hstream.h"
#include "limit.h"
#include "main.h"
#include "processors.h"
#include "profiles.h"
#include "proto_http.h"
#include "protocol.h"
#include "redirect.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"
#include "threads.h"
#include "urlcommand.h"

namespace {

// How long the input of a connection being closed is drained.
const long long LINGER_MS = 2000;

void profiles_update(CONNECTION_T *connection) {
    if (profile_section) profile_section->profiles_update(connection);
}

void set_variable(CONNECTION_T *connection, const char *name, const std::string &value) {
    connection->variables[name] = value;
}

// The slot's copy of a text shown on the connections page. Caller holds
// threadlistlock.
void slot_text(char **field, const char *value) {
    free(*field);
    *field = value ? xstrdup(value) : nullptr;
}

void request_variables(CONNECTION_T *connection, bool with_url) {
    HEADER *request = connection->request;
    if (request->host && *request->host) set_variable(connection, "HTTP_HOST", request->host);
    if (request->file) set_variable(connection, "HTTP_FILE", request->file);
    if (request->method) set_variable(connection, "HTTP_METHOD", request->method);
    if (request->protocol) set_variable(connection, "HTTP_PROTO", request->protocol);
    set_variable(connection, "HTTP_PORT", std::to_string(request->port));
    if (with_url && request->url) set_variable(connection, "URL", request->url);
}

// Whether the request announces a body that is still on the client socket.
bool body_announced(const HEADER *request) {
    return request && (((request->flags & HEADER_LENGTH) && request->content_length > 0) || request->chunked);
}

// Ends a request refused for its form: the page, and no further request on
// a connection whose framing can no longer be trusted.
void refuse_malformed(CONNECTION_T *connection, int status) {
    connection->keepalive_client = 0;
    request_page(connection, "badrequest", status);
    // No request record survives a refused head, so the record is written
    // here.
    connection->log.method = "";
    connection->log.Write();
    connection->log.apache_Write();
}

// The head as the client sent it, parsed; null after refusing it. The log
// line names the read before (0) or after (1) the head processors.
HEADER *request_parse(CONNECTION_T *connection, const char *text, int pass) {
    int error = HEADER_ERROR_NONE;
    HEADER *request = http_header_parse_request(text, &error);
    if (!request) {
        if (connection->requests == 0)
            putlog(LOG_WARNING, pass == 0 ? "request: invalid header recieved from %s"
                                          : "request: invalid header received from %s",
                   connection->ip);
        refuse_malformed(connection, error == HEADER_ERROR_URI_TOO_LONG ? 414 : 400);
        return nullptr;
    }
    if (request->flags & HEADER_INVALID) {
        // Conflicting or malformed framing: whatever this proxy forwarded,
        // the server might read the body differently.
        putlog(LOG_SECURITY, "request: refused ambiguous message from %s", connection->ip);
        http_header_free(request);
        refuse_malformed(connection, 400);
        return nullptr;
    }
    return request;
}

void log_forwarded_for(CONNECTION_T *connection) {
    if (connection->request->x_forwarded_for && *connection->request->x_forwarded_for)
        connection->log.client = connection->request->x_forwarded_for;
}

// A body that is read whole, or failed; false ends the request.
bool body_buffer(CONNECTION_T *connection, long long limit, int *result) {
    connection->request_body = http_transfer_filebuf(connection, HTTP_SIDE_CLIENT, limit, result);
    if (*result == HTTP_BODY_MALFORMED) {
        putlog(LOG_WARNING, "request: malformed chunked body from %s", connection->ip);
        refuse_malformed(connection, 400);
        return false;
    }
    if (*result == HTTP_BODY_SHORT) {
        putlog(LOG_WARNING, "request: incomplete request body from %s", connection->ip);
        connection->keepalive_client = 0;
        return false;
    }
    return true;
}

void upload_exceeded(CONNECTION_T *connection) {
    connection->keepalive_client = 0;
    request_page(connection, "uploadlimit", 200);
}

// Reads the request body within the upload allowance and the buffer limit,
// or leaves it to be relayed while the request is sent. False ends the
// request.
bool request_body_read(CONNECTION_T *connection) {
    HEADER *request = connection->request;
    unsigned int limit = connection->upload_limit;
    unsigned long long maximum = general_section ? general_section->maxubuffer_get(connection) : 0;
    int result = HTTP_BODY_COMPLETE;

    if (request->flags & HEADER_LENGTH) {
        unsigned long long length = request->content_length;
        if (limit != CONNECTION_NO_LIMIT && length > limit) {
            upload_exceeded(connection);
            return false;
        }
        connection->upload_size = length > UINT_MAX ? UINT_MAX : (unsigned int)length;
        if (length <= maximum) return body_buffer(connection, (long long)length, &result);
        if (connection->forward_user && length <= REQUEST_FORCED_BUFFER_MAX) {
            putlog(LOG_REQUEST, "forced buffering of POST request for proxy that requries authentication");
            return body_buffer(connection, (long long)length, &result);
        }
        connection->request_body = new Filebuf();
        connection->flags |= CONN_STREAM_BODY;
        http_request_body_pending_set(connection, true);
        putlog(LOG_DEBUG, "request: content (%lld) exceeds maximum upload buffer size (%llu)", (long long)length,
               maximum);
        return true;
    }

    if (request->chunked) {
        // The length is known only once the last chunk is in: read up to the
        // buffer limit, and relay the rest when the body is longer.
        long long cap = (long long)maximum;
        if (connection->forward_user && cap < (long long)REQUEST_FORCED_BUFFER_MAX)
            cap = (long long)REQUEST_FORCED_BUFFER_MAX;
        bool by_allowance = false;
        if (limit != CONNECTION_NO_LIMIT && (long long)limit < cap) {
            cap = limit;
            by_allowance = true;
        }
        if (!body_buffer(connection, cap, &result)) return false;
        Filebuf *body = connection->request_body;
        if (result == HTTP_BODY_OVERFLOW) {
            if (by_allowance) {
                upload_exceeded(connection);
                return false;
            }
            // Put what was read back in front of the client's input as one
            // chunk, so the relay sends the body from its start.
            if (body->size > 0) {
                char line[32];
                int n = snprintf(line, sizeof line, "%llx\r\n", (unsigned long long)body->size);
                Filebuf chunk;
                chunk.Add(line, n);
                chunk.Add(body->data, body->size);
                chunk.Add("\r\n", 2);
                connection->client->PushFront(chunk.data, (unsigned)chunk.size);
                body->Resize(0);
            }
            connection->flags |= CONN_STREAM_BODY;
            http_request_body_pending_set(connection, true);
            putlog(LOG_DEBUG, "request: chunked content exceeds maximum upload buffer size (%llu)", maximum);
            return true;
        }
        // Whole: it goes on with a length.
        request->chunked = 0;
        request->content_length = (uint64_t)body->size;
        request->flags |= HEADER_LENGTH;
        connection->upload_size = (unsigned int)body->size;
        return true;
    }

    connection->request_body = new Filebuf();
    return true;
}

// A transparent request's target from its Host header: host up to the
// first ':', and the decimal port after it. False when the value cannot name
// a host.
bool transparent_target(HEADER *request) {
    std::string value = request->host_header;
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    size_t start = value.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    value.erase(0, start);
    std::string host = value, port_text;
    size_t colon = value.find(':');
    if (colon != std::string::npos) {
        host = value.substr(0, colon);
        port_text = value.substr(colon + 1);
    }
    if (host.empty() || host.size() > 255) return false;
    for (unsigned char c : host)
        if (c <= 0x20 || c >= 0x7f || strchr("/\\?#@%:[]", c)) return false;
    int port = 80;
    if (colon != std::string::npos) {
        if (port_text.empty() || port_text.size() > 5) return false;
        port = 0;
        for (unsigned char c : port_text) {
            if (c < '0' || c > '9') return false;
            port = port * 10 + (c - '0');
        }
        if (port < 1 || port > 65535) return false;
    }
    free(request->host);
    request->host = xstrdup(host.c_str());
    request->port = port;
    if (colon == std::string::npos) request->flags |= HEADER_DEFAULT_PORT;
    else request->flags &= ~HEADER_DEFAULT_PORT;
    return true;
}

void noaccess(CONNECTION_T *connection) {
    connection->keepalive_client = 0;
    request_page(connection, "noaccess", 404);
}

void nofile(CONNECTION_T *connection) {
    connection->keepalive_client = 0;
    request_page(connection, "nofile", 404);
}

// Closing a socket that still holds unread input makes the kernel answer
// with a reset, which can destroy the answer just sent before the client
// has read it. So the sending side is shut first and what the client still
// sends is read and dropped for a little while.
void lingering_close_prepare(CONNECTION_T *connection, bool body_unread) {
    Socket *client = connection->client;
    if (!client || client->fd < 0 || (connection->flags & CONN_CLIENT_DROPPED)) return;
    struct pollfd ready = {client->fd, POLLIN, 0};
    if (!body_unread && client->in_length == 0 && poll(&ready, 1, 0) <= 0) return;
    client->Flush();
    shutdown(client->fd, SHUT_WR);
    client->Clear(0);
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long spent = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= LINGER_MS) break;
        ready.revents = 0;
        if (poll(&ready, 1, (int)(LINGER_MS - spent)) <= 0) break;
        if (client->Read(nullptr, -1, 0) <= 0) break;
        client->Clear(0);
    }
}

// Per-request state a caller left behind (the worker loop normally clears
// it after every request).
void request_state_clear(CONNECTION_T *connection) {
    url_command_free(connection->url_commands);
    connection->url_commands = nullptr;
    delete connection->htmlstream;
    connection->htmlstream = nullptr;
    delete connection->request_body;
    connection->request_body = nullptr;
    http_header_free(connection->request);
    connection->request = nullptr;
}

// Steps of one request up to the dispatch; returns when the request ended.
void request_drive(CONNECTION_T *connection) {
    char number[32];

    // What the limits charge belongs to this request alone.
    connection->transferred = 0;
    connection->upload_size = 0;

    pthread_mutex_lock(&threadlistlock);
    THREAD_T *slot = &threads[connection->thread_slot];
    slot->state = 1;
    slot->requests = connection->requests;
    slot_text(&slot->ip, connection->ip);
    pthread_mutex_unlock(&threadlistlock);

    if (connection->requests == 0)
        putlog(LOG_NETWORK, "fd: %d allowed connect from %s on port %d ",
               connection->client ? connection->client->fd : -1, connection->ip ? connection->ip : "-",
               connection->port);

    const char *ip = connection->ip ? connection->ip : "";
    const char *interface_ip = connection->interface_ip ? connection->interface_ip : "";
    set_variable(connection, "IP", ip);
    set_variable(connection, "PORT", std::to_string(connection->port));
    snprintf(number, sizeof number, "%lu", (unsigned long)time(nullptr));
    set_variable(connection, "TIME", number);
    set_variable(connection, "INTERFACE", interface_ip);
    set_variable(connection, "VERSION", VERSION);
    snprintf(number, sizeof number, "%u", (unsigned)connection->id);
    set_variable(connection, "CLIENTID", number);
    connection->log.interface_ip = interface_ip;
    connection->log.interface_port = std::to_string(connection->port);
    connection->log.client_id = (unsigned)connection->id;
    connection->log.client = ip;

    // The head.
    int timeout = 60;
    if (general_section)
        timeout = connection->requests ? general_section->keeptimeout_get(connection)
                                       : general_section->timeout_get(connection);
    int status = HEADER_GET_NONE;
    char *text = header_get(connection, 0, timeout, &status);
    connection->log.Reset();
    // Cleared so that the end of the request can tell whether the record was
    // written (writing stamps it).
    connection->log.end_time.tv_sec = 0;
    connection->log.end_time.tv_usec = 0;
    if (!text) {
        connection->keepalive_client = 0;
        if (status == HEADER_GET_NONE) {
            if (connection->requests == 0)
                putlog(LOG_WARNING, "request: timeout waiting for header from %s", ip);
            return;
        }
        if (connection->requests == 0) putlog(LOG_WARNING, "request: invalid header recieved from %s", ip);
        refuse_malformed(connection, status == HEADER_GET_LINE_TOO_LONG ? 414 : 400);
        return;
    }
    if (status != HEADER_GET_OK) {
        // Half a head: the lines that did not come may have framed a body.
        free(text);
        if (connection->requests == 0) putlog(LOG_WARNING, "request: invalid header recieved from %s", ip);
        refuse_malformed(connection, 400);
        return;
    }

    connection->request = request_parse(connection, text, 0);
    if (!connection->request) {
        free(text);
        return;
    }
    log_forwarded_for(connection);
    keepalive_check_client(connection);
    if (!url_command_extract(connection)) {
        if (body_announced(connection->request)) connection->keepalive_client = 0;
        free(text);
        return;
    }
    profiles_update(connection);

    // The head processors work on the raw text.
    http_header_free(connection->request);
    connection->request = nullptr;
    Filebuf raw;
    raw.Add(text, (long long)strlen(text) + 1);
    free(text);
    processors.Execute(PROCESSOR_REQHEADER, connection, &raw);
    std::string edited(raw.data ? raw.data : "", raw.data ? strnlen(raw.data, (size_t)raw.size) : 0);
    connection->request = request_parse(connection, edited.c_str(), 1);
    if (!connection->request) return;

    log_forwarded_for(connection);
    if (!url_command_extract(connection)) {
        if (body_announced(connection->request)) connection->keepalive_client = 0;
        return;
    }
    url_command_log(connection->url_commands);
    header_variables(connection, "CLIENT", connection->request->headers);

    HEADER *request = connection->request;
    if (request->method && strcasecmp(request->method, "HEAD") == 0) connection->flags |= CONN_HEAD;

    if (!request_body_read(connection)) return;
    request_variables(connection, false);

    if (!process_request(connection, connection->request_body)) return;
    request = connection->request;
    if (connection->flags & CONN_STREAM_BODY) {
        // The stage takes a buffered body's length; a streamed one keeps the
        // framing it came with.
        if (!(request->flags & HEADER_LENGTH)) request->chunked = 1;
    }

    profiles_update(connection);
    if (limit_section && limit_section->check_and_block(connection)) return;

    bypass_check(connection);
    url_command_permit(connection);

    url_command_t **commands = connection->url_commands;
    if (url_command_find(commands, "limits")) {
        limits_show(connection);
        return;
    }
    if (redirect_section && redirect_section->redirect_do(connection, REDIRECT_REQUEST) == 1) return;

    if (url_command_find(commands, "https")) {
        if (request->flags & HEADER_DEFAULT_PORT) {
            request->port = 443;
            if (request->host && *request->host) header_complete(request);
        }
        connection->flags |= CONN_HTTPS | CONN_TLS_ACTIVE;
    }

    pthread_mutex_lock(&threadlistlock);
    slot = &threads[connection->thread_slot];
    slot_text(&slot->ip, connection->ip);
    slot_text(&slot->url, request->url ? request->url : request->file);
    slot_text(&slot->method, request->method);
    pthread_mutex_unlock(&threadlistlock);

    if (http_header_filter) http_header_filter(connection, 1);

    if (request->type != HEADER_CONNECT) {
        if (dispatch_interface_request && dispatch_interface_request(connection)) {
            putlog(LOG_REQUEST, "request for web interface from %s", ip);
            if (dispatch_interface_handle) dispatch_interface_handle(connection);
            return;
        }
        unsigned need = request->type == HEADER_ORIGIN ? PERMISSION_ORIGIN : PERMISSION_PROXY;
        if (!(connection->permissions & need)) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted an unacceptable protocol", ip);
            noaccess(connection);
            return;
        }
    } else {
        if (!(connection->permissions & PERMISSION_CONNECT)) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted a CONNECT request", ip);
            noaccess(connection);
            return;
        }
        if (general_section && !general_section->cportrange_check(connection, request->port)) {
            putlog(LOG_SECURITY, "denied CONNECT request from %s to port %d", ip, request->port);
            noaccess(connection);
            return;
        }
    }

    if (request->type == HEADER_ORIGIN && !(request->host && *request->host)) {
        if (!(connection->permissions & PERMISSION_TRANSPARENT) || !request->host_header ||
            !transparent_target(request)) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s tried to make a malformatted request", ip);
            nofile(connection);
            return;
        }
        profiles_update(connection);
        if (redirect_section && redirect_section->redirect_do(connection, REDIRECT_REQUEST) == 1) return;
        if (request->port == connection->port) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s tried to make a request to website on %d", ip,
                   request->port);
            nofile(connection);
            return;
        }
        header_complete(request);
        request->type = HEADER_ABSOLUTE;
    }

    request_variables(connection, true);
    LogEntry &log = connection->log;
    log.method = request->method ? request->method : "";
    log.url = request->url ? request->url : "-";
    // Never the previous request's values on a kept-alive connection.
    log.useragent = request->user_agent ? request->user_agent : "-";
    log.http_referer = request->referer ? request->referer : "-";
    statincr_hosts(connection);

    request_dispatch(connection);
}

}  // namespace

void bypass_check(CONNECTION_T *connection) {
    if (!(connection->permissions & PERMISSION_BYPASS)) return;
    url_command_t *command = url_command_find(connection->url_commands, "bypass");
    if (!command) return;
    if (!command->options) {
        connection->bypass = BYPASS_URLFILTER | BYPASS_HEADER | BYPASS_MIME | BYPASS_REDIRECT | BYPASS_COOKIE |
                             BYPASS_REWRITE | BYPASS_EXTERNAL | BYPASS_FORWARD | BYPASS_KEYWORD | BYPASS_DNSBL |
                             BYPASS_LIMITS | BYPASS_ANTIVIRUS | BYPASS_ICAP | BYPASS_URLBL;
        return;
    }
    static const struct {
        char letter;
        unsigned int bit;
    } letters[] = {
        {'a', BYPASS_ANTIVIRUS}, {'c', BYPASS_COOKIE},  {'d', BYPASS_DNSBL},   {'e', BYPASS_EXTERNAL},
        {'f', BYPASS_URLFILTER}, {'h', BYPASS_HEADER},  {'i', BYPASS_ICAP},    {'k', BYPASS_KEYWORD},
        {'m', BYPASS_MIME},      {'p', BYPASS_FORWARD}, {'r', BYPASS_REDIRECT}, {'w', BYPASS_REWRITE},
    };
    bool setting = true;
    for (const char *p = command->options; *p; p++) {
        if (*p == '+') {
            setting = true;
            continue;
        }
        if (*p == '-') {
            setting = false;
            continue;
        }
        for (const auto &entry : letters) {
            if (entry.letter != *p) continue;
            if (setting) connection->bypass |= entry.bit;
            else connection->bypass &= ~entry.bit;
        }
    }
}

void handle_request(CONNECTION_T *connection) {
    request_state_clear(connection);
    http_request_body_pending_set(connection, false);

    request_drive(connection);

    // A body still on the socket would be read as the next request.
    bool unread = http_request_body_pending(connection);
    if (unread) connection->keepalive_client = 0;
    http_request_body_pending_set(connection, false);
    if (!connection->keepalive_client) lingering_close_prepare(connection, unread);

    // Every request that was read leaves its record, also those answered
    // before the protocol handlers (which write their own).
    HEADER *request = connection->request;
    LogEntry &log = connection->log;
    if (request && log.end_time.tv_sec == 0) {
        if (log.url == "-") {
            log.method = request->method ? request->method : "";
            if (request->url) log.url = request->url;
            else if (request->file) log.url = request->file;
        }
        log.Write();
        log.apache_Write();
    }
}
