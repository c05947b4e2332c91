// Hook registry: typed callbacks with two untyped arguments, run at three
// fixed moments. Every hook type stops at the first hook returning 1.
#ifndef KORVANTEL_HOOKS_H
#define KORVANTEL_HOOKS_H

#include "processors.h"

enum {
    HOOK_CONFIG = 0,       // once, after the configuration loaded; both null
    HOOK_PRERESPMOD = 1,   // buffered body before the response stages (connection, body)
    HOOK_POSTRESPMOD = 2,  // after the response modification (connection, body)
};

typedef int (*HOOK_CALLBACK)(void *first, void *second);

class Hooks {
public:
    // 0 when the callback is already registered (for any type); else appends
    // it for the type and returns 1.
    int Add(HOOK_CALLBACK callback, int type);
    // Removes the callback's entry: 1, or 0 when it has none.
    int Remove(HOOK_CALLBACK callback);
    // Runs the type's hooks in order, stopping after the first result of
    // exactly 1. Returns the last result, 0 if none ran.
    int Execute(int type, void *first, void *second);

private:
    CallbackRegistry<HOOK_CALLBACK> list_;
};

// The program-wide registry; never destroyed (see processors).
extern Hooks &hooks;

#endif
