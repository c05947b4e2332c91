#include "base64.h"

#include <string.h>

static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void to64frombits(unsigned char *out, const unsigned char *in, size_t n) {
    for (; n >= 3; n -= 3, in += 3) {
        *out++ = ALPHABET[in[0] >> 2];
        *out++ = ALPHABET[((in[0] << 4) & 0x30) | (in[1] >> 4)];
        *out++ = ALPHABET[((in[1] << 2) & 0x3C) | (in[2] >> 6)];
        *out++ = ALPHABET[in[2] & 0x3F];
    }
    if (n > 0) {
        unsigned char fragment = (in[0] << 4) & 0x30;
        *out++ = ALPHABET[in[0] >> 2];
        if (n > 1) fragment |= in[1] >> 4;
        *out++ = ALPHABET[fragment];
        *out++ = (n < 2) ? '=' : ALPHABET[(in[1] << 2) & 0x3C];
        *out++ = '=';
    }
    *out = '\0';
}

// Value of a Base64 character, -1 for anything else (including '=' and NUL).
static int decode_digit(char c) {
    unsigned char u = (unsigned char)c;
    if (u >= 'A' && u <= 'Z') return u - 'A';
    if (u >= 'a' && u <= 'z') return u - 'a' + 26;
    if (u >= '0' && u <= '9') return u - '0' + 52;
    if (u == '+') return 62;
    if (u == '/') return 63;
    return -1;
}

int from64tobits(char *out, const char *in, size_t capacity) {
    if (in == nullptr) return -1;
    if (in[0] == '+' && in[1] == ' ') in += 2;
    if (*in == '\r') return 0;

    size_t written = 0;
    for (;;) {
        // Each character is checked before the next is read, so a short
        // group never reads past the terminator.
        int d1 = decode_digit(in[0]);
        if (d1 < 0) return -1;
        int d2 = decode_digit(in[1]);
        if (d2 < 0) return -1;
        int d3 = decode_digit(in[2]);
        if (d3 < 0 && in[2] != '=') return -1;
        int d4 = decode_digit(in[3]);
        if (d4 < 0 && in[3] != '=') return -1;
        // Padding in the third place without padding in the fourth is no
        // valid group.
        if (d3 < 0 && d4 >= 0) return -1;

        size_t bytes = d3 < 0 ? 1 : (d4 < 0 ? 2 : 3);
        if (capacity - written < bytes) return -1;
        out[written++] = (char)((d1 << 2) | (d2 >> 4));
        if (bytes > 1) out[written++] = (char)(((d2 << 4) & 0xF0) | (d3 >> 2));
        if (bytes > 2) out[written++] = (char)(((d3 << 6) & 0xC0) | d4);
        in += 4;

        if (*in == '\0' || *in == '\r' || d4 < 0) break;
        if (written > (size_t)0x7FFFFFFF - 3) return -1;
    }
    return (int)written;
}
