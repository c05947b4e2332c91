// Allocation wrappers and the one fatal internal-error path.
#ifndef KORVANTEL_MEM_H
#define KORVANTEL_MEM_H

#include <stddef.h>

// xmalloc: zero-filled; size 0 is fatal. xrealloc: size 0 is fatal, the old
// block stays valid on failure. Failures are logged and return nullptr.
void *xmalloc(size_t size);
void *xrealloc(void *pointer, size_t size);
char *xstrdup(const char *text);
char *xstrndup(const char *text, size_t n);

// Logs "System Unstable: Please Restart" and "ASSERTION: %s:%d in function %s",
// prints "\nSystem Unstable: Please Restart" and exits with status 1.
[[noreturn]] void fatal_assert(const char *file, int line, const char *function);
// The same with "Failed to allocate %u bytes of memory".
[[noreturn]] void fatal_alloc(const char *file, int line, const char *function, size_t size);

// Allocate or die: callers treat a failed allocation as fatal.
#define XMALLOC_OR_DIE(p, size, file)                            \
    do {                                                         \
        (p) = (decltype(p))xmalloc(size);                        \
        if (!(p)) fatal_alloc(file, __LINE__, __func__, (size)); \
    } while (0)

// Handler for a failed `new`: logs and aborts.
void out_of_memory();

#endif
