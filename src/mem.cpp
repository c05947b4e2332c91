#include "mem.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "log.h"
#include "misc.h"

// Blocks up to this size come from the allocator's per-thread cache, which
// calloc never uses (it always takes the shared arena and its lock): they are
// taken with malloc and cleared here. Larger ones may come fresh from the
// system already zeroed, which calloc knows and does not clear again.
static const size_t SMALL_BLOCK = 1024;

static void allocation_failed() {
    putlog(LOG_ERROR, "[system: malloc:%d:%s], in %s, unable to allocate memory", errno, strerror(errno), "xmalloc");
}

// Kept out of line: the compiler turns a malloc followed by a memset of the
// whole block back into calloc.
__attribute__((noinline)) static void *allocate(size_t size) {
    void *p = malloc(size);
    if (!p) allocation_failed();
    return p;
}

void *xmalloc(size_t size) {
    if (size == 0) fatal_assert("src/mem", 272, "xmalloc");
    if (size <= SMALL_BLOCK) {
        void *p = allocate(size);
        if (p) memset(p, 0, size);
        return p;
    }
    void *p = calloc(1, size);
    if (!p) allocation_failed();
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
    // Every byte is written below: no need to clear them first.
    char *p = (char *)allocate(n + 1);
    if (!p) fatal_alloc("src/mem", __LINE__, "xstrdup", n + 1);
    memcpy(p, text, n + 1);
    return p;
}

char *xstrndup(const char *text, size_t n) {
    if (!text) return nullptr;
    size_t len = s_strnlen(text, n);
    char *p = (char *)allocate(len + 1);
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
