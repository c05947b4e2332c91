#include "atom.h"

#include <string.h>

#include "mem.h"

pthread_mutex_t atomlock = PTHREAD_MUTEX_INITIALIZER;

Atom::Atom() : count(1) {}

Atom::~Atom() {
    if (count != 0) fatal_assert("src/atom", 14, "~Atom");
}

Atom *Atom::New() {
    count++;
    return this;
}

bool Atom::Delete() { return --count == 0; }

// ---------------------------------------------------------------------------
// MD5

static inline uint32_t load_le32(const unsigned char *bytes) {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

static inline void store_le32(unsigned char *bytes, uint32_t value) {
    bytes[0] = (unsigned char)value;
    bytes[1] = (unsigned char)(value >> 8);
    bytes[2] = (unsigned char)(value >> 16);
    bytes[3] = (unsigned char)(value >> 24);
}

static inline uint32_t rotate_left(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void md5_starts(md5_context *context) {
    context->total[0] = 0;
    context->total[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xEFCDAB89;
    context->state[2] = 0x98BADCFE;
    context->state[3] = 0x10325476;
    memset(context->buffer, 0, sizeof(context->buffer));
}

void md5_process(md5_context *context, const unsigned char block[64]) {
    // Per-round shift amounts and the sine-derived constants of each step.
    static const int SHIFTS[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    static const uint32_t K[64] = {
        0xD76AA478, 0xE8C7B756, 0x242070DB, 0xC1BDCEEE, 0xF57C0FAF, 0x4787C62A, 0xA8304613, 0xFD469501,
        0x698098D8, 0x8B44F7AF, 0xFFFF5BB1, 0x895CD7BE, 0x6B901122, 0xFD987193, 0xA679438E, 0x49B40821,
        0xF61E2562, 0xC040B340, 0x265E5A51, 0xE9B6C7AA, 0xD62F105D, 0x02441453, 0xD8A1E681, 0xE7D3FBC8,
        0x21E1CDE6, 0xC33707D6, 0xF4D50D87, 0x455A14ED, 0xA9E3E905, 0xFCEFA3F8, 0x676F02D9, 0x8D2A4C8A,
        0xFFFA3942, 0x8771F681, 0x6D9D6122, 0xFDE5380C, 0xA4BEEA44, 0x4BDECFA9, 0xF6BB4B60, 0xBEBFBC70,
        0x289B7EC6, 0xEAA127FA, 0xD4EF3085, 0x04881D05, 0xD9D4D039, 0xE6DB99E5, 0x1FA27CF8, 0xC4AC5665,
        0xF4292244, 0x432AFF97, 0xAB9423A7, 0xFC93A039, 0x655B59C3, 0x8F0CCC92, 0xFFEFF47D, 0x85845DD1,
        0x6FA87E4F, 0xFE2CE6E0, 0xA3014314, 0x4E0811A1, 0xF7537E82, 0xBD3AF235, 0x2AD7D2BB, 0xEB86D391};

    uint32_t X[16];
    for (int i = 0; i < 16; i++) X[i] = load_le32(block + 4 * i);

    uint32_t a = context->state[0], b = context->state[1], c = context->state[2], d = context->state[3];
    for (int step = 0; step < 64; step++) {
        int round = step / 16;
        uint32_t f;
        int index;
        switch (round) {
            case 0:
                f = (b & c) | (~b & d);
                index = step;
                break;
            case 1:
                f = (b & d) | (c & ~d);
                index = (5 * step + 1) % 16;
                break;
            case 2:
                f = b ^ c ^ d;
                index = (3 * step + 5) % 16;
                break;
            default:
                f = c ^ (b | ~d);
                index = (7 * step) % 16;
                break;
        }
        uint32_t rotated = rotate_left(a + f + K[step] + X[index], SHIFTS[round][step % 4]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    context->state[0] += a;
    context->state[1] += b;
    context->state[2] += c;
    context->state[3] += d;
}

void md5_update(md5_context *context, const unsigned char *input, size_t length) {
    if (length == 0) return;
    size_t filled = context->total[0] & 0x3F;
    // The count is kept in bytes over two words; it wraps past 2^64 bytes.
    uint64_t total = ((uint64_t)context->total[1] << 32 | context->total[0]) + length;
    context->total[0] = (uint32_t)total;
    context->total[1] = (uint32_t)(total >> 32);

    if (filled > 0 && length >= 64 - filled) {
        memcpy(context->buffer + filled, input, 64 - filled);
        md5_process(context, context->buffer);
        input += 64 - filled;
        length -= 64 - filled;
        filled = 0;
    }
    for (; length >= 64; input += 64, length -= 64) md5_process(context, input);
    if (length > 0) memcpy(context->buffer + filled, input, length);
}

void md5_finish(md5_context *context, unsigned char digest[16]) {
    unsigned char length_bytes[8];
    uint64_t bits = ((uint64_t)context->total[1] << 32 | context->total[0]) << 3;
    store_le32(length_bytes, (uint32_t)bits);
    store_le32(length_bytes + 4, (uint32_t)(bits >> 32));

    static const unsigned char PADDING[64] = {0x80};
    size_t filled = context->total[0] & 0x3F;
    size_t pad = filled < 56 ? 56 - filled : 120 - filled;
    md5_update(context, PADDING, pad);
    md5_update(context, length_bytes, 8);

    for (int i = 0; i < 4; i++) store_le32(digest + 4 * i, context->state[i]);
}
