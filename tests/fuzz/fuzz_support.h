// What the fuzz targets share.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

// A property of the code's output that must hold: abort, so the fuzzer
// keeps the input that broke it.
inline void check(bool condition) {
    if (!condition) abort();
}

// The reading end of a socket whose peer wrote data and shut its sending
// side, staying open: reads end at the data and writes still go through.
// *peer is the peer's descriptor, for the caller to close. size must fit the
// socket buffer (1 MiB).
inline int socket_answering(const uint8_t *data, size_t size, int *peer) {
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
    shutdown(pair[1], SHUT_WR);
    *peer = pair[1];
    return pair[0];
}

// The same once the peer has hung up, as a daemon that answered and closed.
inline int socket_holding(const uint8_t *data, size_t size) {
    int peer;
    int fd = socket_answering(data, size, &peer);
    close(peer);
    return fd;
}

// Everything a descriptor still holds, read up to its end.
inline std::string unread_bytes(int fd) {
    std::string rest;
    char block[65536];
    for (;;) {
        ssize_t n = read(fd, block, sizeof block);
        if (n <= 0) break;
        rest.append(block, (size_t)n);
    }
    return rest;
}
