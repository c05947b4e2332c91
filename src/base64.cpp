#include "base64.h"

#include <string.h>

#include "base64block.h"

void to64frombits(unsigned char *out, const unsigned char *in, size_t n) {
    while (n > 0) {
        unsigned char block[3] = {0, 0, 0};
        size_t len = n < 3 ? n : 3;
        memcpy(block, in, len);
        encodeblock(block, out, (int)len);
        out += 4;
        in += len;
        n -= len;
    }
    *out = '\0';
}

int from64tobits(char *out, const char *in, size_t capacity) {
    if (in == nullptr) return -1;
    if (in[0] == '+' && in[1] == ' ') in += 2;
    if (*in == '\r') return 0;

    size_t written = 0;
    for (;;) {
        // Each character is checked before the next is read, so a short
        // group never reads past the terminator.
        int d1 = base64block_value((unsigned char)in[0]);
        if (d1 < 0) return -1;
        int d2 = base64block_value((unsigned char)in[1]);
        if (d2 < 0) return -1;
        int d3 = base64block_value((unsigned char)in[2]);
        if (d3 < 0 && in[2] != '=') return -1;
        int d4 = base64block_value((unsigned char)in[3]);
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
