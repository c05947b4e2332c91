// Filebuf: the program's one growable byte buffer (bodies, pages, templates,
// serialised heads, files), and the gzip/deflate content coding of bodies.
//
// Sizes are 64-bit so bodies past 2 GiB neither wrap nor go negative; print
// `size` with %lld. `data` is not NUL-terminated by the buffer itself.
#ifndef KORVANTEL_FILEBUF_H
#define KORVANTEL_FILEBUF_H

#include <stddef.h>
#include <sys/types.h>

#include <string>

struct STACK_T;
struct CONNECTION_T;

// Default ceiling for decoded bodies: a small compressed body may expand
// about a thousandfold, and the whole result lives in memory.
#define FILEBUF_UNCOMPRESS_LIMIT ((size_t)256 * 1024 * 1024)

class Filebuf {
public:
    long long size;   // bytes in use
    size_t capacity;  // bytes allocated; multiple of 65,536 except after Shorten and Dup
    char *data;       // null while nothing was ever allocated
    char *mime_type;  // MIME type set by a producer (templates, pages); owned

    Filebuf();
    ~Filebuf();
    Filebuf(const Filebuf &) = delete;
    Filebuf &operator=(const Filebuf &) = delete;

    // Appends n bytes.
    void Add(const void *bytes, long long n);
    // Appends formatted text, however long.
    void Addf(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Sets the size; grows or shrinks the allocation in 64 KiB steps. Resize(0)
    // keeps the allocation. New bytes are not initialised.
    void Resize(long long n);
    // Replaces bytes [start, end) by the NUL-terminated text. Positions outside
    // the content are clamped to it.
    void Replace(long long start, long long end, const char *text);
    // Removes the first n bytes; n past the size is a fatal internal error.
    void Trim(long long n);
    // Reallocates to exactly `size` bytes.
    void Shorten();
    // Takes over other's bytes, leaving it empty; null just empties this buffer.
    // mime_type of neither changes.
    void Swap(Filebuf *other);
    // New buffer holding a copy of the bytes (no MIME type).
    Filebuf *Dup() const;
    // One node per line feed separated line (line feeds dropped, carriage
    // returns kept); null when nothing was ever allocated. Free with stack_free.
    STACK_T *to_stack() const;
    // One write() of the whole content; returns its result.
    ssize_t Save(int fd) const;
    // Appends a whole file; returns the bytes appended or -1 when it cannot be opened.
    long long Read(const char *path);

    // Deflate-encodes the content (gzip-wrapped when gzip is 1). 1 on success,
    // 0 with the content unchanged.
    int Compress(int gzip);
    // Decodes gzip (gzip 1) or deflate (gzip 0; zlib-wrapped or raw) content.
    // Fails (0, content unchanged) on corrupt or truncated input and when the
    // decoded size would exceed limit bytes (then *over_limit is set, when
    // given); 1 on success. Decoding stops at the limit: no more than about
    // limit bytes are ever held.
    int Uncompress(int gzip, size_t limit = FILEBUF_UNCOMPRESS_LIMIT, bool *over_limit = nullptr);

    // Decodes a response body by the response's Content-Encoding; 1 when
    // decoded. *over_limit, when given, tells a body whose decoded form would
    // pass limit from one that cannot be decoded.
    int Decode(CONNECTION_T *connection, size_t limit = FILEBUF_UNCOMPRESS_LIMIT, bool *over_limit = nullptr);
    // Encodes a response body by the request's Accept-Encoding when the general
    // rules ask for it; 1 when encoded (Content-Encoding then updated).
    int Encode(CONNECTION_T *connection);
};

// A private copy of a buffer in a temporary file (mode 0600), removed when
// this goes out of scope.
class TempFile {
public:
    TempFile() {}
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // Makes directory/extXXXXXX; false with *why set when it cannot.
    bool open(const std::string &directory, std::string *why);
    // Writes body into the file open() made and closes it; false with *why
    // set when it cannot (the file goes when this goes out of scope).
    bool write(const Filebuf *body, std::string *why);
    // Both; a failure is logged and leaves nothing behind.
    bool create(const std::string &directory, const Filebuf *body, std::string *why);
    // The same in the general section's temporary directory.
    bool create(const Filebuf *body, std::string *why);
    const std::string &path() const { return path_; }

private:
    void remove();
    std::string path_;
    int fd_ = -1;
};

#endif
