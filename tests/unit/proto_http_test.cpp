// Body movers of the HTTP exchange over socket pairs, and the bypass command.
#include "proto_http.h"

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "mem.h"
#include "request.h"
#include "socket.h"
#include "urlcommand.h"

namespace {

// A connection whose client and server sockets each have a test-side peer.
struct Pair {
    CONNECTION_T *connection;
    int client_peer;  // what the client would write / read
    int server_peer;  // what the server would write / read

    Pair() {
        int c[2], s[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, c);
        socketpair(AF_UNIX, SOCK_STREAM, 0, s);
        connection = connection_new();
        connection->ip = xstrdup("127.0.0.1");
        connection->client = new Socket(c[0]);
        connection->server = new Socket(s[0]);
        client_peer = c[1];
        server_peer = s[1];
    }
    ~Pair() {
        delete connection->client;
        delete connection->server;
        http_header_free(connection->request);
        http_header_free(connection->response);
        delete connection->request_body;
        connection_free(connection);
        close(client_peer);
        close(server_peer);
    }

    // Writes bytes as the peer of one side; end closes its sending half.
    void send(int side, const std::string &bytes, bool end) {
        int fd = side == HTTP_SIDE_CLIENT ? client_peer : server_peer;
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
        if (end) shutdown(fd, SHUT_WR);
    }

    // Everything the peer of one side received once the proxy side is done.
    std::string received(int side) {
        Socket *&sock = side == HTTP_SIDE_CLIENT ? connection->client : connection->server;
        delete sock;
        sock = nullptr;
        int fd = side == HTTP_SIDE_CLIENT ? client_peer : server_peer;
        std::string out;
        char block[4096];
        ssize_t n;
        while ((n = read(fd, block, sizeof block)) > 0) out.append(block, (size_t)n);
        return out;
    }

    void head(int side, const char *text) {
        HEADER *h = side == HTTP_SIDE_CLIENT ? http_header_parse_request(text) : http_header_parse_response(text);
        ASSERT_NE(h, nullptr);
        if (side == HTTP_SIDE_CLIENT) connection->request = h;
        else connection->response = h;
    }

    std::string unread(int side) {
        Socket *sock = side == HTTP_SIDE_CLIENT ? connection->client : connection->server;
        return std::string(sock->in, sock->in_length);
    }
};

const char *CHUNKED_REQUEST = "POST http://origin/x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
const char *CHUNKED_RESPONSE = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

std::string body_of(Filebuf *body) { return std::string(body->data ? body->data : "", (size_t)body->size); }

TEST(ProtoHttp, ChunkedBodiesAreReadWholeOrRefused) {
    struct Case {
        const char *wire;
        int result;
        const char *body;  // for complete bodies
        const char *left;  // bytes that must stay for the next message
    } cases[] = {
        {"5;ext=\"a\"\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\nX-Other: u\r\n\r\nNEXT", HTTP_BODY_COMPLETE,
         "hello world", "NEXT"},
        {"0\r\n\r\nGET", HTTP_BODY_COMPLETE, "", "GET"},
        {"A \r\n0123456789\r\n0\r\n\r\n", HTTP_BODY_COMPLETE, "0123456789", ""},
        {"00000000000000000005\r\nhello\r\n000\r\n\r\nNEXT", HTTP_BODY_COMPLETE, "hello", "NEXT"},  // zero-padded
        {"zz\r\nhello\r\n0\r\n\r\n", HTTP_BODY_MALFORMED, nullptr, nullptr},                        // not hexadecimal
        {"-5\r\nhello\r\n0\r\n\r\n", HTTP_BODY_MALFORMED, nullptr, nullptr},                        // signed
        {"5\r\nhelloX\r\n0\r\n\r\n", HTTP_BODY_MALFORMED, nullptr, nullptr},         // data longer than its size
        {"5\nhello\n0\n\n", HTTP_BODY_MALFORMED, nullptr, nullptr},                  // bare LF
        {"5\r\nhello\n0\r\n\r\n", HTTP_BODY_MALFORMED, nullptr, nullptr},            // bare LF after data
        {"5\r\nhello\r\n0\r\n\n", HTTP_BODY_MALFORMED, nullptr, nullptr},            // bare LF ends the body
        {"5\r\nhello\r\n0\r\nX-T: 1\n\r\n", HTTP_BODY_MALFORMED, nullptr, nullptr},  // bare LF in a trailer
        {"5\r\r\nhello\r\n0\r\n\r\n", HTTP_BODY_MALFORMED, nullptr, nullptr},        // stray CR
        {"5\r\nhel", HTTP_BODY_SHORT, nullptr, nullptr},                             // cut off in a chunk
        {"5\r\nhello\r\n", HTTP_BODY_SHORT, nullptr, nullptr},                       // no last chunk
        {"5\r\nhello\r\n0\r\n", HTTP_BODY_SHORT, nullptr, nullptr},                  // no empty line after it
        {"1000000000000000\r\n", HTTP_BODY_MALFORMED, nullptr, nullptr},             // absurd size
        {"fffffffffffffffffffff\r\n", HTTP_BODY_MALFORMED, nullptr, nullptr},        // overflowing size
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.wire);
        Pair pair;
        pair.head(HTTP_SIDE_CLIENT, CHUNKED_REQUEST);
        pair.send(HTTP_SIDE_CLIENT, c.wire, true);
        int result = -1;
        Filebuf *body = http_transfer_filebuf(pair.connection, HTTP_SIDE_CLIENT, 1 << 20, &result);
        EXPECT_EQ(result, c.result);
        if (c.body) {
            EXPECT_EQ(body_of(body), c.body);
            EXPECT_EQ(pair.unread(HTTP_SIDE_CLIENT), c.left);
            EXPECT_FALSE(pair.connection->flags & CONN_FAILED);
        } else {
            EXPECT_TRUE(pair.connection->flags & CONN_FAILED);
        }
        delete body;
    }
}

TEST(ProtoHttp, ChunkedBodyPastTheLimitStopsBeforeTheChunkAndRelaysTheRest) {
    Pair pair;
    pair.head(HTTP_SIDE_CLIENT, CHUNKED_REQUEST);
    pair.send(HTTP_SIDE_CLIENT, "5\r\nhello\r\n6;x=y\r\n world\r\n0\r\nT: 1\r\n\r\n", true);
    int result = -1;
    Filebuf *body = http_transfer_filebuf(pair.connection, HTTP_SIDE_CLIENT, 8, &result);
    EXPECT_EQ(result, HTTP_BODY_OVERFLOW);
    EXPECT_EQ(body_of(body), "hello");
    delete body;
    // The chunk that did not fit is still there, size line included.
    EXPECT_EQ(http_transfer(pair.connection, HTTP_SIDE_CLIENT), HTTP_BODY_COMPLETE);
    EXPECT_EQ(pair.received(HTTP_SIDE_SERVER), "6\r\n world\r\n0\r\n\r\n");
}

TEST(ProtoHttp, WithoutResultAnOverflowCountsAsFailure) {
    Pair pair;
    pair.head(HTTP_SIDE_SERVER, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
    pair.send(HTTP_SIDE_SERVER, "0123456789", true);
    Filebuf *body = http_transfer_filebuf(pair.connection, HTTP_SIDE_SERVER, 5);
    EXPECT_EQ(body->size, 0);
    EXPECT_TRUE(pair.connection->flags & CONN_FAILED);
    delete body;
}

TEST(ProtoHttp, RelayReChunksAndNeverEndsACutBody) {
    struct Case {
        const char *wire;
        const char *relayed;
        int result;
    } cases[] = {
        {"3;name=value\r\nabc\r\n1\r\nd\r\n0\r\nTrailer: x\r\n\r\n", "3\r\nabc\r\n1\r\nd\r\n0\r\n\r\n",
         HTTP_BODY_COMPLETE},
        // cut off: the client never sees a last chunk
        {"3\r\nabc\r\n5\r\nde", "3\r\nabc\r\n5\r\nde", HTTP_BODY_SHORT},
        {"3\r\nabc\r\n", "3\r\nabc\r\n", HTTP_BODY_SHORT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.wire);
        Pair pair;
        pair.head(HTTP_SIDE_CLIENT, "GET http://origin/ HTTP/1.1\r\n\r\n");
        pair.head(HTTP_SIDE_SERVER, CHUNKED_RESPONSE);
        pair.send(HTTP_SIDE_SERVER, c.wire, true);
        EXPECT_EQ(http_transfer(pair.connection, HTTP_SIDE_SERVER), c.result);
        EXPECT_EQ(pair.received(HTTP_SIDE_CLIENT), c.relayed);
        EXPECT_EQ((pair.connection->flags & CONN_FAILED) != 0, c.result != HTTP_BODY_COMPLETE);
    }
}

TEST(ProtoHttp, CountedAndCloseDelimitedBodies) {
    struct Case {
        const char *head;
        const char *wire;
        long long limit;
        int result;
        const char *body;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "helloEXTRA", 100, HTTP_BODY_COMPLETE, "hello"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "hello", 100, HTTP_BODY_SHORT, nullptr},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "0123456789", 9, HTTP_BODY_OVERFLOW, ""},
        {"HTTP/1.0 200 OK\r\n\r\n", "until the close", 100, HTTP_BODY_COMPLETE, "until the close"},
        {"HTTP/1.0 200 OK\r\n\r\n", "until the close", 4, HTTP_BODY_OVERFLOW, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.head);
        Pair pair;
        pair.head(HTTP_SIDE_SERVER, c.head);
        pair.send(HTTP_SIDE_SERVER, c.wire, true);
        int result = -1;
        Filebuf *body = http_transfer_filebuf(pair.connection, HTTP_SIDE_SERVER, c.limit, &result);
        EXPECT_EQ(result, c.result);
        if (c.body) {
            EXPECT_EQ(body_of(body), c.body);
        }
        delete body;
    }
}

TEST(ProtoHttp, DiscardLeavesTheNextMessage) {
    Pair pair;
    pair.head(HTTP_SIDE_SERVER, CHUNKED_RESPONSE);
    pair.send(HTTP_SIDE_SERVER, "4\r\nbody\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n", true);
    EXPECT_EQ(http_transfer_discard(pair.connection, HTTP_SIDE_SERVER), HTTP_BODY_COMPLETE);
    EXPECT_EQ(pair.unread(HTTP_SIDE_SERVER).substr(0, 8), "HTTP/1.1");
}

TEST(ProtoHttp, NextChunkSize) {
    struct Case {
        const char *line;
        unsigned long long size;
    } cases[] = {{"1A;name=value\r\n", 26}, {"ff\r\n", 255}, {"0\r\n", 0}, {"\r\n", 0}, {"g1\r\n", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Pair pair;
        pair.send(HTTP_SIDE_SERVER, c.line, true);
        EXPECT_EQ(next_chunksize(pair.connection, HTTP_SIDE_SERVER), c.size);
    }
}

TEST(ProtoHttp, ReadCallbackCountsAndRefusesPastTheAllowance) {
    CONNECTION_T *connection = connection_new();
    connection->transfer_limit = 10;
    char block[8] = {0};
    EXPECT_EQ(protocol_http_read_callback(connection, 8, block), 0);
    EXPECT_EQ(connection->transferred, 8u);
    EXPECT_EQ(protocol_http_read_callback(connection, 8, block), -1);
    EXPECT_TRUE(connection->flags & CONN_FAILED);
    connection_free(connection);
}

TEST(ProtoHttp, BodyIsNotSentForHead) {
    Pair pair;
    Filebuf body;
    body.Add("page", 4);
    pair.connection->flags |= CONN_HEAD;
    EXPECT_EQ(http_send_body(pair.connection, &body), 0);
    pair.connection->flags &= ~CONN_HEAD;
    EXPECT_EQ(http_send_body(pair.connection, &body), 4);
    EXPECT_EQ(pair.received(HTTP_SIDE_CLIENT), "page");
}

TEST(BypassCheck, LettersSetAndClearChecks) {
    const unsigned all = BYPASS_URLFILTER | BYPASS_HEADER | BYPASS_MIME | BYPASS_REDIRECT | BYPASS_COOKIE |
                         BYPASS_REWRITE | BYPASS_EXTERNAL | BYPASS_FORWARD | BYPASS_KEYWORD | BYPASS_DNSBL |
                         BYPASS_LIMITS | BYPASS_ANTIVIRUS | BYPASS_ICAP | BYPASS_URLBL;
    struct Case {
        const char *labels;  // in front of the host
        unsigned permissions;
        unsigned before;
        unsigned after;
    } cases[] = {
        {"xx--bypass.", PERMISSION_BYPASS, 0, all},
        {"xx--bypass[f-m].", PERMISSION_BYPASS, BYPASS_MIME, BYPASS_URLFILTER},
        {"xx--bypass[].", PERMISSION_BYPASS, BYPASS_MIME, BYPASS_MIME},
        {"xx--bypass[awz%2Bc].", PERMISSION_BYPASS, 0, BYPASS_ANTIVIRUS | BYPASS_REWRITE | BYPASS_COOKIE},
        {"xx--bypass[-dep%2Bik].", PERMISSION_BYPASS, BYPASS_DNSBL | BYPASS_FORWARD, BYPASS_ICAP | BYPASS_KEYWORD},
        {"xx--bypass.", PERMISSION_URLCOMMAND, 0, 0},  // needs its own permission
        {"xx--fresh.", PERMISSION_BYPASS, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.labels);
        CONNECTION_T *connection = connection_new();
        std::string head = std::string("GET http://") + c.labels + "origin/ HTTP/1.1\r\n\r\n";
        connection->request = http_header_parse_request(head.c_str());
        ASSERT_NE(connection->request, nullptr);
        ASSERT_EQ(url_command_extract(connection), 1);
        connection->permissions = c.permissions;
        connection->bypass = c.before;
        bypass_check(connection);
        EXPECT_EQ(connection->bypass, c.after);
        url_command_free(connection->url_commands);
        http_header_free(connection->request);
        connection_free(connection);
    }
}

}  // namespace
