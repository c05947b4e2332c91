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

#include "clock.h"
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

// Waits for the child; one still running after grace_ms is killed.
int child_reap(pid_t pid, long long grace_ms, EXTERNAL_RUN *run) {
    int status = 0;
    long long deadline = clock_elapsed_ms() + grace_ms;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return -1;
        if (done == 0 && clock_elapsed_ms() >= deadline) {
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

namespace {

// The child's standard descriptors and our ends of its pipes.
struct Pipes {
    Descriptor out_read, out_write, in_read, in_write, devnull;
};

bool pipes_open(Pipes *p) {
    int pipes[2];
    if (pipe2(pipes, O_CLOEXEC) != 0) return false;
    p->out_read.reset(pipes[0]);
    p->out_write.reset(pipes[1]);
    if (pipe2(pipes, O_CLOEXEC) != 0) return false;
    p->in_read.reset(pipes[0]);
    p->in_write.reset(pipes[1]);
    p->devnull.reset(open("/dev/null", O_RDWR | O_CLOEXEC));
    return p->devnull.get() >= 0;
}

// The input into a new temporary file.
bool tempfile_write(TempFile *temp, const Filebuf *input) {
    std::string directory = general_section ? general_section->tempdir_get() : "/tmp";
    std::string why;
    if (!temp->open(directory, &why)) {
        putlog(LOG_ERROR, "external: %s", why.c_str());
        return false;
    }
    if (!temp->write(input, &why)) {
        putlog(LOG_ERROR, "external: cannot write the temporary file %s", temp->path().c_str());
        return false;
    }
    return true;
}

// Everything the child needs, built before fork.
struct ChildPlan {
    std::vector<std::string> arguments, entries;
    std::vector<char *> argv, envp;
    std::string path;
    sigset_t no_signals;
    long max_fd;
};

void child_plan(CONNECTION_T *connection, const char *command, const char *tempfile, ChildPlan *plan) {
    char **words = cmdline_parse(command);
    for (char **word = words; word && *word; word++) plan->arguments.push_back(*word);
    array_free(words);
    if (tempfile) plan->arguments.push_back(tempfile);
    for (std::string &argument : plan->arguments) plan->argv.push_back(&argument[0]);
    plan->argv.push_back(nullptr);
    if (connection) {
        for (const auto &variable : connection->variables) {
            if (variable.first.empty() || variable.first.find('=') != std::string::npos) continue;
            plan->entries.push_back(variable.first + "=" + variable.second.c_str());
        }
    }
    for (std::string &entry : plan->entries) plan->envp.push_back(&entry[0]);
    plan->envp.push_back(nullptr);
    plan->path = program_path(plan->arguments.empty() ? nullptr : plan->arguments[0].c_str());
    sigemptyset(&plan->no_signals);
    plan->max_fd = sysconf(_SC_OPEN_MAX);
    if (plan->max_fd < 0 || plan->max_fd > 65536) plan->max_fd = 65536;
}

// Forks; the child runs the program (async-signal-safe calls only).
pid_t child_start(const ChildPlan &plan, Pipes &pipes, const char *command) {
    pid_t pid = fork();
    if (pid < 0) {
        putlog(LOG_ERROR, "external: cannot start %s: %s", command, strerror(errno));
        return pid;
    }
    if (pid == 0) {
        pthread_sigmask(SIG_SETMASK, &plan.no_signals, nullptr);
        child_descriptor(pipes.in_read.get(), 0);
        child_descriptor(pipes.out_write.get(), 1);
        child_descriptor(pipes.devnull.get(), 2);
        // Nothing else of the proxy's: sockets, logs and pipes stay out of reach.
        if (close_range(3, ~0U, 0) != 0)
            for (long fd = 3; fd < plan.max_fd; fd++) close((int)fd);
        if (!plan.path.empty()) execve(plan.path.c_str(), plan.argv.data(), plan.envp.data());
        _exit(1);
    }
    return pid;
}

// What went on between us and the running program.
struct Traffic {
    long long written = 0;
    long long to_write = 0;
    bool input_failed = false;
    bool overflow = false;
};

// Feeds the input and gathers the output until the output ends, the program
// is silent for the whole time-out, or its output grows too large.
void traffic_run(Pipes &pipes, pid_t pid, const Filebuf *input, int timeout_ms, Filebuf *output, Traffic *t,
                 EXTERNAL_RUN *run) {
    const int block = BLOCKSIZE > 0 ? BLOCKSIZE : 65536;
    std::vector<char> buffer((size_t)block);
    for (;;) {
        struct pollfd fds[2];
        nfds_t count = 1;
        fds[0] = {pipes.out_read.get(), POLLIN, 0};
        if (pipes.in_write.get() >= 0) {
            fds[1] = {pipes.in_write.get(), POLLOUT, 0};
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
                long long piece = t->to_write - t->written < block ? t->to_write - t->written : block;
                ssize_t n = write(pipes.in_write.get(), input->data + t->written, (size_t)piece);
                if (n > 0) t->written += n;
                if (n < 0 && errno != EINTR && errno != EAGAIN) t->input_failed = true;
                if (t->written >= t->to_write || t->input_failed) pipes.in_write.reset();
            } else {
                t->input_failed = true;
                pipes.in_write.reset();
            }
        }
        if (fds[0].revents & POLLIN) {
            ssize_t n = read(pipes.out_read.get(), buffer.data(), buffer.size());
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                break;
            }
            if (output->size + n > EXTERNAL_OUTPUT_MAX) {
                t->overflow = true;
                kill(pid, SIGKILL);
                break;
            }
            output->Add(buffer.data(), n);
        } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            break;
        }
    }
    // Its output ended (or failed) before it took all its input.
    if (t->written < t->to_write) t->input_failed = true;
}

void run_report(const char *command, const Traffic &t, int timeout_ms, const EXTERNAL_RUN *run) {
    if (t.input_failed)
        putlog(LOG_EXTERNAL, "%s stopped reading its input after %lld of %lld bytes", command, t.written, t.to_write);
    if (run->timed_out) putlog(LOG_EXTERNAL, "%s killed: no end within %d seconds", command, timeout_ms / 1000);
    if (t.overflow) putlog(LOG_EXTERNAL, "%s killed: output over %lld bytes", command, EXTERNAL_OUTPUT_MAX);
    else if (run->signaled) putlog(LOG_EXTERNAL, "%s ended by signal %d", command, run->status - 128);
}

}  // namespace

Filebuf *external_run(CONNECTION_T *connection, const char *command, Filebuf *input, int mode, EXTERNAL_RUN *run) {
    EXTERNAL_RUN ignored;
    if (!run) run = &ignored;
    *run = EXTERNAL_RUN();
    if (!command) return nullptr;
    putlog(LOG_DEBUG, "executing %s", command);

    Pipes pipes;
    if (!pipes_open(&pipes)) return nullptr;
    TempFile temp;
    bool tempfile = mode == EXTERNAL_TEMPFILE;
    if (tempfile && !tempfile_write(&temp, input)) return nullptr;
    ChildPlan plan;
    child_plan(connection, command, tempfile ? temp.path().c_str() : nullptr, &plan);
    pid_t pid = child_start(plan, pipes, command);
    if (pid < 0) return nullptr;

    pipes.out_write.reset();
    pipes.in_read.reset();
    pipes.devnull.reset();
    Filebuf *output = new Filebuf();
    Traffic traffic;
    traffic.to_write = !tempfile && input ? input->size : 0;
    if (traffic.to_write <= 0) pipes.in_write.reset();
    nonblocking(pipes.out_read.get());
    if (pipes.in_write.get() >= 0) nonblocking(pipes.in_write.get());
    const int timeout_ms = general_wait_timeout(connection) * 1000;
    traffic_run(pipes, pid, input, timeout_ms, output, &traffic, run);
    pipes.out_read.reset();
    pipes.in_write.reset();
    // A program that closed its output but goes on gets the time-out to end.
    run->status = child_reap(pid, run->timed_out || traffic.overflow ? 0 : timeout_ms, run);
    run_report(command, traffic, timeout_ms, run);
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

void ExternalSection::update() { rules_read(subsection_at(0), external_fields, &rules); }

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
    size_t size = output->size > 0 ? (size_t)output->size : 0;
    EXTERNAL_OUTPUT parsed = external_output_parse(output->data, size);
    HEADER *head = parsed.head;
    bool response = parsed.response;
    size_t block = parsed.body;
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

EXTERNAL_OUTPUT external_output_parse(const char *data, size_t size) {
    EXTERNAL_OUTPUT parsed;
    if (!data) data = "";
    parsed.body = header_length(data, size);
    std::string text(data, parsed.body);
    parsed.response = parsed.body >= 5 && strncasecmp(text.c_str(), "HTTP/", 5) == 0;
    HEADER *head =
        parsed.response ? http_header_parse_response(text.c_str()) : http_header_parse_request(text.c_str());
    // Version 0 is the parser's answer to a first line that is no status line.
    if (head && ((head->flags & HEADER_INVALID) || (parsed.response && head->version == 0))) {
        http_header_free(head);
        head = nullptr;
    }
    parsed.head = head;
    return parsed;
}

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
