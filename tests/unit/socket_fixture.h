// Reading back what the code under test wrote to the far end of a socket
// pair or pipe.
#ifndef KORVANTEL_TEST_SOCKET_FIXTURE_H
#define KORVANTEL_TEST_SOCKET_FIXTURE_H

#include <unistd.h>

#include <string>

// Everything the descriptor yields until end of stream, an error, or (on a
// non-blocking one) nothing more waiting; bounded at 8 MiB.
inline std::string read_all(int fd) {
    std::string got;
    char block[8192];
    for (int i = 0; i < 1024; i++) {
        ssize_t r = read(fd, block, sizeof block);
        if (r <= 0) break;
        got.append(block, (size_t)r);
    }
    return got;
}

#endif
