#include "compat.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "clientpool.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "serverpool.h"

void client_pool_failure() {
    putlog(LOG_ERROR, "flushing client pool, attempting to free resources");
    clientpool_flush();
}

void server_pool_failure() {
    putlog(LOG_ERROR, "flushing outbound connections, attempting to free resources");
    serverpool_flush();
}

void fd_failure() {
    putlog(LOG_ERROR, "failure opening file descriptor, attempting to free resources");
    clientpool_flush();
    serverpool_flush();
}

int s_open(const char *path, int flags, mode_t mode) {
    int fd = open(path, flags, mode);
    if (fd >= 0 || errno != ENFILE) return fd;
    fd_failure();
    fd = open(path, flags, mode);
    if (fd < 0)
        putlog(LOG_ERROR, "[system: open:%d:%s], in %s, failed to open file %s", errno, strerror(errno), "s_open",
               path);
    return fd;
}

int s_open64(const char *path, int flags, mode_t mode) {
    int fd = open(path, flags | O_LARGEFILE, mode);
    if (fd >= 0 || errno != ENFILE) return fd;
    fd_failure();
    fd = open(path, flags | O_LARGEFILE, mode);
    if (fd < 0)
        putlog(LOG_ERROR, "[system: open64:%d:%s], in %s, failed to open file %s", errno, strerror(errno), "s_open64",
               path);
    return fd;
}

FILE *s_fopen(const char *path, const char *mode) {
    FILE *f = fopen(path, mode);
    if (f || errno != ENFILE) return f;
    fd_failure();
    f = fopen(path, mode);
    if (!f) putlog(LOG_ERROR, "[system: fopen:%d:%s], in %s, unable to open file", errno, strerror(errno), "s_fopen");
    return f;
}

DIR *s_opendir(const char *path) {
    DIR *d = opendir(path);
    if (d || errno != ENFILE) return d;
    fd_failure();
    d = opendir(path);
    if (!d)
        putlog(LOG_ERROR, "[system: opendir:%d:%s], in %s, unable to open directory", errno, strerror(errno),
               "s_opendir");
    return d;
}

int s_socket(int family, int type, int protocol) {
    int fd = socket(family, type, protocol);
    if (fd >= 0 || errno != ENFILE) return fd;
    fd_failure();
    fd = socket(family, type, protocol);
    if (fd < 0)
        putlog(LOG_ERROR, "[system: socket:%d:%s], in %s unable to create socket", errno, strerror(errno), "s_socket");
    return fd;
}

int s_accept(int sock, struct sockaddr *address, socklen_t *length) {
    socklen_t saved = length ? *length : 0;
    int fd = accept(sock, address, length);
    if (fd >= 0) return fd;
    if (errno == ENOTSOCK) return -1;
    int e = errno;
    putlog(LOG_ERROR, "[system: accept:%d:%s], in %s, unable to connect on a socket", e, strerror(e), "s_accept");
    if (e != ENFILE) {
        errno = e;
        return -1;
    }
    fd_failure();
    if (length) *length = saved;
    fd = accept(sock, address, length);
    if (fd < 0)
        putlog(LOG_ERROR, "[system: accept:%d:%s], in %s, unable to connect on a socket", errno, strerror(errno),
               "s_accept");
    return fd;
}

int create_recursive_directory(const char *path) {
    char **parts = string_break(path, '/');
    char prefix[256] = "";
    int result = 1;
    for (int i = 0; parts[i]; i++) {
        if (!parts[i][0]) continue;
        // The prefix is bounded; a longer path is cut rather than overrun.
        s_strncat(prefix, "/", sizeof prefix);
        s_strncat(prefix, parts[i], sizeof prefix);
        if (mkdir(prefix, 0755) != 0 && errno != EEXIST) {
            putlog(LOG_ERROR, "[system: mkdir:%d:%s], in %s, failed to create directory %s", errno, strerror(errno),
                   "create_recursive_directory", path);
            result = -1;
            break;
        }
    }
    array_free(parts);
    return result;
}

extern char **environ;

void p_clearenv() { environ = nullptr; }

int p_setenv(const char *name, const char *value, int overwrite) { return setenv(name, value, overwrite); }

int p_poll(struct pollfd *descriptors, nfds_t count, int timeout_ms) { return poll(descriptors, count, timeout_ms); }

void *p_mremap(void *address, size_t old_length, size_t new_length, int descriptor) {
    (void)descriptor;
    return mremap(address, old_length, new_length, MREMAP_MAYMOVE);
}

HOSTENT *p_gethostbyname(const char *name) {
    if (!name || !*name) return nullptr;
    struct hostent result, *found = nullptr;
    char work[1024];
    int herr = 0;
    if (gethostbyname_r(name, &result, work, sizeof work, &found, &herr) != 0 || !found) return nullptr;
    if (found->h_addrtype != AF_INET || found->h_length != 4 || !found->h_addr_list[0]) return nullptr;
    HOSTENT *h = (HOSTENT *)xmalloc(sizeof(HOSTENT));
    if (!h) fatal_alloc("src/compat", __LINE__, "p_gethostbyname", sizeof(HOSTENT));
    h->address = (unsigned char *)xmalloc(4);
    if (!h->address) fatal_alloc("src/compat", __LINE__, "p_gethostbyname", 4);
    memcpy(h->address, found->h_addr_list[0], 4);
    h->length = 4;
    return h;
}

void hostent_free(HOSTENT *host) {
    if (!host) return;
    if (!host->address) fatal_assert("src/misc", 286, "hostent_free");
    free(host->address);
    free(host);
}
