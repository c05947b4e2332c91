#include "filebuf.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "compat.h"
#include "connection.h"
#include "general.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "settings.h"

static const char FILEBUF_SOURCE[] = "src/filebuf";
static const size_t GROWTH_STEP = 65536;
static const size_t CODING_PIECE = 8192;
// zlib counts its input and output in 32-bit words; larger bodies go in slices.
static const size_t ZLIB_SLICE = 1u << 30;

namespace {

// The last one-step block a buffer of this thread gave back, kept for the
// thread's next buffer. Small buffers come and go several times a request
// (heads handed to the processors, bodies, pages), and a block of a whole
// step always takes the allocator's slow path, which first sweeps up every
// small block freed since. The pointer and the flag are plain thread data,
// usable even while the thread's other objects are destroyed; the keeper
// frees the block when the thread ends.
thread_local char *spare_block = nullptr;
thread_local bool spare_closed = false;

struct SpareKeeper {
    ~SpareKeeper() {
        free(spare_block);
        spare_block = nullptr;
        spare_closed = true;
    }
};
thread_local SpareKeeper spare_keeper;

char *spare_take() {
    char *block = spare_block;
    spare_block = nullptr;
    return block;
}

// Keeps a block of exactly one step while none is kept; frees any other.
void spare_give(char *block, size_t capacity) {
    if (block != nullptr && capacity == GROWTH_STEP && spare_block == nullptr && !spare_closed) {
        (void)&spare_keeper;  // sets the keeper up for this thread
        spare_block = block;
    } else {
        free(block);
    }
}

}  // namespace

Filebuf::Filebuf() : size(0), capacity(0), data(nullptr), mime_type(nullptr) {}

Filebuf::~Filebuf() {
    spare_give(data, capacity);
    free(mime_type);
}

void Filebuf::Resize(long long n) {
    if (n < 0) fatal_assert(FILEBUF_SOURCE, __LINE__, "Resize");

    size_t wanted = (size_t)n;
    if (wanted > capacity || capacity - wanted > GROWTH_STEP || data == nullptr) {
        if (wanted == 0) {
            size = 0;
            return;
        }
        if (wanted > SIZE_MAX - GROWTH_STEP) fatal_alloc(FILEBUF_SOURCE, __LINE__, "Resize", wanted);
        size_t rounded = (wanted + GROWTH_STEP - 1) / GROWTH_STEP * GROWTH_STEP;
        char *grown = data == nullptr && rounded == GROWTH_STEP ? spare_take() : nullptr;
        if (grown == nullptr) grown = (char *)xrealloc(data, rounded);
        if (grown == nullptr) fatal_alloc(FILEBUF_SOURCE, __LINE__, "Resize", rounded);
        data = grown;
        capacity = rounded;
    }
    size = n;
}

void Filebuf::Add(const void *bytes, long long n) {
    if (n <= 0 || bytes == nullptr) return;
    if (size > LLONG_MAX - n) fatal_alloc(FILEBUF_SOURCE, __LINE__, "Add", SIZE_MAX);

    // The bytes may come from this very buffer, which Resize can move.
    const char *source = (const char *)bytes;
    long long offset = -1;
    if (data != nullptr && source >= data && source < data + size) offset = source - data;

    long long old = size;
    Resize(size + n);
    if (offset >= 0) source = data + offset;
    memmove(data + old, source, (size_t)n);
}

void Filebuf::Addf(const char *format, ...) {
    // Most texts fit the work area; a longer one is formatted again at its
    // full length, never cut.
    char work[8192];
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int length = vsnprintf(work, sizeof(work), format, arguments);
    va_end(arguments);
    if (length >= 0 && length < (int)sizeof(work)) {
        Add(work, length);
    } else if (length > 0) {
        // Formatted apart first: an argument may point into this buffer,
        // which growing can move.
        std::vector<char> text((size_t)length + 1);
        vsnprintf(text.data(), text.size(), format, again);
        Add(text.data(), length);
    }
    va_end(again);
}

void Filebuf::Replace(long long start, long long end, const char *text) {
    if (text == nullptr) text = "";
    if (start < 0) start = 0;
    if (start > size) start = size;
    if (end < start) end = start;
    if (end > size) end = size;

    // A replacement taken from this buffer must survive the move below.
    char *copy = nullptr;
    if (data != nullptr && text >= data && text < data + capacity) {
        copy = xstrndup(text, (size_t)(data + capacity - text));
        if (copy == nullptr) fatal_alloc(FILEBUF_SOURCE, __LINE__, "Replace", strlen(text) + 1);
        text = copy;
    }

    long long length = (long long)strlen(text);
    long long tail = size - end;
    long long removed = end - start;
    if (length > removed) {
        Resize(size + (length - removed));
        memmove(data + start + length, data + end, (size_t)tail);
    } else if (length < removed) {
        memmove(data + start + length, data + end, (size_t)tail);
        Resize(size - (removed - length));
    }
    if (length > 0) memcpy(data + start, text, (size_t)length);
    free(copy);
}

void Filebuf::Trim(long long n) {
    if (n < 0 || n > size) fatal_assert(FILEBUF_SOURCE, __LINE__, "Trim");
    if (n == 0) return;
    memmove(data, data + n, (size_t)(size - n));
    Resize(size - n);
}

void Filebuf::Shorten() {
    if (data == nullptr || size <= 0 || (size_t)size >= capacity) return;
    char *shrunk = (char *)xrealloc(data, (size_t)size);
    if (shrunk == nullptr) fatal_alloc(FILEBUF_SOURCE, __LINE__, "Shorten", (size_t)size);
    data = shrunk;
    capacity = (size_t)size;
}

void Filebuf::Swap(Filebuf *other) {
    if (other == this) return;
    spare_give(data, capacity);
    data = nullptr;
    size = 0;
    capacity = 0;
    if (other == nullptr) return;
    data = other->data;
    size = other->size;
    capacity = other->capacity;
    other->data = nullptr;
    other->size = 0;
    other->capacity = 0;
}

Filebuf *Filebuf::Dup() const {
    Filebuf *copy = new Filebuf();
    if (size > 0) {
        copy->data = (char *)xmalloc((size_t)size);
        if (copy->data == nullptr) fatal_alloc(FILEBUF_SOURCE, __LINE__, "Dup", (size_t)size);
        memcpy(copy->data, data, (size_t)size);
        copy->size = size;
        copy->capacity = (size_t)size;
    }
    return copy;
}

static STACK_T *stack_node(const char *text, size_t length) {
    STACK_T *node;
    XMALLOC_OR_DIE(node, sizeof(STACK_T), FILEBUF_SOURCE);
    node->text = (char *)xmalloc(length + 1);
    if (node->text == nullptr) fatal_alloc(FILEBUF_SOURCE, __LINE__, "to_stack", length + 1);
    if (length > 0) memcpy(node->text, text, length);
    node->text[length] = '\0';
    return node;
}

STACK_T *Filebuf::to_stack() const {
    if (data == nullptr) return nullptr;

    STACK_T *first = nullptr;
    STACK_T *last = nullptr;
    long long start = 0;
    long long position = 0;
    for (;;) {
        const char *feed = nullptr;
        if (position < size) feed = (const char *)memchr(data + position, '\n', (size_t)(size - position));
        long long end = feed ? feed - data : size;
        // A final line feed ends the last line; it starts no empty one.
        if (feed == nullptr && start == size && first != nullptr) break;
        STACK_T *node = stack_node(data + start, (size_t)(end - start));
        node->prev = last;
        if (last) last->next = node;
        else first = node;
        last = node;
        if (feed == nullptr) break;
        start = position = end + 1;
    }
    return first;
}

ssize_t Filebuf::Save(int fd) const {
    if (data == nullptr || size <= 0) return write(fd, "", 0);
    return write(fd, data, (size_t)size);
}

long long Filebuf::Read(const char *path) {
    int fd = s_open(path, O_RDONLY, 0);
    if (fd == -1) return -1;

    long long block = BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
    long long appended = 0;
    for (;;) {
        long long old = size;
        Resize(old + block);
        ssize_t got = read(fd, data + old, (size_t)block);
        if (got < 0 && errno == EINTR) {
            Resize(old);
            continue;
        }
        if (got <= 0) {
            Resize(old);
            break;
        }
        Resize(old + got);
        appended += got;
    }
    close(fd);
    return appended;
}

// ---------------------------------------------------------------------------
// Content coding

static void zlib_error(int code) {
    switch (code) {
        case Z_NEED_DICT: putlog(LOG_ERROR, "zlib: dictionary error"); break;
        case Z_BUF_ERROR: putlog(LOG_ERROR, "zlib: buffer error"); break;
        case Z_MEM_ERROR: putlog(LOG_ERROR, "zlib: memory error"); break;
        case Z_DATA_ERROR: putlog(LOG_ERROR, "zlib: data error"); break;
        case Z_STREAM_ERROR: putlog(LOG_ERROR, "zlib: stream error"); break;
        default: putlog(LOG_ERROR, "zlib: unknown error %d", code); break;
    }
}

static void put_le32(Filebuf *out, uint32_t value) {
    unsigned char bytes[4] = {(unsigned char)value, (unsigned char)(value >> 8), (unsigned char)(value >> 16),
                              (unsigned char)(value >> 24)};
    out->Add(bytes, 4);
}

static uint32_t get_le32(const unsigned char *bytes) {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

static uint32_t crc32_of(const unsigned char *bytes, size_t length) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (length > 0) {
        size_t slice = length < ZLIB_SLICE ? length : ZLIB_SLICE;
        crc = crc32(crc, bytes, (uInt)slice);
        bytes += slice;
        length -= slice;
    }
    return (uint32_t)crc;
}

int Filebuf::Compress(int gzip) {
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) return 0;

    Filebuf out;
    if (gzip) {
        static const unsigned char header[10] = {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 0x03};
        out.Add(header, sizeof(header));
    }

    const unsigned char *input = (const unsigned char *)data;
    size_t remaining = size > 0 ? (size_t)size : 0;
    int result;
    for (;;) {
        if (stream.avail_in == 0 && remaining > 0) {
            size_t slice = remaining < ZLIB_SLICE ? remaining : ZLIB_SLICE;
            stream.next_in = (Bytef *)input;
            stream.avail_in = (uInt)slice;
            input += slice;
            remaining -= slice;
        }
        int flush = (remaining == 0 && stream.avail_in == 0) ? Z_FINISH : Z_NO_FLUSH;
        long long old = out.size;
        out.Resize(old + (long long)CODING_PIECE);
        stream.next_out = (Bytef *)out.data + old;
        stream.avail_out = (uInt)CODING_PIECE;
        result = deflate(&stream, flush);
        out.Resize(old + (long long)(CODING_PIECE - stream.avail_out));
        if (result == Z_STREAM_END) break;
        if (result != Z_OK && result != Z_BUF_ERROR) {
            zlib_error(result);
            deflateEnd(&stream);
            return 0;
        }
    }
    deflateEnd(&stream);

    if (gzip) {
        put_le32(&out, crc32_of((const unsigned char *)data, size > 0 ? (size_t)size : 0));
        put_le32(&out, (uint32_t)(unsigned long long)size);
    }
    Swap(&out);
    return 1;
}

// Inflates one stream from input into out, never letting out grow past
// limit. window_bits picks raw (-15) or zlib-wrapped (15) data. Returns 1
// when the stream reached its end and sets *used to the bytes it consumed,
// -1 when the output would pass the limit, 0 for bad or truncated data
// (logged unless quiet).
static int inflate_stream(const unsigned char *input, size_t length, int window_bits, std::string *out, size_t limit,
                          size_t *used, int quiet) {
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    if (inflateInit2(&stream, window_bits) != Z_OK) return 0;

    const unsigned char *next = input;
    size_t remaining = length;
    int result;
    for (;;) {
        if (stream.avail_in == 0 && remaining > 0) {
            size_t slice = remaining < ZLIB_SLICE ? remaining : ZLIB_SLICE;
            stream.next_in = (Bytef *)next;
            stream.avail_in = (uInt)slice;
            next += slice;
            remaining -= slice;
        }
        // One byte of room past the limit tells an exact fit from an overflow.
        size_t produced = out->size();
        size_t room = limit - produced >= CODING_PIECE ? CODING_PIECE : limit - produced + 1;
        uInt before_in = stream.avail_in;
        // Room grows geometrically (up to the limit): growing by one piece
        // at a time would copy a large output over and over.
        if (produced + room > out->capacity()) {
            size_t grown = out->capacity() * 2 > produced + room ? out->capacity() * 2 : produced + room;
            out->reserve(grown < limit + 1 ? grown : limit + 1);
        }
        out->resize(produced + room);
        stream.next_out = (Bytef *)&(*out)[produced];
        stream.avail_out = (uInt)room;
        result = inflate(&stream, Z_NO_FLUSH);
        out->resize(produced + room - stream.avail_out);
        if (out->size() > limit) {
            putlog(LOG_ERROR, "zlib: decoded content exceeds %zu bytes", limit);
            inflateEnd(&stream);
            return -1;
        }
        if (result == Z_STREAM_END) break;
        bool stalled = stream.avail_in == before_in && out->size() == produced;
        if (result != Z_OK || (stalled && remaining == 0)) {
            // Input that ends before the stream does is reported as zlib
            // reports a stall: a buffer error.
            if (!quiet) zlib_error(result == Z_OK ? Z_BUF_ERROR : result);
            inflateEnd(&stream);
            return 0;
        }
    }
    *used = (size_t)(next - input) - stream.avail_in;
    inflateEnd(&stream);
    return 1;
}

// Length of the gzip member header at the start of input, or 0 when it is
// not one (bad magic, unknown method, reserved flags, or cut short).
static size_t gzip_header_length(const unsigned char *input, size_t length) {
    enum { FHCRC = 0x02, FEXTRA = 0x04, FNAME = 0x08, FCOMMENT = 0x10, FRESERVED = 0xE0 };
    if (length < 10 || input[0] != 0x1F || input[1] != 0x8B || input[2] != 8) return 0;
    unsigned flags = input[3];
    if (flags & FRESERVED) return 0;
    size_t position = 10;
    if (flags & FEXTRA) {
        if (length - position < 2) return 0;
        size_t extra = (size_t)input[position] | (size_t)input[position + 1] << 8;
        position += 2;
        if (length - position < extra) return 0;
        position += extra;
    }
    for (unsigned text_flag : {(unsigned)FNAME, (unsigned)FCOMMENT}) {
        if (!(flags & text_flag)) continue;
        const void *nul = memchr(input + position, 0, length - position);
        if (nul == nullptr) return 0;
        position = (size_t)((const unsigned char *)nul - input) + 1;
    }
    if (flags & FHCRC) {
        if (length - position < 2) return 0;
        position += 2;
    }
    return position;
}

int Filebuf::Uncompress(int gzip, size_t limit, bool *over_limit) {
    if (over_limit) *over_limit = false;
    const unsigned char *input = (const unsigned char *)data;
    size_t length = (data != nullptr && size > 0) ? (size_t)size : 0;
    std::string out;

    if (gzip) {
        // Header, deflate data and the 8-byte trailer cannot fit in fewer bytes.
        if (length <= 17) return 0;
        size_t position = 0;
        // A gzip body may hold several members one after another.
        do {
            size_t header = gzip_header_length(input + position, length - position);
            if (header == 0) {
                putlog(LOG_ERROR, "zlib: invalid gzip header");
                return 0;
            }
            position += header;
            size_t start = out.size();
            size_t used = 0;
            int done = inflate_stream(input + position, length - position, -15, &out, limit, &used, 0);
            if (done == -1 && over_limit) *over_limit = true;
            if (done != 1) return 0;
            position += used;
            if (length - position < 8) {
                zlib_error(Z_BUF_ERROR);
                return 0;
            }
            size_t produced = out.size() - start;
            if (get_le32(input + position) != crc32_of((const unsigned char *)out.data() + start, produced) ||
                get_le32(input + position + 4) != (uint32_t)produced) {
                putlog(LOG_ERROR, "zlib: gzip checksum mismatch");
                return 0;
            }
            position += 8;
            // Anything after the last member that is not another member is padding.
        } while (length - position >= 18 && input[position] == 0x1F && input[position + 1] == 0x8B);
    } else {
        size_t used = 0;
        // A valid zlib header (deflate method, window up to 32 KiB, check
        // bits) marks a wrapped stream; a raw stream can look like one only by
        // chance, so a failed wrapped attempt falls back to raw.
        bool wrapped = length >= 2 && (input[0] & 0x0F) == 8 && (input[0] >> 4) <= 7 &&
                       ((unsigned)input[0] << 8 | input[1]) % 31 == 0;
        int done = 0;
        if (wrapped) {
            done = inflate_stream(input, length, 15, &out, limit, &used, 1);
            if (done == -1) {
                if (over_limit) *over_limit = true;
                return 0;
            }
            if (done == 0) out.clear();
        }
        if (done != 1) {
            done = inflate_stream(input, length, -15, &out, limit, &used, 0);
            if (done == -1 && over_limit) *over_limit = true;
            if (done != 1) return 0;
        }
    }

    Filebuf result;
    if (!out.empty()) result.Add(out.data(), (long long)out.size());
    Swap(&result);
    return 1;
}

// ---------------------------------------------------------------------------
// Response bodies

int Filebuf::Decode(CONNECTION_T *connection, size_t limit, bool *over_limit) {
    if (over_limit) *over_limit = false;
    const char *encoding = "";
    if (connection && connection->response && connection->response->content_encoding)
        encoding = connection->response->content_encoding;

    if (s_strcasestr(encoding, "gzip")) {
        if (Uncompress(1, limit, over_limit)) {
            putlog(LOG_DEBUG, "decompressed gzip encoded file");
            return 1;
        }
        putlog(LOG_ERROR, "failed to decompress gzip encoded content");
        return 0;
    }
    if (s_strcasestr(encoding, "deflate")) {
        if (Uncompress(0, limit, over_limit)) {
            putlog(LOG_DEBUG, "decompressed deflate encoded file");
            return 1;
        }
        putlog(LOG_ERROR, "failed to decompress deflate encoded content");
        return 0;
    }
    putlog(LOG_WARNING, "unhandled content encoding: %s", encoding);
    return 0;
}

int Filebuf::Encode(CONNECTION_T *connection) {
    if (connection == nullptr || connection->request == nullptr || connection->response == nullptr) return 0;
    // The Accept-Encoding on the request is then the proxy's own.
    if (connection->flags & CONN_ENCODED) return 0;
    const char *accepted = connection->request->accept_encoding;
    if (accepted == nullptr) return 0;
    if (general_section == nullptr || !general_section->compressout_get(connection)) return 0;

    const char *encoding;
    if (s_strcasestr(accepted, "gzip")) {
        if (!Compress(1)) {
            putlog(LOG_ERROR, "failed to gzip encoded file");
            return 0;
        }
        putlog(LOG_DEBUG, "gzip encoded file");
        encoding = "gzip";
    } else if (s_strcasestr(accepted, "deflate")) {
        if (!Compress(0)) {
            putlog(LOG_ERROR, "failed to deflate encoded file");
            return 0;
        }
        putlog(LOG_DEBUG, "deflate encoded file");
        encoding = "deflate";
    } else {
        return 0;
    }

    char *copy = xstrdup(encoding);
    if (copy == nullptr) fatal_alloc(FILEBUF_SOURCE, __LINE__, "Encode", strlen(encoding) + 1);
    free(connection->response->content_encoding);
    connection->response->content_encoding = copy;
    return 1;
}

/* ---- temporary files ---- */

TempFile::~TempFile() { remove(); }

void TempFile::remove() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!path_.empty()) unlink(path_.c_str());
    path_.clear();
}

bool TempFile::open(const std::string &directory, std::string *why) {
    remove();
    std::string name = directory + "/extXXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    fd_ = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd_ < 0) {
        *why = "cannot create a temporary file in " + directory + ": " + strerror(errno);
        return false;
    }
    path_ = buffer.data();
    fchmod(fd_, 0600);
    return true;
}

bool TempFile::write(const Filebuf *body, std::string *why) {
    const char *data = body && body->data ? body->data : "";
    long long left = body ? body->size : 0;
    while (left > 0) {
        ssize_t n = ::write(fd_, data, (size_t)left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = "cannot write the temporary file " + path_ + ": " + strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        data += n;
        left -= n;
    }
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        *why = "cannot write the temporary file " + path_ + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool TempFile::create(const std::string &directory, const Filebuf *body, std::string *why) {
    if (open(directory, why) && write(body, why)) return true;
    putlog(LOG_ERROR, "%s", why->c_str());
    remove();
    return false;
}

bool TempFile::create(const Filebuf *body, std::string *why) {
    std::string directory = general_section ? general_section->tempdir_get() : "/tmp";
    return create(directory, body, why);
}
