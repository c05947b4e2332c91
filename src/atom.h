// Atom: the reference count of objects shared by several connections, and
// an incremental MD5 (RFC 1321) for modules.
#ifndef KORVANTEL_ATOM_H
#define KORVANTEL_ATOM_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

// Holders change counts only under this lock; Atom itself takes none.
extern pthread_mutex_t atomlock;

class Atom {
public:
    int count;

    Atom();
    // A count other than 0 is a fatal internal error: some holder is left.
    ~Atom();
    // One more holder; returns this atom.
    Atom *New();
    // One holder less; true when it was the last one (the caller destroys
    // the shared object).
    bool Delete();
};

// Incremental MD5. The program's own digests use the crypto library
// (md5_string); these serve modules.
struct md5_context {
    uint32_t total[2];  // bytes processed, low word first
    uint32_t state[4];
    unsigned char buffer[64];
};

void md5_starts(md5_context *context);
void md5_update(md5_context *context, const unsigned char *input, size_t length);
// Runs the compression function on one 64-byte block.
void md5_process(md5_context *context, const unsigned char block[64]);
void md5_finish(md5_context *context, unsigned char digest[16]);

#endif
