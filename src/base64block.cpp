#include "base64block.h"

#include <string.h>

#include "log.h"

static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void encodeblock(const unsigned char in[3], unsigned char out[4], int len) {
    out[0] = (unsigned char)alphabet[in[0] >> 2];
    out[1] = (unsigned char)alphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
    out[2] = (unsigned char)(len > 1 ? alphabet[((in[1] & 0x0f) << 2) | (in[2] >> 6)] : '=');
    out[3] = (unsigned char)(len > 2 ? alphabet[in[2] & 0x3f] : '=');
}

void decodeblock(const unsigned char in[4], unsigned char out[3]) {
    out[0] = (unsigned char)((in[0] << 2) | (in[1] >> 4));
    out[1] = (unsigned char)((in[1] << 4) | (in[2] >> 2));
    out[2] = (unsigned char)(((in[2] << 6) & 0xc0) | in[3]);
}

int base64block_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int decode64(const char *text, std::string *out) {
    if (!text || !*text) {
        putlog(LOG_ERROR, "Invalid data is provided for base64 decoding");
        return -1;
    }
    const unsigned char *p = (const unsigned char *)text;
    while (*p) {
        unsigned char group[4] = {0, 0, 0, 0};
        int count = 0;
        for (int i = 0; i < 4; i++) {
            int value = -1;
            while (*p && (value = base64block_value(*p)) < 0) p++;
            if (!*p) break;
            group[i] = (unsigned char)value;
            count++;
            p++;
        }
        if (count > 0) {
            unsigned char bytes[3];
            decodeblock(group, bytes);
            for (unsigned char b : bytes) {
                if (!b) break;
                out->push_back((char)b);
            }
        }
    }
    return (int)out->size();
}

std::string encode64(const std::string &bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned char in[3] = {0, 0, 0};
        int len = (int)(bytes.size() - i < 3 ? bytes.size() - i : 3);
        memcpy(in, bytes.data() + i, (size_t)len);
        unsigned char out[4];
        encodeblock(in, out, len);
        text.append((const char *)out, 4);
    }
    return text;
}
