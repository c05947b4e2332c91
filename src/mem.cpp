#include "mem.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "log.h"
#include "misc.h"

void *xmalloc(size_t size) {
    if (size == 0) fatal_assert("src/mem", 272, "xmalloc");
    void *p = calloc(1, size);
    if (!p) {
        putlog(LOG_ERROR, "[system: malloc:%d:%s], in %s, unable to allocate memory", errno, strerror(errno),
               "xmalloc");
    }
    return p;
}

void *xrealloc(void *pointer, size_t size) {
    if (size == 0) fatal_assert("src/mem", 292, "xrealloc");
    void *p = realloc(pointer, size);
    if (!p) {
        putlog(LOG_ERROR, "[system: realloc:%d:%s], in %s, unable to reallocate %u memory", errno, strerror(errno),
               "xrealloc", (unsigned)size);
    }
    return p;
}

char *xstrdup(const char *text) {
    if (!text) return nullptr;
    size_t n = strlen(text);
    char *p = (char *)xmalloc(n + 1);
    if (!p) fatal_alloc("src/mem", __LINE__, "xstrdup", n + 1);
    memcpy(p, text, n + 1);
    return p;
}

char *xstrndup(const char *text, size_t n) {
    if (!text) return nullptr;
    size_t len = s_strnlen(text, n);
    char *p = (char *)xmalloc(len + 1);
    if (!p) fatal_alloc("src/mem", __LINE__, "xstrndup", len + 1);
    memcpy(p, text, len);
    p[len] = '\0';
    return p;
}

// The fatal path may be reached from inside the logger; the guard keeps a
// second entry from logging again (which could recurse for ever).
static thread_local int in_fatal = 0;

[[noreturn]] static void fatal_common(const char *file, int line, const char *function, size_t size, bool alloc) {
    if (!in_fatal) {
        in_fatal = 1;
        putlog(LOG_ADVICE, "System Unstable: Please Restart");
        putlog(LOG_ADVICE, "ASSERTION: %s:%d in function %s", file, line, function);
        if (alloc) putlog(LOG_ADVICE, "Failed to allocate %u bytes of memory", (unsigned)size);
    }
    static const char msg[] = "\nSystem Unstable: Please Restart\n";
    ssize_t r = write(STDOUT_FILENO, msg, sizeof msg - 1);
    (void)r;
    _exit(1);
}

void fatal_assert(const char *file, int line, const char *function) { fatal_common(file, line, function, 0, false); }

void fatal_alloc(const char *file, int line, const char *function, size_t size) {
    fatal_common(file, line, function, size, true);
}

void out_of_memory() {
    putlog(LOG_ERROR, "Out of memory: %s:%d in function %s", "src/mem", 380, "out_of_memory");
    abort();
}
