// Start-up sequence: `config` builds the running system in its fixed order,
// `mainloop` runs it and then accepts connections for ever.
#ifndef KORVANTEL_STARTUP_H
#define KORVANTEL_STARTUP_H

void mainloop();

#endif
