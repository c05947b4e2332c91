#include "external.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "processors.h"
#include "profiles.h"
#include "settings.h"

ExternalSection *external_section = nullptr;

typedef ExternalSection::External External;
typedef ExternalSection::Options Options;

namespace {

// A descriptor closed when it goes out of scope.
class Descriptor {
public:
    Descriptor() {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    int *put() { return &fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A temporary file unlinked when it goes out of scope.
struct TempFile {
    char path[64] = "";
    bool made = false;
    ~TempFile() {
        if (made) unlink(path);
    }
};

long long now_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// The program file, looked up through the search path now: in the child
// only async-signal-safe calls may run. Empty when it is not found.
std::string program_path(const char *name) {
    if (!name || !*name) return "";
    if (strchr(name, '/')) return name;
    const char *search = getenv("PATH");
    std::string path = search && *search ? search : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t end = path.find(':', start);
        std::string directory = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos) return "";
        start = end + 1;
    }
}

// Makes fd the descriptor target in the child (async-signal-safe only).
void child_descriptor(int fd, int target) {
    if (fd == target) {
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0) fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
        return;
    }
    if (dup2(fd, target) < 0) _exit(1);
}

void nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int program_timeout(CONNECTION_T *connection) {
    int timeout = general_section ? general_section->timeout_get(connection) : GENERAL_DEFAULT_TIMEOUT;
    return timeout > 0 ? timeout : GENERAL_DEFAULT_TIMEOUT;
}

// Waits for the child; one still running after grace_ms is killed.
int child_reap(pid_t pid, long long grace_ms, EXTERNAL_RUN *run) {
    int status = 0;
    long long deadline = now_ms() + grace_ms;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return -1;
        if (done == 0 && now_ms() >= deadline) {
            kill(pid, SIGKILL);
            run->timed_out = true;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    if (WIFSIGNALED(status)) {
        run->signaled = true;
        return 128 + WTERMSIG(status);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Filebuf *external_run(CONNECTION_T *connection, const char *command, Filebuf *input, int mode, EXTERNAL_RUN *run) {
    EXTERNAL_RUN ignored;
    if (!run) run = &ignored;
    *run = EXTERNAL_RUN();
    if (!command) return nullptr;
    putlog(LOG_DEBUG, "executing %s", command);

    Descriptor out_read, out_write, in_read, in_write, devnull;
    int pipes[2];
    if (pipe2(pipes, O_CLOEXEC) != 0) return nullptr;
    out_read.reset(pipes[0]);
    out_write.reset(pipes[1]);
    if (pipe2(pipes, O_CLOEXEC) != 0) return nullptr;
    in_read.reset(pipes[0]);
    in_write.reset(pipes[1]);
    devnull.reset(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (devnull.get() < 0) return nullptr;

    TempFile temp;
    bool tempfile = mode == EXTERNAL_TEMPFILE;
    if (tempfile) {
        std::string directory = general_section ? general_section->tempdir_get() : "/tmp";
        // A directory too long for the buffer cuts the template, and mkstemp refuses it.
        snprintf(temp.path, sizeof temp.path, "%s/%s", directory.c_str(), "extXXXXXX");
        Descriptor file;
        file.reset(mkostemp(temp.path, O_CLOEXEC));
        if (file.get() < 0) {
            putlog(LOG_ERROR, "external: cannot create a temporary file in %s: %s", directory.c_str(), strerror(errno));
            return nullptr;
        }
        temp.made = true;
        if (input && input->size > 0 && input->Save(file.get()) != (ssize_t)input->size) {
            putlog(LOG_ERROR, "external: cannot write the temporary file %s", temp.path);
            return nullptr;
        }
    }

    // Everything the child needs is built before fork.
    char **words = cmdline_parse(command);
    std::vector<std::string> arguments;
    for (char **word = words; word && *word; word++) arguments.push_back(*word);
    array_free(words);
    if (tempfile) arguments.push_back(temp.path);
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    std::vector<std::string> entries;
    if (connection) {
        for (const auto &variable : connection->variables) {
            if (variable.first.empty() || variable.first.find('=') != std::string::npos) continue;
            entries.push_back(variable.first + "=" + variable.second.c_str());
        }
    }
    std::vector<char *> envp;
    for (std::string &entry : entries) envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    std::string path = program_path(arguments.empty() ? nullptr : arguments[0].c_str());
    sigset_t no_signals;
    sigemptyset(&no_signals);
    long max_fd = sysconf(_SC_OPEN_MAX);
    if (max_fd < 0 || max_fd > 65536) max_fd = 65536;

    pid_t pid = fork();
    if (pid < 0) {
        putlog(LOG_ERROR, "external: cannot start %s: %s", command, strerror(errno));
        return nullptr;
    }
    if (pid == 0) {
        pthread_sigmask(SIG_SETMASK, &no_signals, nullptr);
        child_descriptor(in_read.get(), 0);
        child_descriptor(out_write.get(), 1);
        child_descriptor(devnull.get(), 2);
        // Nothing else of the proxy's: sockets, logs and pipes stay out of reach.
        if (close_range(3, ~0U, 0) != 0)
            for (long fd = 3; fd < max_fd; fd++) close((int)fd);
        if (!path.empty()) execve(path.c_str(), argv.data(), envp.data());
        _exit(1);
    }

    out_write.reset();
    in_read.reset();
    devnull.reset();
    Filebuf *output = new Filebuf();
    long long written = 0;
    long long to_write = !tempfile && input ? input->size : 0;
    if (to_write <= 0) in_write.reset();
    nonblocking(out_read.get());
    if (in_write.get() >= 0) nonblocking(in_write.get());

    const int timeout_ms = program_timeout(connection) * 1000;
    const int block = BLOCKSIZE > 0 ? BLOCKSIZE : 65536;
    std::vector<char> buffer((size_t)block);
    bool input_failed = false;
    bool overflow = false;
    for (;;) {
        struct pollfd fds[2];
        nfds_t count = 1;
        fds[0] = {out_read.get(), POLLIN, 0};
        if (in_write.get() >= 0) {
            fds[1] = {in_write.get(), POLLOUT, 0};
            count = 2;
        }
        int ready = poll(fds, count, timeout_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0) {
            // Silent for the whole time-out: neither reading nor writing.
            run->timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (count == 2 && fds[1].revents) {
            if (fds[1].revents & POLLOUT) {
                long long piece = to_write - written < block ? to_write - written : block;
                ssize_t n = write(in_write.get(), input->data + written, (size_t)piece);
                if (n > 0) written += n;
                if (n < 0 && errno != EINTR && errno != EAGAIN) input_failed = true;
                if (written >= to_write || input_failed) in_write.reset();
            } else {
                input_failed = true;
                in_write.reset();
            }
        }
        if (fds[0].revents & POLLIN) {
            ssize_t n = read(out_read.get(), buffer.data(), buffer.size());
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                break;
            }
            if (output->size + n > EXTERNAL_OUTPUT_MAX) {
                overflow = true;
                kill(pid, SIGKILL);
                break;
            }
            output->Add(buffer.data(), n);
        } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            break;
        }
    }
    // Its output ended (or failed) before it took all its input.
    if (written < to_write) input_failed = true;
    out_read.reset();
    in_write.reset();
    // A program that closed its output but goes on gets the time-out to end.
    run->status = child_reap(pid, run->timed_out || overflow ? 0 : timeout_ms, run);
    if (input_failed)
        putlog(LOG_EXTERNAL, "%s stopped reading its input after %lld of %lld bytes", command, written, to_write);
    if (run->timed_out) putlog(LOG_EXTERNAL, "%s killed: no end within %d seconds", command, timeout_ms / 1000);
    if (overflow) putlog(LOG_EXTERNAL, "%s killed: output over %lld bytes", command, EXTERNAL_OUTPUT_MAX);
    else if (run->signaled) putlog(LOG_EXTERNAL, "%s ended by signal %d", command, run->status - 128);
    return output;
}

Filebuf *external_exec(CONNECTION_T *connection, const char *command, Filebuf *input, int mode, int *status) {
    EXTERNAL_RUN run;
    Filebuf *output = external_run(connection, command, input, mode, &run);
    if (status) *status = run.status;
    return output;
}

/* ---- the section ---- */

static const FIELD_BIND<Options> external_options[] = {
    FIELD_BIND_OF(Options, 0, "enabled", FIELD_BOOL, enabled),
};

static const FIELD_BIND<External> external_fields[] = {
    FIELD_BIND_OF(External, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(External, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(External, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(External, 3, "command", FIELD_STRING, command),
    FIELD_BIND_OF(External, 4, "input", FIELD_STRING_SELECT_ONE, mode),
    FIELD_BIND_OF(External, 5, "stages", FIELD_STRING_SELECT_MANY, stages),
    FIELD_BIND_OF(External, 6, "authenticator", FIELD_BOOL, authenticator),
    FIELD_BIND_OF(External, 7, "headers", FIELD_STRING_SELECT_MANY, heads),
};

Section *external_construct() {
    external_section = new ExternalSection();
    return external_section;
}

ExternalSection::ExternalSection() : Section("external", SECTION_RWLOCK) {
    options_bind(external_options, &opts);
    fields_declare(0, external_fields);
    processors.Add(external_reqmod, PROCESSOR_REQMOD);
    processors.Add(external_respmod, PROCESSOR_RESPMOD);
    processors.Add(external_auth, PROCESSOR_AUTH);
    processors.Add(external_buffcheck, PROCESSOR_BUFFCHECK);
}

ExternalSection::~ExternalSection() {
    if (external_section == this) external_section = nullptr;
}

void ExternalSection::update() {
    rules.clear();
    if (subsections.empty()) return;
    for (const Item &item : subsections[0].items) {
        rules.emplace_back();
        fields_read(external_fields, item.fields, &rules.back());
    }
}

int ExternalSection::check_match(CONNECTION_T *connection, int bits) {
    int found = 0;
    SectionReadLock lock(this);
    if (*opts.enabled && !(connection->bypass & BYPASS_EXTERNAL)) {
        for (const External &rule : rules) {
            if (rule.enabled && (rule.stages & bits) && !rule.command.empty() &&
                profile_find(connection->profiles, rule.profiles)) {
                found = 1;
                break;
            }
        }
    }
    return found;
}

namespace {

// The user name and profiles a program's head names.
void identity_apply(CONNECTION_T *connection, const HEADER *head) {
    for (const HTTP_HEADER &line : head->headers) {
        if (strcasecmp(line.name.c_str(), "X-username") == 0) {
            putlog(LOG_DEBUG, "external: external parser sent X-username: %s", line.value.c_str());
            free(connection->user_name);
            connection->user_name = xstrdup(line.value.c_str());
        } else if (strcasecmp(line.name.c_str(), "X-profiles") == 0) {
            putlog(LOG_DEBUG, "external: external parser sent X-profiles: %s", line.value.c_str());
            size_t start = 0;
            for (;;) {
                size_t end = line.value.find(',', start);
                std::string name = line.value.substr(start, end == std::string::npos ? std::string::npos : end - start);
                while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.erase(0, 1);
                while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
                bool known = false;
                for (const std::string &held : connection->profiles) known = known || held == name;
                if (!name.empty() && !known) connection->profiles.push_back(name);
                if (end == std::string::npos) break;
                start = end + 1;
            }
        }
    }
}

// Applies one program's output (see ExternalSection::process).
void output_apply(CONNECTION_T *connection, Filebuf *body, Filebuf *output, int status, int bits) {
    const char *data = output->data ? output->data : "";
    size_t size = output->size > 0 ? (size_t)output->size : 0;
    size_t block = header_length(data, size);
    std::string text(data, block);
    bool response = block >= 5 && strncasecmp(text.c_str(), "HTTP/", 5) == 0;
    HEADER *head = response ? http_header_parse_response(text.c_str()) : http_header_parse_request(text.c_str());
    // Version 0 is the parser's answer to a first line that is no status line.
    if (head && ((head->flags & HEADER_INVALID) || (response && head->version == 0))) {
        http_header_free(head);
        head = nullptr;
    }
    if (!head) {
        putlog(LOG_EXTERNAL, "error: external parser sent null or invalid %s headers",
               response ? "response" : "request");
    } else {
        identity_apply(connection, head);
        if (status == 0) {
            HEADER **slot = response ? &connection->response : &connection->request;
            http_header_free(*slot);
            *slot = head;
            head = nullptr;
        }
        http_header_free(head);
    }
    if (status != 0 || block >= size || !body) return;
    // A streamed request body is still on the client socket: its bytes go
    // out as they come, and a replacement would contradict its length.
    if (!(bits & EXTERNAL_RESPONSE) && (connection->flags & CONN_STREAM_BODY)) {
        putlog(LOG_EXTERNAL, "request body is streamed: the program's body is not used");
        return;
    }
    output->Trim((long long)block);
    body->Swap(output);
}

}  // namespace

void ExternalSection::process(CONNECTION_T *connection, Filebuf *body, int bits) {
    SectionReadLock lock(this);
    if (!*opts.enabled || (connection->bypass & BYPASS_EXTERNAL)) return;
    for (const External &rule : rules) {
        if (!rule.enabled || !profile_find(connection->profiles, rule.profiles)) continue;
        if (!(rule.stages & bits) || rule.command.empty()) continue;
        if (rule.authenticator && (!(bits & EXTERNAL_AUTH) || (connection->auth_flags & AUTH_EXTERNAL_REFUSED)))
            continue;
        Filebuf input;
        if ((rule.heads & EXTERNAL_REQUEST_HEAD) && connection->request && connection->request->raw)
            input.Add(connection->request->raw, (long long)strlen(connection->request->raw));
        if ((rule.heads & EXTERNAL_RESPONSE_HEAD) && connection->response && connection->response->raw)
            input.Add(connection->response->raw, (long long)strlen(connection->response->raw));
        if (body && body->size > 0) input.Add(body->data, body->size);

        EXTERNAL_RUN run;
        Filebuf *output = external_run(connection, rule.command.c_str(), &input, rule.mode, &run);
        if (output) {
            // A program ended by a signal did not finish: nothing of it counts.
            if (!run.signaled) output_apply(connection, body, output, run.status, bits);
            delete output;
            putlog(LOG_EXTERNAL, "parsed with %s", rule.command.c_str());
        }
        if (rule.authenticator) {
            if (!output || run.status != 0) connection->auth_flags |= AUTH_EXTERNAL_REFUSED;
            break;
        }
    }
}

int external_reqmod(CONNECTION_T *connection, Filebuf *body) {
    if (!external_section) return 0;
    external_section->process(connection, body, EXTERNAL_REQUEST);
    return connection->response ? 1 : 0;
}

int external_respmod(CONNECTION_T *connection, Filebuf *body) {
    if (external_section) external_section->process(connection, body, EXTERNAL_RESPONSE);
    return 1;
}

int external_auth(CONNECTION_T *connection, Filebuf *body) {
    if (!external_section) return 0;
    external_section->process(connection, body, EXTERNAL_REQUEST | EXTERNAL_AUTH);
    return connection->response ? 1 : 0;
}

int external_buffcheck(CONNECTION_T *connection, Filebuf *) {
    return external_section ? external_section->check_match(connection, EXTERNAL_RESPONSE) : 0;
}
