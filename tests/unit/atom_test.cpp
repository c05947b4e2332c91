#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "atom.h"

namespace {

std::string hex(const unsigned char *digest) {
    char text[33];
    for (int i = 0; i < 16; i++) snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

std::string md5_pieces(const std::string &input, size_t piece) {
    md5_context context;
    md5_starts(&context);
    for (size_t at = 0; at < input.size(); at += piece)
        md5_update(&context, (const unsigned char *)input.data() + at, std::min(piece, input.size() - at));
    unsigned char digest[16];
    md5_finish(&context, digest);
    return hex(digest);
}

std::string md5_evp(const std::string &input) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(input.data(), input.size(), digest, &length, EVP_md5(), nullptr);
    return hex(digest);
}

std::string md5_coreutils(const std::string &input) {
    char path[] = "/tmp/korvantel-md5-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, input.data(), input.size()) != (ssize_t)input.size()) return "<write failed>";
    close(fd);
    std::string command = std::string("md5sum < '") + path + "'";
    FILE *pipe = popen(command.c_str(), "r");
    char line[128] = "";
    if (pipe == nullptr || fgets(line, sizeof(line), pipe) == nullptr) line[0] = '\0';
    if (pipe) pclose(pipe);
    unlink(path);
    return std::string(line).substr(0, 32);
}

std::string binary(size_t length) {
    std::string out(length, '\0');
    for (size_t i = 0; i < length; i++) out[i] = (char)(i * 131 + (i >> 8));
    return out;
}

}  // namespace

TEST(Atom, Counting) {
    Atom atom;
    EXPECT_EQ(1, atom.count);
    EXPECT_EQ(&atom, atom.New());
    EXPECT_EQ(2, atom.count);
    EXPECT_FALSE(atom.Delete());
    EXPECT_TRUE(atom.Delete());
    EXPECT_EQ(0, atom.count);
}

TEST(Atom, FreshAtomHasOneHolder) {
    Atom *atom = new Atom();
    EXPECT_TRUE(atom->Delete());
    delete atom;
}

TEST(AtomDeath, DestroyedWhileHeldIsFatal) {
    testing::internal::CaptureStdout();
    EXPECT_EXIT({ Atom atom; }, ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            Atom *atom = new Atom();
            atom->New();
            atom->Delete();
            delete atom;
        },
        ::testing::ExitedWithCode(1), "");
    testing::internal::GetCapturedStdout();
}

TEST(Md5, ReferenceSuite) {
    struct Case {
        const char *input, *digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case &c : cases) EXPECT_EQ(c.digest, md5_pieces(c.input, 1000)) << c.input;
}

TEST(Md5, AgreesWithMd5sumAndTheCryptoLibrary) {
    // Lengths around the 56- and 64-byte padding boundaries, plus larger ones.
    std::vector<size_t> lengths = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 100000};
    for (size_t length : lengths) {
        std::string input = binary(length);
        std::string expected = md5_coreutils(input);
        EXPECT_EQ(expected, md5_evp(input)) << length;
        for (size_t piece : {(size_t)1, (size_t)7, (size_t)64, (size_t)65, (size_t)1 << 20})
            EXPECT_EQ(expected, md5_pieces(input, piece)) << length << "/" << piece;
    }
}

TEST(Md5, ProcessIsOneBlockOfTheDigest) {
    // A 64-byte message: md5_process of the block, then the padding block,
    // gives the digest of the message.
    std::string input = binary(64);
    md5_context context;
    md5_starts(&context);
    md5_process(&context, (const unsigned char *)input.data());
    unsigned char padding[64] = {0x80};
    padding[56] = 0x00;
    padding[57] = 0x02;  // 512 bits, little-endian
    md5_process(&context, padding);
    unsigned char digest[16];
    for (int i = 0; i < 4; i++)
        for (int b = 0; b < 4; b++) digest[4 * i + b] = (unsigned char)(context.state[i] >> (8 * b));
    EXPECT_EQ(md5_evp(input), hex(digest));
}
