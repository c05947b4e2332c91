// Fuzz target: what an FTP server says on the control connection, read as
// the gateway reads it (whole replies, multi-line ones to their closing
// line, preliminary replies skipped), and the address of a PASV reply.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "connection.h"
#include "fuzz_support.h"
#include "misc.h"
#include "proto_ftp.h"
#include "settings.h"
#include "socket.h"

namespace {

// The gateway's waits: greeting, login, PASV, transfer and its end.
const int WAITS[][2] = {{220, -1}, {331, 230}, {227, -1}, {150, 125}, {226, 250}, {200, -1}, {257, -1}, {213, -1}};

void pasv_address(const std::string &text) {
    size_t start = text.find('(');
    if (start != std::string::npos) start++;
    else start = text.find_first_of("0123456789", 4);
    if (start == std::string::npos) return;
    free(ftpport_parse(text.c_str() + start));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 150000) return 0;  // stays within the socket buffer
    CONNECTION_T *connection = connection_new();
    connection->server = new Socket(socket_holding(data, size));
    for (const auto &wait : WAITS) {
        std::string text;
        int code = ftp_code_wait(connection, wait[0], wait[1], &text);
        if (code < 0) break;
        check(code >= 100 && code <= 999);
        check(text.size() <= FTP_LINE_MAX);
        check(text.find('\n') == std::string::npos);
        if (code == 227) pasv_address(text);
    }
    delete connection->server;
    connection->server = nullptr;
    connection_free(connection);
    return 0;
}
