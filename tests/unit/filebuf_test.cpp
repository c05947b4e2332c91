#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config_fixture.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "misc.h"
#include "settings.h"

namespace {

std::string contents(const Filebuf &buffer) {
    return buffer.size > 0 ? std::string(buffer.data, (size_t)buffer.size) : std::string();
}

void fill(Filebuf *buffer, const std::string &bytes) {
    buffer->Resize(0);
    buffer->Add(bytes.data(), (long long)bytes.size());
}

// Bytes with little redundancy, reproducible from the seed.
std::string noise(size_t length, unsigned seed) {
    std::string out(length, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; i++) {
        state = state * 1103515245u + 12345u;
        out[i] = (char)(state >> 16);
    }
    return out;
}

std::string compressible(size_t length) {
    std::string out;
    for (size_t i = 0; out.size() < length; i++) out += "line " + std::to_string(i % 97) + " of some text\r\n";
    out.resize(length);
    return out;
}

class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/korvantel-filebuf-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~ScratchDir() {
        std::string command = "rm -rf '" + path + "'";
        if (system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << path;
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
    std::string path;
};

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

// Runs a Python snippet with the paths of an input and an output file as
// sys.argv[1] and sys.argv[2]; returns the output file, or "<failed>".
std::string python(const ScratchDir &dir, const std::string &code, const std::string &input) {
    std::string in = dir.file("py-in"), out = dir.file("py-out"), script = dir.file("py.py");
    write_file(in, input);
    write_file(script,
               "import sys, gzip, zlib, struct\n"
               "data = open(sys.argv[1], 'rb').read()\n" +
                   code + "\nopen(sys.argv[2], 'wb').write(result)\n");
    unlink(out.c_str());
    std::string command = "python3 '" + script + "' '" + in + "' '" + out + "' 2>/dev/null";
    if (system(command.c_str()) != 0) return "<failed>";
    return read_file(out);
}

}  // namespace

// ---------------------------------------------------------------------------
// Growth and editing

TEST(Filebuf, ResizeSteps) {
    struct Case {
        long long first, second;
        size_t capacity;
    } cases[] = {
        {1, 1, 65536},
        {65536, 65536, 65536},
        {65537, 65537, 131072},
        // shrinking by less than a step keeps the allocation
        {131072, 65536, 131072},
        // by more, it shrinks to the rounded size
        {200 * 1024, 10, 65536},
        {200 * 1024, 65535, 65536},
    };
    for (const Case &c : cases) {
        Filebuf buffer;
        buffer.Resize(c.first);
        buffer.Resize(c.second);
        EXPECT_EQ(c.second, buffer.size) << c.first << "->" << c.second;
        EXPECT_EQ(c.capacity, buffer.capacity) << c.first << "->" << c.second;
    }
}

TEST(Filebuf, ResizeToZeroKeepsAllocationUntilNextAdd) {
    Filebuf buffer;
    buffer.Resize(200 * 1024);
    buffer.Resize(0);
    EXPECT_EQ(0, buffer.size);
    EXPECT_EQ(262144u, buffer.capacity);
    EXPECT_NE(nullptr, buffer.data);
    buffer.Add("0123456789", 10);
    EXPECT_EQ(10, buffer.size);
    EXPECT_EQ(65536u, buffer.capacity);
    EXPECT_EQ("0123456789", contents(buffer));
}

TEST(Filebuf, AddAppendsAcrossSteps) {
    Filebuf buffer;
    std::string expected;
    // 7,000 pieces of 37 bytes cross several 64 KiB boundaries.
    for (int i = 0; i < 7000; i++) {
        std::string piece = noise(37, (unsigned)i);
        buffer.Add(piece.data(), (long long)piece.size());
        expected += piece;
    }
    EXPECT_EQ(expected, contents(buffer));
    EXPECT_EQ(0u, buffer.capacity % 65536);
    buffer.Add(nullptr, 5);
    buffer.Add("x", 0);
    EXPECT_EQ((long long)expected.size(), buffer.size);
}

// A one-step block given back (by the destructor or by Swap) is handed to the
// thread's next new buffer; other sizes and other threads never get it.
TEST(Filebuf, OneStepBlockServesTheThreadsNextBuffer) {
    char *kept;
    {
        Filebuf first;
        fill(&first, noise(1000, 1));
        kept = first.data;
    }
    Filebuf second;
    second.Add("xyz", 3);
    EXPECT_EQ(kept, second.data);
    EXPECT_EQ(65536u, second.capacity);
    EXPECT_EQ("xyz", contents(second));
    second.Add(noise(70000, 2).data(), 70000);
    EXPECT_EQ(131072u, second.capacity);
    EXPECT_EQ("xyz" + noise(70000, 2), contents(second));

    Filebuf swapped;
    fill(&swapped, "abc");
    kept = swapped.data;
    swapped.Swap(nullptr);
    EXPECT_EQ(nullptr, swapped.data);

    // While this thread keeps the block, another thread's buffer cannot be
    // given it.
    char *elsewhere = nullptr;
    std::thread other([&elsewhere] {
        Filebuf buffer;
        buffer.Add("other", 5);
        elsewhere = buffer.data;
        EXPECT_EQ("other", contents(buffer));
    });
    other.join();
    EXPECT_NE(kept, elsewhere);

    Filebuf third;
    third.Resize(65536);
    EXPECT_EQ(kept, third.data);

    // A block sized exactly is never passed on as a whole step (the sanitizer
    // build sees the writes below run past it if it were).
    {
        Filebuf shortened;
        fill(&shortened, "12345");
        shortened.Shorten();
        EXPECT_EQ(5u, shortened.capacity);
    }
    Filebuf fourth;
    fourth.Resize(65536);
    memset(fourth.data, 'z', 65536);
    EXPECT_EQ(std::string(65536, 'z'), contents(fourth));
}

TEST(Filebuf, AddOfItsOwnBytesSurvivesReallocation) {
    Filebuf buffer;
    std::string text = compressible(65530);
    fill(&buffer, text);
    // The copy crosses a step, so the buffer moves while copying from itself.
    buffer.Add(buffer.data, buffer.size);
    EXPECT_EQ(text + text, contents(buffer));
}

TEST(Filebuf, AddfAppendsTheWholeText) {
    struct Case {
        int length;
        long long appended;
    } cases[] = {{0, 0}, {10, 10}, {8191, 8191}, {8192, 8192}, {10000, 10000}, {300000, 300000}};
    for (const Case &c : cases) {
        Filebuf buffer;
        buffer.Add("<", 1);
        buffer.Addf("%s", std::string((size_t)c.length, 'x').c_str());
        EXPECT_EQ(1 + c.appended, buffer.size) << c.length;
        EXPECT_EQ("<" + std::string((size_t)c.length, 'x'), contents(buffer)) << c.length;
    }
    Filebuf buffer;
    buffer.Addf("%d-%s", 42, "z");
    EXPECT_EQ("42-z", contents(buffer));
}

TEST(Filebuf, Replace) {
    struct Case {
        const char *before;
        long long start, end;
        const char *text;
        const char *after;
    } cases[] = {
        {"hello world", 0, 5, "bye", "bye world"},
        {"hello world", 6, 11, "everyone", "hello everyone"},
        {"hello world", 5, 5, ",", "hello, world"},
        {"hello world", 0, 11, "", ""},
        {"abc", 3, 3, "def", "abcdef"},
        {"abc", 1, 2, "", "ac"},
        // positions outside the content are clamped to it
        {"abc", -4, 1, "X", "Xbc"},
        {"abc", 2, 99, "Z", "abZ"},
        {"abc", 2, 1, "-", "ab-c"},
    };
    for (const Case &c : cases) {
        Filebuf buffer;
        fill(&buffer, c.before);
        buffer.Replace(c.start, c.end, c.text);
        EXPECT_EQ(c.after, contents(buffer)) << c.before << " [" << c.start << "," << c.end << ")";
    }
}

TEST(Filebuf, ReplaceWithTextFromItself) {
    Filebuf buffer;
    fill(&buffer, std::string("abc") + '\0' + "tail");
    // "abc" is the NUL-terminated text at the start of the buffer.
    buffer.Replace(4, 8, buffer.data);
    EXPECT_EQ(std::string("abc") + '\0' + "abc", contents(buffer));
}

TEST(Filebuf, Trim) {
    struct Case {
        const char *before;
        long long n;
        const char *after;
    } cases[] = {{"abcdef", 0, "abcdef"}, {"abcdef", 2, "cdef"}, {"abcdef", 6, ""}};
    for (const Case &c : cases) {
        Filebuf buffer;
        fill(&buffer, c.before);
        buffer.Trim(c.n);
        EXPECT_EQ(c.after, contents(buffer)) << c.n;
    }
}

TEST(FilebufDeath, TrimPastTheSizeIsFatal) {
    Filebuf buffer;
    fill(&buffer, "abc");
    testing::internal::CaptureStdout();
    EXPECT_EXIT(buffer.Trim(4), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(buffer.Trim(-1), ::testing::ExitedWithCode(1), "");
    testing::internal::GetCapturedStdout();
}

TEST(Filebuf, ShortenDupSwap) {
    Filebuf buffer;
    fill(&buffer, "12345");
    buffer.Shorten();
    EXPECT_EQ(5u, buffer.capacity);
    EXPECT_EQ("12345", contents(buffer));
    buffer.Add("6", 1);
    EXPECT_EQ("123456", contents(buffer));
    EXPECT_EQ(65536u, buffer.capacity);

    Filebuf empty;
    empty.Shorten();
    EXPECT_EQ(nullptr, empty.data);

    Filebuf *copy = buffer.Dup();
    EXPECT_EQ("123456", contents(*copy));
    EXPECT_EQ(6u, copy->capacity);
    EXPECT_NE(buffer.data, copy->data);
    delete copy;

    Filebuf *nothing = empty.Dup();
    EXPECT_EQ(0, nothing->size);
    EXPECT_EQ(nullptr, nothing->data);
    delete nothing;

    Filebuf other;
    fill(&other, "other");
    other.mime_type = strdup("text/plain");
    buffer.mime_type = strdup("text/html");
    buffer.Swap(&other);
    EXPECT_EQ("other", contents(buffer));
    EXPECT_EQ(0, other.size);
    EXPECT_EQ(0u, other.capacity);
    EXPECT_EQ(nullptr, other.data);
    EXPECT_STREQ("text/html", buffer.mime_type);
    EXPECT_STREQ("text/plain", other.mime_type);

    buffer.Swap(&buffer);
    EXPECT_EQ("other", contents(buffer));
    buffer.Swap(nullptr);
    EXPECT_EQ(0, buffer.size);
    EXPECT_EQ(nullptr, buffer.data);
}

TEST(Filebuf, ToStack) {
    struct Case {
        std::string bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\r\n\nb", {"a\r", "", "b"}},
        {"", {""}},
        {"one", {"one"}},
        {"x\n", {"x"}},
        {"\n", {""}},
        {"a\n\n", {"a", ""}},
        {"\n\nz", {"", "", "z"}},
    };
    for (const Case &c : cases) {
        Filebuf buffer;
        buffer.Resize(1);  // allocated even for the empty case
        fill(&buffer, c.bytes);
        STACK_T *first = buffer.to_stack();
        std::vector<std::string> lines;
        STACK_T *previous = nullptr;
        for (STACK_T *node = first; node && lines.size() < 10; node = node->next) {
            EXPECT_EQ(previous, node->prev);
            lines.push_back(node->text);
            previous = node;
        }
        EXPECT_EQ(c.lines, lines) << c.bytes;
        stack_free(first);
    }
    Filebuf never;
    EXPECT_EQ(nullptr, never.to_stack());
}

TEST(Filebuf, SaveAndRead) {
    ScratchDir dir;
    // Sizes around the read block size and the allocation step.
    std::vector<size_t> sizes = {0, 1, (size_t)BLOCKSIZE - 1, (size_t)BLOCKSIZE, (size_t)BLOCKSIZE + 1, 65536, 200000};
    for (size_t length : sizes) {
        std::string bytes = noise(length, (unsigned)length);
        Filebuf source;
        fill(&source, bytes);
        std::string path = dir.file("saved");
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        EXPECT_EQ((ssize_t)length, source.Save(fd));
        close(fd);

        Filebuf target;
        fill(&target, "prefix");
        EXPECT_EQ((long long)length, target.Read(path.c_str()));
        EXPECT_EQ("prefix" + bytes, contents(target)) << length;
    }
    Filebuf missing;
    EXPECT_EQ(-1, missing.Read(dir.file("absent").c_str()));
    EXPECT_EQ(0, missing.size);
}

// ---------------------------------------------------------------------------
// Content coding

TEST(FilebufCoding, GzipFraming) {
    Filebuf buffer;
    fill(&buffer, "abc");
    ASSERT_EQ(1, buffer.Compress(1));
    std::string encoded = contents(buffer);
    ASSERT_GT(encoded.size(), 18u);
    EXPECT_EQ(std::string("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10), encoded.substr(0, 10));
    // CRC-32 of "abc" is 0x352441C2; then the length 3, least significant byte first.
    EXPECT_EQ(std::string("\xC2\x41\x24\x35\x03\x00\x00\x00", 8), encoded.substr(encoded.size() - 8));
    ASSERT_EQ(1, buffer.Uncompress(1));
    EXPECT_EQ("abc", contents(buffer));
}

TEST(FilebufCoding, RoundTrips) {
    std::vector<std::string> inputs = {"", "abc", std::string("\0\xFF\x80\n\r", 5), compressible(300000),
                                       noise(100000, 7)};
    for (int gzip = 0; gzip <= 1; gzip++) {
        for (const std::string &input : inputs) {
            Filebuf buffer;
            fill(&buffer, input);
            buffer.mime_type = strdup("text/html");
            ASSERT_EQ(1, buffer.Compress(gzip));
            EXPECT_STREQ("text/html", buffer.mime_type);
            ASSERT_EQ(1, buffer.Uncompress(gzip)) << gzip << " " << input.size();
            EXPECT_EQ(input, contents(buffer)) << gzip << " " << input.size();
        }
    }
}

TEST(FilebufCoding, OutputDecodesWithPython) {
    ScratchDir dir;
    std::string input = compressible(70000) + noise(5000, 3);
    struct Case {
        int gzip;
        const char *decoder;
    } cases[] = {
        {1, "result = gzip.decompress(data)"},
        {0, "result = zlib.decompress(data, -15)"},
    };
    for (const Case &c : cases) {
        Filebuf buffer;
        fill(&buffer, input);
        ASSERT_EQ(1, buffer.Compress(c.gzip));
        EXPECT_EQ(input, python(dir, c.decoder, contents(buffer))) << c.decoder;
    }
}

TEST(FilebufCoding, DecodesWhatPythonProduces) {
    ScratchDir dir;
    std::string input = compressible(50000);
    struct Case {
        int gzip;
        const char *name;
        const char *encoder;
    } cases[] = {
        {1, "plain gzip", "result = gzip.compress(data)"},
        {1, "gzip with a file name",
         "import io\nb = io.BytesIO()\n"
         "f = gzip.GzipFile(filename='page.html', mode='wb', fileobj=b, mtime=1)\n"
         "f.write(data); f.close(); result = b.getvalue()"},
        {1, "gzip with every optional field",
         "c = zlib.compressobj(6, zlib.DEFLATED, -15)\n"
         "body = c.compress(data) + c.flush()\n"
         "head = b'\\x1f\\x8b\\x08' + bytes([0x02 | 0x04 | 0x08 | 0x10]) + b'\\0\\0\\0\\0\\0\\xff'\n"
         "head += struct.pack('<H', 5) + b'extra' + b'name.txt\\0' + b'a comment\\0'\n"
         "head += struct.pack('<H', zlib.crc32(head) & 0xffff)\n"
         "result = head + body + struct.pack('<II', zlib.crc32(data), len(data))"},
        {1, "two gzip members",
         "half = len(data) // 2\n"
         "result = gzip.compress(data[:half]) + gzip.compress(data[half:])"},
        {0, "zlib-wrapped deflate", "result = zlib.compress(data, 9)"},
        {0, "raw deflate", "c = zlib.compressobj(1, zlib.DEFLATED, -15)\nresult = c.compress(data) + c.flush()"},
        {0, "raw deflate of stored blocks",
         "c = zlib.compressobj(0, zlib.DEFLATED, -15)\nresult = c.compress(data) + c.flush()"},
        {0, "zlib-wrapped stored blocks", "result = zlib.compress(data, 0)"},
    };
    for (const Case &c : cases) {
        std::string encoded = python(dir, c.encoder, input);
        ASSERT_NE("<failed>", encoded) << c.name;
        Filebuf buffer;
        fill(&buffer, encoded);
        ASSERT_EQ(1, buffer.Uncompress(c.gzip)) << c.name;
        EXPECT_EQ(input, contents(buffer)) << c.name;
    }
}

TEST(FilebufCoding, BadInputFailsAndLeavesContent) {
    Filebuf good;
    fill(&good, compressible(20000));
    ASSERT_EQ(1, good.Compress(1));
    std::string gz = contents(good);
    Filebuf raw;
    fill(&raw, compressible(20000));
    ASSERT_EQ(1, raw.Compress(0));
    std::string deflated = contents(raw);

    std::string bad_crc = gz;
    bad_crc[bad_crc.size() - 6] ^= 0x01;
    std::string bad_length = gz;
    bad_length[bad_length.size() - 1] ^= 0x01;
    std::string reserved_flag = gz;
    reserved_flag[3] = (char)0x20;
    std::string bad_method = gz;
    bad_method[2] = 7;
    std::string flipped = gz;
    flipped[40] ^= 0x55;

    struct Case {
        int gzip;
        const char *name;
        std::string bytes;
    } cases[] = {
        {1, "17 bytes", gz.substr(0, 17)},
        {1, "empty", ""},
        {1, "missing trailer", gz.substr(0, gz.size() - 8)},
        {1, "half a trailer", gz.substr(0, gz.size() - 4)},
        {1, "cut deflate data", gz.substr(0, gz.size() / 2)},
        {1, "checksum mismatch", bad_crc},
        {1, "length mismatch", bad_length},
        {1, "reserved flag", reserved_flag},
        {1, "unknown method", bad_method},
        {1, "not gzip", std::string(100, 'x')},
        {1, "name without end", std::string("\x1F\x8B\x08\x08\0\0\0\0\0\x03", 10) + std::string(20, 'n')},
        {1, "extra past the end", std::string("\x1F\x8B\x08\x04\0\0\0\0\0\x03\xFF\xFF", 12) + std::string(20, 'e')},
        {0, "cut raw deflate", deflated.substr(0, deflated.size() / 2)},
        {0, "raw deflate cut by one byte", deflated.substr(0, deflated.size() - 1)},
        {0, "garbage", std::string("\xFF\xFF\xFF\xFF garbage", 12)},
        {0, "empty", ""},
        {0, "zlib header only", std::string("\x78\x9C", 2)},
        {0, "gzip given as deflate", gz.substr(0, 30)},
    };
    for (const Case &c : cases) {
        Filebuf buffer;
        fill(&buffer, c.bytes);
        EXPECT_EQ(0, buffer.Uncompress(c.gzip)) << c.name;
        EXPECT_EQ(c.bytes, contents(buffer)) << c.name;
    }
}

TEST(FilebufCoding, EveryTruncationFails) {
    Filebuf source;
    fill(&source, compressible(3000));
    ASSERT_EQ(1, source.Compress(1));
    std::string gz = contents(source);
    for (size_t length = 0; length < gz.size(); length++) {
        Filebuf buffer;
        fill(&buffer, gz.substr(0, length));
        EXPECT_EQ(0, buffer.Uncompress(1)) << length;
        EXPECT_EQ(length, (size_t)buffer.size);
    }
}

TEST(FilebufCoding, DecodedSizeLimit) {
    const size_t big = 8 * 1024 * 1024;
    for (int gzip = 0; gzip <= 1; gzip++) {
        Filebuf source;
        source.Resize((long long)big);
        memset(source.data, 0, big);
        ASSERT_EQ(1, source.Compress(gzip));
        std::string encoded = contents(source);
        ASSERT_LT(encoded.size(), big / 500);

        struct Case {
            size_t limit;
            int result;
        } cases[] = {{big / 8, 0}, {big - 1, 0}, {big, 1}, {big + 1, 1}};
        for (const Case &c : cases) {
            Filebuf buffer;
            fill(&buffer, encoded);
            EXPECT_EQ(c.result, buffer.Uncompress(gzip, c.limit)) << gzip << " " << c.limit;
            EXPECT_EQ(c.result ? big : encoded.size(), (size_t)buffer.size);
        }
    }
    Filebuf empty;
    ASSERT_EQ(1, empty.Compress(1));
    EXPECT_EQ(1, empty.Uncompress(1, 0));
    EXPECT_EQ(0, empty.size);
}

// ---------------------------------------------------------------------------
// Response bodies

TEST(FilebufCoding, DecodeByContentEncoding) {
    std::string body = compressible(30000);
    Filebuf gz, raw;
    fill(&gz, body);
    ASSERT_EQ(1, gz.Compress(1));
    fill(&raw, body);
    ASSERT_EQ(1, raw.Compress(0));

    struct Case {
        const char *encoding;
        const Filebuf *encoded;
        int result;
    } cases[] = {
        {"gzip", &gz, 1},  {"X-GZIP", &gz, 1},  {"deflate", &raw, 1}, {"Deflate", &raw, 1},
        {"gzip", &raw, 0}, {"deflate", &gz, 0}, {"br", &gz, 0},       {nullptr, &gz, 0},
    };
    CONNECTION_T *connection = connection_new();
    HEADER response;
    connection->response = &response;
    for (const Case &c : cases) {
        response.content_encoding = c.encoding ? strdup(c.encoding) : nullptr;
        Filebuf buffer;
        fill(&buffer, contents(*c.encoded));
        EXPECT_EQ(c.result, buffer.Decode(connection)) << (c.encoding ? c.encoding : "(none)");
        EXPECT_EQ(c.result ? body : contents(*c.encoded), contents(buffer));
        free(response.content_encoding);
        response.content_encoding = nullptr;
    }
    // The caller's limit holds for decoding too.
    response.content_encoding = strdup("gzip");
    Filebuf buffer;
    fill(&buffer, contents(gz));
    bool over = false;
    EXPECT_EQ(0, buffer.Decode(connection, body.size() - 1, &over));
    EXPECT_TRUE(over);  // told apart from data that cannot be decoded
    EXPECT_EQ(contents(gz), contents(buffer));
    EXPECT_EQ(1, buffer.Decode(connection, body.size(), &over));
    EXPECT_FALSE(over);
    Filebuf corrupt;
    fill(&corrupt, contents(gz).substr(0, 20));
    EXPECT_EQ(0, corrupt.Decode(connection, body.size(), &over));
    EXPECT_FALSE(over);
    free(response.content_encoding);
    response.content_encoding = nullptr;

    Filebuf orphan;
    fill(&orphan, contents(gz));
    connection->response = nullptr;
    EXPECT_EQ(0, orphan.Decode(connection));
    connection_free(connection);
}

namespace {

// A general section with one rule for every connection, compressing for
// the client or not.
class FilebufEncode : public ::testing::Test {
protected:
    GeneralSection *section = nullptr;
    CONNECTION_T *connection = nullptr;
    HEADER request, response;

    void SetUp() override {
        definition_use(file_read(std::string(KORVANTEL_SOURCE_DIR) + "/conf/section.xml"));
        section = static_cast<GeneralSection *>(general_construct());
        connection = connection_new();
        connection->request = &request;
        connection->response = &response;
    }
    void TearDown() override {
        free(request.accept_encoding);
        free(response.content_encoding);
        connection->request = nullptr;
        connection->response = nullptr;
        connection_free(connection);
        delete section;
    }
    void rule(bool compressout) {
        std::string xml =
            "<?xml version=\"1.0\"?><korvantel><general><hostname>proxy</hostname>"
            "<tempdir>/tmp</tempdir><linelength>0</linelength><poolsize>1</poolsize>"
            "<pooltimeout>1</pooltimeout><rule><enabled>true</enabled><comment/><profiles/>"
            "<ctimeout>1</ctimeout><timeout>1</timeout><keeptimeout>1</keeptimeout>"
            "<maxdbuffer>1K</maxdbuffer><maxubuffer>1K</maxubuffer><bufferwait>0</bufferwait>"
            "<cportrange/><encodemime>^text/</encodemime><compressout>" +
            std::string(compressout ? "true" : "false") +
            "</compressout><compressin>false</compressin><xforwardedfor>false</xforwardedfor>"
            "<via>false</via></rule></general></korvantel>";
        TiXmlDocument doc;
        doc.Parse(xml.c_str());
        ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
        section->load(&doc, 1);
    }
};

}  // namespace

TEST_F(FilebufEncode, ByAcceptEncoding) {
    struct Case {
        bool compressout;
        const char *accept;
        unsigned flags;
        int result;
        const char *encoding;  // Content-Encoding afterwards
    } cases[] = {
        {true, "gzip, deflate", 0, 1, "gzip"},        {true, "GZIP", 0, 1, "gzip"}, {true, "deflate", 0, 1, "deflate"},
        {true, "br, Deflate;q=0.5", 0, 1, "deflate"}, {true, "br", 0, 0, "old"},    {true, nullptr, 0, 0, "old"},
        {true, "gzip", CONN_ENCODED, 0, "old"},       {false, "gzip", 0, 0, "old"},
    };
    std::string body = compressible(20000);
    for (const Case &c : cases) {
        rule(c.compressout);
        free(request.accept_encoding);
        request.accept_encoding = c.accept ? strdup(c.accept) : nullptr;
        free(response.content_encoding);
        response.content_encoding = strdup("old");
        connection->flags = c.flags;

        Filebuf buffer;
        fill(&buffer, body);
        const char *name = c.accept ? c.accept : "(none)";
        ASSERT_EQ(c.result, buffer.Encode(connection)) << name;
        EXPECT_STREQ(c.encoding, response.content_encoding) << name;
        if (c.result == 0) {
            EXPECT_EQ(body, contents(buffer)) << name;
            continue;
        }
        // What went out decodes back by the Content-Encoding it was given.
        EXPECT_EQ(1, buffer.Decode(connection)) << name;
        EXPECT_EQ(body, contents(buffer)) << name;
    }
}
