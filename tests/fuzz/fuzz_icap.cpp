// Fuzz target: what an ICAP server answers to REQMOD and RESPMOD: the reply
// head, its Encapsulated offsets, the encapsulated request or response head
// and the chunked body after it. A stand-in server on the loopback sends the
// input as its whole reply; the first byte picks the mode.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "connection.h"
#include "filebuf.h"
#include "fuzz_support.h"
#include "header.h"
#include "icap.h"
#include "settings.h"

namespace {

int listener = -1;
int port = 0;
std::mutex reply_lock;
std::string reply;  // what the stand-in sends to the next connection

void *serve(void *) {
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        std::string text;
        {
            std::lock_guard<std::mutex> held(reply_lock);
            text = reply;
        }
        size_t sent = 0;
        while (sent < text.size()) {
            ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += (size_t)n;
        }
        shutdown(fd, SHUT_WR);
        char sink[4096];
        while (recv(fd, sink, sizeof sink, 0) > 0) {
        }
        struct linger now = {1, 0};  // no TIME_WAIT left behind per input
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        close(fd);
    }
    return nullptr;
}

HEADER *head(const char *text) {
    HEADER *parsed = http_header_parse_request(text);
    if (!parsed) parsed = http_header_parse_response(text);
    check(parsed != nullptr);
    return parsed;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, (struct sockaddr *)&address, &length) != 0)
        abort();
    port = ntohs(address.sin_port);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, serve, nullptr) != 0) abort();
    pthread_detach(thread);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 200000) return 0;
    int mode = data[0] & 1 ? ICAP_RESPMOD : ICAP_REQMOD;
    {
        std::lock_guard<std::mutex> held(reply_lock);
        reply.assign(reinterpret_cast<const char *>(data) + 1, size - 1);
    }
    ICAP_ENCAPSULATION offsets = ICAPSection::encapsulation_parse(reply.c_str());
    check(offsets.req_hdr >= -1 && offsets.res_hdr >= -1 && offsets.req_body >= -1 && offsets.res_body >= -1 &&
          offsets.null_body >= -1);

    CONNECTION_T *connection = connection_new();
    connection->ip = strdup("127.0.0.1");
    connection->request = head("GET http://www.example.com/page HTTP/1.1\r\nHost: www.example.com\r\n\r\n");
    if (mode == ICAP_RESPMOD)
        connection->response =
            head("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 12\r\n\r\n");
    Filebuf body;
    body.Add("<p>hello</p>", 12);
    int completed = ICAPSection::protocol_icap(connection, &body, mode, "127.0.0.1", "/service", port);
    check(completed == 0 || completed == 1);
    check(connection->server == nullptr);
    check(connection->request != nullptr);
    http_header_free(connection->request);
    http_header_free(connection->response);
    connection->request = nullptr;
    connection->response = nullptr;
    connection_free(connection);
    return 0;
}
