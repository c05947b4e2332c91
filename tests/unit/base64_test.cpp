#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base64.h"

namespace {

std::string encode(const std::string &bytes) {
    std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1, '#');
    to64frombits(out.data(), (const unsigned char *)bytes.data(), bytes.size());
    EXPECT_EQ('\0', out.back());
    return std::string((const char *)out.data());
}

// Decodes into a buffer of capacity bytes with guard bytes after it.
int decode(const std::string &text, size_t capacity, std::string *bytes) {
    std::vector<char> out(capacity + 16, '#');
    int n = from64tobits(out.data(), text.c_str(), capacity);
    for (size_t i = capacity; i < out.size(); i++) EXPECT_EQ('#', out[i]) << "written past the capacity for " << text;
    if (n > 0) *bytes = std::string(out.data(), (size_t)n);
    else bytes->clear();
    return n;
}

std::string coreutils_base64(const std::string &input) {
    char path[] = "/tmp/korvantel-b64-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, input.data(), input.size()) != (ssize_t)input.size()) return "<write failed>";
    close(fd);
    std::string command = std::string("base64 -w0 < '") + path + "'";
    FILE *pipe = popen(command.c_str(), "r");
    std::string out;
    char chunk[4096];
    size_t got;
    while (pipe && (got = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, got);
    if (pipe) pclose(pipe);
    unlink(path);
    return out;
}

std::string binary(size_t length, unsigned seed) {
    std::string out(length, '\0');
    for (size_t i = 0; i < length; i++) out[i] = (char)((i + seed) * 2654435761u >> 13);
    return out;
}

}  // namespace

TEST(Base64, Encode) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"user:password", "dXNlcjpwYXNzd29yZA=="},
        {std::string("\0\0\0", 3), "AAAA"},
        {"\xFF\xFF\xFF", "////"},
        {"\xFB\xEF", "++8="},
    };
    for (const Case &c : cases) EXPECT_EQ(c.out, encode(c.in)) << c.out;
}

TEST(Base64, Decode) {
    struct Case {
        const char *text;
        int result;
        std::string bytes;
    } cases[] = {
        {"Zg==", 1, "f"},
        {"Zm8=", 2, "fo"},
        {"Zm9v", 3, "foo"},
        {"Zm9vYmFy", 6, "foobar"},
        {"Zm9vYg==", 4, "foob"},
        {"dXNlcjpwYXNzd29yZA==", 13, "user:password"},
        {"+ Zm9v", 3, "foo"},
        {"Zm9v\r\nrest", 3, "foo"},
        {"\r\n", 0, ""},
        {"+ \r", 0, ""},
        // decoding ends at a padded group
        {"Zg==Zm9v", 1, "f"},
        {"////", 3, "\xFF\xFF\xFF"},
        // not Base64
        {"Zm9*", -1, ""},
        {"*m9v", -1, ""},
        {"Zm9", -1, ""},
        {"Z", -1, ""},
        {"", -1, ""},
        {"=m9v", -1, ""},
        {"Z=9v", -1, ""},
        {"Zg=v", -1, ""},
        {"Zm9v Zm9v", -1, ""},
        {"Zm9v\nZm9v", -1, ""},
        {"Zm\xC3\xA9", -1, ""},
        {"+Zm9v", -1, ""},
    };
    for (const Case &c : cases) {
        std::string bytes;
        EXPECT_EQ(c.result, decode(c.text, 64, &bytes)) << c.text;
        if (c.result > 0) {
            EXPECT_EQ(c.bytes, bytes) << c.text;
        }
    }
}

TEST(Base64, DecodeRespectsCapacity) {
    struct Case {
        const char *text;
        size_t capacity;
        int result;
    } cases[] = {
        {"Zm9vYmFy", 6, 6},  {"Zm9vYmFy", 5, -1}, {"Zm9vYmFy", 3, -1}, {"Zm9vYmFy", 0, -1}, {"Zm9vYg==", 4, 4},
        {"Zm9vYg==", 3, -1}, {"Zm8=", 2, 2},      {"Zm8=", 1, -1},     {"\r", 0, 0},
    };
    for (const Case &c : cases) {
        std::string bytes;
        EXPECT_EQ(c.result, decode(c.text, c.capacity, &bytes)) << c.text << " in " << c.capacity;
    }
}

TEST(Base64, AgreesWithCoreutils) {
    std::vector<size_t> lengths = {0, 1, 2, 3, 4, 5, 57, 58, 59, 1000, 4099};
    for (size_t length : lengths) {
        std::string input = binary(length, (unsigned)length);
        std::string text = encode(input);
        EXPECT_EQ(coreutils_base64(input), text) << length;
        std::string bytes;
        if (length == 0) continue;  // an empty text is no Base64 group
        EXPECT_EQ((int)length, decode(text, length, &bytes)) << length;
        EXPECT_EQ(input, bytes) << length;
    }
}
