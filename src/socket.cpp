#include "socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "clock.h"
#include "filebuf.h"
#include "lockguard.h"
#include "mem.h"
#include "perflog.h"
#include "settings.h"
#include "stats.h"

static const unsigned BUFFER_STEP = 65536;
// Largest length a buffer may take: its rounded capacity still fits in 32 bits.
static const unsigned BUFFER_MAX = 0xFFFF0000u;
static const long WINDOW_USEC = 100000;

static int block_size() { return BLOCKSIZE > 0 ? BLOCKSIZE : 8192; }

// ---------------------------------------------------------------- callbacks

SocketCallBack::SocketCallBack(SocketCallBackFunction function, void *data) : function(function), data(data) {}

int SocketCallBack::Call(int length, char *bytes) { return function ? function(data, length, bytes) : 0; }

// ---------------------------------------------------------------- LimitGroup

LimitGroup::LimitGroup(unsigned int rate) : rate(rate), count(0) {
    unsigned q = rate / 10;
    // A positive rate below 10 bytes a second still moves a byte per window
    // instead of reading as "no limit".
    if (rate > 0 && q == 0) q = 1;
    quantum = q > (unsigned)INT_MAX ? INT_MAX : (int)q;
    window_start.tv_sec = 0;
    window_start.tv_usec = 0;
    pthread_mutex_init(&mutex, nullptr);
}

LimitGroup::~LimitGroup() { pthread_mutex_destroy(&mutex); }

int LimitGroup::Incr(int n) {
    MutexLock held(&mutex);
    long long c = (long long)count + n;
    if (c > INT_MAX) c = INT_MAX;
    if (c < 0) c = 0;
    count = (int)c;
    return (int)c;
}

void limitgroup_hold(LimitGroup *group) {
    if (!group) return;
    MutexLock held(&atomlock);
    group->New();
}

void limitgroup_release(LimitGroup *group) {
    if (!group) return;
    bool last;
    {
        MutexLock held(&atomlock);
        last = group->Delete();
    }
    if (last) delete group;
}

// ---------------------------------------------------------------- Socket life

Socket::Socket() : Socket(-1) {}

Socket::Socket(int fd)
    : ssl(0),
      next_callback_id(0),
      in_capacity(0),
      out_capacity(0),
      in(nullptr),
      out(nullptr),
      ssl_session(nullptr),
      ssl_ctx(nullptr),
      read_group(nullptr),
      write_group(nullptr),
      fd(fd),
      in_length(0),
      out_length(0),
      bytes_in(0),
      bytes_out(0),
      held(false) {}

Socket::~Socket() {
    held = false;
    if (fd != -1) Flush();
    if (ssl) {
        // The descriptor closes right after; waiting for the peer's
        // close_notify on a blocking descriptor could hang for ever, so the
        // later calls only take what has already arrived.
        Blocking(false);
        for (int i = 0; i < 5; i++) {
            int r = SSL_shutdown(ssl_session);
            if (r != 0) break;
        }
        ERR_clear_error();
    }
    free_tls();
    if (fd != -1) close(fd);
    fd = -1;
    free(in);
    free(out);
    in = out = nullptr;
    in_capacity = out_capacity = in_length = out_length = 0;

    LimitGroup *r = read_group, *w = write_group;
    read_group = write_group = nullptr;
    limitgroup_release(r);
    limitgroup_release(w);

    performance_log->set_bytes_in(bytes_in);
    performance_log->set_bytes_out(bytes_out);
    stats_count("network", "bytes out", bytes_out);
    stats_count("network", "bytes in", bytes_in);
}

void Socket::free_tls() {
    if (ssl_session) SSL_free(ssl_session);
    if (ssl_ctx) SSL_CTX_free(ssl_ctx);
    ssl_session = nullptr;
    ssl_ctx = nullptr;
    ssl = 0;
}

int Socket::Encrypt(int mode, const char *host) {
    if (mode != 1 || fd < 0 || ssl) return 0;
    ssl_ctx = SSL_CTX_new(TLS_client_method());
    if (!ssl_ctx) {
        ERR_clear_error();
        return 0;
    }
    // Origin servers are not verified; the client side only encrypts.
    SSL_CTX_set_verify(ssl_ctx, SSL_VERIFY_NONE, nullptr);
    // Servers that close without close_notify end the stream, as a plain close does.
    SSL_CTX_set_options(ssl_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Pending output moves when its buffer grows, and a write may be partial.
    SSL_CTX_set_mode(ssl_ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    ssl_session = SSL_new(ssl_ctx);
    if (ssl_session && SSL_set_fd(ssl_session, fd) == 1) {
        SSL_set_connect_state(ssl_session);
        if (host && *host) {
            unsigned char address[16];
            // Server name indication carries names only, never address literals.
            if (inet_pton(AF_INET, host, address) != 1 && inet_pton(AF_INET6, host, address) != 1)
                SSL_set_tlsext_host_name(ssl_session, host);
        }
        if (SSL_connect(ssl_session) == 1) {
            ssl = 1;
            return 1;
        }
    }
    ERR_clear_error();
    free_tls();
    return 0;
}

void Socket::Blocking(bool flag) {
    if (fd < 0) return;
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1) return;
    flags = flag ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    fcntl(fd, F_SETFL, flags);
}

void Socket::SetRate(LimitGroup *read, LimitGroup *write) {
    // New references first: the old and the new group may be the same one.
    LimitGroup *old_read, *old_write;
    bool free_read, free_write;
    {
        MutexLock held(&atomlock);
        if (read) read->New();
        if (write) write->New();
        old_read = read_group;
        old_write = write_group;
        free_read = old_read && old_read->Delete();
        free_write = old_write && old_write->Delete();
        read_group = read;
        write_group = write;
    }
    if (free_read) delete old_read;
    if (free_write && old_write != old_read) delete old_write;
}

namespace {

// Throttle's reckoning, with the group's mutex held: the bytes the socket may
// move now, and whether it then gives way to other threads.
int throttle_held(LimitGroup *group, bool *yield) {
    // Windows are measured on a clock that never steps back, so a change of
    // the time of day can neither stretch a window nor make the sleep huge.
    struct timeval now;
    clock_monotonic(&now);
    *yield = true;
    if (group->count == 0) {
        group->window_start = now;
        *yield = false;
        return group->quantum;
    }
    long long elapsed =
        (long long)(now.tv_sec - group->window_start.tv_sec) * 1000000 + (now.tv_usec - group->window_start.tv_usec);
    if (elapsed >= WINDOW_USEC || elapsed < 0) {
        group->count = 0;
        group->window_start = now;
        return group->quantum;
    }
    if (group->count < group->quantum) return group->quantum - group->count;
    // Window used up: every socket of the group waits out its rest.
    usleep((useconds_t)(WINDOW_USEC - elapsed));
    group->count = 0;
    clock_monotonic(&group->window_start);
    return group->quantum;
}

}  // namespace

int Socket::Throttle(int direction) {
    LimitGroup *group = direction ? write_group : read_group;
    if (!group || group->quantum <= 0) return 0;
    bool yield;
    int quantum;
    {
        MutexLock held(&group->mutex);
        quantum = throttle_held(group, &yield);
    }
    if (yield) sched_yield();
    return quantum;
}

// ---------------------------------------------------------------- buffers

// Sets a buffer's length, keeping the block when it is big enough and not
// more than one step too big.
static void buffer_resize(char **buffer, unsigned *capacity, unsigned *length, unsigned n) {
    if (n == 0) {
        if (*capacity > BUFFER_STEP) {
            free(*buffer);
            *buffer = nullptr;
            *capacity = 0;
        }
        *length = 0;
        return;
    }
    if (n > BUFFER_MAX) fatal_assert("src/socket", __LINE__, "Resize");
    if (*capacity >= n && (unsigned long long)*capacity < (unsigned long long)n + BUFFER_STEP) {
        *length = n;
        return;
    }
    unsigned rounded = (unsigned)(((unsigned long long)n + BUFFER_STEP - 1) / BUFFER_STEP * BUFFER_STEP);
    char *p = (char *)xrealloc(*buffer, rounded);
    if (!p) fatal_assert("src/socket", __LINE__, "Resize");
    *buffer = p;
    *capacity = rounded;
    *length = n;
}

void Socket::Resize(unsigned n, int which) {
    if (which) buffer_resize(&out, &out_capacity, &out_length, n);
    else buffer_resize(&in, &in_capacity, &in_length, n);
}

void Socket::Clear(int which) { Resize(0, which); }

// Drops the first n held bytes.
static void buffer_consume(Socket *s, unsigned n, int which) {
    char *b = which ? s->out : s->in;
    unsigned length = which ? s->out_length : s->in_length;
    if (n >= length) {
        s->Clear(which);
        return;
    }
    memmove(b, b + n, length - n);
    s->Resize(length - n, which);
}

unsigned Socket::PushFront(const char *bytes, unsigned length) {
    unsigned previous = in_length;
    if (!bytes || length == 0) return previous;
    if (length > BUFFER_MAX - previous) fatal_assert("src/socket", __LINE__, "PushFront");
    Resize(previous + length, 0);
    memmove(in + length, in, previous);
    memcpy(in, bytes, length);
    return previous;
}

// ---------------------------------------------------------------- system calls

int Socket::raw_read(char *buffer, int n) {
    if (ssl) {
        int r = SSL_read(ssl_session, buffer, n);
        if (r > 0) return r;
        int e = SSL_get_error(ssl_session, r);
        int saved = errno;
        ERR_clear_error();
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) errno = EAGAIN;
        else if (e != SSL_ERROR_SYSCALL || saved == 0) errno = EIO;
        return -1;
    }
    for (int attempt = 0; attempt < 100; attempt++) {
        ssize_t r = read(fd, buffer, (size_t)n);
        if (r >= 0) answer_due = false;
        if (r >= 0 || errno != EINTR) return (int)r;
    }
    return -1;
}

int Socket::raw_write(const char *bytes, int n) {
    if (ssl) {
        int r = SSL_write(ssl_session, bytes, n);
        if (r > 0) return r;
        int e = SSL_get_error(ssl_session, r);
        int saved = errno;
        ERR_clear_error();
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) errno = EAGAIN;
        else if (e != SSL_ERROR_SYSCALL || saved == 0) errno = EPIPE;
        return -1;
    }
    for (int attempt = 0; attempt < 100; attempt++) {
        // MSG_NOSIGNAL: a vanished peer is an EPIPE result, not a signal.
        ssize_t r = send(fd, bytes, (size_t)n, MSG_NOSIGNAL);
        if (r < 0 && errno == ENOTSOCK) r = write(fd, bytes, (size_t)n);
        if (r > 0) answer_due = true;
        if (r >= 0 || errno != EINTR) return (int)r;
    }
    return -1;
}

// Pending output and new bytes in one system call (plain sockets only).
int Socket::raw_write_both(const char *first, int n1, const char *second, int n2) {
    struct iovec parts[2] = {{(void *)first, (size_t)n1}, {(void *)second, (size_t)n2}};
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    for (int attempt = 0; attempt < 100; attempt++) {
        ssize_t r = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (r < 0 && errno == ENOTSOCK) r = writev(fd, parts, 2);
        if (r > 0) answer_due = true;
        if (r >= 0 || errno != EINTR) return (int)r;
    }
    return -1;
}

// 1 when input can be read within timeout seconds (or is already decrypted).
int Socket::wait_input(int timeout) {
    if (fd < 0) return 0;
    // Bytes the library already took from the descriptor (decrypted or not),
    // and a close_notify it already took in, never show in poll.
    if (ssl && (SSL_pending(ssl_session) > 0 || SSL_has_pending(ssl_session) ||
                (SSL_get_shutdown(ssl_session) & SSL_RECEIVED_SHUTDOWN)))
        return 1;
    long long ms = (long long)timeout * 1000;
    if (ms > INT_MAX || timeout < 0) ms = INT_MAX;
    long long start = clock_elapsed_ms();
    for (int attempt = 0; attempt < 1000; attempt++) {
        struct pollfd p;
        p.fd = fd;
        p.events = POLLIN;
        p.revents = 0;
        long long left = ms - (clock_elapsed_ms() - start);
        if (left < 0) left = 0;
        int r = poll(&p, 1, (int)left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 0;
        // Data that arrived before a hang-up is still read; a hang-up with
        // nothing left to read is a failure.
        return (p.revents & POLLIN) ? 1 : 0;
    }
    return 0;
}

int Socket::ReadNow() {
    if (fd < 0 || ssl || (read_group && read_group->quantum > 0)) return -3;
    unsigned held = in_length;
    unsigned want = (unsigned)block_size();
    if (want > BUFFER_MAX - held) return -3;
    Resize(held + want, 0);
    ssize_t r = -1;
    for (int attempt = 0; attempt < 100; attempt++) {
        r = recv(fd, in + held, want, MSG_DONTWAIT);
        if (r >= 0 || errno != EINTR) break;
    }
    int saved = errno;
    Resize(held + (r > 0 ? (unsigned)r : 0), 0);
    errno = saved;
    if (r >= 0) answer_due = false;
    if (r > 0) {
        if (read_group) read_group->Incr((int)r);
        bytes_in += (unsigned)r;
        return (int)r;
    }
    if (r == 0) return 0;
    if (saved == EAGAIN || saved == EWOULDBLOCK) return -2;
    return saved == ENOTSOCK ? -3 : -1;
}

// One system read of at most one block (and the read group's allowance)
// appended to the read-ahead buffer.
int Socket::fill(int timeout) {
    if (timeout != -1) {
        // Read first: a poll before a read that does not block is a system
        // call for nothing. The wait comes only when nothing has arrived,
        // which is the rule just after a request went out.
        if (!answer_due || timeout == 0) {
            int r = ReadNow();
            if (r > -2) return r;
            if (r == -2 && timeout == 0) return -1;
        }
        if (!wait_input(timeout)) return -1;
    }
    int want = block_size();
    int allowance = Throttle(0);
    if (allowance > 0 && allowance < want) want = allowance;
    unsigned held = in_length;
    if ((unsigned)want > BUFFER_MAX - held) {
        errno = ENOBUFS;
        return -1;
    }
    Resize(held + (unsigned)want, 0);
    int r = raw_read(in + held, want);
    int saved = errno;
    Resize(held + (r > 0 ? (unsigned)r : 0), 0);
    if (r > 0) {
        if (read_group) read_group->Incr(r);
        bytes_in += (unsigned)r;
    }
    errno = saved;
    return r;
}

// ---------------------------------------------------------------- reading

int Socket::Read(char *buffer, int n, int timeout) {
    if (n == -1) return fill(timeout);
    if (n < -1 || (n > 0 && !buffer)) return -1;
    if (n == 0) return 0;

    int delivered = 0;
    if (timeout != -1 && in_length < (unsigned)n && !wait_input(timeout)) {
        if (in_length == 0) return -1;
        // Nothing more came in time: the bytes already held are the answer,
        // not a failure.
        delivered = (int)in_length;
        memcpy(buffer, in, in_length);
        Clear(0);
        if (CallBackEvent(SOCKET_EVENT_READ, delivered, buffer) == -1) return -1;
        return delivered;
    }

    if (in_length > 0) {
        if (in_length >= (unsigned)n) {
            memcpy(buffer, in, (size_t)n);
            buffer_consume(this, (unsigned)n, 0);
            if (CallBackEvent(SOCKET_EVENT_READ, n, buffer) == -1) return -1;
            return n;
        }
        delivered = (int)in_length;
        memcpy(buffer, in, in_length);
        Clear(0);
    }

    int want = block_size();
    int allowance = Throttle(0);
    if (allowance > 0 && allowance < want) want = allowance;
    int room = n - delivered;
    int r;
    if (room >= want) {
        r = raw_read(buffer + delivered, want);
        if (r > 0) delivered += r;
    } else {
        // The block may be longer than the room left: read into the empty
        // read-ahead buffer and keep the surplus there.
        Resize((unsigned)want, 0);
        r = raw_read(in, want);
        int saved = errno;
        if (r > 0) {
            int take = r < room ? r : room;
            memcpy(buffer + delivered, in, (size_t)take);
            delivered += take;
            if (r > take) {
                memmove(in, in + take, (size_t)(r - take));
                Resize((unsigned)(r - take), 0);
            } else {
                Clear(0);
            }
        } else {
            Clear(0);
        }
        errno = saved;
    }
    if (r > 0) {
        if (read_group) read_group->Incr(r);
        bytes_in += (unsigned)r;
    }

    if (delivered == 0) return r;
    int saved = errno;
    if (CallBackEvent(SOCKET_EVENT_READ, delivered, buffer) == -1) return -1;
    if (r < 0) {
        CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
        errno = saved;
    }
    return delivered;
}

int Socket::GetLine(char *buffer, int size, int timeout) {
    // Bytes of an over-long line past what the caller can take are dropped
    // while reading, so a peer that never sends a line feed cannot make the
    // buffer grow without end.
    unsigned keep = size > 0 ? (unsigned)size - 1 : 0;
    unsigned searched = 0;
    char *lf;
    for (;;) {
        lf = in_length > searched ? (char *)memchr(in + searched, '\n', in_length - searched) : nullptr;
        if (lf) break;
        if (in_length > keep + BUFFER_STEP) Resize(keep, 0);
        searched = in_length;
        int r = Read(nullptr, -1, timeout);
        if (r <= 0) return r;
    }
    unsigned line = (unsigned)(lf - in) + 1;
    int result;
    if (size == -1) {
        // Skipped line: its length, so that success never reads as end of stream.
        result = (int)(line > (unsigned)INT_MAX ? INT_MAX : line);
    } else if (size <= 0 || !buffer) {
        result = 0;
    } else if (line < (unsigned)size) {
        memcpy(buffer, in, line);
        buffer[line] = '\0';
        result = (int)line;
    } else {
        memcpy(buffer, in, keep);
        buffer[keep] = '\0';
        result = (int)keep;
    }
    buffer_consume(this, line, 0);
    return result;
}

// ---------------------------------------------------------------- writing

int Socket::Write(const char *bytes, int length) {
    if (length < -1 || (length > 0 && !bytes)) return -1;
    bool failed = false;      // the write of pending output failed (any reason)
    bool hard_error = false;  // a write failed other than by EAGAIN
    int saved = 0;
    int direct = 0;

    if (held) {
        if (length <= 0) return 0;
        if ((unsigned)length > BUFFER_MAX - out_length) {
            CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
            errno = ENOBUFS;
            return -1;
        }
        unsigned before = out_length;
        Resize(before + (unsigned)length, 1);
        memcpy(out + before, bytes, (size_t)length);
        CallBackEvent(SOCKET_EVENT_WRITE, length, (char *)bytes);
        return 0;
    }

    bool unlimited = !write_group || write_group->quantum <= 0;
    if (out_length > 0 && length > 0 && !ssl && unlimited && out_length <= (unsigned)(INT_MAX - length)) {
        // What waited and what is new leave together.
        int r = raw_write_both(out, (int)out_length, bytes, length);
        if (r > 0) {
            if (write_group) write_group->Incr(r);
            bytes_out += (unsigned)r;
            unsigned from_out = (unsigned)r < out_length ? (unsigned)r : out_length;
            buffer_consume(this, from_out, 1);
            direct = r - (int)from_out;
        } else if (r < 0) {
            failed = true;
            saved = errno;
            if (errno != EAGAIN && errno != EWOULDBLOCK) hard_error = true;
        }
    } else if (out_length > 0) {
        unsigned want = out_length;
        int allowance = Throttle(1);
        if (allowance > 0 && (unsigned)allowance < want) want = (unsigned)allowance;
        if (want > (unsigned)INT_MAX) want = INT_MAX;
        int r = raw_write(out, (int)want);
        if (r > 0) {
            if (write_group) write_group->Incr(r);
            bytes_out += (unsigned)r;
            buffer_consume(this, (unsigned)r, 1);
        } else if (r < 0) {
            failed = true;
            saved = errno;
            if (errno != EAGAIN && errno != EWOULDBLOCK) hard_error = true;
        }
    }

    if (length == -1) {
        if (failed) {
            errno = saved;
            return -1;
        }
        CallBackEvent(SOCKET_EVENT_WRITE, -1, nullptr);
        return 0;
    }

    if (!hard_error && out_length == 0 && length > 0 && direct == 0) {
        int want = length;
        int allowance = Throttle(1);
        if (allowance > 0 && allowance < want) want = allowance;
        int r = raw_write(bytes, want);
        if (r > 0) {
            if (write_group) write_group->Incr(r);
            bytes_out += (unsigned)r;
            direct = r;
        } else if (r < 0) {
            saved = errno;
            if (errno != EAGAIN && errno != EWOULDBLOCK) hard_error = true;
        }
    }

    if (!hard_error && direct < length) {
        unsigned rest = (unsigned)(length - direct);
        if (rest > BUFFER_MAX - out_length) {
            hard_error = true;
            saved = ENOBUFS;
        } else {
            unsigned queued = out_length;
            Resize(queued + rest, 1);
            memcpy(out + queued, bytes + direct, rest);
        }
    }

    if (hard_error) {
        CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
        errno = saved;
        return -1;
    }
    CallBackEvent(SOCKET_EVENT_WRITE, length, (char *)bytes);
    return direct;
}

int Socket::PutSock(const char *format, ...) {
    char text[8192];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (n < 0) return -1;
    if (n > (int)sizeof text - 1) n = (int)sizeof text - 1;
    return Write(text, n);
}

int Socket::Flush() {
    if (held) return 0;
    // Every turn either sends something or ends; a descriptor that keeps
    // refusing without an error is given up on after this many turns.
    for (int stalls = 0; out_length > 0 && stalls < 10000;) {
        unsigned before = out_length;
        if (Write(nullptr, -1) == -1) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) break;
            // Non-blocking descriptor full: wait as a blocking write would.
            struct pollfd p;
            p.fd = fd;
            p.events = POLLOUT;
            p.revents = 0;
            int r = poll(&p, 1, -1);
            if (r < 0 && errno != EINTR) break;
            if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) break;
        }
        if (out_length >= before) stalls++;
        else stalls = 0;
    }
    return 0;
}

int Socket::WriteFilebuf(Filebuf *filebuf) {
    int result = 0;
    if (filebuf && filebuf->data && filebuf->size > 0) {
        // Write takes an int length; larger buffers go in pieces.
        const long long piece = 1 << 30;
        long long total = 0;
        for (long long offset = 0; offset < filebuf->size; offset += piece) {
            long long n = filebuf->size - offset < piece ? filebuf->size - offset : piece;
            int r = Write(filebuf->data + offset, (int)n);
            if (r == -1) {
                total = -1;
                break;
            }
            total += r;
        }
        result = total > INT_MAX ? INT_MAX : (int)total;
    }
    Flush();
    return result;
}

// ---------------------------------------------------------------- callbacks

int Socket::CallBackAdd(SocketCallBackFunction function, void *data, int mask) {
    SOCKET_CALLBACK_T entry{SocketCallBack(function, data), next_callback_id++, mask};
    callbacks.push_back(entry);
    return entry.id;
}

void Socket::CallBackRemove(int id) {
    for (size_t i = 0; i < callbacks.size(); i++) {
        if (callbacks[i].id == id) {
            callbacks.erase(callbacks.begin() + (long)i);
            return;
        }
    }
    fatal_assert("src/socket", __LINE__, "CallBackRemove");
}

int Socket::CallBackMaskGet(int id) {
    for (auto &entry : callbacks)
        if (entry.id == id) return entry.mask;
    fatal_assert("src/socket", __LINE__, "CallBackMaskGet");
}

void Socket::CallBackMaskSet(int id, int mask) {
    for (auto &entry : callbacks) {
        if (entry.id == id) {
            entry.mask = mask;
            return;
        }
    }
    fatal_assert("src/socket", __LINE__, "CallBackMaskSet");
}

int Socket::CallBackEvent(int event, int length, char *bytes) {
    // Callbacks may remove or add callbacks while they run: walk by id, so a
    // removed one is never called and one added now waits for the next event.
    int last = -1;
    int end = next_callback_id;
    for (;;) {
        const SOCKET_CALLBACK_T *next = nullptr;
        for (const auto &entry : callbacks) {
            if (entry.id > last && entry.id < end) {
                next = &entry;
                break;
            }
        }
        if (!next) return 0;
        last = next->id;
        if (next->mask & event) {
            SocketCallBack call = next->callback;
            if (call.Call(length, bytes) == -1) return -1;
        }
    }
}
