// Socket: the buffered peer connection every conversation goes through
// (clients, origin servers, parents, scanner daemons, ICAP, NTLM daemon).
// A connected descriptor, optionally under a TLS client session, with a
// read-ahead buffer (line reads, push-back), a pending-output buffer (partial
// and non-blocking writes lose nothing), event callbacks, per-direction rate
// groups and byte counters reported when the socket is destroyed.
//
// LimitGroup: a rate bucket shared by every socket of one rate-limit rule.
#ifndef KORVANTEL_SOCKET_H
#define KORVANTEL_SOCKET_H

#include <pthread.h>
#include <sys/time.h>

#include <vector>

#include "atom.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
class Filebuf;

// Event bits of callback masks.
enum {
    SOCKET_EVENT_READ = 1,
    SOCKET_EVENT_WRITE = 2,
    SOCKET_EVENT_ERROR = 4,
};

// Callback function: (data pointer, length, bytes). Returning -1 refuses the event.
typedef int (*SocketCallBackFunction)(void *data, int length, char *bytes);

class SocketCallBack {
public:
    SocketCallBackFunction function;
    void *data;

    SocketCallBack(SocketCallBackFunction function, void *data);
    int Call(int length, char *bytes);
};

struct SOCKET_CALLBACK_T {
    SocketCallBack callback;
    int id;
    int mask;
};

// Bytes per second shared by several sockets, metered in 100 ms windows.
// The reference count (Atom) changes only under atomlock; count and the window
// only under mutex.
class LimitGroup : public Atom {
public:
    unsigned int rate;            // bytes per second
    int count;                    // bytes moved in the current window
    int quantum;                  // bytes per 100 ms window: rate/10, at least 1
                                  // for a positive rate; 0 (rate 0) means no limit
    struct timeval window_start;  // start of the current window
    pthread_mutex_t mutex;

    explicit LimitGroup(unsigned int rate);
    ~LimitGroup();
    LimitGroup(const LimitGroup &) = delete;
    LimitGroup &operator=(const LimitGroup &) = delete;

    // Adds n to count under the mutex; returns the new count.
    int Incr(int n);
};

// Takes one reference to group under atomlock (null is ignored).
void limitgroup_hold(LimitGroup *group);
// Drops one reference under atomlock; the last one destroys the group.
void limitgroup_release(LimitGroup *group);

class Socket {
public:
    int ssl;                                   // 1 while a TLS session is active
    int next_callback_id;                      // id of the next registered callback
    unsigned in_capacity;                      // multiple of 65536
    unsigned out_capacity;                     // multiple of 65536
    char *in;                                  // read-ahead buffer
    char *out;                                 // pending-output buffer
    std::vector<SOCKET_CALLBACK_T> callbacks;  // registration order
    SSL *ssl_session;
    SSL_CTX *ssl_ctx;
    LimitGroup *read_group;        // null: unlimited
    LimitGroup *write_group;       // null: unlimited
    int fd;                        // -1: none
    unsigned in_length;            // bytes held in `in`
    unsigned out_length;           // bytes waiting in `out`
    unsigned long long bytes_in;   // bytes read in total
    unsigned long long bytes_out;  // bytes written in total

    Socket();
    explicit Socket(int fd);
    // Flushes, shuts TLS down, closes the descriptor, drops the rate groups
    // and reports the byte counts.
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    // Starts a TLS client session (mode 1; other modes fail) over fd and runs
    // the handshake. host, when given, is sent as SNI. 1 on success, 0 on failure.
    int Encrypt(int mode, const char *host = nullptr);
    // true: blocking mode, false: non-blocking.
    void Blocking(bool flag);
    // Replaces both rate groups (null: unlimited); takes its own reference to
    // each new group, so a caller that made a group only for this socket
    // drops its creation reference afterwards.
    void SetRate(LimitGroup *read_group, LimitGroup *write_group);
    // Bytes the next system call may move (direction 1 write, 0 read); 0: no limit.
    int Throttle(int direction);

    // Reads up to n bytes: held bytes first, then at most one system read.
    // timeout in seconds, -1 none; when it runs out, held bytes are still
    // delivered. n = -1 reads one block into the read-ahead buffer only (no
    // read event; the bytes count in bytes_in and the read group).
    // Returns bytes delivered, 0 at end of stream, -1 on error, time-out with
    // nothing held, or a refusing read callback.
    int Read(char *buffer, int n, int timeout);
    int Read(char *buffer, int n) { return Read(buffer, n, -1); }

    // Reads what has already arrived into the read-ahead buffer, at most one
    // block, without waiting: bytes read, 0 at end of stream, -1 on error,
    // -2 when nothing has arrived, -3 when the socket cannot tell without
    // waiting (TLS, a read limit, not a socket). No read event.
    int ReadNow();

    // Reads one line. size -1 skips it and returns its length; otherwise
    // copies the line with its line feed and a NUL when it fits in size bytes,
    // else its first size - 1 bytes and a NUL, and returns the bytes copied.
    // The whole line always leaves the read-ahead buffer. Without a line feed
    // returns the failed fill's result (0 end of stream, -1 error or time-out)
    // with the partial line kept buffered (of an over-long one, only what the
    // caller could take).
    int GetLine(char *buffer, int size, int timeout);
    int GetLine(char *buffer, int size) { return GetLine(buffer, size, -1); }

    // Puts bytes back in front of the read-ahead buffer; returns the previous in_length.
    unsigned PushFront(const char *bytes, unsigned length);

    // Writes, queueing what cannot go now. length -1 only tries to send
    // pending output (0, or -1 when that write failed). Otherwise returns the
    // bytes written directly (0 when queued), -1 on a write error other than
    // EAGAIN (the new bytes are then dropped).
    int Write(const char *bytes, int length);
    // Formatted write of at most 8191 bytes.
    int PutSock(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Sends pending output until none is left or a write fails; returns 0.
    int Flush();
    // Write of the buffer's bytes, then Flush; returns the Write result.
    int WriteFilebuf(Filebuf *filebuf);
    // Holds output back: writes queue without being sent and Flush waits,
    // until Release. For a head whose body follows at once, so that both
    // leave in one write.
    void Hold() { held = true; }
    void Release() { held = false; }

    // Empties the output (which != 0) or input (which == 0) buffer.
    void Clear(int which);
    // Sets the length of the output (which != 0) or input buffer to n.
    void Resize(unsigned n, int which);

    // Registers a callback for the events of mask; returns its id.
    int CallBackAdd(SocketCallBackFunction function, void *data, int mask);
    // Unknown ids are a fatal internal error.
    void CallBackRemove(int id);
    int CallBackMaskGet(int id);
    void CallBackMaskSet(int id, int mask);
    // Calls every callback whose mask has the event bit, in registration
    // order; -1 from the first refusing one, else 0.
    int CallBackEvent(int event, int length, char *bytes);

private:
    bool held;  // see Hold
    // Bytes went out and nothing has been read since: an answer is due, and
    // has rarely come yet, so a read that may wait polls before it reads.
    bool answer_due = false;

    int wait_input(int timeout);
    int raw_read(char *buffer, int n);
    int raw_write(const char *bytes, int n);
    int raw_write_both(const char *first, int n1, const char *second, int n2);
    int fill(int timeout);
    void free_tls();
};

#endif
