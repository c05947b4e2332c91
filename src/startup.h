// Start-up sequence: `config` builds the running system in its fixed order,
// `mainloop` runs it and then accepts connections for ever.
#ifndef KORVANTEL_STARTUP_H
#define KORVANTEL_STARTUP_H

#include <string>

void mainloop();

// A resource limit for a person to read: "current: %ld  maximum: %ld", with
// "unlimited" in place of a value of -1.
std::string print_rlimit(long current, long maximum);

#endif
