// Feeds arbitrary bytes to the content decoders (gzip, deflate) and the text
// decoders (Base64, the Blowfish text framing). Besides the sanitizers'
// findings it aborts on broken promises: a failed decode must leave the
// buffer as it was, no decoder may write past the room it was given, and a
// successful decode must survive re-encoding.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base64.h"
#include "blowfish.h"
#include "filebuf.h"
#include "fuzz_support.h"
#include "settings.h"

namespace {

const size_t DECODE_LIMIT = 1 << 20;

void fuzz_uncompress(const uint8_t *data, size_t size, int gzip) {
    Filebuf buffer;
    buffer.Add(data, (long long)size);
    if (!buffer.Uncompress(gzip, DECODE_LIMIT)) {
        check((size_t)buffer.size == size);
        check(size == 0 || memcmp(buffer.data, data, size) == 0);
        return;
    }
    check((size_t)buffer.size <= DECODE_LIMIT);
    std::string decoded(buffer.data ? buffer.data : "", (size_t)buffer.size);
    check(buffer.Compress(gzip) == 1);
    check(buffer.Uncompress(gzip, DECODE_LIMIT) == 1);
    check(decoded == std::string(buffer.data ? buffer.data : "", (size_t)buffer.size));
}

void fuzz_base64(const uint8_t *data, size_t size) {
    // The first byte picks the room given to the decoder.
    size_t capacity = size > 0 ? data[0] : 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    const size_t guard = 16;
    std::vector<char> out(capacity + guard, '\x5A');
    int n = from64tobits(out.data(), text.c_str(), capacity);
    check(n >= -1 && n <= (int)capacity);
    for (size_t i = capacity; i < out.size(); i++) check(out[i] == '\x5A');
    if (n <= 0) return;

    std::vector<unsigned char> encoded(4 * (((size_t)n + 2) / 3) + 1);
    to64frombits(encoded.data(), reinterpret_cast<const unsigned char *>(out.data()), (size_t)n);
    std::vector<char> again((size_t)n);
    check(from64tobits(again.data(), reinterpret_cast<const char *>(encoded.data()), (size_t)n) == n);
    check(memcmp(again.data(), out.data(), (size_t)n) == 0);
}

void fuzz_blowfish(const uint8_t *data, size_t size) {
    // Key and text split at the first NUL.
    std::string bytes(reinterpret_cast<const char *>(data), size);
    std::string key = bytes.substr(0, bytes.find('\0'));
    std::string text = key.size() < bytes.size() ? bytes.substr(key.size() + 1) : "";
    text = text.substr(0, text.find('\0'));
    free(blowfish_decrypt(key.c_str(), text.c_str()));
    char *cipher = blowfish_encrypt(key.c_str(), text.c_str());
    check(strlen(cipher) == (text.size() + 7) / 8 * 12);
    free(cipher);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;  // decoders log every rejected input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_uncompress(data, size, 1);
    fuzz_uncompress(data, size, 0);
    fuzz_base64(data, size);
    fuzz_blowfish(data, size);
    return 0;
}
