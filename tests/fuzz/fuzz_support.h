// What the fuzz targets share.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

// A property of the code's output that must hold: abort, so the fuzzer
// keeps the input that broke it.
inline void check(bool condition) {
    if (!condition) abort();
}

// The reading end of a socket whose peer wrote data and closed, as a daemon
// that answered and hung up. size must fit the socket buffer (1 MiB).
inline int socket_holding(const uint8_t *data, size_t size) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) abort();
    int room = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    size_t written = 0;
    while (written < size) {
        ssize_t n = write(pair[1], data + written, size - written);
        if (n <= 0) abort();
        written += (size_t)n;
    }
    close(pair[1]);
    return pair[0];
}
