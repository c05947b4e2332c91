// Retrying wrappers over descriptor-creating calls and small platform shims.
// On ENFILE they free the pooled connections once (fd_failure) and retry.
#ifndef KORVANTEL_COMPAT_H
#define KORVANTEL_COMPAT_H

#include <dirent.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>

struct HOSTENT {
    unsigned char *address;  // 4 bytes, network order
    int length;              // always 4
};

int s_open(const char *path, int flags, mode_t mode);
int s_open64(const char *path, int flags, mode_t mode);
FILE *s_fopen(const char *path, const char *mode);
DIR *s_opendir(const char *path);
int s_socket(int family, int type, int protocol);
int s_accept(int socket, struct sockaddr *address, socklen_t *length);

// Pool flushing on resource shortage: logs, then empties the idle client
// and server pools (nothing before they exist).
void client_pool_failure();
void server_pool_failure();
void fd_failure();

int create_recursive_directory(const char *path);

void p_clearenv();
int p_setenv(const char *name, const char *value, int overwrite);
int p_poll(struct pollfd *descriptors, nfds_t count, int timeout_ms);
void *p_mremap(void *address, size_t old_length, size_t new_length, int descriptor);
HOSTENT *p_gethostbyname(const char *name);
void hostent_free(HOSTENT *host);

#endif
